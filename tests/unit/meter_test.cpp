// Needle meter: creation and geometry, the registry, value clamping and averaging, and the
// pixels of the drawn face, needle, cover plate and PEAK lamp as read back from the canvas.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include "app/state.h"
#include "meter/meter.h"
#include "platform/platform.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr Colour FACE_TOP = MakeColour(0, 95, 0);
constexpr Colour FACE_BOTTOM = MakeColour(0, 47, 0);
constexpr Colour ACCENT = MakeColour(10, 221, 10);
constexpr Colour SCALE = MakeColour(240, 255, 240);
constexpr Colour NEEDLE = MakeColour(10, 221, 10);
constexpr Colour NEEDLE_FILL = MakeColour(11, 221, 10);
constexpr Colour FRINGE = MakeColour(159, 240, 159);
constexpr Colour PLATE_BACK = MakeColour(9, 57, 9);
constexpr Colour PLATE_TOP = MakeColour(6, 73, 6);
constexpr Colour LAMP_OFF = MakeColour(128, 64, 64);
constexpr Colour LAMP_ON = MakeColour(255, 0, 0);
constexpr Colour BLACK = MakeColour(0, 0, 0);
constexpr Colour MAKER = MakeColour(0, 138, 0);

intptr_t PLATFORM_CALLBACK PlainProc(WindowRef w, uint32_t m, uintptr_t wp, intptr_t lp) {
    return DefaultWindowProcedure(w, m, wp, lp);
}

// A snapshot of a drawing target's pixels.
struct Picture {
    int width = 0, height = 0;
    std::vector<Colour> pixels;
    Colour At(int x, int y) const { return pixels[(size_t)y * width + x]; }
};

Picture ReadTarget() {
    Picture p;
    p.width = DrawingWidth();
    p.height = DrawingHeight();
    p.pixels.resize((size_t)p.width * p.height);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) p.pixels[(size_t)y * p.width + x] = ReadPixel(x, y);
    EndDrawing();
    return p;
}

::testing::AssertionResult NearColour(Colour actual, Colour expected, int tolerance) {
    int dr = std::abs(ColourRed(actual) - ColourRed(expected));
    int dg = std::abs(ColourGreen(actual) - ColourGreen(expected));
    int db = std::abs(ColourBlue(actual) - ColourBlue(expected));
    if (dr <= tolerance && dg <= tolerance && db <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "(" << ColourRed(actual) << ", " << ColourGreen(actual) << ", " << ColourBlue(actual)
           << ") is not (" << ColourRed(expected) << ", " << ColourGreen(expected) << ", "
           << ColourBlue(expected) << ")";
}

// The point of a 336 x 223 face at `degrees` from straight up and radius r from the pivot.
void FacePoint(double degrees, double r, int* x, int* y) {
    double t = degrees * M_PI / 180.0;
    *x = (int)std::rint(std::sin(t) * r + 168);
    *y = (int)std::rint(223 - std::cos(t) * r);
}

class MeterTest : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        program = ProgramState{};
        meter_count = 1;
        program.main_window_handle =
            CreateMainWindow("meter", 50, 100, 800, 720, WS_CAPTION | WS_SYSMENU, PlainProc);
        ASSERT_NE(program.main_window_handle, nullptr);
        program.palette_face_top = FACE_TOP;
        program.palette_green_2 = MakeColour(0, 79, 0);
        program.palette_green_3 = MakeColour(0, 63, 0);
        program.palette_face_bottom = FACE_BOTTOM;
        program.palette_accent = ACCENT;
        program.font_large = MakeFont("Arial", 10, 700);
        program.font_small = MakeFont("Arial", 8, 400);
        ASSERT_NE(program.font_large, nullptr);
        ASSERT_NE(program.font_small, nullptr);
        program.palette_scale = SCALE;
        program.palette_needle = NEEDLE;
        program.palette_black = BLACK;
        program.meters.resize(2);
    }
    void TearDown() override {
        for (MeterRecord& m : program.meters) {
            if (m.face_image) ReleaseImage(m.face_image);
            if (m.panel_image) ReleaseImage(m.panel_image);
        }
        if (program.main_window_handle) DestroyWindowTree(program.main_window_handle);
        if (program.font_large) ReleaseFont(program.font_large);
        if (program.font_small) ReleaseFont(program.font_small);
        program = ProgramState{};
        meter_count = 1;
        HeadlessClearCreationFaults();
    }

    intptr_t Make(const char* label = "LEFT", intptr_t style = 5, int width = 340) {
        intptr_t id = CreateMeter(-1, 410, 49, width, label, style);
        EXPECT_NE(id, 0);
        return id;
    }
    MeterRecord& Record(intptr_t control) { return program.meters[FindMeterIndex(control)]; }
    Picture Canvas(intptr_t control) {
        WindowRef canvas = FindControl(program.main_window_handle, (int)control);
        EXPECT_NE(canvas, nullptr);
        EXPECT_TRUE(BeginDrawingCanvas(canvas));
        return ReadTarget();
    }
    Picture Face(intptr_t control) {
        EXPECT_TRUE(BeginDrawingImage(Record(control).face_image));
        return ReadTarget();
    }
    Picture Panel(intptr_t control) {
        EXPECT_TRUE(BeginDrawingImage(Record(control).panel_image));
        return ReadTarget();
    }
};

// ---------------------------------------------------------------------------------------
// Creation, geometry and the registry
// ---------------------------------------------------------------------------------------

TEST_F(MeterTest, TheProgramsMeterSizeGivesItsGeometry) {
    intptr_t id = Make("LEFT", 5, 340);
    WindowRef canvas = FindControl(program.main_window_handle, (int)id);
    ASSERT_NE(canvas, nullptr);
    RectI r;
    ASSERT_TRUE(GetControlRect(canvas, &r));
    EXPECT_EQ(r.left, 410);
    EXPECT_EQ(r.top, 49);
    EXPECT_EQ(r.right - r.left, 340);
    EXPECT_EQ(r.bottom - r.top, 227);

    const MeterRecord& m = Record(id);
    EXPECT_EQ(m.inner_width, 336);
    EXPECT_EQ(m.inner_height, 223);
    EXPECT_EQ(m.style, 5);
    EXPECT_EQ(m.pivot_x, 168);
    EXPECT_EQ(m.scale_radius, 198);
    EXPECT_EQ(m.lamp_radius, 8);
    EXPECT_EQ(m.lamp_x, 299);
    EXPECT_EQ(m.lamp_y, 129);
    EXPECT_EQ(ImageWidth(m.face_image), 336);
    EXPECT_EQ(ImageHeight(m.face_image), 223);
    EXPECT_EQ(ImageWidth(m.panel_image), 336);
    EXPECT_EQ(ImageHeight(m.panel_image), 45);
    EXPECT_EQ(m.label, "LEFT");
    EXPECT_EQ(m.average_length, 0);
    EXPECT_EQ(m.value, 0.0f);

    Picture p = Canvas(id);
    EXPECT_EQ(p.width, 336);
    EXPECT_EQ(p.height, 223);
}

TEST_F(MeterTest, CopiesThePaletteAndFontsIntoTheRecord) {
    program.palette_needle = MakeColour(200, 10, 10);
    intptr_t id = Make();
    const MeterRecord& m = Record(id);
    EXPECT_EQ(m.face_top_colour, FACE_TOP);
    EXPECT_EQ(m.face_shade_2, MakeColour(0, 79, 0));
    EXPECT_EQ(m.face_shade_3, MakeColour(0, 63, 0));
    EXPECT_EQ(m.face_bottom_colour, FACE_BOTTOM);
    EXPECT_EQ(m.accent_colour, ACCENT);
    EXPECT_EQ(m.scale_colour, SCALE);
    EXPECT_EQ(m.needle_colour, MakeColour(200, 10, 10));
    EXPECT_EQ(m.black_colour, BLACK);
    EXPECT_EQ(m.font_large, program.font_large);
    EXPECT_EQ(m.font_small, program.font_small);
    // The needle at rest is drawn in the meter's own needle colour.
    EXPECT_EQ(Canvas(id).At(28, 83), MakeColour(200, 10, 10));
}

TEST_F(MeterTest, NarrowWidthIsRaisedToTheMinimum) {
    intptr_t id = Make("", 5, 100);
    RectI r;
    ASSERT_TRUE(GetControlRect(FindControl(program.main_window_handle, (int)id), &r));
    EXPECT_EQ(r.right - r.left, 150);
    EXPECT_EQ(r.bottom - r.top, 100);
    const MeterRecord& m = Record(id);
    EXPECT_EQ(m.inner_width, 146);
    EXPECT_EQ(m.inner_height, 96);
    EXPECT_EQ(m.pivot_x, 73);
    EXPECT_EQ(m.lamp_radius, 3);
    EXPECT_EQ(m.lamp_x, 146 - 9 - 13);
    EXPECT_EQ(m.lamp_y, 56);   // rint(96 - 33.6 - 6)
    EXPECT_EQ(m.scale_radius, 75);
    EXPECT_EQ(ImageHeight(m.panel_image), 19);
}

TEST_F(MeterTest, StyleOutsideTheFlagsCreatesNothing) {
    EXPECT_EQ(CreateMeter(7001, 410, 49, 340, "LEFT", 16), 0);
    EXPECT_EQ(CreateMeter(7002, 410, 49, 340, "LEFT", -1), 0);
    EXPECT_EQ(FindControl(program.main_window_handle, 7001), nullptr);
    EXPECT_EQ(FindControl(program.main_window_handle, 7002), nullptr);
    EXPECT_EQ(meter_count, 1);
    EXPECT_EQ(program.meters.size(), 2u);
    EXPECT_TRUE(program.meter_index_by_control.empty());
    // Both ends of the range are accepted.
    EXPECT_EQ(CreateMeter(7003, 410, 49, 340, "", 0), 7003);
    EXPECT_EQ(CreateMeter(7004, 410, 304, 340, "", 15), 7004);
}

TEST_F(MeterTest, MetersTakeConsecutiveIndexesFromOne) {
    intptr_t left = CreateMeter(-1, 410, 49, 340, "LEFT", 5);
    intptr_t right = CreateMeter(-1, 410, 304, 340, "RIGHT", 5);
    ASSERT_NE(left, 0);
    ASSERT_NE(right, 0);
    EXPECT_NE(left, right);
    EXPECT_EQ(GetControlId(FindControl(program.main_window_handle, (int)left)), left);
    EXPECT_EQ(FindMeterIndex(left), 1);
    EXPECT_EQ(FindMeterIndex(right), 2);
    EXPECT_EQ(program.meters.size(), 3u);
    EXPECT_EQ(meter_count, 3);
    EXPECT_EQ(program.meter_index_by_control.at(std::to_string(left)), 1);
    EXPECT_EQ(program.meter_index_by_control.at(std::to_string(right)), 2);
    EXPECT_EQ(program.meters[1].label, "LEFT");
    EXPECT_EQ(program.meters[2].label, "RIGHT");

    // A chosen control number is used as given.
    EXPECT_EQ(CreateMeter(4321, 10, 10, 200, "X", 1), 4321);
    EXPECT_EQ(FindMeterIndex(4321), 3);
    EXPECT_EQ(FindMeterIndex(4322), 0);
    EXPECT_EQ(FindMeterIndex(0), 0);
}

TEST_F(MeterTest, WithoutAParentWindowNothingIsCreated) {
    WindowRef main = program.main_window_handle;
    program.main_window_handle = nullptr;
    EXPECT_EQ(CreateMeter(-1, 410, 49, 340, "LEFT", 5), 0);
    program.main_window_handle = main;
    EXPECT_EQ(meter_count, 1);
    EXPECT_EQ(program.meters.size(), 2u);
    EXPECT_TRUE(program.meter_index_by_control.empty());
}

TEST_F(MeterTest, FailedCanvasLeavesTheRegistryAlone) {
    Make();
    HeadlessFailCreation(HeadlessCreation::CANVAS);
    EXPECT_EQ(CreateMeter(-1, 410, 304, 340, "RIGHT", 5), 0);
    EXPECT_EQ(meter_count, 2);
    EXPECT_EQ(program.meters.size(), 2u);
    EXPECT_EQ(program.meter_index_by_control.size(), 1u);
}

TEST_F(MeterTest, MeterWithoutImagesStillShowsItsNeedle) {
    HeadlessFailCreation(HeadlessCreation::IMAGE);
    intptr_t id = Make("LEFT", 7);
    ASSERT_NE(id, 0);
    EXPECT_EQ(Record(id).face_image, nullptr);
    EXPECT_EQ(Record(id).panel_image, nullptr);
    SetMeterAveraging(id, 8);
    for (float v : {100.0f, 50.0f, 0.0f}) EXPECT_EQ(SetMeterValue(id, v), 0);
    WindowRef canvas = FindControl(program.main_window_handle, (int)id);
    ASSERT_TRUE(BeginDrawingCanvas(canvas));
    // The lamp is lit two updates after full scale, over a canvas that never had a face.
    Colour lamp = ReadPixel(299, 129);
    EndDrawing();
    EXPECT_EQ(lamp, MakeColour(255, 0, 0));
    EXPECT_EQ(Record(id).average_sum, 150.0f);
}

TEST_F(MeterTest, ControlsThatAreNotMetersAreIgnored) {
    intptr_t id = Make();
    MeterRecord before = Record(id);
    EXPECT_EQ(SetMeterValue(id + 1000, 100.0f), 0);
    EXPECT_EQ(SetMeterAveraging(id + 1000, 8), 0);
    EXPECT_EQ(Record(id).value, before.value);
    EXPECT_EQ(Record(id).peak_hold, 0);
    EXPECT_EQ(Record(id).average_length, 0);
}

TEST_F(MeterTest, LostCanvasOrImagesDoNotStopTheUpdates) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    ImageRef face = m.face_image, panel = m.panel_image;
    m.face_image = nullptr;
    m.panel_image = nullptr;
    EXPECT_EQ(SetMeterValue(id, 50.0f), 0);
    // The needle is still drawn over whatever the canvas held.
    EXPECT_EQ(Canvas(id).At(168, 100), NEEDLE);
    m.face_image = face;
    m.panel_image = panel;

    DestroyWindowTree(FindControl(program.main_window_handle, (int)id));
    EXPECT_EQ(SetMeterValue(id, 150.0f), 0);
    EXPECT_EQ(m.value, 100.0f);
    EXPECT_EQ(m.peak_hold, PEAK_HOLD_UPDATES);
}

// ---------------------------------------------------------------------------------------
// Values, peak hold and averaging
// ---------------------------------------------------------------------------------------

TEST_F(MeterTest, InputsAreClampedAndFullScaleStartsThePeakHold) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    SetMeterValue(id, 99.99f);
    EXPECT_EQ(m.value, 99.99f);
    EXPECT_EQ(m.peak_hold, 0);
    SetMeterValue(id, 100.0f);
    EXPECT_EQ(m.value, 100.0f);
    EXPECT_EQ(m.peak_hold, 8);
    m.peak_hold = 0;
    SetMeterValue(id, 150.0f);
    EXPECT_EQ(m.value, 100.0f);
    EXPECT_EQ(m.peak_hold, 8);
    m.peak_hold = 0;
    SetMeterValue(id, std::numeric_limits<float>::infinity());
    EXPECT_EQ(m.value, 100.0f);
    EXPECT_EQ(m.peak_hold, 8);
    // Style 5 has no lamp, so the hold never counts down.
    SetMeterValue(id, 10.0f);
    EXPECT_EQ(m.peak_hold, 8);
}

TEST_F(MeterTest, NegativeAndNonNumericInputsShowZero) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    for (float bad : {-3.0f, -std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN()}) {
        SetMeterValue(id, 50.0f);
        SetMeterValue(id, bad);
        EXPECT_EQ(m.value, 0.0f) << bad;
        EXPECT_EQ(m.peak_hold, 0) << bad;
        Picture p = Canvas(id);
        EXPECT_EQ(p.At(28, 83), NEEDLE) << bad;
        EXPECT_EQ(p.At(168, 25), SCALE) << bad;   // the arc is back where the needle was
    }
}

TEST_F(MeterTest, AveragingWindowIsTheNearestPowerOfTwo) {
    intptr_t id = Make();
    const std::pair<intptr_t, intptr_t> cases[] = {
        {1, 0}, {0, 0}, {-5, 0}, {2, 2}, {3, 4}, {5, 4}, {6, 8}, {8, 8}, {12, 16},
        {90, 64}, {96, 128}, {128, 128}, {1000, 128}};
    for (auto [count, expected] : cases) {
        EXPECT_EQ(SetMeterAveraging(id, count), 0);
        EXPECT_EQ(Record(id).average_length, expected) << "count " << count;
    }
}

TEST_F(MeterTest, AveragingIsPrimedWithTheLastInput) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    SetMeterValue(id, 40.0f);
    SetMeterValue(id, 30.0f);
    SetMeterAveraging(id, 4);
    EXPECT_EQ(m.history_index, 0);
    EXPECT_EQ(m.average_sum, 120.0f);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(m.average_history[i], 30.0f);
    EXPECT_EQ(m.average_history[4], 0.0f);
    // An update of the same value leaves the needle where it was: straight up for 50.
    SetMeterValue(id, 50.0f);
    SetMeterAveraging(id, 16);
    SetMeterValue(id, 50.0f);
    EXPECT_EQ(Canvas(id).At(168, 25), NEEDLE);
}

TEST_F(MeterTest, FullScaleStepsThroughAWindowOfEight) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    SetMeterAveraging(id, 8);
    for (int k = 1; k <= 8; ++k) {
        m.peak_hold = 0;
        SetMeterValue(id, 100.0f);
        // The clamped input, not the average, starts the hold.
        EXPECT_EQ(m.peak_hold, 8) << k;
        EXPECT_EQ(m.value, 100.0f);
        EXPECT_EQ(m.average_sum / (float)m.average_length, 12.5f * k) << k;
        Picture p = Canvas(id);
        if (k == 4) {
            EXPECT_EQ(p.At(168, 25), NEEDLE);   // average 50: straight up
        }
        if (k < 8) {
            EXPECT_NE(p.At(308, 83), NEEDLE) << k;
        }
    }
    EXPECT_EQ(Canvas(id).At(308, 83), NEEDLE);   // average 100: right end
}

TEST_F(MeterTest, HistoryCounterWrapsWithoutDisturbingTheWindow) {
    intptr_t id = Make();
    MeterRecord& m = Record(id);
    SetMeterAveraging(id, 8);
    std::vector<float> inputs;
    for (int i = 0; i < 600; ++i) {
        float v = (float)((i * 37) % 101);
        inputs.push_back(v);
        SetMeterValue(id, v);
        EXPECT_EQ(m.history_index, (uint8_t)(i + 1));
        double expected = 0;
        for (int back = 0; back < 8; ++back) {
            int at = i - back;
            expected += at >= 0 ? inputs[at] : 0.0;
        }
        ASSERT_NEAR(m.average_sum, expected, 0.01) << "update " << i;
    }
}

TEST_F(MeterTest, WithAveragingOffTheNeedleFollowsEachInput) {
    intptr_t id = Make();
    SetMeterValue(id, 100.0f);
    EXPECT_EQ(Canvas(id).At(308, 83), NEEDLE);
    SetMeterValue(id, 50.0f);
    EXPECT_EQ(Canvas(id).At(168, 25), NEEDLE);
    EXPECT_EQ(Record(id).history_index, 0);
    EXPECT_EQ(Record(id).average_sum, 0.0f);
}

// ---------------------------------------------------------------------------------------
// The colour mixer and the anti-aliased line
// ---------------------------------------------------------------------------------------

TEST(BlendColoursTest, MixesEachChannelAndRoundsToEven) {
    EXPECT_EQ(BlendColours(MakeColour(159, 240, 159), MakeColour(0, 95, 0), 1.0), MakeColour(159, 240, 159));
    EXPECT_EQ(BlendColours(MakeColour(159, 240, 159), MakeColour(0, 95, 0), 0.0), MakeColour(0, 95, 0));
    EXPECT_EQ(BlendColours(MakeColour(200, 100, 50), MakeColour(0, 0, 0), 0.25), MakeColour(50, 25, 12));
    // 1 * 0.5 = 0.5 rounds to 0, 3 * 0.5 = 1.5 rounds to 2.
    EXPECT_EQ(BlendColours(MakeColour(1, 3, 5), MakeColour(0, 0, 0), 0.5), MakeColour(0, 2, 2));
    EXPECT_EQ(BlendColours(MakeColour(10, 20, 30), MakeColour(30, 20, 10), 0.5), MakeColour(20, 20, 20));
}

class SmoothLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = CreateImage(60, 60, 32);
        ASSERT_NE(image, nullptr);
        ASSERT_TRUE(BeginDrawingImage(image));
        SetDrawingMode(DRAWMODE_DEFAULT);
        FillBox(0, 0, 60, 60, BLACK);
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        ReleaseImage(image);
    }
    ImageRef image = nullptr;
};

TEST_F(SmoothLineTest, HorizontalLineHasAFullCoreAndSoftEnds) {
    DrawSmoothLine(10, 30, 40, 30, NEEDLE, 5);
    Picture p = ReadTarget();
    // Within 2 of the line: full colour; 3 away: untouched.
    for (int x = 10; x <= 40; ++x) {
        for (int y = 28; y <= 32; ++y) EXPECT_EQ(p.At(x, y), NEEDLE) << x << "," << y;
        EXPECT_EQ(p.At(x, 27), BLACK);
        EXPECT_EQ(p.At(x, 33), BLACK);
    }
    // The ends stop at the end points: a whole pixel further is not covered at all.
    EXPECT_EQ(p.At(9, 30), BLACK);
    EXPECT_EQ(p.At(41, 30), BLACK);
}

TEST_F(SmoothLineTest, EdgeCoverageFollowsTheDistanceFromTheLine) {
    // Any direction gives the same picture: each pixel's cover is 3 - distance, at most 1,
    // faded out over one pixel beyond each end point.
    const int ends[][4] = {{5, 50, 45, 10}, {45, 10, 5, 50}, {20, 5, 30, 55}, {55, 40, 5, 25},
                           {30, 5, 30, 55}, {30, 55, 31, 5}, {5, 30, 55, 30}};
    for (const auto& e : ends) {
        FillBox(0, 0, 60, 60, BLACK);
        DrawSmoothLine(e[0], e[1], e[2], e[3], NEEDLE, 5);
        Picture p = ReadTarget();
        ASSERT_TRUE(BeginDrawingImage(image));
        double dx = e[2] - e[0], dy = e[3] - e[1], len = std::hypot(dx, dy);
        int soft = 0;
        for (int y = 0; y < 60; ++y) {
            for (int x = 0; x < 60; ++x) {
                double along = ((x - e[0]) * dx + (y - e[1]) * dy) / len;
                double d = std::fabs((x - e[0]) * dy - (y - e[1]) * dx) / len;
                // Pixels right on a coverage step can fall either way by rounding.
                if (std::fabs(along) < 1e-9 || std::fabs(along - len) < 1e-9 ||
                    std::fabs(d - 2.0) < 1e-9)
                    continue;
                double cov = std::min(1.0, 3.0 - d);
                if (along <= -1 || along >= len + 1) cov = 0;
                else if (along < 0) cov *= along + 1;
                else if (along > len) cov *= len - along + 1;
                Colour expected = cov >= 1.0 ? NEEDLE : cov > 0 ? BlendColours(FRINGE, BLACK, cov) : BLACK;
                if (cov > 0 && cov < 1) ++soft;
                ASSERT_TRUE(NearColour(p.At(x, y), expected, 1)) << x << "," << y << " d=" << d;
            }
        }
        // Straight along an axis, every pixel is either fully in or out.
        if (dx != 0 && dy != 0) {
            EXPECT_GT(soft, 20);
        } else {
            EXPECT_EQ(soft, 0);
        }
    }
}

TEST_F(SmoothLineTest, ZeroLengthDrawsNothing) {
    DrawSmoothLine(30, 30, 30, 30, NEEDLE, 5);
    Picture p = ReadTarget();
    for (Colour c : p.pixels) ASSERT_EQ(c, BLACK);
}

TEST_F(SmoothLineTest, ClipsAtTheTargetEdges) {
    DrawSmoothLine(-10, 5, 70, 5, NEEDLE, 5);
    Picture p = ReadTarget();
    EXPECT_EQ(p.At(0, 5), NEEDLE);
    EXPECT_EQ(p.At(59, 7), NEEDLE);
    EXPECT_EQ(p.At(30, 8), BLACK);
}

// ---------------------------------------------------------------------------------------
// The drawn meter
// ---------------------------------------------------------------------------------------

TEST_F(MeterTest, NeedleTipFollowsTheValue) {
    intptr_t id = Make();
    struct Case { float value; int x, y; } cases[] = {{0, 28, 83}, {50, 168, 25}, {100, 308, 83}};
    for (const Case& c : cases) {
        SetMeterValue(id, c.value);
        Picture p = Canvas(id);
        EXPECT_EQ(p.At(c.x, c.y), NEEDLE) << c.value;
        // The tip dot of radius 2.
        EXPECT_EQ(p.At(c.x - 2, c.y), NEEDLE) << c.value;
        EXPECT_EQ(p.At(c.x + 2, c.y), NEEDLE) << c.value;
        EXPECT_EQ(p.At(c.x, c.y - 2), NEEDLE) << c.value;
        // Nothing of the needle beyond the tip.
        int ox = c.x == 168 ? 168 : (c.x < 168 ? c.x - 3 : c.x + 3);
        EXPECT_NE(p.At(ox, c.y - 4), NEEDLE) << c.value;
    }
}

TEST_F(MeterTest, SmoothNeedleHasACoreAndAPaleSoftEdge) {
    intptr_t id = Make();
    SetMeterValue(id, 0.0f);
    Picture canvas = Canvas(id);
    Picture face = Face(id);
    // From (168, 213) to the tip (28, 83); checked in a stretch above the cover plate.
    const double x1 = 168, y1 = 213, x2 = 28, y2 = 83;
    const double dx = x2 - x1, dy = y2 - y1, len = std::hypot(dx, dy);
    int core = 0, soft = 0;
    for (int y = 110; y <= 160; ++y) {
        for (int x = 40; x <= 150; ++x) {
            double d = std::fabs((x - x1) * dy - (y - y1) * dx) / len;
            double cov = std::min(1.0, 3.0 - d);
            Colour under = face.At(x, y);
            Colour expected = cov >= 1.0 ? NEEDLE : cov > 0 ? BlendColours(FRINGE, under, cov) : under;
            ASSERT_TRUE(NearColour(canvas.At(x, y), expected, 1)) << x << "," << y << " d=" << d;
            if (cov >= 1.0) ++core;
            if (cov > 0 && cov < 1 && canvas.At(x, y) != under) ++soft;
        }
    }
    EXPECT_GT(core, 150);
    EXPECT_GT(soft, 50);
}

TEST_F(MeterTest, FaceRunsFromLightGreenAtTheTopToDarkGreenAtTheBottom) {
    intptr_t id = Make();
    Picture face = Face(id);
    EXPECT_EQ(face.At(5, 0), FACE_TOP);
    EXPECT_EQ(face.At(330, 0), FACE_TOP);
    EXPECT_EQ(face.At(5, 222), FACE_BOTTOM);
    EXPECT_EQ(face.At(330, 222), FACE_BOTTOM);
    for (int y = 1; y < 223; ++y)
        EXPECT_LE(ColourGreen(face.At(5, y)), ColourGreen(face.At(5, y - 1))) << y;
    Picture canvas = Canvas(id);
    EXPECT_EQ(canvas.At(5, 0), FACE_TOP);
}

TEST_F(MeterTest, ScaleArcRunsFromEndToEndThroughTheTop) {
    intptr_t id = Make();
    Picture face = Face(id);
    EXPECT_EQ(face.At(28, 83), SCALE);
    EXPECT_EQ(face.At(168, 25), SCALE);
    EXPECT_EQ(face.At(308, 83), SCALE);
    // Its corners, stepped by 1000 / 336 degrees, all lie on the drawn arc.
    float step = 1000.0f / 336.0f;
    for (float a = -45.0f; a < 45.0f; a = (float)(a + step)) {
        int x, y;
        FacePoint(a, 198, &x, &y);
        EXPECT_EQ(face.At(x, y), SCALE) << a;
    }
    // No gaps: every column has the arc within a pixel of the circle.
    for (int x = 28; x <= 308; ++x) {
        double yc = 223 - std::sqrt(198.0 * 198.0 - (x - 168.0) * (x - 168.0));
        bool found = false;
        for (int y = (int)yc - 2; y <= (int)yc + 2; ++y) found |= face.At(x, y) == SCALE;
        EXPECT_TRUE(found) << x;
    }
    // Nothing in the scale colour off the ring of arc and ticks: no stray line leads into
    // the first point.
    for (int y = 0; y < 223; ++y) {
        for (int x = 0; x < 336; ++x) {
            if (face.At(x, y) != SCALE) continue;
            double r = std::hypot(x - 168.0, y - 223.0);
            // The +3 dB tick reaches a little past the right end of the arc.
            ASSERT_TRUE(r > 198 - 6.5 && r < 198 + 6.5 && x >= 28 && x <= 312)
                << "stray scale pixel at " << x << "," << y;
        }
    }
}

TEST(DbMarkAngleTest, MarksSitWhereTheNeedleShowsEachLevel) {
    const std::pair<int, double> marks[] = {{3, 45.000},  {2, 35.213},  {1, 26.490},  {0, 18.715},
                                            {-1, 11.786}, {-2, 5.611},  {-3, 0.107},  {-5, -9.170},
                                            {-10, -24.852}, {-20, -38.628}, {-30, -42.985}};
    for (auto [n, degrees] : marks) EXPECT_NEAR(DbMarkAngle(n), degrees, 0.0005) << n;
}

TEST_F(MeterTest, DbFaceHasTicksSignsAndNoLamp) {
    intptr_t id = Make("", 5);
    Picture face = Face(id);
    for (int n : {3, 2, 1, 0, -1, -2, -3, -5, -10, -20, -30}) {
        int x, y;
        FacePoint(DbMarkAngle(n), 198 + 5, &x, &y);
        EXPECT_EQ(face.At(x, y), SCALE) << n;
        FacePoint(DbMarkAngle(n), 198 - 5, &x, &y);
        EXPECT_EQ(face.At(x, y), SCALE) << n;
    }
    // The numbers are drawn in (0, 170, 0) above the arc: pure green, brighter than the face.
    int number_pixels = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 336; ++x) {
            Colour c = face.At(x, y);
            number_pixels += ColourRed(c) == 0 && ColourBlue(c) == 0 &&
                             ColourGreen(c) > ColourGreen(face.At(5, y)) + 40;
        }
    EXPECT_GT(number_pixels, 40);
    // Red "+" at the right, black "_" at the left, both at 40 % of the height.
    bool plus = false, minus = false;
    for (int y = 89; y < 115; ++y) {
        for (int x = 321; x < 336; ++x) plus |= ColourRed(face.At(x, y)) > 200;
        for (int x = 10; x < 22; ++x) minus |= ColourGreen(face.At(x, y)) + 30 < ColourGreen(face.At(5, y));
    }
    EXPECT_TRUE(plus);
    EXPECT_TRUE(minus);
    // No lamp, no "PEAK": the right-hand side below the scale is plain gradient.
    for (int y = 115; y < 165; ++y)
        for (int x = 270; x < 336; ++x) ASSERT_EQ(face.At(x, y), face.At(5, y)) << x << "," << y;
}

TEST_F(MeterTest, LinearFaceHasElevenTicksAndNoSigns) {
    intptr_t id = Make("", 4);
    Picture face = Face(id);
    for (int a = -45; a <= 45; a += 9) {
        int x, y;
        FacePoint(a, 198 + 5, &x, &y);
        EXPECT_EQ(face.At(x, y), SCALE) << a;
    }
    // No red "+" anywhere.
    for (Colour c : face.pixels) ASSERT_NE(c, MakeColour(255, 0, 0));
}

TEST_F(MeterTest, CaptionIsCentredOnTheFace) {
    intptr_t with = Make("LEFT", 5);
    intptr_t without = Make("", 5);
    Picture a = Face(with), b = Face(without);
    int left = 1000, right = -1, top = 1000, bottom = -1;
    for (int y = 0; y < 223; ++y)
        for (int x = 0; x < 336; ++x)
            if (a.At(x, y) != b.At(x, y)) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, 0) << "no caption drawn";
    EXPECT_NEAR((left + right) / 2.0, 168, 2.5);
    EXPECT_GE(top, 100);
    EXPECT_LE(bottom, 122);
    // Solid parts of the letters are in the accent colour.
    bool solid = false;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) solid |= a.At(x, y) == ACCENT;
    EXPECT_TRUE(solid);
}

TEST_F(MeterTest, MakersNameStartsAt124By125) {
    intptr_t id = Make("", 5);
    Picture face = Face(id);
    int left = 1000, top = 1000;
    bool solid = false;
    for (int y = 123; y < 150; ++y)
        for (int x = 100; x < 260; ++x)
            if (face.At(x, y) != face.At(5, y)) {
                left = std::min(left, x);
                top = std::min(top, y);
                solid |= face.At(x, y) == MAKER;
            }
    EXPECT_GE(left, 124);
    EXPECT_LE(left, 127);
    EXPECT_GE(top, 125);
    EXPECT_LE(top, 130);
    EXPECT_TRUE(solid);
}

TEST_F(MeterTest, CoverPlateHidesTheNeedleRoot) {
    intptr_t id = Make();
    Picture panel = Panel(id);
    EXPECT_EQ(panel.At(0, 0), PLATE_BACK);          // outside the rounded corner
    EXPECT_EQ(panel.At(335, 0), PLATE_BACK);
    EXPECT_EQ(panel.At(168, 0), PLATE_TOP);
    EXPECT_EQ(panel.At(3, 33), PLATE_TOP);          // the widest row of the rounded ends
    EXPECT_EQ(panel.At(0, 44), PLATE_BACK);         // the box's lower corners begin to round

    SetMeterValue(id, 50.0f);
    Picture canvas = Canvas(id);
    EXPECT_EQ(canvas.At(168, 177), NEEDLE);         // just above the plate
    for (int y = 178; y < 223; ++y) ASSERT_EQ(canvas.At(168, y), PLATE_TOP) << y;
    EXPECT_EQ(canvas.At(0, 178), PLATE_BACK);
    EXPECT_EQ(canvas.At(0, 222), PLATE_BACK);
    EXPECT_EQ(canvas.At(3, 178 + 33), PLATE_TOP);
}

TEST_F(MeterTest, PeakLampStaysLitForEightUpdates) {
    intptr_t id = Make("", 7);
    const MeterRecord& m = Record(id);
    Picture face = Face(id);
    EXPECT_EQ(face.At(299, 129), LAMP_OFF);
    EXPECT_EQ(face.At(299, 129 - 9), BLACK);          // the rim, 2 wider than the lamp
    EXPECT_EQ(face.At(299 + 10, 129), BLACK);
    EXPECT_EQ(Canvas(id).At(299, 129), LAMP_OFF);

    SetMeterValue(id, 100.0f);
    for (int update = 1; update <= 10; ++update) {
        if (update > 1) SetMeterValue(id, 20.0f);
        Picture p = Canvas(id);
        Colour expected = update <= 8 ? LAMP_ON : LAMP_OFF;
        EXPECT_EQ(p.At(299, 129), expected) << update;
        EXPECT_EQ(p.At(299 + 8, 129), expected) << update;
        EXPECT_EQ(p.At(299, 129 - 9), BLACK) << update;
    }
    EXPECT_EQ(m.peak_hold, 0);

    // A new full-scale input restarts the count.
    SetMeterValue(id, 100.0f);
    for (int i = 0; i < 5; ++i) SetMeterValue(id, 0.0f);
    SetMeterValue(id, 120.0f);
    for (int i = 0; i < 7; ++i) SetMeterValue(id, 0.0f);
    EXPECT_EQ(Canvas(id).At(299, 129), LAMP_ON);
    SetMeterValue(id, 0.0f);
    EXPECT_EQ(Canvas(id).At(299, 129), LAMP_OFF);
}

TEST_F(MeterTest, PeakLampFaceHasItsLabel) {
    intptr_t lamp = Make("", 6);
    intptr_t plain = Make("", 4);
    Picture a = Face(lamp), b = Face(plain);
    // "PEAK" at (336 - 24 - 27, rint(223 - 78.05)) = (285, 145), in the accent colour.
    int left = 1000, top = 1000;
    bool solid = false;
    for (int y = 140; y < 165; ++y)
        for (int x = 270; x < 336; ++x)
            if (a.At(x, y) != b.At(x, y)) {
                left = std::min(left, x);
                top = std::min(top, y);
                // The small font's stems are barely a pixel wide: nearly the accent colour.
                solid |= NearColour(a.At(x, y), ACCENT, 40);
            }
    EXPECT_GE(left, 285);
    EXPECT_LE(left, 288);
    EXPECT_GE(top, 145);
    EXPECT_TRUE(solid);
}

TEST_F(MeterTest, WedgeNeedleIsFilledInside) {
    intptr_t id = Make("", 0);
    SetMeterValue(id, 50.0f);
    Picture p = Canvas(id);
    // Sides from (164, 213) and (172, 213) to (166, 25) and (170, 25).
    EXPECT_EQ(p.At(168, 150), NEEDLE_FILL);
    EXPECT_EQ(p.At(168, 40), NEEDLE_FILL);
    EXPECT_EQ(p.At(165, 150), NEEDLE);
    EXPECT_EQ(p.At(171, 150), NEEDLE);
    Picture face = Face(id);
    EXPECT_EQ(p.At(160, 150), face.At(160, 150));
    EXPECT_EQ(p.At(50, 50), face.At(50, 50));        // the fill stayed inside
    EXPECT_EQ(p.At(300, 150), face.At(300, 150));
}

TEST_F(MeterTest, WedgeFillStaysInsideAtEveryAngle) {
    intptr_t id = Make("", 0);
    Picture face = Face(id);
    for (float v = 0.0f; v <= 100.0f; v += 2.5f) {
        SetMeterValue(id, v);
        Picture p = Canvas(id);
        int filled = 0;
        for (Colour c : p.pixels) filled += c == NEEDLE_FILL;
        // The wedge is at most 8 wide and 200 long.
        ASSERT_LT(filled, 1700) << v;
        ASSERT_GT(filled, 300) << v;
        ASSERT_EQ(p.At(5, 5), face.At(5, 5)) << v;
    }
}

TEST_F(MeterTest, OutlineNeedleIsHollow) {
    intptr_t id = Make("", 8);
    SetMeterValue(id, 50.0f);
    Picture p = Canvas(id);
    Picture face = Face(id);
    EXPECT_EQ(p.At(168, 150), face.At(168, 150));
    // The left side runs from (164, 213) to (166, 25), one pixel wide.
    int touched = 0;
    for (int x = 162; x <= 167; ++x) touched += p.At(x, 150) != face.At(x, 150);
    EXPECT_GE(touched, 1);
    EXPECT_LE(touched, 3);

    intptr_t both = Make("", 12);
    SetMeterValue(both, 50.0f);
    Picture q = Canvas(both);
    EXPECT_EQ(q.At(168, 150), NEEDLE_FILL);
}

TEST_F(MeterTest, NarrowMeterDrawsWithinItsCanvas) {
    intptr_t id = Make("AB", 15, 100);
    SetMeterValue(id, 100.0f);
    Picture p = Canvas(id);
    EXPECT_EQ(p.width, 146);
    EXPECT_EQ(p.height, 96);
    // Tip at 45 degrees, radius 75 from (73, 96).
    EXPECT_EQ(p.At(126, 43), NEEDLE);
    EXPECT_EQ(p.At(Record(id).lamp_x, Record(id).lamp_y), LAMP_ON);
}

}  // namespace
