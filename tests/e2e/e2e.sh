#!/bin/bash
# End-to-end checks of the shipped programs: each build runs on a private X display, records a
# known stereo tone from a null sink of a private sound server, and is judged from screenshots
# read at fixed pixels, then ended with Escape; then each meets the faults of faults.sh (the
# sink and the sound server going and coming back, the server frozen at exit).
# Usage: tests/e2e/e2e.sh [native] [native-hidpi] [win64] [win64-hidpi] [win64-144] [win32] [deb]
#                         [zip64] [zip32] [native@pipewire] [win64@pipewire] [win32@pipewire]
#        (default: the first six)
# A build runs on PulseAudio; BUILD@pipewire runs it on PipeWire instead (pipewire, WirePlumber
# and pipewire-pulse, started privately for these runs). Its checks are reported as
# BUILD@pipewire:CHECK and its screenshots and logs kept in build/e2e/pipewire. The native
# program runs there with SDL_AUDIODRIVER=pipewire.
# deb installs build/packages/korvelt_*.deb with apt-get, runs korvelt from PATH and removes the
# package again; zip64 and zip32 unpack build/packages/korvelt-*-win64.zip / -win32.zip and run
# the exe under Wine.
# With both native and win64, their windows are also compared whole (tests/e2e/compare.sh).
# native-hidpi runs the native program on a desktop that says "Xft.dpi: 192": its window must be
# twice the size, show every client pixel as a 2 x 2 block (a screenshot reduced by taking every
# second pixel passes the same checks), and take clicks at twice the client positions.
# win64-hidpi and win64-144 run the x86-64 build on Wine desktops of 192 and 144 dpi
# (tests/e2e/wine-hidpi.sh).
# Prints one PASS/FAIL/PEND line per check and ends with "e2e: N passed, N failed, N pending";
# exits non-zero when a check that is not pending failed. Checks listed in
# tests/e2e/pending-checks (by name, BUILD:NAME or BUILD@pipewire:NAME) are reported but do not
# count. Screenshots and logs are kept in
# build/e2e (KORVELT_E2E_DIR). KORVELT_NATIVE_EXE, KORVELT_WIN64_EXE and KORVELT_WIN32_EXE
# point at other executables than those of the presets' build folders.
set -euo pipefail

E2E_DIR_SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$E2E_DIR_SRC/../.." && pwd)"
# shellcheck source=../../scripts/lib-display.sh
source "$ROOT/scripts/lib-display.sh"
# shellcheck source=shot.sh
source "$E2E_DIR_SRC/shot.sh"
# shellcheck source=compare.sh
source "$E2E_DIR_SRC/compare.sh"
# shellcheck source=faults.sh
source "$E2E_DIR_SRC/faults.sh"
# shellcheck source=wine-hidpi.sh
source "$E2E_DIR_SRC/wine-hidpi.sh"

WORK="${KORVELT_E2E_DIR:-$ROOT/build/e2e}"
export KORVELT_WINEPREFIX="${KORVELT_WINEPREFIX:-$ROOT/build/wine-prefix}"
SINK=korvelt_e2e
PACKAGES_DIR="${KORVELT_PACKAGES_DIR:-$ROOT/build/packages}"
DEB_INSTALLED=0

# The tone: 441 Hz, so each 128-frame block holds more than one whole period and its peaks;
# the two channels at different levels so a swapped or mixed channel shows.
TONE_HZ=441
LEFT_AMPLITUDE=0.5
RIGHT_AMPLITUDE=0.25

BACKGROUND="18,24,50"
BLACK="0,0,0"
GRID="0,72,0"
TRACE="10,221,10"
SEGMENT_ON="0,208,0"
SEGMENT_OFF="16,48,16"
SEGMENT_OVER="255,0,0"
SEGMENT_THRESHOLDS=(0 1 3 10 12 14 16 18 20 22 25 28 32 36 40 45 51 57 64 72 81 90 102 114 128
                    144 162 181 203 228)

SETTLE_SECONDS=3       # the null sink's monitor delivers its first block up to 1.8 s late
SHOTS=3                # the window is drawn directly, so one shot may catch a tick half done
CHECK_NAMES=(title client-size background scope-frames device-list scope-grid scope-trace
             level-bars meters history-graph hidpi-blocks hidpi-click escape-exit)
HIGHLIGHT="0,120,215"   # the open device list's chosen item
SCALE=1                 # screen pixels per client pixel of the build being checked
RESOURCE_HOLDER_PID=""  # a client that keeps Xvfb from resetting (and dropping its resources)

PASSED=0
FAILED=0
PENDING=0
PROGRAM_PID=""
USED_WINE=0
SERVER_TAG=""           # "pipewire" while the builds run on PipeWire; names their checks

declare -A PENDING_CHECKS=()
while read -r line; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    [ -n "$line" ] && PENDING_CHECKS["$line"]=1
done <"$E2E_DIR_SRC/pending-checks"

Cleanup() {
    if [ -n "$RESOURCE_HOLDER_PID" ]; then
        kill "$RESOURCE_HOLDER_PID" 2>/dev/null || true
        wait "$RESOURCE_HOLDER_PID" 2>/dev/null || true
    fi
    if [ -n "$PROGRAM_PID" ]; then
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
        PROGRAM_PID=""
    fi
    if [ "$USED_WINE" = 1 ]; then
        WINEPREFIX="$KORVELT_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
        WineDpiStop
    fi
    [ "$DEB_INSTALLED" = 1 ] && RemoveDeb >/dev/null 2>&1

    # The display helpers are not written for errexit: a killed child's status would end us.
    korvelt_stop_all || true
}
trap Cleanup EXIT

# Report BUILD CHECK OK VALUE: prints and counts one result; on PipeWire the build is named
# BUILD@pipewire.
Report() {
    local build="$1" check="$2" ok="$3" value="$4" verdict name
    name="$build${SERVER_TAG:+@$SERVER_TAG}"
    if [ "$ok" = 1 ]; then verdict=PASS; else verdict=FAIL; fi
    if [ -n "${PENDING_CHECKS[$check]:-}" ] || [ -n "${PENDING_CHECKS[$build:$check]:-}" ] ||
       [ -n "${PENDING_CHECKS[$name:$check]:-}" ]; then
        printf 'PEND %-26s (would %s) %s\n' "$name:$check" "$verdict" "$value"
        PENDING=$(( PENDING + 1 ))
    elif [ "$ok" = 1 ]; then
        printf 'PASS %-26s %s\n' "$name:$check" "$value"
        PASSED=$(( PASSED + 1 ))
    else
        printf 'FAIL %-26s %s\n' "$name:$check" "$value"
        FAILED=$(( FAILED + 1 ))
    fi
}

Milliseconds() { echo $(( $(date +%s%N) / 1000000 )); }

# The Linux builds: the one from the build folder and the installed package.
IsNativeBuild() { [ "$1" = native ] || [ "$1" = native-hidpi ] || [ "$1" = deb ]; }

AsRoot() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the .deb the way a user would; other apt runs on the machine are waited for.
InstallDeb() {
    local deb
    deb="$(ls "$PACKAGES_DIR"/korvelt_*.deb 2>/dev/null | head -n1)"
    [ -n "$deb" ] || { echo "no $PACKAGES_DIR/korvelt_*.deb (run scripts/package)"; return 1; }
    DEB_INSTALLED=1
    AsRoot env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall \
        -o DPkg::Lock::Timeout=300 "$deb" 2>&1 | tail -n 3
    return "${PIPESTATUS[0]}"
}

RemoveDeb() {
    DEB_INSTALLED=0
    AsRoot env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q -o DPkg::Lock::Timeout=300 korvelt 2>&1 |
        tail -n 3
    return "${PIPESTATUS[0]}"
}

# The window carries korvelt's class (the desktop entry's StartupWMClass) and, as its icon,
# the very pixels of res/korvelt.ico.
CheckWindowIdentity() {
    local window="$1" class icon want got
    class="$(xprop -id "$window" WM_CLASS 2>/dev/null || true)"
    icon="$(xprop -id "$window" -notype 32c _NET_WM_ICON 2>/dev/null || true)"
    # The property: width, height, then one ARGB value per pixel, top row first.
    got="$(sed 's/^[^=]*= //' <<<"$icon" | tr -d ' ' | tr ',' '\n' |
           awk 'NR <= 2 { printf "%s ", $0; next } { printf "%d,%d,%d,%d\n", int($0 / 16777216) % 256,
                int($0 / 65536) % 256, int($0 / 256) % 256, $0 % 256 }' | md5sum | cut -c1-12)"
    want="$( { printf '32 32 '; convert "$ROOT/res/korvelt.ico" -depth 8 rgba:- | od -An -v -tu1 -w4 |
             awk '{ printf "%d,%d,%d,%d\n", 255, $1, $2, $3 }'; } | md5sum | cut -c1-12)"
    OK=0
    [[ "$class" == *'"korvelt", "korvelt"'* ]] && [ "$got" = "$want" ] && OK=1
    VALUE="class ${class#*= }; icon ${icon:0:30}... pixels $( [ "$got" = "$want" ] && echo "equal to" || echo "unlike") res/korvelt.ico"
}

# ---- the checks; each reads the loaded screenshot and sets OK (0/1) and VALUE ----

# LocateScaledClient S ROW: where the client area lies in the loaded full-size shot of a Wine
# window at scale S. A Wine window carries its own frame (no window manager), so the client
# area is found from what it shows: the background row ROW pixels above the shot's bottom
# gives left and right, the background column left of the controls the bottom, and the top
# edge of the left scope frame (client y 48 S) in a column crossing it the top. Sets
# CLIENT_X0 .. CLIENT_Y1.
LocateScaledClient() {
    local s="$1" span col found
    span="$(shot_row_span $(( SHOT_H - $2 )) "$BACKGROUND")"
    CLIENT_X0="${span% *}"; CLIENT_X1="${span#* }"
    (( CLIENT_X0 >= 0 )) || return 1
    col="$(shot_column $(( CLIENT_X0 + 10 * s )))"
    CLIENT_Y1="$(awk -v c="$BACKGROUND" '$0 == c { y = NR - 1 } END { print y + 0 }' <<<"$col")"
    col="$(shot_column $(( CLIENT_X0 + 208 * s )))"
    # First non-background pixel after the first background run below the top.
    found="$(awk -v c="$BACKGROUND" '
        seen && $0 != c { print NR - 1; exit }
        $0 == c { seen = 1 }' <<<"$col")"
    [ -n "$found" ] || return 1
    CLIENT_Y0=$(( found - 48 * s ))
}

# Where client (0, 0) lies in the screenshot at scale 1 (SHOT_OX, SHOT_OY too). The native
# window is the client area itself.
LocateClient() {
    local build="$1"
    CLIENT_X0=0; CLIENT_Y0=0; CLIENT_X1=$(( SHOT_W - 1 )); CLIENT_Y1=$(( SHOT_H - 1 ))
    SHOT_OX=0; SHOT_OY=0
    IsNativeBuild "$build" && return 0
    LocateScaledClient 1 12 || return 1
    SHOT_OX=$CLIENT_X0
    SHOT_OY=$CLIENT_Y0
}

CheckClientSize() {
    local build="$1" w h
    w=$(( CLIENT_X1 - CLIENT_X0 + 1 )); h=$(( CLIENT_Y1 - CLIENT_Y0 + 1 ))
    if IsNativeBuild "$build"; then
        OK=0
        (( WIN_W == 800 * SCALE && WIN_H == 720 * SCALE )) && OK=1
        VALUE="client ${WIN_W}x${WIN_H} (want $(( 800 * SCALE ))x$(( 720 * SCALE )))"
    else
        local left=$CLIENT_X0 right=$(( SHOT_W - 1 - CLIENT_X1 )) bottom=$(( SHOT_H - 1 - CLIENT_Y1 ))
        OK=0
        if (( WIN_W == 800 && WIN_H == 720 && WIN_X == 50 && WIN_Y == 100 &&
              left == right && left == bottom && CLIENT_Y0 > left && left >= 0 &&
              w >= 780 && h >= 660 )); then
            OK=1
        fi
        VALUE="frame ${WIN_W}x${WIN_H} at ($WIN_X,$WIN_Y) (want 800x720 at (50,100)); client ${w}x${h} at ($CLIENT_X0,$CLIENT_Y0) in the frame; borders left $left right $right bottom $bottom"
    fi
}

CheckBackground() {
    local points=(5,100 20,400 395,150 395,400 200,290 390,290 780,150 780,450 455,600
                  20,688 400,688 780,688) p c bad=""
    for p in "${points[@]}"; do
        c="$(shot_pixel "${p%,*}" "${p#*,}")"
        [ "$c" = "$BACKGROUND" ] || bad="$bad ($p)=$c"
    done
    if [ -z "$bad" ]; then OK=1; VALUE="(18,24,50) at ${#points[@]} points"
    else OK=0; VALUE="not (18,24,50):$bad"; fi
}

# One sunken frame (x, y, w, h): both border pixels on each side differ from the background,
# the pixels just outside are background, and the top-left edges are darker than the
# bottom-right ones.
CheckOneFrame() {
    local fx="$1" fy="$2" fw="$3" fh="$4" mx my rx by bad="" c top left bottom right
    mx=$(( fx + 172 )); my=$(( fy + 114 )); rx=$(( fx + fw - 1 )); by=$(( fy + fh - 1 ))
    for p in "$mx,$fy" "$mx,$(( fy + 1 ))" "$fx,$my" "$(( fx + 1 )),$my" \
             "$mx,$by" "$mx,$(( by - 1 ))" "$rx,$my" "$(( rx - 1 )),$my"; do
        c="$(shot_pixel "${p%,*}" "${p#*,}")"
        [ "$c" != "$BACKGROUND" ] && [ "$c" != outside ] || bad="$bad edge($p)=$c"
    done
    for p in "$mx,$(( fy - 1 ))" "$(( fx - 1 )),$my" "$mx,$(( by + 1 ))" "$(( rx + 1 )),$my"; do
        c="$(shot_pixel "${p%,*}" "${p#*,}")"
        [ "$c" = "$BACKGROUND" ] || bad="$bad outside($p)=$c"
    done
    top=$(colour_luma "$(shot_pixel "$mx" "$fy")")
    left=$(colour_luma "$(shot_pixel "$fx" "$my")")
    bottom=$(colour_luma "$(shot_pixel "$mx" "$by")")
    right=$(colour_luma "$(shot_pixel "$rx" "$my")")
    (( top + left < bottom + right )) || bad="$bad not-sunken(top $top left $left bottom $bottom right $right)"
    FRAME_BAD="$bad"
}

CheckScopeFrames() {
    local bad1 bad2
    CheckOneFrame 36 48 344 229; bad1="$FRAME_BAD"
    CheckOneFrame 36 303 344 229; bad2="$FRAME_BAD"
    if [ -z "$bad1$bad2" ]; then OK=1; VALUE="edges at (36,48)-(379,276) and (36,303)-(379,531)"
    else OK=0; VALUE="upper:${bad1:- ok} lower:${bad2:- ok}"; fi
}

# The device list in the toolbar along the top: a 200 x 20 box at x = 481 + 3B, y 5 in the
# toolbar (a Windows toolbar's own client area starts below its 2-pixel divider).
CheckDeviceList() {
    local row left="" right="" face top="" bottom="" column y c
    row="$(awk -v iw="$SHOT_W" -v ox="$SHOT_OX" -v y="$(( 15 + SHOT_OY ))" \
        'NR > y * iw + ox && NR <= (y + 1) * iw' "$SHOT_TXT")"
    face="$(sed -n 481p <<<"$row")"
    # Row 15 from x 481: the first pixel unlike the toolbar is the box's left border.
    read -r left right < <(awk -v face="$face" '
        NR > 481 && l == "" && $0 != face { l = NR - 1 }
        l != "" && r == "" && $0 == face { r = NR - 2 }
        END { print (l == "" ? -1 : l), (r == "" ? -1 : r) }' <<<"$row")
    if (( left < 0 || left > 700 )); then
        OK=0; VALUE="no box right of x 480 on row 15 (toolbar $face)"
        return
    fi
    column="$(shot_column $(( left + 100 + SHOT_OX )))"
    for (( y = 15; y >= 0; y-- )); do
        c="$(sed -n "$(( y + SHOT_OY + 1 ))p" <<<"$column")"
        if [ "$c" = "$face" ]; then top=$(( y + 1 )); break; fi
    done
    for (( y = 15; y <= 40; y++ )); do
        c="$(sed -n "$(( y + SHOT_OY + 1 ))p" <<<"$column")"
        if [ "$c" = "$face" ]; then bottom=$(( y - 1 )); break; fi
    done
    OK=0
    if [ -n "$top" ] && [ -n "$bottom" ] && (( right - left + 1 == 200 &&
          bottom - top + 1 == 20 && top >= 3 && top <= 10 )); then
        OK=1
    fi
    VALUE="box x $left..$right, y ${top:-?}..${bottom:-?} (want 200 x 20 near the top; toolbar $face)"
}

CheckScopeGrid() {
    local bad="" top n y x stats
    for top in 50 305; do
        stats="$(shot_region 38 "$top" 340 225 "$BLACK")"
        n="${stats%% *}"
        (( n >= 340 * 225 * 7 / 10 )) || bad="$bad box@$top:black=$n"
        for y in $(( top + 62 )) $(( top + 112 )) $(( top + 162 )); do
            stats="$(shot_region 38 "$y" 340 1 "$GRID")"; n="${stats%% *}"
            (( n >= 280 )) || bad="$bad row$y:$n/340"
        done
        for x in 110 210 310; do
            stats="$(shot_region "$x" "$top" 1 225 "$GRID")"; n="${stats%% *}"
            (( n >= 180 )) || bad="$bad col$x@$top:$n/225"
        done
    done
    if [ -z "$bad" ]; then OK=1; VALUE="black boxes, grid (0,72,0) at rows c-50, c, c+50 and x 110, 210, 310"
    else OK=0; VALUE="$bad"; fi
}

# The trace of amplitude A reaches centre_y -/+ 112 * A and spans x 38 .. 373.
CheckScopeTrace() {
    local bad="" desc="" top centre amp want n x0 x1 y0 y1 stats
    for top in 50 305; do
        centre=$(( top + 112 ))
        if (( top == 50 )); then amp=$LEFT_AMPLITUDE; else amp=$RIGHT_AMPLITUDE; fi
        want=$(awk -v a="$amp" 'BEGIN { print int(int(a * 32767 + 0.5) * 225 / 65535) }')
        stats="$(shot_region 38 "$top" 340 225 "$TRACE")"
        read -r n x0 x1 y0 y1 <<<"$stats"
        desc="$desc box@$top: $n px, x $x0..$x1, y $(( y0 - centre ))..+$(( y1 - centre )) around $centre (want -$want..+$want);"
        if (( n == 0 )); then bad=1; continue; fi
        (( x0 <= 40 && x1 >= 368 && x1 <= 373 )) || bad=1
        (( centre - y0 >= want - 2 && centre - y0 <= want + 2 )) || bad=1
        (( y1 - centre >= want - 2 && y1 - centre <= want + 2 )) || bad=1
    done
    if [ -z "$bad" ]; then OK=1; else OK=0; fi
    VALUE="$desc"
}

# Segments lit from the level 340 * peak / 32767 through the thresholds.
ExpectedLitSegments() {
    local level k m=0
    level=$(awk -v a="$1" 'BEGIN { printf "%d", 340 * int(a * 32767 + 0.5) / 32767 * 1000 }')
    for (( k = 1; k <= 29; k++ )); do
        (( SEGMENT_THRESHOLDS[k] * 1000 <= level )) && m=$k
    done
    echo "$m"
}

CheckLevelBars() {
    local bad="" desc="" top amp want i c pattern got colours
    for top in 578 617; do
        if (( top == 578 )); then amp=$LEFT_AMPLITUDE; else amp=$RIGHT_AMPLITUDE; fi
        want=$(ExpectedLitSegments "$amp")
        pattern=""; got=0
        # Segment i's middle at x 19 + 14 i + 6.
        mapfile -t colours < <(shot_row_colours 39 $(( top + 18 )) 14 30)
        for (( i = 1; i <= 30; i++ )); do
            c="${colours[i - 1]:-outside}"
            case "$c" in
                "$SEGMENT_ON") pattern="${pattern}#"; (( i == got + 1 )) && got=$i ;;
                "$SEGMENT_OFF") pattern="${pattern}." ;;
                "$SEGMENT_OVER") pattern="${pattern}R" ;;
                *) pattern="${pattern}?" ;;
            esac
        done
        local expect_pattern=""
        for (( i = 1; i <= 30; i++ )); do
            if (( i <= want )); then expect_pattern="${expect_pattern}#"; else expect_pattern="${expect_pattern}."; fi
        done
        [ "$pattern" = "$expect_pattern" ] || bad=1
        desc="$desc bar@$top [$pattern] lit 1..$got (want 1..$want);"
    done
    if [ -z "$bad" ]; then OK=1; else OK=0; fi
    VALUE="$desc"
}

# The needle of a steady tone: meter value 42.2 * log10(0.7 * level) (the average of equal
# values is the value), angle value * 0.9 - 45 degrees, tip at pivot (168, 223) + 198 along
# the angle, in the meter's inner area whose corner is (412, 51) or (412, 306). The tip dot
# (radius 2) in the needle colour is the topmost needle-coloured spot.
CheckMeters() {
    local bad="" desc="" top amp want_x want_y got
    for top in 51 306; do
        if (( top == 51 )); then amp=$LEFT_AMPLITUDE; else amp=$RIGHT_AMPLITUDE; fi
        read -r want_x want_y < <(awk -v a="$amp" 'BEGIN {
            level = 340 * int(a * 32767 + 0.5) / 32767
            v = 42.2 * log(0.7 * level) / log(10); t = (v * 0.9 - 45) * 3.14159265358979 / 180
            x = sin(t) * 198 + 168; y = 223 - cos(t) * 198
            printf "%d %d\n", int(x + 0.5), int(y + 0.5) }')
        got="$(awk -v iw="$SHOT_W" -v ox="$SHOT_OX" -v oy="$SHOT_OY" -v top="$top" '
            BEGIN { first = (top + oy) * iw + 1; last = (top + 223 + oy) * iw; best = -1 }
            NR < first { next }
            NR > last { exit }
            $0 == "10,221,10" {
                i = NR - 1; x = i % iw - ox - 412; y = int(i / iw) - oy - top
                if (x < 0 || x >= 336) next
                if (best < 0) { best = y }
                if (y == best) { sum += x; n++ }
            }
            END { if (best < 0) print "none"; else printf "%d %d\n", int(sum / n + 0.5), best + 2 }' "$SHOT_TXT")"
        desc="$desc meter@$top: tip at ($got) (want ($want_x $want_y) +-2);"
        if [ "$got" = none ]; then bad=1; continue; fi
        local gx="${got% *}" gy="${got#* }"
        (( gx - want_x <= 2 && want_x - gx <= 2 && gy - want_y <= 2 && want_y - gy <= 2 )) || bad=1
    done
    if [ -z "$bad" ]; then OK=1; else OK=0; fi
    VALUE="$desc"
}
# With a steady tone the newest columns of the history sit on one row: the value
# round(19.4 * log10(left level * right level)) on a 0..100 scale over the 140-pixel image,
# whose top-left inner corner is at (462, 542).
CheckHistoryGraph() {
    local value y bad="" c p
    read -r value y < <(awk -v a="$LEFT_AMPLITUDE" -v b="$RIGHT_AMPLITUDE" 'BEGIN {
        l = 340 * int(a * 32767 + 0.5) / 32767; r = 340 * int(b * 32767 + 0.5) / 32767
        v = 19.4 * log(l * r) / log(10); v = int(v + 0.5)
        print v, 542 + 140 - int(v / 100 * 140) }')
    for p in 720 735 744; do
        c="$(shot_pixel "$p" "$y")"
        [ "$c" = "0,186,0" ] || bad="$bad ($p,$y)=$c"
        c="$(shot_pixel "$p" $(( y - 3 )))"
        [ "$c" = "0,34,0" ] || bad="$bad ($p,$(( y - 3 )))=$c"
        c="$(shot_pixel "$p" $(( y + 3 )))"
        [ "$c" = "0,34,0" ] || bad="$bad ($p,$(( y + 3 )))=$c"
    done
    if [ -z "$bad" ]; then OK=1; VALUE="newest columns at y $y (value $value) in (0,186,0) on (0,34,0)"
    else OK=0; VALUE="want the trace at y $y (value $value):$bad"; fi
}

# ---- one build ----

# The checks judged from screenshots, in the order they run, with their procedures.
SHOT_CHECKS=(background:CheckBackground scope-frames:CheckScopeFrames device-list:CheckDeviceList
             scope-grid:CheckScopeGrid scope-trace:CheckScopeTrace level-bars:CheckLevelBars
             meters:CheckMeters history-graph:CheckHistoryGraph)

# FailRest BUILD REASON FROM: every check from FROM on fails with REASON.
FailRest() {
    local build="$1" reason="$2" from="$3" name go=0
    for name in "${CHECK_NAMES[@]}"; do
        [ "$name" = "$from" ] && go=1
        [ "$go" = 1 ] && Report "$build" "$name" 0 "$reason"
    done
}

RunBuild() {
    local build="$1" exe title timeout cmd=() window="" start now i name proc entry
    SCALE=1
    case "$build" in
        native-hidpi)
                exe="${KORVELT_NATIVE_EXE:-$ROOT/build/native/korvelt}"; timeout=30; SCALE=2
                title="KORVELT - BETA2 - $(getconf LONG_BIT) BIT - MARDELLIN"
                cmd=("$exe")
                # Xvfb resets, dropping the resources, whenever its last client leaves: one
                # stays connected until the program has read them.
                xprop -root -spy RESOURCE_MANAGER >/dev/null 2>&1 &
                RESOURCE_HOLDER_PID=$!
                sleep 0.3
                printf 'Xft.dpi: 192\n' | xrdb -nocpp -merge ;;
        native) exe="${KORVELT_NATIVE_EXE:-$ROOT/build/native/korvelt}"; timeout=30
                # The title names the width of a pointer in the build.
                title="KORVELT - BETA2 - $(getconf LONG_BIT) BIT - MARDELLIN"
                cmd=("$exe") ;;
        win64)  exe="${KORVELT_WIN64_EXE:-$ROOT/build/win64/korvelt.exe}"; timeout=40
                title="KORVELT - BETA2 - 64 BIT - MARDELLIN"
                cmd=("$ROOT/scripts/wine-run" "$exe") ;;
        win32)  exe="${KORVELT_WIN32_EXE:-$ROOT/build/win32/korvelt.exe}"; timeout=40
                title="KORVELT - BETA2 - 32 BIT - MARDELLIN"
                cmd=("$ROOT/scripts/wine-run" "$exe") ;;
        deb)    local log
                if log="$(InstallDeb)"; then Report deb install 1 "apt-get install ./$(basename "$(ls "$PACKAGES_DIR"/korvelt_*.deb)")"
                else Report deb install 0 "$log"; fi
                exe="$(command -v korvelt || echo "korvelt (not on PATH)")"; timeout=30
                [ "$exe" = /usr/bin/korvelt ] || exe="korvelt (on PATH: $exe, want /usr/bin/korvelt)"
                title="KORVELT - BETA2 - $(getconf LONG_BIT) BIT - MARDELLIN"
                cmd=(korvelt) ;;
        zip64|zip32)
                local zip arch="win${build#zip}"
                zip="$(ls "$PACKAGES_DIR"/korvelt-*-"$arch".zip 2>/dev/null | head -n1)"
                rm -rf "$WORK/$build/unpacked"
                mkdir -p "$WORK/$build/unpacked"
                exe="$WORK/$build/unpacked/$(basename "${zip:-korvelt-$arch.zip}" .zip)/korvelt.exe"
                [ -n "$zip" ] && unzip -q "$zip" -d "$WORK/$build/unpacked"
                timeout=40
                title="KORVELT - BETA2 - ${build#zip} BIT - MARDELLIN"
                cmd=("$ROOT/scripts/wine-run" "$exe") ;;
        *) echo "unknown build $build" >&2; return 2 ;;
    esac
    echo "== $build: $exe"
    if [ ! -x "$exe" ] && [ ! -f "$exe" ]; then
        FailRest "$build" "not built: $exe" title
        [ "$build" = deb ] && { Report deb window-identity 0 "not run"; RemoveDeb >/dev/null 2>&1 || true; }
        return 0
    fi

    mkdir -p "$WORK/$build"
    rm -f "$WORK/$build"/shot*
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    start=$(Milliseconds)
    # Its own process group, so a hung program is ended with everything it started.
    setsid "${cmd[@]}" >"$WORK/$build/program.log" 2>&1 </dev/null &
    PROGRAM_PID=$!

    while :; do
        window="$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1 || true)"
        [ -n "$window" ] && break
        now=$(Milliseconds)
        if (( now - start > timeout * 1000 )) || ! kill -0 "$PROGRAM_PID" 2>/dev/null; then break; fi
        sleep 0.1
    done
    if [ -z "$window" ]; then
        local seen
        seen="$(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | tr '\n' '|' || true)"
        xwininfo -root -tree >"$WORK/$build/windows.txt" 2>&1 || true
        if kill -0 "$PROGRAM_PID" 2>/dev/null; then seen="$seen; still running"
        else seen="$seen; ended"; fi
        FailRest "$build" "no window titled \"$title\" after $(( ($(Milliseconds) - start) / 1000 )) s (visible: ${seen:-none}; log $WORK/$build/program.log)" title
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
        PROGRAM_PID=""
        korvelt_stop_tone || true
        return 0
    fi
    Report "$build" title 1 "\"$(xdotool getwindowname "$window")\" after $(( ($(Milliseconds) - start) )) ms"
    if IsNativeBuild "$build"; then
        CheckWindowIdentity "$window"
        Report "$build" window-identity "$OK" "$VALUE"
    fi

    sleep "$SETTLE_SECONDS"
    TakeShots "$build" "$window"

    # Each check passes when it passes on one of the shots; otherwise the last shot speaks.
    declare -A ok=() value=()
    local located=0
    for (( i = 1; i <= SHOTS; i++ )); do
        [ -s "$WORK/$build/shot$i.png" ] || continue
        if (( SCALE > 1 )); then
            # Every SCALE-th pixel: the client area as it would show at scale 1, read by the
            # same checks; and, enlarged again, it must be the screenshot to the pixel.
            convert "$WORK/$build/shot$i.png" -sample "$(( 100 / SCALE ))%" "$WORK/$build/shot$i-reduced.png"
            if [ "${ok[hidpi-blocks]:-0}" = 0 ]; then
                local differ
                convert "$WORK/$build/shot$i-reduced.png" -scale "$(( 100 * SCALE ))%" "$WORK/$build/shot$i-again.png"
                differ="$(compare -metric AE "$WORK/$build/shot$i.png" "$WORK/$build/shot$i-again.png" null: 2>&1 || true)"
                ok[hidpi-blocks]=0; [ "$differ" = 0 ] && ok[hidpi-blocks]=1
                value[hidpi-blocks]="$differ pixels differ from their ${SCALE}x${SCALE} block's"
            fi
            shot_load "$WORK/$build/shot$i-reduced.png"
        else
            shot_load "$WORK/$build/shot$i.png"
        fi
        if (( located == 0 )); then
            if LocateClient "$build"; then located=1; else located=2; fi
            # Where the client area lies in the shots, for the whole-window comparison.
            echo "$CLIENT_X0 $CLIENT_Y0 $(( CLIENT_X1 - CLIENT_X0 + 1 )) $(( CLIENT_Y1 - CLIENT_Y0 + 1 )) $SHOT_W" \
                >"$WORK/$build/client.txt"
            CheckClientSize "$build"
            ok[client-size]=$OK; value[client-size]="$VALUE"
            if (( located == 2 )); then
                value[client-size]="client area not found in the screenshot; ${value[client-size]}"
                ok[client-size]=0
            fi
        fi
        SHOT_OX=$CLIENT_X0; SHOT_OY=$CLIENT_Y0
        IsNativeBuild "$build" && { SHOT_OX=0; SHOT_OY=0; }
        for entry in "${SHOT_CHECKS[@]}"; do
            name="${entry%%:*}"; proc="${entry#*:}"
            [ "${ok[$name]:-0}" = 1 ] && continue
            "$proc"
            ok[$name]=$OK; value[$name]="$VALUE"
        done
    done
    Report "$build" client-size "${ok[client-size]:-0}" "${value[client-size]:-no screenshot}"
    for entry in "${SHOT_CHECKS[@]}"; do
        name="${entry%%:*}"
        Report "$build" "$name" "${ok[$name]:-0}" "${value[$name]:-no screenshot}"
    done
    if (( SCALE > 1 )); then
        Report "$build" hidpi-blocks "${ok[hidpi-blocks]:-0}" "${value[hidpi-blocks]:-no screenshot}"
        # A click at SCALE times the device list's place opens it: its chosen item shows
        # highlighted just below the field.
        local c
        xdotool mousemove --window "$window" $(( 600 * SCALE )) $(( 15 * SCALE )) click 1 2>/dev/null || true
        sleep 0.5
        import -window "$window" "$WORK/$build/open.png" 2>>"$WORK/$build/import.log" || true
        if [ -s "$WORK/$build/open.png" ]; then
            convert "$WORK/$build/open.png" -sample "$(( 100 / SCALE ))%" "$WORK/$build/open-reduced.png"
            shot_load "$WORK/$build/open-reduced.png"
            # Right of the item's text.
            c="$(shot_pixel 730 33)"
            if [ "$c" = "$HIGHLIGHT" ]; then Report "$build" hidpi-click 1 "list open after a click at ($(( 600 * SCALE )),$(( 15 * SCALE )))"
            else Report "$build" hidpi-click 0 "client (730,33) is $c after the click, want $HIGHLIGHT (the open list)"; fi
        else
            Report "$build" hidpi-click 0 "no screenshot"
        fi
        # Closed again, and the focus back on the window (a click on its background), so
        # Escape reaches it.
        xdotool mousemove --window "$window" $(( 600 * SCALE )) $(( 15 * SCALE )) click 1 2>/dev/null || true
        sleep 0.2
        xdotool mousemove --window "$window" $(( 395 * SCALE )) $(( 290 * SCALE )) click 1 2>/dev/null || true
        sleep 0.2
    fi

    CheckEscapeExit "$build" "$window"
    korvelt_stop_tone || true
    if [ -n "$RESOURCE_HOLDER_PID" ]; then
        xrdb -remove 2>/dev/null || true
        kill "$RESOURCE_HOLDER_PID" 2>/dev/null || true
        wait "$RESOURCE_HOLDER_PID" 2>/dev/null || true
        RESOURCE_HOLDER_PID=""
    fi
    if [ "$build" = deb ]; then
        local log
        if log="$(RemoveDeb)" && ! dpkg-query -W -f='${Status}' korvelt 2>/dev/null | grep -q "ok installed"; then
            Report deb remove 1 "apt-get remove korvelt; /usr/bin/korvelt $( [ -e /usr/bin/korvelt ] && echo "still there" || echo gone)"
        else
            Report deb remove 0 "$log"
        fi
    fi
}

# The native and the win64 shots of the same tone, compared whole; the best pair of shots
# counts (a shot may catch a tick half drawn).
CompareWholeWindow() {
    local a b i best="" best_i=0 result compared differ w h ax ay aw bx by bw bwid bh
    if [ ! -s "$WORK/native/client.txt" ] || [ ! -s "$WORK/win64/client.txt" ]; then
        Report compare whole-window 0 "no screenshots of both native and win64"
        return
    fi
    read -r ax ay w h aw <"$WORK/native/client.txt"
    read -r bx by bwid bh bw <"$WORK/win64/client.txt"
    (( bwid < w )) && w=$bwid
    (( bh < h )) && h=$bh
    for (( i = 1; i <= SHOTS; i++ )); do
        a="$WORK/native/shot$i.txt"; b="$WORK/win64/shot$i.txt"
        [ -s "$a" ] && [ -s "$b" ] || continue
        result="$(compare_windows "$a" "$aw" "$ax" "$ay" "$b" "$bw" "$bx" "$by" "$w" "$h" "$WORK/compare-$i.pbm")"
        if [ -z "$best" ] || (( ${result#* } < ${best#* } )); then best="$result"; best_i=$i; fi
    done
    if [ -z "$best" ]; then Report compare whole-window 0 "no pair of screenshots"; return; fi
    compared="${best% *}"; differ="${best#* }"
    local permille_x100=$(( compared > 0 ? differ * 100000 / compared : 100000 ))
    local text
    text="$(printf '%d of %d compared pixels differ (%d.%02d %%, limit 0.%d %%) over the common client %dx%d, shots %d' \
        "$differ" "$compared" $(( permille_x100 / 1000 )) $(( permille_x100 / 10 % 100 )) "$COMPARE_LIMIT_PERMILLE" "$w" "$h" "$best_i")"
    if (( compared > w * h / 2 && differ * 1000 <= compared * COMPARE_LIMIT_PERMILLE )); then
        Report compare whole-window 1 "$text"
    else
        Report compare whole-window 0 "$text"
    fi
    if (( differ > 0 )); then
        echo "     differing areas (client WxH+X+Y, pixels); mask $WORK/compare-$best_i.pbm:"
        compare_areas "$WORK/compare-$best_i.pbm" | sed 's/^/       /'
    fi
}

# TakeShots BUILD WINDOW: the window's place and size into WIN_X, WIN_Y, WIN_W and WIN_H,
# then SHOTS screenshots of it 0.3 s apart into $WORK/BUILD/shot1.png ...
TakeShots() {
    local build="$1" window="$2" geometry i
    geometry="$(xwininfo -id "$window")"
    WIN_X=$(awk '/Absolute upper-left X/ { print $NF }' <<<"$geometry")
    WIN_Y=$(awk '/Absolute upper-left Y/ { print $NF }' <<<"$geometry")
    WIN_W=$(awk '/^ *Width:/ { print $NF }' <<<"$geometry")
    WIN_H=$(awk '/^ *Height:/ { print $NF }' <<<"$geometry")
    for (( i = 1; i <= SHOTS; i++ )); do
        import -window "$window" "$WORK/$build/shot$i.png" 2>>"$WORK/$build/import.log" || true
        sleep 0.3
    done
}

# CheckEscapeExit BUILD WINDOW: focuses the window, presses Escape and gives the program
# (PROGRAM_PID) one second to end with exit code 0; reports escape-exit.
CheckEscapeExit() {
    local build="$1" window="$2" start elapsed status
    xdotool windowfocus "$window" 2>/dev/null || true
    sleep 0.2
    xdotool key Escape 2>/dev/null || true
    start=$(Milliseconds)
    while kill -0 "$PROGRAM_PID" 2>/dev/null && (( $(Milliseconds) - start < 1000 )); do
        sleep 0.02
    done
    elapsed=$(( $(Milliseconds) - start ))
    if kill -0 "$PROGRAM_PID" 2>/dev/null; then
        Report "$build" escape-exit 0 "still running 1 s after Escape"
        kill -- -"$PROGRAM_PID" 2>/dev/null || true
        wait "$PROGRAM_PID" 2>/dev/null || true
    else
        status=0
        wait "$PROGRAM_PID" || status=$?
        if [ "$status" = 0 ]; then Report "$build" escape-exit 1 "exit code 0 after $elapsed ms"
        else Report "$build" escape-exit 0 "exit code $status after $elapsed ms"; fi
    fi
    PROGRAM_PID=""
}

# RunOnServer SERVER BUILD...: starts the sound server (pulseaudio or pipewire) with the null
# sink, runs each build's checks and faults on it, and stops it again.
RunOnServer() {
    local server="$1" build t0
    shift
    t0=$(Milliseconds)
    echo "== sound server: $server"
    if ! korvelt_start_server "$server" "$SINK"; then
        for build in "$@"; do Report "$build" sound-server 0 "$server did not start"; done
        korvelt_stop_server || true
        return 0
    fi
    mkdir -p "$WORK"
    sox -q -n -r 44100 -b 16 -c 2 "$WORK/tone.wav" synth 40 sine "$TONE_HZ" sine "$TONE_HZ" \
        remix "1v$LEFT_AMPLITUDE" "2v$RIGHT_AMPLITUDE"
    for build in "$@"; do
        case "$build" in
            win64-hidpi|win64-144) RunWineDpi "$build"; continue ;;
        esac
        if ! IsNativeBuild "$build" && [ "$USED_WINE" = 0 ]; then
            USED_WINE=1
            # A Wine session started earlier without this display would keep its null desktop.
            WINEPREFIX="$KORVELT_WINEPREFIX" wineserver -k >/dev/null 2>&1 || true
            # With no window manager, Wine must draw its own frames: a managed window waits two
            # seconds for a manager that never answers each time it is hidden.
            KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" reg add 'HKCU\Software\Wine\X11 Driver' \
                /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
        fi
        if ! IsNativeBuild "$build"; then export KORVELT_WINE_DISPLAY=1; fi
        # On PipeWire the native program runs as under SDL's own PipeWire audio driver (the
        # choice of newer SDL): the list must still hold the monitors and meter one, as the
        # program records through the sound server's client whatever SDL's driver is.
        if [ "$server" = pipewire ] && IsNativeBuild "$build"; then export SDL_AUDIODRIVER=pipewire
        else unset SDL_AUDIODRIVER; fi
        rm -f "$WORK/$build/client.txt"
        RunBuild "$build"
        RunFaults "$build"
    done
    unset SDL_AUDIODRIVER
    korvelt_stop_server || true
    echo "== sound server: $server, $(( ($(Milliseconds) - t0) / 1000 )) s"
}

# ---- main ----

BUILDS=("$@")
[ ${#BUILDS[@]} -gt 0 ] || BUILDS=(native native-hidpi win64 win64-hidpi win64-144 win32)
ON_PULSEAUDIO=()
ON_PIPEWIRE=()
for build in "${BUILDS[@]}"; do
    case "$build" in
        *@pipewire) ON_PIPEWIRE+=("${build%@pipewire}") ;;
        *) ON_PULSEAUDIO+=("$build") ;;
    esac
done
E2E_ROOT="$WORK"
mkdir -p "$WORK"

# Room for the scale-2 windows (native 1600 x 1440 at 50, 100; the Windows build's frame
# around 1588 x 1390 at 100, 200).
korvelt_start_xvfb 1920x1700x24 || { echo "e2e: no X display" >&2; exit 1; }

if [ ${#ON_PULSEAUDIO[@]} -gt 0 ]; then
    RunOnServer pulseaudio "${ON_PULSEAUDIO[@]}"
    if [[ " ${ON_PULSEAUDIO[*]} " == *" native "* ]] && [[ " ${ON_PULSEAUDIO[*]} " == *" win64 "* ]]; then
        CompareWholeWindow
    fi
    if [[ " ${ON_PULSEAUDIO[*]} " == *" native-hidpi "* ]] && [[ " ${ON_PULSEAUDIO[*]} " == *" win64-hidpi "* ]]; then
        CompareWholeWindowAtScale2
    fi
fi
if [ ${#ON_PIPEWIRE[@]} -gt 0 ]; then
    WORK="$E2E_ROOT/pipewire"
    SERVER_TAG=pipewire
    RunOnServer pipewire "${ON_PIPEWIRE[@]}"
    WORK="$E2E_ROOT"
    SERVER_TAG=""
fi

echo "e2e: $PASSED passed, $FAILED failed, $PENDING pending"
[ "$FAILED" = 0 ]
