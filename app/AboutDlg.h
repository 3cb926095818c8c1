// The About box.
#pragma once

#include <wx/dialog.h>

#include <string>

class CAboutDlg : public wxDialog {
public:
    explicit CAboutDlg(wxWindow* parent);
    bool TransferDataToWindow() override;

    std::string m_strCredits;
};

// The credits text: five lines.
std::string AboutCredits();

// Command 57664: shows the About box.
void OnAppAbout(wxWindow* parent);
