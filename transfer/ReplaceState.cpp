#include "transfer/ReplaceState.h"

#include "platform/fs/Paths.h"
#include "transfer/TransferItem.h"

#include <sys/stat.h>

void CReplaceState::Reset() {
    m_bAsk = 1;
    m_bReplace = m_bSkip = m_bSkipAll = m_bReplaceAll = 0;
}

void CReplaceState::TakeAnswer(ReplaceAnswer answer) {
    m_bReplace = answer == ReplaceAnswer::Replace;
    m_bSkip = answer == ReplaceAnswer::Skip;
    m_bSkipAll = answer == ReplaceAnswer::SkipAll;
    m_bReplaceAll = answer == ReplaceAnswer::ReplaceAll;
    if (m_bReplaceAll) {
        m_bAsk = 0;
        m_bReplace = m_bSkip = m_bSkipAll = 0;
    }
    if (m_bReplace) {
        m_bAsk = 1;
        m_bSkip = m_bSkipAll = m_bReplaceAll = 0;
    }
}

bool CReplaceState::ConfirmDownloadReplace(const std::string& strTarget, const std::string& strName,
                                           const std::string& strSizeText,
                                           const ReplaceAsker& ask) {
    struct stat st;
    if (stat(strTarget.c_str(), &st) != 0)
        return false;
    ReplaceQuestion q;
    q.first = files::BaseName(strTarget) + FormatSizeText(static_cast<std::uint64_t>(st.st_size));
    q.second = strName + strSizeText;
    TakeAnswer(ask(q));
    return true;
}

bool CReplaceState::ConfirmUploadReplace(const std::string& strLocalPath,
                                         const std::string& remoteName,
                                         std::optional<std::uint64_t> remoteSize,
                                         const ReplaceAsker& ask) {
    if (!remoteSize)
        return false;
    struct stat st;
    std::uint64_t localSize = stat(strLocalPath.c_str(), &st) == 0 ? st.st_size : 0;
    ReplaceQuestion q;
    q.first = remoteName + FormatSizeText(*remoteSize);
    q.second = remoteName + FormatSizeText(localSize);
    TakeAnswer(ask(q));
    return true;
}

bool CReplaceState::DownloadSkips(bool targetExists) {
    if (m_bSkip) {
        m_bAsk = 1;
        m_bReplace = m_bReplaceAll = m_bSkipAll = m_bSkip = 0;
        return true;
    }
    if (m_bSkipAll) {
        m_bReplace = m_bSkip = m_bAsk = 0;
        return targetExists;
    }
    return false;
}

bool CReplaceState::UploadSkips(bool remoteExists) {
    if (m_bSkip) {
        m_bAsk = 1;
        m_bSkipAll = 0;
        if (remoteExists)
            return true;
    }
    if (m_bSkipAll) {
        m_bReplace = m_bSkip = m_bAsk = 0;
        return remoteExists;
    }
    return false;
}
