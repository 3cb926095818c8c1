// The remote pane's file operations as a user meets them, against pyftpdlib:
// the delete question, the lines of a delete and its one refresh, renaming in
// place, New Folder, Properties and Execute.
#include "local/PropertiesDlg.h"
#include "remote/RemoteOps.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "tests/FrameFixture.h"
#include "tests/ftp/FtpServers.h"

#include <wx/menu.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

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

class RemoteOpsPaneTest : public FrameTest {
protected:
    virtual ServerKind Kind() const { return ServerKind::Pyftpdlib; }
    std::unique_ptr<FtpServer> server;
    std::string work;

    void SetUp() override {
        FrameTest::SetUp();
        server = std::make_unique<FtpServer>(Kind());
        ASSERT_TRUE(server->ok()) << server->error();
        work = server->root() + "/work";
        fs::create_directories(work);
    }
    void TearDown() override {
        frame->OnDisconnect();
        right()->WaitIdle(5000);
        FrameTest::TearDown();
    }
    void Connect(const std::string& remoteDir) {
        server->Share();
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = server->port();
        dlg.m_strRemoteDir = remoteDir;
        dlg.m_strLocalDir = "/";
        dlg.m_bPassive = 1;
        frame->ConnectToSite(dlg);
        Settle();
        lines0 = LogLines().size();
    }
    void Settle() {
        Pump(20);
        ASSERT_TRUE(PumpUntilIdle());
        Pump(60);
        ASSERT_TRUE(PumpUntilIdle());
        Pump(20);
    }
    // Events are handled while waiting: the pane can stay busy until a task
    // its worker posted has run (the Properties box).
    bool PumpUntilIdle() {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (right()->m_bBusy != 0) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            Pump(5);
        }
        return true;
    }
    // Log lines since the connection was made.
    size_t lines0 = 0;
    std::vector<std::string> NewLines() {
        std::vector<std::string> all = LogLines();
        return std::vector<std::string>(
            all.begin() + static_cast<long>(std::min(lines0, all.size())), all.end());
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& r : right()->Rows())
            names.push_back(r.name);
        return names;
    }
    std::vector<std::string> SortedNames() {
        std::vector<std::string> n = Names();
        std::sort(n.begin(), n.end());
        return n;
    }
    void Select(const std::vector<std::string>& names) {
        const auto& rows = right()->Rows();
        for (size_t i = 0; i < rows.size(); ++i)
            right()->m_wndList->SetItemState(
                static_cast<long>(i),
                std::count(names.begin(), names.end(), rows[i].name) ? wxLIST_STATE_SELECTED : 0,
                wxLIST_STATE_SELECTED);
    }
    // Renames the selected row in place as a user would type `text`.
    void TypeName(const std::string& text, bool cancel = false) {
        wxTextCtrl* edit = right()->m_wndList->GetEditControl();
        ASSERT_NE(edit, nullptr);
        edit->SetValue(wxString::FromUTF8(text));
        right()->m_wndList->EndEditLabel(cancel);
        Settle();
    }
};

TEST_F(RemoteOpsPaneTest, DeleteAsksOnceNoSendsNothingYesDeletesTreeAndFileThenRefreshes) {
    Write(work + "/tree/sub/x.txt", "x");
    Write(work + "/file.txt", "f");
    Write(work + "/other.txt", "o");
    Connect("/work");
    Select({"tree", "file.txt"});
    answers = {ui::kNo};
    size_t questions = asked.size();
    right()->OnDelete();
    Settle();
    ASSERT_EQ(asked.size(), questions + 1);
    EXPECT_EQ(asked.back().text, "Delete these 2 items from the server?");
    EXPECT_EQ(asked.back().caption, "Orvane");
    EXPECT_EQ(asked.back().buttons, ui::kButtonsYesNo | ui::kDefaultSecond);
    EXPECT_TRUE(NewLines().empty());
    EXPECT_TRUE(fs::exists(work + "/tree/sub/x.txt"));
    EXPECT_TRUE(fs::exists(work + "/file.txt"));

    Select({"other.txt"});
    answers = {ui::kNo};
    right()->OnDelete();
    EXPECT_EQ(asked.back().text, "Delete \"other.txt\" from the server?");

    // Yes: the tree's lines, then the file's; the list shows the folder afresh.
    Write(work + "/late.txt", "l"); // listed only by a refresh
    Select({"tree", "file.txt"});
    answers = {ui::kYes};
    right()->OnDelete();
    ASSERT_TRUE(PumpUntil([&] { return SortedNames().size() == 2; }, 20000));
    Settle();
    EXPECT_EQ(NewLines(), (std::vector<std::string>{
                              "Deleting   /work/tree/sub/x.txt", "Deleted",
                              "Deleting Directory /work/tree/sub", "Directory Successfully Deleted",
                              "Deleting file.txt", "File file.txt deleted "}));
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"late.txt", "other.txt"}));
    EXPECT_FALSE(fs::exists(work + "/tree"));
    // The one refresh was of the folder the delete was made in.
    EXPECT_EQ(right()->m_strCurrentPath, "/work");
    EXPECT_EQ(LogLines().size(), lines0 + 6) << "no line after the delete's";
}

TEST_F(RemoteOpsPaneTest, AFileAlreadyGoneIsAnErrorAndTheListIsNotRefreshed) {
    Write(work + "/gone.txt", "g");
    Connect("/work");
    fs::remove(work + "/gone.txt");
    Write(work + "/late.txt", "l"); // would show after a refresh
    Select({"gone.txt"});
    right()->OnDelete();
    Settle();
    // The error line is followed by the server's reply.
    EXPECT_EQ(NewLines(), (std::vector<std::string>{"Deleting gone.txt", "Error deleting gone.txt",
                                                    "550 No such file or directory."}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"gone.txt"})) << "no refresh";
}

TEST_F(RemoteOpsPaneTest, ALargeDeleteKeepsThePaneBusyAndStopEndsIt) {
    for (int i = 0; i < 1500; ++i)
        Write(work + "/big/f" + std::to_string(i) + ".txt", "x");
    Connect("/work");
    // After the fifth file the delete holds until this thread has looked at
    // the pane, then the user's Stop arrives (as the frame's Stop sets it).
    auto deleted = std::make_shared<std::atomic<int>>(0);
    auto looked = std::make_shared<std::promise<void>>();
    std::shared_future<void> lookedAt = looked->get_future().share();
    auto log = right()->m_addLine;
    CRightView* pane = right();
    right()->m_addLine = [pane, log, deleted, lookedAt](const std::string& line) {
        log(line);
        if (line == "Deleted" && ++*deleted == 5) {
            lookedAt.wait_for(std::chrono::seconds(20));
            pane->m_bStop = 1;
        }
    };
    Select({"big"});
    right()->OnDelete();
    // The walk runs on a worker: this thread is back at once, the pane busy.
    EXPECT_GT(right()->m_bBusy.load(), 0);
    std::unique_ptr<wxMenu> menu(right()->CreateContextMenu());
    ASSERT_TRUE(menu);
    EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(cmd::ID_DELETE)));
    EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(cmd::ID_PROPERTIES)));
    // A second delete does not start beside the first.
    size_t questions = asked.size();
    right()->OnDelete();
    EXPECT_EQ(asked.size(), questions);
    looked->set_value();
    Settle();
    std::vector<std::string> l = NewLines();
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l.back(), "Delete stopped");
    size_t left = 0;
    for (auto& e : fs::directory_iterator(work + "/big")) {
        (void)e;
        ++left;
    }
    EXPECT_GT(left, 0u);
    EXPECT_EQ(left + static_cast<size_t>(std::count(l.begin(), l.end(), "Deleted")), 1500u);
    // What was deleted shows: the list was refreshed and the folder stays.
    EXPECT_EQ(Names(), (std::vector<std::string>{"big"}));
}

// Stop, then Properties (Alt+Enter reaches it while the menus are grey):
// no walk starts beside the delete, and the delete stays stopped.
TEST_F(RemoteOpsPaneTest, AStoppedDeleteStaysStoppedWhenPropertiesIsAskedForMeanwhile) {
    for (int i = 0; i < 40; ++i)
        Write(work + "/big/f" + std::to_string(i) + ".txt", "x");
    Connect("/work");
    // After its second file the delete holds until the user has acted.
    auto deleted = std::make_shared<std::atomic<int>>(0);
    auto acted = std::make_shared<std::promise<void>>();
    std::shared_future<void> actedOn = acted->get_future().share();
    auto log = right()->m_addLine;
    right()->m_addLine = [log, deleted, actedOn](const std::string& line) {
        log(line);
        if (line == "Deleted" && ++*deleted == 2)
            actedOn.wait_for(std::chrono::seconds(20));
    };
    Select({"big"});
    right()->OnDelete();
    ASSERT_TRUE(PumpUntil([&] { return deleted->load() >= 2; }, 20000));
    frame->OnStop();
    frame->SetActiveView(right());
    size_t shown = dialogs.size();
    frame->RouteCommand(cmd::ID_PROPERTIES);
    acted->set_value();
    Settle();
    EXPECT_EQ(dialogs.size(), shown); // no Properties box
    std::vector<std::string> l = NewLines();
    ASSERT_FALSE(l.empty());
    EXPECT_EQ(l.back(), "Delete stopped");
    ASSERT_TRUE(fs::is_directory(work + "/big"));
    EXPECT_FALSE(fs::is_empty(work + "/big"));
}

TEST_F(RemoteOpsPaneTest, ADeleteEndingAfterTheUserWentElsewhereLeavesTheNewFolderShown) {
    Write(work + "/doomed/a.txt", "a");
    Write(server->root() + "/elsewhere.txt", "e");
    Connect("/work");
    // The delete holds after its first file until the user has gone to the root.
    auto went = std::make_shared<std::promise<void>>();
    std::shared_future<void> wentThere = went->get_future().share();
    auto log = right()->m_addLine;
    right()->m_addLine = [log, wentThere](const std::string& line) {
        log(line);
        if (line == "Deleted")
            wentThere.wait_for(std::chrono::seconds(20));
    };
    Select({"doomed"});
    right()->OnDelete();
    right()->OnRootDirectory();
    went->set_value();
    Settle();
    EXPECT_FALSE(fs::exists(work + "/doomed"));
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"elsewhere.txt", "work"}));
}

TEST_F(RemoteOpsPaneTest, RenameInPlaceRefusesTakenNamesAndSlashesAndSendsNothingForEmptyOrEscape) {
    Write(work + "/a.txt", "first");
    Write(work + "/b.txt", "second");
    Connect("/work");
    Select({"a.txt"});

    // Escape, and an empty name: nothing is sent, nothing said.
    right()->HandleCommand(cmd::ID_RENAME);
    EXPECT_EQ(right()->m_bEditing, 1);
    TypeName("zzz.txt", true);
    EXPECT_EQ(right()->m_bEditing, 0);
    right()->OnRename();
    TypeName("");
    EXPECT_TRUE(NewLines().empty());
    EXPECT_EQ(Slurp(work + "/a.txt"), "first");
    EXPECT_FALSE(fs::exists(work + "/zzz.txt"));

    // Onto a name the folder lists: refused, the other file intact.
    right()->OnRename();
    TypeName("b.txt");
    EXPECT_EQ(NewLines(), (std::vector<std::string>{"Unable to rename file ",
                                                    "\"b.txt\" already exists in this folder"}));
    EXPECT_EQ(Slurp(work + "/a.txt"), "first");
    EXPECT_EQ(Slurp(work + "/b.txt"), "second");
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"a.txt", "b.txt"}));

    // A "/" would move the file elsewhere.
    lines0 = LogLines().size();
    right()->OnRename();
    TypeName("../moved.txt");
    EXPECT_EQ(NewLines(), (std::vector<std::string>{"Unable to rename file ",
                                                    "A name on the server cannot hold \"/\""}));
    EXPECT_FALSE(fs::exists(server->root() + "/moved.txt"));

    // A new name: the server renames, the row shows it.
    lines0 = LogLines().size();
    right()->OnRename();
    TypeName("c.txt");
    EXPECT_TRUE(NewLines().empty());
    EXPECT_EQ(Slurp(work + "/c.txt"), "first");
    EXPECT_FALSE(fs::exists(work + "/a.txt"));
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"b.txt", "c.txt"}));
}

// vsftpd lists names as the bytes they are (pyftpdlib replaces what is not UTF-8).
class RemoteOpsPaneVsftpdTest : public RemoteOpsPaneTest {
protected:
    ServerKind Kind() const override { return ServerKind::Vsftpd; }
};

TEST_F(RemoteOpsPaneVsftpdTest, ANameThatIsNotUtf8KeepsItsBytesWhenItsEditIsConfirmedUnchanged) {
    const std::string odd = "caf\xE9.txt";
    Write(work + "/" + odd, "latin");
    Connect("/work");
    ASSERT_EQ(Names(), (std::vector<std::string>{odd}));
    Select({odd});
    answers = {ui::kNo};
    right()->OnDelete();
    EXPECT_EQ(asked.back().text, "Delete \"caf\\xE9.txt\" from the server?");
    right()->OnRename();
    TypeName("caf\\xE9.txt"); // the text the edit showed
    EXPECT_TRUE(NewLines().empty());
    EXPECT_EQ(Slurp(work + "/" + odd), "latin");
    EXPECT_FALSE(fs::exists(work + "/caf\\xE9.txt"));
    EXPECT_EQ(Names(), (std::vector<std::string>{odd}));
}

TEST_F(RemoteOpsPaneTest, NewFolderMakesTheFolderThenEditsItsNameAndARefusalLeavesNoRow) {
    // Not connected: nothing.
    right()->OnNewFolder();
    Pump(30);
    EXPECT_TRUE(right()->Rows().empty());
    EXPECT_EQ(right()->m_wndList->GetEditControl(), nullptr);

    Write(work + "/keep.txt", "k");
    Connect("/work");
    right()->OnNewFolder();
    Settle();
    EXPECT_TRUE(fs::is_directory(work + "/New Folder"));
    ASSERT_EQ(Names().size(), 2u);
    EXPECT_EQ(Names().back(), "New Folder");
    EXPECT_EQ(right()->Rows().back().type, "File Folder");
    ASSERT_NE(right()->m_wndList->GetEditControl(), nullptr);
    TypeName("Made");
    EXPECT_TRUE(fs::is_directory(work + "/Made"));
    EXPECT_FALSE(fs::exists(work + "/New Folder"));
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"Made", "keep.txt"}));
    EXPECT_TRUE(NewLines().empty());

    // The server refuses (the folder exists): its reply is logged, no row added.
    fs::create_directory(work + "/New Folder");
    right()->OnNewFolder();
    Settle();
    std::vector<std::string> l = NewLines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0], "Unable to create folder /work/New Folder");
    EXPECT_EQ(l[1].substr(0, 3), "550");
    EXPECT_EQ(SortedNames(), (std::vector<std::string>{"Made", "keep.txt"}));
    EXPECT_EQ(right()->m_wndList->GetEditControl(), nullptr);
    EXPECT_EQ(right()->m_bEditing, 0);
}

TEST_F(RemoteOpsPaneTest, PropertiesOfAFolderAFileAndNothing) {
    Write(work + "/props/sub/ten.bin", std::string(10, 't'));
    Write(work + "/props/sub/two.bin", std::string(2000, 't'));
    Write(work + "/props/sub/five.bin", std::string(5000, 't'));
    Write(work + "/empty.txt", "");
    Connect("/work");
    std::vector<std::string> seen;
    int busyInBox = -1;
    dialogAnswer = [&](wxDialog& d) {
        auto* p = dynamic_cast<CPropertiesDlg*>(&d);
        if (p)
            seen = {p->m_strType, p->m_strLocation, p->m_strSize, p->m_strContains};
        busyInBox = right()->m_bBusy;
        return wxID_OK;
    };
    Select({"props"});
    right()->OnProperties();
    Settle();
    EXPECT_EQ(seen,
              (std::vector<std::string>{"Folder", "/work/props", "7 KB", "3  Files , 1 Folders"}));
    EXPECT_GT(busyInBox, 0); // the pane stays busy while the box is open
    EXPECT_EQ(right()->m_bBusy, 0);
    EXPECT_EQ(right()->m_nFileCount, 3u);
    EXPECT_EQ(right()->m_nTotalBytes, 7010u);

    Select({"empty.txt"});
    right()->OnProperties();
    Settle();
    EXPECT_EQ(seen, (std::vector<std::string>{"File ", "/work/empty.txt", "0 KB",
                                              "0 Files , 0 Folders"}));

    // A file removed behind the pane's back: its size is not known.
    Write(work + "/gone.txt", "x");
    right()->OnRefresh();
    Settle();
    fs::remove(work + "/gone.txt");
    Select({"gone.txt"});
    right()->OnProperties();
    Settle();
    EXPECT_EQ(seen, (std::vector<std::string>{"File ", "/work/gone.txt", remote::kUnknownSize,
                                              "0 Files , 0 Folders"}));

    size_t shown = dialogs.size();
    Select({});
    right()->OnProperties();
    Settle();
    EXPECT_EQ(dialogs.size(), shown);
    EXPECT_TRUE(NewLines().empty());
}

TEST_F(RemoteOpsPaneTest, ExecuteOnlySaysItCannotWithOrWithoutASelection) {
    Write(work + "/run.sh", "#!/bin/sh\n");
    Connect("/work");
    right()->OnExecute();
    Select({"run.sh"});
    right()->OnExecute();
    EXPECT_EQ(NewLines(), (std::vector<std::string>{"Unable to read from Remote System",
                                                    "Unable to read from Remote System"}));
}

} // namespace
