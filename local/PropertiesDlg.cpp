#include "local/PropertiesDlg.h"

#include "platform/ui/Modal.h"
#include "platform/ui/Text.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

namespace {
enum { kType = 1031, kLocation = 1032, kSize = 1033, kContains = 1034 };
}

CPropertiesDlg::CPropertiesDlg(wxWindow* parent) : wxDialog(parent, 147, "Properties") {
    auto* box = new wxStaticBoxSizer(wxVERTICAL, this, wxString());
    auto* grid = new wxFlexGridSizer(2, 6, 12);
    for (auto [label, id] :
         {std::pair{"Type             :", kType}, std::pair{"Locatin          :", kLocation},
          std::pair{"Size               :", kSize}, std::pair{"Contains        :", kContains}}) {
        grid->Add(new wxStaticText(box->GetStaticBox(), wxID_ANY, label));
        grid->Add(new wxStaticText(box->GetStaticBox(), id, wxString(), wxDefaultPosition,
                                   wxSize(320, -1), wxST_ELLIPSIZE_MIDDLE));
    }
    box->Add(grid, 1, wxEXPAND | wxALL, 8);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    ok->SetDefault();
    buttons->Add(ok, 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, wxID_CANCEL, "Cancel"));
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(box, 1, wxEXPAND | wxALL, 10);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
}

bool CPropertiesDlg::TransferDataToWindow() {
    for (auto [id, text] : {std::pair{kType, &m_strType}, std::pair{kLocation, &m_strLocation},
                            std::pair{kSize, &m_strSize}, std::pair{kContains, &m_strContains}})
        if (auto* st = dynamic_cast<wxStaticText*>(FindWindow(id)))
            st->SetLabelText(ui::ToWx(*text)); // an "&" in a path is no mnemonic
    return true;
}

void CPropertiesDlg::ShowProperties(wxWindow* parent, const std::string& type,
                                    const std::string& location, const std::string& size,
                                    const std::string& contains) {
    CPropertiesDlg dlg(parent);
    dlg.m_strType = type;
    dlg.m_strLocation = location;
    dlg.m_strSize = size;
    dlg.m_strContains = contains;
    ui::RunModal(dlg);
}
