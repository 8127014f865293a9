"""Property tests of the cdf ufunc over generated shapes, layouts and values.

Example counts: the profile "modest" (the default, for `make test`) or
"large", chosen with CDF_HYPOTHESIS_PROFILE=large.

Two kinds of property:

* Over every value, NaN, infinities, zeros, subnormals and huge magnitudes
  included: no crash, and the result depends only on the values, not on
  broadcasting, strides, order or where the output goes.
* Value properties, on a documented domain where they hold: finite points,
  |loc| <= 100, scale of magnitude 0.01 to 100, coefficients 0 or of magnitude
  1e-6 to 100, not all zero.  Outside it the closed form may overflow to NaN
  (an infinite point, zero scale, zero coefficients) or cancel, which the
  module does not promise to avoid.  Inside it, each value carries a rounding
  error bounded by `rounding_bound`: the closed form adds up terms of the
  squared polynomial in the standardised variable weighted by powers of |y| and
  by factorials, so its error is a few units in the last place of the sum of
  their magnitudes, divided by the total mass.
"""

import math

import mpmath
import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from distribution import cdf


SPECIAL = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 1e300,
           -1e-300, 5e-324, -5e-324, 2.2250738585072014e-308, 1.0, -1.0, 0.5,
           745.5, -40.0]
ANY_FLOAT = st.one_of(st.sampled_from(SPECIAL), st.floats(width=64))
EPS = np.finfo(np.float64).eps


@st.composite
def laid_out(draw, shape, elements, writable=False):
    """An array of `shape` holding drawn values, as a contiguous array, a
    Fortran-ordered copy, a view with strides of +-1 or +-2 elements per axis
    into a larger array, or (read-only) a zero-stride broadcast of its first
    entry along the first axis."""
    values = draw(hnp.arrays(np.float64, shape, elements=elements))
    layouts = ["c", "fortran", "strided"] + ([] if writable else ["broadcast"])
    layout = draw(st.sampled_from(layouts))
    if layout == "fortran":
        return np.array(values, order="F")  # keeps 0-d arrays 0-d
    if layout == "strided" and values.ndim > 0:
        steps = [draw(st.sampled_from([1, 2, -1, -2])) for _ in shape]
        base = np.full([s * abs(k) for s, k in zip(shape, steps)], 12345.0)
        view = base[tuple(slice(None, None, k) for k in steps)]
        view[...] = values
        return view
    if layout == "broadcast" and values.ndim > 0 and values.shape[0] > 1:
        return np.broadcast_to(values[:1], shape)
    return values


def operand_shapes(min_side=0, max_side=6):
    return hnp.mutually_broadcastable_shapes(
        signature=cdf.signature, max_dims=3, min_side=min_side,
        max_side=max_side)


def row_by_row(x, loc, scale, param):
    """cdf of every broadcast row separately, on contiguous copies."""
    outer = np.broadcast_shapes(x.shape[:-1], np.shape(loc), np.shape(scale),
                                param.shape[:-1])
    x = np.broadcast_to(x, outer + x.shape[-1:])
    loc = np.broadcast_to(loc, outer)
    scale = np.broadcast_to(scale, outer)
    param = np.broadcast_to(param, outer + param.shape[-1:])
    result = np.empty(x.shape)
    for index in np.ndindex(outer):
        result[index] = cdf(np.array(x[index]), float(loc[index]),
                            float(scale[index]), np.array(param[index]))
    return result


@st.composite
def any_operands(draw):
    shapes = draw(operand_shapes())
    assume(1 <= shapes.input_shapes[3][-1] <= 6)
    arrays = [draw(laid_out(shape, ANY_FLOAT)) for shape in shapes.input_shapes]
    return arrays, shapes.result_shape


@given(any_operands())
def test_any_values_match_row_by_row(operands):
    (x, loc, scale, param), result_shape = operands
    with np.errstate(all="ignore"):
        result = cdf(x, loc, scale, param)
        expected = row_by_row(x, loc, scale, param)
    assert result.shape == result_shape
    np.testing.assert_array_equal(result, expected)


@given(st.data())
def test_any_values_out_and_in_place_match(data):
    (x, loc, scale, param), result_shape = data.draw(any_operands())
    with np.errstate(all="ignore"):
        expected = cdf(x, loc, scale, param)

        out = data.draw(laid_out(result_shape, st.just(-7.0), writable=True))
        returned = cdf(x, loc, scale, param, out=out)
        assert returned is out
        np.testing.assert_array_equal(out, expected)

        # In place, and into a reversed view of the points themselves, which
        # overlaps them with other strides.
        points = data.draw(laid_out(result_shape, st.just(0.0), writable=True))
        points[...] = np.broadcast_to(x, result_shape)
        full = np.array(points)
        cdf(points, loc, scale, param, out=points)
        np.testing.assert_array_equal(points, cdf(full, loc, scale, param))
        points[...] = full
        cdf(points, loc, scale, param, out=points[..., ::-1])
        np.testing.assert_array_equal(points[..., ::-1],
                                      cdf(full, loc, scale, param))


@given(operand_shapes(max_side=9), st.data())
def test_unsupported_lengths_are_refused(shapes, data):
    m = shapes.input_shapes[3][-1]
    assume(not 1 <= m <= 6)
    x, loc, scale, param = (
        data.draw(hnp.arrays(np.float64, shape, elements=ANY_FLOAT))
        for shape in shapes.input_shapes)
    out = np.full(shapes.result_shape, -7.0)
    with pytest.raises(ValueError, match=f"from 1 to 6 coefficients.*got {m}"):
        cdf(x, loc, scale, param, out=out)
    assert (out == -7.0).all()


# The value properties' domain.
LOC = st.floats(-100, 100)
SCALE = st.floats(0.01, 100)
COEFFICIENT = st.one_of(st.just(0.0), st.floats(1e-6, 100),
                        st.floats(-100, -1e-6))
# Standardised points: near loc, beyond 1.5 units, in the far tails and past
# the underflow of exp(-|y|) at 745.
STANDARDISED = st.one_of(st.floats(-3, 3), st.floats(-50, 50),
                         st.floats(-1e6, 1e6), st.sampled_from([-1.5, 1.5]))


@st.composite
def distributions(draw):
    param = draw(st.lists(COEFFICIENT, min_size=1, max_size=6))
    assume(any(param))
    return draw(LOC), draw(SCALE), np.array(param)


def rounding_bound(loc, scale, param, y):
    """A bound on the rounding error of cdf at the standardised points y.

    The squared polynomial in the standardised variable has, built from
    absolute values, the coefficients beta; a term of power j enters with at
    most (j+1)! (moments) and |y|^j (tail terms) in magnitude.
    """
    k = len(param)
    alpha = np.convolve(np.abs(param), np.abs(param))
    beta = np.zeros(2 * k - 1)
    for n in range(2 * k - 1):
        for j in range(n + 1):
            beta[j] += alpha[n] * math.comb(n, j) * abs(loc) ** (n - j) * scale ** j
    u = np.abs(y)[..., None]
    powers = np.arange(2 * k - 1)
    factorials = np.array([math.factorial(j + 1) for j in powers])
    # The tail terms are of order |y|^j exp(-|y|) and are formed with an
    # absolute error of |y|^j eps, whichever is smaller.
    tails = np.maximum(u, 1.0) ** powers * np.minimum(1.0, 8 * np.exp(-u) / EPS)
    magnitude = (beta * (tails + factorials)).sum(axis=-1)
    return 16 * EPS * magnitude / total_mass(loc, scale, param)


def total_mass(loc, scale, param):
    """int p(loc + scale t)^2 f(t) dt, to many digits."""
    with mpmath.workdps(60):
        q = [mpmath.mpf(0)] * (2 * len(param) - 1)
        # p(loc + scale t) by Horner's rule on coefficient lists in t, squared.
        p_t = [mpmath.mpf(0)]
        for a in reversed([mpmath.mpf(float(v)) for v in param]):
            shifted = [c * loc for c in p_t] + [mpmath.mpf(0)]
            for j, c in enumerate(p_t):
                shifted[j + 1] += c * scale
            shifted[0] += a
            p_t = shifted
        for i, a in enumerate(p_t):
            for j, b in enumerate(p_t):
                if i + j < len(q):
                    q[i + j] += a * b
        moments = [mpmath.mpf(1)] + [
            2 * mpmath.factorial(n) * mpmath.altzeta(n) if n % 2 == 0 else 0
            for n in range(1, len(q))]
        return float(mpmath.fsum(c * m for c, m in zip(q, moments)))


def standardised(x, loc, scale):
    return (x - loc) / scale


@given(distributions(), st.lists(STANDARDISED, min_size=2, max_size=40))
def test_increasing_and_within_unit_interval_away_from_loc(dist, ys):
    loc, scale, param = dist
    x = np.sort(loc + scale * np.array(ys))
    y = standardised(x, loc, scale)
    x = x[np.abs(y) > 1.5]
    y = y[np.abs(y) > 1.5]
    assume(len(x) >= 2)
    with np.errstate(all="ignore"):
        values = cdf(x, loc, scale, param)
    bound = rounding_bound(loc, scale, param, y)
    assert np.isfinite(values).all()
    assert (values >= -bound).all() and (values <= 1 + bound).all()
    steps = np.diff(values)
    assert (steps >= -(bound[1:] + bound[:-1])).all(), steps.min()


@given(distributions(), st.lists(STANDARDISED, min_size=1, max_size=40))
def test_negative_scale_is_the_complement(dist, ys):
    loc, scale, param = dist
    x = loc + scale * np.array(ys)
    x = x[x != loc]
    assume(len(x) >= 1)
    with np.errstate(all="ignore"):
        mirrored = cdf(x, loc, -scale, param)
        complement = 1 - cdf(x, loc, scale, param)
    bound = rounding_bound(loc, scale, param, standardised(x, loc, scale))
    np.testing.assert_array_less(np.abs(mirrored - complement), 2 * bound)
