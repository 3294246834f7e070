# Reading a window screenshot at fixed pixels, for the end-to-end checks (source it from bash).
# The PNG is turned into raw RGB once; single pixels come from od, regions from one awk pass.
# Coordinates given to these helpers are client coordinates: SHOT_OX/SHOT_OY say where client
# (0, 0) lies in the screenshot. Colours are written "r,g,b".

SHOT_RAW=""
SHOT_TXT=""
SHOT_W=0
SHOT_H=0
SHOT_OX=0
SHOT_OY=0

# shot_load PNG: makes PNG the screenshot that the other helpers read.
shot_load() {
    local png="$1" size
    size="$(identify -format '%w %h\n' "$png" | head -n1)"
    SHOT_W="${size% *}"
    SHOT_H="${size#* }"
    SHOT_RAW="${png%.png}.rgb"
    SHOT_TXT="${png%.png}.txt"
    convert "$png" -alpha off -depth 8 "rgb:$SHOT_RAW"
    # One pixel per line, in reading order: line number - 1 = y * width + x.
    od -An -v -tu1 -w3 "$SHOT_RAW" | awk '{ print $1 "," $2 "," $3 }' >"$SHOT_TXT"
}

# shot_load_pixels PNG: as shot_load, but only for shot_pixel (no text form for the region
# and row helpers): a fraction of the time, for checks that probe a few pixels often.
shot_load_pixels() {
    local png="$1" size
    size="$(identify -format '%w %h\n' "$png" | head -n1)"
    SHOT_W="${size% *}"
    SHOT_H="${size#* }"
    SHOT_RAW="${png%.png}.rgb"
    SHOT_TXT=""
    convert "$png" -alpha off -depth 8 "rgb:$SHOT_RAW"
}

# shot_pixel X Y: the colour at client (X, Y), or "outside".
shot_pixel() {
    local x=$(( $1 + SHOT_OX )) y=$(( $2 + SHOT_OY ))
    if (( x < 0 || y < 0 || x >= SHOT_W || y >= SHOT_H )); then
        echo outside
        return
    fi
    od -An -tu1 -j $(( (y * SHOT_W + x) * 3 )) -N3 "$SHOT_RAW" | awk '{ print $1 "," $2 "," $3 }'
}

# shot_row_colours X Y STEP COUNT: the colours at client (X, Y), (X + STEP, Y) ... COUNT of
# them, one a line ("outside" where the shot ends); one read for the whole row.
shot_row_colours() {
    local x=$(( $1 + SHOT_OX )) y=$(( $2 + SHOT_OY )) step="$3" count="$4" last
    last=$(( x + step * (count - 1) ))
    if (( y < 0 || y >= SHOT_H || x < 0 || last < x )); then
        for (( ; count > 0; count-- )); do echo outside; done
        return
    fi
    (( last >= SHOT_W )) && last=$(( SHOT_W - 1 ))
    od -An -v -tu1 -w3 -j $(( (y * SHOT_W + x) * 3 )) -N $(( (last - x + 1) * 3 )) "$SHOT_RAW" |
        awk -v step="$step" -v count="$4" '
            (NR - 1) % step == 0 && n < count { print $1 "," $2 "," $3; n++ }
            END { for (; n < count; n++) print "outside" }'
}

# shot_region X Y W H COLOUR: how many pixels of the client rectangle have COLOUR, and the
# bounding box of those pixels: "count min_x max_x min_y max_y" (-1s when there are none).
shot_region() {
    awk -v iw="$SHOT_W" -v ox="$SHOT_OX" -v oy="$SHOT_OY" \
        -v rx="$1" -v ry="$2" -v rw="$3" -v rh="$4" -v colour="$5" '
        BEGIN {
            x0 = rx + ox; y0 = ry + oy; n = 0
            min_x = min_y = 1e9; max_x = max_y = -1
            first = y0 * iw + 1; last = (y0 + rh - 1) * iw + iw
        }
        NR < first { next }
        NR > last { exit }
        {
            i = NR - 1; x = i % iw; y = int(i / iw)
            if (x < x0 || x >= x0 + rw || $0 != colour) next
            n++
            if (x < min_x) min_x = x
            if (x > max_x) max_x = x
            if (y < min_y) min_y = y
            if (y > max_y) max_y = y
        }
        END {
            if (n == 0) print 0, -1, -1, -1, -1
            else print n, min_x - ox, max_x - ox, min_y - oy, max_y - oy
        }' "$SHOT_TXT"
}

# shot_row_span Y COLOUR: first and last x of COLOUR in screenshot row Y (raw image
# coordinates), "-1 -1" when absent.
shot_row_span() {
    awk -v iw="$SHOT_W" -v row="$1" -v colour="$2" '
        BEGIN { first = row * iw + 1; last = first + iw - 1; a = -1; b = -1 }
        NR < first { next }
        NR > last { exit }
        $0 == colour { x = NR - first; if (a < 0) a = x; b = x }
        END { print a, b }' "$SHOT_TXT"
}

# shot_column X: the colours of screenshot column X (raw image coordinates), top to bottom.
shot_column() {
    awk -v iw="$SHOT_W" -v col="$1" '(NR - 1) % iw == col' "$SHOT_TXT"
}

# colour_luma COLOUR: rough brightness, 0 to 255.
colour_luma() {
    local r g b
    IFS=, read -r r g b <<<"$1"
    [ -n "${b:-}" ] || { echo 0; return; }
    echo $(( (r * 299 + g * 587 + b * 114) / 1000 ))
}
