#include "transfer/TransferList.h"

#include "platform/fs/Paths.h"

#include <algorithm>

namespace {

bool IsFile(const TransferJob& job) {
    return job.kind == JobKind::Download || job.kind == JobKind::Upload;
}

// `path` is `top` or lies inside it.
bool Within(const std::string& path, const std::string& top) {
    if (top.empty())
        return false;
    if (path == top)
        return true;
    if (top == "/")
        return !path.empty() && path[0] == '/';
    return path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
           path[top.size()] == '/';
}

} // namespace

std::vector<TransferRow> RowsOf(const DownloadRequest& request) {
    std::vector<TransferRow> rows;
    auto add = [&rows](std::string local, std::string remote, std::string name, std::string root) {
        TransferRow row;
        row.direction = TransferDirection::Download;
        row.local = std::move(local);
        row.remote = NormalisePath(remote);
        row.name = std::move(name);
        row.root = std::move(root);
        row.item = rows.size();
        rows.push_back(std::move(row));
    };
    if (request.dropMode) {
        for (const CTransferItem& item : request.items)
            add(item.m_strLocalPath, "/" + item.m_strRemotePath, item.m_strName,
                files::Parent(item.m_strLocalPath));
    } else {
        for (const std::string& name : request.names)
            add(files::Join(request.localDir, name), "/" + request.currentPath + "/" + name, name,
                request.localDir);
    }
    return rows;
}

std::vector<TransferRow> RowsOf(const UploadRequest& request) {
    std::vector<TransferRow> rows;
    auto add = [&rows](std::string local, std::string remote, std::string name) {
        TransferRow row;
        row.direction = TransferDirection::Upload;
        row.local = std::move(local);
        row.remote = NormalisePath(remote);
        row.name = std::move(name);
        row.item = rows.size();
        rows.push_back(std::move(row));
    };
    if (request.dropMode) {
        for (const CTransferItem& item : request.items)
            add(item.m_strLocalPath, "/" + item.m_strRemotePath, item.m_strName);
    } else {
        for (const std::string& name : request.names)
            add(files::Join(request.localDir, name), "/" + request.remoteDir + "/" + name, name);
    }
    return rows;
}

std::string StateText(const TransferRow& row) {
    switch (row.state) {
    case JobState::Queued:
        return "Queued";
    case JobState::Moving:
        if (row.sizeKnown && row.size > 0)
            return "Moving " + std::to_string(std::min(row.done, row.size) * 100 / row.size) + "%";
        return "Moving";
    case JobState::Done:
        return "Done";
    case JobState::Failed:
        return row.reason.empty() ? "Failed" : "Failed: " + row.reason;
    case JobState::Stopped:
        return "Stopped";
    case JobState::Skipped:
        return "Skipped";
    case JobState::Removed:
        return "Removed";
    }
    return {};
}

void CTransferList::Moving() {
    if (m_moving)
        m_moving();
}

void CTransferList::Notify() {
    if (m_changed)
        m_changed();
}

void CTransferList::Reindex(std::size_t from) {
    if (from == 0)
        m_index.clear();
    for (std::size_t i = from; i < m_rows.size(); ++i)
        if (m_rows[i].job != TransferRow::kName)
            m_index[{m_rows[i].batch, m_rows[i].job}] = i;
}

TransferRow* CTransferList::Find(std::uint64_t batch, std::size_t job) {
    auto it = m_index.find({batch, job});
    return it == m_index.end() ? nullptr : &m_rows[it->second];
}

std::uint64_t CTransferList::AddBatch(std::shared_ptr<CBatchControl> control,
                                      std::vector<TransferRow> rows) {
    std::uint64_t batch = m_nextBatch++;
    Batch& b = m_batches[batch];
    b.control = std::move(control);
    for (TransferRow& row : rows) {
        row.batch = batch;
        row.job = TransferRow::kName;
        row.session = m_session;
        b.scope.emplace_back(row.local, row.remote);
        m_rows.push_back(std::move(row));
    }
    Notify();
    return batch;
}

void CTransferList::DropBatch(std::uint64_t batch) {
    Moving();
    std::erase_if(m_rows, [batch](const TransferRow& r) { return r.batch == batch; });
    m_batches.erase(batch);
    Reindex();
    Notify();
}

void CTransferList::Planned(std::uint64_t batch, const JobList& jobs, std::size_t firstJob) {
    auto it = m_batches.find(batch);
    if (it == m_batches.end())
        return; // ended (or dropped) meanwhile
    Batch& b = it->second;
    Moving();
    std::size_t at = m_rows.size();
    bool namesGone = false;
    if (b.lastJob != TransferRow::kName) {
        // A later part: right after the batch's rows so far.
        if (TransferRow* last = Find(batch, b.lastJob))
            at = static_cast<std::size_t>(last - m_rows.data()) + 1;
    } else {
        // The first part takes the place of the names.
        auto first = std::find_if(m_rows.begin(), m_rows.end(), [batch](const TransferRow& r) {
            return r.batch == batch && r.job == TransferRow::kName;
        });
        at = static_cast<std::size_t>(first - m_rows.begin());
        namesGone = first != m_rows.end();
        std::erase_if(m_rows, [batch](const TransferRow& r) {
            return r.batch == batch && r.job == TransferRow::kName;
        });
        at = std::min(at, m_rows.size());
    }
    std::vector<TransferRow> planned;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const TransferJob& job = jobs[i];
        if (!IsFile(job))
            continue;
        TransferRow row;
        row.batch = batch;
        row.job = firstJob + i;
        row.direction =
            job.kind == JobKind::Download ? TransferDirection::Download : TransferDirection::Upload;
        row.local = job.local;
        // An upload's job names the server folder the file goes into.
        row.remote =
            job.kind == JobKind::Upload ? NormalisePath(job.remote + "/" + job.name) : job.remote;
        row.name = job.name;
        row.size = job.size;
        row.sizeKnown = job.sizeKnown;
        row.root = job.root;
        row.session = m_session;
        b.lastJob = row.job;
        planned.push_back(std::move(row));
    }
    if (planned.empty() && !namesGone)
        return;
    if (b.lastJob == TransferRow::kName)
        b.lastJob = firstJob; // no file yet: later parts go where the names were
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(at),
                  std::make_move_iterator(planned.begin()), std::make_move_iterator(planned.end()));
    Reindex(namesGone ? 0 : at);
    Notify();
}

void CTransferList::Changed(std::uint64_t batch, const std::vector<JobChange>& changes) {
    for (const JobChange& change : changes) {
        TransferRow* row = Find(batch, change.index);
        if (!row)
            continue; // removed from the list meanwhile
        row->state = change.state;
        row->reason = change.reason;
        if (change.state == JobState::Done && row->sizeKnown)
            row->done = row->size;
    }
    Notify();
}

void CTransferList::Progress(std::uint64_t batch, const TransferProgress& progress) {
    bool any = false;
    for (const TransferProgress::Moving& m : progress.moving) {
        TransferRow* row = Find(batch, m.job);
        if (!row || row->state != JobState::Moving)
            continue;
        row->done = m.done;
        if (m.total && !row->sizeKnown) {
            row->size = m.total;
            row->sizeKnown = true;
        }
        any = true;
    }
    if (any)
        Notify();
}

void CTransferList::Ended(std::uint64_t batch, bool stopped) {
    Moving();
    // A batch that never began (a Stop came first) leaves its names.
    std::erase_if(m_rows, [batch](const TransferRow& r) {
        return r.batch == batch && r.job == TransferRow::kName;
    });
    for (TransferRow& row : m_rows) {
        if (row.batch != batch || row.Finished())
            continue;
        // Moving at the end: the batch's Stop cut it. Queued: a Stop, or a
        // server folder that could not be made, left it out.
        row.state =
            stopped || row.state == JobState::Moving ? JobState::Stopped : JobState::Skipped;
    }
    m_batches.erase(batch);
    // All went well and nothing else runs or waits: nothing to look at.
    if (m_batches.empty() && std::none_of(m_rows.begin(), m_rows.end(), [](const TransferRow& r) {
            return r.state == JobState::Failed || r.state == JobState::Stopped;
        }))
        m_rows.clear();
    Reindex();
    Notify();
}

bool CTransferList::Remove(std::size_t index) {
    if (index >= m_rows.size() || m_rows[index].state != JobState::Queued)
        return false;
    TransferRow& row = m_rows[index];
    auto batch = m_batches.find(row.batch);
    if (batch != m_batches.end() && batch->second.control) {
        CBatchControl& control = *batch->second.control;
        bool removed =
            row.job == TransferRow::kName ? control.RemoveItem(row.item) : control.Remove(row.job);
        if (!removed)
            return false; // it began meanwhile
    }
    Moving();
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(index));
    Reindex();
    Notify();
    return true;
}

void CTransferList::Stop(std::size_t index) {
    if (index >= m_rows.size())
        return;
    TransferRow& row = m_rows[index];
    if (row.state == JobState::Queued) {
        Remove(index);
        return;
    }
    if (row.state != JobState::Moving || row.job == TransferRow::kName)
        return;
    auto batch = m_batches.find(row.batch);
    if (batch != m_batches.end() && batch->second.control)
        batch->second.control->StopJob(row.job); // the batch reports it stopped
}

void CTransferList::ClearFinished() {
    Moving();
    std::erase_if(m_rows,
                  [](const TransferRow& r) { return r.Finished() && r.state != JobState::Failed; });
    Reindex();
    Notify();
}

void CTransferList::NewSession() {
    Moving();
    ++m_session;
    std::erase_if(m_rows, [this](const TransferRow& r) { return !m_batches.count(r.batch); });
    Reindex();
    Notify();
}

CTransferList::Retry CTransferList::TakeFailed() {
    Moving();
    Retry retry;
    for (const TransferRow& row : m_rows) {
        // What failed on an earlier server session is not sent to this one.
        if (row.state != JobState::Failed || row.session != m_session)
            continue;
        // Drop items: each carries its own local path; the server path
        // without its leading "/", as a drop gives it.
        std::string remote =
            row.remote.empty() || row.remote[0] != '/' ? row.remote : row.remote.substr(1);
        if (row.direction == TransferDirection::Download) {
            CTransferItem item(remote, row.local, row.name, 0, 0);
            // Written nowhere the first try could not write.
            item.m_strRoot = row.root;
            retry.downloads.push_back(std::move(item));
        } else {
            retry.uploads.emplace_back(row.local, remote, row.name, 0);
        }
    }
    std::erase_if(m_rows, [](const TransferRow& r) { return r.state == JobState::Failed; });
    Reindex();
    Notify();
    return retry;
}

bool CTransferList::TouchesLocal(const std::string& path) const {
    for (const TransferRow& row : m_rows)
        if (!row.Finished() && (Within(row.local, path) || Within(path, row.local)))
            return true;
    // What a running batch was asked for stays in use until it ends.
    for (const auto& [id, batch] : m_batches)
        for (const auto& [local, remote] : batch.scope)
            if (Within(local, path) || Within(path, local))
                return true;
    return false;
}

bool CTransferList::TouchesRemote(const std::string& path) const {
    std::string normal = NormalisePath(path);
    for (const TransferRow& row : m_rows)
        if (!row.Finished() && (Within(row.remote, normal) || Within(normal, row.remote)))
            return true;
    for (const auto& [id, batch] : m_batches)
        for (const auto& [local, remote] : batch.scope)
            if (Within(remote, normal) || Within(normal, remote))
                return true;
    return false;
}
