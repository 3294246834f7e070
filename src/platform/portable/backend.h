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
// `exact`: only tiles the surface's change map stamped since the presenter last looked can
// differ there (see ChangedPartOf); otherwise any pixel in `dirty` may.
void BackendPresent(WindowRef top, const RectI& dirty, bool exact);
// Vertical dots per inch of the display (96).
int BackendDpi();
// WaveIn* of platform.h are implemented by the presenter too (SDL audio capture, or
// scripted devices on the virtual clock).

// ---------------------------------------------------------------------------------------
// Provided by the core to the presenters and to tests
// ---------------------------------------------------------------------------------------

// A window surface: 32-bit pixels 0xAARRGGBB (alpha ignored for windows), row after row.
struct SurfaceView {
    int width = 0;
    int height = 0;
    int stride = 0;                  // pixels per row
    const uint32_t* pixels = nullptr;
};
// The whole client area of a top-level window as drawn (children composed in).
SurfaceView TopLevelSurface(WindowRef top);
// The newest change stamp of any surface: a presenter notes it when it brings its screen up
// to date, to ask afterwards what changed since.
uint64_t CoreChangeStamp();
// The box of the 8 x 8 tiles of `top`'s surface inside `area` changed after `since`, clipped
// to `area`; empty when none did.
RectI ChangedPartOf(WindowRef top, const RectI& area, uint64_t since);
// Copies `area` of `from` into a 32-bit screen surface (`to`, `to_pitch` bytes a row,
// to_width x to_height pixels) enlarged `scale` times: pixel (x, y) becomes the scale x scale
// block at (scale x, scale y). Pixels are written opaque, red and blue swapped for
// 0xAABBGGRR screens. Returns the part of `area` (in `from`'s pixels) whose pixels differed
// from what the screen held and were written; with `all` everything in it counts as such.
RectI PresentBlit(const SurfaceView& from, void* to, size_t to_pitch, int to_width, int to_height, RectI area,
                  int scale, bool swap_red_blue, bool all);
// Screen pixels per client pixel for a desktop of `dpi` (0: unknown): KORVELT_SCALE's text
// when it is exactly a whole number 1 .. 4, else dpi / 96 rounded down, 1 .. 4.
int DesktopScale(const char* override_text, int dpi);
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
