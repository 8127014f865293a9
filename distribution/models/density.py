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
from .._checks import as_real, check_coefficients, is_dask, numpy_only, weighting
from .._frozen import AdjustedLogistic
from .._poly import compose
from . import inference, likelihood, search
from .results import DegreeSelection, LikelihoodResults, numeric_jacobian
from .starts import matched_shapes

BLOCK = 1 << 18
# The sketch of the sample on which the starts are screened: its quantiles
# at (i + 1/2) / GRID, each standing for n / GRID points (a sample of at most
# GRID points is its own sketch).
GRID = 500
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

    def quantiles(self, q):
        if self.w is None:
            return np.quantile(self.x, q)
        return np.quantile(self.x, q, weights=self.w, method="inverted_cdf")

    def sketch(self):
        """The points themselves where there are no more than GRID, else
        the quantiles at (i + 1/2) / GRID, each standing for total / GRID."""
        if self.n <= GRID:
            return self.x, np.ones(self.n) if self.w is None else self.w
        return self.quantiles((np.arange(GRID) + 0.5) / GRID), np.full(GRID, self.total / GRID)


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
        import dask.array as da

        q = (np.arange(GRID) + 0.5) / GRID
        return np.asarray(da.percentile(self.x, 100 * q).compute()), np.full(GRID, self.n / GRID)


def _random_starts(grid, j, rng):
    """RANDOM j starts of j coefficients drawn over the sample's range: loc
    between its 5% and 95% quantiles, the scale from 1/30 to 1.5 times its
    own logistic scale, p's coefficients standard normal."""
    count = RANDOM * j
    loc = rng.uniform(np.quantile(grid, 0.05), np.quantile(grid, 0.95), count)
    log_scale = rng.uniform(math.log(1 / 30), math.log(1.5), count)
    return [(np.array([a, b]), q) for a, b, q in zip(loc, log_scale, rng.normal(size=(count, j)))]


def _sample(data, weights, sampling_weights):
    if is_dask(data):
        numpy_only(weights=weights, sampling_weights=sampling_weights)
        return _DaskSample(data)
    return _NumpySample(data, weights, sampling_weights)


def fit_adjusted_logistic(data, m=3, weights=None, sampling_weights=None, cov_type=None, groups=None,
                          every=False):
    """The fit at m (every=False), or the DegreeSelection of m = 1 ... m."""
    check_coefficients("max_m" if every else "m", m)
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
    points, point_weights = sample.sketch()
    grid = (points - c) / d
    sketch = _block(grid, point_weights)

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
            return [(np.zeros(2), np.ones(1))] + _random_starts(grid, 1, rng)
        phi, p = best.phi[0], best.p[0]
        scale = math.exp(phi[1])
        mean = phi[0] + scale * float(accurate.mean(0.0, 1.0, p))
        sd = scale * math.sqrt(float(accurate.var(0.0, 1.0, p)))
        shaped = [(np.array([loc, math.log(scale)]), q) for loc, scale, q in matched_shapes(j, mean, sd)]
        return shaped + _random_starts(grid, j, rng)

    on_terms = search.Objective(on_sketch, 2, n, lambda phi, p: likelihood.terms(sketch, phi[:, :1], phi[:, 1:], p))
    degrees = search.search(search.Objective(evaluate, 2, n), starts, m, on_terms, every)
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
