// Truncated polylogarithms Li_1 .. Li_k of one real argument.
//
//     Li_s(x) = x/1^s + x^2/2^s + x^3/3^s + ...
//
// Order 1 is exact, Li_1(x) = -log(1 - x).  Orders 2 and up are the partial
// sums of the first 19 terms of the series.  The caller evaluates them at
// x = -exp(-u) in [-1, 0], where the series alternate and the neglected part
// is at most |x|^20 / 20^s.
#include "approx_class.hpp"

#include <cmath>
#include <cstring>

namespace {
constexpr long long ipow(long long base, int exponent)
{
    return exponent == 0 ? 1 : base * ipow(base, exponent - 1);
}

// The table as doubles: every entry is below 2^53, so the conversion is exact
// and dividing by it is the division by the integer.
struct DoubleTable {
    double v[9][18];
};

constexpr DoubleTable make_double_table()
{
    DoubleTable t{};
    for (int r = 0; r < 9; ++r)
        for (int j = 0; j < 18; ++j)
            t.v[r][j] = static_cast<double>(ipow(j + 2, r + 2));
    return t;
}

constexpr DoubleTable denominators = make_double_table();
} // namespace

// c[r][j] = (j + 2)^(r + 2): the denominators of the terms x^2 .. x^19 of the
// series of order r + 2, for the orders 2 to 10.  Every entry is below 2^53
// (the largest is 19^10), so it converts to a double exactly.
#define ROW(s)                                                                 \
    {                                                                          \
        ipow(2, s), ipow(3, s), ipow(4, s), ipow(5, s), ipow(6, s),            \
            ipow(7, s), ipow(8, s), ipow(9, s), ipow(10, s), ipow(11, s),      \
            ipow(12, s), ipow(13, s), ipow(14, s), ipow(15, s), ipow(16, s),   \
            ipow(17, s), ipow(18, s), ipow(19, s)                              \
    }
const long long c[9][18] = {ROW(2), ROW(3), ROW(4), ROW(5), ROW(6),
                            ROW(7), ROW(8), ROW(9), ROW(10)};
#undef ROW

void li(std::size_t k, double x, Eigen::VectorXd &ans)
{
    // y[i] = x^(i+1), by successive multiplication.
    double y[19];
    y[0] = x;
    for (int i = 1; i < 19; ++i)
        y[i] = y[i - 1] * x;

    ans[0] = -std::log(1 - x);

    for (std::size_t i = 1; i < k; ++i) {
        // Order i + 1: the term in x, then the 18 table terms, lowest power first.
        double curr = x;
        for (int j = 0; j < 18; ++j)
            curr = curr + y[j + 1] / static_cast<double>(c[i - 1][j]);
        ans[i] = curr;
    }
}

namespace {
// One point at a time: the 18 divisions of an order are independent, so they
// fill SIMD lanes over the terms; the sum then adds them from the lowest
// power up, as the series is written.  K, the number of orders, is a
// constant, so that everything unrolls.
template <std::size_t K>
[[gnu::always_inline]] inline void li_points(const double *x, std::size_t count,
                                             double (*ans)[block])
{
    for (std::size_t p = 0; p < count; ++p) {
        double y[19];
        y[0] = x[p];
#pragma GCC unroll 19
        for (int i = 1; i < 19; ++i)
            y[i] = y[i - 1] * x[p];
        ans[0][p] = -std::log(1 - x[p]);
        // The numerators x^2 .. x^19 as vectors of four (two of them
        // padded with 1), built in registers.
        typedef double Quad __attribute__((vector_size(32)));
        const Quad num[5] = {{y[1], y[2], y[3], y[4]},
                             {y[5], y[6], y[7], y[8]},
                             {y[9], y[10], y[11], y[12]},
                             {y[13], y[14], y[15], y[16]},
                             {y[17], y[18], 1, 1}};
#pragma GCC unroll 10
        for (std::size_t i = 1; i < K; ++i) {
            const double *d = denominators.v[i - 1];
            double q[20];
#pragma GCC unroll 5
            for (int g = 0; g < 5; ++g) {
                Quad den;
                if (g < 4)
                    std::memcpy(&den, d + 4 * g, sizeof den);
                else
                    den = Quad{d[16], d[17], 1, 1};
                const Quad r = num[g] / den;
                std::memcpy(q + 4 * g, &r, sizeof r);
            }
            double curr = x[p];
#pragma GCC unroll 18
            for (int j = 0; j < 18; ++j)
                curr = curr + q[j];
            ans[i][p] = curr;
        }
    }
}

// A block of points: every step runs across the points, one point per SIMD
// lane, each lane doing exactly the single-point operations in their order.
[[gnu::always_inline]] inline void li_lanes(std::size_t k, const double *x,
                                            double (*ans)[block])
{
    constexpr std::size_t n = block;
    double y[19][block];
    for (std::size_t p = 0; p < n; ++p)
        y[0][p] = x[p];
    for (int i = 1; i < 19; ++i)
        for (std::size_t p = 0; p < n; ++p)
            y[i][p] = y[i - 1][p] * x[p];
    for (std::size_t p = 0; p < n; ++p)
        ans[0][p] = -std::log(1 - x[p]);
    for (std::size_t i = 1; i < k; ++i) {
        const double *d = denominators.v[i - 1];
        double curr[block];
        for (std::size_t p = 0; p < n; ++p)
            curr[p] = x[p];
        for (int j = 0; j < 18; ++j)
            for (std::size_t p = 0; p < n; ++p)
                curr[p] = curr[p] + y[j + 1][p] / d[j];
        for (std::size_t p = 0; p < n; ++p)
            ans[i][p] = curr[p];
    }
}
} // namespace

// Built for baseline x86-64 and again for AVX2 and AVX-512; the loader picks
// the widest the processor runs.  No fused multiply-add is formed
// (-ffp-contract=off), so every clone gives the same bits.
WIDEST_ISA void
li(std::size_t k, const double *x, std::size_t count, double (*ans)[block])
{
    if (count == block) {
        li_lanes(k, x, ans);
        return;
    }
    switch (k) {
    case 1: li_points<1>(x, count, ans); break;
    case 2: li_points<2>(x, count, ans); break;
    case 3: li_points<3>(x, count, ans); break;
    case 4: li_points<4>(x, count, ans); break;
    case 5: li_points<5>(x, count, ans); break;
    case 6: li_points<6>(x, count, ans); break;
    case 7: li_points<7>(x, count, ans); break;
    case 8: li_points<8>(x, count, ans); break;
    case 9: li_points<9>(x, count, ans); break;
    default: li_points<10>(x, count, ans); break;
    }
}
