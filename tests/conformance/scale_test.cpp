// A window on a high-DPI screen at scale 2, read back from the screen on each backend: every
// client pixel of the 1 x picture shows as a 2 x 2 block, whoever painted it (the program's
// drawing, a sunken frame's edge, a canvas, an image control), at the places the 1 x picture
// fixes. The native build enlarges in its presenter; the Windows build makes its windows twice
// the size and enlarges what it copies to them. Both must show the same pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/win32/display_scale.h"
#else
#include "platform/portable/backend.h"
#endif

namespace {

constexpr int SCALE = 2;
constexpr int WIDTH = 300, HEIGHT = 200;
constexpr Colour BACKGROUND = MakeColour(18, 24, 50);
constexpr Colour BLACK = MakeColour(0, 0, 0);
constexpr Colour GREEN = MakeColour(0, 186, 0);
constexpr Colour TRACE = MakeColour(10, 221, 10);
constexpr Colour RED = MakeColour(200, 0, 0);
constexpr Colour OUTER_DARK = MakeColour(166, 166, 166), INNER_DARK = MakeColour(106, 106, 106);
constexpr Colour OUTER_LIGHT = MakeColour(255, 255, 255), INNER_LIGHT = MakeColour(227, 227, 227);

intptr_t PLATFORM_CALLBACK PlainProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == WM_CLOSE) return 0;
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

void LetItPaint() {
    for (int i = 0; i < 200 && PumpOneMessage(); ++i) {
    }
}

// The window's client area as the screen shows it at SCALE, one 0x00BBGGRR colour a pixel.
class Screen {
public:
    explicit Screen(WindowRef window) : width_(SCALE * WIDTH), height_(SCALE * HEIGHT) {
        pixels_.assign((size_t)width_ * height_, 0xFFFFFFFFu);
#ifdef _WIN32
        HDC dc = GetDC((HWND)window);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x) pixels_[(size_t)y * width_ + x] = GetPixel(dc, x, y);
        ReleaseDC((HWND)window, dc);
#else
        // The presenter's copy into a screen surface, red and blue swapped into the seam's order.
        std::vector<uint32_t> screen((size_t)width_ * height_, 0);
        SurfaceView view = TopLevelSurface(window);
        PresentBlit(view, screen.data(), (size_t)width_ * 4, width_, height_, RectI{0, 0, view.width, view.height},
                    SCALE, true, true);
        for (size_t i = 0; i < screen.size(); ++i) pixels_[i] = screen[i] & 0x00FFFFFFu;
#endif
    }
    Colour At(int x, int y) const {
        if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0xFFFFFFFFu;
        return pixels_[(size_t)y * width_ + x];
    }
    // The pixel of the 1 x picture at (x, y): the top-left pixel of its block.
    Colour Program(int x, int y) const { return At(SCALE * x, SCALE * y); }
    // Where a pixel differs from its block's top-left one, as "(x,y)" items, at most ten.
    std::string NotInBlocks() const {
        std::string wrong;
        int count = 0;
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                if (At(x, y) != At(x - x % SCALE, y - y % SCALE) && count++ < 10)
                    wrong += " (" + std::to_string(x) + "," + std::to_string(y) + ")";
        if (count > 10) wrong += " and " + std::to_string(count - 10) + " more";
        return wrong;
    }

private:
    int width_, height_;
    std::vector<Colour> pixels_;
};

class AtScaleTwo : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef _WIN32
        UseDisplayScaleForTests(SCALE);
#endif
        InitControlLibrary();
        // At scale 2 wholly on a 1024 x 768 screen (Wine's null driver keeps nothing off it).
        window = CreateMainWindow("scale", 10, 10, WIDTH, HEIGHT, WS_CAPTION | WS_SYSMENU, PlainProcedure);
        ASSERT_NE(window, nullptr);
        SetWindowBackground(window, BACKGROUND);
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        DestroyWindowTree(window);
        if (image) ReleaseImage(image);
#ifdef _WIN32
        UseDisplayScaleForTests(1);
#endif
    }
    WindowRef window = nullptr;
    ImageRef image = nullptr;
};

TEST_F(AtScaleTwo, TheProgramKeepsItsOwnPixels) {
    int w = 0, h = 0;
    ASSERT_TRUE(GetClientSize(window, &w, &h));
    EXPECT_EQ(w, WIDTH);
    EXPECT_EQ(h, HEIGHT);
    ASSERT_TRUE(BeginDrawingWindow(window));
    EXPECT_EQ(DrawingWidth(), WIDTH);
    EXPECT_EQ(DrawingHeight(), HEIGHT);
    EndDrawing();
#ifdef _WIN32
    RECT client;
    ASSERT_TRUE(GetClientRect((HWND)window, &client));
    EXPECT_EQ(client.right, SCALE * WIDTH) << "the window on the screen";
    EXPECT_EQ(client.bottom, SCALE * HEIGHT);
#endif
}

TEST_F(AtScaleTwo, EveryPixelOfEveryPainterIsABlockInItsPlace) {
    WindowRef frame = CreateSunkenFrame(window, 1, 0, 0, 0, 0);
    ASSERT_NE(frame, nullptr);
    MoveControl(frame, 10, 20, 100, 60);
    RectI rect{};
    ASSERT_TRUE(GetControlRect(frame, &rect));
    EXPECT_TRUE(rect.left == 10 && rect.top == 20 && rect.right == 110 && rect.bottom == 80)
        << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
    WindowRef canvas = CreateCanvas(window, -1, 150, 20, 104, 64);
    ASSERT_NE(canvas, nullptr);
    // An image control showing a 24-bit image, as the history graph does.
    image = CreateImage(40, 30, 24);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 40, 30, MakeColour(0, 34, 0));
    DrawLineBetween(0, 29, 39, 0, GREEN);
    EndDrawing();
    WindowRef picture = CreateImageControl(window, -1, 150, 110, 44, 34);
    ASSERT_NE(picture, nullptr);
    SetControlImage(picture, image);

    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 100, 60, MakeColour(0, 95, 0));
    DrawLineBetween(5, 55, 90, 8, TRACE);
    EndDrawing();
    // The children paint themselves first, as they do at start-up.
    LetItPaint();
    ASSERT_TRUE(BeginDrawingWindow(window));
    FillBox(12, 22, 96, 56, BLACK);
    DrawLineBetween(12, 60, 107, 30, TRACE);
    FillBox(20, 120, 7, 5, RED);
    // Over the canvas's left edge and into it, as a window's drawing lands on its children.
    FillBox(140, 50, 14, 6, RED);
    WritePixel(30, 150, GREEN);
    EndDrawing();
    // The image again, new pixels in the same bitmap: shown at once.
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(30, 5, 4, 4, RED);
    EndDrawing();
    SetControlImage(picture, image);
    LetItPaint();

    Screen screen(window);
    EXPECT_EQ(screen.NotInBlocks(), "") << "pixels unlike their 2 x 2 block";

    // The sunken frame's edge: two lines of the system's colours on each side.
    EXPECT_EQ(screen.Program(60, 20), OUTER_DARK);
    EXPECT_EQ(screen.Program(60, 21), INNER_DARK);
    EXPECT_EQ(screen.Program(10, 50), OUTER_DARK);
    EXPECT_EQ(screen.Program(11, 50), INNER_DARK);
    EXPECT_EQ(screen.Program(60, 79), OUTER_LIGHT);
    EXPECT_EQ(screen.Program(60, 78), INNER_LIGHT);
    EXPECT_EQ(screen.Program(109, 50), OUTER_LIGHT);
    EXPECT_EQ(screen.Program(108, 50), INNER_LIGHT);
    EXPECT_EQ(screen.Program(60, 19), BACKGROUND);
    EXPECT_EQ(screen.Program(110, 50), BACKGROUND);
    // The window's drawing inside the frame.
    EXPECT_EQ(screen.Program(13, 23), BLACK);
    EXPECT_EQ(screen.Program(12, 60), TRACE) << "the line's first end";
    EXPECT_EQ(screen.Program(107, 30), TRACE) << "and its last";
    EXPECT_EQ(screen.Program(20, 120), RED);
    EXPECT_EQ(screen.Program(26, 124), RED);
    EXPECT_EQ(screen.Program(27, 124), BACKGROUND);
    EXPECT_EQ(screen.Program(26, 125), BACKGROUND);
    EXPECT_EQ(screen.Program(30, 150), GREEN);
    // The canvas: its edge, its inside at (152, 22), and the window's box drawn over it.
    EXPECT_EQ(screen.Program(200, 20), OUTER_DARK);
    EXPECT_EQ(screen.Program(200, 83), OUTER_LIGHT);
    EXPECT_EQ(screen.Program(152 + 5, 22 + 55), TRACE);
    EXPECT_EQ(screen.Program(152 + 90, 22 + 8), TRACE);
    EXPECT_EQ(screen.Program(160, 40), MakeColour(0, 95, 0));
    EXPECT_EQ(screen.Program(145, 52), RED) << "left of the canvas";
    EXPECT_EQ(screen.Program(153, 55), RED) << "over the canvas";
    EXPECT_EQ(screen.Program(154, 55), MakeColour(0, 95, 0)) << "the canvas beyond the box";
    // The image control: its edge, then the image from (152, 112).
    EXPECT_EQ(screen.Program(170, 110), OUTER_DARK);
    EXPECT_EQ(screen.Program(170, 111), INNER_DARK);
    EXPECT_EQ(screen.Program(152, 112 + 29), GREEN) << "the image's line from its bottom-left corner";
    EXPECT_EQ(screen.Program(152 + 39, 112), GREEN);
    EXPECT_EQ(screen.Program(152 + 1, 112 + 1), MakeColour(0, 34, 0));
    EXPECT_EQ(screen.Program(152 + 31, 112 + 6), RED) << "the image's new pixels";
    EXPECT_EQ(screen.Program(152 + 39, 112 + 29), MakeColour(0, 34, 0));
    EXPECT_EQ(screen.Program(150 + 43, 110 + 33), OUTER_LIGHT) << "the control fits the image and its edge";
    EXPECT_EQ(screen.Program(150 + 44, 130), BACKGROUND);
}

TEST_F(AtScaleTwo, TextKeepsItsSizeInProgramPixels) {
    // The label fonts are made for the program's 96 pixels to the inch at any scale: 10-point
    // bold Arial is 13 pixels a side, "LEFT" 33 wide (Liberation Sans on both backends).
    FontRef font = MakeFont("Arial", 10, 700);
    ASSERT_NE(font, nullptr);
    ASSERT_TRUE(BeginDrawingWindow(window));
    FillBox(0, 0, WIDTH, HEIGHT, MakeColour(0, 95, 0));
    UseFont(font);
    const int text_width = TextWidth("LEFT");
    SetDrawingMode(DRAWMODE_TRANSPARENT);
    DrawTextAt(100, 100, "LEFT", TRACE);
    EndDrawing();
    LetItPaint();
    EXPECT_NEAR(text_width, 33, 1);
    Screen screen(window);
    EXPECT_EQ(screen.NotInBlocks(), "");
    // The ink of the text lies in the box the 1 x text takes, and reaches across most of it.
    int left = 1 << 20, right = -1, top = 1 << 20, bottom = -1;
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x)
            if (screen.Program(x, y) != MakeColour(0, 95, 0)) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    EXPECT_GE(left, 100);
    EXPECT_LE(left, 102);
    EXPECT_GE(right, 100 + text_width - 4);
    EXPECT_LE(right, 100 + text_width);
    EXPECT_GE(top, 101);
    EXPECT_LE(bottom, 100 + 15);
    ReleaseFont(font);
}

}  // namespace
