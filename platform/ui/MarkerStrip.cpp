#include "platform/ui/MarkerStrip.h"

#include <wx/dcclient.h>

CMarkerStrip::CMarkerStrip(wxWindow* parent, wxWindowID id)
    : wxWindow(parent, id, wxDefaultPosition, wxSize(-1, 8), wxBORDER_NONE) {
    Bind(wxEVT_PAINT, [this](wxPaintEvent&) {
        wxPaintDC dc(this);
        if (!m_bitmap.IsOk())
            return;
        wxSize size = GetClientSize();
        dc.DrawBitmap(m_bitmap, (size.x - m_bitmap.GetWidth()) / 2,
                      (size.y - m_bitmap.GetHeight()) / 2, true);
    });
}

void CMarkerStrip::SetBitmap(const wxBitmap& bitmap) {
    m_bitmap = bitmap;
    Refresh();
}
