#include "platform/sftp/SshLogin.h"

#include "platform/sftp/AskpassProtocol.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace sftp {

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Contains(const std::string& text, const char* words) {
    return text.find(words) != std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Reads exactly `size` bytes from a non-blocking socket within `ms`.
bool ReadWithin(int fd, char* data, std::size_t size, int ms) {
    while (size > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        ssize_t n = recv(fd, data, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "";
}

// A folder for the session's private folder, short enough for a socket path.
std::string TemporaryBase() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* value = std::getenv(name);
        struct stat st {};
        if (value && value[0] == '/' && std::strlen(value) < 60 && stat(value, &st) == 0 &&
            S_ISDIR(st.st_mode) && access(value, W_OK | X_OK) == 0)
            return value;
    }
    return "/tmp";
}

// The host whose password ssh's own question asks for, from the question's
// words (lower case, cleaned): "USER@HOST's password:" of the password method,
// or "(USER@HOST) Password:", PAM's usual words through keyboard-interactive.
// Empty for any other question, however it ends.
std::string PasswordQuestionHost(const std::string& lower) {
    static const std::string kMethod = "'s password:";
    static const std::string kInteractive = ") password:";
    std::string who;
    if (EndsWith(lower, kMethod))
        who = lower.substr(0, lower.size() - kMethod.size());
    else if (!lower.empty() && lower[0] == '(' && EndsWith(lower, kInteractive))
        who = lower.substr(1, lower.size() - 1 - kInteractive.size());
    std::size_t at = who.rfind('@');
    if (at == std::string::npos || at + 1 == who.size() ||
        who.find_first_of(" ()") != std::string::npos)
        return "";
    return who.substr(at + 1);
}

} // namespace

std::string CleanPrompt(const std::string& prompt) {
    std::string out;
    for (unsigned char c : prompt) {
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
        else if (c < 0x20 || c == 0x7f)
            c = '?';
        if (c == ' ' && (out.empty() || out.back() == ' '))
            continue;
        out.push_back(static_cast<char>(c));
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

PromptKind KindOfPrompt(const std::string& prompt) {
    const std::string lower = Lower(CleanPrompt(prompt));
    if (Contains(lower, "continue connecting (yes/no"))
        return PromptKind::HostKey;
    if (Contains(lower, "(yes/no") || Contains(lower, "please type 'yes'"))
        return PromptKind::YesNo;
    if (Contains(lower, "passphrase"))
        return PromptKind::Passphrase;
    if (!PasswordQuestionHost(lower).empty())
        return PromptKind::Password;
    return PromptKind::Other;
}

bool ParseHostKeyPrompt(const std::string& prompt, std::string* keyType, std::string* fingerprint) {
    if (!Contains(prompt, "The authenticity of host ") ||
        !Contains(prompt, "continue connecting (yes/no"))
        return false;
    static const std::string kMarker = " key fingerprint is ";
    std::size_t at = prompt.find(kMarker);
    if (at == std::string::npos || prompt.find(kMarker, at + 1) != std::string::npos)
        return false;
    std::size_t lineStart = prompt.rfind('\n', at);
    lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
    std::size_t lineEnd = prompt.find('\n', at);
    if (lineEnd == std::string::npos)
        return false;
    std::string type = prompt.substr(lineStart, at - lineStart);
    std::string print = prompt.substr(at + kMarker.size(), lineEnd - at - kMarker.size());
    if (!print.empty() && print.back() == '.')
        print.pop_back();
    if (type.empty() || type.size() > 32 ||
        !std::all_of(type.begin(), type.end(), [](unsigned char c) {
            return std::isupper(c) || std::isdigit(c) || c == '-';
        }))
        return false;
    std::size_t colon = print.find(':');
    if (colon == std::string::npos || colon + 1 >= print.size() || print.size() > 128)
        return false;
    std::string algorithm = print.substr(0, colon);
    if (algorithm != "SHA256" && algorithm != "MD5")
        return false;
    if (!std::all_of(print.begin() + static_cast<std::ptrdiff_t>(colon) + 1, print.end(),
                     [](unsigned char c) {
                         return std::isalnum(c) || c == '+' || c == '/' || c == '=' || c == ':';
                     }))
        return false;
    *keyType = type;
    *fingerprint = print;
    return true;
}

std::string FindAskpassProgram() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string beside = fs::path(std::string(self, static_cast<std::size_t>(n)))
                                 .parent_path()
                                 .append("orvane-askpass")
                                 .string();
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
#ifdef ORVANE_ASKPASS_BUILT
    if (access(ORVANE_ASKPASS_BUILT, X_OK) == 0)
        return ORVANE_ASKPASS_BUILT;
#endif
    return "";
}

std::vector<std::string> DefaultKnownHostsFiles() {
    std::string home = HomeFolder();
    if (home.empty())
        return {};
    return {home + "/.ssh/known_hosts", home + "/.ssh/known_hosts2"};
}

std::string ChangedHostKeyReason(const std::string& said) {
    if (Contains(said, "REMOTE HOST IDENTIFICATION HAS CHANGED") ||
        Contains(said, "has changed and you have requested strict checking"))
        return kChangedHostKey;
    return "";
}

// ---- the helper's socket ----------------------------------------------------

AskpassServer::~AskpassServer() {
    if (m_listener >= 0)
        close(m_listener);
    if (!m_folder.empty()) {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
    }
}

bool AskpassServer::Open(std::string* why) {
    std::string pattern = TemporaryBase() + "/orvane-ssh-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        *why = std::string("Cannot make a private folder for ssh's questions: ") +
               std::strerror(errno);
        return false;
    }
    m_folder = pattern;
    m_socket = m_folder + "/askpass";
    m_knownHosts = m_folder + "/known_hosts";
    int file = open(m_knownHosts.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file >= 0)
        close(file);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socket.size() >= sizeof address.sun_path) {
        *why = "The private folder's path is too long for a socket";
        return false;
    }
    std::memcpy(address.sun_path, m_socket.c_str(), m_socket.size() + 1);
    m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (file < 0 || m_listener < 0 ||
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 4) != 0) {
        *why = std::string("Cannot make the socket for ssh's questions: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int AskpassServer::Take(std::string* prompt) {
    int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return -1;
    ucred peer{};
    socklen_t size = sizeof peer;
    char length[4];
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != geteuid() ||
        !ReadWithin(fd, length, 4, 5000)) {
        close(fd);
        return -1;
    }
    std::uint32_t bytes = GetLength(reinterpret_cast<unsigned char*>(length));
    prompt->assign(bytes <= kAskpassMaxText ? bytes : 0, '\0');
    if (bytes > kAskpassMaxText || !ReadWithin(fd, prompt->data(), bytes, 5000)) {
        close(fd);
        return -1;
    }
    return fd;
}

void AskpassServer::Give(int connection, const std::optional<std::string>& answer) {
    if (connection < 0)
        return;
    // The answer is a few bytes: the socket's buffer takes it whole.
    int flags = fcntl(connection, F_GETFL);
    fcntl(connection, F_SETFL, flags & ~O_NONBLOCK);
    std::string reply(1, answer ? '\1' : '\0');
    if (answer && answer->size() <= kAskpassMaxText) {
        unsigned char length[4];
        PutLength(length, static_cast<std::uint32_t>(answer->size()));
        reply.append(reinterpret_cast<char*>(length), 4);
        reply += *answer;
    } else {
        reply.assign(1, '\0');
    }
    SendAll(connection, reply.data(), reply.size());
    std::fill(reply.begin(), reply.end(), '\0');
    close(connection);
}

// ---- the answers ------------------------------------------------------------

LoginConversation::Reply LoginConversation::Answer(const std::string& prompt) {
    ILoginQuestions* ask = m_setup.questions;
    const std::string shown = CleanPrompt(prompt);
    switch (KindOfPrompt(prompt)) {
    case PromptKind::HostKey: {
        HostKeyQuestion q;
        q.host = m_setup.host;
        q.port = m_setup.port;
        if (!ask || !ParseHostKeyPrompt(prompt, &q.keyType, &q.fingerprint)) {
            m_hostKeyRefused = true;
            return {"no", ""};
        }
        std::error_code ec;
        std::uintmax_t before = fs::file_size(m_setup.temporaryKnownHosts, ec);
        switch (ask->AskHostKey(q)) {
        case HostKeyAnswer::Always:
            if (!m_setup.trustedKnownHosts.empty())
                m_trustFrom = ec ? 0 : before;
            return {"yes", ""};
        case HostKeyAnswer::Once:
            return {"yes", ""};
        case HostKeyAnswer::Cancel:
            break;
        }
        m_hostKeyRefused = true;
        return {"no", ""};
    }
    case PromptKind::YesNo:
        return {"no", ""};
    case PromptKind::Passphrase:
        // Cancel: ssh goes on without this key.
        if (!ask)
            return {std::nullopt, ""};
        return {ask->AskSecret(SecretKind::Passphrase, shown), ""};
    case PromptKind::Password: {
        // Another host's password (a jump host of the user's ssh
        // configuration) is never the site's: the user is asked, and sees
        // whose question it is.
        if (PasswordQuestionHost(Lower(shown)) != Lower(m_setup.host)) {
            if (!ask)
                return {std::nullopt,
                        "ssh asked \"" + shown + "\", a password for another host than the site's"};
            std::optional<std::string> given = ask->AskSecret(SecretKind::Password, shown);
            if (!given)
                return {std::nullopt, kLoginCancelled};
            return {std::move(given), ""};
        }
        if (++m_passwordQuestions > 1 && m_passwordGiven)
            return {std::nullopt, kWrongPassword};
        if (!m_setup.password.empty()) {
            m_passwordGiven = true;
            return {m_setup.password, ""};
        }
        if (!ask)
            return {std::nullopt, "The server asks for a password and none is stored"};
        std::optional<std::string> given = ask->AskSecret(SecretKind::Password, shown);
        if (!given)
            return {std::nullopt, kLoginCancelled};
        m_passwordGiven = true;
        return {std::move(given), ""};
    }
    case PromptKind::Other:
        break;
    }
    if (!ask)
        return {std::nullopt, "The server asked \"" + shown + "\" and nobody could answer"};
    std::optional<std::string> given = ask->AskSecret(SecretKind::Other, shown);
    if (!given)
        return {std::nullopt, kLoginCancelled};
    return {std::move(given), ""};
}

bool LoginConversation::Finish(std::string* why) {
    if (!m_trustFrom)
        return true;
    std::uintmax_t from = *m_trustFrom;
    m_trustFrom.reset();
    std::string added;
    {
        int in = open(m_setup.temporaryKnownHosts.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
            return true;
        char buf[4096];
        ssize_t n;
        off_t at = static_cast<off_t>(from);
        while ((n = pread(in, buf, sizeof buf, at)) > 0) {
            added.append(buf, static_cast<std::size_t>(n));
            at += n;
        }
        close(in);
    }
    if (added.empty())
        return true;
    if (added.back() != '\n')
        added.push_back('\n');
    const std::string& target = m_setup.trustedKnownHosts;
    std::error_code ec;
    fs::path folder = fs::path(target).parent_path();
    if (!folder.empty() && !fs::exists(folder, ec)) {
        fs::create_directories(folder, ec);
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    // Our own file, never one a link there leads to.
    int out = open(target.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        *why = "The host key could not be added to " + target + ": " + std::strerror(errno);
        return false;
    }
    // A file that does not end its last line gets the line's end first.
    struct stat st {};
    char last = '\n';
    if (fstat(out, &st) == 0 && st.st_size > 0)
        if (pread(out, &last, 1, st.st_size - 1) != 1)
            last = '\n';
    if (last != '\n')
        added.insert(added.begin(), '\n');
    bool ok = write(out, added.data(), added.size()) == static_cast<ssize_t>(added.size());
    if (!ok)
        *why = "The host key could not be added to " + target + ": " + std::strerror(errno);
    close(out);
    return ok;
}

std::string LoginConversation::FailureReason(const std::string& said) const {
    if (std::string changed = ChangedHostKeyReason(said); !changed.empty())
        return changed;
    if (m_hostKeyRefused && Contains(said, "Host key verification failed"))
        return kHostKeyNotTrusted;
    if (m_passwordGiven && Contains(said, "Permission denied"))
        return kWrongPassword;
    return "";
}

} // namespace sftp
