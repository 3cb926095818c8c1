// The remote tree walk: one folder level per call, entries appended to
// m_arrRemoteItems, which the caller works through (breadth first). What the
// walk records depends on its kind: a download's walk gives every folder and
// file with the local path that mirrors it (the planner makes jobs of them),
// a count adds up files, folders and bytes, a collection keeps every folder
// before what it holds, so a remote delete works from the last entry to the
// first. The walk only lists: it never moves a file.
//
// A walk never leaves the tree or runs forever: names that are not safe are
// logged and left out, "." and ".." are never walked, server links are
// treated as files, and nothing deeper than kMaxDepth levels is entered.
#pragma once

#include "platform/remote/RemoteFs.h"
#include "transfer/TransferItem.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum class WalkKind {
    Download, // entries with their local mirror; a folder that cannot be listed is said
    Count,    // figures for the Properties box; a folder that cannot be listed is said
    Collect,  // entries for a delete
};

class CRemoteWalk {
public:
    static constexpr int kMaxDepth = 100;

    using LineSink = std::function<void(const std::string&)>;

    CRemoteWalk(std::shared_ptr<remote::IRemoteFs> session, const std::atomic<int>* stop,
                LineSink addLine);

    // One level: lists strRemoteDir and records each entry by kind.
    // strLocalDir (Download) is the local folder that mirrors strRemoteDir.
    void WalkRemote(WalkKind kind, const std::string& strRemoteDir, const std::string& strLocalDir,
                    int depth = 1);
    // The whole tree under `top`: its level, then every folder found, level by
    // level, until done or stopped.
    void WalkTree(WalkKind kind, const std::string& top, const std::string& localTop = "");

    std::vector<CRemoteItem> m_arrRemoteItems;
    // Count, 64-bit: they do not wrap.
    std::uint64_t m_nFolderCount = 0;
    std::uint64_t m_nFileCount = 0;
    std::uint64_t m_nTotalBytes = 0;
    // Folders whose listing failed (they contribute nothing).
    std::uint64_t m_nListFailures = 0;

    // How the listings show links: a download or a delete must never
    // descend through a link into what it points to, and a delete must see
    // every link to remove it.
    remote::Links m_links = remote::Links::AsListed;

private:
    std::shared_ptr<remote::IRemoteFs> m_session;
    const std::atomic<int>* m_stop;
    LineSink m_addLine;
};
