// The accurate family: distribution function, survival function, their
// logarithms, density and quantiles of the polynomially adjusted logistic
// distribution, to a few units in the last place of the true values.
//
// With y = (x - loc) / scale, u = |y| and P(t) = p(loc + scale t), a
// polynomial of degree 2k - 2 once squared, the tail beyond the point is
// expanded about the point itself:
//
//     int_y^inf P(t)^2 f(t) dt = sum_n gamma_n J_n(u),    P(y + tau)^2 = sum_n gamma_n tau^n,
//     J_n(u) = int_0^inf tau^n f(u + tau) dtau = -n! Li_n(-e^-u),
//
// and the tail below a negative y is the same with P(y - tau), by the
// symmetry of f.  Every J_n is positive and of the size of the tail itself,
// so nothing cancels between the moments however far out the point or the
// location, and a root of p near the point shows only in gamma.  The
// polylogarithms are summed to convergence: as a Taylor series in u near 0,
//     Li_n(-e^-u) = -sum_j eta(n - j) (-u)^j / j!,
// and beyond u = 1 as their own series in e^-u.  Carried as
// Jhat_n = J_n e^u, the tails stay finite where e^-u underflows, which is
// what the logarithms need.
//
// The tail side is always a tail: the survival function for y >= 0, the
// distribution function for y < 0; the other side is 1 minus it, or its
// log1p, where that keeps its precision.  p is evaluated at each point
// itself (not through powers of loc, which cancel when |loc| / scale is
// large or p has a root near the point), scaled by powers of two so that no
// range is exceeded.  The masses on each side of loc, and their sum S, come
// from a Gauss rule of f on the half line: sums of positive terms.  Near loc,
// and across loc where the far side is small, values are those masses plus
// or minus the integral from loc to the point.
//
// The first part of this header is compiled once; the second once per
// instruction set.
#ifndef DISTRIBUTION_ACCURATE_HPP
#define DISTRIBUTION_ACCURATE_HPP

#include "approx_class.hpp"

#include <gsl/gsl_sf_gamma.h>
#include <gsl/gsl_sf_zeta.h>

#include <cmath>
#include <cstddef>

// Terms of the series of J_n, orders n = 2 .. 2 max_k - 2.
constexpr std::size_t max_terms = 40;
// Below it, the Taylor series in u; from it, the series in e^-u.
constexpr double taylor_limit = 1.0;
// Tiers of term counts: the Taylor series by the largest u of a vector, in
// eighths up to taylor_limit; the series in e^-u by the smallest, in
// quarters from taylor_limit to 40.
constexpr std::size_t taylor_tiers = 8;
constexpr std::size_t series_tiers = 160;
// f(t) = sum_j density[j] t^j to degree 40 serves |t| < 1 to 2^-60 of f(t)
// (the series alternates, radius pi); times P^2, of degree up to 10, it
// gives the polynomial of the integral from loc for u < 1.
constexpr std::size_t density_terms = 41;
constexpr std::size_t near_terms = max_n + density_terms - 1;

struct SeriesTables {
    double factorial[max_n];                         // n!
    double taylor[max_n][max_terms];                 // eta(n - j) (-1)^j / j!
    std::size_t taylor_terms[max_n][taylor_tiers + 1]; // [n][max(1, ceil(8 u))]
    double inverse_power[max_n][max_terms + 1];      // 1 / k^n
    std::size_t series_terms[max_n][series_tiers + 1]; // [n][floor(4 u)], 160 from u = 40
    // Which terms a lane sums, from its own u: term j of the Taylor series
    // where u > taylor_from[n][j], term i of the series in e^-u where
    // u < series_until[n][i].  The counts are monotone in u (more Taylor
    // terms, fewer series terms as u grows), so these are exactly the first
    // taylor_terms[n][tier(u)] and series_terms[n][tier(u)] terms.
    double taylor_from[max_n][max_terms];
    double series_until[max_n][max_terms + 1];
    double moment[max_n + 2];                        // int t^n f(t) dt, n = 0 .. 12
    double density[density_terms];                   // eta(-(j+1)) (-1)^j / j!
    double integrated[near_terms][max_n];            // density[m - n] / (m + 1)
};

inline SeriesTables shifted;

// Builds `shifted` once, at import, under the interpreter lock.  GSL's calls
// stay in their domains: gsl_sf_eta_int is defined at every integer,
// gsl_sf_fact(n) for n <= 39.
inline void build_series_tables()
{
    static bool built = false;
    if (built)
        return;
    built = true;
    const double tolerance = 0x1p-58; // of terms against sums of size ~1
    // Moments of f: 1, 0, 2 2! eta(2), 0, 2 4! eta(4), ...
    for (std::size_t n = 0; n < max_n + 2; ++n)
        shifted.moment[n] = n == 0 ? 1 : n % 2 == 1 ? 0
                                   : 2 * gsl_sf_fact(static_cast<unsigned int>(n)) *
                                         gsl_sf_eta_int(static_cast<int>(n));
    for (std::size_t j = 0; j < density_terms; ++j)
        shifted.density[j] = (j % 2 == 0 ? 1 : -1) * gsl_sf_eta_int(-static_cast<int>(j) - 1) /
                             gsl_sf_fact(static_cast<unsigned int>(j));
    for (std::size_t m = 0; m < near_terms; ++m)
        for (std::size_t n = 0; n < max_n && n <= m; ++n)
            shifted.integrated[m][n] = m - n < density_terms ? shifted.density[m - n] / static_cast<double>(m + 1) : 0;
    for (std::size_t n = 0; n < max_n; ++n) {
        shifted.factorial[n] = gsl_sf_fact(static_cast<unsigned int>(n));
        for (std::size_t j = 0; j < max_terms; ++j)
            shifted.taylor[n][j] = (j % 2 == 0 ? 1 : -1) *
                                   gsl_sf_eta_int(static_cast<int>(n) - static_cast<int>(j)) /
                                   gsl_sf_fact(static_cast<unsigned int>(j));
        for (std::size_t t = 1; t <= taylor_tiers; ++t) {
            const double u = taylor_limit * static_cast<double>(t) / taylor_tiers;
            std::size_t terms = 1;
            for (std::size_t j = 0; j < max_terms; ++j)
                if (std::fabs(shifted.taylor[n][j]) * std::pow(u, static_cast<double>(j)) > tolerance)
                    terms = j + 1;
            shifted.taylor_terms[n][t] = terms;
        }
        for (std::size_t i = 1; i <= max_terms; ++i)
            shifted.inverse_power[n][i] = std::pow(static_cast<double>(i), -static_cast<double>(n));
        for (std::size_t t = 4; t <= series_tiers; ++t) {
            const double e = std::exp(-static_cast<double>(t) / 4);
            std::size_t terms = 1;
            while (terms < max_terms &&
                   std::pow(e, static_cast<double>(terms)) *
                           std::pow(static_cast<double>(terms + 1), -static_cast<double>(n)) >
                       tolerance)
                ++terms;
            shifted.series_terms[n][t] = terms;
        }
        // The first tier whose count takes term j in (tiers above 1 start
        // beyond u = (t - 1) / 8), and the last tier whose count reaches
        // term i (below u = (t + 1) / 4; the last tier serves every u from 40).
        for (std::size_t j = 0; j < max_terms; ++j) {
            std::size_t t = 1;
            while (t <= taylor_tiers && shifted.taylor_terms[n][t] <= j)
                ++t;
            shifted.taylor_from[n][j] = t == 1 ? -1.0 : t > taylor_tiers ? HUGE_VAL
                                                                      : static_cast<double>(t - 1) / 8;
        }
        for (std::size_t i = 1; i <= max_terms; ++i) {
            std::size_t t = series_tiers;
            while (t >= 4 && shifted.series_terms[n][t] < i)
                --t;
            shifted.series_until[n][i] = t == series_tiers ? HUGE_VAL
                                         : t < 4           ? 0.0
                                                           : static_cast<double>(t + 1) / 4;
        }
    }
}

#endif // DISTRIBUTION_ACCURATE_HPP

// ---------------------------------------------------------------------------
// Per instruction set.
#if defined(DISTRIBUTION_ACCURATE_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_LANES
#undef DISTRIBUTION_ACCURATE_LANES
#else
#define DISTRIBUTION_ACCURATE_LANES
#endif

#include "approx_class.hpp"

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// -------------------------------------------------- powers of two, exactly

// floor(log2 |v|) of normal v as an integer lane; 0 and subnormals give
// -1023, NaN and infinities 1024.
template <class D> HWY_INLINE hn::Vec<hn::RebindToSigned<D>> exponent(D, hn::Vec<D> v)
{
    const hn::RebindToSigned<D> di;
    return hn::Sub(hn::ShiftRight<52>(hn::BitCast(di, hn::Abs(v))), hn::Set(di, int64_t{1023}));
}

// 2^n, exact for n in [-1022, 1023]; below, 0.
template <class D> HWY_INLINE hn::Vec<D> power_of_two(D d, hn::Vec<hn::RebindToSigned<D>> n)
{
    const hn::RebindToSigned<D> di;
    const auto biased = hn::Add(n, hn::Set(di, int64_t{1023}));
    const auto normal = hn::Gt(biased, hn::Zero(di));
    const auto bits = hn::ShiftLeft<52>(hn::IfThenElseZero(normal, hn::Min(biased, hn::Set(di, int64_t{2046}))));
    return hn::BitCast(d, bits);
}

// v 2^n in two steps, so that factors beyond the exponent range still give
// the product where it is a number.
template <class D>
HWY_INLINE hn::Vec<D> scale_by(D d, hn::Vec<D> v, hn::Vec<hn::RebindToSigned<D>> n)
{
    const auto half = hn::ShiftRightSame(n, 1); // arithmetic: floor(n / 2)
    return hn::Mul(hn::Mul(v, power_of_two(d, half)), power_of_two(d, hn::Sub(n, half)));
}

// e^(-u/2) for 0 <= u, 0 from u = 1600 on (the argument is bounded so that
// the reduction's integer conversion cannot overflow).
template <class D> HWY_INLINE hn::Vec<D> half_exp(D d, hn::Vec<D> u)
{
    return hn::Exp(d, hn::Max(hn::Mul(u, hn::Set(d, -0.5)), hn::Set(d, -800.0)));
}

// a / b for b > 0, and +-inf without the overflow flag where the quotient
// is beyond the range (within a factor of two of its end).
template <class D> HWY_INLINE hn::Vec<D> quotient_or_inf(D d, hn::Vec<D> a, hn::Vec<D> b)
{
    const hn::RebindToSigned<D> di;
    const auto spread = hn::Sub(exponent(d, a), exponent(d, b));
    const auto over = hn::AndNot(hn::IsNaN(a), hn::RebindMask(d, hn::Gt(spread, hn::Set(di, int64_t{1022}))));
    return hn::IfThenElse(over, hn::CopySign(hn::Set(d, HUGE_VAL), a), hn::Div(hn::IfThenZeroElse(over, a), b));
}

// ------------------------------------------------------- shifted moments

// The moments of f beyond the point, J_n(u) = n! (-Li_n(-e^-u)) for
// n = 0 .. N, at the u of every `wanted` lane (e = e^-u; other lanes may
// get 0): below u = 1 as they are,
// by their Taylor series in u, with no exponential to round; from u = 1 on
// carried as Jhat_n = J_n e^u, which stays finite where e^-u underflows, by
// the series in e^-u (orders 0 and 1 in closed form, 1 / (1 + e) and
// log1p(e) / e).  Each lane sums the terms its own u needs: the loops run as
// far as the lane needing most, and a term that a lane does not take enters
// its Horner sum as 0, which leaves the sum +0 until its first term, then
// that term exactly (fma(0, v, c) = c), so every lane gets the bits it has
// alone.
template <std::size_t N, class D>
HWY_INLINE void shifted_moments(D d, hn::Vec<D> u, hn::Vec<D> e, hn::Mask<D> wanted, hn::Vec<D> *J)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0);
    const auto near = hn::Lt(u, hn::Set(d, taylor_limit));
    for (std::size_t n = 0; n <= N; ++n)
        J[n] = hn::Zero(d);
    // Terms that every lane takes need no mask: those below the count of
    // the lane needing fewest.
    const auto taylor_tier = [](double v) {
        const std::size_t t = static_cast<std::size_t>(std::ceil(v * taylor_tiers / taylor_limit));
        return t < 1 ? std::size_t{1} : t;
    };
    const auto series_tier = [](double v) {
        return v >= 40 ? series_tiers : static_cast<std::size_t>(4 * v);
    };
    const auto taylor = hn::And(wanted, near);
    if (!hn::AllFalse(d, taylor)) {
        // -Li_n(-e^-u) = sum_j eta(n - j) (-u)^j / j!, Horner in u.
        const V u_near = hn::IfThenElseZero(taylor, u);
        const std::size_t most = taylor_tier(hn::GetLane(hn::MaxOfLanes(d, u_near)));
        const std::size_t fewest = taylor_tier(hn::GetLane(hn::MinOfLanes(d, hn::IfThenElse(taylor, u, one))));
        for (std::size_t n = 0; n <= N; ++n) {
            const double *c = shifted.taylor[n], *from = shifted.taylor_from[n];
            const std::size_t all = shifted.taylor_terms[n][fewest];
            V sum = hn::Zero(d);
            for (std::size_t j = shifted.taylor_terms[n][most]; j-- > all;)
                sum = hn::MulAdd(sum, u_near, hn::IfThenElseZero(hn::Gt(u_near, hn::Set(d, from[j])), hn::Set(d, c[j])));
            for (std::size_t j = all; j-- > 0;)
                sum = hn::MulAdd(sum, u_near, hn::Set(d, c[j]));
            J[n] = n < 2 ? sum : hn::Mul(sum, hn::Set(d, shifted.factorial[n]));
        }
    }
    const auto series = hn::AndNot(near, wanted);
    if (!hn::AllFalse(d, series)) {
        // -Li_n(-e) / e = sum_{i>=1} (-e)^(i-1) / i^n, Horner in -e.
        const auto underflow = hn::Eq(e, hn::Zero(d));
        const V e_safe = hn::IfThenElse(underflow, one, e);
        const V Jhat[2] = {hn::Div(one, hn::Add(one, e)),
                           hn::IfThenElse(underflow, one, hn::Div(hn::Log1p(d, e_safe), e_safe))};
        const V u_far = hn::IfThenElse(series, u, hn::Set(d, 1e300));
        const std::size_t most = series_tier(hn::GetLane(hn::MinOfLanes(d, u_far)));
        const std::size_t fewest = series_tier(hn::GetLane(hn::MaxOfLanes(d, hn::IfThenElse(series, u, one))));
        // Forward, from the largest term, with the powers (-e)^(i-1) shared
        // by the orders and zero beyond each lane's count (that of order 2,
        // which needs the most).  The powers advance in two interleaved
        // chains, by e^2, so that their products do not wait on each other.
        const double *until = shifted.series_until[2];
        const std::size_t all = shifted.series_terms[2][fewest];
        const V e_squared = hn::Mul(e, e);
        V far[N + 1], power[2] = {one, hn::Neg(e)};
        for (std::size_t n = 2; n <= N; ++n)
            far[n] = hn::Zero(d);
        for (std::size_t i = 1; i <= shifted.series_terms[2][most]; ++i) {
            V &p = power[(i - 1) % 2];
            const V taken = i <= all ? p : hn::IfThenElseZero(hn::Lt(u_far, hn::Set(d, until[i])), p);
            for (std::size_t n = 2; n <= N; ++n)
                far[n] = hn::MulAdd(taken, hn::Set(d, shifted.inverse_power[n][i]), far[n]);
            p = hn::Mul(p, e_squared);
        }
        for (std::size_t n = 0; n <= N; ++n)
            J[n] = hn::IfThenElse(near, J[n], n < 2 ? Jhat[n] : hn::Mul(far[n], hn::Set(d, shifted.factorial[n])));
    }
}

// ------------------------------------------------------------- the class

// The values at one point per lane, for rows of one lane each: the smaller
// tail (the upper one for y >= 0), its logarithm, and the density.
template <class D> struct Tail {
    hn::Vec<D> small;     // the tail beyond the point, away from loc
    hn::Vec<D> other;     // the side across loc, 1 - small
    hn::Vec<D> log_small; // its logarithm
    hn::Mask<D> upper;    // y >= 0: the tail is the survival function
    hn::Mask<D> nan;      // invalid row or NaN point
    hn::Vec<D> density;       // P(y)^2 f(y) / S, or
    hn::Vec<D> log_density;   // its logarithm, where asked for,
    hn::Vec<D> density_slope; // and the derivative of the logarithm
};

enum class Density { none, linear, logarithm };

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

// Rows of the accurate family, B lanes at a time, and their values.
template <class D> class Accurate : public RowLanes<D>
{
    using RowLanes<D>::W;
    using RowLanes<D>::U;
    using RowLanes<D>::k;
    using RowLanes<D>::loc;
    using RowLanes<D>::scale;
    using RowLanes<D>::param;

  public:
    using RowLanes<D>::B;

    Accurate(const double *loc_, const double *scale_, const double (*param_)[B], std::size_t k_)
        : RowLanes<D>(loc_, scale_, param_, k_)
    {
        precalc();
    }

    // Per lane: whether the row is valid (scale > 0, everything finite, a
    // coefficient not 0); the coefficients of p in w = x / R, scaled by
    // powers of two so that those of P(t) = p(loc + scale t) are at most 2;
    // the masses of P^2 f on each side of loc, their sum S, the logarithms
    // of S and of the scale, and the mean and spread that start quantiles.
    void precalc()
    {
        with_k(k, [this](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            for (std::size_t a = 0; a < U; ++a)
                prepare<K>(a * W);
        });
    }

    // output(tail, y) for the points x[l] of every lane, into out[l].
    // Logs: whether output reads the logarithm of the tail.
    template <bool Logs, class Output> void tails(const double *x, double *out, Output output) const
    {
        with_k(k, [&](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            const D d;
            hn::Vec<D> xv[U], y[U];
            Tail<D> tail[U];
            for (std::size_t a = 0; a < U; ++a) {
                xv[a] = hn::LoadU(d, x + a * W);
                y[a] = standardise(d, xv[a], a * W);
            }
            for (std::size_t a = 0; a < U; ++a)
                tail[a] = tails_at<K, Density::none, Logs>(d, xv[a], y[a], a * W, hn::FirstN(d, W));
            for (std::size_t a = 0; a < U; ++a)
                hn::StoreU(output(tail[a]), d, out + a * W);
        });
    }

    // The density at the points x[l] (its logarithm if log_density), into
    // out[l]: P(y)^2 f(y) / (scale S), with log f(y) = -u - 2 log1p(e^-u).
    void density(const double *x, double *out, bool log_density) const
    {
        with_k(k, [&](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            const D d;
            for (std::size_t a = 0; a < U; ++a) {
                const hn::Vec<D> xv = hn::LoadU(d, x + a * W);
                const hn::Vec<D> y = standardise(d, xv, a * W);
                hn::StoreU(density_at<K>(d, xv, y, a * W, log_density), d, out + a * W);
            }
        });
    }

    // The quantile: the x whose distribution function (survival function if
    // survival) is q[l], into out[l].  Each lane solves on the side whose
    // probability is at most 1/2, so that small probabilities keep their
    // relative precision.
    void quantile(const double *q, double *out, bool survival) const
    {
        with_k(k, [&](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            const D d;
            const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
            for (std::size_t a = 0; a < U; ++a) {
                const std::size_t at = a * W;
                const V qv = hn::LoadU(d, q + a * W);
                const V qs = nan_to_zero(d, qv);
                const M usable_row = hn::Ne(hn::Load(d, usable + at), hn::Zero(d));
                const M inside = hn::And(hn::Gt(qs, hn::Zero(d)), hn::Lt(qs, one));
                // Upper: the survival function is the smaller side's.
                const M large = hn::Gt(qs, half);
                const M upper = survival ? hn::Not(large) : large;
                const V side = hn::IfThenElse(large, hn::Sub(one, qs), qs);
                const V t = hn::IfThenElse(inside, side, half);
                const V y = solve<K>(d, t, hn::Log(d, t), upper, hn::And(inside, usable_row), at);
                V x = hn::MulAdd(y, hn::Load(d, scale_safe + at), hn::Load(d, loc_safe + at));
                // q = 0 and 1: the ends of the line.
                const V inf = hn::Set(d, survival ? -HUGE_VAL : HUGE_VAL);
                x = hn::IfThenElse(hn::Eq(qs, one), inf, x);
                x = hn::IfThenElse(hn::And(hn::Eq(qs, hn::Zero(d)), hn::Not(hn::IsNaN(qv))), hn::Neg(inf), x);
                const M defined = hn::And(usable_row, hn::And(hn::Ge(qs, hn::Zero(d)), hn::Le(qs, one)));
                const M nan = hn::Or(hn::IsNaN(qv), hn::Not(defined));
                hn::StoreU(hn::IfThenElse(nan, hn::NaN(d), x), d, out + a * W);
            }
        });
    }

  private:
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;

    // Lanes whose |y| reaches this are far beyond every tail: the values are
    // the limits and the logarithms -u, to within rounding of u itself.
    static constexpr double far = 0x1p64;

    template <std::size_t K> HWY_INLINE void prepare(std::size_t at)
    {
        const D d;
        const hn::RebindToSigned<D> di;
        V l = hn::Load(d, loc + at), s = hn::Load(d, scale + at), p[K];
        M valid = hn::And(hn::IsFinite(l), hn::IsFinite(s));
        valid = hn::And(valid, hn::Gt(nan_to_zero(d, s), hn::Zero(d)));
        M nonzero = hn::FirstN(d, 0);
        for (std::size_t i = 0; i < K; ++i) {
            p[i] = hn::Load(d, param[i] + at);
            valid = hn::And(valid, hn::IsFinite(p[i]));
            nonzero = hn::Or(nonzero, hn::Ne(nan_to_zero(d, p[i]), hn::Zero(d)));
        }
        valid = hn::And(valid, nonzero);
        // Invalid lanes compute the plain logistic row, and end as NaN.
        l = hn::IfThenElseZero(valid, l);
        s = hn::IfThenElse(valid, s, hn::Set(d, 1.0));
        for (std::size_t i = 0; i < K; ++i)
            p[i] = hn::IfThenElse(valid, p[i], hn::Set(d, i == 0 ? 1.0 : 0.0));

        // p(loc + s t) = R^deg sum_i (a_i R^i / R^deg) (loc' + s' t)^i with
        // R = 2^E of the size of max(|loc|, s): loc', s' <= 2 and every
        // scaled coefficient at most 2, whatever the magnitudes.
        const auto E = hn::Max(exponent(d, hn::Max(hn::Abs(l), s)), hn::Set(di, int64_t{-1000}));
        const auto minus_E = hn::Neg(E);
        l = scale_by(d, l, minus_E);
        s = scale_by(d, s, minus_E);
        hn::Vec<hn::RebindToSigned<D>> shift[K], top = hn::Set(di, int64_t{-100000});
        auto iE = hn::Zero(di);
        for (std::size_t i = 0; i < K; ++i) {
            const auto e_i = hn::IfThenElse(hn::RebindMask(di, hn::Eq(p[i], hn::Zero(d))),
                                            hn::Set(di, int64_t{-100000}), hn::Add(exponent(d, p[i]), iE));
            shift[i] = iE;
            top = hn::Max(top, e_i);
            iE = hn::Add(iE, E);
        }
        // Taylor coefficients of the scaled p about loc' (synthetic
        // division), then times s'^j: the coefficients of P.
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
        // A P that is 0 to double precision (s' underflowed at a root of p)
        // is not a distribution.
        valid = hn::And(valid, hn::Gt(largest, hn::Zero(d)));
        // The same factor 2^-normalise scales the coefficients of p in w =
        // x / R, from which each point takes its own expansion: p at the
        // point itself is accurate where P, expanded about loc, would
        // cancel far from it.
        const auto normalise = hn::Neg(exponent(d, largest));
        for (std::size_t j = 0; j < K; ++j) {
            b[j] = scale_by(d, b[j], normalise);
            a[j] = scale_by(d, a[j], normalise);
            hn::Store(a[j], d, coefficient[j] + at);
            hn::Store(p[j], d, polynomial[j] + at);
        }
        // P = p 2^(normalise - top): its logarithm where P underflows.
        hn::Store(hn::ConvertTo(d, hn::Sub(normalise, top)), d, log2_scaling + at);
        hn::Store(s, d, scale_reduced + at);
        hn::Store(minus_E, di, exponent_reduction + at);

        // The mass of P^2 f on each side of loc, int_0^inf P(+-t)^2 f(t) dt,
        // by the 6-point Gauss rule of f on the half line (exact for degree
        // 11 >= 2k - 2): sums of positive terms, P at the nodes from the
        // coefficients in w.  S is their sum.
        static constexpr double node[6] = {0.28620734415933307774, 1.3818769138172730413,
                                           3.210415727274174122,   5.9709677823406553606,
                                           10.021125749383450446,  16.161566592431784565};
        static constexpr double weight[6] = {0.17476262272777249175,  0.23289434044718687776,
                                             0.083666542244823332101, 0.0084588594150426524109,
                                             0.00021688398810795676025, 7.5117706668921727174e-7};
        V above = hn::Zero(d), below = hn::Zero(d);
        for (std::size_t n = 0; n < 6; ++n)
            for (int side = -1; side <= 1; side += 2) {
                const V w = hn::MulAdd(hn::Set(d, side * node[n]), s, l);
                V P = a[K - 1];
                for (std::size_t j = K - 1; j-- > 0;)
                    P = hn::MulAdd(w, P, a[j]);
                V &mass_side = side > 0 ? above : below;
                mass_side = hn::MulAdd(hn::Mul(P, P), hn::Set(d, weight[n]), mass_side);
            }
        V S = hn::Add(above, below);
        valid = hn::And(valid, hn::Gt(S, hn::Zero(d)));
        S = hn::IfThenElse(valid, S, hn::Set(d, 1.0));
        hn::Store(hn::IfThenElse(valid, above, hn::Set(d, 0.5)), d, mass_above + at);
        hn::Store(hn::IfThenElse(valid, below, hn::Set(d, 0.5)), d, mass_below + at);

        // The first two moments of t, sum_n M_{n+1} beta_n / S and
        // sum_n M_{n+2} beta_n / S, beta_n = sum_{i+j=n} b_i b_j: the start
        // of the quantiles needs them only roughly.
        const double *M = shifted.moment;
        V first = hn::Zero(d), second = hn::Zero(d);
        for (std::size_t n = 0; n <= 2 * K - 2; ++n) {
            V beta = hn::Zero(d);
            for (std::size_t i = n < K ? 0 : n - K + 1; i <= n / 2; ++i)
                beta = hn::MulAdd(i == n - i ? b[i] : hn::Add(b[i], b[i]), b[n - i], beta);
            hn::Store(beta, d, square[n] + at);
            if (n % 2 == 0)
                second = hn::MulAdd(beta, hn::Set(d, M[n + 2]), second);
            else
                first = hn::MulAdd(beta, hn::Set(d, M[n + 1]), first);
        }
        // The logistic of the same mean and variance: its scale is
        // sqrt(3 variance) / pi.
        const V mean = hn::Div(first, S);
        const V variance = hn::Max(hn::NegMulAdd(mean, mean, hn::Div(second, S)), hn::Zero(d));
        hn::Store(hn::IfThenElseZero(valid, mean), d, center + at);
        hn::Store(hn::IfThenElse(valid, hn::Mul(hn::Sqrt(variance), hn::Set(d, 0.5513288954217920)),
                                 hn::Set(d, 1.0)),
                  d, spread + at);
        hn::Store(S, d, mass + at);
        hn::Store(hn::Log(d, S), d, log_mass + at);
        // Invalid rows keep a plain logistic row for the arithmetic.
        const V scale_used = hn::IfThenElse(valid, hn::Load(d, scale + at), hn::Set(d, 1.0));
        hn::Store(scale_used, d, scale_safe + at);
        hn::Store(hn::IfThenElseZero(valid, hn::Load(d, loc + at)), d, loc_safe + at);
        hn::Store(hn::Log(d, scale_used), d, log_scale + at);
        hn::Store(hn::IfThenElseZero(valid, hn::Set(d, 1.0)), d, usable + at);
    }

    // y = (x - loc) / scale of the lanes at `at`; invalid rows give NaN.
    HWY_INLINE V standardise(D d, V x, std::size_t at) const
    {
        const V y = quotient_or_inf(d, hn::Sub(x, hn::Load(d, loc_safe + at)), hn::Load(d, scale_safe + at));
        return hn::IfThenElse(hn::Eq(hn::Load(d, usable + at), hn::Zero(d)), hn::NaN(d), y);
    }

    // w = x / R of the lanes at `at`.
    HWY_INLINE V reduced(D d, V x, std::size_t at) const
    {
        const hn::RebindToSigned<D> di;
        return scale_by(d, x, hn::Load(di, exponent_reduction + at));
    }

    // The Taylor coefficients c of P about the point (c[0] = P(y) = p(x)):
    // those of p about w = x / R by synthetic division, times (scale /
    // R)^j; read in the direction away from loc: P(y + tau) for y >= 0,
    // P(y - tau) below.
    template <std::size_t K> HWY_INLINE void about(D d, V x, std::size_t at, M upper, V *c) const
    {
        const V w = reduced(d, x, at);
        for (std::size_t j = 0; j < K; ++j)
            c[j] = hn::Load(d, coefficient[j] + at);
        for (std::size_t j = 0; j < K; ++j)
            for (std::size_t i = K - 1; i-- > j;)
                c[i] = hn::MulAdd(w, c[i + 1], c[i]);
        const V s = hn::Load(d, scale_reduced + at);
        V s_power = s;
        for (std::size_t j = 1; j < K; ++j) {
            c[j] = hn::Mul(c[j], s_power);
            s_power = hn::Mul(s_power, s);
            if (j % 2 == 1)
                c[j] = hn::IfThenElse(upper, c[j], hn::Neg(c[j]));
        }
    }

    // int between 0 and y of P(t)^2 f(t) dt for |y| < 1: the polynomial
    // sum_m g_m y^(m+1), g_m = (beta * density)_m / (m + 1), P^2 = sum_n
    // beta_n t^n about loc times f's Taylor series, integrated term by term.
    // Every lane sums all its terms, whatever y, so that none depends on
    // another.  The coefficients are formed once per block of rows, when a
    // point first needs them.
    template <std::size_t K> HWY_INLINE V near_loc(D d, V y, std::size_t at) const
    {
        constexpr std::size_t terms = 2 * K - 2 + density_terms;
        if (!near_ready[at / W]) {
            for (std::size_t m = 0; m < terms; ++m) {
                // f is even: only n of the parity of m meet a term of it.
                V g = hn::Zero(d);
                for (std::size_t n = m % 2; n <= 2 * K - 2 && n <= m; n += 2)
                    g = hn::MulAdd(hn::Load(d, square[n] + at), hn::Set(d, shifted.integrated[m][n]), g);
                hn::Store(g, d, near_polynomial[m] + at);
            }
            near_ready[at / W] = true;
        }
        // Horner in y^4 over the four residues of m, so that four short
        // chains of products run side by side, then y (a + y (b + y (c + y d))).
        const V y2 = hn::Mul(y, y), y4 = hn::Mul(y2, y2);
        V part[4];
        for (std::size_t r = 0; r < 4; ++r) {
            std::size_t m = r + (terms - 1 - r) / 4 * 4;
            part[r] = hn::Load(d, near_polynomial[m] + at);
            while (m >= r + 4) {
                m -= 4;
                part[r] = hn::MulAdd(part[r], y4, hn::Load(d, near_polynomial[m] + at));
            }
        }
        const V sum = hn::MulAdd(hn::MulAdd(hn::MulAdd(part[3], y, part[2]), y, part[1]), y, part[0]);
        return hn::Abs(hn::Mul(sum, y));
    }

    // int between 0 and y of P(t)^2 f(t) dt (|y| <= 32), by ceil(|y|)
    // panels of 12-point Gauss-Legendre: exact for P^2 times f's
    // polynomial part of degree 13, which f, analytic within pi of the real
    // line, is to rounding on a panel of width 1 (8 points leave 1e-12).
    // P at x = loc + scale t from the coefficients in w.
    template <std::size_t K> HWY_INLINE V between_loc(D d, V y, std::size_t at) const
    {
        static constexpr double node[6] = {0.12523340851146892, 0.36783149899818019, 0.58731795428661745,
                                           0.76990267419430469, 0.90411725637047486, 0.98156063424671925};
        static constexpr double weight[6] = {0.24914704581340279, 0.23349253653835481, 0.20316742672306592,
                                             0.16007832854334623, 0.10693932599531843, 0.047175336386511827};
        const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
        const V u = hn::Abs(y);
        const V panels = hn::Max(hn::Ceil(u), one);
        const V h = hn::Div(y, panels); // signed width
        const V loc_lanes = hn::Load(d, loc_safe + at), s = hn::Load(d, scale_safe + at);
        const std::size_t count = static_cast<std::size_t>(hn::GetLane(hn::MaxOfLanes(d, panels)));
        V sum = hn::Zero(d);
        for (std::size_t k = 0; k < count; ++k) {
            const M live = hn::Lt(hn::Set(d, static_cast<double>(k)), panels);
            const V middle = hn::Mul(h, hn::Set(d, static_cast<double>(k) + 0.5));
            V panel = hn::Zero(d);
            for (std::size_t i = 0; i < 12; ++i) {
                const double xi = i < 6 ? -node[5 - i] : node[i - 6];
                const double wi = i < 6 ? weight[5 - i] : weight[i - 6];
                const V t = hn::MulAdd(hn::Mul(h, half), hn::Set(d, xi), middle);
                const V w = reduced(d, hn::MulAdd(t, s, loc_lanes), at);
                V P = hn::Load(d, coefficient[K - 1] + at);
                for (std::size_t j = K - 1; j-- > 0;)
                    P = hn::MulAdd(w, P, hn::Load(d, coefficient[j] + at));
                const V e = hn::Exp(d, hn::Neg(hn::Abs(t)));
                const V one_plus_e = hn::Add(one, e);
                const V f = hn::Div(e, hn::Mul(one_plus_e, one_plus_e));
                panel = hn::MulAdd(hn::Mul(P, P), hn::Mul(f, hn::Set(d, wi)), panel);
            }
            sum = hn::Add(sum, hn::IfThenElseZero(live, panel));
        }
        return hn::Mul(sum, hn::Mul(hn::Abs(h), half));
    }

    // The tails at the points x, y = (x - loc) / scale, of the lanes at
    // `at`; lanes outside `live` may take the cheaper path, and their
    // values are not used.
    template <std::size_t K, Density Want, bool Logs>
    HWY_INLINE Tail<D> tails_at(D d, V x, V y, std::size_t at, M live) const
    {
        constexpr std::size_t N = 2 * K - 2;
        Tail<D> r;
        r.nan = hn::IsNaN(y);
        const V u_all = hn::Abs(hn::IfThenZeroElse(r.nan, y));
        r.upper = hn::Ge(hn::IfThenZeroElse(r.nan, y), hn::Zero(d));
        const M beyond = hn::Ge(u_all, hn::Set(d, far));
        const V u = hn::IfThenZeroElse(beyond, u_all);
        const V ys = hn::IfThenElse(r.upper, u, hn::Neg(u));
        // Lanes without a finite expansion take loc's, and end as limits.
        const V xs = hn::IfThenElse(hn::Or(r.nan, beyond), hn::Load(d, loc_safe + at), x);

        // Near loc (u < 1) the tail is (mass - I) / S while the integral I
        // from loc to the point is at most half the mass beyond loc on that
        // side: sums of positive terms, with no series to cancel.
        const V one = hn::Set(d, 1.0);
        const V S = hn::Load(d, mass + at);
        const V above = hn::Load(d, mass_above + at), below = hn::Load(d, mass_below + at);
        const V beyond_small = hn::IfThenElse(r.upper, above, below);
        const V beyond_other = hn::IfThenElse(r.upper, below, above);
        const M finite = hn::And(live, hn::Not(hn::Or(r.nan, beyond)));
        const M near = hn::And(finite, hn::Lt(u, hn::Set(d, taylor_limit)));
        V I = hn::Zero(d);
        M inner = hn::FirstN(d, 0);
        if (!hn::AllFalse(d, near)) {
            I = near_loc<K>(d, hn::IfThenElseZero(near, ys), at);
            inner = hn::And(near, hn::Le(hn::Add(I, I), beyond_small));
        }

        // Elsewhere the tail is sum_{i,j} c_i c_j J_{i+j} / S, with J scaled
        // by e^u from u = 1 on and e^-u multiplied back in two halves, so
        // that the tail underflows only where its value does.
        const V e_half = half_exp(d, u);
        const V e = hn::Mul(e_half, e_half);
        V J[N + 1], c[K];
        shifted_moments<N>(d, u, e, hn::Not(inner), J);
        about<K>(d, xs, at, r.upper, c);
        const M scaled = hn::Ge(u, hn::Set(d, taylor_limit));
        const V e_scaled = hn::IfThenElse(scaled, e_half, one);
        V T = hn::Zero(d);
        for (std::size_t i = 0; i < K; ++i) {
            V w = hn::Mul(c[0], J[i]);
            for (std::size_t j = 1; j < K; ++j)
                w = hn::MulAdd(c[j], J[i + j], w);
            T = hn::MulAdd(c[i], w, T);
        }
        const M positive = hn::Gt(T, hn::Zero(d));
        const V T_safe = hn::IfThenElse(positive, T, one);
        r.small = hn::IfThenElseZero(hn::AndNot(beyond, positive),
                                     hn::Mul(hn::Div(hn::Mul(e_scaled, T_safe), S), e_scaled));

        // Where the tail is the larger side (u <= 32: beyond, the far side's
        // mass is below the rounding of 1), the other side is (mass + I) / S
        // too, with I over ceil(u) panels.  Of two sides computed apart, the
        // smaller is kept and the larger is 1 minus it, so that they add to
        // 1 within half an ulp.  Elsewhere the side across loc is 1 - small,
        // within an ulp of 1 and so within 2 ulp of itself.
        const M long_tail = hn::AndNot(near, hn::And(finite, hn::And(hn::Gt(r.small, hn::Set(d, 0.875)),
                                                                    hn::Le(u, hn::Set(d, 32.0)))));
        if (!hn::AllFalse(d, long_tail))
            I = hn::Add(I, between_loc<K>(d, hn::IfThenElseZero(long_tail, ys), at));
        r.other = hn::Sub(one, r.small);
        const M anchored = hn::Or(near, long_tail);
        if (!hn::AllFalse(d, anchored)) {
            const V small = hn::IfThenElse(inner, hn::Div(hn::Sub(beyond_small, I), S), r.small);
            const V other = hn::Min(hn::Div(hn::Add(beyond_other, I), S), one);
            const M tail_smaller = hn::Le(small, other);
            r.small = hn::IfThenElse(anchored, hn::IfThenElse(tail_smaller, small, hn::Sub(one, other)), r.small);
            r.other = hn::IfThenElse(anchored, hn::IfThenElse(tail_smaller, hn::Sub(one, small), other), r.other);
        }
        // The logarithm of the tail: of the value itself while it is a
        // normal number (an absolute error of an ulp of |log|), else of its
        // factors, e^-u scaled out.
        if (Logs) {
            const M normal = hn::Ge(r.small, hn::Set(d, 0x1p-1000));
            const V factors = hn::Sub(hn::Sub(hn::Log(d, T_safe), hn::IfThenElseZero(scaled, u)), hn::Load(d, log_mass + at));
            const V log_factors = hn::IfThenElse(positive, factors, hn::Set(d, -HUGE_VAL));
            const V log_small = hn::IfThenElse(normal, hn::Log(d, hn::IfThenElse(normal, r.small, one)), log_factors);
            r.log_small = hn::IfThenElse(beyond, hn::Neg(u_all), log_small);
        }
        if (Want != Density::none) {
            // The density of y, P(y)^2 f(y) / S with f(y) = e / (1 + e)^2
            // and P(y) = c[0], or its logarithm; and the slope of its
            // logarithm, 2 P'/P + (log f)' with (log f)'(y) = -+(1 - e) /
            // (1 + e) and P' = +-c[1] (c is read away from loc).
            const M zero = hn::Eq(c[0], hn::Zero(d));
            if (Want == Density::linear)
                r.density = density_of_y<K>(d, c[0], xs, u, e_half, at, false, one);
            else
                r.log_density = density_of_y<K>(d, c[0], xs, u, e_half, at, true, one);
            const V outward = hn::Sub(hn::Div(hn::Add(c[1], c[1]), hn::IfThenElse(zero, one, c[0])),
                                      hn::Div(hn::Sub(one, e), hn::Add(one, e)));
            r.density_slope = hn::IfThenZeroElse(zero, hn::IfThenElse(r.upper, outward, hn::Neg(outward)));
        }
        return r;
    }

    // The point y of every lane whose side probability is t = e^L: the
    // distribution function if the lane's `upper` is false, the survival
    // function if it is true.  Halley's method on G(y) = F_side(y) - t, or
    // on log F_side(y) - L where t is below 2^-20 and F_side is nearly
    // exponential in y; from the quantile of the logistic of the same mean
    // and variance.  Every evaluation narrows a bracket; a step that leaves
    // it or does not halve the one before (at a root of p the density is 0)
    // is a bisection, or a doubling while the bracket is open on that side.
    // Lanes stop once the step is below the spacing of y and of x.  The two
    // forms run one after the other, each on its own lanes, so that a
    // lane's iterations depend on nothing but its own target.
    template <std::size_t K> HWY_INLINE V solve(D d, V t, V L, M upper, M active, std::size_t at) const
    {
        const M linear = hn::And(active, hn::Ge(t, hn::Set(d, 0x1p-20)));
        const M logarithmic = hn::AndNot(linear, active);
        V y = solve_in<K, true>(d, t, L, upper, linear, at);
        if (!hn::AllFalse(d, logarithmic))
            y = hn::IfThenElse(logarithmic, solve_in<K, false>(d, t, L, upper, logarithmic, at), y);
        return y;
    }

    template <std::size_t K, bool Linear>
    HWY_INLINE V solve_in(D d, V t, V L, M upper, M active, std::size_t at) const
    {
        const V one = hn::Set(d, 1.0), inf = hn::Set(d, HUGE_VAL);
        const V shift = quotient_or_inf(d, hn::Load(d, loc_safe + at), hn::Load(d, scale_safe + at));
        const V logit = hn::Sub(L, hn::Log1p(d, hn::Neg(t)));
        V y = hn::MulAdd(hn::IfThenElse(upper, hn::Neg(logit), logit), hn::Load(d, spread + at),
                         hn::Load(d, center + at));
        const V target = Linear ? t : L;
        const V g_tolerance = hn::Mul(Linear ? t : hn::Max(one, hn::Abs(L)), hn::Set(d, 0x1p-50));
        V lo = hn::Neg(inf), hi = inf, previous = inf;
        for (int iteration = 0; iteration < 200 && !hn::AllFalse(d, active); ++iteration) {
            // Lanes done, or not solved here, rest at loc, where x is finite.
            const V ye = hn::IfThenElseZero(active, y);
            const V xe = hn::MulAdd(ye, hn::Load(d, scale_safe + at), hn::Load(d, loc_safe + at));
            const Tail<D> tail = tails_at<K, Linear ? Density::linear : Density::logarithm, !Linear>(d, xe, ye, at, active);
            // F_side at ye: the tail on its own side, 1 - tail across.
            const M across = hn::Xor(upper, tail.upper);
            const V value = Linear ? hn::IfThenElse(across, hn::Max(hn::Sub(one, tail.small), hn::Zero(d)), tail.small)
                                   : hn::IfThenElse(across, log_other(d, tail), tail.log_small);
            const V g = hn::Sub(value, target);
            const M below = hn::Xor(upper, hn::Lt(g, hn::Zero(d))); // ye below the root
            lo = hn::IfThenElse(hn::And(active, below), ye, lo);
            hi = hn::IfThenElse(hn::AndNot(below, active), ye, hi);
            // |G'| = r: the density, or density / F_side for the logarithm,
            // and G'' / G' = h - (log: sigma r), h = density' / density,
            // sigma = -1 on the upper side.  Halley's step is
            // 2 g sigma / (r (2 + (log: g)) - g sigma h); Newton's, g sigma / r,
            // where Halley's denominator falls below half of Newton's.
            V r;
            if (Linear) {
                r = tail.density;
            } else {
                const V log_ratio = hn::Sub(hn::Max(tail.log_density, hn::Set(d, -1e300)), value);
                r = hn::Exp(d, hn::Min(hn::Max(log_ratio, hn::Set(d, -700.0)), hn::Set(d, 700.0)));
            }
            const V g_sigma = hn::IfThenElse(upper, hn::Neg(g), g);
            const V halley = hn::Sub(hn::Mul(r, Linear ? hn::Set(d, 2.0) : hn::Add(hn::Set(d, 2.0), g)),
                                     hn::Mul(g_sigma, tail.density_slope));
            const M cubic = hn::Ge(halley, r);
            const V numerator = hn::IfThenElse(cubic, hn::Add(g_sigma, g_sigma), g_sigma);
            const V denominator = hn::IfThenElse(cubic, halley, r);
            // A density too small for a finite step (at a root of p, say).
            // Steps are at most twice max(1, |y|), so that a nearly flat
            // stretch cannot throw y far beyond the distribution.
            const M flat = hn::Le(denominator, hn::Mul(hn::Abs(numerator), hn::Set(d, 0x1p-900)));
            const V width = hn::Max(one, hn::Abs(ye));
            const V reach = hn::Add(width, width);
            const V step = hn::Min(hn::Max(hn::Div(numerator, hn::IfThenElse(flat, one, denominator)),
                                           hn::Neg(reach)), reach);
            V next = hn::Sub(ye, step);
            const M bracketed = hn::And(hn::IsFinite(lo), hn::IsFinite(hi));
            const M slow = hn::And(bracketed, hn::Gt(hn::Add(hn::Abs(step), hn::Abs(step)), previous));
            const M inside = hn::AndNot(hn::Or(flat, slow), hn::And(hn::Ge(next, lo), hn::Le(next, hi)));
            const V open_step = hn::IfThenElse(below, hn::Add(ye, width), hn::Sub(ye, width));
            const V bisect = hn::Mul(hn::Add(hn::IfThenElse(bracketed, lo, ye), hn::IfThenElse(bracketed, hi, ye)),
                                     hn::Set(d, 0.5));
            next = hn::IfThenElse(inside, next, hn::IfThenElse(bracketed, bisect, open_step));
            previous = hn::IfThenElse(active, hn::Abs(hn::Sub(next, ye)), previous);
            // Done: the step taken leaves an error below the spacing of y
            // and of x = loc + scale y (a Halley step delta leaves about
            // (h delta)^2 delta, a Newton step h delta^2, h = density' /
            // density, bounded here by 4 (1 + |h|)^2 delta^3 and
            // (1 + |h|) delta^2); G is 0 to rounding; the bracket is that
            // narrow; or the step returns to an end of the bracket (a cycle
            // at rounding level).
            const V magnitude = hn::Max(hn::Max(hn::Abs(ye), hn::Abs(hn::Add(ye, shift))), hn::Set(d, 0x1p-1000));
            const V tolerance = hn::Mul(magnitude, hn::Set(d, 0x1p-50));
            const V moved = hn::Abs(hn::Sub(next, ye));
            const V curvature = hn::Add(one, hn::Abs(tail.density_slope));
            const V left = hn::IfThenElse(cubic, hn::Mul(hn::Mul(hn::Set(d, 4.0), hn::Mul(curvature, moved)),
                                                         hn::Mul(hn::Mul(curvature, moved), moved)),
                                          hn::Mul(hn::Mul(curvature, moved), moved));
            const M converging = hn::And(inside, hn::Le(left, tolerance));
            const M cycle = hn::Or(hn::Eq(next, lo), hn::Eq(next, hi));
            const M done = hn::Or(hn::Or(hn::Le(hn::Abs(g), g_tolerance), cycle),
                                  hn::Or(hn::Or(hn::Le(moved, tolerance), converging),
                                         hn::Le(hn::Sub(hi, lo), tolerance)));
            y = hn::IfThenElse(active, next, y);
            active = hn::AndNot(done, active);
        }
        return y;
    }

    // log|P| at x, P = p(x) 2^log2_scaling as the coefficients scale it.
    // Where P is below 2^-900 (next to a root of p, or where the scaling
    // took a coefficient below the range: p = 1 + 1e-10 x^2 at scale
    // 1e300) it is log|p(x)| + log2_scaling ln 2, with p(x) summed from the
    // coefficients themselves, each term a_j x^j as m_j 2^(e_j) and added
    // relative to the largest, so that no term over- or underflows.
    template <std::size_t K> HWY_INLINE V log_abs_P(D d, V x, V P, std::size_t at) const
    {
        const V floor = hn::Set(d, 0x1p-900);
        const M tiny = hn::Lt(hn::Abs(P), floor);
        const V log_P = hn::Log(d, hn::Max(hn::Abs(P), floor));
        if (hn::AllFalse(d, tiny))
            return log_P;
        const hn::RebindToSigned<D> di;
        using VI = hn::Vec<decltype(di)>;
        const VI none = hn::Set(di, int64_t{-100000});
        const VI x_exponent = exponent(d, x);
        const V x_mantissa = scale_by(d, x, hn::Neg(x_exponent));
        V m[K], power = hn::Set(d, 1.0);
        VI e[K], power_exponent = hn::Zero(di), largest = none;
        for (std::size_t j = 0; j < K; ++j) {
            const V a = hn::Load(d, polynomial[j] + at);
            const VI a_exponent = exponent(d, a);
            m[j] = hn::Mul(scale_by(d, a, hn::Neg(a_exponent)), power);
            e[j] = hn::IfThenElse(hn::RebindMask(di, hn::Eq(m[j], hn::Zero(d))), none,
                                  hn::Add(a_exponent, power_exponent));
            largest = hn::Max(largest, e[j]);
            power = hn::Mul(power, x_mantissa);
            power_exponent = hn::Add(power_exponent, x_exponent);
        }
        V sum = hn::Zero(d);
        for (std::size_t j = 0; j < K; ++j)
            sum = hn::Add(sum, scale_by(d, m[j], hn::Sub(e[j], largest)));
        // + (largest + log2_scaling) ln 2, ln 2 in two parts so that the
        // product is exact to the last bits of the sum.
        const V n = hn::Add(hn::ConvertTo(d, largest), hn::Load(d, log2_scaling + at));
        const M zero = hn::Eq(sum, hn::Zero(d));
        const V log_sum = hn::Log(d, hn::IfThenElse(zero, hn::Set(d, 1.0), hn::Abs(sum)));
        const V log_p = hn::MulAdd(n, hn::Set(d, 0x1.62e42feep-1),
                                   hn::MulAdd(n, hn::Set(d, 0x1.a39ef35793c76p-33), log_sum));
        return hn::IfThenElse(tiny, hn::IfThenElse(zero, hn::Set(d, -HUGE_VAL), log_p), log_P);
    }

    // The density of y, P(y)^2 f(y) / S with f(y) = e / (1 + e)^2 and e =
    // e^-u formed in halves, or its logarithm 2 log|P| - u - 2 log1p(e) -
    // log S; P = p(x) from the scaled coefficients.  The value is divided by
    // `per` too (the scale, for the density of x) before its last factor, so
    // that it underflows only where the result does.
    template <std::size_t K>
    HWY_INLINE V density_of_y(D d, V P, V x, V u, V e_half, std::size_t at, bool logarithm, V per) const
    {
        const V e = hn::Mul(e_half, e_half);
        if (logarithm) {
            const V log1p_e = hn::Log1p(d, e);
            const V log_P = log_abs_P<K>(d, x, P, at);
            return hn::Sub(hn::Sub(hn::Add(log_P, log_P), hn::Add(u, hn::Add(log1p_e, log1p_e))),
                           hn::Load(d, log_mass + at));
        }
        const V one_plus_e = hn::Add(hn::Set(d, 1.0), e);
        const V S = hn::Load(d, mass + at);
        return hn::Mul(hn::Div(hn::Mul(hn::Mul(P, P), e_half), hn::Mul(hn::Mul(S, per), hn::Mul(one_plus_e, one_plus_e))),
                       e_half);
    }

    // The density of x, that of y over the scale, or its logarithm.
    template <std::size_t K> HWY_INLINE V density_at(D d, V x, V y, std::size_t at, bool log_density) const
    {
        const M nan = hn::IsNaN(y);
        const V u_all = hn::Abs(hn::IfThenZeroElse(nan, y));
        const M beyond = hn::Ge(u_all, hn::Set(d, far));
        const V u = hn::IfThenZeroElse(beyond, u_all);
        const V xs = hn::IfThenElse(hn::Or(nan, beyond), hn::Load(d, loc_safe + at), x);
        const V w = reduced(d, xs, at);
        V P = hn::Load(d, coefficient[K - 1] + at);
        for (std::size_t i = K - 1; i-- > 0;)
            P = hn::MulAdd(w, P, hn::Load(d, coefficient[i] + at));
        const V density = density_of_y<K>(d, P, xs, u, half_exp(d, u), at, log_density,
                                          hn::Load(d, scale_safe + at));
        const V value = log_density
                            ? hn::IfThenElse(beyond, hn::Neg(u_all), hn::Sub(density, hn::Load(d, log_scale + at)))
                            : hn::IfThenZeroElse(beyond, density);
        return hn::IfThenElse(nan, hn::NaN(d), value);
    }

    // Set by precalc: the coefficients of p in w = x / R, R = 2^E of the
    // size of max(|loc|, scale), scaled so that those of P(t) =
    // p(loc + scale t) are at most 2.
    HWY_ALIGN double coefficient[max_k][B];
    HWY_ALIGN double mass[B];
    HWY_ALIGN double mass_above[B]; // int_0^inf P(t)^2 f(t) dt
    HWY_ALIGN double mass_below[B]; // int_-inf^0 P(t)^2 f(t) dt
    HWY_ALIGN double log_mass[B];
    HWY_ALIGN double log_scale[B];
    HWY_ALIGN double usable[B];
    HWY_ALIGN double loc_safe[B];
    HWY_ALIGN double scale_safe[B];
    HWY_ALIGN double polynomial[max_k][B]; // p itself (1 for invalid rows)
    HWY_ALIGN double square[max_n][B];     // P^2 = sum_n square[n] t^n about loc
    // The integral from loc near it, formed when first needed.
    mutable bool near_ready[U] = {};
    HWY_ALIGN mutable double near_polynomial[near_terms][B];
    HWY_ALIGN double log2_scaling[B];      // P = p 2^log2_scaling
    HWY_ALIGN double scale_reduced[B];  // scale / R
    HWY_ALIGN int64_t exponent_reduction[B]; // -log2 R
    HWY_ALIGN double center[B]; // mean of y
    HWY_ALIGN double spread[B]; // scale of the logistic of the same variance
};

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
