// Asks whether to trust an SSH server's host key that no known_hosts file
// holds: the server, its port, the key's type and its SHA256 fingerprint, to
// be compared with what the server's owner says. Nothing has been sent to
// the server yet.
#pragma once

#include "platform/remote/RemoteFs.h"

#include <wx/dialog.h>

#include <string>
#include <utility>
#include <vector>

enum {
    IDC_HOSTKEY_ALWAYS = 1065,
    IDC_HOSTKEY_ONCE = 1066,
};

class CHostKeyDlg : public wxDialog {
public:
    CHostKeyDlg(wxWindow* parent, const remote::HostKey& key);
    // The answer an end code stands for (Cancel for anything else).
    static remote::Trust AnswerFor(int endCode);
    // The value shown in the row captioned `caption` ("" when none).
    std::string Value(const std::string& caption) const;

private:
    std::vector<std::pair<std::string, wxWindow*>> m_rows;
};
