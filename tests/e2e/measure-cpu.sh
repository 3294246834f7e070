#!/bin/bash
# Measures what the native program costs while it shows a tone: CPU seconds used over a fixed
# window after a warm-up (split into the GUI thread, the audio thread and the rest), the
# sound server's CPU above what it uses playing the tone with nobody recording, the sound
# deliveries the program took per second and how many were lost, and peak resident memory;
# three runs, medians printed. Not a test.
# Usage: tests/e2e/measure-cpu.sh [EXECUTABLE]    (default build/native/korvelt)
# KORVELT_MEASURE_SECONDS (30), KORVELT_WARMUP_SECONDS (5), KORVELT_MEASURE_RUNS (3) and
# KORVELT_IDLE_SECONDS (10, the sound server alone) change it.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$ROOT/scripts/lib-display.sh"

EXE="${1:-$ROOT/build/native/korvelt}"
SECONDS_MEASURED="${KORVELT_MEASURE_SECONDS:-30}"
WARMUP="${KORVELT_WARMUP_SECONDS:-5}"
RUNS="${KORVELT_MEASURE_RUNS:-3}"
IDLE_SECONDS="${KORVELT_IDLE_SECONDS:-10}"
SINK=korvelt_measure
TICKS_PER_SECOND="$(getconf CLK_TCK)"
WORK="$(mktemp -d)"
PROGRAM_PID=""

Cleanup() {
    if [ -n "$PROGRAM_PID" ]; then
        kill "$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
    fi
    korvelt_stop_all || true
    rm -rf "$WORK"
}
trap Cleanup EXIT

[ -x "$EXE" ] || { echo "no program at $EXE (build the native preset first)" >&2; exit 1; }

# CpuTicks PID: user + system time so far, in clock ticks. The command name may hold spaces,
# so the fields are counted from the closing parenthesis.
CpuTicks() {
    local stat rest
    stat="$(cat "/proc/$1/stat")"
    rest="${stat##*) }"
    awk '{ print $12 + $13 }' <<<"$rest"
}

# SoundServerPercent SECONDS: the sound server's CPU over the next SECONDS, % of one core.
SoundServerPercent() {
    local a b
    a=$(CpuTicks "$KORVELT_PULSE_PID")
    sleep "$1"
    b=$(CpuTicks "$KORVELT_PULSE_PID")
    awk -v t=$(( b - a )) -v hz="$TICKS_PER_SECOND" -v s="$1" 'BEGIN { printf "%.2f", 100 * t / hz / s }'
}

# ThreadTicks PID: "gui audio other" CPU clock ticks so far. The GUI thread is the one whose id
# is the process id; the audio thread is the sound server client's korvelt-sound (or, with SDL's
# capture, SDL's SDLAudio...).
ThreadTicks() {
    local task stat rest name ticks gui=0 audio=0 other=0
    for task in /proc/"$1"/task/*; do
        stat="$(cat "$task/stat" 2>/dev/null)" || continue
        rest="${stat##*) }"
        ticks=$(awk '{ print $12 + $13 }' <<<"$rest")
        name="$(cat "$task/comm" 2>/dev/null)"
        if [ "${task##*/}" = "$1" ]; then gui=$(( gui + ticks ))
        elif [[ "$name" == SDLAudio* || "$name" == korvelt-sound ]]; then audio=$(( audio + ticks ))
        else other=$(( other + ticks )); fi
    done
    echo "$gui $audio $other"
}

Median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

korvelt_start_xvfb 1280x1024x24 || { echo "no X display" >&2; exit 1; }
korvelt_start_pulse "$SINK" || { echo "no PulseAudio server" >&2; exit 1; }
sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone.wav" synth $(( IDLE_SECONDS + WARMUP + SECONDS_MEASURED + 10 )) \
    sine 441 sine 441 remix 1v0.5 2v0.25

cpu_list=()
server_list=()
rate_list=()
lost_list=()
hwm_list=()
gui_list=()
audio_list=()
other_list=()
for (( run = 1; run <= RUNS; run++ )); do
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    # The server's own cost of playing the tone, with nobody recording.
    sleep 2
    server_idle=$(SoundServerPercent "$IDLE_SECONDS")
    KORVELT_CAPTURE_STATS=1 "$EXE" >"$WORK/program.log" 2>&1 </dev/null &
    PROGRAM_PID=$!
    sleep "$WARMUP"
    kill -0 "$PROGRAM_PID" 2>/dev/null || { echo "the program ended early:" >&2; cat "$WORK/program.log" >&2; exit 1; }
    before=$(CpuTicks "$PROGRAM_PID")
    server0=$(CpuTicks "$KORVELT_PULSE_PID")
    read -r gui0 audio0 other0 < <(ThreadTicks "$PROGRAM_PID")
    sleep "$SECONDS_MEASURED"
    after=$(CpuTicks "$PROGRAM_PID")
    server1=$(CpuTicks "$KORVELT_PULSE_PID")
    read -r gui1 audio1 other1 < <(ThreadTicks "$PROGRAM_PID")
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$PROGRAM_PID/status")
    # SIGTERM is a close request: the program ends normally and prints its delivery counts.
    kill "$PROGRAM_PID" 2>/dev/null || true
    wait "$PROGRAM_PID" 2>/dev/null || true
    PROGRAM_PID=""
    korvelt_stop_tone || true
    read -r rate lost < <(awk '/^korvelt capture:/ { r = $8; l = int($11 / 512) } END { print (r == "" ? "none" : r), (l == "" ? "none" : l) }' "$WORK/program.log")
    server=$(awk -v t=$(( server1 - server0 )) -v hz="$TICKS_PER_SECOND" -v s="$SECONDS_MEASURED" -v idle="$server_idle" \
        'BEGIN { printf "%.2f", 100 * t / hz / s - idle }')
    Seconds() { awk -v t="$1" -v hz="$TICKS_PER_SECOND" 'BEGIN { printf "%.2f", t / hz }'; }
    cpu=$(Seconds $(( after - before )))
    gui=$(Seconds $(( gui1 - gui0 )))
    audio=$(Seconds $(( audio1 - audio0 )))
    other=$(Seconds $(( other1 - other0 )))
    echo "run $run: $cpu CPU seconds in $SECONDS_MEASURED s (GUI thread $gui, audio thread $audio, other $other), peak resident $hwm kB"
    echo "       sound server +$server % of a core above its idle ($server_idle %); $rate deliveries per second, $lost lost"
    cpu_list+=("$cpu")
    server_list+=("$server")
    rate_list+=("$rate")
    lost_list+=("$lost")
    gui_list+=("$gui")
    audio_list+=("$audio")
    other_list+=("$other")
    hwm_list+=("$hwm")
done

cpu=$(Median "${cpu_list[@]}")
hwm=$(Median "${hwm_list[@]}")
Percent() { awk -v c="$1" -v s="$SECONDS_MEASURED" 'BEGIN { printf "%.2f", 100 * c / s }'; }
echo "median: $cpu CPU seconds in $SECONDS_MEASURED s ($(Percent "$cpu")% of one core), peak resident $hwm kB"
echo "median sound server: +$(Median "${server_list[@]}") % of one core above its idle; deliveries: $(Median "${rate_list[@]}") per second (44100 * 4 / 512 = 344.53), $(Median "${lost_list[@]}") lost"
echo "median per thread: GUI $(Percent "$(Median "${gui_list[@]}")")%, audio $(Percent "$(Median "${audio_list[@]}")")%, other $(Percent "$(Median "${other_list[@]}")")% of one core"
