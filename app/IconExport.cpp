// Writes the program's icon, as the windows draw it, into PNG files of the
// sizes the desktop's icon theme uses:
//   orvane_icon_export <folder> <name>   writes <folder>/<size>x<size>/apps/<name>.png
// The files under install/icons were made with it, on a virtual display:
//   xvfb-run -a build-plain/bin/orvane_icon_export install/icons org.example.orvane.Orvane
#include "app/Artwork.h"

#include <wx/app.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/init.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <folder> <name>\n", argv[0]);
        return 2;
    }
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    wxInitAllImageHandlers();
    std::string name = argv[2];
    int rc = 0;
    for (int size : art::kAppIconSizes) {
        std::string dir = std::string(argv[1]) + "/" + std::to_string(size) + "x" +
                          std::to_string(size) + "/apps";
        wxFileName::Mkdir(dir, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
        wxImage image = art::LoadIconBitmap(art::ICON_APP, size).ConvertToImage();
        std::string file = dir + "/" + name + ".png";
        if (!image.SaveFile(file, wxBITMAP_TYPE_PNG)) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            rc = 1;
        }
    }
    wxEntryCleanup();
    return rc;
}
