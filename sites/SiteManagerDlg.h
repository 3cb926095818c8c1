// The Site Manager: picks the site to connect to and keeps the stored sites.
#pragma once

#include <wx/dialog.h>
#include <wx/treectrl.h>

#include "platform/ui/Text.h"

#include <map>
#include <string>

class wxButton;
class wxChoice;
class wxImageList;
class wxMenu;
class wxStaticText;
class wxTextCtrl;

// Control ids of the Site Manager.
enum {
    IDC_SITE_TREE = 1012,
    IDC_NEW_SITE = 1013,
    IDC_DELETE_SITE = 1028,
    IDC_SAVE_SETTINGS = 1027,
    IDC_EDIT_SITE = 1046,
    IDC_HINT = 1025,
    IDC_LABEL = 1015,
    IDC_HOST = 1008,
    IDC_USER = 1009,
    IDC_PASSWORD = 1010,
    IDC_PORT = 1011,
    IDC_MODE = 1051,
    IDC_ENCRYPTION = 1053,
    IDC_ENCRYPTION_CAPTION = 1054,
    IDC_PROTOCOL = 1055,
    IDC_PROTOCOL_CAPTION = 1056,
};

class CSiteManagerDlg : public wxDialog {
public:
    explicit CSiteManagerDlg(wxWindow* parent);
    ~CSiteManagerDlg() override;

    wxTreeItemId m_hRoot, m_hSampleFirst, m_hSampleSecond;
    wxImageList* m_pImageList = nullptr;
    // The selected stored site's values this dialog does not show.
    std::string m_strLocalDir, m_strComments, m_strRemoteDir;
    std::string m_strOldName;
    int m_bPassive = 0;
    wxChoice* m_wndMode = nullptr;
    // The site's encryption (sites::SiteEncryption), the entry of the
    // Encryption list; stored with the site.
    int m_nEncryption = 1;
    wxChoice* m_wndEncryption = nullptr;
    // The site's protocol (sites::SiteProtocol), the entry of the Protocol
    // list; stored with the site. Mode and Encryption are FTP's alone.
    int m_nProtocol = 0;
    wxChoice* m_wndProtocol = nullptr;
    // The site's simultaneous transfers (Site Settings); stored with the site.
    int m_nTransfers = 2;
    wxButton* m_wndConnect = nullptr;
    wxTreeCtrl* m_wndTree = nullptr;
    // The fields' values as exchanged by Connect.
    std::string m_strHost, m_strPassword, m_strLabel, m_strUser;
    int m_nPort = 0;

    void ShowSiteDetails(bool show);
    // Shows `encryption` in the Encryption list.
    void SetEncryption(int encryption);
    // Shows `protocol` in the Protocol list, greys what does not apply to it
    // and, when the port field holds the other protocol's port (as set, not
    // typed over), puts this one's there; a remote folder left at the new
    // site's "/" becomes the login folder (".") for SFTP, and back.
    void SetProtocol(int protocol);
    void LoadSelectedSite();
    void OnNewSite();
    void OnSaveSettings();
    void OnDeleteSite();
    void OnEditSite();
    void OnRename();
    void OnConnect();

    // The text of a field (1015, 1008 to 1011): the stored bytes as long as
    // the field shows them unchanged, also when they are not UTF-8.
    std::string Field(int id) const;
    void SetField(int id, const std::string& text);
    // The stored name of a site in the tree (its bytes, also when they are
    // not UTF-8 and the tree shows them escaped).
    std::string SiteName(const wxTreeItemId& item) const;
    // The "Options" menu as it stands for the current selection.
    wxMenu* CreateOptionsMenu() const;
    bool IsSample(const wxTreeItemId& item) const {
        return item.IsOk() && (item == m_hSampleFirst || item == m_hSampleSecond);
    }

private:
    void BuildTree();
    wxTreeItemId AppendSite(const std::string& name);
    void OnSelChanged();
    void SelectSample(const char* label, const char* host);
    void OnBeginLabelEdit(wxTreeEvent& event);
    void OnEndLabelEdit(wxTreeEvent& event);
    void OnContextMenu();
    void OnCommand(int command);
    bool StoreFailed(bool ok, const std::string& what, const std::string& error);

    wxStaticText* m_wndHint = nullptr;
    std::map<int, ui::KeptBytes> m_fields;
};

// Asks for a new site's name.
class CNewSiteDlg : public wxDialog {
public:
    explicit CNewSiteDlg(wxWindow* parent);
    bool TransferDataFromWindow() override;
    std::string m_strName = "New Site";
    wxTextCtrl* m_wndName = nullptr;
};
