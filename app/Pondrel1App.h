// The application object: start-up and the program's exit code.
#pragma once

#include <wx/app.h>

#include <string>

class CMainFrame;
namespace ftpurl {
struct FtpUrl;
}

class CPondrel1App : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

    CMainFrame* GetMainFrame() const { return m_pFrame; }

    // The program's argument, as the command line gave it (bytes, not
    // converted): an ftp:// link to open instead of the Site Manager.
    std::string m_strStartArgument;

private:
    CMainFrame* m_pFrame = nullptr;
    int m_nExitCode = -1;
};

// Shows the splash picture for two seconds while the window system keeps running.
void ShowSplash();

// What the frame does once it is up: without an argument, the Site Manager;
// with an ftp:// link, a connection to it (asking for the password of a user
// the link gives none for); with anything else, a message saying why, then
// the Site Manager.
void OpenStartArgument(CMainFrame& frame, const std::string& argument);

// Connects the frame to the server of a link, as a one-off connection: no
// site is stored, and the local pane stays where it is.
void ConnectToUrl(CMainFrame& frame, const ftpurl::FtpUrl& url);

// The framework's per-user profile key, with its (never filled) recent-file list.
void LoadStdProfileSettings();
