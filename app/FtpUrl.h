// An ftp:// link as the desktop hands it to the program (a browser, a file
// manager, the command line): ftp://[user[:password]@]host[:port][/path], or
// ftpes:// for explicit FTP over TLS, or sftp:// for SFTP.
// Plain code, no toolkit: the start-up turns a parsed link into a one-off
// connection. Everything in a link is a stranger's bytes, so a link that is
// not plainly well formed is refused whole, with a reason a user can read.
#pragma once

#include <string>

namespace ftpurl {

// The password sent for an anonymous login when the link names none, in the
// form anonymous servers ask for (an address-like text).
inline constexpr char kAnonymousUser[] = "anonymous";
inline constexpr char kAnonymousPassword[] = "orvane@example.com";
// The folder a link without a path opens: the one the login leads to.
inline constexpr char kLoginFolder[] = ".";

struct FtpUrl {
    std::string host; // a name or an address; an IPv6 address without its brackets
    int port = 21;
    std::string user = kAnonymousUser;
    std::string password = kAnonymousPassword;
    // The folder to open, decoded, without a trailing "/": kLoginFolder, a
    // path from the login folder ("pub/x"), or from the server's root
    // ("/pub/x", a link whose path starts with "%2F").
    std::string path = kLoginFolder;
    // A user other than "anonymous" or "ftp" without a password in the link:
    // the password is asked for before connecting.
    bool askPassword = false;
    // An ftpes:// link: explicit FTP over TLS, required. An ftp:// link uses
    // TLS where the server offers it.
    bool requireTls = false;
    // An sftp:// link: port 22 unless it names one; without a user ssh's own
    // choice (its configuration's, or the local user's), and a password only
    // when the server asks for one.
    bool sftp = false;
};

// Parses `text` into `url`. On failure returns false, leaves `url` as it was
// and puts the reason into `error` (a sentence that never quotes the link:
// it may hold a password or control characters).
bool Parse(const std::string& text, FtpUrl* url, std::string* error);

// Overwrites the password of a link in place with '*', keeping its length, so
// the process's command line no longer shows it. Does nothing to text that has
// no password.
void HidePassword(char* text);

} // namespace ftpurl
