// The change stamps of raster surfaces (changes.h).
#include "platform/raster/changes.h"

#include <algorithm>

ChangeClock g_change_clock;

void ResizeChangeMap(ChangeMap& map, int width, int height) {
    map.width = std::max(0, width);
    map.height = std::max(0, height);
    map.columns = (map.width + CHANGE_TILE - 1) >> CHANGE_TILE_SHIFT;
    map.rows = (map.height + CHANGE_TILE - 1) >> CHANGE_TILE_SHIFT;
    const uint64_t now = NextChangeStamp();
    map.stamps.assign((size_t)map.columns * map.rows, now);
    map.row_stamps.assign((size_t)map.rows, now);
    map.area_stamps = map.stamps;
    map.area_row_stamps = map.row_stamps;
}

void MarkRectChanged(ChangeMap& map, RectI r, uint64_t stamp) {
    r = ClipToSize(r, map.width, map.height);
    if (r.right <= r.left || r.bottom <= r.top) return;
    const int c0 = r.left >> CHANGE_TILE_SHIFT, c1 = (r.right - 1) >> CHANGE_TILE_SHIFT;
    for (int row = r.top >> CHANGE_TILE_SHIFT; row <= (r.bottom - 1) >> CHANGE_TILE_SHIFT; ++row) {
        std::fill(map.stamps.begin() + (size_t)row * map.columns + c0,
                  map.stamps.begin() + (size_t)row * map.columns + c1 + 1, stamp);
        std::fill(map.area_stamps.begin() + (size_t)row * map.columns + c0,
                  map.area_stamps.begin() + (size_t)row * map.columns + c1 + 1, stamp);
        map.row_stamps[row] = stamp;
        map.area_row_stamps[row] = stamp;
    }
}

