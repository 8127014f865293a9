// Derivatives of the family with respect to x, loc, scale and each
// coefficient of p (p in the units of x).
//
// With theta any of them, the tail T beyond the point and the mass S,
//
//     d small = (dT - small dS) / S,   d log small = dT / T - dS / S,
//
// and dT is a boundary term and an interior one: with P~(y +- tau) =
// sum_k c_k tau^k read away from loc (sign sigma = +1 above loc, -1 below),
// D_k = (k+1) c_(k+1) and the weights w_k = sum_i c_i J_(i+k) of the tail,
//
//     dT/dx     = -sigma c_0^2 f(u) / scale,
//     dT/dloc   =  sigma (c_0^2 f(u) + 2 sum_k D_k w_k) / scale,
//     dT/dscale =  y dT/dloc + 2 sum_k D_k w_(k+1) / scale,
//     dT/da_j   =  2 2^nu_j sum_k binom(j, k) w_x^(j-k) (sigma s')^k w_k,
//
// (w_x = x / R, s' = scale / R, 2^nu_j = 2^sigma R^j), all scaled by e^u
// where the moments are.  dS comes from the Gauss rule of the masses.  The
// density's logarithm has the closed derivatives
//
//     d/dx = sigma (2 c_1 / c_0 - th) / scale,   d/dloc = sigma th / scale - dS/dloc / S,
//     d/dscale = (u th - 1) / scale - dS/dscale / S,   d/da_j = 2 x^j / p(x) - dS/da_j / S,
//
// th = tanh(u / 2).  Accurate to about 1e-12 of the derivative or of the
// value over the scale, whichever is larger.  Invalid rows give NaN; beyond
// |y| = 2^64 the derivatives are their limits: 0 for the probabilities.
//
// Compiled once per instruction set.
#include "tails.hpp"

#if defined(DISTRIBUTION_ACCURATE_GRADIENT_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_GRADIENT_LANES
#undef DISTRIBUTION_ACCURATE_GRADIENT_LANES
#else
#define DISTRIBUTION_ACCURATE_GRADIENT_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Derivatives of one quantity: d/dx, d/dloc, d/dscale and d/da_j.
template <class D, std::size_t K> struct Gradient {
    hn::Vec<D> x, loc, scale, param[K];
};

namespace detail {
// The derivatives of the mass S~ of the lanes at `at`, once per vector:
// dS/dloc = (2 / R) sum P~ p~'(w), dS/dscale = (2 / R) sum t P~ p~'(w) and
// dS/da_j / 2^nu_j = 2 sum P~ w^j over the nodes t of the Gauss rule on
// both sides, w = x / R at x = loc + scale t, p~' the derivative in w.
template <std::size_t K, class D> HWY_INLINE void mass_slopes(D d, const Row<D> &row, std::size_t at)
{
    using V = hn::Vec<D>;
    const std::size_t vector = at / Block<D>::W;
    if (row.slopes_ready[vector])
        return;
    V a[K], slope[K + 2];
    for (std::size_t j = 0; j < K; ++j)
        a[j] = hn::Load(d, row.coefficient[j] + at);
    for (std::size_t j = 0; j < K + 2; ++j)
        slope[j] = hn::Zero(d);
    const V loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    for (std::size_t n = 0; n < 12; ++n) {
        const double t = n < 6 ? gauss_node[n] : -gauss_node[n - 6];
        const V weight = hn::Set(d, 2 * gauss_weight[n % 6]);
        const V w = reduced(d, row, hn::MulAdd(hn::Set(d, t), s, loc), at);
        const V P = horner<K, D>(w, a);
        V derivative = hn::Mul(hn::Set(d, static_cast<double>(K - 1)), a[K - 1]);
        for (std::size_t j = K - 1; j-- > 1;)
            derivative = hn::MulAdd(w, derivative, hn::Mul(hn::Set(d, static_cast<double>(j)), a[j]));
        const V product = hn::Mul(hn::Mul(P, derivative), weight);
        slope[0] = hn::Add(slope[0], product);
        slope[1] = hn::MulAdd(hn::Set(d, t), product, slope[1]);
        V power = hn::Mul(P, weight);
        for (std::size_t j = 0; j < K; ++j) {
            slope[2 + j] = hn::Add(slope[2 + j], power);
            power = hn::Mul(power, w);
        }
    }
    const hn::RebindToSigned<D> di;
    const auto over_R = hn::Load(di, row.exponent_reduction + at);
    const V S = hn::Load(d, row.mass + at);
    for (std::size_t j = 0; j < K + 2; ++j)
        hn::Store(hn::Div(j < 2 ? scale_by(d, slope[j], over_R) : slope[j], S), d, row.mass_slope[j] + at);
    // 2^nu_j = 2^sigma R^j = 2^(sigma - j (-E)), in two factors, as scale_by
    // applies it: the product of v by both is exact where it is a number.
    const auto sigma = hn::ConvertTo(di, hn::Load(d, row.log2_scaling + at));
    auto nu = sigma;
    for (std::size_t j = 0; j < K; ++j) {
        const auto half = hn::ShiftRightSame(nu, 1);
        hn::Store(power_of_two(d, half), d, row.coefficient_scale[0][j] + at);
        hn::Store(power_of_two(d, hn::Sub(nu, half)), d, row.coefficient_scale[1][j] + at);
        nu = hn::Sub(nu, over_R);
    }
    row.slopes_ready[vector] = true;
}

// The second derivatives of the mass, once per vector: d2S / da_j da_k
// = 2^(nu_j + nu_k) 2 int w^(j+k) f, each over S, into mass_curvature[j + k]
// (the same Gauss rule, exact for these degrees).
template <std::size_t K, class D> HWY_INLINE void mass_curvatures(D d, const Row<D> &row, std::size_t at)
{
    using V = hn::Vec<D>;
    constexpr std::size_t N = 2 * K - 1;
    const std::size_t vector = at / Block<D>::W;
    if (row.curvatures_ready[vector])
        return;
    V sum[N];
    for (std::size_t n = 0; n < N; ++n)
        sum[n] = hn::Zero(d);
    const V loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    for (std::size_t i = 0; i < 12; ++i) {
        const double t = i < 6 ? gauss_node[i] : -gauss_node[i - 6];
        const V w = reduced(d, row, hn::MulAdd(hn::Set(d, t), s, loc), at);
        V power = hn::Set(d, 2 * gauss_weight[i % 6]);
        for (std::size_t n = 0; n < N; ++n) {
            sum[n] = hn::Add(sum[n], power);
            power = hn::Mul(power, w);
        }
    }
    const V S = hn::Load(d, row.mass + at);
    for (std::size_t n = 0; n < N; ++n)
        hn::Store(hn::Div(sum[n], S), d, row.mass_curvature[n] + at);
    row.curvatures_ready[vector] = true;
}

// 2^nu_j = 2^sigma R^j times v, exactly.
template <class D>
HWY_INLINE hn::Vec<D> per_coefficient(D d, const Row<D> &row, std::size_t j, hn::Vec<D> v, std::size_t at)
{
    return hn::Mul(hn::Mul(v, hn::Load(d, row.coefficient_scale[0][j] + at)), hn::Load(d, row.coefficient_scale[1][j] + at));
}

// 2^(nu_j + nu_k) times v.
template <class D>
HWY_INLINE hn::Vec<D> per_pair(D d, const Row<D> &row, std::size_t j, std::size_t k, hn::Vec<D> v, std::size_t at)
{
    return per_coefficient(d, row, j, per_coefficient(d, row, k, v, at), at);
}

// The limits beyond |y| = 2^64 of the derivatives of a logarithm that
// falls like -u (with d/dscale of -u = u / scale, and `less` more from
// the density's -log scale): 2 x^j / p(x) tends to 2 / a_j at the degree of
// p and to 0 below it.
template <std::size_t K, class D>
HWY_INLINE Gradient<D, K> far_limits(D d, const Row<D> &row, const Point<D> &p, hn::Vec<D> less, std::size_t at)
{
    using V = hn::Vec<D>;
    Gradient<D, K> g;
    const V s = hn::Load(d, row.scale_safe + at);
    const V sigma = hn::IfThenElse(p.upper, hn::Set(d, 1.0), hn::Set(d, -1.0));
    g.x = hn::Div(hn::Neg(sigma), s);
    g.loc = hn::Div(sigma, s);
    g.scale = hn::Div(hn::Sub(p.u_all, less), s);
    hn::Mask<D> above = hn::FirstN(d, 0); // a coefficient above j is not 0
    for (std::size_t j = K; j-- > 0;) {
        const V a = hn::Load(d, row.coefficient[j] + at);
        const hn::Mask<D> top = hn::AndNot(above, hn::Ne(a, hn::Zero(d)));
        const V lead = hn::IfThenElseZero(top, hn::Div(hn::Set(d, 2.0), hn::IfThenElse(top, a, hn::Set(d, 1.0))));
        g.param[j] = per_coefficient(d, row, j, hn::Sub(lead, hn::Load(d, row.mass_slope[2 + j] + at)), at);
        above = hn::Or(above, top);
    }
    return g;
}

// out[j] = sum_k E_k v_k, j = 0 .. N - 1, with E the coefficients in tau of
// (w_x + sigma s' tau)^j (by successive products), w_x = x / R: against the
// weights or moments v of the tail's expansion, the integrals of w^j (times
// P~ or not) along the tail.
template <std::size_t N, class D>
HWY_INLINE void along_tail(D d, const Row<D> &row, const Point<D> &p, const hn::Vec<D> *v, std::size_t at,
                           hn::Vec<D> (&out)[N])
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0);
    const V sigma = hn::IfThenElse(p.upper, one, hn::Set(d, -1.0));
    const V w_x = reduced(d, row, p.x, at), step = hn::Mul(sigma, hn::Load(d, row.scale_reduced + at));
    V E[N];
    E[0] = one;
    for (std::size_t k = 1; k < N; ++k)
        E[k] = hn::Zero(d);
    for (std::size_t j = 0; j < N; ++j) {
        V G = hn::Zero(d);
        for (std::size_t k = 0; k <= j; ++k)
            G = hn::MulAdd(E[k], v[k], G);
        out[j] = G;
        if (j + 1 < N)
            for (std::size_t k = j + 2; k-- > 0;)
                E[k] = hn::MulAdd(E[k], w_x, k > 0 ? hn::Mul(E[k - 1], step) : hn::Zero(d));
    }
}

template <std::size_t K, class D> HWY_INLINE Gradient<D, K> select(hn::Mask<D> m, const Gradient<D, K> &a, const Gradient<D, K> &b)
{
    Gradient<D, K> g;
    g.x = hn::IfThenElse(m, a.x, b.x);
    g.loc = hn::IfThenElse(m, a.loc, b.loc);
    g.scale = hn::IfThenElse(m, a.scale, b.scale);
    for (std::size_t j = 0; j < K; ++j)
        g.param[j] = hn::IfThenElse(m, a.param[j], b.param[j]);
    return g;
}

template <std::size_t K, class D> HWY_INLINE Gradient<D, K> filled(hn::Vec<D> v)
{
    Gradient<D, K> g;
    g.x = g.loc = g.scale = v;
    for (std::size_t j = 0; j < K; ++j)
        g.param[j] = v;
    return g;
}

template <std::size_t K, class D> HWY_INLINE Gradient<D, K> times(hn::Vec<D> v, const Gradient<D, K> &a)
{
    Gradient<D, K> g;
    g.x = hn::Mul(v, a.x);
    g.loc = hn::Mul(v, a.loc);
    g.scale = hn::Mul(v, a.scale);
    for (std::size_t j = 0; j < K; ++j)
        g.param[j] = hn::Mul(v, a.param[j]);
    return g;
}
} // namespace detail

// The derivatives of the tail T beyond the point (times S~, and e^u where
// the expansion is scaled), from its expansion.
template <std::size_t K, class D>
HWY_INLINE Gradient<D, K> tail_slopes(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x,
                                      std::size_t at)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0);
    const V s = hn::Load(d, row.scale_safe + at);
    const V sigma = hn::IfThenElse(p.upper, one, hn::Set(d, -1.0));
    const V one_plus_e = hn::Add(one, x.e);
    const V f = hn::Div(hn::IfThenElse(x.scaled, one, x.e), hn::Mul(one_plus_e, one_plus_e));
    const V boundary = hn::Mul(hn::Mul(x.c[0], x.c[0]), f);
    V A = hn::Zero(d), B = hn::Zero(d);
    for (std::size_t k = 0; k + 1 < K; ++k) {
        const V D_k = hn::Mul(hn::Set(d, static_cast<double>(k + 1)), x.c[k + 1]);
        A = hn::MulAdd(D_k, x.w[k], A);
        B = hn::MulAdd(D_k, x.w[k + 1], B);
    }
    Gradient<D, K> g;
    g.x = hn::Div(hn::Neg(hn::Mul(sigma, boundary)), s);
    g.loc = hn::Div(hn::Mul(sigma, hn::MulAdd(hn::Set(d, 2.0), A, boundary)), s);
    g.scale = hn::MulAdd(p.ys, g.loc, hn::Div(hn::Add(B, B), s));
    V G[K];
    detail::along_tail<K>(d, row, p, x.w, at, G);
    for (std::size_t j = 0; j < K; ++j)
        g.param[j] = hn::Add(G[j], G[j]); // times 2^nu_j by the caller
    return g;
}

// The moments of w = x / R over the tail beyond the point, relative to the
// tail itself: q_n = int w^n f / T~ for n = 0 .. 2k - 2, from
// (w_x + sigma s' tau)^n = sum_k E_k tau^k against the moments J_k of the
// expansion (scaled alike).  0 where the tail is.
template <std::size_t K, class D>
HWY_INLINE void tail_moments(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x, std::size_t at,
                             hn::Vec<D> (&q)[2 * K - 1])
{
    using V = hn::Vec<D>;
    constexpr std::size_t N = 2 * K - 1;
    const V one = hn::Set(d, 1.0);
    const hn::Mask<D> positive = hn::Gt(x.T, hn::Zero(d));
    const V over_T = hn::IfThenElseZero(positive, hn::Div(one, hn::IfThenElse(positive, x.T, one)));
    detail::along_tail<N>(d, row, p, x.J, at, q);
    for (std::size_t n = 0; n < N; ++n)
        q[n] = hn::Mul(q[n], over_T);
}

// The derivatives of small (Logarithm: of log small) at the lanes' points,
// given the tails and their expansion.
template <std::size_t K, bool Logarithm, class D>
HWY_INLINE Gradient<D, K> small_slopes(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x,
                                       const Tail<D> &t, std::size_t at)
{
    using V = hn::Vec<D>;
    detail::mass_slopes<K>(d, row, at);
    const Gradient<D, K> dT = tail_slopes<K>(d, row, p, x, at);
    const V S = hn::Load(d, row.mass + at);
    const V dS_loc = hn::Load(d, row.mass_slope[0] + at), dS_scale = hn::Load(d, row.mass_slope[1] + at);
    // d log small = dT / T - dS / S; d small = dT e^-u / S - small dS / S,
    // e^-u in its two halves, as the tail itself, so that the derivative
    // underflows only where it is that small.
    const hn::Mask<D> positive = hn::Gt(x.T, hn::Zero(d));
    const V over_T = hn::Div(hn::Set(d, 1.0), hn::IfThenElse(positive, x.T, hn::Set(d, 1.0)));
    const auto tail_part = [&](V dT_v) {
        return Logarithm ? hn::Mul(dT_v, over_T) : hn::Mul(hn::Div(hn::Mul(x.e_scale, dT_v), S), x.e_scale);
    };
    const V mass_factor = Logarithm ? hn::Set(d, 1.0) : t.small;
    Gradient<D, K> g;
    g.x = tail_part(dT.x);
    g.loc = hn::NegMulAdd(mass_factor, dS_loc, tail_part(dT.loc));
    g.scale = hn::NegMulAdd(mass_factor, dS_scale, tail_part(dT.scale));
    for (std::size_t j = 0; j < K; ++j)
        g.param[j] = detail::per_coefficient(
            d, row, j, hn::NegMulAdd(mass_factor, hn::Load(d, row.mass_slope[2 + j] + at), tail_part(dT.param[j])), at);
    return g;
}

// The derivatives of the lanes' side (cdf, or sf if Survival), or of
// its logarithm, at points whose tails t and expansion x are known.
template <std::size_t K, bool Survival, bool Logarithm, class D>
HWY_INLINE Gradient<D, K> side_slopes(D d, const Row<D> &row, const Point<D> &p, const Expansion<D, K> &x,
                                      const Tail<D> &t, std::size_t at)
{
    using V = hn::Vec<D>;
    const hn::Mask<D> on_tail = Survival ? p.upper : hn::Not(p.upper);
    Gradient<D, K> tail;
    if (Logarithm) {
        // The tail's own side: d log small; across: -d small / other.
        const Gradient<D, K> log_small = small_slopes<K, true>(d, row, p, x, t, at);
        const Gradient<D, K> across = detail::times(hn::Div(hn::Set(d, -1.0), hn::Max(t.other, hn::Set(d, 0x1p-1022))),
                                                    small_slopes<K, false>(d, row, p, x, t, at));
        tail = detail::select(on_tail, log_small, across);
        tail = detail::select(hn::And(p.beyond, on_tail), detail::far_limits<K>(d, row, p, hn::Zero(d), at), tail);
    } else {
        const Gradient<D, K> small = small_slopes<K, false>(d, row, p, x, t, at);
        tail = detail::select(on_tail, small, detail::times(hn::Set(d, -1.0), small));
    }
    // Beyond, the probabilities and the log of the side near 1 are flat.
    const hn::Mask<D> flat = Logarithm ? hn::AndNot(on_tail, p.beyond) : p.beyond;
    const Gradient<D, K> g = detail::select(flat, detail::filled<K, D>(hn::Zero(d)), tail);
    return detail::select(p.nan, detail::filled<K, D>(hn::NaN(d)), g);
}

// The density (or its logarithm) and its derivatives at the lanes' points.
template <std::size_t K, bool Logarithm, class D>
HWY_INLINE Gradient<D, K> density_slopes(D d, const Row<D> &row, hn::Vec<D> x_in, hn::Vec<D> y, hn::Vec<D> value,
                                         std::size_t at)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    detail::mass_slopes<K>(d, row, at);
    const Point<D> p = locate(d, row, x_in, y, at);
    V c[K];
    about<K>(d, row, p.x, at, p.upper, c);
    const V one = hn::Set(d, 1.0), two = hn::Set(d, 2.0);
    const V s = hn::Load(d, row.scale_safe + at);
    const V sigma = hn::IfThenElse(p.upper, one, hn::Set(d, -1.0));
    const V e_half = half_exp(d, p.u), e = hn::Mul(e_half, e_half);
    const V th = hn::Div(hn::Sub(one, e), hn::Add(one, e));
    // q = value / c_0 for the density, where c_0 may be 0; 1 / c_0 for the
    // logarithm (NaN at a root of p, where the logarithm is -inf).
    const M root = hn::Eq(c[0], hn::Zero(d));
    const V c0 = hn::IfThenElse(root, one, c[0]);
    const V q = Logarithm ? hn::Div(one, c0)
                          : density_of_y<K>(d, row, c[0], p.x, p.u, e_half, at, false, hn::Mul(s, c0));
    const V factor = Logarithm ? one : hn::IfThenZeroElse(root, value); // the density, 1 for the logarithm
    const V S_loc = hn::Load(d, row.mass_slope[0] + at), S_scale = hn::Load(d, row.mass_slope[1] + at);
    Gradient<D, K> g;
    g.x = hn::Div(hn::Mul(sigma, hn::Sub(hn::Mul(hn::Mul(two, c[1]), q), hn::Mul(factor, th))), s);
    g.loc = hn::Mul(factor, hn::Sub(hn::Div(hn::Mul(sigma, th), s), S_loc));
    g.scale = hn::Mul(factor, hn::Sub(hn::Div(hn::MulSub(p.u, th, one), s), S_scale));
    const V w_x = reduced(d, row, p.x, at);
    V power = hn::Mul(two, q);
    for (std::size_t j = 0; j < K; ++j) {
        g.param[j] = detail::per_coefficient(
            d, row, j, hn::NegMulAdd(factor, hn::Load(d, row.mass_slope[2 + j] + at), power), at);
        power = hn::Mul(power, w_x);
    }
    const Gradient<D, K> beyond = Logarithm ? detail::far_limits<K>(d, row, p, one, at) : detail::filled<K, D>(hn::Zero(d));
    g = detail::select(p.beyond, beyond, g);
    const M undefined = Logarithm ? hn::Or(p.nan, hn::AndNot(p.beyond, root)) : p.nan;
    return detail::select(undefined, detail::filled<K, D>(hn::NaN(d)), g);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
