"""Second derivatives of log pdf and log P(a < X <= b) against their
references: tests/data/accurate_hessians.csv (80-digit second differences,
tests/make_accurate_reference.py hessians).  Each entry H_vw must be within
1e-10 (|H_vw| + N_vw), N_vw = (|g_v| + N_v)(|g_w| + N_w) the scale of the
first derivatives g of the point (the Hessian of a log-probability is of the
size of g g'), N = 1 for the point and the ends and 1 / ||param|| for the
coefficients, as for the gradients.  (Beside close ends, d_a and d_b are of
the size of 1 / (b - a), and a cross term d_e (2 e^j / p(e) - G_j) is their
difference to that scale.)"""

import numpy as np
import pytest

from distribution import accurate

from test_fitting_functions import close, table

HESSIANS = table("accurate_hessians.csv")


def reference(r, size):
    m = int(r["m"])
    param = np.array([float.fromhex(r[f"a{j}"]) for j in range(m)])
    values = [float(v) for v in [r["hessian..."], *r.get(None, [])]]
    return m, param, np.array(values[: size * size]).reshape(size, size)


def assembled(out, ends):
    """The Hessian in (ends..., param) from a _hess ufunc's outputs."""
    if ends == 1:
        _, _, d_xx, _, d_xp, d_pp = (o[0] for o in out)
        return np.block([[np.array([[d_xx]]), d_xp[None]], [d_xp[:, None], d_pp]])
    _, _, _, d_aa, d_ab, d_bb, _, d_ap, d_bp, d_pp = (o[0] for o in out)
    return np.block([[np.array([[d_aa, d_ab], [d_ab, d_bb]]), np.stack([d_ap, d_bp])],
                     [np.stack([d_ap, d_bp], axis=1), d_pp]])


@pytest.mark.parametrize("kind", ["pdf", "between"])
def test_hessians_against_the_reference(kind):
    rows = [r for r in HESSIANS if r["kind"] == kind]
    assert len(rows) > 100
    ends = 1 if kind == "pdf" else 2
    for r in rows:
        m = int(r["m"])
        m, param, want = reference(r, m + ends)
        if kind == "pdf":
            out = accurate.logpdf_hess([float.fromhex(r["a"])], 0.0, 1.0, param)
        else:
            out = accurate.log_probability_between_hess([float.fromhex(r["a"])], [float.fromhex(r["b"])], 0.0, 1.0,
                                                        param)
        got = assembled(out, ends)
        g = np.abs(np.concatenate([o[0].ravel() for o in (out[1:2] if ends == 1 else out[1:3])] + [out[3 if ends == 1
                                   else 6][0]]))
        N = g + np.array([1.0] * ends + [1 / np.linalg.norm(param)] * m)
        assert close(got, want, np.outer(N, N)).all(), (r["a"], r["b"], param, got, want)


def test_hessians_carry_the_functions_and_gradients_bit_for_bit():
    rng = np.random.default_rng(8)
    for m in range(1, 7):
        param = rng.normal(size=(20, m))
        x = rng.uniform(-30, 30, (20, 9)) * 10.0 ** rng.integers(-2, 2, (20, 9))
        with np.errstate(all="ignore"):
            value, d_x, _, d_p, grad_xp, d_pp = accurate.logpdf_hess(x, 0.0, 1.0, param)
            grad = accurate.logpdf_grad(x, 0.0, 1.0, param)
            np.testing.assert_array_equal(value, grad[0])
            np.testing.assert_array_equal(d_x, grad[1])
            np.testing.assert_array_equal(d_p, grad[4])
            b = x + rng.exponential(2.0, x.shape)
            out = accurate.log_probability_between_hess(x, b, 0.0, 1.0, param)
            grad = accurate.log_probability_between_grad(x, b, 0.0, 1.0, param)
        for got, want in zip([out[0], out[1], out[2], out[6]], [grad[0], grad[1], grad[2], grad[5]]):
            np.testing.assert_array_equal(got, want)
        # p and c p are one distribution: the gradient in p is homogeneous of
        # degree -1 (H p = -g) and the derivatives in the point of degree 0.
        for d_p, hessian, cross in [(d_p, d_pp, [grad_xp]), (out[6], out[9], [out[7], out[8]])]:
            along = np.abs(np.einsum("rnjk,rk->rnj", hessian, param) + d_p)
            size = np.einsum("rnjk,rk->rnj", np.abs(hessian), np.abs(param)) + np.abs(d_p)
            finite = np.isfinite(along)
            slack = np.broadcast_to(1e-12 / np.linalg.norm(param, axis=-1)[:, None, None], along.shape)
            assert (along[finite] <= 1e-9 * size[finite] + slack[finite]).all()
            for c in cross:
                along = np.abs(np.einsum("rnj,rj->rn", c, param))
                finite = np.isfinite(along)
                assert (along[finite] <= 1e-9 * np.einsum("rnj,rj->rn", np.abs(c), np.abs(param))[finite]
                        + slack[..., 0][finite]).all()
        np.testing.assert_array_equal(d_pp, np.swapaxes(d_pp, -1, -2))


@pytest.mark.parametrize("a, b", [(3.0, 2.0), (1.0, 1.0), (-np.inf, -np.inf), (np.nan, 1.0)])
def test_interval_hessian_ends_quietly(a, b):
    with np.errstate(divide="raise", over="raise", invalid="raise"):
        out = accurate.log_probability_between_hess([a], [b], 0.0, 1.0, [1.0, 0.5, 0.2])
    nan = np.isnan(a)
    assert all((np.isnan(o) if nan else o == 0).all() for o in out[1:])
