// SDL2 presenter, audio side: the WaveIn* procedures of platform.h with WinMM's meanings, on
// SDL2 audio capture. One device entry per SDL capture device; WAVE_MAPPER is SDL's default.
//
// Three threads meet here. The GUI thread makes every WaveIn* call. SDL's audio thread of each
// open device cuts the sound into the queued headers (capture_feed.h) and posts MM_WIM_DATA
// for each full one, waking the GUI thread once per period. One worker thread of ours makes
// every SDL_OpenAudioDevice and SDL_CloseAudioDevice call, one at a time: SDL2 cannot open and
// close devices from two threads at once, and a close can block for as long as the sound
// server does not answer (forever while it is stopped), which the GUI thread must never do.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "platform/portable/backend.h"
#include "platform/portable/sdl/capture_feed.h"
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
constexpr uint32_t FORMAT_QUERY_FLAG = 0x00000001;   // WAVE_FORMAT_QUERY
constexpr uint32_t FORMATS_44K_STEREO_16 = 0x00000800;   // WAVE_FORMAT_4S16

// The one format a device takes as it is; anything else needs conversion, which
// WAVE_FORMAT_DIRECT forbids.
constexpr uint32_t NATIVE_RATE = 44100;
constexpr uint16_t NATIVE_BITS = 16;
constexpr uint16_t NATIVE_CHANNELS = 2;

// Frames per period asked of the sound server. Each wake-up of the server, of SDL's audio
// thread and of our GUI thread costs about the same however much sound it carries, so longer
// periods are cheaper; but the display must stay within about 50 ms of the sound. Measured
// with tests/e2e/measure-cpu.sh (a tone playing into a null sink, its monitor recorded;
// medians), the server spent above its idle: +2.9 % of a core at 128 frames (2.9 ms), +2.5 % at
// 256, +1.25 % at 512, +0.95 % at 1024 (23.2 ms), and SDL's audio thread 1.1 % at 128 frames
// against 0.35 % at 1024. 1024 frames is the longest period whose sound still fits the
// program's eight 512-byte buffers in one go, so in steady state nothing waits in the FIFO and
// the display is at most one period plus one tick behind the sound. Periods of 256 frames or
// more need the sound server to hand its fragments over one at a time, or SDL falls behind
// (see PrepareSoundServerClient).
constexpr Uint16 SDL_PERIOD_FRAMES = 1024;

// Sound that finds no queued buffer waits in a FIFO of one period, and at least of what the
// eight buffers hold (23 ms); older sound makes room for newer, so the delay stays bounded.
constexpr uint32_t FIFO_PERIODS = 1;
constexpr size_t FIFO_MIN_BYTES = 8 * 512;

// A period's deliveries wake the GUI thread only when fewer buffers than this stay queued:
// the program then still has 5 buffers (14.5 ms) to give one back in, and with short periods
// it is woken for every third delivery instead of each one. A period that uses up the
// buffers wakes it once, for all of its deliveries.
constexpr size_t WAKE_WHEN_QUEUED_BELOW = 6;

// How long WaveInOpen waits for the worker (a pending close, then the open itself). A live
// server opens a stream in a few milliseconds and closes a running one within a period; past
// this the server is stopped or hung, and the open fails (busy) instead of freezing the window.
constexpr int OPEN_WAIT_MS = 400;
// How long the exit waits for closes still in flight before leaving them to the process end.
constexpr int EXIT_WAIT_MS = 300;


uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct CaptureDevice {
    uintptr_t id = 0;
    WindowRef notify = nullptr;          // null with CALLBACK_NULL
    uint32_t block_align = 4;
    uint64_t bytes_per_second = 176400;
    // What to open: SDL's name (empty for the default device) and the format asked of SDL.
    std::string name;
    bool use_default = false;
    SDL_AudioSpec want{};
    std::atomic<SDL_AudioDeviceID> sdl_device{0};
    // SDL reported the device gone (unplugged, the server died, the stream failed): it
    // delivers nothing more, though SDL may go on calling back with silence.
    std::atomic<bool> lost{false};
    // Shared with SDL's audio thread.
    std::mutex mutex;
    CaptureFeed feed;
    bool started = false;                // between WaveInStart and WaveInStop / WaveInReset
    bool closed = false;                 // WaveInClose was called: post nothing more
};

// Totals over every device, for KORVELT_CAPTURE_STATS.
struct CaptureTotals {
    std::atomic<uint64_t> deliveries{0};
    std::atomic<uint64_t> bytes_lost{0};
    std::atomic<uint64_t> first_delivery_us{0};
    std::atomic<uint64_t> last_delivery_us{0};
    std::atomic<uint64_t> device_changes{0};   // WM_DEVICECHANGE posted
};
CaptureTotals totals;

// ---- the worker: every SDL open and close ------------------------------------------------

struct AudioJob {
    enum Kind { OPEN, CLOSE } kind = OPEN;
    std::shared_ptr<CaptureDevice> device;
    // OPEN, under AudioWorker::mutex: the outcome, or that nobody waits for it any more.
    bool done = false;
    bool abandoned = false;
    SDL_AudioDeviceID opened = 0;
};

struct AudioWorker {
    std::mutex mutex;
    std::condition_variable wake;        // a job was queued
    std::condition_variable finished;    // a job was finished
    std::deque<std::shared_ptr<AudioJob>> jobs;
    bool busy = false;
    uint64_t busy_since_us = 0;
};

// Made once and never freed: at exit the worker may still be inside SDL waiting for a sound
// server that does not answer, and it must find its state intact whenever it returns.
AudioWorker* worker = nullptr;

void CloseSdlDevice(SDL_AudioDeviceID id) {
    if (id != 0) SDL_CloseAudioDevice(id);
}

void SDLCALL CaptureCallback(void* userdata, Uint8* stream, int length);

// Opens `device`'s SDL stream (worker only) and starts it; 0 when SDL cannot.
SDL_AudioDeviceID OpenStream(CaptureDevice& device) {
    SDL_AudioSpec want = device.want;
    want.callback = CaptureCallback;
    want.userdata = &device;
    SDL_AudioSpec have;
    SDL_AudioDeviceID id =
        SDL_OpenAudioDevice(device.use_default ? nullptr : device.name.c_str(), 1, &want, &have, 0);
    if (id == 0) return 0;
    device.sdl_device.store(id);
    // The stream runs from now on; the callback keeps what it brings only once started, so
    // WaveInStart has its first period within one period and no pause call is needed.
    SDL_PauseAudioDevice(id, 0);
    return id;
}

void RunOpen(AudioWorker& w, AudioJob& job) {
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (job.abandoned) return;
    }
    SDL_AudioDeviceID id = OpenStream(*job.device);
    bool give_up;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        give_up = job.abandoned;
        job.opened = id;
        job.done = true;
    }
    // WaveInOpen stopped waiting and already reported failure: nobody will close it.
    if (give_up) CloseSdlDevice(id);
}

void WorkerLoop(AudioWorker* w) {
    for (;;) {
        std::shared_ptr<AudioJob> job;
        {
            std::unique_lock<std::mutex> lock(w->mutex);
            w->wake.wait(lock, [w] { return !w->jobs.empty(); });
            job = w->jobs.front();
            w->jobs.pop_front();
            w->busy = true;
            w->busy_since_us = NowMicros();
        }
        if (job->kind == AudioJob::OPEN) RunOpen(*w, *job);
        else CloseSdlDevice(job->device->sdl_device.load());
        // The device record goes only after SDL_CloseAudioDevice has ended its audio thread.
        job->device.reset();
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->busy = false;
        }
        w->finished.notify_all();
    }
}

// GUI thread (the first time) or any thread once it exists.
AudioWorker& Worker() {
    if (!worker) {
        worker = new AudioWorker;
        std::thread(WorkerLoop, worker).detach();
    }
    return *worker;
}

void QueueJob(AudioWorker& w, std::shared_ptr<AudioJob> job) {
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.jobs.push_back(std::move(job));
    }
    w.wake.notify_one();
}

// ---- devices and handles (GUI thread) ------------------------------------------------------

// Handles are serial numbers, never reused, so a stale handle (say in a delivery posted
// before a close) is simply unknown instead of naming a newer device.
std::map<uintptr_t, std::shared_ptr<CaptureDevice>> devices;
uintptr_t next_device_id = 1;

// The device names as of the last WaveInGetNumDevs: device id k is listed[k] until the
// program asks for the count again, so a list it has built keeps meaning the same devices.
std::vector<std::string> listed;
bool listed_taken = false;

// Where WM_DEVICECHANGE goes: the window last given as callback, else the first top level.
std::atomic<WindowRef> device_change_window{nullptr};
bool watching_devices = false;

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

// SDL's audio thread. Touches only the device record, the queued buffers and
// PostWindowMessage. A period becomes one or more deliveries; they wait in the message queue
// until one of them wakes the GUI thread (see WAKE_WHEN_QUEUED_BELOW), which then takes them
// all in one go.
void SDLCALL CaptureCallback(void* userdata, Uint8* stream, int length) {
    CaptureDevice* device = (CaptureDevice*)userdata;
    SDL_AudioDeviceID id = device->sdl_device.load();
    if (id != 0 && SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED) device->lost.store(true);
    if (device->lost.load() || length <= 0) return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->started || device->closed) return;
        CaptureFeed& feed = device->feed;
        uint64_t filled_before = feed.headers_filled, lost_before = feed.bytes_lost;
        sdl_wake_can_wait = true;
        FeedCapturedSound(feed, stream, (size_t)length, [device](WaveHeader* h) { HandBack(device, h); });
        sdl_wake_can_wait = false;
        wake = feed.headers_filled != filled_before && feed.queue.size() < WAKE_WHEN_QUEUED_BELOW;
        CountDeliveries(feed, filled_before, lost_before);
    }
    if (wake) BackendWake();
}

// SDL's hot-plug and audio threads, with SDL's device lock held: no SDL audio calls here.
int SDLCALL WatchAudioDevices(void*, SDL_Event* event) {
    if (event->type != SDL_AUDIODEVICEADDED && event->type != SDL_AUDIODEVICEREMOVED) return 1;
    if (!event->adevice.iscapture) return 1;
    WindowRef target = device_change_window.load();
    if (target && PostWindowMessage(target, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0))
        totals.device_changes.fetch_add(1);
    return 1;
}

void WatchDevices() {
    if (watching_devices) return;
    watching_devices = true;
    SDL_AddEventWatch(WatchAudioDevices, nullptr);
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

// SDL's capture devices as they are now (SDL keeps the list up to date on hot-plug events).
std::vector<std::string> CurrentDeviceNames() {
    std::vector<std::string> names;
    int count = SDL_GetNumAudioDevices(1);
    for (int i = 0; i < count; ++i) {
        const char* name = SDL_GetAudioDeviceName(i, 1);
        names.push_back(name ? name : "");
    }
    return names;
}

void TakeDeviceList() {
    listed = CurrentDeviceNames();
    listed_taken = true;
    if (!device_change_window.load()) device_change_window.store(FirstTopLevel());
    WatchDevices();
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

// Runs an open on the worker and waits for it a bounded time. 0 when it failed or took too
// long (then the worker closes it itself once it is done); *busy tells the second case, and
// the one where the worker is still held up by an earlier job, from a refusal.
SDL_AudioDeviceID OpenOnWorker(const std::shared_ptr<AudioJob>& job, bool* busy) {
    AudioWorker& w = Worker();
    std::unique_lock<std::mutex> lock(w.mutex);
    *busy = true;
    // A job that has run this long is waiting on a server that does not answer; queueing
    // behind it would only pile up work. Fail at once; the program tries again later.
    if (w.busy && NowMicros() - w.busy_since_us > (uint64_t)OPEN_WAIT_MS * 1000) return 0;
    for (const auto& queued : w.jobs)
        if (queued->kind == AudioJob::OPEN) return 0;
    w.jobs.push_back(job);
    w.wake.notify_one();
    bool done = w.finished.wait_for(lock, std::chrono::milliseconds(OPEN_WAIT_MS), [&] { return job->done; });
    if (!done) {
        job->abandoned = true;
        return 0;
    }
    *busy = false;
    return job->opened;
}

}  // namespace

void PrepareSoundServerClient() {
#ifdef __linux__
    // SDL2's PulseAudio capture takes at most one fragment per wake-up of its stream. Over
    // shared memory the server hands over several fragments per wake-up whenever something
    // plays into the recorded sink, and at periods of 256 frames or more the sound then piles
    // up in front of SDL: measured 327 deliveries a second at 256 frames, 222 at 512 and 249
    // at 1024 instead of 344.5, the display 3.7 s behind after 14 s. Through the socket every
    // fragment wakes the stream on its own, and SDL keeps pace (344.5 a second at 1024
    // frames); the copy costs the server nothing measurable at 176 kB/s. So the program's own
    // client configuration is the user's (the files the library would read, included in
    // order) with shared memory off, held in memory: nothing is written anywhere.
    if (std::getenv("PULSE_CLIENTCONFIG")) return;   // the user's choice stands
    std::string text = ".include /etc/pulse/client.conf\n";
    if (DIR* dir = opendir("/etc/pulse/client.conf.d")) {
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0) names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) text += ".include /etc/pulse/client.conf.d/" + name + "\n";
    }
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config_home && *config_home) text += ".include " + std::string(config_home) + "/pulse/client.conf\n";
    else if (home && *home) text += ".include " + std::string(home) + "/.config/pulse/client.conf\n";
    text += "enable-shm = no\n";
    int fd = memfd_create("korvelt-pulse-client", 0);
    if (fd < 0) return;
    if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) {
        close(fd);
        return;
    }
    // Kept open for the program's life: the library reads it whenever it connects.
    setenv("PULSE_CLIENTCONFIG", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
#endif
}

uint32_t WaveInGetNumDevs() {
    TakeDeviceList();
    return (uint32_t)listed.size();
}

uint32_t WaveInGetDevCaps(uintptr_t device_id, WaveInCaps* caps, uint32_t size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    if (!listed_taken) TakeDeviceList();
    std::string name;
    if (IsMapper(device_id)) {
        if (listed.empty()) return MMSYSERR_BADDEVICEID;
        name = "Default input device";
    } else {
        if (device_id >= listed.size()) return MMSYSERR_BADDEVICEID;
        name = listed[device_id];
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

    if (!listed_taken) TakeDeviceList();
    // The device must be there now, not only when the list was made: a device that has gone
    // fails here at once, and opens again as soon as it is back.
    std::vector<std::string> present = CurrentDeviceNames();
    std::string name;
    bool use_default = IsMapper(device_id);
    if (use_default) {
        if (present.empty()) return MMSYSERR_BADDEVICEID;
    } else {
        if (device_id >= listed.size()) return MMSYSERR_BADDEVICEID;
        name = listed[device_id];
        if (std::find(present.begin(), present.end(), name) == present.end()) return MMSYSERR_BADDEVICEID;
    }
    if (query_only) return MMSYSERR_NOERROR;

    auto device = std::make_shared<CaptureDevice>();
    device->notify = callback_type == (uint32_t)CALLBACK_WINDOW ? (WindowRef)callback : nullptr;
    device->block_align = format->nBlockAlign;
    device->bytes_per_second = format->nAvgBytesPerSec;
    device->name = name;
    device->use_default = use_default;
    // allowed_changes 0: SDL converts whatever the server gives into exactly this.
    SDL_zero(device->want);
    device->want.freq = (int)format->nSamplesPerSec;
    device->want.format = format->wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    device->want.channels = (Uint8)format->nChannels;
    device->want.samples = SDL_PERIOD_FRAMES;
    SetCaptureFifoCapacity(device->feed, std::max(FIFO_MIN_BYTES, (size_t)SDL_PERIOD_FRAMES * format->nBlockAlign * FIFO_PERIODS));

    auto job = std::make_shared<AudioJob>();
    job->kind = AudioJob::OPEN;
    job->device = device;
    bool busy = false;
    if (OpenOnWorker(job, &busy) == 0) return busy ? MMSYSERR_HANDLEBUSY : MMSYSERR_ALLOCATED;

    device->id = next_device_id++;
    if (device->notify) device_change_window.store(device->notify);
    devices[device->id] = device;
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

// Once the device lock is released the callback keeps nothing more until the next start.
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
    auto it = devices.find((uintptr_t)handle);
    if (it == devices.end()) return MMSYSERR_INVALHANDLE;
    std::shared_ptr<CaptureDevice> device = it->second;
    {
        // WinMM refuses to close while the driver still holds buffers.
        std::lock_guard<std::mutex> lock(device->mutex);
        if (!device->feed.queue.empty()) return WAVERR_STILLPLAYING;
        device->started = false;
        device->closed = true;
    }
    Notify(device.get(), MM_WIM_CLOSE, nullptr);
    devices.erase(it);
    // The SDL device is closed by the worker, which may have to wait a while for the server;
    // the callback already keeps nothing, so the program is done with it now.
    auto job = std::make_shared<AudioJob>();
    job->kind = AudioJob::CLOSE;
    job->device = device;
    QueueJob(Worker(), std::move(job));
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
    }
    if (watching_devices) {
        SDL_DelEventWatch(WatchAudioDevices, nullptr);
        watching_devices = false;
    }
    if (!worker) return true;
    AudioWorker& w = *worker;
    std::unique_lock<std::mutex> lock(w.mutex);
    // A close that has not ended by now waits on a server that does not answer; the process
    // end takes care of it.
    return w.finished.wait_for(lock, std::chrono::milliseconds(EXIT_WAIT_MS),
                               [&] { return w.jobs.empty() && !w.busy; });
}
