"""Crashes anywhere: every process of the Wine session is killed at once, as a crash or a
power cut would end them, at points swept across each flow of the program, and then the
next thing a user would do (start the shortcut, or run the setup program where there is
no shortcut, or the uninstaller again) must find an installation that starts or repairs
itself, or an uninstallation that completes.

Steps too close together for a timed kill are held open with strace: the Wine server,
which renames files for its programs, is held after the first rename of a stub swap or
after the rename that saves install.json; a setup program's writes of its copy are
slowed. Runs in a Wine prefix of its own (BW_WINE_PREFIX), since it ends every process
there. BW_CRASH_POINTS sets the timed points per flow: 4 by default, 25 for the full
sweep. A summary goes to build/test-artifacts/crash-sweep.txt."""
import json
import os
import random
import shutil
import signal
import subprocess
import threading
import time

import pytest

import e2e
from e2e import ROOT_WIN, STUB_WIN, root

POINTS = int(os.environ.get("BW_CRASH_POINTS", "4"))
STATES = os.path.join(e2e.BUILD, "crash-states")
STUB = e2e.read(e2e.SETUP, "rb")
LATER_STUB = STUB + b"later"
TEMP = os.path.join(e2e.USER, "AppData", "Local", "Temp")
REPORT = os.path.join(e2e.BUILD, "test-artifacts", "crash-sweep.txt")
REMOVE = "Remove Brindlewick from this computer?"
RECOVERY_STDERR = os.path.join(e2e.BUILD, "test-artifacts", "crash-recovery-stderr.txt")

if not e2e.PREFIX.endswith("crash-prefix"):
    raise SystemExit("refusing to run: the crash tests end every process of %s" % e2e.PREFIX)


# The Wine session ---------------------------------------------------------------------------


def crash():
    """Ends every process of the session at once; the Wine server, asked to end last,
    keeps the registry as the programs left it, as Windows would."""
    # Again until none is left: one may have been started while the others were ended.
    while e2e.prefix_processes():
        for pid in e2e.prefix_processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    e2e.end_wine_session()
    while _desktop_users:
        _desktop_users.pop().kill()  # ended already; its output goes


_desktop_users = []


def start_session(held_path=None):
    """Starts the Wine server, under strace when the first rename of `held_path` is to
    be held open, then Wine's background services and a program that stays on the
    desktop, with no pipe of ours attached."""
    if held_path is not None:
        # Held far longer than the kill of its programs takes. The server then ends
        # once the hold is over, keeping the registry: strace is not to be ended, for
        # it would take the server with it unsaved.
        subprocess.Popen(
            ["strace", "-f", "--seccomp-bpf", "-qq", "-o", "/dev/null", "-P", held_path,
             "-e", "trace=rename,renameat,renameat2",
             "-e", "inject=rename,renameat,renameat2:delay_exit=5000000",
             "wineserver", "-f", "-p"], env=e2e.WINE_ENV, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert e2e.wait_for(e2e.wine_server_running, 20)
    _desktop_users.append(e2e.start_wine_session())


# Releases and the states flows start from ---------------------------------------------------


def release(version, stub, exit_code=0):
    """The stand-in application with enough files that unpacking and removing them take
    a while, and the stub the release ships."""
    rng = random.Random(version)
    files = {"brindlewick.exe": None, "updater.exe": stub, "version.txt": version.encode(),
             "data/large.bin": rng.randbytes(3 << 20)}
    for i in range(120):
        files["data/part%03d/file.txt" % i] = rng.randbytes(8 << 10)
    if exit_code:
        files["exit_code.txt"] = b"%d" % exit_code
    return files


class World:
    """The releases on the server, the installation states flows start from, and what
    a complete version folder holds."""

    def __init__(self, server, tmp):
        later = os.path.join(tmp, "later.exe")
        e2e.write(later, LATER_STUB)
        self.bases = {}
        self.content = {}
        # 1.4.0 is 1.0.0 with a few bytes changed, offered as a delta from it.
        patched = release("1.0.0", e2e.SETUP)
        patched["version.txt"] = b"1.4.0"
        large = patched["data/large.bin"]
        patched["data/large.bin"] = large[:4096] + b"patched" + large[4103:]
        patched["data/part007/file.txt"] = b"changed"
        for version, files, deltas in (
                ("1.0.0", release("1.0.0", e2e.SETUP), ()),
                ("1.1.0", release("1.1.0", later), ()),
                ("1.2.0", release("1.2.0", later, 1), ()),
                ("1.3.0", release("1.3.0", later), ()),
                ("1.4.0", patched, [("1.0.0", "crash-1.0.0")])):
            self.bases[version] = server.publish(version, files, name="crash-" + version,
                                                 channel="crash-channel-" + version,
                                                 deltas=deltas)
            self.content[version] = e2e.tree(os.path.join(server.www, "crash-" + version,
                                                          "content"))
        self.server = server
        shutil.rmtree(STATES, ignore_errors=True)
        self.make_state(None, "installed", lambda: e2e.install(self.bases["1.0.0"]))
        self.make_state("installed", "staged", lambda: e2e.start_stub(self.bases["1.1.0"]))
        self.make_state("installed", "staged-bad", lambda: e2e.start_stub(self.bases["1.2.0"]))
        # Committed 1.1.0 and its stub, with 1.0.0 as the previous version; 1.3.0 staged.
        self.make_state("staged", "three", lambda: e2e.start_stub(self.bases["1.3.0"]))

    def make_state(self, start, name, step):
        self.restore(start)
        assert step()[0] == 0
        folder = os.path.join(STATES, name)
        shutil.copytree(e2e.ROOT, os.path.join(folder, "root"))
        for i, path in enumerate(e2e.SHORTCUTS):
            shutil.copyfile(path, os.path.join(folder, "shortcut%d" % i))
        e2e.wine("reg", "export", e2e.UNINSTALL_KEY, e2e.windows_path(
            os.path.join(folder, "entry.reg")), "/y")

    def restore_files(self, name):
        # A program of the last run may still be ending, and every start makes the root.
        assert e2e.wait_for(lambda: not _program_running(), 30)
        shutil.rmtree(e2e.ROOT, ignore_errors=True)
        for i, path in enumerate(e2e.SHORTCUTS):
            if os.path.exists(path):
                os.remove(path)
        if os.path.exists(os.path.join(TEMP, "Brindlewick-uninstall.exe")):
            os.remove(os.path.join(TEMP, "Brindlewick-uninstall.exe"))
        if name is None:
            return
        folder = os.path.join(STATES, name)
        shutil.copytree(os.path.join(folder, "root"), e2e.ROOT)
        for i, path in enumerate(e2e.SHORTCUTS):
            shutil.copyfile(os.path.join(folder, "shortcut%d" % i), path)

    def restore_entry(self, name):
        if name is None:
            e2e.wine("reg", "delete", e2e.UNINSTALL_KEY, "/f", check=False)
            return
        # Wine's reg.exe now and then fails an import just after the session restarted.
        entry = e2e.windows_path(os.path.join(STATES, name, "entry.reg"))
        for _ in range(3):
            if e2e.wine("reg", "import", entry, check=False).returncode == 0:
                return
            time.sleep(0.5)
        raise AssertionError("could not import " + entry)

    def restore(self, name):
        self.restore_files(name)
        self.restore_entry(name)


def _program_running():
    """Whether the setup program, a stub or the application still runs."""
    return e2e.running("brindlewick") or e2e.running("updater")


# What must hold -----------------------------------------------------------------------------


def version_tree(version):
    files = e2e.tree(root("app-" + version))
    files.pop("launches.txt", None)  # the stand-in's record of its starts
    return files


def record():
    """install.json's record, None when there is none; it must be valid when there."""
    if not os.path.exists(root("install.json")):
        return None
    state = json.loads(e2e.read(root("install.json")))
    assert isinstance(state, dict) and state.get("installed"), state
    return state


def check_consistent(world):
    """What a kill at any point must leave: a record that is absent or valid and names
    only complete folders (or one set aside for a moment while it is replaced), and a
    stub that is absent or whole."""
    state = record() or {}
    for key in ("installed", "prev", "staged"):
        version = state.get(key)
        if not version:
            continue
        if not os.path.exists(root("app-" + version)):
            assert os.path.exists(root("replaced-" + version)), (key, state)
            continue
        assert version_tree(version) == world.content[version], (key, version)
    if os.path.exists(root("updater.exe")):
        assert e2e.read(root("updater.exe"), "rb") in (STUB, LATER_STUB)
    if state:
        # The record is an installation's last word: the rest is there before it. Only a
        # stub swap cut off between its renames leaves none, for the setup program to
        # put back.
        assert all(os.path.exists(path) for path in e2e.SHORTCUTS)
        assert e2e.uninstall_entry() is not None
        assert os.path.exists(root("updater.exe")) or os.path.exists(root("updater.new.exe"))


def forget_launches():
    for name in os.listdir(e2e.ROOT) if os.path.isdir(e2e.ROOT) else ():
        if os.path.exists(root(name, "launches.txt")):
            os.remove(root(name, "launches.txt"))


def started_versions():
    return [version for version in ("1.0.0", "1.1.0", "1.2.0", "1.3.0", "1.4.0")
            if e2e.launches(version)]


def recover_installation(world, announced, stderr):
    """Runs what a user would next, and checks that the application started from a
    complete folder, that the installation is whole, that its registration names the
    recorded version and that nothing else is left."""
    shortcut_works = (all(os.path.exists(path) for path in e2e.SHORTCUTS) and
                      os.path.exists(root("updater.exe")))
    forget_launches()
    base = world.bases[announced]
    if shortcut_works:
        assert e2e.start_stub(base, stderr=stderr) == (0, [])
    else:
        assert e2e.install(base, stderr=stderr) == (0, [])
    state = record()
    assert state is not None
    installed = state["installed"]
    assert e2e.wait_for(lambda: installed in started_versions())
    # Besides it, only a staged version may have started, for a trial that failed.
    others = [v for v in started_versions() if v != installed]
    assert all(v in state.get("bad", []) for v in others), (others, state)
    check_consistent(world)
    assert os.path.exists(root("app-" + installed))
    named = {"app-" + state[key] for key in ("installed", "prev", "staged") if state.get(key)}
    assert set(os.listdir(e2e.ROOT)) <= named | {"install.json", "updater.exe", "updater.log",
                                                 "updater.old.exe"}
    assert all(os.path.exists(path) for path in e2e.SHORTCUTS)
    assert e2e.uninstall_entry()["DisplayVersion"] == ("REG_SZ", installed)
    return state


def recover_uninstallation(world, stderr):
    entry = e2e.uninstall_entry()
    stub_there = os.path.exists(root("updater.exe"))
    # The registered command works, or nothing is left but, for a moment, the entry.
    assert entry is not None or not stub_there
    if entry is not None:
        program = STUB_WIN if stub_there else e2e.SETUP
        assert e2e.run(program, "/uninstall", base_url=world.bases["1.0.0"],
                       answers=[("Brindlewick", "Yes")], stderr=stderr) == (0, [REMOVE])
    assert e2e.uninstall_entry() is None
    assert not any(os.path.exists(path) for path in e2e.SHORTCUTS)
    # A moved stub whose shell was ended too may stay in the temporary folder: it is no
    # longer part of the installation.
    assert not os.path.exists(e2e.ROOT) or os.listdir(e2e.ROOT) == []


# The flows ----------------------------------------------------------------------------------


class Flow:
    def __init__(self, name, start, announced, program, extra_check=None, args=()):
        self.name, self.start, self.announced = name, start, announced
        self.program, self.extra_check, self.args = program, extra_check, list(args)

    def launch(self, world, wrapper=()):
        base = world.bases[self.announced]
        if self.program == "uninstall":
            process = subprocess.Popen(list(wrapper) + [e2e.WINE_RUN, STUB_WIN, "/uninstall"],
                                       env=dict(os.environ, BRINDLEWICK_UPDATE_URL=base),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            threading.Thread(target=e2e.probe, args=("box", "Brindlewick", "Yes", "60000"),
                             daemon=True).start()
            return process
        program = e2e.SETUP if self.program == "setup" else STUB_WIN
        return subprocess.Popen(list(wrapper) + [e2e.WINE_RUN, program] + self.args,
                                env=dict(os.environ, BRINDLEWICK_UPDATE_URL=base),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def recover(self, world):
        """Recovers as a user would; when that fails, says what the program and Wine said
        on standard error, and the log's last lines. A start that failed for a moment and
        was tried again (the program logs it) goes to the summary with what was said."""
        logged = len(e2e.log_lines(retries=True))
        with open(RECOVERY_STDERR, "w+b") as stderr:
            try:
                if self.program == "uninstall":
                    recover_uninstallation(world, stderr)
                    return
                state = recover_installation(world, self.announced, stderr)
                if self.extra_check:
                    self.extra_check(state)
            except AssertionError as failure:
                raise AssertionError("%s\n-- standard error of the recovery:\n%s\n"
                                     "-- updater.log:\n%s\n-- log without a root:\n%s" % (
                                         failure, said_on(stderr), "\n".join(log_tail()),
                                         "\n".join(e2e.rootless_log()[-5:]))) from failure
            passed = [line for line in e2e.log_lines(retries=True)[logged:]
                      if line.endswith("tried again") or "could not be shown" in line]
            if passed:
                report("%s: recovered after %s; standard error: %s" % (
                    self.name, passed, said_on(stderr)[-1000:].replace("\n", " | ")))


def said_on(stderr):
    stderr.seek(0)
    return stderr.read().decode("utf-8", "replace")[-4000:]


def stays_bad(state):
    """A release that failed its trial stays on the bad list, and is never tried again."""
    assert state.get("bad") == ["1.2.0"] and "staged" not in state, state


FLOWS = [
    Flow("first installation", None, "1.0.0", "setup"),
    Flow("installation over an existing one", "three", "1.3.0", "setup"),
    Flow("background staging", "installed", "1.1.0", "stub"),
    Flow("background staging from a delta", "installed", "1.4.0", "stub"),
    Flow("trial and commit of a release with a new stub", "staged", "1.1.0", "stub"),
    Flow("trial and rollback", "staged-bad", "1.2.0", "stub", stays_bad),
    Flow("commit that removes the older version", "three", "1.3.0", "stub"),
    Flow("uninstallation", "installed", "1.0.0", "uninstall"),
    # The application's check finds the staged 1.1.0 withdrawn (1.0.0 announced again).
    Flow("check that drops a withdrawn staged version", "staged", "1.0.0", "stub",
         args=["/check"]),
    # The application moves to another channel: the staged 1.1.0 is no release of it.
    Flow("channel switch that drops the staged version", "staged", "1.0.0", "stub",
         args=["/channel=beta"]),
]


@pytest.fixture(scope="module")
def world(server, tmp_path_factory):
    crash()
    start_session()
    e2e.trust_test_ca()
    made = World(server, str(tmp_path_factory.mktemp("crash")))
    os.makedirs(os.path.dirname(REPORT), exist_ok=True)
    with open(REPORT, "w") as report:
        report.write("points per flow: %d\n" % POINTS)
    yield made
    made.restore(None)
    crash()  # the server too, which start_session made lasting


def log_tail():
    if not os.path.exists(root("updater.log")):
        return ["(none)"]
    return e2e.read(root("updater.log")).splitlines()[-15:]


def report(line):
    with open(REPORT, "a") as f:
        f.write(line + "\n")


def run_to_end(world, flow):
    """Runs the flow once whole from its start; returns how long it took."""
    world.restore(flow.start)
    began = time.monotonic()
    process = flow.launch(world)
    assert process.wait(120) == 0
    if flow.program == "uninstall":
        assert e2e.wait_for(lambda: not os.path.exists(os.path.join(TEMP,
                                                                    "Brindlewick-uninstall.exe")))
    return time.monotonic() - began


@pytest.mark.parametrize("flow", FLOWS, ids=[flow.name for flow in FLOWS])
def test_a_kill_at_any_point_is_recovered(world, flow):
    length = run_to_end(world, flow)
    rng = random.Random(len(flow.name))
    began = time.monotonic()
    for point in range(POINTS):
        at = length * (point + rng.random()) / POINTS
        world.restore(flow.start)
        process = flow.launch(world)
        time.sleep(at)
        crash()
        process.wait(30)
        start_session()
        check_consistent(world)
        flow.recover(world)
    report("%-50s %5.1f s long, %d points, %5.1f s" % (flow.name, length, POINTS,
                                                      time.monotonic() - began))


def _hold(world, flow, held, reached, client_writes=False):
    """Runs the flow with the step on `held` held open, kills everything once `reached`
    shows the step has happened, and recovers."""
    world.restore_files(flow.start)
    held_path = root(*held.split("/"))
    if not os.path.exists(held_path):
        e2e.write(held_path, "left by an earlier run")
    crash()
    start_session(None if client_writes else held_path)
    world.restore_entry(flow.start)
    wrapper = ()
    if client_writes:
        wrapper = ("strace", "-f", "--seccomp-bpf", "-qq", "-o", "/dev/null", "-P", held_path,
                   "-e", "trace=write,pwrite64", "-e", "inject=write,pwrite64:delay_exit=5000000")
    process = flow.launch(world, wrapper)
    assert e2e.wait_for(reached, 60), "the held step never came"
    crash()
    process.wait(30)
    assert reached(), "the kill came after the held step"
    start_session()
    check_consistent(world)
    flow.recover(world)


def _flow(name):
    return next(flow for flow in FLOWS if flow.name == name)


def test_between_the_two_renames_of_a_stub_swap(world):
    _hold(world, _flow("trial and commit of a release with a new stub"), "updater.exe",
          lambda: not os.path.exists(root("updater.exe")))
    # No stub was left, so the setup program ran: its own copy is the stub, no newer one
    # being at hand.
    assert e2e.read(root("updater.exe"), "rb") == STUB


def test_when_the_record_is_saved(world):
    # An installation's record comes after everything it stands for.
    _hold(world, _flow("first installation"), "install.json.tmp", lambda: record() is not None)
    # A rollback's and a commit's come before the removal of the folders it no longer
    # names.
    rollback = _flow("trial and rollback")
    _hold(world, rollback, "install.json.tmp",
          lambda: "bad" in (record() or {}) and os.path.exists(root("app-1.2.0")))
    commit = _flow("commit that removes the older version")
    _hold(world, commit, "install.json.tmp",
          lambda: (record() or {}).get("installed") == "1.3.0" and
          os.path.exists(root("app-1.0.0")))


def test_while_the_setup_program_copies_itself(world):
    def copying():
        copied = e2e.read(root("updater.new.exe"), "rb")
        return copied.startswith(b"MZ") and len(copied) < len(STUB)

    _hold(world, _flow("installation over an existing one"), "updater.new.exe", copying,
          client_writes=True)
