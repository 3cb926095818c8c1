// Test runner for the FTP layer: libcurl is initialised once, as in the program.
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    curl_global_cleanup();
    return rc;
}
