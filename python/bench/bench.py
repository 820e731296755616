"""Times klpassword from Python against its Python peers, in one run on one machine.

  strength: klpassword.estimate against Debian's python3-zxcvbn, on the same passwords
  binding:  klpassword.Estimator.estimate against the C++ call it wraps
            (TKLStrengthEstimator::Estimate, timed by bench/StrengthPeerTimer.cpp in a child
            process that takes its turn after each Python round), English with the zxcvbn
            model and German with zxcvbn-ts; the ratio is what the binding costs
  verify:   klpassword.verify_password against argon2-cffi's PasswordHasher.verify, on the same
            hash string (Argon2id, 64 MiB, 2 passes, 1 lane; and 1 MiB, 1 pass, where the
            binding's own cost shows)
  hash:     klpassword.hash_password against argon2-cffi's PasswordHasher.hash, on the same
            parameters (64 MiB, 2 passes, 1 lane, 16-byte salt, 32-byte tag)

The two bindings rest on different C libraries (klpassword on libsodium through the C
interface, argon2-cffi on libargon2), so each verify row also times the C library each binding
calls, bare (through ctypes, one call a hash): the ratio binding / its C library is what the
binding adds, and the two bindings are compared on that as well as on the total.

The sides alternate round by round so that load on a busy machine falls on all alike; each line
gives the median processor time of the rounds and the ratio of the medians. Run with the library named by
KLPASSWORD_LIBRARY (or installed in the package):

  KLPASSWORD_LIBRARY=build/libklpassword.so /usr/bin/python3 python/bench/bench.py [rounds]

The binding rows need the C++ timer: KLPASSWORD_PEER_TIMER names it (built as
bench_StrengthPeerTimer with -DKL_BUILD_BENCH=ON), else it is looked for beside the library.
"""

import ctypes
import ctypes.util
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import klpassword  # noqa: E402

PASSWORDS = ["password", "Tr0ub4dor&3", "correct horse battery staple", "qwertyuiop123", "jennifer1987",
             "zxcvbnm,./", "P@ssw0rd!", "iloveyou2", "dragon-master-2019", "aaaaaaaaaaaaaaaa",
             "kx8#Lq2!vZ0pW9r", "the quick brown fox", "abcdef123456", "Summer2024!", "letmein",
             "monkey banana keyboard", "1q2w3e4r5t", "Gandalf-the-Grey", "hunter2", "Xk9$mPz!2026"]
SECRET = "benchmark password"


def timed(fn, repeat):
    # Processor time of this process: every side here runs on this one thread, and a busy machine
    # stretches wall time far more than it does processor time.
    start = time.process_time()
    for _ in range(repeat):
        fn()
    return (time.process_time() - start) / repeat


def medians(sides, rounds, repeat):
    """The median seconds a call of each side, the sides taking turns round by round."""
    times = [[] for _ in sides]
    for _ in range(rounds):
        for i, fn in enumerate(sides):
            times[i].append(timed(fn, repeat))
    return [statistics.median(t) for t in times]


def compare(name, peer, ours, theirs, rounds, repeat):
    a, b = medians([ours, theirs], rounds, repeat)
    print(f"{name}: klpassword {a * 1e3:.3f} ms, {peer} {b * 1e3:.3f} ms, "
          f"klpassword/{peer} {a / b:.2f} (medians of {rounds} rounds)")


def bare_verifiers(encoded):
    """Verification of encoded by libsodium and by libargon2 themselves, or None where one is missing."""
    sodium_path = ctypes.util.find_library("sodium")
    argon2_path = ctypes.util.find_library("argon2")
    if not sodium_path or not argon2_path:
        return None
    sodium = ctypes.CDLL(sodium_path)
    argon2 = ctypes.CDLL(argon2_path)
    if sodium.sodium_init() < 0:
        return None
    sodium.crypto_pwhash_str_verify.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulonglong]
    argon2.argon2id_verify.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t]
    h = encoded.encode("ascii")
    p = SECRET.encode("utf-8")
    by_sodium = lambda: sodium.crypto_pwhash_str_verify(h, p, len(p))  # noqa: E731
    by_argon2 = lambda: argon2.argon2id_verify(h, p, len(p))  # noqa: E731
    assert by_sodium() == 0 and by_argon2() == 0, "a bare library refused the right password"
    return by_sodium, by_argon2


def verify_rows(argon2, memory_kib, passes, rounds, repeat):
    encoded = klpassword.hash_password(SECRET, memory_kib=memory_kib, passes=passes)
    peer = argon2.PasswordHasher()
    assert klpassword.verify_password(encoded, SECRET) and peer.verify(encoded, SECRET)
    ours = lambda: klpassword.verify_password(encoded, SECRET)  # noqa: E731
    theirs = lambda: peer.verify(encoded, SECRET)  # noqa: E731
    label = f"verify, Argon2id {memory_kib // 1024} MiB {passes} passes 1 lane"
    bare = bare_verifiers(encoded)
    if bare is None:
        compare(label, "argon2-cffi", ours, theirs, rounds, repeat)
        return
    a, b, sa, sb = medians([ours, theirs, bare[0], bare[1]], rounds, repeat)
    print(f"{label}: klpassword {a * 1e3:.3f} ms (libsodium bare {sa * 1e3:.3f} ms, binding x{a / sa:.3f}), "
          f"argon2-cffi {b * 1e3:.3f} ms (libargon2 bare {sb * 1e3:.3f} ms, binding x{b / sb:.3f}); "
          f"klpassword/argon2-cffi {a / b:.2f}, libsodium/libargon2 {sa / sb:.2f} (medians of {rounds} rounds)")


def peer_timer():
    named = os.environ.get("KLPASSWORD_PEER_TIMER")
    if named:
        return named
    library = os.environ.get("KLPASSWORD_LIBRARY", "")
    beside = os.path.join(os.path.dirname(library), "bench", "bench_StrengthPeerTimer")
    return beside if library and os.path.exists(beside) else None


def binding_rows(rounds, repeat):
    """Python's estimate against the C++ call, the two taking turns round by round."""
    timer = peer_timer()
    if timer is None:
        print("binding: skipped (no bench_StrengthPeerTimer: set KLPASSWORD_PEER_TIMER)")
        return
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt", delete=False) as listing:
        listing.write("\n".join(PASSWORDS) + "\n")
    try:
        english = klpassword.Estimator()
        german = klpassword.Estimator(language="de")
        nist = klpassword.Policy.nist()
        nist_de = klpassword.Policy.nist().set_strength_model(language="de")
        cases = (("estimate, English, zxcvbn", "zxcvbn", None, False, english.estimate),
                 ("estimate, German, zxcvbn-ts", "zxcvbn-ts", "de", False, german.estimate),
                 ("NIST check, English, zxcvbn", "zxcvbn", None, True, nist.check),
                 ("NIST check, German, zxcvbn-ts", "zxcvbn-ts", "de", True, nist_de.check))
        for label, profile, language, check, call in cases:
            child = subprocess.Popen([timer, profile, language or "-", listing.name] + (["check"] if check else []),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            ours, theirs = [], []
            run = lambda: [call(p) for p in PASSWORDS]  # noqa: E731
            run()
            for _ in range(rounds):
                ours.append(timed(run, repeat) / len(PASSWORDS))
                child.stdin.write(f"{repeat}\n")
                child.stdin.flush()
                theirs.append(float(child.stdout.readline()))
            child.stdin.close()
            child.wait()
            a, b = statistics.median(ours), statistics.median(theirs)
            print(f"binding, {label}, 20 passwords: Python {a * 1e6:.1f} us, C++ {b * 1e6:.1f} us a password, "
                  f"Python/C++ {a / b:.2f} (medians of {rounds} rounds)")
    finally:
        os.unlink(listing.name)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    binding_rows(rounds, 20)
    if "--binding" in sys.argv:
        return
    try:
        from zxcvbn import zxcvbn
    except ImportError:
        print("strength: skipped (python3-zxcvbn is not installed)")
    else:
        compare("strength, 20 passwords", "python3-zxcvbn", lambda: [klpassword.estimate(p) for p in PASSWORDS],
                lambda: [zxcvbn(p) for p in PASSWORDS], rounds, 5)
    try:
        import argon2
    except ImportError:
        print("verify, hash: skipped (python3-argon2 is not installed)")
        return
    verify_rows(argon2, 65536, 2, rounds, 3)
    verify_rows(argon2, 1024, 1, rounds, 50)
    peer = argon2.PasswordHasher(time_cost=2, memory_cost=65536, parallelism=1, hash_len=32, salt_len=16,
                                 type=argon2.Type.ID)
    ours = klpassword.hash_password(SECRET, memory_kib=65536, passes=2)
    theirs = peer.hash(SECRET)
    # The same parameters on both sides, read back from what each wrote.
    assert ours.split("$")[3] == theirs.split("$")[3] == "m=65536,t=2,p=1", (ours, theirs)
    compare("hash, Argon2id 64 MiB 2 passes 1 lane", "argon2-cffi",
            lambda: klpassword.hash_password(SECRET, memory_kib=65536, passes=2), lambda: peer.hash(SECRET), rounds, 3)


if __name__ == "__main__":
    main()
