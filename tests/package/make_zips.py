#!/usr/bin/env python3
"""Writes the archives the package tests read, made by real producers: Python's
zipfile and Info-ZIP's zip. Usage: make_zips.py OUTPUT_DIR"""
import hashlib
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import warnings
import zipfile

import image_headers  # noqa: E402

warnings.filterwarnings("ignore", "Duplicate name")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_content(root):
    """The release-like tree every good archive holds."""
    rng = random.Random(7)
    files = {
        "brindlewick.exe": b"MZ" + bytes(rng.randrange(256) for _ in range(70000)),
        "data/big.bin": b"".join(
            bytes(rng.randrange(4) for _ in range(300)) * rng.randrange(1, 40) for _ in range(400)
        ),
        "data/empty.txt": b"",
        "docs/readme.txt": b"Brindlewick\r\nreadme\n" * 50,
        "donn\u00e9es/r\u00e9sum\u00e9.txt": "caf\u00e9 \u2713\n".encode(),
        "deep/er/still/leaf.txt": b"leaf",
    }
    for name, data in files.items():
        write(os.path.join(root, name), data)
    os.makedirs(os.path.join(root, "empty-dir"), exist_ok=True)
    return files


def python_zip(path, files, compression, explicit_dirs=True, stream=False, comment=b""):
    target = io.BytesIO() if not stream else Unseekable()
    with zipfile.ZipFile(target, "w", compression) as z:
        if explicit_dirs:
            z.writestr(zipfile.ZipInfo("empty-dir/"), b"")
        for name, data in files.items():
            z.writestr(name, data)
        z.comment = comment
    write(path, target.getvalue())


class Unseekable(io.RawIOBase):
    """A write-only stream without seek, which makes zipfile use data descriptors."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)

    def getvalue(self):
        return bytes(self.data)


def python_zip64(path, files):
    """ZIP64 records everywhere (sizes, offsets, end record) for small entries, by
    lowering zipfile's own threshold."""
    saved = zipfile.ZIP64_LIMIT
    zipfile.ZIP64_LIMIT = 16
    try:
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr(zipfile.ZipInfo("empty-dir/"), b"")
            for name, data in files.items():
                with z.open(name, "w", force_zip64=True) as entry:
                    entry.write(data)
    finally:
        zipfile.ZIP64_LIMIT = saved


def info_zip(path, content, *options, stream=False):
    if os.path.exists(path):
        os.remove(path)
    command = ["zip", "-q", "-r", *options]
    if stream:
        # Through a pipe, which zip cannot seek back in: it writes data descriptors.
        piped = subprocess.run(command + ["-", "."], cwd=content, stdout=subprocess.PIPE,
                               check=True)
        write(path, piped.stdout)
    else:
        subprocess.run(command + [os.path.abspath(path), "."], cwd=content, check=True)


UNSAFE = [
    "../evil.txt", "a/../../evil.txt", "..\\evil.txt", "a\\..\\..\\evil.txt", "..",
    "/rooted.txt", "\\rooted.txt", "C:/drive.txt", "c:drive.txt", "file.txt:stream",
    "CON", "con.txt", "sub/NUL.tar.gz", "aux", "PRN.log", "COM1", "com9.txt", "LPT0",
    "lpt5.dat", "CONIN$", "conout$.txt", "NUL  .txt", "com\u00b9.txt", "app.exe.",
    "trailing ", "dir./x.txt", "dir /x.txt", "...", "",
]
SAFE = [
    "./dot.txt", "a/./b.txt", "a//c.txt", "x..y.txt", "..hidden", "com10.txt",
    "console.txt", "lpt.txt", "CONOUTX", "nul_not.txt",
]


def patched(path, replacements):
    """Rewrites byte strings of a written archive in place, local and central records
    alike: for names zipfile will not write."""
    data = open(path, "rb").read()
    for old, new in replacements:
        assert len(old) == len(new) and old in data
        data = data.replace(old, new)
    write(path, data)


def hostile(out):
    """Archives that try to write more, or elsewhere, than their entries say."""
    # Twenty central records for one local record of 10 MiB of zeros.
    path = os.path.join(out, "overlapping.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("zeros.bin", bytes(10 << 20))
    data = open(path, "rb").read()
    central = data.index(b"PK\x01\x02")
    end = data.index(b"PK\x05\x06")
    record = data[central:end]
    records = b"".join(record.replace(b"zeros.bin", b"zeros.%03d" % i) for i in range(20))
    tail = bytearray(data[end:])
    struct.pack_into("<HHII", tail, 8, 20, 20, len(records), central)
    write(path, data[:central] + records + bytes(tail))

    # An entry whose stored data hold a whole other entry, which the directory lists
    # too: each CRC-32 holds, only the extents give it away.
    inner = io.BytesIO()
    with zipfile.ZipFile(inner, "w") as z:
        z.writestr("inner.txt", b"inside another entry's data")
    inner = inner.getvalue()
    inner_central = bytearray(inner[inner.index(b"PK\x01\x02"):inner.index(b"PK\x05\x06")])
    outer = io.BytesIO()
    with zipfile.ZipFile(outer, "w") as z:
        z.writestr("outer.bin", inner[:inner.index(b"PK\x01\x02")])
    outer = outer.getvalue()
    central, end = outer.index(b"PK\x01\x02"), outer.index(b"PK\x05\x06")
    struct.pack_into("<I", inner_central, 42, 30 + len("outer.bin"))
    records = outer[central:end] + bytes(inner_central)
    tail = bytearray(outer[end:])
    struct.pack_into("<HHI", tail, 8, 2, 2, len(records))
    write(os.path.join(out, "nested.zip"), outer[:central] + records + bytes(tail))

    # A NUL would cut "brindlewick.exe\0.txt" short, onto the real program.
    path = os.path.join(out, "nul-name.zip")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("brindlewick.exe", b"real")
        z.writestr("brindlewick.exe@.txt", b"evil")
    patched(path, [(b"brindlewick.exe@.txt", b"brindlewick.exe\0.txt")])

    # The folder attribute on an entry with data, and on one without.
    with zipfile.ZipFile(os.path.join(out, "folder-attribute.zip"), "w") as z:
        for name, data in (("brindlewick.exe", b"MZ program"), ("assets", b"")):
            info = zipfile.ZipInfo(name)
            info.external_attr = 0x10
            z.writestr(info, data)

    # Entries that land on one file.
    for name, names in (("same-name", ["a.txt", "a.txt"]),
                        ("case-equal", ["dir/Read.me", "DIR/read.ME"]),
                        ("dot-equal", ["sub/x.txt", "sub/./x.txt"])):
        with zipfile.ZipFile(os.path.join(out, name + ".zip"), "w") as z:
            for entry in names:
                z.writestr(zipfile.ZipInfo(entry), entry.encode())
    path = os.path.join(out, "legacy-names.zip")
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("Q.txt", b"first")
        z.writestr("R.txt", b"second")
    patched(path, [(b"Q.txt", b"\xff.txt"), (b"R.txt", b"\xfe.txt")])

    # Short names that stand for "brindlewick.exe": Windows' own and Wine's. The fillers
    # let the program's file be made before its alias comes up.
    with zipfile.ZipFile(os.path.join(out, "short-name.zip"), "w") as z:
        z.writestr("brindlewick.exe", b"real")
        for i in range(40):
            z.writestr("filler/%02d.txt" % i, b"x")
        z.writestr("BRINDL~1.EXE", b"evil")
        z.writestr("BRIN~UYT.EXE", b"evil")

    # Damage that shows in the records only after many good entries, which the
    # extraction threads would have written had it not looked at every record first: a
    # last record on the local record of the one before it, and a last local record
    # without its signature.
    path = os.path.join(out, "late-shared.zip")
    with zipfile.ZipFile(path, "w") as z:
        for i in range(40):
            z.writestr("filler/%02d.txt" % i, b"x")
        z.writestr("zz-last.txt", b"y")
    data = bytearray(open(path, "rb").read())
    last = data.rindex(b"PK\x01\x02")
    struct.pack_into("<I", data, last + 42, struct.unpack_from("<I", data, data.rindex(
        b"PK\x01\x02", 0, last) + 42)[0])
    write(path, bytes(data))
    path = os.path.join(out, "late-bad-local.zip")
    with zipfile.ZipFile(path, "w") as z:
        for i in range(40):
            z.writestr("filler/%02d.txt" % i, b"x")
        z.writestr("zz-last.txt", b"y")
    data = bytearray(open(path, "rb").read())
    data[data.rindex(b"PK\x03\x04")] = ord("Q")
    write(path, bytes(data))

    # "." and "sub/." name their folders.
    with zipfile.ZipFile(os.path.join(out, "dot-entries.zip"), "w") as z:
        for entry, data in ((".", b""), ("sub/.", b""), ("sub/x.txt", b"x")):
            info = zipfile.ZipInfo("placeholder")
            info.filename = entry
            z.writestr(info, data)

    # An end record that counts two entries of three.
    path = os.path.join(out, "undercounted.zip")
    with zipfile.ZipFile(path, "w") as z:
        for entry in ("one.txt", "two.txt", "three.txt"):
            z.writestr(entry, entry.encode())
    data = bytearray(open(path, "rb").read())
    struct.pack_into("<HH", data, data.index(b"PK\x05\x06") + 8, 2, 2)
    write(path, bytes(data))
    # The same with the directory's size cut to the two records counted.
    last = data.rindex(b"PK\x01\x02")
    struct.pack_into("<I", data, data.index(b"PK\x05\x06") + 12, last - data.index(b"PK\x01\x02"))
    write(os.path.join(out, "undercounted-short.zip"), bytes(data))


# The package the fixtures' deltas lead to, as the test names it (in upper case).
RELEASE = "ab" * 32


def delta_fixtures(out):
    """A folder a delta starts from, and delta packages that build on it or are refused:
    delta-NAME.zip, and delta-cases.txt with a line "NAME|what building it says" for each
    ("" for a tree built), and delta-tree/, the tree the good one makes."""
    image = image_headers.dos_header(64) + b"PE\0\0" + bytes(256)
    base = {"a.txt": b"alpha", "sub/b.bin": bytes(range(256)) * 40, "prog.exe": image + b"1"}
    for name, data in base.items():
        write(os.path.join(out, "delta-base", name), data)

    def described(path, data, source, **more):
        return dict({"path": path, "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                     "source": source}, **more)

    good = [described("a.txt", base["a.txt"], "old", base="a.txt"),
            described("moved/b.bin", base["sub/b.bin"], "old", base="./sub/b.bin"),
            described("new.txt", b"new", "whole", entry="whole/new.txt"),
            described("prog.dll", image + b"2", "whole", entry="whole/prog.dll"),
            described("prog.exe", base["prog.exe"], "old", base="prog.exe"),
            described("x/./y.txt", b"", "whole", entry="whole/y.txt")]
    entries = {"whole/new.txt": b"new", "whole/prog.dll": image + b"2", "whole/y.txt": b"",
               "patch/": b""}
    tree = {"a.txt": base["a.txt"], "moved/b.bin": base["sub/b.bin"], "new.txt": b"new",
            "prog.dll": image + b"2", "prog.exe": base["prog.exe"], "x/y.txt": b""}
    for name, data in tree.items():
        write(os.path.join(out, "delta-tree", name), data)
    os.makedirs(os.path.join(out, "delta-tree", "empty", "folder"))

    def changed(index, **fields):
        files = [dict(f) for f in good]
        files[index].update(fields)
        return files

    cases = {
        "good": (good, ""),
        "not-json": ("{", "bad delta description"),
        "format-2": ({"format": 2, "package_sha256": RELEASE, "files": good},
                     "bad delta description"),
        "files-object": ({"format": 1, "package_sha256": RELEASE, "files": {}},
                         "bad delta description"),
        "escaping": (changed(2, path="../new.txt"), "bad delta description"),
        "escaping-base": (changed(0, base="../a.txt"), "bad delta description"),
        "case-twins": (good + [described("A.TXT", b"", "whole", entry="whole/y.txt")],
                       "bad delta description"),
        "dot-twins": (good + [described("./new.txt", b"", "whole", entry="whole/y.txt")],
                      "bad delta description"),
        "unknown-source": (changed(2, source="copy"), "bad delta description"),
        "missing-entry": (changed(2, entry="whole/none"), "bad delta description"),
        "folder-entry": (changed(2, entry="patch/"), "bad delta description"),
        "short-digest": (changed(2, sha256="a" * 63), "bad delta description"),
        "size-text": (changed(2, size="3"), "bad delta description"),
        "patch-without-base-digest": (changed(0, source="patch", entry="whole/new.txt"),
                                      "bad delta description"),
        "bad-folder": ({"format": 1, "package_sha256": RELEASE, "files": good,
                        "folders": ["../out/"]}, "bad delta description"),
        "escaping-backslash": (changed(2, path="x\\..\\..\\new.txt"), "bad delta description"),
        "escaping-base-backslash": (changed(0, base="..\\a.txt"), "bad delta description"),
        "another-release": ({"format": 1, "package_sha256": "cd" * 32, "files": good},
                            "delta is for another release"),
        "no-release": ({"format": 1, "files": good}, "delta is for another release"),
        "base-missing": (changed(0, base="gone.txt"), "base file missing: gone.txt"),
        "base-changed": (changed(1, sha256="0" * 64), "base file changed: sub\\b.bin"),
        "result-differs": (changed(2, size=4), "result does not match: new.txt"),
    }
    lines = []
    for name, (description, outcome) in cases.items():
        if isinstance(description, list):
            description = {"format": 1, "package_sha256": RELEASE, "files": description,
                           "folders": ["empty/folder/"]}
        text = description if isinstance(description, str) else json.dumps(description)
        with zipfile.ZipFile(os.path.join(out, "delta-%s.zip" % name), "w") as z:
            z.writestr("delta.json", text)
            for entry, data in entries.items():
                z.writestr(entry, data)
        lines.append("%s|%s\n" % (name, outcome))
    with zipfile.ZipFile(os.path.join(out, "delta-no-description.zip"), "w") as z:
        z.writestr("whole/new.txt", b"new")
    lines.append("no-description|bad delta description\n")
    write(os.path.join(out, "delta-cases.txt"), "".join(lines).encode())


def main():
    out = sys.argv[1]
    shutil.rmtree(out, ignore_errors=True)
    content = os.path.join(out, "content")
    files = make_content(content)
    write(os.path.join(out, "big.bin.sha256"),
          hashlib.sha256(files["data/big.bin"]).hexdigest().encode())

    python_zip(os.path.join(out, "py-stored.zip"), files, zipfile.ZIP_STORED)
    python_zip(os.path.join(out, "py-deflated.zip"), files, zipfile.ZIP_DEFLATED)
    python_zip(os.path.join(out, "py-streamed.zip"), files, zipfile.ZIP_DEFLATED, stream=True)
    python_zip(os.path.join(out, "py-comment.zip"), files, zipfile.ZIP_DEFLATED,
               comment=(b"PK\x05\x06" + b"#" * 65531))
    python_zip64(os.path.join(out, "py-zip64.zip"), files)
    info_zip(os.path.join(out, "infozip.zip"), content)
    info_zip(os.path.join(out, "infozip-streamed.zip"), content, stream=True)
    info_zip(os.path.join(out, "infozip-zip64.zip"), content, "-fz")
    info_zip(os.path.join(out, "infozip-comment.zip"), content)
    subprocess.run(["zip", "-q", "-z", os.path.join(out, "infozip-comment.zip")],
                   input=b"a comment\nover lines\n", check=True)

    # Windows-made packages may separate with backslashes, folders included.
    backslashed = {name.replace("/", "\\"): data for name, data in files.items()}
    with zipfile.ZipFile(os.path.join(out, "backslash.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("empty-dir\\"), b"")
        for name, data in backslashed.items():
            z.writestr(name, data)

    with zipfile.ZipFile(os.path.join(out, "unsafe.zip"), "w") as z:
        for name in UNSAFE + SAFE:
            info = zipfile.ZipInfo("placeholder")
            info.filename = name  # as given: ZipInfo would tidy some of them
            z.writestr(info, name.encode() or b"empty")

    # Program images by their first bytes and files that only look like them: a folder,
    # an archive of it stored and one deflated, and the list of the images.
    images = {name: data or image_headers.dos_header(64) + b"PE\0\0" + bytes(256)
              for name, data in image_headers.IMAGES.items()}
    looks = dict(image_headers.NOT_IMAGES, **images)
    for name, data in looks.items():
        write(os.path.join(out, "images", name), data)
    for label, compression in (("stored", zipfile.ZIP_STORED), ("deflated", zipfile.ZIP_DEFLATED)):
        with zipfile.ZipFile(os.path.join(out, "images-%s.zip" % label), "w", compression) as z:
            for name, data in sorted(looks.items()):
                z.writestr(name, data)
    write(os.path.join(out, "images.txt"),
          "".join(name + "\n" for name in sorted(n.replace("/", "\\") for n in images)).encode())

    with zipfile.ZipFile(os.path.join(out, "empty.zip"), "w"):
        pass
    with zipfile.ZipFile(os.path.join(out, "bzip2.zip"), "w", zipfile.ZIP_BZIP2) as z:
        z.writestr("brindlewick.exe", b"x" * 1000)
    encrypted = os.path.join(out, "encrypted")
    write(os.path.join(encrypted, "brindlewick.exe"), b"secret" * 100)
    info_zip(os.path.join(out, "encrypted.zip"), encrypted, "-P", "pass")

    # Two entries, the second damaged in its data: the first must still be written. The
    # second is stored, so only its CRC-32 can tell.
    with zipfile.ZipFile(os.path.join(out, "two.zip"), "w") as z:
        z.writestr("first.txt", b"first entry\n" * 20, zipfile.ZIP_DEFLATED)
        z.writestr("second.txt", bytes(range(256)) * 2, zipfile.ZIP_STORED)
    data = bytearray(open(os.path.join(out, "two.zip"), "rb").read())
    second = data.index(b"second.txt") + len(b"second.txt") + 40
    data[second] ^= 0x55
    write(os.path.join(out, "bad-data.zip"), bytes(data))

    # A deflated entry whose central record claims 3 GiB: no reader may believe it.
    data = bytearray(open(os.path.join(out, "two.zip"), "rb").read())
    struct.pack_into("<I", data, data.index(b"PK\x01\x02") + 24, 3 << 30)
    write(os.path.join(out, "lying-size.zip"), bytes(data))

    # Many entries: the counts only fit the ZIP64 end record.
    with zipfile.ZipFile(os.path.join(out, "many.zip"), "w") as z:
        for i in range(65537):
            z.writestr("f/%05d" % i, b"%d" % i)

    hostile(out)
    write(os.path.join(out, "not-a-zip.zip"), b"just some text, not an archive\n")
    with zipfile.ZipFile(os.path.join(out, "long-name.zip"), "w") as z:
        z.writestr("n" * 600, b"long")
    delta_fixtures(out)


if __name__ == "__main__":
    main()
