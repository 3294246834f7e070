// The real main routine on the headless backend: the state after start-up, layout and
// minimum size, Escape, close requests, and start-ups that fail part way.
#include <gtest/gtest.h>

#include <string>

#include "app/history_graph.h"
#include "app/main_window.h"
#include "app/state.h"
#include "platform/portable/backend.h"
#include "platform/portable/headless/headless.h"

namespace {

std::string ItemText(WindowRef list, int index) {
    char text[64] = {};
    if (!ListGetItemText(list, index, text, sizeof text)) return "<none>";
    return text;
}

RectI Rect(WindowRef control) {
    RectI r = {-1, -1, -1, -1};
    GetControlRect(control, &r);
    return r;
}

void ExpectBox(const ScopeChannel& box, int x, int y, int w, int h, int centre) {
    EXPECT_EQ(box.x, x);
    EXPECT_EQ(box.y, y);
    EXPECT_EQ(box.width, w);
    EXPECT_EQ(box.height, h);
    EXPECT_EQ(box.centre_y, centre);
}

void ExpectFrame(WindowRef frame, int x, int y, int w, int h) {
    ASSERT_NE(frame, nullptr);
    const RectI r = Rect(frame);
    EXPECT_EQ(r.left, x);
    EXPECT_EQ(r.top, y);
    EXPECT_EQ(r.right - r.left, w);
    EXPECT_EQ(r.bottom - r.top, h);
}

// Scope boxes and frames exactly where the fixed layout puts them.
void ExpectFixedLayout() {
    ExpectBox(program.scope_left, 38, 50, 340, 225, 162);
    ExpectBox(program.scope_right, 38, 305, 340, 225, 417);
    EXPECT_EQ(program.scope_left.channel_index, 0);
    EXPECT_EQ(program.scope_right.channel_index, 1);
    ExpectFrame(FindControl(program.main_window_handle, ID_LEFT_SCOPE_FRAME), 36, 48, 344, 229);
    ExpectFrame(FindControl(program.main_window_handle, ID_RIGHT_SCOPE_FRAME), 36, 303, 344, 229);
}

class ShellScenario : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        HeadlessDevice first;
        first.name = "Line in";
        HeadlessAddDevice(first);
        HeadlessDevice second;
        second.name = "Microphone";
        HeadlessAddDevice(second);
    }
};

}  // namespace

TEST_F(ShellScenario, StartUpBuildsTheWindowControlsAndTables) {
    bool checked = false;
    HeadlessAt(100, [&] {
        checked = true;
        WindowRef main = program.main_window_handle;
        ASSERT_NE(main, nullptr);
        EXPECT_TRUE(HeadlessTopLevelShown(main));
        int w = 0, h = 0;
        ASSERT_TRUE(GetClientSize(main, &w, &h));
        EXPECT_EQ(w, 800);
        EXPECT_EQ(h, 720);

        ASSERT_EQ(program.segment_x.size(), 31u);
        EXPECT_EQ(program.segment_x[0], 0);
        EXPECT_EQ(program.segment_x[1], 33);
        EXPECT_EQ(program.segment_x[2], 47);
        EXPECT_EQ(program.segment_x[30], 439);
        EXPECT_EQ(program.bar_y, 578);
        EXPECT_EQ(program.wave_headers.size(), 17u);
        EXPECT_NE(program.analysis_block, nullptr);
        EXPECT_EQ(program.meter_style, 5);
        EXPECT_NE(program.meter_left, 0);
        EXPECT_NE(program.meter_right, 0);
        EXPECT_NE(program.history_graph, nullptr);

        // The visible device list shows entry 0, the wave mapper, then the devices.
        WindowRef devices = FindSelector(ID_DEVICE_COMBO);
        ASSERT_NE(devices, nullptr);
        EXPECT_TRUE(IsControlVisible(devices));
        EXPECT_EQ(ListSelection(devices), 0);
        EXPECT_EQ(ListItemCount(devices), 3);
        EXPECT_EQ(ItemText(devices, 1), "Line in");
        EXPECT_EQ(ItemText(devices, 2), "Microphone");
        // It sits in the toolbar after three blank buttons.
        RectI button;
        ASSERT_TRUE(ToolbarItemRect(program.toolbar_handle, 3, &button));
        EXPECT_EQ(ToolbarButtonCount(program.toolbar_handle), 4);
        EXPECT_EQ(Rect(devices).left, 481 + button.left);
        EXPECT_EQ(Rect(devices).top, 5);
        EXPECT_EQ(Rect(devices).right - Rect(devices).left, 200);
        EXPECT_EQ(Rect(devices).bottom - Rect(devices).top, 20);

        // The hidden selectors hold the fixed capture format.
        struct { int id; const char* text; } hidden[] = {
            {ID_CHANNELS_COMBO, "Stereo"}, {ID_BITS_COMBO, "16 bits"}, {ID_RATE_COMBO, "44.1 kHz"}};
        for (const auto& selector : hidden) {
            WindowRef list = FindSelector(selector.id);
            ASSERT_NE(list, nullptr) << selector.id;
            EXPECT_FALSE(IsControlVisible(list)) << selector.id;
            EXPECT_EQ(ItemText(list, ListSelection(list)), selector.text);
        }
        EXPECT_EQ(program.capture_format.nChannels, 2);
        EXPECT_EQ(program.capture_format.nSamplesPerSec, 44100u);
        EXPECT_EQ(program.capture_format.wBitsPerSample, 16);
        EXPECT_EQ(program.capture_format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(program.buffer_bytes, 512);
        EXPECT_EQ(program.buffer_count, 8);
        EXPECT_EQ(program.tick_ms, 32);
        ExpectFixedLayout();

        // Background where nothing else is drawn, and the frames' sunken edges.
        EXPECT_EQ(HeadlessPixel(main, 5, 700), MakeColour(18, 24, 50));
        EXPECT_EQ(HeadlessPixel(main, 790, 300), MakeColour(18, 24, 50));
        EXPECT_NE(HeadlessPixel(main, 36, 100), MakeColour(18, 24, 50));
        EXPECT_NE(HeadlessPixel(main, 379, 400), MakeColour(18, 24, 50));
        EXPECT_EQ(HeadlessPixel(main, 35, 100), MakeColour(18, 24, 50));
        EXPECT_EQ(HeadlessPixel(main, 380, 400), MakeColour(18, 24, 50));
    });
    HeadlessCloseAt(200);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(checked);
    EXPECT_EQ(FirstTopLevel(), nullptr);
}

TEST_F(ShellScenario, TitleTellsThePointerWidth) {
    EXPECT_STREQ(MainWindowTitle(), sizeof(void*) == 8 ? "KORVELT - BETA2 - 64 BIT - MARDELLIN"
                                                       : "KORVELT - BETA2 - 32 BIT - MARDELLIN");
}

TEST_F(ShellScenario, SizeMessagesAndSmallPlacementsLeaveLayoutAndMinimumSize) {
    bool checked = false;
    HeadlessAt(100, [&] {
        checked = true;
        WindowRef main = program.main_window_handle;
        SendWindowMessage(main, WM_SIZE, 0, (intptr_t)((300 << 16) | 200));
        ExpectFixedLayout();

        WindowPlacementRecord small = {};
        small.length = sizeof small;
        small.show_command = SW_SHOWNORMAL;
        small.min_position = {-1, -1};
        small.max_position = {-1, -1};
        small.normal_position = {10, 20, 310, 220};
        PlaceWindow(main, &small);
        RectI frame;
        ASSERT_TRUE(GetWindowFrame(main, &frame));
        EXPECT_GE(frame.right - frame.left, 800);
        EXPECT_GE(frame.bottom - frame.top, 720);
        ExpectFixedLayout();

        MinMaxInfo info = {};
        SendWindowMessage(main, WM_GETMINMAXINFO, 0, reinterpret_cast<intptr_t>(&info));
        EXPECT_EQ(info.min_track_size.x, 800);
        EXPECT_EQ(info.min_track_size.y, 720);
    });
    HeadlessCloseAt(200);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(checked);
}

TEST_F(ShellScenario, EscapeWithTheMainWindowFocusedEndsTheProgram) {
    HeadlessKeyAt(500, VK_ESCAPE);
    // Nothing else ends the run: if Escape is lost, the run reaches this and fails.
    HeadlessAt(5000, [] { ADD_FAILURE() << "Escape did not end the program"; });
    HeadlessCloseAt(5001);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_LT(HeadlessNowMs(), 500 + 33);
    EXPECT_EQ(FirstTopLevel(), nullptr);
}

TEST_F(ShellScenario, EscapeWhileTheDeviceListHasTheFocusDoesNothing) {
    bool still_running = false;
    HeadlessAt(300, [] { SetKeyboardFocus(FindSelector(ID_DEVICE_COMBO)); });
    HeadlessKeyAt(400, VK_ESCAPE);
    HeadlessAt(1000, [&] {
        still_running = true;
        EXPECT_EQ(program.quit_requested, 0);
    });
    HeadlessCloseAt(1100);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(still_running);
    EXPECT_GE(HeadlessNowMs(), 1100);
}

TEST_F(ShellScenario, AnyKeyAfterEscapeWasPressedEndsTheProgram) {
    // Escape pressed while the list had the focus is remembered by the key state; the next
    // key that reaches the main window ends the program.
    HeadlessAt(300, [] { SetKeyboardFocus(FindSelector(ID_DEVICE_COMBO)); });
    HeadlessKeyAt(400, VK_ESCAPE);
    HeadlessAt(500, [] { SetKeyboardFocus(program.main_window_handle); });
    HeadlessKeyAt(600, 'A');
    HeadlessAt(5000, [] { ADD_FAILURE() << "the key after Escape did not end the program"; });
    HeadlessCloseAt(5001);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_LT(HeadlessNowMs(), 600 + 33);
}

TEST_F(ShellScenario, CloseRequestEndsTheLoopAndOnlyTheCleanUpDestroysTheWindow) {
    bool alive_after_close = false;
    HeadlessAt(300, [&] {
        WindowRef main = program.main_window_handle;
        InjectCloseRequest(main);
        // The request was handled, yet the window stands until the loop has ended.
        alive_after_close = HeadlessTopLevelAlive(main) && IsWindowShown(main);
    });
    HeadlessAt(5000, [] { ADD_FAILURE() << "the close request did not end the loop"; });
    HeadlessCloseAt(5001);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(alive_after_close);
    EXPECT_LT(HeadlessNowMs(), 300 + 33);
    EXPECT_EQ(FirstTopLevel(), nullptr);
    EXPECT_EQ(HeadlessOpenHandleCount(), 0);   // capture was stopped
}

TEST_F(ShellScenario, CloseTakenByTheTicksOwnPumpingEndsTheLoopToo) {
    // Post the close from inside a tick: the tick's pumping takes it, not the loop.
    bool posted = false;
    HeadlessAt(200, [&] {
        WindowRef main = program.main_window_handle;
        posted = PostWindowMessage(main, WM_TIMER, 0, 0) && PostWindowMessage(main, WM_CLOSE, 0, 0);
    });
    HeadlessAt(5000, [] { ADD_FAILURE() << "the close request did not end the loop"; });
    HeadlessCloseAt(5001);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(posted);
    EXPECT_LT(HeadlessNowMs(), 200 + 33);
}

TEST_F(ShellScenario, MissingToolbarEndsAtOnceWithoutOpeningCapture) {
    HeadlessFailCreation(HeadlessCreation::TOOLBAR);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_EQ(FirstTopLevel(), nullptr);
    for (const HeadlessWaveCall& call : HeadlessWaveCalls()) EXPECT_NE(call.call, "Open");
    EXPECT_EQ(HeadlessNowMs(), 0);   // no event loop ran
}

TEST_F(ShellScenario, MissingMainWindowEndsQuietly) {
    HeadlessFailCreation(HeadlessCreation::MAIN_WINDOW);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_EQ(FirstTopLevel(), nullptr);
    for (const HeadlessWaveCall& call : HeadlessWaveCalls()) EXPECT_NE(call.call, "Open");
}

TEST_F(ShellScenario, MissingFontsAndImagesStillRunAndExitCleanly) {
    HeadlessFailCreation(HeadlessCreation::FONT);
    HeadlessFailCreation(HeadlessCreation::IMAGE);
    HeadlessDevice tone;
    tone.signal = HeadlessSineSignal(440, 20000, 10000);
    HeadlessReset();
    HeadlessFailCreation(HeadlessCreation::FONT);
    HeadlessFailCreation(HeadlessCreation::IMAGE);
    HeadlessAddDevice(tone);
    HeadlessCloseAt(500);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_GE(HeadlessDeliveredCount(), 100u);
}
