"""The polynomially adjusted logistic distribution as NumPyro distributions.

``AdjustedLogistic(coefficients, loc, scale)`` has log_prob, cdf, icdf, a reparameterised sample,
mean and variance; ``Truncated(base, low, high)`` restricts it to (low, high]; ``censored_log_prob``
and ``Censored`` give the likelihood of observations known to lie in (lower, upper]. Every value
and derivative is distribution.jax's, that is the compiled gufuncs', called on the host.

p and c p give the same distribution, so the coefficients are identified only up to a factor:
fix one (p[0] = 1) in a model's prior, as docs/numpyro.md shows.
"""

try:
    import jax
    import jax.numpy as jnp
    from jax import random
    from numpyro.distributions import constraints
    from numpyro.distributions.distribution import Distribution
    from numpyro.distributions.util import validate_sample
    from numpyro.util import not_jax_tracer
except ImportError as err:  # pragma: no cover - exercised where NumPyro is absent
    raise ImportError('distribution.numpyro needs NumPyro: pip install "distribution[numpyro]"') from err

import math

import numpy as np

from . import accurate
from . import jax as dj

__all__ = ["AdjustedLogistic", "Censored", "Truncated", "censored_log_prob"]


# ---------------------------------------------------------------- checks

def _real(owner, argname, value):
    value = jnp.asarray(value)
    if not (jnp.issubdtype(value.dtype, jnp.floating) or jnp.issubdtype(value.dtype, jnp.integer)
            or value.dtype == jnp.bool_):
        raise TypeError(f"{owner}: {argname} must be real numbers, got dtype {value.dtype}")
    return value


def _concrete(*values):
    return all(not_jax_tracer(v) for v in values)


def _broadcast(owner, named):
    try:
        return jnp.broadcast_shapes(*(jnp.shape(v) for v in named.values()))
    except ValueError:
        shapes = ", ".join(f"{k} {jnp.shape(v)}" for k, v in named.items())
        raise ValueError(f"{owner}: the shapes of {' and '.join(named)} do not broadcast: {shapes}") from None


# ---------------------------------------------------------------- batches

def _rows(function, points, loc, scale, coefficients, batch_shape):
    """function(*points, loc, scale, c) for distribution.jax's scalar loc, scale and vector c.

    The points have shape sample_shape + batch_shape (after broadcasting); the batch is flattened
    into N rows and mapped with vmap, which hands all rows to one gufunc call, each row's point
    computed as it would be alone.
    """
    shape = jnp.broadcast_shapes(*(jnp.shape(p) for p in points), batch_shape)
    points = [jnp.broadcast_to(p, shape) for p in points]
    if not batch_shape:
        return function(*points, loc, scale, coefficients)
    n = math.prod(batch_shape)
    m = coefficients.shape[-1]
    rows = [p.reshape(-1, n).T for p in points]                      # (N, samples)
    loc = jnp.broadcast_to(loc, batch_shape).reshape(n)
    scale = jnp.broadcast_to(scale, batch_shape).reshape(n)
    coefficients = jnp.broadcast_to(coefficients, batch_shape + (m,)).reshape(n, m)
    out = jax.vmap(function)(*rows, loc, scale, coefficients)
    return out.T.reshape(shape)


def _moment_function(ufunc, label):
    # accurate.mean and accurate.var have no gradient kernels: the value comes from the host and
    # a derivative is refused rather than silently zero.
    def host(loc, scale, c):
        return np.asarray(ufunc(loc, scale, c), dtype=np.float64)

    @jax.custom_jvp
    def moment(loc, scale, c):
        result = jax.ShapeDtypeStruct(jnp.shape(loc), jnp.float64)
        return jax.pure_callback(host, result, loc, scale, c, vmap_method="expand_dims")

    @moment.defjvp
    def _(primals, tangents):
        raise NotImplementedError(f"distribution.numpyro: the {label} has no derivatives "
                                  "(the library computes its value only)")

    return moment


_MEAN = _moment_function(accurate.mean, "mean")
_VAR = _moment_function(accurate.var, "variance")


# ---------------------------------------------------------------- the distribution

class AdjustedLogistic(Distribution):
    """Density proportional to p(x)^2 f((x - loc) / scale), f the standard logistic density.

    coefficients : array, shape batch + (m,), 1 <= m <= 6
        p's coefficients in the units of x, lowest power first. p and c p give the same
        distribution: a model should fix the scale of p (e.g. p[0] = 1).
    loc, scale : arrays broadcasting with coefficients' batch dimensions; scale > 0.

    Needs float64 (numpyro.enable_x64()). Values are distribution.jax's; sample is icdf of a
    uniform, so its derivatives in the parameters are the implicit function theorem's,
    dx/dtheta = -(dF/dtheta) / f at the drawn quantile.
    """

    arg_constraints = {"coefficients": constraints.real_vector, "loc": constraints.real,
                       "scale": constraints.positive}
    support = constraints.real
    reparametrized_params = ["coefficients", "loc", "scale"]
    pytree_data_fields = ("coefficients", "loc", "scale")

    def __init__(self, coefficients, loc=0.0, scale=1.0, *, validate_args=None):
        owner = "AdjustedLogistic"
        coefficients = _real(owner, "coefficients", coefficients)
        loc = _real(owner, "loc", loc)
        scale = _real(owner, "scale", scale)
        if coefficients.ndim < 1 or not 1 <= coefficients.shape[-1] <= 6:
            raise ValueError(f"{owner}: coefficients must have a last axis of 1 to 6 numbers "
                             f"(p's coefficients, lowest power first), got shape {coefficients.shape}")
        batch_shape = _broadcast(owner, {"coefficients' batch": coefficients[..., 0], "loc": loc,
                                         "scale": scale})
        if _concrete(loc, scale, coefficients):
            if not bool(jnp.all(jnp.isfinite(loc))):
                raise ValueError(f"{owner}: loc must be finite")
            if not bool(jnp.all(scale > 0)) or not bool(jnp.all(jnp.isfinite(scale))):
                raise ValueError(f"{owner}: scale must be positive and finite")
            if not bool(jnp.all(jnp.isfinite(coefficients))):
                raise ValueError(f"{owner}: coefficients must be finite")
            if not bool(jnp.all(jnp.any(coefficients != 0, axis=-1))):
                raise ValueError(f"{owner}: coefficients must not all be 0 (p = 0 has no density)")
        self.coefficients, self.loc, self.scale = coefficients, loc, scale
        super().__init__(batch_shape, validate_args=validate_args)

    def _map(self, function, *points):
        return _rows(function, points, self.loc, self.scale, self.coefficients, self.batch_shape)

    @validate_sample
    def log_prob(self, value):
        return self._map(dj.logpdf, value)

    def cdf(self, value):
        return self._map(dj.cdf, value)

    def icdf(self, q):
        return self._map(dj.ppf, q)

    def sf(self, value):
        """Survival function, 1 - cdf, accurate in the upper tail."""
        return self._map(dj.sf, value)

    def isf(self, q):
        """Inverse of sf: accurate where the quantile is close to 1."""
        return self._map(dj.isf, q)

    def log_cdf(self, value):
        return self._map(dj.logcdf, value)

    def log_sf(self, value):
        return self._map(dj.logsf, value)

    def log_probability_between(self, lower, upper):
        """log P(lower < X <= upper); -inf and inf ends give log_sf and log_cdf."""
        return self._map(dj.log_probability_between, lower, upper)

    def sample(self, key, sample_shape=()):
        # The quantile of a uniform in (0, 1): tiny rather than 0, so that no draw is -inf.
        shape = sample_shape + self.batch_shape
        u = random.uniform(key, shape, dtype=jnp.float64, minval=jnp.finfo(jnp.float64).tiny, maxval=1.0)
        return self.icdf(u)

    def _broadcast_parameters(self):
        return (jnp.broadcast_to(self.loc, self.batch_shape), jnp.broadcast_to(self.scale, self.batch_shape),
                jnp.broadcast_to(self.coefficients, self.batch_shape + self.coefficients.shape[-1:]))

    @property
    def mean(self):
        """accurate.mean: a value without derivatives (differentiating it raises NotImplementedError)."""
        return _MEAN(*self._broadcast_parameters())

    @property
    def variance(self):
        """accurate.var: a value without derivatives (differentiating it raises NotImplementedError)."""
        return _VAR(*self._broadcast_parameters())


# ---------------------------------------------------------------- truncation

def _check_window(owner, low, high):
    if _concrete(low, high):
        if bool(jnp.any(jnp.isnan(low))) or bool(jnp.any(jnp.isnan(high))):
            raise ValueError(f"{owner}: low and high must not be NaN")
        if bool(jnp.any(low >= high)):
            raise ValueError(f"{owner}: the window is empty where low >= high")


class Truncated(Distribution):
    """base restricted to (low, high]: log_prob = base.log_prob - log P(low < X <= high).

    low = -inf or high = inf leaves that side open. Samples are the quantiles of a uniform on
    (F(low), F(high)), reparameterised like base's; on the upper side of the median, where
    F(low) is close to 1, they come from the survival function and isf instead, so that a window
    in the far right tail keeps its precision.
    """

    # low and high may be infinite (an open side): __init__ checks the window instead.
    arg_constraints = {"low": constraints.dependent, "high": constraints.dependent}
    reparametrized_params = ["low", "high"]
    pytree_data_fields = ("base_dist", "low", "high")

    def __init__(self, base_dist, low=-jnp.inf, high=jnp.inf, *, validate_args=None):
        owner = "Truncated"
        if not isinstance(base_dist, AdjustedLogistic):
            raise TypeError(f"{owner}: base_dist must be an AdjustedLogistic, got {type(base_dist).__name__}")
        low = _real(owner, "low", low)
        high = _real(owner, "high", high)
        _check_window(owner, low, high)
        batch_shape = _broadcast(owner, {"base_dist's batch": jnp.empty(base_dist.batch_shape),
                                         "low": low, "high": high})
        self.base_dist, self.low, self.high = base_dist, low, high
        super().__init__(batch_shape, validate_args=validate_args)

    @constraints.dependent_property(is_discrete=False, event_dim=0)
    def support(self):
        return constraints.interval(self.low, self.high)

    def _log_mass(self):
        return self.base_dist.log_probability_between(self.low, self.high)

    @validate_sample
    def log_prob(self, value):
        inside = (value > self.low) & (value <= self.high)
        return jnp.where(inside, self.base_dist.log_prob(value) - self._log_mass(), -jnp.inf)

    def log_probability_between(self, lower, upper):
        """log P(lower < X <= upper | low < X <= high): the base's on the overlap less the window's."""
        a = jnp.maximum(lower, self.low)
        b = jnp.minimum(upper, self.high)
        empty = a >= b
        # Keep the unused branch finite, so that its derivative does not bring NaN through where.
        a = jnp.where(empty, self.low, a)
        b = jnp.where(empty, self.high, b)
        return jnp.where(empty, -jnp.inf, self.base_dist.log_probability_between(a, b) - self._log_mass())

    def cdf(self, value):
        return jnp.exp(self.log_probability_between(-jnp.inf, value))

    def icdf(self, q):
        """The quantile: base.icdf(F(low) + q (F(high) - F(low))), or through base.isf above the median."""
        base = self.base_dist
        F_low, F_high = base.cdf(self.low), base.cdf(self.high)
        S_low, S_high = base.sf(self.low), base.sf(self.high)
        upper = S_low < 0.5
        # Each branch sees a harmless 0.5 where it is not used.
        lower_q = jnp.where(upper, 0.5, F_low + q * (F_high - F_low))
        upper_q = jnp.where(upper, S_low - q * (S_low - S_high), 0.5)
        x = jnp.where(upper, base.isf(upper_q), base.icdf(lower_q))
        return jnp.clip(x, self.low, self.high)

    def sample(self, key, sample_shape=()):
        shape = sample_shape + self.batch_shape
        return self.icdf(random.uniform(key, shape, dtype=jnp.float64))

    @property
    def mean(self):
        raise NotImplementedError("Truncated: the mean of a truncated distribution is not available")

    @property
    def variance(self):
        raise NotImplementedError("Truncated: the variance of a truncated distribution is not available")


# ---------------------------------------------------------------- censoring

def _check_bounds(owner, lower, upper):
    if _concrete(lower, upper):
        lower, upper = np.asarray(lower), np.asarray(upper)
        if np.isnan(lower).any():
            raise ValueError(f"{owner}: lower is NaN")
        if np.isnan(upper).any():
            raise ValueError(f"{owner}: upper is NaN")
        if (lower > upper).any():
            raise ValueError(f"{owner}: lower > upper")
        if ((lower == upper) & np.isinf(lower)).any():
            raise ValueError(f"{owner}: an observation known exactly must be finite: lower = upper = +-inf")


def censored_log_prob(dist, lower, upper):
    """Each observation's log-likelihood, the observation known to lie in (lower, upper].

    As in IntervalRegression: lower == upper is an exact observation (dist.log_prob); otherwise
    log P(lower < X <= upper), with lower = -inf a left-censored and upper = inf a right-censored
    one. dist is an AdjustedLogistic or a Truncated one. Bad bounds (NaN, lower > upper, an
    infinite exact value) raise ValueError where they are concrete.
    """
    owner = "censored_log_prob"
    if not isinstance(dist, (AdjustedLogistic, Truncated)):
        raise TypeError(f"{owner}: dist must be an AdjustedLogistic or Truncated, got {type(dist).__name__}")
    lower = _real(owner, "lower", lower)
    upper = _real(owner, "upper", upper)
    _broadcast(owner, {"lower": lower, "upper": upper})
    _check_bounds(owner, lower, upper)
    if isinstance(dist, Truncated) and _concrete(lower, upper, dist.low, dist.high):
        # As IntervalRegression, a finite bound must lie in the window (an exact value above low);
        # an open end, -inf or inf, means the window's own end there.
        outside = ((jnp.isfinite(lower) & (lower < dist.low)) | (jnp.isfinite(upper) & (upper > dist.high))
                   | ((lower == upper) & (lower == dist.low)))
        if bool(jnp.any(outside)):
            raise ValueError(f"{owner}: an observation lies outside the truncation window (low, high]")
    exact = lower == upper
    # Both branches are computed; each sees values for which it is finite where it is not used
    # (the interval (-inf, inf], of log-probability 0 and no derivatives; the point 0).
    a = jnp.where(exact, -jnp.inf, lower)
    b = jnp.where(exact, jnp.inf, upper)
    x = jnp.where(exact, lower, 0.0)
    return jnp.where(exact, dist.log_prob(x), dist.log_probability_between(a, b))


class _Bounds(constraints.Constraint):
    # Pairs (lower, upper] with lower <= upper, either end possibly infinite.
    event_dim = 1

    def __call__(self, x):
        return (x[..., 0] <= x[..., 1]) & ~((x[..., 0] == x[..., 1]) & jnp.isinf(x[..., 0]))

    def feasible_like(self, prototype):
        return jnp.zeros_like(prototype)


class Censored(Distribution):
    """A likelihood for observations known to lie in (lower, upper]: the value's last axis is
    (lower, upper), e.g. obs=jnp.stack([lower, upper], -1). log_prob is censored_log_prob;
    sample draws exact observations, (x, x)."""

    pytree_data_fields = ("base_dist",)
    arg_constraints = {}
    support = _Bounds()

    def __init__(self, base_dist, *, validate_args=None):
        if not isinstance(base_dist, (AdjustedLogistic, Truncated)):
            raise TypeError(f"Censored: base_dist must be an AdjustedLogistic or Truncated, "
                            f"got {type(base_dist).__name__}")
        self.base_dist = base_dist
        super().__init__(base_dist.batch_shape, (2,), validate_args=validate_args)

    def log_prob(self, value):
        value = _real("Censored", "value", value)
        if value.ndim < 1 or value.shape[-1] != 2:
            raise ValueError(f"Censored: value must have a last axis of 2, (lower, upper), got shape {value.shape}")
        return censored_log_prob(self.base_dist, value[..., 0], value[..., 1])

    def sample(self, key, sample_shape=()):
        x = self.base_dist.sample(key, sample_shape)
        return jnp.stack([x, x], axis=-1)
