"""The polynomially adjusted logistic distribution as a frozen distribution
object with scipy.stats' methods."""

import numbers
from typing import cast

import numpy as np

from . import accurate
from ._checks import as_real, check_coefficients
from ._poly import compose

MAX_ORDER = 12


def check_random_state(seed):
    """scipy's convention: None the global RandomState, an int a new one,
    a Generator or RandomState as it is."""
    if seed is None:
        return np.random.mtrand._rand
    if isinstance(seed, (np.random.Generator, np.random.RandomState)):
        return seed
    if isinstance(seed, numbers.Integral) and not isinstance(seed, bool):
        return np.random.RandomState(cast(int, seed))
    raise TypeError(f"random_state must be None, an int, a numpy Generator or RandomState, got {seed!r}")


def _scalar(a):
    return a[()] if isinstance(a, np.ndarray) and a.ndim == 0 else a


class AdjustedLogistic:
    """Polynomially adjusted logistic distribution, frozen at its parameters.

    The density is proportional to ``p(x)**2 * f((x - loc) / scale)``, with
    ``f(t) = exp(-t) / (1 + exp(-t))**2`` the standard logistic density and
    ``p(x) = param[..., 0] + param[..., 1] x + ... + param[..., m-1] x**(m-1)``
    a polynomial in the units of x.  ``p`` and ``c p`` give the same
    distribution for any ``c != 0``.

    Parameters
    ----------
    param : array_like
        The ``m`` coefficients of ``p``, lowest power first, along the last
        axis (1 <= m <= 6), not all zero.  Leading axes hold several
        distributions.
    loc : array_like, optional
        Location of the logistic factor.
    scale : array_like, optional
        Scale of the logistic factor, positive.

    Notes
    -----
    Broadcasting follows scipy.stats: ``x`` broadcasts elementwise against
    ``loc``, ``scale`` and the leading axes of ``param``, so that with ``loc``
    of shape ``(n,)``, ``cdf(y)`` with ``y`` of shape ``(n,)`` pairs ``y[i]``
    with ``loc[i]``.  Each method is one call of the generalized ufunc with
    ``x`` on a core axis of length one.

    Examples
    --------
    >>> from distribution import AdjustedLogistic
    >>> d = AdjustedLogistic([1.0, 0.5], loc=0.3, scale=1.7)
    >>> float(d.cdf(3.0))  # doctest: +ELLIPSIS
    0.4238...
    >>> d.rvs(size=3, random_state=1).shape
    (3,)
    """

    def __init__(self, param, loc=0.0, scale=1.0):
        param, loc, scale = as_real("param", param), as_real("loc", loc), as_real("scale", scale)
        if param.ndim == 0:
            raise ValueError("param must hold the coefficients along its last axis, got a scalar")
        check_coefficients("the last axis of param", param.shape[-1])
        if not np.isfinite(param).all() or not (param != 0).any(-1).all():
            raise ValueError("param must be finite, with a nonzero coefficient in every row")
        if not np.isfinite(loc).all():
            raise ValueError("loc must be finite")
        if not (np.isfinite(scale) & (scale > 0)).all():
            raise ValueError("scale must be positive and finite")
        try:
            self._shape = np.broadcast_shapes(loc.shape, scale.shape, param.shape[:-1])
        except ValueError:
            raise ValueError(f"loc {loc.shape}, scale {scale.shape} and the leading axes of param "
                             f"{param.shape[:-1]} do not broadcast together") from None
        self.param, self.loc, self.scale = param, loc, scale

    def __repr__(self):
        def show(a):
            return repr(a.item()) if a.ndim == 0 else repr(a.tolist())
        return f"AdjustedLogistic(param={show(self.param)}, loc={show(self.loc)}, scale={show(self.scale)})"

    def __eq__(self, other):
        return (type(other) is type(self) and all(
            np.array_equal(getattr(self, k), getattr(other, k)) for k in ("param", "loc", "scale")))

    __hash__ = None  # type: ignore[assignment]  # None marks the class unhashable

    @property
    def shape(self):
        """Broadcast shape of the parameters: the shape of ``mean()``."""
        return self._shape

    @property
    def m(self):
        """Number of coefficients of ``p``."""
        return self.param.shape[-1]

    # ------------------------------------------------------------ elementwise
    def _points(self, name, value):
        x = as_real(name, value)
        try:
            np.broadcast_shapes(x.shape, self._shape)
        except ValueError:
            raise ValueError(f"{name} of shape {x.shape} does not broadcast against the "
                             f"distribution's shape {self._shape}") from None
        return x

    def _map(self, function, **points):
        """One call of the gufunc ``function``.  Each point goes on a core
        axis of length one, against the broadcast parameters, and that axis
        is taken off again; a single distribution takes all the points as
        one row instead, the fastest layout."""
        args = [self._points(name, v) for name, v in points.items()]
        if self._shape == ():
            shape = np.broadcast_shapes(*(a.shape for a in args))
            out = getattr(accurate, function)(*(np.broadcast_to(a, shape).ravel() for a in args),
                                   self.loc, self.scale, self.param)
            if isinstance(out, tuple):
                return tuple(_scalar(o.reshape(shape)) for o in out[:-1]) + (out[-1].reshape(shape + (self.m,)),)
            return _scalar(out.reshape(shape))
        out = getattr(accurate, function)(*(a[..., None] for a in args), self.loc, self.scale, self.param)
        if isinstance(out, tuple):
            return tuple(_scalar(o[..., 0]) for o in out[:-1]) + (out[-1][..., 0, :],)
        return _scalar(out[..., 0])

    def pdf(self, x):
        """Probability density function at x."""
        return self._map("pdf", x=x)

    def logpdf(self, x):
        """Logarithm of the density at x."""
        return self._map("logpdf", x=x)

    def cdf(self, x):
        """Cumulative distribution function at x."""
        return self._map("cdf", x=x)

    def logcdf(self, x):
        """Logarithm of the cdf at x."""
        return self._map("logcdf", x=x)

    def sf(self, x):
        """Survival function ``1 - cdf``, computed as a tail."""
        return self._map("sf", x=x)

    def logsf(self, x):
        """Logarithm of the survival function."""
        return self._map("logsf", x=x)

    def ppf(self, q):
        """Percent point function, the inverse of cdf."""
        return self._map("ppf", q=q)

    def isf(self, q):
        """Inverse survival function, the inverse of sf."""
        return self._map("isf", q=q)

    def probability_between(self, a, b):
        """``P(a < X <= b)``, 0 where ``a >= b``; a and b broadcast."""
        return self._map("probability_between", a=a, b=b)

    def log_probability_between(self, a, b):
        """``log P(a < X <= b)``, -inf where ``a >= b``."""
        return self._map("log_probability_between", a=a, b=b)

    def pdf_grad(self, x):
        """pdf and its derivatives.

        Returns
        -------
        value, d_x, d_loc, d_scale : ndarray
            The pdf at x and its derivatives with respect to x, loc and scale.
        d_param : ndarray
            Its derivatives with respect to each coefficient, along a last
            axis of length m.
        """
        return self._map("pdf_grad", x=x)

    def logpdf_grad(self, x):
        """logpdf and its derivatives: value, d_x, d_loc, d_scale, d_param (see `pdf_grad`)."""
        return self._map("logpdf_grad", x=x)

    def cdf_grad(self, x):
        """cdf and its derivatives: value, d_x, d_loc, d_scale, d_param (see `pdf_grad`)."""
        return self._map("cdf_grad", x=x)

    def logcdf_grad(self, x):
        """logcdf and its derivatives: value, d_x, d_loc, d_scale, d_param (see `pdf_grad`)."""
        return self._map("logcdf_grad", x=x)

    def sf_grad(self, x):
        """sf and its derivatives: value, d_x, d_loc, d_scale, d_param (see `pdf_grad`)."""
        return self._map("sf_grad", x=x)

    def logsf_grad(self, x):
        """logsf and its derivatives: value, d_x, d_loc, d_scale, d_param (see `pdf_grad`)."""
        return self._map("logsf_grad", x=x)

    def log_probability_between_grad(self, a, b):
        """``log P(a < X <= b)`` and its derivatives.

        Returns
        -------
        value, d_a, d_b, d_loc, d_scale : ndarray
        d_param : ndarray
            Derivatives with respect to the coefficients, along a last axis.
        """
        return self._map("log_probability_between_grad", a=a, b=b)

    def rvs(self, size=None, random_state=None):
        """Random variates, by the inverse cdf of uniform variates.

        Parameters
        ----------
        size : int or tuple of ints, optional
            Output shape; it must broadcast with the distribution's shape.
            By default the distribution's shape.
        random_state : None, int, numpy.random.Generator or RandomState, optional
            As in scipy.stats: None uses NumPy's global RandomState, an int
            seeds a new RandomState.
        """
        rng = check_random_state(random_state)
        shape = self._shape if size is None else tuple(np.atleast_1d(np.asarray(size, dtype=np.intp)))
        try:
            fits = np.broadcast_shapes(shape, self._shape) == shape
        except ValueError:
            fits = False
        if not fits:
            raise ValueError(f"size {shape} does not hold the distribution's shape {self._shape}")
        return self.ppf(rng.uniform(0.0, 1.0, shape))

    # ------------------------------------------------------------- moments
    def moment(self, order):
        """Non-central moment ``E[X**order]``, for a whole order from 0 to 12."""
        if isinstance(order, bool) or not isinstance(order, numbers.Integral) or not 0 <= cast(int, order) <= MAX_ORDER:
            raise ValueError(f"order must be a whole number from 0 to {MAX_ORDER}, got {order!r}")
        return _scalar(accurate.moment(order, self.loc, self.scale, self.param))

    def mean(self):
        """Mean of the distribution."""
        return _scalar(accurate.mean(self.loc, self.scale, self.param))

    def var(self):
        """Variance of the distribution."""
        return _scalar(accurate.var(self.loc, self.scale, self.param))

    def std(self):
        """Standard deviation of the distribution."""
        return np.sqrt(self.var())

    def median(self):
        """Median of the distribution."""
        return self.ppf(0.5)

    def stats(self, moments="mv"):
        """Mean ('m'), variance ('v'), skewness ('s') and excess kurtosis
        ('k'), those named in ``moments``, in that order."""
        if not isinstance(moments, str) or set(moments) - set("mvsk"):
            raise ValueError(f"moments must be letters among 'mvsk', got {moments!r}")
        mu, var = self.mean(), self.var()
        # Central moments as the raw moments of X - mu, whose polynomial is
        # p(y + mu) about the location loc - mu.
        mu_a = np.asarray(mu)
        shifted = compose(self.param, mu_a, 1.0)
        central = {k: accurate.moment(k, self.loc - mu_a, self.scale, shifted) for k in (3, 4)}
        out = {"m": mu, "v": var, "s": _scalar(central[3] / var**1.5),
               "k": _scalar(central[4] / var**2 - 3.0)}
        return tuple(out[c] for c in "mvsk" if c in moments)

    def support(self):
        """The whole real line: (-inf, inf)."""
        edge = np.full(self._shape, np.inf)
        return _scalar(-edge), _scalar(edge)

    def interval(self, confidence):
        """Equal-tailed interval holding the given probability, ``confidence`` in [0, 1]."""
        c = as_real("confidence", confidence)
        if not ((c >= 0) & (c <= 1)).all():
            raise ValueError("confidence must lie in [0, 1]")
        tail = (1.0 - c) / 2
        return self.ppf(tail), self.isf(tail)

    # ------------------------------------------------- integrals by quadrature
    def _rows(self):
        """Each distribution of the broadcast shape alone, with its index."""
        loc = np.broadcast_to(self.loc, self._shape)
        scale = np.broadcast_to(self.scale, self._shape)
        param = np.broadcast_to(self.param, self._shape + (self.m,))
        for i in np.ndindex(self._shape):
            yield i, AdjustedLogistic(param[i], loc[i], scale[i])

    def _integrate(self, func, lb, ub):
        """int_lb^ub func(x) pdf(x) dx for one distribution, in the probability
        variable: x = ppf(v) for the lower half and isf(v) for the upper, v in
        [0, 1/2], so that each tail is resolved by its own quantiles.  The
        real roots of p are break points (the density vanishes there)."""
        from scipy import integrate

        roots = np.roots(self.param[::-1]) if self.m > 1 else np.empty(0)
        roots = roots.real[np.abs(roots.imag) <= 1e-12 * (1 + np.abs(roots.real))]
        total = 0.0
        for quantile, prob, lo, hi in ((self.ppf, self.cdf, lb, ub), (self.isf, self.sf, ub, lb)):
            v0, v1 = min(float(prob(lo)), 0.5), min(float(prob(hi)), 0.5)
            if v1 <= v0:
                continue
            breaks = [v for v in (float(prob(r)) for r in roots) if v0 < v < v1]
            total += integrate.quad(lambda v: func(float(quantile(v))), v0, v1, points=breaks or None,
                                    epsabs=1e-14, epsrel=1e-12, limit=200)[0]
        return total

    def expect(self, func=None, lb=None, ub=None, conditional=False):
        """Expected value of ``func(X)`` (of X by default) over (lb, ub), by quadrature.

        Parameters
        ----------
        func : callable, optional
            Function of one real argument.
        lb, ub : float, optional
            Limits of integration, the whole line by default.
        conditional : bool, optional
            If True, divide by the probability of (lb, ub).
        """
        func = (lambda x: x) if func is None else func
        lb = -np.inf if lb is None else float(lb)
        ub = np.inf if ub is None else float(ub)
        out = np.empty(self._shape)
        for i, d in self._rows():
            out[i] = d._integrate(func, lb, ub)
            if conditional:
                out[i] /= d.probability_between(lb, ub)
        return _scalar(out)

    def entropy(self):
        """Differential entropy ``-E[log pdf(X)]``, by quadrature."""
        out = np.empty(self._shape)
        for i, d in self._rows():
            out[i] = -d._integrate(d.logpdf, -np.inf, np.inf)
        return _scalar(out)

    # ------------------------------------------------------------- scipy, fit
    def to_scipy(self):
        """This distribution as a scipy.stats ``rv_continuous`` instance.

        The instance has no shape parameters: its ``loc = 0`` and ``scale = 1``
        give this distribution, and it has a ``name``, as statsmodels'
        ``OrderedModel(distr=...)`` needs.  Only for a single distribution
        (``shape == ()``).
        """
        if self._shape != ():
            raise ValueError(f"to_scipy needs a single distribution, this one has shape {self._shape}")
        from ._scipy import ScipyAdjustedLogistic

        return ScipyAdjustedLogistic(self)

    @classmethod
    def fit(cls, data, m=3, weights=None, sampling_weights=None, cov_type=None, groups=None):
        """Maximum likelihood estimate from a sample, with standard errors.

        Parameters
        ----------
        data : array_like or dask.array.Array
            The sample, finite, of at least ``m + 3`` points (flattened).  A
            Dask array is fitted chunk by chunk: the log-likelihood and its
            gradient are summed on the workers and the data are never
            gathered.
        m : int, optional
            Number of coefficients of p, 1 to 6.
        weights : array_like, optional
            Frequency weights, one per point: the fit of the replicated
            sample, ``nobs`` their sum.
        sampling_weights : array_like, optional
            Sampling weights: the weighted pseudo-likelihood, its covariance
            the sandwich.
        cov_type : {"nonrobust", "robust", "cluster"}, optional
            The covariance of the estimates (see the Inference page);
            "nonrobust", the observed information, by default, "robust"
            with sampling weights.
        groups : array_like, optional
            Cluster labels, one per point, for ``cov_type="cluster"``.

        Returns
        -------
        AdjustedLogisticFit
            ``dist`` (the fitted distribution), ``params`` (loc, scale, p0 ...),
            ``bse``, ``cov_params()``, ``llf``, ``aic``, ``bic``,
            ``converged``, ``nit`` and ``summary()``.

        Notes
        -----
        p and c p give the same distribution.  The fit fixes the coefficient
        of largest magnitude at 1 and frees the others, changing which one is
        fixed when another overtakes it; every p is reached, p0 = 0 included.
        It runs Newton's method with the exact Hessian (logpdf_hess) on loc,
        log(scale) and the free coefficients from many starts at once, for
        each number of coefficients up to m: starting shapes of p (some with
        real roots), random starts over the sample's range and the best
        fits with one coefficient fewer, screened on a sketch of the
        sample, the best converged on all the data; each number of
        coefficients is converged so, and the fit at m is
        `select_degree`'s at m.  The sketch is the sample's distinct values
        weighted by their counts, the sample itself, where there are at
        most 500 (or at most 2,000 and half its points); the starts then
        also put a zero of p in the gaps between the values, where tied or
        rounded data have their best fits.  Otherwise it is 500 of its
        quantiles.  It has converged when the
        relative gradient is below 1e-8 and the Hessian is positive
        definite; a RuntimeWarning says when it is not, or when only one
        start reached the best point (``starts_at_best``).  Standard errors
        come from the observed information, that Hessian.  AIC and BIC count
        the m + 1 free parameters.

        Examples
        --------
        >>> import numpy as np
        >>> from distribution import AdjustedLogistic
        >>> x = AdjustedLogistic([1.0, 0.5]).rvs(size=2000, random_state=0)
        >>> res = AdjustedLogistic.fit(x, m=2)
        >>> res.param_names
        ['loc', 'scale', 'p0', 'p1']
        """
        # The package's one import circle: the density model is built on
        # this class (its results hold the fitted distribution), and a
        # scipy-style fit is a method of the class.
        from .models.density import fit_adjusted_logistic

        return fit_adjusted_logistic(data, m, weights, sampling_weights, cov_type, groups)

    @classmethod
    def select_degree(cls, data, max_m=6, weights=None, sampling_weights=None, cov_type=None, groups=None):
        """Fits with m = 1 ... max_m from one search (the degrees it passes
        through anyway, each converged on all the data), and their table of
        llf, free parameters, AIC, BIC and the likelihood-ratio test against
        the logistic (m = 1).  The arguments are those of `fit`.

        Returns
        -------
        DegreeSelection
            ``fits`` (the results by m), ``summary_frame()``,
            ``best(criterion="bic")``.
        """
        from .models.density import fit_adjusted_logistic  # the circle of `fit`

        return fit_adjusted_logistic(data, max_m, weights, sampling_weights, cov_type, groups, every=True)
