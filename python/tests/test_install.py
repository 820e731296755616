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


def fresh_venv(tmp_path, name="venv"):
    venv = tmp_path / name
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    return str(venv / "bin" / "python")


PROBE = ("import klpassword, klpassword._lib as l, pathlib, os; "
         "p = pathlib.Path(klpassword.__file__).parent; "
         "print(os.path.samefile(l.lib._name, p / 'libklpassword.so'), "
         "klpassword.estimate('Schmetterling', language='de').score)")


@pytest.mark.parametrize("how", ["build folder", "built beside"])
def test_wheel_takes_a_built_library_without_building(tmp_path, how):
    """pip wheel finds the library (named by KLPASSWORD_BUILD_DIR, or in the repository's own
    build folders, passing over a sanitizer build and one that does not load), and the wheel
    installs in a fresh environment that uses its own copy."""
    library = os.environ.get("KLPASSWORD_LIBRARY")
    if not library:
        pytest.skip("KLPASSWORD_LIBRARY names no built library to package")
    pytest.importorskip("pip")
    tree = tmp_path / "tree"
    shutil.copytree(os.path.dirname(HERE), tree / "python",
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "tests", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("KLPASSWORD_")}
    env["KLPASSWORD_CMAKE_ARGS"] = "-DKL_REFUSE_TO_BUILD_IN_THIS_TEST=1"
    (tree / "capi").mkdir()  # a source tree to build from, were the search to fail
    if how == "build folder":
        env["KLPASSWORD_BUILD_DIR"] = os.path.dirname(library)
    else:
        good = tree / "build" / "release"
        good.mkdir(parents=True)
        (good / "libklpassword.so").symlink_to(library)
        for folder, cache in (("sanitize", "KL_SANITIZE:BOOL=ON\n"), ("broken", "")):
            bad = tree / "build" / folder
            bad.mkdir()
            (bad / "CMakeCache.txt").write_text(cache)
            shutil.copyfile(library, bad / "libklpassword.so") if cache else (bad / "libklpassword.so").write_text("")
    out = subprocess.run([sys.executable, "-m", "pip", "wheel", "-v", "--no-build-isolation", "--no-index",
                          "--no-deps", "-w", str(tmp_path / "dist"), str(tree / "python")], env=env, cwd=tmp_path,
                         capture_output=True, text=True)
    said = out.stdout + out.stderr
    assert out.returncode == 0, said
    assert "building it with CMake" not in said
    if how == "built beside":
        assert f"using the library built at {tree}/build/release/libklpassword.so" in said
        assert f"passing over {tree}/build/broken/libklpassword.so: it does not load" in said
    wheels = list((tmp_path / "dist").glob("klpassword-*.whl"))
    assert len(wheels) == 1 and "linux" in wheels[0].name  # carries a shared library: a platform wheel
    python = fresh_venv(tmp_path)
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-index", "--no-deps", str(wheels[0])],
                   check=True, env=env, cwd=tmp_path)
    probe = subprocess.run([python, "-c", PROBE], check=True, env=env, cwd=tmp_path, capture_output=True, text=True)
    assert probe.stdout.split() == ["True", "1"]
