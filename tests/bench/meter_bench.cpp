// Cost of one needle meter update (twice per display tick), of the needle line alone and of
// rendering a meter face, on the program's 340-wide style-5 meter.
#include <benchmark/benchmark.h>

#include "app/main_window.h"
#include "app/program.h"
#include "app/state.h"
#include "meter/meter.h"
#include "platform/platform.h"

namespace {

// The program's start-up, as far as the meters need it; done once per process.
intptr_t MakeProgramMeter() {
    static intptr_t control = 0;
    if (control) return control;
    PrepareStateRecord();
    program.main_window_handle = CreateProgramWindow();
    control = CreateMeter(-1, 410, 49, 340, "LEFT", 5);
    SetMeterAveraging(control, 8);
    return control;
}

void BM_SetMeterValue(benchmark::State& state) {
    intptr_t control = MakeProgramMeter();
    float value = 0.0f;
    for (auto _ : state) {
        // Sweeps the whole scale, so the needle takes every angle in turn.
        value += 0.7f;
        if (value > 100.0f) value -= 100.0f;
        SetMeterValue(control, value);
    }
}
BENCHMARK(BM_SetMeterValue)->Unit(benchmark::kMicrosecond);

void BM_DrawMeterFace(benchmark::State& state) {
    intptr_t index = FindMeterIndex(MakeProgramMeter());
    for (auto _ : state) DrawMeterFace(index);
}
BENCHMARK(BM_DrawMeterFace)->Unit(benchmark::kMicrosecond);

// The needle alone: the smooth line at its longest (the scale's left end), on the face image.
void BM_DrawSmoothLine(benchmark::State& state) {
    const MeterRecord& m = program.meters[FindMeterIndex(MakeProgramMeter())];
    ImageRef target = CreateImage(336, 223, 32);
    BeginDrawingImage(target);
    DrawImagePlain(m.face_image, 0, 0);
    for (auto _ : state) DrawSmoothLine(168, 213, 28, 83, m.needle_colour, 5);
    EndDrawing();
    ReleaseImage(target);
}
BENCHMARK(BM_DrawSmoothLine)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
