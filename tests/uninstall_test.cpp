// The uninstaller's work on a temporary installation: what it logs, what it
// deletes, and what it must never touch.
#include "platform/registry/Registry.h"
#include "tests/TempDir.h"
#include "uninstall/Uninstaller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace reg;

namespace {

class UninstallTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string install, menu, libDir, outside, log;
    std::vector<std::string> errors;
    CUninstaller u;

    void SetUp() override {
        setenv("ORVANE_REGISTRY", (dir.path() + "/registry.db").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
        setenv("HOME", (dir.path() + "/home").c_str(), 1);
        RegResetStore();
        install = dir.path() + "/Orvane install";
        menu = dir.path() + "/data/applications/Orvane";
        libDir = dir.path() + "/uninstaller";
        outside = dir.path() + "/outside";
        for (const std::string& d :
             {install + "/sub/deeper", menu, libDir, outside, dir.path() + "/home"})
            fs::create_directories(d);
        Touch(install + "/Pondrel1");
        Touch(install + "/Orvane.html");
        Touch(install + "/sub/deeper/nested.txt");
        Touch(menu + "/orvane.desktop");
        Touch(outside + "/keep.txt");
        fs::create_directory_symlink(outside, install + "/sub/link-out");
        fs::create_directory_symlink("/", install + "/root-link");
        fs::copy_file(TOLLIN_PATH, libDir + "/libTollin.so");
        u.m_strLibraryDir = libDir;
        u.m_nPauseMs = 0;
        u.m_log = [this](const std::string& text) { log += text; };
        u.m_error = [this](const std::string& text) { errors.push_back(text); };
        Record(install);
    }
    void TearDown() override {
        RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }
    static void Touch(const std::string& path) { std::ofstream(path) << "x"; }
    void Record(const std::string& path) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k),
                  REG_OK);
        RegSetValueEx(k, "PATH", REG_SZ, path.c_str(), static_cast<DWORD>(path.size() + 1));
        RegSetValueEx(k, "URL", REG_SZ, "u", 2);
        RegCloseKey(k);
        ASSERT_EQ(
            RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\a site", KEY_ALL_ACCESS, &k),
            REG_OK);
        RegCloseKey(k);
    }
    bool HasValue(const char* name) {
        HKEY k = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k) != REG_OK)
            return false;
        DWORD size = 0;
        bool has = RegQueryValueEx(k, name, nullptr, nullptr, &size) == REG_OK;
        RegCloseKey(k);
        return has;
    }
};

TEST_F(UninstallTest, RemovesRegistryMenuAndFilesButNeverFollowsLinks) {
    u.m_nPauseMs = 100;
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(u.Run());
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(errors.empty());
    // Steps in order; every file logged by its bare name.
    size_t reg = log.find("Removing Registry Entries\r\n");
    size_t menuStep = log.find("Removing Start Menu Entries\r\nDeleting   orvane.desktop\r\n");
    size_t files = log.find("Removing Program Files \r\n");
    EXPECT_EQ(reg, 0u) << log;
    EXPECT_NE(menuStep, std::string::npos) << log;
    EXPECT_GT(files, menuStep);
    for (const char* name : {"Pondrel1", "Orvane.html", "nested.txt", "link-out", "root-link"})
        EXPECT_NE(log.find(std::string("Deleting   ") + name + "\r\n", files), std::string::npos)
            << name;
    EXPECT_EQ(log.find("Unable to delete"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\r\nOrvane Successfully Uninstalled from your System.")) << log;
    // One pause after each of the six files.
    EXPECT_GE(took, std::chrono::milliseconds(600));

    EXPECT_FALSE(HasValue("PATH"));
    EXPECT_FALSE(HasValue("URL"));
    HKEY site = nullptr;
    EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\a site", KEY_READ, &site),
              REG_OK);
    EXPECT_FALSE(fs::exists(menu));
    // Files gone, folders stay (so the installation folder stays too).
    EXPECT_FALSE(fs::exists(install + "/Pondrel1"));
    EXPECT_FALSE(fs::exists(install + "/sub/deeper/nested.txt"));
    EXPECT_TRUE(fs::is_directory(install + "/sub/deeper"));
    EXPECT_FALSE(fs::is_symlink(install + "/sub/link-out"));
    // What the links pointed at is untouched.
    EXPECT_TRUE(fs::exists(outside + "/keep.txt"));
    EXPECT_TRUE(fs::exists("/etc/hostname") || fs::exists("/etc/passwd"));
}

TEST_F(UninstallTest, ARecordedFolderThatIsNoInstallationIsLeftAlone) {
    struct Case {
        std::string path;
        const char* reason;
    };
    std::string home = dir.path() + "/home";
    Touch(home + "/Pondrel1"); // even a home folder holding the program
    Touch(outside + "/other.txt");
    const Case cases[] = {
        {"", "no installation folder is recorded"},
        {"/", "the recorded folder is the root folder"},
        {home, "is the home folder"},
        {outside, "does not hold an Orvane installation"},
        {"relative/path", "is not an absolute path"},
    };
    for (const Case& c : cases) {
        log.clear();
        Record(c.path);
        ASSERT_TRUE(u.Run());
        size_t files = log.find("Removing Program Files \r\n");
        ASSERT_NE(files, std::string::npos);
        std::string after = log.substr(files);
        EXPECT_NE(after.find("Program files not removed: "), std::string::npos) << after;
        EXPECT_NE(after.find(c.reason), std::string::npos) << c.path << ": " << after;
        EXPECT_EQ(after.find("Deleting"), std::string::npos) << after;
    }
    EXPECT_TRUE(fs::exists(home + "/Pondrel1"));
    EXPECT_TRUE(fs::exists(outside + "/other.txt"));
    EXPECT_TRUE(fs::exists(install + "/Pondrel1"));
}

TEST_F(UninstallTest, AMissingOrWrongLibraryIsReportedAndTheRunGoesOn) {
    fs::remove(libDir + "/libTollin.so");
    ASSERT_TRUE(u.Run());
    EXPECT_EQ(errors, std::vector<std::string>{"Unable to Load DLL"});
    EXPECT_TRUE(HasValue("PATH")) << "nothing unregistered without the library";
    EXPECT_NE(log.find("Removing Start Menu Entries"), std::string::npos);
    EXPECT_FALSE(fs::exists(install + "/Pondrel1"));

    errors.clear();
    fs::copy_file(NOEXPORT_PATH, libDir + "/libTollin.so");
    ASSERT_TRUE(u.Run());
    EXPECT_EQ(errors, std::vector<std::string>{"Error Getting DLL Proc Address"});
}

TEST_F(UninstallTest, AFileThatCannotBeDeletedIsLoggedAndTheWalkGoesOn) {
    // A folder the deleting user may not change; root may change anything, so
    // the walk runs as an unprivileged user then.
    std::string tree = dir.path() + "/tree";
    fs::create_directories(tree + "/locked");
    fs::create_directories(tree + "/open");
    Touch(tree + "/locked/stuck.txt");
    Touch(tree + "/open/free.txt");
    std::string out = dir.path() + "/walk.log";
    uid_t nobody = 65534;
    if (geteuid() == 0) {
        for (const std::string& p : {dir.path(), tree, tree + "/open", tree + "/open/free.txt"})
            ASSERT_EQ(chown(p.c_str(), nobody, nobody), 0);
    }
    chmod((tree + "/locked").c_str(), 0555);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        std::string walked;
        CUninstaller child;
        child.m_nPauseMs = 0;
        child.m_log = [&](const std::string& t) { walked += t; };
        child.WalkFolder(tree);
        std::ofstream(out) << walked;
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod((tree + "/locked").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(out);
    std::string walked((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(walked.find("Deleting   stuck.txt\r\nUnable to delete   stuck.txt\r\n"),
              std::string::npos)
        << walked;
    EXPECT_NE(walked.find("Deleting   free.txt\r\n"), std::string::npos) << walked;
    EXPECT_TRUE(fs::exists(tree + "/locked/stuck.txt"));
    EXPECT_FALSE(fs::exists(tree + "/open/free.txt"));
}

} // namespace
