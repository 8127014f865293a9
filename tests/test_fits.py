"""AdjustedLogistic.fit and OrderedRegression: estimates, standard errors,
the ordered logit against statsmodels, the Dask path, bad input."""

import os
import warnings

import numpy as np
import pytest

pytest.importorskip("scipy")

from distribution import AdjustedLogistic, OrderedRegression  # noqa: E402

TRUE = AdjustedLogistic([1.0, 0.6, 0.25], loc=2.0, scale=1.5)


@pytest.fixture(scope="module")
def sample():
    return TRUE.rvs(size=20_000, random_state=5)


@pytest.fixture(scope="module")
def fitted(sample):
    return AdjustedLogistic.fit(sample, m=3)


def test_fit_recovers_known_parameters_within_four_standard_errors(fitted):
    # The reported p has its largest coefficient at 1: here p0, as in TRUE.
    truth = np.array([2.0, 1.5, 1.0, 0.6, 0.25])
    free = ~fitted.fixed
    assert fitted.converged and fitted.rel_grad < 1e-8
    assert np.array_equal(free, [True, True, False, True, True])
    assert np.all(np.abs(fitted.params - truth)[free] < 4 * fitted.bse[free])
    assert fitted.dist.param.tolist() == fitted.params[2:].tolist()
    # AIC and BIC count the m + 1 free parameters.
    assert fitted.aic == pytest.approx(-2 * fitted.llf + 2 * 4)
    assert fitted.bic == pytest.approx(-2 * fitted.llf + 4 * np.log(fitted.nobs))
    assert fitted.llf == pytest.approx(fitted.dist.logpdf(TRUE.rvs(size=20_000, random_state=5)).sum(), rel=1e-12)


def test_standard_errors_are_the_inverse_observed_information(sample, fitted):
    # Second differences of the log-likelihood in (loc, scale, p1, p2) with p0 = 1.
    def llf(t):
        return AdjustedLogistic([1.0, t[2], t[3]], t[0], t[1]).logpdf(sample).sum()

    t, h, k = fitted.params[[0, 1, 3, 4]], 1e-4, 4
    e = np.eye(k) * h
    H = np.array([[(llf(t + e[i] + e[j]) - llf(t + e[i] - e[j]) - llf(t - e[i] + e[j]) + llf(t - e[i] - e[j]))
                   / (4 * h * h) for j in range(k)] for i in range(k)])
    assert np.allclose(np.sqrt(np.diag(np.linalg.inv(-H))), fitted.bse[[0, 1, 3, 4]], rtol=1e-3)
    lo, hi = fitted.conf_int().T
    assert np.allclose(hi - lo, 2 * 1.959963984540054 * fitted.bse)
    assert np.allclose(fitted.pvalues[[0, 1]], 0.0) and np.isnan(fitted.tvalues[2])
    with pytest.raises(ValueError, match="alpha"):
        fitted.conf_int(alpha=1.5)


def test_fit_reaches_p0_zero_and_more_coefficients_never_fit_worse():
    # p(x) = x: a bimodal density, whose p0 = 0 the chart p0 = 1 could not reach.
    x = AdjustedLogistic([0.0, 1.0]).rvs(size=5000, random_state=1)
    fits = [AdjustedLogistic.fit(x, m=m) for m in (1, 2, 3)]
    p = fits[1].params[2:]
    assert p[1] == 1.0 and abs(p[0]) < 4 * fits[1].bse[2]
    assert fits[0].llf < fits[1].llf <= fits[2].llf + 1e-6
    assert fits[1].bic < fits[0].bic and fits[1].bic < fits[2].bic


def test_fit_is_reproducible_and_dask_gives_the_numpy_estimates(sample, fitted):
    da = pytest.importorskip("dask.array")
    again = AdjustedLogistic.fit(np.random.default_rng(0).permutation(sample), m=3)
    assert np.allclose(again.params, fitted.params, rtol=1e-6, atol=1e-6)
    lazy = AdjustedLogistic.fit(da.from_array(sample, chunks=3000), m=3)
    assert np.allclose(lazy.params, fitted.params, rtol=1e-8, atol=1e-8)
    assert np.allclose(lazy.bse, fitted.bse, rtol=1e-4, equal_nan=True)
    assert lazy.llf == pytest.approx(fitted.llf, rel=1e-12)
    with pytest.raises(ValueError, match="finite"):
        AdjustedLogistic.fit(da.from_array(np.append(sample[:99], np.nan), chunks=50), m=2)


def wages_and_schooling():
    """Log hourly wages rounded to the cent and whole years of schooling of
    534 workers (tests/data/cps1985.csv): samples of tied values."""
    path = os.path.join(os.path.dirname(__file__), "data", "cps1985.csv")
    wage, years = np.loadtxt(path, delimiter=",", skiprows=2, unpack=True)
    return np.log(wage), years


def test_tied_samples_reach_their_maximum_with_p_zero_between_values():
    log_wage, years = wages_and_schooling()
    # The best fit puts p's zero in the gap above the one wage of $1.00
    # (log 0), where a sketch of interpolated quantiles had a point; the
    # fit stopped at -423.08, its zero below every wage.
    fit = AdjustedLogistic.fit(log_wage, m=2)
    assert fit.converged and fit.llf == pytest.approx(-422.327015242819, rel=1e-9)
    assert 0.0 < -fit.params[2] / fit.params[3] < np.log(1.75)
    assert AdjustedLogistic.select_degree(log_wage, max_m=2).fits[2].llf == pytest.approx(fit.llf, rel=1e-12)
    # Years of schooling: three real zeros, one in each of the gaps 10-11,
    # 12-13 and 14-15 (random starts find it twice in 1,000).
    four = AdjustedLogistic.fit(years, m=4)
    assert four.converged and four.llf == pytest.approx(-1106.1088556361626, rel=1e-9)
    zeros = np.sort(np.roots(four.params[:1:-1]).real)
    assert np.array_equal(np.floor(zeros), [10.0, 12.0, 14.0])


def test_tied_sample_fit_is_that_of_its_distinct_values_weighted_by_counts():
    log_wage, _ = wages_and_schooling()
    fit = AdjustedLogistic.fit(log_wage, m=3)
    values, counts = np.unique(log_wage, return_counts=True)
    weighted = AdjustedLogistic.fit(values, m=3, weights=counts)
    assert weighted.nobs == log_wage.size and weighted.llf == pytest.approx(fit.llf, rel=1e-12)
    np.testing.assert_allclose(weighted.params, fit.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(weighted.bse, fit.bse, rtol=1e-7)
    # The sandwich sums the scores' products over the points, each value's
    # once per point.
    robust = AdjustedLogistic.fit(log_wage, m=3, cov_type="robust")
    robust_weighted = AdjustedLogistic.fit(values, m=3, weights=counts, cov_type="robust")
    np.testing.assert_allclose(robust.bse, robust_weighted.bse, rtol=1e-7)
    assert not np.allclose(robust.bse, fit.bse, rtol=1e-2)
    da = pytest.importorskip("dask.array")
    lazy = AdjustedLogistic.fit(da.from_array(log_wage, chunks=100), m=3)
    assert lazy.llf == pytest.approx(fit.llf, rel=1e-12)
    np.testing.assert_allclose(lazy.params, fit.params, rtol=1e-9, atol=1e-12)


def simulate(n, seed, p=(1.0, 0.6, 0.25)):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2))
    latent = X @ [1.0, -0.5] + AdjustedLogistic(p).rvs(size=n, random_state=rng)
    return X, np.searchsorted([1.0, 3.0, 5.0], latent)


def test_ordered_logit_matches_statsmodels():
    sm = pytest.importorskip("statsmodels.miscmodels.ordinal_model")
    X, y = simulate(3000, 3, p=(1.0,))
    ours = OrderedRegression(y, X, m=1).fit()
    model = sm.OrderedModel(y, X, distr="logit")
    theirs = model.fit(method="newton", maxiter=100, tol=1e-14, disp=False)
    assert ours.llf == pytest.approx(theirs.llf, abs=1e-6)
    cuts = model.transform_threshold_params(theirs.params)[1:-1]
    assert np.allclose(ours.params, np.concatenate([theirs.params[:2], cuts]), rtol=0, atol=1e-6)
    assert np.allclose(ours.bse[:2], theirs.bse[:2], rtol=1e-4)
    assert np.allclose(ours.predict(X[:5]), theirs.predict(X[:5]), atol=1e-9)
    # pandas in, labelled results out.
    pd = pytest.importorskip("pandas")
    labelled = OrderedRegression(pd.Series(y), pd.DataFrame(X, columns=["a", "b"]), m=1).fit()
    assert list(labelled.params.index) == ["a", "b", "0/1", "1/2", "2/3"]
    assert np.allclose(labelled.params.to_numpy(), ours.params) and labelled.cov_params().shape == (5, 5)
    # OrderedModel takes the distribution through to_scipy: p = 1 is the logistic.
    through = sm.OrderedModel(y, X, distr=ours.noise.to_scipy())
    assert through.loglike(theirs.params) == pytest.approx(theirs.llf, rel=1e-12)


def test_ordered_regression_estimates_and_result_face():
    # At this size the shape of p trades against the scale of b and the cut
    # points (some samples have their maximum in another basin, above the
    # truth's likelihood): this one has it next to the truth.
    X, y = simulate(6000, 12)
    res = OrderedRegression(y, X, m=3).fit()
    truth = np.array([1.0, -0.5, 1.0, 3.0, 5.0, 1.0, 0.6, 0.25])
    free = ~res.fixed
    assert res.converged and res.param_names == ["x1", "x2", "0/1", "1/2", "2/3", "p0", "p1", "p2"]
    assert np.all(np.abs(res.params - truth)[free] < 4 * res.bse[free])
    assert res.aic == pytest.approx(-2 * res.llf + 2 * 7)
    assert res.model.loglike(res.params) == pytest.approx(res.llf, rel=1e-12)
    assert res.llf > res.model.loglike(truth)
    prob = res.predict(X[:10])
    assert prob.shape == (10, 4) and np.allclose(prob.sum(1), 1.0)
    assert res.cov_params().shape == (8, 8) and res.conf_int().shape == (8, 2)
    assert "1/2" in str(res.summary()) and "Log-likelihood" in res.summary().as_text()


@pytest.mark.parametrize("data, m, match", [
    (np.arange(10.0), 0, "m must be"),
    (np.arange(10.0), 7, "m must be"),
    (np.arange(10.0), 2.0, "m must be"),
    (np.array([1.0, np.nan, 2.0, 3.0, 4.0, 5.0]), 1, "finite"),
    (np.arange(5.0), 3, "at least 6"),
    (np.ones(20), 2, "all equal"),
    (np.full(30, 0.1), 2, "all equal"),  # their computed sd is 2.8e-17, not 0
])
def test_fit_bad_input(data, m, match):
    with pytest.raises(ValueError, match=match):
        AdjustedLogistic.fit(data, m=m)


def test_ordered_regression_bad_input():
    pd = pytest.importorskip("pandas")
    X = np.random.default_rng(0).normal(size=(6, 2))
    for endog, exog, m, match in [
        ([0, 1, 0, 1, 0, 1], X, 0, "m must be"),
        ([0, 1, 0, 1, 0, 1], X, 7, "m must be"),
        ([2, 2, 2, 2, 2, 2], X, 1, "at least two categories"),
        ([0, 1.5, 0, 1, 0, 1], X, 1, "whole numbers"),
        (["a", "b", "a", "b", "a", "b"], X, 1, "whole numbers"),
        (pd.Categorical(list("abcabc"), ordered=False), X, 1, "unordered"),
        (pd.Series(pd.Categorical(list("ababab"), categories=list("abc"), ordered=True)), X, 1, "no observation"),
        ([0, 1, 0, 1, 0, np.nan], X, 1, "NaN"),
        ([0, 1, 0, 1, 0, 1], X[:5], 1, "shape"),
        ([0, 1, 0, 1, 0, 1], np.column_stack([X, np.ones(6)]), 1, "constant"),
    ]:
        with pytest.raises(ValueError, match=match):
            OrderedRegression(endog, exog, m=m)
    ok = OrderedRegression(pd.Series(pd.Categorical(list("lmhlmh"), categories=list("lmh"), ordered=True)), X, m=1)
    assert ok.param_names[2:] == ["l/m", "m/h"] and ok.endog.tolist() == [0, 1, 2, 0, 1, 2]


def test_ordered_standard_errors_are_those_of_the_exact_hessian():
    # Second differences of the log-likelihood, Richardson-extrapolated
    # (error h^4, rounding eps |llf| / h^2, about 1e-6 here): the exact
    # Hessian's standard errors agree to 1e-5.  (The former Hessian, forward
    # differences of the gradient, was 5e-4 from this.)
    X, y = simulate(4000, 21)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res = OrderedRegression(y, X, m=3).fit()
    free = np.flatnonzero(~res.fixed)
    theta = res.params[free]

    def llf(v):
        full = res.params.copy()
        full[free] = v
        return res.model.loglike(full)

    def hessian(h):
        steps = h * np.maximum(1.0, np.abs(theta))
        E = np.diag(steps)
        return np.array([[(llf(theta + E[i] + E[j]) - llf(theta + E[i] - E[j]) - llf(theta - E[i] + E[j])
                           + llf(theta - E[i] - E[j])) / (4 * steps[i] * steps[j])
                          for j in range(free.size)] for i in range(free.size)])

    H = (4 * hessian(1e-3) - hessian(2e-3)) / 3
    np.testing.assert_allclose(res.bse[free], np.sqrt(np.diag(np.linalg.inv(-H))), rtol=1e-5)
