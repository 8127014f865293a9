// Truncated polylogarithms Li_1 .. Li_s of a real argument, over lanes.
//
//     Li_s(x) = x/1^s + x^2/2^s + x^3/3^s + ...
//
// Order 1 is exact, Li_1(x) = -log(1 - x).  Orders 2 and up are the partial
// sums of the first 19 terms of the series, added from the lowest power up.
// The caller evaluates them at x = -exp(-u) in [-1, 0], where the series
// alternate and the neglected part is at most |x|^20 / 20^s.
//
// The first part of this header is compiled once; the second, the series
// over a SIMD vector of arguments, once per instruction set (Highway's
// foreach_target), and serves every lane count, one included.
#ifndef DISTRIBUTION_POLYLOGARITHM_HPP
#define DISTRIBUTION_POLYLOGARITHM_HPP

#include <Eigen/Core>

#include <cstddef>

constexpr long long ipow(long long base, int exponent)
{
    return exponent == 0 ? 1 : base * ipow(base, exponent - 1);
}

// c[r][j] = (j + 2)^(r + 2): the denominators of the terms x^2 .. x^19 of the
// series of order r + 2, for the orders 2 to 10.  Every entry is below 2^53
// (the largest is 19^10), so it converts to a double exactly.
#define ROW(s)                                                                 \
    {                                                                          \
        ipow(2, s), ipow(3, s), ipow(4, s), ipow(5, s), ipow(6, s),            \
            ipow(7, s), ipow(8, s), ipow(9, s), ipow(10, s), ipow(11, s),      \
            ipow(12, s), ipow(13, s), ipow(14, s), ipow(15, s), ipow(16, s),   \
            ipow(17, s), ipow(18, s), ipow(19, s)                              \
    }
inline constexpr long long c[9][18] = {ROW(2), ROW(3), ROW(4), ROW(5), ROW(6),
                                       ROW(7), ROW(8), ROW(9), ROW(10)};
#undef ROW

// The orders served: 1 to 10 (k up to 6 needs 2k - 2 = 10).
constexpr std::size_t max_orders = 10;

// The entries of c as doubles, and their reciprocals RN(1/d) for the
// division-free quotient below.
struct SeriesTable {
    double denominator[9][18];
    double reciprocal[9][18];
};

constexpr SeriesTable make_series_table()
{
    SeriesTable t{};
    for (int r = 0; r < 9; ++r)
        for (int j = 0; j < 18; ++j) {
            t.denominator[r][j] = static_cast<double>(c[r][j]);
            t.reciprocal[r][j] = 1.0 / t.denominator[r][j];
        }
    return t;
}

inline constexpr SeriesTable series = make_series_table();

// ans[0] = Li_1(x) and, for i = 1 .. k - 1, ans[i] = the 19-term partial sum
// of Li_{i+1}(x): the lane routine below at one lane.  Requires
// 1 <= k <= 10 and ans.size() >= k; entries from k on are left as they are.
void li(std::size_t k, double x, Eigen::VectorXd &ans);

#endif // DISTRIBUTION_POLYLOGARITHM_HPP

// ---------------------------------------------------------------------------
// Per instruction set.
#if defined(DISTRIBUTION_POLYLOGARITHM_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_POLYLOGARITHM_LANES
#undef DISTRIBUTION_POLYLOGARITHM_LANES
#else
#define DISTRIBUTION_POLYLOGARITHM_LANES
#endif

#include "simd/lanes.hpp"

#include <hwy/highway.h>

#include <cmath>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// RN(a / den) without the divider, from r = RN(1 / den): q = RN(a r) is
// within an ulp of the quotient, its remainder e = q den - a is exact in one
// fused multiply-add, and q - e r rounded once is RN(a / den) whenever the
// quotient is a normal number (Markstein 1990).  The correction is one fused
// negated multiply-add, -(e r) + q, the same operation as fma(e, -r, q): it
// keeps the sign of a zero quotient.
template <class V> HWY_INLINE V quotient(V a, V den, V r)
{
    const V q = hn::Mul(a, r);
    const V e = hn::MulSub(q, den, a);
    return hn::NegMulAdd(e, r, q);
}

// Where every lane has z <= -2^-51 (u <= 35.35), every term z^(j+2) /
// (j+2)^s of the series is a normal number (|z|^19 / 19^10 >= 2^-1012), and
// the quotients above are exact.  Further out, or on a target without fused
// multiply-add, the terms are true divisions.
template <class D> HWY_INLINE bool quotients_are_exact(D d, hn::Vec<D> z)
{
    return HWY_NATIVE_FMA &&
           hn::AllTrue(d, hn::Le(nan_to_zero(d, z), hn::Set(d, -0x1p-51)));
}

// The orders 2 .. Orders: ans[i] = z + sum_j power[j+1] / c[i-1][j], each in
// order from the lowest power; the orders advance together, term by term, so
// that their chains of additions overlap.  Where j + 2 is a power of two so
// is the denominator, its reciprocal is exact, and the product by it is the
// correctly rounded quotient, subnormal or not.
template <bool Exact, std::size_t Orders, class D>
HWY_INLINE void li_series(D d, hn::Vec<D> z, const hn::Vec<D> *power, hn::Vec<D> *ans)
{
    for (std::size_t i = 1; i < Orders; ++i)
        ans[i] = z;
    DISTRIBUTION_UNROLL
    for (std::size_t j = 0; j < 18; ++j) {
        const bool exact_reciprocal = ((j + 2) & (j + 1)) == 0;
        DISTRIBUTION_UNROLL
        for (std::size_t i = 1; i < Orders; ++i) {
            const hn::Vec<D> den = hn::Set(d, series.denominator[i - 1][j]);
            const hn::Vec<D> rec = hn::Set(d, series.reciprocal[i - 1][j]);
            const hn::Vec<D> term = exact_reciprocal ? hn::Mul(power[j + 1], rec)
                                    : Exact          ? quotient(power[j + 1], den, rec)
                                                     : hn::Div(power[j + 1], den);
            ans[i] = hn::Add(ans[i], term);
        }
    }
}

// ans[i] = Li_{i+1}(z) for i = 0 .. Orders - 1, lane by lane: order 1 by the
// C library's log, the others by their first 19 terms.
template <std::size_t Orders, class D>
HWY_INLINE void li(D d, hn::Vec<D> z, hn::Vec<D> *ans)
{
    static_assert(Orders >= 1 && Orders <= max_orders, "orders 1 to 10");
    // power[i] = z^(i+1), by successive products.
    hn::Vec<D> power[19];
    power[0] = z;
    DISTRIBUTION_UNROLL
    for (std::size_t i = 1; i < 19; ++i)
        power[i] = hn::Mul(power[i - 1], z);

    const hn::Vec<D> one_minus_z = hn::Sub(hn::Set(d, 1.0), z);
    ans[0] = hn::Neg(each_lane(d, one_minus_z, [](double v) { return std::log(v); }));

    if (quotients_are_exact(d, z))
        li_series<true, Orders>(d, z, power, ans);
    else
        li_series<false, Orders>(d, z, power, ans);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
