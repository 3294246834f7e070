#!/usr/bin/env python3
# Draws korvelt's program icon (res/korvelt.ico): a 32 x 32, 24-bit picture of a grey round
# face with headphones and dark glasses on a light blue ground. Run it again after a change;
# the .ico it writes is kept in the tree so the build itself needs no Python.
import math
import os
import struct

SIZE = 32
SAMPLES = 4  # sub-pixels per side, for smooth edges

GROUND = (176, 214, 242)
FACE = (150, 150, 156)
FACE_SHADE = (118, 118, 124)
PHONES = (40, 40, 48)
CUPS = (64, 64, 74)
GLASSES = (16, 16, 20)
GLINT = (120, 140, 170)
MOUTH = (70, 60, 64)


def Inside(x, y):
    """Colour of the point (x, y) in icon pixels; later shapes lie over earlier ones."""
    colour = GROUND
    cx, cy = 16.0, 17.5
    # Headphone band: a thick arc over the top of the head.
    d = math.hypot(x - cx, y - cy)
    if 12.0 <= d <= 14.2 and y < cy:
        colour = PHONES
    # Face, slightly shaded towards the lower right.
    if d <= 11.0:
        colour = FACE_SHADE if (x - cx) + (y - cy) > 9.0 else FACE
    # Ear cups on both sides.
    for side in (-1, 1):
        ex = cx + side * 12.2
        if abs(x - ex) <= 2.6 and abs(y - (cy + 0.5)) <= 5.0:
            r = 1.6
            qx = max(abs(x - ex) - (2.6 - r), 0.0)
            qy = max(abs(y - (cy + 0.5)) - (5.0 - r), 0.0)
            if qx * qx + qy * qy <= r * r:
                colour = CUPS
    # Dark glasses: two rounded lenses and a bridge.
    for side in (-1, 1):
        lx, ly = cx + side * 4.4, cy - 1.5
        if ((x - lx) / 3.9) ** 2 + ((y - ly) / 2.9) ** 2 <= 1.0:
            colour = GLASSES
            if ((x - (lx - 1.4)) / 1.0) ** 2 + ((y - (ly - 1.1)) / 0.6) ** 2 <= 1.0:
                colour = GLINT
    if abs(x - cx) <= 1.2 and abs(y - (cy - 2.4)) <= 0.6:
        colour = GLASSES
    # A small closed smile.
    md = math.hypot(x - cx, y - (cy + 1.0))
    if 5.2 <= md <= 6.3 and y > cy + 4.4 and abs(x - cx) < 3.6:
        colour = MOUTH
    return colour


def Render():
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            total = [0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = Inside(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    for i in range(3):
                        total[i] += c[i]
            n = SAMPLES * SAMPLES
            row.append(tuple((t + n // 2) // n for t in total))
        rows.append(row)
    return rows


def IcoBytes(rows):
    # One image: BITMAPINFOHEADER (height doubled for the mask), bottom-up BGR rows, then an
    # all-zero AND mask (every pixel opaque), rows padded to 4 bytes.
    pixels = b"".join(bytes(v for (r, g, b) in row for v in (b, g, r)) for row in reversed(rows))
    mask = bytes(4 * SIZE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    image = header + pixels + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "korvelt.ico")
    with open(out, "wb") as f:
        f.write(IcoBytes(Render()))
