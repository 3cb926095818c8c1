// The local file pane: the marker strip, the folder box with its Up button,
// and the list of the current folder of this machine.
#pragma once

#include "local/LocalDirectory.h"

#include "platform/ui/FilePane.h"
#include "transfer/BatchEnd.h"
#include "transfer/TransferEngine.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CPathCombo;
class CFileTypes;
class CPaneHost;
class CTransferList;

// The list of the local pane: a drag source, and a drop target for entries
// dragged from the remote list (what a drop does is set by the frame).
class CLeftList : public CFileListCtrl {
public:
    CLeftList(wxWindow* parent, wxWindowID id);
};

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

    // An upload of this pane runs on the remote pane's session (it got no
    // connection of its own): the server folder stays until it ends.
    std::atomic<int> m_bUploading{0};

    // The one engine of both panes (one batch at a time, either direction;
    // those asked for meanwhile wait in its queue).
    std::shared_ptr<CTransferEngine> m_pEngine;
    // The transfer list the pane's batches show in; set by the frame.
    CTransferList* m_pTransfers = nullptr;
    // What an upload needs of the remote pane; set by the frame.
    struct RemoteSide {
        std::function<std::shared_ptr<remote::IRemoteFs>()> session;
        // Connections of the batch's own, and how many (see CRightView).
        std::function<OpenSession(int* connections)> batchSessions;
        std::function<std::string()> currentPath;
        std::function<void(bool)> enableNavigation; // true: disable while the batch runs
        // The upload's end on that side (on the UI thread).
        std::function<void(const BatchResult&, const BatchEnd&)> uploadEnded;
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
    // can enter it; `end` travels with the batch to the remote pane. False
    // when no batch started.
    bool UploadSelectionInto(const std::string& intoFolder, BatchEnd end = {});
    // Starts the worker on a batch a drop built: each item carries its local
    // source and server target; `intoFolder` as above. False (and nothing
    // happens) when none started.
    bool StartUploadThread(std::vector<CTransferItem> items, BatchEnd end,
                           const std::string& intoFolder = {});
    // A download's end on this side: the folder `end` asks for, listed
    // afresh when it says so.
    void OnDownloadEnded(const BatchResult& result, const BatchEnd& end);
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
    // Of the uploads running or waiting.
    std::vector<std::shared_ptr<CPaneHost>> m_hosts;
    // Whether a job of the transfer list not finished yet reads or writes one
    // of the named entries of the folder shown: each gets `line` in the log.
    bool InTransfer(const std::vector<std::string>& names, const std::string& line);
    bool StartBatch(UploadRequest request, BatchEnd end);
    void OnUploadEnded(const BatchResult& result, const BatchEnd& end);
};
