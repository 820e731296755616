#!/usr/bin/env python3
"""Reads a compiled blocklist file from its description in docs/formats/blocklist.md alone and
answers, for each password given, whether its blocklist form is in the file.
Usage: blocklist_reader.py FILE PASSWORD...  (prints 'yes' or 'no' a password)."""
import hashlib
import struct
import sys

M64 = (1 << 64) - 1


def murmur_finaliser(h):
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & M64
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & M64
    return h ^ (h >> 33)


def contains(data, key):
    magic, version, bits, flags, shards, count, reserved = struct.unpack_from("<4sHHIIQQ", data, 0)
    assert (magic, version, bits, reserved) == (b"KLBF", 1, 16, 0)
    shard = (key * shards) >> 64
    seed, keys, seg_len, seg_count, length, offset = struct.unpack_from("<QIIIIQ", data, 32 + 32 * shard)
    if length == 0:
        return False
    h = murmur_finaliser((key + seed) & M64)
    h0 = (h * (seg_count * seg_len)) >> 64
    h1 = (h0 + seg_len) ^ ((h >> 18) & (seg_len - 1))
    h2 = (h0 + 2 * seg_len) ^ (h & (seg_len - 1))
    fp = lambda i: struct.unpack_from("<H", data, offset + 2 * i)[0]
    return ((h ^ (h >> 32)) & 0xFFFF) == fp(h0) ^ fp(h1) ^ fp(h2)


def main():
    data = open(sys.argv[1], "rb").read()
    for password in sys.argv[2:]:
        form = password.strip().lower()  # ASCII passwords: the blocklist form
        key = int.from_bytes(hashlib.sha1(form.encode()).digest()[:8], "big")
        print("yes" if contains(data, key) else "no")


main()
