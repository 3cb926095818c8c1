// The local file pane: the marker strip, the folder box with its Up button,
// and the list of the current folder of this machine.
#pragma once

#include "local/LocalDirectory.h"

#include "platform/ui/FilePane.h"
#include "transfer/TransferEngine.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CPathCombo;
class CFileTypes;
class CPaneHost;

// The list of the local pane: a drag source, and a drop target for entries
// dragged from the remote list (what a drop does is set by the frame).
class CLeftList : public CFileListCtrl {
public:
    CLeftList(wxWindow* parent, wxWindowID id);
};

// The pictures both file panes show.
CFilePane::Pictures PanePictures();
// The commands of either pane's context menu grayed while a transfer or a
// remote worker runs, besides the pane's own transfer command.
const std::vector<int>& BusyPaneCommands();
// Grays `commands` in `menu`.
void DisableCommands(wxMenu* menu, const std::vector<int>& commands);

class CLeftView : public CFilePane {
public:
    explicit CLeftView(wxWindow* parent);
    ~CLeftView() override;

    CPathCombo* m_wndFolderCombo = nullptr;
    CLeftList* m_wndList = nullptr;

    std::string m_strCurrentDir = "/";
    std::string m_strDefaultDir;
    int m_nDepth = 0;
    int m_nSortKey = 0;
    int m_abDescending[4] = {0, 0, 0, 0};
    int m_nViewStyle = 3; // 1 report, 3 list
    int m_bFirstFill = 1;
    int m_bEditingLabel = 0;

    std::atomic<int> m_bUploading{0}; // an upload runs
    std::atomic<int> m_bUploaded{0};  // a send was attempted: refresh the remote list
    int m_bDropUpload = 0;            // a drop started the batch
    std::vector<CTransferItem> m_arrUpload;
    // Set by a drop on this list: the folder to return to after the download.
    std::string m_strSavedDir;
    int m_bRestoreDir = 0;

    // The one engine of both panes (one batch at a time, either direction).
    std::shared_ptr<CTransferEngine> m_pEngine;
    // What an upload needs of the remote pane; set by the frame.
    struct RemoteSide {
        std::function<std::shared_ptr<remote::IRemoteFs>()> session;
        std::function<std::string()> currentPath;
        std::function<void(bool)> enableNavigation; // true: disable while the batch runs
        std::function<void(const BatchResult&)> uploadEnded;
        std::function<void(const TransferProgress*)> showProgress;
        std::function<void(const std::string&)> addLine;
    } m_remote;
    // Upload batches that have ended, their end steps done (tests wait on it).
    int m_nBatchesEnded = 0;
    // Stops a running batch and waits for it; nothing it posts arrives after.
    void EndTransfers();

    // Whether the remote pane is busy (its workers run): grays the same
    // commands as an upload. Set by the frame.
    std::function<bool()> m_remoteBusy;
    void FillDriveCombo();
    void FillFileList(const std::string& path);
    void ChangeDirectory(const std::string& path);
    void SetViewMode(int mode);
    void OnUpOneLevel() override;
    void OnSelchangeFolder(int index);
    void OnOpenRow() override;
    void OnDefaultDirectory();
    void SortBy(int key);

    // Local file operations.
    void OnExecute();
    void OnDelete();
    void OnNewFolder();
    void OnRename();
    void OnProperties();
    void OnUpload();
    // The Upload command's batch of the selection; `intoFolder` (a drop on a
    // row of the server's list): into that server folder when the server
    // can enter it. False when no batch started.
    bool UploadSelectionInto(const std::string& intoFolder);
    // Starts the worker on a batch a drop put into m_arrUpload; `intoFolder`
    // as above. False (and the batch discarded) when none started.
    bool StartUploadThread(const std::string& intoFolder = {});
    void OnRefresh();

    // Runs a command the pane handles itself (its context menu); false when
    // the pane does not handle `command`.
    bool HandleCommand(int command) override;
    // The context menu as it would open now (graying applied).
    wxMenu* CreateContextMenu() override;

    // Counts files, folders and bytes below `path` (the path itself counted).
    static void CountTree(const std::string& path, long long* folders, long long* files,
                          long long* bytes);

private:
    void OnBeginLabelEdit(wxListEvent& event) override;
    void OnEndLabelEdit(wxListEvent& event) override;
    void OnPathPicked(int index) override { OnSelchangeFolder(index); }
    void OnColumnClick(int column) override;
    void OnMenuCommand(int wxId, wxCommandEvent& event) override;
    bool IsBusy() const;
    std::shared_ptr<CPaneHost> m_pHost; // of the running upload
    bool StartBatch(UploadRequest request);
    void OnUploadEnded(const BatchResult& result);
};
