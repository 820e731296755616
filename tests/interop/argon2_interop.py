#!/usr/bin/env python3
"""Password hash strings cross between the library and the Argon2 reference
implementation (python3-argon2, and the argon2 command when installed): the
library's strings verify there, and strings made there, with one or several
lanes and various costs, salts and tag sizes, verify in the library.
Usage: argon2_interop.py PASSWORD_HASH_TOOL. Exits 77 (skipped) without argon2."""
import shutil
import subprocess
import sys

try:
    from argon2 import PasswordHasher, exceptions, low_level
except ImportError:
    print("python3-argon2 is not installed: skipped")
    sys.exit(77)

TOOL = sys.argv[1]
PASSWORD = "p\u00e4ss w\u00f6rd \U0001F511"
failures = []


def tool(*args, password=PASSWORD):
    return subprocess.run([TOOL, *args], input=(password + "\n").encode(), capture_output=True)


def check(condition, what):
    if not condition:
        failures.append(what)


# The library's strings, verified by the reference implementation.
for memory, passes in ((8, 1), (1024, 2), (4096, 3)):
    made = tool("hash", str(memory), str(passes))
    check(made.returncode == 0, f"hash m={memory} t={passes}: {made.stderr!r}")
    encoded = made.stdout.decode().strip()
    check(PasswordHasher().verify(encoded, PASSWORD), f"reference rejects {encoded}")
    try:
        PasswordHasher().verify(encoded, PASSWORD + "x")
        failures.append(f"reference accepts a wrong password for {encoded}")
    except exceptions.VerifyMismatchError:
        pass

# The reference implementation's strings, verified by the library.
made_there = []
for lanes, memory, passes, salt_size, tag_size in ((1, 64, 1, 16, 32), (4, 1024, 2, 16, 32), (4, 4096, 3, 8, 16),
                                                    (8, 256, 1, 32, 64), (2, 2048, 4, 12, 24)):
    made_there.append(low_level.hash_secret(PASSWORD.encode(), b"s" * salt_size, time_cost=passes, memory_cost=memory,
                                            parallelism=lanes, hash_len=tag_size,
                                            type=low_level.Type.ID).decode())
if shutil.which("argon2"):
    for lanes in (1, 4):
        run = subprocess.run(["argon2", "somesaltsomesalt", "-id", "-t", "2", "-k", "512", "-p", str(lanes), "-e"],
                             input=PASSWORD.encode(), capture_output=True)
        made_there.append(run.stdout.decode().strip())
for encoded in made_there:
    check(tool("verify", encoded).returncode == 0, f"library rejects {encoded}")
    check(tool("verify", encoded, password=PASSWORD + "x").returncode == 1, f"library accepts a wrong password for {encoded}")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(made_there)} foreign strings and 3 own strings checked")
sys.exit(1 if failures else 0)
