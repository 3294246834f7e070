// Text drawn again: the same label on the same background comes out the same, on another
// background it lies on that background, and a font made after another was released is
// measured and drawn as itself. (A backend may keep rendered text; none of that may show.)
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"

namespace {

const Colour GREY = MakeColour(90, 90, 90);
const Colour BLUE = MakeColour(0, 0, 200);
const Colour LABEL = MakeColour(0, 152, 0);

std::vector<Colour> Pixels(int w, int h) {
    std::vector<Colour> all;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) all.push_back(ReadPixel(x, y));
    return all;
}

TEST(TextAgain, SameLabelSameBackgroundSamePixelsOtherBackgroundShowsThrough) {
    const int w = 60, h = 30;
    FontRef font = MakeFont("Arial", 10, 700);
    ASSERT_NE(font, nullptr);
    ImageRef image = CreateImage(w, h, 32);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    UseFont(font);
    SetDrawingMode(DRAWMODE_TRANSPARENT);

    FillBox(0, 0, w, h, GREY);
    DrawTextAt(5, 5, "LEFT", LABEL);
    std::vector<Colour> first = Pixels(w, h);
    FillBox(0, 0, w, h, GREY);
    DrawTextAt(5, 5, "LEFT", LABEL);
    EXPECT_EQ(Pixels(w, h), first) << "drawn again on the same background";

    FillBox(0, 0, w, h, BLUE);
    DrawTextAt(5, 5, "LEFT", LABEL);
    std::vector<Colour> other = Pixels(w, h);
    int grey = 0, blue = 0, lit_both = 0, lit_first = 0;
    for (size_t i = 0; i < other.size(); ++i) {
        grey += other[i] == GREY;
        blue += other[i] == BLUE;
        lit_first += first[i] == LABEL;
        lit_both += first[i] == LABEL && other[i] == LABEL;
    }
    EXPECT_EQ(grey, 0) << "nothing of the earlier background comes back";
    EXPECT_GT(blue, w * h / 2);
    EXPECT_GT(lit_first, 20) << "the glyph stems are solid";
    EXPECT_EQ(lit_both, lit_first) << "the glyphs' solid pixels stay where they were";

    // Moved by (7, 3), the label is the same pixels moved.
    FillBox(0, 0, w, h, GREY);
    DrawTextAt(12, 8, "LEFT", LABEL);
    std::vector<Colour> moved = Pixels(w, h);
    int mismatched = 0;
    for (int y = 0; y + 3 < h; ++y)
        for (int x = 0; x + 7 < w; ++x)
            mismatched += first[(size_t)y * w + x] != moved[(size_t)(y + 3) * w + x + 7];
    EXPECT_EQ(mismatched, 0);
    EndDrawing();
    ReleaseImage(image);
    ReleaseFont(font);
}

TEST(TextAgain, FontMadeAfterAReleasedOneIsItself) {
    ImageRef image = CreateImage(200, 60, 32);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    FontRef small = MakeFont("Arial", 10, 700);
    ASSERT_NE(small, nullptr);
    UseFont(small);
    const int small_width = TextWidth("LEFT");
    DrawTextAt(2, 2, "LEFT", MakeColour(255, 255, 255));
    ReleaseFont(small);

    // Often the very handle just released.
    FontRef large = MakeFont("Arial", 20, 700);
    ASSERT_NE(large, nullptr);
    UseFont(large);
    const int large_width = TextWidth("LEFT");
    EXPECT_GT(large_width, small_width + 20);
    EXPECT_GT(TextHeight("LEFT"), 25);
    FillBox(0, 0, 200, 60, 0);
    SetBackColour(BLUE);
    DrawTextAt(2, 2, "LEFT", MakeColour(255, 255, 255));
    // Below the baseline of capitals the cell is all back box.
    const int row = 2 + TextHeight("LEFT") - 2;
    int right = -1;
    for (int x = 0; x < 200; ++x)
        if (ReadPixel(x, row) == BLUE) right = x;
    EXPECT_EQ(right, 2 + large_width - 1) << "the back box is the large font's cell";
    EndDrawing();
    ReleaseImage(image);
    ReleaseFont(large);
}

}  // namespace
