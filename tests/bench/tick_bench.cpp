// Cost of one capture delivery (HandleFilledBuffer) and of one whole display tick
// (RefreshDisplays with a full block, both meters and the history graph), headless.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "app/history_graph.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/state.h"
#include "capture/capture.h"
#include "display/display.h"
#include "meter/meter.h"
#include "platform/portable/headless/headless.h"

namespace {

// The program's start-up, then 40 ms of running capture so a
// block has been delivered and one tick has run. Done once per process.
void BuildRunningProgram() {
    static bool built = false;
    if (built) return;
    built = true;

    HeadlessDevice device;
    device.name = "Bench tone";
    device.signal = HeadlessSineSignal(997, 26000, 18000);
    HeadlessAddDevice(device);

    StartProgram();
    HeadlessRunUntil(40);
    HeadlessClearWaveCalls();
}

void BM_HandleFilledBuffer(benchmark::State& state) {
    BuildRunningProgram();
    // A full buffer of the running capture, delivered again and again: the header is one of
    // the run's own and still in the device's queue, so every delivery is read and copied,
    // the re-queue is refused and the device's queue does not grow.
    WaveHeader* delivered = &program.wave_headers[0];
    delivered->dwBytesRecorded = CAPTURE_BUFFER_BYTES;
    const uint64_t accepted_before = AcceptedDeliveryCount();
    int64_t n = 0;
    for (auto _ : state) {
        HandleFilledBuffer(program.wave_in, delivered);
        // The headless device logs every call; keep the log short.
        if ((++n & 4095) == 0) HeadlessClearWaveCalls();
    }
    benchmark::DoNotOptimize(program.analysis_block[0]);
    if (AcceptedDeliveryCount() - accepted_before != (uint64_t)n) state.SkipWithError("a delivery was not read");
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
