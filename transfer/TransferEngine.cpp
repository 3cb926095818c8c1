#include "transfer/TransferEngine.h"

#include "platform/fs/Paths.h"
#include "platform/remote/RemoteFs.h"
#include "transfer/TransferPlanner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto kProgressEvery = std::chrono::milliseconds(100);

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string RealPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return "";
    std::string out = real;
    std::free(real);
    return out;
}

// `path` lies inside `root`, by its text and on the disk: its folder, with
// every link resolved, is `root` or below it.
// Counts the batches begun: what a batch resolved is never used by the next.
std::atomic<std::uint64_t> g_batches{0};

bool InsideFolder(const std::string& root, const std::string& path) {
    // A batch asks about the same root for every file: resolved once a batch
    // (per thread; a batch's root stays where it is while it runs).
    thread_local std::string lastRoot, lastReal;
    thread_local std::uint64_t lastBatch = 0;
    if (root != lastRoot || lastReal.empty() || lastBatch != g_batches.load()) {
        lastRoot = root;
        lastReal = RealPath(root);
        lastBatch = g_batches.load();
    }
    const std::string& realRoot = lastReal;
    std::string realParent = RealPath(files::Parent(path));
    if (realRoot.empty() || realParent.empty())
        return false;
    if (realRoot == "/")
        return true;
    return realParent == realRoot || (realParent.size() > realRoot.size() &&
                                      realParent.compare(0, realRoot.size(), realRoot) == 0 &&
                                      realParent[realRoot.size()] == '/');
}

// Whether a file whose try `tried` failed gets another: only a lost
// connection does, up to kTransferTries tries, after a pause that grows with
// each (a Stop ends it at once). The session logs in again by itself.
bool PauseBeforeNextTry(remote::IRemoteFs& session, const remote::Result& failed,
                        const std::atomic<int>& stop, int tried) {
    // A transfer that ended cleanly with sizes that disagree is tried once
    // more, whole (the session says when it was the second time).
    remote::Failure failure = failed.failure;
    if (tried >= kTransferTries ||
        (failure != remote::Failure::ConnectionLost && failure != remote::Failure::SizeMismatch))
        return false;
    // Read before the stop flag and the closed mark: a Stop or a Close after
    // the check counts up from here and ends the pause at once; one that came
    // before it (while the failed try was still winding down) ends the file.
    std::uint64_t aborts = session.AbortCount();
    if (stop.load() || session.IsClosed())
        return false;
    auto pause = kFirstRetryPause * (1 << (tried - 1));
    // A Close just as the pause runs out ends the file too: the next try
    // would only be announced to fail at once.
    return session.WaitForAbort(aborts, pause) && !stop.load() && !session.IsClosed();
}

// The line that opens a file's next try.
std::string TryLine(const std::string& name, std::uint64_t from, int attempt,
                    bool sizesDisagreed = false) {
    std::string of =
        " (try " + std::to_string(attempt) + " of " + std::to_string(kTransferTries) + ")";
    if (sizesDisagreed)
        return "Sizes disagree, starting " + PrintableName(name) + " again" + of;
    if (from == 0)
        return "Connection lost, starting " + PrintableName(name) + " again" + of;
    return "Connection lost, resuming " + PrintableName(name) + " at " + std::to_string(from) +
           " bytes" + of;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string FileOverFolderLine(const std::string& path) {
    return "A file does not replace a folder: " + PrintableName(path);
}

bool IsFileJob(const TransferJob& job) {
    return job.kind == JobKind::Download || job.kind == JobKind::Upload;
}

// The workers a batch on several connections starts: as many as it was given,
// but no more than it has files (a connection is only made for work).
int WorkersWanted(int connections, const JobList& jobs) {
    std::size_t files = std::count_if(jobs.begin(), jobs.end(), IsFileJob);
    return static_cast<int>(
        std::min<std::size_t>(std::clamp(connections, 1, kMaxConnections), files));
}

// The entries the user took off the list while the batch waited.
template <class T> void LeaveOutRemoved(const CBatchControl* control, std::vector<T>& entries) {
    if (!control)
        return;
    std::vector<T> kept;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (!control->ItemRemoved(i))
            kept.push_back(std::move(entries[i]));
    entries.swap(kept);
}

void LeaveOutRemoved(const CBatchControl* control, std::vector<std::string>& names,
                     std::vector<CTransferItem>& items) {
    LeaveOutRemoved(control, names);
    LeaveOutRemoved(control, items);
}

struct ConnectionsRun {
    int used = 0;
    int refused = 0;
};

using RunOne = std::function<JobOutcome(const TransferJob&, TransferWorker&)>;

// Runs jobs from the queue on one worker until none is left, and tells the
// host where each file job stands.
void WorkOn(CTransferQueue& queue, TransferWorker& worker, ITransferHost& host,
            CBatchProgress* progress, int slot, const RunOne& run) {
    while (auto job = queue.Take()) {
        std::size_t index = job->first;
        bool file = IsFileJob(job->second);
        worker.job = index;
        worker.End(JobState::Done);
        if (file) {
            worker.meter->SetJob(index, worker.control);
            if (worker.control)
                worker.control->Attach(index, worker.session);
            host.OnJobChanged({index, JobState::Moving, {}});
        }
        JobOutcome outcome = run(job->second, worker);
        if (file) {
            if (worker.control)
                worker.control->Detach(index);
            if (progress)
                progress->JobEnded(slot, job->second);
            host.OnJobChanged({index, worker.ended, worker.reason});
        }
        queue.Finished(index, outcome);
    }
}

// A connection of the batch's own, connected; null when it could not be
// opened or the server refused it (counted in `refused`) or a Stop came.
std::shared_ptr<remote::IRemoteFs> ConnectOwn(const OpenSession& open, CSessionPool& pool,
                                              const std::atomic<int>& stop,
                                              std::atomic<int>& refused) {
    if (stop.load())
        return nullptr;
    std::shared_ptr<remote::IRemoteFs> session = open ? open() : nullptr;
    if (!session) {
        ++refused;
        return nullptr;
    }
    if (!pool.Add(session))
        return nullptr; // a Stop came first
    remote::Result connected = session->Connect();
    if (!connected || stop.load()) {
        if (!stop.load())
            ++refused;
        session->Close();
        return nullptr;
    }
    return session;
}

// What the workers of a batch on connections of its own share.
struct OwnConnections {
    CTransferQueue& queue;
    const OpenSession& open;
    CSessionPool& pool;
    const std::atomic<int>& stop;
    ITransferHost& host;
    TransferDirection direction;
    CBatchProgress& progress;
    CBatchControl* control;
    const RunOne& run;
    std::atomic<int> used{0}, refused{0};

    // Worker `slot` moves files on `session` until the queue is done.
    void MoveFiles(int slot, const std::shared_ptr<remote::IRemoteFs>& session) {
        ++used;
        progress.Connected();
        CProgressMeter meter(host, direction, stop, session.get(), &progress, slot);
        TransferWorker worker{session.get(), &meter, control};
        WorkOn(queue, worker, host, &progress, slot, run);
        progress.Disconnected();
        session->Close();
    }
};

// Runs the queue on `wanted` workers, each on a session of its own that it
// opens and connects first (the first worker takes `lead`, connected
// already, when there is one). A worker whose session does not connect ends
// without a word: the others take its share.
ConnectionsRun RunOnConnections(CTransferQueue& queue, int wanted,
                                const std::shared_ptr<remote::IRemoteFs>& lead,
                                const OpenSession& open, CSessionPool& pool,
                                const std::atomic<int>& stop, ITransferHost& host,
                                TransferDirection direction, CBatchProgress& progress,
                                CBatchControl* control, const RunOne& run) {
    OwnConnections own{queue, open, pool, stop, host, direction, progress, control, run};
    std::vector<std::thread> workers;
    for (int slot = 0; slot < wanted; ++slot)
        workers.emplace_back([&, slot] {
            std::shared_ptr<remote::IRemoteFs> session =
                slot == 0 && lead ? lead : ConnectOwn(open, pool, stop, own.refused);
            if (session)
                own.MoveFiles(slot, session);
        });
    for (std::thread& worker : workers)
        worker.join();
    if (own.used.load() > 0)
        progress.Finish();
    return {own.used.load(), own.refused.load()};
}

// Runs a download's jobs while they are planned: `plan` walks the server on
// the batch's lead connection and hands out the jobs of each folder listed;
// meanwhile the other connections log in as soon as there is work and move
// the files found so far. Once the walk is done the lead moves files too.
void RunWhilePlanning(const std::function<void(const std::function<void(const JobList&)>&)>& plan,
                      int connections, const std::shared_ptr<remote::IRemoteFs>& lead,
                      const OpenSession& open, CSessionPool& pool, const std::atomic<int>& stop,
                      ITransferHost& host, TransferDirection direction, CBatchControl* control,
                      const RunOne& run, BatchResult& result) {
    int wanted = std::clamp(connections, 1, kMaxConnections);
    CTransferQueue queue({}, stop, control, true);
    CBatchProgress progress(host, direction, wanted);
    OwnConnections own{queue, open, pool, stop, host, direction, progress, control, run};
    std::vector<std::thread> workers;
    for (int slot = 1; slot < wanted; ++slot)
        workers.emplace_back([&, slot] {
            // A connection is only made for work.
            if (!queue.WaitForWork())
                return;
            if (std::shared_ptr<remote::IRemoteFs> session =
                    ConnectOwn(open, pool, stop, own.refused))
                own.MoveFiles(slot, session);
        });
    std::size_t planned = 0;
    plan([&](const JobList& more) {
        host.OnPlanned(more, planned);
        progress.Plan(more);
        queue.Append(more);
        planned += more.size();
    });
    queue.Close();
    own.MoveFiles(0, lead);
    for (std::thread& worker : workers)
        worker.join();
    progress.Finish();
    result.connectionsUsed = own.used.load();
    result.connectionsRefused = own.refused.load();
}

// The batch's first connection of its own, connected; null when the request
// gives no way to open one or the server refused it.
std::shared_ptr<remote::IRemoteFs> ConnectLead(const OpenSession& open, CSessionPool& pool,
                                               const std::atomic<int>& stop) {
    if (!open || stop.load())
        return nullptr;
    std::shared_ptr<remote::IRemoteFs> session = open();
    if (!session || !pool.Add(session))
        return nullptr;
    if (!session->Connect() || stop.load()) {
        session->Close();
        return nullptr;
    }
    return session;
}

// A batch begins: its names are no longer taken off the list, and its probes
// and walks go on a connection of its own when it gets one (the pane's
// session stays free for browsing), else on the pane's session. Returns that
// connection.
template <class Request>
std::shared_ptr<remote::IRemoteFs> BeginBatch(Request& request, CSessionPool& pool,
                                              const std::atomic<int>& stop, ITransferHost& host) {
    ++g_batches;
    if (request.control)
        request.control->Begin();
    std::shared_ptr<remote::IRemoteFs> lead = ConnectLead(request.openSession, pool, stop);
    if (lead) {
        request.session = lead;
        host.OnSession(true);
    } else if (!stop.load()) {
        pool.MarkBorrowed();
        host.OnSession(false);
    }
    LeaveOutRemoved(request.control.get(), request.names, request.items);
    return lead;
}

// Runs a plan's jobs: on connections of the batch's own when it has its lead
// or the request asks for more than one, else (or when none of them could be
// made) on the session the batch was handed, as they always did.
void RunPlan(const JobList& jobs, int connections, const std::shared_ptr<remote::IRemoteFs>& lead,
             const OpenSession& open, CSessionPool& pool, const std::atomic<int>& stop,
             ITransferHost& host, TransferDirection direction, CBatchControl* control,
             const RunOne& onOwn, TransferWorker shared, BatchResult& result) {
    host.OnPlanned(jobs, 0);
    CTransferQueue queue(jobs, stop, control);
    int workers = WorkersWanted(connections, jobs);
    ConnectionsRun own;
    if ((lead || (connections > 1 && open)) && workers > 0) {
        CBatchProgress progress(host, direction, workers);
        progress.Plan(jobs);
        own = RunOnConnections(queue, workers, lead, open, pool, stop, host, direction, progress,
                               control, onOwn);
        result.connectionsUsed = own.used;
        result.connectionsRefused = own.refused;
    } else if (open && !lead && !stop.load()) {
        result.connectionsRefused = 1; // not even one of its own: the server's limit
    }
    if (own.used == 0) {
        shared.control = control;
        WorkOn(queue, shared, host, nullptr, 0, onOwn);
        result.connectionsUsed = 1;
    }
    if (lead)
        lead->Close();
}

} // namespace

// ---- the batch's own connections ----

bool CSessionPool::Add(const std::shared_ptr<remote::IRemoteFs>& session) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_sessions.push_back(session);
            return true;
        }
    }
    session->Close();
    return false;
}

void CSessionPool::CloseAll() {
    std::vector<std::shared_ptr<remote::IRemoteFs>> sessions;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        sessions = m_sessions;
    }
    for (const auto& session : sessions)
        session->Close();
}

// ---- one call at a time ----

void CSerialHost::OnBatchStart(TransferDirection direction) {
    std::lock_guard lock(m_mutex);
    m_host.OnBatchStart(direction);
}

void CSerialHost::AddLine(const std::string& line) {
    std::lock_guard lock(m_mutex);
    m_host.AddLine(line);
}

void CSerialHost::AddLines(const std::vector<std::string>& lines) {
    std::lock_guard lock(m_mutex);
    for (const std::string& line : lines)
        m_host.AddLine(line);
}

ReplaceAnswer CSerialHost::AskReplace(const ReplaceQuestion& question) {
    return m_host.AskReplace(question);
}

void CSerialHost::OnProgress(const TransferProgress& progress) {
    std::lock_guard lock(m_mutex);
    m_host.OnProgress(progress);
}

void CSerialHost::OnPlanned(const JobList& jobs, std::size_t first) {
    std::lock_guard lock(m_mutex);
    m_host.OnPlanned(jobs, first);
}

void CSerialHost::OnJobChanged(const JobChange& change) {
    std::lock_guard lock(m_mutex);
    m_host.OnJobChanged(change);
}

void CSerialHost::OnSession(bool own) {
    std::lock_guard lock(m_mutex);
    m_host.OnSession(own);
}

void CSerialHost::OnBatchEnd(const BatchResult& result) {
    std::lock_guard lock(m_mutex);
    m_host.OnBatchEnd(result);
}

// ---- engine ----

CTransferEngine::~CTransferEngine() {
    Stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CTransferEngine::Enqueue(Batch batch) {
    if (!batch.host || !batch.session)
        return false;
    std::unique_lock lock(m_mutex);
    m_busy = true;
    if (m_running) {
        m_waiting.push_back(std::move(batch)); // begins when those before it have ended
        return true;
    }
    // The previous worker has announced its end already; it only returns.
    if (m_thread.joinable()) {
        lock.unlock();
        m_thread.join();
        lock.lock();
    }
    m_running = true;
    m_bStop = 0;
    m_session = batch.session;
    m_pool = batch.pool;
    m_thread =
        std::thread([this, batch = std::move(batch)]() mutable { RunBatches(std::move(batch)); });
    return true;
}

void CTransferEngine::RunBatches(Batch batch) {
    for (;;) {
        BatchResult result = batch.work(batch.pool);
        {
            std::lock_guard lock(m_mutex);
            m_session.reset();
            m_pool.reset();
            if (m_waiting.empty())
                m_busy = false;
        }
        batch.host->OnBatchEnd(result);
        // The sessions it held close here, not under the lock.
        batch = Batch{};
        for (;;) {
            std::vector<Batch> dropped;
            {
                std::lock_guard lock(m_mutex);
                dropped.swap(m_dropped);
                if (dropped.empty()) {
                    if (m_waiting.empty()) {
                        m_busy = false;
                        m_running = false;
                        m_idle.notify_all();
                        return;
                    }
                    batch = std::move(m_waiting.front());
                    m_waiting.pop_front();
                    m_bStop = 0;
                    m_session = batch.session;
                    m_pool = batch.pool;
                    break;
                }
            }
            // Those a Stop ended before they began hear it too, as stopped.
            for (Batch& gone : dropped) {
                BatchResult stopped;
                stopped.direction = gone.direction;
                stopped.stopped = true;
                gone.host->OnBatchEnd(stopped);
            }
        }
    }
}

template <class Run, class Request>
bool CTransferEngine::Start(Request request, std::shared_ptr<ITransferHost> host,
                            TransferDirection direction) {
    Batch batch;
    batch.session = request.session;
    batch.host = host;
    batch.direction = direction;
    batch.work = [this, request = std::move(request),
                  host](std::shared_ptr<CSessionPool> pool) mutable {
        Run run(std::move(request), *host, m_bStop, std::move(pool));
        run.Prepare();
        return run.Run();
    };
    return Enqueue(std::move(batch));
}

bool CTransferEngine::StartDownload(DownloadRequest request, std::shared_ptr<ITransferHost> host) {
    return Start<CDownloadBatch>(std::move(request), std::move(host), TransferDirection::Download);
}

bool CTransferEngine::StartUpload(UploadRequest request, std::shared_ptr<ITransferHost> host) {
    return Start<CUploadBatch>(std::move(request), std::move(host), TransferDirection::Upload);
}

void CTransferEngine::Stop() {
    if (!m_busy)
        return;
    std::lock_guard lock(m_mutex);
    if (!m_running)
        return;
    m_bStop = 1;
    // Those waiting never begin; the worker tells their hosts.
    for (Batch& waiting : m_waiting)
        m_dropped.push_back(std::move(waiting));
    m_waiting.clear();
    // Only a batch that works on the pane's session aborts what runs there.
    if (m_session && m_pool && m_pool->Borrowed())
        m_session->Abort();
    if (m_pool)
        m_pool->CloseAll();
}

bool CTransferEngine::BorrowsSession() const {
    std::lock_guard lock(m_mutex);
    return m_running && m_session && m_pool && m_pool->Borrowed();
}

bool CTransferEngine::WaitIdle(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !m_running; });
}

// ---- progress ----

CBatchProgress::CBatchProgress(ITransferHost& host, TransferDirection direction, int workers)
    : m_host(host), m_slots(static_cast<std::size_t>(std::max(workers, 1))) {
    m_progress.direction = direction;
    m_progress.wholeBatch = true;
    m_progress.connections = 0;
    m_start = std::chrono::steady_clock::now();
}

void CBatchProgress::Plan(const JobList& jobs) {
    std::lock_guard lock(m_mutex);
    for (const TransferJob& job : jobs)
        if (IsFileJob(job) && job.sizeKnown)
            m_total += job.size;
}

void CBatchProgress::Connected() {
    std::lock_guard lock(m_mutex);
    ++m_progress.connections;
}

void CBatchProgress::Disconnected() {
    std::lock_guard lock(m_mutex);
    --m_progress.connections;
}

void CBatchProgress::Begin(int slot, std::size_t job, const std::string& name,
                           std::uint64_t total) {
    std::lock_guard lock(m_mutex);
    m_slots[slot] = Slot{true, 0, total, job};
    m_progress.name = name;
    Report(false);
}

void CBatchProgress::Update(int slot, std::uint64_t done, std::uint64_t total) {
    std::lock_guard lock(m_mutex);
    m_slots[slot].done = done;
    if (total)
        m_slots[slot].total = total;
    Report(false);
}

void CBatchProgress::FileEnded(int) {
    std::lock_guard lock(m_mutex);
    ++m_progress.filesDone;
}

void CBatchProgress::JobEnded(int slot, const TransferJob& job) {
    std::lock_guard lock(m_mutex);
    Slot& s = m_slots[slot];
    if (s.begun) {
        // Sent or failed, it counts whole: the bar moves on to the next.
        m_ended += job.sizeKnown ? job.size : s.total;
        if (!job.sizeKnown)
            m_total += s.total;
        m_moved += s.done;
    } else if (job.sizeKnown) {
        m_total -= std::min(m_total, job.size); // skipped: not part of the batch after all
    }
    s = Slot{};
    Report(false);
}

void CBatchProgress::Finish() {
    std::lock_guard lock(m_mutex);
    Report(true);
}

void CBatchProgress::Report(bool force) {
    auto now = std::chrono::steady_clock::now();
    if (!force && now - m_last < kProgressEvery)
        return;
    m_last = now;
    std::uint64_t inFlight = 0, movedInFlight = 0;
    m_progress.moving.clear();
    for (const Slot& s : m_slots) {
        if (!s.begun)
            continue;
        inFlight += std::min(s.done, s.total ? s.total : s.done);
        movedInFlight += s.done;
        m_progress.moving.push_back({s.job, s.done, s.total});
    }
    m_progress.done = m_ended + inFlight;
    m_progress.total = std::max(m_total, m_progress.done);
    double seconds = std::chrono::duration<double>(now - m_start).count();
    m_progress.bytesPerSecond = seconds > 0 ? (m_moved + movedInFlight) / seconds : 0;
    m_host.OnProgress(m_progress);
}

CProgressMeter::CProgressMeter(ITransferHost& host, TransferDirection direction,
                               const std::atomic<int>& stop, remote::IRemoteFs* session,
                               CBatchProgress* batch, int slot)
    : m_host(host), m_direction(direction), m_stop(stop), m_session(session), m_batch(batch),
      m_slot(slot) {}

void CProgressMeter::FileEnded() {
    ++m_nFilesDone;
    if (m_batch)
        m_batch->FileEnded(m_slot);
}

void CProgressMeter::Begin(const std::string& name, std::uint64_t total) {
    if (m_batch) {
        m_batch->Begin(m_slot, m_job, name, total);
        return;
    }
    m_progress = TransferProgress{};
    m_progress.direction = m_direction;
    m_progress.name = name;
    m_progress.total = total;
    m_progress.filesDone = m_nFilesDone;
    m_progress.moving = {{m_job, 0, total}};
    m_start = std::chrono::steady_clock::now();
    // Many small files: a report only when the last one is old enough.
    if (m_start - m_last >= kProgressEvery) {
        m_last = m_start;
        m_host.OnProgress(m_progress);
    }
}

void CProgressMeter::Update(std::uint64_t done, std::uint64_t total) {
    // A stop that came between two requests (when the abort found nothing to
    // end) ends this one at its next step.
    if ((m_stop.load() || (m_control && m_control->Stopped(m_job))) && m_session)
        m_session->Abort();
    if (m_batch) {
        m_batch->Update(m_slot, done, total);
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - m_last < kProgressEvery)
        return;
    m_last = now;
    m_progress.done = done;
    if (total)
        m_progress.total = total;
    m_progress.moving = {{m_job, done, m_progress.total}};
    double seconds = std::chrono::duration<double>(now - m_start).count();
    m_progress.bytesPerSecond = seconds > 0 ? done / seconds : 0;
    m_host.OnProgress(m_progress);
}

// ---- download ----

CDownloadBatch::CDownloadBatch(DownloadRequest request, ITransferHost& host,
                               const std::atomic<int>& stop, std::shared_ptr<CSessionPool> pool)
    : m_request(std::move(request)), m_serialHost(host), m_host(m_serialHost), m_stop(stop),
      m_pool(pool ? std::move(pool) : std::make_shared<CSessionPool>()),
      m_meter(m_host, TransferDirection::Download, stop, m_request.session.get()) {
    m_result.direction = TransferDirection::Download;
}

void CDownloadBatch::Prepare() {
    m_replace.Reset();
    m_arrDownload.clear();
    m_lead = BeginBatch(m_request, *m_pool, m_stop, m_host);
    remote::IRemoteFs& session = *m_request.session;
    if (m_request.dropMode) {
        m_arrDownload = m_request.items;
        // An entry the drop did not test: a folder is mirrored into its
        // local path (made now), its contents relative to the folder itself.
        for (CTransferItem& item : m_arrDownload) {
            if (item.m_bIsFolder != kFolderUnknown)
                continue;
            bool folder = !Stopped() && IsSafeName(item.m_strName) &&
                          session.ProbeFolder("/" + item.m_strRemotePath);
            item.m_bIsFolder = folder ? 1 : 0;
            if (!folder)
                continue;
            item.m_nPrefixLen = static_cast<int>(item.m_strRemotePath.size());
            if (InsideFolder(files::Parent(item.m_strLocalPath), item.m_strLocalPath))
                mkdir(item.m_strLocalPath.c_str(), 0777); // failures show as the files' errors
        }
        return;
    }
    for (const std::string& name : m_request.names) {
        if (Stopped())
            return;
        if (!IsSafeName(name)) {
            Line(UnsafeLine(name));
            continue;
        }
        std::string probe = "/" + m_request.currentPath + "/" + name;
        if (session.ChangeFolder(probe)) {
            std::string local = files::Join(m_request.localDir, name);
            if (InsideFolder(m_request.localDir, local))
                mkdir(local.c_str(), 0777); // an existing folder is fine
            m_arrDownload.emplace_back(probe, name, 1,
                                       static_cast<int>(m_request.currentPath.size()));
        } else {
            m_arrDownload.emplace_back(probe, name, 0, 0);
        }
    }
    // One listing gives the sizes of all selected files (for the question and
    // the progress), instead of one request per file.
    bool anyFile = std::any_of(m_arrDownload.begin(), m_arrDownload.end(),
                               [](const CTransferItem& i) { return !i.m_bIsFolder; });
    std::vector<remote::Entry> entries;
    if (anyFile && !Stopped() && session.List(NormalisePath("/" + m_request.currentPath), &entries))
        for (const remote::Entry& e : entries)
            if (!e.isDirectory)
                m_topSizes[e.name] = e.size;
}

BatchResult CDownloadBatch::Run() {
    m_host.OnBatchStart(TransferDirection::Download);
    if (m_request.dropMode)
        m_result.changed = true;
    CDownloadPlanner planner(m_request.session, m_stop, m_request.localDir, m_request.dropMode);
    if (m_lead) {
        // The files of the folders listed so far move while the walk goes on.
        RunWhilePlanning(
            [&](const std::function<void(const JobList&)>& handOut) {
                planner.m_onPlanned = handOut;
                planner.Plan(m_arrDownload, m_topSizes);
            },
            m_request.connections, m_lead, m_request.openSession, *m_pool, m_stop, m_host,
            TransferDirection::Download, m_request.control.get(),
            [this](const TransferJob& job, TransferWorker& worker) { return RunJob(job, worker); },
            m_result);
        m_arrDownload.clear();
        m_result.stopped = Stopped();
        return m_result;
    }
    JobList jobs = planner.Plan(m_arrDownload, m_topSizes);
    RunPlan(
        jobs, m_request.connections, m_lead, m_request.openSession, *m_pool, m_stop, m_host,
        TransferDirection::Download, m_request.control.get(),
        [this](const TransferJob& job, TransferWorker& worker) { return RunJob(job, worker); },
        TransferWorker{m_request.session.get(), &m_meter}, m_result);
    m_arrDownload.clear();
    m_result.stopped = Stopped();
    return m_result;
}

JobOutcome CDownloadBatch::RunJob(const TransferJob& job) {
    TransferWorker worker{m_request.session.get(), &m_meter};
    return RunJob(job, worker);
}

JobOutcome CDownloadBatch::RunJob(const TransferJob& job, TransferWorker& worker) {
    switch (job.kind) {
    case JobKind::Line:
        Line(job.line);
        break;
    case JobKind::LocalFolder:
        if (InsideFolder(job.root, job.local))
            mkdir(job.local.c_str(), 0777); // failures show as the files' errors
        break;
    case JobKind::Download:
        DownloadFile(worker, job.remote, job.local, job.root, job.name, job.size, job.sizeKnown,
                     job.topLevel, job.announced);
        break;
    case JobKind::RemoteFolder:
    case JobKind::Upload:
        break; // not in a download's plan
    }
    return JobOutcome::Done;
}

bool CDownloadBatch::DownloadFile(TransferWorker& worker, const std::string& remote,
                                  const std::string& target, const std::string& root,
                                  const std::string& name, std::uint64_t size, bool sizeKnown,
                                  bool topLevel, std::int64_t announced) {
    remote::IRemoteFs& session = *worker.session;
    CProgressMeter& meter = *worker.meter;
    auto count = [this](std::uint64_t BatchResult::*field) {
        std::lock_guard lock(m_resultMutex);
        ++(m_result.*field);
    };
    // A file never takes a folder's place: no question, one line, and on.
    if (IsDirectory(target)) {
        Line(FileOverFolderLine(target));
        count(&BatchResult::filesSkipped);
        worker.End(JobState::Skipped);
        return false;
    }
    {
        // The question and what its answer decides, one file at a time: an
        // answer for all holds for every worker's next file.
        std::lock_guard asking(m_askMutex);
        auto ask = [this](const ReplaceQuestion& q) { return m_host.AskReplace(q); };
        if (m_replace.m_bAsk && Exists(target)) {
            if (!sizeKnown) {
                // The size is only needed for the question: one listing then.
                if (session.FindFile(remote, &size, nullptr, nullptr) == remote::Presence::Present)
                    sizeKnown = true;
            }
            m_replace.ConfirmDownloadReplace(target, name, FormatSizeText(size), ask);
        }
        if (m_replace.DownloadSkips(Exists(target))) {
            count(&BatchResult::filesSkipped);
            worker.End(JobState::Skipped);
            return false;
        }
    }
    // Stopped from the list while it waited for its turn at the question.
    if (worker.JobStopped()) {
        Line("Stopped Downloading  " + PrintableName(name));
        worker.End(JobState::Stopped);
        return true;
    }
    {
        std::lock_guard lock(m_resultMutex);
        m_result.changed = true;
    }
    Line("Downloading  " + PrintableName(name));
    bool ok = false;
    std::string reason;
    // The target is joined from safe names; this also refuses a folder on the
    // way that is a link to somewhere else.
    if (InsideFolder(root, target)) {
        meter.Begin(name, sizeKnown ? size : 0);
        // A lost connection keeps what arrived; the next try goes on from there.
        files::Landing partial;
        for (int tried = 1;; ++tried) {
            remote::Result got = session.Download(
                remote, target,
                [&meter](std::uint64_t done, std::uint64_t total) { meter.Update(done, total); },
                announced, &partial);
            ok = got.Ok();
            if (!ok)
                reason = got.reply;
            if (ok || !PauseBeforeNextTry(session, got, m_stop, tried))
                break;
            Line(TryLine(name, partial.Have(), tried + 1));
        }
    } else {
        reason = "The local folder is not where it was: nothing is written through a link";
    }
    meter.FileEnded();
    if (ok) {
        count(&BatchResult::filesDone);
        Line("Done");
    } else if (Stopped() || worker.JobStopped()) {
        Line("Stopped Downloading  " + PrintableName(name));
        worker.End(JobState::Stopped);
    } else {
        worker.End(JobState::Failed, PrintableName(reason));
        count(&BatchResult::filesFailed);
        // The reason right below its error line, whatever the other
        // connections say meanwhile.
        std::vector<std::string> lines{topLevel ? "Error Downloading  " + PrintableName(name)
                                                : std::string("Error ")};
        if (!reason.empty())
            lines.push_back(PrintableName(reason));
        m_serialHost.AddLines(lines);
    }
    return true;
}

// ---- upload ----

CUploadBatch::CUploadBatch(UploadRequest request, ITransferHost& host, const std::atomic<int>& stop,
                           std::shared_ptr<CSessionPool> pool)
    : m_request(std::move(request)), m_serialHost(host), m_host(m_serialHost), m_stop(stop),
      m_pool(pool ? std::move(pool) : std::make_shared<CSessionPool>()),
      m_meter(m_host, TransferDirection::Upload, stop, m_request.session.get()) {
    m_result.direction = TransferDirection::Upload;
}

void CUploadBatch::Prepare() {
    m_replace.Reset();
    m_arrUpload.clear();
    m_lead = BeginBatch(m_request, *m_pool, m_stop, m_host);
    std::string remoteDir = "/" + m_request.remoteDir;
    m_shownDir = NormalisePath(remoteDir);
    bool into = false;
    if (!m_request.intoFolder.empty() && IsSafeName(m_request.intoFolder) && !Stopped()) {
        std::string folder = NormalisePath(remoteDir + "/" + m_request.intoFolder);
        if (m_request.session->ProbeFolder(folder)) {
            remoteDir = folder;
            into = true;
        }
    }
    if (m_request.dropMode) {
        m_arrUpload = m_request.items;
        // A dropped folder is made here, on the worker, like the command's.
        for (CTransferItem& item : m_arrUpload) {
            if (into)
                item.m_strRemotePath = remoteDir + "/" + item.m_strName;
            if (!item.m_bIsFolder)
                continue;
            std::string remote = NormalisePath(item.m_strRemotePath);
            if (MakeFolder(*m_request.session, remote))
                m_remote[remote].listed = true;
            else if (FileInTheWay(*m_request.session, remote))
                item.m_strName.clear(); // left out below
        }
        std::erase_if(m_arrUpload, [](const CTransferItem& i) { return i.m_strName.empty(); });
        return;
    }
    for (const std::string& name : m_request.names) {
        if (Stopped())
            return;
        if (!IsSafeName(name)) {
            Line(UnsafeLine(name));
            continue;
        }
        std::string remote = NormalisePath(remoteDir + "/" + name);
        std::string local = files::Join(m_request.localDir, name);
        // The folder test looks at the entry; the process's folder stays.
        struct stat st;
        bool folder = stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        // An existing folder is fine; one just made is known to be empty.
        if (folder && MakeFolder(*m_request.session, remote))
            m_remote[remote].listed = true;
        else if (folder && FileInTheWay(*m_request.session, remote))
            continue;
        m_arrUpload.emplace_back(local, remote, name, folder ? 1 : 0);
    }
}

BatchResult CUploadBatch::Run() {
    m_host.OnBatchStart(TransferDirection::Upload);
    CUploadPlanner planner(m_stop, m_request.localDir, m_request.dropMode);
    JobList jobs = planner.Plan(m_arrUpload);
    RunPlan(
        jobs, m_request.connections, m_lead, m_request.openSession, *m_pool, m_stop, m_host,
        TransferDirection::Upload, m_request.control.get(),
        [this](const TransferJob& job, TransferWorker& worker) { return RunJob(job, worker); },
        TransferWorker{m_request.session.get(), &m_meter}, m_result);
    m_arrUpload.clear();
    m_result.stopped = Stopped();
    return m_result;
}

JobOutcome CUploadBatch::RunJob(const TransferJob& job) {
    TransferWorker worker{m_request.session.get(), &m_meter};
    return RunJob(job, worker);
}

JobOutcome CUploadBatch::RunJob(const TransferJob& job, TransferWorker& worker) {
    switch (job.kind) {
    case JobKind::Line:
        Line(job.line);
        break;
    case JobKind::RemoteFolder:
        if (MakeFolder(*worker.session, job.remote)) {
            Line("Creating Directory " + PrintableName(job.remote));
            // A folder just made is empty: no listing needed for it.
            std::lock_guard lock(m_remoteMutex);
            m_remote[job.remote].listed = true;
        } else if (FileInTheWay(*worker.session, job.remote)) {
            return JobOutcome::LeaveOutContents;
        }
        break;
    case JobKind::Upload:
        UploadFile(worker, job.local, job.remote, job.name, job.topLevel);
        break;
    case JobKind::LocalFolder:
    case JobKind::Download:
        break; // not in an upload's plan
    }
    return JobOutcome::Done;
}

void CUploadBatch::Arrived(const std::string& dir) {
    if (NormalisePath(dir) == m_shownDir) {
        std::lock_guard lock(m_resultMutex);
        m_result.shownChanged = true;
    }
}

bool CUploadBatch::MakeFolder(remote::IRemoteFs& session, const std::string& remote) {
    if (!session.MakeFolder(remote))
        return false; // it may exist already: what goes into it is sent all the same
    // A new folder is as much a change to the server as a file sent: the
    // list is refreshed to show it, empty or not.
    {
        std::lock_guard lock(m_resultMutex);
        m_result.uploaded = true;
    }
    Arrived(files::Parent(NormalisePath(remote)));
    return true;
}

CUploadBatch::RemoteLook CUploadBatch::LookUp(remote::IRemoteFs& session,
                                              const std::string& remoteDir,
                                              const std::string& name) {
    // One worker lists a folder; the others wait for what it found.
    std::lock_guard lock(m_remoteMutex);
    RemoteFolder& folder = m_remote[remoteDir];
    if (!folder.listed) {
        folder.listed = true;
        std::vector<remote::Entry> entries;
        if (session.List(remoteDir, &entries)) {
            for (const remote::Entry& e : entries)
                if (!e.isDots)
                    folder.entries[e.name] = {e.size, e.isDirectory};
        } else {
            folder.failed = !Stopped();
        }
    }
    RemoteLook look;
    if (auto it = folder.entries.find(name); it != folder.entries.end()) {
        look.entry = it->second;
        return look;
    }
    if (!folder.failed || folder.absent.count(name))
        return look;
    // The folder could not be listed: an existing file is never replaced
    // unasked, so the name is asked on its own.
    std::uint64_t size = 0;
    bool isFolder = false;
    remote::Result why;
    switch (session.FindFile(NormalisePath(remoteDir + "/" + name), &size, &isFolder, &why)) {
    case remote::Presence::Present:
        folder.entries[name] = {size, isFolder};
        look.entry = folder.entries[name];
        break;
    case remote::Presence::Absent:
        folder.absent.insert(name);
        break;
    case remote::Presence::Unknown:
        look.known = false;
        look.reason = "Whether the server holds the file could not be established: " + why.reply;
        break;
    }
    return look;
}

bool CUploadBatch::FileInTheWay(remote::IRemoteFs& session, const std::string& remote) {
    std::string name = remote.substr(remote.rfind('/') + 1);
    RemoteLook look = LookUp(session, files::Parent(remote), name);
    if (!look.entry || look.entry->folder)
        return false;
    Line(FolderOverFileLine(remote));
    return true;
}

bool CUploadBatch::UploadFile(TransferWorker& worker, const std::string& source,
                              const std::string& remoteDir, const std::string& name,
                              bool topLevel) {
    remote::IRemoteFs& session = *worker.session;
    CProgressMeter& meter = *worker.meter;
    auto count = [this](std::uint64_t BatchResult::*field) {
        std::lock_guard lock(m_resultMutex);
        ++(m_result.*field);
    };
    // The error line and its reason together, whatever the other connections
    // say meanwhile.
    auto errorLines = [&](const std::string& why) {
        std::vector<std::string> lines{topLevel ? "Error Uploading " + PrintableName(name)
                                                : "Error Uploading    " + PrintableName(name)};
        if (!why.empty())
            lines.push_back(PrintableName(why));
        m_serialHost.AddLines(lines);
    };
    std::string remote = NormalisePath(remoteDir + "/" + name);
    {
        // The question and what its answer decides, one file at a time: an
        // answer for all holds for every worker's next file.
        std::lock_guard asking(m_askMutex);
        auto ask = [this](const ReplaceQuestion& q) { return m_host.AskReplace(q); };
        // What the server holds is looked up when an answer depends on it.
        std::optional<RemoteEntry> held;
        if (m_replace.m_bAsk || m_replace.m_bSkip || m_replace.m_bSkipAll) {
            RemoteLook look = LookUp(session, remoteDir, name);
            // A Stop cut the lookup short: what it found says nothing of what
            // the server holds, and nothing more goes out.
            if (Stopped()) {
                worker.End(JobState::Stopped);
                return false;
            }
            if (!look.known) {
                // Never overwritten unasked: what is not known is not sent.
                count(&BatchResult::filesFailed);
                errorLines(look.reason);
                worker.End(JobState::Failed, PrintableName(look.reason));
                return true;
            }
            held = look.entry;
        }
        // A file never takes a folder's place: no question, one line, and on.
        if (held && held->folder) {
            Line(FileOverFolderLine(remote));
            count(&BatchResult::filesSkipped);
            worker.End(JobState::Skipped);
            return false;
        }
        std::optional<std::uint64_t> heldSize;
        if (held)
            heldSize = held->size;
        if (m_replace.m_bAsk)
            m_replace.ConfirmUploadReplace(source, name, heldSize, ask);
        // Skip and Skip All leave out only the files the server holds.
        bool skip =
            (m_replace.m_bSkip || m_replace.m_bSkipAll) && m_replace.UploadSkips(held.has_value());
        if (skip) {
            count(&BatchResult::filesSkipped);
            worker.End(JobState::Skipped);
            return false;
        }
    }
    // A Stop while the server was asked leaves what the answer could not
    // establish: nothing is sent (a STOR would cut the server's copy).
    if (Stopped()) {
        worker.End(JobState::Stopped);
        return false;
    }
    // Stopped from the list while it waited for its turn at the question.
    if (worker.JobStopped()) {
        Line("Stopped Uploading " + PrintableName(name));
        worker.End(JobState::Stopped);
        return true;
    }
    Line(topLevel ? "Uploading " + PrintableName(name) : "Uploading  " + PrintableName(name));
    {
        std::lock_guard lock(m_resultMutex);
        m_result.uploaded = true;
    }
    bool ok = false;
    std::string reason;
    struct stat st;
    // Only plain files are sent: opening a pipe or a device would wait forever.
    if (stat(source.c_str(), &st) != 0) {
        reason = "Cannot read " + source + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        reason = source + " is not a file";
    } else {
        meter.Begin(name, static_cast<std::uint64_t>(st.st_size));
        // A later try asks the server what it kept and sends the rest.
        files::PartialUpload partial;
        int tried = 1;
        partial.onResume = [&](std::uint64_t from) {
            Line(TryLine(name, from, tried, partial.sizeDisagreed));
        };
        for (;; ++tried) {
            remote::Result sent = session.Upload(
                source, remote,
                [&meter](std::uint64_t done, std::uint64_t total) { meter.Update(done, total); },
                &partial);
            ok = sent.Ok();
            if (!ok)
                reason = sent.reply;
            if (ok || !PauseBeforeNextTry(session, sent, m_stop, tried))
                break;
        }
    }
    meter.FileEnded();
    if (ok) {
        {
            std::lock_guard lock(m_resultMutex);
            ++m_result.filesDone;
            if (m_request.dropMode && topLevel)
                m_result.dropSent =
                    true; // a dropped file; what a dropped folder holds does not count
        }
        Arrived(remoteDir);
        {
            std::lock_guard lock(m_remoteMutex);
            m_remote[remoteDir].entries[name] = {static_cast<std::uint64_t>(st.st_size), false};
            m_remote[remoteDir].absent.erase(name);
        }
        Line("Done");
    } else if (Stopped() || worker.JobStopped()) {
        Line("Stopped Uploading " + PrintableName(name));
        worker.End(JobState::Stopped);
    } else {
        worker.End(JobState::Failed, PrintableName(reason));
        count(&BatchResult::filesFailed);
        errorLines(reason);
    }
    return true;
}
