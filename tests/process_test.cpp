// The real program as a process: it starts, answers Exit with the question,
// keeps running on No and ends with exit code 18 on Yes.
#include "tests/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
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

} // namespace
