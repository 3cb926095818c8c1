// The transfer list: the file jobs of this session's batches, in the order
// they were asked for, and where each stands (queued, moving with its
// progress, done, failed with the reason, stopped). A batch that waits for
// the one before it shows its selected names until its plan comes; then its
// file jobs take their place. The user removes queued jobs, stops one or all,
// and retries the failed ones from here. Plain code, used on the UI thread.
#pragma once

#include "transfer/BatchControl.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferHost.h"
#include "transfer/TransferItem.h"
#include "transfer/TransferJob.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct TransferRow {
    static constexpr std::size_t kName = static_cast<std::size_t>(-1);
    std::uint64_t batch = 0;
    // Its index in the batch's plan; kName: a selected name of a batch whose
    // plan has not come yet.
    std::size_t job = kName;
    TransferDirection direction = TransferDirection::Download;
    std::string local;  // the local file (download: its target; upload: its source)
    std::string remote; // the server file
    std::string name;
    std::uint64_t size = 0;
    bool sizeKnown = false;
    JobState state = JobState::Queued;
    std::uint64_t done = 0; // Moving: bytes so far
    std::string reason;     // Failed: why
    // Download: the local folder nothing of it may be written outside of.
    std::string root;
    // A name's row: its index among the request's names or items.
    std::size_t item = 0;
    std::uint64_t session = 0; // the server session it belongs to

    bool Finished() const { return state != JobState::Queued && state != JobState::Moving; }
};

// The rows a batch shows until its plan comes: one for each selected name.
std::vector<TransferRow> RowsOf(const DownloadRequest& request);
std::vector<TransferRow> RowsOf(const UploadRequest& request);

// A row's state as the list shows it: "Queued", "Moving 42%", "Done",
// "Failed: <reason>", "Stopped", "Skipped".
std::string StateText(const TransferRow& row);

class CTransferList {
public:
    // Called after every change (the view redraws, shows or hides itself),
    // and before one that moves rows (the view keeps its selection by what
    // the rows are, not where they stand).
    std::function<void()> m_changed;
    std::function<void()> m_moving;

    // A batch was asked for: its names' rows at the end of the list. Returns
    // the batch's key for the calls below.
    std::uint64_t AddBatch(std::shared_ptr<CBatchControl> control, std::vector<TransferRow> rows);
    // A batch that could not be started: its rows go.
    void DropBatch(std::uint64_t batch);
    // Its plan came (or a part of it, from the plan's job `first`): its
    // names' rows give way to its file jobs, a later part follows them.
    void Planned(std::uint64_t batch, const JobList& jobs, std::size_t first = 0);
    void Changed(std::uint64_t batch, const std::vector<JobChange>& changes);
    void Progress(std::uint64_t batch, const TransferProgress& progress);
    // The batch ended: its jobs still queued or moving were stopped (a Stop
    // ended the batch) or left out. When no batch runs or waits any more and
    // none failed or was stopped, the list empties.
    void Ended(std::uint64_t batch, bool stopped);

    // The user's commands, on rows by their index in Rows().
    // A queued row leaves the list and never runs; false when it began already.
    bool Remove(std::size_t row);
    // A moving row ends as stopped; a queued one is removed.
    void Stop(std::size_t row);
    // Rows that are done, skipped or stopped leave the list.
    void ClearFinished();
    // The server session closed: the rows of batches that have ended leave
    // the list, failed ones too, and what failed in it is never retried on
    // the next one.
    void NewSession();
    // The failed rows leave the list, given back as batches to run again:
    // the downloads (each with its local target) and the uploads.
    struct Retry {
        std::vector<CTransferItem> downloads;
        std::vector<CTransferItem> uploads;
    };
    Retry TakeFailed();

    const std::vector<TransferRow>& Rows() const { return m_rows; }
    bool Empty() const { return m_rows.empty(); }
    // Whether a job not finished yet reads or writes `path` or something
    // inside it (a local path, or a server path).
    bool TouchesLocal(const std::string& path) const;
    bool TouchesRemote(const std::string& path) const;

private:
    // What a batch not ended yet holds: its control, its selected entries
    // (they stay in use until it ends, whatever rows show), its last job
    // with a row.
    struct Batch {
        std::shared_ptr<CBatchControl> control;
        std::vector<std::pair<std::string, std::string>> scope; // local, remote
        std::size_t lastJob = TransferRow::kName;
    };
    std::vector<TransferRow> m_rows;
    std::map<std::uint64_t, Batch> m_batches; // not ended yet
    std::uint64_t m_nextBatch = 1;
    std::uint64_t m_session = 0;
    std::map<std::pair<std::uint64_t, std::size_t>, std::size_t> m_index; // (batch, job) -> row

    // The index entries of the rows from `from` on (all of them after rows
    // went from the list).
    void Reindex(std::size_t from = 0);

    // The row of job `job` of `batch`, or nullptr.
    TransferRow* Find(std::uint64_t batch, std::size_t job);
    void Notify();
    void Moving();
};
