"""Absolute error of cdf against the true distribution function.

The true value is the defining ratio of integrals,

    F(x) = int_{-inf}^{y} q(t) dt / int_R q(t) dt,   q(t) = p(loc + scale t)^2 f(t),

with y = (x - loc)/scale and f the standard logistic density, computed by
mpmath's tanh-sinh quadrature at 30 significant digits from the exact double
inputs.  The error is drawn against u = |x - loc|/scale on log axes, on each
side of loc, for 2 to 6 coefficients: it is largest next to loc, where the
library cuts the polylogarithm series, and falls to rounding level beyond
about u = 1.5.

Writes docs/accuracy.png.  Needs matplotlib and mpmath
(pip install -r requirements-examples.txt).
"""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import mpmath  # noqa: E402
import numpy as np  # noqa: E402

from distribution import cdf  # noqa: E402

mpmath.mp.dps = 30

LOC, SCALE = 0.3, 1.7
PARAMS = {
    2: [1.0, 0.5],
    3: [1.0, -0.4, 0.3],
    4: [0.5, 0.3, -0.2, 0.1],
    5: [1.0, 0.2, -0.3, 0.05, 0.02],
    6: [0.5, 0.3, 0.1, 0.05, 0.01, 0.002],
}
U = np.geomspace(1e-4, 40.0, 120)
FLOOR = 1e-19  # exact agreement is drawn here


def true_cdf(x, loc, scale, param):
    """F at the double points x, by quadrature of the definition."""
    loc, scale = mpmath.mpf(loc), mpmath.mpf(scale)
    coefs = [mpmath.mpf(c) for c in param]

    def q(t):
        v = loc + scale * t
        p = mpmath.polyval(coefs[::-1], v)
        e = mpmath.exp(-abs(t))
        return p * p * e / (1 + e) ** 2

    total = mpmath.quad(q, [-mpmath.inf, 0, mpmath.inf])
    values = []
    for xi in x:
        y = (mpmath.mpf(float(xi)) - loc) / scale
        # Integrate over the shorter side of 0, where q is smallest.
        if y < 0:
            values.append(mpmath.quad(q, [-mpmath.inf, y]) / total)
        else:
            values.append(1 - mpmath.quad(q, [y, mpmath.inf]) / total)
    return values


def abs_error(x, param):
    got = cdf(x, LOC, SCALE, param)
    want = true_cdf(x, LOC, SCALE, param)
    err = np.array([float(abs(mpmath.mpf(float(g)) - w)) for g, w in zip(got, want)])
    return np.maximum(err, FLOOR)


def main():
    fig, axes = plt.subplots(1, 2, figsize=(9.0, 3.8), sharey=True, layout="constrained")
    colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.85, len(PARAMS)))
    for ax, side, title in [(axes[0], -1.0, "x < loc"), (axes[1], 1.0, "x > loc")]:
        x = LOC + side * U * SCALE
        for (m, param), colour in zip(PARAMS.items(), colours):
            ax.loglog(U, abs_error(x, param), color=colour, lw=1.3, label=f"m = {m}")
        ax.axhline(2.0**-53, color="0.5", lw=0.8, ls="--")
        ax.axvline(1.5, color="0.5", lw=0.8, ls=":")
        ax.set_title(title)
        ax.set_xlabel("u = |x - loc| / scale")
        ax.grid(True, which="major", alpha=0.3)
    axes[0].text(1.6e-4, 2.0**-53 * 2, "2^-53", color="0.4", fontsize=8)
    axes[0].text(1.65, 3e-3, "u = 1.5", color="0.4", fontsize=8)
    axes[0].set_ylabel("absolute error of F")
    axes[0].set_ylim(FLOOR / 3, 1e-2)
    axes[1].legend(loc="upper right", fontsize=8)
    fig.suptitle(f"cdf against the true F (mpmath), loc = {LOC}, scale = {SCALE}", fontsize=11)

    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "accuracy.png")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    fig.savefig(out, dpi=80)
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
