#include "uninstall/Uninstaller.h"

#include "install/Marker.h"
#include "platform/keyring/Keyring.h"
#include "platform/registry/Registry.h"
#include "platform/shell/Shell.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// How long the uninstaller waits for a store another program holds: the
// window stays answerable, and a store still held is reported.
constexpr int kStoreWaitMs = 1000;
// The "PATH" value is read into a buffer of this size, its NUL included.
constexpr reg::DWORD kPathCapacity = 200;

// Folders of the system and of every user's own that no installation is.
const char* const kSystemFolders[] = {
    "/bin",
    "/boot",
    "/dev",
    "/etc",
    "/home",
    "/lib",
    "/lib32",
    "/lib64",
    "/libx32",
    "/media",
    "/mnt",
    "/opt",
    "/proc",
    "/root",
    "/run",
    "/sbin",
    "/srv",
    "/sys",
    "/tmp",
    "/usr",
    "/usr/bin",
    "/usr/include",
    "/usr/lib",
    "/usr/lib32",
    "/usr/lib64",
    "/usr/libexec",
    "/usr/local",
    "/usr/local/bin",
    "/usr/local/lib",
    "/usr/local/share",
    "/usr/local/etc",
    "/usr/local/sbin",
    "/usr/sbin",
    "/usr/share",
    "/usr/src",
    "/var",
    "/var/lib",
    "/var/tmp",
    "/var/log",
    "/usr/share/applications",
    "/usr/local/share/applications",
};

std::string OwnFolder() {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return ".";
    exe[n] = '\0';
    std::string path(exe);
    return path.substr(0, path.rfind('/'));
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

std::string Parent(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The folder with its real path, then every folder above it up to "/".
std::vector<std::string> SelfAndAbove(const std::string& path) {
    std::vector<std::string> folders;
    std::string real = RealPath(path);
    if (real.empty())
        return folders;
    while (true) {
        folders.push_back(real);
        if (real == "/")
            break;
        real = Parent(real);
    }
    return folders;
}

bool Same(const struct stat& st, const std::string& path) {
    struct stat other;
    return ::stat(path.c_str(), &other) == 0 && other.st_dev == st.st_dev &&
           other.st_ino == st.st_ino;
}

std::vector<std::string> HomeFolders() {
    std::vector<std::string> homes;
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        homes.push_back(home);
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
        homes.push_back(pw->pw_dir);
    return homes;
}

// Why the open folder `st` (called `subject` in the reason) is none whose
// contents may be deleted; "" when it may be.
std::string Refusal(const struct stat& st, const std::string& subject, const std::string& kind) {
    if (Same(st, "/"))
        return kind + " is the root folder";
    for (const std::string& home : HomeFolders()) {
        std::vector<std::string> folders = SelfAndAbove(home);
        for (size_t i = 0; i < folders.size(); ++i)
            if (Same(st, folders[i]))
                return subject + (i == 0 ? " is the home folder" : " is above the home folder");
    }
    std::vector<std::string> store = SelfAndAbove(Parent(reg::RegistryPath()));
    for (size_t i = 0; i < store.size(); ++i)
        if (Same(st, store[i]))
            return subject +
                   (i == 0 ? " holds the settings store" : " is above the settings store");
    for (const char* folder : kSystemFolders)
        if (Same(st, folder))
            return subject + " is a system folder";
    return "";
}

// Opens `folder` itself (never a link in its place) and judges it. On
// success returns "" with the descriptor in *fd.
std::string OpenChecked(const std::string& folder, const std::string& subject,
                        const std::string& kind, int* fd) {
    *fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*fd < 0) {
        int err = errno;
        if (err == ENOENT)
            return subject + " does not exist";
        struct stat st;
        if ((err == ELOOP || err == ENOTDIR) && lstat(folder.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode))
            return subject + " is a symbolic link";
        if (err == ENOTDIR)
            return subject + " is not a folder";
        return subject + " cannot be opened (" + std::strerror(err) + ")";
    }
    struct stat st;
    std::string refused =
        fstat(*fd, &st) != 0 ? subject + " cannot be examined" : Refusal(st, subject, kind);
    if (!refused.empty()) {
        ::close(*fd);
        *fd = -1;
    }
    return refused;
}

// Reads a small regular file below `dirFd`, never through a link.
bool ReadSmallFile(int dirFd, const char* name, std::string* text) {
    int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= 65536;
    text->clear();
    char buffer[4096];
    ssize_t n;
    while (ok && (n = ::read(fd, buffer, sizeof buffer)) > 0 && text->size() <= 65536)
        text->append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return ok && text->size() <= 65536;
}

// Opens the recorded installation folder and checks that it is one: it holds
// the program and a marker naming this very folder. On success returns ""
// with the folder open in *fd and the marker's text.
std::string OpenInstallation(const std::string& recorded, int* fd, std::string* markerText) {
    *fd = -1;
    if (recorded.empty())
        return "no installation folder is recorded";
    std::string shown = CUninstaller::ShownName(recorded);
    if (recorded[0] != '/')
        return "the recorded folder " + shown + " is not an absolute path";
    std::string folder = WithoutTrailingSlashes(recorded);
    std::string subject = "the recorded folder " + shown;
    std::string refused = OpenChecked(folder, subject, "the recorded folder", fd);
    if (!refused.empty())
        return refused;
    struct stat st;
    if (fstatat(*fd, "Pondrel1", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        refused = shown + " does not hold an Orvane installation";
    install::Marker marker;
    if (refused.empty() && (!ReadSmallFile(*fd, install::kMarkerFile, markerText) ||
                            !install::ParseMarker(*markerText, &marker) ||
                            WithoutTrailingSlashes(marker.folder) != folder))
        refused = subject + " holds no installation marker naming it";
    if (!refused.empty()) {
        ::close(*fd);
        *fd = -1;
    }
    return refused;
}

std::string Hex(unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[static_cast<size_t>(i)] = kDigits[value & 0xF];
    return out;
}

// Characters that are valid but would break or reorder the log's lines.
bool HidesText(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

} // namespace

CUninstaller::CUninstaller() : m_strLibraryDir(OwnFolder()) {}

std::string CUninstaller::ShownName(const std::string& bytes) {
    std::string out;
    size_t i = 0, n = bytes.size();
    auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < n) {
        unsigned char c = at(i);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                out += "\\x" + Hex(c, 2);
            else if (c == '\\')
                out += "\\\\";
            else
                out += static_cast<char>(c);
            ++i;
            continue;
        }
        // The length of a well-formed sequence and the range of its second byte.
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF)
            len = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0)
                lo = 0xA0;
            if (c == 0xED)
                hi = 0x9F; // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0)
                lo = 0x90;
            if (c == 0xF4)
                hi = 0x8F;
        }
        bool valid = len > 0 && i + len <= n && at(i + 1) >= lo && at(i + 1) <= hi;
        for (size_t k = 2; valid && k < len; ++k)
            valid = (at(i + k) & 0xC0) == 0x80;
        if (!valid) {
            out += "\\x" + Hex(c, 2);
            ++i;
            continue;
        }
        char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (at(i + k) & 0x3F);
        if (HidesText(cp))
            out += "\\u{" + Hex(cp, cp > 0xFF ? 4 : 2) + "}";
        else
            out.append(bytes, i, len);
        i += len;
    }
    return out;
}

std::string CUninstaller::CheckInstallation(const std::string& folder) {
    int fd = -1;
    std::string marker;
    std::string refused = OpenInstallation(folder, &fd, &marker);
    if (fd >= 0)
        ::close(fd);
    return refused;
}

bool CUninstaller::RemoveRegistryEntries(reg::StoreState state) {
    // Loaded by its full name from our own folder only, never from a search path.
    std::string library = m_strLibraryDir + "/libTollin.so";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (m_error)
            m_error("Unable to Load DLL");
    } else {
        using UnRegisterFn = int (*)();
        auto unregister = reinterpret_cast<UnRegisterFn>(dlsym(handle, "UnRegisterApp"));
        if (!unregister) {
            if (m_error)
                m_error("Error Getting DLL Proc Address");
        } else if (state == reg::StoreState::Writable) {
            // A missing store is not created, one that cannot be changed not waited for.
            unregister();
        }
        dlclose(handle);
    }
    // The sites' passwords in the desktop keyring go with the sites.
    bool passwordsLeft = keyring::Available() && keyring::ClearAll() != keyring::Result::Done;
    if (passwordsLeft)
        Log("Passwords in the desktop keyring not removed: the keyring did not remove them.\r\n");
    std::string store = "the settings store " + ShownName(reg::RegistryPath());
    std::string reason;
    switch (state) {
    case reg::StoreState::Missing:
        return !passwordsLeft;
    case reg::StoreState::Busy:
        reason = store + " is in use by another program";
        break;
    case reg::StoreState::ReadOnly:
        reason = store + " cannot be written";
        break;
    case reg::StoreState::Unusable:
        reason = store + " cannot be used";
        break;
    case reg::StoreState::Writable: {
        // What is left is what the library could not remove.
        reg::HKEY product = nullptr;
        if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", reg::KEY_READ,
                              &product) != reg::REG_OK)
            return !passwordsLeft;
        char name[256];
        bool left = reg::RegEnumKey(product, 0, name, sizeof name) != reg::REG_ERR_NO_MORE_ITEMS;
        for (const char* value : {"PATH", "InstallationDate", "URL"}) {
            reg::DWORD size = 0;
            left = left ||
                   reg::RegQueryValueEx(product, value, nullptr, nullptr, &size) == reg::REG_OK;
        }
        reg::RegCloseKey(product);
        if (!left)
            return !passwordsLeft;
        reason = "they are still in " + store;
        break;
    }
    }
    Log("Registry entries not removed: " + reason + ".\r\n");
    return false;
}

bool CUninstaller::Run() {
    std::string apps = shell::ApplicationsFolder();
    if (apps.empty())
        return false;
    std::string menuFolder = apps + "/Orvane";

    // The recorded folder is read before the record goes; a store that does
    // not exist is not created by reading it.
    reg::RegSetBusyTimeout(kStoreWaitMs);
    std::string installDir, pathProblem = "no installation folder is recorded";
    reg::StoreState state = reg::RegStoreState(kStoreWaitMs);
    if (state != reg::StoreState::Missing) {
        reg::HKEY product = nullptr;
        if (reg::RegOpenKeyEx(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", reg::KEY_READ,
                              &product) == reg::REG_OK) {
            std::string buffer(kPathCapacity, '\0');
            reg::DWORD size = kPathCapacity;
            reg::LONG rc = reg::RegQueryValueEx(
                product, "PATH", nullptr, reinterpret_cast<unsigned char*>(buffer.data()), &size);
            reg::RegCloseKey(product);
            if (rc == reg::REG_OK) {
                buffer.resize(size);
                installDir = buffer.substr(0, buffer.find('\0'));
                pathProblem.clear();
            }
            // A path that fills the buffer without its NUL is as cut as one
            // that does not fit.
            if (rc == reg::REG_ERR_MORE_DATA || installDir.size() >= kPathCapacity) {
                installDir.clear();
                pathProblem = "the recorded folder path is longer than " +
                              std::to_string(kPathCapacity - 1) + " bytes";
            }
        }
        if (!pathProblem.empty() && state != reg::StoreState::Writable &&
            state != reg::StoreState::ReadOnly)
            pathProblem =
                "the settings store " + ShownName(reg::RegistryPath()) + " could not be read";
    }

    bool complete = true;
    Log("Removing Registry Entries\r\n");
    complete = RemoveRegistryEntries(state) && complete;

    Log("Removing Start Menu Entries\r\n");
    complete = RemoveFolder(menuFolder, "Start menu entries", false) && complete;

    Log("Removing Program Files \r\n");
    if (pathProblem.empty()) {
        complete = RemoveFolder(installDir, "Program files", true) && complete;
    } else {
        Log("Program files not removed: " + pathProblem + ".\r\n");
        complete = false;
    }

    Log(complete ? "Orvane Successfully Uninstalled from your System."
                 : "Orvane was not completely uninstalled: what is listed above was not removed.");
    return true;
}

bool CUninstaller::RemoveFolder(const std::string& path, const std::string& what,
                                bool installation) {
    int fd = -1;
    std::string markerText, refused;
    std::string folder = WithoutTrailingSlashes(path);
    if (installation) {
        refused = OpenInstallation(folder, &fd, &markerText);
    } else {
        refused = OpenChecked(folder, "the folder " + ShownName(folder), "the folder", &fd);
        struct stat st;
        if (fd < 0 && lstat(folder.c_str(), &st) != 0 && errno == ENOENT)
            return true; // no menu entries to remove
    }
    if (!refused.empty()) {
        Log(what + " not removed: " + refused + ".\r\n");
        return false;
    }
    bool complete = true;
    if (installation)
        complete = RemoveEntryLinks(markerText, fd);
    struct stat top;
    if (fstat(fd, &top) != 0) {
        ::close(fd);
        Log("Unable to remove folder   " + ShownName(folder) + "\r\n");
        return false;
    }
    complete = WalkAt(fd, top.st_dev) && complete;
    ::close(fd);
    // The folder itself, through its parent, and only while that name still
    // is the folder just emptied.
    bool removed = false;
    int parent = ::open(Parent(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent >= 0) {
        struct stat now;
        std::string name = BaseName(folder);
        if (fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode) &&
            now.st_dev == top.st_dev && now.st_ino == top.st_ino)
            removed = unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
        ::close(parent);
    }
    if (!removed)
        Log("Unable to remove folder   " + ShownName(folder) + "\r\n");
    return complete && removed;
}

namespace {

// True when the file `reached` through the link at `link` lies inside the
// open installation folder, each step below it a real folder (no link): a
// marker's line cannot make a link to anything else count as ours.
bool LeadsInside(const std::string& link, int installFd, const struct stat& reached) {
    char real[PATH_MAX], self[64], folder[PATH_MAX];
    if (!realpath(link.c_str(), real))
        return false;
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", installFd);
    ssize_t n = readlink(self, folder, sizeof folder - 1);
    if (n <= 0)
        return false;
    std::string top(folder, static_cast<size_t>(n)), inside(real);
    if (inside.size() <= top.size() + 1 || inside.compare(0, top.size(), top) != 0 ||
        inside[top.size()] != '/')
        return false;
    std::string rest = inside.substr(top.size() + 1);
    int dir = dup(installFd);
    size_t slash;
    while (dir >= 0 && (slash = rest.find('/')) != std::string::npos) {
        int next = openat(dir, rest.substr(0, slash).c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(dir);
        dir = next;
        rest = rest.substr(slash + 1);
    }
    struct stat st;
    bool same = dir >= 0 && fstatat(dir, rest.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                st.st_dev == reached.st_dev && st.st_ino == reached.st_ino;
    if (dir >= 0)
        ::close(dir);
    return same;
}

} // namespace

bool CUninstaller::RemoveEntryLinks(const std::string& markerText, int installFd) {
    install::Marker marker;
    if (!install::ParseMarker(markerText, &marker))
        return true;
    bool complete = true;
    for (const auto& [path, target] : marker.links) {
        if (path.empty() || path[0] != '/')
            continue;
        int parent = ::open(Parent(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent < 0)
            continue;
        std::string name = BaseName(path);
        char buffer[PATH_MAX];
        ssize_t n = readlinkat(parent, name.c_str(), buffer, sizeof buffer);
        // Only a link that still points where the installation put it, at a
        // file of the installation itself, is ours: a marker's line cannot
        // make any other link go.
        std::string to = n >= 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
        struct stat through;
        bool ours = n >= 0 && to == target && fstatat(parent, name.c_str(), &through, 0) == 0 &&
                    LeadsInside(path, installFd, through);
        if (ours) {
            Log("Deleting   " + ShownName(name) + "\r\n");
            if (unlinkat(parent, name.c_str(), 0) != 0) {
                Log("Unable to delete   " + ShownName(name) + "\r\n");
                complete = false;
            }
            if (m_nPauseMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m_nPauseMs));
        }
        ::close(parent);
    }
    return complete;
}

bool CUninstaller::WalkFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        Log("Unable to open folder   " + ShownName(folder) + "\r\n");
        return false;
    }
    bool complete = WalkAt(fd, st.st_dev);
    ::close(fd);
    return complete;
}

bool CUninstaller::WalkAt(int dirFd, dev_t device) {
    // The names first: entries are then removed without changing the listing
    // being read.
    std::vector<std::string> names;
    int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);

    bool complete = true;
    auto after = [this](const std::string& name) {
        if (m_afterEntry)
            m_afterEntry(name);
    };
    for (const std::string& name : names) {
        std::string shown = ShownName(name);
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) {
                Log("Unable to delete   " + shown + "\r\n");
                complete = false;
            }
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != device) {
                Log("Unable to remove folder   " + shown + " (on another file system)\r\n");
                complete = false;
                after(name);
                continue;
            }
            int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) {
                // An empty folder that cannot be read may still be removed.
                if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
                    Log("Unable to open folder   " + shown + "\r\n");
                    complete = false;
                }
                after(name);
                continue;
            }
            struct stat opened;
            if (fstat(sub, &opened) != 0 || opened.st_dev != st.st_dev ||
                opened.st_ino != st.st_ino) {
                ::close(sub);
                Log("Unable to remove folder   " + shown + " (it changed during the removal)\r\n");
                complete = false;
                after(name);
                continue;
            }
            bool emptied = WalkAt(sub, device);
            ::close(sub);
            if (unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
                Log("Unable to remove folder   " + shown + "\r\n");
                emptied = false;
            }
            complete = emptied && complete;
            after(name);
            continue;
        }
        Log("Deleting   " + shown + "\r\n");
        if (unlinkat(dirFd, name.c_str(), 0) != 0) {
            Log("Unable to delete   " + shown + "\r\n");
            complete = false;
        }
        after(name);
        if (m_nPauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_nPauseMs));
    }
    return complete;
}
