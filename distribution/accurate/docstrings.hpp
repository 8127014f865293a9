// The docstrings of the accurate family, numpydoc: each a summary line and
// a body; the registration puts the signature between them.
#ifndef DISTRIBUTION_ACCURATE_DOCSTRINGS_HPP
#define DISTRIBUTION_ACCURATE_DOCSTRINGS_HPP

namespace distribution {
namespace docs {

#define DISTRIBUTION_ROW_PARAMETERS                                                                                  \
    "loc : array_like\n"                                                                                             \
    "    Location, one per row (broadcast against the rows of the points).\n"                                        \
    "scale : array_like\n"                                                                                           \
    "    Scale, one per row; a row with scale <= 0 gives NaN.\n"                                                     \
    "param : array_like\n"                                                                                           \
    "    The 1 to 6 coefficients of p, lowest power first, along the last axis.\n"                                  \
    "    p is a polynomial in the units of x: p(x) = param[0] + param[1] x + ....\n"                              \
    "    A row whose coefficients are all 0 gives NaN.\n"

#define DISTRIBUTION_OUT "out : ndarray, optional\n    Where to put the result.\n"
#define DISTRIBUTION_OUTS "out : tuple of ndarray, optional\n    Where to put the results.\n"

#define DISTRIBUTION_POINTS "x : array_like\n    Points, along the last axis.\n"

#define DISTRIBUTION_MODEL                                                                                           \
    "The distribution has density proportional to p(x)**2 f((x - loc) / scale), f the\n"                            \
    "standard logistic density.  Its tails are evaluated in closed form, expanded about\n"                          \
    "the point, with polylogarithms summed to convergence, and near loc as the mass\n"                              \
    "beyond loc less the integral from loc.  Every value is the one its point has\n"                                 \
    "alone, whatever else the call holds.\n"

inline constexpr char cdf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\ncdf : ndarray\n    P(X <= x), in [0, 1].\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL
    "For x >= loc it is 1 - sf(x); below loc it is the lower tail itself, accurate to a\n"
    "few units in the last place however small.  Relative error within (64 + 8 kappa)\n"
    "eps, kappa the condition number of the value.  x = -inf and +inf give 0 and 1.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> float(accurate.cdf([0.0], 0.0, 1.0, [0.0, 1.0])[0])\n0.5\n";

inline constexpr char sf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nsf : ndarray\n    P(X > x), in [0, 1].\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL
    "For x >= loc it is the upper tail itself, accurate to a few units in the last\n"
    "place however small; below loc it is 1 - cdf(x).  x = -inf and +inf give 1 and 0.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.sf([40.0], 0.0, 1.0, [1.0])  # e^-40 / (1 + e^-40)\n"
    "array([4.24835426e-18])\n";

inline constexpr char logcdf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nlogcdf : ndarray\n    log P(X <= x), finite wherever x is.\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL
    "The lower tail is carried scaled by e^u, u = |x - loc| / scale, so that its\n"
    "logarithm stays finite and accurate where the value itself underflows.  Absolute\n"
    "error within (64 + 8 kappa) eps.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.logcdf([-1000.0], 0.0, 1.0, [1.0])\n"
    "array([-1000.])\n";

inline constexpr char logsf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nlogsf : ndarray\n    log P(X > x), finite wherever x is.\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL
    "The upper tail is carried scaled by e^u, so that its logarithm stays finite and\n"
    "accurate where the value itself underflows.  Absolute error within\n"
    "(64 + 8 kappa) eps.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.logsf([1000.0], 0.0, 1.0, [1.0])\n"
    "array([-1000.])\n";

inline constexpr char pdf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\npdf : ndarray\n"
    "    p(x)**2 f(y) / (scale S), y = (x - loc) / scale, S the total mass.\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL "Relative error within (64 + 8 kappa) eps.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.pdf([0.0], 0.0, 1.0, [1.0])  # the logistic density at 0\n"
    "array([0.25])\n";

inline constexpr char logpdf[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nlogpdf : ndarray\n"
    "    2 log|p(x)| + log f(y) - log scale - log S, with\n"
    "    log f(y) = -|y| - 2 log1p(e^-|y|); -inf at a root of p.\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL
    "Absolute error within (64 + 8 kappa) eps; finite wherever the density underflows\n"
    "short of a root of p.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.logpdf([0.0], 0.0, 1.0, [1.0])  # log(1/4)\n"
    "array([-1.38629436])\n";

#define DISTRIBUTION_QUANTILE_NOTES                                                                                  \
    "Halley's method on the smaller side (cdf for q <= 1/2, sf above), on its\n"                                    \
    "logarithm where that side is below 2^-20, from the quantile of the logistic of\n"                              \
    "the same mean and variance, bracketed and safeguarded by bisection, until the\n"                               \
    "error is below the spacing of x: cdf(ppf(q)) is q to a few units in the last\n"                                \
    "place of min(q, 1 - q), plus what the spacing of x allows.\n"

inline constexpr char ppf[] =
    "Parameters\n----------\n"
    "q : array_like\n    Probabilities, along the last axis.\n" DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nppf : ndarray\n"
    "    The x with cdf(x) = q; -inf at q = 0, +inf at q = 1, NaN outside [0, 1].\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL DISTRIBUTION_QUANTILE_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> float(accurate.ppf([0.5], 0.0, 1.0, [1.0])[0])\n0.0\n";

inline constexpr char isf[] =
    "Parameters\n----------\n"
    "q : array_like\n    Probabilities, along the last axis.\n" DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nisf : ndarray\n"
    "    The x with sf(x) = q; +inf at q = 0, -inf at q = 1, NaN outside [0, 1].\n"
    "\nNotes\n-----\n" DISTRIBUTION_MODEL DISTRIBUTION_QUANTILE_NOTES
    "A tiny q (1e-300, say) keeps its relative precision.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.isf([1e-300], 0.0, 1.0, [1.0])  # log(1e300), nearly\n"
    "array([690.7755279])\n";

} // namespace docs
} // namespace distribution

#endif // DISTRIBUTION_ACCURATE_DOCSTRINGS_HPP
