// The transfer engine over SFTP, against the suite's own OpenSSH server: trees
// both ways, the replace question, links on the server never walked, Stop in
// the middle of a file, a connection cut mid-file that goes on where it
// stopped; and the site's protocol choosing SFTP for a connect.
#include "platform/sftp/SftpFs.h"
#include "remote/OpenRemoteFs.h"
#include "remote/RemoteOps.h"
#include "sites/SiteStore.h"
#include "tests/TempDir.h"
#include "tests/TransferFakes.h"
#include "tests/sftp/SftpServer.h"
#include "tests/sftp/SftpSuite.h"
#include "transfer/TransferEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <map>
#include <type_traits>
#include <unistd.h>

using namespace transfer_fakes;

namespace {

// A new session to `server` as its user, not yet connected: one of a batch's
// own connections. `opened` counts the sessions made.
OpenSession Opener(const SftpServer& server, std::atomic<int>* opened = nullptr) {
    sftp::ConnectParams params;
    params.ssh = server.Target();
    return [params, opened]() -> std::shared_ptr<remote::IRemoteFs> {
        if (opened)
            ++*opened;
        return std::make_shared<remote::SftpFs>(params);
    };
}

// A tree "t" of four folders and 34 files of many sizes, each file's bytes
// its own: an empty one, one of 3 MiB, the rest up to about 150 KB.
std::map<std::string, std::string> TreeFiles() {
    std::map<std::string, std::string> files;
    files["t/empty.txt"] = "";
    files["t/c/big.bin"] = Pattern(3 << 20, 99);
    const char* const folders[] = {"t/", "t/a/", "t/a/b/", "t/c/"};
    for (int i = 1; i <= 32; ++i)
        files[std::string(folders[i % 4]) + "f" + std::to_string(i) + ".dat"] =
            Pattern(static_cast<std::size_t>(i) * 7919 % 150000 + static_cast<std::size_t>(i), i);
    return files;
}

// The files under `dir` (regular ones and links), named from `dir`, sorted.
std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (!entry.is_directory())
            found.push_back(fs::relative(entry.path(), dir).string());
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> Names(const std::map<std::string, std::string>& files) {
    std::vector<std::string> names;
    for (const auto& [rel, data] : files)
        names.push_back(rel);
    return names;
}

// The lines of a batch that went well: each file begun and done, folders
// made; no error, and nothing about a connection.
bool OnlyFileLines(const Lines& lines) {
    for (const std::string& line : lines)
        if (line != "Done" && line.rfind("Downloading  ", 0) != 0 &&
            line.rfind("Uploading ", 0) != 0 && line.rfind("Creating Directory ", 0) != 0)
            return false;
    return true;
}

class SftpTransferTest : public SftpSuite {
protected:
    std::string Root(const std::string& rel) const { return m_dir + "/" + rel; }
    std::string Local(const std::string& rel) const { return local.path() + "/" + rel; }

    BatchResult Download(FakeHost& host, std::vector<std::string> names) {
        DownloadRequest r;
        r.session = session;
        r.currentPath = m_dir;
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CDownloadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        return batch.Run();
    }
    BatchResult Upload(FakeHost& host, std::vector<std::string> names) {
        UploadRequest r;
        r.session = session;
        r.remoteDir = m_dir;
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CUploadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        return batch.Run();
    }

    // The fixture's server as a site that speaks SFTP. With `trustedFolder`,
    // its host key is unknown (no known_hosts of the fixture's) and "ours" is
    // known_hosts in that folder.
    static remote::SiteConnection SftpSite(const std::string& trustedFolder = "") {
        sftp::SshTarget target = s_server->Target();
        remote::SiteConnection site;
        site.protocol = sites::kProtocolSftp;
        site.host = target.host;
        site.port = target.port;
        site.user = target.user;
        site.ssh.configFile = target.configFile;
        site.ssh.identityFile = target.identityFile;
        site.ssh.knownHostsFiles = target.knownHostsFiles;
        if (!trustedFolder.empty()) {
            site.ssh.knownHostsFiles = {s_server->NoKnownHosts()};
            site.ssh.trustedKnownHosts = trustedFolder + "/known_hosts";
        }
        return site;
    }

    TempDir local;
};

TEST_F(SftpTransferTest, ATreeTravelsBothWaysByteForByteWithItsLines) {
    const std::string binary = "a\r\nb\nc\r\x00\xff" + Pattern(300000);
    Write(Root("src/a.c"), "int a;\n");
    Write(Root("src/lib/deep/x.bin"), binary);
    fs::create_directories(Root("src/empty"));
    FakeHost down;
    BatchResult r = Download(down, {"src"});
    EXPECT_EQ(Slurp(Local("src/a.c")), "int a;\n");
    EXPECT_TRUE(Slurp(Local("src/lib/deep/x.bin")) == binary);
    EXPECT_TRUE(fs::is_directory(Local("src/empty")));
    EXPECT_EQ(down.Count("Downloading  a.c"), 1u);
    EXPECT_EQ(down.Count("Downloading  x.bin"), 1u);
    EXPECT_EQ(down.Count("Done"), 2u);
    EXPECT_EQ(r.filesDone, 2u);
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());

    fs::rename(Local("src"), Local("back"));
    FakeHost up;
    r = Upload(up, {"back"});
    EXPECT_EQ(Slurp(Root("back/a.c")), "int a;\n");
    EXPECT_TRUE(Slurp(Root("back/lib/deep/x.bin")) == binary);
    EXPECT_TRUE(fs::is_directory(Root("back/empty")));
    EXPECT_EQ(up.Count("Uploading  x.bin"), 1u);
    EXPECT_EQ(up.Lines().back(), "Done");
    EXPECT_EQ(r.filesDone, 2u);
}

TEST_F(SftpTransferTest, AnExistingFileIsReplacedOrKeptAsAnsweredEachWay) {
    struct Case {
        const char* what;
        ReplaceAnswer answer;
        bool replaced;
    } cases[] = {{"replace", ReplaceAnswer::Replace, true}, {"skip", ReplaceAnswer::Skip, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write(Root("f.txt"), "server copy");
        Write(Local("f.txt"), "local copy, longer");
        FakeHost down;
        down.answers = {c.answer};
        Download(down, {"f.txt"});
        EXPECT_EQ(down.questions.size(), 1u);
        EXPECT_EQ(Slurp(Local("f.txt")), c.replaced ? "server copy" : "local copy, longer");

        Write(Local("f.txt"), "local copy, longer");
        Write(Root("f.txt"), "server copy");
        FakeHost up;
        up.answers = {c.answer};
        Upload(up, {"f.txt"});
        EXPECT_EQ(up.questions.size(), 1u);
        EXPECT_EQ(Slurp(Root("f.txt")), c.replaced ? "local copy, longer" : "server copy");
    }
}

TEST_F(SftpTransferTest, ServerLinksAreFetchedAsFilesAndNeverEntered) {
    Write(Root("src/real.txt"), "real");
    Write(Root("outside/secret.txt"), "secret");
    Write(Root("outside/more/deep.txt"), "deep");
    ASSERT_EQ(symlink("../outside", Root("src/tofolder").c_str()), 0);
    ASSERT_EQ(symlink("..", Root("src/up").c_str()), 0);
    ASSERT_EQ(symlink("../outside/secret.txt", Root("src/tofile").c_str()), 0);
    FakeHost host;
    BatchResult r = Download(host, {"src"});
    EXPECT_EQ(Slurp(Local("src/real.txt")), "real");
    EXPECT_EQ(Slurp(Local("src/tofile")), "secret");
    EXPECT_FALSE(fs::exists(Local("src/tofolder/secret.txt")));
    EXPECT_FALSE(fs::exists(Local("src/up/src")));
    EXPECT_FALSE(fs::is_directory(Local("src/tofolder")));
    EXPECT_EQ(host.Count("Downloading  secret.txt"), 0u);
    EXPECT_EQ(host.Count("Downloading  deep.txt"), 0u);
    EXPECT_EQ(r.filesDone, 2u);
    EXPECT_EQ(r.filesFailed, 2u); // the two folder links, fetched as files
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_F(SftpTransferTest, StopInTheMiddleOfALargeFileKeepsTheOldFileAndSaysNoDone) {
    Write(Root("big.bin"), Pattern(96 << 20));
    Write(Local("big.bin"), "the old one");
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    host->answers = {ReplaceAnswer::Replace};
    DownloadRequest r;
    r.session = session;
    r.currentPath = m_dir;
    r.localDir = local.path();
    r.names = {"big.bin"};
    ASSERT_TRUE(engine.StartDownload(r, host));
    ASSERT_TRUE(host->WaitFor([&] { return host->lastProgress.done > 0; }));
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(5000));
    EXPECT_EQ(host->Count("Done"), 0u);
    EXPECT_TRUE(host->end && host->end->stopped);
    EXPECT_EQ(Slurp(Local("big.bin")), "the old one");
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());

    // The session goes on: the next request is answered.
    std::vector<remote::Entry> entries;
    remote::Result listed = session->List(m_dir, &entries, remote::Links::AsListed);
    EXPECT_TRUE(listed) << listed.reply;
}

TEST_F(SftpTransferTest, AConnectionCutMidFileGoesOnWhereItStoppedAndLandsWhole) {
    const std::string content = Pattern(48 << 20, 7);
    Write(Root("cut.bin"), content);
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    DownloadRequest r;
    r.session = session;
    r.currentPath = m_dir;
    r.localDir = local.path();
    r.names = {"cut.bin"};
    ASSERT_TRUE(engine.StartDownload(r, host));
    ASSERT_TRUE(host->WaitFor([&] { return host->lastProgress.done > (4u << 20); }));
    EXPECT_GT(s_server->CutConnections(), 0);
    ASSERT_TRUE(engine.WaitIdle(60000));
    EXPECT_EQ(host->Count("Done"), 1u) << ::testing::PrintToString(host->Lines());
    EXPECT_TRUE(Slurp(Local("cut.bin")) == content);
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

// A batch on connections of its own: each one an SSH login and an SFTP
// session of its own, the files shared among them; the tree arrives whole
// either way, with nothing beside it.
TEST_F(SftpTransferTest, ATreeTravelsWholeBothWaysOnOneAndFourConnections) {
    const auto tree = TreeFiles();
    for (const auto& [rel, data] : tree)
        Write(Root("pub/" + rel), data);
    fs::create_directories(Root("pub/t/void"));
    struct Case {
        int connections;
        int used; // one: the pane's session does it all
    } cases[] = {{1, 1}, {4, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.connections << " connections");
        const std::string n = std::to_string(c.connections);
        const std::string down = Local("down" + n);
        fs::create_directories(down);
        FakeHost host;
        BatchResult r =
            RunBatch(OnConnections<DownloadRequest>(session, Opener(*s_server), Root("pub"), down,
                                                    {"t"}, c.connections),
                     host);
        for (const auto& [rel, data] : tree)
            EXPECT_TRUE(Slurp(down + "/" + rel) == data) << rel;
        EXPECT_TRUE(fs::is_directory(down + "/t/void"));
        EXPECT_EQ(FilesUnder(down), Names(tree));
        EXPECT_EQ(r.filesDone, tree.size());
        EXPECT_EQ(r.filesFailed, 0u);
        EXPECT_EQ(r.connectionsUsed, c.used);
        EXPECT_EQ(r.connectionsRefused, 0);
        EXPECT_EQ(host.Count("Done"), tree.size());
        EXPECT_TRUE(OnlyFileLines(host.Lines())) << ::testing::PrintToString(host.Lines());

        const std::string up = Root("up" + n);
        fs::create_directories(up);
        FakeHost upHost;
        BatchResult s = RunBatch(OnConnections<UploadRequest>(session, Opener(*s_server), up, down,
                                                              {"t"}, c.connections),
                                 upHost);
        for (const auto& [rel, data] : tree)
            EXPECT_TRUE(Slurp(up + "/" + rel) == data) << rel;
        EXPECT_TRUE(fs::is_directory(up + "/t/void"));
        EXPECT_EQ(FilesUnder(up), Names(tree));
        EXPECT_EQ(s.filesDone, tree.size());
        EXPECT_EQ(s.filesFailed, 0u);
        EXPECT_EQ(s.connectionsUsed, c.used);
        EXPECT_EQ(s.connectionsRefused, 0);
        EXPECT_EQ(upHost.Count("Done"), tree.size());
        EXPECT_TRUE(OnlyFileLines(upHost.Lines())) << ::testing::PrintToString(upHost.Lines());
    }
    // The pane's session goes on.
    std::vector<remote::Entry> entries;
    remote::Result listed = session->List(m_dir, &entries, remote::Links::AsListed);
    EXPECT_TRUE(listed) << listed.reply;
}

// Stop while four connections each move a large file: the batch ends, stopped,
// and a file under its own name is a whole one (the old copy, or one that
// arrived before the Stop); no part is left beside them.
TEST_F(SftpTransferTest, StopWithFilesInFlightOnFourConnectionsLeavesNoFileHalfWritten) {
    const std::uintmax_t kBig = 1ull << 30; // holes on disk
    std::map<std::string, std::string> small;
    for (int i = 0; i < 3; ++i)
        small["a" + std::to_string(i) + ".txt"] = Pattern(1000 + static_cast<std::size_t>(i), i);
    for (const auto& [name, data] : small)
        Write(Root("big/" + name), data);
    for (int i = 0; i < 6; ++i) {
        const std::string big = Root("big/b" + std::to_string(i) + ".bin");
        std::ofstream{big};
        fs::resize_file(big, kBig);
    }
    Write(Local("big/b0.bin"), "the old file");
    CTransferEngine engine;
    auto host = std::make_shared<FakeHost>();
    host->answers = {ReplaceAnswer::Replace};
    std::atomic<int> begun{0};
    host->onLine = [&](const std::string& line) {
        if (line.rfind("Downloading  b", 0) == 0)
            ++begun;
    };
    ASSERT_TRUE(engine.StartDownload(
        OnConnections<DownloadRequest>(session, Opener(*s_server), m_dir, local.path(), {"big"}, 4),
        host));
    // Four large files begun, and bytes of them arriving.
    ASSERT_TRUE(host->WaitFor(
        [&] { return begun.load() >= 4 && host->lastProgress.done > 3000 + (4u << 20); }, 60000))
        << ::testing::PrintToString(host->Lines());
    engine.Stop();
    // A bound for a hang, not a measure of speed.
    ASSERT_TRUE(engine.WaitIdle(10000));
    ASSERT_TRUE(host->end);
    EXPECT_TRUE(host->end->stopped);
    EXPECT_EQ(host->end->filesFailed, 0u);
    EXPECT_EQ(host->end->connectionsUsed, 4);
    EXPECT_LT(host->end->filesDone, small.size() + 6);
    Lines lines = host->Lines();
    for (const std::string& line : lines)
        EXPECT_TRUE(line == "Done" || line.rfind("Downloading  ", 0) == 0 ||
                    line.rfind("Stopped Downloading  b", 0) == 0)
            << line;
    EXPECT_GE(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& l) { return l.rfind("Stopped Downloading  b", 0) == 0; }),
              1);
    for (const auto& [name, data] : small)
        if (fs::exists(Local("big/" + name))) {
            EXPECT_EQ(Slurp(Local("big/" + name)), data) << name;
        }
    const std::string old = Local("big/b0.bin");
    EXPECT_TRUE(fs::file_size(old) == kBig || Slurp(old) == "the old file");
    for (int i = 1; i < 6; ++i) {
        const std::string big = Local("big/b" + std::to_string(i) + ".bin");
        if (fs::exists(big)) {
            EXPECT_EQ(fs::file_size(big), kBig) << big;
        }
    }
    EXPECT_TRUE(TempFilesUnder(local.path()).empty())
        << ::testing::PrintToString(TempFilesUnder(local.path()));
    EXPECT_FALSE(engine.IsBusy());
    std::vector<remote::Entry> entries;
    remote::Result listed = session->List(m_dir, &entries, remote::Links::AsListed);
    EXPECT_TRUE(listed) << listed.reply;
}

// A server that serves three SFTP sessions, the pane's the first of them: of
// the four a batch asks for, two connect and two are refused, and those two
// move every file without a word about the others. (The server counts the
// sessions in all, not those at once: the batch's logins end one after
// another, and the first one in may have moved every file before the last
// one is in.)
TEST_F(SftpTransferTest, FourAskedWhereTheServerTakesTwoMoreAllFilesArriveOnTwo) {
    const auto tree = TreeFiles();
    for (bool download : {true, false}) {
        SCOPED_TRACE(download ? "download" : "upload");
        SftpServerOptions options;
        options.sftpSessions = 3;
        SftpServer limited(options); // a count of its own
        ASSERT_TRUE(limited.ok()) << limited.error();
        TempDir mine;
        const std::string from = download ? limited.root() : mine.path();
        const std::string to = download ? mine.path() : limited.root();
        for (const auto& [rel, data] : tree)
            Write(from + "/" + rel, data);
        sftp::ConnectParams params;
        params.ssh = limited.Target();
        auto browsing = std::make_shared<remote::SftpFs>(params);
        remote::Result connected = browsing->Connect();
        ASSERT_TRUE(connected) << connected.reply << "\n" << limited.Log();
        std::atomic<int> opened{0};
        FakeHost host;
        BatchResult r =
            download
                ? RunBatch(OnConnections<DownloadRequest>(browsing, Opener(limited, &opened),
                                                          limited.root(), mine.path(), {"t"}, 4),
                           host)
                : RunBatch(OnConnections<UploadRequest>(browsing, Opener(limited, &opened),
                                                        limited.root(), mine.path(), {"t"}, 4),
                           host);
        for (const auto& [rel, data] : tree)
            EXPECT_TRUE(Slurp(to + "/" + rel) == data) << rel;
        EXPECT_EQ(FilesUnder(to), Names(tree));
        EXPECT_EQ(r.filesDone, tree.size());
        EXPECT_EQ(r.filesFailed, 0u);
        EXPECT_EQ(opened.load(), 4);
        EXPECT_EQ(r.connectionsUsed, 2);
        EXPECT_EQ(r.connectionsRefused, 2);
        EXPECT_EQ(host.Count("Done"), tree.size());
        // A refused connection is nobody's error.
        EXPECT_TRUE(OnlyFileLines(host.Lines())) << ::testing::PrintToString(host.Lines());
        // The pane's session is still its own.
        std::vector<remote::Entry> entries;
        remote::Result listed = browsing->List(limited.root(), &entries, remote::Links::AsListed);
        EXPECT_TRUE(listed) << listed.reply;
        browsing->Close();
    }
}

// A site that speaks SFTP gets an SFTP session from the factory: it lists
// the server's login folder.
TEST_F(SftpTransferTest, ASiteWhoseProtocolIsSftpConnectsThroughSsh) {
    Write(Root("here.txt"), "x");
    remote::SiteConnection site = SftpSite();
    remote::Result why;
    std::shared_ptr<remote::IRemoteFs> fs = remote::OpenRemoteFs(site, nullptr, &why);
    ASSERT_TRUE(fs) << why.reply;
    remote::Result r = fs->Connect();
    ASSERT_TRUE(r) << r.reply;
    std::vector<remote::Entry> entries;
    ASSERT_TRUE(fs->List(m_dir, &entries, remote::Links::AsListed));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "here.txt");
    EXPECT_EQ(entries[0].size, 1u);
    fs->Close();
}

// A folder deleted over SFTP goes with its whole tree; a link in it, to a
// folder outside or to the tree's own parent, goes as the link it is, and
// what it points to stays. A link selected on its own is not entered either.
// Properties count the tree without walking the links.
TEST_F(SftpTransferTest, DeletingATreeRemovesItsLinksAndNeverWhatTheyPointTo) {
    Write(Root("top/a.txt"), "a");
    Write(Root("top/sub/b.txt"), "bb");
    Write(Root("outside/keep.txt"), "keep");
    ASSERT_EQ(symlink("../../outside", Root("top/sub/away").c_str()), 0);
    ASSERT_EQ(symlink("..", Root("top/up").c_str()), 0);
    ASSERT_EQ(symlink("outside", Root("alias").c_str()), 0);

    std::atomic<int> stop{0};
    remote::FolderCount count = remote::CountFolder(session, m_dir + "/top", &stop, {});
    EXPECT_EQ(count.files, 4u); // a.txt, b.txt and the two links, as files
    EXPECT_EQ(count.folders, 1u);

    Lines lines;
    remote::CRemoteDelete del(session, &stop, [&](const std::string& l) { lines.push_back(l); });
    del.Run(m_dir, {"top", "alias"});
    EXPECT_TRUE(del.m_bChanged);
    EXPECT_FALSE(fs::exists(Root("top")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root("alias"))));
    EXPECT_EQ(Slurp(Root("outside/keep.txt")), "keep") << ::testing::PrintToString(lines);
}

// The questions of the pane, answered from a script.
class ScriptedQuestions : public remote::IRemoteQuestions {
public:
    remote::Trust hostKeyAnswer = remote::Trust::Cancel;
    std::vector<remote::HostKey> hostKeys;
    int secretsAsked = 0;

    std::future<remote::Trust> AskCertificate(const remote::Certificate&) override {
        std::promise<remote::Trust> p;
        p.set_value(remote::Trust::Cancel);
        return p.get_future();
    }
    std::future<remote::Trust> AskHostKey(const remote::HostKey& key) override {
        hostKeys.push_back(key);
        std::promise<remote::Trust> p;
        p.set_value(hostKeyAnswer);
        return p.get_future();
    }
    std::future<std::optional<std::string>> AskSecret(remote::SecretKind,
                                                      const std::string&) override {
        ++secretsAsked;
        std::promise<std::optional<std::string>> p; // broken: Cancel
        return p.get_future();
    }
};

// "Always" with our known_hosts unusable (a link put in its place, here)
// still connects: the key is trusted for this session, the log says why it
// could not be kept, and nothing is written where the link leads.
TEST_F(SftpTransferTest, AnAlwaysTrustedKeyThatCannotBeKeptIsTrustedForTheSessionAndSaidSo) {
    TempDir settings;
    const std::string elsewhere = settings.path() + "/elsewhere";
    Write(elsewhere, "untouched\n");
    ASSERT_EQ(symlink(elsewhere.c_str(), (settings.path() + "/known_hosts").c_str()), 0);
    remote::SiteConnection site = SftpSite(settings.path());
    ScriptedQuestions questions;
    questions.hostKeyAnswer = remote::Trust::Always;
    remote::Result why;
    auto fs = remote::OpenRemoteFs(site, &questions, &why);
    ASSERT_TRUE(fs) << why.reply;
    remote::Result r = fs->Connect();
    ASSERT_TRUE(r) << r.reply;
    ASSERT_EQ(fs->ConnectNotes().size(), 1u);
    EXPECT_NE(fs->ConnectNotes()[0].find("trusted for this session only"), std::string::npos);
    EXPECT_EQ(Slurp(elsewhere), "untouched\n");
    std::vector<remote::Entry> entries;
    EXPECT_TRUE(fs->List(m_dir, &entries, remote::Links::AsListed));
    fs->Close();
}

// An unknown host key is asked through the pane's questions with what ssh
// says of it; "Always" keeps it in our own known_hosts, and the next connect
// asks nothing. "Cancel" connects to nothing and keeps nothing.
TEST_F(SftpTransferTest, AnUnknownHostKeyIsAskedOfThePaneAndAlwaysIsKeptInOurFile) {
    sftp::SshTarget target = s_server->Target();
    TempDir settings;
    remote::SiteConnection site = SftpSite(settings.path());
    struct Case {
        remote::Trust answer;
        bool connects;
        size_t asked;
    } cases[] = {{remote::Trust::Cancel, false, 1},
                 {remote::Trust::Always, true, 1},
                 {remote::Trust::Cancel, true, 0}}; // known now: nothing asked
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.answer));
        ScriptedQuestions questions;
        questions.hostKeyAnswer = c.answer;
        remote::Result why;
        auto fs = remote::OpenRemoteFs(site, &questions, &why);
        ASSERT_TRUE(fs) << why.reply;
        remote::Result r = fs->Connect();
        EXPECT_EQ(r.Ok(), c.connects) << r.reply;
        ASSERT_EQ(questions.hostKeys.size(), c.asked);
        if (c.asked) {
            EXPECT_EQ(questions.hostKeys[0].host, "127.0.0.1");
            EXPECT_EQ(questions.hostKeys[0].port, target.port);
            EXPECT_EQ(questions.hostKeys[0].fingerprint, s_server->HostKeyFingerprint());
        }
        EXPECT_EQ(questions.secretsAsked, 0);
        fs->Close();
    }
}

// Questions the test answers only when it chooses: the pane's dialog still
// waiting in its queue, or still open.
class HeldQuestions : public remote::IRemoteQuestions {
public:
    std::future<remote::Trust> AskCertificate(const remote::Certificate&) override {
        std::promise<remote::Trust> p;
        p.set_value(remote::Trust::Cancel);
        return p.get_future();
    }
    std::future<remote::Trust> AskHostKey(const remote::HostKey&) override {
        std::lock_guard lock(m_mutex);
        m_asked.set_value();
        return m_answer.get_future();
    }
    std::future<void> Asked() { return m_asked.get_future(); }
    void Answer(remote::Trust trust) { m_answer.set_value(trust); }

private:
    std::mutex m_mutex;
    std::promise<void> m_asked;
    std::promise<remote::Trust> m_answer;
};

// Close (a disconnect, another site, the end of the program) and Stop while
// a host key question waits for its answer end the connect at once: the
// thread that would show the question is the one closing, so waiting for
// the answer would wait for ever.
TEST_F(SftpTransferTest, CloseOrStopWhileAHostKeyQuestionWaitsEndsTheConnect) {
    TempDir settings;
    remote::SiteConnection site = SftpSite(settings.path());
    const std::pair<const char*, void (*)(remote::IRemoteFs&)> actions[] = {
        {"Close", [](remote::IRemoteFs& fs) { fs.Close(); }},
        {"Stop", [](remote::IRemoteFs& fs) { fs.Abort(); }},
    };
    for (const auto& [what, act] : actions) {
        SCOPED_TRACE(what);
        HeldQuestions questions;
        std::future<void> asked = questions.Asked();
        remote::Result why;
        auto fs = remote::OpenRemoteFs(site, &questions, &why);
        ASSERT_TRUE(fs) << why.reply;
        auto connected = std::async(std::launch::async, [&] { return fs->Connect(); });
        ASSERT_EQ(asked.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        auto acted = std::async(std::launch::async, [&, act = act] { act(*fs); });
        // A bound for a hang, not a measure of speed.
        bool ended = connected.wait_for(std::chrono::seconds(30)) == std::future_status::ready &&
                     acted.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        EXPECT_TRUE(ended);
        if (!ended)
            questions.Answer(remote::Trust::Cancel); // lets the test end
        remote::Result r = connected.get();
        acted.get();
        EXPECT_FALSE(r.Ok());
        EXPECT_EQ(r.failure, remote::Failure::Stopped) << r.reply;
        EXPECT_FALSE(fs::exists(settings.path() + "/known_hosts"));
        fs->Close();
    }
}

} // namespace
