// Names are bytes from strangers: a file name on an old disk or server need
// not be UTF-8, and it may hold control characters. The program keeps and
// uses the exact bytes; these functions give the text a window shows for them.
#pragma once

#include <wx/string.h>

#include <string>

namespace ui {

// `bytes` as readable UTF-8: valid characters as they are; a byte that is not
// part of a valid character, every control character, and every character
// that breaks a line or reorders the text (U+2029, U+202E, ...) as "\xE9" (two
// upper-case hex digits, byte by byte). A backslash stays a backslash.
std::string DisplayText(const std::string& bytes);
// The same, ready for a widget.
wxString ToWx(const std::string& bytes);

// A text field's stored value, kept byte for byte: Show gives the text to put
// in the field (readable text for bytes that are not UTF-8, see ToWx), Get
// the value to store for what the field holds then: the original bytes while
// the field still shows them, else what was typed, as UTF-8. Text that is
// UTF-8 is shown as it is, line breaks included.
class KeptBytes {
public:
    wxString Show(const std::string& bytes);
    std::string Get(const wxString& value) const;

private:
    std::string m_bytes;
    wxString m_shown;
};

// At most `maxBytes` bytes of `text`, never ending inside a UTF-8 character
// (bytes that do not form a character are cut anywhere).
std::string CutAtCharBoundary(const std::string& text, size_t maxBytes);

} // namespace ui
