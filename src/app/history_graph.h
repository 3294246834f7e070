// Level-history strip chart: an image control whose procedure redraws the whole chart for
// each value it is sent, newest value at the right edge.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t HISTORY_ADD_MSG = WM_USER + 1500;   // 2524: lParam = value, 0 .. 100 scale
constexpr int HISTORY_CAPACITY = 1024;                 // value slots; the widest graph
constexpr Colour HISTORY_BACKGROUND = MakeColour(0, 34, 0);
constexpr Colour HISTORY_TRACE = MakeColour(0, 186, 0);

struct HistoryGraphData {
    ImageRef image;                     // 24-bit picture the control shows, width x height
    int32_t width;                      // w: image width and number of values shown
    int32_t height;                     // h: image height
    int32_t values[HISTORY_CAPACITY];   // slot i is drawn at x = i; newest in slot w - 1
    int32_t drawn[HISTORY_CAPACITY];    // the values the image shows (when drawn_valid)
    int32_t drawn_valid;                // 1 once the image holds the chart of `drawn`
};

// Creates a graph of w x h inside a sunken edge at (x, y) on the main window; id -1 for a
// new identifier. Null when it cannot be made (including w > HISTORY_CAPACITY).
WindowRef CreateHistoryGraph(int id, int x, int y, int w, int h);
// Replacement window procedure of the graph's control.
intptr_t PLATFORM_CALLBACK HistoryGraphProc(WindowRef window, uint32_t message, uintptr_t wparam,
                                            intptr_t lparam);
// Row at which value v is drawn in a graph of height h: h - trunc(float(v / 100) * h).
int64_t HistoryRow(int32_t value, int32_t height);
// Releases the graph's image and data block (the control goes with the main window).
void DestroyHistoryGraph(WindowRef graph);
