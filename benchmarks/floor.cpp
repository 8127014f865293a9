// The arithmetic floor of one evaluation of the distribution function.
//
// Whatever else it does, a faithful evaluation at a point with u = |y| calls
// the C library three times, tanh(u/2), exp(-u) and log(1 - z) with
// z = -exp(-u), and for every polylogarithm order s = 2 .. 2m - 2 divides the
// 18 powers z^2 .. z^19 by the integers 2^s .. 19^s, each quotient correctly
// rounded.  This kernel does exactly that and no more: each quotient by the
// cheapest exact means, q = a r, e = fma(q, d, -a), fma(e, -r, q) with the
// reciprocal r = 1/d, summed per order so that none can be dropped, over a
// block of points so that the compiler puts them in SIMD lanes.  Built by the
// benchmark with the widest instruction set of the machine.
#include <cmath>
#include <cstddef>

namespace {
constexpr std::size_t block = 64;

double table[9][18], reciprocal[9][18];

struct Init {
    Init()
    {
        for (int r = 0; r < 9; ++r)
            for (int j = 0; j < 18; ++j) {
                table[r][j] = std::pow(double(j + 2), double(r + 2));
                reciprocal[r][j] = 1 / table[r][j];
            }
    }
} init;
} // namespace

extern "C" void floor_kernel(const double *u, std::size_t n, int orders,
                             double *out)
{
    double t[block], e[block], l[block], s[block];
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t b = n - start < block ? n - start : block;
        for (std::size_t p = 0; p < block; ++p) {
            const double v = p < b ? u[start + p] : 0.0;
            t[p] = std::tanh(0.5 * v);
            e[p] = -std::exp(-v);
            l[p] = -std::log(1 - e[p]);
            s[p] = 0;
        }
        for (int r = 0; r < orders; ++r)
            for (int j = 0; j < 18; ++j) {
                const double d = table[r][j], rd = reciprocal[r][j];
                for (std::size_t p = 0; p < block; ++p) {
                    const double q = e[p] * rd;
                    s[p] = s[p] + std::fma(std::fma(q, d, -e[p]), -rd, q);
                }
            }
        for (std::size_t p = 0; p < b; ++p)
            out[start + p] = (t[p] + l[p]) + s[p];
    }
}
