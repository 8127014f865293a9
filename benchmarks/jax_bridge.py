"""Time distribution.jax (the gufuncs through jax.pure_callback) against the gufuncs themselves.

  (i)   logpdf and its gradient on 10^5 points under jit, against accurate.logpdf and
        accurate.logpdf_grad on the same points;
  (ii)  one call on one point (the fixed cost of a callback), in microseconds;
  (iii) vmap over 100 coefficient vectors (10^3 points each) against one gufunc call on the
        stacked inputs.

Best of several repeats; the gradient is jax.grad of the sum, which the gufunc's d_x equals.

Run:  python benchmarks/jax_bridge.py   (needs jax: pip install "distribution[jax]")
"""

import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import jax  # noqa: E402

jax.config.update("jax_enable_x64", True)
import numpy as np  # noqa: E402

import distribution.jax as dj  # noqa: E402
from distribution import accurate  # noqa: E402


def best(f, repeats=7, number=1):
    f()  # compile, warm up
    times = []
    for _ in range(repeats):
        t = time.perf_counter()
        for _ in range(number):
            f()
        times.append((time.perf_counter() - t) / number)
    return min(times)


def main():
    rng = np.random.default_rng(0)
    c = np.array([1.0, 0.5, -0.3, 0.1])
    loc, scale = 0.2, 1.3
    x = rng.normal(0.0, 3.0, 10**5)
    xj = jax.device_put(x)

    value = jax.jit(dj.logpdf)
    grad = jax.jit(jax.grad(lambda x, c: dj.logpdf(x, loc, scale, c).sum(), argnums=(0, 1)))
    rows = [
        ("logpdf, 10^5 points", best(lambda: value(xj, loc, scale, c).block_until_ready()),
         best(lambda: accurate.logpdf(x, loc, scale, c))),
        ("gradient (x, coefficients), 10^5 points",
         best(lambda: jax.block_until_ready(grad(xj, c))), best(lambda: accurate.logpdf_grad(x, loc, scale, c))),
    ]
    print(f"{'':44s}{'jax (ms)':>12s}{'gufunc (ms)':>14s}{'ratio':>8s}")
    for name, tj, tn in rows:
        print(f"{name:44s}{tj * 1e3:12.3f}{tn * 1e3:14.3f}{tj / tn:8.2f}")

    one = np.array(0.7)
    t_jit = best(lambda: value(one, loc, scale, c).block_until_ready(), number=200)
    t_np = best(lambda: accurate.logpdf(one[None], loc, scale, c), number=200)
    g1 = jax.jit(jax.grad(dj.logpdf, argnums=(0, 3)))
    t_grad = best(lambda: jax.block_until_ready(g1(one, loc, scale, c)), number=200)
    h1 = jax.jit(jax.hessian(dj.logpdf, argnums=(0, 3)))
    t_hess = best(lambda: jax.block_until_ready(h1(one, loc, scale, c)), number=200)
    t_eager = best(lambda: dj.logpdf(one, loc, scale, c).block_until_ready(), number=50)
    print(f"\none point: jit logpdf {t_jit * 1e6:.1f} us, its gradient {t_grad * 1e6:.1f} us, "
          f"its Hessian {t_hess * 1e6:.1f} us; without jit {t_eager * 1e6:.1f} us; "
          f"gufunc {t_np * 1e6:.1f} us")

    cs = c + 0.1 * rng.normal(size=(100, c.size))
    pts = x[:1000]
    mapped = jax.jit(jax.vmap(dj.logpdf, in_axes=(None, None, None, 0)))
    t_map = best(lambda: mapped(pts, loc, scale, cs).block_until_ready())
    t_stack = best(lambda: accurate.logpdf(pts, loc, scale, cs))
    assert np.array_equal(mapped(pts, loc, scale, cs), accurate.logpdf(pts, loc, scale, cs))
    print(f"vmap over 100 coefficient vectors x 10^3 points: {t_map * 1e3:.3f} ms, "
          f"stacked gufunc {t_stack * 1e3:.3f} ms, ratio {t_map / t_stack:.2f}")


if __name__ == "__main__":
    main()
