"""The search for the maximum of a model's likelihood: Newton's method with
the exact Hessian from many starts at once, degree by degree.

Identification of p.  p and c p give the same distribution, so p is known
only up to a factor.  The optimiser works in a chart of that projective
space: the coefficient of largest magnitude is fixed at 1 and the others are
free, theta = (phi, p without it).  Every p is reached, those with p_0 = 0
included, and the chart changes when another coefficient overtakes the fixed
one.  The likelihood does not change along p itself, so the chart's Hessian
is the full one without the fixed row and column.

Newton (as R's ordinal::clm does): the step solves (H + lambda I) d = -g for
the Hessian H of the mean negative log-likelihood f, lambda the least shift
that leaves the eigenvalues of H + lambda I at least 1e-8 of the largest
where none is negative.  A negative least eigenvalue w_0 is mirrored
instead, lambda = 2 |w_0| plus that floor: lifted to the floor alone, it
would make the step along its direction orders of magnitude too long, and
each such step cost a dozen trials to shorten (on the 100-category ordered
model most screened starts crossed such regions for tens of steps).  The
step is shortened until f decreases enough (Armijo), each time to the
minimum of the quadratic through f, its slope and the trial (within a tenth
and a half of the step).  A point has converged when its
relative gradient max_i |g_i| max(|theta_i|, 1) / max(|f|, 1) is at most
`GTOL` and H is positive definite there; one last whole step is then taken
unless f grows (as is any step whose promised decrease is below the
rounding of f, and the gradient there judges it).  Where a point's last step
was whole, its next trial is evaluated with its derivatives: near the
maximum each step then costs one evaluation.  Many points move together:
each evaluation is one call of the compiled functions for all of them.

The search.  For j = 1 ... m coefficients, every start of j coefficients that
the model gives, every basin kept from j - 1 (p padded with a zero, so
that a fit with more coefficients is never worse) and the starts the model
grows from those basins are screened: run to
convergence on the model's sketch of its data where it has one (a density
fit: its quantiles), else `SCREEN` steps on all the data.  With a sketch, the degrees
below m stay on it: they only seed the next.  The screened
points are merged into distinct candidates, each counting the starts that
reached it.  With a sketch, the candidates whose log-likelihood there is
within `SKETCH_CLOSE` units and 3 standard errors of the best's (at most
`REACH`: a subsample ranks close basins in either order) go on, up a
ladder of larger samples where the model gives one (converged on each and
ranked there alike), to convergence on all the data; without one, the best `KEEP` (two below m,
whose degrees only seed the next) and any within `CLOSE` units.  Converged points
that are one optimum (`_same`) are merged again into basins; the best
basins and the candidates that did not go on seed the next degree.

Where one start alone reached the best basin of a degree that is a fit, it
may be one of many basins that the starts seldom reach: more rounds of
starts follow (the model's starts again, with new random ones, and `p` of
the best basins perturbed), at most `ROUNDS`, until a second start reaches
the best; where a round is cheap (a sketch of a few hundred values) rounds
go on as long as each finds a higher basin.  Where a level of the data can
rank no candidate (a sample that misses a category leaves the cut points
beside it free, and on more data they give it probability 0), the
screening begins again on the next larger level, and the degrees' `notes`
say so.
"""

from __future__ import annotations

import functools
from typing import Callable, Iterable, Sequence

import numpy as np
from numpy.typing import NDArray

from .. import accurate
from .._warnings import warn
from .block import GRADIENT, HESSIAN, VALUE, Array, Index, Sums
from .diagnostics import FitDiagnostics

GTOL = 1e-8
SCREEN = 6
CLOSE = 5.0
KEEP = 5
# Log-likelihood units below the best on the sketch (beyond 3 standard
# errors of the difference) past which a screened candidate does not go on
# to all the data, and the most that go on.
SKETCH_CLOSE = 25.0
REACH = 8
# Newton steps at most from a point.  A candidate converged on the sketch may
# still crawl along a ridge on all the data (p's higher coefficients barely
# identified): one needed 166 steps there.
MAXITER = 200
# Rounds of more starts at most, where one start alone reached the best
# basin, and the perturbed starts from each of the best basins in a round.
ROUNDS = 4
PERTURBED = 8
# Starts times observations of the first level at most in a cheap round.
CHEAP = 50_000

# A start (phi, p) of the search.
Start = tuple[Array, Array]


class Points:
    """S points of the optimisation, in the chart of p: phi (S, q), p (S, m)
    with p[fixed] = 1, f (S,), and the gradient (S, k) and Hessian (S, k, k)
    of f in theta = (phi, p without p[fixed]), k = q + m - 1."""

    FIELDS = ("phi", "p", "f", "grad", "H", "fixed", "converged", "nit")

    def __init__(self, phi: Array, p: Array, f: Array, grad: Array | None = None, H: Array | None = None) -> None:
        self.phi, self.f, self.grad, self.H = phi, f, grad, H
        self.fixed = np.argmax(np.abs(p), axis=1)
        self.p = p / p[np.arange(p.shape[0]), self.fixed][:, None]
        self.converged = np.zeros(f.size, bool)
        self.nit = np.zeros(f.size, int)

    def __len__(self) -> int:
        return self.f.size

    def free(self) -> Index:
        """The indices of the free coefficients of each row."""
        return _free_coefficients(self.p.shape[1])[self.fixed]

    @property
    def theta(self) -> Array:
        q = np.take_along_axis(self.p, self.free(), axis=1)
        return np.concatenate([self.phi, q], axis=1)

    def relative_gradient(self) -> Array:
        assert self.grad is not None
        return np.max(np.abs(self.grad) * np.maximum(np.abs(self.theta), 1.0), axis=1, initial=0.0) / \
            np.maximum(np.abs(self.f), 1.0)

    def positive_definite(self) -> NDArray[np.bool_]:
        assert self.H is not None
        return newton_steps(self.H, np.zeros(self.H.shape[:2]))[1]

    def take(self, rows: Index | Sequence[int]) -> Points:
        out = Points.__new__(Points)
        for name in Points.FIELDS:
            value = getattr(self, name)
            setattr(out, name, None if value is None else value[rows])
        return out

    def put(self, rows: Index, other: Points) -> None:
        for name in Points.FIELDS:
            getattr(self, name)[rows] = getattr(other, name)


# A basin or candidate of the search: its point (a single row) and the
# number of starts that reached it.
Basin = tuple[Points, int]
# A model's starts: ``starts(j, best)``, those of j coefficients given the
# best point of j - 1 (None for j = 1).
Starts = Callable[[int, Points | None], Iterable[Start]]


@functools.lru_cache(maxsize=None)
def _free_coefficients(m: int) -> Index:
    """Row i: the coefficients 0 ... m - 1 but i, (m, m - 1)."""
    order = np.arange(m)
    return np.array([order[order != i] for i in range(m)]).reshape(m, m - 1)


def join(points: Sequence[Points]) -> Points:
    out = Points.__new__(Points)
    for name in Points.FIELDS:
        setattr(out, name, np.concatenate([getattr(q, name) for q in points]))
    return out


class Objective:
    """f = -llf / n and its derivatives in the chart of p, from
    ``evaluate(phi, p, want) -> (llf, gradient, Hessian)`` of S points in
    (phi, p); a sketch also has ``terms(phi, p) -> (S, n_sketch)``, its
    observations' weighted log-likelihoods, and is `exact` where its
    log-likelihood is the data's (the distinct values, weighted by their
    counts), not that of a sample of them."""

    def __init__(self, evaluate: Callable[[Array, Array, int], Sums], n_phi: int, nobs: float,
                 terms: Callable[[Array, Array], Array] | None = None, exact: bool = False,
                 label: str = "all the data", size: int | None = None) -> None:
        self.evaluate, self.n_phi, self.nobs, self.terms = evaluate, n_phi, nobs, terms
        # `size`: the observations it sums over (for the cost of a round).
        self.exact, self.label, self.size = exact, label, nobs if size is None else size

    def at(self, phi: Array, p: Array, want: int = HESSIAN) -> Points:
        points = Points(np.asarray(phi, float), np.asarray(p, float), np.zeros(len(phi)))
        # A trial step may go anywhere: where it overflows, f is inf and
        # the step is not taken.
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            llf, grad, H = self.evaluate(points.phi, points.p, want)
        points.f = np.where(np.isfinite(llf), -llf / self.nobs, np.inf)
        if want >= GRADIENT:
            keep = np.concatenate([np.arange(self.n_phi)[None].repeat(len(points), 0),
                                   self.n_phi + points.free()], axis=1)
            rows = np.arange(len(points))[:, None]
            points.grad = -grad[rows, keep] / self.nobs
            points.H = -H[rows[:, :, None], keep[:, :, None], keep[:, None, :]] / self.nobs
            # A point whose derivatives are not finite (a probability that
            # underflowed to 0 in a term) is no place to step to.
            broken = ~(np.isfinite(points.grad).all(axis=1) & np.isfinite(points.H).all(axis=(1, 2)))
            points.f[broken] = np.inf
            points.grad[broken], points.H[broken] = 0.0, np.eye(points.H.shape[1])
        return points

    def move(self, fixed: Index, theta: Array, want: int = HESSIAN) -> Points:
        """The points at theta in the charts `fixed` (the coefficient of p
        held at 1 in each), then each in the chart of its largest
        coefficient."""
        q = self.n_phi
        m = theta.shape[1] - q + 1
        p = np.ones((len(fixed), m))
        np.put_along_axis(p, _free_coefficients(m)[fixed], theta[:, q:], axis=1)
        return self.at(theta[:, :q], p, want)


def newton_steps(H: Array, grad: Array) -> tuple[Array, NDArray[np.bool_]]:
    """-(H + lambda I)^-1 grad, each row with lambda as the module's text says
    (0 where the eigenvalues are at least 1e-8 of the largest); and whether
    each H is positive definite (its least eigenvalue above 1e-12 of the
    largest magnitude).  Compiled: a Cholesky factor where it shows that
    lambda is 0 (most steps), the eigenvalues elsewhere."""
    return accurate._newton_steps(H, grad, 1e-8)


def newton(objective: Objective, points: Points, maxiter: int = MAXITER) -> Points:
    """Newton steps from every point until it converges, no step decreases
    its f, or maxiter steps; sets `converged` and counts `nit`."""
    points = points.take(np.arange(len(points)))
    active = np.isfinite(points.f) & ~points.converged
    # Whether a point's last step was whole: its next trial is then taken
    # with its derivatives (as a whole step mostly is again), which saves
    # evaluating it twice.  So is a first step where the Hessian is
    # positive definite.
    whole = np.zeros(len(points), bool)
    for iteration in range(maxiter):
        if not active.any():
            break
        rows = np.flatnonzero(active)
        here = points.take(rows)
        assert here.H is not None and here.grad is not None
        step, definite = newton_steps(here.H, here.grad)
        done = (here.relative_gradient() <= GTOL) & definite
        slope = np.einsum("si,si->s", here.grad, step)
        trial = _line_search(objective, here, step, slope, done, whole[rows] | (definite & (iteration == 0)))
        accepted, t = trial.accepted, trial.t
        moved = np.flatnonzero(accepted)
        if moved.size:
            new = trial.points
            assert new is not None
            # A step to a point without finite derivatives is not taken: it stalls.
            broken = ~np.isfinite(new.f)
            accepted[moved[broken]] = False
            new.nit = here.nit[moved] + 1
            keep = ~broken
            check = np.flatnonzero(done[moved] & keep)
            if check.size:
                again = new.take(check)
                keep[check] = (again.relative_gradient() <= GTOL) & again.positive_definite()
            new.converged = done[moved]
            here.put(moved[keep], new.take(np.flatnonzero(keep)))
        whole[rows] = accepted & (t == 1.0)
        here.converged |= done
        here.nit[~accepted & ~done] += 1
        points.put(rows, here)
        # Stalled points (no step decreased f) stop, unconverged.
        active[rows[done | ~accepted]] = False
    return points


class _Trial:
    """The outcome of a line search: which points moved, their step lengths
    t, and the points moved to (with derivatives), in the order of `moved`."""

    def __init__(self, accepted: NDArray[np.bool_], t: Array, points: Points | None) -> None:
        self.accepted, self.t, self.points = accepted, t, points


def _line_search(objective: Objective, here: Points, step: Array, slope: Array, done: NDArray[np.bool_],
                 whole: NDArray[np.bool_]) -> _Trial:
    """Armijo steps from `here` along `step`: each shortened until f
    decreases enough, each time to the minimum of the quadratic through f,
    its slope and the trial (within a tenth and a half of the step).
    Converged points take one last whole step unless f grows; so do points
    whose step promises a decrease below the rounding of f (a steep
    direction's last digits): no f can confirm it, and the gradient at the
    step decides.  The first trial of the points whose last step was
    `whole` is evaluated with its derivatives."""
    n = len(here)
    t = np.ones(n)
    accepted = np.zeros(n, bool)
    theta = here.theta
    last = done | (-slope <= 1e-14 * np.maximum(np.abs(here.f), 1.0))
    first = np.flatnonzero(whole)
    at_whole = None
    if first.size:
        at_whole = objective.move(here.fixed[first], theta[first] + step[first])
    for halving in range(34):
        pending = np.flatnonzero(~accepted & (t > 1e-10))
        if pending.size == 0:
            break
        f = np.empty(pending.size)
        if halving == 0 and at_whole is not None:
            f[whole[pending]] = at_whole.f
            rest = pending[~whole[pending]]
            if rest.size:
                f[~whole[pending]] = objective.move(here.fixed[rest], theta[rest] + step[rest], VALUE).f
        else:
            f = objective.move(here.fixed[pending], theta[pending] + t[pending, None] * step[pending], VALUE).f
        bound = np.where(last[pending], here.f[pending] + 1e-13 * np.abs(here.f[pending]),
                         here.f[pending] + 1e-4 * t[pending] * slope[pending])
        ok = f <= bound
        accepted[pending[ok]] = True
        # Backtracking to the minimum of the quadratic through f, its slope
        # and the trial, within [t / 10, t / 2].
        tp, rise = t[pending], f - here.f[pending] - t[pending] * slope[pending]
        with np.errstate(invalid="ignore", divide="ignore"):
            quadratic = np.where(np.isfinite(rise) & (rise > 0), -slope[pending] * tp**2 / (2 * rise), 0.0)
        t[pending[~ok]] = np.clip(quadratic, tp / 10, tp / 2)[~ok]
        t[pending[last[pending] & ~ok]] = 0.0  # no halving for a last step
    moved = np.flatnonzero(accepted)
    if moved.size == 0:
        return _Trial(accepted, t, None)
    # The points moved to, with derivatives: those of the first whole trial
    # where it was taken, evaluated anew elsewhere.
    reused = whole[moved] & (t[moved] == 1.0)
    parts, order = [], []
    if reused.any():
        assert at_whole is not None
        index = np.searchsorted(first, moved[reused])
        parts.append(at_whole.take(index))
        order.append(moved[reused])
    fresh = moved[~reused]
    if fresh.size:
        parts.append(objective.move(here.fixed[fresh], theta[fresh] + t[fresh, None] * step[fresh]))
        order.append(fresh)
    new = join(parts)
    return _Trial(accepted, t, new.take(np.argsort(np.concatenate(order), kind="stable")))


def _one_optimum(fixed: Index, f: Array, theta: Array, row: tuple[int, float, Array], tol: float) -> NDArray[np.bool_]:
    """Whether each of the points (their charts `fixed`, f and theta) and
    the point `row` (fixed, f, theta of one) are one optimum reached twice:
    the same chart, f within tol relatively and theta within 1e-3 (plus
    1e-3 of row's)."""
    row_fixed, row_f, row_theta = row
    return (fixed == row_fixed) & (np.abs(f - row_f) <= tol * np.maximum(np.abs(f), 1.0)) & \
        (np.abs(theta - row_theta) <= 1e-3 + 1e-3 * np.abs(row_theta)).all(axis=1)


def _same(a: Points, b: Points, tol: float) -> bool:
    """Whether two converged points (single rows) are one optimum reached twice."""
    return bool(_one_optimum(a.fixed, a.f, a.theta, (b.fixed[0], b.f[0], b.theta[0]), tol)[0])


def _merge(points: Points, counts: Index, tol: float) -> list[Basin]:
    """Distinct points, best first, each with the count of the rows it
    stands for: [(single-row Points, count), ...].  Each row joins the first
    basin it is one optimum with, compared with all basins at once."""
    theta = points.theta
    basins: list[int]
    totals: list[int]
    basins, totals = [], []
    for i in np.argsort(points.f, kind="stable"):
        if not np.isfinite(points.f[i]):
            continue
        if basins:
            b = np.array(basins)
            hit = np.flatnonzero(_one_optimum(points.fixed[b], points.f[b], theta[b],
                                              (points.fixed[i], points.f[i], theta[i]), tol))
            if hit.size:
                totals[hit[0]] += counts[i]
                continue
        basins.append(i)
        totals.append(counts[i])
    return [(points.take([i]), total) for i, total in zip(basins, totals)]


class Degree:
    """The search at one number of coefficients of p: the basins found (best
    first, with the number of starts that reached each), how many starts
    ran (in how many `rounds` beyond the first), the best point (converged
    or not), the Newton steps taken, and `notes` on levels of the data
    where the screening had to begin again."""

    def __init__(self, m: int, basins: list[Basin], best: Points, starts: int, nit: int, rounds: int = 0,
                 notes: Iterable[str] = ()) -> None:
        self.m, self.basins, self.best, self.starts, self.nit = m, basins, best, starts, nit
        self.rounds, self.notes = rounds, list(notes)

    @property
    def reached(self) -> int:
        return self.basins[0][1] if self.basins and self.basins[0][0].f[0] <= self.best.f[0] else 0

    @property
    def gap(self) -> float:
        """Log-likelihood per observation from the best to the second basin."""
        return self.basins[1][0].f[0] - self.best.f[0] if len(self.basins) > 1 else np.inf


def _within_reach(sketch: Objective, candidates: Sequence[Basin]) -> list[Basin]:
    """The candidates screened on a sketch that may be the best on all the
    data: at most `REACH` of them, those whose log-likelihood on the sketch
    is below the best's by at most `SKETCH_CLOSE` plus 3 standard errors of
    that difference (from the spread of its terms over the sketch's
    observations, as for a sample of them; none for an exact sketch)."""
    top = candidates[:REACH]
    points = join([c[0] for c in top])
    assert sketch.terms is not None
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        terms = sketch.terms(points.phi, points.p)
    deficit = terms[0] - terms
    below = deficit.sum(axis=1)
    spread = np.zeros(len(top)) if sketch.exact else np.sqrt(deficit.shape[1]) * deficit.std(axis=1)
    return [c for c, d, e in zip(top, below, spread) if d <= SKETCH_CLOSE + 3 * e]


def _climb(objective: Objective, sketch: Objective | None, ladder: Sequence[Objective], phi: Array, p: Array,
           keep: int, notes: list[str]) -> tuple[list[Basin], Points, list[Basin], int]:
    """Screens the starts (phi, p) and takes the candidates up to
    convergence on all the data: on the sketch and each rung of the ladder
    they converge and the best of them (`_within_reach`) go on; without a
    sketch, `SCREEN` steps on all the data, and the best `keep` and any
    within `CLOSE` units go on.  Where a level can rank no candidate (none
    has a finite log-likelihood there: a sample that misses a category whose
    cut points were free on the smaller one), the starts are screened again
    on that level, and `notes` says so.  Returns (basins, best, passed, nit):
    the converged optima merged, the best point, the candidates that did
    not go on (seeds of the next degree) and the Newton steps taken."""
    chosen: list[Basin] | None
    passed: list[Basin]
    done: Points | None
    chosen, passed, nit = None, [], 0
    for level in ([] if sketch is None else [sketch]) + list(ladder):
        ranked: list[Basin] = []
        if chosen is not None:
            going = join([c[0] for c in chosen])
            done = newton(level, level.at(going.phi, going.p))
            nit += int(done.nit.sum())
            ranked = _merge(done, np.array([c[1] for c in chosen]), 1e-6)
            if not ranked:
                notes.append(f"no candidate had a finite log-likelihood on {level.label}: "
                             "the starts were screened again there")
        if not ranked:
            screened = newton(level, level.at(phi, p))
            nit += int(screened.nit.sum())
            ranked = _merge(screened, np.ones(len(screened), int), 1e-6)
        if not ranked:
            notes.append(f"no start had a finite log-likelihood on {level.label}")
            chosen = None
            continue
        chosen = _within_reach(level, ranked)
        passed = ranked[len(chosen):] + passed
    done = None
    if chosen is not None:
        going = join([c[0] for c in chosen])
        done = newton(objective, objective.at(going.phi, going.p))
        if not np.isfinite(done.f).any():
            notes.append(f"no candidate had a finite log-likelihood on {objective.label}: "
                         "the starts were screened again there")
            done = None
    if done is None:
        screened = newton(objective, objective.at(phi, p), SCREEN)
        nit += int(screened.nit.sum())
        candidates = _merge(screened, np.ones(len(screened), int), 1e-6)
        if not candidates:
            raise RuntimeError("no start has a finite log-likelihood")
        lead = candidates[0][0].f[0]
        chosen = [c for i, c in enumerate(candidates)
                  if i < keep or (c[0].f[0] - lead) * objective.nobs <= CLOSE]
        passed = candidates[len(chosen):]
        going = join([c[0] for c in chosen])
        done = newton(objective, objective.at(going.phi, going.p))
    nit += int(done.nit.sum())
    assert chosen is not None
    counts = np.array([c[1] for c in chosen])
    converged = done.take(np.flatnonzero(done.converged))
    basins = _merge(converged, counts[done.converged], 1e-9)
    best = done.take([int(np.argmin(done.f))])
    if basins and basins[0][0].f[0] <= best.f[0]:
        best = basins[0][0]
    return basins, best, passed, nit


def _perturbed(basins: Sequence[Basin], rng: np.random.Generator) -> list[Start]:
    """`PERTURBED` starts from each of the best `KEEP` basins: its phi, and
    its p (largest coefficient 1) with standard normal noise of sd 1/2
    added to every coefficient, which moves p's zeros and its tails."""
    out = []
    for b, _ in basins[:KEEP]:
        for noise in rng.normal(0.0, 0.5, size=(PERTURBED, b.p.shape[1])):
            out.append((b.phi[0], b.p[0] + noise))
    return out


def _joined(first: tuple[list[Basin], Points], second: tuple[list[Basin], Points]) -> tuple[list[Basin], Points]:
    """Basins of two batches of starts merged (counts added where one
    optimum was reached by both), and the better best point."""
    (basins, best), (more, other) = first, second
    if basins or more:
        both = basins + more
        basins = _merge(join([b for b, _ in both]), np.array([c for _, c in both]), 1e-9)
    if other.f[0] < best.f[0]:
        best = other
    if basins and basins[0][0].f[0] <= best.f[0]:
        best = basins[0][0]
    return basins, best


def search(objective: Objective, starts: Starts, m: int, sketch: Objective | None = None, every: bool = False,
           grow: Callable[[list[Points]], Iterable[Start]] | None = None, ladder: Sequence[Objective] = (),
           concave: bool = False) -> list[Degree]:
    """The search over every degree up to m; ``starts(j, best)`` gives the
    model's starts [(phi, p), ...] of j coefficients, given the best point of
    j - 1 (None for j = 1); `sketch`, an Objective on a summary of the data
    for the screening, and `ladder`, Objectives on ever larger samples of
    the data between it and all of it; ``grow(seeds)``, more starts
    [(phi, p), ...] of j coefficients from the basins kept from j - 1
    (Points rows, best first); `concave`, where the log-likelihood with one
    coefficient (logistic noise) is concave, so that one start suffices.
    Where one start alone reached the best basin of a degree that is a fit,
    more starts follow, in at most `ROUNDS` rounds: the model's starts again
    (new random ones) and perturbations of the best basins.
    Returns the `Degree` of each j = 1 ... m; with a sketch, those below m
    hold the points converged on the sketch (they only seed the next
    degree) unless `every` degree is to be a fit."""
    moves: list[str] = []
    while True:
        degrees = _degrees(objective, starts, m, sketch, every, grow, ladder, concave, moves)
        if degrees is not None:
            return degrees
        # The sketch's candidates cannot be ranked above it: the next
        # larger sample (or all the data) is the sketch from now on.
        sketch, ladder = (ladder[0], ladder[1:]) if ladder else (None, ())


def _finite_above(point: Points, ladder: Sequence[Objective], objective: Objective) -> tuple[bool, str]:
    """Whether a point converged on the sketch has a finite log-likelihood
    on the next level of the data (a sample of the ladder, or all of it)."""
    above = ladder[0] if ladder else objective
    return bool(np.isfinite(above.at(point.phi, point.p, VALUE).f[0])), above.label


def _degrees(objective: Objective, starts: Starts, m: int, sketch: Objective | None, every: bool,
             grow: Callable[[list[Points]], Iterable[Start]] | None, ladder: Sequence[Objective], concave: bool,
             moves: list[str]) -> list[Degree] | None:
    """The degrees of `search`, or None where the sketch's best candidate
    of a degree below m has no finite log-likelihood on the next level
    (`moves` then says so)."""
    degrees: list[Degree]
    kept: list[Basin]
    best: Points | None
    degrees, kept, best = [], [], None
    for j in range(1, m + 1):
        previous: Points | None = best
        begin = [(phi, p) for phi, p in starts(j, previous)]
        begin += [(b.phi[0], np.append(b.p[0], 0.0)) for b, _ in kept]
        if grow is not None and kept:
            begin += grow([b for b, _ in kept])
        phi, p = np.array([s[0] for s in begin]), np.array([s[1] for s in begin])
        if sketch is not None and j < m and not every:
            # Below m the degree only seeds the next: its points converged
            # on the sketch.  Unconverged points (a flat direction, slow
            # progress) stay candidates at their f.
            screened = newton(sketch, sketch.at(phi, p))
            candidates = _merge(screened, np.ones(len(screened), int), 1e-6)
            finite, above = _finite_above(candidates[0][0], ladder, objective) if candidates else (False, "")
            if not finite:
                moves.append(f"no candidate on {sketch.label} had a finite log-likelihood on "
                             f"{above or 'the data'}, where the search began again")
                return None
            best, kept = candidates[0][0], candidates[:KEEP]
            degrees.append(Degree(j, candidates, best, len(begin), int(screened.nit.sum()), notes=moves))
            continue
        # Below m without a sketch the degree only seeds the next: its best
        # two go on.
        keep = KEEP if j == m or every else 2
        notes = list(moves)
        basins, best, passed, nit = _climb(objective, sketch, ladder, phi, p, keep, notes)
        tried, rounds = len(begin), 0
        rng = np.random.default_rng(j)
        # A round is cheap where its starts on the first level cost few
        # evaluations of an observation (a sample of a few hundred values):
        # there rounds go on while they find a higher basin.
        first = objective if sketch is None else sketch
        cheap = len(begin) * first.size <= CHEAP
        improved = True
        while j > 1 and basins and rounds < ROUNDS and (j == m or every) and not (concave and j == 1) \
                and (Degree(j, basins, best, 0, 0).reached < 2 or cheap and improved):
            more = list(starts(j, previous)) + _perturbed(basins, rng)
            phi, p = np.array([s[0] for s in more]), np.array([s[1] for s in more])
            found, better, also, steps = _climb(objective, sketch, ladder, phi, p, keep, notes)
            before = best.f[0]
            basins, best = _joined((basins, best), (found, better))
            improved = best.f[0] < before - 1e-9 * max(abs(before), 1.0)
            passed, tried, rounds, nit = passed + also, tried + len(more), rounds + 1, nit + steps
        # The seeds of the next degree: these basins, and the candidates of
        # the screening that did not go on.
        kept = (basins + passed)[:KEEP]
        degrees.append(Degree(j, basins, best, tried, nit, rounds, notes))
    return degrees


def diagnose(degree: Degree, nobs: float, concave: bool = False) -> FitDiagnostics:
    """The fit's `FitDiagnostics`, warning at the user's line where the
    answer is unsure (`warn_unsure`)."""
    out = figures(degree, nobs)
    warn_unsure(out, degree, concave)
    return out


def from_start(objective: Objective, phi: Array, p: Array) -> Degree:
    """The Degree of Newton's method from one start (phi, p), no search."""
    done = newton(objective, objective.at(np.asarray(phi, float)[None], np.asarray(p, float)[None]))
    basins = [(done, 1)] if done.converged[0] else []
    return Degree(p.size, basins, done, 1, int(done.nit.sum()))


def figures(degree: Degree, nobs: float) -> FitDiagnostics:
    """The fit's `FitDiagnostics`: converged, max |gradient| of the
    log-likelihood, the Hessian's condition number, starts at the best
    point, the gap in log-likelihood to the second basin, the relative
    gradient and the search's extra rounds and notes."""
    best = degree.best
    assert best.grad is not None and best.H is not None
    gradient = float(np.max(np.abs(best.grad) * nobs, initial=0.0))
    w = accurate._symmetric_eigen(best.H)[0][0]
    condition = float(abs(w[-1]) / w[0]) if w.size and w[0] > 0 else np.inf
    relative = float(best.relative_gradient()[0])
    converged = bool(best.converged[0] and relative <= GTOL and best.positive_definite()[0])
    return FitDiagnostics(converged=converged, max_gradient=gradient, condition=condition,
                          starts_at_best=int(degree.reached), starts=degree.starts, llf_gap=degree.gap * nobs,
                          rel_grad=relative, rounds=degree.rounds, notes=tuple(degree.notes))


def warn_unsure(figures: FitDiagnostics, degree: Degree, concave: bool = False) -> None:
    """Warns at the user's line where the fit is unsure: not converged, an
    ill-conditioned Hessian, or (but for a `concave` log-likelihood, whose
    one maximum needs one start) one start alone at the best point."""
    converged, condition, relative = figures.converged, figures.condition, figures.rel_grad
    if not converged or not condition < 1e12:
        warn(f"the fit did not reach a point where the gradient is 0 and the Hessian is positive "
             f"definite (relative gradient {relative:.1e}, condition number {condition:.3g}): "
             f"the estimates and their standard errors are not reliable")
    elif degree.reached < 2 and not concave:
        more = f" (with {degree.rounds} more rounds of starts, the most the search spends)" if degree.rounds else ""
        warn(f"only one of {degree.starts} starts{more} reached the best point: another basin may be higher still")
