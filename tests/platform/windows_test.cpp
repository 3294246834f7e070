// Window emulation of the portable backend: creation messages, placement and minimum size,
// subclassing and properties, the toolbar, sunken frames, canvases and image controls, and
// what gets repainted and presented.
#include "platform/portable/backend.h"
#include "recorder.h"

namespace {

constexpr Colour BACKGROUND = MakeColour(18, 24, 50);
constexpr Colour EDGE_OUTER_DARK = MakeColour(166, 166, 166);
constexpr Colour EDGE_INNER_DARK = MakeColour(106, 106, 106);
constexpr Colour EDGE_OUTER_LIGHT = MakeColour(255, 255, 255);
constexpr Colour EDGE_INNER_LIGHT = MakeColour(227, 227, 227);
constexpr uint32_t STM_SETIMAGE_MESSAGE = 0x0172;

using WindowTest = PortableTest;

// Paints the whole client area of `w` in one colour through a drawing pass.
void PaintAll(WindowRef w, Colour colour) {
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(0, 0, DrawingWidth(), DrawingHeight(), colour);
    EndDrawing();
}

void ExpectSunkenEdge(WindowRef top, int x, int y, int width, int height) {
    int r = x + width - 1, b = y + height - 1;
    EXPECT_EQ(HeadlessPixel(top, x, y), EDGE_OUTER_DARK);
    EXPECT_EQ(HeadlessPixel(top, x + 5, y), EDGE_OUTER_DARK);
    EXPECT_EQ(HeadlessPixel(top, x, y + 5), EDGE_OUTER_DARK);
    EXPECT_EQ(HeadlessPixel(top, x + 1, y + 1), EDGE_INNER_DARK);
    EXPECT_EQ(HeadlessPixel(top, x + 5, y + 1), EDGE_INNER_DARK);
    EXPECT_EQ(HeadlessPixel(top, r, b), EDGE_OUTER_LIGHT);
    EXPECT_EQ(HeadlessPixel(top, x + 5, b), EDGE_OUTER_LIGHT);
    EXPECT_EQ(HeadlessPixel(top, r, y + 5), EDGE_OUTER_LIGHT);
    EXPECT_EQ(HeadlessPixel(top, r - 1, b - 1), EDGE_INNER_LIGHT);
    EXPECT_EQ(HeadlessPixel(top, x + 5, b - 1), EDGE_INNER_LIGHT);
}

TEST_F(WindowTest, CreationSendsMinMaxInfoThenSizeAndErases) {
    WindowRef w = MakeMain(200, 100);
    ASSERT_GE(Recorded().size(), 2u);
    EXPECT_EQ(Recorded()[0].message, (uint32_t)WM_GETMINMAXINFO);
    auto sizes = RecordedOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].lparam, (intptr_t)(200 | (100 << 16)));
    EXPECT_TRUE(IsWindowShown(w));
    EXPECT_TRUE(HeadlessTopLevelShown(w));
    RectI frame;
    ASSERT_TRUE(GetWindowFrame(w, &frame));
    EXPECT_EQ(frame.left, 10);
    EXPECT_EQ(frame.top, 20);
    EXPECT_EQ(frame.right, 210);
    EXPECT_EQ(frame.bottom, 120);
    SetWindowBackground(w, BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 0, 0), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 199, 99), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 200, 0), 0xFFFFFFFFu);
    EXPECT_EQ(GetKeyboardFocus(), w);
}

TEST_F(WindowTest, PlacementIsClampedByTheMinimumTrackSize) {
    ReportedMinTrack() = PointI{800, 720};
    WindowRef w = MakeMain(800, 720);
    SetWindowBackground(w, BACKGROUND);
    Recorded().clear();
    WindowPlacementRecord placement{sizeof(WindowPlacementRecord), 0, SW_HIDE, {-1, -1}, {-1, -1}, {50, 100, 800, 720}};
    ASSERT_TRUE(PlaceWindow(w, &placement));
    EXPECT_FALSE(IsWindowShown(w));
    EXPECT_FALSE(HeadlessTopLevelShown(w));
    RectI frame;
    ASSERT_TRUE(GetWindowFrame(w, &frame));
    EXPECT_EQ(frame.left, 50);
    EXPECT_EQ(frame.top, 100);
    EXPECT_EQ(frame.right - frame.left, 800);
    EXPECT_EQ(frame.bottom - frame.top, 720);
    int cw = 0, ch = 0;
    ASSERT_TRUE(GetClientSize(w, &cw, &ch));
    EXPECT_EQ(cw, 800);
    EXPECT_EQ(ch, 720);
    ASSERT_EQ(RecordedOf(WM_GETMINMAXINFO).size(), 1u);
    ASSERT_EQ(RecordedOf(WM_SIZE).size(), 1u);
    EXPECT_EQ(RecordedOf(WM_SIZE)[0].lparam, (intptr_t)(800 | (720 << 16)));
    ShowWindowAs(w, SW_SHOWNORMAL);
    EXPECT_TRUE(IsWindowShown(w));
    EXPECT_TRUE(HeadlessTopLevelShown(w));
    EXPECT_EQ(HeadlessPixel(w, 799, 719), BACKGROUND);
}

TEST_F(WindowTest, PlacementLargerThanTheMinimumChangesTheClientArea) {
    WindowRef w = MakeMain(300, 200);
    SetWindowBackground(w, BACKGROUND);
    WindowPlacementRecord placement{sizeof(WindowPlacementRecord), 0, SW_SHOWNORMAL, {-1, -1}, {-1, -1}, {0, 0, 400, 250}};
    ASSERT_TRUE(PlaceWindow(w, &placement));
    int cw = 0, ch = 0;
    GetClientSize(w, &cw, &ch);
    EXPECT_EQ(cw, 400);
    EXPECT_EQ(ch, 250);
    EXPECT_EQ(TopLevelSurface(w).width, 400);
    EXPECT_EQ(HeadlessPixel(w, 399, 249), BACKGROUND);
    placement.length = 40;
    EXPECT_FALSE(PlaceWindow(w, &placement));
}

intptr_t PLATFORM_CALLBACK CountingSubclass(WindowRef w, uint32_t m, uintptr_t wp, intptr_t lp) {
    Recorded().push_back(RecordedMessage{w, m, wp, lp, 0});
    auto previous = reinterpret_cast<WindowProcedure>(GetWindowProperty(w, "oldproc"));
    return CallWindowProcedure(previous, w, m, wp, lp);
}

TEST_F(WindowTest, SubclassedImageControlSeesSetImageAndPassesItOn) {
    WindowRef w = MakeMain();
    SetWindowBackground(w, BACKGROUND);
    WindowRef control = CreateImageControl(w, -1, 30, 40, 10, 10);
    ASSERT_NE(control, nullptr);
    EXPECT_GE(GetControlId(control), 0x1000);
    EXPECT_EQ(FindControl(w, GetControlId(control)), control);
    EXPECT_EQ(GetParentWindow(control), w);
    WindowProcedure previous = ReplaceWindowProcedure(control, CountingSubclass);
    ASSERT_NE(previous, nullptr);
    SetWindowProperty(control, "oldproc", reinterpret_cast<void*>(previous));
    SetWindowUserData(control, 1234);
    EXPECT_EQ(GetWindowUserData(control), 1234);

    ImageRef image = CreateImage(20, 12, 24);
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 20, 12, MakeColour(0, 34, 0));
    WritePixel(19, 11, MakeColour(0, 186, 0));
    EndDrawing();
    Recorded().clear();
    SetControlImage(control, image);

    // The replaced procedure saw the message, and the built-in one still did its work.
    ASSERT_EQ(Recorded().size(), 1u);
    EXPECT_EQ(Recorded()[0].message, STM_SETIMAGE_MESSAGE);
    EXPECT_EQ(Recorded()[0].lparam, (intptr_t)image);
    RectI rect;
    ASSERT_TRUE(GetControlRect(control, &rect));
    EXPECT_EQ(rect.left, 30);
    EXPECT_EQ(rect.top, 40);
    EXPECT_EQ(rect.right - rect.left, 24);
    EXPECT_EQ(rect.bottom - rect.top, 16);
    ExpectSunkenEdge(w, 30, 40, 24, 16);
    EXPECT_EQ(HeadlessPixel(w, 32, 42), MakeColour(0, 34, 0));
    EXPECT_EQ(HeadlessPixel(w, 32 + 19, 42 + 11), MakeColour(0, 186, 0));

    // Drawing on the image shows only when it is set again.
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 20, 12, MakeColour(200, 0, 0));
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(w, 35, 45), MakeColour(0, 34, 0));
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 35, 45), MakeColour(200, 0, 0));

    EXPECT_EQ(RemoveWindowProperty(control, "oldproc"), reinterpret_cast<void*>(previous));
    EXPECT_EQ(GetWindowProperty(control, "oldproc"), nullptr);
    DestroyWindowTree(w);
    ReleaseImage(image);
}

TEST_F(WindowTest, ShrinkingImageControlUncoversTheBackground) {
    WindowRef w = MakeMain();
    SetWindowBackground(w, BACKGROUND);
    WindowRef control = CreateImageControl(w, 5, 10, 10, 60, 60);
    ImageRef image = CreateImage(8, 8, 32);
    SetControlImage(control, image);
    EXPECT_EQ(HeadlessPixel(w, 12, 12), MakeColour(0, 0, 0));
    EXPECT_EQ(HeadlessPixel(w, 40, 40), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 69, 69), BACKGROUND);
    ReleaseImage(image);
}

TEST_F(WindowTest, SunkenFrameNeverPaintsInside) {
    WindowRef w = MakeMain();
    SetWindowBackground(w, BACKGROUND);
    WindowRef frame = CreateSunkenFrame(w, 0, 0, 0, 0, 0);
    ASSERT_NE(frame, nullptr);
    PaintAll(w, MakeColour(0, 200, 0));
    MoveControl(frame, 36, 48, 100, 60);
    ExpectSunkenEdge(w, 36, 48, 100, 60);
    EXPECT_EQ(HeadlessPixel(w, 38, 50), MakeColour(0, 200, 0));
    EXPECT_EQ(HeadlessPixel(w, 100, 80), MakeColour(0, 200, 0));
    // A move to the same place repaints nothing.
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(36, 48, 100, 60, MakeColour(0, 0, 255));
    EndDrawing();
    MoveControl(frame, 36, 48, 100, 60);
    EXPECT_EQ(HeadlessPixel(w, 36, 48), MakeColour(0, 0, 255));
    EXPECT_EQ(HeadlessPixel(w, 60, 70), MakeColour(0, 0, 255));
    // A real move erases the uncovered part with the background and keeps the rest.
    MoveControl(frame, 46, 48, 100, 60);
    EXPECT_EQ(HeadlessPixel(w, 40, 70), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 60, 70), MakeColour(0, 0, 255));
    ExpectSunkenEdge(w, 46, 48, 100, 60);
}

TEST_F(WindowTest, CanvasComposesItsBitmapWhenDrawingEnds) {
    WindowRef w = MakeMain();
    SetWindowBackground(w, BACKGROUND);
    WindowRef canvas = CreateCanvas(w, -1, 20, 30, 54, 44);
    ASSERT_NE(canvas, nullptr);
    ExpectSunkenEdge(w, 20, 30, 54, 44);
    EXPECT_EQ(HeadlessPixel(w, 22, 32), MakeColour(0, 0, 0));  // black at start
    int cw = 0, ch = 0;
    GetClientSize(canvas, &cw, &ch);
    EXPECT_EQ(cw, 50);
    EXPECT_EQ(ch, 40);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    EXPECT_EQ(DrawingWidth(), 50);
    EXPECT_EQ(DrawingHeight(), 40);
    FillBox(0, 0, 50, 40, MakeColour(10, 20, 30));
    WritePixel(49, 39, MakeColour(250, 0, 0));
    FillBox(-10, -10, 100, 100, MakeColour(10, 20, 30));  // clipped to the bitmap
    WritePixel(49, 39, MakeColour(250, 0, 0));
    // Nothing shows until the pass ends.
    EXPECT_EQ(HeadlessPixel(w, 22, 32), MakeColour(0, 0, 0));
    HeadlessClearPresented();
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(w, 22, 32), MakeColour(10, 20, 30));
    EXPECT_EQ(HeadlessPixel(w, 22 + 49, 32 + 39), MakeColour(250, 0, 0));
    ExpectSunkenEdge(w, 20, 30, 54, 44);  // the bitmap stays inside the edge
    ASSERT_FALSE(HeadlessPresented().empty());
    for (const HeadlessPresent& p : HeadlessPresented()) {
        EXPECT_GE(p.rect.left, 22);
        EXPECT_GE(p.rect.top, 32);
        EXPECT_LE(p.rect.right, 72);
        EXPECT_LE(p.rect.bottom, 72);
    }
    // The window's background repaint brings the bitmap back.
    SetWindowBackground(w, MakeColour(1, 2, 3));
    EXPECT_EQ(HeadlessPixel(w, 30, 40), MakeColour(10, 20, 30));
    EXPECT_EQ(HeadlessPixel(w, 5, 5), MakeColour(1, 2, 3));
}

TEST_F(WindowTest, WindowPassPresentsOnlyWhatChanged) {
    WindowRef w = MakeMain(400, 300);
    HeadlessClearPresented();
    ASSERT_TRUE(BeginDrawingWindow(w));
    FillBox(10, 10, 20, 20, MakeColour(1, 1, 1));
    FillBox(300, 200, 5, 5, MakeColour(1, 1, 1));
    DrawLineBetween(12, 40, 12, 50, MakeColour(1, 1, 1));
    EXPECT_TRUE(HeadlessPresented().empty());
    EndDrawing();
    int64_t area = 0;
    for (const HeadlessPresent& p : HeadlessPresented()) {
        EXPECT_EQ(p.top, w);
        area += (int64_t)(p.rect.right - p.rect.left) * (p.rect.bottom - p.rect.top);
    }
    EXPECT_GE(HeadlessPresented().size(), 2u);
    EXPECT_LT(area, 400 * 300 / 10);
    bool covers_far_box = false;
    for (const HeadlessPresent& p : HeadlessPresented())
        covers_far_box |= p.rect.left <= 300 && p.rect.right >= 305 && p.rect.top <= 200 && p.rect.bottom >= 205;
    EXPECT_TRUE(covers_far_box);
}

TEST_F(WindowTest, ToolbarLaysOutBlankButtonsAndForwardsCommands) {
    WindowRef w = MakeMain(400, 300);
    SetWindowBackground(w, BACKGROUND);
    WindowRef toolbar = MakeToolbar(w);
    ASSERT_NE(toolbar, nullptr);
    EXPECT_EQ(ToolbarButtonCount(toolbar), 0);
    RectI rect;
    EXPECT_FALSE(ToolbarItemRect(toolbar, 0, &rect));
    for (int i = 0; i < 3; ++i) {
        ToolbarInsertBlankButton(toolbar, ToolbarButtonCount(toolbar), 100 + i);
        ASSERT_TRUE(ToolbarItemRect(toolbar, i, &rect));
        EXPECT_EQ(rect.left, i * 23);
        EXPECT_EQ(rect.right, i * 23 + 23);
        EXPECT_EQ(rect.top, 2);
        EXPECT_EQ(rect.bottom, 24);
    }
    EXPECT_EQ(ToolbarButtonCount(toolbar), 3);
    ASSERT_TRUE(GetControlRect(toolbar, &rect));
    EXPECT_EQ(rect.right - rect.left, 400);
    EXPECT_EQ(rect.bottom - rect.top, 28);
    // Flat, so transparent: the etched divider along the top, then the window's background;
    // the disabled blank buttons show nothing.
    for (int x : {0, 11, 399}) {
        EXPECT_EQ(HeadlessPixel(w, x, 0), MakeColour(166, 166, 166)) << x;
        EXPECT_EQ(HeadlessPixel(w, x, 1), MakeColour(255, 255, 255)) << x;
    }
    EXPECT_EQ(HeadlessPixel(w, 11, 12), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 399, 27), BACKGROUND);
    EXPECT_EQ(HeadlessPixel(w, 0, 28), BACKGROUND);
    // Its client area starts below the divider.
    int client_width = 0, client_height = 0;
    ASSERT_TRUE(GetClientSize(toolbar, &client_width, &client_height));
    EXPECT_EQ(client_width, 400);
    EXPECT_EQ(client_height, 26);

    WindowRef list = CreateDropDownList(toolbar, 9, 150, 5, 100, 20);
    Recorded().clear();
    SendWindowMessage(toolbar, WM_COMMAND, 9 | (CBN_SELCHANGE << 16), (intptr_t)list);
    auto commands = RecordedOf(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].window, w);
    EXPECT_EQ(commands[0].wparam, (uintptr_t)(9 | (CBN_SELCHANGE << 16)));
    EXPECT_EQ(commands[0].lparam, (intptr_t)list);

    // Re-fitting after the parent grows.
    WindowPlacementRecord placement{sizeof(WindowPlacementRecord), 0, SW_SHOWNORMAL, {-1, -1}, {-1, -1}, {0, 0, 500, 300}};
    PlaceWindow(w, &placement);
    ToolbarAutosize(toolbar);
    ASSERT_TRUE(GetControlRect(toolbar, &rect));
    EXPECT_EQ(rect.right - rect.left, 500);
    EXPECT_EQ(HeadlessPixel(w, 499, 0), MakeColour(166, 166, 166));
    EXPECT_EQ(HeadlessPixel(w, 499, 10), BACKGROUND);
}

TEST_F(WindowTest, HiddenControlsPaintNothingAndComeBackWhenShown) {
    WindowRef w = MakeMain();
    SetWindowBackground(w, BACKGROUND);
    WindowRef canvas = CreateCanvas(w, 3, 10, 10, 30, 30);
    EXPECT_EQ(HeadlessPixel(w, 20, 20), MakeColour(0, 0, 0));
    ShowControl(canvas, false);
    EXPECT_FALSE(IsControlVisible(canvas));
    EXPECT_EQ(HeadlessPixel(w, 20, 20), BACKGROUND);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    FillBox(0, 0, 26, 26, MakeColour(9, 9, 9));
    EndDrawing();
    EXPECT_EQ(HeadlessPixel(w, 20, 20), BACKGROUND);
    ShowControl(canvas, true);
    EXPECT_TRUE(IsControlVisible(canvas));
    EXPECT_EQ(HeadlessPixel(w, 20, 20), MakeColour(9, 9, 9));
    DestroyWindowTree(canvas);
    EXPECT_EQ(FindControl(w, 3), nullptr);
    EXPECT_EQ(HeadlessPixel(w, 20, 20), BACKGROUND);
    EXPECT_FALSE(BeginDrawingCanvas(canvas));
}

TEST_F(WindowTest, DestroyingTheTopLevelTellsThePresenter) {
    WindowRef w = MakeMain();
    WindowRef frame = CreateSunkenFrame(w, 1, 0, 0, 10, 10);
    EXPECT_EQ(FirstTopLevel(), w);
    DestroyWindowTree(w);
    EXPECT_FALSE(HeadlessTopLevelAlive(w));
    EXPECT_EQ(FirstTopLevel(), nullptr);
    EXPECT_FALSE(IsWindowShown(frame));
    EXPECT_EQ(GetControlId(frame), 0);
    EXPECT_EQ(SendWindowMessage(w, WM_USER, 0, 0), 0);
}

TEST_F(WindowTest, DefaultProcedureDestroysOnAnUnhandledClose) {
    WindowRef w = CreateMainWindow("plain", 0, 0, 50, 50, 0, DefaultWindowProcedure);
    ASSERT_NE(w, nullptr);
    InjectCloseRequest(w);
    EXPECT_FALSE(IsWindowShown(w));
    EXPECT_EQ(FirstTopLevel(), nullptr);
}

TEST_F(WindowTest, CreationFaultsFailTheChosenKindOnly) {
    HeadlessFailCreation(HeadlessCreation::MAIN_WINDOW);
    EXPECT_EQ(CreateMainWindow("x", 0, 0, 10, 10, 0, RecordingProcedure), nullptr);
    HeadlessClearCreationFaults();
    WindowRef w = MakeMain();
    HeadlessFailCreation(HeadlessCreation::TOOLBAR);
    EXPECT_EQ(MakeToolbar(w), nullptr);
    EXPECT_NE(CreateCanvas(w, -1, 0, 0, 10, 10), nullptr);
    HeadlessFailCreation(HeadlessCreation::CANVAS, 1);
    EXPECT_NE(CreateCanvas(w, -1, 0, 0, 10, 10), nullptr);
    EXPECT_EQ(CreateCanvas(w, -1, 0, 0, 10, 10), nullptr);
    HeadlessFailCreation(HeadlessCreation::IMAGE, 2);
    ImageRef a = CreateImage(4, 4, 32), b = CreateImage(4, 4, 24);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(CreateImage(4, 4, 32), nullptr);
    HeadlessFailCreation(HeadlessCreation::FONT);
    EXPECT_EQ(MakeFont("Arial", 10, 700), nullptr);
    ReleaseImage(a);
    ReleaseImage(b);
}

}  // namespace
