"""The installed package is typed: mypy reads the stub of the compiled module."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

USAGE = """
import numpy as np
import numpy.typing as npt

from distribution import accurate, cdf

reveal_type(cdf)
quantile: np.ufunc = accurate.ppf
x: npt.NDArray[np.float64] = np.linspace(-3.0, 3.0, 7, dtype=np.float64)
values = cdf(x, 0.0, 1.0, np.array([1.0, 0.5]))
rows = cdf(x, np.array([0.0, 1.0]), 2.0, [[1.0, 0.0], [0.5, 0.3]], out=None)
ufunc: np.ufunc = cdf
signature: str | None = cdf.signature
nin: int = cdf.nin
"""

MISUSE = """
from distribution import cdf

nin: str = cdf.nin
cdf.no_such_attribute
"""


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    # Run outside the source tree, so that mypy sees the installed package.
    where = tmp_path_factory.mktemp("mypy")

    def run(name, source):
        (where / name).write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output",
             "--cache-dir", str(where / ".cache"), name],
            cwd=where, capture_output=True, text=True, timeout=300,
        )

    return run


def test_usage_passes_strict(mypy):
    done = mypy("usage.py", USAGE)
    assert done.returncode == 0, done.stdout + done.stderr
    assert 'Revealed type is "numpy.ufunc"' in done.stdout


def test_misuse_is_reported(mypy):
    done = mypy("misuse.py", MISUSE)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "misuse.py:4: error: Incompatible types in assignment" in done.stdout
    assert 'misuse.py:5: error: "ufunc" has no attribute "no_such_attribute"' in done.stdout


def test_the_stub_is_written_from_the_module():
    """accurate.pyi lists every ufunc of the module, as tools/make_stub.py writes it."""
    import importlib.util
    from pathlib import Path

    from distribution import accurate

    root = Path(__file__).resolve().parents[1]
    found = importlib.util.spec_from_file_location("make_stub", root / "tools" / "make_stub.py")
    make_stub = importlib.util.module_from_spec(found)
    found.loader.exec_module(make_stub)
    assert (root / "distribution" / "accurate.pyi").read_text() == make_stub.render(accurate)
