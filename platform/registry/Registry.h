// The registry of this system: hives, keys addressed by "\"-separated paths and
// compared without regard to case, typed values holding their exact bytes.
// Everything lives in one SQLite file shared by all of the product's processes.
//
// The functions follow the shape of the registry calls the program is written
// against: every call returns an error code (REG_OK on success) and keys are
// handles that the caller closes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reg {

using LONG = long;
using DWORD = std::uint32_t;

constexpr LONG REG_OK = 0;                  // ERROR_SUCCESS
constexpr LONG REG_ERR_NOT_FOUND = 2;       // ERROR_FILE_NOT_FOUND
constexpr LONG REG_ERR_ACCESS_DENIED = 5;   // ERROR_ACCESS_DENIED
constexpr LONG REG_ERR_INVALID_HANDLE = 6;  // ERROR_INVALID_HANDLE
constexpr LONG REG_ERR_INVALID_PARAM = 87;  // ERROR_INVALID_PARAMETER
constexpr LONG REG_ERR_MORE_DATA = 234;     // ERROR_MORE_DATA
constexpr LONG REG_ERR_NO_MORE_ITEMS = 259; // ERROR_NO_MORE_ITEMS
constexpr LONG REG_ERR_STORE = 1009;        // ERROR_BADDB: the store cannot be used

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;

// Access rights are accepted for fidelity; a key opened for reading refuses writes.
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

struct Key;
using HKEY = Key*;

// The two hives. They are never closed.
extern const HKEY HKEY_LOCAL_MACHINE;
extern const HKEY HKEY_CURRENT_USER;

// Opens an existing key below `parent`. An empty or null path opens `parent` again.
LONG RegOpenKeyEx(HKEY parent, const char* path, DWORD access, HKEY* result);
// Opens a key, creating it and every missing parent.
LONG RegCreateKeyEx(HKEY parent, const char* path, DWORD access, HKEY* result);
// Reads a value. `data` may be null to ask for the size only; *cbData is the
// capacity on entry and the stored size on return. When the value is larger
// than the buffer, REG_ERR_MORE_DATA is returned and nothing is copied.
LONG RegQueryValueEx(HKEY key, const char* name, DWORD* type, unsigned char* data, DWORD* cbData);
// Writes a value with exactly `cbData` bytes.
LONG RegSetValueEx(HKEY key, const char* name, DWORD type, const void* data, DWORD cbData);
// Name of the subkey at `index` in case-insensitive alphabetical order, with its
// NUL, into a buffer of `cbName` bytes. REG_ERR_NO_MORE_ITEMS past the last
// subkey; REG_ERR_MORE_DATA when the name does not fit.
LONG RegEnumKey(HKEY key, DWORD index, char* name, DWORD cbName);
// Deletes a subkey that has no subkeys of its own.
LONG RegDeleteKey(HKEY key, const char* path);
LONG RegDeleteValue(HKEY key, const char* name);
LONG RegCloseKey(HKEY key);

// The text of a value of the key `path`, read with a buffer of `capacity`
// bytes, up to its first NUL; "" when the key or the value is absent.
std::string RegReadText(HKEY root, const char* path, const char* name, DWORD capacity);

// Rewrites the store's file from its live content alone, so that nothing
// deleted or overwritten lingers in its free pages. (Every write already
// overwrites what it deletes with zeros; this also shrinks the file.)
LONG RegCompactStore();

// The store's own message for an error code, for the user.
std::string RegErrorText(LONG code);

// The file in use: $ORVANE_REGISTRY (a relative one taken in the folder current
// at its first use), else $XDG_CONFIG_HOME/orvane/registry.db,
// else ~/.config/orvane/registry.db.
std::string RegistryPath();
// The file in use as found on disk, without opening or creating it for use.
enum class StoreState {
    Missing,  // no file
    Writable, // can be changed now
    Busy,     // another connection holds it for longer than the timeout
    ReadOnly, // may be read, not written
    Unusable, // not a store, or not readable
};
StoreState RegStoreState(int timeoutMs);
// How long a statement waits for another connection's lock (15 s unless set);
// applies to the open store and to every later one of this process.
void RegSetBusyTimeout(int ms);

// Closes the store; the next call opens it again (at the path then in force).
// Open handles become invalid. For tests and for a library being unloaded.
void RegResetStore();

} // namespace reg
