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
back.
"""

import math
import sys

import numpy as np

from . import accurate
from ._fit import LikelihoodResults, covariance
from ._frozen import AdjustedLogistic, as_real, check_coefficients
from ._poly import compose
from .models import likelihood, search

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
    return likelihood.Block(z, -np.ones((n, 1)), z, -np.ones((n, 1)), np.ones((n, 1)), np.ones(n, bool), weights)


def _chunk_sums(z, c, d, phi, p, want):
    """Over the points z: the sums at the parameter points (phi, p), phi =
    (loc, log scale) of the standardised sample."""
    return likelihood.sums(_block((z - c) / d), phi[:, :1], phi[:, 1:], p, want)


def _add(parts):
    return tuple(sum(part[i] for part in parts) for i in range(3))


def _is_dask(data):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(data, da.Array)


class _NumpySample:
    def __init__(self, x):
        self.x = as_real("data", x).ravel()
        self.n = self.x.size
        self.finite = bool(np.isfinite(self.x).all())
        self.mean, self.std = (self.x.mean(), self.x.std()) if self.finite else (np.nan, np.nan)

    def sums(self, c, d, phi, p, want):
        # In blocks, so that the temporaries stay small whatever n.
        return _add([_chunk_sums(self.x[i:i + BLOCK], c, d, phi, p, want) for i in range(0, self.n, BLOCK)])

    def quantiles(self, q):
        return np.quantile(self.x, q)


class _DaskSample:
    """The sample as persisted chunks; each evaluation maps the sums over them."""

    def __init__(self, x):
        import dask
        import dask.array as da

        if x.dtype.kind not in "biuf":
            raise TypeError(f"data must be real numbers, got a Dask array of dtype {x.dtype}")
        self.x = x.ravel().astype(np.float64).persist()
        self.n = int(self.x.size)
        finite, mean, std = dask.compute(da.isfinite(self.x).all(), self.x.mean(), self.x.std())
        self.finite, self.mean, self.std = bool(finite), float(mean), float(std)
        self.chunks = self.x.to_delayed().ravel()

    def sums(self, c, d, phi, p, want):
        import dask

        return _add(dask.compute(*[dask.delayed(_chunk_sums)(b, c, d, phi, p, want) for b in self.chunks]))

    def quantiles(self, q):
        import dask.array as da

        return np.asarray(da.percentile(self.x, 100 * q).compute())


def _random_starts(grid, j, rng):
    """RANDOM j starts of j coefficients drawn over the sample's range: loc
    between its 5% and 95% quantiles, the scale from 1/30 to 1.5 times its
    own logistic scale, p's coefficients standard normal."""
    count = RANDOM * j
    loc = rng.uniform(np.quantile(grid, 0.05), np.quantile(grid, 0.95), count)
    log_scale = rng.uniform(math.log(1 / 30), math.log(1.5), count)
    return [(np.array([a, b]), q) for a, b, q in zip(loc, log_scale, rng.normal(size=(count, j)))]


def fit_adjusted_logistic(data, m=3):
    check_coefficients("m", m)
    sample = _DaskSample(data) if _is_dask(data) else _NumpySample(data)
    if not sample.finite:
        raise ValueError("data must be finite: it holds NaN or infinite values")
    if sample.n < m + 3:
        raise ValueError(f"data has {sample.n} points: a fit with m = {m} needs at least {m + 3}")
    if not sample.std > 0:
        raise ValueError("data are all equal: there is no scale to fit")
    n, c = sample.n, sample.mean
    d = sample.std * math.sqrt(3) / math.pi
    # A sample no larger than the sketch is its own sketch.
    points = sample.x if sample.n <= GRID and isinstance(sample, _NumpySample) else \
        sample.quantiles((np.arange(GRID) + 0.5) / GRID)
    grid = (points - c) / d

    sketch = _block(grid, np.full(grid.size, n / grid.size))

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
        shaped = [(np.array([loc, math.log(scale)]), q) for loc, scale, q in search.matched_shapes(j, mean, sd)]
        return shaped + _random_starts(grid, j, rng)

    on_terms = search.Objective(on_sketch, 2, n, lambda phi, p: likelihood.terms(sketch, phi[:, :1], phi[:, 1:], p))
    degrees = search.search(search.Objective(evaluate, 2, n), starts, m, on_terms)
    return _results(degrees[-1], n, c, d)


def _to_x(theta, fixed_q, c, d, j):
    """(loc_z, g, free q) -> (loc, scale, p with p[j] = 1) in x."""
    loc, scale = c + d * theta[0], d * math.exp(theta[1])
    q = np.insert(theta[2:], fixed_q, 1.0)
    r = compose(q, -loc / scale, 1 / scale)
    return np.concatenate([[loc, scale], r / r[j]])


def _results(degree, n, c, d):
    """Estimates in the units of x, and their covariance by the Jacobian of
    (loc_z, g, free q) -> (loc, scale, p with its largest coefficient 1),
    by central differences of that polynomial map."""
    best = degree.best
    figures = search.diagnose(degree, n, stacklevel=4)
    theta, fixed, H = best.theta[0], int(best.fixed[0]), best.H[0]
    loc, scale = c + d * best.phi[0, 0], d * math.exp(best.phi[0, 1])
    r = compose(best.p[0], -loc / scale, 1 / scale)
    j = int(np.argmax(np.abs(r)))
    params = _to_x(theta, fixed, c, d, j)
    J = np.empty((params.size, theta.size))
    for i in range(theta.size):
        h = 1e-6 * max(abs(theta[i]), 1.0)
        up, down = theta.copy(), theta.copy()
        up[i] += h
        down[i] -= h
        J[:, i] = (_to_x(up, fixed, c, d, j) - _to_x(down, fixed, c, d, j)) / (up[i] - down[i])
    cov = covariance(J, H, n)
    cov[2 + j, :] = cov[:, 2 + j] = np.nan
    m = best.p.shape[1]
    result = AdjustedLogisticFit(params, ["loc", "scale", *(f"p{i}" for i in range(m))], cov,
                                 -n * best.f[0] - n * math.log(d), n, m + 1, figures["converged"],
                                 degree.nit, figures["rel_grad"], figures=figures)
    result.dist = AdjustedLogistic(params[2:], loc, scale)
    return result


class AdjustedLogisticFit(LikelihoodResults):
    """Result of `AdjustedLogistic.fit`: `dist`, the fitted distribution, and
    the estimates ``loc, scale, p0 ... p(m-1)``, p scaled so that its largest
    coefficient is 1 (that one has no standard error)."""

    title = "AdjustedLogistic maximum likelihood"
