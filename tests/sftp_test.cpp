// The SFTP session against a real OpenSSH server started by the suite: what
// ssh is asked to do, logins that work and fail, listings with links and odd
// names, folder operations, transfers both ways from an offset, a stop in the
// middle and a connection cut mid-file.
#include "platform/sftp/SftpSession.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"
#include "tests/sftp/SftpServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

namespace fs = std::filesystem;
using namespace sftp;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Bytes that differ from block to block, so a block out of place shows.
std::string Pattern(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Lets a transfer's callback hold still until the test has done its part.
class Gate {
public:
    void Reached() {
        std::lock_guard lock(m_mutex);
        m_reached = true;
        m_signal.notify_all();
    }
    bool WaitReached() {
        std::unique_lock lock(m_mutex);
        return m_signal.wait_for(lock, std::chrono::seconds(20), [&] { return m_reached; });
    }
    void Open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_signal.notify_all();
    }
    void WaitOpen() {
        std::unique_lock lock(m_mutex);
        m_signal.wait_for(lock, std::chrono::seconds(20), [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_reached = false;
    bool m_open = false;
};

// ---- what ssh is asked to do ---------------------------------------------

TEST(SshArguments, RefuseWhatSshCouldReadAsAnOptionOrAsMoreThanAHost) {
    struct Case {
        const char* what;
        SshTarget target;
    };
    auto with = [](auto change) {
        SshTarget t;
        t.host = "example.org";
        t.user = "me";
        change(t);
        return t;
    };
    const Case cases[] = {
        {"host as an option", with([](SshTarget& t) { t.host = "-oProxyCommand=touch /tmp/x"; })},
        {"host with a user", with([](SshTarget& t) { t.host = "root@example.org"; })},
        {"host as a URI", with([](SshTarget& t) { t.host = "ssh://example.org"; })},
        {"empty host", with([](SshTarget& t) { t.host = ""; })},
        {"host with a blank", with([](SshTarget& t) { t.host = "a b"; })},
        {"host with a line break", with([](SshTarget& t) { t.host = "a\nb"; })},
        {"user as an option", with([](SshTarget& t) { t.user = "-oProxyCommand=x"; })},
        {"user with a line break", with([](SshTarget& t) { t.user = "me\nHost *"; })},
        {"port out of range", with([](SshTarget& t) { t.port = 70000; })},
        {"relative known_hosts", with([](SshTarget& t) { t.knownHostsFiles = {"k"}; })},
        {"known_hosts with a quote", with([](SshTarget& t) { t.knownHostsFiles = {"/a\"b"}; })},
        {"key with an expansion", with([](SshTarget& t) { t.identityFile = "/k${HOME}"; })},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_TRUE(SshArguments(c.target, &why).empty()) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
    }
}

TEST(SshArguments, PutTheHostAfterTheEndOfOptionsAndKeepFileNamesLiteral) {
    SshTarget t;
    t.host = "::1";
    t.port = 2222;
    t.user = "a user";
    t.knownHostsFiles = {"/our files/known%h", "/home/me/.ssh/known_hosts"};
    t.identityFile = "/keys/id%1";
    std::string why;
    std::vector<std::string> args = SshArguments(t, &why);
    ASSERT_FALSE(args.empty()) << why;
    EXPECT_EQ(args.front(), "ssh");
    const std::vector<std::string> tail{"-p", "2222", "-l", "a user", "-s", "--", "::1", "sftp"};
    ASSERT_GE(args.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), args.end() - tail.size()));
    for (const char* wanted :
         {"BatchMode=yes", "StrictHostKeyChecking=yes",
          "UserKnownHostsFile=\"/our files/known%%h\" \"/home/me/.ssh/known_hosts\"",
          "IdentitiesOnly=yes"})
        EXPECT_NE(std::find(args.begin(), args.end(), wanted), args.end()) << wanted;
    auto key = std::find(args.begin(), args.end(), "-i");
    ASSERT_NE(key, args.end());
    EXPECT_EQ(*(key + 1), "/keys/id%%1");
}

// ---- against the server --------------------------------------------------

class SftpSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_server = new SftpServer; }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_server->ok()) << s_server->error();
        m_dir = s_server->root() + "/" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(m_dir);
        m_session = std::make_unique<Session>(Params());
        Result r = m_session->Connect();
        ASSERT_TRUE(r) << r.reason << "\n" << s_server->Log();
        ASSERT_TRUE(m_session->ChangeFolder(m_dir));
    }
    static ConnectParams Params() {
        ConnectParams p;
        p.ssh = s_server->Target();
        return p;
    }
    // A file or folder of this test's folder: the same path for the server.
    std::string At(const std::string& name) const { return m_dir + "/" + name; }
    std::string Fetch(const std::string& path, std::uint64_t offset = 0, Result* r = nullptr) {
        std::string got;
        Result result = m_session->Download(
            path, offset, [&](std::string_view b) { return got.append(b), true; });
        if (r)
            *r = result;
        else
            EXPECT_TRUE(result) << result.reason;
        return got;
    }

    static SftpServer* s_server;
    std::string m_dir;
    std::unique_ptr<Session> m_session;
};

SftpServer* SftpSessionTest::s_server = nullptr;

TEST_F(SftpSessionTest, ConnectFindsTheLoginFolderAndChangeFolderFollowsTheServer) {
    Session fresh(Params());
    ASSERT_TRUE(fresh.Connect());
    EXPECT_EQ(fresh.LoginFolder(), fs::canonical(s_server->root()).string());
    EXPECT_EQ(fresh.CurrentFolder(), fresh.LoginFolder());
    fs::create_directories(At("inner"));
    Put(At("file"), "x");

    std::string name = fs::path(m_dir).filename().string();
    ASSERT_TRUE(fresh.ChangeFolder(name));
    EXPECT_EQ(fresh.CurrentFolder(), fs::canonical(m_dir).string());
    ASSERT_TRUE(fresh.ChangeFolder("inner/.."));
    EXPECT_EQ(fresh.CurrentFolder(), fs::canonical(m_dir).string());
    EXPECT_EQ(fresh.Resolve("a b"), fresh.CurrentFolder() + "/a b");
    for (const char* notAFolder : {"file", "missing"}) {
        Result r = fresh.ChangeFolder(notAFolder);
        EXPECT_EQ(r.failure, Failure::Refused) << notAFolder;
        EXPECT_FALSE(r.reason.empty()) << notAFolder;
        EXPECT_EQ(fresh.CurrentFolder(), fs::canonical(m_dir).string()) << notAFolder;
    }
}

TEST_F(SftpSessionTest, ListingKeepsNamesAsBytesAndShowsLinksAsLinks) {
    struct Expected {
        std::string name;
        Kind kind;
        std::uint64_t size; // for files
    };
    const std::vector<Expected> expected{
        {"plain.txt", Kind::File, 5},           {"folder", Kind::Folder, 0},
        {"to-folder", Kind::Link, 0},           {"to-nowhere", Kind::Link, 0},
        {"with  blanks .txt", Kind::File, 2},   {"cr\rlf\n.txt", Kind::File, 1},
        {"\xff\xfe latin \xe9", Kind::File, 0},
    };
    fs::create_directories(At("folder"));
    fs::create_symlink("folder", At("to-folder"));
    fs::create_symlink("no-such-target", At("to-nowhere"));
    for (const Expected& e : expected)
        if (e.kind == Kind::File)
            Put(At(e.name), std::string(e.size, 'x'));
    utimbuf times{1000000000, 1000000000};
    utime(At("plain.txt").c_str(), &times);
    chmod(At("plain.txt").c_str(), 0640);

    std::vector<Entry> entries;
    Result r = m_session->List(".", &entries);
    ASSERT_TRUE(r) << r.reason;
    ASSERT_EQ(entries.size(), expected.size());
    for (const Expected& e : expected) {
        auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const Entry& x) { return x.name == e.name; });
        ASSERT_NE(found, entries.end()) << e.name;
        EXPECT_EQ(found->kind, e.kind) << e.name;
        if (e.kind == Kind::File) {
            EXPECT_EQ(found->attrs.size, e.size) << e.name;
        }
        if (e.name == "plain.txt") {
            ASSERT_TRUE(found->attrs.times);
            EXPECT_EQ(found->attrs.times->mtime, 1000000000u);
            ASSERT_TRUE(found->attrs.permissions);
            EXPECT_EQ(*found->attrs.permissions & 07777, 0640u);
            EXPECT_EQ(found->longname.substr(0, 10), "-rw-r-----");
        }
    }
    // A link is looked through only when asked to.
    Attributes attrs;
    ASSERT_TRUE(m_session->Lstat("to-folder", &attrs));
    EXPECT_TRUE(IsLink(attrs));
    ASSERT_TRUE(m_session->Stat("to-folder", &attrs));
    EXPECT_TRUE(IsFolder(attrs));
    EXPECT_EQ(m_session->Stat("to-nowhere", &attrs).failure, Failure::Refused);
    EXPECT_EQ(m_session->List("missing", &entries).failure, Failure::Refused);
}

TEST_F(SftpSessionTest, FolderOperationsChangeTheServerAndRenameReplacesNothing) {
    Put(At("a.txt"), "A");
    Put(At("b.txt"), "B");
    fs::create_directories(At("target"));
    fs::create_symlink("target", At("link"));
    struct Step {
        const char* what;
        std::function<Result()> run;
        Failure failure;
    };
    Session& s = *m_session;
    const Step steps[] = {
        {"make a folder", [&] { return s.MakeFolder("made"); }, Failure::None},
        {"make it again", [&] { return s.MakeFolder("made"); }, Failure::Refused},
        {"rename the folder", [&] { return s.Rename("made", "renamed"); }, Failure::None},
        {"rename onto a file", [&] { return s.Rename("a.txt", "b.txt"); }, Failure::Refused},
        {"rename onto a folder", [&] { return s.Rename("a.txt", "renamed"); }, Failure::Refused},
        {"rename onto a link", [&] { return s.Rename("a.txt", "link"); }, Failure::Refused},
        {"rename what is not there", [&] { return s.Rename("none", "x"); }, Failure::Refused},
        {"rename a file", [&] { return s.Rename("a.txt", "renamed/a.txt"); }, Failure::None},
        {"remove a full folder", [&] { return s.RemoveFolder("renamed"); }, Failure::Refused},
        {"remove the file", [&] { return s.Remove("renamed/a.txt"); }, Failure::None},
        {"remove it again", [&] { return s.Remove("renamed/a.txt"); }, Failure::Refused},
        {"remove the empty folder", [&] { return s.RemoveFolder("renamed"); }, Failure::None},
        {"remove a link", [&] { return s.Remove("link"); }, Failure::None},
    };
    for (const Step& step : steps) {
        Result r = step.run();
        EXPECT_EQ(r.failure, step.failure) << step.what << ": " << r.reason;
        EXPECT_EQ(r.reason.empty(), step.failure == Failure::None) << step.what;
    }
    EXPECT_EQ(Get(At("b.txt")), "B");
    EXPECT_FALSE(fs::exists(At("a.txt")));
    EXPECT_FALSE(fs::exists(At("made")));
    EXPECT_FALSE(fs::exists(At("renamed")));
    EXPECT_FALSE(fs::is_symlink(At("link")));
    EXPECT_TRUE(fs::is_directory(At("target")));
    EXPECT_NE(s.Rename("b.txt", "target").reason.find("already exists"), std::string::npos);
}

TEST_F(SftpSessionTest, DownloadHandsOnEveryByteInOrderFromAnyOffset) {
    const std::string content = Pattern(3 * 1024 * 1024 + 12345, 1);
    Put(At("big.bin"), content);
    Put(At("empty"), "");
    const std::uint64_t size = content.size();
    for (std::uint64_t offset :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{65535}, std::uint64_t{65536},
          std::uint64_t{1024 * 1024 + 7}, size - 1, size, size + 100}) {
        std::uint64_t lastDone = 0;
        std::uint64_t lastTotal = 0;
        std::string got;
        Result r = m_session->Download(
            "big.bin", offset, [&](std::string_view b) { return got.append(b), true; },
            [&](std::uint64_t done, std::uint64_t total) {
                lastDone = done;
                lastTotal = total;
            });
        ASSERT_TRUE(r) << offset << ": " << r.reason;
        EXPECT_TRUE(got == content.substr(std::min(offset, size))) << offset;
        if (offset < size) {
            EXPECT_EQ(lastDone, size) << offset;
            EXPECT_EQ(lastTotal, size) << offset;
        }
    }
    EXPECT_EQ(Fetch("empty"), "");
    Result r;
    Fetch("missing.bin", 0, &r);
    EXPECT_EQ(r.failure, Failure::Refused);
    EXPECT_EQ(r.reason, "No such file");
}

TEST_F(SftpSessionTest, UploadWritesEveryByteAndResumesFromAnOffset) {
    const std::string content = Pattern(3 * 1024 * 1024 + 777, 2);
    TempDir local;
    Put(local.path() + "/up.bin", content);
    int fd = open((local.path() + "/up.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct Case {
        const char* what;
        std::optional<std::string> before; // on the server
        std::uint64_t offset;
    };
    const std::uint64_t half = content.size() / 2 + 3;
    const Case cases[] = {
        {"a new file", std::nullopt, 0},
        {"over a longer file", std::string(5 * 1024 * 1024, 'z'), 0},
        {"resumed at half", content.substr(0, half), half},
        {"resumed at the end", content, content.size()},
    };
    for (const Case& c : cases) {
        std::string remote = At(std::string("up-") + std::to_string(&c - cases));
        if (c.before)
            Put(remote, *c.before);
        std::uint64_t lastDone = 0;
        Result r = m_session->Upload(fd, remote, c.offset,
                                     [&](std::uint64_t done, std::uint64_t) { lastDone = done; });
        ASSERT_TRUE(r) << c.what << ": " << r.reason;
        EXPECT_TRUE(Get(remote) == content) << c.what;
        if (c.offset < content.size()) {
            EXPECT_EQ(lastDone, content.size()) << c.what;
        }
    }
    Result r = m_session->Upload(fd, "missing/up.bin", 0);
    EXPECT_EQ(r.failure, Failure::Refused);
    EXPECT_EQ(r.reason, "No such file");
    close(fd);
}

TEST_F(SftpSessionTest, AbortEndsATransferAtOnceAndTheSessionGoesOn) {
    const std::uint64_t large = 48 * 1024 * 1024;
    TempDir local;
    for (const std::string& path : {At("large.bin"), local.path() + "/large.bin"}) {
        std::ofstream(path).close();
        fs::resize_file(path, large);
    }
    const std::string small = Pattern(300 * 1000, 3);
    Put(At("small.bin"), small);
    Put(local.path() + "/small.bin", small);
    int largeFd = open((local.path() + "/large.bin").c_str(), O_RDONLY | O_CLOEXEC);
    int smallFd = open((local.path() + "/small.bin").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(largeFd, 0);
    ASSERT_GE(smallFd, 0);

    for (bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        Gate gate;
        std::uint64_t moved = 0;
        Result result;
        Clock::time_point ended;
        std::thread worker([&] {
            auto hold = [&] {
                gate.Reached();
                gate.WaitOpen();
            };
            if (download)
                result = m_session->Download("large.bin", 0, [&](std::string_view b) {
                    moved += b.size();
                    hold();
                    return true;
                });
            else
                result = m_session->Upload(largeFd, "large-up.bin", 0,
                                           [&](std::uint64_t done, std::uint64_t) {
                                               moved = done;
                                               hold();
                                           });
            ended = Clock::now();
        });
        ASSERT_TRUE(gate.WaitReached());
        m_session->Abort();
        Clock::time_point aborted = Clock::now();
        gate.Open();
        worker.join();
        EXPECT_EQ(result.failure, Failure::Stopped) << result.reason;
        EXPECT_LT(ended - aborted, std::chrono::seconds(1));
        EXPECT_LT(moved, large);

        // The replies of the abandoned requests never reach the next ones.
        std::vector<Entry> entries;
        ASSERT_TRUE(m_session->List(".", &entries));
        EXPECT_TRUE(Fetch("small.bin") == small);
        ASSERT_TRUE(m_session->Upload(smallFd, "small-up.bin", 0));
        EXPECT_TRUE(Get(At("small-up.bin")) == small);
    }
    close(largeFd);
    close(smallFd);
}

TEST_F(SftpSessionTest, AConnectionCutMidFileIsLostAndTheNextRequestConnectsAnew) {
    const std::string content = Pattern(24 * 1024 * 1024, 4);
    Put(At("cut.bin"), content);
    Gate gate;
    std::string got;
    Result result;
    std::thread worker([&] {
        result = m_session->Download("cut.bin", 0, [&](std::string_view b) {
            got.append(b);
            gate.Reached();
            gate.WaitOpen();
            return true;
        });
    });
    ASSERT_TRUE(gate.WaitReached());
    EXPECT_GT(s_server->CutConnections(), 0);
    gate.Open();
    worker.join();
    EXPECT_EQ(result.failure, Failure::ConnectionLost) << result.reason;
    EXPECT_FALSE(result.reason.empty());
    EXPECT_LT(got.size(), content.size());
    EXPECT_TRUE(got == content.substr(0, got.size()));

    // What was kept is where a resume goes on from.
    Result r;
    std::string rest = Fetch("cut.bin", got.size(), &r);
    ASSERT_TRUE(r) << r.reason;
    EXPECT_TRUE(got + rest == content);
}

TEST_F(SftpSessionTest, LoginsThatCannotWorkFailWithSshsReason) {
    struct Case {
        const char* what;
        std::function<void(SshTarget&)> change;
        Failure failure;
        const char* words;
    };
    int closedPort = FreePort();
    const Case cases[] = {
        {"an unknown host key",
         [&](SshTarget& t) { t.knownHostsFiles = {s_server->NoKnownHosts()}; }, Failure::Refused,
         "Host key verification failed"},
        {"a key the server does not know",
         [&](SshTarget& t) { t.identityFile = s_server->StrangerKey(); }, Failure::Refused,
         "Permission denied"},
        {"no server on the port", [&](SshTarget& t) { t.port = closedPort; },
         Failure::ConnectionLost, "Connection refused"},
        {"a host beginning with -", [&](SshTarget& t) { t.host = "-oProxyCommand=false"; },
         Failure::Refused, "cannot be handed to ssh"},
        {"no ssh to run", [&](SshTarget& t) { t.program = "/nonexistent/ssh"; }, Failure::Refused,
         "Cannot start"},
    };
    for (const Case& c : cases) {
        ConnectParams p = Params();
        c.change(p.ssh);
        Session s(p);
        Result r = s.Connect();
        EXPECT_EQ(r.failure, c.failure) << c.what << ": " << r.reason;
        EXPECT_NE(r.reason.find(c.words), std::string::npos) << c.what << ": " << r.reason;
        // A request after it tries again and fails the same way: nothing hangs.
        std::vector<Entry> entries;
        EXPECT_EQ(s.List(".", &entries).failure, c.failure) << c.what;
    }
}

TEST_F(SftpSessionTest, CloseEndsAConnectToAServerThatNeverAnswers) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    ConnectParams p = Params();
    p.ssh.port = ntohs(a.sin_port);
    Session silent(p);
    Result result;
    Clock::time_point ended;
    std::thread worker([&] {
        result = silent.Connect();
        ended = Clock::now();
    });
    // ssh has connected and waits for a greeting that never comes.
    pollfd pending{listener, POLLIN, 0};
    ASSERT_EQ(poll(&pending, 1, 20000), 1);
    silent.Close();
    Clock::time_point closed = Clock::now();
    worker.join();
    EXPECT_EQ(result.failure, Failure::Stopped) << result.reason;
    EXPECT_LT(ended - closed, std::chrono::seconds(2));
    EXPECT_TRUE(silent.IsClosed());
    std::vector<Entry> entries;
    EXPECT_EQ(silent.List(".", &entries).failure, Failure::Stopped);
    close(listener);
}

TEST_F(SftpSessionTest, APathHoldingNulIsRefusedBeforeAnythingGoesOut) {
    Put(At("a"), "x");
    const std::string withNul = "a\0b"s;
    Attributes attrs;
    std::vector<Entry> entries;
    const Result results[] = {m_session->Stat(withNul, &attrs), m_session->List(withNul, &entries),
                              m_session->Remove(withNul), m_session->Rename("a", withNul),
                              m_session->MakeFolder(withNul)};
    for (const Result& r : results) {
        EXPECT_EQ(r.failure, Failure::Refused);
        EXPECT_NE(r.reason.find("NUL"), std::string::npos) << r.reason;
    }
    EXPECT_TRUE(fs::exists(At("a")));
    EXPECT_TRUE(m_session->Stat("a", &attrs));
}

} // namespace
