"""Warnings raised at the caller's line, however deep inside the package
the cause lies."""

import os
import sys
import warnings
from types import FrameType

_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn(message, category=RuntimeWarning):
    """warnings.warn at the first frame outside this package: the line of the
    user's code that called into it."""
    frame: FrameType | None
    level, frame = 2, sys._getframe(1)
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, category, stacklevel=level)


class SeparationWarning(RuntimeWarning):
    """The data are separated: the likelihood rises towards its supremum as
    some coefficients go to infinity, so they have no finite estimate."""
