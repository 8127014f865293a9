"""Stand-in, in NumPy, for functions that the compiled ``accurate`` module is
about to gain: the gradients, interval probabilities and moments.

This module is temporary: remove it once ``distribution.accurate`` has these
names, and ``distribution._kernels.kernel`` then finds them there.  Each
function has the signature and broadcasting of the generalized ufunc it stands
for; values come from the accurate functions, derivatives are analytic.

Everything is reduced to the standardised variable t = (x - loc) / scale, in
which p(x) = P(t) with P(t) = p(loc + scale t), and to the moments of the
standard logistic density f:

* M_n = int t^n f(t) dt: M_0 = 1, M_n = 0 for odd n and
  M_n = 2 n! eta(n) = (2^n - 2) |B_n| pi^n for even n >= 2 (B_n the
  Bernoulli numbers);
* the mass of a polynomial R(t) over an interval (ta, tb] of t is
  sum_n R_n D_n, with D_n = int_ta^tb t^n f(t) dt.

With N(R) = sum_n R_n D_n the mass of the interval under the unnormalised
density P(t)^2 f(t), and S the same over the whole line (D = M), the
derivatives of log N with respect to the parameters are masses of other
polynomials (differentiating under the integral, and at the moving ends):

* d/dparam_k: 2 N(P Q_k) / N, with Q_k(t) = (loc + scale t)^k;
* d/dloc: 2 N(P P') / (scale N), less the density at the ends;
* d/dscale: 2 N(P P' t) / (scale N), less t times the density at the ends.

The partial moments D_n come from the accurate ``logcdf`` of the monomials
p(t) = t^k (the even ones) and t^k + t^(k+1) (the odd ones, by difference),
each tail scaled by the logistic tail at the same point so that nothing
underflows.
"""

from fractions import Fraction
from math import comb, pi

import numpy as np

from . import accurate
from ._poly import compose as _in_t, polymul as _polymul

_MAX_M = 6
_MAX_ORDER = 12


def _bernoulli(n_max):
    """|B_0| ... |B_n_max| from sum_k C(n+1, k) B_k = 0."""
    b = [Fraction(1)]
    for n in range(1, n_max + 1):
        b.append(-sum(comb(n + 1, k) * b[k] for k in range(n)) / (n + 1))
    return [abs(v) for v in b]


def _logistic_moments(n_max):
    bern = _bernoulli(n_max)
    return np.array([1.0 if n == 0 else 0.0 if n % 2 else float((2**n - 2) * bern[n]) * pi**n
                     for n in range(n_max + 1)])


# Enough for moment 12 of p^2 of degree 10, times t once more.
_M = _logistic_moments(2 * _MAX_M + _MAX_ORDER)


def _check_m(name, param):
    m = param.shape[-1]
    if not 1 <= m <= _MAX_M:
        raise ValueError(f"{name}: param must have from 1 to {_MAX_M} coefficients "
                         f"(a polynomial of degree 0 to {_MAX_M - 1}) along its last axis, got {m}")


def _weights(param, loc, scale):
    """The polynomials in t whose masses give N and its derivatives, stacked
    along axis -2: P^2, 2 P P' / scale, 2 P P' t / scale, then 2 P Q_k for
    k = 0 ... m-1.  Each has 2m - 1 coefficients."""
    m = param.shape[-1]
    P = _in_t(param, loc, scale)
    length = 2 * m - 1
    s = np.asarray(scale)[..., None]
    PdP = _polymul(P, P[..., 1:] * np.arange(1, m)) if m > 1 else np.zeros(P.shape[:-1] + (1,))
    line = np.stack(np.broadcast_arrays(loc, scale), axis=-1)
    rows = [_polymul(P, P), 2 * PdP / s, np.concatenate([np.zeros_like(PdP[..., :1]), 2 * PdP / s], -1)]
    Q = np.ones(line.shape[:-1] + (1,))
    for _ in range(m):
        rows.append(2 * _polymul(P, Q))
        Q = _polymul(Q, line)
    shape = np.broadcast_shapes(*(r.shape[:-1] for r in rows))
    W = np.zeros(shape + (len(rows), length))
    for i, r in enumerate(rows):
        W[..., i, :r.shape[-1]] = r[..., :length]
    return W


def _bad_rows(loc, scale, param):
    return ~(np.isfinite(loc) & np.isfinite(scale) & (scale > 0)
             & np.isfinite(param).all(-1) & (param != 0).any(-1))


def _operands(*args):
    """float64 arrays of every operand; the last one is param."""
    return [np.asarray(a, dtype=np.float64) for a in args]


def _full_mass(W):
    """S and its derivatives: masses over the whole line, ratios to S."""
    N = W @ _M[:W.shape[-1]]
    return N[..., 0], N[..., 1:] / N[..., :1]


def _point_parts(x, loc, scale, param):
    """Per point: t, p(x) and p'(x) by Horner's rule, the logistic factor."""
    m = param.shape[-1]
    t = (x - loc[..., None]) / scale[..., None]
    p = np.zeros(np.broadcast_shapes(x.shape, param.shape[:-1] + (1,)))
    dp = np.zeros_like(p)
    for k in range(m - 1, -1, -1):
        dp = dp * x + p
        p = p * x + param[..., k:k + 1]
    return t, p, dp


def _density_grad(x, loc, scale, param, log):
    """logpdf or pdf and their derivatives: log h + 2 log|p| with
    h = f(t) / (scale S) the logistic factor."""
    _check_m("pdf_grad", param)
    value = (accurate.logpdf if log else accurate.pdf)(x, loc, scale, param)
    W = _weights(param, loc, scale)
    S, dlogS = _full_mass(W)
    t, p, dp = _point_parts(x, loc, scale, param)
    s = scale[..., None]
    tanh = np.tanh(t / 2)
    m = param.shape[-1]
    powers = np.vander(np.broadcast_to(x, p.shape).ravel(), m, increasing=True).reshape(p.shape + (m,))
    # d log h / d(x, loc, scale, param) and dp / d(x, param).
    dlogh = [-tanh / s, tanh / s - dlogS[..., None, 0], (t * tanh - 1) / s - dlogS[..., None, 1]]
    dlogh_param = -dlogS[..., None, 2:]
    if log:
        with np.errstate(divide="ignore", invalid="ignore"):
            two_over_p = 2 / p
            grads = [dlogh[0] + two_over_p * dp, dlogh[1], dlogh[2], dlogh_param + powers * two_over_p[..., None]]
    else:
        logf = -np.abs(t) - 2 * np.log1p(np.exp(-np.abs(t)))
        h = np.exp(logf - np.log(s) - np.log(S)[..., None])
        grads = [value * dlogh[0] + 2 * h * p * dp, value * dlogh[1], value * dlogh[2],
                 value[..., None] * dlogh_param + 2 * (h * p)[..., None] * powers]
    return _finish(value, grads, loc, scale, param)


def _finish(value, grads, loc, scale, param):
    value = np.asarray(value)
    shape = value.shape
    out = [g if g.shape == shape else np.broadcast_to(g, shape).copy() for g in grads[:-1]]
    d_param = grads[-1]
    if d_param.shape != shape + (param.shape[-1],):
        d_param = np.broadcast_to(d_param, shape + (param.shape[-1],)).copy()
    bad = _bad_rows(loc, scale, param)
    if bad.any():
        bad = np.broadcast_to(bad[..., None], shape)
        for g in out:
            g[bad] = np.nan
        d_param[bad] = np.nan
    return (value, *out, d_param)


def _lower_tails(u, m):
    """R_n(u) = T_n(u) / G(-u), n = 0 ... 2m - 2, where
    T_n(u) = int_-inf^-u t^n f(t) dt and G the logistic distribution
    function, and log G(-u); u >= 0.  Where u is infinite R is 0 (it is
    weighted by G(-u) = 0 there) and nothing is evaluated."""
    finite = np.isfinite(u)
    v = -u[finite]
    log_g = accurate.logcdf(v, 0.0, 1.0, [1.0])
    R = np.zeros(u.shape + (2 * m - 1,))
    part = np.empty(v.shape + (2 * m - 1,))
    part[..., 0] = 1.0
    for k in range(1, m):
        part[..., 2 * k] = _M[2 * k] * np.exp(accurate.logcdf(v, 0.0, 1.0, np.eye(k + 1)[k]) - log_g)
    for k in range(m - 1):
        both = np.zeros(k + 2)
        both[k:] = 1.0
        mixed = (_M[2 * k] + _M[2 * k + 2]) * np.exp(accurate.logcdf(v, 0.0, 1.0, both) - log_g)
        part[..., 2 * k + 1] = (mixed - part[..., 2 * k] - part[..., 2 * k + 2]) / 2
    R[finite] = part
    out = np.full(u.shape, -np.inf)
    out[finite] = log_g
    return R, out


def _interval_moments(ta, tb, m):
    """D_n = int_ta^tb t^n f(t) dt up to a positive factor per point."""
    ta, tb = np.broadcast_arrays(ta, tb)
    R, log_g = _lower_tails(np.abs(np.stack([ta, tb])), m)
    (Ra, Rb), (la, lb) = R, log_g
    sign = (-1.0) ** np.arange(2 * m - 1)
    M = _M[:2 * m - 1]
    with np.errstate(invalid="ignore", over="ignore"):
        # Both below 0: the lower tails at ta and tb, scaled by G(tb).
        below = Rb - np.exp(la - lb)[..., None] * Ra
        # Both above 0: the upper tails, by the symmetry of f, scaled by G(-ta).
        above = sign * (Ra - np.exp(lb - la)[..., None] * Rb)
        across = M - sign * np.exp(lb)[..., None] * Rb - np.exp(la)[..., None] * Ra
    return np.where((tb <= 0)[..., None], below, np.where((ta >= 0)[..., None], above, across))


def _log1mexp(d):
    """log(1 - e^d) for d <= 0."""
    with np.errstate(divide="ignore"):
        return np.where(d > -np.log(2), np.log(-np.expm1(d)), np.log1p(-np.exp(d)))


def _sides(a, b, loc, scale, param):
    """logcdf and logsf at both ends, and which way to form the interval:
    from the lower tails, the upper tails, or 1 less both tails."""
    la, lb = accurate.logcdf(a, loc, scale, param), accurate.logcdf(b, loc, scale, param)
    ua, ub = accurate.logsf(a, loc, scale, param), accurate.logsf(b, loc, scale, param)
    half = -np.log(2)
    lower = (a == -np.inf) | (lb <= half)
    upper = ~lower & ((b == np.inf) | (ua <= half))
    return la, lb, ua, ub, lower, upper


def log_probability_between(a, b, loc, scale, param):
    """log P(a < X <= b); -inf where a >= b.  Signature (n),(n),(),(),(m)->(n)."""
    a, b, loc, scale, param = _operands(a, b, loc, scale, param)
    _check_m("log_probability_between", param)
    la, lb, ua, ub, lower, upper = _sides(a, b, loc, scale, param)
    with np.errstate(invalid="ignore", divide="ignore"):
        value = np.where(lower, lb + _log1mexp(la - lb),
                         np.where(upper, ua + _log1mexp(ub - ua), np.log1p(-(np.exp(la) + np.exp(ub)))))
    return np.where((a >= b) & ~np.isnan(value), -np.inf, value)


def probability_between(a, b, loc, scale, param):
    """P(a < X <= b); 0 where a >= b.  Signature (n),(n),(),(),(m)->(n)."""
    a, b, loc, scale, param = _operands(a, b, loc, scale, param)
    _check_m("probability_between", param)
    la, lb, ua, ub, lower, upper = _sides(a, b, loc, scale, param)
    value = np.where(lower, np.exp(lb) - np.exp(la),
                     np.where(upper, np.exp(ua) - np.exp(ub), 1 - np.exp(la) - np.exp(ub)))
    return np.where((a >= b) & ~np.isnan(value), 0.0, value)


def log_probability_between_grad(a, b, loc, scale, param):
    """log P(a < X <= b) and its derivatives with respect to a, b, loc,
    scale and param.  Signature (n),(n),(),(),(m)->(n),(n),(n),(n),(n),(n,m)."""
    a, b, loc, scale, param = _operands(a, b, loc, scale, param)
    value = log_probability_between(a, b, loc, scale, param)
    W = _weights(param, loc, scale)
    _, dlogS = _full_mass(W)
    s = scale[..., None]
    ta, tb = (a - loc[..., None]) / s, (b - loc[..., None]) / s
    D = _interval_moments(ta, tb, param.shape[-1])
    N = D @ np.swapaxes(W, -1, -2)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        dlogN = N[..., 1:] / N[..., :1] - dlogS[..., None, :]
        # The density at each end over the probability; none at an infinite end.
        at_a = np.where(np.isinf(a), 0.0, np.exp(accurate.logpdf(a, loc, scale, param) - value))
        at_b = np.where(np.isinf(b), 0.0, np.exp(accurate.logpdf(b, loc, scale, param) - value))
        grads = [-at_a, at_b, dlogN[..., 0] - (at_b - at_a),
                 dlogN[..., 1] - (np.where(at_b, tb, 0) * at_b - np.where(at_a, ta, 0) * at_a),
                 dlogN[..., 2:]]
    empty = (a >= b)[..., None]
    grads = [np.where(empty[..., 0], 0.0, g) for g in grads[:-1]] + [np.where(empty, 0.0, grads[-1])]
    return _finish(value, grads, loc, scale, param)


def _tail_grad(x, loc, scale, param, upper, log):
    """cdf, sf and their logarithms with derivatives, as the interval
    (-inf, x] or (x, inf)."""
    x, loc, scale, param = _operands(x, loc, scale, param)
    _check_m("cdf_grad", param)
    name = ("log" if log else "") + ("sf" if upper else "cdf")
    value = getattr(accurate, name)(x, loc, scale, param)
    inf = np.full_like(x, np.inf)
    _, *grads = log_probability_between_grad(x if upper else -inf, inf if upper else x, loc, scale, param)
    d_x = grads[0] if upper else grads[1]
    grads = [d_x, *grads[2:]]
    if not log:
        grads = [value * g for g in grads[:-1]] + [value[..., None] * grads[-1]]
    return (value, *grads)


def cdf_grad(x, loc, scale, param):
    """cdf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _tail_grad(x, loc, scale, param, upper=False, log=False)


def sf_grad(x, loc, scale, param):
    """sf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _tail_grad(x, loc, scale, param, upper=True, log=False)


def logcdf_grad(x, loc, scale, param):
    """logcdf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _tail_grad(x, loc, scale, param, upper=False, log=True)


def logsf_grad(x, loc, scale, param):
    """logsf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _tail_grad(x, loc, scale, param, upper=True, log=True)


def pdf_grad(x, loc, scale, param):
    """pdf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _density_grad(*_operands(x, loc, scale, param), log=False)


def logpdf_grad(x, loc, scale, param):
    """logpdf and its derivatives.  Signature (n),(),(),(m)->(n),(n),(n),(n),(n,m)."""
    return _density_grad(*_operands(x, loc, scale, param), log=True)


def _t_moments(loc, scale, param):
    """E[t^j], j = 0 ... 12, of the standardised variable: sum_n beta_n
    M_(n+j) / S with beta the coefficients of P(t)^2."""
    loc, scale, param = _operands(loc, scale, param)
    _check_m("moment", param)
    P2 = _polymul(*(2 * [_in_t(param, loc, scale)]))
    L = P2.shape[-1]
    shifted = np.stack([_M[j:j + L] for j in range(_MAX_ORDER + 1)], axis=-1)
    E = P2 @ shifted
    E = E / E[..., :1]
    return np.where(_bad_rows(loc, scale, param)[..., None], np.nan, E), loc, scale


def mean(loc, scale, param):
    """Mean.  Signature (),(),(m)->()."""
    E, loc, scale = _t_moments(loc, scale, param)
    return loc + scale * E[..., 1]


def var(loc, scale, param):
    """Variance.  Signature (),(),(m)->()."""
    E, loc, scale = _t_moments(loc, scale, param)
    return scale**2 * (E[..., 2] - E[..., 1] ** 2)


def moment(k, loc, scale, param):
    """Raw moment E[X^k] for whole k in 0 ... 12 (NaN otherwise), from
    E[X^k] = sum_i C(k, i) loc^(k-i) scale^i E[t^i].  Signature (),(),(),(m)->()."""
    E, loc, scale = _t_moments(loc, scale, param)
    k = np.asarray(k, dtype=np.float64)
    whole = (k == np.round(k)) & (k >= 0) & (k <= _MAX_ORDER)
    i = np.arange(_MAX_ORDER + 1)
    kk = np.where(whole, k, 0).astype(int)[..., None]
    binom = np.array([comb(int(n), int(j)) for n in i for j in i], dtype=float).reshape(13, 13)
    terms = binom[kk, i] * E * scale[..., None] ** i
    with np.errstate(invalid="ignore"):
        terms = terms * np.where(i <= kk, loc[..., None] ** np.maximum(kk - i, 0), 0.0)
    return np.where(whole, terms.sum(-1), np.nan)
