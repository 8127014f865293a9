// What both families stand on: the supported numbers of coefficients, the
// SIMD vectors of the evaluation and the blocks of rows that fill them.
//
// A lane holds one point and the row (loc, scale, coefficients) it belongs
// to, so rows of one point share a vector as readily as the points of one
// row.  A block is U vectors of W lanes that go through every step side by
// side, so that the latency of one hides behind the work of the other.
//
// The first part of this header is compiled once; the second once per
// instruction set (Highway's foreach_target).
#ifndef DISTRIBUTION_LANES_HPP
#define DISTRIBUTION_LANES_HPP

#include <cstddef>
#include <type_traits>

// Two to six coefficients (a single one is served as (a_0, 0)): every vector
// indexed by the powers 0 .. 2k - 2 has at most 11 entries.
constexpr std::size_t max_k = 6;
constexpr std::size_t max_n = 2 * max_k - 1; // powers 0 .. 2k - 2
constexpr std::size_t max_N = 2 * max_k - 2; // powers 1 .. 2k - 2

// Calls f(std::integral_constant<std::size_t, k>{}) for the supported
// k = 2 .. max_k, so that inside f the number of coefficients is a constant
// and the loops over the indices unroll.
template <typename F> [[gnu::always_inline]] inline void with_k(std::size_t k, F &&f)
{
    static_assert(max_k == 6, "one case per supported k");
    switch (k) {
    case 2: f(std::integral_constant<std::size_t, 2>{}); break;
    case 3: f(std::integral_constant<std::size_t, 3>{}); break;
    case 4: f(std::integral_constant<std::size_t, 4>{}); break;
    case 5: f(std::integral_constant<std::size_t, 5>{}); break;
    default: f(std::integral_constant<std::size_t, 6>{}); break;
    }
}

// Loops over terms and orders, unrolled in full.
#ifndef DISTRIBUTION_UNROLL
#define DISTRIBUTION_UNROLL _Pragma("GCC unroll 32")
#endif

#endif // DISTRIBUTION_LANES_HPP

// ---------------------------------------------------------------------------
// Per instruction set.
#if defined(DISTRIBUTION_LANES_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_LANES_LANES
#undef DISTRIBUTION_LANES_LANES
#else
#define DISTRIBUTION_LANES_LANES
#endif

#include <hwy/highway.h>

#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The vectors of the evaluation: as many doubles as the instruction set
// holds, at most 8, so that the per-lane tables stay small everywhere; two
// on instruction sets whose vector length is known only at run time.
#if HWY_HAVE_SCALABLE
using Lanes = hn::FixedTag<double, 2>;
#else
using Lanes = hn::CappedTag<double, 8>;
#endif

// The lanes of a block: U vectors of W lanes.
template <class D> struct Block {
    static constexpr std::size_t W = hn::MaxLanes(D()); // lanes of a vector
    static constexpr std::size_t U = 2;                 // vectors of a block
    static constexpr std::size_t B = U * W;             // lanes of a block
};

// The rows of one block, one per lane: lane l has loc_[l], scale_[l] and the
// coefficients (param_[0][l], ..., param_[k_-1][l]), k_ from 2 to max_k.
template <class D> struct RowLanes : Block<D> {
    using Block<D>::B;

    RowLanes(const double *loc_, const double *scale_, const double (*param_)[B], std::size_t k_)
        : k(k_)
    {
        std::memcpy(loc, loc_, sizeof loc);
        std::memcpy(scale, scale_, sizeof scale);
        std::memcpy(param, param_, k * sizeof param[0]);
    }

    std::size_t k;
    HWY_ALIGN double loc[B];
    HWY_ALIGN double scale[B];
    HWY_ALIGN double param[max_k][B];
};

// f applied to each lane of v: the C library's functions, whose exact bits
// the results carry, have no vector form.
template <class D, class F> HWY_INLINE hn::Vec<D> each_lane(D d, hn::Vec<D> v, F f)
{
    HWY_ALIGN double lane[hn::MaxLanes(D())];
    hn::Store(v, d, lane);
    for (std::size_t l = 0; l < hn::Lanes(d); ++l)
        lane[l] = f(lane[l]);
    return hn::Load(d, lane);
}

// v with its NaN lanes replaced by 0, for comparisons: those of SSE and of
// scalar code raise the invalid flag on a NaN operand.
template <class D> HWY_INLINE hn::Vec<D> nan_to_zero(D, hn::Vec<D> v)
{
    return hn::IfThenZeroElse(hn::IsNaN(v), v);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
