"""The location-scale likelihood in NumPy with dense designs: each end's
row D_e of the design written out, the chain rule with (S, n, k)
temporaries and BLAS products.

It serves the designs the compiled likelihood's sparse ends do not hold:
an ordered model's nominal effects, whose thresholds c_j + w gamma_j put a
row of w at each end's own cut point (gamma_j there are the nominal
effects; below, gamma is the scale's).  It is also the reference the
compiled likelihood is tested against (tests/likelihood_oracle.py).  The
formulas are those of `likelihood`: dz/dbeta = exp(-Z gamma) D,
dz/dgamma = -z Z, d2z/dbeta dgamma = -exp(-Z gamma) D Z',
d2z/dgamma2 = z Z Z'.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

from .. import accurate
from .block import GRADIENT, HESSIAN, VALUE, Array, Index, ObservationBlock, Sums

__all__ = ["DenseBlock", "VALUE", "GRADIENT", "HESSIAN"]


class DenseBlock(ObservationBlock):
    """Observations with the dense designs D_lo and D_hi (n, kb) of their
    ends, the scale design Z (n, kg), exact rows, weights and each one's row
    in the model's data (for its cluster); phi = (beta, gamma)."""

    def __init__(self, lo: Array, D_lo: Array, hi: Array, D_hi: Array, Z: Array, exact: Any, weights: Array,
                 row_index: Index | None = None) -> None:
        self.lo, self.D_lo, self.hi, self.D_hi = lo, D_lo, hi, D_hi
        self.Z, self.exact, self.weights, self.n = Z, exact, weights, lo.size
        self.row_index = np.arange(self.n) if row_index is None else row_index
        self.k_location = D_lo.shape[1]
        self.k_phi = self.k_location + Z.shape[1]

    def _fields(self) -> tuple[NDArray[Any], ...]:
        return (self.lo, self.D_lo, self.hi, self.D_hi, self.Z, self.exact, self.weights, self.row_index)

    def rows(self, keep: Index | np.ndarray) -> DenseBlock:
        return DenseBlock(*(f[keep] for f in self._fields()))

    @classmethod
    def concatenate(cls, parts: Sequence[DenseBlock]) -> DenseBlock:
        return cls(*(np.concatenate(f) for f in zip(*(p._fields() for p in parts))))

    def _split(self, phi: Array) -> tuple[Array, Array]:
        return phi[:, :self.k_location], phi[:, self.k_location:]

    def sums(self, phi: Array, p: Array, want: int = HESSIAN) -> Sums:
        return _sums(self, *self._split(phi), p, want)

    def terms(self, phi: Array, p: Array) -> Array:
        return _terms(self, *self._split(phi), p)

    def scores(self, phi: Array, p: Array) -> Array:
        return _scores(self, *self._split(phi), p)

    def linear_ends(self) -> DenseBlock:
        return self

    def designs(self, rows: slice | Index = slice(None)) -> tuple[Array, Array]:
        return self.D_lo[rows], self.D_hi[rows]

    def standardised_ends(self, beta: Array, gamma: Array) -> tuple[Array, Array]:
        """(o + D beta) exp(-Z gamma) at both ends, the infinite ones as they are."""
        s_inv = np.exp(-(self.Z @ gamma))
        lo, hi = (np.where(np.isfinite(o), (o + D @ beta) * s_inv, o)
                  for o, D in ((self.lo, self.D_lo), (self.hi, self.D_hi)))
        return lo, hi


class End:
    """One end of the observations at S parameter points: z (S, n), its
    finite part, and J = dz / d(beta, gamma), (S, n, kb + kg)."""

    def __init__(self, offset: Array, D: Array, Z: Array, beta: Array, gamma: Array, s_inv: Array,
                 jacobian: bool) -> None:
        self.z = (offset + beta @ D.T) * s_inv
        self.finite = np.where(np.isfinite(self.z), self.z, 0.0)
        self.D, self.Z, self.s_inv = D, Z, s_inv
        if jacobian:
            self.J = np.concatenate([s_inv[..., None] * D, -self.finite[..., None] * Z], axis=-1)


def _sums(block: DenseBlock, beta: Array, gamma: Array, p: Array, want: int) -> Sums:
    """The sums of `ObservationBlock.sums` at (beta, gamma) = phi."""
    S, kb, kg, m = p.shape[0], beta.shape[1], gamma.shape[1], p.shape[1]
    k = kb + kg + m
    total, grad, hess = np.zeros(S), np.zeros((S, k)), np.zeros((S, k, k))
    for exact in (True, False):
        keep = block.exact == exact
        if not keep.any():
            continue
        part = block.rows(keep)
        log_scale = gamma @ part.Z.T  # (S, n)
        s_inv = np.exp(-log_scale)
        w = part.weights
        lo = End(part.lo, part.D_lo, part.Z, beta, gamma, s_inv, want > VALUE)
        if exact:
            if want == VALUE:
                total += (accurate.logpdf(lo.z, 0.0, 1.0, p) - log_scale) @ w
                continue
            v, d, dd, dp, dxp, dpp = accurate.logpdf_hess(lo.z, 0.0, 1.0, p)
            total += (v - log_scale) @ w
            ends, first, second, cross = [lo], [d], [[dd]], [dxp]
            grad[:, kb:kb + kg] -= w @ part.Z
        else:
            hi = End(part.hi, part.D_hi, part.Z, beta, gamma, s_inv, want > VALUE)
            if want == VALUE:
                total += accurate.log_probability_between(lo.z, hi.z, 0.0, 1.0, p) @ w
                continue
            v, da, db, daa, dab, dbb, dp, dap, dbp, dpp = accurate.log_probability_between_hess(
                lo.z, hi.z, 0.0, 1.0, p)
            total += v @ w
            ends, first, second, cross = [lo, hi], [da, db], [[daa, dab], [dab, dbb]], [dap, dbp]
        _chain(grad, hess if want == HESSIAN else None, kb, kg, w, ends, first, second, cross, dp, dpp)
    return total, grad, hess


def _chain(grad: Array, hess: Array | None, kb: int, kg: int, w: Array, ends: Sequence[End], first: Sequence[Array],
           second: Sequence[Sequence[Array]], cross: Sequence[Array], dp: Array, dpp: Array) -> None:
    q, S, n = kb + kg, dp.shape[0], dp.shape[1]
    m = dp.shape[2]
    for end, d in zip(ends, first):
        grad[:, :q] += ((d * w)[:, None, :] @ end.J)[:, 0]
    grad[:, q:] += w @ dp
    if hess is None:
        return
    for i, a in enumerate(ends):
        Jt = np.swapaxes(a.J, 1, 2)
        for j, b in enumerate(ends):
            hess[:, :q, :q] += Jt @ ((second[i][j] * w)[..., None] * b.J)
        hess[:, :q, q:] += Jt @ (cross[i] * w[:, None])
    hess[:, q:, :q] = np.swapaxes(hess[:, :q, q:], 1, 2)
    hess[:, q:, q:] += (w @ dpp.reshape(S, n, m * m)).reshape(S, m, m)
    if kg:
        for end, d in zip(ends, first):
            dw = d * w
            bg = -(end.D.T @ ((dw * end.s_inv)[..., None] * end.Z))
            hess[:, :kb, kb:q] += bg
            hess[:, kb:q, :kb] += np.swapaxes(bg, 1, 2)
            hess[:, kb:q, kb:q] += end.Z.T @ ((dw * end.finite)[..., None] * end.Z)


def _terms(block: DenseBlock, beta: Array, gamma: Array, p: Array) -> Array:
    out = np.empty((p.shape[0], block.n))
    log_scale = gamma @ block.Z.T
    s_inv = np.exp(-log_scale)
    lo = End(block.lo, block.D_lo, block.Z, beta, gamma, s_inv, False)
    hi = End(block.hi, block.D_hi, block.Z, beta, gamma, s_inv, False)
    exact = block.exact
    out[:, exact] = accurate.logpdf(lo.z[:, exact], 0.0, 1.0, p) - log_scale[:, exact]
    out[:, ~exact] = accurate.log_probability_between(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    return out * block.weights


def _scores(block: DenseBlock, beta: Array, gamma: Array, p: Array) -> Array:
    q = beta.shape[1] + gamma.shape[1]
    out = np.empty((block.n, q + p.shape[1]))
    s_inv = np.exp(-(gamma @ block.Z.T))
    lo = End(block.lo, block.D_lo, block.Z, beta, gamma, s_inv, True)
    hi = End(block.hi, block.D_hi, block.Z, beta, gamma, s_inv, True)
    exact = block.exact
    _, d, _, _, dp = accurate.logpdf_grad(lo.z[:, exact], 0.0, 1.0, p)
    out[exact, :q] = d[0, :, None] * lo.J[0, exact]
    out[exact, beta.shape[1]:q] -= block.Z[exact]
    out[exact, q:] = dp[0]
    _, da, db, _, _, dp = accurate.log_probability_between_grad(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    out[~exact, :q] = da[0, :, None] * lo.J[0, ~exact] + db[0, :, None] * hi.J[0, ~exact]
    out[~exact, q:] = dp[0]
    return out
