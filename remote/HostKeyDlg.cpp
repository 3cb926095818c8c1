#include "remote/HostKeyDlg.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

CHostKeyDlg::CHostKeyDlg(wxWindow* parent, const remote::HostKey& key)
    : wxDialog(parent, wxID_ANY, "Unknown Host Key") {
    ui::RequireUiThread("CHostKeyDlg::CHostKeyDlg");
    auto* top = new wxBoxSizer(wxVERTICAL);
    auto* intro = new wxStaticText(this, wxID_ANY, wxString());
    intro->SetLabelText("The server's host key is not known. Nothing has been sent to the server "
                        "yet; trust the key only if its fingerprint is the one the server's "
                        "owner gives.");
    intro->Wrap(520);
    top->Add(intro, 0, wxLEFT | wxRIGHT | wxTOP, 10);

    // The texts come from the site and from ssh's words about the server:
    // shown as text only, in read-only fields that can be copied from.
    auto* grid = new wxFlexGridSizer(2, 6, 8);
    using ui::DisplayText;
    std::vector<std::pair<std::string, std::string>> rows{
        {"Host", DisplayText(key.host)},
        {"Port", std::to_string(key.port)},
        {"Key type", DisplayText(key.keyType)},
        {"SHA256 fingerprint", DisplayText(key.fingerprint)}};
    for (const auto& [caption, value] : rows) {
        grid->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(caption)), 0,
                  wxALIGN_CENTER_VERTICAL);
        auto* field = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(value), wxDefaultPosition,
                                     wxSize(440, -1), wxTE_READONLY | wxTE_DONTWRAP);
        grid->Add(field, 1, wxEXPAND);
        m_rows.emplace_back(caption, field);
    }
    grid->AddGrowableCol(1);
    top->Add(grid, 1, wxEXPAND | wxALL, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(new wxButton(this, IDC_HOSTKEY_ALWAYS, "Always trust this key"), 0, wxRIGHT, 6);
    buttons->Add(new wxButton(this, IDC_HOSTKEY_ONCE, "Trust once"), 0, wxRIGHT, 6);
    auto* cancel = new wxButton(this, wxID_CANCEL, "Cancel");
    cancel->SetDefault(); // Enter does not trust a stranger's key
    buttons->Add(cancel);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
    cancel->SetFocus();
    for (int id : {static_cast<int>(IDC_HOSTKEY_ALWAYS), static_cast<int>(IDC_HOSTKEY_ONCE)})
        Bind(
            wxEVT_BUTTON, [this, id](wxCommandEvent&) { EndModal(id); }, id);
}

remote::Trust CHostKeyDlg::AnswerFor(int endCode) {
    if (endCode == IDC_HOSTKEY_ALWAYS)
        return remote::Trust::Always;
    if (endCode == IDC_HOSTKEY_ONCE)
        return remote::Trust::Once;
    return remote::Trust::Cancel;
}

std::string CHostKeyDlg::Value(const std::string& caption) const {
    for (const auto& [c, w] : m_rows)
        if (c == caption)
            return static_cast<wxTextCtrl*>(w)->GetValue().utf8_string();
    return {};
}
