// The list of a file pane. Rows live in the pane; the list asks for the text
// and picture of the rows it shows, so tens of thousands of rows cost no more
// to show than a screenful. Two views: report (a header and four columns)
// and list (names only).
#pragma once

#include <wx/listctrl.h>

#include <functional>
#include <string>
#include <vector>

class CFileListCtrl : public wxListCtrl {
public:
    struct Column {
        const char* title;
        int width;
    };
    CFileListCtrl(wxWindow* parent, wxWindowID id, std::vector<Column> columns);

    // Where the rows come from: text of (row, column) and picture of a row.
    std::function<std::string(long row, long column)> m_textOf;
    std::function<int(long row)> m_imageOf;

    // Shows `count` rows afresh (nothing selected).
    void ShowRows(long count);
    void SetReportView(bool report);
    bool IsReportView() const { return m_report; }

protected:
    wxString OnGetItemText(long item, long column) const override;
    int OnGetItemImage(long item) const override;

private:
    std::vector<Column> m_columns;
    bool m_report = false;
};
