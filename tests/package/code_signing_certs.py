#!/usr/bin/python3
"""Throwaway code-signing certificates (RSA: Wine checks no other
Authenticode signature) for the tests.

  code_signing_certs.py FOLDER   makes FOLDER/publisher.pem and publisher-key.pem unless
                                 they are there, and prints the certificate's SHA-256
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
         issuer=None):
    """FOLDER/NAME.pem and FOLDER/NAME-key.pem, valid from and to the given days from now,
    issued by the certificate and key at the paths `issuer` or else by itself; returns
    their paths."""
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


def pin(cert_path):
    """The SHA-256 of the certificate's DER form, as the program is built to trust it."""
    with open(cert_path, "rb") as f:
        certificate = x509.load_pem_x509_certificate(f.read())
    return hashlib.sha256(certificate.public_bytes(serialization.Encoding.DER)).hexdigest()


if __name__ == "__main__":
    folder = sys.argv[1]
    cert_path = os.path.join(folder, "publisher.pem")
    if not os.path.exists(cert_path):
        cert_path = make(folder)[0]
    print(pin(cert_path))
