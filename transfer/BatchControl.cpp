#include "transfer/BatchControl.h"

#include "platform/remote/RemoteFs.h"

bool CBatchControl::Remove(std::size_t job) {
    std::lock_guard lock(m_mutex);
    if (m_claimed.count(job))
        return false;
    m_removed.insert(job);
    return true;
}

void CBatchControl::StopJob(std::size_t job) {
    std::lock_guard lock(m_mutex);
    if (!m_claimed.count(job)) {
        m_removed.insert(job);
        return;
    }
    m_stopped.insert(job);
    // Under the lock: the worker detaches before its next job, so the abort
    // cannot reach a file the user did not stop.
    if (auto it = m_moving.find(job); it != m_moving.end())
        it->second->Abort();
}

bool CBatchControl::RemoveItem(std::size_t item) {
    std::lock_guard lock(m_mutex);
    if (m_begun)
        return false;
    m_removedItems.insert(item);
    return true;
}

bool CBatchControl::ItemRemoved(std::size_t item) const {
    std::lock_guard lock(m_mutex);
    return m_removedItems.count(item) != 0;
}

void CBatchControl::Begin() {
    std::lock_guard lock(m_mutex);
    m_begun = true;
}

bool CBatchControl::Claim(std::size_t job) {
    std::lock_guard lock(m_mutex);
    if (m_removed.count(job))
        return false;
    m_claimed.insert(job);
    return true;
}

void CBatchControl::Attach(std::size_t job, remote::IRemoteFs* session) {
    std::lock_guard lock(m_mutex);
    m_moving[job] = session;
}

void CBatchControl::Detach(std::size_t job) {
    std::lock_guard lock(m_mutex);
    m_moving.erase(job);
}

bool CBatchControl::Stopped(std::size_t job) const {
    std::lock_guard lock(m_mutex);
    return m_stopped.count(job) != 0;
}
