// The panes with 50,000 entries: a local folder scanned, sorted and shown, and
// a server folder fetched, parsed and shown in the remote list (vsftpd and
// pyftpdlib), next to `lftp cls -1` on the same folder in the same run. Time
// and the growth of peak memory. Needs an X display (xvfb-run).
#include "app/MainFrame.h"
#include "bench/Rounds.h"
#include "local/LeftView.h"
#include "platform/ui/Dispatcher.h"
#include "remote/RightView.h"
#include "sites/SiteManagerDlg.h"
#include "tests/ftp/FtpServers.h"

#include <curl/curl.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long PeakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// Runs the window system until `done`, then once more, so that the list has
// been laid out and painted before the clock stops.
void PumpUntil(const std::function<bool()>& done) {
    auto once = [] {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
        wxTheApp->ProcessIdle();
    };
    while (!done())
        once();
    once();
}

} // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    wxApp::SetInstance(new BenchApp);
    if (!getenv("DISPLAY") || !wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "needs an X display (run under xvfb-run)\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxTheApp->CallOnInit();
    ui::SetUiThread();
    fs::path work = fs::temp_directory_path() / ("orvane-pane-bench-" + std::to_string(getpid()));
    fs::create_directories(work / "local");
    setenv("ORVANE_REGISTRY", (work / "registry.db").c_str(), 1);
    for (int i = 0; i < 50000; ++i)
        std::ofstream(work / "local" / ("entry-" + std::to_string(i) + (i % 3 ? ".txt" : ".dat")))
            << std::string(static_cast<size_t>(i % 2000), 'x');

    auto* frame = new CMainFrame;
    frame->m_quit = [](int) {};
    frame->SetSize(1200, 800);
    frame->Show();
    CLeftView* left = frame->GetLeftView();
    CRightView* right = frame->GetRightView();

    std::vector<double> times;
    long before = PeakKb();
    for (int run = 0; run < 3; ++run) {
        double start = Now();
        left->ChangeDirectory((work / "local").string());
        PumpUntil([&] { return left->m_wndList->GetItemCount() == 50000; });
        times.push_back(Now() - start);
    }
    std::printf("local folder, 50,000 files scanned, sorted and shown (list view): %.3f s "
                "(peak +%ld MiB)\n",
                Median(times), (PeakKb() - before) / 1024);
    left->SetViewMode(1);
    times.clear();
    for (int run = 0; run < 3; ++run) {
        double start = Now();
        left->ChangeDirectory((work / "local").string());
        PumpUntil([&] { return left->m_wndList->GetItemCount() == 50000; });
        times.push_back(Now() - start);
    }
    std::printf("local folder, the same in report view: %.3f s\n", Median(times));
    times.clear();
    for (int run = 0; run < 3; ++run) {
        double start = Now();
        left->SortBy(2); // by size, each click the other direction
        times.push_back(Now() - start);
    }
    std::printf("local folder, re-sorted by size (scan included): %.3f s\n", Median(times));

    for (ServerKind kind : {ServerKind::Vsftpd, ServerKind::Pyftpdlib}) {
        FtpServer server(kind);
        if (!server.ok()) {
            std::printf("%s: %s\n", KindName(kind), server.error().c_str());
            continue;
        }
        fs::create_directories(server.root() + "/big");
        for (int i = 0; i < 50000; ++i)
            std::ofstream(server.root() + "/big/entry-" + std::to_string(i) + ".dat");
        server.Share();
        CSiteManagerDlg dlg(frame);
        dlg.m_strHost = "127.0.0.1";
        dlg.m_strUser = FtpServer::User();
        dlg.m_strPassword = FtpServer::Password();
        dlg.m_nPort = server.port();
        dlg.m_strRemoteDir = "/";
        dlg.m_strLocalDir = "/";
        dlg.m_bPassive = 1;
        frame->ConnectToSite(dlg);
        PumpUntil([&] { return frame->m_bConnected != 0 && right->m_bBusy == 0; });
        std::vector<double> ours, lftp;
        before = PeakKb();
        for (int run = 0; run < 3; ++run) {
            right->m_wndList->DeleteAllItems();
            double start = Now();
            right->m_strCurrentPath = "/big";
            right->OnRefresh();
            PumpUntil([&] { return right->m_wndList->GetItemCount() == 50000; });
            ours.push_back(Now() - start);

            start = Now();
            std::string cmd = "lftp -u " + std::string(FtpServer::User()) + "," +
                              FtpServer::Password() + " -p " + std::to_string(server.port()) +
                              " -e 'set cache:enable no; cls -1 /big/; quit' 127.0.0.1 >/dev/null";
            if (std::system(cmd.c_str()) != 0)
                std::printf("  (lftp failed)\n");
            lftp.push_back(Now() - start);
        }
        std::printf("%s: 50,000-entry folder fetched, parsed and shown: %.3f s (peak +%ld MiB); "
                    "lftp cls -1 %.3f s; ratio %.2f (target <= 0.8)\n",
                    KindName(kind), Median(ours), (PeakKb() - before) / 1024, Median(lftp),
                    Median(ours) / Median(lftp));
        frame->OnDisconnect();
        right->WaitIdle(10000);
    }
    frame->Destroy();
    wxTheApp->ProcessPendingEvents();
    fs::remove_all(work);
    wxTheApp->OnExit();
    wxEntryCleanup();
    curl_global_cleanup();
    return 0;
}
