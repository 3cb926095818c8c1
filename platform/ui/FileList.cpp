#include "platform/ui/FileList.h"

#include "platform/ui/Text.h"

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

void CFileListCtrl::ShowRows() {
    DeleteAllItems(); // also forgets the selection
    SetItemCount(m_rows ? static_cast<long>(m_rows->size()) : 0);
    Refresh();
}

const CFileRow* CFileListCtrl::Row(long item) const {
    return m_rows && item >= 0 && static_cast<size_t>(item) < m_rows->size()
               ? &(*m_rows)[static_cast<size_t>(item)]
               : nullptr;
}

wxString CFileListCtrl::OnGetItemText(long item, long column) const {
    const CFileRow* r = Row(item);
    if (!r)
        return wxString();
    const std::string& text = column == 0   ? r->name
                              : column == 1 ? r->size
                              : column == 2 ? r->type
                                            : r->modified;
    return ui::ToWx(text); // a name that is not UTF-8 shows its bad bytes escaped
}

int CFileListCtrl::OnGetItemImage(long item) const {
    const CFileRow* r = Row(item);
    return r ? r->image : -1;
}
