"""What the application asks of its stub: "/check" and "/apply", and the update client
header that the stand-in application is built with, end to end."""
import os

import e2e
from e2e import root

NOTHING_NEW, FAILED, BUSY, STAGED = 0, 1, 3, 10


def release(version, exit_code=0, client=None):
    """The stand-in application; with `client`, the text of its client.txt."""
    files = {"brindlewick.exe": None, "version.txt": version.encode()}
    if exit_code:
        files["exit_code.txt"] = b"%d" % exit_code
    if client:
        files["client.txt"] = client.encode()
        files["delay_ms.txt"] = b"600000"  # runs until it restarts, or a test ends it
    return files


def publish(server, channel, version, **options):
    """Publishes the release under a name of this file's own, announced by `channel`."""
    return server.publish(version, release(version, **options), name=channel + "-" + version,
                          channel=channel)


def packages(server, version):
    return len(server.requests("/%s/package.zip" % version))


def answer(installed, staged=None, latest=None, error=None):
    return {"installed": installed, "staged": staged, "latest": latest, "error": error}


def test_check_now(server, clean):
    base = publish(server, "check", "1.0.0")
    assert e2e.install(base)[0] == 0
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 1)

    # The server out of reach: the check fails, and says why where the log does.
    code, line = e2e.command(server.url("/files/nowhere"), "/check")
    assert code == FAILED
    assert line["error"] and line["latest"] is None and line["staged"] is None
    assert e2e.log_lines()[-1] == "check failed: " + line["error"]

    assert e2e.command(base, "/check") == (NOTHING_NEW, answer("1.0.0", latest="1.0.0"))

    # A release comes out: staged by the check, whose answer names it; asked again, the
    # check names it again without fetching it again, even when the server is gone.
    publish(server, "check", "1.1.0")
    assert e2e.command(base, "/CHECK") == (STAGED, answer("1.0.0", "1.1.0", "1.1.0"))
    assert e2e.log_lines()[-1] == "staged 1.1.0"
    assert e2e.command(base, "/check") == (STAGED, answer("1.0.0", "1.1.0", "1.1.0"))
    code, line = e2e.command(server.url("/files/nowhere"), "/check")
    assert code == STAGED and line["staged"] == "1.1.0" and line["error"]
    assert packages(server, "check-1.1.0") == 1
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert len(e2e.launches("1.0.0")) == 1 and e2e.launches("1.1.0") == []  # none started

    # Another check, or an installation, holds the lock: nothing is done.
    holder = e2e.probe_in_background("lock", "600000")
    holder.wait_for_line("locked")
    try:
        logged = len(e2e.log_lines())
        assert e2e.command(base, "/check") == (BUSY, answer(
            "1.0.0", error="another installation or check is running"))
        assert len(e2e.log_lines()) == logged
    finally:
        holder.kill()

    # No record to read: a check does not repair, it fails.
    os.remove(root("install.json"))
    assert e2e.command(base, "/check") == (FAILED, {
        "installed": None, "staged": None, "latest": None,
        "error": "install.json could not be read"})
    assert not e2e.running("BrindlewickSetup")


def test_apply_without_anything_staged_starts_the_installed_version(server, clean):
    base = publish(server, "apply", "1.0.0")
    assert e2e.install(base)[0] == 0
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 1)
    # The process to wait for is long gone (or never was): the stub does not wait.
    assert e2e.command(base, "/apply", "/wait", "4000000000")[0] == 0
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)


def test_restart_to_update_with_the_client(server, clean, tmp_path, monkeypatch):
    """The stand-in application checks every second through the client header and
    restarts to update as soon as a version is staged."""
    events = str(tmp_path / "events.txt")
    monkeypatch.setenv("BW_EVENTS_FILE", e2e.windows_path(events))
    client = "periodic 1000\nrestart\n"
    base = publish(server, "client", "1.0.0", client=client)
    assert e2e.install(base)[0] == 0
    checks = lambda version: e2e.read(root("app-" + version, "checks.txt")).splitlines() \
        if os.path.exists(root("app-" + version, "checks.txt")) else []
    assert e2e.wait_for(lambda: len(checks("1.0.0")) >= 2, 60)
    assert checks("1.0.0")[0] == "check=0 installed=1.0.0 staged= latest=1.0.0 error="

    # Published while it runs: its next check stages it, and it restarts into it. The new
    # version starts after the old one has ended, for its trial, and is committed.
    publish(server, "client", "2.0.0", client=client)
    assert e2e.wait_for(lambda: len(e2e.launches("2.0.0")) == 1, 90)
    assert "check=10 installed=1.0.0 staged=2.0.0 latest=2.0.0 error=" in checks("1.0.0")
    # The stub waited for the version it replaces to end before it tried the new one.
    order = e2e.read(events).splitlines()
    assert order.index("end=app-1.0.0") < order.index("start=app-2.0.0"), order
    assert e2e.launches("2.0.0")[0][1] == e2e.ROOT_WIN + "\\app-2.0.0"
    assert e2e.wait_for(lambda: e2e.state().get("installed") == "2.0.0", 60)
    assert e2e.state() == {"installed": "2.0.0", "prev": "1.0.0"}
    # The record is saved before the log names the commit.
    assert e2e.wait_for(lambda: "committed 2.0.0 (prev 1.0.0)" in e2e.log_lines())
    # It was tried for its full 15 seconds: its own checks meanwhile found the lock held,
    # and named nothing to restart into.
    assert "check=3 installed=1.0.0 staged= latest= error=another installation or check " \
           "is running" in checks("2.0.0")
    assert len(e2e.launches("2.0.0")) == 1

    # A release that fails its trial: rolled back, and the installed version starts.
    publish(server, "client", "3.0.0", exit_code=1)
    assert e2e.wait_for(lambda: "bad" in e2e.state(), 90)
    assert e2e.state() == {"installed": "2.0.0", "prev": "1.0.0", "bad": ["3.0.0"]}
    assert "staged 3.0.0 exited 1 in <15s, rolling back" in e2e.log_lines()
    assert e2e.wait_for(lambda: len(e2e.launches("2.0.0")) == 2, 30)
    # The version back in place checks on and finds nothing it may take.
    assert e2e.wait_for(lambda: checks("2.0.0")[-1:] ==
                        ["check=0 installed=2.0.0 staged= latest=3.0.0 error="], 60)
    e2e.end_programs("app-2.0.0")


def test_an_updater_from_before_the_commands_is_not_given_them(server, clean, tmp_path):
    """An installation whose updater predates the commands would take one for a start
    from the shortcut and start the application a second time: the client asks it
    nothing."""
    base = publish(server, "old-stub", "1.0.0", client="periodic 1000\nrestart\n")
    assert e2e.install(base)[0] == 0
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 1)
    e2e.end_programs("app-1.0.0")
    checks = root("app-1.0.0", "checks.txt")
    if os.path.exists(checks):
        os.remove(checks)  # what it found with the updater the installation has
    # The same stub but for the resource that says it takes commands.
    stub = e2e.read(e2e.SETUP, "rb")
    name = "BRINDLEWICK_COMMANDS".encode("utf-16-le")
    assert stub.count(name) == 1
    e2e.write(root("updater.exe"), stub.replace(name, "BRINDLEWICK_COMMANDX".encode("utf-16-le")))
    assert e2e.start_stub(base) == (0, [])
    assert e2e.wait_for(lambda: len(e2e.launches("1.0.0")) == 2)
    assert e2e.wait_for(lambda: os.path.exists(checks) and
                        len(e2e.read(checks).splitlines()) >= 2, 60)
    assert e2e.read(checks).splitlines()[:2] == [
        "check=-1 installed= staged= latest= error=the installation's updater.exe is too old "
        "for these commands"] * 2
    assert len(e2e.launches("1.0.0")) == 2  # no check started it again
    e2e.end_programs("app-1.0.0")
