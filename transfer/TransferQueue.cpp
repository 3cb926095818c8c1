#include "transfer/TransferQueue.h"

#include "platform/fs/Paths.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <string>

namespace {

// How often a worker waiting for a folder looks at the stop request.
constexpr auto kStopCheckEvery = std::chrono::milliseconds(50);

} // namespace

CTransferQueue::CTransferQueue(JobList jobs, const std::atomic<int>& stop, CBatchControl* control)
    : m_jobs(std::move(jobs)), m_stop(stop), m_control(control), m_waitsFor(m_jobs.size(), npos),
      m_leftOut(m_jobs.size(), false), m_finished(m_jobs.size(), false) {
    // An upload's server folder holds the jobs up to its contentsEnd; the
    // innermost folder is the one to wait for (it waited for the outer ones).
    // A download's local folders are planned level by level: a job waits for
    // the folder job of its local parent.
    std::map<std::string, std::size_t> localFolders;
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const TransferJob& job = m_jobs[i];
        if (job.kind == JobKind::RemoteFolder) {
            std::size_t end = std::min(job.contentsEnd, m_jobs.size());
            for (std::size_t k = i + 1; k < end; ++k)
                m_waitsFor[k] = i;
        }
        if ((job.kind == JobKind::LocalFolder || job.kind == JobKind::Download) &&
            !job.local.empty()) {
            if (auto it = localFolders.find(files::Parent(job.local)); it != localFolders.end())
                m_waitsFor[i] = it->second;
        }
        if (job.kind == JobKind::LocalFolder && !job.local.empty())
            localFolders.emplace(job.local, i);
    }
}

std::optional<std::pair<std::size_t, TransferJob>> CTransferQueue::Take() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        while (m_next < m_jobs.size() && m_leftOut[m_next])
            ++m_next;
        if (m_stop.load() || m_next >= m_jobs.size())
            return std::nullopt;
        std::size_t folder = m_waitsFor[m_next];
        if (folder != npos && !m_finished[folder]) {
            // Its folder is still being made: the answer may also leave it out.
            m_changed.wait_for(lock, kStopCheckEvery);
            continue;
        }
        std::size_t index = m_next++;
        const TransferJob& job = m_jobs[index];
        bool file = job.kind == JobKind::Download || job.kind == JobKind::Upload;
        if (file && m_control && !m_control->Claim(index)) {
            m_finished[index] = true; // taken off the list: never handed out
            continue;
        }
        ++m_started;
        return std::make_pair(index, job);
    }
}

void CTransferQueue::Finished(std::size_t index, JobOutcome outcome) {
    {
        std::lock_guard lock(m_mutex);
        if (outcome == JobOutcome::LeaveOutContents) {
            std::size_t end = std::min(m_jobs[index].contentsEnd, m_jobs.size());
            for (std::size_t i = index + 1; i < end; ++i)
                m_leftOut[i] = true;
        }
        m_finished[index] = true;
    }
    m_changed.notify_all();
}

void CTransferQueue::RunAll(const std::function<JobOutcome(const TransferJob&)>& run) {
    while (auto job = Take())
        Finished(job->first, run(job->second));
}

std::size_t CTransferQueue::Started() const {
    std::lock_guard lock(m_mutex);
    return m_started;
}
