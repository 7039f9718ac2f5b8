"""Tests of the runner of a guide's shell blocks, on small guides of their own."""
import os
import subprocess
import sys
import time

import pytest

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_shell_blocks.py")
FENCE = "```"


@pytest.fixture
def top(tmp_path):
    """A repository top whose tools folder holds one script."""
    folder = tmp_path / "top"
    (folder / "tools").mkdir(parents=True)
    tool = folder / "tools" / "hello.sh"
    tool.write_text("#!/bin/sh\necho \"hello $1\"\n")
    tool.chmod(0o755)
    return folder


def run_guide(tmp_path, top, text):
    guide = tmp_path / "guide.md"
    guide.write_text(text)
    # The runner's temporary folders are made in the test's own.
    done = subprocess.run([sys.executable, RUNNER, str(guide), str(top)],
                          env=dict(os.environ, TMPDIR=str(tmp_path)),
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout


def kept_folder(output):
    return output.rsplit("the scratch folder is kept: ", 1)[1].strip()


def test_blocks_share_one_shell_in_a_scratch_folder_with_the_tools(tmp_path, top):
    code, out = run_guide(tmp_path, top, "\n".join([
        "Intro with `tools/hello.sh inline` code, not run.",
        FENCE + "sh", "tools/hello.sh world > greeting.txt", "name=guide", FENCE,
        FENCE + "text", "exit 1", FENCE,
        "  " + FENCE + "sh", "  grep -q 'hello world' greeting.txt", "  test \"$name\" = guide",
        "  " + FENCE,
        FENCE + "sh", "test \"$(cat)\" = ''   # nothing to read", FENCE, ""]))
    assert (code, "guide.md: 3 shell blocks ran" in out) == (0, True), out
    assert sorted(os.listdir(tmp_path)) == ["guide.md", "top"]  # nothing left behind


def test_a_failing_block_is_named_with_its_line_and_output(tmp_path, top):
    code, out = run_guide(tmp_path, top, "\n".join([
        "# Guide", FENCE + "sh", "touch made-here", FENCE, "",
        FENCE + "sh", "", "echo before the fault", "false", "echo never", FENCE,
        FENCE + "sh", "touch after", FENCE, ""]))
    assert code == 1
    assert "block 2 of 3, line 7, stopped with exit code 1: echo before the fault" in out
    assert "before the fault" in out and "never" not in out
    scratch = kept_folder(out)
    try:
        assert sorted(os.listdir(scratch)) == ["made-here", "tools"]
    finally:
        subprocess.run(["rm", "-rf", scratch], check=True)


@pytest.mark.parametrize("body, reason", [
    ("echo $undefined_variable", "unbound variable"),
    ("false | cat", "exit code 1"),
])
def test_the_shell_is_strict(tmp_path, top, body, reason):
    code, out = run_guide(tmp_path, top, "%ssh\n%s\n%s\n" % (FENCE, body, FENCE))
    assert code == 1 and reason in out
    subprocess.run(["rm", "-rf", kept_folder(out)], check=True)


def ended(pid):
    """Whether process `pid` has ended (a zombie not yet reaped by its new parent counts)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_a_process_a_block_leaves_running_is_ended_with_the_run(tmp_path, top):
    code, out = run_guide(tmp_path, top, "%ssh\nsleep 600 &\necho $! > \"$TMPDIR/sleeper\"\n%s\n"
                          % (FENCE, FENCE))
    assert (code, "1 shell blocks ran" in out) == (0, True), out
    pid = int((tmp_path / "sleeper").read_text())
    deadline = time.monotonic() + 30
    while not ended(pid):
        assert time.monotonic() < deadline, "the block's process still runs"
        time.sleep(0.05)


@pytest.mark.parametrize("text, message", [
    ("no blocks here\n" + FENCE + "text\nls\n" + FENCE + "\n", "no ```sh block to run"),
    ("intro\n" + FENCE + "sh\nls\n", "the fence opened on line 2 is never closed"),
])
def test_a_guide_that_cannot_be_run_fails(tmp_path, top, text, message):
    assert run_guide(tmp_path, top, text) == (1, "%s: %s\n" % (tmp_path / "guide.md", message))
