// The global state record: every variable the program's parts share, zeroed at start-up
// and then filled in by the main routine. GUI thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "meter/meter.h"
#include "platform/platform.h"

// Geometry of one scope box (client pixels).
struct ScopeChannel {
    int8_t channel_index;   // 0 left (upper box), 1 right (lower box)
    int32_t x;              // left edge of the box
    int32_t y;              // top edge
    int32_t width;          // box width; also the scale of the level value
    int32_t height;         // box height
    int32_t centre_y;       // zero line of the trace: y + height / 2
};

constexpr int LEVEL_SEGMENTS = 30;            // segments per LED bar
constexpr int WAVE_HEADER_CAPACITY = 17;      // entries in the header table (8 used)
constexpr int ANALYSIS_BLOCK_BYTES = 32768;   // size of the analysis block

struct ProgramState {
    // Shell.
    WindowRef main_window_handle;     // the one top-level window; capture and timer target
    int32_t quit_requested;           // non-zero ends the event loop (Escape)
    WindowRef toolbar_handle;         // parent of the four selectors
    WindowRef history_graph;          // level-history graph control
    ScopeChannel scope_left;          // upper scope box, left channel
    ScopeChannel scope_right;         // lower scope box, right channel
    FontRef small_label_font;         // "Arial" 7 pt: level-bar labels

    // Meters: palette and fonts every new meter copies, and the two meters.
    Colour palette_face_top;          // (0, 95, 0)
    Colour palette_green_2;           // (0, 79, 0)
    Colour palette_green_3;           // (0, 63, 0)
    Colour palette_face_bottom;       // (0, 47, 0)
    FontRef font_large;               // "Arial" 10 pt bold
    Colour palette_accent;            // (10, 221, 10)
    FontRef font_small;               // "Arial" 8 pt
    Colour palette_scale;             // (240, 255, 240)
    Colour palette_needle;            // (10, 221, 10)
    Colour palette_black;             // (0, 0, 0)
    std::vector<MeterRecord> meters;  // one record per meter; index 0 is never used
    std::map<std::string, intptr_t> meter_index_by_control;  // control number text -> index
    intptr_t meter_style;             // 5: dB scale, smooth needle, no PEAK lamp
    intptr_t meter_left;              // control number of the left meter
    intptr_t meter_right;             // control number of the right meter

    // Level display.
    Colour bar_colour_off;            // unlit segment (16, 48, 16)
    Colour bar_colour_on;             // lit segment (0, 208, 0)
    Colour bar_colour_over;           // segment 30 above 279 (255, 0, 0)
    std::vector<intptr_t> segment_x;  // 31 entries: left edge of segment i = 19 + 14 * i; [0] = 0
    intptr_t bar_y;                   // top of the upper bar (578); the lower bar is 39 below
    float level_left;                 // left level (0 .. 340) that feeds the left meter
    float level_right;                // right level that feeds the right meter
    float history_left;               // level on the upper bar, for the history value
    float history_right;              // level on the lower bar, for the history value
    intptr_t history_value;           // last value sent to the history graph (0 .. 100 scale)

    // Capture.
    WaveInHandle wave_in;             // open capture device; null when none
    WaveFormat capture_format;        // 44 100 Hz, 16 bits, 2 channels PCM
    int32_t buffer_bytes;             // 512 bytes per capture buffer
    int32_t buffer_count;             // 8 buffers per capture run
    int32_t device_index;             // device-list entry when capture last started; -1 none
    int32_t tick_ms;                  // 32 ms display tick
    std::vector<WaveHeader> wave_headers;  // WAVE_HEADER_CAPACITY headers, entries 0 .. 7 used
    char* last_data;                  // data of the newest delivered buffer; null until then
    int32_t last_bytes_recorded;      // byte count of that delivery
    char* analysis_block;             // ANALYSIS_BLOCK_BYTES: copy of the newest delivery
    uint64_t last_delivery_us;        // MonotonicMicros of the newest delivery that carried bytes
    uint64_t capture_opened_us;       // MonotonicMicros of the latest open attempt
    int32_t input_lost;               // non-zero: deliveries stopped; the tick shows silence, reopens
    uint64_t next_reopen_us;          // earliest MonotonicMicros of the next silent reopen while lost
    int32_t open_busy;                // non-zero: the last open was still busy when the backend
                                      // stopped waiting; the tick tries again (also before any sound)
    int32_t restart_pending;          // a restart was asked for and its message is still queued
    int32_t tick_timer_running;       // the tick timer is set on the main window
    std::string chosen_device_name;   // device-list entry the user last chose; chosen again
                                      // when a rebuild finds it back; empty: the mapper
    int32_t chosen_device_twin;       // among devices of that name, which one (0 the first)
};

extern ProgramState program;
