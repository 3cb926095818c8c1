// The SFTP session against a real OpenSSH server started by the suite: what
// ssh is asked to do, logins that work and fail, listings with links and odd
// names, folder operations, transfers both ways from an offset, a stop in the
// middle and a connection cut mid-file.
#include "platform/sftp/SftpSession.h"
#include "platform/sftp/SshLogin.h"
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
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

TEST(SshArguments, WithAskpassSshMayAskButTriesAPasswordOnceAndWritesNoKeyByItself) {
    struct Case {
        bool askHostKeys;
        const char* strict;
    };
    for (const Case& c :
         {Case{false, "StrictHostKeyChecking=yes"}, Case{true, "StrictHostKeyChecking=ask"}}) {
        SshTarget t;
        t.host = "example.org";
        t.askpass = true;
        t.askHostKeys = c.askHostKeys;
        std::string why;
        std::vector<std::string> args = SshArguments(t, &why);
        ASSERT_FALSE(args.empty()) << why;
        for (const char* wanted :
             {"BatchMode=no", c.strict, "NumberOfPasswordPrompts=1", "UpdateHostKeys=no"})
            EXPECT_NE(std::find(args.begin(), args.end(), wanted), args.end()) << wanted;
        EXPECT_EQ(std::find(args.begin(), args.end(), "BatchMode=yes"), args.end());
    }
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

// ---- ssh's questions while it logs in ---------------------------------------

TEST(LoginPrompts, AreToldApartAndHostKeyQuestionsRead) {
    const std::string hostKey =
        "The authenticity of host '[127.0.0.1]:2222 ([127.0.0.1]:2222)' can't be established.\n"
        "ED25519 key fingerprint is SHA256:1H7c9+ddF+9YObDieco4UstjGiOtcdlfwai2b2DT7bA.\n"
        "This key is not known by any other names.\n"
        "Are you sure you want to continue connecting (yes/no/[fingerprint])? ";
    struct Case {
        std::string prompt;
        PromptKind kind;
    };
    const Case cases[] = {
        {hostKey, PromptKind::HostKey},
        {"Please type 'yes', 'no' or the fingerprint: ", PromptKind::YesNo},
        {"Are you sure you want to continue connecting (yes/no)? ", PromptKind::HostKey},
        {"Are you sure you want to go on (yes/no)? ", PromptKind::YesNo},
        {"Enter passphrase for key '/home/me/.ssh/id_ed25519': ", PromptKind::Passphrase},
        {"me@example.org's password: ", PromptKind::Password},
        {"(me@example.org) Password: ", PromptKind::Password},
        {"(me@example.org) New password: ", PromptKind::Other},
        {"(me@example.org) Verification code: ", PromptKind::Other},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KindOfPrompt(c.prompt), c.kind) << c.prompt;

    std::string type;
    std::string print;
    ASSERT_TRUE(ParseHostKeyPrompt(hostKey, &type, &print));
    EXPECT_EQ(type, "ED25519");
    EXPECT_EQ(print, "SHA256:1H7c9+ddF+9YObDieco4UstjGiOtcdlfwai2b2DT7bA");
    for (const char* unreadable :
         {"The authenticity of host 'x' can't be established.\n"
          "Are you sure you want to continue connecting (yes/no/[fingerprint])? ",
          "The authenticity of host 'x' can't be established.\n"
          "ED25519 key fingerprint is SHA256:abc'; rm -rf /.\n"
          "Are you sure you want to continue connecting (yes/no/[fingerprint])? ",
          "The authenticity of host 'x' can't be established.\nED25519 key fingerprint is "
          "SHA256:a.\nED25519 key fingerprint is SHA256:b.\n"
          "Are you sure you want to continue connecting (yes/no/[fingerprint])? "})
        EXPECT_FALSE(ParseHostKeyPrompt(unreadable, &type, &print)) << unreadable;
    EXPECT_EQ(CleanPrompt("a\nb\x1b[31m\x7f c:  "), "a b?[31m? c:");
}

// Answers ssh's questions from a table and keeps what it was asked.
class FakeQuestions : public ILoginQuestions {
public:
    HostKeyAnswer AskHostKey(const HostKeyQuestion& q) override {
        hostKeys.push_back(q);
        if (whileAsked)
            whileAsked();
        return hostKeyAnswer;
    }
    std::optional<std::string> AskSecret(SecretKind kind, const std::string& prompt) override {
        asked.push_back({kind, prompt});
        if (whileAsked)
            whileAsked();
        auto found = secrets.find(kind);
        return found == secrets.end() ? std::nullopt : found->second;
    }
    std::size_t Count() const { return hostKeys.size() + asked.size(); }

    HostKeyAnswer hostKeyAnswer = HostKeyAnswer::Cancel;
    std::map<SecretKind, std::optional<std::string>> secrets;
    std::function<void()> whileAsked;
    std::vector<HostKeyQuestion> hostKeys;
    std::vector<std::pair<SecretKind, std::string>> asked;
};

TEST(LoginConversationTest, AnswersNoToWhatItCannotReadAndNeverGivesAPasswordTwice) {
    FakeQuestions fake;
    fake.hostKeyAnswer = HostKeyAnswer::Always;
    TempDir dir;
    LoginConversation::Setup setup;
    setup.questions = &fake;
    setup.password = "stored";
    setup.host = "x";
    setup.temporaryKnownHosts = dir.path() + "/session";
    setup.trustedKnownHosts = dir.path() + "/ours";
    LoginConversation talk(setup);
    auto reply =
        talk.Answer("The authenticity of host 'x' can't be established.\n"
                    "Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
    EXPECT_EQ(reply.answer, std::optional<std::string>("no"));
    EXPECT_EQ(talk.Answer("Please type 'yes', 'no' or the fingerprint: ").answer,
              std::optional<std::string>("no"));
    EXPECT_EQ(fake.Count(), 0u);
    reply = talk.Answer("me@x's password: ");
    EXPECT_EQ(reply.answer, std::optional<std::string>("stored"));
    EXPECT_TRUE(reply.endWith.empty());
    reply = talk.Answer("(me@x) Password: ");
    EXPECT_FALSE(reply.answer);
    EXPECT_EQ(reply.endWith, kWrongPassword);
    EXPECT_EQ(fake.Count(), 0u);
    std::string why;
    EXPECT_TRUE(talk.Finish(&why)) << why;
    EXPECT_FALSE(fs::exists(dir.path() + "/ours"));
}

// The stored password answers only ssh's own question for the site's host:
// a one-time password, a jump host's password of the user's ssh
// configuration or another question that merely ends in "password:" is asked
// of the user, who sees whose question it is.
TEST(LoginConversationTest, GivesTheStoredPasswordOnlyForTheSitesOwnPasswordQuestion) {
    struct Case {
        const char* prompt;
        bool stored; // the stored password answers it without a question
    };
    const Case cases[] = {
        {"me@Example.org's password: ", true},
        {"(me@example.org) Password: ", true},
        {"(me@example.org) password:", true},
        {"(me@example.org) One-time password: ", false},
        {"(me@example.org) OTP password: ", false},
        {"(me@example.org) Enter the name of the account, not the password: ", false},
        {"(me@example.org) Password for root on the backup host: ", false},
        {"jump@bastion.example.net's password: ", false},
        {"(jump@bastion.example.net) Password: ", false},
        {"me@example.org.evil.net's password: ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prompt);
        FakeQuestions fake;
        fake.secrets[SecretKind::Password] = "typed";
        fake.secrets[SecretKind::Other] = "typed";
        LoginConversation::Setup setup;
        setup.questions = &fake;
        setup.password = "stored";
        setup.host = "example.org";
        LoginConversation talk(setup);
        auto reply = talk.Answer(c.prompt);
        EXPECT_TRUE(reply.endWith.empty()) << reply.endWith;
        EXPECT_EQ(reply.answer, std::optional<std::string>(c.stored ? "stored" : "typed"));
        EXPECT_EQ(fake.asked.size(), c.stored ? 0u : 1u);
        if (!c.stored && !fake.asked.empty()) {
            EXPECT_EQ(fake.asked[0].second, CleanPrompt(c.prompt));
        }
    }
    // Without anyone to ask, another host's question ends the login: the
    // stored password is not given to it.
    LoginConversation::Setup quiet;
    quiet.password = "stored";
    quiet.host = "example.org";
    LoginConversation talk(quiet);
    auto reply = talk.Answer("jump@bastion.example.net's password: ");
    EXPECT_FALSE(reply.answer);
    EXPECT_FALSE(reply.endWith.empty());
}

// The ssh children of this process: their argument vectors and environments.
std::vector<std::string> SshChildrenTexts() {
    std::vector<std::string> texts;
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = Get(e.path().string() + "/stat");
        std::size_t open = stat.find('(');
        std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 1));
        std::string state;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid != getpid() || stat.substr(open + 1, close - open - 1) != "ssh")
            continue;
        texts.push_back(Get(e.path().string() + "/cmdline"));
        texts.push_back(Get(e.path().string() + "/environ"));
    }
    return texts;
}

// Logins against a server that takes keys of every type, passwords and
// keyboard-interactive, and one whose only host key is an RSA key.
class SftpLoginTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SftpServerOptions logins;
        logins.logins = true;
        s_server = new SftpServer(logins);
        SftpServerOptions rsa;
        rsa.rsaHostKeyOnly = true;
        s_rsaServer = new SftpServer(rsa);
    }
    static void TearDownTestSuite() {
        delete s_server;
        delete s_rsaServer;
        s_server = s_rsaServer = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_server->ok()) << s_server->error();
        ASSERT_TRUE(s_rsaServer->ok()) << s_rsaServer->error();
    }
    // Our known_hosts in a folder not made yet; nothing of ~/.ssh is read.
    ConnectParams Params(const SftpServer& server, bool trusted = true) {
        ConnectParams p;
        p.ssh = server.Target();
        p.ssh.knownHostsFiles = {server.NoKnownHosts()};
        p.trustedKnownHosts = m_dir.path() + "/settings/known_hosts";
        if (trusted) {
            fs::create_directories(m_dir.path() + "/settings");
            std::ofstream(p.trustedKnownHosts) << Get(server.KnownHosts());
        }
        p.questions = &m_fake;
        return p;
    }
    std::string Trusted() const { return Get(m_dir.path() + "/settings/known_hosts"); }
    static std::string LogSince(const SftpServer& server, std::size_t from) {
        std::string log = server.Log();
        return log.substr(std::min(from, log.size()));
    }

    static SftpServer* s_server;
    static SftpServer* s_rsaServer;
    TempDir m_dir;
    FakeQuestions m_fake;
};

SftpServer* SftpLoginTest::s_server = nullptr;
SftpServer* SftpLoginTest::s_rsaServer = nullptr;

TEST_F(SftpLoginTest, UserKeysOfEveryTypeAndFromTheAgentLogInWithoutAQuestion) {
    // An agent of the test's own that holds the ed25519 key.
    TempDir agentDir;
    const std::string agentSocket = agentDir.path() + "/agent";
    pid_t agent = fork();
    if (agent == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execlp("ssh-agent", "ssh-agent", "-D", "-a", agentSocket.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500 && !fs::exists(agentSocket); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(fs::exists(agentSocket));
    ASSERT_EQ(std::system(("SSH_AUTH_SOCK='" + agentSocket + "' ssh-add -q '" +
                           s_server->ClientKey() + "' 2>/dev/null")
                              .c_str()),
              0);
    struct Case {
        const char* what;
        std::string key; // empty: the agent's
        const char* logged;
    };
    const Case cases[] = {
        {"ed25519", s_server->ClientKey(), "ssh2: ED25519 SHA256:"},
        {"ECDSA", s_server->KeyFile("ecdsa"), "ssh2: ECDSA SHA256:"},
        {"RSA", s_server->KeyFile("rsa"), "ssh2: RSA SHA256:"},
        {"the agent", "", "ssh2: ED25519 SHA256:"},
    };
    for (const Case& c : cases) {
        ConnectParams p = Params(*s_server);
        p.ssh.identityFile = c.key;
        // Keys only: a password question would show as one asked.
        p.ssh.options = {"PreferredAuthentications=publickey"};
        if (c.key.empty()) {
            p.ssh.environment = {"SSH_AUTH_SOCK=" + agentSocket};
            p.ssh.options.push_back("IdentityAgent=SSH_AUTH_SOCK");
        }
        std::size_t before = s_server->Log().size();
        Session s(p);
        Result r = s.Connect();
        ASSERT_TRUE(r) << c.what << ": " << r.reason << "\n" << LogSince(*s_server, before);
        EXPECT_EQ(m_fake.Count(), 0u) << c.what;
        s.Close();
        std::string log = LogSince(*s_server, before);
        EXPECT_NE(log.find("Accepted publickey for " + s_server->User()), std::string::npos)
            << c.what << "\n"
            << log;
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.what << "\n" << log;
    }
    kill(agent, SIGTERM);
    waitpid(agent, nullptr, 0);
}

TEST_F(SftpLoginTest, AKeyWithAPassphraseAsksForItAndCancelGoesOnWithoutTheKey) {
    struct Case {
        const char* what;
        std::optional<std::string> answer;
        Failure failure;
    };
    const Case cases[] = {
        {"the right passphrase", std::string(SftpServer::kPassphrase), Failure::None},
        {"Cancel", std::nullopt, Failure::Refused},
    };
    for (const Case& c : cases) {
        FakeQuestions fake;
        fake.secrets[SecretKind::Passphrase] = c.answer;
        ConnectParams p = Params(*s_server);
        p.questions = &fake;
        p.ssh.identityFile = s_server->KeyFile("passphrase");
        p.ssh.options = {"PreferredAuthentications=publickey"};
        Session s(p);
        Result r = s.Connect();
        EXPECT_EQ(r.failure, c.failure) << c.what << ": " << r.reason;
        ASSERT_EQ(fake.asked.size(), 1u) << c.what;
        EXPECT_EQ(fake.asked[0].first, SecretKind::Passphrase) << c.what;
        EXPECT_NE(fake.asked[0].second.find("Enter passphrase for key '" + p.ssh.identityFile),
                  std::string::npos)
            << fake.asked[0].second;
        EXPECT_TRUE(fake.hostKeys.empty()) << c.what;
        if (!r) {
            EXPECT_NE(r.reason.find("Permission denied"), std::string::npos) << r.reason;
        }
    }
}

TEST_F(SftpLoginTest, TheStoredPasswordIsGivenOnceAndAWrongOneEndsTheLoginWithOneReason) {
    if (s_server->PasswordUser().empty())
        GTEST_SKIP() << "Password logins need a user of their own, made only as root";
    struct Case {
        const char* what;
        std::string stored;
        std::optional<std::string> typed; // what the user answers when asked
        Failure failure;
        std::size_t asked;
    };
    const Case cases[] = {
        {"the right stored password", s_server->Password(), std::nullopt, Failure::None, 0},
        {"a wrong stored password", "not-the-password", s_server->Password(), Failure::Refused, 0},
        {"no stored password, the user types it", "", s_server->Password(), Failure::None, 1},
        {"no stored password, the user cancels", "", std::nullopt, Failure::Refused, 1},
    };
    for (const Case& c : cases) {
        FakeQuestions fake;
        fake.secrets[SecretKind::Password] = c.typed;
        ConnectParams p = Params(*s_server);
        p.questions = &fake;
        p.password = c.stored;
        p.ssh.user = s_server->PasswordUser();
        p.ssh.identityFile.clear();
        p.ssh.options = {"PubkeyAuthentication=no"};
        std::size_t before = s_server->Log().size();
        Session s(p);
        Result r = s.Connect();
        EXPECT_EQ(r.failure, c.failure) << c.what << ": " << r.reason;
        EXPECT_EQ(fake.Count(), c.asked) << c.what;
        for (const auto& [kind, prompt] : fake.asked) {
            EXPECT_EQ(kind, SecretKind::Password) << c.what;
            EXPECT_NE(prompt.find("assword:"), std::string::npos) << prompt;
        }
        s.Close();
        std::string log = LogSince(*s_server, before);
        if (c.failure == Failure::None) {
            EXPECT_NE(log.find("Accepted "), std::string::npos) << c.what << "\n" << log;
            continue;
        }
        EXPECT_EQ(r.reason.find('\n'), std::string::npos) << r.reason;
        if (c.stored.empty()) {
            EXPECT_EQ(r.reason, kLoginCancelled) << c.what;
            EXPECT_EQ(log.find("Failed "), std::string::npos) << c.what << "\n" << log;
        } else {
            EXPECT_EQ(r.reason, kWrongPassword) << c.what;
            // The password went to the server once, and nothing after it.
            std::size_t failed = 0;
            for (std::size_t at = log.find("Failed "); at != std::string::npos;
                 at = log.find("Failed ", at + 1))
                ++failed;
            EXPECT_EQ(failed, 1u) << log;
        }
    }
}

TEST_F(SftpLoginTest, AnUnknownHostKeyIsAskedAboutAndTrustedAlwaysOnceOrNot) {
    for (SftpServer* server : {s_server, s_rsaServer}) {
        const std::string type = server == s_rsaServer ? "RSA" : "ED25519";
        SCOPED_TRACE(type);
        const std::string keyBody = server->HostKey().substr(0, server->HostKey().rfind(' '));
        fs::remove_all(m_dir.path() + "/settings");
        auto expectAsked = [&](const FakeQuestions& fake, const char* when) {
            ASSERT_EQ(fake.hostKeys.size(), 1u) << when;
            EXPECT_EQ(fake.hostKeys[0].host, "127.0.0.1");
            EXPECT_EQ(fake.hostKeys[0].port, server->port());
            EXPECT_EQ(fake.hostKeys[0].keyType, type);
            EXPECT_EQ(fake.hostKeys[0].fingerprint, server->HostKeyFingerprint());
            EXPECT_TRUE(fake.asked.empty()) << when;
        };

        // Cancel: no connection, nothing kept.
        FakeQuestions cancel;
        ConnectParams p = Params(*server, false);
        p.questions = &cancel;
        Result r = Session(p).Connect();
        EXPECT_EQ(r.failure, Failure::Refused) << r.reason;
        EXPECT_EQ(r.reason, kHostKeyNotTrusted);
        expectAsked(cancel, "cancel");
        EXPECT_EQ(Trusted().find(keyBody), std::string::npos);

        // Once: kept for this session's reconnects only.
        FakeQuestions once;
        once.hostKeyAnswer = HostKeyAnswer::Once;
        p.questions = &once;
        {
            Session s(p);
            r = s.Connect();
            ASSERT_TRUE(r) << r.reason;
            expectAsked(once, "once");
            EXPECT_GT(server->CutConnections(), 0);
            // The request that finds the connection gone may fail; the
            // next one connects anew.
            std::vector<Entry> entries;
            Result listed = s.List("/", &entries);
            if (listed.failure == Failure::ConnectionLost)
                listed = s.List("/", &entries);
            ASSERT_TRUE(listed) << listed.reason;
            EXPECT_EQ(once.hostKeys.size(), 1u);
        }
        EXPECT_EQ(Trusted().find(keyBody), std::string::npos);
        FakeQuestions again;
        p.questions = &again;
        EXPECT_EQ(Session(p).Connect().failure, Failure::Refused);
        expectAsked(again, "a new session");

        // Always: our file (and its folder) made, private, and the next
        // session asks nothing.
        FakeQuestions always;
        always.hostKeyAnswer = HostKeyAnswer::Always;
        p.questions = &always;
        r = Session(p).Connect();
        ASSERT_TRUE(r) << r.reason;
        expectAsked(always, "always");
        EXPECT_NE(Trusted().find(keyBody), std::string::npos) << Trusted();
        EXPECT_EQ(fs::status(p.trustedKnownHosts).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        FakeQuestions later;
        p.questions = &later;
        r = Session(p).Connect();
        EXPECT_TRUE(r) << r.reason;
        EXPECT_EQ(later.Count(), 0u);
    }
}

TEST_F(SftpLoginTest, AChangedHostKeyIsRefusedBeforeAnyLoginAndNothingIsAsked) {
    fs::create_directories(m_dir.path() + "/settings");
    ConnectParams p = Params(*s_server, false);
    std::ofstream(p.trustedKnownHosts) << s_server->WrongHostKeyLine() << "\n";
    p.password = "never-sent";
    std::size_t before = s_server->Log().size();
    Session s(p);
    Result r = s.Connect();
    EXPECT_EQ(r.failure, Failure::Refused);
    EXPECT_EQ(r.reason, kChangedHostKey);
    EXPECT_EQ(m_fake.Count(), 0u);
    std::string log = LogSince(*s_server, before);
    EXPECT_NE(log.find("Connection from 127.0.0.1"), std::string::npos) << log;
    for (const char* login : {"Accepted", "Failed", "userauth", "Postponed"})
        EXPECT_EQ(log.find(login), std::string::npos) << login << "\n" << log;
}

TEST_F(SftpLoginTest, SecretsReachSshOnlyThroughTheHelpersSocket) {
    FakeQuestions fake;
    fake.hostKeyAnswer = HostKeyAnswer::Once;
    fake.secrets[SecretKind::Passphrase] = std::string(SftpServer::kPassphrase);
    const std::string stored = "stored-secret-never-shown";
    std::vector<std::string> seen;
    fake.whileAsked = [&] {
        for (std::string& text : SshChildrenTexts())
            seen.push_back(std::move(text));
    };
    ConnectParams p = Params(*s_server, false);
    p.questions = &fake;
    p.password = stored;
    p.ssh.identityFile = s_server->KeyFile("passphrase");
    Session s(p);
    Result r = s.Connect();
    ASSERT_TRUE(r) << r.reason;
    ASSERT_EQ(fake.Count(), 2u); // the host key, then the passphrase
    // ssh runs on after the login: what it was started with is still there.
    for (std::string& text : SshChildrenTexts())
        seen.push_back(std::move(text));
    ASSERT_GE(seen.size(), 6u); // argv and environment, three times
    for (const std::string& text : seen) {
        EXPECT_EQ(text.find(stored), std::string::npos);
        EXPECT_EQ(text.find(SftpServer::kPassphrase), std::string::npos);
    }
    EXPECT_NE(seen[1].find("SSH_ASKPASS_REQUIRE=force"), std::string::npos);
    EXPECT_EQ(s.SshMessages().find(SftpServer::kPassphrase), std::string::npos);
}

} // namespace
