// The settings store: registry semantics on a temporary database file.
#include "platform/registry/Registry.h"
#include "tests/TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace reg;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string dbPath;

    void SetUp() override {
        dbPath = dir.path() + "/conf/orvane/registry.db";
        setenv("ORVANE_REGISTRY", dbPath.c_str(), 1);
        RegResetStore();
    }
    void TearDown() override {
        RegResetStore();
        unsetenv("ORVANE_REGISTRY");
    }

    HKEY Create(const char* path) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &k), REG_OK) << path;
        return k;
    }

    std::string Read(HKEY k, const char* name, DWORD capacity, DWORD* type = nullptr,
                     LONG* rc = nullptr) {
        std::string buf(capacity, '\x7f');
        DWORD size = capacity;
        LONG r =
            RegQueryValueEx(k, name, type, reinterpret_cast<unsigned char*>(buf.data()), &size);
        if (rc)
            *rc = r;
        if (r != REG_OK)
            return "<absent>";
        buf.resize(size);
        return buf;
    }

    std::vector<std::string> Enum(HKEY k, DWORD cb = 100) {
        std::vector<std::string> names;
        char name[256];
        for (DWORD i = 0; RegEnumKey(k, i, name, cb) == REG_OK; ++i)
            names.push_back(name);
        return names;
    }
};

TEST_F(RegistryTest, KeysAreCreatedWithParentsAndFoundWithoutRegardToCase) {
    HKEY site = Create("SOFTWARE\\Orvane\\My Site");
    RegCloseKey(site);

    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\ORVANE\\my site", KEY_READ, &again),
              REG_OK);
    RegCloseKey(again);
    HKEY product = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &product), REG_OK);
    // The name keeps the case it was created with.
    EXPECT_EQ(Enum(product), std::vector<std::string>{"My Site"});
    RegCloseKey(product);

    HKEY missing = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", KEY_READ, &missing),
              REG_ERR_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    // The hives are separate.
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, "SOFTWARE\\Orvane", KEY_READ, &missing),
              REG_ERR_NOT_FOUND);
}

TEST_F(RegistryTest, ValuesKeepTheirExactBytesAndType) {
    HKEY k = Create("SOFTWARE\\Orvane\\Site");
    // A text written without its NUL reads back without it.
    ASSERT_EQ(RegSetValueEx(k, "PORT NO", REG_EXPAND_SZ, "21", 2), REG_OK);
    // Padding zeros are kept as they were written.
    char padded[100] = "localhost";
    ASSERT_EQ(RegSetValueEx(k, "HOST NAME", REG_EXPAND_SZ, padded, 100), REG_OK);
    const unsigned char bin[4] = {0x10, 0x00, 0xFF, 0x7F};
    ASSERT_EQ(RegSetValueEx(k, "InstallationDate", REG_BINARY, bin, 4), REG_OK);
    ASSERT_EQ(RegSetValueEx(k, "EMPTY", REG_SZ, "", 0), REG_OK);

    DWORD type = 0;
    EXPECT_EQ(Read(k, "PORT NO", 100, &type), "21");
    EXPECT_EQ(type, REG_EXPAND_SZ);
    std::string host = Read(k, "host name", 100, &type);
    ASSERT_EQ(host.size(), 100u);
    EXPECT_EQ(std::string(host.c_str()), "localhost");
    EXPECT_EQ(host.find_first_not_of('\0', 9), std::string::npos);
    EXPECT_EQ(Read(k, "InstallationDate", 100, &type), std::string("\x10\x00\xFF\x7F", 4));
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Read(k, "EMPTY", 10, &type), "");
    EXPECT_EQ(type, REG_SZ);

    // Overwriting replaces type and bytes.
    ASSERT_EQ(RegSetValueEx(k, "PORT NO", REG_SZ, "2121", 5), REG_OK);
    EXPECT_EQ(Read(k, "PORT NO", 100, &type), std::string("2121\0", 5));
    EXPECT_EQ(type, REG_SZ);

    // A value too large for the buffer: more data, size reported, nothing copied.
    LONG rc;
    Read(k, "HOST NAME", 50, nullptr, &rc);
    EXPECT_EQ(rc, REG_ERR_MORE_DATA);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueEx(k, "HOST NAME", nullptr, nullptr, &size), REG_OK);
    EXPECT_EQ(size, 100u);

    // An absent value reads as absent, and deleting one twice reports it.
    Read(k, "COMMENTS", 500, nullptr, &rc);
    EXPECT_EQ(rc, REG_ERR_NOT_FOUND);
    EXPECT_EQ(RegDeleteValue(k, "port no"), REG_OK);
    EXPECT_EQ(RegDeleteValue(k, "PORT NO"), REG_ERR_NOT_FOUND);
    Read(k, "PORT NO", 100, nullptr, &rc);
    EXPECT_EQ(rc, REG_ERR_NOT_FOUND);
    RegCloseKey(k);
}

TEST_F(RegistryTest, ReadAccessRefusesWrites) {
    RegCloseKey(Create("SOFTWARE\\Orvane"));
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k), REG_OK);
    EXPECT_EQ(RegSetValueEx(k, "PATH", REG_SZ, "x", 2), REG_ERR_ACCESS_DENIED);
    RegCloseKey(k);
}

TEST_F(RegistryTest, SubkeysEnumerateInCaseInsensitiveOrderAndStopAtANameThatDoesNotFit) {
    for (const char* name : {"beta", "Alpha", "_under", "Gamma", "delta"}) {
        std::string path = std::string("SOFTWARE\\Orvane\\") + name;
        RegCloseKey(Create(path.c_str()));
    }
    std::string longName(100, 'm'); // 100 characters do not fit a 100-byte buffer
    RegCloseKey(Create(("SOFTWARE\\Orvane\\" + longName).c_str()));
    HKEY product = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &product), REG_OK);
    // Letters fold to upper case, so "_" (0x5F) sorts after the letters.
    EXPECT_EQ(Enum(product, 101),
              (std::vector<std::string>{"Alpha", "beta", "delta", "Gamma", longName, "_under"}));
    // With 100 bytes the long name ends the listing: what follows it is not seen.
    EXPECT_EQ(Enum(product, 100), (std::vector<std::string>{"Alpha", "beta", "delta", "Gamma"}));
    char name[100];
    EXPECT_EQ(RegEnumKey(product, 4, name, sizeof name), REG_ERR_MORE_DATA);
    EXPECT_EQ(RegEnumKey(product, 6, name, sizeof name), REG_ERR_NO_MORE_ITEMS);
    RegCloseKey(product);
}

TEST_F(RegistryTest, DeleteKeyRemovesItsValuesButNotAKeyWithSubkeys) {
    HKEY site = Create("SOFTWARE\\Orvane\\Site");
    RegSetValueEx(site, "USER NAME", REG_EXPAND_SZ, "anonymous", 10);
    RegCloseKey(site);
    HKEY product = Create("SOFTWARE\\Orvane");
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane"), REG_ERR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(product, "SITE"), REG_OK);
    EXPECT_EQ(RegDeleteKey(product, "Site"), REG_ERR_NOT_FOUND);
    EXPECT_TRUE(Enum(product).empty());
    // A key of the same name created later starts without the old values.
    HKEY again = Create("SOFTWARE\\Orvane\\Site");
    LONG rc;
    Read(again, "USER NAME", 100, nullptr, &rc);
    EXPECT_EQ(rc, REG_ERR_NOT_FOUND);
    RegCloseKey(again);
    // A handle to a deleted key no longer writes.
    EXPECT_EQ(RegDeleteKey(product, "Site"), REG_OK);
    RegCloseKey(product);
}

TEST_F(RegistryTest, StoreFileIsPrivateAndSeenAtOnceByAnotherProcess) {
    HKEY k = Create("SOFTWARE\\Orvane");
    ASSERT_EQ(RegSetValueEx(k, "PATH", REG_SZ, "/opt/orvane", 12), REG_OK);
    struct stat st;
    ASSERT_EQ(stat(dbPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        RegResetStore(); // the child opens the file on its own connection
        HKEY c = nullptr;
        unsigned char buf[200] = {};
        DWORD size = sizeof buf;
        bool ok =
            RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &c) == REG_OK &&
            RegQueryValueEx(c, "PATH", nullptr, buf, &size) == REG_OK &&
            std::string(reinterpret_cast<char*>(buf)) == "/opt/orvane" &&
            RegSetValueEx(c, "URL", REG_SZ, "child", 6) == REG_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Read(k, "URL", 100), std::string("child\0", 6));
    RegCloseKey(k);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kPerProcess = 150;
    pid_t pids[2];
    for (int p = 0; p < 2; ++p) {
        pids[p] = fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) {
            RegResetStore();
            bool ok = true;
            for (int i = 0; i < kPerProcess; ++i) {
                std::string path =
                    "SOFTWARE\\Orvane\\p" + std::to_string(p) + "-" + std::to_string(i);
                HKEY k = nullptr;
                ok &=
                    RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, &k) == REG_OK;
                ok &= RegSetValueEx(k, "HOST NAME", REG_EXPAND_SZ, path.c_str(),
                                    static_cast<DWORD>(path.size() + 1)) == REG_OK;
                RegCloseKey(k);
            }
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY product = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &product), REG_OK);
    std::vector<std::string> names = Enum(product);
    EXPECT_EQ(names.size(), 2u * kPerProcess);
    for (const std::string& name : names) {
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyEx(product, name.c_str(), KEY_READ, &k), REG_OK);
        EXPECT_EQ(std::string(Read(k, "HOST NAME", 100).c_str()), "SOFTWARE\\Orvane\\" + name);
        RegCloseKey(k);
    }
    RegCloseKey(product);
}

TEST_F(RegistryTest, CorruptFileGivesAMessageAndAnEmptyStoreWhoseWritesFail) {
    RegResetStore();
    {
        std::string folder = dbPath.substr(0, dbPath.rfind('/'));
        std::string parent = folder.substr(0, folder.rfind('/'));
        mkdir(parent.c_str(), 0700);
        mkdir(folder.c_str(), 0700);
        std::ofstream junk(dbPath);
        junk << std::string(4096, 'x');
    }
    testing::internal::CaptureStderr();
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k),
              REG_ERR_NOT_FOUND);
    EXPECT_NE(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k), REG_OK);
    EXPECT_EQ(k, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(dbPath), std::string::npos) << err;
    EXPECT_NE(err.find("cannot be used"), std::string::npos) << err;
    // The user's file is left as it was.
    std::ifstream in(dbPath);
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, std::string(4096, 'x'));
}

TEST_F(RegistryTest, ReadOnlyFileIsReadButRefusesWrites) {
    HKEY k = Create("SOFTWARE\\Orvane\\Site");
    RegSetValueEx(k, "HOST NAME", REG_EXPAND_SZ, "ftp.example.org", 16);
    RegCloseKey(k);
    RegResetStore();
    // Root may write any file: the check runs as an unprivileged user then.
    uid_t nobody = 65534;
    std::string folder = dbPath.substr(0, dbPath.rfind('/'));
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path().c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown((dir.path() + "/conf").c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(folder.c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(dbPath.c_str(), nobody, nobody), 0);
    }
    chmod(dbPath.c_str(), 0400);
    chmod(folder.c_str(), 0500); // no journal can be created beside it either
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(3);
        RegResetStore();
        HKEY site = nullptr;
        unsigned char buf[100] = {};
        DWORD size = sizeof buf;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane\\Site", KEY_ALL_ACCESS, &site) !=
                REG_OK ||
            RegQueryValueEx(site, "HOST NAME", nullptr, buf, &size) != REG_OK ||
            std::string(reinterpret_cast<char*>(buf)) != "ftp.example.org")
            _exit(1);
        if (RegSetValueEx(site, "HOST NAME", REG_EXPAND_SZ, "x", 2) == REG_OK)
            _exit(2);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(folder.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not readable, 2: write accepted, 3: no user";
}

} // namespace

namespace {

// A store made by another tool: the same tables without their NOT NULL
// constraints, holding key rows whose names are missing.
void MakeDamagedStore(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const char* sql =
        "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER, name TEXT, uname TEXT,"
        "  UNIQUE(parent, uname));"
        "CREATE TABLE vals(key INTEGER, name TEXT, uname TEXT, type INTEGER, data BLOB,"
        "  PRIMARY KEY(key, uname));"
        "INSERT INTO keys VALUES (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
        "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER'), (3, 1, 'SOFTWARE', 'SOFTWARE'),"
        "  (4, 2, 'Software', 'SOFTWARE'), (5, 3, 'Orvane', 'ORVANE'),"
        "  (6, 5, NULL, NULL), (7, 5, 'alpha', 'ALPHA'), (8, 5, NULL, 'AAA'),"
        "  (9, 5, 'beta', NULL);"
        "INSERT INTO vals VALUES (5, 'PATH', 'PATH', 1, '/x'), (7, NULL, NULL, NULL, NULL);";
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

TEST_F(RegistryTest, KeyRowsWithoutANameAreSkippedAsDamagedData) {
    std::filesystem::create_directories(dir.path() + "/conf/orvane");
    MakeDamagedStore(dbPath);
    RegResetStore();
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k), REG_OK);
    // "beta" has a name but no folded name: it is listed (where is left
    // open), and no row without a name is.
    std::vector<std::string> names = Enum(k);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta"}));
    char name[100];
    EXPECT_EQ(RegEnumKey(k, 2, name, sizeof name), REG_ERR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKey(k, "alpha"), REG_OK);
    EXPECT_EQ(Enum(k), (std::vector<std::string>{"beta"}));
    RegCloseKey(k);
}

TEST(RegistryPathTest, ABareFileNameIsAFileInTheCurrentFolder) {
    TempDir dir;
    std::string before = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    setenv("ORVANE_REGISTRY", "bare.db", 1);
    RegResetStore();
    EXPECT_EQ(RegistryPath(), dir.path() + "/bare.db");
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_ALL_ACCESS, &k), REG_OK);
    RegCloseKey(k);
    // The store stays where it was first found when the current folder changes.
    std::filesystem::current_path(before);
    EXPECT_EQ(RegistryPath(), dir.path() + "/bare.db");
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", KEY_READ, &k), REG_OK);
    RegCloseKey(k);
    RegResetStore();
    unsetenv("ORVANE_REGISTRY");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() + "/bare.db"));
    EXPECT_FALSE(std::filesystem::exists(before + "/bare.db"));
}

} // namespace
