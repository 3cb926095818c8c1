#include "remote/CertificateDlg.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Text.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

namespace {

const char* const kChangedWarning =
    "Warning: this server's certificate has changed since you trusted it. This happens when the "
    "server gets a new certificate, but it can also mean that someone is intercepting the "
    "connection. Trust the new certificate only if you know why it changed.";

// A SHA-256 fingerprint as two lines of 16 bytes, so that it shows whole.
std::string TwoLines(const std::string& fingerprint) {
    return fingerprint.size() == 95 ? fingerprint.substr(0, 47) + "\n" + fingerprint.substr(48)
                                    : fingerprint;
}

} // namespace

CCertificateDlg::CCertificateDlg(wxWindow* parent, const remote::Certificate& c)
    : wxDialog(parent, wxID_ANY, "Unknown Certificate") {
    ui::RequireUiThread("CCertificateDlg::CCertificateDlg");
    auto* top = new wxBoxSizer(wxVERTICAL);
    if (!c.trustedBefore.empty()) {
        m_wndWarning = new wxStaticText(this, IDC_CERT_WARNING, wxString());
        m_wndWarning->SetLabelText(kChangedWarning);
        m_wndWarning->SetForegroundColour(*wxRED);
        m_wndWarning->Wrap(520);
        top->Add(m_wndWarning, 0, wxALL, 10);
    }
    auto* intro = new wxStaticText(this, wxID_ANY, wxString());
    intro->SetLabelText("The server's certificate could not be verified:");
    top->Add(intro, 0, wxLEFT | wxRIGHT | wxTOP, 10);
    // Every problem found, one a line (our own texts; a caller that has
    // only the one-line summary shows that).
    std::vector<std::string> problems = c.problems;
    if (problems.empty() && !c.problem.empty())
        problems.push_back(c.problem);
    auto* list = new wxBoxSizer(wxVERTICAL);
    for (const std::string& p : problems) {
        auto* line = new wxStaticText(this, wxID_ANY, wxString());
        line->SetLabelText(wxString::FromUTF8(ui::DisplayText(p)));
        line->Wrap(500);
        list->Add(line, 0, wxTOP, 4);
        m_problems.push_back(line);
    }
    top->Add(list, 0, wxLEFT | wxRIGHT, 20);
    auto* advice = new wxStaticText(this, wxID_ANY, wxString());
    advice->SetLabelText("Nothing has been sent to the server yet; trust the certificate only if "
                         "you know it is the server's own.");
    advice->Wrap(520);
    top->Add(advice, 0, wxLEFT | wxRIGHT | wxTOP, 10);

    // The certificate's texts come from the server (and the old fingerprint
    // from the store): shown as text only, in read-only fields that can be
    // copied from, with whatever would hide, reorder or break them escaped.
    auto* grid = new wxFlexGridSizer(2, 6, 8);
    using ui::DisplayText;
    std::vector<std::pair<std::string, std::string>> rows{
        {"Host", DisplayText(c.server)},
        {"Subject", DisplayText(c.subject)},
        {"Issuer", DisplayText(c.issuer)},
        {"Valid from", DisplayText(c.validFrom)},
        {"Valid until", DisplayText(c.validUntil)},
        {"SHA-256 fingerprint", TwoLines(DisplayText(c.fingerprint))}};
    if (!c.trustedBefore.empty())
        rows.emplace_back("Trusted before", TwoLines(DisplayText(c.trustedBefore)));
    for (const auto& [caption, value] : rows) {
        grid->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(caption)), 0, wxALIGN_TOP);
        bool multi = value.find('\n') != std::string::npos;
        auto* field = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(value), wxDefaultPosition,
                                     wxSize(480, multi ? 52 : -1),
                                     wxTE_READONLY | wxTE_DONTWRAP | (multi ? wxTE_MULTILINE : 0));
        grid->Add(field, 1, wxEXPAND);
        m_rows.emplace_back(caption, field);
    }
    grid->AddGrowableCol(1);
    top->Add(grid, 1, wxEXPAND | wxALL, 10);

    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(new wxButton(this, IDC_TRUST_ALWAYS, "Always trust this certificate"), 0, wxRIGHT,
                 6);
    buttons->Add(new wxButton(this, IDC_TRUST_ONCE, "Trust once"), 0, wxRIGHT, 6);
    auto* cancel = new wxButton(this, wxID_CANCEL, "Cancel");
    cancel->SetDefault(); // Enter does not trust a stranger's certificate
    buttons->Add(cancel);
    top->Add(buttons, 0, wxALIGN_RIGHT | wxLEFT | wxRIGHT | wxBOTTOM, 10);
    SetSizerAndFit(top);
    cancel->SetFocus();
    for (int id : {static_cast<int>(IDC_TRUST_ALWAYS), static_cast<int>(IDC_TRUST_ONCE)})
        Bind(
            wxEVT_BUTTON, [this, id](wxCommandEvent&) { EndModal(id); }, id);
}

remote::Trust CCertificateDlg::AnswerFor(int endCode) {
    if (endCode == IDC_TRUST_ALWAYS)
        return remote::Trust::Always;
    if (endCode == IDC_TRUST_ONCE)
        return remote::Trust::Once;
    return remote::Trust::Cancel;
}

std::string CCertificateDlg::Warning() const {
    return m_wndWarning ? m_wndWarning->GetLabelText().utf8_string() : std::string();
}

std::vector<std::string> CCertificateDlg::Problems() const {
    std::vector<std::string> lines;
    for (wxStaticText* line : m_problems) {
        std::string text = line->GetLabelText().utf8_string();
        std::replace(text.begin(), text.end(), '\n', ' '); // where Wrap() broke it
        lines.push_back(text);
    }
    return lines;
}

std::string CCertificateDlg::Value(const std::string& caption) const {
    for (const auto& [c, field] : m_rows)
        if (c == caption)
            return static_cast<wxTextCtrl*>(field)->GetValue().utf8_string();
    return "";
}
