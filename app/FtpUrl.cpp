#include "app/FtpUrl.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <vector>

namespace ftpurl {

namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool HasControl(const std::string& text) {
    for (unsigned char c : text)
        if (IsControl(c))
            return true;
    return false;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX escapes; false on a '%' not followed by two hex digits.
bool Decode(const std::string& in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        int hi = i + 2 < in.size() ? HexValue(in[i + 1]) : -1;
        int lo = hi >= 0 ? HexValue(in[i + 2]) : -1;
        if (lo < 0)
            return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Letters, digits, '-', '.' and '_', and the bytes of international names:
// nothing that could end the name early or mean something to the connection.
bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > 253)
        return false;
    for (unsigned char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_' || c >= 0x80;
        if (!ok)
            return false;
    }
    return true;
}

bool ParsePort(const std::string& text, int* port) {
    if (text.empty())
        return true; // "host:" keeps the default port
    if (text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

// Where the server part of a link ends: at its path, query or fragment.
size_t AuthorityEnd(const std::string& rest) {
    size_t end = rest.find_first_of("/?#");
    return end == std::string::npos ? rest.size() : end;
}

bool IsAnonymous(const std::string& user) {
    std::string lower = Lower(user);
    return lower == "anonymous" || lower == "ftp";
}

} // namespace

bool Parse(const std::string& text, FtpUrl* url, std::string* error) {
    auto fail = [error](const char* why) {
        if (error)
            *error = why;
        return false;
    };
    // Line breaks or a NUL, typed or escaped, would reach the control
    // connection as commands of their own: such a link is refused whole.
    if (HasControl(text))
        return fail("The link holds a line break or another control character.");
    size_t scheme = text.find("://");
    std::string name = scheme == std::string::npos ? std::string() : Lower(text.substr(0, scheme));
    if (name == "ftps")
        return fail("Implicit FTP over TLS (ftps://) is not supported; use an ftpes:// link for "
                    "explicit FTP over TLS.");
    if (name != "ftp" && name != "ftpes" && name != "sftp")
        return fail("Only ftp:// and sftp:// links can be opened, as "
                    "ftp://[user[:password]@]host[:port][/path].");

    std::string rest = text.substr(scheme + 3);
    size_t end = AuthorityEnd(rest);
    std::string authority = rest.substr(0, end);
    std::string pathPart;
    if (end < rest.size() && rest[end] == '/') {
        pathPart = rest.substr(end);
        // A query or a fragment says nothing about a folder.
        pathPart = pathPart.substr(0, pathPart.find_first_of("?#"));
    }

    FtpUrl result;
    result.requireTls = name == "ftpes";
    if (name == "sftp") {
        result.sftp = true;
        result.port = 22;
        result.user.clear();
        result.password.clear();
    }
    size_t at = authority.rfind('@');
    std::string hostPort = authority;
    if (at != std::string::npos) {
        std::string userInfo = authority.substr(0, at);
        hostPort = authority.substr(at + 1);
        size_t colon = userInfo.find(':');
        std::string user, password;
        if (!Decode(userInfo.substr(0, colon), &user) ||
            (colon != std::string::npos && !Decode(userInfo.substr(colon + 1), &password)))
            return fail("The link holds a broken %-escape in its user name or password.");
        if (HasControl(user) || HasControl(password))
            return fail("The link's user name or password holds a line break or another control "
                        "character.");
        if (user.empty())
            return fail("The link has an @ but no user name before it.");
        result.user = user;
        if (colon != std::string::npos)
            result.password = password;
        else if (result.sftp)
            result.password.clear(); // keys and the agent first; asked only if needed
        else if (!IsAnonymous(user)) {
            result.password.clear(); // a named user without a password in the link
            result.askPassword = true;
        }
    }

    std::string host, port;
    if (!hostPort.empty() && hostPort[0] == '[') {
        size_t close = hostPort.find(']');
        if (close == std::string::npos)
            return fail("The link's IPv6 address has no closing bracket.");
        host = hostPort.substr(1, close - 1);
        unsigned char buffer[16];
        if (inet_pton(AF_INET6, host.c_str(), buffer) != 1)
            return fail("The link's address in brackets is no IPv6 address.");
        std::string after = hostPort.substr(close + 1);
        if (!after.empty() && after[0] != ':')
            return fail("The link has something after its IPv6 address that is no port.");
        if (!after.empty())
            port = after.substr(1);
    } else {
        size_t colon = hostPort.find(':');
        if (colon != std::string::npos && hostPort.find(':', colon + 1) != std::string::npos)
            return fail("An IPv6 address in a link is written in brackets, as ftp://[::1]/.");
        std::string encoded = hostPort.substr(0, colon);
        if (!Decode(encoded, &host))
            return fail("The link holds a broken %-escape in its server name.");
        if (host.empty())
            return fail("The link names no server.");
        if (!IsHostName(host))
            return fail("The link's server name holds characters no server name has.");
        if (colon != std::string::npos)
            port = hostPort.substr(colon + 1);
    }
    if (!ParsePort(port, &result.port))
        return fail("The link's port must be a number from 1 to 65535.");
    result.host = host;

    // An old form marks the transfer type at the end (";type=i"); it names no folder.
    if (size_t type = pathPart.rfind(";type="); type != std::string::npos &&
                                                type + 7 == pathPart.size() &&
                                                std::strchr("aidAID", pathPart.back()))
        pathPart.erase(type);
    // The path after the "/" that ends the server part is taken from the
    // folder the login leads to; an empty first step ("//x") or an escaped
    // "/" at its start ("%2Fx") makes it start at the server's root.
    std::string encodedPath = pathPart.empty() ? std::string() : pathPart.substr(1);
    bool absolute =
        (!encodedPath.empty() && encodedPath[0] == '/') || Lower(encodedPath.substr(0, 3)) == "%2f";
    std::string path;
    if (!Decode(encodedPath, &path))
        return fail("The link holds a broken %-escape in its folder.");
    if (HasControl(path))
        return fail("The link's folder holds a line break or another control character.");
    // "." and ".." are resolved so that the pane shows the folder that is
    // really opened. From the root ".." goes nowhere; from the login folder
    // it may lead above it, as a change of folder there would.
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string part = path.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    result.path.clear();
    for (const std::string& part : parts)
        result.path += (result.path.empty() && !absolute ? "" : "/") + part;
    if (result.path.empty())
        result.path = absolute ? "/" : kLoginFolder;

    *url = result;
    return true;
}

void HidePassword(char* text) {
    char* rest = text ? std::strstr(text, "://") : nullptr;
    if (!rest)
        return;
    rest += 3;
    // The password runs from the first ":" to the "@" that ends the user
    // part, whatever it holds: a "/", "?", "#" or "@" typed unescaped in it does
    // not end it early, and a link refused later is hidden all the same.
    char* colon = std::strchr(rest, ':');
    if (!colon)
        return;
    auto find = [](const char* from, const char* to, const char* any) -> const char* {
        for (const char* p = from; p < to; ++p)
            if (std::strchr(any, *p))
                return p;
        return nullptr;
    };
    // A "/", "?" or "#" after a user part that ended ("bob@host/x:y@z"):
    // the ":" belongs to the path. Before any "@" it is taken as part of a
    // user name typed unescaped; at worst a path loses a few characters to
    // the '*'.
    if (const char* end = find(rest, colon, "/?#"); end && find(rest, end, "@"))
        return;
    // An IPv6 address in brackets, then the port, the path or nothing: its
    // ":" are the address's. A "[" in front of anything else is part of a
    // user name.
    if (*rest == '[') {
        const char* close = std::strchr(rest, ']');
        const char* p = rest + 1;
        while (p != close && *p &&
               (std::isxdigit(static_cast<unsigned char>(*p)) || *p == ':' || *p == '.'))
            ++p;
        if (close && p == close) {
            p = close + 1;
            if (*p == ':')
                while (std::isdigit(static_cast<unsigned char>(*++p))) {
                }
            if (*p == '\0' || std::strchr("/?#", *p))
                return;
        }
    }
    char* firstAt = std::strchr(colon, '@');
    if (!firstAt)
        return; // no user part: the ":" is the port's
    // "user@host:21/x@y": the ":" is the port's when a user part ended
    // before it and the path begins before the next "@".
    if (find(rest, colon, "@") && find(colon, firstAt, "/?#"))
        return;
    // The user part ends at the first "@" after the ":" that a server part
    // follows (up to the path's "/") written as servers are: a dotted name or
    // address, a port, an IPv6 address. Failing that, at the last "@" that
    // any server part follows ("p@ss/word@host/": the password holds a "/"),
    // and failing that, at the last "@" of all. A path holding an "@" may
    // then lose some of its characters to the '*'. What this cannot tell
    // apart: a password whose part after an "@" is itself written like a
    // server ("p@ss.word/x@host/") keeps that part shown.
    auto hostLike = [find](const char* from, bool named) {
        const char* end = std::strchr(from, '/');
        if (!end)
            end = from + std::strlen(from);
        if (end == from)
            return false;
        for (const char* p = from; p < end; ++p)
            if (std::strchr("@?#", *p))
                return false;
        return !named || find(from, end, ".:[");
    };
    char* userEnd = nullptr;
    for (char* p = firstAt; p && !userEnd; p = std::strchr(p + 1, '@'))
        if (hostLike(p + 1, true))
            userEnd = p;
    char* lastHost = nullptr;
    for (char* p = firstAt; p && !userEnd; p = std::strchr(p + 1, '@'))
        if (hostLike(p + 1, false))
            lastHost = p;
    if (!userEnd)
        userEnd = lastHost ? lastHost : std::strrchr(firstAt, '@');
    for (char* p = colon + 1; p < userEnd; ++p)
        *p = '*';
}

} // namespace ftpurl
