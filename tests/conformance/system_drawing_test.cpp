// What the window system draws itself, read back from the screen on each backend: a flat
// toolbar (TBSTYLE_FLAT) is transparent, so below its etched divider (a shadow line over a
// highlight line along the top edge) the main window's background shows, and its disabled
// blank buttons leave no mark; a sunken frame's 2-pixel edge. Both backends must show the
// same pixels there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/portable/headless/headless.h"
#endif

namespace {

constexpr Colour BACKGROUND = MakeColour(18, 24, 50);
constexpr Colour DIVIDER_SHADOW = MakeColour(166, 166, 166);
constexpr Colour DIVIDER_LIGHT = MakeColour(255, 255, 255);
constexpr int WIDTH = 600, HEIGHT = 120;

// The colour the window shows at client (x, y): what a screenshot would hold.
Colour ShownPixel(WindowRef window, int x, int y) {
#ifdef _WIN32
    HDC dc = GetDC((HWND)window);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC((HWND)window, dc);
    return (Colour)c;
#else
    return HeadlessPixel(window, x, y);
#endif
}

intptr_t PLATFORM_CALLBACK PlainProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

// Lets the window system paint what is pending.
void LetItPaint() {
    for (int i = 0; i < 200 && PumpOneMessage(); ++i) {
    }
}

class SystemDrawing : public ::testing::Test {
protected:
    void SetUp() override {
        InitControlLibrary();
        window = CreateMainWindow("toolbar", 30, 30, WIDTH, HEIGHT, WS_CAPTION | WS_SYSMENU, PlainProcedure);
        ASSERT_NE(window, nullptr);
        SetWindowBackground(window, BACKGROUND);
        toolbar = MakeToolbar(window);
        ASSERT_NE(toolbar, nullptr);
        // As the main window has it: blank buttons, one list beside them, a hidden one.
        for (int i = 0; i < 4; ++i) ToolbarInsertBlankButton(toolbar, i, 100 + i);
        RectI button{};
        ASSERT_TRUE(ToolbarItemRect(toolbar, 3, &button));
        list_left = 300 + button.left;
        list = CreateDropDownList(toolbar, 9, list_left, 5, 200, 20);
        ASSERT_NE(list, nullptr);
        ListAddItem(list, "Wave mapper");
        ListSelect(list, 0);
        WindowRef hidden = CreateDropDownList(toolbar, 6, 36, 4, 58, 20);
        ASSERT_NE(hidden, nullptr);
        ShowControl(hidden, false);
        ShowWindowAs(window, SW_SHOWNORMAL);
        LetItPaint();
    }
    void TearDown() override { DestroyWindowTree(window); }

    WindowRef window = nullptr, toolbar = nullptr, list = nullptr;
    int list_left = 0;
};

TEST_F(SystemDrawing, DividerAlongTheTopThenTheWindowShowsThrough) {
    RectI bar{};
    ASSERT_TRUE(GetControlRect(toolbar, &bar));
    EXPECT_EQ(bar.top, 0);
    EXPECT_EQ(bar.left, 0);
    EXPECT_EQ(bar.right, WIDTH) << "the toolbar spans the client width";
    // The band the toolbar covers, outside the list: rows 0 and 1 are the divider, every
    // other pixel the window's background, including where the blank buttons and the hidden
    // list lie.
    std::string wrong;
    int checked = 0;
    for (int y = 0; y < bar.bottom + 4; ++y)
        for (int x = 0; x < WIDTH; x += (y < 2 ? 1 : 3)) {
            if (y >= 2 && x >= list_left - 1 && x <= list_left + 200 && y <= 2 + 5 + 20) continue;
            Colour want = y == 0 ? DIVIDER_SHADOW : y == 1 ? DIVIDER_LIGHT : BACKGROUND;
            Colour got = ShownPixel(window, x, y);
            ++checked;
            if (got != want && wrong.size() < 400)
                wrong += " (" + std::to_string(x) + "," + std::to_string(y) + ")=" + std::to_string(got);
        }
    EXPECT_GT(checked, 3000);
    EXPECT_EQ(wrong, "") << "pixels unlike the divider or the background";
}

TEST_F(SystemDrawing, ChildrenSitBelowTheDivider) {
    // The list at y 5 in the toolbar's client area: the divider's 2 pixels lie above it, so
    // in the main window its box spans rows 7 to 26.
    RectI rect{};
    ASSERT_TRUE(GetControlRect(list, &rect));
    EXPECT_EQ(rect.top, 5);
    int mid = list_left + 100;
    EXPECT_EQ(ShownPixel(window, mid, 6), BACKGROUND);
    EXPECT_NE(ShownPixel(window, mid, 7), BACKGROUND) << "the list's top border";
    EXPECT_NE(ShownPixel(window, mid, 26), BACKGROUND) << "the list's bottom border";
    EXPECT_EQ(ShownPixel(window, mid, 27), BACKGROUND);
    EXPECT_EQ(ShownPixel(window, list_left - 1, 15), BACKGROUND);
    EXPECT_NE(ShownPixel(window, list_left, 15), BACKGROUND) << "the list's left border";
}

TEST_F(SystemDrawing, SunkenFrameEdgeInTheSystemColours) {
    // Dark outer and inner lines along the top and left, light ones along the bottom and
    // right; the inside is left to the window (its background here).
    WindowRef frame = CreateSunkenFrame(window, 1, 40, 50, 100, 40);
    ASSERT_NE(frame, nullptr);
    LetItPaint();
    const Colour OUTER_DARK = MakeColour(166, 166, 166), INNER_DARK = MakeColour(106, 106, 106);
    const Colour OUTER_LIGHT = MakeColour(255, 255, 255), INNER_LIGHT = MakeColour(227, 227, 227);
    EXPECT_EQ(ShownPixel(window, 90, 50), OUTER_DARK);
    EXPECT_EQ(ShownPixel(window, 90, 51), INNER_DARK);
    EXPECT_EQ(ShownPixel(window, 40, 70), OUTER_DARK);
    EXPECT_EQ(ShownPixel(window, 41, 70), INNER_DARK);
    EXPECT_EQ(ShownPixel(window, 90, 89), OUTER_LIGHT);
    EXPECT_EQ(ShownPixel(window, 90, 88), INNER_LIGHT);
    EXPECT_EQ(ShownPixel(window, 139, 70), OUTER_LIGHT);
    EXPECT_EQ(ShownPixel(window, 138, 70), INNER_LIGHT);
    EXPECT_EQ(ShownPixel(window, 90, 70), BACKGROUND);
    EXPECT_EQ(ShownPixel(window, 90, 49), BACKGROUND);
    EXPECT_EQ(ShownPixel(window, 140, 70), BACKGROUND);
}

}  // namespace
