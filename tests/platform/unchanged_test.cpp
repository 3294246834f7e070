// Work the portable core leaves out because it would change no pixel: boxes filled in the
// colour they already hold, the same text drawn again over its own result, and an image
// control given its unchanged image again. Each case checks both halves: nothing is shown
// when nothing changed, and every pixel is exactly what drawing it all would have given.
#include <cstring>

#include "platform/portable/backend.h"
#include "recorder.h"

namespace {

using UnchangedTest = PortableTest;

constexpr Colour BACKGROUND = MakeColour(0, 40, 0);
constexpr Colour INK = MakeColour(0, 152, 0);

int64_t PresentedArea() {
    int64_t area = 0;
    for (const HeadlessPresent& p : HeadlessPresented())
        area += (int64_t)(p.rect.right - p.rect.left) * (p.rect.bottom - p.rect.top);
    return area;
}

void FillWindow(WindowRef w, int x, int y, int width, int height, Colour colour) {
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(x, y, width, height, colour);
    EndDrawing();
}

TEST_F(UnchangedTest, BoxAlreadyInItsColourIsNotShownAgainButADifferentPixelIs) {
    WindowRef w = MakeMain(200, 100);
    FillWindow(w, 10, 10, 12, 36, INK);
    HeadlessClearPresented();
    FillWindow(w, 10, 10, 12, 36, INK);
    EXPECT_EQ(PresentedArea(), 0);

    // One pixel inside differs: the whole box is filled and shown.
    ASSERT_TRUE(BeginDrawingWindow(w));
    WritePixel(21, 45, MakeColour(255, 0, 0));
    EndDrawing();
    HeadlessClearPresented();
    FillWindow(w, 10, 10, 12, 36, INK);
    EXPECT_EQ(HeadlessPixel(w, 21, 45), INK);
    EXPECT_GE(PresentedArea(), 12 * 36);

    // A box partly off the window is judged by the part on it.
    FillWindow(w, 190, 90, 20, 20, INK);
    HeadlessClearPresented();
    FillWindow(w, 190, 90, 20, 20, INK);
    EXPECT_EQ(PresentedArea(), 0);
    FillWindow(w, 190, 90, 20, 20, BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 199, 99), BACKGROUND);
}

// Transparent text drawn over itself blends its edges again each time until they stop
// changing (a faint edge pixel takes over a hundred drawings); leaving out the drawings that would change nothing must give the very same
// pixels as drawing every time. An image pass (never left out) is the reference.
TEST_F(UnchangedTest, RepeatedTransparentTextMatchesDrawingItEveryTime) {
    WindowRef w = MakeMain(120, 40);
    FontRef font = MakeFont("Arial", 7, 400);
    ASSERT_NE(font, nullptr);
    ImageRef reference = CreateImage(120, 40, 32);
    ASSERT_TRUE(BeginDrawingImage(reference));
    FillBox(0, 0, 120, 40, BACKGROUND);
    EndDrawing();
    FillWindow(w, 0, 0, 120, 40, BACKGROUND);

    bool quiet_at_the_end = false;
    for (int round = 0; round < 300; ++round) {
        ASSERT_TRUE(BeginDrawingImage(reference));
        UseFont(font);
        SetDrawingMode(DRAWMODE_TRANSPARENT);
        DrawTextAt(10, 10, "-29", INK);
        DrawTextAt(60, 10, "-3", INK);
        EndDrawing();

        HeadlessClearPresented();
        ASSERT_TRUE(BeginDrawingWindow(w));
        UseFont(font);
        SetDrawingMode(DRAWMODE_TRANSPARENT);
        DrawTextAt(10, 10, "-29", INK);
        DrawTextAt(60, 10, "-3", INK);
        EndDrawing();
        quiet_at_the_end = HeadlessPresented().empty();

        ASSERT_TRUE(BeginDrawingImage(reference));
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 120; ++x)
                ASSERT_EQ(HeadlessPixel(w, x, y), ReadPixel(x, y)) << "round " << round << " at " << x << "," << y;
        EndDrawing();
    }
    EXPECT_TRUE(quiet_at_the_end) << "settled text is still drawn and shown";

    // Something else changes a pixel under the text: it is drawn again over it.
    FillWindow(w, 10, 10, 30, 14, BACKGROUND);
    ASSERT_TRUE(BeginDrawingWindow(w));
    UseFont(font);
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    DrawTextAt(10, 10, "-29", INK);
    EndDrawing();
    bool inked = false;
    for (int y = 10; y < 24; ++y)
        for (int x = 10; x < 40; ++x) inked |= HeadlessPixel(w, x, y) != BACKGROUND;
    EXPECT_TRUE(inked);
    ReleaseImage(reference);
    ReleaseFont(font);
}

// Text cut off by the window's edge settles on the part that shows; once the window is wider,
// the rest must be drawn.
TEST_F(UnchangedTest, SettledTextCutOffByTheEdgeIsDrawnWhenTheWindowGrows) {
    WindowRef w = MakeMain(60, 40);
    SetWindowBackground(w, BACKGROUND);
    auto draw = [&] {
        ASSERT_TRUE(BeginDrawingWindow(w));
        SetDrawingMode(DRAWMODE_TRANSPARENT);
        DrawTextAt(50, 10, "8888", INK);
        EndDrawing();
    };
    for (int round = 0; round < 300; ++round) draw();
    WindowPlacementRecord placement{};
    placement.length = sizeof placement;
    placement.show_command = SW_SHOWNORMAL;
    placement.normal_position = RectI{10, 20, 130, 60};
    ASSERT_TRUE(PlaceWindow(w, &placement));
    draw();
    int inked = 0;
    for (int y = 5; y < 30; ++y)
        for (int x = 60; x < 120; ++x) inked += HeadlessPixel(w, x, y) != BACKGROUND;
    EXPECT_GT(inked, 10);
}

TEST_F(UnchangedTest, SameTextInAnotherColourOrPlaceIsDrawn) {
    WindowRef w = MakeMain(120, 40);
    FillWindow(w, 0, 0, 120, 40, BACKGROUND);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(BeginDrawingWindow(w));
        SetDrawingMode(DRAWMODE_TRANSPARENT);
        DrawTextAt(10, 10, "8", INK);
        EndDrawing();
    }
    HeadlessClearPresented();
    ASSERT_TRUE(BeginDrawingWindow(w));
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    DrawTextAt(10, 10, "8", MakeColour(255, 0, 0));
    DrawTextAt(50, 10, "8", INK);
    EndDrawing();
    EXPECT_GE(HeadlessPresented().size(), 2u);
    bool red = false, green = false;
    for (int y = 5; y < 30; ++y)
        for (int x = 5; x < 70; ++x) {
            Colour c = HeadlessPixel(w, x, y);
            red |= x < 30 && (c & 0xFF) > 128;
            green |= x >= 50 && c != BACKGROUND;
        }
    EXPECT_TRUE(red);
    EXPECT_TRUE(green);
}

TEST_F(UnchangedTest, ImageControlRepaintsOnlyWhenItsPictureMayDiffer) {
    WindowRef w = MakeMain(200, 120);
    SetWindowBackground(w, BACKGROUND);
    WindowRef control = CreateImageControl(w, 5, 10, 10, 40, 30);
    ImageRef image = CreateImage(36, 26, 24);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 36, 26, MakeColour(0, 34, 0));
    EndDrawing();
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 12 + 5, 12 + 5), MakeColour(0, 34, 0));

    // The same image, untouched (an empty pass changes nothing): nothing to show.
    ASSERT_TRUE(BeginDrawingImage(image));
    EndDrawing();
    HeadlessClearPresented();
    SetControlImage(control, image);
    EXPECT_EQ(PresentedArea(), 0);

    // Drawn on: shown again.
    ASSERT_TRUE(BeginDrawingImage(image));
    WritePixel(3, 4, MakeColour(0, 186, 0));
    EndDrawing();
    HeadlessClearPresented();
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 12 + 3, 12 + 4), MakeColour(0, 186, 0));
    EXPECT_GT(PresentedArea(), 0);

    // The window drew over the control: the image is painted over that again.
    FillWindow(w, 0, 0, 30, 30, MakeColour(255, 255, 0));
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 12 + 3, 12 + 4), MakeColour(0, 186, 0));
    EXPECT_EQ(HeadlessPixel(w, 20, 20), MakeColour(0, 34, 0));

    // So it is after the control was hidden and shown.
    ShowControl(control, false);
    EXPECT_EQ(HeadlessPixel(w, 20, 20), BACKGROUND);
    ShowControl(control, true);
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 20, 20), MakeColour(0, 34, 0));

    // Another image of the same size is always painted.
    ImageRef other = CreateImage(36, 26, 24);
    SetControlImage(control, other);
    EXPECT_EQ(HeadlessPixel(w, 20, 20), MakeColour(0, 0, 0));
    SetControlImage(control, nullptr);
    ReleaseImage(other);
    ReleaseImage(image);
}

// Drawn on since it was painted: once, only that pass's part is shown again; twice, or with
// turned text (only roughly bounded), all of it.
TEST_F(UnchangedTest, ImageControlShowsWhatChangedSinceItWasPainted) {
    WindowRef w = MakeMain(200, 120);
    SetWindowBackground(w, BACKGROUND);
    WindowRef control = CreateImageControl(w, 5, 10, 10, 64, 44);
    ImageRef image = CreateImage(60, 40, 24);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 60, 40, MakeColour(0, 34, 0));
    EndDrawing();
    SetControlImage(control, image);
    auto expect_shown = [&](const char* when) {
        ASSERT_TRUE(BeginDrawingImage(image));
        int wrong = 0;
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 60; ++x) wrong += HeadlessPixel(w, 12 + x, 12 + y) != ReadPixel(x, y);
        EndDrawing();
        EXPECT_EQ(wrong, 0) << when;
    };

    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(5, 6, 3, 2, MakeColour(200, 0, 0));
    EndDrawing();
    HeadlessClearPresented();
    SetControlImage(control, image);
    expect_shown("one pass");
    ASSERT_EQ(HeadlessPresented().size(), 1u);
    const RectI shown = HeadlessPresented()[0].rect;
    EXPECT_EQ(shown.left, 12 + 5);
    EXPECT_EQ(shown.top, 12 + 6);
    EXPECT_EQ(shown.right, 12 + 8);
    EXPECT_EQ(shown.bottom, 12 + 8);

    ASSERT_TRUE(BeginDrawingImage(image));
    WritePixel(50, 30, MakeColour(0, 0, 200));
    EndDrawing();
    ASSERT_TRUE(BeginDrawingImage(image));
    WritePixel(1, 1, MakeColour(0, 200, 200));
    EndDrawing();
    SetControlImage(control, image);
    expect_shown("two passes");

    ASSERT_TRUE(BeginDrawingImage(image));
    DrawRotatedText(20, 30, "45", 45.0, MakeColour(255, 255, 255));
    EndDrawing();
    SetControlImage(control, image);
    expect_shown("turned text");
    SetControlImage(control, nullptr);
    ReleaseImage(image);
}

}  // namespace
