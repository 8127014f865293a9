// The polynomially adjusted logistic distribution.
//
// For coefficients param = (a_0, ..., a_{k-1}), p(v) = a_0 + a_1 v + ... and the
// standard logistic density f(t) = e^-t / (1 + e^-t)^2, the distribution
// function at x, with y = (x - loc) / scale, is
//
//     F(x) = int_{-inf}^{y} p(loc + scale t)^2 f(t) dt
//            / int_{-inf}^{inf} p(loc + scale t)^2 f(t) dt.
//
// It is evaluated in closed form: p(loc + scale t)^2 is a polynomial of degree
// 2k - 2 in t, so F is a combination of the partial moments
// I_n(y) = int_{-inf}^{y} t^n f(t) dt, n = 0 .. 2k - 2, which follow from the
// half-line moments of f and its upper-tail moments
//
//     T_n(u) = int_u^inf t^n f(t) dt
//            = u^n (1 - G(u)) - sum_{l=0}^{n-1} n!/(n-1-l)! u^(n-1-l) Li_{l+1}(-e^-u),
//
// G being the logistic distribution function.  The polylogarithms of order 2
// and up are cut after 19 terms of their series: that truncation is the only
// approximation, largest next to loc and at rounding level beyond 1.5 scale
// units from it.
//
// Every value is formed by the same IEEE operations in the same order
// whatever the number of SIMD lanes: a lane holds one point and the row
// (loc, scale, coefficients) it belongs to, and rows of one point share a
// vector as readily as the points of one row.  No fused multiply-add is
// formed except in the exactly rounded quotients of the series.
//
// The first part of this header is compiled once; the second, the evaluation
// over lanes, once per instruction set (Highway's foreach_target).
#include "simd/lanes.hpp"

#ifndef DISTRIBUTION_APPROX_CLASS_HPP
#define DISTRIBUTION_APPROX_CLASS_HPP

#include <gsl/gsl_sf_gamma.h>
#include <gsl/gsl_sf_zeta.h>

#include <cstddef>

// Position of entry (i, j), j <= i, of a lower-triangular matrix stored row
// by row.
constexpr std::size_t tri(std::size_t i, std::size_t j) { return i * (i + 1) / 2 + j; }
constexpr std::size_t tri_size = tri(max_n, 0);

// The tables that depend on k only, shared by every Distribution of that k.
struct Tables {
    // Half-line moments C[j] = int_0^inf t^(j+1) f(t) dt = (j+1)! eta(j+1).
    double C[max_N];
    // (-1)^(j+1): with the sign pattern C_y it selects the full moment.
    double C_inf[max_N];
    // Gamma[j] = (j+1)!.
    double Gamma[max_N];
    // C_li[i] = 1/i!, the first column of the matrix (u^(i-j) / (i-j)!).
    double C_li[max_N];
    // Col[tri(i, j)] = binomial(i, j).
    double Col[tri_size];
    // Moments of f over the whole line: 1, 0, 2 C[1], 0, 2 C[3], ...
    double M[max_n];
};

// tables[k] for k = 2 .. max_k, filled by build_tables().
inline Tables tables[max_k + 1];

// Builds tables[2 .. max_k].  Called once, at import, under the interpreter
// lock and before the ufunc exists, so no loop can read them half built.
//
// GSL's default error handler aborts the process.  The calls below stay
// inside their domains: gsl_sf_fact(n) for n <= 2k - 2 <= 170,
// gsl_sf_zeta_int(n) for n >= 2 (away from the pole at 1),
// gsl_sf_choose(n, m) for m <= n.
inline void build_tables()
{
    // Once per process: a second initialisation of the module (another
    // interpreter) must not write tables that running loops read.
    static bool built = false;
    if (built)
        return;
    built = true;
    for (std::size_t k = 2; k <= max_k; ++k) {
        Tables &t = tables[k];
        const std::size_t N = 2 * k - 2;

        // C[0] = ln 2; C[i-1] = (i-1)! i (1 - 2^(1-i)) zeta(i), i.e.
        // i! eta(i) with eta(s) = (1 - 2^(1-s)) zeta(s).
        t.C[0] = 0.6931471805599453;
        double curr = 0.5; // 2^(1-i)
        for (std::size_t i = 2; i <= N; ++i) {
            t.C[i - 1] = ((gsl_sf_fact(static_cast<unsigned int>(i - 1)) *
                           static_cast<double>(i)) *
                          (1 - curr)) *
                         gsl_sf_zeta_int(static_cast<int>(i));
            curr = 0.5 * curr;
        }

        for (std::size_t i = 0; i < N; ++i) {
            t.C_inf[i] = i % 2 == 0 ? -1 : 1;
            t.Gamma[i] = gsl_sf_fact(static_cast<unsigned int>(i + 1));
            t.C_li[i] = i > 0 ? 1 / t.Gamma[i - 1] : 1;
        }

        for (std::size_t i = 0; i <= N; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                t.Col[tri(i, j)] = gsl_sf_choose(static_cast<unsigned int>(i),
                                                 static_cast<unsigned int>(j));

        t.M[0] = 1;
        for (std::size_t i = 1; i <= N; ++i)
            t.M[i] = i % 2 == 0 ? 2 * t.C[i - 1] : 0;
    }
}

#endif // DISTRIBUTION_APPROX_CLASS_HPP

// ---------------------------------------------------------------------------
// Per instruction set.
#if defined(DISTRIBUTION_APPROX_CLASS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_APPROX_CLASS_LANES
#undef DISTRIBUTION_APPROX_CLASS_LANES
#else
#define DISTRIBUTION_APPROX_CLASS_LANES
#endif

#include "polylogarithm.hpp"

#include <hwy/highway.h>

#include <cmath>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// ----------------------------------------------------------------- precalc
// Each step below runs over the lanes of D, every lane with its own row.

// Col_arg[tri(i, j)] = (loc^(i-j) scale^j) binomial(i, j): row i holds the
// coefficients of (loc + scale y)^i in powers of y.  The powers are running
// products, so that the power of order 0 is 1 also for 0.  At the ends of a
// row the other two factors are 1, and the entry is the power itself.
template <std::size_t K, class D, std::size_t B>
HWY_INLINE void binomial_rows(D d, hn::Vec<D> loc, hn::Vec<D> scale, double (*Col_arg)[B], std::size_t at)
{
    constexpr std::size_t n = 2 * K - 1;
    hn::Vec<D> locs[n], scales[n];
    locs[0] = scales[0] = hn::Set(d, 1.0);
    DISTRIBUTION_UNROLL
    for (std::size_t i = 1; i < n; ++i) {
        locs[i] = hn::Mul(locs[i - 1], loc);
        scales[i] = hn::Mul(scales[i - 1], scale);
    }
    DISTRIBUTION_UNROLL
    for (std::size_t i = 0; i < n; ++i)
        DISTRIBUTION_UNROLL
        for (std::size_t j = 0; j <= i; ++j) {
            const hn::Vec<D> entry =
                j == 0   ? locs[i]
                : j == i ? scales[i]
                         : hn::Mul(hn::Mul(locs[i - j], scales[j]), hn::Set(d, tables[K].Col[tri(i, j)]));
            hn::Store(entry, d, Col_arg[tri(i, j)] + at);
        }
}

// Alpha[j] = sum_i param[i] B(i, j), the coefficients of p^2, B being the
// band matrix whose row i holds param shifted right by i places.  The sum
// runs over all k rows, zeros included, in two interleaved partial sums
// (even i, odd i) added at the end, then the odd last row.
template <std::size_t K, class D, std::size_t B>
HWY_INLINE void square(D d, const hn::Vec<D> *param, double (*Alpha)[B], std::size_t at)
{
    DISTRIBUTION_UNROLL
    for (std::size_t j = 0; j < 2 * K - 1; ++j) {
        const auto band = [&](std::size_t i) {
            return j >= i && j - i < K ? param[j - i] : hn::Zero(d);
        };
        hn::Vec<D> even = hn::Mul(param[0], band(0)), odd = hn::Mul(param[1], band(1));
        std::size_t i = 2;
        DISTRIBUTION_UNROLL
        for (; i + 1 < K; i += 2) {
            even = hn::Add(even, hn::Mul(param[i], band(i)));
            odd = hn::Add(odd, hn::Mul(param[i + 1], band(i + 1)));
        }
        hn::Vec<D> sum = hn::Add(even, odd);
        if (i < K)
            sum = hn::Add(sum, hn::Mul(param[i], band(i)));
        hn::Store(sum, d, Alpha[j] + at);
    }
}

// The total mass S = (Alpha Col_arg) M.  The row Alpha Col_arg is summed over
// i in order, except for k = max_k, summed by pairs as Alpha; then S in order
// from its first term.  All = false leaves out the terms that are zero by
// structure: Col_arg(i, j) = 0 for i < j, M[j] = 0 for odd j.  With finite
// factors those terms are +-0, and adding +-0 changes a sum at most in the
// sign of a zero result, so the short form gives the same S unless S is 0.
template <std::size_t K, bool All, class D, std::size_t B>
HWY_INLINE hn::Vec<D> total_mass(D d, const double (*Alpha)[B], const double (*Col_arg)[B], std::size_t at)
{
    constexpr std::size_t n = 2 * K - 1;
    const Tables &t = tables[K];
    const auto term = [&](std::size_t i, std::size_t j) {
        const hn::Vec<D> cell = i >= j ? hn::Load(d, Col_arg[tri(i, j)] + at) : hn::Zero(d);
        return hn::Mul(hn::Load(d, Alpha[i] + at), cell);
    };
    hn::Vec<D> S = hn::Zero(d);
    DISTRIBUTION_UNROLL
    for (std::size_t j = 0; j < n; ++j) {
        if (!All && j % 2 == 1)
            continue; // M[j] = 0
        const std::size_t first = All ? 0 : j;
        hn::Vec<D> row;
        if (K < max_k) {
            row = term(first, j);
            DISTRIBUTION_UNROLL
            for (std::size_t i = first + 1; i < n; ++i)
                row = hn::Add(row, term(i, j));
        } else {
            hn::Vec<D> even = hn::Zero(d), odd = hn::Zero(d);
            std::size_t i = first; // even
            DISTRIBUTION_UNROLL
            for (; i + 1 < n; i += 2) {
                even = hn::Add(even, term(i, j));
                odd = hn::Add(odd, term(i + 1, j));
            }
            row = hn::Add(even, odd);
            DISTRIBUTION_UNROLL
            for (; i < n; ++i)
                row = hn::Add(row, term(i, j));
            row = hn::Add(hn::Zero(d), row);
        }
        const hn::Vec<D> weighted = hn::Mul(row, hn::Set(d, t.M[j]));
        S = j == 0 ? weighted : hn::Add(S, weighted);
    }
    return hn::Add(hn::Zero(d), S);
}

// Lanes whose |v| <= 2^64, NaN excluded, compared as integers so that no
// flag is raised.
template <class D> HWY_INLINE hn::Mask<D> moderate(D d, hn::Vec<D> v)
{
    const hn::RebindToSigned<D> di;
    const auto bits = hn::BitCast(di, hn::Abs(v));
    return hn::RebindMask(d, hn::Lt(bits, hn::Set(di, 0x43F0000000000001LL)));
}

// -------------------------------------------------------------------- cdf
// The steps of the evaluation at one vector of points, in order.

// Powers u^(i+1) times the tail factor h - 0.5 = -(1 - G(u)), and the
// polylogarithm sums C_li_arg[i] = (i+1)! sum_{j<=i} u^(i-j)/(i-j)! Li[j],
// summed from +0 in increasing j: X_pow[i] + C_li_arg[i] = -T_{i+1}(u).  The
// last term of each sum, u^0/0! Li[i], is Li[i] itself.
template <std::size_t K, class D>
HWY_INLINE void tail_moments(D d, hn::Vec<D> u, hn::Vec<D> h, const hn::Vec<D> *Li,
                             hn::Vec<D> *X_pow, hn::Vec<D> *C_li_arg)
{
    constexpr std::size_t N = 2 * K - 2;
    const Tables &t = tables[K];
    hn::Vec<D> y_abs_pow[N + 1], u_fact[N];
    y_abs_pow[0] = hn::Set(d, 1.0);
    for (std::size_t i = 1; i <= N; ++i)
        y_abs_pow[i] = hn::Mul(y_abs_pow[i - 1], u);
    const hn::Vec<D> tail = hn::Sub(h, hn::Set(d, 0.5));
    for (std::size_t i = 0; i < N; ++i) {
        X_pow[i] = hn::Mul(y_abs_pow[i + 1], tail);
        // 1/0! u^0 = 1 and 1/1! u = u exactly.
        u_fact[i] = i < 2 ? y_abs_pow[i] : hn::Mul(hn::Set(d, t.C_li[i]), y_abs_pow[i]);
    }
    for (std::size_t i = 0; i < N; ++i) {
        hn::Vec<D> sum = hn::Add(hn::Zero(d), i == 0 ? Li[0] : hn::Mul(u_fact[i], Li[0]));
        for (std::size_t j = 1; j <= i; ++j)
            sum = hn::Add(sum, j == i ? Li[j] : hn::Mul(u_fact[i - j], Li[j]));
        // Gamma[0] = 1! = 1.
        C_li_arg[i] = i == 0 ? sum : hn::Mul(hn::Set(d, t.Gamma[i]), sum);
    }
}

// Partial moments I_u[n] = int_{-inf}^{y} t^n f(t) dt: I_u[0] = G(y) and,
// with the sign pattern C_y (-1 at odd i for y < 0, else +1),
//     I_u[i+1] = ((C_inf[i] + C_y[i]) C[i] + X_pow[i] C_y[i]) + C_y[i] C_li_arg[i].
// For y >= 0 that is the full moment less the upper tail; for y < 0, +-the
// lower tail.  At even i, C_y = 1 and C_inf = -1, and the formula is exactly
// (+0 + X_pow[i]) + C_li_arg[i].
template <std::size_t K, class D>
HWY_INLINE void partial_moments(D d, hn::Vec<D> G, hn::Vec<D> sign, const hn::Vec<D> *X_pow,
                                const hn::Vec<D> *C_li_arg, hn::Vec<D> *I_u)
{
    const Tables &t = tables[K];
    I_u[0] = G;
    for (std::size_t i = 0; i < 2 * K - 2; ++i) {
        if (i % 2 == 0) {
            I_u[i + 1] = hn::Add(hn::Add(hn::Zero(d), X_pow[i]), C_li_arg[i]);
            continue;
        }
        const hn::Vec<D> full = hn::Mul(hn::Add(hn::Set(d, t.C_inf[i]), sign), hn::Set(d, t.C[i]));
        I_u[i + 1] = hn::Add(hn::Add(full, hn::Mul(X_pow[i], sign)), hn::Mul(sign, C_li_arg[i]));
    }
}

// fx = Alpha (Col_arg I_u): the moments carried over to powers of
// loc + scale t, then weighted by the coefficients of p^2.  Each row of
// Col_arg I_u is summed from +0 over its lower triangle: the entries above
// it are 0, and +-0 terms leave a sum from +0 unchanged while the moments
// are finite (the caller makes the lanes where they are not NaN, as those
// zeros would).  Row 0 is 0 + 1 G = G.
template <std::size_t K, class D, std::size_t B>
HWY_INLINE hn::Vec<D> carry_over(D d, const hn::Vec<D> *I_u, const double (*Col_arg)[B],
                                 const double (*Alpha)[B], std::size_t at)
{
    hn::Vec<D> fx = hn::Mul(hn::Load(d, Alpha[0] + at), I_u[0]);
    for (std::size_t r = 1; r < 2 * K - 1; ++r) {
        hn::Vec<D> I_t = hn::Add(hn::Zero(d), hn::Mul(hn::Load(d, Col_arg[tri(r, 0)] + at), I_u[0]));
        for (std::size_t j = 1; j <= r; ++j)
            I_t = hn::Add(I_t, hn::Mul(hn::Load(d, Col_arg[tri(r, j)] + at), I_u[j]));
        fx = hn::Add(fx, hn::Mul(hn::Load(d, Alpha[r] + at), I_t));
    }
    return fx;
}

// --------------------------------------------------------------- the class

// The distributions of up to B rows, one per lane, and their evaluation at
// one point per lane.  The loop builds one for each set of rows that share a
// block: a long row in every lane, or rows of a few points side by side.
template <class D> class Distribution : public RowLanes<D>
{
    using RowLanes<D>::W;
    using RowLanes<D>::U;
    using RowLanes<D>::k;
    using RowLanes<D>::loc;
    using RowLanes<D>::scale;
    using RowLanes<D>::param;

  public:
    using RowLanes<D>::B;

    // build_tables() has run.
    Distribution(const double *loc_, const double *scale_, const double (*param_)[B], std::size_t k_)
        : RowLanes<D>(loc_, scale_, param_, k_)
    {
        precalc();
    }

    // The location and scale transformation: Col_arg turns powers of
    // x = loc + scale y into polynomials in y, Alpha holds the coefficients of
    // p^2, and C_1 = 1 / S is the reciprocal of the total mass.
    void precalc()
    {
        with_k(k, [this](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            const D d;
            using V = hn::Vec<D>;
            using M = hn::Mask<D>;
            V l[U], s[U], p[U][K], S[U];
            M short_form[U], full[U];
            for (std::size_t a = 0; a < U; ++a) {
                l[a] = hn::Load(d, loc + a * W);
                s[a] = hn::Load(d, scale + a * W);
                short_form[a] = hn::And(moderate(d, l[a]), moderate(d, s[a]));
                for (std::size_t i = 0; i < K; ++i) {
                    p[a][i] = hn::Load(d, param[i] + a * W);
                    short_form[a] = hn::And(short_form[a], moderate(d, p[a][i]));
                }
            }
            for (std::size_t a = 0; a < U; ++a)
                binomial_rows<K>(d, l[a], s[a], Col_arg, a * W);
            for (std::size_t a = 0; a < U; ++a)
                square<K>(d, p[a], Alpha, a * W);

            // With |loc|, |scale| and every |param[i]| at most 2^64, every
            // entry of Col_arg is below 2^648 and of Alpha below 2^131, so no
            // sum of S overflows and the short form holds unless S is 0.
            // Other lanes, and lanes where S is 0, take the full form.
            for (std::size_t a = 0; a < U; ++a) {
                S[a] = total_mass<K, false>(d, Alpha, Col_arg, a * W);
                full[a] = hn::Or(hn::Not(short_form[a]), hn::Eq(S[a], hn::Zero(d)));
            }
            for (std::size_t a = 0; a < U; ++a) {
                if (!hn::AllFalse(d, full[a]))
                    S[a] = hn::IfThenElse(full[a], total_mass<K, true>(d, Alpha, Col_arg, a * W), S[a]);
                hn::Store(hn::Div(hn::Set(d, 1.0), S[a]), d, C_1 + a * W);
            }
        });
    }

    // F at the point x[l] of every lane l, into out[l]; each step for every
    // vector of the block in turn.
    void cdf(const double *x, double *out) const
    {
        with_k(k, [&](auto k_const) {
            constexpr std::size_t K = decltype(k_const)::value;
            constexpr std::size_t N = 2 * K - 2;
            const D d;
            using V = hn::Vec<D>;
            using M = hn::Mask<D>;
            const V half = hn::Set(d, 0.5);
            V y[U], u[U], h[U], G[U], sign[U], z[U], u_pow[U], fx[U];
            V Li[U][N], X_pow[U][N], C_li_arg[U][N], I_u[U][N + 1];
            M negative[U], underflow[U];

            // Standardise; G(y) = 0.5 +- h with h = 0.5 tanh(u / 2), by the C
            // library's tanh; the sign pattern of the odd moments.
            for (std::size_t a = 0; a < U; ++a) {
                const V s = hn::Load(d, scale + a * W);
                y[a] = hn::Div(hn::Sub(hn::LoadU(d, x + a * W), hn::Load(d, loc + a * W)), s);
                u[a] = hn::Abs(y[a]);
            }
            for (std::size_t a = 0; a < U; ++a)
                h[a] = hn::Mul(half, each_lane(d, hn::Mul(half, u[a]), [](double v) { return std::tanh(v); }));
            for (std::size_t a = 0; a < U; ++a) {
                negative[a] = hn::Lt(nan_to_zero(d, y[a]), hn::Zero(d));
                G[a] = hn::IfThenElse(negative[a], hn::Sub(half, h[a]), hn::Add(half, h[a]));
                sign[a] = hn::IfThenElse(negative[a], hn::Set(d, -1.0), hn::Set(d, 1.0));
            }

            // z = -e^-u, by the C library's exp, and the polylogarithms.
            for (std::size_t a = 0; a < U; ++a)
                z[a] = hn::Neg(each_lane(d, hn::Neg(u[a]), [](double v) { return std::exp(v); }));
            for (std::size_t a = 0; a < U; ++a)
                li<N>(d, z[a], Li[a]);

            // Where e^-u has underflowed (u > 745) the tail moments are 0 to
            // double precision; the powers of u are formed from 0 there, so
            // that an overflowing u^n cannot meet the zero tail factor.  A
            // zero scale is not a tail: y = +-inf there comes from 1/0.
            for (std::size_t a = 0; a < U; ++a) {
                underflow[a] = hn::Eq(z[a], hn::Zero(d));
                const M far = hn::AndNot(hn::Eq(hn::Load(d, scale + a * W), hn::Zero(d)), underflow[a]);
                u_pow[a] = hn::IfThenZeroElse(far, u[a]);
            }
            for (std::size_t a = 0; a < U; ++a)
                tail_moments<K>(d, u_pow[a], h[a], Li[a], X_pow[a], C_li_arg[a]);
            for (std::size_t a = 0; a < U; ++a)
                partial_moments<K>(d, G[a], sign[a], X_pow[a], C_li_arg[a], I_u[a]);
            for (std::size_t a = 0; a < U; ++a)
                fx[a] = carry_over<K>(d, I_u[a], Col_arg, Alpha, a * W);

            for (std::size_t a = 0; a < U; ++a) {
                // The moments are finite exactly where u_pow is: below 745
                // its powers are, and an infinite or NaN u_pow makes X_pow[0]
                // NaN.
                const V F = hn::Mul(hn::IfThenElse(hn::IsFinite(u_pow[a]), fx[a], hn::NaN(d)),
                                    hn::Load(d, C_1 + a * W));
                // Where e^-u has underflowed the tails are 0 to double
                // precision, and the correctly rounded value is the limit
                // itself, 1 for y > 0 and 0 for y < 0, whichever order the
                // moments and the mass were summed in.
                const V limit = hn::IfThenElseZero(hn::Gt(nan_to_zero(d, y[a]), hn::Zero(d)), hn::Set(d, 1.0));
                hn::StoreU(hn::IfThenElse(hn::AndNot(hn::IsNaN(F), underflow[a]), limit, F), d, out + a * W);
            }
        });
    }

  private:
    // Set by precalc.
    HWY_ALIGN double Col_arg[tri_size][B];
    HWY_ALIGN double Alpha[max_n][B];
    HWY_ALIGN double C_1[B];
};

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
