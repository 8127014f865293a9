"""What a fit found out about its own answer, gathered once by the core and
handed whole to the results: whether the search converged, how sure it is
of the best basin, and whether the data are separated."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray


@dataclass(frozen=True)
class Separated:
    """Separated data: along ``direction`` in the reported parameters the
    log-likelihood rises towards its supremum; ``kind`` is "complete" or
    "quasi-complete"."""

    direction: NDArray[np.float64]
    kind: str


@dataclass(frozen=True)
class FitDiagnostics:
    """The figures of a fit (`LikelihoodResults` documents each): the
    relative and largest gradient, the Hessian's condition number, the
    starts and those at the best point, the gap in log-likelihood to the
    second basin, the search's extra rounds and notes, the other basins
    (phi, p) where a profile may pass to another branch, and the separation
    found (None if none).  ``converged`` is False on separated data."""

    converged: bool
    rel_grad: float
    max_gradient: float = np.nan
    condition: float = np.nan
    starts: int = 0
    starts_at_best: int = 0
    llf_gap: float = np.nan
    rounds: int = 0
    notes: tuple[str, ...] = ()
    basins: tuple[tuple[NDArray[np.float64], NDArray[np.float64]], ...] = ()
    separation: Separated | None = None

    def separated(self, separation: Separated) -> FitDiagnostics:
        """These figures on separated data: not converged."""
        return dataclasses.replace(self, converged=False, separation=separation)

    def with_basins(self, basins: tuple[tuple[NDArray[np.float64], NDArray[np.float64]], ...]) -> FitDiagnostics:
        return dataclasses.replace(self, basins=tuple(basins))
