#!/usr/bin/python3
"""Runs the shell blocks of a guide, so that its commands are the ones that work.

  run_shell_blocks.py DOC REPO_TOP

Every block fenced as ```sh in DOC (Markdown) is run, in the order of the page, one after
the other in ONE `bash -euo pipefail` process: files and variables a block makes are
there for the blocks after it. Blocks fenced otherwise (```text, ```cpp, ...) and
commands in the prose are not run; a guide keeps there what cannot run here, such as the
configuration of the Windows build.

The process starts in a fresh scratch folder whose `tools` is a link to REPO_TOP/tools,
so that the commands read as a publisher types them from the repository's top folder
(`tools/release.py keygen publisher.pem`). Its standard input is empty, so nothing waits
for a person.

On success it prints how many blocks ran and removes the scratch folder. When a block
fails (a command in it ends with another code than 0, or the whole run outlasts
TIME_LIMIT seconds) it prints which block (its first line and that line's number in DOC)
and what the block wrote, keeps the scratch folder and prints its path, and exits 1.
A DOC without a shell block, or with a fence left open, fails too; bad usage exits 2.
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# Far beyond what a guide's blocks take (seconds): a block that hangs still ends the run.
TIME_LIMIT = 300
RUN_LANGUAGE = "sh"
OPENING = re.compile(r"^( {0,3})(`{3,}|~{3,})\s*([^`\s]*)[^`]*$")


class GuideError(Exception):
    """The guide cannot be read into blocks; the message says where."""


class Block:
    def __init__(self, line, text):
        self.line = line  # the number, in the guide, of its first line
        self.text = text

    def first_line(self):
        for line in self.text.splitlines():
            if line.strip():
                return line.strip()
        return "(empty block)"


def shell_blocks(markdown):
    """The ```sh blocks of a Markdown text, in order. A fence closes with a run of the
    same character at least as long as the one that opened it; the indentation of the
    opening fence is taken off each line of its block."""
    blocks = []
    lines = markdown.splitlines()
    i = 0
    while i < len(lines):
        opening = OPENING.match(lines[i])
        if not opening:
            i += 1
            continue
        indent, fence, language = len(opening.group(1)), opening.group(2), opening.group(3)
        closing = re.compile(r"^ {0,3}%s%s*\s*$" % (re.escape(fence), re.escape(fence[0])))
        body = []
        j = i + 1
        while j < len(lines) and not closing.match(lines[j]):
            line = lines[j]
            body.append(line[indent:] if line.startswith(" " * indent) else line.lstrip())
            j += 1
        if j == len(lines):
            raise GuideError("the fence opened on line %d is never closed" % (i + 1))
        if language == RUN_LANGUAGE:
            blocks.append(Block(i + 2, "\n".join(body) + "\n"))
        i = j + 1
    return blocks


def script(blocks, runner):
    """One bash script of all blocks. Before each, the shell notes the block's number and
    sends what follows to a file of that block's own: the blocks themselves stay exactly
    as the guide writes them."""
    parts = []
    for number, block in enumerate(blocks, 1):
        output = shlex.quote(os.path.join(runner, "block-%d.out" % number))
        progress = shlex.quote(os.path.join(runner, "progress"))
        parts.append("exec >%s 2>&1 </dev/null\nprintf '%%d\\n' %d >%s\n%s" % (
            output, number, progress, block.text))
    return "".join(parts)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def guide_env():
    """The caller's environment without the program's own variables (a signing password,
    an update address), which the guide sets where it needs them."""
    return {name: value for name, value in os.environ.items()
            if not name.startswith("BRINDLEWICK_")}


def run(blocks, scratch, runner):
    """Runs the blocks in `scratch`; (number of the last block begun, exit code or None
    when the time ran out)."""
    path = os.path.join(runner, "guide.sh")
    with open(path, "w", encoding="utf-8") as f:
        f.write(script(blocks, runner))
    with open(os.path.join(runner, "shell.out"), "wb") as shell_output:
        process = subprocess.Popen(["bash", "-euo", "pipefail", path], cwd=scratch,
                                   env=guide_env(), stdin=subprocess.DEVNULL, stdout=shell_output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            code = process.wait(timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            code = None
        # What the blocks left running (a server started in the background, say) is ended
        # with the shell: the session is this run's own.
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        process.wait()
    begun = read_text(os.path.join(runner, "progress")).strip()
    return (int(begun) if begun.isdigit() else 0), code


def report_failure(doc, blocks, begun, code, runner, scratch):
    if begun == 0:
        print("%s: the shell stopped before the first block:" % doc)
    else:
        block = blocks[begun - 1]
        why = ("ran past %d seconds" % TIME_LIMIT if code is None
               else "stopped with exit code %d" % code if code != 0
               else "ended the shell before the blocks after it")
        print("%s: block %d of %d, line %d, %s: %s" % (doc, begun, len(blocks), block.line, why,
                                                     block.first_line()))
        print("--- what it wrote ---")
        sys.stdout.write(read_text(os.path.join(runner, "block-%d.out" % begun)))
    shell = read_text(os.path.join(runner, "shell.out"))
    if shell.strip():
        print("--- the shell ---")
        sys.stdout.write(shell)
    print("--- the scratch folder is kept: %s" % scratch)


def main(argv):
    if len(argv) != 3:
        print("usage: run_shell_blocks.py DOC REPO_TOP", file=sys.stderr)
        return 2
    doc, top = argv[1], os.path.abspath(argv[2])
    if not os.path.isdir(os.path.join(top, "tools")):
        print("run_shell_blocks.py: %s has no tools folder" % top, file=sys.stderr)
        return 2
    try:
        with open(doc, encoding="utf-8") as f:
            blocks = shell_blocks(f.read())
    except OSError as e:
        print("run_shell_blocks.py: cannot read %s: %s" % (doc, e.strerror), file=sys.stderr)
        return 2
    except GuideError as e:
        print("%s: %s" % (doc, e))
        return 1
    if not blocks:
        print("%s: no ```%s block to run" % (doc, RUN_LANGUAGE))
        return 1
    scratch = tempfile.mkdtemp(prefix="guide-")
    runner = tempfile.mkdtemp(prefix="guide-runner-")
    try:
        os.symlink(os.path.join(top, "tools"), os.path.join(scratch, "tools"))
        started = time.monotonic()
        begun, code = run(blocks, scratch, runner)
        if code == 0 and begun == len(blocks):
            print("%s: %d shell blocks ran (%.1f s)" % (doc, len(blocks),
                                                       time.monotonic() - started))
            shutil.rmtree(scratch, ignore_errors=True)
            return 0
        report_failure(doc, blocks, begun, code, runner, scratch)
        return 1
    finally:
        shutil.rmtree(runner, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
