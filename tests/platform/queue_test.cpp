// The portable message queue on the virtual clock: posting before timers, WM_TIMER that never
// piles up, clock jumps, scripted actions, async key state, and the hang detector.
#include <thread>

#include "platform/portable/backend.h"

#include "recorder.h"

namespace {

constexpr uint32_t MSG_A = WM_USER + 1;
constexpr uint32_t MSG_B = WM_USER + 2;

using QueueTest = PortableTest;

TEST_F(QueueTest, PostedMessagesComeInOrderAndBeforeDueTimers) {
    WindowRef w = MakeMain();
    StartWindowTimer(w, 7, 10);
    HeadlessRunUntil(25);  // the timer is overdue now
    Recorded().clear();
    PostWindowMessage(w, MSG_A, 1, 2);
    PostWindowMessage(w, MSG_B, 3, 4);
    ASSERT_TRUE(WaitAndDispatchMessage());
    ASSERT_TRUE(WaitAndDispatchMessage());
    ASSERT_TRUE(WaitAndDispatchMessage());
    ASSERT_EQ(Recorded().size(), 3u);
    EXPECT_EQ(Recorded()[0].message, MSG_A);
    EXPECT_EQ(Recorded()[0].wparam, 1u);
    EXPECT_EQ(Recorded()[0].lparam, 2);
    EXPECT_EQ(Recorded()[1].message, MSG_B);
    EXPECT_EQ(Recorded()[2].message, (uint32_t)WM_TIMER);
    EXPECT_EQ(Recorded()[2].wparam, 7u);
}

TEST_F(QueueTest, TimerNeverPilesUpAndCountsFromGeneration) {
    WindowRef w = MakeMain();
    StartWindowTimer(w, 0, 32);
    // A long busy stretch: 201 ms pass without the queue being looked at.
    BackendWait(201000);
    ASSERT_DOUBLE_EQ(HeadlessNowMs(), 201);
    Recorded().clear();
    // Only one WM_TIMER is owed, whatever the delay.
    EXPECT_TRUE(PumpOneMessage());
    EXPECT_FALSE(PumpOneMessage());
    ASSERT_EQ(RecordedOf(WM_TIMER).size(), 1u);
    // The next one is a full period after the one just made.
    ASSERT_TRUE(WaitAndDispatchMessage());
    EXPECT_DOUBLE_EQ(HeadlessNowMs(), 201 + 32);
}

TEST_F(QueueTest, WaitingJumpsTheVirtualClockToTheNextTimer) {
    WindowRef w = MakeMain();
    StartWindowTimer(w, 1, 32);
    StartWindowTimer(w, 2, 50);
    std::vector<std::pair<uintptr_t, double>> ticks;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(WaitAndDispatchMessage());
        const RecordedMessage& m = Recorded().back();
        ASSERT_EQ(m.message, (uint32_t)WM_TIMER);
        ticks.emplace_back(m.wparam, m.time_ms);
    }
    std::vector<std::pair<uintptr_t, double>> expected{{1, 32}, {2, 50}, {1, 64}, {1, 96}, {2, 100}};
    EXPECT_EQ(ticks, expected);
}

TEST_F(QueueTest, StoppedTimerAndDestroyedWindowGetNothing) {
    WindowRef w = MakeMain();
    WindowRef other = MakeMain();
    StartWindowTimer(w, 1, 10);
    StartWindowTimer(other, 1, 20);
    StopWindowTimer(w, 1);
    PostWindowMessage(w, MSG_A, 0, 0);
    DestroyWindowTree(w);
    Recorded().clear();
    ASSERT_TRUE(WaitAndDispatchMessage());  // the dropped post still counts as taken
    ASSERT_TRUE(WaitAndDispatchMessage());
    ASSERT_EQ(Recorded().size(), 1u);
    EXPECT_EQ(Recorded()[0].window, other);
    EXPECT_EQ(Recorded()[0].message, (uint32_t)WM_TIMER);
    EXPECT_DOUBLE_EQ(Recorded()[0].time_ms, 20);
    EXPECT_FALSE(PostWindowMessage(w, MSG_A, 0, 0));
}

TEST_F(QueueTest, RestartingATimerResetsItsPeriod) {
    WindowRef w = MakeMain();
    StartWindowTimer(w, 3, 30);
    HeadlessRunUntil(20);
    StartWindowTimer(w, 3, 100);
    ASSERT_TRUE(WaitAndDispatchMessage());
    EXPECT_DOUBLE_EQ(Recorded().back().time_ms, 120);
}

TEST_F(QueueTest, PumpDoesNotWaitAndScriptedActionsRunOnTime) {
    WindowRef w = MakeMain();
    EXPECT_FALSE(PumpOneMessage());
    double ran_at = -1;
    HeadlessAt(40, [&] {
        ran_at = HeadlessNowMs();
        PostWindowMessage(w, MSG_A, 0, 0);
    });
    EXPECT_FALSE(PumpOneMessage());
    EXPECT_EQ(ran_at, -1);
    ASSERT_TRUE(WaitAndDispatchMessage());
    EXPECT_DOUBLE_EQ(ran_at, 40);
    EXPECT_EQ(Recorded().back().message, MSG_A);
    EXPECT_DOUBLE_EQ(Recorded().back().time_ms, 40);
}

TEST_F(QueueTest, RunUntilStopsAtTheTime) {
    WindowRef w = MakeMain();
    StartWindowTimer(w, 0, 32);
    HeadlessRunUntil(100);
    EXPECT_DOUBLE_EQ(HeadlessNowMs(), 100);
    EXPECT_EQ(RecordedOf(WM_TIMER).size(), 3u);  // 32, 64, 96
}

TEST_F(QueueTest, PostingFromAnotherThreadIsSafe) {
    WindowRef w = MakeMain();
    std::thread poster([w] {
        for (int i = 0; i < 1000; ++i) PostWindowMessage(w, MSG_A, (uintptr_t)i, 0);
    });
    poster.join();
    Recorded().clear();
    while (PumpOneMessage()) {
    }
    ASSERT_EQ(Recorded().size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(Recorded()[i].wparam, (uintptr_t)i);
}

TEST_F(QueueTest, SendCallsTheProcedureAtOnce) {
    WindowRef w = MakeMain();
    Recorded().clear();
    SendWindowMessage(w, MSG_B, 5, 6);
    ASSERT_EQ(Recorded().size(), 1u);
    EXPECT_EQ(Recorded()[0].message, MSG_B);
}

TEST_F(QueueTest, AsyncKeyStateReportsDownAndPressedSinceLastQuery) {
    MakeMain();
    EXPECT_EQ(QueryAsyncKeyState(VK_ESCAPE), 0);
    InjectKey(VK_ESCAPE, true);
    EXPECT_EQ((uint16_t)QueryAsyncKeyState(VK_ESCAPE), 0x8001);
    EXPECT_EQ((uint16_t)QueryAsyncKeyState(VK_ESCAPE), 0x8000);  // the pressed bit is cleared by a query
    InjectKey(VK_ESCAPE, false);
    EXPECT_EQ(QueryAsyncKeyState(VK_ESCAPE), 0);
    HeadlessKeyAt(5, VK_SPACE);
    HeadlessRunUntil(5);
    EXPECT_EQ(QueryAsyncKeyState(VK_SPACE), 1);  // pressed and released before the query
    EXPECT_EQ(QueryAsyncKeyState(VK_SPACE), 0);
    EXPECT_EQ(QueryAsyncKeyState(VK_RETURN), 0);
}

TEST_F(QueueTest, KeysGoToTheFocusedWindowWithTheKeyDownDuringKeyDown) {
    WindowRef w = MakeMain();
    ReplaceWindowProcedure(w, [](WindowRef window, uint32_t m, uintptr_t wp, intptr_t lp) -> intptr_t {
        if (m == WM_KEYDOWN) Recorded().push_back({window, m, wp, (intptr_t)QueryAsyncKeyState(VK_ESCAPE), 0});
        return 0;
    });
    HeadlessKeyAt(10, VK_ESCAPE);
    HeadlessRunUntil(10);
    ASSERT_EQ(RecordedOf(WM_KEYDOWN).size(), 1u);
    EXPECT_EQ(RecordedOf(WM_KEYDOWN)[0].wparam, (uintptr_t)VK_ESCAPE);
    EXPECT_EQ((uint16_t)RecordedOf(WM_KEYDOWN)[0].lparam, 0x8001);
}

TEST_F(QueueTest, CloseRequestIsSentToTheTopLevel) {
    WindowRef w = MakeMain();
    HeadlessCloseAt(15);
    HeadlessRunUntil(20);
    auto closes = RecordedOf(WM_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].window, w);
    EXPECT_DOUBLE_EQ(closes[0].time_ms, 15);
    EXPECT_TRUE(IsWindowShown(w));  // the recording procedure keeps it
}

using QueueDeathTest = PortableTest;

TEST_F(QueueDeathTest, WaitingForWhatCanNeverComeAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MakeMain();
    EXPECT_DEATH(WaitAndDispatchMessage(), "waits for an event that can never come");
}

}  // namespace
