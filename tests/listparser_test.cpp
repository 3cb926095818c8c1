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

} // namespace
