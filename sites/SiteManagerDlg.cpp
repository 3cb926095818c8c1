#include "sites/SiteManagerDlg.h"

#include "platform/ui/ContextMenu.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"
#include "resources/Artwork.h"
#include "resources/Commands.h"
#include "sites/SiteSettingsDlg.h"
#include "sites/SiteStore.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/imaglist.h>
#include <wx/menu.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <climits>
#include <memory>

namespace {

constexpr int kDetailStatics[] = {1020, 1021, 1022, 1023, 1024, 1052, IDC_ENCRYPTION_CAPTION};
constexpr int kDetailFields[] = {IDC_LABEL, IDC_HOST, IDC_USER, IDC_PASSWORD, IDC_PORT};

} // namespace

CSiteManagerDlg::CSiteManagerDlg(wxWindow* parent)
    : wxDialog(parent, 144, "Site Manager", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
    // The dialog's "Options" menu, where a menu bar would be.
    auto* options = new wxButton(this, wxID_ANY, "Options", wxDefaultPosition, wxDefaultSize,
                                 wxBU_EXACTFIT | wxBORDER_NONE);
    options->Bind(wxEVT_BUTTON, [this, options](wxCommandEvent&) {
        std::unique_ptr<wxMenu> menu(CreateOptionsMenu());
        PopupMenu(menu.get(), options->GetPosition() + wxPoint(0, options->GetSize().y));
    });

    m_wndTree = new wxTreeCtrl(this, IDC_SITE_TREE, wxDefaultPosition, wxSize(220, 300),
                               wxTR_HAS_BUTTONS | wxTR_LINES_AT_ROOT | wxTR_EDIT_LABELS |
                                   wxTR_SINGLE | wxBORDER_SUNKEN);

    auto* box = new wxStaticBoxSizer(wxVERTICAL, this, wxString());
    wxWindow* area = box->GetStaticBox();
    m_wndHint = new wxStaticText(
        area, IDC_HINT,
        "             Select    a   site   to                            View   Details");
    box->Add(m_wndHint, 0, wxALL, 8);
    auto* grid = new wxFlexGridSizer(2, 8, 10);
    const char* captions[] = {"Label for Site ", "FTP Host Address ", "FTP site User Name ",
                              "FTP site Password", "FTP site Connection Port"};
    for (int i = 0; i < 5; ++i) {
        grid->Add(new wxStaticText(area, kDetailStatics[i], captions[i]), 0,
                  wxALIGN_CENTER_VERTICAL);
        auto* edit =
            new wxTextCtrl(area, kDetailFields[i], wxString(), wxDefaultPosition, wxSize(220, -1),
                           kDetailFields[i] == IDC_PASSWORD ? wxTE_PASSWORD : 0);
        // The store keeps 99 characters: no more can be typed.
        edit->SetMaxLength(sites::kShortValue - 1);
        grid->Add(edit, 1, wxEXPAND);
    }
    grid->Add(new wxStaticText(area, IDC_PROTOCOL_CAPTION, "Protocol"), 0, wxALIGN_CENTER_VERTICAL);
    m_wndProtocol = new wxChoice(area, IDC_PROTOCOL);
    // In the order of sites::SiteProtocol.
    m_wndProtocol->Append("FTP");
    m_wndProtocol->Append("SFTP");
    grid->Add(m_wndProtocol, 1, wxEXPAND);
    grid->Add(new wxStaticText(area, 1052, "Mode"), 0, wxALIGN_CENTER_VERTICAL);
    m_wndMode = new wxChoice(area, IDC_MODE);
    m_wndMode->Append("FTP"); // the list is sorted: "FTP" is entry 0
    m_wndMode->Append("Passive");
    grid->Add(m_wndMode, 1, wxEXPAND);
    grid->Add(new wxStaticText(area, IDC_ENCRYPTION_CAPTION, "Encryption"), 0,
              wxALIGN_CENTER_VERTICAL);
    m_wndEncryption = new wxChoice(area, IDC_ENCRYPTION);
    // In the order of sites::SiteEncryption.
    m_wndEncryption->Append("Only use plain FTP (insecure)");
    m_wndEncryption->Append("Use explicit FTP over TLS if available");
    m_wndEncryption->Append("Require explicit FTP over TLS");
    grid->Add(m_wndEncryption, 1, wxEXPAND);
    grid->AddGrowableCol(1);
    box->Add(grid, 1, wxEXPAND | wxALL, 8);

    auto* middle = new wxBoxSizer(wxHORIZONTAL);
    middle->Add(m_wndTree, 0, wxEXPAND | wxRIGHT, 10);
    middle->Add(box, 1, wxEXPAND);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    for (auto [id, label] :
         {std::pair{IDC_NEW_SITE, "New Site"}, std::pair{IDC_DELETE_SITE, "Delete Site"},
          std::pair{IDC_SAVE_SETTINGS, "Save Settings"}, std::pair{IDC_EDIT_SITE, "Edit Site"}})
        buttons->Add(new wxButton(this, id, label), 0, wxRIGHT, 6);
    buttons->AddStretchSpacer();
    m_wndConnect = new wxButton(this, wxID_OK, "Connect");
    m_wndConnect->SetDefault();
    buttons->Add(m_wndConnect, 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, wxID_CANCEL, "Exit"));

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(options, 0, wxLEFT | wxTOP, 6);
    top->Add(middle, 1, wxEXPAND | wxALL, 10);
    top->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);

    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnNewSite(); }, IDC_NEW_SITE);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnDeleteSite(); }, IDC_DELETE_SITE);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnSaveSettings(); }, IDC_SAVE_SETTINGS);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnEditSite(); }, IDC_EDIT_SITE);
    Bind(
        wxEVT_BUTTON, [this](wxCommandEvent&) { OnConnect(); }, wxID_OK);
    Bind(
        wxEVT_MENU, [this](wxCommandEvent& e) { OnCommand(cmd::FromWx(e.GetId())); },
        cmd::ToWx(cmd::ID_DELETE), cmd::ToWx(cmd::ID_EDIT_SITE));
    m_wndMode->Bind(wxEVT_CHOICE, [this](wxCommandEvent&) {
        m_bPassive = m_wndMode->GetSelection() != 0 ? 1 : 0;
    });
    m_wndEncryption->Bind(
        wxEVT_CHOICE, [this](wxCommandEvent&) { m_nEncryption = m_wndEncryption->GetSelection(); });
    m_wndProtocol->Bind(wxEVT_CHOICE,
                        [this](wxCommandEvent&) { SetProtocol(m_wndProtocol->GetSelection()); });
    m_wndTree->Bind(wxEVT_TREE_SEL_CHANGED, [this](wxTreeEvent&) { OnSelChanged(); });
    m_wndTree->Bind(wxEVT_TREE_BEGIN_LABEL_EDIT, &CSiteManagerDlg::OnBeginLabelEdit, this);
    m_wndTree->Bind(wxEVT_TREE_END_LABEL_EDIT, &CSiteManagerDlg::OnEndLabelEdit, this);
    ui::BindContextMenu(m_wndTree, wxEVT_TREE_ITEM_MENU, [this] { OnContextMenu(); });

    // Initialisation: Mode on "FTP", the image list, the tree.
    m_wndMode->SetSelection(0);
    SetEncryption(sites::kEncryptionIfAvailable);
    SetProtocol(sites::kProtocolFtp);
    m_pImageList = new wxImageList(16, 16, true, 0);
    m_pImageList->Add(art::LoadIconBitmap(art::ICON_SITE_ROOT));
    m_pImageList->Add(art::LoadIconBitmap(art::ICON_SITE));
    m_wndTree->SetImageList(m_pImageList);
    SetField(IDC_PORT, "0");
    BuildTree();
    m_wndTree->SetFocus();
}

CSiteManagerDlg::~CSiteManagerDlg() {
    m_wndTree->SetImageList(nullptr);
    delete m_pImageList;
}

namespace {

// A stored site's name, beside the text the tree shows for it.
struct SiteItemData : wxTreeItemData {
    explicit SiteItemData(std::string n) : name(std::move(n)) {}
    std::string name;
};

} // namespace

std::string CSiteManagerDlg::Field(int id) const {
    auto* edit = dynamic_cast<wxTextCtrl*>(FindWindow(id));
    if (!edit)
        return std::string();
    auto kept = m_fields.find(id);
    return kept != m_fields.end() ? kept->second.Get(edit->GetValue())
                                  : edit->GetValue().utf8_string();
}

void CSiteManagerDlg::SetField(int id, const std::string& text) {
    if (auto* edit = dynamic_cast<wxTextCtrl*>(FindWindow(id)))
        edit->ChangeValue(m_fields[id].Show(text));
}

std::string CSiteManagerDlg::SiteName(const wxTreeItemId& item) const {
    if (auto* data = dynamic_cast<SiteItemData*>(m_wndTree->GetItemData(item)))
        return data->name;
    return m_wndTree->GetItemText(item).utf8_string();
}

wxTreeItemId CSiteManagerDlg::AppendSite(const std::string& name) {
    return m_wndTree->AppendItem(m_hRoot, ui::ToWx(name), 1, 1, new SiteItemData(name));
}

void CSiteManagerDlg::BuildTree() {
    m_hRoot = m_wndTree->AddRoot(sites::kRootLabel, 0, 0);
    m_hSampleFirst = m_wndTree->AppendItem(m_hRoot, sites::FirstSample().name, 1, 1);
    m_hSampleSecond = m_wndTree->AppendItem(m_hRoot, sites::SecondSample().name, 1, 1);
    for (const std::string& name : sites::ListSites())
        AppendSite(name);
    m_wndTree->SelectItem(m_hSampleFirst);
    OnSelChanged(); // also when the selection was there already
    m_wndTree->Expand(m_hRoot);
}

void CSiteManagerDlg::ShowSiteDetails(bool show) {
    m_wndHint->Show(!show);
    for (int id : kDetailStatics)
        FindWindow(id)->Show(show);
    for (int id : kDetailFields)
        FindWindow(id)->Show(show);
    m_wndProtocol->Show(show);
    FindWindow(IDC_PROTOCOL_CAPTION)->Show(show);
    m_wndMode->Show(show);
    m_wndEncryption->Show(show);
    for (int id : {static_cast<int>(wxID_OK), static_cast<int>(IDC_EDIT_SITE),
                   static_cast<int>(IDC_DELETE_SITE), static_cast<int>(IDC_SAVE_SETTINGS)})
        FindWindow(id)->Enable(show);
    Layout();
}

void CSiteManagerDlg::SelectSample(const char* label, const char* host) {
    SetField(IDC_LABEL, label);
    SetField(IDC_HOST, host);
    SetField(IDC_USER, "anonymous");
    SetField(IDC_PASSWORD, "");
    SetField(IDC_PORT, "21");
    m_wndMode->SetSelection(0);
    m_bPassive = 0;
    m_nTransfers = sites::kDefaultTransfers;
    SetEncryption(sites::kEncryptionIfAvailable);
    SetProtocol(sites::kProtocolFtp);
    ShowSiteDetails(true);
}

void CSiteManagerDlg::SetEncryption(int encryption) {
    ui::RequireUiThread("CSiteManagerDlg::SetEncryption");
    m_nEncryption = encryption;
    m_wndEncryption->SetSelection(encryption);
}

void CSiteManagerDlg::SetProtocol(int protocol) {
    ui::RequireUiThread("CSiteManagerDlg::SetProtocol");
    protocol = protocol == sites::kProtocolSftp ? sites::kProtocolSftp : sites::kProtocolFtp;
    const std::string port = Field(IDC_PORT);
    if (protocol != m_nProtocol && port == sites::DefaultPort(m_nProtocol))
        SetField(IDC_PORT, sites::DefaultPort(protocol));
    // A new site's remote folder, "/", is an FTP server's top; over SFTP the
    // top of the server's disk is rarely what is meant, and the folder the
    // login leads to (the home folder) is what "." opens.
    if (protocol != m_nProtocol && protocol == sites::kProtocolSftp && m_strRemoteDir == "/")
        m_strRemoteDir = ".";
    else if (protocol != m_nProtocol && protocol == sites::kProtocolFtp && m_strRemoteDir == ".")
        m_strRemoteDir = "/";
    m_nProtocol = protocol;
    m_wndProtocol->SetSelection(protocol);
    const bool ftp = protocol == sites::kProtocolFtp;
    for (int id : {1052, static_cast<int>(IDC_MODE), static_cast<int>(IDC_ENCRYPTION),
                   static_cast<int>(IDC_ENCRYPTION_CAPTION)})
        if (wxWindow* w = FindWindow(id))
            w->Enable(ftp);
}

void CSiteManagerDlg::OnSelChanged() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (item.IsOk() && item == m_hSampleFirst)
        SelectSample(sites::FirstSample().name, sites::FirstSample().host);
    else if (item.IsOk() && item == m_hSampleSecond)
        SelectSample(sites::SecondSample().name, sites::SecondSample().host);
    else
        LoadSelectedSite();
}

void CSiteManagerDlg::LoadSelectedSite() {
    wxTreeItemId item = m_wndTree->GetSelection();
    std::string name = item.IsOk() ? SiteName(item) : "";
    if (!item.IsOk() || name == sites::kRootLabel) {
        ShowSiteDetails(false);
        return;
    }
    sites::SiteRecord r = sites::LoadSite(name);
    m_strLabel = r.label;
    m_strUser = r.user;
    m_strHost = r.host;
    m_strPassword = r.password;
    m_strRemoteDir = r.remoteDir;
    m_strLocalDir = r.localDir;
    m_strComments = r.comments;
    m_nTransfers = r.transfers;
    SetField(IDC_HOST, m_strHost);
    SetField(IDC_USER, m_strUser);
    SetField(IDC_PASSWORD, m_strPassword);
    SetEncryption(r.encryption);
    ShowSiteDetails(true);
    // The label field shows the site's name, not its stored label.
    SetField(IDC_PORT, r.port);
    m_nProtocol = r.protocol; // the stored port stays as it is
    SetProtocol(r.protocol);
    SetField(IDC_LABEL, name);
}

bool CSiteManagerDlg::StoreFailed(bool ok, const std::string& what, const std::string& error) {
    if (ok)
        return false;
    ui::MessageBox(this, what + "\n" + error, "Site Manager", ui::kButtonsOk, ui::kIconStop);
    return true;
}

void CSiteManagerDlg::OnNewSite() {
    CNewSiteDlg dlg(this);
    std::string name = ui::RunModal(dlg) == wxID_OK ? dlg.m_strName : "New Site";
    std::string refused = sites::CheckSiteName(name);
    if (!refused.empty()) {
        ui::MessageBox(this, refused, "Site Manager", ui::kButtonsOk, ui::kIconStop);
        return;
    }
    std::string error;
    if (StoreFailed(sites::CreateSite(name, &error), "The site could not be created.", error))
        return;
    m_wndTree->SelectItem(AppendSite(name));
}

void CSiteManagerDlg::OnSaveSettings() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (!item.IsOk() || IsSample(item) || item == m_hRoot)
        return;
    std::string name = SiteName(item);
    if (name == sites::kRootLabel)
        return;
    std::string error;
    StoreFailed(sites::SaveSite(name, Field(IDC_USER), Field(IDC_HOST), Field(IDC_LABEL),
                                Field(IDC_PASSWORD), Field(IDC_PORT), m_strLocalDir, m_strRemoteDir,
                                m_strComments, m_nEncryption, m_nProtocol, m_nTransfers, &error),
                "The site could not be saved.", error);
    LoadSelectedSite();
}

void CSiteManagerDlg::OnDeleteSite() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (!item.IsOk() || IsSample(item) || item == m_hRoot)
        return;
    std::string error;
    if (StoreFailed(sites::DeleteSite(SiteName(item), &error), "The site could not be deleted.",
                    error))
        return;
    m_wndTree->DeleteAllItems();
    BuildTree();
}

void CSiteManagerDlg::OnEditSite() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (!item.IsOk() || IsSample(item) || item == m_hRoot)
        return;
    CSiteSettingsDlg dlg(this, SiteName(item), m_strRemoteDir, m_strLocalDir, m_strComments,
                         m_nTransfers);
    if (ui::RunModal(dlg) != wxID_OK)
        return;
    m_strRemoteDir = dlg.m_strRemoteDir;
    m_strLocalDir = dlg.m_strLocalDir;
    m_strComments = dlg.m_strComments;
    m_nTransfers = dlg.m_nTransfers;
    OnSaveSettings();
}

void CSiteManagerDlg::OnRename() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (item.IsOk())
        m_wndTree->EditLabel(item);
}

void CSiteManagerDlg::OnBeginLabelEdit(wxTreeEvent& event) {
    // The root and the samples are not sites: their names stay.
    if (event.GetItem() == m_hRoot || IsSample(event.GetItem())) {
        event.Veto();
        return;
    }
    m_strOldName = SiteName(event.GetItem());
}

void CSiteManagerDlg::OnEndLabelEdit(wxTreeEvent& event) {
    wxTreeItemId item = m_wndTree->GetSelection();
    std::string name = event.GetLabel().utf8_string();
    if (IsSample(item) || event.IsEditCancelled() || name.empty() || name == m_strOldName) {
        event.Veto();
        return;
    }
    std::string refused = sites::CheckSiteName(name, m_strOldName);
    if (!refused.empty()) {
        event.Veto();
        ui::MessageBox(this, refused, "Site Manager", ui::kButtonsOk, ui::kIconStop);
        return;
    }
    std::string error;
    if (StoreFailed(sites::RenameSite(m_strOldName, name, Field(IDC_USER), Field(IDC_HOST),
                                      Field(IDC_LABEL), Field(IDC_PASSWORD), Field(IDC_PORT),
                                      &error),
                    "The site could not be renamed.", error)) {
        event.Veto();
        return;
    }
    if (auto* data = dynamic_cast<SiteItemData*>(m_wndTree->GetItemData(item)))
        data->name = name;
}

wxMenu* CSiteManagerDlg::CreateOptionsMenu() const {
    auto* menu = new wxMenu;
    menu->Append(cmd::ToWx(cmd::ID_NEW_SITE), "New Site");
    menu->Append(cmd::ToWx(cmd::ID_SAVE_SETTINGS), "Save Settings");
    menu->Append(cmd::ToWx(cmd::ID_DELETE), "Delete Site");
    menu->Append(cmd::ToWx(cmd::ID_RENAME), "Rename");
    menu->Append(cmd::ToWx(cmd::ID_EDIT_SITE), "Edit Site");
    // Only a stored site can be saved, deleted, renamed or edited.
    wxTreeItemId item = m_wndTree->GetSelection();
    bool site = item.IsOk() && item != m_hRoot && !IsSample(item);
    for (int id : {cmd::ID_SAVE_SETTINGS, cmd::ID_DELETE, cmd::ID_RENAME, cmd::ID_EDIT_SITE})
        menu->Enable(cmd::ToWx(id), site);
    return menu;
}

void CSiteManagerDlg::OnContextMenu() {
    wxTreeItemId item = m_wndTree->GetSelection();
    if (!item.IsOk() || item == m_hRoot)
        return;
    std::unique_ptr<wxMenu> menu(CreateOptionsMenu());
    PopupMenu(menu.get());
}

void CSiteManagerDlg::OnCommand(int command) {
    switch (command) {
    case cmd::ID_NEW_SITE:
        OnNewSite();
        break;
    case cmd::ID_SAVE_SETTINGS:
        OnSaveSettings();
        break;
    case cmd::ID_DELETE:
        OnDeleteSite();
        break;
    case cmd::ID_RENAME:
        OnRename();
        break;
    case cmd::ID_EDIT_SITE:
        OnEditSite();
        break;
    default:
        break;
    }
}

void CSiteManagerDlg::OnConnect() {
    wxString portText = wxString::FromUTF8(Field(IDC_PORT)).Trim().Trim(false);
    long port = 0;
    if (!portText.ToLong(&port) || port < INT_MIN || port > INT_MAX) {
        ui::MessageBox(this, "Please enter an integer.", "Orvane", ui::kButtonsOk, ui::kIconStop);
        FindWindow(IDC_PORT)->SetFocus();
        return;
    }
    m_strHost = Field(IDC_HOST);
    m_strPassword = Field(IDC_PASSWORD);
    m_strLabel = Field(IDC_LABEL);
    m_strUser = Field(IDC_USER);
    m_nPort = static_cast<int>(port);
    m_nEncryption = m_wndEncryption->GetSelection();
    m_nProtocol = m_wndProtocol->GetSelection();
    EndModal(wxID_OK);
}

CNewSiteDlg::CNewSiteDlg(wxWindow* parent) : wxDialog(parent, 145, "New Site Dialog") {
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(new wxStaticText(this, wxID_ANY, "Enter New Site Name"), 0, wxALL, 10);
    m_wndName = new wxTextCtrl(this, 1026, wxString::FromUTF8(m_strName), wxDefaultPosition,
                               wxSize(260, -1), wxTE_NOHIDESEL);
    m_wndName->SetMaxLength(sites::kMaxNameLength);
    top->Add(m_wndName, 0, wxEXPAND | wxLEFT | wxRIGHT, 10);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    ok->SetDefault();
    buttons->Add(ok, 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, wxID_CANCEL, "Cancel"));
    top->Add(buttons, 0, wxALIGN_RIGHT | wxALL, 10);
    SetSizerAndFit(top);
    m_wndName->SetFocus();
    m_wndName->SelectAll();
}

bool CNewSiteDlg::TransferDataFromWindow() {
    m_strName = m_wndName->GetValue().utf8_string();
    return true;
}
