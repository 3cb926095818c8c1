// The download and upload batches. A pane hands the engine a request (what is
// selected, where it goes) and a host to report to; one worker thread does the
// rest: the probes, then the planner's walks turn the request into a list of
// jobs (transfer/TransferPlanner.h), then the queue runs them in order with
// the replace question, the transfers and the log lines. One batch at a time, in either direction.
// Stop is honoured within a second, also in the middle of a file. A file whose connection is lost
// goes on from where it stopped on a new login, up to kTransferTries tries; only then does it get
// its error line.
#pragma once

#include "transfer/ReplaceState.h"
#include "transfer/TransferHost.h"
#include "transfer/TransferItem.h"
#include "transfer/TransferJob.h"
#include "transfer/TransferQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace remote {
class IRemoteFs;
}

// A file whose connection is lost gets this many tries in all; the pause
// before the second is this long and doubles before each later one.
constexpr int kTransferTries = 3;
constexpr std::chrono::milliseconds kFirstRetryPause{500};

struct DownloadRequest {
    std::shared_ptr<remote::IRemoteFs> session;
    std::string currentPath; // the remote pane's m_strCurrentPath
    std::string localDir;    // the local pane's m_strCurrentDir when the batch starts
    // Download command: the selected names (exact bytes), in list order.
    std::vector<std::string> names;
    // A dropped batch: ready items whose m_strLocalPath is the
    // target; `names` is then ignored.
    std::vector<CTransferItem> items;
    bool dropMode = false;
};

struct UploadRequest {
    std::shared_ptr<remote::IRemoteFs> session;
    std::string remoteDir; // the remote pane's m_strCurrentPath
    std::string localDir;  // the local pane's m_strCurrentDir when the batch starts
    std::vector<std::string> names;
    // A dropped batch: ready items (local source, remote target).
    std::vector<CTransferItem> items;
    bool dropMode = false;
    // A drop on a row of the server's list: when the server can enter
    // remoteDir + "/" + intoFolder, the batch goes there (names and items
    // alike), else into remoteDir.
    std::string intoFolder;
};

class CTransferEngine {
public:
    CTransferEngine() = default;
    // Stops a running batch and waits for its worker.
    ~CTransferEngine();
    CTransferEngine(const CTransferEngine&) = delete;
    CTransferEngine& operator=(const CTransferEngine&) = delete;

    // Start a batch on a worker thread. False (and nothing happens) while a
    // batch runs in either direction or without a session.
    bool StartDownload(DownloadRequest request, std::shared_ptr<ITransferHost> host);
    bool StartUpload(UploadRequest request, std::shared_ptr<ITransferHost> host);

    // From any thread: the batch ends after the file in flight is abandoned.
    void Stop();
    // A batch runs (new ones are refused).
    bool IsBusy() const { return m_busy; }
    // For tests and shutdown: waits until the worker has ended, its
    // OnBatchEnd included. False on timeout.
    bool WaitIdle(int timeoutMs);

    // The stop request of the running batch; cleared when a batch starts.
    std::atomic<int> m_bStop{0};

private:
    std::atomic<bool> m_busy{false};
    std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_running = false; // guarded by m_mutex
    std::thread m_thread;
    std::shared_ptr<remote::IRemoteFs> m_session; // of the running batch, for Stop

    bool Begin(const std::shared_ptr<remote::IRemoteFs>& session);
    void Launch(std::function<BatchResult()> work, std::shared_ptr<ITransferHost> host);
};

// Throttled progress of the file in flight; also turns a stop request into an
// abort of the transfer, wherever the request came from.
class CProgressMeter {
public:
    CProgressMeter(ITransferHost& host, TransferDirection direction, const std::atomic<int>& stop,
                   remote::IRemoteFs* session);
    // Before a file: its name and announced size.
    void Begin(const std::string& name, std::uint64_t total);
    void Update(std::uint64_t done, std::uint64_t total);
    std::uint64_t m_nFilesDone = 0;

private:
    ITransferHost& m_host;
    TransferDirection m_direction;
    const std::atomic<int>& m_stop;
    remote::IRemoteFs* m_session;
    TransferProgress m_progress;
    std::chrono::steady_clock::time_point m_start, m_last;
};

// The batches' steps, run on the worker; public so tests can drive them on
// their own thread.
class CDownloadBatch {
public:
    CDownloadBatch(DownloadRequest request, ITransferHost& host, const std::atomic<int>& stop);
    // The command's steps: probe each name, create the top-level local folders,
    // build m_arrDownload.
    void Prepare();
    // DownloadThreadProc's steps: the plan, then its jobs. Returns how the
    // batch ended.
    BatchResult Run();
    // One job of the plan; the replace answers carry from job to job.
    JobOutcome RunJob(const TransferJob& job);

    std::vector<CTransferItem> m_arrDownload;
    CReplaceState m_replace;

private:
    DownloadRequest m_request;
    ITransferHost& m_host;
    const std::atomic<int>& m_stop;
    BatchResult m_result;
    CProgressMeter m_meter;
    // Sizes of the selected files, from one listing of their folder.
    std::map<std::string, std::uint64_t> m_topSizes;

    bool Stopped() const { return m_stop.load() != 0; }
    void Line(const std::string& line) { m_host.AddLine(line); }
    // One file: the question, the skip rules, the fetch and its lines.
    // `announced`: the size the file must have (-1: the server is asked).
    // False when the file was skipped.
    bool DownloadFile(const std::string& remote, const std::string& target, const std::string& root,
                      const std::string& name, std::uint64_t size, bool sizeKnown, bool topLevel,
                      std::int64_t announced = -1);
};

class CUploadBatch {
public:
    CUploadBatch(UploadRequest request, ITransferHost& host, const std::atomic<int>& stop);
    // The command's steps: test each name for a folder (without changing the
    // process's current folder), create the top-level remote folders, build
    // m_arrUpload.
    void Prepare();
    // UploadThreadProc's steps: the plan, then its jobs.
    BatchResult Run();
    // One job of the plan; the replace answers carry from job to job.
    JobOutcome RunJob(const TransferJob& job);

    std::vector<CTransferItem> m_arrUpload;
    CReplaceState m_replace;

private:
    // An entry the server holds.
    struct RemoteEntry {
        std::uint64_t size = 0;
        bool folder = false;
    };
    // What one server folder holds, listed once when first needed; when its
    // listing fails, each name is asked on its own.
    struct RemoteFolder {
        bool listed = false;
        bool failed = false;
        std::map<std::string, RemoteEntry> entries;
        std::set<std::string> absent; // asked one by one: not there
    };
    // The result of looking for a name on the server.
    struct RemoteLook {
        bool known = true;                // false: could not be established
        std::optional<RemoteEntry> entry; // what is there, if anything
        std::string reason;               // why it is not known
    };

    UploadRequest m_request;
    ITransferHost& m_host;
    const std::atomic<int>& m_stop;
    BatchResult m_result;
    CProgressMeter m_meter;
    std::map<std::string, RemoteFolder> m_remote;

    std::string m_shownDir; // the folder the remote list shows

    bool Stopped() const { return m_stop.load() != 0; }
    void Line(const std::string& line) { m_host.AddLine(line); }
    RemoteLook LookUp(const std::string& remoteDir, const std::string& name);
    // A folder to be made on the server where the server holds a file of its
    // name: said in the log. True when `remote` is such a file.
    bool FileInTheWay(const std::string& remote);
    // A file arrived in, or a folder was made in, the server folder `dir`.
    void Arrived(const std::string& dir);
    // Makes the server folder `remote`; true when the server made it.
    bool MakeFolder(const std::string& remote);
    // False when the file was skipped.
    bool UploadFile(const std::string& source, const std::string& remoteDir,
                    const std::string& name, bool topLevel);
};
