"""Gradients, interval probabilities and moments against their references.

tests/data/accurate_derivatives.csv, accurate_intervals.csv and
accurate_moments.csv (tests/make_accurate_reference.py) hold, at 60 digits,
the derivatives of log cdf, log sf and log pdf, the probabilities of
intervals with the derivatives of their logarithm, and the moments.  Each
derivative g_v must be within 1e-10 (|g_v| + N_v), N_v = |f| / scale for x,
loc and scale (and the ends of an interval), |f| / ||param|| for the
coefficients, with |f| = 1 for the logarithms.
"""

import csv
import os

import mpmath
import numpy as np
import pytest

from distribution import accurate

EPS = np.finfo(np.float64).eps
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def table(name):
    with open(os.path.join(DATA, name)) as fh:
        return list(csv.DictReader(fh))


def row_inputs(r):
    m = int(r["m"])
    return m, float.fromhex(r["loc"]), float.fromhex(r["scale"]), np.array([float.fromhex(r[f"a{j}"]) for j in range(m)])


def close(got, want, N):
    """|got - want| <= 1e-10 (|got| + N) where the reference is finite (and
    2^-1000 absolutely: a derivative of a subnormal value is 0 to its
    resolution)."""
    want = np.asarray(want, dtype=float)
    finite = np.isfinite(want)
    return (np.abs(got - want) <= 1e-10 * (np.abs(got) + N) + 2.0**-1000)[finite]


DERIVATIVES = table("accurate_derivatives.csv")


@pytest.mark.parametrize("name", ["cdf", "sf", "pdf", "logcdf", "logsf", "logpdf"])
def test_gradients_against_the_reference(name):
    log_name = name if name.startswith("log") else "log" + name
    for r in DERIVATIVES:
        m, loc, scale, param = row_inputs(r)
        x = float.fromhex(r["x"])
        value, *g = getattr(accurate, name + "_grad")([x], loc, scale, param)
        if np.isinf(value[0]):  # log 0 at a root of p: no derivative there
            continue
        # The reference holds d log f; d f = f d log f.
        f = 1.0 if name.startswith("log") else abs(value[0])
        per = 1.0 if name.startswith("log") else value[0]
        got = np.concatenate([g[0], g[1], g[2], g[3][0]])
        want = [per * float(r[f"{log_name}_d{v}"]) for v in ["x", "loc", "scale"] + [f"a{j}" for j in range(m)]]
        N = np.array([f / scale] * 3 + [f / np.linalg.norm(param)] * m)
        ok = close(got, want, N)
        assert ok.all(), (name, m, loc, scale, param, x, got, want)


@pytest.mark.parametrize("name", ["cdf", "sf", "pdf", "logcdf", "logsf", "logpdf"])
def test_gradients_value_is_the_function_and_invariant_in_the_scale_of_p(name):
    rng = np.random.default_rng(3)
    for m in range(1, 7):
        loc, scale, param = rng.normal(0, 2, 30), np.exp(rng.normal(0, 0.7, 30)), rng.normal(size=(30, m))
        x = loc[:, None] + scale[:, None] * rng.uniform(-20, 20, (30, 9))
        with np.errstate(all="ignore"):
            value, d_x, d_loc, d_scale, d_param = getattr(accurate, name + "_grad")(x, loc, scale, param)
            np.testing.assert_array_equal(value, getattr(accurate, name)(x, loc, scale, param))
        # p and c p are one distribution: sum_j a_j df/da_j = 0.
        f = 1.0 if name.startswith("log") else np.abs(value)
        total = np.abs(np.einsum("rnj,rj->rn", d_param, param))
        assert (total <= 1e-12 * (f + np.einsum("rnj,rj->rn", np.abs(d_param), np.abs(param)))).all()


INTERVALS = table("accurate_intervals.csv")


def test_intervals_against_the_reference():
    for r in INTERVALS:
        m, loc, scale, param = row_inputs(r)
        a, b = float.fromhex(r["a"]), float.fromhex(r["b"])
        kappa, P = float(r["kappa"]), mpmath.mpf(r["P"])
        got = accurate.probability_between([a], [b], loc, scale, param)[0]
        assert abs(got - float(P)) <= (64 + 8 * kappa) * EPS * float(P) + 4 * 2.0**-1074, (r, got)
        value, d_a, d_b, d_loc, d_scale, d_param = accurate.log_probability_between_grad([a], [b], loc, scale, param)
        log_P = float(r["log_P"])
        assert value[0] == accurate.log_probability_between([a], [b], loc, scale, param)[0]
        assert abs(value[0] - log_P) <= (64 + 8 * kappa) * EPS + np.spacing(abs(log_P)), (r, value)
        got = np.concatenate([d_a, d_b, d_loc, d_scale, d_param[0]])
        want = [float(r[k]) for k in ["d_a", "d_b", "d_loc", "d_scale"] + [f"d_a{j}" for j in range(m)]]
        N = np.array([1 / scale] * 4 + [1 / np.linalg.norm(param)] * m)
        assert close(got, want, N).all(), (r, got, want)


@pytest.mark.parametrize("a, b, want", [(3.0, 2.0, -np.inf), (1.0, 1.0, -np.inf), (-np.inf, np.inf, 0.0),
                                        (np.nan, 1.0, np.nan), (-np.inf, -np.inf, -np.inf)])
def test_intervals_ends_quietly(a, b, want):
    with np.errstate(divide="raise", over="raise", invalid="raise"):
        out = accurate.log_probability_between_grad([a], [b], 0.3, 1.7, [1.0, 0.5, 0.2])
    np.testing.assert_array_equal(out[0], [want])
    assert all(np.isnan(o).all() for o in out[1:]) if np.isnan(want) else all((o == 0).all() for o in out[1:])


@pytest.mark.parametrize("m", range(1, 7))
def test_narrow_intervals_agree_with_their_tails_and_ends(m):
    """An interval of at most one scale unit is integrated: above loc, below it
    and across it, P is the difference of the tails to their own rounding;
    d/da and d/db are -+pdf / P, and d/dloc, d/dscale the central differences."""
    rng = np.random.default_rng(m)
    param, loc, scale = rng.normal(size=m), 0.3, 1.7
    y = np.concatenate([rng.uniform(-40, 40, 400), rng.uniform(-1, 0, 100)])
    a = loc + scale * y
    b = a + scale * rng.uniform(0.05, 1.0, y.size)
    P = accurate.probability_between(a, b, loc, scale, param)
    cdf_a, sf_b = accurate.cdf(a, loc, scale, param), accurate.sf(b, loc, scale, param)
    sf_a, cdf_b = accurate.sf(a, loc, scale, param), accurate.cdf(b, loc, scale, param)
    tails = np.where(a >= loc, sf_a - sf_b, np.where(b < loc, cdf_b - cdf_a, 1 - cdf_a - sf_b))
    near = np.where(a >= loc, sf_a, np.where(b < loc, cdf_b, 1.0))
    assert (np.abs(P - tails) <= 1e-13 * near).all()
    _, d_a, d_b, d_loc, d_scale, _ = accurate.log_probability_between_grad(a, b, loc, scale, param)
    np.testing.assert_allclose(d_a, -accurate.pdf(a, loc, scale, param) / P, rtol=1e-13)
    np.testing.assert_allclose(d_b, accurate.pdf(b, loc, scale, param) / P, rtol=1e-13)
    h = 1e-6
    for got, step in [(d_loc, (h, 0.0)), (d_scale, (0.0, h))]:
        ends = [accurate.log_probability_between(a, b, loc + e * step[0], scale + e * step[1], param) for e in (1, -1)]
        assert (np.abs(got - (ends[0] - ends[1]) / (2 * h)) <= 3e-8 * (1 + np.abs(d_a) + np.abs(d_b)) * (1 + y * y)).all()


MOMENTS = table("accurate_moments.csv")


def test_moments_against_the_reference():
    for r in MOMENTS:
        m, loc, scale, param = row_inputs(r)
        mean, var = float(r["mean"]), float(r["var"])
        assert abs(accurate.mean(loc, scale, param) - mean) <= 2.0**-44 * (abs(mean) + scale), r
        assert abs(accurate.var(loc, scale, param) - var) <= 2.0**-44 * var, r
        if loc == 0:  # the raw moments are scale^k E[t^k] there, with nothing to cancel
            got = accurate.moment(np.arange(13.0), loc, scale, param)
            want = np.array([float(r[f"moment{k}"]) for k in range(13)])
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-300)


def test_moments_of_other_orders_are_nan():
    np.testing.assert_array_equal(np.isnan(accurate.moment([-1.0, 2.5, 13.0, np.nan, 12.0], 0.0, 1.0, [1.0, 0.5])),
                                  [True, True, True, True, False])
