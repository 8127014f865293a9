"""AdjustedLogistic.fit on 10^7 observations held by a dask.distributed cluster.

The sample is drawn on the workers, chunk by chunk, and stays there: each
evaluation of the log-likelihood sends the parameters to the chunks and
brings back m + 2 sums and an (m + 2) x (m + 2) matrix per chunk.  The same
sample, gathered into one NumPy array for the comparison, gives the same
estimates to 1e-8.

Run:  python examples/dask_fit.py [n]     (needs dask[array] and distributed)
"""

import sys
import time

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

from distribution import AdjustedLogistic

TRUE = AdjustedLogistic([1.0, 0.6, 0.25], loc=2.0, scale=1.5)


def draw(block, block_info=None):
    seed = 1000 + block_info[0]["chunk-location"][0]
    return TRUE.rvs(size=block.shape, random_state=np.random.default_rng(seed))


def main(n):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, Client(cluster):
        x = da.zeros(n, chunks=1_000_000).map_blocks(draw, dtype=float).persist()
        t0 = time.perf_counter()
        lazy = AdjustedLogistic.fit(x, m=3)
        t_dask = time.perf_counter() - t0
        gathered = x.compute()
    t0 = time.perf_counter()
    eager = AdjustedLogistic.fit(gathered, m=3)
    t_numpy = time.perf_counter() - t0
    diff = np.max(np.abs(lazy.params - eager.params) / np.maximum(np.abs(eager.params), 1.0))
    print(f"{n:,} observations in {x.numblocks[0]} chunks on a LocalCluster of 2 workers")
    print(lazy.summary())
    print(f"Dask fit {t_dask:.1f} s ({lazy.nit} iterations); the same data as a NumPy array "
          f"{t_numpy:.1f} s")
    print(f"largest relative difference of the estimates, Dask against NumPy: {diff:.1e}; "
          f"log-likelihoods {lazy.llf:.6f} and {eager.llf:.6f}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000)
