// A file system on a server, as every protocol offers it: list a folder,
// enter one, make, rename and delete, move a file either way, abort, close.
// The browser, the transfer queue and the remote operations use nothing else;
// a new protocol implements IRemoteFs and is named in remote::OpenRemoteFs
// (remote/OpenRemoteFs.h).
//
// Results are values: success, or the kind of failure and the server's words
// for the log. One object is one session: its requests are serialised inside
// it, and Abort() and Close() may come from any thread. Paths and names are
// bytes from strangers: an implementation refuses one it cannot send safely
// (CR, LF or NUL on an FTP control connection) before anything goes out.
#pragma once

#include "platform/fs/Landing.h"
#include "platform/net/ServerTrust.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace remote {

// Why a request failed, for callers that try again.
enum class Failure {
    None,
    Refused,        // the server said no: trying again changes nothing
    ConnectionLost, // dropped, closed, timed out: worth another try
    Stopped,        // Abort() or Close()
    Local,          // the local file could not be read or written
    // The transfer ended cleanly, but the sizes the server gave disagree
    // with what was moved: the whole file once more may help, appending never.
    SizeMismatch,
};

struct Result {
    Failure failure = Failure::None;
    // The server's reply, or the local reason; kept on success too (a log
    // may show what the server said).
    std::string reply;

    bool Ok() const { return failure == Failure::None; }
    explicit operator bool() const { return Ok(); }
};

// One entry of a folder listing.
struct Entry {
    std::string name;
    bool isDirectory = false;
    bool isLink = false;
    std::string linkTarget; // what a link points to, when the listing says
    std::uint64_t size = 0;
    // Seconds since 1970; 0 unknown. Not UTC when the server gave a wall-clock
    // time without a zone (read it as UTC to get the server's figures back).
    std::int64_t modified = 0;
    bool modifiedIsUtc = false;
    bool isDots = false; // "." or ".."
    // False for a name that must never become a local path or be walked:
    // empty, ".", "..", or holding "/", "\" or NUL (and, where a protocol
    // can carry them, CR or LF).
    bool safe = true;
};

// How a listing shows links. A download or a delete must never descend
// through a link into what it points to, and a delete must see every link.
enum class Links {
    AsListed,   // as the server's listing has them
    NotEntered, // no link shows as a folder
    All,        // every link shows as a link, also one leading nowhere
};

// Whether an entry of a name is there, when a folder's listing could not tell.
enum class Presence { Absent, Present, Unknown };

// Bytes done and total (0 when unknown) of the transfer in flight.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

using Certificate = net::Certificate;
using Trust = net::Trust;

// A server's SSH host key that no known_hosts file holds.
struct HostKey {
    std::string host;
    int port = 22;
    std::string keyType;     // as ssh names it: "ED25519", "RSA", "ECDSA"
    std::string fingerprint; // "SHA256:" and the key's hash in base64
};

// What a login asks for: the server's password, a key's passphrase, or
// something else the server asks (ssh's prompt says what).
enum class SecretKind { Password, Passphrase, Other };

// What a session may need to ask the user while it connects. Asked on the
// connecting thread, which waits for the answer; a future that never gets one
// (a broken promise) means Cancel.
class IRemoteQuestions {
public:
    virtual ~IRemoteQuestions() = default;
    virtual std::future<Trust> AskCertificate(const Certificate& certificate) = 0;
    // Whether to trust a host key seen for the first time: Always (the
    // session keeps it in our known_hosts), Once, or Cancel. Unanswered: Cancel.
    virtual std::future<Trust> AskHostKey(const HostKey& key);
    // A secret for the login; no value is Cancel. Unanswered: Cancel.
    virtual std::future<std::optional<std::string>> AskSecret(SecretKind kind,
                                                              const std::string& prompt);
};

class IRemoteFs {
public:
    virtual ~IRemoteFs() = default;

    // Connects and logs in. Close() from another thread ends a connect in
    // progress.
    virtual Result Connect() = 0;
    // Lines for the log after "Connection successful " (how the connection
    // is protected, what mode it uses).
    virtual std::vector<std::string> ConnectNotes() const = 0;

    // Lists `folder` in one step no other request splits.
    virtual Result List(const std::string& folder, std::vector<Entry>* entries,
                        Links links = Links::AsListed) = 0;
    // Enters a folder: succeeds exactly when `folder` is one. Relative paths
    // are taken from the current folder.
    virtual Result ChangeFolder(const std::string& folder) = 0;
    // The current folder, absolute ("/" at the root).
    virtual std::string CurrentFolder() = 0;
    // Whether the server enters `path`; the current folder stays as it was.
    virtual bool ProbeFolder(const std::string& path) = 0;
    // The absolute form of a path relative to the current folder.
    virtual std::string Resolve(const std::string& path) const = 0;
    // Whether `path` is there, its size and whether it is a folder. Unknown
    // when that could not be established (`why` says why).
    virtual Presence FindFile(const std::string& path, std::uint64_t* size, bool* folder,
                              Result* why) = 0;

    virtual Result MakeFolder(const std::string& path) = 0;
    virtual Result Rename(const std::string& from, const std::string& to) = 0;
    virtual Result DeleteFile(const std::string& path) = 0;
    // Removes an empty folder.
    virtual Result DeleteFolder(const std::string& path) = 0;
    // Deletes several files; `each[i]` is the result for paths[i]. A failure
    // of the whole request leaves the paths not reached failed with it.
    virtual void DeleteFiles(const std::vector<std::string>& paths, std::vector<Result>* each);

    // Downloads into a temporary file beside `localPath`, renamed into place
    // only when complete: every byte, and every size the server gave agreeing
    // with what arrived (`expectedSize` from the listing; -1 unknown). With
    // `partial`, a try that lost its connection keeps what arrived, and a
    // later call with it goes on from there.
    virtual Result Download(const std::string& remotePath, const std::string& localPath,
                            const Progress& progress, std::int64_t expectedSize,
                            files::Landing* partial) = 0;
    // With `partial`, a later call after a lost connection goes on from what
    // the server kept, when that is known to be this file's beginning.
    virtual Result Upload(const std::string& localPath, const std::string& remotePath,
                          const Progress& progress, files::PartialUpload* partial) = 0;

    // From any thread: ends the request in flight within a fraction of a
    // second; the next request connects anew by itself.
    virtual void Abort() = 0;
    // Counts every Abort(); WaitForAbort pauses up to `pause`, false at once
    // when an Abort() came after `seen`.
    virtual std::uint64_t AbortCount() const = 0;
    virtual bool WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause) = 0;
    // From any thread: aborts and refuses every further request.
    virtual void Close() = 0;
    virtual bool IsClosed() const = 0;

    // Lines for the log the session says on its own ("Reconnected"), called
    // on the thread of the request; the hook must not use the session.
    virtual void SetLineHook(std::function<void(const std::string&)> hook) = 0;
};

} // namespace remote
