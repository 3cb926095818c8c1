// The status pane: the program's running log across the top of the window.
#pragma once

#include <wx/font.h>
#include <wx/panel.h>
#include <wx/textctrl.h>

#include <memory>
#include <string>

// The log control: typed characters are swallowed; Delete, the navigation keys
// and the control's context menu act as in any edit.
class CStatusEdit : public wxTextCtrl {
public:
    CStatusEdit(wxWindow* parent, wxWindowID id);
    ~CStatusEdit() override;

    // First visible line (0-based, in lines of text) and the number of lines.
    int GetFirstVisibleLine() const;
    int GetLineCount() const;

private:
    void OnChar(wxKeyEvent& event);
    void OnSize(wxSizeEvent& event);
    void UpdateBottomMargin();
    void ScrollNewestToTop();
    bool m_bFollowNewest = false;
    friend class CStatus;
};

class CStatus : public wxPanel {
public:
    explicit CStatus(wxWindow* parent);
    ~CStatus() override;

    // Appends one line to the log and scrolls it to the top of the view. May be
    // called on any thread: each line arrives whole, and lines from one thread
    // keep their order.
    void AddLine(std::string line);

    CStatusEdit* m_wndLog = nullptr;
    wxFont m_fontLog;

private:
    std::shared_ptr<CStatus*> m_self = std::make_shared<CStatus*>(this);
    void AppendOnUiThread(const std::string& line);
    void OnSize(wxSizeEvent& event);
};
