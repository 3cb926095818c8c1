#include "sites/SiteManagerDlg.h"

#include "platform/ui/Modal.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

CSiteManagerDlg::CSiteManagerDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Site Manager") {
    auto* grid = new wxFlexGridSizer(2, 6, 8);
    auto add = [&](const char* label, wxWindow* field) {
        grid->Add(new wxStaticText(this, wxID_ANY, label), 0, wxALIGN_CENTER_VERTICAL);
        grid->Add(field, 1, wxEXPAND);
    };
    m_host = new wxTextCtrl(this, 1008, "localhost");
    m_user = new wxTextCtrl(this, 1009, "anonymous");
    m_password = new wxTextCtrl(this, 1010, "", wxDefaultPosition, wxDefaultSize, wxTE_PASSWORD);
    m_port = new wxTextCtrl(this, 1011, "21");
    m_mode = new wxChoice(this, 1051);
    m_mode->Append("FTP");
    m_mode->Append("Passive");
    m_mode->SetSelection(0);
    add("FTP Host Address ", m_host);
    add("FTP site User Name ", m_user);
    add("FTP site Password", m_password);
    add("FTP site Connection Port", m_port);
    add("Mode", m_mode);
    grid->AddGrowableCol(1);
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* connect = new wxButton(this, wxID_OK, "Connect");
    connect->SetDefault();
    buttons->Add(connect, 0, wxRIGHT, 8);
    buttons->Add(new wxButton(this, wxID_CANCEL, "Exit"));
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, 1, wxEXPAND | wxALL, 12);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 12);
    SetSizerAndFit(top);
    SetSize(wxSize(420, -1));
}

bool CSiteManagerDlg::TransferDataFromWindow() {
    long port = 0;
    if (!m_port->GetValue().ToLong(&port)) {
        ui::MessageBox(this, "Please enter an integer.", "Site Manager", ui::kButtonsOk,
                       ui::kIconStop);
        return false;
    }
    m_strHost = m_host->GetValue().utf8_string();
    m_strUser = m_user->GetValue().utf8_string();
    m_strPassword = m_password->GetValue().utf8_string();
    m_nPort = static_cast<int>(port);
    m_bPassive = m_mode->GetSelection() != 0 ? 1 : 0;
    return true;
}
