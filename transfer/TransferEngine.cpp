#include "transfer/TransferEngine.h"

#include "platform/ftp/FtpSession.h"

CTransferEngine::~CTransferEngine() {
    Stop();
    if (m_thread.joinable())
        m_thread.join();
}

bool CTransferEngine::StartDownload(DownloadRequest, std::shared_ptr<ITransferHost>) {
    return false;
}

bool CTransferEngine::StartUpload(UploadRequest, std::shared_ptr<ITransferHost>) {
    return false;
}

void CTransferEngine::Stop() {
    m_bStop = 1;
}

bool CTransferEngine::WaitIdle(int) {
    return true;
}
