// The remote browser: one server's session and what the remote pane shows of
// it, as plain code. It makes the connect attempts (numbered: only the latest
// becomes the session), lists folders (a later listing wins over an earlier
// one), and runs the pane's operations on the server (new folder, rename,
// delete, Properties) on workers of its own.
//
// What it finds reaches the view on the UI thread, through the post function
// the owner gives; the view then runs on that thread alone. Log lines and the
// connected state are said from the worker at once, in the order the work is
// done (the log takes lines from any thread). Calls into the browser come
// from the UI thread.
#pragma once

#include "platform/work/Workers.h"
#include "remote/OpenRemoteFs.h"
#include "remote/RemoteOps.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace remote {

// What the browser shows. Every call comes on the UI thread; none comes once
// the browser has shut down.
class IBrowserView {
public:
    virtual ~IBrowserView() = default;
    // The latest attempt ended: connected (to host as user) or not.
    virtual void OnConnectTitle(bool connected, const std::string& host,
                                const std::string& user) = 0;
    // An attempt's worker is done (the latest or not).
    virtual void OnConnectDone() = 0;
    // The listing of `folder` arrived and is the latest.
    virtual void OnListed(const std::string& folder, const std::vector<Entry>& entries) = 0;
    // The latest listing failed: the rows of `rowsFolder` stay, and the
    // path shown goes back to it.
    virtual void OnPathBack(const std::string& rowsFolder) = 0;
    // The root's folders; `entered`: the server let us into `folder`.
    virtual void OnRootFolders(const std::vector<std::string>& folders, bool entered,
                               const std::string& folder) = 0;
    // The server let us into `target`, the entry `name` of the folder shown.
    virtual void OnEntered(const std::string& name, const std::string& target) = 0;
    // A new folder was asked for: made or not; `sameListing` when no listing
    // came meanwhile.
    virtual void OnFolderMade(bool made, bool sameListing) = 0;
    // The server renamed `oldName` to `newName` and no listing came meanwhile.
    virtual void OnRenamed(const std::string& oldName, const std::string& newName) = 0;
    // A delete in `folder` removed something.
    virtual void OnDeleted(const std::string& folder) = 0;
    // A Properties walk ended with these texts and figures.
    virtual void OnProperties(const PropertiesTexts& texts, const FolderCount& count) = 0;
};

class RemoteBrowser {
public:
    struct Hooks {
        // Runs a task on the UI thread later (ui::Post in the program).
        std::function<bool(std::function<void()>)> post;
        // A log line, from any thread.
        std::function<void(const std::string&)> addLine;
        // Whether the session is open, said by the latest attempt's worker.
        std::function<void(bool)> setConnected;
    };
    // `view` and `questions` must outlive the browser, or Shutdown() come
    // before they go. `busy` counts the workers that run (the view may
    // count work of its own in it too).
    RemoteBrowser(IBrowserView* view, IRemoteQuestions* questions, Hooks hooks,
                  std::atomic<int>* busy);
    // Shutdown().
    ~RemoteBrowser();

    // The session; null while not connected.
    std::shared_ptr<IRemoteFs> Session() const;
    bool IsConnecting() const;

    // Starts an attempt at `site`, into `remoteDir` (relative: from the
    // login folder). An older attempt still connecting is closed. False
    // when no worker started (shut down).
    bool Connect(const SiteConnection& site, const std::string& remoteDir);
    // Closes the session and any attempt under way; listings still under
    // way are not shown.
    void Close();
    // Close(), then waits for every worker; nothing reaches the view after.
    void Shutdown();

    // Lists `folder` (a later listing wins).
    void List(const std::string& folder);
    // Enters `name` of the folder shown, whose path is `target`: the folder
    // test and the listing on a worker.
    void Enter(const std::string& name, const std::string& target);
    // The root: its folders for the path box, then its listing.
    void ShowRoot();
    // Makes the folder `path`.
    void MakeFolder(const std::string& path);
    // Renames `oldName` of `folder` to `newName`.
    void Rename(const std::string& folder, const std::string& oldName, const std::string& newName);
    // Deletes `names` of `folder`, trees included. False when none started
    // (not connected, or a walk runs).
    bool Delete(const std::string& folder, const std::vector<std::string>& names);
    // Counts `name` of `folder` for the Properties box. False when none
    // started.
    bool Properties(const std::string& folder, const std::string& name);

    // The current folder, as the view keeps it (UI thread).
    std::string& Folder() { return m_folder; }
    // The folder the rows shown were listed from ("" none).
    const std::string& RowsFolder() const { return m_rowsFolder; }
    // The latest listing; a listing started after `generation` makes it old.
    unsigned Generation() const { return m_generation.load(); }
    // Stop request for the delete and Properties walks.
    std::atomic<int>& StopFlag() { return m_stop; }
    // A delete or a Properties walk runs (a second one does not start).
    bool Walking() const { return m_walking.load(); }

private:
    IBrowserView* m_view;
    IRemoteQuestions* m_questions;
    Hooks m_hooks;
    std::string m_folder = "/";
    std::string m_rowsFolder;
    mutable std::mutex m_sessionMutex;
    std::shared_ptr<IRemoteFs> m_session;
    std::shared_ptr<IRemoteFs> m_pending; // connecting
    std::atomic<unsigned> m_attempt{0};   // the latest; changed under m_sessionMutex
    std::atomic<unsigned> m_generation{0};
    std::atomic<int> m_stop{0};
    std::atomic<bool> m_walking{false};
    std::atomic<bool> m_shutdown{false};
    std::shared_ptr<std::atomic<bool>> m_alive = std::make_shared<std::atomic<bool>>(true);
    work::Workers m_workers; // last: joined before the rest goes

    void Post(std::function<void()> task);
    void AddLine(const std::string& line);
    void ConnectWorker(std::shared_ptr<IRemoteFs> session, const SiteConnection& site,
                       std::string reason, std::string remoteDir, unsigned attempt);
    void FillList(const std::shared_ptr<IRemoteFs>& session, const std::string& dir,
                  unsigned generation);
    void ShowDirectory(const std::shared_ptr<IRemoteFs>& session, const std::string& dir,
                       unsigned generation);
    void CountProperties(const std::shared_ptr<IRemoteFs>& session, const std::string& folder,
                         const std::string& name);
};

} // namespace remote
