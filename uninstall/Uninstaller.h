// What the uninstaller does, without its window: removes the registry data
// (through libTollin.so), the applications-menu folder and the program files,
// reporting every step and every file, and everything it could not remove.
#pragma once

#include "platform/registry/Registry.h"

#include <functional>
#include <string>
#include <sys/types.h>

class CUninstaller {
public:
    // Appends text to the log (lines end in "\r\n").
    std::function<void(const std::string&)> m_log;
    // Tells the user of a failure (message box with the caption "Error").
    std::function<void(const std::string&)> m_error;
    // Called after each entry of a walked folder, with its name as stored.
    std::function<void(const std::string&)> m_afterEntry;
    // The folder libTollin.so is loaded from: the uninstaller's own.
    std::string m_strLibraryDir;
    // The pause after every file.
    int m_nPauseMs = 500;

    CUninstaller();

    // Runs the three steps. False when the applications-menu folder is not
    // known, in which case nothing was removed.
    bool Run();

    // Deletes everything below `folder`, depth first, and the emptied
    // sub-folders; `folder` itself stays. The walk holds each folder open and
    // works relative to it: a folder replaced by a link on the way redirects
    // nothing, links are removed as links, and no other file system is
    // entered. Every entry that stays is logged; false when any stayed.
    bool WalkFolder(const std::string& folder);

    // "" when `folder` is an Orvane installation whose files may be deleted,
    // else why not.
    static std::string CheckInstallation(const std::string& folder);

    // A name or path as the log shows it: valid UTF-8 as it stands, every
    // other byte, control character and character that reorders a line
    // escaped ("\xE9", "\x0A", "\u{202E}"), a backslash doubled.
    static std::string ShownName(const std::string& bytes);

private:
    void Log(const std::string& text) {
        if (m_log)
            m_log(text);
    }
    bool RemoveRegistryEntries(reg::StoreState state);
    bool WalkAt(int dirFd, dev_t device);
    bool RemoveFolder(const std::string& folder, const std::string& what, bool installation);
    bool RemoveEntryLinks(const std::string& markerText, int installFd);
};
