#include "platform/sftp/SftpSession.h"

#include "platform/sftp/AskpassProtocol.h"
#include "platform/sftp/SshLogin.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace sftp {

namespace {

using Clock = std::chrono::steady_clock;

// Transfers move blocks of 64 KiB with 32 of them in flight (2 MiB, the size
// of ssh's channel window, which bounds what is in flight whatever is asked).
// Blocks of 32 KiB and 64 requests in flight measured no different on
// loopback or through a 10 ms delay, within the noise of a shared machine.
constexpr std::uint32_t kBlock = 64 * 1024;
constexpr std::size_t kInFlight = 32;
// Requests are made only while less than this waits to go out, so an upload
// reads ahead of the connection by no more than this.
constexpr std::size_t kOutLimit = 512 * 1024;
// How much is read from ssh in one go.
constexpr std::size_t kReadChunk = 256 * 1024;
// A folder listing longer than this is refused, as on FTP: a server that
// never ends one would otherwise take all the memory there is.
constexpr std::size_t kMaxEntries = 1000000;

std::uint32_t IdOf(const Packet& packet) {
    if (packet.body.size() < 4)
        return 0;
    std::uint32_t id = 0;
    for (int i = 0; i < 4; ++i)
        id = (id << 8) | static_cast<unsigned char>(packet.body[i]);
    return id;
}

// A name for a message: control bytes become "?", so a reason stays one line.
std::string Shown(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    std::size_t start = text.find_first_not_of("\n ");
    return start == std::string::npos ? "" : text.substr(start);
}

// Whether ssh's words at a failed connect mean that trying again would not
// help: the host key or the login was refused, or the server has no SFTP.
bool LoginRefused(const std::string& said) {
    for (const char* words :
         {"Permission denied", "Host key verification failed", "HOST IDENTIFICATION HAS CHANGED",
          "host key", "subsystem request failed", "Too many authentication failures"})
        if (said.find(words) != std::string::npos)
            return true;
    return false;
}

Result Refusal(std::string why) {
    return {Failure::Refused, std::move(why)};
}

Result Stopped(const char* why = "Stopped") {
    return {Failure::Stopped, why};
}

bool HasNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

Result NulRefusal(const std::string& path) {
    return Refusal("The path \"" + Shown(path) + "\" holds a NUL byte; no server can take it");
}

} // namespace

// One ssh child with the SFTP stream over it.
struct Session::Connection {
    SshProcess ssh;
    Framer framer;
    // Whole packets waiting to go out; the first may be partly sent.
    std::deque<std::string> out;
    std::size_t outHead = 0;
    std::size_t outBytes = 0;
    std::uint32_t nextId = 1;
    // Requests whose replies nobody waits for any more (an abort): dropped
    // as they come.
    std::unordered_set<std::uint32_t> abandoned;
    Clock::time_point lastHeard = Clock::now();
    std::chrono::seconds patience{60};
    // Answers ssh's questions while it logs in; null when it asks none.
    LoginConversation* login = nullptr;
    bool ready = false;            // VERSION received
    std::size_t errorsAtReady = 0; // what ssh had said by then
    std::vector<char> readBuffer = std::vector<char>(kReadChunk);

    // Sends what it can without waiting; false when ssh has gone.
    bool Flush() {
        while (outBytes > 0) {
            iovec iov[64];
            int count = 0;
            for (std::size_t i = 0; i < out.size() && count < 64; ++i, ++count) {
                const std::string& s = out[i];
                std::size_t skip = i == 0 ? outHead : 0;
                iov[count].iov_base = const_cast<char*>(s.data() + skip);
                iov[count].iov_len = s.size() - skip;
            }
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = static_cast<std::size_t>(count);
            ssize_t n = sendmsg(ssh.Input(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            auto sent = static_cast<std::size_t>(n);
            outBytes -= sent;
            while (sent > 0) {
                std::size_t left = out.front().size() - outHead;
                if (sent >= left) {
                    sent -= left;
                    out.pop_front();
                    outHead = 0;
                } else {
                    outHead += sent;
                    sent = 0;
                }
            }
        }
        return true;
    }
};

// Holds the session for one request: serialised, connected, and the abort
// count taken as it begins.
class Session::Request {
public:
    explicit Request(Session* s) : m_s(s), m_lock(s->m_mutex) {
        s->m_owner = std::this_thread::get_id();
        s->m_abortsAtStart = s->m_aborts.load();
        if (s->m_closed)
            m_result = Stopped("The session is closed");
        else if (!s->m_conn || s->Stale())
            m_result = s->Open();
    }
    ~Request() {
        if (m_s->m_closed)
            m_s->Drop();
        m_s->m_owner = std::thread::id();
    }
    bool Ready() const { return m_result.Ok(); }
    const Result& Why() const { return m_result; }

private:
    Session* m_s;
    std::unique_lock<std::mutex> m_lock;
    Result m_result;
};

Session::Session(ConnectParams params) : m_params(std::move(params)) {
    m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

Session::~Session() {
    Close();
    if (m_wake >= 0)
        close(m_wake);
}

bool Session::Interrupted() const {
    return m_closed || m_aborts.load() != m_abortsAtStart;
}

void Session::Abort() {
    {
        std::lock_guard lock(m_abortMutex);
        ++m_aborts;
    }
    m_abortSignal.notify_all();
    if (m_wake >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(m_wake, &one, sizeof one);
    }
}

bool Session::WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause) {
    std::unique_lock lock(m_abortMutex);
    return !m_abortSignal.wait_for(lock, pause, [&] { return m_aborts.load() != seen; });
}

void Session::Close() {
    m_closed = true;
    Abort();
    // Called from a request's own callback: the request ends ssh on its way out.
    if (m_owner.load() == std::this_thread::get_id())
        return;
    std::lock_guard lock(m_mutex);
    Drop();
}

std::string Session::LoginNote() const {
    std::lock_guard notes(m_notesMutex);
    return m_loginNote;
}

std::string Session::SshMessages() const {
    std::lock_guard lock(m_mutex);
    return m_conn ? m_conn->ssh.Errors() : m_sshMessages;
}

std::string Session::LoginFolder() const {
    std::lock_guard lock(m_mutex);
    return m_login;
}

std::string Session::CurrentFolder() const {
    std::lock_guard lock(m_mutex);
    return m_current;
}

std::string Session::Resolve(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    if (!path.empty() && path[0] == '/')
        return path;
    std::string base = m_current.empty() ? "." : m_current;
    if (path.empty() || path == ".")
        return base;
    return base.back() == '/' ? base + path : base + "/" + path;
}

void Session::Drop() {
    if (!m_conn)
        return;
    m_conn->ssh.Stop();
    m_sshMessages = m_conn->ssh.Errors();
    m_conn.reset();
}

// A connection that has said something nobody asked for, or has ended,
// while it sat idle is not used again.
bool Session::Stale() {
    if (!m_conn->abandoned.empty() || m_conn->framer.Pending() > 0)
        return false;
    pollfd p{m_conn->ssh.Output(), POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return false;
    Drop();
    return true;
}

Result Session::Unreadable(const std::string& why) {
    return Lost("The server's reply could not be read (" + why + ")");
}

Result Session::Lost(std::string why) {
    Connection& c = *m_conn;
    c.ssh.AwaitEnd(std::chrono::seconds(2));
    std::string said =
        Trimmed(c.ready ? c.ssh.Errors().substr(std::min(c.errorsAtReady, c.ssh.Errors().size()))
                        : c.ssh.Errors());
    Drop();
    if (said.empty())
        return {Failure::ConnectionLost, why};
    return {Failure::ConnectionLost, why + ": " + said};
}

std::uint32_t Session::Send(const Build& build) {
    Connection& c = *m_conn;
    std::uint32_t id = c.nextId++;
    std::string packet = build(id);
    c.outBytes += packet.size();
    c.out.push_back(std::move(packet));
    return id;
}

// The next reply that someone waits for, moving bytes both ways meanwhile.
Result Session::Await(Packet* packet) {
    Connection& c = *m_conn;
    c.lastHeard = Clock::now();
    for (;;) {
        if (Interrupted())
            return Stopped();
        while (auto next = c.framer.Next()) {
            if (next->type != static_cast<std::uint8_t>(Type::Version) &&
                c.abandoned.erase(IdOf(*next)) > 0)
                continue;
            *packet = std::move(*next);
            return {};
        }
        if (!c.framer.Error().empty())
            return Lost("The server's reply could not be read (" + c.framer.Error() + ")");
        if (!c.Flush())
            return Lost("The connection was closed");
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(c.lastHeard + c.patience -
                                                                          Clock::now());
        if (left.count() <= 0)
            return Lost("The server did not answer for " + std::to_string(c.patience.count()) +
                        " seconds");
        // A descriptor of -1 is left out by poll.
        const bool asking = !c.ready && c.login && m_askpass;
        pollfd fds[5] = {{c.ssh.Output(), POLLIN, 0},
                         {c.ssh.Input(), static_cast<short>(c.outBytes > 0 ? POLLOUT : 0), 0},
                         {m_wake, POLLIN, 0},
                         {c.ssh.ErrorsFd(), POLLIN, 0},
                         {asking ? m_askpass->Fd() : -1, POLLIN, 0}};
        int n = poll(fds, 5, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            return Lost(std::string("Waiting for the server failed: ") + std::strerror(errno));
        if (n <= 0)
            continue;
        if (fds[2].revents) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t r = read(m_wake, &count, sizeof count);
        }
        if (fds[3].revents)
            c.ssh.ReadErrors();
        if (fds[4].revents) {
            if (Result r = Converse(); !r)
                return r;
            continue;
        }
        if (fds[0].revents) {
            ssize_t r = read(c.ssh.Output(), c.readBuffer.data(), c.readBuffer.size());
            if (r == 0)
                return Lost("The connection was closed");
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return Lost(std::string("Reading from ssh failed: ") + std::strerror(errno));
            if (r > 0) {
                c.framer.Feed(std::string_view(c.readBuffer.data(), static_cast<std::size_t>(r)));
                c.lastHeard = Clock::now();
            }
        }
    }
}

// Sends one request and waits for its reply; an abort leaves the reply to be
// dropped when it comes.
Result Session::Call(const Build& build, Packet* reply) {
    std::uint32_t id = Send(build);
    Result r = Await(reply);
    if (r.failure == Failure::Stopped && m_conn)
        m_conn->abandoned.insert(id);
    if (!r)
        return r;
    if (IdOf(*reply) != id)
        return Lost("The server answered a request it was not asked");
    return r;
}

Result Session::StatusResult(const StatusReply& status) const {
    if (status.code == StatusCode::Ok)
        return {};
    std::string words =
        status.message.empty() ? std::string(StatusText(status.code)) : Shown(status.message);
    if (status.code == StatusCode::NoConnection || status.code == StatusCode::ConnectionLost)
        return {Failure::ConnectionLost, words};
    Result refused = Refusal(words);
    refused.status = status.code;
    return refused;
}

Result Session::CallStatus(const Build& build) {
    Packet reply;
    if (Result r = Call(build, &reply); !r)
        return r;
    auto status = DecodeStatus(reply);
    if (!status)
        return Unreadable(status.error);
    return StatusResult(*status);
}

// Sends one request whose good answer is a reply of type T; a STATUS in its
// place is the server's refusal.
template <class T>
Result Session::CallFor(const Build& build, Decoded<T> (*decode)(const Packet&), T* out) {
    Packet reply;
    if (Result r = Call(build, &reply); !r)
        return r;
    if (reply.type == static_cast<std::uint8_t>(Type::Status)) {
        auto status = DecodeStatus(reply);
        if (!status)
            return Unreadable(status.error);
        Result r = StatusResult(*status);
        return r ? Lost("The server said \"OK\" where it owed an answer") : r;
    }
    auto decoded = decode(reply);
    if (!decoded)
        return Unreadable(decoded.error);
    *out = std::move(*decoded.value);
    return {};
}

Result Session::CallAttrs(const Build& build, Attributes* attrs) {
    AttrsReply reply;
    Result r = CallFor(build, DecodeAttrs, &reply);
    if (r)
        *attrs = std::move(reply.attrs);
    return r;
}

Result Session::OpenHandle(const Build& build, std::string* handle) {
    HandleReply reply;
    Result r = CallFor(build, DecodeHandle, &reply);
    if (r)
        *handle = std::move(reply.handle);
    return r;
}

Result Session::RealPathLocked(const std::string& path, std::string* absolute) {
    NameReply reply;
    Result r =
        CallFor([&](std::uint32_t id) { return RealpathRequest(id, path); }, DecodeName, &reply);
    if (r && reply.entries.size() != 1)
        return Lost("The server gave " + std::to_string(reply.entries.size()) + " paths for one");
    if (r)
        *absolute = std::move(reply.entries[0].filename);
    return r;
}

Result Session::CloseHandle(const std::string& handle) {
    Result r = CallStatus([&](std::uint32_t id) { return CloseRequest(id, handle); });
    if (r.failure == Failure::Stopped && m_conn)
        Abandon({}, handle);
    return r;
}

// Nobody waits for `ids` any more; the handle they used is closed by a
// request whose reply is dropped too.
void Session::Abandon(const std::vector<std::uint32_t>& ids, const std::string& handle) {
    if (!m_conn)
        return;
    m_conn->abandoned.insert(ids.begin(), ids.end());
    if (!handle.empty())
        m_conn->abandoned.insert(Send([&](std::uint32_t id) { return CloseRequest(id, handle); }));
}

// Answers the question of an askpass helper that waits. A question that
// ends the login stops ssh before the helper hears anything, so ssh sends
// the server nothing more.
Result Session::Converse() {
    Connection& c = *m_conn;
    std::string prompt;
    int helper = m_askpass->Take(&prompt);
    if (helper < 0)
        return {};
    LoginConversation::Reply reply = c.login->Answer(prompt);
    std::fill(prompt.begin(), prompt.end(), '\0');
    // However long the user took to answer, the server's time starts now.
    c.lastHeard = Clock::now();
    if (!reply.endWith.empty()) {
        c.ssh.Kill();
        close(helper);
        return Refusal(reply.endWith);
    }
    AskpassServer::Give(helper, reply.answer);
    if (reply.answer)
        std::fill(reply.answer->begin(), reply.answer->end(), '\0');
    return {};
}

Result Session::Open() {
    Drop();
    std::string why;
    SshTarget target = m_params.ssh;
    const bool converse = m_params.questions || !m_params.password.empty();
    std::unique_ptr<LoginConversation> login;
    if (converse) {
        std::string helper =
            m_params.askpassProgram.empty() ? FindAskpassProgram() : m_params.askpassProgram;
        if (helper.empty())
            return Refusal("The program orvane-askpass, which answers ssh's questions, is missing");
        if (!m_askpass) {
            m_askpass = std::make_unique<AskpassServer>();
            if (!m_askpass->Open(&why)) {
                m_askpass.reset();
                return Refusal(why);
            }
        }
        target.askpass = true;
        target.askHostKeys = m_params.questions != nullptr;
        target.environment.insert(
            target.environment.end(),
            {"SSH_ASKPASS=" + helper, "SSH_ASKPASS_REQUIRE=force",
             std::string(kAskpassSocketVariable) + "=" + m_askpass->SocketPath()});
        LoginConversation::Setup setup;
        setup.questions = m_params.questions;
        setup.password = m_params.password;
        setup.host = target.host;
        setup.port = target.port > 0 ? target.port : 22;
        setup.temporaryKnownHosts = m_askpass->KnownHostsFile();
        setup.trustedKnownHosts = m_params.trustedKnownHosts;
        login = std::make_unique<LoginConversation>(std::move(setup));
    }
    // The files searched for the host key: the session's temporary one
    // (where ssh writes a key it was told to accept), ours, then the rest.
    if (converse || !m_params.trustedKnownHosts.empty()) {
        std::vector<std::string> files;
        if (converse)
            files.push_back(m_askpass->KnownHostsFile());
        if (!m_params.trustedKnownHosts.empty())
            files.push_back(m_params.trustedKnownHosts);
        std::vector<std::string> rest =
            target.knownHostsFiles.empty() ? DefaultKnownHostsFiles() : target.knownHostsFiles;
        files.insert(files.end(), rest.begin(), rest.end());
        target.knownHostsFiles = std::move(files);
    }
    std::vector<std::string> args = SshArguments(target, &why);
    if (args.empty())
        return Refusal(why);
    m_conn = std::make_unique<Connection>();
    Connection& c = *m_conn;
    c.login = login.get();
    if (!c.ssh.Start(args, &why, target.environment)) {
        m_conn.reset();
        return Refusal(why);
    }
    // ssh connects, checks the host key and logs in before the server's
    // VERSION can come.
    c.patience = std::chrono::seconds(m_params.ssh.connectTimeoutSec + m_params.responseTimeoutSec);
    Send([](std::uint32_t) { return InitRequest(); });
    c.nextId = 1;
    Packet reply;
    Result r = Await(&reply);
    // A host key trusted always is ours whatever came of the login.
    if (m_conn)
        m_conn->login = nullptr;
    // One that could not be written down is trusted for this session only:
    // the connect goes on, and says so.
    if (login) {
        std::string note;
        if (!login->Finish(&why) && r.failure == Failure::None)
            note = why + "; the key is trusted for this session only";
        std::lock_guard notes(m_notesMutex);
        m_loginNote = std::move(note);
    }
    if (r.failure == Failure::Stopped || r.failure == Failure::Refused) {
        Drop();
        return r;
    }
    if (r.failure == Failure::ConnectionLost) {
        // Before VERSION, ssh's own words are the whole story, unless what
        // they mean can be said more plainly.
        std::string said = Trimmed(m_sshMessages);
        std::string plain = login ? login->FailureReason(said) : ChangedHostKeyReason(said);
        if (!plain.empty())
            return Refusal(plain);
        if (said.empty())
            return {Failure::ConnectionLost, "ssh ended without saying why (" + r.reason + ")"};
        return {LoginRefused(said) ? Failure::Refused : Failure::ConnectionLost, said};
    }
    auto version = DecodeVersion(reply);
    if (!version) {
        Drop();
        return Refusal("The server did not start SFTP: " + version.error);
    }
    if (version->version != 3) {
        Drop();
        return Refusal("The server speaks SFTP version " + std::to_string(version->version) +
                       "; this client speaks version 3");
    }
    c.ready = true;
    c.errorsAtReady = c.ssh.Errors().size();
    c.patience = std::chrono::seconds(m_params.responseTimeoutSec);
    std::string folder;
    if (r = RealPathLocked(".", &folder); !r) {
        Drop();
        return r;
    }
    m_login = folder;
    if (m_current.empty())
        m_current = folder;
    return {};
}

// A request on one path: the path resolved from the current folder, refused
// with a NUL in it, then `work` on it with the session held.
template <typename Work> Result Session::OnPath(const std::string& path, const Work& work) {
    std::string full = Resolve(path);
    if (HasNul(full))
        return NulRefusal(full);
    Request request(this);
    if (!request.Ready())
        return request.Why();
    return work(full);
}

Result Session::Connect() {
    Request request(this);
    if (!request.Ready())
        return request.Why();
    return {};
}

Result Session::RealPath(const std::string& path, std::string* absolute) {
    return OnPath(path, [&](const std::string& full) { return RealPathLocked(full, absolute); });
}

Result Session::ChangeFolder(const std::string& path) {
    std::string canonical;
    if (Result r = RealPath(path, &canonical); !r)
        return r;
    Attributes attrs;
    if (Result r = Stat(canonical, &attrs); !r)
        return r;
    if (!IsFolder(attrs))
        return Refusal("\"" + Shown(canonical) + "\" is not a folder");
    std::lock_guard lock(m_mutex);
    m_current = canonical;
    return {};
}

Result Session::List(const std::string& folder, std::vector<Entry>* entries) {
    return OnPath(folder, [&](const std::string& full) { return ListLocked(full, entries); });
}

Result Session::ListLocked(const std::string& folder, std::vector<Entry>* entries) {
    std::string handle;
    if (Result r =
            OpenHandle([&](std::uint32_t id) { return OpendirRequest(id, folder); }, &handle);
        !r)
        return r;
    std::vector<Entry> found;
    for (;;) {
        Packet reply;
        Result r = Call([&](std::uint32_t id) { return ReaddirRequest(id, handle); }, &reply);
        if (r.failure == Failure::Stopped)
            Abandon({}, handle);
        if (!r)
            return r;
        if (reply.type == static_cast<std::uint8_t>(Type::Status)) {
            auto status = DecodeStatus(reply);
            if (!status)
                return Unreadable(status.error);
            if (status->code == StatusCode::Eof)
                break;
            Result refused = StatusResult(*status);
            if (!refused) {
                CloseHandle(handle);
                return refused;
            }
            return Lost("The server answered a folder read with no names");
        }
        auto names = DecodeName(reply);
        if (!names)
            return Unreadable(names.error);
        if (names->entries.empty())
            return Lost("The server answered a folder read with no names");
        if (found.size() + names->entries.size() > kMaxEntries) {
            CloseHandle(handle);
            return Refusal("The listing is too large: more than " + std::to_string(kMaxEntries) +
                           " entries");
        }
        for (const NameEntry& n : names->entries) {
            if (n.filename == "." || n.filename == "..")
                continue;
            found.push_back({n.filename, n.longname, KindOf(n.attrs, n.longname), n.attrs});
        }
    }
    // The listing is whole; a handle the server fails to close changes nothing in it.
    Result closed = CloseHandle(handle);
    if (closed.failure == Failure::Stopped || closed.failure == Failure::ConnectionLost)
        return closed;
    *entries = std::move(found);
    return {};
}

Result Session::Stat(const std::string& path, Attributes* attrs) {
    return OnPath(path, [&](const std::string& full) {
        return CallAttrs([&](std::uint32_t id) { return StatRequest(id, full); }, attrs);
    });
}

Result Session::Lstat(const std::string& path, Attributes* attrs) {
    return OnPath(path, [&](const std::string& full) {
        return CallAttrs([&](std::uint32_t id) { return LstatRequest(id, full); }, attrs);
    });
}

Result Session::MakeFolder(const std::string& path) {
    return OnPath(path, [&](const std::string& full) {
        return CallStatus([&](std::uint32_t id) { return MkdirRequest(id, full); });
    });
}

Result Session::RemoveFolder(const std::string& path) {
    return OnPath(path, [&](const std::string& full) {
        return CallStatus([&](std::uint32_t id) { return RmdirRequest(id, full); });
    });
}

Result Session::Remove(const std::string& path) {
    return OnPath(path, [&](const std::string& full) {
        return CallStatus([&](std::uint32_t id) { return RemoveRequest(id, full); });
    });
}

Result Session::Rename(const std::string& from, const std::string& to) {
    std::string source = Resolve(from);
    std::string target = Resolve(to);
    if (HasNul(source))
        return NulRefusal(source);
    if (HasNul(target))
        return NulRefusal(target);
    Request request(this);
    if (!request.Ready())
        return request.Why();
    // Version 3 leaves open what a rename onto an existing name does: look
    // first, and replace nothing.
    Packet reply;
    if (Result r = Call([&](std::uint32_t id) { return LstatRequest(id, target); }, &reply); !r)
        return r;
    if (reply.type != static_cast<std::uint8_t>(Type::Status))
        return Refusal("\"" + Shown(target) + "\" already exists");
    auto status = DecodeStatus(reply);
    if (!status)
        return Unreadable(status.error);
    if (status->code != StatusCode::NoSuchFile) {
        Result r = StatusResult(*status);
        return r ? Lost("The server answered with no attributes") : r;
    }
    return CallStatus([&](std::uint32_t id) { return RenameRequest(id, source, target); });
}

Result Session::Download(const std::string& path, std::uint64_t offset, const Sink& sink,
                         const Progress& progress, Attributes* opened) {
    std::string full = Resolve(path);
    if (HasNul(full))
        return NulRefusal(full);
    Request request(this);
    if (!request.Ready())
        return request.Why();
    std::string handle;
    if (Result r =
            OpenHandle([&](std::uint32_t id) { return OpenRequest(id, full, kOpenRead); }, &handle);
        !r)
        return r;
    // The size, where the server tells it, is for the progress and to ask for
    // little more than the file holds; the end itself is where reads say EOF.
    std::uint64_t total = 0;
    std::optional<std::uint64_t> known;
    {
        Attributes attrs;
        Result r = CallAttrs([&](std::uint32_t id) { return FstatRequest(id, handle); }, &attrs);
        if (r.failure == Failure::Stopped)
            Abandon({}, handle);
        if (r.failure == Failure::Stopped || r.failure == Failure::ConnectionLost)
            return r;
        if (r && attrs.size) {
            known = *attrs.size;
            total = *attrs.size;
        }
        if (r && opened)
            *opened = attrs;
    }

    // Requests in flight by offset; answered ones keep their data until all
    // before them has been handed on.
    struct Slot {
        std::uint32_t length = 0;
        bool answered = false;
        std::string data;
    };
    std::map<std::uint64_t, Slot> slots;
    std::unordered_map<std::uint32_t, std::uint64_t> inFlight; // id -> offset
    std::uint64_t next = offset;
    std::uint64_t delivered = offset;
    std::optional<std::uint64_t> end; // where the server said EOF
    auto ask = [&](std::uint64_t at, std::uint32_t length) {
        std::uint32_t id =
            Send([&](std::uint32_t i) { return ReadRequest(i, handle, at, length); });
        inFlight[id] = at;
        slots[at] = Slot{length, false, {}};
    };
    auto abandonAll = [&] {
        std::vector<std::uint32_t> ids;
        for (const auto& [id, at] : inFlight)
            ids.push_back(id);
        Abandon(ids, handle);
    };

    for (;;) {
        // Where the size is known, the last block ends with the file and a
        // read from its end goes out with it: the end of the file is heard
        // in the same round trip as its last bytes (a small file takes one
        // round trip of reads, not two).
        while (!end && inFlight.size() < kInFlight &&
               (inFlight.empty() || !known || next <= *known)) {
            std::uint32_t length = kBlock;
            if (known && next < *known && *known - next < kBlock)
                length = static_cast<std::uint32_t>(*known - next);
            ask(next, length);
            next += length;
        }
        while (!slots.empty() && slots.begin()->first == delivered &&
               slots.begin()->second.answered && (!end || delivered < *end)) {
            std::string data = std::move(slots.begin()->second.data);
            slots.erase(slots.begin());
            if (end && delivered + data.size() > *end)
                data.resize(static_cast<std::size_t>(*end - delivered));
            if (!sink(data)) {
                abandonAll();
                return {Failure::Local, "The downloaded bytes could not be kept"};
            }
            delivered += data.size();
            if (progress)
                progress(delivered, std::max(total, delivered));
        }
        if (end && delivered >= *end && inFlight.empty())
            break;
        Packet reply;
        Result r = Await(&reply);
        if (r.failure == Failure::Stopped)
            abandonAll();
        if (!r)
            return r;
        std::uint32_t id = IdOf(reply);
        auto it = inFlight.find(id);
        if (it == inFlight.end())
            return Lost("The server answered a request it was not asked");
        std::uint64_t at = it->second;
        inFlight.erase(it);
        Slot& slot = slots[at];
        if (reply.type == static_cast<std::uint8_t>(Type::Data)) {
            auto data = DecodeData(reply);
            if (!data)
                return Unreadable(data.error);
            std::size_t got = data->data.size();
            if (got == 0 || got > slot.length)
                return Lost("The server sent " + std::to_string(got) + " bytes for a read of " +
                            std::to_string(slot.length));
            std::uint32_t rest = slot.length - static_cast<std::uint32_t>(got);
            slot.answered = true;
            slot.length = static_cast<std::uint32_t>(got);
            slot.data = std::move(data->data);
            if (known && at + got > *known)
                known = at + got; // the file grew
            // A short read: the rest of the block is asked for again.
            if (rest > 0 && (!end || at + got < *end))
                ask(at + got, rest);
            continue;
        }
        auto status = DecodeStatus(reply);
        if (!status)
            return Unreadable(status.error);
        if (status->code != StatusCode::Eof) {
            Result failed = StatusResult(*status);
            if (failed)
                return Lost("The server answered a read with no data");
            abandonAll();
            return failed;
        }
        slots.erase(at);
        end = end ? std::min(*end, at) : at;
    }
    Result closed = CloseHandle(handle);
    if (closed.failure == Failure::Stopped || closed.failure == Failure::ConnectionLost)
        return closed;
    if (progress && delivered > total)
        progress(delivered, delivered);
    return {};
}

Result Session::Upload(int localFile, const std::string& path, std::uint64_t offset,
                       const Progress& progress) {
    std::string full = Resolve(path);
    if (HasNul(full))
        return NulRefusal(full);
    struct stat st {};
    if (fstat(localFile, &st) != 0)
        return {Failure::Local,
                std::string("The local file cannot be read: ") + std::strerror(errno)};
    std::uint64_t total = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
    Request request(this);
    if (!request.Ready())
        return request.Why();
    std::uint32_t flags = kOpenWrite | kOpenCreate | (offset == 0 ? kOpenTruncate : 0);
    std::string handle;
    if (Result r =
            OpenHandle([&](std::uint32_t id) { return OpenRequest(id, full, flags); }, &handle);
        !r)
        return r;

    std::unordered_map<std::uint32_t, std::uint32_t> inFlight; // id -> length
    std::uint64_t next = offset;
    std::uint64_t done = offset;
    bool localEnd = false;
    Result outcome; // the first failure, while the requests in flight are answered
    std::string block(kBlock, '\0');
    for (;;) {
        while (!localEnd && outcome.Ok() && inFlight.size() < kInFlight &&
               m_conn->outBytes < kOutLimit) {
            ssize_t n = pread(localFile, block.data(), block.size(), static_cast<off_t>(next));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                outcome = {Failure::Local,
                           std::string("The local file cannot be read: ") + std::strerror(errno)};
                break;
            }
            if (n == 0) {
                localEnd = true;
                break;
            }
            std::string_view data(block.data(), static_cast<std::size_t>(n));
            std::uint32_t id =
                Send([&](std::uint32_t i) { return WriteRequest(i, handle, next, data); });
            inFlight[id] = static_cast<std::uint32_t>(n);
            next += static_cast<std::uint64_t>(n);
        }
        if (inFlight.empty())
            break;
        Packet reply;
        Result r = Await(&reply);
        if (r.failure == Failure::Stopped) {
            std::vector<std::uint32_t> ids;
            for (const auto& [id, length] : inFlight)
                ids.push_back(id);
            Abandon(ids, handle);
        }
        if (!r)
            return r;
        auto it = inFlight.find(IdOf(reply));
        if (it == inFlight.end())
            return Lost("The server answered a request it was not asked");
        std::uint32_t length = it->second;
        inFlight.erase(it);
        auto status = DecodeStatus(reply);
        if (!status)
            return Unreadable(status.error);
        if (Result written = StatusResult(*status); !written) {
            if (outcome.Ok())
                outcome = written;
            continue;
        }
        done += length;
        if (progress)
            progress(done, std::max(total, done));
    }
    // The server may report only at the close that it could not keep the bytes.
    Result closed = CloseHandle(handle);
    return outcome.Ok() ? closed : outcome;
}

} // namespace sftp
