// The kernels of the accurate family: for each line of the table in
// functions.hpp, how a block of lanes turns its operands into its outputs,
// and the loop of each function over its arrays (loop.hpp).  Included by the
// three units of loops, each with DISTRIBUTION_ACCURATE_UNIT naming itself;
// a unit compiles, for every instruction set, the kernels of its own lines.
//
// Compiled once per instruction set (simd/targets.hpp: all of them in one
// object, or one object per set and one for the dispatch table).
#include "../simd/loop.hpp"
#include "functions.hpp"
#include "hessian.hpp"
#include "moments.hpp"
#include "quantile.hpp"

#if defined(DISTRIBUTION_ACCURATE_KERNELS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_KERNELS_LANES
#undef DISTRIBUTION_ACCURATE_KERNELS_LANES
#else
#define DISTRIBUTION_ACCURATE_KERNELS_LANES
#endif

#include <hwy/highway.h>

#include <cstdint>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

using Rows = Row<Lanes>;
using V = hn::Vec<Lanes>;
constexpr std::size_t W = Rows::W, U = Rows::U;

// One value per point from one point operand.
struct PerPoint {
    using Rows = distribution::HWY_NAMESPACE::Rows;
    static constexpr std::size_t inputs = 1, outputs = 1;
    static constexpr std::size_t vectors = 0, matrices = 0;
    static constexpr bool streams = false, points = true;
};

// f(k, d, at) for each block of lanes of the rows in turn, k the number of
// coefficients as a type (std::integral_constant), at the block's offset.
template <class F> HWY_INLINE void each_block(const Rows &rows, F &&f)
{
    with_k(rows.k, [&](auto k) {
        for (std::size_t a = 0; a < U; ++a)
            f(k, Lanes(), a * W);
    });
}

// A side of the distribution (or its logarithm) from the tails.
template <bool Logs, V (*Output)(Lanes, const Tail<Lanes> &)> struct TailKernel : PerPoint {
    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            V x[U], y[U];
            Tail<Lanes> tail[U];
            for (std::size_t a = 0; a < U; ++a) {
                x[a] = hn::LoadU(d, in[0] + a * W);
                y[a] = standardise(d, rows, x[a], a * W);
            }
            for (std::size_t a = 0; a < U; ++a)
                tail[a] = tails_at<K, Density::none, Logs>(d, rows, locate(d, rows, x[a], y[a], a * W), a * W,
                                                           hn::FirstN(d, W));
            for (std::size_t a = 0; a < U; ++a)
                hn::StoreU(Output(d, tail[a]), d, out[0] + a * W);
        });
    }
};

template <bool Logarithm> struct DensityKernel : PerPoint {
    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            const V x = hn::LoadU(d, in[0] + at);
            hn::StoreU(density_at<decltype(k)::value>(d, rows, x, standardise(d, rows, x, at), at, Logarithm), d,
                       out[0] + at);
        });
    }
};

template <bool Survival> struct QuantileKernel : PerPoint {
    static constexpr bool streams = true;

    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        with_k(rows.k, [&](auto k) { quantile<decltype(k)::value>(Lanes(), rows, in[0], out[0], Survival); });
    }

    template <class Operands> void stream(const Rows &rows, const Operands &at, std::intptr_t n) const
    {
        with_k(rows.k, [&](auto k) { quantile_stream<decltype(k)::value>(Lanes(), rows, at, n, Survival); });
    }
};

// A value and its derivatives per point: out[0] the value, out[1 .. 3] its
// derivatives in x, loc and scale, out[4 + j] in param[j].
struct WithGradient : PerPoint {
    static constexpr std::size_t outputs = 4, vectors = 1;

    template <std::size_t K>
    static void store(V value, const Gradient<Lanes, K> &g, double *const *out, std::size_t at)
    {
        const Lanes d;
        hn::StoreU(value, d, out[0] + at);
        hn::StoreU(g.x, d, out[1] + at);
        hn::StoreU(g.loc, d, out[2] + at);
        hn::StoreU(g.scale, d, out[3] + at);
        for (std::size_t j = 0; j < K; ++j)
            hn::StoreU(g.param[j], d, out[4 + j] + at);
    }
};

template <bool Survival, bool Logarithm> struct SideGradient : WithGradient {
    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            constexpr std::size_t K = decltype(k)::value;
            const V x = hn::LoadU(d, in[0] + at), y = standardise(d, rows, x, at);
            Expansion<Lanes, K> expansion;
            const Point<Lanes> p = locate(d, rows, x, y, at);
            const Tail<Lanes> tail = tails_at<K, Density::none, Logarithm>(d, rows, p, at, hn::FirstN(d, W), &expansion);
            const V value = Survival ? (Logarithm ? logsf_of(d, tail) : sf_of(d, tail))
                                     : (Logarithm ? logcdf_of(d, tail) : cdf_of(d, tail));
            store(value, side_slopes<K, Survival, Logarithm>(d, rows, p, expansion, tail, at), out, at);
        });
    }
};

template <bool Logarithm> struct DensityGradient : WithGradient {
    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            constexpr std::size_t K = decltype(k)::value;
            const V x = hn::LoadU(d, in[0] + at), y = standardise(d, rows, x, at);
            const V value = density_at<K>(d, rows, x, y, at, Logarithm);
            store(value, density_slopes<K, Logarithm>(d, rows, x, y, value, at), out, at);
        });
    }
};

// P(a < X <= b) (or its logarithm) of the points a and b of each lane; with
// Slopes also d/da, d/db, d/dloc, d/dscale and d/dparam of the logarithm.
template <bool Logarithm, bool Slopes> struct BetweenKernel : PerPoint {
    static constexpr std::size_t inputs = 2, outputs = Slopes ? 5 : 1, vectors = Slopes ? 1 : 0;

    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            constexpr std::size_t K = decltype(k)::value;
            const Between<Lanes, K> r = between<K, Slopes>(d, rows, hn::LoadU(d, in[0] + at), hn::LoadU(d, in[1] + at), at);
            hn::StoreU(Logarithm ? r.log_P : r.P, d, out[0] + at);
            if (Slopes) {
                hn::StoreU(r.d_a, d, out[1] + at);
                hn::StoreU(r.d_b, d, out[2] + at);
                hn::StoreU(r.g.loc, d, out[3] + at);
                hn::StoreU(r.g.scale, d, out[4] + at);
                for (std::size_t j = 0; j < K; ++j)
                    hn::StoreU(r.g.param[j], d, out[5 + j] + at);
            }
        });
    }
};

// Value, first and second derivatives in the point(s) and the coefficients:
// for log pdf out = value, d_x, d_xx, then d_p, d_xp and d_pp; for log P
// value, d_a, d_b, d_aa, d_ab, d_bb, then d_p, d_ap, d_bp and d_pp.
template <bool Interval> struct HessianKernel : PerPoint {
    static constexpr std::size_t inputs = Interval ? 2 : 1, outputs = Interval ? 6 : 3;
    static constexpr std::size_t vectors = Interval ? 3 : 2, matrices = 1;

    template <std::size_t K>
    static void store_vector(std::size_t v, const V (&values)[K], double *const *out, std::size_t at)
    {
        for (std::size_t j = 0; j < K; ++j)
            hn::StoreU(values[j], Lanes(), out[outputs + v * max_k + j] + at);
    }

    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            constexpr std::size_t K = decltype(k)::value;
            V d_p[K];
            Curvature<Lanes, K> h;
            if constexpr (Interval) {
                const V a = hn::LoadU(d, in[0] + at), b = hn::LoadU(d, in[1] + at);
                const Between<Lanes, K> r = between<K, true, true>(d, rows, a, b, at);
                h = between_curvature<K>(d, rows, a, b, r, at);
                const V scalars[6] = {r.log_P, r.d_a, r.d_b, h.aa, h.ab, h.xx};
                for (std::size_t o = 0; o < 6; ++o)
                    hn::StoreU(scalars[o], d, out[o] + at);
                for (std::size_t j = 0; j < K; ++j)
                    d_p[j] = r.g.param[j];
                store_vector<K>(1, h.ap, out, at);
                store_vector<K>(2, h.xp, out, at);
            } else {
                const V x = hn::LoadU(d, in[0] + at), y = standardise(d, rows, x, at);
                const V value = density_at<K>(d, rows, x, y, at, true);
                const Gradient<Lanes, K> g = density_slopes<K, true>(d, rows, x, y, value, at);
                h = density_curvature<K>(d, rows, x, y, at);
                hn::StoreU(value, d, out[0] + at);
                hn::StoreU(g.x, d, out[1] + at);
                hn::StoreU(h.xx, d, out[2] + at);
                for (std::size_t j = 0; j < K; ++j)
                    d_p[j] = g.param[j];
                store_vector<K>(1, h.xp, out, at);
            }
            store_vector<K>(0, d_p, out, at);
            for (std::size_t j = 0; j < K; ++j)
                for (std::size_t i = 0; i < K; ++i)
                    hn::StoreU(h.pp[j][i], d, out[outputs + vectors * max_k + j * max_k + i] + at);
        });
    }
};

// The mean (0), the variance (1) or the raw moment of order k (2) of each
// lane's row: one value per row, no points.
template <int What> struct MomentKernel : PerPoint {
    static constexpr std::size_t inputs = What == 2 ? 1 : 0;
    static constexpr bool points = false;

    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        each_block(rows, [&](auto k, Lanes d, std::size_t at) {
            constexpr std::size_t K = decltype(k)::value;
            const V value = What == 2 ? raw_moment<K>(d, rows, hn::LoadU(d, in[0] + at), at)
                                      : mean_or_var<K, What == 1>(d, rows, at);
            hn::StoreU(value, d, out[0] + at);
        });
    }
};

template <class Kernel> void run(char **args, const std::intptr_t *dimensions, const std::intptr_t *steps)
{
    run_loop(args, dimensions, steps, Kernel(), Kernel::points);
}

// The loops of this unit's lines of the table; null for the other units', so
// that their kernels are not instantiated here.
using Loop = void (*)(char **, const std::intptr_t *, const std::intptr_t *);
template <Unit unit, class Kernel> constexpr Loop loop_in_this_unit()
{
    if constexpr (unit == DISTRIBUTION_ACCURATE_UNIT)
        return &run<Kernel>;
    else
        return nullptr;
}

#ifndef DISTRIBUTION_DISPATCH
#define DISTRIBUTION_LOOP(name, unit, signature, summary, ...) loop_in_this_unit<unit, __VA_ARGS__>(),
constexpr Loop loops[] = {DISTRIBUTION_ACCURATE_FUNCTIONS(DISTRIBUTION_LOOP)};
#undef DISTRIBUTION_LOOP
#endif

} // namespace HWY_NAMESPACE
} // namespace distribution

// The unit's entry point for this instruction set.  It has a namespace of
// the unit's own, so that every unit's entry points can be linked from
// objects of their own; the dispatch table's object only declares them.
#define DISTRIBUTION_UNIT_NAMESPACE HWY_CONCAT(unit_, DISTRIBUTION_ACCURATE_UNIT)
namespace distribution {
namespace DISTRIBUTION_UNIT_NAMESPACE {
namespace HWY_NAMESPACE {
#ifdef DISTRIBUTION_DISPATCH
void UnitLoop(int function, char **args, const std::intptr_t *dimensions, const std::intptr_t *steps);
#else
void UnitLoop(int function, char **args, const std::intptr_t *dimensions, const std::intptr_t *steps)
{
    distribution::HWY_NAMESPACE::loops[function](args, dimensions, steps);
}
#endif
} // namespace HWY_NAMESPACE
} // namespace DISTRIBUTION_UNIT_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set

#if HWY_ONCE
namespace distribution {
namespace DISTRIBUTION_UNIT_NAMESPACE {
HWY_EXPORT(UnitLoop);

inline void dispatch(int function, char **args, const std::intptr_t *dimensions, const std::intptr_t *steps)
{
    HWY_DYNAMIC_DISPATCH(UnitLoop)(function, args, dimensions, steps);
}
} // namespace DISTRIBUTION_UNIT_NAMESPACE

template <>
void unit_loop<DISTRIBUTION_ACCURATE_UNIT>(int function, char **args, const std::intptr_t *dimensions,
                                          const std::intptr_t *steps)
{
    DISTRIBUTION_UNIT_NAMESPACE::dispatch(function, args, dimensions, steps);
}
} // namespace distribution
#endif
