"""Weights, covariance types, marginal effects, tests and formulas of the fits."""

from pathlib import Path

import numpy as np
import pytest

from distribution import AdjustedLogistic, IntervalRegression, OrderedRegression

pd = pytest.importorskip("pandas")
LEVELS = {"Sat": ["Low", "Medium", "High"], "Infl": ["Low", "Medium", "High"],
          "Type": ["Tower", "Apartment", "Atrium", "Terrace"], "Cont": ["Low", "High"]}


@pytest.fixture(scope="module")
def housing():
    df = pd.read_csv(Path(__file__).parent / "data" / "housing.csv", comment="#")
    for column, levels in LEVELS.items():
        df[column] = pd.Categorical(df[column], levels, ordered=True)
    return df


def test_housing_frequency_weights_reproduce_polr_and_the_replicated_rows(housing):
    pytest.importorskip("formulaic")
    formula = "Sat ~ C(Infl) + C(Type) + C(Cont)"
    res = OrderedRegression.from_formula(formula, housing, m=1, weights=housing.Freq).fit()
    # MASS::polr(Sat ~ Infl + Type + Cont, weights = Freq, data = housing)
    polr = [0.5664, 1.2888, -0.5724, -0.3662, -1.0910, 0.3603, -0.4961, 0.6907]
    assert res.llf == pytest.approx(-1739.5746, abs=1e-4) and res.nobs == 1681
    np.testing.assert_allclose(res.params.to_numpy(), polr, atol=6e-5)
    replicated = OrderedRegression.from_formula(formula, housing.loc[housing.index.repeat(housing.Freq)], m=1).fit()
    assert res.llf == pytest.approx(replicated.llf, rel=1e-12)
    np.testing.assert_allclose(res.bse, replicated.bse, rtol=1e-9)


def test_density_frequency_weights_are_replicated_points():
    x = AdjustedLogistic([1.0, 0.8]).rvs(size=300, random_state=1)
    counts = np.random.default_rng(2).integers(0, 4, x.size)
    weighted = AdjustedLogistic.fit(x, m=2, weights=counts)
    replicated = AdjustedLogistic.fit(np.repeat(x, counts), m=2)
    assert weighted.nobs == counts.sum() and weighted.llf == pytest.approx(replicated.llf, rel=1e-10)
    np.testing.assert_allclose(weighted.params, replicated.params, rtol=1e-6, atol=1e-8)
    np.testing.assert_allclose(weighted.bse, replicated.bse, rtol=1e-5, atol=1e-12)
    assert np.isfinite(weighted.cov_params()).all() and weighted.bse[weighted.fixed] == 0
    # The cluster sandwich: each point of positive weight in its own group.
    groups = np.arange(x.size) % 7
    clustered = AdjustedLogistic.fit(x, m=2, weights=counts, cov_type="cluster", groups=groups)
    by_group = AdjustedLogistic.fit(np.repeat(x, counts), m=2, cov_type="cluster", groups=np.repeat(groups, counts))
    np.testing.assert_allclose(clustered.bse, by_group.bse, rtol=1e-5, atol=1e-12)
    assert not np.allclose(clustered.bse, weighted.bse, rtol=1e-2)


@pytest.mark.parametrize("cov_type, sm_type", [("robust", "HC0"), ("cluster", "cluster")])
def test_robust_and_cluster_covariance_match_statsmodels(cov_type, sm_type):
    from statsmodels.miscmodels.ordinal_model import OrderedModel

    rng = np.random.default_rng(3)
    X, groups = rng.normal(size=(600, 2)), rng.integers(0, 30, 600)
    y = np.searchsorted([-1.0, 0.5, 1.5], X @ [0.8, -0.4] + rng.logistic(size=600) + rng.normal(size=30)[groups] / 3)
    ours = OrderedRegression(y, X, m=1).fit(cov_type=cov_type, groups=groups if cov_type == "cluster" else None)
    extra = {"cov_kwds": {"groups": groups}} if cov_type == "cluster" else {}
    theirs = OrderedModel(y, X, distr="logit").fit(method="newton", disp=False, cov_type=sm_type, **extra)
    t = theirs.params
    # statsmodels' thresholds: c1 = t2, then log increments.
    J = np.eye(5)
    J[3:, 2] = 1.0
    J[3:, 3] = np.exp(t[3])
    J[4, 4] = np.exp(t[4])
    np.testing.assert_allclose(ours.bse, np.sqrt(np.diag(J @ theirs.cov_params() @ J.T)), rtol=1e-6)


def _ordered_sample(n=1500, seed=4):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.normal(size=n), rng.integers(0, 2, n)])
    e = AdjustedLogistic([1.0, 0.7]).rvs(size=n, random_state=rng)
    return np.searchsorted([0.0, 1.5, 3.0], X @ [0.9, -0.6] + e), X


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("at, dummy", [("overall", False), ("overall", True), ("mean", False)])
def test_margins_match_finite_differences_of_predictions(at, dummy):
    y, X = _ordered_sample()
    res = OrderedRegression(y, X, m=2).fit(cov_type="robust")
    rows = X.mean(axis=0)[None] if at == "mean" else X

    def average_effects(params, step=1e-5):
        res._params, res.cutpoints = params, params[2:5]
        res.noise = AdjustedLogistic(params[5:])
        out = []
        for c in range(2):
            if dummy and c == 1:
                lo, hi, h = rows.copy(), rows.copy(), 1.0
                lo[:, c], hi[:, c] = 0.0, 1.0
            else:
                lo, hi, h = rows.copy(), rows.copy(), step
                lo[:, c] -= h / 2
                hi[:, c] += h / 2
            out.append((res.predict(hi) - res.predict(lo)).mean(axis=0) / h)
        return np.ravel(out)

    table = res.get_margeff(at=at, dummy=dummy)
    params = res._params.copy()
    effects = average_effects(params)
    # Nested central differences: steps of 1e-4 keep both the rounding error
    # (eps / step**2) and the truncation error (step**2) near 1e-8.
    J = np.column_stack([(average_effects(params + e, 1e-4) - average_effects(params - e, 1e-4)) / 2e-4
                         for e in np.eye(params.size) * 1e-4])
    res._params = params
    np.testing.assert_allclose(table.values[:, 0], effects, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(table.values[:, 1], np.sqrt(np.diag(J @ res.cov_params() @ J.T)), rtol=1e-5)
    assert np.abs(table.values[:, 0].reshape(2, 4).sum(axis=1)).max() < 1e-12


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_prediction_intervals_degree_table_and_lr_test():
    y, X = _ordered_sample(seed=5)
    table = OrderedRegression(y, X, m=1).select_degree(max_m=3)
    fits = table.fits
    assert list(fits) == [1, 2, 3] and fits[3].llf >= fits[2].llf >= fits[1].llf
    test = fits[2].lr_test(fits[1])
    assert test.df == 1 and test.statistic == pytest.approx(2 * (fits[2].llf - fits[1].llf))
    assert test.pvalue < 1e-3 and table.best("bic") in fits.values()
    prediction = fits[2].get_prediction(X[:50])
    low, high = np.moveaxis(prediction.conf_int(), -1, 0)
    assert ((0 < low) & (low < prediction.predicted) & (prediction.predicted < high) & (high < 1)).all()


@pytest.mark.parametrize("kwargs, fit_kwargs, error, match", [
    ({"weights": -np.ones(40)}, {}, ValueError, "weights must be >= 0"),
    ({"weights": np.ones(39)}, {}, ValueError, r"weights must have one value per observation, shape \(40,\)"),
    ({"sampling_weights": np.full(40, np.nan)}, {}, ValueError, "sampling_weights has NaN"),
    ({"weights": ["a"] * 40}, {}, TypeError, "weights must be real numbers"),
    ({}, {"cov_type": "cluster"}, ValueError, "needs groups"),
    ({}, {"cov_type": "cluster", "groups": np.zeros(40)}, ValueError, "at least 2 groups"),
    ({}, {"cov_type": "cluster", "groups": np.arange(39)}, ValueError, r"groups must have one label"),
    ({}, {"cov_type": "HC3"}, ValueError, "cov_type must be one of"),
    ({"sampling_weights": np.ones(40)}, {"cov_type": "nonrobust"}, ValueError, "sandwich"),
    ({}, {"groups": np.arange(40)}, ValueError, "only with cov_type='cluster'"),
])
def test_bad_weights_and_groups(kwargs, fit_kwargs, error, match):
    y, X = np.arange(40) % 3, np.random.default_rng(0).normal(size=(40, 1))
    with pytest.raises(error, match=match):
        OrderedRegression(y, X, m=1, **kwargs).fit(**fit_kwargs)
    with pytest.raises(error, match=match):
        AdjustedLogistic.fit(X[:, 0], m=1, **kwargs, **fit_kwargs)
    with pytest.raises(error, match=match):
        IntervalRegression(X[:, 0], X[:, 0] + y, m=1, **kwargs).fit(**fit_kwargs)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_sampling_weights_sandwich_ignores_their_scale_and_offset_enters_the_index():
    y, X = _ordered_sample(n=800, seed=6)
    robust = OrderedRegression(y, X, m=2).fit(cov_type="robust")
    for scale in (1.0, 7.5):
        sampled = OrderedRegression(y, X, m=2, sampling_weights=np.full(y.size, scale)).fit()
        assert sampled.cov_type == "robust" and sampled.nobs == y.size
        np.testing.assert_allclose(sampled.params, robust.params, rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(sampled.bse, robust.bse, rtol=1e-6)
    known = OrderedRegression(y, X[:, :1], m=2, offset=-0.6 * X[:, 1]).fit()
    inserted = np.insert(known.params, 1, -0.6)
    assert known.llf == pytest.approx(OrderedRegression(y, X, m=2).loglike(inserted), rel=1e-12)


def test_dask_sample_gives_the_numpy_robust_covariance():
    da = pytest.importorskip("dask.array")
    x = AdjustedLogistic([1.0, -0.5]).rvs(size=400, random_state=8)
    numpy_fit = AdjustedLogistic.fit(x, m=2, cov_type="robust")
    dask_fit = AdjustedLogistic.fit(da.from_array(x, chunks=150), m=2, cov_type="robust")
    np.testing.assert_allclose(dask_fit.bse, numpy_fit.bse, rtol=1e-5, atol=1e-12)


def _grouped_ordered(n=3000, seed=4):
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 97, n)
    X = rng.normal(size=(n, 2))
    y = np.digitize(X @ [1.0, -0.5] + 0.8 * rng.normal(size=97)[labels] + rng.logistic(size=n), [-1.0, 1.0])
    return OrderedRegression(y, X, m=2, weights=rng.integers(1, 4, n).astype(float)), labels


def test_samples_of_grouped_observations_keep_their_groups_whole():
    from distribution.models import regression

    model, labels = _grouped_ordered()
    groups = regression.Groups.of(labels, labels.size)
    observations = regression.Observations(model.rows, model.make_block, groups)
    counts = np.bincount(groups.codes, minlength=groups.n_groups)
    for size in (300, 1000, 3000):
        sample = observations.sample(size)
        taken = np.bincount(groups.codes[sample.row_index], minlength=groups.n_groups)
        assert ((taken == 0) | (taken == counts)).all() and 0 < taken.sum() <= labels.size
        assert sample.weights.sum() == pytest.approx(observations.total)
    # The score sums by group, as the cluster covariance takes them.
    point = _point(model.fit())
    block = observations.blocks[0]
    summed = observations.group_scores(point)
    scores = block.scores(point.phi, point.p) * block.weights[:, None]
    expected = np.stack([scores[groups.codes[block.row_index] == g].sum(axis=0) for g in range(groups.n_groups)])
    np.testing.assert_allclose(summed, expected, rtol=1e-12, atol=1e-12)


def _point(fit):
    from distribution.models import search

    phi, p = fit.model.parameters().from_user(fit._params)
    return search.Points(phi[None], p[None], np.zeros(1))


def test_groups_across_dask_chunks_are_refused():
    da = pytest.importorskip("dask.array")
    from distribution.models import regression

    rows = regression.Rows({"x": da.from_array(np.arange(10.0), chunks=5)})
    with pytest.raises(ValueError, match="1 group\\(s\\) span Dask chunks.*group 2, chunks 0 to 1"):
        regression.Groups.of(np.array([0, 0, 1, 1, 2, 2, 3, 3, 4, 4]), 10).check_chunks(rows)
    regression.Groups.of(np.repeat([0, 1], 5), 10).check_chunks(rows)
