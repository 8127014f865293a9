// Integrals of P~^2 f over stretches of the line: from loc to a point near
// it as a polynomial, and over any stretch of at most 32 scale units by
// panels of Gauss-Legendre.  Both are sums of positive terms where the
// integrand is P~^2 f, so they keep their relative precision where a
// difference of tails would cancel.
//
// Compiled once per instruction set.
#include "row.hpp"

#if defined(DISTRIBUTION_ACCURATE_NEAR_LOC_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_NEAR_LOC_LANES
#undef DISTRIBUTION_ACCURATE_NEAR_LOC_LANES
#else
#define DISTRIBUTION_ACCURATE_NEAR_LOC_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// int between 0 and y of P~(t)^2 f(t) dt for |y| < 1, to rounding:
//
//     sum_m g_m y^(m+1),   g_m = (beta * density)_m / (m + 1),
//
// P~^2 = sum_n beta_n t^n about loc times f's Taylor series (radius pi, to
// degree 40), integrated term by term.  Every lane sums all its terms,
// whatever y, so that none depends on another.  The coefficients are formed
// once per vector of rows, when a point first needs them.
template <std::size_t K, class D> HWY_INLINE hn::Vec<D> near_loc(D d, const Row<D> &row, hn::Vec<D> y, std::size_t at)
{
    using V = hn::Vec<D>;
    constexpr std::size_t terms = 2 * K - 2 + density_terms;
    const std::size_t vector = at / Block<D>::W;
    if (!row.near_ready[vector]) {
        for (std::size_t m = 0; m < terms; ++m) {
            // f is even: only n of the parity of m meet a term of it.
            V g = hn::Zero(d);
            for (std::size_t n = m % 2; n <= 2 * K - 2 && n <= m; n += 2)
                g = hn::MulAdd(hn::Load(d, row.square[n] + at), hn::Set(d, shifted.integrated[m][n]), g);
            hn::Store(g, d, row.near_polynomial[m] + at);
        }
        row.near_ready[vector] = true;
    }
    // Horner in y^4 over the four residues of m, so that four short chains
    // of products run side by side, then y (a + y (b + y (c + y d))).
    const V y2 = hn::Mul(y, y), y4 = hn::Mul(y2, y2);
    constexpr std::size_t rounds = (terms - 1) / 4; // below the top term of each residue
    V part[4];
    DISTRIBUTION_UNROLL
    for (std::size_t r = 0; r < 4; ++r)
        part[r] = hn::Load(d, row.near_polynomial[r + (terms - 1 - r) / 4 * 4] + at);
    DISTRIBUTION_UNROLL
    for (std::size_t i = rounds; i-- > 0;)
        DISTRIBUTION_UNROLL
        for (std::size_t r = 0; r < 4; ++r)
            if (r + 4 * i + 4 < terms)
                part[r] = hn::MulAdd(part[r], y4, hn::Load(d, row.near_polynomial[r + 4 * i] + at));
    const V sum = hn::MulAdd(hn::MulAdd(hn::MulAdd(part[3], y, part[2]), y, part[1]), y, part[0]);
    return hn::Abs(hn::Mul(sum, y));
}

// Panels of 12-point Gauss-Legendre from a over the signed width (in y),
// ceil(|width|) of them per lane, at most 32 (the width is given apart, so
// that a narrow interval keeps every digit of it): exact for P~^2 times f's
// polynomial part of degree 13, which f, analytic within pi of the real
// line, is to rounding on a panel of width 1.  The integrand holds the
// logistic density, e / (1 + e)^2 with e = e^-(sigma t), sigma = +-1, as
// the caller scales it: node(t, e, over, weight, panel) gets
//
//     e = e^(lead - sigma (t - a)),   over = 1 / (1 + e e_ref),
//
// and adds the node's integrands times its weight (the panel's half width
// included) to the Sums sums of the panel.  e is e^lead times e^-(sigma
// (t - a)), the latter the panel's middle (one exp a panel) times
// e^-(sigma tau) of the node's offset tau from it, |tau| < 1/2: the even
// and odd parts of its series, the same for every panel and + and - tau.
// over comes one quotient a pair of nodes.  sum[i] is then the integral of
// the i-th, over every panel of the lane, the panels of other lanes left
// out, so that no lane depends on another.
template <std::size_t Sums, class D, class Node>
HWY_INLINE void gauss_panels(D d, hn::Vec<D> a, hn::Vec<D> width, hn::Vec<D> sigma, hn::Vec<D> lead, hn::Vec<D> e_ref,
                             hn::Vec<D> (&sum)[Sums], Node &&node)
{
    using V = hn::Vec<D>;
    static constexpr double x[6] = {0.12523340851146892, 0.36783149899818019, 0.58731795428661745,
                                    0.76990267419430469, 0.90411725637047486, 0.98156063424671925};
    static constexpr double w[6] = {0.24914704581340279, 0.23349253653835481, 0.20316742672306592,
                                    0.16007832854334623, 0.10693932599531843, 0.047175336386511827};
    // 1 / n!, n = 0 .. 15: |tau|^16 / 16! is below 2^-59 of e^-|tau|.
    static constexpr double inverse_factorial[16] = {
        1.0, 1.0, 0.5, 1.0 / 6, 1.0 / 24, 1.0 / 120, 1.0 / 720, 1.0 / 5040, 1.0 / 40320, 1.0 / 362880,
        1.0 / 3628800, 1.0 / 39916800, 1.0 / 479001600, 1.0 / 6227020800.0, 1.0 / 87178291200.0,
        1.0 / 1307674368000.0};
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
    const V panels = hn::Min(hn::Max(hn::Ceil(hn::Abs(width)), one), hn::Set(d, 32.0));
    const V h = hn::Div(width, panels); // of a panel, signed
    const V half_h = hn::Mul(h, half), half_width = hn::Abs(half_h);
    // e^-(sigma tau) at the offsets tau = +-half_h x[j]: even -+ odd part.
    V even[6], odd[6];
    for (std::size_t j = 0; j < 6; ++j) {
        const V tau = hn::Mul(hn::Mul(sigma, half_h), hn::Set(d, x[j])), tau2 = hn::Mul(tau, tau);
        even[j] = hn::Set(d, inverse_factorial[14]);
        odd[j] = hn::Set(d, inverse_factorial[15]);
        for (std::size_t n = 14; n >= 2; n -= 2) {
            even[j] = hn::MulAdd(even[j], tau2, hn::Set(d, inverse_factorial[n - 2]));
            odd[j] = hn::MulAdd(odd[j], tau2, hn::Set(d, inverse_factorial[n - 1]));
        }
        odd[j] = hn::Mul(odd[j], tau);
    }
    const std::size_t count = static_cast<std::size_t>(hn::GetLane(hn::MaxOfLanes(d, panels)));
    for (std::size_t i = 0; i < Sums; ++i)
        sum[i] = hn::Zero(d);
    for (std::size_t k = 0; k < count; ++k) {
        const V offset = hn::Mul(h, hn::Set(d, static_cast<double>(k) + 0.5));
        const V middle = hn::Add(a, offset);
        const V e_middle = hn::Exp(d, hn::NegMulAdd(sigma, offset, lead));
        V panel[Sums];
        for (std::size_t i = 0; i < Sums; ++i)
            panel[i] = hn::Zero(d);
        DISTRIBUTION_UNROLL
        for (std::size_t j = 0; j < 6; ++j) {
            const V t_minus = hn::NegMulAdd(half_h, hn::Set(d, x[j]), middle);
            const V t_plus = hn::MulAdd(half_h, hn::Set(d, x[j]), middle);
            const V e_minus = hn::Mul(e_middle, hn::Add(even[j], odd[j]));
            const V e_plus = hn::Mul(e_middle, hn::Sub(even[j], odd[j]));
            const V one_minus = hn::MulAdd(e_minus, e_ref, one), one_plus = hn::MulAdd(e_plus, e_ref, one);
            const V both = hn::Div(one, hn::Mul(one_minus, one_plus));
            const V weight = hn::Mul(half_width, hn::Set(d, w[j]));
            node(t_minus, e_minus, hn::Mul(one_plus, both), weight, panel);
            node(t_plus, e_plus, hn::Mul(one_minus, both), weight, panel);
        }
        const hn::Mask<D> live = hn::Lt(hn::Set(d, static_cast<double>(k)), panels);
        for (std::size_t i = 0; i < Sums; ++i)
            sum[i] = hn::IfThenElse(live, hn::Add(sum[i], panel[i]), sum[i]);
    }
}

// int between 0 and y of P~(t)^2 f(t) dt, |y| <= 32, by panels; P~ at
// x = loc + scale t from the coefficients in w.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> between_loc(D d, const Row<D> &row, hn::Vec<D> y, std::size_t at)
{
    using V = hn::Vec<D>;
    const V loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0);
    V integral[1];
    // e = e^-|t|: sigma the sign of y.
    gauss_panels(d, zero, y, hn::CopySign(one, y), zero, one, integral, [&](V t, V e, V over, V weight, V(&panel)[1]) {
        const V P = P_at<K>(d, row, hn::MulAdd(t, s, loc), at);
        panel[0] = hn::MulAdd(hn::Mul(P, P), hn::Mul(hn::Mul(e, weight), hn::Mul(over, over)), panel[0]);
    });
    return integral[0];
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
