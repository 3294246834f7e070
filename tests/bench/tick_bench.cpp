// Cost of one capture delivery (HandleFilledBuffer) and of one whole display tick
// (RefreshDisplays with a full block, both meters and the history graph), headless.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "app/history_graph.h"
#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "display/display.h"
#include "meter/meter.h"
#include "platform/portable/headless/headless.h"

namespace {

// The program's start-up, as far as the tick needs it, then 40 ms of running capture so a
// block has been delivered and one tick has run. Done once per process.
void BuildRunningProgram() {
    static bool built = false;
    if (built) return;
    built = true;

    HeadlessDevice device;
    device.name = "Bench tone";
    device.signal = HeadlessSineSignal(997, 26000, 18000);
    HeadlessAddDevice(device);

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
    if (program.meters.size() < 2) program.meters.resize(2);
    program.segment_x.assign(LEVEL_SEGMENTS + 1, 0);
    for (int i = 1; i <= LEVEL_SEGMENTS; ++i) program.segment_x[i] = 19 + 14 * i;
    program.small_label_font = MakeFont("Arial", 7, 400);
    program.bar_colour_off = MakeColour(16, 48, 16);
    program.bar_colour_on = MakeColour(0, 208, 0);
    program.bar_colour_over = MakeColour(255, 0, 0);
    program.wave_headers.assign(WAVE_HEADER_CAPACITY, WaveHeader{});
    program.main_window_handle = CreateProgramWindow();
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
    CreateMainControls();
    ApplyDefaultSettings();
    program.history_graph = CreateHistoryGraph(-1, 460, 540, 284, 140);
    StartCapture();
    program.analysis_block = static_cast<char*>(std::calloc(1, ANALYSIS_BLOCK_BYTES));
    HeadlessRunUntil(40);
    HeadlessClearWaveCalls();
}

void BM_HandleFilledBuffer(benchmark::State& state) {
    BuildRunningProgram();
    // A full buffer of the running capture as the driver hands it back. Its header copy stays
    // marked as queued, so the re-queue is refused and the device's queue does not grow.
    WaveHeader delivered = program.wave_headers[0];
    delivered.dwBytesRecorded = CAPTURE_BUFFER_BYTES;
    delivered.dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
    int64_t n = 0;
    for (auto _ : state) {
        HandleFilledBuffer(program.wave_in, &delivered);
        // The headless device logs every call; keep the log short.
        if ((++n & 4095) == 0) HeadlessClearWaveCalls();
    }
    benchmark::DoNotOptimize(program.analysis_block[0]);
    HeadlessClearWaveCalls();
}
BENCHMARK(BM_HandleFilledBuffer)->Unit(benchmark::kNanosecond);

void BM_DisplayTick(benchmark::State& state) {
    BuildRunningProgram();
    if (!program.last_data) {
        state.SkipWithError("no block was delivered");
        return;
    }
    for (auto _ : state) RefreshDisplays();
    state.counters["history"] = (double)program.history_value;
}
BENCHMARK(BM_DisplayTick)->Unit(benchmark::kMicrosecond);

// The tick's own drawing alone: scope boxes, bars and labels, without the meters and the
// history graph it feeds (those have their own costs).
void BM_ScopeAndBarsOnly(benchmark::State& state) {
    BuildRunningProgram();
    const intptr_t left = program.meter_left, right = program.meter_right;
    WindowRef graph = program.history_graph;
    program.meter_left = program.meter_right = 0;
    program.history_graph = nullptr;
    for (auto _ : state) RefreshDisplays();
    program.meter_left = left;
    program.meter_right = right;
    program.history_graph = graph;
}
BENCHMARK(BM_ScopeAndBarsOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
