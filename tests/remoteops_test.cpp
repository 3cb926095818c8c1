// What the remote pane does on the server, as plain code: deleting a
// selection with its folder trees, counting a tree for Properties, the checks
// before a rename and the question before a delete. Against pyftpdlib and
// vsftpd, and the scripted server for hostile listings.
#include "remote/RemoteOps.h"
#include "tests/RemoteSession.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A session on a server of 127.0.0.1.
std::shared_ptr<remote::IRemoteFs>
OpenSession(int port, const std::string& user = FtpServer::User(),
            const std::string& password = FtpServer::Password()) {
    return ConnectRemote(port, user, password);
}

// ---- texts and checks ----

TEST(RemoteOpsTexts, TheDeleteQuestionNamesOneItemOrCountsThem) {
    EXPECT_EQ(remote::DeleteQuestion({"x"}), "Delete \"x\" from the server?");
    EXPECT_EQ(remote::DeleteQuestion({"a", "b", "c"}), "Delete these 3 items from the server?");
    // A line break in a stranger's name does not split the question.
    EXPECT_EQ(remote::DeleteQuestion({"a\nb"}), "Delete \"a\\x0ab\" from the server?");
}

TEST(RemoteOpsTexts, RenameRefusesSlashesLineBreaksDotsAndListedNames) {
    std::vector<std::string> listed = {"a.txt", "b.txt", "Sub"};
    EXPECT_EQ(remote::RenameRefusal("c.txt", "a.txt", listed), "");
    EXPECT_EQ(remote::RenameRefusal("", "a.txt", listed), "");      // nothing is sent
    EXPECT_EQ(remote::RenameRefusal("a.txt", "a.txt", listed), ""); // the same name
    EXPECT_EQ(remote::RenameRefusal("b.txt", "a.txt", listed),
              "\"b.txt\" already exists in this folder");
    EXPECT_EQ(remote::RenameRefusal("Sub", "a.txt", listed),
              "\"Sub\" already exists in this folder");
    // Names are bytes: another case is another name on the server.
    EXPECT_EQ(remote::RenameRefusal("B.txt", "a.txt", listed), "");
    EXPECT_EQ(remote::RenameRefusal("../x", "a.txt", listed),
              "A name on the server cannot hold \"/\"");
    EXPECT_EQ(remote::RenameRefusal("x/y", "a.txt", listed),
              "A name on the server cannot hold \"/\"");
    EXPECT_EQ(remote::RenameRefusal("x\r\nDELE y", "a.txt", listed),
              "A name on the server cannot hold a line break");
    EXPECT_EQ(remote::RenameRefusal(std::string("x\0y", 3), "a.txt", listed),
              "A name on the server cannot hold a line break");
    EXPECT_EQ(remote::RenameRefusal("..", "a.txt", listed), "\"..\" is not a name a file can take");
    EXPECT_EQ(remote::RenameRefusal(".", "a.txt", listed), "\".\" is not a name a file can take");
}

TEST(RemoteOpsTexts, PropertiesFiguresAreWholeKilobytesPlusOneAndSixtyFourBit) {
    remote::PropertiesTexts f = remote::FolderProperties("//pub//x", 3, 1, 7010);
    EXPECT_EQ(f.type, "Folder");
    EXPECT_EQ(f.location, "/pub/x");
    EXPECT_EQ(f.size, "7 KB");
    EXPECT_EQ(f.contains, "3  Files , 1 Folders");
    EXPECT_EQ(remote::FolderProperties("/e", 0, 0, 0).size, "0 KB");
    EXPECT_EQ(remote::FolderProperties("/e", 0, 0, 0).contains, "0  Files , 0 Folders");
    // 3 GiB and 5 GiB show their real size.
    EXPECT_EQ(remote::FolderProperties("/big", 1, 0, 3ull << 30).size, "3145729 KB");
    EXPECT_EQ(remote::PropertiesSizeText(5ull << 30), "5242881 KB");
    EXPECT_EQ(remote::PropertiesSizeText(1), "1 KB");
    EXPECT_EQ(remote::PropertiesSizeText(1024), "2 KB");

    remote::PropertiesTexts e = remote::FileProperties("/pub/empty.txt", 0);
    EXPECT_EQ(e.type, "File ");
    EXPECT_EQ(e.location, "/pub/empty.txt");
    EXPECT_EQ(e.size, "0 KB");
    EXPECT_EQ(e.contains, "0 Files , 0 Folders");
    // A file the server did not list is of unknown size, not empty.
    remote::PropertiesTexts gone = remote::FileProperties("/pub/gone.txt", std::nullopt);
    EXPECT_EQ(gone.size, remote::kUnknownSize);
    EXPECT_NE(gone.size, "0 KB");
}

// ---- against real servers ----

class RemoteOpsTest : public ::testing::TestWithParam<ServerKind> {
protected:
    std::unique_ptr<FtpServer> server;
    std::shared_ptr<remote::IRemoteFs> session;
    std::mutex linesMutex;
    std::vector<std::string> lines;
    std::atomic<int> stop{0};

    void SetUp() override {
        server = std::make_unique<FtpServer>(GetParam());
        ASSERT_TRUE(server->ok()) << server->error();
    }
    std::string Root() const { return server->root(); }
    void Open() {
        server->Share();
        session = OpenSession(server->port());
        ASSERT_TRUE(session);
    }
    remote::CRemoteDelete::LineSink Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        };
    }
    int Delete(const std::string& folder, const std::vector<std::string>& names) {
        remote::CRemoteDelete del(session, &stop, Sink());
        del.Run(folder, names);
        EXPECT_TRUE(del.m_walk.m_arrRemoteItems.empty());
        return del.m_bChanged;
    }
};

INSTANTIATE_TEST_SUITE_P(Servers, RemoteOpsTest,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(KindName(info.param)); });

TEST_P(RemoteOpsTest, AFolderTreeGoesFilesLastFoundFirstThenFoldersDeepestFirstThenTheFile) {
    Write(Root() + "/pub/top/a.txt", "a");
    Write(Root() + "/pub/top/sub/b.txt", "bb");
    Write(Root() + "/pub/top/sub/deep/c.txt", "ccc");
    Write(Root() + "/pub/f.txt", "f");
    Write(Root() + "/pub/stays.txt", "s");
    Open();
    EXPECT_EQ(Delete("/pub", {"top", "f.txt"}), 1);
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "Deleting   /pub/top/sub/deep/c.txt", "Deleted", "Deleting   /pub/top/sub/b.txt",
                  "Deleted", "Deleting   /pub/top/a.txt", "Deleted",
                  "Deleting Directory /pub/top/sub/deep", "Directory Successfully Deleted",
                  "Deleting Directory /pub/top/sub", "Directory Successfully Deleted",
                  "Deleting f.txt", "File f.txt deleted "}));
    EXPECT_FALSE(fs::exists(Root() + "/pub/top"));
    EXPECT_FALSE(fs::exists(Root() + "/pub/f.txt"));
    EXPECT_TRUE(fs::exists(Root() + "/pub/stays.txt"));
}

TEST_P(RemoteOpsTest, AFileAlreadyGoneIsAnErrorWithTheServersWordsAndChangesNothing) {
    Write(Root() + "/here.txt", "h");
    Open();
    EXPECT_EQ(Delete("/", {"gone.txt"}), 0);
    ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Deleting gone.txt");
    EXPECT_EQ(lines[1], "Error deleting gone.txt");
    EXPECT_EQ(lines[2].rfind("550 ", 0), 0u) << lines[2]; // the server's reply
    EXPECT_TRUE(fs::exists(Root() + "/here.txt"));
}

TEST_P(RemoteOpsTest, ALinkInsideTheTreeOrSelectedIsDeletedNeverWhatItPointsTo) {
    Write(Root() + "/keep/data/precious.txt", "precious");
    Write(Root() + "/keep/top.txt", "top");
    Write(Root() + "/victim/own.txt", "own");
    fs::create_directory_symlink("../keep", Root() + "/victim/lnk");
    fs::create_directory_symlink("keep", Root() + "/lnk2");
    Open();
    // Counting does not follow it either: the link is one entry.
    remote::FolderCount count = remote::CountFolder(session, "/victim", &stop, Sink());
    EXPECT_EQ(count.folders, 0u);
    EXPECT_EQ(count.files, 2u);

    EXPECT_EQ(Delete("/", {"victim", "lnk2"}), 1);
    EXPECT_EQ(Slurp(Root() + "/keep/data/precious.txt"), "precious");
    EXPECT_EQ(Slurp(Root() + "/keep/top.txt"), "top");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root() + "/victim")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root() + "/lnk2")));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Deleting   /victim/lnk"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "File lnk2 deleted "), 1);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("keep"), std::string::npos) << line;
}

TEST_P(RemoteOpsTest, StopInTheMiddleOfALargeDeleteSendsNothingMore) {
    for (int i = 0; i < 300; ++i)
        Write(Root() + "/big/f" + std::to_string(i) + ".txt", "x");
    Open();
    long deleted = 0;
    remote::CRemoteDelete del(session, &stop, [&](const std::string& line) {
        lines.push_back(line);
        if (line == "Deleted" && ++deleted == 30)
            stop = 1; // as the frame's Stop would, in the middle
    });
    del.Run("/", {"big"});
    EXPECT_EQ(del.m_bChanged, 1);
    EXPECT_TRUE(del.m_bStopped);
    EXPECT_EQ(lines.back(), "Delete stopped");
    // The request in flight ends, no other is sent.
    long said = std::count(lines.begin(), lines.end(), "Deleted");
    EXPECT_GE(said, 30);
    EXPECT_LE(said, 64);
    long left = std::distance(fs::directory_iterator(Root() + "/big"), fs::directory_iterator());
    EXPECT_EQ(left + said, 300);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Directory Successfully Deleted"), 0);
    EXPECT_TRUE(del.m_walk.m_arrRemoteItems.empty());
}

TEST_P(RemoteOpsTest, AFileThatCannotBeDeletedInsideATreeIsReportedAndTheRestGoes) {
    for (int i = 0; i < 40; ++i)
        Write(Root() + "/t/f" + std::to_string(i) + ".txt", "x");
    Open();
    remote::CRemoteDelete del(session, &stop, Sink());
    del.m_walk.WalkTree(WalkKind::Collect, "/t");
    ASSERT_EQ(del.m_walk.m_arrRemoteItems.size(), 40u);
    std::vector<std::string> found;
    for (const CRemoteItem& item : del.m_walk.m_arrRemoteItems)
        found.push_back(item.m_strPath);
    // Gone between the walk and its delete: that one fails, the others go.
    ASSERT_TRUE(fs::remove(Root() + found[5]));
    del.DeleteCollectedItems();
    // Each file's line before its outcome, from the last found to the first;
    // the one that failed is followed by the server's reply.
    ASSERT_EQ(lines.size(), 81u);
    size_t at = 0;
    for (size_t k = 0; k < 40; ++k) {
        const std::string& path = found[39 - k];
        EXPECT_EQ(lines[at++], "Deleting   " + path);
        EXPECT_EQ(lines[at++], path == found[5] ? "Error Deleting  " + path : "Deleted");
        if (path == found[5]) {
            EXPECT_EQ(lines[at].rfind("550 ", 0), 0u) << lines[at];
            ++at;
        }
    }
    EXPECT_EQ(del.m_bChanged, 1);
    EXPECT_TRUE(fs::is_empty(Root() + "/t"));
}

TEST_P(RemoteOpsTest, PropertiesCountsThreeFilesInOneSubfolder) {
    Write(Root() + "/props/sub/ten.bin", std::string(10, 't'));
    Write(Root() + "/props/sub/two.bin", std::string(2000, 't'));
    Write(Root() + "/props/sub/five.bin", std::string(5000, 't'));
    Open();
    remote::FolderCount c = remote::CountFolder(session, "//props", &stop, Sink());
    EXPECT_EQ(c.files, 3u);
    EXPECT_EQ(c.folders, 1u);
    EXPECT_EQ(c.bytes, 7010u);
    remote::PropertiesTexts t = remote::FolderProperties("//props", c.files, c.folders, c.bytes);
    EXPECT_EQ(t.contains, "3  Files , 1 Folders");
    EXPECT_EQ(t.size, "7 KB");
    EXPECT_TRUE(lines.empty());
}

// ---- against the scripted hostile server ----

class RecordedScript {
public:
    TempDir dir;
    std::string record;
    std::unique_ptr<ScriptedServer> server;
    std::shared_ptr<remote::IRemoteFs> session;

    explicit RecordedScript(const std::string& scenario) {
        record = dir.path() + "/commands.txt";
        setenv("ORVANE_SCRIPT_RECORD", record.c_str(), 1);
        server = std::make_unique<ScriptedServer>(scenario);
        unsetenv("ORVANE_SCRIPT_RECORD");
        EXPECT_TRUE(server->ok());
        session = OpenSession(server->port(), "user", "pw");
        EXPECT_TRUE(session);
    }
    // Deletes `names` of `folder`; the lines it wrote.
    std::vector<std::string> Delete(const std::string& folder,
                                    const std::vector<std::string>& names) {
        std::vector<std::string> lines;
        std::atomic<int> stop{0};
        remote::CRemoteDelete del(session, &stop,
                                  [&](const std::string& line) { lines.push_back(line); });
        del.Run(folder, names);
        return lines;
    }
    // The DELE and RMD commands the server received, in order.
    std::vector<std::string> Removals() const {
        std::vector<std::string> out;
        std::ifstream in(record);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("DELE ", 0) == 0 || line.rfind("RMD ", 0) == 0)
                out.push_back(line);
        return out;
    }
};

TEST(RemoteOpsHostile, PropertiesNamesEveryFolderItCouldNotListAndCountsTheRest) {
    RecordedScript script("unlistable-tree");
    ASSERT_TRUE(script.session);
    std::vector<std::string> lines;
    std::atomic<int> stop{0};
    remote::FolderCount c = remote::CountFolder(
        script.session, "/top", &stop, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(c.files, 1u);   // ok.txt; what locked holds is not seen
    EXPECT_EQ(c.folders, 1u); // locked itself
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Unable to list folder /top/locked : 550 Permission denied"}));
}

TEST(RemoteOpsHostile, AHostileListingDeletesNothingOutsideTheSelection) {
    RecordedScript script("hostile-tree");
    ASSERT_TRUE(script.session);
    std::vector<std::string> lines = script.Delete("/", {"top"});
    std::vector<std::string> removals = script.Removals();
    ASSERT_FALSE(removals.empty());
    for (const std::string& r : removals) {
        std::string path = r.substr(r.find(' ') + 1);
        EXPECT_TRUE(path == "/top" || path.rfind("/top/", 0) == 0) << r;
        EXPECT_EQ(path.find("/.."), std::string::npos) << r;
        EXPECT_EQ(path.find("/./"), std::string::npos) << r;
    }
    // The link is removed as an entry; the fine names go; the folder last.
    EXPECT_NE(std::find(removals.begin(), removals.end(), "DELE /top/lnk"), removals.end());
    EXPECT_NE(std::find(removals.begin(), removals.end(), "DELE /top/ok.txt"), removals.end());
    EXPECT_NE(std::find(removals.begin(), removals.end(), "DELE /top/sub/inner.txt"),
              removals.end());
    EXPECT_EQ(removals.back(), "RMD /top");
    EXPECT_EQ(removals[removals.size() - 2], "RMD /top/sub");
}

TEST(RemoteOpsHostile, UnsafeSelectedNamesAreSkippedAndSaidSo) {
    RecordedScript script("hostile-tree");
    ASSERT_TRUE(script.session);
    std::vector<std::string> lines = script.Delete("/top", {"../x", "..", "a/b", "ok.txt"});
    EXPECT_EQ(script.Removals(), (std::vector<std::string>{"DELE /top/ok.txt"}));
    EXPECT_EQ(lines, (std::vector<std::string>{"Unsafe name skipped: /top : ../x",
                                               "Unsafe name skipped: /top : ..",
                                               "Unsafe name skipped: /top : a/b", "Deleting ok.txt",
                                               "File ok.txt deleted "}));
}

TEST(RemoteOpsHostile, ANameWithALineBreakNeverReachesTheControlConnection) {
    RecordedScript script("hostile-tree");
    ASSERT_TRUE(script.session);
    EXPECT_FALSE(script.session->DeleteFile("/top/a\r\nDELE /victim"));
    EXPECT_FALSE(script.session->DeleteFolder("/top/a\nRMD /victim"));
    EXPECT_FALSE(script.session->MakeFolder("/top/a\rMKD /victim"));
    EXPECT_FALSE(script.session->Rename("/top/ok.txt", "/top/b\r\nDELE /victim"));
    std::vector<remote::Result> done;
    script.session->DeleteFiles({"/top/b\nDELE /victim", "/top/ok.txt"}, &done);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_FALSE(done[0]);
    EXPECT_TRUE(done[1]);
    // The session still works.
    EXPECT_TRUE(script.session->DeleteFile("/top/ok.txt"));
    std::ifstream in(script.record);
    for (std::string line; std::getline(in, line);)
        EXPECT_EQ(line.find("victim"), std::string::npos) << line;
    EXPECT_EQ(script.Removals(),
              (std::vector<std::string>{"DELE /top/ok.txt", "DELE /top/ok.txt"}));
}

} // namespace

// A folder the server will not remove (it holds what its listing did not
// show) is no silent success: the log names it with the server's words.
TEST(RemoteOpsHostile, AFolderTheServerKeepsIsNamedWithTheServersReply) {
    RecordedScript script("rmd-refused");
    ASSERT_TRUE(script.session);
    std::vector<std::string> lines = script.Delete("/", {"top"});
    EXPECT_EQ(lines, (std::vector<std::string>{"Deleting   /top/f.txt", "Deleted",
                                               "Error Deleting Directory /top",
                                               "550 Directory not empty"}));
    EXPECT_EQ(script.Removals(), (std::vector<std::string>{"DELE /top/f.txt", "RMD /top"}));
}

// A server that reads LIST's "-a" as a name, in a folder that holds a folder
// of that name: what "LIST -a" shows there is that folder's content, never
// taken for the listing of the folder itself. The link beside it is deleted
// as the link it is, and what it points to stays.
TEST(RemoteOpsHostile, AFolderNamedDashAIsNeverTakenForTheListingOfItsParent) {
    RecordedScript script("dash-a-tree");
    ASSERT_TRUE(script.session);
    std::vector<std::string> lines = script.Delete("/top", {"-a", "f.txt", "lnk"});
    std::vector<std::string> removals = script.Removals();
    for (const std::string& r : removals)
        EXPECT_EQ(r.find("precious"), std::string::npos) << r;
    for (const char* want : {"DELE /top/-a/lnk/own.txt", "RMD /top/-a/lnk", "RMD /top/-a",
                             "DELE /top/f.txt", "DELE /top/lnk"})
        EXPECT_EQ(std::count(removals.begin(), removals.end(), want), 1) << want;
    EXPECT_EQ(removals.size(), 5u) << testing::PrintToString(removals);
}

// A server whose LIST hides names that begin with "." while its MLSD shows a
// link to a folder as the folder: the hidden link is never entered, so what
// it points to is neither deleted nor counted. "-a" shows it where LIST
// takes it; where LIST never shows it, the two listings disagree and the
// entry is not entered either.
TEST(RemoteOpsHidden, AHiddenLinkToAFolderIsNeverEnteredByADeleteOrACount) {
    for (const char* hiding : {"1", "always"}) {
        SCOPED_TRACE(hiding);
        setenv("ORVANE_PYFTPD_HIDE_DOTS", hiding, 1);
        FtpServer server(ServerKind::Pyftpdlib);
        unsetenv("ORVANE_PYFTPD_HIDE_DOTS");
        ASSERT_TRUE(server.ok()) << server.error();
        Write(server.root() + "/keep/data/precious.txt", "precious");
        Write(server.root() + "/victim/own.txt", "own");
        fs::create_directory_symlink("../keep", server.root() + "/victim/.lnk");
        server.Share();
        auto session = OpenSession(server.port());
        ASSERT_TRUE(session);
        std::atomic<int> stop{0};
        std::vector<std::string> lines;
        auto sink = [&](const std::string& line) { lines.push_back(line); };
        remote::FolderCount count = remote::CountFolder(session, "/victim", &stop, sink);
        EXPECT_EQ(count.folders, 0u);
        EXPECT_EQ(count.files, 2u); // own.txt and the link
        remote::CRemoteDelete del(session, &stop, sink);
        del.Run("/", {"victim"});
        EXPECT_EQ(Slurp(server.root() + "/keep/data/precious.txt"), "precious");
        EXPECT_FALSE(fs::exists(fs::symlink_status(server.root() + "/victim")));
        for (const std::string& line : lines)
            EXPECT_EQ(line.find("keep"), std::string::npos) << line;
    }
}
