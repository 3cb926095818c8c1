// The program's command ids and its command table: menu captions, toolbar
// buttons, keys and prompts.
#pragma once

#include <string>
#include <vector>

namespace cmd {

// Commands of the toolbar, the main menu and the keys.
constexpr int ID_REFRESH_TOOLBAR = 32788;
constexpr int ID_SITE_MANAGER = 32796;
constexpr int ID_DISCONNECT = 32797;
constexpr int ID_RECONNECT = 32798;
constexpr int ID_NEW_FOLDER_TOOLBAR = 32799;
constexpr int ID_DELETE_TOOLBAR = 32800;
constexpr int ID_RUN = 32801;
constexpr int ID_VIEW_FILES = 32802;
constexpr int ID_UPLOAD_TOOLBAR = 32809;
constexpr int ID_DOWNLOAD_TOOLBAR = 32810;
constexpr int ID_PROPERTIES_TOOLBAR = 32811;
constexpr int ID_STOP = 32847;
constexpr int ID_HELP_FILE = 32854;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_VIEW_SMALLICON = 59410;
constexpr int ID_VIEW_DETAILS = 59411;

// Commands of the file panes' context menu (menu 176).
constexpr int ID_UPLOAD = 32817;
constexpr int ID_DOWNLOAD = 32818;
constexpr int ID_VIEW_REPORT = 32819;
constexpr int ID_VIEW_SMALL = 32820;
constexpr int ID_ARRANGE_NAME = 32821;
constexpr int ID_ARRANGE_TYPE = 32822;
constexpr int ID_ARRANGE_SIZE = 32823;
constexpr int ID_ARRANGE_DATE = 32824;
constexpr int ID_REFRESH = 32825;
constexpr int ID_NEW_FOLDER = 32827;
constexpr int ID_PROPERTIES = 32828;
constexpr int ID_EXECUTE = 32829;
constexpr int ID_DELETE = 32830;
constexpr int ID_SELECT_ALL = 32833;
constexpr int ID_INVERT_SELECTION = 32834;
constexpr int ID_SELECT_PAGE = 32835;
constexpr int ID_RENAME = 32836;
constexpr int ID_UP_ONE_LEVEL = 32842;
constexpr int ID_DEFAULT_DIRECTORY = 32843;

// Commands of the Site Manager's menu (menu 183); 32830 and 32836 are shared.
constexpr int ID_NEW_SITE = 32837;
constexpr int ID_SAVE_SETTINGS = 32838;
constexpr int ID_EDIT_SITE = 32840;

// Command ids are kept as the program's own numbers everywhere (tables,
// routing, tests); widgets need ids below 0x7FFF and clear of the stock ids
// 5000-5999, so they get these mapped numbers.
constexpr int ToWx(int command) {
    return command < 40000 ? command - 22000 : command - 46000;
}
constexpr int FromWx(int wxId) {
    return wxId < 11500 ? wxId + 22000 : wxId + 46000;
}
static_assert(FromWx(ToWx(ID_REFRESH_TOOLBAR)) == ID_REFRESH_TOOLBAR);
static_assert(FromWx(ToWx(ID_APP_ABOUT)) == ID_APP_ABOUT);
static_assert(FromWx(ToWx(ID_VIEW_DETAILS)) == ID_VIEW_DETAILS);
static_assert(ToWx(ID_VIEW_DETAILS) < 0x7FFF && ToWx(ID_REFRESH_TOOLBAR) > 5999);

// Modifier flags of a key.
enum { kAlt = 1, kCtrl = 2 };
// Key codes other than letters (letters are their upper-case character).
enum { kKeyF1 = 0x70, kKeyF5 = 0x74, kKeyDelete = 0x2E, kKeyReturn = 0x0D };

struct Accelerator {
    int modifiers;
    int key;
    int command;
};

// The main window's accelerator table. Exit has none.
const std::vector<Accelerator>& Accelerators();

struct ToolButton {
    int command;
    std::string prompt;  // status-bar text
    std::string tooltip; // text after the line break of the prompt
};

// The fifteen toolbar buttons in order; a separator stands between each two.
const std::vector<ToolButton>& ToolbarButtons();

// The status-bar prompt and the tooltip of any command that has one ("" otherwise).
std::string PromptOf(int command);
std::string TooltipOf(int command);

struct MenuItem {
    int command; // 0 for a separator; -1 for a sub-menu header
    std::string caption;
    std::vector<MenuItem> items; // of a sub-menu
};

// The main menu's "&File" popup.
const std::vector<MenuItem>& FileMenu();
// The file panes' context menu "Options" (menu 176).
const std::vector<MenuItem>& PaneMenu();

} // namespace cmd
