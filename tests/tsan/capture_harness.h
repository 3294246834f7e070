// What the two capture tests of the Linux wave input share (sdl_capture_restarts.cpp on SDL's
// disk driver, pulse_capture_restarts.cpp on a private sound server): a stub presenter on the
// real clock, a window that takes deliveries as the program's capture engine does (only its
// own run's queued headers, each given straight back), runs opened and torn down as the engine
// does it, and a check of numbered frames.
//
// The frames: left = n, right = -n - 1 (as 16-bit numbers, n counting up from 0), so every
// delivery shows whether it is intact and where it belongs.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

extern int failures;
#define CHECK(cond, ...)                                        \
    do {                                                        \
        if (!(cond)) {                                          \
            ++failures;                                         \
            std::fprintf(stderr, "FAILED %s: ", #cond);         \
            std::fprintf(stderr, __VA_ARGS__);                  \
            std::fprintf(stderr, "\n");                         \
        }                                                       \
    } while (0)

constexpr int RUN_BUFFERS = 8;
constexpr uint32_t RUN_BUFFER_BYTES = 512;

struct Run {
    WaveInHandle handle = nullptr;
    WaveHeader headers[RUN_BUFFERS] = {};
    char data[RUN_BUFFERS][RUN_BUFFER_BYTES] = {};
    bool with_device[RUN_BUFFERS] = {};
    int deliveries = 0;
    // Numbered frames seen (with FramesKind::MAYBE_SILENT, silent ones apart).
    int64_t frames = 0;
    int64_t silent_frames = 0;
    int64_t next_frame = -1;    // the frame that must come next; -1 after silence or at the start
    int64_t gaps = 0;           // numbered frames that did not follow their predecessor
};

enum class FramesKind {
    ANY,            // real sound: not looked at
    NUMBERED,       // every frame numbered, in order within a delivery (SDL's disk driver)
    MAYBE_SILENT,   // numbered frames or silence; across deliveries too, numbers must follow on
    SOUND,          // sound or silence, not looked at closer (a server that resamples)
};

extern Run* current;            // the run whose deliveries count
extern int stale_total;         // deliveries for other handles, ignored
extern int device_changes;      // WM_DEVICECHANGE the window received
extern bool reread_on_change;   // whether each reads the list anew, as the program does (true)
extern int opens_posted;        // MM_WIM_OPEN and MM_WIM_CLOSE the window received
extern int closes_posted;
extern FramesKind frames_kind;
extern std::atomic<int> wakes;  // wake-ups of the GUI thread by a recorder's thread

// The window the runs notify.
WindowRef MakeCaptureWindow();
WaveFormat CaptureFormat();
// Opens `device_id` and queues the eight buffers and starts, as the engine does; false when the
// open fails (its result in *result when given).
bool StartRun(Run& run, WindowRef window, uint32_t device_id, uint32_t* result = nullptr);
// Reset, stop, unprepare, close, as the engine does; checks what a reset must leave.
void StopRun(Run& run);
void PumpFor(int milliseconds);
bool PumpUntilDelivered(Run& run, int count, int timeout_ms);
uint64_t NowMicros();
// Writes `frames` numbered frames to a fresh file; its path, empty on failure.
std::string WriteFramesFile(int frames);

// Pumps until `done()` or the time is up; true when done.
bool PumpUntilImpl(bool (*done)(void*), void* context, int timeout_ms);
template <typename Done> bool PumpUntil(Done done, int timeout_ms) {
    return PumpUntilImpl([](void* c) { return (*(Done*)c)(); }, &done, timeout_ms);
}
