"""The location-scale likelihood in NumPy, the chain rule written out with
dense designs and (S, n, k) temporaries: the reference for the compiled
one (`accurate._location_scale_sums`, `_terms`, `_scores`).

A Block's sparse ends become dense rows D_e = -X where the end is finite
plus the unit column; a truncation is a second set of bounds, of weight
-w_i, with the design -X where finite.
"""

import numpy as np

from distribution import accurate

VALUE, GRADIENT, HESSIAN = 0, 1, 2


class Dense:
    """Observations with the dense designs D_lo and D_hi (n, kb)."""

    def __init__(self, lo, D_lo, hi, D_hi, Z, exact, weights):
        self.lo, self.D_lo, self.hi, self.D_hi = lo, D_lo, hi, D_hi
        self.Z, self.exact, self.weights, self.n = Z, exact, weights, lo.size

    def rows(self, keep):
        return Dense(self.lo[keep], self.D_lo[keep], self.hi[keep], self.D_hi[keep], self.Z[keep],
                     self.exact[keep], self.weights[keep])


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


class End:
    """One end of the observations at S parameter points: z (S, n), its
    finite part, and J = dz / d(beta, g), (S, n, kb + kg)."""

    def __init__(self, offset, D, Z, beta, g, s_inv, jacobian):
        self.z = (offset + beta @ D.T) * s_inv
        self.finite = np.where(np.isfinite(self.z), self.z, 0.0)
        self.D, self.Z, self.s_inv = D, Z, s_inv
        if jacobian:
            self.J = np.concatenate([s_inv[..., None] * D, -self.finite[..., None] * Z], axis=-1)


def sums(block, beta, g, p, want=HESSIAN):
    main, cut, _ = parts(block, beta.shape[1])
    total = _sums(main, beta, g, p, want)
    if cut is not None and cut.n:
        total = tuple(a + b for a, b in zip(total, _sums(cut, beta, g, p, want)))
    return total


def _sums(block, beta, g, p, want):
    S, kb, kg, m = p.shape[0], beta.shape[1], g.shape[1], p.shape[1]
    k = kb + kg + m
    total, grad, hess = np.zeros(S), np.zeros((S, k)), np.zeros((S, k, k))
    for exact in (True, False):
        keep = block.exact == exact
        if not keep.any():
            continue
        part = block.rows(keep)
        log_scale = g @ part.Z.T  # (S, n)
        s_inv = np.exp(-log_scale)
        w = part.weights
        lo = End(part.lo, part.D_lo, part.Z, beta, g, s_inv, want > VALUE)
        if exact:
            if want == VALUE:
                total += (accurate.logpdf(lo.z, 0.0, 1.0, p) - log_scale) @ w
                continue
            v, d, dd, dp, dxp, dpp = accurate.logpdf_hess(lo.z, 0.0, 1.0, p)
            total += (v - log_scale) @ w
            ends, first, second, cross = [lo], [d], [[dd]], [dxp]
            grad[:, kb:kb + kg] -= w @ part.Z
        else:
            hi = End(part.hi, part.D_hi, part.Z, beta, g, s_inv, want > VALUE)
            if want == VALUE:
                total += accurate.log_probability_between(lo.z, hi.z, 0.0, 1.0, p) @ w
                continue
            v, da, db, daa, dab, dbb, dp, dap, dbp, dpp = accurate.log_probability_between_hess(
                lo.z, hi.z, 0.0, 1.0, p)
            total += v @ w
            ends, first, second, cross = [lo, hi], [da, db], [[daa, dab], [dab, dbb]], [dap, dbp]
        _chain(grad, hess if want == HESSIAN else None, kb, kg, w, ends, first, second, cross, dp, dpp)
    return total, grad, hess


def _chain(grad, hess, kb, kg, w, ends, first, second, cross, dp, dpp):
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


def terms(block, beta, g, p):
    main, cut, keep = parts(block, beta.shape[1])
    out = _terms(main, beta, g, p)
    if cut is not None:
        out[:, keep] += _terms(cut, beta, g, p)
    return out


def _terms(block, beta, g, p):
    out = np.empty((p.shape[0], block.n))
    log_scale = g @ block.Z.T
    s_inv = np.exp(-log_scale)
    lo = End(block.lo, block.D_lo, block.Z, beta, g, s_inv, False)
    hi = End(block.hi, block.D_hi, block.Z, beta, g, s_inv, False)
    exact = block.exact
    out[:, exact] = accurate.logpdf(lo.z[:, exact], 0.0, 1.0, p) - log_scale[:, exact]
    out[:, ~exact] = accurate.log_probability_between(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    return out * block.weights


def scores(block, beta, g, p):
    main, cut, keep = parts(block, beta.shape[1])
    out = _scores(main, beta, g, p)
    if cut is not None:
        out[keep] -= _scores(cut, beta, g, p)
    return out


def _scores(block, beta, g, p):
    q = beta.shape[1] + g.shape[1]
    out = np.empty((block.n, q + p.shape[1]))
    s_inv = np.exp(-(g @ block.Z.T))
    lo = End(block.lo, block.D_lo, block.Z, beta, g, s_inv, True)
    hi = End(block.hi, block.D_hi, block.Z, beta, g, s_inv, True)
    exact = block.exact
    _, d, _, _, dp = accurate.logpdf_grad(lo.z[:, exact], 0.0, 1.0, p)
    out[exact, :q] = d[0, :, None] * lo.J[0, exact]
    out[exact, beta.shape[1]:q] -= block.Z[exact]
    out[exact, q:] = dp[0]
    _, da, db, _, _, dp = accurate.log_probability_between_grad(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    out[~exact, :q] = da[0, :, None] * lo.J[0, ~exact] + db[0, :, None] * hi.J[0, ~exact]
    out[~exact, q:] = dp[0]
    return out
