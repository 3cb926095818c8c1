#include "sites/SiteStore.h"

#include "platform/keyring/Keyring.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Text.h"

#include <algorithm>
#include <cstring>

namespace sites {

const char* const kProductKey = "SOFTWARE\\Orvane";
const char* const kRootLabel = "General FTP Sites";
const char* const kCertificatesKey = "SOFTWARE\\Orvane\\Certificates";

namespace {

using reg::DWORD;
using reg::HKEY;

std::string SitePath(const std::string& name) {
    return std::string(kProductKey) + "\\" + name;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Keeps the first failure of a sequence of writes.
struct Writer {
    HKEY key = nullptr;
    reg::LONG failure = reg::REG_OK;

    void Put(const char* name, const std::string& text, size_t bytes) {
        // The text cut to fit (never inside a character), its NUL, and zero
        // padding up to the fixed size.
        std::string data(bytes, '\0');
        std::string fit = ui::CutAtCharBoundary(text, bytes - 1);
        std::memcpy(data.data(), fit.data(), fit.size());
        Raw(name, data);
    }
    // Removes a value; one that is not there is no failure.
    void Remove(const char* name) {
        reg::LONG rc = reg::RegDeleteValue(key, name);
        if (failure == reg::REG_OK && rc != reg::REG_ERR_NOT_FOUND)
            failure = rc;
    }
    void Raw(const char* name, const std::string& data) {
        reg::LONG rc = reg::RegSetValueEx(key, name, reg::REG_EXPAND_SZ, data.data(),
                                          static_cast<DWORD>(data.size()));
        if (failure == reg::REG_OK)
            failure = rc;
    }
};

// A value that fills its field may have been cut inside a character when it
// was written: the partial character at its end goes. (Shorter values keep
// every byte, also ones that are not UTF-8.)
std::string DropCutCharacter(std::string value, size_t capacity) {
    if (value.size() + 1 < capacity)
        return value;
    size_t i = value.size(), continuation = 0;
    while (i > 0 && continuation < 3 && (static_cast<unsigned char>(value[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0)
        return value;
    auto lead = static_cast<unsigned char>(value[i - 1]);
    size_t need = lead >= 0xF0 && lead <= 0xF4   ? 4
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xC2 && lead <= 0xDF ? 2
                                                 : 0;
    if (need > continuation + 1)
        value.resize(i - 1);
    return value;
}

std::string Read(HKEY key, const char* name, size_t capacity) {
    std::string buffer(capacity, '\0');
    DWORD size = static_cast<DWORD>(capacity);
    if (reg::RegQueryValueEx(key, name, nullptr, reinterpret_cast<unsigned char*>(buffer.data()),
                             &size) != reg::REG_OK)
        return ""; // absent or unreadable
    buffer.resize(size);
    // Up to the first NUL or the end of the data.
    return DropCutCharacter(buffer.substr(0, buffer.find('\0')), capacity);
}

bool HasValue(HKEY key, const char* name) {
    DWORD size = 0;
    return reg::RegQueryValueEx(key, name, nullptr, nullptr, &size) == reg::REG_OK;
}

bool Fail(reg::LONG rc, std::string* error) {
    if (error)
        *error = reg::RegErrorText(rc);
    return false;
}

std::string Cut(const std::string& text, size_t bytes) {
    return ui::CutAtCharBoundary(text, bytes - 1);
}

constexpr const char* kCertificatesName = "Certificates";

std::string EncryptionText(int encryption) {
    return std::to_string(encryption == kEncryptionPlain || encryption == kEncryptionRequire
                              ? encryption
                              : kEncryptionIfAvailable);
}

// Anything but a stored plain or require (an older record has no value) is
// "if available".
int EncryptionOf(const std::string& text) {
    if (text == "0")
        return kEncryptionPlain;
    if (text == "2")
        return kEncryptionRequire;
    return kEncryptionIfAvailable;
}

// Whether the product key's subkey `name` is the certificates key rather than
// a site: a site of that name from before has a host.
bool IsCertificatesKey(HKEY product, const char* name) {
    if (Lower(name) != Lower(kCertificatesName))
        return false;
    HKEY key = nullptr;
    if (reg::RegOpenKeyEx(product, name, reg::KEY_READ, &key) != reg::REG_OK)
        return false;
    DWORD size = 0;
    bool site = reg::RegQueryValueEx(key, "HOST NAME", nullptr, nullptr, &size) == reg::REG_OK;
    reg::RegCloseKey(key);
    return !site;
}

} // namespace

const Sample& FirstSample() {
    static const Sample s{"MSDN", "https://msdn.microsoft.com"};
    return s;
}

const Sample& SecondSample() {
    static const Sample s{"Microsoft", "ftp.microsoft.com"};
    return s;
}

std::vector<std::string> ListSites() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, kProductKey, reg::KEY_READ, &key) != reg::REG_OK)
        return names;
    char name[kMaxNameLength + 1];
    for (DWORD i = 0; reg::RegEnumKey(key, i, name, sizeof name) == reg::REG_OK; ++i)
        if (!IsCertificatesKey(key, name))
            names.push_back(name);
    reg::RegCloseKey(key);
    return names;
}

const char* ProtocolText(int protocol) {
    return protocol == kProtocolSftp ? "SFTP" : "FTP";
}

std::string TransfersText(int transfers) {
    return std::to_string(
        transfers >= kMinTransfers && transfers <= kMaxTransfers ? transfers : kDefaultTransfers);
}

// A number of 1 to 10 alone; anything else (an older record has no value) is 2.
int TransfersOf(const std::string& text) {
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '9')
        return text[0] - '0';
    return text == "10" ? 10 : kDefaultTransfers;
}

// Anything but a stored "SFTP" (an older record has no value) is FTP.
int ProtocolOf(const std::string& text) {
    return text == "SFTP" ? kProtocolSftp : kProtocolFtp;
}

const char* DefaultPort(int protocol) {
    return protocol == kProtocolSftp ? "22" : "21";
}

SiteRecord LoadSite(const std::string& name) {
    SiteRecord r;
    HKEY key = nullptr;
    if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(name).c_str(), reg::KEY_READ, &key) ==
        reg::REG_OK) {
        r.host = Read(key, "HOST NAME", kShortValue);
        r.user = Read(key, "USER NAME", kShortValue);
        r.label = Read(key, "SITE NAME", kShortValue);
        r.password = Read(key, "PASSWORD", kShortValue);
        r.port = Read(key, "PORT NO", kShortValue);
        r.remoteDir = Read(key, "DEFAULT REMOTE DIRECTORY", kDirValue);
        r.localDir = Read(key, "DEFAULT LOCAL DIRECTORY", kDirValue);
        r.comments = Read(key, "COMMENTS", kCommentValue);
        r.encryption = EncryptionOf(Read(key, "ENCRYPTION", kShortValue));
        r.protocol = ProtocolOf(Read(key, "Protocol", kShortValue));
        r.transfers = TransfersOf(Read(key, "Simultaneous transfers", kShortValue));
        // A "PASSWORD" value, even an empty one, is the site's password (not
        // moved yet, kept there while the keyring was away or refused it, or
        // none at all): a keyring item of that name is then a leftover. Only
        // a key without the value has its password in the keyring.
        bool inStore = HasValue(key, "PASSWORD");
        reg::RegCloseKey(key);
        if (!inStore && keyring::Available())
            keyring::Lookup(name, &r.password);
    }
    if (r.host.empty())
        r.host = " ";
    if (r.port.empty())
        r.port = DefaultPort(r.protocol);
    return r;
}

bool CreateSite(const std::string& name, std::string* error) {
    Writer w;
    reg::LONG rc = reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(name).c_str(),
                                       reg::KEY_ALL_ACCESS, &w.key);
    if (rc != reg::REG_OK)
        return Fail(rc, error);
    w.Put("USER NAME", "anonymous", kShortValue);
    w.Put("HOST NAME", "localhost", kShortValue);
    w.Put("SITE NAME", name, kShortValue);
    w.Put("PASSWORD", "", kShortValue);
    w.Put("PORT NO", "21", kShortValue);
    w.Put("DEFAULT LOCAL DIRECTORY", "/", kDirValue);
    w.Put("DEFAULT REMOTE DIRECTORY", "/", kDirValue);
    w.Put("COMMENTS", "Comments", kCommentValue);
    w.Put("ENCRYPTION", EncryptionText(kEncryptionIfAvailable), kShortValue);
    reg::RegCloseKey(w.key);
    if (w.failure != reg::REG_OK)
        return Fail(w.failure, error);
    // A password left in the keyring by an earlier site of this name is not the new one's.
    if (keyring::Available())
        keyring::Clear(name);
    return true;
}

namespace {

// Puts a site's password where it is kept: into the keyring when one takes
// it (the key then has no "PASSWORD" value), else into the key. An empty
// password leaves no item behind.
bool PutPassword(Writer& w, const std::string& name, const std::string& host,
                 const std::string& port, const std::string& user, const std::string& password) {
    std::string fit = Cut(password, kShortValue);
    if (!fit.empty() && keyring::Available() &&
        keyring::Store({name, host, port, user}, fit) == keyring::Result::Done) {
        w.Remove("PASSWORD");
        return true;
    }
    w.Put("PASSWORD", fit, kShortValue);
    return false;
}

// Saves a site; `encryption` or `protocol` < 0 leaves the stored one as it is.
bool Save(const std::string& name, const std::string& user, const std::string& host,
          const std::string& label, const std::string& password, const std::string& port,
          const std::string& localDir, const std::string& remoteDir, const std::string& comments,
          int encryption, int protocol, int transfers, std::string* error) {
    Writer w;
    // An existing site only: saving never creates one.
    reg::LONG rc = reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(name).c_str(),
                                     reg::KEY_ALL_ACCESS, &w.key);
    if (rc != reg::REG_OK)
        return Fail(rc, error);
    std::string storedHost = host.empty() ? "localhost" : host;
    if (protocol < 0)
        protocol = ProtocolOf(Read(w.key, "Protocol", kShortValue));
    std::string storedPort = Cut(port.empty() ? DefaultPort(protocol) : port, kShortValue);
    w.Put("USER NAME", user, kShortValue);
    w.Put("HOST NAME", storedHost, kShortValue);
    w.Put("SITE NAME", label.empty() ? name : label, kShortValue);
    // While the keyring cannot be reached, a site whose password it keeps
    // shows none; saved so, the site keeps that password.
    bool inKeyring = (password.empty() && !HasValue(w.key, "PASSWORD") && !keyring::Available()) ||
                     PutPassword(w, name, Cut(storedHost, kShortValue), storedPort,
                                 Cut(user, kShortValue), password);
    // The port is written as its digits alone, without a NUL.
    w.Raw("PORT NO", storedPort);
    w.Put("DEFAULT REMOTE DIRECTORY", remoteDir, kDirValue);
    w.Put("DEFAULT LOCAL DIRECTORY", localDir, kDirValue);
    w.Put("COMMENTS", comments, kCommentValue);
    if (encryption >= 0)
        w.Put("ENCRYPTION", EncryptionText(encryption), kShortValue);
    w.Put("Protocol", ProtocolText(protocol), kShortValue);
    if (transfers >= 0)
        w.Put("Simultaneous transfers", TransfersText(transfers), kShortValue);
    reg::RegCloseKey(w.key);
    if (w.failure != reg::REG_OK)
        return Fail(w.failure, error);
    if (!inKeyring && keyring::Available())
        keyring::Clear(name); // the key's password (or none) is the site's now
    return true;
}

} // namespace

bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, std::string* error) {
    return Save(name, user, host, label, password, port, localDir, remoteDir, comments, -1, -1, -1,
                error);
}

bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, int encryption, std::string* error) {
    return Save(name, user, host, label, password, port, localDir, remoteDir, comments,
                encryption < 0 ? kEncryptionIfAvailable : encryption, -1, -1, error);
}

bool SaveSite(const std::string& name, const std::string& user, const std::string& host,
              const std::string& label, const std::string& password, const std::string& port,
              const std::string& localDir, const std::string& remoteDir,
              const std::string& comments, int encryption, int protocol, int transfers,
              std::string* error) {
    return Save(name, user, host, label, password, port, localDir, remoteDir, comments,
                encryption < 0 ? kEncryptionIfAvailable : encryption,
                protocol == kProtocolSftp ? kProtocolSftp : kProtocolFtp, transfers, error);
}

bool DeleteSite(const std::string& name, std::string* error) {
    reg::LONG rc = reg::RegDeleteKey(reg::HKEY_LOCAL_MACHINE, SitePath(name).c_str());
    if (rc != reg::REG_OK)
        return Fail(rc, error);
    if (keyring::Available())
        keyring::Clear(name);
    return true;
}

bool RenameSite(const std::string& oldName, const std::string& newName, const std::string& user,
                const std::string& host, const std::string& label, const std::string& password,
                const std::string& port, std::string* error) {
    // The values the dialog does not show come from the old record.
    std::string remoteDir, localDir, comments, encryption, protocol, transfers;
    HKEY old = nullptr;
    if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(oldName).c_str(), reg::KEY_READ,
                          &old) == reg::REG_OK) {
        remoteDir = Read(old, "DEFAULT REMOTE DIRECTORY", kDirValue);
        localDir = Read(old, "DEFAULT LOCAL DIRECTORY", kDirValue);
        comments = Read(old, "COMMENTS", kCommentValue);
        encryption = Read(old, "ENCRYPTION", kShortValue);
        protocol = Read(old, "Protocol", kShortValue);
        transfers = Read(old, "Simultaneous transfers", kShortValue);
        reg::RegCloseKey(old);
    }
    // Names that differ only in case are one key: it is removed first, then
    // written anew under the new spelling. Otherwise the old key goes last,
    // once the new one holds everything.
    bool sameKey = Lower(oldName) == Lower(newName);
    if (sameKey) {
        reg::LONG rc = reg::RegDeleteKey(reg::HKEY_LOCAL_MACHINE, SitePath(oldName).c_str());
        if (rc != reg::REG_OK)
            return Fail(rc, error);
    }
    Writer w;
    reg::LONG rc = reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(newName).c_str(),
                                       reg::KEY_ALL_ACCESS, &w.key);
    if (rc != reg::REG_OK)
        return Fail(rc, error);
    w.Put("USER NAME", user, kShortValue);
    w.Put("HOST NAME", host, kShortValue);
    w.Put("SITE NAME", label, kShortValue);
    bool inKeyring = PutPassword(w, newName, Cut(host, kShortValue), Cut(port, kShortValue),
                                 Cut(user, kShortValue), password);
    w.Put("PORT NO", port, kShortValue);
    w.Put("DEFAULT REMOTE DIRECTORY", remoteDir, kDirValue);
    w.Put("DEFAULT LOCAL DIRECTORY", localDir, kDirValue);
    w.Put("COMMENTS", comments, kCommentValue);
    if (!encryption.empty()) // an older record keeps meaning "if available"
        w.Put("ENCRYPTION", EncryptionText(EncryptionOf(encryption)), kShortValue);
    if (!protocol.empty())
        w.Put("Protocol", ProtocolText(ProtocolOf(protocol)), kShortValue);
    if (!transfers.empty())
        w.Put("Simultaneous transfers", TransfersText(TransfersOf(transfers)), kShortValue);
    reg::RegCloseKey(w.key);
    if (w.failure != reg::REG_OK) {
        if (!sameKey) { // keep the old record rather than a half-written new one
            reg::RegDeleteKey(reg::HKEY_LOCAL_MACHINE, SitePath(newName).c_str());
            if (inKeyring)
                keyring::Clear(newName);
        }
        return Fail(w.failure, error);
    }
    if (!sameKey) {
        rc = reg::RegDeleteKey(reg::HKEY_LOCAL_MACHINE, SitePath(oldName).c_str());
        if (rc != reg::REG_OK && rc != reg::REG_ERR_NOT_FOUND)
            return Fail(rc, error);
    }
    if (keyring::Available()) {
        if (!sameKey)
            keyring::Clear(oldName);
        if (!inKeyring)
            keyring::Clear(newName);
    }
    return true;
}

PasswordMove MovePasswordsToKeyring() {
    PasswordMove move;
    move.keyring = keyring::Available();
    if (!move.keyring) {
        move.reason = keyring::UnavailableReason();
        return move;
    }
    for (const std::string& name : ListSites()) {
        Writer w;
        if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, SitePath(name).c_str(), reg::KEY_ALL_ACCESS,
                              &w.key) != reg::REG_OK)
            continue;
        std::string password = Read(w.key, "PASSWORD", kShortValue);
        if (password.empty()) {
            reg::RegCloseKey(w.key);
            continue;
        }
        keyring::SiteItem item{name, Read(w.key, "HOST NAME", kShortValue),
                               Read(w.key, "PORT NO", kShortValue),
                               Read(w.key, "USER NAME", kShortValue)};
        std::string why;
        keyring::Result result = keyring::Store(item, password, &why);
        if (result == keyring::Result::Done) {
            w.Remove("PASSWORD");
            if (w.failure == reg::REG_OK) {
                move.moved.push_back(name);
            } else {
                keyring::Clear(name); // the store keeps it: one home only
                move.failed.push_back({name, reg::RegErrorText(w.failure)});
            }
        } else if (result == keyring::Result::Failed) {
            move.failed.push_back({name, why});
        }
        reg::RegCloseKey(w.key);
        // A keyring that stopped answering takes no more: the log's first
        // line says where the rest are kept, and why.
        if (result == keyring::Result::Unavailable)
            break;
    }
    // The removed values' text must not stay in the file's free pages.
    if (!move.moved.empty())
        reg::RegCompactStore();
    move.keyring = keyring::Available();
    if (!move.keyring)
        move.reason = keyring::UnavailableReason();
    return move;
}

std::vector<std::string> PasswordMoveLines(const PasswordMove& move) {
    std::vector<std::string> lines;
    if (move.keyring)
        lines.push_back("Site passwords are kept in the desktop keyring.");
    else
        lines.push_back("Site passwords are kept in the settings store " + reg::RegistryPath() +
                        " (no desktop keyring: " + move.reason + ").");
    if (!move.moved.empty())
        lines.push_back("Moved " + std::to_string(move.moved.size()) +
                        (move.moved.size() == 1 ? " password" : " passwords") +
                        " from the settings store to the desktop keyring.");
    for (const PasswordMove::Failure& f : move.failed)
        lines.push_back("The password of site \"" + f.site +
                        "\" could not be moved to the desktop keyring and stays in the settings "
                        "store (" +
                        f.why + ").");
    return lines;
}

std::string LoadTrustedCertificate(const std::string& server) {
    return reg::RegReadText(reg::HKEY_LOCAL_MACHINE, kCertificatesKey, server.c_str(), kShortValue);
}

bool SaveTrustedCertificate(const std::string& server, const std::string& fingerprint,
                            std::string* error) {
    Writer w;
    reg::LONG rc =
        reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, kCertificatesKey, reg::KEY_ALL_ACCESS, &w.key);
    if (rc != reg::REG_OK)
        return Fail(rc, error);
    w.Put(server.c_str(), fingerprint, kShortValue);
    reg::RegCloseKey(w.key);
    return w.failure == reg::REG_OK || Fail(w.failure, error);
}

std::string CheckSiteName(const std::string& name, const std::string& renaming) {
    if (name.empty() || name.find_first_not_of(' ') == std::string::npos)
        return "A site needs a name.";
    if (name.find('\\') != std::string::npos)
        return "A site name cannot contain \"\\\".";
    if (name.size() > kMaxNameLength)
        return "A site name can have at most 99 characters.";
    if (!renaming.empty() && Lower(renaming) == Lower(name))
        return "";
    if (Lower(name) == Lower(kCertificatesName))
        return "The name \"" + name + "\" is kept for the trusted certificates.";
    for (const std::string& existing : ListSites())
        if (Lower(existing) == Lower(name))
            return "There is already a site named \"" + existing + "\".";
    return "";
}

} // namespace sites
