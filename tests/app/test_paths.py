"""Paths as users have them: a release with folders nested deeper than the 260 characters
Windows allows a path that is not written in the \\\\?\\ form (Wine does not hold to that
limit, so here it only shows that every such path is made and removed), and a profile
whose folder names are beyond ASCII. Each goes through the lifecycle: installed, the
next release staged and committed, removed; install.json and updater.log stay UTF-8."""
import json
import os

import pytest

import e2e

DEEP = "/".join("level%02d-%s" % (i, "d" * 32) for i in range(8)) + "/deepest.txt"
NAMED = "Jérôme Ørsted 山田太郎"


def release(version, deep):
    files = {"brindlewick.exe": None, "updater.exe": e2e.SETUP, "version.txt": version.encode()}
    if deep:
        files["lib/" + DEEP] = b"at the bottom"
    return files


ROWS = [
    # (what, the local application data folder as Windows names it, deep files)
    ("folders nested past 260 characters", None, True),
    ("a profile named beyond ASCII", "C:\\users\\%s\\AppData\\Local" % NAMED, False),
]


@pytest.mark.parametrize("what,local,deep", ROWS, ids=[row[0] for row in ROWS])
def test_the_lifecycle_wherever_the_root_lies(server, clean, what, local, deep):
    assert len("app-1.0.0/lib/" + DEEP) > 300
    folder = (os.path.join(e2e.PREFIX, "drive_c", *local.split("\\")[1:]) if local
              else os.path.dirname(e2e.ROOT))
    root = os.path.join(folder, "Brindlewick")
    stub = (local + "\\Brindlewick\\updater.exe") if local else e2e.STUB_WIN
    os.makedirs(folder, exist_ok=True)
    channel = "paths-%d" % ROWS.index((what, local, deep))
    base = server.publish("1.0.0", release("1.0.0", deep), name=channel + "-1.0.0",
                          channel=channel)
    try:
        with e2e.local_app_data(local or "%USERPROFILE%\\AppData\\Local"):
            assert e2e.install(base)[0] == 0
            server.publish("1.1.0", release("1.1.0", deep), name=channel + "-1.1.0",
                           channel=channel)
            assert e2e.run(stub, base_url=base) == (0, [])  # stages
            assert e2e.run(stub, base_url=base) == (0, [])  # tries and commits
            record = json.loads(e2e.read(os.path.join(root, "install.json"), "rb").decode())
            record.pop("bucket")
            assert record == {"installed": "1.1.0", "prev": "1.0.0"}
            log = e2e.read(os.path.join(root, "updater.log"), "rb").decode()  # UTF-8, or fails
            assert [line.split("] ", 1)[1] for line in log.splitlines()] == [
                "installed 1.0.0", "staged 1.1.0", "committed 1.1.0 (prev 1.0.0)"]
            for version in ("1.0.0", "1.1.0"):
                deepest = os.path.join(root, "app-" + version, "lib", *DEEP.split("/"))
                assert os.path.isfile(deepest) == deep, version
            assert e2e.uninstall_entry()["InstallLocation"] == ("REG_SZ", local + "\\Brindlewick"
                                                                if local else e2e.ROOT_WIN)
            assert e2e.run(stub, "/uninstall", "/quiet", base_url=base) == (0, [])
            assert e2e.wait_for(lambda: not os.path.exists(root), 30)
            assert e2e.uninstall_entry() is None
    finally:
        if local:
            e2e.remove_tree(os.path.join(e2e.PREFIX, "drive_c", *local.split("\\")[1:3]))
