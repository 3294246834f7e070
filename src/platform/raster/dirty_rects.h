// What a drawing pass changed, kept as a handful of rectangles (left, top, right, bottom;
// right and bottom exclusive) that each backend copies to the screen one piece at a time.
// Works on any rectangle record with those four members (the seam's RectI, Win32's RECT).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

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

// Joins pieces whose join covers at most `slack` pixels that neither covers (a piece costs its
// pixels plus a fixed cost per piece, which joining saves), then goes on joining the two whose
// join wastes least until at most `most` are left. The pieces given must not overlap; the
// ones left may.
template <typename Rect>
void CoalesceRects(std::vector<Rect>& rects, size_t most, int64_t slack) {
    auto waste = [](const Rect& a, const Rect& b) {
        return DirtyRectArea(DirtyRectJoin(a, b)) - DirtyRectArea(a) - DirtyRectArea(b);
    };
    std::vector<Rect> joined;
    for (const Rect& r : rects) {
        if (DirtyRectEmpty(r)) continue;
        int best = -1;
        int64_t least = slack + 1;
        // Pieces come in rows from the top; only those reaching near this one are looked at.
        for (int i = (int)joined.size() - 1; i >= 0; --i) {
            if (joined[(size_t)i].bottom + 8 < r.top) continue;
            const int64_t w = waste(joined[(size_t)i], r);
            if (w < least) {
                least = w;
                best = i;
            }
        }
        if (best >= 0) joined[(size_t)best] = DirtyRectJoin(joined[(size_t)best], r);
        else joined.push_back(r);
    }
    while (joined.size() > most) {
        size_t a = 0, b = 1;
        int64_t least = INT64_MAX;
        for (size_t i = 0; i < joined.size(); ++i)
            for (size_t j = i + 1; j < joined.size(); ++j) {
                const int64_t w = waste(joined[i], joined[j]);
                if (w < least) {
                    least = w;
                    a = i;
                    b = j;
                }
            }
        joined[a] = DirtyRectJoin(joined[a], joined[b]);
        joined.erase(joined.begin() + (long)b);
    }
    rects.swap(joined);
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
