// The shared software raster: filled, gradient and rounded boxes, lines, discs,
// flood fill and blits on a 32-bit surface (the Raster* procedures of raster.h).
#include "platform/raster/raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/raster/dirty_rects.h"

namespace {

// Intersects [x, x + w) x [y, y + h) with the surface; false when nothing is left.
bool ClipBox(const Surface& s, int& x0, int& y0, int& x1, int& y1, int x, int y, int w, int h) {
    if (w <= 0 || h <= 0) return false;
    long long left = x, top = y, right = (long long)x + w, bottom = (long long)y + h;
    left = std::max(left, 0LL);
    top = std::max(top, 0LL);
    right = std::min(right, (long long)s.width);
    bottom = std::min(bottom, (long long)s.height);
    if (left >= right || top >= bottom) return false;
    x0 = (int)left;
    y0 = (int)top;
    x1 = (int)right;
    y1 = (int)bottom;
    return true;
}

// One primitive's writes: with a change map, the stamp its changes get and whether it made any.
struct Writes {
    ChangeMap* map;
    uint64_t stamp;
    bool line;                 // the pixels of a line (changes.h keeps them apart)
    bool changed = false;
    explicit Writes(const Surface& s, bool of_line = false)
        : map(s.changes), stamp(s.changes ? NextChangeStamp() : 0), line(of_line) {}
    void Tile(int x, int y) {
        changed = true;
        if (map) MarkTileChanged(*map, x, y, stamp, line);
    }
    // One pixel: written only when it differs.
    void Put(uint32_t* p, int x, int y, uint32_t pixel) {
        if (!map) {
            *p = pixel;
            changed = true;
        } else if (*p != pixel) {
            *p = pixel;
            Tile(x, y);
        }
    }
};

// A run of one pixel value. The C library's wide-character fill is a tuned 32-bit fill
// (wider stores than the compiler's loop); long runs such as the scope boxes gain from it.
inline void FillRun(uint32_t* to, int n, uint32_t pixel) {
    if constexpr (sizeof(wchar_t) == sizeof(uint32_t)) {
        if (n >= 64) {
            std::wmemset(reinterpret_cast<wchar_t*>(to), (wchar_t)pixel, (size_t)n);
            return;
        }
    }
    std::fill_n(to, n, pixel);
}

// Some pixel of the n (at most 8) at p is not `pixel`.
inline bool DiffersFrom(const uint32_t* p, int n, uint32_t pixel) {
#if defined(__SSE2__)
    if (n == CHANGE_TILE) {
        const __m128i v = _mm_set1_epi32((int)pixel);
        __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128((const __m128i*)p), v);
        __m128i b = _mm_cmpeq_epi32(_mm_loadu_si128((const __m128i*)(p + 4)), v);
        return _mm_movemask_epi8(_mm_and_si128(a, b)) != 0xFFFF;
    }
#endif
    uint32_t differ = 0;
    for (int i = 0; i < n; ++i) differ |= p[i] ^ pixel;
    return differ != 0;
}

// Some pixel of the n (at most 8) at `to` differs from the opaque one at `from`.
inline bool DiffersFromOpaque(const uint32_t* to, const uint32_t* from, int n) {
#if defined(__SSE2__)
    if (n == CHANGE_TILE) {
        const __m128i alpha = _mm_set1_epi32((int)PIXEL_OPAQUE);
        __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128((const __m128i*)to),
                                    _mm_or_si128(_mm_loadu_si128((const __m128i*)from), alpha));
        __m128i b = _mm_cmpeq_epi32(_mm_loadu_si128((const __m128i*)(to + 4)),
                                    _mm_or_si128(_mm_loadu_si128((const __m128i*)(from + 4)), alpha));
        return _mm_movemask_epi8(_mm_and_si128(a, b)) != 0xFFFF;
    }
#endif
    uint32_t differ = 0;
    for (int i = 0; i < n; ++i) differ |= to[i] ^ (from[i] | PIXEL_OPAQUE);
    return differ != 0;
}

// Every one of the n pixels at p is `pixel`. Most runs a tick draws are unchanged, so this
// look at the whole run comes first.
inline bool RunHolds(const uint32_t* p, int n, uint32_t pixel) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i v = _mm_set1_epi32((int)pixel);
    for (; i + 4 <= n; i += 4)
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_loadu_si128((const __m128i*)(p + i)), v)) != 0xFFFF) return false;
#endif
    for (; i < n; ++i)
        if (p[i] != pixel) return false;
    return true;
}

// Every one of the n pixels at `to` is the opaque one at `from`.
inline bool RunHoldsOpaque(const uint32_t* to, const uint32_t* from, int n) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32((int)PIXEL_OPAQUE);
    for (; i + 4 <= n; i += 4) {
        __m128i a = _mm_loadu_si128((const __m128i*)(to + i));
        __m128i b = _mm_or_si128(_mm_loadu_si128((const __m128i*)(from + i)), alpha);
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(a, b)) != 0xFFFF) return false;
    }
#endif
    for (; i < n; ++i)
        if (to[i] != (from[i] | PIXEL_OPAQUE)) return false;
    return true;
}

// Row y, x0 .. x1 - 1 (already clipped), filled with `pixel`: with a change map, a tile's
// part of the run at a time, each written only when some pixel of it differs.
inline void FillRow(const Surface& s, Writes& w, int y, int x0, int x1, uint32_t pixel) {
    uint32_t* row = s.pixels + (size_t)y * s.stride;
    if (!w.map) {
        FillRun(row + x0, x1 - x0, pixel);
        w.changed = true;
        return;
    }
    if (RunHolds(row + x0, x1 - x0, pixel)) return;
    for (int x = x0; x < x1;) {
        const int end = std::min(x1, (x | (CHANGE_TILE - 1)) + 1);
        if (DiffersFrom(row + x, end - x, pixel)) {
            std::fill(row + x, row + end, pixel);
            w.Tile(x, y);
        }
        x = end;
    }
}

inline void FillSpan(const Surface& s, Writes& w, int y, int x0, int x1, uint32_t pixel) {
    // x0 .. x1 inclusive, clipped here so callers can pass raw span ends.
    if (y < 0 || y >= s.height) return;
    if (x0 < 0) x0 = 0;
    if (x1 >= s.width) x1 = s.width - 1;
    if (x0 > x1) return;
    FillRow(s, w, y, x0, x1 + 1, pixel);
}

// Row y, x0 .. x1 - 1, from `from` (the source's pixels for x0 on), made opaque.
inline void CopyRow(const Surface& s, Writes& w, int y, int x0, int x1, const uint32_t* from) {
    uint32_t* row = s.pixels + (size_t)y * s.stride;
    if (!w.map) {
        RasterCopyPixels(row + x0, from, x1 - x0);
        w.changed = true;
        return;
    }
    if (RunHoldsOpaque(row + x0, from, x1 - x0)) return;
    from -= x0;
    for (int x = x0; x < x1;) {
        const int end = std::min(x1, (x | (CHANGE_TILE - 1)) + 1);
        if (DiffersFromOpaque(row + x, from + x, end - x)) {
#if defined(__SSE2__)
            if (end - x == CHANGE_TILE) {
                const __m128i alpha = _mm_set1_epi32((int)PIXEL_OPAQUE);
                _mm_storeu_si128((__m128i*)(row + x), _mm_or_si128(_mm_loadu_si128((const __m128i*)(from + x)), alpha));
                _mm_storeu_si128((__m128i*)(row + x + 4),
                                 _mm_or_si128(_mm_loadu_si128((const __m128i*)(from + x + 4)), alpha));
                w.Tile(x, y);
                x = end;
                continue;
            }
#endif
            for (int i = x; i < end; ++i) row[i] = from[i] | PIXEL_OPAQUE;
            w.Tile(x, y);
        }
        x = end;
    }
}

inline uint32_t MixChannel(int front, int back, double f) {
    return (uint32_t)std::nearbyint(front * f + back * (1.0 - f));
}

inline uint32_t MixPixel(Colour front, Colour back, double f) {
    uint32_t r = MixChannel(ColourRed(front), ColourRed(back), f);
    uint32_t g = MixChannel(ColourGreen(front), ColourGreen(back), f);
    uint32_t b = MixChannel(ColourBlue(front), ColourBlue(back), f);
    return MakePixel(r, g, b);
}

}  // namespace

bool RasterFillBox(Surface& s, int x, int y, int w, int h, Colour colour) {
    int x0, y0, x1, y1;
    if (!ClipBox(s, x0, y0, x1, y1, x, y, w, h)) return false;
    Writes writes(s);
    const uint32_t pixel = ToPixel(colour);
    for (int py = y0; py < y1; ++py) FillRow(s, writes, py, x0, x1, pixel);
    return writes.changed;
}

bool RasterFillGradientBox(Surface& s, int x, int y, int w, int h, const Gradient& g) {
    int x0, y0, x1, y1;
    if (!ClipBox(s, x0, y0, x1, y1, x, y, w, h)) return false;
    double dx = (double)g.x2 - g.x1, dy = (double)g.y2 - g.y1;
    double length2 = dx * dx + dy * dy;
    if (length2 == 0.0) {
        // A gradient line of no length has no direction; the whole box is its start colour.
        return RasterFillBox(s, x0, y0, x1 - x0, y1 - y0, g.back);
    }
    Writes writes(s);
    double step_x = dx / length2;   // change of f per pixel to the right
    for (int py = y0; py < y1; ++py) {
        uint32_t* row = s.pixels + (size_t)py * s.stride;
        double row_f = ((x0 - g.x1) * dx + (py - g.y1) * dy) / length2;
        if (dx == 0.0) {
            // The usual vertical gradient: one colour per row.
            double f = std::clamp(row_f, 0.0, 1.0);
            FillRow(s, writes, py, x0, x1, MixPixel(g.front, g.back, f));
            continue;
        }
        for (int px = x0; px < x1; ++px) {
            double f = std::clamp(row_f + (px - x0) * step_x, 0.0, 1.0);
            writes.Put(row + px, px, py, MixPixel(g.front, g.back, f));
        }
    }
    return writes.changed;
}

bool RasterFillRoundBox(Surface& s, int x, int y, int w, int h, int rx, int ry, Colour colour) {
    if (w <= 0 || h <= 0) return false;
    rx = std::clamp(rx, 0, w / 2);
    ry = std::clamp(ry, 0, h / 2);
    if (rx == 0 || ry == 0) return RasterFillBox(s, x, y, w, h, colour);
    Writes writes(s);
    uint32_t pixel = ToPixel(colour);
    int row_start = std::max(y, 0), row_end = std::min(y + h, s.height);
    for (int py = row_start; py < row_end; ++py) {
        // Distance of the pixel centre into a corner band, measured from the corner
        // ellipses' centre line; zero in the straight middle part of the box.
        double cy = py + 0.5;
        double into = 0.0;
        if (cy < y + ry) into = (y + ry) - cy;
        else if (cy > y + h - ry) into = cy - (y + h - ry);
        double inset = 0.0;
        if (into > 0.0) {
            double t = into / ry;
            if (t > 1.0) continue;
            inset = rx - rx * std::sqrt(1.0 - t * t);
        }
        // Pixel centres px + 0.5 within [x + inset, x + w - inset].
        int left = (int)std::ceil(x + inset - 0.5);
        int right = (int)std::floor(x + w - inset - 0.5);
        FillSpan(s, writes, py, left, right, pixel);
    }
    return writes.changed;
}

namespace {

// Stamps the tiles a line changes; a line stays in one tile for several pixels, so the tile
// it is in is remembered.
struct LineMarks {
    ChangeMap* map;
    uint64_t stamp;
    bool line;
    size_t last = SIZE_MAX;
    void MarkTile(size_t at, int row) {
        if (at == last) return;
        last = at;
        map->stamps[at] = stamp;
        map->row_stamps[row] = stamp;
        if (line) return;
        map->area_stamps[at] = stamp;
        map->area_row_stamps[row] = stamp;
    }
    void Mark(int x, int y) {
        const int row = y >> CHANGE_TILE_SHIFT;
        MarkTile((size_t)row * map->columns + (x >> CHANGE_TILE_SHIFT), row);
    }
};

// A line whose box covers at most this many tiles stamps them all when it changed a pixel,
// rather than each tile it changed: a short steep line (a scope trace's) costs a few stores
// instead of some per pixel, and stamps at most a tile or two it did not change.
constexpr int LINE_BOX_TILES = 8;

// The Bresenham walk from (x1, y1) to (x2, y2), both ends included, over the pixels inside
// `clip` (already within the surface): each set to `pixel`, or with RESTORE to the pixel of
// `from` lying at (fx, fy), made opaque. INSIDE: the whole line lies in `clip`. MARK: stamp
// the tiles of changed pixels as they change. Says whether a pixel changed.
//
// A steep line steps y at every pixel and a shallow one x, and both step the other way when
// twice the error reaches the minor extent: each gets its own loop, with its major step taken
// unconditionally, and pixels of inside lines written without a branch.
template <bool RESTORE, bool INSIDE, bool MARK>
inline __attribute__((always_inline)) bool Walk(Surface& s, int x1, int y1, int x2, int y2, const RectI& clip, uint32_t pixel, const Surface* from,
          int fx, int fy, LineMarks& marks) {
    const int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
    const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    const ptrdiff_t step_y = (ptrdiff_t)sy * s.stride;
    uint32_t* p = s.pixels + (ptrdiff_t)y1 * s.stride + x1;
    const uint32_t* q = nullptr;
    ptrdiff_t from_step_y = 0;
    if (RESTORE) {
        q = from->pixels + (ptrdiff_t)(y1 - fy) * from->stride + (x1 - fx);
        from_step_y = (ptrdiff_t)sy * from->stride;
    }
    uint32_t differ = 0;
    int err = dx + dy;
    auto put = [&](int x, int y) {
        if (!INSIDE && (x < clip.left || x >= clip.right || y < clip.top || y >= clip.bottom)) return;
        const uint32_t v = RESTORE ? (*q | PIXEL_OPAQUE) : pixel;
        if (MARK) {
            if (*p != v) {
                *p = v;
                differ = 1;
                marks.Mark(x, y);
            }
            return;
        }
        differ |= *p ^ v;
        *p = v;
    };
    if (-dy >= dx) {
        // Steep: y steps at every pixel.
        for (int n = -dy;; --n) {
            put(x1, y1);
            if (n == 0) break;
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x1 += sx;
                p += sx;
                if (RESTORE) q += sx;
            }
            err += dx;
            y1 += sy;
            p += step_y;
            if (RESTORE) q += from_step_y;
        }
    } else {
        // Shallow: x steps at every pixel.
        for (int n = dx;; --n) {
            put(x1, y1);
            if (n == 0) break;
            const int e2 = 2 * err;
            err += dy;
            x1 += sx;
            p += sx;
            if (RESTORE) q += sx;
            if (e2 <= dx) {
                err += dx;
                y1 += sy;
                p += step_y;
                if (RESTORE) q += from_step_y;
            }
        }
    }
    return differ != 0;
}

template <bool RESTORE>
inline __attribute__((always_inline)) bool WalkSegment(Surface& s, int x1, int y1, int x2, int y2, const RectI& clip, uint32_t pixel, const Surface* from,
                 int fx, int fy, LineMarks& marks) {
    const int left = std::min(x1, x2), right = std::max(x1, x2), top = std::min(y1, y2), bottom = std::max(y1, y2);
    if (right < clip.left || left >= clip.right || bottom < clip.top || top >= clip.bottom) return false;
    const bool inside = left >= clip.left && right < clip.right && top >= clip.top && bottom < clip.bottom;
    if (!marks.map) {
        // Untracked: written as always.
        if (inside) Walk<RESTORE, true, false>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks);
        else Walk<RESTORE, false, false>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks);
        return true;
    }
    const int c0 = std::max(left, clip.left) >> CHANGE_TILE_SHIFT;
    const int c1 = (std::min(right + 1, clip.right) - 1) >> CHANGE_TILE_SHIFT;
    const int r0 = std::max(top, clip.top) >> CHANGE_TILE_SHIFT;
    const int r1 = (std::min(bottom + 1, clip.bottom) - 1) >> CHANGE_TILE_SHIFT;
    if ((c1 - c0 + 1) * (r1 - r0 + 1) > LINE_BOX_TILES)
        return inside ? Walk<RESTORE, true, true>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks)
                      : Walk<RESTORE, false, true>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks);
    const bool changed = inside ? Walk<RESTORE, true, false>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks)
                                : Walk<RESTORE, false, false>(s, x1, y1, x2, y2, clip, pixel, from, fx, fy, marks);
    if (!changed) return false;
    for (int row = r0; row <= r1; ++row)
        for (int c = c0; c <= c1; ++c) marks.MarkTile((size_t)row * marks.map->columns + c, row);
    return true;
}

// The segments between consecutive points, each walked as one line; one stamp for them all.
template <bool RESTORE>
bool WalkPolyline(Surface& s, const PointI* points, int count, RectI clip, uint32_t pixel, const Surface* from,
                  int fx, int fy, bool line) {
    clip = ClipToSize(clip, s.width, s.height);
    if (clip.left >= clip.right || clip.top >= clip.bottom || count < 2) return false;
    LineMarks marks{s.changes, s.changes ? NextChangeStamp() : 0, line};
    bool changed = false;
    for (int i = 0; i + 1 < count; ++i)
        changed |= WalkSegment<RESTORE>(s, points[i].x, points[i].y, points[i + 1].x, points[i + 1].y, clip, pixel,
                                        from, fx, fy, marks);
    return changed;
}

}  // namespace

bool RasterLine(Surface& s, int x1, int y1, int x2, int y2, Colour colour) {
    const uint32_t pixel = ToPixel(colour);
    if (y1 == y2 && (unsigned)y1 < (unsigned)s.height) {   // one run: compared a few pixels at a time
        Writes writes(s, true);
        int left = std::max(std::min(x1, x2), 0), right = std::min(std::max(x1, x2), s.width - 1);
        if (left <= right) FillRow(s, writes, y1, left, right + 1, pixel);
        return writes.changed;
    }
    const PointI ends[2] = {{x1, y1}, {x2, y2}};
    return WalkPolyline<false>(s, ends, 2, RectI{0, 0, s.width, s.height}, pixel, nullptr, 0, 0, true);
}

bool RasterLines(Surface& s, const PointI* points, int count, Colour colour) {
    if (count == 2) return RasterLine(s, points[0].x, points[0].y, points[1].x, points[1].y, colour);
    return WalkPolyline<false>(s, points, count, RectI{0, 0, s.width, s.height}, ToPixel(colour), nullptr, 0, 0, true);
}

bool RasterRestoreLines(Surface& dst, const Surface& src, int x, int y, const PointI* points, int count, RectI clip) {
    clip.left = std::max(clip.left, x);
    clip.top = std::max(clip.top, y);
    clip.right = std::min(clip.right, x + src.width);
    clip.bottom = std::min(clip.bottom, y + src.height);
    // Not counted as a line's pixels: whoever keeps account of lines drawn here has not seen
    // these.
    return WalkPolyline<true>(dst, points, count, clip, 0, &src, x, y, false);
}

bool RasterDisc(Surface& s, int x, int y, int r, Colour colour) {
    if (r < 0) return false;
    Writes writes(s);
    uint32_t pixel = ToPixel(colour);
    long long r2 = (long long)r * r;
    int half = r;   // half-width of the current row; shrinks as |dy| grows
    for (int dy = 0; dy <= r; ++dy) {
        long long rest = r2 - (long long)dy * dy;
        while ((long long)half * half > rest) --half;
        FillSpan(s, writes, y + dy, x - half, x + half, pixel);
        if (dy != 0) FillSpan(s, writes, y - dy, x - half, x + half, pixel);
    }
    return writes.changed;
}

bool RasterFloodFill(Surface& s, int x, int y, Colour border, Colour fill) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) return false;
    const uint32_t border_rgb = ToPixel(border) & PIXEL_RGB_MASK;
    const uint32_t fill_pixel = ToPixel(fill);
    auto at = [&](int px, int py) -> uint32_t& { return s.pixels[(size_t)py * s.stride + px]; };
    if ((at(x, y) & PIXEL_RGB_MASK) == border_rgb) return false;
    Writes writes(s);

    // A visited mask rather than "not yet the fill colour": pixels that already have the
    // fill colour must still pass the fill on to what lies behind them.
    std::vector<uint8_t> seen((size_t)s.width * s.height, 0);
    auto open = [&](int px, int py) {
        return !seen[(size_t)py * s.width + px] && (at(px, py) & PIXEL_RGB_MASK) != border_rgb;
    };
    std::vector<PointI> stack;
    stack.push_back({x, y});
    while (!stack.empty()) {
        PointI p = stack.back();
        stack.pop_back();
        if (!open(p.x, p.y)) continue;
        // Fill the whole run on this row, then queue the runs touching it above and below.
        int left = p.x, right = p.x;
        while (left > 0 && open(left - 1, p.y)) --left;
        while (right < s.width - 1 && open(right + 1, p.y)) ++right;
        for (int px = left; px <= right; ++px) {
            seen[(size_t)p.y * s.width + px] = 1;
            writes.Put(&at(px, p.y), px, p.y, fill_pixel);
        }
        for (int ny : {p.y - 1, p.y + 1}) {
            if (ny < 0 || ny >= s.height) continue;
            bool in_run = false;
            for (int px = left; px <= right; ++px) {
                bool o = open(px, ny);
                if (o && !in_run) stack.push_back({px, ny});
                in_run = o;
            }
        }
    }
    return writes.changed;
}

namespace {

// True when every pixel of the run has alpha 255. The AND of the run vectorises, so checking
// first and then copying whole rows is far cheaper than deciding pixel by pixel.
inline bool RunOpaque(const uint32_t* p, int n) {
    uint32_t all = PIXEL_OPAQUE;
    for (int i = 0; i < n; ++i) all &= p[i];
    return (all & PIXEL_OPAQUE) == PIXEL_OPAQUE;
}

// Plain copy of one run: the destination is always opaque.
inline void CopyRunOpaque(uint32_t* to, const uint32_t* from, int n) {
    if (RunOpaque(from, n)) {
        std::memcpy(to, from, (size_t)n * sizeof(uint32_t));
        return;
    }
    for (int i = 0; i < n; ++i) to[i] = from[i] | PIXEL_OPAQUE;
}

// Source-over of one pixel with the source's straight alpha.
inline uint32_t Blend(uint32_t sp, uint32_t dp) {
    uint32_t a = sp >> 24;
    if (a == 255) return sp;
    if (a == 0) return dp | PIXEL_OPAQUE;
    uint32_t out = PIXEL_OPAQUE;
    for (int shift = 0; shift < 24; shift += 8) {
        uint32_t sc = (sp >> shift) & 255, dc = (dp >> shift) & 255;
        out |= ((sc * a + dc * (255 - a) + 127) / 255) << shift;
    }
    return out;
}

}  // namespace

void RasterCopyPixels(uint32_t* to, const uint32_t* from, int count) {
    if (count > 0) CopyRunOpaque(to, from, count);
}

bool RasterBlitPart(Surface& dst, const Surface& src, int x, int y, RectI area) {
    int dx0, dy0, dx1, dy1;
    if (!ClipBox(dst, dx0, dy0, dx1, dy1, x, y, src.width, src.height)) return false;
    dx0 = std::max(dx0, area.left);
    dy0 = std::max(dy0, area.top);
    dx1 = std::min(dx1, area.right);
    dy1 = std::min(dy1, area.bottom);
    if (dx0 >= dx1 || dy0 >= dy1) return false;
    Writes writes(dst);
    for (int py = dy0; py < dy1; ++py)
        CopyRow(dst, writes, py, dx0, dx1, src.pixels + (size_t)(py - y) * src.stride + (dx0 - x));
    return writes.changed;
}

bool RasterBlit(Surface& dst, const Surface& src, int x, int y) {
    return RasterBlitPart(dst, src, x, y, RectI{0, 0, dst.width, dst.height});
}

bool RasterBlitAlpha(Surface& dst, const Surface& src, int x, int y) {
    int dx0, dy0, dx1, dy1;
    if (!ClipBox(dst, dx0, dy0, dx1, dy1, x, y, src.width, src.height)) return false;
    Writes writes(dst);
    const int n = dx1 - dx0;
    for (int py = dy0; py < dy1; ++py) {
        const uint32_t* from = src.pixels + (size_t)(py - y) * src.stride + (dx0 - x);
        // Images are usually opaque throughout (the program's cover plates are): such a row
        // is a plain copy.
        if (RunOpaque(from, n)) {
            CopyRow(dst, writes, py, dx0, dx1, from);
            continue;
        }
        uint32_t* to = dst.pixels + (size_t)py * dst.stride + dx0;
        for (int i = 0; i < n; ++i) writes.Put(to + i, dx0 + i, py, Blend(from[i], to[i]));
    }
    return writes.changed;
}

RectI RasterMoveArea(Surface& s, RectI area, int dx, int dy, bool compare) {
    area = ClipToSize(area, s.width, s.height);
    const RectI to = ClipToSize(RectI{area.left + dx, area.top + dy, area.right + dx, area.bottom + dy}, s.width, s.height);
    if (to.left >= to.right || to.top >= to.bottom || area.left >= area.right || area.top >= area.bottom)
        return RectI{0, 0, 0, 0};
    // Rows in the order that reads each before it is written over.
    const int first = dy > 0 ? to.bottom - 1 : to.top, last = dy > 0 ? to.top - 1 : to.bottom;
    const int step = dy > 0 ? -1 : 1;
    if (!s.changes || !compare) {
        const size_t bytes = (size_t)(to.right - to.left) * sizeof(uint32_t);
        for (int y = first; y != last; y += step)
            std::memmove(s.pixels + (size_t)y * s.stride + to.left,
                         s.pixels + (size_t)(y - dy) * s.stride + to.left - dx, bytes);
        if (s.changes) MarkRectChanged(*s.changes, to, NextChangeStamp());
        return to;
    }
    // Tracked: rows that would change are moved and their tiles stamped; most rows of a strip
    // chart are its background throughout and stay as they are.
    const uint64_t stamp = NextChangeStamp();
    const size_t bytes = (size_t)(to.right - to.left) * sizeof(uint32_t);
    RectI changed{0, 0, 0, 0};
    for (int y = first; y != last; y += step) {
        uint32_t* row = s.pixels + (size_t)y * s.stride + to.left;
        const uint32_t* from = s.pixels + (size_t)(y - dy) * s.stride + to.left - dx;
        if (std::memcmp(row, from, bytes) == 0) continue;
        std::memmove(row, from, bytes);
        const RectI moved{to.left, y, to.right, y + 1};
        MarkRectChanged(*s.changes, moved, stamp);
        changed = DirtyRectEmpty(changed) ? moved : DirtyRectJoin(changed, moved);
    }
    return changed;
}

bool RasterPixel(Surface& s, int x, int y, Colour colour) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) return false;
    Writes writes(s);
    writes.Put(s.pixels + (size_t)y * s.stride + x, x, y, ToPixel(colour));
    return writes.changed;
}

bool RasterOpaque(const Surface& s) {
    for (int py = 0; py < s.height; ++py)
        if (!RunOpaque(s.pixels + (size_t)py * s.stride, s.width)) return false;
    return true;
}
