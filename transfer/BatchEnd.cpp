#include "transfer/BatchEnd.h"

std::optional<std::string> EndDownloadBatch(const BatchResult& result, int& bRestoreDir,
                                            std::string& strCurrentDir,
                                            const std::string& strSavedDir) {
    bool changed = result.changed;
    if (bRestoreDir) {
        bRestoreDir = 0;
        changed = true;
        strCurrentDir = strSavedDir;
    }
    if (!changed)
        return std::nullopt;
    return strCurrentDir;
}

std::optional<std::string> EndUploadBatch(const BatchResult& result, int& bDropMode,
                                          std::string& strCurrentPath,
                                          const std::string& strSavedPath, int& bNoRefresh) {
    bool uploaded = result.uploaded;
    // What a drop held back shows all the same when the list would miss it:
    // the dropped file arrived, or something came into the folder shown.
    if (result.dropSent || result.shownChanged)
        bNoRefresh = 0;
    if (bDropMode) {
        bDropMode = 0;
        uploaded = true;
        strCurrentPath = strSavedPath;
    }
    bool refresh = uploaded && !bNoRefresh;
    // The request was this batch's: the next one (an Upload command)
    // refreshes as it should.
    bNoRefresh = 0;
    if (!refresh)
        return std::nullopt;
    return strCurrentPath;
}
