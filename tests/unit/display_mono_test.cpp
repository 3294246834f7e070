// The tick with a one-channel format: upper box erased and left empty, lower box untouched,
// the lower bar and the history value taken from the one level.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/state.h"
#include "display/display.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr Colour MARK = MakeColour(90, 10, 200);
constexpr Colour BLACK = MakeColour(0, 0, 0);

TEST(MonoTick, UpperBoxEmptyLowerBoxUntouchedLowerBarFromTheOneLevel) {
    HeadlessReset();
    program = ProgramState{};
    WindowRef window = CreateMainWindow("mono", 50, 100, 800, 720, WS_CAPTION | WS_SYSMENU, DefaultWindowProcedure);
    ASSERT_NE(window, nullptr);
    std::vector<char> block(ANALYSIS_BLOCK_BYTES, 0);
    // Mono samples follow each other every 2 bytes: the peak sits where stereo would keep
    // a right-channel sample.
    const int16_t peak = 30000;
    block[6] = (char)(peak & 0xFF);
    block[7] = (char)(peak >> 8);

    program.main_window_handle = window;
    program.segment_x.assign(31, 0);
    for (int i = 1; i <= 30; ++i) program.segment_x[i] = 19 + 14 * i;
    program.bar_y = 578;
    program.bar_colour_off = MakeColour(16, 48, 16);
    program.bar_colour_on = MakeColour(0, 208, 0);
    program.bar_colour_over = MakeColour(255, 0, 0);
    program.small_label_font = MakeFont("Arial", 7, 400);
    program.capture_format.nChannels = 1;
    program.capture_format.wBitsPerSample = 16;
    program.buffer_bytes = 512;
    program.scope_left = {0, 38, 50, 340, 225, 162};
    program.scope_right = {1, 38, 305, 340, 225, 417};
    program.level_left = 50.0f;
    program.level_right = 50.0f;
    program.analysis_block = block.data();
    program.last_data = block.data();
    program.last_bytes_recorded = 512;

    ASSERT_TRUE(BeginDrawingWindow(window));
    FillBox(0, 0, 800, 720, MARK);
    EndDrawing();

    RefreshDisplays();
    EXPECT_FALSE(IsDrawing());

    ASSERT_TRUE(BeginDrawingWindow(window));
    int upper_not_black = 0, lower_not_mark = 0;
    for (int y = 50; y < 275; ++y)
        for (int x = 38; x < 378; ++x)
            if ((ReadPixel(x, y) & 0xFFFFFF) != BLACK) ++upper_not_black;
    for (int y = 305; y < 530; ++y)
        for (int x = 38; x < 378; ++x)
            if ((ReadPixel(x, y) & 0xFFFFFF) != MARK) ++lower_not_mark;
    EXPECT_EQ(upper_not_black, 0) << "mono draws no grid and no trace";
    EXPECT_EQ(lower_not_mark, 0) << "mono leaves the lower box alone";
    EXPECT_EQ(ReadPixel(110, 49) & 0xFFFFFF, MARK);   // no vertical grid line either

    // level 340 * 30000 / 32767 = 311.3: both bars 1 .. 29 green and segment 30 red.
    for (int top : {578, 617}) {
        EXPECT_EQ(ReadPixel(33 + 14 * 0 + 5, top + 18) & 0xFFFFFF, MakeColour(0, 208, 0)) << top;
        EXPECT_EQ(ReadPixel(19 + 14 * 29 + 5, top + 18) & 0xFFFFFF, MakeColour(0, 208, 0)) << top;
        EXPECT_EQ(ReadPixel(19 + 14 * 30 + 5, top + 18) & 0xFFFFFF, MakeColour(255, 0, 0)) << top;
    }
    EndDrawing();

    const float level = LevelFromPeak(340, peak);
    EXPECT_FLOAT_EQ(program.level_left, level);
    EXPECT_FLOAT_EQ(program.level_right, 50.0f) << "the right level keeps its value in mono";
    EXPECT_FLOAT_EQ(program.history_left, level);
    EXPECT_FLOAT_EQ(program.history_right, level);
    EXPECT_EQ(program.history_value, (intptr_t)std::nearbyint(std::log10((double)(level * level)) * 20 * 0.97));

    ReleaseFont(program.small_label_font);
    program = ProgramState{};
    HeadlessReset();
}

}  // namespace
