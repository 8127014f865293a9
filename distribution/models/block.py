"""What the core asks of a model's observations: the block contract.

A block is a set of observations whose log-likelihood is a sum of terms,
l(phi, p) = sum_i w_i l_i(phi, p), where phi are the model's linear
parameters (the search's coordinates: location, scale, whatever the model
has) and p the noise's coefficients.  The core evaluates it at S parameter
points at once (rows of phi and p), sums it over the blocks of every chunk,
subsamples it, and never asks what kind of block it holds.

A block implements `ObservationBlock`: its count, weights, each
observation's row in the model's data, row selection and concatenation,
and the three evaluations (sums with the gradient and Hessian as asked,
each observation's term, each observation's score).  Two optional parts
have defaults: `strata` (the classes a sample keeps in proportion) and
`linear_ends` (for the check for separation; a block without them is not
checked).
"""

from __future__ import annotations

import copy
from abc import ABC, abstractmethod
from typing import Protocol, Sequence, TypeVar

import numpy as np
from numpy.typing import NDArray

# What an evaluation is asked for: the value, its gradient, its Hessian.
VALUE, GRADIENT, HESSIAN = 0, 1, 2

Array = NDArray[np.float64]
Index = NDArray[np.int64]
Sums = tuple[Array, Array, Array]
B = TypeVar("B", bound="ObservationBlock")


class LinearEnds(Protocol):
    """Observations known to lie in (lo, hi], or at lo = hi (`exact`), each
    end o_e + D_e beta linear in the location's first `k_location`
    coefficients beta and standardised by a positive scale: what the check
    for separation needs (`separation`)."""

    lo: Array
    hi: Array
    exact: NDArray[np.bool_]
    k_location: int

    def designs(self, rows: slice | Index = ...) -> tuple[Array, Array]:
        """The dense designs (D_lo, D_hi), (len(rows), k_location), of the
        ends at `rows` (0 where an end is infinite)."""
        ...

    def standardised_ends(self, beta: Array, gamma: Array) -> tuple[Array, Array]:
        """Both ends in the noise's units at one point of the location's
        coefficients beta and the scale's gamma."""
        ...


class ObservationBlock(ABC):
    """Observations of one chunk: ``n`` of them, their ``weights`` (1 where
    unweighted) and ``row_index`` (each one's row in the model's data, for
    its group), and ``k_phi`` linear parameters.  Evaluations take S points:
    phi (S, k_phi) and p (S, m); the gradient and Hessian are in (phi, p),
    k = k_phi + m columns."""

    n: int
    k_phi: int
    weights: Array
    row_index: Index

    @abstractmethod
    def rows(self: B, keep: Index | NDArray[np.bool_]) -> B:
        """The observations at `keep`, indices or a mask."""

    @classmethod
    @abstractmethod
    def concatenate(cls: type[B], parts: Sequence[B]) -> B:
        """The observations of the blocks `parts`, one after the other."""

    @abstractmethod
    def sums(self, phi: Array, p: Array, want: int = HESSIAN) -> Sums:
        """The weighted log-likelihood (S,) and, as `want` asks, its
        gradient (S, k) and Hessian (S, k, k) (zeros where not asked)."""

    @abstractmethod
    def terms(self, phi: Array, p: Array) -> Array:
        """The weighted log-likelihood of each observation: (S, n)."""

    @abstractmethod
    def scores(self, phi: Array, p: Array) -> Array:
        """The unweighted gradient of each observation's log-likelihood at
        one point (S = 1): (n, k), the terms whose weighted sum is the
        gradient of `sums`."""

    def strata(self) -> Index:
        """A code for each observation, alike in every block of a model: a
        sample of the observations keeps each stratum.  One stratum unless
        a block says otherwise."""
        return np.zeros(self.n, np.int64)

    def linear_ends(self) -> LinearEnds | None:
        """The observations as linear ends for the check for separation, or
        None where they are not such (the check is then skipped)."""
        return None

    def reweighted(self: B, weights: Array) -> B:
        """The same observations with other weights (a sample standing for
        more observations than it holds)."""
        out = copy.copy(self)
        out.weights = np.asarray(weights, float)
        return out


def empty_sums(S: int, k: int) -> Sums:
    """What a block of no observations sums to at S points of k parameters."""
    return np.zeros(S), np.zeros((S, k)), np.zeros((S, k, k))
