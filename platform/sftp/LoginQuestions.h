// What a session asks while ssh logs in: whether to trust a server's host key
// that no known_hosts file holds, and the secrets ssh asks for (a password, a
// key's passphrase, whatever else the server asks). Called on the thread that
// connects, which the caller may hold while it asks the user.
#pragma once

#include <optional>
#include <string>

namespace sftp {

enum class HostKeyAnswer { Always, Once, Cancel };

struct HostKeyQuestion {
    std::string host; // as the site names it
    int port = 22;
    std::string keyType;     // "ED25519", "RSA", "ECDSA", as ssh names it
    std::string fingerprint; // "SHA256:..."
};

enum class SecretKind { Password, Passphrase, Other };

class ILoginQuestions {
public:
    virtual ~ILoginQuestions() = default;
    virtual HostKeyAnswer AskHostKey(const HostKeyQuestion& q) = 0;
    // The secret, or std::nullopt for Cancel. `prompt` is ssh's words with
    // control bytes replaced.
    virtual std::optional<std::string> AskSecret(SecretKind kind, const std::string& prompt) = 0;
};

} // namespace sftp
