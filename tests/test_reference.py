"""Accuracy of cdf against the high-precision table data/reference.csv.

make_reference.py computes every row in 60-digit arithmetic from the exact
double inputs, in two ways:

* closed19 is the closed form that the library evaluates, with the 19-term
  polylogarithm series, but without rounding: the library must match it to
  within floating-point rounding;
* exact is the true distribution function: the library differs from it by
  the series truncation, which is largest next to loc and dies off like
  e^(-20 u), u = |x - loc| / |scale|.

Run this file as a script to print the error per distance bin.
"""

import csv
import math
import os
from collections import defaultdict
from functools import lru_cache

import numpy as np
import pytest

from distribution import cdf

EPS = np.finfo(np.float64).eps
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "reference.csv")

# zeta at the even integers, for the full logistic moments M_n = 2 n! eta(n)
_ZETA_EVEN = {2: math.pi**2 / 6, 4: math.pi**4 / 90, 6: math.pi**6 / 945,
              8: math.pi**8 / 9450, 10: math.pi**10 / 93555}


def _full_moment(n):
    if n == 0:
        return 1.0
    if n % 2:
        return 0.0
    return 2 * math.factorial(n) * (1 - 2.0 ** (1 - n)) * _ZETA_EVEN[n]


@lru_cache(maxsize=None)
def _cases():
    """{(loc, scale, param): (x, closed19, exact)} as float arrays."""
    rows = defaultdict(list)
    with open(DATA, newline="") as fh:
        for r in csv.DictReader(fh):
            key = (float(r["loc"]), float(r["scale"]),
                   tuple(float(v) for v in r["param"].split()))
            assert len(key[2]) == int(r["m"])
            rows[key].append((float(r["x"]), float(r["closed19"]), float(r["exact"])))
    return {k: tuple(np.array(col) for col in zip(*v)) for k, v in rows.items()}


def condition(loc, scale, param, u):
    """Rounding amplification of F at distance u from loc, in units of eps.

    F = sum_j a_j sum_n binom(j, n) loc^(j-n) scale^n I_n(y) / S, with a_j the
    coefficients of p^2, I_n the partial moments and S the total mass.  I_n
    is a sum of terms of size at most n! (half-line moment) and
    n! u^i / i!, i <= n, times the tail factor 1 - G(u) or a polylogarithm
    at -e^(-u), all at most 1.  The tail factor and Li_1 are formed as
    0.5 tanh(u/2) - 0.5 and -log(1 + e^(-u)), which cancel: their absolute
    error is about eps whatever their size, but no more than their value,
    about e^(-u).  So the error of I_n is a few eps times
    E_n = n! (1 + w sum_{i<=n} u^i / i!), w = min(1, e^(-u) / eps).  Taking
    absolute values through the two sums and dividing by S gives the
    amplification; the division by S adds the relative error of S, which is
    bounded by the same quantity since |F| <= 1 and M_n <= E_n.
    """
    p = list(param) + ([0.0] if len(param) == 1 else [])  # m = 1: constant p
    deg = 2 * len(p) - 2
    a_abs = np.convolve(np.abs(p), np.abs(p))
    col = np.array([[math.comb(j, n) * loc ** (j - n) * scale**n if n <= j else 0.0
                     for n in range(deg + 1)] for j in range(deg + 1)])
    total = np.convolve(p, p) @ col @ np.array([_full_moment(n) for n in range(deg + 1)])
    u = np.atleast_1d(u)
    w = np.minimum(1.0, np.exp(-u) / EPS)
    e_n = [np.ones_like(u)]
    for n in range(1, deg + 1):
        series = sum(u**i / math.factorial(i) for i in range(n + 1))
        e_n.append(math.factorial(n) * (1 + w * series))
    return (a_abs @ np.abs(col) @ np.array(e_n)) / total


# Measured worst ratio |F - closed19| / (eps (1 + condition)) over the table is
# about 1.0, attained at u of 40, where the tail factor rounds to 0 and a tail
# term of size e^(-u) u^n is lost whole; 4 leaves room for the few roundings
# that each term of the sums adds on top.
C_ROUND = 4


def rounding_tolerance(loc, scale, param, u):
    return C_ROUND * EPS * (1 + condition(loc, scale, param, u))


@lru_cache(maxsize=None)
def _evaluated(key):
    loc, scale, param = key
    x, closed19, exact = _cases()[key]
    got = cdf(x, loc, scale, np.array(param))
    u = np.abs((x - loc) / scale)
    return x, u, got, closed19, exact, rounding_tolerance(loc, scale, param, u)


def _case_id(key):
    loc, scale, param = key
    return f"m{len(param)}-loc{loc:g}-scale{scale:g}-p" + "_".join(f"{c:g}" for c in param)


@pytest.mark.parametrize("key", sorted(_cases()), ids=_case_id)
def test_matches_closed_form_within_rounding(key):
    x, u, got, closed19, _, tol = _evaluated(key)
    err = np.abs(got - closed19)
    bad = err > tol
    assert not bad.any(), [  # (x, got, closed19, error, tolerance)
        tuple(map(float, row)) for row in
        zip(x[bad], got[bad], closed19[bad], err[bad], tol[bad])]


# Truncation error bound per bin of u.  The part of the order-s series left
# out is at most e^(-20u) / 20^s, so the error falls by about e^(-20 du) from
# bin to bin; the worst case is a linear p, whose mass sits in the lowest
# moments, at the near edge of each bin.  Each bound is about 1.5 times the
# largest error over the table (7.98e-4 at loc, 3.0e-4 at u = 0.05, 1.13e-4,
# 6.0e-6, 4.45e-8, 2.35e-12); beyond u = 1.5 the truncation is below 1e-16
# and only rounding is left.
TRUNCATION_BINS = [
    (0.0, 0.05, 1.2e-3),
    (0.05, 0.1, 4.5e-4),
    (0.1, 0.25, 1.7e-4),
    (0.25, 0.5, 9e-6),
    (0.5, 1.0, 7e-8),
    (1.0, 1.5, 4e-12),
    (1.5, 25.0, 2e-16),
    (25.0, math.inf, 2e-16),
]


def _rows_in_bin(lo, hi):
    for key in sorted(_cases()):
        x, u, got, closed19, exact, tol = _evaluated(key)
        sel = (u >= lo) & (u < hi)
        for i in np.flatnonzero(sel):
            yield key, x[i], got[i], closed19[i], exact[i], tol[i]


@pytest.mark.parametrize("lo,hi,bound", TRUNCATION_BINS,
                         ids=[f"u{lo:g}-{hi:g}" for lo, hi, _ in TRUNCATION_BINS])
def test_truncation_error_profile(lo, hi, bound):
    rows = list(_rows_in_bin(lo, hi))
    assert len(rows) >= 20
    bad = [(_case_id(k), float(x), float(g), float(e)) for k, x, g, _, e, tol in rows
           if abs(g - e) > bound + tol]
    assert not bad, bad


def accuracy_table():
    """Lines of the max abs error per u-bin, against exact and closed19."""
    lines = [f"{'u bin':>11} {'rows':>5} {'vs exact':>10} {'vs closed19':>12}"
             f" {'rounding/bound':>15}  worst case vs exact"]
    for lo, hi, _ in TRUNCATION_BINS:
        rows = list(_rows_in_bin(lo, hi))
        ex = max(rows, key=lambda r: abs(r[2] - r[4]))
        c19 = max(abs(g - c) for _, _, g, c, _, _ in rows)
        ratio = max(abs(g - c) / t for _, _, g, c, _, t in rows)
        lines.append(f"{lo:>5g}-{hi:<5g} {len(rows):>5} {abs(ex[2] - ex[4]):>10.3g}"
                     f" {c19:>12.3g} {ratio:>15.2f}  {_case_id(ex[0])} x={float(ex[1])!r}")
    return lines


if __name__ == "__main__":
    print("\n".join(accuracy_table()))
