"""Every build gives the values recorded in tests/data/golden.txt.

The file (see tests/make_golden.py) holds the bits of the straightforward
evaluation on a fixed grid.  A faster build must perform the same floating
point operations: IEEE additions, multiplications and divisions are exactly
rounded, whether done one at a time or in SIMD lanes, so the values are
bit-identical.  MAX_ULPS is the allowance for the one freedom the closed form
leaves, the order of the additions inside matrix products; it is 0 because
the products keep the order in which they were first summed.  Any NaN
matches any NaN.
"""

import os
import warnings
from collections import defaultdict

import numpy as np
import pytest

from distribution import cdf

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "golden.txt")
MAX_ULPS = 0


def load():
    groups = defaultdict(lambda: ([], []))
    with open(GOLDEN) as fh:
        for line in fh:
            v = [float.fromhex(t) for t in line.split()]
            m = int(v[0])
            key = (m, v[1], v[2], tuple(v[3:3 + m]))
            groups[key][0].append(v[3 + m])
            groups[key][1].append(v[4 + m])
    return [(key, np.array(x), np.array(f)) for key, (x, f) in groups.items()]


ROWS = load()


def ulps(a, b):
    """Distance in units in the last place, through the ordered integer map
    (in which -0.0 and +0.0 are one apart, so that a sign of zero counts)."""
    def ordered(v):
        i = v.view(np.int64)
        return np.where(i < 0, np.int64(-1) - (i & np.int64(0x7FFFFFFFFFFFFFFF)), i)

    d = np.abs(ordered(a).astype(object) - ordered(b).astype(object)).astype(float)
    both_nan = np.isnan(a) & np.isnan(b)
    return np.where(both_nan, 0.0, np.where(np.isnan(a) | np.isnan(b), np.inf, d))


def check(got, want, where):
    d = ulps(got, want)
    bad = d > MAX_ULPS
    assert not bad.any(), (
        f"{where}: {bad.sum()} of {bad.size} values differ, up to {d.max()} ulps; "
        f"first at x = {where_x(bad)}: got {got[bad][0]!r}, want {want[bad][0]!r}")


def where_x(bad):
    return int(np.flatnonzero(bad)[0])


def test_golden_file_covers_the_grid():
    ms = {key[0] for key, _, _ in ROWS}
    assert ms == {1, 2, 3, 4, 5, 6}
    assert {np.sign(key[2]) for key, _, _ in ROWS} >= {-1.0, 1.0}
    x_all = np.concatenate([x for _, x, _ in ROWS])
    assert np.isinf(x_all).any() and np.isnan(x_all).any()
    assert sum(len(x) for _, x, _ in ROWS) > 5000


@pytest.mark.parametrize("m", range(1, 7))
def test_one_row_per_distribution(m):
    """One call per (loc, scale, param): the points of one object in order."""
    with np.errstate(all="ignore"):
        for (mm, loc, scale, param), x, want in ROWS:
            if mm == m:
                check(cdf(x, loc, scale, np.array(param)), want, (m, loc, scale, param))


def gather(m):
    """All points of one m as rows of one point, each its own distribution."""
    sel = [(key, x, f) for key, x, f in ROWS if key[0] == m]
    x = np.concatenate([x for _, x, _ in sel])
    want = np.concatenate([f for _, _, f in sel])
    reps = [len(x) for _, x, _ in sel]
    loc = np.repeat([key[1] for key, _, _ in sel], reps)
    scale = np.repeat([key[2] for key, _, _ in sel], reps)
    param = np.repeat(np.array([key[3] for key, _, _ in sel]), reps, axis=0)
    return x, loc, scale, param, want


@pytest.mark.parametrize("m", range(1, 7))
@pytest.mark.parametrize("layout", ["one point per row", "reversed", "strided"])
def test_broadcast_layouts(m, layout):
    """The same values whatever the outer shape and the strides."""
    x, loc, scale, param, want = gather(m)
    with np.errstate(all="ignore"):
        if layout == "one point per row":
            got = cdf(x[:, None], loc, scale, param)[:, 0]
        elif layout == "reversed":
            got = cdf(x[::-1, None], loc[::-1], scale[::-1], param[::-1, ::-1][:, ::-1])[::-1, 0]
        else:
            wide = np.zeros((len(x), 3))
            wide[:, 1] = x
            pw = np.zeros((len(x), 2 * m))
            pw[:, ::2] = param
            out = np.full((len(x), 3), -7.0)
            cdf(wide[:, 1:2], loc, scale, pw[:, ::2], out=out[:, 2:3])
            got = out[:, 2]
            assert (out[:, :2] == -7.0).all()
    check(got, want, (m, layout))


@pytest.mark.parametrize("m", range(1, 7))
def test_long_rows_in_place(m):
    """Each distribution's points as one long row, written over the input."""
    with np.errstate(all="ignore"):
        for (mm, loc, scale, param), x, want in ROWS:
            if mm == m and len(x) > 20:
                buf = np.tile(x, 3)
                cdf(buf, loc, scale, np.array(param), out=buf)
                check(buf, np.tile(want, 3), (m, loc, scale, param))


@pytest.mark.parametrize("m", range(1, 7))
def test_blocks_raise_no_flag_and_match_single_points(m):
    """Far tails and NaN inside long rows: no warning, and each value equal to
    that of the point evaluated alone (a row of one point)."""
    param = np.array([0.5, 0.3, 0.1, 0.05, 0.01, 0.002][:m])
    u = np.array([746.0, 1e60, 1e200, np.inf, np.nan, 0.0, 0.3, 3.0, 40.0, 800.0])
    x = np.concatenate([u, -u, u[::-1], -u[::-1]] * 3)  # 120 points: full blocks and a tail
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        row = cdf(x, 0.0, 1.0, param)
        alone = cdf(x[:, None], 0.0, 1.0, param)[:, 0]
    check(row, alone, m)
    far = np.abs(x) > 745
    np.testing.assert_array_equal(row[far], (x[far] > 0).astype(float))
    assert np.isnan(row[np.isnan(x)]).all()
