"""Survival times as an accelerated failure time model: the interval
regression of log T,

    log T = x b + exp(z g) e,

right-censored where the event was not seen.  With m = 1 the noise is
logistic and T log-logistic.  The log-likelihood is that of T: each
observed time's density in log T less log t (the Jacobian of the log), as
R's survreg and lifelines report it; a censored term is a probability
either way.
"""

from __future__ import annotations

from typing import Any, Iterator

import numpy as np
from numpy.typing import ArrayLike

from .. import accurate
from .._checks import align, any_true, as_real, check_bounds, is_dask, real, rows_text
from .block import Array
from .interval import IntervalRegression, IntervalRegressionResults
from .results import normal_isf


def _all_binary(event: Any) -> bool:
    return not any_true(~((event == 0) | (event == 1)))[0]


def _durations(lower: Any, upper: Any, names: tuple[str, str]) -> tuple[Any, Any]:
    lo, hi = check_bounds(lower, upper, names)
    negative, zero = lo < 0, (lo == hi) & (lo == 0)
    bad = any_true(negative, zero)
    if bad[0]:
        raise ValueError(f"{names[0]} must be >= 0: negative at rows {rows_text(negative)}")
    if bad[1]:
        raise ValueError(f"an observed time must be positive: 0 at rows {rows_text(zero)}")
    with np.errstate(divide="ignore"):
        return np.log(lo), np.log(hi)


def _entries(entry: Any, lo: Any, hi: Any) -> tuple[Array, Array] | None:
    """The left truncation of log T at the entry times: (log entry, inf),
    checked, or None for no delayed entry."""
    if entry is None:
        return None
    if is_dask(lo):
        raise TypeError("entry is for NumPy data, not Dask arrays")
    e = as_real("entry", entry)
    if e.shape != lo.shape:
        raise ValueError(f"entry must have one time per duration, shape {lo.shape}, got {e.shape}")
    bad = np.isnan(e) | (e < 0) | np.isinf(e)
    if bad.any():
        raise ValueError(f"entry must be finite and >= 0: not at rows {rows_text(bad)}")
    with np.errstate(divide="ignore"):
        log_entry = np.log(e)
    late = (log_entry > lo) | ((lo == hi) & (log_entry == lo))
    if late.any():
        raise ValueError(f"an entry after its duration (or at the time of an observed event) at rows "
                         f"{rows_text(late)}")
    if not np.isfinite(log_entry).any():
        return None
    return log_entry, np.full(lo.shape, np.inf)


def _paired(responses: dict[str, Any], given: dict[str, Any]) -> tuple[list[Any], dict[str, Any], Any]:
    """The responses and the other arguments (dicts by name) paired by
    `align`: the responses' values, the others' by name, and the labels."""
    values, labels = align(**responses, **given)
    return values[:len(responses)], dict(zip(given, values[len(responses):])), labels


def _event_times(duration: Any, event: Any) -> tuple[Any, Any]:
    """(lower, upper) of durations with event indicators: the time itself
    where the event was seen, (time, inf) where it was censored."""
    t = real("duration", duration)
    if event is None:
        seen = np.ones_like(t, dtype=bool)
    else:
        e = event if is_dask(event) else np.asarray(event)
        if e.shape != t.shape:
            raise ValueError(f"event must have one value per duration, shape {t.shape}, got {e.shape}")
        if e.dtype.kind not in "biuf" or not _all_binary(e):
            raise ValueError("event must hold 0 (censored) or 1 (observed)")
        seen = e.astype(bool)
    if t.ndim == 1 and any_true(np.isinf(t))[0]:
        raise ValueError(f"duration must be finite: infinite at rows {rows_text(np.isinf(t))}")
    return t, np.where(seen, t, np.inf)


class SurvivalRegressionResults(IntervalRegressionResults):
    """Result of `SurvivalRegression.fit`: the interval regression's results
    on log time, and the predictions of T: `predict_median`,
    `predict_quantile` and `predict_survival_function`."""

    title = "SurvivalRegression (accelerated failure time) maximum likelihood"
    model: SurvivalRegression

    def _designs_at(self, exog: Any, exog_scale: Any) -> tuple[Array, Array, Array, Array, Any]:
        """(X, Z, loc, scale, labels) of the rows to predict at."""
        X, Z, offset, labels = self.model.rows_at(exog, exog_scale)
        loc, scale = self.model.location_scale_of(self._params, X, Z, offset)
        return X, Z, loc, scale, labels

    def _band(self, value: Array, jacobian: Array, alpha: float) -> tuple[Array, Array]:
        """value -+ z se, se of the delta method: jacobian (..., len(params))
        under this fit's covariance."""
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        var = np.einsum("...p,pq,...q->...", jacobian, self._cov, jacobian)
        half = normal_isf(alpha / 2) * np.sqrt(np.maximum(var, 0.0))
        return value - half, value + half

    def predict_quantile(self, exog: Any = None, q: Any = 0.5, exog_scale: Any = None,
                         alpha: float | None = None) -> Any:
        """The q-quantile of T, the time by which a share q has had the
        event: (n,) for a scalar q, (n, len(q)) for several; for pandas
        input a Series, or a DataFrame with a column per q.  exog and
        exog_scale as for `predict`.  With `alpha`, a `Band`: the quantile
        and its 1 - alpha interval, by the delta method on log T (so that
        it stays positive)."""
        q = as_real("q", q)
        if not ((q > 0) & (q < 1)).all():
            raise ValueError("q must lie in (0, 1)")
        X, Z, loc, scale, labels = self._designs_at(exog, exog_scale)
        e_q = np.atleast_1d(self.noise.ppf(q))
        log_t = loc[:, None] + scale[:, None] * e_q
        shape = (lambda v: v[:, 0]) if q.ndim == 0 else (lambda v: v)

        def label(v: Array) -> Any:
            return self.model.labelled(shape(v), labels, None if q.ndim == 0 else np.atleast_1d(q).tolist())

        if alpha is None:
            return label(np.exp(log_t))
        # d log T_q: x for b, scale e_q z for g, and for p through the
        # quantile e_q of F(e_q; p) = q: -scale (dF/dp) / f(e_q).
        kb, kg, m = X.shape[1], Z.shape[1], self.model.m
        J = np.zeros(log_t.shape + (self._params.size,))
        J[..., :kb] = X[:, None, :]
        J[..., kb:kb + kg] = (scale[:, None] * e_q)[..., None] * Z[:, None, :]
        if m > 1:
            _, f, _, _, dF = accurate.cdf_grad(e_q, 0.0, 1.0, self.noise.param)
            J[..., kb + kg:] = -scale[:, None, None] * (dF / f[:, None])[None]
        lower, upper = self._band(log_t, J, alpha)
        return Band(label(np.exp(log_t)), label(np.exp(lower)), label(np.exp(upper)))

    def predict_median(self, exog: Any = None, exog_scale: Any = None, alpha: float | None = None) -> Any:
        """The median of T for each row of exog (with `alpha`, a `Band`)."""
        return self.predict_quantile(exog, 0.5, exog_scale, alpha)

    def predict_survival_function(self, exog: Any = None, times: ArrayLike | None = None, exog_scale: Any = None,
                                  alpha: float | None = None) -> Any:
        """S(t | x) = P(T > t) at `times` (by default the model's observed
        durations, sorted and distinct), shape (len(times), n): lifelines'
        layout, a DataFrame indexed by time where the model has pandas
        input.  With `alpha`, a `Band`: the curve and its pointwise 1 -
        alpha confidence band, by the delta method on the log cumulative
        hazard log(-log S), so that the band stays within [0, 1]."""
        model = self.model
        if times is None and model.rows.dask:
            raise TypeError("the model's data are Dask arrays: give times")
        if times is None:
            finite = np.concatenate([model.lower, model.upper])
            times = np.unique(np.exp(finite[np.isfinite(finite)]))
        t = as_real("times", times)
        if t.ndim != 1 or (t < 0).any() or np.isnan(t).any():
            raise ValueError("times must be a one-dimensional array of times >= 0")
        X, Z, loc, scale, labels = self._designs_at(exog, exog_scale)
        with np.errstate(divide="ignore"):
            z = (np.log(t)[:, None] - loc[None, :]) / scale[None, :]

        def frame(v: Array) -> Any:
            if not model.pandas and labels is None:
                return v
            import pandas as pd

            return pd.DataFrame(v, index=pd.Index(t, name="time"), columns=labels)

        if alpha is None:
            return frame(self.noise.sf(z))
        # S = sf(z; p): dS/dz = -f, dz/db = -x / s, dz/dg = -z z_row; dS/dp
        # from sf_grad.  log H = log(-log S) moves by dS / (S log S).
        S, dS, _, _, dSp = accurate.sf_grad(np.where(np.isfinite(z), z, 0.0), 0.0, 1.0, self.noise.param)
        kb, kg, m = X.shape[1], Z.shape[1], model.m
        J = np.zeros(z.shape + (self._params.size,))
        J[..., :kb] = -(dS / scale[None, :])[..., None] * X[None, :, :]
        J[..., kb:kb + kg] = -(dS * z)[..., None] * Z[None, :, :]
        if m > 1:
            J[..., kb + kg:] = dSp
        with np.errstate(divide="ignore", invalid="ignore"):
            log_h = np.log(-np.log(S))
            J = J / (S * np.log(S))[..., None]
            lower, upper = self._band(log_h, J, alpha)
            inside = np.isfinite(z) & (S > 0) & (S < 1)
            curve = self.noise.sf(z)
            band_low = np.where(inside, np.exp(-np.exp(upper)), curve)
            band_high = np.where(inside, np.exp(-np.exp(lower)), curve)
        return Band(frame(curve), frame(band_low), frame(band_high))


class Band:
    """A prediction with its pointwise confidence band: ``estimate``,
    ``lower`` and ``upper``, each of the prediction's own shape and type."""

    def __init__(self, estimate: Any, lower: Any, upper: Any) -> None:
        self.estimate, self.lower, self.upper = estimate, lower, upper

    def __iter__(self) -> Iterator[Any]:
        return iter((self.estimate, self.lower, self.upper))

    def __repr__(self) -> str:
        return f"Band(estimate={self.estimate!r},\n     lower={self.lower!r},\n     upper={self.upper!r})"


class SurvivalRegression(IntervalRegression):
    """Accelerated failure time regression of survival times with
    polynomially adjusted logistic noise on log time (m = 1: the
    log-logistic AFT model, lifelines' ``LogLogisticAFTFitter``).

    Parameters
    ----------
    duration : array_like, shape (n,)
        Times, > 0: of the event where `event` is 1, of censoring (the
        event comes later) where it is 0.
    event : array_like of 0/1 or bool, shape (n,), optional
        Whether the event was observed; by default every one was.
    exog, exog_scale, m, weights, sampling_weights, offset
        As for `IntervalRegression`, on log time.
    entry : array_like, shape (n,), optional
        Delayed entry (left truncation, lifelines' ``entry_col``): row i
        was only observed because its event had not happened by
        ``entry[i]`` >= 0, so its term is conditioned on T > entry (less
        log S(entry)).  0 is no delay; an entry after the duration (or at
        it, for an observed event) is a ValueError naming the rows.

    Notes
    -----
    Durations known only to lie in an interval (lower, upper], lower = 0
    for left censoring and upper = inf for right censoring, come through
    `from_intervals`.
    """

    response = ("duration", "event")
    results_class = SurvivalRegressionResults

    def __init__(self, duration: Any, event: Any = None, exog: Any = None, exog_scale: Any = None, m: int = 3,
                 weights: Any = None, sampling_weights: Any = None, offset: Any = None, entry: Any = None) -> None:
        given = dict(exog=exog, exog_scale=exog_scale, weights=weights, sampling_weights=sampling_weights,
                     offset=offset, entry=entry)
        (duration, event), rest, labels = _paired(dict(duration=duration, event=event), given)
        lower, upper = _event_times(duration, event)
        self._survival(lower, upper, ("duration", "duration"), rest, labels, m)

    def _survival(self, lower: Any, upper: Any, names: tuple[str, str], given: dict[str, Any], labels: Any,
                  m: int) -> None:
        """The model of durations in (lower, upper], paired with the other
        arguments `given` (by name) and checked; `names`, the durations'
        arguments as the messages call them."""
        lo, hi = _durations(lower, upper, names)
        self._setup(lo, hi, given["exog"], given["exog_scale"], m, given["weights"], given["sampling_weights"],
                    given["offset"], labels, log_jacobian=np.where(lo == hi, -lo, 0.0),
                    truncation=_entries(given["entry"], lo, hi))

    @classmethod
    def from_intervals(cls, lower_duration: Any, upper_duration: Any, exog: Any = None, exog_scale: Any = None,
                       m: int = 3, **kwargs: Any) -> SurvivalRegression:
        """Durations known to lie in (lower, upper]: observed where they are
        equal, left-censored where lower is 0, right-censored where upper is
        inf (lifelines' ``fit_interval_censoring``).  Other keywords
        (weights, sampling_weights, offset) go to the model."""
        unknown = set(kwargs) - {"weights", "sampling_weights", "offset"}
        if unknown:
            raise TypeError(f"from_intervals got an unexpected keyword argument {min(unknown)!r}")
        given = dict(exog=exog, exog_scale=exog_scale, weights=None, sampling_weights=None, offset=None, entry=None)
        given.update(kwargs)
        (lower, upper), rest, labels = _paired(dict(lower_duration=lower_duration, upper_duration=upper_duration),
                                               given)
        model = cls.__new__(cls)
        model._survival(lower, upper, ("lower_duration", "upper_duration"), rest, labels, m)
        return model

    @classmethod
    def from_formula(cls, formula: str, data: Any, m: int = 3, scale_formula: str | None = None, exog_scale: Any = None,
                     missing: str = "drop", weights: Any = None, sampling_weights: Any = None,
                     offset: Any = None) -> SurvivalRegression:
        """The model of ``"duration + event ~ x1 + C(g)"`` (or ``"duration
        ~ ..."``, every event observed) on a DataFrame, through formulaic;
        the other arguments as for `IntervalRegression.from_formula`."""
        f = cls._formula_data(formula, data, missing, scale_formula, exog_scale=exog_scale, weights=weights,
                              sampling_weights=sampling_weights, offset=offset)
        duration, event = (*f.responses, None)[:2]
        return f.attach(cls(duration, event, f.exog, m=m, **f.keywords))



