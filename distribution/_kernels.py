"""Where the Python layer finds each function of the accurate family."""

from . import _standin, accurate


def kernel(name):
    """``accurate.<name>``, or its NumPy stand-in until the compiled module has it."""
    return getattr(accurate, name, None) or getattr(_standin, name)
