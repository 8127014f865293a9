// Second derivatives of the two likelihood terms of the fits, log pdf(x)
// and log P(a < X <= b), with respect to the point (the ends) and the
// coefficients of p; those in loc and scale follow by the chain rule of
// the model that standardises its ends.
//
// With the mass S = int p^2 f, m_j = dS/da_j / S and s_jk = d2S/da_j da_k / S
// (= 2 int x^(j+k) f / S), log S has the Hessian s_jk - m_j m_k, and
//
//     log pdf:  d2/dx2    = 2 (p''/p - (p'/p)^2) - 2 e / (1 + e)^2 / scale^2,
//               d2/dx da_j = 2 (j x^(j-1) / p - x^j p' / p^2),
//               d2/da_j da_k = -2 x^(j+k) / p^2 - (s_jk - m_j m_k),
//
// e = e^-|y|.  For log P, with the gradient g (d_a = -pdf(a) / P,
// d_b = pdf(b) / P, g_j), G_j = g_j + m_j = dV/da_j / V for V = int_a^b p^2 f,
// and the interval's own moments Q_n = int_a^b x^n f / V:
//
//     d2/de2      = d_e (log pdf)'(e) - d_e^2   (e = a or b),   d2/da db = -d_a d_b,
//     d2/de da_j  = d_e (2 e^j / p(e) - m_j) - d_e g_j = 2 e^j d_e / p(e) - d_e G_j,
//     d2/da_j da_k = 2 Q_(j+k) - G_j G_k - (s_jk - m_j m_k),
//
// where d_e / p(e) is finite at a root of p (d_e has p(e)^2 as a factor).
// Q comes from the tails' moments or from the integral over [a, b], as the
// gradient does (interval.hpp), so that it keeps its digits alike.
// Accurate to about 1e-12 of the largest second derivative of the point.
// Beyond |y| = 2^64 they are their limits; invalid rows and NaN points give
// NaN, a root of p at the point NaN for log pdf, and a >= b gives 0.
//
// Compiled once per instruction set.
#include "interval.hpp"

#if defined(DISTRIBUTION_ACCURATE_HESSIAN_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_HESSIAN_LANES
#undef DISTRIBUTION_ACCURATE_HESSIAN_LANES
#else
#define DISTRIBUTION_ACCURATE_HESSIAN_LANES
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The second derivatives in the point x and in the coefficients; for an
// interval x is b, and `a` the terms of the end a.
template <class D, std::size_t K> struct Curvature {
    hn::Vec<D> xx, xp[K], pp[K][K];
    hn::Vec<D> aa, ab, ap[K];
};

namespace detail {
// -(s_jk - m_j m_k), the Hessian of -log S, into pp.
template <std::size_t K, class D>
HWY_INLINE void minus_log_mass(D d, const Row<D> &row, std::size_t at, const hn::Vec<D> (&m)[K], hn::Vec<D> (&pp)[K][K])
{
    mass_curvatures<K>(d, row, at);
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t k = j; k < K; ++k)
            pp[j][k] = hn::MulSub(m[j], m[k], per_pair(d, row, j, k, hn::Load(d, row.mass_curvature[j + k] + at), at));
}

// m_j = dS/da_j / S.
template <std::size_t K, class D> HWY_INLINE void mass_rates(D d, const Row<D> &row, std::size_t at, hn::Vec<D> (&m)[K])
{
    mass_slopes<K>(d, row, at);
    for (std::size_t j = 0; j < K; ++j)
        m[j] = per_coefficient(d, row, j, hn::Load(d, row.mass_slope[2 + j] + at), at);
}

template <std::size_t K, class V> HWY_INLINE void mirror(V (&pp)[K][K])
{
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t k = 0; k < j; ++k)
            pp[j][k] = pp[k][j];
}

// The terms of an end e of an interval: d2/de2 and d2/de da_j, from its
// derivative d_e, the coefficients c_0, c_1 of P~ about it and G.
template <std::size_t K, class D>
HWY_INLINE void end_terms(D d, const Row<D> &row, const Point<D> &p, const hn::Vec<D> (&c)[2], hn::Vec<D> d_e,
                          const hn::Vec<D> (&G)[K], std::size_t at, hn::Vec<D> &ee, hn::Vec<D> (&ep)[K])
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0), two = hn::Set(d, 2.0);
    const hn::Mask<D> root = hn::Eq(c[0], hn::Zero(d));
    const V ratio = hn::IfThenZeroElse(root, hn::Div(d_e, hn::IfThenElse(root, one, c[0]))); // d_e / P~(e)
    const V e = hn::Mul(half_exp(d, p.u), half_exp(d, p.u));
    const V th = hn::Div(hn::Sub(one, e), hn::Add(one, e));
    const V sigma = hn::IfThenElse(p.upper, one, hn::Set(d, -1.0));
    // d_e (log pdf)'(e) = sigma (2 c_1 d_e / c_0 - d_e th) / scale.
    const V slope = hn::Div(hn::Mul(sigma, hn::MulSub(hn::Mul(two, c[1]), ratio, hn::Mul(d_e, th))),
                            hn::Load(d, row.scale_safe + at));
    ee = hn::NegMulAdd(d_e, d_e, slope);
    const V w = reduced(d, row, p.x, at);
    V power = hn::Mul(two, ratio);
    for (std::size_t j = 0; j < K; ++j) {
        ep[j] = hn::NegMulAdd(d_e, G[j], per_coefficient(d, row, j, power, at));
        power = hn::Mul(power, w);
    }
}
} // namespace detail

// The second derivatives of log pdf at the lanes' points.
template <std::size_t K, class D>
HWY_INLINE Curvature<D, K> density_curvature(D d, const Row<D> &row, hn::Vec<D> x_in, hn::Vec<D> y, std::size_t at)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0), two = hn::Set(d, 2.0);
    Curvature<D, K> h;
    V m[K];
    detail::mass_rates<K>(d, row, at, m);
    detail::minus_log_mass<K>(d, row, at, m, h.pp);
    const Point<D> p = locate(d, row, x_in, y, at);
    V c[K];
    about<K>(d, row, p.x, at, p.upper, c);
    const M root = hn::Eq(c[0], zero);
    const V over_c0 = hn::Div(one, hn::IfThenElse(root, one, c[0]));
    const V r1 = hn::Mul(c[1], over_c0), r2 = K > 2 ? hn::Mul(c[K > 2 ? 2 : 1], over_c0) : zero;
    const V s = hn::Load(d, row.scale_safe + at);
    const V e = hn::Mul(half_exp(d, p.u), half_exp(d, p.u)), one_plus_e = hn::Add(one, e);
    const V logistic = hn::Div(hn::Add(e, e), hn::Mul(one_plus_e, one_plus_e));
    h.xx = hn::Div(hn::Sub(hn::Mul(two, hn::NegMulAdd(r1, r1, hn::Mul(two, r2))), logistic), hn::Mul(s, s));
    // x^j / p = 2^nu_j w^j / c_0, and its derivative in y, 2^nu_j
    // (j w^(j-1) s' - sigma w^j c_1 / c_0) / c_0.
    const V w = reduced(d, row, p.x, at), s_reduced = hn::Load(d, row.scale_reduced + at);
    const V sigma_r1 = hn::IfThenElse(p.upper, r1, hn::Neg(r1));
    const V twice = hn::Div(hn::Mul(two, over_c0), s);
    V power = one, lower = zero; // w^j and j w^(j-1)
    V over_p[K];
    for (std::size_t j = 0; j < K; ++j) {
        h.xp[j] = detail::per_coefficient(d, row, j, hn::Mul(twice, hn::NegMulAdd(sigma_r1, power, hn::Mul(lower, s_reduced))), at);
        over_p[j] = hn::Mul(power, over_c0);
        lower = hn::MulAdd(lower, w, power);
        power = hn::Mul(power, w);
    }
    // Beyond: 2 x^(j+k) / p^2 tends to 2 / a^2 at the degree of p, else 0.
    M above = hn::FirstN(d, 0);
    V lead[K];
    for (std::size_t j = K; j-- > 0;) {
        const V a = hn::Load(d, row.coefficient[j] + at);
        const M top = hn::AndNot(above, hn::Ne(a, zero));
        const V safe = hn::IfThenElse(top, a, one);
        lead[j] = hn::IfThenElseZero(top, hn::Div(two, hn::Mul(safe, safe)));
        above = hn::Or(above, top);
    }
    const M undefined = hn::Or(p.nan, hn::AndNot(p.beyond, root));
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t k = j; k < K; ++k) {
            const V near = hn::Mul(two, hn::Mul(over_p[j], over_p[k]));
            const V far_ = j == k ? lead[j] : zero;
            const V term = detail::per_pair(d, row, j, k, hn::IfThenElse(p.beyond, far_, near), at);
            h.pp[j][k] = hn::IfThenElse(undefined, hn::NaN(d), hn::Sub(h.pp[j][k], term));
        }
    detail::mirror<K>(h.pp);
    h.xx = hn::IfThenElse(undefined, hn::NaN(d), hn::IfThenZeroElse(p.beyond, h.xx));
    for (std::size_t j = 0; j < K; ++j)
        h.xp[j] = hn::IfThenElse(undefined, hn::NaN(d), hn::IfThenZeroElse(p.beyond, h.xp[j]));
    return h;
}

// The second derivatives of log P(a < X <= b), from the interval r as
// `between` gives it with Curvature, at the points x_a, x_b.
template <std::size_t K, class D>
HWY_INLINE Curvature<D, K> between_curvature(D d, const Row<D> &row, hn::Vec<D> x_a, hn::Vec<D> x_b,
                                             const Between<D, K> &r, std::size_t at)
{
    using V = hn::Vec<D>;
    Curvature<D, K> h;
    V m[K], G[K];
    detail::mass_rates<K>(d, row, at, m);
    detail::minus_log_mass<K>(d, row, at, m, h.pp);
    for (std::size_t j = 0; j < K; ++j)
        G[j] = hn::Add(r.g.param[j], m[j]);
    const Point<D> pa = locate(d, row, x_a, standardise(d, row, x_a, at), at);
    const Point<D> pb = locate(d, row, x_b, standardise(d, row, x_b, at), at);
    detail::end_terms<K>(d, row, pa, r.c_a, r.d_a, G, at, h.aa, h.ap);
    detail::end_terms<K>(d, row, pb, r.c_b, r.d_b, G, at, h.xx, h.xp);
    h.ab = hn::Neg(hn::Mul(r.d_a, r.d_b));
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t k = j; k < K; ++k)
            h.pp[j][k] = hn::Add(h.pp[j][k], hn::NegMulAdd(G[j], G[k], detail::per_pair(d, row, j, k, hn::Add(r.Q[j + k], r.Q[j + k]), at)));
    detail::mirror<K>(h.pp);
    // r's derivatives are NaN or 0 already where the interval is; the
    // terms built of them follow, but not those of the mass alone.
    const hn::Mask<D> nan = hn::IsNaN(r.log_P);
    const hn::Mask<D> empty = hn::Eq(r.log_P, hn::Set(d, -HUGE_VAL));
    const auto finish = [&](V v) { return hn::IfThenElse(nan, hn::NaN(d), hn::IfThenZeroElse(empty, v)); };
    h.aa = finish(h.aa);
    h.ab = finish(h.ab);
    h.xx = finish(h.xx);
    for (std::size_t j = 0; j < K; ++j) {
        h.ap[j] = finish(h.ap[j]);
        h.xp[j] = finish(h.xp[j]);
        for (std::size_t k = 0; k < K; ++k)
            h.pp[j][k] = finish(h.pp[j][k]);
    }
    return h;
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
