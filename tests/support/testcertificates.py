#!/usr/bin/python3
"""Certificates for the test FTP servers, made once per folder: a test
authority and, signed by it, a sound certificate for 127.0.0.1, an expired
one and one for another host; and a self-signed one, as on a publisher's own
server. Each lies in the folder as <kind>.pem and <kind>.key; the authority
as authority.pem.
"""

import datetime
import os

from OpenSSL import crypto

KINDS = ("sound", "expired", "wrong-host", "self-signed")


def _key():
    key = crypto.PKey()
    key.generate_key(crypto.TYPE_RSA, 2048)
    return key


def _certificate(subject_key, name, alt_name, issuer, issuer_key, not_before, not_after,
                 authority=False):
    certificate = crypto.X509()
    certificate.set_version(2)
    certificate.set_serial_number(int.from_bytes(os.urandom(8), "big"))
    certificate.get_subject().CN = name
    certificate.set_issuer(issuer.get_subject() if issuer else certificate.get_subject())
    certificate.set_pubkey(subject_key)
    stamp = "%Y%m%d%H%M%SZ"
    certificate.set_notBefore(not_before.strftime(stamp).encode())
    certificate.set_notAfter(not_after.strftime(stamp).encode())
    extensions = [crypto.X509Extension(b"basicConstraints", True,
                                       b"CA:TRUE" if authority else b"CA:FALSE")]
    if alt_name:
        extensions.append(crypto.X509Extension(b"subjectAltName", False, alt_name))
    certificate.add_extensions(extensions)
    certificate.sign(issuer_key, "sha256")
    return certificate


def _write(folder, kind, certificate, key):
    with open(os.path.join(folder, kind + ".pem"), "wb") as out:
        out.write(crypto.dump_certificate(crypto.FILETYPE_PEM, certificate))
    if key is not None:
        with open(os.path.join(folder, kind + ".key"), "wb") as out:
            out.write(crypto.dump_privatekey(crypto.FILETYPE_PEM, key))


def make(folder):
    """Makes the certificates in folder unless they are there already."""
    if all(os.path.exists(os.path.join(folder, kind + ".pem")) for kind in KINDS):
        return
    os.makedirs(folder, exist_ok=True)
    now = datetime.datetime.utcnow()
    day = datetime.timedelta(days=1)
    authority_key = _key()
    authority = _certificate(authority_key, "Velmora test authority", None, None, authority_key,
                             now - day, now + 3650 * day, authority=True)
    _write(folder, "authority", authority, None)
    made = {
        "sound": ("127.0.0.1", b"IP:127.0.0.1", authority, now - day, now + 3650 * day),
        "expired": ("127.0.0.1", b"IP:127.0.0.1", authority, now - 30 * day, now - day),
        "wrong-host": ("update.example", b"DNS:update.example", authority, now - day,
                       now + 3650 * day),
        "self-signed": ("127.0.0.1", b"IP:127.0.0.1", None, now - day, now + 3650 * day),
    }
    for kind, (name, alt, issuer, begin, end) in made.items():
        key = _key()
        signer_key = authority_key if issuer else key
        _write(folder, kind, _certificate(key, name, alt, issuer, signer_key, begin, end), key)


if __name__ == "__main__":
    import sys
    if len(sys.argv) != 2 or sys.argv[1].startswith("-"):
        sys.exit("usage: testcertificates.py FOLDER")
    make(sys.argv[1])
