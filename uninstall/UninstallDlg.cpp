#include "uninstall/UninstallDlg.h"

#include "app/Artwork.h"
#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"

#include <wx/button.h>
#include <wx/iconbndl.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kUninstallId = 1000;
constexpr int kExitId = 1001;
constexpr int kLogId = 1002;
} // namespace

COrvaneUninstallDlg::COrvaneUninstallDlg(wxWindow* parent)
    : wxDialog(parent, 102, "Uninstall Orvane", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE) {
    SetIcons(art::AppIcons());

    auto* top = new wxBoxSizer(wxVERTICAL);
    auto* head = new wxBoxSizer(wxHORIZONTAL);
    head->Add(new wxStaticBitmap(this, wxID_ANY, art::LoadIconBitmap(art::ICON_APP, 32)), 0,
              wxALIGN_TOP | wxRIGHT, 10);
    head->Add(new wxStaticBitmap(this, wxID_ANY, art::LoadBitmap(art::BMP_ABOUT)), 0, wxRIGHT, 10);
    auto* text = new wxStaticText(
        this, wxID_ANY,
        "Orvane is an FTP tool from Halvard Tremoc: two panes, your files and the "
        "server's, side by side.\nVisit https://orvane.example.org for news and updates.");
    text->Wrap(300);
    head->Add(text, 1, wxALIGN_CENTER_VERTICAL);
    top->Add(head, 0, wxEXPAND | wxALL, 10);

    auto* box = new wxStaticBoxSizer(wxVERTICAL, this, "Uninstall Information");
    m_wndLog = new wxTextCtrl(box->GetStaticBox(), kLogId, wxString(), wxDefaultPosition,
                              wxSize(460, 200), wxTE_MULTILINE | wxTE_READONLY | wxBORDER_NONE);
    m_wndLog->SetBackgroundColour(GetBackgroundColour());
    box->Add(m_wndLog, 1, wxEXPAND | wxALL, 4);
    top->Add(box, 1, wxEXPAND | wxLEFT | wxRIGHT, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    auto* about = new wxButton(this, wxID_ANY, "About OrvaneUninstall...");
    m_wndUninstall = new wxButton(this, kUninstallId, "&Uninstall");
    m_wndExit = new wxButton(this, kExitId, "E&xit");
    buttons->Add(about, 0);
    buttons->AddStretchSpacer();
    buttons->Add(m_wndUninstall, 0, wxRIGHT, 8);
    buttons->Add(m_wndExit, 0);
    top->Add(buttons, 0, wxEXPAND | wxALL, 10);
    SetSizerAndFit(top);

    m_uninstaller.m_log = [this](const std::string& line) { AppendLog(line); };
    m_uninstaller.m_error = [this](const std::string& message) {
        ui::MessageBox(this, message, "Error", ui::kButtonsOk, ui::kIconStop);
    };
    m_wndUninstall->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnUninstall(); });
    m_wndExit->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { EndModal(wxID_OK); });
    about->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnAbout(); });
    SetEscapeId(kExitId);
    SetAffirmativeId(kExitId);
}

void COrvaneUninstallDlg::AppendLog(const std::string& text) {
    if (!ui::IsUiThread()) {
        std::fprintf(stderr, "OrvaneUninstall: the log was changed off the UI thread\n");
        std::abort();
    }
    m_strLog += text;
    m_wndLog->ChangeValue(wxString::FromUTF8(m_strLog));
    m_wndLog->ShowPosition(m_wndLog->GetLastPosition());
    m_wndLog->Update();
}

void COrvaneUninstallDlg::OnUninstall() {
    wxBusyCursor wait;
    if (!m_uninstaller.Run())
        return;
    m_wndUninstall->Disable();
    m_wndExit->SetFocus();
}

void COrvaneUninstallDlg::OnAbout() {
    CUninstallAboutDlg dlg(this);
    ui::RunModal(dlg);
}

CUninstallAboutDlg::CUninstallAboutDlg(wxWindow* parent)
    : wxDialog(parent, 100, "About OrvaneUninstall") {
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    row->Add(new wxStaticBitmap(this, wxID_ANY, art::LoadIconBitmap(art::ICON_APP, 32)), 0, wxRIGHT,
             12);
    row->Add(new wxStaticText(this, wxID_ANY, "OrvaneUninstall Version 1.0"), 0,
             wxALIGN_CENTER_VERTICAL);
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(row, 0, wxALL, 14);
    auto* ok = new wxButton(this, wxID_OK, "OK");
    ok->SetDefault();
    top->Add(ok, 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
}
