// SFTP transfers through the transfer batches over remote::SftpFs against
// their peers, in one run, all against the same OpenSSH server of the tests
// (tests/sftp/SftpServer) with the same key, known_hosts and configuration:
//   a 1 GiB file down and up on loopback, against OpenSSH's `sftp -b` (and
//   curl's sftp:// beside it, when curl can log in);
//   64 MiB down and up through a proxy of ours that holds every byte 10 ms
//   each way, against `sftp -b` through the same proxy;
//   2,000 files of 1-16 KiB in 40 folders, down and up, against lftp's
//   mirror over sftp:// on one connection.
// Each contender logs in inside its timing (ours makes a new session, the
// peers start ssh). Prints the median of several runs of each and the ratio
// to the peer. Put TMPDIR on a tmpfs (/dev/shm) so the disk does not decide.
#include "bench/DelayProxy.h"
#include "bench/Rounds.h"
#include "platform/sftp/SftpFs.h"
#include "tests/sftp/SftpServer.h"
#include "transfer/TransferEngine.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

// Counts what a pane would be shown.
class CountingHost : public ITransferHost {
public:
    std::atomic<long> lines{0}, progress{0}, done{0};
    void AddLine(const std::string& line) override {
        ++lines;
        if (line == "Done")
            ++done;
    }
    ReplaceAnswer AskReplace(const ReplaceQuestion&) override { return ReplaceAnswer::ReplaceAll; }
    void OnProgress(const TransferProgress&) override { ++progress; }
    void OnBatchEnd(const BatchResult&) override {}
};

// How every contender reaches the server: directly, or through the proxy at
// `port` with the host key looked up under the server's own name.
struct Route {
    const SftpServer& server;
    int port;
    std::string alias; // HostKeyAlias, empty directly

    sftp::ConnectParams Params() const {
        sftp::ConnectParams p;
        p.ssh = server.Target();
        p.ssh.port = port;
        if (!alias.empty())
            p.ssh.options.push_back("HostKeyAlias=" + alias);
        return p;
    }
    std::string SshOptions() const {
        std::string o =
            "-F " + server.Target().configFile + " -i " + server.ClientKey() +
            " -o IdentitiesOnly=yes -o BatchMode=yes -o UserKnownHostsFile=" + server.KnownHosts();
        if (!alias.empty())
            o += " -o HostKeyAlias=" + alias;
        return o;
    }
};

bool Write(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

// OpenSSH's sftp running `commands` from a batch file.
bool SftpBatch(const Route& route, const fs::path& work, const std::string& commands) {
    fs::path batch = work / "batch";
    return Write(batch, commands) &&
           Shell("sftp -q -b " + batch.string() + " " + route.SshOptions() + " -P " +
                 std::to_string(route.port) + " " + route.server.User() +
                 "@127.0.0.1 >/dev/null 2>&1");
}

// lftp over sftp://, one connection, ssh started with the same options.
bool LftpMirror(const Route& route, const fs::path& work, const std::string& mirror) {
    fs::path script = work / "lftp-script";
    return Write(script, "set sftp:connect-program \"ssh -a -x " + route.SshOptions() + "\"\n" +
                             "set net:connection-limit 1\nset cmd:fail-exit yes\n"
                             "set xfer:clobber on\nset cache:enable no\n"
                             "set net:max-retries 1\n"
                             "open sftp://" +
                             route.server.User() + ":@127.0.0.1:" + std::to_string(route.port) +
                             "\n" + mirror + "\nquit\n") &&
           Shell("lftp -f " + script.string() + " >/dev/null 2>&1");
}

std::string CurlArgs(const Route& route) {
    return "curl -s -k --key " + route.server.ClientKey() + " --pubkey " +
           route.server.ClientKey() + ".pub -u " + route.server.User() + ": ";
}

std::string CurlUrl(const Route& route, const std::string& absPath) {
    return "sftp://127.0.0.1:" + std::to_string(route.port) + absPath;
}

bool Download(const Route& route, const std::string& currentPath, const std::string& name,
              const std::string& localDir, long expectDone, CountingHost& host) {
    auto session = std::make_shared<remote::SftpFs>(route.Params());
    if (!session->Connect())
        return false;
    DownloadRequest r;
    r.session = session;
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

bool Upload(const Route& route, const std::string& remoteDir, const std::string& name,
            const std::string& localDir, long expectDone, CountingHost& host) {
    auto session = std::make_shared<remote::SftpFs>(route.Params());
    if (!session->Connect())
        return false;
    UploadRequest r;
    r.session = session;
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

bool HasSize(const fs::path& path, std::uintmax_t size) {
    std::error_code ec;
    return fs::file_size(path, ec) == size && !ec;
}

bool MakeFile(const fs::path& path, std::uintmax_t size) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    // Bytes that do not repeat within a block, so nothing on the way could
    // make light work of them.
    std::vector<char> block(1 << 20);
    std::uint32_t x = 12345;
    for (char& c : block) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    bool ok = true;
    for (std::uintmax_t at = 0; at < size && ok; at += block.size())
        ok = write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
    close(fd);
    return ok;
}

void Report(const char* what, double ours, const char* peer, double theirs, const char* target) {
    std::printf("  %-36s ours %7.3f s  %-14s %7.3f s  ratio %5.2f (target %s)\n", what, ours, peer,
                theirs, ours / theirs, target);
}

void ReportPeer(const char* what, double ours, const char* peer, double theirs) {
    if (theirs >= 1e9)
        std::printf("  %-36s %s: unavailable (it could not log in or failed)\n", what, peer);
    else
        std::printf("  %-36s %-14s %7.3f s  ratio %5.2f\n", what, peer, theirs, ours / theirs);
}

void ReportCpu(const char* peer) {
    std::printf("  %-36s processor time: ours %.3f s, %s %.3f s\n", "", g_lastCpu[0], peer,
                g_lastCpu[1]);
}

// One file of `size` down and up over `route`, against sftp -b (and curl).
void FileRows(const Route& route, const fs::path& work, const std::string& label,
              std::uintmax_t size, bool withCurl, const char* target, CountingHost& host,
              bool wantDown, bool wantUp) {
    const std::string root = route.server.root();
    const std::string name = label + ".bin";
    const fs::path down = work / "down";
    if (wantDown) {
        std::vector<std::function<bool()>> contenders = {
            [&] {
                return Download(route, root, name, down.string(), 1, host) &&
                       HasSize(down / name, size);
            },
            [&] {
                return SftpBatch(route, work,
                                 "get " + root + "/" + name + " " + (down / name).string() +
                                     "\n") &&
                       HasSize(down / name, size);
            },
        };
        if (withCurl)
            contenders.push_back([&] {
                return Shell(CurlArgs(route) + "-o " + (down / name).string() + " " +
                             CurlUrl(route, root + "/" + name)) &&
                       HasSize(down / name, size);
            });
        auto t = Compare([&] { fs::remove_all(down), fs::create_directories(down); }, contenders);
        std::string what = label + " download";
        Report(what.c_str(), t[0], "sftp -b", t[1], target);
        ReportCpu("sftp+ssh");
        if (withCurl)
            ReportPeer("", t[0], "curl sftp://", t[2]);
    }
    if (wantUp) {
        const fs::path source = work / "source";
        fs::create_directories(source);
        if (!HasSize(source / name, size))
            fs::copy_file(fs::path(root) / name, source / name,
                          fs::copy_options::overwrite_existing);
        const std::string up = root + "/up";
        std::vector<std::function<bool()>> contenders = {
            [&] {
                return Upload(route, up, name, source.string(), 1, host) &&
                       HasSize(fs::path(up) / name, size);
            },
            [&] {
                return SftpBatch(route, work,
                                 "put " + (source / name).string() + " " + up + "/" + name +
                                     "\n") &&
                       HasSize(fs::path(up) / name, size);
            },
        };
        if (withCurl)
            contenders.push_back([&] {
                return Shell(CurlArgs(route) + "-T " + (source / name).string() + " " +
                             CurlUrl(route, up + "/" + name)) &&
                       HasSize(fs::path(up) / name, size);
            });
        auto t = Compare([&] { fs::remove_all(up), fs::create_directories(up); }, contenders);
        std::string what = label + " upload";
        Report(what.c_str(), t[0], "sftp -b", t[1], target);
        ReportCpu("sftp+ssh");
        if (withCurl)
            ReportPeer("", t[0], "curl sftp://", t[2]);
        fs::remove_all(up);
    }
}

long CountFiles(const fs::path& tree) {
    long n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(tree, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file())
            ++n;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    // Optional: which measurements (bigdown, bigup, slowdown, slowup,
    // treedown, treeup; and, only when named, slowtree: 50 small files down
    // through the proxy, where each round trip a file costs shows).
    std::string only = argc > 2 ? argv[2] : "bigdown,bigup,slowdown,slowup,treedown,treeup";
    auto want = [&](const char* what) { return only.find(what) != std::string::npos; };
    SftpServer server;
    if (!server.ok()) {
        std::printf("sshd: %s\n", server.error().c_str());
        return 1;
    }
    const std::string root = server.root();
    fs::path work = fs::temp_directory_path() / ("orvane-sbench-" + std::to_string(getpid()));
    fs::create_directories(work);
    CountingHost host;
    const Route direct{server, server.port(), ""};
    std::printf("OpenSSH's sshd on loopback, median of %d runs; every contender logs in inside "
                "its time\n",
                g_runs);

    if (want("bigdown") || want("bigup")) {
        if (!MakeFile(fs::path(root) / "1GiB.bin", 1ull << 30))
            return 1;
        FileRows(direct, work, "1GiB", 1ull << 30, true, "<= 1.1", host, want("bigdown"),
                 want("bigup"));
        fs::remove(fs::path(root) / "1GiB.bin");
        fs::remove(work / "source" / "1GiB.bin");
    }

    if (want("slowdown") || want("slowup") || want("slowtree")) {
        DelayProxy proxy(server.port(), std::chrono::milliseconds(10));
        if (!proxy.port()) {
            std::printf("  the delay proxy could not listen\n");
        } else {
            const Route slow{server, proxy.port(), "[127.0.0.1]:" + std::to_string(server.port())};
            fs::create_directories(fs::path(root) / "small");
            if (!MakeFile(fs::path(root) / "64MiB.bin", 64ull << 20))
                return 1;
            std::printf("through a proxy adding 10 ms each way:\n");
            if (want("slowdown") || want("slowup"))
                FileRows(slow, work, "64MiB", 64ull << 20, false, "<= 1.2", host, want("slowdown"),
                         want("slowup"));
            fs::remove(fs::path(root) / "64MiB.bin");
            if (want("slowtree")) {
                for (int f = 0; f < 50; ++f)
                    std::ofstream(fs::path(root) / "small" / ("f" + std::to_string(f)))
                        << std::string(1024 + f * 300, 's');
                const fs::path down = work / "down";
                auto t =
                    Compare([&] { fs::remove_all(down), fs::create_directories(down); },
                            {
                                [&] {
                                    return Download(slow, root, "small", down.string(), 50, host) &&
                                           CountFiles(down / "small") == 50;
                                },
                                [&] {
                                    return LftpMirror(slow, work,
                                                      "mirror --parallel=1 " + root + "/small " +
                                                          (down / "small").string()) &&
                                           CountFiles(down / "small") == 50;
                                },
                            });
                Report("50 small files, down", t[0], "lftp mirror", t[1], "(round trips)");
            }
        }
    }

    if (want("treedown") || want("treeup")) {
        for (int d = 0; d < 40; ++d) {
            fs::path dir = fs::path(root) / "tree" / ("d" + std::to_string(d));
            fs::create_directories(dir);
            for (int f = 0; f < 50; ++f)
                std::ofstream(dir / ("f" + std::to_string(f)))
                    << std::string(1024 + (d * 50 + f) * 7 % 15360, 'y');
        }
        const fs::path down = work / "down";
        const fs::path source = work / "treesource";
        fs::create_directories(source);
        fs::copy(fs::path(root) / "tree", source / "tree", fs::copy_options::recursive);
        if (want("treedown")) {
            auto t = Compare(
                [&] { fs::remove_all(down), fs::create_directories(down); },
                {
                    [&] {
                        return Download(direct, root, "tree", down.string(), 2000, host) &&
                               CountFiles(down / "tree") == 2000;
                    },
                    [&] {
                        return LftpMirror(direct, work,
                                          "mirror --parallel=1 " + root + "/tree " +
                                              (down / "tree").string()) &&
                               CountFiles(down / "tree") == 2000;
                    },
                    [&] {
                        return SftpBatch(direct, work,
                                         "get -r " + root + "/tree " + down.string() + "\n") &&
                               CountFiles(down / "tree") == 2000;
                    },
                });
            Report("2,000 files in 40 folders, down", t[0], "lftp mirror", t[1], "<= 1.0");
            ReportCpu("lftp+ssh");
            ReportPeer("", t[0], "sftp -b get -r", t[2]);
        }
        if (want("treeup")) {
            const std::string up = root + "/up";
            auto t = Compare(
                [&] { fs::remove_all(up), fs::create_directories(up); },
                {
                    [&] {
                        return Upload(direct, up, "tree", source.string(), 2000, host) &&
                               CountFiles(fs::path(up) / "tree") == 2000;
                    },
                    [&] {
                        return LftpMirror(direct, work,
                                          "mirror -R --parallel=1 " + (source / "tree").string() +
                                              " " + up + "/tree") &&
                               CountFiles(fs::path(up) / "tree") == 2000;
                    },
                    [&] {
                        return SftpBatch(direct, work,
                                         "put -r " + (source / "tree").string() + " " + up +
                                             "/tree\n") &&
                               CountFiles(fs::path(up) / "tree") == 2000;
                    },
                });
            Report("2,000 files in 40 folders, up", t[0], "lftp mirror -R", t[1], "<= 1.0");
            ReportCpu("lftp+ssh");
            ReportPeer("", t[0], "sftp -b put -r", t[2]);
        }
    }
    std::printf("  host saw %ld lines, %ld progress reports\n", host.lines.load(),
                host.progress.load());
    fs::remove_all(work);
    return 0;
}
