// Scripted wave-input devices of the headless presenter: the WaveIn* calls of platform.h
// with WinMM's meanings, one 128-frame delivery every 128/44100 s of virtual time, injected
// faults (devices that vanish and return, come and go, deliver short, empty or late), and a
// log of every call for tests.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "platform/portable/backend.h"
#include "platform/portable/core.h"
#include "platform/portable/headless/headless.h"
#include "platform/portable/headless/headless_internal.h"

namespace {

constexpr uint32_t RATE = 44100;
constexpr uint32_t FRAMES_PER_DELIVERY = 128;
constexpr uint32_t BYTES_PER_DELIVERY = FRAMES_PER_DELIVERY * 4;
constexpr uint32_t CALLBACK_TYPE_MASK = 0x00070000;
constexpr uint32_t ALL_16_BIT_FORMATS = 0x00000FFF;  // every rate and layout of 8/16-bit PCM

struct Device {
    HeadlessDevice config;
    bool present = true;   // listed; false once removed
};

constexpr uintptr_t DBT_DEVNODES_CHANGED = 0x0007;

}  // namespace

struct PlatformWaveIn {
    int device = 0;
    uintptr_t callback = 0;
    uint32_t flags = 0;
    bool open = true;
    bool started = false;
    bool dead = false;              // its device went away: it never records again
    uint64_t started_at_us = 0;
    uint64_t first_frame = 0;       // signal frame of the first delivery of this start
    uint64_t deliveries = 0;        // made since the start
    std::deque<WaveHeader*> queue;
};

namespace {

std::vector<Device> g_devices;
std::vector<std::unique_ptr<PlatformWaveIn>> g_handles;  // kept after closing: stale handles stay recognisable
std::vector<HeadlessWaveCall> g_calls;
bool g_mapper_caps_readable = true;
uint64_t g_delivered = 0;
uint64_t g_lost = 0;
uint64_t g_held_header_reuse = 0;
bool g_logging = true;
bool g_reuse_handles = false;

uint64_t Now() { return BackendNowMicros(); }

bool Vanished(int device) {
    double at = g_devices[device].config.vanish_at_ms;
    return at >= 0 && (double)Now() >= at * 1000.0;
}

// The device (slot in g_devices) that device id `id` names now: ids count present devices.
int SlotOfId(uintptr_t id) {
    uintptr_t seen = 0;
    for (size_t slot = 0; slot < g_devices.size(); ++slot) {
        if (!g_devices[slot].present) continue;
        if (seen++ == id) return (int)slot;
    }
    return -1;
}

// The system's default input: the first present device that works.
int DefaultSlot() {
    for (size_t slot = 0; slot < g_devices.size(); ++slot)
        if (g_devices[slot].present && !Vanished((int)slot)) return (int)slot;
    return -1;
}

uint32_t PresentCount() {
    uint32_t count = 0;
    for (const Device& d : g_devices) count += d.present ? 1 : 0;
    return count;
}

bool Silent(const PlatformWaveIn& h) { return h.dead || Vanished(h.device); }

// Whether any handle, closed ones aside, still holds `header` in its queue.
bool HeldByAnyHandle(const WaveHeader* header) {
    for (auto& h : g_handles) {
        if (!h->open) continue;
        for (WaveHeader* queued : h->queue)
            if (queued == header) return true;
    }
    return false;
}

// WM_DEVICECHANGE, as the system sends it to top-level windows when devices come and go.
void AnnounceDeviceChange() {
    WindowRef top = FirstTopLevel();
    if (top) PostWindowMessage(top, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

// Handles on `slot` lose their device for good.
void KillHandles(int slot) {
    for (auto& h : g_handles)
        if (h->open && h->device == slot) {
            h->dead = true;
            h->started = false;
        }
}

PlatformWaveIn* Find(WaveInHandle handle) {
    for (auto& h : g_handles)
        if (h.get() == handle) return h->open ? h.get() : nullptr;
    return nullptr;
}

uint32_t Log(HeadlessWaveCall call) {
    call.time_ms = Now() / 1000.0;
    if (g_logging) g_calls.push_back(call);
    return call.result;
}

HeadlessWaveCall Call(const char* name, WaveInHandle handle, uint32_t result) {
    HeadlessWaveCall call;
    call.call = name;
    call.handle = handle;
    call.result = result;
    return call;
}

uint64_t DeliveryDue(const PlatformWaveIn& h) {
    uint64_t k = h.deliveries + 1;
    uint64_t due = h.started_at_us + (k * FRAMES_PER_DELIVERY * 1000000ull + RATE - 1) / RATE;
    // A late device holds everything back, then catches up at once.
    double late_until = g_devices[h.device].config.late_until_ms;
    if (late_until > 0) due = std::max(due, (uint64_t)std::llround(late_until * 1000.0));
    return due;
}

void Notify(const PlatformWaveIn& h, uint32_t message, intptr_t lparam) {
    if ((h.flags & CALLBACK_TYPE_MASK) == CALLBACK_WINDOW && h.callback)
        PostWindowMessage((WindowRef)h.callback, message, (uintptr_t)&h, lparam);
}

void SignalFrame(const HeadlessDevice& config, uint64_t frame, int16_t* left, int16_t* right) {
    *left = *right = 0;
    if (config.signal) {
        config.signal(frame, *left, *right);
    } else if (config.pcm.size() >= 2) {
        size_t frames = config.pcm.size() / 2;
        size_t at = (size_t)(frame % frames) * 2;
        *left = config.pcm[at];
        *right = config.pcm[at + 1];
    }
}

void Deliver(PlatformWaveIn& h) {
    uint64_t first = h.first_frame + h.deliveries * FRAMES_PER_DELIVERY;
    ++h.deliveries;
    if (h.queue.empty()) {
        ++g_lost;  // no buffer to fill: the sound is lost, as with a real driver
        return;
    }
    WaveHeader* header = h.queue.front();
    h.queue.pop_front();
    const HeadlessDevice& config = g_devices[h.device].config;
    uint8_t block[BYTES_PER_DELIVERY];
    if (!config.signal && config.pcm.size() >= 2) {
        // Recorded sound is copied a stretch at a time (the instruction counts of a running
        // program should show the program's work, not the making of its test sound).
        const size_t frames = config.pcm.size() / 2;
        size_t at = (size_t)(first % frames);
        for (uint32_t done = 0; done < FRAMES_PER_DELIVERY;) {
            const uint32_t n = (uint32_t)std::min<size_t>(FRAMES_PER_DELIVERY - done, frames - at);
            std::memcpy(block + done * 4, config.pcm.data() + at * 2, (size_t)n * 4);
            done += n;
            at = 0;
        }
    } else {
        for (uint32_t i = 0; i < FRAMES_PER_DELIVERY; ++i) {
            int16_t left, right;
            SignalFrame(config, first + i, &left, &right);
            std::memcpy(block + i * 4, &left, 2);
            std::memcpy(block + i * 4 + 2, &right, 2);
        }
    }
    uint32_t bytes = std::min(BYTES_PER_DELIVERY, header->dwBufferLength);
    if (config.short_delivery_bytes) bytes = std::min(bytes, config.short_delivery_bytes);
    if (config.empty_deliveries) bytes = 0;
    if (header->lpData) std::memcpy(header->lpData, block, bytes);
    header->dwBytesRecorded = bytes;
    header->dwFlags = (header->dwFlags & ~(uint32_t)WHDR_INQUEUE) | WHDR_DONE;
    ++g_delivered;
    Notify(h, MM_WIM_DATA, (intptr_t)header);
}

bool FormatAccepted(const WaveFormat& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels == 2 && f.nSamplesPerSec == RATE &&
           f.wBitsPerSample == 16 && f.nBlockAlign == 4 && f.nAvgBytesPerSec == RATE * 4;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Clock hooks
// ---------------------------------------------------------------------------------------

namespace {
// When `h` delivers next; UINT64_MAX when it never will (a delivery due before its device
// vanished still comes). The clock and the delivery share this one rule, so a due delivery
// is always made.
uint64_t NextDueOf(const PlatformWaveIn& h) {
    if (!h.open || !h.started || h.dead) return UINT64_MAX;
    uint64_t next = DeliveryDue(h);
    double vanish = g_devices[h.device].config.vanish_at_ms;
    if (vanish >= 0 && (double)next >= vanish * 1000.0) return UINT64_MAX;  // gone before it could deliver
    return next;
}
}  // namespace

uint64_t HeadlessNextDeliveryDue() {
    uint64_t due = UINT64_MAX;
    for (auto& h : g_handles) due = std::min(due, NextDueOf(*h));
    return due;
}

bool HeadlessRunOneDueDelivery(uint64_t now) {
    PlatformWaveIn* first = nullptr;
    uint64_t first_due = UINT64_MAX;
    for (auto& h : g_handles) {
        const uint64_t due = NextDueOf(*h);
        if (due <= now && due < first_due) {
            first = h.get();
            first_due = due;
        }
    }
    if (!first) return false;
    Deliver(*first);
    return true;
}

void HeadlessResetWaveIn() {
    g_devices.clear();
    g_handles.clear();
    g_calls.clear();
    g_mapper_caps_readable = true;
    g_delivered = 0;
    g_lost = 0;
    g_held_header_reuse = 0;
    g_logging = true;
    g_reuse_handles = false;
}

// ---------------------------------------------------------------------------------------
// headless.h: devices and the log
// ---------------------------------------------------------------------------------------

int HeadlessAddDevice(const HeadlessDevice& device) {
    g_devices.push_back(Device{device, true});
    AnnounceDeviceChange();
    return (int)g_devices.size() - 1;
}

void HeadlessRemoveDevice(int key) {
    if (key < 0 || key >= (int)g_devices.size() || !g_devices[key].present) return;
    g_devices[key].present = false;
    KillHandles(key);
    AnnounceDeviceChange();
}

void HeadlessVanishDevice(int key) {
    if (key < 0 || key >= (int)g_devices.size() || Vanished(key)) return;
    g_devices[key].config.vanish_at_ms = Now() / 1000.0;
}

void HeadlessReturnDevice(int key) {
    if (key < 0 || key >= (int)g_devices.size() || !Vanished(key)) return;
    // Handles opened before the loss stay dead; new opens work again.
    KillHandles(key);
    g_devices[key].config.vanish_at_ms = -1;
}

HeadlessDevice* HeadlessDeviceConfig(int key) {
    return key >= 0 && key < (int)g_devices.size() ? &g_devices[key].config : nullptr;
}

bool HeadlessHeaderHeldByDriver(const WaveHeader* header) { return header && HeldByAnyHandle(header); }

uint64_t HeadlessHeldHeaderReuseCount() { return g_held_header_reuse; }

void HeadlessSetWaveCallLogging(bool on) { g_logging = on; }

void HeadlessReuseClosedHandles(bool on) { g_reuse_handles = on; }

void HeadlessSetMapperCapsReadable(bool readable) { g_mapper_caps_readable = readable; }

const std::vector<HeadlessWaveCall>& HeadlessWaveCalls() { return g_calls; }
void HeadlessClearWaveCalls() { g_calls.clear(); }

int HeadlessQueuedBufferCount(WaveInHandle handle) {
    PlatformWaveIn* h = Find(handle);
    return h ? (int)h->queue.size() : 0;
}

int HeadlessOpenHandleCount() {
    int count = 0;
    for (auto& h : g_handles) count += h->open ? 1 : 0;
    return count;
}

int HeadlessLiveHandleCount() {
    int count = 0;
    for (auto& h : g_handles) count += h->open && !Silent(*h) ? 1 : 0;
    return count;
}

uint64_t HeadlessDeliveredCount() { return g_delivered; }
uint64_t HeadlessLostDeliveryCount() { return g_lost; }

HeadlessSignal HeadlessSineSignal(double hz, double left_amplitude, double right_amplitude) {
    return [hz, left_amplitude, right_amplitude](uint64_t frame, int16_t& left, int16_t& right) {
        double phase = 2.0 * 3.14159265358979323846 * hz * (double)frame / RATE;
        double s = std::sin(phase);
        left = (int16_t)std::lround(std::max(-32768.0, std::min(32767.0, s * left_amplitude)));
        right = (int16_t)std::lround(std::max(-32768.0, std::min(32767.0, s * right_amplitude)));
    };
}

bool HeadlessLoadWav(const std::string& path, std::vector<int16_t>* frames) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file || !frames) {
        if (file) std::fclose(file);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);
    auto u16 = [&](size_t at) { return (uint32_t)bytes[at] | ((uint32_t)bytes[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return false;
    uint32_t channels = 0, bits = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = u32(at + 4);
        size_t body = at + 8;
        if (body + size > bytes.size()) size = (uint32_t)(bytes.size() - body);
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16) {
            if (u16(body) != WAVE_FORMAT_PCM) return false;
            channels = u16(body + 2);
            bits = u16(body + 14);
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (bits != 16 || (channels != 1 && channels != 2)) return false;
            frames->clear();
            for (size_t i = 0; i + 2 * channels <= size; i += 2 * channels) {
                int16_t left = (int16_t)u16(body + i);
                int16_t right = channels == 2 ? (int16_t)u16(body + i + 2) : left;
                frames->push_back(left);
                frames->push_back(right);
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// platform.h: wave input
// ---------------------------------------------------------------------------------------

uint32_t WaveInGetNumDevs() {
    HeadlessWaveCall call = Call("GetNumDevs", nullptr, PresentCount());
    return Log(call);
}

uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size) {
    HeadlessWaveCall call = Call("GetDevCaps", nullptr, MMSYSERR_NOERROR);
    call.device_id = device_id;
    call.size = size;
    bool mapper = device_id == (uintptr_t)WAVE_MAPPER || device_id == UINTPTR_MAX;
    WaveInCaps filled{};
    filled.wMid = 0xFF;
    filled.wPid = 0xFF;
    filled.vDriverVersion = 0x0100;
    filled.dwFormats = ALL_16_BIT_FORMATS;
    filled.wChannels = 2;
    if (!caps || size == 0) {
        call.result = MMSYSERR_INVALPARAM;
    } else if (mapper) {
        if (PresentCount() == 0) call.result = MMSYSERR_BADDEVICEID;
        else if (!g_mapper_caps_readable) call.result = MMSYSERR_ERROR;
        else std::snprintf(filled.szPname, sizeof filled.szPname, "%s", "Default input device");
    } else if (SlotOfId(device_id) < 0) {
        call.result = MMSYSERR_BADDEVICEID;
    } else if (Vanished(SlotOfId(device_id))) {
        call.result = MMSYSERR_NODRIVER;
    } else if (!g_devices[SlotOfId(device_id)].config.caps_readable) {
        call.result = MMSYSERR_ERROR;
    } else {
        std::snprintf(filled.szPname, sizeof filled.szPname, "%s", g_devices[SlotOfId(device_id)].config.name.c_str());
    }
    if (call.result == MMSYSERR_NOERROR) std::memcpy(caps, &filled, std::min<size_t>(size, sizeof filled));
    return Log(call);
}

uint32_t WaveInOpen(WaveInHandle* handle, uint32_t device_id, const WaveFormat* format, uintptr_t callback,
                    uintptr_t instance, uint32_t flags) {
    HeadlessWaveCall call = Call("Open", nullptr, MMSYSERR_NOERROR);
    call.device_id = device_id;
    call.callback = callback;
    call.instance = instance;
    call.flags = flags;
    if (format) {
        call.has_format = true;
        call.format = *format;
    }
    // The mapper opens the default input; with none working, it fails as its device would.
    int device = device_id == WAVE_MAPPER ? DefaultSlot() : SlotOfId(device_id);
    if (device_id == WAVE_MAPPER && device < 0 && PresentCount() > 0) device = SlotOfId(0);
    if (handle) *handle = nullptr;
    if (!handle || !format) call.result = MMSYSERR_INVALPARAM;
    else if (device < 0) call.result = MMSYSERR_BADDEVICEID;
    else if (Vanished(device)) call.result = MMSYSERR_NODRIVER;
    else if (g_devices[device].config.open_fails) call.result = MMSYSERR_ALLOCATED;
    else if (g_devices[device].config.open_busy) call.result = MMSYSERR_HANDLEBUSY;
    else if (!FormatAccepted(*format)) call.result = WAVERR_BADFORMAT;
    if (call.result == MMSYSERR_NOERROR) {
        PlatformWaveIn* h = nullptr;
        if (g_reuse_handles) {
            // As a system whose handles are small numbers: the newest closed one comes back.
            for (auto it = g_handles.rbegin(); it != g_handles.rend() && !h; ++it)
                if (!(*it)->open) h = it->get();
        }
        if (h) {
            *h = PlatformWaveIn{};
        } else {
            g_handles.push_back(std::make_unique<PlatformWaveIn>());
            h = g_handles.back().get();
        }
        h->device = device;
        h->callback = callback;
        h->flags = flags;
        *handle = h;
        call.handle = h;
        Notify(*h, MM_WIM_OPEN, 0);
    }
    return Log(call);
}

namespace {
// The checks every call on a handle starts with; NOERROR when the call may go on.
uint32_t CheckHandle(PlatformWaveIn* h) {
    if (!h) return MMSYSERR_INVALHANDLE;
    if (Silent(*h)) return MMSYSERR_NODRIVER;
    return MMSYSERR_NOERROR;
}

// A program that prepares or queues a header some handle still holds is racing the driver.
void NoteHeldHeader(WaveHeader* header) {
    if (header && HeldByAnyHandle(header)) ++g_held_header_reuse;
}

uint32_t CheckHeader(WaveHeader* header, uint32_t size) {
    if (!header || size < sizeof(WaveHeader)) return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}
}  // namespace

uint32_t WaveInPrepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    PlatformWaveIn* h = Find(handle);
    NoteHeldHeader(header);
    HeadlessWaveCall call = Call("PrepareHeader", handle, CheckHandle(h));
    call.header = header;
    call.size = size;
    if (call.result == MMSYSERR_NOERROR) call.result = CheckHeader(header, size);
    if (call.result == MMSYSERR_NOERROR && !header->lpData) call.result = MMSYSERR_INVALPARAM;
    if (call.result == MMSYSERR_NOERROR) header->dwFlags |= WHDR_PREPARED;
    return Log(call);
}

uint32_t WaveInAddBuffer(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    PlatformWaveIn* h = Find(handle);
    NoteHeldHeader(header);
    HeadlessWaveCall call = Call("AddBuffer", handle, CheckHandle(h));
    call.header = header;
    call.size = size;
    if (call.result == MMSYSERR_NOERROR) call.result = CheckHeader(header, size);
    if (call.result == MMSYSERR_NOERROR && !(header->dwFlags & WHDR_PREPARED)) call.result = WAVERR_UNPREPARED;
    if (call.result == MMSYSERR_NOERROR && (header->dwFlags & WHDR_INQUEUE)) call.result = WAVERR_STILLPLAYING;
    if (call.result == MMSYSERR_NOERROR) {
        header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~(uint32_t)WHDR_DONE;
        header->dwBytesRecorded = 0;
        h->queue.push_back(header);
    }
    return Log(call);
}

uint32_t WaveInStart(WaveInHandle handle) {
    PlatformWaveIn* h = Find(handle);
    HeadlessWaveCall call = Call("Start", handle, CheckHandle(h));
    if (call.result == MMSYSERR_NOERROR && g_devices[h->device].config.start_fails) call.result = MMSYSERR_ERROR;
    if (call.result == MMSYSERR_NOERROR && !h->started) {
        h->started = true;
        h->started_at_us = Now();
        h->first_frame = h->started_at_us * RATE / 1000000ull;
        h->deliveries = 0;
    }
    return Log(call);
}

uint32_t WaveInReset(WaveInHandle handle) {
    PlatformWaveIn* h = Find(handle);
    HeadlessWaveCall call = Call("Reset", handle, CheckHandle(h));
    if (call.result == MMSYSERR_NOERROR) {
        h->started = false;
        // Every queued buffer comes back as done, empty, each with its own message.
        while (!h->queue.empty()) {
            WaveHeader* header = h->queue.front();
            h->queue.pop_front();
            header->dwBytesRecorded = 0;
            header->dwFlags = (header->dwFlags & ~(uint32_t)WHDR_INQUEUE) | WHDR_DONE;
            Notify(*h, MM_WIM_DATA, (intptr_t)header);
        }
    }
    return Log(call);
}

uint32_t WaveInStop(WaveInHandle handle) {
    PlatformWaveIn* h = Find(handle);
    HeadlessWaveCall call = Call("Stop", handle, CheckHandle(h));
    if (call.result == MMSYSERR_NOERROR) h->started = false;
    return Log(call);
}

uint32_t WaveInUnprepareHeader(WaveInHandle handle, WaveHeader* header, uint32_t size) {
    PlatformWaveIn* h = Find(handle);
    HeadlessWaveCall call = Call("UnprepareHeader", handle, CheckHandle(h));
    call.header = header;
    call.size = size;
    if (call.result == MMSYSERR_NOERROR) call.result = CheckHeader(header, size);
    if (call.result == MMSYSERR_NOERROR && (header->dwFlags & WHDR_INQUEUE)) call.result = WAVERR_STILLPLAYING;
    if (call.result == MMSYSERR_NOERROR) header->dwFlags &= ~(uint32_t)WHDR_PREPARED;
    return Log(call);
}

uint32_t WaveInClose(WaveInHandle handle) {
    PlatformWaveIn* h = Find(handle);
    HeadlessWaveCall call = Call("Close", handle, CheckHandle(h));
    if (h && h->dead && (!Vanished(h->device) || !g_devices[h->device].present)) {
        // The device is gone for good (or back as a new one): the handle can be let go, and
        // the driver forgets what it held without telling anyone.
        call.result = MMSYSERR_NOERROR;
        h->queue.clear();
    }
    if (call.result == MMSYSERR_NOERROR && !h->queue.empty()) call.result = WAVERR_STILLPLAYING;
    if (call.result == MMSYSERR_NOERROR) {
        h->started = false;
        h->open = false;
        Notify(*h, MM_WIM_CLOSE, 0);
    }
    return Log(call);
}
