// The transfer batches against their peers, in one run, on loopback: the same
// work through the download and upload batches (log lines and progress on,
// counted by the host) and through curl and lftp (one connection).
//   2,000 files of 1-16 KiB in 40 folders, down (lftp mirror) and up
//   (lftp mirror -R); a 1 GiB file down and up (curl).
//   "resume": a 1 GiB file down and up through our proxy that cuts the
//   connection at half the file, against the same through the proxy uncut:
//   the time, the bytes the proxy moved, and whether the file arrived whole.
// Prints the median of several runs of each and the ratio to the peer.
// Put TMPDIR on a tmpfs (/dev/shm) so the disk does not decide.
#include "bench/Rounds.h"
#include "platform/ftp/FtpSession.h"
#include "platform/ftp/FtpFs.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/TransferEngine.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

std::string Lftp(const FtpServer& s, const std::string& commands) {
    return "lftp -u " + std::string(FtpServer::User()) + "," + FtpServer::Password() + " -p " +
           std::to_string(s.port()) +
           " -e 'set ftp:passive-mode on; set cache:enable no; set xfer:clobber on; "
           "set net:connection-limit 1; set cmd:fail-exit yes; " +
           commands + "; quit' 127.0.0.1 >/dev/null 2>&1";
}

std::string CurlUrl(const FtpServer& s, const std::string& path) {
    return "ftp://" + std::string(FtpServer::User()) + ":" + FtpServer::Password() +
           "@127.0.0.1:" + std::to_string(s.port()) + "/" + path;
}

void Report(const char* what, double ours, const char* peer, double theirs, const char* target) {
    std::printf("  %-34s ours %7.3f s  %s %7.3f s  ratio %.2f (target %s)\n", what, ours, peer,
                theirs, ours / theirs, target);
}

// The processor time of the last comparison's first two contenders.
void ReportCpu(const char* peer) {
    std::printf("  %-34s processor time: ours %.3f s, %s %.3f s\n", "", g_lastCpu[0], peer,
                g_lastCpu[1]);
}

// Counts what a pane would be shown.
class CountingHost : public ITransferHost {
public:
    std::atomic<long> lines{0}, progress{0}, questions{0}, done{0};
    void AddLine(const std::string& line) override {
        ++lines;
        if (line == "Done")
            ++done;
    }
    ReplaceAnswer AskReplace(const ReplaceQuestion&) override {
        ++questions;
        return ReplaceAnswer::ReplaceAll;
    }
    void OnProgress(const TransferProgress&) override { ++progress; }
    void OnBatchEnd(const BatchResult&) override {}
};

bool Download(const std::shared_ptr<ftp::Session>& session, const std::string& currentPath,
              const std::string& name, const std::string& localDir, long expectDone,
              CountingHost& host) {
    DownloadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.currentPath = currentPath;
    r.localDir = localDir;
    r.names = {name};
    std::atomic<int> stop{0};
    long before = host.done;
    CDownloadBatch batch(std::move(r), host, stop);
    batch.Prepare();
    batch.Run();
    return host.done - before == expectDone;
}

bool Upload(const std::shared_ptr<ftp::Session>& session, const std::string& remoteDir,
            const std::string& name, const std::string& localDir, long expectDone,
            CountingHost& host) {
    UploadRequest r;
    r.session = std::make_shared<remote::FtpFs>(session, ftp::Encryption::None);
    r.remoteDir = remoteDir;
    r.localDir = localDir;
    r.names = {name};
    std::atomic<int> stop{0};
    long before = host.done;
    CUploadBatch batch(std::move(r), host, stop);
    batch.Prepare();
    batch.Run();
    return host.done - before == expectDone;
}

// The floor: the same tree fetched with bare session calls, no batch around
// them (no question, lines, progress or path checks).
bool RawTreeDown(ftp::Session& session, const fs::path& tree) {
    std::vector<ftp::FindData> folders;
    if (!session.ListDirectory("/tree", &folders))
        return false;
    for (const auto& folder : folders) {
        if (!folder.isDirectory || !folder.safe)
            continue;
        fs::create_directories(tree / folder.name);
        std::vector<ftp::FindData> files;
        if (!session.ListDirectory("/tree/" + folder.name, &files))
            return false;
        for (const auto& f : files)
            if (!f.isDirectory && f.safe &&
                !session.GetFile("/tree/" + folder.name + "/" + f.name,
                                 (tree / folder.name / f.name).string()))
                return false;
    }
    return true;
}

bool RawTreeUp(ftp::Session& session, const fs::path& tree, const std::string& remote) {
    session.CreateDirectory(remote);
    for (const auto& folder : fs::directory_iterator(tree)) {
        std::string dir = remote + "/" + folder.path().filename().string();
        session.CreateDirectory(dir);
        for (const auto& f : fs::directory_iterator(folder.path()))
            if (!session.PutFile(f.path().string(), dir + "/" + f.path().filename().string()))
                return false;
    }
    return true;
}

// A file whose every 8-byte word holds its own offset: a piece put back at
// the wrong place never compares equal.
bool MakeCounted(const std::string& path, std::uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<std::uint64_t> chunk(1 << 19);
    for (std::uint64_t at = 0; at < size; at += chunk.size() * 8) {
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = (at / 8 + i) * 0x9E3779B97F4A7C15ull;
        out.write(reinterpret_cast<const char*>(chunk.data()),
                  static_cast<std::streamsize>(chunk.size() * 8));
    }
    return static_cast<bool>(out);
}

bool Same(const std::string& a, const std::string& b) {
    return Shell("cmp -s '" + a + "' '" + b + "'");
}

struct ResumeRun {
    double seconds = 1e9;
    std::uint64_t bytes = 0;
    bool whole = false;
};

// One transfer of `file` through a new proxy with `options`, timed from the
// login to the last byte.
ResumeRun ThroughProxy(const FtpServer& server, const std::vector<std::string>& options,
                       bool upload, const std::string& localDir, const std::string& file) {
    ResumeRun run;
    DropProxy proxy(server.port(), options);
    if (!proxy.ok())
        return run;
    server.Share();
    ftp::ConnectParams p;
    p.host = "127.0.0.1";
    p.port = proxy.port();
    p.user = FtpServer::User();
    p.password = FtpServer::Password();
    auto start = std::chrono::steady_clock::now();
    auto session = ftp::Session::Open(p);
    if (!session)
        return run;
    CountingHost host;
    bool ok = upload ? Upload(session, "/", file, localDir, 1, host)
                     : Download(session, "/", file, localDir, 1, host);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.bytes = proxy.Count("file_bytes");
    run.whole = ok && Same(server.root() + "/" + file, localDir + "/" + file);
    return run;
}

void ReportResume(const char* what, const std::vector<ResumeRun>& cut,
                  const std::vector<ResumeRun>& uncut, std::uint64_t size) {
    auto median = [](const std::vector<ResumeRun>& runs, auto field) {
        std::vector<double> v;
        for (const ResumeRun& r : runs)
            v.push_back(field(r));
        return Median(v);
    };
    auto seconds = [](const ResumeRun& r) { return r.seconds; };
    auto bytes = [](const ResumeRun& r) { return static_cast<double>(r.bytes); };
    bool whole = std::all_of(cut.begin(), cut.end(), [](const ResumeRun& r) { return r.whole; });
    double moved = median(cut, bytes);
    std::printf("  %-34s cut %7.3f s  uncut %7.3f s  moved %.0f bytes = %.4f x size (target < "
                "1.1)  %s\n",
                what, median(cut, seconds), median(uncut, seconds), moved,
                moved / static_cast<double>(size), whole ? "byte-identical" : "NOT IDENTICAL");
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    // Optional: which measurements (treedown, treeup, filedown, fileup) and
    // which servers.
    std::string only = argc > 2 ? argv[2] : "treedown,treeup,filedown,fileup,resume";
    std::string servers = argc > 3 ? argv[3] : "vsftpd,pyftpdlib";
    auto want = [&](const char* what) { return only.find(what) != std::string::npos; };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    fs::path work = fs::temp_directory_path() / ("orvane-tbench-" + std::to_string(getpid()));
    fs::create_directories(work);
    for (ServerKind kind : {ServerKind::Vsftpd, ServerKind::Pyftpdlib}) {
        if (servers.find(KindName(kind)) == std::string::npos)
            continue;
        FtpServer server(kind);
        if (!server.ok()) {
            std::printf("%s: %s\n", KindName(kind), server.error().c_str());
            continue;
        }
        std::printf("%s (median of %d runs)\n", KindName(kind), g_runs);
        const std::string root = server.root();
        {
            int fd = open((root + "/1g.bin").c_str(), O_CREAT | O_WRONLY, 0644);
            std::vector<char> block(1 << 20, 'x');
            for (int i = 0; i < 1024; ++i)
                if (write(fd, block.data(), block.size()) < 0)
                    return 1;
            close(fd);
        }
        for (int d = 0; d < 40; ++d) {
            fs::path dir = fs::path(root) / "tree" / ("d" + std::to_string(d));
            fs::create_directories(dir);
            for (int f = 0; f < 50; ++f)
                std::ofstream(dir / ("f" + std::to_string(f)))
                    << std::string(1024 + (d * 50 + f) * 7 % 15360, 'y');
        }
        server.Share();

        ftp::ConnectParams p;
        p.host = "127.0.0.1";
        p.port = server.port();
        p.user = FtpServer::User();
        p.password = FtpServer::Password();
        auto session = ftp::Session::Open(p);
        if (!session) {
            std::printf("  cannot log in: %s\n", ftp::LastResponse().c_str());
            continue;
        }
        CountingHost host;
        fs::path down = work / "down";
        fs::path source = work / "source"; // what the uploads send
        fs::create_directories(source);
        Download(session, "/", "tree", source.string(), 2000, host);

        if (want("treedown")) {
            auto t = Compare([&] { fs::remove_all(down), fs::create_directories(down); },
                             {
                                 [&] { return Download(session, "/", "tree", down, 2000, host); },
                                 [&] {
                                     return Shell(Lftp(server, "mirror --parallel=1 /tree " +
                                                                   (down / "tree").string()));
                                 },
                                 [&] { return RawTreeDown(*session, down / "tree"); },
                             });
            Report("2,000 files in 40 folders, down", t[0], "lftp mirror", t[1], "<= 0.9");
            ReportCpu("lftp");
            Report("  the same, batch against bare session", t[0], "bare", t[2], "(overhead)");
        }
        if (want("treeup")) {
            auto t = Compare(
                [&] {
                    fs::remove_all(root + "/up");
                    fs::create_directories(root + "/up");
                    server.Share();
                },
                {
                    [&] { return Upload(session, "/up", "tree", source.string(), 2000, host); },
                    [&] {
                        return Shell(Lftp(server, "mirror -R --parallel=1 " +
                                                      (source / "tree").string() + " /up/tree"));
                    },
                    [&] { return RawTreeUp(*session, source / "tree", "/up/tree"); },
                });
            Report("2,000 files in 40 folders, up", t[0], "lftp mirror -R", t[1], "<= 0.9");
            ReportCpu("lftp");
            Report("  the same, batch against bare session", t[0], "bare", t[2], "(overhead)");
        }
        if (want("filedown")) {
            auto t = Compare([&] { fs::remove_all(down), fs::create_directories(down); },
                             {
                                 [&] { return Download(session, "/", "1g.bin", down, 1, host); },
                                 [&] {
                                     return Shell("curl -s -o " + (down / "1g.bin").string() + " " +
                                                  CurlUrl(server, "1g.bin"));
                                 },
                             });
            Report("1 GiB download", t[0], "curl", t[1], "<= 1.05");
            ReportCpu("curl");
        }
        if (want("fileup")) {
            fs::remove_all(down);
            fs::create_directories(down);
            Download(session, "/", "1g.bin", down, 1, host);
            auto t = Compare(
                [&] {
                    fs::remove(root + "/up.bin");
                    fs::remove(root + "/1g.bin"); // no question: the target is new
                },
                {
                    [&] { return Upload(session, "/", "1g.bin", down, 1, host); },
                    [&] {
                        return Shell("curl -s -T " + (down / "1g.bin").string() + " " +
                                     CurlUrl(server, "up.bin"));
                    },
                });
            Report("1 GiB upload", t[0], "curl", t[1], "<= 1.05");
            ReportCpu("curl");
        }
        if (want("resume")) {
            constexpr std::uint64_t size = 1ull << 30;
            fs::path here = work / "resume";
            fs::create_directories(here);
            if (!MakeCounted(root + "/counted.bin", size) ||
                !MakeCounted((here / "counted-up.bin").string(), size))
                return 1;
            const std::vector<std::string> cut = {"drop_at=" + std::to_string(size / 2),
                                                  "mode=both"};
            std::vector<ResumeRun> downCut, downUncut, upCut, upUncut;
            for (int round = 0; round < g_runs; ++round) {
                fs::remove(here / "counted.bin");
                downCut.push_back(ThroughProxy(server, cut, false, here.string(), "counted.bin"));
                fs::remove(here / "counted.bin");
                downUncut.push_back(ThroughProxy(server, {}, false, here.string(), "counted.bin"));
                fs::remove(root + "/counted-up.bin");
                upCut.push_back(ThroughProxy(server, cut, true, here.string(), "counted-up.bin"));
                fs::remove(root + "/counted-up.bin");
                upUncut.push_back(ThroughProxy(server, {}, true, here.string(), "counted-up.bin"));
            }
            ReportResume("1 GiB download cut at half", downCut, downUncut, size);
            ReportResume("1 GiB upload cut at half", upCut, upUncut, size);
            fs::remove_all(here);
            fs::remove(root + "/counted.bin");
            fs::remove(root + "/counted-up.bin");
        }
        std::printf("  host saw %ld lines, %ld progress reports, %ld questions\n",
                    host.lines.load(), host.progress.load(), host.questions.load());
    }
    fs::remove_all(work);
    curl_global_cleanup();
    return 0;
}
