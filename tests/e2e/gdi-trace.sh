#!/bin/bash
# Counts the GDI and USER calls a Windows build makes per display tick, from Wine's relay
# trace, while the program shows a stereo tone on a private X display from a private
# PulseAudio null sink. Every caller is counted: the program itself and the system's controls
# painting for it. Not a test: it prints medians.
# Usage: tests/e2e/gdi-trace.sh [EXE...]            (default build/win64/korvelt.exe)
# KORVELT_TRACE_SECONDS (12) is how long each program runs; the first third of its ticks
# count as settling and are left out. KORVELT_TRACE_LOG=DIR keeps each run's tick counts.
# KORVELT_LOGPIXELS (96) is the Wine desktop's dpi: 192 runs the program at scale 2.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$ROOT/scripts/lib-display.sh"

SECONDS_RUN="${KORVELT_TRACE_SECONDS:-12}"
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix-trace}"
export KORVELT_WINE_DISPLAY=1
SINK=korvelt_trace
WORK="$(mktemp -d)"
EXES=("$@")
[ ${#EXES[@]} -gt 0 ] || EXES=("$ROOT/build/win64/korvelt.exe")

Cleanup() {
    WINEPREFIX="$KORVELT_WINEPREFIX-display" wineserver -k >/dev/null 2>&1 || true
    korvelt_stop_all || true
    rm -rf "$WORK"
}
trap Cleanup EXIT

DPI="${KORVELT_LOGPIXELS:-96}"
SCREEN=1280x1024x24
(( DPI >= 192 )) && SCREEN=1920x1700x24   # the frame around 1588 x 1390 at (100, 200)
korvelt_start_xvfb "$SCREEN" || { echo "no X display" >&2; exit 1; }
korvelt_start_pulse "$SINK" || { echo "no PulseAudio server" >&2; exit 1; }
sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone.wav" synth 600 sine 441 sine 441 remix 1v0.5 2v0.25

# The prefix is made (and its server started) for this display by wine-run; the traced runs
# then call wine directly, as wine-run silences every debug channel.
"$ROOT/scripts/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$ROOT/scripts/wine-run" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
    /d 'gdi32.*;user32.*' /f >/dev/null 2>&1
"$ROOT/scripts/wine-run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null 2>&1
# The desktop's dpi is read when the session starts: a new one, started by wine-run away from
# the traced run's pipe (Wine's helper processes would hold it open).
WINEPREFIX="$KORVELT_WINEPREFIX-display" wineserver -k >/dev/null 2>&1 || true
WINEPREFIX="$KORVELT_WINEPREFIX-display" wineserver -w >/dev/null 2>&1 || true
"$ROOT/scripts/wine-run" cmd /c exit >/dev/null 2>&1 </dev/null || true

Median() { sort -g | awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : "-") }'; }

korvelt_play_tone "$WORK/tone.wav" "$SINK"
LOADER="$("$ROOT/scripts/wine-run" --loader)"
echo "Wine desktop at $DPI dpi"
printf '%-44s %7s %12s %12s\n' program ticks "gdi32/tick" "user32/tick"
for exe in "${EXES[@]}"; do
    ticks="$WORK/ticks.txt"
    # A program of the Windows subsystem may not end on the interrupt: it is killed 3 s later.
    # One line per top-level WM_TIMER dispatch to a window procedure: the gdi32 and user32
    # calls made until it returns (a timer dispatched by the tick's own pumping is part of it).
    WINEPREFIX="$KORVELT_WINEPREFIX-display" WINEDEBUG=+relay WINELOADER="$LOADER" \
        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=" \
        timeout -s INT -k 3 "$SECONDS_RUN" "$LOADER" "$exe" 2>&1 >/dev/null </dev/null |
        awk '
            /:Call window proc .*msg=WM_TIMER/ { if (depth++ == 0) { gdi = 0; user = 0 } next }
            /:Ret  window proc .*msg=WM_TIMER/ { if (depth > 0 && --depth == 0) print gdi, user; fflush(); next }
            depth > 0 && /:Call gdi32\./ { ++gdi }
            depth > 0 && /:Call user32\./ { ++user }
        ' >"$ticks" || true
    WINEPREFIX="$KORVELT_WINEPREFIX-display" wineserver -k >/dev/null 2>&1 || true
    total=$(wc -l <"$ticks")
    skip=$(( total / 3 ))
    gdi=$(tail -n +$(( skip + 1 )) "$ticks" | awk '{ print $1 }' | Median)
    user=$(tail -n +$(( skip + 1 )) "$ticks" | awk '{ print $2 }' | Median)
    printf '%-44s %7s %12s %12s\n' "$(basename "$(dirname "$exe")")/$(basename "$exe")" \
        "$(( total - skip ))" "$gdi" "$user"
    if [ -n "${KORVELT_TRACE_LOG:-}" ]; then
        mkdir -p "$KORVELT_TRACE_LOG"
        cp "$ticks" "$KORVELT_TRACE_LOG/$(basename "$(dirname "$exe")")-$(basename "$exe").ticks"
    fi
done
