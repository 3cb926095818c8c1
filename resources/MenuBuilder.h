// Builds a menu from the command table's description of it.
#pragma once

#include "resources/Commands.h"

#include <functional>

class wxMenu;

namespace cmd {

// A new menu with `items`; `caption` may replace an item's caption (return
// the one given to keep it).
wxMenu* BuildMenu(const std::vector<MenuItem>& items,
                  const std::function<std::string(const MenuItem&)>& caption = nullptr);

// The commands of either pane's context menu grayed while a transfer or a
// remote worker runs, besides the pane's own transfer command.
const std::vector<int>& BusyPaneCommands();
// Grays `commands` in `menu`.
void DisableCommands(wxMenu* menu, const std::vector<int>& commands);

} // namespace cmd
