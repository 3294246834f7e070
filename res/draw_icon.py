#!/usr/bin/env python3
# Draws korvelt's program icon (res/korvelt.ico): a 32 x 32, 24-bit picture of a grey round
# face with headphones and dark glasses on a light blue ground. The same shapes also give the
# desktop's icon theme its sizes (res/icons/hicolor/NxN/apps/korvelt.png, 16 to 256) and a
# scalable SVG drawn from the same figures. Run it again after a change; what it writes is
# kept in the tree so the build itself needs no Python.
import math
import os
import struct
import zlib

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


def Render(size=SIZE):
    """The icon as rows of (r, g, b), size x size pixels; the figures scale with it."""
    scale = SIZE / size
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = Inside((px + (sx + 0.5) / SAMPLES) * scale, (py + (sy + 0.5) / SAMPLES) * scale)
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


def PngBytes(rows):
    # 8-bit RGB, no filter on any row.
    size = len(rows)

    def Chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + bytes(v for pixel in row for v in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + Chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)) +
            Chunk(b"IDAT", zlib.compress(raw, 9)) + Chunk(b"IEND", b""))


def Hex(colour):
    return "#%02x%02x%02x" % colour


def Svg():
    """The figures of Inside() as vector shapes on the same 32 x 32 grid, in the same order."""
    cx, cy = 16.0, 17.5
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" width="32" height="32" viewBox="0 0 32 32">',
           "<defs>",
           # Only the upper half of the band; the shaded part of the face; the smile's window.
           '<clipPath id="upper"><rect x="0" y="0" width="32" height="%g"/></clipPath>' % cy,
           '<clipPath id="shade"><polygon points="%g,32 32,32 32,%g"/></clipPath>' % (cx + cy + 9.0 - 32, cx + cy + 9.0 - 32),
           '<clipPath id="smile"><rect x="%g" y="%g" width="%g" height="%g"/></clipPath>'
           % (cx - 3.6, cy + 4.4, 7.2, 32 - (cy + 4.4)),
           "</defs>",
           '<rect width="32" height="32" fill="%s"/>' % Hex(GROUND),
           # The band: a ring from radius 12 to 14.2, drawn as a stroke along its middle.
           '<circle cx="%g" cy="%g" r="13.1" fill="none" stroke="%s" stroke-width="2.2" clip-path="url(#upper)"/>'
           % (cx, cy, Hex(PHONES)),
           '<circle cx="%g" cy="%g" r="11" fill="%s"/>' % (cx, cy, Hex(FACE)),
           '<circle cx="%g" cy="%g" r="11" fill="%s" clip-path="url(#shade)"/>' % (cx, cy, Hex(FACE_SHADE))]
    for side in (-1, 1):
        ex = cx + side * 12.2
        out.append('<rect x="%g" y="%g" width="5.2" height="10" rx="1.6" fill="%s"/>'
                   % (ex - 2.6, cy + 0.5 - 5.0, Hex(CUPS)))
    for side in (-1, 1):
        lx, ly = cx + side * 4.4, cy - 1.5
        out.append('<ellipse cx="%g" cy="%g" rx="3.9" ry="2.9" fill="%s"/>' % (lx, ly, Hex(GLASSES)))
        out.append('<ellipse cx="%g" cy="%g" rx="1" ry="0.6" fill="%s"/>' % (lx - 1.4, ly - 1.1, Hex(GLINT)))
    out.append('<rect x="%g" y="%g" width="2.4" height="1.2" fill="%s"/>' % (cx - 1.2, cy - 2.4 - 0.6, Hex(GLASSES)))
    out.append('<circle cx="%g" cy="%g" r="5.75" fill="none" stroke="%s" stroke-width="1.1" clip-path="url(#smile)"/>'
               % (cx, cy + 1.0, Hex(MOUTH)))
    out.append("</svg>")
    return "\n".join(out) + "\n"


THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "korvelt.ico"), "wb") as f:
        f.write(IcoBytes(Render()))
    for size in THEME_SIZES:
        folder = os.path.join(here, "icons", "hicolor", "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "korvelt.png"), "wb") as f:
            f.write(PngBytes(Render(size)))
    folder = os.path.join(here, "icons", "hicolor", "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "korvelt.svg"), "w") as f:
        f.write(Svg())
