# The whole-window comparison for the end-to-end checks (source it from bash, after shot.sh):
# the same steady tone as the native build and the win64 build under Wine show it, compared
# pixel by pixel over the client area both have. Left out: text, whose glyphs come from two
# different rasterisers; the device list, a control each window system draws itself; the
# history strip, which depends on how many ticks ran; and the scope traces, which show
# whatever phase of the tone the newest block caught (only pixels where either shot has
# the trace colour; the grid and the black around the traces are compared).

# Rectangles left out, "x y w h" in client pixels. The meter texts repeat 255 pixels lower
# on the right-channel meter.
COMPARE_TEXT_RECTS=()
for dy in 0 255; do
    COMPARE_TEXT_RECTS+=(
        "419 $(( 151 + dy )) 13 5"     # "-" at the left end of the scale
        "440 $(( 98 + dy )) 17 17"     # scale numbers along the arc, left to right: 20
        "484 $(( 71 + dy )) 16 16"     # 10
        "540 $(( 55 + dy )) 10 14"     # 5
        "575 $(( 53 + dy )) 10 13"     # 3
        "595 $(( 54 + dy )) 10 14"     # 2
        "617 $(( 58 + dy )) 10 13"     # 1
        "642 $(( 64 + dy )) 11 13"     # 0
        "669 $(( 75 + dy )) 11 14"     # 1
        "696 $(( 92 + dy )) 13 14"     # 2
        "724 $(( 116 + dy )) 13 13"    # 3
        "731 $(( 147 + dy )) 12 12"    # "+" at the right end
        "553 $(( 155 + dy )) 54 14"    # caption LEFT / RIGHT
        "532 $(( 176 + dy )) 84 14"    # maker's name under it
    )
done
COMPARE_TEXT_RECTS+=(
    "33 561 420 17"                    # level bar labels above the upper bar
    "33 654 420 17"                    # and below the lower bar
    "548 5 204 24"                     # the device list (a system control, with text)
)
COMPARE_HISTORY_RECT="460 540 288 144"
COMPARE_SCOPE_RECTS=("38 50 340 225" "38 305 340 225")
COMPARE_TRACE="10,221,10"
COMPARE_LIMIT_PERMILLE=5               # at most 0.5 % of the compared pixels may differ

# compare_windows A_TXT A_W A_OX A_OY B_TXT B_W B_OX B_OY W H MASK_PBM: compares the W x H
# client areas of two screenshots (pixel lists as shot_load writes them, image width, where
# client (0, 0) lies). Prints "compared differing"; writes the differing pixels as a PBM.
compare_windows() {
    local rects="" r
    for r in "${COMPARE_TEXT_RECTS[@]}" "$COMPARE_HISTORY_RECT"; do rects="$rects;$r"; done
    local scopes=""
    for r in "${COMPARE_SCOPE_RECTS[@]}"; do scopes="$scopes;$r"; done
    awk -v aw="$2" -v aox="$3" -v aoy="$4" -v bw="$6" -v box="$7" -v boy="$8" -v w="$9" -v h="${10}" \
        -v rects="${rects#;}" -v scopes="${scopes#;}" -v trace="$COMPARE_TRACE" -v pbm="${11}" '
        function InRects(list, n, x, y,   k) {
            for (k = 1; k <= n; k++)
                if (x >= list[k, 0] && x < list[k, 0] + list[k, 2] && y >= list[k, 1] && y < list[k, 1] + list[k, 3])
                    return 1
            return 0
        }
        function Parse(text, list,   parts, n, k, f) {
            n = split(text, parts, ";")
            for (k = 1; k <= n; k++) {
                split(parts[k], f, " ")
                list[k, 0] = f[1]; list[k, 1] = f[2]; list[k, 2] = f[3]; list[k, 3] = f[4]
            }
            return n
        }
        BEGIN {
            nr = Parse(rects, rect); ns = Parse(scopes, scope)
            for (r = 1; r <= nr; r++)
                for (y = rect[r, 1]; y < rect[r, 1] + rect[r, 3]; y++)
                    for (x = rect[r, 0]; x < rect[r, 0] + rect[r, 2]; x++) skip[y * w + x] = 1
        }
        FNR == NR {
            i = NR - 1; x = i % aw - aox; y = int(i / aw) - aoy
            if (x >= 0 && y >= 0 && x < w && y < h) a[y * w + x] = $0
            next
        }
        {
            i = FNR - 1; x = i % bw - box; y = int(i / bw) - boy
            if (x < 0 || y < 0 || x >= w || y >= h) next
            k = y * w + x
            if (k in skip) next
            if (($0 == trace || a[k] == trace) && InRects(scope, ns, x, y)) next
            compared++
            if (a[k] != $0) { differ++; mask[k] = 1 }
        }
        END {
            print "P1" > pbm; print w, h > pbm
            for (y = 0; y < h; y++) {
                line = ""
                for (x = 0; x < w; x++) line = line ((y * w + x) in mask ? "1 " : "0 ")
                print line > pbm
            }
            close(pbm)
            print compared + 0, differ + 0
        }' "$1" "$5"
}

# compare_areas MASK_PBM: the bounding boxes of the differing areas, "WxH+X+Y N pixels",
# largest first (pixels closer than 3 apart count as one area).
compare_areas() {
    convert "$1" -negate -morphology Dilate Square:1 -define connected-components:verbose=true \
        -connected-components 8 null: 2>/dev/null |
        awk 'NR > 1 && ($NF ~ /255/ || $NF ~ /white/) { print $2, $4 }' | sort -k2 -nr | head -n 20 |
        while read -r box area; do
            local bw="${box%%x*}" rest="${box#*x}" bh bx by
            bh="${rest%%+*}"; rest="${rest#*+}"; bx="${rest%%+*}"; by="${rest#*+}"
            # Undo the one-pixel dilation for the reported box.
            printf '%dx%d+%d+%d ' $(( bw - 2 )) $(( bh - 2 )) $(( bx + 1 )) $(( by + 1 ))
            convert "$1" -crop "$(( bw - 2 ))x$(( bh - 2 ))+$(( bx + 1 ))+$(( by + 1 ))" +repage \
                -format '%[fx:round((1-mean)*w*h)] px\n' info: 2>/dev/null
        done
}
