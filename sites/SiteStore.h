// The site store: one registry key per site under SOFTWARE\Orvane, eight
// text values each, written with fixed byte counts and zero padding.
#pragma once

#include <string>
#include <vector>

namespace sites {

// Capacities of the stored values, in bytes (text plus its NUL).
constexpr size_t kShortValue = 100; // host, user, label, password, port
constexpr size_t kDirValue = 150;   // default local and remote folders
constexpr size_t kCommentValue = 500;
// The longest site name the listing can show.
constexpr size_t kMaxNameLength = 99;

extern const char* const kProductKey; // "SOFTWARE\Orvane"
extern const char* const kRootLabel;  // "General FTP Sites"
// The key beside the sites that keeps the certificates the user trusts:
// "SOFTWARE\Orvane\Certificates". The listing of sites leaves it out.
extern const char* const kCertificatesKey;

// How a site connects ("ENCRYPTION"): plain FTP, explicit FTP over TLS if the
// server offers it, or only over TLS. A site stored without the value
// connects over TLS if available.
enum SiteEncryption { kEncryptionPlain = 0, kEncryptionIfAvailable = 1, kEncryptionRequire = 2 };

// What a site speaks ("Protocol"): "FTP" (with or without TLS, see above) or
// "SFTP" (through the system's OpenSSH). A site stored without the value is FTP.
enum SiteProtocol { kProtocolFtp = 0, kProtocolSftp = 1 };
// The port a protocol uses when the site gives none.
const char* DefaultPort(int protocol);

// How many connections a site's transfers may use at once ("Simultaneous
// transfers"): 1 to 10; a site stored without the value, or with one out of
// range, uses 2.
constexpr int kMinTransfers = 1, kMaxTransfers = 10, kDefaultTransfers = 2;

struct SiteRecord {
    std::string host;
    std::string user;
    std::string label; // "SITE NAME"
    std::string password;
    std::string port;
    std::string remoteDir;
    std::string localDir;
    std::string comments;
    int encryption = kEncryptionIfAvailable;
    int protocol = kProtocolFtp;
    int transfers = kDefaultTransfers;
};

// The built-in samples, never stored.
struct Sample {
    const char* name;
    const char* host;
};
const Sample& FirstSample();  // "MSDN"
const Sample& SecondSample(); // "Microsoft"

// Site names in the order the registry lists the product key's subkeys; the
// listing ends at a name that does not fit 99 characters.
std::vector<std::string> ListSites();
// The values of a site; an empty host is given as " " and an empty port as
// the protocol's ("21", or "22" for SFTP).
SiteRecord LoadSite(const std::string& name);
// The writers return false when the store refused a write; `error` then says why.
bool CreateSite(const std::string& name, std::string* error = nullptr);
bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, std::string* error = nullptr);
// The same, with the site's encryption (the form above leaves it as stored).
bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, int encryption, std::string* error = nullptr);
// The same, with the site's protocol and its simultaneous transfers too (-1:
// as stored).
bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, int encryption, int protocol, int transfers = -1,
              std::string* error = nullptr);
bool DeleteSite(const std::string& name, std::string* error = nullptr);
bool RenameSite(const std::string& oldName, const std::string& newName, const std::string& user,
                const std::string& host, const std::string& label, const std::string& password,
                const std::string& port, std::string* error = nullptr);

// Where passwords are kept. Where the desktop's keyring answers, a site's
// password is an item of the keyring and its key holds none; LoadSite,
// SaveSite, RenameSite and DeleteSite keep the item in step. A password still
// in a key (written before, or refused by the keyring) is read as before.
struct PasswordMove {
    bool keyring = false; // the keyring is in use
    std::string reason;   // why not, when it is not
    std::vector<std::string> moved;
    struct Failure {
        std::string site;
        std::string why;
    };
    std::vector<Failure> failed; // those stay in their keys
};
// Moves the passwords still in the keys into the keyring and erases them from
// the store (its file compacted so their text does not linger). Nothing moves
// without a keyring.
PasswordMove MovePasswordsToKeyring();
// The log's lines on it: where passwords are kept, and each that could not move.
std::vector<std::string> PasswordMoveLines(const PasswordMove& move);

// The SHA-256 fingerprint of the certificate trusted for `server` (host:port,
// the host as connected to in lower case, "ftp.example.org:21"), or "".
std::string LoadTrustedCertificate(const std::string& server);
bool SaveTrustedCertificate(const std::string& server, const std::string& fingerprint,
                            std::string* error = nullptr);

// "" when `name` may be given to a new or renamed site (`renaming` is the
// site's present name, which the new name may equal but for case); else why not.
std::string CheckSiteName(const std::string& name, const std::string& renaming = "");

} // namespace sites
