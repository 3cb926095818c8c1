// The remote pane's delete and Properties walks against lftp, in one run, on
// loopback, one connection each: 2,000 files in 40 folders deleted (lftp
// "rm -r") and counted (lftp "du -s"). Ours includes logging in and the log
// lines a pane would be shown. Prints the median of several runs and the ratio.
#include "bench/Rounds.h"
#include "remote/RemoteOps.h"
#include "tests/RemoteSession.h"
#include "tests/ftp/FtpServers.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

std::string Lftp(const FtpServer& s, const std::string& commands) {
    return "lftp -u " + std::string(FtpServer::User()) + "," + FtpServer::Password() + " -p " +
           std::to_string(s.port()) +
           " -e 'set ftp:passive-mode on; set cache:enable no; "
           "set net:connection-limit 1; set cmd:fail-exit yes; " +
           commands + "; quit' 127.0.0.1 >/dev/null 2>&1";
}

void Report(const char* what, double ours, const char* peer, double theirs) {
    std::printf("  %-34s ours %7.3f s  %s %7.3f s  ratio %.2f (target <= 1.1)\n", what, ours, peer,
                theirs, ours / theirs);
}

void MakeTree(const FtpServer& server) {
    for (int d = 0; d < 40; ++d) {
        fs::path dir = fs::path(server.root()) / "tree" / ("d" + std::to_string(d));
        fs::create_directories(dir);
        for (int f = 0; f < 50; ++f)
            std::ofstream(dir / ("f" + std::to_string(f))) << std::string(100 + f, 'y');
    }
    server.Share();
}

std::shared_ptr<remote::IRemoteFs> Open(const FtpServer& server) {
    return ConnectRemote(server.port(), FtpServer::User(), FtpServer::Password(), 60);
}

} // namespace

int main(int argc, char** argv) {
    g_runs = 5; // these runs are short
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    std::string servers = argc > 2 ? argv[2] : "vsftpd,pyftpdlib";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    for (ServerKind kind : {ServerKind::Vsftpd, ServerKind::Pyftpdlib}) {
        if (servers.find(KindName(kind)) == std::string::npos)
            continue;
        FtpServer server(kind);
        if (!server.ok()) {
            std::printf("%s: %s\n", KindName(kind), server.error().c_str());
            continue;
        }
        std::printf("%s (median of %d runs)\n", KindName(kind), g_runs);
        const std::string tree = server.root() + "/tree";
        std::atomic<long> lines{0};
        auto sink = [&](const std::string&) { ++lines; };

        auto del = Compare([&] { MakeTree(server); },
                           {
                               [&] {
                                   auto session = Open(server);
                                   if (!session)
                                       return false;
                                   std::atomic<int> stop{0};
                                   remote::CRemoteDelete d(session, &stop, sink);
                                   d.Run("/", {"tree"});
                                   return !fs::exists(tree);
                               },
                               [&] {
                                   return std::system(Lftp(server, "rm -r tree").c_str()) == 0 &&
                                          !fs::exists(tree);
                               },
                           });
        Report("delete 2,000 files in 40 folders", del[0], "lftp rm -r", del[1]);

        MakeTree(server);
        auto count =
            Compare([] {}, {
                               [&] {
                                   auto session = Open(server);
                                   if (!session)
                                       return false;
                                   std::atomic<int> stop{0};
                                   remote::FolderCount c =
                                       remote::CountFolder(session, "/tree", &stop, sink);
                                   return c.files == 2000 && c.folders == 40;
                               },
                               [&] { return std::system(Lftp(server, "du -s tree").c_str()) == 0; },
                           });
        Report("Properties of the same tree", count[0], "lftp du -s", count[1]);
        std::printf("  %ld log lines\n", lines.load());
    }
    curl_global_cleanup();
    return 0;
}
