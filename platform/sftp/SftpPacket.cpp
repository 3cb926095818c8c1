#include "platform/sftp/SftpPacket.h"

#include <cassert>
#include <limits>

namespace sftp {

namespace {

constexpr std::uint32_t kVersion = 3;

// Which parts of the attributes follow their flags word.
constexpr std::uint32_t kAttrSize = 0x00000001;
constexpr std::uint32_t kAttrOwner = 0x00000002;
constexpr std::uint32_t kAttrPermissions = 0x00000004;
constexpr std::uint32_t kAttrTimes = 0x00000008;
constexpr std::uint32_t kAttrExtended = 0x80000000;
constexpr std::uint32_t kAttrKnown =
    kAttrSize | kAttrOwner | kAttrPermissions | kAttrTimes | kAttrExtended;

// The file-type bits of the permissions, as they travel (Unix values).
constexpr std::uint32_t kTypeMask = 0170000;
constexpr std::uint32_t kTypeFolder = 0040000;
constexpr std::uint32_t kTypeLink = 0120000;
constexpr std::uint32_t kTypeFile = 0100000;

// The fewest bytes one NAME entry (two empty strings and a flags word) and
// one extension pair (two empty strings) can take.
constexpr std::size_t kMinNameEntry = 12;
constexpr std::size_t kMinExtension = 8;

void PutU32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// Builds one request: the length is filled in by Done().
class Builder {
public:
    explicit Builder(Type type, std::size_t extra = 0) {
        out_.reserve(64 + extra);
        out_.assign(4, '\0');
        out_.push_back(static_cast<char>(type));
    }
    Builder& U32(std::uint32_t v) {
        PutU32(out_, v);
        return *this;
    }
    Builder& U64(std::uint64_t v) {
        PutU32(out_, static_cast<std::uint32_t>(v >> 32));
        PutU32(out_, static_cast<std::uint32_t>(v));
        return *this;
    }
    Builder& String(std::string_view s) {
        assert(s.size() <= std::numeric_limits<std::uint32_t>::max());
        PutU32(out_, static_cast<std::uint32_t>(s.size()));
        out_.append(s);
        return *this;
    }
    Builder& Attrs(const Attributes& a) {
        std::uint32_t flags = (a.size ? kAttrSize : 0) | (a.owner ? kAttrOwner : 0) |
                              (a.permissions ? kAttrPermissions : 0) | (a.times ? kAttrTimes : 0) |
                              (a.extended.empty() ? 0 : kAttrExtended);
        U32(flags);
        if (a.size)
            U64(*a.size);
        if (a.owner)
            U32(a.owner->uid).U32(a.owner->gid);
        if (a.permissions)
            U32(*a.permissions);
        if (a.times)
            U32(a.times->atime).U32(a.times->mtime);
        if (!a.extended.empty()) {
            U32(static_cast<std::uint32_t>(a.extended.size()));
            for (const Extension& e : a.extended)
                String(e.name).String(e.data);
        }
        return *this;
    }
    std::string Done() {
        std::string length;
        PutU32(length, static_cast<std::uint32_t>(out_.size() - 4));
        out_.replace(0, 4, length);
        return std::move(out_);
    }

private:
    std::string out_;
};

std::string IdAndString(Type type, std::uint32_t id, std::string_view s) {
    return Builder(type, s.size()).U32(id).String(s).Done();
}

// Reads the fields of one reply. The first failure is kept and every later
// read fails too, so a decoder checks once, at its end.
class Reader {
public:
    Reader(const Packet& packet, const char* what) : rest_(packet.body), what_(what) {}

    bool U32(std::uint32_t* v, const char* field) {
        if (!Need(4, field))
            return false;
        *v = 0;
        for (int i = 0; i < 4; ++i)
            *v = (*v << 8) | static_cast<unsigned char>(rest_[i]);
        rest_.remove_prefix(4);
        return true;
    }
    bool U64(std::uint64_t* v, const char* field) {
        std::uint32_t high = 0, low = 0;
        if (!U32(&high, field) || !U32(&low, field))
            return false;
        *v = (std::uint64_t{high} << 32) | low;
        return true;
    }
    bool String(std::string* s, const char* field) {
        std::uint32_t length = 0;
        if (!U32(&length, field))
            return false;
        if (length > rest_.size())
            return Fail(std::string(field) + " is " + std::to_string(length) +
                        " bytes long; the reply holds " + std::to_string(rest_.size()) + " more");
        s->assign(rest_.substr(0, length));
        rest_.remove_prefix(length);
        return true;
    }
    // A count of items each at least `minSize` bytes long, checked against
    // what is left before anything is made room for.
    bool Count(std::uint32_t* n, std::size_t minSize, const char* field) {
        if (!U32(n, field))
            return false;
        if (*n > rest_.size() / minSize)
            return Fail(std::string(field) + " is " + std::to_string(*n) + ", more than the " +
                        std::to_string(rest_.size()) + " bytes left can hold");
        return true;
    }
    bool Attrs(Attributes* a) {
        std::uint32_t flags = 0;
        if (!U32(&flags, "attribute flags"))
            return false;
        if (flags & ~kAttrKnown)
            return Fail("attribute flags " + Hex(flags) + " hold bits version 3 does not define");
        if (flags & kAttrSize && !U64(&a->size.emplace(), "size"))
            return false;
        if (flags & kAttrOwner) {
            auto& owner = a->owner.emplace();
            if (!U32(&owner.uid, "uid") || !U32(&owner.gid, "gid"))
                return false;
        }
        if (flags & kAttrPermissions && !U32(&a->permissions.emplace(), "permissions"))
            return false;
        if (flags & kAttrTimes) {
            auto& times = a->times.emplace();
            if (!U32(&times.atime, "access time") || !U32(&times.mtime, "modification time"))
                return false;
        }
        if (flags & kAttrExtended) {
            std::uint32_t n = 0;
            if (!Count(&n, kMinExtension, "extended attribute count"))
                return false;
            a->extended.resize(n);
            for (Extension& e : a->extended)
                if (!String(&e.name, "extended attribute name") ||
                    !String(&e.data, "extended attribute data"))
                    return false;
        }
        return true;
    }

    bool AtEnd() const { return rest_.empty(); }
    bool Failed() const { return !error_.empty(); }

    // The decoded value, or the first failure, or the bytes left over.
    template <class T> Decoded<T> Finish(T value) {
        if (error_.empty() && !rest_.empty())
            Fail(std::to_string(rest_.size()) + (rest_.size() == 1 ? " byte" : " bytes") +
                 " left over at the end");
        if (!error_.empty())
            return {std::nullopt, error_};
        return {std::move(value), {}};
    }

private:
    static std::string Hex(std::uint32_t v) {
        static const char digits[] = "0123456789abcdef";
        std::string s = "0x";
        for (int shift = 28; shift >= 0; shift -= 4)
            s.push_back(digits[(v >> shift) & 0xF]);
        return s;
    }
    bool Need(std::size_t n, const char* field) {
        if (!error_.empty())
            return false;
        if (rest_.size() >= n)
            return true;
        return Fail(std::string("cut short in the ") + field);
    }
    bool Fail(const std::string& why) {
        if (error_.empty())
            error_ = std::string(what_) + " reply: " + why;
        return false;
    }

    std::string_view rest_;
    const char* what_;
    std::string error_;
};

template <class T> Decoded<T> WrongType(const Packet& packet, const char* what) {
    return {std::nullopt, "expected a " + std::string(what) + " reply, got packet type " +
                              std::to_string(packet.type)};
}

} // namespace

bool IsFolder(const Attributes& a) {
    return a.permissions && (*a.permissions & kTypeMask) == kTypeFolder;
}
bool IsLink(const Attributes& a) {
    return a.permissions && (*a.permissions & kTypeMask) == kTypeLink;
}
bool IsRegularFile(const Attributes& a) {
    return a.permissions && (*a.permissions & kTypeMask) == kTypeFile;
}

Kind KindOf(const Attributes& attrs, std::string_view longname) {
    if (attrs.permissions && (*attrs.permissions & kTypeMask) != 0) {
        if (IsFolder(attrs))
            return Kind::Folder;
        if (IsLink(attrs))
            return Kind::Link;
        return IsRegularFile(attrs) ? Kind::File : Kind::Other;
    }
    if (longname.empty())
        return Kind::Unknown;
    switch (longname[0]) {
    case 'd':
        return Kind::Folder;
    case 'l':
        return Kind::Link;
    case '-':
        return Kind::File;
    default:
        return Kind::Other;
    }
}

std::string InitRequest() {
    return Builder(Type::Init).U32(kVersion).Done();
}

std::string OpenRequest(std::uint32_t id, std::string_view path, std::uint32_t pflags,
                        const Attributes& attrs) {
    return Builder(Type::Open, path.size()).U32(id).String(path).U32(pflags).Attrs(attrs).Done();
}
std::string CloseRequest(std::uint32_t id, std::string_view handle) {
    return IdAndString(Type::Close, id, handle);
}
std::string ReadRequest(std::uint32_t id, std::string_view handle, std::uint64_t offset,
                        std::uint32_t length) {
    return Builder(Type::Read, handle.size()).U32(id).String(handle).U64(offset).U32(length).Done();
}
std::string WriteRequest(std::uint32_t id, std::string_view handle, std::uint64_t offset,
                         std::string_view data) {
    return Builder(Type::Write, handle.size() + data.size())
        .U32(id)
        .String(handle)
        .U64(offset)
        .String(data)
        .Done();
}
std::string LstatRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Lstat, id, path);
}
std::string FstatRequest(std::uint32_t id, std::string_view handle) {
    return IdAndString(Type::Fstat, id, handle);
}
std::string StatRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Stat, id, path);
}
std::string SetstatRequest(std::uint32_t id, std::string_view path, const Attributes& attrs) {
    return Builder(Type::Setstat, path.size()).U32(id).String(path).Attrs(attrs).Done();
}
std::string OpendirRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Opendir, id, path);
}
std::string ReaddirRequest(std::uint32_t id, std::string_view handle) {
    return IdAndString(Type::Readdir, id, handle);
}
std::string RemoveRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Remove, id, path);
}
std::string MkdirRequest(std::uint32_t id, std::string_view path, const Attributes& attrs) {
    return Builder(Type::Mkdir, path.size()).U32(id).String(path).Attrs(attrs).Done();
}
std::string RmdirRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Rmdir, id, path);
}
std::string RealpathRequest(std::uint32_t id, std::string_view path) {
    return IdAndString(Type::Realpath, id, path);
}
std::string RenameRequest(std::uint32_t id, std::string_view from, std::string_view to) {
    return Builder(Type::Rename, from.size() + to.size()).U32(id).String(from).String(to).Done();
}

void Framer::Feed(std::string_view bytes) {
    if (error_.empty())
        buffer_.append(bytes);
}

std::optional<Packet> Framer::Next() {
    if (!error_.empty() || Pending() < 4)
        return std::nullopt;
    const char* p = buffer_.data() + start_;
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length = (length << 8) | static_cast<unsigned char>(p[i]);
    if (length == 0 || length > max_) {
        error_ = length == 0 ? "the server sent a packet without a type"
                             : "the server announced a packet of " + std::to_string(length) +
                                   " bytes; at most " + std::to_string(max_) + " are accepted";
        buffer_.clear();
        start_ = 0;
        return std::nullopt;
    }
    if (Pending() - 4 < length)
        return std::nullopt;
    Packet packet{static_cast<std::uint8_t>(p[4]), std::string(p + 5, length - 1)};
    start_ += 4 + std::size_t{length};
    // Drop what was taken once it is most of the buffer, so a long stream of
    // small reads neither grows the buffer nor moves its tail on every packet.
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > buffer_.size() / 2) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    return packet;
}

std::string_view StatusText(StatusCode code) {
    switch (code) {
    case StatusCode::Ok:
        return "OK";
    case StatusCode::Eof:
        return "End of file";
    case StatusCode::NoSuchFile:
        return "No such file";
    case StatusCode::PermissionDenied:
        return "Permission denied";
    case StatusCode::Failure:
        return "Failure";
    case StatusCode::BadMessage:
        return "Bad message";
    case StatusCode::NoConnection:
        return "No connection";
    case StatusCode::ConnectionLost:
        return "Connection lost";
    case StatusCode::OpUnsupported:
        return "Operation unsupported";
    }
    return "Unknown error";
}

Decoded<VersionReply> DecodeVersion(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Version))
        return WrongType<VersionReply>(packet, "VERSION");
    Reader r(packet, "VERSION");
    VersionReply v;
    r.U32(&v.version, "version");
    while (!r.Failed() && !r.AtEnd()) {
        Extension& e = v.extensions.emplace_back();
        r.String(&e.name, "extension name");
        r.String(&e.data, "extension data");
    }
    return r.Finish(std::move(v));
}

Decoded<StatusReply> DecodeStatus(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Status))
        return WrongType<StatusReply>(packet, "STATUS");
    Reader r(packet, "STATUS");
    StatusReply s;
    std::uint32_t code = 0;
    r.U32(&s.id, "request id");
    r.U32(&code, "status code");
    s.code = static_cast<StatusCode>(code);
    // Some servers end the reply after the code, or after the message; a
    // field that is there must be whole.
    if (!r.AtEnd())
        r.String(&s.message, "message");
    if (!r.AtEnd())
        r.String(&s.language, "language tag");
    return r.Finish(std::move(s));
}

Decoded<HandleReply> DecodeHandle(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Handle))
        return WrongType<HandleReply>(packet, "HANDLE");
    Reader r(packet, "HANDLE");
    HandleReply h;
    r.U32(&h.id, "request id");
    r.String(&h.handle, "handle");
    auto result = r.Finish(std::move(h));
    if (result && result->handle.size() > kMaxHandleLength)
        return {std::nullopt, "HANDLE reply: the handle is " +
                                  std::to_string(result->handle.size()) + " bytes long; at most " +
                                  std::to_string(kMaxHandleLength) + " are allowed"};
    return result;
}

Decoded<DataReply> DecodeData(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Data))
        return WrongType<DataReply>(packet, "DATA");
    Reader r(packet, "DATA");
    DataReply d;
    r.U32(&d.id, "request id");
    r.String(&d.data, "data");
    return r.Finish(std::move(d));
}

Decoded<NameReply> DecodeName(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Name))
        return WrongType<NameReply>(packet, "NAME");
    Reader r(packet, "NAME");
    NameReply n;
    std::uint32_t count = 0;
    if (r.U32(&n.id, "request id") && r.Count(&count, kMinNameEntry, "entry count")) {
        n.entries.resize(count);
        for (NameEntry& e : n.entries)
            if (!r.String(&e.filename, "file name") || !r.String(&e.longname, "long name") ||
                !r.Attrs(&e.attrs))
                break;
    }
    return r.Finish(std::move(n));
}

Decoded<AttrsReply> DecodeAttrs(const Packet& packet) {
    if (packet.type != static_cast<std::uint8_t>(Type::Attrs))
        return WrongType<AttrsReply>(packet, "ATTRS");
    Reader r(packet, "ATTRS");
    AttrsReply a;
    if (r.U32(&a.id, "request id"))
        r.Attrs(&a.attrs);
    return r.Finish(std::move(a));
}

namespace {
template <class T> Decoded<Reply> AsReply(Decoded<T> d) {
    if (!d)
        return {std::nullopt, std::move(d.error)};
    return {Reply(std::move(*d.value)), {}};
}
} // namespace

Decoded<Reply> DecodeReply(const Packet& packet) {
    switch (static_cast<Type>(packet.type)) {
    case Type::Version:
        return AsReply(DecodeVersion(packet));
    case Type::Status:
        return AsReply(DecodeStatus(packet));
    case Type::Handle:
        return AsReply(DecodeHandle(packet));
    case Type::Data:
        return AsReply(DecodeData(packet));
    case Type::Name:
        return AsReply(DecodeName(packet));
    case Type::Attrs:
        return AsReply(DecodeAttrs(packet));
    default:
        return {std::nullopt, "the server sent packet type " + std::to_string(packet.type) +
                                  ", which is no reply this client knows"};
    }
}

} // namespace sftp
