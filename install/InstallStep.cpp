// The installer's last step, run by "cmake --install": marks the folder as an
// Orvane installation, records it through libTollin.so and puts Orvane and its
// uninstaller into the applications menu, in a folder "Orvane" (so the menu
// entries' ids are "Orvane-orvane.desktop" and "Orvane-orvane-uninstall.desktop").
//   OrvaneRegister <installation folder> [<entry link>...]
// Each entry link is a symbolic link into the folder (the command-line entry
// points, the icons and the metainfo under <prefix>/share); the marker lists
// it so the uninstaller removes it with the folder.
#include "install/Marker.h"
#include "install/Tollin.h"
#include "platform/shell/Shell.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A path as the Exec key of a desktop entry takes it: quoted, with the
// characters special inside quotes escaped, then the file's own escaping.
std::string ExecQuoted(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        else if (c == '%')
            quoted += '%'; // "%%": a percent sign, not a field code
        quoted += c;
    }
    quoted += '"';
    std::string out;
    for (char c : quoted) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// The icon's name in the desktop's icon theme; the installation puts the
// files into <folder>/icons/hicolor and links them into <prefix>/share/icons.
constexpr char kIconName[] = "org.example.orvane.Orvane";

// A string value of a desktop entry: a backslash is written "\\".
std::string ValueEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// The folders where the icon theme looks: $XDG_DATA_HOME, then $XDG_DATA_DIRS
// (or their defaults), each with icons/ below it.
std::vector<std::string> DataFolders() {
    std::vector<std::string> folders;
    const char* home = std::getenv("XDG_DATA_HOME");
    const char* user = std::getenv("HOME");
    if (home && home[0] == '/')
        folders.push_back(home);
    else if (user && user[0] == '/')
        folders.push_back(std::string(user) + "/.local/share");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && dirs[0] ? dirs : "/usr/local/share/:/usr/share/";
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t colon = list.find(':', pos);
        if (colon == std::string::npos)
            colon = list.size();
        std::string dir = list.substr(pos, colon - pos);
        if (!dir.empty() && dir[0] == '/')
            folders.push_back(dir);
        pos = colon + 1;
    }
    return folders;
}

// The menu entries name the icon by its theme name where the theme finds this
// installation's icon under that name, else by the file's own path (a prefix
// outside the desktop's data folders, such as /opt/orvane).
std::string IconValue(const std::string& folder) {
    std::string file = folder + "/icons/hicolor/256x256/apps/" + kIconName + ".png";
    struct stat own;
    if (stat(file.c_str(), &own) != 0)
        return kIconName;
    for (const std::string& dir : DataFolders()) {
        std::string there = dir + "/icons/hicolor/256x256/apps/" + kIconName + ".png";
        struct stat st;
        if (stat(there.c_str(), &st) == 0 && st.st_dev == own.st_dev && st.st_ino == own.st_ino)
            return kIconName;
    }
    return file;
}

struct Entry {
    std::string name, genericName, comment, program, icon, windowClass;
    bool opensLinks = false; // takes an ftp:// or sftp:// link as its argument
};

bool WriteEntry(const fs::path& file, const Entry& e) {
    std::ofstream out(file);
    out << "[Desktop Entry]\nType=Application\nName=" << e.name;
    if (!e.genericName.empty())
        out << "\nGenericName=" << e.genericName;
    out << "\nComment=" << e.comment << "\nIcon=" << ValueEscaped(e.icon)
        << "\nExec=" << ExecQuoted(e.program) << (e.opensLinks ? " %u" : "")
        << "\nTerminal=false\nCategories=Network;FileTransfer;";
    if (e.opensLinks)
        out << "\nMimeType=x-scheme-handler/ftp;x-scheme-handler/sftp;";
    out << "\nStartupWMClass=" << e.windowClass << "\n";
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: %s <absolute installation folder> [<entry link>...]\n",
                     argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    install::Marker marker;
    marker.folder = folder;
    for (int i = 1; i < argc; ++i) {
        // A line break in a path would add lines of its own to the marker and
        // the menu entries.
        if (install::HasControlCharacter(argv[i])) {
            std::fprintf(stderr, "A path with a control character cannot be installed to: ");
            for (const char* p = argv[i]; *p; ++p)
                std::fputc(static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F ? '?' : *p, stderr);
            std::fputc('\n', stderr);
            return 2;
        }
    }
    for (int i = 2; i < argc; ++i) {
        char target[4096];
        ssize_t n = readlink(argv[i], target, sizeof target);
        if (argv[i][0] != '/' || n <= 0 || static_cast<size_t>(n) >= sizeof target) {
            std::fprintf(stderr, "%s is no symbolic link into the installation\n", argv[i]);
            return 2;
        }
        std::string to(target, static_cast<size_t>(n));
        if (install::HasControlCharacter(to)) {
            std::fprintf(stderr, "%s points to a path with a control character\n", argv[i]);
            return 2;
        }
        marker.links.emplace_back(argv[i], to);
    }
    {
        std::ofstream out(fs::path(folder) / install::kMarkerFile, std::ios::trunc);
        out << install::MarkerText(marker);
        if (!out) {
            std::fprintf(stderr, "Cannot write the installation marker into %s\n", folder.c_str());
            return 1;
        }
    }
    RegisterApp(folder.c_str());

    std::string apps = shell::ApplicationsFolder();
    if (apps.empty()) {
        std::fprintf(stderr, "No home folder: Orvane was not added to the applications menu.\n");
        return 1;
    }
    fs::path menu = fs::path(apps) / "Orvane";
    std::error_code ec;
    fs::create_directories(menu, ec);
    std::string icon = IconValue(folder);
    Entry program{"Orvane",
                  "FTP Client",
                  "Transfer files to and from FTP servers",
                  folder + "/Pondrel1",
                  icon,
                  "Pondrel1",
                  true};
    Entry uninstaller{"Uninstall Orvane",          "",   "Remove Orvane from this computer",
                      folder + "/OrvaneUninstall", icon, "OrvaneUninstall"};
    bool ok = !ec && WriteEntry(menu / "orvane.desktop", program) &&
              WriteEntry(menu / "orvane-uninstall.desktop", uninstaller);
    if (!ok) {
        std::fprintf(stderr, "Cannot write the menu entries in %s\n", menu.c_str());
        return 1;
    }
    std::printf("Orvane is installed in %s; menu entries are in %s\n", folder.c_str(),
                menu.c_str());
    return 0;
}
