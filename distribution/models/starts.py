"""The starts of the search: shapes of p of j coefficients, placed so that
the noise keeps the mean and spread of a fit with fewer, and the skeleton
that every regression's starts share.

A model's starts are a function ``starts(j, best) -> [(phi, p), ...]``: the
starts of j coefficients given the best point of j - 1 (None for j = 1).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Sequence

import numpy as np
from numpy.typing import ArrayLike

from .. import accurate
from .block import Array

if TYPE_CHECKING:
    from .search import Points, Start

# ``reshape(phi, mean, sd, loc, scale, stretch) -> phi`` of `shaped_starts`.
Reshape = Callable[[Array, float, float, float, float, float], Array]

# Random shapes of p at each number of coefficients j: RANDOM j (a model may ask for more).
RANDOM = 4


# Starting shapes of p in the noise's own variable, lowest power first, by
# number of coefficients: skewed either way, and shapes with real roots
# (bimodal and multimodal densities: p = e, e^2 - 1, e^3 - e, ...).
SHAPES = {
    1: [[1.0]],
    2: [[1.0, 0.5], [1.0, -0.5], [0.0, 1.0], [1.0, 1.5], [1.0, -1.5]],
    3: [[1.0, 0.0, 0.5], [-1.0, 0.0, 1.0], [1.0, 0.0, -0.25], [0.0, 1.0, 0.5], [0.0, 1.0, -0.5]],
    4: [[0.0, -1.0, 0.0, 1.0], [1.0, 0.5, 0.0, 0.1], [-1.0, 0.0, 1.0, 0.5], [1.0, 0.0, -1.0, -0.5]],
    5: [[4.0, 0.0, -5.0, 0.0, 1.0], [1.0, 0.0, 0.5, 0.0, 0.05], [0.0, -1.0, 0.0, 1.0, 0.5]],
    6: [[0.0, 4.0, 0.0, -5.0, 0.0, 1.0], [1.0, 0.0, 0.0, 0.0, 0.0, 0.01], [4.0, 0.0, -5.0, 0.0, 1.0, 0.5]],
}


def matched_shapes(j: int, mean: float, sd: float,
                   shapes: Sequence[ArrayLike] | None = None) -> list[tuple[float, float, Array]]:
    """Each starting shape q of j coefficients (`SHAPES`, or those given)
    with the location and scale that give its noise the mean and standard
    deviation asked for: [(loc, scale, q), ...]."""
    out = []
    for q in SHAPES[j] if shapes is None else shapes:
        q = np.array(q)
        scale = sd / float(np.sqrt(accurate.var(0.0, 1.0, q)))
        out.append((mean - scale * float(accurate.mean(0.0, 1.0, q)), scale, q))
    return out


def shaped_starts(j: int, fits: Sequence[Points], rng: np.random.Generator, reshape: Reshape,
                  random: int = RANDOM) -> list[Start]:
    """Starts of j coefficients from each fit of fewer (the best so far and,
    while that may have wandered — a shape that trades the location for its
    modes — the logistic one): every starting shape of j coefficients and
    `random` j random ones (standard normal coefficients, each also stretched
    by a random factor from 1/3 to 3), placed by ``reshape(phi, mean, sd,
    loc, scale, stretch) -> phi`` so that the noise keeps the fit's mean
    `mean` and sd `sd`; (loc, scale) put the shape's noise e_q at mean 0 and
    sd 1 as loc + scale e_q."""
    shapes = SHAPES[j] + list(rng.normal(size=(random * j, j)))
    stretch = np.concatenate([np.ones(len(SHAPES[j])), np.exp(rng.uniform(-np.log(3), np.log(3), random * j))])
    matched = matched_shapes(j, 0.0, 1.0, shapes)
    out = []
    for fit in fits:
        phi, p = fit.phi[0], fit.p[0]
        mean = float(accurate.mean(0.0, 1.0, p))
        sd = float(np.sqrt(accurate.var(0.0, 1.0, p)))
        out += [(reshape(phi, mean, sd, loc, scale, more), q) for (loc, scale, q), more in zip(matched, stretch)]
    return out


def regression_starts(logistic: Callable[[], list[Start]], reshape: Reshape,
                      random: int = RANDOM) -> Callable[[int, Points | None], list[Start]]:
    """A regression's starts: ``logistic()``, the starts of logistic noise
    (j = 1); above, `shaped_starts` from the best fit of j - 1 and, above
    two coefficients, also from the logistic fit."""
    rng = np.random.default_rng(0)
    first: list[Points] = []

    def starts(j: int, best: Points | None) -> list[Start]:
        if best is None:
            return logistic()
        if j == 2:
            # A search that begins again (on a larger sample) replaces it.
            first[:] = [best]
        return shaped_starts(j, [best] if j == 2 else [best, first[0]], rng, reshape, random)

    return starts
