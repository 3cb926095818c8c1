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

// At most `maxBytes` bytes of `text`, never ending inside a UTF-8 character
// (bytes that do not form a character are cut anywhere).
std::string CutAtCharBoundary(const std::string& text, size_t maxBytes);

} // namespace ui
