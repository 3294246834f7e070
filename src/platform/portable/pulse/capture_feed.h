// Hand-off between the periods of sound a recorder brings (the sound server's fragments, SDL's
// capture periods) and the program's wave headers, for the Linux wave input (wave_in.cpp): each
// period is cut into the queued headers in order; what finds no header waits in a small FIFO
// until one is queued. Nothing but memory here, so the tests can drive it directly. Not
// thread-safe: the owner holds its device's lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "platform/platform.h"

struct CaptureFeed {
    // Headers the program has queued, oldest first; the front one is being filled.
    std::deque<WaveHeader*> queue;
    // Sound that came while no header was queued, as a ring: `fifo_size` bytes from
    // `fifo_start`. Holds data only while `queue` is empty.
    std::vector<uint8_t> fifo;
    size_t fifo_start = 0;
    size_t fifo_size = 0;
    // What happened so far: full headers handed back, bytes put in headers, bytes dropped.
    uint64_t headers_filled = 0;
    uint64_t bytes_delivered = 0;
    uint64_t bytes_lost = 0;
};

// Called for each header that is full (or handed back early), in the order the sound came.
using CaptureHandBack = std::function<void(WaveHeader*)>;

// Gives the feed a FIFO of `capacity` bytes (0: no FIFO, sound without a header is lost as a
// real driver loses it). Drops whatever it held.
void SetCaptureFifoCapacity(CaptureFeed& feed, size_t capacity);
// One period of sound from the server: fills the queued headers in order, handing back each
// full one; the rest goes to the FIFO, whose oldest bytes make room for newer ones.
void FeedCapturedSound(CaptureFeed& feed, const uint8_t* data, size_t length, const CaptureHandBack& hand_back);
// The program queues `header` (dwBytesRecorded already 0). Sound waiting in the FIFO goes
// into it at once; if that fills it, it is handed back at once.
void QueueCaptureHeader(CaptureFeed& feed, WaveHeader* header, const CaptureHandBack& hand_back);
// Takes every queued header out of the feed, oldest first, without handing any back.
std::vector<WaveHeader*> TakeCaptureHeaders(CaptureFeed& feed);
// Forgets the sound waiting in the FIFO (a stop or reset starts afresh); not counted as lost.
void ClearCaptureFifo(CaptureFeed& feed);
// Bytes waiting in the FIFO.
size_t CaptureFifoBytes(const CaptureFeed& feed);
