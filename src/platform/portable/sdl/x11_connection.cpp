// SDL2 presenter: the X connection's file descriptor behind an SDL window, and the desktop's
// Xft.dpi, kept apart because the X11 headers SDL_syswm.h pulls in define names (Window,
// Status, None ...) we use elsewhere.
#include <SDL.h>
#include <SDL_syswm.h>

#include <cstdlib>
#include <cstring>
#if defined(__unix__)
#include <dlfcn.h>
#endif

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

int X11ResourceDpi() {
#if defined(SDL_VIDEO_DRIVER_X11) && defined(__unix__)
    // Xlib is whatever SDL itself loaded; looked up at run time, so the program does not
    // need it to start on a display without X.
    void* xlib = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (!xlib) return 0;
    using OpenDisplay = Display* (*)(const char*);
    using ResourceString = char* (*)(Display*);
    using CloseDisplay = int (*)(Display*);
    auto open_display = (OpenDisplay)dlsym(xlib, "XOpenDisplay");
    auto resource_string = (ResourceString)dlsym(xlib, "XResourceManagerString");
    auto close_display = (CloseDisplay)dlsym(xlib, "XCloseDisplay");
    int dpi = 0;
    if (open_display && resource_string && close_display) {
        if (Display* display = open_display(nullptr)) {
            // The resources as xrdb loaded them: "name:\tvalue" lines.
            if (const char* text = resource_string(display)) {
                for (const char* line = text; line && *line;) {
                    const char* next = std::strchr(line, '\n');
                    if (std::strncmp(line, "Xft.dpi:", 8) == 0) dpi = (int)std::strtod(line + 8, nullptr);
                    line = next ? next + 1 : nullptr;
                }
            }
            close_display(display);
        }
    }
    dlclose(xlib);
    return dpi > 0 ? dpi : 0;
#else
    return 0;
#endif
}
