// The SFTP implementation of the remote file system: one sftp::Session, its
// entries and results turned into the ones every protocol gives, and the
// landing of downloads and the checks of uploads the FTP side makes too: a
// download lands whole or not at all, a resume goes on only from what is
// known to be the file's own beginning, and a transfer is done only when the
// sizes the server gives agree with what was moved.
#pragma once

#include "platform/remote/RemoteFs.h"
#include "platform/sftp/SftpSession.h"

#include <memory>

namespace remote {

class SftpFs : public IRemoteFs {
public:
    // `questions` (may be null: nothing is asked, unknown host keys are
    // refused) answers ssh's questions while it logs in; it must outlive
    // the session.
    explicit SftpFs(sftp::ConnectParams params, IRemoteQuestions* questions = nullptr);
    ~SftpFs() override;

    Result Connect() override;
    std::vector<std::string> ConnectNotes() const override;
    // Links are listed as links, whatever they point to: what is behind one
    // is never looked at, so nothing walks through it.
    Result List(const std::string& folder, std::vector<Entry>* entries, Links links) override;
    Result ChangeFolder(const std::string& folder) override;
    std::string CurrentFolder() override { return m_session->CurrentFolder(); }
    bool ProbeFolder(const std::string& path) override;
    std::string Resolve(const std::string& path) const override { return m_session->Resolve(path); }
    Presence FindFile(const std::string& path, std::uint64_t* size, bool* folder,
                      Result* why) override;
    Result MakeFolder(const std::string& path) override;
    Result Rename(const std::string& from, const std::string& to) override;
    Result DeleteFile(const std::string& path) override;
    Result DeleteFolder(const std::string& path) override;
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
    // The session says nothing on its own: a lost connection is opened anew
    // quietly by the next request.
    void SetLineHook(std::function<void(const std::string&)>) override {}

    sftp::Session& Session() { return *m_session; }

private:
    class Questions;
    std::unique_ptr<Questions> m_questions; // before the session, which uses it
    std::unique_ptr<sftp::Session> m_session;
};

// An SFTP result as every protocol gives it.
Result SftpResult(const sftp::Result& r);

} // namespace remote
