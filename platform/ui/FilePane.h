// What the two file panes have in common: the marker strip above, the path
// box with its Up button, the list below it, which pane is the active one,
// the context menu and the editing of a name. A pane says what its list is
// and what a click, a pick in the path box or a command does.
#pragma once

#include "platform/ui/FileList.h"

#include <wx/bitmap.h>
#include <wx/panel.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class CFileTypes;
class CMarkerStrip;
class CPathCombo;
class wxBitmapButton;
class wxListEvent;
class wxMenu;

class CFilePane : public wxPanel {
public:
    // The pictures both panes show.
    struct Pictures {
        wxBitmap up, folderIcon, markerActive, markerIdle;
    };
    // The pane's widgets and pictures.
    struct Parts {
        int pathId = 0, upId = 0, listId = 0;
        int listTop = 34;                // where the list begins below the path box
        std::vector<wxBitmap> pathIcons; // the path box's pictures, by image index
        Pictures pictures;
        // Makes the pane's list (a drag source and drop target of its own kind).
        std::function<CFileListCtrl*(wxWindow* parent, int id)> makeList;
    };
    CFilePane(wxWindow* parent, Parts parts);
    ~CFilePane() override;

    CMarkerStrip* m_wndMarker = nullptr;
    wxBitmapButton* m_wndUp = nullptr;
    // The other pane's marker, set by the frame.
    CMarkerStrip* m_pPeerMarker = nullptr;

    using Row = CFileRow;
    const std::vector<Row>& Rows() const { return m_rows; }
    // Names of the selected rows, in list order, as the exact bytes of the rows.
    std::vector<std::string> SelectedNames() const;
    // Lights this pane's marker and dims the other's.
    void MarkActive();

    // Runs a command the pane handles itself; false when it does not.
    virtual bool HandleCommand(int command) = 0;
    // The context menu as it would open now; null when none opens.
    virtual wxMenu* CreateContextMenu() = 0;

protected:
    std::unique_ptr<CFileTypes> m_types;
    std::vector<Row> m_rows;

    CPathCombo* PathBox() const { return m_pathBox; }
    CFileListCtrl* List() const { return m_list; }
    void ShowRows();
    // Up one level in the path box: the item above the selected one is
    // selected and the selected one goes. False (nothing changed) at a root
    // item or without a selection.
    bool PathBoxUp();
    // Removes the items below `index` that are deeper; returns how many went.
    int DropPathChainBelow(int index);
    // Starts editing the first selected row's name (one with a name).
    void EditSelectedLabel();
    // The name an edit ends with, when there is one to act on: false for a
    // cancelled or empty edit or a row gone (the edit then vetoed), and for a
    // name confirmed unchanged (left as it is). `oldName` is the row's bytes.
    bool EditedName(wxListEvent& event, std::string* oldName, std::string* newName) const;

    // What the widgets' events do.
    virtual void OnUpOneLevel() = 0;
    virtual void OnPathPicked(int index) = 0;
    virtual void OnOpenRow() = 0;
    virtual void OnColumnClick(int column) = 0;
    virtual void OnMenuCommand(int wxId, wxCommandEvent& event) = 0;
    virtual void OnBeginLabelEdit(wxListEvent& event) = 0;
    virtual void OnEndLabelEdit(wxListEvent& event) = 0;

private:
    Parts m_parts;
    CPathCombo* m_pathBox = nullptr;
    CFileListCtrl* m_list = nullptr;
    void LayOut(int cx, int cy);
    void OnContextMenu();
};
