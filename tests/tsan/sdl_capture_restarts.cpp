// The SDL wave input's real capture path through 200 restarts, built with ThreadSanitizer:
// SDL's disk audio driver plays a file of numbered frames into capture, a window of the
// portable core takes the deliveries as the capture engine does (only its own run's queued
// headers, each given straight back), and every run is torn down as the engine does it (reset,
// stop, unprepare, close) before the next open. Any data race between the GUI thread, SDL's
// audio threads and the open/close worker is reported by TSan and fails the run; the frames
// also have to arrive well formed and in order. A stub presenter waits on a condition variable.
//
// With --sound-server the same program meets a real sound server instead (tests/e2e/faults.sh):
// it meters the default input, and when the script has taken the input away (the file named by
// KORVELT_FAULT_GONE_FILE appears) it checks that deliveries stop and that opening fails
// promptly; when the script has brought it back (KORVELT_FAULT_BACK_FILE) it checks that an
// open succeeds again and deliveries resume. It prints one line per finding.
#include <SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/platform.h"
#include "platform/portable/backend.h"
#include "platform/portable/sdl/sdl_presenter.h"

// ---- the stub presenter: real clock, a condition variable to wait on ----------------------

thread_local bool sdl_wake_can_wait = false;

namespace {
std::mutex wait_mutex;
std::condition_variable wait_cv;
bool woken = false;
std::atomic<int> wakes{0};
}  // namespace

uint64_t BackendNowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void BackendWait(uint64_t deadline_us) {
    std::unique_lock<std::mutex> lock(wait_mutex);
    uint64_t now = BackendNowMicros();
    uint64_t limit = std::min<uint64_t>(deadline_us, now + 20000);
    if (limit > now) wait_cv.wait_for(lock, std::chrono::microseconds(limit - now), [] { return woken; });
    woken = false;
}

void BackendWake() {
    if (sdl_wake_can_wait) return;
    ++wakes;
    {
        std::lock_guard<std::mutex> lock(wait_mutex);
        woken = true;
    }
    wait_cv.notify_one();
}

void BackendPollInput() {}
void BackendTopLevelCreated(WindowRef, const char*, int, int) {}
void BackendTopLevelDestroyed(WindowRef) {}
void BackendTopLevelShown(WindowRef, bool) {}
void BackendPresent(WindowRef, const RectI&, bool) {}
int BackendDpi() { return 96; }

// ---- the capture side, as the program's engine does it --------------------------------------

namespace {

constexpr int RESTARTS = 200;
constexpr int BUFFERS = 8;
constexpr uint32_t BUFFER_BYTES = 512;
constexpr int DELIVERIES_PER_RUN = 12;   // more than the eight buffers: some come back twice

int failures = 0;
bool numbered_frames = true;   // the disk driver's file; real sound with --sound-server
#define CHECK(cond, ...)                                        \
    do {                                                        \
        if (!(cond)) {                                          \
            ++failures;                                         \
            std::fprintf(stderr, "FAILED %s: ", #cond);         \
            std::fprintf(stderr, __VA_ARGS__);                  \
            std::fprintf(stderr, "\n");                         \
        }                                                       \
    } while (0)

struct Run {
    WaveInHandle handle = nullptr;
    WaveHeader headers[BUFFERS] = {};
    char data[BUFFERS][BUFFER_BYTES] = {};
    bool with_device[BUFFERS] = {};
    int deliveries = 0;
    int next_frame = -1;     // the frame the next full delivery must start with
    int stale = 0;           // deliveries for an earlier run's handle, ignored
};

Run runs[2];
Run* current = nullptr;
int stale_total = 0;

int HeaderIndex(Run& run, WaveHeader* header) {
    for (int i = 0; i < BUFFERS; ++i)
        if (&run.headers[i] == header) return i;
    return -1;
}

// The file holds frames numbered from 0: left = n, right = -n - 1 (see WriteFramesFile).
void CheckFrames(Run& run, const WaveHeader* header) {
    uint32_t bytes = header->dwBytesRecorded;
    CHECK(bytes <= BUFFER_BYTES, "delivery of %u bytes", bytes);
    for (uint32_t at = 0; at + 4 <= bytes; at += 4) {
        int16_t left, right;
        std::memcpy(&left, header->lpData + at, 2);
        std::memcpy(&right, header->lpData + at + 2, 2);
        CHECK(right == (int16_t)(-left - 1), "frame with left %d right %d", left, right);
        int n = (uint16_t)left;
        if (run.next_frame >= 0 && at == 0) CHECK(n >= run.next_frame, "frame %d after %d: order lost", n, run.next_frame);
        if (at + 4 == bytes) run.next_frame = n + 1;
    }
}

intptr_t PLATFORM_CALLBACK CaptureWindow(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message != MM_WIM_DATA) return DefaultWindowProcedure(window, message, wparam, lparam);
    WaveHeader* header = (WaveHeader*)lparam;
    // Only the open run's own queued headers are read; anything else is stale.
    if (!current || (WaveInHandle)wparam != current->handle) {
        ++stale_total;
        return 0;
    }
    int index = HeaderIndex(*current, header);
    CHECK(index >= 0, "delivery of a header that is not the run's");
    if (index < 0 || !current->with_device[index]) return 0;
    CHECK(header->dwFlags & WHDR_DONE, "delivered header not marked done");
    CHECK(!(header->dwFlags & WHDR_INQUEUE), "delivered header still marked queued");
    current->with_device[index] = false;
    if (numbered_frames) CheckFrames(*current, header);
    ++current->deliveries;
    if (WaveInAddBuffer(current->handle, header, sizeof(WaveHeader)) == MMSYSERR_NOERROR)
        current->with_device[index] = true;
    return 0;
}

WaveFormat CaptureFormat() {
    WaveFormat f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 176400;
    return f;
}

bool StartRun(Run& run, WindowRef window, uint32_t device_id) {
    run = Run{};
    WaveFormat format = CaptureFormat();
    uint32_t result = WaveInOpen(&run.handle, device_id, &format, (uintptr_t)window, 0,
                                 CALLBACK_WINDOW | WAVE_FORMAT_DIRECT);
    if (result != MMSYSERR_NOERROR) return false;
    current = &run;
    for (int i = 0; i < BUFFERS; ++i) {
        run.headers[i].lpData = run.data[i];
        run.headers[i].dwBufferLength = BUFFER_BYTES;
        WaveInPrepareHeader(run.handle, &run.headers[i], sizeof(WaveHeader));
        if (WaveInAddBuffer(run.handle, &run.headers[i], sizeof(WaveHeader)) == MMSYSERR_NOERROR)
            run.with_device[i] = true;
    }
    CHECK(WaveInStart(run.handle) == MMSYSERR_NOERROR, "start failed");
    return true;
}

void StopRun(Run& run) {
    WaveInReset(run.handle);
    WaveInStop(run.handle);
    // Reset hands every header back at once; their deliveries are still in the queue.
    for (int i = 0; i < BUFFERS; ++i) {
        CHECK(!(run.headers[i].dwFlags & WHDR_INQUEUE), "header %d still queued after reset", i);
        WaveInUnprepareHeader(run.handle, &run.headers[i], sizeof(WaveHeader));
        run.with_device[i] = false;
    }
    CHECK(WaveInClose(run.handle) == MMSYSERR_NOERROR, "close failed");
    current = nullptr;
}

void PumpFor(int milliseconds) {
    uint64_t until = BackendNowMicros() + (uint64_t)milliseconds * 1000;
    while (BackendNowMicros() < until) {
        while (PumpOneMessage()) {
        }
        BackendWait(until);
    }
}

bool PumpUntilDelivered(Run& run, int count, int timeout_ms) {
    uint64_t until = BackendNowMicros() + (uint64_t)timeout_ms * 1000;
    while (run.deliveries < count && BackendNowMicros() < until) {
        while (PumpOneMessage()) {
        }
        if (run.deliveries < count) BackendWait(until);
    }
    return run.deliveries >= count;
}

std::string WriteFramesFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/korvelt-tsan-frames-" + std::to_string(getpid()) + ".raw";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return "";
    for (int n = 0; n < 60000; ++n) {
        int16_t frame[2] = {(int16_t)(uint16_t)n, (int16_t)(-(int16_t)(uint16_t)n - 1)};
        std::fwrite(frame, sizeof frame, 1, f);
    }
    std::fclose(f);
    return path;
}

}  // namespace

bool FileExists(const char* path) {
    return path && access(path, F_OK) == 0;
}

// Waits (pumping) until `path` exists; false after `timeout_ms`.
bool PumpUntilFile(const char* path, int timeout_ms) {
    uint64_t until = BackendNowMicros() + (uint64_t)timeout_ms * 1000;
    while (!FileExists(path)) {
        if (BackendNowMicros() >= until) return false;
        PumpFor(20);
    }
    return true;
}

int SoundServerFaults() {
    const char* gone_file = std::getenv("KORVELT_FAULT_GONE_FILE");
    const char* back_file = std::getenv("KORVELT_FAULT_BACK_FILE");
    numbered_frames = false;
    setenv("SDL_AUDIO_INCLUDE_MONITORS", "1", 1);
    PrepareSoundServerClient();
    if (!gone_file || !back_file || SDL_Init(SDL_INIT_EVENTS | SDL_INIT_AUDIO) != 0) {
        std::printf("setup failed\n");
        return 1;
    }
    WindowRef window = CreateMainWindow("capture", 0, 0, 64, 64, 0, CaptureWindow);
    WaveInGetNumDevs();
    Run& run = runs[0];
    CHECK(StartRun(run, window, WAVE_MAPPER), "the default input does not open");
    bool metering = PumpUntilDelivered(run, 40, 5000);
    std::printf("metering %d\n", metering ? 1 : 0);
    std::fflush(stdout);

    // The input goes away: deliveries stop (after what was already on its way).
    CHECK(PumpUntilFile(gone_file, 20000), "the input was never taken away");
    PumpFor(500);
    int before = run.deliveries;
    PumpFor(1000);
    int while_gone = run.deliveries - before;
    std::printf("deliveries-while-gone %d\n", while_gone);
    StopRun(run);
    // Opening what is not there fails, and promptly.
    int failed = 0;
    uint64_t slowest_us = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Run& probe = runs[1];
        uint64_t start = BackendNowMicros();
        bool opened = StartRun(probe, window, WAVE_MAPPER);
        slowest_us = std::max(slowest_us, BackendNowMicros() - start);
        if (opened) StopRun(probe);
        else ++failed;
        PumpFor(200);
    }
    std::printf("failed-opens-while-gone %d of 3, slowest %llu ms\n", failed, (unsigned long long)(slowest_us / 1000));
    std::printf("waiting-for-return\n");
    std::fflush(stdout);

    // It comes back: an open succeeds again, and deliveries resume.
    CHECK(PumpUntilFile(back_file, 20000), "the input never came back");
    uint64_t back_at = BackendNowMicros();
    bool opened = false;
    while (!opened && BackendNowMicros() - back_at < 5000000) {
        opened = StartRun(run, window, WAVE_MAPPER);
        if (!opened) PumpFor(200);
    }
    bool resumed = opened && PumpUntilDelivered(run, 20, 4000);
    std::printf("resumed %d after %llu ms\n", resumed ? 1 : 0, (unsigned long long)((BackendNowMicros() - back_at) / 1000));
    if (opened) StopRun(run);
    PumpFor(50);
    FinishClosingCaptureDevices();
    SDL_Quit();
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--sound-server") == 0) return SoundServerFaults();
    std::string frames = WriteFramesFile();
    if (frames.empty()) {
        std::fprintf(stderr, "cannot write the frames file\n");
        return 1;
    }
    // The disk driver reads capture from the file, a period at a time (1 ms apart here, so
    // the 200 runs take seconds, not minutes).
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILEIN", frames.c_str(), 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "1", 1);
    // The disk driver announces itself on every open; 200 times is noise.
    SDL_LogSetOutputFunction([](void*, int, SDL_LogPriority, const char*) {}, nullptr);
    if (SDL_Init(SDL_INIT_EVENTS | SDL_INIT_AUDIO) != 0) {
        std::fprintf(stderr, "SDL audio: %s\n", SDL_GetError());
        return 1;
    }

    WindowRef window = CreateMainWindow("capture", 0, 0, 64, 64, 0, CaptureWindow);
    CHECK(window != nullptr, "no window");
    uint32_t count = WaveInGetNumDevs();
    CHECK(count >= 1, "no capture device listed");
    WaveInCaps caps{};
    CHECK(WaveInGetDevCaps(0, &caps, sizeof caps) == MMSYSERR_NOERROR, "no caps for device 0");
    CHECK(WaveInGetDevCaps(count, &caps, sizeof caps) == MMSYSERR_BADDEVICEID, "caps past the list");
    WaveInHandle none = nullptr;
    WaveFormat format = CaptureFormat();
    CHECK(WaveInOpen(&none, count, &format, (uintptr_t)window, 0, CALLBACK_WINDOW) == MMSYSERR_BADDEVICEID,
          "open of a device that is not there");

    int opened = 0, slow = 0;
    for (int restart = 0; restart < RESTARTS; ++restart) {
        Run& run = runs[restart % 2];
        // The mapper and the device itself, by turns, as a list being worked through.
        uint32_t id = restart % 2 ? 0u : WAVE_MAPPER;
        if (!StartRun(run, window, id)) {
            PumpFor(5);
            continue;
        }
        ++opened;
        // Most runs end after a few periods; some right away, as a held arrow key ends them.
        if (restart % 5 != 4 && !PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000)) ++slow;
        StopRun(run);
        PumpFor(1);
    }
    PumpFor(50);
    CHECK(opened >= RESTARTS * 9 / 10, "only %d of %d opens succeeded", opened, RESTARTS);
    CHECK(slow == 0, "%d runs got fewer than %d deliveries in 3 s", slow, DELIVERIES_PER_RUN);
    CHECK(wakes.load() > 0, "the audio thread never woke the GUI thread");
    CHECK(FinishClosingCaptureDevices(), "closes still in flight at exit");
    SDL_Quit();
    std::remove(frames.c_str());
    std::printf("%d restarts, %d opened, %d stale deliveries ignored, %d failures\n", RESTARTS, opened,
                stale_total, failures);
    return failures == 0 ? 0 : 1;
}
