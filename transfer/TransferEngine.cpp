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
bool InsideFolder(const std::string& root, const std::string& path) {
    // A batch asks about the same root for every file: resolved once a batch
    // (per worker thread; a batch's root stays where it is while it runs).
    thread_local std::string lastRoot, lastReal;
    if (root != lastRoot || lastReal.empty()) {
        lastRoot = root;
        lastReal = RealPath(root);
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

} // namespace

// ---- engine ----

CTransferEngine::~CTransferEngine() {
    Stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CTransferEngine::Begin(const std::shared_ptr<remote::IRemoteFs>& session) {
    if (!session)
        return false;
    bool expected = false;
    if (!m_busy.compare_exchange_strong(expected, true))
        return false;
    // The previous worker has announced its end already; it only returns.
    if (m_thread.joinable())
        m_thread.join();
    m_bStop = 0;
    std::lock_guard lock(m_mutex);
    m_session = session;
    m_running = true;
    return true;
}

void CTransferEngine::Launch(std::function<BatchResult()> work,
                             std::shared_ptr<ITransferHost> host) {
    m_thread = std::thread([this, work = std::move(work), host = std::move(host)] {
        BatchResult result = work();
        {
            std::lock_guard lock(m_mutex);
            m_session.reset();
        }
        m_busy = false;
        host->OnBatchEnd(result);
        std::lock_guard lock(m_mutex);
        m_running = false;
        m_idle.notify_all();
    });
}

bool CTransferEngine::StartDownload(DownloadRequest request, std::shared_ptr<ITransferHost> host) {
    if (!host || !Begin(request.session))
        return false;
    Launch(
        [this, request = std::move(request), host]() mutable {
            CDownloadBatch batch(std::move(request), *host, m_bStop);
            batch.Prepare();
            return batch.Run();
        },
        host);
    return true;
}

bool CTransferEngine::StartUpload(UploadRequest request, std::shared_ptr<ITransferHost> host) {
    if (!host || !Begin(request.session))
        return false;
    Launch(
        [this, request = std::move(request), host]() mutable {
            CUploadBatch batch(std::move(request), *host, m_bStop);
            batch.Prepare();
            return batch.Run();
        },
        host);
    return true;
}

void CTransferEngine::Stop() {
    if (!m_busy)
        return;
    m_bStop = 1;
    std::lock_guard lock(m_mutex);
    if (m_session)
        m_session->Abort();
}

bool CTransferEngine::WaitIdle(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !m_running; });
}

// ---- progress ----

CProgressMeter::CProgressMeter(ITransferHost& host, TransferDirection direction,
                               const std::atomic<int>& stop, remote::IRemoteFs* session)
    : m_host(host), m_direction(direction), m_stop(stop), m_session(session) {}

void CProgressMeter::Begin(const std::string& name, std::uint64_t total) {
    m_progress = TransferProgress{};
    m_progress.direction = m_direction;
    m_progress.name = name;
    m_progress.total = total;
    m_progress.filesDone = m_nFilesDone;
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
    if (m_stop.load() && m_session)
        m_session->Abort();
    auto now = std::chrono::steady_clock::now();
    if (now - m_last < kProgressEvery)
        return;
    m_last = now;
    m_progress.done = done;
    if (total)
        m_progress.total = total;
    double seconds = std::chrono::duration<double>(now - m_start).count();
    m_progress.bytesPerSecond = seconds > 0 ? done / seconds : 0;
    m_host.OnProgress(m_progress);
}

// ---- download ----

CDownloadBatch::CDownloadBatch(DownloadRequest request, ITransferHost& host,
                               const std::atomic<int>& stop)
    : m_request(std::move(request)), m_host(host), m_stop(stop),
      m_meter(host, TransferDirection::Download, stop, m_request.session.get()) {
    m_result.direction = TransferDirection::Download;
}

void CDownloadBatch::Prepare() {
    m_replace.Reset();
    m_arrDownload.clear();
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
    CTransferQueue queue(planner.Plan(m_arrDownload, m_topSizes), m_stop);
    queue.RunAll([this](const TransferJob& job) { return RunJob(job); });
    m_arrDownload.clear();
    m_result.stopped = Stopped();
    return m_result;
}

JobOutcome CDownloadBatch::RunJob(const TransferJob& job) {
    switch (job.kind) {
    case JobKind::Line:
        Line(job.line);
        break;
    case JobKind::LocalFolder:
        if (InsideFolder(job.root, job.local))
            mkdir(job.local.c_str(), 0777); // failures show as the files' errors
        break;
    case JobKind::Download:
        DownloadFile(job.remote, job.local, job.root, job.name, job.size, job.sizeKnown,
                     job.topLevel, job.announced);
        break;
    case JobKind::RemoteFolder:
    case JobKind::Upload:
        break; // not in a download's plan
    }
    return JobOutcome::Done;
}

bool CDownloadBatch::DownloadFile(const std::string& remote, const std::string& target,
                                  const std::string& root, const std::string& name,
                                  std::uint64_t size, bool sizeKnown, bool topLevel,
                                  std::int64_t announced) {
    remote::IRemoteFs& session = *m_request.session;
    // A file never takes a folder's place: no question, one line, and on.
    if (IsDirectory(target)) {
        Line(FileOverFolderLine(target));
        ++m_result.filesSkipped;
        return false;
    }
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
        ++m_result.filesSkipped;
        return false;
    }
    m_result.changed = true;
    Line("Downloading  " + PrintableName(name));
    bool ok = false;
    std::string reason;
    // The target is joined from safe names; this also refuses a folder on the
    // way that is a link to somewhere else.
    if (InsideFolder(root, target)) {
        m_meter.Begin(name, sizeKnown ? size : 0);
        // A lost connection keeps what arrived; the next try goes on from there.
        files::Landing partial;
        for (int tried = 1;; ++tried) {
            remote::Result got = session.Download(
                remote, target,
                [this](std::uint64_t done, std::uint64_t total) { m_meter.Update(done, total); },
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
    ++m_meter.m_nFilesDone;
    if (ok) {
        ++m_result.filesDone;
        Line("Done");
    } else if (Stopped()) {
        Line("Stopped Downloading  " + PrintableName(name));
    } else {
        ++m_result.filesFailed;
        Line(topLevel ? "Error Downloading  " + PrintableName(name) : std::string("Error "));
        if (!reason.empty())
            Line(PrintableName(reason));
    }
    return true;
}

// ---- upload ----

CUploadBatch::CUploadBatch(UploadRequest request, ITransferHost& host, const std::atomic<int>& stop)
    : m_request(std::move(request)), m_host(host), m_stop(stop),
      m_meter(host, TransferDirection::Upload, stop, m_request.session.get()) {
    m_result.direction = TransferDirection::Upload;
}

void CUploadBatch::Prepare() {
    m_replace.Reset();
    m_arrUpload.clear();
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
            if (MakeFolder(remote))
                m_remote[remote].listed = true;
            else if (FileInTheWay(remote))
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
        if (folder && MakeFolder(remote))
            m_remote[remote].listed = true;
        else if (folder && FileInTheWay(remote))
            continue;
        m_arrUpload.emplace_back(local, remote, name, folder ? 1 : 0);
    }
}

BatchResult CUploadBatch::Run() {
    m_host.OnBatchStart(TransferDirection::Upload);
    CUploadPlanner planner(m_stop, m_request.localDir, m_request.dropMode);
    CTransferQueue queue(planner.Plan(m_arrUpload), m_stop);
    queue.RunAll([this](const TransferJob& job) { return RunJob(job); });
    m_arrUpload.clear();
    m_result.stopped = Stopped();
    return m_result;
}

JobOutcome CUploadBatch::RunJob(const TransferJob& job) {
    switch (job.kind) {
    case JobKind::Line:
        Line(job.line);
        break;
    case JobKind::RemoteFolder:
        if (MakeFolder(job.remote)) {
            Line("Creating Directory " + PrintableName(job.remote));
            // A folder just made is empty: no listing needed for it.
            m_remote[job.remote].listed = true;
        } else if (FileInTheWay(job.remote)) {
            return JobOutcome::LeaveOutContents;
        }
        break;
    case JobKind::Upload:
        UploadFile(job.local, job.remote, job.name, job.topLevel);
        break;
    case JobKind::LocalFolder:
    case JobKind::Download:
        break; // not in an upload's plan
    }
    return JobOutcome::Done;
}

void CUploadBatch::Arrived(const std::string& dir) {
    if (NormalisePath(dir) == m_shownDir)
        m_result.shownChanged = true;
}

bool CUploadBatch::MakeFolder(const std::string& remote) {
    if (!m_request.session->MakeFolder(remote))
        return false; // it may exist already: what goes into it is sent all the same
    // A new folder is as much a change to the server as a file sent: the
    // list is refreshed to show it, empty or not.
    m_result.uploaded = true;
    Arrived(files::Parent(NormalisePath(remote)));
    return true;
}

CUploadBatch::RemoteLook CUploadBatch::LookUp(const std::string& remoteDir,
                                              const std::string& name) {
    RemoteFolder& folder = m_remote[remoteDir];
    if (!folder.listed) {
        folder.listed = true;
        std::vector<remote::Entry> entries;
        if (m_request.session->List(remoteDir, &entries)) {
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
    switch (m_request.session->FindFile(NormalisePath(remoteDir + "/" + name), &size, &isFolder,
                                        &why)) {
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

bool CUploadBatch::FileInTheWay(const std::string& remote) {
    std::string name = remote.substr(remote.rfind('/') + 1);
    RemoteLook look = LookUp(files::Parent(remote), name);
    if (!look.entry || look.entry->folder)
        return false;
    Line(FolderOverFileLine(remote));
    return true;
}

bool CUploadBatch::UploadFile(const std::string& source, const std::string& remoteDir,
                              const std::string& name, bool topLevel) {
    auto ask = [this](const ReplaceQuestion& q) { return m_host.AskReplace(q); };
    auto errorLine = [&] {
        Line(topLevel ? "Error Uploading " + PrintableName(name)
                      : "Error Uploading    " + PrintableName(name));
    };
    std::string remote = NormalisePath(remoteDir + "/" + name);
    // What the server holds is looked up when an answer depends on it.
    std::optional<RemoteEntry> held;
    if (m_replace.m_bAsk || m_replace.m_bSkip || m_replace.m_bSkipAll) {
        RemoteLook look = LookUp(remoteDir, name);
        // A Stop cut the lookup short: what it found says nothing of what
        // the server holds, and nothing more goes out.
        if (Stopped())
            return false;
        if (!look.known) {
            // Never overwritten unasked: what is not known is not sent.
            ++m_result.filesFailed;
            errorLine();
            Line(PrintableName(look.reason));
            return true;
        }
        held = look.entry;
    }
    // A file never takes a folder's place: no question, one line, and on.
    if (held && held->folder) {
        Line(FileOverFolderLine(remote));
        ++m_result.filesSkipped;
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
        ++m_result.filesSkipped;
        return false;
    }
    // A Stop while the server was asked leaves what the answer could not
    // establish: nothing is sent (a STOR would cut the server's copy).
    if (Stopped())
        return false;
    Line(topLevel ? "Uploading " + PrintableName(name) : "Uploading  " + PrintableName(name));
    m_result.uploaded = true;
    bool ok = false;
    std::string reason;
    struct stat st;
    // Only plain files are sent: opening a pipe or a device would wait forever.
    if (stat(source.c_str(), &st) != 0) {
        reason = "Cannot read " + source + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        reason = source + " is not a file";
    } else {
        m_meter.Begin(name, static_cast<std::uint64_t>(st.st_size));
        remote::IRemoteFs& session = *m_request.session;
        // A later try asks the server what it kept and sends the rest.
        files::PartialUpload partial;
        int tried = 1;
        partial.onResume = [&](std::uint64_t from) {
            Line(TryLine(name, from, tried, partial.sizeDisagreed));
        };
        for (;; ++tried) {
            remote::Result sent = session.Upload(
                source, remote,
                [this](std::uint64_t done, std::uint64_t total) { m_meter.Update(done, total); },
                &partial);
            ok = sent.Ok();
            if (!ok)
                reason = sent.reply;
            if (ok || !PauseBeforeNextTry(session, sent, m_stop, tried))
                break;
        }
    }
    ++m_meter.m_nFilesDone;
    if (ok) {
        ++m_result.filesDone;
        if (m_request.dropMode && topLevel)
            m_result.dropSent = true; // a dropped file; what a dropped folder holds does not count
        Arrived(remoteDir);
        m_remote[remoteDir].entries[name] = {static_cast<std::uint64_t>(st.st_size), false};
        m_remote[remoteDir].absent.erase(name);
        Line("Done");
    } else if (Stopped()) {
        Line("Stopped Uploading " + PrintableName(name));
    } else {
        ++m_result.filesFailed;
        errorLine();
        if (!reason.empty())
            Line(PrintableName(reason));
    }
    return true;
}
