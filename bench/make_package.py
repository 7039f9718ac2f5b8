#!/usr/bin/env python3
"""Writes a release-like package of about 200 MB: a few large files (an executable-like
mix, incompressible data, text) and many small ones; smaller in proportion when given a
size, and with PROGRAM as its brindlewick.exe when given one.
Usage: make_package.py OUT.zip [MEGABYTES [PROGRAM]]"""
import os
import random
import sys
import zipfile

MB = 1 << 20


def executable_like(rng, size):
    """Runs of repeated words between random stretches, compressing to about half."""
    out = bytearray()
    while len(out) < size:
        out += rng.randbytes(rng.randrange(64, 4096))
        out += rng.randbytes(8) * rng.randrange(32, 512)
    return bytes(out[:size])


def text_like(rng, size):
    words = [rng.randbytes(rng.randrange(2, 9)).hex().encode() for _ in range(5000)]
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
    return bytes(out[:size])


def main():
    rng = random.Random(2026)
    scale = float(sys.argv[2]) / 200 if len(sys.argv) > 2 else 1.0
    with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        if len(sys.argv) > 3:
            with open(sys.argv[3], "rb") as f:
                z.writestr("brindlewick.exe", f.read())
        else:
            z.writestr("brindlewick.exe", executable_like(rng, int(48 * MB * scale)))
        z.writestr("data/assets.pak", rng.randbytes(int(120 * MB * scale)))
        z.writestr("data/library.dll", executable_like(rng, int(32 * MB * scale)))
        z.writestr("docs/manual.txt", text_like(rng, int(16 * MB * scale)))
        for i in range(int(3000 * scale)):
            size = rng.randrange(1000, 32000)
            maker = rng.choice((executable_like, text_like, lambda r, n: r.randbytes(n)))
            z.writestr("resources/%02d/item%04d.bin" % (i % 40, i), maker(rng, size))
    print(os.path.getsize(sys.argv[1]) // MB, "MB written to", sys.argv[1])


if __name__ == "__main__":
    main()
