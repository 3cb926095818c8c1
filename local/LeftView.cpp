#include "local/LeftView.h"

#include "local/PropertiesDlg.h"
#include "platform/fs/Paths.h"
#include "platform/shell/Shell.h"
#include "platform/ui/ContextMenu.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/FileTypes.h"
#include "platform/ui/ListSelect.h"
#include "platform/ui/MarkerStrip.h"
#include "platform/ui/Modal.h"
#include "platform/ui/PathCombo.h"
#include "platform/ui/Text.h"
#include "resources/Artwork.h"
#include "resources/Commands.h"
#include "resources/MenuBuilder.h"
#include "transfer/PaneHost.h"
#include "transfer/TransferList.h"

#include <wx/bmpbuttn.h>
#include <wx/imaglist.h>
#include <wx/menu.h>
#include <wx/statbmp.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum { kComboId = 1000, kListId = 1001, kUpId = 1002 };

// A size as the list and the Properties box show it; a size below zero
// (none the file system gives) shows as "0 KB".
std::string SizeText(std::int64_t bytes) {
    return files::KbText(bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0);
}

// Renames within one folder, refusing to replace an entry of the new name.
bool RenameNoReplace(const std::string& from, const std::string& to) {
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

CFilePane::Parts LocalParts() {
    CFilePane::Parts parts;
    parts.pathId = kComboId;
    parts.upId = kUpId;
    parts.listId = kListId;
    parts.pathIcons = {art::LoadIconBitmap(art::ICON_DRIVE, 17),
                       art::LoadIconBitmap(art::ICON_OPEN_FOLDER, 17)};
    CFilePane::Pictures& p = parts.pictures;
    art::LoadPanePictures(&p.up, &p.folderIcon, &p.markerActive, &p.markerIdle);
    parts.makeList = [](wxWindow* parent, int id) { return new CLeftList(parent, id); };
    return parts;
}

} // namespace

CLeftList::CLeftList(wxWindow* parent, wxWindowID id)
    : CFileListCtrl(parent, id, {{"Name", 140}, {"Size", 40}, {"Type", 140}, {"Modified", 120}}) {
    EnableDragDrop(false);
}

CLeftView::CLeftView(wxWindow* parent) : CFilePane(parent, LocalParts()) {
    m_wndFolderCombo = PathBox();
    m_wndList = static_cast<CLeftList*>(List());
    FillDriveCombo();
}

CLeftView::~CLeftView() {
    EndTransfers();
}

void CLeftView::OnColumnClick(int column) {
    // Name, Size, Type, Modified sort by name, size, type key and date text.
    static const int keys[] = {CLocalDirectory::kName, CLocalDirectory::kSize,
                               CLocalDirectory::kType, CLocalDirectory::kModified};
    if (column >= 0 && column < 4)
        SortBy(keys[column]);
}

void CLeftView::OnMenuCommand(int wxId, wxCommandEvent& event) {
    if (!HandleCommand(cmd::FromWx(wxId)))
        event.Skip();
}

void CLeftView::FillDriveCombo() {
    // One drive: the root of the file system.
    m_wndFolderCombo->InsertItem(-1, "/", 0, 0);
    if (m_bFirstFill) {
        m_strCurrentDir = "/";
        m_wndFolderCombo->SetCurSel(0);
        FillFileList(m_strCurrentDir);
    }
}

void CLeftView::FillFileList(const std::string& path) {
    wxBusyCursor wait;
    m_strCurrentDir = path;
    CLocalDirectory dir;
    if (!dir.Scan(path)) {
        // Rows of another folder must not stand under this folder's name.
        m_rows.clear();
        ShowRows();
        return;
    }
    dir.Sort(m_nSortKey, m_abDescending[m_nSortKey] != 0);
    m_rows.clear();
    m_rows.reserve(dir.m_arrFolders.size() + dir.m_arrFiles.size());
    for (const CLocalEntry& e : dir.m_arrFolders)
        m_rows.push_back(
            {e.m_strName, "", "File Folder", e.m_strModified, CFileTypes::kFolderImage, true});
    for (const CLocalEntry& e : dir.m_arrFiles)
        m_rows.push_back({e.m_strName, SizeText(e.m_dwSize), m_types->TypeNameFor(e.m_strName),
                          e.m_strModified, m_types->ImageFor(e.m_strName), false});
    ShowRows();
    m_bFirstFill = 0;
}

void CLeftView::ChangeDirectory(const std::string& requested) {
    std::string path = requested;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    m_wndFolderCombo->ResetContent();
    FillDriveCombo();
    m_strCurrentDir = path;
    // Only an absolute path names a folder: a relative one (a damaged or
    // hand-made site record) would depend on where the program was started.
    if (path.empty() || path[0] != '/' || !files::IsFolder(path)) {
        // A folder that cannot be entered leads to the root, once.
        if (path != "/")
            ChangeDirectory("/");
        return;
    }
    FillFileList(path);
    // The drive, then one indented item per folder level, the deepest selected.
    m_wndFolderCombo->SetCurSel(0);
    int sel = 0, depth = 0;
    size_t start = 1;
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? slash : slash - start);
        if (!part.empty()) {
            ++depth;
            sel = m_wndFolderCombo->InsertItem(sel + 1, part, 1, depth);
            m_wndFolderCombo->SetCurSel(sel);
        }
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    m_nDepth = depth;
}

void CLeftView::OnOpenRow() {
    std::vector<std::string> names = SelectedNames();
    if (names.empty())
        return;
    std::string full = files::Join(m_strCurrentDir, names.front());
    if (files::IsFolder(full)) {
        int sel = m_wndFolderCombo->GetCurSel();
        int item = m_wndFolderCombo->InsertItem(sel + 1, names.front(), 1, m_nDepth + 1);
        m_wndFolderCombo->SetCurSel(item);
        ++m_nDepth;
        FillFileList(full);
    } else {
        shell::OpenWithDefaultApp(full, m_strCurrentDir);
    }
}

void CLeftView::OnUpOneLevel() {
    MarkActive();
    if (!PathBoxUp())
        return;
    --m_nDepth;
    FillFileList(files::Parent(m_strCurrentDir));
}

void CLeftView::OnSelchangeFolder(int s) {
    if (s < 0)
        return;
    m_nDepth -= DropPathChainBelow(s);
    if (m_wndFolderCombo->GetIndent(s) == 0) {
        std::string drive = m_wndFolderCombo->GetItemText(s);
        m_wndFolderCombo->ResetContent();
        FillDriveCombo();
        m_wndFolderCombo->SetCurSel(0);
        m_strCurrentDir = drive;
        m_nDepth = 0;
    } else {
        std::string path;
        int drive = s;
        while (drive > 0 && m_wndFolderCombo->GetIndent(drive) > 0)
            --drive;
        for (int i = drive + 1; i <= s; ++i)
            path += "/" + m_wndFolderCombo->GetItemText(i);
        m_strCurrentDir = path;
        m_nDepth = m_wndFolderCombo->GetIndent(s);
        m_wndFolderCombo->SetCurSel(s);
    }
    FillFileList(m_strCurrentDir);
}

void CLeftView::OnDefaultDirectory() {
    std::string dir = m_strDefaultDir;
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    ChangeDirectory(dir);
}

void CLeftView::SortBy(int key) {
    if (key == m_nSortKey)
        m_abDescending[key] = !m_abDescending[key];
    m_nSortKey = key;
    FillFileList(m_strCurrentDir);
}

void CLeftView::SetViewMode(int mode) {
    int style = (mode == 1 || mode == cmd::ID_VIEW_REPORT) ? 1 : 3;
    if (mode != 1 && mode != 2 && mode != cmd::ID_VIEW_REPORT && mode != cmd::ID_VIEW_SMALL)
        return;
    m_nViewStyle = style;
    m_wndList->SetReportView(style == 1);
}

bool CLeftView::IsBusy() const {
    return m_bUploading || (m_remoteBusy && m_remoteBusy());
}

wxMenu* CLeftView::CreateContextMenu() {
    wxMenu* menu = cmd::BuildMenu(cmd::PaneMenu());
    menu->Enable(cmd::ToWx(cmd::ID_DOWNLOAD), false);
    if (SelectedNames().empty())
        cmd::DisableCommands(menu, {cmd::ID_UPLOAD, cmd::ID_PROPERTIES, cmd::ID_EXECUTE,
                                    cmd::ID_DELETE, cmd::ID_RENAME});
    if (IsBusy()) {
        menu->Enable(cmd::ToWx(cmd::ID_UPLOAD), false);
        cmd::DisableCommands(menu, cmd::BusyPaneCommands());
    }
    return menu;
}

bool CLeftView::HandleCommand(int command) {
    switch (command) {
    case cmd::ID_REFRESH:
        OnRefresh();
        return true;
    case cmd::ID_EXECUTE:
        OnExecute();
        return true;
    case cmd::ID_DELETE:
        OnDelete();
        return true;
    case cmd::ID_NEW_FOLDER:
        OnNewFolder();
        return true;
    case cmd::ID_RENAME:
        OnRename();
        return true;
    case cmd::ID_PROPERTIES:
        OnProperties();
        return true;
    case cmd::ID_UPLOAD:
        OnUpload();
        return true;
    case cmd::ID_VIEW_REPORT:
    case cmd::ID_VIEW_SMALL:
        SetViewMode(command);
        return true;
    case cmd::ID_ARRANGE_NAME:
        SortBy(CLocalDirectory::kName);
        return true;
    case cmd::ID_ARRANGE_TYPE:
        SortBy(CLocalDirectory::kType);
        return true;
    case cmd::ID_ARRANGE_SIZE:
        SortBy(CLocalDirectory::kSize);
        return true;
    case cmd::ID_ARRANGE_DATE:
        SortBy(CLocalDirectory::kModified);
        return true;
    case cmd::ID_SELECT_ALL:
        ui::SelectAllFromTop(m_wndList);
        return true;
    case cmd::ID_SELECT_PAGE:
        ui::SelectCurrentPage(m_wndList, 0);
        return true;
    case cmd::ID_INVERT_SELECTION:
        ui::InvertSelection(m_wndList);
        return true;
    case cmd::ID_UP_ONE_LEVEL:
        OnUpOneLevel();
        return true;
    case cmd::ID_DEFAULT_DIRECTORY:
        OnDefaultDirectory();
        return true;
    case cmd::ID_DOWNLOAD:
        return true; // never from this pane
    default:
        return false;
    }
}

void CLeftView::OnRefresh() {
    FillFileList(m_strCurrentDir);
}

void CLeftView::OnUpload() {
    UploadSelectionInto({});
}

bool CLeftView::UploadSelectionInto(const std::string& intoFolder, BatchEnd end) {
    ui::RequireUiThread("CLeftView::UploadSelectionInto");
    // A batch asked for while another runs waits for it in the transfer list.
    if (!m_pEngine || !m_remote.session)
        return false;
    UploadRequest request;
    request.session = m_remote.session();
    if (!request.session)
        return false; // not connected: no visible effect
    request.remoteDir = m_remote.currentPath ? m_remote.currentPath() : "/";
    request.localDir = m_strCurrentDir;
    request.names = SelectedNames();
    request.intoFolder = intoFolder;
    if (m_remote.batchSessions)
        request.openSession = m_remote.batchSessions(&request.connections);
    return StartBatch(std::move(request), std::move(end));
}

bool CLeftView::StartUploadThread(std::vector<CTransferItem> items, BatchEnd end,
                                  const std::string& intoFolder) {
    ui::RequireUiThread("CLeftView::StartUploadThread");
    std::shared_ptr<remote::IRemoteFs> session = m_remote.session ? m_remote.session() : nullptr;
    if (!m_pEngine || !session)
        return false; // no session: the dropped batch is discarded
    UploadRequest request;
    request.session = session;
    request.remoteDir = m_remote.currentPath ? m_remote.currentPath() : "/";
    request.localDir = m_strCurrentDir;
    request.items = std::move(items);
    request.dropMode = true;
    request.intoFolder = intoFolder;
    if (m_remote.batchSessions)
        request.openSession = m_remote.batchSessions(&request.connections);
    return StartBatch(std::move(request), std::move(end));
}

bool CLeftView::StartBatch(UploadRequest request, BatchEnd end) {
    CPaneHost::Handlers h;
    h.addLine = m_remote.addLine;
    h.progress = m_remote.showProgress;
    // A batch that got no connection of its own works on the remote pane's
    // session: that pane's folder stays where it is until the batch ends.
    auto borrowed = std::make_shared<bool>(false);
    h.session = [this, borrowed](bool own) {
        if (own)
            return;
        *borrowed = true;
        m_bUploading = 1;
        if (m_remote.enableNavigation)
            m_remote.enableNavigation(true);
    };
    // What the batch asked of its end comes back with its result (after the
    // session's news, which was posted first); a user who went to another
    // server folder meanwhile stays there.
    end.startedIn = request.remoteDir;
    h.uiEnded = [this, borrowed, end = std::move(end)](const BatchResult& r) {
        if (*borrowed)
            m_bUploading = 0;
        OnUploadEnded(r, end);
    };
    std::shared_ptr<CTransferEngine> engine = m_pEngine;
    h.cancelled = [engine] { return engine->m_bStop != 0; };
    request.control = std::make_shared<CBatchControl>();
    std::uint64_t listed =
        m_pTransfers ? m_pTransfers->AddBatch(request.control, RowsOf(request)) : 0;
    ShowInList(h, m_pTransfers, listed);
    std::shared_ptr<CPaneHost> host = CPaneHost::Create(std::move(h));
    if (!m_pEngine->StartUpload(std::move(request), host)) {
        if (m_pTransfers)
            m_pTransfers->DropBatch(listed);
        return false;
    }
    m_hosts.push_back(host);
    return true;
}

void CLeftView::OnUploadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CLeftView::OnUploadEnded");
    std::erase_if(m_hosts, [](const std::shared_ptr<CPaneHost>& h) { return h->HasEnded(); });
    if (m_remote.uploadEnded)
        m_remote.uploadEnded(result, end); // restores, refreshes and enables the remote side
    ++m_nBatchesEnded;
}

void CLeftView::OnDownloadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CLeftView::OnDownloadEnded");
    AfterBatch after = DecideAfterBatch(result, end, m_strCurrentDir);
    if (after.refill)
        FillFileList(after.folder);
}

void CLeftView::EndTransfers() {
    for (const std::shared_ptr<CPaneHost>& host : m_hosts)
        host->Detach();
    if (m_pEngine && m_pEngine->IsBusy()) {
        m_pEngine->Stop();
        m_pEngine->WaitIdle(10000);
    }
}

bool CLeftView::InTransfer(const std::vector<std::string>& names, const std::string& line) {
    if (!m_pTransfers)
        return false;
    bool any = false;
    for (const std::string& name : names)
        if (m_pTransfers->TouchesLocal(files::Join(m_strCurrentDir, name))) {
            if (m_remote.addLine)
                m_remote.addLine(line + PrintableName(name));
            any = true;
        }
    return any;
}

void CLeftView::OnExecute() {
    for (const std::string& name : SelectedNames())
        shell::OpenWithDefaultApp(files::Join(m_strCurrentDir, name), m_strCurrentDir);
}

void CLeftView::OnDelete() {
    if (m_bEditingLabel)
        return;
    std::vector<std::string> names = SelectedNames();
    if (InTransfer(names, "Not moved to the Trash while a transfer uses it: "))
        return;
    std::vector<std::string> paths;
    for (const std::string& name : names)
        paths.push_back(files::Join(m_strCurrentDir, name));
    if (paths.empty())
        return;
    // One question for the whole selection; what goes to the trash can be
    // brought back from there.
    std::string question =
        paths.size() == 1 ? "Move \"" + ui::DisplayText(paths[0].substr(paths[0].rfind('/') + 1)) +
                                "\" to the Trash?"
                          : "Move these " + std::to_string(paths.size()) + " items to the Trash?";
    if (ui::MessageBox(this, question, "Orvane", ui::kButtonsYesNo, ui::kIconQuestion) ==
        ui::kYes) {
        std::vector<std::string> failed = shell::MoveToTrash(paths);
        if (!failed.empty()) {
            std::string text = "These items could not be moved to the Trash:";
            for (const std::string& f : failed)
                text += "\n" + ui::DisplayText(f);
            ui::MessageBox(this, text, "Orvane", ui::kButtonsOk, ui::kIconStop);
        }
    }
    FillFileList(m_strCurrentDir);
}

void CLeftView::OnNewFolder() {
    long item = static_cast<long>(m_rows.size());
    m_rows.push_back({"New Folder", "", "File Folder", "", CFileTypes::kFolderImage, true});
    m_wndList->SetItemCount(item + 1);
    m_wndList->SetItemState(item, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    if (mkdir(files::Join(m_strCurrentDir, "New Folder").c_str(), 0777) != 0)
        ui::MessageBox(this, "Unable to Create New Directory", "Orvane", ui::kButtonsOk,
                       ui::kIconStop);
    m_wndList->EditLabel(item);
}

void CLeftView::OnRename() {
    EditSelectedLabel();
}

void CLeftView::OnBeginLabelEdit(wxListEvent&) {
    m_bEditingLabel = 1;
}

void CLeftView::OnEndLabelEdit(wxListEvent& event) {
    m_bEditingLabel = 0;
    std::string oldName, newName;
    if (!EditedName(event, &oldName, &newName))
        return;
    // Neither the entry nor the name it would take (a file on its way there).
    if (InTransfer({oldName, newName}, "Not renamed while a transfer uses it: ")) {
        event.Veto();
        return;
    }
    // A name is one entry of this folder: a "/" would move it elsewhere, and
    // an existing entry of the new name is never replaced.
    bool ok = newName.find('/') == std::string::npos && newName != "." && newName != ".." &&
              RenameNoReplace(files::Join(m_strCurrentDir, oldName),
                              files::Join(m_strCurrentDir, newName));
    if (!ok) {
        event.Veto();
        ui::MessageBox(this, "Unable to rename the file", "Error", ui::kButtonsOk, ui::kIconStop);
        return;
    }
    m_rows[static_cast<size_t>(event.GetIndex())].name = newName;
    m_wndList->RefreshItem(event.GetIndex());
}

void CLeftView::CountTree(const std::string& path, long long* folders, long long* files,
                          long long* bytes) {
    // The entry itself, then what lies below a folder. Links are counted as
    // what they are and never followed, so no loop is possible.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        ++*files;
        *bytes += st.st_size;
        return;
    }
    ++*folders;
    DIR* dir = opendir(path.c_str());
    if (!dir)
        return; // unreadable folders add only themselves
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            CountTree(files::Join(path, name), folders, files, bytes);
    }
    closedir(dir);
}

void CLeftView::OnProperties() {
    std::vector<std::string> names = SelectedNames();
    if (names.empty() || names.front().empty())
        return;
    std::string path = files::Join(m_strCurrentDir, names.front());
    std::string type, size, contains;
    {
        wxBusyCursor wait;
        type = files::IsFolder(path) ? "File Folder" : "File";
        long long folders = 0, files = 0, bytes = 0;
        CountTree(path, &folders, &files, &bytes);
        size = SizeText(bytes);
        if (folders > 0)
            --folders; // the selected folder itself
        char text[96];
        std::snprintf(text, sizeof text, "%lld Files   :   %lld Folders", files, folders);
        contains = text;
    }
    CPropertiesDlg::ShowProperties(this, type, path, size, contains);
}
