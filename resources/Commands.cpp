#include "resources/Commands.h"

#include <map>

namespace cmd {

namespace {

// The string table: prompt before the line break, tooltip after it.
const std::map<int, std::string>& Prompts() {
    static const std::map<int, std::string> prompts = {
        {ID_REFRESH_TOOLBAR, "Refresh \nRefresh"},
        {ID_SITE_MANAGER, "Shows Site Manager\nSite Manager"},
        {ID_DISCONNECT, "Disconnect from Remote system\nDisconnect"},
        {ID_RECONNECT, "Reconnect to Remote System\nReconnect"},
        {ID_NEW_FOLDER_TOOLBAR, "Creats New Directory\nNew Folder"},
        {ID_DELETE_TOOLBAR, "Deletes Directory or File[s]\nDelete"},
        {ID_RUN, "Opens File[s]\nRun"},
        {ID_VIEW_FILES, "View File[s]"},
        {ID_UPLOAD_TOOLBAR, "Uploads file[s] to Remote System\nUpload"},
        {ID_DOWNLOAD_TOOLBAR, "Downloads file[s]  from Remote System\nDownload"},
        {ID_PROPERTIES_TOOLBAR, "Shows Properties for selected items\nProperties"},
        {ID_STOP, "Stops Current Process\n Stop"},
        {ID_APP_EXIT, "Quit Orvane\nExit"},
        {ID_VIEW_SMALLICON, "Small Icons Style\nSmall Icons"},
        {ID_VIEW_DETAILS, "Report View Style\n Report"},
        {ID_APP_ABOUT, "Display program information, version number and copyright\nAbout"},
        // Prompts of ids that no menu, toolbar or key uses.
        {32772, "Connect to Remote System \nSite Manager"},
        {32773, "Execute \nOpen"},
        {32774, "Delete \nDelete"},
        {32775, "Creates new folder\nNew Folder"},
        {32776, "Upload files \nUpload"},
        {32777, "Shows properties \nProperties"},
        {32792, "Downlode files \nDownload"},
        {32793, "Exit FTP \nQuit"},
        {32794, "Report View \nReport"},
        {32795, "List View \nList"},
        {32807, "Reconnect \nReconnect"},
        {32808, "Disconnect \nDisconnect"},
    };
    return prompts;
}

std::string Entry(int command) {
    auto it = Prompts().find(command);
    return it == Prompts().end() ? std::string() : it->second;
}

} // namespace

std::string PromptOf(int command) {
    std::string e = Entry(command);
    return e.substr(0, e.find('\n'));
}

std::string TooltipOf(int command) {
    std::string e = Entry(command);
    size_t nl = e.find('\n');
    return nl == std::string::npos ? std::string() : e.substr(nl + 1);
}

const std::vector<Accelerator>& Accelerators() {
    static const std::vector<Accelerator> table = {
        {kAlt, 'S', ID_SITE_MANAGER},      {kAlt, 'D', ID_DISCONNECT},
        {kAlt, 'R', ID_RECONNECT},         {kAlt, 'N', ID_NEW_FOLDER_TOOLBAR},
        {kAlt, 'F', ID_DELETE_TOOLBAR},    {kAlt, 'E', ID_RUN},
        {kAlt, 'V', ID_VIEW_FILES},        {kCtrl, 'U', ID_UPLOAD_TOOLBAR},
        {kCtrl, 'D', ID_DOWNLOAD_TOOLBAR}, {0, kKeyF5, ID_REFRESH},
        {kAlt, kKeyReturn, ID_PROPERTIES}, {0, kKeyDelete, ID_DELETE},
        {kCtrl, 'A', ID_SELECT_ALL},       {0, kKeyF1, ID_HELP_FILE},
    };
    return table;
}

const std::vector<ToolButton>& ToolbarButtons() {
    static const std::vector<ToolButton> buttons = [] {
        std::vector<ToolButton> b;
        for (int id : {ID_NEW_FOLDER_TOOLBAR, ID_SITE_MANAGER, ID_RECONNECT, ID_DISCONNECT, ID_RUN,
                       ID_DELETE_TOOLBAR, ID_UPLOAD_TOOLBAR, ID_DOWNLOAD_TOOLBAR,
                       ID_PROPERTIES_TOOLBAR, ID_REFRESH_TOOLBAR, ID_VIEW_DETAILS,
                       ID_VIEW_SMALLICON, ID_STOP, ID_APP_EXIT, ID_APP_ABOUT})
            b.push_back({id, PromptOf(id), TooltipOf(id)});
        return b;
    }();
    return buttons;
}

const std::vector<MenuItem>& FileMenu() {
    static const std::vector<MenuItem> menu = {
        {ID_SITE_MANAGER, "&Site Manager\tAlt + S", {}},
        {ID_DISCONNECT, "&Disconnect\tAlt + D", {}},
        {ID_RECONNECT, "&Reconnect\tAlt + R", {}},
        {0, "", {}},
        {ID_APP_EXIT, "E&xit\tAlt + X", {}},
    };
    return menu;
}

const std::vector<MenuItem>& PaneMenu() {
    static const std::vector<MenuItem> menu = {
        {ID_UPLOAD, "&Upload          Ctrl + U", {}},
        {ID_DOWNLOAD, "Download     Ctrl + D", {}},
        {0, "", {}},
        {ID_UP_ONE_LEVEL, "One Level Up", {}},
        {ID_DEFAULT_DIRECTORY, "Default Directory", {}},
        {0, "", {}},
        {-1, "&View", {{ID_VIEW_REPORT, "Report", {}}, {ID_VIEW_SMALL, "Small", {}}}},
        {-1,
         "Arrange Icons",
         {{ID_ARRANGE_NAME, "By Name", {}},
          {ID_ARRANGE_TYPE, "By Type", {}},
          {ID_ARRANGE_SIZE, "By Size", {}},
          {ID_ARRANGE_DATE, "By Date", {}}}},
        {0, "", {}},
        {ID_REFRESH, "Re&fresh                F5", {}},
        {ID_NEW_FOLDER, "&New Folder", {}},
        {0, "", {}},
        {ID_SELECT_ALL, "Select All", {}},
        {ID_SELECT_PAGE, "Select Current Page", {}},
        {ID_INVERT_SELECTION, "Invert Selection", {}},
        {0, "", {}},
        {ID_EXECUTE, "E&xecute", {}},
        {ID_RENAME, "Rename", {}},
        {ID_DELETE, "&Delete", {}},
        {0, "", {}},
        {ID_PROPERTIES, "P&roperties", {}},
    };
    return menu;
}

} // namespace cmd
