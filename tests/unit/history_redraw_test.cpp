// The history graph draws only what changed (the old trace erased, the new one drawn, and
// only that part of its image shown again): after every value, its image and the window
// must hold exactly the chart drawn from scratch.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/history_graph.h"
#include "app/state.h"
#include "platform/platform.h"
#include "platform/portable/headless/headless.h"

namespace {

intptr_t PLATFORM_CALLBACK PlainProc(WindowRef w, uint32_t m, uintptr_t wp, intptr_t lp) {
    return DefaultWindowProcedure(w, m, wp, lp);
}

constexpr int X = 460, Y = 540, W = 284, H = 140;

class HistoryRedraw : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        program = ProgramState{};
        program.main_window_handle =
            CreateMainWindow("history", 50, 100, 800, 720, WS_CAPTION | WS_SYSMENU, PlainProc);
        ASSERT_NE(program.main_window_handle, nullptr);
        graph = CreateHistoryGraph(-1, X, Y, W, H);
        ASSERT_NE(graph, nullptr);
        reference = CreateImage(W, H, 24);
    }
    void TearDown() override {
        ReleaseImage(reference);
        DestroyHistoryGraph(graph);
        DestroyWindowTree(program.main_window_handle);
        program = ProgramState{};
        HeadlessReset();
    }
    HistoryGraphData* Data() { return reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph)); }

    // The chart of the graph's values, drawn whole on a clear image (values kept within the
    // range where each segment is one plain line).
    std::vector<Colour> Reference() {
        EXPECT_TRUE(BeginDrawingImage(reference));
        FillBox(0, 0, W, H, HISTORY_BACKGROUND);
        for (int j = 0; j <= W - 2; ++j)
            DrawLineBetween(j, (int)HistoryRow(Data()->values[j], H), j + 1, (int)HistoryRow(Data()->values[j + 1], H),
                            HISTORY_TRACE);
        std::vector<Colour> pixels;
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) pixels.push_back(ReadPixel(x, y));
        EndDrawing();
        return pixels;
    }
    void ExpectChart(int step) {
        std::vector<Colour> want = Reference();
        int wrong_image = 0, wrong_window = 0;
        ASSERT_TRUE(BeginDrawingImage(Data()->image));
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) wrong_image += ReadPixel(x, y) != want[(size_t)y * W + x];
        EndDrawing();
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                wrong_window += HeadlessPixel(program.main_window_handle, X + 2 + x, Y + 2 + y) != want[(size_t)y * W + x];
        EXPECT_EQ(wrong_image, 0) << "after value " << step;
        EXPECT_EQ(wrong_window, 0) << "after value " << step;
    }

    WindowRef graph = nullptr;
    ImageRef reference = nullptr;
};

TEST_F(HistoryRedraw, EveryValueLeavesTheChartAsDrawnFromScratch) {
    uint32_t seed = 12345;
    int32_t value = 50;
    for (int step = 0; step < 700; ++step) {
        seed = seed * 1664525u + 1013904223u;
        // Mostly a wandering level, now and then a jump far off the chart and back.
        if (seed % 29 == 0) value = (int32_t)(seed >> 8) % 400 - 150;
        else value += (int32_t)((seed >> 16) % 21) - 10;
        if (value < -150) value = -150;
        if (value > 250) value = 250;
        // Runs of one value: the chart stops moving and must stay as it is.
        int repeats = seed % 11 == 0 ? 300 : 1;
        for (int k = 0; k < repeats; ++k) SendWindowMessage(graph, HISTORY_ADD_MSG, 0, value);
        if (step % 37 == 0 || repeats > 1) ExpectChart(step);
    }
    ExpectChart(700);
}

// A steady chart shows nothing again; a new value shows only the rows its trace touches.
TEST_F(HistoryRedraw, OnlyTheChangedRowsAreShownAgain) {
    for (int k = 0; k < W + 5; ++k) SendWindowMessage(graph, HISTORY_ADD_MSG, 0, 50);
    HeadlessClearPresented();
    SendWindowMessage(graph, HISTORY_ADD_MSG, 0, 50);
    EXPECT_TRUE(HeadlessPresented().empty());
    SendWindowMessage(graph, HISTORY_ADD_MSG, 0, 60);   // rows 56 .. 70
    ASSERT_FALSE(HeadlessPresented().empty());
    for (const HeadlessPresent& p : HeadlessPresented()) {
        EXPECT_GE(p.rect.top, Y + 2 + 55);
        EXPECT_LE(p.rect.bottom, Y + 2 + 72);
    }
    ExpectChart(0);
}

}  // namespace
