// Exact scaling by powers of two, and the guarded exponential and quotient
// that keep the accurate family free of overflow and of spurious flags.
//
// Compiled once per instruction set.
#if defined(DISTRIBUTION_ACCURATE_SCALING_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_SCALING_LANES
#undef DISTRIBUTION_ACCURATE_SCALING_LANES
#else
#define DISTRIBUTION_ACCURATE_SCALING_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

#include <cmath>
#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// floor(log2 |v|) of normal v as an integer lane; 0 and subnormals give
// -1023, NaN and infinities 1024.
template <class D> HWY_INLINE hn::Vec<hn::RebindToSigned<D>> exponent(D, hn::Vec<D> v)
{
    const hn::RebindToSigned<D> di;
    return hn::Sub(hn::ShiftRight<52>(hn::BitCast(di, hn::Abs(v))), hn::Set(di, int64_t{1023}));
}

// 2^n, exact for n in [-1022, 1023]; below, 0.
template <class D> HWY_INLINE hn::Vec<D> power_of_two(D d, hn::Vec<hn::RebindToSigned<D>> n)
{
    const hn::RebindToSigned<D> di;
    const auto biased = hn::Add(n, hn::Set(di, int64_t{1023}));
    const auto normal = hn::Gt(biased, hn::Zero(di));
    const auto bits = hn::ShiftLeft<52>(hn::IfThenElseZero(normal, hn::Min(biased, hn::Set(di, int64_t{2046}))));
    return hn::BitCast(d, bits);
}

// v 2^n in two steps, so that factors beyond the exponent range still give
// the product where it is a number.
template <class D>
HWY_INLINE hn::Vec<D> scale_by(D d, hn::Vec<D> v, hn::Vec<hn::RebindToSigned<D>> n)
{
    const auto half = hn::ShiftRightSame(n, 1); // arithmetic: floor(n / 2)
    return hn::Mul(hn::Mul(v, power_of_two(d, half)), power_of_two(d, hn::Sub(n, half)));
}

// log v for normal v > 0, of the mantissa and the exponent apart: the
// vector Log raises the overflow flag for arguments beyond about 2^800.
// n ln 2 is formed with ln 2 in two parts, n times the first exact.
template <class D> HWY_INLINE hn::Vec<D> log_apart(D d, hn::Vec<D> v, hn::Vec<D> n_more)
{
    const auto e = exponent(d, v);
    const hn::Vec<D> n = hn::Add(hn::ConvertTo(d, e), n_more);
    const hn::Vec<D> log_mantissa = hn::Log(d, scale_by(d, v, hn::Neg(e)));
    return hn::MulAdd(n, hn::Set(d, 0x1.62e42feep-1), hn::MulAdd(n, hn::Set(d, 0x1.a39ef35793c76p-33), log_mantissa));
}

// e^(-u/2) for 0 <= u, 0 from u = 1600 on (the argument is bounded so that
// the reduction's integer conversion cannot overflow).
template <class D> HWY_INLINE hn::Vec<D> half_exp(D d, hn::Vec<D> u)
{
    return hn::Exp(d, hn::Max(hn::Mul(u, hn::Set(d, -0.5)), hn::Set(d, -800.0)));
}

// a / b for b > 0, and +-inf without the overflow flag where the quotient
// is beyond the range (within a factor of two of its end).
template <class D> HWY_INLINE hn::Vec<D> quotient_or_inf(D d, hn::Vec<D> a, hn::Vec<D> b)
{
    const hn::RebindToSigned<D> di;
    const auto spread = hn::Sub(exponent(d, a), exponent(d, b));
    const auto over = hn::AndNot(hn::IsNaN(a), hn::RebindMask(d, hn::Gt(spread, hn::Set(di, int64_t{1022}))));
    return hn::IfThenElse(over, hn::CopySign(hn::Set(d, HUGE_VAL), a), hn::Div(hn::IfThenZeroElse(over, a), b));
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
