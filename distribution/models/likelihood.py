"""The one likelihood of every model: a location-scale model with adjusted
logistic noise, observed exactly or within bounds.

Observation i lies in (lo_i, hi_i], or at lo_i = hi_i when it is observed
exactly.  Each end is linear in the parameters beta, an offset o and a row D
of a design, and is standardised by the scale exp(Z_i g):

    z_e = (o_e + D_e beta) exp(-Z_i g),
    l_i = log P(z_lo < e <= z_hi; p)       (bounds),
    l_i = log pdf(z_i; p) - Z_i g          (exact),

with e of density proportional to p(e)^2 f(e), f the standard logistic.
The design of an end is sparse: D_e = -X_i where the end is finite (0 at an
infinite one), X shared by both ends, plus a unit entry at one column of
beta (the cut point of an ordered model; none for the others).  Bounds that
are data sit in o.  An observation may also be truncated to (t_lo, t_hi]:
its term then less log P(z_tlo < e <= z_thi; p), those ends standardised
alike with the design -X where finite.

The chain rule to (beta, g): dz/dbeta = exp(-Z g) D, dz/dg = -z Z,
d2z/dbeta dg = -exp(-Z g) D Z', d2z/dg2 = z Z Z', beta entering linearly;
infinite ends have derivative 0.  It is done in compiled code, observation
by observation (`accurate._location_scale_sums`, `_terms` and `_scores`),
on threads over fixed blocks of observations whose sums are added in a
fixed order: the results are the same for any number of threads.  Designs
the sparse ends cannot hold (an ordered model's nominal effects) come as
`dense.Dense` observations, whose chain rule is NumPy's.

Every sum is weighted (w_i = 1 unless the block has weights) and evaluated
for S parameter points at once, each a row of (beta, g, p): the search
moves many starts together through one call.
"""

import contextvars
import functools

import numpy as np

from .. import accurate
from . import dense

# What an evaluation is asked for: the value, its gradient, its Hessian.
VALUE, GRADIENT, HESSIAN = dense.VALUE, dense.GRADIENT, dense.HESSIAN

# The threads of the compiled likelihood: None for its own choice
# (DISTRIBUTION_NUM_THREADS, else the cores the process may use); 1 inside a
# Dask task, where the tasks themselves fill the cores.
_threads = contextvars.ContextVar("distribution_likelihood_threads", default=None)


def one_thread(fn):
    """fn as a Dask task runs it: the likelihood on the task's own thread."""
    return functools.partial(_on_one_thread, fn)


def _on_one_thread(fn, *args):
    token = _threads.set(1)
    try:
        return fn(*args)
    finally:
        _threads.reset(token)


class Block:
    """Observations of one NumPy block: the offsets of both ends (`exact`
    rows use `lo` alone), the design X (n, kx) of their finite ends, the
    unit columns idx_lo and idx_hi of beta (-1 for none; None: none at
    all), the scale design Z (n, kg), which may have no columns (None: a
    scale fixed at 1), weights (None for 1) and the truncation (t_lo, t_hi)
    or None."""

    def __init__(self, lo, hi, X, idx_lo=None, idx_hi=None, Z=None, exact=None, weights=None, row_index=None,
                 truncation=None):
        self.lo, self.hi = np.ascontiguousarray(lo, float), np.ascontiguousarray(hi, float)
        self.n = n = self.lo.size
        self.X = np.ascontiguousarray(X, float)
        self.idx_lo, self.idx_hi = (np.full(n, -1, np.int64) if i is None else np.ascontiguousarray(i, np.int64)
                                    for i in (idx_lo, idx_hi))
        self.Z = np.zeros((n, 0)) if Z is None else np.ascontiguousarray(Z, float)
        self.exact = np.zeros(n, bool) if exact is None else np.ascontiguousarray(exact, bool)
        self.weights = np.ones(n) if weights is None else np.asarray(weights, float)
        # Each observation's row in the model's data (for its cluster).
        self.row_index = np.arange(n) if row_index is None else np.asarray(row_index)
        self.truncation = None if truncation is None else tuple(np.ascontiguousarray(t, float) for t in truncation)

    def _fields(self):
        return (self.lo, self.hi, self.X, self.idx_lo, self.idx_hi, self.Z, self.exact, self.weights,
                self.row_index)

    def rows(self, keep):
        return Block(*(f[keep] for f in self._fields()),
                     truncation=None if self.truncation is None else tuple(t[keep] for t in self.truncation))

    @classmethod
    def concatenate(cls, parts):
        """The observations of the blocks `parts`, one after the other."""
        truncated = [p.truncation is not None for p in parts]
        truncation = None
        if any(truncated):
            truncation = tuple(np.concatenate([p.truncation[e] if p.truncation is not None
                                               else np.full(p.n, (-np.inf, np.inf)[e]) for p in parts])
                               for e in (0, 1))
        return cls(*(np.concatenate(f) for f in zip(*(p._fields() for p in parts))), truncation=truncation)

    def _arguments(self):
        return (self.lo, self.hi, self.X, self.idx_lo, self.idx_hi, self.Z, self.exact)

    def standardised_ends(self, beta, g):
        """Both ends of every observation in the noise's units at one point
        (beta, g): (o + D beta) exp(-Z g), the infinite ones as they are."""
        s_inv = np.exp(-(self.Z @ g))
        inner = self.X @ beta[:self.X.shape[1]]
        out = []
        for offset, idx in ((self.lo, self.idx_lo), (self.hi, self.idx_hi)):
            end = offset - inner + np.where(idx >= 0, beta[np.maximum(idx, 0)], 0.0)
            out.append(np.where(np.isfinite(offset), end * s_inv, offset))
        return tuple(out)

    def strata(self):
        """A code for each observation's pair of unit columns (an ordered
        model's category; one code where there are none), alike in every
        block: the strata that a sample of the observations keeps."""
        return (self.idx_lo + 1) * (1 << 32) + (self.idx_hi + 1)


def sums(block, beta, g, p, want=HESSIAN):
    """The weighted log-likelihood of the block at the S points (beta, g, p),
    rows of (S, kb), (S, kg) and (S, m), and as `want` asks its gradient
    (S, k) and Hessian (S, k, k) in (beta, g, p) (zeros where not asked)."""
    if isinstance(block, dense.Dense):
        return dense.sums(block, beta, g, p, want)
    return accurate._location_scale_sums(*block._arguments(), beta, g, p, weights=block.weights, want=want,
                                         truncation=block.truncation, threads=_threads.get())


def terms(block, beta, g, p):
    """The weighted log-likelihood of each observation of the block at the S
    points (beta, g, p): (S, n)."""
    if isinstance(block, dense.Dense):
        return dense.terms(block, beta, g, p)
    return accurate._location_scale_terms(*block._arguments(), beta, g, p, weights=block.weights,
                                          truncation=block.truncation, threads=_threads.get())


def scores(block, beta, g, p):
    """The gradient of each observation's log-likelihood (unweighted) at one
    point (beta, g, p), rows of (1, .): (n, kb + kg + m), the terms whose
    weighted sum is the gradient of `sums`."""
    if isinstance(block, dense.Dense):
        return dense.scores(block, beta, g, p)
    return accurate._location_scale_scores(*block._arguments(), beta, g, p, truncation=block.truncation,
                                           threads=_threads.get())


def noise_coefficients(params, n_phi, m):
    """p among parameters (phi, p): the entries after phi, or the constant 1
    of logistic noise (m = 1, where p is not a parameter)."""
    return params[n_phi:] if m > 1 else np.ones(1)
