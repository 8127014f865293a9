// The probability of an interval, P(a < X <= b), its logarithm and the
// derivatives of the logarithm: the likelihood term of an ordered model.
//
// From the tails at a and b: on one side of loc the difference of the two
// tails, near - far, while the far one is at most 3/4 of the near one;
// across loc 1 minus both, while they leave at least 1/4 (the difference
// loses at most 3 bits then, well within the condition of P).  Otherwise (a and b
// close, both in one far tail, or nearly all the mass outside) the integral
// over [a, b] itself, by panels of Gauss-Legendre, scaled by e^u of the end
// nearer loc so that it underflows only where its value does: a sum of
// positive terms, in which b - a enters exactly.  Relative error within
// (64 + 8 kappa) eps, the logarithm absolutely alike.  a >= b gives 0 (-inf,
// and derivatives 0); a NaN point or row NaN.
//
//     d log P / d a = -pdf(a) / P,   d log P / d b = pdf(b) / P,
//
// and with respect to loc, scale and the coefficients, from the derivatives
// of the tails (gradient.hpp) or, where the integral is taken, from the
// integrals of the derivatives of the integrand in x, with p fixed:
//
//     dV/dloc = int P^2 f th dt / scale,   dV/dscale = int P^2 f (t th - 1) dt / scale,
//     dV/da_j = 2 int P (loc + scale t)^j f dt,      th = tanh(t / 2).
//
// Compiled once per instruction set.
#include "gradient.hpp"

#if defined(DISTRIBUTION_ACCURATE_INTERVAL_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_INTERVAL_LANES
#undef DISTRIBUTION_ACCURATE_INTERVAL_LANES
#else
#define DISTRIBUTION_ACCURATE_INTERVAL_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The probability of the lanes' intervals, its logarithm and, where asked
// for, the derivatives of the logarithm.
template <class D, std::size_t K> struct Between {
    hn::Vec<D> P, log_P;
    hn::Vec<D> d_a, d_b;
    Gradient<D, K> g; // x unused
    // With Curvature: the moments of w = x / R over the interval relative
    // to its P~^2 f, Q_n = int_a^b w^n f / int_a^b P~^2 f (n = 0 .. 2k - 2),
    // and the coefficients c_0, c_1 of P~ about each end.
    hn::Vec<D> Q[2 * K - 1];
    hn::Vec<D> c_a[2], c_b[2];
};

namespace detail {
// int from y_a over the width of P~^2 f e^u_ref (u_ref at most |t| there;
// at most 32 panels) into V[0]; with Slopes, the integrals of the
// derivatives of the integrand, in loc, scale and each coefficient, into
// V[1 .. K + 2]; with Curvature, those of w^n f, n = 0 .. 2K - 2, after them.
template <std::size_t K, bool Slopes, bool Curvature, std::size_t Sums, class D>
HWY_INLINE void integrate(D d, const Row<D> &row, hn::Vec<D> y_a, hn::Vec<D> width, hn::Vec<D> u_ref,
                          std::size_t at, hn::Vec<D> (&V)[Sums])
{
    using W = hn::Vec<D>;
    const W one = hn::Set(d, 1.0);
    const W loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    const W e_ref = hn::Mul(half_exp(d, u_ref), half_exp(d, u_ref));
    W a[K];
    for (std::size_t j = 0; j < K; ++j)
        a[j] = hn::Load(d, row.coefficient[j] + at);
    gauss_panels(d, y_a, width, V, [&](W t, W weight, W(&panel)[Sums]) {
        const W w = reduced(d, row, hn::MulAdd(t, s, loc), at);
        const W P = horner<K, D>(w, a);
        // f(t) e^u_ref = e' / (1 + e' e^-u_ref)^2, e' = e^(u_ref - |t|).
        const W e_shift = hn::Exp(d, hn::Min(hn::Sub(u_ref, hn::Abs(t)), hn::Zero(d)));
        const W one_plus_e = hn::MulAdd(e_shift, e_ref, one);
        const W F = hn::Div(hn::Mul(e_shift, weight), hn::Mul(one_plus_e, one_plus_e));
        const W Pf = hn::Mul(P, F);
        const W P2f = hn::Mul(P, Pf);
        panel[0] = hn::Add(panel[0], P2f);
        if (Slopes) {
            const W e = hn::Mul(e_shift, e_ref);
            const W th = hn::CopySign(hn::Div(hn::Sub(one, e), hn::Add(one, e)), t);
            panel[1] = hn::MulAdd(P2f, th, panel[1]);
            panel[2] = hn::MulAdd(P2f, hn::MulSub(t, th, one), panel[2]);
            W power = hn::Add(Pf, Pf);
            for (std::size_t j = 0; j < K; ++j) {
                panel[3 + j] = hn::Add(panel[3 + j], power);
                power = hn::Mul(power, w);
            }
        }
        if (Curvature) {
            W power = F;
            for (std::size_t n = 0; n < 2 * K - 1; ++n) {
                panel[K + 3 + n] = hn::Add(panel[K + 3 + n], power);
                power = hn::Mul(power, w);
            }
        }
    });
}

// d log P from the log-derivatives r of the two tails, near and far, of
// one side: P = near - far = near (1 - rho), rho = far / near, so
// d log P = (r_near - rho r_far) / (1 - rho).
template <class D> HWY_INLINE hn::Vec<D> difference(hn::Vec<D> r_near, hn::Vec<D> r_far, hn::Vec<D> rho, hn::Vec<D> over)
{
    return hn::Mul(hn::NegMulAdd(rho, r_far, r_near), over);
}
} // namespace detail

// P(a < X <= b) at the lanes' intervals, from the points x_a, x_b; with
// Curvature (and Slopes) also what the second derivatives need.
template <std::size_t K, bool Slopes, bool Curvature = false, class D>
HWY_INLINE Between<D, K> between(D d, const Row<D> &row, hn::Vec<D> x_a, hn::Vec<D> x_b, std::size_t at)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    const V one = hn::Set(d, 1.0), zero = hn::Zero(d);
    const M all = hn::FirstN(d, Block<D>::W);
    const V y_a = standardise(d, row, x_a, at), y_b = standardise(d, row, x_b, at);
    const Point<D> pa = locate(d, row, x_a, y_a, at), pb = locate(d, row, x_b, y_b, at);
    Expansion<D, K> ea, eb;
    const Tail<D> ta = tails_at<K, Density::none, true>(d, row, pa, at, all, Slopes ? &ea : nullptr);
    const Tail<D> tb = tails_at<K, Density::none, true>(d, row, pb, at, all, Slopes ? &eb : nullptr);
    const M nan = hn::Or(pa.nan, pb.nan);
    const M empty = hn::AndNot(nan, hn::Not(hn::Lt(nan_to_zero(d, x_a), nan_to_zero(d, x_b))));
    // Which side: both above loc (a near, b far), both below (b near, a
    // far), or across.
    const M above = pa.upper, below = hn::Not(pb.upper), across = hn::AndNot(above, pb.upper);
    const V near = hn::IfThenElse(above, ta.small, tb.small), far = hn::IfThenElse(above, tb.small, ta.small);
    const V log_near = hn::IfThenElse(above, ta.log_small, tb.log_small);
    const V log_far = hn::IfThenElse(above, tb.log_small, ta.log_small);
    // rho = far / near, from the logarithms: both may underflow.
    const V log_rho = hn::Sub(log_far, hn::IfThenElse(hn::IsFinite(log_near), log_near, zero));
    const V rho = hn::IfThenZeroElse(across, hn::Exp(d, hn::Max(hn::Min(log_rho, zero), hn::Set(d, -800.0))));
    const V outside = hn::Add(ta.small, tb.small);
    // (An end beyond 2^64, infinite ones included, is never within 32.)
    const V width = hn::IfThenElse(hn::Or(pa.beyond, pb.beyond), hn::Set(d, HUGE_VAL), hn::Abs(hn::Sub(pb.ys, pa.ys)));
    const V most = hn::Set(d, 0.75);
    const M cancels = hn::Or(hn::And(across, hn::Gt(outside, most)), hn::AndNot(across, hn::Gt(rho, most)));
    const M direct = hn::AndNot(hn::Or(nan, empty), hn::And(hn::Le(nan_to_zero(d, width), hn::Set(d, 32.0)), cancels));

    // The share left, 1 - rho or 1 - outside: at least 1/4 unless the
    // integral is taken instead (or the interval is wider than 32 scale
    // units), and kept from 0 so that no logarithm or quotient of it flags.
    const V less = hn::Min(hn::IfThenElse(across, outside, rho), hn::Set(d, 1 - 0x1p-53));
    Between<D, K> r;
    r.P = hn::IfThenElse(across, hn::Sub(one, outside), hn::Sub(near, far));
    r.log_P = hn::IfThenElse(across, hn::Log1p(d, hn::Neg(less)), hn::Add(log_near, hn::Log1p(d, hn::Neg(less))));
    if (Slopes) {
        // The tails' log-derivatives, x included; across, d log P =
        // -(d small_a + d small_b) / P.
        Gradient<D, K> ra = small_slopes<K, true>(d, row, pa, ea, ta, at), rb = small_slopes<K, true>(d, row, pb, eb, tb, at);
        const M a_beyond = pa.beyond, b_beyond = pb.beyond;
        ra = detail::select(a_beyond, detail::filled<K, D>(zero), ra);
        rb = detail::select(b_beyond, detail::filled<K, D>(zero), rb);
        const V over = hn::Div(one, hn::Sub(one, less));
        const V across_a = hn::Mul(hn::Neg(ta.small), over), across_b = hn::Mul(hn::Neg(tb.small), over);
        const auto combine = [&](V a_part, V b_part) {
            const V rn = hn::IfThenElse(above, a_part, b_part), rf = hn::IfThenElse(above, b_part, a_part);
            return hn::IfThenElse(across, hn::MulAdd(across_a, a_part, hn::Mul(across_b, b_part)),
                                  detail::difference<D>(rn, rf, rho, over));
        };
        r.g.loc = combine(ra.loc, rb.loc);
        r.g.scale = combine(ra.scale, rb.scale);
        for (std::size_t j = 0; j < K; ++j)
            r.g.param[j] = combine(ra.param[j], rb.param[j]);
        r.d_a = combine(ra.x, zero);
        r.d_b = combine(zero, rb.x);
        if (Curvature) {
            // int_a^b w^n f from the tails' moments alike; across, the
            // moment over the whole line, S Q = M - T_a q_a - T_b q_b.
            V qa[2 * K - 1], qb[2 * K - 1];
            tail_moments<K>(d, row, pa, ea, at, qa);
            tail_moments<K>(d, row, pb, eb, at, qb);
            detail::mass_curvatures<K>(d, row, at);
            for (std::size_t n = 0; n < 2 * K - 1; ++n) {
                const V whole = hn::Mul(hn::Mul(hn::Set(d, 0.5), hn::Load(d, row.mass_curvature[n] + at)), over);
                r.Q[n] = hn::Add(combine(hn::IfThenZeroElse(a_beyond, qa[n]), hn::IfThenZeroElse(b_beyond, qb[n])),
                                 hn::IfThenElseZero(across, whole));
            }
            r.c_a[0] = ea.c[0];
            r.c_a[1] = ea.c[1];
            r.c_b[0] = eb.c[0];
            r.c_b[1] = eb.c[1];
        }
    }
    if (!hn::AllFalse(d, direct)) {
        // Scaled by the e^u of the end nearer loc (1 across loc).
        const V u_ref = hn::IfThenZeroElse(across, hn::Min(pa.u, pb.u));
        constexpr std::size_t Sums = Slopes ? K + 3 + (Curvature ? 2 * K - 1 : 0) : 1;
        V I[Sums];
        // b - a enters exactly (Sterbenz, where a and b are close).  The
        // other lanes see 0 here, so that no end of theirs (+-inf, NaN)
        // raises a flag in this branch.
        const V exact = hn::Div(hn::Sub(hn::IfThenElseZero(direct, x_b), hn::IfThenElseZero(direct, x_a)),
                                hn::Load(d, row.scale_safe + at));
        detail::integrate<K, Slopes, Curvature>(d, row, hn::IfThenElseZero(direct, y_a), hn::IfThenElse(direct, exact, one),
                                     hn::IfThenElseZero(direct, u_ref), at, I);
        const V e_half = half_exp(d, u_ref);
        const V S = hn::Load(d, row.mass + at);
        const M positive = hn::Gt(I[0], zero);
        const V I0 = hn::IfThenElse(positive, I[0], one);
        r.P = hn::IfThenElse(direct, hn::Mul(hn::Div(hn::Mul(I[0], e_half), S), e_half), r.P);
        r.log_P = hn::IfThenElse(direct, hn::IfThenElse(positive, hn::Sub(hn::Sub(hn::Log(d, I0), u_ref),
                                                                            hn::Load(d, row.log_mass + at)),
                                                        hn::Set(d, -HUGE_VAL)),
                                 r.log_P);
        if (Slopes) {
            // d log P = dI / I - dS / S; at the ends -+ P~^2 f e^u_ref / (scale I).
            const V s = hn::Load(d, row.scale_safe + at);
            const V sI = hn::Mul(s, I0);
            const auto end = [&](const Point<D> &p, V y) {
                const V P = P_at<K>(d, row, p.x, at);
                const V e_shift = hn::Exp(d, hn::Max(hn::Min(hn::Sub(u_ref, hn::Abs(y)), zero), hn::Set(d, -800.0)));
                const V one_plus_e = hn::MulAdd(e_shift, hn::Mul(e_half, e_half), one);
                return hn::Div(hn::Mul(hn::Mul(P, P), hn::Div(e_shift, hn::Mul(one_plus_e, one_plus_e))), sI);
            };
            r.d_a = hn::IfThenElse(direct, hn::Neg(end(pa, hn::IfThenElseZero(direct, y_a))), r.d_a);
            r.d_b = hn::IfThenElse(direct, end(pb, hn::IfThenElseZero(direct, y_b)), r.d_b);
            r.g.loc = hn::IfThenElse(direct, hn::Sub(hn::Div(I[1], sI), hn::Load(d, row.mass_slope[0] + at)), r.g.loc);
            r.g.scale = hn::IfThenElse(direct, hn::Sub(hn::Div(I[2], sI), hn::Load(d, row.mass_slope[1] + at)), r.g.scale);
            for (std::size_t j = 0; j < K; ++j)
                r.g.param[j] = hn::IfThenElse(
                    direct,
                    detail::per_coefficient(d, row, j, hn::Sub(hn::Div(I[3 + j], I0), hn::Load(d, row.mass_slope[2 + j] + at)), at),
                    r.g.param[j]);
            if (Curvature)
                for (std::size_t n = 0; n < 2 * K - 1; ++n)
                    r.Q[n] = hn::IfThenElse(direct, hn::Div(I[K + 3 + n], I0), r.Q[n]);
        }
    }
    r.P = hn::IfThenElse(nan, hn::NaN(d), hn::IfThenZeroElse(empty, r.P));
    r.log_P = hn::IfThenElse(nan, hn::NaN(d), hn::IfThenElse(empty, hn::Set(d, -HUGE_VAL), r.log_P));
    if (Slopes) {
        const auto finish = [&](V v) { return hn::IfThenElse(nan, hn::NaN(d), hn::IfThenZeroElse(empty, v)); };
        r.d_a = finish(r.d_a);
        r.d_b = finish(r.d_b);
        r.g.loc = finish(r.g.loc);
        r.g.scale = finish(r.g.scale);
        for (std::size_t j = 0; j < K; ++j)
            r.g.param[j] = finish(r.g.param[j]);
        if (Curvature)
            for (std::size_t n = 0; n < 2 * K - 1; ++n)
                r.Q[n] = finish(r.Q[n]);
    }
    return r;
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
