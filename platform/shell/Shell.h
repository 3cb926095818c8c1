// Desktop services: opening a file with the user's default application.
#pragma once

#include <string>

namespace shell {

// Asks the desktop to open `path` with its default application, started in
// `workingDir` (ignored when empty). Returns false only when the opener could
// not be started; what the application then does is not observed. The opener
// inherits no descriptor of ours beyond standard input, output and error.
bool OpenWithDefaultApp(const std::string& path, const std::string& workingDir);

// The user's applications-menu folder ($XDG_DATA_HOME/applications, else
// ~/.local/share/applications), or "" when there is no home to put it in.
// Nothing is created.
std::string ApplicationsFolder();

} // namespace shell
