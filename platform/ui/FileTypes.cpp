#include "platform/ui/FileTypes.h"

#include "platform/shell/Shell.h"

#include <wx/artprov.h>
#include <wx/imaglist.h>

namespace {

// Names sharing an extension share a kind; a name without one is its own.
std::string KindKey(const std::string& name) {
    size_t dot = name.rfind('.');
    std::string key = dot == std::string::npos || dot == 0 ? "=" + name : name.substr(dot);
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

} // namespace

CFileTypes::CFileTypes(const wxBitmap& folder) : m_images(new wxImageList(16, 16, true, 1)) {
    m_images->Add(folder);
    wxBitmap generic = wxArtProvider::GetBitmap(wxART_NORMAL_FILE, wxART_LIST, wxSize(16, 16));
    if (generic.IsOk() && generic.GetSize() == wxSize(16, 16))
        m_genericImage = m_images->Add(generic);
    else
        m_genericImage = kFolderImage;
}

CFileTypes::~CFileTypes() = default;

const CFileTypes::Kind& CFileTypes::KindOf(const std::string& name) {
    std::string key = KindKey(name);
    auto it = m_kinds.find(key);
    if (it != m_kinds.end())
        return it->second;
    Kind kind{shell::TypeNameFor(name), m_genericImage};
    for (const std::string& iconName : shell::IconNamesFor(name)) {
        if (auto known = m_iconImages.find(iconName); known != m_iconImages.end()) {
            kind.image = known->second;
            break;
        }
        wxBitmap bmp =
            wxArtProvider::GetBitmap(wxString::FromUTF8(iconName), wxART_LIST, wxSize(16, 16));
        if (bmp.IsOk()) {
            if (bmp.GetSize() != wxSize(16, 16))
                bmp = wxBitmap(bmp.ConvertToImage().Rescale(16, 16, wxIMAGE_QUALITY_HIGH));
            kind.image = m_images->Add(bmp);
            m_iconImages[iconName] = kind.image;
            break;
        }
    }
    return m_kinds.emplace(key, kind).first->second;
}

int CFileTypes::ImageFor(const std::string& name) {
    return KindOf(name).image;
}

std::string CFileTypes::TypeNameFor(const std::string& name) {
    return KindOf(name).typeName;
}
