// Test runner for window tests: a real wx application on the X display.
#include "platform/ui/Dispatcher.h"
#include "tests/GuiTest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class TestApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
    ADD_FAILURE() << "wx assertion " << cond.utf8_string() << " in " << func.utf8_string() << " ("
                  << file.utf8_string() << ":" << line << "): " << msg.utf8_string();
}

} // namespace

std::string g_dataHome;

void Pump(int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        wxTheApp->ProcessPendingEvents();
        wxTheApp->Yield(true);
        wxTheApp->ProcessIdle(); // windows lay themselves out at idle time
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < until);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        Pump(5);
    }
    return true;
}

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ::testing::InitGoogleTest(&argc, argv);
    alarm(600); // a hung window test must not hang the suite
    setenv("GSETTINGS_BACKEND", "memory", 1);
    // The desktop's data folder (the trash lives there) is one of our own for
    // the whole run: GLib reads it once.
    static std::string dataHome = [] {
        char tmpl[] = "/tmp/orvane-gui-data-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
    }();
    setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    g_dataHome = dataHome;
    if (!getenv("DISPLAY")) {
        std::fprintf(stderr, "window tests need an X display (run them under xvfb-run)\n");
        return 1;
    }
    wxApp::SetInstance(new TestApp);
    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "cannot start the window system\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxSetAssertHandler(FailOnAssert);
    wxTheApp->CallOnInit();
    ui::SetUiThread();
    int rc = RUN_ALL_TESTS();
    std::filesystem::remove_all(dataHome);
    wxTheApp->OnExit();
    wxEntryCleanup();
    return rc;
}
