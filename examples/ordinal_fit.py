"""An ordered regression whose latent noise is polynomially adjusted logistic.

20,000 observations with two covariates fall into 4 ordered categories: the
latent y* = x b + e is cut at c_1 < c_2 < c_3, and e has the density
proportional to p(e)^2 f(e), p(e) = 1 + a_1 e + a_2 e^2, f the standard
logistic density.  The noise is drawn through accurate.ppf, then b, the cut
points and (a_1, a_2) are estimated by maximum likelihood with BFGS:

    P(category j | x) = F(c_j - x b) - F(c_(j-1) - x b),

the end categories by logcdf and logsf, so that no probability is formed as
1 minus another.  The same data are then fitted with statsmodels' OrderedModel
given the fitted noise distribution through a small scipy.stats adapter
(statsmodels estimates b and the cut points, not p).

Writes docs/ordinal_fit.png.  Needs matplotlib, scipy and statsmodels
(pip install -r requirements-examples.txt).
"""

import os
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy import optimize, stats  # noqa: E402

from distribution import accurate  # noqa: E402

TRUE_B = np.array([1.0, -0.5])
TRUE_CUTS = np.array([1.0, 3.0, 5.0])
TRUE_P = np.array([1.0, 0.6, 0.25])  # p(e) = 1 + 0.6 e + 0.25 e^2


def simulate(n=20_000, seed=7):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 2))
    noise = accurate.ppf(rng.uniform(size=n), 0.0, 1.0, TRUE_P)
    latent = X @ TRUE_B + noise
    return X, np.searchsorted(TRUE_CUTS, latent)  # categories 0 .. 3


def unpack(theta):
    """b (2), the cut points (first, then log increments), p = (1, a_1, a_2)."""
    b, first, steps, a = theta[:2], theta[2], theta[3:5], theta[5:7]
    cuts = first + np.concatenate([[0.0], np.cumsum(np.exp(steps))])
    return b, cuts, np.concatenate([[1.0], a])


def negative_log_likelihood(theta, X, y):
    """Per observation, so that BFGS's tolerances meet a sum of 20,000 logs
    at the scale of one."""
    b, cuts, param = unpack(theta)
    eta = X @ b
    upper = np.where(y < 3, cuts[np.minimum(y, 2)] - eta, np.inf)
    lower = np.where(y > 0, cuts[np.maximum(y - 1, 0)] - eta, -np.inf)
    # End categories by their logarithms; middle ones as differences of
    # accurate distribution functions, one row of all the points.
    points = np.concatenate([upper, lower])
    F = accurate.cdf(points, 0.0, 1.0, param)
    F_upper, F_lower = F[: y.size], F[y.size:]
    log_p = np.empty(y.size)
    first, last = y == 0, y == 3
    log_p[first] = accurate.logcdf(upper[first], 0.0, 1.0, param)
    log_p[last] = accurate.logsf(lower[last], 0.0, 1.0, param)
    middle = ~(first | last)
    log_p[middle] = np.log(F_upper[middle] - F_lower[middle])
    return -log_p.mean()


class Noise(stats.rv_continuous):
    """The noise distribution for scipy.stats (and so for statsmodels)."""

    def __init__(self, param):
        super().__init__(name="adjusted_logistic")
        self.param = np.asarray(param, dtype=float)

    def _cdf(self, x):
        return accurate.cdf(np.ravel(x), 0.0, 1.0, self.param).reshape(np.shape(x))

    def _pdf(self, x):
        return accurate.pdf(np.ravel(x), 0.0, 1.0, self.param).reshape(np.shape(x))

    def _ppf(self, q):
        return accurate.ppf(np.ravel(q), 0.0, 1.0, self.param).reshape(np.shape(q))


def main():
    X, y = simulate()
    print("category counts", np.bincount(y))
    # The shape of p is only weakly identified against the scale of b and the
    # cut points, and the likelihood has more than one basin: start from the
    # logistic fit (p = 1) and a few shapes, and keep the best.
    t0 = time.perf_counter()
    logistic = optimize.minimize(lambda t: negative_log_likelihood(np.concatenate([t, [0.0, 0.0]]), X, y),
                                 np.zeros(5), method="BFGS")
    fits = [optimize.minimize(negative_log_likelihood, np.concatenate([logistic.x, shape]), args=(X, y),
                              method="BFGS")
            for shape in ([0.0, 0.0], [0.5, 0.25], [-0.5, 0.25])]
    fit = min(fits, key=lambda f: f.fun)
    seconds = time.perf_counter() - t0
    print("mean log-likelihood: logistic", round(-logistic.fun, 6),
          "adjusted, by start", [round(-f.fun, 6) for f in fits])
    b, cuts, param = unpack(fit.x)
    print(f"BFGS: {fit.message} ({fit.nit} iterations; all fits {seconds:.1f} s)")
    print("b     ", np.round(b, 3), "true", TRUE_B)
    print("cuts  ", np.round(cuts, 3), "true", TRUE_CUTS)
    print("p     ", np.round(param, 3), "true", TRUE_P)
    se = np.sqrt(np.diag(fit.hess_inv) / y.size)
    print("standard errors (BFGS inverse Hessian)", np.round(se, 3))

    try:
        from statsmodels.miscmodels.ordinal_model import OrderedModel
    except ImportError:
        print("statsmodels is not installed: skipping OrderedModel")
    else:
        model = OrderedModel(y, X, distr=Noise(param))
        result = model.fit(method="bfgs", disp=False)
        print("OrderedModel with the fitted noise: b", np.round(result.params[:2], 3),
              "cuts", np.round(model.transform_threshold_params(result.params)[1:-1], 3),
              "converged", result.mle_retvals["converged"])

    # The picture: the fitted noise density against the true one and the
    # logistic, and the category probabilities along the linear predictor.
    e = np.linspace(-8, 8, 801)
    eta = np.linspace(-5, 5, 401)
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4))
    left.plot(e, accurate.pdf(e, 0.0, 1.0, TRUE_P), label="true noise density", lw=2)
    left.plot(e, accurate.pdf(e, 0.0, 1.0, param), "--", label="fitted")
    left.plot(e, accurate.pdf(e, 0.0, 1.0, [1.0]), ":", label="logistic")
    left.set_xlabel("e")
    left.legend()
    edges = np.concatenate([[-np.inf], cuts, [np.inf]])
    for j in range(4):
        prob = (accurate.cdf(edges[j + 1] - eta, 0.0, 1.0, param)
                - accurate.cdf(edges[j] - eta, 0.0, 1.0, param))
        right.plot(eta, prob, label=f"category {j}")
    right.set_xlabel("linear predictor x b")
    right.set_ylabel("probability")
    right.legend()
    fig.suptitle("Ordered regression with polynomially adjusted logistic noise (20,000 observations)")
    fig.tight_layout()
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "ordinal_fit.png")
    fig.savefig(out, dpi=90)
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
