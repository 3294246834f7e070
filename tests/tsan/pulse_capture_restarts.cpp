// The Linux wave input's sound-server client against a private sound server (run through
// tests/tsan/pulse-server.sh, which starts and stops it: PulseAudio in the suites, PipeWire with
// KORVELT_TEST_SERVER_KIND=pipewire), built with ThreadSanitizer in the tsan preset: the server's sources listed by description in its order, the WaveIn* rules the
// capture engine relies on, restarts while sinks come and go, a steady run, the mapper following
// a new default source, the server killed and revived, the server frozen (opens refused as
// busy, nothing waits, the exit included). The server plays numbered frames
// (capture_harness.h): on PulseAudio, which hands them on bit for bit, a delivery that is torn,
// out of order or missing sound shows. Any data
// race between the GUI thread and the client's loop thread fails the run under TSan.
//
// With --sound-server it meets a server that tests/e2e/faults.sh controls instead: it meters the
// first input listed (the only one there, the monitor of the script's sink), chosen as a user
// chooses it, by its entry; when the script has taken the input away (the file named by
// KORVELT_FAULT_GONE_FILE appears) it checks that deliveries stop and that opening it fails
// promptly; when the script has brought it back (KORVELT_FAULT_BACK_FILE) it checks that it
// opens again by its name and deliveries resume. It prints one line per finding. (The mapper
// is not used here: on PipeWire a placeholder output's monitor becomes the default input while
// the sink is gone, and the mapper rightly follows it.)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture_harness.h"
#include "platform/platform.h"
#include "platform/portable/pulse/wave_input.h"
#include "platform/portable/sdl/sdl_presenter.h"

extern char** environ;

namespace {

constexpr int RESTARTS = 90;
constexpr int DELIVERIES_PER_RUN = 12;

Run runs[2];
const char* control_script = nullptr;

// Runs the server's control script with `args`; with `pump`, the GUI thread keeps taking its
// messages meanwhile. Its exit status.
int Control(const std::vector<std::string>& args, bool pump = true) {
    std::vector<char*> argv;
    argv.push_back((char*)"bash");
    argv.push_back((char*)control_script);
    for (const std::string& arg : args) argv.push_back((char*)arg.c_str());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "bash", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, pump ? WNOHANG : 0);
        if (done == pid) break;
        if (done < 0) return -1;
        PumpFor(10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CapsName(uint32_t id) {
    WaveInCaps caps{};
    if (WaveInGetDevCaps(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<no caps>";
    return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
}

// The description of the extra sink's monitor is "Monitor of " and this: 30 bytes before the
// two-byte "é", so the 32-byte caps field (31 characters and a NUL) must stop before it.
const char* EXTRA_DESCRIPTION = "Extra sink ABCDEFGH\xc3\xa9 and more";
const char* EXTRA_CAPS_NAME = "Monitor of Extra sink ABCDEFGH";

void ListsSourcesByDescription(WindowRef window) {
    CHECK(PumpUntil([] { return WaveInGetNumDevs() >= 1; }, 3000), "the server's source is not listed");
    int changes = device_changes;
    CHECK(Control({"add-sink", "korvelt_extra", EXTRA_DESCRIPTION, "playing"}) == 0, "no extra sink");
    CHECK(PumpUntil([&] { return device_changes > changes && WaveInGetNumDevs() == 2; }, 3000),
          "the extra sink's monitor came without WM_DEVICECHANGE, or not at all (%u sources)", WaveInGetNumDevs());
    // In the server's order, by description (cut to the caps field), not by the sources' names.
    const char* monitor = std::getenv("KORVELT_TEST_MONITOR_DESCRIPTION");
    CHECK(monitor && *monitor && CapsName(0) == std::string(monitor).substr(0, 31), "device 0 is \"%s\", want \"%s\"",
          CapsName(0).c_str(), monitor ? monitor : "?");
    CHECK(CapsName(1) == EXTRA_CAPS_NAME, "device 1 is \"%s\"", CapsName(1).c_str());
    CHECK(CapsName(WAVE_MAPPER) == "Default input device", "the mapper is \"%s\"", CapsName(WAVE_MAPPER).c_str());
    CHECK(CapsName(2) == "<no caps>", "a device past the list has caps");
}

// What the capture engine relies on, beyond recording: refusals, queries, the callback kinds,
// and the rules of tear-down.
void KeepsTheWaveInRules(WindowRef window) {
    WaveFormat format = CaptureFormat();
    WaveInHandle handle = nullptr;
    CHECK(WaveInOpen(&handle, 2, &format, (uintptr_t)window, 0, CALLBACK_WINDOW) == MMSYSERR_BADDEVICEID,
          "open past the list");
    int opens = opens_posted;
    CHECK(WaveInOpen(nullptr, 0, &format, 0, 0, 0x0001 /* WAVE_FORMAT_QUERY */ | WAVE_FORMAT_DIRECT) == MMSYSERR_NOERROR,
          "query of the program's format");
    WaveFormat mono = format;
    mono.nChannels = 1;
    mono.nBlockAlign = 2;
    mono.nAvgBytesPerSec = 88200;
    CHECK(WaveInOpen(&handle, 0, &mono, (uintptr_t)window, 0, CALLBACK_WINDOW | WAVE_FORMAT_DIRECT) == WAVERR_BADFORMAT,
          "a format the device does not take as it is, with WAVE_FORMAT_DIRECT");

    // CALLBACK_NULL: recording, but no message for it; a reset hands the headers back done.
    Run quiet;
    WaveInHandle null_handle = nullptr;
    CHECK(WaveInOpen(&null_handle, 0, &format, 0, 0, WAVE_FORMAT_DIRECT) == MMSYSERR_NOERROR, "CALLBACK_NULL open");
    for (int i = 0; i < 2; ++i) {
        quiet.headers[i].lpData = quiet.data[i];
        quiet.headers[i].dwBufferLength = RUN_BUFFER_BYTES;
        WaveInPrepareHeader(null_handle, &quiet.headers[i], sizeof(WaveHeader));
        WaveInAddBuffer(null_handle, &quiet.headers[i], sizeof(WaveHeader));
    }
    CHECK(WaveInClose(null_handle) == WAVERR_STILLPLAYING, "close while the driver holds buffers");
    WaveInStart(null_handle);
    int stale = stale_total;
    PumpFor(300);
    WaveInReset(null_handle);
    for (int i = 0; i < 2; ++i)
        CHECK((quiet.headers[i].dwFlags & (WHDR_DONE | WHDR_INQUEUE)) == WHDR_DONE, "header %d after reset: flags %x", i,
              quiet.headers[i].dwFlags);
    CHECK(WaveInClose(null_handle) == MMSYSERR_NOERROR, "close after reset");
    PumpFor(50);
    CHECK(stale_total == stale && opens_posted == opens, "messages for a CALLBACK_NULL device or a query");
    CHECK(WaveInStart(null_handle) == MMSYSERR_INVALHANDLE, "a closed handle still works");

    // CALLBACK_WINDOW: opened and closed are told.
    int closes = closes_posted;
    Run& run = runs[0];
    CHECK(StartRun(run, window, 0), "device 0 does not open");
    CHECK(PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000), "device 0 delivers %d", run.deliveries);
    StopRun(run);
    PumpFor(20);
    CHECK(opens_posted == opens + 1 && closes_posted == closes + 1, "MM_WIM_OPEN %d, MM_WIM_CLOSE %d",
          opens_posted - opens, closes_posted - closes);
}

// Runs opened and torn down one after another, the mapper, the tone's monitor and the silent
// extra one by turns, while another sink comes and goes (the list is read anew each time).
void RestartsWhileTheListChanges(WindowRef window) {
    std::atomic<bool> churned{false};
    std::thread churn([&churned] {
        for (int i = 0; i < 8; ++i) {
            Control({"add-sink", "korvelt_churn", "Churn"}, false);
            Control({"remove-sink", "korvelt_churn"}, false);
        }
        churned.store(true);
    });
    int opened = 0, slow = 0, gaps = 0, changes = device_changes;
    for (int restart = 0; restart < RESTARTS; ++restart) {
        Run& run = runs[restart % 2];
        uint32_t id = restart % 3 == 0 ? WAVE_MAPPER : restart % 3 == 1 ? 0u : 1u;
        if (!StartRun(run, window, id)) {
            PumpFor(5);
            continue;
        }
        ++opened;
        // Most runs end after a few fragments; some right away, as a held arrow key ends them.
        if (restart % 5 != 4 && !PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000)) ++slow;
        gaps += (int)run.gaps;
        StopRun(run);
        PumpFor(1);
    }
    // The list keeps changing until the churn is over.
    PumpUntil([&] { return churned.load(); }, 60000);
    churn.join();
    PumpFor(200);
    CHECK(opened >= RESTARTS * 9 / 10, "only %d of %d opens succeeded", opened, RESTARTS);
    CHECK(slow == 0, "%d runs got fewer than %d deliveries in 3 s", slow, DELIVERIES_PER_RUN);
    CHECK(gaps == 0, "%d numbered frames did not follow their predecessor", gaps);
    // Changes that come close together may be read as one.
    CHECK(device_changes - changes >= 8, "%d device changes for 16 changes of the list", device_changes - changes);
    CHECK(WaveInGetNumDevs() == 2, "after the churn %u sources", WaveInGetNumDevs());
}

// Three seconds of the tone: every frame in order, at the sound's own pace.
void SteadyRun(WindowRef window) {
    Run& run = runs[0];
    CHECK(StartRun(run, window, WAVE_MAPPER), "the mapper does not open");
    CHECK(PumpUntilDelivered(run, 1, 3000), "no first delivery");
    int first = run.deliveries;
    PumpFor(3000);
    int deliveries = run.deliveries - first;
    CHECK(deliveries >= 3 * 344 * 8 / 10 && deliveries <= 3 * 345 * 12 / 10, "%d deliveries in 3 s", deliveries);
    CHECK(run.gaps == 0 && run.frames > 0, "%lld frames, %lld out of step", (long long)run.frames, (long long)run.gaps);
    StopRun(run);
}

// The mapper records the server's default source, and follows it when it changes.
void MapperFollowsTheDefault(WindowRef window) {
    Run& run = runs[1];
    CHECK(StartRun(run, window, WAVE_MAPPER), "the mapper does not open");
    CHECK(PumpUntil([&] { return run.frames > 2000; }, 3000), "the mapper does not record the tone");
    int64_t silent = run.silent_frames;
    Control({"default-source", "korvelt_extra.monitor"});
    CHECK(PumpUntil([&] { return run.silent_frames > silent + 4000; }, 3000),
          "the mapper did not follow the default to the silent sink");
    int64_t frames = run.frames;
    Control({"default-source", "korvelt_tsan.monitor"});
    CHECK(PumpUntil([&] { return run.frames > frames + 4000; }, 3000), "the mapper did not follow the default back");
    StopRun(run);
}

// The server dies: the list empties (and the program hears of it), deliveries stop, opens fail
// at once. It comes back: the list returns by itself, an open records again.
void ServerKilledAndRevived(WindowRef window) {
    Run& run = runs[0];
    CHECK(StartRun(run, window, WAVE_MAPPER), "the mapper does not open");
    CHECK(PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000), "no deliveries");
    int changes = device_changes;
    Control({"kill"});
    CHECK(PumpUntil([] { return WaveInGetNumDevs() == 0; }, 3000), "the list did not empty with the server gone");
    CHECK(device_changes > changes, "no WM_DEVICECHANGE when the server went");
    PumpFor(200);
    int before = run.deliveries;
    PumpFor(500);
    CHECK(run.deliveries == before, "%d deliveries with the server gone", run.deliveries - before);
    StopRun(run);
    uint32_t result = 0;
    CHECK(!StartRun(run, window, WAVE_MAPPER, &result) && result == MMSYSERR_BADDEVICEID,
          "open with the server gone: %u", result);
    Control({"revive"});
    CHECK(PumpUntil([] { return WaveInGetNumDevs() >= 1; }, 4000), "the client did not connect again");
    CHECK(StartRun(run, window, WAVE_MAPPER), "the mapper does not open after the server's return");
    CHECK(PumpUntil([&] { return run.frames > 2000; }, 4000), "no tone after the server's return");
    StopRun(run);
}

// The server stops (SIGSTOP): tearing down returns at once, an open the server cannot answer is
// the last one tried; opens are refused as busy until it answers again.
void ServerFrozen(WindowRef window) {
    Run& run = runs[0];
    CHECK(StartRun(run, window, WAVE_MAPPER), "the mapper does not open");
    CHECK(PumpUntilDelivered(run, DELIVERIES_PER_RUN, 3000), "no deliveries");
    Control({"freeze"});
    PumpFor(200);
    StopRun(run);
    if (StartRun(runs[1], window, WAVE_MAPPER)) StopRun(runs[1]);
    PumpFor(700);
    uint32_t result = 0;
    CHECK(!StartRun(run, window, WAVE_MAPPER, &result) && result == MMSYSERR_HANDLEBUSY,
          "open with the server stopped: %u, want busy", result);
    Control({"thaw"});
    bool opened = false;
    for (uint64_t thawed = NowMicros(); !opened && NowMicros() - thawed < 3000000;) {
        opened = StartRun(run, window, WAVE_MAPPER);
        if (!opened) PumpFor(100);
    }
    CHECK(opened, "no open once the server answered again");
    if (!opened) return;
    CHECK(PumpUntil([&] { return run.frames > 2000; }, 3000), "no tone once the server answered again");
    // Frozen again, for good: the program ends all the same.
    Control({"freeze"});
    PumpFor(200);
    StopRun(run);
}

bool FileExists(const char* path) {
    return path && access(path, F_OK) == 0;
}

// Waits (pumping) until `path` exists; false after `timeout_ms`.
bool PumpUntilFile(const char* path, int timeout_ms) {
    return PumpUntil([path] { return FileExists(path); }, timeout_ms);
}

// The id under which the list, read anew, has the input of that name; past the list when none.
uint32_t InputId(const std::string& name) {
    uint32_t count = WaveInGetNumDevs();
    for (uint32_t id = 0; id < count; ++id)
        if (CapsName(id) == name) return id;
    return count;
}

int SoundServerFaults(WindowRef window) {
    const char* gone_file = std::getenv("KORVELT_FAULT_GONE_FILE");
    const char* back_file = std::getenv("KORVELT_FAULT_BACK_FILE");
    if (!gone_file || !back_file) {
        std::printf("setup failed\n");
        return 1;
    }
    PumpUntil([] { return WaveInGetNumDevs() > 0; }, 3000);
    const std::string input = CapsName(0);
    std::printf("input \"%s\"\n", input.c_str());
    Run& run = runs[0];
    const uint32_t input_id = InputId(input);
    CHECK(StartRun(run, window, input_id), "the input does not open");
    bool metering = PumpUntilDelivered(run, 40, 5000);
    std::printf("metering %d\n", metering ? 1 : 0);
    std::fflush(stdout);
    // From now until the input is back the list is not read again, so its entry stays what it
    // was when the input went: the entry a program's list still shows until it hears of it.
    reread_on_change = false;

    // The input goes away: deliveries stop (after what was already on its way).
    CHECK(PumpUntilFile(gone_file, 20000), "the input was never taken away");
    PumpFor(500);
    int before = run.deliveries;
    PumpFor(1000);
    int while_gone = run.deliveries - before;
    std::printf("deliveries-while-gone %d\n", while_gone);
    StopRun(run);
    // Opening what is not there fails, and promptly.
    int failed = 0;
    uint64_t slowest_us = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Run& probe = runs[1];
        uint64_t start = NowMicros();
        bool opened = StartRun(probe, window, input_id);
        slowest_us = std::max(slowest_us, NowMicros() - start);
        if (opened) StopRun(probe);
        else ++failed;
        PumpFor(200);
    }
    std::printf("failed-opens-while-gone %d of 3, slowest %llu ms\n", failed, (unsigned long long)(slowest_us / 1000));
    std::printf("waiting-for-return\n");
    std::fflush(stdout);

    // It comes back: it opens again by its name, and deliveries resume.
    CHECK(PumpUntilFile(back_file, 20000), "the input never came back");
    reread_on_change = true;
    uint64_t back_at = NowMicros();
    bool opened = false;
    while (!opened && NowMicros() - back_at < 5000000) {
        opened = StartRun(run, window, InputId(input));
        if (!opened) PumpFor(200);
    }
    bool resumed = opened && PumpUntilDelivered(run, 20, 4000);
    std::printf("resumed %d after %llu ms\n", resumed ? 1 : 0, (unsigned long long)((NowMicros() - back_at) / 1000));
    if (opened) StopRun(run);
    PumpFor(50);
    FinishClosingCaptureDevices();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool faults = argc > 1 && std::strcmp(argv[1], "--sound-server") == 0;
    control_script = std::getenv("KORVELT_SERVER_CONTROL");
    if (!faults && !control_script) {
        std::fprintf(stderr, "run me through tests/tsan/pulse-server.sh run\n");
        return 2;
    }
    StartSoundServerClient();
    bool sdl = ChooseSdlCapture();
    WindowRef window = MakeCaptureWindow();
    if (faults) return sdl ? (std::printf("setup failed: no sound server\n"), 1) : SoundServerFaults(window);
    CHECK(!sdl, "a sound server runs, but SDL's capture was chosen");
    if (sdl) return 1;

    std::string frames = WriteFramesFile(44100 * 60);
    CHECK(!frames.empty(), "cannot write the frames file");
    CHECK(Control({"play", frames}) == 0, "the tone does not play");
    // PulseAudio passes the null sink's sound on as it was played; PipeWire resamples it.
    const char* exact = std::getenv("KORVELT_TEST_SOUND_EXACT");
    frames_kind = exact && std::strcmp(exact, "1") == 0 ? FramesKind::MAYBE_SILENT : FramesKind::SOUND;

    struct Phase {
        const char* name;
        void (*run)(WindowRef);
    } phases[] = {{"listing", ListsSourcesByDescription}, {"wave-in rules", KeepsTheWaveInRules},
                  {"restarts", RestartsWhileTheListChanges}, {"steady run", SteadyRun},
                  {"default source", MapperFollowsTheDefault}, {"server killed", ServerKilledAndRevived},
                  {"server frozen", ServerFrozen}};
    for (const Phase& phase : phases) {
        int before = failures;
        uint64_t start = NowMicros();
        phase.run(window);
        std::printf("%-16s %s in %llu ms\n", phase.name, failures == before ? "ok" : "FAILED",
                    (unsigned long long)((NowMicros() - start) / 1000));
        std::fflush(stdout);
    }
    CHECK(wakes.load() > 0, "the loop thread never woke the GUI thread");
    // With the server still stopped.
    CHECK(FinishClosingCaptureDevices(), "the client did not end");
    std::remove(frames.c_str());
    std::printf("%d restarts, %d stale deliveries ignored, %d device changes, %d failures\n", RESTARTS, stale_total,
                device_changes, failures);
    return failures == 0 ? 0 : 1;
}
