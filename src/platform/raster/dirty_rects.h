// What a drawing pass changed, kept as a handful of rectangles (left, top, right, bottom;
// right and bottom exclusive) that each backend copies to the screen one piece at a time.
// Works on any rectangle record with those four members (the seam's RectI, Win32's RECT).
#pragma once

#include <algorithm>
#include <cstdint>

template <typename Rect>
bool DirtyRectEmpty(const Rect& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

template <typename Rect>
Rect DirtyRectJoin(const Rect& a, const Rect& b) {
    Rect r = a;
    r.left = std::min(a.left, b.left);
    r.top = std::min(a.top, b.top);
    r.right = std::max(a.right, b.right);
    r.bottom = std::max(a.bottom, b.bottom);
    return r;
}

template <typename Rect>
int64_t DirtyRectArea(const Rect& r) {
    return DirtyRectEmpty(r) ? 0 : (int64_t)(r.right - r.left) * (r.bottom - r.top);
}

// At most MAX pieces. A piece inside another adds nothing; with JOIN, pieces that touch are
// joined so that they never overlap; when all MAX are taken, the new piece is folded into the
// one whose bounding box grows the least.
template <typename Rect, int MAX, bool JOIN = true>
struct DirtyRectList {
    static constexpr int MAX_PARTS = MAX;
    Rect rects[MAX];
    int count = 0;

    void Clear() { count = 0; }

    void Add(Rect r) {
        if (DirtyRectEmpty(r)) return;
        // Most marks fall inside a piece already there (a line inside the box it was drawn on).
        for (int i = 0; i < count; ++i)
            if (r.left >= rects[i].left && r.top >= rects[i].top && r.right <= rects[i].right &&
                r.bottom <= rects[i].bottom)
                return;
        for (bool merged = JOIN; merged;) {
            merged = false;
            for (int i = 0; i < count; ++i) {
                const Rect& o = rects[i];
                if (o.left <= r.right && r.left <= o.right && o.top <= r.bottom && r.top <= o.bottom) {
                    r = DirtyRectJoin(o, r);
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
        int best = 0;
        int64_t best_growth = INT64_MAX;
        for (int i = 0; i < count; ++i) {
            int64_t growth = DirtyRectArea(DirtyRectJoin(rects[i], r)) - DirtyRectArea(rects[i]);
            if (growth < best_growth) {
                best_growth = growth;
                best = i;
            }
        }
        Rect grown = DirtyRectJoin(rects[best], r);
        rects[best] = rects[--count];
        Add(grown);
    }
};
