// A seeded random storm on the real program: keys, list actions, devices that vanish, return,
// arrive and leave, short, empty, odd-sized and late deliveries, timer bursts and junk posted
// from outside, with the program's invariants checked after every event and every message.
// KORVELT_STORM_SEED=<n> replays a run; KORVELT_STORM_EVENTS=<n> changes its length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "platform/portable/headless/headless.h"

namespace {

constexpr uint64_t DEFAULT_SEED = 20261208;
constexpr int DEFAULT_EVENTS = 100000;
constexpr int MAX_PRESENT_DEVICES = 6;
constexpr size_t POSTED_BOUND = 64;   // junk bursts of 20 on top of the program's own few

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    if (std::string(text) == "random") return std::random_device{}();
    return std::strtoull(text, nullptr, 10);
}

struct Storm {
    std::mt19937_64 random;
    int events_left = 0;
    int events_done = 0;
    std::map<std::string, int> kinds;      // events made, by kind
    std::vector<int> keys;                 // every device key added
    std::vector<bool> present;             // by key
    std::vector<bool> vanished;            // by key
    std::vector<WaveInHandle> seen_handles;   // for stale posts
    WindowProcedure previous = nullptr;
    int violations = 0;
    std::string first_violation;
    int most_live_buffers = 0;
    size_t most_posted = 0;
    uint64_t messages = 0;

    int Below(int n) { return (int)(random() % (uint64_t)n); }
    bool Chance(int percent) { return Below(100) < percent; }
};
Storm storm;

void Violation(const std::string& what) {
    if (storm.violations++ == 0)
        storm.first_violation = what + " after event " + std::to_string(storm.events_done) + " at " +
                                std::to_string(HeadlessNowMs()) + " ms";
}

void CheckInvariants() {
    const int live = LiveCaptureBufferCount();
    const int abandoned = AbandonedRunCount();
    storm.most_live_buffers = std::max(storm.most_live_buffers, live);
    // Eight for the running capture, one that last_data names, and eight for each run a lost
    // driver may still hold (those must not be freed).
    if (live > 9 + 8 * abandoned) Violation("live buffers " + std::to_string(live));
    if (abandoned > 2) Violation("abandoned runs " + std::to_string(abandoned));
    const size_t posted = HeadlessPostedMessageCount();
    storm.most_posted = std::max(storm.most_posted, posted);
    if (posted > POSTED_BOUND) Violation("posted messages " + std::to_string(posted));
    if (HeadlessLiveHandleCount() > 1) Violation("two working devices open");
    // Beside the open run, only devices whose close failed may still be open.
    if (HeadlessOpenHandleCount() > 1 + abandoned) Violation("a closed run's device still open");
    if (HeadlessHeldHeaderReuseCount() != 0) Violation("a header the driver held was prepared or queued");
}

intptr_t PLATFORM_CALLBACK StormSpy(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    ++storm.messages;
    bool held = false;
    const uint64_t accepted = AcceptedDeliveryCount();
    if (message == MM_WIM_DATA) held = HeadlessHeaderHeldByDriver(reinterpret_cast<const WaveHeader*>(lparam));
    const intptr_t result = CallWindowProcedure(storm.previous, window, message, wparam, lparam);
    if (message == MM_WIM_DATA && held && AcceptedDeliveryCount() != accepted)
        Violation("a delivery was read from a header the driver held");
    if (program.wave_in &&
        std::find(storm.seen_handles.begin(), storm.seen_handles.end(), program.wave_in) == storm.seen_handles.end())
        storm.seen_handles.push_back(program.wave_in);
    CheckInvariants();
    return result;
}

const char* const NAMES[] = {"USB mic", "Line in", "Headset", "USB mic", "Webcam", "Line in"};

HeadlessDevice NewDevice() {
    HeadlessDevice device;
    device.name = NAMES[storm.Below(6)];   // some names repeat, as two identical microphones do
    const double left = 1000 + storm.Below(30000), right = 1000 + storm.Below(30000);
    device.signal = HeadlessSineSignal(200 + storm.Below(3000), left, right);
    return device;
}

int AddDevice() {
    const int key = HeadlessAddDevice(NewDevice());
    storm.keys.push_back(key);
    storm.present.resize((size_t)key + 1, false);
    storm.vanished.resize((size_t)key + 1, false);
    storm.present[key] = true;
    return key;
}

int PresentCount() { return (int)std::count(storm.present.begin(), storm.present.end(), true); }

// A key of a present device, -1 when there is none.
int SomePresentDevice() {
    std::vector<int> keys;
    for (size_t k = 0; k < storm.present.size(); ++k)
        if (storm.present[k]) keys.push_back((int)k);
    return keys.empty() ? -1 : keys[storm.Below((int)keys.size())];
}

// Junk another program could post: MM_WIM_DATA with pointers anywhere and handles that are
// not this run's, commands, restarts, device changes, sizes and unknown messages. A forgery
// of a real delivery (the open handle and one of its queued headers) is left out: nothing
// tells it apart from the real thing.
void PostJunk() {
    WindowRef main = program.main_window_handle;
    WaveHeader* table = program.wave_headers.data();
    const uintptr_t current = (uintptr_t)program.wave_in;
    switch (storm.Below(7)) {
        case 0: {
            // A whole entry of the table only when this run has not queued it.
            int entry = storm.Below(17);
            if (CaptureHeaderQueued(entry)) entry = -1;
            const intptr_t pointers[] = {0, 1, 0x10, -1, -64, (intptr_t)storm.random(), (intptr_t)table + 1 + storm.Below(40),
                                         entry < 0 ? 0 : (intptr_t)(table + entry), (intptr_t)table - 48};
            PostWindowMessage(main, MM_WIM_DATA, current, pointers[storm.Below(9)]);
            break;
        }
        case 1: {
            uintptr_t device = storm.Chance(50) || storm.seen_handles.empty()
                                   ? (uintptr_t)storm.random()
                                   : (uintptr_t)storm.seen_handles[storm.Below((int)storm.seen_handles.size())];
            if (device == current) device ^= 0x1000;
            PostWindowMessage(main, MM_WIM_DATA, device, (intptr_t)(table + storm.Below(17)));
            break;
        }
        case 2:
            PostWindowMessage(main, WM_COMMAND, (uintptr_t)storm.Below(12) | ((uintptr_t)storm.Below(11) << 16), 0);
            break;
        case 3: PostWindowMessage(main, CAPTURE_RESTART_MSG, storm.random(), (intptr_t)storm.random()); break;
        case 4: PostWindowMessage(main, WM_DEVICECHANGE, 7, 0); break;
        case 5: PostWindowMessage(main, WM_SIZE, 0, (intptr_t)storm.random()); break;
        default:
            PostWindowMessage(main, WM_USER + 1502 + storm.Below(100), storm.random(), (intptr_t)storm.random());
            break;
    }
}

void OneEvent() {
    WindowRef list = FindSelector(ID_DEVICE_COMBO);
    const double now = HeadlessNowMs();
    const int roll = storm.Below(100);
    std::string kind;
    // Opening the list costs a copy of the whole window, so list clicks are a smaller share
    // than keys on the focused list, which restart capture just as well.
    if (roll < 20) {
        kind = "key";
        static const int KEYS[] = {VK_UP, VK_DOWN, VK_RETURN, VK_SPACE, 'A', 'M', 0x09};
        HeadlessKeyAt(now, KEYS[storm.Below(7)]);
    } else if (roll < 26) {
        kind = "focus";
        SetKeyboardFocus(storm.Chance(60) ? list : program.main_window_handle);
    } else if (roll < 27) {
        kind = "list open/close";
        HeadlessClickListAt(now, list);
    } else if (roll < 29) {
        kind = "list choose";
        const int count = std::max(1, std::min(ListItemCount(list), 23));
        HeadlessChooseListItemAt(now, list, storm.Below(count));
    } else if (roll < 30) {
        kind = "list cancel";
        HeadlessClickListAt(now, list);
        HeadlessClickAt(now + 0.1, nullptr, 600, 560);
    } else if (roll < 34) {
        kind = "device vanish";
        const int key = SomePresentDevice();
        if (key >= 0) {
            HeadlessVanishDevice(key);
            storm.vanished[key] = true;
        }
    } else if (roll < 39) {
        kind = "device return";
        const int key = SomePresentDevice();
        if (key >= 0 && storm.vanished[key]) {
            HeadlessReturnDevice(key);
            storm.vanished[key] = false;
        }
    } else if (roll < 42) {
        kind = "device add";
        if (PresentCount() < MAX_PRESENT_DEVICES) AddDevice();
    } else if (roll < 45) {
        kind = "device remove";
        const int key = SomePresentDevice();
        if (key >= 0 && PresentCount() > 1) {
            HeadlessRemoveDevice(key);
            storm.present[key] = false;
        }
    } else if (roll < 58) {
        kind = "delivery fault";
        const int key = SomePresentDevice();
        if (HeadlessDevice* config = HeadlessDeviceConfig(key)) {
            static const uint32_t SIZES[] = {0, 0, 0, 1, 2, 3, 5, 100, 255, 511, 513};
            switch (storm.Below(5)) {
                case 0: config->short_delivery_bytes = SIZES[storm.Below(11)]; break;
                case 1: config->empty_deliveries = storm.Chance(30); break;
                case 2: config->late_until_ms = now + storm.Below(400); break;
                case 3: config->open_fails = storm.Chance(15); break;
                default: config->start_fails = storm.Chance(10); break;
            }
        }
    } else if (roll < 66) {
        kind = storm.Chance(25) ? "timer burst" : "junk";
        // Each posted WM_TIMER is a whole display tick: bursts are kept short and rare.
        const int n = kind == "junk" ? 0 : 1 + storm.Below(8);
        if (n == 0) PostJunk();
        for (int i = 0; i < n; ++i) PostWindowMessage(program.main_window_handle, WM_TIMER, storm.Below(3), 0);
    } else if (roll < 86) {
        kind = "junk";
        PostJunk();
    } else {
        kind = "quiet";   // time passes: deliveries and ticks only
    }
    ++storm.kinds[kind];
    ++storm.events_done;
    CheckInvariants();
}

void ScheduleNext() {
    if (storm.events_left-- <= 0) return;
    // About a thousand events a second of program time: many per tick, now and then a quiet
    // stretch long enough for the input to count as stalled.
    const double gap = storm.Below(1000) < 5 ? 5 + storm.Below(300) : storm.Below(600) / 1000.0;
    HeadlessAt(HeadlessNowMs() + gap, [] {
        OneEvent();
        ScheduleNext();
    });
}

TEST(Storm, RandomEventsKeepTheProgramSound) {
    const uint64_t seed = EnvNumber("KORVELT_STORM_SEED", DEFAULT_SEED);
    const int events = (int)EnvNumber("KORVELT_STORM_EVENTS", DEFAULT_EVENTS);
    std::printf("storm seed %llu, %d events (replay: KORVELT_STORM_SEED=%llu)\n", (unsigned long long)seed, events,
                (unsigned long long)seed);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));

    HeadlessReset();
    storm = Storm{};
    storm.random.seed(seed);
    storm.events_left = events;
    HeadlessReuseClosedHandles(true);   // late messages of closed runs may carry the new handle
    for (int i = 0; i < 3; ++i) AddDevice();
    HeadlessAt(0, [] {
        HeadlessSetWaveCallLogging(false);
        HeadlessSetPresentLogging(false);
        storm.previous = ReplaceWindowProcedure(program.main_window_handle, StormSpy);
        ScheduleNext();
    });

    // After the storm: every device back and well, the mapper chosen; metering must resume.
    static double storm_end;
    storm_end = -1;
    static bool recovered = false;
    recovered = false;
    static std::function<void()> watch;
    watch = [] {
        if (storm.events_left > 0) {
            HeadlessAt(HeadlessNowMs() + 500, watch);
            return;
        }
        storm_end = HeadlessNowMs();
        while (PumpOneMessage()) {
        }
        for (size_t key = 0; key < storm.present.size(); ++key) {
            HeadlessDevice* config = HeadlessDeviceConfig((int)key);
            if (!config) continue;
            if (storm.present[key] && storm.vanished[key]) HeadlessReturnDevice((int)key);
            config->open_fails = config->start_fails = config->empty_deliveries = false;
            config->short_delivery_bytes = 0;
            config->late_until_ms = -1;
        }
        SetKeyboardFocus(program.main_window_handle);
        ListSelect(FindSelector(ID_DEVICE_COMBO), 0);
        SendWindowMessage(program.main_window_handle, WM_COMMAND, ID_DEVICE_COMBO, 0);
        HeadlessAt(HeadlessNowMs() + 2000, [] {
            recovered = program.wave_in != nullptr && program.input_lost == 0 && program.level_left > 0 &&
                        program.level_right > 0;
            if (!recovered)
                std::printf("after the storm: device %s, input %s, levels %.1f / %.1f, %d runs held by lost devices\n",
                            program.wave_in ? "open" : "closed", program.input_lost ? "lost" : "live",
                            program.level_left, program.level_right, AbandonedRunCount());
            HeadlessCloseAt(HeadlessNowMs());
        });
    };
    HeadlessAt(500, watch);
    EXPECT_EQ(ApplicationMain(), 0);

    std::printf("storm: %d events in %.1f s of program time, %llu messages handled, at most %d buffers live, "
                "at most %zu messages queued\n",
                storm.events_done, storm_end / 1000.0, (unsigned long long)storm.messages, storm.most_live_buffers,
                storm.most_posted);
    for (const auto& [kind, count] : storm.kinds) std::printf("  %-16s %d\n", kind.c_str(), count);
    EXPECT_EQ(storm.events_done, events);
    EXPECT_EQ(storm.violations, 0) << storm.first_violation << " (seed " << seed << ")";
    EXPECT_TRUE(recovered) << "metering did not resume after the storm (seed " << seed << ")";
    EXPECT_EQ(LiveCaptureBufferCount(), 0);
}

}  // namespace
