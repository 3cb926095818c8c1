#include "remote/RightView.h"

#include "local/LocalDirectory.h"
#include "local/PropertiesDlg.h"
#include "platform/fs/Paths.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/FileTypes.h"
#include "platform/ui/ListSelect.h"
#include "platform/ui/Modal.h"
#include "platform/ui/PathCombo.h"
#include "platform/ui/Text.h"
#include "platform/work/Workers.h"
#include "remote/CertificateDlg.h"
#include "remote/HostKeyDlg.h"
#include "remote/RemoteOps.h"
#include "resources/Artwork.h"
#include "resources/Commands.h"
#include "resources/MenuBuilder.h"
#include "sites/SiteStore.h"
#include "transfer/PaneHost.h"
#include "transfer/TransferList.h"

#include <wx/bmpbuttn.h>
#include <wx/menu.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

#include <algorithm>
#include <utility>

namespace {

enum { kPathId = 1005, kUpId = 1006, kListId = 1007 };

const char* const kTitleNotConnected = " Not Connected - Halvard Tremoc, Orvane  v1.0 ";

// Server names compare as the path box matches them: A-Z folded to a-z, all
// other bytes as they are.
bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && local::CompareNoCase(a, b) == 0;
}

// The path box's root item named `name`, or -1.
int FindRootItem(const CPathCombo* combo, const std::string& name) {
    for (unsigned i = 0; i < combo->GetCount(); ++i)
        if (combo->GetIndent(static_cast<int>(i)) == 0 &&
            SameName(combo->GetItemText(static_cast<int>(i)), name))
            return static_cast<int>(i);
    return -1;
}

const char* const kNewFolder = "New Folder";

CFilePane::Parts RemoteParts() {
    CFilePane::Parts parts;
    parts.pathId = kPathId;
    parts.upId = kUpId;
    parts.listId = kListId;
    parts.listTop = 33;
    parts.pathIcons = {art::LoadIconBitmap(art::ICON_OPEN_FOLDER, 16)};
    CFilePane::Pictures& p = parts.pictures;
    art::LoadPanePictures(&p.up, &p.folderIcon, &p.markerActive, &p.markerIdle);
    parts.makeList = [](wxWindow* parent, int id) { return new CRightList(parent, id); };
    return parts;
}

} // namespace

CRightList::CRightList(wxWindow* parent, wxWindowID id)
    : CFileListCtrl(parent, id, {{"Name", 120}, {"Size", 50}, {"Type", 140}, {"Modified", 120}}) {
    EnableDragDrop(true);
}

CRightView::CRightView(wxWindow* parent)
    : CFilePane(parent, RemoteParts()),
      m_browser(std::make_unique<remote::RemoteBrowser>(
          static_cast<remote::IBrowserView*>(this), this,
          remote::RemoteBrowser::Hooks{
              [](std::function<void()> task) { return ui::Post(std::move(task)); },
              [this](const std::string& line) { AddLine(line); },
              [this](bool open) {
                  if (m_setConnected)
                      m_setConnected(open);
              }},
          &m_bBusy)),
      m_bStop(m_browser->StopFlag()), m_strCurrentPath(m_browser->Folder()) {
    m_wndPath = PathBox();
    m_wndList = static_cast<CRightList*>(List());
}

CRightView::~CRightView() {
    Shutdown();
}

void CRightView::Shutdown() {
    *m_alive = false;
    for (const std::shared_ptr<CPaneHost>& host : m_hosts)
        host->Detach();
    // A batch still running ends now (a question it waits for goes away).
    if (m_pEngine && m_pEngine->IsBusy()) {
        m_pEngine->Stop();
        m_pEngine->WaitIdle(10000);
    }
    // Closes the session and any attempt, and joins every worker.
    m_browser->Shutdown();
}

bool CRightView::WaitIdle(int timeoutMs) {
    return work::WaitUntilNone(m_bBusy, std::chrono::milliseconds(timeoutMs));
}

void CRightView::Post(std::function<void()> task) {
    std::shared_ptr<bool> alive = m_alive;
    ui::Post([alive, task = std::move(task)] {
        if (*alive)
            task();
    });
}

void CRightView::AddLine(const std::string& line) {
    if (m_addLine)
        m_addLine(line); // the log takes lines from any thread
}

void CRightView::OnMenuCommand(int wxId, wxCommandEvent& event) {
    if (!HandleCommand(cmd::FromWx(wxId)))
        event.Skip();
}

bool CRightView::NavigationLocked() const {
    // A batch that works on the pane's session holds the server folder (it
    // may change folders on it); one on connections of its own leaves the
    // session, and the folder, to the user.
    return m_bBusy != 0 || (m_pEngine && m_pEngine->BorrowsSession());
}

void CRightView::EnableNavigation(bool disable) {
    ui::RequireUiThread("CRightView::EnableNavigation");
    m_wndUp->Enable(!disable);
    m_wndPath->Enable(!disable);
}

void CRightView::StartConnect(int mode) {
    if (!*m_alive)
        return;
    m_nMode = mode;
    remote::SiteConnection site;
    site.host = m_strHost;
    site.port = m_nPort;
    site.user = m_strUser;
    site.password = m_strPassword;
    site.passive = mode == 1;
    site.encryption = m_nEncryption;
    site.protocol = m_nProtocol;
    m_site = site;
    m_nConnectionLimit = 0; // a new session: the server's limit is not known yet
    // The wait cursor lasts until the attempt's worker is done.
    if (m_browser->Connect(site, m_strRemoteDir))
        wxBeginBusyCursor();
}

OpenSession CRightView::BatchSessions(int* connections) const {
    *connections = std::clamp(m_nTransfers, 1, kMaxConnections);
    if (m_nConnectionLimit > 0)
        *connections = std::min(*connections, m_nConnectionLimit);
    if (!GetSession())
        return {};
    // A copy of the site: the batch may outlive a change of the pane's.
    return [site = m_site] {
        remote::Result why;
        return remote::OpenRemoteFs(site, nullptr, &why);
    };
}

void CRightView::NoteConnections(const BatchResult& result) {
    ui::RequireUiThread("CRightView::NoteConnections");
    if (result.connectionsRefused > 0)
        m_nConnectionLimit = std::max(1, result.connectionsUsed);
}

void CRightView::OnConnectTitle(bool ok, const std::string& host, const std::string& user) {
    if (m_setTitle)
        m_setTitle(ok ? host + " (" + user + ") " + "Halvard Tremoc, - Orvane  v1.0"
                      : kTitleNotConnected);
}

void CRightView::OnConnectDone() {
    wxEndBusyCursor();
}

std::future<remote::Trust> CRightView::AskCertificate(const remote::Certificate& certificate) {
    auto answer = std::make_shared<std::promise<remote::Trust>>();
    std::future<remote::Trust> future = answer->get_future();
    // A pane gone before the question runs drops it: the promise breaks and
    // the connect ends as cancelled.
    Post([this, answer, certificate] {
        // The connect's wait cursor is not for a question to the user.
        bool busy = wxIsBusy();
        if (busy)
            wxEndBusyCursor();
        CCertificateDlg dlg(this, certificate);
        remote::Trust trust = CCertificateDlg::AnswerFor(ui::RunModal(dlg));
        if (busy)
            wxBeginBusyCursor();
        if (trust == remote::Trust::Always) {
            std::string error;
            if (!sites::SaveTrustedCertificate(certificate.server, certificate.fingerprint, &error))
                AddLine("The certificate could not be kept as trusted: " + error);
        }
        answer->set_value(trust);
    });
    return future;
}

std::future<remote::Trust> CRightView::AskHostKey(const remote::HostKey& key) {
    auto answer = std::make_shared<std::promise<remote::Trust>>();
    std::future<remote::Trust> future = answer->get_future();
    Post([this, answer, key] {
        bool busy = wxIsBusy();
        if (busy)
            wxEndBusyCursor();
        CHostKeyDlg dlg(this, key);
        remote::Trust trust = CHostKeyDlg::AnswerFor(ui::RunModal(dlg));
        if (busy)
            wxBeginBusyCursor();
        answer->set_value(trust);
    });
    return future;
}

std::future<std::optional<std::string>> CRightView::AskSecret(remote::SecretKind kind,
                                                              const std::string& prompt) {
    auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
    std::future<std::optional<std::string>> future = answer->get_future();
    Post([this, answer, kind, prompt] {
        bool busy = wxIsBusy();
        if (busy)
            wxEndBusyCursor();
        const char* title = kind == remote::SecretKind::Passphrase ? "Key Passphrase"
                            : kind == remote::SecretKind::Password ? "Password"
                                                                   : "Login";
        // ssh's words about the server: shown as text only.
        wxPasswordEntryDialog dlg(this, wxString::FromUTF8(ui::DisplayText(prompt)), title);
        std::optional<std::string> secret;
        if (ui::RunModal(dlg) == wxID_OK)
            secret = dlg.GetValue().utf8_string();
        if (busy)
            wxBeginBusyCursor();
        answer->set_value(std::move(secret));
    });
    return future;
}

void CRightView::OnListed(const std::string&, const std::vector<remote::Entry>& entries) {
    ui::RequireUiThread("CRightView::OnListed");
    m_rows = RowsFromListing(entries, m_types.get());
    ShowRows();
}

void CRightView::OnPathBack(const std::string& rowsFolder) {
    ui::RequireUiThread("CRightView::OnPathBack");
    m_strListPath = rowsFolder;
    ShowPathChain(rowsFolder);
}

void CRightView::OnRootFolders(const std::vector<std::string>& folders, bool entered,
                               const std::string& dir) {
    ui::RequireUiThread("CRightView::OnRootFolders");
    m_wndPath->ResetContent();
    for (const std::string& f : folders)
        m_wndPath->InsertItem(-1, f, 0, 0);
    if (entered) // otherwise the path and the depth stay; no selection
        ShowPathChain(dir);
}

void CRightView::ShowPathChain(const std::string& dir) {
    ui::RequireUiThread("CRightView::ShowPathChain");
    // The chain of the folder shown before goes; the root folders stay.
    for (int i = static_cast<int>(m_wndPath->GetCount()) - 1; i >= 0; --i)
        if (m_wndPath->GetIndent(i) > 0)
            m_wndPath->DeleteItem(i);
    m_nComboDepth = 1;
    m_strCurrentPath = dir;
    // The first component selects its root folder; each further one is
    // inserted after the selected item, one level deeper.
    int sel = -1;
    size_t start = 1;
    bool first = true;
    while (start < dir.size()) {
        size_t slash = dir.find('/', start);
        std::string part = dir.substr(start, slash == std::string::npos ? slash : slash - start);
        if (first) {
            sel = FindRootItem(m_wndPath, part);
            // Not among the root folders but entered: a link to a folder.
            if (sel < 0)
                sel = m_wndPath->InsertItem(-1, part, 0, 0);
            first = false;
        } else {
            sel = m_wndPath->InsertItem(sel + 1, part, 0, m_nComboDepth);
            ++m_nComboDepth;
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    m_wndPath->SetCurSel(sel);
    --m_nComboDepth;
    if (m_nComboDepth < 0)
        m_nComboDepth = 0;
}

void CRightView::StartRefresh() {
    m_browser->List(m_strListPath);
}

void CRightView::CloseSession() {
    ui::RequireUiThread("CRightView::CloseSession");
    // Aborts what runs on the session (its workers end on their own); the
    // listings still under way are not shown. A batch on connections of its
    // own to this server ends with it.
    if (m_pEngine && m_pEngine->IsBusy())
        m_pEngine->Stop();
    m_browser->Close();
    m_nComboDepth = 0;
    m_nViewStyle = 3;
    m_rows.clear();
    ShowRows();
    m_wndPath->ResetContent();
}

void CRightView::OnDblclkList() {
    if (NavigationLocked())
        return;
    long first = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (first < 0 || static_cast<size_t>(first) >= m_rows.size())
        return;
    std::string name = m_rows[static_cast<size_t>(first)].name; // the server's bytes
    // A name from the server that is no single entry of this folder ("..",
    // "../x", "a/b") would lead elsewhere on the server: it is not entered.
    if (name.empty() || !IsSafeName(name) || !IsConnected())
        return;
    // The path box and the path change when the server has let us in.
    m_browser->Enter(name, NormalisePath(m_strCurrentPath + "/" + name));
}

void CRightView::OnEntered(const std::string& name, const std::string& target) {
    ui::RequireUiThread("CRightView::OnEntered");
    int c = m_wndPath->GetCurSel();
    if (c >= 0) {
        ++m_nComboDepth;
        int item = m_wndPath->InsertItem(c + 1, name, 0, m_nComboDepth);
        m_wndPath->SetCurSel(item);
    } else {
        // At the root: the root folder of that name, or, for a link to a
        // folder (not among the root folders), a root item of its own, so
        // that the chain below it stays right.
        int item = FindRootItem(m_wndPath, name);
        if (item < 0)
            item = m_wndPath->InsertItem(-1, name, 0, 0);
        m_wndPath->SetCurSel(item);
        m_nComboDepth = 0;
    }
    m_strCurrentPath = target;
    m_strListPath = target;
}

void CRightView::OnUpOneLevel() {
    if (!IsConnected() || NavigationLocked())
        return;
    MarkActive();
    if (!PathBoxUp())
        return; // not above a folder of the root
    --m_nComboDepth;
    m_strCurrentPath = files::Parent(m_strCurrentPath);
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}

void CRightView::OnSelchangePath(int s) {
    if (s < 0)
        return;
    m_nComboDepth -= DropPathChainBelow(s);
    if (m_wndPath->GetIndent(s) > 0) {
        // A folder of a chain: the path from its root item down to it.
        int root = s;
        while (root > 0 && m_wndPath->GetIndent(root) > 0)
            --root;
        std::string path;
        for (int i = root; i <= s; ++i)
            path += "/" + m_wndPath->GetItemText(i);
        m_strCurrentPath = NormalisePath(path);
        m_nComboDepth = m_wndPath->GetIndent(s);
        m_wndPath->SetCurSel(s);
    } else {
        std::string name = m_wndPath->GetItemText(s);
        // Only root folders remain; the chosen one is selected.
        for (int i = static_cast<int>(m_wndPath->GetCount()) - 1; i >= 0; --i)
            if (m_wndPath->GetIndent(i) > 0) {
                if (i < s)
                    --s;
                m_wndPath->DeleteItem(i);
            }
        m_wndPath->SetCurSel(s);
        m_strCurrentPath = NormalisePath("/" + name);
        m_nComboDepth = 0;
    }
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}

void CRightView::OnRootDirectory() {
    if (!IsConnected())
        return;
    m_nComboDepth = 0;
    m_strListPath = "/";
    m_browser->ShowRoot(); // the current folder becomes "/" at once
}

void CRightView::OnRefresh() {
    if (!IsConnected())
        return;
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}

void CRightView::SetViewStyle(int style) {
    int bits = style;
    if (style == 1 || style == cmd::ID_VIEW_REPORT)
        bits = 1;
    else if (style == 2 || style == cmd::ID_VIEW_SMALL)
        bits = 3;
    if (bits != 1 && bits != 3)
        return;
    m_nViewStyle = bits;
    m_wndList->SetReportView(bits == 1);
}

void CRightView::OnExecute() {
    AddLine("Unable to read from Remote System");
}

void CRightView::OnNewFolder() {
    ui::RequireUiThread("CRightView::OnNewFolder");
    if (!IsConnected())
        return;
    m_bEditing = 1;
    // The folder is made first; only a folder the server made gets a row,
    // whose name the user then edits.
    m_browser->MakeFolder(NormalisePath(m_strCurrentPath + "/" + kNewFolder));
}

void CRightView::OnFolderMade(bool ok, bool sameListing) {
    ui::RequireUiThread("CRightView::OnFolderMade");
    m_bEditing = 0;
    if (!ok)
        return;
    long item = -1;
    if (sameListing) {
        item = static_cast<long>(m_rows.size());
        m_rows.push_back({kNewFolder, "", "File Folder", "", CFileTypes::kFolderImage, true});
        m_wndList->SetItemCount(item + 1);
    } else {
        // The list was filled again meanwhile: its own row of the folder.
        for (size_t i = 0; i < m_rows.size(); ++i)
            if (m_rows[i].name == kNewFolder)
                item = static_cast<long>(i);
    }
    if (item < 0)
        return;
    for (long i = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i != -1;
         i = m_wndList->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
        m_wndList->SetItemState(i, 0, wxLIST_STATE_SELECTED);
    m_wndList->SetItemState(item, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                            wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
    m_wndList->EnsureVisible(item);
    m_wndList->EditLabel(item);
}

void CRightView::OnRename() {
    ui::RequireUiThread("CRightView::OnRename");
    EditSelectedLabel();
}

void CRightView::OnBeginLabelEdit(wxListEvent&) {
    m_bEditing = 1;
}

void CRightView::OnEndLabelEdit(wxListEvent& event) {
    ui::RequireUiThread("CRightView::OnEndLabelEdit");
    m_bEditing = 0;
    // The rows are the pane's: the list shows a new name once the server has
    // taken it, so the edit itself never changes the row.
    event.Veto();
    std::string oldName, newName;
    if (!EditedName(event, &oldName, &newName))
        return;
    std::vector<std::string> listed;
    for (const Row& r : m_rows)
        listed.push_back(r.name);
    // Neither the entry nor the name it would take (a file on its way there).
    if (InTransfer({oldName, newName}, "Not renamed while a transfer uses it: "))
        return;
    std::string refusal = remote::RenameRefusal(newName, oldName, listed);
    if (!refusal.empty()) {
        AddLine("Unable to rename file ");
        AddLine(refusal);
        return;
    }
    m_browser->Rename(m_strCurrentPath, oldName, newName);
}

void CRightView::OnRenamed(const std::string& oldName, const std::string& newName) {
    ui::RequireUiThread("CRightView::OnRenamed");
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].name != oldName)
            continue;
        Row& row = m_rows[i];
        row.name = newName;
        if (!row.folder) {
            row.type = m_types->TypeNameFor(newName);
            row.image = m_types->ImageFor(newName);
        }
        m_wndList->RefreshItem(static_cast<long>(i));
        break;
    }
}

void CRightView::OnDelete() {
    ui::RequireUiThread("CRightView::OnDelete");
    if (m_bEditing)
        return;
    std::vector<std::string> names = SelectedNames();
    if (names.empty() || !IsConnected() || m_browser->Walking())
        return;
    if (InTransfer(names, "Not deleted while a transfer uses it: "))
        return;
    // Nothing deleted on a server comes back: one question for the selection.
    std::vector<std::string> shown;
    for (const std::string& name : names)
        shown.push_back(ui::DisplayText(name));
    if (ui::MessageBox(this, remote::DeleteQuestion(shown), "Orvane",
                       ui::kButtonsYesNo | ui::kDefaultSecond, ui::kIconQuestion) != ui::kYes)
        return;
    m_browser->Delete(m_strCurrentPath, names);
}

bool CRightView::InTransfer(const std::vector<std::string>& names, const std::string& line) {
    if (!m_pTransfers)
        return false;
    bool any = false;
    for (const std::string& name : names)
        if (m_pTransfers->TouchesRemote("/" + m_strCurrentPath + "/" + name)) {
            AddLine(line + PrintableName(name));
            any = true;
        }
    return any;
}

void CRightView::OnDeleted(const std::string& folder) {
    ui::RequireUiThread("CRightView::OnDeleted");
    // A user who went elsewhere meanwhile keeps the folder shown.
    if (!IsConnected() || m_strCurrentPath != folder)
        return;
    m_strListPath = folder;
    StartRefresh();
}

void CRightView::OnProperties() {
    ui::RequireUiThread("CRightView::OnProperties");
    m_nFileCount = m_nFolderCount = m_nTotalBytes = 0;
    std::vector<std::string> names = SelectedNames();
    if (names.empty() || names.front().empty())
        return;
    if (m_browser->Properties(m_strCurrentPath, names.front()))
        wxBeginBusyCursor();
}

void CRightView::OnProperties(const remote::PropertiesTexts& texts,
                              const remote::FolderCount& count) {
    ui::RequireUiThread("CRightView::OnProperties");
    wxEndBusyCursor();
    m_nFileCount = count.files;
    m_nFolderCount = count.folders;
    m_nTotalBytes = count.bytes;
    // The pane stays busy until the box is closed.
    CPropertiesDlg::ShowProperties(this, texts.type, texts.location, texts.size, texts.contains);
}

wxMenu* CRightView::CreateContextMenu() {
    if (m_strHost.empty())
        return nullptr; // never connected: no menu
    // The remote pane's "Default Directory" is the server's root.
    wxMenu* menu = cmd::BuildMenu(cmd::PaneMenu(), [](const cmd::MenuItem& item) {
        return item.command == cmd::ID_DEFAULT_DIRECTORY ? std::string("Root Directory")
                                                         : item.caption;
    });
    menu->Enable(cmd::ToWx(cmd::ID_UPLOAD), false);
    menu->Enable(cmd::ToWx(cmd::ID_EXECUTE), false);
    if (m_wndList->GetSelectedItemCount() == 0)
        cmd::DisableCommands(
            menu, {cmd::ID_DOWNLOAD, cmd::ID_PROPERTIES, cmd::ID_DELETE, cmd::ID_RENAME});
    if (m_bBusy || (m_localBusy && m_localBusy())) {
        menu->Enable(cmd::ToWx(cmd::ID_DOWNLOAD), false);
        cmd::DisableCommands(menu, cmd::BusyPaneCommands());
    }
    return menu;
}

bool CRightView::HandleCommand(int command) {
    using Handler = void (CRightView::*)();
    static const std::pair<int, Handler> kHandlers[] = {
        {cmd::ID_REFRESH_TOOLBAR, &CRightView::OnRefresh},
        {cmd::ID_REFRESH, &CRightView::OnRefresh},
        {cmd::ID_EXECUTE, &CRightView::OnExecute},
        {cmd::ID_DELETE, &CRightView::OnDelete},
        {cmd::ID_NEW_FOLDER, &CRightView::OnNewFolder},
        {cmd::ID_DOWNLOAD, &CRightView::OnDownload},
        {cmd::ID_PROPERTIES, &CRightView::OnProperties},
        {cmd::ID_UP_ONE_LEVEL, &CRightView::OnUpOneLevel},
        {cmd::ID_DEFAULT_DIRECTORY, &CRightView::OnRootDirectory},
        {cmd::ID_RENAME, &CRightView::OnRename},
    };
    for (const auto& [id, handler] : kHandlers)
        if (id == command) {
            (this->*handler)();
            return true;
        }
    switch (command) {
    case cmd::ID_VIEW_REPORT:
    case cmd::ID_VIEW_SMALL:
        SetViewStyle(command);
        return true;
    case cmd::ID_ARRANGE_NAME:
    case cmd::ID_ARRANGE_TYPE:
    case cmd::ID_ARRANGE_SIZE:
    case cmd::ID_ARRANGE_DATE:
        m_bSortFlag = !m_bSortFlag;
        return true;
    case cmd::ID_SELECT_ALL:
        ui::SelectAllFromTop(m_wndList);
        return true;
    case cmd::ID_SELECT_PAGE:
        ui::SelectCurrentPage(m_wndList, 1); // one row more than the local pane
        return true;
    case cmd::ID_INVERT_SELECTION:
        ui::InvertSelection(m_wndList);
        return true;
    default:
        return command == cmd::ID_UPLOAD; // never from this pane
    }
}
