"""Builds libklpassword with CMake from the repository around this folder and puts it in the package.

KLPASSWORD_PREBUILT_LIBRARY names an already built libklpassword.so to copy instead;
KLPASSWORD_CMAKE_ARGS adds arguments to the CMake configure step.

KLPASSWORD_USE_INSTALLED=1 builds a package that carries no library and loads the installed
one: found through pkg-config's klpassword-c (PKG_CONFIG_PATH for a prefix), its path
recorded in klpassword/_installed.py. KLPASSWORD_INSTALLED_LIBRARY records another name
instead, such as the bare soname for a system-wide package that the loader finds itself.
"""

import os
import shlex
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def build_library(build_dir: str) -> str:
    prebuilt = os.environ.get("KLPASSWORD_PREBUILT_LIBRARY")
    if prebuilt:
        return prebuilt
    if not os.path.isfile(os.path.join(ROOT, "capi", "klpassword.h")):
        raise RuntimeError(f"the library's sources are not at {ROOT}; set KLPASSWORD_PREBUILT_LIBRARY")
    args = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DKL_BUILD_TESTS=OFF",
            "-DKL_BUILD_EXAMPLES=OFF", "-DKL_BUILD_BENCH=OFF", "-DKL_SANITIZE=OFF"]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"]
    if shutil.which("ccache"):
        args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    args += shlex.split(os.environ.get("KLPASSWORD_CMAKE_ARGS", ""))
    subprocess.check_call(args)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    subprocess.check_call(["cmake", "--build", build_dir, "--target", "klpassword", "-j", jobs])
    return os.path.join(build_dir, "libklpassword.so")


def installed_library() -> str:
    """The installed library's path (its soname in pkg-config's libdir), checked to exist."""
    named = os.environ.get("KLPASSWORD_INSTALLED_LIBRARY")
    if named:
        return named

    def variable(*args: str) -> str:
        try:
            return subprocess.check_output(["pkg-config", *args, "klpassword-c"], text=True).strip()
        except (OSError, subprocess.CalledProcessError) as e:
            raise RuntimeError("pkg-config finds no klpassword-c: install the library or set PKG_CONFIG_PATH") from e

    libdir, version = variable("--variable=libdir"), variable("--modversion")
    library = os.path.normpath(os.path.join(libdir, "libklpassword.so." + version.split(".")[0]))
    if not os.path.isfile(library):
        raise RuntimeError(f"pkg-config's klpassword-c names {libdir}, which holds no {os.path.basename(library)}")
    return library


class BuildWithLibrary(build_py):
    def run(self) -> None:
        if os.environ.get("KLPASSWORD_USE_INSTALLED") == "1":
            library = installed_library()
            super().run()
            target = os.path.join(self.build_lib, "klpassword", "_installed.py")
            with open(target, "w", encoding="utf-8") as out:
                out.write(f'"""Written at build time: the installed library this package loads."""\n\nLIBRARY = {library!r}\n')
            return
        library = build_library(os.environ.get("KLPASSWORD_CMAKE_BUILD_DIR", os.path.join(HERE, "build", "cmake")))
        super().run()
        target = os.path.join(self.build_lib, "klpassword", "libklpassword.so")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.realpath(library), target)


class BinaryDistribution(Distribution):
    def has_ext_modules(self) -> bool:  # the wheel carries a shared library: tag it for this platform
        return os.environ.get("KLPASSWORD_USE_INSTALLED") != "1"


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
