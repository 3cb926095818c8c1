// The program's pictures, drawn at start-up in the sizes the windows expect.
#pragma once

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/iconbndl.h>

namespace art {

// Picture resources by number.
constexpr int BMP_TOOLBAR = 128;       // 450 x 30 strip of the 15 toolbar images
constexpr int BMP_MARKER_ACTIVE = 178; // 14 x 8 solid blue
constexpr int BMP_MARKER_IDLE = 179;   // 15 x 5 solid light grey
constexpr int BMP_SPLASH = 182;        // 585 x 293
constexpr int BMP_ABOUT = 185;         // 110 x 67
constexpr int BMP_UP = 190;            // 16 x 16 folder with an upward arrow
constexpr int ICON_APP = 128;
constexpr int ICON_DRIVE = 132;
constexpr int ICON_OPEN_FOLDER = 133;
constexpr int ICON_FOLDER = 135;
constexpr int ICON_SITE_ROOT = 163;
constexpr int ICON_SITE = 174;

wxBitmap LoadBitmap(int id);
// One 30 x 30 image of the toolbar strip, by button position from 0.
wxBitmap ToolbarImage(int index);
// A 16 x 16 icon (32 x 32 for ICON_APP); `size` overrides.
wxBitmap LoadIconBitmap(int id, int size = 0);
wxIcon LoadIcon(int id, int size = 0);

// The sizes the program's icon is drawn in for the desktop (task bar, window
// switcher, menus), and all of them together for a top-level window.
inline constexpr int kAppIconSizes[] = {16, 32, 48, 64, 128, 256};
wxIconBundle AppIcons();

// The pictures both file panes show: the Up button's, a folder row's and the
// marker strip's when the pane is active and when it is not.
void LoadPanePictures(wxBitmap* up, wxBitmap* folder, wxBitmap* markerActive, wxBitmap* markerIdle);

} // namespace art
