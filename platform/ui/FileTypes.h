// Type names and small icons of files, decided by their names alone and kept
// per kind, with the image list the panes' lists draw them from.
#pragma once

#include <wx/bitmap.h>

#include <map>
#include <memory>
#include <string>

class wxImageList;

class CFileTypes {
public:
    // Image 0 is `folder`; a generic document stands in where the desktop
    // has no icon for a type.
    explicit CFileTypes(const wxBitmap& folder);
    ~CFileTypes();

    wxImageList* ImageList() const { return m_images.get(); }
    static constexpr int kFolderImage = 0;
    int ImageFor(const std::string& name);
    std::string TypeNameFor(const std::string& name);

private:
    struct Kind {
        std::string typeName;
        int image;
    };
    const Kind& KindOf(const std::string& name);
    std::unique_ptr<wxImageList> m_images;
    std::map<std::string, Kind> m_kinds;
    std::map<std::string, int> m_iconImages;
    int m_genericImage = -1;
};
