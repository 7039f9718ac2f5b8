#!/usr/bin/env python3
"""Writes a release-like package of about 200 MB: a few large files (an executable-like
mix, incompressible data, text) and many small ones; smaller in proportion when given a
size, and with PROGRAM as its brindlewick.exe when given one. --large or --small keeps
only the large files or only the small ones; --zeros writes one ZIP64 entry of 4.5 GiB,
mostly zeros.
Usage: make_package.py [--large|--small|--zeros] OUT.zip [MEGABYTES [PROGRAM]]"""
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


def write_zeros(path):
    """4.5 GiB: a random head and tail around zeros, streamed, so sizes need ZIP64."""
    rng = random.Random(45)
    zeros = bytes(MB)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("data/zeros.bin", "w", force_zip64=True) as entry:
            entry.write(rng.randbytes(MB))
            for _ in range(4608 - 2):
                entry.write(zeros)
            entry.write(rng.randbytes(MB))


def main():
    args = sys.argv[1:]
    only = args.pop(0) if args and args[0].startswith("--") else None
    if only == "--zeros":
        write_zeros(args[0])
        print(os.path.getsize(args[0]) // MB, "MB written to", args[0])
        return
    rng = random.Random(2026)
    scale = float(args[1]) / 200 if len(args) > 1 else 1.0
    with zipfile.ZipFile(args[0], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        if only != "--small":
            if len(args) > 2:
                with open(args[2], "rb") as f:
                    z.writestr("brindlewick.exe", f.read())
            else:
                z.writestr("brindlewick.exe", executable_like(rng, int(48 * MB * scale)))
            z.writestr("data/assets.pak", rng.randbytes(int(120 * MB * scale)))
            z.writestr("data/library.dll", executable_like(rng, int(32 * MB * scale)))
            z.writestr("docs/manual.txt", text_like(rng, int(16 * MB * scale)))
        if only != "--large":
            for i in range(int(3000 * scale)):
                size = rng.randrange(1000, 32000)
                maker = rng.choice((executable_like, text_like, lambda r, n: r.randbytes(n)))
                z.writestr("resources/%02d/item%04d.bin" % (i % 40, i), maker(rng, size))
    print(os.path.getsize(args[0]) // MB, "MB written to", args[0])


if __name__ == "__main__":
    main()
