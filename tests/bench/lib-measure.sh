# What the measuring scripts (tests/bench/side-by-side.sh, tests/e2e/measure-cpu.sh,
# tests/e2e/wine-cpu.sh) share: a private display and sound server (scripts/lib-display.sh),
# a program started in a session of its own and found again with everything it started, the
# CPU clock ticks of those processes, of the X server and of the sound server over one window,
# the screen's frames counted through DAMAGE, PSS, medians; and a private JACK server with a
# tone for JACK programs. Source it from bash; call measure_settings first. Everything started
# here is stopped on exit, and nothing else is touched.
# KORVELT_SOUND_SERVER (pulseaudio, or pipewire) picks the sound server.
# shellcheck shell=bash
# shellcheck disable=SC2034  # the MEASURE_ figures are set for the scripts that source this

MEASURE_LIB_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$MEASURE_LIB_DIR/../../scripts/lib-display.sh"

MEASURE_SECONDS=""       # the window measured, after the warm-up
MEASURE_WARMUP=""
MEASURE_RUNS=""
MEASURE_HZ="$(getconf CLK_TCK)"
MEASURE_WORK=""          # a scratch directory, removed on exit
MEASURE_PID=""           # the program started by measure_launch: its session's leader
MEASURE_WINEPREFIX=""    # set for a Wine program: the processes of this prefix are its too
MEASURE_X_PID=""
MEASURE_SOUND_PIDS=""    # the sound server's processes that measure_window counts
MEASURE_FRAME_COUNTER=""
MEASURE_JACK_PID=""
MEASURE_JACK_TONE_PID=""
MEASURE_JACK_TONE_CLIENT=""

# measure_settings SECONDS WARMUP RUNS: the defaults of this script, which
# KORVELT_MEASURE_SECONDS, KORVELT_WARMUP_SECONDS and KORVELT_MEASURE_RUNS override; makes
# the scratch directory and stops everything on exit.
measure_settings() {
    MEASURE_SECONDS="${KORVELT_MEASURE_SECONDS:-$1}"
    MEASURE_WARMUP="${KORVELT_WARMUP_SECONDS:-$2}"
    MEASURE_RUNS="${KORVELT_MEASURE_RUNS:-$3}"
    MEASURE_WORK="$(mktemp -d)"
    trap measure_cleanup EXIT
}

measure_cleanup() {
    measure_stop_program
    measure_stop_jack
    korvelt_stop_all || true
    [ -z "$MEASURE_WORK" ] || rm -rf "$MEASURE_WORK"
    MEASURE_WORK=""
}

# measure_start_display SCREEN SINK: a private Xvfb of that size and a private sound server
# with the null sink SINK (its monitor the default source); the script ends if either fails.
measure_start_display() {
    local server="${KORVELT_SOUND_SERVER:-pulseaudio}"
    korvelt_start_xvfb "$1" || { echo "no X display" >&2; exit 1; }
    korvelt_start_server "$server" "$2" || { echo "no $server server" >&2; exit 1; }
    MEASURE_X_PID="$KORVELT_XVFB_PID"
    # On PipeWire all three of its processes count (the mixing is pipewire's, the streams pipewire-pulse's).
    MEASURE_SOUND_PIDS="$KORVELT_SERVER_PIDS"
    [ -n "$MEASURE_SOUND_PIDS" ] || { echo "the sound server's processes are not known" >&2; exit 1; }
}

# measure_tone FILE SECONDS SYNTH...: a 44.1 kHz 16-bit stereo WAV of sox's synth SYNTH...
measure_tone() {
    local file="$1" seconds="$2"
    shift 2
    sox -q -n -r 44100 -b 16 -c 2 "$file" synth "$seconds" "$@"
}

# ---- the program ---------------------------------------------------------------------

# measure_launch LOG COMMAND...: starts COMMAND in a session of its own (so it and whatever
# it starts can be found and ended together), output to LOG; its pid in MEASURE_PID. A Wine
# program (MEASURE_WINEPREFIX set) gets a Wine server of its own run, to be counted with it.
measure_launch() {
    local log="$1"
    shift
    measure_stop_wine
    setsid "$@" >"$log" 2>&1 </dev/null &
    MEASURE_PID=$!
}

# measure_alive: true while the program's session has a process left.
measure_alive() { [ -n "$MEASURE_PID" ] && [ -n "$(measure_pids)" ]; }

# measure_pids: the program's processes: its session and, for a Wine program, every process
# whose environment names its prefix (the server and Wine's helpers).
measure_pids() {
    {
        [ -z "$MEASURE_PID" ] || ps -e -o pid=,sid= | awk -v s="$MEASURE_PID" '$2 == s { print $1 }'
        [ -z "$MEASURE_WINEPREFIX" ] ||
            grep -lzxF "WINEPREFIX=$MEASURE_WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | awk -F/ '{ print $3 }'
        true
    } | sort -un
}

# measure_close_program: asks the program to close (SIGTERM to the program alone) and waits
# for it; then ends whatever of its session is left.
measure_close_program() {
    [ -n "$MEASURE_PID" ] || return 0
    kill "$MEASURE_PID" 2>/dev/null || true
    wait "$MEASURE_PID" 2>/dev/null || true
    measure_stop_program
}

# measure_stop_program: ends the program's session (and its Wine server).
measure_stop_program() {
    if [ -n "$MEASURE_PID" ]; then
        kill -- -"$MEASURE_PID" 2>/dev/null || true
        wait "$MEASURE_PID" 2>/dev/null || true
        MEASURE_PID=""
    fi
    measure_stop_wine
}

measure_stop_wine() {
    [ -n "$MEASURE_WINEPREFIX" ] || return 0
    WINEPREFIX="$MEASURE_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$MEASURE_WINEPREFIX" wineserver -w >/dev/null 2>&1 || true
}

# ---- counting ------------------------------------------------------------------------

# measure_snapshot FILE PID...: "pid ticks" a line: user + system clock ticks so far. The
# command name may hold spaces, so the fields are counted from the closing parenthesis.
measure_snapshot() {
    local file="$1" pid stat
    shift
    for pid in "$@"; do
        stat="$(cat "/proc/$pid/stat" 2>/dev/null)" || continue
        echo "$pid ${stat##*) }"
    done | awk '{ print $1, $13 + $14 }' >"$file"
}

# measure_used BEFORE AFTER: clock ticks used between two snapshots (a process that started
# in between counts whole; one that ended in between is lost).
measure_used() {
    awk 'NR == FNR { before[$1] = $2; next } { used += $2 - ($1 in before ? before[$1] : 0) }
         END { print used + 0 }' "$1" "$2"
}

# measure_percent TICKS [SECONDS]: % of one core over SECONDS (default MEASURE_SECONDS).
measure_percent() {
    awk -v t="$1" -v hz="$MEASURE_HZ" -v s="${2:-$MEASURE_SECONDS}" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}

# measure_cpu_seconds TICKS
measure_cpu_seconds() { awk -v t="$1" -v hz="$MEASURE_HZ" 'BEGIN { printf "%.2f", t / hz }'; }

# measure_pss PID...: proportional set size in kB, summed.
measure_pss() {
    local pid
    for pid in "$@"; do
        awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null
    done | awk '{ t += $1 } END { print t + 0 }'
}

# measure_idle SECONDS: the sound server's CPU over the next SECONDS, % of one core.
measure_idle() {
    # shellcheck disable=SC2086
    measure_snapshot "$MEASURE_WORK/idle0" $MEASURE_SOUND_PIDS
    sleep "$1"
    # shellcheck disable=SC2086
    measure_snapshot "$MEASURE_WORK/idle1" $MEASURE_SOUND_PIDS
    measure_percent "$(measure_used "$MEASURE_WORK/idle0" "$MEASURE_WORK/idle1")" "$1"
}

# measure_window [--frames]: one window of about MEASURE_SECONDS over the program's processes,
# the X server and the sound server (MEASURE_SOUND_PIDS). Sets MEASURE_TICKS (the program's
# clock ticks), MEASURE_ELAPSED (the window's real length, s), MEASURE_CPU, MEASURE_X and
# MEASURE_SOUND (% of one core over it), MEASURE_PSS (kB, at the end) and, with --frames,
# MEASURE_FRAMES (changes of the screen over MEASURE_SECONDS). False when the program has no
# process left. measure_window_begin and measure_window_end are its two ends, for a script
# that samples more in between.
measure_window() {
    measure_window_begin || return 1
    if [ "${1:-}" = --frames ]; then
        MEASURE_FRAMES="$(measure_count_frames "$MEASURE_SECONDS")"
    else
        MEASURE_FRAMES=""
        sleep "$MEASURE_SECONDS"
    fi
    measure_window_end
}

measure_window_begin() {
    local w="$MEASURE_WORK" pids
    mapfile -t pids < <(measure_pids)
    [ ${#pids[@]} -gt 0 ] || return 1
    # The snapshots are taken together, and the window is timed from them.
    MEASURE_STARTED="$EPOCHREALTIME"
    measure_snapshot "$w/p0" "${pids[@]}"
    measure_snapshot "$w/x0" "$MEASURE_X_PID"
    # shellcheck disable=SC2086
    measure_snapshot "$w/s0" $MEASURE_SOUND_PIDS
}

measure_window_end() {
    local w="$MEASURE_WORK" pids ended
    mapfile -t pids < <(measure_pids)
    ended="$EPOCHREALTIME"
    measure_snapshot "$w/p1" "${pids[@]}"
    measure_snapshot "$w/x1" "$MEASURE_X_PID"
    # shellcheck disable=SC2086
    measure_snapshot "$w/s1" $MEASURE_SOUND_PIDS
    MEASURE_ELAPSED="$(awk -v a="$MEASURE_STARTED" -v b="$ended" 'BEGIN { printf "%.3f", b - a }')"
    MEASURE_TICKS="$(measure_used "$w/p0" "$w/p1")"
    MEASURE_CPU="$(measure_percent "$MEASURE_TICKS" "$MEASURE_ELAPSED")"
    MEASURE_X="$(measure_percent "$(measure_used "$w/x0" "$w/x1")" "$MEASURE_ELAPSED")"
    MEASURE_SOUND="$(measure_percent "$(measure_used "$w/s0" "$w/s1")" "$MEASURE_ELAPSED")"
    MEASURE_PSS="$(measure_pss "${pids[@]}")"
}

# measure_count_frames SECONDS: the frames drawn on the display over SECONDS
# (tests/bench/frame_counter.c, built on first use).
measure_count_frames() {
    if [ -z "$MEASURE_FRAME_COUNTER" ]; then
        MEASURE_FRAME_COUNTER="$MEASURE_WORK/frame_counter"
        cc -O2 -o "$MEASURE_FRAME_COUNTER" "$MEASURE_LIB_DIR/frame_counter.c" -lX11 -ldl
    fi
    "$MEASURE_FRAME_COUNTER" "$1" | awk '{ print $2 }'
}

# measure_wait_window [SECONDS]: waits (10 s at most) until a window of a program is shown on
# the display; false if none is.
measure_wait_window() {
    local i
    for (( i = 0; i < ${1:-10} * 10; i++ )); do
        # The root window itself is listed too.
        [ "$(xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null | wc -l)" -gt 1 ] && return 0
        sleep 0.1
    done
    return 1
}

# measure_screen FILE: the whole screen as PNG. measure_changed_pixels A B: how many pixels
# differ between two such files.
measure_screen() { import -window root "$1" 2>/dev/null; }
measure_changed_pixels() {
    { compare -metric AE "$1" "$2" null: 2>&1 || true; } | awk '{ printf "%d", $1 }'
}

measure_median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure_ratio A B: A / B to two places, "-" when B is not above zero.
measure_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# ---- a private JACK server -----------------------------------------------------------

# measure_start_jack: a JACK server of our own name on the dummy driver (44.1 kHz, periods of
# 1024 frames, no real-time scheduling), for every JACK client started from here
# (JACK_DEFAULT_SERVER); no client may start a server by itself.
measure_start_jack() {
    export JACK_DEFAULT_SERVER="korvelt_measure_$$"
    export JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
    jackd --name "$JACK_DEFAULT_SERVER" --no-realtime -d dummy --rate 44100 --period 1024 \
        </dev/null >"$MEASURE_WORK/jackd.log" 2>&1 &
    MEASURE_JACK_PID=$!
    jack_wait --wait --timeout 10 >/dev/null 2>&1 || { echo "jackd did not start:" >&2; cat "$MEASURE_WORK/jackd.log" >&2; return 1; }
}

measure_stop_jack() {
    measure_stop_jack_tone
    if [ -n "$MEASURE_JACK_PID" ]; then
        kill "$MEASURE_JACK_PID" 2>/dev/null || true
        wait "$MEASURE_JACK_PID" 2>/dev/null || true
        MEASURE_JACK_PID=""
    fi
    unset JACK_DEFAULT_SERVER
}

# measure_play_jack_tone FILE: plays FILE into JACK in the background (sox through ALSA's
# JACK plug-in, which connects it to the server's playback ports, where nobody listens); its
# JACK client's name in MEASURE_JACK_TONE_CLIENT.
measure_play_jack_tone() {
    local i
    sox -q "$1" -t alsa plug:jack >"$MEASURE_WORK/jack-tone.log" 2>&1 </dev/null &
    MEASURE_JACK_TONE_PID=$!
    MEASURE_JACK_TONE_CLIENT=""
    for i in $(seq 1 50); do
        MEASURE_JACK_TONE_CLIENT="$(jack_lsp 2>/dev/null | awk -F: -v p=".P.$MEASURE_JACK_TONE_PID." 'index($1, p) { print $1; exit }')"
        [ -n "$MEASURE_JACK_TONE_CLIENT" ] && return 0
        sleep 0.1
    done
    echo "the tone did not reach JACK:" >&2
    cat "$MEASURE_WORK/jack-tone.log" >&2
    return 1
}

measure_stop_jack_tone() {
    if [ -n "$MEASURE_JACK_TONE_PID" ]; then
        kill "$MEASURE_JACK_TONE_PID" 2>/dev/null || true
        wait "$MEASURE_JACK_TONE_PID" 2>/dev/null || true
        MEASURE_JACK_TONE_PID=""
        MEASURE_JACK_TONE_CLIENT=""
    fi
}

# measure_jack_inputs CLIENT: CLIENT's input ports, one a line, waiting up to 10 s for them.
measure_jack_inputs() {
    local i ports
    for i in $(seq 1 100); do
        ports="$(jack_lsp -p 2>/dev/null | awk -v c="$1:" '
            index($0, c) == 1 { port = $0; next }
            /properties:/ && /input/ && port != "" { print port }
            { port = "" }')"
        [ -n "$ports" ] && { echo "$ports"; return 0; }
        sleep 0.1
    done
    return 1
}

# measure_connect_jack_tone CLIENT: the tone's channels into CLIENT's inputs, in order.
measure_connect_jack_tone() {
    local inputs outputs i
    mapfile -t inputs < <(measure_jack_inputs "$1")
    mapfile -t outputs < <(jack_lsp "$MEASURE_JACK_TONE_CLIENT:" 2>/dev/null)
    [ ${#inputs[@]} -gt 0 ] && [ ${#outputs[@]} -gt 0 ] || return 1
    for (( i = 0; i < ${#inputs[@]} && i < ${#outputs[@]}; i++ )); do
        jack_connect "${outputs[$i]}" "${inputs[$i]}" || return 1
    done
}
