#!/bin/bash
# A private sound server for the sound-server client's test (pulse_capture_restarts): PulseAudio,
# or with KORVELT_TEST_SERVER_KIND=pipewire PipeWire (with WirePlumber and its pulse server).
#   pulse-server.sh run COMMAND...   starts a server of our own (its own runtime directory) with
#                                    a null sink "korvelt_tsan" whose monitor is the default
#                                    source, runs COMMAND with KORVELT_SERVER_CONTROL naming this
#                                    script, and stops the server (and its player) again
#   pulse-server.sh ACTION [ARG...]  from inside COMMAND, acts on that server:
#       play FILE                    plays FILE (raw 44.1 kHz 16-bit stereo) into the sink, again
#                                    after a revive. The player keeps a generous buffer (so it
#                                    never runs dry on a busy machine, which would make the server
#                                    render the sink's sound anew), and a listener on the monitor
#                                    keeps the sink's latency short, so a new stream on the
#                                    monitor gets its first block at once
#       add-sink NAME DESCRIPTION [playing]   a null sink; "playing": silence plays into it, with a
#                                    short latency, so its monitor hands over blocks at once
#       remove-sink NAME | default-source NAME
#       kill | revive                the server dies as in a crash / starts again on its socket
#       freeze | thaw                SIGSTOP / SIGCONT
# Exits 77 (skipped) when the server, pactl or pacat is missing.
set -uo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$HERE/../../scripts/lib-display.sh"

# The state of the server started by "run", kept in its directory for the actions.
Detach() {
    printf '%s\n' "$KORVELT_SERVER_KIND" "$KORVELT_PULSE_PID" "$KORVELT_SERVER_PIDS" "$KORVELT_BUS_PID" \
        >"$KORVELT_PULSE_DIR/server.state"
}

Attach() {
    KORVELT_PULSE_DIR="$KORVELT_TEST_PULSE_DIR"
    KORVELT_PULSE_SINK=korvelt_tsan
    { read -r KORVELT_SERVER_KIND; read -r KORVELT_PULSE_PID; read -r KORVELT_SERVER_PIDS; read -r KORVELT_BUS_PID; } \
        <"$KORVELT_PULSE_DIR/server.state"
}

# StopPlayer [SINK]: the player of the sink (default: the main one, and its listener), waiting
# for it to end: a player still there when its sink goes would be moved to the main sink.
StopPlayer() {
    local pid file i
    local files=("$KORVELT_PULSE_DIR/player${1:+-$1}.pid")
    [ -n "${1:-}" ] || files+=("$KORVELT_PULSE_DIR/listener.pid")
    for file in "${files[@]}"; do
        pid="$(cat "$file" 2>/dev/null)" || continue
        kill "$pid" 2>/dev/null
        for (( i = 0; i < 50; i++ )); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.02
        done
        rm -f "$file"
    done
}

Play() {
    StopPlayer
    echo "$1" >"$KORVELT_PULSE_DIR/player.file"
    pacat --playback --raw --format=s16le --rate=44100 --channels=2 --latency-msec=300 \
        -d "$KORVELT_PULSE_SINK" "$1" </dev/null >/dev/null 2>&1 &
    echo $! >"$KORVELT_PULSE_DIR/player.pid"
    pacat --record --raw --latency-msec=20 -d "$KORVELT_PULSE_SINK.monitor" </dev/null >/dev/null 2>&1 &
    echo $! >"$KORVELT_PULSE_DIR/listener.pid"
}

case "${1:-}" in
run)
    shift
    kind="${KORVELT_TEST_SERVER_KIND:-pulseaudio}"
    command -v "$kind" >/dev/null && command -v pactl >/dev/null && command -v pacat >/dev/null ||
        { echo "$kind, pactl or pacat missing: skipped"; exit 77; }
    korvelt_start_server "$kind" korvelt_tsan || { korvelt_stop_server; exit 1; }
    Detach
    # How the server describes the sink's monitor, which the list must show.
    KORVELT_TEST_MONITOR_DESCRIPTION="$(pactl list sources | awk '
        /^\tName: / { this = ($2 == "korvelt_tsan.monitor") }
        this && /^\tDescription: / { sub(/^\tDescription: /, ""); print; exit }')"
    # PulseAudio hands the sound on bit for bit (the null sink runs at the sound's own rate);
    # PipeWire resamples it through its graph.
    KORVELT_TEST_SOUND_EXACT=$([ "$kind" = pulseaudio ] && echo 1 || echo 0)
    export KORVELT_TEST_MONITOR_DESCRIPTION KORVELT_TEST_SOUND_EXACT
    export KORVELT_TEST_PULSE_DIR="$KORVELT_PULSE_DIR" KORVELT_SERVER_CONTROL="$HERE/pulse-server.sh"
    "$@"
    status=$?
    Attach
    for pidfile in "$KORVELT_PULSE_DIR"/player*.pid "$KORVELT_PULSE_DIR"/listener.pid; do
        [ -e "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null
    done
    korvelt_stop_server
    exit "$status"
    ;;
play) Attach; Play "$2" ;;
add-sink)
    Attach
    pactl load-module module-null-sink sink_name="$2" rate=44100 channels=2 "sink_properties=\"device.description='$3'\"" >/dev/null || exit 1
    [ "${4:-}" = playing ] || exit 0
    pacat --playback --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 -d "$2" /dev/zero \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$KORVELT_PULSE_DIR/player-$2.pid" ;;
remove-sink)
    Attach
    StopPlayer "$2"
    for id in $(pactl list short modules | awk -v n="sink_name=$2" '$2 == "module-null-sink" && index($0, n) { print $1 }'); do
        pactl unload-module "$id"
    done ;;
default-source) Attach; pactl set-default-source "$2" ;;
kill) Attach; StopPlayer; korvelt_kill_server ;;
revive)
    Attach
    korvelt_revive_server && Detach &&
        { [ ! -s "$KORVELT_PULSE_DIR/player.file" ] || Play "$(cat "$KORVELT_PULSE_DIR/player.file")"; } ;;
freeze) Attach; korvelt_freeze_server ;;
thaw) Attach; korvelt_thaw_server ;;
*) echo "usage: $0 run COMMAND... | play FILE | add-sink NAME DESCRIPTION [playing] | remove-sink NAME | default-source NAME | kill | revive | freeze | thaw" >&2; exit 2 ;;
esac
