// History graph: the row mapping, the chart after one and after many values, clipping of
// values outside 0 .. 100, and the refusal of a graph wider than its data block.
#include <gtest/gtest.h>

#include <climits>

#include "app/history_graph.h"
#include "app/state.h"
#include "platform/platform.h"

namespace {

intptr_t PLATFORM_CALLBACK PlainProc(WindowRef w, uint32_t m, uintptr_t wp, intptr_t lp) {
    return DefaultWindowProcedure(w, m, wp, lp);
}

class HistoryGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = ProgramState{};
        program.main_window_handle =
            CreateMainWindow("history", 50, 100, 800, 720, WS_CAPTION | WS_SYSMENU, PlainProc);
        ASSERT_NE(program.main_window_handle, nullptr);
    }
    void TearDown() override {
        DestroyHistoryGraph(graph);
        DestroyWindowTree(program.main_window_handle);
        program = ProgramState{};
    }
    // Reads one pixel of the graph's image as the control shows it.
    Colour Pixel(int x, int y) {
        HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
        EXPECT_TRUE(BeginDrawingImage(data->image));
        Colour c = ReadPixel(x, y);
        EndDrawing();
        return c;
    }
    // Rows lit with the trace colour in column x.
    std::vector<int> LitRows(int x) {
        std::vector<int> rows;
        HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
        EXPECT_TRUE(BeginDrawingImage(data->image));
        for (int y = 0; y < data->height; ++y)
            if (ReadPixel(x, y) == HISTORY_TRACE) rows.push_back(y);
        EndDrawing();
        return rows;
    }
    void Add(int32_t value) { SendWindowMessage(graph, HISTORY_ADD_MSG, 0, value); }

    WindowRef graph = nullptr;
};

}  // namespace

TEST(HistoryRowTest, MapsTheScaleOntoTheImageHeight) {
    EXPECT_EQ(HistoryRow(25, 142), 142 - 35);   // 0.25f * 142 = 35.5: truncated, not rounded
    EXPECT_EQ(HistoryRow(100, 140), 0);
    EXPECT_EQ(HistoryRow(50, 140), 70);
    EXPECT_EQ(HistoryRow(0, 140), 140);        // just below the last row
    EXPECT_EQ(HistoryRow(98, 140), 140 - 137); // 0.98f * 140 = 137.2
    EXPECT_EQ(HistoryRow(-1, 140), 141);       // trunc goes toward zero
    EXPECT_EQ(HistoryRow(INT32_MAX, 140), 140 - (int64_t)(21474836.0f * 140.0));
    EXPECT_GT(HistoryRow(INT32_MIN, 140), 2000000000LL);
}

TEST_F(HistoryGraphTest, StartsBlackAndSizesTheControlToImagePlusEdge) {
    graph = CreateHistoryGraph(-1, 460, 540, 284, 140);
    ASSERT_NE(graph, nullptr);
    RectI r;
    ASSERT_TRUE(GetControlRect(graph, &r));
    EXPECT_EQ(r.left, 460);
    EXPECT_EQ(r.top, 540);
    EXPECT_EQ(r.right - r.left, 288);
    EXPECT_EQ(r.bottom - r.top, 144);
    EXPECT_EQ(Pixel(0, 0), MakeColour(0, 0, 0));
    EXPECT_EQ(Pixel(283, 139), MakeColour(0, 0, 0));
    EXPECT_NE(GetWindowProperty(graph, "oldproc"), nullptr);
}

TEST_F(HistoryGraphTest, OneValueOfHundredRisesFromBelowTheImageAtTheRightEdge) {
    graph = CreateHistoryGraph(-1, 460, 540, 284, 140);
    ASSERT_NE(graph, nullptr);
    Add(100);
    EXPECT_EQ(Pixel(0, 0), HISTORY_BACKGROUND);
    EXPECT_EQ(Pixel(0, 139), HISTORY_BACKGROUND);   // the zeros lie below the last row
    for (int x = 0; x < 282; ++x) EXPECT_TRUE(LitRows(x).empty()) << "column " << x;
    // The line from (282, 140) to (283, 0): the visible part fills both columns' halves.
    std::vector<int> left = LitRows(282), right = LitRows(283);
    ASSERT_FALSE(right.empty());
    EXPECT_EQ(right.front(), 0);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back(), 139);
    EXPECT_EQ(left.size() + right.size(), 140u);
}

TEST_F(HistoryGraphTest, AfterWidthValuesEveryColumnShowsAReceivedValue) {
    graph = CreateHistoryGraph(-1, 0, 0, 50, 100);
    ASSERT_NE(graph, nullptr);
    for (int i = 0; i < 50; ++i) Add(50);
    for (int x = 0; x < 50; ++x) {
        std::vector<int> rows = LitRows(x);
        ASSERT_EQ(rows.size(), 1u) << "column " << x;
        EXPECT_EQ(rows[0], 50);
    }
    HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(data->values[i], 50);
}

TEST_F(HistoryGraphTest, ValuesOutsideTheScaleAreStoredAndClipped) {
    graph = CreateHistoryGraph(-1, 0, 0, 20, 40);
    ASSERT_NE(graph, nullptr);
    const int32_t values[] = {150, INT32_MAX, -30, INT32_MIN, 100, 0, 1000000000, 50};
    for (int32_t v : values) Add(v);
    HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(data->values[12 + i], values[i]);
    // Column 12 (150) to 13 (INT32_MAX): both above the top, so nothing is visible there
    // but the run into the image from the neighbours; the image stays intact everywhere.
    for (int x = 0; x < 20; ++x)
        for (int y : LitRows(x)) EXPECT_TRUE(y >= 0 && y < 40);
    // 100 at column 16 sits on the top row; the fall from INT32_MIN (far below) to 100
    // climbs column 16 all the way to row 0.
    std::vector<int> c16 = LitRows(16);
    ASSERT_FALSE(c16.empty());
    EXPECT_EQ(c16.front(), 0);
    // The last value 50 lands on row 20 in the last column.
    std::vector<int> last = LitRows(19);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), 20);
}

TEST_F(HistoryGraphTest, RefusesAGraphWiderThanItsDataBlock) {
    EXPECT_EQ(CreateHistoryGraph(-1, 0, 0, HISTORY_CAPACITY + 1, 10), nullptr);
    graph = CreateHistoryGraph(-1, 0, 0, HISTORY_CAPACITY, 10);
    EXPECT_NE(graph, nullptr);
}

TEST_F(HistoryGraphTest, OtherMessagesReachThePreviousProcedure) {
    graph = CreateHistoryGraph(-1, 460, 540, 284, 140);
    ASSERT_NE(graph, nullptr);
    // Setting the image again through the replaced procedure still sizes the control.
    HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
    SetControlImage(graph, data->image);
    RectI r;
    ASSERT_TRUE(GetControlRect(graph, &r));
    EXPECT_EQ(r.right - r.left, 288);
}
