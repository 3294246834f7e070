// Which pixels of a surface changed, and when. The surface is cut into tiles of 8 x 8 pixels,
// and each tile keeps the stamp of the last drawing operation that really changed one of its
// pixels (the raster compares before it writes). Stamps come from one counter that only grows,
// so "changed since s" is a comparison: the presenter asks which tiles changed since it last
// showed them, and a drawing repeated over its own result asks which tiles were drawn over
// since it was last made. GUI thread only, as all drawing is.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

constexpr int CHANGE_TILE_SHIFT = 3;
constexpr int CHANGE_TILE = 1 << CHANGE_TILE_SHIFT;

struct ChangeMap {
    int width = 0, height = 0;     // the surface's size in pixels
    int columns = 0, rows = 0;     // in tiles
    std::vector<uint64_t> stamps;  // one per tile, row after row
    // Per row of tiles, its newest stamp: most questions are about rows nothing touched.
    std::vector<uint64_t> row_stamps;
    // The same for every change but the pixels of lines: whoever keeps account of the lines
    // drawn over something learns here whether anything else was drawn there too.
    std::vector<uint64_t> area_stamps;
    std::vector<uint64_t> area_row_stamps;
};

// The stamp counter. A new stamp is only needed once someone has looked at the current one:
// until then, changes may share it (a needle's hundreds of single pixels do).
struct ChangeClock {
    uint64_t stamp = 1;
    bool seen = true;
};
extern ChangeClock g_change_clock;

// The newest stamp handed out; every change made from now on is newer.
inline uint64_t ChangeStampNow() {
    g_change_clock.seen = true;
    return g_change_clock.stamp;
}
// The stamp for an operation about to draw: newer than any stamp looked at so far.
inline uint64_t NextChangeStamp() {
    if (g_change_clock.seen) {
        ++g_change_clock.stamp;
        g_change_clock.seen = false;
    }
    return g_change_clock.stamp;
}

// `r` cut down to a surface of width x height (left and top at least 0).
inline RectI ClipToSize(RectI r, int width, int height) {
    if (r.left < 0) r.left = 0;
    if (r.top < 0) r.top = 0;
    if (r.right > width) r.right = width;
    if (r.bottom > height) r.bottom = height;
    return r;
}

// Sizes the map for a surface of width x height; every tile counts as changed now.
void ResizeChangeMap(ChangeMap& map, int width, int height);

// A pixel in the tile of (x, y) changed with `stamp`, as part of a line or not.
inline void MarkTileChanged(ChangeMap& map, int x, int y, uint64_t stamp, bool line = false) {
    const int row = y >> CHANGE_TILE_SHIFT;
    const size_t at = (size_t)row * map.columns + (x >> CHANGE_TILE_SHIFT);
    if (map.area_stamps[at] == stamp) return;   // marked so already (then so is the rest)
    map.stamps[at] = stamp;
    map.row_stamps[row] = stamp;
    if (line) return;
    map.area_stamps[at] = stamp;
    map.area_row_stamps[row] = stamp;
}

// Every tile that `r` touches (clipped to the surface) changed with `stamp`: for writers that
// do not compare.
void MarkRectChanged(ChangeMap& map, RectI r, uint64_t stamp);

// Some pixel in a tile that `r` touches changed after `since` (counting lines' pixels too, or
// not). Asked about every memo of every tick, so kept small and inline.
inline bool ChangedSince(const ChangeMap& map, RectI r, uint64_t since, bool lines_too = true) {
    r = ClipToSize(r, map.width, map.height);
    if (r.right <= r.left || r.bottom <= r.top) return false;
    const uint64_t* stamps = (lines_too ? map.stamps : map.area_stamps).data();
    const uint64_t* rows = (lines_too ? map.row_stamps : map.area_row_stamps).data();
    const int c0 = r.left >> CHANGE_TILE_SHIFT, c1 = (r.right - 1) >> CHANGE_TILE_SHIFT;
    const size_t columns = (size_t)map.columns;
    for (int row = r.top >> CHANGE_TILE_SHIFT, last = (r.bottom - 1) >> CHANGE_TILE_SHIFT; row <= last; ++row) {
        if (rows[row] <= since) continue;
        const uint64_t* tile = stamps + (size_t)row * columns;
        for (int c = c0; c <= c1; ++c)
            if (tile[c] > since) return true;
    }
    return false;
}

// Calls part(RectI) for every run of horizontally adjacent tiles in `r` that changed after
// `since`, each run clipped to `r` (and to the surface); runs come row of tiles by row. With
// `lines_too` false, changes made by drawing lines do not count.
template <typename Part>
void ForEachChangedRun(const ChangeMap& map, RectI r, uint64_t since, Part part, bool lines_too = true) {
    const std::vector<uint64_t>& all = lines_too ? map.stamps : map.area_stamps;
    const std::vector<uint64_t>& rows = lines_too ? map.row_stamps : map.area_row_stamps;
    r = ClipToSize(r, map.width, map.height);
    if (r.right <= r.left || r.bottom <= r.top) return;
    const int c0 = r.left >> CHANGE_TILE_SHIFT, c1 = (r.right - 1) >> CHANGE_TILE_SHIFT;
    const int r0 = r.top >> CHANGE_TILE_SHIFT, r1 = (r.bottom - 1) >> CHANGE_TILE_SHIFT;
    for (int row = r0; row <= r1; ++row) {
        if (rows[row] <= since) continue;
        const uint64_t* stamps = all.data() + (size_t)row * map.columns;
        const int top = row == r0 ? r.top : row << CHANGE_TILE_SHIFT;
        const int bottom = row == r1 ? r.bottom : (row + 1) << CHANGE_TILE_SHIFT;
        for (int c = c0; c <= c1; ++c) {
            if (stamps[c] <= since) continue;
            int end = c;
            while (end + 1 <= c1 && stamps[end + 1] > since) ++end;
            const int left = c == c0 ? r.left : c << CHANGE_TILE_SHIFT;
            const int right = end == c1 ? r.right : (end + 1) << CHANGE_TILE_SHIFT;
            part(RectI{left, top, right, bottom});
            c = end;
        }
    }
}

// The box of the tiles in `r` that changed after `since` (clipped to `r`); empty when none did.
inline RectI ChangedBox(const ChangeMap& map, RectI r, uint64_t since, bool lines_too = true) {
    RectI box{0, 0, 0, 0};
    ForEachChangedRun(map, r, since, [&box](const RectI& run) {
        if (box.right <= box.left) {
            box = run;
            return;
        }
        if (run.left < box.left) box.left = run.left;
        if (run.top < box.top) box.top = run.top;
        if (run.right > box.right) box.right = run.right;
        if (run.bottom > box.bottom) box.bottom = run.bottom;
    }, lines_too);
    return box;
}
