// The needles inside the real program: each tick feeds both meters from the channel levels,
// and the needle moves to a new level through the 8-update average.
#include <gtest/gtest.h>

#include <cmath>

#include "app/state.h"
#include "meter/meter.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr int LEFT_METER_X = 410 + 2;    // canvas inner origin on the window
constexpr int LEFT_METER_Y = 49 + 2;

// A square wave of the given peak: the block's peak is exactly `peak` in every delivery.
HeadlessSignal Square(int16_t peak_before, int16_t peak_after, double switch_ms) {
    return [=](uint64_t frame, int16_t& left, int16_t& right) {
        const bool after = frame * 1000.0 / 44100.0 >= switch_ms;
        const int16_t peak = after ? peak_after : peak_before;
        left = (frame % 2) ? peak : (int16_t)-peak;
        right = left;
    };
}

float MeterValueOfPeak(int peak) {
    const float level = (float)(340 * (peak / 32767.0));
    return (float)(std::log10(level * 0.7) * 20 * 2.11);
}

const MeterRecord& LeftMeter() { return program.meters[FindMeterIndex(program.meter_left)]; }

float ShownValue() {
    const MeterRecord& m = LeftMeter();
    return m.average_sum / (float)m.average_length;
}

// The needle's tip, read from the window, for a shown value: the needle's core (10, 221, 10)
// or its pale fringe (159, 240, 159) blended over the face. The face's green is at most 95
// and the scale's red is 240.
bool NeedleTipShown(float value) {
    const float theta = (float)((value * 0.9 - 45) * 3.14159265358979323846 / 180);
    const int tx = (int)std::nearbyint(std::sin(theta) * 198 + 168);
    const int ty = (int)std::nearbyint(223 - std::cos(theta) * 198);
    const Colour c = HeadlessPixel(program.main_window_handle, LEFT_METER_X + tx, LEFT_METER_Y + ty);
    return ColourGreen(c) >= 200 && ColourRed(c) <= 160;
}

}  // namespace

TEST(MeterFeedScenario, NeedleFollowsTheLevelThroughTheEightUpdateAverage) {
    HeadlessReset();
    HeadlessDevice device;
    device.signal = Square(8000, 30000, 2000);
    HeadlessAddDevice(device);
    const float before = MeterValueOfPeak(8000);   // about 75
    const float after = MeterValueOfPeak(30000);   // about 98.7

    bool settled_before = false, moving = false, settled_after = false;
    HeadlessAt(1990, [&] {
        settled_before = true;
        EXPECT_EQ(LeftMeter().average_length, 8);
        EXPECT_NEAR(ShownValue(), before, 1e-3);
        EXPECT_TRUE(NeedleTipShown(ShownValue()));
        EXPECT_FALSE(NeedleTipShown(after));
    });
    // Three or four ticks into the new level: part of the way there.
    HeadlessAt(2000 + 3 * 32 + 16, [&] {
        moving = true;
        const float shown = ShownValue();
        EXPECT_GT(shown, before + (after - before) * 2 / 8 - 1e-3);
        EXPECT_LT(shown, before + (after - before) * 5 / 8 + 1e-3);
        EXPECT_TRUE(NeedleTipShown(shown));
    });
    // Nine ticks on, the window holds only the new level.
    HeadlessAt(2000 + 10 * 32, [&] {
        settled_after = true;
        EXPECT_NEAR(ShownValue(), after, 1e-3);
        EXPECT_TRUE(NeedleTipShown(after));
        EXPECT_FALSE(NeedleTipShown(before));
    });
    HeadlessCloseAt(2500);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(settled_before && moving && settled_after);
}
