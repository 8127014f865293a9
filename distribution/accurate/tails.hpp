// The distribution function, the survival function and their logarithms.
//
// The tail beyond the point, away from loc (the survival function for
// y >= 0, the distribution function for y < 0), is expanded about the point
// itself:
//
//     int_y^inf P~(t)^2 f(t) dt = sum_{i,j} c_i c_j J_{i+j}(u),   P~(y + tau) = sum_j c_j tau^j,
//
// (below a negative y the same with P~(y - tau), by the symmetry of f), J
// the moments of f beyond the point (series.hpp).  Every J_n is positive
// and of the size of the tail itself, and a root of p near the point shows
// only in c.  Near loc (u < 1) the tail is (mass - I) / S instead, the
// mass beyond loc on its side less the integral I from loc to the point,
// while I is at most half that mass: sums of positive terms, with no
// series to cancel.  The other side is 1 minus the tail, or its log1p, and
// where the tail is the larger side (u <= 32) it is computed apart as
// (mass + I) / S.  Relative error within (64 + 8 kappa) eps on the tail
// side, an ulp of 1 across; the logarithms absolutely alike, finite
// wherever x is: the tail is carried scaled by e^u.
//
// Compiled once per instruction set.
#include "density.hpp"
#include "near_loc.hpp"

#if defined(DISTRIBUTION_ACCURATE_TAILS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_TAILS_LANES
#undef DISTRIBUTION_ACCURATE_TAILS_LANES
#else
#define DISTRIBUTION_ACCURATE_TAILS_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The expansion of the tail about the point: c, the weights
// w_k = sum_i c_i J_{i+k} (so that the tail is sum_k c_k w_k, and its
// derivatives 2 sum_k dc_k w_k), and e^-u in two halves, by which the tail
// is multiplied back where J is scaled (u >= 1).
template <class D, std::size_t K> struct Expansion {
    hn::Vec<D> c[K];
    hn::Vec<D> w[K];
    hn::Vec<D> J[2 * K - 1]; // the moments beyond the point, as scaled
    hn::Vec<D> T;       // sum_k c_k w_k: the tail times S, times e^u where scaled
    hn::Vec<D> e_half;  // e^(-u/2)
    hn::Vec<D> e;       // e^-u
    hn::Vec<D> e_scale; // e_half where scaled, else 1
    hn::Mask<D> scaled; // u >= 1
};

// The expansion at the `wanted` lanes (the others get values of no use).
template <std::size_t K, class D>
HWY_INLINE Expansion<D, K> expand(D d, const Row<D> &row, const Point<D> &p, hn::Mask<D> wanted, std::size_t at)
{
    constexpr std::size_t N = 2 * K - 2;
    Expansion<D, K> x;
    x.e_half = half_exp(d, p.u);
    x.e = hn::Mul(x.e_half, x.e_half);
    hn::Vec<D> *J = x.J;
    shifted_moments<N>(d, p.u, x.e, wanted, J);
    about<K>(d, row, p.x, at, p.upper, x.c);
    x.scaled = hn::Ge(p.u, hn::Set(d, taylor_limit));
    x.e_scale = hn::IfThenElse(x.scaled, x.e_half, hn::Set(d, 1.0));
    x.T = hn::Zero(d);
    for (std::size_t i = 0; i < K; ++i) {
        x.w[i] = hn::Mul(x.c[0], J[i]);
        for (std::size_t j = 1; j < K; ++j)
            x.w[i] = hn::MulAdd(x.c[j], J[i + j], x.w[i]);
        x.T = hn::MulAdd(x.c[i], x.w[i], x.T);
    }
    return x;
}

// The values at one point per lane: the tail beyond the point, the side
// across loc, the logarithm of the tail, and the density where asked for.
template <class D> struct Tail {
    hn::Vec<D> small;     // the tail beyond the point, away from loc
    hn::Vec<D> other;     // the side across loc
    hn::Vec<D> log_small; // its logarithm, where Logs
    hn::Mask<D> upper;    // y >= 0: the tail is the survival function
    hn::Mask<D> nan;      // invalid row or NaN point
    hn::Vec<D> density;       // P~(y)^2 f(y) / S, or
    hn::Vec<D> log_density;   // its logarithm, where asked for,
    hn::Vec<D> density_slope; // and the derivative of the logarithm in y
};

enum class Density { none, linear, logarithm };

namespace detail {
// The lanes near loc whose tail is (mass - I) / S, and I there.
template <std::size_t K, class D>
HWY_INLINE hn::Mask<D> inner_tail(D d, const Row<D> &row, const Point<D> &p, hn::Mask<D> near, hn::Vec<D> beyond_small,
                                  hn::Vec<D> &I, std::size_t at)
{
    if (hn::AllFalse(d, near))
        return hn::FirstN(d, 0);
    I = near_loc<K>(d, row, hn::IfThenElseZero(near, p.ys), at);
    return hn::And(near, hn::Le(hn::Add(I, I), beyond_small));
}

// The logarithm of the tail: of the value itself while it is a normal
// number (an absolute error of an ulp of |log|), else of its factors, e^-u
// scaled out.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> log_tail(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x, hn::Vec<D> small,
                               std::size_t at)
{
    using V = hn::Vec<D>;
    const hn::Mask<D> normal = hn::Ge(small, hn::Set(d, 0x1p-1000)), positive = hn::Gt(x.T, hn::Zero(d));
    const V factors = hn::Sub(hn::Sub(hn::Log(d, hn::IfThenElse(positive, x.T, hn::Set(d, 1.0))),
                                      hn::IfThenElseZero(x.scaled, p.u)),
                              hn::Load(d, row.log_mass + at));
    const V log_factors = hn::IfThenElse(positive, factors, hn::Set(d, -HUGE_VAL));
    const V log_small = hn::IfThenElse(normal, hn::Log(d, hn::IfThenElse(normal, small, hn::Set(d, 1.0))), log_factors);
    return hn::IfThenElse(p.beyond, hn::Neg(p.u_all), log_small);
}

// The density of y at the point and the slope of its logarithm,
// 2 P~'/P~ + (log f)' with (log f)'(y) = -+(1 - e) / (1 + e) and
// P~' = +-c[1] (c is read away from loc).
template <std::size_t K, class D, Density Want>
HWY_INLINE void density_here(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x, std::size_t at,
                             Tail<D> &r)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0);
    const hn::Mask<D> zero = hn::Eq(x.c[0], hn::Zero(d));
    if (Want == Density::linear)
        r.density = density_of_y<K>(d, row, x.c[0], p.x, p.u, x.e_half, at, false, one);
    else
        r.log_density = density_of_y<K>(d, row, x.c[0], p.x, p.u, x.e_half, at, true, one);
    const V outward = hn::Sub(hn::Div(hn::Add(x.c[1], x.c[1]), hn::IfThenElse(zero, one, x.c[0])),
                              hn::Div(hn::Sub(one, x.e), hn::Add(one, x.e)));
    r.density_slope = hn::IfThenZeroElse(zero, hn::IfThenElse(p.upper, outward, hn::Neg(outward)));
}
} // namespace detail

// The tails at the points p of the lanes at `at`;
// lanes outside `live` may take a cheaper path, and their values are not
// used.  Logs: whether log_small is wanted.  With `expansion`, the tail is
// expanded about every point (near loc too), and the expansion kept there:
// the values are the same.
template <std::size_t K, Density Want, bool Logs, class D>
HWY_INLINE Tail<D> tails_at(D d, const Row<D> &row, const Point<D> &p, std::size_t at, hn::Mask<D> live,
                            Expansion<D, K> *expansion = nullptr)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    Tail<D> r;
    r.nan = p.nan;
    r.upper = p.upper;
    const V one = hn::Set(d, 1.0);
    const V S = hn::Load(d, row.mass + at);
    const V above = hn::Load(d, row.mass_above + at), below = hn::Load(d, row.mass_below + at);
    const V beyond_small = hn::IfThenElse(p.upper, above, below);
    const V beyond_other = hn::IfThenElse(p.upper, below, above);
    const M finite = hn::And(live, hn::Not(hn::Or(p.nan, p.beyond)));
    const M near = hn::And(finite, hn::Lt(p.u, hn::Set(d, taylor_limit)));
    V I = hn::Zero(d);
    const M inner = detail::inner_tail<K>(d, row, p, near, beyond_small, I, at);

    const Expansion<D, K> x = expand<K>(d, row, p, expansion ? hn::FirstN(d, Block<D>::W) : hn::Not(inner), at);
    if (expansion)
        *expansion = x;
    const M positive = hn::Gt(x.T, hn::Zero(d));
    r.small = hn::IfThenElseZero(hn::AndNot(p.beyond, positive),
                                 hn::Mul(hn::Div(hn::Mul(x.e_scale, hn::IfThenElse(positive, x.T, one)), S), x.e_scale));

    // Where the tail is the larger side (u <= 32: beyond, the far side's
    // mass is below the rounding of 1), the other side is (mass + I) / S
    // too.  Of two sides computed apart, the smaller is kept and the larger
    // is 1 minus it, so that they add to 1 within half an ulp.
    const M long_tail = hn::AndNot(near, hn::And(finite, hn::And(hn::Gt(r.small, hn::Set(d, 0.875)),
                                                                hn::Le(p.u, hn::Set(d, 32.0)))));
    if (!hn::AllFalse(d, long_tail))
        I = hn::Add(I, between_loc<K>(d, row, hn::IfThenElseZero(long_tail, p.ys), at));
    r.other = hn::Sub(one, r.small);
    const M anchored = hn::Or(near, long_tail);
    if (!hn::AllFalse(d, anchored)) {
        const V small = hn::IfThenElse(inner, hn::Div(hn::Sub(beyond_small, I), S), r.small);
        const V other = hn::Min(hn::Div(hn::Add(beyond_other, I), S), one);
        const M tail_smaller = hn::Le(small, other);
        r.small = hn::IfThenElse(anchored, hn::IfThenElse(tail_smaller, small, hn::Sub(one, other)), r.small);
        r.other = hn::IfThenElse(anchored, hn::IfThenElse(tail_smaller, hn::Sub(one, small), other), r.other);
    }
    if (Logs)
        r.log_small = detail::log_tail<K>(d, row, p, x, r.small, at);
    if (Want != Density::none)
        detail::density_here<K, D, Want>(d, row, p, x, at, r);
    return r;
}

// The distribution function, the survival function and their logarithms
// from the tail: the tail itself on its side, 1 minus it (or its log1p) on
// the other, within [0, 1].
template <class D> HWY_INLINE hn::Vec<D> cdf_of(D d, const Tail<D> &t)
{
    return hn::IfThenElse(t.nan, hn::NaN(d), hn::IfThenElse(t.upper, t.other, t.small));
}

template <class D> HWY_INLINE hn::Vec<D> sf_of(D d, const Tail<D> &t)
{
    return hn::IfThenElse(t.nan, hn::NaN(d), hn::IfThenElse(t.upper, t.small, t.other));
}

// log(other): log1p(-tail) while the tail is at most 1/2, else the
// logarithm of the other side itself.
template <class D> HWY_INLINE hn::Vec<D> log_other(D d, const Tail<D> &t)
{
    const auto half = hn::Le(t.small, hn::Set(d, 0.5));
    const hn::Vec<D> log1p = hn::Log1p(d, hn::Sub(hn::Zero(d), hn::Min(t.small, hn::Set(d, 0.5))));
    const hn::Vec<D> direct = hn::Log(d, hn::Max(t.other, hn::Set(d, 0x1p-1022)));
    return hn::IfThenElse(half, log1p, direct);
}

template <class D> HWY_INLINE hn::Vec<D> logcdf_of(D d, const Tail<D> &t)
{
    return hn::IfThenElse(t.nan, hn::NaN(d), hn::IfThenElse(t.upper, log_other(d, t), t.log_small));
}

template <class D> HWY_INLINE hn::Vec<D> logsf_of(D d, const Tail<D> &t)
{
    return hn::IfThenElse(t.nan, hn::NaN(d), hn::IfThenElse(t.upper, t.log_small, log_other(d, t)));
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
