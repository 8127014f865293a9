"""Maximum likelihood fit of AdjustedLogistic to a sample, NumPy or Dask.

The fit runs on the standardised sample z = (x - c) / d, with c the mean and
d = std sqrt(3) / pi (the logistic scale of the same variance), so that its
parameters are of order one whatever the units of x.  In z the model is the
intercept-only location-scale model of `distribution.models`: every point
observed exactly, location loc_z, log-scale g, noise p in the standardised
variable e = (z - loc_z) exp(-g).  In x, loc = c + d loc_z, scale = d e^g and
p(x) = q((x - loc) / scale), and the log-likelihood of x is that of z less
n log d.  The covariance is carried over by the Jacobian of that map.

A Dask sample is never gathered: the log-likelihood, its gradient and
Hessian are summed chunk by chunk on the workers, and only those sums come
back (and the scores' products, for a robust covariance).  Weights and
cluster groups are for NumPy samples.
"""

import math

import numpy as np

from .. import accurate
from .._checks import align, as_real, check_coefficients, is_dask, numpy_only, weighting
from .._frozen import AdjustedLogistic
from .._poly import compose
from . import inference, likelihood, search
from .results import DegreeSelection, LikelihoodResults, numeric_jacobian
from .starts import matched_shapes

BLOCK = 1 << 18
# The sketch of the sample on which the starts are screened.  A sample of at
# most GRID distinct values, or of tied values, at most DISTINCT and at
# most half its points, is its own sketch: those values, each weighted by
# its count, on which the log-likelihood is the sample's exactly (and the
# fit evaluates it there).  Otherwise its quantiles at (i + 1/2) / GRID,
# each standing for n / GRID points, taken as observed values.  Either way
# no point of the sketch lies where the sample has none: on tied or rounded
# data the best fits put the zeros of p in the gaps between the values, and
# quantiles interpolated across a gap would rank them lowest.
GRID = 500
DISTINCT = 2000
# On a sample that is its own sketch, the starts of each number of
# coefficients also put a zero of p in each of its GAPS widest gaps.
GAPS = 24
# Random starts at each number of coefficients j: RANDOM j (the same for
# every sample), more where p has more shapes to take.
RANDOM = 32


def _block(z, weights=None):
    n = z.size
    return likelihood.Block(z, z, np.ones((n, 1)), Z=np.ones((n, 1)), exact=np.ones(n, bool), weights=weights)


def _chunk_sums(z, c, d, phi, p, want, w=None):
    """Over the points z (weights w): the sums at the parameter points (phi,
    p), phi = (loc, log scale) of the standardised sample."""
    return likelihood.sums(_block((z - c) / d, w), phi[:, :1], phi[:, 1:], p, want)


def _chunk_meat(z, c, d, best, request, w=None, codes=None):
    """This chunk's share of the meat of the sandwich at the fitted point."""
    scores = likelihood.scores(_block((z - c) / d), best.phi[:, :1], best.phi[:, 1:], best.p)
    return request.meat_part(scores[:, inference.free_columns(best)], w, codes)


def _add(parts):
    return tuple(sum(part[i] for part in parts) for i in range(3))


class _NumpySample:
    """The points of positive weight, with their weights (None for 1);
    `total` their sum, the replicated sample's size."""

    def __init__(self, x, weights=None, sampling_weights=None):
        x = as_real("data", x).ravel()
        self.size = x.size
        w = weighting(x.size, weights, sampling_weights)[0]
        self.rows = np.arange(x.size) if w is None else np.flatnonzero(w > 0)
        self.x, self.w = x[self.rows], None if w is None else w[self.rows]
        self.n = self.x.size
        self.total = float(self.n if w is None else self.w.sum())
        self.finite = bool(np.isfinite(self.x).all())
        self.mean, self.std = np.nan, np.nan
        if self.finite and self.w is None:
            self.mean, self.std = self.x.mean(), self.x.std()
        elif self.finite:
            self.mean = np.average(self.x, weights=self.w)
            self.std = math.sqrt(np.average((self.x - self.mean) ** 2, weights=self.w))

    def _blocks(self):
        # In blocks, so that the temporaries stay small whatever n.
        for i in range(0, self.n, BLOCK):
            yield slice(i, i + BLOCK), None if self.w is None else self.w[i:i + BLOCK]

    def sums(self, c, d, phi, p, want):
        return _add([_chunk_sums(self.x[r], c, d, phi, p, want, w) for r, w in self._blocks()])

    def meat(self, c, d, best, request):
        codes = None if request.codes is None else request.codes[self.rows]
        return sum(_chunk_meat(self.x[r], c, d, best, request, w, None if codes is None else codes[r])
                   for r, w in self._blocks())

    def sketch(self):
        """(points, weights, exact): the distinct values and their counts
        (summed weights) where the sample is its own sketch (`_exact`),
        else the quantiles at (i + 1/2) / GRID, each standing for
        total / GRID."""
        values, inverse = np.unique(self.x, return_inverse=True)
        if _exact(values.size, self.n):
            return values, np.bincount(inverse, weights=self.w, minlength=values.size), True
        q = np.quantile(self.x, (np.arange(GRID) + 0.5) / GRID, weights=self.w, method="inverted_cdf")
        return _pooled(q, self.total / GRID) + (False,)


class _DaskSample:
    """The sample as persisted chunks; each evaluation maps the sums over them."""

    def __init__(self, x):
        import dask
        import dask.array as da

        if x.dtype.kind not in "biuf":
            raise TypeError(f"data must be real numbers, got a Dask array of dtype {x.dtype}")
        self.x = x.ravel().astype(np.float64).persist()
        self.n = int(self.x.size)
        self.total = float(self.n)
        finite, mean, std = dask.compute(da.isfinite(self.x).all(), self.x.mean(), self.x.std())
        self.finite, self.mean, self.std = bool(finite), float(mean), float(std)
        self.chunks = self.x.to_delayed().ravel()

    def sums(self, c, d, phi, p, want):
        import dask

        task = likelihood.one_thread(_chunk_sums)
        return _add(dask.compute(*[dask.delayed(task)(b, c, d, phi, p, want) for b in self.chunks]))

    def meat(self, c, d, best, request):
        import dask

        task = likelihood.one_thread(_chunk_meat)
        return sum(dask.compute(*[dask.delayed(task)(b, c, d, best, request) for b in self.chunks]))

    def sketch(self):
        """As `_NumpySample.sketch`: the distinct values, counted chunk by
        chunk, where there are few; else the quantiles (Dask's, from each
        chunk's, as observed values)."""
        import dask
        import dask.array as da

        parts = dask.compute(*[dask.delayed(_distinct)(b) for b in self.chunks])
        if all(part is not None for part in parts):
            values, inverse = np.unique(np.concatenate([v for v, _ in parts]), return_inverse=True)
            if _exact(values.size, self.n):
                counts = np.bincount(inverse, weights=np.concatenate([c for _, c in parts]), minlength=values.size)
                return values, counts, True
        q = (np.arange(GRID) + 0.5) / GRID
        return _pooled(np.asarray(da.percentile(self.x, 100 * q, method="lower").compute()), self.n / GRID) + (False,)


def _exact(distinct, n):
    """Whether a sample of n points and `distinct` values is its own sketch:
    where that is no larger than the quantiles', or where it is at most
    DISTINCT values and at most half the points (tied data, whose
    log-likelihood the fit then evaluates on its values, not its points)."""
    return distinct <= GRID or (distinct <= DISTINCT and 2 * distinct <= n)


def _distinct(x):
    """The distinct values of a chunk and their counts, None past DISTINCT."""
    values, counts = np.unique(x, return_counts=True)
    return (values, counts.astype(float)) if values.size <= DISTINCT else None


def _pooled(quantiles, each):
    """Quantiles that stand for `each` points apiece, equal ones as one point."""
    values, counts = np.unique(quantiles, return_counts=True)
    return values, counts * each


def _random_starts(span, j, rng):
    """RANDOM j starts of j coefficients drawn over the sample's range: loc
    between its 5% and 95% quantiles `span`, the scale from 1/30 to 1.5
    times its own logistic scale, p's coefficients standard normal."""
    count = RANDOM * j
    loc = rng.uniform(span[0], span[1], count)
    log_scale = rng.uniform(math.log(1 / 30), math.log(1.5), count)
    return [(np.array([a, b]), q) for a, b, q in zip(loc, log_scale, rng.normal(size=(count, j)))]


def _gap_starts(values, best):
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
    wide = mids[np.argsort(-widths, kind="stable")[:GAPS]]
    phi, p = best.phi[0], best.p[0]
    scale = math.exp(phi[1])
    moved = _moved_zeros(p, (values - phi[0]) / scale, (mids - phi[0]) / scale)
    out = [(phi, np.append(q, 0.0)) for q in moved]
    return out + [(phi, np.convolve(q, [-r, 1.0])) for q in [p] + moved for r in (wide - phi[0]) / scale]


def _moved_zeros(p, values, mids):
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


def _sample(data, weights, sampling_weights):
    if is_dask(data):
        numpy_only(weights=weights, sampling_weights=sampling_weights)
        return _DaskSample(data)
    return _NumpySample(data, weights, sampling_weights)


def fit_adjusted_logistic(data, m=3, weights=None, sampling_weights=None, cov_type=None, groups=None,
                          every=False):
    """The fit at m (every=False), or the DegreeSelection of m = 1 ... m."""
    check_coefficients("max_m" if every else "m", m)
    (data, weights, sampling_weights, groups), _ = align(data=data, weights=weights,
                                                         sampling_weights=sampling_weights, groups=groups)
    sample = _sample(data, weights, sampling_weights)
    sampling = sampling_weights is not None
    if isinstance(sample, _DaskSample) and cov_type == "cluster":
        raise ValueError("cov_type='cluster' needs groups of a NumPy sample, not a Dask array")
    request = inference.CovarianceRequest(cov_type, groups, getattr(sample, "size", sample.n), sampling)
    if not sample.finite:
        raise ValueError("data must be finite: it holds NaN or infinite values")
    if sample.n < m + 3:
        raise ValueError(f"data has {sample.n} points: a fit with m = {m} needs at least {m + 3}")
    if not sample.std > 0:
        raise ValueError("data are all equal: there is no scale to fit")
    n, c = sample.total, sample.mean
    d = sample.std * math.sqrt(3) / math.pi
    points, point_weights, exact = sample.sketch()
    grid = (points - c) / d
    sketch = _block(grid, point_weights)
    # The 5% and 95% quantiles of the sample, from its sketch (interpolated
    # where its points weigh alike, as those of a sample do).
    if np.all(point_weights == point_weights[0]):
        span = np.quantile(grid, [0.05, 0.95])
    else:
        span = np.quantile(grid, [0.05, 0.95], weights=point_weights, method="inverted_cdf")

    def on_sketch(phi, p, want):
        return likelihood.sums(sketch, phi[:, :1], phi[:, 1:], p, want)

    def evaluate(phi, p, want):
        return sample.sums(c, d, phi, p, want)

    rng = np.random.default_rng(0)

    def starts(j, best):
        # The logistic of the sample's variance, pi^2 / 3 in z; then each
        # shape at the mean and sd of the best fit so far, and the starts of
        # the quantiles.
        if best is None:
            return [(np.zeros(2), np.ones(1))] + _random_starts(span, 1, rng)
        phi, p = best.phi[0], best.p[0]
        scale = math.exp(phi[1])
        mean = phi[0] + scale * float(accurate.mean(0.0, 1.0, p))
        sd = scale * math.sqrt(float(accurate.var(0.0, 1.0, p)))
        shaped = [(np.array([loc, math.log(scale)]), q) for loc, scale, q in matched_shapes(j, mean, sd)]
        return shaped + _random_starts(span, j, rng)

    on_terms = search.Objective(on_sketch, 2, n, lambda phi, p: likelihood.terms(sketch, phi[:, :1], phi[:, 1:], p),
                                exact=exact)
    # An exact sketch is the sample: its log-likelihood is evaluated there.
    # `fit` and `select_degree` run one search, every degree converged on
    # all the data (each seeds the next from its basins there), so that a
    # fit at m is the selection's fit at m.
    whole = on_terms if exact else search.Objective(evaluate, 2, n)
    grow = (lambda seeds: _gap_starts(grid, seeds[0])) if exact else None
    degrees = search.search(whole, starts, m, on_terms, every=True, grow=grow)
    nobs = sample.n if sampling else n
    fits = {}
    for degree in degrees if every else degrees[-1:]:
        fits[degree.m] = _results(degree, sample, c, d, request, nobs)
    return DegreeSelection(fits) if every else fits[m]


def _to_x(theta, fixed_q, c, d, j):
    """(loc_z, g, free q) -> (loc, scale, p with p[j] = 1) in x."""
    loc, scale = c + d * theta[0], d * math.exp(theta[1])
    q = np.insert(theta[2:], fixed_q, 1.0)
    r = compose(q, -loc / scale, 1 / scale)
    return np.concatenate([[loc, scale], r / r[j]])


def _results(degree, sample, c, d, request, nobs):
    """Estimates in the units of x, and their covariance by the Jacobian of
    (loc_z, g, free q) -> (loc, scale, p with its largest coefficient 1),
    by central differences of that polynomial map (that coefficient's row
    is 0)."""
    best, n = degree.best, sample.total
    figures = search.diagnose(degree, n)
    theta, fixed = best.theta[0], int(best.fixed[0])
    loc, scale = c + d * best.phi[0, 0], d * math.exp(best.phi[0, 1])
    r = compose(best.p[0], -loc / scale, 1 / scale)
    j = int(np.argmax(np.abs(r)))
    params, J = numeric_jacobian(lambda t: _to_x(t, fixed, c, d, j), theta, np.ones(theta.size, bool))
    meat = None if request.cov_type == "nonrobust" else sample.meat(c, d, best, request)
    cov = inference.covariance(request, best, n, meat, J)
    m = best.p.shape[1]
    is_fixed = np.zeros(params.size, bool)
    is_fixed[2 + j] = True
    result = AdjustedLogisticFit(params, ["loc", "scale", *(f"p{i}" for i in range(m))], cov,
                                 -n * best.f[0] - n * math.log(d), nobs, m + 1, figures["converged"],
                                 degree.nit, figures["rel_grad"], figures=figures, fixed=is_fixed,
                                 cov_type=request.cov_type)
    result.dist = AdjustedLogistic(params[2:], loc, scale)
    result.sampling = request.sampling
    return result


class AdjustedLogisticFit(LikelihoodResults):
    """Result of `AdjustedLogistic.fit`: `dist`, the fitted distribution, and
    the estimates ``loc, scale, p0 ... p(m-1)``, p scaled so that its largest
    coefficient is 1 (that one is listed in ``fixed``, with variance 0)."""

    title = "AdjustedLogistic maximum likelihood"

    def _noise(self, params):
        return AdjustedLogistic(params[2:], params[0], params[1])

    def _slopes(self):
        return [], []
