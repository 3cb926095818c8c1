// What the panes do when a batch has ended, as plain steps on their members:
// which list to refill, and the folders a drop asked to restore.
#pragma once

#include "transfer/TransferHost.h"

#include <optional>
#include <string>

// Download: a drop on the local list puts the local pane back into the saved
// folder (and always refills it). Returns the local folder to refill, if any.
std::optional<std::string> EndDownloadBatch(const BatchResult& result, int& bRestoreDir,
                                            std::string& strCurrentDir,
                                            const std::string& strSavedDir);

// Upload: a drop on the remote list restores the saved server path; a drop
// that sent a file, or a batch that put anything into the folder the list
// shows, clears bNoRefresh, which holds for this one batch (it is 0
// afterwards). Returns the server folder to refill.
std::optional<std::string> EndUploadBatch(const BatchResult& result, int& bDropMode,
                                          std::string& strCurrentPath,
                                          const std::string& strSavedPath, int& bNoRefresh);
