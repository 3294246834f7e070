// Wave input on WinMM, call for call: WaveInGetNumDevs ... WaveInClose. The seam's records
// are WAVEFORMATEX, WAVEHDR and WAVEINCAPSA byte for byte, so they pass straight through.
// Also MonotonicMicros, the clock the capture engine times its deliveries with.
//
// A device call that talks to the sound server (open, start, reset, stop, close; prepare and
// unprepare go through the same driver thread) can wait on that server for as long as it is
// frozen: Wine's driver closes a device by waiting for the server to drop the stream. So those
// calls run on one helper thread and the GUI thread waits for each at most
// WAVE_CALL_BUDGET_MS (an open WAVE_OPEN_BUDGET_MS). A call that takes longer is answered
// MMSYSERR_HANDLEBUSY and left to finish on its own; until it has, every further call is
// answered the same at once (and never reaches WinMM), so the calls that do reach WinMM keep
// the order the core made them in.
// A caller told "busy" by a close keeps the run's buffers and headers, as after any failed
// close, and tries again later.
//
// Those bounds are per call, and calls come in rows: a restart tears the run down and opens
// anew (a dozen calls), the exit tears down and retries the closes that failed before, and a
// close request taken during a restart starts the exit right after it. Bounded one by one,
// the calls of a row add up whenever a late call gets done between two of them: a driver that
// answers each call just after its bound holds the row for the sum. So a row of calls, each
// made less than WAVE_ROW_GAP_MS after the one before returned, waits on the driver at most
// WAVE_ROW_BUDGET_MS in all; once that is spent, the rest of the row is answered busy at once,
// without reaching WinMM, as behind a call that is still stuck. The exit then ends within one
// bound, whatever came just before it; an open, too, waits at most what is left of its row
// (a slow one is tried again later, as any open given up on). Adding buffers (the deliveries'
// re-queue, every few milliseconds) neither counts nor is held back by a spent row.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/win32/backend.h"

static_assert(sizeof(WaveFormat) == sizeof(WAVEFORMATEX), "WaveFormat must match WAVEFORMATEX");
static_assert(offsetof(WaveFormat, nSamplesPerSec) == offsetof(WAVEFORMATEX, nSamplesPerSec), "WAVEFORMATEX");
static_assert(offsetof(WaveFormat, wBitsPerSample) == offsetof(WAVEFORMATEX, wBitsPerSample), "WAVEFORMATEX");
static_assert(offsetof(WaveFormat, cbSize) == offsetof(WAVEFORMATEX, cbSize), "WAVEFORMATEX");
static_assert(sizeof(WaveHeader) == sizeof(WAVEHDR), "WaveHeader must match WAVEHDR");
static_assert(offsetof(WaveHeader, dwBufferLength) == offsetof(WAVEHDR, dwBufferLength), "WAVEHDR");
static_assert(offsetof(WaveHeader, dwBytesRecorded) == offsetof(WAVEHDR, dwBytesRecorded), "WAVEHDR");
static_assert(offsetof(WaveHeader, dwUser) == offsetof(WAVEHDR, dwUser), "WAVEHDR");
static_assert(offsetof(WaveHeader, dwFlags) == offsetof(WAVEHDR, dwFlags), "WAVEHDR");
static_assert(offsetof(WaveHeader, lpNext) == offsetof(WAVEHDR, lpNext), "WAVEHDR");
static_assert(offsetof(WaveHeader, reserved) == offsetof(WAVEHDR, reserved), "WAVEHDR");
static_assert(sizeof(WaveInCaps) == sizeof(WAVEINCAPSA), "WaveInCaps must match WAVEINCAPSA");
static_assert(offsetof(WaveInCaps, szPname) == offsetof(WAVEINCAPSA, szPname), "WAVEINCAPSA");
static_assert(offsetof(WaveInCaps, dwFormats) == offsetof(WAVEINCAPSA, dwFormats), "WAVEINCAPSA");
static_assert(offsetof(WaveInCaps, wChannels) == offsetof(WAVEINCAPSA, wChannels), "WAVEINCAPSA");

// Runs `call` as RunBoundedWaveCall does, as one call of a row of device calls: within
// `budget_ms` and what is left of the row's budget; answered busy without running when the
// row has nothing left. GUI thread only.
uint32_t RunWaveCallInRow(WaveCall call, void* context, uint32_t budget_ms, WaveLateResult late);

namespace {

HWAVEIN AsWaveIn(WaveInHandle handle) {
    return reinterpret_cast<HWAVEIN>(handle);
}

WAVEHDR* AsHeader(WaveHeader* header) {
    return reinterpret_cast<WAVEHDR*>(header);
}

// The helper thread and the one call it may hold. Only the GUI thread submits calls, one at
// a time, so a single slot is enough.
struct WaveCallRunner {
    CRITICAL_SECTION lock;
    HANDLE go = nullptr;          // auto-reset: a call is in the slot
    HANDLE done = nullptr;        // manual-reset: the call in the slot has returned
    HANDLE thread = nullptr;
    bool busy = false;            // a call is in the slot and has not returned
    bool gave_up = false;         // its caller stopped waiting
    WaveCall call = nullptr;
    void* context = nullptr;
    WaveLateResult late = nullptr;
    uint32_t result = 0;
    uint64_t late_calls = 0;      // calls that outlived their budget
};

WaveCallRunner* Runner() {
    // Never destroyed: the helper thread may still be inside a call when the process ends.
    static WaveCallRunner* const runner = [] {
        WaveCallRunner* made = new WaveCallRunner;
        InitializeCriticalSection(&made->lock);
        made->go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        made->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return made;
    }();
    return runner;
}

DWORD WINAPI WaveCallThread(void* parameter) {
    WaveCallRunner* runner = static_cast<WaveCallRunner*>(parameter);
    for (;;) {
        WaitForSingleObject(runner->go, INFINITE);
        EnterCriticalSection(&runner->lock);
        const WaveCall call = runner->call;
        void* const context = runner->context;
        LeaveCriticalSection(&runner->lock);
        const uint32_t result = call(context);
        EnterCriticalSection(&runner->lock);
        const bool gave_up = runner->gave_up;
        const WaveLateResult late = runner->late;
        if (!gave_up) {
            runner->result = result;
            runner->busy = false;
            SetEvent(runner->done);
        }
        LeaveCriticalSection(&runner->lock);
        if (!gave_up) continue;
        // Nobody waits for this result: what the call did is undone or noted here, still as
        // "busy", so that no other call reaches WinMM before it is settled.
        if (late) late(context, result);
        EnterCriticalSection(&runner->lock);
        runner->busy = false;
        LeaveCriticalSection(&runner->lock);
    }
}

// Handles whose close outlived its budget and then succeeded: WinMM has let them go, the core
// does not know yet. Its later calls on them are answered here, so that they never reach
// another device that WinMM has given the same handle value meanwhile. GUI thread only, apart
// from the helper's insertions under the runner's lock.
std::vector<HWAVEIN> closed_late;

bool TakeClosedLate(HWAVEIN handle, bool remove) {
    WaveCallRunner* runner = Runner();
    EnterCriticalSection(&runner->lock);
    bool found = false;
    for (size_t i = 0; i < closed_late.size(); ++i) {
        if (closed_late[i] != handle) continue;
        found = true;
        if (remove) closed_late.erase(closed_late.begin() + (ptrdiff_t)i);
        break;
    }
    LeaveCriticalSection(&runner->lock);
    return found;
}

// The arguments of one device call, kept where the helper can still reach them after its
// caller has stopped waiting; the slot is not reused before that call has returned.
struct DeviceCall {
    HWAVEIN handle = nullptr;
    UINT device_id = 0;
    WAVEFORMATEX format{};
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    DWORD flags = 0;
    WAVEHDR* header = nullptr;
    UINT size = 0;
};

DeviceCall device_call;

uint32_t RunDeviceCall(WaveCall call, WaveLateResult late, uint32_t budget_ms = WAVE_CALL_BUDGET_MS) {
    return RunWaveCallInRow(call, &device_call, budget_ms, late);
}

uint32_t CallOpen(void* context) {
    DeviceCall* c = static_cast<DeviceCall*>(context);
    c->handle = nullptr;
    return waveInOpen(&c->handle, c->device_id, &c->format, c->callback, c->instance, c->flags);
}

// An open that came too late: no one will ever use or close this device, so it is closed
// here. It has no buffers, as none could be added while it was opening.
void OpenedLate(void* context, uint32_t result) {
    DeviceCall* c = static_cast<DeviceCall*>(context);
    if (result == MMSYSERR_NOERROR && c->handle) waveInClose(c->handle);
}

uint32_t CallClose(void* context) {
    return waveInClose(static_cast<DeviceCall*>(context)->handle);
}

void ClosedLate(void* context, uint32_t result) {
    // Called on the helper thread with the runner's lock free; the list is shared.
    if (result != MMSYSERR_NOERROR) return;
    WaveCallRunner* runner = Runner();
    EnterCriticalSection(&runner->lock);
    closed_late.push_back(static_cast<DeviceCall*>(context)->handle);
    LeaveCriticalSection(&runner->lock);
}

uint32_t CallPrepare(void* context) {
    DeviceCall* c = static_cast<DeviceCall*>(context);
    return waveInPrepareHeader(c->handle, c->header, c->size);
}

uint32_t CallUnprepare(void* context) {
    DeviceCall* c = static_cast<DeviceCall*>(context);
    return waveInUnprepareHeader(c->handle, c->header, c->size);
}

uint32_t CallStart(void* context) { return waveInStart(static_cast<DeviceCall*>(context)->handle); }
uint32_t CallReset(void* context) { return waveInReset(static_cast<DeviceCall*>(context)->handle); }
uint32_t CallStop(void* context) { return waveInStop(static_cast<DeviceCall*>(context)->handle); }

}  // namespace

uint32_t RunBoundedWaveCall(WaveCall call, void* context, uint32_t budget_ms, WaveLateResult late) {
    WaveCallRunner* runner = Runner();
    EnterCriticalSection(&runner->lock);
    if (runner->busy || !runner->go || !runner->done) {
        LeaveCriticalSection(&runner->lock);
        return MMSYSERR_HANDLEBUSY;
    }
    if (!runner->thread) {
        runner->thread = CreateThread(nullptr, 0, WaveCallThread, runner, 0, nullptr);
        if (!runner->thread) {
            // No helper: the call is made here, unbounded, rather than not at all.
            LeaveCriticalSection(&runner->lock);
            return call(context);
        }
    }
    runner->busy = true;
    runner->gave_up = false;
    runner->call = call;
    runner->context = context;
    runner->late = late;
    ResetEvent(runner->done);
    LeaveCriticalSection(&runner->lock);
    SetEvent(runner->go);

    WaitForSingleObject(runner->done, budget_ms);
    EnterCriticalSection(&runner->lock);
    uint32_t result = MMSYSERR_HANDLEBUSY;
    if (runner->busy) {
        // Still inside the driver: it finishes on its own, and its late handler settles it.
        runner->gave_up = true;
        ++runner->late_calls;
    } else {
        result = runner->result;
    }
    LeaveCriticalSection(&runner->lock);
    return result;
}

namespace {

constexpr uint64_t WAVE_ROW_BUDGET_MS = 300;   // all a row of device calls may wait
constexpr uint64_t WAVE_ROW_GAP_MS = 100;      // a quieter spell than this ends a row

// The row the GUI thread's device calls belong to (GUI thread only).
struct CallRow {
    uint64_t last_end_us = 0;   // when its latest call returned; 0 before the first call
    uint64_t waited_us = 0;     // time spent waiting on the driver in it
};

CallRow call_row;

}  // namespace

uint32_t RunWaveCallInRow(WaveCall call, void* context, uint32_t budget_ms, WaveLateResult late) {
    const uint64_t start = MonotonicMicros();
    if (call_row.last_end_us == 0 || start - call_row.last_end_us > WAVE_ROW_GAP_MS * 1000)
        call_row.waited_us = 0;   // a new row
    const uint64_t row_budget_us = WAVE_ROW_BUDGET_MS * 1000;
    const uint64_t left_ms = call_row.waited_us < row_budget_us ? (row_budget_us - call_row.waited_us) / 1000 : 0;
    uint32_t result = MMSYSERR_HANDLEBUSY;
    if (left_ms > 0) result = RunBoundedWaveCall(call, context, (uint32_t)std::min<uint64_t>(budget_ms, left_ms), late);
    const uint64_t end = MonotonicMicros();
    call_row.waited_us += end - start;
    call_row.last_end_us = end;
    return result;
}

bool WaveCallStuck() {
    WaveCallRunner* runner = Runner();
    EnterCriticalSection(&runner->lock);
    const bool stuck = runner->busy;
    LeaveCriticalSection(&runner->lock);
    return stuck;
}

uint64_t LateWaveCallCount() {
    WaveCallRunner* runner = Runner();
    EnterCriticalSection(&runner->lock);
    const uint64_t count = runner->late_calls;
    LeaveCriticalSection(&runner->lock);
    return count;
}

uint64_t MonotonicMicros() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        if (!QueryPerformanceFrequency(&f) || f.QuadPart <= 0) f.QuadPart = 1000;
        return f;
    }();
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now)) return GetTickCount64() * 1000ull;
    // Split so the multiplication cannot overflow however long the machine has been up.
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t per_second = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / per_second * 1000000ull + ticks % per_second * 1000000ull / per_second;
}

uint32_t WaveInGetNumDevs() {
    return waveInGetNumDevs();
}

uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size) {
    // The mapper is (UINT)-1. A caller may hand it over widened with its sign, as the
    // pointer-wide -1; WinMM would take that for a device handle, so both forms mean it.
    UINT_PTR id = device_id;
    if (device_id == static_cast<uintptr_t>(-1) || device_id == static_cast<uintptr_t>(static_cast<UINT>(-1)))
        id = static_cast<UINT_PTR>(static_cast<UINT>(WAVE_MAPPER));
    return waveInGetDevCapsA(id, reinterpret_cast<WAVEINCAPSA*>(caps), size);
}

uint32_t WaveInOpen(WaveInHandle* handle, uint32_t device_id, const WaveFormat* format, uintptr_t callback,
                    uintptr_t instance, uint32_t flags) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    device_call = DeviceCall{};
    device_call.device_id = device_id;
    if (format) device_call.format = *reinterpret_cast<const WAVEFORMATEX*>(format);
    device_call.callback = callback;
    device_call.instance = instance;
    device_call.flags = flags;
    const uint32_t result = RunDeviceCall(CallOpen, OpenedLate, WAVE_OPEN_BUDGET_MS);
    if (result != MMSYSERR_NOERROR) return result;
    if (TakeClosedLate(device_call.handle, false)) {
        // WinMM reused the value of a handle the core still takes for an older device it has
        // yet to close; the two would be confused. Given back, the open is tried again later.
        RunDeviceCall(CallClose, nullptr);
        return MMSYSERR_ALLOCATED;
    }
    if (handle) *handle = reinterpret_cast<WaveInHandle>(device_call.handle);
    return result;
}

// The calls on an open device: answered here for a handle WinMM has already closed late.
uint32_t WaveInPrepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    if (TakeClosedLate(AsWaveIn(handle), false)) return MMSYSERR_INVALHANDLE;
    device_call = DeviceCall{};
    device_call.handle = AsWaveIn(handle);
    device_call.header = AsHeader(header);
    device_call.size = size;
    return RunDeviceCall(CallPrepare, nullptr);
}

// The one call made hundreds of times a second: straight to WinMM, which only queues the
// header; but never while another call is still inside the driver.
uint32_t WaveInAddBuffer(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    if (!closed_late.empty() && TakeClosedLate(AsWaveIn(handle), false)) return MMSYSERR_INVALHANDLE;
    return waveInAddBuffer(AsWaveIn(handle), AsHeader(header), size);
}

namespace {

uint32_t HandleCall(WaveInHandle handle, WaveCall call) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    if (TakeClosedLate(AsWaveIn(handle), false)) return MMSYSERR_INVALHANDLE;
    device_call = DeviceCall{};
    device_call.handle = AsWaveIn(handle);
    return RunDeviceCall(call, nullptr);
}

}  // namespace

uint32_t WaveInStart(WaveInHandle handle) {
    return HandleCall(handle, CallStart);
}

uint32_t WaveInReset(WaveInHandle handle) {
    return HandleCall(handle, CallReset);
}

uint32_t WaveInStop(WaveInHandle handle) {
    return HandleCall(handle, CallStop);
}

uint32_t WaveInUnprepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    if (TakeClosedLate(AsWaveIn(handle), false)) return MMSYSERR_INVALHANDLE;
    device_call = DeviceCall{};
    device_call.handle = AsWaveIn(handle);
    device_call.header = AsHeader(header);
    device_call.size = size;
    return RunDeviceCall(CallUnprepare, nullptr);
}

uint32_t WaveInClose(WaveInHandle handle) {
    if (WaveCallStuck()) return MMSYSERR_HANDLEBUSY;
    // Closed already, after its caller had stopped waiting: that close is the answer now.
    if (TakeClosedLate(AsWaveIn(handle), true)) return MMSYSERR_NOERROR;
    device_call = DeviceCall{};
    device_call.handle = AsWaveIn(handle);
    return RunDeviceCall(CallClose, ClosedLate);
}
