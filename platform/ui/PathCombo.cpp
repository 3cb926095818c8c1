#include "platform/ui/PathCombo.h"

#include "platform/ui/Text.h"

#include <wx/dc.h>
#include <wx/settings.h>

CPathCombo::CPathCombo(wxWindow* parent, wxWindowID id, std::vector<wxBitmap> images)
    : wxOwnerDrawnComboBox(parent, id, wxString(), wxDefaultPosition, wxDefaultSize, 0, nullptr,
                           wxCB_READONLY),
      m_images(std::move(images)) {}

int CPathCombo::InsertItem(int index, const std::string& text, int image, int indent) {
    unsigned count = GetCount();
    unsigned pos =
        index < 0 || static_cast<unsigned>(index) > count ? count : static_cast<unsigned>(index);
    m_info.insert(m_info.begin() + pos, Info{image, indent, text});
    Insert(ui::ToWx(text), pos);
    return static_cast<int>(pos);
}

void CPathCombo::DeleteItem(int index) {
    if (index < 0 || static_cast<unsigned>(index) >= GetCount())
        return;
    m_info.erase(m_info.begin() + index);
    Delete(static_cast<unsigned>(index));
}

void CPathCombo::ResetContent() {
    m_info.clear();
    Clear();
    SetSelection(wxNOT_FOUND);
}

int CPathCombo::GetIndent(int index) const {
    return index >= 0 && static_cast<size_t>(index) < m_info.size() ? m_info[index].indent : 0;
}

int CPathCombo::GetImage(int index) const {
    return index >= 0 && static_cast<size_t>(index) < m_info.size() ? m_info[index].image : -1;
}

std::string CPathCombo::GetItemText(int index) const {
    return index >= 0 && static_cast<size_t>(index) < m_info.size() ? m_info[index].text
                                                                    : std::string();
}

void CPathCombo::OnDrawItem(wxDC& dc, const wxRect& rect, int item, int flags) const {
    if (item < 0 || static_cast<size_t>(item) >= m_info.size())
        return;
    const Info& info = m_info[item];
    int x = rect.x + 2 + ((flags & wxODCB_PAINTING_CONTROL) ? 0 : info.indent * kIndentPixels);
    if (info.image >= 0 && static_cast<size_t>(info.image) < m_images.size()) {
        const wxBitmap& bmp = m_images[info.image];
        dc.DrawBitmap(bmp, x, rect.y + (rect.height - bmp.GetHeight()) / 2, true);
        x += bmp.GetWidth() + 4;
    }
    if ((flags & wxODCB_PAINTING_SELECTED) && !(flags & wxODCB_PAINTING_CONTROL))
        dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_HIGHLIGHTTEXT));
    wxString text = GetString(static_cast<unsigned>(item));
    dc.DrawText(text, x, rect.y + (rect.height - dc.GetCharHeight()) / 2);
}

wxCoord CPathCombo::OnMeasureItem(size_t) const {
    return 20;
}

wxCoord CPathCombo::OnMeasureItemWidth(size_t item) const {
    int indent = item < m_info.size() ? m_info[item].indent : 0;
    return indent * kIndentPixels + 24 + GetTextExtent(GetString(static_cast<unsigned>(item))).x;
}
