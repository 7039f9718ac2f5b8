#!/usr/bin/python3
"""Prints what makes up BrindlewickSetup.exe, from the linker's map: bytes of code and
data by source folder of ours, third-party code, the runtimes, and the resources.
Usage: size.py MAP_FILE EXE"""
import collections
import glob
import os
import re
import sys

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
# Object file name -> the folder of ours its source lives in.
FOLDERS = {os.path.basename(path) + ".obj": "src/" + os.path.basename(os.path.dirname(path))
           for path in glob.glob(os.path.join(SRC, "*", "*.cpp"))}


def group(origin):
    match = re.search(r"([\w.]+\.cpp\.obj)", origin)
    if match and match.group(1) in FOLDERS:
        return FOLDERS[match.group(1)]
    if "libz.a" in origin:
        return "zlib"
    if "libbw_zstd.a" in origin:
        return "zstd (decoder)"
    if ".res" in origin:
        return "resources (icon, manifest, version)"
    if "libstdc++" in origin or "libgcc" in origin or "libsupc++" in origin:
        return "C++ runtime"
    return "C runtime, start-up and import stubs"


def main():
    sizes = collections.Counter()
    lines = open(sys.argv[1]).read().split("\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("Linker script and memory map"))
    pending = None
    for line in lines[start:]:
        named = re.match(r"^ (\.[^\s]+)\s*$", line)
        if named:
            pending = named.group(1)
            continue
        entry = re.match(r"^ (\.[^\s]+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        section = (entry.group(1) or pending) if entry else None
        pending = None
        if section and not section.startswith(".debug") and int(entry.group(2), 16):
            sizes[group(entry.group(4))] += int(entry.group(3), 16)
    total = os.path.getsize(sys.argv[2])
    print("BrindlewickSetup.exe %d bytes (%.1f KiB) stripped; goal at most 400 KiB with the"
          " zstd decoder" % (total, total / 1024))
    for name, size in sizes.most_common():
        print("  %-40s %6.1f KiB" % (name, size / 1024))
    print("  %-40s %6.1f KiB" % ("headers, tables and alignment", (total - sum(sizes.values())) / 1024))


if __name__ == "__main__":
    main()
