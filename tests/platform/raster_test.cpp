// Pixel coverage of the portable raster primitives, checked against each operation's
// definition on small surfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include "platform/raster/dirty_rects.h"
#include "platform/raster/raster.h"

namespace {

const Colour RED = MakeColour(255, 0, 0);
const Colour WHITE = MakeColour(255, 255, 255);
const Colour BLUE = MakeColour(0, 0, 255);

struct Canvas {
    std::vector<uint32_t> pixels;
    Surface surface;
    Canvas(int w, int h, uint32_t start = PIXEL_OPAQUE) : pixels((size_t)w * h, start) {
        surface.width = w;
        surface.height = h;
        surface.stride = w;
        surface.pixels = pixels.data();
    }
    uint32_t At(int x, int y) const { return pixels[(size_t)y * surface.width + x]; }
    Colour ColourAt(int x, int y) const { return ToColour(At(x, y)); }
    // Bounding box of the pixels of `colour` (right/bottom inclusive); left = -1 when none.
    RectI Bounds(Colour colour) const {
        RectI r{-1, -1, -1, -1};
        for (int y = 0; y < surface.height; ++y)
            for (int x = 0; x < surface.width; ++x)
                if (ColourAt(x, y) == colour) {
                    if (r.left < 0) r = {x, y, x, y};
                    r.left = std::min(r.left, x);
                    r.right = std::max(r.right, x);
                    r.top = std::min(r.top, y);
                    r.bottom = std::max(r.bottom, y);
                }
        return r;
    }
    int Count(Colour colour) const {
        int n = 0;
        for (uint32_t p : pixels) n += ToColour(p) == colour;
        return n;
    }
};

void ExpectBounds(const Canvas& c, Colour colour, int left, int top, int right, int bottom) {
    RectI r = c.Bounds(colour);
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right, right);
    EXPECT_EQ(r.bottom, bottom);
}

TEST(RasterBox, CoversExactlyWidthByHeightPixels) {
    Canvas c(20, 20);
    RasterFillBox(c.surface, 3, 4, 5, 6, RED);
    ExpectBounds(c, RED, 3, 4, 7, 9);
    EXPECT_EQ(c.Count(RED), 30);
    EXPECT_EQ(c.At(3, 4), 0xFFFF0000u) << "pixels are written opaque, 0xAARRGGBB";
}

TEST(RasterBox, ClipsToTheSurfaceAndIgnoresEmptyBoxes) {
    Canvas c(10, 10);
    RasterFillBox(c.surface, -5, -5, 8, 100, RED);
    ExpectBounds(c, RED, 0, 0, 2, 9);
    Canvas d(10, 10);
    RasterFillBox(d.surface, 2, 2, 0, 5, RED);
    RasterFillBox(d.surface, 2, 2, 5, -1, RED);
    RasterFillBox(d.surface, 10, 0, 5, 5, RED);
    EXPECT_EQ(d.Count(RED), 0);
}

TEST(RasterGradient, VerticalGradientRunsFromBackToFront) {
    Canvas c(4, 11);
    Gradient g{0, 0, 0, 10, WHITE, MakeColour(0, 100, 200)};
    RasterFillGradientBox(c.surface, 0, 0, 4, 11, g);
    EXPECT_EQ(c.ColourAt(0, 0), MakeColour(0, 100, 200)) << "f = 0 at the first point";
    EXPECT_EQ(c.ColourAt(3, 10), WHITE) << "f = 1 at the second point";
    // Row 5: f = 0.5 -> 127.5 rounds to even 128, 177.5 -> 178, 227.5 -> 228.
    EXPECT_EQ(c.ColourAt(2, 5), MakeColour(128, 178, 228));
    EXPECT_EQ(c.ColourAt(1, 2), MakeColour(51, 131, 211));   // f = 0.2
    EXPECT_EQ(c.At(1, 2) >> 24, 255u);
}

TEST(RasterGradient, ClampsBeyondTheGradientLine) {
    Canvas c(20, 3);
    // Horizontal gradient from x = 5 to x = 9: everything left of 5 is back, right of 9 front.
    Gradient g{5, 0, 9, 0, RED, BLUE};
    RasterFillGradientBox(c.surface, 0, 0, 20, 3, g);
    EXPECT_EQ(c.ColourAt(0, 1), BLUE);
    EXPECT_EQ(c.ColourAt(5, 1), BLUE);
    EXPECT_EQ(c.ColourAt(7, 1), MakeColour(128, 0, 128));
    EXPECT_EQ(c.ColourAt(9, 1), RED);
    EXPECT_EQ(c.ColourAt(19, 2), RED);
}

TEST(RasterGradient, DiagonalProjection) {
    Canvas c(11, 11);
    Gradient g{0, 0, 10, 10, WHITE, MakeColour(0, 0, 0)};
    RasterFillGradientBox(c.surface, 0, 0, 11, 11, g);
    // (10, 0) projects onto the middle of the line, like (5, 5) and (0, 10).
    EXPECT_EQ(c.ColourAt(10, 0), MakeColour(128, 128, 128));
    EXPECT_EQ(c.ColourAt(0, 10), MakeColour(128, 128, 128));
    EXPECT_EQ(c.ColourAt(5, 5), MakeColour(128, 128, 128));
    EXPECT_EQ(c.ColourAt(10, 10), WHITE);
}

TEST(RasterRoundBox, RadiiAreLimitedToHalfTheBox) {
    // 336 x 67 with radii 56: the vertical radius becomes 33, the box keeps its extents.
    Canvas c(340, 70);
    RasterFillRoundBox(c.surface, 0, 0, 336, 67, 56, 56, RED);
    ExpectBounds(c, RED, 0, 0, 335, 66);
    EXPECT_NE(c.ColourAt(0, 0), RED) << "corner pixels lie outside the corner ellipse";
    EXPECT_NE(c.ColourAt(335, 66), RED);
    EXPECT_EQ(c.ColourAt(168, 0), RED) << "middle of the top edge";
    EXPECT_EQ(c.ColourAt(0, 33), RED) << "middle of the left edge";
    EXPECT_EQ(c.ColourAt(335, 33), RED) << "middle of the right edge";
    EXPECT_EQ(c.ColourAt(168, 66), RED) << "middle of the bottom edge";
    // Where the top row starts: centre 0.5 below the top, ellipse rx 56 ry 33.
    // inset = 56 - 56 * sqrt(1 - (32.5 / 33)^2) = 46.27 -> first pixel centre >= 46.27.
    EXPECT_NE(c.ColourAt(45, 0), RED);
    EXPECT_EQ(c.ColourAt(46, 0), RED);
    EXPECT_EQ(c.ColourAt(289, 0), RED);
    EXPECT_NE(c.ColourAt(290, 0), RED);
    // Row 2: inset 34.62, so the pixel whose centre is 34.5 stays out.
    EXPECT_NE(c.ColourAt(34, 2), RED);
    EXPECT_EQ(c.ColourAt(35, 2), RED);
    EXPECT_EQ(c.ColourAt(300, 2), RED);
    EXPECT_NE(c.ColourAt(301, 2), RED);
}

TEST(RasterRoundBox, OversizedRadiiMakeAnEllipseAndZeroRadiiABox) {
    Canvas c(30, 30);
    RasterFillRoundBox(c.surface, 5, 5, 20, 10, 100, 100, RED);
    ExpectBounds(c, RED, 5, 5, 24, 14);
    EXPECT_NE(c.ColourAt(5, 5), RED);
    EXPECT_NE(c.ColourAt(24, 14), RED);
    EXPECT_EQ(c.ColourAt(15, 5), RED);
    EXPECT_EQ(c.ColourAt(5, 10), RED);
    Canvas d(30, 30);
    RasterFillRoundBox(d.surface, 5, 5, 20, 10, 0, 7, RED);
    EXPECT_EQ(d.Count(RED), 200);
}

TEST(RasterLine, BothEndPointsAreLit) {
    for (auto [x1, y1, x2, y2] : std::vector<std::array<int, 4>>{
             {2, 2, 17, 2}, {17, 2, 2, 2}, {3, 1, 3, 18}, {1, 1, 18, 18}, {18, 3, 2, 9}, {5, 17, 9, 0}}) {
        Canvas c(20, 20);
        RasterLine(c.surface, x1, y1, x2, y2, RED);
        EXPECT_EQ(c.ColourAt(x1, y1), RED) << x1 << "," << y1 << " -> " << x2 << "," << y2;
        EXPECT_EQ(c.ColourAt(x2, y2), RED) << x1 << "," << y1 << " -> " << x2 << "," << y2;
        int steps = std::max(std::abs(x2 - x1), std::abs(y2 - y1));
        EXPECT_EQ(c.Count(RED), steps + 1) << "one pixel per step along the major axis";
    }
}

TEST(RasterLine, ShallowLineStepsLikeBresenham) {
    Canvas c(10, 5);
    RasterLine(c.surface, 0, 0, 8, 2, RED);
    // One pixel per column; y = round(x / 4) with the halfway columns 2 and 6 going either
    // way, all others fixed.
    const int expected[9] = {0, 0, -1, 1, 1, 1, -1, 2, 2};
    for (int x = 0; x <= 8; ++x) {
        int lit = 0, row = -1;
        for (int y = 0; y < 5; ++y)
            if (c.ColourAt(x, y) == RED) {
                ++lit;
                row = y;
            }
        EXPECT_EQ(lit, 1) << "column " << x;
        if (expected[x] >= 0) {
            EXPECT_EQ(row, expected[x]) << "column " << x;
        }
    }
}

TEST(RasterLine, PointLineAndClipping) {
    Canvas c(10, 10);
    RasterLine(c.surface, 4, 4, 4, 4, RED);
    EXPECT_EQ(c.Count(RED), 1);
    EXPECT_EQ(c.ColourAt(4, 4), RED);
    Canvas d(10, 10);
    RasterLine(d.surface, -5, 5, 20, 5, RED);
    ExpectBounds(d, RED, 0, 5, 9, 5);
}

TEST(RasterDisc, ExtentsAndRadiusZero) {
    Canvas c(30, 30);
    RasterDisc(c.surface, 15, 14, 6, RED);
    ExpectBounds(c, RED, 9, 8, 21, 20);
    EXPECT_EQ(c.ColourAt(15 + 4, 14 + 4), RED) << "32 <= 36";
    EXPECT_NE(c.ColourAt(15 + 5, 14 + 4), RED) << "41 > 36";
    EXPECT_NE(c.ColourAt(9, 13), RED) << "only the axis pixel reaches the full radius";
    Canvas d(10, 10);
    RasterDisc(d.surface, 3, 3, 0, RED);
    EXPECT_EQ(d.Count(RED), 1);
    EXPECT_EQ(d.ColourAt(3, 3), RED);
}

TEST(RasterDisc, PixelCountMatchesTheDefinition) {
    for (int r : {1, 2, 4, 34}) {
        Canvas c(80, 80);
        RasterDisc(c.surface, 40, 40, r, RED);
        int expected = 0;
        for (int y = -r; y <= r; ++y)
            for (int x = -r; x <= r; ++x) expected += x * x + y * y <= r * r;
        EXPECT_EQ(c.Count(RED), expected) << "radius " << r;
    }
    Canvas e(10, 10);
    RasterDisc(e.surface, 0, 0, 4, RED);   // clipped at the corner
    ExpectBounds(e, RED, 0, 0, 4, 4);
}

TEST(RasterFloodFill, FillsInsideTheBorderOnly) {
    Canvas c(20, 20);
    // Outline of a box 4..15 x 4..15 with a diagonal-only gap at its corners: a 4-connected
    // fill must not leak through the corner where two border pixels touch diagonally.
    for (int i = 4; i <= 15; ++i) {
        c.pixels[4 * 20 + i] = ToPixel(WHITE);
        c.pixels[15 * 20 + i] = ToPixel(WHITE);
        c.pixels[i * 20 + 4] = ToPixel(WHITE);
        c.pixels[i * 20 + 15] = ToPixel(WHITE);
    }
    c.pixels[4 * 20 + 15] = PIXEL_OPAQUE;   // corner removed: (14,4) and (15,5) touch diagonally
    c.pixels[9 * 20 + 9] = ToPixel(BLUE);   // an island of another colour is filled over
    RasterFloodFill(c.surface, 8, 8, WHITE, RED);
    ExpectBounds(c, RED, 5, 5, 14, 14);
    EXPECT_EQ(c.Count(RED), 100);
    EXPECT_EQ(c.ColourAt(15, 4), 0u) << "the diagonal gap does not let the fill out";
    EXPECT_EQ(c.ColourAt(0, 0), 0u);
}

TEST(RasterFloodFill, CrossesPixelsAlreadyInTheFillColour) {
    Canvas c(10, 3);
    c.pixels[1 * 10 + 5] = ToPixel(RED);
    c.pixels[0 * 10 + 5] = ToPixel(RED);
    c.pixels[2 * 10 + 5] = ToPixel(RED);
    RasterFloodFill(c.surface, 1, 1, WHITE, RED);
    EXPECT_EQ(c.Count(RED), 30) << "a wall of the fill colour is not a border";
}

TEST(RasterFloodFill, StartOnBorderOrOutsideDoesNothing) {
    Canvas c(10, 10, ToPixel(WHITE));
    RasterFloodFill(c.surface, 3, 3, WHITE, RED);
    RasterFloodFill(c.surface, -1, 3, BLUE, RED);
    RasterFloodFill(c.surface, 3, 10, BLUE, RED);
    EXPECT_EQ(c.Count(RED), 0);
}

TEST(RasterFloodFill, ComparesColoursIgnoringAlpha) {
    Canvas c(10, 1, 0x00000000u);   // transparent black pixels, as in an image
    c.pixels[6] = ToPixel(WHITE) & 0x00FFFFFFu;
    RasterFloodFill(c.surface, 0, 0, WHITE, RED);
    EXPECT_EQ(c.Count(RED), 6);
    EXPECT_EQ(c.At(0, 0), ToPixel(RED));
}

TEST(RasterBlit, CopiesAndClips) {
    Canvas src(4, 3);
    for (int i = 0; i < 12; ++i) src.pixels[i] = (uint32_t)(i + 1) | 0x80000000u;
    Canvas dst(6, 6);
    RasterBlit(dst.surface, src.surface, 4, -1);
    // Visible part: src columns 0..1, rows 1..2 at dst (4..5, 0..1).
    EXPECT_EQ(dst.At(4, 0), 5u | PIXEL_OPAQUE) << "plain copies are opaque";
    EXPECT_EQ(dst.At(5, 0), 6u | PIXEL_OPAQUE);
    EXPECT_EQ(dst.At(4, 1), 9u | PIXEL_OPAQUE);
    EXPECT_EQ(dst.At(5, 1), 10u | PIXEL_OPAQUE);
    EXPECT_EQ(dst.At(3, 0), PIXEL_OPAQUE);
    EXPECT_EQ(dst.At(4, 2), PIXEL_OPAQUE);
    Canvas far(6, 6);
    RasterBlit(far.surface, src.surface, -4, 0);
    RasterBlit(far.surface, src.surface, 0, 6);
    EXPECT_EQ(far.Count(0), 36);
}

TEST(RasterBlit, AlphaBlendsSourceOver) {
    Canvas src(3, 1);
    src.pixels[0] = ToPixel(RED);                       // opaque: copied
    src.pixels[1] = 0x00FFFFFFu;                        // transparent: destination kept
    src.pixels[2] = (128u << 24) | (ToPixel(MakeColour(200, 0, 255)) & 0x00FFFFFFu);   // half: over (0, 100, 0)
    Canvas dst(3, 1, ToPixel(MakeColour(0, 100, 0)));
    RasterBlitAlpha(dst.surface, src.surface, 0, 0);
    EXPECT_EQ(dst.At(0, 0), ToPixel(RED));
    EXPECT_EQ(dst.At(1, 0), ToPixel(MakeColour(0, 100, 0)));
    EXPECT_EQ(dst.At(2, 0), ToPixel(MakeColour(100, 50, 128)));
}

TEST(RasterBlit, AlphaOfOpaqueImageEqualsPlainCopy) {
    Canvas src(5, 5);
    for (int i = 0; i < 25; ++i) src.pixels[i] = ToPixel(MakeColour(i * 10, 255 - i, i));
    Canvas a(8, 8, ToPixel(BLUE)), b(8, 8, ToPixel(BLUE));
    RasterBlit(a.surface, src.surface, 2, 3);
    RasterBlitAlpha(b.surface, src.surface, 2, 3);
    EXPECT_EQ(a.pixels, b.pixels);
}

}  // namespace

// ---- change stamps, the line walk, moving pixels ----

// The general Bresenham walk, both ends included: the pixels every line of the raster takes.
std::vector<std::array<int, 2>> ReferenceLine(int x1, int y1, int x2, int y2) {
    std::vector<std::array<int, 2>> out;
    int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1), sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1, err = dx + dy;
    for (;;) {
        out.push_back({x1, y1});
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
    return out;
}

// Lines and polylines (steep, shallow, every direction, partly off the surface) light exactly
// the reference walk's pixels; drawn again they change nothing; a restore over them gives the
// image back exactly where they lie.
TEST(RasterLine, WalksTakeTheReferencePixelsAndStampOnlyWhatChanged) {
    srand(7);
    for (int round = 0; round < 400; ++round) {
        const int count = 2 + rand() % 5;
        std::vector<PointI> points;
        for (int i = 0; i < count; ++i) points.push_back({rand() % 90 - 15, rand() % 70 - 10});
        Canvas c(64, 48);
        ChangeMap map;
        ResizeChangeMap(map, 64, 48);
        c.surface.changes = &map;
        const uint64_t before = ChangeStampNow();
        RasterLines(c.surface, points.data(), count, RED);
        Canvas want(64, 48);
        for (int i = 0; i + 1 < count; ++i)
            for (auto [x, y] : ReferenceLine(points[i].x, points[i].y, points[i + 1].x, points[i + 1].y))
                if (x >= 0 && y >= 0 && x < 64 && y < 48) want.pixels[(size_t)y * 64 + x] = ToPixel(RED);
        ASSERT_EQ(c.pixels, want.pixels) << "round " << round;
        // Every tile holding a lit pixel is stamped.
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                if (c.ColourAt(x, y) == RED) {
                    ASSERT_TRUE(ChangedSince(map, RectI{x, y, x + 1, y + 1}, before)) << x << "," << y;
                }
        const uint64_t drawn = ChangeStampNow();
        EXPECT_FALSE(RasterLines(c.surface, points.data(), count, RED));
        EXPECT_FALSE(ChangedSince(map, RectI{0, 0, 64, 48}, drawn));
        Canvas image(64, 48, PIXEL_OPAQUE | 0x102030);
        for (int i = 0; i + 1 < count; ++i)
            RasterRestoreLines(c.surface, image.surface, 0, 0, &points[i], 2, RectI{0, 0, 64, 48});
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(c.At(x, y), want.At(x, y) == ToPixel(RED) ? image.At(x, y) : PIXEL_OPAQUE) << x << "," << y;
    }
}

// Each primitive over what it would draw anyway says it changed nothing and stamps nothing;
// over something else it stamps the tiles it changed and only those.
TEST(RasterChanges, PrimitivesStampExactlyTheTilesTheyChange) {
    Canvas source(16, 16, ToPixel(BLUE));
    struct Case {
        const char* name;
        void (*draw)(Surface&, const Surface&);
        RectI changed;   // the tiles' pixels it changes on a black surface
    };
    const Case cases[] = {
        {"box", [](Surface& s, const Surface&) { RasterFillBox(s, 9, 3, 4, 10, RED); }, {8, 0, 16, 16}},
        {"disc", [](Surface& s, const Surface&) { RasterDisc(s, 20, 20, 2, RED); }, {16, 16, 24, 24}},
        {"blit", [](Surface& s, const Surface& from) { RasterBlit(s, from, 17, 1); }, {16, 0, 40, 24}},
        {"pixel", [](Surface& s, const Surface&) { RasterPixel(s, 33, 9, RED); }, {32, 8, 40, 16}},
    };
    for (const Case& k : cases) {
        Canvas c(40, 24);
        ChangeMap map;
        ResizeChangeMap(map, 40, 24);
        c.surface.changes = &map;
        uint64_t before = ChangeStampNow();
        k.draw(c.surface, source.surface);
        for (int ty = 0; ty < 3; ++ty)
            for (int tx = 0; tx < 5; ++tx) {
                const RectI tile{tx * 8, ty * 8, tx * 8 + 8, ty * 8 + 8};
                const bool inside = tile.left >= k.changed.left && tile.right <= k.changed.right &&
                                    tile.top >= k.changed.top && tile.bottom <= k.changed.bottom;
                EXPECT_EQ(ChangedSince(map, tile, before), inside) << k.name << " tile " << tx << "," << ty;
            }
        before = ChangeStampNow();
        k.draw(c.surface, source.surface);
        EXPECT_FALSE(ChangedSince(map, RectI{0, 0, 40, 24}, before)) << k.name << " drawn again";
    }
}

// Moving pixels onto themselves (either way, overlapping) gives what a copy through a second
// surface gives; only rows whose pixels changed are stamped and reported.
TEST(RasterMove, CopiesOverlappingAreasAndReportsTheRowsThatChanged) {
    for (auto [dx, dy] : std::vector<std::array<int, 2>>{{-1, 0}, {1, 0}, {0, -3}, {2, 5}, {-7, -2}}) {
        Canvas c(30, 20);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 30; ++x) c.pixels[(size_t)y * 30 + x] = PIXEL_OPAQUE | (uint32_t)(y < 10 ? x * 7 : 5);
        Canvas want = c;
        const RectI area{3, 2, 25, 17};
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 30; ++x)
                if (x - dx >= area.left && x - dx < area.right && y - dy >= area.top && y - dy < area.bottom)
                    want.pixels[(size_t)y * 30 + x] = c.pixels[(size_t)(y - dy) * 30 + (x - dx)];
        ChangeMap map;
        ResizeChangeMap(map, 30, 20);
        c.surface.changes = &map;
        const RectI changed = RasterMoveArea(c.surface, area, dx, dy);
        EXPECT_EQ(c.pixels, want.pixels) << dx << "," << dy;
        // Rows 10 and on are one colour throughout: moved sideways, they do not change.
        if (dy == 0) {
            EXPECT_LE(changed.bottom, 10) << dx;
            EXPECT_GT(changed.bottom, changed.top) << dx;
        }
    }
}
