// Level-history graph: creation of the image control, its replacement window procedure and
// the redraw of the whole chart for every appended value.
#include "app/history_graph.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/state.h"

namespace {

constexpr const char* OLD_PROCEDURE_PROPERTY = "oldproc";

// Draws the pixels of a line from (x, y1) to (x + 1, y2) that fall inside rows 0 .. h - 1.
// Rows far outside the image are never walked: a value of a billion costs what 100 costs.
void DrawHistorySegment(int x, int64_t y1, int64_t y2, int32_t h, Colour colour) {
    const int64_t near_low = -2 * (int64_t)h;
    const int64_t near_high = 3 * (int64_t)h;
    if (y1 >= near_low && y1 <= near_high && y2 >= near_low && y2 <= near_high) {
        DrawLineBetween(x, (int)y1, x + 1, (int)y2, colour);
        return;
    }
    // A line one column wide is two vertical runs that meet half way; clip each run.
    const int64_t middle = y1 + (y2 - y1) / 2;
    const int64_t step = y2 >= y1 ? 1 : -1;
    struct Run { int column; int64_t from, to; } runs[2] = {{x, y1, middle}, {x + 1, middle + step, y2}};
    for (const Run& run : runs) {
        int64_t top = run.from < run.to ? run.from : run.to;
        int64_t bottom = run.from < run.to ? run.to : run.from;
        if (bottom < 0 || top > h - 1) continue;
        if (top < 0) top = 0;
        if (bottom > h - 1) bottom = h - 1;
        DrawLineBetween(run.column, (int)top, run.column, (int)bottom, colour);
    }
}

void RedrawHistory(WindowRef window, HistoryGraphData* data) {
    const int32_t w = data->width;
    const int32_t h = data->height;
    if (BeginDrawingImage(data->image)) {
        // A steady level sends the same value again and again: the chart already shows
        // exactly these values, and drawing it again would change no pixel.
        const size_t bytes = (size_t)w * sizeof(int32_t);
        const bool same = data->drawn_valid && std::memcmp(data->drawn, data->values, bytes) == 0;
        if (!same && data->drawn_valid && w >= 3 &&
            std::memcmp(data->drawn + 1, data->values, bytes - sizeof(int32_t)) == 0) {
            // One value came in and the rest moved a column left: so does the picture. Each
            // column shows the segments from its value to its neighbours', so after the move
            // only the first column (which showed the segment now gone) and the last two (the
            // new segment) are wrong; they are drawn again.
            const int64_t first = HistoryRow(data->values[0], h), second = HistoryRow(data->values[1], h);
            const int64_t before_last = HistoryRow(data->values[w - 2], h);
            const int64_t last = HistoryRow(data->values[w - 1], h);
            ScrollDrawnArea(1, 0, w - 1, h, -1, 0);
            FillBox(0, 0, 1, h, HISTORY_BACKGROUND);
            FillBox(w - 1, 0, 1, h, HISTORY_BACKGROUND);
            DrawHistorySegment(0, first, second, h, HISTORY_TRACE);
            DrawHistorySegment(w - 2, before_last, last, h, HISTORY_TRACE);
            std::memcpy(data->drawn, data->values, bytes);
        } else if (!same) {
            if (data->drawn_valid) {
                // The image holds the background and the trace of `drawn`, nothing else: the
                // old trace drawn again in the background colour leaves the background alone,
                // as clearing it all would, but changes only the rows the trace passed.
                for (int32_t j = 0; j <= w - 2; ++j)
                    DrawHistorySegment(j, HistoryRow(data->drawn[j], h), HistoryRow(data->drawn[j + 1], h), h,
                                       HISTORY_BACKGROUND);
            } else {
                FillBox(0, 0, w, h, HISTORY_BACKGROUND);
            }
            for (int32_t j = 0; j <= w - 2; ++j) {
                DrawHistorySegment(j, HistoryRow(data->values[j], h), HistoryRow(data->values[j + 1], h), h,
                                   HISTORY_TRACE);
            }
            std::memcpy(data->drawn, data->values, bytes);
            data->drawn_valid = 1;
        }
        EndDrawing();
    }
    SetControlImage(window, data->image);
}

}  // namespace

int64_t HistoryRow(int32_t value, int32_t height) {
    const float q = (float)((double)value / 100.0);
    return (int64_t)height - (int64_t)std::trunc((double)q * (double)height);
}

WindowRef CreateHistoryGraph(int id, int x, int y, int w, int h) {
    // The data block holds HISTORY_CAPACITY values: a wider graph would run past it.
    if (w < 1 || h < 1 || w > HISTORY_CAPACITY) return nullptr;
    ImageRef image = CreateImage(w, h, 24);
    if (!image) return nullptr;
    WindowRef control = CreateImageControl(program.main_window_handle, id, x, y, w, h);
    if (!control) {
        ReleaseImage(image);
        return nullptr;
    }
    SetControlImage(control, image);

    HistoryGraphData* data = static_cast<HistoryGraphData*>(std::calloc(1, sizeof(HistoryGraphData)));
    if (!data) {
        ReleaseImage(image);
        return control;   // the control stays a plain black image
    }
    data->image = image;
    data->width = w;
    data->height = h;
    SetWindowUserData(control, reinterpret_cast<intptr_t>(data));
    WindowProcedure previous = ReplaceWindowProcedure(control, HistoryGraphProc);
    SetWindowProperty(control, OLD_PROCEDURE_PROPERTY, reinterpret_cast<void*>(previous));
    return control;
}

intptr_t PLATFORM_CALLBACK HistoryGraphProc(WindowRef window, uint32_t message, uintptr_t wparam,
                                            intptr_t lparam) {
    if (message == HISTORY_ADD_MSG) {
        HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(window));
        if (data && data->image) {
            const int32_t w = data->width;
            for (int32_t i = 0; i <= w - 2; ++i) data->values[i] = data->values[i + 1];
            data->values[w - 1] = (int32_t)lparam;   // the low 32 bits carry the value
            RedrawHistory(window, data);
        }
    }
    WindowProcedure previous =
        reinterpret_cast<WindowProcedure>(GetWindowProperty(window, OLD_PROCEDURE_PROPERTY));
    if (!previous) return DefaultWindowProcedure(window, message, wparam, lparam);
    return CallWindowProcedure(previous, window, message, wparam, lparam);
}

void DestroyHistoryGraph(WindowRef graph) {
    if (!graph) return;
    HistoryGraphData* data = reinterpret_cast<HistoryGraphData*>(GetWindowUserData(graph));
    if (!data) return;
    SetWindowUserData(graph, 0);
    ReleaseImage(data->image);
    std::free(data);
}
