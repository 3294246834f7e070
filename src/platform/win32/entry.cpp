// The program's entry point on Windows: WinMain hands over to the application at once, and
// makes sure a sound driver stuck on a frozen server cannot keep the program from ending.
#include <cstdio>
#include <cstdlib>

#include "platform/win32/backend.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const int code = ApplicationMain();
    // KORVELT_CAPTURE_STATS: says how the program ended, so that the end-to-end checks can
    // tell its exit code from a crash of the system's sound driver after it.
    if (std::getenv("KORVELT_CAPTURE_STATS"))
        std::fprintf(stderr, "korvelt: ending with exit code %d (wave calls late %llu, one stuck %d)\n", code,
                     (unsigned long long)LateWaveCallCount(), WaveCallStuck() ? 1 : 0);
    if (WaveCallStuck()) {
        // A device call is still waiting on the sound server. The normal exit would unload the
        // sound driver under it and can wait for that server forever; the program has nothing
        // left to save but its output, so it ends here. The driver's buffers were never freed.
        std::fflush(nullptr);
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    }
    return code;
}
