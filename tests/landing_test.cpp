// The local landing of downloads and the shared path and size texts, on real
// temporary folders.
#include "platform/fs/Landing.h"
#include "platform/fs/Paths.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class LandingTest : public ::testing::Test {
protected:
    std::string At(const std::string& name) const { return files::Join(dir.path(), name); }
    static void Write(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string Slurp(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    // Every name in the folder, hidden ones too.
    std::set<std::string> Names(const std::string& folder = "") const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(folder.empty() ? dir.path() : folder))
            names.insert(e.path().filename().string());
        return names;
    }
    static void Put(files::Landing& landing, const std::string& bytes) {
        ASSERT_NE(landing.File(), nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), landing.File()), bytes.size());
    }
    TempDir dir;
    std::string why;
};

TEST_F(LandingTest, TheFileIsWrittenBesideTheTargetAndReplacesItOnlyWhenLanded) {
    struct Case {
        std::string target, old;
    } cases[] = {{"new.txt", ""}, {"old.txt", "the old bytes"}, {"sub/deep.txt", "deep"}};
    fs::create_directory(At("sub"));
    mode_t mask = umask(022);
    umask(mask);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::string target = At(c.target);
        if (!c.old.empty())
            Write(target, c.old);
        files::Landing landing;
        ASSERT_TRUE(landing.Open("/remote/" + c.target, target, 5, &why)) << why;
        EXPECT_FALSE(landing.WentOn());
        EXPECT_EQ(files::Parent(landing.TempPath()), files::Parent(target));
        EXPECT_NE(landing.TempPath(), target);
        EXPECT_EQ(files::BaseName(landing.TempPath()).rfind(".orvane-", 0), 0u);
        EXPECT_TRUE(fcntl(fileno(landing.File()), F_GETFD) & FD_CLOEXEC);
        struct stat st;
        ASSERT_EQ(stat(landing.TempPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
        Put(landing, "fresh");
        EXPECT_EQ(fs::exists(target) ? Slurp(target) : "", c.old);
        ASSERT_TRUE(landing.Land(&why)) << why;
        EXPECT_EQ(Slurp(target), "fresh");
        EXPECT_EQ(Names(files::Parent(target)).count(files::BaseName(landing.TempPath())), 0u);
        EXPECT_EQ(landing.File(), nullptr);
    }
    EXPECT_EQ(Names(), (std::set<std::string>{"new.txt", "old.txt", "sub"}));
    EXPECT_EQ(Names(At("sub")), std::set<std::string>{"deep.txt"});
}

TEST_F(LandingTest, ALandingThatFailsOrIsGivenUpLeavesTheOldTargetAndNoTemporaryFile) {
    enum End { Discarded, Dropped, KeptThenDropped, LandedOnAFolder };
    for (End end : {Discarded, Dropped, KeptThenDropped, LandedOnAFolder}) {
        SCOPED_TRACE(end);
        TempDir place;
        std::string target = files::Join(place.path(), "t.bin");
        if (end == LandedOnAFolder) {
            fs::create_directory(target);
            Write(files::Join(target, "inside"), "kept");
        } else {
            Write(target, std::string("old\0bytes", 9));
        }
        {
            files::Landing landing;
            ASSERT_TRUE(landing.Open("/t.bin", target, -1, &why)) << why;
            Put(landing, "new bytes that never land");
            if (end == Discarded)
                landing.Discard();
            if (end == KeptThenDropped) {
                ASSERT_TRUE(landing.Keep(&why)) << why;
            }
            if (end == LandedOnAFolder) {
                EXPECT_FALSE(landing.Land(&why));
                EXPECT_EQ(why, "Cannot replace " + target + ": Is a directory");
            }
        }
        EXPECT_EQ(Names(place.path()), std::set<std::string>{"t.bin"});
        if (end == LandedOnAFolder)
            EXPECT_EQ(Slurp(files::Join(target, "inside")), "kept");
        else
            EXPECT_EQ(Slurp(target), std::string("old\0bytes", 9));
    }
}

TEST_F(LandingTest, AKeptPartGoesOnFromWhatWasWrittenWholeAndOnlyForTheSameFile) {
    std::string target = At("part.bin");
    files::Landing landing;
    ASSERT_TRUE(landing.Open("/part.bin", target, 9, &why)) << why;
    landing.SetTotal(9);
    landing.SetStamp("20260101000000");
    Put(landing, "abcdef");
    ASSERT_TRUE(landing.Keep(&why)) << why;
    EXPECT_EQ(landing.Have(), 6u);
    Put(landing, "half-written");
    std::string temp = landing.TempPath();
    ASSERT_TRUE(landing.Open("/part.bin", target, 9, &why)) << why;
    EXPECT_TRUE(landing.WentOn());
    EXPECT_EQ(landing.TempPath(), temp);
    EXPECT_EQ(fs::file_size(temp), 6u);
    EXPECT_EQ(landing.Total(), 9);
    EXPECT_EQ(landing.Stamp(), "20260101000000");
    Put(landing, "ghi");
    ASSERT_TRUE(landing.Land(&why)) << why;
    EXPECT_EQ(Slurp(target), "abcdefghi");

    // A part of another file (or for another target) is dropped, not continued.
    for (const auto& [source, other] : {std::pair{"/other.bin", target}, {"/part.bin", At("x")}}) {
        ASSERT_TRUE(landing.Open("/part.bin", target, -1, &why)) << why;
        Put(landing, "abc");
        ASSERT_TRUE(landing.Keep(&why)) << why;
        temp = landing.TempPath();
        ASSERT_TRUE(landing.Open(source, other, -1, &why)) << why;
        EXPECT_FALSE(landing.WentOn());
        EXPECT_EQ(landing.Have(), 0u);
        EXPECT_FALSE(fs::exists(temp));
        landing.Discard();
    }
    EXPECT_EQ(Names(), std::set<std::string>{"part.bin"});
}

TEST_F(LandingTest, BeginningAnewEmptiesThePartAndForgetsWhatWasSaidOfTheFile) {
    std::string target = At("anew.bin");
    files::Landing landing;
    ASSERT_TRUE(landing.Open("/anew.bin", target, 4, &why)) << why;
    Put(landing, "stale part");
    ASSERT_TRUE(landing.Keep(&why)) << why;
    ASSERT_TRUE(landing.Open("/anew.bin", target, 3, &why)) << why;
    landing.SetTotal(10);
    landing.SetStamp("20260101000000");
    Put(landing, " and a stale rest"); // a try that brought bytes, then disagreed
    ASSERT_TRUE(landing.BeginAnew(&why)) << why;
    EXPECT_EQ(fs::file_size(landing.TempPath()), 0u);
    EXPECT_EQ(landing.Total(), 3); // the caller's size of this call
    EXPECT_EQ(landing.Stamp(), "");
    Put(landing, "new");
    ASSERT_TRUE(landing.Land(&why)) << why;
    EXPECT_EQ(Slurp(target), "new");
}

TEST(LandingCheck, SizesThatDisagreeWithWhatArrivedAreNamed) {
    struct Case {
        std::int64_t total; // kept from the first try
        files::TrySizes sizes;
        files::Arrival arrival;
        std::string text;
    } cases[] = {
        {-1, {0, 10, -1, -1, 10}, files::Arrival::Whole, ""},
        {-1, {0, 10, -1, -1, -1}, files::Arrival::Whole, ""},
        {-1, {0, 8, 8, -1, 10}, files::Arrival::Whole, ""}, // the announcement wins
        {-1,
         {0, 7, 10, -1, -1},
         files::Arrival::Short,
         "The download ended early: 7 of 10 bytes arrived"},
        {-1,
         {0, 4, -1, -1, 10},
         files::Arrival::Short,
         "The download ended early: 4 of 10 bytes arrived"},
        {-1,
         {0, 12, 10, -1, 12},
         files::Arrival::Long,
         "The server sent 12 bytes where 10 were announced"},
        // Going on from 6 bytes: the rest (4) or the whole (10) may be announced.
        {10, {6, 4, 4, 10, -1}, files::Arrival::Whole, ""},
        {10, {6, 4, 10, 10, -1}, files::Arrival::Whole, ""},
        {-1, {6, 4, -1, -1, 99}, files::Arrival::Whole, ""},
        {12,
         {6, 4, 4, 10, -1},
         files::Arrival::Disagrees,
         "The server gave 12 bytes as the size of the file, and 10 bytes arrived"},
        {10,
         {6, 4, 4, 11, -1},
         files::Arrival::Disagrees,
         "The server gave 11 bytes as the size of the file, and 10 bytes arrived"},
        {-1,
         {6, 4, 5, -1, -1},
         files::Arrival::Disagrees,
         "The server gave 5 bytes as the size of the file, and 10 bytes arrived"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.empty() ? "whole" : c.text);
        files::Landing landing;
        landing.SetTotal(c.total);
        files::SizeCheck check = landing.Check(c.sizes);
        EXPECT_EQ(check.arrival, c.arrival);
        EXPECT_EQ(check.text, c.text);
        EXPECT_EQ(check.arrived, c.sizes.from + c.sizes.received);
    }
}

TEST_F(LandingTest, AFolderThatCannotBeWrittenIsNamedAndLosesNothing) {
    fs::create_directory(At("locked"));
    Write(At("locked/old.txt"), "old");
    chmod(At("locked").c_str(), 0555);
    chmod(dir.path().c_str(), 0755);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    // As an ordinary user: root writes in every folder whatever its mode.
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        files::Landing landing;
        std::string text = landing.Open("/old.txt", At("locked/old.txt"), 3, &why) ? "" : why;
        bool written = write(out[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(written ? 0 : 4);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(text, "Cannot create a file in " + At("locked") + ": Permission denied");
    EXPECT_EQ(Names(At("locked")), std::set<std::string>{"old.txt"});
    EXPECT_EQ(Slurp(At("locked/old.txt")), "old");

    files::Landing landing;
    EXPECT_FALSE(landing.Open("/a", At("missing/a"), -1, &why));
    EXPECT_EQ(why, "Cannot create a file in " + At("missing") + ": No such file or directory");
    EXPECT_EQ(landing.File(), nullptr);
}

TEST_F(LandingTest, ATargetThatIsALinkIsReplacedNeverWrittenThrough) {
    Write(At("elsewhere.txt"), "outside");
    fs::create_directory(At("folder"));
    for (std::string to : {"elsewhere.txt", "folder", "nowhere"}) {
        SCOPED_TRACE(to);
        fs::create_symlink(At(to), At("link"));
        files::Landing landing;
        ASSERT_TRUE(landing.Open("/link", At("link"), -1, &why)) << why;
        Put(landing, "landed");
        ASSERT_TRUE(landing.Land(&why)) << why;
        EXPECT_FALSE(fs::is_symlink(At("link")));
        EXPECT_EQ(Slurp(At("link")), "landed");
        EXPECT_EQ(Slurp(At("elsewhere.txt")), "outside");
        EXPECT_TRUE(fs::is_empty(At("folder")));
        EXPECT_FALSE(fs::exists(At("nowhere")));
        fs::remove(At("link"));
    }
}

TEST(Paths, JoinParentAndBaseNameKeepTheirEdgeCases) {
    struct Case {
        std::string path, parent, base;
    } cases[] = {
        {"/a/b", "/a", "b"}, {"/a/b/", "/a", "b"}, {"/a", "/", "a"},
        {"/", "/", "/"},     {"", ".", ""},        {"b", ".", "b"},
        {"a/", ".", "a"},    {"a/b", "a", "b"},    {"//a", "/", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.path + "\"");
        EXPECT_EQ(files::Parent(c.path), c.parent);
        EXPECT_EQ(files::BaseName(c.path), c.base);
    }
    struct Joined {
        std::string folder, name, joined;
    } joins[] = {{"a", "b", "a/b"},
                 {"/", "b", "/b"},
                 {"", "b", "b"},
                 {"a/", "b", "a/b"},
                 {"/a", "b", "/a/b"}};
    for (const Joined& j : joins)
        EXPECT_EQ(files::Join(j.folder, j.name), j.joined) << j.folder << " + " << j.name;
}

TEST(Paths, SizesAreWholeKilobytesPlusOne) {
    std::pair<std::uint64_t, std::string> cases[] = {{0, "0 KB"},    {1, "1 KB"},
                                                     {1023, "1 KB"}, {1024, "2 KB"},
                                                     {7010, "7 KB"}, {5368709120ull, "5242881 KB"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(files::KbText(bytes), text) << bytes;
}

TEST_F(LandingTest, OnlyAFolderThatCanBeEnteredIsAFolder) {
    Write(At("file"), "x");
    fs::create_directory(At("folder"));
    fs::create_directory_symlink(At("folder"), At("to-folder"));
    EXPECT_TRUE(files::IsFolder(At("folder")));
    EXPECT_TRUE(files::IsFolder(At("to-folder")));
    EXPECT_FALSE(files::IsFolder(At("file")));
    EXPECT_FALSE(files::IsFolder(At("missing")));
    EXPECT_FALSE(files::IsFolder(""));
}

} // namespace
