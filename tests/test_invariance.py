"""Every value of the accurate family is the value its point has alone.

Whatever shares a point's SIMD vector (other rows, +-inf, NaN, 1e300,
subnormals, points at loc) and however the call is laid out (rows of one
point side by side, one long row, broadcast, strided, reversed), each value
must equal, bit for bit, the same point evaluated in a call of its own,
and raise no floating-point flag that the points do not raise alone.
"""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from distribution import accurate

NEIGHBOURS = [np.inf, -np.inf, np.nan, 1e300, -1e300, 5e-324, -5e-324, 1e20, -3e19, 0.0]
PROBABILITIES = [0.0, 1.0, np.nan, 1e-300, 5e-324, 0.5, 1 - 2**-53, 2**-20, 1.5, -0.25]


def make_call(seed, rows, n, m):
    """Rows (loc, scale, param) and their points, with special neighbours,
    points at loc, and probabilities for the quantiles."""
    rng = np.random.default_rng(seed)
    loc = rng.normal(0.0, 3.0, rows)
    scale = np.exp(rng.normal(0.0, 1.0, rows))
    param = rng.normal(size=(rows, m))
    y = rng.uniform(-40, 40, (rows, n)) * 10.0 ** rng.integers(-3, 2, (rows, n))
    x = loc[:, None] + scale[:, None] * y
    special = rng.random(x.shape)
    x[special < 0.15] = rng.choice(NEIGHBOURS, (special < 0.15).sum())
    at_loc = (special >= 0.15) & (special < 0.25)
    x[at_loc] = np.broadcast_to(loc[:, None], x.shape)[at_loc]
    q = rng.uniform(0.0, 1.0, x.shape)
    q[special < 0.2] = rng.choice(PROBABILITIES, (special < 0.2).sum())
    tiny = (special >= 0.2) & (special < 0.3)
    q[tiny] = 10.0 ** -rng.uniform(6, 300, tiny.sum())
    return x, q, loc, scale, param


def per_point(out, rows, n):
    """The outputs of a call, each (rows, n) or (rows, n, m), as (rows, n, k)."""
    outs = out if isinstance(out, tuple) else (out,)
    return np.concatenate([o.reshape(rows, n, -1) for o in outs], axis=-1)


def alone(f, points, loc, scale, param):
    """Each point in a call of its own; and whether any of them raises a
    floating-point flag (overflow, invalid, divide) alone."""
    rows, n = points[0].shape
    values, flags = [], False
    for r, i in np.ndindex(rows, n):
        args = [p[r, i:i + 1] for p in points] + [loc[r], scale[r], param[r]]
        try:
            with np.errstate(all="raise", under="ignore"):
                values.append(per_point(f(*args), 1, 1))
        except FloatingPointError:
            flags = True
            values.append(per_point(f(*args), 1, 1))
    return np.concatenate(values).reshape(rows, n, -1), flags


def layouts(f, points, loc, scale, param):
    """The same values through every path of the loop."""
    rows, n = points[0].shape
    yield "rows of one point", per_point(f(*(p.reshape(-1, 1) for p in points), np.repeat(loc, n), np.repeat(scale, n),
                                           np.repeat(param, n, axis=0)), rows, n)
    yield "together", per_point(f(*points, loc, scale, param), rows, n)
    yield "one row each", np.concatenate([per_point(f(*(p[r] for p in points), loc[r], scale[r], param[r]), 1, n)
                                          for r in range(rows)])
    reversed_ = per_point(f(*(p[::-1, ::-1] for p in points), loc[::-1], scale[::-1], param[::-1]), rows, n)
    yield "reversed", reversed_[::-1, ::-1]
    if f.nout == 1:
        out = np.full((rows, 2 * n), 7.0)
        f(*(p[::-1, ::-1] for p in points), loc[::-1], scale[::-1], param[::-1], out=out[::-1, ::-2])
        yield "strided output", per_point(out[:, 1::2], rows, n)
    # The first row's points 24 times over: whole blocks of one row.
    long_row = f(*(np.tile(p[0], 24) for p in points), loc[0], scale[0], param[0])
    yield "one long row", per_point(long_row, 24, n)[11:12]


def operands(name, x, q):
    """The point operands of a function: probabilities for the quantiles,
    intervals from x to points beyond it for the interval functions."""
    if name in ("ppf", "isf"):
        return [q]
    if "between" in name:
        width = np.where(np.isfinite(x), np.abs(x) * q + q, q)
        return [x, x + width]
    return [x]


def check(module, call):
    """Every function of module at every point of call, in every layout,
    against the point alone; and its moments row by row."""
    x, q, loc, scale, param = call
    with np.errstate(all="ignore"):
        for name, f in vars(module).items():
            if not isinstance(f, np.ufunc):
                continue
            if "(n)" not in f.signature:
                order = [np.floor(13 * q[:, 0])] if f.nin == 4 else []
                together = f(*order, loc, scale, param)
                each = [f(*(o[r] for o in order), loc[r], scale[r], param[r]) for r in range(len(loc))]
                np.testing.assert_array_equal(together, each, err_msg=name)
                continue
            points = operands(name, x, q)
            want, flags_alone = alone(f, points, loc, scale, param)
            # Neighbours raise no flag that the points do not raise alone.
            with np.errstate(all="ignore" if flags_alone else "raise", under="ignore"):
                computed = list(layouts(f, points, loc, scale, param))
            for layout, got in computed:
                expected = want[: len(got)]
                same = (got.view(np.int64) == expected.view(np.int64)) | (np.isnan(got) & np.isnan(expected))
                assert same.all(), (name, layout, points[0][: len(got)][~same.all(-1)][:4], got[~same][:4],
                                    expected[~same][:4])


@given(st.integers(0, 2**32 - 1), st.integers(1, 12), st.integers(1, 24), st.integers(1, 6))
def test_every_value_is_its_value_alone(seed, rows, n, m):
    check(accurate, make_call(seed, rows, n, m))


ENDS = [np.inf, -np.inf, np.nan, 1e300, -1e300, 0.0]


def likelihood_block(seed, n, m):
    """Observations of every kind, their ends among special values, with
    unit columns, a scale design and truncation; a point (beta, g, p)."""
    from distribution.models.likelihood import LocationScaleBlock as Block

    rng = np.random.default_rng(seed)
    lo = rng.normal(0.0, 3.0, n)
    hi = lo + rng.uniform(0.0, 3.0, n)
    for ends in (lo, hi):
        special = rng.random(n) < 0.2
        ends[special] = rng.choice(ENDS, special.sum())
    X, Z = rng.normal(size=(n, 2)), rng.normal(size=(n, 1))
    idx_lo, idx_hi = (np.where(rng.random(n) < 0.5, rng.integers(0, 4, n), -1) for _ in range(2))
    cut = (np.where(rng.random(n) < 0.3, lo - 1.0, -np.inf), np.where(rng.random(n) < 0.3, hi + 1.0, np.inf))
    block = Block(lo, hi, X, idx_lo, idx_hi, Z, rng.random(n) < 0.3, rng.uniform(0.5, 2.0, n), truncation=cut,
                  k_location=4)
    return block, rng.normal(size=(1, 4)), 0.3 * rng.normal(size=(1, 1)), rng.normal(size=(1, m))


@given(st.integers(0, 2**32 - 1), st.integers(1, 40), st.integers(1, 6))
def test_each_likelihood_term_is_its_value_alone(seed, n, m):
    check_likelihood(seed, n, m)


def check_likelihood(seed, n, m):
    """Each observation's term and scores, in a block of n and in reverse,
    are those it has alone, bit for bit (NaN where NaN)."""
    from distribution.models import likelihood

    block, beta, g, p = likelihood_block(seed, n, m)
    with np.errstate(all="ignore"):
        phi = np.concatenate([beta, g], axis=1)
        terms, scores = block.terms(phi, p), block.scores(phi, p)
        backwards = block.rows(np.arange(n)[::-1])
        same = [(block.rows([i]).terms(phi, p)[:, 0], block.rows([i]).scores(phi, p)[0]) for i in range(n)]
        reversed_ = (backwards.terms(phi, p)[:, ::-1], backwards.scores(phi, p)[::-1])
    alone = (np.stack([t for t, _ in same], axis=1), np.stack([s for _, s in same]))
    for got in ((terms, scores), reversed_):
        for a, b in zip(got, alone):
            assert ((a.view(np.int64) == b.view(np.int64)) | (np.isnan(a) & np.isnan(b))).all()
