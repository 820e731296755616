#!/usr/bin/python3
"""Plants faults in the source tree one at a time and reports which the tests miss.

Each fault of the catalogue (tests/faults/*.txt) is a small search-and-replace
in one source file with the tests expected to catch it. For every fault the
script changes the file, rebuilds the build folder incrementally, runs those
tests through ctest, and puts the file back exactly as it was. A fault is
caught when at least one of its tests fails; it survives when they all pass.
Before any fault is planted, the tests of every selected entry run once on the
unchanged tree: a test that fails there would count every fault as caught.

Entry format (entries separated by blank lines; lines starting with '#' are
comments):

    id: storage-kdf-largest-memory-refused
    file: storage/StorageFormat.cpp
    find: Memory > kMaxKdfMemoryKiB
    replace: Memory >= kMaxKdfMemoryKiB
    tests: StorageFormat3\\.|StorageFile\\.
    why: a KDF bound off by one at its edge

`find` must occur exactly once in `file`; in `replace`, `\\n` starts a new
line (write `\\\\n` for a backslash followed by n). `tests` is a regular
expression for `ctest -R`.

A run that is interrupted leaves a note in the build folder; the next run puts
the planted file back first, so the tree is never left with a fault in it.
"""

import argparse
import dataclasses
import glob
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIELDS = ("id", "file", "find", "replace", "tests", "why")
PENDING_NOTE = ".planted-fault.json"


@dataclasses.dataclass
class Fault:
    id: str
    file: str
    find: str
    replace: str
    tests: str
    why: str
    origin: str
    targets: list = dataclasses.field(default_factory=list)


class CatalogueError(Exception):
    pass


def decode_replacement(text):
    out, i = [], 0
    while i < len(text):
        if text.startswith("\\\\n", i):
            out.append("\\n")
            i += 3
        elif text.startswith("\\n", i):
            out.append("\n")
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def parse_catalogue(path):
    faults, fields, start = [], {}, 0

    def close(line_no):
        if not fields:
            return
        missing = [f for f in FIELDS if f not in fields]
        if missing:
            raise CatalogueError(f"{path}:{start}: entry lacks {', '.join(missing)}")
        faults.append(Fault(**fields, origin=f"{os.path.relpath(path, ROOT)}:{start}"))
        fields.clear()

    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines, 1):
        if not line.strip():
            close(number)
            continue
        if line.startswith("#"):
            continue
        name, sep, value = line.partition(":")
        name = name.strip()
        if not sep or name not in FIELDS:
            raise CatalogueError(f"{path}:{number}: expected one of {', '.join(FIELDS)}, got {line!r}")
        if not fields:
            start = number
        if name in fields:
            raise CatalogueError(f"{path}:{number}: {name} given twice")
        value = value[1:] if value.startswith(" ") else value
        fields[name] = decode_replacement(value) if name == "replace" else value
    close(len(lines))
    return faults


def check_entries(faults):
    seen, problems = set(), []
    for fault in faults:
        if fault.id in seen:
            problems.append(f"{fault.origin}: id {fault.id} used twice")
        seen.add(fault.id)
        path = os.path.join(ROOT, fault.file)
        if not os.path.isfile(path):
            problems.append(f"{fault.origin}: {fault.id}: no file {fault.file}")
            continue
        with open(path, encoding="utf-8") as f:
            count = f.read().count(fault.find)
        if count != 1:
            problems.append(f"{fault.origin}: {fault.id}: 'find' occurs {count} times in {fault.file}")
        if fault.find == fault.replace:
            problems.append(f"{fault.origin}: {fault.id}: 'replace' changes nothing")
        try:
            re.compile(fault.tests)
        except re.error as error:
            problems.append(f"{fault.origin}: {fault.id}: bad tests expression: {error}")
    return problems


def restore_pending(build):
    note = os.path.join(build, PENDING_NOTE)
    if not os.path.exists(note):
        return
    with open(note, encoding="utf-8") as f:
        pending = json.load(f)
    with open(os.path.join(ROOT, pending["file"]), "w", encoding="utf-8", newline="") as f:
        f.write(pending["original"])
    os.remove(note)
    print(f"put back {pending['file']}, left planted by an interrupted run")


def run(command, log, timeout=None):
    with open(log, "a", encoding="utf-8") as out:
        out.write(f"\n$ {' '.join(command)}\n")
        out.flush()
        try:
            return subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            out.write("timed out\n")
            return -1


def targets_of(args, regex):
    """The build folder's files that the tests matching regex run (programs and
    the programs handed to scripts), as targets for an incremental build."""
    listing = subprocess.run(["ctest", "--test-dir", args.build, "-N", "-V", "-R", regex], cwd=ROOT,
                             capture_output=True, text=True).stdout
    targets = []
    for line in listing.splitlines():
        _, sep, command = line.partition("Test command:")
        if not sep:
            continue
        for word in shlex.split(command):
            if word.startswith(args.build + os.sep) and os.path.isfile(word):
                targets.append(os.path.relpath(word, args.build))
    return list(dict.fromkeys(targets))


def build(args, log, targets=()):
    command = ["cmake", "--build", args.build, "-j", str(args.jobs)]
    for target in list(targets) + args.target:
        command += ["--target", target]
    return run(command, log) == 0


def configure(args, log):
    command = ["cmake", "-S", ROOT, "-B", args.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               "-DKL_WARNINGS_AS_ERRORS=ON", "-DKL_BUILD_BENCH=OFF"]
    if shutil.which("ccache"):  # a put-back file then costs a cache look-up, not a compile
        command += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    return run(command, log) == 0


def tests_pass(args, regex, log):
    """True when every test matching regex passes; None when none matches."""
    command = ["ctest", "--test-dir", args.build, "-R", regex, "-j", str(args.jobs), "--no-tests=error",
               "--timeout", str(args.test_timeout)]
    listing = subprocess.run(["ctest", "--test-dir", args.build, "-N", "-R", regex], cwd=ROOT,
                             capture_output=True, text=True)
    if re.search(r"Total Tests: 0\b", listing.stdout):
        return None
    return run(command, log, timeout=args.test_timeout * 4) == 0


def plant(args, fault, log):
    path = os.path.join(ROOT, fault.file)
    with open(path, encoding="utf-8", newline="") as f:
        original = f.read()
    note = os.path.join(args.build, PENDING_NOTE)
    with open(note, "w", encoding="utf-8") as f:
        json.dump({"file": fault.file, "original": original}, f)
    try:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original.replace(fault.find, fault.replace, 1))
        with open(log, "a", encoding="utf-8") as out:
            out.write(f"\n==== {fault.id} ({fault.origin})\n")
        if not build(args, log, fault.targets):
            return "no-build"
        passed = tests_pass(args, fault.tests, log)
        return "caught" if passed is False else "SURVIVED"
    finally:
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(original)
        os.remove(note)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build/faults", help="configured build folder (default build/faults)")
    parser.add_argument("--catalogue", action="append", default=[], help="catalogue file (default tests/faults/*.txt)")
    parser.add_argument("--id", default="", help="only the faults whose id matches this expression")
    parser.add_argument("--target", action="append", default=[],
                        help="build this target too after each plant (repeatable); the tests' programs always are")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--test-timeout", type=int, default=600, help="seconds per test")
    parser.add_argument("--min-score", type=float, default=0, help="fail when fewer percent are caught")
    parser.add_argument("--check", action="store_true", help="check the catalogue only; plant nothing")
    args = parser.parse_args()
    args.build = os.path.abspath(os.path.join(ROOT, args.build)) if not os.path.isabs(args.build) else args.build

    paths = args.catalogue or sorted(glob.glob(os.path.join(ROOT, "tests", "faults", "*.txt")))
    try:
        faults = [fault for path in paths for fault in parse_catalogue(path)]
    except (CatalogueError, OSError) as error:
        sys.exit(f"plant-faults: {error}")
    faults = [fault for fault in faults if re.search(args.id, fault.id)]
    problems = check_entries(faults)
    if problems:
        sys.exit("plant-faults: the catalogue does not apply to this tree:\n  " + "\n  ".join(problems))
    print(f"{len(faults)} faults in {len(paths)} catalogue file(s)")
    if args.check or not faults:
        return 0

    os.makedirs(args.build, exist_ok=True)
    restore_pending(args.build)
    log = os.path.join(args.build, "plant-faults.log")
    open(log, "w").close()
    print(f"building the unchanged tree in {os.path.relpath(args.build, ROOT)} (log: plant-faults.log there)")
    if not os.path.exists(os.path.join(args.build, "CMakeCache.txt")) and not configure(args, log):
        sys.exit("plant-faults: cannot configure the build folder")
    # The whole tree first: the test lists are known only once the tests are built.
    if not build(args, log):
        sys.exit("plant-faults: the unchanged tree does not build")
    for fault in faults:
        fault.targets = targets_of(args, fault.tests)

    baseline, results = {}, []
    for regex in dict.fromkeys(fault.tests for fault in faults):
        baseline[regex] = tests_pass(args, regex, log)
    for fault in faults:
        started = time.monotonic()
        state = baseline[fault.tests]
        if state is None:
            result = "no-tests"
        elif state is False:
            result = "fails-unchanged"
        else:
            result = plant(args, fault, log)
        results.append((fault, result))
        print(f"{result:>15}  {fault.id}  ({time.monotonic() - started:.0f} s)", flush=True)
    build(args, log)  # leaves the build folder matching the tree

    caught = sum(1 for _, result in results if result == "caught")
    score = 100.0 * caught / len(results)
    print(f"\ncaught {caught} of {len(results)} planted faults ({score:.1f} %)")
    for fault, result in results:
        if result != "caught":
            print(f"  {result}: {fault.id} ({fault.origin}): {fault.why}")
    errors = sum(1 for _, result in results if result not in ("caught", "SURVIVED"))
    return 1 if errors or score < args.min_score else 0


if __name__ == "__main__":
    sys.exit(main())
