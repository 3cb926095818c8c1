// The remote file pane: one FTP server's directory, and the one FTP session.
#pragma once

#include <wx/panel.h>

#include <atomic>
#include <string>
#include <vector>

class CRightView : public wxPanel {
public:
    explicit CRightView(wxWindow* parent);

    // Connection parameters, given by the frame when a site is chosen.
    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strRemoteDir;
    int m_nPort = 0;
    int m_nMode = 0;

    std::atomic<int> m_bBusy{0}; // a remote worker runs
    std::atomic<int> m_bStop{0}; // stop request for transfers and walks

    bool IsConnected() const { return m_bSessionOpen.load(); }

    // Starts connecting on a worker and returns at once (mode 1 passive, 2 active).
    void StartConnect(int mode);
    // Ends the session and empties the pane.
    void CloseSession();
    // 1 or 32819: report view; 2 or 32820: list view.
    void SetViewStyle(int style);

    // Handlers the frame forwards to.
    void OnExecute();
    void OnDelete();
    void OnNewFolder();
    void OnDownload();
    void OnProperties();
    void OnRefresh();

    // Runs a command the pane handles itself (its context menu and the
    // toolbar's Refresh); false when the pane does not handle `command`.
    bool HandleCommand(int command);

    // Until the pane and the session are built, the handlers record that they
    // were reached, in order.
    std::vector<std::string> m_calls;

protected:
    std::atomic<bool> m_bSessionOpen{false};
};
