"""Allocation failures inside the loop raise MemoryError, in the call that
met them, and leave the interpreter working.

Two ways to fail, each run in a subprocess:

* A test build with CDF_FAULT_INJECTION, whose loop throws std::bad_alloc in
  the outer iteration numbered CDF_FAULT_AT, as a failed allocation would.
  It keeps working whether or not the loop still allocates.  Under
  `make sanitize` this build is sanitized too, so the unwinding is checked for
  leaks and bad accesses.
* An LD_PRELOAD shim (tests/failing_alloc.cpp) that fails, one at a time, each
  allocation the module's code makes directly, with malloc or operator new.
  Skipped when the loop makes none, and under ASan, which owns malloc.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BIN = Path(sys.executable).parent
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def build_environment():
    """The environment for compilers and build tools: no sanitizer runtime
    preloaded into them, this venv's tools first on PATH."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and "SAN_OPTIONS" not in k}
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def run_python(code, env_extra=(), preload=None, timeout=600):
    env = dict(os.environ)
    env.update(env_extra)
    if preload is not None:
        env["LD_PRELOAD"] = str(preload)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          env=env, capture_output=True, text=True,
                          timeout=timeout, cwd=ROOT / "tests")


@pytest.fixture(scope="module")
def fault_build():
    """The module built with CDF_FAULT_INJECTION (and the sanitizers when the
    suite runs under them), in a build directory of its own."""
    if shutil.which("meson", path=str(BIN)) is None:
        pytest.skip("meson is not installed in this environment")
    kind = "sanitize" if UNDER_ASAN else "plain"
    build = ROOT / "build" / f"fault-injection-{Path(sys.prefix).name}-{kind}"
    options = ["-Dcpp_args=-DCDF_FAULT_INJECTION"]
    if UNDER_ASAN:
        options = ["-Db_sanitize=address,undefined",
                   "-Dcpp_args=-DCDF_FAULT_INJECTION -fno-sanitize-recover=all"]
    env = build_environment()
    if not (build / "build.ninja").exists():
        subprocess.run([BIN / "meson", "setup", build, *options], cwd=ROOT,
                       env=env, check=True, capture_output=True)
    subprocess.run([BIN / "ninja", "-C", build], env=env, check=True,
                   capture_output=True)
    (module,) = build.glob("cdf_ufunc*.so")
    return module


# The subprocess loads the test build under the name cdf_ufunc, next to the
# installed package, whose results are the reference.
FAULT_SCRIPT = """
    import importlib.util, sys
    import numpy as np
    from distribution import cdf as reference

    found = importlib.util.spec_from_file_location("cdf_ufunc", {module!r})
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    cdf = module.cdf

    rows, points, failing = 4, {points}, {failing}
    x = np.linspace(-6.0, 6.0, rows * points).reshape(rows, points)
    loc = np.linspace(-1.0, 1.0, rows)
    param = np.array([[1.0, 0.5, 0.2], [0.3, -1.0, 0.1], [2.0, 0.0, 1.0], [1.0, 1.0, 1.0]])
    expected = reference(x, loc, 1.5, param)

    out = np.full_like(x, -7.0)
    try:
        cdf(x, loc, 1.5, param, out=out)
    except MemoryError:
        pass
    else:
        sys.exit("no MemoryError")
    # The loop stopped at the failing row; the rows before it are done.
    np.testing.assert_array_equal(out[:failing - 1], expected[:failing - 1])
    assert (out[failing - 1:] == -7.0).all(), out
    assert sys.exc_info() == (None, None, None)

    # The interpreter and the module go on working.
    for _ in range(3):
        np.testing.assert_array_equal(cdf(x, loc, 1.5, param), expected)
    assert sum(range(10)) == 45 and float("0.5") == 0.5
    print("recovered")
"""


@pytest.mark.parametrize("failing", [1, 3])
@pytest.mark.parametrize("points", [5, 2000], ids=["lock held", "lock released"])
def test_failure_in_loop_raises_memory_error(fault_build, failing, points):
    result = run_python(
        FAULT_SCRIPT.format(module=str(fault_build), points=points,
                            failing=failing),
        env_extra={"CDF_FAULT_AT": str(failing)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "recovered"


def test_without_fault_at_the_test_build_just_computes(fault_build):
    result = run_python(f"""
        import importlib.util
        import numpy as np
        from distribution import cdf as reference
        found = importlib.util.spec_from_file_location("cdf_ufunc", {str(fault_build)!r})
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        x = np.linspace(-5, 5, 3000).reshape(3, -1)
        np.testing.assert_array_equal(module.cdf(x, 0.5, 2.0, [1.0, -0.4]),
                                      reference(x, 0.5, 2.0, [1.0, -0.4]))
        print("same")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same"


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if UNDER_ASAN:
        pytest.skip("the malloc shim cannot run beside ASan's allocator")
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    library = tmp_path_factory.mktemp("shim") / "failing_alloc.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", library,
                    ROOT / "tests" / "failing_alloc.cpp"],
                   env=build_environment(), check=True, capture_output=True)
    return library


# Each failing allocation runs in a forked child, so that one that kills the
# process is told apart from the others; the child prints nothing on success.
SHIM_SCRIPT = """
    import ctypes, os, sys
    import numpy as np
    from distribution import cdf, cdf_ufunc

    # The address range of the module's shared object.
    path = os.path.realpath(cdf_ufunc.__file__)
    spans = [[int(a, 16) for a in line.split()[0].split("-")]
             for line in open("/proc/self/maps") if line.rstrip().endswith(path)]
    begin, end = min(s[0] for s in spans), max(s[1] for s in spans)
    shim = ctypes.CDLL({shim!r})
    shim.shim_arm.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_long]

    x = np.array([[-3.0, 0.2, 2.5], [-0.5, 1.0, 8.0]])
    loc, scale = np.array([0.3, -1.0]), 1.7
    param = np.array([[1.0, 0.5, 0.2, 0.1, 0.05, 0.01], [0.5, -1.0, 0.0, 0.3, 0.0, 0.2]])
    expected = cdf(x, loc, scale, param)

    shim.shim_arm(begin, end, 0)
    cdf(x, loc, scale, param)
    allocations = shim.shim_seen()
    print("allocations", allocations, flush=True)
    for n in range(1, allocations + 1):
        child = os.fork()
        if child == 0:
            shim.shim_arm(begin, end, n)
            try:
                cdf(x, loc, scale, param)
            except MemoryError:
                pass
            else:
                print("no MemoryError", n, flush=True)
                os._exit(1)
            shim.shim_arm(begin, end, 0)
            again = cdf(x, loc, scale, param)
            if shim.shim_injected() != 1 or not np.array_equal(again, expected):
                print("wrong after recovery", n, flush=True)
                os._exit(1)
            os._exit(0)
        status = os.waitpid(child, 0)[1]
        if os.WIFSIGNALED(status):
            print("killed", n, os.WTERMSIG(status), flush=True)
        elif os.WEXITSTATUS(status) != 0:
            print("failed", n, flush=True)
"""

# Eigen 3.4's DenseStorage::resize frees the old block before allocating the
# new one and leaves the pointer dangling when that allocation throws; the
# destructor then frees it again.  Distribution::precalc resizes Alpha from
# k x (2k-1) to 1 x (2k-1) that way, so a failure there aborts the process
# ("double free").  Known, in a file this test does not own: reported as an
# expected failure naming the allocations, anything else fails.
KNOWN_ABORTS = "Eigen resize in Distribution::precalc (Alpha), double free"


def test_each_allocation_of_the_loop_can_fail(shim):
    result = run_python(SHIM_SCRIPT.format(shim=str(shim)), preload=shim)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    allocations = int(lines[0].split()[1])
    if allocations == 0:
        pytest.skip("the loop makes no allocation of its own")
    problems = lines[1:]
    assert all(line.startswith("killed") for line in problems), problems
    assert len(problems) <= 2, problems  # at most the one resize per row
    if problems:
        pytest.xfail(f"{len(problems)} of {allocations} allocation failures "
                     f"abort the process ({KNOWN_ABORTS}): {problems}")
