"""Maximum likelihood for the adjusted logistic family: the optimiser shared by
`AdjustedLogistic.fit` and `OrderedRegression.fit`, and their results.

Identification.  p and c p give the same distribution, so p is known only up
to a factor.  The fits work in a chart of that projective space: the
coefficient of largest magnitude is fixed at 1 and the others are free.  Every
p is reached, those with p_0 = 0 included (p_0 = 1 would not reach them), and
the chart changes when another coefficient overtakes the fixed one.  Reported
coefficients are in that normalisation; the fixed one has no standard error.

Optimisation.  Each start is run by BFGS with the analytic gradient on a
subsample of at most `SEARCH_POINTS` observations (the likelihood in p has
several basins); the best is continued by BFGS on all the data, then polished
by Newton steps with the Hessian from central differences of the analytic
gradient, until the relative gradient max_i |g_i| max(|theta_i|, 1) / max(|f|, 1)
of the mean negative log-likelihood f is below `GTOL`.  That Hessian is the
observed information per observation: the covariance is its inverse over n.
"""

import math

import numpy as np

GTOL = 1e-8
SEARCH_POINTS = 20_000
# Starting shapes of p in a standardised variable, lowest power first: the
# logistic, skewed either way, the bimodal t (p_0 = 0), symmetric shapes.
START_SHAPES = ([1.0], [1.0, 0.5], [1.0, -0.5], [0.0, 1.0], [1.0, 0.0, 0.5], [-1.0, 0.0, 1.0])


def start_shapes(m):
    """The starting shapes that have at most m coefficients, padded to m."""
    return [np.pad(np.array(s), (0, m - len(s))) for s in START_SHAPES if len(s) <= m]


def to_chart(other, p):
    """theta = (other, p without its largest coefficient) with p scaled so that
    that coefficient is 1, and its index."""
    fixed = int(np.argmax(np.abs(p)))
    return np.concatenate([other, np.delete(p / p[fixed], fixed)]), fixed


def from_chart(theta, n_other, fixed):
    return theta[:n_other], np.insert(theta[n_other:], fixed, 1.0)


def _charted(objective, n_other, fixed, n):
    """Mean negative log-likelihood and its gradient in theta."""
    def fun(theta):
        f, g_other, g_p = objective(*from_chart(theta, n_other, fixed))
        g = np.concatenate([g_other, np.delete(g_p, fixed)]) / n
        return (f / n, g) if np.isfinite(f) else (np.inf, np.zeros_like(g))
    return fun


def relative_gradient(theta, f, g):
    return float(np.max(np.abs(g) * np.maximum(np.abs(theta), 1.0), initial=0.0) / max(abs(f), 1.0))


def _bfgs(objective, n_other, n, other, p, gtol, maxiter, hess_inv=None):
    """BFGS in the chart of the largest coefficient, moved on while another
    coefficient ends larger.  Returns other, p, f, iterations, inverse Hessian."""
    from scipy import optimize

    nit = 0
    for _ in range(p.size):
        theta, fixed = to_chart(other, p)
        options = {"gtol": gtol, "maxiter": maxiter}
        if hess_inv is not None and np.all(np.linalg.eigvalsh(hess_inv) > 0):
            options["hess_inv0"] = (hess_inv + hess_inv.T) / 2
        res = optimize.minimize(_charted(objective, n_other, fixed, n), theta, jac=True,
                                method="BFGS", options=options)
        nit += res.nit
        other, p = from_chart(res.x, n_other, fixed)
        hess_inv = None
        if np.max(np.abs(p)) <= 1.0:
            break
    return other, p, res.fun, nit, res.hess_inv


def hessian(fun, theta):
    """Central differences of the analytic gradient, symmetrised."""
    k = theta.size
    H = np.empty((k, k))
    for i in range(k):
        h = 1e-5 * max(abs(theta[i]), 1.0)
        up, down = theta.copy(), theta.copy()
        up[i] += h
        down[i] -= h
        H[i] = (fun(up)[1] - fun(down)[1]) / (2 * h)
    return (H + H.T) / 2


def _newton_step(H, g):
    """Newton step, with the Hessian's eigenvalues kept positive."""
    w, V = np.linalg.eigh(H)
    w = np.maximum(np.abs(w), 1e-10 * max(np.abs(w).max(), 1e-300))
    return -V @ ((V.T @ g) / w)


def newton(objective, n_other, n, other, p, maxiter=20):
    """Newton iterations to the relative gradient GTOL, then one more step.
    Returns theta, fixed, f, Hessian, converged, iterations, relative gradient."""
    theta, fixed = to_chart(other, p)
    fun = _charted(objective, n_other, fixed, n)
    f, g = fun(theta)
    H = hessian(fun, theta)
    nit = 0
    converged = False
    while nit < maxiter:
        rel = relative_gradient(theta, f, g)
        converged = rel <= GTOL
        step = _newton_step(H, g)
        t = 1.0
        while True:
            f_new, g_new = fun(theta + t * step)
            # Past GTOL the step is a last correction at rounding level, taken as it is.
            if converged or f_new <= f + 1e-4 * t * (g @ step) or t < 1e-10:
                break
            t /= 2
        theta, f, g = theta + t * step, f_new, g_new
        nit += 1
        if converged:
            break
        if np.max(np.abs(theta[n_other:]), initial=0.0) > 1.0:
            theta, fixed = to_chart(*from_chart(theta, n_other, fixed))
            fun = _charted(objective, n_other, fixed, n)
            f, g = fun(theta)
        if t * np.max(np.abs(step) / np.maximum(np.abs(theta), 1.0)) > 1e-4:
            H = hessian(fun, theta)
    return theta, fixed, f, H, converged, nit, relative_gradient(theta, f, g)


def maximize(objective, search_objective, n, n_search, starts, maxiter=200):
    """Maximum likelihood over starts [(other, p), ...]: the search on the
    subsample, the best continued on all data, polished by Newton steps."""
    found = [_bfgs(search_objective, o.size, n_search, o, p, 1e-5, maxiter) for o, p in starts]
    other, p, _, nit, hess_inv = min(found, key=lambda r: r[2])
    nit = sum(r[3] for r in found)
    if n_search < n:
        other, p, _, more, _ = _bfgs(objective, other.size, n, other, p, 1e-6, maxiter, hess_inv)
        nit += more
    theta, fixed, f, H, converged, more, rel = newton(objective, other.size, n, other, p)
    return theta, fixed, f, H, converged, nit + more, rel


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
    params : ndarray
        Estimates; their names are ``param_names``.
    bse : ndarray
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
    """

    title = "Maximum likelihood"

    def __init__(self, params, param_names, cov, llf, nobs, df_modelwc, converged, nit, rel_grad):
        self.params = np.asarray(params, dtype=float)
        self.param_names = list(param_names)
        self._cov = cov
        self.llf = float(llf)
        self.nobs = int(nobs)
        self.df_modelwc = int(df_modelwc)
        self.converged = bool(converged)
        self.nit = int(nit)
        self.rel_grad = float(rel_grad)

    def cov_params(self):
        """Covariance of the estimates, the inverse of the observed information."""
        return self._cov.copy()

    @property
    def bse(self):
        """Standard errors of the estimates."""
        return np.sqrt(np.diag(self._cov))

    @property
    def tvalues(self):
        """z statistics, params / bse."""
        return self.params / self.bse

    @property
    def pvalues(self):
        """Two-sided p-values of the z statistics, from the normal distribution."""
        return 2 * _normal_sf(np.abs(self.tvalues))

    def conf_int(self, alpha=0.05):
        """Normal confidence intervals, an array of shape (k, 2)."""
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        z = _normal_ppf(1 - alpha / 2)
        return np.column_stack([self.params - z * self.bse, self.params + z * self.bse])

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
            rows = zip(self.param_names, self.params, self.bse, self.tvalues, self.pvalues, self.conf_int())
            for name, c, se, z, pv, (lo, hi) in rows:
                lines.append(f"{name:{width}} {c:12.6g} {se:10.4g} {z:8.3f} {pv:7.3f} {lo:11.5g} {hi:11.5g}")
        rule = "=" * len(lines[0])
        return Summary("\n".join([rule, *head, rule.replace("=", "-"), *lines, rule]))
