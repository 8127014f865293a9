"""What every regression model shares: its observations in chunks (one of
NumPy arrays, or the chunks of Dask arrays, summed where they live), the
search on them, the estimates and their covariance, and `fit` and
`select_degree`.  The density fit (`density`) keeps its sample in the same
`Rows` and `Observations`, with a search and estimates of its own.

A model's parameters at the optimiser are phi = (beta, g), beta the
coefficients of the ends' designs and g those of the log-scale, then p.  A
model may fit in its own units (a standardised response) and report in the
user's: the reported (beta, g) are a + A phi, a linear map, and p is as it
is, with its largest coefficient fixed at 1.
"""

from __future__ import annotations

import copy
import functools
from abc import ABCMeta, abstractmethod
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping, Sequence, TypeVar, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._checks import align_to, as_real, check_coefficients, is_dask
from . import inference, likelihood, profile, search, separation
from .block import Array, Index, ObservationBlock, Sums, empty_sums
from .diagnostics import Separated
from .parameters import ParameterMap
from .results import DegreeSelection, RegressionResults, chi2_isf

if TYPE_CHECKING:
    import pandas as pd

    from .formula import FormulaDesign

T = TypeVar("T")

# The separation of observations not yet checked.
_UNKNOWN = object()

# Observations of the sketch on which a large sample's starts are screened;
# the factor between the samples of the ladder from there to all the data,
# and the largest of those samples (gathered from Dask chunks).
SKETCH = 2000
RUNG = 10
RUNG_MAX = 200_000
PER_PARAMETER = 30
# The fewest observations of each stratum in a sample (all of a smaller one).
MIN_STRATUM = 5


def chunk_weights(chunk: Mapping[str, Any]) -> Array:
    """A chunk's row weights: its "w", or 1 for each row of its design "X"."""
    return chunk["w"] if "w" in chunk else np.ones(chunk["X"].shape[0])


def chunk_offset(chunk: Mapping[str, Any]) -> Array:
    """A chunk's offsets: its "offset", or 0 for each row."""
    return chunk["offset"] if "offset" in chunk else np.zeros(chunk["X"].shape[0])


def _each(fn: Callable[..., T], items: Sequence[Any], args: tuple[Any, ...], lazy: bool) -> list[T]:
    """fn(item, *args) for each item: here, or for delayed items on the
    Dask workers, computed together (the likelihood on one thread in each
    task: the tasks fill the cores)."""
    if not lazy:
        return [fn(item, *args) for item in items]
    import dask

    task = likelihood.one_thread(fn)
    return list(dask.compute(*[dask.delayed(task)(item, *args) for item in items]))


def _total(parts: Sequence[Any]) -> Any:
    """The sum of the parts: arrays, or tuples of arrays summed entry by entry."""
    if isinstance(parts[0], tuple):
        return tuple(sum(part[i] for part in parts) for i in range(len(parts[0])))
    return sum(parts)


class Rows:
    """A model's observations as aligned arrays (name -> (n,) or (n, k)),
    in chunks of rows: the NumPy arrays as one chunk, or Dask arrays as
    their persisted chunks, never gathered.  `map` applies a function to
    every chunk (a dict of the chunk's arrays and "start", its first row)
    and `sum` adds the results as they come back from the workers."""

    # The persisted Dask arrays, by name (Dask rows only).
    persisted: dict[str, Any]

    def __init__(self, arrays: Mapping[str, Any]) -> None:
        self.dask = any(is_dask(v) for v in arrays.values())
        first = next(iter(arrays.values()))
        self.n = int(first.shape[0])
        if not self.dask:
            self.chunks = [dict(arrays, start=0)]
            return
        if not all(is_dask(v) for v in arrays.values()):
            raise TypeError("give every array of the model as Dask arrays, or none: "
                            f"{', '.join(k for k, v in arrays.items() if not is_dask(v))} are not")
        rows = first.chunks[0]
        parts, self.persisted = {}, {}
        for name, v in arrays.items():
            v = v.astype(np.float64).rechunk({0: rows} if v.ndim == 1 else {0: rows, 1: -1}).persist()
            # The persisted array keeps its chunks alive on a cluster's workers.
            self.persisted[name] = v
            parts[name] = v.to_delayed().ravel()
        starts = np.concatenate([[0], np.cumsum(rows)[:-1]])
        self.chunks = [dict({k: parts[k][i] for k in parts}, start=int(s)) for i, s in enumerate(starts)]

    def map(self, fn: Callable[..., T], *args: Any) -> list[T]:
        return _each(fn, self.chunks, args, self.dask)

    def sum(self, fn: Callable[..., Any], *args: Any) -> Any:
        return _total(self.map(fn, *args))

    def mean_row(self, names: Iterable[str]) -> tuple[float, dict[str, Array]]:
        """The total weight, and the weighted mean of each named array (those
        the chunks have) as a chunk of one row of weight 1."""
        present = [k for k in names if k in self.chunks[0]]
        W, *sums = self.sum(lambda c: (chunk_weights(c).sum(), *(chunk_weights(c) @ c[k] for k in present)))
        return W, {k: (v / W)[None] if np.ndim(v) else np.array([v / W]) for k, v in zip(present, sums)}


class Groups:
    """Each of the model's rows in a group: `codes` 0 ... G-1 (NumPy, one per
    row) of `n_groups` groups.  Observations with groups keep them whole:
    their chunks (a group in one chunk) and their samples (groups sampled,
    not rows)."""

    def __init__(self, codes: ArrayLike, n_groups: int) -> None:
        self.codes, self.n_groups = np.asarray(codes, np.int64), int(n_groups)

    @classmethod
    def of(cls, labels: ArrayLike, n: int) -> Groups:
        """The groups of one label per row (any labels `np.unique` orders)."""
        labels = np.asarray(labels)
        if labels.shape != (n,):
            raise ValueError(f"groups must have one label per row, shape ({n},), got {labels.shape}")
        _, codes = np.unique(labels, return_inverse=True)
        return cls(codes.ravel(), int(codes.max()) + 1 if n else 0)

    def check_chunks(self, rows: Rows) -> None:
        """Raises where a group spans chunks of the Rows: a chunk's blocks
        must hold each of their groups whole."""
        if len(rows.chunks) == 1:
            return
        starts = np.array([c["start"] for c in rows.chunks])
        chunk = np.searchsorted(starts, np.arange(self.codes.size), side="right") - 1
        first, last = np.full(self.n_groups, len(starts)), np.full(self.n_groups, -1)
        np.minimum.at(first, self.codes, chunk)
        np.maximum.at(last, self.codes, chunk)
        split = np.flatnonzero(first != last)
        if split.size:
            raise ValueError(f"{split.size} group(s) span Dask chunks (the first, group {int(split[0])}, chunks "
                             f"{int(first[split[0]])} to {int(last[split[0]])}): sort the rows by group and "
                             "rechunk at the groups' boundaries")


class Observations:
    """The model's block of each chunk of its Rows (built by `make`, a
    function of a chunk), kept where the chunk lives: the sums of the
    likelihood at S points, the meat of the sandwich, the scores summed by
    group and a subsample (of whole groups, where there are `groups`)."""

    # The blocks: Dask's delayed ones, where the rows are Dask arrays.
    blocks: list[ObservationBlock]
    # The observations' `separation.Separation` (or None), once found.
    _recession: object

    def __init__(self, rows: Rows, make: Callable[[dict[str, Any]], ObservationBlock],
                 groups: Groups | None = None) -> None:
        if groups is not None:
            groups.check_chunks(rows)
        self.groups = groups
        self.lazy = rows.dask
        if rows.dask:
            import dask

            self.blocks = list(dask.persist(*[dask.delayed(make)(c) for c in rows.chunks]))
        else:
            self.blocks = [make(c) for c in rows.chunks]
        sizes = self._map(lambda b: (b.n, float(b.weights.sum()), b.k_phi))
        self.n = sum(s[0] for s in sizes)
        self.total = sum(s[1] for s in sizes)
        self.k_phi = sizes[0][2]
        self._recession = _UNKNOWN

    def _map(self, fn: Callable[..., T], *args: Any) -> list[T]:
        return _each(fn, self.blocks, args, self.lazy)

    def sums(self, phi: Array, p: Array, want: int) -> Sums:
        return _total(self._map(_block_sums, phi, p, want))

    def meat(self, best: search.Points, request: inference.CovarianceRequest,
             codes: NDArray[np.integer[Any]] | None) -> Array:
        """The sandwich's meat at the point `best`: for "cluster", the score
        sums of the groups `codes` (one per row); else the blocks' parts."""
        free = inference.free_columns(best)
        if request.cov_type == "cluster":
            assert codes is not None  # a cluster covariance's request has its groups' codes
            return self.group_scores(best, Groups(codes, request.n_groups))[:, free]
        return _total(self._map(_block_meat, best, request, free))

    def group_scores(self, point: search.Points, groups: Groups | None = None) -> Array:
        """The weighted scores at one point summed within each group (the
        observations' own groups unless others are given): (G, k)."""
        groups = self.groups if groups is None else groups
        return _total(self._map(_block_group_scores, point, groups))

    def recession(self, k_location: int) -> separation.Separation | None:
        """The `separation.Separation` of these observations, or None:
        found once, for it depends on the data alone (every degree of a
        selection asks the same)."""
        if self._recession is _UNKNOWN:
            self._recession = separation.recession(self.blocks, k_location)
        return cast("separation.Separation | None", self._recession)

    def sample(self, size: int) -> ObservationBlock:
        """About `size` observations, gathered as one block that stands for
        all of them: `_group_sample` where there are groups, else
        `_stratified_sample`."""
        return self._group_sample(size) if self.groups is not None else self._stratified_sample(size)

    def _group_sample(self, size: int) -> ObservationBlock:
        """Every k-th group of the observations whole, k = n // size (at
        least 1), weighted to stand for all: a likelihood that is a product
        over a group's rows needs all of them."""
        assert self.groups is not None  # `sample` takes whole groups only where there are some
        step = max(self.n // size, 1)
        keep = self.groups.codes % step == 0
        parts = [b for b in self._map(_rows_where, keep) if b.n]
        out = parts[0] if len(parts) == 1 else type(parts[0]).concatenate(parts)
        return out.reweighted(out.weights * (self.total / out.weights.sum()))

    def _stratified_sample(self, size: int) -> ObservationBlock:
        """About `size` observations of positive weight, gathered as one
        Block that stands for all of them: within each stratum of the
        observations (`Block.strata`: an ordered model's categories), every
        k-th in order, k = n // size, but at least `MIN_STRATUM` of each (all
        of a smaller one), each weighted to stand for its stratum.  A sample
        that missed a rare category would leave the cut points beside it
        free, and its fits would give that category probability 0 on all the
        data."""
        step = max(self.n // size, 1)
        tallies = self._map(_stratum_tally)
        codes = np.unique(np.concatenate([t[0] for t in tallies]))
        if codes.size <= 1:
            parts = [b for b in self._map(lambda b: b.rows(np.arange(0, b.n, step))) if b.n]
            out = parts[0] if len(parts) == 1 else type(parts[0]).concatenate(parts)
            return out.reweighted(out.weights * (self.total / out.weights.sum()))
        counts, weights = np.zeros((len(tallies), codes.size)), np.zeros(codes.size)
        for i, (code, count, weight) in enumerate(tallies):
            at = np.searchsorted(codes, code)
            counts[i, at] = count
            weights[at] += weight
        # The rank of each block's first observation of a stratum within it.
        before = np.cumsum(counts, axis=0) - counts
        steps = np.maximum(np.minimum(step, counts.sum(axis=0) // MIN_STRATUM), 1).astype(np.int64)
        parts = _each(_stratum_rows, list(zip(self.blocks, before)), (codes, steps), self.lazy)
        parts = [(b, c) for b, c in parts if b.n]
        out = parts[0][0] if len(parts) == 1 else type(parts[0][0]).concatenate([b for b, _ in parts])
        at = np.searchsorted(codes, np.concatenate([c for _, c in parts]))
        taken = np.bincount(at, weights=out.weights, minlength=codes.size)
        return out.reweighted(out.weights * (weights / taken)[at])


def _stratum_tally(block: ObservationBlock) -> tuple[Index, NDArray[np.intp], Array]:
    """A block's strata: their codes, observations and weights."""
    codes, inverse = np.unique(block.strata(), return_inverse=True)
    # bincount sums the weights in floats (NumPy's stubs say intp whatever the weights).
    return (codes, np.bincount(inverse, minlength=codes.size),
            cast(Array, np.bincount(inverse, block.weights, codes.size)))


def _stratum_rows(pair: tuple[ObservationBlock, Array], codes: Index,
                  steps: Index) -> tuple[ObservationBlock, Index]:
    """The block's observations whose rank within their stratum over all
    blocks (`before`, the ranks of its first of each) is a multiple of the
    stratum's step, and their strata; `pair` is (block, before)."""
    block, before = pair
    strata = block.strata()
    at = np.searchsorted(codes, strata)
    order = np.argsort(at, kind="stable")
    first = np.searchsorted(at[order], np.arange(codes.size))
    rank = np.empty(block.n, np.int64)
    rank[order] = np.arange(block.n) - first[at[order]]
    rank += before[at].astype(np.int64)
    keep = np.flatnonzero(rank % steps[at] == 0)
    return block.rows(keep), strata[keep]


def _block_sums(block: ObservationBlock, phi: Array, p: Array, want: int) -> Sums:
    if block.n == 0:
        return empty_sums(len(p), phi.shape[1] + p.shape[1])
    return block.sums(phi, p, want)


def _block_terms(block: ObservationBlock, phi: Array, p: Array) -> Array:
    return block.terms(phi, p)


def _block_meat(block: ObservationBlock, best: search.Points, request: inference.CovarianceRequest,
                free: NDArray[np.integer[Any]]) -> Array | float:
    if block.n == 0:
        return 0.0
    return request.meat_part(block.scores(best.phi, best.p)[:, free], block.weights)


def _block_group_scores(block: ObservationBlock, point: search.Points, groups: Groups) -> Array:
    if block.n == 0:
        return np.zeros((groups.n_groups, point.phi.shape[1] + point.p.shape[1]))
    scores = block.scores(point.phi, point.p)
    return inference.group_sums(scores * block.weights[:, None], groups.codes[block.row_index], groups.n_groups)


def _rows_where(block: ObservationBlock, keep: NDArray[np.bool_]) -> ObservationBlock:
    """The block's observations whose rows `keep` (a mask of the model's rows) holds."""
    return block.rows(np.flatnonzero(keep[block.row_index]))


def run_search(observations: Observations, starts: Callable[..., Any], m: int, every: bool = False,
               concave: bool = False) -> list[search.Degree]:
    """The Degree of each j up to m on the Observations.  For m > 1 the starts are screened to convergence on a sketch of
    about SKETCH observations, or `PER_PARAMETER` for each parameter where
    that is more (a sketch of 20 observations a parameter ranks the basins
    of a model of 100 categories wrongly), all of them below twice that (a
    few Newton steps on the data cannot tell which start leads to the best
    basin); the
    candidates then climb a ladder of samples RUNG times larger each, up to
    a quarter of the data and at most RUNG_MAX observations, so that on all
    the data they start within a few Newton steps of their maxima."""
    sketch: search.Objective | None
    rungs: list[search.Objective]
    sketch, rungs = None, []
    if m > 1:
        size = max(SKETCH, PER_PARAMETER * (observations.k_phi + m))
        sketch, rungs = _sample_objective(observations, size), ladder(observations, size)
    return search.search(objective(observations), starts, m, sketch, every, ladder=rungs, concave=concave)


def ladder(observations: Observations, size: int) -> list[search.Objective]:
    """The search's objectives on samples of the observations RUNG, RUNG^2
    ... times `size`, up to a quarter of them and at most RUNG_MAX."""
    out = []
    size *= RUNG
    while 4 * size <= observations.n and size <= RUNG_MAX:
        out.append(_sample_objective(observations, size))
        size *= RUNG
    return out


def _sample_objective(observations: Observations, size: int) -> search.Objective:
    """The search's objective on every k-th observation, k = n // size, its
    weight scaled to stand for k, with the terms of each observation."""
    rows = observations.sample(size)
    return block_objective(rows, observations.total, label=f"a sample of {rows.n:,} observations")


def block_objective(block: ObservationBlock, nobs: float, exact: bool = False,
                    label: str = "all the data") -> search.Objective:
    """The search's objective on one gathered Block standing for nobs
    observations, with the terms of each of its observations; `exact` where
    its log-likelihood is the data's."""
    return search.Objective(functools.partial(_block_sums, block), block.k_phi, nobs,
                            functools.partial(_block_terms, block), exact=exact, label=label, size=block.n)


def objective(observations: Observations) -> search.Objective:
    """The search's objective, f = -llf / n, on all the observations."""
    return search.Objective(observations.sums, observations.k_phi, observations.total, size=observations.n)


def estimates(degree: search.Degree, request: inference.CovarianceRequest, observations: Observations,
              parameters: ParameterMap,
              codes: NDArray[np.integer[Any]] | None = None) -> tuple[Array, Array, NDArray[np.bool_]]:
    """(params, cov, fixed) at the degree's best point: the reported
    parameters of the `ParameterMap`, the covariance of the type asked for
    carried there by its Jacobian (the row of p's fixed coefficient 0);
    `codes`, the rows' group codes for a cluster covariance."""
    best = degree.best
    fixed = int(best.fixed[0])
    meat = None if request.cov_type == "nonrobust" else observations.meat(best, request, codes)
    cov = inference.covariance(request, best, observations.total, meat, parameters.jacobian(fixed))
    return parameters.to_user(best.phi[0], best.p[0]), cov, parameters.fixed_mask(fixed)


class _DeclaredModel(ABCMeta):
    """Models whose constructor must hand the core its data: a model class
    whose __init__ never reached `RegressionModel.__init__` fails when it
    is constructed, not at its first fit."""

    def __call__(cls, *args: Any, **kwargs: Any) -> Any:
        model = super().__call__(*args, **kwargs)
        if "rows" not in vars(model):
            raise TypeError(f"{cls.__name__}.__init__ must call RegressionModel.__init__ with rows, k_ends, m, "
                            "weights, sampling, n_rows and pandas")
        return model


class RegressionModel(metaclass=_DeclaredModel):
    """What a model supplies to the core, and what the core gives every
    model: `fit`, `select_degree`, `nobs` and `df_modelwc`.

    A model passes its data to `__init__`, names its results' class
    (``results_class``) and defines the abstract methods; a model that
    leaves one out fails at construction, naming it.  Its parameters are
    (phi, p), reported through `to_user`; ``param_names`` are its
    `phi_names` and p's."""

    def __init__(self, *, rows: Rows, k_ends: int, m: int, weights: Array | None, sampling: bool, n_rows: int,
                 pandas: bool) -> None:
        """rows: the model's `Rows`; k_ends: the location's coefficients
        beta, the first of phi (those the check for separation moves);
        m: p's coefficients; weights: the rows' weights (None for 1), of
        sampling if `sampling`, else frequency weights; n_rows: the rows;
        pandas: whether the results are labelled pandas objects."""
        self.rows, self.k_ends, self.weights, self.sampling = rows, k_ends, weights, sampling
        self.n_rows, self.pandas = n_rows, pandas
        self.set_m(m)

    @property
    @abstractmethod
    def results_class(self) -> type[RegressionResults]:
        """The class of the model's results (a `RegressionResults`)."""

    # ---------------------------------------------------------- the hooks
    @abstractmethod
    def make_block(self, chunk: dict[str, Any]) -> ObservationBlock:
        """A chunk's observations of positive weight: an `ObservationBlock`."""

    @abstractmethod
    def starts(self, m: int) -> Callable[..., Any]:
        """The function ``starts(j, best)`` of `models.starts`."""

    @abstractmethod
    def phi_names(self) -> list[str]:
        """The names of phi, as reported."""

    @abstractmethod
    def noise(self, params: Array, scaled: bool = False) -> Any:
        """The fitted noise at params: e (an AdjustedLogistic at loc 0,
        scale 1), or with `scaled` in the response's units at the baseline
        scale (the figures of noise_summary)."""

    def slopes(self) -> tuple[Any, list[str]]:
        """Indices and names of the slopes that noise_summary rescales (none
        unless a model says so)."""
        return [], []

    def margins(self, params: Array, at: str, dummy: bool,
                free: NDArray[np.bool_]) -> tuple[str, Sequence[str | tuple[str, ...]], Array, Array]:
        """(title, names, values, Jacobian in the params) of the marginal
        effects; the Jacobian's columns where `free` is False may be 0."""
        raise NotImplementedError(f"{type(self).__name__} has no marginal effects")

    def to_user(self) -> tuple[Array | None, Array | None]:
        """(A, a): the reported phi are a + A phi (None: phi itself)."""
        return None, None

    llf_shift: float = 0.0
    concave: bool = False
    # The pandas index of the rows (None for arrays); a formula model's
    # designs (a `formula.FormulaDesign`) and the rows it dropped.
    row_labels: pd.Index | None = None
    formula: FormulaDesign | None = None
    n_dropped: int = 0
    # The rows' `Groups` where the likelihood is a product over groups (a
    # random intercept's); None: every row on its own.
    groups: Groups | None = None

    # ------------------------------------------------------ the core's part
    def set_m(self, m: int) -> None:
        self.m = m
        self.param_names = [*self.phi_names(), *(f"p{i}" for i in range(m) if m > 1)]

    @property
    def nobs(self) -> float:
        """Observations: the rows, or with frequency weights their sum."""
        if self.weights is None or self.sampling:
            return self.n_rows
        return float(self.weights.sum())

    @property
    def df_modelwc(self) -> int:
        """Free parameters: (beta, g) and p less its fixed coefficient."""
        return len(self.param_names) - (self.m > 1)

    def parameters(self) -> ParameterMap:
        """The `ParameterMap` from the search's (phi, p) to the reported
        parameters, by the model's `to_user`."""
        return ParameterMap(len(self.param_names) - (self.m if self.m > 1 else 0), self.m, *self.to_user())

    def noise_coefficients(self, params: Array) -> Array:
        """p among params: after (beta, g), or 1 for logistic noise."""
        return likelihood.noise_coefficients(params, len(self.param_names) - (self.m if self.m > 1 else 0),
                                             self.m)

    @staticmethod
    def labelled(values: NDArray[Any], labels: pd.Index | None, columns: ArrayLike | None = None) -> Any:
        """values as they are where labels is None, else a Series or
        DataFrame indexed by labels."""
        if labels is None:
            return values
        import pandas as pd

        if values.ndim == 1:
            return pd.Series(values, index=labels)
        return pd.DataFrame(values, index=labels, columns=columns)

    def _with_m(self, m: int) -> RegressionModel:
        other = copy.copy(self)
        other.set_m(m)
        return other

    def _request(self, cov_type: str | None, groups: Any) -> inference.CovarianceRequest:
        if self.rows.dask and cov_type == "cluster":
            raise ValueError("cov_type='cluster' needs groups of NumPy data, not Dask arrays")
        if self.formula is not None:
            groups = align_to("groups", groups, self.row_labels, self.formula.data_index, self.formula.rows)
        else:
            groups = align_to("groups", groups, self.row_labels)
        return inference.CovarianceRequest(cov_type, groups, self.n_rows, self.sampling)

    def observations(self) -> Observations:
        """The model's `Observations`, built where its chunks live."""
        return Observations(self.rows, self.make_block, self.groups)

    def _search(self, m: int, every: bool = False) -> tuple[list[search.Degree], Observations]:
        observations = self.observations()
        return run_search(observations, self.starts(m), m, every, self.concave), observations

    def profile_intervals(self, params: Array, fixed: NDArray[np.bool_], alpha: float,
                          basins: Sequence[tuple[Array, Array]] = ()) -> Array:
        """Profile-likelihood intervals of params (the fit's, with its fixed
        coefficient of p): each reported (beta, g) is one coordinate of phi
        times a factor, plus a constant; p's free coefficients are
        coordinates of the fit's chart; the fixed one is 1.  `basins`, the
        search's other optima (phi, p), start other branches of each
        profile."""
        parameters = self.parameters()
        n_phi = parameters.n_phi
        observations = self.observations()
        goal = objective(observations)
        at = np.flatnonzero(fixed[n_phi:])
        best = profile.Point(goal, *parameters.from_user(params), int(at[0]) if at.size else 0)
        assert best.H is not None  # a Point has its Hessian unless asked for less
        se = np.sqrt(np.maximum(np.diag(np.linalg.pinv(best.H)) / observations.total, 0.0))
        target = chi2_isf(alpha, 1) / (2 * observations.total)
        # A basin lower than the interval's level at its own maximum stays
        # below it along any profile: only those above it are followed.
        others = [point for point in (profile.Point(goal, phi, p, best.fixed) for phi, p in basins)
                  if point.f < best.f + target]
        z = np.sqrt(2 * observations.total * target)
        out = np.ones((params.size, 2))
        for i in np.flatnonzero(~fixed).tolist():
            j, factor, shift = parameters.coordinate(i) if i < n_phi else (n_phi + best.free.index(i - n_phi), 1.0, 0.0)
            theta = best.theta[j]
            ends = [profile.bound(goal, best, j, target, theta + d * z * se[j], d, others) for d in (-1, 1)]
            out[i] = np.sort(shift + factor * np.array(ends))
        return out

    def _results(self, degree: search.Degree, request: inference.CovarianceRequest, observations: Observations,
                 searched: bool = True) -> RegressionResults:
        parameters = self.parameters()
        figures = search.figures(degree, observations.total)
        found = separation.detect(observations, degree, self.k_ends, figures)
        if found is None:
            # Without a search, one start is all there was.
            search.warn_unsure(figures, degree, not searched or self.concave and self.m == 1)
        else:
            figures = figures.separated(Separated(parameters.along(found.direction), found.kind))
        # The other basins the search found, where a profile may pass to
        # another branch of the likelihood.
        figures = figures.with_basins(tuple((b.phi[0], b.p[0]) for b, _ in degree.basins[1:profile.BRANCHES + 1]))
        params, cov, fixed = estimates(degree, request, observations, parameters, request.codes)
        llf = -observations.total * degree.best.f[0] - self.llf_shift
        return self.results_class(model=self, params=params, cov=cov, llf=llf, nit=degree.nit, diagnostics=figures,
                                  fixed=fixed, request=request)

    def fit(self, cov_type: str | None = None, groups: Any = None,
            start_params: ArrayLike | None = None) -> RegressionResults:
        """Maximum likelihood with exact Hessians: Newton's method from many
        starts at each number of coefficients up to m (see
        `distribution.models.search`).

        Parameters
        ----------
        cov_type : {"nonrobust", "robust", "cluster"}, optional
            The covariance of the estimates: the inverse observed
            information ("nonrobust", the default), the HC0 sandwich
            ("robust", the default with sampling weights) or the sandwich of
            score sums by group ("cluster", statsmodels' small-sample
            factor); see the Inference page.
        groups : array_like, shape (n,), optional
            Cluster labels, for ``cov_type="cluster"``.  A Series is paired
            with the model's rows by its index (for a formula model, also
            a Series of the whole DataFrame's rows).
        start_params : array_like, optional
            Parameters to start from, as the results report them: Newton's
            method from there alone, no search (statsmodels' name); for
            nested fits from a fit already made.

        Returns
        -------
        LikelihoodResults
            The model's results: `OrderedRegressionResults`,
            `IntervalRegressionResults` or `SurvivalRegressionResults`.

        Notes
        -----
        Separation.  Where some coefficients can go to infinity without
        lowering any observation's probability (a covariate that predicts a
        binary outcome, or an extreme category, perfectly; a group whose
        survival times are all censored), the likelihood has no maximum:
        the fit warns with a `distribution.SeparationWarning` naming them,
        and its results have ``converged=False``, ``separation`` and
        ``separated`` (see `distribution.models.separation`).  NumPy data
        only: Dask data are not checked.
        """
        request = self._request(cov_type, groups)
        if start_params is not None:
            observations = self.observations()
            phi, p = self._from_user(start_params)
            degree = search.from_start(objective(observations), phi, p)
            return self._results(degree, request, observations, searched=False)
        degrees, observations = self._search(self.m)
        return self._results(degrees[-1], request, observations)

    def _from_user(self, params: Any, name: str = "start_params") -> tuple[Array, Array]:
        """(phi, p) of parameters as the results report them."""
        params = as_real(name, params)
        if params.shape != (len(self.param_names),):
            raise ValueError(f"{name} must have {len(self.param_names)} values, got shape {params.shape}")
        return self.parameters().from_user(params)

    def select_degree(self, max_m: int = 6, cov_type: str | None = None, groups: Any = None) -> DegreeSelection:
        """Fits with m = 1 ... max_m coefficients of p from one search (the
        degrees the search passes through anyway, each converged on all the
        data), and their table: llf, free parameters, AIC, BIC and the
        likelihood-ratio test against m = 1 (logistic noise).

        Returns
        -------
        DegreeSelection
            ``fits`` (the results of each m), ``summary_frame()``,
            ``best(criterion="bic")``.
        """
        check_coefficients("max_m", max_m)
        request = self._request(cov_type, groups)
        degrees, observations = self._search(max_m, every=True)
        return DegreeSelection({d.m: self._with_m(d.m)._results(d, request, observations) for d in degrees})
