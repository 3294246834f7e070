// The Linux program's wave input, in three parts: wave_in.cpp implements the WaveIn* procedures
// of platform.h (handles, headers, the hand-off of each period of sound, the device list the
// program sees) over one of two recorders: the sound server's client (server_capture.cpp), or
// SDL2's capture (sdl/sdl_capture.cpp) when no sound server answered at start-up. This header
// is what the three share, and what main() calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/portable/pulse/capture_feed.h"

class CaptureRecorder;

// One open wave-input device. The GUI thread owns everything but the part under `mutex`, which
// it shares with the recorder's thread; a recorder extends the record with its own fields.
struct CaptureDevice {
    virtual ~CaptureDevice() = default;
    uintptr_t id = 0;                 // the handle: a serial number, never reused
    WindowRef notify = nullptr;       // where MM_WIM_* go; null with CALLBACK_NULL
    WaveFormat format{};              // as opened
    std::string name;                 // the recorder's name of the device; empty for the mapper
    bool use_default = false;         // the wave mapper: the system's default input
    CaptureRecorder* recorder = nullptr;   // the one that records it
    std::mutex mutex;                 // guards the three below
    CaptureFeed feed;
    bool started = false;             // between WaveInStart and WaveInStop / WaveInReset
    bool closed = false;              // WaveInClose was called: nothing more is posted
};

// A device as a recorder lists it.
struct ListedDevice {
    std::string name;                 // what the recorder opens it by
    std::string description;          // what the device list shows
    bool operator==(const ListedDevice& other) const {
        return name == other.name && description == other.description;
    }
};

// What records: the sound server's client or SDL2's capture. Every call is made on the GUI
// thread and returns at once.
class CaptureRecorder {
public:
    virtual ~CaptureRecorder() = default;
    // The devices there are now, in the recorder's order.
    virtual std::vector<ListedDevice> Devices() = 0;
    // A fresh record of the recorder's own kind.
    virtual std::shared_ptr<CaptureDevice> NewDevice() = 0;
    // Starts recording for `device` (filled in, not yet known to the program), whose sound then
    // goes to DeliverCapturedSound. An MMSYSERR_ code.
    virtual uint32_t Open(const std::shared_ptr<CaptureDevice>& device) = 0;
    // Ends the recording for a device that WaveInClose has marked closed.
    virtual void Close(const std::shared_ptr<CaptureDevice>& device) = 0;
    // At exit: ends what is left; false when something is still held by a sound server that
    // does not answer (SDL must then be left alone).
    virtual bool Finish() = 0;
    // For WaveInGetDevCaps: the driver version (major << 8 | minor).
    virtual uint32_t DriverVersion() = 0;
    // For KORVELT_CAPTURE_STATS: how this recorder records.
    virtual std::string Describe() = 0;
};

// The two recorders; null when the build has none of that kind.
CaptureRecorder* SoundServerRecorder();
CaptureRecorder* SdlRecorder();
// The sound server's client: whether it has had an answer at all (true from the first
// connection on), and a wait of at most `wait_ms` for the first attempt to connect to end
// (true when it ended).
bool SoundServerAnswered();
bool WaitForSoundServer(int wait_ms);
// Starts the sound server's client connecting (never starting a server for it); main(),
// before SDL_Init.
void StartSoundServerClient();

// Decides, once, what the program records with: true when no sound server answers within a
// moment, so SDL's audio must be started for SDL2's capture; false when the server's client
// records (a server that is slow or frozen at start-up counts as one). main(), after the
// window system is up.
bool ChooseSdlCapture();

// One wake-up's worth of sound for a device, from its recorder's thread: holds the device's lock
// while it lasts, cuts what it is given into the queued headers (posting MM_WIM_DATA for each
// full one), and wakes the GUI thread once at the end when the program should take them.
class CaptureBatch {
public:
    explicit CaptureBatch(CaptureDevice& device);
    ~CaptureBatch();
    CaptureBatch(const CaptureBatch&) = delete;
    CaptureBatch& operator=(const CaptureBatch&) = delete;
    // Sound in the device's format; null `data` stands for `length` bytes of silence (a hole).
    void Add(const uint8_t* data, size_t length);

private:
    CaptureDevice& device_;
    std::unique_lock<std::mutex> lock_;
    uint64_t filled_before_;
    uint64_t lost_before_;
};

// Any thread: the device set changed; the program hears of it as WM_DEVICECHANGE.
void PostDeviceChange();
