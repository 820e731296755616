"""Builds libklpassword with CMake from the repository around this folder and puts it in the package.

KLPASSWORD_PREBUILT_LIBRARY names an already built libklpassword.so to copy instead;
KLPASSWORD_CMAKE_ARGS adds arguments to the CMake configure step.
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


class BuildWithLibrary(build_py):
    def run(self) -> None:
        library = build_library(os.environ.get("KLPASSWORD_CMAKE_BUILD_DIR", os.path.join(HERE, "build", "cmake")))
        super().run()
        target = os.path.join(self.build_lib, "klpassword", "libklpassword.so")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.realpath(library), target)


class BinaryDistribution(Distribution):
    def has_ext_modules(self) -> bool:  # the wheel carries a shared library: tag it for this platform
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
