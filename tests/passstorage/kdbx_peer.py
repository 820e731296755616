#!/usr/bin/python3
"""The pykeepass side of the KDBX interoperability tests.

make PATH PASSWORD KEYFILE KDF CIPHER  writes a database with the sample entries
                                       (KEYFILE "-" for none, KDF argon2d|argon2id,
                                       CIPHER aes256|chacha20), at a small KDF cost
dump PATH PASSWORD KEYFILE             prints every entry as one JSON line each,
                                       sorted by title
"""
import base64
import datetime
import json
import os
import sys

from pykeepass import PyKeePass, create_database

ARGON2ID = bytes.fromhex("9e298b1956db4773b23dfc3ec6f0a1e6")
EXPIRY = datetime.datetime(2031, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)


def make(path, password, keyfile, kdf, cipher):
    db = create_database(path, password=password or None, keyfile=None if keyfile == "-" else keyfile)
    params = db.kdbx.header.value.dynamic_header.kdf_parameters.data.dict
    params.M.value = 1024 * 1024
    params.I.value = 2
    if kdf == "argon2id":
        params["$UUID"].value = ARGON2ID
    db.kdbx.header.value.dynamic_header.cipher_id.data = cipher
    if cipher == "chacha20":
        db.kdbx.header.value.dynamic_header.encryption_iv.data = os.urandom(12)
    del db.kdbx.header["data"]  # the header is built again from the values above
    internet = db.add_group(db.root_group, "Internet")
    mail = db.add_group(internet, "Mail ✉")
    e = db.add_entry(mail, "Post 𝄞 box", "ålice", "pä𝄞ss\"<&>", url="https://mail.example/ü",
                     notes="line one\nline two\n\tindented", tags=["work", "mail"])
    e.otp = "otpauth://totp/Example:alice?secret=JBSWY3DPEHPK3PXP&issuer=Example"
    e.set_custom_property("Recovery", "code 1234")
    e.set_custom_property("KPEX_PASSKEY_USERNAME", "alice@example")
    e.expiry_time = EXPIRY
    e.expires = True
    blob = bytes(range(256)) * 3
    e.add_attachment(db.add_binary(blob), "data.bin")
    db.add_entry(db.root_group, "Root entry", "bob", "hunter2")
    db.save()


def entry_json(e):
    path = [g for g in e.group.path] if e.group.path else []
    strings = {}
    for s in e._element.findall("String"):
        strings[s.find("Key").text] = s.find("Value").text or ""
    return {
        "group": "/".join(path),
        "uuid": base64.b64encode(e.uuid.bytes).decode(),
        "strings": strings,
        "tags": sorted(e.tags or []),
        "expires": bool(e.expires),
        "expiry": int(e.expiry_time.timestamp()) if e.expires else 0,
        "ctime": int(e.ctime.timestamp()),
        "mtime": int(e.mtime.timestamp()),
        "attachments": {a.filename: base64.b64encode(a.binary).decode() for a in e.attachments},
    }


def dump(path, password, keyfile):
    db = PyKeePass(path, password=password or None, keyfile=None if keyfile == "-" else keyfile)
    for e in sorted(db.entries, key=lambda e: e.title or ""):
        print(json.dumps(entry_json(e), sort_keys=True, ensure_ascii=False))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(*sys.argv[2:7])
    else:
        dump(*sys.argv[2:5])
