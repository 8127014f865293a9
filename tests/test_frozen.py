"""AdjustedLogistic against scipy.stats' consistency checks for continuous
distributions, its broadcasting, gradients and scipy view."""

import pickle

import numpy as np
import pytest

stats = pytest.importorskip("scipy.stats")
integrate = pytest.importorskip("scipy.integrate")

from distribution import AdjustedLogistic, accurate  # noqa: E402

CASES = {
    "logistic": AdjustedLogistic([2.0], loc=0.5, scale=2.0),
    "skewed": AdjustedLogistic([1.0, 0.5], loc=0.3, scale=1.7),
    "bimodal": AdjustedLogistic([0.0, 1.0, 0.0], loc=-1.0, scale=0.8),   # p(x) = x, p0 = 0
    "six": AdjustedLogistic([0.5, 0.3, 0.1, 0.05, 0.01, 0.002]),
}
DISTS = pytest.mark.parametrize("d", CASES.values(), ids=CASES.keys())
Q = np.array([1e-12, 1e-4, 0.01, 0.3, 0.5, 0.7, 0.99, 1 - 1e-6])


@DISTS
def test_quantiles_invert_the_distribution_function(d):
    assert np.allclose(d.cdf(d.ppf(Q)), Q, rtol=1e-12, atol=0)
    assert np.allclose(d.sf(d.isf(Q)), Q, rtol=1e-12, atol=0)
    x = d.ppf(Q)
    assert np.allclose(d.cdf(x) + d.sf(x), 1.0, rtol=0, atol=4e-16)


@DISTS
def test_density_is_the_derivative_of_cdf_and_logs_agree(d):
    x = d.ppf(np.linspace(0.02, 0.98, 13))
    h = 1e-5 * d.std()
    assert np.allclose((d.cdf(x + h) - d.cdf(x - h)) / (2 * h), d.pdf(x), rtol=1e-7)
    for log, plain in ((d.logpdf, d.pdf), (d.logcdf, d.cdf), (d.logsf, d.sf)):
        assert np.allclose(log(x), np.log(plain(x)), rtol=1e-14, atol=1e-15)


@DISTS
def test_support_edges_and_normalisation(d):
    assert d.support() == (-np.inf, np.inf)
    assert (d.cdf(-np.inf), d.cdf(np.inf), d.sf(-np.inf), d.sf(np.inf)) == (0, 1, 1, 0)
    assert (d.ppf(0.0), d.ppf(1.0), d.isf(0.0), d.isf(1.0)) == (-np.inf, np.inf, np.inf, -np.inf)
    assert d.pdf(np.inf) == 0 and np.isnan(d.ppf(1.5))
    total, _ = integrate.quad(d.pdf, -np.inf, np.inf, points=None, epsabs=0, epsrel=1e-11, limit=500)
    assert total == pytest.approx(1.0, abs=1e-9)
    lo, hi = d.interval(0.9)
    assert (d.cdf(lo), d.sf(hi)) == (pytest.approx(0.05, rel=1e-12), pytest.approx(0.05, rel=1e-12))


@DISTS
def test_moments_against_quadrature(d):
    m, v, s, k = d.stats("mvsk")
    assert m == pytest.approx(d.expect(), rel=1e-9, abs=1e-12)
    assert v == pytest.approx(d.expect(lambda x: (x - m) ** 2), rel=1e-9)
    assert s == pytest.approx(d.expect(lambda x: (x - m) ** 3) / v**1.5, rel=1e-7, abs=1e-9)
    assert k == pytest.approx(d.expect(lambda x: (x - m) ** 4) / v**2 - 3, rel=1e-7)
    assert d.moment(5) == pytest.approx(d.expect(lambda x: x**5), rel=1e-8, abs=1e-9)
    assert d.median() == pytest.approx(d.ppf(0.5)) and d.std() == pytest.approx(np.sqrt(v))


def test_entropy_to_1e_8():
    # The logistic's is 2 + log(scale); m = 3 against mpmath quadrature at 30 digits.
    assert CASES["logistic"].entropy() == pytest.approx(2 + np.log(2.0), rel=1e-12)
    mpmath = pytest.importorskip("mpmath")
    mpmath.mp.dps = 30
    d = AdjustedLogistic([0.5, -1.0, 0.3], loc=0.2, scale=1.3)
    p = lambda x: 0.5 - x + 0.3 * x**2  # noqa: E731
    kernel = lambda x: p(x) ** 2 * mpmath.exp(-(x - 0.2) / 1.3) / (1 + mpmath.exp(-(x - 0.2) / 1.3)) ** 2  # noqa: E731
    breaks = [-mpmath.inf, *sorted(float(r) for r in np.roots([0.3, -1.0, 0.5])), mpmath.inf]
    S = mpmath.quad(kernel, breaks)
    H = -mpmath.quad(lambda x: kernel(x) / S * mpmath.log(kernel(x) / S) if kernel(x) else 0, breaks)
    assert d.entropy() == pytest.approx(float(H), rel=1e-8)


@DISTS
def test_rvs_passes_kolmogorov_smirnov(d):
    x = d.rvs(size=4000, random_state=np.random.default_rng(42))
    assert stats.kstest(x, d.cdf).pvalue > 0.01
    assert np.array_equal(d.rvs(size=5, random_state=3), d.rvs(size=5, random_state=3))


@DISTS
def test_pickles(d):
    back = pickle.loads(pickle.dumps(d))
    assert back == d and repr(back) == repr(d)
    assert np.array_equal(back.cdf(Q), d.cdf(Q))


def test_broadcasting_pairs_points_with_rows():
    mu = np.linspace(-1.0, 2.0, 5)
    param = np.array([[1.0, 0.5, 0.1]] * 5) + np.linspace(0, 0.5, 5)[:, None]
    d = AdjustedLogistic(param, loc=mu, scale=1.5)
    y = np.linspace(-2.0, 3.0, 5)
    expected = [accurate.cdf([y[i]], mu[i], 1.5, param[i])[0] for i in range(5)]
    assert d.shape == (5,) and np.array_equal(d.cdf(y), expected)
    assert d.pdf(y[:, None, None]).shape == (5, 1, 5)
    assert d.rvs(size=(3, 5), random_state=0).shape == (3, 5)
    assert np.allclose(d.mean(), [AdjustedLogistic(param[i], mu[i], 1.5).mean() for i in range(5)], rtol=1e-14)


GRADS = ["pdf", "logpdf", "cdf", "logcdf", "sf", "logsf"]


@pytest.mark.parametrize("name", GRADS)
def test_gradients_against_finite_differences(name):
    param, loc, scale = np.array([0.5, -0.8, 0.3]), 0.3, 1.7
    x = np.array([-6.0, -0.4, 0.2, 1.5, 7.0])
    value, d_x, d_loc, d_scale, d_param = getattr(AdjustedLogistic(param, loc, scale), name + "_grad")(x)

    def f(x=x, loc=loc, scale=scale, param=param):
        return getattr(AdjustedLogistic(param, loc, scale), name)(x)

    assert np.array_equal(value, f())
    h = 1e-6
    fd = [(f(x=x + h) - f(x=x - h)) / (2 * h), (f(loc=loc + h) - f(loc=loc - h)) / (2 * h),
          (f(scale=scale + h) - f(scale=scale - h)) / (2 * h)]
    fd.append(np.column_stack([(f(param=param + h * e) - f(param=param - h * e)) / (2 * h) for e in np.eye(3)]))
    for got, want in zip((d_x, d_loc, d_scale, d_param), fd):
        assert np.allclose(got, want, rtol=1e-6, atol=1e-8 * np.abs(value).max())


def test_probability_between_and_its_gradient():
    d = AdjustedLogistic([1.0, -0.5, 0.2], loc=0.4, scale=1.2)
    a = np.array([-np.inf, -3.0, 0.1, 2.0, 1.0])
    b = np.array([-1.0, -2.5, 0.3, np.inf, 1.0])
    P = d.probability_between(a, b)
    assert np.allclose(P[:4], (d.cdf(b) - d.cdf(a))[:4], rtol=1e-12) and P[4] == 0
    assert np.allclose(np.exp(d.log_probability_between(a, b)), P, rtol=1e-13)
    value, d_a, d_b, d_loc, d_scale, d_param = d.log_probability_between_grad(a[:4], b[:4])
    h = 1e-6
    lp = lambda a=a[:4], b=b[:4], loc=0.4: AdjustedLogistic([1.0, -0.5, 0.2], loc, 1.2).log_probability_between(a, b)  # noqa: E731
    with np.errstate(invalid="ignore"):
        assert np.allclose(d_a, np.nan_to_num((lp(a=a[:4] + h) - lp(a=a[:4] - h)) / (2 * h)), rtol=1e-6, atol=1e-9)
    assert np.allclose(d_b, np.nan_to_num((lp(b=b[:4] + h) - lp(b=b[:4] - h)) / (2 * h)), rtol=1e-6, atol=1e-9)
    assert np.allclose(d_loc, (lp(loc=0.4 + h) - lp(loc=0.4 - h)) / (2 * h), rtol=1e-6)
    assert d_param.shape == (4, 3) and d_a[0] == 0 and d_b[3] == 0


def test_to_scipy_is_the_same_distribution():
    d = CASES["skewed"]
    s = d.to_scipy()
    x = np.array([-3.0, 0.0, 2.5, 9.0])
    assert s.name == "adjusted_logistic"
    for name in ("pdf", "logpdf", "cdf", "logcdf", "sf", "logsf"):
        assert np.allclose(getattr(s, name)(x), getattr(d, name)(x), rtol=1e-15, atol=0)
    assert s.ppf(0.3) == d.ppf(0.3) and (s.mean(), s.var()) == pytest.approx((d.mean(), d.var()))
    assert pickle.loads(pickle.dumps(s)).cdf(1.0) == d.cdf(1.0)
    data = d.rvs(size=300, random_state=1)
    assert stats.kstest(data, s.cdf).pvalue > 0.01
    fit = stats.goodness_of_fit(s, data, known_params={"loc": 0.0, "scale": 1.0}, statistic="ks",
                                n_mc_samples=49, random_state=2)
    assert fit.pvalue > 0.01
    with pytest.raises(ValueError, match="single distribution"):
        AdjustedLogistic([1.0], loc=[0.0, 1.0]).to_scipy()


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(param=np.ones(7)), ValueError, "from 1 to 6"),
    (dict(param=np.ones((2, 0))), ValueError, "from 1 to 6"),
    (dict(param=[1.0], scale=0.0), ValueError, "scale must be positive"),
    (dict(param=[0.0, 0.0]), ValueError, "nonzero coefficient"),
    (dict(param=[1.0, np.nan]), ValueError, "param must be finite"),
    (dict(param=["a"]), TypeError, "param must be real"),
    (dict(param=[1.0], loc=1j), TypeError, "loc must be real"),
    (dict(param=2.0), ValueError, "last axis"),
    (dict(param=[1.0], loc=[0.0, 1.0], scale=[1.0, 2.0, 3.0]), ValueError, "do not broadcast"),
])
def test_bad_parameters(kwargs, error, match):
    with pytest.raises(error, match=match):
        AdjustedLogistic(**kwargs)


def test_bad_arguments_of_methods():
    d = AdjustedLogistic([1.0], loc=[0.0, 1.0])
    for call, match in [(lambda: d.cdf([1.0, 2.0, 3.0]), "x of shape"), (lambda: d.moment(13), "order"),
                        (lambda: d.moment(1.5), "order"), (lambda: d.interval(1.5), "confidence"),
                        (lambda: d.rvs(size=3), "size"), (lambda: d.stats("mx"), "moments")]:
        with pytest.raises(ValueError, match=match):
            call()
    with pytest.raises(TypeError, match="random_state"):
        d.rvs(random_state="seed")


def test_interval_gradient_in_scale_and_coefficients_and_many_rows():
    param = np.array([[1.0, -0.5, 0.2], [0.3, 1.0, 0.1]])
    loc, scale = np.array([0.4, -0.2]), np.array([1.2, 0.7])
    a, b = np.array([-1.0, 0.5]), np.array([0.8, 3.0])

    def lp(scale=scale, param=param):
        return AdjustedLogistic(param, loc, scale).log_probability_between(a, b)

    _, _, _, _, d_scale, d_param = AdjustedLogistic(param, loc, scale).log_probability_between_grad(a, b)
    h = 1e-6
    assert np.allclose(d_scale, (lp(scale=scale + h) - lp(scale=scale - h)) / (2 * h), rtol=1e-6)
    fd = np.column_stack([(lp(param=param + h * e) - lp(param=param - h * e)) / (2 * h) for e in np.eye(3)])
    assert d_param.shape == (2, 3) and np.allclose(d_param, fd, rtol=1e-6, atol=1e-9)


def test_expect_over_an_interval_and_entropy_of_many_rows():
    d = CASES["skewed"]
    lo, hi = -1.0, 4.0
    inside = integrate.quad(lambda x: x * d.pdf(x), lo, hi, epsabs=0, epsrel=1e-12)[0]
    assert d.expect(lb=lo, ub=hi) == pytest.approx(inside, rel=1e-9)
    assert d.expect(lb=lo, ub=hi, conditional=True) == pytest.approx(inside / d.probability_between(lo, hi), rel=1e-9)
    rows = AdjustedLogistic([1.0], scale=[1.0, 2.0, 4.0])
    assert np.allclose(rows.entropy(), 2 + np.log([1.0, 2.0, 4.0]), rtol=1e-12)


@pytest.mark.parametrize("k", range(0, 13, 3))
def test_raw_moments_to_order_12(k):
    d = AdjustedLogistic([1.0, -0.3, 0.1], loc=0.5, scale=0.8)
    assert d.moment(k) == pytest.approx(d.expect(lambda x: x**k), rel=1e-8)
