// What the user may change of a batch while it runs or waits: a file job taken
// off the list before it begins, one stopped in flight, a selected name of a
// batch still waiting left out. Shared by the window (the transfer list) and
// the batch's workers; every member may be called from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>

namespace remote {
class IRemoteFs;
}

class CBatchControl {
public:
    // The job at `job` (its index in the batch's plan) is never handed out.
    // False when it was handed out already.
    bool Remove(std::size_t job);
    // A job in flight ends at once, its file as stopped (its connection goes
    // on with the next); one not handed out yet is removed.
    void StopJob(std::size_t job);
    // An entry of the selection (its index among the request's names or
    // items) of a batch that has not begun is left out of it. False once the
    // batch has begun (its plan lists what it holds).
    bool RemoveItem(std::size_t item);
    bool ItemRemoved(std::size_t item) const;
    // The batch begins: names are no longer taken off.
    void Begin();

    // The queue hands `job` out: false when it was removed.
    bool Claim(std::size_t job);
    // The worker moving `job` and its session (a StopJob aborts what runs on
    // it), until Detach.
    void Attach(std::size_t job, remote::IRemoteFs* session);
    void Detach(std::size_t job);
    bool Stopped(std::size_t job) const;

private:
    mutable std::mutex m_mutex;
    bool m_begun = false;
    std::set<std::size_t> m_claimed, m_removed, m_stopped;
    std::map<std::size_t, remote::IRemoteFs*> m_moving;
    std::set<std::size_t> m_removedItems;
};
