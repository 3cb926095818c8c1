// The system's OpenSSH client as a child process that carries SFTP: ssh runs
// the server's "sftp" subsystem and moves its bytes over two sockets of ours,
// and says on a pipe of its own why a connection could not be made.
//
// ssh never gets a terminal to ask on: it runs in a session of its own with
// no controlling terminal. Either BatchMode keeps it from asking anything, or
// it asks its questions through an askpass program of the caller's (see
// SshLogin.h). A host key found in none of the given known_hosts files fails
// the connection unless the askpass program is to be asked about it. The host
// and user are bytes from a site record: text that ssh could read as an
// option or as something other than a host name is refused before anything
// runs. The child is always reaped; Stop() kills it if it does not end.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sftp {

// Where and how ssh connects.
struct SshTarget {
    std::string host; // as the user gave it; aliases of the ssh configuration apply
    int port = 0;     // 0: ssh's own choice (its configuration's, or 22)
    std::string user; // empty: ssh's own choice
    // Files of trusted host keys, in the order searched (absolute paths).
    std::vector<std::string> knownHostsFiles;
    // A private key to offer alone (IdentitiesOnly); empty: ssh's own keys
    // and the agent.
    std::string identityFile;
    // A client configuration read instead of ~/.ssh/config; empty: the
    // user's own.
    std::string configFile;
    // Further client options as "Name=value", from our own code (not from a
    // site record: they are passed as they are).
    std::vector<std::string> options;
    int connectTimeoutSec = 20;
    // ssh asks its questions through the SSH_ASKPASS program given in
    // `environment` (no BatchMode, the password asked once); false: BatchMode.
    bool askpass = false;
    // An unknown host key is asked about through askpass instead of failing
    // the connection (StrictHostKeyChecking=ask). A changed one still fails.
    bool askHostKeys = false;
    // "NAME=value" set in ssh's environment over the inherited one (never a
    // secret: another process of the user can read them).
    std::vector<std::string> environment;
    std::string program = "ssh"; // found on PATH unless a path is given
};

// The argument vector that starts the sftp subsystem on `target`, or an empty
// one with `why` saying what was refused.
std::vector<std::string> SshArguments(const SshTarget& target, std::string* why);

class SshProcess {
public:
    SshProcess() = default;
    ~SshProcess() { Stop(); }
    SshProcess(const SshProcess&) = delete;
    SshProcess& operator=(const SshProcess&) = delete;

    // Starts argv[0] (searched on PATH) with the sockets and the pipe in
    // place, in this process's environment with `environment` ("NAME=value")
    // over it; false with `why` when it could not be started.
    bool Start(const std::vector<std::string>& argv, std::string* why,
               const std::vector<std::string>& environment = {});
    bool Started() const { return m_pid > 0; }

    // Our ends, non-blocking: the requests go into Input() (a socket: send
    // with MSG_NOSIGNAL, so an ended ssh is an error, not a signal), the
    // replies come out of Output(), ssh's own messages out of Errors().
    int Input() const { return m_in; }
    int Output() const { return m_out; }
    int ErrorsFd() const { return m_err; }

    // Keeps what ssh has written to its standard error so far; false once it
    // has closed it (it has ended or is ending).
    bool ReadErrors();
    // What ssh said, the last 16 KiB of it, carriage returns left out.
    const std::string& Errors() const { return m_errors; }

    // After its output has ended: waits up to `wait` for ssh to say its last
    // words and end, so that Errors() holds why.
    void AwaitEnd(std::chrono::milliseconds wait);

    // Ends ssh and whatever it started at once (SIGTERM), without waiting:
    // it sends nothing more. Stop() reaps it.
    void Kill();

    // Closes our ends, ends ssh and whatever it started (SIGTERM, then SIGKILL
    // when it has not ended within half a second) and reaps it. Errors() stays.
    void Stop();

private:
    bool WaitExit(std::chrono::milliseconds wait);

    pid_t m_pid = -1;
    int m_pidfd = -1; // readable once the child has ended; -1 where the kernel has none
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_reaped = false;
    std::string m_errors;
};

} // namespace sftp
