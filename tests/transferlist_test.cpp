// The transfer list's rows: a waiting batch's names giving way to its plan,
// states and progress as the batch reports them, the user's commands reaching
// the batch, the failed rows given back as batches, and the paths a running
// job holds.
#include "transfer/TransferList.h"

#include <gtest/gtest.h>

namespace {

TransferJob File(JobKind kind, std::string local, std::string remote, std::string name,
                 std::uint64_t size) {
    TransferJob job;
    job.kind = kind;
    job.local = std::move(local);
    job.remote = std::move(remote);
    job.name = std::move(name);
    job.size = size;
    job.sizeKnown = true;
    if (kind == JobKind::Download)
        job.root = "/home/u";
    return job;
}

class TransferListTest : public testing::Test {
protected:
    CTransferList list;
    int changed = 0;
    std::shared_ptr<CBatchControl> control = std::make_shared<CBatchControl>();

    void SetUp() override {
        list.m_changed = [this] { ++changed; };
    }

    // A download of the folder "t" and the file "x.txt" from /pub into /home/u.
    std::uint64_t AddDownload() {
        DownloadRequest request;
        request.currentPath = "pub";
        request.localDir = "/home/u";
        request.names = {"t", "x.txt"};
        return list.AddBatch(control, RowsOf(request));
    }
    // Its plan: a line, a local folder and three files.
    JobList Plan() {
        TransferJob folder;
        folder.kind = JobKind::LocalFolder;
        folder.local = "/home/u/t";
        return {TransferJob::Text("a line"), folder,
                File(JobKind::Download, "/home/u/t/a.bin", "/pub/t/a.bin", "a.bin", 100),
                File(JobKind::Download, "/home/u/t/b.bin", "/pub/t/b.bin", "b.bin", 200),
                File(JobKind::Download, "/home/u/x.txt", "/pub/x.txt", "x.txt", 5)};
    }
    std::vector<std::string> States() {
        std::vector<std::string> states;
        for (const TransferRow& row : list.Rows())
            states.push_back(row.name + " " + StateText(row));
        return states;
    }
};

// A waiting batch shows its names; its plan, in parts as a walk gives it,
// takes their place, a later part right after the batch's rows so far.
TEST_F(TransferListTest, AWaitingBatchShowsItsNamesUntilItsPlanComes) {
    std::uint64_t before = list.AddBatch(nullptr, {TransferRow{}});
    std::uint64_t batch = AddDownload();
    ASSERT_EQ(list.Rows().size(), 3u);
    EXPECT_EQ(list.Rows()[1].local, "/home/u/t");
    EXPECT_EQ(list.Rows()[1].remote, "/pub/t");
    EXPECT_EQ(list.Rows()[2].remote, "/pub/x.txt");
    std::uint64_t next = list.AddBatch(nullptr, {TransferRow{}});
    JobList plan = Plan();
    list.Planned(batch, JobList(plan.begin(), plan.begin() + 3), 0);
    list.Planned(batch, JobList(plan.begin() + 3, plan.end()), 3);
    // Only the file jobs, at the place the names had, before the next batch.
    ASSERT_EQ(list.Rows().size(), 5u);
    EXPECT_EQ(list.Rows()[0].batch, before);
    EXPECT_EQ(list.Rows()[1].name, "a.bin");
    EXPECT_EQ(list.Rows()[1].job, 2u);
    EXPECT_EQ(list.Rows()[3].name, "x.txt");
    EXPECT_EQ(list.Rows()[3].job, 4u);
    EXPECT_EQ(list.Rows()[3].size, 5u);
    EXPECT_EQ(list.Rows()[4].batch, next);
    list.Changed(batch, {{4, JobState::Moving, {}}});
    EXPECT_EQ(StateText(list.Rows()[3]), "Moving 0%");
    EXPECT_GT(changed, 0);
}

TEST_F(TransferListTest, StatesAndProgressFollowTheBatchAndItsEndSettlesTheRest) {
    std::uint64_t batch = AddDownload();
    list.Planned(batch, Plan());
    list.Changed(batch, {{2, JobState::Moving, {}}, {3, JobState::Moving, {}}});
    TransferProgress progress;
    progress.moving = {{2, 50, 100}, {3, 10, 200}};
    list.Progress(batch, progress);
    list.Changed(batch, {{3, JobState::Failed, "550 No such file"}});
    EXPECT_EQ(States(), (std::vector<std::string>{
                            "a.bin Moving 50%", "b.bin Failed: 550 No such file", "x.txt Queued"}));
    // A Stop: what moved is stopped, what waited too.
    list.Ended(batch, true);
    EXPECT_EQ(States(), (std::vector<std::string>{"a.bin Stopped", "b.bin Failed: 550 No such file",
                                                  "x.txt Stopped"}));
}

TEST_F(TransferListTest, ABatchThatWentWellLeavesNothingToLookAt) {
    std::uint64_t batch = AddDownload();
    list.Planned(batch, Plan());
    std::uint64_t next = AddDownload();
    list.Changed(batch,
                 {{2, JobState::Done, {}}, {3, JobState::Skipped, {}}, {4, JobState::Done, {}}});
    list.Ended(batch, false);
    EXPECT_FALSE(list.Empty()); // the next still waits
    list.Ended(next, false);
    EXPECT_TRUE(list.Empty());
}

TEST_F(TransferListTest, TheUsersCommandsReachTheBatch) {
    std::uint64_t batch = AddDownload();
    // While the batch waits, a name taken off is left out when it begins.
    EXPECT_TRUE(list.Remove(1));
    EXPECT_TRUE(control->ItemRemoved(1));
    EXPECT_FALSE(control->ItemRemoved(0));
    control->Begin();
    EXPECT_FALSE(list.Remove(0)); // begun: its plan decides now
    list.Planned(batch, Plan());
    // A queued job taken off is never handed out; a finished one stays.
    EXPECT_TRUE(list.Remove(1));
    EXPECT_FALSE(control->Claim(3));
    EXPECT_TRUE(control->Claim(2));
    list.Changed(batch, {{2, JobState::Moving, {}}});
    EXPECT_FALSE(list.Remove(0)); // moving
    list.Stop(0);
    EXPECT_TRUE(control->Stopped(2));
    list.Changed(batch, {{2, JobState::Stopped, {}}});
    EXPECT_EQ(States(), (std::vector<std::string>{"a.bin Stopped", "x.txt Queued"}));
    list.Stop(1); // queued: removed
    EXPECT_FALSE(control->Claim(4));
    list.ClearFinished();
    EXPECT_TRUE(list.Empty());
}

TEST_F(TransferListTest, FailedRowsComeBackAsBatchesEachFileWhereItWasToGo) {
    std::uint64_t batch = AddDownload();
    list.Planned(batch, Plan());
    UploadRequest up;
    up.remoteDir = "in";
    up.localDir = "/home/u";
    up.names = {"y.txt"};
    std::uint64_t sent = list.AddBatch(nullptr, RowsOf(up));
    list.Planned(sent, {File(JobKind::Upload, "/home/u/y.txt", "/in", "y.txt", 3)});
    list.Changed(batch, {{3, JobState::Failed, "lost"}, {4, JobState::Done, {}}});
    list.Changed(sent, {{0, JobState::Failed, "refused"}});
    // Had the session closed, the ended batch's rows would go, and what
    // failed in the one still ending would not be retried on the next.
    CTransferList copy = list;
    copy.m_changed = nullptr;
    list.Ended(sent, false);
    copy.Ended(sent, false);
    copy.NewSession();
    EXPECT_EQ(copy.Rows().size(), 3u); // the running batch's rows stay
    CTransferList::Retry none = copy.TakeFailed();
    EXPECT_TRUE(none.downloads.empty());
    EXPECT_TRUE(copy.Rows().size() == 2u);
    CTransferList::Retry retry = list.TakeFailed();
    ASSERT_EQ(retry.downloads.size(), 1u);
    EXPECT_EQ(retry.downloads[0].m_strLocalPath, "/home/u/t/b.bin");
    EXPECT_EQ(NormalisePath(retry.downloads[0].m_strRemotePath), "/pub/t/b.bin");
    EXPECT_EQ(retry.downloads[0].m_bIsFolder, 0);
    EXPECT_EQ(retry.downloads[0].m_strRoot, "/home/u"); // nothing written outside it
    ASSERT_EQ(retry.uploads.size(), 1u);
    EXPECT_EQ(retry.uploads[0].m_strLocalPath, "/home/u/y.txt");
    EXPECT_EQ(NormalisePath(retry.uploads[0].m_strRemotePath), "/in/y.txt");
    EXPECT_EQ(States(), (std::vector<std::string>{"a.bin Queued", "x.txt Done"}));
}

// A running batch holds the paths of its unfinished jobs and, until it ends,
// everything it was asked for (also what its walk has not reached yet).
TEST_F(TransferListTest, ARunningBatchHoldsItsPathsAndTheFoldersAroundThem) {
    std::uint64_t batch = AddDownload();
    JobList plan = Plan();
    list.Planned(batch, JobList(plan.begin(), plan.begin() + 3), 0);
    struct Case {
        const char* path;
        bool local, remote;
    } cases[] = {
        {"/home/u/t/a.bin", true, false},
        {"/home/u/t", true, false},
        {"/home/u/t/later.bin", true, false}, // inside what was asked for
        {"/home/u", true, false},
        {"/home/u/x.txt", true, false},
        {"/home/u/tt", false, false},
        {"/pub/t", false, true},
        {"/pub//t/b.bin", false, true},
        {"/pub/x.txt", false, true},
        {"/pub/y.txt", false, false},
        {"/", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(list.TouchesLocal(c.path), c.local);
        EXPECT_EQ(list.TouchesRemote(c.path), c.remote);
    }
    // Once it ended, nothing is held (a stopped row stays shown).
    list.Ended(batch, true);
    EXPECT_FALSE(list.Empty());
    EXPECT_FALSE(list.TouchesLocal("/home/u/t/a.bin"));
    EXPECT_FALSE(list.TouchesRemote("/pub"));
}

} // namespace
