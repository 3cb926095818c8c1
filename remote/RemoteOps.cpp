#include "remote/RemoteOps.h"

#include "platform/fs/Paths.h"

#include <algorithm>
#include <set>

namespace remote {

std::string DeleteQuestion(const std::vector<std::string>& names) {
    if (names.size() == 1)
        return "Delete \"" + PrintableName(names.front()) + "\" from the server?";
    return "Delete these " + std::to_string(names.size()) + " items from the server?";
}

std::string RenameRefusal(const std::string& newName, const std::string& oldName,
                          const std::vector<std::string>& listed) {
    if (newName.empty() || newName == oldName)
        return "";
    if (newName.find('/') != std::string::npos)
        return "A name on the server cannot hold \"/\"";
    if (newName.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return "A name on the server cannot hold a line break";
    if (newName == "." || newName == "..")
        return "\"" + newName + "\" is not a name a file can take";
    for (const std::string& name : listed)
        if (name == newName)
            return "\"" + PrintableName(newName) + "\" already exists in this folder";
    return "";
}

std::string PropertiesSizeText(std::uint64_t bytes) {
    return files::KbText(bytes);
}

PropertiesTexts FolderProperties(const std::string& folderPath, std::uint64_t files,
                                 std::uint64_t folders, std::uint64_t bytes) {
    PropertiesTexts t;
    t.type = "Folder";
    t.location = NormalisePath("/" + folderPath);
    t.size = PropertiesSizeText(bytes);
    t.contains = std::to_string(files) + "  Files , " + std::to_string(folders) + " Folders";
    return t;
}

const char* const kUnknownSize = "Unknown (not listed by the server)";

PropertiesTexts FileProperties(const std::string& path, std::optional<std::uint64_t> bytes) {
    PropertiesTexts t;
    t.type = "File ";
    t.location = NormalisePath(path);
    t.size = bytes ? PropertiesSizeText(*bytes) : kUnknownSize;
    t.contains = "0 Files , 0 Folders";
    return t;
}

CRemoteDelete::CRemoteDelete(std::shared_ptr<IRemoteFs> session, const std::atomic<int>* stop,
                             LineSink addLine)
    : m_walk(session, stop, addLine), m_session(std::move(session)), m_stop(stop),
      m_addLine(std::move(addLine)) {
    m_walk.m_links = Links::All;
}

void CRemoteDelete::ReplyLine(const std::string& reply) {
    if (!reply.empty())
        m_addLine(PrintableName(reply));
}

bool CRemoteDelete::Stopped() {
    if (m_stop && m_stop->load())
        m_bStopped = true;
    return m_bStopped;
}

void CRemoteDelete::Run(const std::string& folder, const std::vector<std::string>& names) {
    m_bChanged = 0;
    // A link among the selected names is deleted as the link it is, never
    // entered: the folder test would succeed on a link to a folder.
    std::set<std::string> links;
    std::vector<Entry> listing;
    if (m_session->List(NormalisePath("/" + folder), &listing, Links::All))
        for (const Entry& e : listing)
            if (e.isLink)
                links.insert(e.name);
    for (const std::string& name : names) {
        if (Stopped())
            break;
        if (!IsSafeName(name)) {
            m_addLine("Unsafe name skipped: " + PrintableName(folder) + " : " +
                      PrintableName(name));
            continue;
        }
        std::string path = NormalisePath("/" + folder + "/" + name);
        if (!links.count(name) && m_session->ChangeFolder(path)) {
            m_walk.WalkTree(WalkKind::Collect, path);
            DeleteCollectedItems();
            if (Stopped())
                break;
            Result removed = m_session->DeleteFolder(path);
            if (removed) {
                m_bChanged = 1;
            } else {
                // The folder stays (it may hold what its listing did not
                // show): the log says so, with the server's words.
                m_addLine("Error Deleting Directory " + PrintableName(path));
                ReplyLine(removed.reply);
            }
        } else {
            m_addLine("Deleting " + PrintableName(name));
            Result deleted = m_session->DeleteFile(path);
            if (deleted) {
                m_bChanged = 1;
                m_addLine("File " + PrintableName(name) + " deleted ");
            } else {
                m_addLine("Error deleting " + PrintableName(name));
                ReplyLine(deleted.reply);
            }
        }
    }
    if (Stopped())
        m_addLine("Delete stopped");
}

void CRemoteDelete::DeleteCollectedItems() {
    // No folder to be removed stays the working folder.
    m_session->ChangeFolder("/");
    std::vector<CRemoteItem>& items = m_walk.m_arrRemoteItems;
    // Files go in requests of a few dozen (each command still waits for its
    // answer), from the last found to the first. Stop ends the delete after
    // the request in flight: nothing more is sent, what was collected stays.
    constexpr size_t kFilesPerRequest = 32;
    std::vector<size_t> files;
    for (size_t i = items.size(); i-- > 0;)
        if (!items[i].m_bIsDir)
            files.push_back(i);
    for (size_t start = 0; start < files.size() && !Stopped(); start += kFilesPerRequest) {
        size_t end = std::min(files.size(), start + kFilesPerRequest);
        std::vector<std::string> paths;
        for (size_t k = start; k < end; ++k)
            paths.push_back(items[files[k]].m_strPath);
        std::vector<Result> done;
        m_session->DeleteFiles(paths, &done);
        for (size_t k = 0; k < paths.size(); ++k) {
            // The walk's paths are absolute already.
            std::string shown = PrintableName(paths[k]);
            m_addLine("Deleting   " + shown);
            if (done[k]) {
                m_bChanged = 1;
                m_addLine("Deleted");
            } else {
                m_addLine("Error Deleting  " + shown);
                ReplyLine(done[k].reply);
            }
        }
    }
    // The walk is breadth first: from the end, every folder goes after the
    // folders inside it.
    for (size_t i = items.size(); i-- > 0 && !Stopped();) {
        if (!items[i].m_bIsDir)
            continue;
        std::string shown = PrintableName(items[i].m_strPath);
        m_addLine("Deleting Directory " + shown);
        Result removed = m_session->DeleteFolder(items[i].m_strPath);
        if (removed) {
            m_bChanged = 1;
            m_addLine("Directory Successfully Deleted");
        } else {
            m_addLine("Error Deleting Directory " + shown);
            ReplyLine(removed.reply);
        }
    }
    items.clear();
}

FolderCount CountFolder(const std::shared_ptr<IRemoteFs>& session, const std::string& folder,
                        const std::atomic<int>* stop,
                        const std::function<void(const std::string&)>& addLine) {
    CRemoteWalk walk(session, stop, addLine);
    // Links are counted as entries of their own, never followed.
    walk.m_links = Links::All;
    walk.WalkTree(WalkKind::Count, NormalisePath(folder));
    return {walk.m_nFileCount, walk.m_nFolderCount, walk.m_nTotalBytes};
}

} // namespace remote
