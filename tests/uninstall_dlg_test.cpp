// The uninstaller's window: the log shown, Uninstall disabled after a run and
// the focus on Exit, the About box.
#include "platform/registry/Registry.h"
#include "platform/ui/Modal.h"
#include "tests/GuiTest.h"
#include "tests/TempDir.h"
#include "uninstall/UninstallDlg.h"

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <filesystem>
#include <fstream>

namespace {

TEST(UninstallDialog, AfterARunTheLogIsShownUninstallIsOffAndExitHasTheFocus) {
    TempDir dir;
    setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
    std::string dataHome = getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    reg::RegResetStore();
    std::vector<ui::MessageBoxRequest> asked;
    ui::SetMessageBoxHook([&](const ui::MessageBoxRequest& r) {
        asked.push_back(r);
        return ui::kOk;
    });
    auto* dlg = new COrvaneUninstallDlg(nullptr);
    EXPECT_EQ(dlg->GetTitle(), "Uninstall Orvane");
    dlg->m_uninstaller.m_strLibraryDir = dir.path(); // no library there
    dlg->m_uninstaller.m_nPauseMs = 0;
    dlg->Show();
    Pump(30);
    EXPECT_TRUE(dlg->m_wndUninstall->IsEnabled());
    wxCommandEvent click(wxEVT_BUTTON, dlg->m_wndUninstall->GetId());
    click.SetEventObject(dlg->m_wndUninstall);
    dlg->m_wndUninstall->ProcessWindowEvent(click);
    Pump(30);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Unable to Load DLL");
    EXPECT_EQ(asked[0].caption, "Error");
    EXPECT_EQ(asked[0].icon, ui::kIconStop);
    auto* log = dynamic_cast<wxTextCtrl*>(dlg->FindWindow(1002));
    ASSERT_TRUE(log);
    EXPECT_EQ(log->GetValue().utf8_string(), wxString::FromUTF8(dlg->m_strLog).utf8_string());
    EXPECT_EQ(dlg->m_strLog.rfind("Removing Registry Entries\r\nRemoving Start Menu Entries\r\n"
                                  "Removing Program Files \r\nProgram files not removed: ",
                                  0),
              0u)
        << dlg->m_strLog;
    EXPECT_FALSE(dlg->m_wndUninstall->IsEnabled());
    EXPECT_EQ(wxWindow::FindFocus(), dlg->m_wndExit);

    std::string about;
    ui::SetDialogHook([&](wxDialog& d) {
        about = d.GetTitle().utf8_string();
        for (wxWindow* child : d.GetChildren())
            if (auto* text = dynamic_cast<wxStaticText*>(child))
                about += "|" + text->GetLabel().utf8_string();
        return wxID_OK;
    });
    dlg->OnAbout();
    EXPECT_EQ(about, "About OrvaneUninstall|OrvaneUninstall Version 1.0");
    ui::SetDialogHook(nullptr);
    ui::SetMessageBoxHook(nullptr);
    dlg->Destroy();
    Pump(20);
    reg::RegResetStore();
    unsetenv("ORVANE_REGISTRY");
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
}

TEST(UninstallDialog, ANameThatIsNotUtf8OrHoldsALineBreakIsShownEscaped) {
    TempDir dir;
    setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
    std::string dataHome = getenv("XDG_DATA_HOME");
    setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    reg::RegResetStore();
    std::string menu = dir.path() + "/data/applications/Orvane";
    std::filesystem::create_directories(menu);
    std::ofstream(menu + "/caf\xe9.desktop") << "x";
    std::ofstream(menu + "/two\nDeleting   lines") << "x";
    ui::SetMessageBoxHook([&](const ui::MessageBoxRequest&) { return ui::kOk; });
    auto* dlg = new COrvaneUninstallDlg(nullptr);
    dlg->m_uninstaller.m_strLibraryDir = dir.path();
    dlg->m_uninstaller.m_nPauseMs = 0;
    dlg->Show();
    Pump(30);
    dlg->OnUninstall();
    Pump(30);
    auto* log = dynamic_cast<wxTextCtrl*>(dlg->FindWindow(1002));
    ASSERT_TRUE(log);
    std::string shown = log->GetValue().utf8_string();
    EXPECT_NE(shown.find("Deleting   caf\\xE9.desktop\r\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Deleting   two\\x0ADeleting   lines\r\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Removing Program Files"), std::string::npos) << shown;
    EXPECT_FALSE(std::filesystem::exists(menu));
    ui::SetMessageBoxHook(nullptr);
    dlg->Destroy();
    Pump(20);
    reg::RegResetStore();
    unsetenv("ORVANE_REGISTRY");
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
}

} // namespace
