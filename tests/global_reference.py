"""An independent reference for the fits: the log-likelihoods written again
in NumPy (without the library's functions) and the best of many local
optimisations from random starts.

The noise has density p(e)^2 l(e) / S, l the standard logistic density,
S = a' M a with M_jk = int e^(j+k) l (quadrature), p(e) = sum_j a_j e^j.
Its distribution function is a' I(z) a / S, I_jk(z) = int_-inf^z e^(j+k) l,
from cumulative Gauss-Legendre sums on a grid of step 1/512 and a cubic
Hermite step from the nearest node (the integrand's derivative is known).

Density fit: the parameters (loc, log scale, a), a in the noise's own
variable e = (x - loc) / scale.  Ordered model: (b, first cut, log
increments, a), the noise at loc 0, scale 1.  Each local optimisation is
L-BFGS-B with the exact gradient; starts are drawn at random over wide ranges.
"""

import numpy as np
from scipy import integrate, optimize

ORDERS = 11  # powers 0 .. 2m - 2 for m <= 6
STEP = 1 / 512
EDGE = 60.0


def logistic(t):
    e = np.exp(-np.abs(t))
    return e / (1 + e) ** 2


# l is even: the odd moments are 0, the even ones twice the half line's.
MOMENTS = np.array([0.0 if n % 2 else 2 * integrate.quad(lambda t, n=n: t**n * logistic(t), 0, np.inf, epsabs=0,
                                                          epsrel=1e-13, limit=200)[0] for n in range(ORDERS)])


def _table():
    nodes, weights = np.polynomial.legendre.leggauss(8)
    grid = np.arange(-EDGE, EDGE + STEP / 2, STEP)
    mid, half = (grid[:-1] + grid[1:]) / 2, STEP / 2
    t = mid[:, None] + half * nodes
    cell = np.stack([(t**n * logistic(t)) @ weights * half for n in range(ORDERS)], axis=1)
    below = np.vstack([np.zeros(ORDERS), np.cumsum(cell, axis=0)])
    # The mass below -EDGE: int t^n e^t dt to first order, negligible at 60.
    return grid, below


GRID, BELOW = _table()


def incomplete(z, orders=ORDERS):
    """I_n(z) = int_-inf^z t^n l(t) dt, n = 0 .. orders - 1, shape z.shape + (orders,)."""
    z = np.asarray(z, float)
    low, high = z <= -EDGE, z >= EDGE
    zc = np.clip(z, -EDGE + STEP, EDGE - STEP)
    k = np.rint((zc + EDGE) / STEP).astype(int)
    g = GRID[k]
    h = zc - g
    n = np.arange(orders)
    # The integral from g to z of q(t) = t^n l(t) by Simpson's rule is
    # exact enough for |h| <= STEP / 2 (error h^5 q'''' / 2880).
    mid = g + h / 2
    q = lambda t: t[..., None] ** n * logistic(t)[..., None]  # noqa: E731
    out = BELOW[k, :orders] + h[..., None] / 6 * (q(g) + 4 * q(mid) + q(zc))
    out[low] = 0.0
    out[high] = MOMENTS[:orders]
    return out


def _quadratic(a, V):
    """a' V a with V_jk = V[..., j + k]."""
    m = a.size
    idx = np.add.outer(np.arange(m), np.arange(m))
    return np.einsum("...jk,j,k->...", V[..., idx], a, a)


def _p(a, e):
    return np.polyval(a[::-1], e)


def density_llf(x, loc, log_scale, a, gradient=False):
    """The log-likelihood and, if asked, its gradient in (loc, log scale, a)."""
    scale = np.exp(log_scale)
    e = (x - loc) / scale
    p = _p(a, e)
    S = _quadratic(a, MOMENTS)
    with np.errstate(divide="ignore"):
        llf = float(np.sum(np.log(p * p) + np.log(logistic(e))) - x.size * (log_scale + np.log(S)))
    if not gradient:
        return llf
    dp = _p(np.arange(1, a.size) * a[1:], e) if a.size > 1 else np.zeros_like(e)
    d_e = 2 * dp / p - np.tanh(e / 2)
    powers = e[:, None] ** np.arange(a.size)
    Ma = MOMENTS[np.add.outer(np.arange(a.size), np.arange(a.size))] @ a
    g = np.concatenate([[-d_e.sum() / scale, -(d_e * e).sum() - x.size],
                        2 * (powers / p[:, None]).sum(0) - 2 * x.size * Ma / S])
    return llf, g


def ordered_llf(X, y, b, cuts, a, gradient=False):
    """The log-likelihood and, if asked, its gradient in (b, cuts, a)."""
    edges = np.concatenate([[-np.inf], cuts, [np.inf]])
    eta = X @ b
    lo, hi = edges[y] - eta, edges[y + 1] - eta
    S = _quadratic(a, MOMENTS)
    I_lo, I_hi = incomplete(lo, 2 * a.size - 1), incomplete(hi, 2 * a.size - 1)
    dQ = _quadratic(a, I_hi) - _quadratic(a, I_lo)
    with np.errstate(divide="ignore", invalid="ignore"):
        llf = float(np.sum(np.log(dQ / S))) if (dQ > 0).all() else -np.inf
    if not gradient:
        return llf
    if not np.isfinite(llf):
        return llf, np.zeros(b.size + cuts.size + a.size)
    m = a.size
    idx = np.add.outer(np.arange(m), np.arange(m))
    with np.errstate(invalid="ignore"):
        f_lo = np.where(np.isfinite(lo), _p(a, np.nan_to_num(lo)) ** 2 * logistic(np.nan_to_num(lo)), 0.0) / dQ
        f_hi = np.where(np.isfinite(hi), _p(a, np.nan_to_num(hi)) ** 2 * logistic(np.nan_to_num(hi)), 0.0) / dQ
    g_cuts = np.zeros(cuts.size)
    np.add.at(g_cuts, y[y < cuts.size], f_hi[y < cuts.size])
    np.add.at(g_cuts, y[y > 0] - 1, -f_lo[y > 0])
    g_a = 2 * np.einsum("njk,k,n->j", (I_hi - I_lo)[:, idx], a, 1 / dQ) - 2 * y.size * (MOMENTS[idx] @ a) / S
    return llf, np.concatenate([-X.T @ (f_hi - f_lo), g_cuts, g_a])


def best_of_random_starts(llf, draw, starts, rng):
    """The largest llf of L-BFGS-B runs with the exact gradient from
    `starts` random points, and how many came within 1e-6 relative of it;
    ``llf(theta) -> (value, gradient)``."""
    def objective(t):
        value, g = llf(t)
        return (-value, -g) if np.isfinite(value) else (1e300, np.zeros_like(t))

    found = []
    for _ in range(starts):
        with np.errstate(all="ignore"):
            res = optimize.minimize(objective, draw(rng), jac=True, method="L-BFGS-B",
                                    options={"maxiter": 5000, "maxfun": 10000, "ftol": 1e-15, "gtol": 1e-9})
        if res.fun < 1e299:
            found.append(-res.fun)
    found = np.array(found)
    best = found.max()
    return best, int(np.sum(found >= best - 1e-6 * abs(best)))


def density_reference(x, m, starts=100, seed=0):
    """Best llf of the density fit with m coefficients from random starts."""
    x = np.asarray(x, float)
    sd = x.std()

    def draw(rng):
        loc = rng.uniform(np.quantile(x, 0.05), np.quantile(x, 0.95))
        log_scale = np.log(sd) + rng.uniform(np.log(0.03), np.log(1.5))
        return np.concatenate([[loc, log_scale], rng.normal(size=m)])

    return best_of_random_starts(lambda t: density_llf(x, t[0], t[1], t[2:], True), draw, starts,
                                 np.random.default_rng(seed))


def ordered_reference(X, y, m, starts=100, seed=0):
    """Best llf of the ordered model with m coefficients from random starts,
    in (b, first cut, log increments, a)."""
    k, K = X.shape[1], int(y.max()) + 1

    def llf(t):
        steps = np.exp(t[k + 1:k + K - 1])
        cuts = t[k] + np.concatenate([[0.0], np.cumsum(steps)])
        value, g = ordered_llf(X, y, t[:k], cuts, t[k + K - 1:], True)
        g_cuts = g[k:k + K - 1]
        # cut j = first + sum of the first j increments.
        g_steps = np.cumsum(g_cuts[::-1])[::-1][1:] * steps
        return value, np.concatenate([g[:k], [g_cuts.sum()], g_steps, g[k + K - 1:]])

    def draw(rng):
        spread = np.exp(rng.uniform(np.log(0.3), np.log(6.0)))
        b = rng.normal(0, 1, k) * spread
        first = rng.normal(0, 2) * spread - spread
        steps = np.log(rng.uniform(0.3, 3.0, K - 2) * spread)
        return np.concatenate([b, [first], steps, rng.normal(size=m)])

    return best_of_random_starts(llf, draw, starts, np.random.default_rng(seed))


def interval_llf(lower, upper, X, Z, b, g, a):
    """The log-likelihood of y = X b + exp(Z g) e known within (lower,
    upper], exactly where they are equal (the density of y)."""
    s = np.exp(Z @ g)
    loc = X @ b
    if not (np.isfinite(loc).all() and np.isfinite(s).all() and (s > 0).all()):
        return -np.inf
    S = _quadratic(a, MOMENTS)
    exact = lower == upper
    e = (lower[exact] - loc[exact]) / s[exact]
    with np.errstate(divide="ignore", invalid="ignore"):
        dens = np.log(_p(a, e) ** 2 * logistic(e) / S) - np.log(s[exact])
        lo = (lower[~exact] - loc[~exact]) / s[~exact]
        hi = (upper[~exact] - loc[~exact]) / s[~exact]
        orders = 2 * a.size - 1
        mass = (_quadratic(a, incomplete(hi, orders)) - _quadratic(a, incomplete(lo, orders))) / S
        total = dens.sum() + np.log(mass).sum()
    return float(total) if np.isfinite(total) else -np.inf


def interval_reference(lower, upper, X, Z, m, starts=100, seed=0):
    """Best llf of the interval regression with m coefficients from random
    starts in (b, g, a), L-BFGS-B with a numerical gradient."""
    kb, kg = X.shape[1], Z.shape[1]
    mid = np.where(np.isfinite(lower), lower, upper)
    mid = np.where(np.isfinite(upper) & np.isfinite(lower), (lower + upper) / 2, mid)
    b0 = np.linalg.lstsq(X, mid, rcond=None)[0]
    spread = np.log(np.std(mid - X @ b0))

    def llf(t):
        value = interval_llf(lower, upper, X, Z, t[:kb], t[kb:kb + kg], t[kb + kg:])
        return value, optimize.approx_fprime(t, lambda u: interval_llf(lower, upper, X, Z, u[:kb], u[kb:kb + kg],
                                                                        u[kb + kg:]), 1e-7)

    def draw(rng):
        b = b0 + rng.normal(0, 1, kb) * np.exp(spread)
        g = np.zeros(kg)
        g[0] = spread + rng.uniform(np.log(0.1), np.log(2.0))
        return np.concatenate([b, g, rng.normal(size=m)])

    return best_of_random_starts(llf, draw, starts, np.random.default_rng(seed))


def noise_mass(a, lo, hi):
    """P(lo < e <= hi) of the noise of coefficients a, elementwise."""
    S = _quadratic(a, MOMENTS)
    orders = 2 * a.size - 1
    return (_quadratic(a, incomplete(hi, orders)) - _quadratic(a, incomplete(lo, orders))) / S


def scale_nominal_llf(y, x, w, z, theta, m, K):
    """The ordered model of one covariate x, thresholds c_j + w gamma_j (w one
    nominal covariate) and scale exp(z g): theta = (b, c (K - 1), gamma
    (K - 1), g, a (m))."""
    b, c, gamma, g, a = theta[0], theta[1:K], theta[K:2 * K - 1], theta[2 * K - 1], theta[2 * K:]
    thresholds = c[None, :] + w[:, None] * gamma[None, :]
    edges = np.column_stack([np.full(y.size, -np.inf), thresholds, np.full(y.size, np.inf)])
    s = np.exp(z * g)
    rows = np.arange(y.size)
    with np.errstate(all="ignore"):
        mass = noise_mass(a, (edges[rows, y] - b * x) / s, (edges[rows, y + 1] - b * x) / s)
        total = np.log(mass).sum()
    return float(total) if np.isfinite(total) and (mass > 0).all() else -np.inf


def truncated_llf(theta, y, x, t_lo, t_hi, a):
    """y = b0 + b1 x + exp(g) e observed exactly, sampled only within (t_lo,
    t_hi]: theta = (b0, b1, g), e of coefficients a."""
    b0, b1, g = theta[:3]
    s = np.exp(g)
    z, lo, hi = (y - b0 - b1 * x) / s, (t_lo - b0 - b1 * x) / s, (t_hi - b0 - b1 * x) / s
    S = _quadratic(a, MOMENTS)
    with np.errstate(all="ignore"):
        density = np.log(_p(a, z) ** 2 * logistic(z) / S) - g
        total = np.sum(density - np.log(noise_mass(a, lo, hi)))
    return float(total) if np.isfinite(total) else -np.inf


def numeric_reference(llf, draw, starts, seed):
    """Best of L-BFGS-B from random starts on llf(theta) with a numerical gradient."""
    def with_gradient(t):
        return llf(t), optimize.approx_fprime(t, llf, 1e-7)

    return best_of_random_starts(with_gradient, draw, starts, np.random.default_rng(seed))
