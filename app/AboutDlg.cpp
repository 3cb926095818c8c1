#include "app/AboutDlg.h"

#include "platform/ui/Modal.h"
#include "resources/Artwork.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/textctrl.h>

namespace {
constexpr int kCreditsId = 1035;
}

std::string AboutCredits() {
    return "Orvane FTP client, version 1.0\r\n"
           "Copyright (C) 2026\r\n"
           "Halvard Tremoc AS\r\n"
           "Bergen, Norway\r\n"
           "https://orvane.example.org";
}

CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, 100, "About Orvane", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE) {
    auto* picture = new wxStaticBitmap(this, wxID_ANY, art::LoadBitmap(art::BMP_ABOUT));
    auto* credits = new wxTextCtrl(this, kCreditsId, wxString(), wxDefaultPosition,
                                   wxSize(260, 110), wxTE_MULTILINE | wxTE_READONLY);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    ok->SetDefault();
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(picture, 0, wxALIGN_TOP | wxRIGHT, 10);
    row->Add(credits, 1, wxEXPAND);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(row, 1, wxEXPAND | wxALL, 10);
    top->Add(ok, 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
    SetEscapeId(wxID_OK);
}

bool CAboutDlg::TransferDataToWindow() {
    if (auto* credits = dynamic_cast<wxTextCtrl*>(FindWindow(kCreditsId)))
        credits->ChangeValue(wxString::FromUTF8(m_strCredits));
    return true;
}

void OnAppAbout(wxWindow* parent) {
    CAboutDlg dlg(parent);
    dlg.m_strCredits = AboutCredits();
    ui::RunModal(dlg);
}
