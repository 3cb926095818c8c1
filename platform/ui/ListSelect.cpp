#include "platform/ui/ListSelect.h"

#include <wx/listctrl.h>

namespace ui {

namespace {

wxRect ViewRect(wxListCtrl* list) {
    // Row rectangles are given in the client coordinates of the list, which in
    // report view include the header.
    wxRect client = list->GetClientRect();
    if (list->InReportView()) {
        wxRect first;
        if (list->GetItemCount() > 0 && list->GetItemRect(0, first)) {
            // The header's height is what the inner window does not cover.
            int header = client.height - list->GetTargetWindow()->GetClientSize().y;
            client.y += header;
            client.height -= header;
        }
    }
    return client;
}

} // namespace

long FirstVisibleRow(wxListCtrl* list) {
    wxRect view = ViewRect(list);
    long count = list->GetItemCount();
    for (long i = 0; i < count; ++i) {
        wxRect r;
        if (list->GetItemRect(i, r) && r.Intersects(view))
            return i;
    }
    return count > 0 ? 0 : -1;
}

long RowsPerPage(wxListCtrl* list) {
    wxRect view = ViewRect(list);
    long count = list->GetItemCount(), n = 0;
    for (long i = FirstVisibleRow(list); i >= 0 && i < count; ++i) {
        wxRect r;
        // Wholly in view: in report view the rows may be wider than the list.
        bool inside = list->GetItemRect(i, r) && r.y >= view.y &&
                      r.GetBottom() <= view.GetBottom() &&
                      (list->InReportView() || (r.x >= view.x && r.GetRight() <= view.GetRight()));
        if (!inside)
            break;
        ++n;
    }
    return n;
}

void SelectAllFromTop(wxListCtrl* list) {
    long first = FirstVisibleRow(list);
    for (long i = first < 0 ? 0 : first; i < list->GetItemCount(); ++i)
        list->SetItemState(i, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
}

void SelectCurrentPage(wxListCtrl* list, int extra) {
    long first = FirstVisibleRow(list);
    if (first < 0)
        return;
    long last = first + RowsPerPage(list) + extra - 1;
    for (long i = first; i <= last && i < list->GetItemCount(); ++i)
        list->SetItemState(i, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
}

void InvertSelection(wxListCtrl* list) {
    for (long i = 0; i < list->GetItemCount(); ++i) {
        bool selected = list->GetItemState(i, wxLIST_STATE_SELECTED) != 0;
        list->SetItemState(i, selected ? 0 : wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
    }
}

} // namespace ui
