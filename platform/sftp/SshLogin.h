// ssh's questions while it logs in, answered by the session: the askpass
// helper's socket on the session's side (AskpassServer) and what each
// question gets (LoginConversation).
//
// Host keys: ssh asks about a key no known_hosts file holds, and writes a key
// it was told to accept to the first of its UserKnownHostsFile list. That
// first file is the session's own temporary one, so a key trusted once lives
// as long as the session; a key trusted always is then copied to our own
// file. A question that cannot be read is answered "no": nothing is ever
// accepted on the user's behalf.
//
// Passwords: the stored password answers the first password question of a
// connect, and only ssh's own question for the site's host ("USER@HOST's
// password:", or "(USER@HOST) Password:" through keyboard-interactive):
// a one-time password, a jump host's password or any other question that
// merely ends in "password:" is asked of the user; a second one means the server refused it, and
// the connect ends there (ssh is stopped before it could send anything more) with one clear reason.
// Without a stored password the user is asked once per connect, the same way. Passphrases and other
// questions go to the user; Cancel on a passphrase lets ssh go on without that key, Cancel on
// anything else ends the connect.
#pragma once

#include "platform/sftp/LoginQuestions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sftp {

// What ssh asks, from the words of its prompt.
enum class PromptKind { HostKey, YesNo, Passphrase, Password, Other };
PromptKind KindOfPrompt(const std::string& prompt);
// The key type ("ED25519") and fingerprint ("SHA256:...") of ssh's question
// about an unknown host key; false when the prompt is not such a question or
// cannot be read.
bool ParseHostKeyPrompt(const std::string& prompt, std::string* keyType, std::string* fingerprint);
// A prompt fit to show or log: one line, control bytes replaced.
std::string CleanPrompt(const std::string& prompt);

// The askpass helper: beside the running program, else in the build tree;
// empty when neither has it.
std::string FindAskpassProgram();
// The user's own known_hosts files (~/.ssh/known_hosts and known_hosts2).
std::vector<std::string> DefaultKnownHostsFiles();

// Reasons a login ends with.
inline constexpr const char* kChangedHostKey =
    "WARNING: the server's host key has changed since it was trusted; the connection was "
    "refused. Someone may be intercepting it, or the server's key was replaced.";
inline constexpr const char* kHostKeyNotTrusted = "The server's host key was not trusted";
inline constexpr const char* kWrongPassword =
    "Permission denied: the server refused the user name or password";
inline constexpr const char* kLoginCancelled = "The login was cancelled";

// A private folder (0700) of the session holding the socket the askpass
// helper reaches it on, and the session's temporary known_hosts file. Both
// go with it.
class AskpassServer {
public:
    AskpassServer() = default;
    ~AskpassServer();
    AskpassServer(const AskpassServer&) = delete;
    AskpassServer& operator=(const AskpassServer&) = delete;

    bool Open(std::string* why);
    // Readable when a helper waits with a question.
    int Fd() const { return m_listener; }
    const std::string& SocketPath() const { return m_socket; }
    const std::string& KnownHostsFile() const { return m_knownHosts; }

    // Takes the question of a waiting helper of this user: its connection,
    // or -1 when there was none (or it was another user's, or said nothing
    // readable within a few seconds).
    int Take(std::string* prompt);
    // Answers a taken question (std::nullopt: Cancel) and ends the connection.
    static void Give(int connection, const std::optional<std::string>& answer);

private:
    std::string m_folder;
    std::string m_socket;
    std::string m_knownHosts;
    int m_listener = -1;
};

// The answers of one connect.
class LoginConversation {
public:
    struct Setup {
        ILoginQuestions* questions = nullptr;
        std::string password;
        std::string host;
        int port = 22;
        std::string temporaryKnownHosts; // the first file ssh writes to
        std::string trustedKnownHosts;   // ours; empty: "always" is "once"
    };
    explicit LoginConversation(Setup setup) : m_setup(std::move(setup)) {}

    struct Reply {
        std::optional<std::string> answer; // std::nullopt: Cancel
        std::string endWith;               // not empty: end the connect with this reason
    };
    Reply Answer(const std::string& prompt);

    // After the connect, whatever its end: a host key trusted always goes to
    // our file. False with `why` when it could not be written.
    bool Finish(std::string* why);

    // Why the login failed, from ssh's words, when they have a clearer
    // reason than ssh's own; empty otherwise.
    std::string FailureReason(const std::string& said) const;

private:
    Setup m_setup;
    int m_passwordQuestions = 0;
    bool m_passwordGiven = false;
    bool m_hostKeyRefused = false;
    std::optional<std::uintmax_t> m_trustFrom; // where the key to copy begins in the temporary file
};

// The reason for a changed host key when ssh's words say so; empty otherwise.
std::string ChangedHostKeyReason(const std::string& said);

} // namespace sftp
