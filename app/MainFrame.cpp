#include "app/MainFrame.h"

#include "app/AboutDlg.h"
#include "app/DragDrop.h"
#include "app/Status.h"
#include "local/LeftView.h"
#include "platform/registry/Registry.h"
#include "platform/shell/Shell.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"
#include "platform/ui/Text.h"
#include "remote/RightView.h"
#include "resources/Artwork.h"
#include "resources/Commands.h"
#include "sites/SiteManagerDlg.h"
#include "transfer/PaneHost.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferList.h"
#include "transfer/TransferListView.h"

#include <wx/accel.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/splitter.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/toolbar.h>
#include <wx/utils.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

const char* const kTitleNotConnected = " Not Connected - Halvard Tremoc, Orvane  v1.0 ";
const char* const kTitleConnectedSuffix = "Halvard Tremoc, - Orvane  v1.0";

namespace {

constexpr int kStatusPaneHeight = 70;
constexpr int kStatusPaneMin = 30;
constexpr int kLocalPaneWidth = 440;
constexpr int kFilePaneMin = 150;
constexpr int kTransferListHeight = 160;

wxAcceleratorEntry ToWxAccel(const cmd::Accelerator& a) {
    int flags =
        (a.modifiers & cmd::kAlt ? wxACCEL_ALT : 0) | (a.modifiers & cmd::kCtrl ? wxACCEL_CTRL : 0);
    int key = a.key;
    switch (a.key) {
    case cmd::kKeyF1:
        key = WXK_F1;
        break;
    case cmd::kKeyF5:
        key = WXK_F5;
        break;
    case cmd::kKeyDelete:
        key = WXK_DELETE;
        break;
    case cmd::kKeyReturn:
        key = WXK_RETURN;
        break;
    default:
        break;
    }
    return wxAcceleratorEntry(flags, key, cmd::ToWx(a.command));
}

// The caption as the menu shows it. Key names after the tab are written
// "Alt + S"; the menu shows them in its own key column when the key exists
// ("Alt+S"). Exit has no key, so its caption keeps "Alt + X" as plain text.
wxString MenuCaption(const cmd::MenuItem& item) {
    std::string caption = item.caption;
    size_t tab = caption.find('\t');
    if (tab == std::string::npos)
        return wxString::FromUTF8(caption);
    std::string keys = caption.substr(tab + 1);
    bool hasAccel = false;
    for (const cmd::Accelerator& a : cmd::Accelerators())
        hasAccel |= a.command == item.command;
    if (!hasAccel)
        return wxString::FromUTF8(caption.substr(0, tab) + "          " + keys);
    std::string compact;
    for (char c : keys)
        if (c != ' ')
            compact += c;
    return wxString::FromUTF8(caption.substr(0, tab) + "\t" + compact);
}

} // namespace

CMainFrame::CMainFrame()
    : wxFrame(nullptr, wxID_ANY, "Orvane", wxDefaultPosition, wxSize(1000, 700)), m_timer(this) {
    SetIcons(art::AppIcons());
    BuildPanes();
    BuildMenuBar();
    BuildToolBar();
    BuildStatusBar();

    std::vector<wxAcceleratorEntry> entries;
    for (const cmd::Accelerator& a : cmd::Accelerators())
        entries.push_back(ToWxAccel(a));
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(entries.size()), entries.data()));

    for (auto [first, last] :
         {std::pair{32772, 32854}, std::pair{57664, 57665}, std::pair{59410, 59411}})
        Bind(wxEVT_MENU, &CMainFrame::OnMenuEvent, this, cmd::ToWx(first), cmd::ToWx(last));
    Bind(wxEVT_CLOSE_WINDOW, &CMainFrame::OnClose, this);
    Bind(wxEVT_MENU_OPEN, [this](wxMenuEvent& e) {
        OnInitMenu();
        e.Skip();
    });
    Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
        FollowFocus();
        UpdateIndicators();
        OnInitMenu();
    });
    m_timer.Start(250);

    m_pLeftView = GetLeftView();
    m_pRightView = GetRightView();
    m_pLeftView->m_remoteBusy = [this] { return m_pRightView && m_pRightView->m_bBusy != 0; };
    m_pRightView->m_localBusy = [this] { return m_pLeftView && m_pLeftView->m_bUploading != 0; };
    m_pLeftView->m_pPeerMarker = m_pRightView->m_wndMarker;
    m_pRightView->m_pPeerMarker = m_pLeftView->m_wndMarker;
    // What the session reports: log lines (from any thread), the title (on
    // the UI thread), and whether it is open.
    CStatus* status = GetStatusPane();
    m_pRightView->m_addLine = [status](const std::string& line) { status->AddLine(line); };
    m_pRightView->m_setTitle = [this](const std::string& title) {
        SetTitle(wxString::FromUTF8(title));
    };
    m_pRightView->m_setConnected = [this](bool open) { m_bConnected = open ? 1 : 0; };

    // Transfers: one engine for both directions; each pane starts its own
    // batches and finds the other pane through these links.
    m_pEngine = std::make_shared<CTransferEngine>();
    CRightView* right = m_pRightView;
    CLeftView* left = m_pLeftView;
    right->m_pEngine = m_pEngine;
    left->m_pEngine = m_pEngine;
    auto progress = [this](const TransferProgress* p) { ShowTransferProgress(p); };
    right->m_showProgress = progress;
    right->m_local.currentDir = [left] { return left->m_strCurrentDir; };
    right->m_local.downloadEnded = [left](const BatchResult& r, const BatchEnd& end) {
        left->OnDownloadEnded(r, end);
    };
    left->m_remote.session = [right] { return right->GetSession(); };
    left->m_remote.batchSessions = [right](int* connections) {
        return right->BatchSessions(connections);
    };
    left->m_remote.currentPath = [right] { return right->m_strCurrentPath; };
    left->m_remote.enableNavigation = [right](bool disable) { right->EnableNavigation(disable); };
    left->m_remote.uploadEnded = [right](const BatchResult& r, const BatchEnd& end) {
        right->OnUploadEnded(r, end);
    };
    left->m_remote.showProgress = progress;
    left->m_remote.addLine = [status](const std::string& line) { status->AddLine(line); };
    // Dragging from one list to the other transfers.
    dnd::Attach(*left, *right);

    // The transfer list: every batch's jobs, shown below the panes while any.
    right->m_pTransfers = m_pTransfers.get();
    left->m_pTransfers = m_pTransfers.get();
    m_pTransfers->m_changed = [this] { ShowTransfers(); };
    m_pTransfers->m_moving = [this] { m_wndTransfers->KeepSelection(); };
    m_wndTransfers->m_stopAll = [this] { OnStop(); };
    m_wndTransfers->m_retry = [this](CTransferList::Retry retry) {
        RetryTransfers(std::move(retry.downloads), std::move(retry.uploads));
    };
}

void CMainFrame::ShowTransfers() {
    ui::RequireUiThread("CMainFrame::ShowTransfers");
    bool shown = m_wndListSplitter->IsSplit();
    if (m_pTransfers->Empty()) {
        if (shown)
            m_wndListSplitter->Unsplit(m_wndTransfers);
    } else if (!shown) {
        m_wndListSplitter->SplitHorizontally(m_wndFileSplitter, m_wndTransfers,
                                             -kTransferListHeight);
    }
    m_wndTransfers->ShowRows();
}

void CMainFrame::RetryTransfers(std::vector<CTransferItem> downloads,
                                std::vector<CTransferItem> uploads) {
    ui::RequireUiThread("CMainFrame::RetryTransfers");
    // Each file goes back where it was to go; the lists refresh as after a drop.
    if (!downloads.empty() && !m_pRightView->StartDownloadThread(std::move(downloads), BatchEnd{}))
        GetStatusPane()->AddLine("Not connected: the failed downloads are not retried");
    if (!uploads.empty() && !m_pLeftView->StartUploadThread(std::move(uploads), BatchEnd{}, {}))
        GetStatusPane()->AddLine("Not connected: the failed uploads are not retried");
}

CMainFrame::~CMainFrame() {
    m_timer.Stop();
    // The remote pane's workers report to the log pane and to this frame:
    // they end before any of those windows goes.
    // Batches end while the log and the panes they report to still stand.
    if (m_pLeftView)
        m_pLeftView->EndTransfers();
    if (m_pRightView)
        m_pRightView->Shutdown();
    // The list's rows go before the window that shows them.
    if (m_pTransfers) {
        m_pTransfers->m_changed = nullptr;
        m_pTransfers->m_moving = nullptr;
    }
    if (m_wndTransfers)
        m_wndTransfers->SetItemCount(0);
}

void CMainFrame::BuildPanes() {
    // Outer splitter: the log on top, the file panes below.
    m_wndSplitter = new wxSplitterWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                         wxSP_3D | wxSP_LIVE_UPDATE);
    auto* status = new CStatus(m_wndSplitter);
    m_wndListSplitter = new wxSplitterWindow(m_wndSplitter, wxID_ANY, wxDefaultPosition,
                                             wxDefaultSize, wxSP_3D | wxSP_LIVE_UPDATE);
    m_wndFileSplitter = new wxSplitterWindow(m_wndListSplitter, wxID_ANY, wxDefaultPosition,
                                             wxDefaultSize, wxSP_3D | wxSP_LIVE_UPDATE);
    m_pTransfers = std::make_unique<CTransferList>();
    m_wndTransfers = new CTransferListView(m_wndListSplitter, *m_pTransfers);
    m_wndTransfers->Hide();
    m_wndListSplitter->SetMinimumPaneSize(kStatusPaneMin);
    m_wndListSplitter->SetSashGravity(1.0);
    m_wndListSplitter->Initialize(m_wndFileSplitter);
    auto* left = new CLeftView(m_wndFileSplitter);
    auto* right = new CRightView(m_wndFileSplitter);
    m_wndSplitter->SetMinimumPaneSize(kStatusPaneMin);
    m_wndSplitter->SetSashGravity(0.0);
    m_wndSplitter->SplitHorizontally(status, m_wndListSplitter, kStatusPaneHeight);
    m_wndFileSplitter->SetMinimumPaneSize(kFilePaneMin);
    m_wndFileSplitter->SetSashGravity(0.0);
    m_wndFileSplitter->SplitVertically(left, right, kLocalPaneWidth);

    // The pane that last got the focus is the active one.
    for (wxWindow* pane : {static_cast<wxWindow*>(status), static_cast<wxWindow*>(left),
                           static_cast<wxWindow*>(right)}) {
        pane->Bind(wxEVT_CHILD_FOCUS, [this, pane](wxChildFocusEvent& e) {
            SetActiveView(pane);
            e.Skip();
        });
    }
}

void CMainFrame::BuildMenuBar() {
    auto* file = new wxMenu;
    for (const cmd::MenuItem& item : cmd::FileMenu()) {
        if (item.command == 0)
            file->AppendSeparator();
        else
            file->Append(cmd::ToWx(item.command), MenuCaption(item),
                         wxString::FromUTF8(cmd::PromptOf(item.command)));
    }
    auto* bar = new wxMenuBar;
    bar->Append(file, "&File");
    SetMenuBar(bar);
}

void CMainFrame::BuildToolBar() {
    m_wndToolBar = CreateToolBar(wxTB_HORIZONTAL | wxTB_FLAT | wxTB_TOP | wxTB_NODIVIDER);
    m_wndToolBar->SetToolBitmapSize(wxSize(30, 30));
    const auto& buttons = cmd::ToolbarButtons();
    for (size_t i = 0; i < buttons.size(); ++i) {
        if (i > 0)
            m_wndToolBar->AddSeparator();
        m_wndToolBar->AddTool(cmd::ToWx(buttons[i].command), wxString::FromUTF8(buttons[i].tooltip),
                              art::ToolbarImage(static_cast<int>(i)), wxNullBitmap, wxITEM_NORMAL,
                              wxString::FromUTF8(buttons[i].tooltip),
                              wxString::FromUTF8(buttons[i].prompt));
    }
    m_wndToolBar->Realize();
}

void CMainFrame::BuildStatusBar() {
    m_wndStatusBar = CreateStatusBar(4);
    int widths[4] = {-1, 40, 40, 40};
    int styles[4] = {wxSB_RAISED, wxSB_SUNKEN, wxSB_SUNKEN, wxSB_SUNKEN};
    m_wndStatusBar->SetStatusWidths(4, widths);
    m_wndStatusBar->SetStatusStyles(4, styles);
    SetStatusBarPane(0); // fly-by prompts of menus and toolbar go to the message pane
    SetStatusText("Ready", 0);
    UpdateIndicators();
    // The gauge of the file in flight sits at the right end of the message pane.
    m_wndGauge = new wxGauge(m_wndStatusBar, wxID_ANY, 1000, wxDefaultPosition, wxDefaultSize,
                             wxGA_HORIZONTAL | wxGA_SMOOTH);
    m_wndGauge->Hide();
    m_wndStatusBar->Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
        PlaceGauge();
        e.Skip();
    });
}

void CMainFrame::PlaceGauge() {
    ui::RequireUiThread("CMainFrame::PlaceGauge");
    wxRect field;
    if (!m_wndGauge || !m_wndStatusBar->GetFieldRect(0, field))
        return;
    int width = std::min(160, field.width / 3);
    m_wndGauge->SetSize(field.GetRight() - width - 2, field.y + 2, width, field.height - 4);
}

void CMainFrame::ShowTransferProgress(const TransferProgress* p) {
    ui::RequireUiThread("CMainFrame::ShowTransferProgress");
    if (!p) {
        m_wndGauge->Hide();
        SetStatusText("Ready", 0);
        return;
    }
    std::string verb = p->direction == TransferDirection::Download ? "Downloading " : "Uploading ";
    SetStatusText(wxString::FromUTF8(verb + FormatProgress(*p)), 0);
    int value = p->total
                    ? static_cast<int>(std::min<std::uint64_t>(p->done, p->total) * 1000 / p->total)
                    : 0;
    if (!m_wndGauge->IsShown()) {
        PlaceGauge();
        m_wndGauge->Show();
    }
    if (m_wndGauge->GetValue() != value)
        m_wndGauge->SetValue(value);
}

void CMainFrame::UpdateIndicators() {
    if (!m_wndStatusBar)
        return;
    GdkKeymap* keymap = gdk_keymap_get_for_display(gdk_display_get_default());
    bool on[3] = {keymap && gdk_keymap_get_caps_lock_state(keymap),
                  keymap && gdk_keymap_get_num_lock_state(keymap),
                  keymap && gdk_keymap_get_scroll_lock_state(keymap)};
    const char* names[3] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        wxString text = on[i] ? names[i] : "";
        if (m_wndStatusBar->GetStatusText(i + 1) != text)
            m_wndStatusBar->SetStatusText(text, i + 1);
    }
}

std::string CMainFrame::GetIndicatorText(int pane) const {
    return m_wndStatusBar ? m_wndStatusBar->GetStatusText(pane).utf8_string() : std::string();
}

CStatus* CMainFrame::GetStatusPane() const {
    return m_wndSplitter ? dynamic_cast<CStatus*>(m_wndSplitter->GetWindow1()) : nullptr;
}

CLeftView* CMainFrame::GetLeftView() const {
    return m_wndFileSplitter ? dynamic_cast<CLeftView*>(m_wndFileSplitter->GetWindow1()) : nullptr;
}

CRightView* CMainFrame::GetRightView() const {
    return m_wndFileSplitter ? dynamic_cast<CRightView*>(m_wndFileSplitter->GetWindow2()) : nullptr;
}

void CMainFrame::SetActiveView(wxWindow* view) {
    m_pActiveView = view;
    m_pLastFocus = wxWindow::FindFocus();
}

void CMainFrame::OnMenuEvent(wxCommandEvent& event) {
    int command = cmd::FromWx(event.GetId());
    // A key the frame maps to a command is left to a text field that has the
    // focus where the field needs it: Delete in the log or in a name being edited.
    if (command == cmd::ID_DELETE && dynamic_cast<wxTextCtrl*>(wxWindow::FindFocus())) {
        event.Skip();
        return;
    }
    RouteCommand(command);
}

void CMainFrame::FollowFocus() {
    // The pane holding the keyboard focus is the active one; checked whenever
    // the focus has moved since the last look.
    wxWindow* focus = wxWindow::FindFocus();
    if (focus == m_pLastFocus)
        return;
    m_pLastFocus = focus;
    for (wxWindow* w = focus; w && w != this; w = w->GetParent()) {
        if (w == m_pLeftView || w == m_pRightView || w == GetStatusPane()) {
            m_pActiveView = w;
            return;
        }
    }
}

void CMainFrame::RouteCommand(int command) {
    FollowFocus();
    wxWindow* active = m_pActiveView;
    if (active && active == m_pLeftView && m_pLeftView->HandleCommand(command))
        return;
    if (active && active == m_pRightView && m_pRightView->HandleCommand(command))
        return;
    if (FrameCommand(command))
        return;
    if (command == cmd::ID_APP_ABOUT)
        OnAppAbout(this);
}

bool CMainFrame::FrameCommand(int command) {
    CLeftView* left = m_pActiveView == m_pLeftView ? m_pLeftView : nullptr;
    CRightView* right = m_pActiveView == m_pRightView ? m_pRightView : nullptr;
    bool connected = m_bConnected != 0;
    switch (command) {
    case cmd::ID_SITE_MANAGER:
        OnSiteManager();
        return true;
    case cmd::ID_DISCONNECT:
        OnDisconnect();
        return true;
    case cmd::ID_RECONNECT:
        OnReconnect();
        return true;
    case cmd::ID_STOP:
        OnStop();
        return true;
    case cmd::ID_APP_EXIT:
        OnExit();
        return true;
    case cmd::ID_HELP_FILE:
        OnHelpFile();
        return true;
    case cmd::ID_RUN:
    case cmd::ID_VIEW_FILES:
        if (left)
            left->OnExecute();
        else if (right && connected)
            right->OnExecute();
        return true;
    case cmd::ID_DELETE_TOOLBAR:
        if (left)
            left->OnDelete();
        else if (right && connected)
            right->OnDelete();
        return true;
    case cmd::ID_NEW_FOLDER_TOOLBAR:
        if (left)
            left->OnNewFolder();
        else if (right && connected)
            right->OnNewFolder();
        return true;
    case cmd::ID_UPLOAD_TOOLBAR:
        if (left && connected)
            left->OnUpload();
        return true;
    case cmd::ID_DOWNLOAD_TOOLBAR:
        if (right && connected)
            right->OnDownload();
        return true;
    case cmd::ID_PROPERTIES_TOOLBAR:
        if (left)
            left->OnProperties();
        else if (right && connected)
            right->OnProperties();
        return true;
    case cmd::ID_REFRESH_TOOLBAR:
        if (left)
            left->OnRefresh();
        return true;
    case cmd::ID_VIEW_DETAILS:
        SetActivePaneView(1);
        return true;
    case cmd::ID_VIEW_SMALLICON:
        SetActivePaneView(2);
        return true;
    default:
        return false;
    }
}

void CMainFrame::SetActivePaneView(int mode) {
    if (m_pActiveView == m_pLeftView)
        m_pLeftView->SetViewMode(mode);
    else if (m_pActiveView == m_pRightView)
        m_pRightView->SetViewStyle(mode);
}

void CMainFrame::OnInitMenu() {
    FollowFocus();
    if (m_pActiveView != m_pLeftView && m_pActiveView != m_pRightView)
        return;
    // The panes' commands grey while the server pane's session is taken (a
    // walk, a listing, a batch that got no connection of its own); a batch
    // on its own connections leaves them free. The File menu's commands
    // (connect elsewhere, disconnect, exit) would meet any batch: they grey
    // while one runs or waits.
    bool busy = (m_pRightView && m_pRightView->m_bBusy) ||
                (m_pLeftView && m_pLeftView->m_bUploading) ||
                (m_pEngine && m_pEngine->BorrowsSession());
    bool fileBusy = busy || (m_pEngine && m_pEngine->IsBusy());
    // The menu bar has one popup; positions 2 and 3 do not exist there.
    wxMenuBar* bar = GetMenuBar();
    for (size_t pos : {0u, 2u, 3u}) {
        if (bar && pos < bar->GetMenuCount() && bar->IsEnabledTop(pos) == fileBusy)
            bar->EnableTop(pos, !fileBusy);
    }
    // The toolbar's buttons for the same commands grey with them: the File
    // menu's and those the panes' menus grey while a pane is busy. Stop, the
    // views and About stay.
    if (!m_wndToolBar)
        return;
    auto grey = [this](std::initializer_list<int> commands, bool off) {
        for (int command : commands) {
            int id = cmd::ToWx(command);
            if (m_wndToolBar->FindById(id) && m_wndToolBar->GetToolEnabled(id) == off)
                m_wndToolBar->EnableTool(id, !off);
        }
    };
    grey({cmd::ID_SITE_MANAGER, cmd::ID_DISCONNECT, cmd::ID_RECONNECT, cmd::ID_APP_EXIT}, fileBusy);
    grey({cmd::ID_NEW_FOLDER_TOOLBAR, cmd::ID_RUN, cmd::ID_DELETE_TOOLBAR, cmd::ID_UPLOAD_TOOLBAR,
          cmd::ID_DOWNLOAD_TOOLBAR, cmd::ID_PROPERTIES_TOOLBAR, cmd::ID_REFRESH_TOOLBAR},
         busy);
}

void CMainFrame::OnSiteManager() {
    CSiteManagerDlg dlg(this);
    if (ui::RunModal(dlg) != wxID_OK)
        return;
    if (m_bConnected) {
        if (ui::MessageBox(this, "Terminate Existing connection", "FTP", ui::kButtonsYesNo) !=
            ui::kYes)
            return;
        OnDisconnect();
    }
    ConnectToSite(dlg);
}

void CMainFrame::ConnectToSite(CSiteManagerDlg& dlg) {
    CStatus* status = GetStatusPane();
    status->AddLine("Connecting to " + dlg.m_strHost + " as " + dlg.m_strUser);
    CRightView* right = GetRightView();
    CLeftView* left = GetLeftView();
    right->m_strRemoteDir = dlg.m_strRemoteDir;
    right->m_strHost = dlg.m_strHost;
    right->m_strPassword = dlg.m_strPassword;
    right->m_strUser = dlg.m_strUser;
    right->m_nPort = dlg.m_nPort;
    right->m_nEncryption = dlg.m_nEncryption;
    right->m_nProtocol = dlg.m_nProtocol;
    right->m_nTransfers = dlg.m_nTransfers;
    left->m_strDefaultDir = dlg.m_strLocalDir;
    // The stored field holds at most 149 characters; one trailing separator is
    // dropped, except from the root itself.
    std::string dir = ui::CutAtCharBoundary(dlg.m_strLocalDir, 149);
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    left->ChangeDirectory(dir);
    m_nConnectMode = dlg.m_bPassive ? 1 : 2;
    right->StartConnect(m_nConnectMode);
}

void CMainFrame::OnDisconnect() {
    wxBusyCursor wait;
    // A connect still under way (or still listing its first folder) is
    // ended as an open session is.
    CRightView* right = GetRightView();
    if (!m_bConnected && !right->IsConnected() && !right->IsConnecting())
        return;
    CStatus* status = GetStatusPane();
    status->AddLine("Disconnecting ....");
    SetTitle(kTitleNotConnected);
    right->CloseSession();
    status->AddLine("Connection Closed");
    m_bConnected = 0;
    // What failed on this server is not retried on the next one.
    m_pTransfers->NewSession();
}

void CMainFrame::OnReconnect() {
    if (m_bConnected) {
        OnDisconnect();
        GetStatusPane()->AddLine("Reconnecting ....");
        GetRightView()->StartConnect(m_nConnectMode);
    } else {
        OnSiteManager();
    }
}

void CMainFrame::OnStop() {
    // A delete or Properties walk of the server pane ends after the request
    // in flight; a transfer batch ends at once, the file in flight abandoned.
    GetRightView()->m_bStop = 1;
    m_pEngine->Stop();
}

void CMainFrame::OnExit() {
    const char* question = m_bConnected ? "Terminate Current Session and Exit Orvane?"
                                        : "Are you sure you want to Exit Orvane?";
    if (ui::MessageBox(this, question, "Confirm", ui::kButtonsYesNo, ui::kIconQuestion) != ui::kYes)
        return;
    // Whatever the state, also while a connect is still under way: the
    // session is closed and nothing the pane started reports any more.
    GetRightView()->CloseSession();
    if (m_quit)
        m_quit(18);
}

void CMainFrame::OnClose(wxCloseEvent& event) {
    if (!event.CanVeto()) { // the session is ending: no question can be asked
        m_pRightView->Shutdown();
        Destroy();
        return;
    }
    event.Veto();
    OnExit();
}

void CMainFrame::OnHelpFile() {
    // The installation folder is recorded when Orvane is installed.
    std::string folder = reg::RegReadText(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", "PATH", 200);
    if (folder.empty()) {
        ui::MessageBox(this,
                       "Help is not available: no installation folder of Orvane is recorded. "
                       "Install Orvane to get its manual.",
                       "Orvane", ui::kButtonsOk, ui::kIconInformation);
        return;
    }
    std::string path = folder + (folder.back() == '/' ? "" : "/") + "Orvane.html";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ui::MessageBox(this, "The help file " + path + " cannot be found.", "Orvane",
                       ui::kButtonsOk, ui::kIconInformation);
        return;
    }
    if (!shell::OpenWithDefaultApp(path, folder))
        ui::MessageBox(this,
                       "The help file " + path +
                           " cannot be opened: no program to show it was found (xdg-open).",
                       "Orvane", ui::kButtonsOk, ui::kIconInformation);
}
