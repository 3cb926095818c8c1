// The main window: layout, command routing, graying, connection commands,
// Exit, Help and About, driven as the user's commands would drive them.
#include "app/AboutDlg.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "tests/FrameFixture.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/ReplaceDlg.h"

#include <wx/menu.h>
#include <wx/splitter.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>
#include <wx/uiaction.h>

#include <gtk/gtk.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace cmd;

namespace {

TEST_F(FrameTest, PanesToolbarAndStatusBarAreLaidOutAsDesigned) {
    ASSERT_NE(status(), nullptr);
    ASSERT_NE(left(), nullptr);
    ASSERT_NE(right(), nullptr);
    EXPECT_EQ(frame->m_pLeftView, left());
    EXPECT_EQ(frame->m_pRightView, right());
    EXPECT_EQ(frame->m_wndSplitter->GetSashPosition(), 70);
    EXPECT_EQ(frame->m_wndSplitter->GetMinimumPaneSize(), 30);
    EXPECT_EQ(frame->m_wndFileSplitter->GetSashPosition(), 440);
    EXPECT_EQ(frame->m_wndFileSplitter->GetMinimumPaneSize(), 150);
    // The log fills its pane.
    EXPECT_EQ(status()->m_wndLog->GetSize(), status()->GetClientSize());

    // Fifteen buttons with a separator between each two, in order.
    wxToolBar* tb = frame->m_wndToolBar;
    ASSERT_EQ(tb->GetToolsCount(), 29u);
    const int order[15] = {32799, 32796, 32798, 32797, 32801, 32800, 32809, 32810,
                           32811, 32788, 59411, 59410, 32847, 57665, 57664};
    for (int i = 0; i < 15; ++i) {
        const wxToolBarToolBase* tool = tb->GetToolByPos(2 * i);
        ASSERT_TRUE(tool && tool->IsButton()) << i;
        EXPECT_EQ(FromWx(tool->GetId()), order[i]) << i;
        EXPECT_EQ(tool->GetNormalBitmap().GetSize(), wxSize(30, 30));
        if (i > 0) {
            EXPECT_TRUE(tb->GetToolByPos(2 * i - 1)->IsSeparator());
        }
    }
    EXPECT_EQ(tb->GetToolShortHelp(ToWx(ID_SITE_MANAGER)), "Site Manager");
    EXPECT_EQ(tb->GetToolLongHelp(ToWx(ID_SITE_MANAGER)), "Shows Site Manager");
    EXPECT_EQ(tb->GetToolShortHelp(ToWx(ID_STOP)), " Stop");
    EXPECT_EQ(tb->GetToolLongHelp(ToWx(ID_DOWNLOAD_TOOLBAR)),
              "Downloads file[s]  from Remote System");
    EXPECT_EQ(tb->GetToolLongHelp(ToWx(ID_REFRESH_TOOLBAR)), "Refresh ");

    wxStatusBar* sb = frame->m_wndStatusBar;
    ASSERT_EQ(sb->GetFieldsCount(), 4);
    EXPECT_EQ(sb->GetStatusText(0), "Ready");
    EXPECT_EQ(sb->GetStatusStyle(0), wxSB_RAISED);

    // The File menu with its captions; Exit shows its key text but has no key.
    wxMenuBar* bar = frame->GetMenuBar();
    ASSERT_EQ(bar->GetMenuCount(), 1u);
    EXPECT_EQ(bar->GetMenuLabel(0), "&File");
    wxMenu* file = bar->GetMenu(0);
    EXPECT_EQ(file->FindItem(ToWx(ID_SITE_MANAGER))->GetItemLabelText(), "Site Manager");
    EXPECT_EQ(file->FindItem(ToWx(ID_SITE_MANAGER))->GetAccel()->ToString(), "Alt+S");
    wxMenuItem* exitItem = file->FindItem(ToWx(ID_APP_EXIT));
    EXPECT_EQ(exitItem->GetAccel(), nullptr);
    EXPECT_NE(exitItem->GetItemLabel().Find("Alt + X"), wxNOT_FOUND);
    EXPECT_EQ(file->GetHelpString(ToWx(ID_APP_EXIT)), "Quit Orvane");
}

// The forwarded commands: which pane handler runs for each active pane, each
// judged by what happened (the remote pane has a session on a real server).
struct Route {
    int command;
    const char* whenLocal;         // effect in the local pane ("" none)
    const char* whenRemote;        // effect in the remote pane when connected
    const char* whenRemoteOffline; // ... when not connected
    bool startInReport = false;    // both panes start in the report view (else the list view)
};

class RoutingTest : public FrameTest {
protected:
    std::string work, record;
    std::unique_ptr<FtpServer> server;
    void SetUp() override {
        FrameTest::SetUp();
        // The remote pane has a session, so its handlers show what they do.
        server = std::make_unique<FtpServer>(ServerKind::Pyftpdlib);
        ASSERT_TRUE(server->ok()) << server->error();
        std::ofstream(server->root() + "/remote.txt") << "on the server";
        CSiteManagerDlg site(frame);
        site.m_strHost = "127.0.0.1";
        site.m_strUser = FtpServer::User();
        site.m_strPassword = FtpServer::Password();
        site.m_nPort = server->port();
        site.m_strRemoteDir = "/";
        site.m_strLocalDir = "/";
        site.m_bPassive = 1;
        frame->ConnectToSite(site);
        Pump(20);
        ASSERT_TRUE(right()->WaitIdle(20000));
        Pump(60);
        ASSERT_TRUE(right()->IsConnected());
        work = dir.path() + "/work";
        mkdir(work.c_str(), 0700);
        std::ofstream(work + "/doc.txt") << "text";
        std::string bin = dir.path() + "/bin";
        record = dir.path() + "/opened.txt";
        mkdir(bin.c_str(), 0700);
        std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$1\" >> '" << record << "'\n";
        chmod((bin + "/xdg-open").c_str(), 0755);
        oldPath = getenv("PATH");
        setenv("PATH", (bin + ":" + oldPath).c_str(), 1);
        answers.clear();
    }
    void TearDown() override {
        setenv("PATH", oldPath.c_str(), 1);
        FrameTest::TearDown();
    }
    std::string oldPath;

    // Puts the local pane on `work` with doc.txt selected, runs `command` and
    // says what the local pane did ("report" or "list" when its view changed).
    std::string LocalEffect(int command, bool startInReport) {
        rmdir((work + "/New Folder").c_str());
        unlink((work + "/fresh.txt").c_str());
        unlink(record.c_str());
        left()->ChangeDirectory(work);
        left()->SetViewMode(startInReport ? 1 : 2);
        left()->m_wndList->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
        std::ofstream(work + "/fresh.txt") << "x"; // seen only after a refresh
        size_t rows = left()->Rows().size(), questions = asked.size(), shown = dialogs.size();
        frame->RouteCommand(command);
        Pump(20);
        if (left()->m_wndList->GetEditControl())
            left()->m_wndList->EndEditLabel(true);
        std::string effect;
        if (std::ifstream(record).good() ||
            PumpUntil([&] { return std::ifstream(record).good(); }, 300))
            effect += "open ";
        if (asked.size() > questions && asked.back().text.find("Trash") != std::string::npos)
            effect += "trash? ";
        if (access((work + "/New Folder").c_str(), F_OK) == 0)
            effect += "new folder ";
        if (dialogs.size() > shown && dialogs.back() == "Properties")
            effect += "properties ";
        if (left()->Rows().size() == rows + 1 && access((work + "/New Folder").c_str(), F_OK) != 0)
            effect += "refresh ";
        if (left()->m_wndList->IsReportView() != startInReport)
            effect += left()->m_wndList->IsReportView() ? "report " : "list ";
        if (!effect.empty())
            effect.pop_back();
        return effect;
    }
};

TEST_F(RoutingTest, FileCommandsGoToTheActivePaneOnlyWhereTheyApply) {
    const Route routes[] = {
        {ID_RUN, "open", "log", ""},
        {ID_VIEW_FILES, "open", "log", ""},
        {ID_DELETE_TOOLBAR, "trash? refresh", "delete?", ""},
        {ID_NEW_FOLDER_TOOLBAR, "new folder", "new folder", ""},
        {ID_PROPERTIES_TOOLBAR, "properties", "properties", ""},
        {ID_REFRESH_TOOLBAR, "refresh", "", ""},
        {ID_VIEW_DETAILS, "report", "report", "report"},
        {ID_VIEW_SMALLICON, "list", "list", "list", true},
        {ID_REFRESH, "refresh", "", ""},
        {ID_DELETE, "trash? refresh", "delete?", "delete?"},
    };
    std::string newFolder = server->root() + "/New Folder";
    auto selectRemoteFile = [&] {
        for (long i = 0; i < right()->m_wndList->GetItemCount(); ++i)
            right()->m_wndList->SetItemState(
                i,
                right()->Rows()[static_cast<size_t>(i)].name == "remote.txt" ? wxLIST_STATE_SELECTED
                                                                             : 0,
                wxLIST_STATE_SELECTED);
    };
    auto remoteEffect = [&](const Route& r) {
        int command = r.command;
        rmdir(newFolder.c_str());
        right()->SetViewStyle(r.startInReport ? 1 : 2);
        selectRemoteFile();
        size_t lines = LogLines().size(), questions = asked.size(), shown = dialogs.size();
        // The local pane is not the active one: a Properties box that opens
        // is the remote pane's (counted below), nothing else may happen there.
        std::string local = LocalEffect(command, r.startInReport);
        EXPECT_TRUE(local == "" || local == "properties") << command << " " << local;
        std::string effect;
        Pump(20);
        EXPECT_TRUE(right()->WaitIdle(20000));
        Pump(60);
        if (right()->m_wndList->GetEditControl())
            right()->m_wndList->EndEditLabel(true);
        if (asked.size() > questions &&
            asked.back().text.find("from the server") != std::string::npos)
            effect += "delete? ";
        if (access(newFolder.c_str(), F_OK) == 0)
            effect += "new folder ";
        if (dialogs.size() > shown && dialogs.back() == "Properties")
            effect += "properties ";
        std::vector<std::string> log = LogLines();
        if (log.size() > lines && log.back() == "Unable to read from Remote System")
            effect += "log ";
        if (right()->m_wndList->IsReportView() != r.startInReport)
            effect += right()->m_wndList->IsReportView() ? "report " : "list ";
        if (!effect.empty())
            effect.pop_back();
        return effect;
    };
    answers.assign(200, ui::kNo);
    for (const Route& r : routes) {
        for (bool connected : {false, true}) {
            frame->m_bConnected = connected ? 1 : 0;
            frame->SetActiveView(left());
            right()->SetViewStyle(r.startInReport ? 1 : 2);
            size_t questions = asked.size();
            EXPECT_EQ(LocalEffect(r.command, r.startInReport), r.whenLocal)
                << r.command << " " << connected;
            EXPECT_TRUE(right()->WaitIdle(20000));
            Pump(20);
            EXPECT_EQ(access(newFolder.c_str(), F_OK), -1) << r.command;
            for (size_t q = questions; q < asked.size(); ++q)
                EXPECT_EQ(asked[q].text.find("from the server"), std::string::npos) << r.command;
            EXPECT_EQ(right()->m_wndList->IsReportView(), r.startInReport);

            frame->SetActiveView(right());
            EXPECT_EQ(remoteEffect(r), connected ? r.whenRemote : r.whenRemoteOffline)
                << r.command << " " << connected;

            // With the log pane or no pane active nothing is forwarded.
            for (wxWindow* none : {static_cast<wxWindow*>(status()), (wxWindow*)nullptr}) {
                frame->SetActiveView(none);
                EXPECT_EQ(remoteEffect(r), "") << r.command;
            }
        }
    }
    // Upload and Download are routed in the transfer tests, against a server.
}

TEST_F(FrameTest, KeysReachTheirCommandsAndAltFDeletesInsteadOfOpeningTheMenu) {
    std::string work = dir.path() + "/keys";
    mkdir(work.c_str(), 0700);
    std::ofstream(work + "/a.txt") << "a";
    left()->ChangeDirectory(work);
    // Keys go to the window that has the X focus: give it to the frame.
    int rc = std::system("xdotool search --name '^Orvane$' windowfocus --sync >/dev/null 2>&1");
    (void)rc;
    Pump(50);
    left()->m_wndList->SetFocus();
    left()->m_wndList->SetItemState(0, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    EXPECT_TRUE(PumpUntil([&] { return frame->GetActiveView() == left(); }, 1000));
    answers = {ui::kNo};
    wxUIActionSimulator sim;
    sim.Char('f', wxMOD_ALT); // Delete, not the File menu
    EXPECT_TRUE(PumpUntil([&] { return !asked.empty(); }, 2000));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Move \"a.txt\" to the Trash?");
    std::ofstream(work + "/b.txt") << "b";
    sim.Char(WXK_F5);
    EXPECT_TRUE(PumpUntil([&] { return left()->Rows().size() == 2; }, 2000));

    // Alt+S opens the Site Manager.
    sim.Char('s', wxMOD_ALT);
    EXPECT_TRUE(PumpUntil([&] { return !dialogs.empty(); }, 2000));
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Manager"});
}

TEST_F(FrameTest, ToolbarButtonsGrayWithTheMenusWhileAPaneIsBusy) {
    wxToolBar* bar = frame->m_wndToolBar;
    auto enabled = [&](int command) { return bar->GetToolEnabled(cmd::ToWx(command)); };
    const int grayed[] = {
        cmd::ID_SITE_MANAGER,       cmd::ID_DISCONNECT,         cmd::ID_RECONNECT,
        cmd::ID_APP_EXIT,           cmd::ID_NEW_FOLDER_TOOLBAR, cmd::ID_RUN,
        cmd::ID_DELETE_TOOLBAR,     cmd::ID_UPLOAD_TOOLBAR,     cmd::ID_DOWNLOAD_TOOLBAR,
        cmd::ID_PROPERTIES_TOOLBAR, cmd::ID_REFRESH_TOOLBAR};
    const int kept[] = {cmd::ID_STOP, cmd::ID_VIEW_DETAILS, cmd::ID_VIEW_SMALLICON,
                        cmd::ID_APP_ABOUT};
    struct Case {
        const char* what;
        bool localActive;
        int remoteBusy, uploading;
        bool greyed;
    };
    const Case cases[] = {
        {"a Properties walk, the local pane active", true, 1, 0, true},
        {"nothing runs", true, 0, 0, false},
        {"an upload, the server pane active", false, 0, 1, true},
        {"nothing runs again", false, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        frame->SetActiveView(c.localActive ? static_cast<wxWindow*>(left())
                                           : static_cast<wxWindow*>(right()));
        right()->m_bBusy = c.remoteBusy;
        left()->m_bUploading = c.uploading;
        frame->OnInitMenu();
        EXPECT_EQ(frame->GetMenuBar()->IsEnabledTop(0), !c.greyed);
        for (int command : grayed)
            EXPECT_EQ(enabled(command), !c.greyed) << command;
        for (int command : kept)
            EXPECT_TRUE(enabled(command)) << command;
    }
}

// A connect greys the buttons while it runs; one that fails gives them back.
TEST_F(FrameTest, ToolbarButtonsComeBackAfterAFailedConnect) {
    // A server that takes the connection but never greets, then goes.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    CSiteManagerDlg dlg(frame);
    dlg.m_strHost = "127.0.0.1";
    dlg.m_strUser = "nobody";
    dlg.m_strPassword = "x";
    dlg.m_nPort = ntohs(addr.sin_port);
    dlg.m_strLocalDir = dir.path();
    dlg.m_bPassive = 1;
    frame->SetActiveView(right());
    frame->ConnectToSite(dlg);
    wxToolBar* bar = frame->m_wndToolBar;
    auto enabled = [&](int command) { return bar->GetToolEnabled(cmd::ToWx(command)); };
    ASSERT_GT(right()->m_bBusy.load(), 0);
    frame->OnInitMenu();
    for (int command : {cmd::ID_SITE_MANAGER, cmd::ID_PROPERTIES_TOOLBAR, cmd::ID_REFRESH_TOOLBAR})
        EXPECT_FALSE(enabled(command)) << command;
    close(listener); // the waiting connection is reset
    ASSERT_TRUE(PumpUntil([&] { return right()->m_bBusy == 0; }, 60000));
    Pump(20);
    EXPECT_EQ(frame->m_bConnected, 0);
    frame->OnInitMenu();
    for (int command :
         {cmd::ID_SITE_MANAGER, cmd::ID_PROPERTIES_TOOLBAR, cmd::ID_REFRESH_TOOLBAR, cmd::ID_STOP})
        EXPECT_TRUE(enabled(command)) << command;
    EXPECT_TRUE(frame->GetMenuBar()->IsEnabledTop(0));
}

// Every dialog runs above the window it belongs to: made transient for it,
// so no window manager can hide it below; one made without a parent (the
// replace question) belongs to the main window.
TEST_F(FrameTest, ModalDialogsAreKeptAboveTheMainWindow) {
    struct Seen {
        std::string title;
        wxWindow* owner = nullptr;
        GtkWindow* transientFor = nullptr;
    };
    std::vector<Seen> seen;
    dialogAnswer = [&](wxDialog& d) {
        seen.push_back({d.GetTitle().utf8_string(), ui::ModalOwner(d),
                        gtk_window_get_transient_for(GTK_WINDOW(d.GetHandle()))});
        return wxID_CANCEL;
    };
    frame->OnSiteManager();
    OnAppAbout(frame);
    transfer::AskReplace("a.txt    Size : 1 KB", "a.txt    Size : 2 KB");
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& s : seen) {
        SCOPED_TRACE(s.title);
        EXPECT_EQ(s.owner, frame);
        EXPECT_EQ(s.transientFor, GTK_WINDOW(frame->GetHandle()));
    }
}

TEST_F(FrameTest, FileMenuIsGrayedWhileAPaneIsBusy) {
    wxMenuBar* bar = frame->GetMenuBar();
    frame->SetActiveView(left());
    right()->m_bBusy = 1;
    frame->OnInitMenu();
    EXPECT_FALSE(bar->IsEnabledTop(0));
    right()->m_bBusy = 0;
    frame->OnInitMenu();
    EXPECT_TRUE(bar->IsEnabledTop(0));
    left()->m_bUploading = 1;
    frame->SetActiveView(right());
    frame->OnInitMenu();
    EXPECT_FALSE(bar->IsEnabledTop(0));
    // Without an active file pane nothing changes.
    left()->m_bUploading = 0;
    frame->SetActiveView(status());
    frame->OnInitMenu();
    EXPECT_FALSE(bar->IsEnabledTop(0));
    frame->SetActiveView(right());
    frame->OnInitMenu();
    EXPECT_TRUE(bar->IsEnabledTop(0));
}

TEST_F(FrameTest, CancelledSiteManagerLeavesTheFrameAsItWas) {
    // The title the frame has of its own; the Site Manager cancelled changes
    // nothing: no connect starts, nothing is logged, no question is asked.
    wxString title = frame->GetTitle();
    EXPECT_EQ(title, "Orvane");
    frame->OnSiteManager();
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Manager"});
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(frame->GetTitle(), title);
    EXPECT_EQ(frame->m_bConnected, 0);
    EXPECT_EQ(right()->m_bBusy, 0);
    EXPECT_TRUE(right()->m_strHost.empty());

    // The same while connected: the session is not asked about nor closed.
    frame->m_bConnected = 1;
    frame->OnSiteManager();
    EXPECT_EQ(dialogs.size(), 2u);
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(frame->GetTitle(), title);
    EXPECT_EQ(frame->m_bConnected, 1);
    frame->m_bConnected = 0;
}

TEST_F(FrameTest, TheLogShowsOneLinePerEntryWithBadBytesEscaped) {
    status()->AddLine("Failed to open caf\xE9.txt");
    status()->AddLine("name\r\nConnection successful ");
    status()->AddLine("ready\r\n"); // a reply's own line end is no line of its own
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Failed to open caf\\xE9.txt",
                                        "name\\x0D\\x0AConnection successful ", "ready"}));
}

TEST_F(FrameTest, StopRequestsTheServerPaneWalksAndTheBatchToStop) {
    frame->OnStop();
    EXPECT_EQ(right()->m_bStop, 1);
    EXPECT_FALSE(frame->m_pEngine->IsBusy());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(FrameTest, ExitAsksAndEndsWithCode18OnlyOnYes) {
    answers = {ui::kNo};
    frame->RouteCommand(ID_APP_EXIT);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Are you sure you want to Exit Orvane?");
    EXPECT_EQ(asked[0].caption, "Confirm");
    EXPECT_EQ(asked[0].icon, ui::kIconQuestion);
    EXPECT_TRUE(quitCodes.empty());

    // The close box asks the same.
    answers = {ui::kNo};
    frame->Close();
    Pump(20);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].text, "Are you sure you want to Exit Orvane?");
    EXPECT_TRUE(quitCodes.empty());
    EXPECT_TRUE(frame->IsShown());

    frame->m_bConnected = 1;
    answers = {ui::kYes};
    frame->RouteCommand(ID_APP_EXIT);
    EXPECT_EQ(asked.back().text, "Terminate Current Session and Exit Orvane?");
    EXPECT_EQ(quitCodes, std::vector<int>{18});
}

TEST_F(FrameTest, HelpOpensTheInstalledManualOrSaysWhyNot) {
    // A stand-in for the desktop's opener records what it was asked to open.
    std::string bin = dir.path() + "/bin";
    std::string record = dir.path() + "/opened.txt";
    mkdir(bin.c_str(), 0700);
    {
        std::ofstream opener(bin + "/xdg-open");
        opener << "#!/bin/sh\necho \"$1|$(pwd)\" >> '" << record << "'\n";
    }
    chmod((bin + "/xdg-open").c_str(), 0755);
    std::string oldPath = getenv("PATH");
    setenv("PATH", (bin + ":" + oldPath).c_str(), 1);

    frame->OnHelpFile(); // nothing installed
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].text.find("no installation folder"), std::string::npos);

    std::string install = dir.path() + "/install";
    mkdir(install.c_str(), 0700);
    reg::HKEY key = nullptr;
    ASSERT_EQ(
        reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", reg::KEY_ALL_ACCESS, &key),
        reg::REG_OK);
    reg::RegSetValueEx(key, "PATH", reg::REG_SZ, install.c_str(),
                       static_cast<reg::DWORD>(install.size() + 1));
    reg::RegCloseKey(key);
    frame->OnHelpFile(); // recorded, but the manual is missing
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1].text, "The help file " + install + "/Orvane.html cannot be found.");

    std::ofstream(install + "/Orvane.html") << "<html></html>";
    frame->OnHelpFile();
    EXPECT_EQ(asked.size(), 2u);
    std::string line;
    EXPECT_TRUE(PumpUntil([&] {
        std::ifstream in(record);
        return static_cast<bool>(std::getline(in, line));
    }));
    EXPECT_EQ(line, install + "/Orvane.html|" + install);
    setenv("PATH", oldPath.c_str(), 1);
}

TEST_F(FrameTest, AboutShowsTheCreditsReadOnly) {
    std::string credits;
    bool readOnly = false;
    dialogAnswer = [&](wxDialog& d) {
        auto* edit = dynamic_cast<wxTextCtrl*>(d.FindWindow(1035));
        if (edit) {
            credits = edit->GetValue().utf8_string();
            readOnly = !edit->IsEditable();
        }
        return wxID_OK;
    };
    frame->RouteCommand(ID_APP_ABOUT);
    EXPECT_EQ(dialogs, std::vector<std::string>{"About Orvane"});
    EXPECT_TRUE(readOnly);
    EXPECT_EQ(credits, wxString(AboutCredits()).utf8_string());
    // Five lines, no line break after the last.
    EXPECT_EQ(std::count(credits.begin(), credits.end(), '\n'), 4);
    EXPECT_NE(credits.back(), '\n');
}

TEST_F(FrameTest, LockKeyIndicatorsFollowTheKeyboard) {
    wxUIActionSimulator sim;
    std::string before = frame->GetIndicatorText(1);
    sim.Char(WXK_CAPITAL);
    EXPECT_TRUE(PumpUntil([&] { return frame->GetIndicatorText(1) != before; }, 2000));
    EXPECT_EQ(frame->GetIndicatorText(1), before.empty() ? "CAP" : "");
    sim.Char(WXK_CAPITAL);
    EXPECT_TRUE(PumpUntil([&] { return frame->GetIndicatorText(1) == before; }, 2000));
}

} // namespace
