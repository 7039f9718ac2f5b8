#!/usr/bin/python3
"""Writes the signed envelopes the update tests check, and the folder the test server
serves, signed with the build's development key.
Usage: make_update_fixtures.py OUT_DIR PRIVATE_KEY"""
import base64
import json
import os
import random
import shutil
import subprocess
import sys

sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"),
                os.path.dirname(os.path.abspath(__file__))]
import release  # noqa: E402
import rule_cases  # noqa: E402
from cryptography.hazmat.primitives.asymmetric import ec  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature  # noqa: E402


def b64(data):
    return base64.b64encode(data).decode()


def envelope(payload, sig, **extra):
    return json.dumps({"payload": b64(payload), "sig": b64(sig), **extra})


def openssl_der_signature(key_path, payload, work):
    """A signature made by OpenSSL's command line, in its own DER form."""
    data = os.path.join(work, "payload.bin")
    with open(data, "wb") as f:
        f.write(payload)
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_path, data],
                          check=True, stdout=subprocess.PIPE).stdout


def main():
    out, key_path = sys.argv[1], sys.argv[2]
    shutil.rmtree(out, ignore_errors=True)
    envelopes = os.path.join(out, "envelopes")
    www = os.path.join(out, "www")
    os.makedirs(envelopes)
    os.makedirs(www)
    key = release.load_private_key(key_path)
    other_key = ec.generate_private_key(ec.SECP256R1())

    payload = json.dumps({"version": "2.0.1", "url": "https://localhost/p.zip",
                          "sha256": "ab" * 32, "minStub": "1.0"}).encode()
    sig = release.p1363_signature(key, payload)
    der = openssl_der_signature(key_path, payload, out)
    r, s = decode_dss_signature(der)
    good = envelope(payload, sig)
    cases = {
        "good": good,
        "good-openssl": envelope(payload, r.to_bytes(32, "big") + s.to_bytes(32, "big")),
        "good-sig-first-extra-members": json.dumps(
            {"sig": b64(sig), "note": [1, {"x": None}], "payload": b64(payload), "n": 1.5}),
        "bad-der-signature": envelope(payload, der),
        "bad-signed-base64-text": envelope(payload, release.p1363_signature(key, b64(payload).encode())),
        "bad-signed-whole-envelope": envelope(
            payload, release.p1363_signature(key, json.dumps({"payload": b64(payload)}).encode())),
        "bad-other-key": envelope(payload, release.p1363_signature(other_key, payload)),
        "bad-flipped-payload": envelope(payload[:5] + bytes([payload[5] ^ 1]) + payload[6:], sig),
        "bad-flipped-sig": envelope(payload, sig[:40] + bytes([sig[40] ^ 0x80]) + sig[41:]),
        "bad-short-sig": envelope(payload, sig[:63]),
        "bad-empty-payload": envelope(b"", release.p1363_signature(key, b"")),
        "bad-no-payload": json.dumps({"sig": b64(sig)}),
        "bad-array": "[" + good + "]",
        "bad-string": json.dumps(good),
        "bad-trailing-text": good + " {}",
        "bad-comment": good[:-1] + " /* note */}",
        "bad-payload-number": json.dumps({"payload": 5, "sig": b64(sig)}),
        "bad-sig-object": json.dumps({"payload": b64(payload), "sig": {"r": 1}}),
        "bad-not-json": "payload=" + b64(payload),
        "bad-empty": "",
    }
    for name, text in cases.items():
        with open(os.path.join(envelopes, name + ".json"), "w") as f:
            f.write(text)
    with open(os.path.join(out, "payload.json"), "wb") as f:
        f.write(payload)
    # The public half of the key that signed bad-other-key, for lists of trusted keys.
    with open(os.path.join(out, "other-key.txt"), "w") as f:
        f.write(release.public_key_hex(other_key.public_key()))

    # The cases both the program and the release tool are held to.
    rules = os.path.join(out, "rules")
    os.makedirs(rules)
    index = []
    for number, (name, text, expect) in enumerate(rule_cases.envelopes(key)):
        file = "%02d.json" % number
        with open(os.path.join(rules, file), "wb") as f:
            f.write(text)
        index.append({"name": name, "file": file, "expect": expect})
    with open(os.path.join(rules, "index.json"), "w") as f:
        json.dump(index, f, indent=1)

    # A package-sized file for downloads, and a good envelope to fetch.
    with open(os.path.join(www, "package.bin"), "wb") as f:
        f.write(random.Random(4).randbytes(3 * 1024 * 1024 + 123))
    with open(os.path.join(www, "latest.json"), "w") as f:
        f.write(good)


if __name__ == "__main__":
    main()
