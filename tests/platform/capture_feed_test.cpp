// The SDL wave input's hand-off from capture periods to the program's 512-byte buffers: the
// same deliveries in the same order whatever the period, sound kept for late buffers, and the
// loss counted (oldest sound first) when buffers stay away too long.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/portable/pulse/capture_feed.h"

namespace {

constexpr uint32_t BUFFER_BYTES = 512;
constexpr size_t FRAME_BYTES = 4;

// Stereo frames numbered from `first`: left = n, right = -n - 1, so a swapped channel, a
// shifted byte or a repeated or missing frame all show.
std::vector<uint8_t> Frames(uint32_t first, size_t count) {
    std::vector<uint8_t> bytes(count * FRAME_BYTES);
    for (size_t i = 0; i < count; ++i) {
        int16_t left = (int16_t)(uint16_t)(first + i);
        int16_t right = (int16_t)(-left - 1);
        std::memcpy(&bytes[i * FRAME_BYTES], &left, 2);
        std::memcpy(&bytes[i * FRAME_BYTES + 2], &right, 2);
    }
    return bytes;
}

// The frame numbers a delivery holds, or -1 entries where a frame is not a well-formed one.
std::vector<int> FrameNumbers(const WaveHeader* header) {
    std::vector<int> numbers;
    for (uint32_t at = 0; at + FRAME_BYTES <= header->dwBytesRecorded; at += FRAME_BYTES) {
        int16_t left, right;
        std::memcpy(&left, header->lpData + at, 2);
        std::memcpy(&right, header->lpData + at + 2, 2);
        numbers.push_back(right == (int16_t)(-left - 1) ? (int)(uint16_t)left : -1);
    }
    return numbers;
}

class CaptureFeedTest : public ::testing::Test {
protected:
    CaptureFeed feed;
    char data[8][BUFFER_BYTES] = {};
    WaveHeader headers[8] = {};
    std::vector<WaveHeader*> handed_back;
    // Copies of what each handed-back header held at the moment it came back.
    std::vector<std::vector<int>> deliveries;
    CaptureHandBack hand_back = [this](WaveHeader* h) {
        handed_back.push_back(h);
        deliveries.push_back(FrameNumbers(h));
    };
    uint32_t next_frame = 0;

    void SetUp() override {
        for (int i = 0; i < 8; ++i) {
            headers[i].lpData = data[i];
            headers[i].dwBufferLength = BUFFER_BYTES;
        }
    }

    void Queue(WaveHeader* h) {
        h->dwBytesRecorded = 0;
        QueueCaptureHeader(feed, h, hand_back);
    }
    void QueueAll() {
        for (WaveHeader& h : headers) Queue(&h);
    }
    // One period of `frames` frames continuing the numbering.
    void Period(size_t frames) {
        std::vector<uint8_t> bytes = Frames(next_frame, frames);
        next_frame += (uint32_t)frames;
        FeedCapturedSound(feed, bytes.data(), bytes.size(), hand_back);
    }
    // Gives every delivery so far back to the feed, as the program's GUI thread does.
    void ReturnAll() {
        std::vector<WaveHeader*> back;
        back.swap(handed_back);
        for (WaveHeader* h : back) Queue(h);
    }
    // True when the deliveries hold frames first, first + 1, ... without a gap or a repeat.
    ::testing::AssertionResult Consecutive(uint32_t first, size_t from = 0) {
        uint32_t want = first;
        for (size_t d = from; d < deliveries.size(); ++d) {
            if (deliveries[d].size() != BUFFER_BYTES / FRAME_BYTES)
                return ::testing::AssertionFailure() << "delivery " << d << " holds " << deliveries[d].size() << " frames";
            for (int n : deliveries[d]) {
                if (n != (int)(uint16_t)want)
                    return ::testing::AssertionFailure() << "delivery " << d << ": frame " << n << ", want " << want;
                ++want;
            }
        }
        return ::testing::AssertionSuccess();
    }
};

TEST_F(CaptureFeedTest, AnyPeriodBecomesTheSameDeliveriesInOrder) {
    // Periods that cut buffers in odd places, some smaller and some larger than one buffer.
    SetCaptureFifoCapacity(feed, 4096);
    QueueAll();
    for (size_t frames : {75, 128, 300, 1, 1024, 7, 333}) {
        Period(frames);
        ReturnAll();
    }
    uint32_t total = 75 + 128 + 300 + 1 + 1024 + 7 + 333;
    EXPECT_EQ(deliveries.size(), total / 128);
    EXPECT_TRUE(Consecutive(0));
    EXPECT_EQ(feed.bytes_lost, 0u);
    EXPECT_EQ(feed.headers_filled, deliveries.size());
    // What did not fill a whole buffer waits in the front one, not in the FIFO.
    EXPECT_EQ(CaptureFifoBytes(feed), 0u);
    EXPECT_EQ(feed.queue.front()->dwBytesRecorded, (total % 128) * FRAME_BYTES);
}

TEST_F(CaptureFeedTest, AFullPeriodOfEightBuffersNeedsNoFifo) {
    SetCaptureFifoCapacity(feed, 4096);
    QueueAll();
    for (int period = 0; period < 50; ++period) {
        Period(1024);
        EXPECT_EQ(CaptureFifoBytes(feed), 0u) << "period " << period;
        ReturnAll();
    }
    EXPECT_EQ(deliveries.size(), 400u);
    EXPECT_TRUE(Consecutive(0));
    EXPECT_EQ(feed.bytes_lost, 0u);
}

TEST_F(CaptureFeedTest, SoundWaitsForBuffersThatComeBackInTime) {
    // A period twice what the eight buffers hold: the second half waits and fills the buffers
    // the moment they are queued again, so nothing is lost and the order holds.
    SetCaptureFifoCapacity(feed, 4096);
    QueueAll();
    for (int period = 0; period < 20; ++period) {
        Period(2048);
        EXPECT_EQ(CaptureFifoBytes(feed), 4096u);
        ReturnAll();   // each one filled straight from the FIFO and handed back again
        EXPECT_EQ(CaptureFifoBytes(feed), 0u);
        ReturnAll();
    }
    EXPECT_EQ(deliveries.size(), 20u * 16);
    EXPECT_TRUE(Consecutive(0));
    EXPECT_EQ(feed.bytes_lost, 0u);
}

TEST_F(CaptureFeedTest, LateBuffersLoseTheOldestSoundAndCountIt) {
    SetCaptureFifoCapacity(feed, 4096);
    QueueAll();
    Period(1024);   // frames 0..1023 into the eight buffers
    Period(1024);   // 1024..2047 wait
    Period(512);    // 2048..2559 push the oldest 512 frames out
    EXPECT_EQ(feed.bytes_lost, 512u * FRAME_BYTES);
    EXPECT_EQ(CaptureFifoBytes(feed), 4096u);
    size_t before = deliveries.size();
    ReturnAll();
    // The buffers get the newest sound, in order: frames 1536 .. 2559.
    EXPECT_EQ(deliveries.size(), before + 8);
    EXPECT_TRUE(Consecutive(1536, before));
    EXPECT_EQ(CaptureFifoBytes(feed), 0u);
}

TEST_F(CaptureFeedTest, OnePeriodLargerThanTheFifoKeepsItsNewestPart) {
    SetCaptureFifoCapacity(feed, 2048);
    Period(2048);   // nothing queued: 8192 bytes, only the last 2048 can stay
    EXPECT_EQ(feed.bytes_lost, 8192u - 2048u);
    QueueAll();
    ASSERT_EQ(deliveries.size(), 4u);
    EXPECT_TRUE(Consecutive(2048 - 512));
}

TEST_F(CaptureFeedTest, WithoutFifoSoundWithoutABufferIsLostAsByADriver) {
    SetCaptureFifoCapacity(feed, 0);
    Queue(&headers[0]);
    Period(200);    // 128 frames delivered, 72 lost
    EXPECT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(feed.bytes_lost, 72u * FRAME_BYTES);
    Queue(&headers[1]);
    EXPECT_EQ(deliveries.size(), 1u);   // nothing kept to fill it with
    EXPECT_EQ(headers[1].dwBytesRecorded, 0u);
}

TEST_F(CaptureFeedTest, TheFifoRingWrapsWithoutReordering) {
    // Capacity of 1000 bytes (250 frames), fed and drained so the ring's start walks round it.
    SetCaptureFifoCapacity(feed, 1000);
    size_t k = 0;
    for (int round = 0; round < 40; ++round) {
        Period(120);   // 480 bytes into the FIFO: nothing is queued
        // Each buffer queued takes 512 bytes straight from the FIFO and comes back at once.
        while (CaptureFifoBytes(feed) >= BUFFER_BYTES) Queue(&headers[k++ % 8]);
        EXPECT_TRUE(feed.queue.empty());
    }
    EXPECT_EQ(feed.bytes_lost, 0u);
    EXPECT_EQ(deliveries.size(), 40u * 120 / 128);
    EXPECT_TRUE(Consecutive(0));
}

TEST_F(CaptureFeedTest, TakingTheHeadersLeavesAPartlyFilledOneAsItIs) {
    SetCaptureFifoCapacity(feed, 4096);
    Queue(&headers[0]);
    Queue(&headers[1]);
    Period(130);
    std::vector<WaveHeader*> taken = TakeCaptureHeaders(feed);
    ASSERT_EQ(taken.size(), 1u);   // headers[0] was full and handed back already
    EXPECT_EQ(taken[0], &headers[1]);
    EXPECT_EQ(headers[1].dwBytesRecorded, 2u * FRAME_BYTES);
    EXPECT_TRUE(feed.queue.empty());
    // Clearing the FIFO forgets waiting sound without calling it lost.
    Period(100);
    ClearCaptureFifo(feed);
    EXPECT_EQ(CaptureFifoBytes(feed), 0u);
    EXPECT_EQ(feed.bytes_lost, 0u);
}

}  // namespace
