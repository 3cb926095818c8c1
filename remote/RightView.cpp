#include "remote/RightView.h"

#include "app/Commands.h"

CRightView::CRightView(wxWindow* parent) : wxPanel(parent, wxID_ANY) {
    SetBackgroundColour(*wxWHITE);
}

void CRightView::StartConnect(int mode) {
    m_nMode = mode;
    m_calls.push_back("StartConnect " + std::to_string(mode));
}

void CRightView::CloseSession() {
    m_bSessionOpen = false;
    m_calls.push_back("CloseSession");
}

void CRightView::SetViewStyle(int style) {
    m_calls.push_back("SetViewStyle " + std::to_string(style));
}
void CRightView::OnExecute() {
    m_calls.push_back("OnExecute");
}
void CRightView::OnDelete() {
    m_calls.push_back("OnDelete");
}
void CRightView::OnNewFolder() {
    m_calls.push_back("OnNewFolder");
}
void CRightView::OnDownload() {
    m_calls.push_back("OnDownload");
}
void CRightView::OnProperties() {
    m_calls.push_back("OnProperties");
}
void CRightView::OnRefresh() {
    m_calls.push_back("OnRefresh");
}

bool CRightView::HandleCommand(int command) {
    switch (command) {
    case cmd::ID_REFRESH_TOOLBAR:
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
    case cmd::ID_DOWNLOAD:
        OnDownload();
        return true;
    case cmd::ID_PROPERTIES:
        OnProperties();
        return true;
    case cmd::ID_VIEW_REPORT:
    case cmd::ID_VIEW_SMALL:
        SetViewStyle(command);
        return true;
    case cmd::ID_UPLOAD:
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
