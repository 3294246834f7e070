// What the SDL presenter's files share with its main(): starting and stopping the event side
// (present.cpp), finishing device closes (wave_in.cpp) before SDL_Quit, and the X connection
// behind a window (x11_connection.cpp).
#pragma once

#include <cstdint>

struct SDL_Window;

// Registers the wake-up event and remembers whether SDL's event queue is usable.
// run_seconds > 0 asks for a close request that many seconds after start.
void StartSdlPresenter(bool video_ready, bool events_ready, double run_seconds);
// Closes any SDL window still open.
void StopSdlPresenter();
// Waits until every capture device closed by WaveInClose is really closed; before SDL_Quit.
void FinishClosingCaptureDevices();
// The file descriptor of the X connection `window` lives on, or -1 when it is no X11 window.
int X11ConnectionFd(SDL_Window* window);
// Xft.dpi from the X server's resources (what desktops set for their scale), 0 when unset or
// when there is no X display.
int X11ResourceDpi();
// Set by the audio thread around a post that need not wake the GUI thread at once.
extern thread_local bool sdl_wake_can_wait;
