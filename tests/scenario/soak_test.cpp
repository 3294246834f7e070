// An hour of program time on the headless clock: a tone metered throughout, a restart from the
// device list every 10 s, the input lost for 3 s every 5 minutes. The heap in use must stay
// flat after the first minute. KORVELT_SOAK_MINUTES=<n> changes the length (sanitizer builds
// run 10 minutes unless told otherwise, as they run many times slower).
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/main_window.h"
#include "app/state.h"
#include "capture/capture.h"
#include "platform/portable/headless/headless.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator keeps its own books; mallinfo2 does not see them.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define KORVELT_SOAK_UNDER_ASAN 1
#endif

namespace {

constexpr size_t ALLOWED_GROWTH_BYTES = 32 * 1024;

size_t HeapInUse() {
#ifdef KORVELT_SOAK_UNDER_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

int SoakMinutes() {
    if (const char* text = std::getenv("KORVELT_SOAK_MINUTES")) {
        const int minutes = std::atoi(text);
        if (minutes >= 2) return minutes;
    }
#ifdef KORVELT_SOAK_UNDER_ASAN
    return 10;
#else
    return 60;
#endif
}

TEST(Soak, HeapStaysFlatForAnHourOfMetering) {
    const int minutes = SoakMinutes();
    HeadlessReset();
    HeadlessReuseClosedHandles(true);   // the scripted driver itself keeps no record per open
    HeadlessDevice device;
    device.name = "Mic";
    device.signal = HeadlessSineSignal(997, 20000, 9000);
    const int key = HeadlessAddDevice(device);

    static std::vector<size_t> samples;   // heap in use at the end of each minute
    static int live_minutes;              // minutes whose last tick showed the tone
    static int most_buffers;
    samples.clear();
    samples.reserve((size_t)minutes + 1);
    live_minutes = 0;
    most_buffers = 0;
    HeadlessAt(0, [] {
        HeadlessSetWaveCallLogging(false);
        HeadlessSetPresentLogging(false);
    });
    const double end_ms = minutes * 60000.0;
    for (double at = 10000; at < end_ms; at += 10000) {
        HeadlessAt(at, [] {
            SendWindowMessage(program.main_window_handle, WM_COMMAND, ((uintptr_t)CBN_SELCHANGE << 16) | ID_DEVICE_COMBO,
                              (intptr_t)FindSelector(ID_DEVICE_COMBO));
        });
    }
    for (double at = 150000; at < end_ms; at += 300000) {
        HeadlessAt(at, [key] { HeadlessVanishDevice(key); });
        HeadlessAt(at + 3000, [key] { HeadlessReturnDevice(key); });
    }
    for (int minute = 1; minute <= minutes; ++minute) {
        HeadlessAt(minute * 60000.0 - 1, [] {
            samples.push_back(HeapInUse());
            most_buffers = std::max(most_buffers, LiveCaptureBufferCount());
            if (program.level_left > 100 && program.level_right > 50 && program.level_left > program.level_right)
                ++live_minutes;
        });
    }
    HeadlessCloseAt(end_ms);
    EXPECT_EQ(ApplicationMain(), 0);

    ASSERT_EQ(samples.size(), (size_t)minutes);
    const size_t baseline = samples[0];
    const size_t highest = *std::max_element(samples.begin() + 1, samples.end());
    std::printf("soak: %d minutes of program time, heap in use after minute 1: %zu bytes, highest later: %zu "
                "(%+lld), last: %zu; at most %d capture buffers\n",
                minutes, baseline, highest, (long long)highest - (long long)baseline, samples.back(), most_buffers);
    EXPECT_LE(highest, baseline + ALLOWED_GROWTH_BYTES) << "the heap grows while the program runs";
    EXPECT_EQ(live_minutes, minutes) << "the tone was not metered at the end of every minute";
    EXPECT_LE(most_buffers, 9);
}

}  // namespace
