// The seam through which the program asks the user something. The program
// calls these instead of showing message boxes and dialogs itself, so a test
// can answer in the user's place.
#pragma once

#include <functional>
#include <string>

class wxDialog;
class wxWindow;

namespace ui {

// Answers, as the message box returns them.
enum Answer { kOk = 1, kCancel = 2, kYes = 6, kNo = 7 };
// Buttons and icon of a message box.
enum Buttons { kButtonsOk = 0, kButtonsYesNo = 4 };
// Added to the buttons: the second button (No) is the default one.
constexpr int kDefaultSecond = 0x100;
enum Icon { kIconNone = 0, kIconStop = 0x10, kIconQuestion = 0x20, kIconInformation = 0x40 };

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    int buttons = kButtonsOk;
    int icon = kIconNone;
};

// Shows a modal message box and returns the answer.
int MessageBox(wxWindow* parent, const std::string& text, const std::string& caption,
               int buttons = kButtonsOk, int icon = kIconNone);

// Runs `dialog` modally and returns its end code. The dialog is kept above
// the window it belongs to (its parent's, else the main window) and raised
// when it shows.
int RunModal(wxDialog& dialog);
// The window `dialog` is kept above while it runs; null when there is none.
wxWindow* ModalOwner(wxDialog& dialog);

// Shows the folder browser with `heading`, starting at `start`; returns the
// chosen folder, or "" when the user cancelled.
std::string BrowseForFolder(wxWindow* parent, const std::string& heading, const std::string& start);

// Test hooks: when set, they answer in place of the user. The dialog hook gets
// the dialog already created (and initialised) and returns its end code; it
// may change the dialog's controls first.
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;
using DialogHook = std::function<int(wxDialog&)>;
void SetMessageBoxHook(MessageBoxHook hook);
void SetDialogHook(DialogHook hook);
using FolderBrowserHook = std::function<std::string(const std::string& heading)>;
void SetFolderBrowserHook(FolderBrowserHook hook);

} // namespace ui
