// The Site Manager and Site Settings dialogs, driven as a user would.
#include "platform/registry/Registry.h"
#include "platform/ui/Modal.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "sites/SiteSettingsDlg.h"
#include "sites/SiteStore.h"
#include "tests/GuiTest.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/menu.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <deque>
#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace {

class SiteManagerTest : public ::testing::Test {
protected:
    TempDir dir;
    std::vector<ui::MessageBoxRequest> asked;
    std::vector<std::string> dialogs;
    std::function<int(wxDialog&)> dialogAnswer;
    std::deque<std::string> folders; // the folder browser's answers
    int browsed = 0;

    void SetUp() override {
        setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
        reg::RegResetStore();
        ui::SetMessageBoxHook([this](const ui::MessageBoxRequest& r) {
            asked.push_back(r);
            return ui::kOk;
        });
        ui::SetDialogHook([this](wxDialog& d) {
            dialogs.push_back(d.GetTitle().utf8_string());
            return dialogAnswer ? dialogAnswer(d) : wxID_CANCEL;
        });
        ui::SetFolderBrowserHook([this](const std::string& heading) {
            EXPECT_EQ(heading, "Browse for Default Directory");
            ++browsed;
            if (folders.empty())
                return std::string();
            std::string f = folders.front();
            folders.pop_front();
            return f;
        });
    }
    void TearDown() override {
        ui::SetMessageBoxHook(nullptr);
        ui::SetDialogHook(nullptr);
        ui::SetFolderBrowserHook(nullptr);
        reg::RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }

    // Runs the dialog modally and does `actions` inside its loop.
    static int RunWith(wxDialog& dlg, std::function<void()> actions) {
        dlg.CallAfter([&dlg, actions] {
            actions();
            if (dlg.IsModal())
                dlg.EndModal(wxID_CANCEL);
        });
        return dlg.ShowModal();
    }

    static std::vector<std::string> TreeItems(CSiteManagerDlg& d) {
        std::vector<std::string> items{d.m_wndTree->GetItemText(d.m_hRoot).utf8_string()};
        wxTreeItemIdValue cookie;
        for (wxTreeItemId it = d.m_wndTree->GetFirstChild(d.m_hRoot, cookie); it.IsOk();
             it = d.m_wndTree->GetNextChild(d.m_hRoot, cookie))
            items.push_back(d.m_wndTree->GetItemText(it).utf8_string());
        return items;
    }
    static wxTreeItemId Find(CSiteManagerDlg& d, const std::string& name) {
        wxTreeItemIdValue cookie;
        for (wxTreeItemId it = d.m_wndTree->GetFirstChild(d.m_hRoot, cookie); it.IsOk();
             it = d.m_wndTree->GetNextChild(d.m_hRoot, cookie))
            if (d.m_wndTree->GetItemText(it).utf8_string() == name)
                return it;
        return wxTreeItemId();
    }
    // Shows `dlg` modally and presses its OK button as the user would, so
    // that its validation runs; the dialog's end code (Cancel when OK did
    // not close it).
    static int PressOk(wxDialog& dlg) {
        dlg.CallAfter([&dlg] {
            auto* ok = dynamic_cast<wxButton*>(dlg.FindWindow(wxID_OK));
            ASSERT_NE(ok, nullptr);
            wxCommandEvent click(wxEVT_BUTTON, wxID_OK);
            click.SetEventObject(ok);
            ok->GetEventHandler()->ProcessEvent(click);
            if (dlg.IsModal())
                dlg.EndModal(wxID_CANCEL);
        });
        return dlg.ShowModal();
    }
    static bool Shown(CSiteManagerDlg& d, int id) { return d.FindWindow(id)->IsShown(); }
    static bool Enabled(CSiteManagerDlg& d, int id) { return d.FindWindow(id)->IsEnabled(); }
    // Renames by editing the label in place, as the user does.
    static void EditLabel(CSiteManagerDlg& d, wxTreeItemId item, const std::string& text,
                          bool cancel = false) {
        d.m_wndTree->SelectItem(item);
        wxTextCtrl* edit = d.m_wndTree->EditLabel(item);
        if (!edit)
            return;
        edit->SetValue(wxString::FromUTF8(text));
        d.m_wndTree->EndEditLabel(item, cancel);
        Pump(20);
    }
};

TEST_F(SiteManagerTest, OpensOnTheFirstSampleWithTheRootAndBothSamples) {
    CSiteManagerDlg d(nullptr);
    EXPECT_EQ(d.GetTitle(), "Site Manager");
    EXPECT_EQ(TreeItems(d), (std::vector<std::string>{"General FTP Sites", "MSDN", "Microsoft"}));
    EXPECT_EQ(d.m_wndTree->GetSelection(), d.m_hSampleFirst);
    EXPECT_EQ(d.Field(IDC_LABEL), "MSDN");
    EXPECT_NE(d.Field(IDC_HOST).find("://"), std::string::npos); // with its scheme
    EXPECT_EQ(d.Field(IDC_USER), "anonymous");
    EXPECT_EQ(d.Field(IDC_PASSWORD), "");
    EXPECT_EQ(d.Field(IDC_PORT), "21");
    EXPECT_EQ(d.m_wndMode->GetCount(), 2u);
    EXPECT_EQ(d.m_wndMode->GetStringSelection(), "FTP");
    EXPECT_TRUE(Shown(d, IDC_HOST) && !Shown(d, IDC_HINT) && Enabled(d, wxID_OK));
    d.m_wndTree->SelectItem(d.m_hSampleSecond);
    EXPECT_EQ(d.Field(IDC_LABEL), "Microsoft");
    EXPECT_EQ(d.Field(IDC_HOST).find("://"), std::string::npos); // bare
    // The root hides the details and disables what needs a site.
    d.m_wndTree->SelectItem(d.m_hRoot);
    EXPECT_TRUE(Shown(d, IDC_HINT));
    EXPECT_FALSE(Shown(d, IDC_HOST) || Shown(d, IDC_MODE) || Shown(d, 1020));
    for (int id : {static_cast<int>(wxID_OK), static_cast<int>(IDC_EDIT_SITE),
                   static_cast<int>(IDC_DELETE_SITE), static_cast<int>(IDC_SAVE_SETTINGS)})
        EXPECT_FALSE(Enabled(d, id)) << id;
    EXPECT_TRUE(Enabled(d, IDC_NEW_SITE) && Enabled(d, wxID_CANCEL));
    std::unique_ptr<wxMenu> menu(d.CreateOptionsMenu());
    EXPECT_TRUE(menu->IsEnabled(cmd::ToWx(cmd::ID_NEW_SITE)));
    for (int id : {cmd::ID_SAVE_SETTINGS, cmd::ID_DELETE, cmd::ID_RENAME, cmd::ID_EDIT_SITE})
        EXPECT_FALSE(menu->IsEnabled(cmd::ToWx(id))) << id;
}

TEST_F(SiteManagerTest, ACancelledNewSiteIsStillCreatedAndConnectsWithTheDefaults) {
    CSiteManagerDlg d(nullptr);
    int rc = RunWith(d, [&] {
        d.OnNewSite(); // the dialog hook cancels the name
        EXPECT_EQ(dialogs, std::vector<std::string>{"New Site Dialog"});
        EXPECT_EQ(d.m_wndTree->GetItemText(d.m_wndTree->GetSelection()), "New Site");
        EXPECT_EQ(d.Field(IDC_HOST), "localhost");
        EXPECT_EQ(d.Field(IDC_LABEL), "New Site");
        d.OnConnect();
    });
    EXPECT_EQ(rc, wxID_OK);
    EXPECT_EQ(d.m_strHost, "localhost");
    EXPECT_EQ(d.m_strUser, "anonymous");
    EXPECT_EQ(d.m_nPort, 21);
    EXPECT_EQ(d.m_strLocalDir, "/");
    EXPECT_EQ(d.m_strRemoteDir, "/");
    EXPECT_EQ(d.m_bPassive, 0);
    EXPECT_EQ(sites::ListSites(), std::vector<std::string>{"New Site"});

    // A second "New Site" is refused: the first would be overwritten.
    CSiteManagerDlg again(nullptr);
    again.OnNewSite();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].text.find("already a site"), std::string::npos);
    EXPECT_EQ(TreeItems(again).size(), 4u);
}

TEST_F(SiteManagerTest, ASampleRightAfterOpeningConnectsWithEmptyFolders) {
    CSiteManagerDlg d(nullptr);
    EXPECT_EQ(RunWith(d, [&] { d.OnConnect(); }), wxID_OK);
    EXPECT_EQ(d.m_strLocalDir, "");
    EXPECT_EQ(d.m_strRemoteDir, "");
    EXPECT_EQ(d.m_strHost, sites::FirstSample().host);
}

TEST_F(SiteManagerTest, ModeIsKeptAcrossSitesAndResetByASample) {
    ASSERT_TRUE(sites::CreateSite("one"));
    ASSERT_TRUE(sites::CreateSite("two"));
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "one"));
    d.m_wndMode->SetSelection(1);
    wxCommandEvent pick(wxEVT_CHOICE, IDC_MODE);
    pick.SetInt(1);
    d.m_wndMode->ProcessWindowEvent(pick);
    EXPECT_EQ(d.m_bPassive, 1);
    d.m_wndTree->SelectItem(Find(d, "two"));
    EXPECT_EQ(d.m_bPassive, 1);
    EXPECT_EQ(d.m_wndMode->GetStringSelection(), "Passive");
    d.m_wndTree->SelectItem(d.m_hSampleSecond);
    EXPECT_EQ(d.m_bPassive, 0);
    EXPECT_EQ(d.m_wndMode->GetStringSelection(), "FTP");
}

TEST_F(SiteManagerTest, EncryptionIsShownBelowModeSavedWithTheSiteAndHandedToConnect) {
    ASSERT_TRUE(sites::CreateSite("alpha"));
    ASSERT_TRUE(sites::CreateSite("beta"));
    CSiteManagerDlg d(nullptr);
    auto* choice = d.m_wndEncryption;
    ASSERT_EQ(choice->GetCount(), 3u);
    EXPECT_EQ(choice->GetString(0), "Only use plain FTP (insecure)");
    EXPECT_EQ(choice->GetString(1), "Use explicit FTP over TLS if available");
    EXPECT_EQ(choice->GetString(2), "Require explicit FTP over TLS");
    // Below Mode, shown and hidden with the details.
    EXPECT_GT(choice->GetPosition().y, d.m_wndMode->GetPosition().y);
    EXPECT_EQ(choice->GetStringSelection(), "Use explicit FTP over TLS if available"); // sample
    d.m_wndTree->SelectItem(d.m_hRoot);
    EXPECT_FALSE(Shown(d, IDC_ENCRYPTION) || Shown(d, IDC_ENCRYPTION_CAPTION));
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_TRUE(Shown(d, IDC_ENCRYPTION) && Shown(d, IDC_ENCRYPTION_CAPTION));
    EXPECT_EQ(choice->GetSelection(), sites::kEncryptionIfAvailable); // a new site

    // Chosen as the user does, saved, and shown again when the site is selected.
    choice->SetSelection(sites::kEncryptionRequire);
    wxCommandEvent pick(wxEVT_CHOICE, IDC_ENCRYPTION);
    pick.SetInt(sites::kEncryptionRequire);
    pick.SetEventObject(choice);
    choice->GetEventHandler()->ProcessEvent(pick);
    d.OnSaveSettings();
    EXPECT_EQ(sites::LoadSite("alpha").encryption, sites::kEncryptionRequire);
    EXPECT_EQ(sites::LoadSite("beta").encryption, sites::kEncryptionIfAvailable);
    d.m_wndTree->SelectItem(Find(d, "beta"));
    EXPECT_EQ(choice->GetSelection(), sites::kEncryptionIfAvailable);
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_EQ(choice->GetSelection(), sites::kEncryptionRequire);
    // A sample shows "if available".
    d.m_wndTree->SelectItem(d.m_hSampleSecond);
    EXPECT_EQ(choice->GetSelection(), sites::kEncryptionIfAvailable);

    // Connect hands over what is shown, saved or not.
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    choice->SetSelection(sites::kEncryptionPlain);
    EXPECT_EQ(RunWith(d, [&] { d.OnConnect(); }), wxID_OK);
    EXPECT_EQ(d.m_nEncryption, sites::kEncryptionPlain);
    EXPECT_EQ(sites::LoadSite("alpha").encryption, sites::kEncryptionRequire);
}

TEST_F(SiteManagerTest, ProtocolStandsAboveModeGreysFtpsChoicesAndMovesAnUntouchedPort) {
    ASSERT_TRUE(sites::CreateSite("alpha"));
    ASSERT_TRUE(sites::CreateSite("beta"));
    CSiteManagerDlg d(nullptr);
    auto* choice = d.m_wndProtocol;
    ASSERT_EQ(choice->GetCount(), 2u);
    EXPECT_EQ(choice->GetString(0), "FTP");
    EXPECT_EQ(choice->GetString(1), "SFTP");
    EXPECT_LT(choice->GetPosition().y, d.m_wndMode->GetPosition().y);
    d.m_wndTree->SelectItem(d.m_hRoot);
    EXPECT_FALSE(Shown(d, IDC_PROTOCOL) || Shown(d, IDC_PROTOCOL_CAPTION));
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_TRUE(Shown(d, IDC_PROTOCOL) && Shown(d, IDC_PROTOCOL_CAPTION));
    EXPECT_EQ(choice->GetSelection(), sites::kProtocolFtp); // a new site

    auto pick = [&](int protocol) {
        choice->SetSelection(protocol);
        wxCommandEvent e(wxEVT_CHOICE, IDC_PROTOCOL);
        e.SetInt(protocol);
        e.SetEventObject(choice);
        choice->GetEventHandler()->ProcessEvent(e);
    };
    // The port follows while it is the other protocol's; one typed stays.
    struct Case {
        const char* portBefore;
        int protocol;
        const char* portAfter;
        bool ftpChoices;
    } cases[] = {
        {"21", sites::kProtocolSftp, "22", false},     {"22", sites::kProtocolFtp, "21", true},
        {"2121", sites::kProtocolSftp, "2121", false}, {"2121", sites::kProtocolFtp, "2121", true},
        {"21", sites::kProtocolFtp, "21", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.portBefore) + " to " + std::to_string(c.protocol));
        d.SetField(IDC_PORT, c.portBefore);
        pick(c.protocol);
        EXPECT_EQ(d.Field(IDC_PORT), c.portAfter);
        EXPECT_EQ(d.m_wndMode->IsEnabled(), c.ftpChoices);
        EXPECT_EQ(d.m_wndEncryption->IsEnabled(), c.ftpChoices);
    }

    // Saved with the site, shown again when it is selected, handed to Connect.
    // The new site's remote folder "/" becomes the login folder.
    d.SetField(IDC_PORT, "21");
    EXPECT_EQ(d.m_strRemoteDir, "/");
    pick(sites::kProtocolSftp);
    EXPECT_EQ(d.m_strRemoteDir, ".");
    d.OnSaveSettings();
    EXPECT_EQ(sites::LoadSite("alpha").protocol, sites::kProtocolSftp);
    EXPECT_EQ(sites::LoadSite("alpha").port, "22");
    EXPECT_EQ(sites::LoadSite("alpha").remoteDir, ".");
    EXPECT_EQ(sites::LoadSite("beta").protocol, sites::kProtocolFtp);
    d.m_wndTree->SelectItem(Find(d, "beta"));
    EXPECT_EQ(choice->GetSelection(), sites::kProtocolFtp);
    EXPECT_TRUE(d.m_wndMode->IsEnabled());
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_EQ(choice->GetSelection(), sites::kProtocolSftp);
    EXPECT_FALSE(d.m_wndEncryption->IsEnabled());
    EXPECT_EQ(d.Field(IDC_PORT), "22");
    d.m_wndTree->SelectItem(d.m_hSampleSecond); // a sample is FTP
    EXPECT_EQ(choice->GetSelection(), sites::kProtocolFtp);
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_EQ(RunWith(d, [&] { d.OnConnect(); }), wxID_OK);
    EXPECT_EQ(d.m_nProtocol, sites::kProtocolSftp);
}

TEST_F(SiteManagerTest, AnOlderRecordWithoutEncryptionShowsIfAvailable) {
    reg::HKEY k = nullptr;
    ASSERT_EQ(reg::RegCreateKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\old",
                                  reg::KEY_ALL_ACCESS, &k),
              reg::REG_OK);
    std::string host("oldhost");
    host.resize(100, '\0');
    reg::RegSetValueEx(k, "HOST NAME", reg::REG_EXPAND_SZ, host.data(), 100);
    reg::RegCloseKey(k);
    CSiteManagerDlg d(nullptr);
    d.m_wndEncryption->SetSelection(sites::kEncryptionPlain);
    d.m_wndTree->SelectItem(Find(d, "old"));
    EXPECT_EQ(d.Field(IDC_HOST), "oldhost");
    EXPECT_EQ(d.m_wndEncryption->GetSelection(), sites::kEncryptionIfAvailable);
    EXPECT_EQ(d.m_nEncryption, sites::kEncryptionIfAvailable);
}

TEST_F(SiteManagerTest, SaveStoresWhatIsTypedWithDefaultsForEmptyFields) {
    ASSERT_TRUE(sites::CreateSite("work"));
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "work"));
    d.SetField(IDC_HOST, "");
    d.SetField(IDC_PORT, "");
    d.SetField(IDC_LABEL, "");
    d.SetField(IDC_USER, "carol");
    d.OnSaveSettings();
    sites::SiteRecord r = sites::LoadSite("work");
    EXPECT_EQ(r.host, "localhost");
    EXPECT_EQ(r.port, "21");
    EXPECT_EQ(r.label, "work");
    EXPECT_EQ(r.user, "carol");
    // The fields show what the store holds now.
    EXPECT_EQ(d.Field(IDC_HOST), "localhost");
    EXPECT_EQ(d.Field(IDC_PORT), "21");
    // The fields take no more than the store keeps.
    auto* host = dynamic_cast<wxTextCtrl*>(d.FindWindow(IDC_HOST));
    host->SetValue(wxString(std::string(150, 'h')));
    host->SetInsertionPointEnd();
    host->WriteText("zzz");
    EXPECT_LE(host->GetValue().size(), 99u);
    // Saving a sample stores nothing.
    d.m_wndTree->SelectItem(d.m_hSampleFirst);
    d.OnSaveSettings();
    EXPECT_EQ(sites::ListSites(), std::vector<std::string>{"work"});
}

TEST_F(SiteManagerTest, EditedFieldsConnectUnsavedAndTheStoreKeepsTheOldHost) {
    ASSERT_TRUE(sites::CreateSite("lab"));
    CSiteManagerDlg d(nullptr);
    int rc = RunWith(d, [&] {
        d.m_wndTree->SelectItem(Find(d, "lab"));
        d.SetField(IDC_HOST, "ftp.example.net");
        d.SetField(IDC_PORT, "x21");
        d.OnConnect(); // not an integer: the dialog stays open
        EXPECT_TRUE(d.IsModal());
        EXPECT_EQ(asked.size(), 1u);
        d.SetField(IDC_PORT, "2121");
        d.OnConnect();
    });
    EXPECT_EQ(rc, wxID_OK);
    EXPECT_EQ(d.m_strHost, "ftp.example.net");
    EXPECT_EQ(d.m_nPort, 2121);
    EXPECT_EQ(sites::LoadSite("lab").host, "localhost");
}

TEST_F(SiteManagerTest, DeleteRebuildsTheTreeOnTheFirstSample) {
    ASSERT_TRUE(sites::CreateSite("gone"));
    ASSERT_TRUE(sites::CreateSite("stays"));
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "gone"));
    d.OnDeleteSite();
    EXPECT_EQ(TreeItems(d),
              (std::vector<std::string>{"General FTP Sites", "MSDN", "Microsoft", "stays"}));
    EXPECT_EQ(d.m_wndTree->GetSelection(), d.m_hSampleFirst);
    EXPECT_EQ(d.m_wndMode->GetCount(), 2u);
    // Samples are not deleted.
    d.OnDeleteSite();
    EXPECT_EQ(TreeItems(d).size(), 4u);
}

TEST_F(SiteManagerTest, RenameAcceptsNewNamesAndRefusesHarmfulOnes) {
    ASSERT_TRUE(sites::CreateSite("alpha"));
    ASSERT_TRUE(sites::SaveSite("alpha", "u", "h", "l", "p", "21", "/l", "/r", "notes"));
    ASSERT_TRUE(sites::CreateSite("beta"));
    CSiteManagerDlg d(nullptr);
    EditLabel(d, Find(d, "alpha"), "gamma");
    EXPECT_TRUE(Find(d, "gamma").IsOk());
    EXPECT_EQ(sites::ListSites(), (std::vector<std::string>{"beta", "gamma"}));
    EXPECT_EQ(sites::LoadSite("gamma").comments, "notes");

    EditLabel(d, Find(d, "gamma"), "");        // empty: refused quietly
    EditLabel(d, Find(d, "gamma"), "BETA");    // taken
    EditLabel(d, Find(d, "gamma"), "a\\b");    // backslash
    EditLabel(d, Find(d, "gamma"), "x", true); // cancelled
    EXPECT_EQ(asked.size(), 2u);
    EXPECT_EQ(sites::ListSites(), (std::vector<std::string>{"beta", "gamma"}));
    EXPECT_TRUE(Find(d, "gamma").IsOk());

    EditLabel(d, Find(d, "gamma"), "Gamma"); // other case: renamed, record kept
    EXPECT_EQ(sites::ListSites(), (std::vector<std::string>{"beta", "Gamma"}));
    EXPECT_EQ(sites::LoadSite("Gamma").comments, "notes");
    // The root and the samples cannot be renamed.
    EXPECT_EQ(d.m_wndTree->EditLabel(d.m_hRoot), nullptr);
    EXPECT_EQ(d.m_wndTree->EditLabel(d.m_hSampleFirst), nullptr);
}

TEST_F(SiteManagerTest, ValuesThatAreNotUtf8AreShownReadablyAndKeptByteForByte) {
    // A store written by something else: a name, fields and folders in Latin-1.
    const std::string name = "caf\xE9", host = "h\xF6st", user = "\xC3(u", pass = "p\x80ss";
    const std::string local = dir.path() + "/d\xE9j\xE0", remote = "/r\xE9mote";
    ASSERT_EQ(mkdir(local.c_str(), 0700), 0);
    ASSERT_TRUE(sites::CreateSite(name));
    ASSERT_TRUE(sites::SaveSite(name, user, host, "l", pass, "2121", local, remote, "n\xF6tes"));
    CSiteManagerDlg d(nullptr);
    wxTreeItemId item = Find(d, "caf\\xE9");
    ASSERT_TRUE(item.IsOk()) << testing::PrintToString(TreeItems(d));
    d.m_wndTree->SelectItem(item);
    auto shown = [&](int id) {
        return dynamic_cast<wxTextCtrl*>(d.FindWindow(id))->GetValue().utf8_string();
    };
    EXPECT_EQ(shown(IDC_HOST), "h\\xF6st");
    EXPECT_EQ(shown(IDC_LABEL), "caf\\xE9");

    // Saved as shown: every byte stays.
    d.OnSaveSettings();
    sites::SiteRecord r = sites::LoadSite(name);
    EXPECT_EQ(r.host, host);
    EXPECT_EQ(r.user, user);
    EXPECT_EQ(r.password, pass);
    EXPECT_EQ(r.label, name);
    EXPECT_EQ(r.port, "2121");

    // Site Settings passed with OK unchanged: the folders and comments stay,
    // and the local folder is found by its own bytes.
    dialogAnswer = [&](wxDialog& dlg) {
        EXPECT_EQ(dlg.GetTitle().utf8_string(), "Site Settings for caf\\xE9");
        return PressOk(dlg);
    };
    d.OnEditSite();
    EXPECT_TRUE(asked.empty());
    r = sites::LoadSite(name);
    EXPECT_EQ(r.remoteDir, remote);
    EXPECT_EQ(r.localDir, local);
    EXPECT_EQ(r.comments, "n\xF6tes");

    // A field the user changes takes the typed text; the others keep theirs.
    dynamic_cast<wxTextCtrl*>(d.FindWindow(IDC_HOST))->SetValue("ftp.example.net");
    d.OnSaveSettings();
    r = sites::LoadSite(name);
    EXPECT_EQ(r.host, "ftp.example.net");
    EXPECT_EQ(r.user, user);
    EXPECT_EQ(r.password, pass);

    // Renamed in the tree, the record moves with everything in it.
    EditLabel(d, Find(d, "caf\\xE9"), "cafe");
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(sites::ListSites(), std::vector<std::string>{"cafe"});
    r = sites::LoadSite("cafe");
    EXPECT_EQ(r.user, user);
    EXPECT_EQ(r.localDir, local);
    EXPECT_EQ(r.comments, "n\xF6tes");
}

// A stored name that is not UTF-8 shows with backslashes; no other site can
// take that text, so two sites never look alike in the tree.
TEST_F(SiteManagerTest, NoSiteCanBeNamedAsAnotherIsShown) {
    ASSERT_TRUE(sites::CreateSite("caf\xE9"));
    ASSERT_TRUE(sites::CreateSite("other"));
    CSiteManagerDlg d(nullptr);
    EditLabel(d, Find(d, "other"), "caf\\xE9");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(sites::ListSites(), (std::vector<std::string>{"caf\xE9", "other"}));
    // Deleted by its own name.
    d.m_wndTree->SelectItem(Find(d, "caf\\xE9"));
    d.OnDeleteSite();
    EXPECT_EQ(sites::ListSites(), std::vector<std::string>{"other"});
}

// Text that is UTF-8 but holds line breaks or other control characters is
// given back as stored when the field was not touched.
TEST_F(SiteManagerTest, ControlCharactersInStoredFieldsSurviveASave) {
    const std::string host = "h\nost", user = "u\tser", pass = "p\x01s\rs";
    ASSERT_TRUE(sites::CreateSite("ctl"));
    ASSERT_TRUE(sites::SaveSite("ctl", user, host, "ctl", pass, "21", "/", "/", "c"));
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "ctl"));
    EXPECT_EQ(d.Field(IDC_HOST), host);
    EXPECT_EQ(d.Field(IDC_USER), user);
    EXPECT_EQ(d.Field(IDC_PASSWORD), pass);
    d.OnSaveSettings();
    sites::SiteRecord r = sites::LoadSite("ctl");
    EXPECT_EQ(r.host, host);
    EXPECT_EQ(r.user, user);
    EXPECT_EQ(r.password, pass);
}

// A folder picked in the browser is taken by its bytes, also when they are
// not UTF-8, and the field shows it readably.
TEST_F(SiteManagerTest, AFolderPickedWhoseNameIsNotUtf8IsStoredAsPicked) {
    const std::string picked = dir.path() + "/d\xE9j\xE0";
    ASSERT_EQ(mkdir(picked.c_str(), 0700), 0);
    CSiteSettingsDlg s(nullptr, "srv", "/", dir.path() + "/gone\xE9", "c");
    folders = {picked};
    EXPECT_TRUE(s.Validate());
    EXPECT_EQ(s.m_wndLocal->GetValue().utf8_string(), dir.path() + "/d\\xE9j\\xE0");
    ASSERT_TRUE(s.TransferDataFromWindow());
    EXPECT_EQ(s.m_strLocalDir, picked);
    folders = {picked};
    s.m_wndLocal->SetValue("/no/such/folder");
    EXPECT_TRUE(s.OnBrowse());
    ASSERT_TRUE(s.TransferDataFromWindow());
    EXPECT_EQ(s.m_strLocalDir, picked);
}

TEST_F(SiteManagerTest, AStoreThatCannotBeWrittenIsReportedAndTheDialogGoesOn) {
    reg::RegResetStore();
    std::ofstream(dir.path() + "/registry.db") << std::string(4096, 'x');
    testing::internal::CaptureStderr();
    CSiteManagerDlg d(nullptr);
    d.OnNewSite();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].text.find("could not be created"), std::string::npos);
    EXPECT_EQ(TreeItems(d).size(), 3u);
    EXPECT_EQ(d.m_wndTree->GetSelection(), d.m_hSampleFirst);
}

TEST_F(SiteManagerTest, EditSiteStoresTheSettingsOnOkAndNothingOnCancel) {
    ASSERT_TRUE(sites::CreateSite("srv"));
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "srv"));
    dialogAnswer = [&](wxDialog& dlg) {
        auto& s = dynamic_cast<CSiteSettingsDlg&>(dlg);
        s.m_wndRemote->SetValue("/pub/");
        s.m_wndLocal->SetValue(dir.path());
        s.m_wndComments->SetValue("my notes");
        return wxID_CANCEL;
    };
    d.OnEditSite();
    EXPECT_EQ(dialogs, std::vector<std::string>{"Site Settings for srv"});
    EXPECT_EQ(sites::LoadSite("srv").comments, "Comments");

    dialogAnswer = [&](wxDialog& dlg) {
        auto& s = dynamic_cast<CSiteSettingsDlg&>(dlg);
        s.m_wndRemote->SetValue("/pub/");
        s.m_wndLocal->SetValue(dir.path());
        s.m_wndComments->SetValue("my notes");
        return PressOk(s);
    };
    d.OnEditSite();
    EXPECT_TRUE(asked.empty());
    sites::SiteRecord r = sites::LoadSite("srv");
    EXPECT_EQ(r.remoteDir, "/pub/"); // kept as typed
    EXPECT_EQ(r.localDir, dir.path());
    EXPECT_EQ(r.comments, "my notes");

    // OK refuses a folder that does not exist: the message and the browser
    // come, and nothing is stored while the dialog stays open.
    dialogAnswer = [&](wxDialog& dlg) {
        auto& s = dynamic_cast<CSiteSettingsDlg&>(dlg);
        s.m_wndLocal->SetValue(dir.path() + "/missing");
        s.m_wndComments->SetValue("other notes");
        return PressOk(s);
    };
    d.OnEditSite();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Select a Valid Directory");
    EXPECT_EQ(browsed, 1);
    EXPECT_EQ(sites::LoadSite("srv").comments, "my notes");
}

TEST_F(SiteManagerTest, ANewSitesRootFolderPassesOkSoItsCommentsCanChange) {
    ASSERT_TRUE(sites::CreateSite("fresh"));
    ASSERT_EQ(sites::LoadSite("fresh").localDir, "/");
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "fresh"));
    dialogAnswer = [&](wxDialog& dlg) {
        auto& s = dynamic_cast<CSiteSettingsDlg&>(dlg);
        EXPECT_EQ(s.m_wndLocal->GetValue(), "/");
        s.m_wndComments->SetValue("changed");
        return PressOk(s);
    };
    d.OnEditSite();
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(browsed, 0);
    sites::SiteRecord r = sites::LoadSite("fresh");
    EXPECT_EQ(r.comments, "changed");
    EXPECT_EQ(r.localDir, "/");
}

// Simultaneous transfers: the Site Settings' spin box holds 1 to 10, starts at
// the site's stored number, and what is chosen is saved with the site.
TEST_F(SiteManagerTest, SimultaneousTransfersAreSetInSiteSettingsAndKeptWithTheSite) {
    ASSERT_TRUE(sites::CreateSite("alpha"));
    EXPECT_EQ(sites::LoadSite("alpha").transfers, sites::kDefaultTransfers);
    struct Case {
        int stored, typed, kept;
    } cases[] = {{2, 4, 4}, {4, 10, 10}, {10, 1, 1}, {0, 3, 3}, {99, 11, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        CSiteSettingsDlg s(nullptr, "alpha", "/", "/", "c", c.stored);
        EXPECT_EQ(s.m_wndTransfers->GetValue(),
                  std::clamp(c.stored, sites::kMinTransfers, sites::kMaxTransfers));
        s.m_wndTransfers->SetValue(c.typed); // a spin box keeps to its range
        ASSERT_TRUE(s.TransferDataFromWindow());
        EXPECT_EQ(s.m_nTransfers, c.kept);
    }
    CSiteManagerDlg d(nullptr);
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_EQ(d.m_nTransfers, sites::kDefaultTransfers);
    d.m_nTransfers = 6;
    d.OnSaveSettings();
    EXPECT_EQ(sites::LoadSite("alpha").transfers, 6);
    d.m_wndTree->SelectItem(d.m_hSampleSecond);
    EXPECT_EQ(d.m_nTransfers, sites::kDefaultTransfers);
    d.m_wndTree->SelectItem(Find(d, "alpha"));
    EXPECT_EQ(d.m_nTransfers, 6);
}

TEST_F(SiteManagerTest, SiteSettingsInsistOnAValidLocalFolderButLetTheUserOut) {
    CSiteSettingsDlg s(nullptr, "srv", "/", "", "c");
    EXPECT_EQ(s.GetTitle(), "Site Settings for srv");
    // Empty: the message, then the browser; cancelling it ends the round.
    EXPECT_FALSE(s.Validate());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].text, "Select a Valid Directory");
    EXPECT_EQ(asked[0].caption, "Invalid Directory");
    EXPECT_EQ(asked[0].icon, ui::kIconStop);
    EXPECT_EQ(browsed, 1);
    EXPECT_EQ(s.m_wndLocal->GetValue(), "");
    // "\" alone and relative paths are refused; "/" is the root folder.
    EXPECT_FALSE(CSiteSettingsDlg::IsValidDirectory("\\"));
    EXPECT_FALSE(CSiteSettingsDlg::IsValidDirectory("tmp"));
    EXPECT_TRUE(CSiteSettingsDlg::IsValidDirectory("/"));
    // The browser's choice is taken and checked: a bad one asks again.
    s.m_wndLocal->SetValue("/no/such/folder");
    folders = {"/no/such/folder/either", dir.path()};
    EXPECT_TRUE(s.Validate());
    EXPECT_EQ(s.m_wndLocal->GetValue().utf8_string(), dir.path());
    EXPECT_EQ(asked.size(), 3u);
    // A valid folder typed by hand needs no browser.
    browsed = 0;
    s.m_wndLocal->SetValue(dir.path());
    EXPECT_TRUE(s.Validate());
    EXPECT_EQ(browsed, 0);
    // Browse: a long path does not fit the store and counts as no choice.
    folders = {"/" + std::string(160, 'x')};
    EXPECT_TRUE(s.OnBrowse());
    EXPECT_EQ(s.m_wndLocal->GetValue().utf8_string(), dir.path());
}

} // namespace
