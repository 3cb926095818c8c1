#include "platform/ui/EntryDrag.h"

#include <wx/toplevel.h>
#include <wx/window.h>

#include <glib.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace ui {

const char* const kEntryFormat = "application/x-orvane-entry";

namespace {

const char kMagic[] = "orvane-entry 1\n";

const std::string& ProcessToken() {
    static const std::string token = [] {
        std::random_device random;
        char text[64];
        std::snprintf(text, sizeof text, "%08x%08x-%ld", random(), random(),
                      static_cast<long>(getpid()));
        return std::string(text);
    }();
    return token;
}

} // namespace

std::string EncodeEntryDrag(const EntryDrag& drag) {
    // Origin and list on lines of their own; the name is the rest, so any
    // byte of it (a line break included) comes back as it was.
    return kMagic + drag.origin + "\n" + std::to_string(drag.list) + "\n" + drag.name;
}

std::optional<EntryDrag> DecodeEntryDrag(const void* data, size_t size) {
    if (!data)
        return std::nullopt;
    std::string bytes(static_cast<const char*>(data), size);
    if (bytes.compare(0, sizeof kMagic - 1, kMagic) != 0)
        return std::nullopt;
    size_t start = sizeof kMagic - 1;
    size_t nl1 = bytes.find('\n', start);
    if (nl1 == std::string::npos)
        return std::nullopt;
    size_t nl2 = bytes.find('\n', nl1 + 1);
    if (nl2 == std::string::npos)
        return std::nullopt;
    EntryDrag drag;
    drag.origin = bytes.substr(start, nl1 - start);
    std::string list = bytes.substr(nl1 + 1, nl2 - nl1 - 1);
    if (list.empty() || list.size() > 9 ||
        list.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    drag.list = std::stoi(list);
    drag.name = bytes.substr(nl2 + 1);
    return drag;
}

std::string DragOrigin(const wxWindow* window) {
    const wxWindow* top = window ? wxGetTopLevelParent(const_cast<wxWindow*>(window)) : nullptr;
    char text[32];
    std::snprintf(text, sizeof text, ":%" PRIxPTR, reinterpret_cast<std::uintptr_t>(top));
    return ProcessToken() + text;
}

std::unique_ptr<wxDataObject> NewEntryDataObject(const EntryDrag& drag, const wxString& text) {
    auto data = std::make_unique<wxDataObjectComposite>();
    auto* entry = new wxCustomDataObject(wxDataFormat(kEntryFormat));
    std::string bytes = EncodeEntryDrag(drag);
    entry->SetData(bytes.size(), bytes.data());
    data->Add(entry, true); // preferred: a drop on our lists takes this one
    data->Add(new wxTextDataObject(text));
    return data;
}

std::vector<std::string> ParseUriList(const char* data, size_t size) {
    std::vector<std::string> paths;
    std::string text(data ? data : "", data ? size : 0);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == '\0'))
            line.pop_back();
        if (line.empty() || line[0] == '#' || line.find('\0') != std::string::npos)
            continue;
        gchar* host = nullptr;
        gchar* path = g_filename_from_uri(line.c_str(), &host, nullptr);
        bool here = !host || std::string(host).empty() || std::string(host) == "localhost";
        if (path && here && path[0] == '/')
            paths.push_back(path);
        g_free(path);
        g_free(host);
    }
    return paths;
}

CDropData::CDropData(bool acceptFiles) {
    m_entry = new wxCustomDataObject(wxDataFormat(kEntryFormat));
    Add(m_entry, true);
    if (acceptFiles) {
        m_files = new wxCustomDataObject(wxDataFormat(wxDF_FILENAME));
        Add(m_files);
    }
}

DropPayload CDropData::Payload() const {
    DropPayload payload;
    wxDataFormat format = GetReceivedFormat();
    if (format == wxDataFormat(kEntryFormat)) {
        if (std::optional<EntryDrag> drag =
                DecodeEntryDrag(m_entry->GetData(), m_entry->GetSize())) {
            payload.kind = DropPayload::Kind::Entry;
            payload.entry = *drag;
        }
    } else if (m_files && format == wxDataFormat(wxDF_FILENAME)) {
        payload.files =
            ParseUriList(static_cast<const char*>(m_files->GetData()), m_files->GetSize());
        if (!payload.files.empty())
            payload.kind = DropPayload::Kind::Files;
    }
    return payload;
}

} // namespace ui
