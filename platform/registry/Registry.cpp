#include "platform/registry/Registry.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace reg {

struct Key {
    sqlite3_int64 id;
    bool writable;
    bool hive;
    unsigned generation;
};

namespace {

Key g_localMachine{1, true, true, 0};
std::atomic<int> g_busyTimeoutMs{15000};
Key g_currentUser{2, true, true, 0};

// Key and value names compare as the Windows registry compares them: ASCII
// letters folded to upper case, everything else by byte value.
std::string Fold(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

const char* kSchema = "CREATE TABLE IF NOT EXISTS keys("
                      "  id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
                      "  name TEXT NOT NULL, uname TEXT NOT NULL, UNIQUE(parent, uname));"
                      "CREATE TABLE IF NOT EXISTS vals("
                      "  key INTEGER NOT NULL, name TEXT NOT NULL, uname TEXT NOT NULL,"
                      "  type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, uname));"
                      "INSERT OR IGNORE INTO keys(id, parent, name, uname) VALUES"
                      "  (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),"
                      "  (2, 0, 'HKEY_CURRENT_USER', 'HKEY_CURRENT_USER');"
                      // Keys every machine has.
                      "INSERT OR IGNORE INTO keys(id, parent, name, uname) VALUES"
                      "  (3, 1, 'SOFTWARE', 'SOFTWARE'), (4, 2, 'Software', 'SOFTWARE');";

// A prepared statement that finalizes itself.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool Ok() const { return m_stmt != nullptr; }
    Stmt& Bind(int i, sqlite3_int64 v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v) {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& BindBlob(int i, const void* p, int n) {
        // A zero-length blob must still be a blob, not NULL.
        if (n == 0)
            sqlite3_bind_zeroblob(m_stmt, i, 0);
        else
            sqlite3_bind_blob(m_stmt, i, p, n, SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return m_stmt ? sqlite3_step(m_stmt) : SQLITE_ERROR; }
    sqlite3_stmt* Get() { return m_stmt; }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

class Store {
public:
    std::recursive_mutex mutex;

    // Returns the open database, or null when the store cannot be used.
    sqlite3* Db() {
        // A process that points the store elsewhere ($ORVANE_REGISTRY) gets
        // the other file from then on; handles of the old one become invalid.
        if (m_tried && RegistryPath() != m_path)
            Reset();
        if (!m_tried)
            Open();
        return m_db;
    }
    unsigned Generation() const { return m_generation; }
    sqlite3* OpenDb() const { return m_db; }

    void Reset() {
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
        m_tried = false;
        ++m_generation;
        g_localMachine.generation = m_generation;
        g_currentUser.generation = m_generation;
    }

private:
    sqlite3* m_db = nullptr;
    bool m_tried = false;
    unsigned m_generation = 0;
    std::string m_path;

    void Fail(const std::string& path, const std::string& why) {
        std::fprintf(stderr,
                     "orvane: the settings store %s cannot be used (%s); sites and settings "
                     "will not be read or kept in this run.\n",
                     path.c_str(), why.c_str());
        if (m_db)
            sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    void Open() {
        m_tried = true;
        std::string path = RegistryPath();
        m_path = path;
        // Create the folder and the file ourselves so the file is never readable
        // by others: it holds passwords.
        size_t slash = path.find_last_of('/');
        std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
        for (size_t pos = 1; !dir.empty() && pos != std::string::npos;) {
            pos = dir.find('/', pos + 1);
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                Fail(path,
                     std::string("cannot create folder ") + part + ": " + std::strerror(errno));
                return;
            }
        }
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EACCES && ::access(path.c_str(), R_OK) == 0) {
            // A file we may read but not write: settings are shown, changes fail.
            flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX;
            std::fprintf(stderr,
                         "orvane: the settings store %s is read-only; changes will "
                         "not be kept.\n",
                         path.c_str());
        } else if (fd < 0) {
            Fail(path, std::strerror(errno));
            return;
        } else {
            ::close(fd);
        }
        if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
            Fail(path, m_db ? sqlite3_errmsg(m_db) : "out of memory");
            return;
        }
        sqlite3_busy_timeout(m_db, g_busyTimeoutMs.load());
        // What a write deletes or replaces (an old password) is overwritten
        // with zeros, not left in the file's free space.
        sqlite3_exec(m_db, "PRAGMA secure_delete = ON;", nullptr, nullptr, nullptr);
        if (flags & SQLITE_OPEN_READONLY) {
            Stmt probe(m_db, "SELECT count(*) FROM keys, vals LIMIT 1");
            if (!probe.Ok() || probe.Step() != SQLITE_ROW)
                Fail(path, sqlite3_errmsg(m_db));
            return;
        }
        char* err = nullptr;
        if (sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, &err) != SQLITE_OK ||
            sqlite3_exec(m_db, kSchema, nullptr, nullptr, &err) != SQLITE_OK ||
            sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, &err) != SQLITE_OK) {
            std::string why = err ? err : sqlite3_errmsg(m_db);
            sqlite3_free(err);
            Fail(path, why);
            return;
        }
    }
};

Store& TheStore() {
    static Store store;
    return store;
}

// Runs statements as one write transaction; rolls back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : m_db(db) {
        m_ok = sqlite3_exec(m_db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (m_ok && !m_done)
            sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    bool Ok() const { return m_ok; }
    bool Commit() {
        m_done = true;
        return sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

private:
    sqlite3* m_db;
    bool m_ok = false;
    bool m_done = false;
};

std::vector<std::string> SplitPath(const char* path, bool* valid) {
    std::vector<std::string> parts;
    *valid = true;
    if (!path)
        return parts;
    std::string p(path);
    if (!p.empty() && p.back() == '\\')
        p.pop_back();
    if (p.empty())
        return parts;
    size_t start = 0;
    while (true) {
        size_t end = p.find('\\', start);
        std::string part =
            p.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty())
            *valid = false;
        parts.push_back(part);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

bool KeyExists(sqlite3* db, sqlite3_int64 id) {
    Stmt s(db, "SELECT 1 FROM keys WHERE id = ?");
    return s.Bind(1, id).Step() == SQLITE_ROW;
}

// Finds the child `name` of `parent`; 0 when absent.
sqlite3_int64 FindChild(sqlite3* db, sqlite3_int64 parent, const std::string& name) {
    Stmt s(db, "SELECT id FROM keys WHERE parent = ? AND uname = ?");
    s.Bind(1, parent).Bind(2, Fold(name));
    if (s.Step() == SQLITE_ROW)
        return sqlite3_column_int64(s.Get(), 0);
    return 0;
}

LONG CheckHandle(HKEY key, Store& store) {
    store.Db(); // follows a change of $ORVANE_REGISTRY before the handle is judged
    if (!key)
        return REG_ERR_INVALID_HANDLE;
    if (key->generation != store.Generation())
        return REG_ERR_INVALID_HANDLE;
    return REG_OK;
}

HKEY NewHandle(sqlite3_int64 id, bool writable, Store& store) {
    return new Key{id, writable, false, store.Generation()};
}

bool IsWriteAccess(DWORD access) {
    return (access & 0x6) != 0; // KEY_SET_VALUE | KEY_CREATE_SUB_KEY
}

} // namespace

const HKEY HKEY_LOCAL_MACHINE = &g_localMachine;
const HKEY HKEY_CURRENT_USER = &g_currentUser;

namespace {
// A relative $ORVANE_REGISTRY is taken in the folder current when it is first
// used, so a later change of folder does not move the store.
std::mutex g_pathMutex;
std::string g_relativeGiven, g_relativeResolved;
} // namespace

std::string RegistryPath() {
    if (const char* p = std::getenv("ORVANE_REGISTRY"); p && *p) {
        if (*p == '/')
            return p;
        std::lock_guard lock(g_pathMutex);
        if (g_relativeResolved.empty() || g_relativeGiven != p) {
            char cwd[PATH_MAX];
            if (!getcwd(cwd, sizeof cwd))
                return p; // the folder is gone: opened relative to it, as given
            g_relativeGiven = p;
            g_relativeResolved = std::string(cwd) + (cwd[1] ? "/" : "") + p;
        }
        return g_relativeResolved;
    }
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        base = x;
    else if (const char* h = std::getenv("HOME"); h && *h)
        base = std::string(h) + "/.config";
    else
        base = "/tmp";
    return base + "/orvane/registry.db";
}

void RegResetStore() {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    store.Reset();
    std::lock_guard pathLock(g_pathMutex);
    g_relativeResolved.clear();
}

void RegSetBusyTimeout(int ms) {
    g_busyTimeoutMs = ms;
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (sqlite3* db = store.OpenDb())
        sqlite3_busy_timeout(db, ms);
}

StoreState RegStoreState(int timeoutMs) {
    std::string path = RegistryPath();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? StoreState::Missing : StoreState::Unusable;
    if (!S_ISREG(st.st_mode))
        return StoreState::Unusable;
    // A connection of its own that never creates the file; the try to write
    // is rolled back.
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return ::access(path.c_str(), R_OK) == 0 ? StoreState::ReadOnly : StoreState::Unusable;
    }
    sqlite3_busy_timeout(db, timeoutMs);
    StoreState state = StoreState::Writable;
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        Stmt probe(db, "SELECT count(*) FROM keys, vals LIMIT 1");
        if (!probe.Ok() || probe.Step() != SQLITE_ROW)
            state = StoreState::Unusable;
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    } else if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
        state = StoreState::Busy;
    } else if (rc == SQLITE_READONLY || rc == SQLITE_CANTOPEN || rc == SQLITE_PERM) {
        state = StoreState::ReadOnly;
    } else {
        state = StoreState::Unusable;
    }
    sqlite3_close_v2(db);
    return state;
}

LONG RegOpenKeyEx(HKEY parent, const char* path, DWORD access, HKEY* result) {
    if (!result)
        return REG_ERR_INVALID_PARAM;
    *result = nullptr;
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(parent, store); rc != REG_OK)
        return rc;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_NOT_FOUND;
    bool valid;
    std::vector<std::string> parts = SplitPath(path, &valid);
    if (!valid)
        return REG_ERR_NOT_FOUND;
    sqlite3_int64 id = parent->id;
    if (!KeyExists(db, id))
        return REG_ERR_NOT_FOUND;
    for (const std::string& part : parts) {
        id = FindChild(db, id, part);
        if (id == 0)
            return REG_ERR_NOT_FOUND;
    }
    *result = NewHandle(id, IsWriteAccess(access), store);
    return REG_OK;
}

LONG RegCreateKeyEx(HKEY parent, const char* path, DWORD access, HKEY* result) {
    if (!result)
        return REG_ERR_INVALID_PARAM;
    *result = nullptr;
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(parent, store); rc != REG_OK)
        return rc;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_STORE;
    bool valid;
    std::vector<std::string> parts = SplitPath(path, &valid);
    if (!valid)
        return REG_ERR_INVALID_PARAM;
    Transaction txn(db);
    if (!txn.Ok())
        return REG_ERR_STORE;
    sqlite3_int64 id = parent->id;
    if (!KeyExists(db, id))
        return REG_ERR_NOT_FOUND;
    for (const std::string& part : parts) {
        sqlite3_int64 child = FindChild(db, id, part);
        if (child == 0) {
            Stmt ins(db, "INSERT INTO keys(parent, name, uname) VALUES(?, ?, ?)");
            if (ins.Bind(1, id).Bind(2, part).Bind(3, Fold(part)).Step() != SQLITE_DONE)
                return REG_ERR_STORE;
            child = sqlite3_last_insert_rowid(db);
        }
        id = child;
    }
    if (!txn.Commit())
        return REG_ERR_STORE;
    *result = NewHandle(id, IsWriteAccess(access) || access == 0, store);
    return REG_OK;
}

LONG RegQueryValueEx(HKEY key, const char* name, DWORD* type, unsigned char* data, DWORD* cbData) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(key, store); rc != REG_OK)
        return rc;
    if (data && !cbData)
        return REG_ERR_INVALID_PARAM;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_NOT_FOUND;
    Stmt s(db, "SELECT type, data FROM vals WHERE key = ? AND uname = ?");
    s.Bind(1, key->id).Bind(2, Fold(name ? name : ""));
    if (s.Step() != SQLITE_ROW)
        return REG_ERR_NOT_FOUND;
    DWORD storedType = static_cast<DWORD>(sqlite3_column_int64(s.Get(), 0));
    const void* blob = sqlite3_column_blob(s.Get(), 1);
    DWORD size = static_cast<DWORD>(sqlite3_column_bytes(s.Get(), 1));
    if (type)
        *type = storedType;
    if (!data) {
        if (cbData)
            *cbData = size;
        return REG_OK;
    }
    if (*cbData < size) {
        *cbData = size;
        return REG_ERR_MORE_DATA;
    }
    if (size)
        std::memcpy(data, blob, size);
    *cbData = size;
    return REG_OK;
}

LONG RegSetValueEx(HKEY key, const char* name, DWORD type, const void* data, DWORD cbData) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(key, store); rc != REG_OK)
        return rc;
    if (!key->writable)
        return REG_ERR_ACCESS_DENIED;
    if (!data && cbData)
        return REG_ERR_INVALID_PARAM;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_STORE;
    Transaction txn(db);
    if (!txn.Ok())
        return REG_ERR_STORE;
    if (!KeyExists(db, key->id))
        return REG_ERR_INVALID_HANDLE;
    std::string n = name ? name : "";
    Stmt s(db, "INSERT OR REPLACE INTO vals(key, name, uname, type, data) VALUES(?, ?, ?, ?, ?)");
    s.Bind(1, key->id).Bind(2, n).Bind(3, Fold(n)).Bind(4, type);
    s.BindBlob(5, data, static_cast<int>(cbData));
    if (s.Step() != SQLITE_DONE)
        return REG_ERR_STORE;
    return txn.Commit() ? REG_OK : REG_ERR_STORE;
}

LONG RegEnumKey(HKEY key, DWORD index, char* name, DWORD cbName) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(key, store); rc != REG_OK)
        return rc;
    if (!name)
        return REG_ERR_INVALID_PARAM;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_NO_MORE_ITEMS;
    // A row without a name (a store made or damaged by another tool) is no
    // key that can be listed; it is passed over.
    Stmt s(db, "SELECT name FROM keys WHERE parent = ? AND name IS NOT NULL "
               "ORDER BY uname, name LIMIT 1 OFFSET ?");
    s.Bind(1, key->id).Bind(2, static_cast<sqlite3_int64>(index));
    if (s.Step() != SQLITE_ROW)
        return REG_ERR_NO_MORE_ITEMS;
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(s.Get(), 0));
    if (!text)
        return REG_ERR_STORE; // out of memory
    size_t len = std::strlen(text);
    if (len + 1 > cbName)
        return REG_ERR_MORE_DATA;
    std::memcpy(name, text, len + 1);
    return REG_OK;
}

LONG RegDeleteKey(HKEY key, const char* path) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(key, store); rc != REG_OK)
        return rc;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_NOT_FOUND;
    bool valid;
    std::vector<std::string> parts = SplitPath(path, &valid);
    if (!valid || parts.empty())
        return REG_ERR_INVALID_PARAM;
    Transaction txn(db);
    if (!txn.Ok())
        return REG_ERR_STORE;
    sqlite3_int64 id = key->id;
    for (const std::string& part : parts) {
        id = FindChild(db, id, part);
        if (id == 0)
            return REG_ERR_NOT_FOUND;
    }
    Stmt children(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    if (children.Bind(1, id).Step() == SQLITE_ROW)
        return REG_ERR_ACCESS_DENIED; // a key with subkeys is not deleted
    Stmt dv(db, "DELETE FROM vals WHERE key = ?");
    Stmt dk(db, "DELETE FROM keys WHERE id = ?");
    if (dv.Bind(1, id).Step() != SQLITE_DONE || dk.Bind(1, id).Step() != SQLITE_DONE)
        return REG_ERR_STORE;
    return txn.Commit() ? REG_OK : REG_ERR_STORE;
}

LONG RegDeleteValue(HKEY key, const char* name) {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    if (LONG rc = CheckHandle(key, store); rc != REG_OK)
        return rc;
    if (!key->writable)
        return REG_ERR_ACCESS_DENIED;
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_NOT_FOUND;
    Stmt s(db, "DELETE FROM vals WHERE key = ? AND uname = ?");
    s.Bind(1, key->id).Bind(2, Fold(name ? name : ""));
    if (s.Step() != SQLITE_DONE)
        return REG_ERR_STORE;
    return sqlite3_changes(db) > 0 ? REG_OK : REG_ERR_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
    if (!key)
        return REG_ERR_INVALID_HANDLE;
    if (key->hive)
        return REG_OK;
    delete key;
    return REG_OK;
}

std::string RegReadText(HKEY root, const char* path, const char* name, DWORD capacity) {
    HKEY key = nullptr;
    if (RegOpenKeyEx(root, path, KEY_READ, &key) != REG_OK)
        return "";
    std::string buffer(capacity, '\0');
    DWORD size = capacity;
    LONG rc =
        RegQueryValueEx(key, name, nullptr, reinterpret_cast<unsigned char*>(buffer.data()), &size);
    RegCloseKey(key);
    if (rc != REG_OK)
        return "";
    buffer.resize(size);
    return buffer.substr(0, buffer.find('\0'));
}

LONG RegCompactStore() {
    Store& store = TheStore();
    std::lock_guard lock(store.mutex);
    sqlite3* db = store.Db();
    if (!db)
        return REG_ERR_STORE;
    return sqlite3_exec(db, "VACUUM;", nullptr, nullptr, nullptr) == SQLITE_OK ? REG_OK
                                                                               : REG_ERR_STORE;
}

std::string RegErrorText(LONG code) {
    switch (code) {
    case REG_OK:
        return "The operation completed successfully.";
    case REG_ERR_NOT_FOUND:
        return "The system cannot find the file specified.";
    case REG_ERR_ACCESS_DENIED:
        return "Access is denied.";
    case REG_ERR_INVALID_HANDLE:
        return "The handle is invalid.";
    case REG_ERR_INVALID_PARAM:
        return "The parameter is incorrect.";
    case REG_ERR_MORE_DATA:
        return "More data is available.";
    case REG_ERR_NO_MORE_ITEMS:
        return "No more data is available.";
    case REG_ERR_STORE:
        return "The settings store " + RegistryPath() + " cannot be written.";
    default:
        return "Unknown error " + std::to_string(code) + ".";
    }
}

} // namespace reg
