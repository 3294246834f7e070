// Test controls of the headless presenter: the virtual clock, scripted user input, pixel
// reads and PNG snapshots of window surfaces, creation faults, and scripted wave-input
// devices with a log of every wave-input call. GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// ---- clock and scripted actions ----

// Destroys every window, empties the queue, stops timers, forgets devices, actions, logs
// and faults, and sets the virtual clock back to 0. Call it at the start of each test.
void HeadlessReset();
double HeadlessNowMs();
uint64_t HeadlessNowMicros();
// Runs `action` on the GUI thread (from the queue's input poll) once the virtual clock has
// reached `ms`. Actions due at the same time run in the order they were added.
void HeadlessAt(double ms, std::function<void()> action);
// A key pressed and released at `ms` (down and up in the same instant).
void HeadlessKeyAt(double ms, int virtual_key);
void HeadlessKeyDownAt(double ms, int virtual_key);
void HeadlessKeyUpAt(double ms, int virtual_key);
// A left click (button down, then up) at client (x, y) of `top`; null: the first top level
// alive when the click happens.
void HeadlessClickAt(double ms, WindowRef top, int x, int y);
// Clicks on a drop-down list's field at `ms` (opening it, or closing it when open).
void HeadlessClickListAt(double ms, WindowRef list);
// At `ms`: a click on the list's field that opens it, then a click on item `index` of the
// open list (which must be among its first 23 items).
void HeadlessChooseListItemAt(double ms, WindowRef list, int index);
// The title bar's close button; null: the first top level alive at that time.
void HeadlessCloseAt(double ms, WindowRef top = nullptr);
// Dispatches everything that becomes due up to `ms` on the virtual clock, then returns with
// the clock at `ms` (nothing later is taken).
void HeadlessRunUntil(double ms);

// ---- what the windows show ----

// A pixel of the top level's client area as presented (an open drop-down list included);
// 0xFFFFFFFF outside.
Colour HeadlessPixel(WindowRef top, int x, int y);
// Writes the top level's client area as an 8-bit RGB PNG; false on failure.
bool HeadlessSnapshotPng(WindowRef top, const std::string& path);

struct HeadlessPresent {
    WindowRef top;
    RectI rect;    // client coordinates, right and bottom exclusive
};
// Every BackendPresent since the last reset or clear (while logging is on, as after a reset).
const std::vector<HeadlessPresent>& HeadlessPresented();
void HeadlessClearPresented();
void HeadlessSetPresentLogging(bool on);
// Messages posted and not yet taken from the queue.
size_t HeadlessPostedMessageCount();
// What the presenter was last told about the top level: created and not destroyed, shown.
bool HeadlessTopLevelAlive(WindowRef top);
bool HeadlessTopLevelShown(WindowRef top);

// ---- faults ----

enum class HeadlessCreation {
    MAIN_WINDOW, TOOLBAR, FONT, IMAGE, CANVAS, DROP_DOWN_LIST, SUNKEN_FRAME, IMAGE_CONTROL
};
// From now on every creation of that kind fails, after `successes_first` more have succeeded.
void HeadlessFailCreation(HeadlessCreation kind, int successes_first = 0);
void HeadlessClearCreationFaults();

// ---- wave input ----

using HeadlessSignal = std::function<void(uint64_t frame, int16_t& left, int16_t& right)>;

struct HeadlessDevice {
    std::string name = "Headless input";   // reported in szPname (cut to 31 characters)
    bool caps_readable = true;             // false: WaveInGetDevCaps fails with MMSYSERR_ERROR
    // Frame f of the signal is the sound at virtual time f / 44100 s. `signal` wins over
    // `pcm` (interleaved left/right frames, looped); with neither the device records silence.
    HeadlessSignal signal;
    std::vector<int16_t> pcm;
    bool open_fails = false;               // WaveInOpen fails with MMSYSERR_ALLOCATED
    bool open_busy = false;                // WaveInOpen fails with MMSYSERR_HANDLEBUSY, as a
                                           // backend that stopped waiting for the server answers
    bool start_fails = false;              // WaveInStart fails with MMSYSERR_ERROR
    uint32_t short_delivery_bytes = 0;     // 0: full 512-byte deliveries
    bool empty_deliveries = false;         // every delivery records 0 bytes
    double late_until_ms = -1;             // > 0: nothing is delivered before then, then all at once
    double vanish_at_ms = -1;              // >= 0: from then on every call fails MMSYSERR_NODRIVER
};
// Adds a device and returns its key (0, 1, ... in order of adding). Device ids count the
// devices present, so a key is the device's id only while no earlier device was removed.
// When a top-level window exists, WM_DEVICECHANGE is posted to it, as the system does.
int HeadlessAddDevice(const HeadlessDevice& device);
// The device is unplugged: it leaves the list (later ids shift down), handles open on it
// stop for good (their close succeeds), and WM_DEVICECHANGE is posted.
void HeadlessRemoveDevice(int key);
// The device's driver stops now (as vanish_at_ms): no deliveries, every call fails with
// MMSYSERR_NODRIVER, closes of its handles too. It stays listed; nothing is posted.
void HeadlessVanishDevice(int key);
// A vanished device works again for new opens; handles opened before stay dead, and their
// close now succeeds.
void HeadlessReturnDevice(int key);
// The device's settings, to change faults while the program runs; null for an unknown key.
HeadlessDevice* HeadlessDeviceConfig(int key);
// Whether WaveInGetDevCaps(WAVE_MAPPER) can be read (it can by default when a device exists).
void HeadlessSetMapperCapsReadable(bool readable);

struct HeadlessWaveCall {
    std::string call;          // "GetNumDevs", "GetDevCaps", "Open", "PrepareHeader", "AddBuffer",
                               // "Start", "Reset", "Stop", "UnprepareHeader", "Close"
    uintptr_t device_id = 0;   // GetDevCaps and Open
    WaveInHandle handle = nullptr;   // the handle passed in (Open: the handle made, if any)
    WaveFormat format{};       // Open: a copy of the format passed (kept 8-byte aligned here)
    bool has_format = false;
    uintptr_t callback = 0;
    uintptr_t instance = 0;
    uint32_t flags = 0;
    WaveHeader* header = nullptr;
    uint32_t size = 0;
    uint32_t result = 0;       // MMSYSERR_ / WAVERR_ code returned (GetNumDevs: the count)
    double time_ms = 0;
};
const std::vector<HeadlessWaveCall>& HeadlessWaveCalls();
void HeadlessClearWaveCalls();
// Headers queued on an open handle (0 for a closed or unknown one).
int HeadlessQueuedBufferCount(WaveInHandle handle);
// Handles opened and not yet closed; the second leaves out those whose device is gone.
int HeadlessOpenHandleCount();
int HeadlessLiveHandleCount();
// Whether some open handle holds `header` in its queue now (compared by address only).
bool HeadlessHeaderHeldByDriver(const WaveHeader* header);
// Prepare or add calls made with a header that some open handle still held: each one is a
// program writing to a header the driver may be filling.
uint64_t HeadlessHeldHeaderReuseCount();
// On: an open hands out the newest closed handle again, as a system whose handles are small
// numbers may, so that late messages of a closed run carry the new run's handle. Off after a reset.
void HeadlessReuseClosedHandles(bool on);
// Whether wave-input calls are logged (on after a reset); long runs turn it off.
void HeadlessSetWaveCallLogging(bool on);
// Buffers filled and handed back so far on all handles (lost deliveries not counted).
uint64_t HeadlessDeliveredCount();
// Deliveries that found no queued buffer and were lost.
uint64_t HeadlessLostDeliveryCount();

// A sine tone: amplitude in sample units (0 .. 32767) per channel.
HeadlessSignal HeadlessSineSignal(double hz, double left_amplitude, double right_amplitude);
// Reads a 16-bit PCM WAV file (mono is doubled to stereo) into interleaved frames.
bool HeadlessLoadWav(const std::string& path, std::vector<int16_t>* frames);
