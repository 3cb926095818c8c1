// The remote tree walk: one folder level per call, entries appended to
// m_arrRemoteItems, which the caller works through (breadth first). Mode 1
// downloads (the batch's per-file step), mode 2 counts, mode 3 collects: every
// folder comes before what it holds, so a remote delete works from the last
// entry to the first.
//
// A walk never leaves the tree or runs forever: names that are not safe are
// logged and left out, "." and ".." are never walked, server links are
// treated as files, and nothing deeper than kMaxDepth levels is entered.
#pragma once

#include "remote/RemoteFs.h"
#include "transfer/TransferItem.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CRemoteWalk {
public:
    static constexpr int kMaxDepth = 100;

    using LineSink = std::function<void(const std::string&)>;
    // Mode 1: a file met in a folder whose local mirror is `localFolder`.
    // Returns false when the file was skipped (it is then not recorded).
    using FileStep = std::function<bool(const remote::Entry& entry, const std::string& child,
                                        const std::string& localFolder)>;
    // Mode 1: a folder met; creates its local mirror `localFolder`. False
    // leaves the folder out (not recorded, not walked).
    using FolderStep =
        std::function<bool(const std::string& child, const std::string& localFolder)>;

    CRemoteWalk(std::shared_ptr<remote::IRemoteFs> session, const std::atomic<int>* stop,
                LineSink addLine);

    // One level: lists strRemoteDir and handles each entry by nMode.
    // strLocalDir (mode 1) is the local folder that mirrors strRemoteDir.
    void WalkRemote(int nMode, const std::string& strRemoteDir, const std::string& strLocalDir,
                    int depth = 1);
    // The whole tree under `top`: its level, then every folder found, level by
    // level, until done or stopped.
    void WalkTree(int nMode, const std::string& top, const std::string& localTop = "");

    std::vector<CRemoteItem> m_arrRemoteItems;
    // Mode 2, 64-bit: they do not wrap.
    std::uint64_t m_nFolderCount = 0;
    std::uint64_t m_nFileCount = 0;
    std::uint64_t m_nTotalBytes = 0;
    // Folders whose listing failed (they contribute nothing).
    std::uint64_t m_nListFailures = 0;

    // How the listings show links: a download or a delete must never
    // descend through a link into what it points to, and a delete must see
    // every link to remove it.
    remote::Links m_links = remote::Links::AsListed;

    FileStep m_fileStep;
    FolderStep m_folderStep;

private:
    std::shared_ptr<remote::IRemoteFs> m_session;
    const std::atomic<int>* m_stop;
    LineSink m_addLine;
};
