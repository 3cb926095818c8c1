// Encrypted transfers against their peer, in one run, on loopback: a 1 GiB
// download and a 1 GiB upload over explicit FTP over TLS (control and data
// protected) with vsftpd, ours against `curl --ssl-reqd -k` on the same server.
// Prints the median of several runs of each and the ratio (target <= 1.3).
// Put TMPDIR on a tmpfs (/dev/shm) so the disk does not decide.
//   tls_bench [runs]
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
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

using namespace bench;

namespace {

std::string CurlTls(const FtpServer& s, const std::string& args, const std::string& path) {
    return "curl -s --ssl-reqd -k " + args + " ftp://" + FtpServer::User() + ":" +
           FtpServer::Password() + "@127.0.0.1:" + std::to_string(s.port()) + "/" + path;
}

void Report(const char* what, double ours, double curl) {
    std::printf("  %-28s ours %7.3f s  curl --ssl-reqd %7.3f s  ratio %.2f (target <= 1.3)\n"
                "  %-28s processor time: ours %.3f s, curl %.3f s\n",
                what, ours, curl, ours / curl, "", g_lastCpu[0], g_lastCpu[1]);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        g_runs = std::max(1, std::atoi(argv[1]));
    curl_global_init(CURL_GLOBAL_DEFAULT);
    fs::path work = fs::temp_directory_path() / ("orvane-tls-bench-" + std::to_string(getpid()));
    fs::create_directories(work);
    FtpServer server(ServerKind::Vsftpd, Tls::Required);
    if (!server.ok()) {
        std::printf("vsftpd with TLS: %s\n", server.error().c_str());
        return 1;
    }
    {
        int fd = open((server.root() + "/1g.bin").c_str(), O_CREAT | O_WRONLY, 0644);
        std::vector<char> block(1 << 20, 'x');
        for (int i = 0; i < 1024; ++i)
            if (write(fd, block.data(), block.size()) < 0)
                return 1;
        close(fd);
    }
    server.Share();

    ftp::ConnectParams p;
    p.host = "127.0.0.1";
    p.port = server.port();
    p.user = FtpServer::User();
    p.password = FtpServer::Password();
    p.encryption = ftp::Encryption::Require;
    p.askCertificate = [](const ftp::Certificate&) { // the test server's own, self-signed
        std::promise<ftp::Trust> once;
        once.set_value(ftp::Trust::Once);
        return once.get_future();
    };
    auto session = ftp::Session::Open(p);
    if (!session || !session->IsEncrypted()) {
        std::printf("cannot log in over TLS: %s\n", ftp::LastResponse().c_str());
        return 1;
    }
    std::printf("vsftpd, explicit FTP over TLS (median of %d runs)\n", g_runs);
    std::string dl = (work / "dl.bin").string();
    // Each contender writes a new file, as in transfer_bench. Over an existing
    // file the two are not alike: curl truncates the old copy first, ours keeps
    // it whole until the new one is complete, and on tmpfs the second gigabyte
    // of fresh pages costs more than the transfer (measured twice the time).
    auto down = Compare([&] { fs::remove(dl); },
                        {
                            [&] { return session->GetFile("/1g.bin", dl); },
                            [&] { return Shell(CurlTls(server, "-o " + dl, "1g.bin")); },
                        });
    Report("1 GiB download", down[0], down[1]);
    session->GetFile("/1g.bin", dl);
    auto up = Compare([&] { fs::remove(server.root() + "/up.bin"); },
                      {
                          [&] { return session->PutFile(dl, "/up.bin"); },
                          [&] { return Shell(CurlTls(server, "-T " + dl, "up.bin")); },
                      });
    Report("1 GiB upload", up[0], up[1]);
    fs::remove_all(work);
    curl_global_cleanup();
    return 0;
}
