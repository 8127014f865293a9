"""pandas in and out: arguments paired by index, predictions matched by
column name, formulas that drop incomplete rows and predict at new data."""

import warnings

import numpy as np
import pytest

from distribution import AdjustedLogistic, IntervalRegression, OrderedRegression, SurvivalRegression

pd = pytest.importorskip("pandas")


def _frame(n=400, seed=0):
    """Ordered, interval and survival responses on two covariates and a
    three-level factor, indexed by shuffled labels."""
    rng = np.random.default_rng(seed)
    df = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "g": rng.choice(list("abc"), n),
                       "w": rng.uniform(0.5, 2.0, n)}, index=rng.permutation(np.arange(1000, 1000 + n)))
    eta = df.x1 - 0.5 * df.x2 + 0.7 * (df.g == "b")
    df["y"] = np.digitize(eta + rng.logistic(size=n), [-1.0, 0.5, 2.0])
    df["v"] = 1 + eta + np.exp(0.2 * df.x1) * rng.logistic(size=n)
    df["t"] = np.exp(0.5 + 0.3 * eta + 0.4 * rng.logistic(size=n))
    df["event"] = (rng.uniform(size=n) < 0.8).astype(int)
    return df


def _shuffled(value, seed=1):
    return value.sample(frac=1, random_state=seed)


def test_pandas_arguments_are_paired_by_index():
    df = _frame()
    X = df[["x1", "x2"]]
    base = OrderedRegression(df.y, X, m=1, weights=df.w).fit()
    # The same labels in another order: the rows are paired by label.
    shuffled = OrderedRegression(_shuffled(df.y), X, m=1, weights=_shuffled(df.w, 2)).fit()
    assert shuffled.llf == pytest.approx(base.llf, rel=1e-10)
    # The rows in the response's order, X's reordered to it.
    assert shuffled.model.row_labels.equals(_shuffled(df.y).index)
    np.testing.assert_array_equal(shuffled.model.exog, X.loc[_shuffled(df.y).index].to_numpy())
    by_position = OrderedRegression(_shuffled(df.y).to_numpy(), X, m=1, weights=df.w).fit()
    assert abs(by_position.llf - base.llf) > 1.0
    # Different labels, or repeated ones in another order: never by position.
    with pytest.raises(ValueError, match="indexes of endog and exog hold different labels"):
        OrderedRegression(df.y.reset_index(drop=True), X, m=1)
    with pytest.raises(ValueError, match="endog and offset"):
        OrderedRegression(df.y, X, m=1, offset=df.x1.iloc[:-1])
    repeated = df.set_axis(np.arange(len(df)) // 2)
    with pytest.raises(ValueError, match="repeat labels"):
        OrderedRegression(repeated.y, repeated[["x1", "x2"]].iloc[::-1], m=1)
    assert OrderedRegression(repeated.y, repeated[["x1", "x2"]], m=1).fit().llf == pytest.approx(
        OrderedRegression(df.y, X, m=1).fit().llf, rel=1e-12)

    # Cluster groups: paired with the model's rows.
    clustered = OrderedRegression(df.y, X, m=1).fit(cov_type="cluster", groups=df.g)
    again = OrderedRegression(df.y, X, m=1).fit(cov_type="cluster", groups=_shuffled(df.g))
    np.testing.assert_allclose(again.bse, clustered.bse, rtol=1e-12)
    with pytest.raises(ValueError, match="groups"):
        OrderedRegression(df.y, X, m=1).fit(cov_type="cluster", groups=df.g.reset_index(drop=True))

    # The interval and survival models, and the density fit.
    interval = IntervalRegression(df.v, df.v, X, m=1, offset=0.1 * df.x2).fit()
    assert IntervalRegression(_shuffled(df.v), df.v, X, m=1, offset=_shuffled(0.1 * df.x2, 3)).fit().llf == \
        pytest.approx(interval.llf, rel=1e-10)
    survival = SurvivalRegression(df.t, df.event, X, m=1).fit()
    assert SurvivalRegression(df.t, _shuffled(df.event), _shuffled(X), m=1).fit().llf == pytest.approx(
        survival.llf, rel=1e-10)
    upper = df.t.where(df.event == 1, np.inf)
    assert SurvivalRegression.from_intervals(df.t, _shuffled(upper), X, m=1).fit().llf == pytest.approx(
        survival.llf, rel=1e-10)
    with pytest.raises(ValueError, match="duration and event"):
        SurvivalRegression(df.t, df.event.reset_index(drop=True), X, m=1)
    density = AdjustedLogistic.fit(df.v, m=1, weights=df.w)
    assert AdjustedLogistic.fit(df.v, m=1, weights=_shuffled(df.w)).llf == pytest.approx(density.llf, rel=1e-10)
    with pytest.raises(ValueError, match="data and groups"):
        AdjustedLogistic.fit(df.v, m=1, cov_type="cluster", groups=df.g.reset_index(drop=True))


def test_predictions_match_columns_by_name():
    df = _frame()
    X = df[["x1", "x2"]]
    ordered = OrderedRegression(df.y, X, m=1).fit()
    P = ordered.predict(X)
    assert isinstance(P, pd.DataFrame) and P.index.equals(df.index) and list(P.columns) == [0, 1, 2, 3]
    pd.testing.assert_frame_equal(ordered.predict(X[["x2", "x1"]]), P)
    pd.testing.assert_frame_equal(ordered.predict(), P)
    np.testing.assert_allclose(ordered.predict(X.to_numpy()), P.to_numpy(), rtol=1e-15)
    # A Series of the column names is one row.
    np.testing.assert_allclose(ordered.predict(X.iloc[3][["x2", "x1"]]).to_numpy(), P.iloc[[3]].to_numpy())
    prediction = ordered.get_prediction(X.iloc[:5, ::-1])
    np.testing.assert_allclose(prediction.predicted, P.iloc[:5].to_numpy(), rtol=1e-12)
    with pytest.raises(ValueError, match="lacks the model's column.*'x2'"):
        ordered.predict(X[["x1"]])
    with pytest.raises(ValueError, match="column.*'g' that the model does not have"):
        ordered.predict(df[["x1", "x2", "g"]])
    # A Series keeps its name as the parameter's.
    assert OrderedRegression(df.y, df.x1, m=1).fit().param_names[0] == "x1"

    interval = IntervalRegression(df.v, df.v, X, exog_scale=df[["x1"]], m=1).fit()
    mean = interval.predict(X, df[["x1"]])
    assert isinstance(mean, pd.Series) and mean.index.equals(df.index)
    pd.testing.assert_series_equal(interval.predict(X[["x2", "x1"]]), mean)
    assert interval.predict(X.iloc[7]).to_numpy() == pytest.approx(mean.iloc[7], rel=1e-14)
    assert interval.param_names == ["Intercept", "x1", "x2", "log_scale:Intercept", "log_scale:x1"]
    survival = SurvivalRegression(df.t, df.event, X, m=1).fit()
    median = survival.predict_median(X)
    assert survival.predict_median(X.iloc[2]).to_numpy() == pytest.approx(median.iloc[2], rel=1e-14)
    np.testing.assert_allclose(survival.predict_median(X.to_numpy()[:3]), median.iloc[:3], rtol=1e-14)
    curves = survival.predict_survival_function(X.iloc[:2, ::-1], times=median.iloc[:2])
    assert list(curves.columns) == list(df.index[:2])
    np.testing.assert_allclose(np.diag(curves.to_numpy()), 0.5)


def test_formula_drops_incomplete_rows():
    df = _frame()
    df.loc[df.index[3], "x1"] = np.nan
    df.loc[df.index[10], "g"] = None
    df.loc[df.index[20], "w"] = np.nan
    model = OrderedRegression.from_formula("y ~ x1 + x2 + C(g)", df, m=1, weights="w")
    res = model.fit()
    complete = df.drop(index=df.index[[3, 10, 20]])
    expected = OrderedRegression.from_formula("y ~ x1 + x2 + C(g)", complete, m=1, weights=complete.w).fit()
    assert model.n_dropped == 3 and res.nobs == expected.nobs and model.n_rows == len(df) - 3
    assert res.llf == pytest.approx(expected.llf, rel=1e-12)
    assert "Dropped 3 rows with missing values" in res.summary().as_text()
    assert "Dropped" not in expected.summary().as_text()
    # The weights as an array, or a Series paired by index, are the column's.
    for weights in (df.w.to_numpy(), _shuffled(df.w)):
        assert OrderedRegression.from_formula("y ~ x1 + x2 + C(g)", df, m=1, weights=weights).fit().llf == \
            pytest.approx(res.llf, rel=1e-12)
    with pytest.raises(ValueError, match=r"missing values in 'x1' \(1 row\), 'g' \(1 row\), 'weights'"):
        OrderedRegression.from_formula("y ~ x1 + x2 + C(g)", df, m=1, weights="w", missing="raise")
    with pytest.raises(ValueError, match="missing must be 'drop' or 'raise'"):
        OrderedRegression.from_formula("y ~ x1", df, missing="none")
    with pytest.raises(ValueError, match="'z' is not a column"):
        OrderedRegression.from_formula("y ~ x1", df, weights="z")
    with pytest.raises(ValueError, match="one value .* per row of data, 400"):
        OrderedRegression.from_formula("y ~ x1", df, offset=np.zeros(399))
    # Cluster groups of the whole frame are taken at the rows used.
    clustered = model.fit(cov_type="cluster", groups=df.g.fillna("a"))
    direct = OrderedRegression(model.endog, model.exog, m=1, weights=complete.w).fit(
        cov_type="cluster", groups=complete.g.to_numpy())
    np.testing.assert_allclose(clustered.bse, direct.bse, rtol=1e-10)

    # The survival model, its scale formula and its response.
    df.loc[df.index[30], "t"] = np.nan
    survival = SurvivalRegression.from_formula("t + event ~ x1 + C(g)", df, m=1, scale_formula="~ x2")
    assert survival.n_dropped == 3 and survival.fit().nobs == len(df) - 3
    both = df.drop(index=df.index[[3, 10, 30]])
    assert survival.fit().llf == pytest.approx(SurvivalRegression(both.t, both.event, pd.get_dummies(
        both[["x1", "g"]], columns=["g"], drop_first=True, dtype=float), both[["x2"]], m=1).fit().llf, rel=1e-10)


def test_formula_predicts_at_new_data():
    df = _frame()
    ordered = OrderedRegression.from_formula("y ~ x1 + np.exp(x2) + C(g)", df, m=1).fit()
    new = _shuffled(df.drop(columns=["y"])).iloc[:50]
    np.testing.assert_allclose(ordered.predict(new).to_numpy(), ordered.predict().loc[new.index].to_numpy(),
                               rtol=1e-14)
    assert ordered.predict(new.iloc[0]).index[0] == new.index[0]
    np.testing.assert_allclose(ordered.get_prediction(new).predicted, ordered.predict(new).to_numpy(), rtol=1e-14)
    # The design itself is matched by name.
    design = ordered.model.formula.encoding.get_model_matrix(new).drop(columns="Intercept")
    np.testing.assert_allclose(ordered.predict(design.iloc[:, ::-1]), ordered.predict(new), rtol=1e-14)
    # One level of the new data's factor: the fit's coding all the same.
    only_b = new[new.g == "b"]
    np.testing.assert_allclose(ordered.predict(only_b), ordered.predict().loc[only_b.index], rtol=1e-14)
    with pytest.raises(ValueError, match="variable 'g' has level 'd', which the fit did not see"):
        ordered.predict(new.assign(g=["d"] + list(new.g.iloc[1:])))
    with pytest.raises(ValueError, match="lacks the formula's variable.*'x2'"):
        ordered.predict(new.drop(columns="x2"))
    with pytest.raises(ValueError, match="missing values in 'x1'"):
        ordered.predict(new.assign(x1=np.where(np.arange(50) == 4, np.nan, new.x1)))

    survival = SurvivalRegression.from_formula("t + event ~ x1 + C(g)", df, m=1, scale_formula="~ x2").fit()
    np.testing.assert_allclose(survival.predict_median(new), survival.predict_median().loc[new.index], rtol=1e-14)
    assert survival.predict_median(new.iloc[1]).to_numpy() == pytest.approx(
        survival.predict_median().loc[new.index[1]], rel=1e-14)
    interval = IntervalRegression.from_formula("v + v ~ x1 + C(g)", df, m=1, exog_scale="x2", offset="x2").fit()
    np.testing.assert_allclose(interval.predict(new), interval.predict().loc[new.index], rtol=1e-14)
    assert interval.param_names[-2:] == ["log_scale:Intercept", "log_scale:x2"]
    with pytest.raises(ValueError, match="scale_formula or exog_scale"):
        IntervalRegression.from_formula("v + v ~ x1", df, scale_formula="~ x2", exog_scale="x2")


@pytest.mark.filterwarnings("ignore:Maximum Likelihood optimization failed to converge")
def test_formula_fit_matches_statsmodels():
    """One first fit with missing values, a categorical column and a
    shuffled index: the ordered logit of statsmodels' formula API (patsy),
    which drops the incomplete rows too."""
    ordinal = pytest.importorskip("statsmodels.miscmodels.ordinal_model")
    pytest.importorskip("patsy")
    df = _shuffled(_frame(600, seed=5), 7)
    df.loc[df.index[[2, 50]], "x2"] = np.nan
    df.loc[df.index[9], "g"] = None
    df["g"] = df.g.astype("category")
    ours = OrderedRegression.from_formula("y ~ x1 + x2 + g", df, m=1).fit()
    theirs = ordinal.OrderedModel.from_formula("y ~ x1 + x2 + g", df, distr="logit").fit(
        method="newton", maxiter=100, tol=1e-14, disp=False)
    assert ours.nobs == theirs.nobs == 597
    assert ours.llf == pytest.approx(theirs.llf, rel=1e-6)
    # patsy puts the factor's columns first; the names are formulaic's too.
    slopes = ["x1", "x2", "g[T.b]", "g[T.c]"]
    cuts = theirs.model.transform_threshold_params(theirs.params.to_numpy())[1:-1]
    np.testing.assert_allclose(ours.params.to_numpy(), np.concatenate([theirs.params[slopes].to_numpy(), cuts]),
                               rtol=1e-4, atol=1e-6)
    assert list(ours.params.index[:4]) == slopes


def test_no_numpy_warning_beside_the_fits_own():
    # Nearly collinear covariates: the covariance may have negative
    # variances (their sign is rounding's), whose standard errors are NaN,
    # and the only warning is the fit's.
    negative = 0
    for seed in (5, 6, 7):
        rng = np.random.default_rng(seed)
        x = rng.normal(size=200)
        X = np.column_stack([x, 2 * x + 1e-10 * rng.normal(size=200)])
        y = (x + rng.logistic(size=200) > 0).astype(int) + (x + rng.logistic(size=200) > 1)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            res = OrderedRegression(y, X, m=1).fit()
            bse, text = res.bse, res.summary().as_text()
            res.conf_int(), res.pvalues
        assert [str(w.message)[:25] for w in caught] == ["the fit did not reach a p"]
        variances = np.diag(res.cov_params())
        assert np.array_equal(np.isnan(bse), ~(variances >= 0))
        assert ("nan" in text) == bool(np.isnan(bse).any())
        negative += int((variances < 0).any())
    assert negative
