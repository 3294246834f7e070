// SDL2 presenter: the X connection's file descriptor behind an SDL window, kept apart because
// the X11 headers SDL_syswm.h pulls in define names (Window, Status, None ...) we use elsewhere.
#include <SDL.h>
#include <SDL_syswm.h>

#include "platform/portable/sdl/sdl_presenter.h"

int X11ConnectionFd(SDL_Window* window) {
#if defined(SDL_VIDEO_DRIVER_X11)
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!window || !SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_X11 ||
        !info.info.x11.display)
        return -1;
    // A macro reading the Display structure: no link to libX11 is needed.
    return ConnectionNumber(info.info.x11.display);
#else
    (void)window;
    return -1;
#endif
}
