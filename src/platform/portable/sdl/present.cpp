// SDL2 presenter, screen and input side: one fixed-size SDL window per top level showing its
// surface, SDL keys/mouse/close turned into core input, the real clock, waiting and waking.
// Implements the presenter half of backend.h except wave input (wave_in.cpp).
#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/portable/backend.h"
#include "platform/portable/sdl/sdl_presenter.h"

namespace {

struct TopWindow {
    WindowRef top = nullptr;
    SDL_Window* window = nullptr;   // null when there is no video
    bool shown = false;
};

struct Presenter {
    bool video = false;
    bool events = false;
    Uint32 wake_event = (Uint32)-1;
    std::atomic<bool> wake_pending{false};
    // Events taken off SDL's queue by BackendWait, handled by the next BackendPollInput.
    std::deque<SDL_Event> held;
    std::vector<TopWindow> tops;
    uint64_t close_at_us = 0;       // 0: no timed close request
    bool close_sent = false;
    // Used for waiting only when SDL's event queue could not be started.
    std::mutex fallback_mutex;
    std::condition_variable fallback_cv;
};

Presenter presenter;

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
}

// Copies one rectangle of the core's surface (0xAABBGGRR) to the window and shows just it.
void UploadRect(TopWindow& t, const RectI& dirty) {
    if (!t.window || !t.shown) return;
    SurfaceView view = TopLevelSurface(t.top);
    if (!view.pixels) return;
    RectI area = dirty;
    int width = 0, height = 0;
    SDL_GetWindowSize(t.window, &width, &height);
    if (width != view.width || height != view.height) {
        // The client area was resized by a placement: the user cannot resize, we follow it.
        SDL_SetWindowSize(t.window, view.width, view.height);
        area = RectI{0, 0, view.width, view.height};
    }
    SDL_Surface* screen = SDL_GetWindowSurface(t.window);
    if (!screen) return;
    int right = std::min({area.right, view.width, screen->w});
    int bottom = std::min({area.bottom, view.height, screen->h});
    int left = std::max(area.left, 0);
    int top = std::max(area.top, 0);
    if (left >= right || top >= bottom) return;

    if (SDL_MUSTLOCK(screen) && SDL_LockSurface(screen) != 0) return;
    const uint32_t* source = view.pixels + (size_t)top * view.stride + left;
    uint8_t* target = (uint8_t*)screen->pixels + (size_t)top * screen->pitch +
                      (size_t)left * screen->format->BytesPerPixel;
    SDL_ConvertPixels(right - left, bottom - top, SDL_PIXELFORMAT_ABGR8888, source,
                      view.stride * 4, screen->format->format, target, screen->pitch);
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);

    SDL_Rect rect{left, top, right - left, bottom - top};
    SDL_UpdateWindowSurfaceRects(t.window, &rect, 1);
}

void UploadAll(TopWindow& t) {
    UploadRect(t, RectI{0, 0, INT_MAX, INT_MAX});
}

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
        case SDL_WINDOWEVENT_RESTORED: UploadAll(*t); break;
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
        if (t) InjectMouseButton(t->top, e.button.x, e.button.y, e.type == SDL_MOUSEBUTTONDOWN);
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

}  // namespace

void StartSdlPresenter(bool video_ready, bool events_ready, double run_seconds) {
    presenter.video = video_ready;
    presenter.events = events_ready;
    if (events_ready) {
        presenter.wake_event = SDL_RegisterEvents(1);
        if (presenter.wake_event == (Uint32)-1) presenter.events = false;
    }
    if (run_seconds > 0) presenter.close_at_us = BackendNowMicros() + (uint64_t)(run_seconds * 1e6);
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
    if (!presenter.held.empty()) return;

    if (!presenter.events) {
        std::unique_lock<std::mutex> lock(presenter.fallback_mutex);
        auto woken = [] { return presenter.wake_pending.exchange(false); };
        if (deadline_us == UINT64_MAX) {
            presenter.fallback_cv.wait(lock, woken);
        } else {
            uint64_t now = BackendNowMicros();
            if (now < deadline_us)
                presenter.fallback_cv.wait_for(lock, std::chrono::microseconds(deadline_us - now), woken);
        }
        return;
    }

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

void BackendWake() {
    if (!presenter.events) {
        {
            std::lock_guard<std::mutex> lock(presenter.fallback_mutex);
            presenter.wake_pending.store(true);
        }
        presenter.fallback_cv.notify_one();
        return;
    }
    // One wake-up in SDL's queue is enough however many messages are posted meanwhile.
    if (presenter.wake_pending.exchange(true)) return;
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
    if (presenter.events) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) HandleEvent(e);
    }
    if (presenter.close_at_us && !presenter.close_sent && BackendNowMicros() >= presenter.close_at_us) {
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
        t.window = SDL_CreateWindow(title ? title : "", frame.left, frame.top, client_width,
                                    client_height, flags);
    }
    presenter.tops.push_back(t);
    if (t.shown) UploadAll(presenter.tops.back());
}

void BackendTopLevelDestroyed(WindowRef top) {
    for (size_t i = 0; i < presenter.tops.size(); ++i) {
        if (presenter.tops[i].top != top) continue;
        if (presenter.tops[i].window) SDL_DestroyWindow(presenter.tops[i].window);
        presenter.tops.erase(presenter.tops.begin() + (long)i);
        return;
    }
}

void BackendTopLevelShown(WindowRef top, bool shown) {
    TopWindow* t = FindTop(top);
    if (!t || t->shown == shown) return;
    t->shown = shown;
    if (!t->window) return;
    if (shown) {
        FollowPosition(*t);
        SDL_ShowWindow(t->window);
        UploadAll(*t);
    } else {
        SDL_HideWindow(t->window);
    }
}

void BackendPresent(WindowRef top, const RectI& dirty) {
    TopWindow* t = FindTop(top);
    if (t) UploadRect(*t, dirty);
}

int BackendDpi() {
    return 96;
}
