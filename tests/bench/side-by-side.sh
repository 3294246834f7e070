#!/bin/bash
# What korvelt costs beside a peer, measured as a user would, in one run on the same tone: a
# -6 dBFS 1 kHz tone into a private PulseAudio null sink, shown on a private Xvfb. For each
# program, after a settle: CPU (% of one core) of all its processes, the sound server's CPU
# above its idle, the X server's CPU, frames per second (screen changes counted through the
# DAMAGE extension), CPU per frame and PSS; the median of several runs; then korvelt's figures
# over the peer's. Finally the instructions per display tick (callgrind) against the file in
# the repository. A benchmark, not a test: nothing here passes or fails.
#
# Programs: korvelt (native), korvelt-x2 (native at desktop scale 2), korvelt.exe (x86-64,
# under Wine, when built), wine-idle (an idle Wine program, Wine's own floor), pavumeter (when
# installed; KORVELT_INSTALL_PEERS=1 lets the script install it with apt-get), and
# korvelt-base (another native build, KORVELT_BASELINE_EXE, to compare a change in one run).
# Usage: tests/bench/side-by-side.sh [PROGRAM...]
# KORVELT_MEASURE_SECONDS (20), KORVELT_WARMUP_SECONDS (5), KORVELT_MEASURE_RUNS (3).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$ROOT/scripts/lib-display.sh"

SECONDS_MEASURED="${KORVELT_MEASURE_SECONDS:-20}"
WARMUP="${KORVELT_WARMUP_SECONDS:-5}"
RUNS="${KORVELT_MEASURE_RUNS:-3}"
NATIVE="${KORVELT_NATIVE_EXE:-$ROOT/build/native/korvelt}"
WIN64="${KORVELT_WIN64_EXE:-$ROOT/build/win64/korvelt.exe}"
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix}"
WINE_PREFIX_DISPLAY="$KORVELT_WINEPREFIX-display"
SINK=korvelt_bench
HZ="$(getconf CLK_TCK)"
WORK="$(mktemp -d)"
PROGRAM_PID=""

Cleanup() {
    if [ -n "$PROGRAM_PID" ]; then
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
    fi
           WINEPREFIX="$WINE_PREFIX_DISPLAY" wineserver -k >/dev/null 2>&1 || true
    korvelt_stop_all || true
    rm -rf "$WORK"
}
trap Cleanup EXIT

PROGRAMS=("$@")
[ ${#PROGRAMS[@]} -gt 0 ] || PROGRAMS=(korvelt korvelt-x2 korvelt.exe wine-idle pavumeter)

if ! command -v pavumeter >/dev/null && [ "${KORVELT_INSTALL_PEERS:-0}" = 1 ]; then
    apt-get install -y -q --no-install-recommends pavumeter >/dev/null 2>&1 || true
fi

cc -O2 -o "$WORK/frame_counter" "$HERE/frame_counter.c" -lX11 -ldl

# ---- measuring ------------------------------------------------------------------------

# Ticks PID...: user + system clock ticks so far of the given processes (gone ones count 0).
Ticks() {
    local pid total=0 stat rest
    for pid in "$@"; do
        stat="$(cat "/proc/$pid/stat" 2>/dev/null)" || continue
        rest="${stat##*) }"
        total=$(( total + $(awk '{ print $12 + $13 }' <<<"$rest") ))
    done
    echo "$total"
}

# SessionPids SID: every process of the session (a program and whatever it started).
SessionPids() { ps -e -o pid=,sid= | awk -v s="$1" '$2 == s { print $1 }'; }

# Pss PID...: proportional set size in kB, summed.
Pss() {
    local pid total=0 kb
    for pid in "$@"; do
        kb="$(awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null)" || continue
        total=$(( total + ${kb:-0} ))
    done
    echo "$total"
}

Median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
Percent() { awk -v t="$1" -v hz="$HZ" -v s="$SECONDS_MEASURED" 'BEGIN { printf "%.2f", 100 * t / hz / s }'; }

# Command PROGRAM: fills CMD with how to start it; false when it cannot run here.
Command() {
    case "$1" in
        korvelt) [ -x "$NATIVE" ] || return 1; CMD=(env "$NATIVE") ;;
        korvelt-x2) [ -x "$NATIVE" ] || return 1; CMD=(env KORVELT_SCALE=2 "$NATIVE") ;;
        korvelt-base) [ -x "${KORVELT_BASELINE_EXE:-}" ] || return 1; CMD=(env "$KORVELT_BASELINE_EXE") ;;
        korvelt.exe) [ -f "$WIN64" ] && command -v wine >/dev/null || return 1
                     CMD=(env KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" "$WIN64") ;;
        wine-idle) command -v wine >/dev/null || return 1
                   CMD=(env KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" notepad) ;;
        pavumeter) command -v pavumeter >/dev/null || return 1; CMD=(pavumeter --record) ;;
        *) return 1 ;;
    esac
}

korvelt_start_xvfb 1920x1600x24 || { echo "no X display" >&2; exit 1; }
korvelt_start_pulse "$SINK" || { echo "no PulseAudio server" >&2; exit 1; }
XVFB_PID="$KORVELT_XVFB_PID"
PULSE_PID="$KORVELT_PULSE_PID"
[ -n "$PULSE_PID" ] || { echo "the sound server's process is not known" >&2; exit 1; }
# Long enough for one run; started again for each.
sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone.wav" synth $(( WARMUP + SECONDS_MEASURED + 10 )) sine 1000 gain -6

# The sound server's idle: the tone playing, nobody recording.
korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
sleep 2
p0=$(Ticks "$PULSE_PID"); sleep "$SECONDS_MEASURED"; p1=$(Ticks "$PULSE_PID")
PULSE_IDLE=$(( p1 - p0 ))
korvelt_stop_tone || true
echo "sound server idle (tone playing): $(Percent "$PULSE_IDLE")% of one core"

# A Wine prefix is made on first use (tens of seconds): not while measuring.
if [ -f "$WIN64" ] && command -v wine >/dev/null; then
    KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" cmd /c exit >/dev/null 2>&1 || true
fi

declare -A RESULT=()
for program in "${PROGRAMS[@]}"; do
    if ! Command "$program"; then
        echo "$program: not available here, left out"
        continue
    fi
    cpu=(); sound=(); xserver=(); fps=(); per_frame=(); pss=()
    for (( run = 1; run <= RUNS; run++ )); do
        # Wine's server and helpers must belong to this run, to be counted with it.
        WINEPREFIX="$WINE_PREFIX_DISPLAY" wineserver -k >/dev/null 2>&1 || true
        korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
        setsid "${CMD[@]}" >"$WORK/$program.log" 2>&1 </dev/null &
        PROGRAM_PID=$!
        sleep "$WARMUP"
        mapfile -t pids < <(SessionPids "$PROGRAM_PID")
        if [ ${#pids[@]} -eq 0 ]; then
            echo "$program ended early:"; cat "$WORK/$program.log"; PROGRAM_PID=""; break
        fi
        c0=$(Ticks "${pids[@]}"); s0=$(Ticks "$PULSE_PID"); x0=$(Ticks "$XVFB_PID")
        frames="$("$WORK/frame_counter" "$SECONDS_MEASURED" | awk '{ print $2 }')"
        mapfile -t pids < <(SessionPids "$PROGRAM_PID")
        c1=$(Ticks "${pids[@]}"); s1=$(Ticks "$PULSE_PID"); x1=$(Ticks "$XVFB_PID")
        kb=$(Pss "${pids[@]}")
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
        PROGRAM_PID=""
        korvelt_stop_tone || true
        cpu+=("$(Percent $(( c1 - c0 )))")
        sound+=("$(Percent $(( s1 - s0 - PULSE_IDLE )))")
        xserver+=("$(Percent $(( x1 - x0 )))")
        rate=$(awk -v f="$frames" -v s="$SECONDS_MEASURED" 'BEGIN { printf "%.1f", f / s }')
        fps+=("$rate")
        per_frame+=("$(awk -v t=$(( c1 - c0 )) -v hz="$HZ" -v f="$frames" 'BEGIN { if (f > 0) printf "%.3f", 1000 * t / hz / f; else print "-" }')")
        pss+=("$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')")
        echo "$program run $run: cpu ${cpu[-1]}% sound +${sound[-1]}% X ${xserver[-1]}% ${rate} frames/s ${per_frame[-1]} ms/frame PSS ${pss[-1]} MiB"
    done
    [ ${#cpu[@]} -gt 0 ] || continue
    RESULT[$program]="$(Median "${cpu[@]}") $(Median "${sound[@]}") $(Median "${xserver[@]}") $(Median "${fps[@]}") $(Median "${per_frame[@]}") $(Median "${pss[@]}")"
done

echo
echo "median of $RUNS, ${SECONDS_MEASURED} s each after ${WARMUP} s:"
printf '%-12s %10s %12s %8s %9s %12s %9s\n' program "CPU %" "sound +%" "X %" frames/s "ms/frame" "PSS MiB"
for program in "${PROGRAMS[@]}"; do
    [ -n "${RESULT[$program]:-}" ] || continue
    read -r a b c d e f <<<"${RESULT[$program]}"
    printf '%-12s %10s %12s %8s %9s %12s %9s\n' "$program" "$a" "$b" "$c" "$d" "$e" "$f"
done
if [ -n "${RESULT[pavumeter]:-}" ]; then
    read -r pa pb pc pd pe pf <<<"${RESULT[pavumeter]}"
    for program in korvelt korvelt-x2; do
        [ -n "${RESULT[$program]:-}" ] || continue
        read -r a b c d e f <<<"${RESULT[$program]}"
        awk -v n="$program" -v a="$a" -v pa="$pa" -v c="$c" -v pc="$pc" -v e="$e" -v pe="$pe" -v f="$f" -v pf="$pf" '
            function r(x, y) { return y > 0 ? sprintf("%.2f", x / y) : "-" }
            BEGIN { printf "%s/pavumeter: CPU %s, X %s, per frame %s, PSS %s\n", n, r(a, pa), r(c, pc), r(e, pe), r(f, pf) }'
    done
fi
if [ -n "${RESULT[korvelt.exe]:-}" ] && [ -n "${RESULT[wine-idle]:-}" ]; then
    read -r a _ <<<"${RESULT[korvelt.exe]}"
    read -r w _ <<<"${RESULT[wine-idle]}"
    awk -v a="$a" -v w="$w" 'BEGIN { printf "korvelt.exe above Wine idle: %.2f%% of one core\n", a - w }'
fi
if [ -n "${RESULT[korvelt]:-}" ] && [ -n "${RESULT[korvelt-x2]:-}" ]; then
    read -r _ _ _ _ e1 _ <<<"${RESULT[korvelt]}"
    read -r _ _ _ _ e2 _ <<<"${RESULT[korvelt-x2]}"
    awk -v a="$e1" -v b="$e2" 'BEGIN { if (a > 0) printf "CPU per frame at scale 2 / scale 1: %.2f\n", b / a }'
fi

echo
if command -v valgrind >/dev/null && [ -x "$ROOT/build/native/tests/korvelt_tick_probe" ]; then
    "$HERE/instructions-per-tick.sh" --check || true
fi
