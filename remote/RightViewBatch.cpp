// The remote pane's download batches and the end of an upload on its side.
#include "remote/RightView.h"

#include "platform/ui/Dispatcher.h"
#include "transfer/BatchEnd.h"
#include "transfer/PaneHost.h"
#include "transfer/TransferList.h"

void CRightView::OnDownload() {
    if (m_local.currentDir)
        DownloadSelectionInto(m_local.currentDir());
}

bool CRightView::DownloadSelectionInto(const std::string& localDir, BatchEnd end) {
    ui::RequireUiThread("CRightView::DownloadSelectionInto");
    // A batch asked for while another runs waits for it in the transfer list.
    if (!m_pEngine || !m_local.currentDir)
        return false;
    DownloadRequest request;
    request.session = GetSession();
    if (!request.session)
        return false; // no session: nothing to fetch and nothing reported
    request.currentPath = m_strCurrentPath;
    request.localDir = localDir;
    request.names = SelectedNames();
    request.openSession = BatchSessions(&request.connections);
    return StartBatch(std::move(request), std::move(end));
}

bool CRightView::StartDownloadThread(std::vector<CTransferItem> items, BatchEnd end) {
    ui::RequireUiThread("CRightView::StartDownloadThread");
    if (!m_pEngine || !m_local.currentDir)
        return false;
    DownloadRequest request;
    request.session = GetSession();
    request.currentPath = m_strCurrentPath;
    request.localDir = m_local.currentDir();
    request.items = std::move(items);
    request.dropMode = true;
    request.openSession = BatchSessions(&request.connections);
    return StartBatch(std::move(request), std::move(end));
}

bool CRightView::StartBatch(DownloadRequest request, BatchEnd end) {
    std::shared_ptr<bool> alive = m_alive;
    CPaneHost::Handlers h;
    h.addLine = [this](const std::string& line) { AddLine(line); };
    h.progress = [this](const TransferProgress* p) {
        if (m_showProgress)
            m_showProgress(p);
    };
    // A batch that got no connection of its own works on the pane's session:
    // the pane's folder stays where it is until the batch ends.
    auto borrowed = std::make_shared<bool>(false);
    h.session = [this, alive, borrowed](bool own) {
        if (!*alive || own)
            return;
        *borrowed = true;
        ++m_bBusy;
        EnableNavigation(true);
    };
    // What the batch asked of its end comes back with its result.
    h.uiEnded = [this, alive, borrowed, end = std::move(end)](const BatchResult& r) {
        if (!*alive)
            return;
        if (*borrowed)
            --m_bBusy;
        OnDownloadEnded(r, end);
    };
    std::shared_ptr<CTransferEngine> engine = m_pEngine;
    h.cancelled = [engine] { return engine->m_bStop != 0; };
    request.control = std::make_shared<CBatchControl>();
    std::uint64_t listed =
        m_pTransfers ? m_pTransfers->AddBatch(request.control, RowsOf(request)) : 0;
    ShowInList(h, m_pTransfers, listed);
    std::shared_ptr<CPaneHost> host = CPaneHost::Create(std::move(h));
    if (!m_pEngine->StartDownload(std::move(request), host)) {
        if (m_pTransfers)
            m_pTransfers->DropBatch(listed);
        return false;
    }
    m_hosts.push_back(host);
    return true;
}

void CRightView::OnDownloadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CRightView::OnDownloadEnded");
    NoteConnections(result);
    if (m_local.downloadEnded)
        m_local.downloadEnded(result, end);
    std::erase_if(m_hosts, [](const std::shared_ptr<CPaneHost>& h) { return h->HasEnded(); });
    EnableNavigation(m_pEngine && m_pEngine->BorrowsSession());
    ++m_nBatchesEnded;
}

void CRightView::OnUploadEnded(const BatchResult& result, const BatchEnd& end) {
    ui::RequireUiThread("CRightView::OnUploadEnded");
    NoteConnections(result);
    AfterBatch after = DecideAfterBatch(result, end, m_strCurrentPath);
    m_strCurrentPath = after.folder;
    if (after.refill)
        RefreshList();
    EnableNavigation(m_pEngine && m_pEngine->BorrowsSession());
}

void CRightView::RefreshList() {
    if (!IsConnected())
        return;
    m_strListPath = m_strCurrentPath;
    StartRefresh();
}
