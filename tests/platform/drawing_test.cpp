// The drawing context of the portable backend: what each pass starts with, how modes and
// colours reach the raster and the text, fonts sized from points, images, and passes that
// end one another.
#include "recorder.h"

namespace {

constexpr Colour RED = MakeColour(255, 0, 0);
constexpr Colour BLUE = MakeColour(0, 0, 255);
constexpr Colour GREY = MakeColour(128, 128, 128);

class DrawingTest : public PortableTest {
protected:
    ImageRef image = nullptr;
    void SetUp() override {
        PortableTest::SetUp();
        image = CreateImage(64, 32, 32);
        ASSERT_NE(image, nullptr);
    }
    void TearDown() override {
        EndDrawing();
        ReleaseImage(image);
        PortableTest::TearDown();
    }
};

TEST_F(DrawingTest, ImagesStartBlackAndNothingDrawsOutsideAPass) {
    ASSERT_TRUE(BeginDrawingImage(image));
    EXPECT_EQ(DrawingWidth(), 64);
    EXPECT_EQ(DrawingHeight(), 32);
    EXPECT_EQ(ReadPixel(0, 0), MakeColour(0, 0, 0));
    EXPECT_EQ(ReadPixel(63, 31), MakeColour(0, 0, 0));
    EXPECT_EQ(ReadPixel(64, 0), 0xFFFFFFFFu);
    EndDrawing();
    EXPECT_FALSE(IsDrawing());
    FillBox(0, 0, 64, 32, RED);
    WritePixel(1, 1, RED);
    EXPECT_EQ(DrawingWidth(), 0);
    EXPECT_EQ(TextWidth("abc"), 0);
    ASSERT_TRUE(BeginDrawingImage(image));
    EXPECT_EQ(ReadPixel(1, 1), MakeColour(0, 0, 0));
}

TEST_F(DrawingTest, EachPassStartsWithWhiteFrontBlackBackAndDefaultMode) {
    ASSERT_TRUE(BeginDrawingImage(image));
    SetFrontColour(RED);
    SetBackColour(BLUE);
    SetDrawingMode(DRAWMODE_GRADIENT);
    EndDrawing();
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 64, 32, GREY);  // default mode: a plain fill, the gradient is gone
    EXPECT_EQ(ReadPixel(10, 10), GREY);
    DrawExtentLine(0, 5, 64, 1);  // in the front colour
    EXPECT_EQ(ReadPixel(0, 5), MakeColour(255, 255, 255));
    EXPECT_EQ(ReadPixel(63, 5), MakeColour(255, 255, 255));
    EXPECT_EQ(ReadPixel(10, 6), GREY);
    // Default mode text sits on a box of the back colour (black).
    DrawTextAt(2, 12, "Wg", RED);
    EXPECT_EQ(ReadPixel(2, 12), MakeColour(0, 0, 0));
}

TEST_F(DrawingTest, TransparentTextLeavesItsCellAlone) {
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 64, 32, GREY);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    SetBackColour(BLUE);
    DrawTextInFront(2, 2, "Wg");
    EXPECT_EQ(ReadPixel(2, 2), GREY);
    int light = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) light += ColourRed(ReadPixel(x, y)) > 180;
    EXPECT_GT(light, 5);  // the glyphs, in the (white) front colour, not the blue back colour
    SetDrawingMode(DRAWMODE_DEFAULT);
    DrawTextAt(30, 2, "W", RED);
    EXPECT_EQ(ReadPixel(30, 2), BLUE);
}

TEST_F(DrawingTest, GradientModeFillsFromBackToFront) {
    ASSERT_TRUE(BeginDrawingImage(image));
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetFrontColour(MakeColour(200, 0, 0));
    SetBackColour(MakeColour(0, 0, 200));
    SetLinearGradient(0, 0, 63, 0);
    FillBox(0, 0, 64, 32, GREY);
    EXPECT_EQ(ReadPixel(0, 10), MakeColour(0, 0, 200));
    EXPECT_EQ(ReadPixel(63, 10), MakeColour(200, 0, 0));
    Colour middle = ReadPixel(31, 10);
    EXPECT_NEAR(ColourRed(middle), 98, 2);
    EXPECT_NEAR(ColourBlue(middle), 102, 2);
    // Discs and lines keep their own colour in any mode.
    FillDisc(10, 20, 2, GREY);
    EXPECT_EQ(ReadPixel(10, 20), GREY);
}

TEST_F(DrawingTest, FontsAreSizedFromPointsAtTheDisplayDpi) {
    FontRef bold = MakeFont("Arial", 10, 700);
    ASSERT_NE(bold, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    int default_height = TextHeight("LEFT");
    UseFont(bold);
    EXPECT_EQ(TextWidth("LEFT"), 33);  // 13 pixels per em
    EXPECT_EQ(TextHeight("LEFT"), 15);
    EXPECT_LT(default_height, 15);     // the 8-point default GUI font is smaller
    UseFont(nullptr);
    EXPECT_EQ(TextHeight("LEFT"), default_height);
    UseFont(bold);
    EndDrawing();
    ASSERT_TRUE(BeginDrawingImage(image));
    EXPECT_EQ(TextHeight("LEFT"), default_height);  // a new pass starts with the default font again
    EndDrawing();
    ReleaseFont(bold);
}

TEST_F(DrawingTest, OnlyOnePassIsOpenAtATime) {
    WindowRef w = MakeMain(100, 100);
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(0, 0, 10, 10, RED);
    ASSERT_TRUE(BeginDrawingImage(image));  // ends the window pass, which shows its work
    EXPECT_EQ(HeadlessPixel(w, 5, 5), RED);
    FillBox(0, 0, 64, 32, BLUE);
    EndDrawing();
    EXPECT_FALSE(IsDrawing());
    EXPECT_EQ(HeadlessPixel(w, 50, 50), MakeColour(255, 255, 255));
    ASSERT_TRUE(BeginDrawingImage(image));
    EXPECT_EQ(ReadPixel(0, 0), BLUE);
}

TEST_F(DrawingTest, AlphaBlitHonoursOnlyAThirtyTwoBitImage) {
    WindowRef w = MakeMain(100, 100);
    ImageRef plain = CreateImage(4, 4, 24);
    ASSERT_TRUE(BeginDrawingImage(plain));
    FillBox(0, 0, 4, 4, RED);
    EndDrawing();
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(0, 0, 100, 100, BLUE);
    DrawImageAlpha(plain, 10, 10);
    DrawImagePlain(image, 50, 50);
    EXPECT_EQ(ReadPixel(11, 11), RED);
    EXPECT_EQ(ReadPixel(50, 50), MakeColour(0, 0, 0));
    EXPECT_EQ(ReadPixel(49, 49), BLUE);
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(w, 11, 11), RED);
    ReleaseImage(plain);
}

TEST_F(DrawingTest, FloodFillAndPixelsOnAWindow) {
    WindowRef w = MakeMain(60, 60);
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(0, 0, 60, 60, GREY);
    DrawLineBetween(10, 10, 40, 10, RED);
    DrawLineBetween(40, 10, 40, 40, RED);
    DrawLineBetween(40, 40, 10, 40, RED);
    DrawLineBetween(10, 40, 10, 10, RED);
    FloodFillTo(20, 20, RED, BLUE);
    WritePixel(55, 55, RED);
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(w, 25, 25), BLUE);
    EXPECT_EQ(HeadlessPixel(w, 5, 5), GREY);
    EXPECT_EQ(HeadlessPixel(w, 10, 10), RED);
    EXPECT_EQ(HeadlessPixel(w, 55, 55), RED);
}

}  // namespace
