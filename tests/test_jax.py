"""distribution.jax: the accurate family under jit, vmap and differentiation.

Values and derivatives must be the compiled gufuncs' bits; derivatives with no compiled
counterpart (in loc and scale at second order, and of ppf and isf) are checked against finite
differences by jax.test_util.check_grads.
"""

import os
import subprocess
import sys

import numpy as np
import pytest

jax = pytest.importorskip("jax")
jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp  # noqa: E402
from jax.test_util import check_grads  # noqa: E402

import distribution.jax as dj  # noqa: E402
from distribution import accurate  # noqa: E402

POINT = ["cdf", "sf", "logcdf", "logsf", "pdf", "logpdf"]
C = np.array([1.0, 0.5, -0.3])
LOC, SCALE = 0.2, 1.3
X = np.array([-40.0, -5.0, -1.1, 0.0, 0.2, 0.7, 3.0, 25.0])


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.array_equal(a, b)


@pytest.mark.parametrize("name", POINT + ["ppf", "isf"])
def test_values_are_the_gufuncs(name):
    points = np.array([1e-300, 1e-9, 0.01, 0.3, 0.5, 0.9, 1 - 1e-12]) if name in ("ppf", "isf") else X
    ours = getattr(dj, name)(points, LOC, SCALE, C)
    assert ours.dtype == jnp.float64
    assert same(ours, getattr(accurate, name)(points, LOC, SCALE, C))
    assert same(jax.jit(getattr(dj, name))(points, LOC, SCALE, C), getattr(accurate, name)(points, LOC, SCALE, C))
    # Any shape of x, a scalar included.
    grid = points[:6].reshape(2, 3)
    assert same(getattr(dj, name)(grid, LOC, SCALE, C), getattr(accurate, name)(grid.ravel(), LOC, SCALE, C).reshape(2, 3))
    assert same(getattr(dj, name)(points[2], LOC, SCALE, C), getattr(accurate, name)(points[2:3], LOC, SCALE, C)[0])


@pytest.mark.parametrize("name", POINT)
@pytest.mark.parametrize("mode", ["grad", "jacfwd", "jacrev"])
def test_gradients_are_the_compiled_ones(name, mode):
    f = getattr(dj, name)
    expected = getattr(accurate, name + "_grad")(X, LOC, SCALE, C)
    for i, x in enumerate(X):
        transform = {"grad": jax.grad, "jacfwd": jax.jacfwd, "jacrev": jax.jacrev}[mode]
        got = transform(f, argnums=(0, 1, 2, 3))(x, LOC, SCALE, C)
        for g, e in zip(got, expected[1:]):
            assert same(g, e[i]), (name, mode, x)


def test_jacobian_over_many_points():
    d_x = jax.jacfwd(dj.logcdf)(X, LOC, SCALE, C)
    d_c = jax.jacrev(dj.logcdf, argnums=3)(X, LOC, SCALE, C)
    expected = accurate.logcdf_grad(X, LOC, SCALE, C)
    assert same(d_x, np.diag(expected[1]))
    assert same(d_c, expected[4])


SECOND_ORDER = [jax.hessian,
                lambda f, argnums: jax.jacrev(jax.jacrev(f, argnums), argnums),
                lambda f, argnums: jax.jacfwd(jax.jacfwd(f, argnums), argnums)]


@pytest.mark.parametrize("transform", SECOND_ORDER)
def test_hessian_of_logpdf_is_the_compiled_one(transform):
    h = accurate.logpdf_hess(X, LOC, SCALE, C)
    for i, x in enumerate(X):
        H = transform(dj.logpdf, (0, 3))(x, LOC, SCALE, C)
        assert same(H[0][0], h[2][i]) and same(H[0][1], h[4][i]) and same(H[1][0], h[4][i])
        assert same(H[1][1], h[5][i])


def test_loc_and_scale_second_derivatives_against_differences():
    # Central differences of the compiled gradient, in x, loc and scale; p is in the units of x,
    # so these are not those of a function of (x - loc) / scale alone.
    for z in [-700.0, -3.0, 0.4, 2.0, 30.0, 700.0]:
        v0 = np.array([LOC + SCALE * z, LOC, SCALE])
        H = np.array(jax.hessian(dj.logpdf, argnums=(0, 1, 2))(*v0, C))
        F = np.zeros((3, 3))
        for j in range(3):
            e = np.zeros(3)
            e[j] = 1e-6 * max(1.0, abs(v0[j]))
            g = [np.array(accurate.logpdf_grad([v[0]], v[1], v[2], C)[1:4])[:, 0] for v in (v0 + e, v0 - e)]
            F[:, j] = (g[0] - g[1]) / (2 * e[j])
        assert np.allclose(H, F, rtol=1e-6, atol=1e-6 * np.abs(H).max()), z
        assert np.array_equal(H, H.T) or np.allclose(H, H.T, rtol=1e-12, atol=1e-12 * np.abs(H).max())


def test_hessian_of_log_probability_between_is_the_compiled_one():
    a, b = np.array([-3.0, -np.inf, 0.1, 30.0]), np.array([-2.5, 0.4, np.inf, 31.0])
    h = accurate.log_probability_between_hess(a, b, LOC, SCALE, C)
    for i in range(len(a)):
        H = jax.hessian(dj.log_probability_between, argnums=(0, 1, 4))(a[i], b[i], LOC, SCALE, C)
        assert same(H[0][0], h[3][i]) and same(H[0][1], h[4][i]) and same(H[1][1], h[5][i])
        assert same(H[0][2], h[7][i]) and same(H[1][2], h[8][i]) and same(H[2][2], h[9][i])
        full = jax.hessian(dj.log_probability_between, argnums=(0, 1, 2, 3, 4))(a[i], b[i], LOC, SCALE, C)
        assert all(np.all(np.isfinite(np.asarray(e))) for row in full for e in row)
    g = jax.grad(dj.log_probability_between, argnums=(0, 1, 2, 3, 4))(-3.0, -2.5, LOC, SCALE, C)
    e = accurate.log_probability_between_grad([-3.0], [-2.5], LOC, SCALE, C)
    assert all(same(gi, ei[0]) for gi, ei in zip(g, e[1:]))


# Tails: z = (x - loc) / scale up to 700 where the function stays finite (and, for the
# finite differences, where its derivatives are not all below the tolerance).
TAILS = {"cdf": [-700.0, -30.0, 0.0, 3.0], "sf": [-3.0, 0.0, 30.0, 700.0],
         "logcdf": [-700.0, -30.0, 0.0, 30.0, 700.0], "logsf": [-700.0, -30.0, 0.0, 30.0, 700.0],
         "pdf": [-700.0, -30.0, 0.0, 2.0, 700.0], "logpdf": [-700.0, -30.0, 0.0, 2.0, 30.0, 700.0]}


@pytest.mark.parametrize("name", POINT)
def test_check_grads_with_tails(name):
    order = 2 if name == "logpdf" else 1
    for z in TAILS[name]:
        x = LOC + SCALE * z
        # Relative tolerance on values near 1e-304: the differences are scaled by the value's size.
        if name in ("pdf", "cdf", "sf") and abs(z) > 100:
            f = lambda x, l, s, c, n=name: getattr(dj, n)(x, l, s, c) * 1e300  # noqa: E731
        else:
            f = getattr(dj, name)
        check_grads(f, (x, LOC, SCALE, C), order=order, modes=("fwd", "rev"), eps=1e-5, rtol=1e-5, atol=1e-5)


def test_check_grads_log_probability_between():
    for a, b in [(-1.0, 0.5), (-700.0, -699.0), (30.0, 31.0), (0.1, 0.1 + 1e-3)]:
        check_grads(dj.log_probability_between, (a, b, LOC, SCALE, C), order=2, modes=("fwd", "rev"),
                    eps=1e-6, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("name", ["ppf", "isf"])
def test_quantile_gradients(name):
    f = getattr(dj, name)
    for q in [1e-6, 0.05, 0.5, 0.9]:
        # A step well inside min(q, 1 - q), where the quantile curves sharply.
        check_grads(f, (q, LOC, SCALE, C), order=1, modes=("fwd", "rev"), eps=min(q, 1 - q) * 1e-4,
                    rtol=1e-5, atol=1e-5)
        # d ppf / dq = 1 / pdf at the quantile, to rounding.
        x = f(q, LOC, SCALE, C)
        dq = jax.grad(f)(q, LOC, SCALE, C)
        sign = 1.0 if name == "ppf" else -1.0
        assert np.isclose(dq, sign / accurate.pdf([x], LOC, SCALE, C)[0], rtol=1e-13)
        # Moving loc by h and p to p(t - h) moves every quantile by h: p is in the units of x,
        # so d/dloc - (Dc) . d/dc = 1, with Dc the coefficients of p'.
        _, d_loc, _, d_c = jax.grad(f, argnums=(0, 1, 2, 3))(q, LOC, SCALE, C)
        Dc = np.array([C[1], 2 * C[2], 0.0])
        assert np.isclose(d_loc - d_c @ Dc, 1.0, rtol=1e-10)


def test_vmap_over_coefficient_vectors():
    cs = np.array([[1.0, 0.5, -0.3], [0.2, 1.0, 0.0], [1.0, 0.0, 0.4], [-1.0, 2.0, 0.1], [0.5, 0.5, 0.5]])
    locs = np.linspace(-1, 1, 5)
    for name in POINT + ["ppf", "isf"]:
        pts = np.array([0.01, 0.3, 0.7]) if name in ("ppf", "isf") else X
        f, uf = getattr(dj, name), getattr(accurate, name)
        assert same(jax.vmap(f, in_axes=(None, None, None, 0))(pts, LOC, SCALE, cs), uf(pts, LOC, SCALE, cs))
        assert same(jax.jit(jax.vmap(f, in_axes=(None, 0, None, 0)))(pts, locs, SCALE, cs),
                    uf(pts, locs, SCALE, cs))
        # Coefficients unbatched, the points batched.
        assert same(jax.vmap(f, in_axes=(0, None, None, None))(np.stack([pts] * 5), LOC, SCALE, C),
                    uf(np.stack([pts] * 5), LOC, SCALE, C))
    # Batched gradients and Hessians are the stacked kernels'.
    g = jax.vmap(jax.grad(dj.logpdf, argnums=3), in_axes=(None, None, None, 0))(0.7, LOC, SCALE, cs)
    assert same(g, accurate.logpdf_grad([0.7], LOC, SCALE, cs)[4][:, 0])
    H = jax.jit(jax.vmap(jax.hessian(dj.logpdf, argnums=3), in_axes=(None, None, None, 0)))(0.7, LOC, SCALE, cs)
    assert same(H, accurate.logpdf_hess([0.7], LOC, SCALE, cs)[5][:, 0])
    lp = jax.vmap(dj.log_probability_between, in_axes=(0, 0, None, None, 0))(X[:5], X[:5] + 1, LOC, SCALE, cs)
    assert same(lp, accurate.log_probability_between(X[:5, None], X[:5, None] + 1, LOC, SCALE, cs)[:, 0])


def test_nested_vmap_and_batched_derivatives():
    cs = C + np.arange(15.0).reshape(5, 3) / 150
    locs, scales = np.linspace(-1, 1, 5), np.linspace(0.5, 2, 3)
    # Two levels of batching reach the gufunc as broadcast leading axes.
    f = jax.vmap(jax.vmap(dj.logpdf, in_axes=(None, None, 0, None)), in_axes=(None, 0, None, 0))
    assert same(f(X, locs, scales, cs), accurate.logpdf(X, locs[:, None], scales[None, :], cs[:, None, :]))
    g = jax.vmap(jax.grad(dj.sf, argnums=(1, 2)), in_axes=(None, 0, None, None))(0.3, locs, 1.3, C)
    e = accurate.sf_grad([0.3], locs, 1.3, C)
    assert same(g[0], e[2][:, 0]) and same(g[1], e[3][:, 0])
    a, b = X[:4], X[:4] + 0.5
    H = jax.vmap(jax.hessian(dj.log_probability_between, argnums=4), in_axes=(0, 0, None, None, 0))(
        a, b, LOC, SCALE, cs[:4])
    assert same(H, accurate.log_probability_between_hess(a[:, None], b[:, None], LOC, SCALE, cs[:4])[9][:, 0])


def test_higher_orders_are_refused():
    with pytest.raises(NotImplementedError, match="second derivatives of cdf"):
        jax.hessian(dj.cdf)(0.5, LOC, SCALE, C)
    with pytest.raises(NotImplementedError, match="second derivatives of ppf"):
        jax.hessian(dj.ppf)(0.5, LOC, SCALE, C)
    with pytest.raises(NotImplementedError, match="third derivatives of logpdf"):
        jax.jacfwd(jax.hessian(dj.logpdf))(0.5, LOC, SCALE, C)
    with pytest.raises(NotImplementedError, match="third derivatives of log_probability_between"):
        jax.jacrev(jax.hessian(dj.log_probability_between))(0.5, 1.0, LOC, SCALE, C)


def test_bad_input():
    with pytest.raises(ValueError, match="coefficients"):
        dj.logpdf(X, LOC, SCALE, np.ones(7))
    with pytest.raises(ValueError, match="coefficients"):
        dj.logpdf(X, LOC, SCALE, np.ones((2, 3)))
    with pytest.raises(ValueError, match="coefficients"):
        dj.cdf(X, LOC, SCALE, [])
    with pytest.raises(ValueError, match="loc must be a scalar"):
        dj.cdf(X, np.zeros(3), SCALE, C)
    with pytest.raises(ValueError, match="scale must be a scalar"):
        dj.ppf(0.5, LOC, [1.0, 2.0], C)
    with pytest.raises(ValueError, match="lower and upper"):
        dj.log_probability_between(np.zeros(3), np.ones(2), LOC, SCALE, C)
    with pytest.raises(TypeError, match="x must be real"):
        dj.pdf(np.array([1j]), LOC, SCALE, C)
    # scale <= 0 is a NaN row, as in the gufuncs.
    assert np.isnan(dj.logpdf(0.0, LOC, -1.0, C))


def run_without_x64(code):
    env = dict(os.environ, JAX_ENABLE_X64="0", JAX_PLATFORMS="cpu")
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)


def test_x64_off_is_an_error():
    code = """
import jax, distribution.jax as dj
assert not jax.config.jax_enable_x64  # the import must not switch it on
for call in (lambda: dj.logpdf(0.5, 0.0, 1.0, [1.0]), lambda: jax.jit(dj.cdf)(0.5, 0.0, 1.0, [1.0])):
    try:
        call()
    except RuntimeError as err:
        assert "jax_enable_x64" in str(err), err
    else:
        raise SystemExit("no error")
print("ok")
"""
    out = run_without_x64(code)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


def test_import_distribution_does_not_import_jax():
    out = run_without_x64("import sys, distribution; print('jax' in sys.modules)")
    assert out.returncode == 0 and out.stdout.strip() == "False", out.stderr


def test_without_jax_the_import_error_says_what_to_install():
    out = run_without_x64("import sys\nsys.modules['jax'] = None\ntry:\n    import distribution.jax\n"
                          "except ImportError as err:\n    print(err)\n")
    assert out.returncode == 0 and 'pip install "distribution[jax]"' in out.stdout, out.stderr
