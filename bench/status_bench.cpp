// Appends 100,000 lines to the log pane and prints the time each 10,000 take,
// so a cost that grows with the log's length shows as a rising figure.
#include "app/Status.h"
#include "platform/ui/Dispatcher.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/init.h>
#include <wx/log.h>

#include <chrono>
#include <cstdio>

namespace {
class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};
} // namespace

int main(int argc, char** argv) {
    if (!getenv("DISPLAY")) {
        std::fprintf(stderr, "needs an X display (run under xvfb-run)\n");
        return 1;
    }
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv))
        return 1;
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxTheApp->CallOnInit();
    ui::SetUiThread();
    auto* frame = new wxFrame(nullptr, wxID_ANY, "log bench", wxDefaultPosition, wxSize(900, 300));
    auto* status = new CStatus(frame);
    frame->Show();
    wxTheApp->Yield(true);

    constexpr int kBatch = 10000, kBatches = 10;
    double first = 0, last = 0;
    for (int b = 0; b < kBatches; ++b) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i)
            status->AddLine("Downloading  file-" + std::to_string(b * kBatch + i) + ".dat");
        // Let the view lay out and paint what was added.
        wxTheApp->Yield(true);
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::printf("lines %6d-%6d: %8.1f ms per 10,000\n", b * kBatch + 1, (b + 1) * kBatch, ms);
        if (b == 0)
            first = ms;
        last = ms;
    }
    std::printf("first 10,000: %.1f ms, last 10,000: %.1f ms, ratio last/first %.2f\n", first, last,
                last / first);
    frame->Destroy();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}
