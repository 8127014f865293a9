"""Maximum likelihood for the adjusted logistic family: the optimiser shared by
`AdjustedLogistic.fit` and `OrderedRegression.fit`, and their results.

Identification.  p and c p give the same distribution, so p is known only up
to a factor.  The fits work in a chart of that projective space: the
coefficient of largest magnitude is fixed at 1 and the others are free.  Every
p is reached, those with p_0 = 0 included (p_0 = 1 would not reach them), and
the chart changes when another coefficient overtakes the fixed one.  Reported
coefficients are in that normalisation; the fixed one has no standard error.

Optimisation.  The likelihood in p has several basins.  The search runs BFGS
with the analytic gradient, from the curvature of the outer product of the
observations' gradients, on a subsample of at most `SEARCH_POINTS`
observations, from several starting shapes of p and from the best fit with
one coefficient fewer.  The two best points are continued on all the data
(the second if within `CLOSE` of the first), the better one to convergence,
then polished by Newton steps with the Hessian from forward differences of the analytic
gradient, until the relative gradient max_i |g_i| max(|theta_i|, 1) / max(|f|, 1)
of the mean negative log-likelihood f is below `GTOL`.  That Hessian is the
observed information per observation: the covariance is its inverse over n.
"""

import math

import numpy as np

GTOL = 1e-8
SEARCH_POINTS = 5_000
# Log-likelihood units on the subsample within which two basins both go on.
CLOSE = 10.0
# Starting shapes of p in a standardised variable, lowest power first: the
# logistic, skewed either way, the bimodal t (p_0 = 0), symmetric shapes.
START_SHAPES = ([1.0], [1.0, 0.5], [1.0, -0.5], [0.0, 1.0], [1.0, 0.0, 0.5], [-1.0, 0.0, 1.0])


def start_shapes(m):
    """The starting shapes of exactly m coefficients."""
    return [np.array(s) for s in START_SHAPES if len(s) == m]


def to_chart(other, p):
    """theta = (other, p without its largest coefficient) with p scaled so that
    that coefficient is 1, and its index."""
    fixed = int(np.argmax(np.abs(p)))
    return np.concatenate([other, np.delete(p / p[fixed], fixed)]), fixed


def from_chart(theta, n_other, fixed):
    return theta[:n_other], np.insert(theta[n_other:], fixed, 1.0)


def _charted(objective, n_other, fixed, n):
    """Per observation in theta: the mean negative log-likelihood f, its
    gradient g and, with outer=True, the mean outer product B of the
    observations' gradients."""
    def fun(theta, outer=False):
        f, g, B = objective(*from_chart(theta, n_other, fixed), outer)
        keep = np.delete(np.arange(g.size), n_other + fixed)
        if not np.isfinite(f):
            return np.inf, np.zeros(keep.size), np.eye(keep.size)
        return f / n, g[keep] / n, None if B is None else B[np.ix_(keep, keep)] / n
    return fun


def relative_gradient(theta, f, g):
    return float(np.max(np.abs(g) * np.maximum(np.abs(theta), 1.0), initial=0.0) / max(abs(f), 1.0))


def _newton_step(H, g):
    """Newton step, with the eigenvalues of H kept positive."""
    w, V = np.linalg.eigh(H)
    w = np.maximum(np.abs(w), 1e-10 * max(np.abs(w).max(), 1e-300))
    return -V @ ((V.T @ g) / w)


class _Iterate:
    """The point of an optimisation, in the chart of the largest coefficient
    of p; `move` changes chart when another coefficient ends larger."""

    def __init__(self, objective, n_other, n, other, p):
        self.objective, self.n_other, self.n = objective, n_other, n
        self.chart(*to_chart(other, p))

    def chart(self, theta, fixed):
        self.theta, self.fixed = theta, fixed
        self.fun = _charted(self.objective, self.n_other, fixed, self.n)
        self.f, self.g, _ = self.fun(theta)

    def outer(self):
        """Mean outer product of the observations' gradients at theta."""
        return self.fun(self.theta, outer=True)[2]

    def relative_gradient(self):
        return relative_gradient(self.theta, self.f, self.g)

    def move(self, step, exact=False):
        """Backtracking along step until the Armijo condition holds; with
        exact=True the whole step, unless f grows beyond rounding.  False if
        no step was taken."""
        t = 1.0
        while True:
            f, g, _ = self.fun(self.theta + t * step)
            if exact:
                if not f <= self.f + 1e-12 * abs(self.f):
                    return False
                break
            if f <= self.f + 1e-4 * t * (self.g @ step):
                break
            t /= 2
            if t < 1e-10:
                return False
        self.theta, self.f, self.g = self.theta + t * step, f, g
        if np.max(np.abs(self.theta[self.n_other:]), initial=0.0) > 1.0:
            self.chart(*to_chart(*self.point()))
        return True

    def point(self):
        return from_chart(self.theta, self.n_other, self.fixed)


def _bfgs(it, gtol, maxiter):
    """BFGS from the iterate, its first inverse Hessian that of the outer
    product of the observations' gradients (BHHH's, close to the Hessian's
    near a well specified optimum); again in the new chart while another
    coefficient of p ends larger than the fixed one."""
    from scipy import optimize

    nit = 0
    for _ in range(it.theta.size + 1):
        w, V = np.linalg.eigh(it.outer())
        w = np.maximum(w, 1e-8 * max(w.max(), 1e-300))
        inverse = (V / w) @ V.T
        res = optimize.minimize(lambda theta: it.fun(theta)[:2], it.theta, jac=True, method="BFGS",
                                options={"gtol": gtol, "maxiter": maxiter,
                                         "hess_inv0": (inverse + inverse.T) / 2})
        nit += res.nit
        fixed = it.fixed
        it.chart(*to_chart(*from_chart(res.x, it.n_other, fixed)))
        if it.fixed == fixed:
            break
    return nit


def hessian(fun, theta, g):
    """Forward differences of the analytic gradient g at theta, symmetrised.
    The step h = 1e-6 max(|theta_i|, 1) leaves an error of about h times the
    third derivative, and eps |g| / h of rounding: both near 1e-6 relative."""
    k = theta.size
    H = np.empty((k, k))
    for i in range(k):
        h = 1e-6 * max(abs(theta[i]), 1.0)
        up = theta.copy()
        up[i] += h
        H[i] = (fun(up)[1] - g) / (up[i] - theta[i])
    return (H + H.T) / 2


def _newton(it, maxiter=20):
    """Newton steps with the Hessian of the analytic gradient to the relative
    gradient GTOL, and one more.  Returns the Hessian, convergence and steps."""
    H, nit, converged = hessian(it.fun, it.theta, it.g), 0, False
    while nit < maxiter and not converged:
        converged = it.relative_gradient() <= GTOL
        # Past GTOL the step is a last correction, taken whole unless f grows.
        fixed, theta = it.fixed, it.theta
        if not it.move(_newton_step(H, it.g), exact=converged):
            break
        nit += 1
        moved = np.max(np.abs(it.theta - theta) / np.maximum(np.abs(it.theta), 1.0))
        if not converged and (it.fixed != fixed or moved > 1e-4):
            H = hessian(it.fun, it.theta, it.g)
    return H, converged, nit


def _same_point(a, b):
    """Whether two search results are one optimum reached from two starts."""
    (oa, pa), (ob, pb) = a.point(), b.point()
    return pa.size == pb.size and np.allclose(np.concatenate([oa, pa]), np.concatenate([ob, pb]),
                                              rtol=1e-3, atol=1e-3)


def maximize(objective, search_objective, n, n_search, starts, m):
    """Maximum likelihood: the search on the subsample, the best point
    continued on all the data, then Newton steps.

    The search goes up in degree: for j = 1 ... m coefficients, BFGS from the
    starts of j coefficients that ``starts(j)`` gives, [(other, p), ...], and
    from the best point of j - 1 coefficients (p padded with a zero), so that
    a fit with more coefficients is never worse than one with fewer.
    The two best points of the search are continued on all the data, when
    close (`CLOSE`), for a few steps; the better one to convergence.
    ``objective(other, p)`` gives the sums over the observations of the
    negative log-likelihood, its gradient in (other, p) and the outer
    products of the observations' gradients.  Returns the final `_Iterate`,
    the Hessian of its f, whether it converged and the iterations."""
    best, nit = [], 0
    for j in range(1, m + 1):
        found = [_Iterate(search_objective, o.size, n_search, o, p) for o, p in starts(j)]
        if best:
            other, p = best[0].point()
            found.append(_Iterate(search_objective, other.size, n_search, other, np.append(p, 0.0)))
        # Lower degrees only lead the way: fewer iterations there.
        nit += sum(_bfgs(it, 1e-4, 40 if j == m else 15) for it in found)
        best = sorted(found, key=lambda it: it.f)
    if n_search < n:
        # The subsample may rank two close basins the wrong way round: the
        # second is continued on all the data too unless its log-likelihood
        # on the subsample is lower by more than CLOSE, or it is the same point.
        close = [it for it in best[:2] if (it.f - best[0].f) * n_search <= CLOSE
                 and (it is best[0] or not _same_point(it, best[0]))]
        best = [_Iterate(objective, it.n_other, n, *it.point()) for it in close]
        if len(best) > 1:
            # A few steps on all the data settle which basin is the better.
            nit += sum(_bfgs(it, 1e-6, 5) for it in best)
            best.sort(key=lambda it: it.f)
        nit += _bfgs(best[0], 1e-6, 200)
    it = best[0] if n_search < n else _Iterate(objective, best[0].n_other, n, *best[0].point())
    H, converged, more = _newton(it)
    return it, H, converged, nit + more


def _normal_sf(z):
    return np.array([0.5 * math.erfc(v / math.sqrt(2)) if np.isfinite(v) else np.nan
                     for v in np.ravel(z)]).reshape(np.shape(z))


def _normal_ppf(q):
    """Quantile of the standard normal by Newton's method on erfc (q in (0, 1))."""
    z = 0.0
    for _ in range(50):
        step = (_normal_sf(-z) - q) / math.exp(-z * z / 2) * math.sqrt(2 * math.pi)
        z -= step
        if abs(step) < 1e-15:
            break
    return z


class Summary:
    """Text summary of a fit; ``str()`` or ``as_text()`` gives the table."""

    def __init__(self, text):
        self._text = text

    def as_text(self):
        return self._text

    __str__ = as_text

    def __repr__(self):
        return self._text


class LikelihoodResults:
    """Results of a maximum likelihood fit, with statsmodels' names.

    Attributes
    ----------
    params : ndarray or pandas.Series
        Estimates; their names are ``param_names``.  A model given pandas
        objects gives pandas results, labelled by those names.
    bse : ndarray or pandas.Series
        Standard errors from the observed information (NaN for a coefficient
        fixed by the normalisation of p).
    llf : float
        Maximised log-likelihood.
    nobs : int
        Number of observations.
    df_modelwc : int
        Number of free parameters, counted by `aic` and `bic`.
    converged : bool
        Whether the relative gradient fell below 1e-8.
    nit : int
        Iterations of the optimiser, over all starts.
    rel_grad : float
        Relative gradient at the estimates,
        ``max_i |g_i| max(|theta_i|, 1) / max(|f|, 1)`` for the gradient g of
        the mean negative log-likelihood f in the optimiser's parameters.
    """

    title = "Maximum likelihood"

    def __init__(self, params, param_names, cov, llf, nobs, df_modelwc, converged, nit, rel_grad,
                 pandas=False):
        self._params = np.asarray(params, dtype=float)
        self.param_names = list(param_names)
        self._cov = cov
        self._pandas = pandas
        self.llf = float(llf)
        self.nobs = int(nobs)
        self.df_modelwc = int(df_modelwc)
        self.converged = bool(converged)
        self.nit = int(nit)
        self.rel_grad = float(rel_grad)

    def _label(self, values, columns=None):
        """values as they are, or labelled by the parameters' names when the
        model was given pandas objects (statsmodels' convention)."""
        if not self._pandas:
            return values
        import pandas as pd

        if values.ndim == 1:
            return pd.Series(values, index=self.param_names)
        return pd.DataFrame(values, index=self.param_names, columns=columns)

    @property
    def params(self):
        """Estimates, in the order of `param_names`."""
        return self._label(self._params)

    def cov_params(self):
        """Covariance of the estimates, the inverse of the observed information."""
        return self._label(self._cov.copy(), self.param_names)

    def _bse(self):
        return np.sqrt(np.diag(self._cov))

    @property
    def bse(self):
        """Standard errors of the estimates."""
        return self._label(self._bse())

    @property
    def tvalues(self):
        """z statistics, params / bse."""
        return self._label(self._params / self._bse())

    @property
    def pvalues(self):
        """Two-sided p-values of the z statistics, from the normal distribution."""
        return self._label(2 * _normal_sf(np.abs(self._params / self._bse())))

    def _conf_int(self, alpha):
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        z = _normal_ppf(1 - alpha / 2)
        return np.column_stack([self._params - z * self._bse(), self._params + z * self._bse()])

    def conf_int(self, alpha=0.05):
        """Normal confidence intervals, shape (k, 2)."""
        return self._label(self._conf_int(alpha), [0, 1])

    @property
    def aic(self):
        """Akaike's criterion, -2 llf + 2 k with k the free parameters."""
        return -2 * self.llf + 2 * self.df_modelwc

    @property
    def bic(self):
        """Schwarz's criterion, -2 llf + k log(nobs)."""
        return -2 * self.llf + self.df_modelwc * math.log(self.nobs)

    def summary(self):
        """Table of the estimates with the fit's figures."""
        head = [self.title,
                f"Observations: {self.nobs}   Free parameters: {self.df_modelwc}",
                f"Log-likelihood: {self.llf:.6f}   AIC: {self.aic:.4f}   BIC: {self.bic:.4f}",
                f"Converged: {self.converged} ({self.nit} iterations, relative gradient {self.rel_grad:.1e})"]
        width = max(12, *(len(n) for n in self.param_names))
        lines = [f"{'':{width}} {'coef':>12} {'std err':>10} {'z':>8} {'P>|z|':>7} {'[0.025':>11} {'0.975]':>11}"]
        with np.errstate(invalid="ignore", divide="ignore"):
            z = self._params / self._bse()
            rows = zip(self.param_names, self._params, self._bse(), z, 2 * _normal_sf(np.abs(z)),
                       self._conf_int(0.05))
            for name, c, se, z, pv, (lo, hi) in rows:
                lines.append(f"{name:{width}} {c:12.6g} {se:10.4g} {z:8.3f} {pv:7.3f} {lo:11.5g} {hi:11.5g}")
        rule = "=" * len(lines[0])
        return Summary("\n".join([rule, *head, rule.replace("=", "-"), *lines, rule]))
