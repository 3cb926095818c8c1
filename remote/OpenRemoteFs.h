// Opens a remote file system for a site: the protocol its settings name,
// with the questions it may need to ask the user while it connects.
#pragma once

#include "platform/remote/RemoteFs.h"

#include <memory>
#include <string>
#include <vector>

namespace remote {

// How a site is reached: the settings of its record.
struct SiteConnection {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    bool passive = true;
    int encryption = 1; // sites::SiteEncryption
    int protocol = 0;   // sites::SiteProtocol
    // SFTP only: how ssh is reached. Empty: the user's own ssh configuration,
    // keys, agent and known_hosts, and our own known_hosts beside the settings.
    struct Ssh {
        std::string configFile;
        std::string identityFile;
        std::vector<std::string> knownHostsFiles; // searched after ours
        std::string trustedKnownHosts;            // ours
    } ssh;
    // How long a silent or stalled server may hold a request.
    int connectTimeoutSec = 20;  // connecting and the greeting
    int responseTimeoutSec = 60; // waiting for any reply
    int lowSpeedTimeSec = 60;    // a transfer at a crawl for this long fails
};

// A session for `site`, not yet connected (Connect() it on a worker). Null
// when it cannot even be set up; `why` says why. `questions` must outlive it.
std::shared_ptr<IRemoteFs> OpenRemoteFs(const SiteConnection& site, IRemoteQuestions* questions,
                                        Result* why);

} // namespace remote
