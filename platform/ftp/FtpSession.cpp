#include "platform/ftp/FtpSession.h"

#include "platform/fs/Paths.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ftp {

namespace {

thread_local std::string t_lastResponse;
thread_local Failure t_lastFailure = Failure::None;

// Listings larger than this are refused rather than held in memory: bytes,
// and entries (a listing of one-character lines is small in bytes only).
constexpr size_t kMaxListing = 512u << 20;
constexpr size_t kMaxEntries = 1000000;
// A download going on from a part asks again for this much of what it has.
constexpr std::uint64_t kResumeOverlap = 64 * 1024;

// Whether a path or name may go into a command: a CR or LF would end the
// command and start another, a NUL would cut it.
bool Sendable(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// A failure of the local disk: the landing's own text, shown as it is.
bool LocalFailure(const std::string& why) {
    t_lastResponse = why;
    t_lastFailure = Failure::Local;
    return false;
}

bool RefuseUnsendable(const std::string& text) {
    if (Sendable(text))
        return false;
    t_lastResponse = "Refused: the name holds a line break or NUL character";
    t_lastFailure = Failure::Refused;
    return true;
}

// "150 Opening BINARY mode data connection for x (1000 bytes)." -> 1000; -1
// when the reply names no size.
std::int64_t AnnouncedSize(const std::string& reply) {
    size_t open = reply.rfind('(');
    if (open == std::string::npos)
        return -1;
    size_t i = open + 1;
    std::int64_t n = 0;
    size_t digits = 0;
    while (i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])) && digits < 18) {
        n = n * 10 + (reply[i] - '0');
        ++i;
        ++digits;
    }
    if (digits == 0 || reply.compare(i, 6, " bytes") != 0)
        return -1;
    return n;
}

std::string Encode(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

curl_socket_t OpenSocket(void* connecting, curlsocktype, struct curl_sockaddr* address) {
    // No socket of ours leaks into programs the client starts.
    curl_socket_t fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    // Watched until it is connected (see Perform).
    *static_cast<curl_socket_t*>(connecting) = fd;
    return fd;
}

int SockOpt(void*, curl_socket_t fd, curlsocktype) {
    // Also sockets accepted for active-mode transfers.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return CURL_SOCKOPT_OK;
}

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d))
                fds.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return fds;
}

// The multi handle's own wake-up sockets do not pass through the socket
// callbacks: they are marked close-on-exec here.
CURLM* MultiInitCloexec() {
    std::set<int> before = OpenDescriptors();
    CURLM* multi = curl_multi_init();
    for (int fd : OpenDescriptors())
        if (!before.count(fd))
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    return multi;
}

// The host as typed, without a scheme, a path, blanks or IPv6 brackets: a
// host typed as an address ("ftp://host/path") means the host.
std::string BareHost(std::string host) {
    if (size_t scheme = host.find("://"); scheme != std::string::npos)
        host = host.substr(scheme + 3);
    host = host.substr(0, host.find('/'));
    while (!host.empty() && host.back() == ' ')
        host.pop_back();
    while (!host.empty() && host.front() == ' ')
        host.erase(0, 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    return host;
}

bool IsAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

} // namespace

std::string ServerKey(const std::string& host, int port) {
    std::string key = BareHost(host);
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key + ":" + std::to_string(port);
}

// What the certificate check of one session needs, and the certificate the
// last handshake refused. Used by the handshakes of the session's thread only.
struct TlsCheck {
    std::string host;   // the name (or address) the certificate must be for
    std::string pinned; // a fingerprint accepted whatever the CA store says
    bool refused = false;
    Certificate refusedCertificate;
};

namespace {

std::string Fingerprint(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!X509_digest(cert, EVP_sha256(), md, &n))
        return "";
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        if (i)
            out += ':';
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string text = n > 0 && data ? std::string(data, static_cast<size_t>(n)) : std::string();
    BIO_free(bio);
    return text;
}

// A name as one line of UTF-8; control characters come escaped.
std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0,
                       (XN_FLAG_ONELINE | ASN1_STRFLGS_UTF8_CONVERT) & ~ASN1_STRFLGS_ESC_MSB);
    return BioText(bio);
}

std::string TimeText(const ASN1_TIME* time) {
    BIO* bio = BIO_new(BIO_s_mem());
    ASN1_TIME_print(bio, time);
    return BioText(bio);
}

// One thing wrong with a certificate as the user is told it, and its place
// among the others: the name first, then the dates, then the chain.
struct Problem {
    int rank;
    std::string text;
};

Problem ProblemOf(int error, int depth) {
    switch (error) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return {0, "The certificate is for another host name."};
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return depth == 0 ? Problem{1, "The certificate has expired."}
                          : Problem{5, "A certificate of its chain has expired."};
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return depth == 0 ? Problem{2, "The certificate is not valid yet."}
                          : Problem{6, "A certificate of its chain is not valid yet."};
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return {3, "The certificate is self-signed."};
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return {4, "The certificate is not signed by a known authority."};
    default:
        return {7, std::string("The certificate was not verified: ") +
                       X509_verify_cert_error_string(error) + "."};
    }
}

// An error OpenSSL met (X509_V_ERR_...) and the depth in the chain it
// concerns (0: the server's own certificate).
using Found = std::vector<std::pair<int, int>>;

// The lines telling what was found, each once, in their fixed order (those
// of equal rank in the order met).
std::vector<std::string> ProblemLines(const Found& found) {
    std::vector<Problem> problems;
    for (const auto& [error, depth] : found) {
        Problem p = ProblemOf(error, depth);
        bool seen = false;
        for (const Problem& q : problems)
            seen = seen || q.text == p.text;
        if (!seen)
            problems.push_back(std::move(p));
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const Problem& a, const Problem& b) { return a.rank < b.rank; });
    std::vector<std::string> lines;
    for (Problem& p : problems)
        lines.push_back(std::move(p.text));
    return lines;
}

constexpr unsigned kHostFlags = X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS;

// The server's own certificate by itself: its name and its dates. OpenSSL
// checks them too, but a chain it cannot go on with (an error that ends its
// walk whatever NoteProblem says) stops it before; made here as well, they
// are listed whatever else is wrong.
void CheckLeaf(X509* leaf, const std::string& host, Found* found) {
    bool address = IsAddress(host);
    bool named = address
                     ? X509_check_ip_asc(leaf, host.c_str(), 0) == 1
                     : X509_check_host(leaf, host.c_str(), host.size(), kHostFlags, nullptr) == 1;
    if (!named)
        found->emplace_back(address ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH,
                            0);
    if (X509_cmp_current_time(X509_get0_notAfter(leaf)) < 0)
        found->emplace_back(X509_V_ERR_CERT_HAS_EXPIRED, 0);
    if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0)
        found->emplace_back(X509_V_ERR_CERT_NOT_YET_VALID, 0);
}

int FoundIndex() {
    static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// OpenSSL's verdict on each step of the verification: within VerifyChain an
// error is noted and the verification goes on, so that one pass meets every
// problem; VerifyChain then decides. Anywhere else an error refuses.
int NoteProblem(int ok, X509_STORE_CTX* store) {
    if (ok)
        return 1;
    auto* found = static_cast<Found*>(X509_STORE_CTX_get_ex_data(store, FoundIndex()));
    if (!found)
        return 0;
    found->emplace_back(X509_STORE_CTX_get_error(store), X509_STORE_CTX_get_error_depth(store));
    return 1;
}

// The check of the chain a server sent, in place of OpenSSL's own, with the
// name checked as part of it. A chain with any problem stands only when the
// server's own certificate is exactly the one pinned; a refused one is kept,
// with every problem found, for the question to the user.
int VerifyChain(X509_STORE_CTX* store, void* arg) {
    auto* check = static_cast<TlsCheck*>(arg);
    Found found;
    X509_STORE_CTX_set_ex_data(store, FoundIndex(), &found);
    X509_STORE_CTX_set_verify_cb(store, NoteProblem);
    int verified = X509_verify_cert(store);
    X509_STORE_CTX_set_ex_data(store, FoundIndex(), nullptr);
    if (verified > 0 && found.empty())
        return 1;
    int error = X509_STORE_CTX_get_error(store);
    if (error == X509_V_OK)
        error = found.empty() ? X509_V_ERR_UNSPECIFIED : found.front().first;
    if (found.empty())
        found.emplace_back(error, 0);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!leaf || !check) {
        X509_STORE_CTX_set_error(store, error);
        return 0;
    }
    std::string fingerprint = Fingerprint(leaf);
    if (!check->pinned.empty() && fingerprint == check->pinned) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    // The handshake ends with this error: it must not read as success.
    X509_STORE_CTX_set_error(store, error);
    if (!check->refused) {
        check->refused = true;
        CheckLeaf(leaf, check->host, &found);
        Certificate& c = check->refusedCertificate;
        c = Certificate{};
        c.subject = NameText(X509_get_subject_name(leaf));
        c.issuer = NameText(X509_get_issuer_name(leaf));
        c.validFrom = TimeText(X509_get0_notBefore(leaf));
        c.validUntil = TimeText(X509_get0_notAfter(leaf));
        c.fingerprint = fingerprint;
        c.problems = ProblemLines(found);
        for (const std::string& line : c.problems)
            c.problem += (c.problem.empty() ? "" : " ") + line;
    }
    return 0;
}

CURLcode OnSslContext(CURL*, void* context, void* userp) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    auto* check = static_cast<TlsCheck*>(userp);
    // The name is part of the verification: a certificate for another name
    // fails like one from an unknown authority.
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    if (IsAddress(check->host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, check->host.c_str());
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, kHostFlags);
        X509_VERIFY_PARAM_set1_host(param, check->host.c_str(), check->host.size());
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, NoteProblem);
    SSL_CTX_set_cert_verify_callback(ctx, VerifyChain, check);
    // libcurl's verbose mode traces every TLS record as text; the session
    // reads only the commands and replies, and a gigabyte is 65,536 records.
    SSL_CTX_set_msg_callback(ctx, nullptr);
    return CURLE_OK;
}

} // namespace

std::string LastResponse() {
    return t_lastResponse;
}

Failure LastFailure() {
    return t_lastFailure;
}

// What one libcurl request does and what came back.
struct Session::Request {
    std::string url;
    bool nobody = false;
    std::vector<std::string> quote;
    // Commands sent after the transfer ("*" first: a refusal is no failure).
    std::vector<std::string> postQuote;
    std::string customRequest;
    // Download: into `text` (listings) or into `file`.
    std::string* text = nullptr;
    FILE* file = nullptr;
    bool writeFailed = false;
    bool ignoreLength = true;
    // Ask the file's modification time (MDTM) before the transfer.
    bool filetime = false;
    // Upload source.
    FILE* source = nullptr;
    curl_off_t sourceSize = -1;
    std::uint64_t read = 0; // bytes taken from `source`
    bool append = false;    // APPE instead of STOR
    // Download: go on from this byte (REST). The first bytes that come are
    // checked against `overlap`, what the file already holds from there.
    curl_off_t resumeFrom = 0;
    std::string overlap;
    size_t checked = 0;
    bool mismatch = false;
    // A login in this request is not announced (the caller says what happened).
    bool quietLogin = false;
    // The failure was a connection the server closed or lost (not a timeout).
    bool lost = false;
    Failure failure = Failure::None;
    const Progress* progress = nullptr;
    // Bytes that arrived for `file` or `text`, and bytes moved either way.
    std::uint64_t received = 0;
    std::uint64_t moved = 0;
    // The session's abort count as this request began.
    const std::atomic<std::uint64_t>* aborts = nullptr;
    std::uint64_t abortsAtStart = 0;
    // A socket libcurl opened and may still be connecting.
    curl_socket_t connecting = CURL_SOCKET_BAD;
    bool Stopped() const { return aborts && aborts->load() != abortsAtStart; }
    bool stopped = false;
    bool tooSlow = false;
    // When the request failed by the server's refusal: its reply code.
    int refusal = 0;
    // Commands sent and the replies to each, in order.
    struct Exchange {
        std::string sent;
        std::vector<std::string> replies;
    };
    std::vector<Exchange> exchanges{{"(greeting)", {}}};
    CURLcode result = CURLE_OK;
    char error[CURL_ERROR_SIZE] = {};

    // Ready to be sent once more, with what came back forgotten.
    void Restart() {
        received = moved = read = 0;
        writeFailed = stopped = tooSlow = lost = false;
        refusal = 0;
        failure = Failure::None;
        exchanges = {{"(greeting)", {}}};
        result = CURLE_OK;
        error[0] = 0;
    }

    // The final reply line to the command that began with `verb`, or "".
    std::string ReplyTo(const std::string& verb) const {
        for (auto it = exchanges.rbegin(); it != exchanges.rend(); ++it)
            if (it->sent.compare(0, verb.size(), verb) == 0 && !it->replies.empty())
                return it->replies.back();
        return "";
    }
    std::string LastReply() const {
        for (auto it = exchanges.rbegin(); it != exchanges.rend(); ++it)
            if (!it->replies.empty())
                return it->replies.back();
        return "";
    }
};

namespace {

size_t WriteToRequest(char* data, size_t size, size_t n, void* userp) {
    auto* r = static_cast<Session::Request*>(userp);
    size_t bytes = size * n;
    r->received += bytes;
    if (r->text) {
        if (r->text->size() + bytes > kMaxListing) {
            r->writeFailed = true;
            return 0;
        }
        r->text->append(data, bytes);
        return bytes;
    }
    if (r->file) {
        if (r->checked < r->overlap.size()) {
            // Bytes the file holds already: they must be the same (a server
            // that ignored REST, a file changed since), and are not written.
            size_t same = std::min(bytes, r->overlap.size() - r->checked);
            if (std::memcmp(data, r->overlap.data() + r->checked, same) != 0) {
                r->mismatch = true;
                return 0;
            }
            r->checked += same;
            data += same;
            if (same == bytes)
                return size * n;
            bytes -= same;
        }
        if (std::fwrite(data, 1, bytes, r->file) != bytes) {
            r->writeFailed = true;
            return 0; // a full disk ends the transfer as a failure
        }
        return size * n;
    }
    return bytes;
}

size_t ReadFromRequest(char* buffer, size_t size, size_t n, void* userp) {
    auto* r = static_cast<Session::Request*>(userp);
    size_t got = std::fread(buffer, 1, size * n, r->source);
    if (got == 0 && std::ferror(r->source))
        return CURL_READFUNC_ABORT;
    r->read += got;
    return got;
}

int OnProgress(void* userp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
               curl_off_t ulnow) {
    auto* r = static_cast<Session::Request*>(userp);
    if (r->Stopped())
        return 1;
    r->moved = static_cast<std::uint64_t>(dlnow) + static_cast<std::uint64_t>(ulnow);
    if (r->progress && *r->progress) {
        if (ultotal > 0 || ulnow > 0)
            (*r->progress)(static_cast<std::uint64_t>(ulnow), static_cast<std::uint64_t>(ultotal));
        else
            (*r->progress)(static_cast<std::uint64_t>(dlnow), static_cast<std::uint64_t>(dltotal));
    }
    return 0;
}

int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* userp) {
    auto* r = static_cast<Session::Request*>(userp);
    if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT)
        return 0;
    std::string text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (type == CURLINFO_HEADER_OUT) {
        // The password is never kept, not even here: of what we send, only
        // the argument of PASS is masked; replies are the server's own words.
        if (text.compare(0, 5, "PASS ") == 0)
            text = "PASS ****";
        r->exchanges.push_back({text, {}});
    } else {
        r->exchanges.back().replies.push_back(text);
    }
    return 0;
}

// A reply line's code: "550 No such file" -> 550; 0 when none.
int CodeOf(const std::string& line) {
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) ||
        !std::isdigit(static_cast<unsigned char>(line[2])))
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Waits until libcurl has something to do, a millisecond at most. libcurl
// looks at a data connection that is still connecting only when a timer of
// its own runs out: the socket is watched here until it is connected, so
// that the transfer goes on at once.
void WaitForActivity(CURLM* multi, Session::Request& r) {
    long due = -1;
    curl_multi_timeout(multi, &due);
    curl_waitfd watch{r.connecting, CURL_WAIT_POLLOUT, 0};
    bool watching = r.connecting != CURL_SOCKET_BAD;
    curl_multi_poll(multi, watching ? &watch : nullptr, watching ? 1u : 0u, due == 0 ? 0 : 1,
                    nullptr);
    if (watching && watch.revents)
        r.connecting = CURL_SOCKET_BAD;
}

} // namespace

std::shared_ptr<Session> Session::Open(const ConnectParams& params) {
    std::shared_ptr<Session> s = Create(params);
    return s && s->Connect() ? s : nullptr;
}

std::shared_ptr<Session> Session::Create(const ConnectParams& params) {
    std::shared_ptr<Session> s(new Session);
    s->m_params = params;
    s->m_curl = curl_easy_init();
    s->m_multi = MultiInitCloexec();
    if (!s->m_curl || !s->m_multi) {
        t_lastResponse = "Out of memory";
        return nullptr;
    }
    std::string host = BareHost(params.host);
    s->m_tls = std::make_unique<TlsCheck>();
    s->m_tls->host = host;
    s->m_tls->pinned = params.trustedFingerprint;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]"; // an IPv6 address
    s->m_base = "ftp://" + Encode(host) + ":" + std::to_string(params.port);
    return s;
}

bool Session::Connect() {
    auto lock = Lock();
    if (!Sendable(m_params.user) || !Sendable(m_params.password)) {
        t_lastResponse = "Refused: the user name or password holds a line break or NUL character";
        return false;
    }
    // Log in and ask what the server offers. A certificate that is not
    // verified is shown to the user, and the connect tried again with the
    // one the user trusted; nothing but AUTH TLS was sent before.
    Request r;
    auto tlsUp = [&r] {
        for (const auto& ex : r.exchanges)
            if (ex.sent.compare(0, 5, "AUTH ") == 0 && !ex.replies.empty() &&
                CodeOf(ex.replies.back()) / 100 == 2)
                return true;
        return false;
    };
    for (int asked = 0;;) {
        r = Request{};
        r.url = m_base + "/";
        r.nobody = true;
        r.quote = {"*FEAT"};
        m_tls->refused = false;
        if (Perform(r))
            break;
        if (r.result == CURLE_USE_SSL_FAILED) {
            if (tlsUp()) {
                t_lastResponse = "The server refuses to protect the data connections (PROT P): "
                                 "not connected, as files would travel in the clear";
                return false;
            }
            if (m_params.encryption == Encryption::IfAvailable && !m_plainFallback) {
                // No AUTH TLS here: this session logs in in plain FTP.
                m_plainFallback = true;
                continue;
            }
            t_lastResponse = "The server does not offer TLS: nothing more was sent, as the site "
                             "requires an encrypted connection";
            return false;
        }
        if (!m_tls->refused || asked++ == 3 || !AskAboutCertificate())
            return false;
    }
    m_encrypted = tlsUp();
    for (const auto& ex : r.exchanges)
        if (ex.sent == "FEAT")
            for (const std::string& line : ex.replies) {
                std::string upper = line;
                for (char& c : upper)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                if (CodeOf(line) != 0)
                    continue;
                if (upper.find("MLST") != std::string::npos)
                    m_mlsd = m_mlst = true;
                if (upper.find("MDTM") != std::string::npos)
                    m_mdtm = true;
            }
    char* entry = nullptr;
    if (curl_easy_getinfo(static_cast<CURL*>(m_curl), CURLINFO_FTP_ENTRY_PATH, &entry) ==
            CURLE_OK &&
        entry && *entry == '/')
        m_cwd = Resolve(entry);
    t_lastResponse = r.ReplyTo("PASS");
    if (t_lastResponse.empty())
        t_lastResponse = r.LastReply();
    return true;
}

Session::~Session() {
    if (m_multi)
        curl_multi_cleanup(static_cast<CURLM*>(m_multi));
    if (m_curl)
        curl_easy_cleanup(static_cast<CURL*>(m_curl));
}

std::string Session::Resolve(const std::string& path) const {
    std::string full = !path.empty() && path[0] == '/' ? path : m_cwd + "/" + path;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t slash = full.find('/', i);
        std::string part =
            full.substr(i, slash == std::string::npos ? std::string::npos : slash - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string::npos)
            break;
        i = slash + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string Session::Url(const std::string& absPath, bool directory) const {
    std::string url = m_base + "/" + Encode(absPath);
    if (directory && url.back() != '/')
        url += '/';
    return url;
}

bool Session::Perform(Request& r) {
    bool reused = m_loggedIn && !m_freshConnection;
    off_t sourceAt = r.source ? ftello(r.source) : 0;
    if (PerformOnce(r))
        return true;
    // A listing only reads: one cut by a lost connection (a folder of a
    // download walk, the pane's) is asked once more on a new login, and what
    // came of it is forgotten, never taken for the folder's whole content.
    if (r.text && r.lost && !m_closed) {
        r.text->clear();
        r.Restart();
        return PerformOnce(r);
    }
    // A connection the server closed while it lay idle (its idle timeout, a
    // restart) fails the first request sent on it: that request goes once
    // more, on a new login, when the server had done nothing of it yet.
    if (!reused || !r.lost || r.received || r.read || m_closed)
        return false;
    for (size_t i = 1; i < r.exchanges.size(); ++i)
        for (const std::string& reply : r.exchanges[i].replies)
            if (CodeOf(reply) != 421)
                return false;
    if (r.source && fseeko(r.source, sourceAt, SEEK_SET) != 0)
        return false;
    r.Restart();
    return PerformOnce(r);
}

bool Session::PerformOnce(Request& r) {
    // The abort count is read before the closed flag: a Close() that the
    // check below misses has not counted up yet, so this request still sees it.
    r.aborts = &m_aborts;
    r.abortsAtStart = m_aborts.load();
    if (m_closed) {
        t_lastResponse = "Not connected";
        t_lastFailure = Failure::Stopped;
        return false;
    }
    CURL* curl = static_cast<CURL*>(m_curl);
    CURLM* multi = static_cast<CURLM*>(m_multi);
    curl_easy_reset(curl); // options only: the connection stays open
    curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERNAME, m_params.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, m_params.password.c_str());
    curl_easy_setopt(curl, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_FTP_SKIP_PASV_IP, 1L); // data goes to the control peer only
    SetConnectionOptions(curl);
    const bool fresh = m_freshConnection;
    if (m_freshConnection) {
        // The last connection was dropped: never reuse it.
        curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
        m_freshConnection = false;
    }
    // libcurl keeps every address it connects to for a minute, the data
    // connections' too (one per transfer, each on its own port), and walks
    // them all before each new one: thousands of small files would make each
    // transfer slower than the one before. The address is looked up again
    // only when the control connection is made, so nothing is kept.
    curl_easy_setopt(curl, CURLOPT_DNS_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_params.connectTimeoutSec);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, m_params.responseTimeoutSec);
    // A server that never connects back in active mode.
    curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, m_params.responseTimeoutSec * 1000L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, m_params.minBytesPerSec));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_params.lowSpeedTimeSec);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &r.connecting);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, SockOpt);
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L); // binary
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, r.error);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &r);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &r);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToRequest);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r);
    // With a size known from the listing no SIZE is sent; the bytes are
    // counted against it afterwards.
    if (r.ignoreLength)
        curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    // A large receive buffer: fewer callbacks and system calls per gigabyte.
    // Uploads go in libcurl's usual 64 KiB: with 512 KiB a gigabyte took
    // 1.2-1.3 times as long as curl's into pyftpdlib, and 1.6 times as long
    // as with 64 KiB into vsftpd (measured on loopback; 128 KiB is as slow).
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 64L * 1024);
    if (r.nobody)
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    if (r.filetime)
        curl_easy_setopt(curl, CURLOPT_FILETIME, 1L);
    if (!r.customRequest.empty())
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, r.customRequest.c_str());
    curl_slist* quote = nullptr;
    for (const std::string& q : r.quote)
        quote = curl_slist_append(quote, q.c_str());
    if (quote)
        curl_easy_setopt(curl, CURLOPT_QUOTE, quote);
    curl_slist* postQuote = nullptr;
    for (const std::string& q : r.postQuote)
        postQuote = curl_slist_append(postQuote, q.c_str());
    if (postQuote)
        curl_easy_setopt(curl, CURLOPT_POSTQUOTE, postQuote);
    if (r.source) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadFromRequest);
        curl_easy_setopt(curl, CURLOPT_READDATA, &r);
        if (r.sourceSize >= 0)
            curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, r.sourceSize);
        if (r.append)
            curl_easy_setopt(curl, CURLOPT_APPEND, 1L);
    }
    if (r.resumeFrom > 0)
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, r.resumeFrom);

    // Driven through the multi interface: curl_easy_perform leaves some
    // passive data connections waiting a whole second before they connect.
    // The loop also ends a request that was stopped, or that has run longer
    // than its allowance: a fixed part for logging in and waiting for
    // replies, and a part that grows with the bytes moved.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const double fixedSec = static_cast<double>(
        m_params.connectTimeoutSec + m_params.responseTimeoutSec + m_params.lowSpeedTimeSec);
    const double rate = static_cast<double>(std::max(1L, m_params.minBytesPerSec));
    curl_multi_add_handle(multi, curl);
    int running = 1;
    while (running) {
        if (r.Stopped()) {
            r.stopped = true;
            break;
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (elapsed > fixedSec + static_cast<double>(std::max(r.moved, r.received)) / rate) {
            r.tooSlow = true;
            break;
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        if (running)
            WaitForActivity(multi, r);
    }
    r.result = running ? CURLE_ABORTED_BY_CALLBACK : CURLE_GOT_NOTHING;
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued))
        if (msg->msg == CURLMSG_DONE && msg->easy_handle == curl)
            r.result = msg->data.result;
    if (r.result == CURLE_ABORTED_BY_CALLBACK && !r.tooSlow)
        r.stopped = true;

    int code = CodeOf(r.LastReply());
    if (r.result != CURLE_OK && !r.stopped && !r.tooSlow && code >= 400)
        r.refusal = code;
    // A 421 (also to a command allowed to fail) is the server closing the
    // connection; a 2xx to USER or PASS a login.
    std::string closing;
    bool loggedIn = false;
    for (const Request::Exchange& ex : r.exchanges)
        for (const std::string& reply : ex.replies) {
            if (CodeOf(reply) == 421 && closing.empty())
                closing = reply;
            if (CodeOf(reply) / 100 == 2 &&
                (ex.sent.compare(0, 5, "USER ") == 0 || ex.sent.compare(0, 5, "PASS ") == 0))
                loggedIn = true;
        }
    // libcurl reports a 421 as a timeout; it is the server closing.
    bool timedOut = r.tooSlow || (r.result == CURLE_OPERATION_TIMEDOUT && closing.empty());
    if (r.result != CURLE_OK || !closing.empty()) {
        if (r.stopped)
            r.failure = Failure::Stopped;
        else if (r.writeFailed)
            r.failure = r.file ? Failure::Local : Failure::Refused;
        else if (!closing.empty() || !r.refusal || timedOut || r.refusal == 425 || r.refusal == 426)
            r.failure = Failure::ConnectionLost;
        else
            r.failure = Failure::Refused;
        r.lost = r.failure == Failure::ConnectionLost && !timedOut;
        if (!closing.empty() && r.result == CURLE_OK) {
            r.result = CURLE_RECV_ERROR;
            r.refusal = 421;
        }
    }
    if (loggedIn) {
        // A login the session did not ask for (libcurl found the connection
        // closed), or one after a lost connection, is said in the log; one
        // after our own drop (Stop, a timeout) is not.
        bool announce = m_loggedIn && (!fresh || m_lostConnection) && !r.quietLogin;
        m_loggedIn = true;
        m_lostConnection = false;
        if (announce && m_lineHook)
            m_lineHook("Reconnected");
    }
    // Anything but a plain refusal may leave a reply still due on the control
    // connection (a Stop while the final 226 is on its way): the connection
    // is dropped, so that no later command reads an earlier command's reply.
    if ((r.result != CURLE_OK && (!r.refusal || r.result == CURLE_OPERATION_TIMEDOUT)) ||
        !closing.empty())
        DropConnection(r.lost);
    curl_multi_remove_handle(multi, curl);
    curl_slist_free_all(quote);
    curl_slist_free_all(postQuote);

    if (r.result == CURLE_OK) {
        t_lastResponse = r.LastReply();
        t_lastFailure = Failure::None;
        return true;
    }
    t_lastFailure = r.failure;
    m_curlDir.clear(); // libcurl forgets its folder after a failure
    std::string reason;
    if (r.stopped)
        reason = "Stopped";
    else if (r.tooSlow)
        reason = "Timed out: the server sent less than " + std::to_string(m_params.minBytesPerSec) +
                 " bytes a second on average";
    else if (r.writeFailed)
        reason = r.file ? std::string("Cannot write the local file: ") + std::strerror(errno)
                        : "The listing is too large";
    else if (r.result == CURLE_USE_SSL_FAILED)
        reason = "The server does not offer TLS, or refuses to protect the data connections: "
                 "the session requires an encrypted connection";
    else {
        reason = !closing.empty() ? closing
                 : r.refusal      ? r.LastReply()
                                  : std::string(curl_easy_strerror(r.result));
        if (!r.refusal && r.error[0])
            reason += std::string(": ") + r.error;
    }
    t_lastResponse = reason;
    return false;
}

void Session::SetConnectionOptions(void* handle) {
    CURL* curl = static_cast<CURL*>(handle);
    // The same for every request of the session, so that libcurl keeps
    // using the one connection.
    if (m_params.encryption != Encryption::None) {
        // TLS is required unless the first login found a server that does
        // not offer it: a reconnect of an encrypted session to a server that
        // no longer offers it (someone stripping AUTH TLS on the way) never
        // sends the login in the clear, and data connections are always
        // protected. (libcurl reuses a connection only for requests with the
        // same setting: it stays one value for the session's life.)
        curl_easy_setopt(curl, CURLOPT_USE_SSL,
                         static_cast<long>(m_plainFallback ? CURLUSESSL_TRY : CURLUSESSL_ALL));
        curl_easy_setopt(curl, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS));
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        // The name is checked within the verification (OnSslContext).
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, m_tls.get());
        if (!m_params.caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, m_params.caFile.c_str());
    }
    // Active mode over TLS hangs: encrypted data connections are passive.
    if (m_params.mode == Mode::Active && !m_encrypted && m_params.encryption != Encryption::Require)
        curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");
}

bool Session::AskAboutCertificate() {
    Certificate certificate = m_tls->refusedCertificate;
    certificate.server = ServerKey(m_params.host, m_params.port);
    if (m_params.trustedFingerprint != certificate.fingerprint)
        certificate.trustedBefore = m_params.trustedFingerprint;
    if (!m_params.askCertificate) {
        t_lastResponse = "The server's certificate is not trusted: " + certificate.problem;
        return false;
    }
    std::future<Trust> answer = m_params.askCertificate(certificate);
    Trust trust = Trust::Cancel;
    if (answer.valid()) {
        // The question is answered on another thread; a Close() meanwhile
        // ends the wait.
        while (!m_closed &&
               answer.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        }
        if (!m_closed) {
            try {
                trust = answer.get();
            } catch (const std::future_error&) {
                trust = Trust::Cancel; // nobody is left to answer
            }
        }
    }
    if (m_closed) {
        t_lastResponse = "Not connected";
        return false;
    }
    if (trust == Trust::Cancel) {
        t_lastResponse = "Certificate not trusted: connection cancelled";
        return false;
    }
    m_tls->pinned = certificate.fingerprint;
    return true;
}

void Session::DropConnection(bool lost) {
    m_lostConnection = lost;
    CURL* curl = static_cast<CURL*>(m_curl);
    curl_socket_t fd = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &fd) == CURLE_OK && fd != CURL_SOCKET_BAD)
        shutdown(fd, SHUT_RDWR); // libcurl finds it dead and closes it
    m_freshConnection = true;
}

bool Session::SetCurrentDirectory(const std::string& path) {
    auto lock = Lock();
    if (RefuseUnsendable(path))
        return false;
    std::string abs = Resolve(path);
    Request r;
    r.url = Url(abs, true);
    r.nobody = true;
    // libcurl sends no CWD for the folder it believes it is in, yet the folder
    // may be gone since: then the CWD is sent as a command of its own, before
    // libcurl's own step (which it skips, the folder being the same).
    bool same = m_curlDir == abs;
    if (same)
        r.quote = {"*CWD " + abs};
    if (!Perform(r))
        return false;
    if (same) {
        std::string reply = r.ReplyTo("CWD ");
        t_lastResponse = reply;
        int code = CodeOf(reply);
        if (code < 200 || code >= 300)
            return false;
    }
    m_curlDir = abs;
    m_cwd = abs;
    return true;
}

std::string Session::GetCurrentDirectory() {
    auto lock = Lock();
    return m_cwd;
}

bool Session::List(const std::string& dir, const std::string& argument, std::string* text,
                   int* refusal) {
    Request r;
    r.url = Url(dir, true);
    r.customRequest = argument;
    r.text = text;
    bool ok = Perform(r);
    if (refusal)
        *refusal = r.refusal;
    if (!ok)
        return false;
    m_curlDir = dir;
    return true;
}

// MLSD when the server offered it; a server that then refuses it is listed
// with LIST, and for the rest of the session once LIST worked.
bool Session::ListFolder(const std::string& dir, std::string* text, bool* mlsd) {
    *mlsd = m_mlsd;
    if (!m_mlsd)
        return List(dir, "LIST", text);
    int refusal = 0;
    if (List(dir, "MLSD", text, &refusal))
        return true;
    if (refusal < 500)
        return false; // stopped, timed out, or the connection failed
    std::string mlsdReply = t_lastResponse;
    text->clear();
    if (!List(dir, "LIST", text)) {
        if (CodeOf(t_lastResponse) == 0)
            return false;
        t_lastResponse = mlsdReply; // the folder's own failure, as MLSD met it
        return false;
    }
    m_mlsd = false;
    *mlsd = false;
    return true;
}

// LIST with "-a" where the server takes it (many hide names beginning with
// "." from a plain LIST). Some servers read the option as a name: where no
// such name exists they refuse it or list nothing, but where a folder "-a"
// exists they list that folder, whose entries must never pass for the
// folder's own. So until a folder's "LIST -a" has shown every name its plain
// LIST shows, both are asked and compared; a server whose "-a" listing
// misses a name of the plain one is asked plain LIST from then on.
bool Session::ListWithHidden(const std::string& dir, std::string* text) {
    auto names = [](const std::string& listing, std::set<std::string>* out) {
        std::vector<FindData> entries;
        ParseListing(listing, false, std::time(nullptr), kMaxEntries, &entries);
        for (const FindData& e : entries)
            if (!e.isDots)
                out->insert(e.name);
    };
    if (m_noListAll) {
        text->clear();
        return List(dir, "LIST", text);
    }
    int refusal = 0;
    text->clear();
    bool listedAll = List(dir, "LIST -a", text, &refusal);
    if (!listedAll && refusal < 500)
        return false; // stopped, timed out, or the connection failed
    if (listedAll && m_listAllTaken)
        return true;
    std::string plain;
    if (!List(dir, "LIST", &plain))
        return false;
    std::set<std::string> all, shown;
    if (listedAll)
        names(*text, &all);
    names(plain, &shown);
    if (shown.empty()) {
        // Nothing to compare with (an empty folder, or one of hidden names
        // only): what "-a" showed stands, and the next folder decides.
        if (!listedAll)
            *text = std::move(plain);
        return true;
    }
    if (std::includes(all.begin(), all.end(), shown.begin(), shown.end())) {
        m_listAllTaken = true;
        return true;
    }
    m_noListAll = true;
    *text = std::move(plain);
    return true;
}

namespace {

bool ParseInto(const std::string& text, bool mlsd, std::vector<FindData>* entries) {
    if (!ParseListing(text, mlsd, std::time(nullptr), kMaxEntries, entries)) {
        entries->clear();
        t_lastResponse =
            "The listing is too large: more than " + std::to_string(kMaxEntries) + " entries";
        return false;
    }
    return true;
}

} // namespace

namespace {

// Whether an MLSD listing shows a folder ("type=dir;", in any case).
bool ShowsAFolder(const std::string& mlsd) {
    static const std::string fact = "type=dir;";
    auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    };
    return std::search(mlsd.begin(), mlsd.end(), fact.begin(), fact.end(), same) != mlsd.end();
}

} // namespace

bool Session::ListDirectory(const std::string& path, std::vector<FindData>* entries, Links links) {
    std::string text, linkText;
    bool mlsd = false, withList = false;
    {
        auto lock = Lock();
        if (RefuseUnsendable(path))
            return false;
        std::string abs = Resolve(path);
        if (!ListFolder(abs, &text, &mlsd))
            return false;
        // MLSD gives names exactly and hidden files too (LIST hides them on
        // many servers), but some servers' MLSD follows links: LIST of the
        // same folder says which entries are links.
        withList =
            mlsd && (links == Links::All || (links == Links::NotEntered && ShowsAFolder(text)));
        if (withList && !ListWithHidden(abs, &linkText))
            return false;
        if (!mlsd && links == Links::All) {
            // Every entry, hidden ones too: a delete must see what it removes.
            text.clear();
            if (!ListWithHidden(abs, &text))
                return false;
        }
        m_cwd = abs;
    }
    // Parsed without holding the session: a large listing takes a while.
    if (!ParseInto(text, mlsd, entries))
        return false;
    if (withList) {
        std::vector<FindData> listed;
        if (!ParseInto(linkText, false, &listed)) {
            entries->clear();
            return false;
        }
        MarkLinks(entries, listed);
    }
    return true;
}

std::unique_ptr<FindHandle> Session::FindFirstFile(const std::string& pattern, FindData* first) {
    auto lock = Lock();
    if (RefuseUnsendable(pattern))
        return nullptr;
    std::vector<FindData> entries;
    std::string text;
    if (pattern.empty()) {
        bool mlsd = false;
        if (!ListFolder(m_cwd, &text, &mlsd) || !ParseInto(text, mlsd, &entries))
            return nullptr;
    } else {
        // One entry: listed by name in its folder; servers that show the name
        // with its path are matched on the last part. A name that begins
        // with "-" is given as "./-name", never as options of LIST.
        std::string abs = Resolve(pattern);
        std::string name = files::BaseName(abs);
        std::string argument = name[0] == '-' ? "./" + name : name;
        std::vector<FindData> listed;
        if (abs == "/" || !List(files::Parent(abs), "LIST " + argument, &text) ||
            !ParseInto(text, false, &listed))
            return nullptr;
        for (FindData& e : listed) {
            if (e.name.find('/') != std::string::npos) {
                e.name = e.name.substr(e.name.rfind('/') + 1);
                ClassifyName(e);
            }
            if (e.name == name)
                entries.push_back(std::move(e));
        }
    }
    if (entries.empty()) {
        t_lastResponse = "No entry found";
        return nullptr;
    }
    *first = entries.front();
    return std::make_unique<FindHandle>(std::move(entries));
}

namespace {

// The size a 213 reply gives: its first word after the code, digits only
// (some servers add words after it, or spaces); -1 when there is none. A
// number too large for 64 bits reads as the largest there is.
std::int64_t SizeIn(const std::string& reply) {
    size_t at = 4;
    while (at < reply.size() && reply[at] == ' ')
        ++at;
    size_t end = at;
    while (end < reply.size() && std::isdigit(static_cast<unsigned char>(reply[end])))
        ++end;
    if (end == at || (end < reply.size() && reply[end] != ' ' && reply[end] != '\t'))
        return -1;
    return std::strtoll(reply.c_str() + at, nullptr, 10);
}

// The size a download's reply to RETR announces (-1 none), and the 213 reply
// to SIZE (-1 none).
void SizesOf(const Session::Request& r, std::int64_t* announced, std::int64_t* sized) {
    *announced = *sized = -1;
    for (const Session::Request::Exchange& ex : r.exchanges) {
        if (ex.sent.compare(0, 5, "RETR ") == 0)
            for (const std::string& reply : ex.replies)
                if (CodeOf(reply) == 150 || CodeOf(reply) == 125)
                    *announced = AnnouncedSize(reply);
        if (ex.sent.compare(0, 5, "SIZE ") == 0 && !ex.replies.empty() &&
            CodeOf(ex.replies.back()) == 213)
            *sized = SizeIn(ex.replies.back());
    }
}

// The file's modification stamp as the server gave it in a request: the
// reply to MDTM ("20240101123456"), else the modify fact of a reply to MLST;
// "" when neither came.
std::string StampOf(const Session::Request& r) {
    for (const Session::Request::Exchange& ex : r.exchanges) {
        if (ex.sent.compare(0, 5, "MDTM ") == 0 && !ex.replies.empty() &&
            CodeOf(ex.replies.back()) == 213)
            return ex.replies.back().substr(4);
        if (ex.sent.compare(0, 5, "MLST ") != 0)
            continue;
        for (const std::string& line : ex.replies) {
            std::string lower = line;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t at = lower.find("modify=");
            if (at == std::string::npos)
                continue;
            size_t end = line.find(';', at);
            return line.substr(at + 7, end == std::string::npos ? std::string::npos : end - at - 7);
        }
    }
    return "";
}

// Whether the server opened the file for a STOR or APPE (its old copy is then
// gone or being added to).
bool StoreOpened(const Session::Request& r) {
    for (const Session::Request::Exchange& ex : r.exchanges)
        if (ex.sent.compare(0, 5, "STOR ") == 0 || ex.sent.compare(0, 5, "APPE ") == 0)
            for (const std::string& reply : ex.replies)
                if (CodeOf(reply) == 150 || CodeOf(reply) == 125)
                    return true;
    return false;
}

// The server's last reply to the STOR or APPE of a request.
std::string StoreReply(const Session::Request& r) {
    for (const Session::Request::Exchange& ex : r.exchanges)
        if ((ex.sent.compare(0, 5, "STOR ") == 0 || ex.sent.compare(0, 5, "APPE ") == 0) &&
            !ex.replies.empty())
            return ex.replies.back();
    return r.LastReply();
}

} // namespace

bool Session::GetFile(const std::string& remotePath, const std::string& localPath,
                      const Progress& progress, std::int64_t expectedSize,
                      files::Landing* partial) {
    auto lock = Lock();
    if (RefuseUnsendable(remotePath))
        return false;
    std::string abs = Resolve(remotePath);
    // Without a caller's landing the file lands whole or not at all in this
    // call; nothing is kept for another.
    files::Landing own;
    files::Landing& landing = partial ? *partial : own;
    std::string why;
    if (!landing.Open(abs, localPath, expectedSize, &why))
        return LocalFailure(why);
    const bool retry = landing.WentOn();
    FILE* file = landing.File();
    std::uint64_t already = landing.Have();
    bool ok = false;
    // A file whose sizes or stamp disagree between tries is begun anew once
    // in a call; a second disagreement fails it.
    bool begunAnew = false;
    auto beginAnew = [&]() {
        already = 0;
        begunAnew = true;
        return landing.BeginAnew(&why) || LocalFailure(why);
    };
    for (;;) {
        // Going on from a part, the last bytes kept are asked for again and
        // compared with what comes.
        std::string overlap;
        if (already) {
            overlap.resize(static_cast<size_t>(std::min<std::uint64_t>(already, kResumeOverlap)));
            if (pread(fileno(file), overlap.data(), overlap.size(),
                      static_cast<off_t>(already - overlap.size())) !=
                static_cast<ssize_t>(overlap.size()))
                overlap.clear();
        }
        const std::uint64_t from = already - overlap.size();
        // The progress of the whole file, also when going on from a part.
        Progress whole = progress;
        if (progress && from)
            whole = [&progress, from](std::uint64_t done, std::uint64_t total) {
                progress(from + done, total ? from + total : 0);
            };
        Request r;
        r.url = Url(abs, false);
        r.file = file;
        r.progress = &whole;
        r.resumeFrom = static_cast<curl_off_t>(from);
        r.overlap = std::move(overlap);
        r.quietLogin = retry;
        // Without a size from the caller libcurl asks SIZE and fails a short
        // file; going on from a part it asks SIZE to know what is left.
        r.ignoreLength = expectedSize >= 0 && from == 0;
        // A file changed on the server between two tries must not be stitched
        // from both. What is seen: its size (every size the server gives
        // must agree, see Complete), the bytes before the point a try goes on
        // from (the overlap, up to 64 KiB: a part no longer than that is
        // checked whole), and, where the server gives it, its modification
        // stamp (MDTM, or MLST's modify fact), asked with the first try and
        // again with each later one. What is not seen: a change of the same
        // size, within the stamp's second, outside the overlap, or on a
        // server that gives no stamp.
        bool stamped = partial && (m_mdtm || m_mlst) &&
                       (from > 0 || expectedSize < 0 ||
                        static_cast<std::uint64_t>(expectedSize) > kResumeOverlap);
        if (stamped && m_mdtm)
            r.filetime = true;
        else if (stamped)
            r.quote = {"*MLST " + abs};
        ok = Perform(r);
        if (ok && r.checked < r.overlap.size()) {
            // The file ended inside the part kept: it is shorter than it was
            // (replaced since), and what the part holds beyond is not its own.
            r.mismatch = true;
            ok = false;
        }
        if (ok && already && stamped && !landing.Stamp().empty() && StampOf(r) != landing.Stamp() &&
            !begunAnew) {
            // Changed on the server since the first try: the whole file anew.
            if (beginAnew())
                continue;
            ok = false;
            break;
        }
        if (!ok && already &&
            (r.mismatch || r.result == CURLE_FTP_COULDNT_USE_REST ||
             r.result == CURLE_BAD_DOWNLOAD_RESUME)) {
            // The server cannot go on from there (or did not, and sent other
            // bytes): the whole file once more.
            if (beginAnew())
                continue;
        }
        if (from == 0) {
            std::int64_t announced, sized;
            SizesOf(r, &announced, &sized);
            if (announced >= 0)
                landing.SetTotal(announced);
            if (stamped)
                landing.SetStamp(StampOf(r));
        }
        if (ok) {
            m_curlDir = files::Parent(abs);
            ok = Complete(r, abs, expectedSize, from, landing);
            if (!ok && t_lastFailure == Failure::SizeMismatch) {
                // The sizes the server gave disagree with what arrived: begun
                // anew once, never kept short.
                if (!begunAnew && beginAnew())
                    continue;
                if (t_lastFailure == Failure::SizeMismatch)
                    t_lastFailure = Failure::Refused;
            }
        }
        break;
    }
    if (!ok && partial && t_lastFailure == Failure::ConnectionLost)
        // Kept for the next try: every byte that arrived, written out.
        return landing.Keep(&why) ? false : LocalFailure(why);
    if (!ok) {
        landing.Discard();
        return false;
    }
    return landing.Land(&why) || LocalFailure(why);
}

// The server's size of a file, -1 when it gives none. Asked by libcurl itself
// (TYPE I, then SIZE): some servers answer SIZE in binary mode only, and a
// TYPE sent on our own would put libcurl out of step.
std::int64_t Session::RemoteFileSize(const std::string& abs, bool quietLogin, std::string* stamp) {
    Request r;
    r.url = Url(abs, false);
    r.nobody = true;
    r.quietLogin = quietLogin;
    r.filetime = stamp && m_mdtm;
    if (stamp && !m_mdtm && m_mlst)
        r.quote = {"*MLST " + abs};
    if (!Perform(r))
        return -1;
    if (stamp)
        *stamp = StampOf(r);
    m_curlDir = files::Parent(abs);
    std::int64_t announced, sized;
    SizesOf(r, &announced, &sized);
    return sized;
}

Session::Presence Session::FindFile(const std::string& path, std::uint64_t* size, bool* folder) {
    auto lock = Lock();
    if (RefuseUnsendable(path))
        return Presence::Unknown;
    std::string abs = Resolve(path);
    if (folder)
        *folder = false;
    Request r;
    r.url = Url(abs, false);
    r.nobody = true;
    bool ok = Perform(r);
    std::int64_t announced, n;
    SizesOf(r, &announced, &n);
    if (ok && n >= 0) {
        m_curlDir = files::Parent(abs);
        *size = static_cast<std::uint64_t>(n);
        return Presence::Present;
    }
    // 550 to SIZE: the server says there is no such file (or it is a folder,
    // which no upload replaces either).
    if (CodeOf(r.ReplyTo("SIZE ")) == 550)
        return Presence::Absent;
    if (!ok && t_lastFailure != Failure::Refused)
        return Presence::Unknown; // the request itself failed
    // No size: a server without SIZE. The name's own listing says whether it
    // is there; a refusal of both means it is not.
    FindData found;
    if (FindFirstFile(abs, &found)) {
        *size = found.size;
        if (folder)
            *folder = found.isDirectory;
        return Presence::Present;
    }
    return t_lastFailure == Failure::None || t_lastFailure == Failure::Refused ? Presence::Absent
                                                                               : Presence::Unknown;
}

bool Session::PutFile(const std::string& localPath, const std::string& remotePath,
                      const Progress& progress, files::PartialUpload* partial) {
    auto lock = Lock();
    if (RefuseUnsendable(remotePath))
        return false;
    std::string abs = Resolve(remotePath);
    // Opened without waiting (a pipe put in the file's place since the caller
    // looked would wait for a writer for ever) and sent only when what was
    // opened is a plain file.
    int fd = open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        t_lastResponse = "Cannot read " + localPath + ": " + std::strerror(errno);
        t_lastFailure = Failure::Local;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        t_lastResponse = localPath + " is not a file";
        t_lastFailure = Failure::Local;
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE* source = fdopen(fd, "rb");
    if (!source) {
        close(fd);
        t_lastResponse = "Cannot read " + localPath + ": " + std::strerror(errno);
        t_lastFailure = Failure::Local;
        return false;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (partial) {
        auto ns = [](const timespec& t) {
            return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
        };
        files::PartialUpload::Source now{static_cast<std::uint64_t>(st.st_dev),
                                         static_cast<std::uint64_t>(st.st_ino), size,
                                         ns(st.st_mtim), ns(st.st_ctim)};
        if (partial->tries > 0 && !(partial->source == now)) {
            // Nothing the server kept is known to be this file's own.
            partial->opened = false;
            partial->sent = 0;
        }
        partial->source = now;
    }
    std::uint64_t from = 0;
    if (partial && partial->tries > 0) {
        // What the server kept is this file's beginning only when the server
        // had opened it for us and holds no more than was sent of it: else
        // (its older copy, a file changed meanwhile) it goes again whole.
        if (partial->opened && partial->sent > 0 && !partial->sizeDisagreed) {
            std::int64_t kept = RemoteFileSize(abs, true);
            if (t_lastFailure == Failure::Stopped) {
                // Stopped while asking: nothing more goes out (a STOR would
                // cut the server's copy short).
                std::fclose(source);
                return false;
            }
            if (kept > 0 && static_cast<std::uint64_t>(kept) <= partial->sent &&
                static_cast<std::uint64_t>(kept) <= size)
                from = static_cast<std::uint64_t>(kept);
        }
        if (partial->onResume)
            partial->onResume(from);
    }
    if (partial)
        ++partial->tries;
    bool ok = false;
    for (;;) {
        if (fseeko(source, static_cast<off_t>(from), SEEK_SET) != 0) {
            t_lastResponse = "Cannot read " + localPath + ": " + std::strerror(errno);
            t_lastFailure = Failure::Local;
            break;
        }
        Progress whole = progress;
        if (progress && from)
            whole = [&progress, from](std::uint64_t done, std::uint64_t total) {
                progress(from + done, total ? from + total : 0);
            };
        Request r;
        r.url = Url(abs, false);
        r.source = source;
        r.sourceSize = static_cast<curl_off_t>(size - from);
        r.append = from > 0;
        r.quietLogin = partial && partial->tries > 1;
        r.progress = &whole;
        // The server is asked what it holds once the transfer has ended: a data
        // connection cut cleanly on the way ends the file early for the server,
        // which then reports a transfer complete.
        r.postQuote = {"*SIZE " + abs};
        if (partial)
            partial->resumedAt = from;
        ok = Perform(r);
        if (partial) {
            partial->opened = partial->opened || StoreOpened(r);
            partial->sent = std::max(partial->sent, from + r.read);
        }
        if (!ok && from && t_lastFailure == Failure::Refused) {
            // The server takes no APPE here: the whole file once more.
            from = 0;
            continue;
        }
        if (ok) {
            m_curlDir = files::Parent(abs);
            t_lastResponse = StoreReply(r);
            std::int64_t announced, held;
            SizesOf(r, &announced, &held);
            // Pieces from two tries must add up to the whole file; a server
            // that gives no size is taken at its word for a file sent whole.
            // A transfer the server called complete is never appended to:
            // a size that disagrees sends the file whole once more, and a
            // second disagreement fails it.
            if ((held >= 0 || from) && held != static_cast<std::int64_t>(size)) {
                ok = false;
                t_lastResponse = held < 0 ? "The server gives no size for the file it was sent"
                                          : "The server holds " + std::to_string(held) + " of " +
                                                std::to_string(size) + " bytes";
                t_lastFailure = Failure::SizeMismatch;
                if (partial && partial->sizeDisagreed)
                    t_lastFailure = Failure::Refused;
                if (partial)
                    partial->sizeDisagreed = true;
            }
        }
        break;
    }
    std::fclose(source);
    return ok;
}

// Whether a download that libcurl saw end well brought every byte announced
// (the rules are the landing's, see files::Landing::Check). A file that
// changed since the caller's listing is asked for its size once more. A
// server's single answer is no proof: going on from a part (`from` bytes),
// one size that disagrees with another, or with what came, fails the file as
// a size mismatch.
bool Session::Complete(const Request& r, const std::string& abs, std::int64_t expectedSize,
                       std::uint64_t from, const files::Landing& landing) {
    files::TrySizes sizes;
    SizesOf(r, &sizes.announced, &sizes.sized);
    sizes.from = from;
    sizes.received = r.received;
    sizes.expected = expectedSize;
    files::SizeCheck check = landing.Check(sizes);
    if (check.arrival == files::Arrival::Whole)
        return true;
    if (check.arrival != files::Arrival::Disagrees && sizes.announced < 0 &&
        RemoteFileSize(abs, false) == static_cast<std::int64_t>(check.arrived))
        return true;
    t_lastResponse = check.text;
    switch (check.arrival) {
    case files::Arrival::Disagrees:
        t_lastFailure = Failure::SizeMismatch;
        break;
    case files::Arrival::Short:
        // What arrived of a short file is good as far as it goes.
        t_lastFailure = Failure::ConnectionLost;
        break;
    default:
        t_lastFailure = Failure::Refused;
        break;
    }
    return false;
}

// A command sent on its own. libcurl gives up the connection when a plain
// quoted command fails, so it is sent marked as allowed to fail ("*") and its
// reply is read here.
bool Session::Command(const std::string& verb, const std::string& arg) {
    if (RefuseUnsendable(arg))
        return false;
    Request r;
    r.url = m_base + "/";
    r.nobody = true;
    r.quote = {"*" + verb + " " + arg};
    if (!Perform(r))
        return false;
    std::string reply = r.ReplyTo(verb + " ");
    t_lastResponse = reply;
    int code = CodeOf(reply);
    return code >= 200 && code < 300;
}

bool Session::CreateDirectory(const std::string& path) {
    auto lock = Lock();
    if (RefuseUnsendable(path))
        return false;
    return Command("MKD", Resolve(path));
}

bool Session::RemoveDirectory(const std::string& path) {
    auto lock = Lock();
    if (RefuseUnsendable(path))
        return false;
    std::string abs = Resolve(path);
    if (abs == "/") {
        t_lastResponse = "The root folder is not removed";
        return false;
    }
    return Command("RMD", abs);
}

bool Session::DeleteFile(const std::string& path) {
    auto lock = Lock();
    if (RefuseUnsendable(path))
        return false;
    return Command("DELE", Resolve(path));
}

bool Session::DeleteFiles(const std::vector<std::string>& paths, std::vector<bool>* done,
                          std::vector<std::string>* replies) {
    auto lock = Lock();
    done->assign(paths.size(), false);
    replies->assign(paths.size(), std::string());
    Request r;
    r.url = m_base + "/";
    r.nobody = true;
    std::vector<std::string> sent(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        if (RefuseUnsendable(paths[i])) {
            (*replies)[i] = t_lastResponse;
            continue;
        }
        sent[i] = "DELE " + Resolve(paths[i]);
        r.quote.push_back("*" + sent[i]);
    }
    if (r.quote.empty())
        return true;
    bool ok = Perform(r);
    // The exchanges come in the order the commands went out.
    size_t next = 0;
    for (const auto& exchange : r.exchanges) {
        while (next < paths.size() && sent[next].empty())
            ++next;
        if (next == paths.size())
            break;
        if (exchange.sent != sent[next] || exchange.replies.empty())
            continue;
        (*replies)[next] = exchange.replies.back();
        int code = CodeOf(exchange.replies.back());
        (*done)[next] = code >= 200 && code < 300;
        ++next;
    }
    return ok;
}

bool Session::RenameFile(const std::string& from, const std::string& to) {
    auto lock = Lock();
    if (RefuseUnsendable(from) || RefuseUnsendable(to))
        return false;
    Request r;
    r.url = m_base + "/";
    r.nobody = true;
    r.quote = {"*RNFR " + Resolve(from), "*RNTO " + Resolve(to)};
    if (!Perform(r))
        return false;
    std::string rnfr = r.ReplyTo("RNFR "), rnto = r.ReplyTo("RNTO ");
    if (CodeOf(rnfr) != 350) {
        t_lastResponse = rnfr;
        return false;
    }
    t_lastResponse = rnto;
    int code = CodeOf(rnto);
    return code >= 200 && code < 300;
}

void Session::Abort() {
    {
        std::lock_guard lock(m_abortMutex);
        ++m_aborts;
    }
    m_abortSignal.notify_all();
    curl_multi_wakeup(static_cast<CURLM*>(m_multi));
}

bool Session::WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause) {
    std::unique_lock lock(m_abortMutex);
    return !m_abortSignal.wait_for(lock, pause, [&] { return m_aborts.load() != seen; });
}

void Session::SetLineHook(std::function<void(const std::string&)> hook) {
    auto lock = Lock();
    m_lineHook = std::move(hook);
}

void Session::Close() {
    m_closed = true;
    Abort();
}

} // namespace ftp
