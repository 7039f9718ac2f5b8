"""Drives the real BrindlewickSetup.exe under Wine for the end-to-end tests: the build's
private prefix, the local HTTPS update server, releases made with the release tool, and
ui_probe.exe to read and answer the program's windows."""
import contextlib
import glob
import http.server
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import time

import delta_package
import release
import test_server

BUILD = os.environ["BW_BUILD_DIR"]
BIN = os.path.join(BUILD, "bin")
PREFIX = os.environ.get("BW_WINE_PREFIX", os.path.join(BUILD, "wineprefix"))
WINE_RUN = os.path.join(BUILD, "wine-run")
KEY = os.path.join(BUILD, "dev-key", "manifest-key.pem")
SETUP = os.path.join(BIN, "BrindlewickSetup.exe")
SETUP_WIN = "Z:" + SETUP.replace("/", "\\")
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindlewick"


def _user_folder():
    users = [p for p in glob.glob(os.path.join(PREFIX, "drive_c", "users", "*"))
             if os.path.basename(p) != "Public"]
    assert len(users) == 1, users
    return users[0]


# These tests remove the installation, the shortcuts and the registration they find:
# they must only ever see the build's own prefix.
if not glob.glob(os.path.join(PREFIX, ".bw-ready*")):
    raise SystemExit("refusing to run: %s is not the build's private Wine prefix" % PREFIX)
USER = _user_folder()
USER_WIN = "C:\\users\\" + os.path.basename(USER)
ROOT = os.path.join(USER, "AppData", "Local", "Brindlewick")
ROOT_WIN = USER_WIN + "\\AppData\\Local\\Brindlewick"
STUB_WIN = ROOT_WIN + "\\updater.exe"
SETTINGS = os.path.join(USER, "AppData", "Roaming", "Brindlewick")
SHORTCUTS = [os.path.join(USER, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                          "Programs", "Brindlewick.lnk"),
             os.path.join(USER, "Desktop", "Brindlewick.lnk")]


def stub_of_version(target, version, code_version=None):
    """Writes to `target` a copy of the setup program whose version resource states
    `version`, as a later build's would, and whose code says `code_version` (by default
    the same) where it names its own version. Versions have the built one's length."""
    data = bytearray(read(SETUP, "rb"))
    numbers = [int(part) for part in version.split(".")] + [0] * (4 - version.count(".") - 1)
    fixed = data.find(struct.pack("<II", 0xFEEF04BD, 0x00010000))  # VS_FIXEDFILEINFO
    assert fixed > 0
    ms, ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
    struct.pack_into("<IIII", data, fixed + 8, ms, ls, ms, ls)
    built = b"1.1.0"
    said = (code_version or version).encode()
    assert len(said) == len(built) and data.count(built + b"\0") == 1
    data = data.replace(built + b"\0", said + b"\0")
    write(target, bytes(data.replace(built.decode().encode("utf-16-le"),
                                     version.encode("utf-16-le"))))
    return target


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def root(*parts):
    return os.path.join(ROOT, *parts)


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)


def tree(folder):
    """Relative path -> bytes of every file below `folder`."""
    files = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            files[os.path.relpath(path, folder)] = read(path, "rb")
    return files


def rootless_log():
    """The log the program writes where it cannot find its root, in the temporary folder."""
    path = os.path.join(USER, "AppData", "Local", "Temp", "Brindlewick-updater.log")
    return read(path).splitlines() if os.path.exists(path) else []


# A start of a program that failed for a moment and was tried again: under Wine, the
# first start of a program in a folder just renamed into place fails now and then with
# error 1359. The program logs that it tried again; the tests compare the flows' lines.
TRIED_AGAIN = re.compile(r"start of \S+ failed \(error \d+\); tried again$")


def log_lines(retries=False):
    """The update log's messages, without timestamp and stub version, of the lines written
    whole (each is written at once, but one read as it is written may not be all there);
    lines of a start tried again only with `retries`."""
    if not os.path.exists(root("updater.log")):
        return []
    lines = read(root("updater.log"), "rb").decode("utf-8").split("\n")[:-1]
    messages = [line.split("] ", 1)[1] for line in lines]
    return [m for m in messages if retries or not TRIED_AGAIN.match(m)]


def state():
    """The record, but for the rollout bucket each installation draws at random."""
    record = json.loads(read(root("install.json")))
    record.pop("bucket", None)
    return record


def bucket():
    return json.loads(read(root("install.json"))).get("bucket")


def launches(version):
    """How the stand-in application of a version was started: (command, folder) pairs,
    of the records written whole (each is written at once, but read while it is written
    it may not be all there yet)."""
    path = root("app-" + version, "launches.txt")
    if not os.path.exists(path):
        return []
    lines = read(path, "rb").decode().split("\n")[:-1]  # the last is cut short, or empty
    pairs = [(lines[i][4:], lines[i + 1][4:]) for i in range(0, len(lines) - 1, 2)]
    assert all(line.startswith(("cmd=", "cwd=")) for line in lines), lines
    return pairs


def uninstall_entry():
    """Name -> (type, data) of the uninstall registration, its data as `reg query` shows it
    (a DWORD as "0x1"); None when it is absent. Read from an export, which keeps every
    character, where `reg query` prints through the console's code page."""
    with tempfile.TemporaryDirectory() as folder:
        exported = os.path.join(folder, "entry.reg")
        if reg("export", UNINSTALL_KEY, windows_path(exported), "/y",
               check=False).returncode != 0:
            return None
        text = read(exported, "rb").decode("utf-16")
    values = {}
    for line in text.splitlines():
        text_value = re.fullmatch(r'"((?:[^"\\]|\\.)*)"="((?:[^"\\]|\\.)*)"', line)
        number = re.fullmatch(r'"((?:[^"\\]|\\.)*)"=dword:([0-9a-f]{8})', line)
        if text_value:
            values[unescaped(text_value.group(1))] = ("REG_SZ", unescaped(text_value.group(2)))
        elif number:
            values[unescaped(number.group(1))] = ("REG_DWORD", hex(int(number.group(2), 16)))
    return values


def unescaped(text):
    return re.sub(r"\\(.)", r"\1", text)


def shortcut(path):
    """target, workdir, icon and description of a .lnk file."""
    out = probe("lnk", windows_path(path)).stdout
    return dict(line.split("=", 1) for line in out.splitlines())


def _environ(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def _cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return ""


def prefix_processes():
    """Pids of the processes of this prefix's session, its Wine server aside."""
    marker = ("WINEPREFIX=%s" % PREFIX).encode()
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                name = f.read().strip()
        except OSError:
            continue
        if marker in _environ(int(entry)) and not name.startswith(("wineserver", "strace")):
            pids.append(int(entry))
    return pids


def _programs(fragment):
    return [pid for pid in prefix_processes() if fragment.lower() in _cmdline(pid).lower()]


def running(fragment):
    """Whether a program of the prefix whose command line holds `fragment` runs."""
    return bool(_programs(fragment))


def end_programs(fragment):
    """Ends the programs of the prefix whose command line holds `fragment`."""
    for pid in _programs(fragment):
        try:
            os.kill(pid, 9)
        except ProcessLookupError:
            pass
    assert wait_for(lambda: not running(fragment))


def remove_tree(path):
    shutil.rmtree(path, ignore_errors=True)


def remove_installation():
    """A machine where Brindlewick was never installed, nor is being removed: the shell an
    uninstallation leaves to remove the root later is waited for, lest it remove the next
    installation's."""
    assert wait_for(lambda: not running("cmd.exe"), 30), "a removal's shell did not end"
    end_programs(ROOT_WIN + "\\")  # an application a test left running
    reg("delete", UNINSTALL_KEY, "/f", check=False)
    shutil.rmtree(ROOT, ignore_errors=True)
    shutil.rmtree(SETTINGS, ignore_errors=True)
    for path in SHORTCUTS:
        if os.path.exists(path):
            os.remove(path)


# Programs ---------------------------------------------------------------------------------


def wine(*args, check=True, timeout=60):
    """Runs a program to its end. Its output comes through files, never pipes: a helper
    Wine starts for it (the desktop's explorer.exe) inherits them and may outlive it."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run([WINE_RUN, *args], stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        result.stdout = text_of(out.read())
        result.stderr = text_of(err.read())
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def reg(*args, check=True):
    """Runs Wine's reg.exe with `args`. Wine now and then fails to start it at all: it
    says "Application could not be started", or ends with 1 and says nothing. Such an
    attempt is made again, up to three times; a refusal of reg's own is not."""
    for attempt in range(3):
        result = wine("reg", *args, check=False)
        said = result.stdout + result.stderr
        if result.returncode == 0 or (said.strip() and "could not be started" not in said):
            break
        time.sleep(0.5 * (attempt + 1))
    if check:
        assert result.returncode == 0, (args, result.stdout, result.stderr)
    return result


def text_of(output):
    """Bytes a program wrote, as text with "\n" line ends, as Python reads a pipe."""
    return output.decode("utf-8", "replace").replace("\r\n", "\n").replace("\r", "\n")


def probe(*args, timeout=60):
    return wine(os.path.join(BIN, "ui_probe.exe"), *args, check=False, timeout=timeout)


class Background:
    """A program running beside the test, its output going to a file that `lines` and
    `wait_for_line` read."""

    def __init__(self, *args, env=None):
        self.output = tempfile.NamedTemporaryFile(prefix="bw-e2e-", delete=False)
        self.process = subprocess.Popen([WINE_RUN, *args], env=env, stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.DEVNULL)

    def lines(self):
        """The lines written whole so far, without their line ends (a console program
        writes CR LF)."""
        return text_of(read(self.output.name, "rb")).split("\n")[:-1]

    def wait_for_line(self, line, timeout=60):
        assert wait_for(lambda: line in self.lines() or self.process.poll() is not None,
                        timeout), "%r never came" % line
        assert line in self.lines(), (line, self.lines())

    def poll(self):
        return self.process.poll()

    def finish(self, timeout=30):
        """Waits for it to end on its own; returns all it wrote."""
        self.process.wait(timeout)
        return self.kill()

    def kill(self):
        """Ends it; returns all it wrote."""
        self.process.kill()
        self.process.wait()
        self.output.close()
        text = text_of(read(self.output.name, "rb"))
        os.remove(self.output.name)
        return text


def probe_in_background(*args):
    """ui_probe running beside the test."""
    return Background(os.path.join(BIN, "ui_probe.exe"), *args)


def hold(windows_path):
    """Keeps a file or folder open, as a program using it would, until killed."""
    holder = probe_in_background("hold", windows_path, "600000")
    holder.wait_for_line("held")
    return holder


def start(program, *args, base_url, stderr=None, wrapper=()):
    """Starts the program, under `wrapper` (a command such as strace's that runs the
    rest) when given; what Wine and it say on standard error goes to the open file
    `stderr`, with Wine's error messages on, or nowhere."""
    env = dict(os.environ, BRINDLEWICK_UPDATE_URL=base_url)
    if stderr is not None:
        env["BW_WINEDEBUG"] = "err+all,fixme-all"
    return subprocess.Popen([*wrapper, WINE_RUN, program, *args], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=stderr or subprocess.DEVNULL)


def finish(process, timeout=60):
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        stuck = " / ".join(probe("box", caption, "none", "100").stdout.strip()
                           for caption in ("Brindlewick Setup", "Brindlewick"))
        programs = "; ".join(_cmdline(pid).strip() for pid in prefix_processes())
        process.kill()
        raise AssertionError("the program did not end; a box said: %s; running: %s" % (
            stuck, programs))


def run(program, *args, base_url, answers=(), stderr=None):
    """Runs the program to its end, answering each expected message box in turn with
    (caption, button). Returns (exit code, [texts of the boxes])."""
    process = start(program, *args, base_url=base_url, stderr=stderr)
    texts = []
    for caption, button in answers:
        # Longer than any wait of the program's own, so that a box it shows late is read.
        answered = probe("box", caption, button, "60000", timeout=90)
        if answered.returncode != 0:
            process.kill()  # its box must not come up in the next test
            process.wait()
            raise AssertionError("no box %r came" % caption)
        texts.append(answered.stdout.rstrip("\n").replace("\\n", "\n"))
    return finish(process), texts


def command(base_url, *args, timeout=120):
    """Runs the installed stub with `args` as an application does, its standard output
    a file: (exit code, the one line of JSON it wrote there, or None)."""
    env = dict(os.environ, BRINDLEWICK_UPDATE_URL=base_url)
    with tempfile.TemporaryFile() as out:
        code = subprocess.run([WINE_RUN, STUB_WIN, *args], env=env, stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.DEVNULL, timeout=timeout).returncode
        out.seek(0)
        lines = text_of(out.read()).splitlines()
    assert len(lines) <= 1, lines
    return code, json.loads(lines[0]) if lines else None


def install(base_url, answers=(), stderr=None):
    return run(SETUP, base_url=base_url, answers=answers, stderr=stderr)


def start_stub(base_url, *args, answers=(), stderr=None):
    """The installed stub, started by its Windows path as the shortcut starts it."""
    return run(STUB_WIN, *args, base_url=base_url, answers=answers, stderr=stderr)


# The Wine session ---------------------------------------------------------------------------

WINE_ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")


def start_display():
    """A virtual display of the tests' own, so that no window of another test run covers
    theirs or takes their keys; returns the Xvfb process."""
    number = 90
    while os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" %
                                                                       number):
        number += 1
    xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten",
                             "tcp"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    assert wait_for(lambda: os.path.exists("/tmp/.X11-unix/X%d" % number) or
                    xvfb.poll() is not None, 20), "Xvfb did not start"
    assert xvfb.poll() is None, "Xvfb did not start"
    os.environ["DISPLAY"] = WINE_ENV["DISPLAY"] = ":%d" % number
    return xvfb


def start_wine_session():
    """Starts the prefix's Wine server to last (unless it runs), Wine's background
    services, and a program that stays on the desktop until the session ends
    (tools/test.sh says why): all with their output on nothing of the tests'. Returns that
    program."""
    if not wine_server_running():
        subprocess.run(["wineserver", "-p"], env=WINE_ENV, check=True)
    # Wine's own start-up of the session, not the program under test: on a busy machine,
    # just after the previous session's server ended, it has failed once in some hundreds
    # of starts. Tried three times; what Wine said is kept for a failure that stays.
    with tempfile.TemporaryFile() as said:
        for _ in range(3):
            env = dict(os.environ, BW_WINEDEBUG="err+all,fixme-all")
            if subprocess.run([WINE_RUN, "cmd", "/c", "exit"], env=env, stdin=subprocess.DEVNULL,
                              stdout=said, stderr=said).returncode == 0:
                break
        else:
            said.seek(0)
            raise AssertionError("Wine's session did not start: " + text_of(said.read())[-2000:])
    desktop_user = probe_in_background("desktop")
    desktop_user.wait_for_line("staying")
    return desktop_user


def end_wine_session():
    """Ends every process of the prefix, its Wine server last, which saves the registry as
    they left it, as Windows keeps what a program flushed (Wine's RegFlushKey saves
    nothing: the server keeps the registry in memory until it ends). The server is sent
    SIGINT alone (-k2), on which it ends its processes and, two seconds later, itself,
    saving the registry: `wineserver -k` would kill it unsaved when it has not ended 10
    seconds later, as one held in a slowed rename may not have on a busy machine, and
    SIGTERM would leave its processes running."""
    subprocess.run(["wineserver", "-k2"], env=WINE_ENV, capture_output=True)
    assert wait_for(lambda: not wine_server_running(), 60)


def start_wine_server_refusing(path, refusals):
    """Starts the prefix's Wine server, which renames files for its programs, under strace
    making it refuse the renames of `path` (a Unix path) numbered `refusals` ("1..3": the
    first three) with EACCES, as Windows refuses to rename a folder with a file open
    inside (Wine itself does not)."""
    subprocess.Popen(
        ["strace", "-f", "--seccomp-bpf", "-qq", "-o", "/dev/null", "-P", path,
         "-e", "trace=rename,renameat,renameat2",
         "-e", "inject=rename,renameat,renameat2:error=EACCES:when=%s" % refusals,
         "wineserver", "-f", "-p"], env=WINE_ENV, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert wait_for(wine_server_running, 20)


_restarted = []


def restart_wine_session(refuse_renames_of=None, refusals=None):
    """Ends the session and starts another, whose Wine server refuses renames of
    `refuse_renames_of` as start_wine_server_refusing says, when given."""
    end_wine_session()
    while _restarted:
        _restarted.pop().kill()  # ended already; its output goes
    if refuse_renames_of is not None:
        start_wine_server_refusing(refuse_renames_of, refusals)
    _restarted.append(start_wine_session())


def wine_server_running():
    """Whether this prefix's Wine server runs (other prefixes have their own)."""
    marker = ("WINEPREFIX=%s" % PREFIX).encode()
    out = subprocess.run(["pgrep", "wineserver"], capture_output=True, text=True).stdout
    return any(marker in _environ(int(pid)) for pid in out.split())


SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"


@contextlib.contextmanager
def local_app_data(folder):
    """The user's local application data folder (the install root's parent) at the Windows
    path `folder` for a while, as a user or an administrator may move it."""
    reg("add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d", folder, "/f")
    try:
        yield
    finally:
        reg("add", SHELL_FOLDERS, "/v", "Local AppData", "/t", "REG_EXPAND_SZ", "/d",
            "%USERPROFILE%\\AppData\\Local", "/f")


def trust_test_ca():
    wine(os.path.join(BIN, "trust_ca.exe"),
         windows_path(os.path.join(BUILD, "test-server", "certs", "ca.der")))


# The update server ------------------------------------------------------------------------


class Server:
    """The test update server in this process, over HTTPS with the CA the prefix trusts,
    serving `www` under /files/; with `only_from`, to connections from that address
    alone, others closed at once."""

    def __init__(self, www, only_from=None):
        self.www = www
        os.makedirs(www, exist_ok=True)
        handler = type("E2EHandler", (test_server.Handler,),
                       {"serve_dir": www, "requests": [], "requests_lock": threading.Lock(),
                        "responses": []})
        self.handler = handler
        self.httpd = http.server.ThreadingHTTPServer(("localhost", 0), handler)
        self.httpd.daemon_threads = True
        if only_from:
            self.httpd.verify_request = lambda request, address: address[0] == only_from
        certs = release.make_certificates(os.path.join(BUILD, "test-server", "certs"))
        self.httpd.socket = release.tls_context(certs).wrap_socket(
            self.httpd.socket, server_side=True, do_handshake_on_connect=False)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def url(self, path=""):
        return "https://localhost:%d%s" % (self.port, path)

    def requests(self, containing=""):
        return [(when, path) for when, path in self.handler.requests if containing in path]

    def responses(self, containing=""):
        """The files sent, as test_server.Response: status, range asked, bytes sent."""
        return [r for r in self.handler.responses if containing in r.path]

    def publish(self, version, files=None, name=None, min_stub=None, route="/files",
                tamper=None, channel=None, signer=None, key=KEY, deltas=(), sized=False,
                update_channel=None):
        """Packs a release into www/NAME/ and signs a latest.json there that announces it
        at `route`/NAME/package.zip; with `channel`, www/CHANNEL/latest.json announces it
        too, and the channel's base URL is returned. `files` maps relative names to bytes, to the path of
        a file to copy, or to None for the stand-in application; by default the
        stand-in alone. `tamper` may change
        the manifest before it is signed; `signer` (a code_signing.Signer) signs the
        program files as the release tool packs them; `key` is the private key file that
        signs latest.json; `deltas` lists releases published before, each as the version
        published under its own name or a (version, name) pair, from each of which a
        delta package is made and offered (www/NAME/from-VERSION.zip). Returns the base
        URL of the release. With `sized`, the manifest gives the package's size, as the
        release tool's do. With `update_channel`, the manifest is signed for that channel
        and announced as the base's latest-UPDATE_CHANNEL.json rather than latest.json."""
        name = name or version
        folder = os.path.join(self.www, name)
        shutil.rmtree(folder, ignore_errors=True)
        content = os.path.join(folder, "content")
        for rel, data in (files or {"brindlewick.exe": None}).items():
            if data is None or isinstance(data, str):
                os.makedirs(os.path.dirname(os.path.join(content, rel)), exist_ok=True)
                shutil.copyfile(data or os.path.join(BIN, "fake_app.exe"),
                                os.path.join(content, rel))
            else:
                write(os.path.join(content, rel), data)
        package = os.path.join(folder, "package.zip")
        if "brindlewick.exe" in (files or {"brindlewick.exe": None}):
            release.pack(content, package, signer)
        else:
            shutil.make_archive(package[:-4], "zip", content)
        manifest = {"version": version, "url": self.url("%s/%s/package.zip" % (route, name)),
                    "sha256": release.file_sha256(package)}
        if min_stub:
            manifest["minStub"] = min_stub
        if sized:
            manifest["size"] = os.path.getsize(package)
        for start in deltas:
            start, start_name = start if isinstance(start, tuple) else (start, start)
            delta = os.path.join(folder, "from-%s.zip" % start)
            delta_package.write(os.path.join(self.www, start_name, "package.zip"), package,
                                delta, release.check_names)
            manifest.setdefault("deltas", []).append({
                "from": start, "url": self.url("%s/%s/from-%s.zip" % (route, name, start)),
                "sha256": release.file_sha256(delta), "size": os.path.getsize(delta)})
        if update_channel:
            manifest["channel"] = update_channel
        if tamper:
            tamper(manifest)
        self.sign(folder, json.dumps(manifest).encode(), key)
        if channel:
            self.announce(name, channel, update_channel)
            return self.url("/files/" + channel)
        return self.url("/files/" + name)

    def announce(self, name, channel, update_channel=None):
        """Makes the channel (a base URL's folder) announce the release published as
        `name`, as its latest.json, or as latest-UPDATE_CHANNEL.json."""
        os.makedirs(os.path.join(self.www, channel), exist_ok=True)
        announced = "latest-%s.json" % update_channel if update_channel else "latest.json"
        shutil.copyfile(os.path.join(self.www, name, "latest.json"),
                        os.path.join(self.www, channel, announced))

    def sign(self, folder, payload, key_path=KEY):
        key = release.load_private_key(key_path)
        write(os.path.join(folder, "latest.json"),
              release.envelope_text(payload, release.p1363_signature(key, payload)))

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def wait_for(condition, timeout=10):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True
