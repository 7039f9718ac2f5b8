"""The updater and uninstaller roles end to end: releases tried, committed and rolled
back by the real stub under Wine, against the local HTTPS server."""
import os
import time

import e2e
from e2e import ROOT_WIN, STUB_WIN, root

REMOVE = "Remove Brindlewick from this computer?"
SETTINGS = "Also remove settings and saved configurations?"
RUNNING = "Brindlewick is running. Close it, then choose Retry."
UPDATING = "Brindlewick is being updated. Choose Retry in a moment."
NOT_TAKEN = "updater of app-%s not taken: %s"


def release(version, exit_code=0, delay_ms=0, stub=e2e.SETUP):
    """The stand-in application, exiting with `exit_code` after `delay_ms`, and a stub."""
    files = {"brindlewick.exe": None, "updater.exe": stub, "version.txt": version.encode()}
    if exit_code:
        files["exit_code.txt"] = b"%d" % exit_code
    if delay_ms:
        files["delay_ms.txt"] = b"%d" % delay_ms
    return files


def packages(server, version):
    return len(server.requests("/%s/package.zip" % version))


def test_release_cycle(server, clean, tmp_path):
    later_stub = str(tmp_path / "updater.exe")
    e2e.write(later_stub, e2e.read(e2e.SETUP, "rb") + b"\0" * 64)
    base = server.publish("1.0.0", release("1.0.0"), channel="cycle")

    def stub():
        assert e2e.start_stub(base) == (0, [])

    assert e2e.install(base)[0] == 0
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 1)

    # The stub, started in any letter case, starts the installed version and stages the
    # next release.
    server.publish("1.1.0", release("1.1.0", stub=later_stub), channel="cycle")
    assert e2e.run(ROOT_WIN + "\\UPDATER.EXE", base_url=base) == (0, [])
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert os.path.isfile(root("app-1.1.0", "brindlewick.exe"))
    assert e2e.log_lines()[-1] == "staged 1.1.0"

    # Its trial ends with exit code 0: committed, and the stub it ships replaces this one.
    stub()
    assert len(e2e.launches("1.1.0")) == 1 and len(e2e.launches("1.0.0")) == 2
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", "1.1.0")
    assert e2e.log_lines()[-2:] == ["committed 1.1.0 (prev 1.0.0)",
                                    "updater self-upgraded from app-1.1.0"]
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(later_stub, "rb")
    assert os.path.exists(root("updater.old.exe"))

    # A release that exits 1 in its trial is rolled back and never fetched again; the
    # installed version starts in its place.
    server.publish("1.2.0", release("1.2.0", exit_code=1, stub=later_stub), channel="cycle")
    stub()
    assert not os.path.exists(root("updater.old.exe"))
    assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == 2)
    stub()
    assert e2e.log_lines()[-1] == "staged 1.2.0 exited 1 in <15s, rolling back"
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0", "bad": ["1.2.0"]}
    assert not os.path.exists(root("app-1.2.0"))
    assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == 3)
    stub()
    assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == 4)
    assert packages(server, "1.2.0") == 1

    # A release for a newer stub is named at every check and never fetched.
    server.publish("1.3.0", release("1.3.0"), min_stub="9.0", channel="cycle")
    stub()
    stub()
    assert e2e.log_lines()[-2:] == ["update 1.3.0 needs newer stub (minStub 9.0)"] * 2
    assert packages(server, "1.3.0") == 0

    # A staged version still running after 15 seconds is committed as it runs; the
    # version before the previous one goes. Its stub cannot replace this one while the
    # name to set this one aside under is in use: this one stays, whole.
    third_stub = str(tmp_path / "third.exe")
    e2e.write(third_stub, e2e.read(later_stub, "rb") + b"\1")
    server.publish("1.4.0", release("1.4.0", delay_ms=600000, stub=third_stub), channel="cycle")
    stub()
    e2e.write(root("updater.old.exe"), "in use")
    holder = e2e.hold(ROOT_WIN + "\\updater.old.exe")
    began = time.monotonic()
    stub()
    assert time.monotonic() - began >= 15
    assert e2e.running("app-1.4.0")  # the stub did not wait for it to end
    e2e.end_programs("app-1.4.0")
    os.remove(root("app-1.4.0", "delay_ms.txt"))  # later starts of it end at once
    holder.kill()
    assert e2e.state() == {"installed": "1.4.0", "prev": "1.1.0", "bad": ["1.2.0"]}
    assert e2e.log_lines()[-2:] == [
        "committed 1.4.0 (prev 1.1.0)",
        NOT_TAKEN % ("1.4.0", "cannot set the stub in place aside (error 5)")]
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(later_stub, "rb")
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.1.0", "app-1.4.0", "install.json",
                                           "updater.exe", "updater.log", "updater.old.exe"]

    # Two stubs at once while the server is slow: one stages, the other leaves it alone.
    server.publish("1.5.0", release("1.5.0", delay_ms=5000, stub=later_stub),
                   route="/slow/600", channel="cycle")
    logged = len(e2e.log_lines())
    first, second = e2e.start(STUB_WIN, base_url=base), e2e.start(STUB_WIN, base_url=base)
    assert (e2e.finish(first), e2e.finish(second)) == (0, 0)
    assert e2e.log_lines()[logged:] == ["staged 1.5.0"]
    assert packages(server, "1.5.0") == 1
    # And the staged version gets one trial: a second stub meanwhile starts the installed
    # version and changes nothing.
    first = e2e.start(STUB_WIN, base_url=base)
    assert e2e.wait_for(lambda: e2e.launches("1.5.0"))
    installed_starts = len(e2e.launches("1.4.0"))
    stub()
    assert e2e.wait_for(lambda: len(e2e.launches("1.4.0")) == installed_starts + 1)
    assert e2e.finish(first) == 0
    assert len(e2e.launches("1.5.0")) == 1
    assert e2e.log_lines()[logged + 1:] == ["committed 1.5.0 (prev 1.4.0)"]

    # The installer does not put the older 1.1.0 back over it: it says so and starts the
    # installed version.
    server.announce("1.1.0", "cycle")
    record = e2e.read(root("install.json"))
    started = len(e2e.launches("1.5.0"))
    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (
        2, ["A newer version of Brindlewick is already installed."])
    assert e2e.read(root("install.json")) == record
    assert e2e.wait_for(lambda: len(e2e.launches("1.5.0")) == started + 1)

    # A commit of the version that is also the previous one keeps the folder it runs from.
    server.announce("1.5.0", "cycle")
    e2e.write(root("install.json"), '{"installed": "1.4.0", "prev": "1.5.0", "staged": "1.5.0"}')
    stub()
    assert e2e.state() == {"installed": "1.5.0", "prev": "1.4.0"}
    assert os.path.isfile(root("app-1.5.0", "brindlewick.exe"))


def test_a_new_stub_must_prove_that_it_runs(server, clean, tmp_path):
    base = server.publish("1.0.0", release("1.0.0"), channel="proof")
    assert e2e.install(base)[0] == 0
    broken = str(tmp_path / "broken.exe")
    e2e.write(broken, e2e.read(e2e.SETUP, "rb")[:4096])
    shipped = {
        "1.1.0": os.path.join(e2e.BIN, "fake_app.exe"),  # ends with 0, states no version
        "1.2.0": e2e.stub_of_version(str(tmp_path / "lying.exe"), "1.2.0", "1.1.0"),
        "1.3.0": broken,
    }
    # Each is committed, but the stub that cannot show it is one stays out; the one that
    # states a newer version is tried again at each check, and refused again.
    for version, stub in shipped.items():
        server.publish(version, release(version, stub=stub), channel="proof")
        for _ in range(2):  # staged, then tried and committed
            assert e2e.start_stub(base) == (0, [])
        assert e2e.state() == {"installed": version, "prev": e2e.state()["prev"]}, \
            e2e.log_lines()
        assert e2e.read(root("updater.exe"), "rb") == e2e.read(e2e.SETUP, "rb"), version
        assert not os.path.exists(root("updater.new.exe"))
    assert not any("self-upgraded" in line for line in e2e.log_lines())
    # At its commit, at that start's check and at the next start's, while installed.
    assert e2e.log_lines().count(NOT_TAKEN % ("1.2.0", "its self-check failed (error 1)")) == 3

    newer = e2e.stub_of_version(str(tmp_path / "newer.exe"), "1.2.0")
    server.publish("1.4.0", release("1.4.0", stub=newer), channel="proof")
    for _ in range(2):
        assert e2e.start_stub(base) == (0, [])
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(newer, "rb")
    assert e2e.log_lines()[-1] == "updater self-upgraded from app-1.4.0"

    # An upgrade that a crash or a refusal cut off is made at the next start's check.
    e2e.write(root("updater.exe"), e2e.read(e2e.SETUP, "rb"))
    assert e2e.start_stub(base) == (0, [])
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(newer, "rb")
    assert e2e.log_lines()[-1] == "updater self-upgraded from app-1.4.0"


def test_what_the_stub_cannot_use(server, clean):
    base = server.publish("1.0.0", release("1.0.0"), channel="odd")
    assert e2e.install(base)[0] == 0
    victim = os.path.join(os.path.dirname(e2e.ROOT), "victim")
    e2e.write(os.path.join(victim, "brindlewick.exe"), e2e.read(e2e.SETUP, "rb"))
    outside = "\\\\..\\\\..\\\\victim"  # app-\..\..\victim: beside the root

    # Staged versions that cannot be tried are dropped without a word: one whose program
    # is missing, the installed one itself, one that is no version.
    for staged in ("1.1.0", "1.0.0", outside):
        e2e.write(root("install.json"), '{"installed": "1.0.0", "staged": "%s"}' % staged)
        assert e2e.start_stub(base) == (0, [])
        assert e2e.state() == {"installed": "1.0.0"}
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 4)

    # A previous version that is no version is never deleted at a commit.
    os.rename(root("app-1.0.0"), root("app-1.1.0"))
    e2e.write(root("install.json"),
              '{"installed": "1.0.0", "staged": "1.1.0", "prev": "%s"}' % outside)
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert os.path.isfile(os.path.join(victim, "brindlewick.exe"))
    assert e2e.log_lines() == ["installed 1.0.0", "committed 1.1.0 (prev 1.0.0)"]

    # A staged version whose program cannot be started is rolled back; the installed one
    # starts instead.
    e2e.write(root("app-1.2.0", "brindlewick.exe"), "not a program")
    e2e.write(root("install.json"), '{"installed": "1.1.0", "staged": "1.2.0"}')
    assert e2e.wait_for(lambda: e2e.launches("1.1.0"))
    started = len(e2e.launches("1.1.0"))
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "bad": ["1.2.0"]}
    assert not os.path.exists(root("app-1.2.0"))
    assert e2e.log_lines()[-1] == "staged 1.2.0 failed to spawn"
    assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == started + 1)

    # A failing check is logged and changes nothing, but that the lock's holder clears
    # what earlier runs left: folders of versions no record names, scratch names.
    record = e2e.read(root("install.json"))
    for leftover in ("app-0.5/brindlewick.exe", "app-x/a.txt", "staging-tmp/b.txt",
                     "dl-tmp.zip", "updater.new.exe", "install.json.tmp"):
        e2e.write(root(*leftover.split("/")), "left")
    assert e2e.start_stub("https://localhost:1") == (0, [])
    assert e2e.log_lines()[-1] == "check failed: download failed (error 12029)"
    assert e2e.read(root("install.json")) == record
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.1.0", "install.json", "updater.exe",
                                           "updater.log"]

    # Nothing to start (1.0.0 became 1.1.0 above): the user is told, no check follows.
    e2e.write(root("install.json"), '{"installed": "1.0.0"}')
    checks = len(server.requests("/odd/latest.json"))
    assert e2e.start_stub(base, answers=[("Brindlewick", "OK")]) == (
        1, ["Brindlewick could not be started.\nRe-running the installer from "
            "brindlewick.example will repair it."])
    assert e2e.log_lines()[-1] == "start of 1.0.0 failed (error 267)"  # its folder is gone
    assert len(server.requests("/odd/latest.json")) == checks
    e2e.remove_tree(victim)


def installed_everywhere():
    return (os.path.isfile(root("updater.exe")) and e2e.uninstall_entry() is not None and
            all(os.path.exists(path) for path in e2e.SHORTCUTS))


def test_uninstall(server, clean):
    base = server.publish("1.0.0", release("1.0.0"), channel="gone")
    settings = os.path.join(e2e.SETTINGS, "settings.ini")
    assert e2e.install(base)[0] == 0

    assert e2e.start_stub(base, "/uninstall", answers=[("Brindlewick", "No")]) == (0, [REMOVE])
    assert not e2e.running("cmd.exe")  # no shell left to remove anything later
    assert installed_everywhere()

    # While the application runs, or another process holds the updater lock, nothing is
    # removed: Cancel leaves it all; Retry, once it has ended, goes on.
    e2e.write(root("app-1.0.0", "delay_ms.txt"), "60000")
    app = e2e.start(ROOT_WIN + "\\app-1.0.0\\brindlewick.exe", base_url=base)
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)
    assert e2e.start_stub(base, "/uninstall", answers=[("Brindlewick", "Yes"),
                                                       ("Brindlewick", "Cancel")]) == (
        0, [REMOVE, RUNNING])
    holder = e2e.probe_in_background("lock", "60000")
    holder.wait_for_line("locked")
    assert e2e.start_stub(base, "/uninstall", answers=[("Brindlewick", "Yes"),
                                                       ("Brindlewick", "Cancel")]) == (
        0, [REMOVE, UPDATING])
    holder.kill()
    assert installed_everywhere() and os.path.isfile(root("install.json"))
    uninstaller = e2e.start(STUB_WIN, "/uninstall", base_url=base)
    assert e2e.probe("box", "Brindlewick", "Yes").stdout == REMOVE + "\n"
    assert e2e.probe("box", "Brindlewick", "none").stdout == RUNNING + "\n"
    app.kill()
    app.wait()
    assert e2e.probe("box", "Brindlewick", "Retry").stdout == RUNNING + "\n"
    assert e2e.finish(uninstaller) == 0
    assert e2e.uninstall_entry() is None
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))
    assert e2e.install(base)[0] == 0

    # The registered command: Yes, then No keeps the settings. A "cmd.exe" beside the stub
    # is not the shell that removes the root.
    e2e.write(root("cmd.exe"), e2e.read(os.path.join(e2e.BIN, "fake_app.exe"), "rb"))
    e2e.write(settings, "volume=3")
    assert e2e.start_stub(base, "/uninstall", answers=[("Brindlewick", "Yes"),
                                                       ("Brindlewick", "No")]) == (
        0, [REMOVE, SETTINGS])
    assert e2e.uninstall_entry() is None
    assert not any(os.path.exists(path) for path in e2e.SHORTCUTS)
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))
    assert e2e.read(settings) == "volume=3"

    # A copy outside the root: Yes, then Yes removes the settings too.
    assert e2e.install(base)[0] == 0
    assert e2e.run(e2e.SETUP, "/uninstall", base_url=base, answers=[("Brindlewick", "Yes"),
                                                                    ("Brindlewick", "Yes")]) == (
        0, [REMOVE, SETTINGS])
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))
    assert not os.path.exists(e2e.SETTINGS)

    # An APPDATA longer than 260 characters is read whole: its settings folder is found.
    appdata = "C:\\users\\%s\\%s" % (os.path.basename(e2e.USER), "\\".join(["x" * 99] * 3))
    e2e.write(os.path.join(e2e.USER, *appdata.split("\\")[3:], "Brindlewick", "a.ini"), "")
    assert e2e.run("cmd", "/c", "set APPDATA=%s&& %s /uninstall" % (appdata, e2e.SETUP_WIN),
                   base_url=base, answers=[("Brindlewick", "Yes"), ("Brindlewick", "Yes")]) == (
        0, [REMOVE, SETTINGS])
    assert not os.path.exists(os.path.join(e2e.USER, *appdata.split("\\")[3:], "Brindlewick"))
    e2e.remove_tree(os.path.join(e2e.USER, "x" * 99))

    # A root whose path has spaces is removed; without a settings folder there is no
    # second question. So is one whose path holds a "%", which no shell is given: the stub
    # removes the root itself, and the shell only its moved program, from the temporary
    # folder.
    temp = os.path.join(e2e.USER, "AppData", "Local", "Temp")
    for folder in ("Local Data", "Local 100%"):
        with e2e.local_app_data("%USERPROFILE%\\" + folder):
            moved = os.path.join(e2e.USER, folder, "Brindlewick")
            os.makedirs(os.path.dirname(moved))
            assert e2e.install(base)[0] == 0
            assert os.path.isfile(os.path.join(moved, "updater.exe"))
            stub = "%s\\%s\\Brindlewick\\updater.exe" % (e2e.USER_WIN, folder)
            assert e2e.run(stub, "/uninstall", base_url=base,
                           answers=[("Brindlewick", "Yes")]) == (0, [REMOVE])
            assert e2e.uninstall_entry() is None
            assert not os.path.exists(moved)
            assert e2e.wait_for(lambda: not os.path.exists(
                os.path.join(temp, "Brindlewick-uninstall.exe")))
        e2e.remove_tree(os.path.join(e2e.USER, folder))
