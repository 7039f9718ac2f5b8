#!/usr/bin/python3
"""Brindlewick release tool: keys, packages, signed latest.json, and a local HTTPS
server for trying a release.

  release.py keygen KEYFILE              new P-256 private key; prints the public key
  release.py pubkey KEYFILE              prints the public key for the build
  release.py pack DIR --out PACKAGE [SIGNING]
                                         writes a release package from a folder; with
                                         SIGNING, every program file in it is signed
  release.py signatures PACKAGE [--base OLD_PACKAGE] [--pin HEX[,HEX...]]
                                         lists who signed each program file of a package;
                                         of a delta package, with the package it starts
                                         from, of the tree it makes
  release.py sign-code FILE... SIGNING   signs program files in place
  release.py sign --version V --url U --package P --key KEYFILE [--min-stub S]
                 [--expires-in DAYS] [--delta FROM URL DELTA]... [--rollout PERCENT]
                 [--channel NAME] [--report URL] [--out F]
                                         (the manifest names the package's digest and size,
                                         and when it was issued: a program that has seen
                                         it refuses one issued before; with --expires-in,
                                         it is refused that many days on; each --delta
                                         offers a delta package to installations of
                                         version FROM; --rollout offers the release to
                                         that share of the installations, by the bucket
                                         each drew, while new installations always take it;
                                         --report names the https:// address installations
                                         send their update reports to. Signing another
                                         version over F first keeps F as F.previous, the
                                         release halt goes back to)
  release.py halt --key KEYFILE [--manifest F] [--channel NAME]
                                         stops the release F announces (default latest.json,
                                         or latest-NAME.json): F announces the release of
                                         F.previous again when that is an older version,
                                         else the same release to 1% of installations
  release.py report ACCESS_LOG... [--max-rollback-rate PERCENT]
                                         counts the update reports in web server access logs
                                         (plain or gzip) per release and channel
  release.py delta OLD_PACKAGE NEW_PACKAGE --out DELTA
                                         writes what turns the old package's tree into the
                                         new one's: unchanged and moved files are taken
                                         from the old, changed ones patched, the rest whole
  release.py verify ENVELOPE (--pubkey HEX[,HEX...] | --key KEYFILE)
  release.py serve DIR --certs CERTDIR [--port N]

SIGNING: --sign-cert CERT.pem --sign-key KEY.pem, or --sign-cert BUNDLE.p12, with a
password (PKCS#12, encrypted key) in the environment variable BRINDLEWICK_SIGN_PASSWORD;
optionally --timestamp-url URL (RFC 3161). Signing needs Debian's osslsigncode.
A program file is one that starts with a PE image header, whatever its name, or one
named .exe or .dll: the files the program checks.

Halting: F is signed again with a fresh "issued" time, so that it supersedes the one
installations have seen, and an expiry as long after it as before. Going back takes
F.previous (verified with KEYFILE) as it was signed, its deltas and rollout included,
with F's "report" address and channel. F.previous is left as it is: halting again finds
no older release there and offers the announced one to 1% instead of going further
back, and signing the next version over F keeps the release announced then as
F.previous.

Update reports: installations send one after each update event (staged, committed,
rolled-back, failed) to the manifest's "report" address. "report" prints a table, a row
for each channel and version, with the rollback rate and the most frequent reasons;
"release.py report --help" describes it exactly. With --max-rollback-rate it exits 1
when a release's rate is above PERCENT, and names it on stderr, so that a rollout
pipeline stops there.

Exit codes: 0 done, 1 refused or failed (the reason is printed), 2 bad usage.
"""
import argparse
import base64
import binascii
import datetime
import fractions
import hashlib
import http.server
import io
import json
import math
import os
import re
import shutil
import ssl
import sys
import tempfile
import time
import zipfile

import code_signing
import delta_package
import update_reports
from release_names import CHANNEL_RULE, VERSION_RULE, version_key
from code_signing import Refused

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import (
    decode_dss_signature,
    encode_dss_signature,
)
from cryptography.x509.oid import NameOID

STUB_EXE = "brindlewick.exe"
SIGNATURE_FAILED = "manifest signature check failed"
NOT_JSON = "latest.json is not valid JSON"
# The rules below are the program's own; tests/update/manifest_rules.json holds the
# cases both sides are held to.
SHA256_RULE = re.compile(r"[0-9a-fA-F]{64}")
# The report address: bytes of UTF-8, no space or control character in them.
MAX_REPORT_ADDRESS = 2048
REPORT_FORBIDDEN = re.compile(r"[\x00-\x20\x7f]")
# The most of latest.json the program reads.
MAX_ENVELOPE = 1 << 20
# How far the program lets its clock be behind before it refuses an expired manifest.
CLOCK_SKEW_SECONDS = 24 * 60 * 60
BASE64_RULE = re.compile(r"(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?")
# Deepest nesting of arrays and objects in latest.json or its payload.
MAX_JSON_DEPTH = 64
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    port + digit for port in ("COM", "LPT") for digit in "0123456789\u00b9\u00b2\u00b3"
}
WINDOWS_FORBIDDEN = set('<>:"|?*\\') | {chr(c) for c in range(32)}
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


# Keys ----------------------------------------------------------------------------------


def public_key_hex(public_key):
    """The 130-character form the build takes: 04, X and Y, lowercase hexadecimal."""
    point = public_key.public_bytes(
        serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint
    )
    return point.hex()


def public_key_from_hex(text):
    if not re.fullmatch(r"04[0-9a-f]{128}", text or ""):
        raise Refused("a public key is 130 lowercase hexadecimal characters starting with 04")
    try:
        return ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), bytes.fromhex(text))
    except ValueError:
        raise Refused("the public key is not a point on P-256")


def load_private_key(path):
    try:
        with open(path, "rb") as f:
            key = serialization.load_pem_private_key(f.read(), password=None)
    except OSError as e:
        raise Refused("cannot read key %s: %s" % (path, e.strerror))
    except (ValueError, TypeError):
        raise Refused("%s is not an unencrypted PEM private key" % path)
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise Refused("%s is not a P-256 key" % path)
    return key


def keygen(path):
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    )
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise Refused("%s exists; a key is never overwritten" % path)
    except OSError as e:
        raise Refused("cannot create %s: %s" % (path, e.strerror))
    with os.fdopen(fd, "wb") as f:
        f.write(pem)
    return public_key_hex(key.public_key())


# Names and packages --------------------------------------------------------------------


def name_problem(name):
    """Why the stub would skip this slash-separated entry name or Windows would alias
    it; None when it is fine."""
    if not name or name.startswith("/") or ":" in name:
        return "empty, rooted or holding a colon"
    for part in name.split("/"):
        if part in ("", "."):
            continue
        if part == "..":
            return "has a '..' component"
        if part[-1] in ". ":
            return "has a component ending in a dot or a space"
        if part.split(".")[0].rstrip(" ").upper() in DEVICE_NAMES:
            return "names a Windows device"
        if WINDOWS_FORBIDDEN & set(part):
            return "holds a character Windows does not allow in names"
    return None


def collect_tree(folder):
    """Sorted (name, path) pairs for every file, and every empty folder (name ending in
    a slash), below `folder`."""
    if not os.path.isdir(folder):
        raise Refused("%s is not a folder" % folder)
    entries = []
    for top, dirs, files in os.walk(folder, followlinks=False):
        dirs.sort()
        for name in dirs + files:
            path = os.path.join(top, name)
            rel = os.path.relpath(path, folder).replace(os.sep, "/")
            if os.path.islink(path):
                raise Refused("%s is a link; packages hold plain files only" % rel)
        for name in files:
            path = os.path.join(top, name)
            entries.append((os.path.relpath(path, folder).replace(os.sep, "/"), path))
        if not dirs and not files and top != folder:
            entries.append((os.path.relpath(top, folder).replace(os.sep, "/") + "/", top))
    entries.sort()
    return entries


def check_names(names):
    seen = {}
    for name in names:
        problem = name_problem(name)
        if problem:
            raise Refused("%r %s" % (name, problem))
        folded = name.lower()
        if folded in seen:
            raise Refused("%r and %r name the same file on Windows" % (seen[folded], name))
        seen[folded] = name
    if STUB_EXE not in seen:
        raise Refused("no %s at the top of the package" % STUB_EXE)


def pack(folder, out, signer=None):
    """Packs the folder; with a code_signing.Signer, signed copies of its program files
    take their place in the package, and the folder stays as it was."""
    entries = collect_tree(folder)
    check_names([name for name, _ in entries])
    target = os.path.abspath(out)
    if any(os.path.abspath(path) == target for _, path in entries):
        raise Refused("the package cannot be written inside the folder it packs")
    with tempfile.TemporaryDirectory() as signed:
        if signer:
            for i, (name, path) in enumerate(entries):
                if not name.endswith("/") and program_file(name, path):
                    entries[i] = (name, os.path.join(signed, "%d%s" % (
                        i, os.path.splitext(name.rsplit("/", 1)[-1])[1])))
                    signer.sign(path, entries[i][1])
        write_package(entries, out)
    return len(entries)


def program_file(name, path):
    """Whether the program would check the signature of the file at `path`, named `name`
    in the package."""
    try:
        with open(path, "rb") as f:
            return code_signing.is_program_file(name, f, os.fstat(f.fileno()).st_size)
    except OSError as e:
        raise Refused("cannot read %s: %s" % (path, e.strerror))


def write_package(entries, out):
    tmp = out + ".tmp"
    try:
        with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
            for name, path in entries:
                info = zipfile.ZipInfo(name, FIXED_TIME)
                info.create_system = 0
                if name.endswith("/"):
                    info.external_attr = 0x10
                    z.writestr(info, b"")
                    continue
                info.compress_type = zipfile.ZIP_DEFLATED
                info.external_attr = 0o644 << 16
                with open(path, "rb") as src, z.open(info, "w") as dst:
                    while True:
                        chunk = src.read(1 << 20)
                        if not chunk:
                            break
                        dst.write(chunk)
        os.replace(tmp, out)
    except OSError as e:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise Refused("cannot write %s: %s" % (out, e.strerror or e))


def sign_code(paths, signer):
    """Signs each file in place; a file is replaced only by its checked signed form."""
    for path in paths:
        if not os.path.isfile(path):
            raise Refused("%s is not a file" % path)
        tmp = path + ".signing"
        signer.sign(path, tmp)
        os.replace(tmp, path)


def signatures(package, pins=None, base=None):
    """A line for each program file of the package naming its signer; of a delta package,
    of the tree it makes from `base`. With `pins` (the digests of certificates or of public
    keys a build trusts), the package is refused with the program's own text for a file it
    would refuse."""
    if delta_package.is_delta(package):
        if base is None:
            raise Refused("%s is a delta package: name the package it starts from with "
                          "--base" % package)
        check_package(base)
        tree = delta_package.rebuild(package, base)
    else:
        check_package(package)
        tree, _ = delta_package.read_tree(package)
    lines, refusal = [], None
    for path, data in tree.items():
        name = path.replace("/", "\\")
        if not code_signing.is_program_file(name, io.BytesIO(data), len(data)):
            continue
        problem = None
        try:
            signer = code_signing.signer_of(data)
        except code_signing.BadSignature as e:
            lines.append("%s: bad signature (%s)" % (name, e))
            problem = "bad signature: "
        else:
            if signer is None:
                lines.append(name + ": unsigned")
                problem = "unsigned file: "
            else:
                lines.append("%s: signed by %s" % (name, code_signing.describe(signer)))
                if pins and not {code_signing.certificate_pin(signer),
                                 code_signing.key_pin(signer)} & set(pins):
                    problem = "signed by another publisher: "
        if pins and problem and refusal is None:
            refusal = problem + name
    return lines, refusal


def check_package(path):
    """The package must be a ZIP the stub reads, with the executable at its top."""
    try:
        with zipfile.ZipFile(path) as z:
            names = [info.filename.replace("\\", "/") for info in z.infolist()]
    except OSError as e:
        raise Refused("cannot read package %s: %s" % (path, e.strerror))
    except zipfile.BadZipFile:
        raise Refused("%s is not a valid zip" % path)
    if not any(name.lower() == STUB_EXE for name in names):
        raise Refused("no %s at the top of %s" % (STUB_EXE, path))


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


# Manifests and envelopes ----------------------------------------------------------------


def manifest_problem(manifest):
    """The stub's own verdict on a manifest object: its error text, or None."""
    if not isinstance(manifest, dict):
        return "latest.json is not valid JSON"
    version = manifest.get("version", "")
    url = manifest.get("url", "")
    sha256 = manifest.get("sha256", "")
    min_stub = manifest.get("minStub", "")
    if not isinstance(version, str) or not VERSION_RULE.fullmatch(version):
        return "manifest: bad version"
    if not isinstance(url, str) or not url.startswith("https://"):
        return "manifest: url must be https"
    if not isinstance(sha256, str) or not SHA256_RULE.fullmatch(sha256):
        return "manifest: bad sha256"
    if not isinstance(min_stub, str):
        return "manifest: bad minStub"
    for key in ("size", "issued", "expires"):
        if not count_ok(manifest.get(key, 1)):
            return "manifest: bad " + key
    rollout = manifest.get("rollout", 100)
    if not count_ok(rollout) or rollout > 100:
        return "manifest: bad rollout"
    if not deltas_ok(manifest.get("deltas", [])):
        return "manifest: bad deltas"
    if "channel" in manifest and not (isinstance(manifest["channel"], str)
                                      and CHANNEL_RULE.fullmatch(manifest["channel"])):
        return "manifest: bad channel"
    if "report" in manifest and not report_address_ok(manifest["report"]):
        return "manifest: bad report"
    return None


def report_address_ok(address):
    """An https address with something after the scheme, at most MAX_REPORT_ADDRESS bytes,
    and no space or control character: what the program sends its reports to."""
    if not isinstance(address, str) or not address.startswith("https://"):
        return False
    size = len(address.encode("utf-8"))
    return 8 < size <= MAX_REPORT_ADDRESS and not REPORT_FORBIDDEN.search(address)


def count_ok(count):
    return not isinstance(count, bool) and isinstance(count, int) and 1 <= count < 1 << 64


def deltas_ok(deltas):
    """Each offer names the version it starts from (once), its https address, digest and
    size."""
    if not isinstance(deltas, list):
        return False
    seen = set()
    for offer in deltas:
        if not isinstance(offer, dict):
            return False
        start, url, sha256 = offer.get("from"), offer.get("url"), offer.get("sha256")
        if (not isinstance(start, str) or not VERSION_RULE.fullmatch(start) or start in seen
                or not isinstance(url, str) or not url.startswith("https://")
                or not isinstance(sha256, str) or not SHA256_RULE.fullmatch(sha256)
                or not count_ok(offer.get("size"))):
            return False
        seen.add(start)
    return True


def expiry_problem(manifest, now=None):
    """The stub's verdict on a manifest's expiry, allowing its clock a day behind."""
    expires = manifest.get("expires")
    now = time.time() if now is None else now
    if expires is not None and now - expires > CLOCK_SKEW_SECONDS:
        return "manifest expired"
    return None


def p1363_signature(private_key, payload):
    """ECDSA over SHA-256 of the payload, as r and s of 32 bytes each."""
    r, s = decode_dss_signature(private_key.sign(payload, ec.ECDSA(hashes.SHA256())))
    return r.to_bytes(32, "big") + s.to_bytes(32, "big")


def envelope_text(payload, signature):
    return json.dumps(
        {
            "payload": base64.b64encode(payload).decode(),
            "sig": base64.b64encode(signature).decode(),
        },
        indent=2,
    ) + "\n"


def nesting_depth(text):
    """How deep arrays and objects nest, counted outside strings."""
    depth = deepest = 0
    in_string = escaped = False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "]}" and depth > 0:
            depth -= 1
    return deepest


def strict_json(text):
    """One JSON value and nothing else, as the stub parses it: no byte-order mark, no
    NaN or Infinity, no number beyond a double, no lone surrogate, at most
    MAX_JSON_DEPTH deep. Integers too long to be a size are read as the floating-point
    numbers the stub makes of them."""
    if text.startswith("\ufeff") or nesting_depth(text) > MAX_JSON_DEPTH:
        raise ValueError("not JSON by the stub's rules")
    value = json.loads(text, parse_constant=_reject, parse_float=_finite,
                       parse_int=lambda digits: int(digits) if len(digits) <= 20 else _finite(digits))
    json.dumps(value, ensure_ascii=False).encode("utf-8")  # a lone surrogate raises
    return value


def _reject(name):
    raise ValueError("%s is not JSON" % name)


def _finite(digits):
    value = float(digits)
    if math.isinf(value):
        raise ValueError("%s is beyond a double" % digits)
    return value


def b64_decode(text):
    """Standard Base64 in its one exact spelling: no blanks, exact padding, no stray
    bits past the last byte."""
    if not text or not BASE64_RULE.fullmatch(text):
        raise ValueError("not Base64 by the stub's rules")
    data = base64.b64decode(text, validate=True)
    if base64.b64encode(data).decode() != text:
        raise ValueError("stray bits in Base64")
    return data


def unwrap(text, public_key):
    """The verified payload bytes of an envelope; Refused with the stub's text."""
    try:
        envelope = strict_json(text)
        payload = b64_decode(envelope["payload"])
        signature = b64_decode(envelope["sig"])
    except (ValueError, TypeError, KeyError, binascii.Error, UnicodeEncodeError):
        raise Refused(SIGNATURE_FAILED)
    if not payload or len(signature) != 64:
        raise Refused(SIGNATURE_FAILED)
    r = int.from_bytes(signature[:32], "big")
    s = int.from_bytes(signature[32:], "big")
    try:
        public_key.verify(encode_dss_signature(r, s), payload, ec.ECDSA(hashes.SHA256()))
    except InvalidSignature:
        raise Refused(SIGNATURE_FAILED)
    return payload


def unwrap_any(text, public_keys):
    """The payload of an envelope that verifies under any of the keys, as a program
    built with several accepts it; Refused with the stub's text."""
    for public_key in public_keys[:-1]:
        try:
            return unwrap(text, public_key)
        except Refused:
            pass
    return unwrap(text, public_keys[-1])


def parse_manifest(payload):
    try:
        manifest = strict_json(payload.decode("utf-8"))
    except ValueError:  # UnicodeError included
        raise Refused(NOT_JSON)
    problem = manifest_problem(manifest)
    if problem:
        raise Refused(problem)
    return manifest


def sign(version, url, package, key_path, min_stub, out, expires_in=None, deltas=(),
         rollout=None, channel=None, report=None):
    for name, value in (("version", version), ("min-stub", min_stub)):
        if value is not None and not VERSION_RULE.fullmatch(value):
            raise Refused("%s %r is not 1 to 4 numbers of at most 8 digits, dot-separated"
                          % (name, value))
    if expires_in is not None and expires_in < 1:
        raise Refused("--expires-in is a whole number of days, at least 1")
    if rollout is not None and not 1 <= rollout <= 100:
        raise Refused("--rollout is a whole number from 1 to 100")
    if channel is not None and not CHANNEL_RULE.fullmatch(channel):
        raise Refused("--channel is 1 to 32 of a-z, 0-9 and -")
    if report is not None and report_option_problem(report):
        raise Refused("--report " + report_option_problem(report))
    issued = int(time.time())
    manifest = {"version": version, "url": url, "sha256": "0" * 64, "issued": issued}
    if expires_in is not None:
        manifest["expires"] = issued + expires_in * 24 * 60 * 60
    if min_stub is not None:
        manifest["minStub"] = min_stub
    if rollout is not None and rollout < 100:
        manifest["rollout"] = rollout
    if channel is not None:
        manifest["channel"] = channel
    if report is not None:
        manifest["report"] = report
    if deltas:
        manifest["deltas"] = [{"from": start, "url": delta_url, "sha256": "0" * 64, "size": 1}
                              for start, delta_url, _ in deltas]
    problem = manifest_problem(manifest)
    if problem:
        raise Refused(problem)
    check_package(package)
    key = load_private_key(key_path)
    manifest["sha256"] = file_sha256(package)
    manifest["size"] = os.path.getsize(package)
    for offer, (start, _, path) in zip(manifest.get("deltas", []), deltas):
        if not delta_package.is_delta(path):
            raise Refused("%s is no delta package (release.py delta makes them)" % path)
        if delta_package.made_to(path) != manifest["sha256"]:
            raise Refused("%s makes the tree of another package than %s" % (path, package))
        offer["sha256"], offer["size"] = file_sha256(path), os.path.getsize(path)
    # Issued after the manifest it replaces, even one a halt signed a second ahead:
    # installations that took that one would refuse this one as a replay.
    replaced = replaced_envelope(out, key)
    replaced_issued = replaced[1].get("issued", 0) if replaced else 0
    if replaced_issued >= issued:
        if "expires" in manifest:
            manifest["expires"] += replaced_issued + 1 - issued
        manifest["issued"] = replaced_issued + 1
    write_signed(manifest, key, out, replaced)
    return manifest


def replaced_envelope(out, key):
    """(bytes, manifest) of the envelope at `out` when it verifies with `key`; None when
    there is none, and when it does not verify: that is no release to go back to, and a
    note says so."""
    try:
        data = read_envelope(out)
        text = data.decode("utf-8", errors="replace")  # a stray byte fails the check
        return data, parse_manifest(unwrap(text, key.public_key()))
    except FileNotFoundError:
        return None
    except Refused as e:
        print("release.py: %s is not kept as %s.previous: %s" % (out, out, e), file=sys.stderr)
        return None


def report_option_problem(address):
    """What is wrong with a report address for sign --report, or None. Stricter than the
    program: a fragment would swallow the query it appends, a missing host or a
    character outside printable ASCII can only be a slip."""
    if not address.startswith("https://"):
        return "must be an https:// address"
    if len(address.encode("utf-8")) > MAX_REPORT_ADDRESS:
        return "is at most %d characters" % MAX_REPORT_ADDRESS
    if not re.fullmatch(r"[!-~]*", address):
        return "must hold no space, control or non-ASCII character (percent-encode them)"
    if "#" in address:
        return "must hold no fragment (#): the program appends its query to the address"
    if not re.match(r"https://[^/?]", address):
        return "names no host"
    return None


def write_signed(manifest, key, out, replaced=None):
    """Signs the manifest and writes its envelope to `out` at once, after checking that
    the program would accept it. `replaced`, the (bytes, manifest) of the envelope it
    replaces, is kept as OUT.previous first when it announces another version: the
    release halt goes back to. Signing the same version again (a larger rollout, say)
    leaves OUT.previous as it is."""
    payload = json.dumps(manifest, indent=2).encode() + b"\n"
    text = envelope_text(payload, p1363_signature(key, payload))
    # What is written must be what the stub accepts.
    if parse_manifest(unwrap(text, key.public_key())) != manifest:
        raise Refused("the envelope did not verify; nothing written")
    if replaced is not None and replaced[1]["version"] != manifest["version"]:
        write_atomically(out + ".previous", replaced[0])
    write_atomically(out, text.encode())


def read_envelope(path):
    """The bytes of an envelope file; FileNotFoundError when there is none."""
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_ENVELOPE + 1)
    except FileNotFoundError:
        raise
    except OSError as e:
        raise Refused("cannot read %s: %s" % (path, e.strerror))
    if len(data) > MAX_ENVELOPE:
        raise Refused("%s is larger than any latest.json" % path)
    return data


def halt(manifest_path, key_path, channel=None):
    """Stops the release the envelope at `manifest_path` announces, signing it again:
    as the release of MANIFEST.previous when that verifies and is an older version, else
    as the same release offered to 1% of installations. Returns (halted manifest, written
    manifest, why MANIFEST.previous was not taken or None)."""
    key = load_private_key(key_path)
    try:
        current = verified_manifest(manifest_path, key)
    except FileNotFoundError:
        raise Refused("cannot read %s: no such file" % manifest_path)
    if channel is not None and current.get("channel") != channel:
        raise Refused("%s is signed for %s, not channel %s" % (
            manifest_path, "channel " + current["channel"] if "channel" in current
            else "the default channel", channel))
    previous, passed_over = previous_release(manifest_path + ".previous", key, current)
    # Issued after the halted one, so that no installation takes this for an older one.
    issued = max(int(time.time()), current.get("issued", 0) + 1)
    if previous is not None:
        written = dict(previous, issued=issued)
        for name in ("report", "channel"):
            written.pop(name, None)
            if name in current:
                written[name] = current[name]
    else:
        written = dict(current, issued=issued, rollout=1)
    source = previous if previous is not None else current
    if "expires" in source:
        written["expires"] = issued + source["expires"] - source.get("issued", issued)
    if expiry_problem(written):
        raise Refused("%s would be refused as expired; nothing written" % manifest_path)
    write_signed(written, key, manifest_path)
    return current, written, passed_over


def verified_manifest(path, key):
    """The manifest of the envelope at `path`, verified with `key` and held to the
    program's rules; FileNotFoundError when there is none."""
    text = read_envelope(path).decode("utf-8", errors="replace")  # a stray byte fails the check
    try:
        return parse_manifest(unwrap(text, key.public_key()))
    except Refused as e:
        raise Refused("%s: %s" % (path, e))


def previous_release(path, key, current):
    """(manifest of `path`, None) when it verifies and announces an older version than
    `current`; else (None, why not), why being None when there is no such file."""
    try:
        previous = verified_manifest(path, key)
    except FileNotFoundError:
        return None, None
    except Refused as e:
        return None, str(e)
    if version_key(previous["version"]) >= version_key(current["version"]):
        return None, "%s announces %s, not older than %s" % (
            path, previous["version"], current["version"])
    return previous, None


def utc_text(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M:%S UTC")


def write_atomically(path, data):
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=folder, prefix=".latest-")
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except OSError as e:
        raise Refused("cannot write %s: %s" % (path, e.strerror))


# Local HTTPS server -----------------------------------------------------------------------


def sign_certificate(builder, ca_key):
    """Signs until r and s of the ECDSA signature are 32 bytes each: Wine's certificate
    check rejects a shorter one, which about one signature in 128 has."""
    while True:
        certificate = builder.sign(ca_key, hashes.SHA256())
        r, s = decode_dss_signature(certificate.signature)
        if r.bit_length() > 248 and s.bit_length() > 248:
            return certificate


def make_certificates(folder, host="localhost"):
    """A throwaway CA and a server certificate for `host` signed by it, written into
    `folder` unless already there: ca.pem, ca.der, server.pem, server-key.pem. The folder
    comes into being with all four at once, so that processes making or reading it at
    the same time all see one set, whole."""
    names = ("ca.pem", "ca.der", "server.pem", "server-key.pem")
    paths = {name: os.path.join(folder, name) for name in names}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    parent = os.path.dirname(os.path.abspath(folder))
    os.makedirs(parent, exist_ok=True)
    made = tempfile.mkdtemp(prefix=".certs-", dir=parent)
    try:
        _write_certificates({name: os.path.join(made, name) for name in names}, host)
        try:
            os.rename(made, folder)
        except OSError:
            # Another process was first, or an earlier one left a set cut short.
            if not all(os.path.exists(p) for p in paths.values()):
                shutil.rmtree(folder, ignore_errors=True)
                os.rename(made, folder)
    finally:
        shutil.rmtree(made, ignore_errors=True)
    return paths


def _write_certificates(paths, host):
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Brindlewick test CA")])
    ca_builder = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=3650))
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(False, False, False, False, False, True, True, False, False),
            critical=True,
        )
    )
    ca = sign_certificate(ca_builder, ca_key)
    server_key = ec.generate_private_key(ec.SECP256R1())
    server_builder = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, host)]))
        .issuer_name(ca_name)
        .public_key(server_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(days=1))
        .not_valid_after(now + datetime.timedelta(days=825))
        .add_extension(x509.SubjectAlternativeName([x509.DNSName(host)]), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(
            x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]), critical=False
        )
    )
    server = sign_certificate(server_builder, ca_key)
    with open(paths["ca.pem"], "wb") as f:
        f.write(ca.public_bytes(serialization.Encoding.PEM))
    with open(paths["ca.der"], "wb") as f:
        f.write(ca.public_bytes(serialization.Encoding.DER))
    with open(paths["server.pem"], "wb") as f:
        f.write(server.public_bytes(serialization.Encoding.PEM))
    fd = os.open(paths["server-key.pem"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(server_key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        ))


def tls_context(cert_paths):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert_paths["server.pem"], cert_paths["server-key.pem"])
    return context


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


def serve(folder, cert_folder, port):
    if not os.path.isdir(folder):
        raise Refused("%s is not a folder" % folder)
    paths = make_certificates(cert_folder)

    def handler(*args, **kwargs):
        return QuietHandler(*args, directory=folder, **kwargs)

    server = http.server.ThreadingHTTPServer(("localhost", port), handler)
    server.socket = tls_context(paths).wrap_socket(server.socket, server_side=True)
    print("trust this CA on the test machine: %s" % paths["ca.der"])
    print("BRINDLEWICK_UPDATE_URL=https://localhost:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


# Command line ------------------------------------------------------------------------------


def parser():
    p = argparse.ArgumentParser(
        prog="release.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    k = sub.add_parser("keygen", help="write a new P-256 private key, print its public key")
    k.add_argument("keyfile")
    k = sub.add_parser("pubkey", help="print the public key of a private key file")
    k.add_argument("keyfile")
    k = sub.add_parser("pack", help="write a release package from a folder")
    k.add_argument("folder")
    k.add_argument("--out", required=True, help="the package to write")
    signing_options(k, required=False)
    k = sub.add_parser("signatures", help="list who signed each program file of a package")
    k.add_argument("package")
    k.add_argument("--pin", help="PUBLISHER_CERT_SHA256 of a build (digests, comma-separated): "
                                 "fail as that program would")
    k.add_argument("--base", help="of a delta package: the package it starts from")
    k = sub.add_parser("sign-code", help="sign program files in place")
    k.add_argument("files", nargs="+")
    signing_options(k, required=True)
    k = sub.add_parser("sign", help="write the signed latest.json for a package")
    k.add_argument("--version", required=True)
    k.add_argument("--url", required=True, help="https:// address the package is served at")
    k.add_argument("--package", required=True, help="the package file, for its SHA-256")
    k.add_argument("--key", required=True, help="the private key file")
    k.add_argument("--min-stub", help="oldest setup program that may install it")
    k.add_argument("--expires-in", type=int, metavar="DAYS",
                   help="refused by the program that many days after signing")
    k.add_argument("--delta", nargs=3, action="append", default=[],
                   metavar=("FROM", "URL", "DELTA"),
                   help="offer the delta package DELTA, served at URL, to version FROM")
    k.add_argument("--rollout", type=int, metavar="PERCENT",
                   help="offer it to that share of the installations (1-100; default 100); "
                        "signing again with a larger share reaches the rest")
    k.add_argument("--channel", metavar="NAME",
                   help="sign it for channel NAME (1 to 32 of a-z, 0-9 and -), whose "
                        "installations read latest-NAME.json; the default channel's "
                        "read latest.json")
    k.add_argument("--report", metavar="URL",
                   help="https:// address the installations send their update reports to "
                        "(at most 2048 characters)")
    k.add_argument("--out", help="the file to write (default: latest.json, or "
                                 "latest-NAME.json with --channel); another version there "
                                 "is kept as OUT.previous first")
    k = sub.add_parser("halt", help="stop the release a latest.json announces: announce "
                                    "the previous one again, or offer it to 1%%")
    k.add_argument("--key", required=True, help="the private key file")
    k.add_argument("--channel", metavar="NAME", help="the channel's latest-NAME.json")
    k.add_argument("--manifest", help="the file to halt (default: latest.json, or "
                                      "latest-NAME.json with --channel)")
    k = sub.add_parser("report", help="count the update reports in web server access logs",
                       description=update_reports.__doc__,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    k.add_argument("logs", nargs="+", metavar="ACCESS_LOG",
                   help="a log in the combined log format, plain or gzip-compressed")
    k.add_argument("--max-rollback-rate", type=percentage, metavar="PERCENT",
                   help="exit 1 when a release's rollback rate is above PERCENT (0-100)")
    k = sub.add_parser("delta", help="write a delta package between two release packages")
    k.add_argument("old")
    k.add_argument("new")
    k.add_argument("--out", required=True, help="the delta package to write")
    k = sub.add_parser("verify", help="check a latest.json and print its manifest")
    k.add_argument("envelope")
    group = k.add_mutually_exclusive_group(required=True)
    group.add_argument("--pubkey", help="MANIFEST_KEY_HEX of a build: 130-character public "
                                        "keys, comma-separated; one must verify")
    group.add_argument("--key", help="private key file, whose public half is used")
    k = sub.add_parser("serve", help="serve a folder over HTTPS on localhost")
    k.add_argument("folder")
    k.add_argument("--certs", required=True, help="folder for the throwaway CA and certificate")
    k.add_argument("--port", type=int, default=8443, help="0 picks a free port")
    return p


def percentage(text):
    try:
        value = fractions.Fraction(text.strip())
    except (ValueError, ZeroDivisionError):
        value = None
    if value is None or not 0 <= value <= 100 or "/" in text:
        raise argparse.ArgumentTypeError("%r is no percentage from 0 to 100" % text)
    return value


def signing_options(command, required):
    command.add_argument("--sign-cert", required=required,
                         help="code-signing certificate: PEM (with --sign-key) or PKCS#12")
    command.add_argument("--sign-key", help="its PEM private key")
    command.add_argument("--timestamp-url", help="RFC 3161 time-stamping service")


def run(argv):
    args = parser().parse_args(argv)
    if args.command == "keygen":
        print(keygen(args.keyfile))
    elif args.command == "pubkey":
        print(public_key_hex(load_private_key(args.keyfile).public_key()))
    elif args.command == "pack":
        signer = args.sign_cert and code_signing.Signer(args.sign_cert, args.sign_key,
                                                        args.timestamp_url)
        if not signer and (args.sign_key or args.timestamp_url):
            raise Refused("--sign-key and --timestamp-url go with --sign-cert")
        count = pack(args.folder, args.out, signer)
        print("%s: %d entries, sha256 %s" % (args.out, count, file_sha256(args.out)))
        if signer:
            print("program files signed by %s" % code_signing.describe(signer.certificate))
    elif args.command == "signatures":
        pins = None
        if args.pin is not None:
            pins = [pin.strip() for pin in args.pin.split(",")]
            if not all(re.fullmatch(r"[0-9a-f]{64}", pin) for pin in pins):
                raise Refused("a pin is 64 lowercase hexadecimal characters (several are "
                              "separated by commas)")
        lines, refusal = signatures(args.package, pins, args.base)
        print("\n".join(lines) if lines else "no program file in %s" % args.package)
        if refusal:
            raise Refused(refusal)
    elif args.command == "delta":
        check_package(args.old)
        check_package(args.new)
        counts = delta_package.write(args.old, args.new, args.out, check_names)
        print("%s: %d taken from the old tree, %d patched, %d whole; %d bytes, sha256 %s" % (
            args.out, counts["old"], counts["patch"], counts["whole"],
            os.path.getsize(args.out), file_sha256(args.out)))
    elif args.command == "sign-code":
        signer = code_signing.Signer(args.sign_cert, args.sign_key, args.timestamp_url)
        sign_code(args.files, signer)
        print("signed by %s" % code_signing.describe(signer.certificate))
    elif args.command == "sign":
        out = args.out or ("latest-%s.json" % args.channel if args.channel else "latest.json")
        manifest = sign(args.version, args.url, args.package, args.key, args.min_stub, out,
                        args.expires_in, args.delta, args.rollout, args.channel, args.report)
        print("%s: version %s, sha256 %s, size %d, issued %s%s%s%s" % (
            out, manifest["version"], manifest["sha256"], manifest["size"],
            utc_text(manifest["issued"]),
            ", channel %s" % manifest["channel"] if "channel" in manifest else "",
            ", expires %s" % utc_text(manifest["expires"]) if "expires" in manifest else "",
            ", to %d%% of installations" % manifest["rollout"] if "rollout" in manifest
            else ""))
    elif args.command == "halt":
        if args.channel is not None and not CHANNEL_RULE.fullmatch(args.channel):
            raise Refused("--channel is 1 to 32 of a-z, 0-9 and -")
        path = args.manifest or ("latest-%s.json" % args.channel if args.channel
                                 else "latest.json")
        halted, written, passed_over = halt(path, args.key, args.channel)
        if passed_over:
            print("release.py: not going back: %s" % passed_over, file=sys.stderr)
        print("%s: halted %s; %s" % (
            path, halted["version"], "announces %s again" % written["version"]
            if written["version"] != halted["version"] else "offered to 1% of installations"))
    elif args.command == "report":
        rows, counts = update_reports.tally(args.logs)
        print("\n".join(update_reports.table(rows, counts)))
        if args.max_rollback_rate is not None:
            above = update_reports.above_rate(rows, args.max_rollback_rate)
            if above:
                most = args.max_rollback_rate
                raise Refused("rollback rate above %s%%: %s" % (
                    most.numerator if most.denominator == 1 else float(most), ", ".join(above)))
    elif args.command == "verify":
        public_keys = ([public_key_from_hex(key.strip()) for key in args.pubkey.split(",")]
                       if args.pubkey else [load_private_key(args.key).public_key()])
        try:
            with open(args.envelope, "rb") as f:
                text = f.read().decode("utf-8")
        except OSError as e:
            raise Refused("cannot read %s: %s" % (args.envelope, e.strerror))
        except UnicodeDecodeError:
            raise Refused(SIGNATURE_FAILED)
        manifest = parse_manifest(unwrap_any(text, public_keys))
        problem = expiry_problem(manifest)
        if problem:
            raise Refused(problem)
        print(json.dumps(manifest, indent=2))
    elif args.command == "serve":
        return serve(args.folder, args.certs, args.port)
    return 0


def main(argv=None):
    try:
        return run(sys.argv[1:] if argv is None else argv)
    except (Refused, code_signing.BadSignature) as e:
        print("release.py: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
