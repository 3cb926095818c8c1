// The remote file pane: one server's folder as a list and the path box that
// shows where it lies. The remote browser below it keeps the session, makes
// the connect attempts and listings and runs the operations on the server;
// the pane shows what it reports and sends it the user's commands.
#pragma once

#include "platform/remote/RemoteFs.h"
#include "platform/ui/FilePane.h"
#include "remote/RemoteBrowser.h"
#include "transfer/BatchEnd.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferItem.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

class CPathCombo;
class CFileTypes;
class wxMenu;
class wxListEvent;
class CPaneHost;
class CTransferList;

// The list of the remote pane: a drag source, and a drop target for entries
// dragged from the local list and for files from the desktop.
class CRightList : public CFileListCtrl {
public:
    CRightList(wxWindow* parent, wxWindowID id);
};

class CRightView : public CFilePane, public remote::IRemoteQuestions, private remote::IBrowserView {
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
    int m_nProtocol = 0;  // sites::SiteProtocol
    int m_nTransfers = 2; // connections a batch may use at once

    // How a batch opens connections of its own to the site now connected
    // (logged in as the pane's session is, asking nothing), and how many: the
    // site's simultaneous transfers, or fewer once the server refused more in
    // this session. Empty when not connected.
    OpenSession BatchSessions(int* connections) const;
    // Takes what a batch found of the server's limit.
    void NoteConnections(const BatchResult& result);

    // Work of the pane that runs: the browser's workers, a batch, an open
    // Properties box.
    std::atomic<int> m_bBusy{0};

private:
    // Made before the members below, which refer to what it keeps.
    std::unique_ptr<remote::RemoteBrowser> m_browser;

public:
    // Stop request for the delete and Properties walks (a batch stops
    // through the engine).
    std::atomic<int>& m_bStop;
    int m_bEditing = 0; // a name is being edited (or New Folder runs)
    // What the last Properties walk counted (64-bit: no wrap at 2 GiB).
    std::uint64_t m_nFileCount = 0;
    std::uint64_t m_nFolderCount = 0;
    std::uint64_t m_nTotalBytes = 0;

    // The one engine of both panes (one batch at a time, either direction;
    // those asked for meanwhile wait in its queue).
    std::shared_ptr<CTransferEngine> m_pEngine;
    // The transfer list the pane's batches show in; set by the frame.
    CTransferList* m_pTransfers = nullptr;
    // What a download needs of the local pane; set by the frame.
    struct LocalSide {
        std::function<std::string()> currentDir; // the folder the local list shows
        // The download's end on that side (on the UI thread).
        std::function<void(const BatchResult&, const BatchEnd&)> downloadEnded;
    } m_local;
    // Shows the file in flight in the frame (nullptr clears it); set by the frame.
    std::function<void(const TransferProgress*)> m_showProgress;

    // Path state: the current folder is the browser's.
    std::string& m_strCurrentPath;
    std::string m_strListPath;
    int m_nComboDepth = 0;
    int m_nViewStyle = 3; // 1 report, 3 list
    int m_bSortFlag = 0;

    CPathCombo* m_wndPath = nullptr;
    CRightList* m_wndList = nullptr;

    // What the pane reports, set by the frame: a log line, the window title,
    // and whether the session is open (the frame's "connected").
    std::function<void(const std::string&)> m_addLine;
    std::function<void(const std::string&)> m_setTitle;
    std::function<void(bool)> m_setConnected;
    std::function<bool()> m_localBusy; // an upload runs in the local pane

    // The session; null while not connected.
    std::shared_ptr<remote::IRemoteFs> GetSession() const { return m_browser->Session(); }
    bool IsConnected() const { return GetSession() != nullptr; }
    // Whether a connect attempt is still under way.
    bool IsConnecting() const { return m_browser->IsConnecting(); }

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

    // Navigation.
    void OnDblclkList();
    void OnUpOneLevel() override;
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
    void OnBeginLabelEdit(wxListEvent& event) override;
    void OnEndLabelEdit(wxListEvent& event) override;

    bool HandleCommand(int command) override;
    // The context menu as it would open now; null before the first connection.
    wxMenu* CreateContextMenu() override;

    // Rows as the listing becomes them: folders first in reverse server
    // order, then files in server order; "." and ".." left out.
    static std::vector<Row> RowsFromListing(const std::vector<remote::Entry>& entries,
                                            CFileTypes* types);
    // Waits (pumping nothing) until no worker of the pane runs. For tests.
    bool WaitIdle(int timeoutMs);

private:
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    // Of the downloads running or waiting.
    std::vector<std::shared_ptr<CPaneHost>> m_hosts;
    remote::SiteConnection m_site; // of the latest connect
    int m_nConnectionLimit = 0;    // the server's, once it refused more; 0 unknown
    bool StartBatch(DownloadRequest request, BatchEnd end);
    void OnDownloadEnded(const BatchResult& result, const BatchEnd& end);
    // Whether a job of the transfer list not finished yet reads or writes one
    // of the named entries of the folder shown (or something inside one):
    // each such name gets `line` in the log.
    bool InTransfer(const std::vector<std::string>& names, const std::string& line);
    // Runs `task` on the UI thread later, unless the pane is gone by then.
    void Post(std::function<void()> task);
    void AddLine(const std::string& line);
    // From the connect worker: asks the user about a certificate on the UI
    // thread; an "Always" answer is kept in the store there.
    std::future<remote::Trust> AskCertificate(const remote::Certificate& certificate) override;
    // An unknown SSH host key (the session keeps an "Always" answer), and a
    // password or passphrase the login asks for.
    std::future<remote::Trust> AskHostKey(const remote::HostKey& key) override;
    std::future<std::optional<std::string>> AskSecret(remote::SecretKind kind,
                                                      const std::string& prompt) override;
    // The path box for `dir`, from the root folders it holds (no request).
    void ShowPathChain(const std::string& dir);

    // What the browser reports (on the UI thread).
    void OnConnectTitle(bool connected, const std::string& host, const std::string& user) override;
    void OnConnectDone() override;
    void OnListed(const std::string& folder, const std::vector<remote::Entry>& entries) override;
    void OnPathBack(const std::string& rowsFolder) override;
    void OnRootFolders(const std::vector<std::string>& folders, bool entered,
                       const std::string& folder) override;
    void OnEntered(const std::string& name, const std::string& target) override;
    void OnFolderMade(bool made, bool sameListing) override;
    void OnRenamed(const std::string& oldName, const std::string& newName) override;
    void OnDeleted(const std::string& folder) override;
    void OnProperties(const remote::PropertiesTexts& texts,
                      const remote::FolderCount& count) override;

    // The widgets' events.
    void OnPathPicked(int index) override { OnSelchangePath(index); }
    void OnOpenRow() override { OnDblclkList(); }
    void OnColumnClick(int) override { m_bSortFlag = !m_bSortFlag; }
    void OnMenuCommand(int wxId, wxCommandEvent& event) override;
};
