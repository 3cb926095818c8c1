// A real OpenSSH server for the tests: /usr/sbin/sshd on 127.0.0.1 on a free
// port, with its own host key, configuration and authorized key in a
// temporary folder, serving SFTP (internal-sftp) with a temporary folder as
// the login folder. It logs in the user the tests run as.
//
// The client side gets a key, a known_hosts file and an ssh configuration of
// the fixture's own (Target()), so nothing of the machine's ~/.ssh is read,
// used or changed.
#pragma once

#include "platform/sftp/SshProcess.h"
#include "tests/TempDir.h"

#include <string>
#include <sys/types.h>

// What a server of the tests offers beyond a key login of the running user.
struct SftpServerOptions {
    // Its only host key is an RSA key (else an ed25519 one).
    bool rsaHostKeyOnly = false;
    // Logins of every kind: user keys of the types ECDSA and RSA and an
    // ed25519 key with a passphrase beside the plain ed25519 one, and a
    // throwaway user with a password (made only when the tests run as root)
    // for password and keyboard-interactive logins (through PAM).
    bool logins = false;
    // Above 0: the server serves this many SFTP sessions in all, whenever
    // they come; each later one is ended as soon as it starts (its login goes
    // through, its SFTP channel closes).
    int sftpSessions = 0;
};

class SftpServer {
public:
    // Starts sshd; ok() says whether it runs (error() why not).
    explicit SftpServer(SftpServerOptions options = {});
    ~SftpServer();
    SftpServer(const SftpServer&) = delete;
    SftpServer& operator=(const SftpServer&) = delete;

    bool ok() const { return m_pid > 0; }
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    // The login folder, as the server names it.
    const std::string& root() const { return m_root.path(); }
    const std::string& User() const { return m_user; }

    // The ed25519 key the server accepts (its private half), and one it does not know.
    std::string ClientKey() const { return m_conf.path() + "/client_ed25519"; }
    std::string StrangerKey() const { return m_conf.path() + "/stranger_ed25519"; }
    // With logins: further user keys the server accepts ("ecdsa", "rsa",
    // "passphrase" for the ed25519 key with kPassphrase).
    std::string KeyFile(const std::string& kind) const { return m_conf.path() + "/client_" + kind; }
    static constexpr const char* kPassphrase = "the passphrase 7";
    // With logins, as root: the user with a password, and the password;
    // empty otherwise.
    const std::string& PasswordUser() const { return m_passwordUser; }
    const std::string& Password() const { return m_password; }
    // The host key's public half ("ssh-ed25519 AAAA... comment") and its
    // fingerprint as ssh shows it ("SHA256:...").
    std::string HostKey() const;
    std::string HostKeyFingerprint() const;
    // A known_hosts line that names this server with a key it does not have.
    std::string WrongHostKeyLine() const;
    // The server's host key as "[127.0.0.1]:port" in known_hosts form, and an
    // empty known_hosts file.
    std::string KnownHosts() const { return m_conf.path() + "/known_hosts"; }
    std::string NoKnownHosts() const { return m_conf.path() + "/known_hosts_empty"; }
    // How the tests reach the server: its address, the user, the key above,
    // the known_hosts above and a client configuration of the fixture's.
    sftp::SshTarget Target() const;

    // Ends every connection the server is serving (the processes it started
    // for them); the server goes on taking new ones. The number ended.
    int CutConnections();
    // What sshd logged.
    std::string Log() const;

private:
    TempDir m_conf;
    TempDir m_root;
    SftpServerOptions m_options;
    std::string m_user;
    std::string m_passwordUser;
    std::string m_password;
    std::string m_hostKeyFile;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};
