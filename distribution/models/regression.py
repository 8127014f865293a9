"""What every regression model shares: its observations in chunks (one of
NumPy arrays, or the chunks of Dask arrays, summed where they live), the
search on them, the estimates and their covariance, and `fit` and
`select_degree`.

A model's parameters at the optimiser are phi = (beta, g), beta the
coefficients of the ends' designs and g those of the log-scale, then p.  A
model may fit in its own units (a standardised response) and report in the
user's: the reported (beta, g) are a + A phi, a linear map, and p is as it
is, with its largest coefficient fixed at 1.
"""

import copy
import sys

import numpy as np

from . import inference, likelihood, search

# Observations of the sketch on which a large sample's starts are screened.
SKETCH = 2000
# Random shapes of p at each number of coefficients j: RANDOM j (a model may ask for more).
RANDOM = 4


def is_dask(value):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(value, da.Array)


def chunk_weights(chunk):
    """A chunk's row weights: its "w", or 1 for each row of its design "X"."""
    return chunk["w"] if "w" in chunk else np.ones(chunk["X"].shape[0])


def chunk_offset(chunk):
    """A chunk's offsets: its "offset", or 0 for each row."""
    return chunk["offset"] if "offset" in chunk else np.zeros(chunk["X"].shape[0])


def _each(fn, items, args, lazy):
    """fn(item, *args) for each item: here, or for delayed items on the
    Dask workers, computed together."""
    if not lazy:
        return [fn(item, *args) for item in items]
    import dask

    return list(dask.compute(*[dask.delayed(fn)(item, *args) for item in items]))


def _total(parts):
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

    def __init__(self, arrays):
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
        parts, self._persisted = {}, []
        for name, v in arrays.items():
            v = v.astype(np.float64).rechunk({0: rows} if v.ndim == 1 else {0: rows, 1: -1}).persist()
            # The persisted array keeps its chunks alive on a cluster's workers.
            self._persisted.append(v)
            parts[name] = v.to_delayed().ravel()
        starts = np.concatenate([[0], np.cumsum(rows)[:-1]])
        self.chunks = [dict({k: parts[k][i] for k in parts}, start=int(s)) for i, s in enumerate(starts)]

    def map(self, fn, *args):
        return _each(fn, self.chunks, args, self.dask)

    def sum(self, fn, *args):
        return _total(self.map(fn, *args))

    def mean_row(self, names):
        """The total weight, and the weighted mean of each named array (those
        the chunks have) as a chunk of one row of weight 1."""
        present = [k for k in names if k in self.chunks[0]]
        W, *sums = self.sum(lambda c: (chunk_weights(c).sum(), *(chunk_weights(c) @ c[k] for k in present)))
        return W, {k: (v / W)[None] if np.ndim(v) else np.array([v / W]) for k, v in zip(present, sums)}


class Observations:
    """The model's Block of each chunk of its Rows (built by `make`, a
    function of a chunk), kept where the chunk lives: the sums of the
    likelihood at S points, the meat of the sandwich and a subsample."""

    def __init__(self, rows, make):
        self.lazy = rows.dask
        if rows.dask:
            import dask

            self.blocks = list(dask.persist(*[dask.delayed(make)(c) for c in rows.chunks]))
        else:
            self.blocks = [make(c) for c in rows.chunks]
        sizes = self._map(lambda b: (b.n, float(b.weights.sum()), b.Z.shape[1]))
        self.n = sum(s[0] for s in sizes)
        self.total = sum(s[1] for s in sizes)
        self.kg = sizes[0][2]

    def _map(self, fn, *args):
        return _each(fn, self.blocks, args, self.lazy)

    def sums(self, kb, phi, p, want):
        return _total(self._map(_block_sums, kb, phi, p, want))

    def meat(self, kb, best, request, codes):
        return _total(self._map(_block_meat, kb, best, request, codes))

    def every(self, step):
        """Every step-th observation of positive weight, gathered: one Block."""
        parts = [b for b in self._map(lambda b: b.rows(np.arange(0, b.n, step))) if b.n]
        if len(parts) == 1:
            return parts[0]
        return likelihood.Block(*(np.concatenate([getattr(b, name) for b in parts])
                                  for name in ("lo", "D_lo", "hi", "D_hi", "Z", "exact", "weights", "row_index")))


def _block_sums(block, kb, phi, p, want):
    if block.n == 0:
        k = phi.shape[1] + p.shape[1]
        return np.zeros(len(p)), np.zeros((len(p), k)), np.zeros((len(p), k, k))
    return likelihood.sums(block, phi[:, :kb], phi[:, kb:], p, want)


def _block_meat(block, kb, best, request, codes):
    if block.n == 0:
        return 0.0
    scores = likelihood.scores(block, best.phi[:, :kb], best.phi[:, kb:], best.p)
    return request.meat_part(scores[:, inference.free_columns(best)], block.weights,
                             None if codes is None else codes[block.row_index])


def shaped_starts(j, fits, rng, reshape, random=RANDOM):
    """Starts of j coefficients from each fit of fewer (the best so far and,
    while that may have wandered — a shape that trades the location for its
    modes — the logistic one): every starting shape of j coefficients and
    `random` j random ones (standard normal coefficients, each also stretched
    by a random factor from 1/3 to 3), placed by ``reshape(phi, mean, sd,
    loc, scale, stretch) -> phi`` so that the noise keeps the fit's mean
    `mean` and sd `sd`; (loc, scale) put the shape's noise e_q at mean 0 and
    sd 1 as loc + scale e_q."""
    from .. import accurate

    shapes = search.SHAPES[j] + list(rng.normal(size=(random * j, j)))
    stretch = np.concatenate([np.ones(len(search.SHAPES[j])),
                              np.exp(rng.uniform(-np.log(3), np.log(3), random * j))])
    matched = search.matched_shapes(j, 0.0, 1.0, shapes)
    out = []
    for fit in fits:
        phi, p = fit.phi[0], fit.p[0]
        mean = float(accurate.mean(0.0, 1.0, p))
        sd = float(np.sqrt(accurate.var(0.0, 1.0, p)))
        out += [(reshape(phi, mean, sd, loc, scale, more), q) for (loc, scale, q), more in zip(matched, stretch)]
    return out


def run_search(observations, kb, starts, m, every=False):
    """The Degree of each j up to m on the Observations, phi = (beta (kb),
    g).  For m > 1 the starts are screened to convergence on a sketch:
    every k-th observation, its weight scaled to stand for k, k = n // SKETCH
    (all of them, k = 1, below 2 SKETCH: a few Newton steps on the data
    cannot tell which start leads to the best basin)."""
    total, n_phi = observations.total, kb + observations.kg
    sketch = None
    if m > 1:
        rows = observations.every(max(observations.n // SKETCH, 1))
        rows.weights = rows.weights * (total / rows.weights.sum())
        sketch = search.Objective(lambda phi, p, want: _block_sums(rows, kb, phi, p, want), n_phi, total,
                                  lambda phi, p: likelihood.terms(rows, phi[:, :kb], phi[:, kb:], p))
    objective = search.Objective(lambda phi, p, want: observations.sums(kb, phi, p, want), n_phi, total)
    return search.search(objective, starts, m, sketch, every)


def estimates(degree, request, observations, kb, codes=None, A=None, a=None, concave=False):
    """(params, cov, fixed, figures) at the degree's best point: params =
    (a + A phi, p if m > 1), the covariance of the type asked for carried
    there (the row of p's fixed coefficient 0); `codes`, the rows' group
    codes for a cluster covariance."""
    best, total = degree.best, observations.total
    figures = search.diagnose(degree, total, stacklevel=4, concave=concave)
    n_phi, m = best.phi.shape[1], best.p.shape[1]
    A = np.eye(n_phi) if A is None else A
    a = np.zeros(n_phi) if a is None else a
    fixed = int(best.fixed[0])
    J = np.zeros((n_phi + (m if m > 1 else 0), best.theta.shape[1]))
    J[:n_phi, :n_phi] = A
    if m > 1:
        J[n_phi:, n_phi:] = np.delete(np.eye(m), fixed, axis=1)
    meat = None if request.cov_type == "nonrobust" else observations.meat(kb, best, request, codes)
    cov = inference.covariance(request, best, total, meat, J)
    params = np.concatenate([a + A @ best.phi[0], best.p[0] if m > 1 else []])
    is_fixed = np.zeros(params.size, bool)
    if m > 1:
        is_fixed[n_phi + fixed] = True
    return params, cov, is_fixed, figures


class RegressionModel:
    """`fit`, `select_degree` and `nobs` over a model's hooks: ``_rows_data``
    (its `Rows`), ``_make_block(chunk)`` (a chunk's observations of positive
    weight), ``_starts(m)``, ``_set_m(m)`` and ``_results(degree, request,
    observations)``; ``weights``, ``sampling``, ``n_rows`` and ``_kb``."""

    @property
    def nobs(self):
        """Observations: the rows, or with frequency weights their sum."""
        if self.weights is None or self.sampling:
            return self.n_rows
        return float(self.weights.sum())

    def _with_m(self, m):
        other = copy.copy(self)
        other._set_m(m)
        return other

    def _request(self, cov_type, groups):
        if self._rows_data.dask and cov_type == "cluster":
            raise ValueError("cov_type='cluster' needs groups of NumPy data, not Dask arrays")
        return inference.CovarianceRequest(cov_type, groups, self.n_rows, self.sampling)

    def _observations(self):
        return Observations(self._rows_data, self._make_block)

    def _search(self, m, every=False):
        observations = self._observations()
        return run_search(observations, self._kb, self._starts(m), m, every), observations

    def fit(self, cov_type=None, groups=None):
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
            Cluster labels, for ``cov_type="cluster"``.

        Returns
        -------
        LikelihoodResults
            The model's results: `OrderedRegressionResults`,
            `IntervalRegressionResults` or `SurvivalRegressionResults`.
        """
        request = self._request(cov_type, groups)
        degrees, observations = self._search(self.m)
        return self._results(degrees[-1], request, observations)

    def select_degree(self, max_m=6, cov_type=None, groups=None):
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
        from .._fit import DegreeSelection
        from .._frozen import check_coefficients

        check_coefficients("max_m", max_m)
        request = self._request(cov_type, groups)
        degrees, observations = self._search(max_m, every=True)
        fits = {}
        for degree in degrees:  # a loop, not a comprehension: the warnings' stack levels
            fits[degree.m] = self._with_m(degree.m)._results(degree, request, observations)
        return DegreeSelection(fits)
