"""Separation: data on which the likelihood has no maximum, because moving
the location's coefficients far enough in some direction never lowers it.

Observation i lies in (lo_i, hi_i] with ends o_e + D_e beta.  Along
beta + t d the probability P(lo < e <= hi) of an interval or censored
observation weakly increases, whatever the scale and p, when every finite
lower end moves down (D_lo d <= 0) and every finite upper end moves up
(D_hi d >= 0); an exact observation's density falls off in both directions,
so it allows only D d = 0.  If some end moves strictly, every point of the
likelihood is beaten further along d: the supremum lies at infinity.  As
R's detectseparation (Konis 2007), one linear program finds such a d: it
maximises the ends' total movement sum (D_hi d - D_lo d) under those
constraints and -1 <= d <= 1 (on the columns scaled to a largest entry of
1), and the data are separated when its optimum is positive.  The cut
points of an ordered model are columns of D, so one program serves binary
and ordered outcomes and the censored bounds of the interval and survival
models alike; the log-scale plays no part.

Separation is complete when some direction moves every end strictly, so
that every observation's probability tends to 1, and quasi-complete when
some observation holds every such direction to an equality.  A second
program, run only on separated data without exact observations, tells
which: it maximises the least movement of an end.

The programs cost a few tenths of a second on 10^5 observations, so a fit
runs them only where it shows a sign of separation: an observation whose
fitted probability is 1 to within `NEAR_ONE`, a search that did not
converge, or a Hessian of condition above `CONDITION`; and not where the
exact observations alone pin every direction (their designs of full column
rank): a right-censored time near 0 has survival probability 1 at any
sensible fit, and a survival sample with events on every covariate cannot
be separated.  Dask data are not
checked: the constraints are every row of the data, gathered.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Sequence, cast

import numpy as np

from .. import accurate
from .block import Array, LinearEnds, ObservationBlock

if TYPE_CHECKING:
    from .diagnostics import FitDiagnostics
    from .regression import Observations
    from .search import Degree

# An observation's fitted log-probability above -NEAR_ONE is a probability of 1
# for the fit: only a direction to infinity brings it there.
NEAR_ONE = 1e-8
CONDITION = 1e8
# Movements of an end (the design's columns scaled to a largest entry of 1,
# relative to the largest movement the box allows) at or below TOL are 0.
TOL = 1e-7


class Separation:
    """Separated data: ``direction`` in the location's coefficients beta
    (along which the log-likelihood rises to its supremum), ``involved``,
    its nonzero entries, and ``kind``, "complete" or "quasi-complete"."""

    def __init__(self, direction: Array, kind: str) -> None:
        self.direction = direction
        self.involved = direction != 0
        self.kind = kind


def _pinned(ends: Sequence[LinearEnds], kb: int) -> bool:
    """Whether the exact observations' design rows E have full column rank
    (their Gram matrix's least eigenvalue above 1e-12 of its largest, on
    columns scaled to unit length): then E d = 0 only for d = 0, and no
    direction to infinity exists, whatever the bounded observations do (a
    survival sample whose events span the covariates).  O(n k^2), far less
    than the programs; a column that no exact observation uses leaves it
    unpinned."""
    gram = np.zeros((kb, kb))
    for block in ends:
        exact = np.flatnonzero(block.exact)
        if exact.size:
            E = block.designs(exact)[0]
            gram += E.T @ E
    norms = np.sqrt(np.diag(gram))
    if not (norms > 0).all():
        return False
    w = np.linalg.eigvalsh(gram / np.outer(norms, norms))
    return bool(w[0] > 1e-12 * w[-1])


def _constraints(ends: Sequence[LinearEnds], kb: int) -> tuple[Array, Array]:
    """The movements' rows M (ends that must move outward: M d >= 0, the
    lower ends' -D_lo and the upper ends' D_hi) and the exact observations'
    rows E (E d = 0), over the finite ends of every block."""
    moving: list[Array]
    fixed: list[Array]
    moving, fixed = [], []
    for block in ends:
        D_lo, D_hi = block.designs()
        bounded = ~block.exact
        moving += [-D_lo[bounded & np.isfinite(block.lo)], D_hi[bounded & np.isfinite(block.hi)]]
        fixed.append(D_lo[block.exact])
    return (np.concatenate(moving).reshape(-1, kb), np.concatenate(fixed).reshape(-1, kb))


def _solve(c: Array, A_ub: Array, A_eq: Array, bounds: Sequence[tuple[float, float]]) -> Array | None:
    from scipy.optimize import linprog

    res = linprog(c, A_ub=A_ub, b_ub=np.zeros(A_ub.shape[0]) if A_ub.size else None,
                  A_eq=A_eq if A_eq.size else None, b_eq=np.zeros(A_eq.shape[0]) if A_eq.size else None,
                  bounds=bounds, method="highs",
                  options=dict(presolve=False, primal_feasibility_tolerance=1e-10,
                                                             dual_feasibility_tolerance=1e-10))
    return res.x if res.status == 0 else None


def recession(blocks: Sequence[ObservationBlock], kb: int) -> Separation | None:
    """The Separation of the observations in `blocks` (NumPy blocks that
    offer `linear_ends` in kb location coefficients), or None where the
    likelihood's supremum is not at infinity."""
    M, E = _constraints(cast("list[LinearEnds]", [block.linear_ends() for block in blocks]), kb)
    if not M.shape[0]:
        return None
    scale = np.max(np.abs(np.concatenate([M, E])), axis=0)
    used = scale > 0
    if not used.any():
        return None
    # Identical rows are one constraint; in the objective they count as often as they occur.
    M, counts = np.unique(M, axis=0, return_counts=True)
    E = np.unique(E, axis=0) if E.shape[0] else E
    M, E = M[:, used] / scale[used], E[:, used] / scale[used]
    k = int(used.sum())
    # The largest movement of an end that the box allows: the tolerance's unit.
    unit = max(float(np.abs(M).sum(axis=1).max()), 1.0)
    d = _solve(-(counts @ M), -M, E, [(-1.0, 1.0)] * k)
    if d is None:
        return None
    moves = M @ d
    violation = max(float(-moves.min()), float(np.abs(E @ d).max(initial=0.0)), 0.0)
    if not moves.max() > TOL * unit or violation > TOL * unit:
        return None
    # Complete when some direction moves every end strictly: the most the
    # least movement t can be, -1 <= d <= 1, M d >= t.  Its direction, the
    # widest margin, is the one reported: the first program's is a vertex,
    # which may turn a coefficient that the data leave free (a cut point
    # anywhere in the gap between the classes) towards infinity.
    kind = "quasi-complete"
    if not E.shape[0]:
        widest = _solve(np.concatenate([np.zeros(k), [-1.0]]), np.column_stack([-M, np.ones(M.shape[0])]),
                        np.zeros((0, k + 1)), [(-1.0, 1.0)] * k + [(0.0, 1.0)])
        if widest is not None and widest[-1] > TOL * unit and (M @ widest[:k]).min() > 0:
            kind, d = "complete", widest[:k]
    d[np.abs(d) <= TOL * np.abs(d).max()] = 0.0
    direction = np.zeros(kb)
    direction[used] = d / scale[used]
    return Separation(direction, kind)


def _signs(observations: Observations, degree: Degree, kb: int, figures: FitDiagnostics) -> bool:
    """Whether the fit shows a sign of separation: not converged, an
    ill-conditioned Hessian, or an observation of fitted probability 1.
    Such an observation has each tail beyond its ends of mass at most
    NEAR_ONE, so its lower end lies below the noise's NEAR_ONE quantile
    and its upper end above the upper one: only the few that do (one pass
    of the ends' designs) are evaluated."""
    if not figures.converged or not figures.condition < CONDITION:
        return True
    best = degree.best
    beta, gamma = best.phi[0, :kb], best.phi[0, kb:]
    # Twice the mass, for the quantiles' rounding.
    low = float(accurate.ppf([2 * NEAR_ONE], 0.0, 1.0, best.p[0])[0])
    high = float(accurate.isf([2 * NEAR_ONE], 0.0, 1.0, best.p[0])[0])
    for block in observations.blocks:
        ends = block.linear_ends()
        assert ends is not None
        z_lo, z_hi = ends.standardised_ends(beta, gamma)
        near = np.flatnonzero(~ends.exact & (z_lo <= low) & (z_hi >= high))
        if not near.size:
            continue
        few = block.rows(near)
        with np.errstate(all="ignore"):
            terms = few.terms(best.phi, best.p)[0] / few.weights
        if (terms >= -NEAR_ONE).any():
            return True
    return False


def detect(observations: Observations, degree: Degree, kb: int, figures: FitDiagnostics) -> Separation | None:
    """The Separation of a regression's fitted observations (the search's
    `degree`, its `figures`), or None: checked only where the fit shows a
    sign of it, where every block offers its `linear_ends` (a truncated
    one does not) and never on Dask data.  The programs' answer depends on
    the data alone: the observations keep it for the other degrees."""
    if observations.lazy or any(block.linear_ends() is None for block in observations.blocks):
        return None
    ends = cast("list[LinearEnds]", [block.linear_ends() for block in observations.blocks])
    if not _signs(observations, degree, kb, figures) or _pinned(ends, kb):
        return None
    return observations.recession(kb)
