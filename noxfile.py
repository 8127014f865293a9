"""The suite under every CPython from 3.10 to 3.13 that this machine has.

`make test-pythons` runs it.  Each session builds the repaired wheel for its
interpreter (tools/build_wheel.py), installs it beside the test tools and runs
the whole suite against it, the checks of the wheel included.

Nox looks the interpreters up on PATH as python3.10 ... python3.13.  pyenv's
shims answer to those names only for the versions it has selected, so the
builds pyenv keeps (under `pyenv root`) go first on PATH, the newest patch
release of each minor version.  A version the machine lacks skips its
session; `nox --error-on-missing-interpreters` makes that an error.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

import nox

PYTHONS = ["3.10", "3.11", "3.12", "3.13"]

nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = False
# The venvs are kept: a rerun reinstalls only what changed.
nox.options.reuse_existing_virtualenvs = True


def pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if root:
        return Path(root)
    if shutil.which("pyenv"):
        found = subprocess.run(["pyenv", "root"], capture_output=True, text=True)
        if found.returncode == 0 and found.stdout.strip():
            return Path(found.stdout.strip())
    return Path.home() / ".pyenv"


def pyenv_bins():
    """bin/ of the newest CPython release build pyenv has of each version in
    PYTHONS (plain x.y.z names: no free-threaded, debug or other builds)."""
    newest = {}
    versions = pyenv_root() / "versions"
    for entry in versions.iterdir() if versions.is_dir() else ():
        match = re.fullmatch(r"3\.(\d+)\.(\d+)", entry.name)
        if match and f"3.{match[1]}" in PYTHONS and (entry / "bin").is_dir():
            minor, patch = int(match[1]), int(match[2])
            if patch >= newest.get(minor, (-1, None))[0]:
                newest[minor] = (patch, entry / "bin")
    return [str(path) for _, path in newest.values()]


os.environ["PATH"] = os.pathsep.join([*pyenv_bins(), os.environ.get("PATH", "")])


@nox.session(python=PYTHONS)
def tests(session):
    session.install("--upgrade", "pip")
    session.install("-r", "requirements-dev.txt")
    wheels = Path(session.create_tmp()) / "wheel"
    # The other interpreters' wheels keep AVX2 and the baseline, as the
    # sanitized build does: every instruction set is checked by make test,
    # and each compile of the others would take minutes.
    session.run("python", "tools/build_wheel.py", str(wheels),
                env={"DISTRIBUTION_DISABLED_TARGETS": "HWY_SSSE3|HWY_SSE4|HWY_AVX3"})
    (wheel,) = wheels.glob("distribution-*.whl")
    session.install("--no-deps", "--force-reinstall", str(wheel))
    # The instruction sets of the accurate family are those of make test's
    # run: its test build is not compiled again for every interpreter.
    # The fits' global references (slow) run once, in make test.
    session.run("pytest", "-q", "-m", "not slow", "tests", *session.posargs,
                env={"DISTRIBUTION_WHEEL": str(wheel), "DISTRIBUTION_SKIP_ACCURATE_TARGETS": "1"})
