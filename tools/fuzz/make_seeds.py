#!/usr/bin/env python3
"""Writes the fuzz targets' seeds into OUT/<target>/seed-*, made by the test fixtures'
own generators, so that fuzzing starts from the inputs the tests know.
Usage: make_seeds.py OUT"""
import base64
import json
import os
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path[:0] = [os.path.join(ROOT, "tests", "package"), os.path.join(ROOT, "tools")]
import image_headers  # noqa: E402
import make_zips  # noqa: E402
import release  # noqa: E402

# The zip target's -max_len in tools/fuzz.sh: a longer seed would be cut short.
ZIP_SEED_LIMIT = 64 * 1024

SMALL_RELEASE = {
    "brindlewick.exe": b"MZ" + bytes(range(256)) * 3,
    "data/empty.txt": b"",
    "docs/readme.txt": b"Brindlewick\r\nreadme\n" * 20,
    "donn\u00e9es/r\u00e9sum\u00e9.txt": "caf\u00e9 \u2713\n".encode(),
}


def write_seeds(out, target, seeds):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    for number, data in enumerate(seeds):
        with open(os.path.join(folder, "seed-%03d" % number), "wb") as f:
            f.write(data)


def zip_seeds(work):
    """The package tests' archives that fit, and the release-like ones remade small."""
    fixtures = os.path.join(work, "zip-fixtures")
    subprocess.run([sys.executable, os.path.join(ROOT, "tests", "package", "make_zips.py"),
                    fixtures], check=True)
    small = os.path.join(work, "small")
    content = os.path.join(small, "content")
    for name, data in SMALL_RELEASE.items():
        make_zips.write(os.path.join(content, name), data)
    os.makedirs(os.path.join(content, "empty-dir"))
    make_zips.python_zip(os.path.join(small, "stored.zip"), SMALL_RELEASE, zipfile.ZIP_STORED)
    make_zips.python_zip(os.path.join(small, "streamed.zip"), SMALL_RELEASE,
                         zipfile.ZIP_DEFLATED, stream=True)
    make_zips.python_zip(os.path.join(small, "comment.zip"), SMALL_RELEASE,
                         zipfile.ZIP_DEFLATED, comment=b"PK\x05\x06" + b"#" * 100)
    make_zips.python_zip64(os.path.join(small, "zip64.zip"), SMALL_RELEASE)
    make_zips.info_zip(os.path.join(small, "infozip.zip"), content)
    make_zips.info_zip(os.path.join(small, "infozip-streamed.zip"), content, stream=True)
    make_zips.info_zip(os.path.join(small, "infozip-zip64.zip"), content, "-fz")
    paths = [os.path.join(folder, name) for folder in (fixtures, small)
             for name in sorted(os.listdir(folder)) if name.endswith(".zip")]
    return [open(path, "rb").read() for path in paths if os.path.getsize(path) <= ZIP_SEED_LIMIT]


def envelope_seeds(work):
    """The update tests' envelopes, signed with a throwaway key: the target stops short
    of the signature check."""
    key = os.path.join(work, "key.pem")
    release.keygen(key)
    fixtures = os.path.join(work, "update-fixtures")
    subprocess.run([sys.executable, os.path.join(ROOT, "tests", "update",
                                                  "make_update_fixtures.py"), fixtures, key],
                   check=True)
    paths = [os.path.join(fixtures, folder, name) for folder in ("envelopes", "rules")
             for name in sorted(os.listdir(os.path.join(fixtures, folder)))
             if name != "index.json"]
    return [open(path, "rb").read() for path in paths]


def payload_of(envelope):
    try:
        return base64.b64decode(json.loads(envelope)["payload"], validate=True)
    except (ValueError, KeyError, TypeError):
        return None


def main():
    out = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        archives = zip_seeds(work)
        envelopes = envelope_seeds(work)
    payloads = [p for p in (payload_of(e) for e in envelopes) if p is not None]
    versions = []
    for payload in payloads:
        try:
            manifest = json.loads(payload)
            versions.append(("%s\n%s" % (manifest.get("version"), manifest.get("minStub")))
                            .encode())
        except (ValueError, AttributeError):
            pass
    states = [
        b'{\n  "installed": "2.0.1"\n}',
        b'{\n  "bad": [\n    "2.1",\n    "2.2"\n  ],\n  "installed": "2.0",\n'
        b'  "prev": "1.9",\n  "staged": "2.3"\n}',
        b'\xef\xbb\xbf{"installed": "2.0", "bad": ["1.1", 5, null, {"x": []}], "staged": 2}',
        b'{"installed": "2.0 \xc3\xa9 \\"q\\" \\\\ \\t\\u0001 \\ud83d\\ude00"}',
        b'{"installed": ""}',
    ]
    names = make_zips.UNSAFE + make_zips.SAFE + list(SMALL_RELEASE)
    write_seeds(out, "fuzz_zip_reader", archives)
    write_seeds(out, "fuzz_entry_name", [name.encode() for name in names])
    looks = list(image_headers.NOT_IMAGES.values()) + [
        data or image_headers.dos_header(64) + b"PE\0\0" + bytes(64)
        for data in image_headers.IMAGES.values()]
    write_seeds(out, "fuzz_image_header",
                [bytes([piece]) + data for piece in (0, 6, 63) for data in looks
                 if len(data) <= 4096])
    write_seeds(out, "fuzz_envelope", envelopes)
    write_seeds(out, "fuzz_manifest", payloads)
    write_seeds(out, "fuzz_install_state", states)
    write_seeds(out, "fuzz_version", versions + [b"1.2.3.4\n1.2.3.5", b"123456789.0\n12345678"])


if __name__ == "__main__":
    main()
