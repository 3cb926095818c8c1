// The FTP (and FTPS) implementation of the remote file system: one
// ftp::Session, its bool-and-last-response results turned into values.
#pragma once

#include "platform/ftp/FtpSession.h"
#include "platform/remote/RemoteFs.h"

namespace remote {

class FtpFs : public IRemoteFs {
public:
    // `session` made by ftp::Session::Create, not yet connected.
    FtpFs(std::shared_ptr<ftp::Session> session, ftp::Encryption encryption);

    Result Connect() override;
    std::vector<std::string> ConnectNotes() const override;
    Result List(const std::string& folder, std::vector<Entry>* entries, Links links) override;
    Result ChangeFolder(const std::string& folder) override;
    std::string CurrentFolder() override;
    bool ProbeFolder(const std::string& path) override;
    std::string Resolve(const std::string& path) const override;
    Presence FindFile(const std::string& path, std::uint64_t* size, bool* folder,
                      Result* why) override;
    Result MakeFolder(const std::string& path) override;
    Result Rename(const std::string& from, const std::string& to) override;
    Result DeleteFile(const std::string& path) override;
    Result DeleteFolder(const std::string& path) override;
    void DeleteFiles(const std::vector<std::string>& paths, std::vector<Result>* each) override;
    Result Download(const std::string& remotePath, const std::string& localPath,
                    const Progress& progress, std::int64_t expectedSize,
                    files::Landing* partial) override;
    Result Upload(const std::string& localPath, const std::string& remotePath,
                  const Progress& progress, files::PartialUpload* partial) override;
    void Abort() override { m_session->Abort(); }
    std::uint64_t AbortCount() const override { return m_session->AbortCount(); }
    bool WaitForAbort(std::uint64_t seen, std::chrono::milliseconds pause) override {
        return m_session->WaitForAbort(seen, pause);
    }
    void Close() override { m_session->Close(); }
    bool IsClosed() const override { return m_session->IsClosed(); }
    void SetLineHook(std::function<void(const std::string&)> hook) override {
        m_session->SetLineHook(std::move(hook));
    }

    // The session underneath, for FTP's own tests.
    ftp::Session& Session() { return *m_session; }

private:
    std::shared_ptr<ftp::Session> m_session;
    ftp::Encryption m_encryption;
};

// The result of the calling thread's last request on an ftp::Session.
Result LastFtpResult(bool ok);

} // namespace remote
