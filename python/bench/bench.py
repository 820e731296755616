"""Times klpassword from Python against its Python peers, in one run on one machine.

  strength: klpassword.estimate against Debian's python3-zxcvbn, on the same passwords
  verify:   klpassword.verify_password against argon2-cffi, on the same hash (64 MiB, 2 passes)

The two sides alternate round by round so that load on a busy machine falls on both alike;
each line gives the median of the rounds and the ratio of the medians. Run with the library
named by KLPASSWORD_LIBRARY (or installed in the package):

  KLPASSWORD_LIBRARY=build/libklpassword.so /usr/bin/python3 python/bench/bench.py [rounds]
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import klpassword  # noqa: E402

PASSWORDS = ["password", "Tr0ub4dor&3", "correct horse battery staple", "qwertyuiop123", "jennifer1987",
             "zxcvbnm,./", "P@ssw0rd!", "iloveyou2", "dragon-master-2019", "aaaaaaaaaaaaaaaa",
             "kx8#Lq2!vZ0pW9r", "the quick brown fox", "abcdef123456", "Summer2024!", "letmein",
             "monkey banana keyboard", "1q2w3e4r5t", "Gandalf-the-Grey", "hunter2", "Xk9$mPz!2026"]


def timed(fn, repeat):
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    return (time.perf_counter() - start) / repeat


def compare(name, ours, theirs, rounds, repeat, unit, scale):
    mine, other = [], []
    for _ in range(rounds):
        mine.append(timed(ours, repeat))
        other.append(timed(theirs, repeat))
    a, b = statistics.median(mine), statistics.median(other)
    print(f"{name}: klpassword {a * scale:.3f} {unit}, peer {b * scale:.3f} {unit}, "
          f"peer/klpassword {b / a:.2f}x (medians of {rounds} rounds)")


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 11
    try:
        from zxcvbn import zxcvbn
    except ImportError:
        print("strength: skipped (python3-zxcvbn is not installed)")
    else:
        compare("strength, 20 passwords", lambda: [klpassword.estimate(p) for p in PASSWORDS],
                lambda: [zxcvbn(p) for p in PASSWORDS], rounds, 5, "ms", 1e3)
    try:
        import argon2
    except ImportError:
        print("verify: skipped (python3-argon2 is not installed)")
    else:
        hashed = klpassword.hash_password("benchmark password", memory_kib=65536, passes=2)
        peer = argon2.PasswordHasher()
        assert klpassword.verify_password(hashed, "benchmark password") and peer.verify(hashed, "benchmark password")
        compare("verify, Argon2id 64 MiB 2 passes 1 lane", lambda: klpassword.verify_password(hashed, "benchmark password"),
                lambda: peer.verify(hashed, "benchmark password"), rounds, 3, "ms", 1e3)


if __name__ == "__main__":
    main()
