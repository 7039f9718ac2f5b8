"""The cases of manifest_rules.json made into signed envelopes: the program's tests read
them from files, the release tool's tests check them in process, so that the two are
held to one table."""
import base64
import json
import os
import re

import release

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "manifest_rules.json")
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def expand(text):
    """{{N*c}} stands for N times the character c."""
    return re.sub(r"\{\{(\d+)\*(.)\}\}", lambda m: m.group(2) * int(m.group(1)), text)


def envelopes(private_key):
    """(name, envelope bytes, expected outcome) for every case of the table."""
    with open(TABLE, encoding="utf-8") as f:
        table = json.load(f)
    default = expand(table["default_payload"]).encode()
    signature = base64.b64encode(release.p1363_signature(private_key, default)).decode()
    # 64 bytes end in two digits and "==": four bits of the second digit are unused.
    stray = signature[:-3] + ALPHABET[ALPHABET.index(signature[-3]) ^ 1] + "=="
    for case in table["cases"]:
        if "envelope" in case:
            text = (expand(case["envelope"]).replace("$PAYLOAD", base64.b64encode(default).decode())
                    .replace("$SIG_STRAY", stray).replace("$SIG", signature).encode("utf-8"))
        else:
            payload = (bytes.fromhex(case["payload_hex"]) if "payload_hex" in case
                       else expand(case["payload"]).encode("utf-8"))
            text = release.envelope_text(payload,
                                         release.p1363_signature(private_key, payload)).encode()
        yield case["name"], text, case["expect"]


def verdict(text, public_key):
    """What the release tool makes of an envelope: "ok" or its refusal."""
    try:
        release.parse_manifest(release.unwrap(text.decode("utf-8"), public_key))
        return "ok"
    except UnicodeDecodeError:
        return release.SIGNATURE_FAILED
    except release.Refused as refusal:
        return str(refusal)
