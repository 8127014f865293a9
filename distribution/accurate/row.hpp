// The prepared rows of the accurate family: what every operation reads of a
// row (loc, scale, coefficients), formed once per block of rows, one row per
// lane.
//
// With y = (x - loc) / scale, u = |y| and P(t) = p(loc + scale t), P is
// carried scaled by a power of two, P~ = 2^sigma P, so that its coefficients
// about loc are at most 2 whatever the magnitudes of loc, scale and p; p
// itself is evaluated at each point x from its coefficients in w = x / R,
// R = 2^E of the size of max(|loc|, scale) (not through powers of loc, which
// cancel when |loc| / scale is large).  The masses of P~^2 f on each side of
// loc, and their sum S, come from a Gauss rule of f on the half line: sums
// of positive terms.  A row is valid when scale > 0, everything is finite
// and a coefficient is not 0; an invalid row computes the plain logistic
// row and ends as NaN.
//
// Compiled once per instruction set.
#include "../simd/lanes.hpp"
#include "scaling.hpp"
#include "series.hpp"

#ifndef DISTRIBUTION_ACCURATE_ROW_HPP
#define DISTRIBUTION_ACCURATE_ROW_HPP
// Lanes whose |y| reaches this are far beyond every tail: the values are the
// limits and the logarithms -u, to within rounding of u itself.
constexpr double far = 0x1p64;
#endif

#if defined(DISTRIBUTION_ACCURATE_ROW_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_ROW_LANES
#undef DISTRIBUTION_ACCURATE_ROW_LANES
#else
#define DISTRIBUTION_ACCURATE_ROW_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D> struct Row;
template <std::size_t K, class D>
void prepare(D d, Row<D> &row, const double *loc, const double *scale, const double (*param)[Block<D>::B],
             std::size_t at);

// B rows, one per lane, prepared.
template <class D> struct Row : Block<D> {
    using Block<D>::W;
    using Block<D>::U;
    using Block<D>::B;

    Row(const double *loc, const double *scale, const double (*param)[B], std::size_t k_) : k(k_)
    {
        with_k(k, [&](auto k_const) {
            for (std::size_t a = 0; a < U; ++a)
                prepare<decltype(k_const)::value>(D(), *this, loc, scale, param, a * W);
        });
    }

    std::size_t k;
    HWY_ALIGN double coefficient[max_k][B]; // of P~ as a polynomial in w = x / R
    HWY_ALIGN double polynomial[max_k][B];  // p itself (1, 0, ... for an invalid row)
    HWY_ALIGN double square[max_n][B];      // P~(t)^2 = sum_n square[n] t^n
    HWY_ALIGN double mass[B];               // S = int P~^2 f
    HWY_ALIGN double mass_above[B];         // int_0^inf P~(t)^2 f(t) dt
    HWY_ALIGN double mass_below[B];         // int_-inf^0 P~(t)^2 f(t) dt
    HWY_ALIGN double log_mass[B];
    HWY_ALIGN double usable[B];             // 1 for a valid row, else 0
    HWY_ALIGN double loc_safe[B];           // loc, scale and log scale of
    HWY_ALIGN double scale_safe[B];         // a valid row, else of the
    HWY_ALIGN double log_scale[B];          // plain logistic
    HWY_ALIGN double scale_reduced[B];      // scale / R
    HWY_ALIGN int64_t exponent_reduction[B]; // -E
    HWY_ALIGN double log2_scaling[B];       // sigma
    HWY_ALIGN double center[B];             // mean of y
    HWY_ALIGN double spread[B];             // scale of the logistic of its variance

    // Formed when an operation first needs them, per vector of the block:
    // the polynomial of the integral from loc (near_loc.hpp) and the
    // derivatives of the mass (gradient.hpp).
    mutable bool near_ready[U] = {};
    HWY_ALIGN mutable double near_polynomial[near_terms][B];
    mutable bool slopes_ready[U] = {};
    HWY_ALIGN mutable double mass_slope[max_k + 2][B];
    HWY_ALIGN mutable double coefficient_scale[2][max_k][B]; // 2^nu_j in two factors
    // and their second derivatives (hessian.hpp).
    mutable bool curvatures_ready[U] = {};
    HWY_ALIGN mutable double mass_curvature[max_n][B];
};

namespace detail {
// The 6-point Gauss rule of f on the half line, int_0^inf g(t) f(t) dt:
// exact for polynomials g of degree 11 >= 2k - 2.
constexpr double gauss_node[6] = {0.28620734415933307774, 1.3818769138172730413, 3.210415727274174122,
                                  5.9709677823406553606,  10.021125749383450446, 16.161566592431784565};
constexpr double gauss_weight[6] = {0.17476262272777249175,   0.23289434044718687776,
                                    0.083666542244823332101,  0.0084588594150426524109,
                                    0.00021688398810795676025, 7.5117706668921727174e-7};

// P~ at w, from the coefficients a in w.
template <std::size_t K, class D> HWY_INLINE hn::Vec<D> horner(hn::Vec<D> w, const hn::Vec<D> *a)
{
    hn::Vec<D> P = a[K - 1];
    for (std::size_t j = K - 1; j-- > 0;)
        P = hn::MulAdd(w, P, a[j]);
    return P;
}

// The rows' validity, and the rows as evaluated: an invalid lane takes
// loc = 0, scale = 1, p = 1.
template <std::size_t K, class D>
HWY_INLINE hn::Mask<D> clean(D d, hn::Vec<D> &l, hn::Vec<D> &s, hn::Vec<D> *p)
{
    hn::Mask<D> valid = hn::And(hn::And(hn::IsFinite(l), hn::IsFinite(s)), hn::Gt(nan_to_zero(d, s), hn::Zero(d)));
    hn::Mask<D> nonzero = hn::FirstN(d, 0);
    for (std::size_t i = 0; i < K; ++i) {
        valid = hn::And(valid, hn::IsFinite(p[i]));
        nonzero = hn::Or(nonzero, hn::Ne(nan_to_zero(d, p[i]), hn::Zero(d)));
    }
    valid = hn::And(valid, nonzero);
    l = hn::IfThenElseZero(valid, l);
    s = hn::IfThenElse(valid, s, hn::Set(d, 1.0));
    for (std::size_t i = 0; i < K; ++i)
        p[i] = hn::IfThenElse(valid, p[i], hn::Set(d, i == 0 ? 1.0 : 0.0));
    return valid;
}
} // namespace detail

// Fills the lanes at `at` of row from loc, scale and param.
template <std::size_t K, class D>
void prepare(D d, Row<D> &row, const double *loc, const double *scale, const double (*param)[Block<D>::B],
             std::size_t at)
{
    using V = hn::Vec<D>;
    const hn::RebindToSigned<D> di;
    V l = hn::Load(d, loc + at), s = hn::Load(d, scale + at), p[K];
    for (std::size_t i = 0; i < K; ++i)
        p[i] = hn::Load(d, param[i] + at);
    hn::Mask<D> valid = detail::clean<K>(d, l, s, p);

    // p(loc + s t) = R^deg sum_i (a_i R^i / R^deg) (loc' + s' t)^i with
    // loc' = loc / R, s' = s / R <= 2 and every scaled coefficient at most 2.
    const auto E = hn::Max(exponent(d, hn::Max(hn::Abs(l), s)), hn::Set(di, int64_t{-1000}));
    const auto minus_E = hn::Neg(E);
    l = scale_by(d, l, minus_E);
    s = scale_by(d, s, minus_E);
    hn::Vec<decltype(di)> shift[K], top = hn::Set(di, int64_t{-100000});
    auto iE = hn::Zero(di);
    for (std::size_t i = 0; i < K; ++i) {
        const auto e_i = hn::IfThenElse(hn::RebindMask(di, hn::Eq(p[i], hn::Zero(d))), hn::Set(di, int64_t{-100000}),
                                        hn::Add(exponent(d, p[i]), iE));
        shift[i] = iE;
        top = hn::Max(top, e_i);
        iE = hn::Add(iE, E);
    }
    // Taylor coefficients of the scaled p about loc' (synthetic division),
    // then times s'^j: the coefficients b of P about loc.
    V b[K], a[K];
    for (std::size_t i = 0; i < K; ++i)
        a[i] = b[i] = scale_by(d, p[i], hn::Sub(shift[i], top));
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t i = K - 1; i-- > j;)
            b[i] = hn::MulAdd(l, b[i + 1], b[i]);
    V s_power = s, largest = hn::Abs(b[0]);
    for (std::size_t j = 1; j < K; ++j) {
        b[j] = hn::Mul(b[j], s_power);
        s_power = hn::Mul(s_power, s);
        largest = hn::Max(largest, hn::Abs(b[j]));
    }
    // A P that is 0 to double precision (s' underflowed at a root of p) is
    // not a distribution.  The factor 2^-normalise takes the largest b to
    // [1, 2), and scales the coefficients in w alike.
    valid = hn::And(valid, hn::Gt(largest, hn::Zero(d)));
    const auto normalise = hn::Neg(exponent(d, largest));
    for (std::size_t j = 0; j < K; ++j) {
        b[j] = scale_by(d, b[j], normalise);
        a[j] = scale_by(d, a[j], normalise);
        hn::Store(a[j], d, row.coefficient[j] + at);
        hn::Store(p[j], d, row.polynomial[j] + at);
    }
    hn::Store(hn::ConvertTo(d, hn::Sub(normalise, top)), d, row.log2_scaling + at);
    hn::Store(s, d, row.scale_reduced + at);
    hn::Store(minus_E, di, row.exponent_reduction + at);

    // The mass on each side of loc, int_0^inf P~(+-t)^2 f(t) dt, with P~
    // at the nodes from the coefficients in w; S is their sum.
    V above = hn::Zero(d), below = hn::Zero(d);
    for (std::size_t n = 0; n < 6; ++n) {
        const V P_above = detail::horner<K, D>(hn::MulAdd(hn::Set(d, detail::gauss_node[n]), s, l), a);
        const V P_below = detail::horner<K, D>(hn::MulAdd(hn::Set(d, -detail::gauss_node[n]), s, l), a);
        above = hn::MulAdd(hn::Mul(P_above, P_above), hn::Set(d, detail::gauss_weight[n]), above);
        below = hn::MulAdd(hn::Mul(P_below, P_below), hn::Set(d, detail::gauss_weight[n]), below);
    }
    V S = hn::Add(above, below);
    valid = hn::And(valid, hn::Gt(S, hn::Zero(d)));
    S = hn::IfThenElse(valid, S, hn::Set(d, 1.0));
    hn::Store(hn::IfThenElse(valid, above, hn::Set(d, 0.5)), d, row.mass_above + at);
    hn::Store(hn::IfThenElse(valid, below, hn::Set(d, 0.5)), d, row.mass_below + at);
    hn::Store(S, d, row.mass + at);
    hn::Store(hn::Log(d, S), d, row.log_mass + at);

    // The square of P~ about loc, beta_n = sum_{i+j=n} b_i b_j, and from it
    // the first two moments of t, sum_n M_{n+1} beta_n / S and
    // sum_n M_{n+2} beta_n / S: the start of the quantiles needs them only
    // roughly.
    const double *M = shifted.moment;
    V first = hn::Zero(d), second = hn::Zero(d);
    for (std::size_t n = 0; n <= 2 * K - 2; ++n) {
        V beta = hn::Zero(d);
        for (std::size_t i = n < K ? 0 : n - K + 1; i <= n / 2; ++i)
            beta = hn::MulAdd(i == n - i ? b[i] : hn::Add(b[i], b[i]), b[n - i], beta);
        hn::Store(beta, d, row.square[n] + at);
        if (n % 2 == 0)
            second = hn::MulAdd(beta, hn::Set(d, M[n + 2]), second);
        else
            first = hn::MulAdd(beta, hn::Set(d, M[n + 1]), first);
    }
    // The logistic of the same mean and variance: its scale is
    // sqrt(3 variance) / pi.
    const V mean = hn::Div(first, S);
    const V variance = hn::Max(hn::NegMulAdd(mean, mean, hn::Div(second, S)), hn::Zero(d));
    hn::Store(hn::IfThenElseZero(valid, mean), d, row.center + at);
    hn::Store(hn::IfThenElse(valid, hn::Mul(hn::Sqrt(variance), hn::Set(d, 0.5513288954217920)), hn::Set(d, 1.0)),
              d, row.spread + at);
    const V scale_used = hn::IfThenElse(valid, hn::Load(d, scale + at), hn::Set(d, 1.0));
    hn::Store(scale_used, d, row.scale_safe + at);
    hn::Store(hn::IfThenElseZero(valid, hn::Load(d, loc + at)), d, row.loc_safe + at);
    hn::Store(log_apart(d, scale_used, hn::Zero(d)), d, row.log_scale + at);
    hn::Store(hn::IfThenElseZero(valid, hn::Set(d, 1.0)), d, row.usable + at);
}

// y = (x - loc) / scale of the lanes at `at`; invalid rows give NaN.
template <class D> HWY_INLINE hn::Vec<D> standardise(D d, const Row<D> &row, hn::Vec<D> x, std::size_t at)
{
    const hn::Vec<D> y = quotient_or_inf(d, hn::Sub(x, hn::Load(d, row.loc_safe + at)), hn::Load(d, row.scale_safe + at));
    return hn::IfThenElse(hn::Eq(hn::Load(d, row.usable + at), hn::Zero(d)), hn::NaN(d), y);
}

// w = x / R of the lanes at `at`.
template <class D> HWY_INLINE hn::Vec<D> reduced(D d, const Row<D> &row, hn::Vec<D> x, std::size_t at)
{
    const hn::RebindToSigned<D> di;
    return scale_by(d, x, hn::Load(di, row.exponent_reduction + at));
}

// A point relative to its row: y = (x - loc) / scale and u = |y|, with the
// lanes that have no finite expansion (NaN, or u beyond `far`) at loc.
template <class D> struct Point {
    hn::Vec<D> x;      // the point, loc where it is NaN or beyond
    hn::Vec<D> u_all;  // |y|, 0 where NaN
    hn::Vec<D> u;      // |y|, 0 where NaN or beyond
    hn::Vec<D> ys;     // +-u, the sign of y
    hn::Mask<D> upper; // y >= 0: the tail beyond the point is the upper one
    hn::Mask<D> nan;   // NaN point or invalid row
    hn::Mask<D> beyond;
};

template <class D>
HWY_INLINE Point<D> locate(D d, const Row<D> &row, hn::Vec<D> x, hn::Vec<D> y, std::size_t at)
{
    Point<D> p;
    p.nan = hn::IsNaN(y);
    const hn::Vec<D> y_safe = hn::IfThenZeroElse(p.nan, y);
    p.u_all = hn::Abs(y_safe);
    p.upper = hn::Ge(y_safe, hn::Zero(d));
    p.beyond = hn::Ge(p.u_all, hn::Set(d, far));
    p.u = hn::IfThenZeroElse(p.beyond, p.u_all);
    p.ys = hn::IfThenElse(p.upper, p.u, hn::Neg(p.u));
    p.x = hn::IfThenElse(hn::Or(p.nan, p.beyond), hn::Load(d, row.loc_safe + at), x);
    return p;
}

// P~ at x, from the coefficients in w.
template <std::size_t K, class D> HWY_INLINE hn::Vec<D> P_at(D d, const Row<D> &row, hn::Vec<D> x, std::size_t at)
{
    hn::Vec<D> a[K];
    for (std::size_t j = 0; j < K; ++j)
        a[j] = hn::Load(d, row.coefficient[j] + at);
    return detail::horner<K, D>(reduced(d, row, x, at), a);
}

// The Taylor coefficients c of P~ about the point (c[0] = P~(y)): those of
// p about w = x / R by synthetic division, times (scale / R)^j, read in the
// direction away from loc: P~(y + tau) for y >= 0, P~(y - tau) below.
template <std::size_t K, class D>
HWY_INLINE void about(D d, const Row<D> &row, hn::Vec<D> x, std::size_t at, hn::Mask<D> upper, hn::Vec<D> *c)
{
    const hn::Vec<D> w = reduced(d, row, x, at);
    for (std::size_t j = 0; j < K; ++j)
        c[j] = hn::Load(d, row.coefficient[j] + at);
    for (std::size_t j = 0; j < K; ++j)
        for (std::size_t i = K - 1; i-- > j;)
            c[i] = hn::MulAdd(w, c[i + 1], c[i]);
    const hn::Vec<D> s = hn::Load(d, row.scale_reduced + at);
    hn::Vec<D> s_power = s;
    for (std::size_t j = 1; j < K; ++j) {
        c[j] = hn::Mul(c[j], s_power);
        s_power = hn::Mul(s_power, s);
        if (j % 2 == 1)
            c[j] = hn::IfThenElse(upper, c[j], hn::Neg(c[j]));
    }
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
