#include "platform/sftp/SshProcess.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace sftp {

namespace {

constexpr std::size_t kKeptErrors = 16 * 1024;

bool HasControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f)
            return true;
    return false;
}

// A host name, an IPv4 or IPv6 address (with a zone after "%"), or an alias
// of the user's ssh configuration. Nothing else: "user@host" and "ssh://..."
// would be read by ssh as more than a host.
bool IsHostText(const std::string& host) {
    if (host.empty() || host[0] == '-')
        return false;
    for (unsigned char c : host)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':' || c == '%'))
            return false;
    return true;
}

// A file name as ssh reads it in UserKnownHostsFile and IdentityFile, where
// "%x" and "${NAME}" are expanded and "~" at the start means a home folder:
// absolute, "%" doubled, and nothing that needs more than quotes.
bool ExpandableFile(const std::string& path, std::string* out, std::string* why) {
    if (path.empty() || path[0] != '/') {
        *why = "The file \"" + path + "\" for ssh is not an absolute path";
        return false;
    }
    if (HasControl(path) || path.find_first_of("\"\\") != std::string::npos ||
        path.find("${") != std::string::npos) {
        *why = "The file \"" + path + "\" cannot be handed to ssh";
        return false;
    }
    out->clear();
    for (char c : path) {
        out->push_back(c);
        if (c == '%')
            out->push_back('%');
    }
    return true;
}

int SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void CloseFd(int* fd) {
    if (*fd >= 0)
        close(*fd);
    *fd = -1;
}

} // namespace

std::vector<std::string> SshArguments(const SshTarget& target, std::string* why) {
    if (!IsHostText(target.host)) {
        *why = "The host name \"" + target.host + "\" cannot be handed to ssh";
        return {};
    }
    if (!target.user.empty() && (target.user[0] == '-' || HasControl(target.user))) {
        *why = "The user name \"" + target.user + "\" cannot be handed to ssh";
        return {};
    }
    if (target.port < 0 || target.port > 65535) {
        *why = "The port " + std::to_string(target.port) + " is no port";
        return {};
    }
    std::vector<std::string> args{target.program};
    if (!target.configFile.empty())
        args.insert(args.end(), {"-F", target.configFile});
    // The first value given for an option wins: ours come before the
    // configuration files and before the caller's.
    // With askpass, BatchMode is said to be off: a "BatchMode yes" of the
    // user's configuration would keep ssh from asking. A password is tried
    // once per connect; ssh never adds keys to our files by itself.
    args.insert(args.end(), {"-o", target.askpass ? "BatchMode=no" : "BatchMode=yes"});
    args.insert(args.end(),
                {"-o", target.askpass && target.askHostKeys ? "StrictHostKeyChecking=ask"
                                                            : "StrictHostKeyChecking=yes"});
    for (const char* option :
         {"NumberOfPasswordPrompts=1", "UpdateHostKeys=no", "RequestTTY=no", "ForwardX11=no",
          "ForwardAgent=no", "PermitLocalCommand=no", "ClearAllForwardings=yes",
          "ServerAliveInterval=15", "ServerAliveCountMax=4"})
        args.insert(args.end(), {"-o", option});
    args.insert(args.end(),
                {"-o", "ConnectTimeout=" + std::to_string(std::max(1, target.connectTimeoutSec))});
    if (!target.knownHostsFiles.empty()) {
        std::string files;
        for (const std::string& file : target.knownHostsFiles) {
            std::string escaped;
            if (!ExpandableFile(file, &escaped, why))
                return {};
            files += (files.empty() ? "\"" : " \"") + escaped + "\"";
        }
        args.insert(args.end(), {"-o", "UserKnownHostsFile=" + files});
    }
    if (!target.identityFile.empty()) {
        std::string escaped;
        if (!ExpandableFile(target.identityFile, &escaped, why))
            return {};
        args.insert(args.end(), {"-i", escaped, "-o", "IdentitiesOnly=yes"});
    }
    for (const std::string& option : target.options)
        args.insert(args.end(), {"-o", option});
    if (target.port > 0)
        args.insert(args.end(), {"-p", std::to_string(target.port)});
    if (!target.user.empty())
        args.insert(args.end(), {"-l", target.user});
    // "--" ends the options: what follows is the host and the subsystem.
    args.insert(args.end(), {"-s", "--", target.host, "sftp"});
    return args;
}

bool SshProcess::Start(const std::vector<std::string>& argv, std::string* why,
                       const std::vector<std::string>& environment) {
    Stop();
    m_errors.clear();
    m_reaped = false;
    if (argv.empty()) {
        *why = "Nothing to start";
        return false;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* fd : {&in[0], &in[1], &out[0], &out[1], &err[0], &err[1]})
            CloseFd(fd);
    };
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
        *why = std::string("Cannot make the pipes for ssh: ") + std::strerror(errno);
        closeAll();
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[1], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Whatever other code opened without O_CLOEXEC stays ours.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_t attrs;
    posix_spawnattr_init(&attrs);
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attrs, &all);
    posix_spawnattr_setsigmask(&attrs, &none);
    // A session of its own: no controlling terminal to ask on, and one
    // process group to end with whatever it started (a ProxyCommand).
    posix_spawnattr_setflags(&attrs,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The inherited environment less what `environment` sets anew.
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        std::string_view name = entry.substr(0, entry.find('='));
        bool replaced = std::any_of(environment.begin(), environment.end(), [&](const auto& ours) {
            return std::string_view(ours).substr(0, ours.find('=')) == name;
        });
        if (!replaced)
            env.push_back(*e);
    }
    for (const std::string& e : environment)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attrs, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attrs);
    CloseFd(&in[1]);
    CloseFd(&out[1]);
    CloseFd(&err[1]);
    if (rc != 0) {
        *why = "Cannot start " + argv[0] + ": " + std::strerror(rc);
        closeAll();
        return false;
    }
    m_pid = pid;
    m_in = in[0];
    m_out = out[0];
    m_err = err[0];
    SetNonBlocking(m_in);
    SetNonBlocking(m_out);
    SetNonBlocking(m_err);
#ifdef SYS_pidfd_open
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (m_pidfd >= 0)
        fcntl(m_pidfd, F_SETFD, FD_CLOEXEC);
#endif
    return true;
}

bool SshProcess::ReadErrors() {
    if (m_err < 0)
        return false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(m_err, buf, sizeof buf);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] != '\r')
                    m_errors.push_back(buf[i]);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (m_errors.size() > kKeptErrors)
            m_errors.erase(0, m_errors.size() - kKeptErrors);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        CloseFd(&m_err);
        return false;
    }
}

bool SshProcess::WaitExit(std::chrono::milliseconds wait) {
    if (m_pid <= 0 || m_reaped)
        return true;
    auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid || (r < 0 && errno == ECHILD)) {
            m_reaped = true;
            return true;
        }
        if (r < 0 && errno == EINTR)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (m_pidfd >= 0) {
            pollfd p{m_pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left.count()));
        } else {
            // No process descriptor from this kernel: look again shortly.
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
}

void SshProcess::AwaitEnd(std::chrono::milliseconds wait) {
    auto until = std::chrono::steady_clock::now() + wait;
    while (ReadErrors()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        pollfd p{m_err, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    WaitExit(std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now()));
}

void SshProcess::Kill() {
    if (m_pid > 0 && !m_reaped)
        kill(-m_pid, SIGTERM);
}

void SshProcess::Stop() {
    if (m_pid > 0) {
        // Its input ending lets ssh close the channel and end by itself.
        CloseFd(&m_in);
        CloseFd(&m_out);
        if (!WaitExit(std::chrono::milliseconds(200))) {
            kill(-m_pid, SIGTERM);
            if (!WaitExit(std::chrono::milliseconds(500))) {
                kill(-m_pid, SIGKILL);
                WaitExit(std::chrono::hours(1));
            }
        }
        ReadErrors();
        m_pid = -1;
    }
    for (int* fd : {&m_in, &m_out, &m_err, &m_pidfd})
        CloseFd(fd);
}

} // namespace sftp
