// A connected remote file system on a test server of 127.0.0.1, opened as
// the program opens one for a site (plain FTP).
#pragma once

#include "remote/OpenRemoteFs.h"
#include "sites/SiteStore.h"

#include <memory>
#include <string>

// A session for the test server, not yet connected (as a batch's own
// connections are opened).
inline std::shared_ptr<remote::IRemoteFs> OpenRemote(int port, const std::string& user,
                                                     const std::string& password,
                                                     int timeoutSec = 20,
                                                     remote::Result* why = nullptr) {
    remote::SiteConnection site;
    site.host = "127.0.0.1";
    site.port = port;
    site.user = user;
    site.password = password;
    site.encryption = sites::kEncryptionPlain;
    site.connectTimeoutSec = timeoutSec < 10 ? timeoutSec : 10;
    site.responseTimeoutSec = timeoutSec;
    site.lowSpeedTimeSec = timeoutSec < 60 ? timeoutSec : 60;
    return remote::OpenRemoteFs(site, nullptr, why);
}

// Null when the connect failed; `why` (if given) then says why.
inline std::shared_ptr<remote::IRemoteFs> ConnectRemote(int port, const std::string& user,
                                                        const std::string& password,
                                                        int timeoutSec = 20,
                                                        remote::Result* why = nullptr) {
    remote::Result result;
    std::shared_ptr<remote::IRemoteFs> fs = OpenRemote(port, user, password, timeoutSec, &result);
    if (fs)
        result = fs->Connect();
    if (why)
        *why = result;
    return result ? fs : nullptr;
}
