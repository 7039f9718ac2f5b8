"""Updates from delta packages end to end: the real stub and setup program under Wine
build a release's tree from the installed version's folder and a delta, and fall back to
the full package in the same run whenever that road fails."""
import json
import os
import random
import zipfile

import e2e
import release
from e2e import root

FAILED = "delta %s->%s failed: %s; fetching the full package"


def noise(size, seed):
    return random.Random(seed).randbytes(size)


def release_files(version, changes=None):
    """The stand-in application with a large data file, many small ones, and a stub."""
    files = {"brindlewick.exe": None, "updater.exe": e2e.SETUP, "version.txt": version.encode(),
             "data/big.bin": noise(3 << 20, 1), "old-place.txt": b"moves " * 300,
             "gone.txt": b"removed in the next release"}
    files.update({"data/keep-%d.txt" % i: noise(2000, 100 + i) for i in range(20)})
    for name, data in (changes or {}).items():
        if data is None:
            del files[name]
        else:
            files[name] = data
    return files


def expected_tree(files):
    tree = {}
    for name, data in files.items():
        if data is None or isinstance(data, str):
            data = e2e.read(data or os.path.join(e2e.BIN, "fake_app.exe"), "rb")
        tree[name.replace("/", os.sep)] = data
    return tree


def patched(data, *places):
    for at in places:
        data = data[:at] + b"patched here" + data[at + 12:]
    return data


V1 = release_files("1.0.0")
V2 = release_files("1.1.0", {"data/big.bin": patched(V1["data/big.bin"], 5000, 1 << 20, 3 << 19),
                       "data/keep-7.txt": noise(2000, 7), "old-place.txt": None,
                       "new/place.txt": V1["old-place.txt"], "gone.txt": None,
                       "added.txt": b"new in 1.1.0"})
V3 = release_files("1.2.0", {"data/big.bin": patched(V2["data/big.bin"], 9000), "old-place.txt": None,
                       "gone.txt": None, "data/keep-7.txt": V2["data/keep-7.txt"],
                       "new/place.txt": V1["old-place.txt"], "added.txt": b"changed in 1.2.0"})
def scratch_left():
    """Scratch names of staging still in the root: kept downloads included."""
    return [name for name in os.listdir(root()) if name.startswith("dl-")
            or name in ("delta-patch.tmp", "staging-tmp")]


def without_launches(folder):
    tree = e2e.tree(folder)
    tree.pop("launches.txt", None)
    return tree


def test_an_update_downloads_what_changed_and_builds_the_rest(server, clean):
    base = server.publish("1.0.0", V1, name="d-1.0.0", channel="delta")
    assert e2e.install(base)[0] == 0
    server.publish("1.1.0", V2, name="d-1.1.0", channel="delta",
                   deltas=[("1.0.0", "d-1.0.0")])

    # The check stages 1.1.0 from the delta alone: a patched file, moved and unchanged
    # ones taken from 1.0.0's folder, new ones whole, removed ones gone.
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert len(server.requests("/d-1.1.0/from-1.0.0.zip")) == 1
    assert server.requests("/d-1.1.0/package.zip") == []
    delta_size = os.path.getsize(www("d-1.1.0", "from-1.0.0.zip"))
    assert delta_size < os.path.getsize(www("d-1.1.0", "package.zip")) / 10
    assert without_launches(root("app-1.1.0")) == expected_tree(V2)
    assert scratch_left() == []
    assert e2e.log_lines() == ["installed 1.0.0", "staged 1.1.0"]

    # Tried and committed as any release; the installer, replacing the installed version
    # with the next one, takes its delta too.
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    server.publish("1.2.0", V3, name="d-1.2.0", channel="delta",
                   deltas=[("1.0.0", "d-1.0.0"), ("1.1.0", "d-1.1.0")])
    assert e2e.install(base)[0] == 0
    assert e2e.state()["installed"] == "1.2.0"
    assert len(server.requests("/d-1.2.0/from-1.1.0.zip")) == 1
    assert server.requests("/d-1.2.0/from-1.0.0.zip") == server.requests("/d-1.2.0/package.zip") == []
    assert without_launches(root("app-1.2.0")) == expected_tree(V3)
    assert scratch_left() == []


def rewrite_delta(manifest, change):
    """Changes the delta package the manifest offers, entry by entry, and the offer with
    it, as a publisher's faulty tool would before signing."""
    offer = manifest["deltas"][0]
    path = www("f-1.2.0", "from-1.1.0.zip")
    with zipfile.ZipFile(path) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    with zipfile.ZipFile(path, "w") as z:
        for info, data in entries:
            z.writestr(info, change(info.filename, data))
    offer["sha256"], offer["size"] = release.file_sha256(path), os.path.getsize(path)


def wrong_digest_of(name):
    def change(entry, data):
        if entry != "delta.json":
            return data
        description = json.loads(data)
        for file in description["files"]:
            if file["path"] == name:
                file["sha256"] = "0" * 64
        return json.dumps(description).encode()
    return change


def damaged_patch(entry, data):
    return data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 0xFF]) + data[len(data) // 2 + 1:] \
        if entry.startswith("patch/") else data


def www(*parts):
    return os.path.join(e2e.BUILD, "e2e-www", *parts)


# (what goes wrong, done to the published release or the installed folder, the reason)
FALLBACKS = [
    ("the delta is not the one signed",
     lambda: e2e.write(www("f-1.2.0", "from-1.1.0.zip"), b"x" * os.path.getsize(
         www("f-1.2.0", "from-1.1.0.zip"))),
     "checksum mismatch - download corrupted or tampered"),
    ("the delta is not served", lambda: os.remove(www("f-1.2.0", "from-1.1.0.zip")),
     "server returned HTTP (error 404)"),
    ("a patched file's base changed",
     lambda: e2e.write(root("app-1.1.0", "data", "big.bin"), b"changed by the user"),
     "base file changed: data\\big.bin"),
    ("an unchanged file's base changed",
     lambda: e2e.write(root("app-1.1.0", "data", "keep-3.txt"), b"changed by the user"),
     "base file changed: data\\keep-3.txt"),
    ("a base file is missing", lambda: os.remove(root("app-1.1.0", "new", "place.txt")),
     "base file missing: new\\place.txt"),
    # Files taken as they were are copied beside the others: of two faults, the one met
    # first in the description's order is named, though the later one is found sooner.
    ("a patched file's base and a later unchanged one changed",
     lambda: changed_by_hand(("data", "big.bin"), ("data", "keep-0.txt")),
     "base file changed: data\\big.bin"),
]


def changed_by_hand(*paths):
    """Each file with one byte in its middle changed, its size kept."""
    for parts in paths:
        data = bytearray(e2e.read(root("app-1.1.0", *parts), "rb"))
        data[len(data) // 2] ^= 0xFF
        e2e.write(root("app-1.1.0", *parts), bytes(data))
def offered_to_1_1(manifest):
    manifest["deltas"][0]["from"] = "1.1.0"


def changing_delta(change):
    return lambda manifest: rewrite_delta(manifest, change)


# (what goes wrong, the release the delta starts from, a change before signing, the reason)
TAMPERED = [
    # The patch of data/big.bin reads none of the bytes 1.0.0 and 1.1.0 differ in, so it
    # comes out right; a file 1.1.0 moved away does not.
    ("a delta from another version", "1.0.0", offered_to_1_1, "base file missing: old-place.txt"),
    ("a patch that does not decode", "1.1.0", changing_delta(damaged_patch),
     "patch does not decode"),
    ("a result that does not match", "1.1.0", changing_delta(wrong_digest_of("added.txt")),
     "result does not match: added.txt"),
]


def test_whatever_fails_on_the_delta_road_the_full_package_is_fetched(server, clean):
    server.publish("1.0.0", V1, name="f-1.0.0")
    base = server.publish("1.1.0", V2, name="f-1.1.0", channel="fallback")
    cases = [(name, "1.1.0", None, damage, reason) for name, damage, reason in FALLBACKS]
    cases += [(name, start, tamper, None, reason) for name, start, tamper, reason in TAMPERED]
    for name, start, tamper, damage, reason in cases:
        e2e.remove_installation()
        assert e2e.install(base)[0] == 0, name
        server.publish("1.2.0", V3, name="f-1.2.0", deltas=[(start, "f-" + start)],
                       tamper=tamper)
        server.announce("f-1.2.0", "fallback")
        if damage:
            damage()
        packages = len(server.requests("/f-1.2.0/package.zip"))
        assert e2e.start_stub(base) == (0, []), name
        assert e2e.state()["staged"] == "1.2.0", name
        assert len(server.requests("/f-1.2.0/package.zip")) == packages + 1, name
        assert e2e.log_lines() == ["installed 1.1.0", FAILED % ("1.1.0", "1.2.0", reason),
                                   "staged 1.2.0"], name
        assert without_launches(root("app-1.2.0")) == expected_tree(V3), name
        assert scratch_left() == [], name
        server.announce("f-1.1.0", "fallback")
