// libTollin.so: records where Orvane is installed, and removes that record
// together with every stored site. The two functions are the library's only
// exports.
#pragma once

#define TOLLIN_API extern "C" __attribute__((visibility("default")))

// Writes "URL", "PATH" (= `installDir`) and "InstallationDate" into
// SOFTWARE\Orvane. Always returns 0; a failure is shown to the user.
TOLLIN_API int RegisterApp(const char* installDir);
// Deletes every site key of SOFTWARE\Orvane, then "PATH", "InstallationDate"
// and "URL". 1 when the product key was opened, 0 when it does not exist.
TOLLIN_API int UnRegisterApp(void);
