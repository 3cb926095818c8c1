// How long the UI thread is kept from its events while a 2,000-file batch
// (40 folders of 50 files) runs through the real panes, down and up, against
// vsftpd and pyftpdlib: a timer on the UI thread firing every 5 ms records how
// late each tick comes. Log lines and progress are on, as for a user. The
// rows come once for each number of connections the site gives a batch (the
// default 2, then 4; the first argument may name others, "1,4,8"). Target:
// the longest lateness stays under 50 ms. Needs an X display (xvfb-run).
#include "app/MainFrame.h"
#include "local/LeftView.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"
#include "remote/RightView.h"
#include "sites/SiteManagerDlg.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/TransferEngine.h"

#include <curl/curl.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/timer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

constexpr int kTickMs = 5;

struct Lateness {
    double seconds = 0;
    double worstMs = 0;
    double p99Ms = 0;
    size_t ticks = 0;
};

// Runs the real event loop until `done`, with a timer that measures how late
// its own ticks come.
Lateness RunMeasured(const std::function<bool()>& done) {
    std::vector<double> late;
    wxGUIEventLoop loop;
    wxTimer timer;
    Clock::time_point last = Clock::now();
    timer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        Clock::time_point now = Clock::now();
        late.push_back(std::chrono::duration<double, std::milli>(now - last).count() - kTickMs);
        last = now;
        if (done())
            loop.Exit();
    });
    Clock::time_point start = Clock::now();
    timer.Start(kTickMs);
    loop.Run();
    timer.Stop();
    Lateness r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.ticks = late.size();
    if (!late.empty()) {
        std::sort(late.begin(), late.end());
        r.worstMs = late.back();
        r.p99Ms = late[late.size() * 99 / 100];
    }
    return r;
}

void Settle(const std::function<bool()>& done) {
    while (!done()) {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
    }
}

void Tree(const fs::path& root) {
    for (int d = 0; d < 40; ++d) {
        fs::path folder = root / ("folder-" + std::to_string(d));
        fs::create_directories(folder);
        for (int f = 0; f < 50; ++f)
            std::ofstream(folder / ("file-" + std::to_string(f) + ".dat"), std::ios::binary)
                << std::string(static_cast<size_t>(1000 + 37 * f), static_cast<char>('a' + f % 26));
    }
}

size_t CountFiles(const fs::path& root) {
    size_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(root))
        n += e.is_regular_file();
    return n;
}

void Select(CFileListCtrl* list, const std::string& name) {
    for (long i = 0; i < list->GetItemCount(); ++i)
        list->SetItemState(
            i, list->GetItemText(i) == wxString::FromUTF8(name) ? wxLIST_STATE_SELECTED : 0,
            wxLIST_STATE_SELECTED);
}

} // namespace

int main(int argc, char** argv) {
    // Optional: the connections the site allows a batch, one round of rows
    // each ("2,4": the default, then four).
    std::vector<int> connections;
    {
        std::string list = argc > 1 ? argv[1] : "2,4";
        for (size_t at = 0; at < list.size();) {
            size_t comma = list.find(',', at);
            if (comma == std::string::npos)
                comma = list.size();
            connections.push_back(
                std::clamp(std::atoi(list.substr(at, comma - at).c_str()), 1, kMaxConnections));
            at = comma + 1;
        }
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    wxApp::SetInstance(new BenchApp);
    if (!getenv("DISPLAY") || !wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "needs an X display (run under xvfb-run)\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxTheApp->CallOnInit();
    ui::SetUiThread();
    fs::path work =
        fs::temp_directory_path() / ("orvane-transfer-ui-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    setenv("ORVANE_REGISTRY", (work / "registry.db").c_str(), 1);
    ui::SetDialogHook([](wxDialog&) { return wxID_OK; });

    auto* frame = new CMainFrame;
    frame->m_quit = [](int) {};
    frame->SetSize(1200, 800);
    frame->Show();
    CLeftView* left = frame->GetLeftView();
    CRightView* right = frame->GetRightView();
    double worst = 0;
    std::map<int, double> worstBy; // by the connections a batch was given

    for (ServerKind kind : {ServerKind::Vsftpd, ServerKind::Pyftpdlib}) {
        FtpServer server(kind);
        if (!server.ok()) {
            std::printf("%s: %s\n", KindName(kind), server.error().c_str());
            continue;
        }
        Tree(fs::path(server.root()) / "tree");
        server.Share();
        fs::path local = work / KindName(kind);
        fs::create_directories(local);
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = server.port();
        dlg.m_strRemoteDir = "/";
        dlg.m_strLocalDir = local.string();
        dlg.m_bPassive = 1;
        frame->ConnectToSite(dlg);
        Settle([&] { return frame->m_bConnected != 0 && right->m_bBusy == 0; });

        for (int transfers : connections) {
            // The pane's batches ask for this many connections of their own.
            right->m_nTransfers = transfers;
            std::error_code ec;
            fs::remove_all(local / "tree", ec);
            fs::remove_all(local / "tree-up", ec);
            fs::remove_all(fs::path(server.root()) / "tree-up", ec);
            left->FillFileList(local.string());

            // Download the tree.
            Select(right->m_wndList, "tree");
            int ended = right->m_nBatchesEnded;
            right->OnDownload();
            Lateness down = RunMeasured([&] { return right->m_nBatchesEnded > ended; });
            size_t got = CountFiles(local / "tree");
            std::printf("%s, %d connections: 2,000 files down through the panes in %.2f s (%zu "
                        "arrived); UI thread late by at most %.1f ms (99th percentile %.1f ms, "
                        "%zu ticks)\n",
                        KindName(kind), transfers, down.seconds, got, down.worstMs, down.p99Ms,
                        down.ticks);

            // Upload it again under another name.
            fs::rename(local / "tree", local / "tree-up");
            left->FillFileList(local.string());
            Select(left->m_wndList, "tree-up");
            ended = left->m_nBatchesEnded;
            left->OnUpload();
            Lateness up = RunMeasured([&] { return left->m_nBatchesEnded > ended; });
            Settle([&] { return right->m_bBusy == 0; });
            size_t sent = CountFiles(fs::path(server.root()) / "tree-up");
            std::printf("%s, %d connections: 2,000 files up through the panes in %.2f s (%zu "
                        "arrived); UI thread late by at most %.1f ms (99th percentile %.1f ms, "
                        "%zu ticks)\n",
                        KindName(kind), transfers, up.seconds, sent, up.worstMs, up.p99Ms,
                        up.ticks);
            worst = std::max({worst, down.worstMs, up.worstMs});
            worstBy[transfers] = std::max({worstBy[transfers], down.worstMs, up.worstMs});
        }
        frame->OnDisconnect();
        right->WaitIdle(10000);
    }
    for (const auto& [transfers, ms] : worstBy)
        std::printf("batches on %d connections: the UI thread kept from its events for at most "
                    "%.1f ms (target < 50 ms): %s\n",
                    transfers, ms, ms < 50 ? "met" : "NOT met");
    std::printf("longest time the UI thread was kept from its events: %.1f ms (target < 50 ms): "
                "%s\n",
                worst, worst < 50 ? "met" : "NOT met");
    frame->Destroy();
    wxTheApp->ProcessPendingEvents();
    fs::remove_all(work);
    ui::SetDialogHook(nullptr);
    wxTheApp->OnExit();
    wxEntryCleanup();
    curl_global_cleanup();
    return 0;
}
