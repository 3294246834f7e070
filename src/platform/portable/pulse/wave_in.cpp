// The Linux program's wave input: the WaveIn* procedures of platform.h with WinMM's meanings,
// over the recorder chosen at start-up (wave_input.h): the sound server's client, or SDL2's
// capture when no server answered. Here live the handles, the headers and their feed, the
// device list as the program last read it, WM_DEVICECHANGE, and the delivery counts that
// KORVELT_CAPTURE_STATS prints.
//
// Every call is made on the GUI thread and returns at once; the recorders' threads come in only
// through CaptureBatch (the sound) and PostDeviceChange.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/portable/backend.h"
#include "platform/portable/pulse/wave_input.h"
#include "platform/portable/sdl/sdl_presenter.h"

#ifndef WM_DEVICECHANGE
#define WM_DEVICECHANGE 0x0219
#endif
#ifndef DBT_DEVNODES_CHANGED
#define DBT_DEVNODES_CHANGED 0x0007
#endif

namespace {

constexpr uint32_t CALLBACK_TYPE_MASK = 0x00070000;
constexpr uint32_t CALLBACK_NULL_TYPE = 0x00000000;
constexpr uint32_t FORMAT_QUERY_FLAG = 0x00000001;       // WAVE_FORMAT_QUERY
constexpr uint32_t FORMATS_44K_STEREO_16 = 0x00000800;   // WAVE_FORMAT_4S16

// The one format a device takes as it is; anything else needs conversion, which
// WAVE_FORMAT_DIRECT forbids.
constexpr uint32_t NATIVE_RATE = 44100;
constexpr uint16_t NATIVE_BITS = 16;
constexpr uint16_t NATIVE_CHANNELS = 2;

// A period's deliveries wake the GUI thread only when fewer buffers than this stay queued:
// the program then still has 5 buffers (14.5 ms) to give one back in, and with short periods
// it is woken for every third delivery instead of each one. A period that uses up the
// buffers wakes it once, for all of its deliveries.
constexpr size_t WAKE_WHEN_QUEUED_BELOW = 6;

// How long ChooseSdlCapture waits for the sound server's first answer. A live server answers in
// a few milliseconds; a missing one is known at once. Only a server that is stopped or badly
// overloaded at start-up takes longer, and then the window comes up with an empty list that
// fills when the server answers.
constexpr int CHOOSE_WAIT_MS = 500;

uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Totals over every device, for KORVELT_CAPTURE_STATS.
struct CaptureTotals {
    std::atomic<uint64_t> deliveries{0};
    std::atomic<uint64_t> bytes_lost{0};
    std::atomic<uint64_t> first_delivery_us{0};
    std::atomic<uint64_t> last_delivery_us{0};
    std::atomic<uint64_t> device_changes{0};   // WM_DEVICECHANGE posted
    std::atomic<uint64_t> wakes{0};            // wake-ups of the GUI thread for deliveries
};
CaptureTotals totals;

struct WaveInput {
    // Set once by ChooseSdlCapture; the server's client takes over from SDL when a server
    // answers later (see CurrentRecorder).
    bool sdl_chosen = false;
    bool chosen = false;
    // Handles are serial numbers, never reused, so a stale handle (say in a delivery posted
    // before a close) is simply unknown instead of naming a newer device.
    std::map<uintptr_t, std::shared_ptr<CaptureDevice>> devices;
    uintptr_t next_id = 1;
    // The devices as of the last WaveInGetNumDevs, and whose they were: device id k is
    // listed[k] until the program asks for the count again, so a list it has built keeps
    // meaning the same devices.
    std::vector<ListedDevice> listed;
    CaptureRecorder* listed_by = nullptr;
    bool listed_taken = false;
};
WaveInput input;

// Where WM_DEVICECHANGE goes: the window last given as callback, else the first top level.
std::atomic<WindowRef> device_change_window{nullptr};

// What records now. SDL2's capture only when it was chosen at start-up and no server has
// answered since: a server that comes up later takes over (its list then replaces SDL's, and
// the program reopens its input on it); once the server's client records, it stays, and after
// the server goes away it waits for it to return rather than taking the sound card from it.
CaptureRecorder* CurrentRecorder() {
    CaptureRecorder* server = SoundServerRecorder();
    if (!input.chosen) ChooseSdlCapture();
    if (input.sdl_chosen && server && SoundServerAnswered()) input.sdl_chosen = false;
    if (input.sdl_chosen || !server) return SdlRecorder();
    return server;
}

CaptureDevice* FindDevice(WaveInHandle handle) {
    auto it = input.devices.find((uintptr_t)handle);
    return it == input.devices.end() ? nullptr : it->second.get();
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

// Caller holds device->mutex; adds what the feed did since `before` to the totals.
void CountDeliveries(const CaptureFeed& feed, uint64_t filled_before, uint64_t lost_before) {
    uint64_t filled = feed.headers_filled - filled_before;
    uint64_t lost = feed.bytes_lost - lost_before;
    if (lost) totals.bytes_lost.fetch_add(lost);
    if (!filled) return;
    totals.deliveries.fetch_add(filled);
    uint64_t now = NowMicros();
    uint64_t expected = 0;
    totals.first_delivery_us.compare_exchange_strong(expected, now);
    totals.last_delivery_us.store(now);
}

// PCM only, in shapes the recorders can deliver: 8 or 16 bits, mono or stereo, consistent sizes.
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

void TakeDeviceList() {
    CaptureRecorder* recorder = CurrentRecorder();
    input.listed = recorder ? recorder->Devices() : std::vector<ListedDevice>{};
    input.listed_by = recorder;
    input.listed_taken = true;
    if (!device_change_window.load()) device_change_window.store(FirstTopLevel());
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

// ---- what the recorders call -----------------------------------------------------------------

CaptureBatch::CaptureBatch(CaptureDevice& device)
    : device_(device), lock_(device.mutex), filled_before_(device.feed.headers_filled),
      lost_before_(device.feed.bytes_lost) {
    // Each delivery is posted without waking the GUI thread; the destructor wakes it once.
    sdl_wake_can_wait = true;
}

void CaptureBatch::Add(const uint8_t* data, size_t length) {
    if (!device_.started || device_.closed || length == 0) return;
    CaptureDevice* device = &device_;
    auto hand_back = [device](WaveHeader* h) { HandBack(device, h); };
    if (data) {
        FeedCapturedSound(device_.feed, data, length, hand_back);
        return;
    }
    // Silence: zero for 16-bit samples, 128 for unsigned 8-bit ones.
    uint8_t silence[1024];
    std::memset(silence, device_.format.wBitsPerSample == 8 ? 0x80 : 0, sizeof silence);
    while (length > 0) {
        size_t part = std::min(length, sizeof silence);
        FeedCapturedSound(device_.feed, silence, part, hand_back);
        length -= part;
    }
}

CaptureBatch::~CaptureBatch() {
    sdl_wake_can_wait = false;
    const CaptureFeed& feed = device_.feed;
    bool wake = feed.headers_filled != filled_before_ && feed.queue.size() < WAKE_WHEN_QUEUED_BELOW;
    CountDeliveries(feed, filled_before_, lost_before_);
    lock_.unlock();
    if (wake) {
        totals.wakes.fetch_add(1);
        BackendWake();
    }
}

void PostDeviceChange() {
    WindowRef target = device_change_window.load();
    if (target && PostWindowMessage(target, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0))
        totals.device_changes.fetch_add(1);
}

bool ChooseSdlCapture() {
    if (input.chosen) return input.sdl_chosen;
    input.chosen = true;
    CaptureRecorder* server = SoundServerRecorder();
    if (!server) {
        input.sdl_chosen = true;
    } else {
        // Either the first attempt to connect ended (answered, or no server there at all), or
        // something listens but does not answer yet: a server all the same.
        bool ended = WaitForSoundServer(CHOOSE_WAIT_MS);
        input.sdl_chosen = ended && !SoundServerAnswered();
    }
    return input.sdl_chosen;
}

// ---- the seam ----------------------------------------------------------------------------------

uint32_t WaveInGetNumDevs() {
    TakeDeviceList();
    return (uint32_t)input.listed.size();
}

uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    if (!input.listed_taken) TakeDeviceList();
    std::string name;
    if (IsMapper(device_id)) {
        if (input.listed.empty()) return MMSYSERR_BADDEVICEID;
        name = "Default input device";
    } else {
        if (device_id >= input.listed.size()) return MMSYSERR_BADDEVICEID;
        name = input.listed[device_id].description;
    }
    WaveInCaps result{};
    result.vDriverVersion = input.listed_by ? input.listed_by->DriverVersion() : 0;
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

    if (!input.listed_taken) TakeDeviceList();
    CaptureRecorder* recorder = CurrentRecorder();
    if (!recorder) return MMSYSERR_NODRIVER;
    // The device must be there now, not only when the list was made: a device that has gone
    // fails here at once, and opens again as soon as it is back. An id of a list another
    // recorder made names nothing here.
    std::vector<ListedDevice> present = recorder->Devices();
    bool use_default = IsMapper(device_id);
    std::string name;
    if (use_default) {
        if (present.empty()) return MMSYSERR_BADDEVICEID;
    } else {
        if (device_id >= input.listed.size() || input.listed_by != recorder) return MMSYSERR_BADDEVICEID;
        name = input.listed[device_id].name;
        bool there = std::any_of(present.begin(), present.end(),
                                 [&](const ListedDevice& d) { return d.name == name; });
        if (!there) return MMSYSERR_BADDEVICEID;
    }
    if (query_only) return MMSYSERR_NOERROR;

    std::shared_ptr<CaptureDevice> device = recorder->NewDevice();
    device->notify = callback_type == (uint32_t)CALLBACK_WINDOW ? (WindowRef)callback : nullptr;
    device->format = *format;
    device->name = name;
    device->use_default = use_default;
    device->recorder = recorder;
    uint32_t opened = recorder->Open(device);
    if (opened != MMSYSERR_NOERROR) return opened;

    device->id = input.next_id++;
    if (device->notify) device_change_window.store(device->notify);
    input.devices[device->id] = device;
    *handle = HandleOf(device.get());
    Notify(device.get(), MM_WIM_OPEN, nullptr);
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
    // Sound that waited for a buffer goes into this one now.
    CaptureFeed& feed = device->feed;
    uint64_t filled_before = feed.headers_filled, lost_before = feed.bytes_lost;
    QueueCaptureHeader(feed, header, [device](WaveHeader* h) { HandBack(device, h); });
    CountDeliveries(feed, filled_before, lost_before);
    return MMSYSERR_NOERROR;
}

uint32_t WaveInStart(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (!device->started) ClearCaptureFifo(device->feed);
    device->started = true;
    return MMSYSERR_NOERROR;
}

// Once the device lock is released the recorder keeps nothing more until the next start.
uint32_t WaveInStop(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->started = false;
    ClearCaptureFifo(device->feed);
    // As WinMM does: a partly filled buffer comes back with what it holds, empty ones stay.
    std::deque<WaveHeader*>& queue = device->feed.queue;
    if (!queue.empty() && queue.front()->dwBytesRecorded > 0) {
        WaveHeader* header = queue.front();
        queue.pop_front();
        HandBack(device, header);
    }
    return MMSYSERR_NOERROR;
}

uint32_t WaveInReset(WaveInHandle handle) {
    CaptureDevice* device = FindDevice(handle);
    if (!device) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->started = false;
    ClearCaptureFifo(device->feed);
    for (WaveHeader* header : TakeCaptureHeaders(device->feed)) HandBack(device, header);
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
    auto it = input.devices.find((uintptr_t)handle);
    if (it == input.devices.end()) return MMSYSERR_INVALHANDLE;
    std::shared_ptr<CaptureDevice> device = it->second;
    {
        // WinMM refuses to close while the driver still holds buffers.
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->feed.queue.empty()) return WAVERR_STILLPLAYING;
        device->started = false;
        device->closed = true;
    }
    Notify(device.get(), MM_WIM_CLOSE, nullptr);
    input.devices.erase(it);
    // The recorder that opened it ends its recording; the feed already keeps nothing, so the
    // program is done with it now.
    device->recorder->Close(device);
    return MMSYSERR_NOERROR;
}

bool FinishClosingCaptureDevices() {
    if (std::getenv("KORVELT_CAPTURE_STATS")) {
        uint64_t count = totals.deliveries.load();
        uint64_t first = totals.first_delivery_us.load(), last = totals.last_delivery_us.load();
        double seconds = last > first ? (double)(last - first) / 1e6 : 0.0;
        double rate = seconds > 0 ? (double)(count > 0 ? count - 1 : 0) / seconds : 0.0;
        std::fprintf(stderr,
                     "korvelt capture: %llu deliveries in %.3f s, %.2f per second, %llu bytes lost, %llu device changes\n",
                     (unsigned long long)count, seconds, rate, (unsigned long long)totals.bytes_lost.load(),
                     (unsigned long long)totals.device_changes.load());
        CaptureRecorder* recorder = input.chosen ? CurrentRecorder() : nullptr;
        double wakes = seconds > 0 ? (double)totals.wakes.load() / seconds : 0.0;
        std::fprintf(stderr, "korvelt capture path: %s; %.1f wake-ups per second\n",
                     recorder ? recorder->Describe().c_str() : "none", wakes);
    }
    bool finished = true;
    for (CaptureRecorder* recorder : {SoundServerRecorder(), SdlRecorder()})
        if (recorder && !recorder->Finish()) finished = false;
    return finished;
}
