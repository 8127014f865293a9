"""A build for this machine (-Dtargets=native, make demo's) compiles a subset
of the portable build's objects, with the same commands: reconfigured for
the wheel in the same directory, ninja compiles only the other instruction
sets.  Configures only; compiles nothing."""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent


def commands(build, targets):
    """The compile commands of a build's default targets, by object."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and "SAN_OPTIONS" not in k}
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    setup = ["setup", "--reconfigure"] if (build / "build.ninja").exists() else ["setup"]
    subprocess.run([BIN / "meson", *setup, build, f"-Dtargets={targets}"], cwd=ROOT, env=env,
                   check=True, capture_output=True)
    listed = subprocess.run([BIN / "ninja", "-C", build, "-t", "commands"], env=env, check=True,
                            capture_output=True, text=True).stdout.splitlines()
    found = {}
    for line in listed:
        words = shlex.split(line)
        if "-c" in words and "-o" in words:
            found[words[words.index("-o") + 1]] = line
    return found


def sets(objects):
    return {o.split("/")[0] for o in objects if o.startswith("libaccurate-") and "dispatch" not in o}


def test_native_objects_are_the_portable_ones(tmp_path):
    if shutil.which("meson", path=str(BIN)) is None:
        pytest.skip("meson is not installed in this environment")
    native = commands(tmp_path / "build", "native")
    portable = commands(tmp_path / "build", "portable")
    if not sets(portable):
        pytest.skip("no build per instruction set here (not x86-64)")
    assert sets(native) < sets(portable) or sets(native) == {"libaccurate-scalar.a.p"}, sets(native)
    assert 1 <= len(sets(native)) <= 2
    kept = [o for o in native if o.split("/")[0] in sets(native)]
    assert len(kept) == 5 * len(sets(native))
    assert all(portable.get(o) == native[o] for o in kept), "a native object compiles differently"
