#include "transfer/TransferListView.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"
#include "transfer/PaneHost.h"

#include <wx/menu.h>

#include <algorithm>

namespace {

int ToWx(CTransferListView::Command command) {
    return wxID_HIGHEST + 700 + static_cast<int>(command);
}

} // namespace

CTransferListView::CTransferListView(wxWindow* parent, CTransferList& list)
    : wxListView(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxBORDER_SUNKEN),
      m_list(list) {
    AppendColumn("Direction", wxLIST_FORMAT_LEFT, 80);
    AppendColumn("Local", wxLIST_FORMAT_LEFT, 260);
    AppendColumn("Remote", wxLIST_FORMAT_LEFT, 260);
    AppendColumn("Size", wxLIST_FORMAT_RIGHT, 80);
    AppendColumn("State", wxLIST_FORMAT_LEFT, 220);
    Bind(wxEVT_CONTEXT_MENU, [this](wxContextMenuEvent&) {
        wxMenu* menu = CreateMenu();
        PopupMenu(menu);
        delete menu;
    });
    Bind(wxEVT_MENU, [this](wxCommandEvent& e) {
        int command = e.GetId() - ToWx(kRemove) + kRemove;
        if (command >= kRemove && command <= kClearFinished)
            RunCommand(static_cast<Command>(command));
        else
            e.Skip();
    });
    Bind(wxEVT_KEY_DOWN, [this](wxKeyEvent& e) {
        if (e.GetKeyCode() == WXK_DELETE)
            RunCommand(kRemove);
        else
            e.Skip();
    });
}

void CTransferListView::KeepSelection() {
    if (m_keeping)
        return; // the rows as they were before the first change count
    m_keeping = true;
    m_kept.clear();
    const std::vector<TransferRow>& rows = m_list.Rows();
    for (std::size_t i : SelectedRows())
        if (i < rows.size())
            m_kept.insert(KeyOf(rows[i]));
}

void CTransferListView::ShowRows() {
    ui::RequireUiThread("CTransferListView::ShowRows");
    long count = static_cast<long>(m_list.Rows().size());
    if (GetItemCount() != count)
        SetItemCount(count);
    if (m_keeping) {
        m_keeping = false;
        const std::vector<TransferRow>& rows = m_list.Rows();
        for (long i = 0; i < count; ++i) {
            bool want = m_kept.count(KeyOf(rows[static_cast<std::size_t>(i)])) != 0;
            if (IsSelected(i) != want)
                Select(i, want);
        }
    }
    if (count > 0)
        RefreshItems(0, count - 1);
}

wxString CTransferListView::OnGetItemText(long item, long column) const {
    const std::vector<TransferRow>& rows = m_list.Rows();
    if (item < 0 || static_cast<std::size_t>(item) >= rows.size())
        return {};
    const TransferRow& row = rows[static_cast<std::size_t>(item)];
    std::string text;
    switch (column) {
    case 0:
        text = row.direction == TransferDirection::Download ? "Download" : "Upload";
        break;
    case 1:
        text = row.local;
        break;
    case 2:
        text = row.remote;
        break;
    case 3:
        if (row.sizeKnown)
            text = FormatBytes(static_cast<double>(row.size));
        break;
    default:
        text = StateText(row);
        break;
    }
    // Names are bytes from the disk or a server: shown readable, never split.
    return wxString::FromUTF8(ui::DisplayText(text));
}

std::vector<std::size_t> CTransferListView::SelectedRows() const {
    std::vector<std::size_t> rows;
    for (long i = GetFirstSelected(); i >= 0; i = GetNextSelected(i))
        rows.push_back(static_cast<std::size_t>(i));
    return rows;
}

wxMenu* CTransferListView::CreateMenu() const {
    const std::vector<TransferRow>& rows = m_list.Rows();
    std::vector<std::size_t> selected = SelectedRows();
    auto any = [&](auto test) {
        return std::any_of(selected.begin(), selected.end(),
                           [&](std::size_t i) { return i < rows.size() && test(rows[i]); });
    };
    bool queued = any([](const TransferRow& r) { return r.state == JobState::Queued; });
    bool unfinished = any([](const TransferRow& r) { return !r.Finished(); });
    bool running =
        std::any_of(rows.begin(), rows.end(), [](const TransferRow& r) { return !r.Finished(); });
    bool failed = std::any_of(rows.begin(), rows.end(),
                              [](const TransferRow& r) { return r.state == JobState::Failed; });
    bool finished = std::any_of(rows.begin(), rows.end(), [](const TransferRow& r) {
        return r.Finished() && r.state != JobState::Failed;
    });
    auto* menu = new wxMenu;
    menu->Append(ToWx(kRemove), "Remove");
    menu->Append(ToWx(kStop), "Stop");
    menu->Append(ToWx(kStopAll), "Stop All");
    menu->AppendSeparator();
    menu->Append(ToWx(kRetry), "Retry Failed");
    menu->Append(ToWx(kClearFinished), "Clear Finished");
    menu->Enable(ToWx(kRemove), queued);
    menu->Enable(ToWx(kStop), unfinished);
    menu->Enable(ToWx(kStopAll), running);
    menu->Enable(ToWx(kRetry), failed);
    menu->Enable(ToWx(kClearFinished), finished);
    return menu;
}

void CTransferListView::RunCommand(Command command) {
    ui::RequireUiThread("CTransferListView::RunCommand");
    std::vector<std::size_t> selected = SelectedRows();
    switch (command) {
    case kRemove:
        // From the last: a row removed does not move those before it.
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            m_list.Remove(*it);
        break;
    case kStop:
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            m_list.Stop(*it);
        break;
    case kStopAll:
        if (m_stopAll)
            m_stopAll();
        break;
    case kRetry:
        if (m_retry)
            m_retry(m_list.TakeFailed());
        break;
    case kClearFinished:
        m_list.ClearFinished();
        break;
    }
    // Rows moved: the selection no longer means what it did.
    for (long i = GetFirstSelected(); i >= 0; i = GetNextSelected(i))
        Select(i, false);
    ShowRows();
}
