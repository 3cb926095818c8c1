// The question a transfer asks before it overwrites a file: the existing file
// and the incoming one, each as name and size, and four answers.
#pragma once

#include "transfer/ReplaceState.h"

#include <wx/dialog.h>

#include <atomic>
#include <functional>
#include <string>

class wxStaticText;

class CReplaceDlg : public wxDialog {
public:
    // Control ids of the dialog.
    enum {
        IDD = 191,
        IDC_FIRST = 1044,
        IDC_SECOND = 1045,
        IDC_REPLACE_ALL = 1041,
        IDC_SKIP_ALL = 1042
    };

    // Transfers ask without a parent window.
    explicit CReplaceDlg(wxWindow* parent = nullptr);

    // Exactly one of the four is 1 once the dialog has ended.
    int m_bReplace = 0;
    int m_bSkip = 0;
    int m_bSkipAll = 0;
    int m_bReplaceAll = 0;
    // The existing file and the incoming one, as shown.
    std::string m_strFirst;
    std::string m_strSecond;

    bool TransferDataToWindow() override;
    bool TransferDataFromWindow() override;

    // The four answers as their buttons give them (tests press them so).
    void OnOK();         // "&Replace", Enter
    void OnCancel();     // "&Skip", Esc and the close box
    void OnReplaceAll(); // "Replace &All"
    void OnSkipAll();    // "S&kip All"

private:
    wxStaticText* m_wndFirst = nullptr;
    wxStaticText* m_wndSecond = nullptr;
    void Answer(int* chosen);
};

namespace transfer {

// Asks the replace question on the UI thread and waits for the answer; may be
// called from a worker or the UI thread itself. While it waits it looks at
// `cancel` (when given): once that is set, or when the application ends
// before the question could be answered, it gives up and returns Skip, so a
// worker never waits on a window that will not come.
ReplaceAnswer AskReplace(const std::string& first, const std::string& second,
                         const std::function<bool()>& cancel = nullptr);

} // namespace transfer
