"""Polynomials held along the last axis of an array, lowest power first,
every other axis broadcast."""

import numpy as np


def polymul(a, b):
    """Coefficients of the product a(x) b(x)."""
    out = np.zeros(np.broadcast_shapes(a.shape[:-1], b.shape[:-1]) + (a.shape[-1] + b.shape[-1] - 1,))
    for i in range(a.shape[-1]):
        out[..., i:i + b.shape[-1]] += a[..., i:i + 1] * b
    return out


def compose(param, shift, factor):
    """Coefficients of p(shift + factor t) in t, by Horner's rule."""
    line = np.stack(np.broadcast_arrays(shift, factor), axis=-1)
    out = param[..., -1:]
    for k in range(param.shape[-1] - 2, -1, -1):
        out = polymul(out, line)
        out[..., :1] += param[..., k:k + 1]
    return out
