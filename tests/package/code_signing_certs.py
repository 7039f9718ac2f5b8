#!/usr/bin/python3
"""Throwaway code-signing certificates (RSA: Wine checks no other
Authenticode signature) for the tests.

  code_signing_certs.py FOLDER [NAME [key]]
      makes FOLDER/NAME.pem and NAME-key.pem (NAME "publisher" by default) unless they
      are there, and prints the certificate's SHA-256, or with "key" its public key's
"""
import datetime
import hashlib
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def make(folder, name="publisher", usage=ExtendedKeyUsageOID.CODE_SIGNING, days=(-1, 3650),
         issuer=None, key_path=None):
    """FOLDER/NAME.pem and FOLDER/NAME-key.pem, valid from and to the given days from now,
    issued by the certificate and key at the paths `issuer` or else by itself, for the
    key at `key_path` (a renewal) or else a new one; returns their paths."""
    if key_path:
        with open(key_path, "rb") as k:
            key = serialization.load_pem_private_key(k.read(), None)
    else:
        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Test publisher " + name)])
    issuer_name, issuer_key = subject, key
    if issuer:
        with open(issuer[0], "rb") as c, open(issuer[1], "rb") as k:
            issuer_name = x509.load_pem_x509_certificate(c.read()).subject
            issuer_key = serialization.load_pem_private_key(k.read(), None)
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name)
        .public_key(key.public_key()).serial_number(x509.random_serial_number())
        .not_valid_before(now + datetime.timedelta(days=days[0]))
        .not_valid_after(now + datetime.timedelta(days=days[1]))
        .add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
        .sign(issuer_key, hashes.SHA256()))
    os.makedirs(folder, exist_ok=True)
    cert_path = os.path.join(folder, name + ".pem")
    key_path = os.path.join(folder, name + "-key.pem")
    with open(cert_path, "wb") as f:
        f.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return cert_path, key_path


def load(cert_path):
    with open(cert_path, "rb") as f:
        return x509.load_pem_x509_certificate(f.read())


def pin(cert_path):
    """The SHA-256 of the certificate's DER form, as the program is built to trust it."""
    return hashlib.sha256(load(cert_path).public_bytes(serialization.Encoding.DER)).hexdigest()


def key_pin(cert_path):
    """The SHA-256 of the certificate's public key (SubjectPublicKeyInfo, DER)."""
    return hashlib.sha256(load(cert_path).public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)).hexdigest()


if __name__ == "__main__":
    folder = sys.argv[1]
    name = sys.argv[2] if len(sys.argv) > 2 else "publisher"
    cert_path = os.path.join(folder, name + ".pem")
    if not os.path.exists(cert_path):
        cert_path = make(folder, name)[0]
    print(key_pin(cert_path) if sys.argv[3:] == ["key"] else pin(cert_path))
