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
# shellcheck source=../bench/lib-measure.sh
source "$ROOT/tests/bench/lib-measure.sh"

EXE="${1:-$ROOT/build/win64/korvelt.exe}"
measure_settings 20 5 3
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix-cpu}"
export KORVELT_WINE_DISPLAY=1
# Every process of this prefix belongs to the program measured.
MEASURE_WINEPREFIX="$KORVELT_WINEPREFIX-display"
SINK=korvelt_winecpu
WORK="$MEASURE_WORK"

[ -f "$EXE" ] || { echo "no program at $EXE" >&2; exit 1; }

DPI="${KORVELT_LOGPIXELS:-96}"
SCREEN=1280x1024x24
(( DPI >= 192 )) && SCREEN=1920x1700x24   # the frame around 1588 x 1390 at (100, 200)
measure_start_display "$SCREEN" "$SINK"
measure_tone "$WORK/tone.wav" 3600 sine 441 sine 441 remix 1v0.5 2v0.25
"$ROOT/scripts/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
"$ROOT/scripts/wine-run" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null 2>&1
measure_stop_program
echo "Wine desktop at $DPI dpi"
korvelt_play_tone "$WORK/tone.wav" "$SINK"

# Measure NAME COMMAND...: one run; appends "session x sound" percentages to $WORK/NAME.
Measure() {
    local name="$1"; shift
    measure_launch "$WORK/$name.log" "$ROOT/scripts/wine-run" "$@"
    sleep "$MEASURE_WARMUP"
    # shellcheck disable=SC2119
    measure_window || { echo "$name ended early:" >&2; cat "$WORK/$name.log" >&2; exit 1; }
    echo "$MEASURE_CPU $MEASURE_X $MEASURE_SOUND" >>"$WORK/$name"
    echo "$name: Wine session $MEASURE_CPU%, X server $MEASURE_X%, sound server $MEASURE_SOUND% of one core"
    measure_stop_program
}

for (( run = 1; run <= MEASURE_RUNS; run++ )); do
    Measure idle notepad
    Measure program "$EXE"
done

Column() { awk -v c="$1" '{ print $c }' "$2"; }
for name in idle program; do
    # shellcheck disable=SC2046
    printf '%-8s median: Wine session %s%%, X server %s%%, sound server %s%% of one core\n' "$name" \
        "$(measure_median $(Column 1 "$WORK/$name"))" "$(measure_median $(Column 2 "$WORK/$name"))" \
        "$(measure_median $(Column 3 "$WORK/$name"))"
done
# shellcheck disable=SC2046
awk -v p="$(measure_median $(Column 1 "$WORK/program"))" -v i="$(measure_median $(Column 1 "$WORK/idle"))" \
    'BEGIN { printf "program above Wine idle: %.2f%% of one core\n", p - i }'
