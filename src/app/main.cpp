// The main routine: start-up in its fixed order, the event loop, and the shut-down that
// always ends with exit code 0.
#include "app/program.h"

#include <cstdlib>

#include "app/history_graph.h"
#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "meter/meter.h"

void RunEventLoop() {
    for (;;) {
        if (!WaitAndDispatchMessage()) break;
        // A close request ends the loop even when the display tick's own pumping took it.
        if (MainWindowCloseRequested() || program.quit_requested != 0) break;
    }
}

namespace {

void ReleaseEverything() {
    if (program.main_window_handle) {
        DestroyHistoryGraph(program.history_graph);
        DestroyWindowTree(program.main_window_handle);
    }
    ForgetMainControls();
    for (MeterRecord& meter : program.meters) {
        if (meter.face_image) ReleaseImage(meter.face_image);
        if (meter.panel_image) ReleaseImage(meter.panel_image);
    }
    ReleaseCaptureBuffers(true);
    std::free(program.analysis_block);
    if (program.font_large) ReleaseFont(program.font_large);
    if (program.font_small) ReleaseFont(program.font_small);
    if (program.small_label_font) ReleaseFont(program.small_label_font);
    program = ProgramState{};
}

}  // namespace

void PrepareStateRecord() {
    program = ProgramState{};
    InitControlLibrary();

    program.palette_face_top = MakeColour(0, 95, 0);
    program.palette_green_2 = MakeColour(0, 79, 0);
    program.palette_green_3 = MakeColour(0, 63, 0);
    program.palette_face_bottom = MakeColour(0, 47, 0);
    program.palette_accent = MakeColour(10, 221, 10);
    program.font_large = MakeFont("Arial", 10, 700);
    program.font_small = MakeFont("Arial", 8, 400);
    program.palette_scale = MakeColour(240, 255, 240);
    program.palette_needle = MakeColour(10, 221, 10);
    program.palette_black = MakeColour(0, 0, 0);

    program.meters.assign(2, MeterRecord{});   // the index map starts empty with the record
    program.segment_x.assign(LEVEL_SEGMENTS + 1, 0);
    for (int i = 1; i <= LEVEL_SEGMENTS; ++i) program.segment_x[i] = 19 + 14 * i;
    program.small_label_font = MakeFont("Arial", 7, 400);
    program.bar_colour_off = MakeColour(16, 48, 16);
    program.bar_colour_on = MakeColour(0, 208, 0);
    program.bar_colour_over = MakeColour(255, 0, 0);
    program.wave_headers.assign(WAVE_HEADER_CAPACITY, WaveHeader{});
}

bool StartProgram() {
    PrepareStateRecord();

    WindowRef window = CreateProgramWindow();
    // The meters find their parent through the state record.
    program.main_window_handle = window;

    program.meter_style = 5;
    program.meter_left = CreateMeter(-1, 410, 49, 340, "LEFT", program.meter_style);
    program.meter_right = CreateMeter(-1, 410, 304, 340, "RIGHT", program.meter_style);
    program.level_left = 50.0f;
    program.level_right = 50.0f;
    program.bar_y = 578;
    SetMeterAveraging(program.meter_left, 8);
    SetMeterAveraging(program.meter_right, 8);

    program.capture_format.cbSize = 0;
    program.capture_format.wFormatTag = WAVE_FORMAT_PCM;
    program.scope_left.channel_index = 0;
    program.scope_right.channel_index = 1;

    if (!CreateMainControls()) return false;
    ApplyDefaultSettings();
    program.history_graph = CreateHistoryGraph(-1, 460, 540, 284, 140);
    StartCapture();
    // Queued capture messages and ticks are handled only by the event loop, so the block
    // exists before anything copies into it.
    program.analysis_block = static_cast<char*>(std::calloc(1, ANALYSIS_BLOCK_BYTES));
    return true;
}

void ShutDownProgram(bool started) {
    if (started) {
        if (IsDrawing()) EndDrawing();
        StopCapture();
    }
    ReleaseEverything();
}

int ApplicationMain() {
    const bool started = StartProgram();
    if (started) RunEventLoop();
    ShutDownProgram(started);
    return 0;
}
