// What a display tick of the real program costs in trips through GDI on the win32 backend:
// the main window built as at start-up, a stereo tone of different left and right levels in
// the analysis block, so the scopes, bars, meters and history graph all draw every tick.
// Every GDI or USER painting call the backend makes is counted, at scale 1 and on a high-DPI
// monitor at scale 2, where every copy to the screen is enlarged on its way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/state.h"
#include "capture/capture.h"
#include "display/display.h"
#include "platform/win32/display_scale.h"
#include "platform/win32/gdi_count.h"

namespace {

constexpr Colour ON = MakeColour(0, 208, 0);
constexpr Colour OFF = MakeColour(16, 48, 16);
constexpr Colour TRACE = MakeColour(10, 221, 10);
constexpr int UPPER_TOP = 578;
constexpr int LOWER_TOP = 617;

void PutSample(char* at, int16_t value) {
    at[0] = (char)(value & 0xFF);
    at[1] = (char)((uint16_t)value >> 8);
}

// A 441 Hz tone, left at half scale and right at a quarter, as one 512-byte delivery that
// starts `first_frame` frames into the tone (so the traces move from tick to tick).
void PutTone(int first_frame = 0) {
    for (int frame = 0; frame < 128; ++frame) {
        double s = std::sin(2 * 3.14159265358979323846 * 441.0 * (first_frame + frame) / 44100.0);
        PutSample(program.analysis_block + frame * 4, (int16_t)std::lround(16384 * s));
        PutSample(program.analysis_block + frame * 4 + 2, (int16_t)std::lround(8192 * s));
    }
    program.last_data = program.analysis_block;
    program.last_bytes_recorded = 512;
    // Fresh, as if just delivered: an input quiet for long reads as silence.
    program.last_delivery_us = MonotonicMicros();
}

// GDI calls of each of `ticks` display ticks, each on a new stretch of the tone.
std::vector<uint64_t> CountTicks(int ticks) {
    static int frame = 0;
    std::vector<uint64_t> counts;
    for (int i = 0; i < ticks; ++i) {
        frame += 1411;   // the 32 ms between ticks
        PutTone(frame);
        uint64_t before = GdiCallCount();
        RefreshDisplays();
        counts.push_back(GdiCallCount() - before);
    }
    return counts;
}

Colour WindowPixel(int x, int y) {
    if (!BeginDrawingWindow(program.main_window_handle)) return 0xFFFFFFFFu;
    Colour c = ReadPixel(x, y);
    EndDrawing();
    return c;
}

class ProgramTick : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        UseDisplayScaleForTests(GetParam());
        started = StartProgram();
        ASSERT_TRUE(started);
        // The ticks are run by hand on a fixed block: no timer, nothing delivered meanwhile.
        StopCapture();
        PutTone();
    }
    void TearDown() override {
        ShutDownProgram(started);
        UseDisplayScaleForTests(1);
    }
    bool started = false;
};

TEST_P(ProgramTick, SteadyTickMakesAtMostAHundredGdiCalls) {
    // The first ticks settle the meters' needles and render each label once.
    CountTicks(40);
    std::vector<uint64_t> counts = CountTicks(60);
    std::vector<uint64_t> sorted = counts;
    std::sort(sorted.begin(), sorted.end());
    std::printf("GDI calls per tick at scale %d: min %llu, median %llu, max %llu\n", GetParam(),
                (unsigned long long)sorted.front(),
                (unsigned long long)sorted[sorted.size() / 2], (unsigned long long)sorted.back());
    EXPECT_LE(sorted.back(), 100u) << "every steady tick";
    // Something is shown every tick: the moving traces and the scrolled history graph.
    EXPECT_GE(sorted.front(), 4u);

    // And the tick did draw: the bars at their levels (left 170, right 85 of 340), a trace.
    EXPECT_EQ(WindowPixel(33 + 2, UPPER_TOP + 10), ON);
    EXPECT_EQ(WindowPixel(19 + 14 * 26 + 2, UPPER_TOP + 10), ON) << "left reaches segment 26 (162..181)";
    EXPECT_EQ(WindowPixel(19 + 14 * 27 + 2, UPPER_TOP + 10), OFF);
    EXPECT_EQ(WindowPixel(19 + 14 * 20 + 2, LOWER_TOP + 10), ON) << "right reaches segment 20 (81..90)";
    EXPECT_EQ(WindowPixel(19 + 14 * 21 + 2, LOWER_TOP + 10), OFF);
    int trace = 0;
    for (int y = program.scope_left.y; y < program.scope_left.y + program.scope_left.height; ++y)
        trace += WindowPixel(200, y) == TRACE;
    EXPECT_GT(trace, 0) << "the left trace crosses x = 200";
}

TEST_P(ProgramTick, ShapesOnTheWindowCostOnlyTheirCopyToTheScreen) {
    CountTicks(2);
    uint64_t before = GdiCallCount();
    ASSERT_TRUE(BeginDrawingWindow(program.main_window_handle));
    for (int i = 0; i < 200; ++i) {
        FillBox(38 + i, 50, 3, 3, MakeColour(i, 0, 0));
        DrawLineBetween(38, 60 + i / 2, 300, 70 + i / 3, TRACE);
        FillDisc(100, 150, i % 20, OFF);
        // Between the scope frames, where no child lies over the window.
        WritePixel(40 + i, 289, ON);
        (void)ReadPixel(40 + i, 290);
    }
    FillRoundBox(50, 60, 100, 50, 20, 20, ON);
    EndDrawing();
    // A thousand shapes and pixels, none through GDI: the pass costs the copies of its few
    // changed areas to the screen and a flush.
    EXPECT_LE(GdiCallCount() - before, 10u);
    EXPECT_EQ(WindowPixel(40 + 7, 289), ON);
}

INSTANTIATE_TEST_SUITE_P(Scales, ProgramTick, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& info) { return "Scale" + std::to_string(info.param); });

}  // namespace
