// The local file pane: one folder of this machine.
#pragma once

#include <wx/panel.h>

#include <atomic>
#include <string>
#include <vector>

class CLeftView : public wxPanel {
public:
    explicit CLeftView(wxWindow* parent);

    std::string m_strCurrentDir = "/";
    std::string m_strDefaultDir;

    std::atomic<int> m_bUploading{0};  // an upload runs
    std::atomic<int> m_bStopUpload{0}; // stop request for uploads

    // Enters `path` (falling back to "/") and shows it.
    void ChangeDirectory(const std::string& path);
    // 1 or 32819: report view; 2 or 32820: list view.
    void SetViewMode(int mode);

    // Handlers the frame forwards to.
    void OnExecute();
    void OnDelete();
    void OnNewFolder();
    void OnUpload();
    void OnProperties();
    void OnRefresh();

    // Runs a command the pane handles itself (its context menu); false when
    // the pane does not handle `command`.
    bool HandleCommand(int command);

    // Until the pane is built, the handlers record that they were reached.
    std::vector<std::string> m_calls;
};
