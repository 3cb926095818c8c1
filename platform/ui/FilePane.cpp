#include "platform/ui/FilePane.h"

#include "platform/ui/ContextMenu.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/FileTypes.h"
#include "platform/ui/MarkerStrip.h"
#include "platform/ui/PathCombo.h"
#include "platform/ui/Text.h"

#include <wx/bmpbuttn.h>
#include <wx/imaglist.h>
#include <wx/menu.h>

#include <algorithm>

namespace {
// One marker id for both panes: the frame tells them apart by their parent.
constexpr int kMarkerId = 1036;
} // namespace

CFilePane::CFilePane(wxWindow* parent, Parts parts)
    : wxPanel(parent, wxID_ANY), m_parts(std::move(parts)) {
    m_types = std::make_unique<CFileTypes>(m_parts.pictures.folderIcon);
    m_wndMarker = new CMarkerStrip(this, kMarkerId);
    m_pathBox = new CPathCombo(this, m_parts.pathId, m_parts.pathIcons);
    m_wndUp = new wxBitmapButton(this, m_parts.upId, m_parts.pictures.up, wxDefaultPosition,
                                 wxDefaultSize, wxBORDER_NONE);
    m_wndUp->SetToolTip("One Level Up");
    m_list = m_parts.makeList(this, m_parts.listId);
    m_list->SetImageList(m_types->ImageList(), wxIMAGE_LIST_SMALL);
    m_list->SetRows(&m_rows);

    Bind(wxEVT_SIZE, [this](wxSizeEvent& e) { LayOut(e.GetSize().x, e.GetSize().y); });
    m_wndUp->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnUpOneLevel(); });
    m_pathBox->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent& e) { OnPathPicked(e.GetSelection()); });
    // A click or the focus in the box or the list makes this pane the active one.
    ui::BindActivation(m_pathBox, [this] { MarkActive(); });
    m_list->m_onActivate = [this] { MarkActive(); };
    m_list->Bind(wxEVT_SET_FOCUS, [this](wxFocusEvent& e) {
        MarkActive();
        e.Skip();
    });
    m_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, [this](wxListEvent&) { OnOpenRow(); });
    m_list->Bind(wxEVT_LIST_COL_CLICK, [this](wxListEvent& e) { OnColumnClick(e.GetColumn()); });
    m_list->Bind(wxEVT_LIST_BEGIN_LABEL_EDIT, [this](wxListEvent& e) { OnBeginLabelEdit(e); });
    m_list->Bind(wxEVT_LIST_END_LABEL_EDIT, [this](wxListEvent& e) { OnEndLabelEdit(e); });
    ui::BindContextMenu(m_list, wxEVT_CONTEXT_MENU, [this] { OnContextMenu(); });
    Bind(wxEVT_MENU, [this](wxCommandEvent& e) { OnMenuCommand(e.GetId(), e); });
}

CFilePane::~CFilePane() {
    m_list->SetImageList(nullptr, wxIMAGE_LIST_SMALL);
}

void CFilePane::LayOut(int cx, int cy) {
    m_wndMarker->SetSize(0, 0, cx, 8);
    m_pathBox->SetSize(1, 9, std::max(cx - 26, 10), -1);
    m_wndUp->SetSize(cx - 27, 9, 27, 21);
    m_list->SetSize(0, m_parts.listTop, cx, std::max(cy - 34, 10));
}

void CFilePane::MarkActive() {
    ui::RequireUiThread("CFilePane::MarkActive");
    m_wndMarker->SetBitmap(m_parts.pictures.markerActive);
    if (m_pPeerMarker)
        m_pPeerMarker->SetBitmap(m_parts.pictures.markerIdle);
}

void CFilePane::ShowRows() {
    ui::RequireUiThread("CFilePane::ShowRows");
    m_list->ShowRows();
}

std::vector<std::string> CFilePane::SelectedNames() const {
    std::vector<std::string> names;
    for (long i = m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i != -1;
         i = m_list->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED))
        if (static_cast<size_t>(i) < m_rows.size())
            names.push_back(m_rows[static_cast<size_t>(i)].name);
    return names;
}

bool CFilePane::PathBoxUp() {
    ui::RequireUiThread("CFilePane::PathBoxUp");
    int sel = m_pathBox->GetCurSel();
    if (sel < 0 || m_pathBox->GetIndent(sel) == 0)
        return false;
    m_pathBox->SetCurSel(sel - 1);
    m_pathBox->DeleteItem(sel);
    return true;
}

int CFilePane::DropPathChainBelow(int index) {
    ui::RequireUiThread("CFilePane::DropPathChainBelow");
    int dropped = 0;
    while (index + 1 < static_cast<int>(m_pathBox->GetCount()) &&
           m_pathBox->GetIndent(index + 1) > 0) {
        m_pathBox->DeleteItem(index + 1);
        ++dropped;
    }
    return dropped;
}

void CFilePane::EditSelectedLabel() {
    ui::RequireUiThread("CFilePane::EditSelectedLabel");
    long first = m_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (first >= 0 && static_cast<size_t>(first) < m_rows.size() &&
        !m_rows[static_cast<size_t>(first)].name.empty())
        m_list->EditLabel(first);
}

bool CFilePane::EditedName(wxListEvent& event, std::string* oldName, std::string* newName) const {
    *newName = event.GetLabel().utf8_string();
    long index = event.GetIndex();
    if (event.IsEditCancelled() || newName->empty() || index < 0 ||
        static_cast<size_t>(index) >= m_rows.size()) {
        event.Veto();
        return false;
    }
    *oldName = m_rows[static_cast<size_t>(index)].name;
    // The edit shows a name that is not UTF-8 with its bad bytes escaped:
    // confirming that text unchanged keeps the name.
    return *newName != *oldName && *newName != ui::DisplayText(*oldName);
}

void CFilePane::OnContextMenu() {
    MarkActive();
    std::unique_ptr<wxMenu> menu(CreateContextMenu());
    if (menu)
        PopupMenu(menu.get());
}
