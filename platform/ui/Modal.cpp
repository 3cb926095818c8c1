#include "platform/ui/Modal.h"

#include "platform/ui/Dispatcher.h"

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/dirdlg.h>
#include <wx/msgdlg.h>
#include <wx/toplevel.h>

#include <gtk/gtk.h>

#include <utility>

namespace ui {

namespace {
MessageBoxHook g_messageBoxHook;
DialogHook g_dialogHook;
FolderBrowserHook g_folderHook;
} // namespace

void SetFolderBrowserHook(FolderBrowserHook hook) {
    g_folderHook = std::move(hook);
}

std::string BrowseForFolder(wxWindow* parent, const std::string& heading,
                            const std::string& start) {
    if (g_folderHook)
        return g_folderHook(heading);
    wxDirDialog dlg(parent, wxString::FromUTF8(heading), wxString::FromUTF8(start),
                    wxDD_DEFAULT_STYLE);
    if (dlg.ShowModal() != wxID_OK)
        return "";
    return dlg.GetPath().utf8_string();
}

void SetMessageBoxHook(MessageBoxHook hook) {
    g_messageBoxHook = std::move(hook);
}
void SetDialogHook(DialogHook hook) {
    g_dialogHook = std::move(hook);
}

int MessageBox(wxWindow* parent, const std::string& text, const std::string& caption, int buttons,
               int icon) {
    if (g_messageBoxHook)
        return g_messageBoxHook(MessageBoxRequest{text, caption, buttons, icon});
    long style = (buttons & 0xFF) == kButtonsYesNo ? wxYES_NO : wxOK;
    if ((buttons & kDefaultSecond) && (buttons & 0xFF) == kButtonsYesNo)
        style |= wxNO_DEFAULT;
    if (icon == kIconStop)
        style |= wxICON_ERROR;
    else if (icon == kIconQuestion)
        style |= wxICON_QUESTION;
    else if (icon == kIconInformation)
        style |= wxICON_INFORMATION;
    wxMessageDialog dlg(parent, wxString::FromUTF8(text), wxString::FromUTF8(caption), style);
    switch (dlg.ShowModal()) {
    case wxID_YES:
        return kYes;
    case wxID_NO:
        return kNo;
    case wxID_CANCEL:
        return kCancel;
    default:
        return kOk;
    }
}

wxWindow* ModalOwner(wxDialog& dialog) {
    wxWindow* owner = dialog.GetParent() ? wxGetTopLevelParent(dialog.GetParent()) : nullptr;
    if (!owner && wxTheApp)
        owner = wxTheApp->GetTopWindow();
    return owner && owner != &dialog ? owner : nullptr;
}

int RunModal(wxDialog& dialog) {
    RequireUiThread("ui::RunModal");
    // The dialog stays above the window it belongs to, whatever the window
    // manager does with stacking: a modal dialog hidden below its window
    // would leave a window that ignores every click. A dialog made without a
    // parent belongs to the main window.
    if (wxWindow* owner = ModalOwner(dialog)) {
        GtkWidget* self = dialog.GetHandle();
        GtkWidget* above = owner->GetHandle();
        if (self && above && GTK_IS_WINDOW(self) && GTK_IS_WINDOW(above))
            gtk_window_set_transient_for(GTK_WINDOW(self), GTK_WINDOW(above));
    }
    // Raised once it shows (inside the modal loop, when it is mapped).
    dialog.Bind(wxEVT_SHOW, [&dialog](wxShowEvent& event) {
        event.Skip();
        if (event.IsShown())
            dialog.CallAfter([&dialog] { dialog.Raise(); });
    });
    if (g_dialogHook) {
        // Let the dialog initialise as it would when shown.
        dialog.InitDialog();
        return g_dialogHook(dialog);
    }
    return dialog.ShowModal();
}

} // namespace ui
