// SDL2 presenter: what lets a desktop recognise korvelt's window: a fixed window class (that
// the .desktop entry names in StartupWMClass, so launchers and task bars group the window
// with its menu entry) and the program's icon, decoded from the same .ico the Windows
// resource uses, compiled into the program.
#include <SDL.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/portable/sdl/window_identity.h"

extern const unsigned char korvelt_icon_ico[];
extern const std::size_t korvelt_icon_ico_size;

namespace {

constexpr const char* WINDOW_CLASS = "korvelt";

uint32_t ReadLe(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// The first image of an .ico (24- or 32-bit, uncompressed) as ARGB pixels, top row first.
bool DecodeIcoImage(const unsigned char* data, size_t size, int* width, int* height, std::vector<uint32_t>* argb) {
    // ICONDIR, the first ICONDIRENTRY, then a BITMAPINFOHEADER whose height counts the colour
    // rows and the AND mask together; rows are stored bottom-up and padded to 4 bytes.
    if (size < 6 + 16 || ReadLe(data + 2, 2) != 1 || ReadLe(data + 4, 2) < 1) return false;
    const unsigned char* entry = data + 6;
    uint32_t image_size = ReadLe(entry + 8, 4), offset = ReadLe(entry + 12, 4);
    if (offset > size || image_size > size - offset || image_size < 40) return false;
    const unsigned char* header = data + offset;
    uint32_t header_size = ReadLe(header, 4);
    int w = (int32_t)ReadLe(header + 4, 4), h2 = (int32_t)ReadLe(header + 8, 4);
    int bits = (int)ReadLe(header + 14, 2), compression = (int)ReadLe(header + 16, 4);
    if (header_size < 40 || w <= 0 || w > 256 || h2 <= 0 || h2 % 2 || h2 / 2 > 256 || compression != 0 ||
        (bits != 24 && bits != 32))
        return false;
    int h = h2 / 2;
    size_t colour_stride = ((size_t)w * bits / 8 + 3) & ~(size_t)3;
    size_t mask_stride = (((size_t)w + 7) / 8 + 3) & ~(size_t)3;
    if ((size_t)header_size + colour_stride * h + mask_stride * h > image_size) return false;
    const unsigned char* colours = header + header_size;
    const unsigned char* mask = colours + colour_stride * h;
    argb->assign((size_t)w * h, 0);
    for (int y = 0; y < h; ++y) {
        const unsigned char* row = colours + colour_stride * (h - 1 - y);
        const unsigned char* mask_row = mask + mask_stride * (h - 1 - y);
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = row + (size_t)x * (bits / 8);
            uint32_t alpha = bits == 32 ? p[3] : 255;
            if (mask_row[x / 8] & (0x80 >> (x % 8))) alpha = 0;
            (*argb)[(size_t)y * w + x] = alpha << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
        }
    }
    *width = w;
    *height = h;
    return true;
}

// Gives each new window the icon when it is first shown. A watch sees the event as SDL
// raises it, before the window manager has drawn anything of the window.
int SDLCALL GiveIconOnShow(void*, SDL_Event* e) {
    if (e->type != SDL_WINDOWEVENT || e->window.event != SDL_WINDOWEVENT_SHOWN) return 1;
    SDL_Window* window = SDL_GetWindowFromID(e->window.windowID);
    if (!window || SDL_GetWindowData(window, "korvelt-icon")) return 1;
    int w = 0, h = 0;
    std::vector<uint32_t> argb;
    if (!DecodeIcoImage(korvelt_icon_ico, korvelt_icon_ico_size, &w, &h, &argb)) return 1;
    SDL_Surface* icon = SDL_CreateRGBSurfaceWithFormatFrom(argb.data(), w, h, 32, w * 4, SDL_PIXELFORMAT_ARGB8888);
    if (icon) {
        SDL_SetWindowIcon(window, icon);
        SDL_FreeSurface(icon);
        SDL_SetWindowData(window, "korvelt-icon", (void*)WINDOW_CLASS);
    }
    return 1;
}

}  // namespace

void PrepareWindowIdentity() {
    // Read by SDL's X11 and Wayland drivers when they make a window, so set before SDL_Init.
    setenv("SDL_VIDEO_X11_WMCLASS", WINDOW_CLASS, 1);
    setenv("SDL_VIDEO_WAYLAND_WMCLASS", WINDOW_CLASS, 1);
}

void WatchWindowsForIcon() { SDL_AddEventWatch(GiveIconOnShow, nullptr); }
