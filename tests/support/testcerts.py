"""Certificates for the HTTPS tests. The test CA is made once in the build
folder and trusted only in the build's Wine prefix (by tests/root_cert.exe)."""
import datetime
import os
import subprocess

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID


def certificate(name, issuer=None, days=(-1, 30)):
    """(certificate, key) for the host `name`, issued by `issuer` (such a pair); without one, a CA."""
    key = ec.generate_private_key(ec.SECP256R1())
    now, day = datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(days=1)
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    builder = (x509.CertificateBuilder().subject_name(subject).public_key(key.public_key())
               .issuer_name(issuer[0].subject if issuer else subject).serial_number(x509.random_serial_number())
               .not_valid_before(now + days[0] * day).not_valid_after(now + days[1] * day)
               .add_extension(x509.BasicConstraints(ca=not issuer, path_length=None), critical=True))
    if issuer:
        builder = builder.add_extension(x509.SubjectAlternativeName([x509.DNSName(name)]), critical=False)
    # Wine's certificate check refuses an ECDSA signature whose r or s is
    # shorter than 32 bytes (about 1 signature in 128), so such a one is
    # made again: the test is about trust, not that flaw.
    while True:
        cert = builder.sign(issuer[1] if issuer else key, hashes.SHA256())
        if min(decode_dss_signature(cert.signature)) >= 1 << 248:
            return cert, key


def pem(pair):
    return pair[0].public_bytes(serialization.Encoding.PEM) + pair[1].private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())


def trusted_ca(build):
    path = os.path.join(build, "tests", "test-ca.pem")
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(pem(certificate("Launcher Test CA")))
    with open(path, "rb") as f:
        data = f.read()
    ca = x509.load_pem_x509_certificate(data), serialization.load_pem_private_key(data, None)
    with open(path + ".der", "wb") as f:
        f.write(ca[0].public_bytes(serialization.Encoding.DER))
    subprocess.run([os.path.join(build, "wine-run.sh"), os.path.join(build, "tests", "root_cert.exe"),
                    path + ".der"], check=True, capture_output=True, timeout=120)
    return ca
