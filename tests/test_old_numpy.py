"""Importing the module under a NumPy older than 2.1 fails cleanly.

The module is built against NumPy 2.x for the 2.1 C-API (it needs
process_core_dims_func).  Under NumPy 1.26 the import must end in an
ImportError that names the C-API version mismatch, never in a crash.  The test
takes the repaired wheel (or builds one), installs NumPy 1.26 and the wheel
(without dependencies) into a throwaway venv and imports there; it is skipped
when no package index can be reached or it has no NumPy 1.26 for this Python.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent


def clean_environment():
    # No sanitizer runtime in the build tools or the other interpreter.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH")
           and "SAN_OPTIONS" not in k}
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def run(args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True,
                          text=True, env=clean_environment(), **kwargs)


@pytest.fixture(scope="module")
def old_numpy_venv(tmp_path_factory):
    base = tmp_path_factory.mktemp("old-numpy")
    if os.environ.get("DISTRIBUTION_WHEEL"):  # the repaired wheel make test built
        wheel = Path(os.environ["DISTRIBUTION_WHEEL"])
    else:
        wheels = base / "wheels"
        build = ROOT / "build" / f"wheel-{Path(sys.prefix).name}"
        built = run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps",
                     "--no-build-isolation", f"-Cbuild-dir={build}", "-w", wheels,
                     ROOT], timeout=900)
        assert built.returncode == 0, built.stderr
        (wheel,) = wheels.glob("distribution-*.whl")

    venv = base / "venv"
    created = run([sys.executable, "-m", "venv", venv], timeout=300)
    assert created.returncode == 0, created.stderr
    python = venv / "bin" / "python"
    numpy = run([python, "-m", "pip", "install", "-q",
                 "--disable-pip-version-check", "--timeout", "30",
                 "--retries", "1", "--only-binary=:all:", "numpy==1.26.*"], timeout=600)
    if numpy.returncode != 0:
        # No index, or no NumPy 1.26 wheel for this Python (3.13 has none).
        pytest.skip("cannot install numpy 1.26 (no index, or no wheel for this Python): "
                    + numpy.stderr.strip()[-300:])
    installed = run([python, "-m", "pip", "install", "-q", "--no-deps",
                     "--disable-pip-version-check", wheel], timeout=300)
    assert installed.returncode == 0, installed.stderr
    return python


def test_import_under_numpy_1_26_raises_import_error(old_numpy_venv, tmp_path):
    version = run([old_numpy_venv, "-c", "import numpy; print(numpy.__version__)"],
                  cwd=tmp_path)
    assert version.stdout.startswith("1.26."), version

    plain = run([old_numpy_venv, "-c", "import distribution"], cwd=tmp_path)
    assert plain.returncode == 1, plain  # an exception, not a signal
    assert "ImportError" in plain.stderr
    # NumPy's import step prints the cause: built for C-API 0x13 (2.1),
    # running a NumPy of an older one.
    assert "C-API version 0x13" in plain.stderr, plain.stderr
    assert "running NumPy has C-API version" in plain.stderr, plain.stderr

    # The failure is an ordinary exception: the interpreter goes on.
    caught = run([old_numpy_venv, "-c", (
        "import numpy\n"
        "try:\n"
        "    import distribution\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
        "print(numpy.arange(3).sum())\n")], cwd=tmp_path)
    assert caught.returncode == 0, caught.stderr
    assert caught.stdout.splitlines() == [
        "ImportError: numpy._core.multiarray failed to import", "3"]
