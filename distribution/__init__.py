"""The polynomially adjusted logistic distribution as NumPy generalized ufuncs.

``cdf(x, loc, scale, param)``, signature ``(n),(),(),(m)->(n)``: the
distribution of density proportional to ``p(x)**2 * f((x - loc) / scale)``,
where ``p`` has the coefficients ``param`` (1 to 6 of them, lowest power
first, in the units of x) and ``f`` is the standard logistic density, with
its polylogarithms cut at 19 terms.

``accurate``: the family for model fitting, accurate to a few units in the
last place: ``cdf``, ``sf``, ``logcdf``, ``logsf``, ``pdf``, ``logpdf``,
``ppf`` and ``isf``, with the same signature.

``AdjustedLogistic``: the distribution as a frozen object with scipy.stats'
methods, and its maximum likelihood fit, ``AdjustedLogistic.fit``.

``BinaryRegression``: binary choice whose latent noise has this
distribution (m = 1: logistic regression); ``OrderedRegression``: ordered-response regression whose latent noise has
this distribution; ``IntervalRegression``: exact, censored and interval
outcomes with this noise and a modelled scale; ``SurvivalRegression``: the
accelerated failure time model of survival times on it.
"""

from importlib.metadata import version as _version

from . import accurate
from ._frozen import AdjustedLogistic
from ._warnings import SeparationWarning
from .cdf_ufunc import cdf
from .models.binary import BinaryRegression, BinaryRegressionResults
from .models.density import AdjustedLogisticFit
from .models.interval import IntervalRegression, IntervalRegressionResults
from .models.ordered import OrderedRegression, OrderedRegressionResults
from .models.results import LikelihoodResults
from .models.survival import SurvivalRegression, SurvivalRegressionResults

# The installed metadata is written from meson.build's version, the one source.
__version__ = _version("distribution")

__all__ = ["AdjustedLogistic", "AdjustedLogisticFit", "BinaryRegression", "BinaryRegressionResults",
           "IntervalRegression", "IntervalRegressionResults", "LikelihoodResults", "OrderedRegression",
           "OrderedRegressionResults", "SeparationWarning", "SurvivalRegression", "SurvivalRegressionResults",
           "accurate", "cdf"]
