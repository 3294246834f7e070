// Drawing context of the portable core: one pass at a time on a window, a canvas or an
// image, each operation mapped to the software raster and text; fonts and images. Only what
// a pass changed is shown at its end.
#include <algorithm>
#include <cmath>

#include "platform/portable/core.h"
#include "platform/portable/text.h"

namespace {

enum class Target { NONE, WINDOW, CANVAS, IMAGE };

struct DrawingPass {
    Target target = Target::NONE;
    PlatformWindow* window = nullptr;  // the top level or the canvas
    PlatformImage* image = nullptr;
    Surface surface;
    Colour front = MakeColour(255, 255, 255);
    Colour back = MakeColour(0, 0, 0);
    int mode = DRAWMODE_DEFAULT;
    int gradient_x1 = 0, gradient_y1 = 0, gradient_x2 = 0, gradient_y2 = 0;
    TextFont* font = nullptr;
    DirtyRects dirty;
};

DrawingPass g_pass;

bool Open() { return g_pass.target != Target::NONE; }

void Mark(int left, int top, int right, int bottom) {
    if (g_pass.target == Target::IMAGE) return;  // images are shown only through their controls
    RectI r = RectIntersect(RectI{left, top, right, bottom}, RectI{0, 0, g_pass.surface.width, g_pass.surface.height});
    if (!RectEmpty(r)) g_pass.dirty.Add(r);
}

void MarkAll() { Mark(0, 0, g_pass.surface.width, g_pass.surface.height); }

void StartPass(Target target, PlatformWindow* window, PlatformImage* image, Surface surface) {
    if (Open()) EndDrawing();
    g_pass = DrawingPass{};
    g_pass.target = target;
    g_pass.window = window;
    g_pass.image = image;
    g_pass.surface = surface;
    g_pass.font = DefaultGuiFont();
}

int64_t Area(const RectI& r) { return RectEmpty(r) ? 0 : (int64_t)(r.right - r.left) * (r.bottom - r.top); }

bool TouchOrOverlap(const RectI& a, const RectI& b) {
    return a.left <= b.right && b.left <= a.right && a.top <= b.bottom && b.top <= a.bottom;
}

// Rounded half away from zero, as MulDiv.
int MulDivRound(int a, int b, int c) {
    int64_t n = (int64_t)a * b;
    if (c == 0) return -1;
    if (c < 0) {
        n = -n;
        c = -c;
    }
    return (int)(n >= 0 ? (n + c / 2) / c : -((-n + c / 2) / c));
}

}  // namespace

void DirtyRects::Add(RectI r) {
    if (RectEmpty(r)) return;
    // Merge with whatever it touches, repeatedly, so the pieces never overlap.
    bool merged = true;
    while (merged) {
        merged = false;
        for (int i = 0; i < count; ++i) {
            if (TouchOrOverlap(rects[i], r)) {
                r = RectUnion(rects[i], r);
                rects[i] = rects[--count];
                merged = true;
                break;
            }
        }
    }
    if (count < MAX) {
        rects[count++] = r;
        return;
    }
    // Full: fold it into the piece whose bounding box grows the least.
    int best = 0;
    int64_t best_growth = INT64_MAX;
    for (int i = 0; i < count; ++i) {
        int64_t growth = Area(RectUnion(rects[i], r)) - Area(rects[i]);
        if (growth < best_growth) {
            best_growth = growth;
            best = i;
        }
    }
    RectI grown = RectUnion(rects[best], r);
    rects[best] = rects[--count];
    Add(grown);
}

void ForgetDrawingTarget(PlatformWindow* window, PlatformImage* image) {
    if (!Open()) return;
    if ((window && g_pass.window == window) || (image && g_pass.image == image)) g_pass = DrawingPass{};
}

void ResetDrawing() { g_pass = DrawingPass{}; }

// ---------------------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------------------

bool BeginDrawingWindow(WindowRef window) {
    if (!IsLiveWindow(window) || window->parent) return false;
    StartPass(Target::WINDOW, window, nullptr, ContentSurface(window));
    return true;
}

bool BeginDrawingCanvas(WindowRef canvas) {
    if (!IsLiveWindow(canvas) || canvas->kind != WindowKind::CANVAS) return false;
    StartPass(Target::CANVAS, canvas, nullptr,
              Surface{canvas->backing_width, canvas->backing_height, canvas->backing_width, canvas->backing.data()});
    return true;
}

bool BeginDrawingImage(ImageRef image) {
    if (!image) return false;
    StartPass(Target::IMAGE, nullptr, image, image->View());
    return true;
}

void EndDrawing() {
    if (!Open()) return;
    DrawingPass pass = g_pass;
    g_pass = DrawingPass{};
    for (int i = 0; i < pass.dirty.count; ++i) {
        if (pass.target == Target::WINDOW) SurfaceChanged(pass.window, pass.dirty.rects[i]);
        else if (pass.target == Target::CANVAS) ComposeCanvas(pass.window, pass.dirty.rects[i]);
    }
}

bool IsDrawing() { return Open(); }
int DrawingWidth() { return Open() ? g_pass.surface.width : 0; }
int DrawingHeight() { return Open() ? g_pass.surface.height : 0; }

void SetDrawingMode(int mode) {
    if (Open()) g_pass.mode = mode;
}
void SetFrontColour(Colour colour) {
    if (Open()) g_pass.front = colour & 0x00FFFFFFu;
}
void SetBackColour(Colour colour) {
    if (Open()) g_pass.back = colour & 0x00FFFFFFu;
}
void SetLinearGradient(int x1, int y1, int x2, int y2) {
    if (!Open()) return;
    g_pass.gradient_x1 = x1;
    g_pass.gradient_y1 = y1;
    g_pass.gradient_x2 = x2;
    g_pass.gradient_y2 = y2;
}

// ---------------------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------------------

void FillBox(int x, int y, int width, int height, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    if (g_pass.mode == DRAWMODE_GRADIENT) {
        Gradient gradient{g_pass.gradient_x1, g_pass.gradient_y1, g_pass.gradient_x2, g_pass.gradient_y2,
                          g_pass.front, g_pass.back};
        RasterFillGradientBox(g_pass.surface, x, y, width, height, gradient);
    } else {
        RasterFillBox(g_pass.surface, x, y, width, height, colour);
    }
    Mark(x, y, x + width, y + height);
}

void FillRoundBox(int x, int y, int width, int height, int radius_x, int radius_y, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    RasterFillRoundBox(g_pass.surface, x, y, width, height, radius_x, radius_y, colour);
    Mark(x, y, x + width, y + height);
}

void DrawLineBetween(int x1, int y1, int x2, int y2, Colour colour) {
    if (!Open()) return;
    RasterLine(g_pass.surface, x1, y1, x2, y2, colour);
    Mark(std::min(x1, x2), std::min(y1, y2), std::max(x1, x2) + 1, std::max(y1, y2) + 1);
}

void DrawExtentLine(int x, int y, int width, int height) {
    if (!Open() || width == 0 || height == 0) return;
    DrawLineBetween(x, y, x + width - 1, y + height - 1, g_pass.front);
}

void FillDisc(int x, int y, int radius, Colour colour) {
    if (!Open() || radius < 0) return;
    RasterDisc(g_pass.surface, x, y, radius, colour);
    Mark(x - radius, y - radius, x + radius + 1, y + radius + 1);
}

void UseFont(FontRef font) {
    if (Open()) g_pass.font = font && font->text ? font->text : DefaultGuiFont();
}

namespace {
void DrawTextPass(int x, int y, const char* text, double degrees, Colour colour) {
    if (!Open() || !g_pass.font || !text) return;
    bool background = g_pass.mode == DRAWMODE_DEFAULT;
    DrawTextOnSurface(g_pass.surface, g_pass.font, x, y, text, degrees, colour, background, g_pass.back);
    int width = MeasureTextWidth(g_pass.font, text);
    int height = FontLineHeight(g_pass.font);
    const int margin = 3;  // glyphs may overhang their cell a little
    if (degrees == 0.0) {
        Mark(x - margin, y - margin, x + width + margin, y + height + margin);
        return;
    }
    double a = degrees * 3.14159265358979323846 / 180.0;
    double c = std::cos(a), s = std::sin(a);
    // Corners of the cell rotated counter-clockwise about (x, y), y pointing down.
    double xs[4], ys[4];
    const double cx[4] = {0, (double)width, 0, (double)width}, cy[4] = {0, 0, (double)height, (double)height};
    for (int i = 0; i < 4; ++i) {
        xs[i] = x + cx[i] * c + cy[i] * s;
        ys[i] = y - cx[i] * s + cy[i] * c;
    }
    Mark((int)std::floor(*std::min_element(xs, xs + 4)) - margin, (int)std::floor(*std::min_element(ys, ys + 4)) - margin,
         (int)std::ceil(*std::max_element(xs, xs + 4)) + margin, (int)std::ceil(*std::max_element(ys, ys + 4)) + margin);
}
}  // namespace

void DrawTextAt(int x, int y, const char* text, Colour colour) { DrawTextPass(x, y, text, 0.0, colour & 0x00FFFFFFu); }

void DrawTextInFront(int x, int y, const char* text) { DrawTextPass(x, y, text, 0.0, g_pass.front); }

void DrawRotatedText(int x, int y, const char* text, double degrees, Colour colour) {
    DrawTextPass(x, y, text, degrees, colour & 0x00FFFFFFu);
}

int TextWidth(const char* text) {
    if (!Open() || !g_pass.font || !text) return 0;
    return MeasureTextWidth(g_pass.font, text);
}

int TextHeight(const char* text) {
    if (!Open() || !g_pass.font) return 0;
    return FontLineHeight(g_pass.font);
}

void FloodFillTo(int x, int y, Colour border, Colour fill) {
    if (!Open()) return;
    RasterFloodFill(g_pass.surface, x, y, border & 0x00FFFFFFu, fill & 0x00FFFFFFu);
    MarkAll();
}

Colour ReadPixel(int x, int y) {
    const Surface& s = g_pass.surface;
    if (!Open() || x < 0 || y < 0 || x >= s.width || y >= s.height) return 0xFFFFFFFFu;  // CLR_INVALID
    return ToColour(s.pixels[(size_t)y * s.stride + x]);
}

void WritePixel(int x, int y, Colour colour) {
    Surface& s = g_pass.surface;
    if (!Open() || x < 0 || y < 0 || x >= s.width || y >= s.height) return;
    s.pixels[(size_t)y * s.stride + x] = ToPixel(colour);
    Mark(x, y, x + 1, y + 1);
}

void DrawImagePlain(ImageRef image, int x, int y) {
    if (!Open() || !image) return;
    RasterBlit(g_pass.surface, image->View(), x, y);
    Mark(x, y, x + image->width, y + image->height);
}

void DrawImageAlpha(ImageRef image, int x, int y) {
    if (!Open() || !image) return;
    if (image->depth == 32) RasterBlitAlpha(g_pass.surface, image->View(), x, y);
    else RasterBlit(g_pass.surface, image->View(), x, y);
    Mark(x, y, x + image->width, y + image->height);
}

// ---------------------------------------------------------------------------------------
// Fonts and images
// ---------------------------------------------------------------------------------------

FontRef MakeFont(const char* face, int points, int weight) {
    if (!face || CoreCreationFails(CORE_CREATE_FONT)) return nullptr;
    int pixels = MulDivRound(points, BackendDpi(), 72);
    if (pixels < 0) pixels = -pixels;
    TextFont* text = OpenTextFont(face, pixels, weight);
    if (!text) return nullptr;
    PlatformFont* font = new PlatformFont;
    font->text = text;
    return font;
}

void ReleaseFont(FontRef font) {
    if (!font) return;
    if (Open() && g_pass.font == font->text) g_pass.font = DefaultGuiFont();
    CloseTextFont(font->text);
    delete font;
}

ImageRef CreateImage(int width, int height, int depth) {
    if (width <= 0 || height <= 0 || (depth != 24 && depth != 32)) return nullptr;
    if (CoreCreationFails(CORE_CREATE_IMAGE)) return nullptr;
    PlatformImage* image = new PlatformImage;
    image->width = width;
    image->height = height;
    image->depth = depth;
    image->pixels.assign((size_t)width * height, OPAQUE);  // black; opaque for a 32-bit image
    return image;
}

void ReleaseImage(ImageRef image) {
    if (!image) return;
    ForgetDrawingTarget(nullptr, image);
    ForgetImageInControls(image);
    delete image;
}

int ImageWidth(ImageRef image) { return image ? image->width : 0; }
int ImageHeight(ImageRef image) { return image ? image->height : 0; }
