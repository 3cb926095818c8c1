#include "platform/ftp/FtpFs.h"

namespace remote {

namespace {

Failure FailureOf(ftp::Failure f) {
    switch (f) {
    case ftp::Failure::None:
    case ftp::Failure::Refused:
        return Failure::Refused;
    case ftp::Failure::ConnectionLost:
        return Failure::ConnectionLost;
    case ftp::Failure::Stopped:
        return Failure::Stopped;
    case ftp::Failure::Local:
        return Failure::Local;
    case ftp::Failure::SizeMismatch:
        return Failure::SizeMismatch;
    }
    return Failure::Refused;
}

ftp::Links LinksOf(Links links) {
    switch (links) {
    case Links::AsListed:
        return ftp::Links::AsListed;
    case Links::NotEntered:
        return ftp::Links::NotEntered;
    case Links::All:
        return ftp::Links::All;
    }
    return ftp::Links::AsListed;
}

Entry EntryOf(ftp::FindData&& d) {
    Entry e;
    e.name = std::move(d.name);
    e.isDirectory = d.isDirectory;
    e.isLink = d.isLink;
    e.linkTarget = std::move(d.linkTarget);
    e.size = d.size;
    e.modified = d.modified;
    e.modifiedIsUtc = d.modifiedIsUtc;
    e.isDots = d.isDots;
    e.safe = d.safe;
    return e;
}

} // namespace

Result LastFtpResult(bool ok) {
    Result r;
    r.reply = ftp::LastResponse();
    if (!ok)
        r.failure = FailureOf(ftp::LastFailure());
    return r;
}

FtpFs::FtpFs(std::shared_ptr<ftp::Session> session, ftp::Encryption encryption)
    : m_session(std::move(session)), m_encryption(encryption) {}

Result FtpFs::Connect() {
    return LastFtpResult(m_session->Connect());
}

std::vector<std::string> FtpFs::ConnectNotes() const {
    std::vector<std::string> notes;
    if (m_encryption != ftp::Encryption::None)
        notes.push_back(m_session->IsEncrypted()
                            ? "Encrypted connection (TLS) established"
                            : "Server does not offer TLS: connection not encrypted");
    if (m_session->PassiveForTls())
        notes.push_back("Active mode is not used over TLS: data connections are passive");
    return notes;
}

Result FtpFs::List(const std::string& folder, std::vector<Entry>* entries, Links links) {
    std::vector<ftp::FindData> found;
    bool ok = m_session->ListDirectory(folder, &found, LinksOf(links));
    Result r = LastFtpResult(ok);
    entries->clear();
    entries->reserve(found.size());
    for (ftp::FindData& d : found)
        entries->push_back(EntryOf(std::move(d)));
    return r;
}

Result FtpFs::ChangeFolder(const std::string& folder) {
    return LastFtpResult(m_session->SetCurrentDirectory(folder));
}

std::string FtpFs::CurrentFolder() {
    return m_session->GetCurrentDirectory();
}

bool FtpFs::ProbeFolder(const std::string& path) {
    // One compound step: no other request comes between the two changes.
    auto lock = m_session->Lock();
    std::string before = m_session->GetCurrentDirectory();
    bool folder = m_session->SetCurrentDirectory(path);
    if (folder && m_session->GetCurrentDirectory() != before)
        m_session->SetCurrentDirectory(before);
    return folder;
}

std::string FtpFs::Resolve(const std::string& path) const {
    return m_session->Resolve(path);
}

Presence FtpFs::FindFile(const std::string& path, std::uint64_t* size, bool* folder, Result* why) {
    ftp::Session::Presence p = m_session->FindFile(path, size, folder);
    if (why)
        *why = LastFtpResult(p != ftp::Session::Presence::Unknown);
    switch (p) {
    case ftp::Session::Presence::Absent:
        return Presence::Absent;
    case ftp::Session::Presence::Present:
        return Presence::Present;
    case ftp::Session::Presence::Unknown:
        break;
    }
    return Presence::Unknown;
}

Result FtpFs::MakeFolder(const std::string& path) {
    return LastFtpResult(m_session->CreateDirectory(path));
}

Result FtpFs::Rename(const std::string& from, const std::string& to) {
    return LastFtpResult(m_session->RenameFile(from, to));
}

Result FtpFs::DeleteFile(const std::string& path) {
    return LastFtpResult(m_session->DeleteFile(path));
}

Result FtpFs::DeleteFolder(const std::string& path) {
    return LastFtpResult(m_session->RemoveDirectory(path));
}

void FtpFs::DeleteFiles(const std::vector<std::string>& paths, std::vector<Result>* each) {
    std::vector<bool> done;
    std::vector<std::string> replies;
    bool ok = m_session->DeleteFiles(paths, &done, &replies);
    Result whole = LastFtpResult(ok);
    each->assign(paths.size(), Result{});
    for (size_t i = 0; i < paths.size(); ++i) {
        Result& r = (*each)[i];
        bool reached = i < replies.size() && !replies[i].empty();
        r.reply = reached ? replies[i] : whole.reply;
        if (i >= done.size() || !done[i])
            r.failure =
                reached ? Failure::Refused : (whole.Ok() ? Failure::Refused : whole.failure);
    }
}

Result FtpFs::Download(const std::string& remotePath, const std::string& localPath,
                       const Progress& progress, std::int64_t expectedSize,
                       files::Landing* partial) {
    return LastFtpResult(
        m_session->GetFile(remotePath, localPath, progress, expectedSize, partial));
}

Result FtpFs::Upload(const std::string& localPath, const std::string& remotePath,
                     const Progress& progress, files::PartialUpload* partial) {
    return LastFtpResult(m_session->PutFile(localPath, remotePath, progress, partial));
}

} // namespace remote
