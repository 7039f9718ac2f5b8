"""The application's events end to end: a package holding the marker has its program run
once per event, in order, with the version; one without it is never run so."""
import os
import time

import e2e
from e2e import root

MARKER = "brindlewick.events"


def release(version, marker=True, event_exit=0, event_hang=False):
    files = {"brindlewick.exe": None, "version.txt": version.encode()}
    if marker:
        files[MARKER] = b""
    if event_exit:
        files["event_exit.txt"] = b"%d" % event_exit
    if event_hang:
        files["event_hang.txt"] = b""
    return files


def publish(server, channel, version, **options):
    """Publishes the release under a name of this file's own, announced by `channel`."""
    return server.publish(version, release(version, **options), name=channel + "-" + version,
                          channel=channel)


def recorded(path):
    """The events and starts the stand-in application recorded, in order."""
    return e2e.read(path).splitlines() if os.path.exists(path) else []


def test_events_in_order(server, clean, tmp_path, monkeypatch):
    events = str(tmp_path / "events.txt")
    monkeypatch.setenv("BW_EVENTS_FILE", e2e.windows_path(events))
    base = publish(server, "events", "1.0.0")

    # Installed: the event before the first start.
    assert e2e.install(base)[0] == 0
    assert e2e.wait_for(lambda: len(recorded(events)) == 2)
    assert recorded(events) == ["event=installed 1.0.0", "start=app-1.0.0"]
    assert "event installed 1.0.0: exit code 0" in e2e.log_lines()

    # Updated: after the commit, with the new version; a handler's failure is logged and
    # changes nothing.
    publish(server, "events", "2.0.0", event_exit=7)
    assert e2e.start_stub(base) == (0, [])
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "2.0.0", "prev": "1.0.0"}
    assert e2e.log_lines()[-2:] == ["committed 2.0.0 (prev 1.0.0)",
                                    "event updated 2.0.0: exit code 7"]
    assert recorded(events)[2:] == ["start=app-1.0.0", "start=app-2.0.0",
                                    "event=updated 2.0.0"]

    # A handler that hangs is ended after 15 seconds, and the flow goes on.
    publish(server, "events", "3.0.0", event_hang=True)
    assert e2e.start_stub(base) == (0, [])
    began = time.monotonic()
    assert e2e.start_stub(base) == (0, [])
    assert time.monotonic() - began >= 15
    assert e2e.log_lines()[-2:] == ["committed 3.0.0 (prev 2.0.0)",
                                    "event updated 3.0.0: no end in 15 s, ended"]
    assert e2e.state() == {"installed": "3.0.0", "prev": "2.0.0"}
    assert not e2e.running("--brindlewick-event")
    os.remove(root("app-3.0.0", "event_hang.txt"))

    # Uninstalling: before anything is removed, while the program is still there.
    assert recorded(events)[-1] == "event=updated 3.0.0"
    code, _ = e2e.run(e2e.STUB_WIN, "/uninstall", "/quiet", base_url=base)
    assert code == 0
    assert recorded(events)[-1] == "event=uninstalling 3.0.0"
    assert not os.path.exists(root("install.json"))
    assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT), 30)
    assert e2e.uninstall_entry() is None


def test_no_events_without_the_marker(server, clean, tmp_path, monkeypatch):
    events = str(tmp_path / "events.txt")
    monkeypatch.setenv("BW_EVENTS_FILE", e2e.windows_path(events))
    base = publish(server, "no-events", "1.0.0", marker=False)
    assert e2e.install(base)[0] == 0
    publish(server, "no-events", "2.0.0", marker=False)
    assert e2e.start_stub(base) == (0, [])
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state()["installed"] == "2.0.0"
    assert not [line for line in e2e.log_lines() if line.startswith("event ")]
    assert e2e.run(e2e.STUB_WIN, "/uninstall", "/quiet", base_url=base)[0] == 0
    assert recorded(events) == ["start=app-1.0.0", "start=app-1.0.0", "start=app-2.0.0"]
