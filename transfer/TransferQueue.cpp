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

CTransferQueue::CTransferQueue(JobList jobs, const std::atomic<int>& stop, CBatchControl* control,
                               bool open)
    : m_jobs(std::move(jobs)), m_stop(stop), m_control(control), m_waitsFor(m_jobs.size(), npos),
      m_leftOut(m_jobs.size(), false), m_finished(m_jobs.size(), false), m_open(open) {
    std::lock_guard lock(m_mutex);
    NoteWaits(0);
}

void CTransferQueue::NoteWaits(std::size_t first) {
    // An upload's server folder holds the jobs up to its contentsEnd; the
    // innermost folder is the one to wait for (it waited for the outer ones).
    // A download's local folders are planned level by level: a job waits for
    // the folder job of its local parent.
    for (std::size_t i = first; i < m_jobs.size(); ++i) {
        const TransferJob& job = m_jobs[i];
        if (job.kind == JobKind::RemoteFolder) {
            std::size_t end = std::min(job.contentsEnd, m_jobs.size());
            for (std::size_t k = i + 1; k < end; ++k)
                m_waitsFor[k] = i;
        }
        if ((job.kind == JobKind::LocalFolder || job.kind == JobKind::Download) &&
            !job.local.empty()) {
            if (auto it = m_localFolders.find(files::Parent(job.local)); it != m_localFolders.end())
                m_waitsFor[i] = it->second;
        }
        if (job.kind == JobKind::LocalFolder && !job.local.empty())
            m_localFolders.emplace(job.local, i);
    }
}

void CTransferQueue::Append(const JobList& more) {
    {
        std::lock_guard lock(m_mutex);
        std::size_t first = m_jobs.size();
        m_jobs.insert(m_jobs.end(), more.begin(), more.end());
        m_waitsFor.resize(m_jobs.size(), npos);
        m_leftOut.resize(m_jobs.size(), false);
        m_finished.resize(m_jobs.size(), false);
        NoteWaits(first);
    }
    m_changed.notify_all();
}

void CTransferQueue::Close() {
    {
        std::lock_guard lock(m_mutex);
        m_open = false;
    }
    m_changed.notify_all();
}

std::size_t CTransferQueue::Size() const {
    std::lock_guard lock(m_mutex);
    return m_jobs.size();
}

std::size_t CTransferQueue::WaitsFor(std::size_t index) const {
    std::lock_guard lock(m_mutex);
    return m_waitsFor[index];
}

bool CTransferQueue::Ready() {
    while (m_next < m_jobs.size() && m_leftOut[m_next])
        ++m_next;
    if (m_next >= m_jobs.size())
        return false;
    std::size_t folder = m_waitsFor[m_next];
    return folder == npos || m_finished[folder];
}

bool CTransferQueue::WaitForWork() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stop.load())
            return false;
        if (Ready())
            return true;
        if (m_next >= m_jobs.size() && !m_open)
            return false;
        m_changed.wait_for(lock, kStopCheckEvery);
    }
}

std::optional<std::pair<std::size_t, TransferJob>> CTransferQueue::Take() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stop.load())
            return std::nullopt;
        if (!Ready()) {
            if (m_next >= m_jobs.size() && !m_open)
                return std::nullopt;
            // Its folder is still being made (the answer may also leave it
            // out), or the plan has more to come.
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
