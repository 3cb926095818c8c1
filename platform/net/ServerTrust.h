// What the user is asked about a server that could not prove who it is, and
// the answers, whatever the protocol.
#pragma once

#include <string>
#include <vector>

namespace net {

// A server certificate that could not be verified for the server's name by
// the CA store, as the user is shown it.
struct Certificate {
    std::string server; // ServerKey() of the server that presented it
    std::string subject;
    std::string issuer;
    std::string validFrom;
    std::string validUntil;
    std::string fingerprint; // SHA-256, "AB:CD:..."
    // Why it was not verified: every problem found, one line each ("The
    // certificate has expired."), the name first, then the dates, then the
    // chain; and the same lines joined by blanks into one.
    std::vector<std::string> problems;
    std::string problem;
    std::string trustedBefore; // the fingerprint trusted for this server until now, or ""
};

// The user's answer about a certificate.
enum class Trust { Cancel, Once, Always };

} // namespace net
