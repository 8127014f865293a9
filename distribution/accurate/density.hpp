// The density and its logarithm.
//
//     pdf(x)    = P~(y)^2 f(y) / (scale S),   f(y) = e / (1 + e)^2,  e = e^-u,
//     logpdf(x) = 2 log|P~(y)| - u - 2 log1p(e) - log S - log scale,
//
// P~(y) = 2^sigma p(x) from the coefficients in w = x / R.  e is formed in
// two halves and the scale enters before the last factor, so that the
// density underflows only where its value does; the logarithm stays finite
// there, also where P~ itself underflows (log_abs_P).  Relative error of
// pdf within (64 + 8 kappa) eps, absolute of logpdf alike; NaN rows and
// points give NaN, |y| beyond 2^64 the limits (0, and -u for the log).
//
// Compiled once per instruction set.
#include "row.hpp"

#if defined(DISTRIBUTION_ACCURATE_DENSITY_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_DENSITY_LANES
#undef DISTRIBUTION_ACCURATE_DENSITY_LANES
#else
#define DISTRIBUTION_ACCURATE_DENSITY_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace detail {
// log|p(x) 2^n_more|, p(x) summed from the coefficients themselves, each
// term a_j x^j as m_j 2^(e_j) and added relative to the largest, so that no
// term over- or underflows.  -inf where the sum is 0.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> log_abs_p(D d, const Row<D> &row, hn::Vec<D> x, std::size_t at, hn::Vec<D> n_more)
{
    using V = hn::Vec<D>;
    const hn::RebindToSigned<D> di;
    using VI = hn::Vec<decltype(di)>;
    const VI none = hn::Set(di, int64_t{-100000});
    const VI x_exponent = exponent(d, x);
    const V x_mantissa = scale_by(d, x, hn::Neg(x_exponent));
    V m[K], power = hn::Set(d, 1.0);
    VI e[K], power_exponent = hn::Zero(di), largest = none;
    for (std::size_t j = 0; j < K; ++j) {
        const V a = hn::Load(d, row.polynomial[j] + at);
        const VI a_exponent = exponent(d, a);
        m[j] = hn::Mul(scale_by(d, a, hn::Neg(a_exponent)), power);
        e[j] = hn::IfThenElse(hn::RebindMask(di, hn::Eq(m[j], hn::Zero(d))), none, hn::Add(a_exponent, power_exponent));
        largest = hn::Max(largest, e[j]);
        power = hn::Mul(power, x_mantissa);
        power_exponent = hn::Add(power_exponent, x_exponent);
    }
    V sum = hn::Zero(d);
    for (std::size_t j = 0; j < K; ++j)
        sum = hn::Add(sum, scale_by(d, m[j], hn::Sub(e[j], largest)));
    const hn::Mask<D> zero = hn::Eq(sum, hn::Zero(d));
    const V log_p = log_apart(d, hn::IfThenElse(zero, hn::Set(d, 1.0), hn::Abs(sum)),
                              hn::Add(hn::ConvertTo(d, largest), n_more));
    return hn::IfThenElse(zero, hn::Set(d, -HUGE_VAL), log_p);
}
} // namespace detail

// log|P~| at x, P~ = p(x) 2^sigma as the row scales it.  Where P~ is below
// 2^-900 (next to a root of p, or where the scaling took a coefficient
// below the range: p = 1 + 1e-10 x^2 at scale 1e300) it is
// log|p(x)| + sigma ln 2.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> log_abs_P(D d, const Row<D> &row, hn::Vec<D> x, hn::Vec<D> P, std::size_t at)
{
    using V = hn::Vec<D>;
    const V floor = hn::Set(d, 0x1p-900);
    const hn::Mask<D> tiny = hn::Lt(hn::Abs(P), floor);
    const V log_P = hn::Log(d, hn::Max(hn::Abs(P), floor));
    if (hn::AllFalse(d, tiny))
        return log_P;
    return hn::IfThenElse(tiny, detail::log_abs_p<K>(d, row, x, at, hn::Load(d, row.log2_scaling + at)), log_P);
}

// The density of y, P~^2 f(y) / S, or its logarithm, at u with e^-u / 2
// = e_half; `per` divides the value too (the scale, for the density of x)
// before its last factor.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> density_of_y(D d, const Row<D> &row, hn::Vec<D> P, hn::Vec<D> x, hn::Vec<D> u,
                                   hn::Vec<D> e_half, std::size_t at, bool logarithm, hn::Vec<D> per)
{
    using V = hn::Vec<D>;
    const V e = hn::Mul(e_half, e_half);
    if (logarithm) {
        const V log1p_e = hn::Log1p(d, e);
        const V log_P = log_abs_P<K>(d, row, x, P, at);
        return hn::Sub(hn::Sub(hn::Add(log_P, log_P), hn::Add(u, hn::Add(log1p_e, log1p_e))),
                       hn::Load(d, row.log_mass + at));
    }
    const V one_plus_e = hn::Add(hn::Set(d, 1.0), e);
    const V S = hn::Load(d, row.mass + at);
    return hn::Mul(hn::Div(hn::Mul(hn::Mul(P, P), e_half), hn::Mul(hn::Mul(S, per), hn::Mul(one_plus_e, one_plus_e))),
                   e_half);
}

// The density of x at the lanes' points, or its logarithm.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> density_at(D d, const Row<D> &row, hn::Vec<D> x, hn::Vec<D> y, std::size_t at, bool logarithm)
{
    const Point<D> p = locate(d, row, x, y, at);
    const hn::Vec<D> P = P_at<K>(d, row, p.x, at);
    const hn::Vec<D> density =
        density_of_y<K>(d, row, P, p.x, p.u, half_exp(d, p.u), at, logarithm, hn::Load(d, row.scale_safe + at));
    const hn::Vec<D> value = logarithm ? hn::IfThenElse(p.beyond, hn::Neg(p.u_all),
                                                        hn::Sub(density, hn::Load(d, row.log_scale + at)))
                                       : hn::IfThenZeroElse(p.beyond, density);
    return hn::IfThenElse(p.nan, hn::NaN(d), value);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
