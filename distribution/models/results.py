"""The results of the maximum likelihood fits, with statsmodels' names:
what needs the parameters (predictions, the noise, margins) the results
ask of their model."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Iterable, Iterator, Mapping, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._checks import check_margins
from .._warnings import SeparationWarning, warn

if TYPE_CHECKING:
    import pandas as pd

    from .._frozen import AdjustedLogistic
    from .block import Array
    from .diagnostics import FitDiagnostics
    from .inference import CovarianceRequest
    from .regression import RegressionModel


def normal_sf(z: Array) -> Array:
    from scipy import special  # the fits' extra: the package itself needs only NumPy

    return special.ndtr(-z)


def normal_isf(q: float) -> float:
    from scipy import special

    return special.ndtri(1 - q)


def chi2_sf(x: float, df: float) -> float:
    from scipy import special

    return special.chdtrc(df, x)


def chi2_isf(q: float, df: float) -> float:
    from scipy import special

    return special.chdtri(df, q)


def numeric_jacobian(fun: Callable[[Array], ArrayLike], params: Array,
                     free: NDArray[np.bool_]) -> tuple[Array, Array]:
    """d fun / d params by central differences, over the free entries (the
    fixed ones have variance 0, so their columns do not count)."""
    base = np.asarray(fun(params), float)
    J = np.zeros((base.size, params.size))
    for i in np.flatnonzero(free):
        h = 1e-6 * max(abs(params[i]), 1.0)
        up, down = params.copy(), params.copy()
        up[i] += h
        down[i] -= h
        J[:, i] = (np.ravel(fun(up)) - np.ravel(fun(down))) / (up[i] - down[i])
    return base, J


class LRTestResult:
    """Likelihood-ratio test of a restricted fit against a larger one:
    ``statistic`` 2 (llf - llf_restricted), ``df`` and ``pvalue`` from the
    chi-squared distribution."""

    def __init__(self, statistic: float, df: int, pvalue: float) -> None:
        self.statistic, self.df, self.pvalue = float(statistic), int(df), float(pvalue)

    def __iter__(self) -> Iterator[float]:
        return iter((self.statistic, self.pvalue, self.df))

    def __repr__(self) -> str:
        return f"LRTestResult(statistic={self.statistic:.6g}, df={self.df}, pvalue={self.pvalue:.4g})"


class Table:
    """Rows of figures with a text form and, where pandas is installed,
    ``summary_frame()``."""

    def __init__(self, title: str, index: Iterable[str | tuple[str, ...]], columns: Iterable[str],
                 values: ArrayLike) -> None:
        self.title, self.index, self.columns = title, list(index), list(columns)
        self.values = np.asarray(values, float)

    def summary_frame(self) -> pd.DataFrame:
        import pandas as pd

        index = self.index
        if index and isinstance(index[0], tuple):
            index = pd.MultiIndex.from_tuples(index)
        return pd.DataFrame(self.values, index=index, columns=self.columns)

    def __str__(self) -> str:
        names = [", ".join(map(str, i)) if isinstance(i, tuple) else str(i) for i in self.index]
        width = max(12, *(len(i) for i in names))
        lines = [self.title, f"{'':{width}}" + "".join(f" {c:>12}" for c in self.columns)]
        for name, row in zip(names, self.values):
            lines.append(f"{name:{width}}" + "".join(f" {v:12.6g}" for v in row))
        return "\n".join(lines)

    __repr__ = __str__


def delta_table(title: str, names: Sequence[str | tuple[str, ...]], values: Array, cov: Array, alpha: float = 0.05,
                estimate: str = "estimate") -> Table:
    """Estimates with delta-method standard errors, z, p-values and normal
    intervals, statsmodels' column names."""
    se = np.sqrt(np.maximum(np.diag(cov), 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        z = values / se
    half = normal_isf(alpha / 2) * se
    return Table(title, names, [estimate, "Std. Err.", "z", "Pr(>|z|)",
                                "Conf. Int. Low", "Cont. Int. Hi."],
                 np.column_stack([values, se, z, 2 * normal_sf(np.abs(z)), values - half, values + half]))


class Summary:
    """Text summary of a fit; ``str()`` or ``as_text()`` gives the table."""

    def __init__(self, text: str) -> None:
        self._text = text

    def as_text(self) -> str:
        return self._text

    __str__ = as_text

    def __repr__(self) -> str:
        return self._text


class DegreeSelection:
    """Fits of one model at m = 1 ... max_m: ``fits`` (their results, by
    m), the table of m, llf, free parameters, AIC, BIC and the
    likelihood-ratio test against m = 1 (``summary_frame()``, ``str()``),
    and `best`."""

    def __init__(self, fits: Mapping[int, LikelihoodResults]) -> None:
        self.fits = dict(fits)
        base = self.fits[min(self.fits)]
        rows = []
        for m, fit in self.fits.items():
            test = fit.lr_test(base) if fit is not base else LRTestResult(0.0, 0, 1.0)
            rows.append([fit.llf, fit.df_modelwc, fit.aic, fit.bic, test.statistic, test.df, test.pvalue])
        self.table = Table("Degree selection: the LR test is against m = 1", [f"m = {m}" for m in self.fits],
                           ["llf", "df_modelwc", "aic", "bic", "lr_vs_1", "lr_df", "lr_pvalue"], rows)

    def summary_frame(self) -> pd.DataFrame:
        frame = self.table.summary_frame().astype({"df_modelwc": int, "lr_df": int})
        frame.index = list(self.fits)
        frame.index.name = "m"
        return frame

    def __str__(self) -> str:
        return str(self.table)

    __repr__ = __str__

    def best(self, criterion: str = "bic") -> LikelihoodResults:
        """The fit of least "aic" or "bic"."""
        if criterion not in ("aic", "bic"):
            raise ValueError(f"criterion must be 'aic' or 'bic', got {criterion!r}")
        return min(self.fits.values(), key=lambda fit: getattr(fit, criterion))


class LikelihoodResults:
    """Results of a maximum likelihood fit, with statsmodels' names.

    Attributes
    ----------
    params : ndarray or pandas.Series
        Estimates; their names are ``param_names``.  A model given pandas
        objects gives pandas results, labelled by those names.
    bse : ndarray or pandas.Series
        Standard errors, of the covariance type asked for (``cov_type``): 0
        for the coefficient of p that its normalisation fixes (``fixed``).
    cov_type : str
        "nonrobust" (the observed information), "robust" or "cluster"; see
        the Inference page.
    fixed : ndarray of bool
        The coefficient fixed at 1 by the normalisation of p.
    llf : float
        Maximised log-likelihood.
    nobs : int
        Number of observations.
    df_modelwc : int
        Number of free parameters, counted by `aic` and `bic`.
    converged : bool
        Whether the relative gradient fell below 1e-8 at a point where the
        Hessian is positive definite; False on separated data.
    separation : str or None
        "complete" or "quasi-complete" where the data are separated (the
        likelihood rises towards its supremum as some estimates go to
        infinity; a `distribution.SeparationWarning` says so), else None.
    separated : ndarray of bool
        The estimates that are not finite on separated data: the nonzero
        entries of the direction to the supremum.
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
    search_rounds : int
        Rounds of more starts the search spent because one start alone had
        reached the best point (at most `distribution.models.search.ROUNDS`).
    search_notes : list of str
        Where the screening had to begin again on a larger sample of the
        data (a sample that misses a category cannot rank the candidates).
    diagnostics : distribution.models.diagnostics.FitDiagnostics
        The figures above as the fit found them, in one frozen object.
    sampling : bool
        Whether the fit had sampling weights (a pseudo-likelihood, without
        likelihood-ratio tests or profile intervals).
    """

    title: ClassVar[str] = "Maximum likelihood"

    def __init__(self, *, params: ArrayLike, param_names: Iterable[str], cov: Array, llf: float, nobs: float,
                 df_modelwc: int, nit: int, diagnostics: FitDiagnostics, pandas: bool = False,
                 fixed: ArrayLike | None = None, cov_type: str = "nonrobust", sampling: bool = False) -> None:
        self._params = np.asarray(params, dtype=float)
        self.fixed = np.zeros(self._params.size, bool) if fixed is None else np.asarray(fixed, bool)
        self.cov_type = cov_type
        self.param_names = list(param_names)
        self._cov = cov
        self._pandas = pandas
        self.sampling = bool(sampling)
        self.llf = float(llf)
        self.nobs = int(nobs)
        self.df_modelwc = int(df_modelwc)
        self.nit = int(nit)
        self.diagnostics = diagnostics
        self.converged = bool(diagnostics.converged)
        self.rel_grad = float(diagnostics.rel_grad)
        self.max_gradient = diagnostics.max_gradient
        self.condition = diagnostics.condition
        self.starts = diagnostics.starts
        self.starts_at_best = diagnostics.starts_at_best
        self.llf_gap = diagnostics.llf_gap
        self.search_rounds = diagnostics.rounds
        self.search_notes = list(diagnostics.notes)
        found = diagnostics.separation
        self.separation = None if found is None else found.kind
        self._direction = np.zeros(self._params.size) if found is None else np.asarray(found.direction, float)
        self.separated = self._direction != 0
        if found is not None:
            # Along the direction the likelihood rises towards its supremum:
            # the estimates where it is nonzero are not finite.
            warn(f"{found.kind} separation: the likelihood has no maximum; it rises towards its supremum as "
                 f"{self._infinite()} (the estimates there are not finite, and their standard errors meaningless)",
                 SeparationWarning)

    def _infinite(self) -> str:
        """The separated estimates with the infinity each tends to, as text."""
        return ", ".join(f"{name} -> {'+' if v > 0 else '-'}inf"
                         for name, v, s in zip(self.param_names, self._direction, self.separated) if s)

    def _label(self, values: NDArray[Any], columns: ArrayLike | None = None) -> Any:
        """values as they are, or labelled by the parameters' names when the
        model was given pandas objects (statsmodels' convention)."""
        if not self._pandas:
            return values
        import pandas as pd

        if values.ndim == 1:
            return pd.Series(values, index=self.param_names)
        return pd.DataFrame(values, index=self.param_names, columns=columns)

    @property
    def params(self) -> Any:
        """Estimates, in the order of `param_names`."""
        return self._label(self._params)

    def cov_params(self) -> Any:
        """Covariance of the estimates, the inverse of the observed information."""
        return self._label(self._cov.copy(), self.param_names)

    def _bse(self) -> Array:
        # A covariance that is not positive definite (the fit has warned of
        # it) has NaN for a negative variance, without NumPy's own warning.
        with np.errstate(invalid="ignore"):
            return np.sqrt(np.diag(self._cov))

    @property
    def bse(self) -> Any:
        """Standard errors of the estimates."""
        return self._label(self._bse())

    def _z(self) -> Array:
        with np.errstate(invalid="ignore", divide="ignore"):
            return np.where(self.fixed, np.nan, self._params / self._bse())

    @property
    def tvalues(self) -> Any:
        """z statistics, params / bse (NaN for the fixed coefficient)."""
        return self._label(self._z())

    @property
    def pvalues(self) -> Any:
        """Two-sided p-values of the z statistics, from the normal distribution."""
        return self._label(2 * normal_sf(np.abs(self._z())))

    def _conf_int(self, alpha: float) -> Array:
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        z = normal_isf(alpha / 2)
        return np.column_stack([self._params - z * self._bse(), self._params + z * self._bse()])

    def conf_int(self, alpha: float = 0.05, method: str = "wald") -> Any:
        """Normal (Wald) confidence intervals, params +- z bse, shape (k, 2).
        The regressions' results also take method="profile"; the density
        fit reports loc, scale and p in x's units, a polynomial map of the
        optimiser's chart that mixes its coordinates, so its profile
        intervals are not computed."""
        if method == "profile":
            raise NotImplementedError("profile intervals are the regressions'; the density fit's p in x's units "
                                      "mixes the coordinates of the fit's chart")
        if method != "wald":
            raise ValueError(f"method must be 'wald' or 'profile', got {method!r}")
        return self._label(self._conf_int(alpha), [0, 1])

    @property
    def aic(self) -> float:
        """Akaike's criterion, -2 llf + 2 k with k the free parameters."""
        return -2 * self.llf + 2 * self.df_modelwc

    @property
    def bic(self) -> float:
        """Schwarz's criterion, -2 llf + k log(nobs)."""
        return -2 * self.llf + self.df_modelwc * math.log(self.nobs)

    def lr_test(self, other: LikelihoodResults) -> LRTestResult:
        """Likelihood-ratio test between this fit and a nested one (either
        way round): 2 (llf_large - llf_small) against the chi-squared
        distribution with the difference in free parameters as df.  Both
        must be fits of the same observations, and with frequency weights
        or none: a pseudo-likelihood has no such test."""
        if not isinstance(other, LikelihoodResults):
            raise TypeError(f"other must be a fit's results, got {type(other).__name__}")
        if other.nobs != self.nobs:
            raise ValueError(f"the fits have different numbers of observations ({self.nobs} and {other.nobs})")
        if self.sampling or other.sampling:
            raise ValueError("a fit with sampling_weights maximises a pseudo-likelihood: it has no LR test")
        large, small = (self, other) if self.df_modelwc >= other.df_modelwc else (other, self)
        df = large.df_modelwc - small.df_modelwc
        if df == 0:
            raise ValueError("the fits have the same number of free parameters: they are not nested")
        statistic = max(2 * (large.llf - small.llf), 0.0)
        return LRTestResult(statistic, df, chi2_sf(statistic, df))

    def _noise(self, params: Array) -> AdjustedLogistic:
        """The fitted noise at params, in the response's units (an AdjustedLogistic)."""
        return self.model.noise(params, scaled=True)  # type: ignore[attr-defined]  # set by RegressionResults

    def _slopes(self) -> tuple[Any, list[str]]:
        """Indices and names of the slopes that noise_summary rescales."""
        return self.model.slopes()  # type: ignore[attr-defined]  # set by RegressionResults

    def noise_summary(self, alpha: float = 0.05) -> Table:
        """The fitted noise in familiar units: its mean, standard deviation,
        skewness and excess kurtosis, and each slope divided by that
        standard deviation (comparable with the ordered logit, whose noise
        has sd pi / sqrt(3), and across m), with delta-method standard
        errors under this fit's covariance type.  A `Table`; its
        ``summary_frame()`` is a DataFrame."""
        index, names = self._slopes()

        def figures(params: Array) -> Array:
            noise = self._noise(params)
            mean, var, skew, kurt = noise.stats("mvsk")
            sd = np.sqrt(var)
            return np.concatenate([[mean, sd, skew, kurt], params[index] / sd])

        values, J = numeric_jacobian(figures, self._params, ~self.fixed)
        return delta_table("Noise summary", ["mean", "sd", "skewness", "excess kurtosis",
                                             *(f"{n}/sd" for n in names)], values, J @ self._cov @ J.T, alpha)

    def _notes(self) -> list[str]:
        """Lines of the summary's head about the data."""
        return []

    def summary(self) -> Summary:
        """Table of the estimates with the fit's figures."""
        head = [self.title,
                f"Observations: {self.nobs}   Free parameters: {self.df_modelwc}", *self._notes(),
                f"Log-likelihood: {self.llf:.6f}   AIC: {self.aic:.4f}   BIC: {self.bic:.4f}",
                f"Converged: {self.converged} ({self.nit} iterations, relative gradient {self.rel_grad:.1e}, "
                f"Hessian condition {self.condition:.3g})",
                f"Covariance: {self.cov_type}   Starts: {self.starts_at_best} of {self.starts} at the best point; " + (
                    f"the second basin {self.llf_gap:.4g} below" if np.isfinite(self.llf_gap)
                    else "no second basin found"), *(f"Search: {note}" for note in self.search_notes)]
        if self.separation:
            names = [n for n, s in zip(self.param_names, self.separated) if s]
            head.append(f"Separation ({self.separation}): the maximum lies at infinity in the direction of "
                        f"{', '.join(names)}; {'its' if len(names) == 1 else 'their'} estimates are not finite")
        width = max(12, *(len(n) for n in self.param_names))
        lines = [f"{'':{width}} {'coef':>12} {'std err':>10} {'z':>8} {'P>|z|':>7} {'[0.025':>11} {'0.975]':>11}"]
        with np.errstate(invalid="ignore", divide="ignore"):
            z = self._params / self._bse()
            rows = zip(self.param_names, self._params, self._bse(), z, 2 * normal_sf(np.abs(z)),
                       self._conf_int(0.05), self.fixed, self._direction)
            for name, c, se, z, pv, (lo, hi), fixed, toward in rows:
                if fixed:
                    lines.append(f"{name:{width}} {c:12.6g}     (fixed)")
                elif toward:
                    lines.append(f"{name:{width}} {c:12.6g}     (not finite: tends to {'+' if toward > 0 else '-'}inf)")
                else:
                    lines.append(f"{name:{width}} {c:12.6g} {se:10.4g} {z:8.3f} {pv:7.3f} {lo:11.5g} {hi:11.5g}")
        rule = "=" * len(lines[0])
        return Summary("\n".join([rule, *head, rule.replace("=", "-"), *lines, rule]))


class RegressionResults(LikelihoodResults):
    """Results of a regression on the model core: ``model``, ``noise`` (the
    fitted noise e, an `AdjustedLogistic` at loc 0, scale 1), `get_margeff`
    and the figures of `LikelihoodResults`."""

    def __init__(self, *, model: RegressionModel, params: ArrayLike, cov: Array, llf: float, nit: int,
                 diagnostics: FitDiagnostics, fixed: NDArray[np.bool_], request: CovarianceRequest) -> None:
        super().__init__(params=params, param_names=model.param_names, cov=cov, llf=llf, nobs=model.nobs,
                         df_modelwc=model.df_modelwc, nit=nit, diagnostics=diagnostics, pandas=model.pandas,
                         fixed=fixed, cov_type=request.cov_type, sampling=model.sampling)
        self.model = model
        self.noise: AdjustedLogistic = model.noise(self._params)

    def conf_int(self, alpha: float = 0.05, method: str = "wald") -> Any:
        """Confidence intervals, shape (k, 2).

        Parameters
        ----------
        alpha : float
            1 - the confidence level.
        method : {"wald", "profile"}
            "wald": params +- z bse, under this fit's covariance type.
            "profile": the inversion of the likelihood-ratio test, as R's
            confint of clm and polr gives: the values of each parameter at
            which the log-likelihood maximised over the others drops by
            chi2_1(1 - alpha) / 2 (the coefficients of p in the fit's chart,
            the fixed one [1, 1]); +-inf where it never drops that far.  It
            is the likelihood's own, whatever the covariance type, and
            refused with sampling weights (a pseudo-likelihood has no LR
            test).
        """
        if method != "profile":
            return super().conf_int(alpha, method)
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        if self.sampling:
            raise ValueError("a fit with sampling_weights maximises a pseudo-likelihood: it has no profile intervals")
        bounds = self.model.profile_intervals(self._params, self.fixed, alpha, self.diagnostics.basins)
        return self._label(bounds, [0, 1])

    def _notes(self) -> list[str]:
        n = self.model.n_dropped
        return [f"Dropped {n} row{'s' if n != 1 else ''} with missing values"] if n else []

    def get_margeff(self, at: str = "overall", dummy: bool = False) -> Table:
        """Marginal effects of each covariate, statsmodels' name and
        conventions, with delta-method standard errors under this fit's
        covariance type.

        Parameters
        ----------
        at : {"overall", "mean"}
            "overall" averages the effects over the observations (weighted
            as the fit); "mean" takes them at the covariates' means.
        dummy : bool
            If True, a covariate whose values are all 0 or 1 has the
            discrete change from 0 to 1 in place of the derivative.

        Returns
        -------
        Table
            A row per effect: ``dy/dx``, its standard error, z, p-value and
            95% interval; ``summary_frame()``.  What an effect is on is the
            model's (`OrderedRegression`: each category's probability;
            `IntervalRegression`: the expected response).
        """
        check_margins(at, dummy)
        title, names, values, J = self.model.margins(self._params, at, dummy, ~self.fixed)
        return delta_table(title, names, values, J @ self._cov @ J.T, estimate="dy/dx")
