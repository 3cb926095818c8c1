#include "remote/RemoteBrowser.h"

#include "transfer/TransferItem.h"

#include <utility>

namespace remote {

RemoteBrowser::RemoteBrowser(IBrowserView* view, IRemoteQuestions* questions, Hooks hooks,
                             std::atomic<int>* busy)
    : m_view(view), m_questions(questions), m_hooks(std::move(hooks)), m_workers(busy) {}

RemoteBrowser::~RemoteBrowser() {
    Shutdown();
}

std::shared_ptr<IRemoteFs> RemoteBrowser::Session() const {
    std::lock_guard lock(m_sessionMutex);
    return m_session;
}

bool RemoteBrowser::IsConnecting() const {
    std::lock_guard lock(m_sessionMutex);
    return m_pending != nullptr;
}

void RemoteBrowser::Post(std::function<void()> task) {
    if (!m_hooks.post)
        return;
    m_hooks.post([alive = m_alive, task = std::move(task)] {
        if (*alive)
            task();
    });
}

void RemoteBrowser::AddLine(const std::string& line) {
    if (m_hooks.addLine)
        m_hooks.addLine(line);
}

bool RemoteBrowser::Connect(const SiteConnection& site, const std::string& remoteDir) {
    if (m_shutdown)
        return false;
    // The session exists before its worker starts, so that a later attempt,
    // a disconnect or the end of the program can close it at any moment.
    Result made;
    std::shared_ptr<IRemoteFs> session = OpenRemoteFs(site, m_questions, &made);
    std::string reason = session ? std::string() : made.reply;
    // A session the server closed logs in again by itself and says so here.
    if (session)
        session->SetLineHook([this](const std::string& line) { AddLine(line); });
    std::shared_ptr<IRemoteFs> older;
    unsigned attempt;
    {
        std::lock_guard lock(m_sessionMutex);
        attempt = ++m_attempt;
        older = std::exchange(m_pending, session);
    }
    // Only the latest attempt may become the session: an older one still
    // connecting is closed, and its worker discards it.
    if (older)
        older->Close();
    return m_workers.Start([this, session, site, reason, remoteDir, attempt] {
        ConnectWorker(session, site, reason, remoteDir, attempt);
    });
}

void RemoteBrowser::ConnectWorker(std::shared_ptr<IRemoteFs> session, const SiteConnection& site,
                                  std::string reason, std::string remoteDir, unsigned attempt) {
    bool ok = false;
    if (session) {
        Result connected = session->Connect();
        ok = connected.Ok();
        reason = connected.reply;
    }
    bool latest;
    std::shared_ptr<IRemoteFs> replaced;
    {
        std::lock_guard lock(m_sessionMutex);
        if (m_pending == session)
            m_pending.reset();
        latest = attempt == m_attempt;
        // A session closed while it was connecting does not come back.
        if (ok && (session->IsClosed() || !latest))
            ok = false;
        if (latest)
            replaced = std::exchange(m_session, ok ? session : nullptr);
    }
    // A session this attempt replaces (an older one still listing) ends.
    if (replaced && replaced != session)
        replaced->Close();
    if (!latest) {
        // A later attempt (or a disconnect) replaced this one: it reports
        // nothing and leaves the session, the title and the state alone.
        if (session)
            session->Close();
        Post([this] { m_view->OnConnectDone(); });
        return;
    }
    if (ok) {
        AddLine("Connection successful ");
        for (const std::string& note : session->ConnectNotes())
            AddLine(note);
    } else {
        AddLine("Failed to connect to " + site.host + " as " + site.user);
        if (!reason.empty())
            AddLine(reason);
    }
    Post([this, ok, host = site.host, user = site.user, attempt] {
        if (attempt == m_attempt) // otherwise a later attempt titles the window
            m_view->OnConnectTitle(ok, host, user);
    });
    if (ok) {
        unsigned generation = ++m_generation;
        // A folder given from the login folder (a link's path, "." for the
        // login folder itself) is made absolute here: just after the login
        // the session's folder is the one the server put it in.
        if (!remoteDir.empty() && remoteDir[0] != '/')
            remoteDir = session->Resolve(remoteDir);
        if (session->ChangeFolder(remoteDir)) {
            FillList(session, remoteDir, generation);
        } else {
            AddLine("Fail to set Default Remote Directory ");
            FillList(session, "/", generation);
        }
        ShowDirectory(session, remoteDir, generation);
    }
    {
        // Said under the lock, so that a later attempt's state cannot be
        // overwritten by this one's.
        std::lock_guard lock(m_sessionMutex);
        if (attempt == m_attempt && m_hooks.setConnected)
            m_hooks.setConnected(ok);
    }
    Post([this] { m_view->OnConnectDone(); });
}

void RemoteBrowser::Close() {
    std::shared_ptr<IRemoteFs> session, pending;
    {
        std::lock_guard lock(m_sessionMutex);
        ++m_attempt; // an attempt under way does not come back
        session = std::exchange(m_session, nullptr);
        pending = std::exchange(m_pending, nullptr);
    }
    // Aborts what runs on the session; its workers end on their own.
    if (session)
        session->Close();
    if (pending)
        pending->Close();
    ++m_generation; // listings still under way are not shown
    m_folder = "/";
    m_rowsFolder.clear();
}

void RemoteBrowser::Shutdown() {
    *m_alive = false;
    m_shutdown = true;
    // Every worker ends soon once the session is closed (a connect in
    // progress included); none waits for this thread, so they can be joined
    // here.
    std::shared_ptr<IRemoteFs> session, pending;
    {
        std::lock_guard lock(m_sessionMutex);
        ++m_attempt; // no attempt sets the session from now on
        session = m_session;
        pending = m_pending;
    }
    if (session)
        session->Close();
    if (pending)
        pending->Close();
    m_workers.JoinAll();
}

void RemoteBrowser::FillList(const std::shared_ptr<IRemoteFs>& session, const std::string& dir,
                             unsigned generation) {
    std::vector<Entry> entries;
    std::string folder = NormalisePath(dir);
    Result listed =
        session ? session->List(folder, &entries) : Result{Failure::Refused, "Not connected"};
    bool ok = listed.Ok();
    if (!ok && session && !session->IsClosed())
        AddLine("Unable to list folder " + PrintableName(folder) + " : " +
                PrintableName(listed.reply));
    Post([this, ok, folder, generation, entries = std::move(entries)] {
        if (generation != m_generation)
            return; // a later listing wins
        if (!ok) {
            // A listing that failed is no empty folder: the rows of the
            // folder listed last stay, and the path goes back to it.
            if (!m_rowsFolder.empty() && m_rowsFolder != m_folder)
                m_view->OnPathBack(m_rowsFolder);
            return;
        }
        m_rowsFolder = folder;
        m_view->OnListed(folder, entries);
    });
}

void RemoteBrowser::ShowDirectory(const std::shared_ptr<IRemoteFs>& session,
                                  const std::string& requested, unsigned generation) {
    std::string dir = NormalisePath(requested);
    bool entered = session->ChangeFolder(dir).Ok();
    std::vector<Entry> root;
    bool listed = session->List("/", &root).Ok();
    std::vector<std::string> folders;
    if (listed)
        for (const Entry& e : root)
            if (e.isDirectory && !e.isDots)
                folders.push_back(e.name);
    Post([this, entered, dir, folders, generation] {
        if (generation == m_generation) // otherwise the user went elsewhere meanwhile
            m_view->OnRootFolders(folders, entered, dir);
    });
}

void RemoteBrowser::List(const std::string& folder) {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session)
        return;
    unsigned generation = ++m_generation;
    m_workers.Start([this, session, generation, folder] { FillList(session, folder, generation); });
}

void RemoteBrowser::Enter(const std::string& name, const std::string& target) {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session)
        return;
    unsigned generation = ++m_generation;
    // The folder test and the listing run on a worker; the path changes when
    // the server has let us in.
    m_workers.Start([this, session, target, name, generation] {
        if (!session->ChangeFolder(target))
            return; // a file, or a folder we may not enter: nothing changes
        Post([this, name, target, generation] {
            if (generation == m_generation)
                m_view->OnEntered(name, target);
        });
        FillList(session, target, generation);
    });
}

void RemoteBrowser::ShowRoot() {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session)
        return;
    m_folder = "/";
    unsigned generation = ++m_generation;
    m_workers.Start([this, session, generation] {
        ShowDirectory(session, "/", generation);
        FillList(session, "/", generation);
    });
}

void RemoteBrowser::MakeFolder(const std::string& path) {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session)
        return;
    unsigned generation = m_generation;
    // The folder is made first; only a folder the server made gets a row.
    m_workers.Start([this, session, path, generation] {
        Result made = session->MakeFolder(path);
        if (!made) {
            AddLine("Unable to create folder " + PrintableName(path));
            if (!made.reply.empty())
                AddLine(made.reply);
        }
        Post([this, ok = made.Ok(), generation] {
            m_view->OnFolderMade(ok, generation == m_generation);
        });
    });
}

void RemoteBrowser::Rename(const std::string& folder, const std::string& oldName,
                           const std::string& newName) {
    std::shared_ptr<IRemoteFs> session = Session();
    std::string from = NormalisePath(folder + "/" + oldName);
    std::string to = NormalisePath(folder + "/" + newName);
    unsigned generation = m_generation;
    auto rename = [this, session, from, to, oldName, newName, generation] {
        Result renamed =
            session ? session->Rename(from, to) : Result{Failure::Refused, "Not connected"};
        if (!renamed) {
            AddLine("Unable to rename file ");
            if (!renamed.reply.empty())
                AddLine(renamed.reply);
            return;
        }
        Post([this, oldName, newName, generation] {
            if (generation == m_generation) // otherwise a newer listing shows the server's names
                m_view->OnRenamed(oldName, newName);
        });
    };
    if (session)
        m_workers.Start(rename);
    else
        rename();
}

bool RemoteBrowser::Delete(const std::string& folder, const std::vector<std::string>& names) {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session || m_walking || names.empty())
        return false;
    m_stop = 0;
    m_walking = true;
    bool started = m_workers.Start([this, session, folder, names] {
        CRemoteDelete del(session, &m_stop, [this](const std::string& line) { AddLine(line); });
        del.Run(folder, names);
        m_walking = false;
        if (!del.m_bChanged)
            return;
        // One refresh, at the end, of the folder the delete was made in.
        Post([this, folder] { m_view->OnDeleted(folder); });
    });
    if (!started)
        m_walking = false;
    return started;
}

bool RemoteBrowser::Properties(const std::string& folder, const std::string& name) {
    std::shared_ptr<IRemoteFs> session = Session();
    if (!session || m_walking)
        return false;
    // Only a walk that starts clears the Stop: one given to a delete still
    // running stands.
    m_stop = 0;
    m_walking = true;
    bool started =
        m_workers.Start([this, session, folder, name] { CountProperties(session, folder, name); });
    if (!started)
        m_walking = false;
    return started;
}

void RemoteBrowser::CountProperties(const std::shared_ptr<IRemoteFs>& session,
                                    const std::string& folder, const std::string& name) {
    std::string path = NormalisePath("/" + folder + "/" + name);
    PropertiesTexts texts;
    FolderCount count;
    if (IsSafeName(name) && session->ChangeFolder(path)) {
        count =
            CountFolder(session, path, &m_stop, [this](const std::string& line) { AddLine(line); });
        texts = FolderProperties(path, count.files, count.folders, count.bytes);
    } else {
        std::uint64_t found = 0;
        std::optional<std::uint64_t> size;
        if (IsSafeName(name) &&
            session->FindFile(path, &found, nullptr, nullptr) == Presence::Present)
            size = found;
        texts = FileProperties(path, size);
    }
    // The view stays busy until its box is closed.
    std::atomic<int>* busy = m_workers.Counter();
    ++*busy;
    Post([this, texts, count, busy] {
        m_walking = false;
        m_view->OnProperties(texts, count);
        --*busy;
    });
}

} // namespace remote
