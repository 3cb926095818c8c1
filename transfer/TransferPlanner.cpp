#include "transfer/TransferPlanner.h"

#include "platform/fs/Paths.h"
#include "transfer/RemoteWalk.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

std::string UnsafeLine(const std::string& name) {
    return "Unsafe name skipped: " + PrintableName(name);
}

std::string FolderOverFileLine(const std::string& path) {
    return "A folder does not replace a file: " + PrintableName(path);
}

bool IsNonDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// ---- download ----

CDownloadPlanner::CDownloadPlanner(std::shared_ptr<remote::IRemoteFs> session,
                                   const std::atomic<int>& stop, std::string localDir,
                                   bool dropMode)
    : m_session(std::move(session)), m_stop(stop), m_localDir(std::move(localDir)),
      m_dropMode(dropMode) {}

JobList CDownloadPlanner::Plan(const std::vector<CTransferItem>& items,
                               const std::map<std::string, std::uint64_t>& topSizes) {
    m_jobs.clear();
    m_fileTargets.clear();
    m_handedOut = 0;
    for (const CTransferItem& item : items) {
        if (Stopped())
            break;
        if (item.m_bIsFolder) {
            PlanFolder(item);
            continue;
        }
        if (!IsSafeName(item.m_strName)) {
            m_jobs.push_back(TransferJob::Text(UnsafeLine(item.m_strName)));
            continue;
        }
        TransferJob job;
        job.kind = JobKind::Download;
        job.remote = NormalisePath(item.m_strRemotePath);
        job.name = item.m_strName;
        if (m_dropMode) {
            job.local = item.m_strLocalPath;
            job.root = item.m_strRoot.empty() ? files::Parent(job.local) : item.m_strRoot;
        } else {
            job.local = files::Join(m_localDir, item.m_strName);
            job.root = m_localDir;
        }
        if (auto size = topSizes.find(item.m_strName); size != topSizes.end()) {
            job.size = size->second;
            job.sizeKnown = true;
        }
        job.topLevel = true;
        m_fileTargets.insert(job.local);
        m_jobs.push_back(std::move(job));
    }
    HandOut();
    return std::move(m_jobs);
}

void CDownloadPlanner::HandOut() {
    if (!m_onPlanned || m_handedOut >= m_jobs.size())
        return;
    m_onPlanned(JobList(m_jobs.begin() + static_cast<std::ptrdiff_t>(m_handedOut), m_jobs.end()));
    m_handedOut = m_jobs.size();
}

void CDownloadPlanner::PlanFolder(const CTransferItem& item) {
    std::string localTop, root;
    if (m_dropMode) {
        localTop = item.m_strLocalPath;
        root = files::Parent(localTop);
    } else {
        if (!IsSafeName(item.m_strName)) {
            m_jobs.push_back(TransferJob::Text(UnsafeLine(item.m_strName)));
            return;
        }
        localTop = files::Join(m_localDir, item.m_strName);
        root = m_localDir;
    }
    // A folder never takes a file's place: it is left out, and what it holds
    // with it.
    if (IsNonDirectory(localTop) || m_fileTargets.count(localTop)) {
        m_jobs.push_back(TransferJob::Text(FolderOverFileLine(localTop)));
        return;
    }
    auto localFolder = [&](const std::string& local) {
        TransferJob job;
        job.kind = JobKind::LocalFolder;
        job.local = local;
        job.root = root;
        m_jobs.push_back(std::move(job));
    };
    if (m_dropMode)
        localFolder(localTop);

    // The folders still to be listed, in the order they were found: the tree
    // is planned level by level.
    struct Pending {
        std::string remote, local;
        int depth;
    };
    std::vector<Pending> folders{{NormalisePath(item.m_strRemotePath), localTop, 1}};
    // What the walk recorded becomes jobs before each line it writes, so the
    // line keeps its place among them.
    CRemoteWalk* current = nullptr;
    size_t done = 0;
    auto flush = [&] {
        std::vector<CRemoteItem>& found = current->m_arrRemoteItems;
        for (; done < found.size(); ++done) {
            const CRemoteItem& e = found[done];
            if (e.m_bIsDir) {
                // A file planned earlier in the same place is there by then.
                if (IsNonDirectory(e.m_strLocal) || m_fileTargets.count(e.m_strLocal)) {
                    m_jobs.push_back(TransferJob::Text(FolderOverFileLine(e.m_strLocal)));
                    continue;
                }
                localFolder(e.m_strLocal);
                folders.push_back({e.m_strPath, e.m_strLocal, e.m_nDepth + 1});
                continue;
            }
            TransferJob job;
            job.kind = JobKind::Download;
            job.remote = e.m_strPath;
            job.local = e.m_strLocal;
            job.root = root;
            job.name = files::BaseName(e.m_strPath);
            // The listing's size of a plain file stands for the server's SIZE
            // (one request less per file); a link's size is that of the link.
            job.size = e.m_nSize;
            job.sizeKnown = true;
            job.announced = e.m_bIsLink ? -1 : static_cast<std::int64_t>(e.m_nSize);
            m_fileTargets.insert(job.local);
            m_jobs.push_back(std::move(job));
        }
    };
    CRemoteWalk walk(m_session, &m_stop, [&](const std::string& line) {
        flush();
        m_jobs.push_back(TransferJob::Text(line));
    });
    // Links must show as links (some servers' MLSD shows a link to a folder
    // as the folder): a download never descends through one.
    walk.m_links = remote::Links::NotEntered;
    current = &walk;
    for (size_t j = 0; j < folders.size(); ++j) {
        if (Stopped())
            break;
        Pending next = folders[j];
        walk.WalkRemote(WalkKind::Download, next.remote, next.local, next.depth);
        flush();
        walk.m_arrRemoteItems.clear();
        done = 0;
        HandOut();
    }
}

// ---- upload ----

CUploadPlanner::CUploadPlanner(const std::atomic<int>& stop, std::string localDir, bool dropMode)
    : m_stop(stop), m_localDir(std::move(localDir)), m_dropMode(dropMode) {}

JobList CUploadPlanner::Plan(const std::vector<CTransferItem>& items) {
    m_jobs.clear();
    for (const CTransferItem& item : items) {
        if (Stopped())
            break;
        if (item.m_bIsFolder) {
            PlanFolder(item.m_strLocalPath, item.m_strRemotePath);
            continue;
        }
        std::string remote = NormalisePath(item.m_strRemotePath);
        std::string remoteName = remote.substr(remote.rfind('/') + 1);
        if (!IsSafeName(remoteName)) {
            m_jobs.push_back(TransferJob::Text(UnsafeLine(remoteName)));
            continue;
        }
        TransferJob job;
        job.kind = JobKind::Upload;
        job.local = m_dropMode ? item.m_strLocalPath : files::Join(m_localDir, item.m_strName);
        job.remote = files::Parent(remote);
        job.name = remoteName;
        job.topLevel = true;
        struct stat st;
        if (stat(job.local.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            job.size = static_cast<std::uint64_t>(st.st_size);
            job.sizeKnown = true;
        }
        m_jobs.push_back(std::move(job));
    }
    return std::move(m_jobs);
}

void CUploadPlanner::PlanFolder(const std::string& localDir, std::string remoteDirIn) {
    int fd = open(localDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        // Nothing of it is sent, and the log says so.
        m_jobs.push_back(TransferJob::Text("Unable to read folder " + PrintableName(localDir) +
                                           " : " + std::strerror(errno)));
        return;
    }
    struct stat st;
    // A folder link back into a folder already entered is not followed again.
    if (fstat(fd, &st) != 0 ||
        !m_entered.insert({static_cast<std::uint64_t>(st.st_dev), st.st_ino}).second) {
        close(fd);
        return;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    // The names first: the folder is not held open while the tree below is
    // planned.
    struct Entry {
        std::string name;
        bool folder;
        std::pair<std::uint64_t, std::uint64_t> id;
        std::optional<std::uint64_t> size; // a plain file's
    };
    std::vector<Entry> entries;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat est;
        bool known = fstatat(fd, e->d_name, &est, 0) == 0;
        bool folder = known && S_ISDIR(est.st_mode);
        std::optional<std::uint64_t> size;
        if (known && S_ISREG(est.st_mode))
            size = static_cast<std::uint64_t>(est.st_size);
        entries.push_back(
            {std::move(name), folder, {static_cast<std::uint64_t>(est.st_dev), est.st_ino}, size});
    }
    closedir(dir);

    std::string remoteDir = NormalisePath(remoteDirIn);
    for (const auto& [name, folder, id, size] : entries) {
        if (Stopped())
            return;
        if (!IsSafeName(name)) {
            m_jobs.push_back(TransferJob::Text(UnsafeLine(name)));
            continue;
        }
        std::string childLocal = files::Join(localDir, name);
        if (folder && m_entered.count(id)) {
            m_jobs.push_back(
                TransferJob::Text("Folder link not followed: " + PrintableName(childLocal)));
            continue;
        }
        TransferJob job;
        if (folder) {
            job.kind = JobKind::RemoteFolder;
            job.remote = NormalisePath(remoteDir + "/" + name);
            size_t at = m_jobs.size();
            m_jobs.push_back(std::move(job));
            PlanFolder(childLocal, m_jobs[at].remote); // a copy: the list grows
            m_jobs[at].contentsEnd = m_jobs.size();
        } else {
            job.kind = JobKind::Upload;
            job.local = childLocal;
            job.remote = remoteDir;
            job.name = name;
            job.size = size.value_or(0);
            job.sizeKnown = size.has_value();
            m_jobs.push_back(std::move(job));
        }
    }
}
