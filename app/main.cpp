#include "app/FtpUrl.h"
#include "app/Pondrel1App.h"

#include <curl/curl.h>
#include <wx/init.h>

int main(int argc, char** argv) {
    // libcurl is initialised once, before any thread starts.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto* app = new CPondrel1App;
    // The link is kept as bytes; its password is then blanked out of the
    // process's command line, where other users could read it. So is that
    // of any other argument: a link after an option or after another link
    // is not opened, yet shows as long as the program runs.
    if (argc > 1)
        app->m_strStartArgument = argv[1];
    for (int i = 1; i < argc; ++i)
        ftpurl::HidePassword(argv[i]);
    wxApp::SetInstance(app);
    int rc = wxEntry(argc, argv);
    curl_global_cleanup();
    return rc;
}
