// The software raster both backends draw with: the aliased drawing primitives on a 32-bit
// pixel surface, with exactly the pixel coverage the seam defines for each operation.
// Pixels are 0xAARRGGBB, that is B, G, R, A in memory: the layout of a 32-bit DIB section
// and of a 24/32-bit X11 window surface, so either can be drawn into or shown without a
// conversion. Every primitive writes opaque pixels (alpha 255). All primitives clip to the
// surface.
//
// A surface may carry a change map (changes.h). Then the primitives compare before they write,
// leave pixels that already hold their value alone, and stamp the tiles whose pixels they
// really changed; each primitive says whether it changed anything. Without a map they simply
// write (and say they changed something).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/raster/changes.h"

struct Surface {
    int width = 0;
    int height = 0;
    int stride = 0;            // pixels per row
    uint32_t* pixels = nullptr;
    ChangeMap* changes = nullptr;   // the whole surface's, or null
};

constexpr uint32_t PIXEL_OPAQUE = 0xFF000000u;
constexpr uint32_t PIXEL_RGB_MASK = 0x00FFFFFFu;
constexpr uint32_t MakePixel(uint32_t r, uint32_t g, uint32_t b) { return (r << 16) | (g << 8) | b | PIXEL_OPAQUE; }
constexpr uint32_t PixelRed(uint32_t pixel) { return (pixel >> 16) & 255; }
constexpr uint32_t PixelGreen(uint32_t pixel) { return (pixel >> 8) & 255; }
constexpr uint32_t PixelBlue(uint32_t pixel) { return pixel & 255; }
// Colour (0x00BBGGRR) <-> opaque pixel (0xFFRRGGBB): red and blue trade places.
constexpr uint32_t ToPixel(Colour c) {
    return ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu) | PIXEL_OPAQUE;
}
constexpr Colour ToColour(uint32_t pixel) {
    return ((pixel >> 16) & 0xFFu) | (pixel & 0xFF00u) | ((pixel & 0xFFu) << 16);
}

struct Gradient {
    int x1, y1, x2, y2;        // f = 0 at (x1, y1), 1 at (x2, y2), projected and clamped
    Colour front, back;        // pixel = front * f + back * (1 - f), per channel, rounded
};

// x .. x + w - 1, y .. y + h - 1.
bool RasterFillBox(Surface& s, int x, int y, int w, int h, Colour colour);
bool RasterFillGradientBox(Surface& s, int x, int y, int w, int h, const Gradient& g);
// Box (x, y, w, h) with elliptic corners of radii rx, ry, each limited to half the box's
// extent in its direction.
bool RasterFillRoundBox(Surface& s, int x, int y, int w, int h, int rx, int ry, Colour colour);
// Bresenham line, both end points included.
bool RasterLine(Surface& s, int x1, int y1, int x2, int y2, Colour colour);
// Lines from each of `count` points to the next, as RasterLine draws each.
bool RasterLines(Surface& s, const PointI* points, int count, Colour colour);
// The pixels those lines would take, inside `clip`, given back the values of src lying at
// (x, y) (made opaque): lines drawn over a copied image undone.
bool RasterRestoreLines(Surface& dst, const Surface& src, int x, int y, const PointI* points, int count, RectI clip);
// All pixels (px, py) with (px - x)^2 + (py - y)^2 <= r^2; radius 0 is the single pixel.
bool RasterDisc(Surface& s, int x, int y, int r, Colour colour);
// 4-connected fill from (x, y) over every pixel whose colour is not `border`.
// Nothing happens when (x, y) is outside or already the border colour.
bool RasterFloodFill(Surface& s, int x, int y, Colour border, Colour fill);
// Opaque copy of src at (x, y) / source-over blend with src's alpha (straight alpha).
bool RasterBlit(Surface& dst, const Surface& src, int x, int y);
bool RasterBlitAlpha(Surface& dst, const Surface& src, int x, int y);
// Opaque copy of the part `area` (dst coordinates) of src lying at (x, y).
bool RasterBlitPart(Surface& dst, const Surface& src, int x, int y, RectI area);
// The pixels of `area` (clipped to the surface) copied (dx, dy) further, over what lies there,
// within the surface. Returns the part that changed (with a change map; else all it wrote).
// `compare` false: every moved pixel counts as changed (and is stamped so).
RectI RasterMoveArea(Surface& s, RectI area, int dx, int dy, bool compare = true);
// One pixel, opaque.
bool RasterPixel(Surface& s, int x, int y, Colour colour);
// Copies `count` pixels, making them opaque (whole runs are a memcpy when already opaque); no
// change map is told.
void RasterCopyPixels(uint32_t* to, const uint32_t* from, int count);
// Every pixel has alpha 255.
bool RasterOpaque(const Surface& s);
