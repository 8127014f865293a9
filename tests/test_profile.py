"""Profile-likelihood intervals: at m = 1 those of R's confint on clm and
polr fits (tests/data/R/references.R wrote the figures and the data), and
with flexible noise the values where the profile, maximised again here from
many starts, drops by the chi-squared quantile."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("scipy")
pytest.importorskip("formulaic")
from scipy import optimize, stats  # noqa: E402

from distribution import BinaryRegression, IntervalRegression, OrderedRegression  # noqa: E402

R = os.path.join(os.path.dirname(__file__), "data", "R")
REFERENCES = pd.read_csv(os.path.join(R, "references.csv"), keep_default_na=False)


def reference(model, quantity):
    rows = REFERENCES[(REFERENCES.model == model) & (REFERENCES.quantity == quantity)]
    return dict(zip(rows.term, rows.value))


def ordered_data(name):
    data = pd.read_csv(os.path.join(R, f"{name}.csv"))
    response = "rating" if name == "wine" else "SURENESS"
    data[response] = pd.Categorical(data[response], ordered=True)
    if name == "soup":  # R's order of levels: the reference first
        data["GENDER"] = pd.Categorical(data["GENDER"], ["Male", "Female"])
    return data


@pytest.mark.parametrize("name, formula, terms", [
    ("wine", "rating ~ temp + contact", {"temp[T.warm]": "tempwarm", "contact[T.yes]": "contactyes"}),
    ("soup", "SURENESS ~ PROD + C(DAY) + GENDER", {"PROD[T.Test]": "PRODTest", "C(DAY)[T.2]": "DAY2",
                                                   "GENDER[T.Female]": "GENDERFemale"})])
def test_profile_intervals_are_those_of_clm_and_polr(name, formula, terms):
    res = OrderedRegression.from_formula(formula, ordered_data(name), m=1).fit()
    assert res.llf == pytest.approx(reference(f"{name}_clm", "llf")[""], rel=1e-9)
    profile = res.conf_int(method="profile")
    for ours, theirs in terms.items():
        for model in [f"{name}_clm"] + ([f"{name}_polr"] if name == "wine" else []):
            # polr's BFGS stops within 1e-5 of the maximum, clm's Newton at it.
            tolerance = 1e-4 if model.endswith("polr") else 1e-7
            assert res.params[ours] == pytest.approx(reference(model, "coef")[theirs], rel=tolerance)
            lower, upper = reference(model, "lower")[theirs], reference(model, "upper")[theirs]
            # R's confint interpolates the profile on a grid: 1e-3 is its accuracy.
            np.testing.assert_allclose(profile.loc[ours], [lower, upper], rtol=1e-3)


def constrained_maximum(model, params, i, value, spread=0.3, starts=8):
    """The log-likelihood maximised over every parameter but params[i] (and
    p's fixed coefficient), from the fit and random starts about it."""
    free = np.flatnonzero((np.arange(params.size) != i) & ~model.fit_fixed)

    def negative(u):
        t = params.copy()
        t[free], t[i] = u, value
        with np.errstate(all="ignore"):
            v = -model.loglike(t)
        return v if np.isfinite(v) else 1e300

    rng = np.random.default_rng(0)
    best = np.inf
    for k in range(starts):
        start = params[free] + (k > 0) * rng.normal(0, spread, free.size)
        best = min(best, optimize.minimize(negative, start, method="Powell",
                                           options={"xtol": 1e-10, "ftol": 1e-13, "maxfev": 40000}).fun)
    return -best


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["binary", "interval"])
def test_flexible_profiles_drop_by_the_quantile_at_their_bounds(kind):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(300, 1))
    e = rng.logistic(size=300) * (1 + 0.4 * (rng.uniform(size=300) < 0.3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        if kind == "binary":
            res = BinaryRegression((0.3 + 1.2 * x[:, 0] + e > 0).astype(int), x, m=2).fit()
        else:
            y = 5 + 2 * x[:, 0] + 3 * e
            res = IntervalRegression(np.where(y > 9, 9, y), np.where(y > 9, np.inf, y), x, m=2).fit()
    res.model.fit_fixed = res.fixed
    bounds = res.conf_int(alpha=0.1, method="profile")
    drop = stats.chi2.ppf(0.9, 1) / 2
    for i in np.flatnonzero(~res.fixed)[:3]:
        assert bounds[i, 0] < res.params[i] < bounds[i, 1]
        for v in bounds[i]:
            assert res.llf - constrained_maximum(res.model, res._params, i, v) == pytest.approx(drop, rel=2e-4)
    assert np.array_equal(bounds[res.fixed], [[1.0, 1.0]])


def test_profile_refusals():
    x = np.random.default_rng(1).normal(size=(200, 1))
    y = (x[:, 0] + np.random.default_rng(2).logistic(size=200) > 0).astype(int)
    res = BinaryRegression(y, x, m=1, sampling_weights=np.ones(200)).fit()
    with pytest.raises(ValueError, match="pseudo-likelihood"):
        res.conf_int(method="profile")
    with pytest.raises(ValueError, match="method must be"):
        BinaryRegression(y, x, m=1).fit().conf_int(method="score")
