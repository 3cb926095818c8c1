// SFTP packets: requests against hand-written bytes, the framer over every
// split of a stream, and replies no server should send.
#include "platform/sftp/SftpPacket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sftp;
using namespace std::string_literals;

namespace {

// Bytes from hex digits; blanks only separate fields for the reader.
std::string H(std::string_view hex) {
    std::string out;
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Frame(const Packet& p) {
    std::string length;
    for (int shift = 24; shift >= 0; shift -= 8)
        length.push_back(static_cast<char>(((p.body.size() + 1) >> shift) & 0xFF));
    return length + static_cast<char>(p.type) + p.body;
}

std::vector<Packet> Drain(Framer& framer) {
    std::vector<Packet> out;
    while (auto p = framer.Next())
        out.push_back(std::move(*p));
    return out;
}

// The bytes of a name no codec should touch: NUL, CR, LF, bytes that are not UTF-8.
const std::string kOddName = "a\0b\r\nc\xff\xfe\xc3("s;

struct RequestCase {
    const char* what;
    std::string built;
    std::string expected;
};

TEST(SftpRequests, AreBuiltByteForByteAsTheWireLayoutSays) {
    Attributes mode644Times;
    mode644Times.permissions = 0644;
    mode644Times.times = Times{1, 2};
    Attributes mode755;
    mode755.permissions = 0755;
    const RequestCase cases[] = {
        {"INIT", InitRequest(), H("00000005 01 00000003")},
        {"OPEN", OpenRequest(1, "/a", kOpenWrite | kOpenCreate | kOpenTruncate),
         H("00000013 03 00000001 00000002") + "/a" + H("0000001a 00000000")},
        {"CLOSE", CloseRequest(2, "h1"), H("0000000b 04 00000002 00000002") + "h1"},
        {"READ", ReadRequest(3, "h1", 0x100000005, 32768),
         H("00000017 05 00000003 00000002") + "h1" + H("00000001 00000005 00008000")},
        {"WRITE", WriteRequest(4, "h1", 7, "xyz"),
         H("0000001a 06 00000004 00000002") + "h1" + H("00000000 00000007 00000003") + "xyz"},
        {"LSTAT", LstatRequest(5, "/a"), H("0000000b 07 00000005 00000002") + "/a"},
        {"FSTAT", FstatRequest(6, "h1"), H("0000000b 08 00000006 00000002") + "h1"},
        {"STAT", StatRequest(7, "/a"), H("0000000b 11 00000007 00000002") + "/a"},
        {"SETSTAT", SetstatRequest(8, "/a", mode644Times),
         H("0000001b 09 00000008 00000002") + "/a" + H("0000000c 000001a4 00000001 00000002")},
        {"OPENDIR", OpendirRequest(9, "/"), H("0000000a 0b 00000009 00000001") + "/"},
        {"READDIR", ReaddirRequest(10, "h1"), H("0000000b 0c 0000000a 00000002") + "h1"},
        {"REMOVE", RemoveRequest(11, "/a"), H("0000000b 0d 0000000b 00000002") + "/a"},
        {"MKDIR", MkdirRequest(12, "/d", mode755),
         H("00000013 0e 0000000c 00000002") + "/d" + H("00000004 000001ed")},
        {"RMDIR", RmdirRequest(13, "/d"), H("0000000b 0f 0000000d 00000002") + "/d"},
        {"REALPATH", RealpathRequest(14, "."), H("0000000a 10 0000000e 00000001") + "."},
        {"RENAME", RenameRequest(15, "/a", "/b"),
         H("00000011 12 0000000f 00000002") + "/a" + H("00000002") + "/b"},
    };
    for (const RequestCase& c : cases) {
        EXPECT_EQ(c.built, c.expected) << c.what;
        // The same bytes read back through the framer are one packet of that type.
        Framer framer;
        framer.Feed(c.built);
        auto packets = Drain(framer);
        ASSERT_EQ(packets.size(), 1u) << c.what;
        EXPECT_EQ(packets[0].type, static_cast<std::uint8_t>(c.expected[4])) << c.what;
        EXPECT_EQ(packets[0].body, c.expected.substr(5)) << c.what;
        EXPECT_EQ(framer.Pending(), 0u) << c.what;
    }
}

TEST(SftpAttributes, EveryPartWrittenIsReadBackAndAHandWrittenReplyDecodes) {
    Attributes all;
    all.size = 0x123456789a;
    all.owner = Owner{1000, 100};
    all.permissions = 0100644;
    all.times = Times{1700000000, 1700000001};
    all.extended = {{"x@example.com", kOddName}, {"", ""}};
    // A SETSTAT carries attributes as an ATTRS reply does, after its id and path.
    std::string setstat = SetstatRequest(9, "p", all);
    auto decoded = DecodeAttrs({105, H("00000009") + setstat.substr(4 + 1 + 4 + 4 + 1)});
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_EQ(decoded->id, 9u);
    EXPECT_EQ(decoded->attrs, all);

    decoded = DecodeAttrs({105, H("00000007 0000000f 00000000 00010000 000003e8 00000064"
                                  "000081a4 00000001 00000002")});
    ASSERT_TRUE(decoded) << decoded.error;
    EXPECT_EQ(decoded->attrs.size, 65536u);
    EXPECT_EQ(decoded->attrs.owner, (Owner{1000, 100}));
    EXPECT_EQ(decoded->attrs.times, (Times{1, 2}));
    EXPECT_TRUE(IsRegularFile(decoded->attrs));
    EXPECT_FALSE(IsFolder(decoded->attrs) || IsLink(decoded->attrs));
}

// One of each reply, as a server would send them back to back.
std::vector<Packet> Replies() {
    return {
        {2, H("00000003 00000009") + "limits@x" + "\0"s + H("00000001") + "1"},
        {101, H("00000001 00000002 00000007") + "no file" + H("00000002") + "en"},
        {102, H("00000002 00000004") + "\0h\r\n"s},
        {103, H("00000003 00000005") + "data\xff"},
        {104, H("00000004 00000002 00000001") + "." + H("00000003") + "d.." +
                  H("00000004 000041ed") + H("0000000a") + kOddName + H("00000000 00000000")},
        {105, H("00000005 00000001 0000000000000400")},
    };
}

TEST(SftpFramer, YieldsTheSamePacketsWhereverTheStreamIsSplit) {
    const std::vector<Packet> replies = Replies();
    std::string stream;
    for (const Packet& p : replies) {
        stream += Frame(p);
        EXPECT_TRUE(DecodeReply(p)) << DecodeReply(p).error;
    }
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Framer framer;
        framer.Feed(stream.substr(0, cut));
        auto got = Drain(framer);
        framer.Feed(stream.substr(cut));
        for (Packet& p : Drain(framer))
            got.push_back(std::move(p));
        ASSERT_EQ(got, replies) << "split at " << cut;
        EXPECT_TRUE(framer.Error().empty());
    }
    Framer framer;
    std::vector<Packet> got;
    for (char c : stream) {
        framer.Feed(std::string_view(&c, 1));
        for (Packet& p : Drain(framer))
            got.push_back(std::move(p));
    }
    EXPECT_EQ(got, replies);
    EXPECT_EQ(framer.Pending(), 0u);
}

TEST(SftpFramer, RefusesLengthsOverItsLimitOrWithoutATypeAndStaysBroken) {
    struct Case {
        std::uint32_t limit;
        std::string stream;
        const char* error; // nullptr: one packet is fine
    } cases[] = {
        {kDefaultMaxPacket, H("ffffffff 65"), "packet of 4294967295 bytes"},
        {kDefaultMaxPacket, H("00000000 6500000001"), "without a type"},
        {100, H("00000065") + std::string(101, 'x'), "at most 100"},
        {100, H("00000064") + std::string(100, 'x'), nullptr},
    };
    for (const Case& c : cases) {
        Framer framer(c.limit);
        framer.Feed(c.stream);
        auto packets = Drain(framer);
        if (!c.error) {
            EXPECT_EQ(packets.size(), 1u);
            EXPECT_TRUE(framer.Error().empty());
            continue;
        }
        EXPECT_TRUE(packets.empty()) << c.error;
        EXPECT_NE(framer.Error().find(c.error), std::string::npos) << framer.Error();
        // Nothing is kept or made room for, and a good packet after it is not taken.
        EXPECT_EQ(framer.Pending(), 0u);
        framer.Feed(Frame({101, H("00000001 00000000")}));
        EXPECT_FALSE(framer.Next());
        EXPECT_EQ(framer.Pending(), 0u);
    }
}

TEST(SftpReplies, HostileOrBrokenRepliesAreErrorsSayingWhy) {
    struct Case {
        const char* what;
        Packet packet;
        const char* error;
    } cases[] = {
        {"empty status", {101, ""}, "cut short in the request id"},
        {"status cut inside its id", {101, H("0000")}, "cut short in the request id"},
        {"message past the end", {101, H("00000001 00000004 00000010") + "abc"}, "16 bytes"},
        {"language tag cut", {101, H("00000001 00000004 00000000 0000")}, "language tag"},
        {"handle over 256 bytes", {102, H("00000001 00000101") + std::string(257, 'h')}, "256"},
        {"handle then garbage", {102, H("00000001 00000002") + "h1!"}, "1 byte left over"},
        {"data of 0xFFFFFFFF bytes", {103, H("00000001 ffffffff") + "abc"}, "4294967295 bytes"},
        {"data cut inside its id", {103, H("000000")}, "request id"},
        {"four billion names in 20 bytes",
         {104, H("00000001 ee6b2800 00000000000000")},
         "entry count is 4000000000"},
        {"name cut inside its attributes",
         {104, H("00000001 00000001 00000001") + "a" + H("00000001") + "b" + H("00000001 0000")},
         "cut short in the size"},
        {"long name past the end",
         {104, H("00000001 00000001 00000001") + "a" + H("00000010") + "bcdefgh"},
         "long name is 16 bytes long"},
        {"flags this version lacks", {105, H("00000001 00000010")}, "0x00000010 hold bits"},
        {"extended count too large", {105, H("00000001 80000000 ffffffff")}, "4294967295"},
        {"extension cut in half", {2, H("00000003 00000001") + "x"}, "extension data"},
        {"no reply type", {42, H("00000001")}, "packet type 42"},
        {"a request as a reply", {3, H("00000001")}, "packet type 3"},
    };
    for (const Case& c : cases) {
        auto reply = DecodeReply(c.packet);
        EXPECT_FALSE(reply) << c.what;
        EXPECT_NE(reply.error.find(c.error), std::string::npos) << c.what << ": " << reply.error;
    }
    // A decoder takes its own type only.
    EXPECT_NE(DecodeHandle(Replies()[1]).error.find("expected a HANDLE"), std::string::npos);
}

TEST(SftpReplies, NamesAndStatusesCarryTheServersBytesUnchanged) {
    auto name = DecodeName(Replies()[4]);
    ASSERT_TRUE(name) << name.error;
    ASSERT_EQ(name->entries.size(), 2u);
    EXPECT_EQ(name->entries[0].longname, "d..");
    EXPECT_TRUE(IsFolder(name->entries[0].attrs));
    EXPECT_EQ(name->entries[1].filename, kOddName);
    EXPECT_EQ(name->entries[1].filename.size(), 10u);
    EXPECT_EQ(OpenRequest(1, kOddName, kOpenRead).substr(13, 10), kOddName);
    EXPECT_EQ(RenameRequest(1, "a", kOddName).substr(18), kOddName);

    auto status = DecodeStatus(Replies()[1]);
    ASSERT_TRUE(status) << status.error;
    EXPECT_EQ(status->code, StatusCode::NoSuchFile);
    EXPECT_EQ(status->message, "no file");
    EXPECT_EQ(status->language, "en");
    // A server that ends the reply after the code or the message is understood.
    EXPECT_EQ(DecodeStatus({101, H("00000001 00000001")})->code, StatusCode::Eof);
    EXPECT_EQ(DecodeStatus({101, H("00000001 00000004 00000002") + "no"})->message, "no");
}

TEST(SftpStatus, EachCodeHasItsTextAndAnUnknownOneSaysSo) {
    const char* texts[] = {"OK",
                           "End of file",
                           "No such file",
                           "Permission denied",
                           "Failure",
                           "Bad message",
                           "No connection",
                           "Connection lost",
                           "Operation unsupported",
                           "Unknown error"};
    for (std::uint32_t code = 0; code < std::size(texts); ++code)
        EXPECT_EQ(StatusText(static_cast<StatusCode>(code)), texts[code]) << code;
    EXPECT_EQ(StatusText(static_cast<StatusCode>(0xFFFFFFFF)), "Unknown error");
}

TEST(SftpAttributes, KindComesFromTheTypeBitsElseFromTheLongName) {
    struct Case {
        std::optional<std::uint32_t> permissions;
        const char* longname;
        Kind kind;
    } cases[] = {
        {040755, "", Kind::Folder},
        {0120777, "-rw-r--r--", Kind::Link}, // the type bits win
        {0100644, "d", Kind::File},
        {020666, "crw-rw-rw-", Kind::Other},
        {0755, "drwxr-xr-x", Kind::Folder}, // no type bits: the long name tells
        {std::nullopt, "lrwxrwxrwx 1 u g 3 Jan 1 2020 l -> t", Kind::Link},
        {std::nullopt, "-rw-r--r--", Kind::File},
        {std::nullopt, "prw-------", Kind::Other},
        {std::nullopt, "", Kind::Unknown},
    };
    for (const Case& c : cases) {
        Attributes a;
        a.permissions = c.permissions;
        EXPECT_EQ(KindOf(a, c.longname), c.kind) << c.longname;
    }
}

} // namespace
