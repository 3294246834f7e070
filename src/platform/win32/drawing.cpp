// Fonts, images and the drawing pass on GDI: MakeFont ... ImageHeight, BeginDrawingWindow ...
// DrawImageAlpha. Where a GDI primitive covers other pixels than the seam promises
// (LineTo leaves out its last pixel, Ellipse and RoundRect count their bounding box their
// own way, LineTo breaks ties differently) the pixels are laid down here in the seam's
// terms, span by span.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/win32/backend.h"

namespace {

enum TargetKind { TARGET_NONE, TARGET_WINDOW, TARGET_CANVAS, TARGET_IMAGE };

// The one open drawing pass.
struct DrawingPass {
    TargetKind kind = TARGET_NONE;
    HWND window = nullptr;           // window or canvas
    PlatformImage* image = nullptr;  // canvas backing bitmap or image
    HDC dc = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    HGDIOBJ old_font = nullptr;
    HGDIOBJ old_brush = nullptr;
    HGDIOBJ old_pen = nullptr;
    HFONT font = nullptr;
    int width = 0;
    int height = 0;
    int mode = DRAWMODE_DEFAULT;
    Colour front = 0;
    Colour back = 0;
    int gradient_x1 = 0, gradient_y1 = 0, gradient_x2 = 0, gradient_y2 = 0;
};
DrawingPass pass;

void StartPass(TargetKind kind, HWND window, PlatformImage* image, HDC dc, int width, int height) {
    pass = DrawingPass();
    pass.kind = kind;
    pass.window = window;
    pass.image = image;
    pass.dc = dc;
    pass.width = width;
    pass.height = height;
    pass.front = MakeColour(255, 255, 255);
    pass.back = MakeColour(0, 0, 0);
    pass.mode = DRAWMODE_DEFAULT;
    pass.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    pass.old_font = SelectObject(dc, pass.font);
    // Solid fills use the DC brush: one colour change instead of a brush per call.
    pass.old_brush = SelectObject(dc, GetStockObject(DC_BRUSH));
    pass.old_pen = SelectObject(dc, GetStockObject(DC_PEN));
    SetBkColor(dc, pass.back);
    SetBkMode(dc, OPAQUE);
    SetTextAlign(dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
    SetROP2(dc, R2_COPYPEN);
}

// Fills x0 .. x1 (inclusive) of row y with the DC brush; GDI clips to the target.
inline void FillSpan(int y, int x0, int x1) {
    if (x0 > x1) return;
    PatBlt(pass.dc, x0, y, x1 - x0 + 1, 1, PATCOPY);
}

uint8_t MixChannel(int front, int back, double f) {
    return static_cast<uint8_t>(std::nearbyint(front * f + back * (1.0 - f)));
}

// The gradient of DRAWMODE_GRADIENT over a box: computed per pixel into 32-bit BGRX rows,
// written straight into an image's bits or, on a window, through a scratch DIB.
void FillGradientBox(int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) return;
    long long left = std::max<long long>(x, 0), top = std::max<long long>(y, 0);
    long long right = std::min<long long>((long long)x + width, pass.width);
    long long bottom = std::min<long long>((long long)y + height, pass.height);
    if (left >= right || top >= bottom) return;
    const int x0 = (int)left, y0 = (int)top, w = (int)(right - left), h = (int)(bottom - top);

    double dx = (double)pass.gradient_x2 - pass.gradient_x1, dy = (double)pass.gradient_y2 - pass.gradient_y1;
    double length2 = dx * dx + dy * dy;
    auto pixel_at = [&](int px, int py, uint8_t* out) {
        // A gradient line of no length has no direction: all of it is the start colour.
        double f = 0.0;
        if (length2 != 0.0)
            f = std::clamp(((px - pass.gradient_x1) * dx + (py - pass.gradient_y1) * dy) / length2, 0.0, 1.0);
        out[0] = MixChannel(ColourBlue(pass.front), ColourBlue(pass.back), f);
        out[1] = MixChannel(ColourGreen(pass.front), ColourGreen(pass.back), f);
        out[2] = MixChannel(ColourRed(pass.front), ColourRed(pass.back), f);
    };

    if (pass.image) {
        GdiFlush();
        PlatformImage* image = pass.image;
        int bytes = image->depth / 8;
        for (int py = y0; py < y0 + h; ++py) {
            uint8_t* row = image->bits + (size_t)py * image->stride + (size_t)x0 * bytes;
            for (int i = 0; i < w; ++i, row += bytes) {
                pixel_at(x0 + i, py, row);
                if (bytes == 4) row[3] = 255;
            }
        }
        return;
    }
    PlatformImage* scratch = NewImage(w, h, 32);
    if (!scratch) return;
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px) pixel_at(x0 + px, y0 + py, scratch->bits + (size_t)py * scratch->stride + px * 4);
    HDC source = CreateCompatibleDC(pass.dc);
    HGDIOBJ old = SelectObject(source, scratch->bitmap);
    BitBlt(pass.dc, x0, y0, w, h, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
    DeleteImage(scratch);
}


void PutText(int x, int y, const char* text, Colour colour) {
    SetTextColor(pass.dc, colour);
    SetBkColor(pass.dc, pass.back);
    SetBkMode(pass.dc, pass.mode == DRAWMODE_TRANSPARENT ? TRANSPARENT : OPAQUE);
    TextOutA(pass.dc, x, y, text, lstrlenA(text));
}

bool Open() {
    return pass.kind != TARGET_NONE;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------------------

PlatformImage* NewImage(int width, int height, int depth) {
    if (width <= 0 || height <= 0 || (depth != 24 && depth != 32)) return nullptr;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;   // top-down: row 0 first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(depth);
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) DeleteObject(bitmap);
        return nullptr;
    }
    PlatformImage* image = new PlatformImage;
    image->bitmap = bitmap;
    image->bits = static_cast<uint8_t*>(bits);
    image->width = width;
    image->height = height;
    image->depth = depth;
    image->stride = ((width * depth + 31) / 32) * 4;
    std::memset(image->bits, 0, (size_t)image->stride * height);
    MakeImageOpaque(image);
    return image;
}

void DeleteImage(PlatformImage* image) {
    if (!image) return;
    DeleteObject(image->bitmap);
    delete image;
}

void MakeImageOpaque(PlatformImage* image) {
    if (!image || image->depth != 32) return;
    GdiFlush();
    for (int y = 0; y < image->height; ++y) {
        uint8_t* row = image->bits + (size_t)y * image->stride;
        for (int x = 0; x < image->width; ++x) row[x * 4 + 3] = 255;
    }
}

ImageRef CreateImage(int width, int height, int depth) {
    return NewImage(width, height, depth);
}

void ReleaseImage(ImageRef image) {
    if (pass.image == image && pass.kind == TARGET_IMAGE) EndDrawing();
    DeleteImage(image);
}

int ImageWidth(ImageRef image) {
    return image ? image->width : 0;
}

int ImageHeight(ImageRef image) {
    return image ? image->height : 0;
}

// ---------------------------------------------------------------------------------------
// Fonts
// ---------------------------------------------------------------------------------------

FontRef MakeFont(const char* face, int points, int weight) {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    HFONT font = CreateFontA(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                             face ? face : "");
    return reinterpret_cast<FontRef>(font);
}

void ReleaseFont(FontRef font) {
    HFONT hfont = reinterpret_cast<HFONT>(font);
    if (!hfont) return;
    if (Open() && pass.font == hfont) {
        pass.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        SelectObject(pass.dc, pass.font);
    }
    DeleteObject(hfont);
}

// ---------------------------------------------------------------------------------------
// The drawing pass
// ---------------------------------------------------------------------------------------

// One pass at a time: beginning a new one ends the pass still open, as the portable
// backend does.
bool BeginDrawingWindow(WindowRef window) {
    HWND hwnd = AsHwnd(window);
    EndDrawing();
    if (!IsWindow(hwnd)) return false;
    HDC dc = GetDC(hwnd);
    if (!dc) return false;
    RECT client;
    GetClientRect(hwnd, &client);
    StartPass(TARGET_WINDOW, hwnd, nullptr, dc, client.right, client.bottom);
    return true;
}

static bool BeginOnImage(TargetKind kind, HWND window, PlatformImage* image) {
    EndDrawing();
    if (!image) return false;
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return false;
    HGDIOBJ old_bitmap = SelectObject(dc, image->bitmap);
    StartPass(kind, window, image, dc, image->width, image->height);
    pass.old_bitmap = old_bitmap;
    return true;
}

bool BeginDrawingCanvas(WindowRef canvas) {
    HWND hwnd = AsHwnd(canvas);
    return BeginOnImage(TARGET_CANVAS, hwnd, CanvasImage(hwnd));
}

bool BeginDrawingImage(ImageRef image) {
    return BeginOnImage(TARGET_IMAGE, nullptr, image);
}

void EndDrawing() {
    if (!Open()) return;
    DrawingPass ended = pass;
    pass = DrawingPass();
    SelectObject(ended.dc, ended.old_font);
    SelectObject(ended.dc, ended.old_brush);
    SelectObject(ended.dc, ended.old_pen);
    if (ended.kind == TARGET_WINDOW) {
        ReleaseDC(ended.window, ended.dc);
        return;
    }
    GdiFlush();
    SelectObject(ended.dc, ended.old_bitmap);   // the image may go into a control next
    DeleteDC(ended.dc);
    // All of our drawing is opaque; GDI thinks otherwise and writes alpha 0.
    MakeImageOpaque(ended.image);
    if (ended.kind == TARGET_CANVAS) RedrawWindow(ended.window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

bool IsDrawing() {
    return Open();
}

int DrawingWidth() {
    return Open() ? pass.width : 0;
}

int DrawingHeight() {
    return Open() ? pass.height : 0;
}

void SetDrawingMode(int mode) {
    if (Open()) pass.mode = mode;
}

void SetFrontColour(Colour colour) {
    if (Open()) pass.front = colour & 0x00FFFFFFu;
}

void SetBackColour(Colour colour) {
    if (Open()) pass.back = colour & 0x00FFFFFFu;
}

void SetLinearGradient(int x1, int y1, int x2, int y2) {
    if (!Open()) return;
    pass.gradient_x1 = x1;
    pass.gradient_y1 = y1;
    pass.gradient_x2 = x2;
    pass.gradient_y2 = y2;
}

// ---------------------------------------------------------------------------------------
// Shapes
// ---------------------------------------------------------------------------------------

void FillBox(int x, int y, int width, int height, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    if (pass.mode == DRAWMODE_GRADIENT) {
        FillGradientBox(x, y, width, height);
        return;
    }
    SetDCBrushColor(pass.dc, colour);
    PatBlt(pass.dc, x, y, width, height, PATCOPY);
}

void FillRoundBox(int x, int y, int width, int height, int radius_x, int radius_y, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    radius_x = std::clamp(radius_x, 0, width / 2);
    radius_y = std::clamp(radius_y, 0, height / 2);
    SetDCBrushColor(pass.dc, colour);
    if (radius_x == 0 || radius_y == 0) {
        PatBlt(pass.dc, x, y, width, height, PATCOPY);
        return;
    }
    // Row by row: the corner ellipses (radii rx, ry, centred ry in from the top and bottom
    // edges) pull each row in by the ellipse's inset at the row's centre line.
    int first = std::max(y, 0), last = std::min(y + height, pass.height);
    for (int py = first; py < last; ++py) {
        double centre = py + 0.5, into = 0.0;
        if (centre < y + radius_y) into = (y + radius_y) - centre;
        else if (centre > y + height - radius_y) into = centre - (y + height - radius_y);
        double inset = 0.0;
        if (into > 0.0) {
            double t = into / radius_y;
            if (t > 1.0) continue;
            inset = radius_x - radius_x * std::sqrt(1.0 - t * t);
        }
        FillSpan(py, (int)std::ceil(x + inset - 0.5), (int)std::floor(x + width - inset - 0.5));
    }
}

void FillDisc(int x, int y, int radius, Colour colour) {
    if (!Open() || radius < 0) return;
    // Every pixel with (px - x)^2 + (py - y)^2 <= r^2, one span a row.
    SetDCBrushColor(pass.dc, colour);
    long long r2 = (long long)radius * radius;
    int half = radius;
    for (int dy = 0; dy <= radius; ++dy) {
        long long rest = r2 - (long long)dy * dy;
        while ((long long)half * half > rest) --half;
        FillSpan(y + dy, x - half, x + half);
        if (dy != 0) FillSpan(y - dy, x - half, x + half);
    }
}

void DrawLineBetween(int x1, int y1, int x2, int y2, Colour colour) {
    if (!Open()) return;
    // LineTo breaks ties its own way and leaves out the last pixel, so the line is laid
    // down here: Bresenham's pixels, both ends included, each straight run in one PatBlt
    // (a few per segment for the scope trace, not one call a pixel).
    SetDCBrushColor(pass.dc, colour);
    int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
    int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    int err = dx + dy;
    bool along_x = dx >= -dy;
    int run_x = x1, run_y = y1;   // first pixel of the current run
    for (;;) {
        int x = x1, y = y1;
        bool last = x1 == x2 && y1 == y2;
        if (!last) {
            int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x1 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y1 += sy;
            }
        }
        // The run ends at (x, y) when the next pixel leaves its row (or column).
        if (last || (along_x ? y1 != y : x1 != x)) {
            int left = std::min(run_x, x), top = std::min(run_y, y);
            PatBlt(pass.dc, left, top, std::abs(x - run_x) + 1, std::abs(y - run_y) + 1, PATCOPY);
            run_x = x1;
            run_y = y1;
        }
        if (last) break;
    }
}

void DrawExtentLine(int x, int y, int width, int height) {
    if (!Open() || width == 0 || height == 0) return;
    DrawLineBetween(x, y, x + width - 1, y + height - 1, pass.front);
}

// ---------------------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------------------

void UseFont(FontRef font) {
    if (!Open()) return;
    HFONT hfont = reinterpret_cast<HFONT>(font);
    pass.font = hfont ? hfont : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SelectObject(pass.dc, pass.font);
}

void DrawTextAt(int x, int y, const char* text, Colour colour) {
    if (!Open() || !text) return;
    PutText(x, y, text, colour & 0x00FFFFFFu);
}

void DrawTextInFront(int x, int y, const char* text) {
    if (!Open() || !text) return;
    PutText(x, y, text, pass.front);
}

void DrawRotatedText(int x, int y, const char* text, double degrees, Colour colour) {
    if (!Open() || !text) return;
    // A copy of the current font turned by the angle (in tenths of a degree), just for this.
    LOGFONTA description;
    if (!GetObjectA(pass.font, sizeof(description), &description)) return;
    description.lfEscapement = description.lfOrientation = static_cast<LONG>(std::lround(degrees * 10.0));
    HFONT turned = CreateFontIndirectA(&description);
    if (!turned) return;
    SelectObject(pass.dc, turned);
    PutText(x, y, text, colour & 0x00FFFFFFu);
    SelectObject(pass.dc, pass.font);
    DeleteObject(turned);
}

int TextWidth(const char* text) {
    SIZE size = {};
    if (!Open() || !text || !GetTextExtentPoint32A(pass.dc, text, lstrlenA(text), &size)) return 0;
    return size.cx;
}

int TextHeight(const char* text) {
    SIZE size = {};
    if (!Open() || !text || !GetTextExtentPoint32A(pass.dc, text, lstrlenA(text), &size)) return 0;
    return size.cy;
}

// ---------------------------------------------------------------------------------------
// Pixels and images
// ---------------------------------------------------------------------------------------

void FloodFillTo(int x, int y, Colour border, Colour fill) {
    if (!Open()) return;
    SetDCBrushColor(pass.dc, fill);
    ExtFloodFill(pass.dc, x, y, border & 0x00FFFFFFu, FLOODFILLBORDER);
}

Colour ReadPixel(int x, int y) {
    if (!Open()) return CLR_INVALID;
    COLORREF colour = GetPixel(pass.dc, x, y);
    return colour == CLR_INVALID ? CLR_INVALID : (colour & 0x00FFFFFFu);
}

void WritePixel(int x, int y, Colour colour) {
    if (Open()) SetPixelV(pass.dc, x, y, colour & 0x00FFFFFFu);
}

static void DrawImage(ImageRef image, int x, int y, bool with_alpha) {
    if (!Open() || !image || image == pass.image) return;
    HDC source = CreateCompatibleDC(pass.dc);
    HGDIOBJ old = SelectObject(source, image->bitmap);
    if (with_alpha && image->depth == 32) {
        // The image's colours count as premultiplied by its alpha; our opaque ones are.
        BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(pass.dc, x, y, image->width, image->height, source, 0, 0, image->width, image->height, blend);
    } else {
        BitBlt(pass.dc, x, y, image->width, image->height, source, 0, 0, SRCCOPY);
    }
    SelectObject(source, old);
    DeleteDC(source);
}

void DrawImagePlain(ImageRef image, int x, int y) {
    DrawImage(image, x, y, false);
}

void DrawImageAlpha(ImageRef image, int x, int y) {
    DrawImage(image, x, y, true);
}
