// The probability of an interval, P(a < X <= b), its logarithm and the
// derivatives of the logarithm: the likelihood term of an ordered model.
//
// An interval of at most one scale unit is the integral over [a, b]
// itself, by one panel of Gauss-Legendre, scaled by e^u of the end nearer
// loc so that it underflows only where its value does: a sum of positive
// terms, in which b - a enters exactly, and cheaper than the two tails.
// A wider one comes from the tails at a and b: on one side of loc the
// difference of the two tails, near - far, while the far one is at most 3/4
// of the near one; across loc 1 minus both, while they leave at least 1/4
// (the difference loses at most 3 bits then, well within the condition of
// P).  Otherwise (both in one far tail, or nearly all the mass outside) the
// integral again, by panels of width at most 1.  Relative error within
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
// int from y_a over the width of P~^2 f e^u_ref into V[0], by panels whose
// logistic factor is e over^2, e = e^(u_ref - sigma t) (sigma = +-1, lead
// its exponent at y_a: gauss_panels); with Slopes, the integrals of the
// derivatives of the integrand, in loc, scale and each coefficient, into
// V[1 .. K + 2]; with Curvature, those of w^n f, n = 0 .. 2K - 2, after them.
template <std::size_t K, bool Slopes, bool Curvature, std::size_t Sums, class D>
HWY_INLINE void integrate(D d, const Row<D> &row, hn::Vec<D> y_a, hn::Vec<D> width, hn::Vec<D> sigma, hn::Vec<D> lead,
                          hn::Vec<D> u_ref, std::size_t at, hn::Vec<D> (&V)[Sums])
{
    using W = hn::Vec<D>;
    const W one = hn::Set(d, 1.0);
    // w = x / R at x = loc + scale t, the scaling by R exact.
    const W loc = reduced(d, row, hn::Load(d, row.loc_safe + at), at), s = hn::Load(d, row.scale_reduced + at);
    const W e_ref = hn::Mul(half_exp(d, u_ref), half_exp(d, u_ref));
    W a[K];
    for (std::size_t j = 0; j < K; ++j)
        a[j] = hn::Load(d, row.coefficient[j] + at);
    gauss_panels(d, y_a, width, sigma, lead, e_ref, V, [&](W t, W e, W over, W weight, W(&panel)[Sums]) {
        const W w = hn::MulAdd(t, s, loc);
        const W P = horner<K, D>(w, a);
        // f(t) e^u_ref = e / (1 + e e^-u_ref)^2.
        const W F = hn::Mul(hn::Mul(e, weight), hn::Mul(over, over));
        const W Pf = hn::Mul(P, F);
        const W P2f = hn::Mul(P, Pf);
        panel[0] = hn::Add(panel[0], P2f);
        if (Slopes) {
            // tanh(t / 2), whichever the sign of sigma t.
            const W th = hn::CopySign(hn::Mul(hn::NegMulAdd(e, e_ref, one), over), t);
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

// How the tails at the two ends make P: their difference on one side,
// rho = far / near, or 1 minus both across, outside = their sum; `less`
// the share left out, rho or outside.
template <class D> struct Sides {
    hn::Mask<D> above, across;
    hn::Vec<D> rho, less, over; // over = 1 / (1 - less)
};

// The derivatives of log P from those of the tails, at the lanes whose P
// is their difference (the others are replaced).
template <std::size_t K, bool Curvature, class D>
HWY_INLINE void tail_slopes(D d, const Row<D> &row, const Point<D> &pa, const Point<D> &pb, const Expansion<D, K> &ea,
                            const Expansion<D, K> &eb, const Tail<D> &ta, const Tail<D> &tb, const Sides<D> &sides,
                            std::size_t at, Between<D, K> &r)
{
    using V = hn::Vec<D>;
    const V zero = hn::Zero(d);
    // The tails' log-derivatives, x included; across, d log P =
    // -(d small_a + d small_b) / P.
    Gradient<D, K> ra = small_slopes<K, true>(d, row, pa, ea, ta, at), rb = small_slopes<K, true>(d, row, pb, eb, tb, at);
    ra = select(pa.beyond, filled<K, D>(zero), ra);
    rb = select(pb.beyond, filled<K, D>(zero), rb);
    const V across_a = hn::Mul(hn::Neg(ta.small), sides.over), across_b = hn::Mul(hn::Neg(tb.small), sides.over);
    const auto combine = [&](V a_part, V b_part) {
        const V rn = hn::IfThenElse(sides.above, a_part, b_part), rf = hn::IfThenElse(sides.above, b_part, a_part);
        return hn::IfThenElse(sides.across, hn::MulAdd(across_a, a_part, hn::Mul(across_b, b_part)),
                              difference<D>(rn, rf, sides.rho, sides.over));
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
        mass_curvatures<K>(d, row, at);
        for (std::size_t n = 0; n < 2 * K - 1; ++n) {
            const V whole = hn::Mul(hn::Mul(hn::Set(d, 0.5), hn::Load(d, row.mass_curvature[n] + at)), sides.over);
            r.Q[n] = hn::Add(combine(hn::IfThenZeroElse(pa.beyond, qa[n]), hn::IfThenZeroElse(pb.beyond, qb[n])),
                             hn::IfThenElseZero(sides.across, whole));
        }
    }
}

// P from the tails at both ends, at the `live` lanes (the others get
// values of no use), and the lanes where the tails would cancel.
template <std::size_t K, bool Slopes, bool Curvature, class D>
HWY_INLINE hn::Mask<D> from_tails(D d, const Row<D> &row, const Point<D> &pa, const Point<D> &pb, hn::Mask<D> live,
                                  std::size_t at, Between<D, K> &r)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    const V one = hn::Set(d, 1.0), zero = hn::Zero(d);
    Expansion<D, K> ea, eb;
    const Tail<D> ta = tails_at<K, Density::none, true>(d, row, pa, at, live, Slopes ? &ea : nullptr);
    const Tail<D> tb = tails_at<K, Density::none, true>(d, row, pb, at, live, Slopes ? &eb : nullptr);
    // Which side: both above loc (a near, b far), both below (b near, a
    // far), or across.
    Sides<D> sides;
    sides.above = pa.upper;
    sides.across = hn::AndNot(pa.upper, pb.upper);
    const V near = hn::IfThenElse(sides.above, ta.small, tb.small), far = hn::IfThenElse(sides.above, tb.small, ta.small);
    const V log_near = hn::IfThenElse(sides.above, ta.log_small, tb.log_small);
    const V log_far = hn::IfThenElse(sides.above, tb.log_small, ta.log_small);
    // rho = far / near, from the logarithms: both may underflow.
    const V log_rho = hn::Sub(log_far, hn::IfThenElse(hn::IsFinite(log_near), log_near, zero));
    sides.rho = hn::IfThenZeroElse(sides.across, hn::Exp(d, hn::Max(hn::Min(log_rho, zero), hn::Set(d, -800.0))));
    const V outside = hn::Add(ta.small, tb.small);
    const V most = hn::Set(d, 0.75);
    const M cancels = hn::Or(hn::And(sides.across, hn::Gt(outside, most)), hn::AndNot(sides.across, hn::Gt(sides.rho, most)));
    // The share left, 1 - rho or 1 - outside: at least 1/4 unless the
    // integral is taken instead (or the interval is wider than 32 scale
    // units), and kept from 0 so that no logarithm or quotient of it flags.
    sides.less = hn::Min(hn::IfThenElse(sides.across, outside, sides.rho), hn::Set(d, 1 - 0x1p-53));
    const V log_left = hn::Log1p(d, hn::Neg(sides.less));
    r.P = hn::IfThenElse(sides.across, hn::Sub(one, outside), hn::Sub(near, far));
    r.log_P = hn::IfThenElse(sides.across, log_left, hn::Add(log_near, log_left));
    if (Slopes) {
        sides.over = hn::Div(one, hn::Sub(one, sides.less));
        tail_slopes<K, Curvature>(d, row, pa, pb, ea, eb, ta, tb, sides, at, r);
        if (Curvature) {
            r.c_a[0] = ea.c[0];
            r.c_a[1] = ea.c[1];
            r.c_b[0] = eb.c[0];
            r.c_b[1] = eb.c[1];
        }
    }
    return cancels;
}

// P from the integral over [a, b] at the `direct` lanes, scaled by the e^u
// of the end nearer loc (1 across loc), into r.
template <std::size_t K, bool Slopes, bool Curvature, class D>
HWY_INLINE void from_integral(D d, const Row<D> &row, const Point<D> &pa, const Point<D> &pb, hn::Vec<D> x_a,
                              hn::Vec<D> x_b, hn::Mask<D> direct, std::size_t at, Between<D, K> &r)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0), zero = hn::Zero(d);
    const hn::Mask<D> across = hn::AndNot(pa.upper, pb.upper), below = hn::Not(pb.upper);
    const V u_ref = hn::IfThenZeroElse(across, hn::Min(pa.u, pb.u));
    constexpr std::size_t Sums = Slopes ? K + 3 + (Curvature ? 2 * K - 1 : 0) : 1;
    V I[Sums];
    // b - a enters exactly (Sterbenz, where a and b are close).  The
    // other lanes see 0 here, so that no end of theirs (+-inf, NaN)
    // raises a flag in this branch.
    const V s = hn::Load(d, row.scale_safe + at);
    const V exact = hn::Div(hn::Sub(hn::IfThenElseZero(direct, x_b), hn::IfThenElseZero(direct, x_a)), s);
    const V y_a = hn::IfThenElseZero(direct, pa.ys);
    // e^(u_ref - |t|) at a: 1 above loc, e^-(b - a) below, e^-y_a across
    // (where |t| is taken as t: no exponent there exceeds 33).
    const V lead = hn::IfThenElse(across, hn::Neg(y_a), hn::IfThenElseZero(below, hn::Neg(exact)));
    detail::integrate<K, Slopes, Curvature>(d, row, y_a, hn::IfThenElse(direct, exact, one),
                                            hn::IfThenElse(below, hn::Set(d, -1.0), one), hn::IfThenElseZero(direct, lead),
                                            hn::IfThenElseZero(direct, u_ref), at, I);
    const V e_half = half_exp(d, u_ref);
    const V S = hn::Load(d, row.mass + at);
    const hn::Mask<D> positive = hn::Gt(I[0], zero);
    const V I0 = hn::IfThenElse(positive, I[0], one);
    r.P = hn::IfThenElse(direct, hn::Mul(hn::Div(hn::Mul(I[0], e_half), S), e_half), r.P);
    const V log_P = hn::Sub(hn::Sub(hn::Log(d, I0), u_ref), hn::Load(d, row.log_mass + at));
    r.log_P = hn::IfThenElse(direct, hn::IfThenElse(positive, log_P, hn::Set(d, -HUGE_VAL)), r.log_P);
    if (Slopes) {
        // d log P = dI / I - dS / S; at the ends -+ P~^2 f e^u_ref / (scale I).
        detail::mass_slopes<K>(d, row, at);
        const V sI = hn::Mul(s, I0);
        const auto end = [&](const Point<D> &p) {
            const V P = P_at<K>(d, row, p.x, at);
            const V u = hn::IfThenElseZero(direct, p.u);
            const V e_shift = hn::Exp(d, hn::Max(hn::Min(hn::Sub(u_ref, u), zero), hn::Set(d, -800.0)));
            const V one_plus_e = hn::MulAdd(e_shift, hn::Mul(e_half, e_half), one);
            return hn::Div(hn::Mul(hn::Mul(P, P), hn::Div(e_shift, hn::Mul(one_plus_e, one_plus_e))), sI);
        };
        r.d_a = hn::IfThenElse(direct, hn::Neg(end(pa)), r.d_a);
        r.d_b = hn::IfThenElse(direct, end(pb), r.d_b);
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

// r at NaN lanes NaN, at empty ones P = 0 (log P = -inf, derivatives 0).
template <std::size_t K, bool Slopes, bool Curvature, class D>
HWY_INLINE void finish(D d, hn::Mask<D> nan, hn::Mask<D> empty, Between<D, K> &r)
{
    using V = hn::Vec<D>;
    r.P = hn::IfThenElse(nan, hn::NaN(d), hn::IfThenZeroElse(empty, r.P));
    r.log_P = hn::IfThenElse(nan, hn::NaN(d), hn::IfThenElse(empty, hn::Set(d, -HUGE_VAL), r.log_P));
    if (!Slopes)
        return;
    const auto cleared = [&](V v) { return hn::IfThenElse(nan, hn::NaN(d), hn::IfThenZeroElse(empty, v)); };
    r.d_a = cleared(r.d_a);
    r.d_b = cleared(r.d_b);
    r.g.loc = cleared(r.g.loc);
    r.g.scale = cleared(r.g.scale);
    for (std::size_t j = 0; j < K; ++j)
        r.g.param[j] = cleared(r.g.param[j]);
    if (Curvature)
        for (std::size_t n = 0; n < 2 * K - 1; ++n)
            r.Q[n] = cleared(r.Q[n]);
}
} // namespace detail

// P(a < X <= b) at the lanes' intervals, from the points x_a, x_b; with
// Curvature (and Slopes) also what the second derivatives need.  An
// interval of at most one scale unit is integrated whatever its tails: its
// one panel costs less than the tails at both ends.
template <std::size_t K, bool Slopes, bool Curvature = false, class D>
HWY_INLINE Between<D, K> between(D d, const Row<D> &row, hn::Vec<D> x_a, hn::Vec<D> x_b, std::size_t at)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    const V zero = hn::Zero(d);
    const V y_a = standardise(d, row, x_a, at), y_b = standardise(d, row, x_b, at);
    const Point<D> pa = locate(d, row, x_a, y_a, at), pb = locate(d, row, x_b, y_b, at);
    const M nan = hn::Or(pa.nan, pb.nan);
    const M empty = hn::AndNot(nan, hn::Not(hn::Lt(nan_to_zero(d, x_a), nan_to_zero(d, x_b))));
    const M settled = hn::Or(nan, empty);
    // (An end beyond 2^64, infinite ones included, is never within 32.)
    const V width = hn::IfThenElse(hn::Or(pa.beyond, pb.beyond), hn::Set(d, HUGE_VAL), hn::Abs(hn::Sub(pb.ys, pa.ys)));
    const M narrow = hn::AndNot(settled, hn::Le(nan_to_zero(d, width), hn::Set(d, 1.0)));
    Between<D, K> r;
    r.P = r.log_P = r.d_a = r.d_b = r.g.loc = r.g.scale = zero;
    for (std::size_t j = 0; j < K; ++j)
        r.g.param[j] = zero;
    for (std::size_t n = 0; n < 2 * K - 1; ++n)
        r.Q[n] = zero;
    M direct = narrow;
    if (!hn::AllTrue(d, hn::Or(narrow, settled))) {
        const M cancels = detail::from_tails<K, Slopes, Curvature>(d, row, pa, pb, hn::Not(narrow), at, r);
        const M within = hn::Le(nan_to_zero(d, width), hn::Set(d, 32.0));
        direct = hn::Or(narrow, hn::AndNot(settled, hn::And(within, cancels)));
    } else if (Curvature) {
        V c[K];
        about<K>(d, row, pa.x, at, pa.upper, c);
        r.c_a[0] = c[0];
        r.c_a[1] = c[1];
        about<K>(d, row, pb.x, at, pb.upper, c);
        r.c_b[0] = c[0];
        r.c_b[1] = c[1];
    }
    if (!hn::AllFalse(d, direct))
        detail::from_integral<K, Slopes, Curvature>(d, row, pa, pb, x_a, x_b, direct, at, r);
    detail::finish<K, Slopes, Curvature>(d, nan, empty, r);
    return r;
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
