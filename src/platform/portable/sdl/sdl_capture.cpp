// SDL2 audio capture as a recorder of the Linux wave input (pulse/wave_input.h): what the program
// records with when no sound server answered at start-up (ALSA or JACK only, or another system
// SDL runs on). One device entry per SDL capture device; the mapper is SDL's default device.
//
// Three threads meet here. The GUI thread makes the recorder's calls. SDL's audio thread of each
// open device hands its periods to the wave input (CaptureBatch), waking the GUI thread once per
// period. One worker thread of ours makes every SDL_OpenAudioDevice and SDL_CloseAudioDevice
// call, one at a time: SDL2 cannot open and close devices from two threads at once, and a close
// can block for as long as a sound server does not answer, which the GUI thread must never do.
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/portable/pulse/wave_input.h"

namespace {

// Frames per period asked of SDL. Each wake-up of the sound system, of SDL's audio thread and
// of our GUI thread costs about the same however much sound it carries, so longer periods are
// cheaper; but the display must stay within about 50 ms of the sound. Measured through a sound
// server (a tone playing into a null sink, its monitor recorded; medians) the server spent
// above its idle +2.9 % of a core at 128 frames (2.9 ms), +2.5 % at 256, +1.25 % at 512,
// +0.95 % at 1024 (23.2 ms), and SDL's audio thread 1.1 % at 128 frames against 0.35 % at 1024.
// 1024 frames is the longest period whose sound still fits the program's eight 512-byte buffers
// in one go, so in steady state nothing waits in the FIFO and the display is at most one period
// plus one tick behind the sound.
constexpr Uint16 SDL_PERIOD_FRAMES = 1024;

// Sound that finds no queued buffer waits in a FIFO of one period, and at least of what the
// eight buffers hold (23 ms); older sound makes room for newer, so the delay stays bounded.
constexpr uint32_t FIFO_PERIODS = 1;
constexpr size_t FIFO_MIN_BYTES = 8 * 512;

// How long an open waits for the worker (a pending close, then the open itself). A live
// system opens a stream in a few milliseconds and closes a running one within a period; past
// this it is stopped or hung, and the open fails (busy) instead of freezing the window.
constexpr int OPEN_WAIT_MS = 400;
// How long the exit waits for closes still in flight before leaving them to the process end.
constexpr int EXIT_WAIT_MS = 300;

uint64_t NowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct SdlDevice : CaptureDevice {
    SDL_AudioSpec want{};
    std::atomic<SDL_AudioDeviceID> sdl_device{0};
    // SDL reported the device gone (unplugged, the server died, the stream failed): it
    // delivers nothing more, though SDL may go on calling back with silence.
    std::atomic<bool> lost{false};
};

// ---- the worker: every SDL open and close ------------------------------------------------

struct AudioJob {
    enum Kind { OPEN, CLOSE } kind = OPEN;
    std::shared_ptr<SdlDevice> device;
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

// SDL's audio thread. Touches only the device record, the queued buffers and the posting
// of messages (through CaptureBatch).
void SDLCALL CaptureCallback(void* userdata, Uint8* stream, int length) {
    SdlDevice* device = (SdlDevice*)userdata;
    SDL_AudioDeviceID id = device->sdl_device.load();
    if (id != 0 && SDL_GetAudioDeviceStatus(id) == SDL_AUDIO_STOPPED) device->lost.store(true);
    if (device->lost.load() || length <= 0) return;
    CaptureBatch batch(*device);
    batch.Add(stream, (size_t)length);
}

// Opens `device`'s SDL stream (worker only) and starts it; 0 when SDL cannot.
SDL_AudioDeviceID OpenStream(SdlDevice& device) {
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
    // The open stopped waiting and already reported failure: nobody will close it.
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

// SDL's hot-plug and audio threads, with SDL's device lock held: no SDL audio calls here.
int SDLCALL WatchAudioDevices(void*, SDL_Event* event) {
    if (event->type != SDL_AUDIODEVICEADDED && event->type != SDL_AUDIODEVICEREMOVED) return 1;
    if (event->adevice.iscapture) PostDeviceChange();
    return 1;
}

class SdlCapture : public CaptureRecorder {
public:
    // SDL's capture devices as they are now (SDL keeps the list up to date on hot-plug events).
    std::vector<ListedDevice> Devices() override {
        if (!watching_) {
            watching_ = true;
            SDL_AddEventWatch(WatchAudioDevices, nullptr);
        }
        std::vector<ListedDevice> devices;
        int count = SDL_GetNumAudioDevices(1);
        for (int i = 0; i < count; ++i) {
            const char* name = SDL_GetAudioDeviceName(i, 1);
            devices.push_back(ListedDevice{name ? name : "", name ? name : ""});
        }
        return devices;
    }

    std::shared_ptr<CaptureDevice> NewDevice() override { return std::make_shared<SdlDevice>(); }

    uint32_t Open(const std::shared_ptr<CaptureDevice>& opened) override {
        auto device = std::static_pointer_cast<SdlDevice>(opened);
        const WaveFormat& format = device->format;
        // allowed_changes 0: SDL converts whatever the system gives into exactly this.
        SDL_zero(device->want);
        device->want.freq = (int)format.nSamplesPerSec;
        device->want.format = format.wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
        device->want.channels = (Uint8)format.nChannels;
        device->want.samples = SDL_PERIOD_FRAMES;
        SetCaptureFifoCapacity(device->feed, std::max(FIFO_MIN_BYTES, (size_t)SDL_PERIOD_FRAMES * format.nBlockAlign * FIFO_PERIODS));
        auto job = std::make_shared<AudioJob>();
        job->kind = AudioJob::OPEN;
        job->device = device;
        bool busy = false;
        if (OpenOnWorker(job, &busy) == 0) return busy ? MMSYSERR_HANDLEBUSY : MMSYSERR_ALLOCATED;
        return MMSYSERR_NOERROR;
    }

    // The SDL device is closed by the worker, which may have to wait a while for the system.
    void Close(const std::shared_ptr<CaptureDevice>& device) override {
        auto job = std::make_shared<AudioJob>();
        job->kind = AudioJob::CLOSE;
        job->device = std::static_pointer_cast<SdlDevice>(device);
        QueueJob(Worker(), std::move(job));
    }

    bool Finish() override {
        if (watching_) {
            SDL_DelEventWatch(WatchAudioDevices, nullptr);
            watching_ = false;
        }
        if (!worker) return true;
        AudioWorker& w = *worker;
        std::unique_lock<std::mutex> lock(w.mutex);
        // A close that has not ended by now waits on a server that does not answer; the process
        // end takes care of it.
        return w.finished.wait_for(lock, std::chrono::milliseconds(EXIT_WAIT_MS),
                                   [&] { return w.jobs.empty() && !w.busy; });
    }

    uint32_t DriverVersion() override {
        SDL_version version;
        SDL_GetVersion(&version);
        return ((uint32_t)version.major << 8) | version.minor;
    }

    std::string Describe() override {
        const char* driver = SDL_GetCurrentAudioDriver();
        return std::string("SDL2 capture (") + (driver ? driver : "no driver") + "), periods of " +
               std::to_string(SDL_PERIOD_FRAMES) + " frames";
    }

private:
    bool watching_ = false;
};

}  // namespace

CaptureRecorder* SdlRecorder() {
    static SdlCapture recorder;
    return &recorder;
}
