"""Many threads calling cdf at once get exactly the serial results.

NumPy runs a float64 loop without the interpreter lock once a call has more
than a few hundred elements, so the large cases below run the loop on several
threads truly at once (many short rows put the per-row set-up in parallel
too); the small ones run it under the lock.
"""

import threading

import numpy as np
import pytest

from distribution import cdf


def workload(seed, rows, points):
    rng = np.random.default_rng(seed)
    m = 1 + seed % 6
    x = rng.normal(0.0, 4.0, (rows, points))
    x[0, :3] = [np.nan, np.inf, 0.0]
    loc = rng.uniform(-2.0, 2.0, rows)
    scale = rng.uniform(0.5, 3.0, rows) * rng.choice([-1.0, 1.0], rows)
    param = rng.normal(size=(rows, m))
    return x, loc, scale, param


def run_at_once(jobs, repeats):
    """Runs every job in its own thread, all released together, `repeats`
    times each; returns the results of every thread's every repetition."""
    barrier = threading.Barrier(len(jobs))
    results = [[] for _ in jobs]
    errors = []

    def work(index, job):
        try:
            barrier.wait()
            for _ in range(repeats):
                results[index].append(job())
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i, job))
               for i, job in enumerate(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    return results


def bits(array):
    return np.ascontiguousarray(array).view(np.int64)


@pytest.mark.parametrize("threads", [2, 16])
@pytest.mark.parametrize("rows, points", [(4, 1500), (400, 5), (2, 40)],
                         ids=["long rows", "many short rows", "lock held"])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_concurrent_calls_equal_serial(threads, rows, points, layout):
    operands = [workload(seed, rows, points) for seed in range(threads)]
    if layout == "strided":
        operands = [(np.repeat(x, 2, axis=1)[:, ::-2], loc, scale,
                     np.repeat(param, 3, axis=1)[:, ::3])
                    for x, loc, scale, param in operands]
    with np.errstate(all="ignore"):
        serial = [cdf(*ops) for ops in operands]
        parallel = run_at_once(
            [lambda ops=ops: cdf(*ops) for ops in operands], repeats=5)
    for expected, got in zip(serial, parallel):
        for result in got:
            np.testing.assert_array_equal(bits(result), bits(expected))


def test_shared_inputs_separate_outputs():
    # Reading the same operands from every thread is safe too: the loop
    # writes nothing but its own output.
    x, loc, scale, param = workload(5, 4, 1500)
    with np.errstate(all="ignore"):
        expected = cdf(x, loc, scale, param)
        outs = [np.empty_like(x) for _ in range(8)]
        run_at_once([lambda out=out: cdf(x, loc, scale, param, out=out)
                     for out in outs], repeats=5)
    for out in outs:
        np.testing.assert_array_equal(bits(out), bits(expected))
