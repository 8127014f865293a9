"""One kernel for every lane count, instruction set and layout.

* tests/quotients.cpp, compiled here: on every instruction set with fused
  multiply-add, the division-free quotients of the series equal true
  division bit for bit, two million per table entry, the guard's edge and -0
  included; and the polylogarithms of a vector equal the single-point li.
* A test build of the modules (CDF_TEST_BUILD) pins the instruction set
  with CDF_TARGET: baseline (one lane), SSE4 (two, true division), AVX2
  (four) and AVX-512 (eight).  On each, the golden values hold, and one
  point per row, long rows, rows of a few points side by side, strided and
  reversed operands all give the bits of the installed module; and every
  function of the accurate family gives each point its value alone
  (tests/test_invariance.py).
* An LD_PRELOAD shim (tests/counting_alloc.cpp) counts the allocations the
  modules' code makes during a call (cdf, and accurate's values, gradients,
  quantiles and intervals): none, so nothing in the loop can fail for memory
  and the peak is the outputs alone.

Compilers and build tools run without the sanitizer runtime that `make
sanitize` preloads; the test build is sanitized too under it.  The accurate
family takes minutes to compile for every instruction set, so its test build
is made once, by `make test`, in the wheel's build directory
(DISTRIBUTION_BUILD_DIR; tests/meson.build), where it links the wheel's
objects and compiles only the modules' registration again: not under the
sanitizers (which run the whole suite on the installed module) nor for every
CPython (`make test-pythons` sets DISTRIBUTION_SKIP_ACCURATE_TARGETS), where
the instruction sets are the same.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import numpy as np
import pytest

from distribution import cdf

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ACCURATE_TARGETS = not UNDER_ASAN and "DISTRIBUTION_SKIP_ACCURATE_TARGETS" not in os.environ


def build_environment():
    """The environment for compilers and build tools: no sanitizer runtime
    preloaded into them, this venv's tools first on PATH."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and "SAN_OPTIONS" not in k}
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def pkg_config(*args):
    return subprocess.run(["pkg-config", *args], capture_output=True, text=True,
                          check=True).stdout.split()


def test_quotients_are_exact_and_li_is_one_routine(tmp_path):
    program = tmp_path / "quotients"
    subprocess.run(["g++", "-O2", "-std=c++17", "-ffp-contract=off",
                    "-DHWY_DISABLED_TARGETS=HWY_SSSE3", f"-I{ROOT}",
                    *pkg_config("--cflags", "eigen3", "libhwy"),
                    ROOT / "tests" / "quotients.cpp", ROOT / "distribution" / "polylogarithm.cpp",
                    "-o", program, *pkg_config("--libs", "libhwy")],
                   env=build_environment(), check=True, capture_output=True)
    run = subprocess.run([program, "2000000"], env=build_environment(),
                         capture_output=True, text=True, timeout=600)
    rows = [line.split() for line in run.stdout.splitlines()]
    assert run.returncode == 0, run.stdout + run.stderr
    assert rows and all(row[2:] == ["0", "0"] for row in rows), rows
    if not any(int(row[1]) for row in rows):
        pytest.skip("no instruction set with fused multiply-add here")
    assert all(int(row[1]) in (0, 2_000_000 * 162) for row in rows), rows


@pytest.fixture(scope="module")
def test_build():
    """The module built with CDF_TEST_BUILD (and the sanitizers when the
    suite runs under them), in a build directory of its own."""
    if shutil.which("meson", path=str(BIN)) is None:
        pytest.skip("meson is not installed in this environment")
    kind = "sanitize" if UNDER_ASAN else "plain"
    build = ROOT / "build" / f"test-build-{Path(sys.prefix).name}-{kind}"
    options = ["-Dcpp_args=-DCDF_TEST_BUILD"]
    if UNDER_ASAN:
        options = ["-Db_sanitize=address,undefined",
                   "-Dcpp_args=-DCDF_TEST_BUILD -fno-sanitize-recover=all"]
    env = build_environment()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    shared = os.environ.get("DISTRIBUTION_BUILD_DIR")
    if shared and not UNDER_ASAN:
        # make test's build directory: its test-build target links the
        # objects of the wheel's modules with every instruction set.
        subprocess.run([BIN / "ninja", "-C", shared, "test-build"], env=env, check=True,
                       capture_output=True)
        built = {name: Path(shared) / "tests" / (name + suffix) for name in ("cdf_ufunc", "accurate")}
        assert all(path.is_file() for path in built.values()), built
        return built
    if not (build / "build.ninja").exists():
        subprocess.run([BIN / "meson", "setup", build, *options], cwd=ROOT,
                       env=env, check=True, capture_output=True)
    modules = ("cdf_ufunc", "accurate") if ACCURATE_TARGETS else ("cdf_ufunc",)
    subprocess.run([BIN / "ninja", "-C", build, *(name + suffix for name in modules)], env=env,
                   check=True, capture_output=True)
    return {name: build / (name + suffix) for name in modules}


def random_rows(m, rows, seed):
    """Rows with their own loc, scale and m coefficients, points at |y| up to
    50 with some far out, infinite and NaN."""
    rng = np.random.default_rng(seed)
    loc = rng.normal(0.0, 3.0, rows)
    scale = np.exp(rng.normal(0.0, 1.0, rows)) * rng.choice([-1.0, 1.0], rows)
    param = rng.normal(size=(rows, m))
    y = rng.uniform(-50.0, 50.0, (rows, 37))
    y[rng.random(y.shape) < 0.05] = 800.0
    x = loc[:, None] + scale[:, None] * y
    x.flat[::97] = np.inf
    x.flat[5::101] = np.nan
    return x, loc, scale, param


def layouts(cdf, m):
    """The same values through every path of the loop: each point alone (rows
    of one point side by side), each row alone (whole blocks and a partial
    one), all rows at once (blocks mixing the ends of rows), and strided,
    reversed operands written through a strided output."""
    x, loc, scale, param = random_rows(m, 40, seed=m)
    with np.errstate(all="ignore"):
        alone = cdf(x.reshape(-1, 1), np.repeat(loc, 37), np.repeat(scale, 37),
                    np.repeat(param, 37, axis=0)).reshape(x.shape)
        by_row = np.array([cdf(x[r], loc[r], scale[r], param[r]) for r in range(len(x))])
        together = cdf(x, loc, scale, param)
        out = np.zeros((x.shape[0], 2 * x.shape[1]))
        cdf(x[::-1, ::-1], loc[::-1], scale[::-1], param[::-1], out=out[::-1, ::-2])
    return {"alone": alone, "by_row": by_row, "together": together,
            "strided": out[:, 1::2]}


GOLDEN_SCRIPT = """
import importlib.util, sys
import numpy as np
sys.path.insert(0, {tests!r})
found = importlib.util.spec_from_file_location("cdf_ufunc", {module!r})
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
import test_golden, test_lanes
with np.errstate(all="ignore"):
    for (m, loc, scale, param), x, want in test_golden.ROWS:
        test_golden.check(module.cdf(x, loc, scale, np.array(param)), want, (m, loc, scale))
results = {{f"{{m}}-{{name}}": v for m in range(1, 7)
           for name, v in test_lanes.layouts(module.cdf, m).items()}}
np.savez({out!r}, **results)
"""


@pytest.mark.parametrize("target", ["scalar", "sse4", "avx2", "avx3"])
def test_every_instruction_set_and_layout_gives_the_same_bits(test_build, target, tmp_path):
    env = dict(os.environ, CDF_TARGET=target)
    script = GOLDEN_SCRIPT.format(tests=str(ROOT / "tests"), module=str(test_build["cdf_ufunc"]),
                                  out=str(tmp_path / "values.npz"))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=600, cwd=ROOT / "tests")
    if "is not built or not supported here" in run.stderr:
        pytest.skip(f"{target} is not supported by this processor")
    assert run.returncode == 0, run.stderr
    got = np.load(tmp_path / "values.npz")
    for m in range(1, 7):
        reference = layouts(cdf, m)["alone"]
        for name in ("alone", "by_row", "together", "strided"):
            np.testing.assert_array_equal(
                got[f"{m}-{name}"].view(np.int64), reference.view(np.int64), err_msg=f"m={m} {name}")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if UNDER_ASAN:
        pytest.skip("the malloc shim cannot run beside ASan's allocator")
    library = tmp_path_factory.mktemp("shim") / "counting_alloc.so"
    subprocess.run(["g++", "-shared", "-fPIC", "-O1", "-o", library,
                    ROOT / "tests" / "counting_alloc.cpp"],
                   env=build_environment(), check=True, capture_output=True)
    return library


SHIM_SCRIPT = """
import ctypes, os
import numpy as np
from distribution import accurate, cdf, cdf_ufunc

shim = ctypes.CDLL({shim!r})
shim.shim_arm.argtypes = [ctypes.c_void_p, ctypes.c_void_p]


def arm(module):
    # The address range of the module's shared object.
    path = os.path.realpath(module.__file__)
    spans = [[int(a, 16) for a in line.split()[0].split("-")]
             for line in open("/proc/self/maps") if line.rstrip().endswith(path)]
    shim.shim_arm(min(s[0] for s in spans), max(s[1] for s in spans))


x = np.linspace(-8.0, 8.0, 6000).reshape(3, -1)
loc, param = np.array([0.3, -1.0, 2.0]), np.array([1.0, 0.5, 0.2, 0.1, 0.05, 0.01])
calls = [lambda f: f(x, loc, 1.7, param), lambda f: f(x.reshape(-1, 1), np.repeat(loc, 2000), 1.7, param)]
intervals = [lambda f: f(x, x + 0.1, loc, 1.7, param)]
functions = [(cdf, calls)] + [(getattr(accurate, name), calls) for name in ("cdf", "logpdf_grad", "ppf", "logpdf_hess")]
functions += [(accurate.log_probability_between_grad, intervals), (accurate.log_probability_between_hess, intervals)]
for f, ways in functions:
    ways[0](f)
seen = []
for module, chosen in ((cdf_ufunc, functions[:1]), (accurate, functions[1:])):
    arm(module)
    for f, ways in chosen:
        for way in ways:
            way(f)
    seen.append(shim.shim_seen())
print(*seen)
"""


def test_the_loop_allocates_nothing(shim):
    env = dict(os.environ, LD_PRELOAD=str(shim))
    run = subprocess.run([sys.executable, "-c", SHIM_SCRIPT.format(shim=str(shim))],
                         env=env, capture_output=True, text=True, timeout=600, cwd=ROOT / "tests")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["0", "0"]


INVARIANCE_SCRIPT = """
import importlib.util, sys
sys.path.insert(0, {tests!r})
found = importlib.util.spec_from_file_location("accurate", {module!r})
module = importlib.util.module_from_spec(found)
found.loader.exec_module(module)
import test_invariance
for seed in range(40):
    test_invariance.check(module, test_invariance.make_call(seed, 1 + seed % 12, 1 + 7 * seed % 24, 1 + seed % 6))
# The location-scale likelihood's terms and scores, on this build's lanes.
from distribution.models import likelihood
likelihood.accurate = module
for seed in range(40):
    test_invariance.check_likelihood(seed, 1 + 3 * seed % 37, 1 + seed % 6)
"""


@pytest.mark.parametrize("target", ["scalar", "sse4", "avx2", "avx3"])
def test_every_instruction_set_gives_each_point_its_value_alone(test_build, target):
    """The accurate family and the likelihood's terms and scores on each
    instruction set: every value in every layout is its point's value alone
    (the values of one set may differ from another's in the last bits: the
    vector exp and log differ)."""
    if not ACCURATE_TARGETS:
        pytest.skip("the accurate family's instruction sets are checked by make test")
    script = INVARIANCE_SCRIPT.format(tests=str(ROOT / "tests"), module=str(test_build["accurate"]))
    run = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, CDF_TARGET=target),
                         capture_output=True, text=True, timeout=600, cwd=ROOT / "tests")
    if "is not built or not supported here" in run.stderr:
        pytest.skip(f"{target} is not supported by this processor")
    assert run.returncode == 0, run.stderr[-3000:]
