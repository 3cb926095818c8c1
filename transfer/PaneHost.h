// How a batch running on its worker reaches the windows: log lines as they
// come, the replace question asked on the UI thread, progress at most five
// times a second and never more than one update waiting, and the batch's end.
// Everything but the log line and the question is posted; nothing is posted
// once the host is detached (the panes are going).
#pragma once

#include "transfer/TransferHost.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
    };

    static std::shared_ptr<CPaneHost> Create(Handlers handlers);

    // Nothing more reaches the windows after this (UI thread).
    void Detach();

    void AddLine(const std::string& line) override;
    ReplaceAnswer AskReplace(const ReplaceQuestion& question) override;
    void OnProgress(const TransferProgress& progress) override;
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
    std::atomic<int> m_nPosted{0};
};

// The status bar's text for the file in flight: name, bytes done of total,
// percent, speed, time left, and the batch's files so far.
std::string FormatProgress(const TransferProgress& progress);
// 1536 -> "1.5 KB"; bytes below 1 KB as "512 B".
std::string FormatBytes(double bytes);
