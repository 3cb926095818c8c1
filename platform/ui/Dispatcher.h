// The UI-thread dispatcher. Workers never touch a window: they post what they
// want shown, in call order, or run a task on the UI thread and wait for it.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <type_traits>

namespace ui {

// Records the calling thread as the UI thread. Called once by the application
// before any worker starts.
void SetUiThread();
bool IsUiThread();
// Ends the program with a message naming `what` unless called on the UI
// thread: every function that changes a widget starts with it, in every build.
void RequireUiThread(const char* what);

// Queues `task` to run on the UI thread. Tasks posted by one thread run in the
// order they were posted. Returns false when there is no application to run it
// (it then is dropped).
bool Post(std::function<void()> task);

// Runs `task` on the UI thread and returns its result. On the UI thread it runs
// at once. Returns nothing when the application ended before the task could run.
template <class F> auto Invoke(F task) -> std::optional<std::invoke_result_t<F>>
requires(!std::is_void_v<std::invoke_result_t<F>>) {
    using R = std::invoke_result_t<F>;
    if (IsUiThread())
        return task();
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> result = promise->get_future();
    if (!Post([promise, task = std::move(task)]() mutable { promise->set_value(task()); }))
        return std::nullopt;
    try {
        return result.get();
    } catch (const std::future_error&) {
        return std::nullopt; // the task was dropped unrun (application ending)
    }
}

// Runs a task that returns nothing and waits for it. False if it never ran.
bool InvokeVoid(std::function<void()> task);

} // namespace ui
