// Scope boxes: grid at its fixed coordinates, sample-to-point mapping, spreading of short
// blocks and the paths that draw nothing, drawn onto an off-screen image and read back.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/state.h"
#include "display/display.h"

namespace {

constexpr Colour BLACK = MakeColour(0, 0, 0);
constexpr Colour GRID = MakeColour(0, 72, 0);
constexpr Colour TRACE = MakeColour(10, 221, 10);
constexpr Colour CANVAS = MakeColour(90, 10, 200);

std::vector<char> block(ANALYSIS_BLOCK_BYTES);

void PutSample(int offset, int16_t value) {
    block[offset] = (char)(value & 0xFF);
    block[offset + 1] = (char)((uint16_t)value >> 8);
}

void FillChannels(int16_t left, int16_t right, int bytes = 512) {
    std::fill(block.begin(), block.end(), 0);
    for (int o = 0; o + 3 < bytes; o += 4) {
        PutSample(o, left);
        PutSample(o + 2, right);
    }
}

class Scope : public ::testing::Test {
protected:
    void SetUp() override {
        program = ProgramState{};
        program.capture_format.nChannels = 2;
        program.capture_format.wBitsPerSample = 16;
        program.buffer_bytes = 512;
        program.scope_left = {0, 38, 50, 340, 225, 162};
        program.scope_right = {1, 38, 305, 340, 225, 417};
        program.analysis_block = block.data();
        program.last_data = block.data();
        program.last_bytes_recorded = 512;
        image = CreateImage(800, 720, 32);
        ASSERT_NE(image, nullptr);
        ASSERT_TRUE(BeginDrawingImage(image));
        FillBox(0, 0, 800, 720, CANVAS);
    }
    void TearDown() override {
        if (IsDrawing()) EndDrawing();
        ReleaseImage(image);
        program = ProgramState{};
    }

    // Both boxes as the tick draws them: erase, then grid and trace, left box first.
    void DrawBoth() {
        FillBox(38, 50, 340, 225, BLACK);
        DrawScopeChannel(program.scope_left);
        FillBox(38, 305, 340, 225, BLACK);
        DrawScopeChannel(program.scope_right);
    }

    static Colour At(int x, int y) { return ReadPixel(x, y) & 0xFFFFFF; }

    // Pixels of `colour` in the rectangle.
    static int Count(Colour colour, int x0, int y0, int w, int h) {
        int n = 0;
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                if (At(x, y) == colour) ++n;
        return n;
    }

    // Rightmost column holding `colour` on row y, or -1.
    static int RightmostOnRow(Colour colour, int y) {
        for (int x = 799; x >= 0; --x)
            if (At(x, y) == colour) return x;
        return -1;
    }

    ImageRef image = nullptr;
};

TEST_F(Scope, GridAtItsFixedCoordinates) {
    FillChannels(30000, 30000);   // keeps the trace off the grid lines it would hide
    DrawBoth();
    // Horizontal lines of each box: 340 pixels from x = 38.
    for (int y : {112, 212, 367, 467}) {
        EXPECT_EQ(At(39, y), GRID) << y;   // x = 38 carries the trace's first segment
        EXPECT_EQ(At(377, y), GRID) << y;
        EXPECT_EQ(At(378, y), CANVAS) << y;
        EXPECT_EQ(At(37, y), CANVAS) << y;
    }
    // Verticals: the left box's start one pixel above the box, the right box's at its top;
    // both 226 long.
    for (int x : {110, 210, 310}) {
        EXPECT_EQ(At(x, 48), CANVAS) << x;
        EXPECT_EQ(At(x, 49), GRID) << x;
        EXPECT_EQ(At(x, 274), GRID) << x;
        EXPECT_EQ(At(x, 275), CANVAS) << x;
        EXPECT_EQ(At(x, 304), CANVAS) << x;
        EXPECT_EQ(At(x, 305), GRID) << x;
        EXPECT_EQ(At(x, 530), GRID) << x;
        EXPECT_EQ(At(x, 531), CANVAS) << x;
    }
    // Without a trace: three plus three lines per box and nothing else in grid colour
    // (each box has 9 crossings).
    FillBox(0, 0, 800, 720, CANVAS);
    program.last_bytes_recorded = 0;
    DrawBoth();
    EXPECT_EQ(Count(GRID, 0, 0, 800, 720), 6 * 340 + 6 * 226 - 2 * 9);
    EXPECT_EQ(Count(TRACE, 0, 0, 800, 720), 0);
    // Box interiors away from lines and trace are black.
    EXPECT_EQ(At(60, 80), BLACK);
    EXPECT_EQ(At(60, 330), BLACK);
}

TEST_F(Scope, SilenceIsFlatOnTheCentreLines) {
    FillChannels(0, 0);
    DrawBoth();
    for (int x = 38; x <= 373; ++x) {
        ASSERT_EQ(At(x, 162), TRACE) << x;
        ASSERT_EQ(At(x, 417), TRACE) << x;
    }
    // Past the last point the centre grid line shows again.
    EXPECT_EQ(At(374, 162), GRID);
    EXPECT_EQ(At(374, 417), GRID);
    // 336 trace pixels per box and no more.
    EXPECT_EQ(Count(TRACE, 0, 0, 800, 720), 2 * 336);
}

TEST_F(Scope, ExtremeSamplesLand112PixelsFromTheZeroLine) {
    // Positive samples go below the line, negative above; the first segment starts at
    // (x, centre_y) of each box.
    FillChannels(32767, -32768);
    DrawBoth();
    EXPECT_EQ(At(38, 162), TRACE);
    EXPECT_EQ(At(38, 274), TRACE);
    EXPECT_EQ(At(200, 274), TRACE);
    EXPECT_EQ(At(373, 274), TRACE);
    EXPECT_EQ(At(374, 274), BLACK);
    EXPECT_EQ(At(200, 273), BLACK);
    EXPECT_EQ(At(38, 417), TRACE);
    EXPECT_EQ(At(200, 305), TRACE);
    EXPECT_EQ(At(200, 306), BLACK);
    EXPECT_EQ(RightmostOnRow(TRACE, 305), 373);

    FillBox(0, 0, 800, 720, CANVAS);
    FillChannels(-32768, 32767);
    DrawBoth();
    EXPECT_EQ(At(200, 162 - 112), TRACE);
    EXPECT_EQ(At(200, 162 - 111), BLACK);
    EXPECT_EQ(At(200, 417 + 112), TRACE);
}

TEST_F(Scope, PointsFollowTheSamplesInOrder) {
    // Left samples step through a ramp: point k (offset 4k) sits at x = 38 + 4k * 340 / 513.
    FillChannels(0, 0);
    for (int k = 0; k < 128; ++k) PutSample(4 * k, (int16_t)(k * 200));
    DrawBoth();
    for (int k : {0, 1, 50, 127}) {
        const int x = k == 127 ? 373 : 38 + (4 * k * 340) / 513;
        const int y = 162 + (k * 200 * 225) / 65535;
        EXPECT_EQ(At(x, y), TRACE) << "point " << k;
    }
    // The right box shows the other channel: flat.
    EXPECT_EQ(At(200, 417), TRACE);
    EXPECT_EQ(Count(TRACE, 38, 305, 340, 225), 373 - 38 + 1);
}

TEST_F(Scope, ShortBlockSpreadsOverTheWholeWidth) {
    FillChannels(20000, 20000, 64);
    program.last_bytes_recorded = 64;
    DrawBoth();
    const int y = 162 + (20000 * 225) / 65535;
    // 16 left samples, the last at offset 60: x = 38 + 60 * 340 / 65 = 351.
    EXPECT_EQ(RightmostOnRow(TRACE, y), 351);
    EXPECT_EQ(At(38, y), TRACE);
    EXPECT_EQ(At(38 + (32 * 340) / 65, y), TRACE);
    // The right channel's last sample sits at offset 62.
    EXPECT_EQ(RightmostOnRow(TRACE, 417 + (20000 * 225) / 65535), 38 + (62 * 340) / 65);
}

TEST_F(Scope, FullBlockRightTraceIsClampedToTheSameEdge) {
    FillChannels(20000, 20000);
    DrawBoth();
    const int dy = (20000 * 225) / 65535;
    EXPECT_EQ(RightmostOnRow(TRACE, 162 + dy), 373);
    EXPECT_EQ(RightmostOnRow(TRACE, 417 + dy), 373);
    // The right trace's first point is at x = 39, reached from (38, 417).
    EXPECT_EQ(At(38, 417), TRACE);
    EXPECT_EQ(At(39, 417 + dy), TRACE);
}

TEST_F(Scope, BlockShorterThanOneSampleDrawsGridOnly) {
    FillChannels(20000, 20000);
    program.last_bytes_recorded = 1;
    DrawBoth();
    EXPECT_EQ(Count(TRACE, 0, 0, 800, 720), 0);
    EXPECT_EQ(At(200, 162), GRID);
    EXPECT_EQ(At(200, 417), GRID);
}

TEST_F(Scope, ClipUsesTheRightBoxHeightForBothChannels) {
    program.scope_right.height = 100;   // clip = round(100 / 1.4) = 71
    FillChannels(32767, -32768);
    DrawBoth();
    EXPECT_EQ(At(200, 162 + 71), TRACE);
    EXPECT_EQ(At(200, 162 + 112), BLACK);
    // The right box's own dy = -32768 * 100 / 65535 = -50, inside the clip.
    EXPECT_EQ(At(200, 417 - 50), TRACE);
}

TEST_F(Scope, OtherFormatsAndChannelsDrawNothing) {
    FillChannels(20000, 20000);
    program.capture_format.wBitsPerSample = 8;
    DrawBoth();
    EXPECT_EQ(Count(GRID, 0, 0, 800, 720) + Count(TRACE, 0, 0, 800, 720), 0);

    program.capture_format.wBitsPerSample = 16;
    program.capture_format.nChannels = 1;
    DrawBoth();
    EXPECT_EQ(Count(GRID, 0, 0, 800, 720) + Count(TRACE, 0, 0, 800, 720), 0);

    program.capture_format.nChannels = 4;
    DrawBoth();
    EXPECT_EQ(Count(GRID, 0, 0, 800, 720) + Count(TRACE, 0, 0, 800, 720), 0);

    program.capture_format.nChannels = 2;
    ScopeChannel odd = program.scope_left;
    odd.channel_index = 2;
    DrawStereoTrace(odd);
    EXPECT_EQ(Count(GRID, 0, 0, 800, 720) + Count(TRACE, 0, 0, 800, 720), 0);
}

TEST_F(Scope, RightBoxDrawsItsGridInTheCurrentColour) {
    FillChannels(30000, 30000);
    SetFrontColour(MakeColour(1, 2, 3));
    FillBox(38, 305, 340, 225, BLACK);
    DrawStereoTrace(program.scope_right);
    EXPECT_EQ(At(100, 367), MakeColour(1, 2, 3));
    EXPECT_EQ(At(110, 305), MakeColour(1, 2, 3));
}

TEST_F(Scope, MissingAnalysisBlockDrawsNoTrace) {
    program.analysis_block = nullptr;
    DrawBoth();
    EXPECT_EQ(Count(TRACE, 0, 0, 800, 720), 0);
    EXPECT_EQ(At(200, 162), GRID);
}

TEST_F(Scope, OversizedByteCountStaysInsideTheAnalysisBlock) {
    FillChannels(0, 0);
    program.last_bytes_recorded = ANALYSIS_BLOCK_BYTES * 4;
    DrawBoth();   // would read past the block without the bound (caught by the sanitizers)
    EXPECT_EQ(At(38, 162), TRACE);
}

}  // namespace
