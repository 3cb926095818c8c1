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

bool MakeKey(const std::string& path) {
    std::string cmd = "ssh-keygen -q -t ed25519 -N '' -C orvane-test -f '" + path + "' </dev/null";
    return std::system(cmd.c_str()) == 0;
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

SftpServer::SftpServer() {
    const passwd* pw = getpwuid(geteuid());
    m_user = pw ? pw->pw_name : "";
    const std::string& dir = m_conf.path();
    if (m_user.empty() || !MakeKey(dir + "/host_ed25519") || !MakeKey(ClientKey()) ||
        !MakeKey(StrangerKey())) {
        m_error = "ssh-keygen did not make the keys";
        return;
    }
    std::filesystem::copy_file(ClientKey() + ".pub", dir + "/authorized_keys");
    std::ofstream(NoKnownHosts()).close();
    // The privilege separation folder sshd wants to find.
    std::error_code ec;
    std::filesystem::create_directories("/run/sshd", ec);

    // A free port can be taken by another process before sshd binds it: try
    // another when sshd has ended.
    for (int attempt = 0; attempt < 4 && m_pid < 0; ++attempt) {
        m_port = FreePort();
        std::ofstream conf(dir + "/sshd_config");
        conf << "ListenAddress 127.0.0.1\nPort " << m_port << "\nHostKey " << dir
             << "/host_ed25519\nPidFile " << dir << "/sshd.pid\nAuthorizedKeysFile " << dir
             << "/authorized_keys\nStrictModes no\nUsePAM no\nPermitRootLogin prohibit-password\n"
             << "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
             << "Subsystem sftp internal-sftp -d " << root() << "\n"
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
    std::string hostKey = Slurp(dir + "/host_ed25519.pub");
    std::ofstream(KnownHosts()) << "[127.0.0.1]:" << m_port << " " << hostKey;
    std::ofstream(dir + "/ssh_config") << "IdentityAgent none\nGlobalKnownHostsFile /dev/null\n"
                                       << "UpdateHostKeys no\nPasswordAuthentication no\n"
                                       << "KbdInteractiveAuthentication no\n";
}

SftpServer::~SftpServer() {
    if (m_pid <= 0)
        return;
    CutConnections();
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
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
