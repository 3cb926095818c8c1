// The list of a file pane. Rows live in the pane; the list asks for the text
// and picture of the rows it shows, so tens of thousands of rows cost no more
// to show than a screenful. Two views: report (a header and four columns)
// and list (names only).
#pragma once

#include <wx/listctrl.h>

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

    // The rows shown; they stay the pane's.
    void SetRows(const std::vector<CFileRow>* rows) { m_rows = rows; }
    // Shows the rows afresh (nothing selected).
    void ShowRows();
    void SetReportView(bool report);
    bool IsReportView() const { return m_report; }

protected:
    wxString OnGetItemText(long item, long column) const override;
    int OnGetItemImage(long item) const override;

private:
    const CFileRow* Row(long item) const;
    std::vector<Column> m_columns;
    const std::vector<CFileRow>* m_rows = nullptr;
    bool m_report = false;
};
