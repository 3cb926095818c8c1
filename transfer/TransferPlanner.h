// The planners: a batch's selected or dropped entries become the list of jobs
// the queue runs, before anything moves. A download's planner walks every
// server folder (level by level) and gives the local folders to make and the
// files to fetch with their listed sizes; an upload's walks every local
// folder (depth first) and gives the server folders to make and the files to
// send. Lines the walks write are jobs at their place among the others. A
// Stop ends the planning at once; what was planned then is never run.
#pragma once

#include "platform/remote/RemoteFs.h"
#include "transfer/TransferItem.h"
#include "transfer/TransferJob.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The line of a selected or dropped name that is not safe.
std::string UnsafeLine(const std::string& name);
std::string FolderOverFileLine(const std::string& path);
// Something other than a folder (or a link to one) stands at `path`.
bool IsNonDirectory(const std::string& path);

class CDownloadPlanner {
public:
    // `localDir`: the local folder of a command's batch; a dropped batch
    // (`dropMode`) has each item's local path instead.
    CDownloadPlanner(std::shared_ptr<remote::IRemoteFs> session, const std::atomic<int>& stop,
                     std::string localDir, bool dropMode);

    // `items` as probed (folders known); `topSizes` the listed sizes of the
    // selected files, by name.
    JobList Plan(const std::vector<CTransferItem>& items,
                 const std::map<std::string, std::uint64_t>& topSizes);
    // Called after each folder listed with the jobs planned since the last
    // call (and once at the end with the rest): the files of the folders
    // listed so far can move while the walk goes on.
    std::function<void(const JobList& more)> m_onPlanned;

private:
    std::shared_ptr<remote::IRemoteFs> m_session;
    std::size_t m_handedOut = 0; // jobs given to m_onPlanned so far
    const std::atomic<int>& m_stop;
    std::string m_localDir;
    bool m_dropMode;
    JobList m_jobs;
    // The local paths of the files planned so far: a server folder listed
    // after a file of its name does not take that file's place.
    std::set<std::string> m_fileTargets;

    bool Stopped() const { return m_stop.load() != 0; }
    void PlanFolder(const CTransferItem& item);
    // Gives m_onPlanned the jobs planned since it was last called.
    void HandOut();
};

class CUploadPlanner {
public:
    CUploadPlanner(const std::atomic<int>& stop, std::string localDir, bool dropMode);

    // `items` as prepared: top-level server folders made, the ones a file
    // stands in the place of left out.
    JobList Plan(const std::vector<CTransferItem>& items);

private:
    const std::atomic<int>& m_stop;
    std::string m_localDir;
    bool m_dropMode;
    JobList m_jobs;
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_entered; // device, inode

    bool Stopped() const { return m_stop.load() != 0; }
    // One local folder's contents, depth first.
    void PlanFolder(const std::string& localDir, std::string remoteDir);
};
