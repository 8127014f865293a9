"""Maximum likelihood fit of AdjustedLogistic to a sample, NumPy or Dask.

The fit runs on the standardised sample z = (x - c) / d, with c the mean and
d = std sqrt(3) / pi (the logistic scale of the same variance), so that its
parameters are of order one whatever the units of x.  In z the model is the
intercept-only location-scale model of `distribution.models`: every point
observed exactly, location loc_z, log-scale g, noise p in the standardised
variable e = (z - loc_z) exp(-g).  In x, loc = c + d loc_z, scale = d e^g and
p(x) = q((x - loc) / scale), and the log-likelihood of x is that of z less
n log d.  The covariance is carried over by the Jacobian of that map.

The sample is the regression models' `Rows` of its points (and weights),
and its standardised points their `Observations`: the log-likelihood, its
gradient and Hessian, and the sandwich's meat are summed chunk by chunk
where the chunks live, so a Dask sample is never gathered, only those sums
come back.  The density fit's own part is the standardisation, the sketch
on which the starts are screened, the starts, and the results in x's
units.  Weights and cluster groups are for NumPy samples.
"""

from __future__ import annotations

import functools
import math
from typing import Any, Callable, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import accurate
from .._checks import align, check_coefficients, is_dask, numpy_only, real, weighting
from .._frozen import AdjustedLogistic
from .._poly import compose
from . import inference, likelihood, regression, search
from .block import Array
from .results import DegreeSelection, LikelihoodResults, numeric_jacobian
from .starts import matched_shapes

# The sketch of the sample on which the starts are screened.  A sample of at
# most GRID distinct values, or of tied values, at most DISTINCT and at
# most half its points, is its own sketch: those values, each weighted by
# its count, on which the log-likelihood is the sample's exactly (and the
# fit evaluates it there).  Otherwise the counts of the BINS bins between
# its quantiles at i / BINS, as interval observations (an interval costs
# four times a point: 250 of them screen as fast as the 500 points they
# replace).  No value of the
# sketch lies where the sample has none: on tied or rounded data the best
# fits put the zeros of p in the gaps between the values, and quantiles
# interpolated across a gap would rank them lowest.
GRID = 500
BINS = 250
DISTINCT = 2000
# On a sample that is its own sketch, the starts of each number of
# coefficients also put a zero of p in each of its GAPS widest gaps.
GAPS = 24
# ... and p itself with a new zero in as many more of its widest gaps as
# keep those starts' points within GAP_POINTS (all of them on a sample of
# a few hundred values: a start there costs microseconds).
GAP_POINTS = 100_000
# Random starts at each number of coefficients j: RANDOM j (the same for
# every sample), more where p has more shapes to take.
RANDOM = 32


def _rows(data: Any, weights: ArrayLike | None,
          sampling_weights: ArrayLike | None) -> tuple[regression.Rows, NDArray[np.intp] | None, int]:
    """(rows, kept, size): the sample as `regression.Rows`, "x" its points
    of positive weight and "w" their weights (none where every point weighs
    1, as in a Dask sample); the indices of those points among the data's
    (None: all of them); and the number of the data's points."""
    if is_dask(data):
        numpy_only(weights=weights, sampling_weights=sampling_weights)
    x = real("data", data).ravel()
    w = None if is_dask(x) else weighting(x.size, weights, sampling_weights)[0]
    if w is None:
        return regression.Rows({"x": x}), None, x.size
    kept = np.flatnonzero(w > 0)
    return regression.Rows({"x": x[kept], "w": w[kept]}), kept, x.size


def _totals(chunk: dict[str, Any]) -> tuple[int, float, float, bool, float]:
    """A chunk's points that are not finite, its weight, its weighted sum of
    x and whether its points are all equal (0, 0 and True where some point
    is not finite); and its first point."""
    x, w = chunk["x"], chunk.get("w")
    bad = int(x.size - np.isfinite(x).sum())
    if bad or not x.size:
        return bad, 0.0, 0.0, True, np.nan
    return 0, float(x.size if w is None else w.sum()), _weighted_sum(x, w), bool((x == x[0]).all()), float(x[0])


def _squares(chunk: dict[str, Any], c: float) -> float:
    """A chunk's weighted sum of (x - c)^2."""
    r = chunk["x"] - c
    return _weighted_sum(r * r, chunk.get("w"))


def _weighted_sum(v: Array, w: Array | None) -> float:
    # NumPy's pairwise sums (not a dot product's): a NumPy sample, one
    # chunk, has the mean and sd of np.average and np.std to the last bit.
    return v.sum() if w is None else (v * w).sum()


def _standardisation(rows: regression.Rows, m: int) -> tuple[float, float, float]:
    """(total, c, d): the sample's total weight, its weighted mean c and d =
    sd sqrt(3) / pi, the logistic scale of its variance, from sums over its
    chunks (the squares about the mean, in a second pass, lose nothing to
    cancellation).  ValueError where a point is not finite, where there are
    too few points for m coefficients, or where all are equal."""
    parts = rows.map(_totals)
    bad, total, sum_x = (sum(part[i] for part in parts) for i in range(3))
    if bad:
        raise ValueError("data must be finite: it holds NaN or infinite values")
    if rows.n < m + 3:
        raise ValueError(f"data has {rows.n} points: a fit with m = {m} needs at least {m + 3}")
    # Equal points by comparison: their computed sd need not be 0 (a mean
    # of 0.1s is not 0.1), and would standardise the rounding.
    firsts = {part[4] for part in parts if np.isfinite(part[4])}
    if all(part[3] for part in parts) and len(firsts) == 1:
        raise ValueError("data are all equal: there is no scale to fit")
    c = float(sum_x / total)
    sd = math.sqrt(rows.sum(_squares, c) / total)
    return total, c, sd * math.sqrt(3) / math.pi


def _standardised(chunk: dict[str, Any], c: float, d: float) -> likelihood.LocationScaleBlock:
    """A chunk's points in z = (x - c) / d, each observed exactly, as the
    location-scale model's Block: loc the coefficient of a unit column of
    the ends' design, the log-scale that of a unit column of the scale's."""
    z = (chunk["x"] - c) / d
    n = z.size
    return likelihood.LocationScaleBlock(z, z, np.ones((n, 1)), Z=np.ones((n, 1)), exact=np.ones(n, bool),
                            weights=chunk.get("w"), row_index=chunk["start"] + np.arange(n))


def _sketch(rows: regression.Rows, total: float, c: float, d: float) -> tuple[likelihood.LocationScaleBlock, bool]:
    """(block, exact): the distinct values and their counts (summed
    weights), gathered chunk by chunk, as observed points where the sample
    is its own sketch (`_exact`); else the counts of the BINS bins between
    its quantiles at i / BINS (a Dask sample's from Dask's percentiles),
    as interval observations.  Bins, not points: a zero of p between two
    points of a sketch costs nothing there, and a sketch of points would
    have a basin for each gap (a spike of density in it), which the sample's
    many points do not have."""
    parts = rows.map(_distinct)
    if all(part is not None for part in parts):
        values, inverse = np.unique(np.concatenate([v for v, _ in cast("list[tuple[Array, NDArray[Any]]]", parts)]),
                                    return_inverse=True)
        if _exact(values.size, rows.n):
            counts = np.bincount(inverse, weights=np.concatenate(
                [c for _, c in cast("list[tuple[Array, NDArray[Any]]]", parts)]), minlength=values.size)
            return _standardised({"x": values, "w": counts, "start": 0}, c, d), True
    q = np.arange(1, BINS) / BINS
    if rows.dask:
        import dask.array as da

        quantiles = np.asarray(da.percentile(rows.persisted["x"], 100 * q, method="lower").compute())
    else:
        chunk = rows.chunks[0]
        quantiles = np.quantile(chunk["x"], q, weights=chunk.get("w"), method="inverted_cdf")
    edges = np.unique(quantiles)
    counts = rows.sum(lambda chunk: np.bincount(np.searchsorted(edges, chunk["x"]), weights=chunk.get("w"),
                                                minlength=edges.size + 1))
    keep = np.flatnonzero(counts > 0)
    lo = (np.concatenate([[-np.inf], edges])[keep] - c) / d
    hi = (np.concatenate([edges, [np.inf]])[keep] - c) / d
    ones = np.ones((keep.size, 1))
    return likelihood.LocationScaleBlock(lo, hi, ones, Z=ones, weights=counts[keep]), False


def _exact(distinct: int, n: int) -> bool:
    """Whether a sample of n points and `distinct` values is its own sketch:
    where that is no larger than the quantiles', or where it is at most
    DISTINCT values and at most half the points (tied data, whose
    log-likelihood the fit then evaluates on its values, not its points)."""
    return distinct <= GRID or (distinct <= DISTINCT and 2 * distinct <= n)


def _distinct(chunk: dict[str, Any]) -> tuple[Array, NDArray[np.float64 | np.intp]] | None:
    """The distinct values of a chunk and their counts (summed weights),
    None past DISTINCT."""
    values, inverse = np.unique(chunk["x"], return_inverse=True)
    if values.size > DISTINCT:
        return None
    return values, np.bincount(inverse, weights=chunk.get("w"), minlength=values.size)


def _random_starts(span: Array, j: int, rng: np.random.Generator) -> list[tuple[Array, Array]]:
    """RANDOM j starts of j coefficients drawn over the sample's range: loc
    between its 5% and 95% quantiles `span`, the scale from 1/30 to 1.5
    times its own logistic scale, p's coefficients standard normal."""
    count = RANDOM * j
    loc = rng.uniform(span[0], span[1], count)
    log_scale = rng.uniform(math.log(1 / 30), math.log(1.5), count)
    return [(np.array([a, b]), q) for a, b, q in zip(loc, log_scale, rng.normal(size=(count, j)))]


def _gap_starts(values: Array, best: search.Points) -> list[tuple[Array, Array]]:
    """Starts of one more coefficient from the best point `best` (a Points
    row) of one fewer, on a sample of few distinct `values` (sorted,
    standardised).

    A real zero of p cannot pass an observed value (the density is 0 there),
    so on tied or rounded data the likelihood has a basin for each placement
    of p's real zeros among the gaps between the values, and the best put
    them in the gaps: random starts seldom find those.  The starts are p
    with a new zero in each of the `GAPS` widest gaps, and p with each of
    its zeros between two values moved to each gap beside its own, with no
    new zero and with one in each of the widest gaps (the log-likelihood
    falls to -inf as a zero reaches a value, so Newton's steps seldom carry
    one across)."""
    widths = np.diff(values)
    mids = values[:-1] + widths / 2
    order = np.argsort(-widths, kind="stable")
    wide, every = mids[order[:GAPS]], mids[order[:max(GAPS, GAP_POINTS // values.size)]]
    phi, p = best.phi[0], best.p[0]
    scale = math.exp(phi[1])
    moved = _moved_zeros(p, (values - phi[0]) / scale, (mids - phi[0]) / scale)
    out = [(phi, np.append(q, 0.0)) for q in moved]
    out += [(phi, np.convolve(p, [-r, 1.0])) for r in (every - phi[0]) / scale]
    return out + [(phi, np.convolve(q, [-r, 1.0])) for q in moved for r in (wide - phi[0]) / scale]


def _moved_zeros(p: Array, values: Array, mids: Array) -> list[Array]:
    """p (lowest power first) with each of its real zeros that lies between
    two of the `values` moved to the middle `mids` of each gap beside its
    own: [q, ...] of p's size and leading coefficient."""
    r = np.trim_zeros(p, "b")
    if r.size < 2:
        return []
    zeros = np.roots(r[::-1])
    out = []
    for k in np.flatnonzero(np.abs(zeros.imag) <= 1e-9 * np.abs(zeros)):
        gap = int(np.searchsorted(values, zeros[k].real))  # values[gap - 1] < zero < values[gap]
        if not 1 <= gap < values.size:
            continue
        for beside in (gap - 2, gap):
            if 0 <= beside < mids.size:
                q = r[-1] * np.real(np.poly(np.append(np.delete(zeros, k), mids[beside])))[::-1]
                out.append(np.pad(q, (0, p.size - q.size)))
    return out


def fit_adjusted_logistic(data: Any, m: int = 3, weights: ArrayLike | None = None,
                          sampling_weights: ArrayLike | None = None, cov_type: str | None = None, groups: Any = None,
                          every: bool = False) -> AdjustedLogisticFit | DegreeSelection:
    """The fit at m (every=False), or the DegreeSelection of m = 1 ... m."""
    check_coefficients("max_m" if every else "m", m)
    (data, weights, sampling_weights, groups), _ = align(data=data, weights=weights,
                                                         sampling_weights=sampling_weights, groups=groups)
    rows, kept, size = _rows(data, weights, sampling_weights)
    sampling = sampling_weights is not None
    if rows.dask and cov_type == "cluster":
        raise ValueError("cov_type='cluster' needs groups of a NumPy sample, not a Dask array")
    request = inference.CovarianceRequest(cov_type, groups, size, sampling)
    codes = request.codes if kept is None or request.codes is None else request.codes[kept]
    n, c, d = _standardisation(rows, m)
    sketch, exact = _sketch(rows, n, c, d)
    # The 5% and 95% quantiles of the sample, from its sketch (its values,
    # interpolated where they weigh alike, as those of a sample are; or the
    # inner ends of its bins).
    grid = sketch.lo
    if exact and np.all(sketch.weights == sketch.weights[0]):
        span = np.quantile(grid, [0.05, 0.95])
    else:
        ends, at = (grid, sketch.weights) if exact else (sketch.hi[:-1], sketch.weights[:-1])
        span = np.quantile(ends, [0.05, 0.95], weights=at, method="inverted_cdf")

    @functools.cache
    def observations() -> regression.Observations:
        # The points' Blocks, built where their chunks live: once, and only
        # where the fit needs them (an exact sketch holds the sample's
        # log-likelihood; the sandwich needs each point's scores).
        return regression.Observations(rows, functools.partial(_standardised, c=c, d=d))

    on_terms = regression.block_objective(sketch, n, exact=exact,
                                          label="all the data" if exact else f"its {sketch.n} bins between quantiles")
    # An exact sketch is the sample: its log-likelihood is evaluated there.
    # `fit` and `select_degree` run one search, every degree converged on
    # all the data (each seeds the next from its basins there), so that a
    # fit at m is the selection's fit at m.
    whole = on_terms if exact else regression.objective(observations())
    grow = (lambda seeds: _gap_starts(grid, seeds[0])) if exact else None
    # Between the quantiles and all the points, a ladder of samples of them.
    rungs = [] if exact else regression.ladder(observations(), GRID)
    degrees = search.search(whole, _starts(span), m, on_terms, every=True, grow=grow, ladder=rungs)
    nobs = rows.n if sampling else n
    fits = {}
    for degree in degrees if every else degrees[-1:]:
        meat = None if request.cov_type == "nonrobust" else observations().meat(degree.best, request, codes)
        fits[degree.m] = _results(degree, n, c, d, request, meat, nobs)
    return DegreeSelection(fits) if every else fits[m]


def _starts(span: Array) -> Callable[[int, search.Points | None], list[tuple[Array, Array]]]:
    """The function ``starts(j, best)`` of `search.search`: the logistic of
    the sample's variance, pi^2 / 3 in z; then each shape at the mean and sd
    of the best fit so far; and random starts over `span`, the sample's 5%
    and 95% quantiles."""
    rng = np.random.default_rng(0)

    def starts(j: int, best: search.Points | None) -> list[tuple[Array, Array]]:
        if best is None:
            return [(np.zeros(2), np.ones(1))] + _random_starts(span, 1, rng)
        phi, p = best.phi[0], best.p[0]
        scale = math.exp(phi[1])
        mean = phi[0] + scale * float(accurate.mean(0.0, 1.0, p))
        sd = scale * math.sqrt(float(accurate.var(0.0, 1.0, p)))
        shaped = [(np.array([loc, math.log(scale)]), q) for loc, scale, q in matched_shapes(j, mean, sd)]
        return shaped + _random_starts(span, j, rng)

    return starts


def _to_x(theta: Array, fixed_q: int, c: float, d: float, j: int) -> Array:
    """(loc_z, g, free q) -> (loc, scale, p with p[j] = 1) in x."""
    loc, scale = c + d * theta[0], d * math.exp(theta[1])
    q = np.insert(theta[2:], fixed_q, 1.0)
    r = compose(q, -loc / scale, 1 / scale)
    return np.concatenate([[loc, scale], r / r[j]])


def _results(degree: search.Degree, n: float, c: float, d: float, request: inference.CovarianceRequest,
             meat: Array | None, nobs: float) -> AdjustedLogisticFit:
    """Estimates in the units of x, and their covariance (`meat`, the summed
    meat parts, None for "nonrobust") by the Jacobian of (loc_z, g, free q)
    -> (loc, scale, p with its largest coefficient 1), by central
    differences of that polynomial map (that coefficient's row is 0).
    Not `regression.estimates`: scale and p in x are not linear in phi."""
    best = degree.best
    figures = search.diagnose(degree, n)
    theta, fixed = best.theta[0], int(best.fixed[0])
    loc, scale = c + d * best.phi[0, 0], d * math.exp(best.phi[0, 1])
    r = compose(best.p[0], -loc / scale, 1 / scale)
    j = int(np.argmax(np.abs(r)))
    params, J = numeric_jacobian(lambda t: _to_x(t, fixed, c, d, j), theta, np.ones(theta.size, bool))
    cov = inference.covariance(request, best, n, meat, J)
    m = best.p.shape[1]
    is_fixed = np.zeros(params.size, bool)
    is_fixed[2 + j] = True
    return AdjustedLogisticFit(params=params, param_names=["loc", "scale", *(f"p{i}" for i in range(m))], cov=cov,
                               llf=-n * best.f[0] - n * math.log(d), nobs=nobs, df_modelwc=m + 1, nit=degree.nit,
                               diagnostics=figures, fixed=is_fixed, cov_type=request.cov_type,
                               sampling=request.sampling)


class AdjustedLogisticFit(LikelihoodResults):
    """Result of `AdjustedLogistic.fit`: `dist`, the fitted distribution, and
    the estimates ``loc, scale, p0 ... p(m-1)``, p scaled so that its largest
    coefficient is 1 (that one is listed in ``fixed``, with variance 0)."""

    title = "AdjustedLogistic maximum likelihood"

    def __init__(self, **fit: Any) -> None:
        super().__init__(**fit)
        self.dist = AdjustedLogistic(self._params[2:], self._params[0], self._params[1])

    def _noise(self, params: Array) -> AdjustedLogistic:
        return AdjustedLogistic(params[2:], params[0], params[1])

    def _slopes(self) -> tuple[Any, list[str]]:
        return [], []
