#include "local/LeftView.h"

#include "app/Commands.h"

CLeftView::CLeftView(wxWindow* parent) : wxPanel(parent, wxID_ANY) {
    SetBackgroundColour(*wxWHITE);
}

void CLeftView::ChangeDirectory(const std::string& path) {
    m_strCurrentDir = path;
    m_calls.push_back("ChangeDirectory " + path);
}

void CLeftView::SetViewMode(int mode) { m_calls.push_back("SetViewMode " + std::to_string(mode)); }
void CLeftView::OnExecute() { m_calls.push_back("OnExecute"); }
void CLeftView::OnDelete() { m_calls.push_back("OnDelete"); }
void CLeftView::OnNewFolder() { m_calls.push_back("OnNewFolder"); }
void CLeftView::OnUpload() { m_calls.push_back("OnUpload"); }
void CLeftView::OnProperties() { m_calls.push_back("OnProperties"); }
void CLeftView::OnRefresh() { m_calls.push_back("OnRefresh"); }

bool CLeftView::HandleCommand(int command) {
    switch (command) {
    case cmd::ID_REFRESH:
        OnRefresh();
        return true;
    case cmd::ID_EXECUTE:
        OnExecute();
        return true;
    case cmd::ID_DELETE:
        OnDelete();
        return true;
    case cmd::ID_NEW_FOLDER:
        OnNewFolder();
        return true;
    case cmd::ID_UPLOAD:
        OnUpload();
        return true;
    case cmd::ID_PROPERTIES:
        OnProperties();
        return true;
    case cmd::ID_VIEW_REPORT:
    case cmd::ID_VIEW_SMALL:
        SetViewMode(command);
        return true;
    case cmd::ID_DOWNLOAD:
    case cmd::ID_ARRANGE_NAME:
    case cmd::ID_ARRANGE_TYPE:
    case cmd::ID_ARRANGE_SIZE:
    case cmd::ID_ARRANGE_DATE:
    case cmd::ID_SELECT_ALL:
    case cmd::ID_INVERT_SELECTION:
    case cmd::ID_SELECT_PAGE:
    case cmd::ID_RENAME:
    case cmd::ID_UP_ONE_LEVEL:
    case cmd::ID_DEFAULT_DIRECTORY:
        m_calls.push_back("command " + std::to_string(command));
        return true;
    default:
        return false;
    }
}
