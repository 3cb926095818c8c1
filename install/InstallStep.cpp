// The installer's last step, run by "cmake --install": marks the folder as an
// Orvane installation, records it through libTollin.so and puts Orvane and its
// uninstaller into the applications menu, in a folder "Orvane".
//   OrvaneRegister <installation folder> [<command-line entry link>...]
// Each entry link is a symbolic link into the folder; the marker lists it so
// the uninstaller removes it with the folder.
#include "install/Marker.h"
#include "install/Tollin.h"
#include "platform/shell/Shell.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

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

bool WriteEntry(const fs::path& file, const std::string& name, const std::string& comment,
                const std::string& program) {
    std::ofstream out(file);
    out << "[Desktop Entry]\nType=Application\nName=" << name << "\nComment=" << comment
        << "\nExec=" << ExecQuoted(program)
        << "\nTerminal=false\nCategories=Network;FileTransfer;\n";
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
    bool ok = !ec &&
              WriteEntry(menu / "orvane.desktop", "Orvane", "FTP client", folder + "/Pondrel1") &&
              WriteEntry(menu / "orvane-uninstall.desktop", "Uninstall Orvane",
                         "Remove Orvane from this computer", folder + "/OrvaneUninstall");
    if (!ok) {
        std::fprintf(stderr, "Cannot write the menu entries in %s\n", menu.c_str());
        return 1;
    }
    std::printf("Orvane is installed in %s; menu entries are in %s\n", folder.c_str(),
                menu.c_str());
    return 0;
}
