"""Ordered-response regression with polynomially adjusted logistic noise."""

import numpy as np

from . import accurate
from ._fit import LikelihoodResults, covariance
from ._frozen import AdjustedLogistic, as_real, check_coefficients
from .models import likelihood, search

# Observations of the sketch on which a large sample's starts are screened.
SKETCH = 2000
# Random shapes of p at each number of coefficients j: RANDOM j.
RANDOM = 4


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
    `AdjustedLogistic.fit`).  The cut points are estimated themselves, as
    R's ``ordinal`` does: disordered cut points give an
    interval of probability 0, which the search never steps to.
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

    def _block(self):
        """The model's observations as bounds: category j lies between cut
        points j and j + 1, each a column of the design beside -exog; the
        first and last categories are open at -inf and +inf."""
        n, k, K = self.nobs, self.exog.shape[1], self.k_levels
        y = self.endog
        rows = np.arange(n)

        def end(index, infinite):
            D = np.zeros((n, k + K - 1))
            D[:, :k] = -self.exog
            inside = (index >= 0) & (index < K - 1)
            D[rows[inside], k + index[inside]] = 1.0
            D[~inside] = 0.0
            return np.where(inside, 0.0, infinite), D

        lo, D_lo = end(y - 1, -np.inf)
        hi, D_hi = end(y, np.inf)
        return likelihood.Block(lo, D_lo, hi, D_hi, np.zeros((n, 0)))

    def _starts(self, j, best):
        """For the ordered logit, b = 0 and the cut points at the logistic
        quantiles of the observed cumulative frequencies; then each starting
        shape of j coefficients, and RANDOM j shapes of standard normal
        coefficients, with b and the cut points of the best fit so far moved
        and stretched to the shape's mean and sd (the random ones stretched
        once more, by a random factor from 1/3 to 3), and above two
        coefficients also from the ordered logit."""
        k = self.exog.shape[1]
        if best is None:
            cum = np.cumsum(np.bincount(self.endog, minlength=self.k_levels))[:-1] / self.nobs
            # The ordered logit is concave in b and the cut points: one
            # start when it is the fit, three (stretched by 1/2, 1 and 2)
            # when it seeds the shapes.
            cuts = np.log(cum / (1 - cum))
            stretches = (1.0,) if self.m == 1 else (1.0, 0.5, 2.0)
            return [(np.concatenate([np.zeros(k), cuts * r]), np.ones(1)) for r in stretches]
        if j == 2:
            self._logit = best
        shapes = search.SHAPES[j] + list(self._rng.normal(size=(RANDOM * j, j)))
        # The random shapes also stretched by a random factor from 1/3 to 3.
        stretch = np.concatenate([np.ones(len(search.SHAPES[j])),
                                  np.exp(self._rng.uniform(-np.log(3), np.log(3), RANDOM * j))])
        matched = search.matched_shapes(j, 0.0, 1.0, shapes)
        starts = []
        # From the best fit so far and, while that may have wandered (a
        # shape that trades b for its modes), from the ordered logit.
        for fit in [best] if j == 2 else [best, self._logit]:
            phi, p = fit.phi[0], fit.p[0]
            mean = float(accurate.mean(0.0, 1.0, p))
            sd = float(np.sqrt(accurate.var(0.0, 1.0, p)))
            b, cuts = phi[:k], phi[k:]
            for (loc, scale, q), more in zip(matched, stretch):
                # The noise e' of shape q has mean -loc / scale and sd
                # 1 / scale: e = mean + sd (e' + loc / scale) scale keeps b
                # and the cut points' meaning, in units of e'.
                r = more / (scale * sd)
                starts.append((np.concatenate([b * r, (cuts - mean) * r - loc / scale]), q))
        return starts

    def fit(self):
        """Maximum likelihood with the exact Hessian of log_probability_between.

        Newton's method from several starts for each number of coefficients
        up to m (see `distribution.models.search`); standard errors from the
        observed information.

        Returns
        -------
        OrderedRegressionResults
        """
        block = self._block()
        self._rng = np.random.default_rng(0)

        def evaluate(phi, p, want):
            return likelihood.sums(block, phi, np.zeros((len(phi), 0)), p, want)

        q = self.exog.shape[1] + self.k_levels - 1
        objective = search.Objective(evaluate, q, self.nobs)
        sketch = None
        if self.nobs > 2 * SKETCH and self.m > 1:
            # Every k-th observation, each standing for k, for the screening.
            rows = block.rows(np.arange(0, self.nobs, self.nobs // SKETCH))
            rows.weights = np.full(rows.n, self.nobs / rows.n)

            def on_sketch(phi, p, want):
                return likelihood.sums(rows, phi, np.zeros((len(phi), 0)), p, want)

            sketch = search.Objective(on_sketch, q, self.nobs,
                                      lambda phi, p: likelihood.terms(rows, phi, np.zeros((len(phi), 0)), p))
        return self._results(search.search(objective, self._starts, self.m, sketch)[-1])

    def _results(self, degree):
        """Estimates as (b, cut points, p), their covariance the inverse of
        the observed information in the chart of p."""
        best = degree.best
        figures = search.diagnose(degree, self.nobs, stacklevel=3, concave=self.m == 1)
        k, K, m = self.exog.shape[1], self.k_levels, self.m
        n_other = k + K - 1
        fixed, p = int(best.fixed[0]), best.p[0]
        J = np.zeros((len(self.param_names), best.theta.shape[1]))
        J[:n_other, :n_other] = np.eye(n_other)
        if m > 1:
            J[n_other:, n_other:] = np.delete(np.eye(m), fixed, axis=1)
        cov = covariance(J, best.H[0], self.nobs)
        params = np.concatenate([best.phi[0], p if m > 1 else []])
        if m > 1:
            cov[n_other + fixed, :] = cov[:, n_other + fixed] = np.nan
        return OrderedRegressionResults(self, params, p, cov, -self.nobs * best.f[0], figures["converged"],
                                        degree.nit, figures["rel_grad"], figures)


class OrderedRegressionResults(LikelihoodResults):
    """Result of `OrderedRegression.fit`.

    Besides the attributes of the likelihood results: ``model``, ``noise``
    (the fitted noise distribution, an `AdjustedLogistic` at loc 0, scale 1)
    and `predict`.
    """

    title = "OrderedRegression maximum likelihood"

    def __init__(self, model, params, p, cov, llf, converged, nit, rel, figures):
        k = model.exog.shape[1]
        super().__init__(params, model.param_names, cov, llf, model.nobs,
                         k + model.k_levels - 1 + model.m - 1, converged, nit, rel, model.pandas, figures)
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
