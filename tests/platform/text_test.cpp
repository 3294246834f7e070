// Text of the portable backend: font lookup and metrics, where glyphs land for plain and
// rotated text, the background cell and anti-aliased edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/portable/text.h"

namespace {

const Colour WHITE = MakeColour(255, 255, 255);
const Colour BLUE = MakeColour(0, 0, 255);
constexpr int BOLD_10PT = 13;    // Arial 10 pt bold at 96 dpi
constexpr int REGULAR_8PT = 11;  // Arial 8 pt at 96 dpi

struct Canvas {
    std::vector<uint32_t> pixels;
    Surface surface;
    Canvas(int w, int h) : pixels((size_t)w * h, PIXEL_OPAQUE) {
        surface.width = w;
        surface.height = h;
        surface.stride = w;
        surface.pixels = pixels.data();
    }
    Colour ColourAt(int x, int y) const { return ToColour(pixels[(size_t)y * surface.width + x]); }
    // Bounding box (inclusive) of every pixel that is not black; left = -1 when none.
    RectI LitBounds() const {
        RectI r{-1, -1, -1, -1};
        for (int y = 0; y < surface.height; ++y)
            for (int x = 0; x < surface.width; ++x)
                if (ColourAt(x, y) != 0) {
                    if (r.left < 0) r = {x, y, x, y};
                    r.left = std::min(r.left, x);
                    r.right = std::max(r.right, x);
                    r.top = std::min(r.top, y);
                    r.bottom = std::max(r.bottom, y);
                }
        return r;
    }
};

struct FontFixture : ::testing::Test {
    TextFont* bold = nullptr;
    void SetUp() override {
        bold = OpenTextFont("Arial", BOLD_10PT, 700);
        ASSERT_NE(bold, nullptr) << "no face for Arial (fonts-liberation2 missing?)";
    }
    void TearDown() override { CloseTextFont(bold); }
};

TEST_F(FontFixture, ArialBoldTenPointMetrics) {
    EXPECT_EQ(MeasureTextWidth(bold, "LEFT"), 33);
    EXPECT_EQ(FontLineHeight(bold), 15);
    EXPECT_EQ(MeasureTextWidth(bold, ""), 0);
    EXPECT_EQ(MeasureTextWidth(bold, "LEFTLEFT"), 66) << "advances add up, no kerning";
}

TEST_F(FontFixture, WeightPicksTheBoldFace) {
    TextFont* regular = OpenTextFont("Arial", BOLD_10PT, 400);
    ASSERT_NE(regular, nullptr);
    EXPECT_LT(MeasureTextWidth(regular, "MARDELLIN"), MeasureTextWidth(bold, "MARDELLIN"));
    CloseTextFont(regular);
    TextFont* small = OpenTextFont("Arial", REGULAR_8PT, 400);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(FontLineHeight(small), 13);
    CloseTextFont(small);
}

TEST(TextWithoutFont, NullFontIsHarmless) {
    EXPECT_EQ(OpenTextFont("Arial", 0, 400), nullptr);
    CloseTextFont(nullptr);
    EXPECT_EQ(MeasureTextWidth(nullptr, "LEFT"), 0);
    EXPECT_EQ(FontLineHeight(nullptr), 0);
    Canvas c(20, 20);
    DrawTextOnSurface(c.surface, nullptr, 0, 0, "LEFT", 0, WHITE, true, BLUE);
    EXPECT_EQ(c.LitBounds().left, -1);
}

TEST_F(FontFixture, PlainTextStaysInsideItsCell) {
    Canvas c(80, 50);
    DrawTextOnSurface(c.surface, bold, 10, 20, "LEFT", 0, WHITE, false, 0);
    RectI lit = c.LitBounds();
    ASSERT_GE(lit.left, 0) << "nothing drawn";
    EXPECT_GE(lit.left, 10);
    EXPECT_LE(lit.left, 12) << "L starts at the left edge of the cell";
    EXPECT_LT(lit.right, 10 + 33);
    EXPECT_GE(lit.right, 10 + 33 - 3);
    EXPECT_GE(lit.top, 20);
    EXPECT_LE(lit.top, 20 + 3) << "capitals reach near the top of the cell";
    EXPECT_EQ(lit.bottom, 20 + 12 - 1) << "capitals sit on the baseline at y + ascent";
}

TEST_F(FontFixture, BackgroundFillsTheCell) {
    Canvas c(80, 50);
    DrawTextOnSurface(c.surface, bold, 10, 20, "LEFT", 0, WHITE, true, BLUE);
    EXPECT_EQ(c.ColourAt(10, 20), BLUE);
    EXPECT_EQ(c.ColourAt(42, 34), BLUE);
    EXPECT_EQ(c.ColourAt(43, 20), 0u);
    EXPECT_EQ(c.ColourAt(10, 35), 0u);
    EXPECT_EQ(c.ColourAt(9, 20), 0u);
    EXPECT_EQ(c.ColourAt(10, 19), 0u);
    RectI lit = c.LitBounds();
    EXPECT_EQ(lit.left, 10);
    EXPECT_EQ(lit.top, 20);
    EXPECT_EQ(lit.right, 42);
    EXPECT_EQ(lit.bottom, 34);
}

TEST_F(FontFixture, EdgesAreBlendedWithTheBackground) {
    Canvas c(60, 30);
    const Colour green = MakeColour(10, 221, 10);
    DrawTextOnSurface(c.surface, bold, 2, 2, "20O", 0, green, false, 0);
    int full = 0, partial = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 60; ++x) {
            Colour p = c.ColourAt(x, y);
            if (p == 0) continue;
            if (p == green) {
                ++full;
                continue;
            }
            ++partial;
            // Coverage blends between black and the text colour, channel by channel.
            EXPECT_LE(ColourGreen(p), 221);
            EXPECT_LE(ColourRed(p), 10);
            EXPECT_GT(ColourGreen(p), ColourRed(p));
        }
    EXPECT_GT(full, 10);
    EXPECT_GT(partial, 5) << "round glyphs have anti-aliased edges";
}

// Rotation is about the cell's top-left corner, counter-clockwise on screen: at 90 degrees
// the text reads upwards, its cell spanning x .. x + line height and y - width .. y.
TEST_F(FontFixture, NinetyDegreesLiesAboveAndRightOfTheCorner) {
    Canvas flat(120, 120), turned(120, 120);
    DrawTextOnSurface(flat.surface, bold, 60, 60, "LEFT", 0, WHITE, false, 0);
    DrawTextOnSurface(turned.surface, bold, 60, 60, "LEFT", 90, WHITE, false, 0);
    RectI f = flat.LitBounds(), t = turned.LitBounds();
    ASSERT_GE(t.left, 0) << "nothing drawn";
    EXPECT_GE(t.left, 60);
    EXPECT_LT(t.right, 60 + 15);
    EXPECT_GE(t.top, 60 - 33);
    EXPECT_LT(t.bottom, 60);
    // A screen point (60 + a, 60 + b) turns to (60 + b, 60 - a): the lit box transposes.
    EXPECT_NEAR(t.left - 60, f.top - 60, 1);
    EXPECT_NEAR(t.right - 60, f.bottom - 60, 1);
    EXPECT_NEAR(60 - t.bottom, f.left - 60, 1);
    EXPECT_NEAR(60 - t.top, f.right - 60, 1);
}

TEST_F(FontFixture, NegativeAngleTurnsClockwise) {
    Canvas c(120, 120);
    DrawTextOnSurface(c.surface, bold, 60, 60, "LEFT", -90, WHITE, false, 0);
    RectI t = c.LitBounds();
    ASSERT_GE(t.left, 0);
    // Reads downwards, cell spanning x - line height .. x and y .. y + width.
    EXPECT_LE(t.right, 60);
    EXPECT_GE(t.left, 60 - 15 - 1);
    EXPECT_GE(t.top, 60);
    EXPECT_LE(t.bottom, 60 + 33);
}

TEST_F(FontFixture, SmallAnglesKeepTheGlyphsNearTheBaseline) {
    // A scale number turned by 30 degrees: its far end rises by about width * sin(30).
    Canvas c(120, 120);
    DrawTextOnSurface(c.surface, bold, 40, 60, "LEFT", 30, WHITE, false, 0);
    RectI t = c.LitBounds();
    ASSERT_GE(t.left, 0);
    EXPECT_GE(t.left, 40);
    EXPECT_LE(t.right, 40 + 33);
    EXPECT_GE(t.top, 60 - 17 - 1);       // 33 * sin 30 = 16.5
    EXPECT_LE(t.bottom, 60 + 15);        // cos 30 * 15 + nothing below the cell
}

}  // namespace
