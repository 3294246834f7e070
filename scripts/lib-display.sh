# Helpers for running korvelt without a real screen or sound card: a private Xvfb display,
# a private sound server with a null sink (PulseAudio, or PipeWire with its pulse server and
# WirePlumber), a test tone, window lookup and screenshots.
# Source it from bash; every start_ function has a matching stop_ function, and
# korvelt_stop_all undoes whatever was started. Only processes started here are stopped.

KORVELT_XVFB_PID=""
KORVELT_SERVER_KIND=""   # pulseaudio or pipewire: the server the start_ functions started
KORVELT_PULSE_DIR=""     # its private directory (runtime directory, home, logs)
KORVELT_PULSE_PID=""     # PulseAudio's pid; on PipeWire, the pulse server's (pipewire-pulse)
KORVELT_SERVER_PIDS=""   # every process of the server: PulseAudio, or the three of PipeWire
KORVELT_BUS_PID=""       # PipeWire's private session bus
KORVELT_PULSE_SINK=""
KORVELT_TONE_PID=""

# korvelt_start_xvfb [WIDTHxHEIGHTxDEPTH]: starts Xvfb on a free display and exports DISPLAY.
korvelt_start_xvfb() {
    local screen="${1:-1280x1024x24}" fdfile
    fdfile="$(mktemp)"
    # -displayfd lets the server pick a free display number itself, so parallel runs never clash.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
    KORVELT_XVFB_PID=$!
    local i number=""
    for i in $(seq 1 100); do
        number="$(head -n1 "$fdfile" 2>/dev/null)"
        [ -n "$number" ] && break
        kill -0 "$KORVELT_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$fdfile"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        korvelt_stop_xvfb
        return 1
    fi
    export DISPLAY=":$number"
}

korvelt_stop_xvfb() {
    if [ -n "$KORVELT_XVFB_PID" ]; then
        kill "$KORVELT_XVFB_PID" 2>/dev/null
        wait "$KORVELT_XVFB_PID" 2>/dev/null
        KORVELT_XVFB_PID=""
    fi
}

# True when $DISPLAY names an X server that answers.
korvelt_display_usable() {
    [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1
}

# korvelt_start_pulse [SINK]: starts a PulseAudio server of our own (its own runtime directory,
# so it never meets a user's server or another test run), with one null sink whose monitor is
# the default source, and exports PULSE_SERVER so every client started from here uses it.
korvelt_start_pulse() {
    local sink="${1:-korvelt_demo}"
    KORVELT_SERVER_KIND=pulseaudio
    KORVELT_PULSE_SINK="$sink"
    KORVELT_PULSE_DIR="$(mktemp -d /tmp/korvelt-pulse.XXXXXX)"
    mkdir -p "$KORVELT_PULSE_DIR/home" "$KORVELT_PULSE_DIR/run"
    chmod 700 "$KORVELT_PULSE_DIR/run"
    export PULSE_SERVER="unix:$KORVELT_PULSE_DIR/native"
    _korvelt_launch_pulse
}

# Starts the server of KORVELT_PULSE_DIR with its null sink KORVELT_PULSE_SINK, and waits for it.
_korvelt_launch_pulse() {
    local sink="$KORVELT_PULSE_SINK"
    # -n skips the default module list (no hardware probing, no X11 or D-Bus modules);
    # anonymous access on our own socket spares the clients a shared cookie file.
    # Running as root only earns a warning in the log.
    HOME="$KORVELT_PULSE_DIR/home" XDG_RUNTIME_DIR="$KORVELT_PULSE_DIR/run" \
        pulseaudio -D -n --system=false --exit-idle-time=-1 --disallow-exit \
        --log-target="file:$KORVELT_PULSE_DIR/pulse.log" \
        --load="module-native-protocol-unix auth-anonymous=1 socket=$KORVELT_PULSE_DIR/native" \
        --load="module-null-sink sink_name=$sink rate=44100 channels=2" \
        </dev/null >/dev/null 2>&1 || { echo "pulseaudio did not start" >&2; return 1; }
    KORVELT_PULSE_PID="$(cat "$KORVELT_PULSE_DIR/run/pulse/pid" 2>/dev/null)"
    KORVELT_SERVER_PIDS="$KORVELT_PULSE_PID"
    local i
    for i in $(seq 1 50); do
        pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    pactl set-default-sink "$sink" && pactl set-default-source "$sink.monitor" ||
        { echo "pulseaudio has no sink $sink" >&2; return 1; }
}

# korvelt_start_pipewire [SINK]: starts PipeWire of our own, as a desktop runs it: pipewire,
# its session manager WirePlumber and its PulseAudio service pipewire-pulse, with their own
# runtime directory and a private session bus, so they never meet a user's session or
# another test run. The null sink is made through the pulse service, its monitor is the
# default source, and PULSE_SERVER is exported as korvelt_start_pulse does.
korvelt_start_pipewire() {
    local sink="${1:-korvelt_demo}"
    KORVELT_SERVER_KIND=pipewire
    KORVELT_PULSE_SINK="$sink"
    KORVELT_PULSE_DIR="$(mktemp -d /tmp/korvelt-pipewire.XXXXXX)"
    mkdir -p "$KORVELT_PULSE_DIR/home" "$KORVELT_PULSE_DIR/run"
    chmod 700 "$KORVELT_PULSE_DIR/run"
    dbus-daemon --session --address="unix:path=$KORVELT_PULSE_DIR/bus" --nofork --nopidfile \
        </dev/null >"$KORVELT_PULSE_DIR/bus.log" 2>&1 &
    KORVELT_BUS_PID=$!
    local i
    for i in $(seq 1 50); do
        [ -S "$KORVELT_PULSE_DIR/bus" ] && break
        sleep 0.1
    done
    export PULSE_SERVER="unix:$KORVELT_PULSE_DIR/run/pulse/native"
    _korvelt_launch_pipewire
}

# Starts one process of the PipeWire stack in its private environment; its pid in
# KORVELT_STARTED_PID.
_korvelt_pipewire_process() {
    HOME="$KORVELT_PULSE_DIR/home" XDG_RUNTIME_DIR="$KORVELT_PULSE_DIR/run" \
        XDG_CONFIG_HOME="$KORVELT_PULSE_DIR/home/.config" XDG_STATE_HOME="$KORVELT_PULSE_DIR/home/.state" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$KORVELT_PULSE_DIR/bus" DISPLAY= \
        "$1" </dev/null >>"$KORVELT_PULSE_DIR/$1.log" 2>&1 &
    KORVELT_STARTED_PID=$!
}

# Starts pipewire, then WirePlumber and pipewire-pulse, in KORVELT_PULSE_DIR; waits until the
# pulse service answers and makes the null sink KORVELT_PULSE_SINK.
_korvelt_launch_pipewire() {
    local core manager pulse i
    _korvelt_pipewire_process pipewire; core=$KORVELT_STARTED_PID
    for i in $(seq 1 50); do
        [ -S "$KORVELT_PULSE_DIR/run/pipewire-0" ] && break
        sleep 0.1
    done
    _korvelt_pipewire_process wireplumber; manager=$KORVELT_STARTED_PID
    _korvelt_pipewire_process pipewire-pulse; pulse=$KORVELT_STARTED_PID
    KORVELT_PULSE_PID="$pulse"
    KORVELT_SERVER_PIDS="$core $manager $pulse"
    for i in $(seq 1 50); do
        pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    pactl info >/dev/null 2>&1 || { echo "pipewire-pulse did not start" >&2; return 1; }
    korvelt_load_sink || { echo "pipewire has no sink $KORVELT_PULSE_SINK" >&2; return 1; }
}

# _korvelt_wait_gone PID TENTHS: waits until PID has ended (a zombie counts: the daemon's
# parent may never collect it), collecting it when it is our child; false if it has not.
_korvelt_wait_gone() {
    local i state
    for (( i = 0; i <= $2; i++ )); do
        state="$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)"
        if [ -z "$state" ] || [ "$state" = Z ]; then
            wait "$1" 2>/dev/null
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# korvelt_start_server KIND [SINK]: korvelt_start_pulse (KIND pulseaudio) or
# korvelt_start_pipewire (KIND pipewire).
korvelt_start_server() {
    case "$1" in
        pulseaudio) korvelt_start_pulse "${2:-korvelt_demo}" ;;
        pipewire) korvelt_start_pipewire "${2:-korvelt_demo}" ;;
        *) echo "unknown sound server $1" >&2; return 1 ;;
    esac
}

# korvelt_kill_server / korvelt_revive_server: the server dies as in a crash (on PipeWire the
# whole stack), and starts again on the same socket with the same null sink (its clients must
# connect anew).
korvelt_kill_server() {
    [ -n "$KORVELT_SERVER_PIDS" ] || return 1
    local pid
    # Quietly: the shell would report the kill of a process it started (PipeWire's).
    {
        # shellcheck disable=SC2086
        kill -9 $KORVELT_SERVER_PIDS
        for pid in $KORVELT_SERVER_PIDS; do _korvelt_wait_gone "$pid" 30; done
    } 2>/dev/null
    rm -f "$KORVELT_PULSE_DIR/native" "$KORVELT_PULSE_DIR/run/pulse/pid" "$KORVELT_PULSE_DIR/run/pulse/native" \
        "$KORVELT_PULSE_DIR/run/pipewire-0" "$KORVELT_PULSE_DIR/run/pipewire-0.lock"
}

korvelt_revive_server() {
    case "$KORVELT_SERVER_KIND" in
        pipewire) _korvelt_launch_pipewire ;;
        *) _korvelt_launch_pulse ;;
    esac
}

# The older names: the server behind PULSE_SERVER, whichever kind it is.
korvelt_kill_pulse() { korvelt_kill_server; }
korvelt_revive_pulse() { korvelt_revive_server; }

# korvelt_freeze_server / korvelt_thaw_server: every process of the server stops (SIGSTOP) as
# a hung server does, and goes on again.
korvelt_freeze_server() {
    [ -n "$KORVELT_SERVER_PIDS" ] || return 1
    # shellcheck disable=SC2086
    kill -STOP $KORVELT_SERVER_PIDS 2>/dev/null
}

korvelt_thaw_server() {
    [ -n "$KORVELT_SERVER_PIDS" ] || return 0
    # shellcheck disable=SC2086
    kill -CONT $KORVELT_SERVER_PIDS 2>/dev/null
    return 0
}

# korvelt_unload_sink / korvelt_load_sink: the null sink (and so its monitor, the default
# source) goes away as an unplugged device does, and comes back.
korvelt_unload_sink() {
    local id
    for id in $(pactl list short modules | awk '$2 == "module-null-sink" { print $1 }'); do
        pactl unload-module "$id"
    done
}

korvelt_load_sink() {
    local described=()
    # PipeWire's sink would otherwise be listed by its bare node name.
    [ "$KORVELT_SERVER_KIND" = pipewire ] && described=(sink_properties=device.description="$KORVELT_PULSE_SINK")
    pactl load-module module-null-sink sink_name="$KORVELT_PULSE_SINK" rate=44100 channels=2 "${described[@]}" \
        >/dev/null && pactl set-default-sink "$KORVELT_PULSE_SINK" &&
        pactl set-default-source "$KORVELT_PULSE_SINK.monitor"
}

# korvelt_stop_server (or korvelt_stop_pulse): ends the server that was started, whichever
# kind, with its session bus, and removes its directory.
korvelt_stop_server() {
    local pid
    korvelt_thaw_server
    {
        for pid in $KORVELT_SERVER_PIDS $KORVELT_BUS_PID; do
            kill "$pid"
            _korvelt_wait_gone "$pid" 30 || kill -9 "$pid"
            _korvelt_wait_gone "$pid" 10
        done
    } 2>/dev/null
    KORVELT_PULSE_PID=""
    KORVELT_SERVER_PIDS=""
    KORVELT_BUS_PID=""
    KORVELT_SERVER_KIND=""
    if [ -n "$KORVELT_PULSE_DIR" ]; then
        rm -rf "$KORVELT_PULSE_DIR"
        KORVELT_PULSE_DIR=""
    fi
    unset PULSE_SERVER
    return 0
}

korvelt_stop_pulse() { korvelt_stop_server; }

# korvelt_make_tone FILE [REPEATS]: a stereo 44.1 kHz 16-bit WAV of a 1 kHz tone whose level
# steps every second, left and right at different levels; the 6-second pattern is played
# REPEATS + 1 times (default 10, about a minute).
korvelt_make_tone() {
    local out="$1" repeats="${2:-10}" dir i
    dir="$(mktemp -d)"
    local left=(0.90 0.50 0.25 0.10 0.60 0.03)
    local right=(0.30 0.80 0.05 0.60 0.15 0.95)
    for i in 0 1 2 3 4 5; do
        sox -q -n -r 44100 -b 16 -c 1 "$dir/mono$i.wav" synth 1 sine 1000
        sox -q "$dir/mono$i.wav" -c 2 "$dir/step$i.wav" remix "1v${left[$i]}" "1v${right[$i]}"
    done
    sox -q "$dir"/step0.wav "$dir"/step1.wav "$dir"/step2.wav "$dir"/step3.wav \
        "$dir"/step4.wav "$dir"/step5.wav "$out" repeat "$repeats"
    local rc=$?
    rm -rf "$dir"
    return $rc
}

# korvelt_play_tone FILE [SINK]: plays FILE into the sink in the background.
korvelt_play_tone() {
    paplay -d "${2:-korvelt_demo}" "$1" >/dev/null 2>&1 &
    KORVELT_TONE_PID=$!
}

korvelt_stop_tone() {
    if [ -n "$KORVELT_TONE_PID" ]; then
        kill "$KORVELT_TONE_PID" 2>/dev/null
        wait "$KORVELT_TONE_PID" 2>/dev/null
        KORVELT_TONE_PID=""
    fi
}

# korvelt_find_window TITLE_PART [TIMEOUT_SECONDS]: prints the id of the first window whose
# title contains TITLE_PART, waiting for it to appear.
korvelt_find_window() {
    local part="$1" tries=$(( ${2:-10} * 10 )) id i
    for i in $(seq 1 "$tries"); do
        if command -v xdotool >/dev/null 2>&1; then
            id="$(xdotool search --name "$part" 2>/dev/null | head -n1)"
        else
            id="$(xwininfo -root -tree 2>/dev/null | grep -F "$part" |
                  awk '{print $1}' | head -n1)"
        fi
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# korvelt_screenshot WINDOW_ID FILE: the window's pixels as PNG.
korvelt_screenshot() {
    import -window "$1" "$2"
}

korvelt_stop_all() {
    korvelt_stop_tone
    korvelt_stop_server
    korvelt_stop_xvfb
}
