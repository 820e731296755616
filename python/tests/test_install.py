"""pip installs the package into a virtual environment, the library inside it, and it loads from there."""

import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def test_pip_installs_a_package_that_carries_the_library(tmp_path):
    library = os.environ.get("KLPASSWORD_LIBRARY")
    if not library:
        pytest.skip("KLPASSWORD_LIBRARY names no built library to package")
    pytest.importorskip("venv")
    pytest.importorskip("pip")
    source = tmp_path / "src"
    shutil.copytree(os.path.dirname(HERE), source, ignore=shutil.ignore_patterns("build", "*.egg-info", "tests",
                                                                                 "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "KLPASSWORD_LIBRARY"}
    env["KLPASSWORD_PREBUILT_LIBRARY"] = library  # the build step copies it instead of running CMake again
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
                    "--no-deps", str(source)], check=True, env=env, cwd=tmp_path)
    probe = ("import klpassword, klpassword._lib as l, pathlib; "
             "p = pathlib.Path(klpassword.__file__).parent; "
             "print(l.lib._name == str(p / 'libklpassword.so'), (p / 'py.typed').exists(), "
             "klpassword.verify_password(klpassword.hash_password('x', memory_kib=1024, passes=1), 'x'))")
    out = subprocess.run([python, "-c", probe], check=True, env=env, cwd=tmp_path, capture_output=True, text=True)
    assert out.stdout.split() == ["True", "True", "True"]
