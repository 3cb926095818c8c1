#include "remote/RightView.h"

#include "local/LocalDirectory.h"
#include "local/PropertiesDlg.h"
#include "platform/fs/Paths.h"
#include "platform/ui/ContextMenu.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/FileTypes.h"
#include "platform/ui/ListSelect.h"
#include "platform/ui/MarkerStrip.h"
#include "platform/ui/Modal.h"
#include "platform/ui/PathCombo.h"
#include "platform/ui/Text.h"
#include "remote/CertificateDlg.h"
#include "remote/RemoteOps.h"
#include "resources/Artwork.h"
#include "resources/Commands.h"
#include "resources/MenuBuilder.h"
#include "sites/SiteStore.h"
#include "transfer/PaneHost.h"

#include <wx/bmpbuttn.h>
#include <wx/imaglist.h>
#include <wx/menu.h>
#include <wx/statbmp.h>
#include <wx/utils.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

enum { kMarkerId = 1036, kPathId = 1005, kUpId = 1006, kListId = 1007 };

const char* const kTitleNotConnected = " Not Connected - Halvard Tremoc, Orvane  v1.0 ";

std::string ModifiedText(const remote::Entry& e) {
    if (e.modified == 0)
        return "";
    std::time_t when = static_cast<std::time_t>(e.modified);
    struct tm t;
    // Times the server gave in its own clock are shown as given; UTC times
    // in the local time of this machine.
    if (!(e.modifiedIsUtc ? localtime_r(&when, &t) : gmtime_r(&when, &t)))
        return "";
    char buf[32];
    std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &t);
    return buf;
}

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

} // namespace

CRightList::CRightList(wxWindow* parent, wxWindowID id)
    : CFileListCtrl(parent, id, {{"Name", 120}, {"Size", 50}, {"Type", 140}, {"Modified", 120}}) {
    EnableDragDrop(true);
}

CRightView::CRightView(wxWindow* parent) : wxPanel(parent, wxID_ANY) {
    m_types = std::make_unique<CFileTypes>(art::LoadIconBitmap(art::ICON_FOLDER));
    m_wndMarker = new CMarkerStrip(this, kMarkerId);
    m_wndPath = new CPathCombo(this, kPathId, {art::LoadIconBitmap(art::ICON_OPEN_FOLDER, 16)});
    m_wndUp = new wxBitmapButton(this, kUpId, art::LoadBitmap(art::BMP_UP), wxDefaultPosition,
                                 wxDefaultSize, wxBORDER_NONE);
    m_wndUp->SetToolTip("One Level Up");
    m_wndList = new CRightList(this, kListId);
    m_wndList->SetImageList(m_types->ImageList(), wxIMAGE_LIST_SMALL);
    m_wndList->SetRows(&m_rows);

    Bind(wxEVT_SIZE, [this](wxSizeEvent& e) { Layout(e.GetSize().x, e.GetSize().y); });
    m_wndUp->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnUpOneLevel(); });
    m_wndPath->Bind(wxEVT_COMBOBOX,
                    [this](wxCommandEvent& e) { OnSelchangePath(e.GetSelection()); });
    // A click or the focus in the box or the list makes this pane the active one.
    ui::BindActivation(m_wndPath, [this] { MarkActive(); });
    m_wndList->m_onActivate = [this] { MarkActive(); };
    m_wndList->Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) {
        MarkActive();
        e.Skip();
    });
    m_wndList->Bind(wxEVT_LIST_ITEM_ACTIVATED, [this](wxListEvent&) { OnDblclkList(); });
    m_wndList->Bind(wxEVT_LIST_COL_CLICK, [this](wxListEvent&) { m_bSortFlag = !m_bSortFlag; });
    ui::BindContextMenu(m_wndList, wxEVT_CONTEXT_MENU, [this] { OnContextMenu(); });
    m_wndList->Bind(wxEVT_LIST_BEGIN_LABEL_EDIT, &CRightView::OnBeginLabelEdit, this);
    m_wndList->Bind(wxEVT_LIST_END_LABEL_EDIT, &CRightView::OnEndLabelEdit, this);
    Bind(wxEVT_MENU, [this](wxCommandEvent& e) {
        if (!HandleCommand(cmd::FromWx(e.GetId())))
            e.Skip();
    });
}

CRightView::~CRightView() {
    Shutdown();
    m_wndList->SetImageList(nullptr, wxIMAGE_LIST_SMALL);
}

void CRightView::Shutdown() {
    *m_alive = false;
    m_bShutdown = true;
    if (m_pHost)
        m_pHost->Detach();
    // A batch still running ends now (a question it waits for goes away).
    if (m_pEngine && m_pEngine->IsBusy()) {
        m_pEngine->Stop();
        m_pEngine->WaitIdle(10000);
    }
    // Every worker ends soon once the session is closed (a connect in
    // progress included); none waits for this thread, so they can be joined
    // here.
    std::shared_ptr<remote::IRemoteFs> session, pending;
    {
        std::lock_guard lock(m_sessionMutex);
        ++m_nConnectAttempt; // no attempt sets the session from now on
        session = m_hConnect;
        pending = m_pending;
    }
    if (session)
        session->Close();
    if (pending)
        pending->Close();
    std::lock_guard lock(m_threadsMutex);
    for (auto& [thread, done] : m_threads)
        if (thread.joinable())
            thread.join();
    m_threads.clear();
}

std::shared_ptr<remote::IRemoteFs> CRightView::GetSession() const {
    std::lock_guard lock(m_sessionMutex);
    return m_hConnect;
}

bool CRightView::IsConnecting() const {
    std::lock_guard lock(m_sessionMutex);
    return m_pending != nullptr;
}

void CRightView::StartWorker(std::function<void()> work) {
    std::lock_guard lock(m_threadsMutex);
    if (m_bShutdown)
        return; // the windows the worker would report to are going
    // Threads that ended are joined as new ones start.
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->second->load()) {
            it->first.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    ++m_bBusy;
    m_threads.emplace_back(
        [this, work = std::move(work), done] {
            work();
            --m_bBusy;
            *done = true;
        },
        done);
}

bool CRightView::WaitIdle(int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_bBusy != 0) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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

void CRightView::Layout(int cx, int cy) {
    m_wndMarker->SetSize(0, 0, cx, 8);
    m_wndPath->SetSize(1, 9, std::max(cx - 26, 10), -1);
    m_wndList->SetSize(0, 33, cx, std::max(cy - 34, 10));
    m_wndUp->SetSize(cx - 27, 9, 27, 21);
}

void CRightView::MarkActive() {
    m_wndMarker->SetBitmap(art::LoadBitmap(art::BMP_MARKER_ACTIVE));
    if (m_pPeerMarker)
        m_pPeerMarker->SetBitmap(art::LoadBitmap(art::BMP_MARKER_IDLE));
}

bool CRightView::NavigationLocked() const {
    // A batch in either direction holds the server folder: the end of a
    // dropped upload puts the path it started in back, so a folder entered
    // meanwhile would show its rows under another folder's path.
    return m_bBusy != 0 || (m_pEngine && m_pEngine->IsBusy());
}

void CRightView::EnableNavigation(bool disable) {
    ui::RequireUiThread("CRightView::EnableNavigation");
    m_wndUp->Enable(!disable);
    m_wndPath->Enable(!disable);
}

void CRightView::StartConnect(int mode) {
    if (m_bShutdown)
        return;
    m_nMode = mode;
    remote::SiteConnection site;
    site.host = m_strHost;
    site.port = m_nPort;
    site.user = m_strUser;
    site.password = m_strPassword;
    site.passive = mode == 1;
    site.encryption = m_nEncryption;
    // The session exists before its worker starts, so that a later attempt,
    // a disconnect or the end of the program can close it at any moment.
    remote::Result made;
    std::shared_ptr<remote::IRemoteFs> session = remote::OpenRemoteFs(site, this, &made);
    std::string reason = session ? std::string() : made.reply;
    // A session the server closed logs in again by itself and says so here.
    if (session)
        session->SetLineHook([this](const std::string& line) { AddLine(line); });
    std::shared_ptr<remote::IRemoteFs> older;
    unsigned attempt;
    {
        std::lock_guard lock(m_sessionMutex);
        attempt = ++m_nConnectAttempt;
        older = std::exchange(m_pending, session);
    }
    // Only the latest attempt may become the session: an older one still
    // connecting is closed, and its worker discards it.
    if (older)
        older->Close();
    wxBeginBusyCursor();
    StartWorker([this, session, site, reason, attempt, dir = m_strRemoteDir] {
        ConnectThreadProc(session, site, reason, dir, attempt);
    });
}

void CRightView::ConnectThreadProc(std::shared_ptr<remote::IRemoteFs> session,
                                   remote::SiteConnection params, std::string reason,
                                   std::string remoteDir, unsigned attempt) {
    bool ok = false;
    if (session) {
        remote::Result connected = session->Connect();
        ok = connected.Ok();
        reason = connected.reply;
    }
    bool latest;
    std::shared_ptr<remote::IRemoteFs> replaced;
    {
        std::lock_guard lock(m_sessionMutex);
        if (m_pending == session)
            m_pending.reset();
        latest = attempt == m_nConnectAttempt;
        // A session closed while it was connecting does not come back.
        if (ok && (session->IsClosed() || !latest))
            ok = false;
        if (latest)
            replaced = std::exchange(m_hConnect, ok ? session : nullptr);
    }
    // A session this attempt replaces (an older one still listing) ends.
    if (replaced && replaced != session)
        replaced->Close();
    if (!latest) {
        // A later attempt (or a disconnect) replaced this one: it reports
        // nothing and leaves the session, the title and the state alone.
        if (session)
            session->Close();
        Post([] { wxEndBusyCursor(); });
        return;
    }
    if (ok) {
        AddLine("Connection successful ");
        for (const std::string& note : session->ConnectNotes())
            AddLine(note);
    } else {
        AddLine("Failed to connect to " + params.host + " as " + params.user);
        if (!reason.empty())
            AddLine(reason);
    }
    std::string host = params.host, user = params.user;
    Post([this, ok, host, user, attempt] {
        if (attempt != m_nConnectAttempt)
            return; // a later attempt titles the window
        if (m_setTitle)
            m_setTitle(ok ? host + " (" + user + ") " + "Halvard Tremoc, - Orvane  v1.0"
                          : kTitleNotConnected);
    });
    if (ok) {
        unsigned generation = ++m_nListGeneration;
        // A folder given from the login folder (a link's path, "." for the
        // login folder itself) is made absolute here: just after the login
        // the session's folder is the one the server put it in.
        if (!remoteDir.empty() && remoteDir[0] != '/')
            remoteDir = session->Resolve(remoteDir);
        if (session->ChangeFolder(remoteDir)) {
            FillList(session, remoteDir, generation);
        } else {
            AddLine("Fail to set Default Remote Directory ");
            FillList(session, "/", generation);
        }
        ShowDirectory(session, remoteDir, generation);
    }
    {
        // Said under the lock, so that a later attempt's state cannot be
        // overwritten by this one's.
        std::lock_guard lock(m_sessionMutex);
        if (attempt == m_nConnectAttempt && m_setConnected)
            m_setConnected(ok);
    }
    Post([] { wxEndBusyCursor(); });
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

std::vector<CRightView::Row> CRightView::RowsFromListing(const std::vector<remote::Entry>& entries,
                                                         CFileTypes* types) {
    std::vector<Row> folders, files;
    for (const remote::Entry& e : entries) {
        if (e.isDots)
            continue;
        Row r;
        r.name = e.name;
        r.folder = e.isDirectory;
        r.size = e.size == 0 ? "" : files::KbText(e.size);
        r.modified = ModifiedText(e);
        if (r.folder) {
            r.type = "File Folder";
            r.image = CFileTypes::kFolderImage;
            folders.push_back(r);
        } else {
            r.type = types ? types->TypeNameFor(e.name) : "";
            r.image = types ? types->ImageFor(e.name) : 0;
            files.push_back(r);
        }
    }
    // Each folder goes above the ones before it: reverse server order.
    std::vector<Row> rows(folders.rbegin(), folders.rend());
    rows.insert(rows.end(), files.begin(), files.end());
    return rows;
}

void CRightView::FillList(const std::shared_ptr<remote::IRemoteFs>& session, const std::string& dir,
                          unsigned generation) {
    std::vector<remote::Entry> entries;
    std::string folder = NormalisePath(dir);
    remote::Result listed = session ? session->List(folder, &entries)
                                    : remote::Result{remote::Failure::Refused, "Not connected"};
    bool ok = listed.Ok();
    std::string reason = listed.reply;
    if (!ok && session && !session->IsClosed())
        AddLine("Unable to list folder " + PrintableName(folder) + " : " + PrintableName(reason));
    Post([this, ok, folder, generation, entries = std::move(entries)] {
        if (generation != m_nListGeneration)
            return; // a later listing wins
        if (!ok) {
            // A listing that failed is no empty folder: the rows of the
            // folder listed last stay, and the path goes back to it.
            if (!m_strRowsPath.empty() && m_strRowsPath != m_strCurrentPath) {
                m_strListPath = m_strRowsPath;
                ShowPathChain(m_strRowsPath);
            }
            return;
        }
        m_rows = RowsFromListing(entries, m_types.get());
        m_strRowsPath = folder;
        ShowRows();
    });
}

void CRightView::ShowRows() {
    m_wndList->ShowRows();
}

void CRightView::ShowDirectory(const std::shared_ptr<remote::IRemoteFs>& session,
                               const std::string& requested, unsigned generation) {
    std::string dir = NormalisePath(requested);
    bool entered = session->ChangeFolder(dir).Ok();
    std::vector<remote::Entry> root;
    bool listed = session->List("/", &root).Ok();
    std::vector<std::string> folders;
    if (listed)
        for (const remote::Entry& e : root)
            if (e.isDirectory && !e.isDots)
                folders.push_back(e.name);
    Post([this, entered, dir, folders, generation] {
        if (generation != m_nListGeneration)
            return; // the user went elsewhere meanwhile: the box shows that
        m_wndPath->ResetContent();
        for (const std::string& f : folders)
            m_wndPath->InsertItem(-1, f, 0, 0);
        if (!entered)
            return; // the path and the depth stay; no selection
        ShowPathChain(dir);
    });
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
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    if (!session)
        return;
    unsigned generation = ++m_nListGeneration;
    StartWorker(
        [this, session, generation, dir = m_strListPath] { FillList(session, dir, generation); });
}

void CRightView::CloseSession() {
    std::shared_ptr<remote::IRemoteFs> session, pending;
    {
        std::lock_guard lock(m_sessionMutex);
        ++m_nConnectAttempt; // an attempt under way does not come back
        session = std::move(m_hConnect);
        m_hConnect.reset();
        pending = std::move(m_pending);
        m_pending.reset();
    }
    // Aborts what runs on the session; its workers end on their own.
    if (session)
        session->Close();
    if (pending)
        pending->Close();
    ++m_nListGeneration; // listings still under way are not shown
    m_nComboDepth = 0;
    m_nViewStyle = 3;
    m_strCurrentPath = "/";
    m_strRowsPath.clear();
    m_rows.clear();
    ShowRows();
    m_wndPath->ResetContent();
}

void CRightView::OnDblclkList() {
    if (NavigationLocked())
        return;
    long first = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (first < 0)
        return;
    if (static_cast<size_t>(first) >= m_rows.size())
        return;
    std::string name = m_rows[static_cast<size_t>(first)].name; // the server's bytes
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    // A name from the server that is no single entry of this folder ("..",
    // "../x", "a/b") would lead elsewhere on the server: it is not entered.
    if (name.empty() || !IsSafeName(name) || !session)
        return;
    std::string target = NormalisePath(m_strCurrentPath + "/" + name);
    unsigned generation = ++m_nListGeneration;
    // The folder test and the listing run on a worker; the path box and the
    // path change when the server has let us in.
    StartWorker([this, session, target, name, generation] {
        if (!session->ChangeFolder(target))
            return; // a file, or a folder we may not enter: nothing changes
        Post([this, name, target, generation] {
            if (generation != m_nListGeneration)
                return;
            int c = m_wndPath->GetCurSel();
            if (c >= 0) {
                ++m_nComboDepth;
                int item = m_wndPath->InsertItem(c + 1, name, 0, m_nComboDepth);
                m_wndPath->SetCurSel(item);
            } else {
                // At the root: the root folder of that name, or, for a link
                // to a folder (not among the root folders), a root item of
                // its own, so that the chain below it stays right.
                int item = FindRootItem(m_wndPath, name);
                if (item < 0)
                    item = m_wndPath->InsertItem(-1, name, 0, 0);
                m_wndPath->SetCurSel(item);
                m_nComboDepth = 0;
            }
            m_strCurrentPath = target;
            m_strListPath = target;
        });
        FillList(session, target, generation);
    });
}

void CRightView::OnUpOneLevel() {
    if (!IsConnected() || NavigationLocked())
        return;
    MarkActive();
    int sel = m_wndPath->GetCurSel();
    if (sel < 0 || m_wndPath->GetIndent(sel) == 0)
        return; // not above a folder of the root
    size_t slash = m_strCurrentPath.rfind('/');
    m_strCurrentPath =
        slash == 0 || slash == std::string::npos ? "/" : m_strCurrentPath.substr(0, slash);
    m_strListPath = m_strCurrentPath;
    StartRefresh();
    m_wndPath->SetCurSel(sel - 1);
    m_wndPath->DeleteItem(sel);
    --m_nComboDepth;
}

void CRightView::OnSelchangePath(int s) {
    if (s < 0)
        return;
    while (s + 1 < static_cast<int>(m_wndPath->GetCount()) && m_wndPath->GetIndent(s + 1) > 0) {
        m_wndPath->DeleteItem(s + 1);
        --m_nComboDepth;
    }
    if (m_wndPath->GetIndent(s) == 0) {
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
    } else {
        int root = s;
        while (root > 0 && m_wndPath->GetIndent(root) > 0)
            --root;
        std::string path;
        for (int i = root; i <= s; ++i)
            path += "/" + m_wndPath->GetItemText(i);
        m_strCurrentPath = NormalisePath(path);
        m_nComboDepth = m_wndPath->GetIndent(s);
        m_wndPath->SetCurSel(s);
    }
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}

void CRightView::OnRootDirectory() {
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    if (!session)
        return;
    m_nComboDepth = 0;
    m_strCurrentPath = "/";
    m_strListPath = "/";
    unsigned generation = ++m_nListGeneration;
    StartWorker([this, session, generation] {
        ShowDirectory(session, "/", generation);
        FillList(session, "/", generation);
    });
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

std::vector<std::string> CRightView::SelectedNames() const {
    std::vector<std::string> names;
    for (long i = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i != -1;
         i = m_wndList->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
        if (static_cast<size_t>(i) < m_rows.size())
            names.push_back(m_rows[static_cast<size_t>(i)].name);
    return names;
}

void CRightView::OnExecute() {
    AddLine("Unable to read from Remote System");
}
void CRightView::OnDownload() {
    if (m_local.currentDir)
        DownloadSelectionInto(m_local.currentDir());
}

bool CRightView::DownloadSelectionInto(const std::string& localDir, BatchEnd end) {
    ui::RequireUiThread("CRightView::DownloadSelectionInto");
    if (!m_pEngine || m_pEngine->IsBusy() || !m_local.currentDir)
        return false; // one batch at a time, in either direction
    DownloadRequest request;
    request.session = GetSession();
    if (!request.session)
        return false; // no session: nothing to fetch and nothing reported
    request.currentPath = m_strCurrentPath;
    request.localDir = localDir;
    request.names = SelectedNames();
    return StartBatch(std::move(request), std::move(end));
}

bool CRightView::StartDownloadThread(std::vector<CTransferItem> items, BatchEnd end) {
    ui::RequireUiThread("CRightView::StartDownloadThread");
    if (!m_pEngine || m_pEngine->IsBusy() || !m_local.currentDir)
        return false;
    DownloadRequest request;
    request.session = GetSession();
    request.currentPath = m_strCurrentPath;
    request.localDir = m_local.currentDir();
    request.items = std::move(items);
    request.dropMode = true;
    return StartBatch(std::move(request), std::move(end));
}

bool CRightView::StartBatch(DownloadRequest request, BatchEnd end) {
    std::shared_ptr<bool> alive = m_alive;
    CPaneHost::Handlers h;
    h.addLine = [this](const std::string& line) { AddLine(line); };
    h.progress = [this](const TransferProgress* p) {
        if (m_showProgress)
            m_showProgress(p);
    };
    // What the batch asked of its end comes back with its result.
    h.uiEnded = [this, alive, end = std::move(end)](const BatchResult& r) {
        if (*alive)
            OnDownloadEnded(r, end);
    };
    std::shared_ptr<CTransferEngine> engine = m_pEngine;
    h.cancelled = [engine] { return engine->m_bStop != 0; };
    std::shared_ptr<CPaneHost> host = CPaneHost::Create(std::move(h));
    ++m_bBusy;
    EnableNavigation(true);
    if (!m_pEngine->StartDownload(std::move(request), host)) {
        --m_bBusy;
        EnableNavigation(false);
        return false;
    }
    m_pHost = host;
    return true;
}

void CRightView::OnDownloadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CRightView::OnDownloadEnded");
    if (m_local.downloadEnded)
        m_local.downloadEnded(result, end);
    m_pHost.reset();
    --m_bBusy;
    EnableNavigation(false);
    ++m_nBatchesEnded;
}

void CRightView::OnUploadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CRightView::OnUploadEnded");
    AfterBatch after = DecideAfterBatch(result, end, m_strCurrentPath);
    m_strCurrentPath = after.folder;
    if (after.refill)
        RefreshList();
    EnableNavigation(false);
}

void CRightView::RefreshList() {
    if (!IsConnected())
        return;
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}

void CRightView::OnNewFolder() {
    ui::RequireUiThread("CRightView::OnNewFolder");
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    if (!session)
        return;
    m_bEditing = 1;
    std::string path = NormalisePath(m_strCurrentPath + "/" + kNewFolder);
    unsigned generation = m_nListGeneration;
    // The folder is made first; only a folder the server made gets a row,
    // whose name the user then edits.
    StartWorker([this, session, path, generation] {
        remote::Result made = session->MakeFolder(path);
        bool ok = made.Ok();
        std::string reply = made.reply;
        if (!ok) {
            AddLine("Unable to create folder " + PrintableName(path));
            if (!reply.empty())
                AddLine(reply);
        }
        Post([this, ok, generation] {
            m_bEditing = 0;
            if (!ok)
                return;
            long item = -1;
            if (generation == m_nListGeneration) {
                item = static_cast<long>(m_rows.size());
                m_rows.push_back(
                    {kNewFolder, "", "File Folder", "", CFileTypes::kFolderImage, true});
                m_wndList->SetItemCount(item + 1);
            } else {
                // The list was filled again meanwhile: its own row of the folder.
                for (size_t i = 0; i < m_rows.size(); ++i)
                    if (m_rows[i].name == kNewFolder)
                        item = static_cast<long>(i);
            }
            if (item < 0)
                return;
            for (long i = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
                 i != -1; i = m_wndList->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
                m_wndList->SetItemState(i, 0, wxLIST_STATE_SELECTED);
            m_wndList->SetItemState(item, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                                    wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
            m_wndList->EnsureVisible(item);
            m_wndList->EditLabel(item);
        });
    });
}

void CRightView::OnRename() {
    ui::RequireUiThread("CRightView::OnRename");
    long first = m_wndList->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (first < 0 || static_cast<size_t>(first) >= m_rows.size() ||
        m_rows[static_cast<size_t>(first)].name.empty())
        return;
    m_wndList->EditLabel(first);
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
    long index = event.GetIndex();
    std::string newName = event.GetLabel().utf8_string();
    if (event.IsEditCancelled() || newName.empty())
        return;
    if (index < 0 || static_cast<size_t>(index) >= m_rows.size())
        return;
    std::string oldName = m_rows[static_cast<size_t>(index)].name;
    // The edit shows a name that is not UTF-8 with its bad bytes escaped:
    // confirming that text unchanged keeps the name.
    if (newName == oldName || newName == ui::DisplayText(oldName))
        return;
    std::vector<std::string> listed;
    for (const Row& r : m_rows)
        listed.push_back(r.name);
    std::string refusal = remote::RenameRefusal(newName, oldName, listed);
    if (!refusal.empty()) {
        AddLine("Unable to rename file ");
        AddLine(refusal);
        return;
    }
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    std::string from = NormalisePath(m_strCurrentPath + "/" + oldName);
    std::string to = NormalisePath(m_strCurrentPath + "/" + newName);
    unsigned generation = m_nListGeneration;
    auto rename = [this, session, from, to, oldName, newName, generation] {
        remote::Result renamed = session
                                     ? session->Rename(from, to)
                                     : remote::Result{remote::Failure::Refused, "Not connected"};
        bool ok = renamed.Ok();
        std::string reply = renamed.reply;
        if (!ok) {
            AddLine("Unable to rename file ");
            if (!reply.empty())
                AddLine(reply);
            return;
        }
        Post([this, oldName, newName, generation] {
            if (generation != m_nListGeneration)
                return; // a newer listing shows the server's names
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
        });
    };
    if (session)
        StartWorker(rename);
    else
        rename();
}

void CRightView::OnDelete() {
    ui::RequireUiThread("CRightView::OnDelete");
    if (m_bEditing)
        return;
    std::vector<std::string> names = SelectedNames();
    if (names.empty())
        return;
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    if (!session || m_bWalking)
        return;
    // Nothing deleted on a server comes back: one question for the selection.
    std::vector<std::string> shown;
    for (const std::string& name : names)
        shown.push_back(ui::DisplayText(name));
    if (ui::MessageBox(this, remote::DeleteQuestion(shown), "Orvane",
                       ui::kButtonsYesNo | ui::kDefaultSecond, ui::kIconQuestion) != ui::kYes)
        return;
    m_bChanged = 0;
    m_bStop = 0;
    m_bWalking = true;
    std::string folder = m_strCurrentPath;
    StartWorker([this, session, folder, names] {
        remote::CRemoteDelete del(session, &m_bStop,
                                  [this](const std::string& line) { AddLine(line); });
        del.Run(folder, names);
        m_bChanged = del.m_bChanged;
        m_bWalking = false;
        if (!del.m_bChanged)
            return;
        // One refresh, at the end, of the folder the delete was made in.
        Post([this, folder] {
            // A user who went elsewhere meanwhile keeps the folder shown.
            if (!IsConnected() || m_strCurrentPath != folder)
                return;
            m_strListPath = folder;
            StartRefresh();
        });
    });
}

void CRightView::OnProperties() {
    ui::RequireUiThread("CRightView::OnProperties");
    m_nFileCount = m_nFolderCount = m_nTotalBytes = 0;
    std::vector<std::string> names = SelectedNames();
    if (names.empty() || names.front().empty())
        return;
    std::shared_ptr<remote::IRemoteFs> session = GetSession();
    if (!session || m_bWalking)
        return;
    // Only a walk that starts clears the Stop: one given to a delete still
    // running stands.
    m_bStop = 0;
    CThreadInfo info;
    info.m_strText1 = m_strCurrentPath;
    info.m_strText2 = names.front();
    info.m_pRemoteView = this;
    m_bWalking = true;
    wxBeginBusyCursor();
    StartWorker([this, info, session] { PropertiesThreadProc(info, session); });
}

void CRightView::PropertiesThreadProc(CThreadInfo info,
                                      std::shared_ptr<remote::IRemoteFs> session) {
    const std::string& name = info.m_strText2;
    std::string path = NormalisePath("/" + info.m_strText1 + "/" + name);
    remote::PropertiesTexts texts;
    remote::FolderCount count;
    if (IsSafeName(name) && session->ChangeFolder(path)) {
        count = remote::CountFolder(session, path, &m_bStop,
                                    [this](const std::string& line) { AddLine(line); });
        texts = remote::FolderProperties(path, count.files, count.folders, count.bytes);
    } else {
        std::uint64_t found = 0;
        std::optional<std::uint64_t> size;
        if (IsSafeName(name) &&
            session->FindFile(path, &found, nullptr, nullptr) == remote::Presence::Present)
            size = found;
        texts = remote::FileProperties(path, size);
    }
    // The pane stays busy until the box is closed.
    ++m_bBusy;
    Post([this, texts, count] {
        wxEndBusyCursor();
        m_nFileCount = count.files;
        m_nFolderCount = count.folders;
        m_nTotalBytes = count.bytes;
        m_bWalking = false;
        CPropertiesDlg::ShowProperties(this, texts.type, texts.location, texts.size,
                                       texts.contains);
        --m_bBusy;
    });
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
        for (int id : {cmd::ID_DOWNLOAD, cmd::ID_PROPERTIES, cmd::ID_DELETE, cmd::ID_RENAME})
            menu->Enable(cmd::ToWx(id), false);
    if (m_bBusy || (m_localBusy && m_localBusy()))
        for (int id :
             {cmd::ID_DOWNLOAD, cmd::ID_EXECUTE, cmd::ID_RENAME, cmd::ID_DELETE, cmd::ID_PROPERTIES,
              cmd::ID_NEW_FOLDER, cmd::ID_REFRESH, cmd::ID_DEFAULT_DIRECTORY, cmd::ID_UP_ONE_LEVEL})
            menu->Enable(cmd::ToWx(id), false);
    return menu;
}

void CRightView::OnContextMenu() {
    MarkActive();
    std::unique_ptr<wxMenu> menu(CreateContextMenu());
    if (menu)
        PopupMenu(menu.get());
}

bool CRightView::HandleCommand(int command) {
    switch (command) {
    case cmd::ID_REFRESH_TOOLBAR:
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
    case cmd::ID_DOWNLOAD:
        OnDownload();
        return true;
    case cmd::ID_PROPERTIES:
        OnProperties();
        return true;
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
    case cmd::ID_UP_ONE_LEVEL:
        OnUpOneLevel();
        return true;
    case cmd::ID_DEFAULT_DIRECTORY:
        OnRootDirectory();
        return true;
    case cmd::ID_RENAME:
        OnRename();
        return true;
    case cmd::ID_UPLOAD:
        return true; // never from this pane
    default:
        return false;
    }
}
