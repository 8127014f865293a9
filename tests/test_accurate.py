"""The accurate family: true values, properties, quantiles and invalid rows.

tests/data/accurate_reference.csv (tests/make_accurate_reference.py) holds
true cdf, sf and pdf values at 50 digits, each tail computed directly and
cross-checked against quadrature, with the condition number kappa of each.
Values must be within (64 + 8 kappa) eps of them, relatively; logarithms
within the same bound, absolutely, plus their own rounding.
"""

import csv
import doctest
import os
import warnings

import mpmath
import numpy as np
import pytest

from distribution import accurate

EPS = np.finfo(np.float64).eps
TINY = 4 * 2.0**-1074  # the resolution of subnormal results
FUNCTIONS = ["cdf", "sf", "logcdf", "logsf", "pdf", "logpdf", "ppf", "isf"]
REFERENCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "accurate_reference.csv")


def load():
    with open(REFERENCE) as fh:
        rows = list(csv.DictReader(fh))
    by_m = {}
    for r in rows:
        m = int(r["m"])
        param = [float.fromhex(r[f"a{i}"]) for i in range(m)]
        by_m.setdefault(m, []).append(
            (float.fromhex(r["loc"]), float.fromhex(r["scale"]), param, float.fromhex(r["x"]),
             {k: mpmath.mpf(r[k]) for k in ("cdf", "sf", "pdf")},
             {k: float(r[f"kappa_{k}"]) for k in ("cdf", "sf", "pdf")}))
    return by_m


ROWS = load() if os.path.exists(REFERENCE) else {}


def evaluate(name, m):
    """The function at every reference row of m, as rows of one point."""
    loc, scale, param, x, want, kappa = zip(*ROWS[m])
    got = getattr(accurate, name)(np.array(x)[:, None], np.array(loc), np.array(scale), np.array(param))
    return got[:, 0], want, kappa


@pytest.mark.parametrize("m", range(1, 7))
@pytest.mark.parametrize("name", ["cdf", "sf", "pdf"])
def test_values_against_the_reference(name, m):
    got, want, kappa = evaluate(name, m)
    for g, w, k in zip(got, want, kappa):
        bound = (64 + 8 * k[name]) * EPS * float(abs(w[name])) + TINY
        assert abs(g - float(w[name])) <= bound, (name, m, g, w[name], k[name])


@pytest.mark.parametrize("m", range(1, 7))
@pytest.mark.parametrize("name", ["logcdf", "logsf", "logpdf"])
def test_logarithms_against_the_reference(name, m):
    got, want, kappa = evaluate(name, m)
    base = name[3:]
    for g, w, k in zip(got, want, kappa):
        truth = float(mpmath.log(w[base])) if w[base] > 0 else -np.inf
        if np.isinf(truth):
            assert g == truth
            continue
        # plus the rounding of the logarithm itself, where it is large
        assert abs(g - truth) <= (64 + 8 * k[base]) * EPS + np.spacing(abs(truth)), (name, m, g, truth, k[base])


def test_reference_covers_the_ranges():
    assert {m for m in ROWS} == set(range(1, 7))
    points = [(x - loc) / scale for rows in ROWS.values() for loc, scale, _, x, _, _ in rows]
    assert min(points) <= -1e4 and max(points) >= 1e4
    assert any(abs(y) < 1e-200 for y in points)
    assert any(w["cdf"] < 1e-300 for rows in ROWS.values() for *_, w, _ in rows)


def random_rows(m, count, seed, balanced=False):
    """Rows with their own loc, scale and normal coefficients; balanced: only
    rows with at least 5% of their mass on each side of loc (lopsided rows
    keep an error of about an ulp of 1 across loc, see the README)."""
    rng = np.random.default_rng(seed)
    rows = []
    while len(rows) < count:
        loc, scale, param = rng.normal(0.0, 3.0), np.exp(rng.normal(0.0, 1.0)), rng.normal(size=m)
        if not balanced or 0.05 <= accurate.cdf([loc], loc, scale, param)[0] <= 0.95:
            rows.append((loc, scale, param))
    loc, scale, param = zip(*rows)
    return np.array(loc), np.array(scale), np.array(param)


@pytest.mark.parametrize("balanced", [True, False])
@pytest.mark.parametrize("m", range(1, 7))
def test_range_and_sum(m, balanced):
    loc, scale, param = random_rows(m, 50, seed=m, balanced=balanced)
    y = np.concatenate([np.linspace(-60, 60, 241), [0.0, -1e-300, 1e-300, 800.0, -800.0]])
    x = loc[:, None] + scale[:, None] * y
    F, S = accurate.cdf(x, loc, scale, param), accurate.sf(x, loc, scale, param)
    assert ((F >= 0) & (F <= 1) & (S >= 0) & (S <= 1)).all()
    np.testing.assert_array_less(np.abs(F + S - 1), 4 * EPS)
    np.testing.assert_allclose(np.exp(accurate.logcdf(x, loc, scale, param)), F, rtol=1e-14, atol=0)


def ulp(v):
    return np.spacing(np.abs(v))


@pytest.mark.parametrize("m", range(1, 7))
@pytest.mark.parametrize("grid", ["wide", "across loc", "adjacent floats"])
def test_monotone_with_no_jump_at_loc(m, grid):
    loc, scale, param = random_rows(m, 20, seed=10 + m, balanced=True)
    for r in range(len(loc)):
        if grid == "wide":
            x = np.sort(loc[r] + scale[r] * np.random.default_rng(r).uniform(-40, 40, 4000))
        elif grid == "across loc":
            x = loc[r] + scale[r] * np.linspace(-1e-3, 1e-3, 2001)
        else:
            x = loc[r] + np.arange(-300, 301) * abs(np.spacing(loc[r]))
        F = accurate.cdf(x, loc[r], scale[r], param[r])
        assert (np.diff(F) >= -2 * ulp(F[1:])).all(), (m, grid, r, np.diff(F).min())


@pytest.mark.parametrize("param", [[0.5, 0.3, 0.1, 0.05, 0.01, 0.002], [1.0, -0.8, 0.0, 0.7, -0.1, -0.1],
                                   [0.0, 0.0, 0.0, 0.0, 0.0, 1.0], [1.0, -0.5, 0.2, 0.1]])
@pytest.mark.parametrize("loc, scale", [(0.0, 1.0), (0.3, 1.7)])
def test_monotone_on_adjacent_floats_within_a_scale_of_loc(param, loc, scale):
    """Where F is flat to its last bits (p's roots, far from its mass), the
    values of neighbouring floats differ by rounding alone.  (Rows with
    nearly all their mass on one side of loc are not held to this: see the
    README.)"""
    for y in (-0.9, -0.5, -0.27, -0.1, 0.2, 0.6):
        x0 = loc + scale * y
        F = accurate.cdf(x0 + np.arange(-300, 301) * np.spacing(abs(x0)), loc, scale, param)
        assert (np.diff(F) >= -2 * ulp(F[1:])).all(), (y, np.min(np.diff(F) / ulp(F[1:])))


@pytest.mark.parametrize("m", range(1, 7))
@pytest.mark.parametrize("name", ["ppf", "isf"])
def test_quantiles_invert(name, m):
    """At the quantile, the smaller side (cdf against q or sf against 1 - q
    for ppf, the reverse for isf) is its target to a few ulp, plus what the
    spacing of x allows; across loc that side is 1 minus a tail, and keeps an
    absolute error of an ulp of 1."""
    loc, scale, param = random_rows(m, 12, seed=20 + m, balanced=True)
    rng = np.random.default_rng(m)
    q = np.concatenate([rng.uniform(0, 1, 60), 10.0 ** -rng.uniform(0, 300, 30),
                        1 - 10.0 ** -rng.uniform(1, 15, 10), [0.5]])
    x = getattr(accurate, name)(np.broadcast_to(q, (12, q.size)), loc, scale, param)
    lower = (q <= 0.5) == (name == "ppf")  # the smaller side is the cdf
    got = np.where(lower, accurate.cdf(x, loc, scale, param), accurate.sf(x, loc, scale, param))
    target = np.minimum(q, 1 - q)
    density = accurate.pdf(x, loc, scale, param)
    y = (x - loc[:, None]) / scale[:, None]
    spacing = np.maximum(np.spacing(np.abs(x)), scale[:, None] * np.spacing(np.abs(y)))
    across = np.where(lower, y >= 0, y < 0)
    allowed = 16 * EPS * np.where(across, 1.0, target) + 4 * density * spacing
    assert (np.abs(got - target) <= allowed).all(), np.max(np.abs(got - target) / allowed)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(
    "loc, scale, param",
    [(0.0, 0.0, [1.0]), (0.0, -1.0, [1.0, 0.5]), (np.nan, 1.0, [1.0]), (np.inf, 1.0, [1.0]),
     (0.0, np.nan, [1.0]), (0.0, np.inf, [1.0]), (0.0, 1.0, [0.0, 0.0, 0.0]),
     (0.0, 1.0, [1.0, np.nan]), (0.0, 1.0, [1.0, -np.inf])],
)
def test_invalid_rows_give_nan_quietly(name, loc, scale, param):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = getattr(accurate, name)([0.25, 0.5, -3.0, np.inf, np.nan], loc, scale, param)
    assert np.isnan(out).all()


@pytest.mark.parametrize(
    "name, expected",
    [("cdf", [0.0, 1.0, np.nan]), ("sf", [1.0, 0.0, np.nan]), ("logcdf", [-np.inf, 0.0, np.nan]),
     ("logsf", [0.0, -np.inf, np.nan]), ("pdf", [0.0, 0.0, np.nan]), ("logpdf", [-np.inf, -np.inf, np.nan])],
)
def test_limits_at_infinity(name, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = getattr(accurate, name)([-np.inf, np.inf, np.nan], 0.3, 1.7, [1.0, 0.5, 0.2])
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("x, loc, scale, param, want", [
    (0.0, 0.0, 1e300, [1.0, 0.0, 1e-10], -3413.0290114836582),  # a coefficient scaled below the range
    (1e-100, 0.0, 1.0, [0.0, 0.0, 0.0, 0.0, 0.0, 1.0], -2319.7679861548309),  # p underflows at a root
    (-1e300, 0.0, 1e298, [1.0, 2.0], -778.15086482328013),
])
def test_logpdf_finite_where_the_density_underflows(x, loc, scale, param, want):
    got = accurate.logpdf([x], loc, scale, param)[0]
    assert abs(got - want) <= 8 * EPS * abs(want), (got, want)


@pytest.mark.parametrize("name, ends", [("ppf", [-np.inf, np.inf]), ("isf", [np.inf, -np.inf])])
def test_quantile_ends_and_outside(name, ends):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = getattr(accurate, name)([0.0, 1.0, -0.1, 1.1, np.nan], 0.3, 1.7, [1.0, 0.5])
    np.testing.assert_array_equal(out, ends + [np.nan] * 3)


UFUNCS = [name for name, f in vars(accurate).items() if isinstance(f, np.ufunc)]


def call(name, m):
    """A call of the function with m coefficients, by its signature."""
    f = getattr(accurate, name)
    points = f.signature.split("->")[0].count("(n)")
    scalars = f.nin - 3 - points
    return f(*[[0.5]] * points, *[2.0] * scalars, 0.0, 1.0, np.ones(m))


@pytest.mark.parametrize("name", UFUNCS)
@pytest.mark.parametrize("m", [0, 7])
def test_unsupported_lengths_are_refused(name, m):
    with pytest.raises(ValueError, match=rf"{name}: param must have from 1 to 6 coefficients.*got {m}\b"):
        call(name, m)


@pytest.mark.parametrize("name", UFUNCS)
def test_docstring_examples(name):
    ufunc = getattr(accurate, name)
    assert f"Signature ``{ufunc.signature}``." in ufunc.__doc__
    for section in ("Parameters", "Returns", "Notes", "Examples"):
        assert f"\n{section}\n" in ufunc.__doc__
    test = doctest.DocTestParser().get_doctest(ufunc.__doc__, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0 and runner.tries > 0
