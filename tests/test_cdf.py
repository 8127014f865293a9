"""Values, broadcasting, strides and refusals of the cdf gufunc."""

import warnings

import numpy as np
import pytest

from distribution import cdf
import distribution.cdf_ufunc as cdf_ufunc

SIX = [0.5, 0.3, 0.1, 0.05, 0.01, 0.002]


def logistic(x, loc, scale):
    return 0.5 + 0.5 * np.tanh((np.asarray(x) - loc) / (2 * scale))


@pytest.mark.parametrize(
    "x, loc, scale, param, expected, atol",
    [
        # Plain logistic: p = 1.
        ([-2.0, 0.0, 2.0], 0.0, 1.0, [1.0, 0.0], [0.11920292202211757, 0.5, 0.8807970779778824], 1e-16),
        ([1.0, 3.0, 5.0], 3.0, 1.0, [2.5, 0.0], [0.11920292202211757, 0.5, 0.8807970779778824], 1e-15),
        # Away from loc the truncation no longer shows; at loc it does.
        ([3.0], 0.3, 1.7, [1.0, 0.5], [0.42381199150], 5e-12),
        ([0.3], 0.3, 1.7, [1.0, 0.5], [0.133187], 5e-7),
        ([-3.0], 0.3, -1.7, [1.0, 0.5], [0.9065287070468524], 1e-15),
        ([8.0], 0.0, 1.0, SIX, [0.46446321489], 5e-12),
        # p(v) = v: the value at loc and the limit from below differ by the
        # truncation step.
        ([0.0, -1e-300], 0.0, 1.0, [0.0, 1.0], [0.499202189965, 0.500797810035], 5e-13),
        # Symmetric density, yet the truncated series show at 0.
        ([0.0], 0.0, 1.0, [1.0, 0.0, 0.3], [0.499776], 5e-7),
        # Far tails: 1 within rounding, and about 3.0e-19 (to 1%).
        ([40.0], 0.0, 1.0, [1.0, 0.2], [1.0], 2e-16),
        ([-40.0], 0.0, 1.0, [1.0, 0.2], [3.0e-19], 3e-21),
    ],
)
def test_known_values(x, loc, scale, param, expected, atol):
    np.testing.assert_allclose(cdf(x, loc, scale, param), expected, rtol=0, atol=atol)


@pytest.mark.parametrize("loc, scale", [(0.0, 1.0), (-1.5, 0.3), (4.0, 25.0)])
def test_plain_logistic_any_location_and_scale(loc, scale):
    x = loc + scale * np.linspace(-30, 30, 241)
    np.testing.assert_allclose(cdf(x, loc, scale, [1.0, 0.0]), logistic(x, loc, scale), rtol=0, atol=4e-16)


@pytest.mark.parametrize("v", [0.2, 1.0, 3.0])
def test_symmetric_density_is_symmetric_away_from_loc(v):
    lo, hi = cdf([-v, v], 0.0, 1.0, [1.0, 0.0, 0.3])
    assert lo + hi == pytest.approx(1.0, abs=1e-15)


@pytest.mark.parametrize("param", [[1.0, 0.5], [0.2, -1.0, 0.3], SIX])
def test_negative_scale_is_the_complement(param):
    loc, scale = 0.3, 1.7
    x = loc + scale * np.array([-20.0, -3.0, -1.6, 1.6, 3.0, 20.0])
    np.testing.assert_allclose(
        cdf(x, loc, -scale, param), 1.0 - cdf(x, loc, scale, param), rtol=0, atol=1e-15
    )


@pytest.mark.parametrize("param", [[2.0], [-0.7], [1e-3]])
def test_single_coefficient_is_the_constant_polynomial(param):
    x = np.linspace(-6.0, 6.0, 25)
    np.testing.assert_array_equal(cdf(x, 0.5, 2.0, param), cdf(x, 0.5, 2.0, param + [0.0]))
    np.testing.assert_allclose(cdf(x, 0.5, 2.0, param), logistic(x, 0.5, 2.0), rtol=0, atol=1e-15)


def test_rows_use_their_own_location():
    x = np.array([[-2.0, 0.0, 2.0], [-2.0, 0.0, 2.0]])
    out = cdf(x, np.array([0.0, 2.0]), 1.0, [1.0, 0.0])
    expected = [
        [0.11920292202211757, 0.5, 0.8807970779778824],
        [0.01798620996209155, 0.11920292202211757, 0.5],
    ]
    np.testing.assert_allclose(out, expected, rtol=0, atol=1e-16)


def test_rows_use_their_own_coefficients_scale_and_location():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(5, 7))
    loc = rng.normal(size=5)
    scale = rng.uniform(0.5, 2.0, size=5) * rng.choice([-1, 1], size=5)
    param = rng.normal(size=(5, 4))
    out = cdf(x, loc, scale, param)
    for r in range(5):
        np.testing.assert_array_equal(out[r], cdf(x[r], loc[r], scale[r], param[r]))


def test_broadcast_shape():
    x = np.linspace(-1, 1, 4)
    loc = np.zeros((3, 1))
    scale = np.ones(2)
    param = np.ones((2, 3))
    out = cdf(x, loc, scale, param)
    assert out.shape == (3, 2, 4)
    np.testing.assert_array_equal(out[2, 1], cdf(x, 0.0, 1.0, [1.0, 1.0, 1.0]))


def test_non_contiguous_operands_match_contiguous_copies():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(4, 20))[:, ::-2]
    param = rng.normal(size=(4, 10))[:, ::2]
    loc = rng.normal(size=8)[::2]
    out = np.full((4, 20), -1.0)[:, ::2]
    cdf(x, loc, 1.3, param, out=out)
    expected = cdf(np.ascontiguousarray(x), np.ascontiguousarray(loc), 1.3, np.ascontiguousarray(param))
    np.testing.assert_array_equal(out, expected)


def test_fortran_order_and_integer_inputs():
    x = np.asfortranarray(np.arange(-6, 6, dtype=np.int64).reshape(3, 4))
    out = cdf(x, 0, 2, [1, 1])
    np.testing.assert_array_equal(out, cdf(x.astype(float), 0.0, 2.0, [1.0, 1.0]))


def test_in_place():
    x = np.linspace(-5, 5, 11)
    expected = cdf(x, 0.2, 1.1, [1.0, -0.3, 0.2])
    result = cdf(x, 0.2, 1.1, [1.0, -0.3, 0.2], out=x)
    assert result is x
    np.testing.assert_array_equal(x, expected)


def test_no_points():
    out = cdf(np.empty((3, 0)), np.zeros(3), 1.0, [1.0, 0.0])
    assert out.shape == (3, 0)


def test_ufunc_attributes():
    assert cdf.__name__ == "cdf"
    assert (cdf.nin, cdf.nout, cdf.ntypes) == (4, 1, 1)
    assert cdf.types == ["dddd->d"]
    assert cdf.signature == "(n),(),(),(m)->(n)"
    assert cdf.identity is None
    assert cdf.__doc__.endswith("cdf_docstring")
    own = [name for name in vars(cdf_ufunc) if not name.startswith("__")]
    assert own == ["cdf"]
    assert cdf_ufunc.__doc__ is None


@pytest.mark.parametrize("m", [0, 7, 12])
def test_unsupported_lengths_are_refused_before_writing(m):
    out = np.full((2, 3), 7.0)
    with pytest.raises(ValueError, match=rf"from 1 to 6 coefficients.*got {m}\b"):
        cdf(np.zeros((2, 3)), 0.0, 1.0, np.ones((2, m)), out=out)
    np.testing.assert_array_equal(out, 7.0)


@pytest.mark.parametrize(
    "args, error",
    [
        (([1.0], 0.0, 1.0, 1.0), ValueError),  # param without its core axis
        (([1.0], 0.0, 1.0, [1j, 0.0]), TypeError),  # complex coefficients
        (("a", 0.0, 1.0, [1.0, 0.0]), TypeError),
    ],
)
def test_bad_operands(args, error):
    with pytest.raises(error):
        cdf(*args)


@pytest.mark.parametrize("param", [[1.0, 0.2], SIX])
@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_far_tails_and_infinities_give_the_limits(param, sign):
    # Beyond u = 745 e^-u underflows; the powers u^(2m-2) overflow further out.
    x = np.array([746.0, 1e60, 1e200, np.inf, -746.0, -1e60, -1e200, -np.inf])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = cdf(x, 0.0, sign, param)
    right = 1.0 if sign > 0 else 0.0
    np.testing.assert_array_equal(out, [right] * 4 + [1.0 - right] * 4)


@pytest.mark.parametrize(
    "x, loc, scale, param",
    [
        ([np.nan, 1.0], 0.0, 1.0, [1.0, 0.5]),
        ([-1.0, 0.0, 1.0, np.inf], 0.0, 0.0, [1.0, 0.5]),
        ([-1.0, 0.0, 1.0], 0.0, 1.0, [0.0, 0.0, 0.0]),
        ([-1.0, 1.0], np.nan, 1.0, [1.0, 0.5]),
        ([-1.0, 1.0], 0.0, 1.0, [1.0, np.nan]),
    ],
)
def test_invalid_values_give_nan(x, loc, scale, param):
    with np.errstate(all="ignore"):
        out = cdf(x, loc, scale, param)
    expected_nan = np.isnan(x) | np.isnan(loc) | (scale == 0) | ~np.any(param) | np.isnan(param).any()
    np.testing.assert_array_equal(np.isnan(out), expected_nan)
    assert np.isnan(out).any()


@pytest.mark.parametrize(
    "x_dtype, kwargs, expected",
    [
        (np.float32, {"dtype": np.float64}, np.float64),
        (np.int32, {"signature": "dddd->d"}, np.float64),
        (np.float64, {"out": np.empty(3, np.float32)}, np.float32),  # computed in float64, then cast
        (np.float64, {"dtype": np.float32}, TypeError),  # no float32 loop
        (np.longdouble, {}, TypeError),  # no safe cast down to float64
        (np.float64, {"out": np.empty(3, np.int64)}, TypeError),
    ],
)
def test_one_float64_loop(x_dtype, kwargs, expected):
    x = np.array([-2, 0, 2], x_dtype)
    if expected is TypeError:
        with pytest.raises(TypeError):
            cdf(x, 0.0, 1.0, [1.0, 0.0], **kwargs)
    else:
        out = cdf(x, 0.0, 1.0, [1.0, 0.0], **kwargs)
        assert out.dtype == expected
        np.testing.assert_allclose(out, [0.11920292202211757, 0.5, 0.8807970779778824], rtol=1e-7)


@pytest.mark.parametrize("q", [[1.0, 0.5], [0.2, -1.0, 0.3], SIX])
@pytest.mark.parametrize("loc, scale", [(0.3, 1.7), (2.0, -0.5), (-1.0, 3.0)])
def test_standardised_polynomial_converted_to_the_units_of_x(q, loc, scale):
    # p is evaluated at x: q((x - loc) / scale) expanded in powers of x gives
    # the distribution whose polynomial is q in the standardised variable.
    param = np.polynomial.Polynomial(q)(np.polynomial.Polynomial([-loc / scale, 1 / scale])).coef
    y = np.array([-8.0, -3.0, -1.0, -0.2, 0.4, 2.0, 9.0])
    np.testing.assert_allclose(
        cdf(loc + scale * y, loc, scale, param), cdf(y, 0.0, 1.0, q), rtol=0, atol=1e-13
    )


def test_one_point_per_observation_and_the_outer_table():
    obs = np.array([-1.0, 0.5, 2.0, 4.0])
    mu = np.array([0.0, 1.0, 1.5, -2.0])
    per_observation = logistic(obs, mu, 1.3)
    column = cdf(obs[:, None], mu, 1.3, [1.0])
    assert column.shape == (4, 1)
    np.testing.assert_allclose(column[:, 0], per_observation, rtol=0, atol=1e-15)
    # Without the new axis every observation meets every location.
    table = cdf(obs, mu, 1.3, [1.0])
    assert table.shape == (4, 4)
    np.testing.assert_allclose(table, logistic(obs[None, :], mu[:, None], 1.3), rtol=0, atol=1e-15)
