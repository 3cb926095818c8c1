// The uninstaller's work on a temporary installation: what it logs, what it
// deletes, and what it must never touch.
#include "install/Marker.h"
#include "platform/registry/Registry.h"
#include "tests/TempDir.h"
#include "uninstall/Uninstaller.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/mount.h>
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
        Mark(install, install);
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
    // Writes the installation marker into `folder`, naming `named`.
    static void Mark(const std::string& folder, const std::string& named,
                     const std::vector<std::pair<std::string, std::string>>& links = {}) {
        install::Marker m;
        m.folder = named;
        m.links = links;
        std::ofstream(folder + "/" + install::kMarkerFile) << install::MarkerText(m);
    }
    // The log after the program-files step began.
    std::string FilesStep() const {
        size_t files = log.find("Removing Program Files \r\n");
        return files == std::string::npos ? "<no step>" : log.substr(files);
    }
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
    for (const char* name :
         {"Pondrel1", "Orvane.html", "nested.txt", "link-out", "root-link", ".orvane-installation"})
        EXPECT_NE(log.find(std::string("Deleting   ") + name + "\r\n", files), std::string::npos)
            << name;
    EXPECT_EQ(log.find("Unable to delete"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("\r\nOrvane Successfully Uninstalled from your System.")) << log;
    // One pause after each of the seven files.
    EXPECT_GE(took, std::chrono::milliseconds(600));

    EXPECT_FALSE(HasValue("PATH"));
    EXPECT_FALSE(HasValue("URL"));
    HKEY site = nullptr;
    EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\a site", KEY_READ, &site),
              REG_OK);
    EXPECT_FALSE(fs::exists(menu));
    // Files and the emptied folders are gone, the installation folder too.
    EXPECT_FALSE(fs::exists(install));
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
    fs::create_directories(outside + "/program only");
    Touch(outside + "/program only/Pondrel1");
    fs::create_directories(outside + "/marked for another");
    Touch(outside + "/marked for another/Pondrel1");
    Mark(outside + "/marked for another", install);
    fs::create_directory_symlink(install, outside + "/linked");
    Touch(dir.path() + "/Pondrel1");
    Mark(dir.path(), dir.path());
    const Case cases[] = {
        {"", "no installation folder is recorded"},
        {"/", "the recorded folder is the root folder"},
        {home, "is the home folder"},
        {outside, "does not hold an Orvane installation"},
        {"relative/path", "is not an absolute path"},
        {"/usr", "is a system folder"},
        {"/usr/local", "is a system folder"},
        {"/etc/", "is a system folder"},
        {"/var", "is a system folder"},
        {outside + "/program only", "holds no installation marker naming it"},
        {outside + "/marked for another", "holds no installation marker naming it"},
        {outside + "/linked", "is a symbolic link"},
        {dir.path(), "is above the home folder"},
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
        EXPECT_FALSE(after.ends_with("Successfully Uninstalled from your System.")) << after;
    }
    EXPECT_TRUE(fs::exists(home + "/Pondrel1"));
    EXPECT_TRUE(fs::exists(outside + "/program only/Pondrel1"));
    EXPECT_TRUE(fs::exists(dir.path() + "/Pondrel1"));
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

TEST_F(UninstallTest, HomeFoldersAndFoldersAboveTheStoreAreRefused) {
    // Without HOME the home folder is the password database's.
    const passwd* pw = getpwuid(getuid());
    ASSERT_TRUE(pw && pw->pw_dir && *pw->pw_dir);
    std::string saved = getenv("HOME");
    unsetenv("HOME");
    EXPECT_NE(CUninstaller::CheckInstallation(pw->pw_dir).find("is the home folder"),
              std::string::npos);
    setenv("HOME", saved.c_str(), 1);

    // An installation folder that holds the store, or a folder above it.
    std::string inst = dir.path() + "/inst2";
    fs::create_directories(inst + "/conf");
    Touch(inst + "/Pondrel1");
    Mark(inst, inst);
    Touch(inst + "/conf/Pondrel1");
    Mark(inst + "/conf", inst + "/conf");
    setenv("ORVANE_REGISTRY", (inst + "/conf/registry.db").c_str(), 1);
    RegResetStore();
    Record(inst);
    ASSERT_TRUE(u.Run());
    EXPECT_NE(FilesStep().find("is above the settings store"), std::string::npos) << log;
    log.clear();
    Record(inst + "/conf");
    ASSERT_TRUE(u.Run());
    EXPECT_NE(FilesStep().find("holds the settings store"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(inst + "/Pondrel1"));
    EXPECT_TRUE(fs::exists(inst + "/conf/Pondrel1"));
}

TEST_F(UninstallTest, AFolderSwappedForALinkDuringTheWalkRedirectsNothing) {
    // "sub" and later the installation folder itself are replaced by links to
    // a folder holding files of the same names once the walk is inside them.
    std::string victim = dir.path() + "/victim";
    fs::create_directories(victim + "/deeper");
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "deeper/nested.txt", "Pondrel1",
                             "Orvane.html", ".orvane-installation"})
        Touch(victim + "/" + name);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt"})
        Touch(install + "/sub/" + name);
    bool swappedSub = false, swappedTop = false;
    u.m_afterEntry = [&](const std::string& name) {
        if (!swappedSub && name.size() == 5 && name.ends_with(".txt")) {
            swappedSub = true;
            fs::rename(install + "/sub", dir.path() + "/sub-moved");
            fs::create_directory_symlink(victim, install + "/sub");
        } else if (!swappedTop && swappedSub && name == "sub") {
            swappedTop = true;
            fs::rename(install, dir.path() + "/install-moved");
            fs::create_directory_symlink(victim, install);
        }
    };
    ASSERT_TRUE(u.Run());
    ASSERT_TRUE(swappedSub);
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "deeper/nested.txt", "Pondrel1",
                             "Orvane.html", ".orvane-installation"})
        EXPECT_TRUE(fs::exists(victim + "/" + name)) << name << "\n" << log;
    // What was walked went: the moved folders are empty.
    EXPECT_TRUE(fs::is_empty(dir.path() + "/sub-moved")) << log;
    if (swappedTop) {
        EXPECT_FALSE(fs::exists(dir.path() + "/install-moved/Pondrel1")) << log;
    }
    EXPECT_TRUE(fs::exists(outside + "/keep.txt"));
    EXPECT_FALSE(log.ends_with("Successfully Uninstalled from your System.")) << log;
}

TEST_F(UninstallTest, TheMenuFolderIsWalkedByTheSameRules) {
    std::string docs = dir.path() + "/documents";
    fs::create_directories(docs);
    Touch(docs + "/letter.txt");
    // A link inside the menu folder goes as a link.
    fs::create_directory_symlink(docs, menu + "/docs-link");
    ASSERT_TRUE(u.Run());
    EXPECT_TRUE(fs::exists(docs + "/letter.txt"));
    EXPECT_FALSE(fs::exists(menu));

    // A menu folder that is itself a link is not entered.
    log.clear();
    Record(install);
    fs::create_directory_symlink(docs, menu);
    ASSERT_TRUE(u.Run());
    EXPECT_TRUE(fs::exists(docs + "/letter.txt")) << log;
    EXPECT_TRUE(fs::is_symlink(menu));
    EXPECT_NE(log.find("Start menu entries not removed: "), std::string::npos) << log;
    EXPECT_EQ(log.find("letter.txt"), std::string::npos) << log;
    EXPECT_FALSE(log.ends_with("Successfully Uninstalled from your System.")) << log;
}

TEST_F(UninstallTest, WhatStaysIsListedAndTheLastLineSaysTheRemovalWasIncomplete) {
    // A recorded folder path that does not fit the 200-byte buffer.
    std::string longPath = dir.path() + "/" + std::string(200, 'l');
    Record(longPath);
    ASSERT_TRUE(u.Run());
    EXPECT_NE(FilesStep().find("Program files not removed: the recorded folder path is longer "
                               "than 199 bytes"),
              std::string::npos)
        << log;
    EXPECT_TRUE(log.ends_with("\r\nOrvane was not completely uninstalled: what is listed above "
                              "was not removed."))
        << log;
    EXPECT_TRUE(fs::exists(install + "/Pondrel1"));

    // Two hundred bytes without a NUL fill the buffer: as cut as a longer path.
    log.clear();
    std::string path = dir.path() + "/" + std::string(199 - dir.path().size(), 'x');
    ASSERT_EQ(path.size(), 200u);
    fs::rename(install, path); // a 200-byte folder holding the installation
    Mark(path, path);
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k), REG_OK);
    RegSetValueEx(k, "PATH", REG_SZ, path.data(), static_cast<DWORD>(path.size()));
    RegCloseKey(k);
    ASSERT_TRUE(u.Run());
    EXPECT_NE(FilesStep().find("the recorded folder path is longer than 199 bytes"),
              std::string::npos)
        << log;
    EXPECT_TRUE(fs::exists(path + "/Pondrel1"));
}

TEST_F(UninstallTest, AFolderThatCannotBeReadIsListed) {
    // Root reads every folder, so the walk runs as an unprivileged user then.
    std::string tree = dir.path() + "/tree";
    fs::create_directories(tree + "/closed");
    Touch(tree + "/closed/inside.txt");
    Touch(tree + "/free.txt");
    std::string out = dir.path() + "/walk.log";
    uid_t nobody = 65534;
    if (geteuid() == 0) {
        for (const std::string& p : {dir.path(), tree, tree + "/free.txt"})
            ASSERT_EQ(chown(p.c_str(), nobody, nobody), 0);
    }
    chmod((tree + "/closed").c_str(), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        std::string walked;
        CUninstaller child;
        child.m_nPauseMs = 0;
        child.m_log = [&](const std::string& t) { walked += t; };
        bool complete = child.WalkFolder(tree);
        std::ofstream(out) << walked << (complete ? "complete" : "incomplete");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod((tree + "/closed").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(out);
    std::string walked((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(walked.find("Unable to open folder   closed\r\n"), std::string::npos) << walked;
    EXPECT_TRUE(walked.ends_with("incomplete")) << walked;
    EXPECT_TRUE(fs::exists(tree + "/closed/inside.txt"));
    EXPECT_FALSE(fs::exists(tree + "/free.txt"));
}

TEST_F(UninstallTest, ALockedStoreIsReportedWithoutAWaitOfMinutes) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() + "/registry.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    RegResetStore();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(u.Run());
    auto took = std::chrono::steady_clock::now() - start;
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    // The store's usual patience is 15 s for every statement.
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_NE(log.find("Registry entries not removed: "), std::string::npos) << log;
    EXPECT_FALSE(log.ends_with("Successfully Uninstalled from your System.")) << log;
    RegResetStore();
    EXPECT_TRUE(HasValue("PATH"));
}

TEST_F(UninstallTest, AReadOnlyStoreIsReported) {
    // Root writes every file, so the run is an unprivileged user's then.
    RegResetStore();
    std::string out = dir.path() + "/run.log";
    uid_t nobody = 65534;
    if (geteuid() == 0) {
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            ASSERT_EQ(lchown(entry.path().c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chown(dir.path().c_str(), geteuid() == 0 ? nobody : geteuid(), -1), 0);
    chmod((dir.path() + "/registry.db").c_str(), 0400);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        RegResetStore();
        bool ran = u.Run();
        std::ofstream(out) << log;
        _exit(ran ? 0 : 4);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod((dir.path() + "/registry.db").c_str(), 0600);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream in(out);
    std::string walked((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(walked.find("Registry entries not removed: "), std::string::npos) << walked;
    EXPECT_FALSE(walked.ends_with("Successfully Uninstalled from your System.")) << walked;
    RegResetStore();
    EXPECT_TRUE(HasValue("PATH"));
}

TEST_F(UninstallTest, AMissingStoreIsNotCreated) {
    std::string missing = dir.path() + "/none/registry.db";
    setenv("ORVANE_REGISTRY", missing.c_str(), 1);
    RegResetStore();
    ASSERT_TRUE(u.Run());
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(dir.path() + "/none"));
    EXPECT_NE(FilesStep().find("no installation folder is recorded"), std::string::npos) << log;
}

TEST_F(UninstallTest, NamesAreLoggedEscapedOneEntryPerLine) {
    Touch(install + "/evil\r\nDeleting   forged");
    Touch(install + "/caf\xe9");
    Touch(install + "/tab\there");
    ASSERT_TRUE(u.Run());
    EXPECT_NE(log.find("Deleting   evil\\x0D\\x0ADeleting   forged\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\r\nDeleting   forged"), std::string::npos) << log;
    EXPECT_NE(log.find("Deleting   caf\\xE9\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Deleting   tab\\x09here\r\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(install));

    EXPECT_EQ(CUninstaller::ShownName("plain name.txt"), "plain name.txt");
    EXPECT_EQ(CUninstaller::ShownName("Grüße ☃"), "Grüße ☃");
    EXPECT_EQ(CUninstaller::ShownName("back\\slash"), "back\\\\slash");
    EXPECT_EQ(CUninstaller::ShownName("\x7f\x1b[31m"), "\\x7F\\x1B[31m");
    // Overlong, surrogate and cut sequences are bytes, not characters.
    EXPECT_EQ(CUninstaller::ShownName("\xc0\xaf|\xed\xa0\x80|\xe2\x98"),
              "\\xC0\\xAF|\\xED\\xA0\\x80|\\xE2\\x98");
    // Characters that reorder or break the text of a line.
    EXPECT_EQ(CUninstaller::ShownName("a\u202Eb\u2028c\u0085"), "a\\u{202E}b\\u{2028}c\\u{85}");
}

TEST_F(UninstallTest, EntryPointLinksOfTheMarkerGoWhileTheyStillPointIntoTheInstallation) {
    std::string bin = dir.path() + "/bin";
    fs::create_directories(bin);
    fs::create_symlink("../Orvane install/Pondrel1", bin + "/Pondrel1");
    fs::create_symlink("../Orvane install/OrvaneUninstall", bin + "/OrvaneUninstall");
    Touch(bin + "/other-tool");
    Mark(install, install,
         {{bin + "/Pondrel1", "../Orvane install/Pondrel1"},
          {bin + "/OrvaneUninstall", "../Orvane install/elsewhere"},
          {bin + "/other-tool", "../Orvane install/other-tool"}});
    ASSERT_TRUE(u.Run());
    EXPECT_FALSE(fs::is_symlink(bin + "/Pondrel1")) << log;
    // A link that now points elsewhere and a file are not ours to remove.
    EXPECT_TRUE(fs::is_symlink(bin + "/OrvaneUninstall")) << log;
    EXPECT_TRUE(fs::exists(bin + "/other-tool")) << log;
    EXPECT_TRUE(log.ends_with("\r\nOrvane Successfully Uninstalled from your System.")) << log;
}

// The marker is a file in the installation: its lines cannot make the
// uninstaller remove a link that points anywhere but into the installation.
TEST_F(UninstallTest, AMarkerLineNamingALinkToElsewhereRemovesNothing) {
    std::string links = dir.path() + "/home/links";
    fs::create_directories(links);
    fs::create_symlink(outside + "/keep.txt", links + "/to-keep");
    fs::create_symlink("../../outside/keep.txt", links + "/relative-to-keep");
    fs::create_symlink("Pondrel1", links + "/same-name"); // a Pondrel1 of its own folder
    Touch(links + "/Pondrel1");
    Mark(install, install,
         {{links + "/to-keep", outside + "/keep.txt"},
          {links + "/relative-to-keep", "../../outside/keep.txt"},
          {links + "/same-name", "Pondrel1"}});
    ASSERT_TRUE(u.Run());
    EXPECT_TRUE(fs::is_symlink(links + "/to-keep")) << log;
    EXPECT_TRUE(fs::is_symlink(links + "/relative-to-keep")) << log;
    EXPECT_TRUE(fs::is_symlink(links + "/same-name")) << log;
    EXPECT_FALSE(fs::exists(install)) << log;
}

TEST_F(UninstallTest, FoldersDeeperThanAPathCanNameAreEmptiedToo) {
    // 24 levels of 200-byte names: far beyond what one path may hold.
    int fd = open(install.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string name(200, 'd');
    for (int level = 0; level < 24; ++level) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    close(file);
    close(fd);
    ASSERT_TRUE(u.Run());
    EXPECT_NE(log.find("Deleting   bottom.txt\r\n"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(install));
    EXPECT_TRUE(log.ends_with("\r\nOrvane Successfully Uninstalled from your System.")) << log;
}

TEST_F(UninstallTest, AnotherFileSystemMountedInsideIsNotEntered) {
    std::string mounted = install + "/mounted";
    fs::create_directories(mounted);
    if (mount("none", mounted.c_str(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "no file system can be mounted here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{mounted};
    Touch(mounted + "/theirs.txt");
    ASSERT_TRUE(u.Run());
    EXPECT_TRUE(fs::exists(mounted + "/theirs.txt")) << log;
    EXPECT_NE(FilesStep().find("Unable to remove folder   mounted (on another file system)\r\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(fs::exists(install + "/Pondrel1"));
    EXPECT_FALSE(log.ends_with("Successfully Uninstalled from your System.")) << log;
}

} // namespace
