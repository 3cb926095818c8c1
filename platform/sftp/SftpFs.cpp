#include "platform/sftp/SftpFs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace remote {

namespace {

// The bytes before the point a later try goes on from are asked for again
// and compared with what comes: a part no longer than this is checked whole.
constexpr std::uint64_t kResumeOverlap = 64 * 1024;

Failure FailureOf(sftp::Failure f) {
    switch (f) {
    case sftp::Failure::None:
    case sftp::Failure::Refused:
        return Failure::Refused;
    case sftp::Failure::ConnectionLost:
        return Failure::ConnectionLost;
    case sftp::Failure::Stopped:
        return Failure::Stopped;
    case sftp::Failure::Local:
        return Failure::Local;
    }
    return Failure::Refused;
}

Result LocalFailure(std::string why) {
    return {Failure::Local, std::move(why)};
}

// A name that may become a local path. CR and LF are refused too, as the
// transfer batches refuse them: SFTP carries them, and a file named with them
// would be one no log line or list row shows as it is.
bool SafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0\r\n", 5)) == std::string::npos;
}

// A local file opened for reading without waiting (a pipe put in its place
// would wait for a writer for ever), and only when it is a plain file.
int OpenSource(const std::string& localPath, struct stat* st, std::string* why) {
    int fd = open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *why = "Cannot read " + localPath + ": " + std::strerror(errno);
        return -1;
    }
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        *why = localPath + " is not a file";
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

files::PartialUpload::Source SourceOf(const struct stat& st) {
    auto ns = [](const timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

} // namespace

Result SftpResult(const sftp::Result& r) {
    if (r)
        return {};
    return {FailureOf(r.failure), r.reason};
}

// ssh's questions, asked of the user through the protocol-neutral ones; the
// connecting thread waits for the answer. An answer that never comes (the
// pane went away) is Cancel, and so is a question still open when the
// session is closed or stopped: the thread that closes may be the one that
// would show it.
class SftpFs::Questions : public sftp::ILoginQuestions {
public:
    explicit Questions(IRemoteQuestions* ask) : m_ask(ask) {}
    void Watch(sftp::Session* session) { m_session = session; }

    sftp::HostKeyAnswer AskHostKey(const sftp::HostKeyQuestion& q) override {
        HostKey key{q.host, q.port, q.keyType, q.fingerprint};
        // Counted before asking: a Stop the moment the question shows counts.
        const std::uint64_t seen = AbortsSoFar();
        std::future<Trust> answer = m_ask->AskHostKey(key);
        switch (Await(answer, seen).value_or(Trust::Cancel)) {
        case Trust::Always:
            return sftp::HostKeyAnswer::Always;
        case Trust::Once:
            return sftp::HostKeyAnswer::Once;
        case Trust::Cancel:
            break;
        }
        return sftp::HostKeyAnswer::Cancel;
    }
    std::optional<std::string> AskSecret(sftp::SecretKind kind,
                                         const std::string& prompt) override {
        SecretKind asked = kind == sftp::SecretKind::Password     ? SecretKind::Password
                           : kind == sftp::SecretKind::Passphrase ? SecretKind::Passphrase
                                                                  : SecretKind::Other;
        const std::uint64_t seen = AbortsSoFar();
        std::future<std::optional<std::string>> answer = m_ask->AskSecret(asked, prompt);
        return Await(answer, seen).value_or(std::nullopt);
    }

private:
    std::uint64_t AbortsSoFar() const { return m_session ? m_session->AbortCount() : 0; }
    // The answer, or nothing once the session is closed or stopped after
    // `seen` aborts (or the answer will never come).
    template <class T> std::optional<T> Await(std::future<T>& answer, std::uint64_t seen) {
        if (!answer.valid())
            return std::nullopt;
        while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            if (!m_session)
                answer.wait();
            else if (m_session->IsClosed() ||
                     !m_session->WaitForAbort(seen, std::chrono::milliseconds(50)))
                return std::nullopt;
        }
        try {
            return answer.get();
        } catch (const std::future_error&) {
            return std::nullopt;
        }
    }

    IRemoteQuestions* m_ask;
    sftp::Session* m_session = nullptr;
};

SftpFs::SftpFs(sftp::ConnectParams params, IRemoteQuestions* questions) {
    if (questions) {
        m_questions = std::make_unique<Questions>(questions);
        params.questions = m_questions.get();
    }
    m_session = std::make_unique<sftp::Session>(std::move(params));
    if (m_questions)
        m_questions->Watch(m_session.get());
}

SftpFs::~SftpFs() {
    m_session.reset(); // ends ssh before the questions go
}

Result SftpFs::Connect() {
    return SftpResult(m_session->Connect());
}

std::vector<std::string> SftpFs::ConnectNotes() const {
    std::string note = m_session->LoginNote();
    if (note.empty())
        return {};
    return {note};
}

Result SftpFs::List(const std::string& folder, std::vector<Entry>* entries, Links links) {
    std::vector<sftp::Entry> found;
    std::string abs = m_session->Resolve(folder);
    Result r = SftpResult(m_session->List(abs, &found));
    entries->clear();
    entries->reserve(found.size());
    for (sftp::Entry& d : found) {
        Entry e;
        e.name = std::move(d.name);
        e.isLink = d.kind == sftp::Kind::Link;
        e.isDirectory = d.kind == sftp::Kind::Folder;
        e.size = d.attrs.size.value_or(0);
        if (d.attrs.times) {
            e.modified = d.attrs.times->mtime;
            e.modifiedIsUtc = true;
        }
        e.safe = SafeName(e.name);
        // As listed, a link to a folder shows as the folder it leads to, to
        // be entered; it stays marked a link, which no walk goes through.
        if (e.isLink && e.safe && links == Links::AsListed) {
            sftp::Attributes target;
            if (m_session->Stat(abs == "/" ? "/" + e.name : abs + "/" + e.name, &target) &&
                sftp::IsFolder(target))
                e.isDirectory = true;
        }
        entries->push_back(std::move(e));
    }
    return r;
}

Result SftpFs::ChangeFolder(const std::string& folder) {
    return SftpResult(m_session->ChangeFolder(folder));
}

bool SftpFs::ProbeFolder(const std::string& path) {
    sftp::Attributes attrs;
    return m_session->Stat(path, &attrs) && sftp::IsFolder(attrs);
}

Presence SftpFs::FindFile(const std::string& path, std::uint64_t* size, bool* folder, Result* why) {
    sftp::Attributes attrs;
    sftp::Result r = m_session->Lstat(path, &attrs);
    if (why)
        *why = SftpResult(r);
    if (r) {
        if (size)
            *size = attrs.size.value_or(0);
        if (folder)
            *folder = sftp::IsFolder(attrs);
        return Presence::Present;
    }
    if (r.failure == sftp::Failure::Refused && r.status == sftp::StatusCode::NoSuchFile)
        return Presence::Absent;
    return Presence::Unknown;
}

Result SftpFs::MakeFolder(const std::string& path) {
    return SftpResult(m_session->MakeFolder(path));
}

Result SftpFs::Rename(const std::string& from, const std::string& to) {
    return SftpResult(m_session->Rename(from, to));
}

Result SftpFs::DeleteFile(const std::string& path) {
    return SftpResult(m_session->Remove(path));
}

Result SftpFs::DeleteFolder(const std::string& path) {
    return SftpResult(m_session->RemoveFolder(path));
}

Result SftpFs::Download(const std::string& remotePath, const std::string& localPath,
                        const Progress& progress, std::int64_t expectedSize,
                        files::Landing* partial) {
    const std::string abs = m_session->Resolve(remotePath);
    // Without a caller's landing the file lands whole or not at all in this
    // call; nothing is kept for another.
    files::Landing own;
    files::Landing& landing = partial ? *partial : own;
    std::string why;
    if (!landing.Open(abs, localPath, expectedSize, &why))
        return LocalFailure(why);
    std::uint64_t already = landing.Have();
    // A file whose bytes, sizes or stamp disagree between tries is begun anew
    // once in a call; a second disagreement fails it.
    bool begunAnew = false;
    auto beginAnew = [&] {
        already = 0;
        begunAnew = true;
        return landing.BeginAnew(&why);
    };
    Result result;
    for (;;) {
        std::FILE* file = landing.File();
        // Going on from a part, its last bytes are asked for again and
        // compared with what comes: a file replaced on the server since is
        // not stitched from both.
        std::string overlap;
        if (already) {
            overlap.resize(static_cast<size_t>(std::min(already, kResumeOverlap)));
            if (pread(fileno(file), overlap.data(), overlap.size(),
                      static_cast<off_t>(already - overlap.size())) !=
                static_cast<ssize_t>(overlap.size()))
                overlap.clear();
        }
        const std::uint64_t from = already - overlap.size();
        std::uint64_t received = 0;
        std::size_t checked = 0;
        bool differs = false;
        int writeError = 0;
        auto sink = [&](std::string_view bytes) {
            received += bytes.size();
            if (checked < overlap.size()) {
                std::size_t n = std::min(bytes.size(), overlap.size() - checked);
                if (std::memcmp(bytes.data(), overlap.data() + checked, n) != 0) {
                    differs = true;
                    return false;
                }
                checked += n;
                bytes.remove_prefix(n);
            }
            if (!bytes.empty() &&
                std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
                writeError = errno ? errno : EIO;
                return false;
            }
            return true;
        };
        sftp::Attributes opened;
        sftp::Result r = m_session->Download(abs, from, sink, progress, &opened);
        const std::int64_t announced = opened.size ? static_cast<std::int64_t>(*opened.size) : -1;
        const std::string stamp = opened.times ? std::to_string(opened.times->mtime) : "";
        if (writeError) {
            result = LocalFailure("Cannot write " + landing.TempPath() + ": " +
                                  std::strerror(writeError));
            break;
        }
        // Other bytes where the part kept its own, or a file that ended inside
        // the part: replaced on the server since the first try.
        bool replaced = differs || (r && checked < overlap.size());
        if (!replaced && r && already && !stamp.empty() && !landing.Stamp().empty() &&
            stamp != landing.Stamp())
            replaced = true;
        if (replaced && !begunAnew) {
            if (!beginAnew()) {
                result = LocalFailure(why);
                break;
            }
            continue;
        }
        if (replaced) {
            result = {Failure::Refused, "The file changed on the server while it was fetched"};
            break;
        }
        if (from == 0) {
            landing.SetTotal(announced);
            landing.SetStamp(stamp);
        }
        if (!r) {
            result = SftpResult(r);
            break;
        }
        files::TrySizes sizes;
        sizes.from = from;
        sizes.received = received;
        sizes.announced = announced;
        sizes.expected = expectedSize;
        files::SizeCheck check = landing.Check(sizes);
        if (check.arrival == files::Arrival::Whole)
            break;
        // A file that shrank while it was read is asked its size once more.
        sftp::Attributes now;
        if (check.arrival != files::Arrival::Disagrees && m_session->Stat(abs, &now) &&
            now.size == check.arrived)
            break;
        if (check.arrival == files::Arrival::Disagrees && !begunAnew) {
            if (!beginAnew()) {
                result = LocalFailure(why);
                break;
            }
            continue;
        }
        // What arrived of a short file is good as far as it goes.
        result = {check.arrival == files::Arrival::Short ? Failure::ConnectionLost
                                                         : Failure::Refused,
                  check.text};
        break;
    }
    if (!result && partial && result.failure == Failure::ConnectionLost)
        // Kept for the next try: every byte that arrived, written out.
        return landing.Keep(&why) ? result : LocalFailure(why);
    if (!result) {
        landing.Discard();
        return result;
    }
    return landing.Land(&why) ? result : LocalFailure(why);
}

Result SftpFs::Upload(const std::string& localPath, const std::string& remotePath,
                      const Progress& progress, files::PartialUpload* partial) {
    const std::string abs = m_session->Resolve(remotePath);
    struct stat st {};
    std::string why;
    int fd = OpenSource(localPath, &st, &why);
    if (fd < 0)
        return LocalFailure(why);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t from = 0;
    if (partial) {
        files::PartialUpload::Source now = SourceOf(st);
        if (partial->tries > 0 && !(partial->source == now)) {
            // Nothing the server kept is known to be this file's own.
            partial->opened = false;
            partial->sent = 0;
        }
        partial->source = now;
        if (partial->tries > 0) {
            // What the server kept is this file's beginning only when it was
            // made anew for us, and only as far as its writes were confirmed:
            // the replies to the writes still in flight when the connection
            // went are lost, so the server usually holds more than that, and
            // the unconfirmed rest is written again. A copy longer than the
            // file is sent anew whole.
            if (partial->opened && partial->sent > 0 && !partial->sizeDisagreed) {
                sftp::Attributes kept;
                sftp::Result r = m_session->Lstat(abs, &kept);
                if (r.failure == sftp::Failure::Stopped) {
                    close(fd);
                    return SftpResult(r);
                }
                if (r && sftp::IsRegularFile(kept) && kept.size && *kept.size > 0 &&
                    *kept.size <= size)
                    from = std::min(*kept.size, partial->sent);
            }
            if (partial->onResume)
                partial->onResume(from);
        }
        ++partial->tries;
        partial->resumedAt = from;
    }
    sftp::Progress track = [&](std::uint64_t done, std::uint64_t total) {
        if (partial) {
            // A write the server took: the file was made anew for us.
            partial->opened = true;
            partial->sent = std::max(partial->sent, done);
        }
        if (progress)
            progress(done, total);
    };
    sftp::Result r = m_session->Upload(fd, abs, from, track);
    close(fd);
    if (!r)
        return SftpResult(r);
    // Every write was taken; what the server holds now must be the file.
    // Pieces from two tries must add up to it, and a file the server holds
    // longer (its old copy's tail beyond a resume) is never called done.
    sftp::Attributes held;
    sftp::Result asked = m_session->Lstat(abs, &held);
    if (asked.failure == sftp::Failure::Stopped || asked.failure == sftp::Failure::ConnectionLost)
        return SftpResult(asked);
    if (asked && held.size && *held.size == size)
        return {};
    if (!asked && from == 0)
        return {}; // a server that shows no size is taken at its word for a whole file
    Result mismatch{Failure::SizeMismatch,
                    held.size ? "The server holds " + std::to_string(*held.size) + " of " +
                                    std::to_string(size) + " bytes"
                              : "The server gives no size for the file it was sent"};
    if (partial) {
        if (partial->sizeDisagreed)
            mismatch.failure = Failure::Refused;
        partial->sizeDisagreed = true;
    }
    return mismatch;
}

} // namespace remote
