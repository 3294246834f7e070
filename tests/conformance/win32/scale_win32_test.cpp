// The Windows build on a high-DPI monitor: which dpi gets which scale, the frame sums, and
// what the program sees of its windows at scale 2 (its own sizes, positions and clicks, its
// minimum frame, its controls where it put them), while the system's own procedures still get
// the system's numbers; and moving to monitors of other dpi.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/display_scale.h"

namespace {

TEST(WholeScale, OnlyWholeMultiplesOf96) {
    const struct {
        int dpi, scale;
    } cases[] = {{96, 1}, {120, 0}, {144, 0}, {168, 0}, {192, 2}, {240, 0}, {288, 3}, {336, 0}, {384, 4},
                 {480, 5}, {768, 8}, {864, 0}, {95, 0}, {0, 0}, {-96, 0}, {191, 0}, {193, 0}};
    for (const auto& c : cases) EXPECT_EQ(WholeScaleForDpi(c.dpi), c.scale) << c.dpi << " dpi";
}

TEST(FrameSums, TheClientAreaIsScaledAndTheFrameIsTheDpis) {
    const struct {
        int scale, frame_w, frame_h;   // the program's frame
        int e96_w, e96_h, e_w, e_h;    // borders and caption at 96 dpi and at the monitor's
        int want_w, want_h;            // the frame on the screen
    } cases[] = {
        // Wine: 3-pixel borders; the caption 19 + 3 at 96 dpi, 37 + 3 at 192, 55 + 3 at 288.
        {1, 800, 720, 6, 25, 6, 25, 800, 720},
        {2, 800, 720, 6, 25, 6, 43, 2 * 794 + 6, 2 * 695 + 43},
        {3, 800, 720, 6, 25, 6, 61, 3 * 794 + 6, 3 * 695 + 61},
        {2, 750, 620, 6, 25, 6, 43, 2 * 744 + 6, 2 * 595 + 43},
        // Windows 10: 8-pixel borders, half of them invisible, and a 31-pixel caption at 96 dpi.
        {2, 800, 720, 16, 39, 32, 78, 2 * 784 + 32, 2 * 681 + 78},
        // A frame smaller than its edges at 96 dpi stays consistent both ways.
        {2, 5, 20, 6, 25, 6, 43, 2 * -1 + 6, 2 * -5 + 43},
    };
    for (const auto& c : cases) {
        int w = 0, h = 0;
        FrameSizeAtScale(c.scale, c.frame_w, c.frame_h, c.e96_w, c.e96_h, c.e_w, c.e_h, &w, &h);
        EXPECT_EQ(w, c.want_w) << "scale " << c.scale << ", frame " << c.frame_w << " x " << c.frame_h;
        EXPECT_EQ(h, c.want_h) << "scale " << c.scale << ", frame " << c.frame_w << " x " << c.frame_h;
        // And back: the screen's frame stands for the program's.
        int fw = 0, fh = 0;
        FrameSizeOfScale(c.scale, w, h, c.e96_w, c.e96_h, c.e_w, c.e_h, &fw, &fh);
        EXPECT_EQ(fw, c.frame_w);
        EXPECT_EQ(fh, c.frame_h);
    }
    // A frame on the screen between two of the program's stands for the smaller one.
    int fw = 0, fh = 0;
    FrameSizeOfScale(2, 2 * 794 + 6 + 1, 2 * 695 + 43 - 1, 6, 25, 6, 43, &fw, &fh);
    EXPECT_EQ(fw, 800);
    EXPECT_EQ(fh, 719);
}

// A rectangle as "left,top,right,bottom", to compare two in one expectation.
template <typename Rect>
std::string Corners(const Rect& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

struct Seen {
    int size_w = -1, size_h = -1;
    int click_x = -100, click_y = -100;
    int minmax = 0;
};
Seen seen;
POINT min_track = {0, 0};

intptr_t PLATFORM_CALLBACK RecordingProcedure(WindowRef window, uint32_t message, uintptr_t wparam,
                                              intptr_t lparam) {
    switch (message) {
    case WM_SIZE:
        seen.size_w = (int)(lparam & 0xFFFF);
        seen.size_h = (int)((lparam >> 16) & 0xFFFF);
        break;
    case WM_LBUTTONDOWN:
        seen.click_x = (int16_t)(lparam & 0xFFFF);
        seen.click_y = (int16_t)((lparam >> 16) & 0xFFFF);
        break;
    case WM_GETMINMAXINFO:
        ++seen.minmax;
        if (min_track.x) reinterpret_cast<MinMaxInfo*>(lparam)->min_track_size = {min_track.x, min_track.y};
        break;
    case WM_CLOSE:
        return 0;
    default:
        break;
    }
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

// A procedure of the system's kind under a control: it keeps the lParam it was given.
LPARAM system_saw = 0;
LRESULT CALLBACK SystemSideProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_LBUTTONDOWN) system_saw = lparam;
    return DefWindowProcA(window, message, wparam, lparam);
}
WindowProcedure replaced = nullptr;
intptr_t program_saw = 0;
intptr_t PLATFORM_CALLBACK ProgramSubclass(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == WM_LBUTTONDOWN) program_saw = lparam;
    return CallWindowProcedure(replaced, window, message, wparam, lparam);
}

RECT ScreenClient(WindowRef window) {
    RECT r = {};
    GetClientRect((HWND)window, &r);
    return r;
}

RECT ScreenChild(WindowRef child) {
    RECT r = {};
    GetWindowRect((HWND)child, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent((HWND)child), (POINT*)&r, 2);
    return r;
}

class ScaledWindow : public ::testing::Test {
protected:
    void Open(int scale, int width = 300, int height = 200) {
        UseDisplayScaleForTests(scale);
        InitControlLibrary();
        seen = Seen();
        window = CreateMainWindow("scaled", 10, 10, width, height, WS_CAPTION | WS_SYSMENU, RecordingProcedure);
        ASSERT_NE(window, nullptr);
        SetWindowBackground(window, MakeColour(18, 24, 50));
    }
    void Close() {
        if (window) DestroyWindowTree(window);
        window = nullptr;
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        Close();
        min_track = {0, 0};
        UseDisplayScaleForTests(1);
    }
    WindowRef window = nullptr;
};

TEST_F(ScaledWindow, TheProgramSeesItsOwnSizesAndClicks) {
    Open(2);
    EXPECT_EQ(ScreenClient(window).right, 600);
    EXPECT_EQ(ScreenClient(window).bottom, 400);
    EXPECT_EQ(seen.size_w, 300) << "WM_SIZE in program pixels";
    EXPECT_EQ(seen.size_h, 200);
    SendWindowMessage(window, WM_LBUTTONDOWN, 0, MAKELPARAM(2 * 123 + 1, 2 * 45 + 1));
    EXPECT_EQ(seen.click_x, 123);
    EXPECT_EQ(seen.click_y, 45);
    SendWindowMessage(window, WM_LBUTTONDOWN, 0, MAKELPARAM((WORD)(int16_t)-3, (WORD)(int16_t)-1));
    EXPECT_EQ(seen.click_x, -2) << "a point left of the window stays left of it";
    EXPECT_EQ(seen.click_y, -1);

    RectI frame{};
    ASSERT_TRUE(GetWindowFrame(window, &frame));
    EXPECT_EQ(frame.left, 10);
    EXPECT_EQ(frame.top, 10);
    RECT outer;
    GetWindowRect((HWND)window, &outer);
    EXPECT_EQ(outer.left, 20) << "the frame's corner at twice the program's";
    EXPECT_EQ(outer.top, 20);
    // The program's frame is its client area and the frame the system draws at 96 dpi.
    RECT at96 = {0, 0, 300, 200};
    AdjustWindowRect(&at96, WS_CAPTION | WS_SYSMENU, FALSE);
    EXPECT_EQ(frame.right - frame.left, at96.right - at96.left);
    EXPECT_EQ(frame.bottom - frame.top, at96.bottom - at96.top);
}

TEST_F(ScaledWindow, TheMinimumFrameAndThePlacementAreTheProgramsNumbersTwiceOver) {
    // As the program's placement: a frame smaller than its minimum, which then wins.
    min_track = {400, 300};
    Open(2, 100, 80);
    seen.minmax = 0;
    WindowPlacementRecord placement = {};
    placement.length = sizeof(placement);
    placement.show_command = SW_SHOWNORMAL;
    placement.min_position = {-1, -1};
    placement.max_position = {-1, -1};
    placement.normal_position = {30, 40, 250, 200};
    ASSERT_TRUE(PlaceWindow(window, &placement));
    EXPECT_GT(seen.minmax, 0);
    RECT at96 = {0, 0, 0, 0};
    AdjustWindowRect(&at96, WS_CAPTION | WS_SYSMENU, FALSE);
    const int edges_w = at96.right - at96.left, edges_h = at96.bottom - at96.top;
    EXPECT_EQ(ScreenClient(window).right, 2 * (400 - edges_w)) << "twice the client the 400 x 300 frame leaves";
    EXPECT_EQ(ScreenClient(window).bottom, 2 * (300 - edges_h));
    int w = 0, h = 0;
    ASSERT_TRUE(GetClientSize(window, &w, &h));
    EXPECT_EQ(w, 400 - edges_w);
    EXPECT_EQ(h, 300 - edges_h);
    RectI frame{};
    ASSERT_TRUE(GetWindowFrame(window, &frame));
    EXPECT_EQ(frame.right - frame.left, 400);
    EXPECT_EQ(frame.bottom - frame.top, 300);
}

TEST_F(ScaledWindow, TheSystemsProceduresGetTheSystemsNumbers) {
    Open(2);
    WNDCLASSA system_class = {};
    system_class.lpfnWndProc = SystemSideProcedure;
    system_class.hInstance = GetModuleHandleA(nullptr);
    system_class.lpszClassName = "KorveltSystemSide";
    RegisterClassA(&system_class);
    HWND child = CreateWindowExA(0, "KorveltSystemSide", "", WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, (HWND)window,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(child, nullptr);
    replaced = ReplaceWindowProcedure((WindowRef)child, ProgramSubclass);
    ASSERT_NE(replaced, nullptr);
    SendMessageA(child, WM_LBUTTONDOWN, 0, MAKELPARAM(13, 7));
    EXPECT_EQ(program_saw, MAKELPARAM(6, 3)) << "the program's subclass: program pixels";
    EXPECT_EQ(system_saw, MAKELPARAM(13, 7)) << "the procedure it hands on to: the screen's, exactly";
    DestroyWindow(child);
    UnregisterClassA("KorveltSystemSide", GetModuleHandleA(nullptr));
}

TEST_F(ScaledWindow, ControlsAreWhereTheProgramPutThemAndTwiceTheSize) {
    // The toolbar's buttons and a list at scale 1, then at scale 2: the program is told the
    // same places; the screen has them twice the size, the list's font too.
    RectI item1{}, list1{};
    RECT bar1{};
    LOGFONTA font1 = {};
    for (int scale : {1, 2}) {
        Open(scale);
        WindowRef toolbar = MakeToolbar(window);
        ASSERT_NE(toolbar, nullptr);
        for (int i = 0; i < 4; ++i) ToolbarInsertBlankButton(toolbar, i, 100 + i);
        RectI item{};
        ASSERT_TRUE(ToolbarItemRect(toolbar, 3, &item));
        WindowRef list = CreateDropDownList(toolbar, 9, 60 + item.left, 5, 200, 20);
        ASSERT_NE(list, nullptr);
        ListAddItem(list, "Wave mapper");
        ListSelect(list, 0);
        RectI rect{};
        ASSERT_TRUE(GetControlRect(list, &rect));
        RECT screen = ScreenChild(list);
        RECT bar = ScreenChild(toolbar);
        // The list lies on the bar, which clips it: the bar must hold all of it.
        RECT inside{};
        GetClientRect((HWND)toolbar, &inside);
        EXPECT_LE(screen.bottom, inside.bottom) << "the list cut off at scale " << scale;
        LOGFONTA font = {};
        GetObjectA((HGDIOBJ)SendMessageA((HWND)list, WM_GETFONT, 0, 0), sizeof(font), &font);
        if (scale == 1) {
            item1 = item;
            list1 = rect;
            font1 = font;
            bar1 = bar;
        } else {
            EXPECT_EQ(bar.bottom - bar.top, 2 * (bar1.bottom - bar1.top)) << "the bar twice as tall";
            EXPECT_EQ(item.left, item1.left);
            EXPECT_EQ(item.right, item1.right);
            EXPECT_EQ(Corners(rect), Corners(list1));
            EXPECT_EQ(font.lfHeight, 2 * font1.lfHeight) << "the list's text twice the size";
            EXPECT_STREQ(font.lfFaceName, font1.lfFaceName);
        }
        EXPECT_EQ(screen.right - screen.left, scale * 200);
        EXPECT_EQ(screen.bottom - screen.top, scale * 20) << "the closed list, fitted at scale " << scale;
        EXPECT_EQ(rect.bottom - rect.top, 20);
        Close();
    }
}

WindowProcedure image_previous = nullptr;
int image_calls = 0;
intptr_t PLATFORM_CALLBACK PassingOn(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    ++image_calls;
    return CallWindowProcedure(image_previous, window, message, wparam, lparam);
}

// The colour at screen client (x, y) of the window.
Colour ShownPixel(WindowRef window, int x, int y) {
    HDC dc = GetDC((HWND)window);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC((HWND)window, dc);
    return (Colour)c;
}

TEST_F(ScaledWindow, AnImageControlTheProgramSubclassedPaintsItsImageEnlarged) {
    // As the history graph: the program's procedure in front of the control's.
    Open(2);
    ImageRef image = CreateImage(30, 20, 24);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 30, 20, MakeColour(0, 34, 0));
    FillBox(10, 5, 3, 2, MakeColour(0, 186, 0));
    EndDrawing();
    WindowRef control = CreateImageControl(window, -1, 40, 30, 34, 24);
    ASSERT_NE(control, nullptr);
    SetControlImage(control, image);
    image_previous = ReplaceWindowProcedure(control, PassingOn);
    image_calls = 0;
    // Painted anew through the whole chain of procedures.
    RedrawWindow((HWND)control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    EXPECT_GE(image_calls, 1);
    EXPECT_LE(image_calls, 4) << "each message passes the program's procedure once";
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(ShownPixel(window, 2 * (42 + 10) + k, 2 * (32 + 5) + k), MakeColour(0, 186, 0));
        EXPECT_EQ(ShownPixel(window, 2 * (42 + 12) + k, 2 * (32 + 6) + k), MakeColour(0, 186, 0));
        EXPECT_EQ(ShownPixel(window, 2 * (42 + 13) + k, 2 * (32 + 6) + k), MakeColour(0, 34, 0));
        EXPECT_EQ(ShownPixel(window, 2 * (42 + 29) + k, 2 * (32 + 19) + k), MakeColour(0, 34, 0));
    }
    Close();
    ReleaseImage(image);
}

TEST_F(ScaledWindow, MovingToMonitorsOfOtherDpi) {
    Open(2, 200, 110);
    WindowRef canvas = CreateCanvas(window, -1, 20, 10, 54, 34);
    ASSERT_NE(canvas, nullptr);
    const Colour FACE = MakeColour(0, 95, 0), TRACE = MakeColour(10, 221, 10);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 50, 30, FACE);
    DrawLineBetween(0, 29, 49, 0, TRACE);
    EndDrawing();
    ASSERT_TRUE(BeginDrawingWindow(window));
    FillBox(100, 60, 10, 10, TRACE);
    EndDrawing();
    const RectI canvas_place{20, 10, 74, 44};

    struct Step {
        int dpi;
        int scale;   // what the program is shown at afterwards
    } steps[] = {{288, 3}, {144, 3}, {96, 1}, {192, 2}};
    for (const Step& step : steps) {
        RECT frame;
        GetWindowRect((HWND)window, &frame);
        // The system's suggestion: somewhere else on the new monitor.
        RECT suggested = {frame.left + 4, frame.top + 6, frame.right + 4, frame.bottom + 6};
        SendMessageA((HWND)window, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(step.dpi, step.dpi), (LPARAM)&suggested);
        for (int i = 0; i < 200 && PumpOneMessage(); ++i) {
        }
        const int n = step.scale;
        EXPECT_EQ(DisplayScale(), n) << step.dpi << " dpi";
        RECT now;
        GetWindowRect((HWND)window, &now);
        EXPECT_EQ(now.left, suggested.left) << "at the suggested place, " << step.dpi << " dpi";
        EXPECT_EQ(now.top, suggested.top);
        EXPECT_EQ(ScreenClient(window).right, n * 200) << step.dpi << " dpi";
        EXPECT_EQ(ScreenClient(window).bottom, n * 110);
        int w = 0, h = 0;
        GetClientSize(window, &w, &h);
        EXPECT_EQ(w, 200);
        EXPECT_EQ(h, 110);
        RectI place{};
        ASSERT_TRUE(GetControlRect(canvas, &place));
        EXPECT_EQ(Corners(place), Corners(canvas_place)) << step.dpi << " dpi";
        RECT screen = ScreenChild(canvas);
        EXPECT_EQ(screen.left, n * 20);
        EXPECT_EQ(screen.right, n * 74);
        // Its edge n times as thick, its inside and the window's drawing in n x n blocks.
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(ShownPixel(window, n * 40, n * 10 + k), MakeColour(166, 166, 166)) << step.dpi << " dpi";
            EXPECT_EQ(ShownPixel(window, n * 40, n * 11 + k), MakeColour(106, 106, 106)) << step.dpi << " dpi";
            EXPECT_EQ(ShownPixel(window, n * 22 + k, n * (12 + 29) + k), TRACE) << step.dpi << " dpi";
            EXPECT_EQ(ShownPixel(window, n * 22 + k, n * (12 + 28) + k), FACE) << step.dpi << " dpi";
            EXPECT_EQ(ShownPixel(window, n * 109 + k, n * 69 + k), TRACE) << step.dpi << " dpi";
        }
        EXPECT_EQ(ShownPixel(window, n * 110, n * 69), MakeColour(18, 24, 50));
    }
}

}  // namespace
