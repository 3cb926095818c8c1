// The transfer engine as plain code: the replace state, the download and
// upload batches, the remote walk, the planners and the job queue, driven with a fake host against
// real servers (pyftpdlib, vsftpd) and our scripted hostile server.
#include "tests/RemoteSession.h"
#include "tests/TempDir.h"
#include "tests/TransferFakes.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/RemoteWalk.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferPlanner.h"
#include "transfer/TransferQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

namespace fs = std::filesystem;

using namespace transfer_fakes;

// ---- plain logic ----

TEST(TransferTextTest, SizeTextsAreWholeKilobytesPlusOneAndSixtyFourBit) {
    EXPECT_EQ(FormatSizeText(0), "    Size : 0 KB");
    EXPECT_EQ(FormatSizeText(1), "    Size : 1 KB");
    EXPECT_EQ(FormatSizeText(1023), "    Size : 1 KB");
    EXPECT_EQ(FormatSizeText(1024), "    Size : 2 KB");
    EXPECT_EQ(FormatSizeText(3000), "    Size : 3 KB");
    EXPECT_EQ(FormatSizeText(5ULL << 30), "    Size : 5242881 KB");
}

TEST(TransferTextTest, PathsCollapseAndUnsafeNamesAreRecognised) {
    EXPECT_EQ(NormalisePath("///x"), "/x");
    EXPECT_EQ(NormalisePath("//pub//src/"), "/pub/src");
    EXPECT_EQ(NormalisePath(""), "/");
    for (const char* bad : {"", ".", "..", "a/b", "/tmp/x", "../x", "back\\slash"})
        EXPECT_FALSE(IsSafeName(bad)) << bad;
    EXPECT_FALSE(IsSafeName(std::string("nul\0x", 5)));
    EXPECT_FALSE(IsSafeName("a\r\nDELE x"));
    for (const char* good : {"a", "...", ".hidden", "x y#%;?", "\xc3\xa9t\xc3\xa9", "\xff"})
        EXPECT_TRUE(IsSafeName(good)) << good;
    EXPECT_EQ(PrintableName("a\r\nb"), "a\\x0d\\x0ab");
}

TEST(ReplaceStateTest, EachAnswerSetsTheFlagsOfItsRow) {
    CReplaceState s;
    s.TakeAnswer(ReplaceAnswer::Replace);
    EXPECT_EQ((std::vector<int>{s.m_bAsk, s.m_bReplace, s.m_bSkip, s.m_bSkipAll, s.m_bReplaceAll}),
              (std::vector<int>{1, 1, 0, 0, 0}));
    s.Reset();
    s.TakeAnswer(ReplaceAnswer::Skip);
    EXPECT_EQ((std::vector<int>{s.m_bAsk, s.m_bReplace, s.m_bSkip, s.m_bSkipAll, s.m_bReplaceAll}),
              (std::vector<int>{1, 0, 1, 0, 0}));
    s.Reset();
    s.TakeAnswer(ReplaceAnswer::ReplaceAll);
    EXPECT_EQ((std::vector<int>{s.m_bAsk, s.m_bReplace, s.m_bSkip, s.m_bSkipAll, s.m_bReplaceAll}),
              (std::vector<int>{0, 0, 0, 0, 1}));
    s.Reset();
    s.TakeAnswer(ReplaceAnswer::SkipAll);
    EXPECT_EQ(s.m_bSkipAll, 1);
    EXPECT_EQ(s.m_bReplaceAll, 0);
}

TEST(ReplaceStateTest, SkipReturnsToAskAndSkipAllStillLetsMissingTargetsThrough) {
    CReplaceState s;
    // Download: Skip skips this file and asks again for the next.
    s.TakeAnswer(ReplaceAnswer::Skip);
    EXPECT_TRUE(s.DownloadSkips(true));
    EXPECT_EQ(s.m_bAsk, 1);
    EXPECT_EQ(s.m_bSkip, 0);
    EXPECT_FALSE(s.DownloadSkips(false));
    // Skip All: asking off, existing targets skipped, missing ones fetched.
    s.TakeAnswer(ReplaceAnswer::SkipAll);
    EXPECT_TRUE(s.DownloadSkips(true));
    EXPECT_EQ(s.m_bAsk, 0);
    EXPECT_FALSE(s.DownloadSkips(false));
    EXPECT_TRUE(s.DownloadSkips(true));
    // Upload: Skip stays set and leaves out only files the server holds.
    CReplaceState u;
    u.TakeAnswer(ReplaceAnswer::Skip);
    EXPECT_TRUE(u.UploadSkips(true));
    EXPECT_FALSE(u.UploadSkips(false));
    EXPECT_EQ(u.m_bAsk, 1);
}

TEST(ReplaceStateTest, TheQuestionShowsTheExistingFileThenTheIncomingOne) {
    TempDir dir;
    std::string target = dir.path() + "/report.txt";
    CReplaceState s;
    int asked = 0;
    ReplaceQuestion seen;
    auto ask = [&](const ReplaceQuestion& q) {
        ++asked;
        seen = q;
        return ReplaceAnswer::ReplaceAll;
    };
    // No local file: no question, flags as they were.
    EXPECT_FALSE(s.ConfirmDownloadReplace(target, "report.txt", FormatSizeText(0), ask));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(s.m_bAsk, 1);
    Write(target, std::string(3000, 'x'));
    EXPECT_TRUE(s.ConfirmDownloadReplace(target, "report.txt", FormatSizeText(0), ask));
    EXPECT_EQ(seen.first, "report.txt    Size : 3 KB");
    EXPECT_EQ(seen.second, "report.txt    Size : 0 KB");
    EXPECT_EQ(s.m_bAsk, 0);

    CReplaceState u;
    EXPECT_FALSE(u.ConfirmUploadReplace(target, "report.txt", std::nullopt, ask));
    EXPECT_TRUE(u.ConfirmUploadReplace(target, "report.txt", 1024, ask));
    EXPECT_EQ(seen.first, "report.txt    Size : 2 KB");
    EXPECT_EQ(seen.second, "report.txt    Size : 3 KB");
}

// ---- against real servers ----

class TransferTest : public ::testing::TestWithParam<ServerKind> {
protected:
    std::unique_ptr<FtpServer> server;
    TempDir local;
    std::shared_ptr<remote::IRemoteFs> session;

    void SetUp() override {
        server = std::make_unique<FtpServer>(GetParam());
        ASSERT_TRUE(server->ok()) << server->error();
    }
    std::shared_ptr<remote::IRemoteFs> Connect() {
        server->Share();
        return ConnectRemote(server->port(), FtpServer::User(), FtpServer::Password());
    }
    std::string Root(const std::string& rel) const { return server->root() + "/" + rel; }
    std::string Local(const std::string& rel) const { return local.path() + "/" + rel; }

    BatchResult Download(FakeHost& host, const std::string& currentPath,
                         std::vector<std::string> names) {
        if (!session)
            session = Connect();
        EXPECT_TRUE(session);
        DownloadRequest r;
        r.session = session;
        r.currentPath = currentPath;
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CDownloadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        return batch.Run();
    }
    BatchResult Upload(FakeHost& host, const std::string& remoteDir,
                       std::vector<std::string> names) {
        if (!session)
            session = Connect();
        EXPECT_TRUE(session);
        UploadRequest r;
        r.session = session;
        r.remoteDir = remoteDir;
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CUploadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        return batch.Run();
    }
};

INSTANTIATE_TEST_SUITE_P(Servers, TransferTest,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST_P(TransferTest, ASingleFileArrivesWholeWithItsLines) {
    std::string data = Pattern(300000);
    Write(Root("pub/a.bin"), data);
    FakeHost host;
    BatchResult r = Download(host, "/pub", {"a.bin"});
    EXPECT_EQ(host.Lines(), (Lines{"Downloading  a.bin", "Done"}));
    EXPECT_EQ(Slurp(Local("a.bin")), data);
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(r.filesDone, 1u);
    EXPECT_TRUE(host.questions.empty());
    EXPECT_GE(host.progressCalls, 1);
    EXPECT_EQ(host.lastProgress.name, "a.bin");
    EXPECT_EQ(host.lastProgress.total, 300000u); // the listing gave the size
}

TEST_P(TransferTest, ANestedTreeIsMirroredLevelByLevelBinaryInsideFolders) {
    // Bytes that a text transfer would change: CR LF pairs and lone LFs.
    std::string binary = "a\r\nb\nc\r\x00\xff" + Pattern(5000);
    Write(Root("pub/src/a.c"), "int a;\n");
    Write(Root("pub/src/lib/deep/x.bin"), binary);
    Write(Root("pub/src/lib/b.c"), "int b;\r\n");
    fs::create_directories(Root("pub/src/empty"));
    FakeHost host;
    BatchResult r = Download(host, "/pub", {"src"});
    EXPECT_EQ(Slurp(Local("src/a.c")), "int a;\n");
    EXPECT_EQ(Slurp(Local("src/lib/b.c")), "int b;\r\n");
    EXPECT_EQ(Slurp(Local("src/lib/deep/x.bin")), binary);
    EXPECT_TRUE(fs::is_directory(Local("src/empty")));
    // Level by level: a.c before the files of lib, lib's before deep's; no
    // lines for folders, and "Downloading  " lines are followed by "Done".
    Lines lines = host.Lines();
    auto at = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l); };
    EXPECT_LT(at("Downloading  a.c"), at("Downloading  b.c"));
    EXPECT_LT(at("Downloading  b.c"), at("Downloading  x.bin"));
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(host.Count("Done"), 3u);
    EXPECT_EQ(r.filesDone, 3u);
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_P(TransferTest, ReplaceFetchesThisOneAndTheNextExistingFileAsksAgain) {
    Write(Root("pub/a.txt"), "new a");
    Write(Root("pub/b.txt"), "new b");
    Write(Local("a.txt"), "old a");
    Write(Local("b.txt"), "old b");
    FakeHost host;
    host.answers = {ReplaceAnswer::Replace, ReplaceAnswer::Skip};
    Download(host, "/pub", {"a.txt", "b.txt"});
    ASSERT_EQ(host.questions.size(), 2u);
    EXPECT_EQ(host.questions[0].first, "a.txt    Size : 1 KB");
    EXPECT_EQ(host.questions[0].second, "a.txt    Size : 1 KB");
    EXPECT_EQ(Slurp(Local("a.txt")), "new a");
    EXPECT_EQ(Slurp(Local("b.txt")), "old b");
    EXPECT_EQ(host.Lines(), (Lines{"Downloading  a.txt", "Done"}));
}

TEST_P(TransferTest, SkipThenASecondExistingFileAsksAgain) {
    for (const char* n : {"a.txt", "b.txt", "c.txt"}) {
        Write(Root(std::string("pub/") + n), "new");
        Write(Local(n), "old");
    }
    FakeHost host; // every answer Skip, as Esc
    BatchResult r = Download(host, "/pub", {"a.txt", "b.txt", "c.txt"});
    EXPECT_EQ(host.questions.size(), 3u);
    EXPECT_TRUE(host.Lines().empty());
    EXPECT_EQ(Slurp(Local("c.txt")), "old");
    EXPECT_EQ(r.filesSkipped, 3u);
    EXPECT_FALSE(r.changed); // nothing was fetched: no refresh needed
}

TEST_P(TransferTest, ReplaceAllHoldsAcrossWalkedFolders) {
    Write(Root("pub/top.txt"), "new top");
    Write(Root("pub/d/one.txt"), "new one");
    Write(Root("pub/d/sub/two.txt"), "new two");
    Write(Local("top.txt"), "old");
    Write(Local("d/one.txt"), "old");
    Write(Local("d/sub/two.txt"), "old");
    FakeHost host;
    host.answers = {ReplaceAnswer::ReplaceAll};
    Download(host, "/pub", {"top.txt", "d"});
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(Slurp(Local("top.txt")), "new top");
    EXPECT_EQ(Slurp(Local("d/one.txt")), "new one");
    EXPECT_EQ(Slurp(Local("d/sub/two.txt")), "new two");
    EXPECT_EQ(host.Count("Done"), 3u);
}

TEST_P(TransferTest, SkipAllKeepsExistingFilesAndStillFetchesMissingOnes) {
    Write(Root("pub/d/one.txt"), "new one");
    Write(Root("pub/d/sub/two.txt"), "new two");
    Write(Root("pub/d/sub/three.txt"), "new three");
    Write(Local("d/one.txt"), "old one");
    Write(Local("d/sub/two.txt"), "old two");
    FakeHost host;
    host.answers = {ReplaceAnswer::SkipAll};
    Download(host, "/pub", {"d"});
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(Slurp(Local("d/one.txt")), "old one");
    EXPECT_EQ(Slurp(Local("d/sub/two.txt")), "old two");
    EXPECT_EQ(Slurp(Local("d/sub/three.txt")), "new three");
    EXPECT_EQ(host.Lines(), (Lines{"Downloading  three.txt", "Done"}));
}

TEST_P(TransferTest, FailedFetchesAreReportedAtTopLevelAndInsideFolders) {
    Write(Root("pub/d/blocked.txt"), "server data");
    Write(Root("pub/d/fine.txt"), "fine");
    // A local folder where the file should land: the fetch cannot replace it.
    fs::create_directories(Local("d/blocked.txt"));
    FakeHost host;
    host.answers = {ReplaceAnswer::ReplaceAll};
    BatchResult r = Download(host, "/pub", {"ghost.txt", "d"});
    Lines lines = host.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Downloading  ghost.txt");
    EXPECT_EQ(lines[1], "Error Downloading  ghost.txt");
    EXPECT_EQ(lines[2].rfind("550 ", 0), 0u) << lines[2]; // why, in the server's words
    // A file never takes a folder's place: one line, no question, no error.
    EXPECT_EQ(host.Count("A file does not replace a folder: " + Local("d/blocked.txt")), 1u);
    EXPECT_EQ(host.Count("Done"), 1u);
    EXPECT_EQ(Slurp(Local("d/fine.txt")), "fine");
    EXPECT_TRUE(fs::is_directory(Local("d/blocked.txt")));
    EXPECT_EQ(r.filesFailed, 1u);
    EXPECT_EQ(r.filesSkipped, 1u);
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_P(TransferTest, ALocalFolderLinkedElsewhereIsNotWrittenThrough) {
    Write(Root("pub/d/a.txt"), "server a");
    Write(Root("pub/d/s/b.txt"), "server b");
    TempDir elsewhere;
    fs::create_directories(Local("d"));
    // The mirror of /pub/d/s is a link out of the chosen folder.
    symlink(elsewhere.path().c_str(), Local("d/s").c_str());
    FakeHost host;
    BatchResult r = Download(host, "/pub", {"d"});
    EXPECT_EQ(Slurp(Local("d/a.txt")), "server a");
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
    EXPECT_EQ(host.Count("Error "), 1u);
    EXPECT_EQ(host.Count("The local folder is not where it was: nothing is written through a link"),
              1u);
    EXPECT_EQ(r.filesFailed, 1u);
}

TEST_P(TransferTest, ServerLinksInAFolderAreFetchedAsFilesAndNeverEntered) {
    // pyftpdlib's MLSD shows a link to a folder as a folder: the walk must
    // still see it as a link and leave what it points to alone.
    Write(Root("pub/src/real.txt"), "real");
    Write(Root("pub/outside/secret.txt"), "secret");
    Write(Root("pub/outside/more/deep.txt"), "deep");
    symlink("../outside", Root("pub/src/tofolder").c_str());
    symlink("..", Root("pub/src/up").c_str());
    symlink("../outside/secret.txt", Root("pub/src/tofile").c_str());
    FakeHost host;
    BatchResult r = Download(host, "/pub", {"src"});
    EXPECT_EQ(Slurp(Local("src/real.txt")), "real");
    // Fetched as a file: a link to a file brings the file's bytes, a link to
    // a folder fails alone; nothing below either folder link is walked.
    EXPECT_EQ(Slurp(Local("src/tofile")), "secret");
    EXPECT_FALSE(fs::exists(Local("src/tofolder/secret.txt")));
    EXPECT_FALSE(fs::exists(Local("src/tofolder/more")));
    EXPECT_FALSE(fs::exists(Local("src/up/src")));
    EXPECT_FALSE(fs::is_directory(Local("src/tofolder")));
    EXPECT_EQ(host.Count("Downloading  real.txt"), 1u);
    EXPECT_EQ(host.Count("Downloading  secret.txt"), 0u);
    EXPECT_EQ(host.Count("Downloading  deep.txt"), 0u);
    EXPECT_EQ(r.filesDone, 2u);
    EXPECT_EQ(r.filesFailed, 2u); // the two folder links
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_P(TransferTest, ALinkWhoseNameHoldsAnArrowIsTakenForTheLinkItIs) {
    if (GetParam() == ServerKind::Vsftpd)
        GTEST_SKIP() << "without MLSD a LIST line \"a -> b -> real.txt\" does not say which "
                        "name is the link's";
    Write(Root("top/a"), "plain a");
    Write(Root("top/real.txt"), "link target");
    fs::create_directories(Root("top/dir -> x"));
    Write(Root("top/dir -> x/in.txt"), "in a folder with an arrow");
    symlink("real.txt", Root("top/a -> b").c_str());
    FakeHost host;
    BatchResult r = Download(host, "/", {"top"});
    EXPECT_EQ(Slurp(Local("top/a")), "plain a");
    EXPECT_EQ(Slurp(Local("top/a -> b")), "link target");
    EXPECT_EQ(Slurp(Local("top/dir -> x/in.txt")), "in a folder with an arrow");
    EXPECT_TRUE(host.questions.empty());
    EXPECT_EQ(host.Count("Downloading  a"), 1u);
    EXPECT_EQ(r.filesDone, 4u);
    EXPECT_EQ(r.filesFailed, 0u);
}

TEST_P(TransferTest, NothingSelectedEndsAtOnceWithoutLines) {
    FakeHost host;
    BatchResult r = Download(host, "/", {});
    EXPECT_TRUE(host.Lines().empty());
    EXPECT_FALSE(r.changed);
    BatchResult u = Upload(host, "/", {});
    EXPECT_TRUE(host.Lines().empty());
    EXPECT_FALSE(u.uploaded);
    EXPECT_EQ(host.starts, 2);
}

TEST_P(TransferTest, AtTheRootFoldersAndFilesTravelBothWays) {
    Write(Root("x/in.txt"), "root folder file");
    Write(Root("r.txt"), "root file");
    FakeHost host;
    Download(host, "/", {"x", "r.txt"});
    EXPECT_EQ(Slurp(Local("x/in.txt")), "root folder file");
    EXPECT_EQ(Slurp(Local("r.txt")), "root file");
    EXPECT_EQ(host.Count("Done"), 2u);

    Write(Local("up/deep/u.txt"), "up deep");
    Write(Local("u.txt"), "u");
    FakeHost up;
    BatchResult r = Upload(up, "/", {"up", "u.txt"});
    EXPECT_EQ(Slurp(Root("up/deep/u.txt")), "up deep");
    EXPECT_EQ(Slurp(Root("u.txt")), "u");
    EXPECT_TRUE(r.uploaded);
    EXPECT_EQ(up.Count("Creating Directory /up/deep"), 1u);
}

TEST_P(TransferTest, UploadWritesItsLinesAndCreatesOnlyNewFolders) {
    Write(Local("data/a.txt"), "a");
    Write(Local("data/img/b.png"), Pattern(70000));
    Write(Local("data/old/c.txt"), "c");
    Write(Local("single.txt"), "single");
    fs::create_directories(Root("pub/data/old")); // exists already: no line for it
    FakeHost host;
    std::string cwd = fs::current_path();
    BatchResult r = Upload(host, "/pub", {"data", "single.txt"});
    EXPECT_EQ(fs::current_path(), cwd); // the folder test does not move the process
    EXPECT_EQ(Slurp(Root("pub/data/a.txt")), "a");
    EXPECT_EQ(Slurp(Root("pub/data/img/b.png")), Pattern(70000));
    EXPECT_EQ(Slurp(Root("pub/data/old/c.txt")), "c");
    EXPECT_EQ(Slurp(Root("pub/single.txt")), "single");
    EXPECT_EQ(host.Count("Creating Directory /pub/data/img"), 1u);
    EXPECT_EQ(host.Count("Creating Directory /pub/data/old"), 0u);
    EXPECT_EQ(host.Count("Creating Directory /pub/data"), 0u); // made by the command
    EXPECT_EQ(host.Count("Uploading  a.txt"), 1u);
    EXPECT_EQ(host.Count("Uploading  b.png"), 1u);
    EXPECT_EQ(host.Lines().back(), "Done");
    EXPECT_EQ(host.Lines()[host.Lines().size() - 2], "Uploading single.txt");
    EXPECT_EQ(r.filesDone, 4u);
}

TEST_P(TransferTest, AFolderMadeOnTheServerCountsAsAChangeOfTheFolderItIsIn) {
    fs::create_directories(Local("empty"));
    fs::create_directories(Local("outer/inner"));
    fs::create_directories(Root("pub/sub"));
    fs::create_directories(Root("pub/there")); // exists already: nothing new
    fs::create_directories(Local("there"));
    struct Case {
        const char* what;
        std::string remoteDir;
        std::vector<std::string> names;
        bool uploaded, shownChanged;
    };
    const Case cases[] = {
        {"an empty folder", "/pub", {"empty"}, true, true},
        {"folders within folders", "/pub/sub", {"outer"}, true, true},
        {"a folder the server holds already", "/pub", {"there"}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHost host;
        BatchResult r = Upload(host, c.remoteDir, c.names);
        EXPECT_EQ(r.uploaded, c.uploaded);
        EXPECT_EQ(r.shownChanged, c.shownChanged);
        EXPECT_EQ(r.filesDone, 0u);
    }
    EXPECT_TRUE(fs::is_directory(Root("pub/empty")));
    EXPECT_TRUE(fs::is_directory(Root("pub/sub/outer/inner")));
}

TEST_P(TransferTest, DroppedBatchesCarryTheirOwnPathsBothWays) {
    Write(Local("src/f/in.txt"), "in");
    Write(Local("src/one.txt"), "one");
    Write(Local("src/two.txt"), "two");
    fs::create_directories(Root("pub/target"));
    session = Connect();
    ASSERT_TRUE(session);
    FakeHost up;
    UploadRequest u;
    u.session = session;
    u.dropMode = true;
    u.localDir = "/nowhere"; // a drop names its sources itself
    u.items = {CTransferItem(Local("src/f"), "/pub/target/f", "f", 1),
               CTransferItem(Local("src/one.txt"), "/pub/target//one.txt", "one.txt", 0),
               CTransferItem(Local("src/two.txt"), "/pub/target/two.txt", "two.txt", 0)};
    std::atomic<int> stop{0};
    CUploadBatch upload(u, up, stop);
    upload.Prepare();
    BatchResult ur = upload.Run();
    EXPECT_EQ(Slurp(Root("pub/target/f/in.txt")), "in");
    EXPECT_EQ(Slurp(Root("pub/target/one.txt")), "one");
    EXPECT_EQ(Slurp(Root("pub/target/two.txt")), "two"); // every item, not the first only
    EXPECT_TRUE(ur.dropSent);

    FakeHost down;
    DownloadRequest d;
    d.session = session;
    d.dropMode = true;
    d.localDir = "/nowhere";
    d.items = {CTransferItem("/pub/target/f", Local("back/f"), "f", 1, 11),
               CTransferItem(Local("back/one.txt"), "/pub/target/one.txt", "one.txt", 0)};
    fs::create_directories(Local("back"));
    CDownloadBatch download(d, down, stop);
    download.Prepare();
    BatchResult dr = download.Run();
    EXPECT_EQ(Slurp(Local("back/f/in.txt")), "in");
    EXPECT_EQ(Slurp(Local("back/one.txt")), "one");
    EXPECT_TRUE(dr.changed);
}

TEST_P(TransferTest, UploadAnswersHoldAsForDownloads) {
    Write(Local("d/1.txt"), "new 1");
    Write(Local("d/2.txt"), "new 2");
    Write(Local("d/s/3.txt"), "new 3");
    Write(Local("d/s/4.txt"), "new 4");
    Write(Root("pub/d/1.txt"), "old 1");
    Write(Root("pub/d/2.txt"), "old 2");
    Write(Root("pub/d/s/3.txt"), "old 3");
    {
        // Skip: the next existing file asks again; Skip All then leaves the
        // rest that exist and sends the missing one.
        FakeHost host;
        host.answers = {ReplaceAnswer::Skip, ReplaceAnswer::SkipAll};
        Upload(host, "/pub", {"d"});
        EXPECT_EQ(host.questions.size(), 2u);
        EXPECT_EQ(Slurp(Root("pub/d/1.txt")), "old 1");
        EXPECT_EQ(Slurp(Root("pub/d/2.txt")), "old 2");
        EXPECT_EQ(Slurp(Root("pub/d/s/3.txt")), "old 3");
        EXPECT_EQ(Slurp(Root("pub/d/s/4.txt")), "new 4");
        EXPECT_EQ(host.Count("Uploading  4.txt"), 1u);
    }
    {
        FakeHost host;
        host.answers = {ReplaceAnswer::ReplaceAll};
        Upload(host, "/pub", {"d"});
        EXPECT_EQ(host.questions.size(), 1u);
        EXPECT_EQ(Slurp(Root("pub/d/1.txt")), "new 1");
        EXPECT_EQ(Slurp(Root("pub/d/s/3.txt")), "new 3");
        EXPECT_EQ(host.Count("Done"), 4u);
    }
    {
        FakeHost host;
        host.answers = {ReplaceAnswer::Replace};
        Write(Local("d/1.txt"), "newer 1");
        Upload(host, "/pub", {"d"});
        // Replace then every other existing file asks (Skip, by default).
        EXPECT_EQ(host.questions.size(), 4u);
        EXPECT_EQ(host.Count("Done"), 1u);
    }
}

TEST_P(TransferTest, UnreadableEntriesFailOneByOneAndLinksBackAreNotFollowed) {
    Write(Local("d/good.txt"), "good");
    symlink("/nonexistent/target", Local("d/dangling").c_str());
    mkfifo(Local("d/pipe").c_str(), 0600);
    Write(Local("d/s/in.txt"), "in");
    symlink("..", Local("d/s/loop").c_str()); // back up into d
    symlink(".", Local("d/self").c_str());    // d itself
    Write(Local("top.txt"), "t");
    symlink("/nonexistent/top", Local("gone.txt").c_str());
    FakeHost host;
    BatchResult r = Upload(host, "/", {"d", "gone.txt", "top.txt"});
    EXPECT_EQ(Slurp(Root("d/good.txt")), "good");
    EXPECT_EQ(host.Count("Error Uploading    dangling"), 1u);
    EXPECT_EQ(host.Count("Error Uploading    pipe"), 1u);
    EXPECT_EQ(host.Count("Error Uploading gone.txt"), 1u);
    EXPECT_EQ(Slurp(Root("top.txt")), "t");
    EXPECT_EQ(Slurp(Root("d/s/in.txt")), "in");
    // Links back into folders already entered are not followed (nor made).
    EXPECT_FALSE(fs::exists(Root("d/self")));
    EXPECT_FALSE(fs::exists(Root("d/s/loop")));
    EXPECT_EQ(host.Count("Uploading  good.txt"), 1u);
    EXPECT_EQ(host.Count("Folder link not followed: " + Local("d/self")), 1u);
    EXPECT_EQ(host.Count("Folder link not followed: " + Local("d/s/loop")), 1u);
    EXPECT_EQ(r.filesFailed, 3u);
}

TEST_P(TransferTest, AnUnreadableFileInAnUploadedFolderFailsAlone) {
    Write(Local("d/open.txt"), "open");
    Write(Local("d/secret.txt"), "secret");
    chmod(Local("d/secret.txt").c_str(), 0);
    Write(Local("d/locked/inside.txt"), "inside");
    chmod(Local("d/locked").c_str(), 0);
    chmod(local.path().c_str(), 0755);
    int port = server->port();
    server->Share();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    // As an ordinary user: root reads every file whatever its mode.
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        auto s = ConnectRemote(port, FtpServer::User(), FtpServer::Password(), 60);
        if (!s)
            _exit(2);
        FakeHost host;
        UploadRequest r;
        r.session = s;
        r.remoteDir = "/";
        r.localDir = local.path();
        r.names = {"d"};
        std::atomic<int> stop{0};
        CUploadBatch batch(r, host, stop);
        batch.Prepare();
        batch.Run();
        std::string text;
        for (const std::string& l : host.Lines())
            text += l + "\n";
        if (write(out[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(4);
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(text.find("Uploading  secret.txt\nError Uploading    secret.txt\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Uploading  open.txt\nDone\n"), std::string::npos) << text;
    // A folder that cannot be read is named, not passed over in silence.
    EXPECT_NE(text.find("Unable to read folder " + Local("d/locked") + " : Permission denied\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(Slurp(Root("d/open.txt")), "open");
    EXPECT_FALSE(fs::exists(Root("d/secret.txt")));
    EXPECT_FALSE(fs::exists(Root("d/locked/inside.txt")));
}

TEST_P(TransferTest, NamesThatAreNotUtf8TravelAsTheirBytesAndLineBreaksNever) {
    if (GetParam() == ServerKind::Pyftpdlib)
        GTEST_SKIP() << "pyftpdlib reads commands as UTF-8 only";
    const std::string odd = "caf\xe9 \xff.bin"; // Latin-1, not UTF-8
    Write(Local("d/" + odd), "odd bytes");
    Write(Local("d/evil\r\nDELE keep.txt"), "injected");
    Write(Root("d/keep.txt"), "keep");
    FakeHost up;
    Upload(up, "/", {"d"});
    EXPECT_EQ(Slurp(Root("d/" + odd)), "odd bytes");
    EXPECT_EQ(Slurp(Root("d/keep.txt")), "keep");
    EXPECT_EQ(up.Count("Unsafe name skipped: evil\\x0d\\x0aDELE keep.txt"), 1u);
    fs::remove_all(Local("d"));
    FakeHost down;
    Download(down, "/", {"d"});
    EXPECT_EQ(Slurp(Local("d/" + odd)), "odd bytes");
    EXPECT_EQ(down.Count("Downloading  " + odd), 1u);
}

TEST_P(TransferTest, PathsLongerThanAnyFixedBufferTravelWhole) {
    // Five levels of 200-byte names: 1,000 bytes and more below the root.
    std::string rel = "long";
    for (int i = 0; i < 5; ++i)
        rel += "/" + std::string(200, static_cast<char>('a' + i));
    Write(Local(rel + "/f.txt"), "deep up");
    FakeHost up;
    Upload(up, "/", {"long"});
    EXPECT_EQ(Slurp(Root(rel + "/f.txt")), "deep up");
    EXPECT_EQ(up.Count("Done"), 1u);
    fs::remove_all(Local("long"));
    FakeHost down;
    Download(down, "/", {"long"});
    EXPECT_EQ(Slurp(Local(rel + "/f.txt")), "deep up");
    EXPECT_EQ(down.Count("Done"), 1u);
}

TEST_P(TransferTest, WalkCountsAndCollectsTheTreeWithSixtyFourBitTotals) {
    Write(Root("w/a.txt"), std::string(1000, 'a'));
    Write(Root("w/s/b.txt"), std::string(24, 'b'));
    fs::create_directories(Root("w/s/t/u"));
    {
        // A sparse file of 5 GiB: the total passes 32 bits.
        std::ofstream big(Root("w/s/t/big"), std::ios::binary);
        big.seekp((5LL << 30) - 1);
        big.put('x');
    }
    session = Connect();
    ASSERT_TRUE(session);
    std::atomic<int> stop{0};
    CRemoteWalk count(session, &stop, nullptr);
    count.WalkTree(WalkKind::Count, "/w");
    EXPECT_EQ(count.m_nFolderCount, 3u);
    EXPECT_EQ(count.m_nFileCount, 3u);
    EXPECT_EQ(count.m_nTotalBytes, (5ULL << 30) + 1024);

    CRemoteWalk collect(session, &stop, nullptr);
    collect.WalkTree(WalkKind::Collect, "//w/");
    std::vector<std::string> paths;
    for (const CRemoteItem& i : collect.m_arrRemoteItems)
        paths.push_back(i.m_strPath + (i.m_bIsDir ? "/" : ""));
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"/w/a.txt", "/w/s/", "/w/s/b.txt", "/w/s/t/",
                                               "/w/s/t/big", "/w/s/t/u/"}));
    // Breadth first: a folder comes before everything inside it.
    auto pos = [&](const std::string& p) {
        for (size_t i = 0; i < collect.m_arrRemoteItems.size(); ++i)
            if (collect.m_arrRemoteItems[i].m_strPath == p)
                return i;
        return size_t(-1);
    };
    EXPECT_LT(pos("/w/s"), pos("/w/s/t"));
    EXPECT_LT(pos("/w/s/t"), pos("/w/s/t/big"));
    EXPECT_EQ(collect.m_nFileCount, 0u); // collect mode does not count
}

TEST_P(TransferTest, StopInADeepTreeEndsTheBatchAfterTheFileInFlight) {
    std::string path = "t";
    for (int level = 0; level < 10; ++level) {
        for (int f = 0; f < 10; ++f)
            Write(Root(path + "/f" + std::to_string(f) + ".txt"), "data");
        path += "/l" + std::to_string(level);
    }
    session = Connect();
    ASSERT_TRUE(session);
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    DownloadRequest r;
    r.session = session;
    r.currentPath = "/";
    r.localDir = local.path();
    r.names = {"t"};
    ASSERT_TRUE(engine.StartDownload(r, host));
    ASSERT_TRUE(host->WaitFor([&] { return host->HasLine("Done"); }));
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(5000));
    ASSERT_TRUE(host->end);
    EXPECT_TRUE(host->end->stopped);
    EXPECT_TRUE(host->end->changed);
    size_t fetched = 0;
    Lines lines = host->Lines();
    for (const std::string& l : lines)
        fetched += l.rfind("Downloading  ", 0) == 0;
    EXPECT_LT(fetched, 100u);
    // Nothing starts after the stop: the last line ends the file in flight.
    EXPECT_NE(lines.back().rfind("Downloading  ", 0), 0u);
    EXPECT_FALSE(engine.IsBusy());
    // The engine takes the next batch at once.
    auto again = std::make_shared<FakeHost>();
    r.names = {};
    EXPECT_TRUE(engine.StartDownload(r, again));
    EXPECT_TRUE(engine.WaitIdle(5000));
}

TEST_P(TransferTest, StopInTheMiddleOfALargeFileKeepsTheOldFileAndSaysNoDone) {
    {
        std::ofstream big(Root("big.bin"), std::ios::binary);
        big.seekp((3LL << 30) - 1);
        big.put('x');
    }
    Write(Local("big.bin"), "the old file");
    session = Connect();
    ASSERT_TRUE(session);
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    host->answers = {ReplaceAnswer::Replace};
    DownloadRequest r;
    r.session = session;
    r.currentPath = "/";
    r.localDir = local.path();
    r.names = {"big.bin"};
    ASSERT_TRUE(engine.StartDownload(r, host));
    // Stop once some bytes have arrived.
    ASSERT_TRUE(host->WaitFor([&] { return host->lastProgress.done > 0; }));
    auto stopped = std::chrono::steady_clock::now();
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    // Abandoned by Stop: said so, not as an error.
    EXPECT_EQ(host->Lines(), (Lines{"Downloading  big.bin", "Stopped Downloading  big.bin"}));
    EXPECT_EQ(Slurp(Local("big.bin")), "the old file");
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
    EXPECT_TRUE(host->end->stopped);
    // The session goes on after the abort.
    std::vector<remote::Entry> entries;
    remote::Result listed = session->List("/", &entries);
    EXPECT_TRUE(listed) << listed.reply;
}

TEST_P(TransferTest, StopInTheMiddleOfALargeUploadEndsItWithinASecond) {
    {
        std::ofstream big(Local("big.bin"), std::ios::binary);
        big.seekp((3LL << 30) - 1);
        big.put('x');
    }
    session = Connect();
    ASSERT_TRUE(session);
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    UploadRequest r;
    r.session = session;
    r.remoteDir = "/";
    r.localDir = local.path();
    r.names = {"big.bin", "after.txt"};
    Write(Local("after.txt"), "never sent");
    ASSERT_TRUE(engine.StartUpload(r, host));
    ASSERT_TRUE(host->WaitFor([&] { return host->lastProgress.done > 0; }));
    auto stopped = std::chrono::steady_clock::now();
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    EXPECT_EQ(host->Lines(), (Lines{"Uploading big.bin", "Stopped Uploading big.bin"}));
    EXPECT_FALSE(fs::exists(Root("after.txt")));
    EXPECT_TRUE(host->end->stopped);
    EXPECT_TRUE(host->end->uploaded); // the remote list is refreshed
}

// One batch runs at a time; one asked for meanwhile waits its turn, and a
// Stop ends the running one and those waiting (their hosts hear it).
TEST_P(TransferTest, BatchesAskedForWhileOneRunsWaitTheirTurn) {
    Write(Root("a.txt"), "new");
    Write(Local("a.txt"), "old");
    Write(Local("b.txt"), "b");
    Write(Local("c.txt"), "c");
    session = Connect();
    ASSERT_TRUE(session);
    CTransferEngine engine;
    std::mutex m;
    std::condition_variable cv;
    bool asked = false, release = false;
    auto blocking = [&] {
        auto host = std::make_shared<FakeHost>();
        host->onQuestion = [&] {
            std::unique_lock lock(m);
            asked = true;
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        };
        return host;
    };
    auto waitAsked = [&] {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return asked; });
    };
    auto letGo = [&] {
        {
            std::lock_guard lock(m);
            release = true;
        }
        cv.notify_all();
    };
    DownloadRequest d;
    d.session = session;
    d.currentPath = "/";
    d.localDir = local.path();
    d.names = {"a.txt"};
    auto upload = [&](const std::string& name) {
        UploadRequest u;
        u.session = session;
        u.remoteDir = "/";
        u.localDir = local.path();
        u.names = {name};
        return u;
    };

    auto first = blocking();
    ASSERT_TRUE(engine.StartDownload(d, first));
    ASSERT_TRUE(waitAsked());
    auto second = std::make_shared<FakeHost>();
    ASSERT_TRUE(engine.StartUpload(upload("b.txt"), second));
    EXPECT_TRUE(engine.IsBusy());
    EXPECT_EQ(second->starts, 0); // waits while the first asks
    EXPECT_TRUE(second->Lines().empty());
    letGo();
    ASSERT_TRUE(engine.WaitIdle(10000));
    ASSERT_TRUE(second->end);
    EXPECT_EQ(second->starts, 1);
    EXPECT_EQ(second->end->filesDone, 1u);
    EXPECT_EQ(Slurp(Root("b.txt")), "b");
    EXPECT_EQ(Slurp(Local("a.txt")), "old"); // the default answer was Skip

    asked = release = false;
    auto third = blocking();
    ASSERT_TRUE(engine.StartDownload(d, third));
    ASSERT_TRUE(waitAsked());
    auto fourth = std::make_shared<FakeHost>();
    ASSERT_TRUE(engine.StartUpload(upload("c.txt"), fourth));
    engine.Stop();
    letGo();
    ASSERT_TRUE(engine.WaitIdle(10000));
    ASSERT_TRUE(fourth->end);
    EXPECT_TRUE(fourth->end->stopped);
    EXPECT_EQ(fourth->end->direction, TransferDirection::Upload);
    EXPECT_EQ(fourth->starts, 0);
    EXPECT_FALSE(fs::exists(Root("c.txt")));
    EXPECT_FALSE(engine.IsBusy());

    EXPECT_FALSE(engine.StartDownload(DownloadRequest{}, fourth)); // no session
}

TEST_P(TransferTest, AFullDiskFailsTheFileAndKeepsWhatWasThere) {
    Write(Root("pub/big.bin"), Pattern(3 << 20));
    Write(Root("pub/small.txt"), "small");
    Write(Local("big.bin"), "kept");
    session.reset();
    int port = server->port();
    server->Share();
    std::string lines = Local("lines.txt");
    // In a child whose files may not grow past 1 MiB, as on a full disk.
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{1 << 20, 1 << 20};
        setrlimit(RLIMIT_FSIZE, &lim);
        auto s = ConnectRemote(port, FtpServer::User(), FtpServer::Password(), 60);
        if (!s)
            _exit(2);
        FakeHost host;
        host.answers = {ReplaceAnswer::Replace};
        DownloadRequest r;
        r.session = s;
        r.currentPath = "/pub";
        r.localDir = local.path();
        r.names = {"big.bin", "small.txt"};
        std::atomic<int> stop{0};
        CDownloadBatch batch(r, host, stop);
        batch.Prepare();
        batch.Run();
        std::ofstream out(lines);
        for (const std::string& l : host.Lines())
            out << l << "\n";
        out.close();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // The error line is followed by why: the disk's own words.
    EXPECT_EQ(Slurp(lines), "Downloading  big.bin\nError Downloading  big.bin\n"
                            "Cannot write the local file: File too large\n"
                            "Downloading  small.txt\nDone\n");
    EXPECT_EQ(Slurp(Local("big.bin")), "kept");
    EXPECT_EQ(Slurp(Local("small.txt")), "small");
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

// ---- against the scripted hostile server ----

namespace {

std::shared_ptr<remote::IRemoteFs> ConnectScripted(const ScriptedServer& server) {
    return ConnectRemote(server.port(), "user", "pw", 10);
}

// Every file below `dir`, relative to it.
std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (!e.is_directory())
            out.push_back(fs::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

struct HostileRun {
    TempDir outside; // holds the target folder and a canary beside it
    std::string target;
    FakeHost host;
    BatchResult result;

    explicit HostileRun(const std::string& scenario) {
        target = outside.path() + "/target";
        fs::create_directories(target);
        Write(outside.path() + "/x", "canary");
        Write(outside.path() + "/escape", "canary");
        ScriptedServer server(scenario);
        EXPECT_TRUE(server.ok());
        auto session = ConnectScripted(server);
        EXPECT_TRUE(session);
        if (!session)
            return;
        DownloadRequest r;
        r.session = session;
        r.currentPath = "/";
        r.localDir = target;
        r.names = {"top"};
        std::atomic<int> stop{0};
        CDownloadBatch batch(r, host, stop);
        batch.Prepare();
        result = batch.Run();
    }
};

} // namespace

TEST(HostileServerTest, NamesFromTheServerNeverLeaveTheTarget) {
    std::string tmpCanary = "/tmp/x";
    bool hadTmpX = fs::exists(tmpCanary);
    HostileRun run("hostile-tree");
    // Only the safe names arrived, all inside the target; the link came as a file.
    EXPECT_EQ(FilesUnder(run.target),
              (std::vector<std::string>{"top/lnk", "top/ok.txt", "top/sub/inner.txt"}));
    EXPECT_EQ(Slurp(run.outside.path() + "/x"), "canary");
    EXPECT_EQ(Slurp(run.outside.path() + "/escape"), "canary");
    EXPECT_EQ(fs::exists(tmpCanary), hadTmpX);
    EXPECT_EQ(FilesUnder(run.outside.path()).size(), 5u); // x, escape and the three above
    // One line for each unsafe name, naming it; "." and ".." pass silently.
    size_t unsafe = 0;
    for (const std::string& l : run.host.Lines())
        if (l.rfind("Unsafe name skipped: ", 0) == 0)
            ++unsafe;
    EXPECT_EQ(unsafe, 7u); // ../x /tmp/x a/b ../up back\slash nul\0name ../../escape
    EXPECT_EQ(run.host.Count("Unsafe name skipped: /top : nul\\x00name"), 1u);
    // The 300-byte name is longer than a local file name may be: its error line.
    EXPECT_EQ(run.host.Count("Downloading  " + std::string(300, 'n')), 1u);
    EXPECT_EQ(run.host.Count("Error "), 1u);
    for (const std::string& l : run.host.Lines())
        EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos);
}

TEST(HostileServerTest, AFolderWhoseListingIsRefusedIsNamedInTheLog) {
    HostileRun run("unlistable-tree");
    EXPECT_TRUE(fs::exists(run.target + "/top/ok.txt"));
    EXPECT_FALSE(fs::exists(run.target + "/top/locked/secret.txt"));
    EXPECT_EQ(run.host.Count("Unable to list folder /top/locked : 550 Permission denied"), 1u);
}

TEST(HostileServerTest, AFolderListedAfterAFileOfItsNameIsLeftOutWithItsContents) {
    // The file arrives first; the folder of the same name never takes its
    // place, and nothing of what it holds is tried.
    HostileRun run("twin-tree");
    EXPECT_EQ(Slurp(run.target + "/top/d"), "0123456789abcdef");
    EXPECT_TRUE(fs::exists(run.target + "/top/after.txt"));
    Lines lines = run.host.Lines();
    std::string leftOut = "A folder does not replace a file: " + run.target + "/top/d";
    auto at = std::find(lines.begin(), lines.end(), leftOut);
    ASSERT_NE(at, lines.end()) << ::testing::PrintToString(lines);
    ASSERT_GE(at - lines.begin(), 2);
    EXPECT_EQ(*(at - 2), "Downloading  d");
    EXPECT_EQ(*(at - 1), "Done");
    EXPECT_EQ(run.host.Count("Downloading  inner.txt"), 0u) << ::testing::PrintToString(lines);
    EXPECT_EQ(run.result.filesFailed, 0u);
}

TEST(HostileServerTest, AFolderThatListsItselfStopsAtTheDepthLimit) {
    HostileRun run("selfloop-tree");
    EXPECT_EQ(run.host.Count("Done"), 101u); // /top and 100 levels below it
    Lines lines = run.host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Not entered, more than 100 levels deep: /top/self", 0), 0u);
    EXPECT_TRUE(fs::exists(run.target + "/top/self/self/f.txt"));
}

TEST(HostileServerTest, ADeepTreeIsCutAtOneHundredLevelsWithALine) {
    HostileRun run("deep-tree");
    EXPECT_EQ(run.host.Count("Done"), 101u);
    size_t notEntered = 0;
    for (const std::string& l : run.host.Lines())
        notEntered += l.rfind("Not entered, more than 100 levels deep: ", 0) == 0;
    EXPECT_EQ(notEntered, 1u);
}

TEST(HostileServerTest, AListingThatChangesBetweenWalksIsTakenAsItComes) {
    TempDir target;
    ScriptedServer server("changing-tree");
    ASSERT_TRUE(server.ok());
    auto session = ConnectScripted(server);
    ASSERT_TRUE(session);
    std::atomic<int> stop{0};
    CRemoteWalk first(session, &stop, nullptr);
    first.WalkTree(WalkKind::Count, "/top");
    CRemoteWalk second(session, &stop, nullptr);
    second.WalkTree(WalkKind::Collect, "/top");
    EXPECT_EQ(first.m_nFileCount, 2u); // gen1.txt, sub1/x.txt
    ASSERT_EQ(second.m_arrRemoteItems.size(), 3u);
    EXPECT_EQ(second.m_arrRemoteItems[0].m_strPath, "/top/gen2.txt");
}

TEST(HostileServerTest, AConnectionDroppedMidFileKeepsTheOldFileAndTheBatchGoesOn) {
    TempDir target;
    Write(target.path() + "/file.bin", "old");
    ScriptedServer server("drop-retr");
    ASSERT_TRUE(server.ok());
    auto session = ConnectScripted(server);
    ASSERT_TRUE(session);
    FakeHost host;
    host.answers = {ReplaceAnswer::ReplaceAll};
    // A dropped batch: the items carry their targets.
    DownloadRequest r;
    r.session = session;
    r.dropMode = true;
    r.items = {CTransferItem("/file.bin", target.path() + "/file.bin", "file.bin", 0, 0),
               CTransferItem("/other.bin", target.path() + "/other.bin", "other.bin", 0, 0)};
    std::atomic<int> stop{0};
    CDownloadBatch batch(r, host, stop);
    batch.Prepare();
    BatchResult result = batch.Run();
    // Every connection drops mid-file: each file gets its three tries, then
    // fails on its own.
    const std::string at = " at 524288 bytes (try ";
    const std::string kCut =
        "Transferred a partial file: transfer closed with 524288 bytes remaining to read";
    EXPECT_EQ(host.Lines(),
              (Lines{"Downloading  file.bin", "Connection lost, resuming file.bin" + at + "2 of 3)",
                     "Connection lost, resuming file.bin" + at + "3 of 3)",
                     "Error Downloading  file.bin", kCut, "Downloading  other.bin",
                     "Connection lost, resuming other.bin" + at + "2 of 3)",
                     "Connection lost, resuming other.bin" + at + "3 of 3)",
                     "Error Downloading  other.bin", kCut}));
    EXPECT_TRUE(result.changed);
    EXPECT_FALSE(fs::exists(target.path() + "/other.bin"));
    EXPECT_EQ(Slurp(target.path() + "/file.bin"), "old");
    EXPECT_TRUE(TempFilesUnder(target.path()).empty());
}

// ---- a file and a folder never take each other's place ----

TEST_P(TransferTest, AFileAndAFolderOfTheSameNameNeverReplaceEachOtherEitherWay) {
    // Server file onto a local folder, server folder onto a local file, and
    // the two the other way: one line each, no question, the batch goes on.
    Write(Root("pub/clash.txt"), "server file");
    Write(Root("pub/tree/inner.txt"), "inner");
    fs::create_directories(Local("clash.txt"));
    Write(Local("clash.txt/mine.txt"), "mine");
    Write(Local("tree"), "a local file");
    Write(Root("pub/up.txt/theirs.txt"), "theirs");
    Write(Root("pub/updir"), "a server file");
    Write(Local("up.txt"), "local file");
    Write(Local("updir/x.txt"), "x");
    Write(Local("after.txt"), "after");
    FakeHost down;
    BatchResult d = Download(down, "/pub", {"clash.txt", "tree"});
    EXPECT_EQ(down.Lines(), (Lines{"A file does not replace a folder: " + Local("clash.txt"),
                                   "A folder does not replace a file: " + Local("tree")}));
    EXPECT_TRUE(down.questions.empty());
    EXPECT_EQ(Slurp(Local("clash.txt/mine.txt")), "mine");
    EXPECT_EQ(Slurp(Local("tree")), "a local file");
    EXPECT_EQ(d.filesFailed, 0u);
    FakeHost up;
    BatchResult u = Upload(up, "/pub", {"up.txt", "updir", "after.txt"});
    EXPECT_EQ(up.Lines(), (Lines{"A folder does not replace a file: /pub/updir",
                                 "A file does not replace a folder: /pub/up.txt",
                                 "Uploading after.txt", "Done"}));
    EXPECT_TRUE(up.questions.empty());
    EXPECT_EQ(Slurp(Root("pub/up.txt/theirs.txt")), "theirs");
    EXPECT_EQ(Slurp(Root("pub/updir")), "a server file");
    EXPECT_EQ(Slurp(Root("pub/after.txt")), "after");
    EXPECT_EQ(u.filesFailed, 0u);
}

// ---- a server's single answer is no proof ----

namespace {

// 4-byte words counting up from 0, big-endian: the scripted server's files.
std::string Counted(size_t bytes) {
    std::string out(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i)
        out[i] = static_cast<char>((i / 4) >> (8 * (3 - i % 4)) & 0xFF);
    return out;
}

// One batch against a scenario of the scripted server, with every command
// the server received.
struct ScriptedBatch {
    TempDir local;
    TempDir record;
    FakeHost host;
    BatchResult result;
    std::unique_ptr<ScriptedServer> server;
    std::shared_ptr<remote::IRemoteFs> session;

    explicit ScriptedBatch(const std::string& scenario) {
        setenv("ORVANE_SCRIPT_RECORD", (record.path() + "/commands").c_str(), 1);
        server = std::make_unique<ScriptedServer>(scenario);
        unsetenv("ORVANE_SCRIPT_RECORD");
        EXPECT_TRUE(server->ok());
        session = ConnectScripted(*server);
        EXPECT_TRUE(session);
    }
    // Files only (the scripted server enters any path as a folder).
    void Download(const std::vector<std::string>& names) {
        DownloadRequest r;
        r.session = session;
        r.dropMode = true;
        for (const std::string& name : names)
            r.items.emplace_back("/" + name, local.path() + "/" + name, name, 0, 0);
        std::atomic<int> stop{0};
        CDownloadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        result = batch.Run();
    }
    void Upload(std::vector<std::string> names) {
        UploadRequest r;
        r.session = session;
        r.remoteDir = "/";
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CUploadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        result = batch.Run();
    }
    // How many commands began with `verb`.
    int Sent(const std::string& verb) {
        std::ifstream in(record.path() + "/commands");
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line == verb || line.rfind(verb + " ", 0) == 0;
        return n;
    }
};

} // namespace

// A resumed download must agree with every size the server gave for the
// file; one that changed between tries is fetched anew, never stitched from
// two versions or kept short. A server whose sizes keep disagreeing fails
// the file with the reason, and the old file stays.
TEST(ServerSizesTest, AResumedDownloadThatDisagreesWithTheServerIsFetchedAnewOrFails) {
    struct Case {
        const char* scenario;
        std::string whole; // what the file must be in the end ("" the old one)
        int retrs;         // RETR commands the server received
    };
    std::string changed = Counted(1u << 20);
    changed.replace(0, 1000, std::string(1000, '\xff'));
    for (const Case& c : {Case{"size-shrinks-later", "", 3}, Case{"mdtm-changes", changed, 3}}) {
        SCOPED_TRACE(c.scenario);
        ScriptedBatch run(c.scenario);
        Write(run.local.path() + "/f.bin", "old");
        run.host.answers = {ReplaceAnswer::Replace};
        run.Download({"f.bin"});
        Lines lines = run.host.Lines();
        ASSERT_GE(lines.size(), 3u) << testing::PrintToString(lines);
        EXPECT_EQ(lines[1].rfind("Connection lost, resuming f.bin at ", 0), 0u) << lines[1];
        EXPECT_EQ(run.host.Count("Done"), c.whole.empty() ? 0u : 1u);
        if (c.whole.empty()) {
            EXPECT_EQ(lines[lines.size() - 2], "Error Downloading  f.bin");
            EXPECT_FALSE(lines.back().empty()); // why, in the session's or libcurl's words
        }
        std::string got = Slurp(run.local.path() + "/f.bin");
        std::string want = c.whole.empty() ? "old" : c.whole;
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want);
        // The part kept was given up: a RETR went out again without REST
        // (a server that keeps disagreeing may be tried more often).
        if (c.whole.empty())
            EXPECT_GE(run.Sent("RETR"), c.retrs);
        else
            EXPECT_EQ(run.Sent("RETR"), c.retrs);
        EXPECT_TRUE(TempFilesUnder(run.local.path()).empty());
    }
}

// An upload the server called complete (226) but holds at another size is
// never appended to: it is sent whole once more, and when the size still
// disagrees the file fails with the reason.
TEST(ServerSizesTest, AnUploadTheServerHoldsShortAfterACleanEndIsSentWholeNeverAppended) {
    struct Case {
        const char* scenario;
        Lines tail; // the lines after the try's line
        int stores;
    };
    for (const Case& c :
         {Case{"stor-short-once", {"Done"}, 2},
          Case{"stor-short",
               {"Error Uploading up.bin", "The server holds 524288 of 1048576 bytes"},
               2}}) {
        SCOPED_TRACE(c.scenario);
        ScriptedBatch run(c.scenario);
        Write(run.local.path() + "/up.bin", Pattern(1 << 20));
        run.Upload({"up.bin"});
        Lines want = {"Uploading up.bin", "Sizes disagree, starting up.bin again (try 2 of 3)"};
        want.insert(want.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(run.host.Lines(), want);
        EXPECT_EQ(run.Sent("APPE"), 0);
        EXPECT_EQ(run.Sent("STOR"), c.stores);
    }
}

// A folder whose listing fails says nothing about what it holds: a file the
// server may hold is asked for by name, and one that cannot be established
// is not sent (never overwritten unasked).
TEST(ServerSizesTest, AnUploadIntoAFolderThatCannotBeListedNeverOverwritesUnasked) {
    {
        ScriptedBatch run("list-425");
        Write(run.local.path() + "/exists.bin", "local");
        Write(run.local.path() + "/new.bin", "new");
        run.host.answers = {ReplaceAnswer::Skip};
        run.Upload({"exists.bin", "new.bin"});
        ASSERT_EQ(run.host.questions.size(), 1u);
        EXPECT_NE(run.host.questions[0].first.find("exists.bin"), std::string::npos);
        EXPECT_EQ(run.host.Lines(), (Lines{"Uploading new.bin", "Done"}));
        EXPECT_EQ(run.Sent("STOR"), 1);
    }
    {
        ScriptedBatch run("list-425-nosize");
        Write(run.local.path() + "/a.bin", "local");
        Write(run.local.path() + "/b.bin", "local");
        run.Upload({"a.bin", "b.bin"});
        const std::string why = "Whether the server holds the file could not be established: "
                                "425 Can't open data connection";
        EXPECT_EQ(run.host.Lines(),
                  (Lines{"Error Uploading a.bin", why, "Error Uploading b.bin", why}));
        EXPECT_EQ(run.Sent("STOR"), 0);
        EXPECT_EQ(run.result.filesFailed, 2u);
    }
}

// A Stop while the server is asked whether it holds a file (its folder's
// listing, or the name on its own) ends the batch there: nothing is sent (a
// STOR would cut the server's copy short).
TEST(ServerSizesTest, AStopWhileTheServerIsAskedForANameSendsNothing) {
    struct Case {
        const char* scenario;
        const char* asked; // the command in flight when Stop comes
    };
    for (Case c : {Case{"list-425-slow-size", "SIZE"}, Case{"trickle", "LIST"}}) {
        SCOPED_TRACE(c.scenario);
        ScriptedBatch run(c.scenario);
        Write(run.local.path() + "/a.bin", "local");
        CTransferEngine engine;
        UploadRequest r;
        r.session = run.session;
        r.remoteDir = "/";
        r.localDir = run.local.path();
        r.names = {"a.bin"};
        auto host = std::make_shared<FakeHost>();
        ASSERT_TRUE(engine.StartUpload(r, host));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (run.Sent(c.asked) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(run.Sent(c.asked), 1);
        engine.Stop();
        ASSERT_TRUE(engine.WaitIdle(5000));
        EXPECT_EQ(run.Sent("STOR"), 0);
        EXPECT_EQ(host->Lines(), Lines{});
        EXPECT_TRUE(host->end->stopped);
    }
}

// ---- the planner and the queue ----

namespace {

TransferJob Job(JobKind kind, const std::string& text, std::size_t contentsEnd = 0) {
    TransferJob job;
    job.kind = kind;
    job.line = text;
    job.contentsEnd = contentsEnd;
    return job;
}

// A job list as text, local paths relative to `base`: what a plan holds, in order.
Lines Describe(const JobList& jobs, const std::string& base) {
    Lines out;
    for (const TransferJob& j : jobs) {
        std::string local = j.local.rfind(base + "/", 0) == 0 ? j.local.substr(base.size() + 1)
                                                              : "OUTSIDE " + j.local;
        switch (j.kind) {
        case JobKind::Line:
            out.push_back("line " + j.line);
            break;
        case JobKind::LocalFolder:
            out.push_back("folder " + local);
            break;
        case JobKind::RemoteFolder:
            out.push_back("server folder " + j.remote);
            break;
        case JobKind::Download:
            out.push_back("fetch " + j.remote + " -> " + local);
            break;
        case JobKind::Upload:
            out.push_back("send " + local + " -> " + j.remote);
            break;
        }
    }
    return out;
}

} // namespace

TEST(TransferQueueTest, JobsRunInOrderAFolderNotMadeLeavesOutItsContentsAndStopEndsTheRun) {
    JobList jobs{Job(JobKind::Line, "a"),        Job(JobKind::RemoteFolder, "folder", 4),
                 Job(JobKind::Upload, "inside"), Job(JobKind::Line, "inside too"),
                 Job(JobKind::Upload, "after"),  Job(JobKind::Line, "last")};
    std::atomic<int> stop{0};
    CTransferQueue queue(jobs, stop);
    Lines ran;
    queue.RunAll([&](const TransferJob& job) {
        ran.push_back(job.line);
        if (job.line == "after")
            stop = 1; // between two jobs: the next one never starts
        return job.kind == JobKind::RemoteFolder ? JobOutcome::LeaveOutContents : JobOutcome::Done;
    });
    EXPECT_EQ(ran, (Lines{"a", "folder", "after"}));
    EXPECT_EQ(queue.Started(), 3u);
    EXPECT_FALSE(queue.Take());
}

TEST(TransferQueueTest, SeveralWorkersTakeEachJobExactlyOnce) {
    JobList jobs;
    for (int i = 0; i < 2000; ++i)
        jobs.push_back(Job(JobKind::Line, std::to_string(i)));
    std::atomic<int> stop{0};
    CTransferQueue queue(jobs, stop);
    std::vector<std::atomic<int>> runs(jobs.size());
    auto worker = [&] {
        queue.RunAll([&](const TransferJob& job) {
            ++runs[std::stoul(job.line)];
            return JobOutcome::Done;
        });
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    for (size_t i = 0; i < runs.size(); ++i)
        EXPECT_EQ(runs[i].load(), 1) << i;
}

TEST(TransferPlannerTest, AHostileTreeIsPlannedWithItsUnsafeNamesAsLinesInPlaceAndNothingOutside) {
    ScriptedServer server("hostile-tree");
    ASSERT_TRUE(server.ok());
    auto session = ConnectScripted(server);
    ASSERT_TRUE(session);
    TempDir target;
    std::atomic<int> stop{0};
    CDownloadPlanner planner(session, stop, target.path(), false);
    JobList jobs = planner.Plan({CTransferItem("/top", "top", 1, 0)}, {});
    std::string unsafe = "line Unsafe name skipped: /top : ";
    EXPECT_EQ(Describe(jobs, target.path()),
              (Lines{unsafe + "../x", unsafe + "/tmp/x", unsafe + "a/b", unsafe + "../up",
                     unsafe + "back\\slash", unsafe + "nul\\x00name",
                     "fetch /top/" + std::string(300, 'n') + " -> top/" + std::string(300, 'n'),
                     "fetch /top/ok.txt -> top/ok.txt", "folder top/sub",
                     "fetch /top/lnk -> top/lnk", "fetch /top/sub/inner.txt -> top/sub/inner.txt",
                     "line Unsafe name skipped: /top/sub : ../../escape"}));
    ASSERT_EQ(jobs.size(), 12u);
    // A plain file must arrive with its listed size; a link's listed size
    // is the link's own, so the server is asked.
    EXPECT_TRUE(jobs[7].sizeKnown);
    EXPECT_EQ(jobs[7].announced, static_cast<std::int64_t>(jobs[7].size));
    EXPECT_EQ(jobs[9].announced, -1);
    for (const TransferJob& j : jobs)
        EXPECT_TRUE(j.kind == JobKind::Line || j.root == target.path());
    // Planning moved nothing.
    EXPECT_TRUE(fs::is_empty(target.path()));
}

TEST(TransferPlannerTest, AServerLinkIsPlannedAsAFileAndWhatItPointsToIsNeverListed) {
    ScriptedServer server("dash-a-tree");
    ASSERT_TRUE(server.ok());
    auto session = ConnectScripted(server);
    ASSERT_TRUE(session);
    TempDir target;
    std::atomic<int> stop{0};
    // A dropped folder: its local mirror is a job of its own, first.
    CDownloadPlanner planner(session, stop, "", true);
    JobList jobs = planner.Plan(
        {CTransferItem("/top", target.path() + "/top", "top", 1, static_cast<int>(4))}, {});
    EXPECT_EQ(Describe(jobs, target.path()),
              (Lines{"folder top", "folder top/-a", "fetch /top/f.txt -> top/f.txt",
                     "fetch /top/lnk -> top/lnk", "folder top/-a/lnk",
                     "fetch /top/-a/lnk/own.txt -> top/-a/lnk/own.txt"}));
}

TEST_P(TransferTest, AStopBetweenJobsEndsTheBatchWithNothingAfterIt) {
    Write(Root("pub/d/a.txt"), "a");
    Write(Root("pub/d/sub/b.txt"), "b");
    Write(Root("pub/f.txt"), "f");
    session = Connect();
    ASSERT_TRUE(session);
    FakeHost host;
    std::atomic<int> stop{0};
    host.onLine = [&](const std::string& line) {
        if (line == "Done")
            stop = 1;
    };
    DownloadRequest r;
    r.session = session;
    r.currentPath = "/pub";
    r.localDir = local.path();
    r.names = {"d", "f.txt"};
    CDownloadBatch batch(r, host, stop);
    batch.Prepare();
    BatchResult result = batch.Run();
    EXPECT_EQ(host.Lines(), (Lines{"Downloading  a.txt", "Done"}));
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(result.filesDone, 1u);
    EXPECT_EQ(Slurp(Local("d/a.txt")), "a");
    EXPECT_FALSE(fs::exists(Local("d/sub/b.txt")));
    EXPECT_FALSE(fs::exists(Local("f.txt")));
}

TEST_P(TransferTest, AConnectionLostInAPlannedTreeResumesAndTheLaterJobsRunOnTheNewLogin) {
    std::string big = Pattern(300000), small = Pattern(1000, 7);
    Write(Root("pub/d/big.bin"), big);
    Write(Root("pub/d/sub/small.bin"), small);
    server->Share();
    DropProxy proxy(server->port(), {"drop_at=100000", "mode=both"});
    ASSERT_TRUE(proxy.ok());
    session = ConnectRemote(proxy.port(), FtpServer::User(), FtpServer::Password(), 10);
    ASSERT_TRUE(session);
    FakeHost host;
    BatchResult r = Download(host, "/pub", {"d"});
    // How much of the cut file was kept is the session's business (resumed
    // at 100000 bytes, or started again when nothing could be kept).
    Lines lines = host.Lines();
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Downloading  big.bin");
    EXPECT_TRUE(lines[1] == "Connection lost, resuming big.bin at 100000 bytes (try 2 of 3)" ||
                lines[1] == "Connection lost, starting big.bin again (try 2 of 3)")
        << lines[1];
    EXPECT_EQ(Lines(lines.begin() + 2, lines.end()),
              (Lines{"Done", "Downloading  small.bin", "Done"}));
    EXPECT_EQ(Slurp(Local("d/big.bin")), big);
    EXPECT_EQ(Slurp(Local("d/sub/small.bin")), small);
    EXPECT_EQ(r.filesDone, 2u);
    EXPECT_EQ(proxy.Count("drops"), 1u);
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_P(TransferTest, ReplaceAnswersCarryAcrossJobsAndFoldersAndFilesNeverSwapInsideATree) {
    struct Case {
        ReplaceAnswer answer;
        const char* kept; // what the existing local files hold afterwards
    };
    for (Case c : {Case{ReplaceAnswer::SkipAll, "old"}, Case{ReplaceAnswer::ReplaceAll, "new"}}) {
        SCOPED_TRACE(c.kept);
        TempDir into;
        Write(Root("pub/d/x.txt"), "new");
        Write(Root("pub/d/sub/y.txt"), "new");
        Write(Root("pub/d/sub2/z.txt"), "new");
        Write(Root("pub/f.txt"), "new");
        Write(Root("pub/g.txt"), "new");
        Write(into.path() + "/d/x.txt", "old");
        Write(into.path() + "/d/sub/y.txt", "old");
        Write(into.path() + "/d/sub2", "a local file");
        Write(into.path() + "/f.txt", "old");
        if (!session)
            session = Connect();
        FakeHost host;
        host.answers = {c.answer};
        DownloadRequest r;
        r.session = session;
        r.currentPath = "/pub";
        r.localDir = into.path();
        r.names = {"d", "f.txt", "g.txt"};
        std::atomic<int> stop{0};
        CDownloadBatch batch(r, host, stop);
        batch.Prepare();
        batch.Run();
        // One question for the whole batch: the answer holds in the walked
        // folders and for the files selected after them.
        EXPECT_EQ(host.questions.size(), 1u);
        EXPECT_EQ(Slurp(into.path() + "/d/x.txt"), c.kept);
        EXPECT_EQ(Slurp(into.path() + "/d/sub/y.txt"), c.kept);
        EXPECT_EQ(Slurp(into.path() + "/f.txt"), c.kept);
        EXPECT_EQ(Slurp(into.path() + "/g.txt"), "new");
        // The server folder over the local file: its line at its place (in
        // the walk of d, before the files selected after d), nothing of it
        // fetched.
        EXPECT_EQ(Slurp(into.path() + "/d/sub2"), "a local file");
        Lines lines = host.Lines();
        auto over = std::find(lines.begin(), lines.end(),
                              "A folder does not replace a file: " + into.path() + "/d/sub2");
        auto g = std::find(lines.begin(), lines.end(), "Downloading  g.txt");
        EXPECT_TRUE(over != lines.end() && g != lines.end() && over < g);
        EXPECT_EQ(host.Count("Downloading  z.txt"), 0u);
    }
}

TEST_P(TransferTest, AnUploadedFolderWhosePlaceAFileHoldsIsLeftOutWithEverythingInIt) {
    Write(Local("d/x.txt"), "new");
    Write(Local("d/sub/y.txt"), "new");
    Write(Local("d/sub/deeper/w.txt"), "new");
    Write(Local("f.txt"), "new");
    Write(Root("pub/d/x.txt"), "old");
    Write(Root("pub/d/sub"), "a server file");
    Write(Root("pub/f.txt"), "old");
    FakeHost host;
    host.answers = {ReplaceAnswer::ReplaceAll};
    BatchResult r = Upload(host, "/pub", {"d", "f.txt"});
    EXPECT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(Slurp(Root("pub/d/x.txt")), "new");
    EXPECT_EQ(Slurp(Root("pub/f.txt")), "new");
    EXPECT_EQ(Slurp(Root("pub/d/sub")), "a server file");
    EXPECT_EQ(host.Count("A folder does not replace a file: /pub/d/sub"), 1u);
    EXPECT_EQ(host.Count("Uploading  y.txt"), 0u);
    EXPECT_EQ(host.Count("Uploading  w.txt"), 0u);
    EXPECT_EQ(host.Count("Creating Directory /pub/d/sub/deeper"), 0u);
    EXPECT_EQ(host.Lines().back(), "Done"); // f.txt, after the folder left out
    EXPECT_EQ(r.filesDone, 2u);
}

// ---- several connections ----

TEST(TransferQueueTest, AJobWaitsUntilItsFolderHasFinishedNotOnlyBeenTaken) {
    // An upload's server folder holds what follows it up to contentsEnd; a
    // download's local folder holds the jobs whose local parent it is.
    auto local = [](JobKind kind, const std::string& path) {
        TransferJob job;
        job.kind = kind;
        job.local = path;
        job.line = path;
        return job;
    };
    struct Case {
        const char* what;
        JobList jobs;
        std::size_t folder;  // taken by the first worker and held
        std::size_t waiting; // what the second worker must not get before it ends
        JobOutcome outcome;
        std::optional<std::string> next; // what the second worker gets after it ends
    };
    std::vector<Case> cases{
        {"server folder made",
         {Job(JobKind::RemoteFolder, "f", 3), Job(JobKind::Upload, "in f"),
          Job(JobKind::Upload, "in f too"), Job(JobKind::Upload, "after")},
         0,
         1,
         JobOutcome::Done,
         "in f"},
        {"server folder not made",
         {Job(JobKind::RemoteFolder, "f", 3), Job(JobKind::Upload, "in f"),
          Job(JobKind::Upload, "in f too"), Job(JobKind::Upload, "after")},
         0,
         1,
         JobOutcome::LeaveOutContents,
         "after"},
        {"local folder",
         {local(JobKind::LocalFolder, "/l/d"), local(JobKind::Download, "/l/top.bin"),
          local(JobKind::LocalFolder, "/l/d/e"), local(JobKind::Download, "/l/d/e/x.bin")},
         0,
         2,
         JobOutcome::Done,
         "/l/d/e"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> stop{0};
        CTransferQueue queue(c.jobs, stop);
        // The first worker takes everything up to the folder's contents.
        std::optional<std::pair<std::size_t, TransferJob>> held;
        for (std::size_t i = 0; i < c.waiting; ++i) {
            auto job = queue.Take();
            ASSERT_TRUE(job);
            if (job->first == c.folder)
                held = job;
            else
                queue.Finished(job->first, JobOutcome::Done);
        }
        ASSERT_TRUE(held);
        std::mutex m;
        std::vector<std::string> events;
        std::thread second([&] {
            auto job = queue.Take();
            std::lock_guard lock(m);
            events.push_back(job ? "took " + job->second.line : "took nothing");
        });
        // However long the folder takes, the second worker waits for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        {
            std::lock_guard lock(m);
            events.push_back("folder ended");
        }
        queue.Finished(c.folder, c.outcome);
        second.join();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0], "folder ended");
        EXPECT_EQ(events[1], "took " + *c.next);
    }
    // A stop ends the wait.
    std::atomic<int> stop{0};
    CTransferQueue queue({Job(JobKind::RemoteFolder, "f", 2), Job(JobKind::Upload, "in f")}, stop);
    ASSERT_TRUE(queue.Take());
    std::thread stopper([&] { stop = 1; });
    EXPECT_FALSE(queue.Take());
    stopper.join();
}

// A download's plan comes in parts while its walk goes on: the queue hands
// out what came, waits for more until closed, and a file waits for its local
// folder even when the folder came in an earlier part.
TEST(TransferQueueTest, AnOpenQueueWaitsForMoreUntilClosed) {
    std::atomic<int> stop{0};
    auto local = [](JobKind kind, const std::string& path) {
        TransferJob job;
        job.kind = kind;
        job.local = path;
        job.line = path;
        return job;
    };
    CTransferQueue queue({local(JobKind::LocalFolder, "/d/f")}, stop, nullptr, true);
    auto folder = queue.Take();
    ASSERT_TRUE(folder);
    std::vector<std::string> taken;
    std::thread worker([&] {
        while (auto job = queue.Take()) {
            taken.push_back(job->second.line);
            queue.Finished(job->first, JobOutcome::Done);
        }
    });
    queue.Append({local(JobKind::Download, "/d/f/a"), local(JobKind::Download, "/d/b")});
    EXPECT_EQ(queue.WaitsFor(1), 0u);
    EXPECT_EQ(queue.WaitsFor(2), CTransferQueue::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(taken.empty()); // its folder is still being made
    queue.Finished(folder->first, JobOutcome::Done);
    queue.Append({local(JobKind::Download, "/d/f/c")});
    EXPECT_EQ(queue.WaitsFor(3), 0u);
    queue.Close();
    worker.join();
    // In order, the first only once its folder was made.
    EXPECT_EQ(taken, (std::vector<std::string>{"/d/f/a", "/d/b", "/d/f/c"}));
    EXPECT_FALSE(queue.WaitForWork());
}

namespace {

// Files of a tree: nested folders, sizes from empty to some hundred kilobytes.
std::map<std::string, std::string> TreeFiles(int count = 16) {
    static const char* folders[] = {"t", "t/a", "t/a/b", "t/c"};
    std::map<std::string, std::string> files;
    for (int i = 0; i < count; ++i)
        files[std::string(folders[i % 4]) + "/f" + std::to_string(i) + ".bin"] =
            Pattern(static_cast<std::size_t>(i) * 20011 % 300000, i);
    return files;
}

std::uint64_t Bytes(const std::map<std::string, std::string>& files) {
    std::uint64_t n = 0;
    for (const auto& [rel, data] : files)
        n += data.size();
    return n;
}

// No "Done" before as many lines that start a file: a file's end comes after
// its start, whichever connection it went on.
bool EndsFollowStarts(const Lines& lines, const std::string& start) {
    int open = 0;
    for (const std::string& line : lines) {
        if (line.rfind(start, 0) == 0)
            ++open;
        else if (line == "Done" && --open < 0)
            return false;
    }
    return open == 0;
}

OpenSession Opener(int port, std::atomic<int>* opened = nullptr) {
    return [port, opened] {
        if (opened)
            ++*opened;
        return OpenRemote(port, FtpServer::User(), FtpServer::Password(), 20);
    };
}

// The same, on connections to the fixture's server at `port`.
template <class Request>
Request OnConnections(std::shared_ptr<remote::IRemoteFs> session, int port,
                      const std::string& remote, const std::string& local,
                      std::vector<std::string> names, int connections,
                      std::atomic<int>* opened = nullptr) {
    return transfer_fakes::OnConnections<Request>(std::move(session), Opener(port, opened), remote,
                                                  local, std::move(names), connections);
}

// A host that counts the ends of its batches and how many questions were
// open at once.
class CountingHost : public FakeHost {
public:
    std::atomic<int> ends{0}, asking{0}, mostAsking{0};
    std::chrono::milliseconds pause{0}; // each question stays open this long

    CountingHost() {
        onQuestion = [this] {
            int now = ++asking;
            int most = mostAsking.load();
            while (now > most && !mostAsking.compare_exchange_weak(most, now)) {
            }
            std::this_thread::sleep_for(pause);
            --asking;
        };
    }
    void OnBatchEnd(const BatchResult& r) override {
        ++ends;
        FakeHost::OnBatchEnd(r);
    }
};

} // namespace

TEST_P(TransferTest, ATreeTravelsWholeBothWaysOnOneTwoAndFourConnections) {
    auto tree = TreeFiles();
    for (const auto& [rel, data] : tree)
        Write(Root("pub/" + rel), data);
    session = Connect();
    ASSERT_TRUE(session);
    for (int n : {1, 2, 4}) {
        SCOPED_TRACE(testing::Message() << n << " connections");
        std::string down = Local("down" + std::to_string(n));
        fs::create_directories(down);
        FakeHost host;
        BatchResult r = RunBatch(
            OnConnections<DownloadRequest>(session, server->port(), "/pub", down, {"t"}, n), host);
        for (const auto& [rel, data] : tree)
            EXPECT_EQ(Slurp(down + "/" + rel), data) << rel;
        EXPECT_EQ(r.filesDone, tree.size());
        EXPECT_EQ(r.filesFailed, 0u);
        EXPECT_EQ(r.connectionsUsed, n);
        EXPECT_EQ(r.connectionsRefused, 0);
        EXPECT_EQ(host.Count("Done"), tree.size());
        EXPECT_TRUE(EndsFollowStarts(host.Lines(), "Downloading  "));
        EXPECT_TRUE(TempFilesUnder(down).empty());
        if (n > 1) {
            // The batch as a whole, its last figures all of it.
            EXPECT_TRUE(host.lastProgress.wholeBatch);
            EXPECT_EQ(host.lastProgress.done, Bytes(tree));
            EXPECT_EQ(host.lastProgress.total, Bytes(tree));
            EXPECT_EQ(host.lastProgress.filesDone, tree.size());
        }

        std::string up = "up" + std::to_string(n);
        fs::create_directories(Root(up));
        server->Share();
        FakeHost upHost;
        BatchResult s = RunBatch(
            OnConnections<UploadRequest>(session, server->port(), "/" + up, down, {"t"}, n),
            upHost);
        for (const auto& [rel, data] : tree)
            EXPECT_EQ(Slurp(Root(up + "/" + rel)), data) << rel;
        EXPECT_EQ(s.filesDone, tree.size());
        EXPECT_EQ(s.filesFailed, 0u);
        EXPECT_EQ(s.connectionsUsed, n);
        EXPECT_EQ(upHost.Count("Done"), tree.size());
        EXPECT_TRUE(EndsFollowStarts(upHost.Lines(), "Uploading "));
    }
}

class ConnectionLimitTest : public ::testing::TestWithParam<ServerKind> {};

INSTANTIATE_TEST_SUITE_P(Servers, ConnectionLimitTest,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST_P(ConnectionLimitTest, FourAskedWhereTheServerTakesTwoMoreAllFilesArriveOnTwo) {
    auto tree = TreeFiles(12);
    for (bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        // Three from one address: the pane's session holds one of them.
        FtpServer server(GetParam(), Tls::Off, 3);
        ASSERT_TRUE(server.ok()) << server.error();
        TempDir local;
        for (const auto& [rel, data] : tree)
            Write((download ? server.root() : local.path()) + "/" + rel, data);
        server.Share();
        auto browsing = ConnectRemote(server.port(), FtpServer::User(), FtpServer::Password());
        ASSERT_TRUE(browsing);
        std::atomic<int> opened{0};
        FakeHost host;
        BatchResult r =
            download ? RunBatch(OnConnections<DownloadRequest>(browsing, server.port(), "/",
                                                               local.path(), {"t"}, 4, &opened),
                                host)
                     : RunBatch(OnConnections<UploadRequest>(browsing, server.port(), "/",
                                                             local.path(), {"t"}, 4, &opened),
                                host);
        for (const auto& [rel, data] : tree)
            EXPECT_EQ(Slurp((download ? local.path() : server.root()) + "/" + rel), data) << rel;
        EXPECT_EQ(r.filesDone, tree.size());
        EXPECT_EQ(r.filesFailed, 0u);
        EXPECT_EQ(opened.load(), 4);
        EXPECT_EQ(r.connectionsUsed, 2);
        EXPECT_EQ(r.connectionsRefused, 2);
        // A refused connection is nobody's error.
        Lines lines = host.Lines();
        // Each file's two lines; an upload also makes the three folders below t.
        EXPECT_EQ(lines.size(), 2 * tree.size() + (download ? 0 : 3))
            << testing::PrintToString(lines);
        for (const std::string& line : lines)
            EXPECT_EQ(line.find("421"), std::string::npos) << line;
        // The pane's session is still its own.
        std::vector<remote::Entry> entries;
        EXPECT_TRUE(browsing->List("/", &entries));
    }
}

TEST_P(TransferTest, OneQuestionAtATimeAndAnAnswerForAllHoldsOnEveryConnection) {
    auto tree = TreeFiles(12);
    for (const auto& [rel, data] : tree) {
        Write(Root("pub/" + rel), data);
        Write(Local(rel), "old");
    }
    session = Connect();
    ASSERT_TRUE(session);
    struct Case {
        ReplaceAnswer first;
        bool replaced;
    };
    for (Case c : {Case{ReplaceAnswer::SkipAll, false}, Case{ReplaceAnswer::ReplaceAll, true}}) {
        SCOPED_TRACE(c.replaced ? "Replace All" : "Skip All");
        CountingHost host;
        // The first question stays open while the other connections reach
        // files of their own that exist.
        host.pause = std::chrono::milliseconds(300);
        host.answers = {c.first};
        BatchResult r = RunBatch(
            OnConnections<DownloadRequest>(session, server->port(), "/pub", local.path(), {"t"}, 4),
            host);
        EXPECT_EQ(host.mostAsking.load(), 1);
        EXPECT_EQ(host.questions.size(), 1u);
        EXPECT_EQ(r.connectionsUsed, 4);
        for (const auto& [rel, data] : tree)
            EXPECT_EQ(Slurp(Local(rel)), c.replaced ? data : "old") << rel;
        EXPECT_EQ(r.filesDone, c.replaced ? tree.size() : 0u);
        EXPECT_EQ(r.filesSkipped, c.replaced ? 0u : tree.size());
    }
    // Sending: the server holds every file now; Replace for each, one at a time.
    CountingHost host;
    host.pause = std::chrono::milliseconds(50);
    for (size_t i = 0; i < tree.size(); ++i)
        host.answers.push_back(ReplaceAnswer::Replace);
    for (const auto& [rel, data] : tree)
        Write(Local(rel), "newer " + rel);
    BatchResult r = RunBatch(
        OnConnections<UploadRequest>(session, server->port(), "/pub", local.path(), {"t"}, 4),
        host);
    EXPECT_EQ(host.mostAsking.load(), 1);
    EXPECT_EQ(host.questions.size(), tree.size());
    for (const auto& [rel, data] : tree)
        EXPECT_EQ(Slurp(Root("pub/" + rel)), "newer " + rel) << rel;
    EXPECT_EQ(r.filesDone, tree.size());
}

TEST_P(TransferTest, StopWithFilesInFlightOnFourConnectionsEndsEachAndTheBatchOnce) {
    fs::create_directories(Root("big"));
    for (int i = 0; i < 6; ++i) { // 3 GiB each, holes on disk
        std::string big = Root("big/b" + std::to_string(i) + ".bin");
        std::ofstream{big};
        fs::resize_file(big, 3LL << 30);
    }
    Write(Local("big/b0.bin"), "the old file");
    session = Connect();
    ASSERT_TRUE(session);
    CTransferEngine engine;
    auto host = std::make_shared<CountingHost>();
    host->answers = {ReplaceAnswer::Replace};
    DownloadRequest r =
        OnConnections<DownloadRequest>(session, server->port(), "/", local.path(), {"big"}, 4);
    std::atomic<int> begun{0};
    host->onLine = [&](const std::string& line) {
        if (line.rfind("Downloading  ", 0) == 0)
            ++begun;
    };
    ASSERT_TRUE(engine.StartDownload(r, host));
    // Four files begun, bytes arriving on each connection.
    for (int i = 0; i < 2000; ++i) {
        if (begun.load() >= 4 &&
            host->WaitFor([&] { return host->lastProgress.done > 4 * 65536; }, 10))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(begun.load(), 4);
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(5000));
    EXPECT_EQ(host->ends.load(), 1);
    ASSERT_TRUE(host->end);
    EXPECT_TRUE(host->end->stopped);
    EXPECT_EQ(host->end->filesFailed, 0u);
    EXPECT_EQ(host->end->filesDone, 0u);
    EXPECT_EQ(host->end->connectionsUsed, 4);
    // Each file begun says it was stopped, none is an error; nothing else begins.
    Lines lines = host->Lines();
    EXPECT_EQ(lines.size(), 8u) << testing::PrintToString(lines);
    for (const std::string& line : lines)
        EXPECT_TRUE(line.rfind("Downloading  b", 0) == 0 ||
                    line.rfind("Stopped Downloading  b", 0) == 0)
            << line;
    // Nothing half-written under a file's name, and no part left beside it.
    EXPECT_EQ(Slurp(Local("big/b0.bin")), "the old file");
    for (int i = 1; i < 6; ++i)
        EXPECT_FALSE(fs::exists(Local("big/b" + std::to_string(i) + ".bin"))) << i;
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
    EXPECT_FALSE(engine.IsBusy());
    // The pane's session goes on.
    std::vector<remote::Entry> entries;
    EXPECT_TRUE(session->List("/", &entries));
}

TEST_P(TransferTest, AFileThatFailsOnOneConnectionLeavesTheOthersGoingOn) {
    auto tree = TreeFiles(12);
    for (const auto& [rel, data] : tree)
        Write(Root("pub/" + rel), data);
    session = Connect();
    ASSERT_TRUE(session);
    FakeHost host;
    // A name the server does not hold fails on the connection that takes it.
    BatchResult r = RunBatch(OnConnections<DownloadRequest>(session, server->port(), "/pub",
                                                            local.path(), {"ghost.txt", "t"}, 4),
                             host);
    for (const auto& [rel, data] : tree)
        EXPECT_EQ(Slurp(Local(rel)), data) << rel;
    EXPECT_EQ(r.filesFailed, 1u);
    EXPECT_EQ(r.filesDone, tree.size());
    EXPECT_EQ(r.connectionsUsed, 4);
    EXPECT_EQ(host.Count("Error Downloading  ghost.txt"), 1u);
    // Its reason follows its error line.
    Lines lines = host.Lines();
    auto error = std::find(lines.begin(), lines.end(), "Error Downloading  ghost.txt");
    ASSERT_NE(error, lines.end());
    ASSERT_NE(error + 1, lines.end());
    EXPECT_EQ((error + 1)->rfind("550 ", 0), 0u) << *(error + 1);
    EXPECT_FALSE(fs::exists(Local("ghost.txt")));
}

// The transfer list's commands reach the batch: a queued job taken off never
// runs, and one stopped in flight ends as stopped while the other connection
// goes on with the rest; the batch itself works on connections of its own.
TEST_P(TransferTest, AJobTakenOffNeverRunsAndOneStoppedInFlightLeavesTheOthersGoing) {
    fs::create_directories(Root("mix"));
    std::string huge = Root("mix/huge.bin"); // 3 GiB, holes on disk
    std::ofstream{huge};
    fs::resize_file(huge, 3LL << 30);
    for (int i = 0; i < 6; ++i)
        Write(Root("mix/s" + std::to_string(i) + ".txt"), "small " + std::to_string(i));
    session = Connect();
    ASSERT_TRUE(session);
    class ListHost : public FakeHost {
    public:
        std::shared_ptr<CBatchControl> control;
        std::atomic<long> hugeJob{-1};
        std::atomic<bool> removed{false};
        void OnPlanned(const JobList& jobs, std::size_t first) override {
            FakeHost::OnPlanned(jobs, first);
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                if (jobs[i].name == "s3.txt")
                    removed = control->Remove(first + i);
                if (jobs[i].name == "huge.bin")
                    hugeJob = static_cast<long>(first + i);
            }
        }
    };
    CTransferEngine engine;
    auto host = std::make_shared<ListHost>();
    DownloadRequest r =
        OnConnections<DownloadRequest>(session, server->port(), "/", local.path(), {"mix"}, 2);
    r.control = host->control = std::make_shared<CBatchControl>();
    ASSERT_TRUE(engine.StartDownload(r, host));
    // The big file's bytes are arriving.
    ASSERT_TRUE(host->WaitFor([&] {
        for (const TransferProgress::Moving& m : host->lastProgress.moving)
            if (static_cast<long>(m.job) == host->hugeJob && m.done > 65536)
                return true;
        return false;
    }));
    r.control->StopJob(static_cast<std::size_t>(host->hugeJob.load()));
    ASSERT_TRUE(engine.WaitIdle(20000));
    ASSERT_TRUE(host->end);
    EXPECT_TRUE(host->removed);
    EXPECT_TRUE(host->ownSession);
    EXPECT_FALSE(host->end->stopped);
    EXPECT_EQ(host->end->filesDone, 5u);
    EXPECT_EQ(host->end->filesFailed, 0u);
    for (int i : {0, 1, 2, 4, 5})
        EXPECT_EQ(Slurp(Local("mix/s" + std::to_string(i) + ".txt")), "small " + std::to_string(i));
    EXPECT_FALSE(fs::exists(Local("mix/s3.txt")));
    EXPECT_FALSE(fs::exists(Local("mix/huge.bin")));
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
    EXPECT_EQ(host->Count("Stopped Downloading  huge.bin"), 1u);
    // The list hears of every file but the one taken off, and how each ended.
    std::map<std::string, JobState> ended;
    for (const JobChange& c : host->changes)
        if (c.state != JobState::Moving)
            ended[host->plan[c.index].name] = c.state;
    EXPECT_EQ(ended.size(), 6u);
    EXPECT_EQ(ended.count("s3.txt"), 0u);
    EXPECT_EQ(ended["huge.bin"], JobState::Stopped);
    EXPECT_EQ(ended["s5.txt"], JobState::Done);
    // The pane's session was left alone.
    std::vector<remote::Entry> entries;
    EXPECT_TRUE(session->List("/", &entries));
}
