#!/usr/bin/env python3
"""Draws the updater's 48x48 RGBA logo: a crescent moon and two stars on a
rounded night-blue square. Standard library only, so it runs on any machine
that builds the project; the output is byte-for-byte reproducible.

    tools/drawlogo/drawlogo.py src/ui/images/korvalune_logo.png
"""
import struct
import sys
import zlib

SIZE = 48
SAMPLES = 4  # per axis; 16 samples per pixel smooth the edges

TOP = (0x1d, 0x2b, 0x64)
BOTTOM = (0x1e, 0x6f, 0x8c)
MOON = (0xf4, 0xd5, 0x8d)
STAR = (0xff, 0xf6, 0xdc)


def inside_rounded_square(x, y, margin=1.0, radius=10.0):
    lo, hi = margin, SIZE - margin
    if not (lo <= x <= hi and lo <= y <= hi):
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_circle(x, y, cx, cy, r):
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_moon(x, y):
    return inside_circle(x, y, 21.0, 25.0, 14.0) and not inside_circle(x, y, 27.5, 20.0, 12.0)


def inside_star(x, y, cx, cy, r):
    # A four-pointed star: |dx|^0.5 + |dy|^0.5 <= r^0.5
    return abs(x - cx) ** 0.5 + abs(y - cy) ** 0.5 <= r ** 0.5


def colour_at(x, y):
    """Colour and coverage (0 or 1) of one sample point."""
    if not inside_rounded_square(x, y):
        return (0, 0, 0), 0
    if inside_moon(x, y):
        return MOON, 1
    if inside_star(x, y, 36.0, 30.0, 5.0) or inside_star(x, y, 31.0, 39.0, 3.0):
        return STAR, 1
    t = y / SIZE
    return tuple(round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM)), 1


def pixel(px, py):
    r = g = b = a = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            (cr, cg, cb), cover = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
            r += cr * cover
            g += cg * cover
            b += cb * cover
            a += cover
    if a == 0:
        return bytes(4)
    # Straight (not premultiplied) alpha, as PNG stores it.
    return bytes((round(r / a), round(g / a), round(b / a), round(255 * a / SAMPLES ** 2)))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xffffffff)


def png():
    rows = b"".join(b"\0" + b"".join(pixel(x, y) for x in range(SIZE)) for y in range(SIZE))
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: drawlogo.py OUTPUT.png")
    with open(sys.argv[1], "wb") as out:
        out.write(png())
