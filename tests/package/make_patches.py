#!/usr/bin/env python3
"""Writes the files and zstd patches the patch tests read, made by the zstd tool the way
the release tool makes them (--patch-from, long-distance matching), and some damaged
on purpose. Usage: make_patches.py ZSTD_TOOL OUTPUT_DIR"""
import os
import random
import subprocess
import sys


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def main():
    zstd, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(18)

    def noise(size):
        return rng.randbytes(size)

    def path(name):
        return os.path.join(out, name)

    def patch(base, new, name, *options):
        subprocess.run([zstd, "-q", "-f", "--patch-from=" + path(base), path(new), "-o",
                        path(name), *options], check=True)

    # About 1 MB that compresses a little, as program files do.
    words = [noise(rng.randrange(4, 40)) for _ in range(3000)]
    base = b"".join(rng.choice(words) for _ in range(48000))[:1000000]
    write(path("base.bin"), base)
    write(path("other.bin"), noise(len(base)))
    write(path("empty.bin"), b"")
    middle = len(base) // 2
    news = {
        "mid": base[:middle] + b"a small change" + base[middle + 14:],
        "grow": base[:300000] + noise(2000) + base[300000:] + noise(150000),
        "shrink": base[:200000] + base[450000:900000],
    }
    for name, data in news.items():
        write(path(name + ".new"), data)
        patch("base.bin", name + ".new", name + ".patch", "--long=31")
    # No checksum, and no declared size: frames that other producers may make.
    patch("base.bin", "mid.new", "mid-nocheck.patch", "--long=31", "--no-check")
    patch("base.bin", "mid.new", "mid-nosize.patch", "--long=27", "--no-content-size")
    # Made against nothing. (The tool cannot make one for an empty new file with
    # --patch-from, it stops on an assertion, so that frame is a plain one.)
    write(path("text.new"), b"Brindlewick\r\n" * 5000)
    patch("empty.bin", "text.new", "from-empty.patch")
    empty_frame = subprocess.run([zstd, "-q", "-c"], input=b"", stdout=subprocess.PIPE,
                                 check=True).stdout
    write(path("to-empty.patch"), empty_frame)

    with open(path("mid.patch"), "rb") as f:
        mid = f.read()
    write(path("truncated.patch"), mid[:-9])
    write(path("twice.patch"), mid + mid)
    write(path("garbage.patch"), noise(4000))
    # The window descriptor (the byte after the frame header descriptor of a frame that
    # is not single-segment) set to 2^31, the largest allowed, and to 2^32.
    with open(path("mid-nosize.patch"), "rb") as f:
        nosize = bytearray(f.read())
    assert nosize[4] & 0x20 == 0, "expected a frame with a window descriptor"
    nosize[5] = 21 << 3
    write(path("window31.patch"), bytes(nosize))
    nosize[5] = 22 << 3
    write(path("window32.patch"), bytes(nosize))


if __name__ == "__main__":
    main()
