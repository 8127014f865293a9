"""Generate tests/data/global_maxima.csv: the best log-likelihood of many
random-start local optimisations (tests/global_reference.py, which shares no
code with the library's fits) on the samples the fit tests use.

* density: public samples with several modes or heavy skew (tests/data),
  m = 1 ... 6, 100 starts each; samples of tied values (the log of wages
  rounded to the cent, whole years of schooling), m = 1 ... 4, 1,000 starts
  each (their likelihood has a basin for each placement of p's zeros among
  the gaps between the values, and the best are found by few starts);
* ordered: the example's model (20,000 observations, p = 1 + 0.6 e +
  0.25 e^2) on seeds 0 ... 19 at m = 3 (40 starts each), seeds 0 and 1 at
  m = 1, 2 and 4 (30 starts) and seed 0 at m = 5 and 6 (12 starts: each
  takes minutes); models whose p has real roots (5,000 observations,
  5 seeds, m = 3, 40 starts).

* models: binary choice (simulated, 3 seeds, and MASS::Pima.tr), an ordered
  model with scale and nominal effects, and truncated regression (2 seeds),
  at m = 2 or 3, 100 starts each.

The data of each simulated row are drawn again by the tests from its seed
(`ordered_sample`, `binary_sample`, ...), with the library's sampler, which
the reference does not use otherwise.

Run from anywhere (about 75 minutes on one core):
    python tests/make_global_reference.py [density] [ordered] [models]
"""

import csv
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import global_reference as ref  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
OUT = os.path.join(DATA, "global_maxima.csv")

SAMPLES = {
    "faithful_eruptions": ("faithful.csv", 0), "faithful_waiting": ("faithful.csv", 1),
    "geyser_waiting": ("geyser.csv", 0), "geyser_duration": ("geyser.csv", 1),
    "galaxies": ("galaxies.csv", 0), "rivers": ("rivers.csv", 0),
    "log_wage": ("cps1985.csv", 0), "education": ("cps1985.csv", 1),
}
# Samples taken on a log scale, and the largest m of each sample's rows.
LOGGED = {"log_wage"}
DEGREES = {"log_wage": 4, "education": 4}
STARTS = {"log_wage": 1000, "education": 1000}
# Noise shapes of the ordered models: the example's, and two with real roots.
ORDERED = {
    "example": dict(p=[1.0, 0.6, 0.25], cuts=[1.0, 3.0, 5.0], n=20_000),
    "two_roots": dict(p=[-1.5, 0.5, 1.0], cuts=[-2.0, -0.5, 0.5, 2.0], n=5000),
    "symmetric_roots": dict(p=[-1.0, 0.0, 1.0], cuts=[-2.0, -0.5, 0.5, 2.0], n=5000),
}


def sample(name):
    path, column = SAMPLES[name]
    x = np.loadtxt(os.path.join(DATA, path), delimiter=",", skiprows=2, usecols=column)
    return np.log(x) if name in LOGGED else x


def ordered_sample(model, seed):
    """X, y of an ordered model: latent x b + e, b = (1, -0.5), e of the
    model's noise, cut at its cut points."""
    from distribution import AdjustedLogistic

    chosen = ORDERED[model]
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(chosen["n"], 2))
    noise = AdjustedLogistic(chosen["p"]).rvs(size=chosen["n"], random_state=rng)
    return X, np.searchsorted(chosen["cuts"], X @ [1.0, -0.5] + noise)


def binary_sample(seed):
    """y, X of binary choice: 0.4 + X (1.2, -0.7) + e > 0, e of p = 1 + 0.8 e
    - 0.4 e^2; or ("pima") Pima.tr's diabetes against its standardised
    glucose, BMI and pedigree."""
    if seed == "pima":
        import pandas as pd

        pima = pd.read_csv(os.path.join(DATA, "pima_tr.csv"))
        X = pima[["glu", "bmi", "ped"]].to_numpy(float)
        return (pima["type"] == "Yes").to_numpy().astype(int), (X - X.mean(axis=0)) / X.std(axis=0)
    from distribution import AdjustedLogistic

    rng = np.random.default_rng(seed)
    X = rng.normal(size=(400, 2))
    noise = AdjustedLogistic([1.0, 0.8, -0.4]).rvs(400, random_state=seed)
    return (0.4 + X @ [1.2, -0.7] + noise > 0).astype(int), X


def scale_nominal_sample(seed, n=400):
    """y (3 categories), x, w (0/1), z: an ordered model whose scale moves
    with z and whose upper categories shift with w."""
    rng = np.random.default_rng(seed)
    x, w, z = rng.normal(size=n), rng.integers(0, 2, n).astype(float), rng.normal(size=n)
    latent = x + np.exp(0.3 * z) * rng.logistic(size=n) * (1 + (rng.uniform(size=n) < 0.3))
    return np.digitize(latent - 0.5 * w * (latent > 0), [-1.0, 1.0]), x, w, z


def truncated_sample(seed, n=300):
    """y, x of y = 1 + 2 x + 1.5 e (a noise of two scales) seen only in (0, 6]."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=4 * n)
    y = 1.0 + 2.0 * x + 1.5 * rng.logistic(size=4 * n) * (1 + (rng.uniform(size=4 * n) < 0.3))
    keep = (y > 0.0) & (y <= 6.0)
    return y[keep][:n], x[keep][:n]


def model_reference(name, seed, m, starts):
    """The reference of one row of the models part."""
    if name == "binary":
        y, X = binary_sample(seed)
        return ref.ordered_reference(X, y, m, starts=starts, seed=7)
    if name == "scale_nominal":
        y, x, w, z = scale_nominal_sample(seed)

        def draw(r):
            first = r.normal(0, 1.5)
            return np.concatenate([[r.normal(0, 1.5)], [first, first + r.uniform(0.3, 4)], r.normal(0, 1, 2),
                                   [r.normal(0, 0.5)], r.normal(size=m)])

        return ref.numeric_reference(lambda t: ref.scale_nominal_llf(y, x, w, z, t, m, 3), draw, starts, 1)
    y, x = truncated_sample(seed)
    lo, hi = np.zeros_like(y), np.full_like(y, 6.0)

    def draw(r):
        return np.concatenate([[r.uniform(0, 6), r.normal(2, 1), r.uniform(-1, 1.5)], r.normal(size=m)])

    return ref.numeric_reference(lambda t: ref.truncated_llf(t[:3], y, x, lo, hi, t[3:]), draw, starts, seed)


def rows(parts):
    if "density" in parts:
        for name in SAMPLES:
            for m in range(1, DEGREES.get(name, 6) + 1):
                yield ("density", name, 0, m, STARTS.get(name, 100),
                       lambda name=name, m=m: ref.density_reference(sample(name), m))
    if "ordered" in parts:
        for seed in range(20):
            yield ("ordered", "example", seed, 3, 40, None)
        for model in ("two_roots", "symmetric_roots"):
            for seed in range(5):
                yield ("ordered", model, seed, 3, 40, None)
        for seed in (0, 1):
            for m in (1, 2, 4):
                yield ("ordered", "example", seed, m, 30, None)
        for m in (5, 6):
            yield ("ordered", "example", 0, m, 12, None)
    if "models" in parts:
        for seed, m in ((1, 2), (2, 3), (3, 3), ("pima", 3)):
            yield ("models", "binary", seed, m, 100, "model")
        yield ("models", "scale_nominal", 11, 3, 100, "model")
        for seed in (2, 3):
            yield ("models", "truncated", seed, 3, 100, "model")


def main(parts):
    done = {}
    if os.path.exists(OUT):
        with open(OUT) as fh:
            for r in csv.DictReader(fh):
                done[(r["kind"], r["sample"], r["seed"], int(r["m"]))] = r
    for kind, name, seed, m, starts, run in rows(parts):
        key = (kind, name, str(seed), m)
        if key in done:
            continue
        begin = time.time()
        if run == "model":
            best, reached = model_reference(name, seed, m, starts)
        elif run is None:
            X, y = ordered_sample(name, seed)
            best, reached = ref.ordered_reference(X, y, m, starts=starts, seed=seed)
        else:
            best, reached = ref.density_reference(sample(name), m, starts=starts)
        done[key] = dict(kind=kind, sample=name, seed=seed, m=m, starts=starts, llf=repr(float(best)),
                         reached=reached)
        print(kind, name, seed, m, best, reached, f"{time.time() - begin:.0f} s", flush=True)
        with open(OUT, "w", newline="") as fh:
            w = csv.DictWriter(fh, ["kind", "sample", "seed", "m", "starts", "llf", "reached"])
            w.writeheader()
            w.writerows(done.values())


if __name__ == "__main__":
    main(sys.argv[1:] or ["density", "ordered", "models"])
