// Fonts, images, window back buffers and the drawing pass: MakeFont ... ImageHeight,
// BeginDrawingWindow ... DrawImageAlpha. Every shape is laid down by the shared raster
// straight into the memory of 32-bit DIB sections (a window's back buffer, a canvas's
// backing, an image), so these pixels are the portable backend's by construction. GDI renders
// text (once for each label on each background, then kept) and copies what a pass changed
// to the screen, one BitBlt a changed area.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/win32/backend.h"

uint64_t gdi_calls = 0;

uint64_t GdiCallCount() {
    return gdi_calls;
}

namespace {

// GDI may batch drawing calls; memory it may still be working on is flushed before the
// raster touches it again.
bool gdi_pending = false;

enum TargetKind { TARGET_NONE, TARGET_WINDOW, TARGET_CANVAS, TARGET_IMAGE };

bool RectEmpty(const RECT& r) {
    return r.left >= r.right || r.top >= r.bottom;
}

RECT RectMeet(const RECT& a, const RECT& b) {
    return RECT{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                std::min(a.bottom, b.bottom)};
}


// What a pass changed: a few rectangles, each copied to the screen with one BitBlt when the
// pass ends. Pieces that touch are joined (so they never overlap) unless JOIN is false; then
// a piece is only dropped when it lies inside another.
template <int MAX, bool JOIN = true>
using DirtyList = DirtyRectList<RECT, MAX, JOIN>;

// What a visible child paints over its parent (a sunken frame only its edge).
struct ChildArea {
    RECT area;               // in the parent's client coordinates, program pixels it touches
    PlatformImage* canvas;   // the child's backing, when it is a canvas
    RECT screen;             // in the parent's client coordinates on the screen
};

// Bumped whenever a window is made, moved, sized, shown, hidden or destroyed through us, so
// what the children of a window cover is looked up again only then.
uint64_t layout_generation = 1;

// The one open drawing pass.
struct DrawingPass {
    TargetKind kind = TARGET_NONE;
    HWND window = nullptr;           // window or canvas
    PlatformImage* image = nullptr;  // back buffer, canvas backing or image
    Surface surface;
    HFONT font = nullptr;
    int mode = DRAWMODE_DEFAULT;
    Colour front = 0;
    Colour back = 0;
    int gradient_x1 = 0, gradient_y1 = 0, gradient_x2 = 0, gradient_y2 = 0;
    DirtyList<6> dirty;
    RECT pixel_box = {0, 0, 0, 0};   // single pixels written, as one box
    // Window passes: what the visible children paint over the window (a sunken frame only
    // its edge), and the parts of those that this pass drew over. These are never joined
    // into a bigger piece, which would copy the back buffer over children's pixels that
    // the pass did not draw: when the list is full it is shown at once.
    std::vector<ChildArea> children;
    DirtyList<16, false> over_children;
};
DrawingPass pass;

HFONT stock_font = nullptr;

HFONT DefaultFont() {
    if (!stock_font) stock_font = DrawingGuiFont();
    return stock_font;
}

bool Open() {
    return pass.kind != TARGET_NONE;
}

void StartPass(TargetKind kind, HWND window, PlatformImage* image) {
    pass = DrawingPass();
    pass.kind = kind;
    pass.window = window;
    pass.image = image;
    // What a window or canvas pass draws is stamped, so that only the tiles it changed are
    // compared with the screen when it ends.
    if (image && kind != TARGET_IMAGE && image->depth == 32 && !image->Tracked())
        ResizeChangeMap(image->changes, image->width, image->height);
    if (image) pass.surface = image->View();
    pass.front = MakeColour(255, 255, 255);
    pass.back = MakeColour(0, 0, 0);
    pass.mode = DRAWMODE_DEFAULT;
    pass.font = DefaultFont();
}

// Copies the pieces of children's areas that the pass drew over to the screen, over the
// children.
void PresentOverChildren() {
    if (!pass.over_children.count || !pass.image) return;
    HDC dc = GDI_CALL(GetDC(pass.window));
    if (dc) {
        for (int i = 0; i < pass.over_children.count; ++i) CopyToScreen(dc, pass.image, pass.over_children.rects[i]);
        GDI_CALL(ReleaseDC(pass.window, dc));
    }
    pass.over_children.count = 0;
    gdi_pending = true;
}

// Records that (left, top) .. (right, bottom) exclusive may have changed.
void Mark(long long left, long long top, long long right, long long bottom) {
    if (pass.kind == TARGET_IMAGE) return;   // images are shown only through their controls
    RECT r{(LONG)std::max(left, 0LL), (LONG)std::max(top, 0LL), (LONG)std::min(right, (long long)pass.surface.width),
           (LONG)std::min(bottom, (long long)pass.surface.height)};
    if (RectEmpty(r)) return;
    pass.dirty.Add(r);
    for (const ChildArea& child : pass.children) {
        RECT over = RectMeet(r, child.area);
        if (RectEmpty(over)) continue;
        if (pass.over_children.count == 16) PresentOverChildren();
        pass.over_children.Add(over);
        // The canvas no longer shows what it last copied to the screen there.
        if (child.canvas) child.canvas->shown_valid = false;
    }
}

// The areas the visible children of `window` paint themselves, in its client coordinates.
std::vector<ChildArea> PaintedByChildren(HWND window) {
    std::vector<ChildArea> areas;
    auto add = [&areas](const RECT& screen, PlatformImage* canvas) {
        areas.push_back({ProgramRect(screen), canvas, screen});
    };
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT outer;
        if (!IsWindowVisible(child) || !GetWindowRect(child, &outer)) continue;
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&outer), 2);
        if (!IsSunkenFrame(child)) {
            add(outer, CanvasImage(child));
            continue;
        }
        RECT inner;
        GetClientRect(child, &inner);
        MapWindowPoints(child, window, reinterpret_cast<POINT*>(&inner), 2);
        add(RECT{outer.left, outer.top, outer.right, inner.top}, nullptr);
        add(RECT{outer.left, inner.bottom, outer.right, outer.bottom}, nullptr);
        add(RECT{outer.left, inner.top, inner.left, inner.bottom}, nullptr);
        add(RECT{inner.right, inner.top, outer.right, inner.bottom}, nullptr);
    }
    return areas;
}

// The part of `r` whose pixels differ from what the screen was last given, which is brought
// up to date; empty when nothing changed. A needle that did not move, a label drawn again
// on the same background, a bar at the same level: none of it goes to the screen again.
RECT ChangedPart(PlatformImage* image, const RECT& r) {
    const int w = image->width;
    const uint32_t* now = reinterpret_cast<const uint32_t*>(image->bits);
    uint32_t* shown = image->shown.data();
    RECT box{r.right, r.bottom, r.left, r.top};
    const int n = r.right - r.left;
    for (int y = r.top; y < r.bottom; ++y) {
        const uint32_t* a = now + (size_t)y * w + r.left;
        uint32_t* b = shown + (size_t)y * w + r.left;
        if (std::memcmp(a, b, (size_t)n * 4) == 0) continue;
        int first = 0, last = n - 1;
        while (a[first] == b[first]) ++first;
        while (a[last] == b[last]) --last;
        std::memcpy(b + first, a + first, (size_t)(last - first + 1) * 4);
        box.left = std::min<LONG>(box.left, r.left + first);
        box.right = std::max<LONG>(box.right, r.left + last + 1);
        box.top = std::min<LONG>(box.top, y);
        box.bottom = y + 1;
    }
    return box;
}

void MarkAll() {
    Mark(0, 0, pass.surface.width, pass.surface.height);
}

// Copies what the pass changed so far to the screen.
void PresentPass() {
    if (pass.kind != TARGET_WINDOW && pass.kind != TARGET_CANVAS) return;
    if (!RectEmpty(pass.pixel_box)) {
        RECT box = pass.pixel_box;
        pass.pixel_box = RECT{0, 0, 0, 0};
        Mark(box.left, box.top, box.right, box.bottom);
    }
    PlatformImage* image = pass.image;
    if (!image || pass.dirty.count == 0) {
        PresentOverChildren();
        return;
    }
    RECT parts[DirtyList<6>::MAX_PARTS];
    int count = 0;
    const size_t pixels = (size_t)image->width * image->height;
    if (!image->shown_valid || image->shown.size() != pixels) {
        // Nothing known of what the screen shows: all of it, once.
        const uint32_t* now = reinterpret_cast<const uint32_t*>(image->bits);
        image->shown.assign(now, now + pixels);
        image->shown_valid = true;
        parts[count++] = RECT{0, 0, image->width, image->height};
    } else {
        for (int i = 0; i < pass.dirty.count; ++i) {
            RECT area = pass.dirty.rects[i];
            if (image->Tracked()) {
                // Only the tiles stamped since the screen was last given this image's pixels.
                const RectI box =
                    ChangedBox(image->changes, RectI{area.left, area.top, area.right, area.bottom}, image->shown_stamp);
                if (box.right <= box.left) continue;
                area = RECT{box.left, box.top, box.right, box.bottom};
            }
            RECT changed = ChangedPart(image, area);
            if (!RectEmpty(changed)) parts[count++] = changed;
        }
    }
    image->shown_stamp = ChangeStampNow();
    pass.dirty.count = 0;
    if (!count && !pass.over_children.count) return;
    HDC dc = GDI_CALL(GetDC(pass.window));
    if (!dc) return;
    if (count) {
        // What the children paint stays theirs, but where this pass drew over it (below): a
        // window's drawing lands on its children, as GDI's on a window that does not clip them.
        for (const ChildArea& child : pass.children) {
            bool under = false;
            for (int i = 0; i < count && !under; ++i) under = !RectEmpty(RectMeet(parts[i], child.area));
            if (under)
                GDI_CALL(ExcludeClipRect(dc, child.screen.left, child.screen.top, child.screen.right,
                                         child.screen.bottom));
        }
        for (int i = 0; i < count; ++i) CopyToScreen(dc, image, parts[i]);
    }
    if (pass.over_children.count) {
        if (count) GDI_CALL(SelectClipRgn(dc, nullptr));
        for (int i = 0; i < pass.over_children.count; ++i) CopyToScreen(dc, image, pass.over_children.rects[i]);
        pass.over_children.count = 0;
    }
    GDI_CALL(ReleaseDC(pass.window, dc));
    gdi_pending = true;
}

// ---------------------------------------------------------------------------------------
// Text. GDI renders it into a scratch section over a copy of the pixels it lands on; the
// result is kept with those pixels, so the same label drawn again on the same background
// (every tick, for the level bars' labels) is a copy, with no trip through GDI.
// ---------------------------------------------------------------------------------------

struct TextRenderer {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    HGDIOBJ old_font = nullptr;
    uint32_t* bits = nullptr;
    int width = 0, height = 0;
    HFONT font = nullptr;                 // selected now
    COLORREF text_colour = CLR_INVALID;   // as set on the DC now
    COLORREF back_colour = CLR_INVALID;
    int back_mode = 0;
};
TextRenderer renderer;

struct KeptText {
    std::string key;                 // font, text, colours, mode, angle and the box's place
    std::vector<uint32_t> before;    // the pixels the text was drawn over
    std::vector<uint32_t> after;     // and what GDI made of them
};
std::unordered_multimap<uint64_t, KeptText> kept_texts;
constexpr size_t KEPT_TEXTS_MAX = 256;
std::unordered_map<std::string, SIZE> text_extents;

uint64_t Hash(const void* data, size_t bytes, uint64_t h = 1469598103934665603ull) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < bytes; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

std::string FontKey(HFONT font) {
    return std::string(reinterpret_cast<const char*>(&font), sizeof(font));
}

bool RendererReady(int width, int height) {
    if (!renderer.dc) {
        renderer.dc = GDI_CALL(CreateCompatibleDC(nullptr));
        if (!renderer.dc) return false;
        GDI_CALL(SetTextAlign(renderer.dc, TA_LEFT | TA_TOP | TA_NOUPDATECP));
    }
    if (width <= renderer.width && height <= renderer.height) return true;
    int w = std::max(width, renderer.width), h = std::max(height, renderer.height);
    void* bits = nullptr;
    HBITMAP bitmap = NewTopDownBitmap(w, h, 32, &bits);
    if (!bitmap) return false;
    HGDIOBJ previous = GDI_CALL(SelectObject(renderer.dc, bitmap));
    if (renderer.bitmap) GDI_CALL(DeleteObject(renderer.bitmap));
    else renderer.old_bitmap = previous;
    renderer.bitmap = bitmap;
    renderer.bits = static_cast<uint32_t*>(bits);
    renderer.width = w;
    renderer.height = h;
    return true;
}

void RendererFont(HFONT font) {
    if (renderer.font == font) return;
    HGDIOBJ previous = GDI_CALL(SelectObject(renderer.dc, font));
    if (!renderer.font) renderer.old_font = previous;
    renderer.font = font;
}

SIZE TextExtent(HFONT font, const char* text) {
    std::string key = FontKey(font) + text;
    auto found = text_extents.find(key);
    if (found != text_extents.end()) return found->second;
    SIZE size = {0, 0};
    if (!RendererReady(1, 1)) return size;
    RendererFont(font);
    if (!GDI_CALL(GetTextExtentPoint32A(renderer.dc, text, lstrlenA(text), &size))) size = SIZE{0, 0};
    if (text_extents.size() >= KEPT_TEXTS_MAX) text_extents.clear();
    text_extents.emplace(std::move(key), size);
    return size;
}

// Forgets everything kept for a font that is about to go (its handle may come back as
// another font).
void ForgetFontTexts(HFONT font) {
    std::string prefix = FontKey(font);
    for (auto it = kept_texts.begin(); it != kept_texts.end();)
        it = it->second.key.compare(0, prefix.size(), prefix) == 0 ? kept_texts.erase(it) : std::next(it);
    for (auto it = text_extents.begin(); it != text_extents.end();)
        it = it->first.compare(0, prefix.size(), prefix) == 0 ? text_extents.erase(it) : std::next(it);
}

void CopyBox(const Surface& s, const RECT& box, uint32_t* to) {
    const int w = box.right - box.left;
    for (int y = box.top; y < box.bottom; ++y)
        std::memcpy(to + (size_t)(y - box.top) * w, s.pixels + (size_t)y * s.stride + box.left, (size_t)w * 4);
}

// Lays a text's box down; on a surface keeping change stamps, only rows that differ are
// written, and their tiles stamped.
void PasteBox(Surface& s, const RECT& box, const uint32_t* from) {
    const int w = box.right - box.left;
    uint64_t stamp = 0;
    for (int y = box.top; y < box.bottom; ++y) {
        uint32_t* to = s.pixels + (size_t)y * s.stride + box.left;
        const uint32_t* row = from + (size_t)(y - box.top) * w;
        if (s.changes && std::memcmp(to, row, (size_t)w * 4) == 0) continue;
        std::memcpy(to, row, (size_t)w * 4);
        if (!s.changes) continue;
        if (!stamp) stamp = NextChangeStamp();
        MarkRectChanged(*s.changes, RectI{box.left, y, box.right, y + 1}, stamp);
    }
}

// GDI draws `text` with its top-left corner at (x, y) of `before`, a box of the surface seen
// from `box`'s corner; the result comes back in `after`, opaque.
bool RenderText(const RECT& box, int x, int y, const char* text, int tenths, Colour colour, bool opaque,
                const std::vector<uint32_t>& before, std::vector<uint32_t>& after) {
    const int w = box.right - box.left, h = box.bottom - box.top;
    if (!RendererReady(w, h)) return false;
    for (int row = 0; row < h; ++row)
        std::memcpy(renderer.bits + (size_t)row * renderer.width, before.data() + (size_t)row * w, (size_t)w * 4);
    HFONT turned = nullptr;
    if (tenths != 0) {
        // A copy of the font turned by the angle, just for this.
        LOGFONTA description;
        if (!GDI_CALL(GetObjectA(pass.font, sizeof(description), &description))) return false;
        description.lfEscapement = description.lfOrientation = tenths;
        turned = GDI_CALL(CreateFontIndirectA(&description));
        if (!turned) return false;
    }
    RendererFont(turned ? turned : pass.font);
    if (renderer.text_colour != colour) {
        GDI_CALL(SetTextColor(renderer.dc, colour));
        renderer.text_colour = colour;
    }
    int mode = opaque ? OPAQUE : TRANSPARENT;
    if (renderer.back_mode != mode) {
        GDI_CALL(SetBkMode(renderer.dc, mode));
        renderer.back_mode = mode;
    }
    if (opaque && renderer.back_colour != pass.back) {
        GDI_CALL(SetBkColor(renderer.dc, pass.back));
        renderer.back_colour = pass.back;
    }
    GDI_CALL(TextOutA(renderer.dc, x - box.left, y - box.top, text, lstrlenA(text)));
    GDI_CALL(GdiFlush());
    if (turned) {
        RendererFont(pass.font);
        GDI_CALL(DeleteObject(turned));
    }
    after.resize((size_t)w * h);
    // GDI leaves alpha 0 wherever it draws; all of our pixels are opaque.
    for (int row = 0; row < h; ++row) {
        const uint32_t* from = renderer.bits + (size_t)row * renderer.width;
        uint32_t* to = after.data() + (size_t)row * w;
        for (int i = 0; i < w; ++i) to[i] = from[i] | PIXEL_OPAQUE;
    }
    return true;
}

void DrawTextPass(int x, int y, const char* text, double degrees, Colour colour) {
    if (!Open() || !text || !pass.image) return;
    const int tenths = static_cast<int>(std::lround(degrees * 10.0));
    const bool opaque = pass.mode == DRAWMODE_DEFAULT;
    SIZE size = TextExtent(pass.font, text);
    // The box the text can touch: its cell, turned about (x, y) when turned, with a margin
    // for glyphs that overhang the cell.
    const int margin = std::max(4, (int)size.cy / 3);
    double left = x, top = y, right = x + size.cx, bottom = y + size.cy;
    if (tenths != 0) {
        double a = tenths * 3.14159265358979323846 / 1800.0, c = std::cos(a), s = std::sin(a);
        const double cx[4] = {0, (double)size.cx, 0, (double)size.cx};
        const double cy[4] = {0, 0, (double)size.cy, (double)size.cy};
        left = right = x;
        top = bottom = y;
        for (int i = 0; i < 4; ++i) {
            double px = x + cx[i] * c + cy[i] * s, py = y - cx[i] * s + cy[i] * c;
            left = std::min(left, px);
            right = std::max(right, px);
            top = std::min(top, py);
            bottom = std::max(bottom, py);
        }
    }
    RECT whole{(LONG)std::floor(left) - margin, (LONG)std::floor(top) - margin, (LONG)std::ceil(right) + margin,
               (LONG)std::ceil(bottom) + margin};
    RECT box = RectMeet(whole, RECT{0, 0, pass.surface.width, pass.surface.height});
    if (RectEmpty(box)) return;
    const int w = box.right - box.left, h = box.bottom - box.top;

    std::vector<uint32_t> before((size_t)w * h);
    CopyBox(pass.surface, box, before.data());
    struct {
        Colour colour, back;
        int opaque, tenths, dx, dy, w, h;
    } params = {colour, opaque ? pass.back : 0, opaque, tenths, (int)(box.left - x), (int)(box.top - y), w, h};
    std::string key = FontKey(pass.font);
    key.append(reinterpret_cast<const char*>(&params), sizeof(params));
    key += text;
    uint64_t hash = Hash(key.data(), key.size());
    for (uint32_t pixel : before) hash = (hash ^ pixel) * 1099511628211ull;

    auto range = kept_texts.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.key == key && it->second.before == before) {
            PasteBox(pass.surface, box, it->second.after.data());
            Mark(box.left, box.top, box.right, box.bottom);
            return;
        }
    }
    KeptText kept;
    if (!RenderText(box, x, y, text, tenths, colour, opaque, before, kept.after)) return;
    PasteBox(pass.surface, box, kept.after.data());
    Mark(box.left, box.top, box.right, box.bottom);
    if (kept_texts.size() >= KEPT_TEXTS_MAX) kept_texts.clear();
    kept.key = std::move(key);
    kept.before = std::move(before);
    kept_texts.emplace(hash, std::move(kept));
}

// ---------------------------------------------------------------------------------------
// Window back buffers
// ---------------------------------------------------------------------------------------

struct BackBuffer {
    HWND window = nullptr;
    PlatformImage* image = nullptr;
    COLORREF background = 0;
    uint64_t children_generation = 0;   // layout_generation when `children` was looked up
    std::vector<ChildArea> children;
};
std::vector<BackBuffer> back_buffers;

BackBuffer* FindBackBuffer(HWND window) {
    for (BackBuffer& b : back_buffers)
        if (b.window == window) return &b;
    return nullptr;
}

// The colour the window's class erases its background with.
COLORREF ClassBackground(HWND window) {
    LONG_PTR brush = GetClassLongPtrA(window, GCLP_HBRBACKGROUND);
    if (brush > 0 && brush <= 64) return GetSysColor((int)brush - 1);   // COLOR_... + 1
    LOGBRUSH description;
    if (brush && GDI_CALL(GetObjectA(reinterpret_cast<HBRUSH>(brush), sizeof(description), &description)))
        return description.lbColor;
    return GetSysColor(COLOR_WINDOW);
}

// The window's back buffer at the size of its client area, made or resized as needed; what
// it held stays, new parts are the background colour. Null for an empty client area.
PlatformImage* SizedBackBuffer(HWND window, int width, int height) {
    BackBuffer* found = FindBackBuffer(window);
    if (found && found->image && found->image->width == width && found->image->height == height)
        return found->image;
    if (width <= 0 || height <= 0) return found ? found->image : nullptr;
    PlatformImage* image = NewImage(width, height, 32);
    if (!image) return found ? found->image : nullptr;
    if (!found) {
        back_buffers.push_back(BackBuffer{window, nullptr, ClassBackground(window)});
        found = &back_buffers.back();
    }
    Surface view = image->View();
    RasterFillBox(view, 0, 0, width, height, found->background & 0x00FFFFFFu);
    if (found->image) {
        RasterBlit(view, found->image->View(), 0, 0);
        DeleteImage(found->image);
    }
    found->image = image;
    return image;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Shared with the rest of the backend
// ---------------------------------------------------------------------------------------

void FlushGdiWork() {
    if (gdi_pending) {
        GDI_CALL(GdiFlush());
        gdi_pending = false;
    }
    ScratchFlushed();
}

void NoteGdiWork() {
    gdi_pending = true;
}

void NoteLayoutChange() {
    ++layout_generation;
}

HDC KeptImageDC(PlatformImage* image) {
    if (!image) return nullptr;
    if (!image->dc) {
        image->dc = GDI_CALL(CreateCompatibleDC(nullptr));
        if (image->dc) image->dc_old_bitmap = GDI_CALL(SelectObject(image->dc, image->bitmap));
    }
    return image->dc;
}

void CopyToScreen(HDC dc, PlatformImage* image, const RECT& r) {
    RECT part = RectMeet(r, RECT{0, 0, image->width, image->height});
    if (RectEmpty(part)) return;
    if (DisplayScale() > 1) {
        EnlargeToScreen(dc, image->View(), part);
        return;
    }
    HDC source = KeptImageDC(image);
    if (!source) return;
    GDI_CALL(BitBlt(dc, part.left, part.top, part.right - part.left, part.bottom - part.top, source, part.left,
                    part.top, SRCCOPY));
}

void ShowImageOn(HWND window, PlatformImage* image) {
    // An image may be a control's: it is selected here only for the copy, never kept.
    static HDC source = nullptr;
    if (!source) source = GDI_CALL(CreateCompatibleDC(nullptr));
    if (!source || !image) return;
    HDC dc = GDI_CALL(GetDC(window));
    if (!dc) return;
    if (DisplayScale() > 1) {
        EnlargeToScreen(dc, image->View(), RECT{0, 0, image->width, image->height});
        GDI_CALL(ReleaseDC(window, dc));
        return;
    }
    HGDIOBJ old = GDI_CALL(SelectObject(source, image->bitmap));
    GDI_CALL(BitBlt(dc, 0, 0, image->width, image->height, source, 0, 0, SRCCOPY));
    GDI_CALL(SelectObject(source, old));
    GDI_CALL(ReleaseDC(window, dc));
    gdi_pending = true;
}

void NoteShown(PlatformImage* image, const RECT& r) {
    if (!image || !image->shown_valid || image->depth != 32) return;
    RECT part = RectMeet(r, RECT{0, 0, image->width, image->height});
    if (RectEmpty(part)) return;
    const uint32_t* now = reinterpret_cast<const uint32_t*>(image->bits);
    for (int y = part.top; y < part.bottom; ++y)
        std::memcpy(image->shown.data() + (size_t)y * image->width + part.left,
                    now + (size_t)y * image->width + part.left, (size_t)(part.right - part.left) * 4);
}

bool DrawingOnImage(PlatformImage* image) {
    return Open() && image && pass.image == image;
}

bool HasBackBuffer(HWND window) {
    BackBuffer* found = FindBackBuffer(window);
    return found && found->image;
}

bool PaintFromBackBuffer(HWND window) {
    BackBuffer* found = FindBackBuffer(window);
    if (!found || !found->image) return false;
    PAINTSTRUCT paint;
    HDC dc = GDI_CALL(BeginPaint(window, &paint));
    if (dc) {
        CopyToScreen(dc, found->image, ProgramRect(paint.rcPaint));
        NoteShown(found->image, ProgramRectInside(paint.rcPaint));
        // A client area grown since the last pass shows the background beyond the buffer.
        const RECT buffer = ScreenRect(RECT{0, 0, found->image->width, found->image->height});
        RECT right{buffer.right, 0, paint.rcPaint.right, paint.rcPaint.bottom};
        RECT below{0, buffer.bottom, buffer.right, paint.rcPaint.bottom};
        if (!RectEmpty(RectMeet(right, paint.rcPaint)) || !RectEmpty(RectMeet(below, paint.rcPaint))) {
            HBRUSH brush = GDI_CALL(CreateSolidBrush(found->background));
            RECT r1 = RectMeet(right, paint.rcPaint), r2 = RectMeet(below, paint.rcPaint);
            if (!RectEmpty(r1)) GDI_CALL(FillRect(dc, &r1, brush));
            if (!RectEmpty(r2)) GDI_CALL(FillRect(dc, &r2, brush));
            GDI_CALL(DeleteObject(brush));
        }
    }
    GDI_CALL(EndPaint(window, &paint));
    gdi_pending = true;
    return true;
}

bool EraseFromBackBuffer(HWND window, HDC dc) {
    BackBuffer* found = FindBackBuffer(window);
    if (!found || !found->image || !dc) return false;
    // A transparent child (the flat toolbar) hands its DC over with the origin moved to ours,
    // so the clip box is in our client coordinates.
    RECT box;
    if (GDI_CALL(GetClipBox(dc, &box)) == ERROR) return false;
    FlushGdiWork();
    CopyToScreen(dc, found->image, ProgramRect(box));
    gdi_pending = true;
    return true;
}

void ResetBackBuffer(HWND window, COLORREF colour) {
    RECT client;
    if (!GetClientRect(window, &client)) return;
    client.right /= DisplayScale();
    client.bottom /= DisplayScale();
    if (pass.kind == TARGET_WINDOW && pass.window == window) EndDrawing();
    BackBuffer* found = FindBackBuffer(window);
    if (found) found->background = colour;
    FlushGdiWork();
    PlatformImage* image = SizedBackBuffer(window, client.right, client.bottom);
    found = FindBackBuffer(window);
    if (!found) return;
    found->background = colour;
    if (image) {
        Surface view = image->View();
        RasterFillBox(view, 0, 0, view.width, view.height, colour & 0x00FFFFFFu);
        image->shown_valid = false;
    }
}

void ForgetShownPixels() {
    for (BackBuffer& b : back_buffers)
        if (b.image) b.image->shown_valid = false;
}

void ForgetBackBuffer(HWND window) {
    for (size_t i = 0; i < back_buffers.size();) {
        BackBuffer& b = back_buffers[i];
        if (b.window == window || !IsWindow(b.window)) {
            if (pass.image == b.image) pass = DrawingPass();
            DeleteImage(b.image);
            back_buffers.erase(back_buffers.begin() + i);
        } else {
            ++i;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------------------

// Every image not yet deleted, so a control never paints from one that is gone.
std::unordered_set<PlatformImage*> live_images;

bool ImageAlive(PlatformImage* image) {
    return image && live_images.count(image) != 0;
}

HBITMAP NewTopDownBitmap(int width, int height, int depth, void** bits) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;   // top-down: row 0 first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = static_cast<WORD>(depth);
    info.bmiHeader.biCompression = BI_RGB;
    *bits = nullptr;
    HBITMAP bitmap = GDI_CALL(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0));
    if (bitmap && *bits) return bitmap;
    if (bitmap) GDI_CALL(DeleteObject(bitmap));
    *bits = nullptr;
    return nullptr;
}

PlatformImage* NewImage(int width, int height, int depth) {
    if (width <= 0 || height <= 0 || (depth != 24 && depth != 32)) return nullptr;
    void* bits = nullptr;
    HBITMAP bitmap = NewTopDownBitmap(width, height, depth, &bits);
    if (!bitmap) return nullptr;
    PlatformImage* image = new PlatformImage;
    image->bitmap = bitmap;
    image->bits = static_cast<uint8_t*>(bits);
    image->width = width;
    image->height = height;
    image->depth = depth;
    image->stride = ((width * depth + 31) / 32) * 4;
    if (depth == 24) {
        std::memset(image->bits, 0, (size_t)image->stride * height);
        image->shadow.assign((size_t)width * height, PIXEL_OPAQUE);
    } else {
        std::fill_n(reinterpret_cast<uint32_t*>(image->bits), (size_t)width * height, PIXEL_OPAQUE);
    }
    live_images.insert(image);
    return image;
}

void DeleteImage(PlatformImage* image) {
    if (!image) return;
    live_images.erase(image);
    if (pass.image == image) pass = DrawingPass();
    if (image->dc) {
        GDI_CALL(SelectObject(image->dc, image->dc_old_bitmap));
        GDI_CALL(DeleteDC(image->dc));
    }
    GDI_CALL(DeleteObject(image->bitmap));
    delete image;
}

void SyncImageBits(PlatformImage* image) {
    if (!image || image->depth != 24) return;
    for (int y = 0; y < image->height; ++y) {
        const uint32_t* from = image->shadow.data() + (size_t)y * image->width;
        uint8_t* to = image->bits + (size_t)y * image->stride;
        for (int x = 0; x < image->width; ++x, to += 3) {
            uint32_t p = from[x];
            to[0] = (uint8_t)PixelBlue(p);
            to[1] = (uint8_t)PixelGreen(p);
            to[2] = (uint8_t)PixelRed(p);
        }
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
    // The program draws in its own pixels, 96 to the logical inch, whatever the display
    // reports: each is shown as an N x N block on a display of 96 x N, and at any other dpi
    // the system scales the whole window. Fonts made for the display's own dpi would outgrow
    // the places the program gives its text.
    const int dpi = 96;
    HFONT font = GDI_CALL(CreateFontA(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE,
                                      DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      DEFAULT_PITCH, face ? face : ""));
    return reinterpret_cast<FontRef>(font);
}

void ReleaseFont(FontRef font) {
    HFONT hfont = reinterpret_cast<HFONT>(font);
    if (!hfont) return;
    if (Open() && pass.font == hfont) pass.font = DefaultFont();
    if (renderer.dc && renderer.font == hfont) RendererFont(DefaultFont());
    ForgetFontTexts(hfont);
    GDI_CALL(DeleteObject(hfont));
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
    RECT client;
    if (!GetClientRect(hwnd, &client)) return false;
    client.right /= DisplayScale();
    client.bottom /= DisplayScale();
    FlushGdiWork();
    PlatformImage* buffer = SizedBackBuffer(hwnd, client.right, client.bottom);
    // An empty client area (minimised) opens a pass that draws nothing.
    if (buffer && (buffer->width != client.right || buffer->height != client.bottom)) buffer = nullptr;
    StartPass(TARGET_WINDOW, hwnd, buffer);
    if (BackBuffer* record = FindBackBuffer(hwnd)) {
        if (record->children_generation != layout_generation) {
            record->children = PaintedByChildren(hwnd);
            record->children_generation = layout_generation;
        }
        pass.children = record->children;
    }
    return true;
}

bool BeginDrawingCanvas(WindowRef canvas) {
    HWND hwnd = AsHwnd(canvas);
    EndDrawing();
    PlatformImage* image = CanvasImage(hwnd);
    if (!image) return false;
    FlushGdiWork();
    StartPass(TARGET_CANVAS, hwnd, image);
    return true;
}

bool BeginDrawingImage(ImageRef image) {
    EndDrawing();
    if (!image) return false;
    FlushGdiWork();
    StartPass(TARGET_IMAGE, nullptr, image);
    return true;
}

void EndDrawing() {
    if (!Open()) return;
    PresentPass();
    if (pass.kind == TARGET_IMAGE) SyncImageBits(pass.image);
    pass = DrawingPass();
}

bool IsDrawing() {
    return Open();
}

int DrawingWidth() {
    return Open() ? pass.surface.width : 0;
}

int DrawingHeight() {
    return Open() ? pass.surface.height : 0;
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
        Gradient gradient{pass.gradient_x1, pass.gradient_y1, pass.gradient_x2, pass.gradient_y2, pass.front, pass.back};
        RasterFillGradientBox(pass.surface, x, y, width, height, gradient);
    } else {
        RasterFillBox(pass.surface, x, y, width, height, colour);
    }
    Mark(x, y, (long long)x + width, (long long)y + height);
}

void FillRoundBox(int x, int y, int width, int height, int radius_x, int radius_y, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    RasterFillRoundBox(pass.surface, x, y, width, height, radius_x, radius_y, colour);
    Mark(x, y, (long long)x + width, (long long)y + height);
}

void FillDisc(int x, int y, int radius, Colour colour) {
    if (!Open() || radius < 0) return;
    RasterDisc(pass.surface, x, y, radius, colour);
    Mark((long long)x - radius, (long long)y - radius, (long long)x + radius + 1, (long long)y + radius + 1);
}

void DrawLineBetween(int x1, int y1, int x2, int y2, Colour colour) {
    if (!Open()) return;
    RasterLine(pass.surface, x1, y1, x2, y2, colour);
    Mark(std::min(x1, x2), std::min(y1, y2), (long long)std::max(x1, x2) + 1, (long long)std::max(y1, y2) + 1);
}

void DrawLinesBetween(const PointI* points, int count, Colour colour) {
    if (!points) return;
    for (int i = 0; i + 1 < count; ++i) DrawLineBetween(points[i].x, points[i].y, points[i + 1].x, points[i + 1].y, colour);
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
    pass.font = hfont ? hfont : DefaultFont();
}

void DrawTextAt(int x, int y, const char* text, Colour colour) {
    DrawTextPass(x, y, text, 0.0, colour & 0x00FFFFFFu);
}

void DrawTextInFront(int x, int y, const char* text) {
    DrawTextPass(x, y, text, 0.0, pass.front);
}

void DrawRotatedText(int x, int y, const char* text, double degrees, Colour colour) {
    DrawTextPass(x, y, text, degrees, colour & 0x00FFFFFFu);
}

int TextWidth(const char* text) {
    if (!Open() || !text) return 0;
    return TextExtent(pass.font, text).cx;
}

int TextHeight(const char* text) {
    if (!Open() || !text) return 0;
    return TextExtent(pass.font, text).cy;
}

// ---------------------------------------------------------------------------------------
// Pixels and images
// ---------------------------------------------------------------------------------------

void FloodFillTo(int x, int y, Colour border, Colour fill) {
    if (!Open()) return;
    RasterFloodFill(pass.surface, x, y, border & 0x00FFFFFFu, fill & 0x00FFFFFFu);
    MarkAll();
}

Colour ReadPixel(int x, int y) {
    const Surface& s = pass.surface;
    if (!Open() || x < 0 || y < 0 || x >= s.width || y >= s.height) return CLR_INVALID;
    if (pass.kind == TARGET_WINDOW) {
        // Children are painted on the screen, not into the back buffer: there the window
        // shows what they painted, read back once what the pass drew so far is shown.
        const int n = DisplayScale();
        POINT point{n * x, n * y};
        HWND child = ChildWindowFromPointEx(pass.window, point, CWP_SKIPINVISIBLE);
        if (child && child != pass.window) {
            PresentPass();
            HDC dc = GDI_CALL(GetDC(pass.window));
            COLORREF colour = dc ? GDI_CALL(GetPixel(dc, n * x, n * y)) : CLR_INVALID;
            if (dc) GDI_CALL(ReleaseDC(pass.window, dc));
            return colour == CLR_INVALID ? CLR_INVALID : (colour & 0x00FFFFFFu);
        }
    }
    return ToColour(s.pixels[(size_t)y * s.stride + x]);
}

void WritePixel(int x, int y, Colour colour) {
    Surface& s = pass.surface;
    if (!Open() || x < 0 || y < 0 || x >= s.width || y >= s.height) return;
    if (!RasterPixel(s, x, y, colour) || pass.kind == TARGET_IMAGE) return;
    RECT& box = pass.pixel_box;
    if (RectEmpty(box)) {
        box = RECT{x, y, x + 1, y + 1};
        return;
    }
    box.left = std::min<LONG>(box.left, x);
    box.top = std::min<LONG>(box.top, y);
    box.right = std::max<LONG>(box.right, x + 1);
    box.bottom = std::max<LONG>(box.bottom, y + 1);
}

void ScrollDrawnArea(int x, int y, int width, int height, int dx, int dy) {
    if (!Open() || width <= 0 || height <= 0) return;
    const RectI to = RasterMoveArea(pass.surface, RectI{x, y, x + width, y + height}, dx, dy);
    if (to.right > to.left && to.bottom > to.top) Mark(to.left, to.top, to.right, to.bottom);
}

void ReadPixels(const PointI* points, int count, Colour* colours) {
    if (!points || !colours) return;
    for (int i = 0; i < count; ++i) colours[i] = ReadPixel(points[i].x, points[i].y);
}

void WritePixels(const PointI* points, const Colour* colours, int count) {
    if (!points || !colours) return;
    for (int i = 0; i < count; ++i) WritePixel(points[i].x, points[i].y, colours[i]);
}

static void DrawImage(ImageRef image, int x, int y, bool with_alpha) {
    if (!Open() || !image || image == pass.image) return;
    Surface from = image->View();
    // Only a 32-bit image has an alpha to honour.
    if (with_alpha && image->depth == 32) RasterBlitAlpha(pass.surface, from, x, y);
    else RasterBlit(pass.surface, from, x, y);
    Mark(x, y, (long long)x + image->width, (long long)y + image->height);
}

void DrawImagePlain(ImageRef image, int x, int y) {
    DrawImage(image, x, y, false);
}

void DrawImageAlpha(ImageRef image, int x, int y) {
    DrawImage(image, x, y, true);
}
