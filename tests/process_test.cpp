// The real program as a process: it starts, answers Exit with the question,
// keeps running on No and ends with exit code 18 on Yes; and a download driven
// by keys from the Site Manager to the replace question.
#include "sites/SiteStore.h"
#include "tests/TempDir.h"
#include "tests/ftp/FtpServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string Run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

// The id of the first window whose title matches `pattern`, waiting for it.
std::string WaitForWindow(const std::string& pattern, int timeoutMs = 15000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        std::string id = Run("xdotool search --name '" + pattern + "' 2>/dev/null | head -1");
        if (!id.empty())
            return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

// Types keys into a window as the user would.
void Keys(const std::string& window, const std::string& keys) {
    Run("xdotool windowfocus --sync " + window + " 2>/dev/null; xdotool key --delay 60 " + keys);
}

class ProcessTest : public ::testing::Test {
protected:
    TempDir dir;
    pid_t pid = -1;

    void SetUp() override {
        ASSERT_TRUE(getenv("PONDREL1")) << "PONDREL1 names the program under test";
        ASSERT_TRUE(getenv("DISPLAY")) << "needs an X display";
        Launch();
    }

    void Launch() {
        const char* program = getenv("PONDREL1");
        pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
            setenv("HOME", dir.path().c_str(), 1);
            setenv("GSETTINGS_BACKEND", "memory", 1);
            execl(program, program, static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    // The Site Manager of a fresh start. A program that could not even reach
    // the display (it ended at once) is started once more.
    std::string WaitForStart() {
        std::string manager = WaitForWindow("^Site Manager$");
        if (manager.empty() && ExitCode(200) != -1) {
            std::fprintf(stderr, "the program ended before showing a window; starting it again\n");
            Launch();
            manager = WaitForWindow("^Site Manager$");
        }
        return manager;
    }
    void TearDown() override {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Waits for the process to end; -1 if it is still running after the time.
    int ExitCode(int timeoutMs) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (std::chrono::steady_clock::now() < until) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    // Exit from the File menu: F10 opens the menu bar, Up reaches its last item.
    std::string ChooseExit() {
        std::string main = WaitForWindow("^Orvane$");
        EXPECT_FALSE(main.empty());
        Keys(main, "F10 Up Return");
        return WaitForWindow("^Confirm$", 5000);
    }
};

TEST_F(ProcessTest, StartsWithTheSiteManagerAndExitsWithCode18AfterConfirmation) {
    std::string manager = WaitForStart();
    ASSERT_FALSE(manager.empty()) << "the Site Manager opens at start-up";
    Keys(manager, "Escape");

    // No keeps the program running.
    std::string confirm = ChooseExit();
    ASSERT_FALSE(confirm.empty());
    Keys(confirm, "alt+n");
    EXPECT_EQ(ExitCode(1500), -1);

    confirm = ChooseExit();
    ASSERT_FALSE(confirm.empty());
    Keys(confirm, "alt+y");
    EXPECT_EQ(ExitCode(10000), 18);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A site in the store and a server with a tree, before the program starts.
class DownloadProcessTest : public ProcessTest {
protected:
    std::unique_ptr<FtpServer> server;
    std::string local;
    std::string big, small;

    void SetUp() override {
        server = std::make_unique<FtpServer>(ServerKind::Pyftpdlib);
        ASSERT_TRUE(server->ok()) << server->error();
        namespace fs = std::filesystem;
        fs::create_directories(server->root() + "/pub/tree/deeper");
        for (size_t i = 0; i < 3000000; ++i)
            big += static_cast<char>((i * 31 + i / 977) & 0xFF);
        small = "line one\r\nline two\n\x00\xff";
        std::ofstream(server->root() + "/pub/a.bin", std::ios::binary) << big;
        std::ofstream(server->root() + "/pub/tree/t.txt", std::ios::binary) << small;
        std::ofstream(server->root() + "/pub/tree/deeper/d.bin", std::ios::binary)
            << big.substr(0, 12345);
        server->Share();
        local = dir.path() + "/downloads";
        fs::create_directories(local);
        std::ofstream(local + "/a.bin") << "an older a.bin"; // the question comes up

        setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
        ASSERT_TRUE(sites::CreateSite("Local test"));
        ASSERT_TRUE(sites::SaveSite("Local test", FtpServer::User(), "127.0.0.1", "Local test",
                                    FtpServer::Password(), std::to_string(server->port()), local,
                                    "/pub", ""));
        unsetenv("ORVANE_REGISTRY");
        ProcessTest::SetUp();
    }
};

TEST_F(DownloadProcessTest, KeysConnectSelectDownloadAndAnswerTheQuestion) {
    std::string manager = WaitForStart();
    ASSERT_FALSE(manager.empty());
    // The samples come first, then the stored site; Enter is Connect.
    Keys(manager, "Down Down Return");
    std::string main = WaitForWindow("Halvard Tremoc, - Orvane", 20000);
    ASSERT_FALSE(main.empty()) << "connected";
    // The remote list gets the focus with a click into its empty part, then
    // keys only: select everything, download.
    std::string geometry = ::Run("xdotool getwindowgeometry --shell " + main);
    int x = 0, y = 0, w = 0, h = 0;
    for (const char* key : {"X=", "Y=", "WIDTH=", "HEIGHT="}) {
        size_t at = geometry.find(key);
        ASSERT_NE(at, std::string::npos) << geometry;
        int v = std::atoi(geometry.c_str() + at + std::strlen(key));
        (key[0] == 'X' ? x : key[0] == 'Y' ? y : key[0] == 'W' ? w : h) = v;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the listing arrives
    ::Run("xdotool mousemove " + std::to_string(x + w * 9 / 10) + " " +
          std::to_string(y + h * 8 / 10) + " click 1");
    Keys(main, "ctrl+a ctrl+d");
    std::string question = WaitForWindow("^Dialog$", 15000);
    ASSERT_FALSE(question.empty()) << "a.bin exists: the replace question";
    Keys(question, "Return"); // Replace

    // The files move on two connections at once: any may arrive last.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until &&
           (ReadAll(local + "/tree/deeper/d.bin").size() != 12345 ||
            ReadAll(local + "/a.bin").size() != big.size()))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(ReadAll(local + "/a.bin") == big) << "a.bin replaced byte for byte";
    EXPECT_TRUE(ReadAll(local + "/tree/t.txt") == small);
    EXPECT_TRUE(ReadAll(local + "/tree/deeper/d.bin") == big.substr(0, 12345));
}

} // namespace
