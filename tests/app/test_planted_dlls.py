"""DLLs planted where a web page or another program can leave them, beside the setup
program in a download folder and in the install root: no role ever loads one. Wine is
made to look beside the program first for each planted name, as Windows does."""
import os
import shutil

import e2e
from e2e import root

# The DLLs the program loads itself, after its start. (Those that Wine's own DLLs load
# for them, crypt32 for winhttp say, Wine looks for beside the program whatever the
# program asked for; Windows does not, so they are not planted here.)
PLANTED = ("winhttp", "wintrust", "comctl32")
MARKER = os.path.join(e2e.PREFIX, "drive_c", "planted-dll-loaded.txt")


def plant(folder):
    os.makedirs(folder, exist_ok=True)
    for name in PLANTED:
        shutil.copyfile(os.path.join(e2e.BIN, "planted.dll"), os.path.join(folder, name + ".dll"))


def release(version):
    return {"brindlewick.exe": None, "updater.exe": e2e.SETUP, "version.txt": version.encode()}


def test_no_role_loads_a_planted_dll(server, clean, tmp_path, monkeypatch):
    monkeypatch.setenv("BW_DLL_OVERRIDES", ",".join(PLANTED) + "=n,b")
    if os.path.exists(MARKER):
        os.remove(MARKER)
    downloads = str(tmp_path / "Downloads")
    plant(downloads)
    setup = os.path.join(downloads, "BrindlewickSetup.exe")
    shutil.copyfile(e2e.SETUP, setup)
    base = server.publish("1.0.0", release("1.0.0"), channel="planted")

    # The installer, with its window; then the stub, which stages, tries and commits a
    # release with a stub of its own (run once to check itself), and uninstalls.
    assert e2e.run(setup, base_url=base) == (0, [])
    plant(e2e.ROOT)
    later = str(tmp_path / "later.exe")
    e2e.write(later, e2e.read(e2e.SETUP, "rb") + b"later")
    server.publish("1.1.0", dict(release("1.1.0"), **{"updater.exe": later}), channel="planted")
    assert e2e.start_stub(base) == (0, [])
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(later, "rb")
    assert e2e.start_stub(base, "/uninstall", answers=[("Brindlewick", "Yes")]) == (
        0, ["Remove Brindlewick from this computer?"])
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))

    assert not os.path.exists(MARKER), e2e.read(MARKER, "rb").decode("utf-16-le")
