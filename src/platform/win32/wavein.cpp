// Wave input on WinMM, call for call: WaveInGetNumDevs ... WaveInClose. The seam's records
// are WAVEFORMATEX, WAVEHDR and WAVEINCAPSA byte for byte, so they pass straight through.
// Also MonotonicMicros, the clock the capture engine times its deliveries with.
#include <cstddef>

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

namespace {

HWAVEIN AsWaveIn(WaveInHandle handle) {
    return reinterpret_cast<HWAVEIN>(handle);
}

WAVEHDR* AsHeader(WaveHeader* header) {
    return reinterpret_cast<WAVEHDR*>(header);
}

}  // namespace

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
    return waveInOpen(reinterpret_cast<HWAVEIN*>(handle), device_id, reinterpret_cast<const WAVEFORMATEX*>(format),
                      callback, instance, flags);
}

uint32_t WaveInPrepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    return waveInPrepareHeader(AsWaveIn(handle), AsHeader(header), size);
}

uint32_t WaveInAddBuffer(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    return waveInAddBuffer(AsWaveIn(handle), AsHeader(header), size);
}

uint32_t WaveInStart(WaveInHandle handle) {
    return waveInStart(AsWaveIn(handle));
}

uint32_t WaveInReset(WaveInHandle handle) {
    return waveInReset(AsWaveIn(handle));
}

uint32_t WaveInStop(WaveInHandle handle) {
    return waveInStop(AsWaveIn(handle));
}

uint32_t WaveInUnprepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    return waveInUnprepareHeader(AsWaveIn(handle), AsHeader(header), size);
}

uint32_t WaveInClose(WaveInHandle handle) {
    return waveInClose(AsWaveIn(handle));
}
