// Transfers that survive a lost connection, and sessions that log in again by
// themselves: the batches and the session against real servers (vsftpd,
// pyftpdlib) behind our proxy that drops connections on purpose, and against
// the scripted server.
#include "platform/ftp/FtpSession.h"
#include "platform/ftp/FtpFs.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/TransferEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Big enough for a drop to land mid-file with megabytes in flight on either
// side, small enough for a test; one case of each direction moves a gigabyte
// (and bench/transfer_bench times it).
constexpr std::uint64_t kBig = 256ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
// What a download going on from a part asks for again, to check it.
constexpr std::uint64_t kOverlap = 64 * 1024;

// A file whose every 8-byte word holds its own offset (and a seed): a piece
// put back at the wrong place, twice or not at all never compares equal.
void MakeFile(const std::string& path, std::uint64_t size, std::uint64_t seed = 0) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> chunk(1 << 19); // 4 MiB
    for (std::uint64_t at = 0; at < size;) {
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = (at / 8 + i) * 0x9E3779B97F4A7C15ull ^ seed;
        std::uint64_t n = std::min<std::uint64_t>(size - at, chunk.size() * 8);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        at += n;
    }
}

// "" when both files hold the same bytes, else where they differ.
std::string Differ(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb)
        return "missing: " + (fa ? b : a);
    std::vector<char> ba(1 << 22), bb(1 << 22);
    for (std::uint64_t at = 0;; at += ba.size()) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount())
            return "sizes differ near " + std::to_string(at + std::min(fa.gcount(), fb.gcount()));
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0)
            return "bytes differ in the 4 MiB at " + std::to_string(at);
        if (fa.gcount() == 0)
            return "";
    }
}

void Write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Waits (polling: the proxy is another process) until `cond` holds.
bool Eventually(const std::function<bool()>& cond, int ms = 10000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> TempFilesUnder(const std::string& dir) {
    std::vector<std::string> found;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".orvane-", 0) == 0)
            found.push_back(e.path().string());
    return found;
}

using Lines = std::vector<std::string>;

// The lines without the reason that follows each error line (its wording
// is the server's or libcurl's); each error line must have one.
Lines Reasonless(const Lines& lines) {
    Lines out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out.push_back(lines[i]);
        if (lines[i].rfind("Error ", 0) != 0)
            continue;
        EXPECT_TRUE(i + 1 < lines.size() && !lines[i + 1].empty())
            << "no reason after " << lines[i];
        ++i;
    }
    return out;
}

// Records the lines; answers the question from a script (Skip when empty).
class Host : public ITransferHost {
public:
    std::deque<ReplaceAnswer> answers;
    int questions = 0;
    std::function<void(const std::string&)> onLine;

    void AddLine(const std::string& line) override {
        {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        }
        if (onLine)
            onLine(line);
    }
    ReplaceAnswer AskReplace(const ReplaceQuestion&) override {
        std::lock_guard lock(m_mutex);
        ++questions;
        if (answers.empty())
            return ReplaceAnswer::Skip;
        ReplaceAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    void OnBatchEnd(const BatchResult& r) override {
        std::lock_guard lock(m_mutex);
        end = r;
    }
    Lines Get() {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    std::optional<BatchResult> end;

private:
    std::mutex m_mutex;
    Lines m_lines;
};

struct Case {
    ServerKind kind;
    const char* mode;          // the proxy's: data, both, 421
    std::uint64_t size = kBig; // of the file cut halfway
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << KindName(c.kind) << " mode=" << c.mode;
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return std::string(KindName(info.param.kind)) + "_" +
           (std::strcmp(info.param.mode, "421") == 0 ? "reply421" : info.param.mode);
}

// A real server and, in front of it, the proxy with the options of a test.
class ResumeTest : public ::testing::TestWithParam<Case> {
protected:
    std::unique_ptr<FtpServer> server;
    std::unique_ptr<DropProxy> proxy;
    TempDir local;
    std::shared_ptr<ftp::Session> session;
    Lines sessionLines;
    std::mutex linesMutex;

    void SetUp() override {
        server = std::make_unique<FtpServer>(GetParam().kind);
        ASSERT_TRUE(server->ok()) << server->error();
    }
    // Starts the proxy and connects through it.
    void Connect(std::vector<std::string> options) {
        options.push_back(std::string("mode=") + GetParam().mode);
        proxy = std::make_unique<DropProxy>(server->port(), options);
        ASSERT_TRUE(proxy->ok());
        server->Share();
        ftp::ConnectParams p;
        p.host = "127.0.0.1";
        p.port = proxy->port();
        p.user = FtpServer::User();
        p.password = FtpServer::Password();
        p.connectTimeoutSec = 10;
        p.responseTimeoutSec = 10;
        session = ftp::Session::Open(p);
        ASSERT_TRUE(session) << ftp::LastResponse();
        session->SetLineHook([this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            sessionLines.push_back(line);
        });
    }
    std::string Root(const std::string& rel) const { return server->root() + "/" + rel; }
    std::string Local(const std::string& rel) const { return local.path() + "/" + rel; }

    BatchResult Download(Host& host, std::vector<std::string> names,
                         const std::atomic<int>* stopFlag = nullptr) {
        DownloadRequest r;
        r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
        r.currentPath = "/";
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> ownStop{0};
        CDownloadBatch batch(std::move(r), host, stopFlag ? *stopFlag : ownStop);
        batch.Prepare();
        return batch.Run();
    }
    BatchResult Upload(Host& host, std::vector<std::string> names) {
        UploadRequest r;
        r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
        r.remoteDir = "/";
        r.localDir = local.path();
        r.names = std::move(names);
        std::atomic<int> stop{0};
        CUploadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        return batch.Run();
    }
};

INSTANTIATE_TEST_SUITE_P(
    Drops, ResumeTest,
    testing::Values(Case{ServerKind::Vsftpd, "data"}, Case{ServerKind::Vsftpd, "both", kGiB},
                    Case{ServerKind::Vsftpd, "421"}, Case{ServerKind::Pyftpdlib, "data"},
                    Case{ServerKind::Pyftpdlib, "both"}, Case{ServerKind::Pyftpdlib, "421"}),
    CaseName);

} // namespace

TEST_P(ResumeTest, ADownloadCutHalfwayGoesOnFromThereAndArrivesWhole) {
    const std::uint64_t size = GetParam().size;
    MakeFile(Root("big.bin"), size);
    Write(Local("big.bin"), "old");
    Connect({"drop_at=" + std::to_string(size / 2)});
    Host host;
    host.answers = {ReplaceAnswer::Replace};
    BatchResult result = Download(host, {"big.bin"});
    EXPECT_EQ(host.Get(), (Lines{"Downloading  big.bin",
                                 "Connection lost, resuming big.bin at " +
                                     std::to_string(size / 2) + " bytes (try 2 of 3)",
                                 "Done"}));
    EXPECT_EQ(result.filesDone, 1u);
    EXPECT_EQ(host.questions, 1); // the question is not asked again for the second try
    EXPECT_EQ(Differ(Root("big.bin"), Local("big.bin")), "");
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
    EXPECT_EQ(proxy->Count("drops"), 1u);
    EXPECT_EQ(proxy->Count("REST"), 1u);
    // What went over the wire: the file once (and the 64 KiB before the cut
    // asked again to check them), not one and a half times.
    EXPECT_LT(proxy->Count("file_bytes"), size + size / 10);
    EXPECT_EQ(proxy->Count("file_bytes"), size + kOverlap);
    EXPECT_EQ(sessionLines, Lines{}); // the batch's own line says it all
}

TEST_P(ResumeTest, AnUploadCutHalfwayAppendsTheRestAndArrivesWhole) {
    const std::uint64_t size = GetParam().size;
    MakeFile(Local("big.bin"), size, 7);
    Connect({"drop_at=" + std::to_string(size / 2)});
    Host host;
    BatchResult result = Upload(host, {"big.bin"});
    Lines lines = host.Get();
    ASSERT_EQ(lines.size(), 3u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Uploading big.bin");
    // The server keeps what reached it; the proxy's cut leaves little in flight.
    EXPECT_EQ(lines[1].rfind("Connection lost, resuming big.bin at ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" bytes (try 2 of 3)"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "Done");
    EXPECT_EQ(result.filesDone, 1u);
    EXPECT_EQ(Differ(Local("big.bin"), Root("big.bin")), "");
    EXPECT_EQ(proxy->Count("APPE"), 1u);
    EXPECT_LT(proxy->Count("file_bytes"), size + size / 10);
}

TEST_P(ResumeTest, AFileCutAtEveryTryGetsItsErrorLineAndTheBatchGoesOn) {
    constexpr std::uint64_t size = 32u << 20;
    MakeFile(Root("cut.bin"), size, 1);
    MakeFile(Root("next.bin"), 1u << 20, 2);
    Write(Local("cut.bin"), "old");
    // Each try goes a quarter further and is cut again: three drops. (A try
    // that goes on from a part asks again for the 64 KiB before, to check them.)
    Connect({"drop_at=" + std::to_string(size / 4), "drops=3"});
    Host host;
    host.answers = {ReplaceAnswer::Replace};
    BatchResult result = Download(host, {"cut.bin", "next.bin"});
    EXPECT_EQ(Reasonless(host.Get()),
              (Lines{"Downloading  cut.bin",
                     "Connection lost, resuming cut.bin at " + std::to_string(size / 4) +
                         " bytes (try 2 of 3)",
                     "Connection lost, resuming cut.bin at " + std::to_string(size / 2 - kOverlap) +
                         " bytes (try 3 of 3)",
                     "Error Downloading  cut.bin", "Downloading  next.bin", "Done"}));
    EXPECT_EQ(result.filesFailed, 1u);
    EXPECT_EQ(result.filesDone, 1u);
    EXPECT_EQ(proxy->Count("drops"), 3u);
    // The old file stays, the part that arrived goes, the next file is whole.
    EXPECT_EQ(Slurp(Local("cut.bin")), "old");
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
    EXPECT_EQ(Differ(Root("next.bin"), Local("next.bin")), "");
}

TEST_P(ResumeTest, AnUploadCutAtEveryTryGetsItsErrorLineAndTheBatchGoesOn) {
    constexpr std::uint64_t size = 32u << 20;
    MakeFile(Local("cut.bin"), size, 3);
    MakeFile(Local("next.bin"), 1u << 20, 4);
    Connect({"drop_at=" + std::to_string(size / 4), "drops=3"});
    Host host;
    BatchResult result = Upload(host, {"cut.bin", "next.bin"});
    Lines lines = Reasonless(host.Get());
    ASSERT_EQ(lines.size(), 6u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Uploading cut.bin");
    EXPECT_NE(lines[1].find(" (try 2 of 3)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(" (try 3 of 3)"), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "Error Uploading cut.bin");
    EXPECT_EQ(lines[4], "Uploading next.bin");
    EXPECT_EQ(lines[5], "Done");
    EXPECT_EQ(result.filesFailed, 1u);
    EXPECT_EQ(proxy->Count("drops"), 3u);
    EXPECT_EQ(Differ(Local("next.bin"), Root("next.bin")), "");
}

TEST_P(ResumeTest, AFileTheServerRefusesIsNotTriedAgain) {
    Connect({"drop_at=1000"});
    Host host;
    Download(host, {"missing.bin"});
    EXPECT_EQ(Reasonless(host.Get()),
              (Lines{"Downloading  missing.bin", "Error Downloading  missing.bin"}));
    // One refusal (libcurl asks SIZE before RETR), nothing asked again.
    EXPECT_EQ(proxy->Count("SIZE") + proxy->Count("RETR"), 1u);
    EXPECT_EQ(proxy->Count("logins"), 1u);
}

TEST_P(ResumeTest, AStopDuringThePauseBeforeATryEndsTheFileThere) {
    MakeFile(Root("big.bin"), kBig);
    // After the cut the server is gone: the second try fails at its login,
    // and the pause before the third begins.
    Connect({"drop_at=" + std::to_string(kBig / 4), "refuse_after_drop=1"});
    Host host;
    CTransferEngine engine;
    DownloadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.currentPath = "/";
    r.localDir = local.path();
    r.names = {"big.bin"};
    ASSERT_TRUE(engine.StartDownload(r, std::shared_ptr<ITransferHost>(&host, [](auto*) {})));
    ASSERT_TRUE(Eventually([&] { return proxy->Count("refused") == 1; }));
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(20000));
    EXPECT_EQ(host.Get(), (Lines{"Downloading  big.bin",
                                 "Connection lost, resuming big.bin at " +
                                     std::to_string(kBig / 4) + " bytes (try 2 of 3)",
                                 "Stopped Downloading  big.bin"}));
    ASSERT_TRUE(host.end.has_value());
    EXPECT_TRUE(host.end->stopped);
    EXPECT_EQ(proxy->Count("refused"), 1u); // no third try
    EXPECT_FALSE(fs::exists(Local("big.bin")));
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

TEST_P(ResumeTest, AStopAfterTheCutIsNeverTriedAgain) {
    MakeFile(Root("big.bin"), kBig);
    Connect({"drop_at=" + std::to_string(kBig / 4)});
    Host host;
    CTransferEngine engine;
    DownloadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.currentPath = "/";
    r.localDir = local.path();
    r.names = {"big.bin"};
    ASSERT_TRUE(engine.StartDownload(r, std::shared_ptr<ITransferHost>(&host, [](auto*) {})));
    // Stop as soon as the connection is cut: while the client still reads
    // what was in flight, or in the pause before the second try.
    ASSERT_TRUE(Eventually([&] { return proxy->Count("drops") == 1; }));
    engine.Stop();
    ASSERT_TRUE(engine.WaitIdle(20000));
    EXPECT_EQ(host.Get(), (Lines{"Downloading  big.bin", "Stopped Downloading  big.bin"}));
    ASSERT_TRUE(host.end.has_value());
    EXPECT_TRUE(host.end->stopped);
    EXPECT_EQ(proxy->Count("RETR"), 1u);
    EXPECT_FALSE(fs::exists(Local("big.bin")));
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}

// ---- a session that the server closed while it lay idle ----

struct IdleCase {
    ServerKind kind;
    bool with421; // the server says 421 before it closes, or just closes
};

void PrintTo(const IdleCase& c, std::ostream* os) {
    *os << KindName(c.kind) << (c.with421 ? " 421" : " closed");
}

class IdleTest : public ::testing::TestWithParam<IdleCase> {
protected:
    std::unique_ptr<FtpServer> server;
    std::unique_ptr<DropProxy> proxy;
    TempDir local;
    std::shared_ptr<ftp::Session> session;
    std::mutex linesMutex;
    Lines sessionLines;

    void SetUp() override {
        server = std::make_unique<FtpServer>(GetParam().kind);
        ASSERT_TRUE(server->ok()) << server->error();
        fs::create_directories(server->root() + "/sub");
        Write(server->root() + "/sub/a.txt", "alpha");
        server->Share();
        proxy = std::make_unique<DropProxy>(
            server->port(), std::vector<std::string>{
                                "idle_ms=300", GetParam().with421 ? "idle_421=1" : "idle_421=0"});
        ASSERT_TRUE(proxy->ok());
        ftp::ConnectParams p;
        p.host = "127.0.0.1";
        p.port = proxy->port();
        p.user = FtpServer::User();
        p.password = FtpServer::Password();
        p.connectTimeoutSec = 10;
        p.responseTimeoutSec = 10;
        session = ftp::Session::Open(p);
        ASSERT_TRUE(session) << ftp::LastResponse();
        session->SetLineHook([this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            sessionLines.push_back(line);
        });
    }
    // Waits until the proxy has closed the session's connection `n` times.
    void IdleClosed(std::uint64_t n) {
        ASSERT_TRUE(Eventually([&] { return proxy->Count("idle_closes") >= n; }));
    }
    Lines Said() {
        std::lock_guard lock(linesMutex);
        return sessionLines;
    }
};

INSTANTIATE_TEST_SUITE_P(
    Servers, IdleTest,
    testing::Values(IdleCase{ServerKind::Vsftpd, true}, IdleCase{ServerKind::Vsftpd, false},
                    IdleCase{ServerKind::Pyftpdlib, true}, IdleCase{ServerKind::Pyftpdlib, false}),
    [](const auto& info) {
        return std::string(KindName(info.param.kind)) + (info.param.with421 ? "_421" : "_closed");
    });

TEST_P(IdleTest, TheNextListingLogsInAgainInTheSameFolderWithoutAnError) {
    ASSERT_TRUE(session->SetCurrentDirectory("/sub")) << ftp::LastResponse();
    IdleClosed(1);
    ftp::FindData first;
    // The current folder is listed: the new login is back in /sub.
    auto found = session->FindFirstFile("", &first);
    ASSERT_TRUE(found) << ftp::LastResponse();
    EXPECT_EQ(first.name, "a.txt");
    EXPECT_EQ(session->GetCurrentDirectory(), "/sub");
    EXPECT_EQ(Said(), Lines{"Reconnected"});
    EXPECT_EQ(proxy->Count("logins"), 2u);
}

TEST_P(IdleTest, FolderChangesRenamesAndTransfersLogInAgainToo) {
    ASSERT_TRUE(session->SetCurrentDirectory("/sub"));
    IdleClosed(1);
    EXPECT_TRUE(session->SetCurrentDirectory("/")) << ftp::LastResponse();
    IdleClosed(2);
    EXPECT_TRUE(session->RenameFile("/sub/a.txt", "/sub/b.txt")) << ftp::LastResponse();
    EXPECT_TRUE(fs::exists(server->root() + "/sub/b.txt"));
    IdleClosed(3);
    Host host;
    DownloadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.currentPath = "/sub";
    r.localDir = local.path();
    r.names = {"b.txt"};
    std::atomic<int> stop{0};
    CDownloadBatch batch(r, host, stop);
    batch.Prepare();
    batch.Run();
    EXPECT_EQ(host.Get(), (Lines{"Downloading  b.txt", "Done"}));
    EXPECT_EQ(Slurp(local.path() + "/b.txt"), "alpha");
    EXPECT_EQ(Said(), (Lines{"Reconnected", "Reconnected", "Reconnected"}));
}

TEST_P(ResumeTest, AnUploadWhoseLocalFileChangedBetweenTriesIsSentWholeAgain) {
    constexpr std::uint64_t size = 8u << 20;
    MakeFile(Local("doc.bin"), size, 11);
    Connect({"drop_at=" + std::to_string(size / 4)});
    files::PartialUpload partial;
    std::vector<std::uint64_t> resumedAt;
    partial.onResume = [&](std::uint64_t from) { resumedAt.push_back(from); };
    ASSERT_FALSE(session->PutFile(Local("doc.bin"), "/doc.bin", nullptr, &partial));
    // The cut shows as a lost connection, or, when the server saw the end of
    // its data and called the file complete, as a size that disagrees.
    ASSERT_TRUE(ftp::LastFailure() == ftp::Failure::ConnectionLost ||
                ftp::LastFailure() == ftp::Failure::SizeMismatch)
        << ftp::LastResponse();
    // Saved again meanwhile, the same length, other bytes: what the server kept
    // is no beginning of it.
    MakeFile(Local("doc.bin"), size, 12);
    EXPECT_TRUE(session->PutFile(Local("doc.bin"), "/doc.bin", nullptr, &partial))
        << ftp::LastResponse();
    EXPECT_EQ(resumedAt, std::vector<std::uint64_t>{0});
    EXPECT_EQ(proxy->Count("APPE"), 0u);
    EXPECT_EQ(Differ(Local("doc.bin"), Root("doc.bin")), "");
}

TEST_P(ResumeTest, ADisconnectDuringThePauseBeforeATryEndsTheFileWithoutAnotherLogin) {
    MakeFile(Root("big.bin"), kBig);
    MakeFile(Root("next.bin"), 1u << 20, 5);
    Connect({"drop_at=" + std::to_string(kBig / 4), "refuse_after_drop=1"});
    Host host;
    CTransferEngine engine;
    DownloadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.currentPath = "/";
    r.localDir = local.path();
    r.names = {"big.bin", "next.bin"};
    ASSERT_TRUE(engine.StartDownload(r, std::shared_ptr<ITransferHost>(&host, [](auto*) {})));
    // The second try fails at its login; the pause before the third begins.
    // The refusal came after `notYet`: the pause cannot have run out before
    // `notYet` and its full length.
    auto notYet = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] {
        auto now = std::chrono::steady_clock::now();
        if (proxy->Count("refused") == 1)
            return true;
        notYet = now;
        return false;
    }));
    session->Close(); // what Disconnect and closing the window do
    auto closed = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine.WaitIdle(20000));
    // The pause ends at the Close, not when it runs out.
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::milliseconds(800));
    EXPECT_EQ(proxy->Count("refused"), 1u); // no try on a closed session
    Lines lines = host.Get();
    ASSERT_GE(lines.size(), 3u) << testing::PrintToString(lines);
    // No third try is announced, even when the Close came before the pause
    // began. On a slow machine the pause can run out before the Close comes:
    // the third try is then announced, and fails at once without a login.
    size_t at = 2;
    if (closed - notYet >= 2 * kFirstRetryPause &&
        lines[at].rfind("Connection lost, resuming big.bin at ", 0) == 0 &&
        lines[at].find("(try 3 of 3)") != std::string::npos)
        ++at;
    ASSERT_LT(at, lines.size()) << testing::PrintToString(lines);
    EXPECT_EQ(lines[at], "Error Downloading  big.bin") << testing::PrintToString(lines);
    EXPECT_FALSE(fs::exists(Local("big.bin")));
    EXPECT_FALSE(fs::exists(Local("next.bin")));
    EXPECT_TRUE(TempFilesUnder(local.path()).empty());
}
