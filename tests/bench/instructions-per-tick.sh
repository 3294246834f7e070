#!/bin/bash
# Instructions per display tick, counted by callgrind on the headless program (see
# tests/bench/probe/tick_probe.cpp), written to tests/bench/instructions-per-tick.txt so that a
# change in the tick's cost shows in review. Not a test: counts move a little with the
# compiler and the libraries.
# Usage: tests/bench/instructions-per-tick.sh [--check] [BUILD_DIR]     (default build/native)
#   --check  compares with the file instead of writing it: fails when a count grew by more
#            than 10 %.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
CHECK=0
if [ "${1:-}" = "--check" ]; then CHECK=1; shift; fi
BUILD="${1:-$ROOT/build/native}"
PROBE="$BUILD/tests/korvelt_tick_probe"
BASELINE="$HERE/instructions-per-tick.txt"
COUNT=50

[ -x "$PROBE" ] || { echo "no probe at $PROBE (build the native preset first)" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

# Count MODE FUNCTION: instructions per tick of the probe's loop.
Count() {
    local out
    out="$(valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect="$2" \
           "$PROBE" "$1" "$COUNT" 2>&1)"
    awk -v n="$COUNT" '/Collected :/ { gsub(",", "", $NF); printf "%d\n", $NF / n }' <<<"$out"
}

fixed=$(Count fixed ProbeFixedTicks)
running=$(Count running ProbeRunningPeriods)
varied=$(Count varied ProbeRunningPeriods)

if [ "$CHECK" = 1 ]; then
    status=0
    for pair in "fixed $fixed" "running $running" "varied $varied"; do
        set -- $pair
        base=$(awk -v k="$1" '$1 == k { print $2 }' "$BASELINE")
        [ -n "$base" ] || { echo "$1: no baseline"; status=1; continue; }
        verdict=$(awk -v now="$2" -v base="$base" 'BEGIN { print (now > base * 1.10) ? "GREW" : "ok" }')
        echo "$1: $2 instructions per tick (baseline $base) $verdict"
        [ "$verdict" = ok ] || status=1
    done
    exit $status
fi

{
    echo "# Instructions per display tick (callgrind), written by tests/bench/instructions-per-tick.sh."
    echo "# fixed:   RefreshDisplays again on the same block (what BM_DisplayTick runs)"
    echo "# running: one 32 ms period of the running program on a steady tone (deliveries and tick)"
    echo "# varied:  the same on a tone that swells and fades (bars, needles, history all move)"
    echo "fixed $fixed"
    echo "running $running"
    echo "varied $varied"
} >"$BASELINE"
cat "$BASELINE"
