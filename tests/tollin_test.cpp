// libTollin.so as its callers use it: loaded by file name, functions looked up
// by name, values checked byte by byte in a temporary store.
#include "platform/registry/Registry.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace reg;

namespace {

using RegisterFn = int (*)(const char*);
using UnRegisterFn = int (*)();

class TollinTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string db;
    void* lib = nullptr;
    RegisterFn registerApp = nullptr;
    UnRegisterFn unregisterApp = nullptr;

    void SetUp() override {
        db = dir.path() + "/registry.db";
        setenv("ORVANE_REGISTRY", db.c_str(), 1);
        RegResetStore();
        lib = dlopen(TOLLIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(lib) << dlerror();
        registerApp = reinterpret_cast<RegisterFn>(dlsym(lib, "RegisterApp"));
        unregisterApp = reinterpret_cast<UnRegisterFn>(dlsym(lib, "UnRegisterApp"));
        ASSERT_TRUE(registerApp && unregisterApp);
    }
    void TearDown() override {
        if (lib)
            dlclose(lib);
        RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }

    std::string Value(const char* name, DWORD* type = nullptr) {
        HKEY k = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k) != REG_OK)
            return "<no key>";
        unsigned char buf[300];
        DWORD size = sizeof buf;
        LONG rc = RegQueryValueEx(k, name, type, buf, &size);
        RegCloseKey(k);
        return rc == REG_OK ? std::string(reinterpret_cast<char*>(buf), size) : "<absent>";
    }
    void AddSite(const std::string& name) {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvane\\" + name).c_str(),
                                 KEY_ALL_ACCESS, &k),
                  REG_OK);
        RegSetValueEx(k, "HOST NAME", REG_EXPAND_SZ, "h", 2);
        RegCloseKey(k);
    }
    int SubkeyCount() {
        HKEY k = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k) != REG_OK)
            return -1;
        char name[100];
        int n = 0;
        while (RegEnumKey(k, static_cast<DWORD>(n), name, sizeof name) == REG_OK)
            ++n;
        RegCloseKey(k);
        return n;
    }
};

TEST_F(TollinTest, ExportsExactlyTheTwoFunctions) {
    FILE* p = popen("nm -D --defined-only " TOLLIN_PATH, "r");
    ASSERT_TRUE(p);
    std::set<std::string> symbols;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        std::string l(line);
        l.erase(l.find_last_not_of("\n") + 1);
        symbols.insert(l.substr(l.rfind(' ') + 1));
    }
    pclose(p);
    EXPECT_EQ(symbols, (std::set<std::string>{"RegisterApp", "UnRegisterApp"}));
}

TEST_F(TollinTest, RegisterAppWritesTheThreeValuesAndCreatesTheProductKey) {
    EXPECT_EQ(Value("PATH"), "<no key>");
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(registerApp("/opt/orvane"), 0);
    std::time_t after = std::time(nullptr);
    DWORD type = 0;
    std::string url = Value("URL", &type);
    EXPECT_EQ(type, REG_SZ);
    ASSERT_FALSE(url.empty());
    EXPECT_EQ(url.back(), '\0'); // written with its NUL
    EXPECT_EQ(Value("PATH", &type), std::string("/opt/orvane\0", 12));
    EXPECT_EQ(type, REG_SZ);
    std::string date = Value("InstallationDate", &type);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(date.size(), 4u);
    std::uint32_t stamp = 0;
    for (int i = 3; i >= 0; --i)
        stamp = (stamp << 8) | static_cast<unsigned char>(date[static_cast<size_t>(i)]);
    EXPECT_GE(static_cast<std::time_t>(stamp), before);
    EXPECT_LE(static_cast<std::time_t>(stamp), after);
}

TEST_F(TollinTest, AFailureOnTheFirstValueLeavesTheRestUnwrittenAndStillReturnsZero) {
    // The product key exists, but the store may only be read.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k), REG_OK);
    RegCloseKey(k);
    RegResetStore();
    uid_t nobody = 65534;
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(db.c_str(), nobody, nobody), 0);
    }
    chmod(db.c_str(), 0400);
    chmod(dir.path().c_str(), 0500);
    std::string err = dir.path() + "/../tollin-stderr-" + std::to_string(getpid());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        FILE* e = freopen(err.c_str(), "w", stderr);
        (void)e;
        int rc = registerApp("/opt/orvane");
        std::fflush(stderr);
        _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(dir.path().c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    FILE* f = fopen(err.c_str(), "r");
    ASSERT_TRUE(f);
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    unlink(err.c_str());
    std::string message(buf, n);
    // One message, after the store's own note that it is read-only.
    EXPECT_NE(message.find("Error: "), std::string::npos) << message;
    EXPECT_EQ(message.find("Error: ", message.find("Error: ") + 1), std::string::npos) << message;
    EXPECT_EQ(Value("URL"), "<absent>");
    EXPECT_EQ(Value("PATH"), "<absent>");
    EXPECT_EQ(Value("InstallationDate"), "<absent>");
}

TEST_F(TollinTest, UnRegisterAppRemovesSitesAndValuesAndKeepsTheEmptyKey) {
    EXPECT_EQ(unregisterApp(), 0); // no product key
    EXPECT_EQ(registerApp("/opt/orvane"), 0);
    for (const char* site : {"alpha", "Beta site", "gamma"})
        AddSite(site);
    EXPECT_EQ(SubkeyCount(), 3);
    EXPECT_EQ(unregisterApp(), 1);
    EXPECT_EQ(SubkeyCount(), 0);
    for (const char* value : {"URL", "PATH", "InstallationDate"})
        EXPECT_EQ(Value(value), "<absent>") << value;
    EXPECT_EQ(unregisterApp(), 1); // the empty key is still there
    EXPECT_EQ(SubkeyCount(), 0);
}

int OpenDescriptors() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

TEST_F(TollinTest, LoadingAndUnloadingTheLibraryLeavesNoDescriptorOpen) {
    // The fixture's copy stays loaded; these cycles use their own handles on
    // a copy of the file, so each load is a fresh library.
    dlclose(lib);
    lib = nullptr;
    std::string copy = dir.path() + "/libTollinCopy.so";
    ASSERT_EQ(system(("cp '" TOLLIN_PATH "' '" + copy + "'").c_str()), 0);
    auto cycle = [&] {
        void* h = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(h) << dlerror();
        auto reg = reinterpret_cast<RegisterFn>(dlsym(h, "RegisterApp"));
        auto unreg = reinterpret_cast<UnRegisterFn>(dlsym(h, "UnRegisterApp"));
        ASSERT_TRUE(reg && unreg);
        reg("/opt/orvane");
        unreg();
        dlclose(h);
    };
    cycle(); // the first load may keep what every later one shares
    int before = OpenDescriptors();
    for (int i = 0; i < 40; ++i)
        cycle();
    EXPECT_EQ(OpenDescriptors(), before);
    lib = dlopen(TOLLIN_PATH, RTLD_NOW | RTLD_LOCAL);
}

TEST_F(TollinTest, UnRegisterAppPassesOverSiteRowsWithoutANameInADamagedStore) {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &raw), SQLITE_OK);
    const char* sql =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT, uname TEXT,"
        "  UNIQUE(parent, uname));"
        "CREATE TABLE vals(key INTEGER, name TEXT, uname TEXT, type INTEGER, data BLOB,"
        "  PRIMARY KEY(key, uname));"
        "INSERT INTO keys VALUES (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
        "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'), (3, 1, 'SOFTWARE', 'SOFTWARE'),"
        "  (4, 2, 'Software', 'SOFTWARE'), (5, 3, 'Orvane', 'ORVANE'),"
        "  (6, 5, NULL, NULL), (7, 5, 'zeta', 'ZETA'), (8, 5, NULL, 'A');"
        "INSERT INTO vals VALUES (5, 'PATH', 'PATH', 1, '/x');";
    ASSERT_EQ(sqlite3_exec(raw, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    RegResetStore();
    EXPECT_EQ(unregisterApp(), 1);
    EXPECT_EQ(SubkeyCount(), 0);
    EXPECT_EQ(Value("PATH"), "<absent>");
}

} // namespace
