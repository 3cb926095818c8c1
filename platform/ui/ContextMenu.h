// Right clicks that open a context menu.
#pragma once

#include <wx/event.h>
#include <wx/window.h>

#include <functional>
#include <memory>

namespace ui {

// Shows the menu `show` opens once per right click on `window`, after the
// click (one right click can deliver its event twice).
template <class Event>
void BindContextMenu(wxWindow* window, const wxEventTypeTag<Event>& type,
                     std::function<void()> show) {
    auto pending = std::make_shared<bool>(false);
    window->Bind(type, [window, pending, show](Event&) {
        if (*pending)
            return;
        *pending = true;
        window->CallAfter([pending, show] {
            *pending = false;
            show();
        });
    });
}

// Marks `pane` active when `window` is clicked or gets the focus.
inline void BindActivation(wxWindow* window, std::function<void()> activate) {
    window->Bind(wxEVT_LEFT_DOWN, [activate](wxMouseEvent& e) {
        activate();
        e.Skip();
    });
    window->Bind(wxEVT_SET_FOCUS, [activate](wxFocusEvent& e) {
        activate();
        e.Skip();
    });
}

} // namespace ui
