#include "platform/fs/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

namespace files {

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string Parent(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos || end == 1)
        return path.substr(0, end);
    return path.substr(slash + 1, end - slash - 1);
}

bool IsFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string KbText(std::uint64_t bytes) {
    if (bytes == 0)
        return "0 KB";
    return std::to_string(bytes / 1024 + 1) + " KB";
}

} // namespace files
