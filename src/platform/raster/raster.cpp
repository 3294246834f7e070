// The shared software raster: filled, gradient and rounded boxes, lines, discs,
// flood fill and blits on a 32-bit surface (the Raster* procedures of raster.h).
#include "platform/raster/raster.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <vector>

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

inline void FillSpan(Surface& s, int y, int x0, int x1, uint32_t pixel) {
    // x0 .. x1 inclusive, clipped here so callers can pass raw span ends.
    if (y < 0 || y >= s.height) return;
    if (x0 < 0) x0 = 0;
    if (x1 >= s.width) x1 = s.width - 1;
    if (x0 > x1) return;
    std::fill_n(s.pixels + (size_t)y * s.stride + x0, x1 - x0 + 1, pixel);
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

void RasterFillBox(Surface& s, int x, int y, int w, int h, Colour colour) {
    int x0, y0, x1, y1;
    if (!ClipBox(s, x0, y0, x1, y1, x, y, w, h)) return;
    uint32_t pixel = ToPixel(colour);
    for (int py = y0; py < y1; ++py) FillRun(s.pixels + (size_t)py * s.stride + x0, x1 - x0, pixel);
}

void RasterFillGradientBox(Surface& s, int x, int y, int w, int h, const Gradient& g) {
    int x0, y0, x1, y1;
    if (!ClipBox(s, x0, y0, x1, y1, x, y, w, h)) return;
    double dx = (double)g.x2 - g.x1, dy = (double)g.y2 - g.y1;
    double length2 = dx * dx + dy * dy;
    if (length2 == 0.0) {
        // A gradient line of no length has no direction; the whole box is its start colour.
        RasterFillBox(s, x0, y0, x1 - x0, y1 - y0, g.back);
        return;
    }
    double step_x = dx / length2;   // change of f per pixel to the right
    for (int py = y0; py < y1; ++py) {
        uint32_t* row = s.pixels + (size_t)py * s.stride;
        double row_f = ((x0 - g.x1) * dx + (py - g.y1) * dy) / length2;
        if (dx == 0.0) {
            // The usual vertical gradient: one colour per row.
            double f = std::clamp(row_f, 0.0, 1.0);
            std::fill_n(row + x0, x1 - x0, MixPixel(g.front, g.back, f));
            continue;
        }
        for (int px = x0; px < x1; ++px) {
            double f = std::clamp(row_f + (px - x0) * step_x, 0.0, 1.0);
            row[px] = MixPixel(g.front, g.back, f);
        }
    }
}

void RasterFillRoundBox(Surface& s, int x, int y, int w, int h, int rx, int ry, Colour colour) {
    if (w <= 0 || h <= 0) return;
    rx = std::clamp(rx, 0, w / 2);
    ry = std::clamp(ry, 0, h / 2);
    if (rx == 0 || ry == 0) {
        RasterFillBox(s, x, y, w, h, colour);
        return;
    }
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
        FillSpan(s, py, left, right, pixel);
    }
}

void RasterLine(Surface& s, int x1, int y1, int x2, int y2, Colour colour) {
    uint32_t pixel = ToPixel(colour);
    int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
    int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    int err = dx + dy;
    unsigned width = (unsigned)s.width, height = (unsigned)s.height;
    for (;;) {
        if ((unsigned)x1 < width && (unsigned)y1 < height) s.pixels[(size_t)y1 * s.stride + x1] = pixel;
        if (x1 == x2 && y1 == y2) break;
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
}

void RasterDisc(Surface& s, int x, int y, int r, Colour colour) {
    if (r < 0) return;
    uint32_t pixel = ToPixel(colour);
    long long r2 = (long long)r * r;
    int half = r;   // half-width of the current row; shrinks as |dy| grows
    for (int dy = 0; dy <= r; ++dy) {
        long long rest = r2 - (long long)dy * dy;
        while ((long long)half * half > rest) --half;
        FillSpan(s, y + dy, x - half, x + half, pixel);
        if (dy != 0) FillSpan(s, y - dy, x - half, x + half, pixel);
    }
}

void RasterFloodFill(Surface& s, int x, int y, Colour border, Colour fill) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.height) return;
    const uint32_t border_rgb = ToPixel(border) & PIXEL_RGB_MASK;
    const uint32_t fill_pixel = ToPixel(fill);
    auto at = [&](int px, int py) -> uint32_t& { return s.pixels[(size_t)py * s.stride + px]; };
    if ((at(x, y) & PIXEL_RGB_MASK) == border_rgb) return;

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
            at(px, p.y) = fill_pixel;
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
}

namespace {

// The part of src that lands on dst at (x, y): destination rectangle and source origin.
bool ClipBlit(const Surface& dst, const Surface& src, int x, int y, int& dx0, int& dy0, int& dx1,
              int& dy1) {
    return ClipBox(dst, dx0, dy0, dx1, dy1, x, y, src.width, src.height);
}

}  // namespace

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

// Source-over of one run with the source's straight alpha.
void BlendRun(uint32_t* to, const uint32_t* from, int n) {
    for (int i = 0; i < n; ++i) {
        uint32_t sp = from[i];
        uint32_t a = sp >> 24;
        if (a == 255) {
            to[i] = sp;
            continue;
        }
        if (a == 0) {
            to[i] |= PIXEL_OPAQUE;
            continue;
        }
        uint32_t dp = to[i], out = PIXEL_OPAQUE;
        for (int shift = 0; shift < 24; shift += 8) {
            uint32_t sc = (sp >> shift) & 255, dc = (dp >> shift) & 255;
            out |= ((sc * a + dc * (255 - a) + 127) / 255) << shift;
        }
        to[i] = out;
    }
}

}  // namespace

void RasterCopyPixels(uint32_t* to, const uint32_t* from, int count) {
    if (count > 0) CopyRunOpaque(to, from, count);
}

void RasterBlit(Surface& dst, const Surface& src, int x, int y) {
    int dx0, dy0, dx1, dy1;
    if (!ClipBlit(dst, src, x, y, dx0, dy0, dx1, dy1)) return;
    for (int py = dy0; py < dy1; ++py) {
        const uint32_t* from = src.pixels + (size_t)(py - y) * src.stride + (dx0 - x);
        uint32_t* to = dst.pixels + (size_t)py * dst.stride + dx0;
        CopyRunOpaque(to, from, dx1 - dx0);
    }
}

void RasterBlitAlpha(Surface& dst, const Surface& src, int x, int y) {
    int dx0, dy0, dx1, dy1;
    if (!ClipBlit(dst, src, x, y, dx0, dy0, dx1, dy1)) return;
    const int n = dx1 - dx0;
    for (int py = dy0; py < dy1; ++py) {
        const uint32_t* from = src.pixels + (size_t)(py - y) * src.stride + (dx0 - x);
        uint32_t* to = dst.pixels + (size_t)py * dst.stride + dx0;
        // Images are usually opaque throughout (the program's cover plates are): such a row
        // is a plain copy.
        if (RunOpaque(from, n)) std::memcpy(to, from, (size_t)n * sizeof(uint32_t));
        else BlendRun(to, from, n);
    }
}

bool RasterOpaque(const Surface& s) {
    for (int py = 0; py < s.height; ++py)
        if (!RunOpaque(s.pixels + (size_t)py * s.stride, s.width)) return false;
    return true;
}
