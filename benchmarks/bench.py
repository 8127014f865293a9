"""Time the cdf gufunc per point and beside it what it should be compared with.

Shapes, for m = 2, 4, 6 coefficients:
  (i)   one row of 10^6 points;
  (ii)  10^5 rows of 10 points, each row its own loc;
  (iii) 10^6 rows of one point, each row its own loc and coefficients.

Columns, all in ns per point, best of several repeats run side by side:
  lib     this library;
  (a)     the same closed form written as vectorised NumPy;
  (b)     scipy.special.expit on the plain logistic case (no polynomial);
  (c)     scipy.integrate.quad per point, timed on a small subset and
          extrapolated (marked ~);
  (d)     the arithmetic floor: benchmarks/floor.cpp, one tanh, exp and log
          per point and 18 exactly rounded quotients per polylogarithm order
          above 1 (two fused multiply-adds and a product each);
and the ratios lib/(d) and (a)/lib.  Peak memory is the growth of the peak
resident size of a fresh process over one call, output included (Linux:
the high-water mark is reset through /proc/self/clear_refs).

Two tables follow on shapes (i) and (iii): the accurate family beside cdf
(ppf and isf against accurate.cdf), and the functions a likelihood needs
(each gradient against its plain function plus the time to write its
outputs, the interval probability against logcdf, its gradient against it,
the Hessians against the gradients).

Run:  make bench   (or python benchmarks/bench.py [--quick])
"""

import argparse
import ctypes
import math
import os
import subprocess
import sys
import time

# One BLAS thread: idle BLAS threads spin and take a core from the timings.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from distribution import accurate, cdf  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(HERE, "build")
MS = (2, 4, 6)
GRADIENTS = ("cdf", "sf", "logcdf", "logsf", "pdf", "logpdf")
SHAPES = ("i", "ii", "iii")


# ---------------------------------------------------------------- inputs
def inputs(shape, m, scale_points=1.0):
    """x, loc, scale, param for one shape; points spread over |y| <= 12."""
    rng = np.random.default_rng(12345 + m)
    total = int(1_000_000 * scale_points)
    base = rng.normal(0.0, 1.0, m) * 0.5
    base[0] = 1.0
    scale = 1.3
    if shape == "i":
        loc = 0.4
        x = loc + scale * rng.uniform(-12, 12, total)
        return x, loc, scale, base
    if shape == "ii":
        rows = total // 10
        loc = rng.uniform(-2, 2, rows)
        x = loc[:, None] + scale * rng.uniform(-12, 12, (rows, 10))
        return x, loc, scale, base
    loc = rng.uniform(-2, 2, total)
    x = (loc + scale * rng.uniform(-12, 12, total))[:, None]
    param = base + 0.1 * rng.normal(0.0, 1.0, (total, m))
    return x, loc, scale, param


def standardised_abs(x, loc, scale):
    loc = np.asarray(loc)
    if loc.ndim:
        loc = loc[:, None]
    return np.abs((x - loc) / scale).ravel()


# ------------------------------------------------------ (a) NumPy closed form
def numpy_cdf(x, loc, scale, param):
    """The closed form of the library, vectorised over points with NumPy."""
    x = np.asarray(x, dtype=float)
    loc = np.asarray(loc, dtype=float)
    scale = np.asarray(scale, dtype=float)
    param = np.asarray(param, dtype=float)
    if param.shape[-1] == 1:
        param = np.concatenate([param, np.zeros(param.shape[:-1] + (1,))], -1)
    k = param.shape[-1]
    deg = 2 * k - 2
    # Row quantities carry a trailing axis over the points.
    loc_r = loc[..., None] if loc.ndim else loc
    scale_r = scale[..., None] if scale.ndim else scale
    y = (x - loc_r) / scale_r
    u = np.abs(y)
    h = 0.5 * np.tanh(0.5 * u)
    z = -np.exp(-u)
    # Li_1 exactly, Li_s for s >= 2 from 19 terms of the series.
    li = [None, -np.log(1 - z)]
    zj = [z ** j for j in range(1, 20)]
    for s in range(2, deg + 1):
        acc = zj[0].copy()
        for j in range(2, 20):
            acc += zj[j - 1] / float(j) ** s
        li.append(acc)
    # Full moments of the logistic density and the partial moments I_n(y).
    full = [1.0] + [0.0 if n % 2 else 2 * math.factorial(n) * (1 - 2.0 ** (1 - n))
                    * _zeta(n) for n in range(1, deg + 1)]
    tail = 0.5 - h
    neg = y < 0
    partial = [np.where(neg, tail, 1 - tail)]
    upow = [np.ones_like(u), u]
    for n in range(2, deg + 1):
        upow.append(upow[-1] * u)
    for n in range(1, deg + 1):
        t_n = upow[n] * tail
        for l in range(n):
            t_n = t_n - (math.factorial(n) / math.factorial(n - 1 - l)) * upow[n - 1 - l] * li[l + 1]
        partial.append(np.where(neg, (-1) ** n * t_n, full[n] - t_n))
    # Coefficients of p(loc + scale t)^2 in powers of t, per row.
    rshape = np.broadcast_shapes(loc.shape, scale.shape, param.shape[:-1])
    pr = np.broadcast_to(param, rshape + (k,))
    lc = np.broadcast_to(loc, rshape)
    sc = np.broadcast_to(scale, rshape)
    q = np.zeros(pr.shape)
    for i in range(k):
        for j in range(i + 1):
            q[..., j] += pr[..., i] * math.comb(i, j) * lc ** (i - j) * sc ** j
    beta = np.zeros(pr.shape[:-1] + (deg + 1,))
    for i in range(k):
        for j in range(k):
            beta[..., i + j] += q[..., i] * q[..., j]
    num = sum(beta[..., n, None] * partial[n] for n in range(deg + 1))
    den = sum(beta[..., n] * full[n] for n in range(deg + 1))
    return (num / den[..., None]).reshape(x.shape)


def _zeta(n):
    from scipy.special import zeta

    return float(zeta(n))


# ------------------------------------------------------- (c) quadrature
def quad_cdf_per_point(x, loc, scale, param, count):
    """ns per point of scipy.integrate.quad on the first `count` points."""
    from scipy.integrate import quad

    xs = x.reshape(x.shape[0], -1)
    rows = min(count, xs.shape[0]) if xs.shape[1] < count else 1
    per_row = max(1, count // rows)
    locs = np.broadcast_to(loc, xs.shape[:1])
    params = np.broadcast_to(param, xs.shape[:1] + (np.shape(param)[-1],))
    start = time.perf_counter()
    done = 0
    for r in range(rows):
        coef = params[r][::-1]
        lc = locs[r]

        def g(t):
            return np.polyval(coef, lc + scale * t) ** 2 * math.exp(-abs(t)) / (1 + math.exp(-abs(t))) ** 2

        total = quad(g, -np.inf, np.inf)[0]
        for v in xs[r, :per_row]:
            quad(g, -np.inf, (v - lc) / scale)[0] / total
            done += 1
    return (time.perf_counter() - start) / done * 1e9


# ------------------------------------------------------- (d) the floor
def floor_kernel():
    os.makedirs(BUILD, exist_ok=True)
    src = os.path.join(HERE, "floor.cpp")
    lib = os.path.join(BUILD, "floor.so")
    if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(src):
        subprocess.run(["g++", "-O3", "-march=native", "-ffp-contract=off", "-fPIC",
                        "-shared", "-o", lib, src], check=True)
    so = ctypes.CDLL(lib)
    so.floor_kernel.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_void_p]
    so.floor_kernel.restype = None

    def run(u, m, out):
        so.floor_kernel(u.ctypes.data, u.size, 2 * m - 3, out.ctypes.data)

    return run


# ------------------------------------------------------- timing and memory
def best(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def peak_growth(method, shape, m, scale_points):
    """Peak resident growth (bytes) of one call, measured in a fresh process."""
    out = subprocess.run([sys.executable, __file__, "--mem", method, shape, str(m),
                          str(scale_points)], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1])


def child_memory(method, shape, m, scale_points):
    x, loc, scale, param = inputs(shape, m, scale_points)
    fn = {"lib": cdf, "numpy": numpy_cdf}[method]
    fn(x[:2], loc if np.ndim(loc) == 0 else loc[:2], scale,
       param if np.ndim(param) == 1 else param[:2])
    # Reset the kernel's high-water mark of the resident size, then read it
    # back after the call.
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    before = _status("VmRSS")
    with np.errstate(all="ignore"):
        fn(x, loc, scale, param)
    print(_status("VmHWM") - before)


def _status(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="a tenth of the points, fewer repeats")
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--mem", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.mem:
        child_memory(args.mem[0], args.mem[1], int(args.mem[2]), float(args.mem[3]))
        return
    from scipy.special import expit

    sp = 0.1 if args.quick else 1.0
    repeats = 3 if args.quick else args.repeats
    floor = floor_kernel()
    rows = []
    for shape in SHAPES:
        for m in MS:
            x, loc, scale, param = inputs(shape, m, sp)
            npts = x.size
            u = standardised_abs(x, loc, scale)
            fl_out = np.empty_like(u)
            loc_b = np.asarray(loc)[:, None] if np.ndim(loc) else loc
            with np.errstate(all="ignore"):
                ref = numpy_cdf(x, loc, scale, param)
                got = cdf(x, loc, scale, param)
            err = np.nanmax(np.abs(ref - got))
            t = {"lib": [], "a": [], "b": [], "d": []}
            for _ in range(repeats):
                t["lib"].append(best(lambda: cdf(x, loc, scale, param), 1))
                t["d"].append(best(lambda: floor(u, m, fl_out), 1))
                t["b"].append(best(lambda: expit((x - loc_b) / scale), 1))
            for _ in range(max(3, repeats // 2)):
                with np.errstate(all="ignore"):
                    t["a"].append(best(lambda: numpy_cdf(x, loc, scale, param), 1))
            ns = {key: min(v) / npts * 1e9 for key, v in t.items()}
            ns["c"] = quad_cdf_per_point(x, loc, scale, param, 20 if args.quick else 60)
            mem_lib = peak_growth("lib", shape, m, sp)
            mem_np = peak_growth("numpy", shape, m, sp)
            rows.append((shape, m, npts, ns, mem_lib, mem_np, x.nbytes, err))

    print(f"cdf benchmark: ns per point, best of {repeats} (NumPy closed form: best of "
          f"{max(3, repeats // 2)}); quad (c) extrapolated from a subset (~)")
    print(f"{'shape':>5} {'m':>2} {'points':>8} | {'lib':>7} {'(a)np':>8} {'(b)expit':>8} "
          f"{'(c)quad~':>9} {'(d)floor':>8} | {'lib/(d)':>7} {'(a)/lib':>7} | "
          f"{'peak MB lib':>11} {'np':>7} {'out MB':>6} | {'|lib-np|':>8}")
    for shape, m, npts, ns, mem_lib, mem_np, out_bytes, err in rows:
        print(f"{shape:>5} {m:>2} {npts:>8} | {ns['lib']:7.1f} {ns['a']:8.1f} {ns['b']:8.1f} "
              f"{ns['c']:9.0f} {ns['d']:8.1f} | {ns['lib'] / ns['d']:7.2f} {ns['a'] / ns['lib']:7.1f} | "
              f"{mem_lib / 2**20:11.1f} {mem_np / 2**20:7.1f} {out_bytes / 2**20:6.1f} | {err:8.1e}")
    print("goals: lib/(d) <= 1.25 on (i), <= 1.4 on (ii), <= 1.6 on (iii); "
          "peak = output + O(m^2)")
    accurate_table(rows, sp, repeats)


def accurate_table(rows, sp, repeats):
    """The accurate family beside distribution.cdf, side by side on the same
    inputs: cdf, logcdf, pdf at the points, ppf at uniform probabilities;
    scipy.stats.logistic.cdf (the case m = 1) and the NumPy closed form (a)
    of the first table beside them."""
    from scipy.stats import logistic

    numpy_ns = {(shape, m): ns["a"] for shape, m, _, ns, *_ in rows}
    out = []
    for shape in ("i", "iii"):
        for m in MS:
            x, loc, scale, param = inputs(shape, m, sp)
            q = np.random.default_rng(m).uniform(0.0, 1.0, x.shape)
            loc_b = np.asarray(loc)[:, None] if np.ndim(loc) else loc
            calls = {
                "cdf": lambda: cdf(x, loc, scale, param),
                "acc.cdf": lambda: accurate.cdf(x, loc, scale, param),
                "acc.logcdf": lambda: accurate.logcdf(x, loc, scale, param),
                "acc.pdf": lambda: accurate.pdf(x, loc, scale, param),
                "acc.ppf": lambda: accurate.ppf(q, loc, scale, param),
                "acc.isf": lambda: accurate.isf(q, loc, scale, param),
                "scipy": lambda: logistic.cdf(x, loc_b, scale),
            }
            t = {key: [] for key in calls}
            for _ in range(repeats):
                for key, call in calls.items():
                    t[key].append(best(call, 1))
            ns = {key: min(v) / x.size * 1e9 for key, v in t.items()}
            out.append((shape, m, ns, numpy_ns[(shape, m)]))
    print()
    print(f"accurate family: ns per point, best of {repeats}, side by side with cdf")
    print(f"{'shape':>5} {'m':>2} | {'cdf':>6} {'acc.cdf':>7} {'logcdf':>7} {'pdf':>6} {'ppf':>7} | "
          f"{'acc/cdf':>7} {'log/cdf':>7} {'pdf/cdf':>7} {'ppf/acc':>7} {'isf/acc':>7} | {'scipy m=1':>9} "
          f"{'(a)np':>7}")
    for shape, m, ns, np_ns in out:
        print(f"{shape:>5} {m:>2} | {ns['cdf']:6.1f} {ns['acc.cdf']:7.1f} {ns['acc.logcdf']:7.1f} "
              f"{ns['acc.pdf']:6.1f} {ns['acc.ppf']:7.1f} | {ns['acc.cdf'] / ns['cdf']:7.2f} "
              f"{ns['acc.logcdf'] / ns['cdf']:7.2f} {ns['acc.pdf'] / ns['cdf']:7.2f} "
              f"{ns['acc.ppf'] / ns['acc.cdf']:7.1f} {ns['acc.isf'] / ns['acc.cdf']:7.1f} | "
              f"{ns['scipy']:9.1f} {np_ns:7.1f}")
    print("goals: acc.cdf and acc.logcdf <= 1.25 cdf; pdf <= 0.6 cdf; ppf and isf <= 6 acc.cdf")
    fitting_table(sp, repeats)


def fitting_table(sp, repeats):
    """What a likelihood needs, side by side: each gradient against its plain
    function plus the time to allocate and write its 4 + m outputs (the
    "write" column), and the interval functions on [x, x + U(0, 1) scale]."""
    out = []
    for shape in ("i", "iii"):
        for m in MS:
            x, loc, scale, param = inputs(shape, m, sp)
            b = x + np.random.default_rng(m).uniform(0.0, 1.0, x.shape) * scale

            def write():
                for o in [np.empty(x.shape) for _ in range(4)] + [np.empty(x.shape + (m,))]:
                    o.fill(1.0)

            calls = {"write": write,
                     "between": lambda: accurate.log_probability_between(x, b, loc, scale, param),
                     "between_grad": lambda: accurate.log_probability_between_grad(x, b, loc, scale, param),
                     "between_hess": lambda: accurate.log_probability_between_hess(x, b, 0.0, 1.0, param),
                     "logpdf_hess": lambda: accurate.logpdf_hess(x, 0.0, 1.0, param)}
            for name in GRADIENTS:
                calls[name] = (lambda f: lambda: f(x, loc, scale, param))(getattr(accurate, name))
                calls[name + "_grad"] = (lambda f: lambda: f(x, loc, scale, param))(getattr(accurate, name + "_grad"))
            t = {key: [] for key in calls}
            with np.errstate(all="ignore"):
                for _ in range(repeats):
                    for key, call in calls.items():
                        t[key].append(best(call, 1))
            out.append((shape, m, {key: min(v) / x.size * 1e9 for key, v in t.items()}))
    print()
    print(f"fitting functions: ns per point, best of {repeats}; gradient ratios are "
          "grad / (plain + write)")
    print(f"{'shape':>5} {'m':>2} | {'write':>6} " + " ".join(f"{g + '_grad':>11}" for g in GRADIENTS)
          + f" | {'between':>7} {'btw/logcdf':>10} {'grad/btw':>8} | {'hess/grad':>9} {'btw h/g':>8}")
    for shape, m, ns in out:
        ratios = " ".join(f"{ns[g + '_grad'] / (ns[g] + ns['write']):11.2f}" for g in GRADIENTS)
        print(f"{shape:>5} {m:>2} | {ns['write']:6.1f} {ratios} | {ns['between']:7.1f} "
              f"{ns['between'] / ns['logcdf']:10.2f} {ns['between_grad'] / ns['between']:8.2f} | "
              f"{ns['logpdf_hess'] / ns['logpdf_grad']:9.2f} {ns['between_hess'] / ns['between_grad']:8.2f}")
    print("goals: each gradient <= 3; log_probability_between <= 2.5 logcdf; "
          "its gradient <= 3 log_probability_between.  The Hessians (at loc 0, scale 1, the fits' "
          "standardised ends; columns hess/grad: logpdf_hess / logpdf_grad, log_probability_between_hess / "
          "its gradient) have no goal of their own.")


if __name__ == "__main__":
    main()
