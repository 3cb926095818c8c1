// The thin strip above a pane that shows whether the pane is the active one:
// its picture drawn in the middle, nothing before the first activation.
#pragma once

#include <wx/bitmap.h>
#include <wx/window.h>

class CMarkerStrip : public wxWindow {
public:
    CMarkerStrip(wxWindow* parent, wxWindowID id);
    void SetBitmap(const wxBitmap& bitmap);
    const wxBitmap& GetBitmap() const { return m_bitmap; }

private:
    wxBitmap m_bitmap;
};
