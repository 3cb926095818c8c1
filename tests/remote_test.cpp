// The FTP session and the remote pane against real servers: connecting,
// failing to, the default folder, navigation, Disconnect and Reconnect.
#include "platform/ui/FileTypes.h"
#include "platform/ui/PathCombo.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "sites/SiteStore.h"
#include "tests/FrameFixture.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <wx/menu.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace {

class RemoteTest : public FrameTest {
protected:
    std::unique_ptr<FtpServer> server;
    ServerKind kind = ServerKind::Pyftpdlib;

    void SetUp() override {
        FrameTest::SetUp();
        server = std::make_unique<FtpServer>(kind);
        ASSERT_TRUE(server->ok()) << server->error();
        for (const char* d : {"pub/incoming/new", "pub/outgoing", "docs", "zeta"})
            fs::create_directories(server->root() + "/" + d);
        std::ofstream(server->root() + "/pub/incoming/note.txt") << "hello";
        std::ofstream(server->root() + "/readme.txt") << std::string(1500, 'r');
        server->Share();
    }
    void TearDown() override {
        if (frame) {
            frame->OnDisconnect();
            right()->WaitIdle(5000);
        }
        FrameTest::TearDown();
    }

    // Starts connecting as the Site Manager's Connect would.
    void StartConnect(const std::string& remoteDir, int port, const std::string& localDir = "/") {
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = port;
        dlg.m_strRemoteDir = remoteDir;
        dlg.m_strLocalDir = localDir;
        dlg.m_bPassive = 1;
        dlg.m_nEncryption = sites::kEncryptionPlain; // the lines of a plain connection
        frame->ConnectToSite(dlg);
    }
    // Connects as the Site Manager's Connect would, and waits for the worker.
    void Connect(const std::string& remoteDir, const std::string& password = FtpServer::Password(),
                 int port = 0, bool passive = true) {
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = password;
        dlg.m_nPort = port ? port : server->port();
        dlg.m_strRemoteDir = remoteDir;
        dlg.m_strLocalDir = "/";
        dlg.m_bPassive = passive ? 1 : 0;
        dlg.m_nEncryption = sites::kEncryptionPlain;
        frame->ConnectToSite(dlg);
        Settle();
    }
    int Find(const std::string& item) {
        for (unsigned i = 0; i < right()->m_wndPath->GetCount(); ++i)
            if (right()->m_wndPath->GetItemText(static_cast<int>(i)) == item)
                return static_cast<int>(i);
        return -1;
    }
    // Selects the row whose name is `name` (its bytes) and double-clicks it.
    void OpenRow(const std::string& name) {
        for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
            right()->m_wndList->SetItemState(
                i, right()->Rows()[static_cast<size_t>(i)].name == name ? wxLIST_STATE_SELECTED : 0,
                wxLIST_STATE_SELECTED);
        right()->OnDblclkList();
        Settle();
    }
    // The path box from its first item down, indents as ">".
    std::vector<std::string> Box() {
        std::vector<std::string> items;
        for (unsigned i = 0; i < right()->m_wndPath->GetCount(); ++i)
            items.push_back(std::string(right()->m_wndPath->GetIndent(i), '>') +
                            right()->m_wndPath->GetItemText(i));
        return items;
    }
    // Waits for the pane's workers and for what they posted.
    void Settle() {
        Pump(20);
        ASSERT_TRUE(right()->WaitIdle(20000));
        Pump(60);
    }
    std::vector<std::string> Combo() {
        std::vector<std::string> items;
        for (unsigned i = 0; i < right()->m_wndPath->GetCount(); ++i)
            items.push_back(std::string(right()->m_wndPath->GetIndent(i), '>') +
                            right()->m_wndPath->GetItemText(i));
        std::sort(items.begin(), items.end()); // root folders come in the server's order
        return items;
    }
    std::string Selected() {
        int s = right()->m_wndPath->GetCurSel();
        return s < 0 ? "" : right()->m_wndPath->GetItemText(s);
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& r : right()->Rows())
            names.push_back(r.name);
        return names;
    }
    void Open(const std::string& name) {
        for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
            right()->m_wndList->SetItemState(i,
                                             right()->m_wndList->GetItemText(i) ==
                                                     wxString::FromUTF8(name)
                                                 ? wxLIST_STATE_SELECTED
                                                 : 0,
                                             wxLIST_STATE_SELECTED);
        right()->OnDblclkList();
        Settle();
    }
    std::string ConnectedTitle() const {
        return "127.0.0.1 (" + std::string(FtpServer::User()) + ") Halvard Tremoc, - Orvane  v1.0";
    }
};

TEST_F(RemoteTest, ConnectsListsTheDefaultFolderAndShowsItsChain) {
    Connect("/pub/incoming");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful "}));
    EXPECT_EQ(frame->GetTitle(), ConnectedTitle());
    EXPECT_EQ(frame->m_bConnected, 1);
    EXPECT_EQ(right()->m_nMode, 1);
    EXPECT_EQ(Names(), (std::vector<std::string>{"new", "note.txt"}));
    EXPECT_EQ(Combo(), (std::vector<std::string>{">incoming", "docs", "pub", "zeta"}));
    EXPECT_EQ(Selected(), "incoming");
    int sel = right()->m_wndPath->GetCurSel();
    EXPECT_EQ(right()->m_wndPath->GetItemText(sel - 1), "pub");
    EXPECT_EQ(right()->m_strCurrentPath, "/pub/incoming");

    // Up returns to /pub; Up again does nothing (not above a root folder).
    right()->OnUpOneLevel();
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    EXPECT_EQ(Selected(), "pub");
    EXPECT_EQ(Combo(), (std::vector<std::string>{"docs", "pub", "zeta"}));
    EXPECT_EQ(Names().size(), 2u); // incoming and outgoing
    right()->OnUpOneLevel();
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
}

TEST_F(RemoteTest, NavigatesByDoubleClickPathBoxAndRootDirectory) {
    Connect("/");
    EXPECT_EQ(Selected(), "");
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    // Folders first (in reverse server order), then files.
    ASSERT_EQ(Names().size(), 4u);
    EXPECT_EQ(Names().back(), "readme.txt");
    Open("readme.txt"); // a file: nothing changes
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    Open("pub"); // not in the chain yet: the root folder is selected
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    EXPECT_EQ(Selected(), "pub");
    Open("incoming");
    Open("new");
    EXPECT_EQ(right()->m_strCurrentPath, "/pub/incoming/new");
    EXPECT_EQ(Combo(), (std::vector<std::string>{">>new", ">incoming", "docs", "pub", "zeta"}));
    // In order: pub, then incoming and new right after it.
    int newItem = right()->m_wndPath->GetCurSel();
    EXPECT_EQ(right()->m_wndPath->GetItemText(newItem - 1), "incoming");
    EXPECT_EQ(right()->m_wndPath->GetItemText(newItem - 2), "pub");
    EXPECT_TRUE(Names().empty());

    // Two levels up in the chain: both deeper items go.
    int pub = right()->m_wndPath->GetCurSel() - 2;
    right()->m_wndPath->SetCurSel(pub);
    right()->OnSelchangePath(pub);
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    EXPECT_EQ(Combo(), (std::vector<std::string>{"docs", "pub", "zeta"}));
    EXPECT_EQ(Names().size(), 2u);

    Open("incoming");
    int docs = -1;
    for (unsigned i = 0; i < right()->m_wndPath->GetCount(); ++i)
        if (right()->m_wndPath->GetItemText(i) == "docs")
            docs = static_cast<int>(i);
    right()->OnSelchangePath(docs);
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/docs");
    EXPECT_EQ(Selected(), "docs");
    EXPECT_EQ(Combo(), (std::vector<std::string>{"docs", "pub", "zeta"}));

    right()->HandleCommand(cmd::ID_DEFAULT_DIRECTORY); // "Root Directory"
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    EXPECT_EQ(Selected(), "");
    EXPECT_EQ(Names().size(), 4u);

    // Refresh shows what changed on the server.
    std::ofstream(server->root() + "/added.txt") << "x";
    right()->OnRefresh();
    Settle();
    EXPECT_EQ(Names().size(), 5u);
}

TEST_F(RemoteTest, ASessionTheServerClosedWhileIdleLogsInAgainAtTheNextListingAndSaysSo) {
    // Our proxy in front of the server closes a session idle for 0.3 s.
    DropProxy proxy(server->port(), {"idle_ms=300", "idle_421=1"});
    ASSERT_TRUE(proxy.ok());
    Connect("/pub", FtpServer::Password(), proxy.port());
    ASSERT_EQ(right()->m_strCurrentPath, "/pub");
    ASSERT_TRUE(PumpUntil([&] { return proxy.Count("idle_closes") == 1; }, 10000));
    Open("incoming");
    EXPECT_EQ(right()->m_strCurrentPath, "/pub/incoming");
    EXPECT_EQ(Names(), (std::vector<std::string>{"new", "note.txt"}));
    // No error: one line says what happened.
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful ", "Reconnected"}));
    EXPECT_EQ(frame->m_bConnected, 1);
}

TEST_F(RemoteTest, AMissingDefaultFolderStillConnectsAndListsTheRoot) {
    Connect("/no/such/folder");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful ",
                                                    "Fail to set Default Remote Directory "}));
    EXPECT_EQ(Names().size(), 4u);
    EXPECT_EQ(Combo(), (std::vector<std::string>{"docs", "pub", "zeta"}));
    EXPECT_EQ(Selected(), "");
    EXPECT_EQ(right()->m_strCurrentPath, "/");
}

TEST_F(RemoteTest, ARefusedLoginOrAClosedPortLeavesTheFrameNotConnected) {
    frame->SetTitle("Orvane");
    Connect("/", "wrong-secret");
    std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Failed to connect to 127.0.0.1 as orvaneftp");
    for (const std::string& l : lines)
        EXPECT_EQ(l.find("wrong-secret"), std::string::npos) << l;
    EXPECT_EQ(frame->GetTitle(), " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_FALSE(right()->IsConnected());
    EXPECT_TRUE(Names().empty());

    int closed = server->port(); // nothing listens there once the server is gone
    server.reset();
    status()->m_wndLog->Clear();
    Connect("/", FtpServer::Password(), closed);
    lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Failed to connect to 127.0.0.1 as orvaneftp");
    EXPECT_EQ(frame->m_bConnected, 0);
}

TEST_F(RemoteTest, DisconnectEmptiesThePaneAndReconnectRepeatsTheSameSite) {
    // Not connected: Disconnect does nothing; Reconnect opens the Site Manager.
    frame->OnDisconnect();
    EXPECT_TRUE(LogLines().empty());
    frame->OnReconnect();
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Manager"});
    EXPECT_EQ(right()->CreateContextMenu(), nullptr); // none before the first connection

    Connect("/pub", FtpServer::Password(), 0, false);
    EXPECT_EQ(right()->m_nMode, 2);
    frame->OnDisconnect();
    EXPECT_EQ(frame->GetTitle(), " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(right()->m_wndList->GetItemCount(), 0);
    EXPECT_EQ(right()->m_wndPath->GetCount(), 0u);
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    std::unique_ptr<wxMenu> menu(right()->CreateContextMenu());
    ASSERT_TRUE(menu); // shown again after a disconnect
    EXPECT_EQ(menu->GetLabel(cmd::ToWx(cmd::ID_DEFAULT_DIRECTORY)), "Root Directory");
    EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(cmd::ID_EXECUTE)));
    EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(cmd::ID_UPLOAD)));

    frame->OnReconnect(); // not connected: the Site Manager again
    EXPECT_EQ(dialogs.size(), 2u);
    Connect("/pub");
    status()->m_wndLog->Clear();
    frame->OnReconnect();
    Settle();
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Disconnecting ....", "Connection Closed",
                                        "Reconnecting ....", "Connection successful "}));
    EXPECT_EQ(frame->GetTitle(), ConnectedTitle());
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    EXPECT_EQ(right()->m_nMode, 1);
}

TEST_F(RemoteTest, ConnectingWhileConnectedAsksAndKeepsTheSessionOnNo) {
    Connect("/");
    int port = server->port();
    dialogAnswer = [port](wxDialog& d) {
        auto& sm = dynamic_cast<CSiteManagerDlg&>(d);
        sm.m_strHost = "127.0.0.1";
        sm.m_strUser = "anonymous";
        sm.m_strPassword = "guest";
        sm.m_nPort = port + 65536; // only the low 16 bits count
        sm.m_strLocalDir = "/tmp/";
        sm.m_strRemoteDir = "/docs";
        sm.m_bPassive = 1;
        sm.m_nEncryption = sites::kEncryptionPlain;
        return wxID_OK;
    };
    status()->m_wndLog->Clear();
    answers = {ui::kNo};
    frame->OnSiteManager();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Terminate Existing connection");
    EXPECT_EQ(asked[0].caption, "FTP");
    EXPECT_EQ(asked[0].buttons, ui::kButtonsYesNo);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(frame->m_bConnected, 1);
    EXPECT_EQ(right()->m_strUser, FtpServer::User());

    answers = {ui::kYes};
    frame->OnSiteManager();
    Settle();
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Disconnecting ....", "Connection Closed",
                                                    "Connecting to 127.0.0.1 as anonymous",
                                                    "Connection successful "}));
    EXPECT_EQ(right()->m_strCurrentPath, "/docs");
    // One trailing separator is dropped on the way to the local pane.
    EXPECT_EQ(left()->m_strCurrentDir, "/tmp");
    EXPECT_EQ(left()->m_strDefaultDir, "/tmp/");
}

TEST_F(RemoteTest, SelectCurrentPageTakesOneRowMoreThanInTheLocalPane) {
    fs::create_directories(server->root() + "/many");
    std::string local = dir.path() + "/many";
    fs::create_directories(local);
    for (int i = 0; i < 300; ++i) {
        std::ofstream(server->root() + "/many/f" + std::to_string(1000 + i));
        std::ofstream(local + "/f" + std::to_string(1000 + i));
    }
    server->Share();
    Connect("/many");
    ASSERT_EQ(Names().size(), 300u);
    left()->ChangeDirectory(local);
    for (int style : {1, 2}) {
        right()->SetViewStyle(style);
        left()->SetViewMode(style);
        Pump(50);
        right()->HandleCommand(cmd::ID_SELECT_PAGE);
        left()->HandleCommand(cmd::ID_SELECT_PAGE);
        int remote = right()->m_wndList->GetSelectedItemCount();
        int localCount = left()->m_wndList->GetSelectedItemCount();
        EXPECT_GT(localCount, 5);
        EXPECT_EQ(remote, localCount + 1) << "view " << style;
        right()->HandleCommand(cmd::ID_INVERT_SELECTION);
        EXPECT_EQ(right()->m_wndList->GetSelectedItemCount(), 300 - remote);
        right()->m_wndList->ShowRows();
        left()->FillFileList(local);
    }
}

TEST_F(RemoteTest, ExitWhileConnectedClosesTheSessionAndEndsWith18) {
    Connect("/");
    answers = {ui::kYes};
    frame->RouteCommand(cmd::ID_APP_EXIT);
    EXPECT_EQ(asked.back().text, "Terminate Current Session and Exit Orvane?");
    EXPECT_FALSE(right()->IsConnected());
    EXPECT_EQ(quitCodes, std::vector<int>{18});
}

TEST_F(RemoteTest, APathBoxPickWhileTheRootIsListedIsNotOverwritten) {
    Connect("/pub/incoming");
    right()->HandleCommand(cmd::ID_DEFAULT_DIRECTORY); // "Root Directory" starts listing
    int docs = Find("docs");
    ASSERT_GE(docs, 0);
    right()->m_wndPath->SetCurSel(docs);
    right()->OnSelchangePath(docs); // picked before the root's path box arrives
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/docs");
    EXPECT_EQ(Selected(), "docs");
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(Combo(), (std::vector<std::string>{"docs", "pub", "zeta"}));
}

TEST_F(RemoteTest, AnOlderConnectAttemptNeverOverwritesTheLatest) {
    ScriptedServer silent("silent"); // accepts and never greets
    ASSERT_TRUE(silent.ok());
    StartConnect("/", silent.port());
    Pump(100);
    EXPECT_EQ(right()->m_bBusy, 1);
    // Another site while the first still waits for its greeting.
    StartConnect("/pub", server->port());
    Settle(); // both workers end: the older one was closed
    EXPECT_EQ(frame->GetTitle(), ConnectedTitle());
    EXPECT_EQ(frame->m_bConnected, 1);
    EXPECT_TRUE(right()->IsConnected());
    EXPECT_EQ(right()->m_strCurrentPath, "/pub");
    EXPECT_EQ(Names().size(), 2u);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connecting to 127.0.0.1 as orvaneftp",
                                                    "Connection successful "}));
    // The session works: it is the newer one.
    right()->OnRefresh();
    Settle();
    EXPECT_EQ(Names().size(), 2u);
}

// Connect (to a silent server and a real one), Disconnect and Reconnect
// clicked in quick succession, in many orders: once the workers are done, the
// pane, the frame's state and the title agree, and the last connect counts.
TEST_F(RemoteTest, ConnectsAndDisconnectsInQuickSuccessionEndInOneConsistentState) {
    ScriptedServer silent("silent");
    ASSERT_TRUE(silent.ok());
    for (unsigned seed = 1; seed <= 6; ++seed) {
        std::mt19937 random(seed);
        for (int step = 0; step < 12; ++step) {
            switch (random() % 4) {
            case 0:
                StartConnect("/", silent.port());
                break;
            case 1:
                StartConnect("/pub", server->port());
                break;
            case 2:
                frame->OnDisconnect();
                break;
            default:
                if (right()->IsConnected())
                    frame->OnReconnect();
                break;
            }
            Pump(static_cast<int>(random() % 30));
        }
        bool last = seed % 2 == 0;
        if (last)
            StartConnect("/pub", server->port());
        else
            frame->OnDisconnect();
        Settle();
        SCOPED_TRACE("seed " + std::to_string(seed));
        EXPECT_EQ(right()->IsConnected(), last);
        EXPECT_EQ(frame->m_bConnected, last ? 1 : 0);
        EXPECT_EQ(frame->GetTitle(),
                  last ? ConnectedTitle() : " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
        EXPECT_EQ(Names().size(), last ? 2u : 0u);
        if (last) {
            EXPECT_EQ(right()->m_strCurrentPath, "/pub");
            right()->OnRefresh();
            Settle();
            EXPECT_EQ(Names().size(), 2u);
        }
    }
}

// Disconnect clicked while a connect is still under way ends the attempt: the
// pane does not connect after all once the server answers.
TEST_F(RemoteTest, DisconnectWhileConnectingEndsTheAttempt) {
    ScriptedServer slow("slow-greeting"); // greets after a second and a half
    ASSERT_TRUE(slow.ok());
    StartConnect("/", slow.port());
    Pump(100);
    ASSERT_EQ(right()->m_bBusy, 1);
    auto start = std::chrono::steady_clock::now();
    frame->OnDisconnect();
    EXPECT_TRUE(right()->WaitIdle(1000)) << "the attempt went on";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    Settle();
    EXPECT_FALSE(right()->IsConnected());
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_EQ(frame->GetTitle(), " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines, (std::vector<std::string>{"Connecting to 127.0.0.1 as orvaneftp",
                                               "Disconnecting ....", "Connection Closed"}));
}

TEST_F(RemoteTest, ExitWhileConnectingClosesTheAttemptAtOnce) {
    ScriptedServer silent("silent");
    ASSERT_TRUE(silent.ok());
    StartConnect("/", silent.port());
    Pump(100);
    ASSERT_EQ(right()->m_bBusy, 1);
    answers = {ui::kYes};
    frame->RouteCommand(cmd::ID_APP_EXIT);
    EXPECT_EQ(asked.back().text, "Are you sure you want to Exit Orvane?");
    EXPECT_EQ(quitCodes, std::vector<int>{18});
    // Well before the connect timeout: the connect was aborted.
    EXPECT_TRUE(right()->WaitIdle(3000));
    EXPECT_FALSE(right()->IsConnected());
    Pump(50);
    for (const std::string& line : LogLines())
        EXPECT_EQ(line.find("Connection successful"), std::string::npos);
}

TEST_F(RemoteTest, ClosingTheWindowWhileConnectingEndsTheWorkerFirst) {
    ScriptedServer silent("silent");
    ASSERT_TRUE(silent.ok());
    StartConnect("/", silent.port());
    Pump(100);
    ASSERT_EQ(right()->m_bBusy, 1);
    // The window goes while the worker waits; the worker reports its end to
    // the log pane, which must still be there (an address sanitizer build
    // sees any write after it went).
    wxWindow* window = frame;
    auto start = std::chrono::steady_clock::now();
    frame->Destroy();
    frame = nullptr;
    EXPECT_TRUE(PumpUntil([&] { return !wxTopLevelWindows.Find(window); }, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    Pump(50);
}

TEST_F(RemoteTest, AHostileNameThatLeadsElsewhereIsNotEntered) {
    TempDir dir;
    std::string record = dir.path() + "/commands.txt";
    setenv("ORVANE_SCRIPT_RECORD", record.c_str(), 1);
    ScriptedServer hostile("hostile-tree");
    unsetenv("ORVANE_SCRIPT_RECORD");
    ASSERT_TRUE(hostile.ok());
    StartConnect("/top", hostile.port());
    Settle();
    ASSERT_EQ(right()->m_strCurrentPath, "/top");
    size_t before = 0;
    {
        std::ifstream in(record);
        for (std::string line; std::getline(in, line);)
            ++before;
    }
    for (const std::string name : {"../up", "a/b"}) {
        for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
            right()->m_wndList->SetItemState(
                i, right()->Rows()[static_cast<size_t>(i)].name == name ? wxLIST_STATE_SELECTED : 0,
                wxLIST_STATE_SELECTED);
        right()->OnDblclkList();
        Settle();
        EXPECT_EQ(right()->m_strCurrentPath, "/top") << name;
    }
    // Nothing at all was asked of the server for them.
    std::ifstream in(record);
    size_t after = 0;
    for (std::string line; std::getline(in, line);)
        ++after;
    EXPECT_EQ(after, before);
    // A fine folder of the same listing is still entered.
    for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
        right()->m_wndList->SetItemState(
            i, right()->Rows()[static_cast<size_t>(i)].name == "sub" ? wxLIST_STATE_SELECTED : 0,
            wxLIST_STATE_SELECTED);
    right()->OnDblclkList();
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/top/sub");
}

// A listing that fails is no empty folder: the log says why, the rows of
// the folder listed last stay, and a folder that could not be listed is not
// shown as entered.
TEST_F(RemoteTest, AFailedListingIsLoggedAndKeepsTheRowsAndThePathItHad) {
    ScriptedServer flaky("list-425-later"); // lists once, then never again
    ASSERT_TRUE(flaky.ok());
    Connect("/", FtpServer::Password(), flaky.port());
    ASSERT_EQ(Names(), (std::vector<std::string>{"sub", "exists.bin"}));
    auto count = [this](const std::string& line) {
        std::vector<std::string> log = LogLines();
        return std::count(log.begin(), log.end(), line);
    };
    const std::string why = " : 425 Can't open data connection";
    right()->OnRefresh();
    Settle();
    EXPECT_EQ(count("Unable to list folder /" + why), 1);
    EXPECT_EQ(Names(), (std::vector<std::string>{"sub", "exists.bin"}));
    Open("sub");
    EXPECT_EQ(count("Unable to list folder /sub" + why), 1);
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    EXPECT_EQ(Names(), (std::vector<std::string>{"sub", "exists.bin"}));
}

TEST_F(RemoteTest, TheLocalFolderOfAConnectIsCutBetweenCharacters) {
    // A folder whose path has 148 bytes; the 149th starts an "é".
    std::string prefix = dir.path() + "/";
    std::string name = (149 - prefix.size()) % 2 == 1 ? "" : "x";
    while (prefix.size() + name.size() < 200)
        name += "\xC3\xA9";
    std::string full = prefix + name;
    std::string fits = full.substr(0, 148);
    ASSERT_EQ(static_cast<unsigned char>(full[148]), 0xC3);
    fs::create_directories(fits);
    StartConnect("/", server->port(), full + "/below");
    Settle();
    EXPECT_EQ(left()->m_strCurrentDir, fits);
}

class RemoteVsftpdTest : public RemoteTest {
protected:
    RemoteVsftpdTest() { kind = ServerKind::Vsftpd; }
};

TEST_F(RemoteVsftpdTest, NamesThatAreNotUtf8AreShownEscapedAndEnteredByTheirBytes) {
    const std::string folder = "d\xE9j\xE0", file = "caf\xE9.txt";
    fs::create_directories(server->root() + "/" + folder + "/inner");
    std::ofstream(server->root() + "/" + file) << "latin-1";
    server->Share();
    Connect("/");
    std::vector<std::string> names = Names();
    EXPECT_NE(std::find(names.begin(), names.end(), folder), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), file), names.end());
    std::vector<std::string> shown;
    for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
        shown.push_back(right()->m_wndList->GetItemText(i).utf8_string());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "caf\\xE9.txt"), shown.end());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "d\\xE9j\\xE0"), shown.end());

    // The selection gives the exact bytes, in list order.
    for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
        right()->m_wndList->SetItemState(i, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    EXPECT_EQ(right()->SelectedNames(), names);

    OpenRow(folder);
    EXPECT_EQ(right()->m_strCurrentPath, "/" + folder);
    EXPECT_EQ(Names(), std::vector<std::string>{"inner"});
    EXPECT_EQ(Selected(), folder);
    OpenRow("inner");
    EXPECT_EQ(right()->m_strCurrentPath, "/" + folder + "/inner");
    int up = right()->m_wndPath->GetCurSel() - 1;
    right()->m_wndPath->SetCurSel(up);
    right()->OnSelchangePath(up);
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/" + folder);
    EXPECT_EQ(Names(), std::vector<std::string>{"inner"});
}

TEST_F(RemoteVsftpdTest, LinksToFoldersAreEnteredAndKeepThePathBoxChain) {
    fs::create_directories(server->root() + "/real/sub");
    std::ofstream(server->root() + "/real/sub/f.txt") << "f";
    fs::create_directories(server->root() + "/pub");
    fs::create_directory_symlink("real", server->root() + "/lnk");
    fs::create_directory_symlink("../real/sub", server->root() + "/pub/deep");
    std::ofstream(server->root() + "/plain.txt") << "p";
    fs::create_symlink("plain.txt", server->root() + "/flink");
    server->Share();
    Connect("/");
    OpenRow("flink"); // a link to a file: nothing changes
    EXPECT_EQ(right()->m_strCurrentPath, "/");
    OpenRow("lnk");
    EXPECT_EQ(right()->m_strCurrentPath, "/lnk");
    EXPECT_EQ(Names(), std::vector<std::string>{"sub"});
    EXPECT_EQ(Selected(), "lnk");
    EXPECT_EQ(right()->m_wndPath->GetIndent(right()->m_wndPath->GetCurSel()), 0);
    OpenRow("sub");
    EXPECT_EQ(right()->m_strCurrentPath, "/lnk/sub");
    EXPECT_EQ(Names(), std::vector<std::string>{"f.txt"});
    int sel = right()->m_wndPath->GetCurSel();
    EXPECT_EQ(right()->m_wndPath->GetItemText(sel), "sub");
    EXPECT_EQ(right()->m_wndPath->GetIndent(sel), 1);
    EXPECT_EQ(right()->m_wndPath->GetItemText(sel - 1), "lnk");
    right()->OnUpOneLevel();
    Settle();
    EXPECT_EQ(right()->m_strCurrentPath, "/lnk");
    EXPECT_EQ(Selected(), "lnk");

    // A link below a root folder, and a default folder through a link.
    right()->OnRootDirectory();
    Settle();
    OpenRow("pub");
    OpenRow("deep");
    EXPECT_EQ(right()->m_strCurrentPath, "/pub/deep");
    EXPECT_EQ(Names(), std::vector<std::string>{"f.txt"});
    frame->OnDisconnect();
    Connect("/lnk/sub");
    EXPECT_EQ(right()->m_strCurrentPath, "/lnk/sub");
    EXPECT_EQ(Selected(), "sub");
    sel = right()->m_wndPath->GetCurSel();
    EXPECT_EQ(right()->m_wndPath->GetIndent(sel), 1);
    EXPECT_EQ(right()->m_wndPath->GetItemText(sel - 1), "lnk");
    EXPECT_EQ(right()->m_wndPath->GetIndent(sel - 1), 0);
}

TEST(RemoteRows, FoldersComeFirstInReverseServerOrderAndSizesAreKilobytes) {
    auto entry = [](const char* name, bool dir, std::uint64_t size) {
        remote::Entry e;
        e.name = name;
        e.isDirectory = dir;
        e.size = size;
        e.isDots = e.name == "." || e.name == "..";
        e.safe = !e.isDots;
        return e;
    };
    std::vector<remote::Entry> listing = {
        entry(".", true, 0),     entry("a", true, 0),
        entry("x", false, 0),    entry("..", true, 0),
        entry("b", true, 0),     entry("y", false, 1),
        entry("c", true, 0),     entry("z", false, 1023),
        entry("k", false, 1024), entry("big", false, 5368709120ULL),
    };
    std::vector<CRightView::Row> rows = CRightView::RowsFromListing(listing, nullptr);
    std::vector<std::string> names, sizes;
    for (const auto& r : rows) {
        names.push_back(r.name);
        sizes.push_back(r.size);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"c", "b", "a", "x", "y", "z", "k", "big"}));
    EXPECT_EQ(sizes,
              (std::vector<std::string>{"", "", "", "", "1 KB", "1 KB", "2 KB", "5242881 KB"}));
    EXPECT_EQ(rows[0].type, "File Folder");
}

TEST(RemotePaths, EveryServerPathHasOneAbsoluteForm) {
    EXPECT_EQ(NormalisePath("//pub//incoming/"), "/pub/incoming");
    EXPECT_EQ(NormalisePath("///x"), "/x");
    EXPECT_EQ(NormalisePath("pub"), "/pub");
    EXPECT_EQ(NormalisePath("/"), "/");
    EXPECT_EQ(NormalisePath(""), "/");
}

} // namespace
