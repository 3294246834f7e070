// What the SDL presenter's files share with its main(): starting and stopping the event side
// (present.cpp) and finishing device closes (wave_in.cpp) before SDL_Quit.
#pragma once

#include <cstdint>

// Registers the wake-up event and remembers whether SDL's event queue is usable.
// run_seconds > 0 asks for a close request that many seconds after start.
void StartSdlPresenter(bool video_ready, bool events_ready, double run_seconds);
// Closes any SDL window still open.
void StopSdlPresenter();
// Waits until every capture device closed by WaveInClose is really closed; before SDL_Quit.
void FinishClosingCaptureDevices();
