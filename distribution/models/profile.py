"""Profile-likelihood confidence intervals.

For a coordinate t_j of the optimiser's parameters (phi, or a free
coefficient of p in the fit's chart, the one of largest magnitude fixed at
1), the profile f_j(v) = min f(. | t_j = v) of the mean negative
log-likelihood f = -llf / n gives the interval

    {v : 2 n (f_j(v) - f_min) <= chi2_1(1 - alpha)},

the inversion of the likelihood-ratio test (R's confint of clm and polr).
Each bound solves h(v) = f_j(v) - f_min - chi2_1(1 - alpha) / (2 n) = 0 by
Newton's method in v, h'(v) = df/dt_j at the constrained minimum (the
envelope theorem), with bisection where a step leaves the bracket.  Each
constrained minimum is Newton's method with the exact Hessian of the other
coordinates, warm-started from the last one moved by the linear response
-H_rr^-1 H_rj dv: a bound costs a few short Newton paths.

While t_j is a coordinate of phi, p is a nuisance and moves projectively:
each step is taken in the chart of its largest coefficient, as in the
search, so that a profile whose p passes through 0 in one coefficient is
followed.  Where the likelihood has other basins (the search's), each
starts a branch of the profile, followed alongside: the profile at v is
the best of the branches there, so that it passes to another basin where
that one rises above the fit's.  A coefficient of p is profiled in the fit's chart, which it
cannot leave; its profile may level off below the bound, which is then
infinite.
"""

from __future__ import annotations

from typing import Iterable

import numpy as np

from . import search
from .block import Array

GTOL = 1e-9
MAXSTEPS = 50
MAXROOT = 30
# Other basins of the search whose branches each profile also follows.
BRANCHES = 3


class Point:
    """(phi, p) with f and, in the chart of p's coefficient `fixed` (held at
    1), the gradient and Hessian of f in theta = (phi, the other
    coefficients)."""

    def __init__(self, objective: search.Objective, phi: Array, p: Array, fixed: int, want: int = 2) -> None:
        self.phi, self.fixed = phi, fixed
        self.p = p / p[fixed]
        m, q = p.size, phi.size
        self.free = [i for i in range(m) if i != fixed] if m > 1 else []
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            llf, grad, H = objective.evaluate(phi[None], self.p[None], want)
        n = objective.nobs
        self.f = -llf[0] / n if np.isfinite(llf[0]) else np.inf
        keep = np.concatenate([np.arange(q), q + np.array(self.free, int)])
        self.grad = None if want == 0 else -grad[0, keep] / n
        self.H = None if want < 2 else -H[0][np.ix_(keep, keep)] / n

    @property
    def theta(self) -> Array:
        return np.concatenate([self.phi, self.p[self.free]])

    def at(self, objective: search.Objective, theta: Array, want: int = 2, rechart: bool = False) -> Point:
        """The point at theta in this chart; with `rechart`, then in the
        chart of p's largest coefficient."""
        q = self.phi.size
        p = np.ones_like(self.p)
        p[self.free] = theta[q:]
        fixed = int(np.argmax(np.abs(p))) if rechart else self.fixed
        return Point(objective, theta[:q], p, fixed, want)


def _constrained(objective: search.Objective, point: Point, j: int, rechart: bool) -> Point:
    """The point with t_j as it is and the other coordinates at the minimum
    of f: Newton with the exact Hessian (eigenvalues shifted to stay
    positive), Armijo backtracking; a step whose promised decrease is below
    the rounding of f is the last."""
    for _ in range(MAXSTEPS):
        if not np.isfinite(point.f):
            break
        theta = point.theta
        rest = np.array([i for i in range(theta.size) if i != j])
        assert point.grad is not None and point.H is not None
        gr, Hr = point.grad[rest], point.H[np.ix_(rest, rest)]
        if np.max(np.abs(gr) * np.maximum(np.abs(theta[rest]), 1.0), initial=0.0) <= GTOL * max(abs(point.f), 1.0):
            break
        step = search.newton_steps(Hr[None], gr[None])[0][0]
        slope, t = gr @ step, 1.0
        last = -slope <= 1e-13 * max(abs(point.f), 1.0)
        while True:
            trial = theta.copy()
            trial[rest] += t * step
            f_new = point.at(objective, trial, 0).f
            if f_new <= (point.f + 1e-13 * abs(point.f) if last else point.f + 1e-4 * t * slope):
                break
            t /= 2
            if last or t < 1e-10:
                return point
        point = point.at(objective, trial, 2, rechart)
        if last:
            break
    return point


def bound(objective: search.Objective, best: Point, j: int, target: float, start: float, direction: int,
          others: Iterable[Point] = ()) -> float:
    """The bound of t_j on one side (direction +1 or -1) where the profile
    reaches best.f + target, from a first guess `start` on that side;
    +-inf where it levels off below that.  First a bracket, further out
    from the estimate; then Newton's method on h(v) = f_j(v) - best.f -
    target, bisecting where a step leaves the bracket.  `others`: Points
    of other basins, whose branches are followed too."""
    rechart = j < best.phi.size
    near = [best, *(o if o.fixed == best.fixed or rechart else Point(objective, o.phi, o.p, best.fixed)
                    for o in others)]

    def from_point(point: Point, v: float) -> Point:
        theta = point.theta
        rest = np.array([i for i in range(theta.size) if i != j])
        guess = theta.copy()
        guess[j] = v
        moved = guess.copy()
        assert point.H is not None
        try:  # the linear response of the other coordinates to t_j
            moved[rest] -= np.linalg.solve(point.H[np.ix_(rest, rest)], point.H[rest, j]) * (v - theta[j])
        except np.linalg.LinAlgError:
            pass
        start = point.at(objective, moved)
        if not np.isfinite(start.f):  # the response overshot: t_j alone
            start = point.at(objective, guess)
        return _constrained(objective, start, j, rechart) if np.isfinite(start.f) else start

    def branch(here: Point, v: float) -> Point:
        # From the branch's last point towards v, halving the way where a
        # start has no finite f (ordered cut points that would cross),
        # each point reached the start of the next.
        to = v
        while True:
            point = from_point(here, to)
            if np.isfinite(point.f) and to == v:
                return point
            if np.isfinite(point.f):
                here, to = point, v
            elif abs(to - here.theta[j]) > 1e-10 * max(abs(v), 1.0):
                to = (here.theta[j] + to) / 2
            else:
                return point

    def profile(v: float) -> tuple[Point, float]:
        points = [branch(here, v) for here in near]
        for k, point in enumerate(points):
            if np.isfinite(point.f):
                near[k] = point
        point = min(points, key=lambda q: q.f)
        return point, (point.f - best.f - target if np.isfinite(point.f) else np.inf)

    low, high, v = best.theta[j], None, start
    for _ in range(MAXROOT):
        point, h = profile(v)
        if h < 0:
            low = v
        else:
            high = v
        if abs(h) <= 1e-6 * target:
            return v
        g = point.grad[j] if point.grad is not None else np.nan
        if high is None:  # no bracket yet: further out
            # Where the profile's slope times the distance out is a
            # thousandth of the gap that remains, it levels off below it.
            distance = abs(v - best.theta[j])
            if not abs(g) * distance >= 1e-3 * -h or distance > 1e8 * max(abs(v), 1.0):
                return direction * np.inf
            step = -h / g if g * direction > 0 else np.inf
            v = v + direction * min(abs(step) * 1.5, 2 * distance)
            continue
        step = v - h / g if np.isfinite(h) and g * direction > 0 else np.nan
        v = step if np.isfinite(step) and min(low, high) < step < max(low, high) else (low + high) / 2
        if abs(high - low) <= 1e-12 * max(abs(v), 1.0):
            return v
    return v
