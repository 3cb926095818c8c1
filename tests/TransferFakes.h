// What the transfer tests share: files written and read whole, bytes that
// show a block out of place, the temporary files a landing leaves, and a host
// that records what a batch says and answers the replace question from a script.
#pragma once

#include "transfer/TransferEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace transfer_fakes {

namespace fs = std::filesystem;

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline void Write(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

inline std::string Pattern(size_t n, int seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 251 + seed) & 0xFF);
    return s;
}

inline std::vector<std::string> TempFilesUnder(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->path().filename().string().rfind(".orvane-", 0) == 0)
            found.push_back(it->path().string());
    return found;
}

// A host that records what the batch says and answers the question from a
// script (Skip when the script is empty, as Esc would).
class FakeHost : public ITransferHost {
public:
    std::deque<ReplaceAnswer> answers;
    std::vector<ReplaceQuestion> questions;
    std::function<void(const std::string&)> onLine; // called on the worker
    std::function<void()> onQuestion;               // called on the worker

    void AddLine(const std::string& line) override {
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        }
        m_changed.notify_all();
        if (onLine)
            onLine(line);
    }
    ReplaceAnswer AskReplace(const ReplaceQuestion& q) override {
        if (onQuestion)
            onQuestion();
        std::lock_guard lock(m_mutex);
        questions.push_back(q);
        if (answers.empty())
            return ReplaceAnswer::Skip;
        ReplaceAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void OnProgress(const TransferProgress& p) override {
        {
            std::lock_guard lock(m_mutex);
            ++progressCalls;
            lastProgress = p;
        }
        m_changed.notify_all();
    }
    void OnBatchStart(TransferDirection) override { ++starts; }
    void OnPlanned(const JobList& jobs, std::size_t first) override {
        std::lock_guard lock(m_mutex);
        plan.resize(first);
        plan.insert(plan.end(), jobs.begin(), jobs.end());
    }
    void OnJobChanged(const JobChange& change) override {
        {
            std::lock_guard lock(m_mutex);
            changes.push_back(change);
        }
        m_changed.notify_all();
    }
    void OnSession(bool own) override { ownSession = own; }
    void OnBatchEnd(const BatchResult& r) override {
        {
            std::lock_guard lock(m_mutex);
            end = r;
        }
        m_changed.notify_all();
    }

    std::vector<std::string> Lines() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    size_t Count(const std::string& line) {
        auto l = Lines();
        return std::count(l.begin(), l.end(), line);
    }
    bool WaitFor(const std::function<bool()>& cond, int ms = 20000) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), cond);
    }
    bool WaitForEnd(int ms = 20000) {
        return WaitFor([this] { return end.has_value(); }, ms);
    }
    bool HasLine(const std::string& line) { // callers hold no lock
        return std::find(m_lines.begin(), m_lines.end(), line) != m_lines.end();
    }

    std::optional<BatchResult> end;
    int progressCalls = 0;
    TransferProgress lastProgress;
    std::atomic<int> starts{0};
    JobList plan;                   // guarded
    std::vector<JobChange> changes; // guarded
    std::atomic<bool> ownSession{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// A batch of `names` between the server folder `remote` and the local
// folder `local`, on `connections` of its own (opened by `open`) besides the
// pane's `session`.
template <class Request>
Request OnConnections(std::shared_ptr<remote::IRemoteFs> session, OpenSession open,
                      const std::string& remote, const std::string& local,
                      std::vector<std::string> names, int connections) {
    Request r;
    r.session = std::move(session);
    if constexpr (std::is_same_v<Request, DownloadRequest>)
        r.currentPath = remote;
    else
        r.remoteDir = remote;
    r.localDir = local;
    r.names = std::move(names);
    r.openSession = std::move(open);
    r.connections = connections;
    return r;
}

// Runs a batch on this thread, its steps as the engine's worker takes them.
inline BatchResult RunBatch(DownloadRequest r, ITransferHost& host) {
    std::atomic<int> stop{0};
    CDownloadBatch batch(std::move(r), host, stop);
    batch.Prepare();
    return batch.Run();
}

inline BatchResult RunBatch(UploadRequest r, ITransferHost& host) {
    std::atomic<int> stop{0};
    CUploadBatch batch(std::move(r), host, stop);
    batch.Prepare();
    return batch.Run();
}

using Lines = std::vector<std::string>;

} // namespace transfer_fakes
