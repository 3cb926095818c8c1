// What the remote pane does to files and folders on the server, as plain
// code: the delete of a selection (folders with everything inside them), the
// figures of the Properties box, the checks before a rename and the question
// before a delete. No windows: the pane starts these on a worker and shows
// what they found.
#pragma once

#include "transfer/RemoteWalk.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace remote {

// The one question asked before a delete: "Delete "x" from the server?" for
// one name, "Delete these N items from the server?" for more.
std::string DeleteQuestion(const std::vector<std::string>& names);

// Why `newName` is refused as the new name of `oldName` in a folder that
// lists `listed`, or "" when the rename may be sent. An empty name or the old
// name itself are not refused here (the caller sends nothing for them).
std::string RenameRefusal(const std::string& newName, const std::string& oldName,
                          const std::vector<std::string>& listed);

// Sizes in the Properties box: "0 KB" for nothing, otherwise whole kilobytes
// plus one ("7 KB" for 7010 bytes). 64-bit.
std::string PropertiesSizeText(std::uint64_t bytes);

struct PropertiesTexts {
    std::string type, location, size, contains;
};
// A folder: what the counting walk found under `folderPath`.
PropertiesTexts FolderProperties(const std::string& folderPath, std::uint64_t files,
                                 std::uint64_t folders, std::uint64_t bytes);
// A file at `path` whose listing gave `bytes`; nothing when the server did
// not list it, and the size shows as unknown (never as an empty file).
PropertiesTexts FileProperties(const std::string& path, std::optional<std::uint64_t> bytes);
// The size text of a file the server did not list.
extern const char* const kUnknownSize;

// Deletes the selected names of one server folder, folders with their whole
// tree. Lines go to `addLine` in the order the work is done. Runs on a worker.
class CRemoteDelete {
public:
    using LineSink = std::function<void(const std::string&)>;
    CRemoteDelete(std::shared_ptr<IRemoteFs> session, const std::atomic<int>* stop,
                  LineSink addLine);

    // `folder` is the pane's current path, `names` the selected names in list
    // order, as the exact bytes the server listed.
    void Run(const std::string& folder, const std::vector<std::string>& names);
    // Deletes everything the walk collected: files from the last found to the
    // first, then folders deepest first. The list is empty afterwards.
    void DeleteCollectedItems();

    // Set by every successful delete.
    int m_bChanged = 0;
    // True when Stop ended the work early.
    bool m_bStopped = false;
    CRemoteWalk m_walk;

private:
    bool Stopped();
    // The server's words after a line that says something failed.
    void ReplyLine(const std::string& reply);
    std::shared_ptr<IRemoteFs> m_session;
    const std::atomic<int>* m_stop;
    LineSink m_addLine;
};

// Counts a folder tree for the Properties box (walk in its counting mode).
// Runs on a worker.
struct FolderCount {
    std::uint64_t files = 0, folders = 0, bytes = 0;
};
FolderCount CountFolder(const std::shared_ptr<IRemoteFs>& session, const std::string& folder,
                        const std::atomic<int>* stop,
                        const std::function<void(const std::string&)>& addLine);

} // namespace remote
