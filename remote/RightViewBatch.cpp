// The remote pane's download batches and the end of an upload on its side.
#include "remote/RightView.h"

#include "local/LeftView.h"
#include "platform/ui/Dispatcher.h"
#include "transfer/BatchEnd.h"
#include "transfer/PaneHost.h"

void CRightView::OnDownload() {
    if (m_pLocalView)
        DownloadSelectionInto(m_pLocalView->m_strCurrentDir);
}

bool CRightView::DownloadSelectionInto(const std::string& localDir) {
    ui::RequireUiThread("CRightView::DownloadSelectionInto");
    if (!m_pEngine || m_pEngine->IsBusy() || !m_pLocalView)
        return false; // one batch at a time, in either direction
    DownloadRequest request;
    request.session = GetSession();
    if (!request.session)
        return false; // no session: nothing to fetch and nothing reported
    request.currentPath = m_strCurrentPath;
    request.localDir = localDir;
    request.names = SelectedNames();
    m_arrDownload.clear();
    m_bChanged = 0;
    return StartBatch(std::move(request));
}

bool CRightView::StartDownloadThread() {
    ui::RequireUiThread("CRightView::StartDownloadThread");
    if (!m_pEngine || m_pEngine->IsBusy() || !m_pLocalView) {
        m_arrDownload.clear();
        return false;
    }
    DownloadRequest request;
    request.session = GetSession();
    request.currentPath = m_strCurrentPath;
    request.localDir = m_pLocalView->m_strCurrentDir;
    request.items = m_arrDownload;
    request.dropMode = true;
    m_bDropMode = 1;
    m_bChanged = 1; // the local list is always refreshed after a drop
    if (!StartBatch(std::move(request))) {
        m_arrDownload.clear();
        m_bDropMode = 0;
        return false;
    }
    return true;
}

bool CRightView::StartBatch(DownloadRequest request) {
    std::shared_ptr<bool> alive = m_alive;
    CPaneHost::Handlers h;
    h.addLine = [this](const std::string& line) { AddLine(line); };
    h.ended = [this](const BatchResult& r) {
        if (r.changed)
            m_bChanged = 1;
    };
    h.progress = [this](const TransferProgress* p) {
        if (m_showProgress)
            m_showProgress(p);
    };
    h.uiEnded = [this, alive](const BatchResult& r) {
        if (*alive)
            OnDownloadEnded(r);
    };
    std::shared_ptr<CTransferEngine> engine = m_pEngine;
    h.cancelled = [engine] { return engine->m_bStop != 0; };
    std::shared_ptr<CPaneHost> host = CPaneHost::Create(std::move(h));
    m_strBatchLocalDir = m_pLocalView->m_strCurrentDir;
    ++m_bBusy;
    EnableNavigation(true);
    if (!m_pEngine->StartDownload(std::move(request), host)) {
        --m_bBusy;
        EnableNavigation(false);
        return false;
    }
    m_pHost = host;
    return true;
}

void CRightView::OnDownloadEnded(const BatchResult& result) {
    ui::RequireUiThread("CRightView::OnDownloadEnded");
    CLeftView* local = m_pLocalView;
    if (local) {
        // A pane no longer in the folder the batch began in was moved by the
        // user meanwhile: it stays where the user took it.
        if (local->m_bRestoreDir && local->m_strCurrentDir != m_strBatchLocalDir)
            local->m_strSavedDir = local->m_strCurrentDir;
        BatchResult ended = result;
        ended.changed = ended.changed || m_bChanged;
        if (std::optional<std::string> refill = EndDownloadBatch(
                ended, local->m_bRestoreDir, local->m_strCurrentDir, local->m_strSavedDir))
            local->FillFileList(*refill);
    }
    m_arrDownload.clear();
    m_bDropMode = 0;
    m_pHost.reset();
    --m_bBusy;
    EnableNavigation(false);
    ++m_nBatchesEnded;
}

void CRightView::OnUploadEnded(const BatchResult& result) {
    ui::RequireUiThread("CRightView::OnUploadEnded");
    if (EndUploadBatch(result, m_bDropMode, m_strCurrentPath, m_strSavedPath, m_bNoRefresh))
        RefreshList();
    EnableNavigation(false);
}

void CRightView::RefreshList() {
    if (!IsConnected())
        return;
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}
