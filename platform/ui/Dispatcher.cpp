#include "platform/ui/Dispatcher.h"

#include <wx/app.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace ui {

namespace {
std::atomic<std::thread::id> g_uiThread{};
}

void SetUiThread() {
    g_uiThread = std::this_thread::get_id();
}

bool IsUiThread() {
    return g_uiThread.load() == std::this_thread::get_id();
}

void RequireUiThread(const char* what) {
    if (!IsUiThread()) {
        std::fprintf(stderr, "%s called off the UI thread\n", what);
        std::abort();
    }
}

bool Post(std::function<void()> task) {
    wxAppConsole* app = wxAppConsole::GetInstance();
    if (!app)
        return false;
    // CallAfter queues the call in the application's pending events, FIFO;
    // it is safe to call from any thread.
    app->CallAfter(std::move(task));
    return true;
}

bool InvokeVoid(std::function<void()> task) {
    auto ran = Invoke([&task]() {
        task();
        return true;
    });
    return ran.has_value();
}

} // namespace ui
