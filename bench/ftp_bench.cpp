// The FTP layer against its peers, in one run, on loopback: curl and lftp
// measured the same way on the same servers (vsftpd and pyftpdlib).
//   1 GiB download and upload; 2,000 files of 1-16 KiB in 40 folders fetched
//   one by one over one session (lftp mirror, one connection); a 50,000-entry
//   folder listed and parsed (lftp cls -1; floor: raw LIST with curl).
// Prints the median of several runs of each and the ratio to the best peer.
// Put TMPDIR on a tmpfs (/dev/shm) so the disk does not decide.
#include "bench/Rounds.h"
#include "platform/ftp/FtpSession.h"
#include "tests/ftp/FtpServers.h"

#include <curl/curl.h>

#include <algorithm>
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

void Report(const char* what, double ours, std::vector<std::pair<const char*, double>> peers,
            const char* target) {
    double best = 1e300;
    std::printf("  %-34s ours %7.3f s", what, ours);
    for (auto& [name, t] : peers) {
        std::printf("  %s %7.3f s", name, t);
        if (t > 0 && std::string(name) != "curl-raw")
            best = std::min(best, t);
    }
    std::printf("  ratio %.2f (target %s)\n", ours / best, target);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    // Optional: which measurements (dl, up, tree, list) and which servers.
    std::string only = argc > 2 ? argv[2] : "dl,up,tree,list";
    std::string servers = argc > 3 ? argv[3] : "vsftpd,pyftpdlib";
    auto want = [&](const char* what) { return only.find(what) != std::string::npos; };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    fs::path work = fs::temp_directory_path() / ("orvane-bench-" + std::to_string(getpid()));
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
        fs::create_directories(root + "/big");
        for (int i = 0; i < 50000; ++i)
            std::ofstream(root + "/big/entry-" + std::to_string(i) + ".dat");
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
        std::string dl = (work / "dl.bin").string();

        if (want("dl")) {
            auto t = Compare({
                [&] { return session->GetFile("/1g.bin", dl); },
                [&] { return Shell("curl -s -o " + dl + " " + CurlUrl(server, "1g.bin")); },
                [&] { return Shell(Lftp(server, "get /1g.bin -o " + dl)); },
            });
            Report("1 GiB download", t[0], {{"curl", t[1]}, {"lftp", t[2]}}, "<= 1.05");
        }
        if (want("up")) {
            session->GetFile("/1g.bin", dl);
            auto t = Compare({
                [&] { return session->PutFile(dl, "/up.bin"); },
                [&] { return Shell("curl -s -T " + dl + " " + CurlUrl(server, "up.bin")); },
                [&] { return Shell(Lftp(server, "put " + dl + " -o /up.bin")); },
            });
            Report("1 GiB upload", t[0], {{"curl", t[1]}, {"lftp", t[2]}}, "<= 1.05");
            fs::remove(dl);
        }
        if (want("tree")) {
            fs::path tree = work / "tree";
            auto t = Compare({
                [&] {
                    fs::remove_all(tree);
                    std::vector<ftp::FindData> folders;
                    if (!session->ListDirectory("/tree", &folders))
                        return false;
                    for (const auto& folder : folders) {
                        if (!folder.isDirectory || !folder.safe)
                            continue;
                        fs::create_directories(tree / folder.name);
                        std::vector<ftp::FindData> files;
                        if (!session->ListDirectory("/tree/" + folder.name, &files))
                            return false;
                        for (const auto& f : files)
                            if (!f.isDirectory && f.safe &&
                                !session->GetFile("/tree/" + folder.name + "/" + f.name,
                                                  (tree / folder.name / f.name).string()))
                                return false;
                    }
                    return true;
                },
                [&] {
                    fs::remove_all(tree);
                    return Shell(Lftp(server, "mirror --parallel=1 /tree " + tree.string()));
                },
            });
            Report("2,000 files in 40 folders", t[0], {{"lftp", t[1]}}, "<= 0.9");
        }
        if (want("list")) {
            auto t = Compare({
                [&] {
                    std::vector<ftp::FindData> entries;
                    return session->ListDirectory("/big", &entries) && entries.size() >= 50000;
                },
                [&] { return Shell(Lftp(server, "cls -1 /big/")); },
                [&] { return Shell("curl -s -o /dev/null " + CurlUrl(server, "big/")); },
            });
            Report("50,000-entry listing, parsed", t[0], {{"lftp", t[1]}, {"curl-raw", t[2]}},
                   "<= 0.6 of lftp");
        }
    }
    fs::remove_all(work);
    curl_global_cleanup();
    return 0;
}
