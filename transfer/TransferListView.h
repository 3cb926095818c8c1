// The transfer list's window: one row per file job with its direction, local
// and server path, size and state, and a menu to remove queued jobs, stop one
// or all, retry the failed ones and clear the finished. It shows the plain
// list (transfer/TransferList.h) and sends it the user's commands.
#pragma once

#include "transfer/TransferList.h"

#include <wx/listctrl.h>

#include <cstdint>
#include <functional>
#include <set>
#include <tuple>
#include <vector>

class wxMenu;

class CTransferListView : public wxListView {
public:
    enum Command { kRemove = 1, kStop, kStopAll, kRetry, kClearFinished };

    CTransferListView(wxWindow* parent, CTransferList& list);

    // Stop All: the frame's Stop (every batch, running and waiting).
    std::function<void()> m_stopAll;
    // Retry Failed: the frame starts the failed rows again as new batches.
    std::function<void(CTransferList::Retry)> m_retry;

    // Shows the list as it is now, the rows selected before a change that
    // moved rows selected again wherever they are now.
    void ShowRows();
    // Before rows move: remembers which are selected.
    void KeepSelection();
    // The menu for the rows selected now; the caller owns it.
    wxMenu* CreateMenu() const;
    // Runs a command of the menu on the rows selected now.
    void RunCommand(Command command);
    std::vector<std::size_t> SelectedRows() const;

    wxString OnGetItemText(long item, long column) const override;

private:
    CTransferList& m_list;
    // What the selected rows are (batch, job, item), while rows move.
    using Key = std::tuple<std::uint64_t, std::size_t, std::size_t>;
    std::set<Key> m_kept;
    bool m_keeping = false;
    static Key KeyOf(const TransferRow& row) { return {row.batch, row.job, row.item}; }
};
