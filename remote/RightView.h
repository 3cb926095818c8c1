// The remote file pane: one FTP server's folder as a list, the path box that
// shows where it lies, and the one FTP session, which this pane owns.
#pragma once

#include "platform/ui/FileList.h"
#include "remote/RemoteFs.h"
#include "transfer/BatchEnd.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferItem.h"

#include <wx/panel.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CPathCombo;
class CFileTypes;
class wxBitmapButton;
class wxMenu;
class wxListEvent;
class CMarkerStrip;
class CLeftView;
class CPaneHost;

// The record every worker of the pane is started with.
struct CThreadInfo {
    std::string m_strText1, m_strText2, m_strText3;
    class CRightView* m_pRemoteView = nullptr;
    class CLeftView* m_pLocalView = nullptr;
    class CStatus* m_pStatus = nullptr;
    long m_nValue = 0;
};

// The list of the remote pane: a drag source, and a drop target for entries
// dragged from the local list and for files from the desktop.
class CRightList : public CFileListCtrl {
public:
    CRightList(wxWindow* parent, wxWindowID id);
};

class CRightView : public wxPanel, public remote::IRemoteQuestions {
public:
    explicit CRightView(wxWindow* parent);
    ~CRightView() override;

    // Connection parameters, given by the frame when a site is chosen.
    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strRemoteDir;
    int m_nPort = 0;
    int m_nMode = 0; // 1 passive, 2 active
    // 0 plain FTP, 1 explicit FTP over TLS if available, 2 TLS required (the
    // site's encryption, sites::SiteEncryption).
    int m_nEncryption = 1;

    std::atomic<int> m_bBusy{0}; // remote workers running
    std::atomic<int> m_bStop{0}; // stop request for the delete and Properties
                                 // walks (a batch stops through the engine)
    // A delete removed something (refresh the list at its end).
    std::atomic<int> m_bChanged{0};
    int m_bEditing = 0; // a name is being edited (or New Folder runs)
    // What the last Properties walk counted (64-bit: no wrap at 2 GiB).
    std::uint64_t m_nFileCount = 0;
    std::uint64_t m_nFolderCount = 0;
    std::uint64_t m_nTotalBytes = 0;

    // The one engine of both panes (one batch at a time, either direction).
    std::shared_ptr<CTransferEngine> m_pEngine;
    // What a download needs of the local pane; set by the frame.
    struct LocalSide {
        std::function<std::string()> currentDir; // the folder the local list shows
        // The download's end on that side (on the UI thread).
        std::function<void(const BatchResult&, const BatchEnd&)> downloadEnded;
    } m_local;
    // Shows the file in flight in the frame (nullptr clears it); set by the frame.
    std::function<void(const TransferProgress*)> m_showProgress;

    // Path state.
    std::string m_strCurrentPath = "/";
    std::string m_strListPath;
    int m_nComboDepth = 0;
    int m_nViewStyle = 3; // 1 report, 3 list
    int m_bSortFlag = 0;

    CMarkerStrip* m_wndMarker = nullptr;
    wxBitmapButton* m_wndUp = nullptr;
    CPathCombo* m_wndPath = nullptr;
    CRightList* m_wndList = nullptr;
    CMarkerStrip* m_pPeerMarker = nullptr;

    // What the pane reports, set by the frame: a log line, the window title,
    // and whether the session is open (the frame's "connected").
    std::function<void(const std::string&)> m_addLine;
    std::function<void(const std::string&)> m_setTitle;
    std::function<void(bool)> m_setConnected;
    std::function<bool()> m_localBusy; // an upload runs in the local pane

    // The session; null while not connected.
    std::shared_ptr<remote::IRemoteFs> GetSession() const;
    bool IsConnected() const { return GetSession() != nullptr; }
    // Whether a connect attempt is still under way.
    bool IsConnecting() const;

    // Closes the session and waits for the pane's workers; nothing the pane
    // started runs afterwards. Called before the windows it reports to go.
    void Shutdown();

    void StartConnect(int mode);
    void CloseSession();
    void StartRefresh();
    void SetViewStyle(int style);
    void EnableNavigation(bool disable);
    // True while a worker or a batch runs: the list's folders are not
    // entered, nor left, until it ends.
    bool NavigationLocked() const;
    void MarkActive();

    // Navigation.
    void OnDblclkList();
    void OnUpOneLevel();
    void OnSelchangePath(int index);
    void OnRootDirectory();
    void OnRefresh();

    // Handlers the frame forwards to.
    void OnExecute();
    void OnDelete();
    void OnNewFolder();
    void OnDownload();
    // The Download command's batch of the selection, into the local folder
    // `localDir`; `end` travels with it to the local pane. False when no
    // batch started.
    bool DownloadSelectionInto(const std::string& localDir, BatchEnd end = {});
    // Starts the worker on a batch a drop built: each item carries its own
    // local target. False (and nothing happens) when none started.
    bool StartDownloadThread(std::vector<CTransferItem> items, BatchEnd end);
    // The upload's end on this side: the path `end` asks for, and a new
    // listing when it says so.
    void OnUploadEnded(const BatchResult& result, const BatchEnd& end);
    // Lists the current folder again (after an upload).
    void RefreshList();
    // Batches of this pane that have ended, their end steps done (tests wait on it).
    int m_nBatchesEnded = 0;
    void OnProperties();
    void OnRename();
    void OnBeginLabelEdit(wxListEvent& event);
    void OnEndLabelEdit(wxListEvent& event);

    bool HandleCommand(int command);
    // The context menu as it would open now; null before the first connection.
    wxMenu* CreateContextMenu();

    using Row = CFileRow;
    const std::vector<Row>& Rows() const { return m_rows; }
    // Names of the selected rows, in list order, as the exact bytes the
    // server listed them with.
    std::vector<std::string> SelectedNames() const;
    // Rows as the listing becomes them: folders first in reverse server
    // order, then files in server order; "." and ".." left out.
    static std::vector<Row> RowsFromListing(const std::vector<remote::Entry>& entries,
                                            CFileTypes* types);
    // Waits (pumping nothing) until no worker of the pane runs. For tests.
    bool WaitIdle(int timeoutMs);

private:
    std::unique_ptr<CFileTypes> m_types;
    std::vector<Row> m_rows;
    mutable std::mutex m_sessionMutex;
    std::shared_ptr<remote::IRemoteFs> m_hConnect;
    std::shared_ptr<remote::IRemoteFs> m_pending; // connecting
    std::atomic<unsigned> m_nConnectAttempt{0}; // the latest attempt; changed under m_sessionMutex
    std::atomic<unsigned> m_nListGeneration{0};
    std::atomic<bool> m_bShutdown{false}; // no worker starts once the pane shuts down
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::mutex m_threadsMutex;
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> m_threads;

    // Starts a worker; it never touches a window itself.
    void StartWorker(std::function<void()> work);
    std::shared_ptr<CPaneHost> m_pHost; // of the running download
    bool StartBatch(DownloadRequest request, BatchEnd end);
    void OnDownloadEnded(const BatchResult& result, const BatchEnd& end);
    // Runs `task` on the UI thread later, unless the pane is gone by then.
    void Post(std::function<void()> task);
    void AddLine(const std::string& line);
    // Connects `session` (made by attempt number `attempt`); only the latest
    // attempt sets the session, the title and the state.
    void ConnectThreadProc(std::shared_ptr<remote::IRemoteFs> session,
                           remote::SiteConnection params, std::string reason, std::string remoteDir,
                           unsigned attempt);
    // From the connect worker: asks the user about a certificate on the UI
    // thread; an "Always" answer is kept in the store there.
    std::future<remote::Trust> AskCertificate(const remote::Certificate& certificate) override;
    // Lists `dir` (on a worker) and shows the rows, unless a later listing
    // was started meanwhile.
    void FillList(const std::shared_ptr<remote::IRemoteFs>& session, const std::string& dir,
                  unsigned generation);
    // The path box for `dir` (on a worker): the root folders, then the chain;
    // not shown when a navigation later than `generation` was started.
    void ShowDirectory(const std::shared_ptr<remote::IRemoteFs>& session, const std::string& dir,
                       unsigned generation);
    void ShowRows();
    // The path box for `dir`, from the root folders it holds (no request).
    void ShowPathChain(const std::string& dir);
    // The folder the rows shown were listed from ("" none).
    std::string m_strRowsPath;
    // Counts a folder tree or looks up a file, then shows the Properties box.
    void PropertiesThreadProc(CThreadInfo info, std::shared_ptr<remote::IRemoteFs> session);
    // A delete or a Properties walk runs; a second one does not start.
    std::atomic<bool> m_bWalking{false};
    void Layout(int cx, int cy);
    void OnContextMenu();
};
