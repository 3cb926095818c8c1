// A drop-down list whose items carry a small picture and an indent, as the
// panes' folder boxes show a path: one item per level, each deeper one
// further in. The closed box shows its item without the indent.
#pragma once

#include <wx/bitmap.h>
#include <wx/odcombo.h>

#include <string>
#include <vector>

class CPathCombo : public wxOwnerDrawnComboBox {
public:
    CPathCombo(wxWindow* parent, wxWindowID id, std::vector<wxBitmap> images);

    // Inserts at `index` (-1: at the end); returns the new item's index. The
    // item keeps `text` as given (a folder name's exact bytes) and shows it
    // readably.
    int InsertItem(int index, const std::string& text, int image, int indent);
    void DeleteItem(int index);
    void ResetContent();
    int GetIndent(int index) const;
    int GetImage(int index) const;
    // The item's text exactly as inserted.
    std::string GetItemText(int index) const;
    int GetCurSel() const { return GetSelection(); }
    void SetCurSel(int index) { SetSelection(index); }

    static constexpr int kIndentPixels = 10;

protected:
    void OnDrawItem(wxDC& dc, const wxRect& rect, int item, int flags) const override;
    wxCoord OnMeasureItem(size_t item) const override;
    wxCoord OnMeasureItemWidth(size_t item) const override;

private:
    struct Info {
        int image;
        int indent;
        std::string text;
    };
    std::vector<Info> m_info;
    std::vector<wxBitmap> m_images;
};
