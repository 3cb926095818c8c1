// The file that marks a folder as an Orvane installation. The installer's step
// writes it into the installation folder; the uninstaller deletes nothing in a
// folder whose marker does not name that very folder.
//
//   Orvane installation
//   folder<TAB>/usr/local/lib/orvane
//   link<TAB>/usr/local/bin/Pondrel1<TAB>../lib/orvane/Pondrel1
//
// A "link" line names a command-line entry point outside the folder: a
// symbolic link the uninstaller removes only while it still holds that target.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace install {

inline constexpr char kMarkerFile[] = ".orvane-installation";

struct Marker {
    std::string folder;
    std::vector<std::pair<std::string, std::string>> links; // link path, its target
};

// True when `text` has a byte below 32 or 127: such a path cannot be written
// into the marker or a menu entry without changing its meaning.
inline bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

inline std::string MarkerText(const Marker& marker) {
    std::string text = "Orvane installation\nfolder\t" + marker.folder + "\n";
    for (const auto& [path, target] : marker.links)
        text += "link\t" + path + "\t" + target + "\n";
    return text;
}

// False when `text` is no marker.
inline bool ParseMarker(const std::string& text, Marker* marker) {
    *marker = Marker();
    size_t pos = 0;
    bool first = true, haveFolder = false;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            return false; // every line ends in a newline
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (first) {
            if (line != "Orvane installation")
                return false;
            first = false;
            continue;
        }
        size_t tab = line.find('\t');
        if (tab == std::string::npos)
            return false;
        std::string kind = line.substr(0, tab), rest = line.substr(tab + 1);
        if (kind == "folder" && !haveFolder) {
            marker->folder = rest;
            haveFolder = true;
        } else if (kind == "link") {
            size_t second = rest.find('\t');
            if (second == std::string::npos)
                return false;
            marker->links.emplace_back(rest.substr(0, second), rest.substr(second + 1));
        } else {
            return false;
        }
    }
    return haveFolder && !marker->folder.empty();
}

} // namespace install
