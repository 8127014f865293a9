"""Generate the high-precision reference table tests/data/reference.csv.

The distribution function of the polynomially adjusted logistic law is

    F(x) = int_{-inf}^{y} p(loc + scale t)^2 f(t) dt / int_R p(loc + scale t)^2 f(t) dt,

with y = (x - loc)/scale, f the standard logistic density and p the
polynomial with coefficients `param`.  Writing q(t) = p(loc + scale t)^2 =
sum_n beta_n t^n, F is a ratio of sums of partial moments
I_n(y) = int_{-inf}^{y} t^n f(t) dt against the full moments M_n.  With
u = |y| and z = -exp(-u) the upper-tail moments have the closed form

    T_n(u) = u^n (1 - G(u)) - sum_{l=0}^{n-1} n!/(n-1-l)! u^(n-1-l) Li_{l+1}(z)

(repeated integration by parts; Li_s is the polylogarithm, G the logistic
distribution function), and I_n(y) = M_n - T_n(u) for y >= 0 while
I_n(y) = (-1)^n T_n(u) for y < 0 by the symmetry of f.  The full moments are
M_0 = 1, M_n = 0 for odd n and M_n = 2 n! eta(n) for even n.

Two values are written for every case, both computed in mpmath from the exact
double inputs, without any intermediate rounding to double:

* closed19: the closed form with Li_s (s >= 2) replaced by the first 19 terms
  of its power series (Li_1 = -log(1 - z) is kept exact).  This is what the
  library evaluates, so the library differs from it by rounding only.
* exact: the closed form with the full polylogarithms, i.e. the true F.  It is
  checked against direct quadrature of the defining integrals on a subset of
  the rows.

Run from anywhere:  python tests/make_reference.py
"""

import csv
import os
import sys
import time

import mpmath
from mpmath import mp, mpf

mp.dps = 60

SERIES_TERMS = 19
QUAD_TOL = mpf("1e-30")

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "reference.csv")


def li_truncated(s, z):
    """Polylogarithm of order s at z: exact for s = 1, else 19 series terms."""
    if s == 1:
        return -mpmath.log(1 - z)
    return mpmath.fsum(z**j / mpf(j) ** s for j in range(1, SERIES_TERMS + 1))


def li_exact(s, z):
    if s == 1:
        return -mpmath.log(1 - z)
    return mpmath.polylog(s, z)


def poly_mul(a, b):
    out = [mpf(0)] * (len(a) + len(b) - 1)
    for i, ai in enumerate(a):
        for j, bj in enumerate(b):
            out[i + j] += ai * bj
    return out


def squared_in_t(loc, scale, param):
    """Coefficients beta_n of p(loc + scale t)^2 in ascending powers of t."""
    lin = [loc, scale]
    q = [mpf(0)]
    for c in reversed(param):  # Horner in the polynomial ring
        q = poly_mul(q, lin)
        q[0] += c
    return poly_mul(q, q)


def full_moment(n):
    if n == 0:
        return mpf(1)
    if n % 2:
        return mpf(0)
    return 2 * mpmath.factorial(n) * mpmath.altzeta(n)


def closed_form(beta, y, li):
    """F from the partial moments, using `li(s, z)` for the polylogarithms."""
    deg = len(beta) - 1
    u = abs(y)
    z = -mpmath.exp(-u)
    tail = 1 / (1 + mpmath.exp(u))  # 1 - G(u)
    lis = [None] + [li(s, z) for s in range(1, deg + 1)]
    moments = [full_moment(n) for n in range(deg + 1)]
    partial = [1 - tail if y >= 0 else tail]  # I_0 = G(y)
    for n in range(1, deg + 1):
        t_n = u**n * tail - mpmath.fsum(
            mpmath.factorial(n) / mpmath.factorial(n - 1 - l) * u ** (n - 1 - l) * lis[l + 1]
            for l in range(n)
        )
        partial.append(moments[n] - t_n if y >= 0 else (-1) ** n * t_n)
    num = mpmath.fsum(b * i for b, i in zip(beta, partial))
    den = mpmath.fsum(b * mom for b, mom in zip(beta, moments))
    return num / den


def logistic_density(t):
    e = mpmath.exp(-abs(t))
    return e / (1 + e) ** 2


_TOTALS = {}


def by_quadrature(loc, scale, coeffs, y):
    """F by numerical integration of the definition (in the variable t).

    The integrand evaluates p(loc + scale t) from the coefficients directly,
    so this also checks the expansion into the beta_n.
    """

    def g(t):
        return mpmath.polyval(coeffs[::-1], loc + scale * t) ** 2 * logistic_density(t)

    key = (loc, scale, tuple(coeffs))
    if key not in _TOTALS:  # the total mass depends on the case only
        _TOTALS[key] = mpmath.quad(g, [-mpmath.inf, -10, 0, 10, mpmath.inf])
    total = _TOTALS[key]
    # integrate over the shorter side so that tiny tails keep full accuracy
    if y < 0:
        pts = [-mpmath.inf] + ([y - 20] if y > -20 else []) + [y]
        return mpmath.quad(g, pts) / total
    pts = [y] + ([y + 20] if y < 20 else []) + [mpmath.inf]
    return 1 - mpmath.quad(g, pts) / total


# --------------------------------------------------------------------------
# The cases.  Points are placed at distance u (in scale units) on both sides
# of loc, plus loc itself; u runs from next to loc, where the series
# truncation shows most, out to the far tails.
U_GRID = [1e-6, 0.01, 0.03, 0.05, 0.07, 0.1, 0.15, 0.25, 0.35, 0.5, 0.7,
          1.0, 1.25, 1.5, 2.0, 3.5, 6.0, 10.0, 20.0, 30.0, 35.0, 40.0]
U_FAR = [100.0, 700.0]

# (param, loc, scale, extra points, use far-tail points)
CASES = [
    ((1.0, 0.0), 0.0, 1.0, [-2.0, 2.0], True),            # plain logistic
    ((2.5,), -1.3, 0.8, [], False),                        # m = 1: constant p
    ((1.0, 0.5), 0.3, 1.7, [3.0, -3.0, 0.3], False),
    ((1.0, 0.5), 0.3, -1.7, [3.0, -3.0, 0.3], False),      # negative scale
    ((0.0, 1.0), 0.0, 1.0, [0.0, -1e-12, -5e-324], False),  # p(v) = v
    ((1.0, 0.0, 0.3), 0.0, 1.0, [0.2, -0.2, 1.0, -1.0, 3.0, -3.0], False),
    ((1.0, 0.2), 0.0, 1.0, [40.0, -40.0], True),
    ((0.5, 0.3, 0.1, 0.05, 0.01, 0.002), 0.0, 1.0, [8.0], True),
    ((0.5, 0.3, 0.1, 0.05, 0.01, 0.002), 1.0, -0.7, [], False),
    ((1.0, -0.5, 0.2, 0.1), 2.0, 0.5, [], False),
    ((0.3, 1.0, -0.4, 0.05, 0.02), -1.0, 2.0, [], True),
    ((0.3, 1.0, -0.4, 0.05, 0.02), 3.0, -1.5, [], False),
    ((2.0, -1.0, 0.25), 5.0, 1.0, [], False),               # |loc|/scale = 5
    ((1.0, 0.3, -0.2, 0.04), -4.0, 0.5, [], False),         # |loc|/scale = 8
    ((1.0, 0.0, 0.0, 0.0, 0.0, 0.1), 2.0, 0.5, [], False),   # |loc|/scale = 4
]


def case_points(loc, scale, extra, far):
    us = U_GRID + (U_FAR if far else [])
    xs = [loc]
    for u in us:
        d = u * abs(scale)
        xs += [loc - d, loc + d]
    xs += [x for x in extra if x not in xs]
    return xs


def main():
    start = time.time()
    rows = []
    checked = 0
    worst = mpf(0)
    for param, loc, scale, extra, far in CASES:
        m = len(param)
        padded = list(param) + ([0.0] if m == 1 else [])  # m = 1: constant p
        coeffs = [mpf(c) for c in padded]
        beta = squared_in_t(mpf(loc), mpf(scale), coeffs)
        for idx, x in enumerate(case_points(loc, scale, extra, far)):
            y = (mpf(x) - mpf(loc)) / mpf(scale)
            closed19 = closed_form(beta, y, li_truncated)
            exact = closed_form(beta, y, li_exact)
            # every third point, and all points next to loc, by quadrature
            if idx % 3 == 0 or abs(y) < 0.05:
                quad = by_quadrature(mpf(loc), mpf(scale), coeffs, y)
                diff = abs(quad - exact)
                worst = max(worst, diff)
                assert diff < QUAD_TOL, (param, loc, scale, x, exact, quad)
                checked += 1
            rows.append((m, loc, scale, param, x, closed19, exact))

    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w", newline="") as fh:
        w = csv.writer(fh, lineterminator="\n")
        w.writerow(["m", "loc", "scale", "param", "x", "closed19", "exact"])
        for m, loc, scale, param, x, c19, ex in rows:
            w.writerow([m, repr(loc), repr(scale), " ".join(repr(c) for c in param),
                        repr(x), mpmath.nstr(c19, 20), mpmath.nstr(ex, 20)])
    print(f"{len(rows)} rows -> {OUT}; {checked} checked by quadrature "
          f"(max |quad - exact| = {mpmath.nstr(worst, 3)}); "
          f"{time.time() - start:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
