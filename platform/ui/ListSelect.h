// The selection commands both file lists share.
#pragma once

class wxListCtrl;

namespace ui {

// The first row (partly) visible in the list, in any view; -1 when empty.
long FirstVisibleRow(wxListCtrl* list);
// How many rows from the first visible one fit wholly in the view.
long RowsPerPage(wxListCtrl* list);
// Selects every row from the first visible one to the last; rows above keep
// their state.
void SelectAllFromTop(wxListCtrl* list);
// Selects `RowsPerPage() + extra` rows from the first visible one.
void SelectCurrentPage(wxListCtrl* list, int extra);
void InvertSelection(wxListCtrl* list);

} // namespace ui
