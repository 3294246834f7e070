// Message queue of the portable core: sending, posting (the one thread-safe entry), waiting
// and pumping, window timers and the asynchronous key state.
#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/portable/core.h"

namespace {

constexpr uint32_t TIMER_MINIMUM_MS = 10;  // as USER_TIMER_MINIMUM

struct PostedMessage {
    PlatformWindow* window;
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
};

struct WindowTimer {
    PlatformWindow* window;
    uintptr_t id;
    uint32_t period_ms;
    uint64_t due_us;
};

struct KeyState {
    bool down = false;
    bool pressed = false;  // went down since the last query
};

std::mutex g_posted_mutex;
std::deque<PostedMessage> g_posted;
std::vector<WindowTimer> g_timers;
KeyState g_keys[256];

bool TakePosted(PostedMessage* out) {
    std::lock_guard<std::mutex> lock(g_posted_mutex);
    if (g_posted.empty()) return false;
    *out = g_posted.front();
    g_posted.pop_front();
    return true;
}

// A timer message is made only when nothing is posted; the timer's next due time counts from
// now, so a late program sees one WM_TIMER, never a pile of them.
bool TakeDueTimer(WindowTimer* out) {
    uint64_t now = BackendNowMicros();
    WindowTimer* earliest = nullptr;
    for (WindowTimer& t : g_timers)
        if (t.due_us <= now && (!earliest || t.due_us < earliest->due_us)) earliest = &t;
    if (!earliest) return false;
    earliest->due_us = now + (uint64_t)earliest->period_ms * 1000;
    *out = *earliest;
    return true;
}

bool DispatchOne() {
    PostedMessage posted;
    if (TakePosted(&posted)) {
        if (IsLiveWindow(posted.window)) SendWindowMessage(posted.window, posted.message, posted.wparam, posted.lparam);
        return true;
    }
    WindowTimer timer;
    if (TakeDueTimer(&timer)) {
        SendWindowMessage(timer.window, WM_TIMER, timer.id, 0);
        return true;
    }
    return false;
}

}  // namespace

intptr_t SendWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!IsLiveWindow(window) || !window->procedure) return 0;
    return window->procedure(window, message, wparam, lparam);
}

bool PostWindowMessage(WindowRef window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!IsLiveWindow(window)) return false;
    {
        std::lock_guard<std::mutex> lock(g_posted_mutex);
        g_posted.push_back(PostedMessage{window, message, wparam, lparam});
    }
    BackendWake();
    return true;
}

// User input (keys, clicks, the close button) reaches its window while the presenter polls;
// on Windows it arrives as queued messages, so each counts as a message taken.
static uint64_t g_input_delivered;

void CoreNoteInputDelivered() { ++g_input_delivered; }

bool WaitAndDispatchMessage() {
    for (;;) {
        const uint64_t input_before = g_input_delivered;
        BackendPollInput();
        if (g_input_delivered != input_before) return true;
        if (DispatchOne()) return true;
        BackendWait(CoreNextTimerDue());
    }
}

bool PumpOneMessage() {
    const uint64_t input_before = g_input_delivered;
    BackendPollInput();
    if (g_input_delivered != input_before) return true;
    return DispatchOne();
}

void StartWindowTimer(WindowRef window, uintptr_t id, uint32_t period_ms) {
    if (!IsLiveWindow(window)) return;
    period_ms = std::max(period_ms, TIMER_MINIMUM_MS);
    uint64_t due = BackendNowMicros() + (uint64_t)period_ms * 1000;
    for (WindowTimer& t : g_timers)
        if (t.window == window && t.id == id) {
            t.period_ms = period_ms;
            t.due_us = due;
            return;
        }
    g_timers.push_back(WindowTimer{window, id, period_ms, due});
}

void StopWindowTimer(WindowRef window, uintptr_t id) {
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [&](const WindowTimer& t) { return t.window == window && t.id == id; }),
                   g_timers.end());
}

size_t CorePostedCount() {
    std::lock_guard<std::mutex> lock(g_posted_mutex);
    return g_posted.size();
}

uint64_t MonotonicMicros() { return BackendNowMicros(); }

int16_t QueryAsyncKeyState(int virtual_key) {
    if (virtual_key < 0 || virtual_key > 255) return 0;
    KeyState& key = g_keys[virtual_key];
    uint16_t state = (key.down ? 0x8000 : 0) | (key.pressed ? 1 : 0);
    key.pressed = false;
    return (int16_t)state;
}

void RecordKeyTransition(int virtual_key, bool down) {
    if (virtual_key < 0 || virtual_key > 255) return;
    g_keys[virtual_key].down = down;
    if (down) g_keys[virtual_key].pressed = true;
}

void ForgetWindowTimers(PlatformWindow* window) {
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [&](const WindowTimer& t) { return t.window == window; }),
                   g_timers.end());
}

uint64_t CoreNextTimerDue() {
    uint64_t due = UINT64_MAX;
    for (const WindowTimer& t : g_timers) due = std::min(due, t.due_us);
    return due;
}

void ResetQueue() {
    {
        std::lock_guard<std::mutex> lock(g_posted_mutex);
        g_posted.clear();
    }
    g_timers.clear();
    for (KeyState& key : g_keys) key = KeyState{};
}
