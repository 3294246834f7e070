// Test helpers for the portable backend: a window procedure that records every message it
// gets, and a fixture that resets the headless backend before each test.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "platform/portable/headless/headless.h"

struct RecordedMessage {
    WindowRef window;
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
    double time_ms;
};

inline std::vector<RecordedMessage>& Recorded() {
    static std::vector<RecordedMessage> log;
    return log;
}

// Minimum tracking size the recording procedure reports (0: leave the default).
inline PointI& ReportedMinTrack() {
    static PointI size{0, 0};
    return size;
}

inline intptr_t PLATFORM_CALLBACK RecordingProcedure(WindowRef window, uint32_t message, uintptr_t wparam,
                                                     intptr_t lparam) {
    Recorded().push_back(RecordedMessage{window, message, wparam, lparam, HeadlessNowMs()});
    if (message == WM_GETMINMAXINFO && ReportedMinTrack().x > 0) {
        auto* info = reinterpret_cast<MinMaxInfo*>(lparam);
        info->min_track_size = ReportedMinTrack();
    }
    if (message == WM_CLOSE) return 0;  // the program decides what a close request means
    return DefaultWindowProcedure(window, message, wparam, lparam);
}

// Recorded messages of one kind, in order.
inline std::vector<RecordedMessage> RecordedOf(uint32_t message) {
    std::vector<RecordedMessage> out;
    for (const RecordedMessage& m : Recorded())
        if (m.message == message) out.push_back(m);
    return out;
}

// Notification codes of the WM_COMMAND messages recorded, in order.
inline std::vector<int> CommandCodes() {
    std::vector<int> codes;
    for (const RecordedMessage& m : RecordedOf(WM_COMMAND)) codes.push_back((int)(m.wparam >> 16));
    return codes;
}

class PortableTest : public ::testing::Test {
protected:
    void SetUp() override {
        HeadlessReset();
        Recorded().clear();
        ReportedMinTrack() = PointI{0, 0};
    }
    void TearDown() override { HeadlessReset(); }

    WindowRef MakeMain(int width = 320, int height = 240) {
        WindowRef w = CreateMainWindow("test", 10, 20, width, height, WS_CAPTION | WS_SYSMENU, RecordingProcedure);
        EXPECT_NE(w, nullptr);
        return w;
    }
};
