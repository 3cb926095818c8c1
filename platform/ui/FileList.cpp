#include "platform/ui/FileList.h"

CFileListCtrl::CFileListCtrl(wxWindow* parent, wxWindowID id, std::vector<Column> columns)
    : wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_EDIT_LABELS | wxLC_NO_HEADER | wxBORDER_SUNKEN),
      m_columns(std::move(columns)) {
    SetReportView(false);
}

void CFileListCtrl::SetReportView(bool report) {
    m_report = report;
    long count = GetItemCount();
    DeleteAllColumns();
    if (report) {
        for (size_t i = 0; i < m_columns.size(); ++i)
            InsertColumn(static_cast<long>(i), m_columns[i].title, wxLIST_FORMAT_LEFT,
                         m_columns[i].width);
    } else {
        InsertColumn(0, m_columns.empty() ? "Name" : m_columns[0].title, wxLIST_FORMAT_LEFT, 360);
    }
    SetSingleStyle(wxLC_NO_HEADER, !report);
    SetItemCount(count);
    Refresh();
}

void CFileListCtrl::ShowRows(long count) {
    DeleteAllItems(); // also forgets the selection
    SetItemCount(count);
    Refresh();
}

wxString CFileListCtrl::OnGetItemText(long item, long column) const {
    return m_textOf ? wxString::FromUTF8(m_textOf(item, column)) : wxString();
}

int CFileListCtrl::OnGetItemImage(long item) const {
    return m_imageOf ? m_imageOf(item) : -1;
}
