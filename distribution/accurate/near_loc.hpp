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
// that a narrow interval keeps every digit of it): exact for P~^2 times f's polynomial part of
// degree 13, which f, analytic within pi of the real line, is to rounding
// on a panel of width 1.  node(t, weight, panel) adds a node's integrands
// times its weight (the panel's half width included) to the Sums sums of
// the panel; sum[i] is then the integral of the i-th, over every panel of
// the lane, the panels of other lanes left out, so that no lane depends on
// another.
template <std::size_t Sums, class D, class Node>
HWY_INLINE void gauss_panels(D d, hn::Vec<D> a, hn::Vec<D> width, hn::Vec<D> (&sum)[Sums], Node &&node)
{
    using V = hn::Vec<D>;
    static constexpr double x[6] = {0.12523340851146892, 0.36783149899818019, 0.58731795428661745,
                                    0.76990267419430469, 0.90411725637047486, 0.98156063424671925};
    static constexpr double w[6] = {0.24914704581340279, 0.23349253653835481, 0.20316742672306592,
                                    0.16007832854334623, 0.10693932599531843, 0.047175336386511827};
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
    const V panels = hn::Min(hn::Max(hn::Ceil(hn::Abs(width)), one), hn::Set(d, 32.0));
    const V h = hn::Div(width, panels); // of a panel, signed
    const V half_width = hn::Mul(hn::Abs(h), half);
    const std::size_t count = static_cast<std::size_t>(hn::GetLane(hn::MaxOfLanes(d, panels)));
    for (std::size_t i = 0; i < Sums; ++i)
        sum[i] = hn::Zero(d);
    for (std::size_t k = 0; k < count; ++k) {
        const V middle = hn::MulAdd(h, hn::Set(d, static_cast<double>(k) + 0.5), a);
        V panel[Sums];
        for (std::size_t i = 0; i < Sums; ++i)
            panel[i] = hn::Zero(d);
        DISTRIBUTION_UNROLL
        for (std::size_t i = 0; i < 12; ++i) {
            const double xi = i < 6 ? -x[5 - i] : x[i - 6];
            const double wi = i < 6 ? w[5 - i] : w[i - 6];
            node(hn::MulAdd(hn::Mul(h, half), hn::Set(d, xi), middle), hn::Mul(half_width, hn::Set(d, wi)), panel);
        }
        const hn::Mask<D> live = hn::Lt(hn::Set(d, static_cast<double>(k)), panels);
        for (std::size_t i = 0; i < Sums; ++i)
            sum[i] = hn::IfThenElse(live, hn::Add(sum[i], panel[i]), sum[i]);
    }
}

// f(t) = e / (1 + e)^2, e = e^-|t|.
template <class D> HWY_INLINE hn::Vec<D> logistic_density(D d, hn::Vec<D> t)
{
    const hn::Vec<D> e = hn::Exp(d, hn::Neg(hn::Abs(t)));
    const hn::Vec<D> one_plus_e = hn::Add(hn::Set(d, 1.0), e);
    return hn::Div(e, hn::Mul(one_plus_e, one_plus_e));
}

// int between 0 and y of P~(t)^2 f(t) dt, |y| <= 32, by panels; P~ at
// x = loc + scale t from the coefficients in w.
template <std::size_t K, class D>
HWY_INLINE hn::Vec<D> between_loc(D d, const Row<D> &row, hn::Vec<D> y, std::size_t at)
{
    const hn::Vec<D> loc = hn::Load(d, row.loc_safe + at), s = hn::Load(d, row.scale_safe + at);
    hn::Vec<D> integral[1];
    gauss_panels(d, hn::Zero(d), y, integral, [&](hn::Vec<D> t, hn::Vec<D> weight, hn::Vec<D>(&panel)[1]) {
        const hn::Vec<D> P = P_at<K>(d, row, hn::MulAdd(t, s, loc), at);
        panel[0] = hn::MulAdd(hn::Mul(P, P), hn::Mul(logistic_density(d, t), weight), panel[0]);
    });
    return integral[0];
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
