// The Linux wave input's SDL2 capture path through 200 restarts, built with ThreadSanitizer in
// the tsan preset: with no sound server to be reached, SDL's capture must be what records, and
// SDL's disk audio driver plays a file of numbered frames into it. Runs are opened and torn down
// as the capture engine does it (capture_harness.h). Any data race between the GUI thread, SDL's
// audio threads and the open/close worker is reported by TSan and fails the run; the frames
// also have to arrive well formed and in order.
#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "capture_harness.h"
#include "platform/platform.h"
#include "platform/portable/pulse/wave_input.h"
#include "platform/portable/sdl/sdl_presenter.h"

namespace {

constexpr int RESTARTS = 200;
constexpr int DELIVERIES_PER_RUN = 12;   // more than the eight buffers: some come back twice

Run runs[2];

}  // namespace

int main() {
    // A sound server would take over: make sure none can be reached, whatever the environment.
    setenv("PULSE_SERVER", "unix:/nonexistent/korvelt-no-server", 1);
    std::string frames = WriteFramesFile(60000);
    if (frames.empty()) {
        std::fprintf(stderr, "cannot write the frames file\n");
        return 1;
    }
    // The disk driver reads capture from the file, a period at a time (1 ms apart here, so
    // the 200 runs take seconds, not minutes).
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILEIN", frames.c_str(), 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "1", 1);
    // The disk driver announces itself on every open; 200 times is noise.
    SDL_LogSetOutputFunction([](void*, int, SDL_LogPriority, const char*) {}, nullptr);
    StartSoundServerClient();
    if (SDL_Init(SDL_INIT_EVENTS | SDL_INIT_AUDIO) != 0) {
        std::fprintf(stderr, "SDL audio: %s\n", SDL_GetError());
        return 1;
    }
    CHECK(ChooseSdlCapture(), "with no sound server to reach, SDL's capture was not chosen");
    frames_kind = FramesKind::NUMBERED;

    WindowRef window = MakeCaptureWindow();
    CHECK(window != nullptr, "no window");
    uint32_t count = WaveInGetNumDevs();
    CHECK(count >= 1, "no capture device listed");
    WaveInCaps caps{};
    CHECK(WaveInGetDevCaps(0, &caps, sizeof caps) == MMSYSERR_NOERROR, "no caps for device 0");
    CHECK(WaveInGetDevCaps(count, &caps, sizeof caps) == MMSYSERR_BADDEVICEID, "caps past the list");
    WaveInHandle none = nullptr;
    WaveFormat format = CaptureFormat();
    CHECK(WaveInOpen(&none, count, &format, (uintptr_t)window, 0, CALLBACK_WINDOW) == MMSYSERR_BADDEVICEID,
          "open of a device that is not there");

    int opened = 0, slow = 0;
    for (int restart = 0; restart < RESTARTS; ++restart) {
        Run& run = runs[restart % 2];
        // The mapper and the device itself, by turns, as a list being worked through.
        uint32_t id = restart % 2 ? 0u : WAVE_MAPPER;
        if (!StartRun(run, window, id)) {
            PumpFor(5);
            continue;
        }
        ++opened;
        // Most runs end after a few periods; some right away, as a held arrow key ends them.
        if (restart % 5 != 4 && !PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000)) ++slow;
        StopRun(run);
        PumpFor(1);
    }
    PumpFor(50);
    CHECK(opened >= RESTARTS * 9 / 10, "only %d of %d opens succeeded", opened, RESTARTS);
    CHECK(slow == 0, "%d runs got fewer than %d deliveries in 3 s", slow, DELIVERIES_PER_RUN);
    CHECK(wakes.load() > 0, "the audio thread never woke the GUI thread");
    CHECK(FinishClosingCaptureDevices(), "closes still in flight at exit");
    SDL_Quit();
    std::remove(frames.c_str());
    std::printf("%d restarts, %d opened, %d stale deliveries ignored, %d failures\n", RESTARTS, opened,
                stale_total, failures);
    return failures == 0 ? 0 : 1;
}
