"""Scale and nominal effects of the ordered model: at m = 1 R's clm with
scale= and nominal=, and its nominal_test and scale_test, on ordinal's wine
and soup (tests/data/R); with flexible noise, the best of many random-start
fits of the likelihood written again (tests/global_reference.py, the maxima
from tests/make_global_reference.py)."""

import csv
import os

import numpy as np
import pytest

pytest.importorskip("formulaic")
pytest.importorskip("scipy")

import global_reference  # noqa: E402
from make_global_reference import DATA, scale_nominal_sample  # noqa: E402
from test_profile import ordered_data, reference  # noqa: E402

from distribution import OrderedRegression  # noqa: E402

CASES = [("wine_clm_scale", "wine", "rating ~ temp + contact", {"scale_formula": "~ temp"}),
         ("wine_clm_nominal", "wine", "rating ~ temp", {"nominal_formula": "~ contact"}),
         ("soup_clm_scale", "soup", "SURENESS ~ PROD", {"scale_formula": "~ PROD"}),
         ("soup_clm_nominal", "soup", "SURENESS ~ PROD", {"nominal_formula": "~ C(DAY)"})]


def r_name(name):
    """Our parameter's name in clm's: 1/2 -> 1|2, temp[T.warm] -> tempwarm,
    1/2:contact[T.yes] -> 1|2.contactyes, log_scale:x -> scale:x."""
    clean = name.replace("C(DAY)[T.2]", "DAY2").replace("[T.", "").replace("]", "").replace("log_scale:", "scale:")
    if ":" in clean and not clean.startswith("scale:"):
        cut, w = clean.split(":")
        return f"{cut.replace('/', '|')}.{w}"
    return clean.replace("/", "|")


@pytest.mark.parametrize("model, data, formula, effects", CASES)
def test_scale_and_nominal_effects_are_those_of_clm(model, data, formula, effects):
    res = OrderedRegression.from_formula(formula, ordered_data(data), m=1, **effects).fit()
    assert res.llf == pytest.approx(reference(model, "llf")[""], rel=1e-9)
    coef, se = reference(model, "coef"), reference(model, "se")
    for name, value in res.params.items():
        key = r_name(name)
        key = key if key in coef else key.replace(".", ".(Intercept)") if "." in key else f"{key}.(Intercept)"
        assert value == pytest.approx(coef[key], rel=1e-5, abs=1e-7), name
        assert res.bse[name] == pytest.approx(se[key], rel=1e-4), name


@pytest.mark.parametrize("data, formula", [("wine", "rating ~ temp + contact"),
                                           ("soup", "SURENESS ~ PROD + C(DAY) + GENDER")])
def test_nominal_and_scale_tests_are_clms(data, formula):
    res = OrderedRegression.from_formula(formula, ordered_data(data), m=1).fit()
    for kind, table in (("nominal", res.nominal_test()), ("scale", res.scale_test())):
        frame = table.summary_frame()
        ours = dict(zip([t.replace("C(DAY)", "DAY") for t in frame.index], frame["LRT"]))
        assert ours == pytest.approx(reference(f"{data}_clm", f"{kind}_LRT"), rel=1e-5, abs=1e-8)
        assert dict(zip(ours, frame["df"])) == reference(f"{data}_clm", f"{kind}_df")


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_flexible_scale_and_nominal_fit_reaches_the_reference_maximum():
    (row,) = [r for r in csv.DictReader(open(os.path.join(DATA, "global_maxima.csv")))
              if r["sample"] == "scale_nominal"]
    y, x, w, z = scale_nominal_sample(int(row["seed"]))
    res = OrderedRegression(y, x, m=int(row["m"]), exog_scale=z, exog_nominal=w).fit()
    assert res.llf == pytest.approx(global_reference.scale_nominal_llf(y, x, w, z, res._params, res.model.m, 3),
                                    rel=1e-9)
    assert res.llf >= float(row["llf"]) - 1e-6 * abs(float(row["llf"]))


def test_bad_designs_and_crossing_thresholds():
    data = ordered_data("wine")
    with pytest.raises(ValueError, match="exog_nominal column 'w1' is constant"):
        OrderedRegression(data["rating"], np.arange(72.0), m=1, exog_nominal=np.ones(72))
    with pytest.raises(ValueError, match="exog_scale column 'z1' is constant"):
        OrderedRegression(data["rating"], np.arange(72.0), m=1, exog_scale=np.ones(72))
    res = OrderedRegression.from_formula("rating ~ temp", data, m=1, nominal_formula="~ contact").fit()
    with pytest.raises(ValueError, match="exog_nominal must be given"):
        res.predict(res.model.exog[:2])
    far = data.iloc[:2].copy()
    probabilities = res.predict(far)
    np.testing.assert_allclose(probabilities.sum(axis=1), 1.0, rtol=1e-12)
    # Nominal effects whose thresholds cross at w = 40: a category of probability 0, said.
    with pytest.warns(RuntimeWarning, match="thresholds cross"):
        P = res.model.predict(res._params, res.model.exog[:1], exog_nominal=np.array([[40.0]]))
    assert (P >= 0).all() and P.sum() == pytest.approx(1.0)
