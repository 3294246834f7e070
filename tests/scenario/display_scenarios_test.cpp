// The display tick inside the real program on scripted headless devices: what the scope
// boxes and LED bars show on the window, the value the history graph gets, and the guard
// against a tick starting inside another.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/history_graph.h"
#include "app/state.h"
#include "display/display.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr Colour BLACK = MakeColour(0, 0, 0);
constexpr Colour GRID = MakeColour(0, 72, 0);
constexpr Colour TRACE = MakeColour(10, 221, 10);
constexpr Colour BACKGROUND = MakeColour(18, 24, 50);
constexpr Colour ON = MakeColour(0, 208, 0);
constexpr Colour OFF = MakeColour(16, 48, 16);
constexpr Colour OVER = MakeColour(255, 0, 0);

Colour At(int x, int y) { return HeadlessPixel(program.main_window_handle, x, y) & 0xFFFFFF; }

int RightmostOnRow(Colour colour, int y) {
    for (int x = 799; x >= 0; --x)
        if (At(x, y) == colour) return x;
    return -1;
}

int NewestHistoryValue() {
    auto* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(program.history_graph));
    return data ? data->values[data->width - 1] : 0;
}

HeadlessDevice ConstantDevice(int16_t left, int16_t right, uint32_t short_bytes = 0) {
    HeadlessDevice device;
    device.name = "Constant";
    device.pcm = {left, right};
    device.short_delivery_bytes = short_bytes;
    return device;
}

class DisplayScenario : public ::testing::Test {
protected:
    void SetUp() override { HeadlessReset(); }
    void Run(double end_ms) {
        HeadlessCloseAt(end_ms);
        EXPECT_EQ(ApplicationMain(), 0);
    }
    // Between the ticks at 32 and 64 ms.
    static constexpr double AFTER_FIRST_TICK = 40;
};

TEST_F(DisplayScenario, BeforeTheFirstDeliveryTheTickDrawsNothing) {
    HeadlessAddDevice(ConstantDevice(20000, 20000));
    HeadlessAt(0, [] {
        // Nothing delivered yet (the first block comes 2.9 ms after the start).
        ASSERT_EQ(program.last_data, nullptr);
        // Left of the meters, which do move: they are fed on every tick.
        std::vector<Colour> before;
        for (int y = 40; y < 700; y += 3)
            for (int x = 20; x < 405; x += 3) before.push_back(At(x, y));
        RefreshDisplays();
        EXPECT_FALSE(IsDrawing());
        size_t i = 0;
        int changed = 0;
        for (int y = 40; y < 700; y += 3)
            for (int x = 20; x < 405; x += 3) changed += At(x, y) != before[i++];
        EXPECT_EQ(changed, 0);
        EXPECT_EQ(At(60, 80), BACKGROUND) << "the boxes are not even erased";
        EXPECT_EQ(At(40, 590), BACKGROUND) << "no bar before the first block";
        EXPECT_EQ(program.history_value, HISTORY_VALUE_FLOOR) << "both history levels are still 0";
        EXPECT_EQ(NewestHistoryValue(), HISTORY_VALUE_FLOOR);
    });
    Run(20);
}

TEST_F(DisplayScenario, FullScaleBlockOnTheWindow) {
    HeadlessAddDevice(ConstantDevice(32767, -32768));
    HeadlessAt(AFTER_FIRST_TICK, [] {
        // Black boxes inside their frames: the frames' insides do not paint over the scope.
        EXPECT_EQ(At(60, 80), BLACK);
        EXPECT_EQ(At(60, 330), BLACK);
        // Grid at the fixed coordinates; the left box's verticals reach up to y = 49.
        EXPECT_EQ(At(39, 112), GRID);
        EXPECT_EQ(At(377, 212), GRID);
        EXPECT_EQ(At(110, 49), GRID);
        EXPECT_EQ(At(310, 60), GRID);
        EXPECT_EQ(At(39, 367), GRID);
        EXPECT_EQ(At(110, 305 + 20), GRID);
        // Left trace from (38, 162) down to 112 below the line; right from (38, 417) up 112.
        EXPECT_EQ(At(38, 162), TRACE);
        EXPECT_EQ(At(38, 274), TRACE);
        EXPECT_EQ(At(200, 274), TRACE);
        EXPECT_EQ(RightmostOnRow(TRACE, 274), 373);
        EXPECT_EQ(At(38, 417), TRACE);
        EXPECT_EQ(At(200, 305), TRACE);
        EXPECT_EQ(At(200, 162), GRID);
        // Both bars: 1 .. 29 green, 30 red, each segment 12 x 36, 2-pixel gaps.
        for (int top : {578, 617}) {
            for (int i = 1; i <= 30; ++i) {
                const int x = 19 + 14 * i;
                const Colour want = i == 30 ? OVER : ON;
                EXPECT_EQ(At(x, top), want) << i;
                EXPECT_EQ(At(x + 11, top + 35), want) << i;
                EXPECT_EQ(At(x + 12, top + 18), BACKGROUND) << i;
                EXPECT_EQ(At(x + 13, top + 18), BACKGROUND) << i;
            }
            EXPECT_NE(At(33, top - 1), ON);
            EXPECT_NE(At(33, top + 36), ON);
        }
        // Labels above the upper bar and below the lower one, none between the bars.
        int above = 0, below = 0, between = 0;
        for (int x = 33; x < 451; ++x) {
            for (int y = 564; y < 578; ++y) above += At(x, y) != BACKGROUND;
            for (int y = 657; y < 671; ++y) below += At(x, y) != BACKGROUND;
            for (int y = 614; y < 617; ++y) between += At(x, y) != BACKGROUND;
        }
        EXPECT_GT(above, 100);
        EXPECT_GT(below, 100);
        EXPECT_EQ(between, 0);
        EXPECT_EQ(program.history_value, 98);
        EXPECT_EQ(NewestHistoryValue(), 98);
        EXPECT_FLOAT_EQ(program.level_left, 340.0f);
        EXPECT_NEAR(program.level_right, 340.01f, 0.001);
    });
    Run(50);
}

TEST_F(DisplayScenario, SilenceIsFlatOnTheCentreLinesAndUnlit) {
    HeadlessAddDevice(ConstantDevice(0, 0));
    HeadlessAt(AFTER_FIRST_TICK, [] {
        for (int x = 38; x <= 373; ++x) {
            ASSERT_EQ(At(x, 162), TRACE) << x;
            ASSERT_EQ(At(x, 417), TRACE) << x;
        }
        EXPECT_EQ(At(374, 162), GRID);
        EXPECT_EQ(At(200, 161), BLACK);
        EXPECT_EQ(At(200, 163), BLACK);
        for (int i = 1; i <= 30; ++i) {
            EXPECT_EQ(At(19 + 14 * i + 6, 578 + 18), OFF) << i;
            EXPECT_EQ(At(19 + 14 * i + 6, 617 + 18), OFF) << i;
        }
        EXPECT_EQ(program.history_value, HISTORY_VALUE_FLOOR);
        EXPECT_EQ(NewestHistoryValue(), HISTORY_VALUE_FLOOR);
    });
    Run(50);
}

TEST_F(DisplayScenario, ShortBlockSpreadsOverTheWholeWidth) {
    HeadlessAddDevice(ConstantDevice(20000, 20000, 64));
    HeadlessAt(AFTER_FIRST_TICK, [] {
        ASSERT_EQ(program.last_bytes_recorded, 64);
        const int dy = (20000 * 225) / 65535;
        EXPECT_EQ(RightmostOnRow(TRACE, 162 + dy), 38 + (60 * 340) / 65);
        EXPECT_EQ(RightmostOnRow(TRACE, 417 + dy), 38 + (62 * 340) / 65);
        EXPECT_GT(RightmostOnRow(TRACE, 162 + dy), 340);
    });
    Run(50);
}

// Counts the values the history graph is sent.
WindowProcedure graph_previous = nullptr;
int graph_values = 0;
intptr_t PLATFORM_CALLBACK CountingGraphProcedure(WindowRef window, uint32_t message, uintptr_t wparam,
                                                  intptr_t lparam) {
    if (message == HISTORY_ADD_MSG) ++graph_values;
    return CallWindowProcedure(graph_previous, window, message, wparam, lparam);
}

TEST_F(DisplayScenario, TimerTakenInsideATickDoesNotStartAnother) {
    HeadlessAddDevice(ConstantDevice(32767, 32767));
    graph_values = 0;
    HeadlessAt(AFTER_FIRST_TICK, [] {
        graph_previous = ReplaceWindowProcedure(program.history_graph, CountingGraphProcedure);
        // The tick's own pumping takes these timer messages.
        for (int i = 0; i < 3; ++i) PostWindowMessage(program.main_window_handle, WM_TIMER, 0, 0);
        RefreshDisplays();
        EXPECT_FALSE(IsDrawing());
        EXPECT_EQ(graph_values, 1) << "one tick, one history value";
        // A nested tick would have ended the drawing pass early: the right box and the bars
        // would be missing.
        EXPECT_EQ(At(110, 320), GRID);
        EXPECT_EQ(At(200, 417 + 112), TRACE);
        EXPECT_EQ(At(19 + 14 * 30, 617), OVER);
        // The guard is released: the next tick runs normally.
        RefreshDisplays();
        EXPECT_EQ(graph_values, 2);
    });
    Run(50);
}

TEST_F(DisplayScenario, RunningTicksKeepFeedingTheHistoryGraph) {
    HeadlessAddDevice(ConstantDevice(3277, 3277));   // 20 dB below full scale
    graph_values = 0;
    HeadlessAt(1, [] { graph_previous = ReplaceWindowProcedure(program.history_graph, CountingGraphProcedure); });
    HeadlessAt(330, [] {
        EXPECT_EQ(graph_values, 10) << "one value per 32 ms tick";
        EXPECT_EQ(NewestHistoryValue(), 59);
    });
    Run(340);
}

}  // namespace
