#include "transfer/RemoteWalk.h"

#include "platform/fs/Paths.h"

CRemoteWalk::CRemoteWalk(std::shared_ptr<remote::IRemoteFs> session, const std::atomic<int>* stop,
                         LineSink addLine)
    : m_session(std::move(session)), m_stop(stop), m_addLine(std::move(addLine)) {}

void CRemoteWalk::WalkRemote(WalkKind kind, const std::string& strRemoteDir,
                             const std::string& strLocalDir, int depth) {
    auto stopped = [this] { return m_stop && m_stop->load() != 0; };
    if (stopped())
        return;
    std::vector<remote::Entry> entries;
    std::string dir = NormalisePath(strRemoteDir);
    remote::Result listed = m_session ? m_session->List(dir, &entries, m_links)
                                      : remote::Result{remote::Failure::Refused, "Not connected"};
    if (!listed) {
        ++m_nListFailures;
        // A download says what it could not fetch, and a count what it could
        // not see: a folder left out unsaid would look like a complete copy,
        // or like complete figures.
        if (kind != WalkKind::Collect && m_addLine && !stopped())
            m_addLine("Unable to list folder " + PrintableName(dir) + " : " +
                      PrintableName(listed.reply));
        return;
    }
    for (const remote::Entry& e : entries) {
        if (stopped())
            break;
        if (e.name == "." || e.name == "..")
            continue;
        if (!IsSafeName(e.name)) {
            if (m_addLine)
                m_addLine("Unsafe name skipped: " + PrintableName(dir) + " : " +
                          PrintableName(e.name));
            continue;
        }
        std::string child = NormalisePath(dir + "/" + e.name);
        // A link is never descended into: it may lead back up the tree.
        bool folder = e.isDirectory && !e.isLink;
        if (folder && depth > kMaxDepth) {
            if (m_addLine)
                m_addLine("Not entered, more than " + std::to_string(kMaxDepth) +
                          " levels deep: " + PrintableName(child));
            continue;
        }
        CRemoteItem item(child, folder ? 1 : 0);
        item.m_nDepth = depth;
        item.m_bIsLink = e.isLink;
        if (!folder)
            item.m_nSize = e.size;
        if (kind == WalkKind::Download)
            item.m_strLocal = files::Join(strLocalDir, e.name);
        if (kind == WalkKind::Count) {
            if (folder) {
                ++m_nFolderCount;
            } else {
                ++m_nFileCount;
                m_nTotalBytes += e.size;
            }
        }
        m_arrRemoteItems.push_back(std::move(item));
    }
}

void CRemoteWalk::WalkTree(WalkKind kind, const std::string& top, const std::string& localTop) {
    size_t first = m_arrRemoteItems.size();
    WalkRemote(kind, top, localTop, 1);
    // Folders found on the way are appended; the loop reaches them too, so
    // the tree is walked level by level.
    for (size_t j = first; j < m_arrRemoteItems.size(); ++j) {
        if (m_stop && m_stop->load())
            break;
        if (!m_arrRemoteItems[j].m_bIsDir)
            continue;
        std::string path = m_arrRemoteItems[j].m_strPath;
        std::string local = m_arrRemoteItems[j].m_strLocal;
        int depth = m_arrRemoteItems[j].m_nDepth + 1;
        WalkRemote(kind, path, local, depth);
    }
}
