"""The data of an ordered-response model, checked: the categories of the
response, the designs beside it and the same from Dask arrays."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._checks import column_names, dask_together, matrix, numpy_only
from .block import Array


def categories(endog: Any) -> tuple[NDArray[np.intp], list[Any]]:
    """Category codes 0 ... K-1 and their labels, from whole numbers (their
    sorted distinct values) or an ordered pandas Categorical."""
    dtype: Any = getattr(endog, "dtype", None)
    labels: list[Any] | NDArray[np.float64]  # a Categorical's, or the distinct values
    if getattr(dtype, "name", None) == "category":
        if not dtype.ordered:
            raise ValueError("endog is an unordered Categorical: its categories must be ordered")
        codes = np.asarray(getattr(endog, "cat", endog).codes)
        if (codes < 0).any():
            raise ValueError("endog has missing values")
        labels = list(dtype.categories)
        unused = sorted(set(range(len(labels))) - set(codes.tolist()))
        if unused:
            raise ValueError(f"endog has no observation of category {labels[unused[0]]!r}")
        return codes.astype(np.intp), labels
    values = np.asarray(endog)
    if values.dtype.kind not in "biuf":
        raise ValueError(f"endog must hold whole numbers or be an ordered pandas Categorical, "
                         f"got dtype {values.dtype}")
    values = values.astype(np.float64)
    if values.ndim != 1:
        raise ValueError(f"endog must be one-dimensional, got shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("endog has NaN or infinite values")
    if (values != np.round(values)).any():
        raise ValueError("endog must hold whole numbers (ordered category codes), got fractions")
    labels, codes = np.unique(values, return_inverse=True)
    return codes, [int(v) for v in labels]


def design(name: str, value: Any, n: int, prefix: str = "x") -> tuple[Array, list[str]]:
    """A design and its names: exog, or the scale's or nominal effects' (no
    columns by default); never a constant column, whose place the cut points
    (and the noise's own scale, fixed at 1) take."""
    if value is None:
        return np.zeros((n, 0)), []
    names = column_names(value)
    V = matrix(name, value, n)
    names = names or [f"{prefix}{i + 1}" for i in range(V.shape[1])]
    # Finite rows: a column is constant where it equals its first row.
    constant = (V == V[:1]).all(axis=0) if n else np.zeros(V.shape[1], bool)
    if constant.any():
        raise ValueError(f"{name} column {names[int(np.argmax(constant))]!r} is constant: the cut points take "
                         "the place of a constant" + (" (and the noise's scale is fixed at 1)" if name != "exog"
                                                      else ""))
    return V, names


def dask_data(endog: Any, exog: Any, weights: Any, sampling_weights: Any,
              offset: Any) -> tuple[Any, list[int], Any, list[str]]:
    """(codes, labels, X, names) of Dask data, checked with one pass: the
    categories are the distinct values, found on the workers."""
    import dask
    import dask.array as da

    numpy_only(weights=weights, sampling_weights=sampling_weights, offset=offset)
    dask_together("endog and exog", endog, exog)
    if endog.ndim != 1 or exog.ndim not in (1, 2) or exog.shape[0] != endog.shape[0]:
        raise ValueError(f"endog must be one-dimensional and exog (n, k), got shapes {endog.shape} and {exog.shape}")
    X = exog[:, None] if exog.ndim == 1 else exog
    if endog.dtype.kind not in "biuf" or X.dtype.kind not in "biuf":
        raise TypeError("endog and exog must be real numbers")
    values, finite, low, high = dask.compute(da.unique(endog), da.isfinite(X).all(), X.min(axis=0), X.max(axis=0))
    values = np.asarray(values, float)
    if not np.isfinite(values).all():
        raise ValueError("endog has NaN or infinite values")
    if (values != np.round(values)).any():
        raise ValueError("endog must hold whole numbers (ordered category codes), got fractions")
    if not finite:
        raise ValueError("exog has NaN or infinite values")
    names = [f"x{i + 1}" for i in range(X.shape[1])]
    if (low == high).any():
        raise ValueError(f"exog column {names[int(np.argmax(low == high))]!r} is constant: "
                         "the cut points take the place of a constant")
    codes = endog.map_blocks(lambda v: np.searchsorted(values, v), dtype=np.intp)
    return codes, [int(v) for v in values], X, names
