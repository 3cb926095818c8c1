#include "app/Pondrel1App.h"

#include "app/MainFrame.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Dispatcher.h"
#include "resources/Artwork.h"

#include <wx/dcclient.h>
#include <wx/frame.h>
#include <wx/utils.h>

#include <chrono>
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
    // The Site Manager opens as soon as the window is up.
    CallAfter([this]() { m_pFrame->OnSiteManager(); });
    return true;
}

int CPondrel1App::OnRun() {
    int rc = wxApp::OnRun();
    return m_nExitCode >= 0 ? m_nExitCode : rc;
}
