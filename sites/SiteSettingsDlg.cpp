#include "sites/SiteSettingsDlg.h"

#include "platform/ui/Modal.h"
#include "resources/Artwork.h"
#include "sites/SiteStore.h"

#include <wx/bmpbuttn.h>
#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

CSiteSettingsDlg::CSiteSettingsDlg(wxWindow* parent, const std::string& siteName,
                                   const std::string& remoteDir, const std::string& localDir,
                                   const std::string& comments, int transfers)
    : wxDialog(parent, 184, "Site Settings"), m_strSiteName(siteName), m_strComments(comments),
      m_strLocalDir(localDir), m_strRemoteDir(remoteDir),
      m_nTransfers(std::clamp(transfers, sites::kMinTransfers, sites::kMaxTransfers)) {
    SetTitle(ui::ToWx("Site Settings for " + m_strSiteName));
    auto* grid = new wxFlexGridSizer(3, 8, 8);
    grid->Add(new wxStaticText(this, wxID_ANY, "Default Remote Directory "), 0,
              wxALIGN_CENTER_VERTICAL);
    m_wndRemote = new wxTextCtrl(this, IDC_REMOTE_DIR, m_keptRemote.Show(m_strRemoteDir),
                                 wxDefaultPosition, wxSize(300, -1));
    grid->Add(m_wndRemote, 1, wxEXPAND);
    grid->AddSpacer(0);
    grid->Add(new wxStaticText(this, wxID_ANY, "Default Local Directory"), 0,
              wxALIGN_CENTER_VERTICAL);
    m_wndLocal = new wxTextCtrl(this, IDC_LOCAL_DIR, m_keptLocal.Show(m_strLocalDir),
                                wxDefaultPosition, wxSize(300, -1));
    grid->Add(m_wndLocal, 1, wxEXPAND);
    m_wndBrowse = new wxBitmapButton(this, IDC_BROWSE, art::LoadBitmap(art::BMP_UP));
    m_wndBrowse->SetToolTip("Browse for Default Directory");
    grid->Add(m_wndBrowse, 0, wxALIGN_CENTER_VERTICAL);
    grid->Add(new wxStaticText(this, wxID_ANY, "Comments"), 0, wxALIGN_TOP);
    m_wndComments = new wxTextCtrl(this, IDC_COMMENTS, m_keptComments.Show(m_strComments),
                                   wxDefaultPosition, wxSize(300, 60));
    grid->Add(m_wndComments, 1, wxEXPAND);
    grid->Add(new wxStaticText(this, wxID_ANY, "Simultaneous transfers"), 0,
              wxALIGN_CENTER_VERTICAL);
    m_wndTransfers =
        new wxSpinCtrl(this, IDC_TRANSFERS, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                       wxSP_ARROW_KEYS, sites::kMinTransfers, sites::kMaxTransfers, m_nTransfers);
    grid->Add(m_wndTransfers, 0);
    grid->AddSpacer(0);
    grid->AddGrowableCol(1);
    // No more can be typed than the store keeps.
    m_wndRemote->SetMaxLength(sites::kDirValue - 1);
    m_wndLocal->SetMaxLength(sites::kDirValue - 1);
    m_wndComments->SetMaxLength(sites::kCommentValue - 1);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    auto* cancel = new wxButton(this, wxID_CANCEL, "Cancel");
    ok->SetDefault();
    buttons->Add(ok, 0, wxRIGHT, 6);
    buttons->Add(cancel);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 1, wxEXPAND | wxALL, 10);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);

    m_wndBrowse->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBrowse(); });
    // The local folder is checked whenever the field loses the focus, except
    // to Cancel: the user can always leave without storing anything.
    m_wndLocal->Bind(wxEVT_KILL_FOCUS, [this, cancel](wxFocusEvent& e) {
        e.Skip();
        if (e.GetWindow() == cancel || e.GetWindow() == m_wndBrowse || m_bValidating)
            return;
        CallAfter([this] {
            if (!IsBeingDeleted())
                Validate();
        });
    });
    ok->SetFocus();
}

bool CSiteSettingsDlg::IsValidDirectory(const std::string& path) {
    // "/" is the root folder here, a folder like any other; "\" typed alone
    // is no path.
    if (path.empty() || path == "\\" || path[0] != '/')
        return false;
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string CSiteSettingsDlg::LocalField() const {
    return m_keptLocal.Get(m_wndLocal->GetValue());
}

bool CSiteSettingsDlg::OnBrowse() {
    wxString shown = m_wndLocal->GetValue();
    std::string remembered = LocalField();
    std::string chosen = ui::BrowseForFolder(this, "Browse for Default Directory", remembered);
    if (chosen.size() > sites::kDirValue - 1) {
        ui::MessageBox(this, "The folder's path is longer than the 149 characters a site keeps.",
                       "Invalid Directory", ui::kButtonsOk, ui::kIconStop);
        chosen.clear();
    }
    bool cancelled = chosen.empty();
    m_wndLocal->ChangeValue(cancelled ? shown : m_keptLocal.Show(chosen));
    if (cancelled)
        return IsValidDirectory(remembered);
    return Validate();
}

bool CSiteSettingsDlg::Validate() {
    if (m_bValidating)
        return false;
    m_bValidating = true;
    bool valid = IsValidDirectory(LocalField());
    // Asked again after each choice, until the folder is valid; cancelling
    // the browser ends the round (the dialog's OK then asks again).
    while (!valid) {
        ui::MessageBox(this, "Select a Valid Directory", "Invalid Directory", ui::kButtonsOk,
                       ui::kIconStop);
        std::string remembered = LocalField();
        std::string chosen = ui::BrowseForFolder(this, "Browse for Default Directory", remembered);
        if (chosen.empty() || chosen.size() > sites::kDirValue - 1)
            break;
        m_wndLocal->ChangeValue(m_keptLocal.Show(chosen));
        valid = IsValidDirectory(chosen);
    }
    m_bValidating = false;
    return valid;
}

bool CSiteSettingsDlg::TransferDataFromWindow() {
    m_strRemoteDir = m_keptRemote.Get(m_wndRemote->GetValue());
    m_strLocalDir = LocalField();
    m_strComments = m_keptComments.Get(m_wndComments->GetValue());
    m_nTransfers =
        std::clamp(m_wndTransfers->GetValue(), sites::kMinTransfers, sites::kMaxTransfers);
    return true;
}
