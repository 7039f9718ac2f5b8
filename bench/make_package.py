#!/usr/bin/env python3
"""Writes a release-like package of about 200 MB: a few large files (an executable-like
mix, incompressible data, text) and many small ones; smaller in proportion when given a
size, and with PROGRAM as its brindlewick.exe when given one. Given a code-signing
certificate and key too, its brindlewick.exe and library.dll are PROGRAM followed by the
executable-like mix up to their usual sizes, each signed with them. --large or --small
keeps only the large files or only the small ones; --zeros writes one ZIP64 entry of
4.5 GiB, mostly zeros; --many 2,000 files of 1-8 KiB in 37 folders, a release of many
little files.
Usage: make_package.py [--large|--small|--zeros|--many] OUT.zip [MEGABYTES [PROGRAM [CERT KEY]]]"""
import os
import random
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import code_signing  # noqa: E402

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


def signed_program(program, rng, size, signer):
    """The program image with the executable-like mix after it up to `size`, signed."""
    with tempfile.TemporaryDirectory() as folder:
        unsigned, signed = os.path.join(folder, "in.exe"), os.path.join(folder, "out.exe")
        with open(program, "rb") as f:
            image = f.read()
        with open(unsigned, "wb") as f:
            f.write(image + executable_like(rng, size - len(image)))
        signer.sign(unsigned, signed)
        with open(signed, "rb") as f:
            return f.read()


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
    if only == "--many":
        with zipfile.ZipFile(args[0], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
            for i in range(2000):
                size = rng.randrange(1024, 8193)
                maker = rng.choice((executable_like, text_like))
                z.writestr("data/%02d/item%04d.bin" % (i % 36, i) if i % 37 else
                           "data/item%04d.bin" % i, maker(rng, size))
        print(os.path.getsize(args[0]) // 1024, "KiB written to", args[0])
        return
    scale = float(args[1]) / 200 if len(args) > 1 else 1.0
    signer = code_signing.Signer(args[3], args[4]) if len(args) > 4 else None
    with zipfile.ZipFile(args[0], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        if only != "--small":
            if signer:
                z.writestr("brindlewick.exe",
                           signed_program(args[2], rng, int(48 * MB * scale), signer))
            elif len(args) > 2:
                with open(args[2], "rb") as f:
                    z.writestr("brindlewick.exe", f.read())
            else:
                z.writestr("brindlewick.exe", executable_like(rng, int(48 * MB * scale)))
            z.writestr("data/assets.pak", rng.randbytes(int(120 * MB * scale)))
            if signer:
                z.writestr("data/library.dll",
                           signed_program(args[2], rng, int(32 * MB * scale), signer))
            else:
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
