// The desktop's keyring (the Secret Service, through libsecret): one item per
// site, found by the program's name and the site's name, labelled and
// described by its host, port and user.
//
// No request waits longer than kAnswerWait. A request that gets no answer in
// that time, or finds no service on the session bus, makes the keyring count
// as absent for the rest of the run: later requests return Unavailable at
// once, so no caller ever waits twice. Passwords pass through here and go
// nowhere else: no error text carries one.
#pragma once

#include <chrono>
#include <string>

namespace keyring {

// A few seconds: gnome-keyring-daemon answered its first request within a
// second of its start here, and the bus's own limit for an unanswered call
// (25 seconds) is far too long to keep a window frozen.
constexpr std::chrono::milliseconds kAnswerWait{3000};

// Site names compare without regard to case: the item is found by the name in
// lower case, whatever spelling the site has now.
struct SiteItem {
    std::string site;
    std::string host;
    std::string port;
    std::string user;
};

enum class Result {
    Done,
    NotFound,    // (Lookup) the keyring has no password for the site
    Unavailable, // no keyring answers in this run
    Failed,      // the keyring answered no (locked and not unlocked, refused...)
};

// Whether a keyring answers on the session bus with its default collection
// unlocked (the program never waits for the user to unlock it). Asked once per
// run (and again after Reset); later calls return the answer at once.
bool Available();
// Why the keyring is not used, for the log; "" while it is.
std::string UnavailableReason();

// Keeps `password` as the site's one item (an item of the site under other
// host, port or user is replaced). `error` gets the keyring's reason on Failed.
Result Store(const SiteItem& item, const std::string& password, std::string* error = nullptr);
Result Lookup(const std::string& site, std::string* password);
// Removes the site's item; Done also when it had none.
Result Clear(const std::string& site);
// Removes every item of the program.
Result ClearAll();

// Forgets the answer and lets go of the connection: the next request asks the
// session bus named by the environment then. For tests and a changed session.
void Reset();

} // namespace keyring
