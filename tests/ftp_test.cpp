// The FTP layer against real servers (pyftpdlib and vsftpd, passive and
// active) and against our scripted server for the faults real ones lack.
#include "platform/ftp/FtpSession.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace ftp;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return s;
}

std::vector<std::string> TempFilesIn(const std::string& dir) {
    std::vector<std::string> found;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".orvane-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

using Param = std::tuple<ServerKind, Mode>;

class RealServerTest : public ::testing::TestWithParam<Param> {
protected:
    std::unique_ptr<FtpServer> server;
    TempDir local;

    void SetUp() override {
        server = std::make_unique<FtpServer>(std::get<0>(GetParam()));
        ASSERT_TRUE(server->ok()) << server->error();
    }

    std::shared_ptr<Session> Connect(const std::string& user = FtpServer::User(),
                                     const std::string& password = FtpServer::Password()) {
        server->Share();
        ConnectParams p;
        p.host = "127.0.0.1";
        p.port = server->port();
        p.user = user;
        p.password = password;
        p.mode = std::get<1>(GetParam());
        p.connectTimeoutSec = 10;
        p.responseTimeoutSec = 20;
        return Session::Open(p);
    }
    std::string Root(const std::string& rel) const { return server->root() + "/" + rel; }
};

std::string ParamName(const testing::TestParamInfo<Param>& info) {
    return std::string(KindName(std::get<0>(info.param))) +
           (std::get<1>(info.param) == Mode::Passive ? "_passive" : "_active");
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServerTest,
                         testing::Combine(testing::Values(ServerKind::Pyftpdlib,
                                                          ServerKind::Vsftpd),
                                          testing::Values(Mode::Passive, Mode::Active)),
                         ParamName);

TEST_P(RealServerTest, LogsInAndEntersFoldersByEveryPathForm) {
    fs::create_directories(Root("pub/x y"));
    Write(Root("pub/file.txt"), "data");
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_EQ(s->GetCurrentDirectory(), "/");
    EXPECT_TRUE(s->SetCurrentDirectory("pub"));
    EXPECT_EQ(s->GetCurrentDirectory(), "/pub");
    EXPECT_TRUE(s->SetCurrentDirectory("x y"));
    EXPECT_EQ(s->GetCurrentDirectory(), "/pub/x y");
    EXPECT_TRUE(s->SetCurrentDirectory("//pub"));
    EXPECT_TRUE(s->SetCurrentDirectory("///pub//x y/"));
    EXPECT_EQ(s->GetCurrentDirectory(), "/pub/x y");
    EXPECT_TRUE(s->SetCurrentDirectory("/"));
    // A file and a missing folder are not folders; the session goes on.
    EXPECT_FALSE(s->SetCurrentDirectory("/pub/file.txt"));
    EXPECT_FALSE(s->SetCurrentDirectory("/missing"));
    EXPECT_NE(LastResponse().find("550"), std::string::npos) << LastResponse();
    EXPECT_EQ(s->GetCurrentDirectory(), "/");
    // Entering the same folder twice asks the server each time.
    EXPECT_TRUE(s->SetCurrentDirectory("/pub"));
    fs::remove_all(Root("pub"));
    EXPECT_FALSE(s->SetCurrentDirectory("/pub"));

    auto anon = Connect("anonymous", "guest@");
    EXPECT_TRUE(anon) << LastResponse();
    // A host typed as an address.
    ConnectParams p;
    p.host = "ftp://127.0.0.1/some/path";
    p.port = server->port();
    p.user = "anonymous";
    p.password = "guest@";
    p.mode = std::get<1>(GetParam());
    EXPECT_TRUE(Session::Open(p)) << LastResponse();
}

TEST_P(RealServerTest, RefusedLoginFailsWithoutShowingThePassword) {
    auto s = Connect(FtpServer::User(), "wrong-Pa55");
    EXPECT_FALSE(s);
    EXPECT_NE(LastResponse().find("530"), std::string::npos) << LastResponse();
    EXPECT_EQ(LastResponse().find("wrong-Pa55"), std::string::npos);
}

// Names are bytes from strangers: a CR or LF would end our command and start
// the server's next one.
TEST_P(RealServerTest, PathsWithLineBreaksOrNulAreRefusedBeforeAnythingIsSent) {
    Write(Root("victim"), "keep");
    fs::create_directories(Root("folder"));
    Write(local.path() + "/src", "data");
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    for (std::string bad : {std::string("/a\r\nDELE /victim"), std::string("/a\nDELE /victim"),
                            std::string("/a\rDELE /victim"), std::string("/victim\0x", 9)}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(s->DeleteFile(bad));
        EXPECT_NE(LastResponse().find("Refused"), std::string::npos) << LastResponse();
        EXPECT_FALSE(s->RemoveDirectory(bad));
        EXPECT_FALSE(s->CreateDirectory(bad));
        EXPECT_FALSE(s->RenameFile(bad, "/renamed"));
        EXPECT_FALSE(s->RenameFile("/victim", bad));
        EXPECT_FALSE(s->SetCurrentDirectory(bad));
        FindData one;
        EXPECT_FALSE(s->FindFirstFile(bad, &one));
        std::vector<FindData> entries;
        EXPECT_FALSE(s->ListDirectory(bad, &entries));
        EXPECT_FALSE(s->GetFile(bad, local.path() + "/got"));
        EXPECT_FALSE(s->PutFile(local.path() + "/src", bad));
    }
    EXPECT_EQ(Slurp(Root("victim")), "keep");
    EXPECT_FALSE(fs::exists(Root("renamed")));
    EXPECT_TRUE(fs::is_directory(Root("folder")));
    EXPECT_FALSE(fs::exists(local.path() + "/got"));
    EXPECT_EQ(std::distance(fs::directory_iterator(server->root()), {}), 2);
    // A user name with a line break is refused as well.
    EXPECT_FALSE(Connect("orvaneftp\r\nSITE x", FtpServer::Password()));
    EXPECT_NE(LastResponse().find("Refused"), std::string::npos) << LastResponse();
    // The session is fine.
    EXPECT_TRUE(s->SetCurrentDirectory("/folder")) << LastResponse();
}

// With a size from the caller: the bytes are counted against it; with none
// libcurl's SIZE does the same. A file that changed since its listing (a
// stale size) still arrives whole.
TEST_P(RealServerTest, DownloadsAreCheckedAgainstTheAnnouncedSize) {
    std::string data = Pattern(300000);
    Write(Root("f.bin"), data);
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/f.bin";
    ASSERT_TRUE(s->GetFile("/f.bin", target, nullptr, static_cast<std::int64_t>(data.size())))
        << LastResponse();
    EXPECT_EQ(Slurp(target), data);
    ASSERT_TRUE(s->GetFile("/f.bin", target, nullptr, 1234)) << LastResponse();
    EXPECT_EQ(Slurp(target), data);
    ASSERT_TRUE(s->GetFile("/f.bin", target)) << LastResponse();
    EXPECT_EQ(Slurp(target), data);
}

TEST_P(RealServerTest, ListsOddNamesFoldersAndSixtyFourBitSizes) {
    const std::vector<std::string> names = {"a b.txt",    "#hash",  "100%",
                                            "semi;colon", "q?mark", "ünïcødé.txt"};
    for (const std::string& n : names)
        Write(Root(n), n);
    fs::create_directories(Root("dir with space"));
    {
        // A sparse 5 GiB file.
        int fd = open(Root("big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(ftruncate(fd, 5368709120LL), 0);
        close(fd);
    }
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::vector<FindData> entries;
    ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    std::map<std::string, FindData> byName;
    for (const FindData& e : entries)
        if (!e.isDots)
            byName[e.name] = e;
    for (const std::string& n : names) {
        ASSERT_TRUE(byName.count(n)) << n;
        EXPECT_EQ(byName[n].size, n.size());
        EXPECT_FALSE(byName[n].isDirectory);
        EXPECT_TRUE(byName[n].safe);
        EXPECT_GT(byName[n].modified, 1700000000);
    }
    EXPECT_TRUE(byName["dir with space"].isDirectory);
    EXPECT_EQ(byName["big.bin"].size, 5368709120ull);
    EXPECT_EQ(byName.size(), names.size() + 2);

    // One name: found with its size, or none.
    FindData one;
    auto find = s->FindFirstFile("/big.bin", &one);
    ASSERT_TRUE(find);
    EXPECT_EQ(one.size, 5368709120ull);
    EXPECT_FALSE(find->FindNext(&one));
    ASSERT_TRUE(s->SetCurrentDirectory("/"));
    EXPECT_TRUE(s->FindFirstFile("a b.txt", &one));
    EXPECT_EQ(one.name, "a b.txt");
    EXPECT_FALSE(s->FindFirstFile("/nothing-here.txt", &one));
    // The current folder, entry by entry.
    ASSERT_TRUE(s->SetCurrentDirectory("/dir with space"));
    Write(Root("dir with space/inner"), "12345");
    find = s->FindFirstFile("", &one);
    ASSERT_TRUE(find);
    size_t count = 0;
    do {
        if (!one.isDots) {
            EXPECT_EQ(one.name, "inner");
            ++count;
        }
    } while (find->FindNext(&one));
    EXPECT_EQ(count, 1u);
}

TEST_P(RealServerTest, FilesTravelBothWaysByteForByte) {
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::string data = Pattern(3 * 1024 * 1024 + 17);
    Write(local.path() + "/src.bin", data);
    for (std::string name : {"up load #1.bin", "100% ü.bin"}) {
        std::uint64_t lastDone = 0;
        ASSERT_TRUE(s->PutFile(local.path() + "/src.bin", "/" + name,
                               [&](std::uint64_t done, std::uint64_t) { lastDone = done; }))
            << LastResponse();
        EXPECT_EQ(lastDone, data.size());
        EXPECT_EQ(Slurp(Root(name)), data);
        std::string back = local.path() + "/" + name;
        Write(back, "old contents");
        lastDone = 0;
        ASSERT_TRUE(s->GetFile("/" + name, back, [&](std::uint64_t done, std::uint64_t) {
            lastDone = done;
        })) << LastResponse();
        EXPECT_EQ(lastDone, data.size());
        EXPECT_EQ(Slurp(back), data);
    }
    // Empty files too.
    Write(local.path() + "/empty", "");
    ASSERT_TRUE(s->PutFile(local.path() + "/empty", "/empty"));
    ASSERT_TRUE(s->GetFile("/empty", local.path() + "/empty-back"));
    EXPECT_EQ(Slurp(local.path() + "/empty-back"), "");
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
}

// The size asked after an upload names the file as the upload did: odd
// names, the root and deep folders all end as a plain success.
TEST_P(RealServerTest, UploadsOfOddNamesInAnyFolderAreDoneWithTheStoreReply) {
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::string data = Pattern(100000);
    Write(local.path() + "/src.bin", data);
    for (std::string folder : {"/a", "/a/b c", "/a/b c/d#e", "/a/b c/d#e/f%g"})
        ASSERT_TRUE(s->CreateDirectory(folder)) << folder << ": " << LastResponse();
    std::vector<std::string> paths = {
        "/ lead.bin",      "/trail.bin ", "/#h.bin", "/50%25.bin", "/a/b c/d#e/f%g/deep.bin",
        "/a/b c/-dash.bin"};
    // pyftpdlib keeps names as text: bytes that are not UTF-8 are stored
    // under another name there.
    if (std::get<0>(GetParam()) == ServerKind::Vsftpd)
        paths.push_back("/caf\xE9.bin");
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(s->PutFile(local.path() + "/src.bin", path, nullptr)) << LastResponse();
        EXPECT_EQ(LastResponse().compare(0, 4, "226 "), 0) << LastResponse();
        EXPECT_TRUE(Slurp(Root(path.substr(1))) == data);
    }
}

TEST_P(RealServerTest, AFailedDownloadLeavesTheExistingFileAlone) {
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/keep.txt";
    Write(target, "precious");
    EXPECT_FALSE(s->GetFile("/missing.txt", target));
    EXPECT_NE(LastResponse().find("550"), std::string::npos) << LastResponse();
    EXPECT_EQ(Slurp(target), "precious");
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
    // A local folder that cannot take the file.
    Write(Root("there.txt"), "x");
    EXPECT_FALSE(s->GetFile("/there.txt", local.path() + "/no/such/folder/there.txt"));
    // Uploading a missing local file fails before anything is sent.
    EXPECT_FALSE(s->PutFile(local.path() + "/nope", "/nope"));
    EXPECT_FALSE(fs::exists(Root("nope")));
    // So does a pipe put where a file was: at once, without waiting for a
    // writer (a writer opens it after a while, should the upload wait).
    std::string pipe = local.path() + "/pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::promise<void> returned;
    std::thread writer([&pipe, gone = returned.get_future()] {
        if (gone.wait_for(std::chrono::seconds(3)) == std::future_status::ready)
            return;
        int fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s->PutFile(pipe, "/pipe"));
    returned.set_value();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(LastResponse().find("is not a file"), std::string::npos) << LastResponse();
    EXPECT_FALSE(fs::exists(Root("pipe")));
    writer.join();
    // The session is still fine.
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries));
}

TEST_P(RealServerTest, FoldersAreMadeRenamedAndRemovedAndFailuresReported) {
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->CreateDirectory("/new #1")) << LastResponse();
    EXPECT_TRUE(fs::is_directory(Root("new #1")));
    EXPECT_FALSE(s->CreateDirectory("/new #1")); // exists
    ASSERT_TRUE(s->SetCurrentDirectory("/new #1"));
    EXPECT_TRUE(s->CreateDirectory("sub dir")); // relative to the current folder
    EXPECT_TRUE(fs::is_directory(Root("new #1/sub dir")));
    Write(Root("new #1/f 1.txt"), "1");
    server->Share();
    EXPECT_TRUE(s->RenameFile("f 1.txt", "/new #1/f%2.txt")) << LastResponse();
    EXPECT_TRUE(fs::exists(Root("new #1/f%2.txt")));
    EXPECT_FALSE(s->RenameFile("/new #1/absent", "/new #1/other"));
    EXPECT_FALSE(s->RemoveDirectory("/new #1")); // not empty
    EXPECT_TRUE(s->DeleteFile("/new #1/f%2.txt")) << LastResponse();
    EXPECT_FALSE(s->DeleteFile("/new #1/f%2.txt")); // already gone
    EXPECT_NE(LastResponse().find("550"), std::string::npos) << LastResponse();
    EXPECT_TRUE(s->RemoveDirectory("/new #1/sub dir"));
    EXPECT_TRUE(s->SetCurrentDirectory("/"));
    EXPECT_TRUE(s->RemoveDirectory("/new #1"));
    EXPECT_FALSE(fs::exists(Root("new #1")));
    EXPECT_FALSE(s->RemoveDirectory("/"));
}

TEST_P(RealServerTest, StopEndsATransferQuicklyAndTheSessionGoesOn) {
    {
        int fd = open(Root("huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_EQ(ftruncate(fd, 4LL << 30), 0);
        close(fd);
    }
    fs::create_directories(Root("after"));
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    ASSERT_TRUE(s->SetCurrentDirectory("/after"));
    std::string target = local.path() + "/huge.bin";
    Write(target, "keep me");
    std::atomic<bool> started{false};
    std::chrono::steady_clock::time_point stopAt;
    std::thread stopper([&] {
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stopAt = std::chrono::steady_clock::now();
        s->Abort();
    });
    bool ok = s->GetFile("/huge.bin", target, [&](std::uint64_t done, std::uint64_t) {
        if (done > (8u << 20))
            started = true;
    });
    auto ended = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastResponse(), "Stopped");
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - stopAt).count(), 500);
    EXPECT_EQ(Slurp(target), "keep me");
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
    // Logged in again by itself, still in its folder.
    EXPECT_EQ(s->GetCurrentDirectory(), "/after");
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    // Closed: every further request is refused.
    s->Close();
    EXPECT_FALSE(s->SetCurrentDirectory("/"));
}

TEST_P(RealServerTest, RequestsFromSeveralThreadsAreSerialised) {
    for (int d = 0; d < 4; ++d) {
        fs::create_directories(Root("d" + std::to_string(d)));
        for (int f = 0; f <= d; ++f)
            Write(Root("d" + std::to_string(d) + "/f" + std::to_string(f)), "x");
    }
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int d = 0; d < 4; ++d)
        threads.emplace_back([&, d] {
            for (int round = 0; round < 5; ++round) {
                std::vector<FindData> entries;
                if (!s->ListDirectory("/d" + std::to_string(d), &entries)) {
                    ++wrong;
                    continue;
                }
                size_t files = 0;
                for (const FindData& e : entries)
                    files += !e.isDots;
                if (files != static_cast<size_t>(d + 1))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

TEST_P(RealServerTest, SessionSocketsAreNotInheritedByPrograms) {
    auto s = Connect();
    ASSERT_TRUE(s) << LastResponse();
    int sockets = 0;
    for (auto& e : fs::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(e.path().filename().string());
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
            ++sockets;
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "socket " << fd;
        }
    }
    EXPECT_GE(sockets, 1);
}

// Faults real servers do not produce.

ConnectParams ScriptedParams(const ScriptedServer& server, long timeout = 10) {
    ConnectParams p;
    p.host = "127.0.0.1";
    p.port = server.port();
    p.user = "user";
    p.password = "Secret-Word";
    p.connectTimeoutSec = timeout;
    p.responseTimeoutSec = timeout;
    p.lowSpeedTimeSec = timeout;
    return p;
}

std::shared_ptr<Session> ConnectScripted(const ScriptedServer& server, long timeout = 10) {
    return Session::Open(ScriptedParams(server, timeout));
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(ScriptedServerTest, ADroppedDownloadFailsAndKeepsTheOldFile) {
    ScriptedServer server("drop-retr");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    Write(target, "old");
    EXPECT_FALSE(s->GetFile("/file.bin", target));
    EXPECT_EQ(Slurp(target), "old");
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse(); // connects again
}

TEST(ScriptedServerTest, ALostDownloadKeepsItsPartForTheNextTryAndNothingOnceGivenUp) {
    ScriptedServer server("drop-retr");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    Write(target, "old");
    {
        files::Landing partial;
        EXPECT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
        EXPECT_EQ(LastFailure(), Failure::ConnectionLost);
        EXPECT_EQ(partial.Have(), 524288u);
        // The part waits beside the target, never in its place.
        std::vector<std::string> temps = TempFilesIn(local.path());
        ASSERT_EQ(temps.size(), 1u);
        EXPECT_EQ(fs::file_size(temps[0]), 524288u);
        EXPECT_EQ(Slurp(target), "old");
        // This server takes no REST: the next try starts over, and is cut again.
        EXPECT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
        EXPECT_EQ(LastFailure(), Failure::ConnectionLost);
        EXPECT_EQ(partial.Have(), 524288u);
        EXPECT_EQ(TempFilesIn(local.path()).size(), 1u);
    }
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
    EXPECT_EQ(Slurp(target), "old");
}

TEST(ScriptedServerTest, AServerThatIgnoresRestIsCaughtAndTheFileFetchedWhole) {
    ScriptedServer server("rest-ignored");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    files::Landing partial;
    ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
    ASSERT_EQ(partial.Have(), 524288u);
    // The bytes that come after REST begin at the file's start, not where the
    // part ends: seen, and the whole file is fetched once more.
    EXPECT_TRUE(s->GetFile("/file.bin", target, nullptr, -1, &partial)) << LastResponse();
    std::string counted; // each 4-byte word its own index, big-endian
    for (std::uint32_t i = 0; i < (1u << 18); ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            counted += static_cast<char>((i >> shift) & 0xFF);
    EXPECT_TRUE(Slurp(target) == counted);
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
}

// A server that gives no size anywhere, whose file changed between two tries
// (so the download was begun anew) and whose next resumed try ends short
// with a clean 226: the size the caller knew still holds, and the file never
// lands short.
TEST(ScriptedServerTest, AFileBegunAnewStillHoldsToTheSizeTheCallerKnew) {
    ScriptedServer server("quiet-changes");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    Write(target, "old");
    const std::int64_t listed = 1 << 20;
    files::Landing partial;
    ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, listed, &partial));
    ASSERT_EQ(partial.Have(), 1u << 19);
    // Other bytes where the part ends: begun anew, and cut at half again.
    ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, listed, &partial));
    ASSERT_EQ(LastFailure(), Failure::ConnectionLost);
    ASSERT_EQ(partial.Have(), 1u << 19);
    bool ok = s->GetFile("/file.bin", target, nullptr, listed, &partial);
    std::string got = Slurp(target);
    EXPECT_TRUE(ok) << LastResponse();
    std::string changed;
    for (std::uint32_t i = 0; i < (1u << 18); ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            changed += static_cast<char>((i >> shift) & 0xFF);
    changed.replace((1u << 19) - 100, 100, std::string(100, '\xee'));
    EXPECT_EQ(got.size(), changed.size());
    EXPECT_TRUE(got == changed);
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
}

// A try that goes on from the part kept and brings more than the file holds
// (the server's SIZE agreeing, the caller's size not) is begun anew within the
// call: nothing of the overrun stays past the end of the file that lands.
TEST(ScriptedServerTest, AnOverrunAfterResumeLeavesNothingPastTheEndOfTheFileBegunAnew) {
    ScriptedServer server("resume-long");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    const std::int64_t listed = 1 << 20;
    files::Landing partial;
    ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, listed, &partial));
    ASSERT_EQ(partial.Have(), 1u << 19);
    EXPECT_TRUE(s->GetFile("/file.bin", target, nullptr, listed, &partial)) << LastResponse();
    std::string counted; // each 4-byte word its own index, big-endian
    for (std::uint32_t i = 0; i < (1u << 18); ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            counted += static_cast<char>((i >> shift) & 0xFF);
    std::string got = Slurp(target);
    EXPECT_EQ(got.size(), counted.size());
    EXPECT_TRUE(got == counted);
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
}

// A download cut once, then fetched from the part it kept while the server's
// file is another: what lands is the server's file as it is now, never the
// old part with the new file's length.
struct ChangedFileCase {
    const char* scenario;
    size_t size; // of the file at the second try
};

void PrintTo(const ChangedFileCase& c, std::ostream* os) {
    *os << c.scenario;
}

class ChangedFileTest : public ::testing::TestWithParam<ChangedFileCase> {};

INSTANTIATE_TEST_SUITE_P(Scripted, ChangedFileTest,
                         ::testing::Values(ChangedFileCase{"shrinks", (1u << 19) - 1000},
                                           ChangedFileCase{"shrinks-to-rest", (1u << 19) - 65536},
                                           ChangedFileCase{"grows", (1u << 20) + 1000},
                                           ChangedFileCase{"drop-at-end", 1u << 20}),
                         [](const auto& info) {
                             std::string name = info.param.scenario;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST_P(ChangedFileTest, ADownloadGoingOnFromItsPartGetsTheFileAsTheServerHoldsItNow) {
    ScriptedServer server(GetParam().scenario);
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string target = local.path() + "/file.bin";
    files::Landing partial;
    ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
    ASSERT_EQ(LastFailure(), Failure::ConnectionLost) << LastResponse();
    ASSERT_GT(partial.Have(), 65536u);
    EXPECT_TRUE(s->GetFile("/file.bin", target, nullptr, -1, &partial)) << LastResponse();
    std::string counted; // each 4-byte word its own index, big-endian
    for (std::uint32_t i = 0; i < (1u << 18); ++i)
        for (int shift = 24; shift >= 0; shift -= 8)
            counted += static_cast<char>((i >> shift) & 0xFF);
    std::string now = GetParam().size <= counted.size()
                          ? counted.substr(0, GetParam().size)
                          : counted + counted.substr(0, GetParam().size - counted.size());
    std::string got = Slurp(target);
    EXPECT_EQ(got.size(), now.size());
    EXPECT_TRUE(got == now);
    EXPECT_TRUE(TempFilesIn(local.path()).empty());
}

// After a cut, a server that refuses the new login: the refusal ends the
// tries (the caller tries again only after a lost connection), and nothing
// logs in over and over; a server that is gone (421 at each greeting) costs
// one connection per request.
TEST(ScriptedServerTest, ALoginRefusedAfterACutEndsTheTriesWithTheServersReply) {
    for (const char* scenario : {"relogin-refused", "relogin-421"}) {
        SCOPED_TRACE(scenario);
        TempDir dir;
        std::string record = dir.path() + "/commands.txt";
        setenv("ORVANE_SCRIPT_RECORD", record.c_str(), 1);
        ScriptedServer server(scenario);
        unsetenv("ORVANE_SCRIPT_RECORD");
        ASSERT_TRUE(server.ok());
        auto s = ConnectScripted(server);
        ASSERT_TRUE(s) << LastResponse();
        std::string target = dir.path() + "/file.bin";
        files::Landing partial;
        ASSERT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
        ASSERT_EQ(LastFailure(), Failure::ConnectionLost);
        EXPECT_FALSE(s->GetFile("/file.bin", target, nullptr, -1, &partial));
        bool refused = std::string(scenario) == "relogin-refused";
        EXPECT_EQ(LastFailure(), refused ? Failure::Refused : Failure::ConnectionLost);
        EXPECT_EQ(LastResponse().substr(0, 3), refused ? "530" : "421") << LastResponse();
        std::vector<FindData> entries;
        EXPECT_FALSE(s->ListDirectory("/", &entries));
        std::ifstream in(record);
        int users = 0;
        for (std::string line; std::getline(in, line);)
            users += line.rfind("USER ", 0) == 0;
        // The first login, one for the second try, one for the listing.
        EXPECT_LE(users, 3);
    }
}

// A listing cut halfway by a lost connection is asked once more on a new
// login; half a folder is never taken for all of it.
TEST(ScriptedServerTest, AListingCutHalfwayIsAskedOnceMoreAndNeverTakenForTheFolder) {
    {
        ScriptedServer server("list-cut");
        ASSERT_TRUE(server.ok());
        auto s = ConnectScripted(server);
        ASSERT_TRUE(s) << LastResponse();
        std::vector<FindData> entries;
        EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
        EXPECT_EQ(entries.size(), 1000u);
    }
    ScriptedServer server("list-cut-always");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_EQ(LastFailure(), Failure::ConnectionLost);
    EXPECT_TRUE(entries.empty());
    FindData first;
    EXPECT_FALSE(s->FindFirstFile("", &first));
}

// A Stop while the next try of an upload asks what the server kept ends the
// upload there: no STOR or APPE goes out after it (a STOR would cut the
// server's copy short), and no try is announced.
TEST(ScriptedServerTest, AStopWhileAnUploadAsksWhatTheServerKeptSendsNothingMore) {
    TempDir dir;
    std::string record = dir.path() + "/commands.txt";
    setenv("ORVANE_SCRIPT_RECORD", record.c_str(), 1);
    ScriptedServer server("stor-cut-slow-size");
    unsetenv("ORVANE_SCRIPT_RECORD");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string source = dir.path() + "/up.bin";
    Write(source, std::string(1 << 20, 'u'));
    files::PartialUpload partial;
    int resumed = 0;
    partial.onResume = [&](std::uint64_t) { ++resumed; };
    ASSERT_FALSE(s->PutFile(source, "/up.bin", nullptr, &partial));
    ASSERT_EQ(LastFailure(), Failure::ConnectionLost) << LastResponse();
    auto commands = [&] {
        std::ifstream in(record);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    };
    Failure second = Failure::None;
    bool ok = true;
    std::thread next([&] {
        ok = s->PutFile(source, "/up.bin", nullptr, &partial);
        second = LastFailure();
    });
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto asked = [&] {
        for (const std::string& c : commands())
            if (c.rfind("SIZE ", 0) == 0)
                return true;
        return false;
    };
    while (!asked() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(asked());
    s->Abort();
    next.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(second, Failure::Stopped);
    EXPECT_EQ(resumed, 0);
    int stores = 0;
    for (const std::string& c : commands())
        stores += c.rfind("STOR ", 0) == 0 || c.rfind("APPE ", 0) == 0;
    EXPECT_EQ(stores, 1);
}

// A server that ends a file early when its data connection is cut cleanly
// still reports the transfer complete: the upload is done only when the
// server holds every byte, and a short copy counts as a size mismatch (the
// next try sends the file whole; what the server said it completed is never
// appended to).
TEST(ScriptedServerTest, AnUploadTheServerKeptShortIsNoSuccess) {
    TempDir dir;
    ScriptedServer server("stor-short");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string source = dir.path() + "/up.bin";
    Write(source, std::string(1 << 20, 'u'));
    EXPECT_FALSE(s->PutFile(source, "/up.bin", nullptr));
    EXPECT_EQ(LastFailure(), Failure::SizeMismatch);
    EXPECT_EQ(LastResponse(), "The server holds 524288 of 1048576 bytes");
    // An empty file is whole at any half.
    Write(source, "");
    EXPECT_TRUE(s->PutFile(source, "/up.bin", nullptr)) << LastResponse();
    EXPECT_EQ(LastResponse(), "226 stored");
}

// Servers word their reply to SIZE in their own ways: a size with words
// after it, or spaces, still tells a short copy from a whole one; a reply
// with no size in it says nothing (and is read only as far as it goes).
TEST(ScriptedServerTest, AShortCopyIsCaughtWhateverTheWordingOfTheSizeReply) {
    TempDir dir;
    std::string source = dir.path() + "/up.bin";
    Write(source, std::string(1 << 20, 'u'));
    struct Case {
        const char* reply;
        bool whole; // the upload counts as done
    };
    for (Case c : {Case{"213 %d bytes", false}, Case{"213 %d ", false}, Case{"213  %d", false},
                   Case{"213-Size\r\n213 %d", false}, Case{"213 99999999999999999999", false},
                   Case{"213 ", true}, Case{"213 -1", true}, Case{"550 No such file", true},
                   Case{"500 Unknown command", true}}) {
        SCOPED_TRACE(c.reply);
        setenv("ORVANE_SIZE_REPLY", c.reply, 1);
        ScriptedServer server("stor-short");
        unsetenv("ORVANE_SIZE_REPLY");
        ASSERT_TRUE(server.ok());
        auto s = ConnectScripted(server);
        ASSERT_TRUE(s) << LastResponse();
        EXPECT_EQ(s->PutFile(source, "/up.bin", nullptr), c.whole) << LastResponse();
        if (c.whole)
            EXPECT_EQ(LastResponse(), "226 stored");
        else
            EXPECT_EQ(LastFailure(), Failure::SizeMismatch);
    }
}

// A file still being written to while it goes out is sent as it was when
// the upload began, and that copy counts as whole.
TEST(ScriptedServerTest, AFileThatGrowsWhileItGoesOutIsSentAsItWas) {
    TempDir dir;
    ScriptedServer server("plain");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::string source = dir.path() + "/up.bin";
    Write(source, std::string(4 << 20, 'u'));
    bool grown = false;
    bool ok = s->PutFile(source, "/up.bin", [&](std::uint64_t done, std::uint64_t) {
        if (done > 0 && !grown) {
            grown = true;
            std::ofstream(source, std::ios::app) << std::string(1 << 20, 'g');
        }
    });
    EXPECT_TRUE(grown);
    EXPECT_TRUE(ok) << LastResponse();
}

TEST(ScriptedServerTest, A421ToAnIdleSessionLogsInAgainAndTheRequestGoesOnce) {
    ScriptedServer server("421");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::vector<std::string> lines;
    s->SetLineHook([&](const std::string& line) { lines.push_back(line); });
    // The server closes with 421 at the first folder change: the session logs
    // in again by itself and the change succeeds, with one line for the log.
    EXPECT_TRUE(s->SetCurrentDirectory("/sub")) << LastResponse();
    EXPECT_EQ(lines, std::vector<std::string>{"Reconnected"});
    EXPECT_EQ(s->GetCurrentDirectory(), "/sub");
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/sub", &entries)) << LastResponse();
    EXPECT_EQ(entries.size(), 2u);
    EXPECT_EQ(lines.size(), 1u); // nothing more to say on a living connection
}

TEST(ScriptedServerTest, AHostileListingYieldsOnlyWhatIsUnderstoodAndMarksUnsafeNames) {
    ScriptedServer server("garbage-list");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::vector<FindData> entries;
    ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    std::map<std::string, FindData> byName;
    for (const FindData& e : entries)
        byName[e.name] = e;
    ASSERT_EQ(byName.size(), 5u);
    EXPECT_TRUE(byName["ok.txt"].safe);
    EXPECT_TRUE(byName[".."].isDots);
    EXPECT_TRUE(byName["."].isDots);
    EXPECT_FALSE(byName["../../etc/passwd"].safe);
    EXPECT_FALSE(byName["dir\\evil"].safe);
}

// The peak resident memory of this process, in KiB, since the last reset.
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    return -1;
}

void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// A server can send a reply of any number of lines: it is refused with a
// reason, without holding the lines in memory.
TEST(ScriptedServerTest, AHugeMultiLineReplyIsRefusedWithoutBeingHeldInMemory) {
    ScriptedServer server("huge-greeting");
    ASSERT_TRUE(server.ok());
    ResetPeak();
    long before = PeakKiB();
    ASSERT_GT(before, 0);
    EXPECT_FALSE(ConnectScripted(server, 30));
    EXPECT_LT(PeakKiB() - before, 32 * 1024) << "KiB more at the peak for a 100 MB greeting";
    EXPECT_FALSE(LastResponse().empty());
    EXPECT_LE(LastResponse().size(), 4096u);
}

TEST(ScriptedServerTest, APassiveAddressElsewhereIsIgnored) {
    ScriptedServer server("pasv-elsewhere");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server, 5);
    ASSERT_TRUE(s) << LastResponse();
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    EXPECT_EQ(entries.size(), 2u);
}

TEST(ScriptedServerTest, ASilentServerDoesNotHoldTheCallerForever) {
    ScriptedServer server("silent");
    ASSERT_TRUE(server.ok());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ConnectScripted(server, 2));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_FALSE(LastResponse().empty());
}

TEST(ScriptedServerTest, RefusedUploadsAreFailures) {
    TempDir local;
    Write(local.path() + "/f", Pattern(200000));
    for (const char* scenario : {"stor-552", "stor-452"}) {
        ScriptedServer server(scenario);
        ASSERT_TRUE(server.ok());
        auto s = ConnectScripted(server);
        ASSERT_TRUE(s) << LastResponse();
        EXPECT_FALSE(s->PutFile(local.path() + "/f", "/f")) << scenario;
        EXPECT_NE(LastResponse().find(scenario + 5), std::string::npos) << LastResponse();
    }
}

// Replies are the server's own words: never searched for the password (which
// garbled them and, for a password inside "****", never ended). Only the PASS
// argument is masked, and only in what we keep of our own commands.
TEST(ScriptedServerTest, RepliesAreShownAsTheServerSentThemWhateverThePassword) {
    ScriptedServer server("echo-password");
    ASSERT_TRUE(server.ok());
    for (std::string password : {"o", "**", "*", "d r"}) {
        ConnectParams p = ScriptedParams(server);
        p.password = password;
        std::packaged_task<std::pair<bool, std::string>()> task([p] {
            bool ok = Session::Open(p) != nullptr;
            return std::make_pair(ok, LastResponse());
        });
        auto result = task.get_future();
        std::thread(std::move(task)).detach();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "connecting with password " << password << " never ended";
        auto [ok, reply] = result.get();
        EXPECT_FALSE(ok);
        EXPECT_EQ(reply, "530 Login incorrect: password " + password + " rejected");
    }
}

TEST(ScriptedServerTest, AServerThatRefusesMlsdIsListedWithList) {
    ScriptedServer server("mlsd-fails");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->HasMlsd());
    std::vector<FindData> entries;
    ASSERT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "file.bin");
    EXPECT_EQ(entries[0].size, 1048576u);
    EXPECT_TRUE(entries[1].isDirectory);
    // Remembered for the session; the entry-by-entry walk lists too.
    EXPECT_FALSE(s->HasMlsd());
    FindData one;
    auto find = s->FindFirstFile("", &one);
    ASSERT_TRUE(find) << LastResponse();
    EXPECT_EQ(one.name, "file.bin");
    // A missing folder still fails.
    EXPECT_FALSE(s->ListDirectory("/missing", &entries));
}

TEST(ScriptedServerTest, AListingOfMillionsOfTinyEntriesIsRefused) {
    ScriptedServer server("many-entries");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_NE(LastResponse().find("entries"), std::string::npos) << LastResponse();
    EXPECT_TRUE(entries.empty());
    FindData one;
    EXPECT_FALSE(s->FindFirstFile("", &one));
    EXPECT_NE(LastResponse().find("entries"), std::string::npos) << LastResponse();
}

// The server announces 1 MiB, sends half and says 226: a failure, and the old
// file stays, whether the size came from SIZE, from the 150 reply or from the
// caller's listing.
TEST(ScriptedServerTest, AShortDownloadIsAFailureAndKeepsTheOldFile) {
    TempDir local;
    std::string target = local.path() + "/file.bin";
    struct Case {
        const char* scenario;
        std::int64_t expected;
    } cases[] = {// libcurl's SIZE; the 150 reply's count, also over a stale listing;
                 // the caller's size when nothing is announced, short or long.
                 {"short-retr", -1},
                 {"short-retr", 1048576},
                 {"short-retr", 1048576 / 2},
                 {"short-retr-quiet", 1048576},
                 {"short-retr-quiet", 1048576 / 2 - 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " expecting " + std::to_string(c.expected));
        ScriptedServer server(c.scenario);
        ASSERT_TRUE(server.ok());
        auto s = ConnectScripted(server);
        ASSERT_TRUE(s) << LastResponse();
        Write(target, "old");
        EXPECT_FALSE(s->GetFile("/file.bin", target, nullptr, c.expected));
        EXPECT_FALSE(LastResponse().empty());
        EXPECT_EQ(Slurp(target), "old");
        EXPECT_TRUE(TempFilesIn(local.path()).empty());
        // The session goes on.
        std::vector<FindData> entries;
        EXPECT_TRUE(s->ListDirectory("/", &entries)) << LastResponse();
    }
    // Announced nowhere and not known to the caller: what came is the file.
    ScriptedServer quiet("short-retr-quiet");
    ASSERT_TRUE(quiet.ok());
    auto s = ConnectScripted(quiet);
    ASSERT_TRUE(s) << LastResponse();
    EXPECT_TRUE(s->GetFile("/file.bin", target)) << LastResponse();
    EXPECT_EQ(Slurp(target).size(), 1048576u / 2);
}

// A Stop while the server's 226 is still on its way: the next command must
// read its own reply, not the late 226.
TEST(ScriptedServerTest, AfterAStopNoLaterCommandReadsAnEarlierReply) {
    ScriptedServer server("late-226");
    ASSERT_TRUE(server.ok());
    TempDir local;
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    ASSERT_TRUE(s->SetCurrentDirectory("/sub"));
    std::string target = local.path() + "/file.bin";
    Write(target, "old");
    // Stopped while the server holds back its 226 (for 1.5 s): the data has
    // all arrived and closed by then.
    std::atomic<bool> arrived{false};
    std::thread stopper([&] {
        while (!arrived)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        s->Abort();
    });
    bool ok = s->GetFile("/file.bin", target, [&](std::uint64_t done, std::uint64_t) {
        if (done >= 1048576)
            arrived = true;
    });
    stopper.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastResponse(), "Stopped");
    EXPECT_EQ(Slurp(target), "old");
    // Sent at once: the late 226 arrives while this command waits for its reply.
    EXPECT_FALSE(s->SetCurrentDirectory("/missing"));
    EXPECT_NE(LastResponse().find("550"), std::string::npos) << LastResponse();
    EXPECT_EQ(s->GetCurrentDirectory(), "/sub");
    EXPECT_TRUE(s->SetCurrentDirectory("/sub")) << LastResponse();
    std::vector<FindData> entries;
    EXPECT_TRUE(s->ListDirectory("/sub", &entries)) << LastResponse();
    EXPECT_EQ(entries.size(), 2u);
}

// A Close() that lands as a request begins is never lost: every try against a
// silent server ends at once instead of at the timeout.
TEST(ScriptedServerTest, ACloseAsARequestBeginsIsNeverLost) {
    ScriptedServer server("silent");
    ASSERT_TRUE(server.ok());
    std::mt19937 random(12345);
    int slow = 0, before = 0, during = 0;
    for (int attempt = 0; attempt < 1000 && slow < 3; ++attempt) {
        auto s = Session::Create(ScriptedParams(server, 3));
        ASSERT_TRUE(s);
        // The request starts a random while after the closer is let go, so
        // that the Close() falls anywhere around its start.
        std::atomic<bool> ready{false}, go{false};
        unsigned spins = random() % 20000;
        std::thread closer([&] {
            ready = true;
            while (!go)
                ;
            s->Close();
        });
        while (!ready)
            ;
        go = true;
        volatile unsigned sink = 0;
        for (unsigned i = 0; i < spins; ++i)
            sink = i;
        (void)sink;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(s->Connect());
        if (SecondsSince(start) > 1.5)
            ++slow;
        else if (LastResponse() == "Not connected")
            ++before;
        else
            ++during;
        closer.join();
    }
    EXPECT_EQ(slow, 0) << before << " closed before the request, " << during << " during it";
    std::printf("closed before the request %d, during it %d\n", before, during);
}

TEST(ScriptedServerTest, ATricklingListingEndsWithAClearReason) {
    ScriptedServer server("trickle");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server, 2);
    ASSERT_TRUE(s) << LastResponse();
    auto start = std::chrono::steady_clock::now();
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_LT(SecondsSince(start), 15);
    EXPECT_NE(LastResponse().find("bytes"), std::string::npos) << LastResponse();
}

TEST(ScriptedServerTest, ActiveModeWaitsForTheServerOnlyAsLongAsTheSessionsTimeouts) {
    ScriptedServer server("no-connect-back");
    ASSERT_TRUE(server.ok());
    ConnectParams p = ScriptedParams(server, 2);
    p.mode = Mode::Active;
    p.lowSpeedTimeSec = 120; // only the wait for the data connection may end it
    auto s = Session::Open(p);
    ASSERT_TRUE(s) << LastResponse();
    auto start = std::chrono::steady_clock::now();
    std::vector<FindData> entries;
    EXPECT_FALSE(s->ListDirectory("/", &entries));
    EXPECT_LT(SecondsSince(start), 10);
    EXPECT_FALSE(LastResponse().empty());
}

TEST(ScriptedServerTest, ANameBeginningWithADashIsNoListOption) {
    ScriptedServer server("dash-name");
    ASSERT_TRUE(server.ok());
    auto s = ConnectScripted(server);
    ASSERT_TRUE(s) << LastResponse();
    FindData one;
    ASSERT_TRUE(s->FindFirstFile("/-la", &one)) << LastResponse();
    EXPECT_EQ(one.name, "-la");
    EXPECT_EQ(one.size, 3u);
    ASSERT_TRUE(s->SetCurrentDirectory("/"));
    EXPECT_TRUE(s->FindFirstFile("-la", &one)) << LastResponse();
}

} // namespace
