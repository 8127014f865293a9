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


#define DISTRIBUTION_GRADIENT_DOC(name, plain, example_call, example_output)                                          \
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUTS                        \
    "\nReturns\n-------\n"                                                                                           \
    "value : ndarray\n    " plain "(x, loc, scale, param), bit for bit.\n"                                           \
    "d_x, d_loc, d_scale : ndarray\n    Its derivatives with respect to x, loc and scale.\n"                          \
    "d_param : ndarray\n"                                                                                            \
    "    Its derivatives with respect to each coefficient, along a last axis of length m.\n"                        \
    "    p is in the units of x; p and c p give the same distribution, so that\n"                                    \
    "    sum_j param[j] d_param[..., j] is 0 to rounding.\n"                                                        \
    "\nNotes\n-----\n" DISTRIBUTION_MODEL                                                                            \
    "The derivatives of the tail come from its expansion about the point (the moments\n"                           \
    "of f beyond it, with the derivative of the expanded polynomial) and of the mass\n"                            \
    "from its Gauss rule, accurate to about 1e-12 of the derivative or of the value\n"                              \
    "over the scale, whichever is larger.  Invalid rows give NaN; at +-inf the\n"                                  \
    "derivatives are their limits (0 for the probabilities).\n"                                                      \
    "\nExamples\n--------\n"                                                                                         \
    ">>> from distribution import accurate\n"                                                                        \
    ">>> value, d_x, d_loc, d_scale, d_param = accurate." name example_call "\n"                                    \
    ">>> float(d_x[0])\n" example_output "\n"

inline constexpr char cdf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "cdf_grad", "cdf", "([0.0], 0.0, 1.0, [1.0])", "0.25");
inline constexpr char sf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "sf_grad", "sf", "([0.0], 0.0, 1.0, [1.0])", "-0.25");
inline constexpr char logcdf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "logcdf_grad", "logcdf", "([0.0], 0.0, 1.0, [1.0])  # pdf / cdf", "0.5");
inline constexpr char logsf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "logsf_grad", "logsf", "([0.0], 0.0, 1.0, [1.0])  # -pdf / sf", "-0.5");
inline constexpr char pdf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "pdf_grad", "pdf", "([0.0], 0.0, 1.0, [1.0])  # the logistic density's peak", "0.0");
inline constexpr char logpdf_grad[] = DISTRIBUTION_GRADIENT_DOC(
    "logpdf_grad", "logpdf", "([1.0], 0.0, 1.0, [0.0, 1.0])  # 2 p'/p - tanh(1/2)", "1.5378828427399902");


#define DISTRIBUTION_BETWEEN_PARAMETERS                                                                              \
    "Parameters\n----------\n"                                                                                       \
    "a, b : array_like\n    The ends of the intervals (a, b], along the last axis; +-inf allowed.\n"                \
    DISTRIBUTION_ROW_PARAMETERS

#define DISTRIBUTION_BETWEEN_NOTES                                                                                   \
    "\nNotes\n-----\n" DISTRIBUTION_MODEL                                                                            \
    "Within one scale unit the integral over [a, b] itself, by Gauss-Legendre\n"                                    \
    "scaled by e^|y| of the end nearer loc.  Wider, on one side of loc the\n"                                       \
    "difference of the tails beyond a and b while the farther is at most 3/4 of the\n"                              \
    "nearer; across loc 1 minus both while they leave at least 1/4; otherwise (both\n"                              \
    "far in one tail, or nearly all the mass outside) the integral again.  Relative\n"                              \
    "error within (64 + 8 kappa) eps; the logarithm absolutely alike, finite\n"                                     \
    "wherever the probability underflows.\n"

inline constexpr char probability_between[] =
    DISTRIBUTION_BETWEEN_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nprobability_between : ndarray\n"
    "    P(a < X <= b) = cdf(b) - cdf(a), in [0, 1]; 0 where a >= b.\n" DISTRIBUTION_BETWEEN_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> accurate.probability_between([40.0], [41.0], 0.0, 1.0, [1.0])\n"
    "array([2.68547207e-18])\n";

inline constexpr char log_probability_between[] =
    DISTRIBUTION_BETWEEN_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nlog_probability_between : ndarray\n"
    "    log P(a < X <= b); -inf where a >= b.\n" DISTRIBUTION_BETWEEN_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> import numpy as np\n"
    ">>> accurate.log_probability_between([-np.inf], [0.0], 0.0, 1.0, [1.0])  # log 1/2\n"
    "array([-0.69314718])\n";

inline constexpr char log_probability_between_grad[] =
    DISTRIBUTION_BETWEEN_PARAMETERS DISTRIBUTION_OUTS
    "\nReturns\n-------\n"
    "value : ndarray\n    log_probability_between(a, b, loc, scale, param), bit for bit.\n"
    "d_a, d_b : ndarray\n    -pdf(a) / P and pdf(b) / P.\n"
    "d_loc, d_scale : ndarray\n    The derivatives with respect to loc and scale.\n"
    "d_param : ndarray\n"
    "    The derivatives with respect to each coefficient, along a last axis of length m.\n"
    DISTRIBUTION_BETWEEN_NOTES
    "Where the integral is taken, the derivatives are integrals over [a, b] too, so that\n"
    "they keep their accuracy however close a and b.  Where a >= b they are 0.\n"
    "\nExamples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from distribution import accurate\n"
    ">>> value, d_a, d_b, d_loc, d_scale, d_param = accurate.log_probability_between_grad(\n"
    "...     [-np.inf], [0.0], 0.0, 1.0, [1.0])\n"
    ">>> float(d_b[0])  # pdf(0) / cdf(0)\n"
    "0.5\n";


#define DISTRIBUTION_HESSIAN_NOTES                                                                                   \
    "The second derivatives are with respect to the point(s) and the coefficients of\n"                            \
    "p, the variables of a model whose ends are standardised (loc 0, scale 1): those\n"                             \
    "in loc and scale follow by its chain rule.  With the mass S = int p^2 f, the\n"                                \
    "Hessian of log S comes from its Gauss rule, and that of the tail or interval\n"                                \
    "from the moments int x^n f over it, by the same expansions and integrals as the\n"                             \
    "gradient.  Accurate to about 1e-12 of the largest second derivative of the\n"                                  \
    "point.  Every value is the one its point has alone, whatever else the call holds.\n"

inline constexpr char logpdf_hess[] =
    "Parameters\n----------\n" DISTRIBUTION_POINTS DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUTS
    "\nReturns\n-------\n"
    "value : ndarray\n    logpdf(x, loc, scale, param), bit for bit.\n"
    "d_x, d_xx : ndarray\n    Its first and second derivatives in x.\n"
    "d_param : ndarray\n    Its derivatives in each coefficient, along a last axis of length m\n"
    "    (those of logpdf_grad, bit for bit).\n"
    "d_x_param : ndarray\n    d2 / dx dparam[j], along a last axis of length m.\n"
    "d_param_param : ndarray\n    d2 / dparam[j] dparam[k], along two last axes of length m.\n"
    "\nNotes\n-----\n"
    "With y = (x - loc) / scale and the mass S = int p^2 f,\n\n"
    "    log pdf = 2 log|p(x)| + log f(y) - log scale - log S,\n\n"
    "so that d2/dx2 = 2 (p''/p - (p'/p)^2) - 2 e / (1 + e)^2 / scale^2 with\n"
    "e = exp(-|y|), and d2/dparam_j dparam_k = -2 x^(j+k) / p^2 less the Hessian of\n"
    "log S.\n" DISTRIBUTION_HESSIAN_NOTES
    "A root of p at x gives NaN (the logarithm is -inf there); at +-inf the derivatives\n"
    "are their limits.\n"
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> value, d_x, d_xx, d_p, d_xp, d_pp = accurate.logpdf_hess([0.0], 0.0, 1.0, [1.0])\n"
    ">>> float(d_xx[0])  # of the logistic, -2 e / (1 + e)^2 at e = 1\n"
    "-0.5\n";

inline constexpr char log_probability_between_hess[] =
    DISTRIBUTION_BETWEEN_PARAMETERS DISTRIBUTION_OUTS
    "\nReturns\n-------\n"
    "value : ndarray\n    log_probability_between(a, b, loc, scale, param), bit for bit.\n"
    "d_a, d_b : ndarray\n    -pdf(a) / P and pdf(b) / P.\n"
    "d_aa, d_ab, d_bb : ndarray\n    The second derivatives in the ends.\n"
    "d_param : ndarray\n    The derivatives in each coefficient, along a last axis of length m\n"
    "    (those of log_probability_between_grad, bit for bit).\n"
    "d_a_param, d_b_param : ndarray\n    d2 / da dparam[j] and d2 / db dparam[j].\n"
    "d_param_param : ndarray\n    d2 / dparam[j] dparam[k], along two last axes of length m.\n"
    "\nNotes\n-----\n"
    "With V = int_a^b p^2 f and G_j = dV/dparam_j / V, d2/db2 = d_b (log pdf)'(b) - d_b^2,\n"
    "d2/da db = -d_a d_b, d2/db dparam_j = d_b (2 b^j / p(b) - G_j), and\n"
    "d2/dparam_j dparam_k = 2 int_a^b x^(j+k) f / V - G_j G_k less the Hessian of log S.\n"
    DISTRIBUTION_HESSIAN_NOTES "Where a >= b they are 0.\n"
    "\nExamples\n--------\n"
    ">>> import numpy as np\n"
    ">>> from distribution import accurate\n"
    ">>> out = accurate.log_probability_between_hess([-np.inf], [0.0], 0.0, 1.0, [1.0])\n"
    ">>> float(out[5][0])  # d_bb: the logistic's -pdf(0)^2 / cdf(0)^2\n"
    "-0.25\n";

#define DISTRIBUTION_MOMENT_NOTES                                                                                    \
    "\nNotes\n-----\n"                                                                                               \
    "In closed form from the moments of the logistic density, in the standardised\n"                               \
    "variable t = (X - loc) / scale: E[t^j] = sum_n beta_n M_(n+j) / sum_n beta_n M_n,\n"                         \
    "beta the coefficients of p(loc + scale t)^2 and M_n = int t^n f(t) dt, so that a\n"                          \
    "large |loc| / scale does not cancel them.  An invalid row gives NaN.\n"

inline constexpr char mean[] =
    "Parameters\n----------\n" DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nmean : ndarray\n    E[X], loc + scale E[t].\n" DISTRIBUTION_MOMENT_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> float(accurate.mean(2.0, 3.0, [1.0]))\n2.0\n";

inline constexpr char var[] =
    "Parameters\n----------\n" DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nvar : ndarray\n    Var[X], scale**2 (E[t^2] - E[t]^2).\n" DISTRIBUTION_MOMENT_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> float(accurate.var(0.0, 1.0, [1.0]))  # pi**2 / 3\n3.289868133696453\n";

inline constexpr char moment[] =
    "Parameters\n----------\n"
    "k : array_like\n    The order, a whole number from 0 to 12; any other gives NaN.\n"
    DISTRIBUTION_ROW_PARAMETERS DISTRIBUTION_OUT
    "\nReturns\n-------\nmoment : ndarray\n"
    "    E[X**k] = sum_j C(k, j) loc**(k-j) scale**j E[t^j].\n" DISTRIBUTION_MOMENT_NOTES
    "\nExamples\n--------\n"
    ">>> from distribution import accurate\n"
    ">>> float(accurate.moment(2, 0.0, 1.0, [1.0]))  # pi**2 / 3\n3.289868133696453\n";

} // namespace docs
} // namespace distribution

#endif // DISTRIBUTION_ACCURATE_DOCSTRINGS_HPP
