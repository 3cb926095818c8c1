// What the uninstaller does, without its window: removes the registry data
// (through libTollin.so), the applications-menu folder and the program files,
// reporting every step and every file.
#pragma once

#include <functional>
#include <string>

class CUninstaller {
public:
    // Appends text to the log (lines end in "\r\n").
    std::function<void(const std::string&)> m_log;
    // Tells the user of a failure (message box with the caption "Error").
    std::function<void(const std::string&)> m_error;
    // The folder libTollin.so is loaded from: the uninstaller's own.
    std::string m_strLibraryDir;
    // The pause after every file.
    int m_nPauseMs = 500;

    CUninstaller();

    // Runs the three steps. False when the applications-menu folder is not
    // known, in which case nothing was removed.
    bool Run();

    // Deletes every file below `folder`, depth first; folders stay. Symbolic
    // links are removed as links, never followed.
    void WalkFolder(const std::string& folder);

    // "" when `folder` is an Orvane installation whose files may be deleted,
    // else why not.
    static std::string CheckInstallation(const std::string& folder);

private:
    void Log(const std::string& text) {
        if (m_log)
            m_log(text);
    }
    void RemoveRegistryEntries();
};
