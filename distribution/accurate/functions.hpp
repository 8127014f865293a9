// The functions of the accurate family, in the order of registration: one
// line each, F(name, unit, signature, summary, kernel).  The registration,
// the loops of every instruction set and the typing stub (tools/make_stub.py)
// all come from this table.  The loops are compiled in four units, so that
// a build runs them in parallel: `values`, `gradients`, `intervals` (with
// the moments) and `hessians`; each unit instantiates the kernels of its own
// lines only.
#ifndef DISTRIBUTION_ACCURATE_FUNCTIONS_HPP
#define DISTRIBUTION_ACCURATE_FUNCTIONS_HPP

#include <cstdint>

namespace distribution {

enum Unit : int { values, gradients, intervals, hessians };

// The loop of a unit: runs the function of that index in the table.
template <Unit> void unit_loop(int function, char **args, const std::intptr_t *dimensions, const std::intptr_t *steps);
template <> void unit_loop<values>(int, char **, const std::intptr_t *, const std::intptr_t *);
template <> void unit_loop<gradients>(int, char **, const std::intptr_t *, const std::intptr_t *);
template <> void unit_loop<intervals>(int, char **, const std::intptr_t *, const std::intptr_t *);
template <> void unit_loop<hessians>(int, char **, const std::intptr_t *, const std::intptr_t *);

} // namespace distribution

#define DISTRIBUTION_GRADIENT "(n),(),(),(m)->(n),(n),(n),(n),(n,m)"
#define DISTRIBUTION_ACCURATE_FUNCTIONS(F)                                                     \
    F(cdf, values, "(n),(),(),(m)->(n)",                                                       \
      "Distribution function of the polynomially adjusted logistic distribution.",             \
      TailKernel<false, cdf_of>)                                                               \
    F(sf, values, "(n),(),(),(m)->(n)",                                                        \
      "Survival function, 1 - cdf, of the polynomially adjusted logistic distribution.",       \
      TailKernel<false, sf_of>)                                                                \
    F(logcdf, values, "(n),(),(),(m)->(n)",                                                    \
      "Logarithm of the distribution function.",                                               \
      TailKernel<true, logcdf_of>)                                                             \
    F(logsf, values, "(n),(),(),(m)->(n)",                                                     \
      "Logarithm of the survival function.",                                                   \
      TailKernel<true, logsf_of>)                                                              \
    F(pdf, values, "(n),(),(),(m)->(n)",                                                       \
      "Density of the polynomially adjusted logistic distribution.",                           \
      DensityKernel<false>)                                                                    \
    F(logpdf, values, "(n),(),(),(m)->(n)",                                                    \
      "Logarithm of the density.",                                                             \
      DensityKernel<true>)                                                                     \
    F(ppf, values, "(n),(),(),(m)->(n)",                                                       \
      "Quantile function, the inverse of cdf.",                                                \
      QuantileKernel<false>)                                                                   \
    F(isf, values, "(n),(),(),(m)->(n)",                                                       \
      "Inverse survival function, the inverse of sf.",                                         \
      QuantileKernel<true>)                                                                    \
    F(cdf_grad, gradients, DISTRIBUTION_GRADIENT,                                              \
      "The distribution function and its derivatives.",                                        \
      SideGradient<false, false>)                                                              \
    F(sf_grad, gradients, DISTRIBUTION_GRADIENT,                                               \
      "The survival function and its derivatives.",                                            \
      SideGradient<true, false>)                                                               \
    F(logcdf_grad, gradients, DISTRIBUTION_GRADIENT,                                           \
      "The logarithm of the distribution function and its derivatives.",                       \
      SideGradient<false, true>)                                                               \
    F(logsf_grad, gradients, DISTRIBUTION_GRADIENT,                                            \
      "The logarithm of the survival function and its derivatives.",                           \
      SideGradient<true, true>)                                                                \
    F(pdf_grad, gradients, DISTRIBUTION_GRADIENT,                                              \
      "The density and its derivatives.",                                                      \
      DensityGradient<false>)                                                                  \
    F(logpdf_grad, gradients, DISTRIBUTION_GRADIENT,                                           \
      "The logarithm of the density and its derivatives.",                                     \
      DensityGradient<true>)                                                                   \
    F(probability_between, intervals, "(n),(n),(),(),(m)->(n)",                                \
      "Probability of an interval, P(a < X <= b).",                                            \
      BetweenKernel<false, false>)                                                             \
    F(log_probability_between, intervals, "(n),(n),(),(),(m)->(n)",                            \
      "Logarithm of the probability of an interval.",                                          \
      BetweenKernel<true, false>)                                                              \
    F(log_probability_between_grad, intervals, "(n),(n),(),(),(m)->(n),(n),(n),(n),(n),(n,m)", \
      "Logarithm of the probability of an interval and its derivatives.",                      \
      BetweenKernel<true, true>)                                                               \
    F(logpdf_hess, hessians, "(n),(),(),(m)->(n),(n),(n),(n,m),(n,m),(n,m,m)",                 \
      "The logarithm of the density with its first and second derivatives in x and param.",    \
      HessianKernel<false>)                                                                    \
    F(log_probability_between_hess, hessians,                                                  \
      "(n),(n),(),(),(m)->(n),(n),(n),(n),(n),(n),(n,m),(n,m),(n,m),(n,m,m)",                   \
      "The logarithm of the probability of an interval with its first and second derivatives in the ends and param.", \
      HessianKernel<true>)                                                                     \
    F(mean, intervals, "(),(),(m)->()",                                                        \
      "Mean of the polynomially adjusted logistic distribution.",                              \
      MomentKernel<0>)                                                                         \
    F(var, intervals, "(),(),(m)->()",                                                         \
      "Variance of the polynomially adjusted logistic distribution.",                          \
      MomentKernel<1>)                                                                         \
    F(moment, intervals, "(),(),(),(m)->()",                                                   \
      "Raw moment E[X**k] of the polynomially adjusted logistic distribution.",                \
      MomentKernel<2>)

#endif // DISTRIBUTION_ACCURATE_FUNCTIONS_HPP
