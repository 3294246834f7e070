// Capture engine: the input-device list, opening the device in the fixed format, the eight
// circulating buffers, the hand-off of each filled buffer, the display tick timer, and
// keeping the input honest when the device stalls, vanishes or the device set changes.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t CAPTURE_RATE = 44100;       // samples per second per channel
constexpr uint16_t CAPTURE_BITS = 16;          // signed little-endian
constexpr uint16_t CAPTURE_CHANNELS = 2;       // interleaved, left first
constexpr int CAPTURE_BUFFER_COUNT = 8;        // buffers queued per capture run
constexpr int CAPTURE_BUFFER_BYTES = 512;      // 128 frames of 4 bytes, about 2.9 ms
constexpr uint32_t TICK_INTERVAL_MS = 32;      // display tick period
constexpr uintptr_t TICK_TIMER_ID = 0;         // the tick timer's id on the main window
constexpr uint64_t INPUT_STALL_US = 250000;    // no delivery this long: the input reads as silence
constexpr uint64_t REOPEN_INTERVAL_US = 1000000;      // silent reopens of a lost input, about 1 s apart
constexpr uint64_t FIRST_BLOCK_GRACE_US = 3000000;    // a fresh run's first block may take this long
// Posted to the main window to make one restart out of every request queued before it.
constexpr uint32_t CAPTURE_RESTART_MSG = WM_USER + 1501;

// Fills the device list: the wave mapper first, then each device whose description reads.
void ListInputDevices(WindowRef list);
// Reads the device set again (WM_DEVICECHANGE): mapper first, then the devices, selection
// kept by name where it still exists, else entry 0; restarts capture when the selected
// device moved or vanished, when the mapper is selected, or when capture is not delivering.
void RebuildDeviceList();
// The user chose the selected entry of the device list: rebuilds keep to it by name, also
// after it was gone for a while.
void NoteChosenDevice();
// Stops any capture run and opens the selected device anew; failures are silent.
void StartCapture();
// Asks for a restart; requests made before the restart message is handled become one.
void RequestCaptureRestart();
// CAPTURE_RESTART_MSG: the one restart the queued requests asked for (none when none did).
void RunRequestedRestart();
// Tears the capture run down (when one is open) and kills the tick timer.
void StopCapture();
// MM_WIM_DATA: only a header of the open device's run that the program itself handed to the
// driver is read; its block is kept and copied, then the header is re-queued. Returns 0.
intptr_t HandleFilledBuffer(WaveInHandle device, WaveHeader* header);
// Start of each display tick: after INPUT_STALL_US without a delivery the analysis block
// reads as digital silence, and while that lasts the selected device is reopened silently
// about once a second.
void CheckCaptureInput();
// Releases capture buffers of earlier runs that the device has handed back; at exit, all.
void ReleaseCaptureBuffers(bool all);
// Number of capture buffers allocated right now (current run and kept ones); for tests.
int LiveCaptureBufferCount();
// Deliveries HandleFilledBuffer accepted and read since start-up; for tests.
uint64_t AcceptedDeliveryCount();
// Runs whose device could not be closed and may still hold their buffers (0 .. 2); for tests.
int AbandonedRunCount();
// Whether header entry `index` is, by the program's own books, in the driver's hands.
bool CaptureHeaderQueued(int index);
