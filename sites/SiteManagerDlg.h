// The Site Manager: picks the site to connect to.
#pragma once

#include <wx/dialog.h>

#include <string>

class wxTextCtrl;
class wxChoice;

class CSiteManagerDlg : public wxDialog {
public:
    explicit CSiteManagerDlg(wxWindow* parent);

    // The values shown when Connect was pressed.
    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    int m_nPort = 0;
    std::string m_strLocalDir;
    std::string m_strRemoteDir;
    int m_bPassive = 0;

    bool TransferDataFromWindow() override;

private:
    wxTextCtrl* m_host;
    wxTextCtrl* m_user;
    wxTextCtrl* m_password;
    wxTextCtrl* m_port;
    wxChoice* m_mode;
};
