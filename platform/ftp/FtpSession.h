// One FTP session over one control connection, with the operations the panes
// and the transfer workers use: enter a folder, list, get, put, create,
// remove, rename and delete. Built on libcurl; the listing parser is ours.
//
// Every operation returns false on failure and leaves the server's reply (or
// libcurl's reason) in LastResponse() of the calling thread, for the log, and
// in LastFailure() whether another try can help. A connection the server
// closed (its idle timeout, a 421) is noticed by the next request, which logs
// in again by itself, in the same current folder. The password is never part of what the session
// keeps of its own commands; server replies are kept as they came. Operations on one session are
// serialised; a caller that needs several steps together holds Lock() across them.
//
// Paths and names are bytes from strangers: one holding CR, LF or NUL is
// refused before anything is sent.
#pragma once

#include "platform/fs/Landing.h"
#include "platform/ftp/ListParser.h"
#include "platform/net/ServerTrust.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ftp {

enum class Mode { Passive, Active };

// Explicit FTP over TLS (AUTH TLS): never, when the server offers it, or
// required (nothing but AUTH TLS is sent until TLS is up). "If available"
// logs in in plain FTP only when the server refuses AUTH TLS at the first
// login; an encrypted session never logs in again in the clear. Encrypted
// sessions protect the data connections too (PROT P; a server refusing it is
// not connected to) and always use passive mode.
enum class Encryption { None, IfAvailable, Require };

using Certificate = net::Certificate;
using Trust = net::Trust;

// Asked on the connecting thread, which waits for the answer; a future that
// never gets one (a broken promise) means Cancel, and so does a session
// closed while it waits.
using CertificateQuestion = std::function<std::future<Trust>(const Certificate&)>;

// The key under which a server's trusted certificate is kept: the host as
// connected to, in lower case, and the port ("ftp.example.org:21").
std::string ServerKey(const std::string& host, int port);

struct ConnectParams {
    std::string host;
    int port = 21;
    std::string user;
    std::string password;
    Mode mode = Mode::Passive;
    // Limits that keep a silent or stalled server from holding a worker forever.
    long connectTimeoutSec = 20;  // connecting and the greeting
    long responseTimeoutSec = 60; // waiting for any reply
    long lowSpeedTimeSec = 60;    // a transfer below minBytesPerSec for this long fails
    // The slowest rate a request may average: a request fails once it has run
    // longer than connectTimeoutSec + responseTimeoutSec + lowSpeedTimeSec +
    // bytes moved / this rate (a server trickling a listing, a reply or a file
    // one byte a second).
    long minBytesPerSec = 256;
    Encryption encryption = Encryption::None;
    // The fingerprint the user trusted for this server, if any: a certificate
    // with exactly this fingerprint is accepted from this server only.
    std::string trustedFingerprint;
    // Asked when the certificate is not verified (null: such a server is refused).
    CertificateQuestion askCertificate;
    // Certificate authorities to verify against; empty: the system's store.
    std::string caFile;
};

// Bytes done and total (0 when unknown) of the transfer in flight.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The calling thread's last server reply or failure text.
std::string LastResponse();

// Why the calling thread's last request failed, for callers that try again.
enum class Failure {
    None,
    Refused,        // the server said no (550, 552, 530...): trying again changes nothing
    ConnectionLost, // dropped, closed, 421/425/426, timed out: worth another try
    Stopped,        // Abort() or Close()
    Local,          // the local file could not be read or written
    // The transfer ended cleanly, but the sizes the server gave disagree
    // with what was moved: the whole file once more may help, appending never.
    SizeMismatch,
};
Failure LastFailure();

class FindHandle;
struct TlsCheck;

class Session {
public:
    // Connects and logs in. Null on failure (the reason is in LastResponse()).
    static std::shared_ptr<Session> Open(const ConnectParams& params);
    // The same in two steps, so that another thread can Close() the session
    // while it is still connecting.
    static std::shared_ptr<Session> Create(const ConnectParams& params);
    bool Connect();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Holds the session for a caller's compound step (folder, then listing).
    std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(m_mutex); }

    // Enters a folder: true exactly when the server accepted it. Relative paths
    // are taken from the current folder; "//pub/x" is "/pub/x".
    bool SetCurrentDirectory(const std::string& path);
    // The current folder, absolute ("/" at the root).
    std::string GetCurrentDirectory();
    // Lists the current folder (empty pattern) or one name or path. Null when
    // the listing fails or finds nothing; else the handle with the first entry.
    std::unique_ptr<FindHandle> FindFirstFile(const std::string& pattern, FindData* first);
    // Lists a folder in one step that no other request can split; `links`
    // says how links must show (see Links: what is shown as a link is a file,
    // never a folder).
    bool ListDirectory(const std::string& path, std::vector<FindData>* entries,
                       Links links = Links::AsListed);
    // Downloads into a temporary file beside `localPath`, renamed into place
    // only when complete: a failed or stopped download leaves an existing
    // file untouched. Complete means every byte announced: the size the
    // server gives in its reply to RETR, else `expectedSize` (from the
    // listing; -1 unknown), else the server's SIZE. A short or long file fails.
    // With `partial`, a try that lost its connection keeps what arrived
    // there, and a later call with it goes on with REST from that point; the
    // size is then checked against the whole file's.
    bool GetFile(const std::string& remotePath, const std::string& localPath,
                 const Progress& progress = nullptr, std::int64_t expectedSize = -1,
                 files::Landing* partial = nullptr);
    // With `partial`, a later call after a lost connection asks the server
    // what it kept and appends the rest; the server's size is then checked.
    bool PutFile(const std::string& localPath, const std::string& remotePath,
                 const Progress& progress = nullptr, files::PartialUpload* partial = nullptr);
    // Whether an entry of that name is there (and its size, and whether it
    // is a folder), when a folder's listing could not tell: asked by SIZE,
    // then by a listing of the one name. Unknown when neither could answer
    // (the reason is in LastResponse()).
    enum class Presence { Absent, Present, Unknown };
    Presence FindFile(const std::string& path, std::uint64_t* size, bool* folder = nullptr);
    bool CreateDirectory(const std::string& path);
    bool RemoveDirectory(const std::string& path);
    bool RenameFile(const std::string& from, const std::string& to);
    bool DeleteFile(const std::string& path);
    // Deletes several files in one request (each command still waits for its
    // reply). `done[i]` says whether paths[i] was deleted, `replies[i]` the
    // server's answer. False only when the request itself failed; then the
    // entries not reached are false.
    bool DeleteFiles(const std::vector<std::string>& paths, std::vector<bool>* done,
                     std::vector<std::string>* replies);

    // From any thread: ends the request in flight (or the one just starting)
    // within a fraction of a second. The control connection is dropped, so
    // no late reply reaches a later command; the session logs in again by
    // itself for the next request, in the same current folder.
    void Abort();
    // From any thread: aborts and refuses every further request.
    void Close();
    bool IsClosed() const { return m_closed; }
    // Counts every Abort(); with WaitForAbort a caller pauses until the next.
    std::uint64_t AbortCount() const { return m_aborts; }
    // Waits up to `pause`; false at once when an Abort() came after `seen`.
    bool WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause);

    // Lines for the log ("Reconnected" when the session found its connection
    // closed by the server and logged in again by itself), called on the
    // thread of the request, with the session held: the hook must not use it.
    void SetLineHook(std::function<void(const std::string&)> hook);

    // Whether the control connection (and so every data connection) is
    // encrypted with TLS; known once connected.
    bool IsEncrypted() const { return m_encrypted; }
    // Whether an active-mode session uses passive data connections because
    // it is encrypted.
    bool PassiveForTls() const { return m_encrypted && m_params.mode == Mode::Active; }

    // Whether listings use MLSD: offered in FEAT and not failed since.
    bool HasMlsd() const { return m_mlsd; }
    // Whether the server gives a file's modification time (MDTM in FEAT).
    bool HasMdtm() const { return m_mdtm; }
    // The absolute form of a server path (relative to the current folder),
    // with runs of "/" and "." steps collapsed.
    std::string Resolve(const std::string& path) const;

    // One libcurl request (internal).
    struct Request;

private:
    Session() = default;
    bool Perform(Request& request);
    bool PerformOnce(Request& request);
    bool Command(const std::string& command, const std::string& arg);
    bool List(const std::string& dir, const std::string& argument, std::string* text,
              int* refusal = nullptr);
    bool Complete(const Request& request, const std::string& absPath, std::int64_t expectedSize,
                  std::uint64_t from, const files::Landing& landing);
    std::int64_t RemoteFileSize(const std::string& absPath, bool quietLogin,
                                std::string* stamp = nullptr);
    bool ListFolder(const std::string& dir, std::string* text, bool* mlsd);
    bool ListWithHidden(const std::string& dir, std::string* text);
    // Sets what every request shares about the connection: TLS, the mode.
    void SetConnectionOptions(void* curl);
    // Asks about the certificate that the last request refused; false when
    // the user did not trust it (or was not asked).
    bool AskAboutCertificate();
    void DropConnection(bool lost = false);
    std::string Url(const std::string& absPath, bool directory) const;

    std::recursive_mutex m_mutex;
    void* m_curl = nullptr;  // CURL*
    void* m_multi = nullptr; // CURLM*
    ConnectParams m_params;
    std::string m_base; // ftp://host:port
    std::string m_cwd = "/";
    // The folder libcurl last entered ("" unknown): for a file, the part of
    // its resolved path before the last "/" (files::Parent of it).
    std::string m_curlDir;
    bool m_mlsd = false;
    bool m_mdtm = false;
    // Whether MLST was offered (a file's facts on the control connection).
    bool m_mlst = false;
    // A server that took "LIST -a" for a name: plain LIST from then on.
    bool m_noListAll = false;
    // A server whose "LIST -a" showed every name of a plain LIST: known to
    // take the option.
    bool m_listAllTaken = false;
    // Every Abort() counts up; a request ends when the count moves on from
    // what it was as the request began.
    std::atomic<std::uint64_t> m_aborts{0};
    std::atomic<bool> m_closed{false};
    bool m_freshConnection = false; // the next request connects anew
    std::atomic<bool> m_encrypted{false};
    // "If available" found no TLS at the first login: plain FTP from then on.
    bool m_plainFallback = false;
    // What the verification of the server's certificate needs and found.
    std::unique_ptr<TlsCheck> m_tls;
    bool m_loggedIn = false;       // logged in once: later logins are reconnections
    bool m_lostConnection = false; // the last connection was lost, not dropped by us
    std::function<void(const std::string&)> m_lineHook;
    std::mutex m_abortMutex;
    std::condition_variable m_abortSignal;
};

// The entries of one listing, walked with FindNext.
class FindHandle {
public:
    explicit FindHandle(std::vector<FindData> entries) : m_entries(std::move(entries)) {}
    bool FindNext(FindData* next) {
        if (m_next >= m_entries.size())
            return false;
        *next = m_entries[m_next++];
        return true;
    }

private:
    std::vector<FindData> m_entries;
    size_t m_next = 1;
};

} // namespace ftp
