#include "transfer/TransferQueue.h"

CTransferQueue::CTransferQueue(JobList jobs, const std::atomic<int>& stop)
    : m_jobs(std::move(jobs)), m_stop(stop), m_leftOut(m_jobs.size(), false) {}

std::optional<std::pair<std::size_t, TransferJob>> CTransferQueue::Take() {
    std::lock_guard lock(m_mutex);
    while (m_next < m_jobs.size() && m_leftOut[m_next])
        ++m_next;
    if (m_stop.load() || m_next >= m_jobs.size())
        return std::nullopt;
    ++m_started;
    std::size_t index = m_next++;
    return std::make_pair(index, m_jobs[index]);
}

void CTransferQueue::Finished(std::size_t index, JobOutcome outcome) {
    if (outcome != JobOutcome::LeaveOutContents)
        return;
    std::lock_guard lock(m_mutex);
    std::size_t end = std::min(m_jobs[index].contentsEnd, m_jobs.size());
    for (std::size_t i = index + 1; i < end; ++i)
        m_leftOut[i] = true;
}

void CTransferQueue::RunAll(const std::function<JobOutcome(const TransferJob&)>& run) {
    while (auto job = Take())
        Finished(job->first, run(job->second));
}

std::size_t CTransferQueue::Started() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}
