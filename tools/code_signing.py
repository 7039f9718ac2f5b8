"""Authenticode for the release tool: signs Windows program files with Debian's
osslsigncode, and reads back who signed one, checking the signature as the program
does (the file's digest, the signed attributes, the signer's signature)."""
import datetime
import hashlib
import os
import shutil
import subprocess

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import pkcs12

PROGRAM_SUFFIXES = (".exe", ".dll")
# The DOS header; the offset of the PE header is its last four bytes.
DOS_HEADER_SIZE = 0x40
PE_OFFSET_AT = 0x3C
PASSWORD_VARIABLE = "BRINDLEWICK_SIGN_PASSWORD"
# Object identifiers as their DER contents.
SIGNED_DATA = bytes.fromhex("2a864886f70d010702")
MESSAGE_DIGEST = bytes.fromhex("2a864886f70d010904")
DIGESTS = {bytes.fromhex("2b0e03021a"): hashes.SHA1,
           bytes.fromhex("608648016503040201"): hashes.SHA256,
           bytes.fromhex("608648016503040202"): hashes.SHA384,
           bytes.fromhex("608648016503040203"): hashes.SHA512}


class Refused(Exception):
    """A request the tool will not carry out; the message says why."""


class BadSignature(Exception):
    """A signature is there but does not hold."""


def starts_with_image_header(stream, size):
    """Whether the file read from `stream` (at its start; `size` bytes) starts with a PE
    image header: "MZ", and "PE\\0\\0" at the offset the DOS header names, within the file."""
    head = stream.read(DOS_HEADER_SIZE)
    if len(head) < DOS_HEADER_SIZE or head[:2] != b"MZ":
        return False
    offset = int.from_bytes(head[PE_OFFSET_AT:DOS_HEADER_SIZE], "little")
    if offset + 4 > size:
        return False
    stream.seek(offset)
    return stream.read(4) == b"PE\0\0"


def is_program_file(name, stream, size):
    """Whether the program checks the file's signature: when it starts with a PE image
    header, whatever its name, and when it is named .exe or .dll (one of those that is
    no image is refused as unsigned)."""
    return name.lower().endswith(PROGRAM_SUFFIXES) or starts_with_image_header(stream, size)


def certificate_pin(certificate):
    """The SHA-256 of the certificate's DER form: what PUBLISHER_CERT_SHA256 lists."""
    return hashlib.sha256(certificate.public_bytes(serialization.Encoding.DER)).hexdigest()


def key_pin(certificate):
    """The SHA-256 of the certificate's public key (SubjectPublicKeyInfo, DER), which
    PUBLISHER_CERT_SHA256 may list instead: it stays the same across renewals that keep
    the key."""
    return hashlib.sha256(certificate.public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)).hexdigest()


def describe(certificate):
    return "%s, certificate sha256 %s, public key sha256 %s, valid until %s UTC" % (
        certificate.subject.rfc4514_string(), certificate_pin(certificate),
        key_pin(certificate), certificate.not_valid_after)


# Signing -------------------------------------------------------------------------------


class Signer:
    """What osslsigncode is given: the certificate file (PEM, with its chain if any) and
    its key, or one PKCS#12 file; a password, where one is needed, from PASSWORD_VARIABLE
    (osslsigncode reads it from a pipe, never from its command line)."""

    def __init__(self, cert_path, key_path=None, timestamp_url=None):
        self.tool = shutil.which("osslsigncode")
        if not self.tool:
            raise Refused("osslsigncode is not installed (Debian package osslsigncode)")
        self.password = None
        data = read(cert_path, "certificate")
        if data.lstrip().startswith(b"-----BEGIN"):
            if not key_path:
                raise Refused("%s is a PEM certificate: give its key with --sign-key" % cert_path)
            try:
                self.certificate = x509.load_pem_x509_certificate(data)
            except ValueError:
                raise Refused("%s holds no PEM certificate" % cert_path)
            key = self.load_key(key_path)
            self.arguments = ["-certs", cert_path, "-key", key_path]
        else:
            if key_path:
                raise Refused("%s is not PEM; a PKCS#12 file holds its key, so drop --sign-key"
                              % cert_path)
            key, self.certificate = self.load_pkcs12(cert_path, data)
            self.arguments = ["-pkcs12", cert_path]
        self.check(key)
        if self.password is not None:
            self.arguments += ["-readpass", "/dev/stdin"]
        if timestamp_url:
            self.arguments += ["-ts", timestamp_url]

    def load_key(self, path):
        data = read(path, "key")
        if b"ENCRYPTED" in data:
            self.password = os.environ.get(PASSWORD_VARIABLE, "").encode() or None
        try:
            return serialization.load_pem_private_key(data, password=self.password)
        except (ValueError, TypeError):
            raise Refused("%s is no PEM private key, or %s does not hold its password"
                          % (path, PASSWORD_VARIABLE))

    def load_pkcs12(self, path, data):
        self.password = os.environ.get(PASSWORD_VARIABLE, "").encode() or None
        try:
            key, certificate, _ = pkcs12.load_key_and_certificates(data, self.password)
        except (ValueError, TypeError):
            raise Refused("%s is no PKCS#12 file, or %s does not hold its password"
                          % (path, PASSWORD_VARIABLE))
        if key is None or certificate is None:
            raise Refused("%s must hold the certificate and its key" % path)
        return key, certificate

    def check(self, key):
        """Refuses what would make signatures the program or Windows refuses."""
        certificate = self.certificate
        name = certificate.subject.rfc4514_string()
        if not isinstance(key, (rsa.RSAPrivateKey, ec.EllipticCurvePrivateKey)):
            raise Refused("the key of %s is neither RSA nor ECDSA" % name)
        public = serialization.PublicFormat.SubjectPublicKeyInfo
        if (key.public_key().public_bytes(serialization.Encoding.DER, public) !=
                certificate.public_key().public_bytes(serialization.Encoding.DER, public)):
            raise Refused("the key does not match the certificate of %s" % name)
        if not can_sign_code(certificate):
            raise Refused("the certificate of %s cannot sign code (its key usage or extended "
                          "key usage excludes it)" % name)
        now = datetime.datetime.utcnow()
        if not certificate.not_valid_before <= now <= certificate.not_valid_after:
            raise Refused("the certificate of %s is valid only from %s to %s UTC" % (
                name, certificate.not_valid_before, certificate.not_valid_after))

    def sign(self, source, target):
        """Writes `source` signed (SHA-256) to `target`, replacing a signature it had, and
        checks that what was written carries this certificate's valid signature."""
        result = subprocess.run(
            [self.tool, "sign", *self.arguments, "-h", "sha256", "-in", source, "-out", target],
            input=self.password, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if result.returncode != 0:
            if os.path.exists(target):
                os.remove(target)
            # Its own words, without OpenSSL's error stack.
            said = [line.strip() for line in result.stderr.decode(errors="replace").splitlines()
                    if line.strip() not in ("", "Failed") and ":error:" not in line]
            raise Refused("osslsigncode could not sign %s: %s"
                          % (source, "; ".join(said) or "exit code %d" % result.returncode))
        with open(target, "rb") as f:
            signed_by = signer_of(f.read())
        if signed_by != self.certificate:
            raise Refused("the signature written to %s does not verify" % target)


def read(path, what):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Refused("cannot read %s %s: %s" % (what, path, e.strerror))


def can_sign_code(certificate):
    """False when the certificate's key usage or extended key usage rules out signing
    code; absent extensions allow it."""
    try:
        usage = certificate.extensions.get_extension_for_class(x509.KeyUsage).value
        if not usage.digital_signature:
            return False
    except x509.ExtensionNotFound:
        pass
    try:
        purposes = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return True
    return bool({x509.oid.ExtendedKeyUsageOID.CODE_SIGNING,
                 x509.oid.ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE} & set(purposes))


# Reading signatures ----------------------------------------------------------------------


def der_item(data, begin, end):
    """(tag, begin, content, end) of the DER item at data[begin:end]."""
    if end - begin < 2 or data[begin] & 0x1F == 0x1F:
        raise BadSignature("damaged signature")
    length, content = data[begin + 1], begin + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or content + count > end:
            raise BadSignature("damaged signature")
        length = int.from_bytes(data[content:content + count], "big")
        content += count
    if content + length > end:
        raise BadSignature("damaged signature")
    return data[begin], begin, content, content + length


def inside(data, item):
    """The items within a constructed item."""
    items, begin = [], item[2]
    while begin < item[3]:
        items.append(der_item(data, begin, item[3]))
        begin = items[-1][3]
    return items


def pe_parts(data):
    """The bytes the Authenticode digest covers, and the signature blob; (None, None)
    for a file that carries none, or is no program image and so cannot carry one."""
    def number(offset, size):
        return int.from_bytes(data[offset:offset + size], "little")

    header = number(0x3C, 4)
    optional = header + 24
    directories = optional + {0x10B: 96, 0x20B: 112}.get(number(optional, 2), 0)
    checksum, entry = optional + 64, directories + 4 * 8  # the certificate table's entry
    if (data[:2] != b"MZ" or data[header:header + 4] != b"PE\0\0" or directories == optional
            or number(directories - 4, 4) < 5 or entry + 8 > len(data)):
        return None, None
    offset, size = number(entry, 4), number(entry + 4, 4)
    if size == 0:
        return None, None
    if offset + size > len(data) or size < 8:
        raise BadSignature("damaged signature")
    covered = data[:checksum] + data[checksum + 4:entry] + data[entry + 8:offset]
    return covered, data[offset + 8:offset + size]


def signer_of(data):
    """The certificate whose valid Authenticode signature the program image `data`
    carries; None when it carries none. Raises BadSignature when a signature is there
    but does not hold: the file changed after signing, or the signature is damaged."""
    covered, blob = pe_parts(data)
    if blob is None:
        return None
    try:
        return check_signed_data(covered, blob)
    except (IndexError, KeyError, ValueError, StopIteration):
        raise BadSignature("damaged signature")


def check_signed_data(covered, blob):
    content_info = der_item(blob, 0, len(blob))  # zero padding may follow
    kind, explicit = inside(blob, content_info)[:2]
    if blob[kind[2]:kind[3]] != SIGNED_DATA:
        raise BadSignature("damaged signature")
    fields = inside(blob, inside(blob, explicit)[0])
    # SpcIndirectDataContent: what was signed, ending in the file's digest.
    indirect = inside(blob, inside(blob, fields[2])[1])[0]
    algorithm, digest = inside(blob, inside(blob, indirect)[1])
    file_hash = DIGESTS[blob_of(blob, inside(blob, algorithm)[0])]
    if hash_of(file_hash, covered) != blob_of(blob, digest):
        raise BadSignature("changed after signing")
    certificates = [x509.load_der_x509_certificate(blob[item[1]:item[3]])
                    for field in fields if field[0] == 0xA0 for item in inside(blob, field)]
    signer_info = inside(blob, fields[-1])[0]
    _, issuer_serial, algorithm, attributes, _, signature = inside(blob, signer_info)[:6]
    if attributes[0] != 0xA0:  # Authenticode always signs attributes
        raise BadSignature("damaged signature")
    issuer, serial = inside(blob, issuer_serial)
    signer = next(c for c in certificates if c.serial_number == int.from_bytes(
        blob_of(blob, serial), "big", signed=True) and c.issuer.public_bytes() ==
        blob[issuer[1]:issuer[3]])
    # The signed attributes hold the digest of the indirect data's contents, and the
    # signature covers them encoded as a SET.
    attribute_hash = DIGESTS[blob_of(blob, inside(blob, algorithm)[0])]
    signed_digest = next(
        blob_of(blob, inside(blob, inside(blob, attribute)[1])[0])
        for attribute in inside(blob, attributes)
        if blob_of(blob, inside(blob, attribute)[0]) == MESSAGE_DIGEST)
    if hash_of(attribute_hash, blob[indirect[2]:indirect[3]]) != signed_digest:
        raise BadSignature("changed after signing")
    signed = b"\x31" + blob[attributes[1] + 1:attributes[3]]
    key = signer.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(blob_of(blob, signature), signed, padding.PKCS1v15(), attribute_hash())
        else:
            key.verify(blob_of(blob, signature), signed, ec.ECDSA(attribute_hash()))
    except InvalidSignature:
        raise BadSignature("changed after signing")
    return signer


def blob_of(blob, item):
    return blob[item[2]:item[3]]


def hash_of(algorithm, data):
    digest = hashes.Hash(algorithm())
    digest.update(data)
    return digest.finalize()
