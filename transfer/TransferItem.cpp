#include "transfer/TransferItem.h"

#include "platform/fs/Paths.h"

std::string NormalisePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
    if (out.empty() || out[0] != '/')
        out.insert(out.begin(), '/');
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string FormatSizeText(std::uint64_t bytes) {
    return "    Size : " + files::KbText(bytes);
}

bool IsSafeName(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0' || c == '\r' || c == '\n')
            return false;
    return true;
}

std::string PrintableName(const std::string& name) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
