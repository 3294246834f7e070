// What the SDL presenter's files share with its main(): starting and stopping the event side
// (present.cpp), finishing device closes (pulse/wave_in.cpp) before SDL_Quit, and the X
// connection behind a window (x11_connection.cpp).
#pragma once

#include <cstdint>

struct SDL_Window;

// Registers the wake-up event and remembers whether SDL's event queue is usable.
// run_limit_us > 0 asks for a close request that many microseconds after start
// (RunLimitMicros of KORVELT_RUN_SECONDS).
void StartSdlPresenter(bool video_ready, bool events_ready, uint64_t run_limit_us);
// Closes any SDL window still open.
void StopSdlPresenter();
// Ends the wave input's recorders: the sound server's client at once, SDL's capture after a
// short wait for the devices closed by WaveInClose to be really closed; before SDL_Quit. False
// when an SDL close is still stuck in a sound server that does not answer: then SDL's audio
// must be left alone (SDL_Quit would wait for it) and the process end finishes it. With
// KORVELT_CAPTURE_STATS set, prints the delivery counts and the recorder to stderr.
bool FinishClosingCaptureDevices();
// The file descriptor of the X connection `window` lives on, or -1 when it is no X11 window.
int X11ConnectionFd(SDL_Window* window);
// Xft.dpi from the X server's resources (what desktops set for their scale), 0 when unset or
// when there is no X display.
int X11ResourceDpi();
// Set by a recorder's thread around a post that need not wake the GUI thread at once.
extern thread_local bool sdl_wake_can_wait;
