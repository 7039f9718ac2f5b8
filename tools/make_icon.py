#!/usr/bin/env python3
"""Draws the product icon and writes it as a Windows .ico file.

A rounded tile in amber with dark brindle stripes, in sizes 16, 32, 48 and 256, each
stored as PNG, which Windows reads in icons of any size since Vista: as 32-bit bitmaps the
three small ones alone would add 14 KiB to the program.

Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys
import zlib

AMBER = (214, 137, 52)
STRIPE = (92, 52, 20)
SUPERSAMPLE = 4


def coverage_and_colour(x, y):
    """Colour and opacity of a point in the unit square (0..1, y down)."""
    margin, radius = 0.06, 0.2
    # Distance outside a rounded rectangle; negative inside.
    dx = max(abs(x - 0.5) - (0.5 - margin - radius), 0.0)
    dy = max(abs(y - 0.5) - (0.5 - margin - radius), 0.0)
    if math.hypot(dx, dy) > radius:
        return None
    # Irregular diagonal stripes, the brindle pattern.
    wave = (x + y) * 5.0 + 0.35 * math.sin(y * 9.0) + 0.2 * math.sin(x * 13.0)
    stripe = (wave % 1.0) < 0.32
    return STRIPE if stripe else AMBER


def render(size):
    """Rows of (r, g, b, a), top row first."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(SUPERSAMPLE):
                for sx in range(SUPERSAMPLE):
                    colour = coverage_and_colour((px + (sx + 0.5) / SUPERSAMPLE) / size,
                                                 (py + (sy + 0.5) / SUPERSAMPLE) / size)
                    if colour:
                        r, g, b, hits = r + colour[0], g + colour[1], b + colour[2], hits + 1
            if hits:
                row.append((r // hits, g // hits, b // hits, 255 * hits // SUPERSAMPLE**2))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png_entry(size):
    rows = render(size)
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().splitlines()[-1])
    images = [(size, png_entry(size)) for size in (16, 32, 48, 256)]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = b""
    for size, blob in images:
        side = size % 256  # 0 means 256
        directory += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs += blob
    with open(sys.argv[1], "wb") as out:
        out.write(directory + blobs)


if __name__ == "__main__":
    main()
