// The queue a batch's jobs run from. Jobs are handed out in list order, one at
// a time, to whichever worker asks (the handing out is locked, so several may
// ask); a Stop ends the handing out between two jobs. A job inside a folder
// is handed out only once the job that makes its folder has finished (with
// several workers, taken is not enough: the folder may still be on its way).
// A job whose outcome leaves out what follows it (a server folder that could
// not be made) marks those jobs, and they are never handed out.
#pragma once

#include "transfer/BatchControl.h"
#include "transfer/TransferJob.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class JobOutcome {
    Done,
    LeaveOutContents, // RemoteFolder: the jobs up to its contentsEnd are left out
};

class CTransferQueue {
public:
    // With `control`, a file job the user removed is never handed out. An
    // `open` queue takes more jobs (Append) until Close: a worker that finds
    // none waits for them.
    CTransferQueue(JobList jobs, const std::atomic<int>& stop, CBatchControl* control = nullptr,
                   bool open = false);
    // More jobs at the end of the list (indexes go on from Size()).
    void Append(const JobList& more);
    // No more jobs come.
    void Close();
    // Waits until a job can be handed out, or none ever will (false).
    bool WaitForWork();

    // The next job to run with its index, or nothing when the list is done or
    // a Stop came. Waits while the next job's folder is being made by another
    // worker.
    std::optional<std::pair<std::size_t, TransferJob>> Take();
    // Called with the outcome of the job at `index`.
    void Finished(std::size_t index, JobOutcome outcome);
    // Takes jobs and runs them on the calling thread until none is left.
    void RunAll(const std::function<JobOutcome(const TransferJob&)>& run);

    std::size_t Size() const;
    // Jobs handed out so far (left-out ones not counted).
    std::size_t Started() const;
    // The job that makes the folder the job at `index` goes into, if the
    // list holds one (its index), else npos.
    std::size_t WaitsFor(std::size_t index) const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    JobList m_jobs;
    const std::atomic<int>& m_stop;
    CBatchControl* m_control;
    std::vector<std::size_t> m_waitsFor; // guarded by m_mutex
    std::size_t m_next = 0;              // guarded by m_mutex
    std::size_t m_started = 0;           // guarded by m_mutex
    std::vector<bool> m_leftOut;         // guarded by m_mutex
    std::vector<bool> m_finished;        // guarded by m_mutex
    bool m_open = false;                 // guarded by m_mutex
    // The local folders made by jobs so far, by path (their index).
    std::map<std::string, std::size_t> m_localFolders; // guarded by m_mutex

    // Under m_mutex: the folder waits of the jobs from `first` on.
    void NoteWaits(std::size_t first);
    // Under m_mutex: whether the next job can be handed out now.
    bool Ready();
};
