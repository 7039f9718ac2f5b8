#!/usr/bin/python3
"""Shows Brindlewick Setup at work, end to end, in a throwaway Wine prefix: installs a
sample release from a local HTTPS server, then lets the installed stub stage, try and
commit the next release (replacing itself with the stub it ships), roll back a broken
one, and finally uninstalls, answering its questions as a user would.

Run by tools/demo.sh, which builds what is missing and provides a display:
  demo.py BUILD_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "update")]
import release  # noqa: E402

BUILD = os.path.abspath(sys.argv[1])
BIN = os.path.join(BUILD, "bin")
KEY = os.path.join(BUILD, "dev-key", "manifest-key.pem")
SERVER = os.path.join(HERE, "..", "tests", "update", "test_server.py")
UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindlewick"


def say(text=""):
    print(text, flush=True)


class Machine:
    """A fresh per-user Windows profile: a Wine prefix of its own."""

    def __init__(self, folder):
        self.env = dict(os.environ, WINEPREFIX=os.path.join(folder, "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        subprocess.run(["sh", os.path.join(HERE, "wine-prefix.sh")], env=self.env, check=True)
        user = [u for u in os.listdir(os.path.join(self.env["WINEPREFIX"], "drive_c", "users"))
                if u != "Public"][0]
        self.user_win = "C:\\users\\" + user
        self.user = os.path.join(self.env["WINEPREFIX"], "drive_c", "users", user)
        self.root = os.path.join(self.user, "AppData", "Local", "Brindlewick")
        self.root_win = self.user_win + "\\AppData\\Local\\Brindlewick"
        self.stub_win = self.root_win + "\\updater.exe"

    def start(self, *args, base_url=""):
        return subprocess.Popen(["wine", *args], env=dict(self.env, BRINDLEWICK_UPDATE_URL=base_url),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)

    def run(self, *args, base_url=""):
        process = self.start(*args, base_url=base_url)
        output = process.communicate(timeout=120)[0]
        return process.returncode, output

    def probe(self, *args):
        return self.run(os.path.join(BIN, "ui_probe.exe"), *args)[1].strip()

    def log(self):
        path = os.path.join(self.root, "updater.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return f.read().splitlines()

    def state(self):
        with open(os.path.join(self.root, "install.json")) as f:
            return json.dumps(json.load(f), sort_keys=True)

    def launches(self, version):
        path = os.path.join(self.root, "app-" + version, "launches.txt")
        return open(path).read().count("cmd=") if os.path.exists(path) else 0


def make_release(www, base, version, exit_code=0, stub=None):
    """A sample release: the stand-in application (it notes each start in launches.txt),
    a read-me and the stub to install as updater.exe."""
    content = os.path.join(www, "content-" + version)
    os.makedirs(os.path.join(content, "docs"))
    shutil.copyfile(os.path.join(BIN, "fake_app.exe"), os.path.join(content, "brindlewick.exe"))
    shutil.copyfile(stub or os.path.join(BIN, "BrindlewickSetup.exe"),
                    os.path.join(content, "updater.exe"))
    with open(os.path.join(content, "docs", "readme.txt"), "w") as f:
        f.write("Brindlewick %s\n" % version)
    with open(os.path.join(content, "data.bin"), "wb") as f:
        f.write(os.urandom(4 << 20))  # some weight, so that the download can be watched
    if exit_code:
        with open(os.path.join(content, "exit_code.txt"), "w") as f:
            f.write(str(exit_code))
    package = os.path.join(www, "brindlewick-%s.zip" % version)
    release.pack(content, package)
    shutil.rmtree(content)
    # Served slowly (a pause before each 64 KiB), as over a modest connection.
    release.sign(version, "%s/slow/20/brindlewick-%s.zip" % (base, version), package, KEY, None,
                 os.path.join(www, "latest-%s.json" % version))


def publish(www, version):
    shutil.copyfile(os.path.join(www, "latest-%s.json" % version), os.path.join(www, "latest.json"))


def show_installation(machine):
    say("   install.json    %s" % machine.state())
    for line in machine.log():
        say("   updater.log     %s" % line)
    for name, folder in (("Start menu", ["AppData", "Roaming", "Microsoft", "Windows",
                                         "Start Menu", "Programs"]),
                         ("desktop", ["Desktop"])):
        link = os.path.join(machine.user, *folder, "Brindlewick.lnk")
        details = dict(line.split("=", 1) for line in
                       machine.probe("lnk", "Z:" + link.replace("/", "\\")).splitlines())
        say("   %-15s Brindlewick.lnk -> %s (in %s)" % (name + " shortcut", details["target"],
                                                      details["workdir"]))
    say("   uninstall entry " + UNINSTALL_KEY)
    for line in machine.run("reg", "query", UNINSTALL_KEY)[1].splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            say("                     %-16s %s" % (parts[0], parts[2]))


def main():
    work = tempfile.mkdtemp(prefix="brindlewick-demo-")
    out = os.path.join(BUILD, "demo")
    os.makedirs(out, exist_ok=True)
    server = None
    machine = None
    try:
        say("== A fresh Windows user profile (a throwaway Wine prefix)")
        machine = Machine(work)
        www = os.path.join(work, "www")
        os.makedirs(www)
        state_dir = os.path.join(work, "server")
        subprocess.run([sys.executable, SERVER, "start", state_dir, www], check=True)
        server = state_dir
        base = "https://localhost:" + open(os.path.join(state_dir, "https_port")).read()
        ca = "Z:" + os.path.join(state_dir, "certs", "ca.der").replace("/", "\\")
        subprocess.run(["wine", os.path.join(BUILD, "bin", "trust_ca.exe"), ca], env=machine.env,
                       check=True)
        newer_stub = os.path.join(work, "newer-stub.exe")
        shutil.copyfile(os.path.join(BIN, "BrindlewickSetup.exe"), newer_stub)
        with open(newer_stub, "ab") as f:
            f.write(b"a later build of the stub")
        make_release(www, base, "1.0.0")
        make_release(www, base, "1.1.0", stub=newer_stub)
        make_release(www, base, "1.2.0", exit_code=1, stub=newer_stub)
        base_url = base + "/files"
        say("   update server  %s (a test CA trusted in this profile only)" % base_url)
        say("   releases       1.0.0; 1.1.0 with a newer stub; 1.2.0, which fails at start")

        say("\n== 1. The user runs the downloaded BrindlewickSetup.exe (release 1.0.0)")
        publish(www, "1.0.0")
        began = time.monotonic()
        setup = machine.start(os.path.join(BIN, "BrindlewickSetup.exe"), base_url=base_url)
        shot = os.path.join(out, "progress-window.png")
        machine.probe("shot", "Z:" + shot.replace("/", "\\"), "30000", "Downloading")
        setup.communicate(timeout=120)
        say("   exit code %d after %.1f s; no message box" % (setup.returncode,
                                                            time.monotonic() - began))
        say("   screenshot of the progress window during the download: %s" % shot)
        time.sleep(0.5)
        say("   the application was started %d time(s) from %s\\app-1.0.0"
            % (machine.launches("1.0.0"), machine.root_win))
        show_installation(machine)

        say("\n== 2. Release 1.1.0 is published; the user starts Brindlewick from its shortcut")
        publish(www, "1.1.0")
        code, _ = machine.run(machine.stub_win, base_url=base_url)
        say("   exit code %d; 1.0.0 started (%d starts so far); in the background: %s"
            % (code, machine.launches("1.0.0"), machine.log()[-1]))
        say("   install.json    %s" % machine.state())

        say("\n== 3. The next start tries 1.1.0 for up to 15 seconds: it runs fine")
        code, _ = machine.run(machine.stub_win, base_url=base_url)
        say("   exit code %d; 1.1.0 started %d time(s)" % (code, machine.launches("1.1.0")))
        for line in machine.log()[-2:]:
            say("   updater.log     %s" % line)
        say("   install.json    %s" % machine.state())
        with open(os.path.join(machine.root, "updater.exe"), "rb") as a, open(newer_stub, "rb") as b:
            same = a.read() == b.read()
        say("   updater.exe is now the stub release 1.1.0 shipped: %s" % ("yes" if same else "NO"))

        say("\n== 4. Release 1.2.0 is published, but it fails at start")
        publish(www, "1.2.0")
        machine.run(machine.stub_win, base_url=base_url)
        say("   first start:  %s" % machine.log()[-1])
        installed_starts = machine.launches("1.1.0")
        machine.run(machine.stub_win, base_url=base_url)
        for _ in range(50):  # the application notes its start a moment after the stub ends
            if machine.launches("1.1.0") > installed_starts:
                break
            time.sleep(0.1)
        say("   second start: %s, and 1.1.0 starts in its place (%d -> %d starts)"
            % (machine.log()[-1], installed_starts, machine.launches("1.1.0")))
        say("   install.json    %s" % machine.state())
        say("   app-1.2.0 removed: %s; 1.2.0 is never fetched again"
            % ("yes" if not os.path.exists(os.path.join(machine.root, "app-1.2.0")) else "NO"))
        installed_starts = machine.launches("1.1.0")
        machine.run(machine.stub_win, base_url=base_url)
        say("   third start: 1.1.0 starts again (%d -> %d starts), nothing new logged"
            % (installed_starts, machine.launches("1.1.0")))

        say("\n== 5. The user removes Brindlewick from the list of installed programs")
        settings = os.path.join(machine.user, "AppData", "Roaming", "Brindlewick")
        os.makedirs(settings)
        uninstaller = machine.start(machine.stub_win, "/uninstall")
        for answer in ("Yes", "No"):
            question = machine.probe("box", "Brindlewick", answer, "30000").replace("\\n", " ")
            say("   asked: %s  answered: %s" % (question, answer))
        uninstaller.communicate(timeout=60)
        gone = machine.run("reg", "query", UNINSTALL_KEY)[0] != 0
        say("   exit code %d; uninstall entry removed: %s" % (uninstaller.returncode,
                                                             "yes" if gone else "NO"))
        for _ in range(100):
            if not os.path.exists(machine.root):
                break
            time.sleep(0.1)
        say("   %s removed a moment later: %s" % (machine.root_win,
                                                 "yes" if not os.path.exists(machine.root) else "NO"))
        say("   settings folder kept, as answered: %s" % ("yes" if os.path.isdir(settings) else "NO"))
    finally:
        if server:
            subprocess.run([sys.executable, SERVER, "stop", server])
        if machine:
            subprocess.run(["wineserver", "-k"], env=machine.env, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
