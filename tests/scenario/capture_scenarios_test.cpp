// The capture engine inside the real program on scripted headless devices: the device list,
// the open with its fixed format, the buffers, deliveries, the tick timer, restarts, faults
// and the memory a long run of restarts keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr uint32_t HEADER_SIZE = (uint32_t)sizeof(WaveHeader);

// Watches the main window's messages from inside the running program.
struct MainWindowSpy {
    WindowProcedure previous = nullptr;
    std::vector<std::pair<double, uintptr_t>> timers;   // (time, timer id) of each WM_TIMER
    std::vector<double> device_commands;                // WM_COMMAND from the device list
    std::function<void(WaveHeader*)> before_delivery;
    std::function<void(WaveHeader*, uintptr_t)> after_delivery;
};
MainWindowSpy spy;

intptr_t PLATFORM_CALLBACK SpyProcedure(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (message == MM_WIM_DATA && spy.before_delivery) spy.before_delivery(reinterpret_cast<WaveHeader*>(lparam));
    if (message == WM_COMMAND && (wparam & 0xFFFF) == ID_DEVICE_COMBO) spy.device_commands.push_back(HeadlessNowMs());
    if (message == WM_TIMER) spy.timers.push_back({HeadlessNowMs(), wparam});
    intptr_t result = CallWindowProcedure(spy.previous, window, message, wparam, lparam);
    if (message == MM_WIM_DATA && spy.after_delivery)
        spy.after_delivery(reinterpret_cast<WaveHeader*>(lparam), wparam);
    return result;
}

class CaptureScenario : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        spy = MainWindowSpy{};
        // Deliveries start 2.9 ms after the start, so this runs before the first of them.
        HeadlessAt(0, [] { spy.previous = ReplaceWindowProcedure(program.main_window_handle, SpyProcedure); });
    }
    void TearDown() override { spy = MainWindowSpy{}; }

    // Runs the program until a scripted close at `end_ms`; it must exit with code 0.
    void RunUntilClose(double end_ms) {
        HeadlessCloseAt(end_ms);
        EXPECT_EQ(ApplicationMain(), 0);
        EXPECT_EQ(LiveCaptureBufferCount(), 0) << "every capture buffer is freed at exit";
        EXPECT_EQ(HeadlessOpenHandleCount(), 0);
    }

    static void RestartFromDeviceList() {
        WindowRef list = FindSelector(ID_DEVICE_COMBO);
        SendWindowMessage(program.main_window_handle, WM_COMMAND, ((uintptr_t)CBN_SELCHANGE << 16) | ID_DEVICE_COMBO,
                          (intptr_t)list);
    }
    static void SelectDevice(int entry) {
        ListSelect(FindSelector(ID_DEVICE_COMBO), entry);
        RestartFromDeviceList();
    }

    static std::vector<HeadlessWaveCall> CallsFrom(size_t first) {
        const auto& calls = HeadlessWaveCalls();
        return std::vector<HeadlessWaveCall>(calls.begin() + (long)std::min(first, calls.size()), calls.end());
    }
    static std::vector<HeadlessWaveCall> CallsNamed(const std::string& name) {
        std::vector<HeadlessWaveCall> found;
        for (const auto& call : HeadlessWaveCalls())
            if (call.call == name) found.push_back(call);
        return found;
    }
    static std::vector<std::string> Names(const std::vector<HeadlessWaveCall>& calls) {
        std::vector<std::string> names;
        for (const auto& call : calls) names.push_back(call.call);
        return names;
    }
    static int TimersAfter(double ms) {
        return (int)std::count_if(spy.timers.begin(), spy.timers.end(), [ms](auto& t) { return t.first > ms; });
    }
};

HeadlessDevice Device(const std::string& name) {
    HeadlessDevice device;
    device.name = name;
    device.signal = HeadlessSineSignal(1000, 8000, 4000);
    return device;
}

TEST_F(CaptureScenario, DeviceListTiesEachEntryToItsDevice) {
    HeadlessAddDevice(Device("Mic A"));
    HeadlessDevice hidden = Device("Unreadable");
    hidden.caps_readable = false;
    HeadlessAddDevice(hidden);
    HeadlessAddDevice(Device("Mic C"));

    HeadlessAt(5, [] {
        WindowRef list = FindSelector(ID_DEVICE_COMBO);
        ASSERT_EQ(ListItemCount(list), 3);
        char text[64];
        ASSERT_TRUE(ListGetItemText(list, 1, text, sizeof text));
        EXPECT_STREQ(text, "Mic A");
        ASSERT_TRUE(ListGetItemText(list, 2, text, sizeof text));
        EXPECT_STREQ(text, "Mic C");
        EXPECT_EQ(ListGetItemData(list, 0), -1);
        EXPECT_EQ(ListGetItemData(list, 1), 0);
        EXPECT_EQ(ListGetItemData(list, 2), 2);
        EXPECT_EQ(ListSelection(list), 0);
    });
    HeadlessAt(50, [] { SelectDevice(2); });
    HeadlessAt(100, [] { SelectDevice(1); });
    HeadlessAt(150, [] { SelectDevice(0); });
    HeadlessAt(200, [] { EXPECT_EQ(program.device_index, 0); });
    RunUntilClose(220);

    // Listing asked for the mapper first, then for every id in order; later descriptions
    // are the opens checking that an entry's device is still the one of that name.
    std::vector<uintptr_t> asked;
    for (const auto& call : HeadlessWaveCalls()) {
        if (call.call == "Open") break;
        if (call.call != "GetDevCaps") continue;
        asked.push_back(call.device_id);
        EXPECT_EQ(call.size, 48u);
    }
    EXPECT_EQ(asked, (std::vector<uintptr_t>{(uintptr_t)WAVE_MAPPER, 0, 1, 2}));
    std::vector<uintptr_t> opened;
    for (const auto& call : CallsNamed("Open")) opened.push_back(call.device_id);
    EXPECT_EQ(opened, (std::vector<uintptr_t>{(uintptr_t)WAVE_MAPPER, 2, 0, (uintptr_t)WAVE_MAPPER}));
}

TEST_F(CaptureScenario, NoDevicesMeansEmptyListNothingOpenedNoTimer) {
    HeadlessAt(5, [] {
        WindowRef list = FindSelector(ID_DEVICE_COMBO);
        EXPECT_EQ(ListItemCount(list), 0);
        EXPECT_EQ(ListSelection(list), -1);
        EXPECT_EQ(program.device_index, -1);
        EXPECT_EQ(program.wave_in, nullptr);
    });
    RunUntilClose(300);
    EXPECT_TRUE(CallsNamed("GetDevCaps").empty()) << "no device: not even the mapper is asked for";
    EXPECT_TRUE(CallsNamed("Open").empty());
    EXPECT_TRUE(spy.timers.empty());
}

TEST_F(CaptureScenario, OpensInTheFixedFormatWhateverTheHiddenSelectorsHold) {
    HeadlessAddDevice(Device("Mic"));
    HeadlessAt(50, [] {
        ListSelect(FindSelector(ID_CHANNELS_COMBO), 0);   // "Mono"
        ListSelect(FindSelector(ID_BITS_COMBO), 0);       // "8 bits"
        ListSelect(FindSelector(ID_RATE_COMBO), 0);       // "11.025 kHz"
        SendWindowMessage(program.main_window_handle, WM_COMMAND, ID_BITS_COMBO,
                          (intptr_t)FindSelector(ID_BITS_COMBO));
    });
    RunUntilClose(100);

    const auto opens = CallsNamed("Open");
    ASSERT_EQ(opens.size(), 2u);
    for (const auto& open : opens) {
        ASSERT_TRUE(open.has_format);
        EXPECT_EQ(open.format.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(open.format.nChannels, 2);
        EXPECT_EQ(open.format.nSamplesPerSec, 44100u);
        EXPECT_EQ(open.format.wBitsPerSample, 16);
        EXPECT_EQ(open.format.nBlockAlign, 4);
        EXPECT_EQ(open.format.nAvgBytesPerSec, 176400u);
        EXPECT_EQ(open.format.cbSize, 0);
        EXPECT_EQ(open.flags, (uint32_t)(CALLBACK_WINDOW | WAVE_FORMAT_DIRECT));
        EXPECT_EQ(open.flags, 0x00010008u);
        EXPECT_EQ(open.instance, 0u);
        EXPECT_NE(open.callback, 0u);
        EXPECT_EQ(open.result, (uint32_t)MMSYSERR_NOERROR);
    }
}

TEST_F(CaptureScenario, EightBuffersOf512BytesQueuedThenStartedWithA32msTimer) {
    HeadlessAddDevice(Device("Mic"));
    HeadlessAt(0, [] {
        ASSERT_NE(program.wave_in, nullptr);
        EXPECT_EQ(HeadlessQueuedBufferCount(program.wave_in), 8);
        EXPECT_EQ(LiveCaptureBufferCount(), 8);
        for (int i = 0; i < 8; ++i) {
            EXPECT_NE(program.wave_headers[i].lpData, nullptr);
            EXPECT_EQ(program.wave_headers[i].dwBufferLength, 512u);
        }
        EXPECT_EQ(program.wave_headers[8].lpData, nullptr) << "a run uses entries 0 .. 7 only";
    });
    RunUntilClose(330);

    // Open, 8 x (prepare, add) on headers 0 .. 7, start.
    const auto& calls = HeadlessWaveCalls();
    auto open = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.call == "Open"; });
    ASSERT_NE(open, calls.end());
    std::vector<HeadlessWaveCall> run(open + 1, open + 18);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(run[2 * i].call, "PrepareHeader");
        EXPECT_EQ(run[2 * i + 1].call, "AddBuffer");
        EXPECT_EQ(run[2 * i].header, run[2 * i + 1].header);
        EXPECT_EQ(run[2 * i].size, HEADER_SIZE);
        EXPECT_EQ(run[2 * i + 1].size, HEADER_SIZE);
        EXPECT_EQ(run[2 * i].handle, open->handle);
        if (i > 0) {
            EXPECT_EQ(run[2 * i].header, run[0].header + i) << "consecutive table entries";
        }
    }
    EXPECT_EQ(run[16].call, "Start");

    // Ticks every 32 ms of virtual time, with timer id 0.
    ASSERT_GE(spy.timers.size(), 9u);
    for (size_t i = 0; i < spy.timers.size(); ++i) {
        EXPECT_EQ(spy.timers[i].second, 0u);
        EXPECT_NEAR(spy.timers[i].first, 32.0 * (double)(i + 1), 0.5) << "tick " << i;
    }
}

TEST_F(CaptureScenario, DeliveryCopiesExactlyTheRecordedBytesAndRequeuesTheHeader) {
    HeadlessDevice device = Device("Short");
    device.short_delivery_bytes = 100;
    HeadlessAddDevice(device);
    static std::vector<char> expected;
    static uint32_t recorded;
    static int checked;
    checked = 0;
    spy.before_delivery = [](WaveHeader* header) {
        recorded = header->dwBytesRecorded;
        expected.assign(header->lpData, header->lpData + recorded);
        // Bytes past the delivery must keep what they held.
        if (program.analysis_block) std::memset(program.analysis_block + recorded, 0x5A, 512 - recorded);
    };
    spy.after_delivery = [](WaveHeader* header, uintptr_t device) {
        if (!program.analysis_block || program.wave_in == nullptr) return;
        ++checked;
        EXPECT_EQ(recorded, 100u);
        EXPECT_EQ(program.last_data, header->lpData);
        EXPECT_EQ(program.last_bytes_recorded, 100);
        EXPECT_EQ(std::memcmp(program.analysis_block, expected.data(), recorded), 0);
        for (int i = 100; i < 512; ++i) ASSERT_EQ((unsigned char)program.analysis_block[i], 0x5A) << i;
        const HeadlessWaveCall& last = HeadlessWaveCalls().back();
        EXPECT_EQ(last.call, "AddBuffer");
        EXPECT_EQ(last.header, header);
        EXPECT_EQ((uintptr_t)last.handle, device);
        EXPECT_EQ(last.size, HEADER_SIZE);
        EXPECT_EQ(last.result, (uint32_t)MMSYSERR_NOERROR);
    };
    RunUntilClose(100);
    EXPECT_GT(checked, 20);
    EXPECT_EQ(HeadlessLostDeliveryCount(), 0u) << "buffers go straight back to the device";
}

TEST_F(CaptureScenario, DeliveryClaimingMoreThanItsBufferCopiesOnlyTheBuffer) {
    HeadlessAddDevice(Device("Boastful"));
    static std::vector<char> expected;
    static int checked;
    checked = 0;
    // A driver that reports more bytes than the buffer holds: the copy must stop at the
    // buffer's end (read past it, it shows as an over-read under the sanitizers).
    spy.before_delivery = [](WaveHeader* header) {
        ASSERT_EQ(header->dwBufferLength, 512u);
        expected.assign(header->lpData, header->lpData + header->dwBufferLength);
        header->dwBytesRecorded = 4 * header->dwBufferLength;
        if (program.analysis_block) std::memset(program.analysis_block, 0x5A, ANALYSIS_BLOCK_BYTES);
    };
    spy.after_delivery = [](WaveHeader*, uintptr_t) {
        if (!program.analysis_block || program.wave_in == nullptr) return;
        ++checked;
        EXPECT_EQ(program.last_bytes_recorded, 512);
        EXPECT_EQ(std::memcmp(program.analysis_block, expected.data(), 512), 0);
        EXPECT_EQ((unsigned char)program.analysis_block[512], 0x5A) << "nothing copied past the buffer's room";
    };
    RunUntilClose(40);
    EXPECT_GT(checked, 5);
}

TEST_F(CaptureScenario, RestartTearsDownCompletelyBeforeTheNewOpen) {
    HeadlessAddDevice(Device("Mic"));
    static size_t mark;
    static WaveInHandle old_handle;
    HeadlessAt(100, [] {
        mark = HeadlessWaveCalls().size();
        old_handle = program.wave_in;
        RestartFromDeviceList();
    });
    // The restart is made when its message comes round, right after the command.
    HeadlessAt(100.5, [] { EXPECT_NE(program.wave_in, old_handle); });
    RunUntilClose(300);

    const auto calls = CallsFrom(mark);
    std::vector<std::string> expected = {"Reset", "Stop"};
    for (int i = 0; i < 8; ++i) expected.push_back("UnprepareHeader");
    expected.push_back("Close");
    expected.push_back("Open");
    for (int i = 0; i < 8; ++i) {
        expected.push_back("PrepareHeader");
        expected.push_back("AddBuffer");
    }
    expected.push_back("Start");
    auto names = Names(calls);
    names.resize(std::min(names.size(), expected.size()));
    EXPECT_EQ(names, expected);
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(calls[i].handle, old_handle) << calls[i].call;
        EXPECT_EQ(calls[i].result, (uint32_t)MMSYSERR_NOERROR) << calls[i].call;
    }
    for (int i = 2; i < 10; ++i) EXPECT_EQ(calls[i].size, HEADER_SIZE);
    // The buffers handed back by the reset still arrive afterwards, naming the closed handle
    // and headers the new run has queued by then: they are known as stale, not read and not
    // re-queued anywhere. Capture goes on with ticks every 32 ms.
    int stale = 0;
    for (const auto& call : calls)
        if (call.call == "AddBuffer" && call.handle == old_handle) ++stale;
    EXPECT_EQ(stale, 0);
    EXPECT_GE(TimersAfter(100), 5);
}

TEST_F(CaptureScenario, RestartOntoAFailingDeviceLeavesNoTimerRunning) {
    HeadlessAddDevice(Device("Good"));
    HeadlessDevice busy = Device("Busy");
    busy.open_fails = true;
    HeadlessAddDevice(busy);
    HeadlessAt(100, [] { SelectDevice(2); });
    HeadlessAt(150, [] {
        EXPECT_EQ(program.wave_in, nullptr);
        EXPECT_EQ(HeadlessOpenHandleCount(), 0);
    });
    RunUntilClose(500);
    EXPECT_GE(spy.timers.size(), 2u);
    EXPECT_EQ(TimersAfter(100), 0) << "the timer was killed by the teardown and not started again";
    const auto opens = CallsNamed("Open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[1].result, (uint32_t)MMSYSERR_ALLOCATED);
    EXPECT_EQ(CallsNamed("PrepareHeader").size(), 8u) << "no buffers for a failed open";
}

TEST_F(CaptureScenario, OpenFailsAtStartUpSilently) {
    HeadlessDevice busy = Device("Busy");
    busy.open_fails = true;
    HeadlessAddDevice(busy);
    HeadlessAt(5, [] { EXPECT_EQ(LiveCaptureBufferCount(), 0); });
    RunUntilClose(500);
    EXPECT_EQ(CallsNamed("Open").size(), 1u);
    EXPECT_TRUE(CallsNamed("PrepareHeader").empty());
    EXPECT_TRUE(CallsNamed("Start").empty());
    EXPECT_TRUE(spy.timers.empty());
}

TEST_F(CaptureScenario, StartFailsKeepsTheBuffersQueuedWithoutATimer) {
    HeadlessDevice stuck = Device("Stuck");
    stuck.start_fails = true;
    HeadlessAddDevice(stuck);
    static size_t mark;
    HeadlessAt(100, [] {
        ASSERT_NE(program.wave_in, nullptr);
        EXPECT_EQ(HeadlessQueuedBufferCount(program.wave_in), 8);
        mark = HeadlessWaveCalls().size();
        RestartFromDeviceList();
    });
    RunUntilClose(400);
    EXPECT_TRUE(spy.timers.empty());
    const auto names = Names(CallsFrom(mark));
    ASSERT_GE(names.size(), 12u);
    EXPECT_EQ(names[0], "Reset");
    EXPECT_EQ(names[1], "Stop");
    EXPECT_EQ(names[10], "Close");
    EXPECT_EQ(names[11], "Open");
}

TEST_F(CaptureScenario, SecondStopMakesNoDeviceCalls) {
    HeadlessAddDevice(Device("Mic"));
    HeadlessAt(50, [] {
        size_t before = HeadlessWaveCalls().size();
        StopCapture();
        EXPECT_EQ(HeadlessWaveCalls().size() - before, 11u);   // reset, stop, 8 unprepare, close
        EXPECT_EQ(program.wave_in, nullptr);
        HeadlessClearWaveCalls();
        StopCapture();
        EXPECT_TRUE(HeadlessWaveCalls().empty());
    });
    RunUntilClose(200);
    EXPECT_EQ(TimersAfter(50), 0);
}

TEST_F(CaptureScenario, OpeningAndClosingTheListRestartsCaptureForEachNotification) {
    HeadlessAddDevice(Device("Mic"));
    static size_t opens_before;
    HeadlessAt(40, [] {
        opens_before = CallsNamed("Open").size();
        // The list sits in the toolbar; click it open, then click it again to close it.
        RectI list{}, bar{};
        ASSERT_TRUE(GetControlRect(FindSelector(ID_DEVICE_COMBO), &list));
        ASSERT_TRUE(GetControlRect(program.toolbar_handle, &bar));
        const int x = bar.left + (list.left + list.right) / 2;
        const int y = bar.top + (list.top + list.bottom) / 2;
        HeadlessClickAt(60, nullptr, x, y);
        HeadlessClickAt(120, nullptr, x, y);
    });
    HeadlessAt(200, [] { EXPECT_NE(program.wave_in, nullptr); });
    RunUntilClose(250);
    const size_t restarts = CallsNamed("Open").size() - opens_before;
    EXPECT_GE(spy.device_commands.size(), 4u) << "opening and closing the list notifies";
    // The notifications one click sends come together and make one restart.
    EXPECT_EQ(restarts, 2u) << "each click restarts capture once";
    EXPECT_EQ(CallsNamed("Close").size(), restarts + 1);
}

TEST_F(CaptureScenario, ThousandRestartsKeepMemoryBounded) {
    HeadlessAddDevice(Device("Mic"));
    static int most;
    most = 0;
    for (int k = 0; k < 1000; ++k) {
        HeadlessAt(40 + k * 3.1, [] {
            RestartFromDeviceList();
            most = std::max(most, LiveCaptureBufferCount());
        });
    }
    HeadlessAt(3200, [] {
        most = std::max(most, LiveCaptureBufferCount());
        EXPECT_LE(LiveCaptureBufferCount(), 9);
        EXPECT_EQ(HeadlessOpenHandleCount(), 1);
        ASSERT_NE(program.last_data, nullptr);
    });
    RunUntilClose(3300);
    EXPECT_LE(most, 9) << "eight buffers of the running capture and at most the one last_data names";
    EXPECT_EQ(CallsNamed("Open").size(), 1001u);
}

TEST_F(CaptureScenario, KeptBufferSurvivesUntilLastDataMovesOn) {
    HeadlessAddDevice(Device("Mic"));
    static char* kept;
    HeadlessAt(50, [] {
        kept = program.last_data;
        ASSERT_NE(kept, nullptr);
        StopCapture();
        // The device is closed; only the buffer last_data names is still allocated.
        EXPECT_EQ(LiveCaptureBufferCount(), 1);
        EXPECT_EQ(program.last_data, kept);
        StartCapture();
        EXPECT_EQ(LiveCaptureBufferCount(), 9);
    });
    HeadlessAt(100, [] {
        EXPECT_NE(program.last_data, kept);
        // The next teardown can now drop the old buffer too.
        StopCapture();
        EXPECT_EQ(LiveCaptureBufferCount(), 1);
        StartCapture();
    });
    RunUntilClose(150);
}

}  // namespace
