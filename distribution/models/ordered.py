"""Ordered-response regression with polynomially adjusted logistic noise:
the model (its blocks, starts, predictions and margins); its data's checks
are `ordered_data`, its effect tests `effect_tests`."""

from __future__ import annotations

from typing import Any, Callable

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import accurate
from .._checks import (align, align_to, as_real, by_name, check_coefficients, column_names, is_dask,
                       is_pandas, matrix, numpy_only, offset as check_offset, one_row, weighting)
from .._frozen import AdjustedLogistic
from .._warnings import warn
from . import dense, effect_tests, likelihood, ordered_data, regression, starts
from .block import Array, Index
from .formula import FormulaData
from .results import RegressionResults, Table, normal_isf


class CategoryPrediction:
    """Predicted category probabilities with delta-method standard errors:
    ``predicted`` and ``se`` (n, K); `conf_int`."""

    def __init__(self, predicted: Array, se: Array) -> None:
        self.predicted, self.se = predicted, se

    def conf_int(self, alpha: float = 0.05) -> Array:
        """Normal intervals on the logit scale, logit(P) +- z se / (P (1 -
        P)), mapped back: (n, K, 2), inside [0, 1]."""
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        P = self.predicted
        with np.errstate(divide="ignore", invalid="ignore"):
            logit = np.log(P) - np.log1p(-P)
            half = normal_isf(alpha / 2) * self.se / (P * (1 - P))
        return np.stack([1 / (1 + np.exp(-(logit - half))), 1 / (1 + np.exp(-(logit + half)))], axis=-1)


class OrderedRegressionResults(RegressionResults):
    """Result of `OrderedRegression.fit`.

    Besides the attributes of the likelihood results: ``model``, ``noise``
    (the fitted noise distribution, an `AdjustedLogistic` at loc 0, scale 1),
    ``cutpoints``, `predict`, `get_prediction`, `get_margeff`, `lr_test`
    and `noise_summary`.  `get_margeff` gives the effects on each
    category's probability (they sum to 0 over the categories).
    """

    title = "OrderedRegression maximum likelihood"
    model: OrderedRegression

    def __init__(self, **fit: Any) -> None:
        super().__init__(**fit)
        self.cutpoints = self.model.cutpoints(self._params)

    def predict(self, exog: Any = None, offset: Any = None, exog_scale: Any = None, exog_nominal: Any = None) -> Any:
        """Category probabilities, shape (n, K), for exog (the model's by
        default): a DataFrame's columns are matched by name (for a formula
        model, raw columns are put through its formulas), a Series whose
        index is the column names is one row; for pandas input, a
        DataFrame with its index and the categories as columns.  A model
        with scale or nominal effects needs their designs too."""
        return self.model.predict(self._params, exog, offset, exog_scale=exog_scale, exog_nominal=exog_nominal)

    def get_prediction(self, exog: Any = None, offset: Any = None, exog_scale: Any = None,
                       exog_nominal: Any = None) -> CategoryPrediction:
        """Category probabilities with delta-method standard errors under
        this fit's covariance type.

        Returns
        -------
        CategoryPrediction
            ``predicted`` (n, K), ``se`` (n, K) and ``conf_int(alpha)`` (n,
            K, 2), intervals formed on the logit scale, so that they stay
            inside [0, 1].
        """
        predicted, jac = self.model.predict(self._params, exog, offset, True, exog_scale, exog_nominal)
        var = np.einsum("nkp,pq,nkq->nk", jac, self._cov, jac)
        return CategoryPrediction(predicted, np.sqrt(np.maximum(var, 0.0)))

    def nominal_test(self) -> Table:
        """For each term of the location's design, the likelihood-ratio
        test of letting it move each threshold on its own (a nominal effect,
        partial proportional odds), as clm's ``nominal_test``: a `Table` of
        llf, AIC, the statistic LRT, df, Pr(>Chi) and whether the larger
        fit converged per term (it does not where its maximum lies at
        infinity, a threshold of one group beyond all its observations: the
        statistic is then the supremum's).  Each larger model is fitted by
        Newton's method from this fit, its new coefficients where they give
        this fit again."""
        return self.model.effect_tests(self, "nominal")

    def scale_test(self) -> Table:
        """For each term of the location's design, the likelihood-ratio
        test of adding it to the log-scale's design, as clm's
        ``scale_test``: a `Table` as `nominal_test`'s."""
        return self.model.effect_tests(self, "scale")


class OrderedRegression(regression.RegressionModel):
    """Ordered-response regression with polynomially adjusted logistic noise.

    The response falls in category j when the latent ``y* = exog @ b +
    offset + e`` lies in ``(c_j, c_(j+1)]``, with cut points
    ``c_1 < ... < c_(K-1)`` (``c_0 = -inf``, ``c_K = inf``) and noise ``e``
    of density proportional to ``p(e)**2 f(e)``, f the standard logistic
    density:

        P(y = j | x) = P(c_j - x b - offset < e <= c_(j+1) - x b - offset).

    Parameters
    ----------
    endog : array_like or pandas Categorical
        Categories: whole numbers (their sorted distinct values are the
        ordered categories) or an ordered pandas Categorical; at least two,
        each observed.
    exog : array_like, shape (n, k)
        Covariates, without a constant column (the cut points play that part).
        endog and exog may both be Dask arrays (see the Dask page): the fit
        is then summed chunk by chunk on the workers.
    m : int, optional
        Number of coefficients of p, 1 to 6.  With ``m = 1`` the noise is
        logistic: the ordered logit.
    weights : array_like, shape (n,), optional
        Frequency weights: row i stands for ``weights[i]`` identical
        observations (counts per cell).  The fit, its standard errors and
        ``nobs`` are those of the replicated rows.
    sampling_weights : array_like, shape (n,), optional
        Sampling (probability) weights: the fit maximises the weighted
        pseudo-log-likelihood and its covariance is the sandwich.
    offset : array_like, shape (n,), optional
        A known term of the latent index, with coefficient 1.
    exog_scale : array_like, shape (n, kg), optional
        The noise's log-scale design, without a constant (clm's
        ``scale=``): the noise is exp(z gamma) e, so that
        P(y <= j | x) = F((c_j - x b - offset) exp(-z gamma)).  Parameters
        ``log_scale:name``.
    exog_nominal : array_like, shape (n, kw), optional
        Nominal effects, without a constant (clm's ``nominal=``, partial
        proportional odds): each cut point moves with its own coefficients,
        c_j + w delta_j.  Parameters ``a/b:name``.  Thresholds that cross
        for some w give the categories between them probability 0: the fit
        never steps there, and predictions say so where they happen.

    Results have `nominal_test` and `scale_test`, clm's tables of the
    likelihood-ratio tests of each location term as a nominal or a scale
    effect.

    pandas arguments are paired by their index, as statsmodels pairs them:
    the same labels in another order are put in the order of the first
    (``row_labels``), different ones raise a ValueError.  A DataFrame's
    columns (a Series's name) are the parameters' names, and predictions
    match a DataFrame's columns to them by name.

    Notes
    -----
    Identification.  The noise's own location and scale are fixed at
    ``loc = 0``, ``scale = 1``: a shift of e is a shift of every cut point,
    and a stretch of e a common factor of b and the cut points.  p is known
    up to a factor: its largest coefficient is fixed at 1 (see
    `AdjustedLogistic.fit`).  The cut points are estimated themselves, as
    R's ``ordinal`` does: disordered cut points give an
    interval of probability 0, which the search never steps to.
    """

    results_class = OrderedRegressionResults
    concave = True  # the ordered logit's log-likelihood

    def __init__(self, endog: Any, exog: Any, m: int = 3, weights: Any = None, sampling_weights: Any = None,
                 offset: Any = None, exog_scale: Any = None, exog_nominal: Any = None) -> None:
        check_coefficients("m", m)
        (endog, exog, weights, sampling_weights, offset, exog_scale, exog_nominal), self.row_labels = align(
            endog=endog, exog=exog, weights=weights, sampling_weights=sampling_weights, offset=offset,
            exog_scale=exog_scale, exog_nominal=exog_nominal)
        self._named = column_names(exog)
        self._named_sides = {"exog_scale": column_names(exog_scale), "exog_nominal": column_names(exog_nominal)}
        if is_dask(endog) or is_dask(exog):
            numpy_only(exog_scale=exog_scale, exog_nominal=exog_nominal)
            self.endog, self.labels, self.exog, self.exog_names = ordered_data.dask_data(endog, exog, weights,
                                                                             sampling_weights, offset)
            weights, sampling, self.offset, pandas = None, False, None, False
        else:
            self.endog, self.labels = ordered_data.categories(endog)
            n = self.endog.size
            self.exog, self.exog_names = ordered_data.design("exog", exog, n)
            weights, sampling = weighting(n, weights, sampling_weights)
            self.offset = check_offset(offset, n)
            pandas = is_pandas(exog) or is_pandas(endog)
        n = int(self.endog.shape[0])
        self.exog_scale, self.exog_scale_names = ordered_data.design("exog_scale", exog_scale, n, "z")
        self.exog_nominal, self.exog_nominal_names = ordered_data.design("exog_nominal", exog_nominal, n, "w")
        if len(self.labels) < 2:
            raise ValueError(f"endog must have at least two categories, got {len(self.labels)}")
        if weights is not None:
            unused = set(range(len(self.labels))) - set(self.endog[weights > 0].tolist())
            if unused:
                raise ValueError(f"category {self.labels[min(unused)]!r} has no observation of positive weight")
        self.k_levels = len(self.labels)
        kw, kg = self.exog_nominal.shape[1], self.exog_scale.shape[1]
        # The ordered logit is concave in b and the cut points; a scale or
        # nominal effects take that away.
        self.concave = kw == 0 and kg == 0
        arrays = (("y", self.endog), ("X", self.exog), ("offset", self.offset), ("w", weights),
                  ("W", self.exog_nominal if kw else None), ("Z", self.exog_scale if kg else None))
        super().__init__(rows=regression.Rows({k: v for k, v in arrays if v is not None}),
                         k_ends=self.exog.shape[1] + (self.k_levels - 1) * (1 + kw), m=m, weights=weights,
                         sampling=sampling, n_rows=n, pandas=pandas)

    def phi_names(self) -> list[str]:
        cuts = [f"{a}/{b}" for a, b in zip(self.labels[:-1], self.labels[1:])]
        return [*self.exog_names, *cuts, *(f"{cut}:{w}" for w in self.exog_nominal_names for cut in cuts),
                *(f"log_scale:{z}" for z in self.exog_scale_names)]

    @classmethod
    def from_formula(cls, formula: str, data: Any, m: int = 3, missing: str = "drop", weights: Any = None,
                     sampling_weights: Any = None, offset: Any = None, scale_formula: str | None = None,
                     nominal_formula: str | None = None) -> OrderedRegression:
        """The model of a formula ``"y ~ x1 + C(g)"`` on a DataFrame, through
        formulaic (``pip install formulaic``).  The design's intercept is
        dropped: the cut points take its place.  y is a column of whole
        numbers or an ordered Categorical.

        missing : {"drop", "raise"}
            Rows with a missing value in a variable the model uses (the
            formulas', the weights' or the offset's) are dropped
            (``model.n_dropped`` counts them), or raise a ValueError.
        weights, sampling_weights, offset
            A column of data by name, or one value per row of data (a
            Series is paired by its index).
        scale_formula, nominal_formula : str, optional
            ``"~ z"``: the log-scale's design and the nominal effects'
            (clm's ``scale=`` and ``nominal=``), without their intercepts.

        The results predict at new data from its raw columns, through the
        formulas with the fit's levels."""
        f = FormulaData(formula, data, ("y",), missing, drop_intercept=True, weights=weights,
                        sampling_weights=sampling_weights, offset=offset,
                        side_formulas={"exog_scale": ("scale_formula", scale_formula, True),
                                       "exog_nominal": ("nominal_formula", nominal_formula, True)})
        # The responses come first, as many as the formula has (mypy takes a list for every positional).
        return f.attach(cls(*f.responses, f.exog, m=m, **f.keywords))  # type: ignore[call-arg, misc]

    def _split(self, params: ArrayLike) -> tuple[Array, Array, Array]:
        """(slopes, cut points, p) of a parameter vector, checked."""
        b, cuts, _, _, p = self._parts(params)
        return b, cuts, p

    def _parts(self, params: Any) -> tuple[Array, Array, Array, Array, Array]:
        """(slopes, cut points, nominal effects (K - 1, kw), log-scale
        coefficients, p) of a parameter vector, checked."""
        k, K = self.exog.shape[1], self.k_levels
        params = as_real("params", params)
        if params.shape != (len(self.param_names),):
            raise ValueError(f"params must have {len(self.param_names)} values, got shape {params.shape}")
        nominal = params[k + K - 1:self.k_ends].reshape(self.exog_nominal.shape[1], K - 1).T
        gamma = params[self.k_ends:self.k_ends + self.exog_scale.shape[1]]
        return params[:k], params[k:k + K - 1], nominal, gamma, self.noise_coefficients(params)

    def cutpoints(self, params: ArrayLike) -> Array:
        return self._split(params)[1]

    def loglike(self, params: ArrayLike) -> float:
        """Log-likelihood at params: slopes, cut points, nominal effects,
        log-scale coefficients, then p (if m > 1)."""
        *_, p = self._parts(params)
        phi = np.asarray(params, float)[None, :self.k_ends + self.exog_scale.shape[1]]
        return float(self.observations().sums(phi, p[None], likelihood.VALUE)[0][0])

    def make_block(self, chunk: dict[str, Any]) -> likelihood.LocationScaleBlock | dense.DenseBlock:
        """A chunk's observations of positive weight as bounds: category j
        lies between thresholds j and j + 1, each c_j + w delta_j, less
        exog b and the offset, over the scale exp(z gamma); the first and last
        categories are open at -inf and +inf.  Without nominal effects the
        ends' design is sparse: -exog beside the unit column of c_j, the
        compiled likelihood's; with them, dense: at threshold j a 1 for c_j
        and w for delta_j (`dense.DenseBlock`)."""
        w = chunk.get("w")
        keep = np.arange(chunk["y"].shape[0]) if w is None else np.flatnonzero(w > 0)
        k, K = self.exog.shape[1], self.k_levels
        y = chunk["y"][keep].astype(np.intp)
        offset = regression.chunk_offset(chunk)[keep]
        Z = chunk["Z"][keep] if "Z" in chunk else None

        def end(index: Index, infinite: float) -> tuple[Array, Index]:
            inside = (index >= 0) & (index < K - 1)
            return np.where(inside, -offset, infinite), np.where(inside, k + index, -1)

        lo, idx_lo = end(y - 1, -np.inf)
        hi, idx_hi = end(y, np.inf)
        weights, rows = None if w is None else w[keep], chunk["start"] + keep
        if "W" not in chunk:
            return likelihood.LocationScaleBlock(lo, hi, chunk["X"][keep], idx_lo, idx_hi, Z=Z, weights=weights,
                                                row_index=rows, k_location=self.k_ends)
        W, n = chunk["W"][keep], y.size

        def design(idx: Index) -> Array:
            D = np.zeros((n, self.k_ends))
            D[:, :k] = -chunk["X"][keep]
            inside = np.flatnonzero(idx >= 0)
            D[inside, idx[inside]] = 1.0
            for i in range(W.shape[1]):
                D[inside, idx[inside] + (K - 1) * (1 + i)] = W[inside, i]
            D[idx < 0] = 0.0
            return D

        return dense.DenseBlock(lo, design(idx_lo), hi, design(idx_hi), np.zeros((n, 0)) if Z is None else Z,
                           np.zeros(n, bool), np.ones(n) if weights is None else weights, rows)

    def starts(self, m: int) -> Callable[..., Any]:
        """For the ordered logit, b = 0 and the cut points at the logistic
        quantiles of the observed cumulative frequencies; then each starting
        shape of j coefficients, and RANDOM j shapes of standard normal
        coefficients, with b and the cut points of the best fit so far moved
        and stretched to the shape's mean and sd (the random ones stretched
        once more, by a random factor from 1/3 to 3), and above two
        coefficients also from the ordered logit."""
        k = self.exog.shape[1]

        def logistic() -> list[tuple[Array, Array]]:
            counts = self.rows.sum(lambda c: np.bincount(c["y"].astype(np.intp), weights=c.get("w"),
                                                         minlength=self.k_levels))
            cum = np.cumsum(counts)[:-1] / counts.sum()
            # The ordered logit is concave in b and the cut points: one
            # start when it is the fit, three (stretched by 1/2, 1 and 2)
            # when it seeds the shapes.
            cuts = np.log(cum / (1 - cum))
            stretches = (1.0,) if m == 1 and self.concave else (1.0, 0.5, 2.0)
            rest = np.zeros(self.k_ends - k - cuts.size + self.exog_scale.shape[1])
            return [(np.concatenate([np.zeros(k), cuts * r, rest]), np.ones(1)) for r in stretches]

        def reshape(phi: Array, mean: float, sd: float, loc: float, scale: float, more: float) -> Array:
            # The noise e' of shape q has mean -loc / scale and sd
            # 1 / scale: e = mean + sd (e' + loc / scale) scale keeps b
            # and the cut points' meaning, in units of e'.
            r = more / (scale * sd)
            K1 = self.k_levels - 1
            return np.concatenate([phi[:k] * r, (phi[k:k + K1] - mean) * r - loc / scale,
                                   phi[k + K1:self.k_ends] * r, phi[self.k_ends:]])

        return starts.regression_starts(logistic, reshape)

    # ------------------------------------------------------ predictions
    def effect_tests(self, results: OrderedRegressionResults, kind: str) -> Table:
        """The Table of `effect_tests.effect_tests` for this fit."""
        return effect_tests.effect_tests(self, results, kind, OrderedRegression)

    def noise(self, params: Array, scaled: bool = False) -> AdjustedLogistic:
        return AdjustedLogistic(self.noise_coefficients(params))

    def slopes(self) -> tuple[list[int] | NDArray[np.intp], list[str]]:
        return np.arange(self.exog.shape[1]), self.exog_names

    def _exog(self, exog: Any, offset: Any, exog_scale: Any = None,
              exog_nominal: Any = None) -> tuple[Array, Array, Array, Array, Any]:
        """(X, W, Z, offset, labels) to predict at: the model's rows, or
        exog's (a formula model's raw columns put through its formulas) with
        the nominal effects' and scale's designs; labels, the rows' pandas
        index or None."""
        if exog is None:
            if self.rows.dask:
                raise TypeError("the model's data are Dask arrays: give exog (NumPy) to predict at")
            assert self.offset is not None  # NumPy data have offsets, 0 by default
            offset = align_to("offset", offset, self.row_labels)
            return (self.exog, self.exog_nominal, self.exog_scale,
                    self.offset if offset is None else check_offset(offset, self.n_rows), self.row_labels)
        exog = one_row(exog, self._named)
        sides = {"exog_scale": exog_scale, "exog_nominal": exog_nominal}
        raw = None if self.formula is None else self.formula.raw(exog, self._named)
        if raw is not None:
            assert self.formula is not None  # raw columns come from a formula model
            exog, _, from_data = self.formula.frames(raw)
            offset = from_data if offset is None else offset
            sides = {name: self.formula.side(name, raw) if v is None else v for name, v in sides.items()}
        exog, labels = by_name("exog", exog, self._named)
        X = matrix("exog", exog, np.shape(exog)[0])
        k = self.exog.shape[1]
        if X.shape[1] != k:
            raise ValueError(f"exog must have {k} columns, got {X.shape[1]}")
        designs = []
        for name, full in (("exog_nominal", self.exog_nominal), ("exog_scale", self.exog_scale)):
            if not full.shape[1]:
                designs.append(np.zeros((X.shape[0], 0)))
                continue
            if sides[name] is None:
                raise ValueError(f"{name} must be given: the model has {full.shape[1]} such columns")
            value, _ = by_name(name, align_to(name, one_row(sides[name], self._named_sides[name]), labels),
                               self._named_sides[name])
            V = matrix(name, value, X.shape[0], "exog")
            if V.shape[1] != full.shape[1]:
                raise ValueError(f"{name} must have {full.shape[1]} columns, got {V.shape[1]}")
            designs.append(V)
        return X, *designs, check_offset(align_to("offset", offset, labels), X.shape[0]), labels

    def predict(self, params: Array, exog: Any = None, offset: Any = None, jacobian: bool = False,
                exog_scale: Any = None, exog_nominal: Any = None) -> Any:
        """Category probabilities at params, shape (n, K), for exog (the
        model's by default; see `OrderedRegressionResults.predict`), a
        DataFrame for pandas input; with `jacobian`, arrays of them and of
        their Jacobian in the parameters, (n, K, len(params)).  Where the
        thresholds of a row cross (nominal effects), a category between
        them has probability 0, and a warning says so."""
        X, W, Z, offset, labels = self._exog(exog, offset, exog_scale, exog_nominal)
        if jacobian:
            return self._at_edges(params, X, W, Z, offset, "cdf")
        # Each category's probability as an interval's, accurate where it is
        # small (not as a difference of distribution functions).
        u = self._standardised(params, X, W, Z, offset)
        n = u.shape[0]
        lower = np.column_stack([np.full(n, -np.inf), u])
        upper = np.column_stack([u, np.full(n, np.inf)])
        P = AdjustedLogistic(self.noise_coefficients(params)).probability_between(lower, upper)
        return self.labelled(P, labels, self.labels)

    def _standardised(self, params: Array, X: Array, W: Array, Z: Array, offset: Array) -> Array:
        """The thresholds of each row in the noise's units, (c_j + w delta_j
        - x b - offset) exp(-z gamma), (n, K - 1); a warning where they cross."""
        b, cuts, nominal, gamma, _ = self._parts(params)
        thresholds = cuts[None, :] + W @ nominal.T
        if W.shape[1] and (np.diff(thresholds, axis=1) < 0).any():
            warn(f"the thresholds cross at {int((np.diff(thresholds, axis=1) < 0).any(axis=1).sum())} rows: the "
                 "categories between them have probability 0 there")
        return (thresholds - (X @ b + offset)[:, None]) * np.exp(-(Z @ gamma))[:, None]

    def _at_thresholds(self, params: Array, X: Array, W: Array, Z: Array, offset: Array,
                       kind: str) -> tuple[Array, Array, Array, Array]:
        """At each threshold j of each row, t = (c_j + w delta_j - x b -
        offset) exp(-z gamma), and G = F ("cdf") or f ("pdf"): (t, G(t),
        dG/dt, dG/dp), from the accurate gradients (the density's as f times
        those of log f); crossed thresholds keep F from falling."""
        p = self.noise_coefficients(params)
        u = self._standardised(params, X, W, Z, offset)  # (n, K-1)
        if kind == "cdf":
            G, dG, _, _, dGp = accurate.cdf_grad(u, 0.0, 1.0, p)
            # Crossed thresholds: the upper one's G never below the lower's.
            return u, np.maximum.accumulate(G, axis=1), dG, dGp
        v, dv, _, _, dvp = accurate.logpdf_grad(u, 0.0, 1.0, p)
        G = np.exp(v)
        return u, G, G * dv, G[..., None] * dvp

    def _at_edges(self, params: Array, X: Array, W: Array, Z: Array, offset: Array,
                  kind: str) -> tuple[Array, Array]:
        """Per row and category: the category probability ("cdf") or the
        density difference f(t_(j+1)) - f(t_j) ("pdf"), (n, K), and its
        Jacobian in the parameters, (n, K, len(params)).  By the chain rule
        dt/dc_j = exp(-z gamma), dt/ddelta_j = w exp(-z gamma),
        dt/db = -x exp(-z gamma), dt/dgamma = -t z; a category's value is G
        at its upper threshold less G at its lower one."""
        k, K, kg = X.shape[1], self.k_levels, Z.shape[1]
        u, G, dG, dGp = self._at_thresholds(params, X, W, Z, offset, kind)
        cut = np.arange(K - 1)
        jac = np.zeros((u.shape[0], K - 1, len(params)))
        ds = dG * np.exp(-(Z @ self._parts(params)[3]))[:, None]
        jac[:, :, :k] = -ds[..., None] * X[:, None, :]
        jac[:, cut, k + cut] = ds
        for i in range(W.shape[1]):
            jac[:, cut, k + (K - 1) * (1 + i) + cut] = ds * W[:, i:i + 1]
        jac[:, :, self.k_ends:self.k_ends + kg] = -(dG * u)[..., None] * Z[:, None, :]
        if self.m > 1:
            jac[..., self.k_ends + kg:] = dGp
        return _categories_between(G, jac, float(kind == "cdf"))

    def _summed_edges(self, params: Array, X: Array, offset: Array, kind: str, w: Array) -> tuple[Array, Array]:
        """The values of `_at_edges` and their Jacobians summed over the rows
        with weights w, (K,) and (K, len(params)), without the arrays of
        each row: for a model without scale or nominal effects."""
        k, K = X.shape[1], self.k_levels
        none = np.zeros((X.shape[0], 0))
        _, G, dG, dGp = self._at_thresholds(params, X, none, none, offset, kind)
        cut = np.arange(K - 1)
        jac = np.zeros((K - 1, len(params)))
        jac[:, :k] = -(dG * w[:, None]).T @ X
        jac[cut, k + cut] = w @ dG
        if self.m > 1:
            jac[..., k + K - 1:] = np.tensordot(w, dGp, axes=1)
        return _categories_between(w @ G, jac, float(kind == "cdf") * w.sum())

    def _margin_sums(self, chunk: dict[str, Any], params: Array, binary: NDArray[np.bool_]) -> tuple[Array, ...]:
        """A chunk's weighted sums for the margins: the density difference
        of each category and its Jacobian, and for each `binary` covariate
        the category probabilities and their Jacobians at 0 and at 1."""
        X, w, offset = chunk["X"], regression.chunk_weights(chunk), regression.chunk_offset(chunk)
        out = list(self._summed_edges(params, X, offset, "pdf", w))
        ends: list[list[tuple[Array, Array]]] = [[], []]
        for c in np.flatnonzero(binary):
            for level in (0, 1):
                Xc = X.copy()
                Xc[:, c] = level
                ends[level].append(self._summed_edges(params, Xc, offset, "cdf", w))
        for level in (0, 1):
            out += [np.array([e[0] for e in ends[level]]).reshape(-1, self.k_levels),
                    np.array([e[1] for e in ends[level]]).reshape(-1, self.k_levels, params.size)]
        return tuple(out)

    def margins(self, params: Array, at: str, dummy: bool,
                free: NDArray[np.bool_]) -> tuple[str, list[Any], Array, Array]:
        """The effects of each covariate on each category's probability, and
        their exact Jacobian (from cdf_grad and logpdf_grad)."""
        if self.exog_scale.shape[1] or self.exog_nominal.shape[1]:
            raise NotImplementedError("marginal effects of a model with scale or nominal effects: a covariate "
                                      "moves the thresholds and the scale too, which these margins leave out")
        k, K = self.exog.shape[1], self.k_levels
        binary = np.zeros(k, bool)
        if dummy:
            binary = self.rows.sum(lambda c: (~np.isin(c["X"], (0.0, 1.0))).sum(axis=0)) == 0
        W, point = self.rows.mean_row(["X", "offset"])
        if at == "mean":
            sums, W = self._margin_sums(point, params, binary), 1.0
        else:
            sums = self.rows.sum(self._margin_sums, params, binary)
        density, d_density, at_0, d_at_0, at_1, d_at_1 = (part / W for part in sums)
        b = params[:k]
        effect = -b[:, None] * density[None, :]  # (k, K)
        jac = -b[:, None, None] * d_density[None, :, :]
        jac[np.arange(k), :, np.arange(k)] -= density[None, :]
        effect[binary], jac[binary] = at_1 - at_0, d_at_1 - d_at_0
        names = [(x, f"P(y={label})") for x in self.exog_names for label in self.labels]
        title = "Average marginal effects" if at == "overall" else "Marginal effects at the mean"
        return title, names, effect.ravel(), jac.reshape(k * K, -1)


def _categories_between(G: Array, jac: Array, high: float) -> tuple[Array, Array]:
    """The categories' values from G at the thresholds (last axis) and its
    Jacobian (the thresholds' axis before the parameters'): differences of
    G padded with its limits, 0 below and `high` above."""
    axis = G.ndim - 1
    first = np.take(G, [0], axis)
    value = np.diff(np.concatenate([np.zeros_like(first), G, np.full_like(first, high)], axis=axis), axis=axis)
    pad = np.zeros_like(np.take(jac, [0], axis))
    return value, np.diff(np.concatenate([pad, jac, pad], axis=axis), axis=axis)
