// The application object: start-up and the program's exit code.
#pragma once

#include <wx/app.h>

class CMainFrame;

class CPondrel1App : public wxApp {
public:
    bool OnInit() override;
    int OnRun() override;

    CMainFrame* GetMainFrame() const { return m_pFrame; }

private:
    CMainFrame* m_pFrame = nullptr;
    int m_nExitCode = -1;
};

// Shows the splash picture for two seconds while the window system keeps running.
void ShowSplash();

// The framework's per-user profile key, with its (never filled) recent-file list.
void LoadStdProfileSettings();
