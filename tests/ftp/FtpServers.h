// Real FTP servers for the tests: pyftpdlib and vsftpd on 127.0.0.1, each on a
// free port with a temporary root; and our scripted server for faults real
// servers do not produce.
#pragma once

#include "tests/TempDir.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

enum class ServerKind { Pyftpdlib, Vsftpd };
// TLS of a vsftpd: none, offered (AUTH TLS; plain logins still accepted) or
// required (a plain login and plain data connections are refused).
enum class Tls { Off, Offered, Required };

const char* KindName(ServerKind kind);

// A port of 127.0.0.1 that nothing listens on just now.
int FreePort();
// Whether something accepts connections on `port` of 127.0.0.1.
bool Listening(int port);

class FtpServer {
public:
    // Starts the server; ok() says whether it runs (error() why not). With
    // `maxPerAddress` above 0, the server refuses more control connections
    // than that from one address (with 421).
    explicit FtpServer(ServerKind kind, Tls tls = Tls::Off, int maxPerAddress = 0);
    // vsftpd whose user logs in to root() + "/" + `loginFolder`, with the
    // whole file system as the server's "/" (no chroot): a login folder that
    // is not the root, as on most servers.
    FtpServer(ServerKind kind, const std::string& loginFolder);
    // The user's login folder as the server names it ("/" unless one was given).
    std::string LoginFolder() const { return m_login.empty() ? "/" : root() + "/" + m_login; }
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    bool ok() const { return m_pid > 0; }
    const std::string& error() const { return m_error; }
    int port() const { return m_port; }
    // The server's root folder on disk: what "/" is after logging in.
    const std::string& root() const { return m_root.path(); }
    // A user with a password ("orvaneftp" / "secret" on both servers).
    static const char* User() { return "orvaneftp"; }
    static const char* Password() { return "secret"; }
    // Makes files the test put under root() usable by the server's users.
    void Share() const;

    // vsftpd: every command it received and every reply, as it logged them.
    std::string ProtocolLog() const;
    // vsftpd with TLS: its certificate and key (one PEM file), made
    // self-signed by openssl at start.
    std::string CertificateFile() const { return m_conf.path() + "/server.pem"; }
    // Restarts vsftpd on the same port with the certificate in `pem` (a new
    // self-signed one when empty).
    bool Restart(const std::string& pem = "");
    // What a later Restart() offers: a server can stop offering TLS.
    void SetTls(Tls tls) { m_tls = tls; }

    // Makes a certificate authority (caPem) and a certificate with its key
    // (serverPem) signed by it for `name` (a DNS name or an IP address), or
    // with the subjectAltName `altNames` ("DNS:a,IP:1.2.3.4"; "-" for none).
    static bool MakeSignedCertificate(const std::string& dir, const std::string& name,
                                      std::string* caPem, std::string* serverPem,
                                      const std::string& altNames = "");

    // A certificate of given dates: for the common name `name` with the
    // subjectAltName `altNames` ("" for none), valid from `notBefore` to
    // `notAfter` (openssl's "YYYYMMDDHHMMSSZ"); self-signed, or signed by a
    // new authority valid from `caNotBefore` to `caNotAfter`.
    struct DatedCertificate {
        std::string name;
        std::string altNames;
        std::string notBefore = "20200101000000Z";
        std::string notAfter = "20400101000000Z";
        bool selfSigned = true;
        std::string caNotBefore = "20200101000000Z";
        std::string caNotAfter = "20400101000000Z";
    };
    // Writes its certificate and key to serverPem and the authority, if any,
    // to caPem (both in `dir`).
    static bool MakeCertificate(const std::string& dir, const DatedCertificate& wanted,
                                std::string* caPem, std::string* serverPem);

private:
    bool StartVsftpd();
    ServerKind m_kind;
    Tls m_tls = Tls::Off;
    int m_maxPerAddress = 0;
    std::string m_login; // below root(); empty: the root, chrooted
    TempDir m_root;
    TempDir m_conf;
    pid_t m_pid = -1;
    int m_port = 0;
    std::string m_error;
};

// Our own server speaking a script of faults. Scenarios:
//   "drop-retr"     drops the connection in the middle of a download
//   "rest-ignored"  drops the first download halfway; then takes REST (350)
//                   and sends every file whole from its first byte
//   "shrinks", "shrinks-to-rest", "grows", "drop-at-end"  cut the first
//                   download (at half; "drop-at-end" after its last byte),
//                   then serve another file (shorter than the part kept,
//                   ending where the next try's REST points, longer, the
//                   same); REST honoured
//   "relogin-refused" drops the first download halfway, then refuses every
//                   later login with 530
//   "relogin-421"   the same, then greets every later connection with a
//                   two-line 421
//   "list-cut"      sends the first listing half (500 of 1000 entries), then
//                   closes the control connection without a reply
//   "list-cut-always" the same at every listing
//   "stor-cut-slow-size" drops every upload after 64 KiB; answers SIZE
//                   only after 3 s
//   "421"           answers the first command after login with 421 and closes
//   "garbage-list"  sends a hostile listing (binary junk, "..", names with /)
//   "pasv-elsewhere" points PASV at 10.255.255.1 (the data must still come from us)
//   "silent"        accepts the connection and never says a word
//   "stor-552"      refuses every upload with 552 after taking the data
//   "stor-short"    keeps half of every upload and still answers 226 (SIZE
//                   says what it kept; other scenarios keep all)
//   "stor-452"      refuses every upload with 452 before taking it
//   "echo-password" answers PASS with 530 that repeats the password
//   "hostile-tree"  serves /top with names that try to leave the target
//   "selfloop-tree" serves /top whose folder "self" lists the same again
//   "deep-tree"     serves 120 nested folders under /top
//   "changing-tree" serves /top with a different listing each time
//   "mlsd-fails"    offers MLST in FEAT, then refuses MLSD with 500
//   "many-entries"  an MLSD listing of 1,100,000 one-character lines
//   "short-retr"    announces 1 MiB (SIZE and 150), sends half, answers 226
//   "short-retr-quiet" the same announcing nothing (SIZE refused)
//   "late-226"      sends a download whole, then its 226 only 1.5 s later
//   "trickle"       sends a listing one byte every 0.2 s
//   "no-connect-back" takes EPRT/PORT but never connects for the data
//   "dash-name"     lists one file named "-la"
//   "stor-short-once" keeps all but 1,000 bytes of the first upload, answers
//                   226; later uploads are kept whole (APPE appends)
//   "size-shrinks-later" announces 4 MiB and cuts the first download at half;
//                   then SIZE says 100,000 bytes less and a RETR after REST
//                   ends there while announcing the rest of the 4 MiB
//   "mdtm-changes"  offers MDTM; the first download is cut at half, then the
//                   file has other first bytes (same size) and another MDTM
//   "list-425", "list-425-nosize", "list-425-slow-size", "list-425-later"
//                   every listing's data connection fails (425); SIZE answers
//                   for "exists.bin" and 550 for other names, or is not
//                   implemented, or answers 550 after 3 s; or the first
//                   listing works and later ones fail
//   "rmd-refused"   serves /top with one file and refuses its RMD with 550
//   "quiet-changes" gives no size (SIZE refused, none in 150); cuts the
//                   first RETR at half, then the file has other bytes before
//                   its middle; the third RETR is cut at half too and the
//                   fourth ends 1,000 bytes short with 226
//   "dash-a-tree"   serves /top holding a folder named "-a" and a link "lnk"
//                   to /keep; LIST reads any argument as a name, "-a" too
// In every scenario a folder whose path holds "missing" does not exist and
// LIST refuses an argument that begins with "-" (but in "dash-a-tree").
class ScriptedServer {
public:
    explicit ScriptedServer(const std::string& scenario);
    // A scenario of another script of tests/ftp ("scripted_tls.py").
    ScriptedServer(const std::string& script, const std::string& scenario);
    ~ScriptedServer();
    bool ok() const { return m_pid > 0; }
    int port() const { return m_port; }

private:
    pid_t m_pid = -1;
    int m_port = 0;
};

// Our proxy in front of a real server that loses connections on purpose
// (tests/ftp/dropproxy.py): it drops a file's data connection (and with it the
// control connection, or with a 421) after a number of bytes, or closes an
// idle session, and counts what it moved. Options are its "key=value" words.
class DropProxy {
public:
    DropProxy(int serverPort, const std::vector<std::string>& options);
    ~DropProxy();
    DropProxy(const DropProxy&) = delete;
    DropProxy& operator=(const DropProxy&) = delete;
    bool ok() const { return m_pid > 0; }
    int port() const { return m_port; }
    // One of its counters: data_bytes, file_bytes, drops, logins,
    // idle_closes, and the commands RETR, STOR, APPE, REST, SIZE. Final for a transfer once its
    // reply has reached the client.
    std::uint64_t Count(const std::string& key) const;

private:
    TempDir m_dir;
    pid_t m_pid = -1;
    int m_port = 0;
};
