"""Unattended installation and removal (/quiet) end to end: no window and no box come up,
the outcome is the exit code and the reasons are in updater.log."""
import os

import e2e
from e2e import STUB_WIN, root

RELEASE = {"brindlewick.exe": None, "updater.exe": e2e.SETUP}
INSTALLED = "installed 1.0.0"


def installed_everywhere():
    return (os.path.isfile(root("install.json")) and e2e.uninstall_entry() is not None and
            all(os.path.exists(path) for path in e2e.SHORTCUTS))


def test_quiet_installation_and_removal(server, clean):
    spy = e2e.probe_in_background("spy", "0")  # until ended
    spy.wait_for_line("watching")
    base = server.publish("1.0.0", RELEASE)
    older = server.publish("0.9.0", RELEASE)
    settings = os.path.join(e2e.SETTINGS, "settings.ini")

    # (what, switches, update address, exit code, last log line, launches of 1.0.0 after)
    installs = [
        ("first installation", ["/quiet"], base, 0, INSTALLED, 0),
        ("again, started", ["/QUIET", "/launch"], base, 0, INSTALLED, 1),
        ("an older release", ["/quiet"], older, 2, "install of 0.9.0 refused: 1.0.0 is installed",
         1),
        ("older, started", ["/quiet", "/launch"], older, 2,
         "install of 0.9.0 refused: 1.0.0 is installed", 2),
        ("no release there", ["/quiet", "/launch"], server.url("/files/nowhere"), 1,
         "install failed: server returned HTTP (error 404)", 2),
    ]
    for what, switches, url, code, line, started in installs:
        assert e2e.run(e2e.SETUP, *switches, base_url=url) == (code, []), what
        assert e2e.log_lines()[-1] == line, what
        assert installed_everywhere() and e2e.state()["installed"] == "1.0.0", what
        # A start is a process before it is a record: none may run, nor have run.
        assert e2e.wait_for(lambda: not e2e.running("app-1.0.0")), what
        assert len(e2e.launches("1.0.0")) == started, what

    # A lock another process holds, or that cannot be made: 3, nothing changed.
    squatter = e2e.probe_in_background("squat", "60000")
    squatter.wait_for_line("squatted")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (3, [])
    assert e2e.log_lines()[-1] == "install failed: cannot make the updater lock (error 6)"
    assert e2e.run(STUB_WIN, "/uninstall", "/quiet", base_url=base) == (3, [])
    assert e2e.log_lines()[-1] == "uninstall refused: cannot make the updater lock (error 6)"
    squatter.kill()
    assert installed_everywhere()

    # While the application runs, nothing is removed and nobody is asked.
    e2e.write(root("app-1.0.0", "delay_ms.txt"), "60000")
    app = e2e.start(e2e.ROOT_WIN + "\\app-1.0.0\\brindlewick.exe", base_url=base)
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 3)
    assert e2e.run(STUB_WIN, "/uninstall", "/quiet", base_url=base) == (1, [])
    assert e2e.log_lines()[-1] == "uninstall refused: Brindlewick is running"
    assert installed_everywhere()
    e2e.end_programs("app-1.0.0")
    app.wait()
    os.remove(root("app-1.0.0", "delay_ms.txt"))

    # Removed without a question; the settings stay unless /removesettings is given.
    e2e.write(settings, "volume=3")
    assert e2e.run(STUB_WIN, "/uninstall", "/quiet", base_url=base) == (0, [])
    assert e2e.uninstall_entry() is None
    assert not any(os.path.exists(path) for path in e2e.SHORTCUTS)
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))
    assert e2e.read(settings) == "volume=3"
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (0, [])
    assert e2e.run(e2e.SETUP, "/uninstall", "/quiet", "/removesettings", base_url=base) == (0, [])
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT))
    assert not os.path.exists(e2e.SETTINGS)

    # Files another program holds stay, and the removal says it is incomplete.
    assert e2e.run(e2e.SETUP, "/quiet", base_url=base) == (0, [])
    holder = e2e.hold(e2e.ROOT_WIN + "\\app-1.0.0\\brindlewick.exe")
    try:
        assert e2e.run(e2e.SETUP, "/uninstall", "/quiet", base_url=base) == (1, [])
        assert os.path.isfile(root("app-1.0.0", "brindlewick.exe"))
        assert e2e.uninstall_entry() is None and not os.path.exists(root("install.json"))
    finally:
        holder.kill()
    # The shell left to remove the root tries once, about two seconds after the removal
    # ended.
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT), timeout=30)

    assert spy.poll() is None  # still watching: nothing below went unseen
    assert spy.kill() == "watching\n"  # no window, no box, at any point
