// Drawing operations of the platform layer, checked on images at the pixels each operation's
// meaning fixes. The same source runs on every backend; glyph shapes may differ between
// them, positions and extents may not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

const Colour BLACK = MakeColour(0, 0, 0);
const Colour WHITE = MakeColour(255, 255, 255);
const Colour RED = MakeColour(255, 0, 0);
const Colour BLUE = MakeColour(0, 0, 255);
const Colour GREEN = MakeColour(10, 221, 10);

// An image with a drawing pass open on it for the lifetime of the object.
struct ImagePass {
    ImageRef image = nullptr;
    int width, height;
    ImagePass(int w, int h, int depth = 32) : width(w), height(h) {
        image = CreateImage(w, h, depth);
        EXPECT_NE(image, nullptr) << "CreateImage(" << w << ", " << h << ", " << depth << ")";
        if (image) {
            EXPECT_TRUE(BeginDrawingImage(image));
        }
    }
    ~ImagePass() {
        if (IsDrawing()) EndDrawing();
        if (image) ReleaseImage(image);
    }
    std::vector<Colour> Pixels() const {
        std::vector<Colour> all;
        all.reserve((size_t)width * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) all.push_back(ReadPixel(x, y));
        return all;
    }
};

// Inclusive bounds of the pixels for which `match` holds; left = -1 when there are none.
RectI BoundsWhere(const ImagePass& pass, const std::function<bool(Colour)>& match) {
    RectI r{-1, -1, -1, -1};
    std::vector<Colour> all = pass.Pixels();
    for (int y = 0; y < pass.height; ++y)
        for (int x = 0; x < pass.width; ++x)
            if (match(all[(size_t)y * pass.width + x])) {
                if (r.left < 0) r = {x, y, x, y};
                r.left = std::min(r.left, x);
                r.right = std::max(r.right, x);
                r.top = std::min(r.top, y);
                r.bottom = std::max(r.bottom, y);
            }
    return r;
}
RectI BoundsOf(const ImagePass& pass, Colour colour) {
    return BoundsWhere(pass, [colour](Colour c) { return c == colour; });
}
int CountOf(const ImagePass& pass, Colour colour) {
    std::vector<Colour> all = pass.Pixels();
    return (int)std::count(all.begin(), all.end(), colour);
}

#define EXPECT_BOUNDS(r, l, t, rr, b)  \
    do {                               \
        RectI got_ = (r);              \
        EXPECT_EQ(got_.left, (l));     \
        EXPECT_EQ(got_.top, (t));      \
        EXPECT_EQ(got_.right, (rr));   \
        EXPECT_EQ(got_.bottom, (b));   \
    } while (0)

void ExpectNear(Colour got, Colour want, int tolerance, const char* where) {
    EXPECT_NEAR(ColourRed(got), ColourRed(want), tolerance) << where;
    EXPECT_NEAR(ColourGreen(got), ColourGreen(want), tolerance) << where;
    EXPECT_NEAR(ColourBlue(got), ColourBlue(want), tolerance) << where;
}

// ---------------------------------------------------------------------------------------
// Images and pixels
// ---------------------------------------------------------------------------------------

TEST(Images, StartBlackAndReportTheirSize) {
    for (int depth : {24, 32}) {
        ImagePass pass(7, 5, depth);
        EXPECT_EQ(ImageWidth(pass.image), 7);
        EXPECT_EQ(ImageHeight(pass.image), 5);
        EXPECT_TRUE(IsDrawing());
        EXPECT_EQ(DrawingWidth(), 7);
        EXPECT_EQ(DrawingHeight(), 5);
        EXPECT_EQ(CountOf(pass, BLACK), 35) << "depth " << depth;
    }
    EXPECT_FALSE(IsDrawing());
}

TEST(Images, PixelsWrittenReadBack) {
    for (int depth : {24, 32}) {
        ImagePass pass(6, 6, depth);
        WritePixel(2, 3, MakeColour(12, 34, 56));
        WritePixel(5, 5, WHITE);
        EXPECT_EQ(ReadPixel(2, 3), MakeColour(12, 34, 56)) << "depth " << depth;
        EXPECT_EQ(ReadPixel(5, 5), WHITE);
        EXPECT_EQ(ReadPixel(3, 2), BLACK);
    }
}

TEST(Images, FreshThirtyTwoBitImageIsOpaque) {
    // Drawn honouring its alpha, an untouched 32-bit image must hide what lies below.
    ImageRef fresh = CreateImage(4, 4, 32);
    ASSERT_NE(fresh, nullptr);
    {
        ImagePass target(8, 8, 24);
        FillBox(0, 0, 8, 8, WHITE);
        DrawImageAlpha(fresh, 2, 2);
        EXPECT_BOUNDS(BoundsOf(target, BLACK), 2, 2, 5, 5);
        EXPECT_EQ(CountOf(target, BLACK), 16);
    }
    ReleaseImage(fresh);
}

TEST(Images, DrawnContentSurvivesTheEndOfThePass) {
    ImageRef image = CreateImage(5, 5, 32);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(1, 1, 2, 2, RED);
    EndDrawing();
    ASSERT_TRUE(BeginDrawingImage(image));
    EXPECT_EQ(ReadPixel(1, 1), RED);
    EXPECT_EQ(ReadPixel(2, 2), RED);
    EXPECT_EQ(ReadPixel(3, 3), BLACK);
    EndDrawing();
    ReleaseImage(image);
}

// ---------------------------------------------------------------------------------------
// Boxes
// ---------------------------------------------------------------------------------------

TEST(Boxes, FillBoxCoversWidthByHeight) {
    for (int depth : {24, 32}) {
        ImagePass pass(20, 20, depth);
        FillBox(3, 4, 5, 6, RED);
        EXPECT_BOUNDS(BoundsOf(pass, RED), 3, 4, 7, 9);
        EXPECT_EQ(CountOf(pass, RED), 30) << "depth " << depth;
    }
}

TEST(Boxes, FillBoxClipsAtTheEdges) {
    ImagePass pass(10, 10);
    FillBox(-4, 6, 6, 10, RED);
    EXPECT_BOUNDS(BoundsOf(pass, RED), 0, 6, 1, 9);
    FillBox(5, 5, 0, 3, BLUE);
    EXPECT_EQ(CountOf(pass, BLUE), 0) << "a box of width 0 is empty";
}

TEST(Boxes, RoundBoxWithOversizedRadii) {
    // Radii larger than half the box are limited to half: the box becomes an ellipse
    // inscribed in it, touching each edge in its middle.
    ImagePass pass(40, 30);
    FillRoundBox(4, 6, 30, 12, 40, 40, RED);
    EXPECT_BOUNDS(BoundsOf(pass, RED), 4, 6, 33, 17);
    EXPECT_NE(ReadPixel(4, 6), RED) << "top-left corner";
    EXPECT_NE(ReadPixel(33, 6), RED) << "top-right corner";
    EXPECT_NE(ReadPixel(4, 17), RED) << "bottom-left corner";
    EXPECT_NE(ReadPixel(33, 17), RED) << "bottom-right corner";
    EXPECT_EQ(ReadPixel(18, 6), RED) << "middle of the top edge";
    EXPECT_EQ(ReadPixel(19, 17), RED) << "middle of the bottom edge";
    EXPECT_EQ(ReadPixel(4, 11), RED) << "middle of the left edge";
    EXPECT_EQ(ReadPixel(33, 12), RED) << "middle of the right edge";
}

TEST(Boxes, RoundBoxOfTheMeterCoverPlate) {
    // The plate: 336 x 45 image, box 336 x 67 with radii 56 (the vertical one limited to 33);
    // only the top edge with its two rounded corners falls inside the image.
    ImagePass pass(336, 45);
    const Colour plate = MakeColour(9, 57, 9), top = MakeColour(6, 73, 6);
    FillBox(0, 0, 336, 45, plate);
    FillRoundBox(0, 0, 336, 67, 56, 56, top);
    EXPECT_EQ(ReadPixel(0, 0), plate);
    EXPECT_EQ(ReadPixel(335, 0), plate);
    EXPECT_EQ(ReadPixel(168, 0), top);
    EXPECT_EQ(ReadPixel(0, 33), top) << "between the corner bands the sides are straight";
    EXPECT_EQ(ReadPixel(335, 33), top);
    EXPECT_NE(ReadPixel(0, 44), top) << "the bottom corners begin inside the image";
    // The corner ellipse (rx 56, ry 33) leaves the top row from x = 46 to 289.
    int first = -1, last = -1;
    for (int x = 0; x < 336; ++x)
        if (ReadPixel(x, 0) == top) {
            if (first < 0) first = x;
            last = x;
        }
    EXPECT_NEAR(first, 46, 1);
    EXPECT_NEAR(last, 289, 1);
    EXPECT_EQ(first + last, 335) << "the two corners mirror each other";
}

// ---------------------------------------------------------------------------------------
// Gradient
// ---------------------------------------------------------------------------------------

TEST(Gradient, VerticalRunsFromBackAtTheFirstPointToFront) {
    ImagePass pass(8, 21);
    const Colour back = MakeColour(0, 100, 200);
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetFrontColour(WHITE);
    SetBackColour(back);
    SetLinearGradient(0, 0, 0, 20);
    FillBox(0, 0, 8, 21, RED);
    for (int x : {0, 7}) {
        ExpectNear(ReadPixel(x, 0), back, 1, "first row");
        ExpectNear(ReadPixel(x, 20), WHITE, 1, "last row");
        ExpectNear(ReadPixel(x, 10), MakeColour(128, 178, 228), 2, "middle row");
    }
    EXPECT_EQ(ReadPixel(0, 10), ReadPixel(7, 10)) << "a vertical gradient is constant along a row";
}

TEST(Gradient, MeterFaceFromBottomToTop) {
    // The face: back at the bottom edge, front at the top, gradient from (0, H) to (0, 0).
    const int w = 336, h = 223;
    ImagePass pass(w, h);
    const Colour bottom = MakeColour(0, 47, 0), top = MakeColour(0, 95, 0);
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetBackColour(bottom);
    SetFrontColour(top);
    SetLinearGradient(0, h, 0, 0);
    FillBox(0, 0, w, h, RED);
    ExpectNear(ReadPixel(0, 0), top, 1, "top row");
    ExpectNear(ReadPixel(w - 1, 0), top, 1, "top row");
    ExpectNear(ReadPixel(0, h - 1), bottom, 1, "bottom row");
    ExpectNear(ReadPixel(w - 1, h - 1), bottom, 1, "bottom row");
    ExpectNear(ReadPixel(100, h / 2), MakeColour(0, 71, 0), 1, "middle row");
    int previous = 255;
    for (int y = 0; y < h; ++y) {
        int g = ColourGreen(ReadPixel(50, y));
        EXPECT_LE(g, previous) << "green falls towards the bottom, row " << y;
        previous = g;
    }
}

TEST(Gradient, HorizontalAndClampedOutsideTheLine) {
    ImagePass pass(30, 4);
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetFrontColour(RED);
    SetBackColour(BLUE);
    SetLinearGradient(10, 0, 20, 0);
    FillBox(0, 0, 30, 4, WHITE);
    ExpectNear(ReadPixel(0, 2), BLUE, 1, "before the first point");
    ExpectNear(ReadPixel(10, 2), BLUE, 1, "first point");
    ExpectNear(ReadPixel(15, 2), MakeColour(128, 0, 128), 2, "middle");
    ExpectNear(ReadPixel(20, 2), RED, 1, "second point");
    ExpectNear(ReadPixel(29, 1), RED, 1, "after the second point");
}

TEST(Gradient, DefaultModeFillsPlain) {
    ImagePass pass(10, 10);
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetLinearGradient(0, 0, 0, 9);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    FillBox(0, 0, 10, 10, RED);
    EXPECT_EQ(CountOf(pass, RED), 100) << "only gradient mode takes the gradient";
}

// ---------------------------------------------------------------------------------------
// Discs and lines
// ---------------------------------------------------------------------------------------

TEST(Discs, ExtendRadiusPixelsEachWay) {
    for (int r : {2, 4, 7, 34}) {
        ImagePass pass(80, 80);
        const int x = 40, y = 38;
        FillDisc(x, y, r, RED);
        EXPECT_BOUNDS(BoundsOf(pass, RED), x - r, y - r, x + r, y + r);
        EXPECT_EQ(ReadPixel(x, y), RED);
        EXPECT_EQ(ReadPixel(x - r, y), RED) << "radius " << r;
        EXPECT_EQ(ReadPixel(x + r, y), RED) << "radius " << r;
        EXPECT_EQ(ReadPixel(x, y - r), RED) << "radius " << r;
        EXPECT_EQ(ReadPixel(x, y + r), RED) << "radius " << r;
        EXPECT_NE(ReadPixel(x - r, y - r), RED) << "radius " << r;
        EXPECT_NE(ReadPixel(x + r, y + r), RED) << "radius " << r;
    }
}

TEST(Lines, BothEndsLitOnePixelPerStep) {
    struct Case { int x1, y1, x2, y2; };
    for (Case c : {Case{2, 5, 17, 5}, Case{17, 6, 2, 6}, Case{4, 1, 4, 18}, Case{5, 18, 5, 1},
                   Case{1, 1, 16, 16}, Case{16, 2, 2, 16}, Case{18, 18, 3, 3}, Case{3, 17, 18, 2}}) {
        ImagePass pass(20, 20);
        DrawLineBetween(c.x1, c.y1, c.x2, c.y2, RED);
        std::string what = std::to_string(c.x1) + "," + std::to_string(c.y1) + " -> " +
                           std::to_string(c.x2) + "," + std::to_string(c.y2);
        EXPECT_EQ(ReadPixel(c.x1, c.y1), RED) << what;
        EXPECT_EQ(ReadPixel(c.x2, c.y2), RED) << what;
        EXPECT_BOUNDS(BoundsOf(pass, RED), std::min(c.x1, c.x2), std::min(c.y1, c.y2),
                      std::max(c.x1, c.x2), std::max(c.y1, c.y2));
        EXPECT_EQ(CountOf(pass, RED), std::max(std::abs(c.x2 - c.x1), std::abs(c.y2 - c.y1)) + 1)
            << what;
    }
}

TEST(Lines, SteepLineHasOnePixelPerRow) {
    ImagePass pass(20, 30);
    DrawLineBetween(3, 2, 9, 27, RED);
    EXPECT_EQ(ReadPixel(3, 2), RED);
    EXPECT_EQ(ReadPixel(9, 27), RED);
    for (int y = 2; y <= 27; ++y) {
        int lit = 0;
        for (int x = 0; x < 20; ++x) lit += ReadPixel(x, y) == RED;
        EXPECT_EQ(lit, 1) << "row " << y;
    }
}

TEST(Lines, LineBetweenLeavesTheFrontColourAlone) {
    ImagePass pass(10, 10);
    SetFrontColour(BLUE);
    DrawLineBetween(0, 0, 9, 0, RED);
    DrawExtentLine(0, 5, 10, 1);
    EXPECT_EQ(ReadPixel(4, 0), RED);
    EXPECT_EQ(ReadPixel(4, 5), BLUE);
}

TEST(Lines, LineOutsideTheImageIsClipped) {
    // The history graph draws to y = h, one row below the image.
    ImagePass pass(10, 6);
    DrawLineBetween(0, 6, 9, 6, RED);
    EXPECT_EQ(CountOf(pass, RED), 0);
    DrawLineBetween(0, 5, 9, 6, RED);
    EXPECT_EQ(ReadPixel(0, 5), RED);
    DrawLineBetween(-5, 2, 15, 2, RED);
    EXPECT_EQ(ReadPixel(0, 2), RED);
    EXPECT_EQ(ReadPixel(9, 2), RED);
}

TEST(Lines, ExtentLineRunsToTheLastPixelOfItsExtent) {
    ImagePass pass(20, 20);
    SetFrontColour(RED);
    DrawExtentLine(2, 3, 10, 1);
    EXPECT_BOUNDS(BoundsOf(pass, RED), 2, 3, 11, 3);
    EXPECT_EQ(CountOf(pass, RED), 10);
    SetFrontColour(BLUE);
    DrawExtentLine(15, 1, 1, 8);
    EXPECT_BOUNDS(BoundsOf(pass, BLUE), 15, 1, 15, 8);
    EXPECT_EQ(CountOf(pass, BLUE), 8);
    SetFrontColour(GREEN);
    DrawExtentLine(3, 10, 6, 6);
    EXPECT_BOUNDS(BoundsOf(pass, GREEN), 3, 10, 8, 15);
    EXPECT_EQ(CountOf(pass, GREEN), 6);
}

TEST(Lines, ExtentLineOfZeroExtentDrawsNothing) {
    ImagePass pass(10, 10);
    SetFrontColour(RED);
    DrawExtentLine(4, 4, 0, 5);
    DrawExtentLine(4, 4, 5, 0);
    DrawExtentLine(4, 4, 0, 0);
    EXPECT_EQ(CountOf(pass, RED), 0);
    DrawExtentLine(4, 4, 1, 1);
    EXPECT_EQ(CountOf(pass, RED), 1) << "a 1 x 1 extent is its one pixel";
}

// ---------------------------------------------------------------------------------------
// Flood fill
// ---------------------------------------------------------------------------------------

TEST(FloodFill, FillsInsideAnOutlineOnly) {
    ImagePass pass(20, 20);
    // Box outline 3..14 x 4..15, drawn with lines.
    DrawLineBetween(3, 4, 14, 4, WHITE);
    DrawLineBetween(14, 4, 14, 15, WHITE);
    DrawLineBetween(14, 15, 3, 15, WHITE);
    DrawLineBetween(3, 15, 3, 4, WHITE);
    WritePixel(8, 9, BLUE);   // another colour inside is filled over
    FloodFillTo(8, 8, WHITE, RED);
    EXPECT_BOUNDS(BoundsOf(pass, RED), 4, 5, 13, 14);
    EXPECT_EQ(CountOf(pass, RED), 100);
    EXPECT_EQ(CountOf(pass, WHITE), 44);
    EXPECT_EQ(ReadPixel(0, 0), BLACK);
    EXPECT_EQ(ReadPixel(19, 19), BLACK);
}

TEST(FloodFill, DoesNotLeakThroughDiagonalEdges) {
    // A triangle whose slanted sides are diagonal lines: their pixels touch only at corners,
    // so only a fill that moves sideways and up/down (never diagonally) stays inside.
    ImagePass pass(24, 24);
    DrawLineBetween(2, 20, 20, 20, WHITE);
    DrawLineBetween(2, 20, 11, 11, WHITE);
    DrawLineBetween(11, 11, 20, 20, WHITE);
    FloodFillTo(11, 17, WHITE, RED);
    EXPECT_EQ(ReadPixel(11, 12), RED);
    EXPECT_EQ(ReadPixel(4, 19), RED);
    EXPECT_EQ(ReadPixel(18, 19), RED);
    EXPECT_EQ(ReadPixel(0, 0), BLACK);
    EXPECT_EQ(ReadPixel(5, 15), BLACK) << "outside the left side";
    EXPECT_EQ(ReadPixel(17, 15), BLACK) << "outside the right side";
    EXPECT_EQ(ReadPixel(11, 22), BLACK);
    EXPECT_BOUNDS(BoundsOf(pass, RED), 4, 12, 18, 19);
}

// ---------------------------------------------------------------------------------------
// Images drawn onto images
// ---------------------------------------------------------------------------------------

TEST(ImageDrawing, AlphaDrawOfAnOpaqueImageEqualsPlainDraw) {
    ImageRef source = CreateImage(12, 9, 32);
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(BeginDrawingImage(source));
    FillBox(0, 0, 12, 9, MakeColour(9, 57, 9));
    FillRoundBox(0, 0, 12, 14, 4, 4, MakeColour(6, 73, 6));
    DrawLineBetween(0, 8, 11, 0, RED);
    FillDisc(6, 4, 2, BLUE);
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetLinearGradient(0, 6, 0, 8);
    FillBox(8, 6, 4, 3, 0);
    EndDrawing();

    std::vector<Colour> plain, blended;
    {
        ImagePass target(20, 20, 24);
        FillBox(0, 0, 20, 20, MakeColour(200, 200, 200));
        DrawImagePlain(source, 5, 7);
        plain = target.Pixels();
        EXPECT_EQ(ReadPixel(5 + 11, 7), RED);
        EXPECT_EQ(ReadPixel(4, 7), MakeColour(200, 200, 200));
    }
    {
        ImagePass target(20, 20, 24);
        FillBox(0, 0, 20, 20, MakeColour(200, 200, 200));
        DrawImageAlpha(source, 5, 7);
        blended = target.Pixels();
    }
    EXPECT_EQ(plain, blended);
    ReleaseImage(source);
}

TEST(ImageDrawing, ClipsAtTheTargetEdges) {
    ImageRef source = CreateImage(6, 6, 24);
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(BeginDrawingImage(source));
    FillBox(0, 0, 6, 6, RED);
    WritePixel(2, 5, BLUE);
    EndDrawing();
    ImagePass target(10, 10, 32);
    DrawImagePlain(source, -3, 7);
    EXPECT_BOUNDS(BoundsOf(target, RED), 0, 7, 2, 9);
    DrawImageAlpha(source, 7, -3);
    EXPECT_EQ(ReadPixel(9, 2), BLUE);
    EXPECT_EQ(ReadPixel(7, 0), RED);
    ReleaseImage(source);
}

// ---------------------------------------------------------------------------------------
// Drawing state and text
// ---------------------------------------------------------------------------------------

struct TextDrawing : ::testing::Test {
    FontRef bold = nullptr;
    void SetUp() override {
        bold = MakeFont("Arial", 10, 700);
        ASSERT_NE(bold, nullptr);
    }
    void TearDown() override { ReleaseFont(bold); }
};

TEST_F(TextDrawing, ArialBoldTenPointExtents) {
    ImagePass pass(10, 10);
    UseFont(bold);
    EXPECT_EQ(TextWidth("LEFT"), 33);
    EXPECT_EQ(TextHeight("LEFT"), 15);
}

TEST_F(TextDrawing, EachPassStartsWithWhiteOnBlackInDefaultMode) {
    ImagePass pass(60, 30);
    SetFrontColour(RED);
    SetBackColour(BLUE);
    SetDrawingMode(DRAWMODE_GRADIENT);
    EndDrawing();

    ASSERT_TRUE(BeginDrawingImage(pass.image));
    const Colour grey = MakeColour(90, 90, 90);
    FillBox(0, 0, 60, 30, grey);
    EXPECT_EQ(ReadPixel(0, 0), grey) << "gradient mode did not carry over";
    DrawExtentLine(0, 0, 60, 1);
    EXPECT_EQ(ReadPixel(30, 0), WHITE) << "front colour starts white";
    UseFont(bold);
    int w = TextWidth("LEFT"), h = TextHeight("LEFT");
    DrawTextInFront(5, 5, "LEFT");
    // Default mode puts text on a box of the back colour, which starts black; the glyphs
    // are in the front colour.
    EXPECT_EQ(ReadPixel(5, 5), BLACK);
    EXPECT_EQ(ReadPixel(5 + w - 1, 5 + h - 1), BLACK);
    EXPECT_BOUNDS(BoundsWhere(pass, [grey](Colour c) { return c != grey && c != WHITE; }) , 5, 5,
                  5 + w - 1, 5 + h - 1);
    EXPECT_GT(CountOf(pass, WHITE), 60 + 20) << "the line plus the glyph stems";
}

TEST_F(TextDrawing, TextAtUsesItsColourOnTheBackBox) {
    ImagePass pass(60, 30);
    UseFont(bold);
    SetBackColour(BLUE);
    int w = TextWidth("LEFT"), h = TextHeight("LEFT");
    DrawTextAt(10, 8, "LEFT", RED);
    EXPECT_BOUNDS(BoundsWhere(pass, [](Colour c) { return c != BLACK; }), 10, 8, 10 + w - 1,
                  8 + h - 1);
    EXPECT_GT(CountOf(pass, RED), 20) << "glyph stems in the given colour";
    EXPECT_GT(CountOf(pass, BLUE), w * h / 2) << "the rest of the cell in the back colour";
}

TEST_F(TextDrawing, TransparentTextLiesRightOfAndBelowItsCorner) {
    ImagePass pass(120, 120);
    UseFont(bold);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    int w = TextWidth("LEFT"), h = TextHeight("LEFT");
    DrawRotatedText(60, 60, "LEFT", 0, WHITE);
    RectI lit = BoundsWhere(pass, [](Colour c) { return c != BLACK; });
    ASSERT_GE(lit.left, 0) << "nothing drawn";
    EXPECT_GE(lit.left, 60);
    EXPECT_LE(lit.left, 60 + 2);
    EXPECT_GE(lit.right, 60 + w - 4);
    EXPECT_LE(lit.right, 60 + w - 1);
    EXPECT_GE(lit.top, 60);
    EXPECT_LE(lit.top, 60 + 4);
    EXPECT_GE(lit.bottom, 60 + h - 6) << "capitals reach down to the baseline";
    EXPECT_LE(lit.bottom, 60 + h - 1);
}

TEST_F(TextDrawing, NinetyDegreesLiesAboveAndRightOfItsCorner) {
    ImagePass pass(120, 120);
    UseFont(bold);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    int w = TextWidth("LEFT"), h = TextHeight("LEFT");
    DrawRotatedText(60, 60, "LEFT", 90, WHITE);
    RectI lit = BoundsWhere(pass, [](Colour c) { return c != BLACK; });
    ASSERT_GE(lit.left, 0) << "nothing drawn";
    // The cell turns about (60, 60): it spans x 60 .. 60 + h and y 60 - w .. 60. The tops of
    // the capitals face left, the baseline right; the text reads upwards.
    EXPECT_GE(lit.left, 60 - 1);
    EXPECT_LE(lit.left, 60 + 4);
    EXPECT_LE(lit.right, 60 + h);
    EXPECT_GE(lit.right, 60 + h - 6);
    EXPECT_LE(lit.bottom, 60);
    EXPECT_GE(lit.bottom, 60 - 3);
    EXPECT_GE(lit.top, 60 - w - 1);
    EXPECT_LE(lit.top, 60 - w + 4);
}

TEST_F(TextDrawing, SmallTurnsStayNearTheBaseline) {
    // A scale number turned by +30 degrees rises to the right by about width * sin 30.
    ImagePass pass(120, 120);
    UseFont(bold);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    int w = TextWidth("LEFT"), h = TextHeight("LEFT");
    DrawRotatedText(40, 60, "LEFT", 30, GREEN);
    RectI lit = BoundsWhere(pass, [](Colour c) { return c != BLACK; });
    ASSERT_GE(lit.left, 0) << "nothing drawn";
    EXPECT_GE(lit.left, 40 - 1);
    EXPECT_LE(lit.right, 40 + w + 1);
    EXPECT_GE(lit.top, 60 - (w + 1) / 2 - 2);
    EXPECT_LE(lit.top, 60 - (w + 1) / 2 + 6);
    EXPECT_LE(lit.bottom, 60 + h + 1);
}

}  // namespace
