"""Every check of the package's arguments: real arrays, coefficient counts,
designs, offsets, weights, cluster groups and Dask data.  Each raises a
ValueError or TypeError that names the argument (and the rows at fault)."""

import numbers
import sys
from typing import cast

import numpy as np

MAX_COEFFICIENTS = 6


def as_real(name, value):
    """value as a float64 array; TypeError naming the argument if it is not real."""
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got an array of dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


def is_dask(value):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(value, da.Array)


def real(name, value):
    """value as float64: a NumPy array, or a Dask array kept lazy."""
    if is_dask(value):
        if value.dtype.kind not in "biuf":
            raise TypeError(f"{name} must be real numbers, got a Dask array of dtype {value.dtype}")
        return value.astype(np.float64)
    return as_real(name, value)


def check_coefficients(name, m):
    # The cast: the type of numbers.Integral has no comparison with an int.
    if isinstance(m, bool) or not isinstance(m, numbers.Integral) or not 1 <= cast(int, m) <= MAX_COEFFICIENTS:
        raise ValueError(f"{name} must be a whole number of coefficients from 1 to "
                         f"{MAX_COEFFICIENTS}, got {m!r}")


def any_true(*masks):
    """Whether each mask has a True value: one pass over Dask data."""
    if any(is_dask(m) for m in masks):
        import dask

        return [bool(v) for v in dask.compute(*[m.any() for m in masks])]
    return [bool(m.any()) for m in masks]


def rows_text(mask):
    """The first rows where mask holds, for an error message."""
    rows = np.flatnonzero(np.asarray(mask))
    more = f" and {rows.size - 5} more" if rows.size > 5 else ""
    return ", ".join(map(str, rows[:5])) + more


def check_bounds(lower, upper, names=("lower", "upper")):
    """Bounds (lower, upper] of the observations: one-dimensional, of one
    length, not NaN, lower <= upper, and finite where they are equal."""
    lo, hi = real(names[0], lower), real(names[1], upper)
    if lo.ndim != 1 or hi.shape != lo.shape:
        raise ValueError(f"{names[0]} and {names[1]} must be one-dimensional and of one length, "
                         f"got shapes {lo.shape} and {hi.shape}")
    checks = [(np.isnan(lo), f"{names[0]} is NaN"), (np.isnan(hi), f"{names[1]} is NaN"),
              (lo > hi, f"{names[0]} > {names[1]}"),
              ((lo == hi) & np.isinf(lo), f"an observation known exactly must be finite: "
                                          f"{names[0]} = {names[1]} = +-inf")]
    for (mask, text), bad in zip(checks, any_true(*(c[0] for c in checks))):
        if bad:
            raise ValueError(f"{text} at rows {rows_text(mask)}")
    return lo, hi


def numpy_only(**arguments):
    """TypeError for any of the arguments given with a model of Dask data."""
    for name, value in arguments.items():
        if value is not None:
            raise TypeError(f"{name} are for NumPy data, not Dask arrays")


def dask_together(names, *values):
    """TypeError unless the values are all Dask arrays or none is."""
    if len({is_dask(v) for v in values}) > 1:
        raise TypeError(f"give {names} both as Dask arrays, or neither")


def matrix(name, value, n, against="endog"):
    """A design of n finite rows, (n, k); a vector is one column."""
    X = as_real(name, value)
    X = X[:, None] if X.ndim == 1 else X
    if X.ndim != 2 or X.shape[0] != n:
        raise ValueError(f"{name} must have shape ({n}, k) to match {against}, got {X.shape}")
    if not np.isfinite(X).all():
        raise ValueError(f"{name} has NaN or infinite values")
    return X


def offset(value, n):
    """The offsets, one finite value per observation (0 by default)."""
    if value is None:
        return np.zeros(n)
    o = as_real("offset", value)
    if o.shape != (n,):
        raise ValueError(f"offset must have one value per observation, shape ({n},), got {o.shape}")
    if not np.isfinite(o).all():
        raise ValueError("offset has NaN or infinite values")
    return o


def check_weights(name, weights, n):
    """Weights as floats: one per observation, finite, >= 0, not all 0."""
    if weights is None:
        return None
    if hasattr(weights, "compute"):
        raise TypeError(f"{name} must be a NumPy array or a sequence, got {type(weights).__name__}")
    w = np.asarray(weights)
    if w.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be real numbers, got dtype {w.dtype}")
    w = w.astype(np.float64)
    if w.shape != (n,):
        raise ValueError(f"{name} must have one value per observation, shape ({n},), got {w.shape}")
    if not np.isfinite(w).all():
        raise ValueError(f"{name} has NaN or infinite values")
    if (w < 0).any():
        raise ValueError(f"{name} must be >= 0, got {w.min()!r}")
    if not w.sum() > 0:
        raise ValueError(f"{name} are all 0")
    return w


def weighting(n, weights, sampling_weights):
    """(w, sampling): the row weights (None for 1) and whether they are
    sampling weights."""
    if weights is not None and sampling_weights is not None:
        raise ValueError("give weights or sampling_weights, not both")
    w = check_weights("weights", weights, n)
    if sampling_weights is not None:
        return check_weights("sampling_weights", sampling_weights, n), True
    return w, False


def check_groups(groups, n):
    """Group codes 0 ... G-1 of the observations and G."""
    if groups is None:
        raise ValueError("cov_type='cluster' needs groups, one label per observation")
    labels = np.asarray(groups)
    if labels.shape != (n,):
        raise ValueError(f"groups must have one label per observation, shape ({n},), got {labels.shape}")
    if labels.dtype.kind == "f" and not np.isfinite(labels).all():
        raise ValueError("groups has NaN or infinite labels")
    if labels.dtype == object and any(v is None or v != v for v in labels):
        raise ValueError("groups has missing labels")
    _, codes = np.unique(labels, return_inverse=True)
    count = int(codes.max()) + 1 if n else 0
    if count < 2:
        raise ValueError(f"cov_type='cluster' needs at least 2 groups, got {count}")
    return codes.ravel(), count


def check_margins(at, dummy):
    """The options of get_margeff."""
    if at not in ("overall", "mean"):
        raise ValueError(f"at must be 'overall' or 'mean', got {at!r}")
    if not isinstance(dummy, (bool, np.bool_)):
        raise TypeError(f"dummy must be True or False, got {dummy!r}")


def is_pandas(value):
    """Whether value is a pandas Series or DataFrame: rows with labels."""
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(value, (pd.Series, pd.DataFrame))


def _same_labels(index, reference):
    """Whether index holds the labels of reference, each once, in any order."""
    return (index.is_unique and reference.is_unique and len(index) == len(reference)
            and bool(index.isin(reference).all()))


def _reordered(index, reference):
    """Whether index holds the labels of reference, repeated as often, in
    another order."""
    try:
        return index.sort_values().equals(reference.sort_values())
    except TypeError:  # labels that do not sort
        return False


def align(**arguments):
    """(values, labels): the arguments, pandas ones paired by index.

    The first pandas argument's index orders the rows; every other pandas
    argument with the same labels in another order is reordered to it, as
    statsmodels does.  Labels that differ (or, in another order, repeat)
    are a ValueError naming the arguments: pairing such rows by position
    would silently pair the wrong ones.  labels is that first index, or
    None where no argument is pandas (arrays pair by position)."""
    rows = [(name, value) for name, value in arguments.items() if is_pandas(value)]
    if not rows:
        return list(arguments.values()), None
    first, labels = rows[0][0], rows[0][1].index
    out, differ = dict(arguments), []
    for name, value in rows[1:]:
        if value.index.equals(labels):
            continue
        if _same_labels(value.index, labels):
            out[name] = value.reindex(labels)
        else:
            differ.append(name)
    if differ:
        why = "repeat labels in another order" if all(_reordered(arguments[name].index, labels)
                                                       for name in differ) else "hold different labels"
        raise ValueError(f"the indexes of {first} and {', '.join(differ)} {why}: pandas arguments are paired by "
                         "their index; give them one index (or arrays, to pair rows by position)")
    return list(out.values()), labels


def align_to(name, value, labels, whole=None, rows=None):
    """value, one label per observation, at the model's rows: a pandas
    value is paired with `labels`, the model's index, or where the model
    kept the `rows` (positions) of a larger frame of index `whole` and the
    value has that frame's labels, taken at those rows."""
    if labels is None or not is_pandas(value):
        return value
    if whole is not None and not (value.index.equals(labels) or _same_labels(value.index, labels)):
        (_, value), _ = align(data=whole.to_series(), **{name: value})
        return value.iloc[rows]
    (_, value), _ = align(**{"the model's rows": labels.to_series(), name: value})
    return value


def column_names(value):
    """The column names of a DataFrame, or of a named Series as one column;
    None for anything else."""
    if hasattr(value, "columns"):
        return [str(c) for c in value.columns]
    if is_pandas(value) and value.name is not None:
        return [str(value.name)]
    return None


def one_row(value, names):
    """A Series whose index holds every one of a model's column `names`, as
    a DataFrame of one row (its name the row's label); value as it is
    otherwise."""
    if not is_pandas(value) or value.ndim != 1 or not names or not set(names) <= set(map(str, value.index)):
        return value
    import pandas as pd

    return pd.DataFrame([value.to_numpy()], columns=value.index, index=pd.Index([value.name])).infer_objects()


def by_name(name, value, names):
    """(covariates, labels) of a prediction's argument: a DataFrame's
    columns matched to the model's `names` (None where the model was given
    none: by position), a Series whose index holds those names as one row,
    anything else by position; labels: the rows' pandas index, or None."""
    if not is_pandas(value):
        return value, None
    if names is None:
        return value, value.index
    value = one_row(value, names)
    if value.ndim == 1:
        if len(names) == 1 and value.name is not None and str(value.name) != names[0]:
            raise ValueError(f"{name} is a Series named {value.name!r}; the model's column is {names[0]!r}")
        return value, value.index
    columns = {str(c): c for c in value.columns}
    absent = [n for n in names if n not in columns]
    extra = [c for c in columns if c not in names]
    if absent or extra:
        parts = ([f"lacks the model's column(s) {', '.join(map(repr, absent))}"] if absent else []) + (
            [f"has column(s) {', '.join(map(repr, extra))} that the model does not have"] if extra else [])
        raise ValueError(f"{name} {' and '.join(parts)}: a DataFrame's columns are matched by name")
    return value[[columns[n] for n in names]], value.index
