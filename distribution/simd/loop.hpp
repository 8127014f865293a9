// The loop of every generalized ufunc of both families, over SIMD lanes.
//
// A kernel names its operands: `inputs` point operands first, then loc,
// scale and param (m), then `outputs` of one value per point, `vectors` of m
// values per point and `matrices` of m x m values per point.  With a core
// dimension n (`points`) the point operands are rows of n points, as in
// "(n),(),(),(m)->(n)"; without it every outer iteration is one point whose
// inputs are scalars, as in "(),(),(),(m)->()".
//
// A row of at least one block of points fills whole blocks with its own
// points, its distribution prepared once with the row in every lane; a
// kernel that `streams` takes such a row whole, to keep its lanes busy.  The
// points that remain, and the rows shorter than a block, wait side by side
// until a block is full: rows of one point, the common layout of model
// fitting, are then evaluated as many at a time as points of one row.  The
// last block is padded with copies of its first lane, which raise no flag
// that a real point does not.
//
// Each output is written after its own point has been read, and every
// operand is read and written through its strides, so an output may be an
// input itself.
//
// Compiled once per instruction set.
#if defined(DISTRIBUTION_LOOP_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_LOOP_LANES
#undef DISTRIBUTION_LOOP_LANES
#else
#define DISTRIBUTION_LOOP_LANES
#endif

#include "lanes.hpp"

#include <hwy/highway.h>

#include <cstdint>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

inline double read(const char *p)
{
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void write(char *p, double v) { std::memcpy(p, &v, sizeof v); }

// Where the operands of a call are: the first point of the current row of
// each operand and the strides between points (and, for the output of m
// values per point, between coefficients).
template <class Kernel> struct Operands {
    static constexpr std::size_t I = Kernel::inputs;
    static constexpr std::size_t O = Kernel::outputs + Kernel::vectors + Kernel::matrices;

    const char *in[I > 0 ? I : 1];
    std::intptr_t in_step[I > 0 ? I : 1];
    char *out[O];
    std::intptr_t out_step[O];
    // Between coefficients: of each vector output, and (rows, columns) of
    // each matrix output.
    std::intptr_t coefficient_step[Kernel::vectors > 0 ? Kernel::vectors : 1] = {};
    std::intptr_t pair_step[Kernel::matrices > 0 ? Kernel::matrices : 1][2] = {};
    std::size_t m = 0;

    double input(std::size_t j, std::intptr_t i) const { return read(in[j] + i * in_step[j]); }
    char *output(std::size_t o, std::intptr_t i) const { return out[o] + i * out_step[o]; }
};

// The lanes of one block waiting for evaluation: their rows, points and the
// places their values go.
template <class Kernel> struct Pack {
    using Rows = typename Kernel::Rows;
    static constexpr std::size_t B = Rows::B;
    static constexpr std::size_t I = Kernel::inputs, O = Operands<Kernel>::O;
    // Value slots: one per output, max_k for each vector output and
    // max_k x max_k for each matrix output.
    static constexpr std::size_t slots = Kernel::outputs + Kernel::vectors * max_k + Kernel::matrices * max_k * max_k;

    HWY_ALIGN double loc[B];
    HWY_ALIGN double scale[B];
    HWY_ALIGN double param[max_k][B];
    HWY_ALIGN double in[I > 0 ? I : 1][B];
    HWY_ALIGN double out[slots][B];
    char *destination[O][B];
    std::size_t count = 0; // lanes waiting

    void set_row(std::size_t l, double loc_, double scale_, const double *param_, std::size_t k)
    {
        loc[l] = loc_;
        scale[l] = scale_;
        for (std::size_t j = 0; j < k; ++j)
            param[j][l] = param_[j];
    }

    // The values of lane l, to its destinations.
    void deliver(std::size_t l, const Operands<Kernel> &at) const
    {
        constexpr std::size_t S = Kernel::outputs, V = Kernel::vectors;
        for (std::size_t o = 0; o < S; ++o)
            write(destination[o][l], out[o][l]);
        for (std::size_t v = 0; v < V; ++v)
            for (std::size_t j = 0; j < at.m; ++j)
                write(destination[S + v][l] + static_cast<std::intptr_t>(j) * at.coefficient_step[v],
                      out[S + v * max_k + j][l]);
        for (std::size_t q = 0; q < Kernel::matrices; ++q)
            for (std::size_t j = 0; j < at.m; ++j)
                for (std::size_t k = 0; k < at.m; ++k)
                    write(destination[S + V + q][l] + static_cast<std::intptr_t>(j) * at.pair_step[q][0] +
                              static_cast<std::intptr_t>(k) * at.pair_step[q][1],
                          out[S + V * max_k + (q * max_k + j) * max_k + k][l]);
    }

    template <class Run> void evaluate(const Rows &rows, Run &run)
    {
        const double *inputs[I > 0 ? I : 1];
        double *outputs[slots];
        for (std::size_t j = 0; j < I; ++j)
            inputs[j] = in[j];
        for (std::size_t o = 0; o < slots; ++o)
            outputs[o] = out[o];
        run(rows, inputs, outputs);
    }

    // Point i of the operands waits in the next lane with its row.
    void add(double loc_, double scale_, const double *param_, std::size_t k, const Operands<Kernel> &at,
             std::intptr_t i)
    {
        set_row(count, loc_, scale_, param_, k);
        for (std::size_t j = 0; j < I; ++j)
            in[j][count] = at.input(j, i);
        for (std::size_t o = 0; o < O; ++o)
            destination[o][count] = at.output(o, i);
        ++count;
    }

    // Evaluates the waiting lanes, the others copies of lane 0, and delivers
    // their values; the pack is then empty.
    void flush(std::size_t k, const Kernel &kernel, const Operands<Kernel> &at)
    {
        for (std::size_t l = count; l < B; ++l) {
            set_row(l, loc[0], scale[0], nullptr, 0);
            for (std::size_t j = 0; j < k; ++j)
                param[j][l] = param[j][0];
            for (std::size_t j = 0; j < I; ++j)
                in[j][l] = in[j][0];
        }
        const Rows rows(loc, scale, param, k);
        evaluate(rows, kernel);
        for (std::size_t l = 0; l < count; ++l)
            deliver(l, at);
        count = 0;
    }
};

// The blocks of a row of at least B points, all lanes on the one row.
template <class Kernel>
void evaluate_row(const typename Kernel::Rows &rows, const Kernel &kernel, const Operands<Kernel> &at,
                  std::intptr_t n, Pack<Kernel> &row)
{
    constexpr std::intptr_t B = static_cast<std::intptr_t>(Kernel::Rows::B);
    constexpr std::size_t I = Kernel::inputs;
    // Contiguous operands are read and written in place.
    bool direct = Kernel::vectors + Kernel::matrices == 0;
    for (std::size_t j = 0; j < I; ++j)
        direct = direct && at.in_step[j] == sizeof(double);
    for (std::size_t o = 0; o < Kernel::outputs; ++o)
        direct = direct && at.out_step[o] == sizeof(double);
    for (std::intptr_t i = 0; i + B <= n; i += B) {
        if (direct) {
            const double *inputs[I > 0 ? I : 1];
            double *outputs[Kernel::outputs];
            for (std::size_t j = 0; j < I; ++j)
                inputs[j] = reinterpret_cast<const double *>(at.in[j]) + i;
            for (std::size_t o = 0; o < Kernel::outputs; ++o)
                outputs[o] = reinterpret_cast<double *>(at.out[o]) + i;
            kernel(rows, inputs, outputs);
            continue;
        }
        for (std::intptr_t l = 0; l < B; ++l)
            for (std::size_t j = 0; j < I; ++j)
                row.in[j][l] = at.input(j, i + l);
        row.evaluate(rows, kernel);
        for (std::intptr_t l = 0; l < B; ++l) {
            for (std::size_t o = 0; o < Operands<Kernel>::O; ++o)
                row.destination[o][l] = at.output(o, i + l);
            row.deliver(static_cast<std::size_t>(l), at);
        }
    }
}

// The ufunc loop: args, dimensions and steps as NumPy passes them.
template <class Kernel>
void run_loop(char **args, const std::intptr_t *dimensions, const std::intptr_t *steps, const Kernel &kernel,
              bool points)
{
    using Rows = typename Kernel::Rows;
    constexpr std::size_t I = Kernel::inputs, O = Operands<Kernel>::O;
    constexpr std::size_t operands = I + 3 + O;
    const std::intptr_t lanes = static_cast<std::intptr_t>(Rows::B);
    const std::intptr_t n = points ? dimensions[1] : 1, m = points ? dimensions[2] : dimensions[1];
    // Core strides follow the operands' own, in operand order: n for each
    // point operand, m for param, and n (then m) for each output.
    const std::intptr_t *core = steps + operands;
    Operands<Kernel> at;
    at.m = static_cast<std::size_t>(m);
    const std::intptr_t param_step = core[points ? I : 0];
    for (std::size_t j = 0; j < I; ++j)
        at.in_step[j] = points ? core[j] : 0;
    std::size_t c = points ? I + 1 : 1; // the outputs' core strides
    for (std::size_t o = 0; o < O; ++o) {
        at.out_step[o] = points ? core[c++] : 0;
        if (o >= Kernel::outputs + Kernel::vectors) {
            at.pair_step[o - Kernel::outputs - Kernel::vectors][0] = core[c++];
            at.pair_step[o - Kernel::outputs - Kernel::vectors][1] = core[c++];
        } else if (o >= Kernel::outputs) {
            at.coefficient_step[o - Kernel::outputs] = core[c++];
        }
    }
    // A single coefficient is the constant polynomial (a_0, 0).
    const std::size_t k = m < 2 ? 2 : static_cast<std::size_t>(m);
    Pack<Kernel> pending, row;
    char *p[operands];
    for (std::size_t o = 0; o < operands; ++o)
        p[o] = args[o];

    for (std::intptr_t outer = 0; outer < dimensions[0]; ++outer) {
        for (std::size_t o = 0; o < I + 3; ++o)
            __builtin_prefetch(p[o] + 32 * steps[o], 0);
        for (std::size_t o = I + 3; o < operands; ++o)
            __builtin_prefetch(p[o] + 32 * steps[o], 1);
        for (std::size_t j = 0; j < I; ++j)
            at.in[j] = p[j];
        for (std::size_t o = 0; o < O; ++o)
            at.out[o] = p[I + 3 + o];
        const double loc = read(p[I]), scale = read(p[I + 1]);
        double param[max_k] = {};
        for (std::intptr_t j = 0; j < m; ++j)
            param[j] = read(p[I + 2] + j * param_step);

        std::intptr_t i = 0;
        if (n >= lanes) {
            for (std::intptr_t l = 0; l < lanes; ++l)
                row.set_row(static_cast<std::size_t>(l), loc, scale, param, k);
            const Rows rows(row.loc, row.scale, row.param, k);
            if constexpr (Kernel::streams) {
                kernel.stream(rows, at, n);
                i = n;
            } else {
                evaluate_row(rows, kernel, at, n, row);
                i = n - n % lanes;
            }
        }
        for (; i < n; ++i) {
            pending.add(loc, scale, param, k, at, i);
            if (static_cast<std::intptr_t>(pending.count) == lanes)
                pending.flush(k, kernel, at);
        }

        for (std::size_t o = 0; o < operands; ++o)
            p[o] += steps[o];
    }
    if (pending.count > 0)
        pending.flush(k, kernel, at);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
