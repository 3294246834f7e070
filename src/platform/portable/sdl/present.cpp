// SDL2 presenter, screen and input side: one fixed-size SDL window per top level showing its
// surface, SDL keys/mouse/close turned into core input, the real clock, waiting and waking.
// Implements the presenter half of backend.h except wave input (wave_in.cpp).
//
// Cost matters here: the program runs for hours, woken dozens of times a second by sound
// deliveries and 31 times by its redraw timer. The areas the core presents wait until the
// program falls idle; then what changed in them goes into the window surface and to the X
// server together (one round trip per redraw instead of one per control). Where the core's
// change map speaks for an area, only its tiles stamped since the last upload are copied, and
// the pieces sent are joined into a few rectangles, as cheap for the X server as it gets: a
// scope's trace is a few thousand pixels, not two boxes of 76 500. On X11, or with no display, the
// GUI thread sleeps in poll() on the X connection and a wake-up pipe, so a post from the
// audio thread costs one write() instead of a trip through the X server, and SDL is pumped
// only when the X connection spoke (or now and then while the program stays busy).
//
// On a high-DPI desktop every client pixel is shown as an N x N block (N from Xft.dpi, or the
// Wayland output, or KORVELT_SCALE=1..4 in the environment), and mouse positions are divided
// by N. KORVELT_PRESENT_LOG in the environment makes the program report on stderr, about once
// a second, how many frames it has sent to the screen (for the benchmarks).
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#define KORVELT_POLL_WAIT 1
#endif

#include "platform/portable/backend.h"
#include "platform/portable/sdl/sdl_presenter.h"
#include "platform/raster/dirty_rects.h"

namespace {

// Changed areas waiting for the idle upload, per window. More are merged into the nearest.
constexpr int MAX_PENDING = 8;
// Rectangles one upload may send (one per area waiting, and the two kinds of areas).
constexpr int MAX_UPLOAD = 2 * MAX_PENDING;
// A program busy for this long without waiting (a modal loop pumping by hand) still gets its
// drawing shown, and its input read.
constexpr uint64_t STALE_PRESENT_US = 16000;
constexpr uint64_t INPUT_PUMP_US = 10000;

enum class WaitMode {
    CONDITION,   // SDL's event queue could not be started: a condition variable
    SDL_QUEUE,   // other video drivers: SDL_WaitEventTimeout, woken by a pushed SDL event
    POLL,        // X11 or no display: poll() on the X connection and our wake-up pipe
};

struct TopWindow {
    WindowRef top = nullptr;
    SDL_Window* window = nullptr;   // null when there is no video
    bool shown = false;
    // What may have changed since the last upload: anywhere in `pending`, and in
    // `pending_exact` only where the surface's change map stamped tiles since `shown_stamp`.
    DirtyRectList<RectI, MAX_PENDING> pending;
    DirtyRectList<RectI, MAX_PENDING> pending_exact;
    uint64_t shown_stamp = 0;
    // The screen lost our pixels or never had them: send every row, changed or not.
    bool repaint_all = true;
    // The window surface our pixels last went into; a new one holds none of them.
    SDL_Surface* screen = nullptr;
};

struct Presenter {
    bool video = false;
    int scale = 1;                  // screen pixels per client pixel, each way
    // KORVELT_PRESENT_LOG: frames sent to the screen, reported about once a second.
    bool log_frames = false;
    uint64_t frames = 0;
    uint64_t frames_logged_us = 0;
    bool events = false;
    WaitMode mode = WaitMode::CONDITION;
    std::thread::id gui_thread;
    Uint32 wake_event = (Uint32)-1;
    std::atomic<bool> wake_pending{false};
    // Events taken off SDL's queue by BackendWait, handled by the next BackendPollInput.
    std::deque<SDL_Event> held;
    std::vector<TopWindow> tops;
    uint64_t close_at_us = 0;       // 0: no timed close request
    bool close_sent = false;
    uint64_t pending_since_us = 0;  // 0: nothing waits for the screen
    // POLL mode. The pipe is never closed: an audio thread may still wake us while we quit.
    int wake_pipe[2] = {-1, -1};
    int x11_fd = -1;
    bool x11_display = false;       // the video driver is X11 (input comes over x11_fd)
    bool x11_readable = false;      // poll() saw the X connection readable
    // Xlib may have read events into its own queue since SDL last pumped (any SDL video call
    // can do that); they must be pumped before sleeping, poll() cannot see them.
    bool x11_touched = true;
    uint64_t last_pump_us = 0;
    // Used for waiting only when SDL's event queue could not be started.
    std::mutex fallback_mutex;
    std::condition_variable fallback_cv;
};

Presenter presenter;

}  // namespace

thread_local bool sdl_wake_can_wait = false;

namespace {

TopWindow* FindTop(WindowRef top) {
    for (TopWindow& t : presenter.tops)
        if (t.top == top) return &t;
    return nullptr;
}

TopWindow* FindTopBySdlId(Uint32 id) {
    for (TopWindow& t : presenter.tops)
        if (t.window && SDL_GetWindowID(t.window) == id) return &t;
    return nullptr;
}

// Places the SDL window where the core has the top level (window managers may overrule it).
void FollowPosition(TopWindow& t) {
    RectI frame;
    if (!t.window || !GetWindowFrame(t.top, &frame)) return;
    int x = 0, y = 0;
    SDL_GetWindowPosition(t.window, &x, &y);
    if (x != frame.left || y != frame.top) SDL_SetWindowPosition(t.window, frame.left, frame.top);
    presenter.x11_touched = true;
}

// ---- presentation -------------------------------------------------------------------------

constexpr RectI ALL_OF_IT{0, 0, INT_MAX, INT_MAX};

bool Empty(const RectI& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

void NotePending(TopWindow& t, RectI area, bool exact = false) {
    if (Empty(area)) return;
    if (exact) t.pending_exact.Add(area);
    else t.pending.Add(area);
    if (!presenter.pending_since_us) presenter.pending_since_us = BackendNowMicros();
}

void RepaintAll(TopWindow& t) {
    t.repaint_all = true;
    NotePending(t, ALL_OF_IT);
}

// Copies one clipped rectangle (client pixels) to the window surface, enlarged by the
// desktop's scale; returns the part of it whose pixels differed (client pixels, maybe empty).
RectI CopyRect(const SurfaceView& view, SDL_Surface* screen, const RectI& area, bool all) {
    const int n = presenter.scale;
    switch (screen->format->format) {
    case SDL_PIXELFORMAT_RGB888:
    case SDL_PIXELFORMAT_ARGB8888:
        return PresentBlit(view, screen->pixels, (size_t)screen->pitch, screen->w, screen->h, area, n, false, all);
    case SDL_PIXELFORMAT_BGR888:
    case SDL_PIXELFORMAT_ABGR8888:
        return PresentBlit(view, screen->pixels, (size_t)screen->pitch, screen->w, screen->h, area, n, true, all);
    default: {   // unusual displays: enlarged here, converted by SDL, and all of it is sent
        int right = std::min({area.right, view.width, screen->w / n});
        int bottom = std::min({area.bottom, view.height, screen->h / n});
        int left = std::max(area.left, 0);
        int top = std::max(area.top, 0);
        if (left >= right || top >= bottom) return RectI{0, 0, 0, 0};
        const int width = (right - left) * n, height = (bottom - top) * n;
        static std::vector<uint32_t> enlarged;
        enlarged.assign((size_t)width * height, 0);
        SurfaceView part{right - left, bottom - top, view.stride, view.pixels + (size_t)top * view.stride + left};
        PresentBlit(part, enlarged.data(), (size_t)width * 4, width, height, RectI{0, 0, part.width, part.height}, n,
                    false, true);
        uint8_t* target = (uint8_t*)screen->pixels + (size_t)top * n * screen->pitch +
                          (size_t)left * n * screen->format->BytesPerPixel;
        SDL_ConvertPixels(width, height, SDL_PIXELFORMAT_ARGB8888, enlarged.data(), width * 4,
                          screen->format->format, target, screen->pitch);
        return RectI{left, top, right, bottom};
    }
    }
}

// The window surface to draw `t` into, sized like the core's surface; null when there is
// none. Notes when the screen holds none of our pixels.
SDL_Surface* PrepareScreen(TopWindow& t, SurfaceView* view) {
    if (!t.window || !t.shown) return nullptr;
    *view = TopLevelSurface(t.top);
    if (!view->pixels) return nullptr;
    int width = 0, height = 0;
    SDL_GetWindowSize(t.window, &width, &height);
    const int n = presenter.scale;
    if (width != view->width * n || height != view->height * n) {
        // The client area was resized by a placement: the user cannot resize, we follow it.
        SDL_SetWindowSize(t.window, view->width * n, view->height * n);
        presenter.x11_touched = true;
        t.repaint_all = true;
    }
    SDL_Surface* screen = SDL_GetWindowSurface(t.window);
    if (screen != t.screen) {
        presenter.x11_touched = true;
        t.screen = screen;
        t.repaint_all = true;
    }
    return screen;
}

// Brings `t`'s window surface up to date with what may have changed since the last upload
// and sends the changed parts to the screen in one update.
void FlushTop(TopWindow& t) {
    if (t.pending.count == 0 && t.pending_exact.count == 0) return;
    SurfaceView view;
    SDL_Surface* screen = PrepareScreen(t, &view);
    if (!screen) {
        t.pending.Clear();
        t.pending_exact.Clear();
        return;
    }
    if (SDL_MUSTLOCK(screen) && SDL_LockSurface(screen) != 0) return;
    // One rectangle per area waiting: each request costs the X server more than the few
    // thousand pixels a trace adds to a box, so a box is sent whole; but only its part that
    // changed (the tiles stamped since the last upload, and within those, the rows and
    // columns whose pixels differ).
    DirtyRectList<RectI, MAX_UPLOAD, false> changed;
    if (t.repaint_all) {
        changed.Add(CopyRect(view, screen, ALL_OF_IT, true));
        t.repaint_all = false;
    } else {
        for (int i = 0; i < t.pending.count; ++i) changed.Add(CopyRect(view, screen, t.pending.rects[i], false));
        for (int i = 0; i < t.pending_exact.count; ++i) {
            const RectI box = ChangedPartOf(t.top, t.pending_exact.rects[i], t.shown_stamp);
            if (!Empty(box)) changed.Add(CopyRect(view, screen, box, false));
        }
    }
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
    t.pending.Clear();
    t.pending_exact.Clear();
    t.shown_stamp = CoreChangeStamp();
    presenter.x11_touched = true;
    if (changed.count == 0) return;
    const int n = presenter.scale;
    SDL_Rect rects[MAX_UPLOAD];
    for (int i = 0; i < changed.count; ++i) {
        const RectI& r = changed.rects[i];
        rects[i] = SDL_Rect{r.left * n, r.top * n, (r.right - r.left) * n, (r.bottom - r.top) * n};
    }
    SDL_UpdateWindowSurfaceRects(t.window, rects, changed.count);
    ++presenter.frames;
}

void FlushPresents() {
    if (!presenter.pending_since_us) return;
    presenter.pending_since_us = 0;
    for (TopWindow& t : presenter.tops) FlushTop(t);
    if (presenter.log_frames) {
        uint64_t now = BackendNowMicros();
        if (now - presenter.frames_logged_us >= 1000000) {
            presenter.frames_logged_us = now;
            std::fprintf(stderr, "korvelt: %llu frames presented at %.3f s\n", (unsigned long long)presenter.frames,
                         now / 1e6);
        }
    }
}

// ---- input --------------------------------------------------------------------------------

// SDL key code -> Windows virtual-key code; 0 for keys the program has no use for.
int VirtualKeyFor(const SDL_Keysym& key) {
    SDL_Keycode k = key.sym;
    if (k >= SDLK_a && k <= SDLK_z) return 'A' + (int)(k - SDLK_a);
    if (k >= SDLK_0 && k <= SDLK_9) return '0' + (int)(k - SDLK_0);
    if (k >= SDLK_F1 && k <= SDLK_F12) return 0x70 + (int)(k - SDLK_F1);
    if (k >= SDLK_KP_1 && k <= SDLK_KP_9) return 0x61 + (int)(k - SDLK_KP_1);
    switch (k) {
    case SDLK_ESCAPE: return 0x1B;
    case SDLK_RETURN: case SDLK_KP_ENTER: return 0x0D;
    case SDLK_SPACE: return 0x20;
    case SDLK_TAB: return 0x09;
    case SDLK_BACKSPACE: return 0x08;
    case SDLK_PAGEUP: return 0x21;
    case SDLK_PAGEDOWN: return 0x22;
    case SDLK_END: return 0x23;
    case SDLK_HOME: return 0x24;
    case SDLK_LEFT: return 0x25;
    case SDLK_UP: return 0x26;
    case SDLK_RIGHT: return 0x27;
    case SDLK_DOWN: return 0x28;
    case SDLK_INSERT: return 0x2D;
    case SDLK_DELETE: return 0x2E;
    case SDLK_KP_0: return 0x60;
    case SDLK_LSHIFT: case SDLK_RSHIFT: return 0x10;
    case SDLK_LCTRL: case SDLK_RCTRL: return 0x11;
    case SDLK_LALT: case SDLK_RALT: return 0x12;
    default: return 0;
    }
}

void RequestClose(WindowRef top) {
    if (top) InjectCloseRequest(top);
}

void HandleEvent(const SDL_Event& e) {
    if (e.type == presenter.wake_event) {
        presenter.wake_pending.store(false);
        return;
    }
    switch (e.type) {
    case SDL_QUIT:   // a signal (the last window's close comes as a window event)
        RequestClose(FirstTopLevel());
        break;
    case SDL_WINDOWEVENT: {
        TopWindow* t = FindTopBySdlId(e.window.windowID);
        if (!t) break;
        switch (e.window.event) {
        case SDL_WINDOWEVENT_CLOSE: RequestClose(t->top); break;
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_SIZE_CHANGED:
        case SDL_WINDOWEVENT_RESTORED: RepaintAll(*t); break;
        default: break;
        }
        break;
    }
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
        int vk = VirtualKeyFor(e.key.keysym);
        if (vk) InjectKey(vk, e.type == SDL_KEYDOWN);
        break;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        if (e.button.button != SDL_BUTTON_LEFT) break;
        TopWindow* t = FindTopBySdlId(e.button.windowID);
        // The window shows every client pixel as a scale x scale block.
        if (t)
            InjectMouseButton(t->top, e.button.x / presenter.scale, e.button.y / presenter.scale,
                              e.type == SDL_MOUSEBUTTONDOWN);
        break;
    }
    default: break;
    }
}

void KeepEvent(const SDL_Event& e) {
    // Wake-ups carry nothing; clearing the flag here lets the next post push a fresh one.
    if (e.type == presenter.wake_event) presenter.wake_pending.store(false);
    else presenter.held.push_back(e);
}

void PumpSdl() {
    SDL_PumpEvents();
    presenter.last_pump_us = BackendNowMicros();
    presenter.x11_touched = false;
    presenter.x11_readable = false;
}

// ---- waiting ------------------------------------------------------------------------------

#ifdef KORVELT_POLL_WAIT
bool MakeWakePipe() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    presenter.wake_pipe[0] = fds[0];
    presenter.wake_pipe[1] = fds[1];
    return true;
}

void PollWait(uint64_t deadline_us) {
    // Sleeping with events in Xlib's or SDL's queue would leave them there until the next
    // timer; so pump first when SDL has talked to the X server since, and look.
    if (presenter.x11_touched || presenter.x11_readable) PumpSdl();
    if (SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT)) return;

    pollfd fds[2];
    int count = 0;
    fds[count++] = pollfd{presenter.wake_pipe[0], POLLIN, 0};
    if (presenter.x11_fd >= 0) fds[count++] = pollfd{presenter.x11_fd, POLLIN, 0};
    // An X11 window whose connection we could not find: look for its input now and then.
    if (presenter.x11_display && presenter.x11_fd < 0 && !presenter.tops.empty())
        deadline_us = std::min(deadline_us, presenter.last_pump_us + INPUT_PUMP_US);

    int ready;
    if (deadline_us == UINT64_MAX) {
        ready = poll(fds, (nfds_t)count, -1);
    } else {
        uint64_t now = BackendNowMicros();
        if (now >= deadline_us) return;
        uint64_t rest = deadline_us - now;
#ifdef __linux__
        timespec timeout{(time_t)(rest / 1000000), (long)(rest % 1000000) * 1000};
        ready = ppoll(fds, (nfds_t)count, &timeout, nullptr);
#else
        // Round up: waking a little early would only make the caller wait again for the rest.
        ready = poll(fds, (nfds_t)count, (int)std::min<uint64_t>((rest + 999) / 1000, INT_MAX));
#endif
    }
    if (ready <= 0) return;
    if (fds[0].revents) {
        char sink[64];
        while (read(presenter.wake_pipe[0], sink, sizeof sink) > 0) {
        }
        presenter.wake_pending.store(false);
    }
    if (count > 1 && fds[1].revents) presenter.x11_readable = true;
}
#endif

void SdlQueueWait(uint64_t deadline_us) {
    if (!presenter.held.empty()) return;
    SDL_Event e;
    if (deadline_us == UINT64_MAX) {
        if (SDL_WaitEvent(&e)) KeepEvent(e);
        return;
    }
    uint64_t now = BackendNowMicros();
    if (now >= deadline_us) return;
    // Round up: waking a little early would only make the caller wait again for the rest.
    uint64_t ms = (deadline_us - now + 999) / 1000;
    if (SDL_WaitEventTimeout(&e, (int)std::min<uint64_t>(ms, INT_MAX))) KeepEvent(e);
}

void ConditionWait(uint64_t deadline_us) {
    std::unique_lock<std::mutex> lock(presenter.fallback_mutex);
    auto woken = [] { return presenter.wake_pending.exchange(false); };
    if (deadline_us == UINT64_MAX) {
        presenter.fallback_cv.wait(lock, woken);
    } else {
        uint64_t now = BackendNowMicros();
        if (now < deadline_us)
            presenter.fallback_cv.wait_for(lock, std::chrono::microseconds(deadline_us - now), woken);
    }
}

}  // namespace

void StartSdlPresenter(bool video_ready, bool events_ready, uint64_t run_limit_us) {
    presenter.video = video_ready;
    presenter.events = events_ready;
    presenter.gui_thread = std::this_thread::get_id();
    if (events_ready) {
        presenter.wake_event = SDL_RegisterEvents(1);
        if (presenter.wake_event == (Uint32)-1) presenter.events = false;
    }
    presenter.mode = presenter.events ? WaitMode::SDL_QUEUE : WaitMode::CONDITION;
#ifdef KORVELT_POLL_WAIT
    if (presenter.events) {
        // Without a display, or with SDL's display-less drivers, no input can come, and SDL's
        // own wait would look for it every millisecond. Other drivers keep SDL's wait.
        const char* driver = video_ready ? SDL_GetCurrentVideoDriver() : nullptr;
        bool x11 = driver && std::strcmp(driver, "x11") == 0;
        bool no_input = !driver || std::strcmp(driver, "offscreen") == 0 ||
                        std::strcmp(driver, "dummy") == 0;
        if ((x11 || no_input) && MakeWakePipe()) {
            presenter.mode = WaitMode::POLL;
            presenter.x11_display = x11;
        }
    }
#endif
    if (run_limit_us > 0) presenter.close_at_us = BackendNowMicros() + run_limit_us;
    presenter.log_frames = std::getenv("KORVELT_PRESENT_LOG") != nullptr;
    if (video_ready) {
        const char* driver = SDL_GetCurrentVideoDriver();
        int dpi = 0;
        if (driver && std::strcmp(driver, "x11") == 0) {
            dpi = X11ResourceDpi();
        } else if (driver && std::strcmp(driver, "wayland") == 0) {
            float ddpi = 0, hdpi = 0, vdpi = 0;
            if (SDL_GetDisplayDPI(0, &ddpi, &hdpi, &vdpi) == 0) dpi = (int)hdpi;
        }
        presenter.scale = DesktopScale(std::getenv("KORVELT_SCALE"), dpi);
    }
}

void StopSdlPresenter() {
    for (TopWindow& t : presenter.tops)
        if (t.window) SDL_DestroyWindow(t.window);
    presenter.tops.clear();
    presenter.held.clear();
}

uint64_t BackendNowMicros() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void BackendWait(uint64_t deadline_us) {
    if (presenter.close_at_us && !presenter.close_sent)
        deadline_us = std::min(deadline_us, presenter.close_at_us);
    // The program has nothing left to do for now: what it drew goes to the screen.
    FlushPresents();
    if (!presenter.held.empty()) return;
    switch (presenter.mode) {
    case WaitMode::CONDITION: ConditionWait(deadline_us); break;
    case WaitMode::SDL_QUEUE: SdlQueueWait(deadline_us); break;
    case WaitMode::POLL:
#ifdef KORVELT_POLL_WAIT
        PollWait(deadline_us);
#endif
        break;
    }
}

void BackendWake() {
    // The GUI thread posting to itself is not waiting: it looks at the queue before it does.
    if (std::this_thread::get_id() == presenter.gui_thread) return;
    if (sdl_wake_can_wait) return;
    if (presenter.mode == WaitMode::CONDITION) {
        {
            std::lock_guard<std::mutex> lock(presenter.fallback_mutex);
            presenter.wake_pending.store(true);
        }
        presenter.fallback_cv.notify_one();
        return;
    }
    // One wake-up is enough however many messages are posted meanwhile; the GUI thread clears
    // the flag when it takes the wake-up, before it looks at the queue again.
    if (presenter.wake_pending.exchange(true)) return;
#ifdef KORVELT_POLL_WAIT
    if (presenter.mode == WaitMode::POLL) {
        char byte = 1;
        // A full pipe already wakes the reader, so a failed write loses nothing.
        ssize_t written = write(presenter.wake_pipe[1], &byte, 1);
        (void)written;
        return;
    }
#endif
    SDL_Event e;
    SDL_zero(e);
    e.type = presenter.wake_event;
    if (SDL_PushEvent(&e) != 1) presenter.wake_pending.store(false);
}

void BackendPollInput() {
    // One event at a time: handling one can run window procedures that pump messages and
    // so come back here.
    while (!presenter.held.empty()) {
        SDL_Event e = presenter.held.front();
        presenter.held.pop_front();
        HandleEvent(e);
    }
    uint64_t now = BackendNowMicros();
    if (presenter.mode == WaitMode::POLL) {
        // The wait pumps before it sleeps; here only when the X connection spoke or a busy
        // program has not waited for a while. Otherwise just SDL's queue, without system calls.
        if (presenter.x11_readable || now - presenter.last_pump_us >= INPUT_PUMP_US) PumpSdl();
        SDL_Event e;
        while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1) HandleEvent(e);
    } else if (presenter.mode == WaitMode::SDL_QUEUE) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) HandleEvent(e);
    }
    if (presenter.pending_since_us && now - presenter.pending_since_us >= STALE_PRESENT_US)
        FlushPresents();
    if (presenter.close_at_us && !presenter.close_sent && now >= presenter.close_at_us) {
        presenter.close_sent = true;
        RequestClose(FirstTopLevel());
    }
}

void BackendTopLevelCreated(WindowRef top, const char* title, int client_width, int client_height) {
    TopWindow t;
    t.top = top;
    t.shown = IsWindowShown(top);
    if (presenter.video) {
        // Fixed size: not resizable, so window managers offer no maximise either.
        Uint32 flags = t.shown ? SDL_WINDOW_SHOWN : SDL_WINDOW_HIDDEN;
        RectI frame{};
        GetWindowFrame(top, &frame);
        t.window = SDL_CreateWindow(title ? title : "", frame.left, frame.top, client_width * presenter.scale,
                                    client_height * presenter.scale, flags);
        presenter.x11_touched = true;
        // Every window of a display shares its one connection.
        if (t.window && presenter.x11_display && presenter.x11_fd < 0)
            presenter.x11_fd = X11ConnectionFd(t.window);
    }
    presenter.tops.push_back(t);
    if (t.shown) RepaintAll(presenter.tops.back());
}

void BackendTopLevelDestroyed(WindowRef top) {
    for (size_t i = 0; i < presenter.tops.size(); ++i) {
        if (presenter.tops[i].top != top) continue;
        if (presenter.tops[i].window) SDL_DestroyWindow(presenter.tops[i].window);
        presenter.x11_touched = true;
        presenter.tops.erase(presenter.tops.begin() + (long)i);
        return;
    }
}

void BackendTopLevelShown(WindowRef top, bool shown) {
    TopWindow* t = FindTop(top);
    if (!t || t->shown == shown) return;
    t->shown = shown;
    if (!t->window) return;
    presenter.x11_touched = true;
    if (shown) {
        FollowPosition(*t);
        SDL_ShowWindow(t->window);
        RepaintAll(*t);
    } else {
        SDL_HideWindow(t->window);
        t->pending.Clear();
        t->pending_exact.Clear();
    }
}

void BackendPresent(WindowRef top, const RectI& dirty, bool exact) {
    TopWindow* t = FindTop(top);
    if (t && t->shown) NotePending(*t, dirty, exact && !t->repaint_all);
}

int BackendDpi() {
    return 96;
}
