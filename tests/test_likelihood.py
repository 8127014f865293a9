"""The compiled location-scale likelihood against its NumPy oracle, and its
threads, arguments and blocks."""

import numpy as np
import pytest
from likelihood_oracle import scores as oracle_scores
from likelihood_oracle import sums as oracle_sums
from likelihood_oracle import terms as oracle_terms

from distribution import accurate
from distribution.models import likelihood
from distribution.models.ordered import OrderedRegression

# Coefficients of p without a real root near the data, by m.
SHAPES = {1: [1.0], 2: [1.0, 0.1], 3: [1.0, 0.2, 0.3], 6: [1.0, 0.05, 0.3, 0.01, 0.05, 0.002]}


def mixed_block(n=400, kx=3, units=4, kg=2, seed=0, truncated=True, weighted=True):
    """Exact, interval, left- and right-censored and unbounded observations;
    ends with a unit column of beta at random; truncation at random."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, kx))
    Z = np.column_stack([np.ones(n), rng.normal(size=(n, kg - 1))])[:, :kg]
    kind = rng.choice(5, n, p=[0.3, 0.3, 0.15, 0.15, 0.1])
    lo = rng.normal(0.0, 1.0, n)
    hi = lo + rng.uniform(0.2, 2.0, n)
    lo[kind == 2], hi[kind == 3] = -np.inf, np.inf
    lo[kind == 4], hi[kind == 4] = -np.inf, np.inf
    exact = kind == 0
    idx_lo = np.where(rng.random(n) < 0.5, rng.integers(kx, kx + units, n), -1)
    idx_hi = np.where(rng.random(n) < 0.5, rng.integers(kx, kx + units, n), -1)
    truncation = None
    if truncated:
        truncation = (np.where(rng.random(n) < 0.3, lo - 2.0, -np.inf), np.where(rng.random(n) < 0.3, hi + 2.0, np.inf))
    weights = rng.uniform(0.5, 2.0, n) if weighted else None
    return likelihood.LocationScaleBlock(lo, hi, X, idx_lo, idx_hi, Z, exact, weights, truncation=truncation,
                                         k_location=kx + units)


def points(block, S, m, seed=1):
    rng = np.random.default_rng(seed)
    kb = max(block.X.shape[1], int(max(block.idx_lo.max(), block.idx_hi.max())) + 1)
    beta = 0.2 * rng.normal(size=(S, kb))
    beta[:, block.X.shape[1]:] *= 0.1  # the unit columns: no interval turned empty
    g = 0.2 * rng.normal(size=(S, block.Z.shape[1]))
    p = np.array(SHAPES[m]) + 0.02 * rng.normal(size=(S, m))
    return beta, g, p


def assert_close(got, want):
    """Equal to 1e-12 of each entry, or of the largest where entries cancel;
    infinities and NaN alike."""
    assert np.isfinite(want).all()
    scale = np.abs(want).max(initial=0.0)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * scale)


@pytest.mark.parametrize("m", [1, 2, 3, 6])
@pytest.mark.parametrize("truncated", [False, True])
def test_sums_terms_and_scores_equal_the_oracle(m, truncated):
    block = mixed_block(truncated=truncated)
    beta, g, p = points(block, 4, m)
    for want in (0, 1, 2):
        got, expected = block.sums(np.concatenate([beta, g], axis=1), p, want), oracle_sums(block, beta, g, p, want)
        for a, b in zip(got, expected):
            assert_close(a, b)
    assert_close(block.terms(np.concatenate([beta, g], axis=1), p), oracle_terms(block, beta, g, p))
    phi = np.concatenate([beta[:1], g[:1]], axis=1)
    assert_close(block.scores(phi, p[:1]), oracle_scores(block, beta[:1], g[:1], p[:1]))


def test_every_want_gives_the_same_value_and_a_symmetric_hessian():
    block = mixed_block(seed=3)
    beta, g, p = points(block, 3, 3)
    value, grad, hess = block.sums(np.concatenate([beta, g], axis=1), p, likelihood.HESSIAN)
    assert np.array_equal(block.sums(np.concatenate([beta, g], axis=1), p, likelihood.VALUE)[0], value)
    v1, g1, h1 = block.sums(np.concatenate([beta, g], axis=1), p, likelihood.GRADIENT)
    assert np.array_equal(v1, value) and np.array_equal(g1, grad) and not h1.any()
    assert np.array_equal(hess, np.swapaxes(hess, 1, 2))
    # The terms sum to the value, the weighted scores to the gradient.
    assert_close(block.terms(np.concatenate([beta, g], axis=1), p).sum(axis=1), value)
    assert_close(block.weights @ block.scores(np.concatenate([beta[:1], g[:1]], axis=1), p[:1]), grad[0])


def test_ordered_model_with_many_categories_is_sparse_and_equals_the_oracle():
    rng = np.random.default_rng(4)
    n, K = 3000, 60
    X = rng.normal(size=(n, 2))
    y = np.searchsorted(np.linspace(-2.5, 2.5, K - 1), X @ [0.5, -0.3] + rng.logistic(size=n))
    model = OrderedRegression(y, X, m=3)
    block = model.make_block(model.rows.chunks[0])
    assert block.X.shape == (n, 2) and block.idx_hi.max() == 2 + K - 2
    beta = np.concatenate([[0.4, -0.2], np.linspace(-2.5, 2.5, K - 1)])[None]
    beta = np.vstack([beta, beta * 1.1])
    p = np.array([[1.0, 0.2, 0.3], [1.0, -0.1, 0.2]])
    got, expected = block.sums(beta, p), oracle_sums(block, beta, np.zeros((2, 0)), p)
    for a, b in zip(got, expected):
        assert_close(a, b)
    # Cut points j and j + 2 share no observation.
    assert got[2][0, 10, 12] == 0.0


def test_nan_empty_and_far_ends():
    block = mixed_block(n=60, seed=5)
    block.lo[[3, 4]] = [1e300, -1e300]
    block.hi[[3, 4]] = [1e300, 0.5]
    block.exact[[3, 4]] = [True, False]
    beta, g, p = points(block, 2, 3)
    for a, b in zip(block.sums(np.concatenate([beta, g], axis=1), p), oracle_sums(block, beta, g, p)):
        assert_close(a, b)
    # An empty interval: log P = -inf, its derivatives 0.
    block.lo[5], block.hi[5], block.exact[5] = 2.0, 1.0, False
    value, grad, hess = block.sums(np.concatenate([beta, g], axis=1), p)
    expected = oracle_sums(block, beta, g, p)
    assert np.isneginf(value).all() and np.isneginf(expected[0]).all()
    assert_close(grad, expected[1])
    assert_close(hess, expected[2])
    block.lo[5], block.hi[5], block.lo[7] = 1.0, 2.0, np.nan
    value, grad, hess = block.sums(np.concatenate([beta, g], axis=1), p)
    assert np.isnan(value).all() and np.isnan(grad).all() and np.isnan(hess).all()
    terms = block.terms(np.concatenate([beta, g], axis=1), p)
    assert np.isnan(terms[:, 7]).all()
    assert_close(np.delete(terms, 7, axis=1), np.delete(oracle_terms(block, beta, g, p), 7, axis=1))


def test_threads_give_the_same_bits(monkeypatch):
    # 9 blocks: on 2 threads the ring of 8 partial sums comes round.
    block = mixed_block(n=9000, seed=6)
    beta, g, p = points(block, 3, 3)
    phi = np.concatenate([beta, g], axis=1)
    args = (*block._arguments(phi), p)
    each = [accurate._location_scale_sums(*args, weights=block.weights, truncation=block.truncation, threads=t)
            for t in (1, 2, 3)]
    terms = [accurate._location_scale_terms(*args, weights=block.weights, truncation=block.truncation, threads=t)
             for t in (1, 2, 3)]
    one = (*block._arguments(phi[:1]), p[:1])
    scores = [accurate._location_scale_scores(*one, truncation=block.truncation, threads=t) for t in (1, 2, 3)]
    for t in (1, 2):
        assert all(np.array_equal(a, b) for a, b in zip(each[0], each[t]))
        assert np.array_equal(terms[0], terms[t]) and np.array_equal(scores[0], scores[t])
    monkeypatch.setenv("DISTRIBUTION_NUM_THREADS", "3")
    assert all(np.array_equal(a, b) for a, b in zip(each[0], block.sums(phi, p)))
    monkeypatch.setenv("DISTRIBUTION_NUM_THREADS", "many")
    with pytest.raises(ValueError, match="DISTRIBUTION_NUM_THREADS"):
        block.sums(phi, p)


def test_dask_tasks_run_on_one_thread():
    seen = []
    task = likelihood.one_thread(lambda x: seen.append(likelihood._threads.get()) or x)
    assert task(5) == 5 and seen == [1] and likelihood._threads.get() is None


def test_rows_and_concatenation_keep_every_field():
    block = mixed_block(n=50, seed=7)
    plain = mixed_block(n=30, seed=8, truncated=False)
    joined = likelihood.LocationScaleBlock.concatenate([block.rows(np.arange(0, 50, 2)), plain])
    assert joined.n == 55 and joined.X.shape == (55, 3)
    assert np.array_equal(joined.idx_hi[:25], block.idx_hi[::2])
    assert np.array_equal(joined.truncation[0][:25], block.truncation[0][::2])
    assert np.isneginf(joined.truncation[0][25:]).all() and np.isposinf(joined.truncation[1][25:]).all()
    beta, g, p = points(joined, 2, 3)
    for a, b in zip(joined.sums(np.concatenate([beta, g], axis=1), p), oracle_sums(joined, beta, g, p)):
        assert_close(a, b)


def test_bad_arguments_are_named():
    block = mixed_block(n=20, seed=9)
    beta, g, p = points(block, 2, 3)
    args = [*block._arguments(np.concatenate([beta, g], axis=1)), p]

    def call(position=None, value=None, **kwargs):
        given = list(args)
        if position is not None:
            given[position] = value
        return accurate._location_scale_sums(*given, **kwargs)

    bad_idx = block.idx_lo.copy()
    bad_idx[4] = beta.shape[1]
    cases = [((1, block.hi[:-1]), ValueError, "hi must have 20 rows"),
             ((2, block.X[:, 0]), ValueError, "X must have 2 dimensions"),
             ((3, bad_idx), ValueError, "idx_lo .* row 4 holds"),
             ((3, block.idx_lo + 0.5), TypeError, "idx_lo must be an array of whole numbers"),
             ((6, np.zeros(20)), TypeError, "exact must be an array of booleans"),
             ((8, g[:, :1]), ValueError, "g must have 2 columns"),
             ((9, np.ones((2, 7))), ValueError, "p must have from 1 to 6"),
             ((7, beta[:, :2]), ValueError, "beta must have at least the 3 columns of X")]
    for (position, value), error, message in cases:
        with pytest.raises(error, match=message):
            call(position, value)
    with pytest.raises(ValueError, match="threads must be a positive"):
        call(threads=0)
    with pytest.raises(ValueError, match="want must be"):
        call(want=3)
    with pytest.raises(ValueError, match="weights must have 20 rows"):
        call(weights=np.ones(3))
    with pytest.raises(TypeError, match="truncation must be None or a pair"):
        call(truncation=np.ones(20))
    with pytest.raises(ValueError, match="scores are at one point"):
        accurate._location_scale_scores(*args)


def test_derivatives_agree_with_differences_of_the_value():
    """Independently of the oracle: central differences of the value in
    every parameter, truncation and a scale design included."""
    block = mixed_block(n=150, seed=10)
    beta, g, p = points(block, 1, 3)
    theta = np.concatenate([beta[0], g[0], p[0]])
    kb, kg = beta.shape[1], g.shape[1]

    def at(t, want):
        return block.sums(np.concatenate([t[None, :kb], t[None, kb:kb + kg]], axis=1), t[None, kb + kg:], want)

    _, grad, hess = at(theta, likelihood.HESSIAN)
    h, k = 1e-5, theta.size
    steps = np.eye(k) * h
    value_slopes = [(at(theta + e, 0)[0][0] - at(theta - e, 0)[0][0]) / (2 * h) for e in steps]
    np.testing.assert_allclose(value_slopes, grad[0], rtol=1e-6, atol=1e-6 * np.abs(grad).max())
    gradient_slopes = np.array([(at(theta + e, 1)[1][0] - at(theta - e, 1)[1][0]) / (2 * h) for e in steps])
    np.testing.assert_allclose(gradient_slopes, hess[0], rtol=1e-6, atol=1e-6 * np.abs(hess).max())


def test_a_truncated_term_is_the_probability_given_its_truncation():
    n = 8
    lo, hi = np.linspace(-1.0, 0.5, n), np.linspace(-0.5, 2.0, n)
    t_lo, t_hi = lo - 1.0, np.where(np.arange(n) % 2 == 0, hi + 0.5, np.inf)
    X, Z = np.linspace(0.0, 1.0, n)[:, None], np.linspace(-1.0, 1.0, n)[:, None]
    exact = np.arange(n) % 3 == 0
    block = likelihood.LocationScaleBlock(lo, hi, X, Z=Z, exact=exact, truncation=(t_lo, t_hi))
    b, g, p = 0.3, 0.2, np.array([1.0, 0.4, 0.2])
    s = np.exp(Z[:, 0] * g)

    def z(end):
        return (end - X[:, 0] * b) / s

    between = accurate.log_probability_between(z(lo), z(hi), 0.0, 1.0, p)
    density = accurate.logpdf(z(lo), 0.0, 1.0, p) - np.log(s)
    truncation = accurate.log_probability_between(z(t_lo), z(t_hi), 0.0, 1.0, p)
    expected = np.where(exact, density, between) - truncation
    got = block.terms(np.concatenate([np.array([[b]]), np.array([[g]])], axis=1), p[None])[0]
    np.testing.assert_allclose(got, expected, rtol=1e-13)


def test_a_dask_fit_evaluates_each_chunk_on_one_thread(monkeypatch):
    da = pytest.importorskip("dask.array")
    import dask

    seen, compiled = [], accurate._location_scale_sums

    def recording(*args, **kwargs):
        seen.append(kwargs["threads"])
        return compiled(*args, **kwargs)

    monkeypatch.setattr(accurate, "_location_scale_sums", recording)
    rng = np.random.default_rng(11)
    X = rng.normal(size=(600, 1))
    y = (X[:, 0] + rng.logistic(size=600) > 0).astype(int) + (rng.random(600) < 0.3)
    OrderedRegression(y, X, m=1).fit()
    assert seen and set(seen) == {None}
    seen.clear()
    with dask.config.set(scheduler="threads"):
        OrderedRegression(da.from_array(y, chunks=200), da.from_array(X, chunks=(200, 1)), m=1).fit()
    assert seen and set(seen) == {1}


def test_the_search_eigendecomposition_equals_numpys():
    # The Newton steps' eigenvalues and vectors: numpy.linalg.eigh's, up to
    # each vector's sign, for one matrix or many, of any size the fits use.
    rng = np.random.default_rng(4)
    for S, k in ((1, 1), (7, 5), (3, 103)):
        A = rng.normal(size=(S, k, k))
        H = A + A.transpose(0, 2, 1) + np.eye(k) * rng.uniform(-1, 1, (S, 1, 1))
        w, V = accurate._symmetric_eigen(H)
        expected_w, expected_V = np.linalg.eigh(H)
        np.testing.assert_allclose(w, expected_w, atol=1e-12 * np.abs(expected_w).max())
        np.testing.assert_allclose(np.abs(np.einsum("sij,sij->sj", V, expected_V)), 1.0, atol=1e-9)
    # The lower triangle alone is read; a matrix that is not finite gives NaN beside finite ones.
    H = np.array([[[2.0, 99.0], [1.0, 2.0]], [[1.0, np.nan], [np.nan, 1.0]]])
    w, V = accurate._symmetric_eigen(H)
    np.testing.assert_allclose(w[0], [1.0, 3.0])
    assert np.isnan(w[1]).all() and np.isnan(V[1]).all()
    assert accurate._symmetric_eigen(np.zeros((2, 0, 0)))[0].shape == (2, 0)
    with pytest.raises(ValueError, match=r"\(S, k, k\)"):
        accurate._symmetric_eigen(np.zeros((2, 3, 4)))


def _shifted_steps(H, g, floor=1e-8):
    """-(H + lambda I)^-1 g and definiteness from numpy's eigendecomposition."""
    w, V = np.linalg.eigh(H)
    top = np.abs(w).max(axis=1)
    # Lifted to the floor, a negative least eigenvalue mirrored.
    shift = np.where(w[:, 0] < 0, -2 * w[:, 0] + floor * top, np.maximum(floor * top - w[:, 0], 0.0))
    step = -np.einsum("sij,sj->si", V, np.einsum("sji,sj->si", V, g) / (w + shift[:, None]))
    return step, w[:, 0] > 1e-12 * top


def test_the_search_newton_steps_equal_the_eigendecompositions():
    # Definite matrices (the Cholesky path) and indefinite ones (negative
    # curvature mirrored), at the fits' sizes; then a least eigenvalue below
    # the floor (lifted to it).
    rng = np.random.default_rng(8)
    for S, k in ((4, 1), (9, 6), (5, 103)):
        A = rng.normal(size=(S, k, k))
        H = A @ A.transpose(0, 2, 1) / k + np.eye(k) * rng.uniform(-0.5, 0.5, (S, 1, 1))
        g = rng.normal(size=(S, k))
        step, definite = accurate._newton_steps(H, g, 1e-8)
        expected, expected_definite = _shifted_steps(H, g)
        np.testing.assert_array_equal(definite, expected_definite)
        tol = 1e-9 * np.abs(expected).max(axis=1, keepdims=True)
        assert (np.abs(step - expected) <= tol).all()
    # The least eigenvalue -2 mirrored: the step along it is g / 2, the rest g / (w + 4).
    step, definite = accurate._newton_steps(np.diag([-2.0, 1.0, 4.0])[None], np.ones((1, 3)), 1e-8)
    np.testing.assert_allclose(step, [[-1 / 2, -1 / 5, -1 / 8]], rtol=1e-7)
    assert not definite[0]
    # Least eigenvalue 1e-10 of the largest: positive definite, yet shifted to the floor.
    H = np.diag([1e-10, 1.0, 1.0])[None]
    step, definite = accurate._newton_steps(H, np.ones((1, 3)), 1e-8)
    np.testing.assert_allclose(step, [[-1e8, -1.0, -1.0]], rtol=1e-6)
    assert definite[0]
    # The lower triangle alone; NaN steps beside finite ones; no coefficients.
    H = np.array([[[2.0, 99.0], [1.0, 2.0]], [[1.0, np.nan], [np.nan, 1.0]], [[1.0, 0.0], [0.0, 1.0]]])
    g = np.array([[3.0, 3.0], [1.0, 1.0], [np.inf, 0.0]])
    step, definite = accurate._newton_steps(H, g, 1e-8)
    np.testing.assert_allclose(step[0], [-1.0, -1.0])
    assert np.isnan(step[1:]).all() and definite.tolist() == [True, False, False]
    step, definite = accurate._newton_steps(np.zeros((2, 0, 0)), np.zeros((2, 0)), 1e-8)
    assert step.shape == (2, 0) and definite.all()
    with pytest.raises(ValueError, match=r"\(S, k, k\) and g \(S, k\)"):
        accurate._newton_steps(np.eye(3)[None], np.zeros((1, 2)), 1e-8)
