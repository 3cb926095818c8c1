// Listing formats as servers send them, and lines no parser should trust.
#include "platform/ftp/ListParser.h"

#include <gtest/gtest.h>

using namespace ftp;

namespace {

// 2002-03-08 12:40:24 UTC, and "now" for the year rule: 2026-06-15.
constexpr std::int64_t kMar8_2002 = 1015591224;
const std::time_t kNow = 1781481600;

FindData One(const std::string& line, bool mlsd = false) {
    auto entries = ParseListing(line, mlsd, kNow);
    EXPECT_EQ(entries.size(), 1u) << line;
    return entries.empty() ? FindData{} : entries[0];
}

std::int64_t Utc(int y, int mo, int d, int h, int mi) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    return timegm(&t);
}

TEST(ListParser, UnixVariants) {
    FindData e = One("-rw-r--r--   1 owner    group      1234 Mar  8  2002 report.txt");
    EXPECT_EQ(e.name, "report.txt");
    EXPECT_FALSE(e.isDirectory);
    EXPECT_EQ(e.size, 1234u);
    EXPECT_EQ(e.modified, Utc(2002, 3, 8, 0, 0));
    EXPECT_FALSE(e.modifiedIsUtc);

    e = One("drwxr-xr-x    2 1000     1000         4096 Jan 05 12:40 pub");
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.name, "pub");
    // No year: the latest Jan 5 not after now.
    EXPECT_EQ(e.modified, Utc(2026, 1, 5, 12, 40));
    e = One("-rw-r--r-- 1 u g 1 Dec 24 23:59 future");
    EXPECT_EQ(e.modified, Utc(2025, 12, 24, 23, 59));

    // Missing group, ACL mark, 64-bit size, inner and leading blanks in names.
    e = One("-rw-r--r--+ 1 owner 5368709120 Feb 29 2024  two  blanks ");
    EXPECT_EQ(e.size, 5368709120ull);
    EXPECT_EQ(e.name, " two  blanks ");
    // A symlink is named by its own name.
    e = One("lrwxrwxrwx 1 root root 7 Mar  8 12:40 latest -> v2.1/src");
    EXPECT_EQ(e.name, "latest");
    EXPECT_TRUE(e.isLink);
    // Numeric dates.
    e = One("-rw-r--r-- 1 u g 99 2002-03-08 12:40 iso date.txt");
    EXPECT_EQ(e.name, "iso date.txt");
    EXPECT_EQ(e.modified, kMar8_2002 - 24);
    // "total" lines and blank lines are not entries.
    auto all = ParseListing("total 12\r\n\r\n-rw-r--r-- 1 u g 0 Jan 1 2020 a\r\n"
                            "-rw-r--r-- 1 u g 1 Jan 1 2020 b\n",
                            false, kNow);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "a");
    EXPECT_EQ(all[1].name, "b");
}

TEST(ListParser, MsDosAndEplf) {
    FindData e = One("04-27-00  12:09PM       <DIR>          Program Files");
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.name, "Program Files");
    EXPECT_EQ(e.modified, Utc(2000, 4, 27, 12, 9));
    e = One("12-31-1999  12:00AM              1,234,567 year2k.log");
    EXPECT_EQ(e.size, 1234567u);
    EXPECT_EQ(e.modified, Utc(1999, 12, 31, 0, 0));

    e = One("+i8388621.48594,m825718503,r,s280,\tdjb.html");
    EXPECT_EQ(e.name, "djb.html");
    EXPECT_EQ(e.size, 280u);
    EXPECT_EQ(e.modified, 825718503);
    EXPECT_TRUE(e.modifiedIsUtc);
    e = One("+i8388621.50690,m824255907,/,\t514");
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.name, "514");
}

TEST(ListParser, MlsdFacts) {
    FindData e = One("type=file;size=5368709120;modify=20020308124024;perm=r; a; b.txt", true);
    EXPECT_EQ(e.name, "a; b.txt");
    EXPECT_EQ(e.size, 5368709120ull);
    EXPECT_EQ(e.modified, kMar8_2002);
    EXPECT_TRUE(e.modifiedIsUtc);
    e = One("Type=dir;Modify=20020308124024.123;UNIX.mode=0755;  lead", true);
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.name, " lead");
    e = One("type=cdir;modify=20020308124024; /pub", true);
    EXPECT_EQ(e.name, ".");
    EXPECT_TRUE(e.isDots);
    e = One("type=pdir; ..", true);
    EXPECT_TRUE(e.isDots);
    e = One("type=OS.unix=symlink;size=7; link", true);
    EXPECT_TRUE(e.isLink);
}

TEST(ListParser, LinksThatMlsdFollowedAreMarkedFromTheLinkLinesOfList) {
    // What pyftpdlib sends for one folder: MLSD follows links, LIST shows them.
    auto mlsd = ParseListing("type=cdir; .\r\n"
                             "type=dir;size=4096; tofolder\r\n"
                             "type=file;size=6; a -> b\r\n"
                             "type=file;size=7; a\r\n"
                             "type=dir; dir -> x\r\n"
                             "type=dir; real\r\n"
                             "type=file;size=1; .hidden\r\n",
                             true, kNow);
    auto list = ParseListing("lrwxrwxrwx 1 u g 10 Mar 08 12:40 tofolder -> ../outside\r\n"
                             "lrwxrwxrwx 1 u g  8 Mar 08 12:40 a -> b -> real.txt\r\n"
                             "-rw-r--r-- 1 u g  7 Mar 08 12:40 a\r\n"
                             "drwxr-xr-x 2 u g 40 Mar 08 12:40 dir -> x\r\n"
                             "drwxr-xr-x 2 u g 40 Mar 08 12:40 real\r\n"
                             "lrwxrwxrwx 1 u g  7 Mar 08 12:40 dangling -> nowhere\r\n",
                             false, kNow);
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list[1].name, "a");
    EXPECT_EQ(list[1].linkTarget, "b -> real.txt");
    MarkLinks(&mlsd, list);
    auto find = [&](const std::string& name) {
        for (const FindData& e : mlsd)
            if (e.name == name)
                return e;
        ADD_FAILURE() << name;
        return FindData{};
    };
    ASSERT_EQ(mlsd.size(), 8u); // the dangling link MLSD left out is added
    EXPECT_TRUE(find("tofolder").isLink);
    EXPECT_FALSE(find("tofolder").isDirectory);
    EXPECT_TRUE(find("a -> b").isLink); // the name MLSD gave decides the split
    EXPECT_FALSE(find("a").isLink);     // a plain file of the other possible name
    EXPECT_TRUE(find("dir -> x").isDirectory);
    EXPECT_FALSE(find("dir -> x").isLink);
    EXPECT_TRUE(find("real").isDirectory);
    EXPECT_FALSE(find(".hidden").isLink); // hidden from LIST, still listed
    EXPECT_TRUE(find("dangling").isLink);
    EXPECT_TRUE(find(".").isDots);
}

TEST(ListParser, NamesThatMustNeverBecomeLocalPathsAreMarked) {
    struct {
        const char* line;
        bool safe;
        bool dots;
    } cases[] = {
        {"-rw-r--r-- 1 u g 1 Jan 1 2020 fine name", true, false},
        {"drwxr-xr-x 2 u g 1 Jan 1 2020 .", false, true},
        {"drwxr-xr-x 2 u g 1 Jan 1 2020 ..", false, true},
        {"-rw-r--r-- 1 u g 1 Jan 1 2020 ../../etc/passwd", false, false},
        {"-rw-r--r-- 1 u g 1 Jan 1 2020 dir\\evil", false, false},
        {"-rw-r--r-- 1 u g 1 Jan 1 2020 ...", true, false},
    };
    for (const auto& c : cases) {
        FindData e = One(c.line);
        EXPECT_EQ(e.safe, c.safe) << c.line;
        EXPECT_EQ(e.isDots, c.dots) << c.line;
    }
    FindData nul;
    nul.name = std::string("a\0b", 3);
    ClassifyName(nul);
    EXPECT_FALSE(nul.safe);
}

TEST(ListParser, LinesItDoesNotUnderstandAreSkipped) {
    std::string junk = std::string("\x00\x01\xff garbage\r\n", 14) +
                       "drwxr-xr-x\r\n"
                       "-rw-r--r-- 1 u g 99999999999999999999999 Jan 01 2020 huge\r\n"
                       "-rw-r--r-- 1 u g 12 Jan 01 2020 \r\n"
                       "-rw-r--r-- 1 u g 12 Foo 01 2020 month\r\n"
                       "-rw-r--r-- 1 u g 12 Jan 41 2020 day\r\n"
                       "13-45-00  25:00PM  <DIR> bad\r\n"
                       "+\tno facts\r\n" +
                       std::string(100000, 'x') + "\r\n" + "type=file;size=1\r\n";
    EXPECT_TRUE(ParseListing(junk, false, kNow).empty());
    EXPECT_TRUE(ParseListing("type=file;size=1\r\n", true, kNow).empty());
}

// Lines real servers send that a column-counting parser drops or misreads.
TEST(ListParser, OwnersGroupsAclsAndDevicesAsRealServersWriteThem) {
    // Owners named like months with a numeric group.
    FindData e = One("-rw-r--r--   1 may      10          1234 Mar  8  2002 report.txt");
    EXPECT_EQ(e.name, "report.txt");
    EXPECT_EQ(e.size, 1234u);
    EXPECT_EQ(e.modified, Utc(2002, 3, 8, 0, 0));
    e = One("drwxr-xr-x   2 jan      1000        4096 Jan 05 12:40 pub");
    EXPECT_EQ(e.name, "pub");
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.modified, Utc(2026, 1, 5, 12, 40));
    e = One("-rw-r--r--   1 dec 12 12:30 700 Feb  3 10:00 owner dec");
    EXPECT_EQ(e.name, "owner dec");
    EXPECT_EQ(e.size, 700u);
    // Groups with blanks (Windows domains).
    e = One("-rw-r--r--   1 owner    Domain Users   77 Mar  8  2002 shared.doc");
    EXPECT_EQ(e.name, "shared.doc");
    EXPECT_EQ(e.size, 77u);
    e = One("-rw-r--r--   1 owner    Domain Admin Users 12 Jan 05 12:40 x y");
    EXPECT_EQ(e.name, "x y");
    EXPECT_EQ(e.size, 12u);
    // An ACL mark written straight before the link count.
    e = One("-rw-r--r--+1 owner group 4242 Mar  8  2002 acl.txt");
    EXPECT_EQ(e.name, "acl.txt");
    EXPECT_EQ(e.size, 4242u);
    e = One("drwxr-xr-x@12 owner staff 408 Mar  8  2002 mac");
    EXPECT_EQ(e.name, "mac");
    EXPECT_TRUE(e.isDirectory);
    // Device files: "major, minor" or "major,minor" where the size stands.
    e = One("crw-rw-rw-   1 root     root       1,   3 Mar  8  2002 null");
    EXPECT_EQ(e.name, "null");
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.modified, Utc(2002, 3, 8, 0, 0));
    e = One("brw-rw----   1 root     disk       8,0 Jan 05 12:40 sda");
    EXPECT_EQ(e.name, "sda");
    EXPECT_EQ(e.size, 0u);
    // A regular file never takes "1, 3" as its size.
    EXPECT_TRUE(ParseListing("-rw-r--r-- 1 u g 1,3 Mar  8  2002 f\r\n", false, kNow).empty());
}

// Device files with one number where the size stands, and owners and groups
// with blanks (Windows servers): read, with the date as the anchor, so that
// neither the blanks nor a date inside a name move the columns.
TEST(ListParser, DevicesWithOneNumberAndOwnersOrGroupsWithBlanksAreRead) {
    const std::int64_t jan1 = Utc(2020, 1, 1, 0, 0);
    struct {
        const char* line;
        const char* name;
        std::uint64_t size;
        std::int64_t modified;
        bool directory;
        bool link;
    } cases[] = {
        // A device is a file without a size of its own, whatever the column says.
        {"crw-rw-rw- 1 root root 0 Jan 01 2020 null", "null", 0, jan1, false, false},
        {"crw-rw-rw-   1 root     root            0 Mar  8 12:40 zero", "zero", 0,
         Utc(2026, 3, 8, 12, 40), false, false},
        {"brw-rw---- 1 root disk 2049 Jan 01 2020 sda1", "sda1", 0, jan1, false, false},
        {"crw--w---- 1 root tty 136, 0 Jan 01 2020 0", "0", 0, jan1, false, false},
        {"crw-rw-rw- 1 root root 1,   3 Jan 01 2020 with  blanks", "with  blanks", 0, jan1, false,
         false},
        {"brw-rw---- 1 root disk 8 2002-03-08 12:40 iso", "iso", 0, kMar8_2002 - 24, false, false},
        {"crw-rw-rw- 1 SYSTEM Domain Users 0 Jan 01 2020 con", "con", 0, jan1, false, false},
        // Groups and owners with blanks.
        {"-rw-r--r-- 1 user Domain Users 1234 Jan 01 2020 file.txt", "file.txt", 1234, jan1, false,
         false},
        {"-rw-r--r-- 1 John Smith Domain Users 1234 Jan 01 2020 file.txt", "file.txt", 1234, jan1,
         false, false},
        {"drwxr-xr-x+ 1 Administrators Domain Users 0 Mar  8  2002 Program Files", "Program Files",
         0, Utc(2002, 3, 8, 0, 0), true, false},
        {"lrwxrwxrwx 1 user Domain Users 7 Jan 01 2020 latest -> v2/src", "latest", 7, jan1, false,
         true},
        {"-rw-r--r-- 1 a b c d e f g h i j k l m n o 5 Jan 01 2020 many words", "many words", 5,
         jan1, false, false},
        // Group words that look like a month, a day or a size.
        {"-rw-r--r-- 1 user May Staff 10 Jan 01 2020 f", "f", 10, jan1, false, false},
        {"-rw-r--r-- 1 user Dec 12 Group 10 Jan 01 2020 f", "f", 10, jan1, false, false},
        {"-rw-r--r-- 1 user Users 2019 10 Jan 01 2020 f", "f", 10, jan1, false, false},
        // A date inside the name, and blanks that begin the name, stay in it.
        {"-rw-r--r-- 1 Some User Domain Users 5 Jan 01 2020 backup Feb 02 2021.tar",
         "backup Feb 02 2021.tar", 5, jan1, false, false},
        {"-rw-r--r-- 1 user Domain Users 5 Jan 01 2020   3 Mar 04 05:06 x", "  3 Mar 04 05:06 x", 5,
         jan1, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        FindData e = One(c.line);
        EXPECT_EQ(e.name, c.name);
        EXPECT_EQ(e.size, c.size);
        EXPECT_EQ(e.modified, c.modified);
        EXPECT_EQ(e.isDirectory, c.directory);
        EXPECT_EQ(e.isLink, c.link);
        EXPECT_TRUE(e.safe);
    }
    // What still is no entry: a device column that is neither a number nor a
    // pair, and a line that ends with its date.
    for (const char* line :
         {"crw-rw-rw- 1 root root , Jan 01 2020 x", "crw-rw-rw- 1 root root 1,2,3 Jan 01 2020 x",
          "crw-rw-rw- 1 root root 1, Jan 01 2020 x", "crw-rw-rw- 1 root root x3 Jan 01 2020 x",
          "crw-rw-rw- 1 root Domain Users 0 Jan 01 2020",
          "crw-rw-rw- 1 root Domain Users 0 Jan 01 2020 "})
        EXPECT_TRUE(ParseListing(line, false, kNow).empty()) << line;
}

TEST(ListParser, IisWithFourDigitYearsFirst) {
    FindData e = One("2013-09-02  18:48       <DIR>          x");
    EXPECT_TRUE(e.isDirectory);
    EXPECT_EQ(e.name, "x");
    EXPECT_EQ(e.modified, Utc(2013, 9, 2, 18, 48));
    e = One("2013-09-02  06:48PM              1,234 with blank.txt");
    EXPECT_FALSE(e.isDirectory);
    EXPECT_EQ(e.size, 1234u);
    EXPECT_EQ(e.name, "with blank.txt");
    EXPECT_EQ(e.modified, Utc(2013, 9, 2, 18, 48));
    EXPECT_TRUE(ParseListing("2013-13-02  18:48  <DIR>  bad\r\n", false, kNow).empty());
}

// Callers that parse one line at a time get the same guarantees as the
// whole-listing parse.
TEST(ListParser, OneLineParsersMarkUnsafeNamesThemselves) {
    FindData e;
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 1 Jan 1 2020 ../../etc/passwd", kNow, &e));
    EXPECT_FALSE(e.safe);
    ASSERT_TRUE(ParseListLine("drwxr-xr-x 2 u g 1 Jan 1 2020 ..", kNow, &e));
    EXPECT_FALSE(e.safe);
    EXPECT_TRUE(e.isDots);
    ASSERT_TRUE(ParseListLine("04-27-00  12:09PM  <DIR>  a\\b", kNow, &e));
    EXPECT_FALSE(e.safe);
    ASSERT_TRUE(ParseListLine("+/,\t.", kNow, &e));
    EXPECT_FALSE(e.safe);
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 1 Jan 1 2020 fine", kNow, &e));
    EXPECT_TRUE(e.safe);
    ASSERT_TRUE(ParseMlsdLine("type=file;size=1; sub/../../x", &e));
    EXPECT_FALSE(e.safe);
    ASSERT_TRUE(ParseMlsdLine("type=pdir; whatever", &e));
    EXPECT_FALSE(e.safe);
    EXPECT_TRUE(e.isDots);
    ASSERT_TRUE(ParseMlsdLine(std::string_view("type=file; a\0b", 14), &e));
    EXPECT_FALSE(e.safe);
    ASSERT_TRUE(ParseMlsdLine("type=file; good", &e));
    EXPECT_TRUE(e.safe);
}

TEST(ListParser, AListingIsBoundedInEntries) {
    std::string tiny;
    for (int i = 0; i < 1000; ++i)
        tiny += " x\r\n";
    std::vector<FindData> entries;
    EXPECT_TRUE(ParseListing(tiny, true, kNow, 1000, &entries));
    EXPECT_EQ(entries.size(), 1000u);
    EXPECT_FALSE(ParseListing(tiny + " y\r\n", true, kNow, 1000, &entries));
    EXPECT_LE(entries.size(), 1000u);
    // Lines that are not entries do not count.
    EXPECT_TRUE(ParseListing(tiny + "total 5\r\n\r\n", false, kNow, 0, &entries));
    EXPECT_TRUE(entries.empty());
}

} // namespace
