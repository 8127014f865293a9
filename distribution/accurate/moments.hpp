// The moments of the distribution, in closed form from those of f.
//
// In the standardised variable t = (X - loc) / scale, with P~(t)^2 =
// sum_n beta_n t^n and M_n = int t^n f(t) dt (1, 0, 2 2! eta(2), ...),
//
//     E[t^j] = sum_n beta_n M_(n+j) / sum_n beta_n M_n,
//
// and then mean = loc + scale E[t], var = scale^2 (E[t^2] - E[t]^2) and the
// raw moment E[X^k] = E[(loc + scale t)^k] = sum_j C(k, j) loc^(k-j)
// scale^j E[t^j], k whole from 0 to 12 (any other k gives NaN).  Working in
// t, a large |loc| / scale does not cancel the mean or the variance: E[t]^2
// is at most a few times the variance for a polynomial of degree 5.
//
// Compiled once per instruction set.
#include "row.hpp"

#if defined(DISTRIBUTION_ACCURATE_MOMENTS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_MOMENTS_LANES
#undef DISTRIBUTION_ACCURATE_MOMENTS_LANES
#else
#define DISTRIBUTION_ACCURATE_MOMENTS_LANES
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The largest order of moment served.
constexpr std::size_t max_order = 12;

// E[t^j] for j = 0 .. Orders of the lanes at `at`.
template <std::size_t K, std::size_t Orders, class D>
HWY_INLINE void standard_moments(D d, const Row<D> &row, std::size_t at, hn::Vec<D> *E)
{
    static_assert(2 * K - 2 + Orders < max_moment, "the table of moments of f");
    hn::Vec<D> sums[Orders + 1];
    for (std::size_t j = 0; j <= Orders; ++j)
        sums[j] = hn::Zero(d);
    for (std::size_t n = 0; n <= 2 * K - 2; ++n) {
        const hn::Vec<D> beta = hn::Load(d, row.square[n] + at);
        for (std::size_t j = 0; j <= Orders; ++j)
            if ((n + j) % 2 == 0)
                sums[j] = hn::MulAdd(beta, hn::Set(d, shifted.moment[n + j]), sums[j]);
    }
    for (std::size_t j = 0; j <= Orders; ++j)
        E[j] = hn::Div(sums[j], sums[0]);
}

// mean (Variance: var) of the lanes' rows; NaN for an invalid row.
template <std::size_t K, bool Variance, class D> HWY_INLINE hn::Vec<D> mean_or_var(D d, const Row<D> &row, std::size_t at)
{
    hn::Vec<D> E[3];
    standard_moments<K, 2>(d, row, at, E);
    const hn::Vec<D> s = hn::Load(d, row.scale_safe + at);
    const hn::Vec<D> value = Variance ? hn::Mul(hn::Mul(s, s), hn::Max(hn::NegMulAdd(E[1], E[1], E[2]), hn::Zero(d)))
                                      : hn::MulAdd(s, E[1], hn::Load(d, row.loc_safe + at));
    return hn::IfThenElse(hn::Eq(hn::Load(d, row.usable + at), hn::Zero(d)), hn::NaN(d), value);
}

// E[X^k] of the lanes' rows, k whole from 0 to 12 per lane, else NaN: the
// coefficients q of (loc + scale t)^k in t by k successive products, then
// sum_j q_j E[t^j].
template <std::size_t K, class D> HWY_INLINE hn::Vec<D> raw_moment(D d, const Row<D> &row, hn::Vec<D> k, std::size_t at)
{
    using V = hn::Vec<D>;
    V E[max_order + 1], q[max_order + 1];
    standard_moments<K, max_order>(d, row, at, E);
    const V loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    const V order = nan_to_zero(d, k);
    q[0] = hn::Set(d, 1.0);
    for (std::size_t j = 1; j <= max_order; ++j)
        q[j] = hn::Zero(d);
    for (std::size_t i = 0; i < max_order; ++i) {
        const hn::Mask<D> more = hn::Lt(hn::Set(d, static_cast<double>(i)), order);
        q[i + 1] = hn::IfThenElse(more, hn::Mul(s, q[i]), q[i + 1]);
        for (std::size_t j = i + 1; j-- > 0;)
            q[j] = hn::IfThenElse(more, hn::MulAdd(loc, q[j], j > 0 ? hn::Mul(s, q[j - 1]) : hn::Zero(d)), q[j]);
    }
    V sum = hn::Zero(d);
    for (std::size_t j = max_order + 1; j-- > 0;)
        sum = hn::MulAdd(q[j], E[j], sum);
    const hn::Mask<D> whole = hn::And(hn::Eq(hn::Round(order), order),
                                      hn::And(hn::Ge(order, hn::Zero(d)), hn::Le(order, hn::Set(d, double(max_order)))));
    const hn::Mask<D> defined = hn::And(hn::AndNot(hn::IsNaN(k), whole), hn::Ne(hn::Load(d, row.usable + at), hn::Zero(d)));
    return hn::IfThenElse(defined, sum, hn::NaN(d));
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
