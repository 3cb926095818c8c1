#include "platform/ui/Text.h"

namespace ui {

namespace {

// The length of the valid UTF-8 character at `p` (at most `left` bytes
// available), or 0 when the bytes there do not form one.
size_t CharLength(const unsigned char* p, size_t left) {
    unsigned char c = p[0];
    size_t len;
    unsigned min;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (left < len)
        return 0;
    unsigned cp = c & (0xFF >> (len + 1));
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no characters.
    if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return 0;
    return len;
}

// The code point of the valid `len`-byte character at `p`.
char32_t CodePoint(const unsigned char* p, size_t len) {
    char32_t cp = p[0] & (0xFF >> (len + 1));
    for (size_t i = 1; i < len; ++i)
        cp = (cp << 6) | (p[i] & 0x3F);
    return cp;
}

// Valid characters that break a line in a text view (line and paragraph
// separators) or reorder the text around them (direction marks, embeddings,
// overrides and isolates), and the invisible byte-order mark.
bool MovesText(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

} // namespace

std::string DisplayText(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        size_t len = CharLength(p + i, n - i);
        bool control = len == 1 && (p[i] < 0x20 || p[i] == 0x7F);
        // C1 controls (U+0080 to U+009F) move the text around as C0 ones do.
        bool c1 = len == 2 && p[i] == 0xC2 && p[i + 1] < 0xA0;
        if (len == 0 || control || c1 || (len > 1 && MovesText(CodePoint(p + i, len)))) {
            size_t bad = len == 0 ? 1 : len;
            for (size_t k = 0; k < bad; ++k) {
                out += "\\x";
                out += hex[p[i + k] >> 4];
                out += hex[p[i + k] & 0xF];
            }
            i += bad;
        } else {
            out.append(bytes, i, len);
            i += len;
        }
    }
    return out;
}

wxString ToWx(const std::string& bytes) {
    return wxString::FromUTF8(DisplayText(bytes));
}

wxString KeptBytes::Show(const std::string& bytes) {
    m_bytes = bytes;
    m_shown = wxString::FromUTF8(bytes);
    if (m_shown.utf8_string() != bytes)
        m_shown = ToWx(bytes);
    return m_shown;
}

std::string KeptBytes::Get(const wxString& value) const {
    return value == m_shown ? m_bytes : value.utf8_string();
}

std::string CutAtCharBoundary(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    // Step back over the continuation bytes at the cut to the character's
    // first byte; cut before it only when it starts a valid character that
    // the cut would split.
    size_t start = maxBytes;
    while (start > 0 && maxBytes - start < 3 && (p[start] & 0xC0) == 0x80)
        --start;
    if (start < maxBytes && CharLength(p + start, text.size() - start) > maxBytes - start)
        return text.substr(0, start);
    return text.substr(0, maxBytes);
}

} // namespace ui
