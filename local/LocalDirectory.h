// The local directory model: one folder's entries, folders and files apart,
// sorted by name, type key, size or date text in either direction.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct dirent;

class CLocalEntry {
public:
    std::string m_strName;
    // Type key: the text after the last dot of the name; "File Folder" when
    // the name has no dot. Used to sort by type.
    std::string m_strType;
    // The folder holding the entry.
    std::string m_strPath;
    std::uint32_t m_dwReserved0 = 0, m_dwReserved1 = 0;
    std::int64_t m_dwSize = 0; // 64-bit: files of 2 GiB and more keep their size
    std::string m_strCreated, m_strAccessed, m_strModified;
    bool m_bDots = false, m_bDirectory = false, m_bArchive = false, m_bCompressed = false,
         m_bHidden = false, m_bNormal = false, m_bReadOnly = false, m_bSystem = false,
         m_bTemporary = false;

    virtual ~CLocalEntry() = default;

    // Fills every field from the entry `name` of the folder `folder`.
    // Symbolic links are described by what they point at (a dangling one as
    // itself). False when the entry cannot be examined at all.
    bool Fill(const std::string& folder, const std::string& name);
};

class CLocalDirectory {
public:
    enum SortKey { kName = 0, kType = 1, kSize = 2, kModified = 3 };

    std::string m_strPath;
    std::vector<CLocalEntry> m_arrFolders;
    std::vector<CLocalEntry> m_arrFiles;

    virtual ~CLocalDirectory() = default;

    // Enumerates `path`; false (and the model unchanged) when it cannot be read.
    bool Scan(const std::string& path);
    // Sorts files, then folders, by `key`; stable, so ties keep the order in
    // which the folder listed them.
    void Sort(int key, bool descending);
    int GetFolderCount() const { return static_cast<int>(m_arrFolders.size()); }
    int GetFileCount() const { return static_cast<int>(m_arrFiles.size()); }
    CLocalEntry GetFolder(int i) const { return m_arrFolders[static_cast<size_t>(i)]; }
    CLocalEntry GetFile(int i) const { return m_arrFiles[static_cast<size_t>(i)]; }
    void Clear();
};

namespace local {

// "03/08/02 12:40:24": month/day/two-digit year and 24-hour time, local time.
std::string DateText(std::time_t when);
// Compares as the lists sort names: only A-Z folded to a-z, other bytes unsigned.
int CompareNoCase(const std::string& a, const std::string& b);
// The type key of a name (see CLocalEntry::m_strType).
std::string TypeKey(const std::string& name);

} // namespace local
