#include "resources/Artwork.h"

#include <wx/brush.h>
#include <wx/font.h>
#include <wx/graphics.h>
#include <wx/image.h>
#include <wx/pen.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace art {

namespace {

using Painter = std::function<void(wxGraphicsContext&, double w, double h)>;

// Draws on a transparent image with anti-aliasing.
wxBitmap Paint(int w, int h, const Painter& paint, bool transparent = true) {
    wxImage img(w, h);
    img.InitAlpha();
    unsigned char* alpha = img.GetAlpha();
    for (int i = 0; i < w * h; ++i)
        alpha[i] = transparent ? 0 : 255;
    {
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(img));
        if (gc) {
            gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
            paint(*gc, w, h);
        }
    }
    return wxBitmap(img);
}

void Folder(wxGraphicsContext& gc, double x, double y, double w, double h, bool open = false) {
    gc.SetPen(wxPen(wxColour(150, 110, 10), 1));
    gc.SetBrush(wxBrush(wxColour(230, 180, 40)));
    wxGraphicsPath tab = gc.CreatePath();
    tab.MoveToPoint(x, y + h * 0.2);
    tab.AddLineToPoint(x + w * 0.4, y + h * 0.2);
    tab.AddLineToPoint(x + w * 0.5, y + h * 0.05);
    tab.AddLineToPoint(x + w * 0.05, y + h * 0.05);
    tab.CloseSubpath();
    gc.DrawPath(tab);
    gc.SetBrush(wxBrush(wxColour(250, 210, 70)));
    if (open) {
        gc.DrawRectangle(x, y + h * 0.2, w * 0.9, h * 0.75);
        gc.SetBrush(wxBrush(wxColour(255, 230, 120)));
        wxGraphicsPath front = gc.CreatePath();
        front.MoveToPoint(x + w * 0.15, y + h * 0.45);
        front.AddLineToPoint(x + w, y + h * 0.45);
        front.AddLineToPoint(x + w * 0.85, y + h * 0.95);
        front.AddLineToPoint(x, y + h * 0.95);
        front.CloseSubpath();
        gc.DrawPath(front);
    } else {
        gc.DrawRectangle(x, y + h * 0.2, w, h * 0.75);
    }
}

void Arrow(wxGraphicsContext& gc, double cx, double top, double bottom, double width,
           const wxColour& colour, bool up) {
    gc.SetPen(wxPen(colour.ChangeLightness(70), 1));
    gc.SetBrush(wxBrush(colour));
    double head = (bottom - top) * 0.5;
    wxGraphicsPath p = gc.CreatePath();
    if (up) {
        p.MoveToPoint(cx, top);
        p.AddLineToPoint(cx + width / 2, top + head);
        p.AddLineToPoint(cx + width / 5, top + head);
        p.AddLineToPoint(cx + width / 5, bottom);
        p.AddLineToPoint(cx - width / 5, bottom);
        p.AddLineToPoint(cx - width / 5, top + head);
        p.AddLineToPoint(cx - width / 2, top + head);
    } else {
        p.MoveToPoint(cx, bottom);
        p.AddLineToPoint(cx + width / 2, bottom - head);
        p.AddLineToPoint(cx + width / 5, bottom - head);
        p.AddLineToPoint(cx + width / 5, top);
        p.AddLineToPoint(cx - width / 5, top);
        p.AddLineToPoint(cx - width / 5, bottom - head);
        p.AddLineToPoint(cx - width / 2, bottom - head);
    }
    p.CloseSubpath();
    gc.DrawPath(p);
}

void CircleArrow(wxGraphicsContext& gc, double cx, double cy, double r, const wxColour& c,
                 double from, double to) {
    gc.SetPen(wxPen(c, 3));
    gc.SetBrush(*wxTRANSPARENT_BRUSH);
    wxGraphicsPath arc = gc.CreatePath();
    arc.AddArc(cx, cy, r, from, to, true);
    gc.StrokePath(arc);
    double ex = cx + r * std::cos(to), ey = cy + r * std::sin(to);
    double tx = -std::sin(to), ty = std::cos(to); // tangent along the arc
    double nx = std::cos(to), ny = std::sin(to);
    gc.SetPen(wxPen(c, 1));
    gc.SetBrush(wxBrush(c));
    wxGraphicsPath head = gc.CreatePath();
    head.MoveToPoint(ex + tx * 5, ey + ty * 5);
    head.AddLineToPoint(ex + nx * 4.5, ey + ny * 4.5);
    head.AddLineToPoint(ex - nx * 4.5, ey - ny * 4.5);
    head.CloseSubpath();
    gc.DrawPath(head);
}

void CentredText(wxGraphicsContext& gc, const wxString& s, double cx, double cy, int px,
                 const wxColour& c) {
    wxFont f(wxFontInfo(wxSize(0, px)).Family(wxFONTFAMILY_SWISS).Bold());
    gc.SetFont(f, c);
    double tw, th;
    gc.GetTextExtent(s, &tw, &th);
    gc.DrawText(s, cx - tw / 2, cy - th / 2);
}

const wxColour kBlue(30, 90, 200), kGreen(30, 150, 60), kRed(200, 40, 40);

void ToolGlyph(wxGraphicsContext& gc, int index) {
    switch (index) {
    case 0: // New Folder
        Folder(gc, 2, 6, 22, 20);
        gc.SetPen(wxPen(kGreen, 3));
        gc.StrokeLine(23, 4, 23, 14);
        gc.StrokeLine(18, 9, 28, 9);
        break;
    case 1: // Site Manager: a globe before a server
        gc.SetPen(wxPen(wxColour(60, 60, 60), 1));
        gc.SetBrush(wxBrush(wxColour(200, 200, 205)));
        gc.DrawRoundedRectangle(3, 3, 14, 23, 2);
        gc.SetPen(wxPen(wxColour(90, 90, 90), 1));
        for (int y = 8; y <= 16; y += 4)
            gc.StrokeLine(6, y, 14, y);
        gc.SetPen(wxPen(kBlue.ChangeLightness(60), 1));
        gc.SetBrush(wxBrush(wxColour(90, 160, 230)));
        gc.DrawEllipse(12, 12, 16, 16);
        gc.SetBrush(*wxTRANSPARENT_BRUSH);
        gc.DrawEllipse(16, 12, 8, 16);
        gc.StrokeLine(12, 20, 28, 20);
        break;
    case 2: // Reconnect
        CircleArrow(gc, 15, 15, 9, kGreen, M_PI * 1.1, M_PI * 1.9);
        CircleArrow(gc, 15, 15, 9, kGreen, M_PI * 0.1, M_PI * 0.9);
        break;
    case 3: // Disconnect: a plug pulled from its socket
        gc.SetPen(wxPen(wxColour(60, 60, 60), 1));
        gc.SetBrush(wxBrush(wxColour(120, 120, 130)));
        gc.DrawRoundedRectangle(2, 10, 9, 10, 2);
        gc.DrawRoundedRectangle(19, 10, 9, 10, 2);
        gc.SetPen(wxPen(wxColour(60, 60, 60), 2));
        gc.StrokeLine(11, 13, 14, 13);
        gc.StrokeLine(11, 17, 14, 17);
        gc.SetPen(wxPen(kRed, 2));
        gc.StrokeLine(15, 6, 17, 10);
        gc.StrokeLine(15, 24, 17, 20);
        break;
    case 4: { // Run
        gc.SetPen(wxPen(kGreen.ChangeLightness(60), 1));
        gc.SetBrush(wxBrush(kGreen));
        wxGraphicsPath p = gc.CreatePath();
        p.MoveToPoint(8, 4);
        p.AddLineToPoint(25, 15);
        p.AddLineToPoint(8, 26);
        p.CloseSubpath();
        gc.DrawPath(p);
        break;
    }
    case 5: // Delete
        gc.SetPen(wxPen(kRed, 5));
        gc.StrokeLine(7, 7, 23, 23);
        gc.StrokeLine(23, 7, 7, 23);
        break;
    case 6: // Upload
    case 7: // Download
        gc.SetPen(wxPen(wxColour(80, 80, 80), 2));
        gc.StrokeLine(4, 22, 4, 27);
        gc.StrokeLine(4, 27, 26, 27);
        gc.StrokeLine(26, 27, 26, 22);
        Arrow(gc, 15, 2, 24, 18, kBlue, index == 6);
        break;
    case 8: // Properties
        gc.SetPen(wxPen(wxColour(90, 90, 90), 1));
        gc.SetBrush(wxBrush(*wxWHITE));
        gc.DrawRectangle(5, 3, 17, 23);
        gc.SetPen(wxPen(wxColour(150, 150, 150), 1));
        for (int y = 8; y <= 20; y += 4)
            gc.StrokeLine(8, y, 19, y);
        gc.SetPen(wxPen(kBlue.ChangeLightness(60), 1));
        gc.SetBrush(wxBrush(kBlue));
        gc.DrawEllipse(15, 15, 13, 13);
        CentredText(gc, "i", 21.5, 21.5, 11, *wxWHITE);
        break;
    case 9: // Refresh
        CircleArrow(gc, 15, 15, 9, kBlue, M_PI * 0.7, M_PI * 2.3);
        break;
    case 10: // Report view
        gc.SetPen(wxPen(wxColour(60, 60, 60), 1));
        gc.SetBrush(wxBrush(kBlue));
        for (int y = 5; y <= 23; y += 6) {
            gc.DrawRectangle(4, y, 4, 4);
            gc.StrokeLine(11, y + 2, 26, y + 2);
        }
        break;
    case 11: // Small icons
        gc.SetPen(wxPen(wxColour(60, 60, 60), 1));
        gc.SetBrush(wxBrush(kBlue));
        for (int y = 5; y <= 19; y += 8)
            for (int x = 5; x <= 19; x += 8)
                gc.DrawRectangle(x, y, 6, 6);
        break;
    case 12: { // Stop
        gc.SetPen(wxPen(kRed.ChangeLightness(60), 1));
        gc.SetBrush(wxBrush(kRed));
        wxGraphicsPath p = gc.CreatePath();
        for (int i = 0; i < 8; ++i) {
            double a = M_PI / 8 + i * M_PI / 4;
            double x = 15 + 12 * std::cos(a), y = 15 + 12 * std::sin(a);
            if (i == 0)
                p.MoveToPoint(x, y);
            else
                p.AddLineToPoint(x, y);
        }
        p.CloseSubpath();
        gc.DrawPath(p);
        gc.SetPen(wxPen(*wxWHITE, 3));
        gc.StrokeLine(10, 15, 20, 15);
        break;
    }
    case 13: // Exit: a door and an arrow leaving it
        gc.SetPen(wxPen(wxColour(90, 60, 30), 1));
        gc.SetBrush(wxBrush(wxColour(170, 120, 60)));
        gc.DrawRectangle(4, 3, 13, 24);
        gc.SetBrush(wxBrush(wxColour(240, 200, 60)));
        gc.DrawEllipse(13, 15, 2, 2);
        gc.SetPen(wxPen(kRed, 3));
        gc.StrokeLine(14, 11, 25, 11);
        gc.StrokeLine(25, 11, 21, 7);
        gc.StrokeLine(25, 11, 21, 15);
        break;
    case 14: // About
        gc.SetPen(wxPen(kBlue.ChangeLightness(60), 1));
        gc.SetBrush(wxBrush(kBlue));
        gc.DrawEllipse(3, 3, 24, 24);
        CentredText(gc, "?", 15, 15, 18, *wxWHITE);
        break;
    default:
        break;
    }
}

void Banner(wxGraphicsContext& gc, double w, double h, double scale) {
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.SetBrush(
        gc.CreateLinearGradientBrush(0, 0, w, h, wxColour(10, 40, 120), wxColour(40, 130, 210)));
    gc.DrawRectangle(0, 0, w, h);
    // Two file panes and a transfer arrow between them.
    double pw = w * 0.22, ph = h * 0.5, py = h * 0.38;
    gc.SetPen(wxPen(wxColour(220, 230, 255), std::max(1.0, scale)));
    gc.SetBrush(wxBrush(wxColour(255, 255, 255, 60)));
    gc.DrawRoundedRectangle(w * 0.06, py, pw, ph, 4 * scale);
    gc.DrawRoundedRectangle(w * 0.72, py, pw, ph, 4 * scale);
    gc.SetPen(wxPen(wxColour(255, 255, 255, 140), std::max(1.0, scale)));
    for (int i = 1; i <= 4; ++i) {
        double y = py + ph * i / 5;
        gc.StrokeLine(w * 0.08, y, w * 0.26, y);
        gc.StrokeLine(w * 0.74, y, w * 0.92, y);
    }
    gc.SetPen(wxPen(wxColour(255, 200, 60), 4 * scale));
    gc.StrokeLine(w * 0.32, py + ph * 0.35, w * 0.66, py + ph * 0.35);
    gc.StrokeLine(w * 0.66, py + ph * 0.35, w * 0.61, py + ph * 0.22);
    gc.StrokeLine(w * 0.66, py + ph * 0.65, w * 0.32, py + ph * 0.65);
    gc.StrokeLine(w * 0.32, py + ph * 0.65, w * 0.37, py + ph * 0.78);
}

// The program's icon: the banner's two file panes on a rounded blue square,
// with the transfer arrows between them. Drawn in units of the icon's size;
// install/icons/orvane.svg draws the same shapes with the same numbers.
void AppIcon(wxGraphicsContext& gc, double s) {
    gc.SetPen(*wxTRANSPARENT_PEN);
    gc.SetBrush(
        gc.CreateLinearGradientBrush(0, 0, s, s, wxColour(10, 40, 120), wxColour(40, 130, 210)));
    gc.DrawRoundedRectangle(0.04 * s, 0.04 * s, 0.92 * s, 0.92 * s, 0.18 * s);
    gc.SetBrush(wxBrush(wxColour(235, 242, 255)));
    for (double x : {0.12, 0.66})
        gc.DrawRoundedRectangle(x * s, 0.22 * s, 0.22 * s, 0.56 * s, 0.04 * s);
    if (s >= 32) {
        gc.SetPen(wxPen(wxColour(120, 160, 220), std::max(1.0, s / 64)));
        for (double x : {0.12, 0.66})
            for (double y : {0.36, 0.48, 0.60})
                gc.StrokeLine((x + 0.04) * s, y * s, (x + 0.18) * s, y * s);
    }
    // Upper arrow to the right, lower arrow to the left.
    gc.SetPen(s >= 48 ? wxPen(wxColour(170, 120, 10), std::max(1.0, s / 128)) : *wxTRANSPARENT_PEN);
    gc.SetBrush(wxBrush(wxColour(255, 200, 60)));
    for (int dir : {1, -1}) {
        double y = dir > 0 ? 0.40 : 0.60;
        double tail = 0.5 - dir * 0.14, tip = 0.5 + dir * 0.14, neck = tip - dir * 0.10;
        wxGraphicsPath p = gc.CreatePath();
        p.MoveToPoint(tail * s, (y - 0.04) * s);
        p.AddLineToPoint(neck * s, (y - 0.04) * s);
        p.AddLineToPoint(neck * s, (y - 0.09) * s);
        p.AddLineToPoint(tip * s, y * s);
        p.AddLineToPoint(neck * s, (y + 0.09) * s);
        p.AddLineToPoint(neck * s, (y + 0.04) * s);
        p.AddLineToPoint(tail * s, (y + 0.04) * s);
        p.CloseSubpath();
        gc.DrawPath(p);
    }
}

} // namespace

wxBitmap ToolbarImage(int index) {
    return Paint(30, 30, [index](wxGraphicsContext& gc, double, double) { ToolGlyph(gc, index); });
}

wxBitmap LoadBitmap(int id) {
    switch (id) {
    case BMP_TOOLBAR: {
        wxImage strip(450, 30);
        strip.InitAlpha();
        for (int i = 0; i < 15; ++i)
            strip.Paste(ToolbarImage(i).ConvertToImage(), i * 30, 0, wxIMAGE_ALPHA_BLEND_COMPOSE);
        return wxBitmap(strip);
    }
    case BMP_MARKER_ACTIVE:
        return Paint(
            14, 8,
            [](wxGraphicsContext& gc, double w, double h) {
                gc.SetPen(*wxTRANSPARENT_PEN);
                gc.SetBrush(wxBrush(wxColour(0, 0, 255)));
                gc.DrawRectangle(0, 0, w, h);
            },
            false);
    case BMP_MARKER_IDLE:
        return Paint(
            15, 5,
            [](wxGraphicsContext& gc, double w, double h) {
                gc.SetPen(*wxTRANSPARENT_PEN);
                gc.SetBrush(wxBrush(wxColour(192, 192, 192)));
                gc.DrawRectangle(0, 0, w, h);
            },
            false);
    case BMP_SPLASH:
        return Paint(
            585, 293,
            [](wxGraphicsContext& gc, double w, double h) {
                Banner(gc, w, h, 2);
                CentredText(gc, "Orvane", w / 2, h * 0.17, 56, *wxWHITE);
                wxFont f(wxFontInfo(wxSize(0, 16)).Family(wxFONTFAMILY_SWISS));
                gc.SetFont(f, wxColour(220, 230, 255));
                double tw, th;
                wxString line = "FTP client  -  Halvard Tremoc  -  version 1.0";
                gc.GetTextExtent(line, &tw, &th);
                gc.DrawText(line, (w - tw) / 2, h - th - 10);
            },
            false);
    case BMP_ABOUT:
        return Paint(
            110, 67,
            [](wxGraphicsContext& gc, double w, double h) {
                Banner(gc, w, h, 0.5);
                CentredText(gc, "Orvane", w / 2, h * 0.17, 15, *wxWHITE);
            },
            false);
    case BMP_UP:
        return Paint(16, 16, [](wxGraphicsContext& gc, double, double) {
            Folder(gc, 0, 3, 15, 12);
            Arrow(gc, 9, 0, 12, 8, kGreen, true);
        });
    default:
        return LoadIconBitmap(id);
    }
}

wxBitmap LoadIconBitmap(int id, int size) {
    int s = size ? size : (id == ICON_APP ? 32 : 16);
    double k = s / 16.0;
    return Paint(s, s, [id, k](wxGraphicsContext& gc, double w, double h) {
        switch (id) {
        case ICON_DRIVE:
            gc.SetPen(wxPen(wxColour(70, 70, 70), 1));
            gc.SetBrush(wxBrush(wxColour(190, 190, 195)));
            gc.DrawRoundedRectangle(1 * k, 5 * k, 14 * k, 7 * k, 1.5 * k);
            gc.SetPen(*wxTRANSPARENT_PEN);
            gc.SetBrush(wxBrush(wxColour(40, 200, 40)));
            gc.DrawRectangle(11 * k, 9 * k, 2 * k, 1.5 * k);
            break;
        case ICON_OPEN_FOLDER:
            Folder(gc, 0, 1 * k, w, h - 2 * k, true);
            break;
        case ICON_FOLDER:
            Folder(gc, 0, 1 * k, w, h - 2 * k);
            break;
        case ICON_SITE_ROOT:
            Folder(gc, 0, 1 * k, w, h - 2 * k);
            gc.SetPen(wxPen(kBlue.ChangeLightness(60), 1));
            gc.SetBrush(wxBrush(wxColour(90, 160, 230)));
            gc.DrawEllipse(6 * k, 6 * k, 9 * k, 9 * k);
            break;
        case ICON_SITE:
            gc.SetPen(wxPen(kBlue.ChangeLightness(60), 1));
            gc.SetBrush(wxBrush(wxColour(90, 160, 230)));
            gc.DrawEllipse(1 * k, 1 * k, 14 * k, 14 * k);
            gc.SetBrush(*wxTRANSPARENT_BRUSH);
            gc.DrawEllipse(4.5 * k, 1 * k, 7 * k, 14 * k);
            gc.StrokeLine(1 * k, 8 * k, 15 * k, 8 * k);
            break;
        default: // the program's icon
            AppIcon(gc, std::min(w, h));
            break;
        }
    });
}

wxIcon LoadIcon(int id, int size) {
    wxIcon icon;
    icon.CopyFromBitmap(LoadIconBitmap(id, size));
    return icon;
}

wxIconBundle AppIcons() {
    wxIconBundle icons;
    for (int size : kAppIconSizes)
        icons.AddIcon(LoadIcon(ICON_APP, size));
    return icons;
}

void LoadPanePictures(wxBitmap* up, wxBitmap* folder, wxBitmap* markerActive,
                      wxBitmap* markerIdle) {
    *up = LoadBitmap(BMP_UP);
    *folder = LoadIconBitmap(ICON_FOLDER);
    *markerActive = LoadBitmap(BMP_MARKER_ACTIVE);
    *markerIdle = LoadBitmap(BMP_MARKER_IDLE);
}

} // namespace art
