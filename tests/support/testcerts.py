"""Certificates for the HTTPS tests, made with python3-cryptography.

The test CA lives in BUILD/tests/tls (made on first use) and is added to the
ROOT store of the build's Wine prefix only, by the root_cert test program.
"""
import datetime
import os
import subprocess

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

DAY = datetime.timedelta(days=1)


def _pem(cert, key):
    return cert.public_bytes(serialization.Encoding.PEM) + key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())


def _issue(subject, key, issuer, issuer_key, ca, names=(), days=(-1, 30)):
    now = datetime.datetime.now(datetime.timezone.utc)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)])
    builder = (x509.CertificateBuilder().subject_name(name).issuer_name(issuer or name)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now + days[0] * DAY).not_valid_after(now + days[1] * DAY)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if names:
        builder = builder.add_extension(x509.SubjectAlternativeName([x509.DNSName(n) for n in names]),
                                        critical=False)
    return builder.sign(issuer_key or key, hashes.SHA256())


def make_ca(common_name):
    key = ec.generate_private_key(ec.SECP256R1())
    return _issue(common_name, key, None, None, ca=True), key


def server_pem(ca, name, days=(-1, 30)):
    """Certificate for `name` issued by ca (a make_ca result), then its key, as PEM."""
    key = ec.generate_private_key(ec.SECP256R1())
    return _pem(_issue(name, key, ca[0].subject, ca[1], ca=False, names=[name], days=days), key)


def trusted_ca(build, wine_run):
    """The test CA, made once in the build folder and added to the prefix's ROOT store."""
    folder = os.path.join(build, "tests", "tls")
    path = os.path.join(folder, "ca.pem")
    if not os.path.exists(path):
        os.makedirs(folder, exist_ok=True)
        with open(path, "wb") as f:
            f.write(_pem(*make_ca("Launcher Test CA")))
    with open(path, "rb") as f:
        data = f.read()
    ca = (x509.load_pem_x509_certificate(data), serialization.load_pem_private_key(data, None))
    der = os.path.join(folder, "ca.der")
    with open(der, "wb") as f:
        f.write(ca[0].public_bytes(serialization.Encoding.DER))
    subprocess.run([wine_run, os.path.join(build, "tests", "root_cert.exe"), der], check=True,
                   capture_output=True, timeout=120)
    return ca
