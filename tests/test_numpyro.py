"""distribution.numpyro: the NumPyro distributions built on distribution.jax.

Values must be the gufuncs' bits, broadcast over the batch; sample's derivatives those of the
implicit function theorem; the truncated density must integrate to 1 over its window; censored
likelihoods follow IntervalRegression's conventions; and NUTS on coefficients (1,) must find
what it finds with NumPyro's own Logistic.
"""

import os
import subprocess
import sys
import time

import numpy as np
import pytest

jax = pytest.importorskip("jax")
numpyro = pytest.importorskip("numpyro")
numpyro.enable_x64()
import jax.numpy as jnp  # noqa: E402
import numpyro.distributions as ndist  # noqa: E402
from numpyro.diagnostics import effective_sample_size  # noqa: E402

import distribution.numpyro as dn  # noqa: E402
from distribution import accurate  # noqa: E402

C = np.array([1.0, 0.5, -0.3])
LOC, SCALE = 0.2, 1.3
X = np.array([-40.0, -5.0, -1.1, 0.0, 0.2, 0.7, 3.0, 25.0])
Q = np.array([1e-300, 1e-9, 0.01, 0.3, 0.5, 0.9, 1 - 1e-12])
# A batch: loc (2,), scale (3, 1), one coefficient vector per scale row.
LOCS = np.array([0.2, -1.0])
SCALES = np.array([[1.3], [0.5], [2.0]])
CS = np.array([[[1.0, 0.5, -0.3]], [[1.0, -0.2, 0.1]], [[0.3, 1.0, 0.0]]])


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a, b)


METHODS = {"log_prob": "logpdf", "cdf": "cdf", "icdf": "ppf", "sf": "sf", "isf": "isf",
           "log_cdf": "logcdf", "log_sf": "logsf"}


@pytest.mark.parametrize("method", METHODS)
def test_values_are_the_gufuncs(method):
    points = Q if method in ("icdf", "isf") else X
    ufunc = getattr(accurate, METHODS[method])
    d = dn.AdjustedLogistic(C, LOC, SCALE)
    assert d.batch_shape == () and d.event_shape == ()
    assert same(getattr(d, method)(points), ufunc(points, LOC, SCALE, C))
    # Batched: values of shape sample + batch, each the gufunc's on its own row's parameters.
    db = dn.AdjustedLogistic(CS, LOCS, SCALES)
    assert db.batch_shape == (3, 2)
    v = np.broadcast_to(points[:4, None, None], (4, 3, 2))
    expected = ufunc(np.moveaxis(v, 0, -1), LOCS, SCALES, CS)       # (3, 2, 4)
    assert same(getattr(db, method)(v), np.moveaxis(expected, -1, 0))
    assert same(jax.jit(lambda v: getattr(db, method)(v))(v), np.moveaxis(expected, -1, 0))


def test_probability_between_and_moments_are_the_gufuncs():
    d = dn.AdjustedLogistic(C, LOC, SCALE)
    a, b = np.array([-np.inf, -1.0, 0.5]), np.array([0.0, 2.0, np.inf])
    assert same(d.log_probability_between(a, b), accurate.log_probability_between(a, b, LOC, SCALE, C))
    db = dn.AdjustedLogistic(CS, LOCS, SCALES)
    assert same(db.mean, accurate.mean(LOCS, SCALES, CS))
    assert same(db.variance, accurate.var(LOCS, SCALES, CS))
    assert same(d.mean, accurate.mean(LOC, SCALE, C))
    # The library has no derivatives of the moments: refused, not silently zero.
    with pytest.raises(NotImplementedError, match="mean"):
        jax.grad(lambda loc: dn.AdjustedLogistic(C, loc, SCALE).mean)(LOC)


def test_sample_is_the_quantile_of_a_uniform_with_implicit_derivatives():
    key = jax.random.key(7)
    u = jax.random.uniform(key, (5,), dtype=jnp.float64, minval=jnp.finfo(jnp.float64).tiny, maxval=1.0)

    def draw(loc, scale, c):
        return dn.AdjustedLogistic(c, loc, scale).sample(key, (5,))

    x = draw(LOC, SCALE, jnp.asarray(C))
    assert same(x, accurate.ppf(np.asarray(u), LOC, SCALE, C))
    d_loc, d_scale, d_c = jax.jacfwd(draw, argnums=(0, 1, 2))(LOC, SCALE, jnp.asarray(C))
    # dx/dtheta = -(dF/dtheta) / f at the drawn quantile ...
    _, f, F_loc, F_scale, F_c = accurate.cdf_grad(np.asarray(x), LOC, SCALE, C)
    np.testing.assert_allclose(d_loc, -F_loc / f, rtol=1e-13)
    np.testing.assert_allclose(d_scale, -F_scale / f, rtol=1e-13)
    np.testing.assert_allclose(d_c, -F_c / f[:, None], rtol=1e-13)
    # ... which is the derivative of icdf at fixed u (central differences).
    h = 1e-6
    u = np.asarray(u)
    fd_loc = (accurate.ppf(u, LOC + h, SCALE, C) - accurate.ppf(u, LOC - h, SCALE, C)) / (2 * h)
    fd_scale = (accurate.ppf(u, LOC, SCALE + h, C) - accurate.ppf(u, LOC, SCALE - h, C)) / (2 * h)
    np.testing.assert_allclose(d_loc, fd_loc, rtol=1e-6)
    np.testing.assert_allclose(d_scale, fd_scale, rtol=1e-6)
    for k in range(3):
        e = np.eye(3)[k] * h
        fd = (accurate.ppf(u, LOC, SCALE, C + e) - accurate.ppf(u, LOC, SCALE, C - e)) / (2 * h)
        np.testing.assert_allclose(d_c[:, k], fd, rtol=1e-6, atol=1e-9)
    # Batched draws have shape sample + batch and are each row's quantiles.
    db = dn.AdjustedLogistic(CS, LOCS, SCALES)
    xb = db.sample(key, (4,))
    assert xb.shape == (4, 3, 2)
    np.testing.assert_allclose(db.cdf(xb), jax.random.uniform(key, (4, 3, 2), dtype=jnp.float64,
                                                              minval=jnp.finfo(jnp.float64).tiny),
                               rtol=1e-12)


def test_samples_follow_the_distribution():
    d = dn.AdjustedLogistic(C, LOC, SCALE)
    x = np.asarray(d.sample(jax.random.key(0), (20000,)))
    # The empirical distribution function within 5 binomial standard errors of cdf.
    for t in (-3.0, -1.0, 0.0, 1.0, 4.0):
        p = accurate.cdf(np.array([t]), LOC, SCALE, C)[0]
        assert abs(np.mean(x <= t) - p) < 5 * np.sqrt(p * (1 - p) / x.size), t
    assert abs(x.mean() - float(d.mean)) < 5 * np.sqrt(float(d.variance) / x.size)


@pytest.mark.parametrize("low, high", [(-1.0, 2.0), (-np.inf, -3.0), (4.0, np.inf), (60.0, 61.0)])
def test_truncated_density_integrates_to_one(low, high):
    from scipy import integrate

    d = dn.AdjustedLogistic(C, LOC, SCALE)
    t = dn.Truncated(d, low, high)
    a = low if np.isfinite(low) else high - 10.0
    b = high if np.isfinite(high) else low + 10.0
    x = np.array([a + 0.25 * (b - a), a + 0.75 * (b - a)])
    log_mass = accurate.log_probability_between(np.array([low]), np.array([high]), LOC, SCALE, C)[0]
    assert same(t.log_prob(x), accurate.logpdf(x, LOC, SCALE, C) - log_mass)
    total, err = integrate.quad(lambda v: float(np.exp(t.log_prob(v))), low, high, epsabs=1e-11, epsrel=1e-11)
    assert abs(total - 1.0) < 1e-8
    with pytest.warns(UserWarning, match="support"):
        outside = t.log_prob(np.array([low - 1.0, high + 1.0]))
    assert np.all(outside == -np.inf)
    # Draws lie in the window, also far in the right tail, where they come from the survival side.
    s = np.asarray(t.sample(jax.random.key(2), (2000,)))
    assert np.all((s >= low) & (s <= high)) and np.unique(s).size == s.size
    mid = np.median(s)
    # icdf inverts the truncated cdf, which is 0 and 1 at the window's ends.
    q = np.array([0.01, 0.3, 0.5, 0.9])
    np.testing.assert_allclose(t.cdf(t.icdf(q)), q, rtol=1e-9)
    assert t.cdf(low) == 0.0 and abs(t.cdf(high) - 1.0) < 1e-15
    assert abs(np.exp(t.log_probability_between(-np.inf, mid)) - 0.5) < 5 * 0.5 / np.sqrt(s.size)


def test_truncated_sample_derivatives_by_finite_differences():
    key = jax.random.key(5)

    def draw(loc, low):
        return dn.Truncated(dn.AdjustedLogistic(jnp.asarray(C), loc, SCALE), low, 3.0).sample(key, (3,))

    g_loc, g_low = jax.jacfwd(draw, argnums=(0, 1))(LOC, -1.0)
    h = 1e-6
    np.testing.assert_allclose(g_loc, (draw(LOC + h, -1.0) - draw(LOC - h, -1.0)) / (2 * h), rtol=1e-6)
    np.testing.assert_allclose(g_low, (draw(LOC, -1.0 + h) - draw(LOC, -1.0 - h)) / (2 * h), rtol=1e-6)


def test_censored_log_prob_follows_interval_regression():
    d = dn.AdjustedLogistic(C, LOC, SCALE)
    lower = np.array([0.7, -np.inf, 1.5, -1.0, -np.inf])
    upper = np.array([0.7, 0.3, np.inf, 2.0, np.inf])
    ll = dn.censored_log_prob(d, lower, upper)
    expected = [accurate.logpdf(lower[:1], LOC, SCALE, C)[0], accurate.logcdf(upper[1:2], LOC, SCALE, C)[0],
                accurate.logsf(lower[2:3], LOC, SCALE, C)[0],
                accurate.log_probability_between(lower[3:4], upper[3:4], LOC, SCALE, C)[0], 0.0]
    np.testing.assert_allclose(ll, expected, rtol=1e-15, atol=0)
    assert same(ll[:1], accurate.logpdf(lower[:1], LOC, SCALE, C))
    assert same(dn.Censored(d).log_prob(np.stack([lower, upper], -1)), ll)
    # The unused branch of each row brings no NaN into the gradient.
    g = jax.grad(lambda loc, c: dn.censored_log_prob(dn.AdjustedLogistic(c, loc, SCALE), lower, upper).sum(),
                 argnums=(0, 1))(LOC, jnp.asarray(C))
    assert np.all(np.isfinite(g[0])) and np.all(np.isfinite(g[1]))
    # Truncated and censored together: log P(overlap) - log P(window), as IntervalRegression.
    t = dn.Truncated(d, -2.0, 5.0)
    got = dn.censored_log_prob(t, np.array([-np.inf, 0.0]), np.array([0.0, 0.0]))
    w = accurate.log_probability_between(np.array([-2.0]), np.array([5.0]), LOC, SCALE, C)[0]
    assert same(got, np.array([accurate.log_probability_between(np.array([-2.0]), np.array([0.0]), LOC, SCALE, C)[0] - w,
                               accurate.logpdf(np.array([0.0]), LOC, SCALE, C)[0] - w]))


def _posterior(make, y, seed=0):
    from numpyro.infer import MCMC, NUTS

    def model(y):
        loc = numpyro.sample("loc", ndist.Normal(0.0, 10.0))
        scale = numpyro.sample("scale", ndist.LogNormal(0.0, 2.0))
        numpyro.sample("y", make(loc, scale), obs=y)

    mcmc = MCMC(NUTS(model), num_warmup=300, num_samples=300, num_chains=1, progress_bar=False)
    mcmc.run(jax.random.key(seed), y)
    return mcmc.get_samples()


def test_nuts_with_one_coefficient_recovers_the_logistic():
    y = jnp.asarray(ndist.Logistic(1.5, 0.7).sample(jax.random.key(11), (200,)))
    start = time.perf_counter()
    ours = _posterior(lambda loc, scale: dn.AdjustedLogistic(jnp.ones(1), loc, scale), y)
    elapsed = time.perf_counter() - start
    start = time.perf_counter()
    theirs = _posterior(lambda loc, scale: ndist.Logistic(loc, scale), y)
    theirs_elapsed = time.perf_counter() - start
    for name in ("loc", "scale"):
        a, b = np.asarray(ours[name]), np.asarray(theirs[name])
        mcse = [np.std(v) / np.sqrt(effective_sample_size(v[None])) for v in (a, b)]
        assert abs(a.mean() - b.mean()) < 3 * np.hypot(*mcse), name
    assert abs(np.mean(ours["loc"]) - 1.5) < 0.3 and abs(np.mean(ours["scale"]) - 0.7) < 0.2
    print(f"NUTS, 300 + 300 draws: {elapsed:.1f} s through the host, {theirs_elapsed:.1f} s with Logistic")


def test_coefficients_with_p0_fixed_in_a_model():
    # The documented prior: p[0] = 1 and the others free; the model's log density is finite
    # and its gradient in the free coefficients is the gufunc's, through concatenate.
    from numpyro.infer.util import log_density

    y = jnp.array([-1.0, 0.3, 2.0])

    def model():
        a = numpyro.sample("a", ndist.Normal(0.0, 1.0).expand([2]))
        coefficients = jnp.concatenate([jnp.ones(1), a])
        numpyro.sample("y", dn.AdjustedLogistic(coefficients, LOC, SCALE), obs=y)

    def lp(a):
        return log_density(model, (), {}, {"a": a})[0]

    a = jnp.array([0.5, -0.3])
    g = jax.grad(lp)(a)
    d_c = accurate.logpdf_grad(np.asarray(y), LOC, SCALE, C)[4].sum(axis=0)
    np.testing.assert_allclose(g, d_c[1:] - a, rtol=1e-13)


def test_bad_arguments_name_them():
    with pytest.raises(ValueError, match="coefficients"):
        dn.AdjustedLogistic(np.ones(7), LOC, SCALE)
    with pytest.raises(ValueError, match="coefficients"):
        dn.AdjustedLogistic(1.0, LOC, SCALE)
    with pytest.raises(ValueError, match="coefficients"):
        dn.AdjustedLogistic(np.zeros(2), LOC, SCALE)
    with pytest.raises(ValueError, match="scale"):
        dn.AdjustedLogistic(C, LOC, -1.0)
    with pytest.raises(ValueError, match="loc"):
        dn.AdjustedLogistic(C, np.nan, SCALE)
    with pytest.raises(ValueError, match="loc and scale"):
        dn.AdjustedLogistic(C, np.zeros(2), np.ones(3))
    with pytest.raises(TypeError, match="loc"):
        dn.AdjustedLogistic(C, 1j, SCALE)
    d = dn.AdjustedLogistic(C, LOC, SCALE)
    with pytest.raises(ValueError, match="low >= high"):
        dn.Truncated(d, 2.0, 1.0)
    with pytest.raises(TypeError, match="base_dist"):
        dn.Truncated(ndist.Logistic(0.0, 1.0), 0.0, 1.0)
    with pytest.raises(ValueError, match="lower > upper"):
        dn.censored_log_prob(d, np.array([1.0]), np.array([0.0]))
    with pytest.raises(ValueError, match="upper is NaN"):
        dn.censored_log_prob(d, np.array([1.0]), np.array([np.nan]))
    with pytest.raises(ValueError, match="known exactly must be finite"):
        dn.censored_log_prob(d, np.array([np.inf]), np.array([np.inf]))
    with pytest.raises(ValueError, match="lower and upper"):
        dn.censored_log_prob(d, np.zeros(2), np.zeros(3))
    with pytest.raises(ValueError, match="outside the truncation window"):
        dn.censored_log_prob(dn.Truncated(d, 0.0, 1.0), np.array([-1.0]), np.array([0.5]))
    with pytest.raises(ValueError, match="outside the truncation window"):
        dn.censored_log_prob(dn.Truncated(d, 0.0, 1.0), np.array([0.0]), np.array([0.0]))
    with pytest.raises(ValueError, match="value"):
        dn.Censored(d).log_prob(np.zeros((4, 3)))


def test_under_jit_vmap_and_predictive():
    # Traced parameters (as in NUTS, vmap over chains or Predictive) skip the value checks and
    # give the batched gufunc's values.
    got = jax.vmap(lambda loc, scale: dn.AdjustedLogistic(C, loc, scale).log_prob(X))(LOCS, SCALES[:2, 0])
    expected = accurate.logpdf(X, LOCS, SCALES[:2, 0], C)
    assert same(got, expected)
    assert same(jax.jit(lambda s: dn.AdjustedLogistic(C, LOC, s).cdf(X))(SCALE), accurate.cdf(X, LOC, SCALE, C))
    from numpyro.infer import Predictive

    def model():
        numpyro.sample("y", dn.Censored(dn.AdjustedLogistic(C, LOC, SCALE)).expand([4]))

    y = Predictive(model, num_samples=3)(jax.random.key(0))["y"]
    assert y.shape == (3, 4, 2) and same(y[..., 0], y[..., 1])


def test_without_numpyro_the_import_error_says_what_to_install():
    env = dict(os.environ, JAX_PLATFORMS="cpu")
    code = ("import sys\nsys.modules['numpyro'] = None\ntry:\n    import distribution.numpyro\n"
            "except ImportError as err:\n    print(err)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0 and 'pip install "distribution[numpyro]"' in out.stdout, out.stderr
