"""A few distributions evaluated with the cdf ufunc, one broadcast call, and
AdjustedLogistic fitted to a built-in sample."""

import numpy as np

from distribution import AdjustedLogistic, cdf

x = np.array([-4.0, -2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 4.0])
cases = [
    ("plain logistic  p(v) = 1", 0.0, 1.0, [1.0, 0.0]),
    ("p(v) = 1 + 0.5 v", 0.3, 1.7, [1.0, 0.5]),
    ("p(v) = 0.5 + 0.3 v + ... + 0.002 v^5", 0.0, 1.0, [0.5, 0.3, 0.1, 0.05, 0.01, 0.002]),
    ("p(v) = 1 + 0.5 v, negative scale", 0.3, -1.7, [1.0, 0.5]),
]

print("F(x) at x =", " ".join(f"{v:>9g}" for v in x))
for label, loc, scale, param in cases:
    values = cdf(x, loc, scale, param)
    print(f"{label}  (loc {loc}, scale {scale})")
    print("          ", " ".join(f"{v:9.6f}" for v in values))

# Broadcasting: three rows of points, each with its own location, scale and
# coefficients.
rows = np.linspace(-3.0, 3.0, 7)
loc = np.array([0.0, 1.0, -0.5])
scale = np.array([1.0, 0.5, 2.0])
param = np.array([[1.0, 0.0, 0.0], [1.0, 0.5, 0.0], [0.2, -1.0, 0.3]])
print()
values = cdf(rows, loc, scale, param)
print("cdf(x, loc, scale, param) with x of shape (7,), loc and scale of shape (3,),")
print("param of shape (3, 3): result of shape", values.shape)
print("F(x) at x =", " ".join(f"{v:>9g}" for v in rows))
for r in range(len(loc)):
    print(f"row {r}: loc {loc[r]:4}, scale {scale[r]}, param {param[r].tolist()}")
    print("          ", " ".join(f"{v:9.6f}" for v in values[r]))

# A built-in sample: 2,000 draws, seeded, from p(x) = 1 + 0.6 x + 0.25 x^2
# with loc 2 and scale 1.5, and the maximum likelihood fit with m = 3.
truth = AdjustedLogistic([1.0, 0.6, 0.25], loc=2.0, scale=1.5)
sample = truth.rvs(size=2000, random_state=20240601)
print()
print("AdjustedLogistic.fit on 2,000 draws from", truth)
result = AdjustedLogistic.fit(sample, m=3)
print(f"{'':8}{'estimate':>12}{'std err':>12}")
for name, value, se, fixed in zip(result.param_names, result.params, result.bse, result.fixed):
    print(f"{name:8}{value:12.4f}{se:12.4f}" + ("   (fixed: p is known up to a factor)" if fixed else ""))
print(f"log-likelihood {result.llf:.3f}, AIC {result.aic:.2f}, BIC {result.bic:.2f}, "
      f"converged {result.converged}")
