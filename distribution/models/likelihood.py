"""The one likelihood of every model: a location-scale model with adjusted
logistic noise, observed exactly or within bounds.

Observation i lies in (lo_i, hi_i], or at lo_i = hi_i when it is observed
exactly.  Each end is linear in the parameters beta, an offset o and a row D
of a design, and is standardised by the scale exp(Z_i gamma):

    z_e = (o_e + D_e beta) exp(-Z_i gamma),
    l_i = log P(z_lo < e <= z_hi; p)       (bounds),
    l_i = log pdf(z_i; p) - Z_i gamma      (exact),

with e of density proportional to p(e)^2 f(e), f the standard logistic.
The design of an end is sparse: D_e = -X_i where the end is finite (0 at an
infinite one), X shared by both ends, plus a unit entry at one column of
beta (the cut point of an ordered model; none for the others).  Bounds that
are data sit in o.  An observation may also be truncated to (t_lo, t_hi]:
its term then less log P(z_tlo < e <= z_thi; p), those ends standardised
alike with the design -X where finite.

The chain rule to (beta, gamma): dz/dbeta = exp(-Z gamma) D,
dz/dgamma = -z Z, d2z/dbeta dgamma = -exp(-Z gamma) D Z',
d2z/dgamma2 = z Z Z', beta entering linearly;
infinite ends have derivative 0.  It is done in compiled code, observation
by observation (`accurate._location_scale_sums`, `_terms` and `_scores`),
on threads over fixed blocks of observations whose sums are added in a
fixed order: the results are the same for any number of threads.  Designs
the sparse ends cannot hold (an ordered model's nominal effects) come as
`dense.DenseBlock` observations, whose chain rule is NumPy's.

Every sum is weighted (w_i = 1 unless the block has weights) and evaluated
for S parameter points at once, each a row of (beta, gamma, p): the search
moves many starts together through one call.
"""

from __future__ import annotations

import contextvars
import functools
from typing import Any, Callable, Sequence, cast

import numpy as np
from numpy.typing import NDArray

from .. import accurate
from .block import GRADIENT, HESSIAN, VALUE, Array, Index, ObservationBlock, Sums

__all__ = ["LocationScaleBlock", "VALUE", "GRADIENT", "HESSIAN", "one_thread", "noise_coefficients"]

# The threads of the compiled likelihood: None for its own choice
# (DISTRIBUTION_NUM_THREADS, else the cores the process may use); 1 inside a
# Dask task, where the tasks themselves fill the cores.
_threads: contextvars.ContextVar[int | None] = contextvars.ContextVar("distribution_likelihood_threads",
                                                                      default=None)


def one_thread(fn: Callable[..., Any]) -> Callable[..., Any]:
    """fn as a Dask task runs it: the likelihood on the task's own thread."""
    return functools.partial(_on_one_thread, fn)


def _on_one_thread(fn: Callable[..., Any], *args: Any) -> Any:
    token = _threads.set(1)
    try:
        return fn(*args)
    finally:
        _threads.reset(token)


class LocationScaleBlock(ObservationBlock):
    """Observations of one NumPy block: the offsets of both ends (`exact`
    rows use `lo` alone), the design X (n, kx) of their finite ends, the
    unit columns idx_lo and idx_hi of beta (-1 for none; None: none at
    all), the scale design Z (n, kg), which may have no columns (None: a
    scale fixed at 1), weights (None for 1) and the truncation (t_lo, t_hi)
    or None.  beta has `k_location` coefficients (X's columns unless
    there are unit columns), phi = (beta, gamma)."""

    def __init__(self, lo: Any, hi: Any, X: Any, idx_lo: Any = None, idx_hi: Any = None, Z: Any = None,
                 exact: Any = None, weights: Any = None, row_index: Any = None, *,
                 truncation: tuple[Any, Any] | None = None, k_location: int | None = None) -> None:
        self.lo, self.hi = np.ascontiguousarray(lo, float), np.ascontiguousarray(hi, float)
        self.n = n = self.lo.size
        self.X = np.ascontiguousarray(X, float)
        self.idx_lo, self.idx_hi = (np.full(n, -1, np.int64) if i is None else np.ascontiguousarray(i, np.int64)
                                    for i in (idx_lo, idx_hi))
        self.Z = np.zeros((n, 0)) if Z is None else np.ascontiguousarray(Z, float)
        self.exact = np.zeros(n, bool) if exact is None else np.ascontiguousarray(exact, bool)
        self.weights = np.ones(n) if weights is None else np.asarray(weights, float)
        self.row_index = np.arange(n) if row_index is None else np.asarray(row_index)
        self.truncation = None if truncation is None else cast("tuple[Array, Array]", tuple(
            np.ascontiguousarray(t, float) for t in truncation))
        if k_location is None:
            if idx_lo is not None or idx_hi is not None:
                raise TypeError("a block with unit columns needs k_location, the columns of beta")
            k_location = self.X.shape[1]
        self.k_location = k_location
        self.k_phi = k_location + self.Z.shape[1]

    def _fields(self) -> tuple[NDArray[Any], ...]:
        return (self.lo, self.hi, self.X, self.idx_lo, self.idx_hi, self.Z, self.exact, self.weights,
                self.row_index)

    def rows(self, keep: Index | np.ndarray) -> LocationScaleBlock:
        return LocationScaleBlock(*(f[keep] for f in self._fields()), k_location=self.k_location,
                                  truncation=None if self.truncation is None else
                                  (self.truncation[0][keep], self.truncation[1][keep]))

    @classmethod
    def concatenate(cls, parts: Sequence[LocationScaleBlock]) -> LocationScaleBlock:
        truncation = None
        if any(p.truncation is not None for p in parts):
            lower, upper = ([p.truncation[e] if p.truncation is not None else np.full(p.n, (-np.inf, np.inf)[e])
                             for p in parts] for e in (0, 1))
            truncation = (np.concatenate(lower), np.concatenate(upper))
        return cls(*(np.concatenate(f) for f in zip(*(p._fields() for p in parts))), truncation=truncation,
                   k_location=parts[0].k_location)

    def _arguments(self, phi: Array) -> tuple[Array, Array, Array, Index, Index, Array, NDArray[np.bool_], Array,
                                              Array]:
        kb = self.k_location
        return (self.lo, self.hi, self.X, self.idx_lo, self.idx_hi, self.Z, self.exact, phi[:, :kb], phi[:, kb:])

    def sums(self, phi: Array, p: Array, want: int = HESSIAN) -> Sums:
        out: Sums = accurate._location_scale_sums(*self._arguments(phi), p, weights=self.weights, want=want,
                                                  truncation=self.truncation, threads=_threads.get())
        return out

    def terms(self, phi: Array, p: Array) -> Array:
        out: Array = accurate._location_scale_terms(*self._arguments(phi), p, weights=self.weights,
                                                    truncation=self.truncation, threads=_threads.get())
        return out

    def scores(self, phi: Array, p: Array) -> Array:
        out: Array = accurate._location_scale_scores(*self._arguments(phi), p, truncation=self.truncation,
                                                     threads=_threads.get())
        return out

    def strata(self) -> Index:
        """A code for each observation's pair of unit columns (an ordered
        model's category; one code where there are none)."""
        out: Index = (self.idx_lo + 1) * (1 << 32) + (self.idx_hi + 1)
        return out

    def linear_ends(self) -> LocationScaleBlock | None:
        # A truncated observation's window moves with the location too: its
        # ends are not all there is to its probability.
        return self if self.truncation is None else None

    def designs(self, rows: slice | Index = slice(None)) -> tuple[Array, Array]:
        """The dense designs of the ends at `rows`: -X where the end is
        finite, beside its unit column."""
        out = []
        X = self.X[rows]
        for offset, idx in ((self.lo[rows], self.idx_lo[rows]), (self.hi[rows], self.idx_hi[rows])):
            D = np.zeros((offset.size, self.k_location))
            D[:, :X.shape[1]] = np.where(np.isfinite(offset)[:, None], -X, 0.0)
            unit = np.flatnonzero(idx >= 0)
            D[unit, idx[unit]] += 1.0
            out.append(D)
        return out[0], out[1]

    def standardised_ends(self, beta: Array, gamma: Array) -> tuple[Array, Array]:
        """(o + D beta) exp(-Z gamma) at both ends, the infinite ones as they are."""
        s_inv = np.exp(-(self.Z @ gamma))
        inner = self.X @ beta[:self.X.shape[1]]
        out = []
        for offset, idx in ((self.lo, self.idx_lo), (self.hi, self.idx_hi)):
            end = offset - inner + np.where(idx >= 0, beta[np.maximum(idx, 0)], 0.0)
            out.append(np.where(np.isfinite(offset), end * s_inv, offset))
        return out[0], out[1]


def noise_coefficients(params: Array, n_phi: int, m: int) -> Array:
    """p among parameters (phi, p): the entries after phi, or the constant 1
    of logistic noise (m = 1, where p is not a parameter)."""
    return params[n_phi:] if m > 1 else np.ones(1)
