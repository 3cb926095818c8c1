// The SFTP remote file system (remote::SftpFs): against a scripted server
// (tests/sftp/fake_sftp_server.py, started in the place of ssh) for what real
// servers do not do: reads that return less than asked, sizes that lie, names
// no local path may be made of, a connection that ends mid-file; and against
// the real OpenSSH server of the tests for links, lookups, renames and
// transfers resumed after the server cut the connection.
#include "platform/sftp/SftpFs.h"
#include "tests/TempDir.h"
#include "tests/TransferFakes.h"
#include "tests/sftp/SftpServer.h"
#include "tests/sftp/SftpSuite.h"
#include "transfer/TransferEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const std::string kFakeServer = ORVANE_TEST_DIR "/sftp/fake_sftp_server.py";

using transfer_fakes::Pattern;
constexpr auto Put = &transfer_fakes::Write;
constexpr auto Get = &transfer_fakes::Slurp;

// The names a folder holds, and those of its folders with "/" between.
std::set<std::string> Tree(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.insert(fs::relative(e.path(), dir).string());
    return names;
}

// The scripted server with one scenario, serving `content` as /srv/file.bin.
// Each session made from Params() starts the script anew; it counts the
// connections and logs the reads in a folder of its own.
class FakeServer {
public:
    FakeServer(const std::string& scenario, const std::string& content) {
        Put(m_dir.path() + "/source", content);
        std::ofstream(Config()) << "{\"scenario\": \"" << scenario << "\", \"source\": \""
                                << m_dir.path() << "/source\", \"state\": \"" << m_dir.path()
                                << "\"}";
    }
    std::string Config() const { return m_dir.path() + "/scenario.json"; }
    sftp::ConnectParams Params() const {
        sftp::ConnectParams p;
        p.ssh.host = "fake.invalid";
        p.ssh.program = kFakeServer;
        p.ssh.configFile = Config(); // the script reads its scenario from "-F"
        p.responseTimeoutSec = 20;
        return p;
    }
    std::shared_ptr<remote::SftpFs> Fs() const {
        return std::make_shared<remote::SftpFs>(Params());
    }
    // The offsets of the reads the connection `n` (from 1) was asked.
    std::vector<std::uint64_t> Reads(int n) const {
        std::vector<std::uint64_t> offsets;
        std::ifstream log(m_dir.path() + "/log");
        int connection = 0;
        std::string word;
        std::uint64_t offset = 0, length = 0;
        while (log >> connection >> word >> offset >> length)
            if (connection == n)
                offsets.push_back(offset);
        return offsets;
    }

private:
    TempDir m_dir;
};

// Keeps what a batch says.
class RecordingHost : public ITransferHost {
public:
    std::vector<std::string> lines;
    void AddLine(const std::string& line) override { lines.push_back(line); }
    ReplaceAnswer AskReplace(const ReplaceQuestion&) override { return ReplaceAnswer::Skip; }
    void OnBatchEnd(const BatchResult&) override {}
    long Count(const std::string& prefix) const {
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
};

// ---- against the scripted server -------------------------------------------

TEST(SftpFsScripted, ShortReadsStillLandWhole) {
    const std::string content = Pattern(300 * 1024 + 17, 1);
    FakeServer server("short-reads", content);
    auto sftp = server.Fs();
    TempDir local;
    const std::string target = local.path() + "/file.bin";
    remote::Result r = sftp->Download("/srv/file.bin", target, {}, -1, nullptr);
    ASSERT_TRUE(r) << r.reply;
    EXPECT_TRUE(Get(target) == content);
    EXPECT_EQ(Tree(local.path()), std::set<std::string>{"file.bin"});
    // The server gave less than asked: the rest of each block was asked again.
    EXPECT_GT(server.Reads(1).size(), content.size() / (64 * 1024) * 2);
}

TEST(SftpFsScripted, SizesThatDisagreeWithTheBytesFailAndLeaveNothing) {
    struct Case {
        const char* scenario;
        remote::Failure failure;
    };
    const Case cases[] = {
        // Says more than it gives: the rest may come another time.
        {"size-over=5000", remote::Failure::ConnectionLost},
        // Gives more than it says.
        {"size-under=5000", remote::Failure::Refused},
    };
    for (const Case& c : cases) {
        const std::string content = Pattern(200 * 1024 + 3, 2);
        FakeServer server(c.scenario, content);
        TempDir local;
        remote::Result r =
            server.Fs()->Download("/srv/file.bin", local.path() + "/file.bin", {}, -1, nullptr);
        EXPECT_FALSE(r) << c.scenario;
        EXPECT_EQ(r.failure, c.failure) << c.scenario << ": " << r.reply;
        // The message gives the bytes that came.
        EXPECT_NE(r.reply.find(std::to_string(content.size())), std::string::npos)
            << c.scenario << ": " << r.reply;
        EXPECT_TRUE(Tree(local.path()).empty()) << c.scenario;
    }
}

TEST(SftpFsScripted, HostileNamesAreUnsafeAndNeverBecomeLocalPaths) {
    FakeServer server("hostile-names", "x");
    auto sftp = server.Fs();
    std::vector<remote::Entry> entries;
    remote::Result listed = sftp->List("/srv/hostile", &entries, remote::Links::AsListed);
    ASSERT_TRUE(listed) << listed.reply;
    std::set<std::string> safe, unsafe;
    for (const remote::Entry& e : entries)
        (e.safe ? safe : unsafe).insert(e.name);
    EXPECT_EQ(safe, (std::set<std::string>{"fine.txt", "ok"}));
    // "." and ".." are left out of a listing; were they there, unsafe.
    for (const std::string& name :
         {"a/b"s, "../escape"s, "/etc/passwd"s, "back\\slash"s, "..\\up"s, "cr\rlf\nname"s, ""s})
        EXPECT_EQ(unsafe.count(name), 1u) << name;
    EXPECT_EQ(safe.count("."), 0u);
    EXPECT_EQ(safe.count(".."), 0u);

    // The folder fetched whole through the transfer batch, into a folder
    // inside another: nothing lands beside or above it.
    TempDir sandbox;
    const std::string inner = sandbox.path() + "/inner";
    fs::create_directories(inner);
    DownloadRequest request;
    request.session = sftp;
    request.currentPath = "/srv";
    request.localDir = inner;
    request.names = {"hostile"};
    RecordingHost host;
    std::atomic<int> stop{0};
    CDownloadBatch batch(std::move(request), host, stop);
    batch.Prepare();
    batch.Run();
    EXPECT_EQ(Tree(sandbox.path()),
              (std::set<std::string>{"inner", "inner/hostile", "inner/hostile/fine.txt",
                                     "inner/hostile/ok", "inner/hostile/ok/inner.txt"}));
    EXPECT_EQ(Get(inner + "/hostile/fine.txt"), "fine\n");
    EXPECT_EQ(host.Count("Done"), 2);
    // Every unsafe name the listing held is said to be skipped.
    EXPECT_EQ(host.Count("Unsafe name skipped"), static_cast<long>(unsafe.size()));
    for (const std::string& line : host.lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
}

TEST(SftpFsScripted, AConnectionEndingMidFileKeepsThePartOnlyForALanding) {
    const std::string content = Pattern(1024 * 1024 + 5, 3);
    for (bool withLanding : {true, false}) {
        SCOPED_TRACE(withLanding ? "with a landing" : "without one");
        FakeServer server("cut-at=400000", content);
        auto sftp = server.Fs();
        TempDir local;
        const std::string target = local.path() + "/file.bin";
        files::Landing landing;
        files::Landing* partial = withLanding ? &landing : nullptr;
        remote::Result r = sftp->Download("/srv/file.bin", target, {}, -1, partial);
        EXPECT_EQ(r.failure, remote::Failure::ConnectionLost) << r.reply;
        EXPECT_FALSE(fs::exists(target));
        if (!withLanding) {
            EXPECT_TRUE(Tree(local.path()).empty());
            continue;
        }
        // The part is kept beside the target, holding the bytes that came.
        ASSERT_GT(landing.Have(), 0u);
        EXPECT_LE(landing.Have(), 400000u);
        ASSERT_TRUE(fs::exists(landing.TempPath()));
        EXPECT_TRUE(Get(landing.TempPath()) == content.substr(0, landing.Have()));

        // The next try, on a new connection, goes on from the part.
        const std::uint64_t had = landing.Have();
        r = sftp->Download("/srv/file.bin", target, {}, -1, partial);
        ASSERT_TRUE(r) << r.reply;
        EXPECT_TRUE(Get(target) == content);
        EXPECT_EQ(Tree(local.path()), std::set<std::string>{"file.bin"});
        std::vector<std::uint64_t> reads = server.Reads(2);
        ASSERT_FALSE(reads.empty());
        EXPECT_GT(*std::min_element(reads.begin(), reads.end()), 0u);
        EXPECT_EQ(*std::min_element(reads.begin(), reads.end()),
                  had - std::min<std::uint64_t>(had, 64 * 1024));
    }
}

// ---- against the real server -------------------------------------------------

using SftpFsTest = SftpSuite;

TEST_F(SftpFsTest, ALinkToAFolderIsAFolderOnlyAsListed) {
    fs::create_directories(At("real"));
    fs::create_directory_symlink(At("real"), At("link"));
    Put(At("file"), "x");
    fs::create_symlink(At("file"), At("filelink"));
    struct Case {
        remote::Links links;
        bool linkIsFolder;
    };
    for (const Case& c :
         {Case{remote::Links::AsListed, true}, Case{remote::Links::NotEntered, false},
          Case{remote::Links::All, false}}) {
        std::vector<remote::Entry> entries;
        remote::Result r = session->List(m_dir, &entries, c.links);
        ASSERT_TRUE(r) << r.reply;
        std::map<std::string, remote::Entry> byName;
        for (const remote::Entry& e : entries)
            byName[e.name] = e;
        ASSERT_EQ(byName.size(), 4u);
        SCOPED_TRACE(static_cast<int>(c.links));
        EXPECT_TRUE(byName["link"].isLink);
        EXPECT_EQ(byName["link"].isDirectory, c.linkIsFolder);
        EXPECT_TRUE(byName["filelink"].isLink);
        EXPECT_FALSE(byName["filelink"].isDirectory);
        EXPECT_TRUE(byName["real"].isDirectory);
        EXPECT_FALSE(byName["real"].isLink);
        EXPECT_FALSE(byName["file"].isLink);
        EXPECT_FALSE(byName["file"].isDirectory);
    }
}

TEST_F(SftpFsTest, FindFileTellsAbsentFromPresent) {
    Put(At("five"), "12345");
    fs::create_directories(At("folder"));
    struct Case {
        std::string path;
        remote::Presence presence;
        std::uint64_t size;
        bool folder;
    };
    const Case cases[] = {
        {At("five"), remote::Presence::Present, 5, false},
        {At("folder"), remote::Presence::Present, 0, true},
        {At("missing"), remote::Presence::Absent, 0, false},
        {At("missing/deeper"), remote::Presence::Absent, 0, false},
    };
    for (const Case& c : cases) {
        std::uint64_t size = 99;
        bool folder = !c.folder;
        remote::Result why;
        EXPECT_EQ(session->FindFile(c.path, &size, &folder, &why), c.presence) << c.path;
        if (c.presence == remote::Presence::Present) {
            EXPECT_EQ(folder, c.folder) << c.path;
            if (!c.folder) {
                EXPECT_EQ(size, c.size) << c.path;
            }
        }
    }
}

TEST_F(SftpFsTest, RenameOntoAnExistingNameIsRefusedAndReplacesNothing) {
    Put(At("from"), "from");
    Put(At("to"), "to");
    fs::create_directories(At("dir"));
    for (const char* target : {"to", "dir"}) {
        remote::Result r = session->Rename(At("from"), At(target));
        EXPECT_EQ(r.failure, remote::Failure::Refused) << target;
        EXPECT_FALSE(r.reply.empty()) << target;
    }
    EXPECT_EQ(Get(At("from")), "from");
    EXPECT_EQ(Get(At("to")), "to");
    EXPECT_TRUE(fs::is_directory(At("dir")));
    ASSERT_TRUE(session->Rename(At("from"), At("new")));
    EXPECT_EQ(Get(At("new")), "from");
}

// The server cuts every connection once a transfer has moved `at` bytes.
remote::Progress CutAt(SftpServer& server, std::uint64_t at, bool* cut) {
    return [&server, at, cut](std::uint64_t done, std::uint64_t) {
        if (!*cut && done >= at) {
            *cut = true;
            server.CutConnections();
        }
    };
}

TEST_F(SftpFsTest, AnUploadCutMidFileGoesOnAndEndsWithTheServersSizeTheFiles) {
    const std::string content = Pattern(24 * 1024 * 1024 + 13, 5);
    TempDir local;
    Put(local.path() + "/up.bin", content);
    files::PartialUpload partial;
    bool cut = false;
    remote::Result r = session->Upload(local.path() + "/up.bin", At("up.bin"),
                                       CutAt(*s_server, 4 << 20, &cut), &partial);
    ASSERT_TRUE(cut);
    EXPECT_EQ(r.failure, remote::Failure::ConnectionLost) << r.reply;
    ASSERT_LT(fs::file_size(At("up.bin")), content.size());

    r = session->Upload(local.path() + "/up.bin", At("up.bin"), {}, &partial);
    ASSERT_TRUE(r) << r.reply;
    EXPECT_EQ(partial.tries, 2);
    EXPECT_GT(partial.resumedAt, 0u); // went on from what the server kept
    EXPECT_EQ(fs::file_size(At("up.bin")), content.size());
    EXPECT_TRUE(Get(At("up.bin")) == content);
}

TEST_F(SftpFsTest, AnUploadResumedOntoALongerServerFileNeverLeavesItsTail) {
    const std::string content = Pattern(16 * 1024 * 1024 + 7, 6);
    TempDir local;
    Put(local.path() + "/up.bin", content);
    files::PartialUpload partial;
    bool cut = false;
    remote::Result r = session->Upload(local.path() + "/up.bin", At("up.bin"),
                                       CutAt(*s_server, 4 << 20, &cut), &partial);
    ASSERT_TRUE(cut);
    ASSERT_FALSE(r);
    // Meanwhile the server's copy grew past the local file's end: its
    // beginning is still this file's, its tail is not.
    const std::uint64_t kept = fs::file_size(At("up.bin"));
    ASSERT_GT(kept, 0u);
    std::ofstream(At("up.bin"), std::ios::binary | std::ios::app)
        << std::string(content.size() + (1 << 20) - kept, 'T');
    ASSERT_GT(fs::file_size(At("up.bin")), content.size());

    // Sent again from its start, over the old copy: done means the server
    // holds the file and no more.
    r = session->Upload(local.path() + "/up.bin", At("up.bin"), {}, &partial);
    ASSERT_TRUE(r) << r.reply;
    EXPECT_EQ(partial.resumedAt, 0u);
    EXPECT_EQ(fs::file_size(At("up.bin")), content.size());
    EXPECT_TRUE(Get(At("up.bin")) == content);
}

} // namespace
