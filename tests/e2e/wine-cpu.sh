#!/bin/bash
# What a Windows build costs under Wine beyond Wine's own idle cost: the CPU of every process
# of the Wine session (the program, wineserver, Wine's helper processes) while the program
# shows a tone, beside the same session running an idle Wine program (notepad), plus the X
# server and the sound server, all in one run on a private X display and PulseAudio null
# sink. Medians of alternating runs. Not a test.
# Usage: tests/e2e/wine-cpu.sh [EXE]                 (default build/win64/korvelt.exe)
# KORVELT_MEASURE_SECONDS (20), KORVELT_WARMUP_SECONDS (5), KORVELT_MEASURE_RUNS (3).
# KORVELT_LOGPIXELS (96) is the Wine desktop's dpi: 192 runs the program at scale 2.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$ROOT/scripts/lib-display.sh"

EXE="${1:-$ROOT/build/win64/korvelt.exe}"
SECONDS_MEASURED="${KORVELT_MEASURE_SECONDS:-20}"
WARMUP="${KORVELT_WARMUP_SECONDS:-5}"
RUNS="${KORVELT_MEASURE_RUNS:-3}"
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix-cpu}"
export KORVELT_WINE_DISPLAY=1
PREFIX="$KORVELT_WINEPREFIX-display"
SINK=korvelt_winecpu
HZ="$(getconf CLK_TCK)"
WORK="$(mktemp -d)"
PROGRAM_PID=""

StopSession() {
    if [ -n "$PROGRAM_PID" ]; then
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
        PROGRAM_PID=""
    fi
    WINEPREFIX="$PREFIX" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$PREFIX" wineserver -w >/dev/null 2>&1 || true
}
Cleanup() {
    StopSession
    korvelt_stop_all || true
    rm -rf "$WORK"
}
trap Cleanup EXIT

[ -f "$EXE" ] || { echo "no program at $EXE" >&2; exit 1; }

# Ticks PID...: user + system clock ticks of each process, "pid ticks" a line.
Ticks() {
    local pid stat rest
    for pid in "$@"; do
        stat="$(cat "/proc/$pid/stat" 2>/dev/null)" || continue
        rest="${stat##*) }"
        echo "$pid $(awk '{ print $12 + $13 }' <<<"$rest")"
    done
}
# The processes of our Wine session: those whose environment names our prefix.
SessionPids() {
    local environ pid
    for environ in /proc/[0-9]*/environ; do
        pid="${environ#/proc/}"; pid="${pid%/environ}"
        { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$PREFIX" && echo "$pid"
    done
    return 0
}
# Percent BEFORE AFTER: CPU % of one core used between two Ticks listings (processes that
# started in between count whole).
Percent() {
    awk -v hz="$HZ" -v s="$SECONDS_MEASURED" '
        NR == FNR { before[$1] = $2; next }
        { used += $2 - ($1 in before ? before[$1] : 0) }
        END { printf "%.2f", 100 * used / hz / s }' "$1" "$2"
}
Median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

DPI="${KORVELT_LOGPIXELS:-96}"
SCREEN=1280x1024x24
(( DPI >= 192 )) && SCREEN=1920x1700x24   # the frame around 1588 x 1390 at (100, 200)
korvelt_start_xvfb "$SCREEN" || { echo "no X display" >&2; exit 1; }
korvelt_start_pulse "$SINK" || { echo "no PulseAudio server" >&2; exit 1; }
sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone.wav" synth 3600 sine 441 sine 441 remix 1v0.5 2v0.25
"$ROOT/scripts/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$ROOT/scripts/wine-run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null 2>&1
StopSession
echo "Wine desktop at $DPI dpi"
korvelt_play_tone "$WORK/tone.wav" "$SINK"

# Measure NAME COMMAND...: one run; appends "session x pulse" percentages to $WORK/NAME.
Measure() {
    local name="$1"; shift
    setsid "$ROOT/scripts/wine-run" "$@" >"$WORK/$name.log" 2>&1 </dev/null &
    PROGRAM_PID=$!
    sleep "$WARMUP"
    local pids
    pids="$(SessionPids)"
    # shellcheck disable=SC2086
    Ticks $pids >"$WORK/s0"; Ticks "$KORVELT_XVFB_PID" >"$WORK/x0"; Ticks "$KORVELT_PULSE_PID" >"$WORK/p0"
    sleep "$SECONDS_MEASURED"
    pids="$(SessionPids)"
    # shellcheck disable=SC2086
    Ticks $pids >"$WORK/s1"; Ticks "$KORVELT_XVFB_PID" >"$WORK/x1"; Ticks "$KORVELT_PULSE_PID" >"$WORK/p1"
    echo "$(Percent "$WORK/s0" "$WORK/s1") $(Percent "$WORK/x0" "$WORK/x1") $(Percent "$WORK/p0" "$WORK/p1")" \
        >>"$WORK/$name"
    echo "$name: Wine session $(Percent "$WORK/s0" "$WORK/s1")%, X server $(Percent "$WORK/x0" "$WORK/x1")%, sound server $(Percent "$WORK/p0" "$WORK/p1")% of one core"
    StopSession
}

for (( run = 1; run <= RUNS; run++ )); do
    Measure idle notepad
    Measure program "$EXE"
done

Column() { awk -v c="$1" '{ print $c }' "$2"; }
for name in idle program; do
    # shellcheck disable=SC2046
    printf '%-8s median: Wine session %s%%, X server %s%%, sound server %s%% of one core\n' "$name" \
        "$(Median $(Column 1 "$WORK/$name"))" "$(Median $(Column 2 "$WORK/$name"))" "$(Median $(Column 3 "$WORK/$name"))"
done
# shellcheck disable=SC2046
awk -v p="$(Median $(Column 1 "$WORK/program"))" -v i="$(Median $(Column 1 "$WORK/idle"))" \
    'BEGIN { printf "program above Wine idle: %.2f%% of one core\n", p - i }'
