// A steady level in the real program: the tick leaves out the drawing that would change no
// pixel (unchanged bars, labels, needles and history), so only the scopes are shown again;
// and whatever does change (a redrawn face, a new level) is still drawn.
#include <gtest/gtest.h>

#include <vector>

#include "app/history_graph.h"
#include "app/state.h"
#include "meter/meter.h"
#include "platform/portable/headless/headless.h"

namespace {

Colour At(int x, int y) { return HeadlessPixel(program.main_window_handle, x, y) & 0xFFFFFF; }

// Every delivery holds the same samples: the levels never move, the scope trace does not
// either, but the program cannot know that.
HeadlessDevice SteadyDevice() {
    HeadlessDevice device;
    device.name = "Steady";
    device.pcm = {20000, 12000, 9000, -5000, -20000, -12000, -9000, 5000};
    return device;
}

bool Inside(const RectI& inner, const RectI& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

class SteadyTick : public ::testing::Test {
protected:
    void SetUp() override { HeadlessReset(); }
    void TearDown() override { HeadlessReset(); }
};

// Pixels of `colour` inside a rectangle of the window.
int Count(Colour colour, int left, int top, int right, int bottom);

TEST_F(SteadyTick, OnlyTheScopesAreShownAgain) {
    HeadlessAddDevice(SteadyDevice());
    // Long enough for the history graph (284 values) to hold nothing but the steady value.
    HeadlessAt(10000, [] { HeadlessClearPresented(); });
    std::vector<HeadlessPresent> presented;
    int traced = 0;
    HeadlessAt(10500, [&] {
        presented = HeadlessPresented();
        traced = Count(MakeColour(10, 221, 10), 38, 50, 378, 530);
    });
    HeadlessCloseAt(10500);
    ASSERT_EQ(ApplicationMain(), 0);
    // The same block every tick draws the same traces: they are on the screen, and what is
    // shown again (nothing at all, when the scopes' pixels stay as they were) lies in them.
    EXPECT_GT(traced, 2 * 340) << "both traces are drawn";
    const RectI scopes{36, 47, 380, 533};   // both boxes with their frames
    for (const HeadlessPresent& p : presented)
        EXPECT_TRUE(Inside(p.rect, scopes)) << "presented " << p.rect.left << "," << p.rect.top << " - "
                                            << p.rect.right << "," << p.rect.bottom;
}

// Pixels of `colour` inside a rectangle of the window.
int Count(Colour colour, int left, int top, int right, int bottom) {
    int n = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) n += At(x, y) == colour;
    return n;
}

TEST_F(SteadyTick, ARedrawnFaceAndANewValueAreStillShown) {
    HeadlessAddDevice(SteadyDevice());
    const Colour NEW_NEEDLE = MakeColour(250, 20, 200);
    // The left meter's inside and the history graph's.
    const int meter[4] = {412, 51, 748, 274}, graph[4] = {462, 542, 746, 682};
    int old_needle = 0, new_needle_before = 0, new_needle_after = 0, old_needle_after = 0;
    int graph_before = 0, graph_after = 0;
    HeadlessAt(10000, [&] {
        old_needle = Count(program.palette_needle, meter[0], meter[1], meter[2], meter[3]);
        new_needle_before = Count(NEW_NEEDLE, meter[0], meter[1], meter[2], meter[3]);
        graph_before = Count(HISTORY_TRACE, graph[0], graph[1], graph[2], graph[3]);
        // A new needle colour takes effect with the next face.
        MeterRecord& m = program.meters[FindMeterIndex(program.meter_left)];
        m.needle_colour = NEW_NEEDLE;
        DrawMeterFace(FindMeterIndex(program.meter_left));
        // A value far from the steady one enters the history.
        SendWindowMessage(program.history_graph, HISTORY_ADD_MSG, 0, 5);
    });
    HeadlessAt(10001, [&] {
        graph_after = Count(HISTORY_TRACE, graph[0], graph[1], graph[2], graph[3]);
    });
    HeadlessAt(10100, [&] {
        new_needle_after = Count(NEW_NEEDLE, meter[0], meter[1], meter[2], meter[3]);
        old_needle_after = Count(program.palette_needle, meter[0], meter[1], meter[2], meter[3]);
    });
    HeadlessCloseAt(10100);
    ASSERT_EQ(ApplicationMain(), 0);
    EXPECT_GT(old_needle, 20);
    EXPECT_EQ(new_needle_before, 0);
    EXPECT_GT(new_needle_after, 20);
    // What is left in the old colour is the caption, drawn in the same green.
    EXPECT_LT(old_needle_after, old_needle - 20);
    // The jump down to 5 and the way back draw two tall segments at the right edge.
    EXPECT_GT(graph_after, graph_before + 50) << graph_before;
}

// Each segment is filled once a tick, in its final colour, next to its labels: that shows
// what clearing, labelling and lighting did only while no label ink reaches into a segment.
TEST_F(SteadyTick, SegmentsHoldOnlyTheirOwnColour) {
    HeadlessDevice device;
    device.name = "Loud";
    device.pcm = {32000, 20000, -32000, -20000};
    HeadlessAddDevice(device);
    const Colour ON = MakeColour(0, 208, 0), OFF = MakeColour(16, 48, 16), OVER = MakeColour(255, 0, 0);
    int stray = 0, over = 0, on = 0, off = 0;
    HeadlessAt(1000, [&] {
        for (int top : {578, 617})
            for (int i = 1; i <= 30; ++i)
                for (int y = top; y < top + 36; ++y)
                    for (int x = 19 + 14 * i; x < 19 + 14 * i + 12; ++x) {
                        Colour c = At(x, y);
                        if (c == ON) ++on;
                        else if (c == OFF) ++off;
                        else if (c == OVER) ++over;
                        else ++stray;
                    }
    });
    HeadlessCloseAt(1000);
    ASSERT_EQ(ApplicationMain(), 0);
    EXPECT_EQ(stray, 0);
    EXPECT_EQ(over, 12 * 36) << "the left channel is over, its last segment red";
    EXPECT_GT(on, 29 * 12 * 36);
    EXPECT_GT(off, 0) << "the right channel lights fewer segments";
}

}  // namespace
