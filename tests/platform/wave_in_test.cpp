// Scripted wave-input devices of the headless presenter: device list and capabilities, the
// open / prepare / add / start / reset / stop / unprepare / close rules, deliveries on the
// virtual clock, and the injected faults.
#include <cstring>

#include "recorder.h"

namespace {

constexpr uint32_t DIRECT_WINDOW = CALLBACK_WINDOW | WAVE_FORMAT_DIRECT;

WaveFormat CaptureFormat() {
    WaveFormat f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 2;
    f.nSamplesPerSec = 44100;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 4;
    f.nAvgBytesPerSec = 176400;
    return f;
}

// Left = frame number (mod 32768), right = its negation: every byte says where it came from.
void RampSignal(uint64_t frame, int16_t& left, int16_t& right) {
    left = (int16_t)(frame % 32768);
    right = (int16_t)-(int16_t)(frame % 32768);
}

class WaveInTest : public PortableTest {
protected:
    WindowRef w = nullptr;
    char data[8][512] = {};
    WaveHeader headers[8] = {};

    void SetUp() override {
        PortableTest::SetUp();
        w = MakeMain();
        for (int i = 0; i < 8; ++i) {
            headers[i].lpData = data[i];
            headers[i].dwBufferLength = 512;
        }
    }

    WaveInHandle OpenDevice(uint32_t id) {
        WaveInHandle h = nullptr;
        WaveFormat f = CaptureFormat();
        EXPECT_EQ(WaveInOpen(&h, id, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_NOERROR);
        return h;
    }

    void QueueAll(WaveInHandle h, int count = 8) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(WaveInPrepareHeader(h, &headers[i], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NOERROR);
            ASSERT_EQ(WaveInAddBuffer(h, &headers[i], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NOERROR);
        }
    }
};

TEST_F(WaveInTest, NoDevicesMeansNothingToOpen) {
    EXPECT_EQ(WaveInGetNumDevs(), 0u);
    WaveInCaps caps;
    EXPECT_NE(WaveInGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), (uint32_t)MMSYSERR_NOERROR);
    WaveInHandle h = nullptr;
    WaveFormat f = CaptureFormat();
    EXPECT_EQ(WaveInOpen(&h, WAVE_MAPPER, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_BADDEVICEID);
    EXPECT_EQ(h, nullptr);
}

TEST_F(WaveInTest, CapabilitiesNameEachDeviceAndTheMapper) {
    HeadlessDevice a;
    a.name = "Line in (a very long device name that does not fit)";
    HeadlessDevice b;
    b.name = "Broken";
    b.caps_readable = false;
    HeadlessAddDevice(a);
    HeadlessAddDevice(b);
    EXPECT_EQ(WaveInGetNumDevs(), 2u);
    WaveInCaps caps;
    std::memset(&caps, 0x55, sizeof caps);
    ASSERT_EQ(WaveInGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "Default input device");
    ASSERT_EQ(WaveInGetDevCaps((uintptr_t)-1, &caps, sizeof caps), (uint32_t)MMSYSERR_NOERROR);
    ASSERT_EQ(WaveInGetDevCaps(0, &caps, sizeof caps), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(std::strlen(caps.szPname), 31u);
    EXPECT_EQ(std::strncmp(caps.szPname, a.name.c_str(), 31), 0);
    EXPECT_EQ(WaveInGetDevCaps(1, &caps, sizeof caps), (uint32_t)MMSYSERR_ERROR);
    EXPECT_EQ(WaveInGetDevCaps(2, &caps, sizeof caps), (uint32_t)MMSYSERR_BADDEVICEID);
    HeadlessSetMapperCapsReadable(false);
    EXPECT_EQ(WaveInGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), (uint32_t)MMSYSERR_ERROR);
    const auto& calls = HeadlessWaveCalls();
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].call, "GetNumDevs");
    EXPECT_EQ(calls[0].result, 2u);
    EXPECT_EQ(calls[1].call, "GetDevCaps");
    EXPECT_EQ(calls[1].device_id, (uintptr_t)WAVE_MAPPER);
    EXPECT_EQ(calls[1].size, 48u);
}

TEST_F(WaveInTest, OnlyTheFixedFormatOpens) {
    HeadlessAddDevice(HeadlessDevice{});
    while (PumpOneMessage()) {   // the device's arrival is announced first
    }
    WaveInHandle h = nullptr;
    WaveFormat f = CaptureFormat();
    f.nSamplesPerSec = 22050;
    f.nAvgBytesPerSec = 88200;
    EXPECT_EQ(WaveInOpen(&h, 0, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)WAVERR_BADFORMAT);
    f = CaptureFormat();
    f.nChannels = 1;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = 88200;
    EXPECT_EQ(WaveInOpen(&h, 0, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)WAVERR_BADFORMAT);
    EXPECT_EQ(WaveInOpen(&h, 1, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_BADDEVICEID);
    EXPECT_EQ(HeadlessOpenHandleCount(), 0);
    f = CaptureFormat();
    ASSERT_EQ(WaveInOpen(&h, WAVE_MAPPER, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_NOERROR);
    const HeadlessWaveCall& open = HeadlessWaveCalls().back();
    EXPECT_EQ(open.call, "Open");
    EXPECT_EQ(open.handle, h);
    EXPECT_TRUE(open.has_format);
    EXPECT_EQ(open.format.nSamplesPerSec, 44100u);
    EXPECT_EQ(open.flags, DIRECT_WINDOW);
    EXPECT_EQ(open.callback, (uintptr_t)w);
    // MM_WIM_OPEN is posted to the callback window.
    ASSERT_TRUE(PumpOneMessage());
    EXPECT_EQ(Recorded().back().message, (uint32_t)MM_WIM_OPEN);
    EXPECT_EQ(Recorded().back().wparam, (uintptr_t)h);
}

TEST_F(WaveInTest, StartedDeviceFillsQueuedBuffersOnTheClock) {
    HeadlessDevice device;
    device.signal = RampSignal;
    HeadlessAddDevice(device);
    WaveInHandle h = OpenDevice(0);
    QueueAll(h, 3);
    EXPECT_EQ(HeadlessQueuedBufferCount(h), 3);
    EXPECT_EQ(headers[0].dwFlags, (uint32_t)(WHDR_PREPARED | WHDR_INQUEUE));
    HeadlessAt(10, [] {});
    HeadlessRunUntil(10);  // not started: nothing is delivered
    EXPECT_EQ(HeadlessDeliveredCount(), 0u);
    ASSERT_EQ(WaveInStart(h), (uint32_t)MMSYSERR_NOERROR);
    Recorded().clear();
    // 10 ms + 128 / 44100 s = 12.903 ms: first delivery.
    HeadlessRunUntil(12.9);
    EXPECT_TRUE(RecordedOf(MM_WIM_DATA).empty());
    HeadlessRunUntil(12.91);
    auto data = RecordedOf(MM_WIM_DATA);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].wparam, (uintptr_t)h);
    EXPECT_EQ(data[0].lparam, (intptr_t)&headers[0]);
    EXPECT_EQ(headers[0].dwBytesRecorded, 512u);
    EXPECT_EQ(headers[0].dwFlags, (uint32_t)(WHDR_PREPARED | WHDR_DONE));
    EXPECT_EQ(HeadlessQueuedBufferCount(h), 2);
    // Frames follow on from one delivery to the next.
    int16_t first_left, second_left, second_right;
    HeadlessRunUntil(16);
    std::memcpy(&first_left, headers[0].lpData, 2);
    std::memcpy(&second_left, headers[1].lpData, 2);
    std::memcpy(&second_right, headers[1].lpData + 2, 2);
    EXPECT_EQ(second_left, first_left + 128);
    EXPECT_EQ(second_right, -second_left);
    EXPECT_EQ(first_left, 441);  // the first frame of a start at 10 ms
}

TEST_F(WaveInTest, DeliveryWithoutABufferIsLostSilently) {
    HeadlessAddDevice(HeadlessDevice{});
    WaveInHandle h = OpenDevice(0);
    QueueAll(h, 2);
    WaveInStart(h);
    HeadlessRunUntil(20);  // 6 delivery times, 2 buffers
    EXPECT_EQ(HeadlessDeliveredCount(), 2u);
    EXPECT_EQ(HeadlessLostDeliveryCount(), 4u);
    EXPECT_EQ(RecordedOf(MM_WIM_DATA).size(), 2u);
}

TEST_F(WaveInTest, ShortDeliveriesFillOnlyPartOfTheBuffer) {
    HeadlessDevice device;
    device.short_delivery_bytes = 100;
    HeadlessAddDevice(device);
    WaveInHandle h = OpenDevice(0);
    headers[1].dwBufferLength = 64;
    QueueAll(h, 2);
    WaveInStart(h);
    HeadlessRunUntil(6);
    EXPECT_EQ(headers[0].dwBytesRecorded, 100u);
    EXPECT_EQ(headers[1].dwBytesRecorded, 64u);
}

TEST_F(WaveInTest, TearDownFollowsWinMMRules) {
    HeadlessAddDevice(HeadlessDevice{});
    WaveInHandle h = OpenDevice(0);
    QueueAll(h);
    EXPECT_EQ(WaveInAddBuffer(h, &headers[0], sizeof(WaveHeader)), (uint32_t)WAVERR_STILLPLAYING);
    WaveHeader unprepared{};
    unprepared.lpData = data[0];
    unprepared.dwBufferLength = 512;
    EXPECT_EQ(WaveInAddBuffer(h, &unprepared, sizeof(WaveHeader)), (uint32_t)WAVERR_UNPREPARED);
    WaveInStart(h);
    HeadlessRunUntil(3);  // one delivery
    EXPECT_EQ(WaveInUnprepareHeader(h, &headers[5], sizeof(WaveHeader)), (uint32_t)WAVERR_STILLPLAYING);
    EXPECT_EQ(WaveInClose(h), (uint32_t)WAVERR_STILLPLAYING);
    Recorded().clear();
    // Reset hands back the 7 still queued, empty, one message each, and stops.
    ASSERT_EQ(WaveInReset(h), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(HeadlessQueuedBufferCount(h), 0);
    for (int i = 1; i < 8; ++i) {
        EXPECT_EQ(headers[i].dwBytesRecorded, 0u);
        EXPECT_EQ(headers[i].dwFlags, (uint32_t)(WHDR_PREPARED | WHDR_DONE));
    }
    EXPECT_EQ(WaveInStop(h), (uint32_t)MMSYSERR_NOERROR);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(WaveInUnprepareHeader(h, &headers[i], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(headers[0].dwFlags, (uint32_t)WHDR_DONE);
    ASSERT_EQ(WaveInClose(h), (uint32_t)MMSYSERR_NOERROR);
    while (PumpOneMessage()) {
    }
    auto returned = RecordedOf(MM_WIM_DATA);
    ASSERT_EQ(returned.size(), 7u);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(returned[i].lparam, (intptr_t)&headers[i + 1]);
    EXPECT_EQ(Recorded().back().message, (uint32_t)MM_WIM_CLOSE);
    // The handle is gone now: every call on it fails.
    EXPECT_EQ(WaveInAddBuffer(h, &headers[0], sizeof(WaveHeader)), (uint32_t)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInStart(h), (uint32_t)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInReset(h), (uint32_t)MMSYSERR_INVALHANDLE);
    EXPECT_EQ(WaveInClose(h), (uint32_t)MMSYSERR_INVALHANDLE);
    // And nothing more arrives: the program would wait forever.
    EXPECT_EQ(HeadlessOpenHandleCount(), 0);
}

TEST_F(WaveInTest, StopEndsDeliveriesAndStartResumes) {
    HeadlessAddDevice(HeadlessDevice{});
    WaveInHandle h = OpenDevice(0);
    QueueAll(h);
    WaveInStart(h);
    HeadlessRunUntil(6);
    EXPECT_EQ(HeadlessDeliveredCount(), 2u);
    WaveInStop(h);
    HeadlessAt(50, [] {});
    HeadlessRunUntil(50);
    EXPECT_EQ(HeadlessDeliveredCount(), 2u);
    WaveInStart(h);
    HeadlessRunUntil(53);
    EXPECT_EQ(HeadlessDeliveredCount(), 3u);
}

TEST_F(WaveInTest, OpenAndStartFaults) {
    HeadlessDevice busy;
    busy.open_fails = true;
    HeadlessDevice stuck;
    stuck.start_fails = true;
    HeadlessAddDevice(busy);
    HeadlessAddDevice(stuck);
    WaveInHandle h = nullptr;
    WaveFormat f = CaptureFormat();
    EXPECT_EQ(WaveInOpen(&h, WAVE_MAPPER, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_ALLOCATED);
    EXPECT_EQ(h, nullptr);
    h = OpenDevice(1);
    QueueAll(h);
    EXPECT_NE(WaveInStart(h), (uint32_t)MMSYSERR_NOERROR);
    HeadlessAt(30, [] {});
    HeadlessRunUntil(30);
    EXPECT_EQ(HeadlessDeliveredCount(), 0u);
    EXPECT_EQ(HeadlessQueuedBufferCount(h), 8);
}

TEST_F(WaveInTest, VanishedDeviceFailsEverythingAndDeliversNothing) {
    HeadlessDevice device;
    device.vanish_at_ms = 10;
    HeadlessAddDevice(device);
    WaveInHandle h = OpenDevice(0);
    QueueAll(h);
    WaveInStart(h);
    HeadlessRunUntil(30);
    EXPECT_EQ(HeadlessDeliveredCount(), 3u);  // at 2.9, 5.8 and 8.7 ms
    EXPECT_EQ(WaveInAddBuffer(h, &headers[0], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NODRIVER);
    EXPECT_EQ(WaveInReset(h), (uint32_t)MMSYSERR_NODRIVER);
    EXPECT_EQ(WaveInClose(h), (uint32_t)MMSYSERR_NODRIVER);
    WaveInCaps caps;
    EXPECT_EQ(WaveInGetDevCaps(0, &caps, sizeof caps), (uint32_t)MMSYSERR_NODRIVER);
    WaveFormat f = CaptureFormat();
    WaveInHandle again = nullptr;
    EXPECT_EQ(WaveInOpen(&again, 0, &f, (uintptr_t)w, 0, DIRECT_WINDOW), (uint32_t)MMSYSERR_NODRIVER);
}

TEST_F(WaveInTest, RemovingADeviceShiftsTheIdsAfterItAndIsAnnounced) {
    HeadlessDevice a, b, c;
    a.name = "A";
    b.name = "B";
    c.name = "C";
    HeadlessAddDevice(a);
    const int key_b = HeadlessAddDevice(b);
    HeadlessAddDevice(c);
    while (PumpOneMessage()) {
    }
    EXPECT_EQ(RecordedOf(WM_DEVICECHANGE).size(), 3u) << "each arrival is announced to the top level";
    WaveInHandle on_b = OpenDevice(1);
    QueueAll(on_b, 2);
    ASSERT_EQ(WaveInStart(on_b), (uint32_t)MMSYSERR_NOERROR);
    Recorded().clear();

    HeadlessRemoveDevice(key_b);
    while (PumpOneMessage()) {
    }
    ASSERT_EQ(RecordedOf(WM_DEVICECHANGE).size(), 1u);
    EXPECT_EQ(WaveInGetNumDevs(), 2u);
    WaveInCaps caps;
    ASSERT_EQ(WaveInGetDevCaps(1, &caps, sizeof caps), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "C") << "id 1 now names the device after the removed one";
    EXPECT_EQ(WaveInGetDevCaps(2, &caps, sizeof caps), (uint32_t)MMSYSERR_BADDEVICEID);
    // The handle on the removed device records nothing more, and can be closed.
    HeadlessRunUntil(50);
    EXPECT_TRUE(RecordedOf(MM_WIM_DATA).empty());
    EXPECT_EQ(WaveInStart(on_b), (uint32_t)MMSYSERR_NODRIVER);
    EXPECT_TRUE(HeadlessHeaderHeldByDriver(&headers[0]));
    EXPECT_EQ(WaveInClose(on_b), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_FALSE(HeadlessHeaderHeldByDriver(&headers[0]));
    EXPECT_EQ(HeadlessOpenHandleCount(), 0);
}

TEST_F(WaveInTest, VanishedDeviceReturnsForNewOpensOnly) {
    HeadlessDevice first, second;
    first.name = "First";
    second.name = "Second";
    const int key = HeadlessAddDevice(first);
    HeadlessAddDevice(second);
    WaveInHandle old_handle = OpenDevice(0);
    QueueAll(old_handle, 4);
    WaveInStart(old_handle);
    HeadlessAt(10, [key] { HeadlessVanishDevice(key); });
    HeadlessRunUntil(20);
    const uint64_t delivered = HeadlessDeliveredCount();
    EXPECT_EQ(delivered, 3u);
    // While the first is gone, the mapper opens the default input that still works.
    WaveInHandle mapper = OpenDevice(WAVE_MAPPER);
    EXPECT_EQ(HeadlessWaveCalls().back().result, (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(WaveInClose(mapper), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(WaveInClose(old_handle), (uint32_t)MMSYSERR_NODRIVER) << "a lost driver keeps its buffers";
    EXPECT_TRUE(HeadlessHeaderHeldByDriver(&headers[3]));

    HeadlessReturnDevice(key);
    HeadlessRunUntil(40);
    EXPECT_EQ(HeadlessDeliveredCount(), delivered) << "the old handle stays dead after the return";
    EXPECT_EQ(WaveInAddBuffer(old_handle, &headers[5], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NODRIVER);
    EXPECT_EQ(WaveInClose(old_handle), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(HeadlessHeldHeaderReuseCount(), 0u);
    WaveInHandle fresh = OpenDevice(0);
    QueueAll(fresh, 2);
    WaveInStart(fresh);
    HeadlessRunUntil(50);
    EXPECT_EQ(HeadlessDeliveredCount(), delivered + 2);
}

TEST_F(WaveInTest, QueueingAHeaderAnotherHandleHoldsIsCounted) {
    HeadlessAddDevice(HeadlessDevice{});
    HeadlessAddDevice(HeadlessDevice{});
    WaveInHandle one = OpenDevice(0);
    WaveInHandle two = OpenDevice(1);
    QueueAll(one, 1);
    headers[0].dwFlags = 0;   // as a program that wiped the header would
    WaveInPrepareHeader(two, &headers[0], sizeof(WaveHeader));
    WaveInAddBuffer(two, &headers[0], sizeof(WaveHeader));
    EXPECT_EQ(HeadlessHeldHeaderReuseCount(), 2u);
    EXPECT_EQ(WaveInPrepareHeader(two, &headers[1], sizeof(WaveHeader)), (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(HeadlessHeldHeaderReuseCount(), 2u);
}

TEST_F(WaveInTest, EmptyAndLateDeliveries) {
    HeadlessDevice device;
    device.empty_deliveries = true;
    device.late_until_ms = 20;
    const int key = HeadlessAddDevice(device);
    WaveInHandle h = OpenDevice(0);
    QueueAll(h, 8);
    WaveInStart(h);
    HeadlessRunUntil(19.9);
    EXPECT_EQ(HeadlessDeliveredCount(), 0u) << "a late device holds everything back";
    HeadlessRunUntil(20);
    // Six delivery times have passed by 20 ms: they all come at once.
    EXPECT_EQ(HeadlessDeliveredCount(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(headers[i].dwBytesRecorded, 0u) << i;
    HeadlessDeviceConfig(key)->empty_deliveries = false;
    HeadlessDeviceConfig(key)->short_delivery_bytes = 3;
    HeadlessRunUntil(23);
    EXPECT_EQ(HeadlessDeliveredCount(), 7u);
    EXPECT_EQ(headers[6].dwBytesRecorded, 3u);
}

TEST_F(WaveInTest, PcmSignalLoops) {
    HeadlessDevice device;
    device.pcm = {100, -100, 200, -200, 300, -300};  // three frames
    HeadlessAddDevice(device);
    WaveInHandle h = OpenDevice(0);
    QueueAll(h, 1);
    WaveInStart(h);  // at 0 ms: frames 0 .. 127
    HeadlessRunUntil(3);
    int16_t samples[8];
    std::memcpy(samples, headers[0].lpData, sizeof samples);
    EXPECT_EQ(samples[0], 100);
    EXPECT_EQ(samples[1], -100);
    EXPECT_EQ(samples[4], 300);
    EXPECT_EQ(samples[6], 100);
    EXPECT_EQ(samples[7], -100);
}

using WaveInDeathTest = WaveInTest;

TEST_F(WaveInDeathTest, ClosedDeviceAndNoTimerMeansAHang) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    HeadlessAddDevice(HeadlessDevice{});
    WaveInHandle h = OpenDevice(0);
    while (PumpOneMessage()) {
    }
    WaveInClose(h);
    while (PumpOneMessage()) {
    }
    EXPECT_DEATH(WaitAndDispatchMessage(), "can never come");
}

}  // namespace
