// Hand-off between capture periods and wave headers (see capture_feed.h): FeedCapturedSound,
// QueueCaptureHeader and the FIFO behind them.
#include "platform/portable/pulse/capture_feed.h"

#include <algorithm>
#include <cstring>

namespace {

// Copies as much of `data` as fits into the front header; hands it back when full.
size_t FillFrontHeader(CaptureFeed& feed, const uint8_t* data, size_t length, const CaptureHandBack& hand_back) {
    WaveHeader* header = feed.queue.front();
    size_t room = header->dwBufferLength > header->dwBytesRecorded
                      ? header->dwBufferLength - header->dwBytesRecorded
                      : 0;
    size_t count = std::min(room, length);
    if (count > 0) std::memcpy(header->lpData + header->dwBytesRecorded, data, count);
    header->dwBytesRecorded += (uint32_t)count;
    feed.bytes_delivered += count;
    if (header->dwBytesRecorded >= header->dwBufferLength) {
        feed.queue.pop_front();
        ++feed.headers_filled;
        hand_back(header);
    }
    return count;
}

void PushToFifo(CaptureFeed& feed, const uint8_t* data, size_t length) {
    size_t capacity = feed.fifo.size();
    if (length >= capacity) {
        // More than the FIFO holds: only the newest part can stay.
        feed.bytes_lost += feed.fifo_size + (length - capacity);
        data += length - capacity;
        length = capacity;
        feed.fifo_start = 0;
        feed.fifo_size = 0;
    } else if (feed.fifo_size + length > capacity) {
        // The oldest bytes make room: a meter wants the newest sound, and the delay stays bounded.
        size_t drop = feed.fifo_size + length - capacity;
        feed.bytes_lost += drop;
        feed.fifo_start = (feed.fifo_start + drop) % capacity;
        feed.fifo_size -= drop;
    }
    size_t end = (feed.fifo_start + feed.fifo_size) % (capacity ? capacity : 1);
    size_t first = std::min(length, capacity - end);
    if (first > 0) std::memcpy(feed.fifo.data() + end, data, first);
    if (length > first) std::memcpy(feed.fifo.data(), data + first, length - first);
    feed.fifo_size += length;
}

}  // namespace

void SetCaptureFifoCapacity(CaptureFeed& feed, size_t capacity) {
    feed.fifo.assign(capacity, 0);
    feed.fifo_start = 0;
    feed.fifo_size = 0;
}

void FeedCapturedSound(CaptureFeed& feed, const uint8_t* data, size_t length, const CaptureHandBack& hand_back) {
    // Sound waits in the FIFO only while no header is queued, so order is kept by simply
    // filling headers first.
    while (length > 0 && !feed.queue.empty()) {
        size_t used = FillFrontHeader(feed, data, length, hand_back);
        // A header with no room left is handed back, so every pass makes progress.
        data += used;
        length -= used;
    }
    if (length == 0) return;
    if (feed.fifo.empty()) {
        feed.bytes_lost += length;
        return;
    }
    PushToFifo(feed, data, length);
}

void QueueCaptureHeader(CaptureFeed& feed, WaveHeader* header, const CaptureHandBack& hand_back) {
    feed.queue.push_back(header);
    const size_t capacity = feed.fifo.size();
    while (feed.fifo_size > 0 && !feed.queue.empty()) {
        // The ring's oldest run, up to its wrap.
        size_t run = std::min(feed.fifo_size, capacity - feed.fifo_start);
        size_t used = FillFrontHeader(feed, feed.fifo.data() + feed.fifo_start, run, hand_back);
        if (used == 0) break;
        feed.fifo_start = (feed.fifo_start + used) % capacity;
        feed.fifo_size -= used;
    }
    if (feed.fifo_size == 0) feed.fifo_start = 0;
}

std::vector<WaveHeader*> TakeCaptureHeaders(CaptureFeed& feed) {
    std::vector<WaveHeader*> taken(feed.queue.begin(), feed.queue.end());
    feed.queue.clear();
    return taken;
}

void ClearCaptureFifo(CaptureFeed& feed) {
    feed.fifo_start = 0;
    feed.fifo_size = 0;
}

size_t CaptureFifoBytes(const CaptureFeed& feed) {
    return feed.fifo_size;
}
