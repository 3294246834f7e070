# The Windows build on high-DPI desktops, sourced by e2e.sh (it uses its Report, screenshot
# checks and whole-window comparison). Wine reads the desktop's dpi from
# HKCU\Control Panel\Desktop LogPixels; a prefix of its own (KORVELT_WINEPREFIX-dpi) is set to
# each dpi in turn, so the other runs keep their 96.
#   win64-hidpi  LogPixels 192: the program makes itself per-monitor aware and shows at scale 2.
#                The frame sits at twice (50, 100); the client area is exactly twice the one the
#                800 x 720 frame leaves at 96 dpi; below the toolbar every client pixel is a 2 x 2
#                block; the client area reduced to every second pixel passes every window check
#                of the scale-1 run; a click at twice the device list's position opens it; its
#                text and needles match the native build's at scale 2 (native-hidpi) outside
#                glyph edges.
#   win64-144    LogPixels 144, no whole-number scale: the program stays unaware and Wine shows
#                it unscaled, so the window must be today's 800 x 720 frame at (50, 100) with
#                today's text sizes (the scale-1 run's text to the glyph edge).
WINE_DPI_CHECK_NAMES=(title client-size hidpi-blocks background scope-frames device-list scope-grid scope-trace
                      level-bars meters history-graph hidpi-click text-sizes escape-exit)
# The client area the 800 x 720 frame leaves at 96 dpi under Wine (3-pixel borders, a 22-pixel
# caption), when there is no scale-1 run to read it from.
WINE_CLIENT_96="794 695"
# The device list's text, left of its drop-down button.
WINE_LIST_TEXT_RECT="550 7 160 20"

# WineDpiPrefix DPI: the prefix's desktop at DPI, taking effect for the next program.
WineDpiPrefix() {
    local prefix="$KORVELT_WINEPREFIX-dpi"
    KORVELT_WINEPREFIX="$prefix" KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" reg add \
        'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1 || true
    KORVELT_WINEPREFIX="$prefix" KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" reg add \
        'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 || true
    WineDpiStop
}

WineDpiStop() {
    WINEPREFIX="$KORVELT_WINEPREFIX-dpi-display" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$KORVELT_WINEPREFIX-dpi-display" wineserver -w >/dev/null 2>&1 || true
}

# compare_text_areas A_TXT A_W A_OX A_OY B_TXT B_W B_OX B_OY LIST [SLACK]: the text areas of two
# shots at scale 1 (compare.sh's COMPARE_TEXT_RECTS, the device list last: with LIST "skip" it
# is left out, with "text" only the part left of its button counts, whose width is the
# system's). In each row of an area the background is the colour most of that row has in A (the
# meter faces are gradients, one colour a row); ink is any other colour. Prints "inked stray
# areas off": how many pixels are ink in either shot; how many are ink in one shot with no ink
# in the other within one pixel; how many areas there are, and in how many the box around the
# ink differs by more than SLACK pixels (1) on a side between the shots (text of another size or
# place). Glyph edges may differ (two rasterisers); everything else is background in both.
compare_text_areas() {
    local rects="" r i=0
    for r in "${COMPARE_TEXT_RECTS[@]}"; do
        i=$(( i + 1 ))
        if (( i == ${#COMPARE_TEXT_RECTS[@]} )); then
            [ "${9}" = skip ] && continue
            [ "${9}" = text ] && r="$WINE_LIST_TEXT_RECT"
        fi
        rects="$rects;$r"
    done
    awk -v aw="$2" -v aox="$3" -v aoy="$4" -v bw="$6" -v box="$7" -v boy="$8" -v rects="${rects#;}" \
        -v slack="${10:-1}" '
        BEGIN {
            n = split(rects, parts, ";")
            for (k = 1; k <= n; k++) {
                split(parts[k], f, " ")
                for (y = f[2]; y < f[2] + f[4]; y++)
                    for (x = f[1]; x < f[1] + f[3]; x++) want[x "," y] = k
                rx[k] = f[1]; ry[k] = f[2]; rw[k] = f[3]; rh[k] = f[4]
            }
        }
        FNR == NR {
            i = NR - 1; x = i % aw - aox; y = int(i / aw) - aoy
            if ((x "," y) in want) { a[x "," y] = $0; count[want[x "," y] "," y, $0]++ }
            next
        }
        {
            i = FNR - 1; x = i % bw - box; y = int(i / bw) - boy
            if ((x "," y) in want) b[x "," y] = $0
        }
        function Ink(image, x, y,   q) {
            q = x "," y
            if (!(q in want)) return 0
            return (image == 1 ? a[q] : b[q]) != bg[want[q] "," y]
        }
        END {
            for (key in count) {
                split(key, kk, SUBSEP)
                if (count[key] > best[kk[1]]) { best[kk[1]] = count[key]; bg[kk[1]] = kk[2] }
            }
            for (k = 1; k <= n; k++) {
                ax0 = bx0 = ay0 = by0 = 1e9; ax1 = bx1 = ay1 = by1 = -1
                for (y = ry[k]; y < ry[k] + rh[k]; y++)
                    for (x = rx[k]; x < rx[k] + rw[k]; x++) {
                        inkA = Ink(1, x, y); inkB = Ink(2, x, y)
                        if (inkA) { if (x < ax0) ax0 = x; if (x > ax1) ax1 = x; if (y < ay0) ay0 = y; if (y > ay1) ay1 = y }
                        if (inkB) { if (x < bx0) bx0 = x; if (x > bx1) bx1 = x; if (y < by0) by0 = y; if (y > by1) by1 = y }
                        if (!inkA && !inkB) continue
                        inked++
                        nearA = 0; nearB = 0
                        for (dy = -1; dy <= 1; dy++)
                            for (dx = -1; dx <= 1; dx++) {
                                if (Ink(1, x + dx, y + dy)) nearA = 1
                                if (Ink(2, x + dx, y + dy)) nearB = 1
                            }
                        if ((inkA && !nearB) || (inkB && !nearA)) stray++
                    }
                if ((ax1 < 0) != (bx1 < 0) || Apart(ax0, bx0) || Apart(ax1, bx1) || Apart(ay0, by0) || Apart(ay1, by1))
                    off++
            }
            print inked + 0, stray + 0, n, off + 0
        }
        function Apart(p, q) { return p - q > slack || q - p > slack }' "$1" "$5"
}

# WineDpiTextCheck BUILD OTHER_TXT OTHER_W OTHER_OX OTHER_OY SKIP_LIST STRAY_PERMILLE SLACK WHAT:
# the text sizes check of the shots of BUILD (client<i>.txt at scale 1) against another run's
# shot: every text area's ink within SLACK pixels of the other's box, and at most
# STRAY_PERMILLE of the ink away from the other's glyphs.
WineDpiTextCheck() {
    local build="$1" i best="" result what="$9" inked stray areas off
    for (( i = 1; i <= SHOTS; i++ )); do
        [ -s "$WORK/$build/client$i.txt" ] || continue
        result="$(compare_text_areas "$2" "$3" "$4" "$5" "$WORK/$build/client$i.txt" "$WINE_DPI_W1" 0 0 "$6" "$8")"
        read -r inked stray areas off <<<"$result"
        if [ -z "$best" ] || (( off * 100000 + stray < ${best##* } )); then best="$result $(( off * 100000 + stray ))"; fi
    done
    if [ -z "$best" ]; then Report "$build" text-sizes 0 "no screenshot"; return; fi
    read -r inked stray areas off _ <<<"$best"
    OK=0; (( off == 0 && inked > 500 && stray * 1000 <= inked * $7 )) && OK=1
    Report "$build" text-sizes "$OK" "$off of $areas text areas inked otherwise than $what's (ink boxes within $8 px; want 0); $stray of $inked text pixels away from its glyphs (limit $7 per mille)"
}

# WineDpiLaunch BUILD EXE TITLE: starts the program in the dpi prefix; sets PROGRAM_PID and
# WINE_DPI_WINDOW. False, with the program ended, when no window shows within 40 s.
WineDpiLaunch() {
    local start window=""
    start=$(Milliseconds)
    KORVELT_WINEPREFIX="$KORVELT_WINEPREFIX-dpi" KORVELT_WINE_DISPLAY=1 \
        setsid "$ROOT/scripts/wine-run" "$2" >>"$WORK/$1/program.log" 2>&1 </dev/null &
    PROGRAM_PID=$!
    while :; do
        window="$(xdotool search --onlyvisible --name "^${3}\$" 2>/dev/null | head -n1 || true)"
        [ -n "$window" ] && break
        if (( $(Milliseconds) - start > 40000 )) || ! kill -0 "$PROGRAM_PID" 2>/dev/null; then break; fi
        sleep 0.1
    done
    WINE_DPI_WINDOW="$window"
    [ -n "$window" ] && return 0
    kill -- -"$PROGRAM_PID" 2>/dev/null || true
    wait "$PROGRAM_PID" 2>/dev/null || true
    PROGRAM_PID=""
    return 1
}

# RunWineDpi BUILD: one run of win64 on a desktop of the build's dpi.
RunWineDpi() {
    local build="$1" dpi scale exe title window="" start i name proc entry
    exe="${KORVELT_WIN64_EXE:-$ROOT/build/win64/korvelt.exe}"
    title="KORVELT - BETA2 - 64 BIT - MARDELLIN"
    case "$build" in
        win64-hidpi) dpi=192; scale=2 ;;
        win64-144) dpi=144; scale=1 ;;
        *) echo "unknown build $build" >&2; return 2 ;;
    esac
    echo "== $build: $exe at $dpi dpi"
    if [ ! -f "$exe" ]; then
        for name in "${WINE_DPI_CHECK_NAMES[@]}"; do Report "$build" "$name" 0 "not built: $exe"; done
        return 0
    fi
    mkdir -p "$WORK/$build"
    rm -f "$WORK/$build"/shot* "$WORK/$build"/client* "$WORK/$build"/open* "$WORK/$build/program.log"
    USED_WINE=1
    WineDpiPrefix "$dpi"
    korvelt_play_tone "$WORK/tone.wav" "$SINK" || true
    start=$(Milliseconds)
    if ! WineDpiLaunch "$build" "$exe" "$title"; then
        for name in "${WINE_DPI_CHECK_NAMES[@]}"; do
            Report "$build" "$name" 0 "no window titled \"$title\" (log $WORK/$build/program.log)"
        done
        korvelt_stop_tone || true
        WineDpiStop
        return 0
    fi
    window="$WINE_DPI_WINDOW"
    Report "$build" title 1 "\"$(xdotool getwindowname "$window")\" after $(( $(Milliseconds) - start )) ms"

    sleep "$SETTLE_SECONDS"
    TakeShots "$build" "$window"

    # The client area at scale 1, as the scale-1 run of the same build showed it.
    local w1 h1
    read -r w1 h1 <<<"$WINE_CLIENT_96"
    if [ -s "$WORK/win64/client.txt" ]; then read -r _ _ w1 h1 _ <"$WORK/win64/client.txt"; fi
    declare -A ok=() value=()
    local located=0 cx0=0 cy0=0 cw=0 ch=0
    for (( i = 1; i <= SHOTS; i++ )); do
        [ -s "$WORK/$build/shot$i.png" ] || continue
        shot_load "$WORK/$build/shot$i.png"
        if (( located == 0 )); then
            located=2
            if LocateScaledClient "$scale" $(( 6 * scale )); then
                located=1
                cx0=$CLIENT_X0; cy0=$CLIENT_Y0
                cw=$(( CLIENT_X1 - CLIENT_X0 + 1 )); ch=$(( CLIENT_Y1 - CLIENT_Y0 + 1 ))
            fi
            local left=$cx0 right=$(( SHOT_W - cx0 - cw )) bottom=$(( SHOT_H - cy0 - ch ))
            local want_x=$(( 50 * scale )) want_y=$(( 100 * scale ))
            ok[client-size]=0
            if (( scale > 1 )); then
                (( located == 1 && cw == scale * w1 && ch == scale * h1 && WIN_X == want_x && WIN_Y == want_y &&
                   left == right && left == bottom && WIN_W == cw + 2 * left )) && ok[client-size]=1
                value[client-size]="client ${cw}x${ch} (want $(( scale * w1 ))x$(( scale * h1 )), ${scale} x the ${w1}x${h1} at 96 dpi); frame ${WIN_W}x${WIN_H} at ($WIN_X,$WIN_Y) (want ($want_x,$want_y)); borders left $left right $right bottom $bottom"
            else
                # Unaware: the frame the program asked for; Wine draws its caption for the dpi.
                (( located == 1 && WIN_W == 800 && WIN_H == 720 && WIN_X == 50 && WIN_Y == 100 &&
                   left == right && left == bottom && cw == w1 )) && ok[client-size]=1
                value[client-size]="frame ${WIN_W}x${WIN_H} at ($WIN_X,$WIN_Y) (want 800x720 at (50,100)); client ${cw}x${ch} (want ${w1} wide)"
            fi
            (( located == 2 )) && value[client-size]="client area not found in the screenshot; ${value[client-size]}"
            WINE_DPI_W1=$(( cw / scale ))
        fi
        (( located == 1 )) || continue
        # The client area at scale 1: every scale-th pixel.
        convert "$WORK/$build/shot$i.png" -crop "${cw}x${ch}+${cx0}+${cy0}" +repage "$WORK/$build/client$i-full.png"
        if (( scale > 1 )); then
            convert "$WORK/$build/client$i-full.png" -sample "$(( 100 / scale ))%" "$WORK/$build/client$i.png"
            if [ "${ok[hidpi-blocks]:-0}" = 0 ]; then
                # Below the toolbar (the system draws it and its list at the real dpi, crisp),
                # enlarged again, it must be the screenshot to the pixel.
                local band=$(( 28 * scale )) differ
                convert "$WORK/$build/client$i-full.png" -crop "${cw}x$(( ch - band ))+0+${band}" +repage \
                    "$WORK/$build/blocks$i.png"
                convert "$WORK/$build/blocks$i.png" -sample "$(( 100 / scale ))%" -scale "$(( 100 * scale ))%" \
                    "$WORK/$build/blocks$i-again.png"
                differ="$(compare -metric AE "$WORK/$build/blocks$i.png" "$WORK/$build/blocks$i-again.png" null: 2>&1 || true)"
                ok[hidpi-blocks]=0; [ "$differ" = 0 ] && ok[hidpi-blocks]=1
                value[hidpi-blocks]="$differ of $(( cw * (ch - band) )) client pixels below the toolbar differ from their ${scale}x${scale} block's"
            fi
        else
            cp "$WORK/$build/client$i-full.png" "$WORK/$build/client$i.png"
        fi
        shot_load "$WORK/$build/client$i.png"
        SHOT_OX=0; SHOT_OY=0
        for entry in "${SHOT_CHECKS[@]}"; do
            name="${entry%%:*}"; proc="${entry#*:}"
            # At 144 dpi Wine's caption takes 9 more rows of the frame: the background rows
            # below the history graph (y 688) are not in the client area.
            (( scale == 1 )) && [ "$name" = background ] && continue
            [ "${ok[$name]:-0}" = 1 ] && continue
            "$proc"
            ok[$name]=$OK; value[$name]="$VALUE"
        done
    done
    Report "$build" client-size "${ok[client-size]:-0}" "${value[client-size]:-no screenshot}"
    (( scale > 1 )) && Report "$build" hidpi-blocks "${ok[hidpi-blocks]:-0}" "${value[hidpi-blocks]:-no screenshot}"
    for entry in "${SHOT_CHECKS[@]}"; do
        name="${entry%%:*}"
        (( scale == 1 )) && [ "$name" = background ] && continue
        Report "$build" "$name" "${ok[$name]:-0}" "${value[$name]:-no screenshot}"
    done

    # Text at the sizes the scale-1 run shows it: at scale 2 the native build's at scale 2 (this
    # build's at 96 dpi when the native build did not run), at 144 dpi this build's at 96 dpi.
    if (( scale > 1 )) && [ -s "$WORK/native-hidpi/shot1-reduced.txt" ]; then
        # Two rasterisers: the glyphs may differ by a pixel here and there, and the small
        # turned scale numbers by two (one smooths them, the other does not).
        WineDpiTextCheck "$build" "$WORK/native-hidpi/shot1-reduced.txt" 800 0 0 skip 50 2 "the native build at scale 2"
    elif [ -s "$WORK/win64/shot1.txt" ] && [ -s "$WORK/win64/client.txt" ]; then
        local ax ay aw _h wid
        read -r ax ay _ _h wid <"$WORK/win64/client.txt"
        # The same rasteriser and fonts; at scale 2 the list's text is drawn twice the size.
        local list=text
        (( scale > 1 )) && list=skip
        WineDpiTextCheck "$build" "$WORK/win64/shot1.txt" "$wid" "$ax" "$ay" "$list" 0 0 "the 96-dpi run"
    else
        Report "$build" text-sizes 0 "no screenshot of native-hidpi or of win64 at 96 dpi to compare with (run one first)"
    fi

    CheckEscapeExit "$build" "$window"
    # A click at twice the device list's place opens it: its chosen item shows highlighted
    # just below the field. A run of its own: the list keeps the keyboard afterwards (on
    # Windows a click on the window's background does not take it back), so Escape would
    # not reach the window. The open list is a window of its own: read from the screen.
    if (( scale > 1 )) && (( located == 1 )); then
        local c highlight
        # The chosen item in the desktop's highlight colour.
        highlight="$(KORVELT_WINEPREFIX="$KORVELT_WINEPREFIX-dpi" KORVELT_WINE_DISPLAY=1 "$ROOT/scripts/wine-run" reg query \
            'HKCU\Control Panel\Colors' /v Hilight 2>/dev/null | tr -d '\r' | awk '$1 == "Hilight" { print $3 "," $4 "," $5 }')"
        [ -n "$highlight" ] || highlight="$HIGHLIGHT"
        if WineDpiLaunch "$build" "$exe" "$title"; then
            window="$WINE_DPI_WINDOW"
            sleep "$SETTLE_SECONDS"
            xdotool mousemove --window "$window" $(( cx0 + 600 * scale )) $(( cy0 + 15 * scale )) click 1 2>/dev/null || true
            sleep 0.5
            import -window root -crop "${cw}x${ch}+$(( WIN_X + cx0 ))+$(( WIN_Y + cy0 ))" +repage "$WORK/$build/open.png" \
                2>>"$WORK/$build/import.log" || true
            if [ -s "$WORK/$build/open.png" ]; then
                convert "$WORK/$build/open.png" -sample "$(( 100 / scale ))%" "$WORK/$build/open-client.png"
                shot_load "$WORK/$build/open-client.png"
                SHOT_OX=0; SHOT_OY=0
                c="$(shot_pixel 730 33)"
                if [ "$c" = "$highlight" ]; then Report "$build" hidpi-click 1 "list open after a click at client ($(( 600 * scale )),$(( 15 * scale )))"
                else Report "$build" hidpi-click 0 "client (730,33) is $c after the click, want $highlight (the open list)"; fi
            else
                Report "$build" hidpi-click 0 "no screenshot"
            fi
            kill -- -"$PROGRAM_PID" 2>/dev/null || true
            wait "$PROGRAM_PID" 2>/dev/null || true
            PROGRAM_PID=""
        else
            Report "$build" hidpi-click 0 "no window for the click"
        fi
    fi
    korvelt_stop_tone || true
    WineDpiStop
}

# The native build and the Windows build at scale 2, compared whole as at scale 1 (the
# client areas reduced to every second pixel; both are checked to be 2 x 2 blocks).
CompareWholeWindowAtScale2() {
    local i best="" best_i=0 result w h bw bh
    if [ ! -s "$WORK/native-hidpi/shot1-reduced.txt" ] || [ ! -s "$WORK/win64-hidpi/client1.txt" ]; then
        Report compare-hidpi whole-window 0 "no screenshots of both native-hidpi and win64-hidpi"
        return
    fi
    read -r bw bh < <(identify -format '%w %h\n' "$WORK/win64-hidpi/client1.png" | head -n1)
    w=$(( bw < 800 ? bw : 800 )); h=$(( bh < 720 ? bh : 720 ))
    for (( i = 1; i <= SHOTS; i++ )); do
        [ -s "$WORK/native-hidpi/shot$i-reduced.txt" ] && [ -s "$WORK/win64-hidpi/client$i.txt" ] || continue
        result="$(compare_windows "$WORK/native-hidpi/shot$i-reduced.txt" 800 0 0 "$WORK/win64-hidpi/client$i.txt" \
            "$bw" 0 0 "$w" "$h" "$WORK/compare-hidpi-$i.pbm")"
        if [ -z "$best" ] || (( ${result#* } < ${best#* } )); then best="$result"; best_i=$i; fi
    done
    if [ -z "$best" ]; then Report compare-hidpi whole-window 0 "no pair of screenshots"; return; fi
    local compared="${best% *}" differ="${best#* }"
    local text
    text="$(printf '%d of %d compared pixels differ (limit 0.%d %%) over the common client %dx%d at scale 2, shots %d' \
        "$differ" "$compared" "$COMPARE_LIMIT_PERMILLE" "$w" "$h" "$best_i")"
    if (( compared > w * h / 2 && differ * 1000 <= compared * COMPARE_LIMIT_PERMILLE )); then
        Report compare-hidpi whole-window 1 "$text"
    else
        Report compare-hidpi whole-window 0 "$text"
    fi
    if (( differ > 0 )); then
        echo "     differing areas (client WxH+X+Y, pixels); mask $WORK/compare-hidpi-$best_i.pbm:"
        compare_areas "$WORK/compare-hidpi-$best_i.pbm" | sed 's/^/       /'
    fi
}
