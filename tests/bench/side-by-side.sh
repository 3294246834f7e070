#!/bin/bash
# What korvelt costs beside its peers, measured as a user would, in one run on the same tone: a
# -6 dBFS 1 kHz tone into a private PulseAudio null sink (for a JACK program, into a private
# JACK server on its dummy driver), shown on a private Xvfb. For each program, after a settle:
# CPU (% of one core) of all its processes, the sound server's CPU above its idle (PulseAudio,
# or JACK for a JACK program), the X server's CPU, the three summed, frames per second (screen
# changes counted through the DAMAGE extension), CPU per frame and PSS; the median of several
# runs (the sum's median is that of each run's sum); then korvelt's figures over each peer's.
# Each run also checks that the program meters: the screen must change when the tone starts.
# Finally the instructions per display tick (callgrind) against the file in the repository.
# A benchmark, not a test: nothing here passes or fails.
#
# Programs: korvelt (native), korvelt-x2 (native at desktop scale 2), korvelt.exe (x86-64,
# under Wine, when built), wine-idle (an idle Wine program, Wine's own floor), pavumeter and
# jkmeter (when installed; KORVELT_INSTALL_PEERS=1 lets the script install them with apt-get),
# and korvelt-base (another native build, KORVELT_BASELINE_EXE, to compare a change in one run).
# Usage: tests/bench/side-by-side.sh [PROGRAM...]
# KORVELT_MEASURE_SECONDS (20), KORVELT_WARMUP_SECONDS (5), KORVELT_MEASURE_RUNS (3).
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=lib-measure.sh
source "$HERE/lib-measure.sh"

measure_settings 20 5 3
NATIVE="${KORVELT_NATIVE_EXE:-$ROOT/build/native/korvelt}"
WIN64="${KORVELT_WIN64_EXE:-$ROOT/build/win64/korvelt.exe}"
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix}"
WORK="$MEASURE_WORK"
SINK=korvelt_bench
# A program's window is drawn this long after it is shown, before the tone begins.
SETTLE=2

PROGRAMS=("$@")
[ ${#PROGRAMS[@]} -gt 0 ] || PROGRAMS=(korvelt korvelt-x2 korvelt.exe wine-idle pavumeter jkmeter)

# JackTone: true when a tone can be played into JACK here (sox through ALSA's JACK plug-in).
JackTone() {
    command -v jackd >/dev/null && sox --help 2>&1 | grep -q '^AUDIO DEVICE DRIVERS:.*alsa' &&
        compgen -G '/usr/lib/*/alsa-lib/libasound_module_pcm_jack.so' >/dev/null
}

if [ "${KORVELT_INSTALL_PEERS:-0}" = 1 ]; then
    missing=()
    command -v pavumeter >/dev/null || missing+=(pavumeter)
    command -v jkmeter >/dev/null || missing+=(jkmeter)
    command -v jackd >/dev/null || missing+=(jackd2)
    compgen -G '/usr/lib/*/alsa-lib/libasound_module_pcm_jack.so' >/dev/null || missing+=(libasound2-plugins)
    sox --help 2>&1 | grep -q '^AUDIO DEVICE DRIVERS:.*alsa' || missing+=(libsox-fmt-alsa)
    if [ ${#missing[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q \
            --no-install-recommends "${missing[@]}" >/dev/null 2>&1 || echo "could not install ${missing[*]}" >&2
    fi
fi

# Command PROGRAM: fills CMD with how to start it, SOUND with the server it records from
# (pulse or jack) and MEASURE_WINEPREFIX; false when it cannot run here.
Command() {
    SOUND=pulse
    MEASURE_WINEPREFIX=""
    case "$1" in
        korvelt) [ -x "$NATIVE" ] || return 1; CMD=(env "$NATIVE") ;;
        korvelt-x2) [ -x "$NATIVE" ] || return 1; CMD=(env KORVELT_SCALE=2 "$NATIVE") ;;
        korvelt-base) [ -x "${KORVELT_BASELINE_EXE:-}" ] || return 1; CMD=(env "$KORVELT_BASELINE_EXE") ;;
        korvelt.exe) [ -f "$WIN64" ] && command -v wine >/dev/null || return 1
                     CMD=(env KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" "$WIN64")
                     MEASURE_WINEPREFIX="$KORVELT_WINEPREFIX-display" ;;
        wine-idle) command -v wine >/dev/null || return 1
                   CMD=(env KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" notepad)
                   MEASURE_WINEPREFIX="$KORVELT_WINEPREFIX-display" ;;
        pavumeter) command -v pavumeter >/dev/null || return 1; CMD=(pavumeter --record) ;;
        jkmeter) command -v jkmeter >/dev/null && JackTone || return 1
                 CMD=(jkmeter -name jkmeter); SOUND=jack ;;
        *) return 1 ;;
    esac
}

measure_start_display 1920x1600x24 "$SINK"
PULSE_PIDS="$MEASURE_SOUND_PIDS"
# Long enough for one run; started again for each.
measure_tone "$WORK/tone.wav" $(( MEASURE_WARMUP + MEASURE_SECONDS + 30 )) sine 1000 gain -6

# The sound server's idle: the tone playing, nobody recording.
korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
sleep 2
PULSE_IDLE="$(measure_idle "$MEASURE_SECONDS")"
korvelt_stop_tone || true
echo "sound server idle (tone playing): $PULSE_IDLE% of one core"
JACK_IDLE=""

# StartJack: the private JACK server, for the JACK programs only, and its idle: the tone
# playing into it, nobody metering.
StartJack() {
    measure_start_jack || return 1
    MEASURE_SOUND_PIDS="$MEASURE_JACK_PID"
    measure_play_jack_tone "$WORK/tone.wav" || return 1
    sleep 2
    JACK_IDLE="$(measure_idle "$MEASURE_SECONDS")"
    measure_stop_jack_tone
    echo "JACK server idle (tone playing): $JACK_IDLE% of one core"
}

# A Wine prefix is made on first use (tens of seconds): not while measuring. Its server is
# not left running.
if [ -f "$WIN64" ] && command -v wine >/dev/null; then
    MEASURE_WINEPREFIX="$KORVELT_WINEPREFIX-display"
    KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" cmd /c exit >/dev/null 2>&1 || true
    measure_stop_wine
    MEASURE_WINEPREFIX=""
fi

# RunOnce PROGRAM: one run of a program that Command has set up; appends its figures to
# $WORK/PROGRAM.runs ("cpu sound x sum fps ms-per-frame pss-MiB"), false if it ended early.
RunOnce() {
    local program="$1" idle moved rate per_frame sound sum pss
    if [ "$SOUND" = jack ]; then
        measure_play_jack_tone "$WORK/tone.wav" || return 1
        idle="$JACK_IDLE"
    else
        idle="$PULSE_IDLE"
    fi
    measure_launch "$WORK/$program.log" "${CMD[@]}"
    [ "$SOUND" != jack ] || measure_jack_inputs "$program" >/dev/null || true
    measure_wait_window 15 || true
    sleep "$SETTLE"
    measure_screen "$WORK/silent.png" || true
    if [ "$SOUND" = jack ]; then
        measure_connect_jack_tone "$program" || echo "$program: the tone could not be connected" >&2
    else
        korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    fi
    sleep "$MEASURE_WARMUP"
    measure_screen "$WORK/tone.png" || true
    moved="$(measure_changed_pixels "$WORK/silent.png" "$WORK/tone.png")"
    if ! measure_window --frames; then
        echo "$program ended early:"; cat "$WORK/$program.log"
        measure_stop_program; korvelt_stop_tone || true; measure_stop_jack_tone
        return 1
    fi
    measure_stop_program
    korvelt_stop_tone || true
    measure_stop_jack_tone
    sound="$(awk -v s="$MEASURE_SOUND" -v i="$idle" 'BEGIN { printf "%.2f", s - i }')"
    sum="$(awk -v a="$MEASURE_CPU" -v b="$sound" -v c="$MEASURE_X" 'BEGIN { printf "%.2f", a + b + c }')"
    # The frames are counted over MEASURE_SECONDS exactly, the CPU over the window's real length.
    rate="$(awk -v f="$MEASURE_FRAMES" -v s="$MEASURE_SECONDS" 'BEGIN { printf "%.1f", f / s }')"
    per_frame="$(awk -v c="$MEASURE_CPU" -v s="$MEASURE_SECONDS" -v f="$MEASURE_FRAMES" \
        'BEGIN { if (f > 0) printf "%.3f", 10 * c * s / f; else print "-" }')"
    pss="$(awk -v k="$MEASURE_PSS" 'BEGIN { printf "%.1f", k / 1024 }')"
    echo "$MEASURE_CPU $sound $MEASURE_X $sum $rate $per_frame $pss" >>"$WORK/$program.runs"
    echo "$program run $run: cpu $MEASURE_CPU% sound $(printf %+.2f "$sound")% X $MEASURE_X% sum $sum%" \
         "$rate frames/s $per_frame ms/frame PSS $pss MiB; $moved pixels changed when the tone began"
    [ "$program" = wine-idle ] || [ "$moved" -gt 0 ] 2>/dev/null ||
        echo "$program: the screen did not change with the tone: it does not meter" >&2
}

declare -A RESULT=()
for program in "${PROGRAMS[@]}"; do
    if ! Command "$program"; then
        echo "$program: not available here, left out"
        continue
    fi
    if [ "$SOUND" = jack ]; then
        if [ -z "$JACK_IDLE" ] && ! StartJack; then
            echo "$program: no JACK server, left out"
            continue
        fi
        MEASURE_SOUND_PIDS="$MEASURE_JACK_PID"
    else
        MEASURE_SOUND_PIDS="$PULSE_PIDS"
    fi
    for (( run = 1; run <= MEASURE_RUNS; run++ )); do
        RunOnce "$program" || break
    done
    [ -s "$WORK/$program.runs" ] || continue
    line=""
    for column in 1 2 3 4 5 6 7; do
        # shellcheck disable=SC2046
        line+="$(measure_median $(awk -v c=$column '{ print $c }' "$WORK/$program.runs")) "
    done
    RESULT[$program]="$line"
done
measure_stop_jack

echo
echo "median of $MEASURE_RUNS, ${MEASURE_SECONDS} s each after ${MEASURE_WARMUP} s:"
printf '%-12s %8s %9s %7s %7s %9s %9s %8s\n' program "CPU %" "sound +%" "X %" "sum %" frames/s ms/frame "PSS MiB"
for program in "${PROGRAMS[@]}"; do
    [ -n "${RESULT[$program]:-}" ] || continue
    read -r a b c d e f g <<<"${RESULT[$program]}"
    printf '%-12s %8s %9s %7s %7s %9s %9s %8s\n' "$program" "$a" "$b" "$c" "$d" "$e" "$f" "$g"
done
for peer in pavumeter jkmeter; do
    [ -n "${RESULT[$peer]:-}" ] || continue
    read -r pa _ pc pd _ pf pg <<<"${RESULT[$peer]}"
    for program in korvelt korvelt-x2 korvelt-base; do
        [ -n "${RESULT[$program]:-}" ] || continue
        read -r a _ c d _ f g <<<"${RESULT[$program]}"
        echo "$program/$peer: CPU $(measure_ratio "$a" "$pa"), X $(measure_ratio "$c" "$pc")," \
             "per frame $(measure_ratio "$f" "$pf"), sum $(measure_ratio "$d" "$pd"), PSS $(measure_ratio "$g" "$pg")"
    done
done
if [ -n "${RESULT[korvelt.exe]:-}" ] && [ -n "${RESULT[wine-idle]:-}" ]; then
    read -r a _ <<<"${RESULT[korvelt.exe]}"
    read -r w _ <<<"${RESULT[wine-idle]}"
    awk -v a="$a" -v w="$w" 'BEGIN { printf "korvelt.exe above Wine idle: %.2f%% of one core\n", a - w }'
fi
if [ -n "${RESULT[korvelt]:-}" ] && [ -n "${RESULT[korvelt-x2]:-}" ]; then
    read -r _ _ _ _ _ f1 _ <<<"${RESULT[korvelt]}"
    read -r _ _ _ _ _ f2 _ <<<"${RESULT[korvelt-x2]}"
    echo "CPU per frame at scale 2 / scale 1: $(measure_ratio "$f2" "$f1")"
fi

echo
if command -v valgrind >/dev/null && [ -x "$ROOT/build/native/tests/korvelt_tick_probe" ]; then
    "$HERE/instructions-per-tick.sh" --check || true
fi
