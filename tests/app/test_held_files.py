"""Files another program holds for a while, as a virus scanner holds each file it sees
made or changed: every flow of the lifecycle ends as it does without one. And the rename
of the staged folder refused for a moment, then for longer than the program waits: on
Windows a folder with a file open inside cannot be renamed, which Wine allows, so the
Wine server's rename is made to refuse it. The time each flow takes with and without the
scanner goes to build/test-artifacts/held-files.txt."""
import os
import time

import e2e
from e2e import root

HOLD_MS = 1500
REPORT = os.path.join(e2e.BUILD, "test-artifacts", "held-files.txt")
STAGING = os.path.join(e2e.ROOT, "staging-tmp")


def release(version, stub=e2e.SETUP, exit_code=0):
    files = {"brindlewick.exe": None, "updater.exe": stub, "version.txt": version.encode(),
             "lib/engine.dll": os.urandom(1 << 20), "docs/readme.txt": b"Brindlewick"}
    if exit_code:
        files["exit_code.txt"] = b"%d" % exit_code
    return files


def left(code):
    """What a flow leaves: its exit code, the record, the log's last lines and what the
    root holds. Not the stub a self-upgrade set aside: a start removes it without waiting,
    for it may still run, and so leaves it to a later start while it is held."""
    names = sorted(os.listdir(e2e.ROOT)) if os.path.isdir(e2e.ROOT) else []
    record = e2e.state() if "install.json" in names else None
    return code, record, e2e.log_lines()[-3:], [n for n in names if n != "updater.old.exe"]


def lifecycle(server, tag, tmp_path):
    """Each flow once, in turn, from a machine without Brindlewick; returns
    [(flow, seconds, what it left)]."""
    later = str(tmp_path / ("later-%s.exe" % tag))
    e2e.write(later, e2e.read(e2e.SETUP, "rb") + tag.encode())
    names = {version: "held-%s-%s" % (tag, version) for version in ("1.0.0", "1.1.0", "1.2.0")}
    base = server.publish("1.0.0", release("1.0.0"), name=names["1.0.0"], channel="held-" + tag)
    flows = []

    def timed(flow, step):
        began = time.monotonic()
        code = step()
        flows.append((flow, time.monotonic() - began, left(code)))

    timed("install", lambda: e2e.install(base)[0])
    server.publish("1.1.0", release("1.1.0", later), name=names["1.1.0"], channel="held-" + tag)
    timed("staging", lambda: e2e.start_stub(base)[0])
    timed("trial and commit with a new stub", lambda: e2e.start_stub(base)[0])
    server.publish("1.2.0", release("1.2.0", later, exit_code=1), name=names["1.2.0"],
                   channel="held-" + tag, deltas=[("1.1.0", names["1.1.0"])])
    timed("delta staging", lambda: e2e.start_stub(base)[0])
    timed("rollback", lambda: e2e.start_stub(base)[0])

    def uninstall():
        code = e2e.run(e2e.STUB_WIN, "/uninstall", "/quiet", base_url=base)[0]
        assert e2e.wait_for(lambda: not os.path.exists(e2e.ROOT), 30)
        return code

    timed("uninstall", uninstall)
    return flows


def test_every_flow_ends_as_it_would_while_a_scanner_holds_each_new_file(server, clean, tmp_path):
    plain = lifecycle(server, "plain", tmp_path)
    e2e.remove_installation()
    scanner = e2e.Background(os.path.join(e2e.BIN, "scanner.exe"),
                             e2e.USER_WIN + "\\AppData\\Local", str(HOLD_MS), "Brindlewick")
    try:
        scanner.wait_for_line("watching")
        scanned = lifecycle(server, "scanned", tmp_path)
    finally:
        held = [line for line in scanner.kill().splitlines() if line.startswith("held ")]
    assert len(held) > 20  # it did hold what the flows wrote
    for (flow, _, without), (_, _, with_scanner) in zip(plain, scanned):
        assert with_scanner == without, flow
    assert plain[-2][2][2][-1] == "staged 1.2.0 exited 1 in <15s, rolling back"
    os.makedirs(os.path.dirname(REPORT), exist_ok=True)
    with open(REPORT, "w") as report:
        report.write("flow                               without   with a scanner holding "
                     "each new file %.1f s\n" % (HOLD_MS / 1000))
        for (flow, plain_s, _), (_, scanned_s, _) in zip(plain, scanned):
            report.write("%-34s %6.1f s %8.1f s\n" % (flow, plain_s, scanned_s))


def test_a_folder_rename_refused_for_a_moment_and_then_for_longer(server, clean):
    base = server.publish("1.0.0", release("1.0.0"), name="refused-1.0.0", channel="refused")
    assert e2e.install(base)[0] == 0
    server.publish("1.1.0", release("1.1.0"), name="refused-1.1.0", channel="refused")
    try:
        # Refused three times, as while a scanner reads a file inside: the rename is made
        # once the scanner is done.
        e2e.restart_wine_session(refuse_renames_of=STAGING, refusals="1..3")
        assert e2e.start_stub(base) == (0, [])
        assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
        assert e2e.log_lines()[-1] == "staged 1.1.0"

        # Refused for longer than the program waits: the staging fails, the version just
        # committed starts, and the package, verified, is kept.
        server.publish("1.2.0", release("1.2.0"), name="refused-1.2.0", channel="refused")
        e2e.restart_wine_session(refuse_renames_of=STAGING, refusals="1..1000")
        assert e2e.start_stub(base) == (0, [])
        assert e2e.log_lines()[-2:] == [
            "committed 1.1.0 (prev 1.0.0)",
            "stage 1.2.0 failed: could not move staged version into place"]
        assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
        assert e2e.wait_for(lambda: len(e2e.launches("1.1.0")) == 1)
        assert [n for n in os.listdir(e2e.ROOT) if n.endswith(".partial")]
        assert not os.path.exists(STAGING)
    finally:
        e2e.restart_wine_session()

    # The next start stages it from the kept package, downloading nothing.
    package = "/refused-1.2.0/package.zip"
    fetched = len(server.requests(package))
    assert fetched == 1
    assert e2e.start_stub(base) == (0, [])
    assert e2e.log_lines()[-1] == "staged 1.2.0"
    assert len(server.requests(package)) == fetched
    assert not [n for n in os.listdir(e2e.ROOT) if n.startswith("dl-")]


def test_a_record_that_cannot_be_saved_is_never_taken_for_saved(server, clean):
    """install.json.tmp held by another program for longer than the program waits: every
    save fails, and nothing is logged as done or registered after one."""
    base = server.publish("1.0.0", release("1.0.0"), name="unsaved-1.0.0", channel="unsaved")
    assert e2e.install(base)[0] == 0
    temporary = e2e.ROOT_WIN + "\\install.json.tmp"
    unsaved = "cannot save install.json (error 32)"

    def held_start():
        e2e.write(root("install.json.tmp"), "")
        holder = e2e.hold(temporary)
        try:
            assert e2e.start_stub(base) == (0, [])
        finally:
            holder.kill()

    # Staged but not recorded: logged as failed, and the next check stages it again from
    # the package it kept.
    server.publish("1.1.0", release("1.1.0"), name="unsaved-1.1.0", channel="unsaved")
    held_start()
    assert e2e.log_lines()[-1] == "stage 1.1.0 failed: " + unsaved
    assert e2e.state() == {"installed": "1.0.0"}
    assert e2e.start_stub(base) == (0, [])
    assert e2e.log_lines()[-1] == "staged 1.1.0"
    assert len(server.requests("/unsaved-1.1.0/package.zip")) == 1  # the package was kept

    # Tried and fine, but not recorded as committed: not registered, not logged as
    # committed, not fetched again; the next start tries it again and commits it.
    held_start()
    assert e2e.log_lines()[-1] == "commit of 1.1.0 could not be saved: " + unsaved
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", "1.0.0")
    assert len(server.requests("/unsaved-1.1.0/package.zip")) == 1
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", "1.1.0")

    # Failed its trial, but the bad list could not be saved: the next start rolls it back
    # without trying it again.
    server.publish("1.2.0", release("1.2.0", exit_code=1), name="unsaved-1.2.0",
                   channel="unsaved")
    assert e2e.start_stub(base) == (0, [])
    held_start()
    assert e2e.log_lines()[-2:] == ["staged 1.2.0 exited 1 in <15s, rolling back",
                                    "rollback of 1.2.0 could not be saved: " + unsaved]
    assert e2e.state()["staged"] == "1.2.0"
    assert e2e.start_stub(base) == (0, [])
    assert e2e.log_lines()[-1] == "staged 1.2.0 failed its trial before, rolling back"
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0", "bad": ["1.2.0"]}
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.0.0", "app-1.1.0", "install.json",
                                           "updater.exe", "updater.log"]
    assert len(e2e.launches("1.2.0")) == 0  # its folder is gone; it ran once, before


def test_the_entry_in_the_list_of_programs_follows_the_record(server, clean):
    base = server.publish("1.0.0", release("1.0.0"), name="entry-1.0.0", channel="entry")
    assert e2e.install(base)[0] == 0
    # As a commit killed between its record and its entry leaves it.
    e2e.reg("add", e2e.UNINSTALL_KEY, "/v", "DisplayVersion", "/d", "0.9.0", "/f")
    assert e2e.start_stub(base) == (0, [])
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", "1.0.0")
    # Gone altogether, as a registry cleaner leaves it.
    e2e.reg("delete", e2e.UNINSTALL_KEY, "/f")
    assert e2e.start_stub(base) == (0, [])
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", "1.0.0")
