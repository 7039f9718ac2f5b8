"""Releases whose program files must carry the publisher's Authenticode signature: the
program built to trust the build's throwaway test certificate, end to end; and moving
from one certificate or manifest key to the next."""
import os
import shutil
import subprocess

import pytest

import code_signing
import code_signing_certs
import e2e
import image_headers
from e2e import root

SETUP = os.path.join(e2e.BIN, "BrindlewickSetupPinned.exe")
# Trusts the publisher's certificate and the successor's key, and the development
# manifest key and the successor manifest key.
TRANSITION = os.path.join(e2e.BIN, "BrindlewickSetupTransition.exe")
APP = os.path.join(e2e.BIN, "fake_app.exe")
CERTS = os.path.join(e2e.BUILD, "test-signing")
PUBLISHER = code_signing.Signer(os.path.join(CERTS, "publisher.pem"),
                                os.path.join(CERTS, "publisher-key.pem"))
SUCCESSOR = code_signing.Signer(os.path.join(CERTS, "successor.pem"),
                                os.path.join(CERTS, "successor-key.pem"))
SUCCESSOR_KEY = os.path.join(CERTS, "successor-manifest-key.pem")


def release(version):
    return {"brindlewick.exe": None, "lib/Helper.DLL": None, "data/readme.txt": b"unsigned",
            "updater.exe": SETUP, "version.txt": version.encode()}


def test_signed_releases_install_and_update(server, clean):
    base = server.publish("1.0.0", release("1.0.0"), channel="signed", signer=PUBLISHER)
    assert e2e.run(SETUP, base_url=base) == (0, [])
    server.publish("1.1.0", release("1.1.0"), channel="signed", signer=PUBLISHER)
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.0.0", "staged": "1.1.0"}
    assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "1.1.0", "prev": "1.0.0"}
    # The stub now in place is the signed one the release shipped.
    assert e2e.log_lines() == ["installed 1.0.0", "staged 1.1.0", "committed 1.1.0 (prev 1.0.0)",
                               "updater self-upgraded from app-1.1.0"]
    assert code_signing.signer_of(e2e.read(root("updater.exe"), "rb")) == PUBLISHER.certificate


def signed(tmp_path, signer=PUBLISHER, change_at=None):
    """The stand-in signed, and with one bit changed afterwards when `change_at` says where."""
    path = str(tmp_path / "signed.exe")
    signer.sign(APP, path)
    if change_at:
        data = bytearray(e2e.read(path, "rb"))
        data[change_at] ^= 1
        e2e.write(path, bytes(data))
    return path


def another_publisher(tmp_path):
    return code_signing.Signer(*code_signing_certs.make(str(tmp_path / "other")))


REFUSED = {
    "unsigned program": (lambda t: {"brindlewick.exe": APP}, "unsigned file: brindlewick.exe"),
    "unsigned library in a sub-folder": (
        lambda t: {"brindlewick.exe": signed(t), "lib/Helper.DLL": APP},
        "unsigned file: lib\\Helper.DLL"),
    "another publisher": (lambda t: {"brindlewick.exe": signed(t, another_publisher(t))},
                          "signed by another publisher: brindlewick.exe"),
    "changed after signing": (lambda t: {"brindlewick.exe": signed(t, change_at=0x1000)},
                              "bad signature: brindlewick.exe"),
    "an unsigned program by another name": (
        lambda t: {"brindlewick.exe": signed(t), "plugin.ocx": APP}, "unsigned file: plugin.ocx"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused_releases_stage_nothing(server, clean, tmp_path, case):
    make_files, reason = REFUSED[case]
    server.publish("1.1.0", make_files(tmp_path), name="refused")

    # The installer shows the reason.
    assert e2e.run(SETUP, base_url=server.url("/files/refused"),
                   answers=[("Brindlewick Setup", "OK")]) == (
        1, ["Installation failed.\n\n" + reason])
    assert os.listdir(e2e.ROOT) == ["updater.log"]

    # The background check of an installed stub logs it.
    shutil.rmtree(e2e.ROOT)
    base = server.publish("1.0.0", {"brindlewick.exe": None}, channel="guarded", signer=PUBLISHER)
    assert e2e.run(SETUP, base_url=base) == (0, [])
    server.announce("refused", "guarded")
    assert e2e.start_stub(base) == (0, [])
    assert e2e.log_lines() == ["installed 1.0.0", "stage 1.1.0 failed: " + reason]
    assert e2e.state() == {"installed": "1.0.0"}
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.0.0", "install.json", "updater.exe",
                                           "updater.log"]


def pinned(certificate, pin=code_signing_certs.pin):
    """The certificate and key made, and the pin of the certificate."""
    return certificate[0], certificate[1], pin(certificate[0])


def renewed(t, pin):
    """A certificate renewed with the key of the first, and `pin` of the first."""
    first = code_signing_certs.make(t, "first")
    return pinned(code_signing_certs.make(t, "renewed", key_path=first[1]),
                  lambda _: pin(first[0]))


def among_others(t, pin=None):
    """A certificate pinned by `pin` of it (None: not at all) in a list between another
    certificate's key and a digest of nothing."""
    other = code_signing_certs.make(t, "other")[0]
    cert, key = code_signing_certs.make(t)
    pins = [code_signing_certs.key_pin(other)] + ([pin(cert)] if pin else []) + ["0" * 64]
    return cert, key, ",".join(pins)


# The certificate made and its pins (the certificate, key and PUBLISHER_CERT_SHA256 of a
# build), the files of the unpacked release (None: the stand-in signed with that
# certificate by osslsigncode alone, as the release tool would refuse to sign with some
# of these; a path: that file unsigned), and what the program says.
PINS = {
    "issued by a CA the signature does not carry": (
        lambda t: pinned(code_signing_certs.make(t, "leaf",
                                                 issuer=code_signing_certs.make(t, "ca"))),
        {"brindlewick.exe": None}, "accepted"),
    "expired": (lambda t: pinned(code_signing_certs.make(t, "old", days=(-9, -1))),
                {"brindlewick.exe": None}, "bad signature: brindlewick.exe"),
    "a library that is no program, deep down": (
        lambda t: pinned(code_signing_certs.make(t)),
        {"brindlewick.exe": None, "a/b/Notes.DLL": b"no program\n"},
        "unsigned file: a\\b\\Notes.DLL"),
    "renewed with its key, the key pinned": (lambda t: renewed(t, code_signing_certs.key_pin),
                                             {"brindlewick.exe": None}, "accepted"),
    "renewed with its key, the old certificate pinned": (
        lambda t: renewed(t, code_signing_certs.pin), {"brindlewick.exe": None},
        "signed by another publisher: brindlewick.exe"),
    "the certificate among other pins": (lambda t: among_others(t, code_signing_certs.pin),
                                         {"brindlewick.exe": None}, "accepted"),
    "its key among other pins": (lambda t: among_others(t, code_signing_certs.key_pin),
                                 {"brindlewick.exe": None}, "accepted"),
    "neither among other pins": (lambda t: among_others(t), {"brindlewick.exe": None},
                                 "signed by another publisher: brindlewick.exe"),
    "files that only look like program images": (
        lambda t: pinned(code_signing_certs.make(t)),
        dict({"brindlewick.exe": None}, **image_headers.NOT_IMAGES), "accepted"),
}
# Each unsigned program image, whatever its name, is refused.
PINS.update({
    "an unsigned image: " + name: (
        lambda t: pinned(code_signing_certs.make(t)),
        {"brindlewick.exe": None, name: APP if data is None else data},
        "unsigned file: " + name.replace("/", "\\"))
    for name, data in image_headers.IMAGES.items()})


@pytest.mark.parametrize("case", PINS)
def test_what_the_pin_excuses_and_what_it_does_not(tmp_path, case):
    make_certificate, files, verdict = PINS[case]
    cert, key, pins = make_certificate(str(tmp_path / "certs"))
    for rel, data in files.items():
        path = tmp_path / "tree" / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        if data is None:
            subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                            "-in", APP, "-out", str(path)], check=True, stdout=subprocess.DEVNULL)
        elif isinstance(data, str):
            shutil.copyfile(data, path)
        else:
            path.write_bytes(data)
    tree = e2e.windows_path(tmp_path / "tree")
    assert e2e.probe("signatures", tree, pins).stdout == verdict + "\n"
    assert e2e.probe("signatures", tree, "").stdout == "accepted\n"  # no pin, no check


# Each change: the code signer and manifest key of the releases before it, those after
# it, and what a stub that trusts only the old says of a release made with the new.
CHANGES = {
    "code-signing certificate": ((PUBLISHER, e2e.KEY), (SUCCESSOR, e2e.KEY),
                                 "stage 3.0.0 failed: signed by another publisher: "
                                 "brindlewick.exe"),
    "manifest key": ((PUBLISHER, e2e.KEY), (PUBLISHER, SUCCESSOR_KEY),
                     "check failed: manifest signature check failed"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_keys_change_without_stranding_an_installation(server, clean, change):
    old, new, refusal = CHANGES[change]

    def publish(version, signing, stub):
        return server.publish(version, {"brindlewick.exe": None, "updater.exe": stub},
                              name="change-" + version, channel="change", signer=signing[0],
                              key=signing[1])

    # Installed by the program that trusts the old only, which refuses the new.
    base = publish("1.0.0", old, SETUP)
    assert e2e.run(SETUP, base_url=base) == (0, [])
    publish("3.0.0", new, TRANSITION)
    assert e2e.start_stub(base) == (0, [])
    assert e2e.log_lines() == ["installed 1.0.0", refusal]
    assert sorted(os.listdir(e2e.ROOT)) == ["app-1.0.0", "install.json", "updater.exe",
                                           "updater.log"]

    # A release made with the old ships the stub that trusts both, and it takes over at
    # the commit; then a release made with the new installs through it.
    publish("2.0.0", old, TRANSITION)
    for _ in range(2):
        assert e2e.start_stub(base) == (0, [])
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(root("app-2.0.0", "updater.exe"), "rb")
    publish("3.0.0", new, TRANSITION)
    for _ in range(2):
        assert e2e.start_stub(base) == (0, [])
    assert e2e.state() == {"installed": "3.0.0", "prev": "2.0.0"}
    log = e2e.log_lines()
    assert log[:7] == ["installed 1.0.0", refusal, "staged 2.0.0", "committed 2.0.0 (prev 1.0.0)",
                       "updater self-upgraded from app-2.0.0", "staged 3.0.0",
                       "committed 3.0.0 (prev 2.0.0)"]
    # The stub release 3 shipped is in place: signed anew, it replaced the one before,
    # unless the signature came out the same byte for byte.
    assert log[7:] in ([], ["updater self-upgraded from app-3.0.0"])
    assert e2e.read(root("updater.exe"), "rb") == e2e.read(root("app-3.0.0", "updater.exe"), "rb")
    assert code_signing.signer_of(e2e.read(root("updater.exe"), "rb")) == new[0].certificate
