// Drawing context of the portable core: one pass at a time on a window, a canvas or an
// image, each operation mapped to the software raster and text; fonts and images. Only what
// a pass changed is shown at its end.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

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
    // Canvas passes: everything the pass drew, as `dirty` would be without the blit memos. It
    // is what gets shown when the canvas's pixels in the window may differ from its backing.
    DirtyRects drawn;
    // Single pixels written, as one bounding box: the needle's edge writes hundreds of them a
    // pass, and they join the dirty pieces as one. `pixel_box` holds those that changed,
    // `pixel_drawn` all of them.
    RectI pixel_box{0, 0, 0, 0};
    RectI pixel_drawn{0, 0, 0, 0};
    // Window passes: something was drawn whose pixels the marks may not cover exactly.
    bool loose = false;
    // Something was drawn at all, and for image passes where (their marks only record it).
    bool wrote = false;
    RectI image_changed{0, 0, 0, 0};
    // Image passes that began by moving pixels: where to, and by how much.
    RectI scroll{0, 0, 0, 0};
    int scroll_dx = 0, scroll_dy = 0;
    // The change stamp before the pass drew (image passes: after such a move).
    uint64_t start_stamp = 0;
};

DrawingPass g_pass;
uint64_t g_last_generation = 0;

// ---- unchanged text ----
// The program draws the same labels at the same places on every tick, transparently, over
// pixels that have not changed. Drawing text is a function of the pixels under it, so once a
// drawing left its box as it found it, the same drawing over the same pixels would change
// nothing and can be left out. Window passes only; the box is what the drawing may change.
struct TextMemo {
    PlatformWindow* window = nullptr;
    TextFont* font = nullptr;
    int x = 0, y = 0;
    Colour colour = 0, back = 0;
    bool background = false;
    std::string text;
    RectI full{0, 0, 0, 0};         // every pixel the drawing may change
    RectI box{0, 0, 0, 0};          // that part of it on the surface
    std::vector<uint32_t> after;    // the box's pixels after the last such drawing
    bool settled = false;           // that drawing found the box exactly as it left it
    uint64_t stamp = 0;             // the box held `after` at this change stamp
};
constexpr size_t TEXT_MEMO_LIMIT = 256;
std::vector<TextMemo> g_text_memos;
// Where each memo is found: slots of indices into g_text_memos, by window, font and place
// (open addressing; -1 is an empty slot). Twice the memos it may hold, so it never fills.
constexpr size_t TEXT_INDEX_SLOTS = 2 * TEXT_MEMO_LIMIT;
std::vector<int> g_text_index(TEXT_INDEX_SLOTS, -1);

// A place's hash, for the memo tables below. Not hashed by a window's address: where a memo
// lands would then change from run to run.
uint64_t PlaceHash(std::initializer_list<int> values) {
    uint64_t h = 0;
    for (int v : values) {
        h = (h ^ (uint32_t)v) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 31;
    }
    return h;
}

size_t TextIndexHash(int x, int y) { return (size_t)(PlaceHash({x, y}) >> 32) & (TEXT_INDEX_SLOTS - 1); }

void IndexTextMemo(int index) {
    const TextMemo& m = g_text_memos[(size_t)index];
    size_t slot = TextIndexHash(m.x, m.y);
    while (g_text_index[slot] >= 0) slot = (slot + 1) & (TEXT_INDEX_SLOTS - 1);
    g_text_index[slot] = index;
}

// Forgets the memos `gone` picks.
template <typename Gone>
void RemoveTextMemos(Gone gone) {
    g_text_memos.erase(std::remove_if(g_text_memos.begin(), g_text_memos.end(), gone), g_text_memos.end());
    std::fill(g_text_index.begin(), g_text_index.end(), -1);
    for (size_t i = 0; i < g_text_memos.size(); ++i) IndexTextMemo((int)i);
}

// ---- boxes filled again ----
// A box filled on a window with the colour it was last filled with, and drawn over by nothing
// since (the window's change map says), holds that colour still: the level bars' unlit and
// lit segments, sixty of them a tick, most of them as they were.
struct FillMemo {
    PlatformWindow* window = nullptr;   // null: slot unused
    int x = 0, y = 0, width = 0, height = 0;
    Colour colour = 0;
    uint64_t stamp = 0;                 // the box held `colour` at this stamp
};
constexpr size_t FILL_MEMOS = 256;       // a power of two: slots are found by hashing the box
FillMemo g_fill_memos[FILL_MEMOS];

// The memo of this box, or the slot to keep it in: one of four next to where the box hashes
// to, the one kept longest ago when none holds it.
FillMemo& FillMemoSlot(PlatformWindow* window, int x, int y, int width, int height) {
    const size_t first = (PlaceHash({x, y, width, height}) >> 24) & (FILL_MEMOS - 1);
    FillMemo* oldest = nullptr;
    for (size_t i = 0; i < 4; ++i) {
        FillMemo& memo = g_fill_memos[(first + i) & (FILL_MEMOS - 1)];
        if (memo.window == window && memo.x == x && memo.y == y && memo.width == width && memo.height == height)
            return memo;
        if (!oldest || memo.stamp < oldest->stamp) oldest = &memo;
    }
    return *oldest;
}

// ---- images copied again onto a window ----
// An unchanged image copied to the same place on a window again only has to bring back what
// was drawn over it since it was last copied there: a scope's empty box is laid down every
// tick under a trace of a few hundred pixels. The lines drawn over it are kept, and only their
// pixels are given back; whatever else changed there the window's change map tells, a tile at
// a time.
// Lines through consecutive points, drawn by one call.
struct Stroke {
    uint32_t first = 0, count = 0;   // in the copy's `points`
    Colour colour = 0;
};
struct WindowCopy {
    static constexpr size_t MAX_POINTS = 4096;
    PlatformWindow* window = nullptr;   // null: slot unused
    uint64_t generation = 0;            // the image's
    int x = 0, y = 0;
    RectI rect{0, 0, 0, 0};             // the pixels it covered (clipped)
    uint64_t stamp = 0;                 // the window's pixels there were the image's at this stamp
    // `rect` and the boxes of the strokes below: a stroke reaching beyond the copy, drawn
    // again, is only as it was there while nothing else has been drawn there since.
    RectI area{0, 0, 0, 0};
    // Lines drawn over it (or over that area) since, in the order they were drawn.
    std::vector<Stroke> strokes;
    std::vector<PointI> points;
    bool lines_lost = false;            // too many: the tiles they changed are given back instead
    void Forget() {
        strokes.clear();
        points.clear();
        lines_lost = false;
        area = rect;
    }
    // Keeps the first n strokes only.
    void KeepStrokes(size_t n) {
        points.resize(n ? strokes[n - 1].first + strokes[n - 1].count : 0);
        strokes.resize(n);
    }
    void Record(const PointI* p, int count, Colour colour, const RectI& box) {
        if (points.size() + (size_t)count > MAX_POINTS) {
            lines_lost = true;
            return;
        }
        strokes.push_back(Stroke{(uint32_t)points.size(), (uint32_t)count, colour});
        points.insert(points.end(), p, p + count);
        area = RectUnion(area, box);
    }
};
constexpr int WINDOW_COPIES = 4;
WindowCopy g_window_copies[WINDOW_COPIES];
int g_next_window_copy = 0;

// A copy repeated over its own result, when only lines were drawn over it since, gives them
// back lazily: the same lines drawn again in the same order (a scope showing the same block,
// or silence) find their pixels already there. The first line that differs, anything else
// drawn over the copy, or the end of the pass settles the debt.
struct OwedLines {
    WindowCopy* copy = nullptr;   // null: nothing is owed
    size_t confirmed = 0;         // strokes drawn again so far: copy->strokes[0 .. confirmed - 1]
    // The copy and the strokes' boxes: anything else drawn there pays first. (A stroke reaching
    // beyond the copy is only as it was there while nothing has drawn over it since.)
    RectI area{0, 0, 0, 0};
};
OwedLines g_owed_lines;
PlatformImage* g_owed_lines_image = nullptr;

bool Open() { return g_pass.target != Target::NONE; }

RectI SurfaceRect() { return RectI{0, 0, g_pass.surface.width, g_pass.surface.height}; }

BlitMemo* Memos() { return g_pass.window->blit_memos; }

// Memo `m` lies under the image of memo `slot` in its `covered` part.
bool CoveredBy(const BlitMemo& m, int slot) {
    return slot >= 0 && m.covered_by == slot && Memos()[slot].generation &&
           Memos()[slot].generation == m.covered_generation;
}

// Canvas passes: `r` was written over; the memos under it must restore it next time. When
// memo `writer` restores its own image there, it is not drawn over, and neither is what
// lies under it anyway.
void Touch(const RectI& r, int writer = -1) {
    BlitMemo* memos = Memos();
    for (int i = 0; i < PlatformWindow::BLIT_MEMOS; ++i) {
        if (!memos[i].generation || i == writer || CoveredBy(memos[i], writer)) continue;
        memos[i].touched = RectUnion(memos[i].touched, RectIntersect(r, memos[i].rect));
    }
}

void ForgetMemos() {
    for (BlitMemo& memo : g_pass.window->blit_memos) memo = BlitMemo{};
}

// ---- deferred restores ----
// A meter's face is copied again where its cover plate lies, and the plate is copied over it
// again a moment later. So a repeated copy leaves such a part as it is, owed: the pixels
// there still are the plate's, untouched since it was copied. The debt is paid (the image
// copied there after all) only where something draws or reads before the plate comes back,
// and for whatever is left when the pass ends.
struct Owed {
    static constexpr int GROUP = 16;             // columns paid together
    static constexpr int MAX_RIGHT = 64 * GROUP; // the groups fit one mask
    int count = 0;                   // 1 while something is owed
    RectI rect{0, 0, 0, 0};          // still the cover's pixels, but for the paid groups
    uint64_t paid = 0;               // bit g: columns GROUP * g .. GROUP * g + GROUP - 1 paid
    PlatformImage* image = nullptr;  // what is owed there, copied at (x, y)
    int x = 0, y = 0;
    int memo = -1;                   // the owed image's memo slot
    int cover = -1;                  // the memo slot of the image lying there instead
    uint64_t cover_generation = 0;
};
Owed g_owed;

void CopyImageRows(PlatformImage* image, int x, int y, const RectI& r) {
    RasterBlitPart(g_pass.surface, image->View(), x, y, r);
}

// Pays the unpaid groups among columns left .. right - 1 of the owed part, run by run.
void PayColumns(int left, int right) {
    const RectI& q = g_owed.rect;
    left = std::max(left, q.left);
    right = std::min(right, q.right);
    if (left >= right) return;
    int g = left / Owed::GROUP, last = (right - 1) / Owed::GROUP;
    while (g <= last) {
        if (g_owed.paid >> g & 1) {
            ++g;
            continue;
        }
        int end = g;
        while (end + 1 <= last && !(g_owed.paid >> (end + 1) & 1)) ++end;
        for (int k = g; k <= end; ++k) g_owed.paid |= uint64_t{1} << k;
        RectI r{std::max(q.left, g * Owed::GROUP), q.top, std::min(q.right, (end + 1) * Owed::GROUP), q.bottom};
        CopyImageRows(g_owed.image, g_owed.x, g_owed.y, r);
        g_pass.dirty.Add(r);
        Touch(r, g_owed.memo);
        g = end + 1;
    }
}

void PayAll() {
    if (g_owed.count) PayColumns(g_owed.rect.left, g_owed.rect.right);
    g_owed = Owed{};
}

// Pays what is owed under `d` before something draws or reads there: whole columns of the
// owed part, a group at a time, so that a line's pixels need few copies.
void PayUnder(const RectI& d) {
    RectI i = RectIntersect(d, g_owed.rect);
    if (!RectEmpty(i)) PayColumns(i.left, i.right);
}

inline bool OwedAt(int x, int y) {
    const RectI& q = g_owed.rect;
    return g_owed.count && x >= q.left && x < q.right && y >= q.top && y < q.bottom &&
           !(g_owed.paid >> (x / Owed::GROUP) & 1);
}

// Canvas passes: about to write or read `d`.
void SettleWindowLines();

inline void BeforeDrawing(const RectI& d) {
    if (g_owed.count) PayUnder(d);
    if (g_owed_lines.copy && !RectEmpty(RectIntersect(d, g_owed_lines.area))) SettleWindowLines();
}
inline void BeforeDrawing(int left, int top, int right, int bottom) {
    BeforeDrawing(RectI{left, top, right, bottom});
}

// Something was drawn in `r`; `changed` when it changed a pixel there (a drawing that left
// every pixel as it was needs no showing, and leaves the memos' images intact).
void MarkRect(RectI r, bool changed = true) {
    r = RectIntersect(r, SurfaceRect());
    if (RectEmpty(r)) return;
    if (g_pass.target == Target::CANVAS) g_pass.drawn.Add(r);
    if (!changed) return;
    g_pass.wrote = true;
    if (g_pass.target == Target::IMAGE) {  // shown only through image controls, later
        g_pass.image_changed = RectUnion(g_pass.image_changed, r);
        return;
    }
    g_pass.dirty.Add(r);
    if (g_pass.target == Target::CANVAS) Touch(r);
}

void Mark(int left, int top, int right, int bottom, bool changed = true) {
    MarkRect(RectI{left, top, right, bottom}, changed);
}

void MarkAll(bool changed = true) { Mark(0, 0, g_pass.surface.width, g_pass.surface.height, changed); }

// Joins the single pixels written so far to the marks.
void FlushPixels() {
    if (RectEmpty(g_pass.pixel_drawn)) return;
    RectI drawn = g_pass.pixel_drawn, changed = g_pass.pixel_box;
    g_pass.pixel_drawn = g_pass.pixel_box = RectI{0, 0, 0, 0};
    if (g_pass.target == Target::CANVAS) g_pass.drawn.Add(RectIntersect(drawn, SurfaceRect()));
    if (!RectEmpty(changed)) MarkRect(changed);
}

// Restores memo `slot`'s image in `piece`, where it was drawn over. Outside the part another
// image covers, the image lay there whole when the memo was last stamped: only the tiles that
// changed since can differ from it. In the covered part (`whole` false) all of it can.
void RestorePiece(int slot, PlatformImage* image, const RectI& piece, bool whole = true) {
    if (RectEmpty(piece)) return;
    const BlitMemo& memo = Memos()[slot];
    ForEachChangedRun(*g_pass.surface.changes, piece, whole ? memo.stamp : 0, [&](const RectI& run) {
        CopyImageRows(image, memo.x, memo.y, run);
        g_pass.dirty.Add(run);
        Touch(run, slot);
    });
}

// Memo `slot` copies its image again: restores what was drawn over it, and its covered part
// unless that can wait.
void RestoreMemo(int slot, PlatformImage* image) {
    BlitMemo* memos = Memos();
    BlitMemo memo = memos[slot];
    memos[slot].touched = RectI{0, 0, 0, 0};
    memos[slot].covered = RectI{0, 0, 0, 0};
    memos[slot].covered_by = -1;
    RectI area = memo.touched, owed = memo.covered;
    int cover = memo.covered_by;
    if (RectEmpty(owed)) {
        RestorePiece(slot, image, area);
        return;
    }
    if (!CoveredBy(memo, cover) || g_owed.count || owed.right > Owed::MAX_RIGHT ||
        !RectEmpty(RectIntersect(memos[cover].touched, owed))) {
        RestorePiece(slot, image, area);
        RestorePiece(slot, image, owed, false);
        return;
    }
    // The bands of `area` around the owed part.
    RestorePiece(slot, image, RectI{area.left, area.top, area.right, std::min(area.bottom, owed.top)});
    RestorePiece(slot, image, RectI{area.left, std::max(area.top, owed.bottom), area.right, area.bottom});
    RectI middle{area.left, std::max(area.top, owed.top), area.right, std::min(area.bottom, owed.bottom)};
    RestorePiece(slot, image, RectI{middle.left, middle.top, std::min(middle.right, owed.left), middle.bottom});
    RestorePiece(slot, image, RectI{std::max(middle.left, owed.right), middle.top, middle.right, middle.bottom});
    g_owed = Owed{};
    g_owed.count = 1;
    g_owed.rect = owed;
    g_owed.image = image;
    g_owed.x = memo.x;
    g_owed.y = memo.y;
    g_owed.memo = slot;
    g_owed.cover = cover;
    g_owed.cover_generation = memos[cover].generation;
}

// The image of memo `top` now lies untouched over memo `under`'s wherever they overlap.
void LayOver(int top, int under) {
    BlitMemo* memos = Memos();
    BlitMemo& m = memos[under];
    RectI overlap = RectIntersect(m.rect, memos[top].rect);
    if (!m.generation || RectEmpty(overlap)) return;
    if (RectEmpty(m.covered) || CoveredBy(m, top)) {
        m.covered_by = top;
        m.covered_generation = memos[top].generation;
        m.covered = RectUnion(m.covered, overlap);
        return;
    }
    // Already under another image: this one counts as drawing over it.
    m.touched = RectUnion(m.touched, overlap);
}

RectI PointsBox(const PointI* points, int count) {
    RectI box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    for (int i = 0; i < count; ++i) {
        box.left = std::min(box.left, points[i].x);
        box.top = std::min(box.top, points[i].y);
        box.right = std::max(box.right, points[i].x + 1);
        box.bottom = std::max(box.bottom, points[i].y + 1);
    }
    return count > 0 ? box : RectI{0, 0, 0, 0};
}

// Lines drawn on a window: the copies whose area they reach (but `except`) keep them, whether
// they changed a pixel or not (they lie on top of what they cross all the same).
void RecordStroke(const PointI* points, int count, Colour colour, const RectI& box, const WindowCopy* except) {
    for (WindowCopy& c : g_window_copies) {
        if (&c == except || c.window != g_pass.window || c.lines_lost || RectEmpty(RectIntersect(box, c.area)))
            continue;
        c.Record(points, count, colour, box);
    }
}

// Draws lines on a window pass.
bool DrawWindowLines(const PointI* points, int count, Colour colour, const RectI& box) {
    const bool changed = RasterLines(g_pass.surface, points, count, colour);
    RecordStroke(points, count, colour, box, nullptr);
    return changed;
}

// Gives back the pixels of the copy's image under its strokes from `first` on.
void RestoreStrokes(const WindowCopy& copy, PlatformImage* image, size_t first) {
    const Surface view = image->View();
    RectI restored{0, 0, 0, 0};
    for (size_t i = first; i < copy.strokes.size(); ++i) {
        const PointI* points = copy.points.data() + copy.strokes[i].first;
        const int count = (int)copy.strokes[i].count;
        if (RasterRestoreLines(g_pass.surface, view, copy.x, copy.y, points, count, copy.rect))
            restored = RectUnion(restored, PointsBox(points, count));
    }
    MarkRect(restored);
}

// Pays what is owed: the strokes not drawn again are given back the image's pixels, and the
// ones drawn again, which may share pixels with those, are drawn once more.
void SettleWindowLines() {
    OwedLines owed = g_owed_lines;
    g_owed_lines = OwedLines{};
    if (!owed.copy) return;
    WindowCopy& copy = *owed.copy;
    if (owed.confirmed < copy.strokes.size()) {
        RestoreStrokes(copy, g_owed_lines_image, owed.confirmed);
        copy.KeepStrokes(owed.confirmed);
        // Drawn again over what was given back; they stay over the copy whether or not that
        // changes a pixel.
        for (const Stroke& stroke : copy.strokes) {
            const PointI* points = copy.points.data() + stroke.first;
            const RectI box = PointsBox(points, (int)stroke.count);
            if (RasterLines(g_pass.surface, points, (int)stroke.count, stroke.colour)) MarkRect(box);
            RecordStroke(points, (int)stroke.count, stroke.colour, box, &copy);
        }
    }
    copy.stamp = ChangeStampNow();
}

// Window passes: copies `image` to (x, y), covering `full`; a repeat only restores what was
// drawn over it since.
void CopyImageToWindow(PlatformImage* image, int x, int y, const RectI& full) {
    SettleWindowLines();
    WindowCopy* copy = nullptr;
    for (WindowCopy& c : g_window_copies)
        if (c.window == g_pass.window && c.generation == image->generation && c.x == x && c.y == y &&
            RectEqual(c.rect, full))
            copy = &c;
    const Surface view = image->View();
    if (copy) {
        const ChangeMap& changes = *g_pass.surface.changes;
        if (!copy->lines_lost && !ChangedSince(changes, copy->area, copy->stamp, false)) {
            // Only lines were drawn over it: they are owed until they are drawn again or not.
            if (!copy->strokes.empty()) {
                g_owed_lines = OwedLines{copy, 0, copy->area};
                g_owed_lines_image = image;
            }
            return;
        }
        ForEachChangedRun(changes, full, copy->stamp, [&](const RectI& run) {
            MarkRect(run, RasterBlitPart(g_pass.surface, view, x, y, run));
        }, copy->lines_lost);
        if (!copy->lines_lost) RestoreStrokes(*copy, image, 0);
    } else {
        copy = &g_window_copies[g_next_window_copy];
        g_next_window_copy = (g_next_window_copy + 1) % WINDOW_COPIES;
        *copy = WindowCopy{};
        copy->window = g_pass.window;
        copy->generation = image->generation;
        copy->x = x;
        copy->y = y;
        copy->rect = full;
        MarkRect(full, RasterBlit(g_pass.surface, view, x, y));
    }
    copy->Forget();
    copy->stamp = ChangeStampNow();
}

// Copies an image onto the pass's surface, opaquely (a plain blit, or an alpha blit of an
// opaque image). On a canvas, a repeat of an earlier copy only restores what was drawn over
// it since, and only that counts as changed.
void CopyImage(PlatformImage* image, int x, int y) {
    Surface view = image->View();
    RectI full = RectIntersect(RectI{x, y, x + image->width, y + image->height}, SurfaceRect());
    if (g_pass.target == Target::WINDOW && !RectEmpty(full)) {
        CopyImageToWindow(image, x, y, full);
        return;
    }
    if (g_pass.target != Target::CANVAS || RectEmpty(full)) {
        Mark(x, y, x + image->width, y + image->height, RasterBlit(g_pass.surface, view, x, y));
        return;
    }
    FlushPixels();
    PlatformWindow* canvas = g_pass.window;
    BlitMemo* memos = canvas->blit_memos;
    for (int slot = 0; slot < PlatformWindow::BLIT_MEMOS; ++slot) {
        BlitMemo& memo = memos[slot];
        if (memo.generation != image->generation || memo.x != x || memo.y != y || !RectEqual(memo.rect, full))
            continue;
        g_pass.drawn.Add(full);
        if (g_owed.count && g_owed.cover == slot && g_owed.cover_generation == memo.generation) {
            // What is owed still holds this image's pixels, so it is settled: this image
            // lies on top there again.
            int owed_memo = g_owed.memo;
            g_owed = Owed{};
            memo.covered = RectI{0, 0, 0, 0};
            memo.covered_by = -1;
            if (memos[owed_memo].generation) memos[owed_memo].covered = RectI{0, 0, 0, 0};
        }
        BeforeDrawing(memo.touched);
        BeforeDrawing(memo.covered);
        RestoreMemo(slot, image);
        memo.stamp = ChangeStampNow();
        // Now this image lies whole over the others (logically, where it is owed), but for
        // the image whose pixels are still there while owed.
        int still_there = g_owed.count && g_owed.memo == slot ? g_owed.cover : -1;
        for (int i = 0; i < PlatformWindow::BLIT_MEMOS; ++i)
            if (i != slot && i != still_there) LayOver(slot, i);
        return;
    }
    // A slot whose image this copy covers completely is of no more use; else the oldest.
    int slot = -1;
    for (int i = 0; i < PlatformWindow::BLIT_MEMOS && slot < 0; ++i)
        if (!memos[i].generation) slot = i;
    for (int i = 0; i < PlatformWindow::BLIT_MEMOS && slot < 0; ++i)
        if (RectEqual(RectIntersect(memos[i].rect, full), memos[i].rect)) slot = i;
    if (slot < 0) {
        slot = canvas->next_memo;
        canvas->next_memo = (canvas->next_memo + 1) % PlatformWindow::BLIT_MEMOS;
    }
    // A slot taken over can no longer be owed to or lie over an owed part.
    if (g_owed.count && (g_owed.memo == slot || g_owed.cover == slot)) PayAll();
    BeforeDrawing(full);
    RasterBlit(g_pass.surface, view, x, y);
    g_pass.dirty.Add(full);
    g_pass.drawn.Add(full);
    memos[slot] = BlitMemo{};
    memos[slot].generation = image->generation;
    memos[slot].x = x;
    memos[slot].y = y;
    memos[slot].rect = full;
    memos[slot].stamp = ChangeStampNow();
    for (int i = 0; i < PlatformWindow::BLIT_MEMOS; ++i) {
        if (i == slot || !memos[i].generation) continue;
        // Memos under this one only because of a slot now reused lose that shelter.
        if (memos[i].covered_by == slot) {
            memos[i].touched = RectUnion(memos[i].touched, memos[i].covered);
            memos[i].covered = RectI{0, 0, 0, 0};
            memos[i].covered_by = -1;
        }
        LayOver(slot, i);
    }
}

bool ImageOpaque(PlatformImage* image) {
    if (image->opaque_generation != image->generation) {
        image->opaque = RasterOpaque(image->View());
        image->opaque_generation = image->generation;
    }
    return image->opaque;
}

void StartPass(Target target, PlatformWindow* window, PlatformImage* image, Surface surface) {
    if (Open()) EndDrawing();
    g_pass = DrawingPass{};
    g_owed = Owed{};
    g_pass.target = target;
    g_pass.window = window;
    g_pass.image = image;
    g_pass.surface = surface;
    g_pass.font = DefaultGuiFont();
    g_pass.start_stamp = ChangeStampNow();
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

void SettleDrawingOver(PlatformWindow* top) {
    if (g_owed_lines.copy && g_owed_lines.copy->window == top) SettleWindowLines();
}

void ForgetDrawingTarget(PlatformWindow* window, PlatformImage* image) {
    // A window going away owes nothing; an image going away is paid for while it still can be.
    if (g_owed_lines.copy && window && g_owed_lines.copy->window == window) g_owed_lines = OwedLines{};
    if (g_owed_lines.copy && image && g_owed_lines_image == image) SettleWindowLines();
    if (window) {
        for (FillMemo& memo : g_fill_memos)
            if (memo.window == window) memo = FillMemo{};
        for (WindowCopy& copy : g_window_copies)
            if (copy.window == window) copy = WindowCopy{};
        RemoveTextMemos([window](const TextMemo& m) { return m.window == window; });
    }
    if (!Open()) return;
    if ((window && g_pass.window == window) || (image && g_pass.image == image)) {
        g_pass = DrawingPass{};
        g_owed = Owed{};
    }
}

void ResetDrawing() {
    std::fill(g_text_index.begin(), g_text_index.end(), -1);
    g_owed_lines = OwedLines{};
    for (FillMemo& memo : g_fill_memos) memo = FillMemo{};
    g_text_memos.clear();
    for (WindowCopy& copy : g_window_copies) copy = WindowCopy{};
    g_pass = DrawingPass{};
    g_owed = Owed{};
}

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
    StartPass(Target::CANVAS, canvas, nullptr, BackingSurface(canvas));
    return true;
}

bool BeginDrawingImage(ImageRef image) {
    if (!image) return false;
    StartPass(Target::IMAGE, nullptr, image, image->View());
    image->generation = ++g_last_generation;
    return true;
}

void EndDrawing() {
    if (!Open()) return;
    SettleWindowLines();
    PayAll();
    FlushPixels();
    DrawingPass pass = g_pass;
    g_pass = DrawingPass{};
    if (pass.target == Target::IMAGE) {
        if (pass.wrote) {
            PlatformImage* image = pass.image;
            image->previous_version = image->content_version;
            image->content_version = ++g_last_generation;
            // The tiles the pass really changed (a pass that draws what is there changes none).
            const RectI changed = ChangedBox(image->changes, RectI{0, 0, image->width, image->height}, pass.start_stamp);
            image->last_changed =
                pass.loose ? RectI{0, 0, image->width, image->height} : RectIntersect(changed, pass.image_changed);
            image->last_scroll = pass.loose ? RectI{0, 0, 0, 0} : pass.scroll;
            image->last_scroll_dx = pass.scroll_dx;
            image->last_scroll_dy = pass.scroll_dy;
        }
    } else if (pass.target == Target::WINDOW) {
        if (pass.loose) CanvasesOverdrawn(pass.window, RectI{0, 0, pass.surface.width, pass.surface.height}, nullptr);
        for (int i = 0; i < pass.dirty.count; ++i) {
            CanvasesOverdrawn(pass.window, pass.dirty.rects[i], nullptr);
            SurfaceChanged(pass.window, pass.dirty.rects[i], !pass.loose);
        }
    } else if (pass.target == Target::CANVAS) {
        // While the window shows the backing, only what really changed needs composing;
        // otherwise everything drawn is, as it is drawn over whatever covered the canvas.
        PlatformWindow* canvas = pass.window;
        const bool shown = canvas->backing_shown;
        const DirtyRects& rects = shown ? pass.dirty : pass.drawn;
        const uint64_t since = shown ? canvas->composed_stamp : 0;
        bool whole = false;
        for (int i = 0; i < rects.count; ++i) {
            ComposeCanvas(canvas, rects.rects[i], since);
            whole = whole || CanvasVisibleWhole(canvas, rects.rects[i]);
        }
        if (whole) canvas->backing_shown = true;
        canvas->composed_stamp = ChangeStampNow();
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

namespace {

TextMemo* FindTextMemo(int x, int y, const char* text, Colour colour, bool background) {
    for (size_t slot = TextIndexHash(x, y); g_text_index[slot] >= 0;
         slot = (slot + 1) & (TEXT_INDEX_SLOTS - 1)) {
        TextMemo& m = g_text_memos[(size_t)g_text_index[slot]];
        if (m.x == x && m.y == y && m.window == g_pass.window && m.font == g_pass.font && m.colour == colour &&
            m.background == background && (!background || m.back == g_pass.back) && m.text == text)
            return &m;
    }
    return nullptr;
}

bool BoxHolds(const RectI& box, const std::vector<uint32_t>& pixels) {
    const int width = box.right - box.left;
    const uint32_t* expected = pixels.data();
    for (int py = box.top; py < box.bottom; ++py, expected += width) {
        const uint32_t* row = g_pass.surface.pixels + (size_t)py * g_pass.surface.stride + box.left;
        if (std::memcmp(row, expected, (size_t)width * sizeof(uint32_t)) != 0) return false;
    }
    return true;
}

void CopyBox(const RectI& box, std::vector<uint32_t>* pixels) {
    const int width = box.right - box.left;
    pixels->resize((size_t)width * (box.bottom - box.top));
    uint32_t* to = pixels->data();
    for (int py = box.top; py < box.bottom; ++py, to += width)
        std::memcpy(to, g_pass.surface.pixels + (size_t)py * g_pass.surface.stride + box.left,
                    (size_t)width * sizeof(uint32_t));
}

}  // namespace

void FillBox(int x, int y, int width, int height, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    if (g_pass.mode == DRAWMODE_GRADIENT) {
        Gradient gradient{g_pass.gradient_x1, g_pass.gradient_y1, g_pass.gradient_x2, g_pass.gradient_y2,
                          g_pass.front, g_pass.back};
        BeforeDrawing(x, y, x + width, y + height);
        Mark(x, y, x + width, y + height, RasterFillGradientBox(g_pass.surface, x, y, width, height, gradient));
    } else if (g_pass.target == Target::WINDOW) {
        colour &= 0x00FFFFFFu;
        FillMemo& memo = FillMemoSlot(g_pass.window, x, y, width, height);
        const bool same = memo.window == g_pass.window && memo.x == x && memo.y == y && memo.width == width &&
                          memo.height == height && memo.colour == colour;
        BeforeDrawing(x, y, x + width, y + height);
        if (same && !ChangedSince(*g_pass.surface.changes, RectI{x, y, x + width, y + height}, memo.stamp)) return;
        Mark(x, y, x + width, y + height, RasterFillBox(g_pass.surface, x, y, width, height, colour));
        memo = FillMemo{g_pass.window, x, y, width, height, colour, ChangeStampNow()};
    } else {
        BeforeDrawing(x, y, x + width, y + height);
        Mark(x, y, x + width, y + height, RasterFillBox(g_pass.surface, x, y, width, height, colour));
    }
}

void FillRoundBox(int x, int y, int width, int height, int radius_x, int radius_y, Colour colour) {
    if (!Open() || width <= 0 || height <= 0) return;
    BeforeDrawing(x, y, x + width, y + height);
    Mark(x, y, x + width, y + height,
         RasterFillRoundBox(g_pass.surface, x, y, width, height, radius_x, radius_y, colour));
}

void DrawLinesBetween(const PointI* points, int count, Colour colour) {
    if (!Open() || !points || count < 2) return;
    colour &= 0x00FFFFFFu;
    const RectI box = PointsBox(points, count);
    if (g_owed_lines.copy && !RectEmpty(RectIntersect(box, g_owed_lines.area))) {
        // The next stroke owed, drawn again: its pixels are there already.
        const WindowCopy& copy = *g_owed_lines.copy;
        if (g_owed_lines.confirmed < copy.strokes.size()) {
            const Stroke& next = copy.strokes[g_owed_lines.confirmed];
            if (next.colour == colour && next.count == (uint32_t)count &&
                std::memcmp(copy.points.data() + next.first, points, (size_t)count * sizeof(PointI)) == 0) {
                ++g_owed_lines.confirmed;
                return;
            }
        }
        SettleWindowLines();
    }
    BeforeDrawing(box);
    if (g_pass.target == Target::WINDOW) {
        MarkRect(box, DrawWindowLines(points, count, colour, box));
        return;
    }
    MarkRect(box, RasterLines(g_pass.surface, points, count, colour));
}

void DrawLineBetween(int x1, int y1, int x2, int y2, Colour colour) {
    const PointI ends[2] = {{x1, y1}, {x2, y2}};
    DrawLinesBetween(ends, 2, colour);
}

void DrawExtentLine(int x, int y, int width, int height) {
    if (!Open() || width == 0 || height == 0) return;
    DrawLineBetween(x, y, x + width - 1, y + height - 1, g_pass.front);
}

void FillDisc(int x, int y, int radius, Colour colour) {
    if (!Open() || radius < 0) return;
    BeforeDrawing(x - radius, y - radius, x + radius + 1, y + radius + 1);
    Mark(x - radius, y - radius, x + radius + 1, y + radius + 1, RasterDisc(g_pass.surface, x, y, radius, colour));
}

void UseFont(FontRef font) {
    if (Open()) g_pass.font = font && font->text ? font->text : DefaultGuiFont();
}

namespace {
void DrawTextPass(int x, int y, const char* text, double degrees, Colour colour) {
    if (!Open() || !g_pass.font || !text) return;
    // What text changes is known only after measuring it; pay what is owed first.
    SettleWindowLines();
    bool background = g_pass.mode == DRAWMODE_DEFAULT;
    const int margin = 3;  // glyphs may overhang their cell a little
    if (degrees == 0.0) {
        TextMemo* memo = g_pass.target == Target::WINDOW ? FindTextMemo(x, y, text, colour, background) : nullptr;
        // Settled, over the same pixels (and as much of it on the surface): nothing to do,
        // not even measuring. Nothing drawn there since it last held them says as much.
        if (memo && memo->settled && RectEqual(RectIntersect(memo->full, SurfaceRect()), memo->box)) {
            if (!ChangedSince(*g_pass.surface.changes, memo->box, memo->stamp)) return;
            if (BoxHolds(memo->box, memo->after)) {
                memo->stamp = ChangeStampNow();
                return;
            }
        }
        int width = MeasureTextWidth(g_pass.font, text);
        int height = FontLineHeight(g_pass.font);
        // The cell with a margin, and every glyph's own box in case one reaches further.
        RectI box = RectUnion(RectI{x - margin, y - margin, x + width + margin, y + height + margin},
                              TextInkBox(g_pass.font, x, y, text, background));
        if (g_pass.target != Target::WINDOW) {
            BeforeDrawing(box);
            DrawTextOnSurface(g_pass.surface, g_pass.font, x, y, text, degrees, colour, background, g_pass.back);
            MarkRect(box);
            return;
        }
        RectI on = RectIntersect(box, SurfaceRect());
        if (!memo && g_text_memos.size() < TEXT_MEMO_LIMIT) {
            g_text_memos.emplace_back();
            memo = &g_text_memos.back();
            memo->window = g_pass.window;
            memo->font = g_pass.font;
            memo->x = x;
            memo->y = y;
            memo->colour = colour;
            memo->back = g_pass.back;
            memo->background = background;
            memo->text = text;
            IndexTextMemo((int)g_text_memos.size() - 1);
        }
        // Whether this drawing changes the box decides whether the next one may be left out.
        bool unchanged_before = memo && RectEqual(memo->box, on) && BoxHolds(on, memo->after);
        DrawTextOnSurface(g_pass.surface, g_pass.font, x, y, text, degrees, colour, background, g_pass.back);
        MarkRect(box);
        if (memo) {
            memo->settled = unchanged_before && BoxHolds(on, memo->after);
            memo->full = box;
            memo->box = on;
            if (!memo->settled) CopyBox(on, &memo->after);
            memo->stamp = ChangeStampNow();
        }
        return;
    }
    // Rotated glyphs are rendered afresh and only roughly bounded here.
    int width = MeasureTextWidth(g_pass.font, text);
    int height = FontLineHeight(g_pass.font);
    if (g_pass.target == Target::WINDOW || g_pass.target == Target::IMAGE) g_pass.loose = true;
    if (g_pass.target == Target::CANVAS) {
        PayAll();
        ForgetMemos();
    }
    DrawTextOnSurface(g_pass.surface, g_pass.font, x, y, text, degrees, colour, background, g_pass.back);
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
    SettleWindowLines();
    PayAll();
    MarkAll(RasterFloodFill(g_pass.surface, x, y, border & 0x00FFFFFFu, fill & 0x00FFFFFFu));
}

Colour ReadPixel(int x, int y) {
    const Surface& s = g_pass.surface;
    if (!Open() || x < 0 || y < 0 || x >= s.width || y >= s.height) return 0xFFFFFFFFu;  // CLR_INVALID
    if (OwedAt(x, y)) PayUnder(RectI{x, y, x + 1, y + 1});
    if (g_owed_lines.copy) BeforeDrawing(RectI{x, y, x + 1, y + 1});
    return ToColour(s.pixels[(size_t)y * s.stride + x]);
}

void ReadPixels(const PointI* points, int count, Colour* colours) {
    if (!points || !colours) return;
    for (int i = 0; i < count; ++i) colours[i] = ReadPixel(points[i].x, points[i].y);
}

namespace {
inline void GrowBox(RectI& box, int x, int y) {
    if (RectEmpty(box)) {
        box = RectI{x, y, x + 1, y + 1};
        return;
    }
    if (x < box.left) box.left = x;
    if (x >= box.right) box.right = x + 1;
    if (y < box.top) box.top = y;
    if (y >= box.bottom) box.bottom = y + 1;
}
}  // namespace

void WritePixel(int x, int y, Colour colour) {
    const PointI point{x, y};
    WritePixels(&point, &colour, 1);
}

void WritePixels(const PointI* points, const Colour* colours, int count) {
    if (!Open() || !points || !colours || count <= 0) return;
    Surface& s = g_pass.surface;
    ChangeMap* map = s.changes;
    uint64_t stamp = map ? NextChangeStamp() : 0;
    // An anti-aliased needle writes over a thousand of these a pass. Its stores may alias any
    // int the compiler would otherwise keep in a register, so what the loop reads is in locals.
    uint32_t* const pixels = s.pixels;
    const unsigned width = (unsigned)s.width, height = (unsigned)s.height;
    const size_t stride = (size_t)s.stride;
    const size_t columns = map ? (size_t)map->columns : 0;
    size_t last_tile = SIZE_MAX;
    bool changed = false;
    // Where something is owed (a deferred copy, lines drawn again): paid before a pixel there
    // is written.
    auto owed_area = [] {
        RectI area = g_owed.count ? g_owed.rect : RectI{0, 0, 0, 0};
        return g_owed_lines.copy ? RectUnion(area, g_owed_lines.area) : area;
    };
    RectI owed = owed_area();
    for (int i = 0; i < count; ++i) {
        const int x = points[i].x, y = points[i].y;
        if ((unsigned)x >= width || (unsigned)y >= height) continue;
        if (x >= owed.left && x < owed.right && y >= owed.top && y < owed.bottom) {
            // That draws, so this pixel takes a newer stamp.
            if (OwedAt(x, y)) PayUnder(RectI{x, y, x + 1, y + 1});
            SettleWindowLines();
            if (map) stamp = NextChangeStamp();
            last_tile = SIZE_MAX;
            owed = owed_area();
        }
        uint32_t* p = pixels + (size_t)y * stride + (size_t)x;
        const uint32_t pixel = ToPixel(colours[i]);
        if (*p == pixel && map) continue;
        *p = pixel;
        changed = true;
        if (map) {
            const size_t tile = (size_t)(y >> CHANGE_TILE_SHIFT) * columns + (size_t)(x >> CHANGE_TILE_SHIFT);
            if (tile != last_tile) {
                MarkTileChanged(*map, x, y, stamp);
                last_tile = tile;
            }
        }
    }
    // What was drawn, as one box (a changed pixel only says that the box needs showing).
    const RectI drawn = RectIntersect(PointsBox(points, count), SurfaceRect());
    if (RectEmpty(drawn)) return;
    g_pass.pixel_drawn = RectUnion(g_pass.pixel_drawn, drawn);
    if (changed) g_pass.pixel_box = RectUnion(g_pass.pixel_box, drawn);
}

void ScrollDrawnArea(int x, int y, int width, int height, int dx, int dy) {
    if (!Open() || width <= 0 || height <= 0) return;
    const RectI area{x, y, x + width, y + height};
    // Whatever is owed there is paid first: its pixels move.
    SettleWindowLines();
    PayAll();
    FlushPixels();
    if (g_pass.target == Target::IMAGE && !g_pass.wrote && RectEmpty(g_pass.scroll)) {
        // The first thing the pass does: image controls showing the image can move their
        // pixels the same way, and what the pass changed is counted from here on.
        const RectI to = RasterMoveArea(g_pass.surface, area, dx, dy, false);
        if (RectEmpty(to)) return;
        g_pass.wrote = true;
        g_pass.scroll = to;
        g_pass.scroll_dx = dx;
        g_pass.scroll_dy = dy;
        g_pass.start_stamp = ChangeStampNow();
        return;
    }
    MarkRect(RasterMoveArea(g_pass.surface, area, dx, dy));
}

void DrawImagePlain(ImageRef image, int x, int y) {
    if (!Open() || !image) return;
    CopyImage(image, x, y);
}

void DrawImageAlpha(ImageRef image, int x, int y) {
    if (!Open() || !image) return;
    // An opaque image covers what is under it just as a plain copy does.
    if (image->depth != 32 || ImageOpaque(image)) {
        CopyImage(image, x, y);
        return;
    }
    BeforeDrawing(x, y, x + image->width, y + image->height);
    Mark(x, y, x + image->width, y + image->height, RasterBlitAlpha(g_pass.surface, image->View(), x, y));
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
    RemoveTextMemos([font](const TextMemo& m) { return m.font == font->text; });
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
    image->pixels.assign((size_t)width * height, PIXEL_OPAQUE);  // black; opaque for a 32-bit image
    ResizeChangeMap(image->changes, width, height);
    image->generation = ++g_last_generation;
    image->content_version = image->generation;
    return image;
}

void ReleaseImage(ImageRef image) {
    if (!image) return;
    if (Open() && g_owed.image == image) PayAll();
    ForgetDrawingTarget(nullptr, image);
    ForgetImageInControls(image);
    delete image;
}

int ImageWidth(ImageRef image) { return image ? image->width : 0; }
int ImageHeight(ImageRef image) { return image ? image->height : 0; }
