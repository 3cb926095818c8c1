// Threads of one owner. Each task runs on a thread of its own; the owner
// joins them all when it ends, so that no thread outlives what it uses.
// Nothing here knows what the tasks do: they end by themselves once what
// they wait on (a session) is closed.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace work {

class Workers {
public:
    // `running`, when given, counts the tasks that run (the owner may count
    // other work of its own in it too); otherwise the pool's own counter.
    explicit Workers(std::atomic<int>* running = nullptr);
    // Joins every task (JoinAll).
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Starts `task`. False, and the task not run, once JoinAll began.
    bool Start(std::function<void()> task);
    // Refuses new tasks, then waits for every task started. A task must not
    // call it (it would wait for itself).
    void JoinAll();
    // Tasks started and not yet ended.
    int Running() const { return m_tasks.load(); }
    // The counter given at construction (or the pool's own).
    std::atomic<int>* Counter() const { return m_running; }

private:
    struct Task {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    std::atomic<int> m_own{0};
    std::atomic<int>* m_running;
    std::atomic<int> m_tasks{0};
    std::mutex m_mutex;
    bool m_closed = false; // under m_mutex
    std::list<Task> m_threads;
    // Joins the tasks that have ended (under m_mutex).
    void Reap();
};

// Waits up to `limit` until `count` is zero (for tests and shutdown paths
// that have no event to wait on). False when it was not.
bool WaitUntilNone(const std::atomic<int>& count, std::chrono::milliseconds limit);

} // namespace work
