"""The location-scale likelihood in NumPy, the chain rule written out with
dense designs and (S, n, k) temporaries (`distribution.models.dense`): the
reference for the compiled one (`accurate._location_scale_sums`, `_terms`,
`_scores`).

A LocationScaleBlock's sparse ends become dense rows D_e = -X where the end is finite
plus the unit column; a truncation is a second set of bounds, of weight
-w_i, with the design -X where finite.
"""

import numpy as np

from distribution.models.dense import DenseBlock as Dense
from distribution.models.dense import _scores
from distribution.models.dense import _sums
from distribution.models.dense import _terms
from distribution.models.dense import HESSIAN


def design(offset, X, idx, kb):
    D = np.zeros((offset.size, kb))
    D[:, :X.shape[1]] = np.where(np.isfinite(offset)[:, None], -X, 0.0)
    unit = idx >= 0
    D[np.flatnonzero(unit), idx[unit]] += 1.0
    return D


def parts(block, kb):
    """The block as Dense observations, and its truncations (or None)."""
    none = np.full(block.n, -1)
    main = Dense(block.lo, design(block.lo, block.X, block.idx_lo, kb),
                 block.hi, design(block.hi, block.X, np.where(block.exact, -1, block.idx_hi), kb),
                 block.Z, block.exact, block.weights)
    if block.truncation is None:
        return main, None, None
    t_lo, t_hi = block.truncation
    keep = ~((t_lo == -np.inf) & (t_hi == np.inf))
    cut = Dense(t_lo, design(t_lo, block.X, none, kb), t_hi, design(t_hi, block.X, none, kb), block.Z,
                np.zeros(block.n, bool), -block.weights)
    return main, cut.rows(keep), keep


def sums(block, beta, g, p, want=HESSIAN):
    main, cut, _ = parts(block, beta.shape[1])
    total = _sums(main, beta, g, p, want)
    if cut is not None and cut.n:
        total = tuple(a + b for a, b in zip(total, _sums(cut, beta, g, p, want)))
    return total


def terms(block, beta, g, p):
    main, cut, keep = parts(block, beta.shape[1])
    out = _terms(main, beta, g, p)
    if cut is not None:
        out[:, keep] += _terms(cut, beta, g, p)
    return out


def scores(block, beta, g, p):
    main, cut, keep = parts(block, beta.shape[1])
    out = _scores(main, beta, g, p)
    if cut is not None:
        out[keep] -= _scores(cut, beta, g, p)
    return out
