"""Interval, censored and exact regression with polynomially adjusted
logistic noise, and the accelerated failure time model of survival times.

The response y_i = x_i b + offset_i + exp(z_i g) e_i is known to lie in
(lower_i, upper_i]: exactly at lower_i = upper_i (the log density less the
log-scale), or with probability P(lo < e <= hi) at the standardised bounds,
an infinite bound giving a censored observation.  The fit runs on the
response in units of c + d y', c and d the centre and the logistic scale of
the bounds, so that its parameters are of order one; in y, b = d b' + c on
the constant and the log-scale's constant gains log d, and the
log-likelihood of each exact observation loses log d.
"""

from __future__ import annotations

import math
from typing import Any, Callable, Sequence, cast

import numpy as np
from numpy.typing import NDArray

from .. import accurate
from .._checks import (align, align_to, as_real, by_name, check_bounds, check_coefficients, column_names,
                       dask_together, is_dask, numpy_only, offset as check_offset, one_row, real, rows_text,
                       weighting)
from .._frozen import AdjustedLogistic
from . import likelihood, regression, starts
from .block import Array
from .formula import FormulaData
from .results import RegressionResults, numeric_jacobian

# Random shapes of p at each number of coefficients j: RANDOM j.  The noise
# trades with the location and a modelled scale: with 4 j, 7 of 34 simulated
# censored samples ended below the best of 100 random starts (5 without a
# warning); with 16 j, none.
RANDOM = 16


def _design(name: str, exog: Any, n: int, prefix: str = "x",
            like: Any = None) -> tuple[Any, list[str], int, float, bool]:
    """The design with its constant: (matrix, names, index of the constant,
    its value, whether it was added).  A design without a constant column
    gets one, "Intercept", in front (a Dask column where `like`, the
    bounds, is a Dask array)."""
    dask_rows = is_dask(like)
    if exog is None:
        if dask_rows:
            import dask.array as da

            return da.ones((n, 1), chunks=(like.chunks[0], 1)), ["Intercept"], 0, 1.0, True
        return np.ones((n, 1)), ["Intercept"], 0, 1.0, True
    names = column_names(exog)
    X = real(name, exog)
    X = X[:, None] if X.ndim == 1 else X
    if X.ndim != 2 or X.shape[0] != n:
        raise ValueError(f"{name} must have shape ({n}, k) to match the bounds, got {X.shape}")
    dask_together(f"the bounds and {name}", like, X)
    if dask_rows:
        import dask

        finite, low, high, first = dask.compute(np.isfinite(X).all(), X.min(axis=0), X.max(axis=0), X[0])
    else:
        finite = np.isfinite(X).all()
        low, high, first = (X.min(axis=0), X.max(axis=0), X[0]) if n else (np.zeros(X.shape[1]),) * 3
    if not finite:
        raise ValueError(f"{name} has NaN or infinite values")
    names = names or [f"{prefix}{i + 1}" for i in range(X.shape[1])]
    constant = np.flatnonzero(low == high) if n else np.arange(0)
    if constant.size > 1:
        raise ValueError(f"{name} has more than one constant column: {', '.join(names[i] for i in constant)}")
    if constant.size and first[constant[0]] == 0:
        raise ValueError(f"{name} column {names[constant[0]]!r} is all 0")
    if constant.size:
        return X, names, int(constant[0]), float(first[constant[0]]), False
    if dask_rows:
        import dask.array as da

        ones = da.ones((n, 1), chunks=(X.chunks[0], 1))
        return da.concatenate([ones, X], axis=1), ["Intercept", *names], 0, 1.0, True
    return np.column_stack([np.ones(n), X]), ["Intercept", *names], 0, 1.0, True


class IntervalRegressionResults(RegressionResults):
    """Result of `IntervalRegression.fit`.

    Besides the attributes of the likelihood results: ``model``, ``noise``
    (the fitted noise, an `AdjustedLogistic` at loc 0, scale 1), `predict`,
    `get_margeff` (effects on the expected response), `lr_test` and
    `noise_summary`.
    """

    title = "IntervalRegression maximum likelihood"
    model: IntervalRegression

    def predict(self, exog: Any = None, exog_scale: Any = None, offset: Any = None, which: str = "mean") -> Any:
        """The fitted response at exog (and exog_scale): its "mean", its
        "median", the "linear" predictor x b + offset, or the "scale"
        exp(z g).  Arrays are the covariates as the model was given them
        (without an added constant), by position; a DataFrame's columns are
        matched by name (and may hold the scale's columns too), a Series
        whose index is the column names is one row, and a formula model
        puts raw columns through its formulas.  A Series for pandas input."""
        return self.model.predict(self._params, exog, exog_scale, offset, which)


class IntervalRegression(regression.RegressionModel):
    """Regression on outcomes known exactly or within bounds, with
    polynomially adjusted logistic noise and a modelled scale.

    Observation i lies in ``(lower[i], upper[i]]`` of

        y = exog @ b + offset + exp(exog_scale @ g) e,

    e of density proportional to ``p(e)**2 f(e)``, f the standard logistic
    density.  ``lower == upper`` is an exact observation (its density),
    ``lower = -inf`` a left-censored one, ``upper = inf`` a right-censored
    one, anything else an interval: survreg's ``Surv(type="interval2")``.

    Parameters
    ----------
    lower, upper : array_like, shape (n,)
        The bounds; NaN, or lower > upper, is a ValueError naming the rows.
        They and the designs may all be Dask arrays (see the Dask page).
    exog : array_like, shape (n, k), optional
        The location's design.  Its constant column (the location takes the
        constant, unlike the ordered model) is added, as "Intercept", where
        there is none.
    exog_scale : array_like, shape (n, kg), optional
        The log-scale's design, with its constant added in the same way;
        by default the constant alone (one scale).  Other columns make the
        scale heteroskedastic, as R's ``clm(scale=)`` and lifelines'
        ancillary regressors do.  Parameters ``log_scale:name`` (array
        columns are named z1, z2, ...).
    m : int, optional
        Number of coefficients of p, 1 to 6; ``m = 1`` is logistic noise.
    weights, sampling_weights, offset
        As for `OrderedRegression`, and pandas arguments paired by index
        as there.
    truncation : (t_lower, t_upper), optional
        Each observation was only ever sampled with y in (t_lower,
        t_upper] (arrays, one per row, or scalars; -inf and inf for a side
        not truncated): truncated regression.  Its term is then less
        log P(t_lower < y <= t_upper).  Bounds outside the truncation
        interval are a ValueError naming the rows.

    Notes
    -----
    The noise's logistic factor is at loc 0, scale 1: the constants of the
    location and log-scale are its location and scale, p its shape (known
    up to a factor: its largest coefficient is fixed at 1).
    """

    response = ("lower", "upper")
    results_class = IntervalRegressionResults

    def __init__(self, lower: Any, upper: Any, exog: Any = None, exog_scale: Any = None, m: int = 3,
                 weights: Any = None, sampling_weights: Any = None, offset: Any = None,
                 truncation: Sequence[Any] | None = None) -> None:
        t_lower, t_upper = _truncation_pair(truncation)
        (lower, upper, exog, exog_scale, weights, sampling_weights, offset, t_lower, t_upper), labels = align(
            lower=lower, upper=upper, exog=exog, exog_scale=exog_scale, weights=weights,
            sampling_weights=sampling_weights, offset=offset, t_lower=t_lower, t_upper=t_upper)
        lo, hi = check_bounds(lower, upper, self.response)
        truncated = _truncation(t_lower, t_upper, lo, hi, ("truncation's lower", "truncation's upper"))
        self._setup(lo, hi, exog, exog_scale, m, weights, sampling_weights, offset, labels, truncation=truncated)

    def _setup(self, lo: Any, hi: Any, exog: Any, exog_scale: Any, m: int, weights: Any, sampling_weights: Any,
               offset: Any, labels: Any, log_jacobian: Array | None = None,
               truncation: tuple[Array, Array] | None = None) -> None:
        """The model of checked bounds; the others as they come to the
        constructor, paired (`labels`: their pandas index, or None);
        `truncation`, checked (t_lo, t_hi) arrays or None."""
        check_coefficients("m", m)
        n = int(lo.shape[0])
        self.row_labels = labels
        self._named, self._named_scale = column_names(exog), column_names(exog_scale)
        self.lower, self.upper = lo, hi
        self.exog, self.exog_names, self._const, self._const_value, self._const_added = _design(
            "exog", exog, n, like=lo)
        (self.exog_scale, self.exog_scale_names, self._const_scale, self._const_scale_value,
         self._const_scale_added) = _design("exog_scale", exog_scale, n, "z", like=lo)
        if is_dask(lo):
            numpy_only(weights=weights, sampling_weights=sampling_weights, offset=offset)
            weights, sampling, self.offset = None, False, None
        else:
            weights, sampling = weighting(n, weights, sampling_weights)
            self.offset = check_offset(offset, n)
        self.truncation = truncation
        # With logistic noise and one scale, the log-likelihood is concave
        # in (beta / s, 1 / s) (Pratt 1981: log-concave noise, exact or
        # interval observations), so its one critical point is the maximum
        # in any chart; a scale design or a truncation takes that away.
        self.concave = truncation is None and self.exog_scale.shape[1] == 1
        # "jac", added to the log-likelihood of each exact observation: a
        # change of variable (the survival model's log time).
        t_lo, t_hi = (None, None) if truncation is None else truncation
        arrays = {"lo": lo, "hi": hi, "X": self.exog, "Z": self.exog_scale, "offset": self.offset,
                  "w": weights, "jac": log_jacobian, "tlo": t_lo, "thi": t_hi}
        super().__init__(rows=regression.Rows({k: v for k, v in arrays.items() if v is not None}),
                         k_ends=self.exog.shape[1], m=m, weights=weights, sampling=sampling, n_rows=n,
                         pandas=labels is not None)
        self._standardise(m)

    def _standardise(self, m: int) -> None:
        """c and d: the weighted mean and logistic scale of each row's
        representative value (an exact value, an interval's midpoint, a
        censored row's finite bound), less the offset."""
        count, W, Wr, Wrr, W_exact, W_jac = self.rows.sum(_moments)
        if count < self.k_ends + self.exog_scale.shape[1] + m:
            raise ValueError(f"{count} observations cannot identify {self.k_ends + self.exog_scale.shape[1]} "
                             f"coefficients and a noise of m = {m}")
        if not W > 0:
            raise ValueError("every observation is unbounded on both sides: nothing locates the response")
        self._c = float(Wr / W)
        sd = math.sqrt(max(float(Wrr / W) - self._c**2, 0.0))
        self._d = sd * math.sqrt(3) / math.pi if sd > 1e-12 * max(abs(self._c), 1.0) else 1.0
        # In y's units each exact observation's density loses log d and
        # gains its change of variable.
        self.llf_shift = float(W_exact * math.log(self._d) - W_jac)

    def phi_names(self) -> list[str]:
        return [*self.exog_names, *(f"log_scale:{name}" for name in self.exog_scale_names)]

    @classmethod
    def from_formula(cls, formula: str, data: Any, m: int = 3, scale_formula: str | None = None, exog_scale: Any = None,
                     missing: str = "drop", weights: Any = None, sampling_weights: Any = None,
                     offset: Any = None) -> IntervalRegression:
        """The model of ``"lower + upper ~ x1 + C(g)"`` on a DataFrame,
        through formulaic (``pip install formulaic``).

        scale_formula : str, optional
            The log-scale's design, as ``"~ x1"``; or give `exog_scale`.
        missing : {"drop", "raise"}
            Rows with a missing value in a variable the model uses are
            dropped (``model.n_dropped`` counts them), or raise a ValueError.
        exog_scale, weights, sampling_weights, offset
            Column(s) of data by name, or one value (row) per row of data
            (a Series or DataFrame is paired by its index).

        The results predict at new data from its raw columns, through the
        formulas with the fit's levels."""
        f = cls._formula_data(formula, data, missing, scale_formula, exog_scale=exog_scale, weights=weights,
                              sampling_weights=sampling_weights, offset=offset)
        if len(f.responses) != 2:
            raise ValueError(f"formula must read 'lower + upper ~ terms', got {formula!r}")
        # The responses come first, as many as the formula has (mypy takes a list for every positional).
        return f.attach(cls(*f.responses, f.exog, m=m, **f.keywords))  # type: ignore[call-arg, misc]

    @classmethod
    def _formula_data(cls, formula: str, data: Any, missing: str, scale_formula: str | None,
                      **keywords: Any) -> FormulaData:
        return FormulaData(formula, data, cls.response, missing, scale_formula=scale_formula, **keywords)

    def loglike(self, params: Any) -> float:
        """Log-likelihood at params (b, g, then p if m > 1), in y's units:
        the log density of y at each exact row (for survival times, of T),
        the log probability of its bounds at the others."""
        params = as_real("params", params)
        if params.shape != (len(self.param_names),):
            raise ValueError(f"params must have {len(self.param_names)} values, got shape {params.shape}")
        return float(self.rows.sum(_chunk_llf, params, self.k_ends, self.noise_coefficients(params)))

    def make_block(self, chunk: dict[str, Any]) -> likelihood.LocationScaleBlock:
        """A chunk's observations of positive weight, the bounds in the
        fit's units, (bound - offset - c) / d, with the design -exog at
        each finite end (0 at an infinite one)."""
        w = chunk.get("w")
        keep = np.arange(chunk["lo"].shape[0]) if w is None else np.flatnonzero(w > 0)
        o = regression.chunk_offset(chunk)[keep]
        lo, hi = ((chunk[e][keep] - o - self._c) / self._d for e in ("lo", "hi"))
        # A sampling window (t_lo, t_hi] in the fit's units, like the bounds.
        truncation = tuple((chunk[e][keep] - o - self._c) / self._d for e in ("tlo", "thi")) \
            if "tlo" in chunk else None
        return likelihood.LocationScaleBlock(lo, hi, chunk["X"][keep], Z=chunk["Z"][keep],
                                             exact=chunk["lo"][keep] == chunk["hi"][keep],
                                             weights=None if w is None else w[keep], row_index=chunk["start"] + keep,
                                             truncation=truncation)

    def to_user(self) -> tuple[Array, Array]:
        """(A, a): the map of phi in the fit's units to (b, g) in y's."""
        kb, kg = self.k_ends, self.exog_scale.shape[1]
        A = np.diag(np.concatenate([np.full(kb, self._d), np.ones(kg)]))
        a = np.zeros(kb + kg)
        a[self._const] = self._c / self._const_value
        a[kb + self._const_scale] = math.log(self._d) / self._const_scale_value
        return A, a

    def starts(self, m: int) -> Callable[..., Any]:
        """For logistic noise, the weighted least-squares line through the
        rows' representative values with the residuals' logistic scale
        (unless the fit is that concave one, also stretched by 1/2 and 2);
        then each starting shape and RANDOM j random ones (each stretched by
        a random factor from 1/3 to 3) at the mean and sd of the best fit so
        far, and above two coefficients also of the logistic fit."""
        kb, k0, j0 = self.k_ends, self._const, self._const_scale
        kg = self.exog_scale.shape[1]
        # The normal equations, and the log-scale's mean over the rows, from one pass.
        XWX, XWr, rWr, W, WZ = self.rows.sum(_normal_equations, self._c, self._d)

        def logistic() -> list[tuple[Array, Array]]:
            b = np.linalg.lstsq(XWX, XWr, rcond=None)[0]
            resid = max(float(rWr - 2 * b @ XWr + b @ XWX @ b) / W, 0.0)
            s = max(math.sqrt(resid), 0.1) * math.sqrt(3) / math.pi
            out = []
            # One start where that is the fit; three (stretched by 1/2, 1
            # and 2) where it seeds the shapes.
            for r in (1.0,) if m == 1 and self.concave else (1.0, 0.5, 2.0):
                g = np.zeros(kg)
                g[j0] = math.log(s * r) / self._const_scale_value
                out.append((np.concatenate([b, g]), np.ones(1)))
            return out

        def reshape(phi: Array, mean: float, sd: float, loc: float, scale: float, more: float) -> Array:
            # e = mean + sd e', e' = loc + scale e_q of mean 0 and sd 1:
            # y = x b + s (mean + sd loc) + s sd scale e_q, s at its mean.
            b, g = phi[:kb].copy(), phi[kb:].copy()
            b[k0] += math.exp(float(WZ @ g) / W) * (mean + sd * loc) / self._const_value
            g[j0] += math.log(sd * scale * more) / self._const_scale_value
            return np.concatenate([b, g])

        return starts.regression_starts(logistic, reshape, RANDOM)

    # ------------------------------------------------------ predictions
    def noise(self, params: Array, scaled: bool = False) -> AdjustedLogistic:
        """e at loc 0, scale 1; `scaled`: exp(z g) e in y's units at the
        baseline scale, z = 0 but for the constant, whose sd the slopes
        compare with."""
        p = self.noise_coefficients(params)
        if not scaled:
            return AdjustedLogistic(p)
        return AdjustedLogistic(p, 0.0, math.exp(params[self.k_ends + self._const_scale] * self._const_scale_value))

    def slopes(self) -> tuple[list[int], list[str]]:
        index = [i for i in range(self.k_ends) if i != self._const]
        return index, [self.exog_names[i] for i in index]

    def designs(self, exog: Any = None, exog_scale: Any = None, offset: Any = None) -> tuple[Array, Array, Array]:
        """The location's and log-scale's designs (the model's by default)
        with their constants as the model has them, and the offset."""
        return self.rows_at(exog, exog_scale, offset)[:3]

    def _given(self, names: list[str], added: bool, known: list[str] | None) -> list[str] | None:
        """The names of a design's columns as the model was given them
        (without an added constant), or None where it was given none."""
        return None if known is None else names[1:] if added else names

    def rows_at(self, exog: Any = None, exog_scale: Any = None,
                offset: Any = None) -> tuple[Array, Array, Array, Any]:
        """`designs` and the rows' labels: their pandas index, or None."""
        if exog is None and exog_scale is None:
            if self.rows.dask:
                raise TypeError("the model's data are Dask arrays: give exog (NumPy) to predict at")
            assert self.offset is not None  # NumPy data have offsets, 0 by default
            offset = align_to("offset", offset, self.row_labels)
            return (self.exog, self.exog_scale, self.offset if offset is None else check_offset(offset, self.n_rows),
                    self.row_labels)
        names = self._given(self.exog_names, self._const_added, self._named)
        names_scale = self._given(self.exog_scale_names, self._const_scale_added, self._named_scale)
        exog = one_row(exog, names)
        raw = None
        if self.formula is not None:
            assert names is not None  # a formula model knows its columns' names
            raw = self.formula.raw(exog, names)
        if raw is not None:
            assert self.formula is not None  # raw columns come from a formula model
            exog, from_formula, from_data = self.formula.frames(raw)
            exog_scale = from_formula if exog_scale is None else exog_scale
            offset = from_data if offset is None else offset
            if exog_scale is None and names_scale:
                exog_scale = raw[[c for c in raw.columns if str(c) in names_scale]]
        elif exog_scale is None and names_scale and hasattr(exog, "columns"):
            # One frame may hold both designs' columns, as lifelines takes them.
            present = {str(c): c for c in exog.columns}
            if all(n in present for n in names_scale):
                exog_scale = exog[[present[n] for n in names_scale]]
                exog = exog.drop(columns=[present[n] for n in names_scale if n not in (names or ())])
        exog, labels = (None, None) if exog is None else by_name("exog", exog, names)
        exog_scale, scale_labels = (None, None) if exog_scale is None else by_name("exog_scale", exog_scale,
                                                                                     names_scale)
        if labels is None:
            labels = scale_labels
        else:
            exog_scale = align_to("exog_scale", exog_scale, labels)
        offset = align_to("offset", offset, labels)
        n = np.shape(exog if exog is not None else exog_scale)[0]

        def given(name: str, value: Any, full: Array, added: bool) -> Array:
            if value is None:
                if full.shape[1] > 1:
                    raise ValueError(f"{name} must be given: the model's has {full.shape[1] - added} columns")
                return np.ones((n, 1))
            V = as_real(name, value)
            V = V[:, None] if V.ndim == 1 else V
            width = full.shape[1] - added
            if V.ndim != 2 or V.shape != (n, width):
                raise ValueError(f"{name} must have shape ({n}, {width}), got {V.shape}")
            return np.column_stack([np.ones(n), V]) if added else V

        return (given("exog", exog, self.exog, self._const_added),
                given("exog_scale", exog_scale, self.exog_scale, self._const_scale_added), check_offset(offset, n),
                labels)

    def location_scale(self, params: Array, exog: Any = None, exog_scale: Any = None,
                       offset: Any = None) -> tuple[Array, Array]:
        """The location x b + offset and scale exp(z g) of each row at params."""
        return self.location_scale_of(params, *self.designs(exog, exog_scale, offset))

    def located(self, params: Array, exog: Any = None, exog_scale: Any = None,
                offset: Any = None) -> tuple[Array, Array, Any]:
        """`location_scale` and the rows' labels (their pandas index, or None)."""
        X, Z, offset, labels = self.rows_at(exog, exog_scale, offset)
        return (*self.location_scale_of(params, X, Z, offset), labels)

    def location_scale_of(self, params: Array, X: Array, Z: Array, offset: Array) -> tuple[Array, Array]:
        """The location x b + offset and scale exp(z g) at params of the designs' rows."""
        kb = self.k_ends
        return X @ params[:kb] + offset, np.exp(Z @ params[kb:kb + Z.shape[1]])

    def predict(self, params: Array, exog: Any = None, exog_scale: Any = None, offset: Any = None,
                which: str = "mean") -> Any:
        """The response at params and exog (and exog_scale): its "mean", its
        "median", the "linear" predictor x b + offset, or the "scale"
        exp(z g)."""
        if which not in ("mean", "median", "linear", "scale"):
            raise ValueError(f"which must be 'mean', 'median', 'linear' or 'scale', got {which!r}")
        loc, scale, labels = self.located(params, exog, exog_scale, offset)
        if which in ("linear", "scale"):
            return self.labelled(loc if which == "linear" else scale, labels)
        noise = self.noise(params)
        return self.labelled(loc + scale * (noise.mean() if which == "mean" else noise.median()), labels)

    def _margin_sums(self, chunk: dict[str, Any], params: Array, index: list[int], names: list[str],
                     in_scale: dict[str, int], binary: NDArray[np.bool_]) -> Array:
        """A chunk's weighted sums of each covariate's effect on E[y] at
        params: b_c + g_c exp(z g) E[e], or for a `binary` one the change
        of E[y] from 0 to 1."""
        X, Z = chunk["X"], chunk["Z"]
        w, offset = regression.chunk_weights(chunk), regression.chunk_offset(chunk)
        mean = float(accurate.mean(0.0, 1.0, self.noise_coefficients(params)))
        _, scale = self.location_scale_of(params, X, Z, offset)
        out = []
        for c, name in zip(index, names):
            if binary[c]:
                ends = []
                for level in (0.0, 1.0):
                    Xc, Zc = X.copy(), Z.copy()
                    Xc[:, c] = level
                    if name in in_scale:
                        Zc[:, in_scale[name]] = level
                    loc, s = self.location_scale_of(params, Xc, Zc, offset)
                    ends.append(w @ (loc + s * mean))
                out.append(ends[1] - ends[0])
                continue
            g_c = params[self.k_ends + in_scale[name]] if name in in_scale else 0.0
            out.append(params[c] * w.sum() + g_c * (w @ scale) * mean)
        return np.array(out, float)

    def margins(self, params: Array, at: str, dummy: bool,
                free: NDArray[np.bool_]) -> tuple[str, list[str], Array, Array]:
        """For each covariate c, ``b_c + g_c exp(z g) E[e]`` (g_c its
        coefficient in the log-scale, where exog_scale has a column of the
        same name), averaged over the observations ("overall") or at the
        covariates' means ("mean"); with `dummy`, a 0/1 covariate's discrete
        change.  The Jacobian by central differences."""
        rows = self.rows
        index, names = self.slopes()
        in_scale = {name: i for i, name in enumerate(self.exog_scale_names)}
        binary = np.zeros(self.k_ends, bool)
        if dummy:
            binary = rows.sum(lambda c: (~np.isin(c["X"], (0.0, 1.0))).sum(axis=0)) == 0
        W, point = rows.mean_row(["X", "Z", "offset"])

        def effects(params: Array) -> Array:
            if at == "mean":
                return self._margin_sums(point, params, index, names, in_scale, binary)
            return rows.sum(self._margin_sums, params, index, names, in_scale, binary) / W

        values, J = numeric_jacobian(effects, params, free)
        title = "Average marginal effects on E[y]" if at == "overall" else "Marginal effects on E[y] at the mean"
        return title, names, values, J


def _truncation_pair(truncation: Any) -> tuple[Any, ...]:
    """(t_lower, t_upper) of the truncation argument, or (None, None)."""
    if truncation is None:
        return None, None
    if not (isinstance(truncation, (tuple, list)) and len(truncation) == 2):
        raise ValueError("truncation must be a pair (t_lower, t_upper) of arrays or scalars")
    return tuple(truncation)


def _truncation(t_lower: Any, t_upper: Any, lo: Any, hi: Any, names: tuple[str, str]) -> tuple[Array, Array] | None:
    """The checked truncation (t_lo, t_hi) of each row, in the bounds' units,
    or None where none is given: t_lo < t_hi, not NaN, and every
    observation within its window, lo >= t_lo and hi <= t_hi (an exact one
    strictly above t_lo)."""
    if t_lower is None and t_upper is None:
        return None
    if is_dask(lo):
        raise TypeError("truncation is for NumPy data, not Dask arrays")
    n = lo.shape[0]
    t_lo = np.broadcast_to(-np.inf if t_lower is None else as_real(names[0], t_lower), (n,)).astype(float)
    t_hi = np.broadcast_to(np.inf if t_upper is None else as_real(names[1], t_upper), (n,)).astype(float)
    checks = [(np.isnan(t_lo) | np.isnan(t_hi), "the truncation is NaN"),
              (t_lo >= t_hi, "the truncation interval is empty (t_lower >= t_upper)"),
              ((lo < t_lo) | (hi > t_hi) | ((lo == hi) & (lo == t_lo)),
               "the observation lies outside its truncation interval (t_lower, t_upper]")]
    for mask, text in checks:
        if mask.any():
            raise ValueError(f"{text} at rows {rows_text(mask)}")
    if not (np.isfinite(t_lo) | np.isfinite(t_hi)).any():
        return None
    return t_lo, t_hi


def _representative(chunk: dict[str, Any], c: float, d: float) -> tuple[Array, Array]:
    """Each row's representative value in the fit's units (0 where both
    bounds are infinite) and its weight (0 there)."""
    lo, hi = chunk["lo"], chunk["hi"]
    both = np.isfinite(lo) & np.isfinite(hi)
    with np.errstate(invalid="ignore"):
        r = np.where(both, (lo + hi) / 2, np.where(np.isfinite(lo), lo, hi)) - regression.chunk_offset(chunk)
    seen = np.isfinite(r)
    return np.where(seen, (r - c) / d, 0.0), np.where(seen, regression.chunk_weights(chunk), 0.0)


def _moments(chunk: dict[str, Any]) -> tuple[int, float, float, float, float, float]:
    """Rows of positive weight; the weighted count, sum and sum of squares
    of the representative values; and over the exact rows, the weight and
    the weighted sum of the change of variable."""
    r, w = _representative(chunk, 0.0, 1.0)
    weights = regression.chunk_weights(chunk)
    exact = chunk["lo"] == chunk["hi"]
    jac = weights[exact] @ chunk["jac"][exact] if "jac" in chunk else 0.0
    # The products of two vectors are numbers (NumPy's stubs type them as arrays).
    return int((weights > 0).sum()), w.sum(), cast(float, w @ r), cast(float, w @ (r * r)), weights[exact].sum(), jac


def _normal_equations(chunk: dict[str, Any], c: float, d: float) -> tuple[Array, Array, float, float, Array]:
    r, w = _representative(chunk, c, d)
    X, Z = chunk["X"], chunk["Z"]
    Xw = X * w[:, None]
    # w @ (r * r), of two vectors, is a number.
    return Xw.T @ X, Xw.T @ r, cast(float, w @ (r * r)), w.sum(), w @ Z


def _chunk_llf(chunk: dict[str, Any], params: Array, kb: int, p: Array) -> float:
    kg = chunk["Z"].shape[1]
    loc = chunk["X"] @ params[:kb] + regression.chunk_offset(chunk)
    log_scale = chunk["Z"] @ params[kb:kb + kg]
    scale = np.exp(log_scale)
    lo, hi = chunk["lo"], chunk["hi"]
    exact = lo == hi
    terms = np.empty(lo.shape[0])
    z = (lo[exact] - loc[exact]) / scale[exact]
    jac = chunk["jac"][exact] if "jac" in chunk else 0.0
    terms[exact] = accurate.logpdf(z, 0.0, 1.0, p) - log_scale[exact] + jac
    terms[~exact] = accurate.log_probability_between((lo[~exact] - loc[~exact]) / scale[~exact],
                                                     (hi[~exact] - loc[~exact]) / scale[~exact], 0.0, 1.0, p)
    if "tlo" in chunk:
        terms -= accurate.log_probability_between((chunk["tlo"] - loc) / scale, (chunk["thi"] - loc) / scale,
                                                  0.0, 1.0, p)
    w = regression.chunk_weights(chunk)
    return float(terms[w > 0] @ w[w > 0])
