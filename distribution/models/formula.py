"""Models from formulas on a DataFrame, through formulaic: the response
columns on the left of "~", the design of the terms on the right.

One path for every model: the rows with a missing value in any variable
the model uses (the response, the terms, the scale's terms, the weights and
the offset) are dropped, or with missing="raise" named in a ValueError, as
statsmodels' formula API does; the keywords that hold one value per row
take a column of the data by name, or an array or Series of its rows.  The
model keeps the designs' encodings (`FormulaDesign`), so that its results
predict at new data from the raw columns, with the fit's levels."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence, TypeVar

import numpy as np
from numpy.typing import NDArray

from .._checks import align, is_pandas, rows_text

if TYPE_CHECKING:
    from types import ModuleType

    import pandas as pd
    from formulaic import ModelMatrix, ModelSpec

    from .regression import RegressionModel

MISSING = ("drop", "raise")
M = TypeVar("M", bound="RegressionModel")


def _formulaic() -> ModuleType:
    try:
        import formulaic
    except ImportError as err:
        raise ImportError("from_formula needs formulaic: pip install formulaic") from err
    return formulaic


def model_matrix(terms: str, data: pd.DataFrame) -> ModelMatrix:
    return _formulaic().model_matrix(terms, data)


def _sides(formula: str, data: pd.DataFrame, sides: Sequence[str]) -> tuple[list[str], str]:
    """The response columns (1 to as many as `sides` names) and the terms
    of a formula "a [+ b] ~ terms"."""
    form = " + ".join(sides)
    if not isinstance(formula, str) or formula.count("~") != 1:
        raise ValueError(f"formula must read '{form} ~ terms', got {formula!r}")
    lhs, rhs = (part.strip() for part in formula.split("~"))
    columns = [c.strip() for c in lhs.split("+")] if lhs else []
    if not 1 <= len(columns) <= len(sides):
        raise ValueError(f"formula must read '{form} ~ terms', got {formula!r}")
    for c in columns:
        if c not in data:
            raise ValueError(f"the response {c!r} is not a column of data")
    return columns, rhs


def _side_terms(name: str, formula: str) -> str:
    """The terms of a one-sided formula "~ terms" (the argument `name`)."""
    if not (isinstance(formula, str) and formula.strip().startswith("~")):
        raise ValueError(f"{name} must read '~ terms', got {formula!r}")
    return formula.strip()[1:]


def _variables(terms: str, data: pd.DataFrame) -> list[str]:
    """The columns of data that formula terms read."""
    return [v for v in data.columns if v in _formulaic().Formula(terms).required_variables]


def _per_row(name: str, value: Any, data: pd.DataFrame) -> Any:
    """A keyword of one value per row: a column of data by name (a list of
    names for a design), or an array, Series or DataFrame of data's rows
    (pandas ones paired by index)."""
    if value is None:
        return None
    if isinstance(value, str) or (isinstance(value, list) and value and all(isinstance(v, str) for v in value)):
        absent = [v for v in ([value] if isinstance(value, str) else value) if v not in data.columns]
        if absent:
            raise ValueError(f"{name}: {', '.join(map(repr, absent))} is not a column of data")
        return data[value]
    if is_pandas(value):
        (_, value), _ = align(data=data, **{name: value})
        return value
    array = np.asarray(value)
    if array.ndim not in (1, 2) or array.shape[0] != len(data):
        raise ValueError(f"{name} must have one value (or row) per row of data, {len(data)}, got shape {array.shape}")
    return array


def _missing(value: Any) -> NDArray[np.bool_]:
    """Rows where a per-row value is missing (NaN, None, NaT)."""
    if is_pandas(value):
        absent = value.isna()
        return np.asarray(absent.any(axis=1) if absent.ndim == 2 else absent)
    if value.dtype.kind in "fc":
        absent = np.isnan(value)
    elif value.dtype == object:
        import pandas as pd

        absent = np.asarray(pd.isna(value))
    else:
        return np.zeros(value.shape[0], bool)
    return absent.any(axis=1) if absent.ndim == 2 else absent


class FormulaDesign:
    """What a formula model keeps to predict at new data: ``encoding``, how
    the location's terms turn raw columns into the design (formulaic's
    ModelSpec: its terms, columns and levels), and whether it drops its
    Intercept; ``sides``, the other designs by argument name (exog_scale,
    exog_nominal), each (encoding, whether it drops its Intercept); the
    offset's column, and the rows of the data the model used (``rows``,
    positions in a frame of index ``data_index``)."""

    def __init__(self, encoding: ModelSpec, sides: dict[str, tuple[ModelSpec, bool]], drop_intercept: bool,
                 offset_column: str | None, data_index: pd.Index, rows: NDArray[np.intp]) -> None:
        self.encoding, self.sides, self.drop_intercept = encoding, sides, drop_intercept
        self.offset_column, self.data_index, self.rows = offset_column, data_index, rows

    def _build(self, encoding: ModelSpec, data: pd.DataFrame) -> pd.DataFrame:
        """The design an encoding gives at new rows, with the fit's levels: a variable
        absent, a missing value or a level the fit never saw is a
        ValueError naming it (formulaic itself would drop the row, or code
        the level as the reference one, with a warning)."""
        needed = sorted(encoding.required_variables)
        absent = [v for v in needed if v not in data.columns]
        if absent:
            raise ValueError(f"exog lacks the formula's variable(s) {', '.join(map(repr, absent))}")
        missing = data[needed].isna()
        if missing.to_numpy().any():
            columns = [v for v in needed if missing[v].any()]
            raise ValueError(f"exog has missing values in {', '.join(map(repr, columns))} at rows "
                             f"{rows_text(missing.to_numpy().any(axis=1))}")
        for factor, variables in encoding.factor_variables.items():
            kind, state = encoding.encoder_state.get(str(factor), (None, {}))
            used = [v for v in variables if v in needed]
            if getattr(kind, "value", None) != "categorical" or len(used) != 1 or "categories" not in state:
                continue
            if str(factor).replace(" ", "") not in (used[0], f"C({used[0]})"):
                continue  # a factor of an expression (C(x > 3)): formulaic's own check below
            unseen = ~data[used[0]].isin(state["categories"]).to_numpy()
            if unseen.any():
                level = data[used[0]].to_numpy()[np.argmax(unseen)]
                raise ValueError(f"variable {used[0]!r} has level {level!r}, which the fit did not see "
                                 f"(its levels: {', '.join(map(repr, state['categories']))}), at rows "
                                 f"{rows_text(unseen)}")
        errors = _formulaic().errors
        with warnings.catch_warnings():
            warnings.simplefilter("error", errors.DataMismatchWarning)
            try:
                X = encoding.get_model_matrix(data)
            except errors.DataMismatchWarning as err:
                raise ValueError(f"exog does not match the fit's data: {err}") from None
        if len(X) != len(data):
            raise ValueError(f"the formula's terms are not defined (NaN) at {len(data) - len(X)} rows of exog")
        return X

    def raw(self, value: Any, names: Iterable[str]) -> pd.DataFrame | None:
        """value as a frame of raw data for the formula (a Series as one
        row), or None where it is not one: not pandas, or a design (its
        columns are the model's `names`)."""
        if not is_pandas(value):
            return None
        if value.ndim == 1:
            if not set(self.encoding.required_variables) <= set(value.index):
                return None
            import pandas as pd

            # One row of raw values, which the Series holds as objects.
            return pd.DataFrame([value.to_dict()], index=pd.Index([value.name])).infer_objects()
        return None if set(map(str, value.columns)) == set(names) else value

    def frames(self, data: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame | None, pd.Series | None]:
        """(X, Z, offset) at new data: the location's design (without its
        Intercept where the model drops it), the scale's (None for none),
        and the offset column (None where the model has none or data lacks
        it)."""
        X = self._build(self.encoding, data)
        if self.drop_intercept:
            X = X.drop(columns=[c for c in X.columns if c == "Intercept"])
        Z = self.side("exog_scale", data)
        offset = data[self.offset_column] if self.offset_column in getattr(data, "columns", ()) else None
        return X, Z, offset

    def side(self, name: str, data: pd.DataFrame) -> pd.DataFrame | None:
        """The design of the side `name` at new data, None for none."""
        if name not in self.sides:
            return None
        encoding, drop = self.sides[name]
        V = self._build(encoding, data)
        return V.drop(columns=[c for c in V.columns if c == "Intercept"]) if drop else V


class FormulaData:
    """What a formula takes from `data`, at the rows the model uses:
    ``responses`` (Series), ``exog`` (the design, a DataFrame), ``keywords``
    (exog_scale, weights, sampling_weights and offset, those given),
    ``n_dropped`` and ``design`` (a `FormulaDesign`).  `attach` gives the
    model the last two."""

    def __init__(self, formula: str, data: Any, sides: Sequence[str], missing: str = "drop",
                 drop_intercept: bool = False, scale_formula: str | None = None,
                 side_formulas: Mapping[str, tuple[str, str | None, bool]] | None = None, **keywords: Any) -> None:
        if missing not in MISSING:
            raise ValueError(f"missing must be 'drop' or 'raise', got {missing!r}")
        import pandas as pd

        if not isinstance(data, pd.DataFrame):
            data = pd.DataFrame(data)
        columns, rhs = _sides(formula, data, sides)
        # The other designs: argument -> (formula's name, terms, whether its Intercept is dropped).
        side_formulas = dict(side_formulas or {})
        if scale_formula is not None:
            side_formulas["exog_scale"] = ("scale_formula", scale_formula, False)
        side_terms = {}
        for name, (argument, text, drop) in side_formulas.items():
            if text is None:
                continue
            if keywords.get(name) is not None:
                raise ValueError(f"give {argument} or {name}, not both")
            side_terms[name] = (_side_terms(argument, text), drop)
        given = {k: _per_row(k, v, data) for k, v in keywords.items() if v is not None}
        # The columns the model reads, and the rows where one is missing.
        used = dict.fromkeys([*columns, *_variables(rhs, data),
                              *(v for terms, _ in side_terms.values() for v in _variables(terms, data))])
        missing_rows = data[list(used)].isna()
        absent = missing_rows.to_numpy().any(axis=1)
        where = {c: int(missing_rows[c].sum()) for c in used if missing_rows[c].any()}
        # Rows: a value's missing ones (a mask), then those the model keeps.
        rows: NDArray[Any]
        for name, value in given.items():
            rows = _missing(value)
            if rows.any():
                where[name] = int(rows.sum())
                absent |= rows
        if missing == "raise" and where:
            counts = ", ".join(f"{c!r} ({k} row{'s' if k > 1 else ''})" for c, k in where.items())
            raise ValueError(f"data has missing values in {counts}; missing='drop' drops those rows")
        kept = np.flatnonzero(~absent)
        complete = data.iloc[kept].reset_index(drop=True)
        for c in used:
            # A level seen only in the dropped rows would be a column of 0s.
            if c not in columns and isinstance(complete[c].dtype, pd.CategoricalDtype):
                complete[c] = complete[c].cat.remove_unused_categories()
        X = model_matrix(rhs, complete)
        encoding = X.model_spec
        designs = {name: model_matrix(terms, complete) for name, (terms, _) in side_terms.items()}
        # formulaic drops the rows where a term is NaN (the log of a negative
        # value): the model drops them too, or names them.
        defined = np.asarray(X.index)
        for V in designs.values():
            defined = np.intersect1d(defined, V.index)
        if defined.size < kept.size and missing == "raise":
            undefined = kept[np.setdiff1d(np.arange(kept.size), defined)]
            raise ValueError(f"the formula's terms are not defined (NaN) at rows "
                             f"{rows_text(np.isin(np.arange(len(data)), undefined))}")
        rows = kept[defined]
        X = X.loc[defined].set_axis(data.index[rows])
        encodings = {name: (V.model_spec, side_terms[name][1]) for name, V in designs.items()}
        self.n_dropped = len(data) - rows.size
        self.responses = [data[c].iloc[rows] for c in columns]
        self.exog = X.drop(columns=[c for c in X.columns if c == "Intercept"]) if drop_intercept else X
        self.keywords = {k: v.iloc[rows] if is_pandas(v) else v[rows] for k, v in given.items()}
        for name, V in designs.items():
            V = V.loc[defined].set_axis(data.index[rows])
            drop = encodings[name][1]
            self.keywords[name] = V.drop(columns=[c for c in V.columns if c == "Intercept"]) if drop else V
        offset = keywords.get("offset")
        self.design = FormulaDesign(encoding, encodings, drop_intercept, offset if isinstance(offset, str) else None,
                                    data.index, rows)

    def attach(self, model: M) -> M:
        model.formula, model.n_dropped = self.design, self.n_dropped
        return model
