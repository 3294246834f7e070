// The software raster both backends draw with: the aliased drawing primitives on a 32-bit
// pixel surface, with exactly the pixel coverage the seam defines for each operation.
// Pixels are 0xAARRGGBB, that is B, G, R, A in memory: the layout of a 32-bit DIB section
// and of a 24/32-bit X11 window surface, so either can be drawn into or shown without a
// conversion. Every primitive writes opaque pixels (alpha 255). All primitives clip to the
// surface.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct Surface {
    int width = 0;
    int height = 0;
    int stride = 0;            // pixels per row
    uint32_t* pixels = nullptr;
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
void RasterFillBox(Surface& s, int x, int y, int w, int h, Colour colour);
void RasterFillGradientBox(Surface& s, int x, int y, int w, int h, const Gradient& g);
// Box (x, y, w, h) with elliptic corners of radii rx, ry, each limited to half the box's
// extent in its direction.
void RasterFillRoundBox(Surface& s, int x, int y, int w, int h, int rx, int ry, Colour colour);
// Bresenham line, both end points included.
void RasterLine(Surface& s, int x1, int y1, int x2, int y2, Colour colour);
// All pixels (px, py) with (px - x)^2 + (py - y)^2 <= r^2; radius 0 is the single pixel.
void RasterDisc(Surface& s, int x, int y, int r, Colour colour);
// 4-connected fill from (x, y) over every pixel whose colour is not `border`.
// Nothing happens when (x, y) is outside or already the border colour.
void RasterFloodFill(Surface& s, int x, int y, Colour border, Colour fill);
// Opaque copy of src at (x, y) / source-over blend with src's alpha (straight alpha).
void RasterBlit(Surface& dst, const Surface& src, int x, int y);
void RasterBlitAlpha(Surface& dst, const Surface& src, int x, int y);
