// The download and upload batches. A pane hands the engine a request (what is
// selected, where it goes) and a host to report to; one worker thread does the
// rest: the probes, then the planner's walks turn the request into a list of
// jobs (transfer/TransferPlanner.h), then the queue runs them in order with
// the replace question, the transfers and the log lines. One batch at a time, in either direction.
// A request may give the batch connections of its own: its files then move on
// several at once, one worker and one session each, the browsing session left
// to the pane.
// Stop is honoured within a second, also in the middle of a file. A file whose connection is lost
// goes on from where it stopped on a new login, up to kTransferTries tries; only then does it get
// its error line.
#pragma once

#include "transfer/BatchControl.h"
#include "transfer/ReplaceState.h"
#include "transfer/TransferHost.h"
#include "transfer/TransferItem.h"
#include "transfer/TransferJob.h"
#include "transfer/TransferQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

// A batch moves its files on at most this many connections at once.
constexpr int kMaxConnections = 10;

// Opens a new session to the batch's server, not yet connected (null when it
// cannot even be set up). Called on the worker that then connects it.
using OpenSession = std::function<std::shared_ptr<remote::IRemoteFs>()>;

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
    // Connections of its own: with `openSession`, the batch first opens one
    // for its probes and walks (the pane's `session` is left to browse), and
    // its files move on up to `connections` (at most kMaxConnections), each
    // connected on its worker when the batch has files for it. A connection
    // the server refuses is no error: the batch goes on with those it has
    // (with none, on `session`), and BatchResult says how many it had.
    OpenSession openSession;
    int connections = 1;
    // What the user changes of the batch from its list (none: nothing).
    std::shared_ptr<CBatchControl> control;
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
    // Connections of its own: with `openSession`, the batch first opens one
    // for its probes and walks (the pane's `session` is left to browse), and
    // its files move on up to `connections` (at most kMaxConnections), each
    // connected on its worker when the batch has files for it. A connection
    // the server refuses is no error: the batch goes on with those it has
    // (with none, on `session`), and BatchResult says how many it had.
    OpenSession openSession;
    int connections = 1;
    // What the user changes of the batch from its list (none: nothing).
    std::shared_ptr<CBatchControl> control;
};

// The sessions of a batch's own connections, so that a Stop from any thread
// reaches each of them, also one still connecting.
class CSessionPool {
public:
    // Keeps `session` for a Stop. False, and the session closed, when the
    // Stop came already.
    bool Add(const std::shared_ptr<remote::IRemoteFs>& session);
    // Closes every session kept and each one added later.
    void CloseAll();
    // The batch works on the session it was handed (it got no connection of
    // its own): a Stop aborts what runs there.
    void MarkBorrowed() { m_borrowed = true; }
    bool Borrowed() const { return m_borrowed; }

private:
    std::atomic<bool> m_borrowed{false};
    std::mutex m_mutex;
    std::vector<std::shared_ptr<remote::IRemoteFs>> m_sessions; // guarded
    bool m_closed = false;                                      // guarded
};

// A host whose lines and progress reach the real one one call at a time,
// whichever worker they come from. The replace question is passed on as it
// comes (the batches ask it one at a time themselves): a worker waiting for
// the answer must not hold up the others' lines.
class CSerialHost : public ITransferHost {
public:
    explicit CSerialHost(ITransferHost& host) : m_host(host) {}
    void OnBatchStart(TransferDirection direction) override;
    void AddLine(const std::string& line) override;
    // Lines that belong together, with no other worker's line between them.
    void AddLines(const std::vector<std::string>& lines);
    ReplaceAnswer AskReplace(const ReplaceQuestion& question) override;
    void OnProgress(const TransferProgress& progress) override;
    void OnPlanned(const JobList& jobs, std::size_t first) override;
    void OnJobChanged(const JobChange& change) override;
    void OnSession(bool own) override;
    void OnBatchEnd(const BatchResult& result) override;

private:
    ITransferHost& m_host;
    std::mutex m_mutex;
};

class CTransferEngine {
public:
    CTransferEngine() = default;
    // Stops a running batch and waits for its worker.
    ~CTransferEngine();
    CTransferEngine(const CTransferEngine&) = delete;
    CTransferEngine& operator=(const CTransferEngine&) = delete;

    // Start a batch on the engine's worker thread; while one runs, the new
    // one waits and begins when those before it have ended (one batch at a
    // time, in either direction). False (and nothing happens) without a
    // session or a host.
    bool StartDownload(DownloadRequest request, std::shared_ptr<ITransferHost> host);
    bool StartUpload(UploadRequest request, std::shared_ptr<ITransferHost> host);

    // From any thread: the running batch ends after the file in flight is
    // abandoned, and those waiting never begin (each host still hears
    // OnBatchEnd, as stopped).
    void Stop();
    // A batch runs or waits.
    bool IsBusy() const { return m_busy; }
    // The running batch works on the session it was handed (the pane's) and
    // not on a connection of its own: the pane's session is not free.
    bool BorrowsSession() const;
    // For tests and shutdown: waits until the worker has ended, its
    // OnBatchEnd included. False on timeout.
    bool WaitIdle(int timeoutMs);

    // The stop request of the running batch; cleared when a batch starts.
    std::atomic<int> m_bStop{0};

private:
    // A batch to run: its steps, given the pool of its own connections.
    struct Batch {
        std::function<BatchResult(std::shared_ptr<CSessionPool>)> work;
        std::shared_ptr<ITransferHost> host;
        std::shared_ptr<remote::IRemoteFs> session;
        TransferDirection direction = TransferDirection::Download;
        std::shared_ptr<CSessionPool> pool = std::make_shared<CSessionPool>();
    };

    std::atomic<bool> m_busy{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_running = false; // guarded by m_mutex
    std::thread m_thread;
    std::shared_ptr<remote::IRemoteFs> m_session; // of the running batch, for Stop
    std::shared_ptr<CSessionPool> m_pool;         // its own connections, for Stop
    std::deque<Batch> m_waiting;                  // guarded by m_mutex
    std::vector<Batch> m_dropped;                 // a Stop's; guarded by m_mutex

    bool Enqueue(Batch batch);
    void RunBatches(Batch first);
    // A batch of the kind `Run` (CDownloadBatch, CUploadBatch) into the queue.
    template <class Run, class Request>
    bool Start(Request request, std::shared_ptr<ITransferHost> host, TransferDirection direction);
};

// The progress of a batch whose files move on several connections at once:
// the bytes of the files ended and of those in flight, against the batch's
// planned bytes; one report for all of them, a few times a second at most.
class CBatchProgress {
public:
    CBatchProgress(ITransferHost& host, TransferDirection direction, int workers);
    // The planned bytes: the known sizes of the plan's files.
    void Plan(const JobList& jobs);
    void Connected(); // one more connection moves files
    void Disconnected();
    // Worker `slot` begins a file (the plan's job `job`), moves some of it,
    // has ended it (sent or failed).
    void Begin(int slot, std::size_t job, const std::string& name, std::uint64_t total);
    void Update(int slot, std::uint64_t done, std::uint64_t total);
    void FileEnded(int slot);
    // Worker `slot` is done with a file job, its file moved, failed or skipped.
    void JobEnded(int slot, const TransferJob& job);
    // The batch's last figures, whenever the report before them came.
    void Finish();

private:
    struct Slot {
        bool begun = false;
        std::uint64_t done = 0, total = 0;
        std::size_t job = 0;
    };
    ITransferHost& m_host;
    std::mutex m_mutex;
    std::vector<Slot> m_slots;                           // guarded
    TransferProgress m_progress;                         // guarded
    std::uint64_t m_total = 0, m_ended = 0, m_moved = 0; // guarded
    std::chrono::steady_clock::time_point m_start, m_last;

    // Under m_mutex: tells the host when the last report is old enough.
    void Report(bool force);
};

// Throttled progress of the file in flight; also turns a stop request into an
// abort of the transfer, wherever the request came from. With a batch's
// progress given, the file's figures go there instead.
class CProgressMeter {
public:
    CProgressMeter(ITransferHost& host, TransferDirection direction, const std::atomic<int>& stop,
                   remote::IRemoteFs* session, CBatchProgress* batch = nullptr, int slot = 0);
    // Before a file: its name and announced size.
    void Begin(const std::string& name, std::uint64_t total);
    // The plan's job the next file is; a StopJob of it aborts the transfer.
    void SetJob(std::size_t job, const CBatchControl* control) {
        m_job = job;
        m_control = control;
    }
    void Update(std::uint64_t done, std::uint64_t total);
    // After a file that began, sent or failed.
    void FileEnded();
    std::uint64_t m_nFilesDone = 0;

private:
    ITransferHost& m_host;
    TransferDirection m_direction;
    const std::atomic<int>& m_stop;
    remote::IRemoteFs* m_session;
    CBatchProgress* m_batch;
    int m_slot;
    std::size_t m_job = 0;
    const CBatchControl* m_control = nullptr;
    TransferProgress m_progress;
    std::chrono::steady_clock::time_point m_start, m_last;
};

// What one worker of a batch moves files with: its session and its progress,
// and of the job it runs, its place in the plan and how it ended.
struct TransferWorker {
    TransferWorker(remote::IRemoteFs* s, CProgressMeter* m, CBatchControl* c = nullptr)
        : session(s), meter(m), control(c) {}
    remote::IRemoteFs* session = nullptr;
    CProgressMeter* meter = nullptr;
    CBatchControl* control = nullptr;
    std::size_t job = 0;
    JobState ended = JobState::Done;
    std::string reason; // Failed: why

    // The user stopped this job from the list.
    bool JobStopped() const { return control && control->Stopped(job); }
    void End(JobState state, std::string why = {}) {
        ended = state;
        reason = std::move(why);
    }
};

// The batches' steps, run on the worker; public so tests can drive them on
// their own thread.
class CDownloadBatch {
public:
    // `pool`: where the sessions of the batch's own connections are kept for
    // a Stop (the engine's; a pool of its own when none is given).
    CDownloadBatch(DownloadRequest request, ITransferHost& host, const std::atomic<int>& stop,
                   std::shared_ptr<CSessionPool> pool = nullptr);
    // The command's steps: probe each name, create the top-level local folders,
    // build m_arrDownload.
    void Prepare();
    // DownloadThreadProc's steps: the plan, then its jobs. Returns how the
    // batch ended.
    BatchResult Run();
    // One job of the plan, on the request's session; the replace answers
    // carry from job to job.
    JobOutcome RunJob(const TransferJob& job);

    std::vector<CTransferItem> m_arrDownload;
    CReplaceState m_replace; // guarded by m_askMutex while the jobs run

private:
    DownloadRequest m_request;
    std::shared_ptr<remote::IRemoteFs> m_lead; // the batch's first own connection
    CSerialHost m_serialHost;
    ITransferHost& m_host; // m_serialHost
    const std::atomic<int>& m_stop;
    std::shared_ptr<CSessionPool> m_pool;
    std::mutex m_resultMutex;
    BatchResult m_result; // guarded by m_resultMutex while the jobs run
    // The replace question and what its answers decide, for one file at a time.
    std::mutex m_askMutex;
    CProgressMeter m_meter;
    // Sizes of the selected files, from one listing of their folder.
    std::map<std::string, std::uint64_t> m_topSizes;

    bool Stopped() const { return m_stop.load() != 0; }
    void Line(const std::string& line) { m_host.AddLine(line); }
    JobOutcome RunJob(const TransferJob& job, TransferWorker& worker);
    // One file: the question, the skip rules, the fetch and its lines.
    // `announced`: the size the file must have (-1: the server is asked).
    // False when the file was skipped.
    bool DownloadFile(TransferWorker& worker, const std::string& remote, const std::string& target,
                      const std::string& root, const std::string& name, std::uint64_t size,
                      bool sizeKnown, bool topLevel, std::int64_t announced = -1);
};

class CUploadBatch {
public:
    CUploadBatch(UploadRequest request, ITransferHost& host, const std::atomic<int>& stop,
                 std::shared_ptr<CSessionPool> pool = nullptr);
    // The command's steps: test each name for a folder (without changing the
    // process's current folder), create the top-level remote folders, build
    // m_arrUpload.
    void Prepare();
    // UploadThreadProc's steps: the plan, then its jobs.
    BatchResult Run();
    // One job of the plan, on the request's session; the replace answers
    // carry from job to job.
    JobOutcome RunJob(const TransferJob& job);

    std::vector<CTransferItem> m_arrUpload;
    CReplaceState m_replace; // guarded by m_askMutex while the jobs run

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
    std::shared_ptr<remote::IRemoteFs> m_lead; // the batch's first own connection
    CSerialHost m_serialHost;
    ITransferHost& m_host; // m_serialHost
    const std::atomic<int>& m_stop;
    std::shared_ptr<CSessionPool> m_pool;
    std::mutex m_resultMutex;
    BatchResult m_result; // guarded by m_resultMutex while the jobs run
    // The replace question and what its answers decide, for one file at a time.
    std::mutex m_askMutex;
    CProgressMeter m_meter;
    // What the server's folders hold, shared by the workers; taken after
    // m_askMutex when both are held.
    std::mutex m_remoteMutex;
    std::map<std::string, RemoteFolder> m_remote; // guarded by m_remoteMutex

    std::string m_shownDir; // the folder the remote list shows

    bool Stopped() const { return m_stop.load() != 0; }
    void Line(const std::string& line) { m_host.AddLine(line); }
    JobOutcome RunJob(const TransferJob& job, TransferWorker& worker);
    RemoteLook LookUp(remote::IRemoteFs& session, const std::string& remoteDir,
                      const std::string& name);
    // A folder to be made on the server where the server holds a file of its
    // name: said in the log. True when `remote` is such a file.
    bool FileInTheWay(remote::IRemoteFs& session, const std::string& remote);
    // A file arrived in, or a folder was made in, the server folder `dir`.
    void Arrived(const std::string& dir);
    // Makes the server folder `remote`; true when the server made it.
    bool MakeFolder(remote::IRemoteFs& session, const std::string& remote);
    // False when the file was skipped.
    bool UploadFile(TransferWorker& worker, const std::string& source, const std::string& remoteDir,
                    const std::string& name, bool topLevel);
};
