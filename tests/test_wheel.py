"""The repaired wheel: manylinux, self-contained, and working from a fresh venv.

`make test` builds it (tools/build_wheel.py) and names it in
DISTRIBUTION_WHEEL; without that these tests are skipped.
"""

import io
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from importlib import resources
from pathlib import Path

import pytest

pytest.importorskip("auditwheel")
from elftools.elf.elffile import ELFFile  # noqa: E402  (auditwheel's dependency)

WHEEL = Path(os.environ.get("DISTRIBUTION_WHEEL", "/nonexistent"))
pytestmark = pytest.mark.skipif("DISTRIBUTION_WHEEL" not in os.environ,
                                reason="no DISTRIBUTION_WHEEL (make test sets it)")
ROOT = Path(__file__).resolve().parents[1]


def run(args, **kwargs):
    # Neither the sanitizer runtime nor this tree's modules in the children.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH") and "SAN_OPTIONS" not in k}
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, env=env, **kwargs)


@pytest.fixture(scope="module")
def tag():
    assert WHEEL.is_file(), f"DISTRIBUTION_WHEEL={WHEEL}: no such wheel (make wheel builds one)"
    show = run([Path(sys.executable).parent / "auditwheel", "show", WHEEL])
    assert show.returncode == 0, show.stderr
    found = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', show.stdout)
    assert found, show.stdout
    return found[1]


def test_auditwheel_reports_the_manylinux_tag_of_the_file_name(tag):
    assert re.fullmatch(r"manylinux_2_\d+_x86_64", tag)
    assert WHEEL.name.endswith(f"-{tag}.whl")


def test_every_needed_library_is_in_the_manylinux_set_or_shipped(tag):
    policies = json.loads((resources.files("auditwheel.policy") / "manylinux-policy.json").read_text())
    (allowed,) = [set(p["lib_whitelist"]) for p in policies if p["name"] == tag.removesuffix("_x86_64")]
    needed = {}
    with zipfile.ZipFile(WHEEL) as archive:
        for name in archive.namelist():
            if re.search(r"\.so(\.\d+)*$", name):
                with archive.open(name) as member:
                    dynamic = ELFFile(member).get_section_by_name(".dynamic")
                    needed[name] = {t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
    # Every extension module that meson.build declares is among them.
    declared = re.findall(r"py\.extension_module\('(\w+)'", (ROOT / "meson.build").read_text())
    extensions = [re.fullmatch(r"distribution/(\w+)\.cpython-.*\.so", name) for name in needed]
    assert sorted(e[1] for e in extensions if e) == sorted(declared) != [], list(needed)
    outside = set().union(*needed.values()) - allowed - {Path(name).name for name in needed}
    assert not outside, f"needed, neither in {tag} nor in the wheel: {outside}"


def test_metadata():
    with zipfile.ZipFile(WHEEL) as archive:
        (metadata,) = [n for n in archive.namelist() if n.endswith(".dist-info/METADATA")]
        headers = archive.read(metadata).decode().split("\n\n")[0].splitlines()
        licenses = {n.split("/licenses/", 1)[1] for n in archive.namelist() if "/licenses/" in n}
    assert {"License-Expression: GPL-3.0-or-later", "Requires-Python: >=3.10"} <= set(headers)
    assert not [line for line in headers if line.startswith("License:")]
    assert {"LICENSE", "LICENSES/Apache-2.0.txt"} <= licenses


CHECK = """
import ctypes, json, re, sys
import distribution

def loads(path):
    try:
        return bool(ctypes.CDLL(path))
    except OSError:
        return False

print(json.dumps({
    "hidden_but_loadable": [path for path in sys.argv[1:] if loads(path)],
    "file": distribution.__file__,
    "version": distribution.__version__,
    "values": [float(distribution.cdf([3.0], 0.3, 1.7, [1.0, 0.5])[0]),
               float(distribution.accurate.cdf([3.0], 0.3, 1.7, [1.0, 0.5])[0])],
    "maps": sorted({line.split()[-1] for line in open("/proc/self/maps") if re.search("gsl|hwy", line)}),
}))
"""


def test_installs_into_a_fresh_venv_and_computes_from_outside_the_tree(tmp_path):
    venv, python = tmp_path / "venv", tmp_path / "venv" / "bin" / "python"
    assert run([sys.executable, "-m", "venv", venv], timeout=300).returncode == 0
    installed = run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                     "--timeout", "30", "--retries", "1", WHEEL], timeout=600)
    if installed.returncode != 0 and "numpy" in installed.stderr.lower():
        pytest.skip("cannot install numpy (no package index reachable?): " + installed.stderr[-300:])
    assert installed.returncode == 0, installed.stderr

    # Where the check may (as root), the system's GSL and Highway are hidden
    # behind /dev/null in a mount namespace of the child's own.
    libdirs = {run(["pkg-config", "--variable=libdir", lib]).stdout.strip()
               for lib in ("gsl", "libhwy")} if shutil.which("pkg-config") else set()
    hide = sorted(p for d in libdirs - {""} for p in Path(d).glob("lib*.so*")
                  if re.match(r"lib(gsl|gslcblas|hwy)\.so", p.name) and not p.is_symlink())
    command = [python, "-c", CHECK]
    if hide and shutil.which("unshare") and run(["unshare", "--mount", "true"]).returncode == 0:
        mounts = " ".join(f"mount --bind /dev/null '{p}';" for p in hide)
        command = ["unshare", "--mount", "sh", "-ec", f'{mounts} exec "$@"', "sh", *command, *hide]
    checked = run(command, cwd=tmp_path, timeout=120)
    assert checked.returncode == 0, checked.stderr
    result = json.loads(checked.stdout)

    site = str(venv / "lib")
    assert result["hidden_but_loadable"] == []
    assert result["file"].startswith(site)
    assert WHEEL.name.startswith(f"distribution-{result['version']}-")
    assert result["values"] == pytest.approx([0.4238119914976257] * 2, abs=1e-14)  # mpmath
    # Whatever of GSL and Highway was loaded came from the wheel.
    assert all(m.startswith(site) for m in result["maps"]), result["maps"]



def nested_name(symbol):
    """The names of a mangled nested name, _ZN12distribution6N_AVX2... ->
    ["distribution", "N_AVX2", ...]."""
    names, at = [], 3
    while symbol.startswith("_ZN") and at < len(symbol) and symbol[at].isdigit():
        digits = re.match(r"\d+", symbol[at:])[0]
        at += len(digits)
        names.append(symbol[at:at + int(digits)])
        at += int(digits)
    return names


def test_the_accurate_family_has_every_instruction_set_of_cdf():
    """A build for one machine (-Dtargets=native) keeps fewer instruction sets
    for the accurate family; the wheel keeps all that cdf_ufunc has, in every
    unit of loops and in the likelihood."""
    sets = {}
    with zipfile.ZipFile(WHEEL) as archive:
        for name in archive.namelist():
            if re.fullmatch(r"distribution/\w+\.cpython-.*\.so", name):
                # In memory: the ELF reader seeks, and a compressed member
                # seeks by decompressing again from its start.
                symbols = ELFFile(io.BytesIO(archive.read(name))).get_section_by_name(".symtab")
                assert symbols is not None, f"{name} is stripped"
                for symbol in symbols.iter_symbols():
                    names = nested_name(symbol.name)
                    if len(names) >= 3 and names[-2].startswith("N_") \
                            and names[-1] in ("DoubleCdf", "UnitLoop", "LocationScale"):
                        sets.setdefault(tuple(names[1:-2] + names[-1:]), set()).add(names[-2])
    cdf_sets = sets.pop(("DoubleCdf",))
    assert {"N_SCALAR", "N_AVX2"} <= cdf_sets, cdf_sets
    units = [(f"unit_{u}", "UnitLoop") for u in ("values", "gradients", "intervals", "hessians")]
    assert sorted(sets) == sorted(units + [("LocationScale",)]), sets
    assert all(found == cdf_sets for found in sets.values()), sets
