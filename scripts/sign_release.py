#!/usr/bin/env python3
"""The publisher's release signing (Debian's python3-cryptography).

  sign_release.py new-key DIR
      writes DIR/release_key.pem (the private key, mode 0600) and DIR/release_key.pub.pem
      (the public key to build with: KEL_RELEASE_KEYS), prints the key id; never replaces
      an existing key.
  sign_release.py sign --key K [--key K2] --data DATA.json --expires-days N
      prints the metadata envelope of "/v3/installer/latest" for the release "data" object
      in DATA.json, signed by each key K (ECDSA P-256, SHA-256) and valid for N days.

The envelope keeps "data" as it is and adds "signed", the Base64 of the UTF-8 JSON of every
field of "data" plus "expiresAt" (whole seconds since 1970, UTC), and "signatures", one
{"keyid": lower-case hex SHA-256 of the DER SubjectPublicKeyInfo, "sig": Base64 of r||s}
per key over the decoded "signed" bytes.
"""

import argparse
import base64
import hashlib
import json
import os
import sys
import time

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

PRIVATE_NAME = "release_key.pem"
PUBLIC_NAME = "release_key.pub.pem"


def key_id(public_key):
    der = public_key.public_bytes(serialization.Encoding.DER,
                                  serialization.PublicFormat.SubjectPublicKeyInfo)
    return hashlib.sha256(der).hexdigest()


def new_key(directory):
    """Makes a key pair in directory; returns its key id. Refuses to replace a key."""
    os.makedirs(directory, exist_ok=True)
    private_path = os.path.join(directory, PRIVATE_NAME)
    public_path = os.path.join(directory, PUBLIC_NAME)
    if os.path.exists(private_path) or os.path.exists(public_path):
        raise FileExistsError("a release key already exists in " + directory)
    key = ec.generate_private_key(ec.SECP256R1())
    private_pem = key.private_bytes(serialization.Encoding.PEM,
                                    serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption())
    # Created with its final mode: the private key is never readable by others, not even
    # for a moment.
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as stream:
        stream.write(private_pem)
    os.chmod(private_path, 0o600)
    with open(public_path, "wb") as stream:
        stream.write(key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return key_id(key.public_key())


def load_private_key(path):
    with open(path, "rb") as stream:
        key = serialization.load_pem_private_key(stream.read(), password=None)
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise ValueError(path + " is not an ECDSA P-256 private key")
    return key


def signature_of(key, message):
    """Base64 of the 64-byte r||s signature of message."""
    r, s = decode_dss_signature(key.sign(message, ec.ECDSA(hashes.SHA256())))
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")).decode("ascii")


def envelope(data, keys, expires_at):
    """The signed envelope for the data object, signed by each private key."""
    if not isinstance(data, dict):
        raise ValueError("the release data must be a JSON object")
    signed = dict(data)
    signed["expiresAt"] = int(expires_at)
    message = json.dumps(signed, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    return {
        "code": 0,
        "msg": "success",
        "data": data,
        "signed": base64.b64encode(message).decode("ascii"),
        "signatures": [{"keyid": key_id(key.public_key()), "sig": signature_of(key, message)}
                       for key in keys],
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description="Sign plugin-center releases.")
    commands = parser.add_subparsers(dest="command", required=True)
    make = commands.add_parser("new-key", help="make a release key pair in DIR")
    make.add_argument("directory")
    sign = commands.add_parser("sign", help="print the signed metadata envelope")
    sign.add_argument("--key", action="append", required=True, help="private key (PEM)")
    sign.add_argument("--data", required=True, help="the release data object (JSON)")
    sign.add_argument("--expires-days", type=float, required=True)
    args = parser.parse_args(argv)
    try:
        if args.command == "new-key":
            print("release key %s in %s" % (new_key(args.directory), args.directory))
            return 0
        keys = [load_private_key(path) for path in args.key]
        with open(args.data, "r", encoding="utf-8") as stream:
            data = json.load(stream)
        expires_at = time.time() + args.expires_days * 86400
        json.dump(envelope(data, keys, expires_at), sys.stdout, ensure_ascii=False, indent=2)
        sys.stdout.write("\n")
        return 0
    except (OSError, ValueError) as problem:
        print("sign_release: %s" % problem, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
