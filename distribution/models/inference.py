"""Weights, groups and the covariance of the estimates, for every model.

Weights.  Frequency weights w_i count replicated rows: the log-likelihood
is sum_i w_i l_i, nobs = sum_i w_i, and every figure is that of the
replicated data.  Sampling weights give the pseudo-log-likelihood of the
same sum, whose Hessian is not the scores' variance: only the sandwich
estimates its covariance, with nobs the number of rows.

Covariance types, of theta, the free parameters of the fit, with H the
Hessian of the negative log-likelihood and s_i the scores of observation i:
- "nonrobust": H^-1, the inverse observed information;
- "robust": H^-1 B H^-1 with B = sum_i c_i s_i s_i' (HC0), c_i = w_i for
  frequency weights (each replicate's own s s') and w_i^2 for sampling
  weights;
- "cluster": B = sum_g S_g S_g', S_g = sum_(i in g) w_i s_i, times
  statsmodels' (and Stata's) factor G / (G - 1) (N - 1) / (N - K), G groups,
  N = nobs, K free parameters.
Reported parameters are a map of theta with Jacobian J, and their
covariance J V J'.  A coefficient that the normalisation fixes has a zero
row in J: variance 0, and nothing downstream meets a NaN.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, cast

import numpy as np
from numpy.typing import ArrayLike

from .._checks import check_groups
from .block import Array, Index

if TYPE_CHECKING:
    from .search import Points

COV_TYPES = ("nonrobust", "robust", "cluster")


class CovarianceRequest:
    """A fit's cov_type and groups, checked; `sampling` forces the sandwich."""

    cov_type: str
    sampling: bool
    codes: Index | None
    n_groups: int

    def __init__(self, cov_type: str | None, groups: ArrayLike | None, n: int, sampling: bool) -> None:
        if cov_type is None:
            cov_type = "robust" if sampling else "nonrobust"
        if cov_type not in COV_TYPES:
            raise ValueError(f"cov_type must be one of {', '.join(map(repr, COV_TYPES))}, got {cov_type!r}")
        if sampling and cov_type == "nonrobust":
            raise ValueError("sampling weights give a pseudo-likelihood, whose covariance is the sandwich: "
                             "cov_type must be 'robust' or 'cluster'")
        if cov_type != "cluster" and groups is not None:
            raise ValueError("groups are used only with cov_type='cluster'")
        self.cov_type, self.sampling = cov_type, sampling
        self.codes, self.n_groups = check_groups(groups, n) if cov_type == "cluster" else (None, 0)

    def meat_part(self, scores: Array, w: Array | None) -> Array:
        """A block's share of B for "robust", from its scores (n, K) in
        theta and weights w (None for 1): (K, K).  ("cluster" sums the
        scores by group first: `group_sums`.)"""
        w = np.ones(scores.shape[0]) if w is None else w
        c = w * w if self.sampling else w
        return (scores * c[:, None]).T @ scores

    def theta_covariance(self, H: Array, meat: Array | None, nobs: float) -> Array:
        """The covariance of theta from H, the Hessian of the negative
        log-likelihood (its sum, not mean), and the summed meat parts."""
        k = H.shape[0]
        try:
            bread = cast(Array, np.linalg.inv(H))  # inv's stubs say floating, for float64 in and out
        except np.linalg.LinAlgError:
            return np.full((k, k), np.nan)
        if self.cov_type == "nonrobust":
            return bread
        assert meat is not None
        if self.cov_type == "cluster":
            G = self.n_groups
            meat = meat.T @ meat * (G / (G - 1) * (nobs - 1) / max(nobs - k, 1))
        return bread @ meat @ bread


def group_sums(values: Array, codes: Index, n_groups: int) -> Array:
    """The sums of the rows of values (n, K) within each group (codes 0 ...
    n_groups - 1): (n_groups, K)."""
    return np.stack([np.bincount(codes, weights=values[:, j], minlength=n_groups) for j in range(values.shape[1])],
                    axis=1)


def free_columns(point: Points) -> Index:
    """The columns of theta among (phi, p) at a single-row search point: phi,
    then p without its fixed coefficient."""
    n_phi = point.phi.shape[1]
    return np.concatenate([np.arange(n_phi), n_phi + point.free()[0]])


def covariance(request: CovarianceRequest, point: Points, nobs: float, meat: Array | None, J: Array) -> Array:
    """J V J' for the fitted point (its H is that of the mean negative
    log-likelihood over nobs), `meat` the summed meat parts (None for
    "nonrobust")."""
    assert point.H is not None
    return J @ request.theta_covariance(nobs * point.H[0], meat, nobs) @ J.T
