# Fault checks of a running program on the real audio path, sourced by e2e.sh (they use its
# Report, screenshot and level-bar checks) and run on whichever sound server e2e.sh started
# (PulseAudio, or the whole PipeWire stack): the sink is unplugged and plugged in again, the
# sound server dies and comes back, the server is frozen (SIGSTOP) and Escape must still end
# the program at once with exit code 0. The Windows builds under Wine meet the same faults
# through Wine's own sound driver, and the frozen-server exit again after the device list was
# worked and the server restarted (five runs, the median counts); only the native build says
# how many device changes it was told of, and only it has the SDL wave input to test on its own.
FAULT_CHECK_NAMES=(fault-device-change-posted fault-sink-gone-alive fault-sink-gone-silence fault-sink-back-meters
                   fault-server-gone-alive fault-server-gone-silence fault-server-back-meters
                   fault-server-stopped-exit)
WINDOWS_FAULT_CHECK_NAMES=(fault-sink-gone-alive fault-sink-gone-silence fault-sink-back-meters
                           fault-server-gone-alive fault-server-gone-silence fault-server-back-meters
                           fault-server-stopped-exit fault-stopped-exit-after-restart
                           fault-stopped-exit-after-restart-code)
BACKEND_FAULT_CHECK_NAMES=(backend-sink-gone-stops backend-sink-gone-open-fails backend-sink-back-resumes
                           backend-server-gone-stops backend-server-gone-open-fails backend-server-back-resumes)
FAULT_GONE_SECONDS=1.5
FAULT_BUILD=native
# Metering comes back about 2 s after the input returns (a one-pixel probe of the bars: the
# reopen follows within a second, then a freshly loaded sink's monitor takes about a second to
# hand out its first block). Each try here takes a whole screenshot and reads it, which adds up
# to a second more, so the check allows 4 s; the times it prints include that.
FAULT_BACK_SECONDS=4
# The frozen-server exit after list work and a server restart: runs, and the limit on their
# median from the close to the end of the process. The runs freeze the server at different
# moments: once the program meters the revived server again (3 s after it is back), or just
# after it is back, while the program is still reopening its lost input; and close the window
# a different while after the freeze: with deliveries still queued, around the program's own
# reopen of the stalled input (after 250 ms of silence), and after it.
EXIT_RUNS=5
EXIT_LIMIT_MS=500
EXIT_REVIVED_SECONDS=(3 3 0.3 3 0.3)
EXIT_FREEZE_SECONDS=(0.1 0.6 1.2 2.0 0.3)
FAULT_CLIENT=""   # "x y": where a Windows build's client area lies in its screenshots

# True (0) when both level bars are entirely dark in the loaded screenshot.
LevelBarsDark() {
    local top c lit=0
    for top in 578 617; do
        # Segment i's middle at x 19 + 14 i + 6, i = 1 .. 30.
        while read -r c; do
            [ "$c" = "$SEGMENT_OFF" ] || lit=$(( lit + 1 ))
        done < <(shot_row_colours 39 $(( top + 18 )) 14 30)
    done
    FAULT_VALUE=" $lit of 60 segments lit"
    [ "$lit" = 0 ]
}

# FaultShot WINDOW FILE: takes and loads one screenshot for shot_pixel; false when none could
# be taken. A Windows build's shot holds the frame Wine draws around the client area: it is
# found in the program's first shot (as RunBuild does) and kept, as the window does not move,
# so the checks read client coordinates. Loading only the pixels keeps a try short: the time
# a check waits for metering to return is not spent reading screenshots.
FaultShot() {
    import -window "$1" "$2" 2>>"$WORK/faults-import.log" && [ -s "$2" ] || return 1
    if IsNativeBuild "$FAULT_BUILD"; then
        shot_load_pixels "$2"
        SHOT_OX=0; SHOT_OY=0
    elif [ -n "$FAULT_CLIENT" ]; then
        shot_load_pixels "$2"
        read -r SHOT_OX SHOT_OY <<<"$FAULT_CLIENT"
    else
        shot_load "$2" && LocateClient "$FAULT_BUILD" || return 1
        FAULT_CLIENT="$SHOT_OX $SHOT_OY"
    fi
}

# FaultAlive BUILD CHECK: the program is still running.
FaultAlive() {
    if kill -0 "$PROGRAM_PID" 2>/dev/null; then Report "$1" "$2" 1 "still running"
    else Report "$1" "$2" 0 "the program ended"; fi
}

# FaultSilence BUILD CHECK WINDOW SHOT: the display shows silence while the input is gone.
FaultSilence() {
    if FaultShot "$3" "$4" && LevelBarsDark; then Report "$1" "$2" 1 "level bars dark:$FAULT_VALUE"
    else Report "$1" "$2" 0 "level bars lit while the input is gone:${FAULT_VALUE:- no screenshot}"; fi
}

# FaultMetersAgain BUILD CHECK WINDOW SHOT-PREFIX [swapped]: the tone shows on the level bars
# again within FAULT_BACK_SECONDS of its return. With "swapped" the tone that came back has its
# channels' levels swapped, so a display still showing the sound from before the fault fails.
FaultMetersAgain() {
    local start now ok=0 shot=0 left="$LEFT_AMPLITUDE" right="$RIGHT_AMPLITUDE"
    if [ "${5:-}" = swapped ]; then LEFT_AMPLITUDE="$right"; RIGHT_AMPLITUDE="$left"; fi
    start=$(Milliseconds)
    while :; do
        shot=$(( shot + 1 ))
        VALUE="no screenshot"
        if FaultShot "$3" "$4-back$shot.png"; then
            CheckLevelBars
            [ "$OK" = 1 ] && { ok=1; break; }
        fi
        now=$(Milliseconds)
        (( now - start > FAULT_BACK_SECONDS * 1000 )) && break
        sleep 0.25
    done
    LEFT_AMPLITUDE="$left"; RIGHT_AMPLITUDE="$right"
    Report "$1" "$2" "$ok" "after $(( $(Milliseconds) - start )) ms: ${VALUE:-no screenshot}"
}

# StartForFaults COMMAND TITLE LOG: starts the program on the tone and sets FAULT_WINDOW (empty
# when no window came). COMMAND is the program, or "wine-run program".
StartForFaults() {
    local start
    FAULT_WINDOW=""
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    start=$(Milliseconds)
    # With its counts printed at exit (deliveries, device changes).
    # shellcheck disable=SC2086
    KORVELT_CAPTURE_STATS=1 setsid $1 >"$3" 2>&1 </dev/null &
    PROGRAM_PID=$!
    while [ -z "$FAULT_WINDOW" ] && (( $(Milliseconds) - start < 30000 )) && kill -0 "$PROGRAM_PID" 2>/dev/null; do
        FAULT_WINDOW="$(xdotool search --onlyvisible --name "^${2}\$" 2>/dev/null | head -n1 || true)"
        [ -n "$FAULT_WINDOW" ] || sleep 0.1
    done
    [ -n "$FAULT_WINDOW" ] && sleep "$SETTLE_SECONDS"
}

StopAfterFaults() {
    korvelt_thaw_server
    if [ -n "$PROGRAM_PID" ]; then
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
    fi
    PROGRAM_PID=""
    korvelt_stop_tone || true
}

# ProgramExitCode STATUS LOG: sets EXIT_STATUS to the program's own exit code. Under Wine, a
# process that ended by a signal (128 + n) after the program had said it was ending with code
# C (a line it prints with KORVELT_CAPTURE_STATS) died in Wine's teardown: Wine 8's sound
# driver thread may crash there while the server is frozen. Then C is the program's code, and
# EXIT_NOTE says so.
ProgramExitCode() {
    local status="$1" said
    EXIT_NOTE=""
    if (( status > 128 )); then
        said="$(sed -n 's/^korvelt: ending with exit code \([0-9-]*\).*/\1/p' "$2" 2>/dev/null | tail -n1)"
        if [ -n "$said" ]; then
            EXIT_NOTE=" (Wine ended by signal $(( status - 128 )) after the program ended with $said)"
            status="$said"
        fi
    fi
    EXIT_STATUS="$status"
}

# WaitForLine FILE PATTERN SECONDS: true once a line of FILE matches PATTERN.
WaitForLine() {
    local i
    for (( i = 0; i < $3 * 10; i++ )); do
        grep -q "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# WorkDeviceList WINDOW STEPS: opens the device list STEPS times and moves its selection down
# and up again by one entry, as a user trying the inputs; each choice restarts capture.
WorkDeviceList() {
    local window="$1" steps="$2" step ox=0 oy=0
    [ -n "$FAULT_CLIENT" ] && read -r ox oy <<<"$FAULT_CLIENT"
    for (( step = 1; step <= steps; step++ )); do
        xdotool mousemove --window "$window" $(( 600 + ox )) $(( 15 + oy )) click 1 2>/dev/null || true
        sleep 0.3
        if (( step % 2 )); then xdotool key Down 2>/dev/null || true; else xdotool key Up 2>/dev/null || true; fi
        sleep 0.1
        xdotool key Return 2>/dev/null || true
        sleep 0.6
    done
}

# FaultExitAfterRestart BUILD COMMAND TITLE: EXIT_RUNS times: the program starts on the tone,
# the device list is worked, the server is killed and revived (and mostly metered again), the
# server freezes, and the window is closed with its title bar's close button (the list
# keeps the keyboard focus, so Escape would not reach the window, as on Windows). Two checks:
# the median time from the close to the end of the process passes at EXIT_LIMIT_MS (a run
# still going after 3 s counts as endless), and every run ends with exit code 0.
FaultExitAfterRestart() {
    local build="$1" command="$2" title="$3" dir="$WORK/$1/faults" run times=() bad="" start elapsed status
    local median x y codes=() wrong=""
    for (( run = 1; run <= EXIT_RUNS; run++ )); do
        StartForFaults "$command" "$title" "$dir/program-exit$run.log"
        if [ -z "$FAULT_WINDOW" ]; then
            bad="$bad run $run: no window;"
            StopAfterFaults
            continue
        fi
        # Where the client area and the close button lie (the window never moves).
        FaultShot "$FAULT_WINDOW" "$dir/exit$run.png" || true
        WorkDeviceList "$FAULT_WINDOW" $(( 3 + run % 2 ))
        korvelt_kill_server || true
        korvelt_stop_tone || true
        sleep 1
        korvelt_revive_server >/dev/null 2>&1 || true
        korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
        # The reopen follows within a second, the revived monitor's first block about 1.5 s later.
        sleep "${EXIT_REVIVED_SECONDS[$(( (run - 1) % ${#EXIT_REVIVED_SECONDS[@]} ))]}"
        korvelt_freeze_server || true
        sleep "${EXIT_FREEZE_SECONDS[$(( (run - 1) % ${#EXIT_FREEZE_SECONDS[@]} ))]}"
        # The close button sits at the right end of the caption Wine draws above the client area.
        x=$(( SHOT_W - 1 - SHOT_OX - 10 )); y=$(( SHOT_OY / 2 + 1 ))
        xdotool mousemove --window "$FAULT_WINDOW" "$x" "$y" click 1 2>/dev/null || true
        start=$(Milliseconds)
        while kill -0 "$PROGRAM_PID" 2>/dev/null && (( $(Milliseconds) - start < 3000 )); do sleep 0.02; done
        elapsed=$(( $(Milliseconds) - start ))
        if kill -0 "$PROGRAM_PID" 2>/dev/null; then
            bad="$bad run $run: still running after 3 s;"
            times+=(99999)
            codes+=(none)
        else
            status=0
            wait "$PROGRAM_PID" || status=$?
            PROGRAM_PID=""
            times+=("$elapsed")
            ProgramExitCode "$status" "$dir/program-exit$run.log"
            status="$EXIT_STATUS"
            codes+=("$status$EXIT_NOTE")
            # 128 + n: ended by signal n (under Wine, a crash of Wine itself).
            [ "$status" = 0 ] || wrong="$wrong run $run: exit code $status;"
        fi
        StopAfterFaults
    done
    if (( ${#times[@]} == 0 )); then
        Report "$build" fault-stopped-exit-after-restart 0 "no run started:$bad (logs $dir/program-exit*.log)"
        Report "$build" fault-stopped-exit-after-restart-code 0 "no run started"
        return
    fi
    median="$(printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
    if [ -z "$bad" ] && (( ${#times[@]} == EXIT_RUNS && median <= EXIT_LIMIT_MS )); then
        Report "$build" fault-stopped-exit-after-restart 1 "median $median ms of $EXIT_RUNS closes (${times[*]} ms)"
    else
        Report "$build" fault-stopped-exit-after-restart 0 "median $median ms of ${#times[@]} closes (${times[*]} ms; want all $EXIT_RUNS, median <= $EXIT_LIMIT_MS ms):${bad:- }"
    fi
    if [ -z "$wrong" ] && (( ${#codes[@]} == EXIT_RUNS )); then
        local noted=""
        [[ " ${codes[*]} " == *"(Wine ended"* ]] && noted=": ${codes[*]}"
        Report "$build" fault-stopped-exit-after-restart-code 1 "exit code 0 in all $EXIT_RUNS runs$noted"
    else
        Report "$build" fault-stopped-exit-after-restart-code 0 "exit codes ${codes[*]} (want 0 in all $EXIT_RUNS runs):${wrong:- }"
    fi
}

# BackendFault KIND (sink or server): the native build's wave input on its own (the sound
# server's client, in the capture test program's --sound-server mode) loses its input and gets
# it back; see pulse_capture_restarts.cpp.
BackendFault() {
    local kind="$1" exe="${KORVELT_NATIVE_TESTS_DIR:-$ROOT/build/native/tests}/pulse_capture_restarts"
    local dir="$WORK/native/faults" log gone back pid metering stopped failed slowest resumed after i
    log="$dir/backend-$kind.log"; gone="$dir/backend-$kind.gone"; back="$dir/backend-$kind.back"
    rm -f "$gone" "$back"
    if [ ! -x "$exe" ]; then
        for name in stops open-fails resumes; do Report native "backend-$kind-${name/stops/gone-stops}" 0 "not built: $exe"; done
        return 0
    fi
    KORVELT_FAULT_GONE_FILE="$gone" KORVELT_FAULT_BACK_FILE="$back" "$exe" --sound-server >"$log" 2>&1 &
    pid=$!
    WaitForLine "$log" '^metering' 10 || true
    if [ "$kind" = sink ]; then korvelt_unload_sink >/dev/null 2>&1 || true
    else korvelt_kill_pulse || true; fi
    touch "$gone"
    WaitForLine "$log" '^waiting-for-return' 15 || true
    if [ "$kind" = sink ]; then korvelt_load_sink >/dev/null 2>&1 || true
    else korvelt_revive_pulse >/dev/null 2>&1 || true; fi
    touch "$back"
    for (( i = 0; i < 150 && $(kill -0 "$pid" 2>/dev/null && echo 1 || echo 0) == 1; i++ )); do sleep 0.1; done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    metering="$(awk '/^metering/ { print $2 }' "$log")"
    stopped="$(awk '/^deliveries-while-gone/ { print $2 }' "$log")"
    read -r failed slowest < <(awk '/^failed-opens-while-gone/ { print $2, $6 }' "$log")
    read -r resumed after < <(awk '/^resumed/ { print $2, $4 }' "$log")
    if [ "${metering:-0}" = 1 ] && [ "${stopped:-x}" = 0 ]; then
        Report native "backend-$kind-gone-stops" 1 "delivering, then no deliveries while the input is gone"
    else
        Report native "backend-$kind-gone-stops" 0 "delivering before: ${metering:-?}; ${stopped:-?} deliveries while the input is gone (log $log)"
    fi
    if [ "${failed:-x}" = 3 ] && (( ${slowest:-9999} <= 500 )); then
        Report native "backend-$kind-gone-open-fails" 1 "3 of 3 opens failed, slowest $slowest ms"
    else
        Report native "backend-$kind-gone-open-fails" 0 "${failed:-?} of 3 opens failed, slowest ${slowest:-?} ms (want all, within 500 ms; log $log)"
    fi
    if [ "${resumed:-0}" = 1 ] && (( ${after:-99999} <= FAULT_BACK_SECONDS * 1000 )); then
        Report native "backend-$kind-back-resumes" 1 "reopened and delivering $after ms after the return"
    else
        Report native "backend-$kind-back-resumes" 0 "resumed ${resumed:-?} after ${after:-?} ms (want within $FAULT_BACK_SECONDS s; log $log)"
    fi
}

RunFaults() {
    local build="$1" exe title window="" start dir status elapsed name command
    case "$build" in
        native) exe="${KORVELT_NATIVE_EXE:-$ROOT/build/native/korvelt}"; command="$exe"
                title="KORVELT - BETA2 - $(getconf LONG_BIT) BIT - MARDELLIN" ;;
        win64)  exe="${KORVELT_WIN64_EXE:-$ROOT/build/win64/korvelt.exe}"; command="$ROOT/scripts/wine-run $exe"
                title="KORVELT - BETA2 - 64 BIT - MARDELLIN" ;;
        win32)  exe="${KORVELT_WIN32_EXE:-$ROOT/build/win32/korvelt.exe}"; command="$ROOT/scripts/wine-run $exe"
                title="KORVELT - BETA2 - 32 BIT - MARDELLIN" ;;
        *) return 0 ;;
    esac
    FAULT_BUILD="$build"
    FAULT_CLIENT=""
    dir="$WORK/$build/faults"
    mkdir -p "$dir"
    rm -f "$dir"/*.png
    echo "== $build: faults"
    local names=("${FAULT_CHECK_NAMES[@]}")
    [ "$build" = native ] || names=("${WINDOWS_FAULT_CHECK_NAMES[@]}")
    if [ ! -f "$exe" ]; then
        for name in "${names[@]}"; do Report "$build" "$name" 0 "not built: $exe"; done
        return 0
    fi
    SHOT_OX=0; SHOT_OY=0
    [ -s "$WORK/tone-swapped.wav" ] ||
        sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone-swapped.wav" synth 40 sine "$TONE_HZ" sine "$TONE_HZ" \
            remix "1v$RIGHT_AMPLITUDE" "2v$LEFT_AMPLITUDE"

    # The server freezes (SIGSTOP) while the program meters it; Escape must still end it at
    # once, although closing the capture device now waits on the frozen server.
    StartForFaults "$command" "$title" "$dir/program-stopped.log"
    window="$FAULT_WINDOW"
    if [ -z "$window" ]; then
        Report "$build" fault-server-stopped-exit 0 "no window (log $dir/program-stopped.log)"
    else
        korvelt_freeze_server || true
        sleep 1
        xdotool windowfocus "$window" 2>/dev/null || true
        sleep 0.2
        xdotool key Escape 2>/dev/null || true
        start=$(Milliseconds)
        while kill -0 "$PROGRAM_PID" 2>/dev/null && (( $(Milliseconds) - start < 1500 )); do sleep 0.02; done
        elapsed=$(( $(Milliseconds) - start ))
        if kill -0 "$PROGRAM_PID" 2>/dev/null; then
            Report "$build" fault-server-stopped-exit 0 "still running 1.5 s after Escape with the server stopped"
        else
            status=0
            wait "$PROGRAM_PID" || status=$?
            PROGRAM_PID=""
            ProgramExitCode "$status" "$dir/program-stopped.log"
            status="$EXIT_STATUS"
            if [ "$status" = 0 ]; then Report "$build" fault-server-stopped-exit 1 "exit code 0 after $elapsed ms$EXIT_NOTE"
            else Report "$build" fault-server-stopped-exit 0 "exit code $status after $elapsed ms"; fi
        fi
    fi
    StopAfterFaults

    if [ "$build" = native ]; then
        # PipeWire's pulse server keeps a dummy output while no sink is left and moves a
        # recording onto its monitor, as a desktop running it does: there an input never
        # vanishes outright, so only the server's death is met on PipeWire.
        [ "$KORVELT_SERVER_KIND" = pipewire ] || BackendFault sink
        BackendFault server
    else
        FaultExitAfterRestart "$build" "$command" "$title"
    fi

    StartForFaults "$command" "$title" "$dir/program.log"
    window="$FAULT_WINDOW"
    if [ -z "$window" ]; then
        for name in "${names[@]}"; do
            [ "$name" = fault-server-stopped-exit ] || Report "$build" "$name" 0 "no window (log $dir/program.log)"
        done
        StopAfterFaults
        return 0
    fi

    # A second sink (so a second monitor source) appears and goes: the program is told twice.
    if [ "$build" = native ]; then
        local extra
        extra="$(pactl load-module module-null-sink sink_name=korvelt_extra 2>/dev/null || true)"
        sleep 0.3
        [ -n "$extra" ] && pactl unload-module "$extra" 2>/dev/null || true
        sleep 0.3
    fi

    # The sink goes away as an unplugged device does (the tone still playing into it), and
    # comes back.
    korvelt_unload_sink >/dev/null 2>&1 || true
    korvelt_stop_tone || true
    sleep "$FAULT_GONE_SECONDS"
    FaultAlive "$build" fault-sink-gone-alive
    FaultSilence "$build" fault-sink-gone-silence "$window" "$dir/sink-gone.png"
    korvelt_load_sink >/dev/null 2>&1 || true
    korvelt_play_tone "$WORK/tone-swapped.wav" "$SINK" || true
    FaultMetersAgain "$build" fault-sink-back-meters "$window" "$dir/sink" swapped

    # The sound server dies (on PipeWire the whole stack), and starts again.
    korvelt_kill_server || true
    korvelt_stop_tone || true
    sleep "$FAULT_GONE_SECONDS"
    FaultAlive "$build" fault-server-gone-alive
    FaultSilence "$build" fault-server-gone-silence "$window" "$dir/server-gone.png"
    korvelt_revive_server >/dev/null 2>&1 || true
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    FaultMetersAgain "$build" fault-server-back-meters "$window" "$dir/server"

    if [ "$build" != native ]; then
        StopAfterFaults
        return 0
    fi

    # Ended as a close request, so it prints its counts: the extra sink's coming and going
    # reached the window as WM_DEVICECHANGE.
    local changes
    kill -TERM "$PROGRAM_PID" 2>/dev/null || true
    wait "$PROGRAM_PID" 2>/dev/null || true
    PROGRAM_PID=""
    changes="$(awk '/^korvelt capture:/ { print $(NF - 2) }' "$dir/program.log")"
    if [ -n "$changes" ] && (( changes >= 2 )); then
        Report "$build" fault-device-change-posted 1 "$changes device changes posted"
    else
        Report "$build" fault-device-change-posted 0 "${changes:-no} device changes posted (want at least 2; log $dir/program.log)"
    fi
    StopAfterFaults
}
