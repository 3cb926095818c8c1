// Asks whether to trust a server certificate that the CA store did not verify
// for the server's name: what it is, who issued it, when it is valid, its
// SHA-256 fingerprint, and a plain warning when it replaces one the user
// trusted before.
#pragma once

#include "platform/remote/RemoteFs.h"

#include <wx/dialog.h>

class wxStaticText;

enum {
    IDC_TRUST_ALWAYS = 1061,
    IDC_TRUST_ONCE = 1062,
    IDC_CERT_WARNING = 1063,
};

class CCertificateDlg : public wxDialog {
public:
    CCertificateDlg(wxWindow* parent, const remote::Certificate& certificate);
    // The answer an end code stands for (Cancel for anything else).
    static remote::Trust AnswerFor(int endCode);
    // The warning shown when the certificate changed ("" when none).
    std::string Warning() const;
    // The problems shown, one a line.
    std::vector<std::string> Problems() const;
    // The value shown in the row captioned `caption` ("" when none); a
    // fingerprint is shown in two lines.
    std::string Value(const std::string& caption) const;

private:
    wxStaticText* m_wndWarning = nullptr;
    std::vector<wxStaticText*> m_problems; // one a line
    std::vector<std::pair<std::string, wxWindow*>> m_rows;
};
