#!/usr/bin/env python3
"""Draws the plug-in's icon, resources/icon.png: a record on a rounded
square, 256x256 RGBA, with nothing but the standard library.

    python3 tools/make_icon.py [OUTPUT]
"""
import math
import struct
import sys
import zlib

SIZE = 256
SAMPLES = 4  # per axis, for smooth edges


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(len(a)))


def inside_rounded_square(x, y, margin=8, radius=48):
    lo, hi = margin, SIZE - margin
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 and lo <= x <= hi and lo <= y <= hi


def colour_at(x, y):
    """The colour (r, g, b, a), 0..1, of one sample point."""
    if not inside_rounded_square(x, y):
        return (0.0, 0.0, 0.0, 0.0)
    # Night-to-dusk background.
    top, bottom = (0.13, 0.09, 0.33), (0.78, 0.10, 0.40)
    colour = mix(top, bottom, y / SIZE)
    cx, cy = 128.0, 124.0
    r = math.hypot(x - cx, y - cy)
    if r <= 96:
        # The record: black with faint grooves and a sheen across it.
        groove = 0.06 if int(r) % 6 == 0 and 36 < r < 92 else 0.0
        angle = math.atan2(y - cy, x - cx)
        sheen = 0.10 * max(0.0, math.cos(2 * (angle + 0.8))) if r > 34 else 0.0
        shade = 0.05 + groove + sheen
        colour = (shade, shade, shade + 0.01)
        if r <= 32:
            # The label, warm orange, with the spindle hole.
            colour = mix((1.0, 0.62, 0.10), (1.0, 0.42, 0.05), (y - cy + 32) / 64)
            if r <= 5:
                colour = mix(top, bottom, y / SIZE)
    # A play mark on the label side: the plug-in streams.
    px, py = x - 178.0, y - 190.0
    if 0 <= px <= 40 and abs(py) <= 24 - px * 0.6:
        colour = (1.0, 1.0, 1.0)
    return colour + (1.0,)


def pixel(x, y):
    total = [0.0, 0.0, 0.0, 0.0]
    for i in range(SAMPLES):
        for j in range(SAMPLES):
            r, g, b, a = colour_at(x + (i + 0.5) / SAMPLES, y + (j + 0.5) / SAMPLES)
            total[0] += r * a
            total[1] += g * a
            total[2] += b * a
            total[3] += a
    n = SAMPLES * SAMPLES
    alpha = total[3] / n
    if alpha == 0:
        return b"\0\0\0\0"
    return bytes(round(255 * min(1.0, c / total[3])) for c in total[:3]) + bytes([round(255 * alpha)])


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "resources/icon.png"
    rows = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows, 9))
           + chunk(b"IEND", b""))
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
