// The contract inside the portable backend: what the core (raster, text, window emulation,
// message queue) offers to the two presenters, and what each presenter (sdl/ for the real
// program, headless/ for tests) must provide to the core. Exactly one presenter is linked.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// ---------------------------------------------------------------------------------------
// Provided by the presenter (sdl/ or headless/)
// ---------------------------------------------------------------------------------------

// Monotonic time in microseconds: the real clock (sdl) or the virtual clock (headless).
uint64_t BackendNowMicros();
// Called by the queue when it has nothing to dispatch. Returns when `deadline_us` is reached
// (UINT64_MAX: no deadline), when BackendWake was called, or when external input arrived.
// The headless presenter advances its virtual clock to the next due event instead of sleeping.
void BackendWait(uint64_t deadline_us);
// Thread-safe: something was posted; a BackendWait in progress must return.
void BackendWake();
// Turns external input that has arrived (keys, mouse, close button, scripted actions, due
// audio deliveries on the virtual clock) into core calls below. GUI thread.
void BackendPollInput();
// A top-level window was created (shown) or destroyed; sdl opens or closes its SDL window.
void BackendTopLevelCreated(WindowRef top, const char* title, int client_width, int client_height);
void BackendTopLevelDestroyed(WindowRef top);
void BackendTopLevelShown(WindowRef top, bool shown);
// Pixels of `top`'s surface changed inside `dirty` (client coordinates); sdl uploads them.
void BackendPresent(WindowRef top, const RectI& dirty);
// Vertical dots per inch of the display (96).
int BackendDpi();
// WaveIn* of platform.h are implemented by the presenter too (SDL audio capture, or
// scripted devices on the virtual clock).

// ---------------------------------------------------------------------------------------
// Provided by the core to the presenters and to tests
// ---------------------------------------------------------------------------------------

// A window surface: 32-bit pixels 0xAABBGGRR (alpha ignored for windows), row after row.
struct SurfaceView {
    int width = 0;
    int height = 0;
    int stride = 0;                  // pixels per row
    const uint32_t* pixels = nullptr;
};
// The whole client area of a top-level window as drawn (children composed in).
SurfaceView TopLevelSurface(WindowRef top);
// The first top-level window still alive, or null.
WindowRef FirstTopLevel();
// Key input: updates the asynchronous key state and sends WM_KEYDOWN / WM_KEYUP to the
// window with the keyboard focus (or the active top level when no window has it).
void InjectKey(int virtual_key, bool down);
// Mouse input in `top`'s client coordinates: routed to the control under the point
// (opening and choosing in drop-down lists, focus changes).
void InjectMouseButton(WindowRef top, int x, int y, bool down);
// The title bar's close button: WM_CLOSE is sent to `top`.
void InjectCloseRequest(WindowRef top);
