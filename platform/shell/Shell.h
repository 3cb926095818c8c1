// Desktop services: opening a file with the user's default application.
#pragma once

#include <string>
#include <vector>

namespace shell {

// Asks the desktop to open `path` with its default application, started in
// `workingDir` (ignored when empty). Returns false only when the opener could
// not be started; what the application then does is not observed. The opener
// inherits no descriptor of ours beyond standard input, output and error.
bool OpenWithDefaultApp(const std::string& path, const std::string& workingDir);

// The desktop's name for the type of a file called `name` ("plain text
// document"), decided by the name alone: the file is never touched.
std::string TypeNameFor(const std::string& name);
// Icon theme names for that type, best first.
std::vector<std::string> IconNamesFor(const std::string& name);

// Moves files and folders (with their contents) to the desktop trash.
// Returns the paths that could not be moved, each with the reason.
std::vector<std::string> MoveToTrash(const std::vector<std::string>& paths);

// The user's applications-menu folder ($XDG_DATA_HOME/applications, else
// ~/.local/share/applications), or "" when there is no home to put it in.
// Nothing is created.
std::string ApplicationsFolder();

} // namespace shell
