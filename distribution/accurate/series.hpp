// The moments of the logistic density beyond a point, and the fixed tables
// of the accurate family.
//
//     J_n(u) = int_0^inf tau^n f(u + tau) dtau = -n! Li_n(-e^-u),   n = 0 .. 10,
//
// every one positive and of the size of the tail itself.  Below u = 1 they
// are the Taylor series about u = 1/2 of
//     -Li_n(-e^-u) = sum_j eta(n - j) (-u)^j / j!     (radius pi about 0),
// with no exponential to round; from u = 1 on they are carried as
// Jhat_n = J_n e^u, finite where e^-u underflows, and are the Taylor series
// about e = e^-1 / 2 of
//     -Li_n(-e) / e = sum_{i>=1} (-e)^(i-1) / i^n,    e = e^-u in [0, e^-1],
// (radius 1 about 0), orders 0 and 1 in closed form, 1 / (1 + e) and
// log1p(e) / e.  Each series has a fixed number of terms, enough for 2^-60
// of its value over its whole range, so that every lane sums the same terms
// whatever its u or its neighbours'.
//
// The first part of this header is compiled once; the second once per
// instruction set.
#include "../simd/lanes.hpp"

#ifndef DISTRIBUTION_ACCURATE_SERIES_HPP
#define DISTRIBUTION_ACCURATE_SERIES_HPP

#include <gsl/gsl_sf_gamma.h>
#include <gsl/gsl_sf_zeta.h>

#include <cmath>
#include <cstddef>

// Below it, the series in u about near_center; from it, the series in e^-u
// about far_center.
constexpr double taylor_limit = 1.0;
constexpr double near_center = 0.5;
constexpr double far_center = 0.18393972058572116; // e^-1 / 2
// Terms of the two series, at most.
constexpr std::size_t max_terms = 32;
// f(t) = sum_j density[j] t^j to degree 40 serves |t| < 1 to 2^-60 of f(t)
// (the series alternates, radius pi); times P^2, of degree up to 10, it
// gives the polynomial of the integral from loc for u < 1.
constexpr std::size_t density_terms = 41;
constexpr std::size_t near_terms = max_n + density_terms - 1;
// Moments of f over the line, int t^n f(t) dt, to the order of P^2 t^12.
constexpr std::size_t max_moment = max_n + 12;

struct SeriesTables {
    double factorial[max_n];         // n!
    double near[max_n][max_terms];   // -Li_n(-e^-u) about u = 1/2
    std::size_t near_count[max_n];
    double far[max_n][max_terms];    // -Li_n(-e) / e about e = e^-1 / 2
    std::size_t far_count[max_n];
    double moment[max_moment];       // 1, 0, 2 2! eta(2), 0, ...
    double density[density_terms];   // eta(-(j+1)) (-1)^j / j!
    double integrated[near_terms][max_n]; // density[m - n] / (m + 1)
};

inline SeriesTables shifted;

namespace detail {
inline double eta(int n) { return gsl_sf_eta_int(n); }
inline double fact(std::size_t n) { return gsl_sf_fact(static_cast<unsigned int>(n)); }

// The coefficients c[0 .. max_terms) of a series about a point, in long
// double, kept to the last whose term over the range (|v| <= radius) is
// above 2^-62 of the first; their number.
inline std::size_t keep(const long double *c, double radius, double *out)
{
    std::size_t count = 1;
    long double power = 1;
    for (std::size_t k = 0; k < max_terms; ++k, power *= radius)
        if (std::fabs(c[k]) * power > 0x1p-62L * std::fabs(c[0]))
            count = k + 1;
    for (std::size_t k = 0; k < max_terms; ++k)
        out[k] = k < count ? static_cast<double>(c[k]) : 0;
    return count;
}

// -Li_n(-e^-u) about u = 1/2, from its series about 0 (to degree 119,
// well past the precision at |u| <= 1).
inline void near_series(std::size_t n)
{
    constexpr std::size_t degree = 120;
    long double at_zero[degree], c[max_terms] = {};
    for (std::size_t j = 0; j < degree; ++j)
        at_zero[j] = (j % 2 == 0 ? 1 : -1) * static_cast<long double>(eta(static_cast<int>(n) - static_cast<int>(j))) /
                     static_cast<long double>(fact(j));
    for (std::size_t k = 0; k < max_terms; ++k) {
        long double binomial = 1, power = 1; // C(j, k), 0.5^(j - k)
        for (std::size_t j = k; j < degree; ++j) {
            c[k] += at_zero[j] * binomial * power;
            binomial = binomial * static_cast<long double>(j + 1) / static_cast<long double>(j + 1 - k);
            power *= near_center;
        }
    }
    shifted.near_count[n] = keep(c, taylor_limit - near_center, shifted.near[n]);
}

// -Li_n(-e) / e about e = far_center: the coefficient of delta^k is
// sum_{i>k} (-1)^(i-1) C(i-1, k) far_center^(i-1-k) / i^n.
inline void far_series(std::size_t n)
{
    long double c[max_terms] = {};
    for (std::size_t k = 0; k < max_terms; ++k) {
        long double binomial = 1, power = 1; // C(i - 1, k), far_center^(i - 1 - k)
        for (std::size_t i = k + 1; i < k + 400; ++i) {
            c[k] += ((i - 1) % 2 == 0 ? 1 : -1) * binomial * power /
                    std::pow(static_cast<long double>(i), static_cast<long double>(n));
            binomial = binomial * static_cast<long double>(i) / static_cast<long double>(i - k);
            power *= far_center;
        }
    }
    shifted.far_count[n] = keep(c, far_center, shifted.far[n]);
}
} // namespace detail

// Builds `shifted` once, at import, under the interpreter lock.  GSL's calls
// stay in their domains: gsl_sf_eta_int is defined at every integer,
// gsl_sf_fact(n) for n <= 170.
inline void build_series_tables()
{
    static bool built = false;
    if (built)
        return;
    built = true;
    for (std::size_t n = 0; n < max_moment; ++n)
        shifted.moment[n] = n == 0 ? 1 : n % 2 == 1 ? 0 : 2 * detail::fact(n) * detail::eta(static_cast<int>(n));
    for (std::size_t j = 0; j < density_terms; ++j)
        shifted.density[j] = (j % 2 == 0 ? 1 : -1) * detail::eta(-static_cast<int>(j) - 1) / detail::fact(j);
    for (std::size_t m = 0; m < near_terms; ++m)
        for (std::size_t n = 0; n < max_n && n <= m; ++n)
            shifted.integrated[m][n] = m - n < density_terms ? shifted.density[m - n] / static_cast<double>(m + 1) : 0;
    for (std::size_t n = 0; n < max_n; ++n) {
        shifted.factorial[n] = detail::fact(n);
        detail::near_series(n);
        detail::far_series(n);
    }
}

#endif // DISTRIBUTION_ACCURATE_SERIES_HPP

// ---------------------------------------------------------------------------
// Per instruction set.
#if defined(DISTRIBUTION_ACCURATE_SERIES_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_SERIES_LANES
#undef DISTRIBUTION_ACCURATE_SERIES_LANES
#else
#define DISTRIBUTION_ACCURATE_SERIES_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

namespace detail {
// sum_k c[k] v^k, the count's terms, Horner, four terms a round.
template <class D> HWY_INLINE hn::Vec<D> series(D d, const double *c, std::size_t count, hn::Vec<D> v)
{
    std::size_t k = count - 1;
    hn::Vec<D> sum = hn::Set(d, c[k]);
    for (; k >= 4; k -= 4) {
        sum = hn::MulAdd(sum, v, hn::Set(d, c[k - 1]));
        sum = hn::MulAdd(sum, v, hn::Set(d, c[k - 2]));
        sum = hn::MulAdd(sum, v, hn::Set(d, c[k - 3]));
        sum = hn::MulAdd(sum, v, hn::Set(d, c[k - 4]));
    }
    while (k > 0) {
        --k;
        sum = hn::MulAdd(sum, v, hn::Set(d, c[k]));
    }
    return sum;
}
} // namespace detail

// The moments beyond the point, n = 0 .. N, at the u of every `wanted` lane
// (e = e^-u; other lanes get values of no use): J_n(u) below u = 1,
// Jhat_n(u) = J_n(u) e^u from u = 1 on.
template <std::size_t N, class D>
HWY_INLINE void shifted_moments(D d, hn::Vec<D> u, hn::Vec<D> e, hn::Mask<D> wanted, hn::Vec<D> *J)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0);
    const auto near = hn::Lt(u, hn::Set(d, taylor_limit));
    const bool any_near = !hn::AllFalse(d, hn::And(wanted, near));
    const bool any_far = !hn::AllFalse(d, hn::AndNot(near, wanted));
    // Each series sees the variable of its own lanes only, 0 elsewhere, so
    // that a lane it does not serve (u up to 1e300) cannot overflow in it.
    const V v = hn::IfThenElseZero(near, hn::Sub(u, hn::Set(d, near_center)));
    const V delta = hn::IfThenZeroElse(near, hn::Sub(e, hn::Set(d, far_center)));
    V Jhat[2] = {one, one};
    if (any_far) {
        const auto underflow = hn::Eq(e, hn::Zero(d));
        const V e_safe = hn::IfThenElse(underflow, one, e);
        Jhat[0] = hn::Div(one, hn::Add(one, e));
        Jhat[1] = hn::IfThenElse(underflow, one, hn::Div(hn::Log1p(d, e_safe), e_safe));
    }
    DISTRIBUTION_UNROLL
    for (std::size_t n = 0; n <= N; ++n) {
        const V factorial = hn::Set(d, shifted.factorial[n]);
        J[n] = hn::Zero(d);
        if (any_near)
            J[n] = hn::Mul(detail::series(d, shifted.near[n], shifted.near_count[n], v), factorial);
        if (any_far) {
            const V far = n < 2 ? Jhat[n] : hn::Mul(detail::series(d, shifted.far[n], shifted.far_count[n], delta), factorial);
            J[n] = hn::IfThenElse(near, J[n], far);
        }
    }
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
