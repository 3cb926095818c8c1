// OrvaneAddSite: adds one site to the site store unless a site of that name is
// there already (names compare without regard to case, as the store does).
// For scripts that prepare a session, such as scripts/run.sh --demo.
//   OrvaneAddSite NAME HOST PORT USER PASSWORD LOCALDIR REMOTEDIR [COMMENTS]
// Exit code 0: added; 3: present already (left as it was); 1: refused.
#include "sites/SiteStore.h"

#include <cstdio>
#include <strings.h>

int main(int argc, char** argv) {
    if (argc < 8 || argc > 9) {
        std::fprintf(stderr,
                     "usage: %s NAME HOST PORT USER PASSWORD LOCALDIR REMOTEDIR [COMMENTS]\n",
                     argv[0]);
        return 1;
    }
    std::string name = argv[1];
    for (const std::string& existing : sites::ListSites())
        if (strcasecmp(existing.c_str(), name.c_str()) == 0)
            return 3;
    std::string refused = sites::CheckSiteName(name);
    if (!refused.empty()) {
        std::fprintf(stderr, "%s\n", refused.c_str());
        return 1;
    }
    std::string error;
    if (!sites::CreateSite(name, &error) ||
        !sites::SaveSite(name, argv[4], argv[2], name, argv[5], argv[3], argv[6], argv[7],
                         argc > 8 ? argv[8] : "", &error)) {
        std::fprintf(stderr, "the site could not be stored: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
