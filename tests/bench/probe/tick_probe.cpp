// Instruction counts of the display tick, for callgrind: the program is started headless on a
// tone, then one of two loops runs, each in a function of its own that callgrind is told to
// count (--toggle-collect=ProbeFixedTicks / ProbeRunningPeriods):
//   fixed   RefreshDisplays on the same delivered block, as BM_DisplayTick does;
//   running whole 32 ms periods of the running program on the virtual clock: the deliveries
//           of the period and its timer tick, with a new block each time (a steady tone);
//   varied  the same on a tone whose loudness swells and fades, so the bars, the needles
//           and the history graph move on every tick: what nothing can be spared of.
// Usage: korvelt_tick_probe fixed|running|varied [COUNT]. It prints the count it ran; divide
// callgrind's total by it. Run by tests/bench/instructions-per-tick.sh.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "app/state.h"
#include "display/display.h"
#include "platform/portable/headless/headless.h"

extern "C" __attribute__((noinline)) void ProbeFixedTicks(int count) {
    for (int i = 0; i < count; ++i) RefreshDisplays();
}

extern "C" __attribute__((noinline)) void ProbeRunningPeriods(int count) {
    double now = HeadlessNowMs();
    for (int i = 0; i < count; ++i) {
        now += (double)program.tick_ms;
        HeadlessRunUntil(now);
    }
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "fixed";
    int count = argc > 2 ? std::atoi(argv[2]) : 100;
    if (count <= 0) count = 100;

    // The sound is worked out before anything is counted and then played in a loop, so the
    // counts hold the program's work and not the making of test signals.
    const bool varied = std::strcmp(mode, "varied") == 0;
    HeadlessSignal tone = HeadlessSineSignal(997, 26000, 18000);
    const uint64_t frames = varied ? 44100 * 221 / 10 : 44100;   // 22.1 s: both swells repeat
    HeadlessDevice device;
    device.name = "Probe tone";
    device.pcm.resize(frames * 2);
    for (uint64_t f = 0; f < frames; ++f) {
        int16_t left = 0, right = 0;
        tone(f, left, right);
        if (varied) {
            // 0.1 .. 1 of the tone, a swell every 1.7 s, the two channels out of step.
            double t = (double)f / 44100.0;
            left = (int16_t)(left * (0.55 + 0.45 * std::sin(2 * 3.14159265358979 * t / 1.7)));
            right = (int16_t)(right * (0.55 + 0.45 * std::cos(2 * 3.14159265358979 * t / 1.3)));
        }
        device.pcm[2 * f] = left;
        device.pcm[2 * f + 1] = right;
    }
    HeadlessAddDevice(device);
    StartProgram();
    // Twelve seconds of program time first, as a user's program has run for a while: the
    // history graph (284 values, 9 s) has filled and the averaging has settled.
    HeadlessRunUntil(12000);
    HeadlessClearWaveCalls();
    HeadlessClearPresented();
    if (!program.last_data) {
        std::fprintf(stderr, "tick_probe: no block was delivered\n");
        return 1;
    }
    if (varied || std::strcmp(mode, "running") == 0) {
        ProbeRunningPeriods(count);
    } else {
        RefreshDisplays();   // the first repeat of a block settles the memos
        ProbeFixedTicks(count);
    }
    std::printf("%s %d\n", mode, count);
    return 0;
}
