// The main window: layout, command routing, graying, connection commands,
// Exit, Help and About, driven as the user's commands would drive them.
#include "app/AboutDlg.h"
#include "app/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "tests/FrameFixture.h"

#include <wx/menu.h>
#include <wx/splitter.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>
#include <wx/uiaction.h>

#include <fstream>
#include <sys/stat.h>

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
    EXPECT_EQ(tb->GetToolLongHelp(ToWx(ID_DOWNLOAD_TOOLBAR)), "Downloads file[s]  from Remote System");
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

// The forwarded commands: which pane handler runs for each active pane.
struct Route {
    int command;
    const char* whenLocal;           // call expected in the local pane ("" none)
    const char* whenRemote;          // call expected in the remote pane when connected
    const char* whenRemoteOffline;   // ... when not connected
};

TEST_F(FrameTest, FileCommandsGoToTheActivePaneOnlyWhereTheyApply) {
    const Route routes[] = {
        {ID_RUN, "OnExecute", "OnExecute", ""},
        {ID_VIEW_FILES, "OnExecute", "OnExecute", ""},
        {ID_DELETE_TOOLBAR, "OnDelete", "OnDelete", ""},
        {ID_NEW_FOLDER_TOOLBAR, "OnNewFolder", "OnNewFolder", ""},
        {ID_DOWNLOAD_TOOLBAR, "", "OnDownload", ""},
        {ID_PROPERTIES_TOOLBAR, "OnProperties", "OnProperties", ""},
        {ID_REFRESH_TOOLBAR, "OnRefresh", "OnRefresh", "OnRefresh"},
        {ID_VIEW_DETAILS, "SetViewMode 1", "SetViewStyle 1", "SetViewStyle 1"},
        {ID_VIEW_SMALLICON, "SetViewMode 2", "SetViewStyle 2", "SetViewStyle 2"},
        {ID_REFRESH, "OnRefresh", "OnRefresh", "OnRefresh"},
        {ID_DELETE, "OnDelete", "OnDelete", "OnDelete"},
    };
    auto run = [&](wxWindow* active, bool connected, int command) {
        left()->m_calls.clear();
        right()->m_calls.clear();
        frame->SetActiveView(active);
        frame->m_bConnected = connected ? 1 : 0;
        frame->RouteCommand(command);
    };
    auto only = [](const std::vector<std::string>& calls, const char* expected) {
        return std::string(expected).empty() ? calls.empty()
                                             : calls == std::vector<std::string>{expected};
    };
    for (const Route& r : routes) {
        for (bool connected : {false, true}) {
            run(left(), connected, r.command);
            EXPECT_TRUE(only(left()->m_calls, r.whenLocal) && right()->m_calls.empty())
                << r.command << " local, connected " << connected;
            run(right(), connected, r.command);
            EXPECT_TRUE(only(right()->m_calls, connected ? r.whenRemote : r.whenRemoteOffline) &&
                        left()->m_calls.empty())
                << r.command << " remote, connected " << connected;
            // With the log pane or no pane active nothing is forwarded.
            for (wxWindow* none : {static_cast<wxWindow*>(status()), (wxWindow*)nullptr}) {
                run(none, connected, r.command);
                EXPECT_TRUE(left()->m_calls.empty() && right()->m_calls.empty()) << r.command;
            }
        }
    }
    run(left(), false, ID_UPLOAD_TOOLBAR);
    EXPECT_TRUE(left()->m_calls.empty());
    run(left(), true, ID_UPLOAD_TOOLBAR);
    EXPECT_EQ(left()->m_calls, std::vector<std::string>{"OnUpload"});
}

TEST_F(FrameTest, KeysReachTheirCommandsAndAltFDeletesInsteadOfOpeningTheMenu) {
    left()->SetFocus();
    Pump(50);
    EXPECT_EQ(frame->GetActiveView(), left());
    left()->m_calls.clear();
    wxUIActionSimulator sim;
    sim.Char('f', wxMOD_ALT);
    Pump(100);
    sim.Char(WXK_F5);
    Pump(100);
    sim.Char('e', wxMOD_ALT);
    Pump(100);
    EXPECT_EQ(left()->m_calls, (std::vector<std::string>{"OnDelete", "OnRefresh", "OnExecute"}));
    EXPECT_TRUE(asked.empty());

    // Alt+S opens the Site Manager.
    sim.Char('s', wxMOD_ALT);
    EXPECT_TRUE(PumpUntil([&] { return !dialogs.empty(); }, 2000));
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Manager"});
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

TEST_F(FrameTest, DisconnectAndReconnectWriteTheirLinesAndTitles) {
    // Not connected: Disconnect does nothing; Reconnect opens the Site Manager.
    frame->OnDisconnect();
    EXPECT_TRUE(LogLines().empty());
    frame->OnReconnect();
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Manager"});
    EXPECT_TRUE(right()->m_calls.empty());

    frame->m_bConnected = 1;
    frame->m_nConnectMode = 1;
    frame->OnReconnect();
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Disconnecting ....", "Connection Closed",
                                                    "Reconnecting ...."}));
    EXPECT_EQ(frame->GetTitle(), " Not Connected - Halvard Tremoc, Orvane  v1.0 ");
    EXPECT_EQ(right()->m_calls, (std::vector<std::string>{"CloseSession", "StartConnect 1"}));
    EXPECT_EQ(frame->m_bConnected, 0);
}

TEST_F(FrameTest, ConnectingWhileConnectedAsksAndKeepsTheSessionOnNo) {
    dialogAnswer = [](wxDialog& d) {
        auto& sm = dynamic_cast<CSiteManagerDlg&>(d);
        sm.m_strHost = "ftp.example.org";
        sm.m_strUser = "alice";
        sm.m_nPort = 2121;
        sm.m_strLocalDir = "/tmp/";
        sm.m_strRemoteDir = "/pub";
        sm.m_bPassive = 1;
        return wxID_OK;
    };
    frame->m_bConnected = 1;
    answers = {ui::kNo};
    frame->OnSiteManager();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Terminate Existing connection");
    EXPECT_EQ(asked[0].caption, "FTP");
    EXPECT_EQ(asked[0].buttons, ui::kButtonsYesNo);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_TRUE(right()->m_calls.empty());
    EXPECT_EQ(frame->m_bConnected, 1);

    answers = {ui::kYes};
    frame->OnSiteManager();
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Disconnecting ....", "Connection Closed",
                                                    "Connecting to ftp.example.org as alice"}));
    EXPECT_EQ(right()->m_calls, (std::vector<std::string>{"CloseSession", "StartConnect 1"}));
    EXPECT_EQ(right()->m_strHost, "ftp.example.org");
    EXPECT_EQ(right()->m_nPort, 2121);
    EXPECT_EQ(right()->m_strRemoteDir, "/pub");
    EXPECT_EQ(left()->m_strDefaultDir, "/tmp/");
    // One trailing separator is dropped on the way to the local pane; the root keeps its own.
    EXPECT_EQ(left()->m_calls, std::vector<std::string>{"ChangeDirectory /tmp"});
    EXPECT_EQ(frame->m_nConnectMode, 1);

    CSiteManagerDlg dlg(frame);
    dlg.m_strLocalDir = "/";
    dlg.m_bPassive = 0;
    frame->ConnectToSite(dlg);
    EXPECT_EQ(left()->m_calls.back(), "ChangeDirectory /");
    EXPECT_EQ(right()->m_calls.back(), "StartConnect 2");
}

TEST_F(FrameTest, CancelledSiteManagerLeavesTheFrameAsItWas) {
    frame->SetTitle("Orvane");
    frame->OnSiteManager();
    EXPECT_EQ(dialogs.size(), 1u);
    EXPECT_TRUE(LogLines().empty());
    EXPECT_TRUE(right()->m_calls.empty());
    EXPECT_EQ(frame->GetTitle(), "Orvane");
}

TEST_F(FrameTest, StopRequestsBothPanesToStop) {
    frame->OnStop();
    EXPECT_EQ(left()->m_bStopUpload, 1);
    EXPECT_EQ(right()->m_bStop, 1);
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
    EXPECT_EQ(right()->m_calls, std::vector<std::string>{"CloseSession"});
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
    ASSERT_EQ(reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", reg::KEY_ALL_ACCESS,
                                  &key),
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
