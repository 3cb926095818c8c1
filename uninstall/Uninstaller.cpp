#include "uninstall/Uninstaller.h"

#include "platform/registry/Registry.h"
#include "platform/shell/Shell.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

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

} // namespace

CUninstaller::CUninstaller() : m_strLibraryDir(OwnFolder()) {}

std::string CUninstaller::CheckInstallation(const std::string& folder) {
    if (folder.empty())
        return "no installation folder is recorded";
    if (folder[0] != '/')
        return "the recorded folder " + folder + " is not an absolute path";
    std::string real = RealPath(folder);
    if (real.empty())
        return "the recorded folder " + folder + " does not exist";
    if (real == "/")
        return "the recorded folder is the root folder";
    const char* home = std::getenv("HOME");
    if (home && *home && RealPath(home) == real)
        return "the recorded folder " + folder + " is the home folder";
    struct stat st;
    std::string program = real + "/Pondrel1";
    if (lstat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return folder + " does not hold an Orvane installation";
    return "";
}

void CUninstaller::RemoveRegistryEntries() {
    // Loaded by its full name from our own folder only, never from a search path.
    std::string library = m_strLibraryDir + "/libTollin.so";
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        if (m_error)
            m_error("Unable to Load DLL");
        return;
    }
    using UnRegisterFn = int (*)();
    auto unregister = reinterpret_cast<UnRegisterFn>(dlsym(handle, "UnRegisterApp"));
    if (!unregister) {
        if (m_error)
            m_error("Error Getting DLL Proc Address");
    } else {
        unregister();
    }
    dlclose(handle);
}

bool CUninstaller::Run() {
    std::string apps = shell::ApplicationsFolder();
    if (apps.empty())
        return false;
    std::string menuFolder = apps + "/Orvane";

    std::string installDir =
        reg::RegReadText(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", "PATH", 200);

    Log("Removing Registry Entries\r\n");
    RemoveRegistryEntries();

    Log("Removing Start Menu Entries\r\n");
    WalkFolder(menuFolder);
    rmdir(menuFolder.c_str());

    Log("Removing Program Files \r\n");
    std::string refused = CheckInstallation(installDir);
    if (refused.empty()) {
        WalkFolder(installDir);
        rmdir(installDir.c_str());
    } else {
        Log("Program files not removed: " + refused + ".\r\n");
    }

    Log("Orvane Successfully Uninstalled from your System.");
    return true;
}

void CUninstaller::WalkFolder(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            WalkFolder(path); // the folder itself stays
            continue;
        }
        Log("Deleting   " + name + "\r\n");
        if (unlink(path.c_str()) != 0)
            Log("Unable to delete   " + name + "\r\n");
        if (m_nPauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_nPauseMs));
    }
    closedir(dir);
}
