"""Ordered-response regression with polynomially adjusted logistic noise."""

import numpy as np

from .. import accurate
from .._checks import (as_real, check_coefficients, dask_together, is_dask, matrix, numpy_only, offset as
                       check_offset, weighting)
from .._frozen import AdjustedLogistic
from . import likelihood, regression, starts
from .formula import parse_formula
from .results import RegressionResults, normal_isf


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


def _design(exog, n):
    names = [str(c) for c in exog.columns] if hasattr(exog, "columns") else None
    X = matrix("exog", exog, n)
    names = names or [f"x{i + 1}" for i in range(X.shape[1])]
    constant = np.ptp(X, axis=0) == 0 if n else np.zeros(X.shape[1], bool)
    if constant.any():
        raise ValueError(f"exog column {names[int(np.argmax(constant))]!r} is constant: "
                         "the cut points take the place of a constant")
    return X, names


def _dask_data(endog, exog, weights, sampling_weights, offset):
    """(codes, labels, X, names) of Dask data, checked with one pass: the
    categories are the distinct values, found on the workers."""
    import dask
    import dask.array as da

    numpy_only(weights=weights, sampling_weights=sampling_weights, offset=offset)
    dask_together("endog and exog", endog, exog)
    if endog.ndim != 1 or exog.ndim not in (1, 2) or exog.shape[0] != endog.shape[0]:
        raise ValueError(f"endog must be one-dimensional and exog (n, k), got shapes {endog.shape} and {exog.shape}")
    X = exog[:, None] if exog.ndim == 1 else exog
    if endog.dtype.kind not in "biuf" or X.dtype.kind not in "biuf":
        raise TypeError("endog and exog must be real numbers")
    values, finite, low, high = dask.compute(da.unique(endog), da.isfinite(X).all(), X.min(axis=0), X.max(axis=0))
    values = np.asarray(values, float)
    if not np.isfinite(values).all():
        raise ValueError("endog has NaN or infinite values")
    if (values != np.round(values)).any():
        raise ValueError("endog must hold whole numbers (ordered category codes), got fractions")
    if not finite:
        raise ValueError("exog has NaN or infinite values")
    names = [f"x{i + 1}" for i in range(X.shape[1])]
    if (low == high).any():
        raise ValueError(f"exog column {names[int(np.argmax(low == high))]!r} is constant: "
                         "the cut points take the place of a constant")
    codes = endog.map_blocks(lambda v: np.searchsorted(values, v), dtype=np.intp)
    return codes, [int(v) for v in values], X, names


class CategoryPrediction:
    """Predicted category probabilities with delta-method standard errors:
    ``predicted`` and ``se`` (n, K); `conf_int`."""

    def __init__(self, predicted, se):
        self.predicted, self.se = predicted, se

    def conf_int(self, alpha=0.05):
        """Normal intervals on the logit scale, logit(P) +- z se / (P (1 -
        P)), mapped back: (n, K, 2), inside [0, 1]."""
        if not 0 < alpha < 1:
            raise ValueError(f"alpha must lie in (0, 1), got {alpha!r}")
        P = self.predicted
        with np.errstate(divide="ignore", invalid="ignore"):
            logit = np.log(P) - np.log1p(-P)
            half = normal_isf(alpha / 2) * self.se / (P * (1 - P))
        return np.stack([1 / (1 + np.exp(-(logit - half))), 1 / (1 + np.exp(-(logit + half)))], axis=-1)


class OrderedRegressionResults(RegressionResults):
    """Result of `OrderedRegression.fit`.

    Besides the attributes of the likelihood results: ``model``, ``noise``
    (the fitted noise distribution, an `AdjustedLogistic` at loc 0, scale 1),
    ``cutpoints``, `predict`, `get_prediction`, `get_margeff`, `lr_test`
    and `noise_summary`.  `get_margeff` gives the effects on each
    category's probability (they sum to 0 over the categories).
    """

    title = "OrderedRegression maximum likelihood"

    def __init__(self, model, params, cov, llf, nit, figures, fixed, request):
        super().__init__(model, params, cov, llf, nit, figures, fixed, request)
        self.cutpoints = model.cutpoints(self._params)

    def predict(self, exog=None, offset=None):
        """Category probabilities, shape (n, K), for exog (the model's by default)."""
        return self.model.predict(self._params, exog, offset)

    def get_prediction(self, exog=None, offset=None):
        """Category probabilities with delta-method standard errors under
        this fit's covariance type.

        Returns
        -------
        CategoryPrediction
            ``predicted`` (n, K), ``se`` (n, K) and ``conf_int(alpha)`` (n,
            K, 2), intervals formed on the logit scale, so that they stay
            inside [0, 1].
        """
        predicted, jac = self.model.predict(self._params, exog, offset, jacobian=True)
        var = np.einsum("nkp,pq,nkq->nk", jac, self._cov, jac)
        return CategoryPrediction(predicted, np.sqrt(np.maximum(var, 0.0)))


class OrderedRegression(regression.RegressionModel):
    """Ordered-response regression with polynomially adjusted logistic noise.

    The response falls in category j when the latent ``y* = exog @ b +
    offset + e`` lies in ``(c_j, c_(j+1)]``, with cut points
    ``c_1 < ... < c_(K-1)`` (``c_0 = -inf``, ``c_K = inf``) and noise ``e``
    of density proportional to ``p(e)**2 f(e)``, f the standard logistic
    density:

        P(y = j | x) = P(c_j - x b - offset < e <= c_(j+1) - x b - offset).

    Parameters
    ----------
    endog : array_like or pandas Categorical
        Categories: whole numbers (their sorted distinct values are the
        ordered categories) or an ordered pandas Categorical; at least two,
        each observed.
    exog : array_like, shape (n, k)
        Covariates, without a constant column (the cut points play that part).
        endog and exog may both be Dask arrays (see the Dask page): the fit
        is then summed chunk by chunk on the workers.
    m : int, optional
        Number of coefficients of p, 1 to 6.  With ``m = 1`` the noise is
        logistic: the ordered logit.
    weights : array_like, shape (n,), optional
        Frequency weights: row i stands for ``weights[i]`` identical
        observations (counts per cell).  The fit, its standard errors and
        ``nobs`` are those of the replicated rows.
    sampling_weights : array_like, shape (n,), optional
        Sampling (probability) weights: the fit maximises the weighted
        pseudo-log-likelihood and its covariance is the sandwich.
    offset : array_like, shape (n,), optional
        A known term of the latent index, with coefficient 1.

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

    results_class = OrderedRegressionResults
    concave = True  # the ordered logit's log-likelihood

    def __init__(self, endog, exog, m=3, weights=None, sampling_weights=None, offset=None):
        check_coefficients("m", m)
        if is_dask(endog) or is_dask(exog):
            self.endog, self.labels, self.exog, self.exog_names = _dask_data(endog, exog, weights,
                                                                             sampling_weights, offset)
            self.weights, self.sampling, self.offset = None, False, None
            self.pandas = False
        else:
            self.endog, self.labels = _categories(endog)
            n = self.endog.size
            self.exog, self.exog_names = _design(exog, n)
            self.weights, self.sampling = weighting(n, weights, sampling_weights)
            self.offset = check_offset(offset, n)
            self.pandas = hasattr(exog, "columns") or hasattr(endog, "index")
        if len(self.labels) < 2:
            raise ValueError(f"endog must have at least two categories, got {len(self.labels)}")
        if self.weights is not None:
            unused = set(range(len(self.labels))) - set(self.endog[self.weights > 0].tolist())
            if unused:
                raise ValueError(f"category {self.labels[min(unused)]!r} has no observation of positive weight")
        self.k_levels = len(self.labels)
        self.n_rows = int(self.endog.shape[0])
        self.k_ends = self.exog.shape[1] + self.k_levels - 1
        self.rows = regression.Rows({k: v for k, v in (("y", self.endog), ("X", self.exog),
                                                       ("offset", self.offset), ("w", self.weights))
                                     if v is not None})
        self.set_m(m)

    def phi_names(self):
        return [*self.exog_names, *(f"{a}/{b}" for a, b in zip(self.labels[:-1], self.labels[1:]))]

    @classmethod
    def from_formula(cls, formula, data, m=3, **kwargs):
        """The model of a formula ``"y ~ x1 + C(g)"`` on a DataFrame, through
        formulaic (``pip install formulaic``).  The design's intercept is
        dropped: the cut points take its place.  y is a column of whole
        numbers or an ordered Categorical; other keywords go to the model."""
        (y,), X = parse_formula(formula, data, ("y",))
        X = X.drop(columns=[c for c in X.columns if c == "Intercept"])
        return cls(y, X, m=m, **kwargs)

    def _split(self, params):
        """(slopes, cut points, p) of a parameter vector, checked."""
        k = self.exog.shape[1]
        params = as_real("params", params)
        if params.shape != (len(self.param_names),):
            raise ValueError(f"params must have {len(self.param_names)} values, got shape {params.shape}")
        return params[:k], params[k:self.k_ends], self.noise_coefficients(params)

    def cutpoints(self, params):
        return self._split(params)[1]

    def loglike(self, params):
        """Log-likelihood at params: slopes, cut points, then p (if m > 1)."""
        b, cuts, p = self._split(params)
        edges = np.concatenate([[-np.inf], cuts, [np.inf]])

        def chunk_llf(chunk):
            y = chunk["y"].astype(np.intp)
            eta = chunk["X"] @ b + regression.chunk_offset(chunk)
            terms = accurate.log_probability_between(edges[y] - eta, edges[y + 1] - eta, 0.0, 1.0, p)
            w = chunk.get("w")
            return float(terms.sum() if w is None else terms[w > 0] @ w[w > 0])

        return float(self.rows.sum(chunk_llf))

    def make_block(self, chunk):
        """A chunk's observations of positive weight as bounds: category j
        lies between cut points j and j + 1, each the unit column of its
        end beside the design -exog, less the offset; the first and last
        categories are open at -inf and +inf."""
        w = chunk.get("w")
        keep = np.arange(chunk["y"].shape[0]) if w is None else np.flatnonzero(w > 0)
        k, K = self.exog.shape[1], self.k_levels
        y = chunk["y"][keep].astype(np.intp)
        offset = regression.chunk_offset(chunk)[keep]

        def end(index, infinite):
            inside = (index >= 0) & (index < K - 1)
            return np.where(inside, -offset, infinite), np.where(inside, k + index, -1)

        lo, idx_lo = end(y - 1, -np.inf)
        hi, idx_hi = end(y, np.inf)
        return likelihood.Block(lo, hi, chunk["X"][keep], idx_lo, idx_hi, weights=None if w is None else w[keep],
                                row_index=chunk["start"] + keep)

    def starts(self, m):
        """For the ordered logit, b = 0 and the cut points at the logistic
        quantiles of the observed cumulative frequencies; then each starting
        shape of j coefficients, and RANDOM j shapes of standard normal
        coefficients, with b and the cut points of the best fit so far moved
        and stretched to the shape's mean and sd (the random ones stretched
        once more, by a random factor from 1/3 to 3), and above two
        coefficients also from the ordered logit."""
        k = self.exog.shape[1]

        def logistic():
            counts = self.rows.sum(lambda c: np.bincount(c["y"].astype(np.intp), weights=c.get("w"),
                                                         minlength=self.k_levels))
            cum = np.cumsum(counts)[:-1] / counts.sum()
            # The ordered logit is concave in b and the cut points: one
            # start when it is the fit, three (stretched by 1/2, 1 and 2)
            # when it seeds the shapes.
            cuts = np.log(cum / (1 - cum))
            stretches = (1.0,) if m == 1 else (1.0, 0.5, 2.0)
            return [(np.concatenate([np.zeros(k), cuts * r]), np.ones(1)) for r in stretches]

        def reshape(phi, mean, sd, loc, scale, more):
            # The noise e' of shape q has mean -loc / scale and sd
            # 1 / scale: e = mean + sd (e' + loc / scale) scale keeps b
            # and the cut points' meaning, in units of e'.
            r = more / (scale * sd)
            return np.concatenate([phi[:k] * r, (phi[k:] - mean) * r - loc / scale])

        return starts.regression_starts(logistic, reshape)

    # ------------------------------------------------------ predictions
    def noise(self, params, scaled=False):
        return AdjustedLogistic(self.noise_coefficients(params))

    def slopes(self):
        return np.arange(self.exog.shape[1]), self.exog_names

    def _exog(self, exog, offset):
        if exog is None:
            if self.rows.dask:
                raise TypeError("the model's data are Dask arrays: give exog (NumPy) to predict at")
            return self.exog, self.offset if offset is None else check_offset(offset, self.n_rows)
        X = matrix("exog", exog, np.shape(exog)[0])
        k = self.exog.shape[1]
        if X.shape[1] != k:
            raise ValueError(f"exog must have {k} columns, got {X.shape[1]}")
        return X, check_offset(offset, X.shape[0])

    def predict(self, params, exog=None, offset=None, jacobian=False):
        """Category probabilities at params, shape (n, K), for exog (the
        model's by default); with `jacobian`, also their Jacobian in the
        parameters, (n, K, len(params))."""
        b, cuts, p = self._split(params)
        X, offset = self._exog(exog, offset)
        if jacobian:
            return self._at_edges(params, X, offset, "cdf")
        eta = X @ b + offset
        edges = np.concatenate([[-np.inf], cuts, [np.inf]])
        return AdjustedLogistic(p).probability_between(edges[:-1] - eta[:, None], edges[1:] - eta[:, None])

    def _at_edges(self, params, X, offset, kind, w=None):
        """Per observation and category: the category probability ("cdf") or
        the density difference f(c_(j+1) - eta) - f(c_j - eta) ("pdf"),
        (n, K), and its Jacobian in the parameters, (n, K, len(params));
        with weights w, their weighted sums over the observations, (K,) and
        (K, len(params)), without the per-observation arrays.

        At each finite cut point t, with u = c_t - eta and G = F or f: the
        value G(u), dG/du (which is -dG/deta and dG/dc_t) and dG/dp from
        the accurate gradients (the density's as f times those of log f).
        A category's value is G at its upper cut less G at its lower one."""
        k, K, m = X.shape[1], self.k_levels, self.m
        b, cuts, p = self._split(params)
        u = cuts[None, :] - (X @ b + offset)[:, None]  # (n, K-1)
        if kind == "cdf":
            G, dG, _, _, dGp = accurate.cdf_grad(u, 0.0, 1.0, p)
        else:
            v, dv, _, _, dvp = accurate.logpdf_grad(u, 0.0, 1.0, p)
            G = np.exp(v)
            dG, dGp = G * dv, G[..., None] * dvp
        cut = np.arange(K - 1)
        if w is None:
            # Jacobian of G at each cut point: slopes, cut points, p.
            jac = np.zeros((u.shape[0], K - 1, len(params)))
            jac[:, :, :k] = -dG[..., None] * X[:, None, :]
            jac[:, cut, k + cut] = dG
        else:
            G, dGp = w @ G, np.tensordot(w, dGp, axes=1)
            jac = np.zeros((K - 1, len(params)))
            jac[:, :k] = -(dG * w[:, None]).T @ X
            jac[cut, k + cut] = w @ dG
        if m > 1:
            jac[..., k + K - 1:] = dGp
        # The categories' values: G padded with its limits at -inf and +inf.
        axis = G.ndim - 1
        low, high = np.zeros_like(np.take(G, [0], axis)), np.full_like(np.take(G, [0], axis), float(kind == "cdf"))
        if w is not None:
            high *= w.sum()
        value = np.diff(np.concatenate([low, G, high], axis=axis), axis=axis)
        pad = np.zeros_like(np.take(jac, [0], axis))
        return value, np.diff(np.concatenate([pad, jac, pad], axis=axis), axis=axis)

    def _margin_sums(self, chunk, params, binary):
        """A chunk's weighted sums for the margins: the density difference
        of each category and its Jacobian, and for each `binary` covariate
        the category probabilities and their Jacobians at 0 and at 1."""
        X, w, offset = chunk["X"], regression.chunk_weights(chunk), regression.chunk_offset(chunk)
        out = list(self._at_edges(params, X, offset, "pdf", w))
        ends = [[], []]
        for c in np.flatnonzero(binary):
            for level in (0, 1):
                Xc = X.copy()
                Xc[:, c] = level
                ends[level].append(self._at_edges(params, Xc, offset, "cdf", w))
        for level in (0, 1):
            out += [np.array([e[0] for e in ends[level]]).reshape(-1, self.k_levels),
                    np.array([e[1] for e in ends[level]]).reshape(-1, self.k_levels, params.size)]
        return tuple(out)

    def margins(self, params, at, dummy, free):
        """The effects of each covariate on each category's probability, and
        their exact Jacobian (from cdf_grad and logpdf_grad)."""
        k, K = self.exog.shape[1], self.k_levels
        binary = np.zeros(k, bool)
        if dummy:
            binary = self.rows.sum(lambda c: (~np.isin(c["X"], (0.0, 1.0))).sum(axis=0)) == 0
        W, point = self.rows.mean_row(["X", "offset"])
        if at == "mean":
            sums, W = self._margin_sums(point, params, binary), 1.0
        else:
            sums = self.rows.sum(self._margin_sums, params, binary)
        density, d_density, at_0, d_at_0, at_1, d_at_1 = (part / W for part in sums)
        b = params[:k]
        effect = -b[:, None] * density[None, :]  # (k, K)
        jac = -b[:, None, None] * d_density[None, :, :]
        jac[np.arange(k), :, np.arange(k)] -= density[None, :]
        effect[binary], jac[binary] = at_1 - at_0, d_at_1 - d_at_0
        names = [(x, f"P(y={label})") for x in self.exog_names for label in self.labels]
        title = "Average marginal effects" if at == "overall" else "Marginal effects at the mean"
        return title, names, effect.ravel(), jac.reshape(k * K, -1)
