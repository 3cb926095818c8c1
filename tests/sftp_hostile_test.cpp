// SFTP against a server that misbehaves in ways OpenSSH's never does: a
// script in ssh's place (tests/sftp/hostile_sftp.py) that sends more than a
// read asked for, answers ids never asked, announces a packet of 4 GiB,
// answers a read "OK" with no data, ends a file early while its size says
// more, or never ends a listing. Nothing of it may land or hang. (Names that
// would lead out of the download folder: sftpfs_test.)
#include "platform/sftp/SftpFs.h"
#include "tests/TempDir.h"
#include "tests/TransferFakes.h"
#include "transfer/TransferEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

using namespace transfer_fakes;

namespace {

// A session whose "ssh" is the hostile script, misbehaving as `mode` says.
std::shared_ptr<remote::SftpFs> Hostile(const std::string& mode) {
    sftp::ConnectParams params;
    params.ssh.program = ORVANE_TEST_DIR "/sftp/hostile_sftp.py";
    params.ssh.host = mode;
    params.responseTimeoutSec = 30;
    return std::make_shared<remote::SftpFs>(params);
}

// Every name under `dir`, relative to it.
std::vector<std::string> Tree(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(fs::relative(e.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SftpHostileServer, AFileThatDoesNotArriveAsAnnouncedNeverLands) {
    struct Case {
        const char* mode;
        remote::Failure failure;
    } cases[] = {
        {"short", remote::Failure::ConnectionLost},    // EOF at a third of the size said
        {"extra", remote::Failure::ConnectionLost},    // more bytes than a read asked
        {"unasked", remote::Failure::ConnectionLost},  // a reply for an id never asked
        {"huge", remote::Failure::ConnectionLost},     // a packet announced at 4 GiB
        {"statusok", remote::Failure::ConnectionLost}, // "OK" where data was owed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        TempDir local;
        auto session = Hostile(c.mode);
        ASSERT_TRUE(session->Connect());
        remote::Result r = session->Download("/f", local.path() + "/f", {}, -1, nullptr);
        EXPECT_FALSE(r.Ok());
        EXPECT_EQ(r.failure, c.failure) << r.reply;
        EXPECT_TRUE(Tree(local.path()).empty());
        session->Close();
    }
}

TEST(SftpHostileServer, AFileEndingEarlyIsTriedAgainButNeverLandsShortThroughTheEngine) {
    TempDir local;
    FakeHost host;
    DownloadRequest request;
    request.session = Hostile("short");
    request.currentPath = "/";
    request.localDir = local.path();
    request.names = {"f"};
    std::atomic<int> stop{0};
    CDownloadBatch batch(std::move(request), host, stop);
    batch.Prepare();
    BatchResult result = batch.Run();
    EXPECT_EQ(result.filesDone, 0u);
    EXPECT_TRUE(Tree(local.path()).empty());
}

TEST(SftpHostileServer, AListingThatNeverEndsFailsInsteadOfGrowingForEver) {
    auto session = Hostile("endless");
    ASSERT_TRUE(session->Connect());
    std::vector<remote::Entry> entries;
    remote::Result r = session->List("/d", &entries, remote::Links::AsListed);
    EXPECT_FALSE(r.Ok());
    EXPECT_NE(r.reply.find("too large"), std::string::npos) << r.reply;
    EXPECT_TRUE(entries.empty());
    session->Close();
}

} // namespace
