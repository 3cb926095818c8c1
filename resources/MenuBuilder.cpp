#include "resources/MenuBuilder.h"

#include <wx/menu.h>

namespace cmd {

wxMenu* BuildMenu(const std::vector<MenuItem>& items,
                  const std::function<std::string(const MenuItem&)>& caption) {
    auto* menu = new wxMenu;
    for (const MenuItem& item : items) {
        if (item.command == 0) {
            menu->AppendSeparator();
        } else if (item.command < 0) {
            menu->AppendSubMenu(BuildMenu(item.items, caption), wxString::FromUTF8(item.caption));
        } else {
            // Captions show their own key texts; no key is taken from them.
            std::string text = caption ? caption(item) : item.caption;
            menu->Append(ToWx(item.command), wxString::FromUTF8(text));
        }
    }
    return menu;
}

const std::vector<int>& BusyPaneCommands() {
    static const std::vector<int> commands = {ID_EXECUTE,           ID_RENAME,      ID_DELETE,
                                              ID_PROPERTIES,        ID_NEW_FOLDER,  ID_REFRESH,
                                              ID_DEFAULT_DIRECTORY, ID_UP_ONE_LEVEL};
    return commands;
}

void DisableCommands(wxMenu* menu, const std::vector<int>& commands) {
    for (int id : commands)
        menu->Enable(ToWx(id), false);
}

} // namespace cmd
