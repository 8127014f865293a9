"""The compiled likelihood of the ordered model against the compiled
functions it stands on, and its threads.

On 10^6 ordered observations (K = 4 with 2 and 16 columns, K = 100 with 2)
at m = 3: the Hessian evaluation (`likelihood.sums`) against
`accurate.log_probability_between_hess` alone on the same standardised
ends, the value evaluation against `accurate.log_probability_between`
alone, and 2 threads against 1.  With --numpy also the chain rule in NumPy
(tests/likelihood_oracle.py, the former implementation, on one BLAS
thread): it needs about 3 GB and half a minute a call at K = 100.

Run with the package installed:  python benchmarks/likelihood.py [n] [--numpy]
Prints the best of 5 interleaved runs of each (wall clock; the ratios of one
thread are of process time, which other load on the machine disturbs less).
"""

import os
import sys
import time

if "--numpy" in sys.argv:
    # One BLAS thread: its idle threads would otherwise spin beside the others.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
import numpy as np  # noqa: E402

from distribution import accurate  # noqa: E402
from distribution.models.ordered import OrderedRegression  # noqa: E402

REPEATS = 5
args = [a for a in sys.argv[1:] if not a.startswith("--")]
N = int(args[0]) if args else 1_000_000
NUMPY = "--numpy" in sys.argv
if NUMPY:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import likelihood_oracle


def sample(n, k, K, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    b = rng.normal(size=k) / np.sqrt(k)
    eta = X @ b + rng.logistic(size=n)
    cuts = np.quantile(eta, np.arange(1, K) / K)
    return np.searchsorted(cuts, eta), X, b, cuts


def best(functions):
    """Best wall and process time of each function over interleaved runs."""
    wall, cpu = {k: [] for k in functions}, {k: [] for k in functions}
    for _ in range(REPEATS):
        for name, f in functions.items():
            w, c = time.perf_counter(), time.process_time()
            f()
            wall[name].append(time.perf_counter() - w)
            cpu[name].append(time.process_time() - c)
    return {k: min(v) for k, v in wall.items()}, {k: min(v) for k, v in cpu.items()}


for k, K in [(2, 4), (16, 4), (2, 100)]:
    y, X, b, cuts = sample(N, k, K)
    model = OrderedRegression(y, X, m=3)
    block = model.make_block(model.rows.chunks[0])
    p, beta, g = np.array([[1.0, 0.3, 0.2]]), np.concatenate([b, cuts])[None], np.zeros((1, 0))
    edges = np.concatenate([[-np.inf], cuts, [np.inf]])
    lo, hi = edges[y] - X @ b, edges[y + 1] - X @ b
    data = (*block._arguments(), beta, g, p)

    def sums(want, threads):
        return lambda: accurate._location_scale_sums(*data, weights=block.weights, want=want, threads=threads)

    functions = {"hessian": sums(2, 1), "hessian 2": sums(2, 2),
                 "kernel hessian": lambda: accurate.log_probability_between_hess(lo, hi, 0.0, 1.0, p[0]),
                 "value": sums(0, 1), "value 2": sums(0, 2),
                 "kernel value": lambda: accurate.log_probability_between(lo, hi, 0.0, 1.0, p[0])}
    if NUMPY:
        functions["numpy hessian"] = lambda: likelihood_oracle.sums(block, beta, g, p, 2)
        functions["numpy value"] = lambda: likelihood_oracle.sums(block, beta, g, p, 0)
    wall, cpu = best(functions)
    print(f"n = {N}, {k} columns, K = {K}:")
    for what in ("hessian", "value"):
        line = (f"  {what:8s} {wall[what]:.3f} s; kernel {wall['kernel ' + what]:.3f} s; ratio "
                f"{cpu[what] / cpu['kernel ' + what]:.2f} (process time); 2 threads {wall[what + ' 2']:.3f} s, "
                f"{wall[what] / wall[what + ' 2']:.2f} times as fast")
        if NUMPY:
            line += f"; NumPy {wall['numpy ' + what]:.3f} s"
        print(line, flush=True)
