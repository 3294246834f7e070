// Per-tick display: scope boxes with grid and trace, the two LED level bars, and the values
// fed to the needle meters and the history graph, all drawn straight onto the main window.
#include "display/display.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "app/history_graph.h"
#include "capture/capture.h"

namespace {

constexpr Colour SCOPE_BACKGROUND = MakeColour(0, 0, 0);
constexpr Colour SCOPE_GRID = MakeColour(0, 72, 0);
constexpr Colour SCOPE_TRACE = MakeColour(10, 221, 10);
constexpr Colour BAR_LABEL_COLOUR = MakeColour(0, 152, 0);
constexpr double LEVEL_FULL_SCALE = 32767.0;
constexpr int SEGMENT_WIDTH = 12;
constexpr int SEGMENT_HEIGHT = 36;
constexpr int LOWER_BAR_OFFSET = 39;           // lower bar top = bar_y + 39
constexpr int UPPER_LABEL_OFFSET = -14;        // labels above the upper bar
constexpr int LOWER_LABEL_OFFSET = 79;         // labels below the lower bar
constexpr float OVER_THRESHOLD = 279.0f;       // segment 30 lights red strictly above this

// Level each segment needs; entry 30 is the upper bound used for segment 29's test.
constexpr int SEGMENT_THRESHOLDS[LEVEL_SEGMENTS + 1] = {
    0,   1,   3,   10,  12,  14,  16,  18,  20,  22,  25,  28,  32,  36,  40, 45,
    51,  57,  64,  72,  81,  90,  102, 114, 128, 144, 162, 181, 203, 228, 279};

const char* const SEGMENT_LABELS[LEVEL_SEGMENTS + 1] = {
    "",    "-29", "-28", "-27", "-26", "-25", "-24", "-23", "-22", "-21", "-20",
    "-19", "-18", "-17", "-16", "-15", "-14", "-13", "-12", "-11", "-10",
    "-9",  "-8",  "-7",  "-6",  "-5",  "-4",  "-3",  "-2",  "-1",  "0"};

// A WM_TIMER dispatched by the tick's own event pumping must not start a second tick while
// the drawing pass of the first one is still open.
bool tick_running = false;

// The scope grid at its fixed places: extent lines (x, y, w, h), three horizontal ones, then
// (after a pump) three vertical ones. The left box's verticals start one pixel above the box.
struct GridLine {
    int x, y, w, h;
};
constexpr GridLine SCOPE_GRID_LINES[2][6] = {
    {{38, 112, 340, 1}, {38, 162, 340, 1}, {38, 212, 340, 1},
     {110, 49, 1, 226}, {210, 49, 1, 226}, {310, 49, 1, 226}},
    {{38, 367, 340, 1}, {38, 417, 340, 1}, {38, 467, 340, 1},
     {110, 305, 1, 226}, {210, 305, 1, 226}, {310, 305, 1, 226}},
};

// Each box's empty picture, made once: black with the part of its grid that lies inside it.
// Erasing a box by copying it (rather than filling the box and drawing the grid over it)
// leaves the same pixels, but a copy repeated over its own result only has to bring back
// what was drawn over it since, the last trace; the grid drawn over it then changes nothing.
struct ScopeBackground {
    ImageRef image = nullptr;
    int width = 0, height = 0;
};
ScopeBackground scope_backgrounds[2];
// The box was erased with its picture this tick: the grid inside it is there already.
bool scope_from_background[2] = {false, false};

void PrepareScopeBackground(const ScopeChannel& box) {
    ScopeBackground& b = scope_backgrounds[box.channel_index];
    if (b.image && b.width == box.width && b.height == box.height) return;
    if (b.image) ReleaseImage(b.image);
    b = ScopeBackground{};
    ImageRef image = box.width > 0 && box.height > 0 ? CreateImage(box.width, box.height, 32) : nullptr;
    if (!image) return;
    if (!BeginDrawingImage(image)) {
        ReleaseImage(image);
        return;
    }
    FillBox(0, 0, box.width, box.height, SCOPE_BACKGROUND);
    SetFrontColour(SCOPE_GRID);
    for (const GridLine& line : SCOPE_GRID_LINES[box.channel_index])
        DrawExtentLine(line.x - box.x, line.y - box.y, line.w, line.h);
    EndDrawing();
    b = ScopeBackground{image, box.width, box.height};
}

// The box cleared to black; when its grid is to be drawn next, with the grid already in it.
void EraseScopeBox(const ScopeChannel& box) {
    const bool gridded = program.capture_format.wBitsPerSample == 16 && program.capture_format.nChannels == 2 &&
                         (box.channel_index == 0 || box.channel_index == 1);
    const ScopeBackground* b = gridded ? &scope_backgrounds[box.channel_index] : nullptr;
    if (b && b->image && b->width == box.width && b->height == box.height) {
        DrawImagePlain(b->image, box.x, box.y);
        scope_from_background[box.channel_index] = true;
        return;
    }
    if (gridded) scope_from_background[box.channel_index] = false;
    FillBox(box.x, box.y, box.width, box.height, SCOPE_BACKGROUND);
}

// A grid line; after an erase with the box's picture only its pixels outside the box (the
// left box's verticals start a row above it) are still to be drawn.
void DrawGridLine(const GridLine& line, const ScopeChannel& box) {
    if (!scope_from_background[box.channel_index]) {
        DrawExtentLine(line.x, line.y, line.w, line.h);
        return;
    }
    const int x1 = line.x, y1 = line.y, x2 = line.x + line.w - 1, y2 = line.y + line.h - 1;
    const int left = box.x, top = box.y, right = box.x + box.width - 1, bottom = box.y + box.height - 1;
    // In the current colour, as the whole line would be: pieces of it as extent lines.
    auto piece = [](int ax, int ay, int bx, int by) { DrawExtentLine(ax, ay, bx - ax + 1, by - ay + 1); };
    if (x1 == x2 && y1 <= y2 && x1 >= left && x1 <= right) {
        if (y1 < top) piece(x1, y1, x1, std::min(y2, top - 1));
        if (y2 > bottom) piece(x1, std::max(y1, bottom + 1), x1, y2);
    } else if (y1 == y2 && x1 <= x2 && y1 >= top && y1 <= bottom) {
        if (x1 < left) piece(x1, y1, std::min(x2, left - 1), y1);
        if (x2 > right) piece(std::max(x1, right + 1), y1, x2, y1);
    } else {
        DrawExtentLine(line.x, line.y, line.w, line.h);
    }
}

int16_t ReadSample(const char* at) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(at);
    return (int16_t)(uint16_t)(b[0] | (b[1] << 8));
}

// Largest magnitude of the samples at offsets first, first + step, ... while o <= last.
// -32768 counts as 32768.
int32_t PeakMagnitude(const char* block, int32_t first, int32_t last, int32_t step) {
    int32_t peak = 0;
    for (int32_t o = first; o <= last; o += step) {
        int32_t s = ReadSample(block + o);
        int32_t magnitude = s < 0 ? -s : s;
        if (magnitude > peak) peak = magnitude;
    }
    return peak;
}

// Bytes of the analysis block the level scan may read.
int32_t ScanBytes() {
    int32_t bytes = program.buffer_bytes;
    if (bytes > ANALYSIS_BLOCK_BYTES) bytes = ANALYSIS_BLOCK_BYTES;
    return bytes;
}

void DrawBarLabels(int top) {
    for (int i = 1; i <= LEVEL_SEGMENTS && i < (int)program.segment_x.size(); ++i) {
        SetDrawingMode(DRAWMODE_TRANSPARENT);
        DrawTextInFront((int)program.segment_x[i] + 2, top, SEGMENT_LABELS[i]);
        SetDrawingMode(DRAWMODE_DEFAULT);
    }
}

// The segments LightBar(level) lights over an unlit bar, and in which colour: entry i is
// segment i's final colour, as the calls below would leave it (later calls win).
void BarColours(float level, Colour colours[LEVEL_SEGMENTS + 1]) {
    for (int i = 0; i <= LEVEL_SEGMENTS; ++i) colours[i] = program.bar_colour_off;
    auto light = [&](int count, Colour colour) {
        for (int i = 1; i <= count; ++i) colours[i] = colour;
    };
    if (level > OVER_THRESHOLD) {
        light(LEVEL_SEGMENTS, program.bar_colour_over);
        light(LEVEL_SEGMENTS - 1, program.bar_colour_on);
    }
    for (int k = LEVEL_SEGMENTS - 1; k >= 1; --k) {
        if ((float)SEGMENT_THRESHOLDS[k] <= level && level <= (float)SEGMENT_THRESHOLDS[k + 1])
            light(k, program.bar_colour_on);
    }
}

// Draws the bar at `top` showing `level`: each segment once, in the colour that clearing the
// bar and lighting it would leave (a segment unchanged since the last tick then costs a look
// and is not shown again). The labels lie outside the segments, so the order is free.
void DrawBar(float level, int top) {
    Colour colours[LEVEL_SEGMENTS + 1];
    BarColours(level, colours);
    const int last = (int)program.segment_x.size() - 1;
    for (int i = 1; i <= LEVEL_SEGMENTS && i <= last; ++i)
        FillBox((int)program.segment_x[i], top, SEGMENT_WIDTH, SEGMENT_HEIGHT, colours[i]);
}

}  // namespace

// Value for the history graph from the two bar levels. A silent channel makes the product 0
// and log10 -infinity; that, and anything absurdly low, goes out as HISTORY_VALUE_FLOOR,
// which the graph draws far below its bottom row.
intptr_t HistoryValueFromLevels(float left, float right) {
    double value = std::nearbyint(std::log10((double)(left * right)) * 20 * 0.97);
    if (!(value >= HISTORY_VALUE_FLOOR)) return HISTORY_VALUE_FLOOR;   // also NaN
    if (value > INT32_MAX) return INT32_MAX;
    return (intptr_t)value;
}

// Needle meter value: 42.2 dB-units of 0.7 x level; -infinity for a silent channel, which
// the meter reads as 0.
float MeterValueFromLevel(float level) { return (float)(std::log10(level * 0.7) * 20 * 2.11); }

// Level 0 .. width from a peak magnitude: width x peak / 32767.
float LevelFromPeak(int32_t width, int32_t peak) { return (float)(width * (peak / LEVEL_FULL_SCALE)); }

void RefreshDisplays() {
    if (tick_running) return;
    tick_running = true;
    // A stalled or lost input reads as silence from here on (and is reopened now and then).
    CheckCaptureInput();
    if (program.last_data) {
        // Made before the pass opens: drawing the picture is a pass of its own.
        PrepareScopeBackground(program.scope_left);
        PrepareScopeBackground(program.scope_right);
        BeginDrawingWindow(program.main_window_handle);
        const ScopeChannel& left = program.scope_left;
        EraseScopeBox(left);
        DrawScopeChannel(left);
        if (program.capture_format.nChannels == 2) {
            const ScopeChannel& right = program.scope_right;
            EraseScopeBox(right);
            DrawScopeChannel(right);
        }
    }
    UpdateLevelDisplays();
    tick_running = false;
}

void DrawScopeChannel(const ScopeChannel& box) {
    if (program.capture_format.wBitsPerSample != 16) return;
    if (program.capture_format.nChannels == 1) {
        DrawMonoTrace(box);
        return;
    }
    if (program.capture_format.nChannels == 2) {
        DrawStereoTrace(box);
        PumpPendingEvents();
    }
}

void DrawMonoTrace(const ScopeChannel& box) {
    // Capture always runs in stereo, so a mono trace is never shown.
    (void)box;
}

void DrawStereoTrace(const ScopeChannel& box) {
    const int32_t clip = (int32_t)std::nearbyint(program.scope_right.height / 1.4);

    // The grid sits at fixed places of the standard layout. The left box's verticals start
    // one pixel above the box. The right box draws in the colour the left box set, as both
    // are drawn in one pass with the left one first.
    if (box.channel_index != 0 && box.channel_index != 1) return;
    const GridLine* grid = SCOPE_GRID_LINES[box.channel_index];
    if (box.channel_index == 0) SetFrontColour(SCOPE_GRID);
    for (int i = 0; i < 3; ++i) DrawGridLine(grid[i], box);
    PumpPendingEvents();
    for (int i = 3; i < 6; ++i) DrawGridLine(grid[i], box);

    // The pumping above may have taken a newer delivery; read the block as it is now.
    const char* base = program.analysis_block;
    if (!base) return;
    int64_t n = program.last_bytes_recorded;
    if (n > ANALYSIS_BLOCK_BYTES) n = ANALYSIS_BLOCK_BYTES;
    // The trace is a line from each point to the next, from (x, centre) on: drawn in one go.
    static PointI points[ANALYSIS_BLOCK_BYTES / 4 + 1];
    int count = 0;
    points[count++] = PointI{box.x, box.centre_y};
    for (int64_t o = box.channel_index == 0 ? 0 : 2; o <= n - 2; o += 4) {
        int64_t s = ReadSample(base + o);
        int32_t px = ClampInt((int32_t)(box.x + (o * box.width) / (n + 1)), box.x, box.width + 33);
        int32_t dy = (int32_t)((s * box.height) / 65535);
        if (dy >= clip) dy = clip;
        if (dy <= -clip) dy = -clip;
        points[count++] = PointI{px, box.centre_y + dy};
    }
    DrawLinesBetween(points, count, SCOPE_TRACE);
}

int32_t ClampInt(int32_t value, int32_t low, int32_t high) {
    if (value < low) return low;
    if (value > high) return high;
    return value;
}

void UpdateLevelDisplays() {
    const bool delivered = program.last_data != nullptr;
    if (delivered) {
        const int upper = (int)program.bar_y;
        const int lower = upper + LOWER_BAR_OFFSET;
        UseFont(program.small_label_font);
        SetFrontColour(BAR_LABEL_COLOUR);

        const char* block = program.analysis_block;
        const int32_t bytes = block ? ScanBytes() : 0;
        const int32_t step = program.capture_format.nChannels == 1 ? 2 : 4;
        float level =
            LevelFromPeak(program.scope_left.width, block ? PeakMagnitude(block, 0, bytes - step, step) : 0);
        program.level_left = level;
        const float upper_level = level;
        program.history_left = level;
        if (program.capture_format.nChannels == 2) {
            level = LevelFromPeak(program.scope_right.width, block ? PeakMagnitude(block, 2, bytes - 2, step) : 0);
            program.level_right = level;
        }
        const float lower_level = level;
        program.history_right = level;

        DrawBar(upper_level, upper);
        DrawBarLabels(upper + UPPER_LABEL_OFFSET);
        DrawBar(lower_level, lower);
        DrawBarLabels(upper + LOWER_LABEL_OFFSET);
        EndDrawing();
    }

    program.history_value = HistoryValueFromLevels(program.history_left, program.history_right);
    if (program.history_graph)
        SendWindowMessage(program.history_graph, HISTORY_ADD_MSG, 0, program.history_value);

    SetMeterValue(program.meter_left, MeterValueFromLevel(program.level_left));
    PumpPendingEvents();
    SetMeterValue(program.meter_right, MeterValueFromLevel(program.level_right));
    PumpPendingEvents();
}

void LightSegments(int count, int top, Colour colour) {
    const int last = (int)program.segment_x.size() - 1;
    if (count > last) count = last;
    for (int i = 1; i <= count; ++i)
        FillBox((int)program.segment_x[i], top, SEGMENT_WIDTH, SEGMENT_HEIGHT, colour);
}

void PumpPendingEvents() {
    while (PumpOneMessage()) {
    }
}
