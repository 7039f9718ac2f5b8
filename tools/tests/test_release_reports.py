"""Tests of the release tool's report address, its reading of update reports in access
logs, and its halting of a release."""
import base64
import gzip
import json
import os
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import release  # noqa: E402

DAY = 24 * 60 * 60
REPORT = "https://reports.example.com/brindlewick?token=a1"


def run(capsys, *argv):
    code = release.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def access_line(target, method="GET", status=204):
    return ('203.0.113.9 - - [09/Dec/2024:08:00:01 +0000] "%s %s HTTP/1.1" %d 0 "-" '
            '"Brindlewick/1.3.0"\n' % (method, target, status))


def report(event, version, channel="", reason=None, address="/r?"):
    target = "%sevent=%s&version=%s&from=1.3.0&channel=%s&bucket=42" % (
        address, event, version, channel)
    return access_line(target + ("&reason=" + reason if reason else ""))


TRIAL = "exited%20with%20code%203%20during%20its%20trial"
PLAIN_LOG = "".join([
    report("staged", "1.4.0"), report("committed", "1.4.0"),
    report("rolled-back", "1.4.0", reason=TRIAL),
    # The address's own query comes first; its "version" is not the program's.
    report("rolled-back", "1.4.0", reason=TRIAL, address="/r?version=9&"),
    report("failed", "1.4.0", reason="t%C3%A9l%C3%A9chargement%20%C3%A9chou%C3%A9"),
    report("failed", "1.4.0", reason="bad%1B%5B2Jterminal%0Aline"),
    report("committed", "1.10.0", "beta"), report("committed", "1.9.0", "beta"),
    report("failed", "1.9.0", "beta"),  # no reason given
    access_line("/brindlewick/latest.json", status=200),
    access_line("/r?event=committed&version=1.4.0", method="POST"),
    access_line("/r?event=started&version=1.4.0"),
    access_line("/r?event=committed&version=1.4.0&channel=Beta%2F.."),
    '203.0.113.9 - - [09/Dec/2024:08:00:01 +0000] "GET /r?event=sta\n',
])
ROTATED_LOG = report("rolled-back", "1.4.0", reason="did%20not%20start") + report(
    "committed", "1.3.0")
TABLE = """\
channel    version  staged  committed  rolled back  failed  rollback rate  top reasons
(default)  1.3.0         0          1            0       0           0.0%
(default)  1.4.0         1          1            3       2          75.0%  2x exited with code 3 during its trial; 1x bad\\x1b[2Jterminal\\nline; 1x did not start
beta       1.9.0         0          1            0       1           0.0%
beta       1.10.0        0          1            0       0           0.0%
lines read: 16; reports: 11; other requests: 4; not in the combined log format: 1
"""


@pytest.fixture
def logs(tmp_path):
    """A plain log named as if compressed, and a gzip one named as if not: the bytes
    tell."""
    plain, rotated = tmp_path / "access.log.gz", tmp_path / "access.log.1"
    plain.write_text(PLAIN_LOG)
    rotated.write_bytes(gzip.compress(ROTATED_LOG.encode()))
    return plain, rotated


def test_report_counts_each_release_of_each_channel(logs, capsys):
    assert run(capsys, "report", *logs) == (0, TABLE, "")


def test_report_fails_above_the_highest_rollback_rate(logs, capsys):
    assert run(capsys, "report", *logs, "--max-rollback-rate", "75")[:2] == (0, TABLE)
    assert run(capsys, "report", *logs, "--max-rollback-rate", "74.9") == (
        1, TABLE, "release.py: rollback rate above 74.9%: 1.4.0 (default) 75.0%\n")
    for bad in ("101", "-1", "nan", "1/2", "x"):
        with pytest.raises(SystemExit) as exit_info:
            release.main(["report", str(logs[0]), "--max-rollback-rate", bad])
        assert exit_info.value.code == 2, bad


def test_report_of_logs_without_reports_and_of_unreadable_ones(tmp_path, capsys):
    empty = tmp_path / "empty.log"
    empty.write_text(access_line("/brindlewick/latest.json"))
    assert run(capsys, "report", empty, "--max-rollback-rate", "0") == (0, (
        "no update reports\nlines read: 1; reports: 0; other requests: 1; not in the "
        "combined log format: 0\n"), "")
    cut = tmp_path / "cut.gz"
    cut.write_bytes(gzip.compress(PLAIN_LOG.encode() * 50)[:-100])
    for path, text in ((cut, "cannot read %s: Compressed file ended" % cut),
                       (tmp_path / "none.log", "cannot read %s: No such file" % (
                           tmp_path / "none.log"))):
        code, out, err = run(capsys, "report", empty, path)
        assert (code, out) == (1, "") and err.startswith("release.py: " + text), err


@pytest.fixture
def key(tmp_path, capsys):
    path = tmp_path / "key.pem"
    assert run(capsys, "keygen", path)[0] == 0
    return path


@pytest.fixture
def package(tmp_path):
    (tmp_path / "rel").mkdir()
    (tmp_path / "rel" / "brindlewick.exe").write_bytes(b"MZ program")
    release.pack(tmp_path / "rel", str(tmp_path / "p.zip"))
    return tmp_path / "p.zip"


def manifest_of(path):
    return json.loads(base64.b64decode(json.loads(path.read_text())["payload"]))


def sign(capsys, key, package, out, version, *options):
    return run(capsys, "sign", "--version", version, "--url", "https://h/%s.zip" % version,
               "--package", package, "--key", key, "--out", out, *options)


@pytest.mark.parametrize("address, verdict", [
    (REPORT, None), ("https://" + "a" * 2040, None),
    ("http://reports.example.com/r", "must be an https:// address"),
    ("https://" + "a" * 2041, "is at most 2048 characters"),
    ("https://reports.example.com/a b", "must hold no space, control or non-ASCII"),
    ("https://reports.example.com/\u00e9", "must hold no space, control or non-ASCII"),
    ("https://reports.example.com/r#top", "must hold no fragment"),
    ("https:///r", "names no host"),
])
def test_sign_names_the_report_address(key, package, tmp_path, capsys, address, verdict):
    out = tmp_path / "latest.json"
    code, _, err = sign(capsys, key, package, out, "1.0", "--report", address)
    if verdict:
        assert code == 1 and "--report " + verdict in err and not out.exists()
    else:
        assert code == 0 and manifest_of(out)["report"] == address, err


def test_signing_another_version_keeps_the_one_it_replaces(key, package, tmp_path, capsys):
    out, previous = tmp_path / "latest.json", tmp_path / "latest.json.previous"
    assert sign(capsys, key, package, out, "1.3.0")[0] == 0
    assert not previous.exists()
    first = out.read_bytes()
    assert sign(capsys, key, package, out, "1.4.0", "--rollout", "10")[0] == 0
    assert previous.read_bytes() == first
    assert sign(capsys, key, package, out, "1.4.0", "--rollout", "50")[0] == 0
    assert previous.read_bytes() == first
    # One this key cannot verify is no release to go back to.
    other = tmp_path / "other.pem"
    assert run(capsys, "keygen", other)[0] == 0
    code, _, err = sign(capsys, other, package, out, "1.5.0")
    assert code == 0 and previous.read_bytes() == first
    assert "latest.json is not kept as %s: manifest signature check failed" % previous in err


def test_signing_after_a_manifest_issued_ahead_issues_after_it(key, package, tmp_path, capsys):
    """A halt signs a second past the manifest it halts, which may be ahead of the clock:
    the next release must still be newer than it, or installations refuse it as a replay."""
    out = tmp_path / "latest.json"
    ahead = int(time.time()) + 120
    write_manifest(key, out, version="1.3.0", issued=ahead)
    assert sign(capsys, key, package, out, "1.4.0", "--expires-in", "2")[0] == 0
    signed = manifest_of(out)
    assert signed["issued"] == ahead + 1 and signed["expires"] == ahead + 1 + 2 * DAY


def write_manifest(key, path, **fields):
    manifest = dict({"url": "https://h/p.zip", "sha256": "ab" * 32, "size": 9}, **fields)
    release.write_signed(manifest, release.load_private_key(key), str(path))
    return manifest


def test_halt_announces_the_previous_release_again(key, tmp_path, capsys, monkeypatch):
    out = tmp_path / "latest-beta.json"
    now = int(time.time())
    old = write_manifest(key, str(out) + ".previous", version="1.3.0", issued=now - 9 * DAY,
                         expires=now + DAY, rollout=100, channel="beta", report="https://old",
                         deltas=[{"from": "1.2.0", "url": "https://h/d.zip",
                                  "sha256": "cd" * 32, "size": 3}])
    current = write_manifest(key, out, version="1.4.0", issued=now + 60, rollout=20,
                             channel="beta", report=REPORT)
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")
    assert run(capsys, "halt", "--key", key, "--channel", "beta") == (
        1, "", "release.py: cannot read latest-beta.json: no such file\n")
    monkeypatch.chdir(tmp_path)
    assert run(capsys, "halt", "--key", key, "--channel", "beta") == (
        0, "latest-beta.json: halted 1.4.0; announces 1.3.0 again\n", "")
    written = manifest_of(out)
    issued = written["issued"]
    assert issued > current["issued"]
    assert written == dict(old, issued=issued, expires=issued + 10 * DAY, report=REPORT)

    # Halting again never goes further back: the announced release is offered to 1%.
    code, said, err = run(capsys, "halt", "--key", key, "--manifest", out)
    assert said == "%s: halted 1.3.0; offered to 1%% of installations\n" % out
    assert "not going back: %s.previous announces 1.3.0, not older than 1.3.0" % out in err
    issued = manifest_of(out)["issued"]
    assert manifest_of(out) == dict(written, rollout=1, issued=issued, expires=issued + 10 * DAY)
    assert manifest_of(tmp_path / "latest-beta.json.previous") == old


def test_halt_without_an_older_release_offers_it_to_one_percent(key, tmp_path, capsys):
    out = tmp_path / "latest.json"
    now = int(time.time())
    current = write_manifest(key, out, version="2.0", issued=now, expires=now + 30 * DAY)
    code, said, _ = run(capsys, "halt", "--key", key, "--manifest", out)
    assert (code, said) == (0, "%s: halted 2.0; offered to 1%% of installations\n" % out)
    issued = manifest_of(out)["issued"]
    assert manifest_of(out) == dict(current, rollout=1, issued=issued,
                                    expires=issued + 30 * DAY)
    assert issued > now and not (tmp_path / "latest.json.previous").exists()

    # A newer release, or one this key did not sign, is not gone back to either.
    other = tmp_path / "other.pem"
    assert run(capsys, "keygen", other)[0] == 0
    for signer, version, why in ((key, "2.1", "announces 2.1, not older than 2.0"),
                                 (other, "1.0", "manifest signature check failed")):
        write_manifest(signer, str(out) + ".previous", version=version)
        code, said, err = run(capsys, "halt", "--key", key, "--manifest", out)
        assert code == 0 and "offered to 1%" in said and why in err, err
        assert manifest_of(out)["version"] == "2.0"


def test_halt_with_another_key_writes_nothing(key, tmp_path, capsys):
    out = tmp_path / "latest.json"
    write_manifest(key, str(out) + ".previous", version="1.0")
    write_manifest(key, out, version="2.0")
    before = {path: path.read_bytes() for path in tmp_path.iterdir()}
    other = tmp_path / "other.pem"
    assert run(capsys, "keygen", other)[0] == 0
    assert run(capsys, "halt", "--key", other, "--manifest", out) == (
        1, "", "release.py: %s: manifest signature check failed\n" % out)
    assert run(capsys, "halt", "--key", key, "--manifest", out, "--channel", "beta")[2] == (
        "release.py: %s is signed for the default channel, not channel beta\n" % out)
    assert {path: path.read_bytes() for path in tmp_path.iterdir() if path != other} == before
