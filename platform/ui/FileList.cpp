#include "platform/ui/FileList.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"

#include <wx/settings.h>

#include <gtk/gtk.h>

#include <vector>

namespace {

// The thin shell between the toolkit's drop events and the list.
class CListDropTarget : public wxDropTarget {
public:
    CListDropTarget(CFileListCtrl* list, bool acceptFiles)
        : wxDropTarget(new ui::CDropData(acceptFiles)), m_list(list) {}

    wxDragResult OnEnter(wxCoord x, wxCoord y, wxDragResult def) override {
        return OnDragOver(x, y, def);
    }
    wxDragResult OnDragOver(wxCoord x, wxCoord y, wxDragResult) override {
        return m_list->OnDragOver(wxPoint(x, y), GetMatchingPair() == wxDataFormat(wxDF_FILENAME));
    }
    void OnLeave() override { m_list->ClearDropHilite(); }
    wxDragResult OnData(wxCoord x, wxCoord y, wxDragResult) override {
        if (!GetData()) {
            m_list->ClearDropHilite();
            return wxDragNone;
        }
        ui::DropPayload payload = static_cast<ui::CDropData*>(GetDataObject())->Payload();
        return m_list->OnDrop(payload, wxPoint(x, y)) ? wxDragMove : wxDragNone;
    }

private:
    CFileListCtrl* m_list;
};

// Every file list of the process: when a drag of one of them ends, however
// it ends, no list keeps a drop highlight.
std::vector<CFileListCtrl*>& AllLists() {
    static std::vector<CFileListCtrl*> lists;
    return lists;
}

} // namespace

CFileListCtrl::CFileListCtrl(wxWindow* parent, wxWindowID id, std::vector<Column> columns)
    : wxListCtrl(parent, id, wxDefaultPosition, wxDefaultSize,
                 wxLC_REPORT | wxLC_VIRTUAL | wxLC_EDIT_LABELS | wxLC_NO_HEADER | wxBORDER_SUNKEN),
      m_columns(std::move(columns)) {
    SetReportView(false);
    Bind(wxEVT_LEFT_DOWN, &CFileListCtrl::OnLButtonDown, this);
    Bind(wxEVT_LIST_BEGIN_DRAG, &CFileListCtrl::OnBegindrag, this);
    AllLists().push_back(this);
}

CFileListCtrl::~CFileListCtrl() {
    *m_alive = false;
    std::erase(AllLists(), this);
    // The window goes while this list drags: the drag ends now, or its loop
    // would wait for ever for a release that no longer reaches the list.
    if (m_pActiveDrag) {
        if (m_pActiveDrag->m_dragContext)
            gtk_drag_cancel(m_pActiveDrag->m_dragContext);
        m_pActiveDrag->m_waiting = false;
    }
}

void CFileListCtrl::EnableDragDrop(bool acceptFiles) {
    ui::RequireUiThread("CFileListCtrl::EnableDragDrop");
    SetDropTarget(new CListDropTarget(this, acceptFiles));
}

void CFileListCtrl::OnLButtonDown(wxMouseEvent& event) {
    ui::RequireUiThread("CFileListCtrl::OnLButtonDown");
    // The control selects the row and watches for a drag gesture itself.
    event.Skip();
    if (m_onActivate)
        m_onActivate();
}

std::unique_ptr<wxDataObject> CFileListCtrl::NewDragData() const {
    const CFileRow* first = Row(GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED));
    if (!first || first->name.empty())
        return nullptr;
    ui::EntryDrag drag{ui::DragOrigin(this), GetId(), first->name};
    return ui::NewEntryDataObject(drag, ui::ToWx(first->name));
}

void CFileListCtrl::OnBegindrag(wxListEvent&) {
    ui::RequireUiThread("CFileListCtrl::OnBegindrag");
    std::unique_ptr<wxDataObject> data = NewDragData();
    if (!data)
        return;
    wxDropSource source(*data, this);
    std::shared_ptr<bool> alive = m_alive;
    // The drag's end still speaks to the widget, which outlives the list
    // should the window go meanwhile.
    GtkWidget* widget = source.m_widget;
    if (widget)
        g_object_ref(widget);
    m_bDragSource = 1;
    m_pActiveDrag = &source;
    source.DoDragDrop(wxDrag_AllowMove); // copy and move; the drop decides what happens
    if (widget)
        g_object_unref(widget);
    if (!*alive)
        return; // the list went during the drag
    m_pActiveDrag = nullptr;
    m_bDragSource = 0;
    // A drag cancelled may end without telling the list it was over.
    for (CFileListCtrl* list : AllLists())
        list->ClearDropHilite();
}

long CFileListCtrl::HitRow(wxPoint point) {
    int flags = 0;
    long item = HitTest(point, flags);
    if (item < 0 || !(flags & wxLIST_HITTEST_ONITEM) || !Row(item))
        return -1;
    return item;
}

wxPoint CFileListCtrl::RowPoint(long item) {
    wxRect rect;
    if (!GetItemRect(item, rect))
        return wxPoint(-1, -1);
    // The rectangle is in the control's coordinates; the rows' window lies
    // below the header, if one shows.
    wxPoint screen = ClientToScreen(rect.GetPosition() + wxPoint(rect.width / 3, rect.height / 2));
    return GetTargetWindow()->ScreenToClient(screen);
}

wxDragResult CFileListCtrl::OnDragOver(wxPoint point, bool fromDesktop) {
    ui::RequireUiThread("CFileListCtrl::OnDragOver");
    if (m_bDragSource)
        return wxDragMove; // over its own list: nothing changes
    long hit = HitRow(point);
    if (fromDesktop && hit >= 0 && !Row(hit)->folder)
        hit = -1;
    if (hit != m_nDropHilite) {
        // The selection stays the user's: a Delete or a transfer after the
        // drag acts on what the user picked, not on the rows passed over.
        long old = m_nDropHilite;
        m_nDropHilite = static_cast<int>(hit);
        if (old >= 0 && old < GetItemCount())
            RefreshItem(old);
        if (hit >= 0)
            RefreshItem(hit);
    }
    // Files from the desktop are copied: a file manager told they were
    // moved may remove its originals.
    return fromDesktop ? wxDragCopy : wxDragMove;
}

void CFileListCtrl::ClearDropHilite() {
    ui::RequireUiThread("CFileListCtrl::ClearDropHilite");
    long old = m_nDropHilite;
    m_nDropHilite = -1;
    if (old >= 0 && old < GetItemCount())
        RefreshItem(old);
}

bool CFileListCtrl::OnDrop(const ui::DropPayload& payload, wxPoint point) {
    ui::RequireUiThread("CFileListCtrl::OnDrop");
    ClearDropHilite(); // the drag is over
    if (m_bDragSource)
        return false; // dropped on the list it came from
    return m_onDrop && m_onDrop(payload, point);
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
    ui::RequireUiThread("CFileListCtrl::ShowRows");
    // A label being edited names a row by its place, which now belongs to
    // another entry: the edit ends unconfirmed, so no other entry is renamed.
    if (GetEditControl())
        EndEditLabel(true);
    DeleteAllItems();   // also forgets the selection
    m_nDropHilite = -1; // a row of the rows shown before
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

wxItemAttr* CFileListCtrl::OnGetItemAttr(long item) const {
    if (item != m_nDropHilite || item < 0)
        return nullptr;
    // Half way between the selection's colour and the list's own: the place
    // of the drop, told apart from the rows selected.
    wxColour back = GetBackgroundColour();
    wxColour mark = wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHT);
    wxColour blend((back.Red() + mark.Red()) / 2, (back.Green() + mark.Green()) / 2,
                   (back.Blue() + mark.Blue()) / 2);
    m_dropAttr.SetBackgroundColour(blend);
    m_dropAttr.SetTextColour(GetForegroundColour());
    return &m_dropAttr;
}
