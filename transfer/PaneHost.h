// How a batch running on its worker reaches the windows: log lines as they
// come, the replace question asked on the UI thread, progress at most five
// times a second and never more than one update waiting, and the batch's end.
// Everything but the log line and the question is posted; nothing is posted
// once the host is detached (the panes are going).
#pragma once

#include "transfer/TransferHost.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CPaneHost : public ITransferHost, public std::enable_shared_from_this<CPaneHost> {
public:
    // The shortest time between two progress updates shown.
    static constexpr std::chrono::milliseconds kProgressEvery{200};

    struct Handlers {
        // Called on the worker: the log takes lines from any thread.
        std::function<void(const std::string&)> addLine;
        // Called on the worker when the batch is over, before the UI step.
        std::function<void(const BatchResult&)> ended;
        // On the UI thread: the latest progress (nullptr: clear it).
        std::function<void(const TransferProgress*)> progress;
        // On the UI thread: the end-of-batch steps.
        std::function<void(const BatchResult&)> uiEnded;
        // Whether a question still waiting should be given up (Stop, shutdown).
        std::function<bool()> cancelled;
        // On the UI thread, in the order they came: whether the batch has a
        // connection of its own (else it works on the pane's session), the
        // batch's plan, and what its file jobs did since the last call.
        std::function<void(bool own)> session;
        std::function<void(const JobList&, std::size_t first)> planned;
        std::function<void(const std::vector<JobChange>&)> jobs;
    };

    static std::shared_ptr<CPaneHost> Create(Handlers handlers);

    // Nothing more reaches the windows after this (UI thread).
    void Detach();
    // The batch's end steps have run on the UI thread (or never will: the
    // host is detached); the pane may let the host go.
    bool HasEnded() const { return m_endShown; }

    void AddLine(const std::string& line) override;
    ReplaceAnswer AskReplace(const ReplaceQuestion& question) override;
    void OnProgress(const TransferProgress& progress) override;
    void OnPlanned(const JobList& jobs, std::size_t first) override;
    // Job changes are gathered and shown together: one post for the many a
    // batch of small files makes.
    void OnJobChanged(const JobChange& change) override;
    void OnSession(bool own) override;
    void OnBatchEnd(const BatchResult& result) override;

    // Progress updates the UI thread was given; for tests of the throttling.
    int PostedProgress() const { return m_nPosted; }

private:
    explicit CPaneHost(Handlers handlers) : m_handlers(std::move(handlers)) {}
    Handlers m_handlers;
    std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
    std::mutex m_mutex;
    std::optional<TransferProgress> m_latest;           // waiting to be shown; guarded
    bool m_posted = false;                              // an update is on its way; guarded
    std::chrono::steady_clock::time_point m_lastPost{}; // guarded
    // The plan's parts and the job changes not shown yet, in the order they
    // came (a change may be of a job whose part came just before it).
    struct JobNews {
        JobList part; // a part of the plan (when `isPart`)
        std::size_t first = 0;
        bool isPart = false;
        JobChange change;
    };
    std::vector<JobNews> m_news; // guarded
    bool m_newsPosted = false;   // guarded
    // Queues one piece of news; one post shows all that came meanwhile.
    void AddNews(JobNews news);
    // Posts `task` with this host kept alive, run only while attached.
    void PostAttached(std::function<void(CPaneHost&)> task);
    std::atomic<int> m_nPosted{0};
    std::atomic<bool> m_endShown{false};
};

class CTransferList;

// Shows a batch in the transfer list: its names until its plan comes, then
// its file jobs as they go, and its end (wraps the handlers' progress and
// end step). `batch`: its key in the list. Nothing without a list.
void ShowInList(CPaneHost::Handlers& handlers, CTransferList* list, std::uint64_t batch);

// The status bar's text for the file in flight: name, bytes done of total,
// percent, speed, time left, and the batch's files so far.
std::string FormatProgress(const TransferProgress& progress);
// 1536 -> "1.5 KB"; bytes below 1 KB as "512 B".
std::string FormatBytes(double bytes);
