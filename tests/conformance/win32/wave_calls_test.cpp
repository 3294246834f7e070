// The bounded wave device calls of the win32 backend: a call that hangs (as Wine's driver
// does on a frozen sound server) is answered "busy" instead of holding the caller, nothing
// reaches the driver until it has returned, and what it returns late still reaches its
// handler. The hanging call here waits on an event instead of on a server.
#include <gtest/gtest.h>

#include "platform/win32/backend.h"

// Defined in wavein.cpp: how the backend's device calls run, one row at a time.
uint32_t RunWaveCallInRow(WaveCall call, void* context, uint32_t budget_ms, WaveLateResult late);

namespace {

struct HangingCall {
    HANDLE release = nullptr;    // the call returns once this is set
    HANDLE late_seen = nullptr;  // set by the late handler
    uint32_t returns = 0;
    uint32_t late_result = 0xFFFFFFFFu;
    int runs = 0;
};

uint32_t Hang(void* context) {
    HangingCall* call = static_cast<HangingCall*>(context);
    ++call->runs;
    WaitForSingleObject(call->release, INFINITE);
    return call->returns;
}

void SeeLate(void* context, uint32_t result) {
    HangingCall* call = static_cast<HangingCall*>(context);
    call->late_result = result;
    SetEvent(call->late_seen);
}

uint32_t Count(void* context) {
    ++*static_cast<int*>(context);
    return 7;
}

// Waits (without a limit the test relies on) until no call is left inside the driver.
bool WaitUntilFree() {
    for (int i = 0; i < 10000 && WaveCallStuck(); ++i) Sleep(1);
    return !WaveCallStuck();
}

TEST(BoundedWaveCalls, AQuickCallGivesItsOwnResult) {
    ASSERT_TRUE(WaitUntilFree());
    int runs = 0;
    EXPECT_EQ(RunBoundedWaveCall(Count, &runs, 60000, nullptr), 7u);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(WaveCallStuck());
}

TEST(BoundedWaveCalls, AHangingCallIsAnsweredBusyAndHoldsBackLaterCalls) {
    ASSERT_TRUE(WaitUntilFree());
    HangingCall hanging;
    hanging.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hanging.late_seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hanging.returns = 42;
    const uint64_t late_before = LateWaveCallCount();

    EXPECT_EQ(RunBoundedWaveCall(Hang, &hanging, 20, SeeLate), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_TRUE(WaveCallStuck());
    EXPECT_EQ(LateWaveCallCount(), late_before + 1);

    // While it hangs, nothing else is run, and the device calls answer at once, without
    // reaching WinMM.
    int runs = 0;
    EXPECT_EQ(RunBoundedWaveCall(Count, &runs, 60000, nullptr), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(runs, 0);
    WaveHeader header = {};
    EXPECT_EQ(WaveInAddBuffer(nullptr, &header, sizeof header), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(WaveInReset(nullptr), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(WaveInClose(nullptr), (uint32_t)MMSYSERR_HANDLEBUSY);
    WaveInHandle opened = nullptr;
    WaveFormat format = {};
    EXPECT_EQ(WaveInOpen(&opened, WAVE_MAPPER, &format, 0, 0, 0), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_EQ(opened, nullptr);

    // Once it returns, its late result is handed on and calls run again.
    SetEvent(hanging.release);
    ASSERT_EQ(WaitForSingleObject(hanging.late_seen, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(hanging.late_result, 42u);
    ASSERT_TRUE(WaitUntilFree());
    EXPECT_EQ(hanging.runs, 1);
    EXPECT_EQ(RunBoundedWaveCall(Count, &runs, 60000, nullptr), 7u);
    EXPECT_EQ(runs, 1);
    // WinMM's own answer now (the header is unprepared, the handle null): anything but busy.
    EXPECT_NE(WaveInAddBuffer(nullptr, &header, sizeof header), (uint32_t)MMSYSERR_HANDLEBUSY);
    EXPECT_NE(WaveInAddBuffer(nullptr, &header, sizeof header), (uint32_t)MMSYSERR_NOERROR);
    CloseHandle(hanging.release);
    CloseHandle(hanging.late_seen);
}

struct SlowCalls {
    int runs = 0;
};

// A driver that answers every call, each a little under its own bound.
uint32_t AnswerSlowly(void* context) {
    ++static_cast<SlowCalls*>(context)->runs;
    Sleep(100);
    return 0;
}

TEST(BoundedWaveCalls, ARowOfCallsWaitsOneBoundInAll) {
    ASSERT_TRUE(WaitUntilFree());
    Sleep(250);   // whatever ran before is a row of its own
    SlowCalls slow;
    int busy_unrun = 0;
    for (int i = 0; i < 8; ++i) {
        const int runs_before = slow.runs;
        const uint32_t result = RunWaveCallInRow(AnswerSlowly, &slow, WAVE_CALL_BUDGET_MS, nullptr);
        if (result == MMSYSERR_HANDLEBUSY && slow.runs == runs_before) ++busy_unrun;
        ASSERT_TRUE(WaitUntilFree());
    }
    // Eight calls of 100 ms each would take 800 ms one by one; the row stops after about 300.
    EXPECT_LE(slow.runs, 4) << "the row kept running calls after its budget was spent";
    EXPECT_GE(busy_unrun, 4) << "the rest of the row is answered busy without reaching the driver";

    // After a quiet spell a new row begins, with a budget of its own.
    Sleep(250);
    const int runs_before = slow.runs;
    EXPECT_EQ(RunWaveCallInRow(AnswerSlowly, &slow, WAVE_CALL_BUDGET_MS, nullptr), 0u);
    EXPECT_EQ(slow.runs, runs_before + 1);
    ASSERT_TRUE(WaitUntilFree());
}

}  // namespace
