"""Tests of the release tool, run in-process and, for serve, as a child process."""
import base64
import io
import json
import os
import ssl
import stat
import struct
import subprocess
import sys
import time
import urllib.request
import zipfile

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, ".."), os.path.join(HERE, "..", "..", "tests", "update"),
                os.path.join(HERE, "..", "..", "tests", "package")]
import code_signing  # noqa: E402
import code_signing_certs  # noqa: E402
import delta_package  # noqa: E402
import image_headers  # noqa: E402
import release  # noqa: E402
import rule_cases  # noqa: E402

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "release.py")


def run(capsys, *argv):
    code = release.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def key(tmp_path, capsys):
    path = tmp_path / "key.pem"
    code, out, _ = run(capsys, "keygen", path)
    assert code == 0
    return path, out.strip()


def make_release(folder, files):
    for name, data in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return folder


def test_keygen_writes_a_private_key_once(key, tmp_path, capsys):
    path, public = key
    assert len(public) == 130 and public.startswith("04") and public == public.lower()
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert b"BEGIN PRIVATE KEY" in path.read_bytes()
    assert run(capsys, "pubkey", path)[1].strip() == public

    before = path.read_bytes()
    code, _, err = run(capsys, "keygen", path)
    assert code == 1 and "never overwritten" in err
    assert path.read_bytes() == before
    code, _, err = run(capsys, "pubkey", tmp_path / "missing.pem")
    assert code == 1 and "cannot read key" in err


def test_pack_is_deterministic_and_sorted(tmp_path, capsys):
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": b"MZ" * 500,
                                             "z/last.txt": b"z", "a/first.dll": b"a" * 3000})
    (folder / "empty").mkdir()
    assert run(capsys, "pack", folder, "--out", tmp_path / "one.zip")[0] == 0
    os.utime(folder / "z" / "last.txt", (1, 1))
    assert run(capsys, "pack", folder, "--out", tmp_path / "two.zip")[0] == 0
    assert (tmp_path / "one.zip").read_bytes() == (tmp_path / "two.zip").read_bytes()
    with zipfile.ZipFile(tmp_path / "one.zip") as z:
        assert z.namelist() == ["a/first.dll", "brindlewick.exe", "empty/", "z/last.txt"]
        assert z.read("a/first.dll") == b"a" * 3000
        assert z.getinfo("brindlewick.exe").compress_type == zipfile.ZIP_DEFLATED


@pytest.mark.parametrize("name", ["CON.txt", "sub/nul", "com1.log", "app.exe.",
                                  "dir /x", "a<b", "bad|name"])
def test_pack_refuses_names_the_stub_would_skip_or_windows_would_alias(tmp_path, capsys, name):
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": b"x", name: b"y"})
    code, _, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip")
    assert code == 1 and repr(name) in err
    assert not (tmp_path / "p.zip").exists()


def test_pack_refuses_case_twins_and_a_folder_without_the_program(tmp_path, capsys):
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": b"x", "Read.me": b"1",
                                             "read.ME": b"2"})
    code, _, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip")
    assert code == 1 and "same file on Windows" in err
    folder = make_release(tmp_path / "rel2", {"bin/brindlewick.exe": b"x"})
    code, _, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip")
    assert code == 1 and "no brindlewick.exe at the top" in err


@pytest.fixture
def package(tmp_path, capsys):
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": b"MZ program"})
    path = tmp_path / "package.zip"
    assert run(capsys, "pack", folder, "--out", path)[0] == 0
    return path


def test_sign_writes_what_the_stub_accepts(key, package, tmp_path, capsys):
    path, public = key
    out = tmp_path / "latest.json"
    before = int(time.time())
    code, said, err = run(capsys, "sign", "--version", "2.10.0", "--url", "https://h/p.zip",
                          "--package", package, "--key", path, "--min-stub", "1.1",
                          "--expires-in", "30", "--rollout", "25", "--out", out)
    assert code == 0, err
    assert said.rstrip().endswith(", to 25% of installations")
    envelope = json.loads(out.read_text())
    assert sorted(envelope) == ["payload", "sig"]
    assert len(base64.b64decode(envelope["sig"])) == 64
    manifest = json.loads(base64.b64decode(envelope["payload"]))
    issued = manifest["issued"]
    assert before <= issued <= time.time()
    assert manifest == {"version": "2.10.0", "url": "https://h/p.zip",
                        "sha256": release.file_sha256(package), "minStub": "1.1",
                        "size": os.path.getsize(package), "issued": issued,
                        "expires": issued + 30 * 24 * 60 * 60, "rollout": 25}
    code, shown, _ = run(capsys, "verify", out, "--pubkey", public)
    assert code == 0 and json.loads(shown) == manifest

    # One the program would refuse as expired (its clock forgiven a day) is refused too.
    private = release.load_private_key(path)
    for age, verdict in ((24 * 60 * 60 - 60, 0), (24 * 60 * 60 + 60, 1)):
        manifest["expires"] = int(time.time()) - age
        payload = json.dumps(manifest).encode()
        out.write_text(release.envelope_text(payload, release.p1363_signature(private, payload)))
        code, _, err = run(capsys, "verify", out, "--pubkey", public)
        assert code == verdict and ("manifest expired" in err) == bool(verdict)


def test_sign_for_a_channel_writes_its_own_file(key, package, tmp_path, capsys,
                                                monkeypatch):
    path, public = key
    monkeypatch.chdir(tmp_path)
    code, said, err = run(capsys, "sign", "--version", "2.0", "--url", "https://h/p.zip",
                          "--package", package, "--key", path, "--channel", "beta-2")
    assert code == 0, err
    assert said.startswith("latest-beta-2.json: version 2.0,") and ", channel beta-2" in said
    assert not (tmp_path / "latest.json").exists()
    code, shown, _ = run(capsys, "verify", tmp_path / "latest-beta-2.json", "--pubkey", public)
    assert code == 0 and json.loads(shown)["channel"] == "beta-2"


@pytest.mark.parametrize("args, text", [
    (["--version", "1.x"], "is not 1 to 4 numbers"),
    (["--version", "1.2.3.4.5"], "is not 1 to 4 numbers"),
    (["--version", "123456789"], "is not 1 to 4 numbers"),
    (["--min-stub", "v1"], "is not 1 to 4 numbers"),
    (["--url", "http://h/p.zip"], "manifest: url must be https"),
    (["--url", "HTTPS://h/p.zip"], "manifest: url must be https"),
    (["--expires-in", "0"], "--expires-in is a whole number of days, at least 1"),
    (["--rollout", "0"], "--rollout is a whole number from 1 to 100"),
    (["--rollout", "101"], "--rollout is a whole number from 1 to 100"),
    (["--channel", "Beta"], "--channel is 1 to 32 of a-z, 0-9 and -"),
    (["--channel", "../beta"], "--channel is 1 to 32 of a-z, 0-9 and -"),
    (["--channel", "b" * 33], "--channel is 1 to 32 of a-z, 0-9 and -"),
])
def test_sign_refuses_what_the_stub_would_refuse(key, package, tmp_path, capsys, args, text):
    fields = {"--version": "1.0", "--url": "https://h/p.zip"}
    fields.update(dict(zip(args[::2], args[1::2])))
    argv = ["sign", "--package", package, "--key", key[0], "--out", tmp_path / "l.json"]
    for name, value in fields.items():
        argv += [name, value]
    code, _, err = run(capsys, *argv)
    assert code == 1 and text in err
    assert not (tmp_path / "l.json").exists()


def test_sign_refuses_a_package_the_stub_cannot_install(key, tmp_path, capsys):
    text_file = tmp_path / "notes.zip"
    text_file.write_text("not a zip")
    no_program = tmp_path / "other.zip"
    with zipfile.ZipFile(no_program, "w") as z:
        z.writestr("bin/brindlewick.exe", b"x")
    for package, text in ((text_file, "is not a valid zip"), (no_program, "no brindlewick.exe"),
                          (tmp_path / "missing.zip", "cannot read package")):
        code, _, err = run(capsys, "sign", "--version", "1", "--url", "https://h/p.zip",
                           "--package", package, "--key", key[0], "--out", tmp_path / "l.json")
        assert code == 1 and text in err, err


def test_verify_reports_the_stubs_own_texts(key, tmp_path, capsys):
    path, public = key
    private = release.load_private_key(path)

    def envelope(payload, signature=None):
        out = tmp_path / "e.json"
        out.write_text(release.envelope_text(
            payload, signature or release.p1363_signature(private, payload)))
        return out

    good = json.dumps({"version": "1", "url": "https://h", "sha256": "a" * 64}).encode()
    tampered = envelope(good, release.p1363_signature(private, good + b" "))
    assert run(capsys, "verify", tampered, "--pubkey", public)[2].strip().endswith(
        "manifest signature check failed")
    for manifest, text in (({"version": "1.", "url": "https://h"}, "manifest: bad version"),
                           ({"version": "1", "url": "http://h"}, "manifest: url must be https"),
                           ({"version": "1", "url": "https://h"}, "manifest: bad sha256")):
        code, _, err = run(capsys, "verify", envelope(json.dumps(manifest).encode()),
                           "--pubkey", public)
        assert code == 1 and err.strip().endswith(text)
    code, _, err = run(capsys, "verify", envelope(good), "--pubkey", "04" + "0" * 128)
    assert code == 1 and "not a point" in err
    # A build that trusts several keys accepts a manifest signed with any of them.
    other = release.public_key_hex(release.ec.generate_private_key(
        release.ec.SECP256R1()).public_key())
    for keys, code in ((other + "," + public, 0), (public + ", " + other, 0), (other, 1)):
        result = run(capsys, "verify", envelope(good), "--pubkey", keys)
        assert result[0] == code and result[2].endswith(
            "" if code == 0 else "manifest signature check failed\n"), keys


def test_the_tool_keeps_the_rules_the_program_keeps(key):
    """The table the program's tests read too: the two can never drift apart."""
    private = release.load_private_key(key[0])
    verdicts = {name: (rule_cases.verdict(text, private.public_key()), expect)
                for name, text, expect in rule_cases.envelopes(private)}
    assert {name: pair for name, pair in verdicts.items() if pair[0] != pair[1]} == {}
    assert len(verdicts) > 40


def test_signatures_interoperate_with_openssl(key, tmp_path, capsys):
    path, public = key
    payload = json.dumps({"version": "1", "url": "https://h", "sha256": "a" * 64}).encode()
    (tmp_path / "payload").write_bytes(payload)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(path),
                          str(tmp_path / "payload")], check=True, stdout=subprocess.PIPE).stdout
    r, s = release.decode_dss_signature(der)
    out = tmp_path / "e.json"
    out.write_text(release.envelope_text(payload, r.to_bytes(32, "big") + s.to_bytes(32, "big")))
    assert run(capsys, "verify", out, "--pubkey", public)[0] == 0
    out.write_text(release.envelope_text(payload, der))
    assert run(capsys, "verify", out, "--pubkey", public)[0] == 1


def test_serve_speaks_https_with_a_ca_it_writes(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    (site / "latest.json").write_text("{}")
    server = subprocess.Popen([sys.executable, TOOL, "serve", str(site), "--certs",
                               str(tmp_path / "certs"), "--port", "0"],
                              stdout=subprocess.PIPE, text=True)
    try:
        lines = [server.stdout.readline() for _ in range(2)]
        url = lines[1].strip().split("=", 1)[1]
        assert url.startswith("https://localhost:")
        context = ssl.create_default_context(cafile=str(tmp_path / "certs" / "ca.pem"))
        deadline = time.time() + 10
        with urllib.request.urlopen(url + "/latest.json", context=context,
                                    timeout=max(1, deadline - time.time())) as response:
            assert response.read() == b"{}"
    finally:
        server.terminate()
        server.wait(10)


def test_help_and_bad_usage(capsys):
    with pytest.raises(SystemExit) as exit_info:
        release.main(["--help"])
    assert exit_info.value.code == 0
    assert "keygen" in capsys.readouterr().out
    with pytest.raises(SystemExit) as exit_info:
        release.main(["sign", "--version", "1"])
    assert exit_info.value.code == 2


def test_certificates_are_signed_again_until_wine_can_check_them(tmp_path):
    key = release.ec.generate_private_key(release.ec.SECP256R1())
    name = release.x509.Name([release.x509.NameAttribute(release.NameOID.COMMON_NAME, "t")])
    now = release.datetime.datetime.now(release.datetime.timezone.utc)
    builder = (release.x509.CertificateBuilder().subject_name(name).issuer_name(name)
               .public_key(key.public_key()).serial_number(1).not_valid_before(now)
               .not_valid_after(now + release.datetime.timedelta(days=1)))

    def short_part(certificate):
        r, s = release.decode_dss_signature(certificate.signature)
        return min(r.bit_length(), s.bit_length()) <= 248

    short = next(c for c in iter(lambda: builder.sign(key, release.hashes.SHA256()), None)
                 if short_part(c))

    class FirstShortThenReal:
        calls = 0

        def sign(self, signing_key, algorithm):
            self.calls += 1
            return short if self.calls == 1 else builder.sign(signing_key, algorithm)

    fake = FirstShortThenReal()
    assert not short_part(release.sign_certificate(fake, key))
    assert fake.calls >= 2


def tiny_program():
    """A minimal 64-bit Windows program image: headers and one code section."""
    dos = b"MZ" + bytes(58) + struct.pack("<I", 64)
    coff = b"PE\0\0" + struct.pack("<HHIIIHH", 0x8664, 1, 0, 0, 0, 240, 0x22)
    optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 0, 0, 0x200, 0, 0, 0x1000,
                           0x1000, 0x140000000, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0, 0x2000,
                           0x200, 0, 2, 0x8160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = b".text\0\0\0" + struct.pack("<IIIIIIHHI", 0x1000, 0x1000, 0x200, 0x200, 0, 0, 0,
                                            0, 0x60000020)
    headers = dos + coff + optional + bytes(16 * 8) + section
    return headers + bytes(0x200 - len(headers)) + b"\xc3" + bytes(0x1FF)


@pytest.fixture
def publisher(tmp_path):
    cert, key = code_signing_certs.make(str(tmp_path / "certs"))
    return cert, key, code_signing_certs.pin(cert)


def test_signing_and_what_the_program_would_say(publisher, tmp_path, capsys, monkeypatch):
    cert, key, pin = publisher
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": tiny_program(),
                                             "lib/Helper.DLL": tiny_program(), "a.txt": b"t"})
    code, out, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip",
                         "--sign-cert", cert, "--sign-key", key)
    assert code == 0 and pin in out, err
    assert (folder / "brindlewick.exe").read_bytes() == tiny_program()  # signed copies only
    until = code_signing.x509.load_pem_x509_certificate(code_signing.read(cert, "")).not_valid_after
    signer = ("signed by CN=Test publisher publisher, certificate sha256 %s, public key sha256 "
              "%s, valid until %s UTC" % (pin, code_signing_certs.key_pin(cert), until))
    assert run(capsys, "signatures", tmp_path / "p.zip", "--pin", pin)[:2] == (
        0, "brindlewick.exe: %s\nlib\\Helper.DLL: %s\n" % (signer, signer))
    # Either digest pins it, alone or among others.
    for pins in (code_signing_certs.key_pin(cert), "0" * 64 + ", " + pin):
        assert run(capsys, "signatures", tmp_path / "p.zip", "--pin", pins)[0] == 0, pins
    code, _, err = run(capsys, "signatures", tmp_path / "p.zip", "--pin", pin + ",")
    assert code == 1 and "a pin is 64 lowercase hexadecimal characters" in err

    # One PKCS#12 file, its password from the environment, signs in place the same way.
    monkeypatch.setenv("BRINDLEWICK_SIGN_PASSWORD", "secret")
    assert run(capsys, "sign-code", folder / "brindlewick.exe", "--sign-cert",
               pkcs12_file(tmp_path, cert, key))[0] == 0

    # Unsigned, changed after signing, another publisher: the program's own refusals.
    cases = [("lib/Helper.DLL", tiny_program(), pin, "unsigned file: lib\\Helper.DLL"),
             ("brindlewick.exe", None, "0" * 64, "signed by another publisher: brindlewick.exe")]
    signed = (folder / "brindlewick.exe").read_bytes()
    cases.append(("brindlewick.exe", signed[:0x300] + b"x" + signed[0x301:], pin,
                  "bad signature: brindlewick.exe"))
    for name, data, pinned, refusal in cases:
        if data:
            (folder / name).write_bytes(data)
        assert run(capsys, "pack", folder, "--out", tmp_path / "q.zip")[0] == 0
        code, out, err = run(capsys, "signatures", tmp_path / "q.zip", "--pin", pinned)
        assert code == 1 and err == "release.py: %s\n" % refusal, (out, err)
    assert "brindlewick.exe: bad signature (changed after signing)" in out


def test_program_files_are_known_by_their_first_bytes_whatever_their_names():
    wrong = []
    for name, data in {**image_headers.IMAGES, **image_headers.NOT_IMAGES}.items():
        data = data or tiny_program()
        if code_signing.is_program_file(name, io.BytesIO(data), len(data)) != (
                name in image_headers.IMAGES):
            wrong.append(name)
    # Named as a program, it is one to the program too, whatever it holds.
    for name in ("x.DLL", "a/b.exe"):
        if not code_signing.is_program_file(name, io.BytesIO(b"text"), 4):
            wrong.append(name)
    assert wrong == []


def test_every_program_image_is_signed_and_checked_whatever_its_name(publisher, tmp_path,
                                                                    capsys):
    cert, key, pin = publisher
    key_pin = code_signing_certs.key_pin(cert)
    notes = image_headers.NOT_IMAGES["notes.txt"]
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": tiny_program(),
                                             "plugin.ocx": tiny_program(),
                                             "bin/tool": tiny_program(), "notes.txt": notes})
    code, out, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip",
                         "--sign-cert", cert, "--sign-key", key)
    assert code == 0 and "certificate sha256 %s, public key sha256 %s" % (pin, key_pin) in out
    with zipfile.ZipFile(tmp_path / "p.zip") as z:
        assert z.read("notes.txt") == notes
    # Each image is listed and signed, whatever its name; the text is no program.
    code, out, err = run(capsys, "signatures", tmp_path / "p.zip", "--pin",
                         "0" * 64 + "," + key_pin)
    assert code == 0, err
    assert [line.split(":")[0] for line in out.splitlines()] == [
        "bin\\tool", "brindlewick.exe", "plugin.ocx"]
    code, _, err = run(capsys, "signatures", tmp_path / "p.zip", "--pin", "1" * 64)
    assert code == 1 and err == "release.py: signed by another publisher: bin\\tool\n"

    assert run(capsys, "pack", folder, "--out", tmp_path / "q.zip")[0] == 0
    code, out, err = run(capsys, "signatures", tmp_path / "q.zip", "--pin", pin)
    assert code == 1 and err == "release.py: unsigned file: bin\\tool\n"
    assert out == "bin\\tool: unsigned\nbrindlewick.exe: unsigned\nplugin.ocx: unsigned\n"


def pkcs12_file(folder, cert, key):
    """The certificate and key in one PKCS#12 file with the password "secret"."""
    with open(cert, "rb") as c, open(key, "rb") as k:
        bundle = pkcs12.serialize_key_and_certificates(
            b"p", serialization.load_pem_private_key(k.read(), None),
            code_signing.x509.load_pem_x509_certificate(c.read()), None,
            serialization.BestAvailableEncryption(b"secret"))
    (folder / "p.p12").write_bytes(bundle)
    return folder / "p.p12"


def cert_options(cert, key):
    return ["--sign-cert", cert, "--sign-key", key]


SIGNING_REFUSALS = {
    "certificate for web servers": (lambda t, c, k: cert_options(*code_signing_certs.make(
        str(t), "web", ExtendedKeyUsageOID.SERVER_AUTH)), "cannot sign code"),
    "key of another certificate": (
        lambda t, c, k: cert_options(c, code_signing_certs.make(str(t), "other")[1]),
        "does not match"),
    "expired certificate": (
        lambda t, c, k: cert_options(*code_signing_certs.make(str(t), "old", days=(-9, -1))),
        "is valid only from"),
    "PKCS#12 file without its password": (lambda t, c, k: ["--sign-cert", pkcs12_file(t, c, k)],
                                          "does not hold its password"),
    "unreachable time-stamping service": (
        lambda t, c, k: cert_options(c, k) + ["--timestamp-url", "http://localhost:1"],
        "osslsigncode could not sign"),
    "no osslsigncode": (lambda t, c, k: cert_options(c, k), "osslsigncode is not installed"),
}


@pytest.mark.parametrize("case", SIGNING_REFUSALS)
def test_signing_refusals_change_nothing(publisher, tmp_path, capsys, monkeypatch, case):
    make_options, text = SIGNING_REFUSALS[case]
    options = make_options(tmp_path, *publisher[:2])
    monkeypatch.delenv("BRINDLEWICK_SIGN_PASSWORD", raising=False)
    if case == "no osslsigncode":
        monkeypatch.setenv("PATH", str(tmp_path))
    folder = make_release(tmp_path / "rel", {"brindlewick.exe": tiny_program()})
    code, _, err = run(capsys, "pack", folder, "--out", tmp_path / "p.zip", *options)
    assert code == 1 and text in err, err
    assert not (tmp_path / "p.zip").exists()
    code, _, err = run(capsys, "sign-code", folder / "brindlewick.exe", *options)
    assert code == 1 and text in err, err
    assert os.listdir(folder) == ["brindlewick.exe"]
    assert (folder / "brindlewick.exe").read_bytes() == tiny_program()


def test_a_delta_package_rebuilds_the_new_tree_and_is_offered_signed(key, publisher, tmp_path,
                                                                     capsys):
    cert, signing_key, pin = publisher
    big = bytes(range(256)) * 4096 + os.urandom(1 << 20)
    old = {"brindlewick.exe": tiny_program(), "data/big.bin": big, "data/same.txt": b"same",
           "data/gone.txt": b"removed", "old-name.txt": b"moved " * 50, "data/c.txt": b"c1"}
    program = tiny_program()
    changed = program[:0x201] + b"\x90" + program[0x202:]  # another instruction
    new = {"brindlewick.exe": changed, "data/big.bin": big[:5000] + b"fix" + big[5000:],
           "data/same.txt": b"same", "sub/new-name.txt": b"moved " * 50,
           "data/c.txt": b"c2", "plugin.ocx": changed + b"\xc3", "empty/": None}
    packages = {}
    for name, files in (("old", old), ("new", new)):
        folder = make_release(tmp_path / name, {k: v for k, v in files.items() if v is not None})
        (folder / "empty").mkdir()
        packages[name] = tmp_path / (name + ".zip")
        assert run(capsys, "pack", folder, "--out", packages[name], "--sign-cert", cert,
                   "--sign-key", signing_key)[0] == 0
    delta = tmp_path / "delta.zip"
    code, out, err = run(capsys, "delta", packages["old"], packages["new"], "--out", delta)
    assert code == 0, err

    with zipfile.ZipFile(delta) as z:
        assert z.namelist()[0] == "delta.json"
        description = json.loads(z.read("delta.json"))
        stored = {i.filename: i.compress_type for i in z.infolist()}
    files = {f["path"]: f for f in description["files"]}
    assert description["format"] == 1 and description["folders"] == ["empty/"]
    assert description["package_sha256"] == release.file_sha256(packages["new"])
    assert sorted(files) == sorted(k for k, v in new.items() if v is not None)
    assert files["sub/new-name.txt"]["source"] == "old"  # found by its digest
    assert files["sub/new-name.txt"]["base"] == "old-name.txt"
    assert files["data/big.bin"]["source"] == "patch"
    assert stored[files["data/big.bin"]["entry"]] == zipfile.ZIP_STORED
    sources = [files[name]["source"] for name in sorted(files)]
    # data/c.txt is carried whole: a patch would be larger.
    assert sources == ["patch", "patch", "whole", "old", "whole", "old"], sources
    assert "2 taken from the old tree, 2 patched, 2 whole" in out
    assert "data/gone.txt" not in files
    # The tree comes out byte for byte, signatures and all.
    assert delta.stat().st_size < packages["new"].stat().st_size / 10
    assert delta_package.rebuild(delta, packages["old"]) == delta_package.read_tree(
        packages["new"])[0]
    assert run(capsys, "signatures", delta, "--base", packages["old"], "--pin", pin)[0] == 0
    code, _, err = run(capsys, "signatures", delta)
    assert code == 1 and "name the package it starts from with --base" in err
    code, _, err = run(capsys, "signatures", delta, "--base", packages["new"])
    assert code == 1 and "of the old package is not the one the delta starts from" in err

    # Offered in the signed manifest, from any number of versions; refused when it is no
    # delta or the manifest would be.
    path, public = key
    out = tmp_path / "latest.json"
    code, _, err = run(capsys, "sign", "--version", "2.0", "--url", "https://h/p.zip",
                       "--package", packages["new"], "--key", path, "--out", out,
                       "--delta", "1.0", "https://h/d1.zip", delta,
                       "--delta", "1.1", "https://h/d2.zip", delta)
    assert code == 0, err
    code, shown, _ = run(capsys, "verify", out, "--pubkey", public)
    offer = {"url": "https://h/d1.zip", "sha256": release.file_sha256(delta),
             "size": delta.stat().st_size, "from": "1.0"}
    assert code == 0 and json.loads(shown)["deltas"] == [offer, dict(
        offer, **{"from": "1.1", "url": "https://h/d2.zip"})]
    out.unlink()
    code, _, err = run(capsys, "sign", "--version", "2.0", "--url", "https://h/p.zip",
                       "--package", packages["old"], "--key", path, "--out", out,
                       "--delta", "1.0", "https://h/d.zip", delta)
    assert code == 1 and "makes the tree of another package than" in err and not out.exists()
    for delta_args, text in ((["1.0", "https://h/d.zip", packages["old"]], "is no delta package"),
                             (["1.0", "http://h/d.zip", delta], "manifest: bad deltas"),
                             (["1.x", "https://h/d.zip", delta], "manifest: bad deltas")):
        out.unlink(missing_ok=True)
        code, _, err = run(capsys, "sign", "--version", "2.0", "--url", "https://h/p.zip",
                           "--package", packages["new"], "--key", path, "--out", out,
                           "--delta", *delta_args)
        assert code == 1 and text in err and not out.exists(), delta_args
