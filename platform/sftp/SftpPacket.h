// The packets of SFTP version 3, the one OpenSSH's server speaks: the requests
// this client sends, built whole, and the server's replies, cut out of the
// byte stream and decoded. Plain code: no I/O, no threads, no toolkit.
//
// Everything a reply holds is bytes from a stranger. Every length and count is
// checked against the bytes actually received before anything is kept; a reply
// that is cut short, announces more than it holds, or carries bytes left over
// is an error value saying why, never an exception, a crash or an allocation
// of the size a server announced. Names and paths are carried as bytes, never
// interpreted: NUL, CR, LF and bytes that are not UTF-8 come out as they went in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sftp {

enum class Type : std::uint8_t {
    Init = 1,
    Version = 2,
    Open = 3,
    Close = 4,
    Read = 5,
    Write = 6,
    Lstat = 7,
    Fstat = 8,
    Setstat = 9,
    Opendir = 11,
    Readdir = 12,
    Remove = 13,
    Mkdir = 14,
    Rmdir = 15,
    Realpath = 16,
    Stat = 17,
    Rename = 18,
    Status = 101,
    Handle = 102,
    Data = 103,
    Name = 104,
    Attrs = 105,
};

// One packet as framed: its type byte and the bytes after it.
struct Packet {
    std::uint8_t type = 0;
    std::string body;
    bool operator==(const Packet&) const = default;
};

// How a file is opened (OPEN's pflags).
constexpr std::uint32_t kOpenRead = 0x01;
constexpr std::uint32_t kOpenWrite = 0x02;
constexpr std::uint32_t kOpenAppend = 0x04;
constexpr std::uint32_t kOpenCreate = 0x08;
constexpr std::uint32_t kOpenTruncate = 0x10;
constexpr std::uint32_t kOpenExclusive = 0x20;

// The most data one READ asks for; the largest reply accepted by default
// leaves room for a DATA reply of that much plus its own fields.
constexpr std::uint32_t kMaxReadLength = 256 * 1024;
constexpr std::uint32_t kDefaultMaxPacket = kMaxReadLength + 1024;
// The longest handle a server may give.
constexpr std::size_t kMaxHandleLength = 256;

struct Extension {
    std::string name;
    std::string data;
    bool operator==(const Extension&) const = default;
};

// Owner ids and times travel in pairs.
struct Owner {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    bool operator==(const Owner&) const = default;
};
struct Times {
    std::uint32_t atime = 0; // seconds since 1970, UTC
    std::uint32_t mtime = 0;
    bool operator==(const Times&) const = default;
};

// A file's attributes; each part is there only when the server sent it (or
// the caller wants it set).
struct Attributes {
    std::optional<std::uint64_t> size;
    std::optional<Owner> owner;
    std::optional<std::uint32_t> permissions; // mode bits, file type included
    std::optional<Times> times;
    std::vector<Extension> extended;
    bool operator==(const Attributes&) const = default;
};

// From the file-type bits of the permissions; false when they are absent.
bool IsFolder(const Attributes& attrs);
bool IsLink(const Attributes& attrs);
bool IsRegularFile(const Attributes& attrs);

enum class Kind { Unknown, File, Folder, Link, Other };
// The kind from the permissions' file-type bits, or, where a server sent
// none, from the first character of the listing's long name ("drwx...").
Kind KindOf(const Attributes& attrs, std::string_view longname);

// Requests. Each returns the whole packet, length field included. Request ids
// are the caller's; strings go out as the bytes given.
std::string InitRequest(); // asks for version 3
std::string OpenRequest(std::uint32_t id, std::string_view path, std::uint32_t pflags,
                        const Attributes& attrs = {});
std::string CloseRequest(std::uint32_t id, std::string_view handle);
std::string ReadRequest(std::uint32_t id, std::string_view handle, std::uint64_t offset,
                        std::uint32_t length);
std::string WriteRequest(std::uint32_t id, std::string_view handle, std::uint64_t offset,
                         std::string_view data);
std::string LstatRequest(std::uint32_t id, std::string_view path);
std::string FstatRequest(std::uint32_t id, std::string_view handle);
std::string StatRequest(std::uint32_t id, std::string_view path);
std::string SetstatRequest(std::uint32_t id, std::string_view path, const Attributes& attrs);
std::string OpendirRequest(std::uint32_t id, std::string_view path);
std::string ReaddirRequest(std::uint32_t id, std::string_view handle);
std::string RemoveRequest(std::uint32_t id, std::string_view path);
std::string MkdirRequest(std::uint32_t id, std::string_view path, const Attributes& attrs = {});
std::string RmdirRequest(std::uint32_t id, std::string_view path);
std::string RealpathRequest(std::uint32_t id, std::string_view path);
std::string RenameRequest(std::uint32_t id, std::string_view from, std::string_view to);

// Cuts whole packets out of the bytes read from the server, however they were
// split. A length field over the limit (it counts the type byte and the rest),
// or too short to hold the type, breaks the stream before anything is made
// room for: Next() gives nothing from then on and Error() says why.
class Framer {
public:
    explicit Framer(std::uint32_t maxPacket = kDefaultMaxPacket) : max_(maxPacket) {}
    void Feed(std::string_view bytes);
    // The next whole packet, or nothing while more bytes are needed.
    std::optional<Packet> Next();
    // Empty until the stream broke.
    const std::string& Error() const { return error_; }
    // Bytes received and not yet taken as packets.
    std::size_t Pending() const { return buffer_.size() - start_; }

private:
    std::uint32_t max_;
    std::string buffer_;
    std::size_t start_ = 0;
    std::string error_;
};

// A decoded reply, or, when the bytes could not be one, why (for the log).
template <class T> struct Decoded {
    std::optional<T> value;
    std::string error;
    explicit operator bool() const { return value.has_value(); }
    const T& operator*() const { return *value; }
    const T* operator->() const { return &*value; }
};

enum class StatusCode : std::uint32_t {
    Ok = 0,
    Eof = 1,
    NoSuchFile = 2,
    PermissionDenied = 3,
    Failure = 4,
    BadMessage = 5,
    NoConnection = 6,
    ConnectionLost = 7,
    OpUnsupported = 8,
};
// A short English text for the log ("No such file"); a code this client does
// not know reads "Unknown error".
std::string_view StatusText(StatusCode code);

struct VersionReply {
    std::uint32_t version = 0;
    std::vector<Extension> extensions;
};
struct StatusReply {
    std::uint32_t id = 0;
    StatusCode code = StatusCode::Ok;
    std::string message;  // the server's own words, as bytes
    std::string language; // a language tag, often empty
};
struct HandleReply {
    std::uint32_t id = 0;
    std::string handle;
};
struct DataReply {
    std::uint32_t id = 0;
    std::string data;
};
struct NameEntry {
    std::string filename;
    std::string longname; // an "ls -l" line for people; only its first character is read here
    Attributes attrs;
};
struct NameReply {
    std::uint32_t id = 0;
    std::vector<NameEntry> entries;
};
struct AttrsReply {
    std::uint32_t id = 0;
    Attributes attrs;
};

// Each decoder takes a packet of its own type only, and all of its bytes.
Decoded<VersionReply> DecodeVersion(const Packet& packet);
Decoded<StatusReply> DecodeStatus(const Packet& packet);
Decoded<HandleReply> DecodeHandle(const Packet& packet);
Decoded<DataReply> DecodeData(const Packet& packet);
Decoded<NameReply> DecodeName(const Packet& packet);
Decoded<AttrsReply> DecodeAttrs(const Packet& packet);

// Any reply, by its type byte; a type that is no reply of version 3 is an error.
using Reply =
    std::variant<VersionReply, StatusReply, HandleReply, DataReply, NameReply, AttrsReply>;
Decoded<Reply> DecodeReply(const Packet& packet);

} // namespace sftp
