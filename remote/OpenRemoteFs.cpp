// The factory of remote file systems: a site's settings become a session of
// the protocol the site speaks (FTP, with or without TLS, today).
#include "remote/OpenRemoteFs.h"

#include "platform/ftp/FtpFs.h"
#include "sites/SiteStore.h"

namespace remote {

std::shared_ptr<IRemoteFs> OpenRemoteFs(const SiteConnection& site, IRemoteQuestions* questions,
                                        Result* why) {
    ftp::ConnectParams params;
    params.host = site.host;
    params.port = site.port & 0xFFFF; // only the low 16 bits are a port
    params.user = site.user;
    params.password = site.password;
    params.connectTimeoutSec = site.connectTimeoutSec;
    params.responseTimeoutSec = site.responseTimeoutSec;
    params.lowSpeedTimeSec = site.lowSpeedTimeSec;
    params.mode = site.passive ? ftp::Mode::Passive : ftp::Mode::Active;
    params.encryption = site.encryption == sites::kEncryptionPlain ? ftp::Encryption::None
                        : site.encryption == sites::kEncryptionRequire
                            ? ftp::Encryption::Require
                            : ftp::Encryption::IfAvailable;
    if (params.encryption != ftp::Encryption::None) {
        params.trustedFingerprint =
            sites::LoadTrustedCertificate(ftp::ServerKey(params.host, params.port));
        if (questions)
            params.askCertificate = [questions](const ftp::Certificate& c) {
                return questions->AskCertificate(c);
            };
    }
    std::shared_ptr<ftp::Session> session = ftp::Session::Create(params);
    if (!session) {
        if (why)
            *why = LastFtpResult(false);
        return nullptr;
    }
    return std::make_shared<FtpFs>(std::move(session), params.encryption);
}

} // namespace remote
