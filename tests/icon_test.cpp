// The program's icon: the windows carry it in every size the desktop asks
// for, and the files installed for the icon theme show the same picture.
#include "app/Artwork.h"
#include "tests/FrameFixture.h"
#include "uninstall/UninstallDlg.h"

#include <wx/bmpbndl.h>
#include <wx/image.h>

#include <cstdlib>
#include <string>

namespace {

const std::string kIcons = std::string(ORVANE_TEST_DIR) + "/../install/icons";
const std::string kName = "org.example.orvane.Orvane";

// The mean difference per channel (0-255) of two pictures of one size, both
// laid on white first so transparent pixels compare as what the user sees.
double MeanDifference(wxImage a, wxImage b) {
    auto flatten = [](wxImage& img, int x, int y, int channel) {
        unsigned char v = channel == 0   ? img.GetRed(x, y)
                          : channel == 1 ? img.GetGreen(x, y)
                                         : img.GetBlue(x, y);
        double alpha = img.HasAlpha() ? img.GetAlpha(x, y) / 255.0 : 1.0;
        return v * alpha + 255 * (1 - alpha);
    };
    double sum = 0;
    for (int y = 0; y < a.GetHeight(); ++y)
        for (int x = 0; x < a.GetWidth(); ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(flatten(a, x, y, c) - flatten(b, x, y, c));
    return sum / (a.GetWidth() * a.GetHeight() * 3);
}

TEST_F(FrameTest, TheMainWindowAndTheUninstallerCarryTheIconInEverySize) {
    for (wxTopLevelWindow* window :
         {static_cast<wxTopLevelWindow*>(frame),
          static_cast<wxTopLevelWindow*>(new COrvaneUninstallDlg(frame))}) {
        const wxIconBundle& icons = window->GetIcons();
        ASSERT_EQ(icons.GetIconCount(), 6u) << window->GetTitle();
        for (int size : art::kAppIconSizes) {
            wxIcon icon = icons.GetIconOfExactSize(wxSize(size, size));
            EXPECT_TRUE(icon.IsOk()) << window->GetTitle() << " has no " << size << " px icon";
        }
        if (window != frame)
            window->Destroy();
    }
}

TEST_F(FrameTest, TheInstalledIconFilesShowWhatTheWindowsShow) {
    wxInitAllImageHandlers();
    for (int size : art::kAppIconSizes) {
        std::string file = kIcons + "/" + std::to_string(size) + "x" + std::to_string(size) +
                           "/apps/" + kName + ".png";
        wxImage png(file, wxBITMAP_TYPE_PNG);
        ASSERT_TRUE(png.IsOk()) << file;
        ASSERT_EQ(png.GetSize(), wxSize(size, size)) << file;
        wxImage drawn = art::LoadIconBitmap(art::ICON_APP, size).ConvertToImage();
        EXPECT_LT(MeanDifference(png, drawn), 2.0) << file << " differs from the drawn icon";
    }
    // The scalable one draws the same shapes: rendered at two sizes it is
    // close to the drawn icon (edges are smoothed a little differently).
    wxBitmapBundle svg =
        wxBitmapBundle::FromSVGFile(kIcons + "/scalable/apps/" + kName + ".svg", wxSize(256, 256));
    ASSERT_TRUE(svg.IsOk());
    for (int size : {48, 256}) {
        wxImage rendered = svg.GetBitmap(wxSize(size, size)).ConvertToImage();
        ASSERT_EQ(rendered.GetSize(), wxSize(size, size));
        wxImage drawn = art::LoadIconBitmap(art::ICON_APP, size).ConvertToImage();
        double diff = MeanDifference(rendered, drawn);
        EXPECT_LT(diff, 6.0) << "the SVG at " << size << " px differs from the drawn icon";
    }
}

} // namespace
