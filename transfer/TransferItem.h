// The records a transfer batch is made of, and the small path and size helpers
// the batches, the remote walk and the remote pane share. No toolkit, no
// network: plain values.
#pragma once

#include <cstdint>
#include <string>

// "//pub//x/" -> "/pub/x": any run of "/" becomes one, the result is absolute
// and carries no trailing "/" (except the root itself).
std::string NormalisePath(const std::string& path);

// The size text of the replace question: "    Size : 0 KB" for an empty
// file, otherwise whole kilobytes plus one ("    Size : 2 KB" for 1024 bytes).
// 64-bit: 5 GiB gives "    Size : 5242881 KB".
std::string FormatSizeText(std::uint64_t bytes);

// False for a name that must never be walked, fetched or joined into a local
// path: empty, ".", "..", or containing "/", "\" or NUL; nor one with a CR or
// LF, which no FTP command can carry.
bool IsSafeName(const std::string& name);

// A name as it may appear in the log: bytes below 0x20 and 0x7f as "\xNN", so
// a CR or LF from a server never splits a log line.
std::string PrintableName(const std::string& name);

// m_bIsFolder of a dropped download entry not tested yet.
constexpr int kFolderUnknown = -1;

// One entry of a download or upload batch.
//   download: m_strRemotePath the server path as probed, m_strLocalPath only
//             for a dropped batch, m_nPrefixLen for folders;
//   upload:   m_strRemotePath the server path it goes to, m_strLocalPath the
//             local source.
struct CTransferItem {
    std::string m_strRemotePath;
    std::string m_strLocalPath;
    std::string m_strName; // exact bytes of the list's name
    // 1 folder, 0 file; kFolderUnknown in a dropped download: the batch's
    // folder test decides (on its worker, not on the window's thread).
    int m_bIsFolder = 0;
    int m_nPrefixLen = 0;
    // A dropped download's file (a retry): the local folder nothing of it may
    // be written outside of; empty: the folder of its local path.
    std::string m_strRoot;

    CTransferItem() = default;
    // Download command: no local path.
    CTransferItem(std::string remotePath, std::string name, int isFolder, int prefixLen)
        : m_strRemotePath(std::move(remotePath)), m_strName(std::move(name)), m_bIsFolder(isFolder),
          m_nPrefixLen(prefixLen) {}
    // Upload (and dropped downloads without a prefix).
    CTransferItem(std::string localPath, std::string remotePath, std::string name, int isFolder)
        : m_strRemotePath(std::move(remotePath)), m_strLocalPath(std::move(localPath)),
          m_strName(std::move(name)), m_bIsFolder(isFolder) {}
    // All five fields.
    CTransferItem(std::string remotePath, std::string localPath, std::string name, int isFolder,
                  int prefixLen)
        : m_strRemotePath(std::move(remotePath)), m_strLocalPath(std::move(localPath)),
          m_strName(std::move(name)), m_bIsFolder(isFolder), m_nPrefixLen(prefixLen) {}
};

// One entry met by the remote tree walk.
struct CRemoteItem {
    std::string m_strPath; // normalised server path, "/a/b/name"
    int m_bIsDir = 0;
    std::uint64_t m_nSize = 0; // files: the size the listing gave
    int m_nDepth = 1;          // levels below the folder the walk started in
    bool m_bIsLink = false;    // the server listed it as a link
    std::string m_strLocal;    // download walk: the local path mirroring it

    CRemoteItem() = default;
    CRemoteItem(std::string path, int isDir) : m_strPath(std::move(path)), m_bIsDir(isDir) {}
};
