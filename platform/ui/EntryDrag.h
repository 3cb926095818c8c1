// What a drag between the two file lists carries, and what a drop on one of
// them received. Beside the entry's name as text (what other programs see),
// a drag offers a private record naming the window and the list it came from,
// with the name's exact bytes: a drop takes names only from that record, so
// text from another program is never taken for a name.
#pragma once

#include <wx/dataobj.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class wxWindow;

namespace ui {

// The private format of a drag between the lists.
extern const char* const kEntryFormat;

struct EntryDrag {
    std::string origin; // DragOrigin() of the window the drag began in
    int list = 0;       // the id of the list it began in
    std::string name;   // the first selected entry, exact bytes
};

std::string EncodeEntryDrag(const EntryDrag& drag);
// Nothing for bytes that are no record of ours.
std::optional<EntryDrag> DecodeEntryDrag(const void* data, size_t size);

// Names the top-level window of `window` in this process: a token drawn once
// per process, then the window. Another process, or another window of this
// one, gives another text.
std::string DragOrigin(const wxWindow* window);

// What a list's drag offers: the private record first, then `text`.
std::unique_ptr<wxDataObject> NewEntryDataObject(const EntryDrag& drag, const wxString& text);

// The local paths of a text/uri-list, exact bytes. Only file: URIs of this
// machine count; comments and other URIs are left out.
std::vector<std::string> ParseUriList(const char* data, size_t size);

struct DropPayload {
    enum class Kind { Nothing, Entry, Files };
    Kind kind = Kind::Nothing;
    EntryDrag entry;                // Kind::Entry
    std::vector<std::string> files; // Kind::Files: absolute local paths
};

// The receiving side of a drop on a list: the private record and, where
// `acceptFiles`, a file list from the desktop. Nothing else is taken.
class CDropData : public wxDataObjectComposite {
public:
    explicit CDropData(bool acceptFiles);
    // What the last drop brought.
    DropPayload Payload() const;

private:
    wxCustomDataObject* m_entry;
    wxCustomDataObject* m_files = nullptr;
};

} // namespace ui
