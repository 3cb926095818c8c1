// The uninstaller's one window.
#pragma once

#include "uninstall/Uninstaller.h"

#include <wx/dialog.h>

#include <string>

class wxButton;
class wxTextCtrl;

class COrvaneUninstallDlg : public wxDialog {
public:
    explicit COrvaneUninstallDlg(wxWindow* parent);

    // The log, as shown in control 1002.
    std::string m_strLog;
    CUninstaller m_uninstaller;

    void OnUninstall();
    void OnAbout();

    wxButton* m_wndUninstall;
    wxButton* m_wndExit;

private:
    wxTextCtrl* m_wndLog;
    void AppendLog(const std::string& text);
};

// "About OrvaneUninstall": the version line and OK.
class CUninstallAboutDlg : public wxDialog {
public:
    explicit CUninstallAboutDlg(wxWindow* parent);
};
