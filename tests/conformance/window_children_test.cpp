// Drawing on a window lands on its children where it draws, and only there: around it the
// children keep the pixels they painted themselves (a sunken frame its edge, a canvas its
// backing), whatever the backend keeps behind the window.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

const Colour BACKGROUND = MakeColour(18, 24, 50);
const Colour BLACK = MakeColour(0, 0, 0);
const Colour GRID = MakeColour(0, 72, 0);
const Colour GREEN = MakeColour(0, 186, 0);
const Colour RED = MakeColour(200, 0, 0);

intptr_t PLATFORM_CALLBACK PlainProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == WM_CLOSE) return 0;
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

Colour ShownAt(WindowRef window, int x, int y) {
    if (!BeginDrawingWindow(window)) return 0xFFFFFFFFu;
    Colour c = ReadPixel(x, y);
    EndDrawing();
    return c;
}

TEST(WindowOverChildren, DrawingCoversChildrenOnlyWhereItDraws) {
    InitControlLibrary();
    WindowRef window = CreateMainWindow("children", 20, 10, 800, 720, WS_CAPTION | WS_SYSMENU, PlainProcedure);
    ASSERT_NE(window, nullptr);
    SetWindowBackground(window, BACKGROUND);
    // The scope box's frame and a meter's canvas, where the program has them.
    WindowRef frame = CreateSunkenFrame(window, 0, 0, 0, 0, 0);
    ASSERT_NE(frame, nullptr);
    MoveControl(frame, 36, 48, 344, 229);
    WindowRef canvas = CreateCanvas(window, -1, 410, 49, 340, 227);
    ASSERT_NE(canvas, nullptr);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 336, 223, GREEN);
    EndDrawing();
    while (PumpOneMessage()) {
    }
    const Colour edge = ShownAt(window, 208, 49);   // the frame edge's inner row
    EXPECT_NE(edge, BACKGROUND);
    EXPECT_EQ(ShownAt(window, 440, 110), GREEN);

    ASSERT_TRUE(BeginDrawingWindow(window));
    FillBox(38, 50, 340, 225, BLACK);
    // As the scope grid: the vertical line starts on the frame's edge.
    DrawLineBetween(110, 49, 110, 274, GRID);
    // Half on the window, half on the canvas (whose inside starts at x 412).
    FillBox(400, 100, 30, 20, RED);
    EndDrawing();

    EXPECT_EQ(ShownAt(window, 200, 100), BLACK) << "inside the frame, the window's own";
    EXPECT_EQ(ShownAt(window, 110, 49), GRID) << "drawn over the frame's edge";
    EXPECT_EQ(ShownAt(window, 208, 49), edge) << "the rest of the edge is the frame's";
    EXPECT_EQ(ShownAt(window, 109, 49), edge);
    EXPECT_EQ(ShownAt(window, 405, 110), RED);
    EXPECT_EQ(ShownAt(window, 420, 110), RED) << "drawn over the canvas";
    EXPECT_EQ(ShownAt(window, 440, 110), GREEN) << "the canvas beyond the box";
    EXPECT_EQ(ShownAt(window, 420, 125), GREEN);

    // The canvas drawn again, with the very pixels it had: it shows them again over what the
    // window drew there.
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 336, 223, GREEN);
    EndDrawing();
    EXPECT_EQ(ShownAt(window, 420, 110), GREEN);
    EXPECT_EQ(ShownAt(window, 405, 110), RED) << "left of the canvas the window's drawing stays";

    DestroyWindowTree(window);
}

}  // namespace
