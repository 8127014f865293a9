"""Maximum likelihood fit of AdjustedLogistic to a sample, NumPy or Dask.

The fit runs on the standardised sample z = (x - c) / d, with c the mean and
d = std sqrt(3) / pi (the logistic scale of the same variance), so that its
parameters are of order one whatever the units of x.  The family is closed
under that map: if z has (loc_z, scale_z, q), x has loc = c + d loc_z,
scale = d scale_z and p(x) = q((x - c) / d), and the log-likelihood of x is
that of z less n log d.  The covariance is carried over by the Jacobian of
that map.

Parameters in the optimiser: loc, log(scale) and the free coefficients of p
(see `distribution._fit`).  A Dask sample is never gathered: the
log-likelihood, its gradient and the outer products of the points' gradients
are summed chunk by chunk on the workers, and only those sums come back (the
search of `distribution._fit` takes a subsample of at most 5,000 points).
"""

import math
import sys

import numpy as np

from . import accurate
from ._fit import SEARCH_POINTS, LikelihoodResults, maximize, start_shapes
from ._frozen import AdjustedLogistic, as_real, check_coefficients
from ._poly import compose

BLOCK = 1 << 20


def _sums(z, loc, log_scale, p, outer):
    """Over the points z: the negative log-likelihood, its gradient in
    (loc, log scale, p) and, if outer, the outer products of the points'
    gradients, flattened into one vector."""
    scale = math.exp(log_scale)
    value, _, d_loc, d_scale, d_p = accurate.logpdf_grad(z, loc, scale, p)
    g = -np.concatenate([[d_loc.sum(), d_scale.sum() * scale], d_p.sum(0)])
    if not outer:
        return np.concatenate([[-value.sum()], g])
    G = -np.column_stack([d_loc, d_scale * scale, d_p])
    return np.concatenate([[-value.sum()], g, (G.T @ G).ravel()])


def _unpack(s, k):
    return s[0], s[1:k + 1], s[k + 1:].reshape(k, k) if s.size > k + 1 else None


def _is_dask(data):
    da = sys.modules.get("dask.array")
    return da is not None and isinstance(data, da.Array)


class _NumpySample:
    def __init__(self, x):
        self.x = as_real("data", x).ravel()
        self.n = self.x.size
        self.finite = bool(np.isfinite(self.x).all())
        self.mean, self.std = (self.x.mean(), self.x.std()) if self.finite else (np.nan, np.nan)

    def sums(self, c, d, *args):
        # In blocks, so that the temporaries stay small whatever n.
        return sum(_sums((self.x[i:i + BLOCK] - c) / d, *args) for i in range(0, self.n, BLOCK))

    def every(self, step):
        return self.x[::step]


class _DaskSample:
    """The sample as persisted chunks; each evaluation maps `_sums` over them."""

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

    def sums(self, c, d, *args):
        import dask

        def chunk(x, *args):
            return _sums((x - c) / d, *args)

        parts = dask.compute(*[dask.delayed(chunk)(b, *args) for b in self.chunks])
        return np.sum(parts, axis=0)

    def every(self, step):
        return np.asarray(self.x[::step].compute())


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
    step = max(1, n // SEARCH_POINTS)
    sub = (sample.every(step) - c) / d

    def objective(other, p, outer):
        return _unpack(sample.sums(c, d, other[0], other[1], p, outer), p.size + 2)

    def search(other, p, outer):
        return _unpack(_sums(sub, other[0], other[1], p, outer), p.size + 2)

    def starts(j):
        # Each shape at the scale that gives the sample's variance, pi^2/3 in z.
        for q in start_shapes(j):
            scale = math.sqrt(math.pi**2 / 3 / float(accurate.var(0.0, 1.0, q)))
            yield np.array([0.0, math.log(scale)]), compose(q, 0.0, 1 / scale)

    it, H, converged, nit = maximize(objective, search, n, sub.size, starts, m)
    return _results(it, H, n, c, d, converged, nit)


def _results(it, H, n, c, d, converged, nit):
    """Estimates in the units of x, and their covariance by the Jacobian of
    (loc_z, log scale_z, free q) -> (loc, scale, p with its largest coefficient 1)."""
    theta, fixed = it.theta, it.fixed
    (loc_z, log_scale_z), q = it.point()
    m = q.size
    # p(x) = q((x - c) / d) is linear in q: column i is the image of the i-th monomial.
    C = compose(np.eye(m), -c / d, 1 / d).T
    r = C @ q
    j = int(np.argmax(np.abs(r)))
    p = r / r[j]
    loc, scale = c + d * loc_z, d * math.exp(log_scale_z)
    J = np.zeros((m + 2, theta.size))
    J[0, 0], J[1, 1] = d, scale
    J[2:, 2:] = np.delete((C - np.outer(p, C[j])) / r[j], fixed, axis=1)
    cov = J @ np.linalg.inv(H) @ J.T / n
    cov[2 + j, :] = cov[:, 2 + j] = np.nan
    result = AdjustedLogisticFit(np.concatenate([[loc, scale], p]),
                                 ["loc", "scale", *(f"p{i}" for i in range(m))],
                                 cov, -n * it.f - n * math.log(d), n, m + 1, converged, nit,
                                 it.relative_gradient())
    result.dist = AdjustedLogistic(p, loc, scale)
    return result


class AdjustedLogisticFit(LikelihoodResults):
    """Result of `AdjustedLogistic.fit`: `dist`, the fitted distribution, and
    the estimates ``loc, scale, p0 ... p(m-1)``, p scaled so that its largest
    coefficient is 1 (that one has no standard error)."""

    title = "AdjustedLogistic maximum likelihood"
