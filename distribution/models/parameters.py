"""The map from the search's coordinates to the parameters a fit reports.

The search moves theta = (phi, the free coefficients of p): phi the model's
linear parameters, p the noise's coefficients, a projective vector (p and
c p are one distribution) charted by fixing one coefficient at 1.  A model
may search in its own units (a standardised response) and report in the
user's: the reported parameters are

    params = (a + A phi, p),

A square and invertible (a diagonal of scales, for the models here), p as
it is (m = 1: no p, the logistic noise).  The Jacobian d params / d theta
carries the search's covariance to the reported one: A for phi, and for p
the identity less the column of the fixed coefficient (its row is 0).
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .block import Array
from .likelihood import noise_coefficients


class ParameterMap:
    """params = (a + A phi, p) for phi of `n_phi` entries and p of `m`
    coefficients (not reported where m = 1); A and a default to the
    identity and 0."""

    def __init__(self, n_phi: int, m: int, A: Array | None = None, a: Array | None = None) -> None:
        self.n_phi, self.m = n_phi, m
        self.A = np.eye(n_phi) if A is None else np.asarray(A, float)
        self.a = np.zeros(n_phi) if a is None else np.asarray(a, float)

    @property
    def size(self) -> int:
        """The reported parameters' count."""
        return self.n_phi + (self.m if self.m > 1 else 0)

    def to_user(self, phi: Array, p: Array) -> Array:
        """The reported parameters at one point (phi, p)."""
        return np.concatenate([self.a + self.A @ phi, p if self.m > 1 else []])

    def from_user(self, params: Array) -> tuple[Array, Array]:
        """(phi, p) of reported parameters (p = 1 where m = 1)."""
        phi = np.linalg.solve(self.A, params[:self.n_phi] - self.a)
        return phi, noise_coefficients(params, self.n_phi, self.m).copy()

    def jacobian(self, fixed: int) -> Array:
        """d params / d theta, theta the search's chart of p with its
        coefficient `fixed` at 1: (size, n_phi + m - 1)."""
        free_p = self.m - 1 if self.m > 1 else 0
        J = np.zeros((self.size, self.n_phi + free_p))
        J[:self.n_phi, :self.n_phi] = self.A
        if self.m > 1:
            J[self.n_phi:, self.n_phi:] = np.delete(np.eye(self.m), fixed, axis=1)
        return J

    def fixed_mask(self, fixed: int) -> NDArray[np.bool_]:
        """The reported parameter that the chart fixes at 1 (none where m = 1)."""
        out = np.zeros(self.size, bool)
        if self.m > 1:
            out[self.n_phi + fixed] = True
        return out

    def along(self, direction: Array) -> Array:
        """A direction in the first len(direction) entries of phi as one in
        the reported parameters (the constant a and p taking no part)."""
        out = np.zeros(self.size)
        out[:self.n_phi] = self.A[:, :direction.size] @ direction
        return out

    def coordinate(self, i: int) -> tuple[int, float, float]:
        """For a reported entry i of phi: (j, factor, shift) with
        params[i] = shift + factor phi[j] (A has one entry in each row)."""
        j = int(np.flatnonzero(self.A[i])[0])
        return j, float(self.A[i, j]), float(self.a[i])
