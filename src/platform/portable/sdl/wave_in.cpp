// SDL2 presenter, audio side: the WaveIn* procedures of platform.h with WinMM's meanings, on
// SDL2 audio capture. One device entry per SDL capture device; WAVE_MAPPER is SDL's default.
// SDL's audio thread fills the queued headers and posts MM_WIM_DATA for each full one, in
// order, at once; it wakes the GUI thread for it only when the queue runs low.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/portable/sdl/sdl_presenter.h"

namespace {

constexpr uint32_t CALLBACK_TYPE_MASK = 0x00070000;
constexpr uint32_t CALLBACK_NULL_TYPE = 0x00000000;
constexpr uint32_t FORMAT_QUERY_FLAG = 0x00000001;   // WAVE_FORMAT_QUERY
constexpr uint32_t FORMATS_44K_STEREO_16 = 0x00000800;   // WAVE_FORMAT_4S16

// The one format a device takes as it is; anything else needs conversion, which
// WAVE_FORMAT_DIRECT forbids.
constexpr uint32_t NATIVE_RATE = 44100;
constexpr uint16_t NATIVE_BITS = 16;
constexpr uint16_t NATIVE_CHANNELS = 2;
// 128 frames per SDL callback: one 512-byte buffer per callback at the native format.
constexpr Uint16 SDL_CHUNK_FRAMES = 128;

// A delivery wakes the GUI thread only when fewer buffers than this stay queued: the
// program then has 5 buffers (14.5 ms) left to re-queue it in, while being woken for every
// third delivery instead of each one.
constexpr size_t WAKE_WHEN_QUEUED_BELOW = 6;

struct CaptureDevice {
    uintptr_t id = 0;
    SDL_AudioDeviceID sdl_device = 0;
    WindowRef notify = nullptr;          // null with CALLBACK_NULL
    // Shared with SDL's audio thread: the queued headers (front is being filled).
    std::mutex mutex;
    std::deque<WaveHeader*> queue;
};

// GUI thread only. Handles are serial numbers, never reused, so a stale handle (say in a
// delivery posted before a close) is simply unknown instead of naming a newer device.
std::map<uintptr_t, std::unique_ptr<CaptureDevice>> devices;
uintptr_t next_device_id = 1;

// SDL devices being closed in the background, see WaveInClose.
struct ClosingDevice {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};
std::vector<ClosingDevice> closing_devices;

void JoinClosedDevices(bool all) {
    for (size_t i = 0; i < closing_devices.size();) {
        if (all || closing_devices[i].done->load()) {
            closing_devices[i].thread.join();
            closing_devices.erase(closing_devices.begin() + (long)i);
        } else {
            ++i;
        }
    }
}

CaptureDevice* FindDevice(WaveInHandle handle) {
    auto it = devices.find((uintptr_t)handle);
    return it == devices.end() ? nullptr : it->second.get();
}

WaveInHandle HandleOf(const CaptureDevice* device) {
    return (WaveInHandle)device->id;
}

void Notify(CaptureDevice* device, uint32_t message, WaveHeader* header) {
    if (device->notify)
        PostWindowMessage(device->notify, message, (uintptr_t)HandleOf(device), (intptr_t)header);
}

// Caller holds device->mutex. The header goes back to the program as done.
void HandBack(CaptureDevice* device, WaveHeader* header) {
    header->dwFlags = (header->dwFlags & ~(uint32_t)WHDR_INQUEUE) | WHDR_DONE;
    Notify(device, MM_WIM_DATA, header);
}

// SDL's audio thread. Touches only the queue, the queued buffers and PostWindowMessage.
// SDL's chunk need not match the buffer size, so a buffer may take several calls to fill;
// with nothing queued the sound is dropped, as a real driver drops it.
void SDLCALL CaptureCallback(void* userdata, Uint8* stream, int length) {
    CaptureDevice* device = (CaptureDevice*)userdata;
    std::lock_guard<std::mutex> lock(device->mutex);
    while (length > 0 && !device->queue.empty()) {
        WaveHeader* header = device->queue.front();
        uint32_t room = header->dwBufferLength - header->dwBytesRecorded;
        uint32_t count = std::min<uint32_t>(room, (uint32_t)length);
        std::memcpy(header->lpData + header->dwBytesRecorded, stream, count);
        header->dwBytesRecorded += count;
        stream += count;
        length -= (int)count;
        if (header->dwBytesRecorded == header->dwBufferLength) {
            device->queue.pop_front();
            // Waking the GUI thread costs more than the delivery itself; while enough buffers
            // stay queued, the delivery waits in the message queue for the next time the GUI
            // thread wakes anyway (its redraw timer, or a delivery that cannot wait).
            sdl_wake_can_wait = device->queue.size() >= WAKE_WHEN_QUEUED_BELOW;
            HandBack(device, header);
            sdl_wake_can_wait = false;
        }
    }
}

// PCM only, in shapes SDL can deliver: 8 or 16 bits, mono or stereo, consistent sizes.
bool IsUsablePcm(const WaveFormat& f) {
    if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
    if (f.nChannels != 1 && f.nChannels != 2) return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return false;
    if (f.nSamplesPerSec < 1000 || f.nSamplesPerSec > 192000) return false;
    if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
    return f.nAvgBytesPerSec == f.nSamplesPerSec * f.nBlockAlign;
}

bool IsNativeFormat(const WaveFormat& f) {
    return f.nSamplesPerSec == NATIVE_RATE && f.wBitsPerSample == NATIVE_BITS &&
           f.nChannels == NATIVE_CHANNELS;
}

bool IsMapper(uintptr_t device_id) {
    return device_id == (uintptr_t)WAVE_MAPPER || device_id == (uintptr_t)-1;
}

int CaptureDeviceCount() {
    int n = SDL_GetNumAudioDevices(1);
    return n < 0 ? 0 : n;
}

// Copies a device name into the 32-byte caps field without splitting a UTF-8 character.
void CopyDeviceName(char (&target)[32], const char* name) {
    size_t length = std::strlen(name);
    if (length > sizeof target - 1) {
        length = sizeof target - 1;
        while (length > 0 && ((unsigned char)name[length] & 0xC0) == 0x80) --length;
    }
    std::memcpy(target, name, length);
    target[length] = 0;
}

}  // namespace

uint32_t WaveInGetNumDevs() {
    return (uint32_t)CaptureDeviceCount();
}

uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    int count = CaptureDeviceCount();
    std::string name;
    if (IsMapper(device_id)) {
        if (count == 0) return MMSYSERR_BADDEVICEID;
        name = "Default input device";
    } else {
        if (device_id >= (uintptr_t)count) return MMSYSERR_BADDEVICEID;
        const char* sdl_name = SDL_GetAudioDeviceName((int)device_id, 1);
        if (!sdl_name) return MMSYSERR_BADDEVICEID;
        name = sdl_name;
    }
    SDL_version version;
    SDL_GetVersion(&version);
    WaveInCaps result{};
    result.vDriverVersion = ((uint32_t)version.major << 8) | version.minor;
    CopyDeviceName(result.szPname, name.c_str());
    result.dwFormats = FORMATS_44K_STEREO_16;
    result.wChannels = NATIVE_CHANNELS;
    std::memcpy(caps, &result, std::min<size_t>(size, sizeof result));
    return MMSYSERR_NOERROR;
}

uint32_t WaveInOpen(WaveInHandle* handle, uint32_t device_id, const WaveFormat* format,
                    uintptr_t callback, uintptr_t instance, uint32_t flags) {
    bool query_only = (flags & FORMAT_QUERY_FLAG) != 0;
    if (!format || (!handle && !query_only)) return MMSYSERR_INVALPARAM;
    uint32_t callback_type = flags & CALLBACK_TYPE_MASK;
    if (callback_type != CALLBACK_NULL_TYPE && callback_type != (uint32_t)CALLBACK_WINDOW)
        return MMSYSERR_INVALPARAM;
    if (!IsUsablePcm(*format)) return WAVERR_BADFORMAT;
    if ((flags & WAVE_FORMAT_DIRECT) && !IsNativeFormat(*format)) return WAVERR_BADFORMAT;

    std::string name;
    bool use_default = IsMapper(device_id);
    if (!use_default) {
        if (device_id >= (uint32_t)CaptureDeviceCount()) return MMSYSERR_BADDEVICEID;
        const char* sdl_name = SDL_GetAudioDeviceName((int)device_id, 1);
        if (!sdl_name) return MMSYSERR_BADDEVICEID;
        name = sdl_name;
    }
    if (query_only) return MMSYSERR_NOERROR;

    auto device = std::make_unique<CaptureDevice>();
    device->id = next_device_id;
    device->notify = callback_type == (uint32_t)CALLBACK_WINDOW ? (WindowRef)callback : nullptr;

    // allowed_changes 0: SDL converts whatever the server gives into exactly this.
    SDL_AudioSpec want;
    SDL_zero(want);
    want.freq = (int)format->nSamplesPerSec;
    want.format = format->wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    want.channels = (Uint8)format->nChannels;
    want.samples = SDL_CHUNK_FRAMES;
    want.callback = CaptureCallback;
    want.userdata = device.get();
    SDL_AudioSpec have;
    device->sdl_device =
        SDL_OpenAudioDevice(use_default ? nullptr : name.c_str(), 1, &want, &have, 0);
    if (device->sdl_device == 0) return MMSYSERR_ALLOCATED;

    // SDL opens devices paused: nothing is recorded before WaveInStart.
    ++next_device_id;
    CaptureDevice* opened = device.get();
    devices[opened->id] = std::move(device);
    *handle = HandleOf(opened);
    Notify(opened, MM_WIM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
}

uint32_t WaveInPrepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    if (!FindDevice(handle)) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WaveHeader) || !header->lpData) return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t WaveInAddBuffer(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WaveHeader) || !header->lpData || header->dwBufferLength == 0)
        return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwBytesRecorded = 0;
    header->dwFlags = (header->dwFlags & ~(uint32_t)WHDR_DONE) | WHDR_INQUEUE;
    device->queue.push_back(header);
    return MMSYSERR_NOERROR;
}

uint32_t WaveInStart(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    SDL_PauseAudioDevice(device->sdl_device, 0);
    return MMSYSERR_NOERROR;
}

// Pausing takes SDL's device lock, so once it returns the callback is not running and
// will not run again until the next start.
uint32_t WaveInStop(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    SDL_PauseAudioDevice(device->sdl_device, 1);
    // As WinMM does: a partly filled buffer comes back with what it holds, empty ones stay.
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!device->queue.empty() && device->queue.front()->dwBytesRecorded > 0) {
        WaveHeader* header = device->queue.front();
        device->queue.pop_front();
        HandBack(device, header);
    }
    return MMSYSERR_NOERROR;
}

uint32_t WaveInReset(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    SDL_PauseAudioDevice(device->sdl_device, 1);
    std::lock_guard<std::mutex> lock(device->mutex);
    while (!device->queue.empty()) {
        WaveHeader* header = device->queue.front();
        device->queue.pop_front();
        HandBack(device, header);
    }
    return MMSYSERR_NOERROR;
}

uint32_t WaveInUnprepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WaveHeader)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header->dwFlags &= ~(uint32_t)WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

uint32_t WaveInClose(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    {
        // WinMM refuses to close while the driver still holds buffers.
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->queue.empty()) return WAVERR_STILLPLAYING;
    }
    // Paused under SDL's device lock, the callback does not run again. Closing the SDL device
    // waits for its audio thread, and a PulseAudio capture thread waits for the stream's first
    // data, which a freshly opened monitor source sends only after a second or more; so the
    // close itself goes to a helper thread and the program never stalls on a quick restart.
    SDL_PauseAudioDevice(device->sdl_device, 1);
    Notify(device, MM_WIM_CLOSE, nullptr);
    JoinClosedDevices(false);
    CaptureDevice* closed = devices[device->id].release();
    devices.erase(closed->id);
    auto done = std::make_shared<std::atomic<bool>>(false);
    closing_devices.push_back(ClosingDevice{std::thread([closed, done] {
                                                SDL_CloseAudioDevice(closed->sdl_device);
                                                delete closed;
                                                done->store(true);
                                            }),
                                            done});
    return MMSYSERR_NOERROR;
}

void FinishClosingCaptureDevices() {
    JoinClosedDevices(true);
}
