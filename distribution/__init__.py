"""Distribution function of the polynomially adjusted logistic distribution.

``cdf(x, loc, scale, param)`` is a NumPy generalized ufunc with the signature
``(n),(),(),(m)->(n)``: the distribution of density proportional to
``p(x)**2 * f((x - loc) / scale)``, where ``p`` has the coefficients ``param``
(1 to 6 of them, lowest power first) and ``f`` is the standard logistic density.
"""

from importlib.metadata import version as _version

from .cdf_ufunc import cdf

# The installed metadata is written from meson.build's version, the one source.
__version__ = _version("distribution")

__all__ = ["cdf"]
