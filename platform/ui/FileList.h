// The list of a file pane. Rows live in the pane; the list asks for the text
// and picture of the rows it shows, so tens of thousands of rows cost no more
// to show than a screenful. Two views: report (a header and four columns)
// and list (names only).
#pragma once

#include "platform/ui/EntryDrag.h"

#include <wx/dnd.h>
#include <wx/listctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One row of a file list. `name` is the entry's name as the exact bytes the
// folder or the server gave (not necessarily UTF-8): every action on the row
// uses these bytes, never the text the list shows.
struct CFileRow {
    std::string name, size, type, modified;
    int image = 0;
    bool folder = false;
};

class CFileListCtrl : public wxListCtrl {
public:
    struct Column {
        const char* title;
        int width;
    };
    CFileListCtrl(wxWindow* parent, wxWindowID id, std::vector<Column> columns);
    ~CFileListCtrl() override;

    // The rows shown; they stay the pane's.
    void SetRows(const std::vector<CFileRow>* rows) { m_rows = rows; }
    // Shows the rows afresh (nothing selected).
    void ShowRows();
    void SetReportView(bool report);
    bool IsReportView() const { return m_report; }

    // Drag and drop. A drag offers the first selected row (NewDragData); a
    // drop is handed, with the point it landed on, to `m_onDrop`, which says
    // whether a transfer started.
    int m_bDragSource = 0;  // 1 while a drag started by this list runs
    int m_nDropHilite = -1; // the row the drag over the list highlights, or -1
    std::function<bool(const ui::DropPayload&, wxPoint)> m_onDrop;
    // A press on the list makes its pane the active one.
    std::function<void()> m_onActivate;
    // Registers the list as a drop target; `acceptFiles`: also for file
    // lists from the desktop.
    void EnableDragDrop(bool acceptFiles);
    void OnLButtonDown(wxMouseEvent& event);
    // The control saw a drag gesture: the drag runs until the button is
    // released (inside this call).
    void OnBegindrag(wxListEvent& event);
    // What a drag of the current selection offers; null when no row (or an
    // empty name) is selected.
    std::unique_ptr<wxDataObject> NewDragData() const;
    // A drag moves over the list at `point` (coordinates of the rows' window):
    // the row under it carries the drop highlight, and the effect is move.
    // `fromDesktop` (a file list): only a folder row is highlighted, as only a
    // folder row takes them, and the effect is copy. The highlight is drawn
    // apart from the selection, which a drag never changes.
    wxDragResult OnDragOver(wxPoint point, bool fromDesktop);
    // The drag left the list, was dropped, or ended elsewhere: no row is
    // highlighted any more.
    void ClearDropHilite();
    bool OnDrop(const ui::DropPayload& payload, wxPoint point);
    // The row at `point` (coordinates of the rows' window), or -1.
    long HitRow(wxPoint point);
    // The middle of a row, in the coordinates of the rows' window.
    wxPoint RowPoint(long item);

protected:
    wxString OnGetItemText(long item, long column) const override;
    int OnGetItemImage(long item) const override;
    wxItemAttr* OnGetItemAttr(long item) const override;

private:
    const CFileRow* Row(long item) const;
    // The drag this list runs (inside OnBegindrag), and whether the list
    // still exists when that drag returns.
    wxDropSource* m_pActiveDrag = nullptr;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::vector<Column> m_columns;
    mutable wxItemAttr m_dropAttr; // how the drop highlight looks
    const std::vector<CFileRow>* m_rows = nullptr;
    bool m_report = false;
};
