// The local directory model on temporary folders, and the path and size
// texts the local pane shows its entries with.
#include "local/LocalDirectory.h"
#include "platform/fs/Paths.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void Make(const std::string& path, size_t size) {
    std::ofstream(path) << std::string(size, 'x');
}

void SetTime(const std::string& path, int year, int month, int day) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    struct timeval times[2] = {{mktime(&t), 0}, {mktime(&t), 0}};
    utimes(path.c_str(), times);
}

std::vector<std::string> Names(const std::vector<CLocalEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries)
        names.push_back(e.m_strName);
    return names;
}

TEST(LocalDirectory, AFolderWithOnlyItsDotsScansAsEmpty) {
    TempDir dir;
    CLocalDirectory d;
    ASSERT_TRUE(d.Scan(dir.path()));
    EXPECT_EQ(d.GetFolderCount(), 0);
    EXPECT_EQ(d.GetFileCount(), 0);
    EXPECT_EQ(d.m_strPath, dir.path());
    // A folder that cannot be read leaves the model as it was.
    EXPECT_FALSE(d.Scan(dir.path() + "/missing"));
    EXPECT_EQ(d.m_strPath, dir.path());
}

TEST(LocalDirectory, TypeKeysFollowTheLastDotOfTheName) {
    TempDir dir;
    for (const char* f : {"README", "setup.exe", "logo.gif", ".profile", "name.", "a.b.txt"})
        Make(dir.path() + "/" + f, 1);
    fs::create_directory(dir.path() + "/old.stuff");
    CLocalDirectory d;
    ASSERT_TRUE(d.Scan(dir.path()));
    std::map<std::string, CLocalEntry> byName;
    for (const auto& e : d.m_arrFiles)
        byName[e.m_strName] = e;
    EXPECT_EQ(byName["README"].m_strType, "File Folder");
    EXPECT_EQ(byName[".profile"].m_strType, "profile");
    EXPECT_TRUE(byName[".profile"].m_bHidden);
    EXPECT_EQ(byName["name."].m_strType, "");
    EXPECT_EQ(byName["a.b.txt"].m_strType, "txt");
    ASSERT_EQ(d.GetFolderCount(), 1);
    EXPECT_EQ(d.GetFolder(0).m_strType, "stuff");
    EXPECT_TRUE(d.GetFolder(0).m_bDirectory);
    EXPECT_EQ(d.GetFolder(0).m_strPath, dir.path());
    // By type: README ("file folder") falls between exe and gif.
    d.Sort(CLocalDirectory::kType, false);
    std::vector<std::string> order = Names(d.m_arrFiles);
    auto pos = [&](const char* n) {
        return std::find(order.begin(), order.end(), n) - order.begin();
    };
    EXPECT_LT(pos("setup.exe"), pos("README"));
    EXPECT_LT(pos("README"), pos("logo.gif"));
}

TEST(LocalDirectory, NamesSortWithOnlyLettersFoldedAndTiesKeepTheirOrder) {
    TempDir dir;
    for (const char* f : {"b.txt", "A.txt", "_u.txt", "c.dat", "B2.dat", "a.dat"})
        Make(dir.path() + "/" + f, 5);
    CLocalDirectory d;
    ASSERT_TRUE(d.Scan(dir.path()));
    d.Sort(CLocalDirectory::kName, false);
    // '_' (0x5F) sorts before the folded letters (0x61...).
    EXPECT_EQ(Names(d.m_arrFiles),
              (std::vector<std::string>{"_u.txt", "a.dat", "A.txt", "b.txt", "B2.dat", "c.dat"}));
    d.Sort(CLocalDirectory::kName, true);
    EXPECT_EQ(Names(d.m_arrFiles).front(), "c.dat");
    // Same extension: the scan order stays in both directions.
    CLocalDirectory scan;
    ASSERT_TRUE(scan.Scan(dir.path()));
    std::vector<std::string> txt, dat;
    for (const auto& e : scan.m_arrFiles)
        (e.m_strType == "txt" ? txt : dat).push_back(e.m_strName);
    for (bool descending : {false, true}) {
        CLocalDirectory s;
        ASSERT_TRUE(s.Scan(dir.path()));
        s.Sort(CLocalDirectory::kType, descending);
        std::vector<std::string> got = Names(s.m_arrFiles);
        std::vector<std::string> expected = descending ? txt : dat;
        expected.insert(expected.end(), (descending ? dat : txt).begin(),
                        (descending ? dat : txt).end());
        EXPECT_EQ(got, expected) << descending;
    }
}

TEST(LocalDirectory, SizesSortAsNumbersAndFoldersKeepTheirScanOrder) {
    TempDir dir;
    Make(dir.path() + "/big", 3000);
    Make(dir.path() + "/small", 10);
    Make(dir.path() + "/mid", 1024);
    for (const char* f : {"f1", "f2", "f3", "f4"})
        fs::create_directory(dir.path() + "/" + f);
    CLocalDirectory scan;
    ASSERT_TRUE(scan.Scan(dir.path()));
    for (bool descending : {false, true}) {
        CLocalDirectory d;
        ASSERT_TRUE(d.Scan(dir.path()));
        d.Sort(CLocalDirectory::kSize, descending);
        EXPECT_EQ(Names(d.m_arrFolders), Names(scan.m_arrFolders));
        EXPECT_EQ(Names(d.m_arrFiles), descending
                                           ? (std::vector<std::string>{"big", "mid", "small"})
                                           : (std::vector<std::string>{"small", "mid", "big"}));
    }
}

TEST(LocalDirectory, DatesSortAsTheirTextAndLookLikeTheClassicFormat) {
    TempDir dir;
    Make(dir.path() + "/new", 1);
    Make(dir.path() + "/old", 1);
    SetTime(dir.path() + "/new", 2003, 1, 2);
    SetTime(dir.path() + "/old", 2001, 12, 31);
    CLocalDirectory d;
    ASSERT_TRUE(d.Scan(dir.path()));
    d.Sort(CLocalDirectory::kModified, false);
    ASSERT_EQ(d.GetFileCount(), 2);
    EXPECT_EQ(d.GetFile(0).m_strName, "new"); // "01/02/03" before "12/31/01"
    EXPECT_EQ(d.GetFile(0).m_strModified, "01/02/03 12:00:00");
}

TEST(LocalDirectory, KilobyteTextsAddOneToEveryNonEmptySize) {
    EXPECT_EQ(files::KbText(0), "0 KB");
    EXPECT_EQ(files::KbText(1), "1 KB");
    EXPECT_EQ(files::KbText(1023), "1 KB");
    EXPECT_EQ(files::KbText(1024), "2 KB");
    EXPECT_EQ(files::KbText(2048), "3 KB");
    EXPECT_EQ(files::KbText(5368709120ULL), "5242881 KB");
    TempDir dir;
    int fd = open((dir.path() + "/sparse").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 5368709120LL), 0);
    close(fd);
    CLocalDirectory d;
    ASSERT_TRUE(d.Scan(dir.path()));
    EXPECT_EQ(d.GetFile(0).m_dwSize, 5368709120LL);
}

TEST(LocalDirectory, PathsJoinWithoutDoublingTheSeparator) {
    EXPECT_EQ(files::Join("/", "etc"), "/etc");
    EXPECT_EQ(files::Join("/etc", "hosts"), "/etc/hosts");
    EXPECT_EQ(files::Join("/etc/", "hosts"), "/etc/hosts");
    EXPECT_EQ(files::Parent("/etc/hosts"), "/etc");
    EXPECT_EQ(files::Parent("/etc"), "/");
    EXPECT_EQ(files::Parent("/"), "/");
    // What a desktop drop names: its last step, a trailing "/" ignored.
    EXPECT_EQ(files::BaseName("/home/u/d1/"), "d1");
    EXPECT_EQ(files::BaseName("/home/u/f1.txt"), "f1.txt");
    EXPECT_EQ(files::BaseName("/"), "/");
}

// An entry knows the folder it was found in, at the root and below it.
TEST(LocalDirectory, EntriesKnowTheFolderThatHoldsThem) {
    TempDir dir;
    Make(dir.path() + "/f.txt", 3);
    CLocalEntry e;
    ASSERT_TRUE(e.Fill(dir.path(), "f.txt"));
    EXPECT_EQ(e.m_strPath, dir.path());
    ASSERT_TRUE(e.Fill(dir.path() + "/", "f.txt"));
    EXPECT_EQ(e.m_strPath, dir.path());
    ASSERT_TRUE(e.Fill("/", "tmp"));
    EXPECT_EQ(e.m_strPath, "/");
    EXPECT_TRUE(e.m_bDirectory);
    // A folder can be entered; a file, or nothing at all, cannot.
    EXPECT_TRUE(files::IsFolder(dir.path()));
    EXPECT_FALSE(files::IsFolder(dir.path() + "/f.txt"));
    EXPECT_FALSE(files::IsFolder(dir.path() + "/missing"));
    EXPECT_FALSE(files::IsFolder(""));
}

} // namespace
