#include "app/DragDrop.h"

#include "local/LeftView.h"
#include "platform/fs/Paths.h"
#include "platform/ui/Dispatcher.h"
#include "remote/RightView.h"
#include "transfer/BatchEnd.h"
#include "transfer/TransferItem.h"

namespace dnd {

namespace {

// The remote pane is at work, or a batch works on its session (a batch on
// connections of its own takes the drop into its queue).
bool Busy(const CLeftView& local, const CRightView& remote) {
    return remote.m_bBusy != 0 || local.m_bUploading != 0 ||
           (remote.m_pEngine && remote.m_pEngine->BorrowsSession());
}

// The dragged name, when the drag came from `source` of the window `target`
// is in and names the first row selected there (exact bytes); else nothing.
std::optional<std::string> DraggedName(const ui::DropPayload& data, const CFileListCtrl& source,
                                       const std::vector<CFileRow>& rows,
                                       const CFileListCtrl& target) {
    if (data.kind != ui::DropPayload::Kind::Entry)
        return std::nullopt;
    const ui::EntryDrag& drag = data.entry;
    if (drag.name.empty() || drag.list != source.GetId() || drag.origin != ui::DragOrigin(&target))
        return std::nullopt;
    long first = source.GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (first < 0 || static_cast<size_t>(first) >= rows.size() ||
        rows[static_cast<size_t>(first)].name != drag.name)
        return std::nullopt;
    return drag.name;
}

// Files from the desktop: one batch into the folder row under the cursor, or
// the current server folder, with the Upload command's questions, lines and
// refresh.
bool DropFilesOnRemoteList(CLeftView& local, CRightView& remote,
                           const std::vector<std::string>& files, wxPoint point) {
    if (Busy(local, remote) || !remote.IsConnected())
        return false;
    CRightList* list = remote.m_wndList;
    std::string dir = remote.m_strCurrentPath;
    long hit = list->HitRow(point);
    if (hit >= 0) {
        const CFileRow& row = remote.Rows()[static_cast<size_t>(hit)];
        if (row.folder && IsSafeName(row.name)) {
            dir = remote.m_strCurrentPath + "/" + row.name;
        }
    }
    std::vector<CTransferItem> items;
    for (const std::string& path : files) {
        std::string name = files::BaseName(path);
        if (path.empty() || path[0] != '/' || name.empty() || name == "/")
            continue;
        if (!IsSafeName(name)) {
            if (remote.m_addLine)
                remote.m_addLine("Unsafe name skipped: " + PrintableName(name));
            continue;
        }
        items.emplace_back(path, NormalisePath(dir + "/" + name), name,
                           files::IsFolder(path) ? 1 : 0);
    }
    if (items.empty())
        return false;
    return local.StartUploadThread(std::move(items), BatchEnd{});
}

} // namespace

bool DropOnLocalList(CLeftView& local, CRightView& remote, const ui::DropPayload& data,
                     wxPoint point) {
    ui::RequireUiThread("dnd::DropOnLocalList");
    CLeftList* list = local.m_wndList;
    if (list->m_bDragSource)
        return false;
    std::optional<std::string> name = DraggedName(data, *remote.m_wndList, remote.Rows(), *list);
    if (!name || Busy(local, remote) || !remote.IsConnected())
        return false;
    int selected = remote.m_wndList->GetSelectedItemCount();
    if (selected <= 1 && !IsSafeName(*name))
        return false; // one entry: its name becomes a path
    long hit = list->HitRow(point);
    const std::string current = local.m_strCurrentDir;
    std::string into = current; // where the entries go
    bool folderTarget = false;
    if (hit >= 0) {
        const std::string target = local.Rows()[static_cast<size_t>(hit)].name;
        if (!IsSafeName(target))
            return false;
        folderTarget = files::IsFolder(files::Join(current, target));
        if (folderTarget)
            into = files::Join(current, target);
    }
    // The local pane keeps showing, and acting on, its own folder; at the end
    // its list shows what arrived.
    BatchEnd end;
    end.refill = Refill::Always;
    if (selected > 1) {
        // The whole remote selection, by the Download command's steps; off
        // a folder row the list is listed afresh, as after the command, only
        // when something was fetched.
        if (!folderTarget)
            end.refill = Refill::IfTransferred;
        return remote.DownloadSelectionInto(into, end);
    }
    // Whether the entry is a folder the batch finds out on its worker.
    std::vector<CTransferItem> items;
    items.emplace_back(remote.m_strCurrentPath + "/" + *name, files::Join(into, *name), *name,
                       kFolderUnknown, 0);
    return remote.StartDownloadThread(std::move(items), end);
}

bool DropOnRemoteList(CLeftView& local, CRightView& remote, const ui::DropPayload& data,
                      wxPoint point) {
    ui::RequireUiThread("dnd::DropOnRemoteList");
    CRightList* list = remote.m_wndList;
    if (list->m_bDragSource)
        return false;
    if (data.kind == ui::DropPayload::Kind::Files)
        return DropFilesOnRemoteList(local, remote, data.files, point);
    std::optional<std::string> name = DraggedName(data, *local.m_wndList, local.Rows(), *list);
    if (!name || Busy(local, remote) || !remote.IsConnected())
        return false;
    int selected = local.m_wndList->GetSelectedItemCount();
    if (selected <= 1 && !IsSafeName(*name))
        return false; // one entry: its name becomes a path
    long hit = list->HitRow(point);
    // A row as the target: the batch goes into it when the server can enter
    // it (tested on the batch's worker), else into the current folder.
    std::string intoFolder;
    if (hit >= 0) {
        intoFolder = remote.Rows()[static_cast<size_t>(hit)].name;
        if (!IsSafeName(intoFolder))
            return false;
    }
    // On a row the server list keeps its path, and is listed afresh at the
    // end only when something came into the folder it shows (the row was a
    // file, or a folder the server would not enter) or the dropped file
    // arrived.
    BatchEnd onRow;
    onRow.refill = Refill::IfShownChanged;
    onRow.restore = remote.m_strCurrentPath;
    if (selected > 1) {
        // The whole local selection, by the Upload command's steps.
        return local.UploadSelectionInto(intoFolder, hit >= 0 ? onRow : BatchEnd{});
    }
    std::string source = files::Join(local.m_strCurrentDir, *name);
    std::string target = remote.m_strCurrentPath + "/" + *name;
    // A folder: the server folder is made by the batch before anything is
    // sent. One file: the list is listed afresh when it arrived.
    bool folder = files::IsFolder(source);
    std::vector<CTransferItem> items;
    items.emplace_back(source, target, *name, folder ? 1 : 0);
    return local.StartUploadThread(std::move(items), hit >= 0 || !folder ? onRow : BatchEnd{},
                                   intoFolder);
}

void Attach(CLeftView& local, CRightView& remote) {
    CLeftView* l = &local;
    CRightView* r = &remote;
    local.m_wndList->m_onDrop = [l, r](const ui::DropPayload& data, wxPoint point) {
        return DropOnLocalList(*l, *r, data, point);
    };
    remote.m_wndList->m_onDrop = [l, r](const ui::DropPayload& data, wxPoint point) {
        return DropOnRemoteList(*l, *r, data, point);
    };
}

} // namespace dnd
