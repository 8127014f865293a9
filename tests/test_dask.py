"""cdf on Dask arrays: NumPy's __array_ufunc__ dispatch and apply_gufunc.

Every outer iteration of the ufunc is independent, so a chunked evaluation
must give exactly the values of one NumPy call on the whole arrays.
"""

import logging
import os

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

from distribution import SurvivalRegression, cdf  # noqa: E402

ROWS, POINTS = 6, 50
X = np.linspace(-8.0, 8.0, ROWS * POINTS).reshape(ROWS, POINTS)
LOCS = np.linspace(-1.0, 1.5, ROWS)
SCALES = np.linspace(0.5, 2.0, ROWS)
PARAMS = {
    1: np.array([2.0]),
    2: np.array([1.0, 0.5]),
    4: np.array([0.3, -1.0, 0.2, 0.05]),
    6: np.array([0.5, 0.3, 0.1, 0.05, 0.01, 0.002]),
}
# One coefficient vector per row, m = 3.
PARAM_ROWS = np.column_stack([np.ones(ROWS), np.linspace(-1, 1, ROWS), np.full(ROWS, 0.2)])


def by_dispatch(*args):
    return cdf(*args)


def by_apply_gufunc(*args):
    return da.apply_gufunc(cdf, cdf.signature, *args, output_dtypes=float)


CALLS = pytest.mark.parametrize("call", [by_dispatch, by_apply_gufunc], ids=["dispatch", "apply_gufunc"])


def lazy(a, chunks):
    return da.from_array(a, chunks=chunks)


CASES = {
    # points chunked by rows; loc, scale and coefficients shared
    **{
        f"shared-m{m}": (lambda m=m: ((lazy(X, (2, POINTS)), 0.25, 1.5, p), (X, 0.25, 1.5, p)))
        for m, p in PARAMS.items()
    },
    # every operand a Dask array, one loc, scale and coefficient row per row
    "all-lazy": lambda: (
        (lazy(X, (4, POINTS)), lazy(LOCS, 4), lazy(SCALES, 4), lazy(PARAM_ROWS, (4, 3))),
        (X, LOCS, SCALES, PARAM_ROWS),
    ),
    # one NumPy vector of points broadcast against lazy locations
    "broadcast": lambda: (
        (X[0], lazy(LOCS, 2), 0.8, PARAMS[2]),
        (X[0], LOCS, 0.8, PARAMS[2]),
    ),
    # negative scale and a stack of row blocks: two loop dimensions
    "stacked": lambda: (
        (lazy(X.reshape(2, 3, POINTS), (1, 2, POINTS)), 0.0, -1.2, PARAMS[4]),
        (X.reshape(2, 3, POINTS), 0.0, -1.2, PARAMS[4]),
    ),
}


@CALLS
@pytest.mark.parametrize("case", list(CASES))
def test_matches_numpy_threaded(call, case):
    lazy_args, eager_args = CASES[case]()
    result = call(*lazy_args)
    assert isinstance(result, da.Array)
    assert result.dtype == np.float64
    expected = cdf(*eager_args)
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result.compute(scheduler="threads"), expected)


def test_long_vector_reshaped_into_rows():
    # The README's recipe: the points axis is a core dimension and stays in
    # one chunk, so a long vector is parallelised as rows of a matrix.
    x = np.linspace(-20.0, 20.0, 120_000)
    param = PARAMS[6]
    rows = da.from_array(x.reshape(40, -1), chunks=(5, -1))
    values = cdf(rows, 0.3, 1.7, param).compute(scheduler="threads").ravel()
    np.testing.assert_array_equal(values, cdf(x, 0.3, 1.7, param))


@CALLS
def test_unsupported_length_fails_at_compute(call):
    # The size-1 probe cannot see m = 7; the loop's check still refuses it.
    result = call(lazy(X, (3, POINTS)), 0.0, 1.0, np.ones(7))
    with pytest.raises(ValueError, match="from 1 to 6 coefficients"):
        result.compute(scheduler="threads")


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        silence_logs=logging.ERROR,
    )
    try:
        with distributed.Client(cluster, timeout="60s") as c:
            c.wait_for_workers(2, timeout=60)
            yield c
    finally:
        cluster.close(timeout=30)


@CALLS
def test_matches_numpy_on_local_cluster(client, call):
    x = np.linspace(-10.0, 10.0, 8 * 1000).reshape(8, 1000)
    lazy_args = (lazy(x, (1, -1)), lazy(np.linspace(-1, 1, 8), 1), 1.3, lazy(np.tile(PARAMS[4], (8, 1)), (1, -1)))
    future = client.compute(call(*lazy_args))
    values = future.result(timeout=60)
    np.testing.assert_array_equal(values, cdf(x, np.linspace(-1, 1, 8), 1.3, np.tile(PARAMS[4], (8, 1))))
    # Two worker processes of their own, apart from this one.
    pids = set(client.run(os.getpid).values())
    assert len(pids) == 2 and os.getpid() not in pids


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_survival_regression_on_local_cluster(client):
    rng = np.random.default_rng(4)
    X = rng.normal(size=(1200, 2))
    t, event = np.exp(X[:, 0] + rng.logistic(size=1200)), (rng.uniform(size=1200) < 0.6).astype(int)
    chunked = [da.from_array(v, chunks=(300,) + v.shape[1:]) for v in (t, event, X)]
    numpy_fit = SurvivalRegression(t, event, X, m=2).fit(cov_type="robust")
    dask_fit = SurvivalRegression(*chunked, m=2).fit(cov_type="robust")
    np.testing.assert_allclose(dask_fit.params, numpy_fit.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(dask_fit.bse, numpy_fit.bse, rtol=1e-8, atol=1e-14)
