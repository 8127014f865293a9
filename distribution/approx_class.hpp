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
// Speed.  Every value is formed by the same IEEE operations, in the same
// order, as the plain one-point-at-a-time evaluation (additions, products
// and divisions are exactly rounded, in SIMD lanes as alone; no fused
// multiply-add is formed); what changes is where the work is done and how it
// is laid out:
//  - the tables that depend only on k are built once per process
//    (build_tables, at import) and every object refers to them;
//  - the total mass is computed once per object, in precalc;
//  - k is a compile-time constant inside precalc and cdf, so the loops over
//    the indices unroll;
//  - cdf takes a block of up to `block` points: a full block four points at
//    a time, one point per SIMD lane, a short row in fours and then point by
//    point, the sums of one point running down the rows in vectors;
//  - terms that are zero by structure (above the diagonal of Col_arg and of
//    the matrix of u^(i-j)/(i-j)!) are left out of a sum only where that is
//    exact: a sum from +0 is unchanged by +-0, and the full sum is kept
//    where a factor is infinite or NaN;
//  - the scratch lives in the object, and nothing is allocated.
#ifndef DISTRIBUTION_APPROX_CLASS_HPP
#define DISTRIBUTION_APPROX_CLASS_HPP

#include <Eigen/Dense>
#include <gsl/gsl_sf_gamma.h>
#include <gsl/gsl_sf_zeta.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Loops over the indices of the small tables, unrolled in full.
#define UNROLL_INDICES _Pragma("GCC unroll 32")

// Clones of the hot functions for baseline x86-64, AVX2 and AVX-512, the
// loader picking the widest the processor runs (GCC's ifunc dispatch).  Other
// targets build the plain function.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define WIDEST_ISA __attribute__((target_clones("default", "avx2", "avx512f")))
#else
#define WIDEST_ISA
#endif

// The supported number of coefficients is 2 to 6 (a single coefficient is
// served as (a_0, 0)), so every vector has at most 2k - 1 = 11 entries and
// everything lives inside the object, off the heap (the coefficients in an
// Eigen vector of fixed maximum size).
constexpr std::size_t max_k = 6;
constexpr std::size_t max_n = 2 * max_k - 1; // powers 0 .. 2k - 2
constexpr std::size_t max_N = 2 * max_k - 2; // powers 1 .. 2k - 2

using ParamVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, max_k, 1>;

// The small tables: plain arrays of the largest size, so that their strides
// are constants and loops over them unroll and vectorise.  A(i, j) is stored
// column by column.
using TableVector = double[max_n];
constexpr std::size_t lanes = max_n + 1;

// Four doubles, for the sums of one point that run down the rows: GCC's
// vector type, one AVX register or two SSE2 ones, with IEEE operations lane
// by lane.
typedef double Quad __attribute__((vector_size(32)));

// The helpers taking and returning Quad are always inlined: no vector crosses
// a call, so GCC's note on the ABI of 32-byte vectors without AVX is moot.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

inline Quad load_quad(const double *p)
{
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

inline void store_quad(double *p, Quad q) { std::memcpy(p, &q, sizeof q); }
struct TableMatrix {
    // v[j][i] = A(i, j); a column has a spare row, so that it fills whole
    // SIMD registers of 2 or 4.
    double v[max_n][lanes];
    double &operator()(std::size_t i, std::size_t j) { return v[j][i]; }
    const double &operator()(std::size_t i, std::size_t j) const { return v[j][i]; }
};

// Points evaluated together by Distribution::cdf and li.
constexpr std::size_t block = 32;

// ans[0] = Li_1(x) = -log(1 - x) and, for i = 1 .. k - 1, ans[i] = the 19-term
// partial sum of Li_{i+1}(x).  Requires 1 <= k <= 10 and ans.size() >= k;
// entries from k on are left as they are.
void li(std::size_t k, double x, Eigen::VectorXd &ans);

// The same for the `count` <= block points x[p]: ans[i][p] is order i + 1 at
// x[p].  Each value is the one the single-point li gives, bit for bit.
void li(std::size_t k, const double *x, std::size_t count, double (*ans)[block]);

// The table of integer powers behind li: c[r][j] = (j + 2)^(r + 2).
extern const long long c[9][18];

// The tables that depend on k only, shared by every Distribution of that k.
struct Tables {
    // Half-line moments C[j] = int_0^inf t^(j+1) f(t) dt = (j+1)! eta(j+1).
    TableVector C;
    // (-1)^(j+1): with the sign pattern C_y it selects the full moment.
    TableVector C_inf;
    // Gamma[j] = (j+1)!.
    TableVector Gamma;
    // Column 0 holds 1/i!, every other entry is 0.
    TableMatrix C_li;
    // Col(i, j) = binomial(i, j).
    TableMatrix Col;
    // Moments of f over the whole line: 1, 0, 2 C[1], 0, 2 C[3], ...
    TableVector M;
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

        // The tables have static storage: every entry not set is 0.
        for (std::size_t i = 0; i < N; ++i)
            t.C_inf[i] = i % 2 == 0 ? -1 : 1;

        for (std::size_t i = 0; i < N; ++i) {
            t.Gamma[i] = gsl_sf_fact(static_cast<unsigned int>(i + 1));
            t.C_li(i, 0) = i > 0 ? 1 / t.Gamma[i - 1] : 1;
        }

        for (std::size_t i = 0; i <= N; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                t.Col(i, j) = gsl_sf_choose(static_cast<unsigned int>(i),
                                            static_cast<unsigned int>(j));

        t.M[0] = 1;
        for (std::size_t i = 1; i <= N; ++i)
            t.M[i] = i % 2 == 0 ? 2 * t.C[i - 1] : 0;
    }
}

// Calls f(std::integral_constant<std::size_t, k>{}) for the supported
// k = 2 .. max_k, so that inside f the number of coefficients is a constant
// and the loops over the indices unroll.
template <typename F> [[gnu::always_inline]] inline void with_k(std::size_t k, F &&f)
{
    static_assert(max_k == 6, "one case per supported k");
    switch (k) {
    case 2: f(std::integral_constant<std::size_t, 2>{}); break;
    case 3: f(std::integral_constant<std::size_t, 3>{}); break;
    case 4: f(std::integral_constant<std::size_t, 4>{}); break;
    case 5: f(std::integral_constant<std::size_t, 5>{}); break;
    default: f(std::integral_constant<std::size_t, 6>{}); break;
    }
}

template <typename T> class Distribution
{
  public:
    // param_ holds 2 to max_k coefficients; build_tables() has run.
    Distribution(T loc_, T scale_, const ParamVector &param_)
        : loc(loc_), scale(scale_), param(param_),
          k(static_cast<std::size_t>(param.size())), C(tables[k].C),
          C_inf(tables[k].C_inf), Gamma(tables[k].Gamma),
          C_li(tables[k].C_li), Col(tables[k].Col), M(tables[k].M)
    {
        precalc();
    }

    // The location and scale transformation: Col_arg turns powers of
    // x = loc + scale y into polynomials in y, Alpha holds the coefficients
    // of p^2, and C_1 = 1 / S is the reciprocal of the total mass.
    void precalc()
    {
        // With k known to the compiler the loops below unroll.
        auto build = [this](auto k_const) {
        constexpr std::size_t k = decltype(k_const)::value;
        constexpr std::size_t n = 2 * k - 1;

        // Running powers, so that the power of order 0 is 1 also for 0.
        T locs[max_n], scales[max_n];
        locs[0] = 1;
        scales[0] = 1;
        UNROLL_INDICES
        for (std::size_t i = 1; i < n; ++i) {
            locs[i] = locs[i - 1] * loc;
            scales[i] = scales[i - 1] * scale;
        }

        // (loc + scale y)^i = sum_j binomial(i, j) loc^(i-j) scale^j y^j.
        // Col_arg is 0 above the diagonal and in the spare rows: there both
        // factors are replaced by 0, so that (0 0) 0 = +0 raises no flag
        // whatever loc and scale are.  Four rows at a time.
        constexpr std::size_t row_quads = (n + 3) / 4;
        UNROLL_INDICES
        for (std::size_t j = 0; j < n; ++j)
            UNROLL_INDICES
            for (std::size_t q = 0; q < row_quads; ++q) {
                const std::size_t i0 = 4 * q;
                // Rows i0 .. i0 + 3 of column j; the conditions are known
                // to the compiler, the vectors built in registers.
                auto inside = [&](std::size_t i) { return i >= j && i < n; };
                auto loc_pow = [&](std::size_t i) { return inside(i) ? locs[i - j] : T(0); };
                auto scale_pow = [&](std::size_t i) { return inside(i) ? scales[j] : T(0); };
                const Quad a = {loc_pow(i0), loc_pow(i0 + 1), loc_pow(i0 + 2), loc_pow(i0 + 3)};
                const Quad b = {scale_pow(i0), scale_pow(i0 + 1), scale_pow(i0 + 2),
                                scale_pow(i0 + 3)};
                store_quad(&Col_arg.v[j][i0], (a * b) * load_quad(&Col.v[j][i0]));
            }

        // Coefficients of p^2: Alpha(j) = sum_i param[i] B(i, j), B being the
        // band matrix whose row i holds param shifted right by i places.  The
        // sum runs over all k rows, zeros included, in two interleaved
        // partial sums (even i, odd i) added at the end, then the odd last
        // row: the order of the first build, which summed in pairs.
        // B(i, j) = param[j - i] inside the band, else 0.
        UNROLL_INDICES
        for (std::size_t j = 0; j < n; ++j) {
            auto band = [&](std::size_t i) {
                return j >= i && j - i < k ? param[j - i] : T(0);
            };
            T even = param[0] * band(0), odd = param[1] * band(1);
            std::size_t i = 2;
            UNROLL_INDICES
            for (; i + 1 < k; i += 2) {
                even = even + param[i] * band(i);
                odd = odd + param[i + 1] * band(i + 1);
            }
            T sum = even + odd;
            if (i < k)
                sum = sum + param[i] * band(i);
            Alpha[j] = sum;
        }

        // The total mass S = ((Alpha Col_arg) M), the same at every point.
        // The row Alpha Col_arg is summed over i in order, except for
        // k = max_k, first built by pairs as above; then S in order from its
        // first term.  all = false leaves out the terms that are zero by
        // structure: Col_arg(i, j) = 0 for i < j, M[j] = 0 for odd j.  With
        // finite factors those terms are +-0, and adding +-0 changes a sum at
        // most in the sign of a zero result (a sum from +0 not at all), so
        // the short form gives the same S unless S is 0, which is then
        // formed in full, as it is when a factor may not be finite.
        auto mass = [&](auto all_const) {
            constexpr bool all = decltype(all_const)::value;
            T mass_row[max_n];
            // Col_arg(i, j) with the zeros above the diagonal.
            auto cell = [&](std::size_t i, std::size_t j) {
                return !all || i >= j ? Col_arg(i, j) : T(0);
            };
            UNROLL_INDICES
            for (std::size_t j = 0; j < n; ++j) {
                if (!all && j % 2 == 1)
                    continue; // M[j] = 0
                T sum;
                if (k < max_k) {
                    const std::size_t first = all ? 0 : j;
                    sum = Alpha[first] * cell(first, j);
                    UNROLL_INDICES
                    for (std::size_t i = first + 1; i < n; ++i)
                        sum = sum + Alpha[i] * cell(i, j);
                } else {
                    T even = 0, odd = 0;
                    std::size_t i = all ? 0 : j; // j is even here
                    UNROLL_INDICES
                    for (; i + 1 < n; i += 2) {
                        even = even + Alpha[i] * cell(i, j);
                        odd = odd + Alpha[i + 1] * cell(i + 1, j);
                    }
                    sum = even + odd;
                    UNROLL_INDICES
                    for (; i < n; ++i)
                        sum = sum + Alpha[i] * cell(i, j);
                    sum = T(0) + sum;
                }
                mass_row[j] = sum;
            }
            T S = mass_row[0] * M[0];
            UNROLL_INDICES
            for (std::size_t j = 1; j < n; ++j)
                if (all || j % 2 == 0)
                    S = S + mass_row[j] * M[j];
            return T(0) + S;
        };
        // Finite factors: with |loc|, |scale| and every |param[i]| at most
        // 2^64, every entry of Col_arg is below 2^648, of Alpha below 2^131,
        // and no sum of S can overflow.  (A NaN fails the test.)
        bool moderate = std::abs(loc) <= 0x1p64 && std::abs(scale) <= 0x1p64;
        UNROLL_INDICES
        for (std::size_t i = 0; i < k; ++i)
            moderate = moderate && std::abs(param[i]) <= 0x1p64;
        T S = moderate ? mass(std::false_type{}) : T(0);
        if (!moderate || S == 0)
            S = mass(std::true_type{});
        C_1 = 1 / S;
        };
        with_k(k, build);
    }

    // F at the count <= block points x[p], into out[p].  Every point is read
    // before its result is written.
    void cdf(const T *x, T *out, std::size_t count)
    {
        // Steps 3 to the end for the points q .. q + 3 of a full block: the
        // same operations in the same order as for a single point below,
        // four lanes at a time, every quantity held in a vector register
        // while it is used.
        auto quad = [this](auto k_const, std::size_t q, const T *u_pow, const T *h,
                           const T *sign, T *os) {
            constexpr std::size_t K = decltype(k_const)::value;
            constexpr std::size_t N = 2 * K - 2;
            constexpr std::size_t n = 2 * K - 1;
            typedef long long Bits __attribute__((vector_size(32)));
            const Quad one = {1, 1, 1, 1};
            const Quad u = load_quad(u_pow + q), hq = load_quad(h + q),
                       sg = load_quad(sign + q);

            // u^d, X_pow[i] = u^(i+1) (h - 0.5), u_fact[d] = u^d / d!.
            Quad power[N + 1], x_pow[N], u_fact_q[N];
            power[0] = one;
            UNROLL_INDICES
            for (std::size_t d = 1; d <= N; ++d)
                power[d] = power[d - 1] * u;
            UNROLL_INDICES
            for (std::size_t i = 0; i < N; ++i) {
                x_pow[i] = power[i + 1] * (hq - 0.5);
                u_fact_q[i] = C_li(i, 0) * power[i];
            }

            // C_li_arg[i] = Gamma[i] (0 + sum_{j<=i} u_fact[i-j] Li[j]), then
            // I_u = (G(y), I[0], ..., I[N-1]).
            Quad li_q[N], moment[n];
            UNROLL_INDICES
            for (std::size_t j = 0; j < N; ++j)
                li_q[j] = load_quad(&Li[j][q]);
            moment[0] = load_quad(&I_u[0][q]);
            UNROLL_INDICES
            for (std::size_t i = 0; i < N; ++i) {
                Quad sum = T(0) + u_fact_q[i] * li_q[0];
                UNROLL_INDICES
                for (std::size_t j = 1; j <= i; ++j)
                    sum = sum + u_fact_q[i - j] * li_q[j];
                const Quad c_li_arg = Gamma[i] * sum;
                const Quad c_y = i % 2 == 1 ? sg : one;
                moment[i + 1] = ((C_inf[i] + c_y) * C[i] + x_pow[i] * c_y) + c_y * c_li_arg;
            }

            // Finite moments: the product with Col_arg over its lower triangle
            // (see cdf); otherwise with the zeros above it too.
            const Bits exponent = {0x7ff0000000000000LL, 0x7ff0000000000000LL,
                                   0x7ff0000000000000LL, 0x7ff0000000000000LL};
            Bits infinite = {0, 0, 0, 0};
            UNROLL_INDICES
            for (std::size_t j = 1; j < n; ++j)
                infinite |= (reinterpret_cast<Bits>(moment[j]) & exponent) == exponent;
            const bool finite = !(infinite[0] | infinite[1] | infinite[2] | infinite[3]);

            Quad fx;
            UNROLL_INDICES
            for (std::size_t r = 0; r < n; ++r) {
                Quad sum = T(0) + Col_arg(r, 0) * moment[0];
                UNROLL_INDICES
                for (std::size_t j = 1; j <= r; ++j)
                    sum = sum + Col_arg(r, j) * moment[j];
                if (!finite)
                    for (std::size_t j = r + 1; j < n; ++j)
                        sum = sum + T(0) * moment[j];
                // F = (Alpha I_t) C_1, the sum from its first term.
                fx = r == 0 ? Alpha[0] * sum : fx + Alpha[r] * sum;
            }
            store_quad(os + q, fx * C_1);
        };

        // The evaluation proper, with k and the number of points P known to
        // the compiler, so that every loop over the indices unrolls: a full
        // block four points at a time (quad), a short row in fours and then
        // point by point.
        auto run = [this, &quad](auto k_const, auto points_const, const T *xs, T *os) {
            constexpr std::size_t K = decltype(k_const)::value;
            constexpr std::size_t P = decltype(points_const)::value;
            constexpr std::size_t N = 2 * K - 2;
            constexpr std::size_t n = 2 * K - 1;
            constexpr std::size_t row_quads = (n + 3) / 4; // rows in fours

            // Standardise; the C library's tanh and exp; the branch flags,
            // by quiet comparisons so that a NaN point raises no flag (it
            // takes the y >= 0 branch).
            T u_pow[P], h[P], z[P], sign[P];
            for (std::size_t p = 0; p < P; ++p) {
                const T y = (xs[p] - loc) / scale;
                const T u = std::abs(y);
                // 1 - G(u) = 0.5 - h, with G the logistic distribution function.
                h[p] = 0.5 * std::tanh(0.5 * u);
                z[p] = -std::exp(-u);
                sign[p] = std::isless(y, T(0)) ? -1 : 1;
                // G(y), the partial moment of order 0.
                I_u[0][p] = std::isgreaterequal(y, T(0)) ? 0.5 + h[p] : 0.5 - h[p];
                // e^-u has underflowed (u > 745): the tail moments T_n(u) are
                // 0 to double precision, and so are both of their terms.
                // Forming them from u^n would meet an infinite power with the
                // zero tail factor once u^n overflows; the limit is taken
                // instead by forming the powers from 0.  Then X_pow =
                // 0 (h - 0.5) and C_li_arg = Gamma (0 + 1 Li(-0) + 0 ...),
                // Li(-0) being zeros, are exactly +0, and no flag is raised.
                const bool far = z[p] == 0 && scale != 0;
                u_pow[p] = far ? T(0) : u;
            }

            li(N, z, P, Li);

            if constexpr (P > 1) {
                for (std::size_t q = 0; q < P; q += 4)
                    quad(k_const, q, u_pow, h, sign, os);
            } else {
                // y_abs_pow[d] = u^d by successive multiplication; X_pow[i] =
                // -u^(i+1) (1 - G(u)); u_fact[d] = u^d / d!, the first column
                // of the matrix (u^(i-j) / (i-j)!).
                y_abs_pow[0] = 1;
                UNROLL_INDICES
                for (std::size_t d = 1; d <= N; ++d)
                    y_abs_pow[d] = y_abs_pow[d - 1] * u_pow[0];
                UNROLL_INDICES
                for (std::size_t i = 0; i < N; ++i) {
                    X_pow[i] = y_abs_pow[i + 1] * (h[0] - 0.5);
                    u_fact[i] = C_li(i, 0) * y_abs_pow[i];
                }

                // C_li_arg[i] = (i+1)! sum_{j<=i} u^(i-j)/(i-j)! Li_{j+1}(z),
                // summed from 0 in increasing j, so that
                // X_pow[i] + C_li_arg[i] = -T_{i+1}(u).  The terms above the
                // diagonal, 0 Li_{j+1}, are +-0 since the polylogarithms are
                // finite, and a sum from +0 does not change when +-0 is
                // added: they are left out.
                T sum[N];
                UNROLL_INDICES
                for (std::size_t i = 0; i < N; ++i) {
                    sum[i] = T(0) + u_fact[i] * Li[0][0];
                    UNROLL_INDICES
                    for (std::size_t j = 1; j <= i; ++j)
                        sum[i] = sum[i] + u_fact[i - j] * Li[j][0];
                }
                UNROLL_INDICES
                for (std::size_t i = 0; i < N; ++i)
                    C_li_arg[i] = Gamma[i] * sum[i];

                // Partial moments I[i] = int_{-inf}^{y} t^(i+1) f(t) dt: with
                // the sign pattern C_y (-1 at odd i for y < 0, else +1),
                // ((C_inf + C_y) C + X_pow C_y) + C_y C_li_arg.  I_u holds
                // G(y) and then I.
                UNROLL_INDICES
                for (std::size_t i = 0; i < N; ++i) {
                    C_y[i] = i % 2 == 1 ? sign[0] : T(1);
                    I[i] = ((C_inf[i] + C_y[i]) * C[i] + X_pow[i] * C_y[i]) +
                           C_y[i] * C_li_arg[i];
                    I_u[i + 1][0] = I[i];
                }

                // I_t = Col_arg I_u: the moments carried over to powers of
                // loc + scale t; every row summed from 0 over all its
                // columns in order, zeros included.  Column by column, down
                // the rows four at a time, the spare rows included (they are
                // 0 and unused).
                Quad rows[row_quads];
                for (std::size_t q = 0; q < row_quads; ++q)
                    rows[q] = T(0) + load_quad(&Col_arg.v[0][4 * q]) * I_u[0][0];
                UNROLL_INDICES
                for (std::size_t j = 1; j < n; ++j) {
                    const T v = I_u[j][0];
                    for (std::size_t q = 0; q < row_quads; ++q)
                        rows[q] = rows[q] + load_quad(&Col_arg.v[j][4 * q]) * v;
                }
                for (std::size_t q = 0; q < row_quads; ++q)
                    store_quad(&I_t[4 * q], rows[q]);

                // F = (Alpha I_t) / S, the sum in order from its first term;
                // a multiplication by the reciprocal of the mass.
                T fx = Alpha[0] * I_t[0];
                UNROLL_INDICES
                for (std::size_t j = 1; j < n; ++j)
                    fx = fx + Alpha[j] * I_t[j];
                os[0] = fx * C_1;
            }
        };

        auto points = [&](auto k_const) {
            if (count == block) {
                run(k_const, std::integral_constant<std::size_t, block>{}, x, out);
            } else {
                std::size_t p = 0;
                for (; p + 4 <= count; p += 4)
                    run(k_const, std::integral_constant<std::size_t, 4>{}, x + p, out + p);
                for (; p < count; ++p)
                    run(k_const, std::integral_constant<std::size_t, 1>{}, x + p, out + p);
            }
        };
        with_k(k, points);
    }

  private:
    T loc;
    T scale;
    ParamVector param;
    std::size_t k;
    // The tables of k, shared.
    const TableVector &C;
    const TableVector &C_inf;
    const TableVector &Gamma;
    const TableMatrix &C_li;
    const TableMatrix &Col;
    const TableVector &M;
    // Set by precalc.
    TableMatrix Col_arg;
    TableVector Alpha;
    T C_1;
    // Scratch of cdf.  Li and I_u hold a block, [index][point]; the others
    // serve one point at a time (a full block keeps them in registers).
    T C_y[max_N];
    T y_abs_pow[max_n];
    T X_pow[max_N];
    T Li[max_N][block];
    T u_fact[max_N];
    T C_li_arg[max_N];
    T I[max_N];
    T I_u[max_n][block];
    T I_t[lanes];
};

#pragma GCC diagnostic pop

#endif
