"""The density and the distribution function of a few coefficient vectors.

The distribution function is the library's cdf.  The density is the formula

    p(x)^2 f((x - loc)/scale) / (scale S),   S = int p(loc + scale t)^2 f(t) dt,

with f the standard logistic density; S is the trapezoidal sum of its
integrand on a wide fine grid (exact to rounding for this smooth, doubly
exponentially decaying integrand).  The density is not the derivative of the
cdf values: their small step at loc would show as a spike.

Writes docs/quickstart.png.  Needs matplotlib
(pip install -r requirements-examples.txt).
"""

import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from distribution import cdf  # noqa: E402

# label, loc, scale, coefficients of p (lowest power first)
CASES = [
    ("p = 1 (logistic), loc 0, scale 1", 0.0, 1.0, [1.0]),
    ("p = 1 + 0.5 x, loc 0, scale 1", 0.0, 1.0, [1.0, 0.5]),
    ("p = 0.2 - x + 0.3 x², loc 0.5, scale 0.8", 0.5, 0.8, [0.2, -1.0, 0.3]),
    ("p = x - 3, loc 3, scale 0.6", 3.0, 0.6, [-3.0, 1.0]),
]


def logistic_density(t):
    e = np.exp(-np.abs(t))
    return e / (1.0 + e) ** 2


def density(x, loc, scale, param):
    p = np.polynomial.Polynomial(param)
    t = np.linspace(-200.0, 200.0, 400_001)
    total = np.trapezoid(p(loc + scale * t) ** 2 * logistic_density(t), t)
    return p(x) ** 2 * logistic_density((x - loc) / scale) / (abs(scale) * total)


def main():
    x = np.linspace(-8.0, 8.0, 801)
    fig, (left, right) = plt.subplots(1, 2, figsize=(9.0, 4.2), layout="constrained")
    for label, loc, scale, param in CASES:
        left.plot(x, density(x, loc, scale, param), lw=1.5, label=label)
        right.plot(x, cdf(x, loc, scale, param), lw=1.5, label=label)
    left.set_title("density  p(x)² f((x - loc)/scale) / (scale S)")
    right.set_title("distribution function  cdf(x, loc, scale, param)")
    for ax in (left, right):
        ax.set_xlabel("x")
        ax.grid(True, alpha=0.3)
    left.set_ylim(bottom=0)
    right.set_ylim(-0.02, 1.02)
    fig.legend(*left.get_legend_handles_labels(), loc="outside lower center", ncols=2, fontsize=8)

    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "quickstart.png")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    fig.savefig(out, dpi=80)
    print("wrote", os.path.normpath(out))


if __name__ == "__main__":
    main()
