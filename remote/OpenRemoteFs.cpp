// The factory of remote file systems: a site's settings become a session of
// the protocol the site speaks (FTP, with or without TLS, or SFTP).
#include "remote/OpenRemoteFs.h"

#include "platform/fs/Paths.h"
#include "platform/ftp/FtpFs.h"
#include "platform/registry/Registry.h"
#include "platform/sftp/SftpFs.h"
#include "sites/SiteStore.h"

namespace remote {

namespace {

std::shared_ptr<IRemoteFs> OpenSftp(const SiteConnection& site, IRemoteQuestions* questions) {
    sftp::ConnectParams params;
    params.ssh.host = site.host;
    params.ssh.port = site.port & 0xFFFF;
    params.ssh.user = site.user;
    params.ssh.connectTimeoutSec = site.connectTimeoutSec;
    params.ssh.configFile = site.ssh.configFile;
    params.ssh.identityFile = site.ssh.identityFile;
    params.ssh.knownHostsFiles = site.ssh.knownHostsFiles;
    params.responseTimeoutSec = site.responseTimeoutSec;
    params.password = site.password;
    // Keys the user said always to trust are kept beside the settings.
    params.trustedKnownHosts = site.ssh.trustedKnownHosts.empty()
                                   ? files::Parent(reg::RegistryPath()) + "/known_hosts"
                                   : site.ssh.trustedKnownHosts;
    return std::make_shared<SftpFs>(std::move(params), questions);
}

} // namespace

std::shared_ptr<IRemoteFs> OpenRemoteFs(const SiteConnection& site, IRemoteQuestions* questions,
                                        Result* why) {
    if (site.protocol == sites::kProtocolSftp)
        return OpenSftp(site, questions);
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
