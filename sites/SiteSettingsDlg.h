// Site Settings: a stored site's default folders, comments and how many
// transfers it runs at once.
#pragma once

#include <wx/dialog.h>

#include "platform/ui/Text.h"

#include <string>

class wxButton;
class wxSpinCtrl;
class wxTextCtrl;

enum {
    IDC_COMMENTS = 1037,
    IDC_REMOTE_DIR = 1038,
    IDC_LOCAL_DIR = 1039,
    IDC_BROWSE = 1040,
    IDC_TRANSFERS = 1041,
};

class CSiteSettingsDlg : public wxDialog {
public:
    CSiteSettingsDlg(wxWindow* parent, const std::string& siteName, const std::string& remoteDir,
                     const std::string& localDir, const std::string& comments, int transfers = 2);

    std::string m_strSiteName;
    wxButton* m_wndBrowse = nullptr;
    std::string m_strComments;
    std::string m_strLocalDir;
    std::string m_strRemoteDir = "/";
    int m_nTransfers = 2; // sites::kMinTransfers to kMaxTransfers

    // Shows the folder browser; a chosen folder replaces the field's text.
    // Then validates. Returns true when the field holds a valid folder.
    bool OnBrowse();
    // Checks the local folder; an invalid one brings the message and the
    // browser, until a valid folder is chosen or the browser is cancelled.
    bool Validate() override;
    bool TransferDataFromWindow() override;

    // A folder that exists, given absolutely ("/", the root, included).
    static bool IsValidDirectory(const std::string& path);

    wxTextCtrl* m_wndRemote = nullptr;
    wxTextCtrl* m_wndLocal = nullptr;
    wxTextCtrl* m_wndComments = nullptr;
    wxSpinCtrl* m_wndTransfers = nullptr;

private:
    // The local folder the field holds (its stored bytes while unchanged).
    std::string LocalField() const;

    bool m_bValidating = false;
    // The stored values as the fields show them.
    ui::KeptBytes m_keptRemote, m_keptLocal, m_keptComments;
};
