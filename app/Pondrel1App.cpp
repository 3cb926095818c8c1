#include "app/Pondrel1App.h"

#include "app/FtpUrl.h"
#include "app/MainFrame.h"
#include "app/Status.h"
#include "local/LeftView.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"
#include "resources/Artwork.h"
#include "sites/SiteManagerDlg.h"
#include "sites/SiteStore.h"

#include <wx/dcclient.h>
#include <wx/frame.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

class CSplashWnd : public wxFrame {
public:
    CSplashWnd()
        : wxFrame(nullptr, wxID_ANY, "Orvane", wxPoint(100, 150), wxSize(585, 293),
                  wxFRAME_NO_TASKBAR | wxSTAY_ON_TOP | wxBORDER_NONE),
          m_picture(art::LoadBitmap(art::BMP_SPLASH)) {
        Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
            wxPaintDC dc(this);
            dc.DrawBitmap(m_picture, 0, 0);
        });
    }

private:
    wxBitmap m_picture;
};

} // namespace

void ShowSplash() {
    auto* splash = new CSplashWnd;
    splash->Show();
    splash->Update();
    // Two seconds, during which the window system keeps painting.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        wxTheApp->Yield(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    splash->Destroy();
}

void LoadStdProfileSettings() {
    reg::HKEY key = nullptr;
    if (reg::RegCreateKeyEx(reg::HKEY_CURRENT_USER,
                            "Software\\Local AppWizard-Generated Applications\\Pondrel1\\Recent "
                            "File List",
                            reg::KEY_ALL_ACCESS, &key) == reg::REG_OK)
        reg::RegCloseKey(key);
}

void ConnectToUrl(CMainFrame& frame, const ftpurl::FtpUrl& url) {
    // The frame connects from the values of a Site Manager that ended with
    // Connect; one that is never shown carries the link's values.
    CSiteManagerDlg values(&frame);
    values.m_strHost = url.host;
    values.m_nPort = url.port;
    values.m_strUser = url.user;
    values.m_strPassword = url.password;
    values.m_strRemoteDir = url.path;
    values.m_strLocalDir = frame.GetLeftView()->m_strCurrentDir;
    values.m_bPassive = 1;
    values.m_nEncryption =
        url.requireTls ? sites::kEncryptionRequire : sites::kEncryptionIfAvailable;
    values.m_nProtocol = url.sftp ? sites::kProtocolSftp : sites::kProtocolFtp;
    frame.ConnectToSite(values);
}

void OpenStartArgument(CMainFrame& frame, const std::string& argument) {
    if (!ui::IsUiThread())
        std::abort();
    if (argument.empty()) {
        frame.OnSiteManager();
        return;
    }
    ftpurl::FtpUrl url;
    std::string why;
    if (ftpurl::Parse(argument, &url, &why)) {
        if (url.askPassword) {
            wxPasswordEntryDialog ask(
                &frame, wxString::FromUTF8("Password of " + url.user + " on " + url.host + ":"),
                "Orvane");
            if (ui::RunModal(ask) != wxID_OK) {
                frame.OnSiteManager();
                return;
            }
            url.password = ask.GetValue().utf8_string();
        }
        ConnectToUrl(frame, url);
        return;
    }
    // The link is not repeated: it may hold a password or control characters.
    ui::MessageBox(&frame, "The link Orvane was started with cannot be opened.\n" + why, "Orvane",
                   ui::kButtonsOk, ui::kIconInformation);
    frame.OnSiteManager();
}

bool CPondrel1App::OnInit() {
    ui::SetUiThread();
    LoadStdProfileSettings();
    ShowSplash();
    m_pFrame = new CMainFrame;
    m_pFrame->m_quit = [this](int code) {
        m_nExitCode = code;
        ExitMainLoop();
    };
    SetTopWindow(m_pFrame);
    m_pFrame->SetSize(wxGetClientDisplayRect()); // the size it keeps where nothing maximises
    m_pFrame->Maximize();
    m_pFrame->Show();
    m_pFrame->Update();
    m_pFrame->SetTitle("Orvane");
    // Passwords still in the settings store move to the desktop keyring (the
    // log says where they are kept), then the Site Manager opens, or the link
    // given on the command line is connected to.
    CallAfter([this]() {
        for (const std::string& line : sites::PasswordMoveLines(sites::MovePasswordsToKeyring()))
            m_pFrame->GetStatusPane()->AddLine(line);
        OpenStartArgument(*m_pFrame, m_strStartArgument);
    });
    return true;
}

int CPondrel1App::OnRun() {
    int rc = wxApp::OnRun();
    return m_nExitCode >= 0 ? m_nExitCode : rc;
}
