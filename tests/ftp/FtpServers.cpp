#include "tests/ftp/FtpServers.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string kScripts = ORVANE_TEST_DIR "/ftp";

// Starts `argv` with its output on a pipe and reads "PORT <n>" from it.
pid_t Spawn(const std::vector<std::string>& argv, int* port, std::string* error) {
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        close(pipefd[1]);
        setpgid(0, 0);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipefd[1]);
    std::string out;
    pollfd pfd{pipefd[0], POLLIN, 0};
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
        if (poll(&pfd, 1, 200) > 0) {
            char buf[128];
            ssize_t n = read(pipefd[0], buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
    }
    close(pipefd[0]);
    if (out.rfind("PORT ", 0) != 0) {
        *error = argv[0] + " did not start: " + out;
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    *port = std::atoi(out.c_str() + 5);
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// vsftpd logs in real system users only: the test user is made once when the
// tests run as root (as in CI).
bool EnsureSystemUser(std::string* error) {
    if (std::system("id orvaneftp >/dev/null 2>&1") == 0) {
        // vsftpd enters the home folder before local_root: it must exist.
        if (geteuid() == 0)
            std::system("usermod -d / orvaneftp >/dev/null 2>&1");
        return true;
    }
    if (geteuid() != 0) {
        *error = "no user orvaneftp and not root to create it";
        return false;
    }
    if (std::system("useradd -M -d / -s /bin/sh orvaneftp >/dev/null 2>&1 && "
                    "echo orvaneftp:secret | chpasswd") != 0) {
        *error = "cannot create the user orvaneftp";
        return false;
    }
    return true;
}

// A new self-signed certificate with its key in one PEM file.
bool MakeSelfSigned(const std::string& pem) {
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 30 "
                      "-subj /CN=orvane-test-server -keyout " +
                      pem + " -out " + pem + ".crt >/dev/null 2>&1 && cat " + pem + ".crt >> " +
                      pem;
    return std::system(cmd.c_str()) == 0;
}

} // namespace

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

const char* KindName(ServerKind kind) {
    return kind == ServerKind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
}

FtpServer::FtpServer(ServerKind kind, Tls tls, int maxPerAddress)
    : m_kind(kind), m_tls(tls), m_maxPerAddress(maxPerAddress) {
    Share();
    if (kind == ServerKind::Pyftpdlib) {
        m_pid = Spawn({"/usr/bin/python3", kScripts + "/pyftpd.py", root(), User(), Password(),
                       std::to_string(maxPerAddress)},
                      &m_port, &m_error);
        return;
    }
    if (!EnsureSystemUser(&m_error))
        return;
    fs::create_directories("/var/run/vsftpd/empty");
    if (tls != Tls::Off && !MakeSelfSigned(CertificateFile())) {
        m_error = "openssl did not make a certificate";
        return;
    }
    StartVsftpd();
}

FtpServer::FtpServer(ServerKind kind, const std::string& loginFolder)
    : m_kind(kind), m_login(loginFolder) {
    if (kind != ServerKind::Vsftpd) {
        m_error = "only vsftpd is started with a login folder of its own";
        return;
    }
    fs::create_directories(LoginFolder());
    Share();
    if (!EnsureSystemUser(&m_error))
        return;
    fs::create_directories("/var/run/vsftpd/empty");
    StartVsftpd();
}

bool FtpServer::StartVsftpd() {
    // A free port can be taken by another process before vsftpd binds it, and
    // a loaded machine starts it slowly: wait on its port, and try another
    // port when it has ended. A restart keeps its port.
    bool keepPort = m_port != 0;
    for (int attempt = 0; attempt < 4 && m_pid < 0; ++attempt) {
        if (!keepPort)
            m_port = FreePort();
        std::string conf = m_conf.path() + "/vsftpd.conf";
        std::ofstream out(conf);
        out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
            << "listen_port=" << m_port << "\nbackground=NO\n"
            << "anonymous_enable=YES\nno_anon_password=YES\nanon_root=" << root()
            << "\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
            << "anon_other_write_enable=YES\nanon_umask=000\n"
            << "local_enable=YES\nwrite_enable=YES\nlocal_root="
            << (m_login.empty() ? root() : LoginFolder())
            << "\nlocal_umask=000\nchroot_local_user=" << (m_login.empty() ? "YES" : "NO")
            << "\nallow_writeable_chroot=YES\n"
            << "secure_chroot_dir=/var/run/vsftpd/empty\n"
            << "pasv_enable=YES\npasv_min_port=20000\npasv_max_port=60000\n"
            << "port_enable=YES\nconnect_from_port_20=NO\n"
            << "pam_service_name=vsftpd\nseccomp_sandbox=NO\n"
            << "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
            << "vsftpd_log_file=" << m_conf.path() << "/protocol.log\n"
            << "force_dot_files=YES\nuse_localtime=NO\n"
            << "max_per_ip=" << m_maxPerAddress << "\nmax_clients=0\n";
        if (m_tls != Tls::Off) {
            bool required = m_tls == Tls::Required;
            out << "ssl_enable=YES\nallow_anon_ssl=YES\n"
                << "rsa_cert_file=" << CertificateFile() << "\n"
                << "rsa_private_key_file=" << CertificateFile() << "\n"
                << "force_local_logins_ssl=" << (required ? "YES" : "NO") << "\n"
                << "force_local_data_ssl=" << (required ? "YES" : "NO") << "\n"
                << "force_anon_logins_ssl=NO\nforce_anon_data_ssl=NO\n"
                << "require_ssl_reuse=NO\n";
        }
        out.close();
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execl("/usr/sbin/vsftpd", "vsftpd", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        bool ended = false;
        for (int i = 0; i < 500 && !Listening(m_port); ++i) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!ended && Listening(m_port)) {
            m_pid = pid;
            break;
        }
        if (!ended)
            Stop(pid);
        else if (keepPort)
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the port is freed
    }
    if (m_pid < 0)
        m_error = "vsftpd did not start";
    return m_pid > 0;
}

std::string FtpServer::ProtocolLog() const {
    std::ifstream in(m_conf.path() + "/protocol.log");
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

bool FtpServer::Restart(const std::string& pem) {
    Stop(m_pid);
    m_pid = -1;
    if (pem.empty() ? !MakeSelfSigned(CertificateFile())
                    : std::system(("cp " + pem + " " + CertificateFile()).c_str()) != 0) {
        m_error = "no certificate";
        return false;
    }
    return StartVsftpd();
}

bool FtpServer::MakeSignedCertificate(const std::string& dir, const std::string& name,
                                      std::string* caPem, std::string* serverPem,
                                      const std::string& altNames) {
    *caPem = dir + "/ca.pem";
    *serverPem = dir + "/signed.pem";
    bool address = name.find_first_not_of("0123456789.") == std::string::npos;
    std::string ext = dir + "/ext.cnf";
    if (altNames == "-")
        std::ofstream(ext) << "basicConstraints=CA:FALSE\n";
    else if (!altNames.empty())
        std::ofstream(ext) << "subjectAltName=" << altNames << "\n";
    else
        std::ofstream(ext) << "subjectAltName=" << (address ? "IP:" : "DNS:") << name << "\n";
    std::string q = " >/dev/null 2>&1";
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj /CN=Orvane-Test-CA -keyout " +
        dir + "/ca.key -out " + *caPem + q +
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " + dir +
        "/signed.key -out " + dir + "/signed.csr" + q + " && openssl x509 -req -in " + dir +
        "/signed.csr -CA " + *caPem + " -CAkey " + dir +
        "/ca.key -CAcreateserial -days 30 -extfile " + ext + " -out " + dir + "/signed.crt" + q +
        " && cat " + dir + "/signed.crt " + dir + "/signed.key > " + *serverPem;
    return std::system(cmd.c_str()) == 0;
}

bool FtpServer::MakeCertificate(const std::string& dir, const DatedCertificate& wanted,
                                std::string* caPem, std::string* serverPem) {
    // "openssl ca" is the tool that sets both dates of a certificate.
    *caPem = dir + "/dated-ca.pem";
    *serverPem = dir + "/dated.pem";
    std::ofstream(dir + "/ca.cnf") << "[ca]\ndefault_ca = c\n[c]\ndatabase = " << dir
                                   << "/index.txt\nnew_certs_dir = " << dir << "\nserial = " << dir
                                   << "/serial\ndefault_md = sha256\npolicy = p\n"
                                      "unique_subject = no\ncopy_extensions = copy\n"
                                      "[p]\ncommonName = supplied\n";
    std::ofstream(dir + "/index.txt");
    std::ofstream(dir + "/serial") << "01\n";
    const std::string q = " >/dev/null 2>&1";
    const std::string ca = "openssl ca -batch -notext -config " + dir + "/ca.cnf ";
    std::string leafExt =
        wanted.altNames.empty() ? "" : " -addext subjectAltName=" + wanted.altNames;
    std::string cmd = "openssl req -newkey rsa:2048 -nodes -subj /CN=" + wanted.name + leafExt +
                      " -keyout " + dir + "/dated.key -out " + dir + "/dated.csr" + q;
    std::string sign = " -in " + dir + "/dated.csr -startdate " + wanted.notBefore + " -enddate " +
                       wanted.notAfter + " -out " + dir + "/dated.crt" + q;
    if (wanted.selfSigned) {
        cmd += " && " + ca + "-selfsign -keyfile " + dir + "/dated.key" + sign;
    } else {
        cmd += " && openssl req -newkey rsa:2048 -nodes -subj /CN=Orvane-Dated-CA -addext "
               "basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign -keyout " +
               dir + "/dated-ca.key -out " + dir + "/dated-ca.csr" + q + " && " + ca +
               "-selfsign -keyfile " + dir + "/dated-ca.key -in " + dir + "/dated-ca.csr" +
               " -startdate " + wanted.caNotBefore + " -enddate " + wanted.caNotAfter + " -out " +
               *caPem + q + " && " + ca + "-cert " + *caPem + " -keyfile " + dir + "/dated-ca.key" +
               sign;
    }
    cmd += " && cat " + dir + "/dated.crt " + dir + "/dated.key > " + *serverPem;
    return std::system(cmd.c_str()) == 0;
}

FtpServer::~FtpServer() {
    Stop(m_pid);
}

void FtpServer::Share() const {
    std::error_code ec;
    // vsftpd lets anonymous users into a root they cannot write only; the
    // test user owns it and may.
    if (m_kind == ServerKind::Vsftpd) {
        if (struct passwd* pw = getpwnam(User()))
            if (chown(root().c_str(), pw->pw_uid, pw->pw_gid) != 0)
                std::perror("chown");
        fs::permissions(root(), fs::perms(0755), ec);
    } else {
        fs::permissions(root(), fs::perms::all, ec);
    }
    for (auto it = fs::recursive_directory_iterator(root(), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_symlink())
            continue;
        fs::permissions(it->path(),
                        it->is_directory() ? fs::perms::all
                                           : fs::perms::owner_read | fs::perms::owner_write |
                                                 fs::perms::group_read | fs::perms::group_write |
                                                 fs::perms::others_read | fs::perms::others_write,
                        ec);
    }
}

ScriptedServer::ScriptedServer(const std::string& scenario)
    : ScriptedServer("scripted.py", scenario) {}

ScriptedServer::ScriptedServer(const std::string& script, const std::string& scenario) {
    std::string error;
    m_pid = Spawn({"/usr/bin/python3", kScripts + "/" + script, scenario}, &m_port, &error);
    if (m_pid < 0)
        std::fprintf(stderr, "%s\n", error.c_str());
}

ScriptedServer::~ScriptedServer() {
    Stop(m_pid);
}

DropProxy::DropProxy(int serverPort, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"/usr/bin/python3", kScripts + "/dropproxy.py",
                                     std::to_string(serverPort), m_dir.path() + "/stats"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string error;
    m_pid = Spawn(argv, &m_port, &error);
    if (m_pid < 0)
        std::fprintf(stderr, "%s\n", error.c_str());
}

DropProxy::~DropProxy() {
    Stop(m_pid);
}

std::uint64_t DropProxy::Count(const std::string& key) const {
    std::ifstream in(m_dir.path() + "/stats");
    std::string name;
    std::uint64_t value = 0;
    while (in >> name >> value)
        if (name == key)
            return value;
    return 0;
}
