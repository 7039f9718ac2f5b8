#!/usr/bin/env python3
"""Writes the release pair of the delta benchmark into OUT_DIR: old.zip (1.0.0) and
new.zip (1.1.0), packed by the release tool, the delta between them (delta.zip, made by
the release tool too), and unchanged.txt, the paths of the files the delta takes from
the old tree as they are, one a line, with backslashes; and patched.txt, a line for each
patched file: its path, its old size and its new size.

Each release holds brindlewick.exe, about 40 MB, and 200 data files of 10 to 100 KiB.
The executable is real x86-64 code: the sections (code, read-only data, unwind tables,
relocations; no debug information and no resources) of the 64-bit PE libraries that
Debian's Wine ships, which MinGW built, laid one after another behind the headers of the
first, so that it compresses as real code does. From 1.0.0 to 1.1.0 it changes as a
small change to the source would after a new build: five functions of a few hundred
bytes each come out different, and longer or shorter, so that everything after them
moves; and the header's time stamp and checksum change. Of the data files (text, JSON,
tables of numbers, already-compressed bytes) one is edited in a few places, one is
removed and one is added.
Usage: make_delta_pair.py OUT_DIR"""
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
RELEASE = os.path.join(HERE, "..", "tools", "release.py")
WINE_PE = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
# Wine's libraries for graphics, media, documents, scripts, networking and the C runtime:
# large and varied code.
LIBRARIES = ["mshtml", "wined3d", "msxml3", "windowscodecs", "jscript", "vbscript", "d2d1",
             "quartz", "opengl32", "oleaut32", "ole32", "comctl32", "user32", "kernelbase",
             "gdiplus", "ucrtbase", "msvcp140", "msvcr120", "d3d11", "d3d9", "d3dx9_43",
             "d3dcompiler_47", "dwrite", "riched20", "gdi32", "ntdll", "crypt32", "dbghelp",
             "mfplat", "evr", "dsound", "xaudio2_7", "wmvcore", "mf", "qedit",
             "dinput", "ddraw", "d3d10core", "d3d12", "mmdevapi", "winegstreamer",
             "wininet", "urlmon", "msvcrt", "combase", "rpcrt4", "secur32",
             "dxgi", "d3d8", "windowscodecsext", "propsys", "msctf", "wbemprox", "actxprxy",
             "ieframe", "wldap32", "comdlg32", "d3drm", "wmphoto", "mscms", "webservices",
             "msdaps", "winmm", "cryptui", "msctfp", "xactengine3_0", "kernel32", "shell32",
             "shlwapi", "mmsys", "oledb32", "msado15", "msvfw32", "avifil32", "d3d10",
             "d3dx10_43", "d3dx11_43", "dmime", "dmusic", "dmstyle", "dplayx", "dpnet",
             "hhctrl", "inetcomm", "itss", "mapi32", "mlang", "msacm32", "msvidc32",
             "netapi32", "ntoskrnl", "odbc32", "qcap", "sane", "scrrun", "sxs",
             "taskschd", "twain_32", "uiautomationcore", "uxtheme", "wbemdisp", "wiaservc",
             "winhttp", "wintrust", "wmiutils", "ws2_32", "xinput1_3", "xmllite"]
CODE_SECTIONS = {b".text", b".rdata", b".rodata", b".data", b".pdata", b".xdata", b".edata",
                 b".idata", b".reloc"}
EXE_SIZE = 40 * 1000 * 1000
DATA_FILES = 200
KIB = 1024


def pe_parts(path):
    """The headers (the first 1 KiB) and the code sections' raw bytes of a PE file."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from(
        "<H", image, pe + 20)[0]
    parts = []
    for i in range(count):
        name, _, _, raw_size, raw_at = struct.unpack_from("<8sIIII", image, pe + 24 + optional +
                                                          40 * i)
        if name.rstrip(b"\0") in CODE_SECTIONS:
            parts.append(image[raw_at:raw_at + raw_size])
    return image[:1024], parts


def old_executable():
    """About 40 MB of real code behind a real PE header; fails when Wine's libraries
    give too little."""
    out = bytearray()
    for name in LIBRARIES:
        path = os.path.join(WINE_PE, name + ".dll")
        if not os.path.isfile(path):
            continue
        headers, parts = pe_parts(path)
        if not out:
            out += headers
        for part in parts:
            out += part
        if len(out) >= EXE_SIZE:
            return bytes(out[:EXE_SIZE])
    sys.exit("make_delta_pair: Wine's PE libraries (%s) give only %d bytes of code" %
             (WINE_PE, len(out)))


def new_executable(old, rng):
    """The old one after a small change to five functions: each a few hundred bytes,
    rewritten with code taken from elsewhere, longer or shorter; and a new time stamp and
    checksum in the PE header."""
    new = bytearray(old)
    pe = struct.unpack_from("<I", old, 0x3C)[0]
    struct.pack_into("<I", new, pe + 8, struct.unpack_from("<I", old, pe + 8)[0] + 86400 * 30)
    struct.pack_into("<I", new, pe + 88, rng.getrandbits(32))
    # From the end backwards, so that the places chosen stay where they were.
    changed = 0
    for fraction in (0.9, 0.7, 0.5, 0.3, 0.1):
        at = int(len(old) * fraction) + rng.randrange(4096)
        length = rng.randrange(150, 400)
        replacement_length = length + rng.randrange(-40, 80)
        source = rng.randrange(len(old) - replacement_length)
        new[at:at + length] = old[source:source + replacement_length]
        changed += replacement_length
    return bytes(new), changed


def text_like(rng, size):
    words = [rng.choice(["the", "a", "file", "window", "setting", "value", "user", "error",
                         "update", "version", "open", "close", "name", "path", "data"]) +
             rng.choice(["", "s", "ed", "ing", "_%d" % rng.randrange(100)]) for _ in range(400)]
    out = []
    while sum(map(len, out)) < size:
        out.append(" ".join(rng.choice(words) for _ in range(rng.randrange(4, 16))) + ".\n")
    return "".join(out).encode()[:size]


def json_like(rng, size):
    items = []
    while len(json.dumps(items)) < size:
        items.append({"id": rng.randrange(1 << 20), "name": "item-%d" % rng.randrange(10000),
                      "weight": round(rng.random() * 100, 3), "enabled": rng.random() < 0.5,
                      "tags": [rng.choice(["red", "green", "blue", "large", "small"])
                               for _ in range(rng.randrange(4))]})
    return json.dumps(items, indent=1).encode()[:size]


def table_like(rng, size):
    out = bytearray()
    value = 0
    while len(out) < size:
        value += rng.randrange(-50, 60)
        out += struct.pack("<iHHf", value, rng.randrange(16), len(out) & 0xFFFF, rng.random())
    return bytes(out[:size])


def data_file(rng, size):
    kind = rng.randrange(4)
    if kind == 3:  # already compressed: images, audio
        return rng.randbytes(size)
    return (text_like, json_like, table_like)[kind](rng, size)


def edited(data, rng):
    """A few small edits, some changing the length."""
    data = bytearray(data)
    for _ in range(4):
        at = rng.randrange(len(data) - 64)
        data[at:at + rng.randrange(8, 40)] = rng.randbytes(rng.randrange(8, 40))
    return bytes(data)


def write_tree(folder, files):
    for name, data in files.items():
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def release_tool(*arguments):
    subprocess.run([sys.executable, RELEASE] + list(arguments), check=True,
                   stdout=subprocess.DEVNULL)


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(18)
    old_exe = old_executable()
    new_exe, exe_changed = new_executable(old_exe, rng)
    old = {"brindlewick.exe": old_exe}
    for i in range(DATA_FILES):
        old["data/file-%03d.bin" % i] = data_file(rng, rng.randrange(10 * KIB, 100 * KIB))
    new = dict(old)
    new["brindlewick.exe"] = new_exe
    new["data/file-077.bin"] = edited(old["data/file-077.bin"], rng)
    del new["data/file-123.bin"]
    new["data/file-200.bin"] = data_file(rng, 60 * KIB)
    with tempfile.TemporaryDirectory() as scratch:
        for name, files in (("old", old), ("new", new)):
            write_tree(os.path.join(scratch, name), files)
            release_tool("pack", os.path.join(scratch, name), "--out",
                         os.path.join(out_dir, name + ".zip"))
    release_tool("delta", os.path.join(out_dir, "old.zip"), os.path.join(out_dir, "new.zip"),
                 "--out", os.path.join(out_dir, "delta.zip"))
    with zipfile.ZipFile(os.path.join(out_dir, "delta.zip")) as z:
        description = json.loads(z.read("delta.json"))
    unchanged = [f["base"].replace("/", "\\") for f in description["files"]
                 if f["source"] == "old"]
    with open(os.path.join(out_dir, "unchanged.txt"), "w") as f:
        f.write("\n".join(unchanged) + "\n")
    with open(os.path.join(out_dir, "patched.txt"), "w") as f:
        for file in description["files"]:
            if file["source"] == "patch":
                f.write("%s %d %d\n" % (file["path"], len(old[file["base"]]), file["size"]))
    sources = {}
    for f in description["files"]:
        sources[f["source"]] = sources.get(f["source"], 0) + 1
    print("executable %d bytes, %d bytes changed at 5 places; data files %d; sources %s" %
          (len(new_exe), exe_changed, DATA_FILES, sources))


if __name__ == "__main__":
    main()
