"""Ordered-response regression with polynomially adjusted logistic noise."""

import numpy as np

from . import accurate
from ._fit import SEARCH_POINTS, LikelihoodResults, maximize, start_shapes
from ._frozen import AdjustedLogistic, as_real, check_coefficients


def _categories(endog):
    """Category codes 0 ... K-1 and their labels, from whole numbers (their
    sorted distinct values) or an ordered pandas Categorical."""
    dtype = getattr(endog, "dtype", None)
    if getattr(dtype, "name", None) == "category":
        if not dtype.ordered:
            raise ValueError("endog is an unordered Categorical: its categories must be ordered")
        codes = np.asarray(getattr(endog, "cat", endog).codes)
        if (codes < 0).any():
            raise ValueError("endog has missing values")
        labels = list(dtype.categories)
        unused = sorted(set(range(len(labels))) - set(codes.tolist()))
        if unused:
            raise ValueError(f"endog has no observation of category {labels[unused[0]]!r}")
        return codes.astype(np.intp), labels
    values = np.asarray(endog)
    if values.dtype.kind not in "biuf":
        raise ValueError(f"endog must hold whole numbers or be an ordered pandas Categorical, "
                         f"got dtype {values.dtype}")
    values = values.astype(np.float64)
    if values.ndim != 1:
        raise ValueError(f"endog must be one-dimensional, got shape {values.shape}")
    if not np.isfinite(values).all():
        raise ValueError("endog has NaN or infinite values")
    if (values != np.round(values)).any():
        raise ValueError("endog must hold whole numbers (ordered category codes), got fractions")
    labels, codes = np.unique(values, return_inverse=True)
    return codes, [int(v) for v in labels]


def _matrix(exog, n):
    X = as_real("exog", exog)
    X = X[:, None] if X.ndim == 1 else X
    if X.ndim != 2 or X.shape[0] != n:
        raise ValueError(f"exog must have shape ({n}, k) to match endog, got {X.shape}")
    if not np.isfinite(X).all():
        raise ValueError("exog has NaN or infinite values")
    return X


def _design(exog, n):
    names = [str(c) for c in exog.columns] if hasattr(exog, "columns") else None
    X = _matrix(exog, n)
    names = names or [f"x{i + 1}" for i in range(X.shape[1])]
    constant = np.ptp(X, axis=0) == 0 if n else np.zeros(X.shape[1], bool)
    if constant.any():
        raise ValueError(f"exog column {names[int(np.argmax(constant))]!r} is constant: "
                         "the cut points take the place of a constant")
    return X, names


class OrderedRegression:
    """Ordered-response regression with polynomially adjusted logistic noise.

    The response falls in category j when the latent ``y* = exog @ b + e``
    lies in ``(c_j, c_(j+1)]``, with cut points ``c_1 < ... < c_(K-1)``
    (``c_0 = -inf``, ``c_K = inf``) and noise ``e`` of density proportional
    to ``p(e)**2 f(e)``, f the standard logistic density:

        P(y = j | x) = P(c_j - x b < e <= c_(j+1) - x b).

    Parameters
    ----------
    endog : array_like or pandas Categorical
        Categories: whole numbers (their sorted distinct values are the
        ordered categories) or an ordered pandas Categorical; at least two,
        each observed.
    exog : array_like, shape (n, k)
        Covariates, without a constant column (the cut points play that part).
    m : int, optional
        Number of coefficients of p, 1 to 6.  With ``m = 1`` the noise is
        logistic: the ordered logit.

    Notes
    -----
    Identification.  The noise's own location and scale are fixed at
    ``loc = 0``, ``scale = 1``: a shift of e is a shift of every cut point,
    and a stretch of e a common factor of b and the cut points.  p is known
    up to a factor: its largest coefficient is fixed at 1 (see
    `AdjustedLogistic.fit`).  The cut points are estimated as the first one
    and the logarithms of the increments, which keeps them ordered, and
    reported as cut points (standard errors by the delta method).
    """

    def __init__(self, endog, exog, m=3):
        check_coefficients("m", m)
        self.endog, self.labels = _categories(endog)
        if len(self.labels) < 2:
            raise ValueError(f"endog must have at least two categories, got {len(self.labels)}")
        self.exog, self.exog_names = _design(exog, self.endog.size)
        self.pandas = hasattr(exog, "columns") or hasattr(endog, "index")
        self.m = m
        self.k_levels = len(self.labels)
        cuts = [f"{a}/{b}" for a, b in zip(self.labels[:-1], self.labels[1:])]
        self.param_names = [*self.exog_names, *cuts, *(f"p{i}" for i in range(m) if m > 1)]

    @property
    def nobs(self):
        return self.endog.size

    def _edges(self, cuts):
        return np.concatenate([[-np.inf], cuts, [np.inf]])

    def _split(self, params):
        k, K = self.exog.shape[1], self.k_levels
        params = as_real("params", params)
        if params.shape != (len(self.param_names),):
            raise ValueError(f"params must have {len(self.param_names)} values, got shape {params.shape}")
        p = params[k + K - 1:] if self.m > 1 else np.ones(1)
        return params[:k], params[k:k + K - 1], p

    def loglike(self, params):
        """Log-likelihood at params: slopes, cut points, then p (if m > 1)."""
        b, cuts, p = self._split(params)
        edges, eta = self._edges(cuts), self.exog @ b
        lo, hi = edges[self.endog] - eta, edges[self.endog + 1] - eta
        return float(accurate.log_probability_between(lo, hi, 0.0, 1.0, p).sum())

    def _objective(self, X, y):
        """Over (X, y): the negative log-likelihood, its gradient in
        other = (b, c_1, log increments) and p, and if outer the outer
        products of the observations' gradients."""
        k, K = X.shape[1], self.k_levels
        # Observation i has its interval between edges y_i and y_i + 1; cut
        # point j + 1 moves with the j-th increment.
        above = (y[:, None] >= np.arange(2, K)).astype(float)
        at_top = (y[:, None] + 1 >= np.arange(2, K)).astype(float)

        def objective(other, p, outer):
            b, first, steps = other[:k], other[k], np.exp(other[k + 1:])
            edges = self._edges(first + np.concatenate([[0.0], np.cumsum(steps)]))
            eta = X @ b
            value, d_lo, d_hi, _, _, d_p = accurate.log_probability_between_grad(
                edges[y] - eta, edges[y + 1] - eta, 0.0, 1.0, p)
            # An infinite end has derivative 0, so every end counts as a cut point.
            both = d_lo + d_hi
            g = np.concatenate([X.T @ both, [-both.sum()], -(d_lo @ above + d_hi @ at_top) * steps,
                                -d_p.sum(0)])
            if not outer:
                return -value.sum(), g, None
            # The observations' gradients, whose sum is g, for their outer products.
            G = -np.column_stack([-both[:, None] * X, both, (d_lo[:, None] * above
                                  + d_hi[:, None] * at_top) * steps, d_p])
            return -value.sum(), g, G.T @ G

        return objective

    def _starts(self, j):
        """b = 0 and cut points at the noise's quantiles of the observed
        cumulative frequencies, for each starting shape of j coefficients."""
        k = self.exog.shape[1]
        cum = np.cumsum(np.bincount(self.endog, minlength=self.k_levels))[:-1] / self.nobs
        for q in start_shapes(j):
            cuts = accurate.ppf(cum, 0.0, 1.0, q)
            yield np.concatenate([np.zeros(k), cuts[:1], np.log(np.diff(cuts))]), q

    def fit(self):
        """Maximum likelihood with the exact gradient of log_probability_between.

        From several starting shapes of p (b = 0, the cut points at the
        noise's quantiles of the observed cumulative frequencies), as in
        `AdjustedLogistic.fit`; standard errors from the observed information.

        Returns
        -------
        OrderedRegressionResults
        """
        n = self.nobs
        step = max(1, n // SEARCH_POINTS)
        sub = slice(None, None, step)
        search = self._objective(self.exog[sub], self.endog[sub])
        it, H, converged, nit = maximize(
            self._objective(self.exog, self.endog), search, n, self.endog[sub].size, self._starts, self.m)
        return self._results(it, H, converged, nit)

    def _results(self, it, H, converged, nit):
        """Estimates as (b, cut points, p) and their covariance by the
        Jacobian of (b, c_1, log increments, free p) -> (b, cut points, p)."""
        k, K, m = self.exog.shape[1], self.k_levels, self.m
        n_other = k + K - 1
        theta, fixed = it.theta, it.fixed
        other, p = it.point()
        steps = np.exp(other[k + 1:])
        cuts = other[k] + np.concatenate([[0.0], np.cumsum(steps)])
        J = np.zeros((len(self.param_names), theta.size))
        J[:k, :k] = np.eye(k)
        J[k:n_other, k] = 1.0
        J[k + 1:n_other, k + 1:n_other] = np.tril(np.ones((K - 2, K - 2))) * steps
        if m > 1:
            J[n_other:, n_other:] = np.delete(np.eye(m), fixed, axis=1)
        cov = J @ np.linalg.inv(H) @ J.T / self.nobs
        params = np.concatenate([other[:k], cuts, p if m > 1 else []])
        if m > 1:
            cov[n_other + fixed, :] = cov[:, n_other + fixed] = np.nan
        return OrderedRegressionResults(self, params, p, cov, -self.nobs * it.f, converged, nit,
                                        it.relative_gradient())


class OrderedRegressionResults(LikelihoodResults):
    """Result of `OrderedRegression.fit`.

    Besides the attributes of the likelihood results: ``model``, ``noise``
    (the fitted noise distribution, an `AdjustedLogistic` at loc 0, scale 1)
    and `predict`.
    """

    title = "OrderedRegression maximum likelihood"

    def __init__(self, model, params, p, cov, llf, converged, nit, rel):
        k = model.exog.shape[1]
        super().__init__(params, model.param_names, cov, llf, model.nobs,
                         k + model.k_levels - 1 + model.m - 1, converged, nit, rel, model.pandas)
        self.model = model
        self.noise = AdjustedLogistic(p)
        self.cutpoints = params[k:k + model.k_levels - 1]

    def predict(self, exog=None):
        """Category probabilities, shape (n, K), for exog (the model's by default)."""
        X = self.model.exog if exog is None else _matrix(exog, np.shape(exog)[0])
        k = self.model.exog.shape[1]
        if X.shape[1] != k:
            raise ValueError(f"exog must have {k} columns, got {X.shape[1]}")
        eta = X @ self._params[:k]
        edges = self.model._edges(self.cutpoints)
        return self.noise.probability_between(edges[:-1] - eta[:, None], edges[1:] - eta[:, None])
