// Level measurement, LED bar lighting and the values fed to the meters and the history
// graph, drawn onto an off-screen image and read back pixel by pixel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/history_graph.h"
#include "app/state.h"
#include "display/display.h"

namespace {

constexpr Colour OFF = MakeColour(16, 48, 16);
constexpr Colour ON = MakeColour(0, 208, 0);
constexpr Colour OVER = MakeColour(255, 0, 0);
constexpr Colour CANVAS = MakeColour(90, 10, 200);   // anything the display never draws
constexpr int UPPER_TOP = 578;
constexpr int LOWER_TOP = 617;

// Segment thresholds as the bar is defined to use them (segment 30: strictly above 279).
const int THRESHOLDS[31] = {0,  1,  3,  10, 12, 14, 16,  18,  20,  22,  25,  28,  32,  36,  40, 45,
                            51, 57, 64, 72, 81, 90, 102, 114, 128, 144, 162, 181, 203, 228, 279};

std::vector<char> block(ANALYSIS_BLOCK_BYTES);

void PutSample(int offset, int16_t value) {
    block[offset] = (char)(value & 0xFF);
    block[offset + 1] = (char)((uint16_t)value >> 8);
}

// A stereo block whose left channel peaks at `left` and right channel at `right`; the other
// samples are small so only the peak decides.
void FillStereo(int16_t left, int16_t right) {
    std::fill(block.begin(), block.end(), 0);
    for (int o = 0; o < 512; o += 4) {
        PutSample(o, (int16_t)((o / 4) % 3 - 1));
        PutSample(o + 2, (int16_t)((o / 4) % 3 - 1));
    }
    PutSample(100, left);
    PutSample(302, right);
}

class LevelDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        program = ProgramState{};
        program.segment_x.assign(31, 0);
        for (int i = 1; i <= 30; ++i) program.segment_x[i] = 19 + 14 * i;
        program.bar_y = 578;
        program.bar_colour_off = OFF;
        program.bar_colour_on = ON;
        program.bar_colour_over = OVER;
        program.capture_format.nChannels = 2;
        program.capture_format.wBitsPerSample = 16;
        program.buffer_bytes = 512;
        program.scope_left = {0, 38, 50, 340, 225, 162};
        program.scope_right = {1, 38, 305, 340, 225, 417};
        program.level_left = 50.0f;
        program.level_right = 50.0f;
        program.small_label_font = MakeFont("Arial", 7, 400);
        program.analysis_block = block.data();
        program.last_data = block.data();
        program.last_bytes_recorded = 512;
        image = CreateImage(800, 720, 32);
        ASSERT_NE(image, nullptr);
        ASSERT_TRUE(BeginDrawingImage(image));
        FillBox(0, 0, 800, 720, CANVAS);
        EndDrawing();
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        ReleaseImage(image);
        if (program.small_label_font) ReleaseFont(program.small_label_font);
        program = ProgramState{};
    }

    // One level pass as the tick runs it: drawing already begun, UpdateLevelDisplays ends it.
    void RunLevels() {
        ASSERT_TRUE(BeginDrawingImage(image));
        UpdateLevelDisplays();
        EXPECT_FALSE(IsDrawing()) << "UpdateLevelDisplays must end the tick's drawing pass";
    }

    Colour Pixel(int x, int y) {
        BeginDrawingImage(image);
        Colour c = ReadPixel(x, y) & 0xFFFFFF;
        EndDrawing();
        return c;
    }

    // Colour of every pixel of segment i of the bar at `top`, or CANVAS when they differ.
    Colour SegmentColour(int i, int top) {
        BeginDrawingImage(image);
        const int x = 19 + 14 * i;
        Colour first = ReadPixel(x, top) & 0xFFFFFF;
        bool uniform = true;
        for (int y = top; y < top + 36; ++y)
            for (int dx = 0; dx < 12; ++dx)
                if ((ReadPixel(x + dx, y) & 0xFFFFFF) != first) uniform = false;
        // The 2-pixel gaps and the rows around the segment are left alone.
        if ((ReadPixel(x + 12, top + 10) & 0xFFFFFF) != CANVAS) uniform = false;
        if ((ReadPixel(x + 5, top + 36) & 0xFFFFFF) != CANVAS) uniform = false;
        EndDrawing();
        return uniform ? first : CANVAS;
    }

    // Green segments 1 .. lit, segment 30 red or off, everything else off.
    void ExpectBar(int top, int lit, bool over) {
        for (int i = 1; i <= 29; ++i)
            EXPECT_EQ(SegmentColour(i, top), i <= lit ? ON : OFF) << "segment " << i << " of bar at " << top;
        EXPECT_EQ(SegmentColour(30, top), over ? OVER : OFF) << "segment 30 of bar at " << top;
    }

    ImageRef image = nullptr;
};

TEST(ClampIntTest, BoundsAndOrderOfTests) {
    EXPECT_EQ(ClampInt(5, 0, 10), 5);
    EXPECT_EQ(ClampInt(-1, 0, 10), 0);
    EXPECT_EQ(ClampInt(11, 0, 10), 10);
    EXPECT_EQ(ClampInt(0, 0, 10), 0);
    EXPECT_EQ(ClampInt(10, 0, 10), 10);
    EXPECT_EQ(ClampInt(INT32_MIN, -5, 5), -5);
    EXPECT_EQ(ClampInt(INT32_MAX, -5, 5), 5);
    // With low above high the low test wins for small values, the high test for large ones.
    EXPECT_EQ(ClampInt(3, 10, 0), 10);
    EXPECT_EQ(ClampInt(12, 10, 0), 0);
}

TEST(LevelValuesTest, FullScaleAndEdges) {
    EXPECT_FLOAT_EQ(LevelFromPeak(340, 32767), 340.0f);
    EXPECT_NEAR(LevelFromPeak(340, 32768), 340.0104f, 1e-3);
    EXPECT_NEAR(LevelFromPeak(340, 26888), 278.998f, 1e-3);
    EXPECT_NEAR(LevelFromPeak(340, 26889), 279.008f, 1e-3);
    EXPECT_NEAR(LevelFromPeak(340, 24672), 256.004f, 1e-3);
    EXPECT_NEAR(LevelFromPeak(340, 96), 0.996f, 1e-3);
    EXPECT_NEAR(LevelFromPeak(340, 97), 1.0065f, 1e-4);
    EXPECT_EQ(LevelFromPeak(340, 0), 0.0f);

    EXPECT_NEAR(MeterValueFromLevel(340.0f), 100.29f, 0.01);
    EXPECT_NEAR(MeterValueFromLevel(50.0f), 65.16f, 0.01);   // the value before any block
    EXPECT_NEAR(MeterValueFromLevel((float)(1 / 0.7)), 0.0f, 1e-4);
    EXPECT_TRUE(std::isinf(MeterValueFromLevel(0.0f)) && MeterValueFromLevel(0.0f) < 0);

    // 32257 is the smallest peak whose meter value reaches the meter's full scale.
    EXPECT_GE(MeterValueFromLevel(LevelFromPeak(340, 32257)), 100.0f);
    // By the formula the boundary itself lies at 32250 (100.00008); 32249 stays below.
    EXPECT_GE(MeterValueFromLevel(LevelFromPeak(340, 32250)), 100.0f);
    EXPECT_LT(MeterValueFromLevel(LevelFromPeak(340, 32249)), 100.0f);
}

TEST(HistoryValueTest, RoundedLogOfProduct) {
    EXPECT_EQ(HistoryValueFromLevels(340.0f, 340.0f), 98);
    EXPECT_EQ(HistoryValueFromLevels(LevelFromPeak(340, 32768), LevelFromPeak(340, 32768)), 98);
    EXPECT_EQ(HistoryValueFromLevels(34.0f, 34.0f), 59);   // both 20 dB below full scale
    EXPECT_EQ(HistoryValueFromLevels(1.0f, 1.0f), 0);
    // Below 1 the product's logarithm goes negative and is sent as it is.
    EXPECT_EQ(HistoryValueFromLevels(0.5f, 0.5f), (intptr_t)std::nearbyint(std::log10(0.25) * 19.4));
}

TEST(HistoryValueTest, SilenceGivesTheFloorThatTheGraphDrawsBelowItsImage) {
    EXPECT_EQ(HistoryValueFromLevels(0.0f, 0.0f), HISTORY_VALUE_FLOOR);
    EXPECT_EQ(HistoryValueFromLevels(0.0f, 340.0f), HISTORY_VALUE_FLOOR);
    // The smallest non-zero levels stay well above the floor, so it only ever marks silence.
    const float smallest = LevelFromPeak(340, 1);
    EXPECT_GT(HistoryValueFromLevels(smallest, smallest), HISTORY_VALUE_FLOOR);
    // The graph of the main window (height 140) puts the floor below its last row.
    EXPECT_GE(HistoryRow((int32_t)HISTORY_VALUE_FLOOR, 140), 140);
}

TEST_F(LevelDisplay, FullScaleBothChannels) {
    FillStereo(32767, 32767);
    RunLevels();
    EXPECT_FLOAT_EQ(program.level_left, 340.0f);
    EXPECT_FLOAT_EQ(program.level_right, 340.0f);
    EXPECT_FLOAT_EQ(program.history_left, 340.0f);
    EXPECT_FLOAT_EQ(program.history_right, 340.0f);
    EXPECT_EQ(program.history_value, 98);
    ExpectBar(UPPER_TOP, 29, true);
    ExpectBar(LOWER_TOP, 29, true);
}

TEST_F(LevelDisplay, MostNegativeSampleCountsAs32768) {
    FillStereo(-32768, -32768);
    RunLevels();
    EXPECT_NEAR(program.level_left, 340.01f, 0.001);
    EXPECT_NEAR(program.level_right, 340.01f, 0.001);
    EXPECT_EQ(program.history_value, 98);
    ExpectBar(UPPER_TOP, 29, true);
    ExpectBar(LOWER_TOP, 29, true);
}

TEST_F(LevelDisplay, RedSegmentOnlyStrictlyAbove279) {
    FillStereo(26888, 26889);
    RunLevels();
    EXPECT_NEAR(program.level_left, 278.998f, 0.001);
    EXPECT_NEAR(program.level_right, 279.008f, 0.001);
    ExpectBar(UPPER_TOP, 29, false);
    ExpectBar(LOWER_TOP, 29, true);
}

TEST_F(LevelDisplay, LowLevels) {
    FillStereo(24672, 97);
    RunLevels();
    ExpectBar(UPPER_TOP, 29, false);
    ExpectBar(LOWER_TOP, 1, false);

    FillStereo(96, 0);
    RunLevels();
    EXPECT_NEAR(program.level_left, 0.996f, 0.001);
    ExpectBar(UPPER_TOP, 0, false);
}

TEST_F(LevelDisplay, EveryThresholdLightsItsSegment) {
    // For each segment, the smallest peak that reaches its threshold and the peak just below.
    for (int k = 1; k <= 29; ++k) {
        const int reach = (int)std::ceil(THRESHOLDS[k] * 32767.0 / 340.0);
        for (int peak : {reach - 1, reach}) {
            FillStereo((int16_t)peak, (int16_t)peak);
            RunLevels();
            const float level = LevelFromPeak(340, peak);
            int expected = 0;
            for (int j = 1; j <= 29; ++j)
                if ((float)THRESHOLDS[j] <= level) expected = j;
            ASSERT_EQ(expected, level >= THRESHOLDS[k] ? k : k - 1) << "peak " << peak;
            ExpectBar(UPPER_TOP, expected, false);
            ExpectBar(LOWER_TOP, expected, false);
            if (HasFailure()) return;
        }
    }
}

TEST_F(LevelDisplay, SilenceLightsNothingAndSendsTheFloor) {
    std::fill(block.begin(), block.end(), 0);
    RunLevels();
    EXPECT_EQ(program.level_left, 0.0f);
    EXPECT_EQ(program.level_right, 0.0f);
    EXPECT_EQ(program.history_value, HISTORY_VALUE_FLOOR);
    ExpectBar(UPPER_TOP, 0, false);
    ExpectBar(LOWER_TOP, 0, false);
}

TEST_F(LevelDisplay, ScanCoversTheWholeBufferWhateverTheLastDeliveryHeld) {
    // A short last delivery does not shorten the scan: older bytes further on still count.
    FillStereo(10, 10);
    PutSample(508, 20000);
    PutSample(510, -20000);
    program.last_bytes_recorded = 64;
    RunLevels();
    EXPECT_NEAR(program.level_left, LevelFromPeak(340, 20000), 1e-4);
    EXPECT_NEAR(program.level_right, LevelFromPeak(340, 20000), 1e-4);
    // Bytes past buffer_bytes are not looked at.
    FillStereo(10, 10);
    PutSample(512, 30000);
    PutSample(514, 30000);
    RunLevels();
    EXPECT_NEAR(program.level_left, LevelFromPeak(340, 10), 1e-4);
}

TEST_F(LevelDisplay, LabelsAboveUpperBarAndBelowLowerBar) {
    // On black, anti-aliased ink of (0, 152, 0) shows as pure greens up to 152.
    constexpr Colour GROUND = MakeColour(0, 0, 0);
    ASSERT_TRUE(BeginDrawingImage(image));
    FillBox(0, 0, 800, 720, GROUND);
    EndDrawing();
    FillStereo(1000, 1000);
    RunLevels();
    BeginDrawingImage(image);
    auto inked = [&](int x0, int y0, int w, int h) {
        int count = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                if ((ReadPixel(x, y) & 0xFFFFFF) != GROUND) ++count;
        return count;
    };
    for (int i = 1; i <= 30; ++i) {
        const int x = 19 + 14 * i + 2;
        EXPECT_GT(inked(x, 578 - 14, 12, 14), 0) << "label " << i << " above the upper bar";
        EXPECT_GT(inked(x, 578 + 79, 12, 14), 0) << "label " << i << " below the lower bar";
    }
    // Nothing between the bars (614 .. 616) and nothing left of the first label.
    EXPECT_EQ(inked(33, 614, 418, 3), 0);
    EXPECT_EQ(inked(0, 560, 33, 120), 0);
    // Text in (0, 152, 0) with no background box of its own.
    int strongest = 0, ground_left = 0;
    for (int y = 564; y < 578; ++y)
        for (int x = 35; x < 451; ++x) {
            const Colour c = ReadPixel(x, y) & 0xFFFFFF;
            if (c == GROUND) ++ground_left;
            EXPECT_TRUE(ColourRed(c) == 0 && ColourBlue(c) == 0 && ColourGreen(c) <= 152) << x << "," << y;
            if (ColourGreen(c) > strongest) strongest = ColourGreen(c);
        }
    EXPECT_GE(strongest, 120);   // small glyphs rarely cover a whole pixel
    EXPECT_GT(ground_left, 14 * 416 / 2);
    EndDrawing();
}

TEST_F(LevelDisplay, NothingDeliveredDrawsNothingButFeedsTheStartValues) {
    program.last_data = nullptr;
    ASSERT_TRUE(BeginDrawingImage(image));
    UpdateLevelDisplays();
    // No block yet: the drawing (if any) is not ended here and nothing was drawn.
    EXPECT_TRUE(IsDrawing());
    EndDrawing();
    EXPECT_EQ(Pixel(33, 578), CANVAS);
    EXPECT_EQ(Pixel(33 + 2, 565), CANVAS);
    EXPECT_EQ(program.level_left, 50.0f);
    EXPECT_EQ(program.history_value, HISTORY_VALUE_FLOOR);   // both history levels still 0
}

TEST_F(LevelDisplay, LightSegmentsFillsTwelveByThirtySix) {
    ASSERT_TRUE(BeginDrawingImage(image));
    LightSegments(3, 100, ON);
    EXPECT_EQ(ReadPixel(33, 100) & 0xFFFFFF, ON);
    EXPECT_EQ(ReadPixel(44, 135) & 0xFFFFFF, ON);
    EXPECT_EQ(ReadPixel(45, 120) & 0xFFFFFF, CANVAS);   // 2-pixel gap
    EXPECT_EQ(ReadPixel(46, 120) & 0xFFFFFF, CANVAS);
    EXPECT_EQ(ReadPixel(47, 120) & 0xFFFFFF, ON);       // segment 2
    EXPECT_EQ(ReadPixel(33, 136) & 0xFFFFFF, CANVAS);
    EXPECT_EQ(ReadPixel(33, 99) & 0xFFFFFF, CANVAS);
    EXPECT_EQ(ReadPixel(61 + 11, 110) & 0xFFFFFF, ON);  // segment 3, last column
    EXPECT_EQ(ReadPixel(75, 110) & 0xFFFFFF, CANVAS);   // segment 4 untouched
    EndDrawing();
}

}  // namespace
