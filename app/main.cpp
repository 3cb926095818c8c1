#include "app/Pondrel1App.h"

#include <curl/curl.h>
#include <wx/init.h>

int main(int argc, char** argv) {
    // libcurl is initialised once, before any thread starts.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    wxApp::SetInstance(new CPondrel1App);
    int rc = wxEntry(argc, argv);
    curl_global_cleanup();
    return rc;
}
