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

} // namespace cmd
