// The main window: toolbar, status bar, the log on top and the two file panes
// below; it owns the command table and runs the connection commands.
#pragma once

#include <wx/frame.h>
#include <wx/timer.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct CTransferItem;
class wxSplitterWindow;
class wxToolBar;
class wxStatusBar;
class wxGauge;
class CTransferEngine;
class CTransferList;
class CTransferListView;
struct TransferProgress;
class CStatus;
class CLeftView;
class CRightView;
class CSiteManagerDlg;

// Window titles.
extern const char* const kTitleNotConnected;
extern const char* const kTitleConnectedSuffix;

class CMainFrame : public wxFrame {
public:
    CMainFrame();
    ~CMainFrame() override;

    int m_nConnectMode = 0; // 1 passive, 2 active (normal); reused by Reconnect
    wxToolBar* m_wndToolBar = nullptr;
    wxSplitterWindow* m_wndSplitter = nullptr;
    wxSplitterWindow* m_wndFileSplitter = nullptr;
    // The file panes above, the transfer list below it (shown only while it
    // holds rows).
    wxSplitterWindow* m_wndListSplitter = nullptr;
    CTransferListView* m_wndTransfers = nullptr;
    std::atomic<int> m_bConnected{0}; // nonzero while a session is open
    CRightView* m_pRightView = nullptr;
    CLeftView* m_pLeftView = nullptr;
    wxStatusBar* m_wndStatusBar = nullptr;

    CStatus* GetStatusPane() const;
    CLeftView* GetLeftView() const;
    CRightView* GetRightView() const;

    // Runs a command as the user's menu, toolbar or key would: first the active
    // pane, if it handles the command, then the frame, then the application.
    void RouteCommand(int command);

    void OnSiteManager();
    void ConnectToSite(CSiteManagerDlg& dlg);
    void OnDisconnect();
    void OnReconnect();
    void OnStop();
    void OnExit();
    void OnHelpFile();
    void SetActivePaneView(int mode);

    // Grays or enables the File menu, and the toolbar buttons of the commands
    // the menus grey, while a pane is busy (called whenever a menu is about to
    // open, and as the busy flags change).
    void OnInitMenu();

    // The pane the file commands go to: one of the two file panes, the log
    // pane, or none.
    wxWindow* GetActiveView() const { return m_pActiveView; }
    void SetActiveView(wxWindow* view);

    // Ends the program with an exit code; the application sets it, tests replace it.
    std::function<void(int)> m_quit;

    // The text of the status bar's indicator panes (CAP, NUM, SCRL), as shown.
    std::string GetIndicatorText(int pane) const;
    void UpdateIndicators();

    // The file in flight in the status bar's message pane and its gauge;
    // nullptr clears both.
    void ShowTransferProgress(const TransferProgress* progress);
    wxGauge* m_wndGauge = nullptr;
    // The engine both panes run their batches on.
    std::shared_ptr<CTransferEngine> m_pEngine;
    // The jobs of this session's batches, shown in m_wndTransfers.
    std::unique_ptr<CTransferList> m_pTransfers;
    // Shows the transfer list as it is now, or hides it when empty.
    void ShowTransfers();
    // Runs the failed rows again: downloads and uploads, each a batch.
    void RetryTransfers(std::vector<CTransferItem> downloads, std::vector<CTransferItem> uploads);

private:
    wxWindow* m_pActiveView = nullptr;
    wxWindow* m_pLastFocus = nullptr;
    wxTimer m_timer;
    void FollowFocus();

    bool FrameCommand(int command);
    void BuildMenuBar();
    void BuildToolBar();
    void BuildStatusBar();
    void BuildPanes();
    void PlaceGauge();
    void OnMenuEvent(wxCommandEvent& event);
    void OnClose(wxCloseEvent& event);
};
