#include "local/LocalDirectory.h"

#include "platform/fs/Paths.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace local {

std::string DateText(std::time_t when) {
    struct tm t;
    if (!localtime_r(&when, &t))
        return "";
    char buf[32];
    std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M:%S", &t);
    return buf;
}

int CompareNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string TypeKey(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return "File Folder"; // no extension (so it is for README too)
    return name.substr(dot + 1);
}

} // namespace local

bool CLocalEntry::Fill(const std::string& folder, const std::string& name) {
    *this = CLocalEntry();
    m_strName = name;
    m_bDots = name == "." || name == "..";
    std::string full = files::Join(folder, name);
    struct stat st;
    if (stat(full.c_str(), &st) != 0 && lstat(full.c_str(), &st) != 0)
        return false;
    m_bDirectory = S_ISDIR(st.st_mode);
    m_bHidden = !name.empty() && name[0] == '.' && !m_bDots;
    m_bReadOnly = (st.st_mode & S_IWUSR) == 0;
    m_bNormal = S_ISREG(st.st_mode) && !m_bHidden && !m_bReadOnly;
    m_strPath = files::Parent(full);
    m_dwSize = m_bDirectory ? 0 : static_cast<std::int64_t>(st.st_size);
    m_strType = local::TypeKey(name);
    m_strCreated = local::DateText(st.st_ctime);
    m_strAccessed = local::DateText(st.st_atime);
    m_strModified = local::DateText(st.st_mtime);
    return true;
}

bool CLocalDirectory::Scan(const std::string& path) {
    DIR* dir = opendir(path.empty() ? "/" : path.c_str());
    if (!dir)
        return false;
    m_strPath = path;
    Clear();
    CLocalEntry entry;
    while (dirent* d = readdir(dir)) {
        if (!entry.Fill(path, d->d_name))
            continue; // vanished meanwhile
        if (entry.m_bDots)
            continue;
        (entry.m_bDirectory ? m_arrFolders : m_arrFiles).push_back(entry);
    }
    closedir(dir);
    return true;
}

void CLocalDirectory::Sort(int key, bool descending) {
    auto before = [key, descending](const CLocalEntry& a, const CLocalEntry& b) {
        int c = 0;
        switch (key) {
        case kName:
            c = local::CompareNoCase(a.m_strName, b.m_strName);
            break;
        case kType:
            c = local::CompareNoCase(a.m_strType, b.m_strType);
            break;
        case kSize:
            c = a.m_dwSize < b.m_dwSize ? -1 : (a.m_dwSize > b.m_dwSize ? 1 : 0);
            break;
        case kModified:
            c = local::CompareNoCase(a.m_strModified, b.m_strModified);
            break;
        default:
            return false;
        }
        return descending ? c > 0 : c < 0;
    };
    std::stable_sort(m_arrFiles.begin(), m_arrFiles.end(), before);
    std::stable_sort(m_arrFolders.begin(), m_arrFolders.end(), before);
}

void CLocalDirectory::Clear() {
    m_arrFolders.clear();
    m_arrFiles.clear();
}
