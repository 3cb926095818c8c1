// The Properties box of both panes: type, location, size and contents.
#pragma once

#include <wx/dialog.h>

#include <string>

class CPropertiesDlg : public wxDialog {
public:
    explicit CPropertiesDlg(wxWindow* parent);
    bool TransferDataToWindow() override;

    std::string m_strContains;
    std::string m_strLocation;
    std::string m_strSize;
    std::string m_strType;

    // Builds the box with the four texts and runs it.
    static void ShowProperties(wxWindow* parent, const std::string& type,
                               const std::string& location, const std::string& size,
                               const std::string& contains);
};
