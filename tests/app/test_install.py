"""The installer role end to end: the real program under Wine and Xvfb, the local HTTPS
update server, releases made with the release tool."""
import json
import os
import time

import pytest

import e2e
import release
from e2e import ROOT_WIN, STUB_WIN, root

RELEASE = {"brindlewick.exe": None, "data/readme.txt": b"hello\n", "data/empty.bin": b"",
           "updater.exe": e2e.SETUP}
SCRATCH = ("dl-tmp.zip", "staging-tmp", "updater.new.exe")


def failed(reason):
    return "Installation failed.\n\n" + reason


def package_size(server, name):
    return os.path.getsize(os.path.join(server.www, name, "package.zip"))


def test_fresh_installation(server, clean):
    # The digest in upper case matches all the same; the size is held to.
    base = server.publish("1.0.0", RELEASE, tamper=lambda m: m.update(
        sha256=m["sha256"].upper(), size=package_size(server, "1.0.0")))
    # A downloaded setup program carries a zone mark its copy (made as updater.new.exe)
    # may inherit. Wine keeps such a stream as a file of that name beside the copy.
    e2e.write(root("updater.new.exe:Zone.Identifier"), "[ZoneTransfer]\r\nZoneId=3\r\n")

    assert e2e.install(base) == (0, [])  # no box

    assert e2e.wait_for(lambda: e2e.launches("1.0.0"))
    app = "%s\\app-1.0.0" % ROOT_WIN
    assert e2e.launches("1.0.0") == [('"%s\\brindlewick.exe"' % app, app)]
    installed = e2e.tree(root("app-1.0.0"))
    del installed["launches.txt"]
    assert installed == e2e.tree(os.path.join(server.www, "1.0.0", "content"))
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.0.0", "install.json", "updater.exe",
                                           "updater.log"]
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(e2e.SETUP, "rb")
    assert 0 <= e2e.bucket() <= 99
    assert e2e.read(root("install.json")) == (
        '{\n  "bucket": %d,\n  "installed": "1.0.0"\n}' % e2e.bucket())
    assert e2e.log_lines() == ["installed 1.0.0"]
    for path in e2e.SHORTCUTS:
        assert e2e.shortcut(path) == {"target": STUB_WIN, "workdir": ROOT_WIN,
                                      "icon": STUB_WIN + ",0", "description": "Brindlewick"}
    # The size estimate was taken before the record, the log and the application's first
    # output.
    measured = sum(len(data) for rel, data in e2e.tree(e2e.ROOT).items()
                   if rel not in ("install.json", "updater.log",
                                  os.path.join("app-1.0.0", "launches.txt")))
    assert e2e.uninstall_entry() == {
        "DisplayName": ("REG_SZ", "Brindlewick"),
        "DisplayVersion": ("REG_SZ", "1.0.0"),
        "Publisher": ("REG_SZ", "Quorvane Oy"),
        "DisplayIcon": ("REG_SZ", STUB_WIN),
        "InstallLocation": ("REG_SZ", ROOT_WIN),
        "UninstallString": ("REG_SZ", '"%s" /uninstall' % STUB_WIN),
        "QuietUninstallString": ("REG_SZ", '"%s" /uninstall /quiet' % STUB_WIN),
        "URLInfoAbout": ("REG_SZ", "https://www.brindlewick.example/"),
        "NoModify": ("REG_DWORD", "0x1"),
        "NoRepair": ("REG_DWORD", "0x1"),
        "EstimatedSize": ("REG_DWORD", hex(measured // 1024)),
    }


def other_key(tmp_path):
    path = str(tmp_path / "other.pem")
    release.keygen(path)
    return path


FAILURES = {
    "unreachable": (lambda s, t: "https://localhost:1", "download failed (error 12029)"),
    "not found": (lambda s, t: s.url("/files/nowhere"), "server returned HTTP (error 404)"),
    "forged": (lambda s, t: s.sign(os.path.join(s.www, "forged"), b'{"version": "9.0"}',
                                   other_key(t)) or s.url("/files/forged"),
               "manifest signature check failed"),
    "bad manifest": (lambda s, t: s.publish("1.0.0", tamper=lambda m: m.update(version="1.x")),
                     "manifest: bad version"),
    "outdated installer": (lambda s, t: s.publish("1.0.0", min_stub="1.2"),
                           "This installer is outdated.\n"
                           "Please download the latest one from brindlewick.example."),
    "checksum": (lambda s, t: s.publish("1.0.0", tamper=lambda m: m.update(sha256="0" * 64)),
                 "checksum mismatch - download corrupted or tampered"),
    "no program": (lambda s, t: s.publish("1.0.0", {"bin/brindlewick.exe": None}),
                   "package has no brindlewick.exe"),
    "program is a folder": (lambda s, t: s.publish("1.0.0", {"brindlewick.exe/x.txt": b"x"}),
                            "package has no brindlewick.exe"),
    "wrong size": (lambda s, t: s.publish("1.0.0", tamper=lambda m: m.update(
        size=package_size(s, "1.0.0") + 1)), "download size differs from the manifest"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_failure_is_shown_logged_and_leaves_nothing(server, clean, tmp_path, case):
    make_base, reason = FAILURES[case]
    base = make_base(server, tmp_path)

    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (1, [failed(reason)])

    assert e2e.log_lines() == ["install failed: " + reason.replace("\n", " ")]
    assert os.listdir(e2e.ROOT) == ["updater.log"]
    assert e2e.uninstall_entry() is None
    assert not any(os.path.exists(path) for path in e2e.SHORTCUTS)


def test_installing_over_an_installation(server, clean):
    v1 = server.publish("1.0.0", RELEASE)
    v2 = server.publish("1.1.0", RELEASE)
    assert e2e.install(v1)[0] == 0
    e2e.write(root("install.json"), '{"installed": "1.0.0", "bad": ["0.9"]}')

    # Over an older version: it stays as the previous one, the bad list as it was.
    assert e2e.install(v2)[0] == 0
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0", "bad": ["0.9"]}
    assert os.path.isdir(root("app-1.0.0"))

    # Over the same version, with another one staged: the folder is replaced whole, the
    # staged version dropped from the record and from the disk.
    e2e.write(root("app-1.1.0", "stale.txt"), "from before")
    e2e.write(root("app-1.2.0", "brindlewick.exe"), "staged")
    e2e.write(root("install.json"), '{"installed": "1.1.0", "prev": "1.0.0", "staged": "1.2.0",'
                                    ' "bad": ["0.9", "1.0.5"]}')
    assert e2e.install(v2)[0] == 0
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0", "bad": ["0.9", "1.0.5"]}
    assert not os.path.exists(root("app-1.1.0", "stale.txt"))
    assert not os.path.exists(root("app-1.2.0"))
    assert e2e.log_lines() == ["installed 1.0.0", "installed 1.1.0", "installed 1.1.0"]


def test_nothing_is_lost_when_files_are_in_use(server, clean):
    base = server.publish("1.0.0", RELEASE)
    assert e2e.install(base)[0] == 0
    record = e2e.read(root("install.json"))

    # The stub in use by another program cannot be replaced by one that differs:
    # install.json stays as it was.
    e2e.write(root("updater.exe"), e2e.read(e2e.SETUP, "rb") + b"older")
    holder = e2e.hold(STUB_WIN)
    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (
        1, [failed("could not install updater.exe")])
    holder.kill()
    assert e2e.read(root("install.json")) == record
    version_dir = e2e.tree(root("app-1.0.0"))  # extracted afresh before the copy failed

    # The version's folder in use cannot be set aside: it stays whole. (Wine lets a folder
    # whose files are open be renamed, so the folder itself is held here.)
    holder = e2e.hold(ROOT_WIN + "\\app-1.0.0")
    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (
        1, [failed("could not move staged version into place")])
    holder.kill()
    assert e2e.tree(root("app-1.0.0")) == version_dir
    assert not any(os.path.exists(root(name)) for name in SCRATCH + ("replaced-1.0.0",))

    # An earlier run's staging folder that cannot be cleared is never extracted into: its
    # stale files would become part of the version.
    e2e.write(root("staging-tmp", "stale.dll"), "from an earlier run")
    holder = e2e.hold(ROOT_WIN + "\\staging-tmp\\stale.dll")
    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (
        1, [failed("cannot clear the staging folder of an earlier run")])
    holder.kill()
    assert e2e.tree(root("app-1.0.0")) == version_dir

    # A replacement cut short leaves a set-aside copy: the next staging puts it back when
    # its version's folder is missing, and drops it otherwise.
    e2e.write(root("install.json"), '{"installed": "1.0.0", "prev": "0.9"}')
    e2e.write(root("replaced-0.9", "kept.txt"), "the only copy")
    e2e.write(root("replaced-1.0.0", "stale.txt"), "old")
    assert e2e.install(base)[0] == 0
    assert e2e.read(root("app-0.9", "kept.txt")) == "the only copy"
    assert not any(name.startswith("replaced-") for name in os.listdir(e2e.ROOT))
    assert not os.path.exists(root("app-1.0.0", "stale.txt"))
    assert not os.path.exists(root("staging-tmp"))


def test_the_newer_stub_is_installed_and_a_lost_one_put_back(server, clean, tmp_path):
    newer = e2e.stub_of_version(str(tmp_path / "updater.exe"), "1.2.0")
    base = server.publish("1.0.0", dict(RELEASE, **{"updater.exe": newer}))

    # The release's stub states a newer version than this setup program: it is the stub.
    assert e2e.install(base)[0] == 0
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(newer, "rb")

    # A stub swap that ended between its two renames left no stub, the older one set
    # aside and the newer one beside it: the setup program puts the newer one in place
    # and clears the rest.
    os.remove(root("updater.exe"))
    e2e.write(root("updater.old.exe"), e2e.read(e2e.SETUP, "rb"))
    e2e.write(root("updater.new.exe"), e2e.read(newer, "rb"))
    assert e2e.install(base)[0] == 0
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(newer, "rb")
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.0.0", "install.json", "updater.exe",
                                           "updater.log"]

    # A release with an older stub, from an older setup program, leaves it in place.
    older = server.publish("1.1.0", RELEASE)
    assert e2e.install(older)[0] == 0
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(newer, "rb")


def test_the_stub_repairs_a_damaged_record_without_copying_itself(server, clean):
    base = server.publish("1.0.0", RELEASE)
    assert e2e.install(base)[0] == 0
    stub_changed = os.stat(root("updater.exe")).st_ctime_ns
    for damage in (None, "{", '{"installed": ""}'):
        if damage is None:
            os.remove(root("install.json"))
        else:
            e2e.write(root("install.json"), damage)
        assert e2e.start_stub(base) == (0, [])
        assert e2e.state() == {"installed": "1.0.0"}
    assert os.stat(root("updater.exe")).st_ctime_ns == stub_changed
    assert e2e.log_lines() == ["installed 1.0.0"] * 4


def test_replays_downgrades_and_withdrawn_releases_are_refused(server, clean):
    now = int(time.time())
    day = 24 * 60 * 60

    def stamped(**times):
        return lambda manifest: manifest.update(times)

    base = server.publish("1.1.0", RELEASE, name="replay-1.1.0", tamper=stamped(issued=now))
    assert e2e.install(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "issued": now}
    assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == 1)
    newer_installed = "A newer version of Brindlewick is already installed."
    withdrawn = "This version of Brindlewick was withdrawn after it failed to start."
    cases = [
        # version, the manifest's times, the box, the exit code, the log line
        ("1.2.0", dict(issued=now - 1), failed("manifest is older than one already seen"), 1,
         "install failed: manifest is older than one already seen"),
        ("1.2.0", dict(issued=now + 1, expires=now - day - 60), failed("manifest expired"), 1,
         "install failed: manifest expired"),
        ("1.0.0", dict(issued=now + 2), newer_installed, 2,
         "install of 1.0.0 refused: 1.1.0 is installed"),
        ("1.0.5", dict(), newer_installed, 2, "install of 1.0.5 refused: 1.1.0 is installed"),
        ("0.9", dict(issued=now + 3), withdrawn, 1,
         "install of 0.9 refused: it failed its trial here"),
    ]
    e2e.write(root("install.json"), json.dumps({"installed": "1.1.0", "issued": now,
                                                "bad": ["0.9"]}))
    for version, times, box, code, logged in cases:
        record = e2e.read(root("install.json"))
        started = len(e2e.launches("1.1.0"))
        base = server.publish(version, RELEASE, name="replay-" + version, tamper=stamped(**times))
        assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (code, [box]), version
        assert e2e.log_lines()[-1] == logged
        assert e2e.read(root("install.json")) == record
        assert not os.path.exists(root("app-" + version))
        # Told that a newer version is there, the user gets it started.
        assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == started + (code == 2), 5)
    # The stub's check refuses a replayed or expired manifest the same way, in its log.
    for version, reason in (("1.2.0", "manifest expired"),):
        assert e2e.start_stub(server.url("/files/replay-" + version)) == (0, [])
        assert e2e.log_lines()[-1] == "check failed: " + reason
    older = server.publish("1.3.0", RELEASE, name="replay-1.3.0", tamper=stamped(issued=now - 5))
    assert e2e.start_stub(older) == (0, [])
    assert e2e.log_lines()[-1] == "check failed: manifest is older than one already seen"
    assert e2e.state()["issued"] == now

    # A manifest made before issue times were signed in is accepted, and the time kept
    # stays; a newer one raises it.
    assert e2e.install(server.publish("1.1.0", RELEASE, name="replay-untimed"))[0] == 0
    assert e2e.state()["issued"] == now
    assert e2e.install(server.publish("1.1.0", RELEASE, name="replay-later",
                                      tamper=stamped(issued=now + 9)))[0] == 0
    assert e2e.state()["issued"] == now + 9


def test_the_window_during_an_installation(server, clean):
    files = dict(RELEASE, **{"data/noise.bin": os.urandom(8 << 20)})
    server.publish("1.0.0", files, name="slow", route="/slow/25")
    server.publish("1.0.0", files, name="unannounced", route="/slow-no-length/10")

    # latest.json comes slowly too, so that every status stays long enough to be seen.
    # The watcher, a program that takes its time to start on a busy machine, waits for the
    # window rather than the window for it.
    watcher = e2e.probe_in_background("watch")
    setup = e2e.start(e2e.SETUP, base_url=server.url("/slow/300/slow"))
    assert e2e.wait_for(lambda: e2e.probe("close", "100").stdout == "open\n")
    artifact = os.path.join(e2e.BUILD, "test-artifacts", "progress-window.png")
    os.makedirs(os.path.dirname(artifact), exist_ok=True)
    assert e2e.probe("shot", e2e.windows_path(artifact), "30000", "Downloading").stdout == (
        "426x165\n")
    assert e2e.read(artifact, "rb").startswith(b"\x89PNG\r\n\x1a\n")
    assert e2e.finish(setup) == 0  # the close attempts changed nothing
    seen = [line.split("|") for line in watcher.finish().splitlines()]

    statuses = [status for status, _ in seen if status]
    assert [s for i, s in enumerate(statuses) if i == 0 or s != statuses[i - 1]] == [
        "Checking latest version...", "Downloading Brindlewick 1.0.0...", "Verifying...",
        "Setting up..."]
    percents = [int(bar[:-1]) for status, bar in seen
                if status.startswith("Downloading") and bar.endswith("%")]
    assert len(percents) > 10 and percents == sorted(percents) and percents[-1] >= 95
    for status in ("Checking latest version...", "Verifying...", "Setting up..."):
        assert [status, "marquee"] in seen

    # Without a length, the bar stays indeterminate through the download.
    watcher = e2e.probe_in_background("watch")
    setup = e2e.start(e2e.SETUP, base_url=server.url("/slow/300/unannounced"))
    assert e2e.finish(setup) == 0
    watched = [line.split("|") for line in watcher.finish().splitlines()]
    downloading = [line[1] for line in watched if line[0].startswith("Downloading")]
    assert downloading and set(downloading) == {"marquee"}, watched


def test_the_installer_waits_for_a_running_update(server, clean):
    base = server.publish("1.0.0", RELEASE, name="waiting")
    holder = e2e.probe_in_background("lock", "60000")
    holder.wait_for_line("locked")
    watcher = e2e.probe_in_background("watch")
    setup = e2e.start(e2e.SETUP, base_url=base)
    waiting = "Waiting for another update to finish...|marquee"
    watcher.wait_for_line(waiting)
    assert server.requests("/waiting/") == []  # not even the release it would install
    # Ended without releasing it: an abandoned lock is taken all the same.
    holder.kill()
    released = time.monotonic()
    assert e2e.finish(setup) == 0
    assert [when > released for when, _ in server.requests("/waiting/")] == [True, True]
    assert waiting in watcher.finish().splitlines()
    assert e2e.state() == {"installed": "1.0.0"}

    # A lock that cannot be made is no reason to install without it.
    squatter = e2e.probe_in_background("squat", "60000")
    squatter.wait_for_line("squatted")
    assert e2e.install(base, [("Brindlewick Setup", "OK")]) == (
        1, [failed("cannot make the updater lock (error 6)")])
    squatter.kill()
    assert e2e.state() == {"installed": "1.0.0"}
