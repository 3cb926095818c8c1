#include "tests/sftp/SftpServer.h"

#include "tests/ftp/FtpServers.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* const kSshd = "/usr/sbin/sshd"; // sshd insists on an absolute path to itself

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool MakeKey(const std::string& path, const std::string& type = "ed25519",
             const std::string& passphrase = "") {
    std::string cmd = "ssh-keygen -q -t " + type + " -N '" + passphrase + "' -C orvane-test -f '" +
                      path + "' </dev/null";
    return std::system(cmd.c_str()) == 0;
}

// The first line `command` prints, without its line end.
std::string FirstLine(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[1024];
        if (fgets(buf, sizeof buf, p))
            out = buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// The processes `parent` started, and theirs, deepest first.
std::vector<pid_t> Descendants(pid_t parent) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    while (dirent* e = readdir(proc)) {
        pid_t pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string stat = Slurp("/proc/" + std::string(e->d_name) + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) {
            for (pid_t below : Descendants(pid))
                found.push_back(below);
            found.push_back(pid);
        }
    }
    closedir(proc);
    return found;
}

} // namespace

SftpServer::SftpServer(SftpServerOptions options) : m_options(options) {
    const passwd* pw = getpwuid(geteuid());
    m_user = pw ? pw->pw_name : "";
    const std::string& dir = m_conf.path();
    m_hostKeyFile = dir + (options.rsaHostKeyOnly ? "/host_rsa" : "/host_ed25519");
    bool made = !m_user.empty() &&
                MakeKey(m_hostKeyFile, options.rsaHostKeyOnly ? "rsa" : "ed25519") &&
                MakeKey(ClientKey()) && MakeKey(StrangerKey());
    if (made && options.logins)
        made = MakeKey(KeyFile("ecdsa"), "ecdsa") && MakeKey(KeyFile("rsa"), "rsa") &&
               MakeKey(KeyFile("passphrase"), "ed25519", kPassphrase);
    if (!made) {
        m_error = "ssh-keygen did not make the keys";
        return;
    }
    {
        std::ofstream keys(dir + "/authorized_keys");
        keys << Slurp(ClientKey() + ".pub");
        if (options.logins)
            for (const char* kind : {"ecdsa", "rsa", "passphrase"})
                keys << Slurp(KeyFile(kind) + ".pub");
    }
    if (options.logins && geteuid() == 0) {
        // A user of its own with a password, for password logins; it may
        // read the login folder.
        m_passwordUser = "orvanet" + std::to_string(getpid());
        m_password = "Pw-" + std::to_string(getpid()) + "-right";
        std::system(("userdel " + m_passwordUser + " >/dev/null 2>&1").c_str());
        std::string add = "useradd -M -d '" + root() + "' -s /bin/sh " + m_passwordUser +
                          " && echo '" + m_passwordUser + ":" + m_password + "' | chpasswd";
        if (std::system(add.c_str()) != 0) {
            m_error = "useradd or chpasswd failed";
            m_passwordUser.clear();
            return;
        }
        chmod(root().c_str(), 0755);
    }
    std::ofstream(NoKnownHosts()).close();
    // SFTP: sshd's own, or with a limit, OpenSSH's sftp-server started by a
    // script that first takes one of the slots left (a folder made once, so
    // the count holds however the sessions overlap) and, with none, ends the
    // session.
    std::string subsystem = "internal-sftp -d " + root();
    if (options.sftpSessions > 0) {
        const std::string script = dir + "/sftp_slots.sh";
        std::ofstream(script) << "#!/bin/sh\nfor slot in $(seq 1 " << options.sftpSessions
                              << "); do\n  mkdir '" << dir << "/slot'$slot 2>/dev/null &&\n"
                              << "    exec /usr/lib/openssh/sftp-server -d '" << root()
                              << "'\ndone\nexit 1\n";
        chmod(script.c_str(), 0755);
        subsystem = script;
    }
    // The privilege separation folder sshd wants to find.
    std::error_code ec;
    std::filesystem::create_directories("/run/sshd", ec);

    // A free port can be taken by another process before sshd binds it: try
    // another when sshd has ended.
    for (int attempt = 0; attempt < 4 && m_pid < 0; ++attempt) {
        m_port = FreePort();
        std::ofstream conf(dir + "/sshd_config");
        // Password logins go through PAM, which offers keyboard-interactive too.
        const char* passwords = options.logins ? "UsePAM yes\nPasswordAuthentication yes\n"
                                                 "KbdInteractiveAuthentication yes\n"
                                               : "UsePAM no\nPasswordAuthentication no\n"
                                                 "KbdInteractiveAuthentication no\n";
        conf << "ListenAddress 127.0.0.1\nPort " << m_port << "\nHostKey " << m_hostKeyFile
             << "\nPidFile " << dir << "/sshd.pid\nAuthorizedKeysFile " << dir
             << "/authorized_keys\nStrictModes no\nPermitRootLogin prohibit-password\n"
             << passwords << "Subsystem sftp " << subsystem << "\n"
             << "LogLevel VERBOSE\nPrintMotd no\nMaxStartups 100\n";
        conf.close();
        const std::string logPath = dir + "/sshd.log";
        const std::string confPath = dir + "/sshd_config";
        pid_t pid = fork();
        if (pid == 0) {
            int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(log, 2);
            setpgid(0, 0);
            execl(kSshd, kSshd, "-D", "-e", "-f", confPath.c_str(), nullptr);
            _exit(127);
        }
        bool ended = false;
        for (int i = 0; i < 500 && !Listening(m_port); ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                ended = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!ended && Listening(m_port)) {
            m_pid = pid;
        } else if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    if (m_pid < 0) {
        m_error = "sshd did not start: " + Log();
        return;
    }
    std::ofstream(KnownHosts()) << "[127.0.0.1]:" << m_port << " " << HostKey() << "\n";
    std::ofstream(dir + "/ssh_config")
        << "IdentityAgent none\nGlobalKnownHostsFile /dev/null\nUpdateHostKeys no\n"
        << (options.logins ? "" : "PasswordAuthentication no\nKbdInteractiveAuthentication no\n");
}

std::string SftpServer::HostKey() const {
    std::string key = Slurp(m_hostKeyFile + ".pub");
    while (!key.empty() && key.back() == '\n')
        key.pop_back();
    return key;
}

std::string SftpServer::HostKeyFingerprint() const {
    // "256 SHA256:... comment (ED25519)"
    std::istringstream line(FirstLine("ssh-keygen -l -E sha256 -f '" + m_hostKeyFile + ".pub'"));
    std::string bits;
    std::string fingerprint;
    line >> bits >> fingerprint;
    return fingerprint;
}

std::string SftpServer::WrongHostKeyLine() const {
    std::string other = m_conf.path() + "/other_host_ed25519";
    if (!std::filesystem::exists(other))
        MakeKey(other);
    std::string key = Slurp(other + ".pub");
    while (!key.empty() && key.back() == '\n')
        key.pop_back();
    return "[127.0.0.1]:" + std::to_string(m_port) + " " + key;
}

SftpServer::~SftpServer() {
    if (m_pid > 0) {
        CutConnections();
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    if (!m_passwordUser.empty())
        std::system(("userdel " + m_passwordUser + " >/dev/null 2>&1").c_str());
}

sftp::SshTarget SftpServer::Target() const {
    sftp::SshTarget t;
    t.host = "127.0.0.1";
    t.port = m_port;
    t.user = m_user;
    t.knownHostsFiles = {KnownHosts()};
    t.identityFile = ClientKey();
    t.configFile = m_conf.path() + "/ssh_config";
    return t;
}

int SftpServer::CutConnections() {
    std::vector<pid_t> serving = Descendants(m_pid);
    for (pid_t pid : serving)
        kill(pid, SIGKILL);
    return static_cast<int>(serving.size());
}

std::string SftpServer::Log() const {
    return Slurp(m_conf.path() + "/sshd.log");
}
