"""Threads and the cdf ufunc: one long row evaluated by one thread, then split
in halves over two threads (NumPy runs the loop without the interpreter lock,
so the halves run at the same time on two cores).

Run with the package installed:  python benchmarks/threads.py [points]
Prints the best of several runs for each way and the speed-up.
"""

import os
import sys
import threading
import time

import numpy as np

from distribution import cdf

POINTS = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
REPEATS = 5
PARAM = np.array([0.5, 0.3, 0.1, 0.05, 0.01, 0.002])
x = np.linspace(-30.0, 30.0, POINTS)
out = np.empty_like(x)
half = POINTS // 2


def one_thread():
    cdf(x, 0.0, 1.0, PARAM, out=out)


def halves(function):
    parts = [slice(0, half), slice(half, POINTS)]
    threads = [threading.Thread(target=function, args=(p,)) for p in parts]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def two_threads():
    halves(lambda p: cdf(x[p], 0.0, 1.0, PARAM, out=out[p]))


# The machine's own figure for comparison: NumPy's sin, which also runs
# without the interpreter lock, on 40 times as many points split the same way.
wide = np.linspace(-30.0, 30.0, 40 * POINTS)
wide_out = np.empty_like(wide)


def sin_one_thread():
    np.sin(wide, out=wide_out)


def sin_two_threads():
    def part(p):
        p = slice(40 * p.start, 40 * p.stop)
        np.sin(wide[p], out=wide_out[p])
    halves(part)


def best(run):
    """The best wall time of REPEATS runs, and the process's CPU time over
    wall time in that run (about 2 when two cores were busy throughout)."""
    runs = []
    for _ in range(REPEATS):
        start, start_cpu = time.perf_counter(), time.process_time()
        run()
        wall = time.perf_counter() - start
        runs.append((wall, (time.process_time() - start_cpu) / wall))
    return min(runs)


one_thread()
expected = out.copy()
two_threads()
assert np.array_equal(out, expected), "the halves disagree with the whole row"

single, single_busy = best(one_thread)
double, double_busy = best(two_threads)
cores = len(os.sched_getaffinity(0))
print(f"{POINTS} points, 6 coefficients, {cores} cores available, "
      f"load average {os.getloadavg()[0]:.2f}")
print(f"1 thread,  whole row : {single * 1e3:8.1f} ms  "
      f"({single / POINTS * 1e9:5.0f} ns/point, cores busy {single_busy:.2f})")
print(f"2 threads, half each : {double * 1e3:8.1f} ms  "
      f"({double / POINTS * 1e9:5.0f} ns/point, cores busy {double_busy:.2f})")
print(f"speed-up             : {single / double:8.2f}x")
sin_single, _ = best(sin_one_thread)
sin_double, _ = best(sin_two_threads)
print(f"for comparison, numpy.sin on {40 * POINTS} points: "
      f"speed-up {sin_single / sin_double:.2f}x (what the cores give now)")
