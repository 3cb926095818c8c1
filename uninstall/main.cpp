// OrvaneUninstall: one dialog; the program ends when it closes.
#include "platform/ui/Dispatcher.h"
#include "uninstall/UninstallDlg.h"

#include <wx/app.h>
#include <wx/init.h>

namespace {

class COrvaneUninstallApp : public wxApp {
public:
    bool OnInit() override {
        ui::SetUiThread();
        COrvaneUninstallDlg dlg(nullptr);
        dlg.ShowModal();
        return false; // no message loop after the dialog
    }
};

} // namespace

int main(int argc, char** argv) {
    wxApp::SetInstance(new COrvaneUninstallApp);
    wxEntry(argc, argv);
    return 0;
}
