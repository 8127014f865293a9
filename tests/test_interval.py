"""Interval, censored and survival regression: lifelines' log-logistic AFT
fit, a direct maximisation, mixed censoring against the independent
likelihood and its random starts, and bad bounds."""

import sys
from pathlib import Path

import numpy as np
import pytest

from distribution import AdjustedLogistic, IntervalRegression, OrderedRegression, SurvivalRegression

sys.path.insert(0, str(Path(__file__).parent))
import global_reference  # noqa: E402

pd = pytest.importorskip("pandas")
optimize = pytest.importorskip("scipy.optimize")

# lifelines 0.30.3, LogLogisticAFTFitter().fit(rossi, "week", "arrest"):
# log T = alpha'x + e / beta, e standard logistic, so our log-scale is -log(beta).
ROSSI_LLF = -679.9385061781236
ROSSI = {"fin": (0.2894331137350174, 0.14560293672171234), "age": (0.03628673280326683, 0.0155637536267151),
         "race": (-0.2792046879382059, 0.2296416428652835), "wexp": (0.17840618355079577, 0.15719074791518708),
         "mar": (0.3475845881289608, 0.26969515400029537), "paro": (0.05252267739133877, 0.14956354860858548),
         "prio": (-0.06918120937694634, 0.02274096451499412), "Intercept": (3.918909293155396, 0.42732968025251705),
         "log_scale:Intercept": (-0.4352069341743168, 0.08641745494698284)}


def _rossi():
    return pd.read_csv(Path(__file__).parent / "data" / "rossi.csv", comment="#")


def _log_logistic_llf(theta, X, t, event):
    """The log-logistic AFT log-likelihood on the time scale, written again."""
    scale = np.exp(theta[-1])
    z = (np.log(t) - X @ theta[:-1]) / scale
    log_sf = -np.logaddexp(0.0, z)
    return np.sum(np.where(event, z + 2 * log_sf - np.log(scale * t), log_sf))


def test_log_logistic_aft_matches_lifelines_on_rossi():
    df = _rossi()
    covariates = df.drop(columns=["week", "arrest"])
    res = SurvivalRegression(df["week"], df["arrest"], covariates, m=1).fit()
    names = list(ROSSI)
    expected, se = np.array([ROSSI[n][0] for n in names]), np.array([ROSSI[n][1] for n in names])
    # lifelines' BFGS stops 1e-4 below the maximum: the llf agrees to 1e-6
    # relative, its estimates to 2% of a standard error, its errors to 1e-3.
    assert ROSSI_LLF <= res.llf <= ROSSI_LLF * (1 - 1e-6)
    assert np.all(np.abs(res.params[names] - expected) < 0.02 * se)
    np.testing.assert_allclose(res.bse[names], se, rtol=1e-3)
    # The maximum itself, on the likelihood written again: a zero gradient and
    # the inverse of its Hessian (central differences) as the covariance.
    X = np.column_stack([covariates.to_numpy(float), np.ones(len(df))])
    theta = res.params[names].to_numpy()
    # Steps in each coefficient's own units: 1e-4 of the log time over its column's largest value.
    h = 1e-4 / np.append(np.abs(X).max(axis=0), 1.0)

    def gradient(th, h):
        return np.array([(_log_logistic_llf(th + e, X, df.week, df.arrest) -
                          _log_logistic_llf(th - e, X, df.week, df.arrest)) / (2 * e[i])
                         for i, e in enumerate(np.diag(h))])

    assert np.abs(gradient(theta, h / 100)).max() < 1e-5
    H = np.array([(gradient(theta + e, h) - gradient(theta - e, h)) / (2 * e[i]) for i, e in enumerate(np.diag(h))])
    np.testing.assert_allclose(res.bse[names], np.sqrt(np.diag(np.linalg.inv(-(H + H.T) / 2))), rtol=1e-4)
    assert res.llf == pytest.approx(_log_logistic_llf(theta, X, df.week, df.arrest), rel=1e-13)
    formula = SurvivalRegression.from_formula("week + arrest ~ fin + age + race + wexp + mar + paro + prio", df,
                                              m=1).fit()
    assert formula.llf == pytest.approx(res.llf, rel=1e-12)
    # The median of T: the time at which S(t | x) = 1/2.
    median = res.predict_median(covariates.iloc[:3])
    np.testing.assert_allclose(np.diag(res.predict_survival_function(covariates.iloc[:3], median).to_numpy()), 0.5)


def _simulated(seed, n=600, m_true=3):
    """y = 1 + 0.5 x + exp(-0.3 + 0.4 x) e with a skewed noise, censored in
    every way: a quarter exact, left below -1, right above 3, the rest in
    unit brackets."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    noise = AdjustedLogistic([1.0, 0.8, 0.3][:m_true])
    y = 1 + 0.5 * x + np.exp(-0.3 + 0.4 * x) * noise.rvs(n, random_state=rng)
    lower, upper = np.floor(y), np.floor(y) + 1
    exact = rng.uniform(size=n) < 0.25
    lower[exact] = upper[exact] = y[exact]
    lower[y > 3], upper[y > 3] = 3.0, np.inf
    lower[y < -1], upper[y < -1] = -np.inf, -1.0
    return lower, upper, x


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("seed, m", [(1, 2), (2, 3), (13, 3), (22, 2)])
def test_mixed_censoring_reaches_the_reference_maximum(seed, m):
    lower, upper, x = _simulated(seed, n=300)
    res = IntervalRegression(lower, upper, x, x, m=m).fit()
    X = np.column_stack([np.ones_like(x), x])
    kb = 2
    direct = global_reference.interval_llf(lower, upper, X, X, res.params[:kb], res.params[kb:2 * kb],
                                           res.params[2 * kb:])
    assert res.llf == pytest.approx(direct, rel=1e-9)
    best, _ = global_reference.interval_reference(lower, upper, X, X, m, starts=100, seed=seed)
    assert res.llf >= best - 1e-6 * abs(best)


def test_heteroskedastic_logistic_regression_is_the_direct_maximum():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(500, 2))
    y = 2 - x[:, 0] + np.exp(0.2 + 0.5 * x[:, 1]) * rng.logistic(size=500)
    res = IntervalRegression(y, y, x, x[:, 1], m=1).fit()

    def negative(t):
        scale = np.exp(t[3] + t[4] * x[:, 1])
        e = (y - t[0] - x @ t[1:3]) / scale
        return -np.sum(-e - 2 * np.log1p(np.exp(-e)) - np.log(scale))

    direct = optimize.minimize(negative, np.zeros(5), method="BFGS", options={"gtol": 1e-10})
    np.testing.assert_allclose(res.params, direct.x, rtol=1e-5, atol=1e-7)
    assert res.llf == pytest.approx(-direct.fun, rel=1e-12)
    assert res.param_names == ["Intercept", "x1", "x2", "log_scale:Intercept", "log_scale:z1"]


def test_survival_llf_is_on_the_time_scale():
    lower, upper, x = _simulated(4)
    t, event = np.exp(np.where(np.isfinite(lower), lower, upper) / 2), np.isfinite(upper)
    model = SurvivalRegression(t, event, x, m=2)
    res = model.fit()
    assert model.loglike(res.params) == pytest.approx(res.llf, rel=1e-12)
    loc, scale = res.predict(x, which="linear"), res.predict(x, which="scale")
    z = (np.log(t) - loc) / scale
    direct = np.sum(np.where(event, res.noise.logpdf(z) - np.log(scale * t), res.noise.logsf(z)))
    assert res.llf == pytest.approx(direct, rel=1e-12)
    censored = SurvivalRegression.from_intervals(t, np.where(event, t, np.inf), x, m=2).fit()
    assert censored.llf == pytest.approx(res.llf, rel=1e-12)


@pytest.mark.parametrize("lower, upper, message", [
    ([0.0, np.nan, 1.0], [1.0, 2.0, 2.0], "lower is NaN at rows 1"),
    ([0.0, 3.0, 1.0], [1.0, 2.0, 2.0], "lower > upper at rows 1"),
    ([0.0, np.inf, 1.0], [1.0, np.inf, 2.0], "must be finite"),
    ([0.0, 1.0], [1.0, 2.0, 3.0], "one length"),
])
def test_bad_bounds_name_the_rows(lower, upper, message):
    with pytest.raises(ValueError, match=message):
        IntervalRegression(lower, upper, m=1)


@pytest.mark.parametrize("duration, event, message", [
    ([1.0, -2.0, 3.0], None, "duration must be >= 0"),
    ([1.0, 0.0, 3.0], None, "positive: 0 at rows 1"),
    ([1.0, 2.0, np.inf], None, "finite"),
    ([1.0, 2.0, 3.0], [1, 2, 0], "event must hold 0"),
])
def test_bad_durations(duration, event, message):
    with pytest.raises(ValueError, match=message):
        SurvivalRegression(duration, event, m=1)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_frequency_weights_are_replicated_rows_with_a_cluster_covariance():
    lower, upper, x = _simulated(5, n=200)
    counts = np.random.default_rng(5).integers(0, 4, 200)
    groups = np.arange(200) % 7
    weighted = IntervalRegression(lower, upper, x, m=2, weights=counts).fit(cov_type="cluster", groups=groups)
    rows = np.repeat(np.arange(200), counts)
    replicated = IntervalRegression(lower[rows], upper[rows], x[rows], m=2).fit(cov_type="cluster",
                                                                                groups=groups[rows])
    assert weighted.nobs == counts.sum() and weighted.llf == pytest.approx(replicated.llf, rel=1e-12)
    np.testing.assert_allclose(weighted.params, replicated.params, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(weighted.bse, replicated.bse, rtol=1e-6)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("kind", ["ordered", "interval", "survival"])
def test_dask_data_give_the_numpy_fit(kind):
    da = pytest.importorskip("dask.array")
    lower, upper, x = _simulated(6, n=900)
    X = np.column_stack([x, np.random.default_rng(60).normal(size=900)])
    models = {"ordered": lambda f: OrderedRegression(f(np.searchsorted([-1.0, 1.0, 3.0], lower)), f(X), m=2),
              "interval": lambda f: IntervalRegression(f(lower), f(upper), f(X), f(x), m=2),
              "survival": lambda f: SurvivalRegression(f(np.exp(np.clip(lower, -3, 3))), f(np.isfinite(upper) * 1),
                                                       f(X), m=2)}
    numpy_fit = models[kind](lambda v: v).fit(cov_type="robust")
    dask_fit = models[kind](lambda v: da.from_array(v, chunks=(250,) + v.shape[1:])).fit(cov_type="robust")
    assert dask_fit.llf == pytest.approx(numpy_fit.llf, rel=1e-12)
    np.testing.assert_allclose(dask_fit.params, numpy_fit.params, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(dask_fit.bse, numpy_fit.bse, rtol=1e-8, atol=1e-14)
    np.testing.assert_allclose(dask_fit.get_margeff().values, numpy_fit.get_margeff().values, rtol=1e-6, atol=1e-9)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_margins_are_the_average_change_of_the_predicted_mean():
    rng = np.random.default_rng(2)
    df = pd.DataFrame({"x": rng.normal(size=800), "d": (rng.uniform(size=800) < 0.4) * 1.0})
    y = 1 + 0.5 * df.x - 0.7 * df.d + np.exp(0.1 + 0.3 * df.x) * AdjustedLogistic([1, 0.6]).rvs(800, random_state=rng)
    res = IntervalRegression(y, y, df, df[["x"]], m=2).fit()

    def mean_at(**columns):
        X = df.assign(**columns)
        return res.predict(X, X[["x"]]).mean()

    # x is in both designs: its effect has the scale's part g_x exp(z g) E[e].
    slope = (mean_at(x=df.x + 1e-5) - mean_at(x=df.x - 1e-5)) / 2e-5
    np.testing.assert_allclose(res.get_margeff(dummy=True).values[:, 0], [slope, mean_at(d=1.0) - mean_at(d=0.0)],
                               rtol=1e-7)


def test_the_one_start_of_a_concave_fit_is_every_starts_maximum():
    # With logistic noise and one scale the log-likelihood is concave in
    # (b / s, 1 / s): Newton from far starts, in the fit's own chart, ends
    # at the one-start fit's maximum, for censored, interval and exact rows.
    lower, upper, x = _simulated(3, n=1500)
    model = IntervalRegression(lower, upper, x, m=1)
    fit = model.fit()
    assert fit.converged and fit.starts == 1
    rng = np.random.default_rng(4)
    for _ in range(5):
        start = fit.params + rng.normal(0.0, 3.0, fit.params.size) * np.array([1.0, 1.0, 0.5])
        again = model.fit(start_params=start)
        assert again.llf == pytest.approx(fit.llf, rel=1e-12)
        np.testing.assert_allclose(again.params, fit.params, rtol=1e-7, atol=1e-9)
    # A scale design or a truncation takes the concavity away: three starts.
    assert IntervalRegression(lower, upper, x, x, m=1).fit().starts == 3
    kept = np.isfinite(lower)
    assert IntervalRegression(lower[kept], upper[kept], x[kept], m=1, truncation=(-5.0, np.inf)).fit().starts == 3


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_dask_chunks_give_the_numpy_ladder():
    # 10^5 rows: the candidates climb a sample of 20,000 gathered from the chunks.
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(8)
    X = rng.normal(size=(100_000, 2))
    y = np.searchsorted([-1.0, 0.5, 2.0], X @ [1.0, -0.5] + AdjustedLogistic([1.0, 0.5, 0.3]).rvs(100_000, random_state=rng))
    numpy_fit = OrderedRegression(y, X, m=2).fit()
    dask_fit = OrderedRegression(da.from_array(y, chunks=30_000), da.from_array(X, chunks=(30_000, 2)), m=2).fit()
    assert dask_fit.llf == pytest.approx(numpy_fit.llf, rel=1e-12)
    np.testing.assert_allclose(dask_fit.params, numpy_fit.params, rtol=1e-8, atol=1e-10)
