"""Update reports end to end: nginx serves the releases the publisher's tool signs and
writes its access log while an installation stages, commits, fails to stage and rolls
back; the tool reads the reports back from that log, stops the pipeline on the rollback
rate, and halts the failing release."""
import json
import os
import shutil
import subprocess
import sys

import pytest

import e2e
import nginx_server
import release

STAGED, NOTHING_NEW, FAILED = 10, 0, 1
RELEASE_PY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                          "release.py")


def release_py(*args):
    return subprocess.run([sys.executable, RELEASE_PY, *args], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=60)


@pytest.fixture
def nginx():
    """nginx on a port of its own, serving a folder of its own: (its base address, the
    folder it serves, its access log)."""
    state = os.path.join(e2e.BUILD, "e2e-nginx-reports")
    shutil.rmtree(state, ignore_errors=True)
    www = os.path.join(state, "www")
    os.makedirs(os.path.join(www, "files", "main"))
    certs = release.make_certificates(os.path.join(e2e.BUILD, "test-server", "certs"))
    assert nginx_server.start(state, www, certs["server.pem"], certs["server-key.pem"]) == 0
    with open(os.path.join(state, "nginx_port")) as f:
        base = "https://localhost:%s" % f.read()
    yield base, www, os.path.join(state, "nginx-access.log")
    nginx_server.stop(state)


def publish(nginx, version, exit_code=0, *options):
    """Packs the stand-in application as `version` and signs the channel's manifest for it
    with the publisher's tool, as a publisher does (with `options` for release.py sign);
    returns the package."""
    base, www, _ = nginx
    content = os.path.join(www, "content-" + version)
    shutil.rmtree(content, ignore_errors=True)
    os.makedirs(content)
    shutil.copyfile(os.path.join(e2e.BIN, "fake_app.exe"), os.path.join(content, "brindlewick.exe"))
    e2e.write(os.path.join(content, "version.txt"), version.encode())
    if exit_code:
        e2e.write(os.path.join(content, "exit_code.txt"), b"%d" % exit_code)
    package = os.path.join(www, "files", "brindlewick-%s.zip" % version)
    release.pack(content, package)
    signed = release_py("sign", "--version", version, "--package", package,
                        "--url", base + "/files/brindlewick-%s.zip" % version, "--key", e2e.KEY,
                        "--report", base + "/report", "--out", manifest_of(nginx), *options)
    assert signed.returncode == 0, signed.stderr
    return package


def manifest_of(nginx):
    return os.path.join(nginx[1], "files", "main", "latest.json")


def test_reports_read_back_and_a_failing_release_halted(clean, nginx):
    base, www, access_log = nginx
    manifest = manifest_of(nginx)
    main = base + "/files/main"
    publish(nginx, "1.0.0")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=main) == (0, [])
    bucket = e2e.bucket()

    # A good release: staged, then committed at the next start.
    publish(nginx, "1.1.0")
    assert e2e.command(main, "/check")[0] == STAGED
    assert e2e.start_stub(main) == (0, [])
    assert e2e.wait_for(lambda: e2e.state()["installed"] == "1.1.0")

    # A failing one: its package is not all there at first (staging fails), then it is
    # staged and fails its trial.
    package = publish(nginx, "1.2.0", 3)
    whole = e2e.read(package, "rb")
    e2e.write(package, whole[:-100])
    assert e2e.command(main, "/check")[0] == FAILED
    assert e2e.log_lines()[-1] == "stage 1.2.0 failed: download size differs from the manifest"
    e2e.write(package, whole)
    assert e2e.command(main, "/check")[0] == STAGED
    assert e2e.start_stub(main) == (0, [])
    assert e2e.wait_for(lambda: "1.2.0" in e2e.state().get("bad", []))

    # Each event reported once, with exactly these fields.
    def reports():
        with open(access_log) as f:
            return [line.split('"')[1] for line in f if "/report?" in line]
    query = "&channel=&bucket=%d" % bucket
    assert e2e.wait_for(lambda: len(reports()) == 5)
    assert reports() == ["GET /report?%s HTTP/1.1" % q for q in (
        "event=staged&version=1.1.0&from=1.0.0" + query,
        "event=committed&version=1.1.0&from=1.0.0" + query,
        "event=failed&version=1.2.0&from=1.1.0" + query +
        "&reason=download%20size%20differs%20from%20the%20manifest",
        "event=staged&version=1.2.0&from=1.1.0" + query,
        "event=rolled-back&version=1.2.0&from=1.1.0" + query +
        "&reason=exited%20with%20code%203%20during%20its%20trial")]

    # Read back by the publisher's tool, from nginx's own log as it stands now (a request
    # may still be logged meanwhile): whole lines of it, in a file of their own.
    logged = e2e.read(access_log, "rb")
    logged = logged[:logged.rindex(b"\n") + 1]
    snapshot = access_log + ".now"
    e2e.write(snapshot, logged)
    lines = logged.count(b"\n")
    table = release_py("report", snapshot)
    assert table.returncode == 0, table.stderr
    assert table.stdout == (
        "channel    version  staged  committed  rolled back  failed  rollback rate  top reasons\n"
        "(default)  1.1.0         1          1            0       0           0.0%\n"
        "(default)  1.2.0         1          0            1       1         100.0%  1x download "
        "size differs from the manifest; 1x exited with code 3 during its trial\n"
        "lines read: {}; reports: 5; other requests: {}; not in the combined log format: 0\n"
        .format(lines, lines - 5))
    stopped = release_py("report", snapshot, "--max-rollback-rate", "50")
    assert stopped.returncode == 1
    assert "1.2.0 (default) 100.0%" in stopped.stderr

    # Halted: the release before is announced again, newer than the one halted, so that
    # installations that took the failing one's manifest take this one.
    halted = release_py("halt", "--key", e2e.KEY, "--manifest", manifest)
    assert halted.returncode == 0, halted.stderr
    assert halted.stdout.strip() == manifest + ": halted 1.2.0; announces 1.1.0 again"
    assert e2e.command(main, "/check") == (NOTHING_NEW, {
        "installed": "1.1.0", "staged": None, "latest": "1.1.0", "error": None})


def test_a_halted_release_staged_here_is_not_tried(clean, nginx):
    main = nginx[0] + "/files/main"
    publish(nginx, "2.0.0")
    assert e2e.run(e2e.SETUP, "/quiet", base_url=main) == (0, [])
    halt = ("halt", "--key", e2e.KEY, "--manifest", manifest_of(nginx))

    # Halted by going back: the staged version is older news, dropped untried.
    publish(nginx, "2.1.0")
    assert e2e.command(main, "/check")[0] == STAGED
    assert release_py(*halt).returncode == 0
    assert e2e.command(main, "/check") == (NOTHING_NEW, {
        "installed": "2.0.0", "staged": None, "latest": "2.0.0", "error": None})
    assert e2e.log_lines()[-1] == "staged 2.1.0 dropped: the publisher withdrew it"
    assert "staged" not in e2e.state() and not os.path.exists(e2e.root("app-2.1.0"))

    # Halted by cutting the rollout to 1%, with nothing to go back to: dropped where the
    # installation's bucket is no longer in it.
    publish(nginx, "2.2.0")
    os.remove(manifest_of(nginx) + ".previous")
    record = json.loads(e2e.read(e2e.root("install.json")))
    e2e.write(e2e.root("install.json"), json.dumps(dict(record, bucket=50)))
    assert e2e.command(main, "/check")[0] == STAGED
    assert release_py(*halt).stdout == manifest_of(nginx) + (
        ": halted 2.2.0; offered to 1% of installations\n")
    assert e2e.command(main, "/check") == (NOTHING_NEW, {
        "installed": "2.0.0", "staged": None, "latest": "2.2.0", "error": None})
    assert e2e.log_lines()[-2:] == ["staged 2.2.0 dropped: the publisher withdrew it",
                                    "update 2.2.0 not offered here yet (rollout 1%)"]
    assert e2e.start_stub(main) == (0, [])
    assert e2e.state()["installed"] == "2.0.0" and e2e.launches("2.2.0") == []
