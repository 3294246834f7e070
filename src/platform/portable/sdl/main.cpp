// Entry point of the Linux (SDL2) program: sets SDL and the wave input up, runs the
// application, returns its exit code.
//
// KORVELT_RUN_SECONDS=<seconds> in the environment (for demonstrations and end-to-end
// tests) makes the program receive a close request, as if the close button had been
// pressed, that many seconds after start. KORVELT_CAPTURE_STATS=1 makes it print how many
// sound deliveries it took (and how many were lost) and what recorded them to stderr at exit,
// for measurements. Nothing else is configurable.
#include <SDL.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/portable/pulse/wave_input.h"
#include "platform/portable/run_limit.h"
#include "platform/portable/sdl/sdl_presenter.h"
#include "platform/portable/sdl/window_identity.h"

int main(int, char**) {
    // The sound server's client connects while SDL starts the window system.
    StartSoundServerClient();
    // Monitor sources are how a user meters what the computer itself plays; SDL hides them
    // unless asked (for its capture, used only when no sound server answers). These must be in
    // the environment before SDL_Init reads them.
    setenv("SDL_AUDIO_INCLUDE_MONITORS", "1", 1);
    // The window surface is all we draw on; no GL context for it.
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
    // The last window's close button is handled as a window event; SDL_QUIT then only
    // comes from signals, so one click is one close request.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    PrepareWindowIdentity();

    const uint64_t run_limit_us = RunLimitMicros(std::getenv("KORVELT_RUN_SECONDS"));

    // Each part on its own: without a display the program still runs and records (its
    // window just is not seen), and without sound it still shows its window.
    bool events = SDL_Init(SDL_INIT_EVENTS) == 0;
    bool video = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    // SDL's audio only when it records: with a sound server our own client does, and SDL's
    // audio would only open more connections to it (or hang in them while it is stopped).
    if (ChooseSdlCapture()) SDL_InitSubSystem(SDL_INIT_AUDIO);
    if (video) WatchWindowsForIcon();

    StartSdlPresenter(video, events, run_limit_us);
    int result = ApplicationMain();
    StopSdlPresenter();
    // With SDL's capture on a sound server that stopped, a device close never ends, and
    // SDL_Quit would wait for it forever; the program still ends at once, and the process end
    // takes the rest.
    if (FinishClosingCaptureDevices()) SDL_Quit();
    else SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return result;
}
