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

The data of each ordered row are drawn again by the tests from its seed
(`ordered_sample`), with the library's sampler, which the reference does not
use otherwise.

Run from anywhere (about 75 minutes on one core):
    python tests/make_global_reference.py [density] [ordered]
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


def main(parts):
    done = {}
    if os.path.exists(OUT):
        with open(OUT) as fh:
            for r in csv.DictReader(fh):
                done[(r["kind"], r["sample"], int(r["seed"]), int(r["m"]))] = r
    for kind, name, seed, m, starts, run in rows(parts):
        key = (kind, name, seed, m)
        if key in done:
            continue
        begin = time.time()
        if run is None:
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
    main(sys.argv[1:] or ["density", "ordered"])
