// The capture tests' shared harness (capture_harness.h): stub presenter, capture window, runs.
#include "capture_harness.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

#include "platform/portable/backend.h"
#include "platform/portable/sdl/sdl_presenter.h"

#ifndef WM_DEVICECHANGE
#define WM_DEVICECHANGE 0x0219
#endif

// ---- the stub presenter: real clock, a condition variable to wait on ----------------------

thread_local bool sdl_wake_can_wait = false;
std::atomic<int> wakes{0};

namespace {
std::mutex wait_mutex;
std::condition_variable wait_cv;
bool woken = false;
}  // namespace

uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t BackendNowMicros() { return NowMicros(); }

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

int failures = 0;
Run* current = nullptr;
int stale_total = 0;
int device_changes = 0;
bool reread_on_change = true;
int opens_posted = 0;
int closes_posted = 0;
FramesKind frames_kind = FramesKind::ANY;

namespace {

int HeaderIndex(Run& run, WaveHeader* header) {
    for (int i = 0; i < RUN_BUFFERS; ++i)
        if (&run.headers[i] == header) return i;
    return -1;
}

void CheckFrames(Run& run, const WaveHeader* header) {
    uint32_t bytes = header->dwBytesRecorded;
    CHECK(bytes <= RUN_BUFFER_BYTES, "delivery of %u bytes", bytes);
    CHECK(bytes % 4 == 0, "delivery of %u bytes: not whole frames", bytes);
    for (uint32_t at = 0; at + 4 <= bytes && at + 4 <= RUN_BUFFER_BYTES; at += 4) {
        int16_t left, right;
        std::memcpy(&left, header->lpData + at, 2);
        std::memcpy(&right, header->lpData + at + 2, 2);
        int64_t n = (uint16_t)left;
        if (frames_kind == FramesKind::NUMBERED) {
            CHECK(right == (int16_t)(-left - 1), "frame with left %d right %d", left, right);
            if (run.next_frame >= 0 && at == 0) CHECK(n >= run.next_frame, "frame %lld after %lld: order lost", (long long)n, (long long)run.next_frame);
            if (at + 4 == bytes) run.next_frame = n + 1;
            ++run.frames;
            continue;
        }
        if (frames_kind == FramesKind::SOUND ? std::abs(left) < 8 && std::abs(right) < 8 : left == 0 && right == 0) {
            ++run.silent_frames;
            run.next_frame = -1;
            continue;
        }
        if (frames_kind == FramesKind::SOUND) {
            ++run.frames;
            continue;
        }
        CHECK(right == (int16_t)(-left - 1), "frame with left %d right %d: neither numbered nor silent", left, right);
        if (run.next_frame >= 0 && n != run.next_frame) ++run.gaps;
        run.next_frame = (n + 1) & 0xFFFF;
        ++run.frames;
    }
}

intptr_t PLATFORM_CALLBACK CaptureWindow(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == WM_DEVICECHANGE) {
        // As the program does: the list is read anew.
        ++device_changes;
        if (reread_on_change) WaveInGetNumDevs();
        return 0;
    }
    if (message == MM_WIM_OPEN || message == MM_WIM_CLOSE) {
        ++(message == MM_WIM_OPEN ? opens_posted : closes_posted);
        return 0;
    }
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
    if (frames_kind != FramesKind::ANY) CheckFrames(*current, header);
    ++current->deliveries;
    if (WaveInAddBuffer(current->handle, header, sizeof(WaveHeader)) == MMSYSERR_NOERROR)
        current->with_device[index] = true;
    return 0;
}

}  // namespace

WindowRef MakeCaptureWindow() {
    return CreateMainWindow("capture", 0, 0, 64, 64, 0, CaptureWindow);
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

bool StartRun(Run& run, WindowRef window, uint32_t device_id, uint32_t* result) {
    run = Run{};
    WaveFormat format = CaptureFormat();
    uint32_t opened = WaveInOpen(&run.handle, device_id, &format, (uintptr_t)window, 0,
                                 CALLBACK_WINDOW | WAVE_FORMAT_DIRECT);
    if (result) *result = opened;
    if (opened != MMSYSERR_NOERROR) return false;
    current = &run;
    for (int i = 0; i < RUN_BUFFERS; ++i) {
        run.headers[i].lpData = run.data[i];
        run.headers[i].dwBufferLength = RUN_BUFFER_BYTES;
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
    for (int i = 0; i < RUN_BUFFERS; ++i) {
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

bool PumpUntilImpl(bool (*done)(void*), void* context, int timeout_ms) {
    uint64_t until = BackendNowMicros() + (uint64_t)timeout_ms * 1000;
    for (;;) {
        while (PumpOneMessage()) {
        }
        if (done(context)) return true;
        if (BackendNowMicros() >= until) return false;
        BackendWait(until);
    }
}

bool PumpUntilDelivered(Run& run, int count, int timeout_ms) {
    return PumpUntil([&] { return run.deliveries >= count; }, timeout_ms);
}

std::string WriteFramesFile(int frames) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/korvelt-frames-" + std::to_string(getpid()) + ".raw";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return "";
    for (int n = 0; n < frames; ++n) {
        int16_t frame[2] = {(int16_t)(uint16_t)n, (int16_t)(-(int16_t)(uint16_t)n - 1)};
        std::fwrite(frame, sizeof frame, 1, f);
    }
    std::fclose(f);
    return path;
}
