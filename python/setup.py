"""Puts libklpassword into the package, building it only when no usable copy is found.

Where the library comes from, first match wins:

1. KLPASSWORD_PREBUILT_LIBRARY: an already built libklpassword.so, copied into the package.
2. KLPASSWORD_BUILD_DIR: a CMake build folder of the library; its libklpassword.so is copied.
3. KLPASSWORD_USE_INSTALLED=1: the installed library, found through pkg-config's klpassword-c
   (PKG_CONFIG_PATH for a prefix); the package carries no library and records its path in
   klpassword/_installed.py (KLPASSWORD_INSTALLED_LIBRARY records another name instead, such
   as the bare soname for a system-wide package that the loader finds itself).
4. A library built beside this folder: the newest build/*/libklpassword.so of the repository
   that is a plain native build (no sanitizers, no cross build) and exports every function
   the package calls, so that a stale build is passed over rather than failing at import.
5. An installed library that pkg-config or CMake (CMAKE_PREFIX_PATH) finds, as in 3.
6. Otherwise the library is built with CMake from the repository around this folder
   (KLPASSWORD_CMAKE_ARGS adds configure arguments), which takes minutes: said so at the
   start, with the build's progress, on the terminal (pip keeps a build's own output until
   it ends) or else on standard error.

KLPASSWORD_NO_SEARCH=1 skips 4 and 5.
"""

import ctypes
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
from typing import Optional

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def say(message: str) -> None:
    """A line for the person installing: on the terminal when there is one, as pip shows a
    build's output only at its end; on standard error as well."""
    line = f"klpassword: {message}\n"
    sys.stderr.write(line)
    sys.stderr.flush()
    try:
        with open("/dev/tty", "w", encoding="utf-8") as tty:
            tty.write(line)
    except OSError:
        pass


def needed_functions() -> list[str]:
    """The C functions the package binds, read from its ctypes table."""
    with open(os.path.join(HERE, "klpassword", "_lib.py"), encoding="utf-8") as source:
        return re.findall(r'^\s*"(klp_\w+)": \(', source.read(), re.MULTILINE)


def usable(library: str) -> Optional[str]:
    """Why library cannot serve the package, or None when it can: it loads here and exports every
    function the package calls (a sanitizer build does not load into a plain interpreter)."""
    try:
        lib = ctypes.CDLL(os.path.realpath(library))
    except OSError as e:
        return f"does not load ({e})"
    missing = [name for name in needed_functions() if not hasattr(lib, name)]
    return f"lacks {', '.join(missing[:3])}{' ...' if len(missing) > 3 else ''}" if missing else None


def cache_says(build_dir: str, setting: str) -> bool:
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8", errors="replace") as cache:
            return any(re.match(rf"{setting}:\w+=(ON|1|TRUE)$", line.strip(), re.IGNORECASE) for line in cache)
    except OSError:
        return False


def built_beside() -> Optional[str]:
    """The newest usable library of the repository's own build folders."""
    found = []
    for library in glob.glob(os.path.join(ROOT, "build", "*", "libklpassword.so")):
        folder = os.path.dirname(library)
        if cache_says(folder, "KL_SANITIZE") or cache_says(folder, "CMAKE_CROSSCOMPILING"):
            continue
        found.append((os.path.getmtime(os.path.realpath(library)), library))
    for _, library in sorted(found, reverse=True):
        why = usable(library)
        if why is None:
            return library
        say(f"passing over {library}: it {why}")
    return None


def installed_library(required: bool) -> Optional[str]:
    """The installed library's path (its soname in pkg-config's libdir, or a CMake prefix's lib
    folder), checked to exist and to be usable; None when none is found and none is required."""
    named = os.environ.get("KLPASSWORD_INSTALLED_LIBRARY")
    if named:
        return named

    def variable(*args: str) -> str:
        return subprocess.check_output(["pkg-config", *args, "klpassword-c"], text=True,
                                       stderr=subprocess.DEVNULL).strip()

    candidates = []
    try:
        libdir, version = variable("--variable=libdir"), variable("--modversion")
        candidates.append(os.path.normpath(os.path.join(libdir, "libklpassword.so." + version.split(".")[0])))
    except (OSError, subprocess.CalledProcessError):
        if required:
            raise RuntimeError("pkg-config finds no klpassword-c: install the library or set PKG_CONFIG_PATH")
    for prefix in filter(None, os.environ.get("CMAKE_PREFIX_PATH", "").split(os.pathsep)):
        for libdir in ("lib", "lib64", os.path.join("lib", "x86_64-linux-gnu")):
            if os.path.isfile(os.path.join(prefix, libdir, "cmake", "KLPassword", "KLPasswordConfig.cmake")):
                candidates += sorted(glob.glob(os.path.join(prefix, libdir, "libklpassword.so.*")))
    for library in candidates:
        if os.path.isfile(library) and usable(library) is None:
            return library
    if required:
        raise RuntimeError(f"the installed library ({', '.join(candidates)}) is missing or unusable")
    return None


def build_library(build_dir: str) -> str:
    if not os.path.isfile(os.path.join(ROOT, "capi", "klpassword.h")):
        raise RuntimeError(f"the library's sources are not at {ROOT}; set KLPASSWORD_PREBUILT_LIBRARY, "
                           "KLPASSWORD_BUILD_DIR or install the library")
    say("no built or installed libklpassword found: building it with CMake in "
        f"{build_dir}; this takes several minutes (set KLPASSWORD_BUILD_DIR to a build folder to skip it)")
    args = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DKL_BUILD_TESTS=OFF",
            "-DKL_BUILD_EXAMPLES=OFF", "-DKL_BUILD_BENCH=OFF", "-DKL_SANITIZE=OFF"]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    if shutil.which("ccache"):
        args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    args += shlex.split(os.environ.get("KLPASSWORD_CMAKE_ARGS", ""))
    subprocess.check_call(args, stdout=subprocess.DEVNULL)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    build = subprocess.Popen(["cmake", "--build", build_dir, "--target", "klpassword", "-j", jobs],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert build.stdout is not None
    for line in build.stdout:  # ninja's "[12/250] Building ..." lines are the progress
        match = re.match(r"\[(\d+)/(\d+)\]", line)
        if match:
            say(f"building the library: step {match.group(1)} of {match.group(2)}")
        else:
            sys.stderr.write(line)
    if build.wait() != 0:
        raise RuntimeError("the library's build failed (see above)")
    say("the library is built")
    return os.path.join(build_dir, "libklpassword.so")


def source_library() -> tuple[str, bool]:
    """The library for the package and whether the package carries a copy of it (else it records
    the path of an installed one)."""
    prebuilt = os.environ.get("KLPASSWORD_PREBUILT_LIBRARY")
    if prebuilt:
        return prebuilt, True
    folder = os.environ.get("KLPASSWORD_BUILD_DIR")
    if folder:
        library = os.path.join(folder, "libklpassword.so")
        why = usable(library) if os.path.exists(library) else "does not exist"
        if why:
            raise RuntimeError(f"KLPASSWORD_BUILD_DIR: {library} {why}")
        return library, True
    if os.environ.get("KLPASSWORD_USE_INSTALLED") == "1":
        return str(installed_library(required=True)), False
    if os.environ.get("KLPASSWORD_NO_SEARCH") != "1":
        library = built_beside()
        if library:
            say(f"using the library built at {library}")
            return library, True
        library = installed_library(required=False)
        if library:
            say(f"using the installed library {library}")
            return library, False
    return build_library(os.environ.get("KLPASSWORD_CMAKE_BUILD_DIR", os.path.join(HERE, "build", "cmake"))), True


_chosen: Optional[tuple[str, bool]] = None


def chosen() -> tuple[str, bool]:
    """source_library's answer, looked for once per setup run (the wheel's tag asks too)."""
    global _chosen
    if _chosen is None:
        _chosen = source_library()
    return _chosen


class BuildWithLibrary(build_py):
    def run(self) -> None:
        library, carried = chosen()
        super().run()
        if not carried:
            target = os.path.join(self.build_lib, "klpassword", "_installed.py")
            with open(target, "w", encoding="utf-8") as out:
                out.write(f'"""Written at build time: the installed library this package loads."""\n\nLIBRARY = {library!r}\n')
            return
        target = os.path.join(self.build_lib, "klpassword", "libklpassword.so")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.realpath(library), target)


class BinaryDistribution(Distribution):
    def has_ext_modules(self) -> bool:  # a wheel that carries a shared library is tagged for this platform
        return os.environ.get("KLPASSWORD_USE_INSTALLED") != "1" and chosen()[1]


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
