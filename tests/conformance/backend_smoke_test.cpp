// First checks of a backend through the seam alone: a window, the toolbar with a
// drop-down list, an image control, image drawing read back pixel by pixel, the queue.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

#include "platform/platform.h"

namespace {

struct Seen {
    int minmax = 0;
    int command_id = -1;
    int timers = 0;
    int device_changes = 0;
};
Seen seen;

intptr_t PLATFORM_CALLBACK SmokeProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    switch (message) {
    case WM_GETMINMAXINFO:
        ++seen.minmax;
        reinterpret_cast<MinMaxInfo*>(lparam)->min_track_size = {800, 720};
        break;
    case WM_COMMAND:
        seen.command_id = (int)(wparam & 0xFFFF);
        break;
    case WM_TIMER:
        ++seen.timers;
        break;
    case WM_DEVICECHANGE:
        ++seen.device_changes;
        break;
    case WM_CLOSE:
        return 0;
    default:
        break;
    }
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

class SmokeTest : public ::testing::Test {
protected:
    void SetUp() override {
        seen = Seen();
        InitControlLibrary();
        // Wholly on a 1024 x 768 screen (Wine's null driver): what lies off screen is not kept.
        window = CreateMainWindow("smoke", 20, 10, 800, 720, WS_CAPTION | WS_SYSMENU, SmokeProcedure);
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        DestroyWindowTree(window);
    }
    WindowRef window = nullptr;
};

// The pixels a Bresenham line covers, both ends included.
std::set<std::pair<int, int>> LinePixels(int x1, int y1, int x2, int y2) {
    std::set<std::pair<int, int>> pixels;
    int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
    int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1, err = dx + dy;
    for (;;) {
        pixels.insert({x1, y1});
        if (x1 == x2 && y1 == y2) break;
        int e2 = 2 * err;
        if (e2 >= dy) { err += dy; x1 += sx; }
        if (e2 <= dx) { err += dx; y1 += sy; }
    }
    return pixels;
}

TEST_F(SmokeTest, MainWindowHasTheAskedClientAreaAndAFrameAroundIt) {
    int width = 0, height = 0;
    ASSERT_TRUE(GetClientSize(window, &width, &height));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 720);
    RectI frame;
    ASSERT_TRUE(GetWindowFrame(window, &frame));
    EXPECT_EQ(frame.left, 20);
    EXPECT_EQ(frame.top, 10);
    // The frame holds the client area (the portable backend's frame adds nothing).
    EXPECT_GE(frame.right - frame.left, 800);
    EXPECT_GE(frame.bottom - frame.top, 720);
    EXPECT_TRUE(IsWindowShown(window));
    EXPECT_GT(seen.minmax, 0);
    EXPECT_EQ(GetParentWindow(window), nullptr);
}

TEST_F(SmokeTest, PlacementKeepsTheMinimumTrackingSize) {
    WindowPlacementRecord placement = {44, 0, SW_HIDE, {-1, -1}, {-1, -1}, {50, 100, 300, 200}};
    ASSERT_TRUE(PlaceWindow(window, &placement));
    EXPECT_FALSE(IsWindowShown(window));
    ShowWindowAs(window, SW_SHOWNORMAL);
    EXPECT_TRUE(IsWindowShown(window));
    RectI frame;
    ASSERT_TRUE(GetWindowFrame(window, &frame));
    EXPECT_GE(frame.right - frame.left, 800);
    EXPECT_GE(frame.bottom - frame.top, 720);
}

TEST_F(SmokeTest, ToolbarButtonAndDropDownListGeometry) {
    EXPECT_EQ(MakeToolbar(nullptr), nullptr);
    WindowRef toolbar = MakeToolbar(window);
    ASSERT_NE(toolbar, nullptr);
    EXPECT_EQ(ToolbarButtonCount(toolbar), 0);
    ToolbarInsertBlankButton(toolbar, 0, 36 + 58);
    ASSERT_EQ(ToolbarButtonCount(toolbar), 1);
    RectI button;
    ASSERT_TRUE(ToolbarItemRect(toolbar, 0, &button));
    int b = button.right - button.left;
    std::printf("toolbar button: left %d top %d width B = %d height %d\n", (int)button.left, (int)button.top, b,
                (int)(button.bottom - button.top));
    EXPECT_GT(b, 0);
    ToolbarInsertBlankButton(toolbar, 1, 481 + 200);
    RectI second;
    ASSERT_TRUE(ToolbarItemRect(toolbar, 1, &second));
    EXPECT_EQ(second.left, button.right);

    WindowRef list = CreateDropDownList(toolbar, 9, 481 + second.left, 5, 200, 20);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(GetControlId(list), 9);
    EXPECT_EQ(GetParentWindow(list), toolbar);
    EXPECT_EQ(FindControl(toolbar, 9), list);
    RectI rect;
    ASSERT_TRUE(GetControlRect(list, &rect));
    EXPECT_EQ(rect.left, 481 + second.left);
    EXPECT_EQ(rect.top, 5);
    EXPECT_EQ(rect.right - rect.left, 200);
    EXPECT_EQ(rect.bottom - rect.top, 20) << "closed height";

    EXPECT_EQ(ListSelection(list), -1);
    EXPECT_EQ(ListAddItem(list, "Wave mapper"), 0);
    EXPECT_EQ(ListAddItem(list, "Line in with a rather long device name"), 1);
    ListSetItemData(list, 1, -7);
    EXPECT_EQ(ListGetItemData(list, 1), -7);
    EXPECT_EQ(ListItemCount(list), 2);
    char text[8];
    ASSERT_TRUE(ListGetItemText(list, 1, text, sizeof(text)));
    EXPECT_STREQ(text, "Line in");
    EXPECT_FALSE(ListGetItemText(list, 2, text, sizeof(text)));
    ListSelect(list, 1);
    EXPECT_EQ(ListSelection(list), 1);
    ListSelect(list, -1);
    EXPECT_EQ(ListSelection(list), -1);

    // Emptied for a new device set, quietly, and filled again.
    ListSelect(list, 1);
    seen.command_id = -1;
    ListClear(list);
    EXPECT_EQ(ListItemCount(list), 0);
    EXPECT_EQ(ListSelection(list), -1);
    EXPECT_EQ(seen.command_id, -1) << "clearing the list notifies no one";
    EXPECT_EQ(ListAddItem(list, "Headset"), 0);
    ListSetItemData(list, 0, 3);
    ListSelect(list, 0);
    ASSERT_TRUE(ListGetItemText(list, 0, text, sizeof(text)));
    EXPECT_STREQ(text, "Headset");
    EXPECT_EQ(ListGetItemData(list, 0), 3);

    ShowControl(list, false);
    EXPECT_FALSE(IsControlVisible(list));
    ShowControl(list, true);
    EXPECT_TRUE(IsControlVisible(list));

    // A child of the toolbar reports to the toolbar, which passes it on to the window.
    SendWindowMessage(toolbar, WM_COMMAND, ((uintptr_t)CBN_SELCHANGE << 16) | 9, (intptr_t)list);
    EXPECT_EQ(seen.command_id, 9);
}

TEST_F(SmokeTest, ImageDrawingCoversTheSeamsPixels) {
    ImageRef image = CreateImage(40, 30, 24);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    // Beginning again ends the open pass and opens a new one on the same image.
    EXPECT_TRUE(BeginDrawingImage(image));
    EXPECT_TRUE(IsDrawing());
    EXPECT_EQ(DrawingWidth(), 40);
    EXPECT_EQ(DrawingHeight(), 30);
    EXPECT_EQ(ReadPixel(0, 0), MakeColour(0, 0, 0));

    const Colour red = MakeColour(255, 0, 0), green = MakeColour(0, 255, 0), blue = MakeColour(0, 0, 255);
    FillBox(2, 3, 4, 5, red);
    EXPECT_EQ(ReadPixel(2, 3), red);
    EXPECT_EQ(ReadPixel(5, 7), red);
    EXPECT_EQ(ReadPixel(6, 7), 0u);
    EXPECT_EQ(ReadPixel(5, 8), 0u);
    EXPECT_EQ(ReadPixel(1, 3), 0u);

    DrawLineBetween(10, 1, 20, 1, green);
    EXPECT_EQ(ReadPixel(10, 1), green);
    EXPECT_EQ(ReadPixel(20, 1), green) << "a line covers its last point";
    EXPECT_EQ(ReadPixel(21, 1), 0u);

    // Extent line: default front colour is white; (x, y) .. (x + w - 1, y + h - 1).
    DrawExtentLine(10, 5, 6, 1);
    EXPECT_EQ(ReadPixel(10, 5), MakeColour(255, 255, 255));
    EXPECT_EQ(ReadPixel(15, 5), MakeColour(255, 255, 255));
    EXPECT_EQ(ReadPixel(16, 5), 0u);
    DrawExtentLine(10, 6, 0, 5);
    EXPECT_EQ(ReadPixel(10, 6), 0u);

    FillDisc(30, 15, 4, blue);
    EXPECT_EQ(ReadPixel(26, 15), blue);
    EXPECT_EQ(ReadPixel(34, 15), blue);
    EXPECT_EQ(ReadPixel(30, 11), blue);
    EXPECT_EQ(ReadPixel(30, 19), blue);
    EXPECT_EQ(ReadPixel(25, 15), 0u);
    EXPECT_EQ(ReadPixel(35, 15), 0u);
    EXPECT_EQ(ReadPixel(30, 20), 0u);
    EXPECT_EQ(ReadPixel(27, 12), 0u);     // 3^2 + 3^2 > 4^2
    EXPECT_EQ(ReadPixel(27, 13), blue);   // 3^2 + 2^2 <= 4^2
    EndDrawing();
    EXPECT_FALSE(IsDrawing());
    ReleaseImage(image);
}

TEST_F(SmokeTest, LinesMatchBresenham) {
    ImageRef image = CreateImage(64, 64, 32);
    ASSERT_NE(image, nullptr);
    const int cases[][4] = {{1, 1, 40, 13}, {5, 50, 60, 2}, {30, 30, 31, 60}, {60, 10, 2, 11},
                            {3, 3, 50, 50}, {10, 40, 12, 4}, {7, 7, 7, 7},    {40, 20, 9, 33}};
    int mismatched_lines = 0;
    for (auto& c : cases) {
        ASSERT_TRUE(BeginDrawingImage(image));
        FillBox(0, 0, 64, 64, 0);
        DrawLineBetween(c[0], c[1], c[2], c[3], MakeColour(255, 255, 255));
        auto expected = LinePixels(c[0], c[1], c[2], c[3]);
        int wrong = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                bool lit = ReadPixel(x, y) != 0;
                if (lit != (expected.count({x, y}) > 0)) ++wrong;
            }
        EndDrawing();
        EXPECT_EQ(ReadPixel(0, 0), 0xFFFFFFFFu);   // nothing open: CLR_INVALID
        if (wrong) {
            ++mismatched_lines;
            std::printf("line (%d,%d)-(%d,%d): %d pixels differ from Bresenham\n", c[0], c[1], c[2], c[3], wrong);
        }
    }
    EXPECT_EQ(mismatched_lines, 0);
    ReleaseImage(image);
}

TEST_F(SmokeTest, GradientRoundBoxAndOpaqueAlpha) {
    ImageRef image = CreateImage(20, 11, 32);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    SetDrawingMode(DRAWMODE_GRADIENT);
    SetBackColour(MakeColour(0, 47, 0));
    SetFrontColour(MakeColour(0, 95, 0));
    SetLinearGradient(0, 10, 0, 0);
    FillBox(0, 0, 20, 11, 0);
    EXPECT_EQ(ReadPixel(3, 10), MakeColour(0, 47, 0));
    EXPECT_EQ(ReadPixel(3, 0), MakeColour(0, 95, 0));
    EXPECT_EQ(ReadPixel(19, 5), MakeColour(0, 71, 0));
    SetDrawingMode(DRAWMODE_DEFAULT);
    FillRoundBox(0, 0, 20, 11, 100, 100, MakeColour(1, 2, 3));
    EXPECT_EQ(ReadPixel(10, 0), MakeColour(1, 2, 3));
    EXPECT_EQ(ReadPixel(0, 5), MakeColour(1, 2, 3));
    EXPECT_NE(ReadPixel(0, 0), MakeColour(1, 2, 3));
    EndDrawing();

    // Drawn on a 32-bit image, then blended: opaque pixels replace what is below.
    ImageRef target = CreateImage(30, 30, 24);
    ASSERT_TRUE(BeginDrawingImage(target));
    FillBox(0, 0, 30, 30, MakeColour(200, 0, 0));
    DrawImageAlpha(image, 5, 5);
    EXPECT_EQ(ReadPixel(15, 5), MakeColour(1, 2, 3));
    EXPECT_EQ(ReadPixel(5 + 19, 5 + 5), MakeColour(1, 2, 3));
    EXPECT_EQ(ReadPixel(4, 5), MakeColour(200, 0, 0));
    DrawImagePlain(image, 0, 20);
    EXPECT_EQ(ReadPixel(10, 20), MakeColour(1, 2, 3));
    EndDrawing();
    ReleaseImage(target);
    ReleaseImage(image);
}

TEST_F(SmokeTest, FloodFillStopsAtTheBorder) {
    ImageRef image = CreateImage(20, 20, 24);
    ASSERT_TRUE(BeginDrawingImage(image));
    const Colour edge = MakeColour(9, 9, 9), fill = MakeColour(50, 60, 70);
    DrawLineBetween(5, 0, 5, 19, edge);
    FloodFillTo(1, 1, edge, fill);
    EXPECT_EQ(ReadPixel(0, 19), fill);
    EXPECT_EQ(ReadPixel(4, 10), fill);
    EXPECT_EQ(ReadPixel(5, 10), edge);
    EXPECT_EQ(ReadPixel(6, 10), 0u);
    WritePixel(12, 12, fill);
    EXPECT_EQ(ReadPixel(12, 12), fill);
    EndDrawing();
    ReleaseImage(image);
}

TEST_F(SmokeTest, TextHasExtentAndDraws) {
    FontRef font = MakeFont("Arial", 10, 700);
    ASSERT_NE(font, nullptr);
    ImageRef image = CreateImage(100, 40, 24);
    ASSERT_TRUE(BeginDrawingImage(image));
    UseFont(font);
    int width = TextWidth("LEFT"), height = TextHeight("LEFT");
    std::printf("Arial 10 pt bold: \"LEFT\" %d x %d\n", width, height);
    EXPECT_GT(width, 20);
    EXPECT_GT(height, 10);
    SetBackColour(MakeColour(0, 0, 80));
    DrawTextAt(2, 2, "LEFT", MakeColour(255, 255, 0));
    EXPECT_EQ(ReadPixel(2, 2), MakeColour(0, 0, 80)) << "default mode puts text on the back colour";
    int lit = 0;
    for (int y = 2; y < 2 + height; ++y)
        for (int x = 2; x < 2 + width; ++x) lit += ReadPixel(x, y) == MakeColour(255, 255, 0);
    EXPECT_GT(lit, 10);
    EndDrawing();
    ReleaseImage(image);
    ReleaseFont(font);
}

TEST_F(SmokeTest, ImageControlSizesToItsImageAndCanvasHasItsInnerSize) {
    WindowRef control = CreateImageControl(window, -1, 460, 540, 284, 140);
    ASSERT_NE(control, nullptr);
    EXPECT_GE(GetControlId(control), 0x1000);
    ImageRef image = CreateImage(284, 140, 24);
    SetControlImage(control, image);
    RectI rect;
    ASSERT_TRUE(GetControlRect(control, &rect));
    EXPECT_EQ(rect.left, 460);
    EXPECT_EQ(rect.right - rect.left, 288);
    EXPECT_EQ(rect.bottom - rect.top, 144);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 284, 140, MakeColour(0, 34, 0));
    EndDrawing();
    SetControlImage(control, image);

    WindowRef canvas = CreateCanvas(window, -1, 410, 49, 340, 227);
    ASSERT_NE(canvas, nullptr);
    EXPECT_NE(GetControlId(canvas), GetControlId(control));
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    EXPECT_EQ(DrawingWidth(), 336);
    EXPECT_EQ(DrawingHeight(), 223);
    FillBox(0, 0, 336, 223, MakeColour(0, 95, 0));
    EXPECT_EQ(ReadPixel(335, 222), MakeColour(0, 95, 0));
    EndDrawing();
    EXPECT_FALSE(BeginDrawingCanvas(control)) << "an image control is no canvas";

    WindowRef frame = CreateSunkenFrame(window, 0, 0, 0, 0, 0);
    ASSERT_NE(frame, nullptr);
    MoveControl(frame, 36, 48, 344, 229);
    ASSERT_TRUE(GetControlRect(frame, &rect));
    EXPECT_EQ(rect.left, 36);
    EXPECT_EQ(rect.bottom - rect.top, 229);
    ReleaseImage(image);
}

// What the window shows at a client point, read through a drawing pass on the window.
Colour ShownAt(WindowRef window, int x, int y) {
    if (!BeginDrawingWindow(window)) return 0xFFFFFFFFu;
    Colour c = ReadPixel(x, y);
    EndDrawing();
    return c;
}

TEST_F(SmokeTest, ImageControlAndCanvasShowNewPixelsAtOnce) {
    const Colour red = MakeColour(200, 0, 0), green = MakeColour(0, 186, 0);
    WindowRef control = CreateImageControl(window, -1, 460, 540, 284, 140);
    ImageRef image = CreateImage(284, 140, 24);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 284, 140, red);
    EndDrawing();
    SetControlImage(control, image);
    EXPECT_EQ(ShownAt(window, 462, 542), red);
    EXPECT_EQ(ShownAt(window, 462 + 283, 542 + 139), red);
    // The same bitmap set again must show what was drawn into it since.
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 284, 140, green);
    EndDrawing();
    SetControlImage(control, image);
    EXPECT_EQ(ShownAt(window, 462, 542), green);

    WindowRef canvas = CreateCanvas(window, -1, 410, 49, 340, 227);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 336, 223, green);
    WritePixel(335, 222, red);
    EndDrawing();
    EXPECT_EQ(ShownAt(window, 412, 51), green);
    EXPECT_EQ(ShownAt(window, 412 + 335, 51 + 222), red);
    ReleaseImage(image);
}

TEST_F(SmokeTest, WindowPropertiesUserDataAndProcedures) {
    int marker = 0;
    SetWindowProperty(window, "oldproc", &marker);
    EXPECT_EQ(GetWindowProperty(window, "oldproc"), &marker);
    EXPECT_EQ(RemoveWindowProperty(window, "oldproc"), &marker);
    EXPECT_EQ(GetWindowProperty(window, "oldproc"), nullptr);
    SetWindowUserData(window, (intptr_t)&marker);
    EXPECT_EQ(GetWindowUserData(window), (intptr_t)&marker);

    WindowProcedure old = ReplaceWindowProcedure(window, SmokeProcedure);
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(ReplaceWindowProcedure(window, old), SmokeProcedure);
    CallWindowProcedure(old, window, WM_COMMAND, 42, 0);
    EXPECT_EQ(seen.command_id, 42);
}

TEST_F(SmokeTest, TimerAndPostedMessagesArriveThroughTheQueue) {
    ASSERT_TRUE(PostWindowMessage(window, WM_COMMAND, 77, 0));
    while (PumpOneMessage()) {
    }
    EXPECT_EQ(seen.command_id, 77);
    ASSERT_TRUE(PostWindowMessage(window, WM_DEVICECHANGE, 7, 0));
    while (PumpOneMessage()) {
    }
    EXPECT_EQ(seen.device_changes, 1);
    // The monotonic clock runs in microseconds: two 10 ms ticks take well over a millisecond.
    const uint64_t before = MonotonicMicros();
    StartWindowTimer(window, 0, 10);
    for (int i = 0; i < 1000 && seen.timers < 2; ++i) ASSERT_TRUE(WaitAndDispatchMessage());
    StopWindowTimer(window, 0);
    EXPECT_GE(seen.timers, 2);
    const uint64_t after = MonotonicMicros();
    EXPECT_GE(after, before + 1000);
    EXPECT_LT(after, before + 60000000ull) << "not a minute for two ticks";
}

TEST_F(SmokeTest, WindowDrawingReadsBack) {
    ASSERT_TRUE(BeginDrawingWindow(window));
    EXPECT_EQ(DrawingWidth(), 800);
    EXPECT_EQ(DrawingHeight(), 720);
    FillBox(100, 100, 10, 10, MakeColour(18, 24, 50));
    Colour c = ReadPixel(105, 105);
    std::printf("window pixel after FillBox: %06x\n", (unsigned)c);
    EndDrawing();
}

TEST(SmokeWaveIn, MapperCapabilitiesAnswer) {
    unsigned devices = WaveInGetNumDevs();
    WaveInCaps caps = {};
    uint32_t result = WaveInGetDevCaps((uintptr_t)(intptr_t)-1, &caps, sizeof(caps));
    uint32_t result_narrow = WaveInGetDevCaps((uint32_t)-1, &caps, sizeof(caps));
    std::printf("wave input devices: %u; mapper caps: %u / %u \"%s\"\n", devices, result, result_narrow, caps.szPname);
    EXPECT_EQ(result, result_narrow);
    if (devices > 0) {
        EXPECT_EQ(result, (uint32_t)MMSYSERR_NOERROR);
    }
}

}  // namespace
