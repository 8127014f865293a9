"""The one likelihood of every model: a location-scale model with adjusted
logistic noise, observed exactly or within bounds.

Observation i lies in (lo_i, hi_i], or at lo_i = hi_i when it is observed
exactly.  Each end is linear in the parameters beta, an offset o and a row D
of a design (the cut points of an ordered model sit in D, bounds that are
data in o), and is standardised by the scale exp(Z_i g):

    z_e = (o_e + D_e beta) exp(-Z_i g),
    l_i = log P(z_lo < e <= z_hi; p)       (bounds),
    l_i = log pdf(z_i; p) - Z_i g          (exact),

with e of density proportional to p(e)^2 f(e), f the standard logistic.
The compiled functions give the value, gradient and Hessian in the
standardised ends and p; the chain rule to (beta, g) is written here once:
dz/dbeta = exp(-Z g) D, dz/dg = -z Z, d2z/dbeta dg = -exp(-Z g) D Z',
d2z/dg2 = z Z Z', and beta enters linearly.  Infinite ends have derivative 0.

Every sum is weighted (w_i = 1 unless the block has weights) and evaluated
for S parameter points at once, each a row of (beta, g, p): the search
moves many starts together through one call of each compiled function.
"""

import numpy as np

from .. import accurate

VALUE, GRADIENT, HESSIAN = 0, 1, 2


class Block:
    """Observations of one NumPy block: the offsets and designs of both ends
    (`exact` rows use `lo` alone), the scale design Z (n, kg), which may
    have no columns (a scale fixed at 1), and weights (None for 1).

    Truncation: observation i was only ever sampled within (t_lo, t_hi], and
    its term is less log P(t_lo < e <= t_hi) at the standardised truncation
    points: `truncation`, a Block of those bounds as interval observations
    of weight -w (ends at +-inf where a side is not truncated), or None."""

    def __init__(self, lo, D_lo, hi, D_hi, Z, exact=None, weights=None, row_index=None, truncation=None):
        self.lo, self.D_lo = np.asarray(lo, float), np.asarray(D_lo, float)
        self.hi, self.D_hi = np.asarray(hi, float), np.asarray(D_hi, float)
        self.Z = np.asarray(Z, float)
        self.n = self.lo.size
        self.exact = np.zeros(self.n, bool) if exact is None else np.asarray(exact, bool)
        self.weights = np.ones(self.n) if weights is None else np.asarray(weights, float)
        # Each observation's row in the model's data (for its cluster).
        self.row_index = np.arange(self.n) if row_index is None else np.asarray(row_index)
        self.truncation = truncation

    def rows(self, keep):
        return Block(self.lo[keep], self.D_lo[keep], self.hi[keep], self.D_hi[keep], self.Z[keep],
                     self.exact[keep], self.weights[keep], self.row_index[keep],
                     None if self.truncation is None else self.truncation.rows(keep))

    @staticmethod
    def join(parts):
        """The Blocks one after another, as one."""
        if len(parts) == 1:
            return parts[0]
        names = ("lo", "D_lo", "hi", "D_hi", "Z", "exact", "weights", "row_index")
        truncated = parts[0].truncation is not None
        return Block(*(np.concatenate([getattr(b, name) for b in parts]) for name in names),
                     truncation=Block.join([b.truncation for b in parts]) if truncated else None)


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
    """The weighted log-likelihood of the block at the S points (beta, g, p),
    rows of (S, kb), (S, kg) and (S, m), and as `want` asks its gradient
    (S, k) and Hessian (S, k, k) in (beta, g, p)."""
    S, kb, kg, m = p.shape[0], beta.shape[1], g.shape[1], p.shape[1]
    k = kb + kg + m
    total, grad, hess = np.zeros(S), np.zeros((S, k)), np.zeros((S, k, k))
    for exact in (True, False):
        keep = block.exact == exact
        if not keep.any():
            continue
        part = block if keep.all() else block.rows(keep)
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
            v, da, db, daa, dab, dbb, dp, dap, dbp, dpp = accurate.log_probability_between_hess(lo.z, hi.z, 0.0, 1.0, p)
            total += v @ w
            ends, first, second, cross = [lo, hi], [da, db], [[daa, dab], [dab, dbb]], [dap, dbp]
        _chain(grad, hess if want == HESSIAN else None, kb, kg, w, ends, first, second, cross, dp, dpp)
    if block.truncation is not None:
        t_total, t_grad, t_hess = sums(block.truncation, beta, g, p, want)
        total, grad, hess = total + t_total, grad + t_grad, hess + t_hess
    return total, grad, hess


def _both_ends(block, beta, g, jacobian):
    """The log-scale (S, n) and both Ends of every observation of the block."""
    log_scale = g @ block.Z.T
    s_inv = np.exp(-log_scale)
    return (log_scale, End(block.lo, block.D_lo, block.Z, beta, g, s_inv, jacobian),
            End(block.hi, block.D_hi, block.Z, beta, g, s_inv, jacobian))


def terms(block, beta, g, p):
    """The weighted log-likelihood of each observation of the block at the S
    points (beta, g, p): (S, n)."""
    out = np.empty((p.shape[0], block.n))
    log_scale, lo, hi = _both_ends(block, beta, g, False)
    exact = block.exact
    out[:, exact] = accurate.logpdf(lo.z[:, exact], 0.0, 1.0, p) - log_scale[:, exact]
    out[:, ~exact] = accurate.log_probability_between(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    out *= block.weights
    return out if block.truncation is None else out + terms(block.truncation, beta, g, p)


def scores(block, beta, g, p):
    """The gradient of each observation's log-likelihood (unweighted) at one
    point (beta, g, p), rows of (1, .): (n, kb + kg + m), the terms whose
    weighted sum is the gradient of `sums`."""
    q = beta.shape[1] + g.shape[1]
    out = np.empty((block.n, q + p.shape[1]))
    _, lo, hi = _both_ends(block, beta, g, True)
    exact = block.exact
    _, d, _, _, dp = accurate.logpdf_grad(lo.z[:, exact], 0.0, 1.0, p)
    out[exact, :q] = d[0, :, None] * lo.J[0, exact]
    out[exact, beta.shape[1]:q] -= block.Z[exact]
    out[exact, q:] = dp[0]
    _, da, db, _, _, dp = accurate.log_probability_between_grad(lo.z[:, ~exact], hi.z[:, ~exact], 0.0, 1.0, p)
    out[~exact, :q] = da[0, :, None] * lo.J[0, ~exact] + db[0, :, None] * hi.J[0, ~exact]
    out[~exact, q:] = dp[0]
    return out if block.truncation is None else out - scores(block.truncation, beta, g, p)


def _chain(grad, hess, kb, kg, w, ends, first, second, cross, dp, dpp):
    """Adds the chain rule to grad and hess: sum_e d_e J_e and sum w d_p; the
    ends' second derivatives J' H J, their cross terms with p, and d_e times
    the second derivatives of each z_e in (beta, g).  Batched products
    (S, ., n) @ (S, n, .), so that BLAS does the sums."""
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


def noise_coefficients(params, n_phi, m):
    """p among parameters (phi, p): the entries after phi, or the constant 1
    of logistic noise (m = 1, where p is not a parameter)."""
    return params[n_phi:] if m > 1 else np.ones(1)
