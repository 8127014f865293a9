# Stub for the compiled module distribution/cdf_ufunc.cpp.

from typing import Final

import numpy as np

# (n), (), (), (m) -> (n): points, loc, scale, coefficients -> F at the points
cdf: Final[np.ufunc] = ...
