// The real program on scripted headless devices that fail: an input that vanishes and comes
// back, devices plugged in and pulled out, deliveries that are stale or forged, a device list
// worked a thousand times, and a second run of the main routine in one process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/history_graph.h"
#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "display/display.h"
#include "meter/meter.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr Colour GRID = MakeColour(0, 72, 0);
constexpr Colour TRACE = MakeColour(10, 221, 10);
constexpr Colour ON = MakeColour(0, 208, 0);
constexpr Colour OFF = MakeColour(16, 48, 16);

Colour At(int x, int y) { return HeadlessPixel(program.main_window_handle, x, y) & 0xFFFFFF; }

// A square wave with different peaks left and right, so that a swapped or merged channel shows.
HeadlessDevice SquareDevice(const std::string& name, int16_t left, int16_t right) {
    HeadlessDevice device;
    device.name = name;
    device.pcm = {left, right, (int16_t)-left, (int16_t)-right};
    return device;
}

float LevelOf(int peak) { return (float)(340 * (peak / 32767.0)); }

float ShownLeftValue() {
    const MeterRecord& m = program.meters[FindMeterIndex(program.meter_left)];
    return m.average_sum / (float)m.average_length;
}

// What a silent input looks like on the window: flat traces on both zero lines, no lit
// segment on either bar, levels 0 and the history value at its floor.
bool ShowsSilence() {
    if (program.level_left != 0.0f || program.level_right != 0.0f) return false;
    if (program.history_value != HISTORY_VALUE_FLOOR) return false;
    if (At(39, 578 + 18) != OFF || At(39, 617 + 18) != OFF) return false;
    for (const int centre : {162, 417}) {
        for (int x = 40; x <= 372; x += 3) {
            if (At(x, centre) != TRACE) return false;
            for (int dy = -110; dy <= 110; dy += 2)
                if (dy != 0 && At(x, centre + dy) == TRACE) return false;
        }
    }
    return true;
}

// Sound with the given peaks: the levels, and the bars lit up to where the levels reach.
bool ShowsSound(int left_peak, int right_peak) {
    return std::abs(program.level_left - LevelOf(left_peak)) < 0.01f &&
           std::abs(program.level_right - LevelOf(right_peak)) < 0.01f && At(39, 578 + 18) == ON &&
           At(39, 617 + 18) == ON;
}

// Watches the main window from inside the program: ticks, deliveries and what they read.
struct FaultSpy {
    WindowProcedure previous = nullptr;
    std::vector<double> ticks;
    int deliveries_reading_held_headers = 0;   // accepted while the driver held the header
    int most_open_handles = 0;
    int most_live_buffers = 0;
    size_t most_posted = 0;
    std::vector<double> device_changes;
    std::function<void()> after_tick;
};
FaultSpy spy;

intptr_t PLATFORM_CALLBACK SpyProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    bool held = false;
    uint64_t accepted = AcceptedDeliveryCount();
    if (message == MM_WIM_DATA) held = HeadlessHeaderHeldByDriver(reinterpret_cast<const WaveHeader*>(lparam));
    if (message == WM_DEVICECHANGE) spy.device_changes.push_back(HeadlessNowMs());
    intptr_t result = CallWindowProcedure(spy.previous, window, message, wparam, lparam);
    if (message == MM_WIM_DATA && held && AcceptedDeliveryCount() != accepted) ++spy.deliveries_reading_held_headers;
    if (message == WM_TIMER) {
        spy.ticks.push_back(HeadlessNowMs());
        if (spy.after_tick) spy.after_tick();
    }
    spy.most_open_handles = std::max(spy.most_open_handles, HeadlessOpenHandleCount());
    spy.most_live_buffers = std::max(spy.most_live_buffers, LiveCaptureBufferCount());
    spy.most_posted = std::max(spy.most_posted, HeadlessPostedMessageCount());
    return result;
}

class FaultScenario : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        spy = FaultSpy{};
        HeadlessAt(0, [] { spy.previous = ReplaceWindowProcedure(program.main_window_handle, SpyProcedure); });
    }
    void TearDown() override { spy = FaultSpy{}; }

    void RunUntilClose(double end_ms) {
        HeadlessCloseAt(end_ms);
        EXPECT_EQ(ApplicationMain(), 0);
        EXPECT_EQ(LiveCaptureBufferCount(), 0) << "every capture buffer is freed at exit";
        EXPECT_EQ(spy.deliveries_reading_held_headers, 0) << "a header the driver held was read";
        EXPECT_EQ(HeadlessHeldHeaderReuseCount(), 0u) << "a header the driver held was prepared or queued";
    }

    static WindowRef DeviceList() { return FindSelector(ID_DEVICE_COMBO); }
    static void SelectDevice(int entry) {
        ListSelect(DeviceList(), entry);
        SendWindowMessage(program.main_window_handle, WM_COMMAND, ((uintptr_t)CBN_SELCHANGE << 16) | ID_DEVICE_COMBO,
                          (intptr_t)DeviceList());
    }
    static std::vector<std::string> Entries() {
        std::vector<std::string> names;
        for (int i = 0; i < ListItemCount(DeviceList()); ++i) {
            char text[64];
            ListGetItemText(DeviceList(), i, text, sizeof text);
            names.push_back(text);
        }
        return names;
    }
    static std::vector<HeadlessWaveCall> OpensBetween(double from_ms, double to_ms) {
        std::vector<HeadlessWaveCall> opens;
        for (const auto& call : HeadlessWaveCalls())
            if (call.call == "Open" && call.time_ms >= from_ms && call.time_ms < to_ms) opens.push_back(call);
        return opens;
    }
};

TEST_F(FaultScenario, VanishedInputShowsSilenceAtOnceAndMetersAgainWhenItReturns) {
    const int key = HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    static int key_used;
    key_used = key;
    static bool checked_before;
    checked_before = false;
    HeadlessAt(95, [] {
        checked_before = true;
        EXPECT_TRUE(ShowsSound(20000, 10000));
        EXPECT_GT(ShownLeftValue(), 20.0f) << "the needle is on its way up";
    });
    HeadlessAt(100, [] { HeadlessVanishDevice(key_used); });
    // After the loss: the first tick that shows silence, and the needle from then on.
    static int silent_tick;
    static std::vector<float> needle;
    silent_tick = -1;
    needle.clear();
    spy.after_tick = [] {
        const double now = HeadlessNowMs();
        if (now < 100 || now > 1000) return;
        if (silent_tick < 0 && ShowsSilence()) silent_tick = (int)std::count_if(spy.ticks.begin(), spy.ticks.end(), [](double t) { return t > 100; });
        if (silent_tick >= 0) needle.push_back(ShownLeftValue());
        if (silent_tick >= 0 && now < 1000) {
            EXPECT_TRUE(ShowsSilence()) << "at " << now;
        }
    };
    static uint64_t accepted_at_return;
    HeadlessAt(3600, [] {
        HeadlessReturnDevice(key_used);
        accepted_at_return = AcceptedDeliveryCount();
    });
    HeadlessAt(3600 + 1500, [] {
        EXPECT_GT(AcceptedDeliveryCount(), accepted_at_return + 100) << "deliveries resumed";
        EXPECT_TRUE(ShowsSound(20000, 10000));
        EXPECT_EQ(program.input_lost, 0);
        EXPECT_LE(LiveCaptureBufferCount(), 9) << "the lost run's buffers were let go once its close went through";
    });
    RunUntilClose(5200);

    EXPECT_TRUE(checked_before);
    ASSERT_GE(silent_tick, 1);
    EXPECT_LE(silent_tick, 9) << "silence within 9 ticks of the loss";
    // The needles fall through the average to the bottom and stay there.
    ASSERT_GE(needle.size(), 10u);
    for (size_t i = 1; i < 8; ++i) EXPECT_LT(needle[i], needle[i - 1]) << i;
    EXPECT_NEAR(needle.back(), 0.0f, 1e-3);

    // While the device was gone it was reopened silently, about once a second.
    const auto tries = OpensBetween(100, 3600);
    ASSERT_EQ(tries.size(), 3u);
    for (const auto& open : tries) EXPECT_EQ(open.result, (uint32_t)MMSYSERR_NODRIVER);
    for (size_t i = 1; i < tries.size(); ++i) EXPECT_NEAR(tries[i].time_ms - tries[i - 1].time_ms, 1000, 40);
    const auto back = OpensBetween(3600, 5200);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].result, (uint32_t)MMSYSERR_NOERROR);
    EXPECT_EQ(back[0].device_id, (uintptr_t)WAVE_MAPPER);
}

// An open the backend stopped waiting for (a sound server slow to answer) is tried again
// about once a second, even at start-up before any sound was shown, until it goes through;
// an open that fails outright is not (see the capture scenarios).
TEST_F(FaultScenario, OpenStillBusyAtStartUpIsTriedAgainUntilItGoesThrough) {
    HeadlessDevice slow = SquareDevice("Slow", 20000, 10000);
    slow.open_busy = true;
    static int key;
    key = HeadlessAddDevice(slow);
    HeadlessAt(500, [] { EXPECT_EQ(program.wave_in, nullptr); });
    HeadlessAt(2500, [] { HeadlessDeviceConfig(key)->open_busy = false; });
    HeadlessAt(4000, [] {
        EXPECT_NE(program.wave_in, nullptr);
        EXPECT_TRUE(ShowsSound(20000, 10000));
    });
    RunUntilClose(4100);
    const auto busy = OpensBetween(0, 2500);
    ASSERT_EQ(busy.size(), 3u) << "at start-up, then about a second apart";
    for (const auto& open : busy) EXPECT_EQ(open.result, (uint32_t)MMSYSERR_HANDLEBUSY);
    for (size_t i = 1; i < busy.size(); ++i) EXPECT_NEAR(busy[i].time_ms - busy[i - 1].time_ms, 1000, 40);
    const auto through = OpensBetween(2500, 4100);
    ASSERT_EQ(through.size(), 1u);
    EXPECT_EQ(through[0].result, (uint32_t)MMSYSERR_NOERROR);
}

TEST_F(FaultScenario, WithTheMapperSelectedALostInputFollowsTheDefault) {
    const int first = HeadlessAddDevice(SquareDevice("First", 20000, 10000));
    HeadlessAddDevice(SquareDevice("Second", 5000, 15000));
    static int first_key;
    first_key = first;
    HeadlessAt(100, [] { HeadlessVanishDevice(first_key); });
    HeadlessAt(1600, [] {
        EXPECT_EQ(ListSelection(DeviceList()), 0);
        EXPECT_TRUE(ShowsSound(5000, 15000)) << "the mapper now records the other input";
    });
    RunUntilClose(1700);
}

TEST_F(FaultScenario, StartUpWaitForTheFirstBlockIsUnchanged) {
    HeadlessDevice slow = SquareDevice("Slow", 20000, 10000);
    slow.late_until_ms = 2000;
    HeadlessAddDevice(slow);
    HeadlessAt(1990, [] {
        EXPECT_EQ(program.last_data, nullptr);
        EXPECT_EQ(program.input_lost, 0);
    });
    HeadlessAt(2100, [] { EXPECT_TRUE(ShowsSound(20000, 10000)); });
    RunUntilClose(2150);
    EXPECT_EQ(OpensBetween(0, 2150).size(), 1u) << "no reopen before the first block";
}

TEST_F(FaultScenario, AFreshRunGetsTimeForItsFirstBlock) {
    HeadlessAddDevice(SquareDevice("Quick", 20000, 10000));
    HeadlessDevice slow = SquareDevice("Slow", 3000, 6000);
    slow.late_until_ms = 1800;   // a first block 1.7 s after the open, as some sound servers take
    HeadlessAddDevice(slow);
    HeadlessAt(100, [] { SelectDevice(2); });
    HeadlessAt(400, [] { EXPECT_TRUE(ShowsSilence()) << "nothing is coming in: that is silence"; });
    HeadlessAt(1900, [] { EXPECT_TRUE(ShowsSound(3000, 6000)); });
    RunUntilClose(1950);
    const auto opens = OpensBetween(100, 1950);
    ASSERT_EQ(opens.size(), 1u) << "the new run was not reopened while it waited for its first block";
    EXPECT_EQ(opens[0].device_id, 1u);
}

TEST_F(FaultScenario, PluggingAndUnpluggingRebuildsTheListAndKeepsTheSelection) {
    HeadlessAddDevice(SquareDevice("Mic A", 20000, 10000));
    const int key_b = HeadlessAddDevice(SquareDevice("Mic B", 4000, 8000));
    HeadlessAddDevice(SquareDevice("Mic C", 12000, 2000));
    static int b;
    b = key_b;
    static WaveInHandle running;
    HeadlessAt(50, [] { SelectDevice(2); });
    HeadlessAt(100, [] {
        running = program.wave_in;
        HeadlessAddDevice(SquareDevice("Mic D", 1000, 1000));
    });
    HeadlessAt(110, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "Mic A", "Mic B", "Mic C", "Mic D"}));
        EXPECT_EQ(ListSelection(DeviceList()), 2);
        EXPECT_EQ(program.wave_in, running) << "the selected device did not move: capture goes on";
        EXPECT_TRUE(ShowsSound(4000, 8000));
    });
    HeadlessAt(150, [] { HeadlessRemoveDevice(0); });   // Mic A: Mic B's id drops from 1 to 0
    HeadlessAt(160, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "Mic B", "Mic C", "Mic D"}));
        EXPECT_EQ(ListSelection(DeviceList()), 1);
        EXPECT_EQ(program.device_index, 1);
        EXPECT_NE(program.wave_in, running) << "its id changed: capture was reopened";
    });
    HeadlessAt(250, [] { EXPECT_TRUE(ShowsSound(4000, 8000)) << "still Mic B"; });
    HeadlessAt(300, [] { HeadlessRemoveDevice(b); });
    HeadlessAt(310, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "Mic C", "Mic D"}));
        EXPECT_EQ(ListSelection(DeviceList()), 0) << "the selected device is gone: back to the mapper";
    });
    HeadlessAt(400, [] { EXPECT_TRUE(ShowsSound(12000, 2000)) << "the default input is now Mic C"; });
    // The user's choice comes back when its device does.
    HeadlessAt(420, [] { HeadlessAddDevice(SquareDevice("Mic B", 4000, 8000)); });
    HeadlessAt(430, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "Mic C", "Mic D", "Mic B"}));
        EXPECT_EQ(ListSelection(DeviceList()), 3);
    });
    HeadlessAt(520, [] { EXPECT_TRUE(ShowsSound(4000, 8000)) << "Mic B again"; });
    RunUntilClose(550);

    EXPECT_EQ(spy.device_changes.size(), 4u);
    EXPECT_TRUE(OpensBetween(100, 150).empty());
    const auto after_a = OpensBetween(150, 300);
    ASSERT_EQ(after_a.size(), 1u);
    EXPECT_EQ(after_a[0].device_id, 0u);
    const auto after_b = OpensBetween(300, 420);
    ASSERT_EQ(after_b.size(), 1u);
    EXPECT_EQ(after_b[0].device_id, (uintptr_t)WAVE_MAPPER);
}

// A driver that died with the buffers queued may still write into them: its close fails, so
// the next run takes the other half of the header table and new buffers, and the old ones
// are freed only once a later close goes through.
TEST_F(FaultScenario, BuffersALostDriverMayHoldAreNeitherFreedNorReused) {
    const int a = HeadlessAddDevice(SquareDevice("Mic A", 20000, 10000));
    HeadlessAddDevice(SquareDevice("Mic B", 4000, 8000));
    static int key_a;
    key_a = a;
    HeadlessAt(100, [] { HeadlessVanishDevice(key_a); });
    HeadlessAt(110, [] { SelectDevice(2); });
    HeadlessAt(120, [] {
        EXPECT_EQ(AbandonedRunCount(), 1);
        EXPECT_EQ(LiveCaptureBufferCount(), 16) << "the lost run's eight are kept beside the new eight";
        for (int i = 0; i < 8; ++i) {
            EXPECT_TRUE(HeadlessHeaderHeldByDriver(&program.wave_headers[i])) << i;
            EXPECT_NE(program.wave_headers[8 + i].lpData, nullptr) << "the new run uses entries 8 .. 15";
        }
    });
    HeadlessAt(250, [] { EXPECT_TRUE(ShowsSound(4000, 8000)); });
    HeadlessAt(300, [] { HeadlessReturnDevice(key_a); });
    HeadlessAt(310, [] { SelectDevice(1); });
    HeadlessAt(320, [] {
        EXPECT_EQ(AbandonedRunCount(), 0);
        EXPECT_LE(LiveCaptureBufferCount(), 9) << "the old run's buffers were freed once its close went through";
        EXPECT_FALSE(HeadlessHeaderHeldByDriver(&program.wave_headers[8]));
    });
    HeadlessAt(450, [] { EXPECT_TRUE(ShowsSound(20000, 10000)); });
    RunUntilClose(500);
}

// A driver given up on may still hand its headers back, late, under its old handle: they are
// then no longer its, so they stop counting as queued (a later reset of that device owes no
// message for them that could swallow a delivery of a device given the same handle value).
// Nothing of them is read, and the current run goes on.
TEST_F(FaultScenario, HeadersALostDriverHandsBackLateAreNoLongerItsOwn) {
    const int a = HeadlessAddDevice(SquareDevice("Mic A", 20000, 10000));
    HeadlessAddDevice(SquareDevice("Mic B", 4000, 8000));
    static int key_a;
    static WaveInHandle lost;
    key_a = a;
    HeadlessAt(100, [] {
        lost = program.wave_in;
        HeadlessVanishDevice(key_a);
    });
    HeadlessAt(110, [] { SelectDevice(2); });
    HeadlessAt(120, [] {
        ASSERT_EQ(AbandonedRunCount(), 1);
        for (int i = 0; i < 8; ++i) EXPECT_TRUE(CaptureHeaderQueued(i)) << i;
        // The late hand-back of four of them, and one junk message under the lost handle.
        for (int i = 0; i < 4; ++i)
            PostWindowMessage(program.main_window_handle, MM_WIM_DATA, (uintptr_t)lost,
                              (intptr_t)&program.wave_headers[i]);
        PostWindowMessage(program.main_window_handle, MM_WIM_DATA, (uintptr_t)lost, (intptr_t)0x1234);
    });
    HeadlessAt(140, [] {
        for (int i = 0; i < 4; ++i) EXPECT_FALSE(CaptureHeaderQueued(i)) << i;
        for (int i = 4; i < 8; ++i) EXPECT_TRUE(CaptureHeaderQueued(i)) << "not handed back: " << i;
        EXPECT_EQ(AbandonedRunCount(), 1) << "its buffers stay kept until a close goes through";
    });
    HeadlessAt(250, [] { EXPECT_TRUE(ShowsSound(4000, 8000)); });
    RunUntilClose(300);
}

TEST_F(FaultScenario, EndingWhileALostDriverHoldsBuffersLeavesThemAlone) {
    HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    static WaveHeader* held_header;
    static char* held_data;
    HeadlessAt(100, [] { HeadlessVanishDevice(0); });
    HeadlessAt(200, [] {
        held_header = &program.wave_headers[0];
        held_data = held_header->lpData;
        ASSERT_TRUE(HeadlessHeaderHeldByDriver(held_header));
    });
    HeadlessCloseAt(300);
    EXPECT_EQ(ApplicationMain(), 0);
    // The dead driver could still write here: header and buffer must still be there (a
    // sanitizer build reports a read of freed memory).
    EXPECT_EQ(held_header->lpData, held_data);
    held_data[0] = 1;
    EXPECT_EQ(held_header->dwBufferLength, 512u);
}

TEST_F(FaultScenario, PullingOutTheLastDeviceShowsSilenceAndPluggingOneInMetersAgain) {
    HeadlessAddDevice(SquareDevice("Only mic", 20000, 10000));
    HeadlessAt(100, [] {
        EXPECT_TRUE(ShowsSound(20000, 10000));
        HeadlessRemoveDevice(0);
    });
    HeadlessAt(110, [] {
        EXPECT_EQ(ListItemCount(DeviceList()), 0);
        EXPECT_EQ(ListSelection(DeviceList()), -1);
        EXPECT_EQ(program.wave_in, nullptr);
    });
    HeadlessAt(100 + 9 * 32, [] { EXPECT_TRUE(ShowsSilence()); });
    HeadlessAt(1000, [] { HeadlessAddDevice(SquareDevice("New mic", 5000, 15000)); });
    HeadlessAt(1200, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "New mic"}));
        EXPECT_TRUE(ShowsSound(5000, 15000));
    });
    RunUntilClose(1250);
}

TEST_F(FaultScenario, TwoIdenticalDevicesAreToldApartByTheirOrder) {
    HeadlessAddDevice(SquareDevice("Line in", 1000, 1000));
    HeadlessAddDevice(SquareDevice("USB mic", 20000, 10000));
    HeadlessAddDevice(SquareDevice("USB mic", 4000, 8000));
    HeadlessAt(50, [] { SelectDevice(3); });   // the second "USB mic"
    HeadlessAt(100, [] {
        EXPECT_TRUE(ShowsSound(4000, 8000));
        HeadlessRemoveDevice(0);
    });
    HeadlessAt(110, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "USB mic", "USB mic"}));
        EXPECT_EQ(ListSelection(DeviceList()), 2);
    });
    HeadlessAt(200, [] { EXPECT_TRUE(ShowsSound(4000, 8000)) << "still the second of the two"; });
    RunUntilClose(250);
    const auto opens = OpensBetween(100, 250);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].device_id, 1u);
}

TEST_F(FaultScenario, ADeviceArrivingInAnEmptyListIsRecordedFrom) {
    HeadlessAt(100, [] {
        EXPECT_EQ(ListItemCount(DeviceList()), 0);
        HeadlessAddDevice(SquareDevice("Late mic", 20000, 10000));
    });
    HeadlessAt(300, [] {
        EXPECT_EQ(Entries(), (std::vector<std::string>{"Default input device", "Late mic"}));
        EXPECT_EQ(ListSelection(DeviceList()), 0);
        EXPECT_TRUE(ShowsSound(20000, 10000));
    });
    RunUntilClose(350);
}

TEST_F(FaultScenario, AnEntryFindsItsDeviceByNameWhenIdsShiftBeforeTheListIsRebuilt) {
    HeadlessAddDevice(SquareDevice("Mic A", 20000, 10000));
    HeadlessAddDevice(SquareDevice("Mic B", 4000, 8000));
    HeadlessAddDevice(SquareDevice("Mic C", 12000, 2000));
    HeadlessAt(50, [] { SelectDevice(2); });
    HeadlessAt(100, [] {
        HeadlessRemoveDevice(0);
        // Before the device change is handled, the entry still carries Mic B's old id, 1,
        // which now names Mic C.
        EXPECT_EQ(ListGetItemData(DeviceList(), 2), 1);
        StartCapture();
    });
    HeadlessAt(200, [] { EXPECT_TRUE(ShowsSound(4000, 8000)); });
    RunUntilClose(250);
    const auto opens = OpensBetween(100, 101);
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens[0].device_id, 0u);
}

TEST_F(FaultScenario, StaleAndForeignDeliveriesChangeNothing) {
    const int key = HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    static int k;
    k = key;
    static char* data_before;
    static int32_t bytes_before;
    static std::vector<char> block_before;
    static uint64_t accepted_before;
    static size_t calls_before;
    // Nothing real arrives for a while, so everything that does is posted here.
    HeadlessAt(90, [] { HeadlessDeviceConfig(k)->late_until_ms = 1000; });
    HeadlessAt(100, [] {
        data_before = program.last_data;
        bytes_before = program.last_bytes_recorded;
        block_before.assign(program.analysis_block, program.analysis_block + 512);
        accepted_before = AcceptedDeliveryCount();
        calls_before = HeadlessWaveCalls().size();
        WindowRef main = program.main_window_handle;
        const uintptr_t device = (uintptr_t)program.wave_in;
        WaveHeader* table = program.wave_headers.data();
        PostWindowMessage(main, MM_WIM_DATA, device, 0x10);                         // junk pointer
        PostWindowMessage(main, MM_WIM_DATA, device, -64);                          // end of memory
        PostWindowMessage(main, MM_WIM_DATA, device, (intptr_t)table + 1);          // inside an entry
        PostWindowMessage(main, MM_WIM_DATA, device, (intptr_t)(table + 12));       // not this run's
        PostWindowMessage(main, MM_WIM_DATA, 0x5678, (intptr_t)(table + 2));        // another device
        PostWindowMessage(main, MM_WIM_DATA, 0, (intptr_t)(table + 3));             // no device
        PostWindowMessage(main, MM_WIM_DATA, device, 0);
    });
    HeadlessAt(101, [] {
        EXPECT_EQ(program.last_data, data_before);
        EXPECT_EQ(program.last_bytes_recorded, bytes_before);
        EXPECT_EQ(std::memcmp(program.analysis_block, block_before.data(), 512), 0);
        EXPECT_EQ(AcceptedDeliveryCount(), accepted_before);
        EXPECT_EQ(HeadlessWaveCalls().size(), calls_before) << "nothing was re-queued";
        for (int i = 0; i < 8; ++i) EXPECT_TRUE(CaptureHeaderQueued(i)) << i;
    });
    HeadlessAt(1100, [] { EXPECT_TRUE(ShowsSound(20000, 10000)); });
    RunUntilClose(1150);
}

// The reset's messages name the closed handle, which here the new run has been given again,
// and headers the new run has queued already: only the program's own count tells them apart.
TEST_F(FaultScenario, AResetsDeliveriesAfterARestartAreNotReadEvenWhenTheHandleComesBack) {
    HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    HeadlessReuseClosedHandles(true);
    static uint64_t accepted;
    static int stale_seen;
    stale_seen = 0;
    HeadlessAt(100, [] {
        accepted = AcceptedDeliveryCount();
        WaveInHandle old_handle = program.wave_in;
        StartCapture();
        EXPECT_EQ(program.wave_in, old_handle);
        // The reset's eight messages are queued now, and the new run holds the same headers.
        EXPECT_GE(HeadlessPostedMessageCount(), 8u);
        for (int i = 0; i < 8; ++i) EXPECT_TRUE(HeadlessHeaderHeldByDriver(&program.wave_headers[i]));
    });
    HeadlessAt(100.5, [] {
        EXPECT_EQ(AcceptedDeliveryCount(), accepted) << "the stale messages were all ignored";
        stale_seen = 1;
    });
    HeadlessAt(200, [] { EXPECT_TRUE(ShowsSound(20000, 10000)); });
    RunUntilClose(250);
    EXPECT_EQ(stale_seen, 1);
}

TEST_F(FaultScenario, ThousandListActionsMakeOneRestartEachWithOneDeviceOpen) {
    HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    for (int k = 0; k < 1000; ++k) {
        const double at = 40 + k * 4.0;
        if (k % 2 == 0) {
            // The mouse: open the list and choose the other entry.
            HeadlessAt(at, [k] { HeadlessChooseListItemAt(HeadlessNowMs(), DeviceList(), (k / 2) % 2); });
        } else {
            // The keyboard on the focused list.
            HeadlessAt(at, [k] {
                SetKeyboardFocus(DeviceList());
                HeadlessKeyAt(HeadlessNowMs(), k % 4 == 1 ? VK_DOWN : VK_UP);
            });
        }
    }
    HeadlessAt(4090, [] { SetKeyboardFocus(program.main_window_handle); });
    HeadlessAt(4100, [] {
        EXPECT_LE(LiveCaptureBufferCount(), 9);
        EXPECT_EQ(HeadlessOpenHandleCount(), 1);
        EXPECT_EQ(program.restart_pending, 0);
    });
    HeadlessAt(4200, [] {
        EXPECT_TRUE(ShowsSound(20000, 10000)) << "metering goes on on whichever entry is chosen";
    });
    RunUntilClose(4250);
    const auto opens = OpensBetween(30, 4085);
    EXPECT_GE(opens.size(), 500u);
    EXPECT_LE(opens.size(), 1000u) << "no action made more than one restart";
    EXPECT_LE(spy.most_open_handles, 1) << "a close in flight while another device was open";
    EXPECT_LE(spy.most_live_buffers, 9);
    EXPECT_LE(spy.most_posted, 16u);
}

TEST(MainRoutineTwice, SecondRunInOneProcessRunsNormally) {
    HeadlessReset();
    HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    HeadlessCloseAt(100);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_GE(HeadlessNowMs(), 100);

    HeadlessReset();
    HeadlessAddDevice(SquareDevice("Mic", 20000, 10000));
    bool ran = false;
    HeadlessAt(300, [&] {
        ran = true;
        EXPECT_TRUE(ShowsSound(20000, 10000));
    });
    HeadlessCloseAt(400);
    EXPECT_EQ(ApplicationMain(), 0);
    EXPECT_TRUE(ran) << "the second run ended before its first tick";
    EXPECT_GE(HeadlessNowMs(), 400);
}

}  // namespace
