// The loop of the generalized ufuncs with signature (n),(),(),(m)->(n): the
// points x of each row, with the row's loc, scale and m coefficients, over
// SIMD lanes.
//
// A row of at least one vector of points fills whole vectors with its own
// points, its distribution prepared once with the row in every lane.  The
// points that remain, and the rows shorter than a vector, wait side by side
// until a vector is full: rows of one point, the common layout of model
// fitting, are then evaluated as many at a time as points of one row.  The
// last vector is padded with copies of its first lane, which raise no flag
// that a real point does not.
//
// Each output is written after its own point has been read, and points and
// outputs are read and written through their strides, so the output may be
// the points array itself.
//
// Compiled once per instruction set.
#if defined(DISTRIBUTION_ROWS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ROWS_LANES
#undef DISTRIBUTION_ROWS_LANES
#else
#define DISTRIBUTION_ROWS_LANES
#endif

#include "approx_class.hpp"

#include <hwy/highway.h>

#include <cstdint>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The rows and points of the lanes of one block of Rows (Distribution<D>
// or another class built the same way from B lanes of rows).
template <class Rows> struct Pack {
    static constexpr std::size_t W = Rows::B;
    HWY_ALIGN double loc[W];
    HWY_ALIGN double scale[W];
    HWY_ALIGN double param[max_k][W];
    HWY_ALIGN double x[W];
    HWY_ALIGN double out[W];
    char *destination[W];
    std::size_t count = 0; // lanes waiting

    // Lane l takes the row (loc_, scale_, param_[0 .. k-1]).
    void set_row(std::size_t l, double loc_, double scale_, const double *param_, std::size_t k)
    {
        loc[l] = loc_;
        scale[l] = scale_;
        for (std::size_t i = 0; i < k; ++i)
            param[i][l] = param_[i];
    }

    // The next lane waits with a point, its row and where its value goes.
    void add(double loc_, double scale_, const double *param_, std::size_t k, double x_,
             char *destination_)
    {
        set_row(count, loc_, scale_, param_, k);
        x[count] = x_;
        destination[count] = destination_;
        ++count;
    }

    // Evaluates the waiting lanes, the others copies of lane 0, and writes
    // the results; the pack is then empty.
    template <class Evaluate> void flush(std::size_t k, Evaluate &evaluate)
    {
        for (std::size_t l = count; l < W; ++l) {
            loc[l] = loc[0];
            scale[l] = scale[0];
            for (std::size_t i = 0; i < k; ++i)
                param[i][l] = param[i][0];
            x[l] = x[0];
        }
        const Rows rows(loc, scale, param, k);
        evaluate(rows, x, out);
        for (std::size_t l = 0; l < count; ++l)
            std::memcpy(destination[l], &out[l], sizeof(double));
        count = 0;
    }
};

inline double read(const char *p)
{
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The ufunc loop: args, dimensions and steps as NumPy passes them (outer
// count, n, m; strides of the five operands, then of x's points, param's
// coefficients and the output's points).  evaluate(rows, x, out) evaluates
// one block of Rows::B lanes.
template <class Rows, class Evaluate>
HWY_INLINE void evaluate_rows(char **args, const std::intptr_t *dimensions,
                              const std::intptr_t *steps, Evaluate evaluate)
{
    const std::intptr_t lanes = static_cast<std::intptr_t>(Rows::B);
    const std::intptr_t n = dimensions[1], m = dimensions[2];
    // A single coefficient is the constant polynomial (a_0, 0).
    const std::size_t k = m < 2 ? 2 : static_cast<std::size_t>(m);
    Pack<Rows> pending, row;
    char *p[5] = {args[0], args[1], args[2], args[3], args[4]};

    for (std::intptr_t outer = 0; outer < dimensions[0]; ++outer) {
        for (int o = 0; o < 5; ++o)
            __builtin_prefetch(p[o] + 32 * steps[o], o == 4);
        const double loc = read(p[1]), scale = read(p[2]);
        double param[max_k] = {};
        for (std::intptr_t j = 0; j < m; ++j)
            param[j] = read(p[3] + j * steps[6]);

        std::intptr_t i = 0;
        if (n >= lanes) {
            for (std::intptr_t l = 0; l < lanes; ++l)
                row.set_row(static_cast<std::size_t>(l), loc, scale, param, k);
            const Rows distribution(row.loc, row.scale, row.param, k);
            const bool contiguous = steps[5] == sizeof(double) && steps[7] == sizeof(double);
            for (; i + lanes <= n; i += lanes) {
                if (contiguous) {
                    evaluate(distribution, reinterpret_cast<const double *>(p[0]) + i,
                             reinterpret_cast<double *>(p[4]) + i);
                    continue;
                }
                for (std::intptr_t l = 0; l < lanes; ++l)
                    row.x[l] = read(p[0] + (i + l) * steps[5]);
                evaluate(distribution, row.x, row.out);
                for (std::intptr_t l = 0; l < lanes; ++l)
                    std::memcpy(p[4] + (i + l) * steps[7], &row.out[l], sizeof(double));
            }
        }
        for (; i < n; ++i) {
            pending.add(loc, scale, param, k, read(p[0] + i * steps[5]), p[4] + i * steps[7]);
            if (static_cast<std::intptr_t>(pending.count) == lanes)
                pending.flush(k, evaluate);
        }

        for (int o = 0; o < 5; ++o)
            p[o] += steps[o];
    }
    if (pending.count > 0)
        pending.flush(k, evaluate);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
