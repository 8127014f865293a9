"""Generate tests/data/accurate_reference.csv: true values of the accurate family.

For points x of rows (loc, scale, param) the table holds, from the exact
double inputs at 50 digits, the distribution function, the survival function
and the density, and the condition number kappa of each: the sum over
v in (x, loc, scale, param...) of |dF/dv v| / |F|, the relative change that
relative perturbations of the inputs cause.  Logarithms follow from the
values.

With y = (x - loc) / scale, u = |y| and P(t) = p(loc + scale t), each tail is
computed directly, never as 1 minus the other:

    int_y^inf P(t)^2 f(t) dt = sum_n gamma_n J_n(u),   y >= 0,
    J_n(u) = int_0^inf tau^n f(u + tau) dtau = -n! Li_n(-e^-u),

gamma_n the coefficients of P(y + tau)^2 in tau, and the lower tail below a
negative y the same with P(y - tau).  The other side is S minus the tail at 50
digits, S = int P^2 f.  On every fifth row both sides are checked against
mpmath quadrature of the defining integrals.

The companion tables, from the same rows and formulas:

* accurate_derivatives.csv: at every third row within |y| <= 1e4, the
  derivatives of log cdf, log sf and log pdf with respect to x, loc, scale
  and each coefficient (those of the values are the value times them), by
  central differences at 60 digits;
* accurate_intervals.csv: P(a < X <= b) for intervals on one side of loc,
  across it, close together (b = a (1 + 1e-12)) and far in a tail, as the
  difference of tails at 60 digits, with its condition number and the
  derivatives of log P in a, b, loc, scale and each coefficient;
* accurate_moments.csv: the mean and variance of every row's distribution
  and the raw moments of orders 0 to 12, in closed form;
* accurate_hessians.csv: at loc 0 and scale 1 (where the fits evaluate
  them), the second derivatives of log pdf in (x, param) and of log P in
  (a, b, param), by second central differences at 80 digits.

Run from anywhere (a few minutes each):
    python tests/make_accurate_reference.py [values] [derivatives] [intervals] [moments] [hessians]
"""

import csv
import os
import sys

import mpmath
from mpmath import mp, mpf

mp.dps = 50

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
OUT = os.path.join(DATA, "accurate_reference.csv")
PARAMS = {
    1: [[1.0], [-2.5]],
    2: [[1.0, 0.5], [0.0, 1.0], [1.0, -1.0], [-0.3, 2.0]],
    3: [[1.0, 0.0, 0.3], [0.2, -1.0, 0.3], [1.0, -2.0, 1.0]],
    4: [[1.0, -0.5, 0.2, 0.1], [0.0, 0.0, 0.0, 1.0]],
    5: [[0.3, 1.0, -0.4, 0.05, 0.02], [1.0, 0.0, 0.0, 0.0, 0.1]],
    6: [[0.5, 0.3, 0.1, 0.05, 0.01, 0.002], [1.0, -0.8, 0.0, 0.7, -0.1, -0.1],
        [0.0, 0.0, 0.0, 0.0, 0.0, 1.0]],
}
LOC_SCALE = [(0.0, 1.0), (0.3, 1.7), (-4.0, 0.5), (25.0, 3.0), (-1000.0, 30.0), (2.0, 1e-3)]
U = [0.0, 1e-300, 1e-12, 1e-4, 0.05, 0.3, 0.99, 1.0, 1.01, 2.5, 7.0, 20.0, 36.0, 60.0, 200.0,
     700.0, 745.5, 1400.0, 1e5]


def moment(n):
    """int t^n f(t) dt over the line: 1, 0 for odd n, 2 n! eta(n)."""
    if n == 0:
        return mpf(1)
    if n % 2:
        return mpf(0)
    return 2 * mpmath.factorial(n) * mpmath.altzeta(n)


def taylor(poly, at):
    """Coefficients of poly(at + tau) in tau, poly in ascending powers."""
    out = [mpf(0)] * len(poly)
    for i, a in enumerate(poly):
        for j in range(i + 1):
            out[j] += a * mpmath.binomial(i, j) * at ** (i - j)
    return out


def square(c):
    out = [mpf(0)] * (2 * len(c) - 1)
    for i, a in enumerate(c):
        for j, b in enumerate(c):
            out[i + j] += a * b
    return out


def in_t(loc, scale, param):
    """P(t) = p(loc + scale t) in ascending powers of t."""
    c = taylor([mpf(a) for a in param], mpf(loc))
    return [cj * mpf(scale) ** j for j, cj in enumerate(c)]


def J(n, u):
    if n == 0:
        return mpmath.exp(-u) / (1 + mpmath.exp(-u))
    if n == 1:  # mpmath's polylog(1, z) forms log(1 - z), 0 for tiny z
        return mpmath.log1p(mpmath.exp(-u))
    return -mpmath.factorial(n) * mpmath.polylog(n, -mpmath.exp(-u))


def values(x, loc, scale, param):
    """cdf, sf, pdf at x, each tail directly."""
    x, loc, scale = mpf(x), mpf(loc), mpf(scale)
    P = in_t(loc, scale, param)
    S = mpmath.fsum(b * moment(n) for n, b in enumerate(square(P)))
    y = (x - loc) / scale
    u = abs(y)
    c = taylor(P, y)
    if y < 0:
        c = [cj * (-1) ** j for j, cj in enumerate(c)]
    tail = mpmath.fsum(g * J(n, u) for n, g in enumerate(square(c))) / S
    f = mpmath.exp(-u) / (1 + mpmath.exp(-u)) ** 2
    pdf = c[0] ** 2 * f / (scale * S)
    return (1 - tail, tail, pdf) if y >= 0 else (tail, 1 - tail, pdf)


def conditions(x, loc, scale, param, value):
    """For each of cdf, sf, pdf: sum_v |d value / dv v| / |value|, by central
    differences at 50 digits."""
    inputs = [mpf(x), mpf(loc), mpf(scale)] + [mpf(a) for a in param]
    h = mpf("1e-20")
    total = [mpf(0)] * 3
    for i, v in enumerate(inputs):
        if v == 0:
            continue
        up, down = list(inputs), list(inputs)
        up[i], down[i] = v * (1 + h), v * (1 - h)
        hi, lo = values(up[0], up[1], up[2], up[3:]), values(down[0], down[1], down[2], down[3:])
        total = [t + abs((a - b) / (2 * h)) for t, a, b in zip(total, hi, lo)]
    return [t / abs(v) if v != 0 else mpf(0) for t, v in zip(total, value)]


def quadrature_check(x, loc, scale, param, cdf, sf):
    """Both sides against quadrature of p(v)^2 f((v - loc) / scale)."""
    x, loc, scale = mpf(x), mpf(loc), mpf(scale)
    p = [mpf(a) for a in param]

    def density(v):
        t = (v - loc) / scale
        return mpmath.polyval(p[::-1], v) ** 2 * mpmath.exp(-abs(t)) / (1 + mpmath.exp(-abs(t))) ** 2

    # Breaks at loc and the point, and a few scales beyond, for the tails.
    points = sorted({loc - 60 * scale, loc, x, loc + 60 * scale})
    lower = mpmath.quad(density, [-mpmath.inf] + [v for v in points if v < x] + [x])
    upper = mpmath.quad(density, [x] + [v for v in points if v > x] + [mpmath.inf])
    for got, want in ((lower / (lower + upper), cdf), (upper / (lower + upper), sf)):
        assert abs(got - want) <= mpf("1e-25") * abs(want) + mpf("1e-300"), (x, loc, scale, param, got, want)


def rows():
    for m, params in PARAMS.items():
        for param in params:
            for loc, scale in LOC_SCALE:
                for u in U:
                    for side in (-1, 1):
                        if u == 0 and side < 0:
                            continue
                        x = float(mpf(loc) + side * u * mpf(scale))
                        if abs((x - loc) / scale) > 1e4 and m > 2:
                            continue
                        yield m, loc, scale, param, x


def write_values():
    out = []
    for index, (m, loc, scale, param, x) in enumerate(rows()):
        cdf, sf, pdf = values(x, loc, scale, param)
        kappa = conditions(x, loc, scale, param, (cdf, sf, pdf))
        if index % 5 == 0 and abs((x - loc) / scale) < 100:
            quadrature_check(x, loc, scale, param, cdf, sf)
        out.append([m, float.hex(loc), float.hex(scale), *(float.hex(a) for a in param),
                    *[""] * (6 - m), float.hex(x),
                    mpmath.nstr(cdf, 25), mpmath.nstr(sf, 25), mpmath.nstr(pdf, 25),
                    *(mpmath.nstr(k, 4) for k in kappa)])
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["m", "loc", "scale", "a0", "a1", "a2", "a3", "a4", "a5", "x",
                    "cdf", "sf", "pdf", "kappa_cdf", "kappa_sf", "kappa_pdf"])
        w.writerows(out)
    print(f"{len(out)} rows -> {OUT}")


def logs(x, loc, scale, param):
    """log cdf, log sf, log pdf."""
    return [mpmath.log(v) for v in values(x, loc, scale, param)]


def slopes(f, inputs, pointwise, h=mpf("1e-25")):
    """Central differences of f(x, loc, scale, *param) in each input, steps
    h max(1, |v|); where f depends on p at x alone (`pointwise`), for a
    coefficient a_j at most h |p(x)| / |x|^j, so that p(x) changes by a
    small part of itself."""
    x = inputs[0]
    p = abs(mpmath.polyval(inputs[3:], x, asc=True))
    out = []
    for i, v in enumerate(inputs):
        step = h * max(1, abs(v))
        j = i - 3
        if pointwise and j >= 0 and p and x != 0:
            step = min(step, h * p / abs(x) ** j)
        up, down = list(inputs), list(inputs)
        up[i], down[i] = v + step, v - step
        hi, lo = f(*up), f(*down)
        out.append([(a - b) / (2 * step) for a, b in zip(hi, lo)])
    return out


def flat(x, loc, scale, *param):
    return x, loc, scale, list(param)


def write_derivatives():
    mp.dps = 60
    out = []
    for index, (m, loc, scale, param, x) in enumerate(rows()):
        if index % 3 or abs((x - loc) / scale) > 1e4:
            continue
        inputs = [mpf(x), mpf(loc), mpf(scale)] + [mpf(a) for a in param]
        d = slopes(lambda *v: logs(*flat(*v)), inputs, pointwise=False)
        density = slopes(lambda *v: logs(*flat(*v)), inputs, pointwise=True)
        for i in range(len(inputs)):
            d[i][2] = density[i][2]
        # d[input][function]: columns by function, then input
        row = [m, float.hex(loc), float.hex(scale), *(float.hex(a) for a in param), *[""] * (6 - m), float.hex(x)]
        for k in range(3):
            row += [mpmath.nstr(d[i][k], 20) for i in range(len(inputs))] + [""] * (6 - m)
        out.append(row)
    names = ["x", "loc", "scale"] + [f"a{j}" for j in range(6)]
    header = ["m", "loc", "scale", "a0", "a1", "a2", "a3", "a4", "a5", "x"]
    header += [f"{f}_d{v}" for f in ("logcdf", "logsf", "logpdf") for v in names]
    save("accurate_derivatives.csv", header, out)


INTERVALS = [(-mpmath.inf, -2), (-2, -1), (-0.5, 0.5), (1, 1 + 1e-12), (-1 - 1e-12, -1), (40, 41), (-41, -40),
             (-800, -799), (2, mpmath.inf), (-30, 30), (0.1, 0.100001), (-3, 0.2), (-mpmath.inf, mpmath.inf)]


def probability(a, b, loc, scale, param):
    """P(a < X <= b), log P: the difference of the lower tails at a and b
    (upper ones above loc), at the working precision."""
    def lower(x):
        if x == -mpmath.inf:
            return mpf(0), mpf(1)
        if x == mpmath.inf:
            return mpf(1), mpf(0)
        cdf, sf, _ = values(x, loc, scale, param)
        return cdf, sf
    (ca, sa), (cb, sb) = lower(a), lower(b)
    P = (sa - sb) if a >= loc else (cb - ca) if b < loc else (1 - ca - sb)
    return [P, mpmath.log(P)]


def write_intervals():
    mp.dps = 60
    out = []
    for m, params in PARAMS.items():
        for param in params[:2]:
            for loc, scale in LOC_SCALE[:5]:
                for ya, yb in INTERVALS:
                    a = float(mpf(loc) + ya * mpf(scale)) if mpmath.isfinite(ya) else float(ya)
                    b = float(mpf(loc) + yb * mpf(scale)) if mpmath.isfinite(yb) else float(yb)
                    if not a < b:
                        continue
                    P, log_P = probability(a, b, loc, scale, param)
                    inputs = [mpf(a), mpf(b), mpf(loc), mpf(scale)] + [mpf(v) for v in param]
                    finite = [i for i, v in enumerate(inputs) if mpmath.isfinite(v)]
                    h = mpf("1e-30")
                    d = [mpf(0)] * len(inputs)
                    kappa = mpf(0)
                    for i in finite:
                        v = inputs[i]
                        step = h * max(1, abs(v))
                        up, down = list(inputs), list(inputs)
                        up[i], down[i] = v + step, v - step
                        d[i] = (probability(up[0], up[1], up[2], up[3], up[4:])[1]
                                - probability(down[0], down[1], down[2], down[3], down[4:])[1]) / (2 * step)
                        kappa += abs(d[i] * v)
                    out.append([m, float.hex(loc), float.hex(scale), *(float.hex(v) for v in param), *[""] * (6 - m),
                                float.hex(a), float.hex(b), mpmath.nstr(P, 25), mpmath.nstr(log_P, 25),
                                mpmath.nstr(kappa, 4), *(mpmath.nstr(v, 20) for v in d), *[""] * (6 - m)])
    header = ["m", "loc", "scale", "a0", "a1", "a2", "a3", "a4", "a5", "a", "b", "P", "log_P", "kappa",
              "d_a", "d_b", "d_loc", "d_scale"] + [f"d_a{j}" for j in range(6)]
    save("accurate_intervals.csv", header, out)


def write_moments():
    out = []
    for m, params in PARAMS.items():
        for param in params:
            for loc, scale in LOC_SCALE + [(1e4, 1.0), (-1e4, 0.5)]:
                beta = square(in_t(loc, scale, param))
                S = mpmath.fsum(b * moment(n) for n, b in enumerate(beta))
                E = [mpmath.fsum(b * moment(n + j) for n, b in enumerate(beta)) / S for j in range(13)]
                raw = [mpmath.fsum(mpmath.binomial(k, j) * mpf(loc) ** (k - j) * mpf(scale) ** j * E[j]
                                   for j in range(k + 1)) for k in range(13)]
                out.append([m, float.hex(loc), float.hex(scale), *(float.hex(a) for a in param), *[""] * (6 - m),
                            mpmath.nstr(loc + scale * E[1], 25), mpmath.nstr(mpf(scale) ** 2 * (E[2] - E[1] ** 2), 25),
                            *(mpmath.nstr(v, 25) for v in raw)])
    header = ["m", "loc", "scale", "a0", "a1", "a2", "a3", "a4", "a5", "mean", "var"] + [f"moment{k}" for k in range(13)]
    save("accurate_moments.csv", header, out)


def second_differences(f, inputs, ends=1, h=mpf("1e-15"), pointwise=False):
    """The Hessian of f at inputs (infinite ones left out, their rows 0) by
    central differences, steps h max(1, |v|); the first `ends` inputs (the
    ends of an interval) at most 1e-6 of its width."""
    k = len(inputs)
    H = [[mpf(0)] * k for _ in range(k)]
    live = [i for i in range(k) if mpmath.isfinite(inputs[i])]
    steps = {i: h * max(1, abs(inputs[i])) for i in live}
    if ends == 2 and all(mpmath.isfinite(v) for v in inputs[:2]):
        for i in (0, 1):
            steps[i] = min(steps[i], mpf("1e-6") * (inputs[1] - inputs[0]))
    if pointwise and inputs[0] != 0:
        p = abs(mpmath.polyval(inputs[1:], inputs[0], asc=True))
        for i in live[1:]:
            steps[i] = min(steps[i], h * p / abs(inputs[0]) ** (i - 1))

    def at(moves):
        v = list(inputs)
        for i, sign in moves:
            v[i] += sign * steps[i]
        return f(v)

    for a, i in enumerate(live):
        for j in live[a:]:
            H[i][j] = H[j][i] = (at([(i, 1), (j, 1)]) - at([(i, 1), (j, -1)]) - at([(i, -1), (j, 1)])
                                 + at([(i, -1), (j, -1)])) / (4 * steps[i] * steps[j])
    return H


def write_hessians():
    mp.dps = 80
    out = []
    points = [0.0, 1e-4, 0.3, 1.0, 2.5, 7.0, 20.0, 60.0, 200.0]
    for m, params in PARAMS.items():
        for param in params[:2]:
            for y in points + [-v for v in points[1:]]:
                inputs = [mpf(y)] + [mpf(a) for a in param]
                if mpmath.polyval(inputs[1:], inputs[0], asc=True) == 0:
                    continue
                H = second_differences(lambda v: logs(v[0], mpf(0), mpf(1), v[1:])[2], inputs, pointwise=True)
                out.append(["pdf", m, *(float.hex(a) for a in param), *[""] * (6 - m), float.hex(y), "",
                            *(mpmath.nstr(H[i][j], 20) for i in range(m + 1) for j in range(m + 1))])
            for ya, yb in INTERVALS:
                inputs = [mpf(ya), mpf(yb)] + [mpf(a) for a in param]
                H = second_differences(lambda v: probability(v[0], v[1], mpf(0), mpf(1), v[2:])[1], inputs, ends=2)
                out.append(["between", m, *(float.hex(a) for a in param), *[""] * (6 - m), float.hex(float(ya)),
                            float.hex(float(yb)),
                            *(mpmath.nstr(H[i][j], 20) for i in range(m + 2) for j in range(m + 2))])
    header = ["kind", "m", "a0", "a1", "a2", "a3", "a4", "a5", "a", "b", "hessian..."]
    save("accurate_hessians.csv", header, out)


def save(name, header, out):
    os.makedirs(DATA, exist_ok=True)
    with open(os.path.join(DATA, name), "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(header)
        w.writerows(out)
    print(f"{len(out)} rows -> {name}")


if __name__ == "__main__":
    parts = {"values": write_values, "derivatives": write_derivatives, "intervals": write_intervals,
             "moments": write_moments, "hessians": write_hessians}
    for part in sys.argv[1:] or parts:
        parts[part]()
