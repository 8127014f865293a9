"""The results of the maximum likelihood fits, with statsmodels' names."""

import math

import numpy as np


def _normal_sf(z):
    from scipy import special  # the fits' extra: the package itself needs only NumPy

    return special.ndtr(-z)


def _normal_isf(q):
    from scipy import special

    return special.ndtri(1 - q)


def covariance(J, H, n):
    """J H^-1 J' / n: the inverse observed information, H that of the mean
    negative log-likelihood in the optimiser's parameters, carried to the
    reported ones by their Jacobian J; NaN where H is singular."""
    try:
        return J @ np.linalg.solve(H, J.T) / n
    except np.linalg.LinAlgError:
        return np.full((J.shape[0],) * 2, np.nan)


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
        Whether the relative gradient fell below 1e-8 at a point where the
        Hessian is positive definite.
    nit : int
        Iterations of the optimiser, over all starts.
    rel_grad : float
        Relative gradient at the estimates,
        ``max_i |g_i| max(|theta_i|, 1) / max(|f|, 1)`` for the gradient g of
        the mean negative log-likelihood f in the optimiser's parameters.
    max_gradient : float
        The largest magnitude of the log-likelihood's gradient at the
        estimates.
    condition : float
        Condition number of the Hessian there (inf where it is not
        positive definite).
    starts, starts_at_best : int
        How many starts the search ran at the final number of coefficients,
        and how many of them reached the best point.
    llf_gap : float
        Log-likelihood from the best point down to the second-best basin
        found (inf where every start reached one basin).
    """

    title = "Maximum likelihood"

    def __init__(self, params, param_names, cov, llf, nobs, df_modelwc, converged, nit, rel_grad,
                 pandas=False, figures=None):
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
        figures = figures or {}
        self.max_gradient = figures.get("max_gradient", np.nan)
        self.condition = figures.get("condition", np.nan)
        self.starts = figures.get("starts", 0)
        self.starts_at_best = figures.get("starts_at_best", 0)
        self.llf_gap = figures.get("llf_gap", np.nan)

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
        z = _normal_isf(alpha / 2)
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
                f"Converged: {self.converged} ({self.nit} iterations, relative gradient {self.rel_grad:.1e}, "
                f"Hessian condition {self.condition:.3g})",
                f"Starts: {self.starts_at_best} of {self.starts} at the best point; " + (
                    f"the second basin {self.llf_gap:.4g} below" if np.isfinite(self.llf_gap)
                    else "no second basin found")]
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
