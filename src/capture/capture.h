// Capture engine: the input-device list, opening the device in the fixed format, the eight
// circulating buffers, the hand-off of each filled buffer and the display tick timer.
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

// Fills the device list: the wave mapper first, then each device whose description reads.
void ListInputDevices(WindowRef list);
// Stops any capture run and opens the selected device anew; failures are silent.
void StartCapture();
// Tears the capture run down (when one is open) and kills the tick timer.
void StopCapture();
// MM_WIM_DATA: keeps and copies the delivered block, then re-queues the header. Returns 0.
intptr_t HandleFilledBuffer(WaveInHandle device, WaveHeader* header);
// Releases capture buffers of earlier runs that the device has handed back; at exit, all.
void ReleaseCaptureBuffers(bool all);
// Number of capture buffers allocated right now (current run and kept ones); for tests.
int LiveCaptureBufferCount();
