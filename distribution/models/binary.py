"""Binary choice with polynomially adjusted logistic noise: the
semi-nonparametric binary response model.

y = 1 when the latent ``y* = x b + offset + e`` is positive, so that

    P(y = 1 | x) = P(e > -(x b + offset)),

e of density proportional to p(e)^2 f(e), f the standard logistic density
(m = 1: logistic regression).  It is the ordered model of two categories,
whose one cut point c is minus the intercept: the fit runs on the ordered
model's parameters (slopes, c, p) and reports (the design's coefficients
with the intercept in the constant's place, p) by the linear map of
`to_user`.
"""

from __future__ import annotations

from typing import Any, NoReturn

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._checks import align, as_real, check_coefficients, column_names, is_dask, is_pandas
from .block import Array
from .formula import FormulaData
from .ordered import CategoryPrediction, OrderedRegression, OrderedRegressionResults


def _outcomes(endog: Any) -> tuple[NDArray[np.intp], list[Any]]:
    """Codes 0/1 and the two labels: 0/1 numbers, booleans, or two levels
    (a pandas Categorical's in its order, else sorted), the second y = 1."""
    if is_dask(endog):
        raise TypeError("BinaryRegression takes NumPy or pandas data, not Dask arrays")
    dtype: Any = getattr(endog, "dtype", None)
    if getattr(dtype, "name", None) == "category":
        codes = np.asarray(getattr(endog, "cat", endog).codes)
        if (codes < 0).any():
            raise ValueError("endog has missing values")
        labels = list(dtype.categories)
        if len(labels) != 2:
            raise ValueError(f"endog must have two levels, got {len(labels)}: {labels!r}")
        return codes.astype(np.intp), labels
    values = np.asarray(endog)
    found: NDArray[Any] | list[Any]  # the distinct values: numbers, or any two levels
    if values.ndim != 1:
        raise ValueError(f"endog must be one-dimensional, got shape {values.shape}")
    if values.dtype.kind == "b":
        return values.astype(np.intp), [False, True]
    if values.dtype.kind in "iuf":
        if not np.isfinite(values).all():
            raise ValueError("endog has NaN or infinite values")
        found = np.unique(values)
        if not set(found.tolist()) <= {0, 1}:
            shown = found[:6].tolist() + (["..."] if found.size > 6 else [])
            raise ValueError(f"endog must hold 0 and 1 (or two levels of a Categorical), found levels {shown}")
        return values.astype(np.intp), [0, 1]
    found = sorted(set(values.tolist()), key=str)
    if len(found) != 2 or any(v is None or v != v for v in found):
        raise ValueError(f"endog must have two levels, found {len(found)}: {found[:6]!r}")
    return (values == found[1]).astype(np.intp), found


def _split_constant(exog: Any) -> tuple[Any, list[str], int, float, bool]:
    """(exog without its constant column, as given: an array or DataFrame;
    the names with the constant's; its index and value; whether it was
    there): a design without a constant gets "Intercept" in front."""
    if is_pandas(exog) and exog.ndim == 1:
        exog = exog.to_frame()
    names = column_names(exog)
    X = as_real("exog", exog)
    X = X[:, None] if X.ndim == 1 else X
    if X.ndim != 2:
        raise ValueError(f"exog must have shape (n, k), got {X.shape}")
    constant = np.flatnonzero(np.ptp(X, axis=0) == 0) if X.shape[0] else np.arange(0)
    if names is None:  # statsmodels' names for arrays: the constant's, then x1, x2, ...
        slots = iter(range(1, X.shape[1] + 1))
        names = ["Intercept" if i in constant[:1] else f"x{next(slots)}" for i in range(X.shape[1])]
    if constant.size > 1:
        raise ValueError(f"exog has more than one constant column: {', '.join(names[i] for i in constant)}")
    if constant.size and X[0, constant[0]] == 0:
        raise ValueError(f"exog column {names[constant[0]]!r} is all 0")
    if not constant.size:
        return exog if is_pandas(exog) else X, ["Intercept", *names], 0, 1.0, False
    c = int(constant[0])
    slopes = exog.drop(columns=exog.columns[c]) if is_pandas(exog) else np.delete(X, c, axis=1)
    return slopes, names, c, float(X[0, c]), True


class BinaryRegressionResults(OrderedRegressionResults):
    """Result of `BinaryRegression.fit`: the estimates (the intercept in the
    constant's place), ``noise``, `predict` (P(y = 1)), `get_prediction`,
    `get_margeff` (effects on P(y = 1)), `lr_test`, `noise_summary`."""

    title = "BinaryRegression maximum likelihood"
    model: BinaryRegression

    def predict(self, exog: Any = None,  # type: ignore[override]  # no scale or nominal effects
                offset: Any = None) -> Any:
        """P(y = 1) at exog (the model's by default; its constant column as
        the model was given it, a DataFrame's columns by name)."""
        return self.model.predict(self._params, exog, offset)

    def get_prediction(self, exog: Any = None,  # type: ignore[override]  # no scale or nominal effects
                       offset: Any = None) -> CategoryPrediction:
        """P(y = 1) with delta-method standard errors: a `CategoryPrediction`
        of shape (n, 2), the probabilities of y = 0 and y = 1."""
        predicted, jac = self.model.predict(self._params, exog, offset, jacobian=True)
        var = np.einsum("nkp,pq,nkq->nk", jac, self._cov, jac)
        return CategoryPrediction(predicted, np.sqrt(np.maximum(var, 0.0)))

    def nominal_test(self) -> NoReturn:
        raise NotImplementedError("a binary model has one threshold: it has no nominal effects to test")

    def scale_test(self) -> NoReturn:
        raise NotImplementedError("a binary model's scale is not identified apart from its slopes")


class BinaryRegression(OrderedRegression):
    """Binary choice with polynomially adjusted logistic noise.

    ``P(y = 1 | x) = P(e > -(exog @ b + offset))``, e of density
    proportional to ``p(e)**2 f(e)``, f the standard logistic density: with
    ``m = 1`` the logistic regression (statsmodels' ``Logit``), with more
    coefficients a flexible link, the semi-nonparametric binary choice
    model.

    Parameters
    ----------
    endog : array_like, shape (n,)
        0/1 numbers, booleans, or a variable of two levels (a pandas
        Categorical in its order of categories, other values sorted): the
        second level is y = 1.
    exog : array_like, shape (n, k), optional
        The design.  Its constant column holds the intercept; one
        ("Intercept") is added in front where it has none.
    m, weights, sampling_weights, offset
        As for `OrderedRegression`.

    Notes
    -----
    The noise's location and scale are fixed at 0 and 1: the intercept
    takes its location, the slopes' common factor its scale, and p is
    known up to a factor (its largest coefficient is fixed at 1).
    """

    results_class = BinaryRegressionResults

    def __init__(self, endog: Any, exog: Any = None, m: int = 3, weights: Any = None, sampling_weights: Any = None,
                 offset: Any = None) -> None:
        check_coefficients("m", m)
        (endog, exog, weights, sampling_weights, offset), _ = align(
            endog=endog, exog=exog, weights=weights, sampling_weights=sampling_weights, offset=offset)
        codes, labels = _outcomes(endog)
        if len(set(codes.tolist())) < 2:
            raise ValueError(f"endog must have both outcomes, got only {labels[int(codes[0])]!r}" if codes.size
                             else "endog is empty")
        slopes, self.binary_names, self._const, self._const_value, self._had_constant = _split_constant(
            np.ones((codes.size, 0)) if exog is None else exog)
        if np.shape(slopes)[0] != codes.size:
            raise ValueError(f"exog must have shape ({codes.size}, k) to match endog, got {np.shape(slopes)}")
        self.binary_labels = labels
        if is_pandas(endog):
            import pandas as pd

            codes = pd.Series(codes, index=endog.index, name=endog.name)
        super().__init__(codes, slopes, m, weights, sampling_weights, offset)

    def phi_names(self) -> list[str]:
        return list(self.binary_names)

    @classmethod
    def from_formula(cls, formula: str, data: Any, m: int = 3,  # type: ignore[override]  # no scale or nominal formulas
                     missing: str = "drop", weights: Any = None, sampling_weights: Any = None,
                     offset: Any = None) -> BinaryRegression:
        """The model of ``"y ~ x1 + C(g)"`` on a DataFrame, through formulaic;
        its intercept is the model's.  `missing`, `weights`,
        `sampling_weights` and `offset` as for
        `OrderedRegression.from_formula`; the results predict at new data
        from its raw columns."""
        f = FormulaData(formula, data, ("y",), missing, drop_intercept=True, weights=weights,
                        sampling_weights=sampling_weights, offset=offset)
        # The responses come first, as many as the formula has (mypy takes a list for every positional).
        return f.attach(cls(*f.responses, f.exog, m=m, **f.keywords))  # type: ignore[call-arg, misc]

    # -------------------------------------- the ordered model's parameters
    def to_user(self) -> tuple[Array, Array]:
        """(A, a): (slopes, cut point) -> the design's coefficients, the
        intercept -c / (its constant's value) in the constant's place."""
        k = self.exog.shape[1]
        A = np.zeros((k + 1, k + 1))
        slots = [i for i in range(k + 1) if i != self._const]
        A[slots, np.arange(k)] = 1.0
        A[self._const, k] = -1.0 / self._const_value
        return A, np.zeros(k + 1)

    def _ordered(self, params: ArrayLike) -> Array:
        """The ordered model's parameters (slopes, cut point, p) of params."""
        phi, _ = self._from_user(params, "params")
        return np.concatenate([phi, np.asarray(params, float)[phi.size:]])

    def loglike(self, params: ArrayLike) -> float:
        """Log-likelihood at params: the design's coefficients, then p (if m > 1)."""
        return super().loglike(self._ordered(params))

    def cutpoints(self, params: ArrayLike) -> Array:
        return np.empty(0)

    def slopes(self) -> tuple[list[int], list[str]]:
        index = [i for i in range(len(self.binary_names)) if i != self._const]
        return index, [self.binary_names[i] for i in index]

    def predict(self, params: Array, exog: Any = None,  # type: ignore[override]  # no scale or nominal effects
                offset: Any = None, jacobian: bool = False) -> Any:
        """P(y = 1) at params for exog (the model's by default), given as
        the model's was, its constant column included or not (a DataFrame's
        columns by name); with `jacobian`, arrays of the probabilities of
        y = 0 and y = 1, (n, 2), and their Jacobian in params, (n, 2,
        len(params))."""
        if exog is not None and self._had_constant:
            constant = self.binary_names[self._const]
            if hasattr(exog, "columns"):
                exog = exog.drop(columns=[c for c in exog.columns if str(c) == constant])
            elif not is_pandas(exog):
                X = as_real("exog", exog)
                X = X[:, None] if X.ndim == 1 else X
                if X.ndim != 2 or X.shape[1] != len(self.binary_names):
                    raise ValueError(f"exog must have {len(self.binary_names)} columns, as the model's, "
                                     f"got shape {X.shape}")
                exog = np.delete(X, self._const, axis=1)
        phi = self._ordered(params)
        if not jacobian:
            P = super().predict(phi, exog, offset)
            return P.iloc[:, 1].rename(self.binary_labels[1]) if hasattr(P, "iloc") else P[:, 1]
        value, jac = super().predict(phi, exog, offset, jacobian=True)
        A, _ = self.to_user()
        jac[..., :A.shape[0]] = jac[..., :A.shape[0]] @ np.linalg.inv(A)
        return value, jac

    def margins(self, params: Array, at: str, dummy: bool,
                free: NDArray[np.bool_]) -> tuple[str, list[str], Array, Array]:
        """The effects on P(y = 1): the ordered model's on its second
        category, their Jacobian carried to params."""
        title, names, values, J = super().margins(self._ordered(params), at, dummy, free)
        A, _ = self.to_user()
        J = J[1::2].copy()
        J[:, :A.shape[0]] = J[:, :A.shape[0]] @ np.linalg.inv(A)
        return title, [n for n, _ in names[1::2]], values[1::2], J
