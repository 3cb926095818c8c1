// One SFTP session: the server's sftp subsystem reached through the system's
// OpenSSH client (SshProcess), spoken in version 3, with many requests in
// flight for transfers so that a link's latency is not paid once per block.
//
// Results are values: success, or the kind of failure with the server's own
// status message or, when the connection could not be made or was lost,
// what ssh said. Operations on one session are serialised; Abort() and
// Close() may come from any thread. Abort() ends the request in flight at
// once: its replies still on their way are read and dropped by the next
// request, and a handle it left open is closed then. A connection that was
// lost is opened anew by the next request.
//
// Paths and names are bytes from strangers, sent and received as they are
// (blanks, CR, LF, bytes that are not UTF-8); a path holding NUL, which the
// server would cut short, is refused before anything goes out. Relative paths
// are taken from the current folder, which is this side's notion: SFTP has
// none on the server.
#pragma once

#include "platform/sftp/LoginQuestions.h"
#include "platform/sftp/SftpPacket.h"
#include "platform/sftp/SshProcess.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sftp {

class AskpassServer;

// Why a request failed, for callers that try again.
enum class Failure {
    None,
    Refused,        // the server (or ssh, at the login) said no: trying again changes nothing
    ConnectionLost, // dropped, closed, timed out, spoke nonsense: worth another try
    Stopped,        // Abort() or Close()
    Local,          // the local side could not give or take the bytes
};

struct Result {
    Failure failure = Failure::None;
    std::string reason; // the server's words, ssh's, or ours; empty on success
    // The server's status code when it refused ("no such file" tells a name
    // that is not there from one that could not be looked at).
    StatusCode status = StatusCode::Ok;

    bool Ok() const { return failure == Failure::None; }
    explicit operator bool() const { return Ok(); }
};

struct ConnectParams {
    // Where ssh connects. Its knownHostsFiles are searched after
    // trustedKnownHosts (empty: the user's ~/.ssh/known_hosts and
    // known_hosts2, when a password or questions are given).
    SshTarget ssh;
    // The site's stored password (may be empty): the answer to the first
    // password question of a connect. Reaches ssh only through the askpass
    // helper's socket.
    std::string password;
    // Who answers ssh's questions while it logs in (host keys, passphrases,
    // passwords not stored), on the connecting thread. Null: an unknown host
    // key is refused and nothing is asked. Must outlive the session.
    ILoginQuestions* questions = nullptr;
    // Our own known_hosts file (absolute): searched first; a key trusted
    // "always" is added to it (the file is made 0600, with its folder).
    std::string trustedKnownHosts;
    // The askpass helper; empty: orvane-askpass beside the program, else the
    // one of the build tree.
    std::string askpassProgram;
    // How long the server may take to answer a request (or to send anything
    // while a transfer runs) before the connection counts as lost.
    int responseTimeoutSec = 60;
};

// One entry of a listing; "." and ".." are left out.
struct Entry {
    std::string name;          // bytes as the server sent them
    std::string longname;      // the server's "ls -l" line, for people
    Kind kind = Kind::Unknown; // a link is a link, whatever it points to
    Attributes attrs;          // size, times, permissions where the server sent them
};

// Takes the next bytes of a download, in order; false stops the download
// with Failure::Local (the taker knows why and says so itself).
using Sink = std::function<bool(std::string_view bytes)>;
// Where a transfer is: bytes of the file done (counted from its start) and
// its size (0 when unknown).
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

class Session {
public:
    explicit Session(ConnectParams params);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts ssh, agrees on version 3 and finds the login folder. Close()
    // from another thread ends a connect in progress. Every other request
    // connects by itself when there is no connection.
    Result Connect();
    // What ssh said on its standard error for the latest connection (warnings
    // on a good one, the reason on a failed one).
    std::string SshMessages() const;
    // What the latest login could not do that the user should know of (a
    // host key trusted always that could not be kept); empty when nothing.
    std::string LoginNote() const;

    // The folder the server put us in, absolute; empty before the first connection.
    std::string LoginFolder() const;
    // Where relative paths start: the login folder until ChangeFolder().
    std::string CurrentFolder() const;
    // `path` made absolute against the current folder, as text ("." and ".."
    // are left to the server).
    std::string Resolve(const std::string& path) const;

    // The server's canonical absolute form of `path`.
    Result RealPath(const std::string& path, std::string* absolute);
    // Makes `path` the current folder when the server has a folder there
    // (links followed); the current folder is its canonical form.
    Result ChangeFolder(const std::string& path);

    // Lists `folder` in one step no other request splits. Links are listed as
    // links (what they point to is never looked at); the kind comes from the
    // permissions' type bits, or from the long name where those are absent.
    Result List(const std::string& folder, std::vector<Entry>* entries);
    // A file's attributes, links followed (Stat) or the link itself (Lstat).
    Result Stat(const std::string& path, Attributes* attrs);
    Result Lstat(const std::string& path, Attributes* attrs);

    Result MakeFolder(const std::string& path);
    // Removes an empty folder.
    Result RemoveFolder(const std::string& path);
    // Removes a file (or a link, never what it points to).
    Result Remove(const std::string& path);
    // Refused when something already has the name `to`: nothing is replaced.
    Result Rename(const std::string& from, const std::string& to);

    // Hands the file's bytes from `offset` on to `sink`, in order, until its
    // end. The sink and the progress are called on this thread and must not
    // use the session.
    // `opened`, when given, gets what the server said of the file it opened
    // (its size and times, where it says them; empty when it said nothing).
    Result Download(const std::string& path, std::uint64_t offset, const Sink& sink,
                    const Progress& progress = {}, Attributes* opened = nullptr);
    // Sends the bytes of `localFile` from `offset` on to the same place of
    // `path`: from 0 the remote file is made anew (created or emptied); from
    // further on it is written from there (a resume) and its earlier bytes
    // stay. `localFile` is read with pread and not moved.
    Result Upload(int localFile, const std::string& path, std::uint64_t offset,
                  const Progress& progress = {});

    // From any thread: ends the request in flight within a fraction of a
    // second with Failure::Stopped. An Abort() while no request runs does
    // not touch the next one.
    void Abort();
    // Counts every Abort(); WaitForAbort pauses up to `pause`, false at once
    // when an Abort() came after `seen`.
    std::uint64_t AbortCount() const { return m_aborts; }
    bool WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause);
    // From any thread: aborts, ends ssh, and refuses every further request.
    void Close();
    bool IsClosed() const { return m_closed; }

private:
    struct Connection;
    class Request;
    friend class Request;

    // Makes the request with the id it is given.
    using Build = std::function<std::string(std::uint32_t id)>;

    Result Open();
    Result Converse();
    void Drop();
    bool Stale();
    Result Lost(std::string why);
    Result Unreadable(const std::string& why);
    std::uint32_t Send(const Build& build);
    Result Await(Packet* packet);
    Result Call(const Build& build, Packet* reply);
    template <class T>
    Result CallFor(const Build& build, Decoded<T> (*decode)(const Packet&), T* out);
    Result CallStatus(const Build& build);
    template <typename Work> Result OnPath(const std::string& path, const Work& work);
    Result CallAttrs(const Build& build, Attributes* attrs);
    Result OpenHandle(const Build& build, std::string* handle);
    Result CloseHandle(const std::string& handle);
    Result RealPathLocked(const std::string& path, std::string* absolute);
    void Abandon(const std::vector<std::uint32_t>& ids, const std::string& handle);
    Result ListLocked(const std::string& folder, std::vector<Entry>* entries);
    Result StatusResult(const StatusReply& status) const;
    bool Interrupted() const;

    const ConnectParams m_params;
    mutable std::mutex m_mutex; // one request at a time
    std::unique_ptr<Connection> m_conn;
    // The askpass helper's socket and the temporary known_hosts file: made at
    // the first connect that needs them, kept for the session's reconnects.
    std::unique_ptr<AskpassServer> m_askpass;
    std::string m_login;
    std::string m_current;
    std::string m_sshMessages;
    mutable std::mutex m_notesMutex;
    std::string m_loginNote;
    std::uint64_t m_abortsAtStart = 0;
    std::atomic<std::uint64_t> m_aborts{0};
    std::atomic<bool> m_closed{false};
    // The thread running a request, so that a Close() from its own callback
    // does not wait for itself.
    std::atomic<std::thread::id> m_owner{};
    int m_wake = -1; // an eventfd that wakes a waiting request
    std::mutex m_abortMutex;
    std::condition_variable m_abortSignal;
};

} // namespace sftp
