#!/bin/bash
# Measures what the native program costs while it shows a tone: CPU seconds used over a fixed
# window after a warm-up (split into the GUI thread, the audio thread and the rest), the
# sound server's CPU above what it uses playing the tone with nobody recording, the sound
# deliveries the program took per second and how many were lost, and peak resident memory;
# three runs, medians printed. Not a test.
# Usage: tests/e2e/measure-cpu.sh [EXECUTABLE]    (default build/native/korvelt)
# KORVELT_MEASURE_SECONDS (30), KORVELT_WARMUP_SECONDS (5), KORVELT_MEASURE_RUNS (3) and
# KORVELT_IDLE_SECONDS (10, the sound server alone) change it; KORVELT_SOUND_SERVER=pipewire
# measures on PipeWire (all three of its processes) instead of PulseAudio.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
# shellcheck source=../bench/lib-measure.sh
source "$ROOT/tests/bench/lib-measure.sh"

EXE="${1:-$ROOT/build/native/korvelt}"
measure_settings 30 5 3
IDLE_SECONDS="${KORVELT_IDLE_SECONDS:-10}"
SINK=korvelt_measure
WORK="$MEASURE_WORK"

[ -x "$EXE" ] || { echo "no program at $EXE (build the native preset first)" >&2; exit 1; }

# ThreadTicks PID: "gui audio other" CPU clock ticks so far. The GUI thread is the one whose id
# is the process id; SDL names its audio threads SDLAudio..., libpulse its loop thread
# threaded-ml (the program's sound-server client names it korvelt-sound).
ThreadTicks() {
    local task stat rest name ticks gui=0 audio=0 other=0
    for task in /proc/"$1"/task/*; do
        stat="$(cat "$task/stat" 2>/dev/null)" || continue
        rest="${stat##*) }"
        ticks=$(awk '{ print $12 + $13 }' <<<"$rest")
        name="$(cat "$task/comm" 2>/dev/null)"
        if [ "${task##*/}" = "$1" ]; then gui=$(( gui + ticks ))
        elif [[ "$name" == SDLAudio* || "$name" == threaded-ml* || "$name" == korvelt-sound ]]; then audio=$(( audio + ticks ))
        else other=$(( other + ticks )); fi
    done
    echo "$gui $audio $other"
}

measure_start_display 1280x1024x24 "$SINK"
measure_tone "$WORK/tone.wav" $(( IDLE_SECONDS + MEASURE_WARMUP + MEASURE_SECONDS + 10 )) \
    sine 441 sine 441 remix 1v0.5 2v0.25

cpu_list=()
server_list=()
rate_list=()
lost_list=()
hwm_list=()
gui_list=()
audio_list=()
other_list=()
for (( run = 1; run <= MEASURE_RUNS; run++ )); do
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    # The server's own cost of playing the tone, with nobody recording.
    sleep 2
    server_idle=$(measure_idle "$IDLE_SECONDS")
    measure_launch "$WORK/program.log" env KORVELT_CAPTURE_STATS=1 "$EXE"
    sleep "$MEASURE_WARMUP"
    measure_alive || { echo "the program ended early:" >&2; cat "$WORK/program.log" >&2; exit 1; }
    measure_window_begin
    read -r gui0 audio0 other0 < <(ThreadTicks "$MEASURE_PID")
    sleep "$MEASURE_SECONDS"
    read -r gui1 audio1 other1 < <(ThreadTicks "$MEASURE_PID")
    measure_window_end
    hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$MEASURE_PID/status")
    # SIGTERM is a close request: the program ends normally and prints its delivery counts.
    measure_close_program
    korvelt_stop_tone || true
    read -r rate lost < <(awk '/^korvelt capture:/ { r = $8; l = int($11 / 512) } END { print (r == "" ? "none" : r), (l == "" ? "none" : l) }' "$WORK/program.log")
    server=$(awk -v s="$MEASURE_SOUND" -v idle="$server_idle" 'BEGIN { printf "%.2f", s - idle }')
    cpu=$(measure_cpu_seconds "$MEASURE_TICKS")
    gui=$(measure_cpu_seconds $(( gui1 - gui0 )))
    audio=$(measure_cpu_seconds $(( audio1 - audio0 )))
    other=$(measure_cpu_seconds $(( other1 - other0 )))
    echo "run $run: $cpu CPU seconds in $MEASURE_SECONDS s (GUI thread $gui, audio thread $audio, other $other), peak resident $hwm kB"
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

cpu=$(measure_median "${cpu_list[@]}")
hwm=$(measure_median "${hwm_list[@]}")
Percent() { awk -v c="$1" -v s="$MEASURE_SECONDS" 'BEGIN { printf "%.2f", 100 * c / s }'; }
echo "median: $cpu CPU seconds in $MEASURE_SECONDS s ($(Percent "$cpu")% of one core), peak resident $hwm kB"
echo "median sound server: +$(measure_median "${server_list[@]}") % of one core above its idle; deliveries: $(measure_median "${rate_list[@]}") per second (44100 * 4 / 512 = 344.53), $(measure_median "${lost_list[@]}") lost"
echo "median per thread: GUI $(Percent "$(measure_median "${gui_list[@]}")")%, audio $(Percent "$(measure_median "${audio_list[@]}")")%, other $(Percent "$(measure_median "${other_list[@]}")")% of one core"
