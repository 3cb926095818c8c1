// The installer's last step, run by "cmake --install": records the
// installation folder through libTollin.so and puts Orvane and its
// uninstaller into the applications menu, in a folder "Orvane".
//   OrvaneRegister <installation folder>
#include "install/Tollin.h"
#include "platform/shell/Shell.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A path as the Exec key of a desktop entry takes it: quoted, with the
// characters special inside quotes escaped, then the file's own escaping.
std::string ExecQuoted(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
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
    if (argc != 2 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: %s <absolute installation folder>\n", argv[0]);
        return 2;
    }
    std::string folder = argv[1];
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
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
