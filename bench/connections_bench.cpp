// Batches whose files move on several connections at once, against lftp's
// parallel mirror and against our own batch on one connection, in one run,
// all against the same pyftpdlib of the tests:
//   2,000 files of 1-16 KiB in 40 folders, down and up, through a proxy of
//   ours that holds every byte of the control connection 10 ms each way (the
//   data connections go straight to the server: its PASV reply names
//   127.0.0.1): ours on 4 connections against ours on 1 and against
//   `mirror -P4` (-R up); ours on 8 against `mirror -P8`;
//   the same files on plain loopback: ours on 2 connections against ours on 1.
// Every contender logs in inside its time (ours makes the pane's session, the
// batch its own; lftp starts). A round counts only when all 2,000 files
// arrived with their sizes. Prints the median of several runs of each and
// the ratio with its target. Put TMPDIR on a tmpfs (/dev/shm) so the disk
// does not decide.
#include "bench/DelayProxy.h"
#include "bench/Rounds.h"
#include "tests/RemoteSession.h"
#include "tests/ftp/FtpServers.h"
#include "transfer/TransferEngine.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

constexpr int kFolders = 40, kFilesPerFolder = 50;
constexpr long kFiles = kFolders * kFilesPerFolder;

// Counts what a pane would be shown, and when the first file of a batch was
// done.
class CountingHost : public ITransferHost {
public:
    using Clock = std::chrono::steady_clock;
    std::atomic<long> lines{0}, progress{0}, questions{0};
    std::atomic<Clock::rep> firstDone{0}; // 0: none yet
    void AddLine(const std::string& line) override {
        ++lines;
        Clock::rep none = 0;
        if (line == "Done")
            firstDone.compare_exchange_strong(none, Clock::now().time_since_epoch().count());
    }
    ReplaceAnswer AskReplace(const ReplaceQuestion&) override {
        ++questions;
        return ReplaceAnswer::ReplaceAll;
    }
    void OnProgress(const TransferProgress&) override { ++progress; }
    void OnBatchEnd(const BatchResult&) override {}
};

// The tree's files (folder/name) and their sizes.
using Sizes = std::map<std::string, std::uintmax_t>;

Sizes MakeTree(const fs::path& tree) {
    Sizes sizes;
    for (int d = 0; d < kFolders; ++d) {
        std::string folder = "d" + std::to_string(d);
        fs::create_directories(tree / folder);
        for (int f = 0; f < kFilesPerFolder; ++f) {
            std::string rel = folder + "/f" + std::to_string(f);
            std::size_t size =
                1024 + static_cast<std::size_t>((d * kFilesPerFolder + f) * 7 % 15360);
            std::ofstream(tree / rel, std::ios::binary) << std::string(size, 'y');
            sizes[rel] = size;
        }
    }
    return sizes;
}

// Whether `tree` holds exactly the files of `sizes`, each of its size.
bool Complete(const fs::path& tree, const Sizes& sizes) {
    std::size_t seen = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file())
            continue;
        auto want = sizes.find(fs::relative(it->path(), tree).string());
        if (want == sizes.end() || it->file_size() != want->second)
            return false;
        ++seen;
    }
    return !ec && seen == sizes.size();
}

// What one of our contenders did in its last round.
struct Ours {
    int connections = 1;  // asked for
    int used = 0;         // BatchResult::connectionsUsed
    double firstDone = 0; // seconds from the start to the first file done
};

// Our batch of the tree, down from the server's /tree into `local` or up from
// `local`/tree into the server's /up, on `port` (the server's or the proxy's).
bool RunOurs(int port, bool upload, const fs::path& local, Ours& ours, CountingHost& host) {
    auto start = CountingHost::Clock::now();
    host.firstDone = 0;
    auto session = OpenRemote(port, FtpServer::User(), FtpServer::Password());
    if (!session || !session->Connect())
        return false;
    OpenSession opener;
    if (ours.connections > 1)
        opener = [port] { return OpenRemote(port, FtpServer::User(), FtpServer::Password()); };
    std::atomic<int> stop{0};
    BatchResult result;
    if (upload) {
        UploadRequest r;
        r.session = session;
        r.remoteDir = "/up";
        r.localDir = local.string();
        r.names = {"tree"};
        r.openSession = opener;
        r.connections = ours.connections;
        CUploadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        result = batch.Run();
    } else {
        DownloadRequest r;
        r.session = session;
        r.currentPath = "/";
        r.localDir = local.string();
        r.names = {"tree"};
        r.openSession = opener;
        r.connections = ours.connections;
        CDownloadBatch batch(std::move(r), host, stop);
        batch.Prepare();
        result = batch.Run();
    }
    ours.used = result.connectionsUsed;
    ours.firstDone =
        std::chrono::duration<double>(CountingHost::Clock::duration(host.firstDone.load()) -
                                      start.time_since_epoch())
            .count();
    return result.filesDone == static_cast<std::uint64_t>(kFiles) && result.filesFailed == 0;
}

// lftp's mirror on up to `parallel` connections at once (the connection
// limit lifted so that it can open them), at `port`.
bool RunLftp(int port, int parallel, const std::string& mirror) {
    return Shell("lftp -u " + std::string(FtpServer::User()) + "," + FtpServer::Password() +
                 " -p " + std::to_string(port) +
                 " -e 'set ftp:passive-mode on; set cache:enable no; set xfer:clobber on; "
                 "set net:connection-limit 0; set cmd:fail-exit yes; " +
                 mirror + " -P" + std::to_string(parallel) + "; quit' 127.0.0.1 >/dev/null 2>&1");
}

bool g_allMet = true;

void Report(const std::string& what, double ours, const std::string& peer, double theirs,
            double target) {
    double ratio = ours / theirs;
    bool failed = ours >= 1e9 || theirs >= 1e9; // a round that did not deliver
    bool met = !failed && ratio <= target;
    g_allMet = g_allMet && met;
    std::printf("  %-40s ours %7.3f s  %-15s %7.3f s  ratio %5.2f (target <= %.2f) %s\n",
                what.c_str(), ours, peer.c_str(), theirs, ratio, target,
                failed ? "FAILED RUN"
                : met  ? "met"
                       : "NOT met");
}

// One direction's contenders, each timed in turn round after round.
class Rows {
public:
    Rows(const FtpServer& server, bool upload, const fs::path& work, const Sizes& sizes)
        : m_server(server), m_upload(upload), m_work(work), m_sizes(sizes) {}

    // Where the tree arrives, and the check that it did.
    fs::path Target() const {
        return m_upload ? fs::path(m_server.root()) / "up" / "tree" : m_work / "down" / "tree";
    }
    void Prepare() const {
        if (m_upload) {
            fs::remove_all(fs::path(m_server.root()) / "up");
            fs::create_directories(fs::path(m_server.root()) / "up");
            m_server.Share();
        } else {
            fs::remove_all(m_work / "down");
            fs::create_directories(m_work / "down");
        }
    }

    // Adds ours on `connections` at `port`; returns its index.
    size_t AddOurs(int port, int connections, CountingHost& host) {
        m_ours.push_back(std::make_unique<Ours>());
        Ours* ours = m_ours.back().get();
        ours->connections = connections;
        fs::path local = m_upload ? m_work / "source" : m_work / "down";
        m_contenders.push_back([this, port, local, ours, &host] {
            return RunOurs(port, m_upload, local, *ours, host) && Complete(Target(), m_sizes);
        });
        m_names.push_back("ours on " + std::to_string(connections));
        m_last.push_back(ours);
        return m_contenders.size() - 1;
    }
    size_t AddLftp(int port, int parallel) {
        std::string mirror =
            m_upload ? "mirror -R " + (m_work / "source" / "tree").string() + " /up/tree"
                     : "mirror /tree " + Target().string();
        m_contenders.push_back([this, port, parallel, mirror] {
            return RunLftp(port, parallel, mirror) && Complete(Target(), m_sizes);
        });
        m_names.push_back("lftp -P" + std::to_string(parallel));
        m_last.push_back(nullptr);
        return m_contenders.size() - 1;
    }

    // Runs them all; then t(i) is contender i's median.
    void Run() {
        std::vector<std::function<bool()>> timed;
        for (size_t i = 0; i < m_contenders.size(); ++i)
            timed.push_back([this, i] {
                int before = m_proxy ? m_proxy->Accepted() : 0;
                bool ok = m_contenders[i]();
                if (m_proxy)
                    m_accepted[i] = m_proxy->Accepted() - before;
                return ok;
            });
        m_accepted.assign(m_contenders.size(), 0);
        m_times = Compare([this] { Prepare(); }, timed);
    }
    double t(size_t i) const { return m_times[i]; }
    const std::string& name(size_t i) const { return m_names[i]; }

    // What each contender used in its last round.
    void ReportConnections() const {
        std::string line;
        for (size_t i = 0; i < m_names.size(); ++i) {
            line += (i ? "; " : "") + m_names[i] + ":";
            if (m_last[i]) {
                char first[64];
                std::snprintf(first, sizeof first, ", first file done at %.2f s",
                              m_last[i]->firstDone);
                line += " " + std::to_string(m_last[i]->used) + " of its own" + first;
            }
            if (m_proxy)
                line += " " + std::to_string(m_accepted[i]) + " logins";
        }
        std::printf("  %-40s %s\n", "  connections in the last round", line.c_str());
    }

    const DelayProxy* m_proxy = nullptr; // counts the logins through it

private:
    const FtpServer& m_server;
    bool m_upload;
    fs::path m_work;
    const Sizes& m_sizes;
    std::vector<std::function<bool()>> m_contenders;
    std::vector<std::string> m_names;
    std::vector<std::unique_ptr<Ours>> m_ours;
    std::vector<const Ours*> m_last; // null for a peer
    std::vector<int> m_accepted;
    std::vector<double> m_times;
};

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    // Optional: which measurements: slowdown, slowup (through the proxy) with
    // p4 (ours on 4 against lftp -P4), one (ours on 4 against ours on 1: the
    // longest), p8 (ours on 8 against lftp -P8); loopdown, loopup (plain
    // loopback). A run of them all takes a quarter of an hour.
    std::string only = argc > 2 ? argv[2] : "slowdown,slowup,p4,one,p8,loopdown,loopup";
    auto want = [&](const char* what) { return only.find(what) != std::string::npos; };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    FtpServer server(ServerKind::Pyftpdlib);
    if (!server.ok()) {
        std::printf("pyftpdlib: %s\n", server.error().c_str());
        return 1;
    }
    fs::path work = fs::temp_directory_path() / ("orvane-cbench-" + std::to_string(getpid()));
    fs::create_directories(work);
    Sizes sizes = MakeTree(fs::path(server.root()) / "tree");
    MakeTree(work / "source" / "tree");
    server.Share();
    CountingHost host;
    std::printf("pyftpdlib, 2,000 files of 1-16 KiB in 40 folders, median of %d runs; every "
                "contender logs in inside its time\n",
                g_runs);

    bool slow = false;
    for (bool upload : {false, true}) {
        if (!want(upload ? "slowup" : "slowdown"))
            continue;
        DelayProxy proxy(server.port(), std::chrono::milliseconds(10));
        if (!proxy.port()) {
            std::printf("  the delay proxy could not listen\n");
            return 1;
        }
        if (!slow)
            std::printf("through a proxy holding the control connection 10 ms each way:\n");
        slow = true;
        Rows rows(server, upload, work, sizes);
        rows.m_proxy = &proxy;
        std::optional<size_t> four, lftp4, one, eight, lftp8;
        if (want("p4") || want("one"))
            four = rows.AddOurs(proxy.port(), 4, host);
        if (want("p4"))
            lftp4 = rows.AddLftp(proxy.port(), 4);
        if (want("one"))
            one = rows.AddOurs(proxy.port(), 1, host);
        if (want("p8")) {
            eight = rows.AddOurs(proxy.port(), 8, host);
            lftp8 = rows.AddLftp(proxy.port(), 8);
        }
        rows.Run();
        const std::string dir = upload ? "up" : "down";
        const std::string mirror = upload ? "mirror -R" : "mirror";
        if (lftp4)
            Report("4 connections, " + dir, rows.t(*four), mirror + " -P4", rows.t(*lftp4), 1.0);
        if (one)
            Report("4 connections, " + dir, rows.t(*four), "ours on 1", rows.t(*one), 0.35);
        if (eight)
            Report("8 connections, " + dir, rows.t(*eight), mirror + " -P8", rows.t(*lftp8), 1.0);
        rows.ReportConnections();
    }

    bool loop = false;
    for (bool upload : {false, true}) {
        if (!want(upload ? "loopup" : "loopdown"))
            continue;
        if (!loop)
            std::printf("on loopback:\n");
        loop = true;
        Rows rows(server, upload, work, sizes);
        size_t two = rows.AddOurs(server.port(), 2, host);
        size_t one = rows.AddOurs(server.port(), 1, host);
        rows.Run();
        Report(std::string("2 connections, ") + (upload ? "up" : "down"), rows.t(two), "ours on 1",
               rows.t(one), 1.05);
        rows.ReportConnections();
    }
    std::printf("  host saw %ld lines, %ld progress reports, %ld questions\n", host.lines.load(),
                host.progress.load(), host.questions.load());
    std::printf("every target %s\n", g_allMet ? "met" : "NOT met");
    fs::remove_all(work);
    curl_global_cleanup();
    return 0;
}
