#include "platform/work/Workers.h"

#include <utility>

namespace work {

Workers::Workers(std::atomic<int>* running) : m_running(running ? running : &m_own) {}

Workers::~Workers() {
    JoinAll();
}

void Workers::Reap() {
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->done.load()) {
            it->thread.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

bool Workers::Start(std::function<void()> task) {
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return false;
    // Threads that ended are joined as new ones start.
    Reap();
    Task& slot = m_threads.emplace_back();
    ++*m_running;
    ++m_tasks;
    slot.thread = std::thread([this, &slot, task = std::move(task)] {
        task();
        --m_tasks;
        --*m_running;
        slot.done = true;
    });
    return true;
}

void Workers::JoinAll() {
    std::list<Task> threads;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        threads.splice(threads.end(), m_threads);
    }
    for (Task& t : threads)
        if (t.thread.joinable())
            t.thread.join();
}

bool WaitUntilNone(const std::atomic<int>& count, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (count.load() != 0) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace work
