"""Record the installed build's values on a fixed grid: tests/data/golden.txt.

The file pins the exact bits of the closed form as the library evaluates it,
so that a faster build can be held to the same floating point operations
(tests/test_golden.py).  It was written once, by the straightforward build,
before any optimisation; do not regenerate it to make a test pass.  Since
then one deliberate change: where e^-u underflows (u > 745.1) the 550 values
that were numbers within 1.2e-15 of the limit now hold the limit itself, 1 to
the right of loc and 0 to the left (NaN values stayed NaN).

Each line holds, as float.hex: m, loc, scale, the m coefficients, the point
and the value.  The grid: every m from 1 to 6, both signs of scale, several
locations, points at u = |x - loc| / |scale| from 0 and next to it out past
the underflow of exp(-u) (u > 745) to the overflow of u^(2m - 2) and to the
infinities, on both sides of loc, plus NaN and the cases quoted in the tests.

Run from anywhere, with the package installed:  python tests/make_golden.py
"""

import os

import numpy as np

from distribution import cdf

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "golden.txt")

# Distances from loc in scale units.
U = [0.0, 5e-324, 1e-300, 1e-16, 1e-12, 1e-6, 1e-3, 0.01, 0.03, 0.05, 0.1,
     0.2, 0.3, 0.5, 0.7, 1.0, 1.25, 1.5, 2.0, 3.0, 3.5, 5.0, 6.0, 8.0, 10.0,
     15.0, 20.0, 30.0, 37.5, 38.5, 40.0, 60.0, 100.0, 300.0, 700.0, 744.0,
     745.5, 746.0, 800.0, 1e4, 1e6, 1e30, 1e100, 1e154, 1e200, 1e300]

COEFFICIENTS = {
    1: [[2.5], [-0.7]],
    2: [[1.0, 0.0], [1.0, 0.5], [0.0, 1.0], [1.0, 0.2], [-0.3, 2.0]],
    3: [[1.0, 0.0, 0.3], [2.0, -1.0, 0.25], [0.2, -1.0, 0.3]],
    4: [[1.0, -0.5, 0.2, 0.1], [1.0, 0.3, -0.2, 0.04]],
    5: [[0.3, 1.0, -0.4, 0.05, 0.02], [1.0, 0.0, 0.0, 0.0, 0.1]],
    6: [[0.5, 0.3, 0.1, 0.05, 0.01, 0.002], [1.0, 0.0, 0.0, 0.0, 0.0, 0.1],
        [0.0, 0.0, 0.0, 0.0, 0.0, 1.0]],
}

LOC_SCALE = [(0.0, 1.0), (0.0, -1.0), (0.3, 1.7), (0.3, -1.7), (-4.0, 0.5),
             (2.0, -0.7), (5.0, 1.0), (-1e3, 30.0)]

# Quoted cases: (loc, scale, param, points).
QUOTED = [
    (0.0, 1.0, [1.0, 0.0], [-2.0, 0.0, 2.0]),
    (3.0, 1.0, [2.5, 0.0], [1.0, 3.0, 5.0]),
    (0.3, 1.7, [1.0, 0.5], [3.0, 0.3]),
    (0.3, -1.7, [1.0, 0.5], [-3.0]),
    (0.0, 1.0, [0.5, 0.3, 0.1, 0.05, 0.01, 0.002], [8.0]),
    (0.0, 1.0, [0.0, 1.0], [0.0, -1e-300, -1e-12, -5e-324]),
    (0.0, 1.0, [1.0, 0.0, 0.3], [0.0, 0.2, -0.2, 1.0, -1.0, 3.0, -3.0]),
    (0.0, 1.0, [1.0, 0.2], [40.0, -40.0]),
    (0.0, 1.0, [0.0, 0.0, 0.0], [-1.0, 0.0, 1.0]),       # zero polynomial
    (1.0, 0.0, [1.0, 0.5], [0.0, 1.0, 2.0]),             # zero scale
    (np.nan, 1.0, [1.0, 0.5], [0.0]),
    (0.0, np.inf, [1.0, 0.5], [0.0, 1.0]),
    (1e200, 1.0, [1.0, 0.5, 0.1], [1e200]),              # powers of loc overflow
]


def points(loc, scale):
    xs = [loc]
    for u in U:
        d = u * abs(scale)
        xs += [loc - d, loc + d]
    return xs + [np.inf, -np.inf, np.nan]


def rows():
    for m, params in COEFFICIENTS.items():
        for param in params:
            for loc, scale in LOC_SCALE:
                yield loc, scale, param, points(loc, scale)
    yield from QUOTED


def main():
    lines = []
    with np.errstate(all="ignore"):
        for loc, scale, param, xs in rows():
            x = np.array(xs, dtype=float)
            values = cdf(x, loc, scale, np.array(param, dtype=float))
            head = [float(len(param)), loc, scale, *param]
            for xi, vi in zip(x, values):
                lines.append(" ".join(float(v).hex() for v in [*head, xi, vi]))
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as fh:
        fh.write("\n".join(lines) + "\n")
    print(f"{len(lines)} values -> {OUT}")


if __name__ == "__main__":
    main()
