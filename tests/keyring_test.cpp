// Site passwords in the desktop keyring: a real gnome-keyring-daemon, unlocked
// with a known password, on a session bus of the test's own; a bus without
// any keyring, no bus at all, and a keyring that never answers. The store's
// file is read byte by byte (free pages included) for the passwords.
#include "platform/keyring/Keyring.h"
#include "platform/registry/Registry.h"
#include "sites/SiteStore.h"
#include "tests/TempDir.h"
#include "uninstall/Uninstaller.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace sites;

namespace {

// A helper process with its stdin and stdout on pipes; stopped and reaped by
// its owner, and ended by the system should the test itself die first.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        // Everything the child needs is made before the fork.
        std::string program = argv[0];
        if (program.find('/') == std::string::npos)
            for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/usr/local/bin/"})
                if (access((dir + argv[0]).c_str(), X_OK) == 0) {
                    program = dir + argv[0];
                    break;
                }
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            if (!env.count(entry.substr(0, entry.find('='))))
                envText.push_back(entry);
        }
        for (const auto& [name, value] : env)
            envText.push_back(name + "=" + value);
        std::vector<char*> args, envp;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (std::string& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t parent = getpid();
        m_pid = fork();
        if (m_pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(127);
            dup2(in[0], 0);
            dup2(out[1], 1);
            execve(program.c_str(), args.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Child() { Stop(); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Running() const { return m_pid > 0; }
    void Write(const std::string& text) {
        if (m_in >= 0 && write(m_in, text.data(), text.size()) < 0)
            ADD_FAILURE() << "cannot write to the helper";
    }
    void CloseInput() {
        if (m_in >= 0)
            close(m_in);
        m_in = -1;
    }
    // The first line the child prints (without its line break).
    std::string ReadLine() {
        std::string line;
        char c;
        while (m_out >= 0 && read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void Signal(int signal) {
        if (m_pid > 0)
            kill(m_pid, signal);
    }
    void Stop() {
        CloseInput();
        if (m_out >= 0)
            close(m_out);
        m_out = -1;
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

// Waits until `name` has an owner on the bus at `address`, on the owner
// change the bus announces; false when none came within `limit`.
bool WaitForOwner(const std::string& address, const char* name, std::chrono::seconds limit) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    bool owned = false, late = false;
    if (bus) {
        guint subscription = g_dbus_connection_signal_subscribe(
            bus, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            "/org/freedesktop/DBus", name, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer flag) {
                const gchar *n, *from, *to;
                g_variant_get(parameters, "(&s&s&s)", &n, &from, &to);
                if (*to)
                    *static_cast<bool*>(flag) = true;
            },
            &owned, nullptr);
        GVariant* has = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (has) {
            gboolean b = FALSE;
            g_variant_get(has, "(b)", &b);
            owned = owned || b;
            g_variant_unref(has);
        }
        GSource* timeout = g_timeout_source_new(static_cast<guint>(limit.count() * 1000));
        g_source_set_callback(
            timeout,
            [](gpointer flag) {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &late, nullptr);
        g_source_attach(timeout, context);
        while (!owned && !late)
            g_main_context_iteration(context, TRUE);
        g_source_destroy(timeout);
        g_source_unref(timeout);
        g_dbus_connection_signal_unsubscribe(bus, subscription);
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return owned;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// The item's attributes as another program sees them.
const SecretSchema* SiteSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.example.orvane.Orvane.Site";
        const char* names[] = {"program", "site", "host", "port", "user"};
        for (size_t i = 0; i < std::size(names); ++i)
            s.attributes[i] = {names[i], SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

const SecretSchema* OtherSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.example.Other";
        s.attributes[0] = {"program", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

// The keyring as another program of the session sees it.
class OtherClient {
public:
    OtherClient() {
        m_service = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr,
                                             SECRET_SERVICE_OPEN_SESSION, nullptr, nullptr);
    }
    ~OtherClient() {
        if (m_service)
            g_object_unref(m_service);
    }
    // The secret held under exactly these attributes, or "<none>".
    std::string Holds(const SecretSchema* schema,
                      const std::vector<std::pair<const char*, std::string>>& attributes) {
        GHashTable* table = Table(attributes);
        SecretValue* value =
            m_service ? secret_service_lookup_sync(m_service, schema, table, nullptr, nullptr)
                      : nullptr;
        g_hash_table_unref(table);
        if (!value)
            return "<none>";
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        std::string result(bytes, length);
        secret_value_unref(value);
        return result;
    }
    // How many items these attributes find.
    int Count(const SecretSchema* schema,
              const std::vector<std::pair<const char*, std::string>>& attributes) {
        GHashTable* table = Table(attributes);
        GList* items = m_service ? secret_service_search_sync(m_service, schema, table,
                                                              SECRET_SEARCH_ALL, nullptr, nullptr)
                                 : nullptr;
        g_hash_table_unref(table);
        int count = static_cast<int>(g_list_length(items));
        g_list_free_full(items, g_object_unref);
        return count;
    }
    // Locks the default collection, as the user may.
    bool LockDefault() {
        SecretCollection* collection =
            m_service ? secret_collection_for_alias_sync(m_service, "default",
                                                         SECRET_COLLECTION_NONE, nullptr, nullptr)
                      : nullptr;
        if (!collection)
            return false;
        GList* objects = g_list_append(nullptr, collection);
        gint locked = secret_service_lock_sync(m_service, objects, nullptr, nullptr, nullptr);
        g_list_free(objects);
        g_object_unref(collection);
        return locked == 1;
    }
    bool Store(const SecretSchema* schema,
               const std::vector<std::pair<const char*, std::string>>& attributes,
               const std::string& secret) {
        GHashTable* table = Table(attributes);
        SecretValue* value = secret_value_new(secret.c_str(), -1, "text/plain");
        bool stored = m_service && secret_service_store_sync(m_service, schema, table, "default",
                                                             "other", value, nullptr, nullptr);
        secret_value_unref(value);
        g_hash_table_unref(table);
        return stored;
    }

private:
    SecretService* m_service = nullptr;
    static GHashTable* Table(const std::vector<std::pair<const char*, std::string>>& attributes) {
        GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
        for (const auto& [name, value] : attributes)
            g_hash_table_insert(table, const_cast<char*>(name), g_strdup(value.c_str()));
        return table;
    }
};

std::string KeyringHolds(const SecretSchema* schema,
                         const std::vector<std::pair<const char*, std::string>>& attributes) {
    return OtherClient().Holds(schema, attributes);
}

// A temporary store, a session bus of the test's own and, when asked for, a
// keyring on it. The process under test talks to that bus only.
class KeyringTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string registry;
    std::string address;
    std::unique_ptr<Child> bus, keyringDaemon, silent;

    void SetUp() override {
        registry = dir.path() + "/registry.db";
        setenv("ORVANE_REGISTRY", registry.c_str(), 1);
        reg::RegResetStore();
        for (const char* sub : {"/home", "/run", "/data"})
            fs::create_directories(dir.path() + sub);
        chmod((dir.path() + "/run").c_str(), 0700);
    }
    void TearDown() override {
        // The connection goes before the bus does.
        keyring::Reset();
        silent.reset();
        keyringDaemon.reset();
        bus.reset();
        reg::RegSetBusyTimeout(15000);
        reg::RegResetStore();
        unsetenv("ORVANE_REGISTRY");
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    std::map<std::string, std::string> ChildEnv() const {
        return {{"DBUS_SESSION_BUS_ADDRESS", address},
                {"HOME", dir.path() + "/home"},
                {"XDG_DATA_HOME", dir.path() + "/home/.local/share"},
                {"XDG_CONFIG_HOME", dir.path() + "/home/.config"},
                {"XDG_RUNTIME_DIR", dir.path() + "/run"}};
    }
    // A session bus that starts no service on demand.
    void StartBus() {
        std::string config = dir.path() + "/bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:dir="
            << dir.path() << "/run</listen><auth>EXTERNAL</auth>"
            << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        bus = std::make_unique<Child>(std::vector<std::string>{"dbus-daemon", "--nofork",
                                                               "--config-file=" + config,
                                                               "--print-address=1"},
                                      std::map<std::string, std::string>{});
        ASSERT_TRUE(bus->Running()) << "dbus-daemon";
        address = bus->ReadLine();
        ASSERT_FALSE(address.empty()) << "dbus-daemon gave no address";
        UseBus(address);
    }
    void UseBus(const std::string& where) {
        address = where;
        setenv("DBUS_SESSION_BUS_ADDRESS", where.c_str(), 1);
        keyring::Reset();
    }
    // gnome-keyring-daemon with a fresh login keyring, unlocked.
    void StartKeyring() {
        StartBus();
        keyringDaemon =
            std::make_unique<Child>(std::vector<std::string>{"gnome-keyring-daemon", "--foreground",
                                                             "--unlock", "--components=secrets"},
                                    ChildEnv());
        ASSERT_TRUE(keyringDaemon->Running()) << "gnome-keyring-daemon";
        keyringDaemon->Write("known keyring password");
        keyringDaemon->CloseInput();
        ASSERT_TRUE(WaitForOwner(address, "org.freedesktop.secrets", std::chrono::seconds(20)))
            << "the keyring did not come up";
    }
    void StartSilentKeyring() {
        StartBus();
        silent = std::make_unique<Child>(std::vector<std::string>{SILENT_SECRETS_PATH}, ChildEnv());
        ASSERT_EQ(silent->ReadLine(), "ready");
    }
    std::string Raw(const std::string& site, const char* value) {
        reg::HKEY k = nullptr;
        if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvane\\" + site).c_str(),
                              reg::KEY_READ, &k) != reg::REG_OK)
            return "<no site>";
        std::string buf(1000, '\0');
        reg::DWORD size = 1000;
        reg::LONG rc = reg::RegQueryValueEx(k, value, nullptr,
                                            reinterpret_cast<unsigned char*>(buf.data()), &size);
        reg::RegCloseKey(k);
        if (rc != reg::REG_OK)
            return "<absent>";
        buf.resize(size);
        return buf.substr(0, buf.find('\0'));
    }
    // A site as the store held it before the keyring: its password in its key.
    void WriteOldSite(const std::string& name, const std::string& host,
                      const std::string& password) {
        ASSERT_TRUE(CreateSite(name));
        reg::HKEY k = nullptr;
        ASSERT_EQ(reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, ("SOFTWARE\\Orvane\\" + name).c_str(),
                                    reg::KEY_ALL_ACCESS, &k),
                  reg::REG_OK);
        for (auto [value, text] : {std::pair<const char*, std::string>{"HOST NAME", host},
                                   {"USER NAME", "olduser"},
                                   {"PASSWORD", password}}) {
            std::string data = text;
            data.resize(100, '\0');
            reg::RegSetValueEx(k, value, reg::REG_EXPAND_SZ, data.data(), 100);
        }
        reg::RegCloseKey(k);
    }
    bool FileHolds(const std::string& text) {
        return Slurp(registry).find(text) != std::string::npos;
    }
};

struct SiteCase {
    const char* name;
    std::string site;
    std::string password;
    std::string attribute; // the site as the item names it
};

class KeyringSiteTest : public KeyringTest, public ::testing::WithParamInterface<SiteCase> {};

TEST_P(KeyringSiteTest, APasswordFollowsItsSiteThroughSaveRenameAndDeleteAndNeverReachesTheFile) {
    const SiteCase& c = GetParam();
    StartKeyring();
    ASSERT_TRUE(keyring::Available()) << keyring::UnavailableReason();
    ASSERT_TRUE(CreateSite(c.site));
    ASSERT_TRUE(SaveSite(c.site, "me", "ftp.example.net", "", c.password, "2121", "/l", "/r", "c"));
    EXPECT_EQ(Raw(c.site, "PASSWORD"), "<absent>") << "the key holds no password";
    EXPECT_EQ(LoadSite(c.site).password, c.password);
    // One item, named by the program, the site (as the store compares it), host, port and user.
    EXPECT_EQ(KeyringHolds(SiteSchema(), {{"program", "Orvane"},
                                          {"site", c.attribute},
                                          {"host", "ftp.example.net"},
                                          {"port", "2121"},
                                          {"user", "me"}}),
              c.password);
    EXPECT_FALSE(FileHolds(c.password));

    // Saved again under another host: still one item, with the new host.
    std::string second = c.password + "-2";
    ASSERT_TRUE(SaveSite(c.site, "me", "other.example.net", "", second, "21", "/l", "/r", "c"));
    EXPECT_EQ(LoadSite(c.site).password, second);
    EXPECT_EQ(KeyringHolds(SiteSchema(), {{"program", "Orvane"}, {"host", "ftp.example.net"}}),
              "<none>");

    // Renamed: the item moves with the site.
    std::string renamed = c.site + " renamed";
    std::string third = c.password + "-3";
    ASSERT_TRUE(RenameSite(c.site, renamed, "you", "other.example.net", renamed, third, "21"));
    EXPECT_EQ(LoadSite(renamed).password, third);
    std::string left;
    EXPECT_EQ(keyring::Lookup(c.site, &left), keyring::Result::NotFound);
    EXPECT_EQ(Raw(renamed, "PASSWORD"), "<absent>");
    EXPECT_FALSE(FileHolds(c.password)); // every password so far is a prefix of the first
    EXPECT_FALSE(FileHolds(third));

    // Saved with no password: no item.
    ASSERT_TRUE(SaveSite(renamed, "you", "h", "", "", "21", "/l", "/r", "c"));
    EXPECT_EQ(keyring::Lookup(renamed, &left), keyring::Result::NotFound);
    EXPECT_EQ(LoadSite(renamed).password, "");

    // Deleted: no item.
    ASSERT_TRUE(SaveSite(renamed, "you", "h", "", third, "21", "/l", "/r", "c"));
    ASSERT_EQ(keyring::Lookup(renamed, &left), keyring::Result::Done);
    ASSERT_TRUE(DeleteSite(renamed));
    EXPECT_EQ(keyring::Lookup(renamed, &left), keyring::Result::NotFound);
    EXPECT_FALSE(FileHolds(c.password));
}

INSTANTIATE_TEST_SUITE_P(
    Sites, KeyringSiteTest,
    ::testing::Values(SiteCase{"Plain", "Work", "s3cret-of-Work", "work"},
                      // Bytes that are not UTF-8 in the name and in the password.
                      SiteCase{"NotUtf8", "Caf\xE9 Site", "p\xE4ss\xF0\x9F\x94\x91-word",
                               "caf\\xE9 site"}),
    [](const auto& info) { return info.param.name; });

TEST_F(KeyringTest, PasswordsOfAnOlderStoreMoveToTheKeyringAndLeaveNoTraceInTheFile) {
    WriteOldSite("Alpha", "alpha.example.net", "alpha-old-password");
    WriteOldSite("beta", "beta.example.net", "beta-old-password");
    ASSERT_TRUE(CreateSite("Empty"));
    ASSERT_TRUE(FileHolds("alpha-old-password"));
    StartKeyring();

    PasswordMove move = MovePasswordsToKeyring();
    EXPECT_TRUE(move.keyring);
    EXPECT_EQ(move.moved, (std::vector<std::string>{"Alpha", "beta"}));
    EXPECT_TRUE(move.failed.empty());
    EXPECT_EQ(PasswordMoveLines(move),
              (std::vector<std::string>{
                  "Site passwords are kept in the desktop keyring.",
                  "Moved 2 passwords from the settings store to the desktop keyring."}));
    EXPECT_EQ(Raw("Alpha", "PASSWORD"), "<absent>");
    EXPECT_EQ(Raw("Empty", "PASSWORD"), "");
    EXPECT_FALSE(FileHolds("alpha-old-password"));
    EXPECT_FALSE(FileHolds("beta-old-password"));
    EXPECT_EQ(LoadSite("alpha").password, "alpha-old-password");
    EXPECT_EQ(LoadSite("Beta").password, "beta-old-password");
    EXPECT_EQ(
        KeyringHolds(
            SiteSchema(),
            {{"site", "beta"}, {"host", "beta.example.net"}, {"user", "olduser"}, {"port", "21"}}),
        "beta-old-password");
    // Nothing is left to move the next time.
    move = MovePasswordsToKeyring();
    EXPECT_TRUE(move.moved.empty());
    EXPECT_EQ(PasswordMoveLines(move).size(), 1u);
}

TEST_F(KeyringTest, AMoveCutShortAfterTheKeyringTookThePasswordEndsWithOneItemNextTime) {
    WriteOldSite("Alpha", "alpha.example.net", "alpha-old-password");
    StartKeyring();
    // The run that stored the item ended before the store lost its value.
    ASSERT_TRUE(OtherClient().Store(SiteSchema(),
                                    {{"program", "Orvane"},
                                     {"site", "alpha"},
                                     {"host", "alpha.example.net"},
                                     {"port", "21"},
                                     {"user", "olduser"}},
                                    "alpha-old-password"));

    PasswordMove move = MovePasswordsToKeyring();
    EXPECT_EQ(move.moved, std::vector<std::string>{"Alpha"});
    EXPECT_EQ(Raw("Alpha", "PASSWORD"), "<absent>");
    EXPECT_FALSE(FileHolds("alpha-old-password"));
    EXPECT_EQ(OtherClient().Count(SiteSchema(), {{"program", "Orvane"}, {"site", "alpha"}}), 1);
    EXPECT_EQ(LoadSite("Alpha").password, "alpha-old-password");
}

TEST_F(KeyringTest, APasswordThatCannotLeaveTheStoreStaysThereAndIsReportedOnce) {
    WriteOldSite("Alpha", "alpha.example.net", "alpha-old-password");
    StartKeyring();
    // Another program holds the store for writing: the value cannot be removed.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(registry.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
    reg::RegSetBusyTimeout(50);
    PasswordMove move = MovePasswordsToKeyring();
    sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(other);

    EXPECT_TRUE(move.moved.empty());
    ASSERT_EQ(move.failed.size(), 1u);
    std::vector<std::string> lines = PasswordMoveLines(move);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("The password of site \"Alpha\" could not be moved to the desktop "
                             "keyring and stays in the settings store (",
                             0),
              0u)
        << lines[1];
    for (const std::string& line : lines)
        EXPECT_EQ(line.find("alpha-old-password"), std::string::npos) << line;
    // It stays in one place: the store.
    EXPECT_EQ(Raw("Alpha", "PASSWORD"), "alpha-old-password");
    std::string found;
    EXPECT_EQ(keyring::Lookup("Alpha", &found), keyring::Result::NotFound);
    EXPECT_EQ(LoadSite("Alpha").password, "alpha-old-password");

    // Once the store is free, it moves.
    move = MovePasswordsToKeyring();
    EXPECT_EQ(move.moved, std::vector<std::string>{"Alpha"});
    EXPECT_FALSE(FileHolds("alpha-old-password"));
}

struct AbsentCase {
    const char* name;
    enum { kNoBus, kBusOnly, kLocked } setting;
    const char* reason; // what the log gives as the reason
};

class NoKeyringTest : public KeyringTest, public ::testing::WithParamInterface<AbsentCase> {};

TEST_P(NoKeyringTest, WithoutAKeyringPasswordsStayInTheStoreAndTheLogSaysWhereOnce) {
    switch (GetParam().setting) {
    case AbsentCase::kNoBus:
        UseBus("unix:path=" + dir.path() + "/run/no-bus-here");
        break;
    case AbsentCase::kBusOnly:
        StartBus();
        break;
    case AbsentCase::kLocked:
        StartKeyring();
        ASSERT_TRUE(OtherClient().LockDefault());
        break;
    }
    WriteOldSite("Alpha", "alpha.example.net", "alpha-old-password");
    PasswordMove move = MovePasswordsToKeyring();
    EXPECT_FALSE(move.keyring);
    EXPECT_TRUE(move.moved.empty());
    EXPECT_TRUE(move.failed.empty());
    std::vector<std::string> lines = PasswordMoveLines(move);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Site passwords are kept in the settings store " + registry +
                                 " (no desktop keyring: " + GetParam().reason,
                             0),
              0u)
        << lines[0];

    ASSERT_TRUE(CreateSite("Beta"));
    ASSERT_TRUE(SaveSite("Beta", "me", "h", "", "beta-password", "21", "/", "/", ""));
    EXPECT_EQ(Raw("Beta", "PASSWORD"), "beta-password");
    EXPECT_EQ(LoadSite("Beta").password, "beta-password");
    ASSERT_TRUE(RenameSite("Beta", "Gamma", "me", "h", "Gamma", "gamma-password", "21"));
    EXPECT_EQ(LoadSite("Gamma").password, "gamma-password");
    EXPECT_EQ(Raw("Alpha", "PASSWORD"), "alpha-old-password");
}

INSTANTIATE_TEST_SUITE_P(
    Absent, NoKeyringTest,
    ::testing::Values(AbsentCase{"NoSessionBus", AbsentCase::kNoBus, ""},
                      AbsentCase{"BusWithoutKeyring", AbsentCase::kBusOnly, ""},
                      AbsentCase{"LockedKeyring", AbsentCase::kLocked, "the keyring is locked"}),
    [](const auto& info) { return info.param.name; });

TEST_F(KeyringTest, AKeyringThatNeverAnswersIsGivenUpAndCountsAsAbsent) {
    StartSilentKeyring();
    ASSERT_TRUE(CreateSite("Alpha"));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SaveSite("Alpha", "me", "h", "", "alpha-password", "21", "/", "/", ""));
    // Given up well before the bus's own 25 seconds for an unanswered call.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(keyring::Available());
    EXPECT_NE(keyring::UnavailableReason().find("did not answer"), std::string::npos)
        << keyring::UnavailableReason();
    EXPECT_EQ(Raw("Alpha", "PASSWORD"), "alpha-password");
    EXPECT_EQ(LoadSite("Alpha").password, "alpha-password");
    PasswordMove move = MovePasswordsToKeyring();
    EXPECT_FALSE(move.keyring);
    EXPECT_EQ(PasswordMoveLines(move).size(), 1u);
}

// What the user does to a site while the keyring cannot be reached (so its
// item cannot be removed), before the keyring is back.
struct AwayCase {
    const char* name;
    void (*change)();
    std::string password; // the site's once the keyring is back
};

class KeyringAwayTest : public KeyringTest, public ::testing::WithParamInterface<AwayCase> {};

TEST_P(KeyringAwayTest, AnItemLeftBehindNeverBecomesANewSitesPasswordNorIsAKeptOneLost) {
    StartKeyring();
    ASSERT_TRUE(CreateSite("Work"));
    ASSERT_TRUE(SaveSite("Work", "me", "work.example.net", "", "work-secret", "21", "/", "/", ""));
    ASSERT_EQ(Raw("Work", "PASSWORD"), "<absent>");
    std::string keyringBus = address;

    UseBus("unix:path=" + dir.path() + "/run/no-bus-here");
    ASSERT_FALSE(keyring::Available());
    GetParam().change();
    ASSERT_EQ(LoadSite("Work").password, "");

    UseBus(keyringBus);
    ASSERT_TRUE(keyring::Available()) << keyring::UnavailableReason();
    EXPECT_EQ(LoadSite("Work").password, GetParam().password);
    PasswordMove move = MovePasswordsToKeyring();
    EXPECT_TRUE(move.moved.empty());
    EXPECT_EQ(LoadSite("Work").password, GetParam().password);
}

INSTANTIATE_TEST_SUITE_P(
    Away, KeyringAwayTest,
    ::testing::Values(
        // Saved from the dialog, which could show no password: the keyring keeps it.
        AwayCase{"SavedShowingNoPassword",
                 [] {
                     ASSERT_TRUE(
                         SaveSite("Work", "me", "work.example.net", "", "", "2121", "/", "/", ""));
                 },
                 "work-secret"},
        AwayCase{"DeletedAndMadeAgainForAnotherHost",
                 [] {
                     ASSERT_TRUE(DeleteSite("Work"));
                     ASSERT_TRUE(CreateSite("work"));
                     ASSERT_TRUE(SaveSite("work", "anonymous", "elsewhere.example.org", "", "",
                                          "21", "/", "/", ""));
                 },
                 ""},
        AwayCase{"RenamedAndTheNameUsedAgain",
                 [] {
                     ASSERT_TRUE(
                         RenameSite("Work", "Home", "me", "work.example.net", "Home", "", "21"));
                     ASSERT_TRUE(CreateSite("WORK"));
                 },
                 ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(KeyringTest, ASiteRenamedToAnotherCaseKeepsOneItemThatItsDeletionUnderAnyCaseRemoves) {
    StartKeyring();
    ASSERT_TRUE(CreateSite("Alpha"));
    ASSERT_TRUE(SaveSite("Alpha", "me", "h", "", "alpha-secret", "21", "/", "/", ""));
    ASSERT_TRUE(CreateSite("Beta"));
    ASSERT_TRUE(SaveSite("Beta", "me", "h", "", "beta-secret", "21", "/", "/", ""));

    ASSERT_TRUE(RenameSite("Alpha", "ALPHA", "me", "h", "ALPHA", "alpha-secret-2", "21"));
    EXPECT_EQ(ListSites(), (std::vector<std::string>{"ALPHA", "Beta"}));
    EXPECT_EQ(LoadSite("alpha").password, "alpha-secret-2");
    EXPECT_EQ(KeyringHolds(SiteSchema(), {{"program", "Orvane"}, {"site", "alpha"}}),
              "alpha-secret-2");
    EXPECT_EQ(Raw("ALPHA", "PASSWORD"), "<absent>");

    ASSERT_TRUE(DeleteSite("aLpHa"));
    std::string found;
    EXPECT_EQ(keyring::Lookup("Alpha", &found), keyring::Result::NotFound);
    EXPECT_EQ(LoadSite("BETA").password, "beta-secret");
}

TEST_F(KeyringTest, AKeyringThatStopsAnsweringMidRunLeavesTheSavedPasswordInTheStore) {
    StartKeyring();
    ASSERT_TRUE(CreateSite("Work"));
    ASSERT_TRUE(SaveSite("Work", "me", "h", "", "first-secret", "21", "/", "/", ""));
    ASSERT_EQ(Raw("Work", "PASSWORD"), "<absent>");

    keyringDaemon->Signal(SIGSTOP);
    bool saved = SaveSite("Work", "me", "h", "", "second-secret", "21", "/", "/", "");
    bool available = keyring::Available();
    std::string loaded = LoadSite("Work").password;
    keyringDaemon->Signal(SIGCONT);
    EXPECT_TRUE(saved);
    EXPECT_FALSE(available);
    EXPECT_EQ(Raw("Work", "PASSWORD"), "second-secret");
    EXPECT_EQ(loaded, "second-secret");

    // The next run finds the keyring again (once it has worked off the
    // requests that came while it was stopped): the store's password is the
    // site's, and moves there in place of the older one.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do
        UseBus(address);
    while (!keyring::Available() && std::chrono::steady_clock::now() < until);
    ASSERT_TRUE(keyring::Available()) << keyring::UnavailableReason();
    EXPECT_EQ(LoadSite("Work").password, "second-secret");
    EXPECT_EQ(MovePasswordsToKeyring().moved, std::vector<std::string>{"Work"});
    EXPECT_EQ(Raw("Work", "PASSWORD"), "<absent>");
    EXPECT_EQ(LoadSite("Work").password, "second-secret");
    EXPECT_FALSE(FileHolds("second-secret"));
}

TEST_F(KeyringTest, UninstallingRemovesTheProgramsKeyringItemsAndNoOtherProgramsOnes) {
    StartKeyring();
    ASSERT_TRUE(CreateSite("Alpha"));
    ASSERT_TRUE(SaveSite("Alpha", "me", "h", "", "alpha-password", "21", "/", "/", ""));
    ASSERT_TRUE(CreateSite("Beta"));
    ASSERT_TRUE(SaveSite("Beta", "me", "h", "", "beta-password", "21", "/", "/", ""));
    ASSERT_TRUE(OtherClient().Store(OtherSchema(), {{"program", "Other"}}, "other-password"));

    setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    fs::create_directories(dir.path() + "/data/applications/Orvane");
    fs::create_directories(dir.path() + "/uninstaller");
    fs::copy_file(TOLLIN_PATH, dir.path() + "/uninstaller/libTollin.so");
    CUninstaller u;
    std::string log;
    u.m_strLibraryDir = dir.path() + "/uninstaller";
    u.m_nPauseMs = 0;
    u.m_log = [&log](const std::string& text) { log += text; };
    ASSERT_TRUE(u.Run());
    unsetenv("XDG_DATA_HOME");

    EXPECT_EQ(log.rfind("Removing Registry Entries\r\nRemoving Start Menu Entries\r\n", 0), 0u)
        << log;
    std::string found;
    EXPECT_EQ(keyring::Lookup("Alpha", &found), keyring::Result::NotFound);
    EXPECT_EQ(keyring::Lookup("Beta", &found), keyring::Result::NotFound);
    EXPECT_EQ(KeyringHolds(OtherSchema(), {{"program", "Other"}}), "other-password");
    EXPECT_TRUE(ListSites().empty());
}

TEST_F(KeyringTest, UninstallingWithoutAKeyringRemovesTheSitesAndSaysNothingOfOne) {
    UseBus("unix:path=" + dir.path() + "/run/no-bus-here");
    WriteOldSite("Alpha", "alpha.example.net", "alpha-old-password");

    setenv("XDG_DATA_HOME", (dir.path() + "/data").c_str(), 1);
    fs::create_directories(dir.path() + "/data/applications/Orvane");
    fs::create_directories(dir.path() + "/uninstaller");
    fs::copy_file(TOLLIN_PATH, dir.path() + "/uninstaller/libTollin.so");
    CUninstaller u;
    std::string log;
    u.m_strLibraryDir = dir.path() + "/uninstaller";
    u.m_nPauseMs = 0;
    u.m_log = [&log](const std::string& text) { log += text; };
    EXPECT_TRUE(u.Run());
    unsetenv("XDG_DATA_HOME");

    EXPECT_EQ(log.find("keyring"), std::string::npos) << log;
    EXPECT_TRUE(ListSites().empty());
    EXPECT_FALSE(FileHolds("alpha-old-password"));
}

} // namespace
