"""What every regression model shares: the search on its block of
observations, the estimates and their covariance, and `fit` and
`select_degree`.

A model's parameters at the optimiser are phi = (beta, g), beta the
coefficients of the ends' designs and g those of the log-scale, then p.  A
model may fit in its own units (a standardised response) and report in the
user's: the reported (beta, g) are a + A phi, a linear map, and p is as it
is, with its largest coefficient fixed at 1.
"""

import numpy as np

from . import inference, likelihood, search

# Observations of the sketch on which a large sample's starts are screened.
SKETCH = 2000


def run_search(block, kb, starts, m, every=False):
    """The Degree of each j up to m on the block, phi = (beta (kb), g); with
    more than 2 SKETCH observations, the starts are screened on every k-th
    of them, its weight scaled to stand for k."""
    total = float(block.weights.sum())

    def on(rows):
        return lambda phi, p, want: likelihood.sums(rows, phi[:, :kb], phi[:, kb:], p, want)

    n_phi = kb + block.Z.shape[1]
    sketch = None
    if block.n > 2 * SKETCH and m > 1:
        rows = block.rows(np.arange(0, block.n, block.n // SKETCH))
        rows.weights = rows.weights * (total / rows.weights.sum())
        sketch = search.Objective(on(rows), n_phi, total,
                                  lambda phi, p: likelihood.terms(rows, phi[:, :kb], phi[:, kb:], p))
    return search.search(search.Objective(on(block), n_phi, total), starts, m, sketch, every), total


def estimates(degree, request, block, kb, total, codes=None, A=None, a=None, concave=False):
    """(params, cov, fixed, figures) at the degree's best point: params =
    (a + A phi, p if m > 1), the covariance of the type asked for carried
    there (the row of p's fixed coefficient 0); `codes`, the block's group
    codes for a cluster covariance."""
    best = degree.best
    figures = search.diagnose(degree, total, stacklevel=4, concave=concave)
    n_phi, m = best.phi.shape[1], best.p.shape[1]
    A = np.eye(n_phi) if A is None else A
    a = np.zeros(n_phi) if a is None else a
    fixed = int(best.fixed[0])
    J = np.zeros((n_phi + (m if m > 1 else 0), best.theta.shape[1]))
    J[:n_phi, :n_phi] = A
    if m > 1:
        J[n_phi:, n_phi:] = np.delete(np.eye(m), fixed, axis=1)
    meat = None
    if request.cov_type != "nonrobust":
        scores = likelihood.scores(block, best.phi[:, :kb], best.phi[:, kb:], best.p)
        meat = request.meat_part(scores[:, inference.free_columns(best)], block.weights, codes)
    cov = inference.covariance(request, best, total, meat, J)
    params = np.concatenate([a + A @ best.phi[0], best.p[0] if m > 1 else []])
    is_fixed = np.zeros(params.size, bool)
    if m > 1:
        is_fixed[n_phi + fixed] = True
    return params, cov, is_fixed, figures


class RegressionModel:
    """`fit` and `select_degree` over a model's hooks: ``_block()`` (its
    observations of positive weight), ``_starts(m)``, ``_rows()`` (their
    indices), ``_with_m(m)`` and ``_results(degree, request, block,
    total)``; ``sampling`` and ``n_rows``."""

    def _request(self, cov_type, groups):
        return inference.CovarianceRequest(cov_type, groups, self.n_rows, self.sampling)

    def _codes(self, request):
        return None if request.codes is None else request.codes[self._rows()]

    def _search(self, m, every=False):
        block = self._block()
        degrees, total = run_search(block, self._kb, self._starts(m), m, every)
        return degrees, block, total

    def fit(self, cov_type=None, groups=None):
        """Maximum likelihood with exact Hessians: Newton's method from many
        starts at each number of coefficients up to m (see
        `distribution.models.search`).

        Parameters
        ----------
        cov_type : {"nonrobust", "robust", "cluster"}, optional
            The covariance of the estimates: the inverse observed
            information ("nonrobust", the default), the HC0 sandwich
            ("robust", the default with sampling weights) or the sandwich of
            score sums by group ("cluster", statsmodels' small-sample
            factor); see the Inference page.
        groups : array_like, shape (n,), optional
            Cluster labels, for ``cov_type="cluster"``.
        """
        request = self._request(cov_type, groups)
        degrees, block, total = self._search(self.m)
        return self._results(degrees[-1], request, block, total)

    def select_degree(self, max_m=6, cov_type=None, groups=None):
        """Fits with m = 1 ... max_m coefficients of p from one search (the
        degrees the search passes through anyway, each converged on all the
        data), and their table: llf, free parameters, AIC, BIC and the
        likelihood-ratio test against m = 1 (logistic noise).

        Returns
        -------
        DegreeSelection
            ``fits`` (the results of each m), ``summary_frame()``,
            ``best(criterion="bic")``.
        """
        from .._fit import DegreeSelection
        from .._frozen import check_coefficients

        check_coefficients("max_m", max_m)
        request = self._request(cov_type, groups)
        degrees, block, total = self._search(max_m, every=True)
        fits = {}
        for degree in degrees:  # a loop, not a comprehension: the warnings' stack levels
            fits[degree.m] = self._with_m(degree.m)._results(degree, request, block, total)
        return DegreeSelection(fits)
