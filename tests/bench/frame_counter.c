/* Counts the frames drawn on an X display for tests/bench/side-by-side.sh: every change to the
 * screen is reported through the DAMAGE extension on the root window, and changes that come
 * closer together than a few milliseconds count as one frame (a program sends a frame as a
 * burst of requests). Meant for a private Xvfb on which one program draws.
 * Usage: frame_counter SECONDS     prints "frames N changes M seconds S".
 * libXdamage is looked up at run time, so only the X11 headers are needed to build it. */
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <time.h>

typedef XID Damage;
typedef Bool (*QueryExtension)(Display*, int*, int*);
typedef Damage (*Create)(Display*, Drawable, int);
typedef void (*Subtract)(Display*, Damage, XID, XID);

#define REPORT_RAW_RECTANGLES 0
#define DAMAGE_NOTIFY 0
#define FRAME_GAP 0.004

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "frame_counter: no X display\n");
        return 1;
    }
    void* library = dlopen("libXdamage.so.1", RTLD_NOW);
    if (!library) {
        fprintf(stderr, "frame_counter: libXdamage.so.1 not found\n");
        return 1;
    }
    QueryExtension query = (QueryExtension)dlsym(library, "XDamageQueryExtension");
    Create create = (Create)dlsym(library, "XDamageCreate");
    int event_base = 0, error_base = 0;
    if (!query || !create || !query(display, &event_base, &error_base)) {
        fprintf(stderr, "frame_counter: the X server has no DAMAGE extension\n");
        return 1;
    }
    create(display, DefaultRootWindow(display), REPORT_RAW_RECTANGLES);
    XSync(display, False);

    long frames = 0, changes = 0;
    double start = Now(), end = start + seconds, last = -1.0;
    int fd = ConnectionNumber(display);
    for (;;) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != event_base + DAMAGE_NOTIFY) continue;
            double now = Now();
            if (now > end) break;
            ++changes;
            if (last < 0 || now - last > FRAME_GAP) ++frames;
            last = now;
        }
        double now = Now();
        if (now >= end) break;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        double rest = end - now;
        struct timeval timeout = {(time_t)rest, (suseconds_t)((rest - (time_t)rest) * 1e6)};
        select(fd + 1, &readable, NULL, NULL, &timeout);
    }
    printf("frames %ld changes %ld seconds %.3f\n", frames, changes, Now() - start);
    XCloseDisplay(display);
    return 0;
}
