#include "transfer/ReplaceDlg.h"

#include "platform/ui/Dispatcher.h"
#include "platform/ui/Modal.h"
#include "platform/ui/Text.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include <chrono>
#include <future>
#include <memory>

CReplaceDlg::CReplaceDlg(wxWindow* parent)
    : wxDialog(parent, IDD, "Dialog", wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
    ui::RequireUiThread("CReplaceDlg");
    SetFont(wxFont(wxFontInfo(8).FaceName("Verdana")));
    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(new wxStaticText(this, wxID_ANY, "Would you like to replace the existing one"), 0,
             wxLEFT | wxRIGHT | wxTOP, 12);
    m_wndFirst = new wxStaticText(this, IDC_FIRST, "First file information");
    top->Add(m_wndFirst, 0, wxLEFT | wxRIGHT | wxTOP, 12);
    top->Add(new wxStaticText(this, wxID_ANY, "With this one ?"), 0, wxLEFT | wxRIGHT | wxTOP, 12);
    m_wndSecond = new wxStaticText(this, IDC_SECOND, "Second file information");
    top->Add(m_wndSecond, 0, wxLEFT | wxRIGHT | wxTOP, 12);

    auto* row = new wxBoxSizer(wxHORIZONTAL);
    auto* replace = new wxButton(this, wxID_OK, "&Replace");
    auto* skip = new wxButton(this, wxID_CANCEL, "&Skip");
    auto* replaceAll = new wxButton(this, IDC_REPLACE_ALL, "Replace &All");
    auto* skipAll = new wxButton(this, IDC_SKIP_ALL, "S&kip All");
    for (wxButton* b : {replace, skip, replaceAll})
        row->Add(b, 0, wxRIGHT, 6);
    row->Add(skipAll);
    top->Add(row, 0, wxALL, 12);
    SetSizerAndFit(top);

    replace->SetDefault(); // Enter
    SetAffirmativeId(wxID_OK);
    SetEscapeId(wxID_CANCEL); // Esc
    replace->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnOK(); });
    skip->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnCancel(); });
    replaceAll->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnReplaceAll(); });
    skipAll->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnSkipAll(); });
    // The close box answers as Skip does.
    Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { OnCancel(); });
    CentreOnScreen();
}

bool CReplaceDlg::TransferDataToWindow() {
    ui::RequireUiThread("CReplaceDlg::TransferDataToWindow");
    // Names are bytes: what is not UTF-8 shows escaped, never as nothing.
    m_wndFirst->SetLabelText(ui::ToWx(m_strFirst));
    m_wndSecond->SetLabelText(ui::ToWx(m_strSecond));
    Fit();
    return true;
}

bool CReplaceDlg::TransferDataFromWindow() {
    // The texts are shown, never edited: what the dialog was given stays.
    return true;
}

void CReplaceDlg::Answer(int* chosen) {
    ui::RequireUiThread("CReplaceDlg answer");
    m_bReplace = m_bSkip = m_bSkipAll = m_bReplaceAll = 0;
    *chosen = 1;
    TransferDataFromWindow();
    // Every answer ends the dialog as OK does; callers read the members.
    SetReturnCode(wxID_OK);
    EndDialog(wxID_OK);
}

void CReplaceDlg::OnOK() {
    Answer(&m_bReplace);
}
void CReplaceDlg::OnCancel() {
    Answer(&m_bSkip);
}
void CReplaceDlg::OnReplaceAll() {
    Answer(&m_bReplaceAll);
}
void CReplaceDlg::OnSkipAll() {
    Answer(&m_bSkipAll);
}

namespace transfer {

namespace {

// The dialog of a question being asked; touched on the UI thread only.
struct Asking {
    CReplaceDlg* dlg = nullptr;
};

ReplaceAnswer AskHere(const std::string& first, const std::string& second,
                      Asking* asking = nullptr) {
    CReplaceDlg dlg(nullptr);
    dlg.m_strFirst = first;
    dlg.m_strSecond = second;
    if (asking)
        asking->dlg = &dlg;
    ui::RunModal(dlg);
    if (asking)
        asking->dlg = nullptr;
    if (dlg.m_bReplace)
        return ReplaceAnswer::Replace;
    if (dlg.m_bReplaceAll)
        return ReplaceAnswer::ReplaceAll;
    if (dlg.m_bSkipAll)
        return ReplaceAnswer::SkipAll;
    return ReplaceAnswer::Skip; // Skip, and a dialog that ended without an answer
}

} // namespace

ReplaceAnswer AskReplace(const std::string& first, const std::string& second,
                         const std::function<bool()>& cancel) {
    if (ui::IsUiThread())
        return AskHere(first, second);
    auto promise = std::make_shared<std::promise<ReplaceAnswer>>();
    auto asking = std::make_shared<Asking>();
    std::future<ReplaceAnswer> answer = promise->get_future();
    if (!ui::Post([promise, asking, first, second] {
            promise->set_value(AskHere(first, second, asking.get()));
        }))
        return ReplaceAnswer::Skip;
    try {
        // The UI thread never waits for us; we look up now and then whether
        // the question is still wanted.
        while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
            if (cancel && cancel()) {
                // A question nobody waits for any more goes away as Skip.
                ui::Post([asking] {
                    if (asking->dlg)
                        asking->dlg->OnCancel();
                });
                return ReplaceAnswer::Skip;
            }
        }
        return answer.get();
    } catch (const std::future_error&) {
        return ReplaceAnswer::Skip; // the question was dropped unasked: the application ends
    }
}

} // namespace transfer
