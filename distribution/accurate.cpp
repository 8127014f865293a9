// The accurate family of the polynomially adjusted logistic distribution as
// generalized ufuncs, over the loop, lanes and run-time choice of
// instruction set of cdf_ufunc.  One table below lists the functions: name,
// kernel, signature, summary and docstring; the registration, the loops of
// every instruction set and the typing stub (tools/make_stub.py) all come
// from it.
#include "module.hpp"

#include <cstring>
#include <string>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "accurate/interval.hpp"
#include "accurate/moments.hpp"
#include "accurate/quantile.hpp"
#include "loop.hpp"

#ifndef DISTRIBUTION_ACCURATE_TABLE
#define DISTRIBUTION_ACCURATE_TABLE
#include "accurate/docstrings.hpp"

// F(name, signature, summary, kernel): the functions in the order of
// registration.
#define DISTRIBUTION_ACCURATE_FUNCTIONS(F)                                                                           \
    F(cdf, "(n),(),(),(m)->(n)", "Distribution function of the polynomially adjusted logistic distribution.",         \
      TailKernel<false, cdf_of>)                                                                                     \
    F(sf, "(n),(),(),(m)->(n)", "Survival function, 1 - cdf, of the polynomially adjusted logistic distribution.",   \
      TailKernel<false, sf_of>)                                                                                      \
    F(logcdf, "(n),(),(),(m)->(n)", "Logarithm of the distribution function.", TailKernel<true, logcdf_of>)          \
    F(logsf, "(n),(),(),(m)->(n)", "Logarithm of the survival function.", TailKernel<true, logsf_of>)                \
    F(pdf, "(n),(),(),(m)->(n)", "Density of the polynomially adjusted logistic distribution.", DensityKernel<false>) \
    F(logpdf, "(n),(),(),(m)->(n)", "Logarithm of the density.", DensityKernel<true>)                                \
    F(ppf, "(n),(),(),(m)->(n)", "Quantile function, the inverse of cdf.", QuantileKernel<false>)                    \
    F(isf, "(n),(),(),(m)->(n)", "Inverse survival function, the inverse of sf.", QuantileKernel<true>)             \
    F(cdf_grad, DISTRIBUTION_GRADIENT, "The distribution function and its derivatives.", SideGradient<false, false>)  \
    F(sf_grad, DISTRIBUTION_GRADIENT, "The survival function and its derivatives.", SideGradient<true, false>)       \
    F(logcdf_grad, DISTRIBUTION_GRADIENT, "The logarithm of the distribution function and its derivatives.",         \
      SideGradient<false, true>)                                                                                     \
    F(logsf_grad, DISTRIBUTION_GRADIENT, "The logarithm of the survival function and its derivatives.",              \
      SideGradient<true, true>)                                                                                      \
    F(pdf_grad, DISTRIBUTION_GRADIENT, "The density and its derivatives.", DensityGradient<false>)                   \
    F(logpdf_grad, DISTRIBUTION_GRADIENT, "The logarithm of the density and its derivatives.", DensityGradient<true>) \
    F(probability_between, "(n),(n),(),(),(m)->(n)", "Probability of an interval, P(a < X <= b).",                 \
      BetweenKernel<false, false>)                                                                                   \
    F(log_probability_between, "(n),(n),(),(),(m)->(n)", "Logarithm of the probability of an interval.",           \
      BetweenKernel<true, false>)                                                                                    \
    F(log_probability_between_grad, "(n),(n),(),(),(m)->(n),(n),(n),(n),(n),(n,m)",                                  \
      "Logarithm of the probability of an interval and its derivatives.", BetweenKernel<true, true>)                \
    F(mean, "(),(),(m)->()", "Mean of the polynomially adjusted logistic distribution.", MomentKernel<0>)             \
    F(var, "(),(),(m)->()", "Variance of the polynomially adjusted logistic distribution.", MomentKernel<1>)          \
    F(moment, "(),(),(),(m)->()", "Raw moment E[X**k] of the polynomially adjusted logistic distribution.",          \
      MomentKernel<2>)
#define DISTRIBUTION_GRADIENT "(n),(),(),(m)->(n),(n),(n),(n),(n,m)"
#endif

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
    static constexpr bool per_coefficient = false, streams = false, points = true;
};

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
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            for (std::size_t a = 0; a < U; ++a) {
                const V x = hn::LoadU(d, in[0] + a * W);
                hn::StoreU(density_at<K>(d, rows, x, standardise(d, rows, x, a * W), a * W, Logarithm), d,
                           out[0] + a * W);
            }
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
    static constexpr std::size_t outputs = 4;
    static constexpr bool per_coefficient = true;

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
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            for (std::size_t a = 0; a < U; ++a) {
                const V x = hn::LoadU(d, in[0] + a * W), y = standardise(d, rows, x, a * W);
                Expansion<Lanes, K> expansion;
                const Point<Lanes> p = locate(d, rows, x, y, a * W);
                const Tail<Lanes> tail = tails_at<K, Density::none, Logarithm>(d, rows, p, a * W, hn::FirstN(d, W), &expansion);
                const V value = Survival ? (Logarithm ? logsf_of(d, tail) : sf_of(d, tail))
                                         : (Logarithm ? logcdf_of(d, tail) : cdf_of(d, tail));
                store(value, side_slopes<K, Survival, Logarithm>(d, rows, p, expansion, tail, a * W), out, a * W);
            }
        });
    }
};

template <bool Logarithm> struct DensityGradient : WithGradient {
    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            for (std::size_t a = 0; a < U; ++a) {
                const V x = hn::LoadU(d, in[0] + a * W), y = standardise(d, rows, x, a * W);
                const V value = density_at<K>(d, rows, x, y, a * W, Logarithm);
                store(value, density_slopes<K, Logarithm>(d, rows, x, y, value, a * W), out, a * W);
            }
        });
    }
};

// P(a < X <= b) (or its logarithm) of the points a and b of each lane; with
// Slopes also d/da, d/db, d/dloc, d/dscale and d/dparam of the logarithm.
template <bool Logarithm, bool Slopes> struct BetweenKernel : PerPoint {
    static constexpr std::size_t inputs = 2, outputs = Slopes ? 5 : 1;
    static constexpr bool per_coefficient = Slopes;

    void operator()(const Rows &rows, const double *const *in, double *const *out) const
    {
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            for (std::size_t a = 0; a < U; ++a) {
                const std::size_t at = a * W;
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
            }
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
        with_k(rows.k, [&](auto k) {
            constexpr std::size_t K = decltype(k)::value;
            const Lanes d;
            for (std::size_t a = 0; a < U; ++a) {
                const std::size_t at = a * W;
                const V value = What == 2 ? raw_moment<K>(d, rows, hn::LoadU(d, in[0] + at), at)
                                          : mean_or_var<K, What == 1>(d, rows, at);
                hn::StoreU(value, d, out[0] + at);
            }
        });
    }
};

template <class Kernel> void run(char **args, npy_intp const *dimensions, npy_intp const *steps)
{
    run_loop(args, dimensions, steps, Kernel(), Kernel::points);
}

#define DISTRIBUTION_LOOP(name, signature, summary, ...) &run<__VA_ARGS__>,
using Loop = void (*)(char **, npy_intp const *, npy_intp const *);
constexpr Loop loops[] = {DISTRIBUTION_ACCURATE_FUNCTIONS(DISTRIBUTION_LOOP)};
#undef DISTRIBUTION_LOOP

void AccurateLoop(int function, char **args, npy_intp const *dimensions, npy_intp const *steps)
{
    loops[function](args, dimensions, steps);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace distribution {
HWY_EXPORT(AccurateLoop);
} // namespace distribution

namespace {

struct Entry {
    const char *name;
    const char *signature;
    const char *summary;
    const char *body;
};

#define DISTRIBUTION_ENTRY(name, signature, summary, ...) {#name, signature, summary, distribution::docs::name},
const Entry entries[] = {DISTRIBUTION_ACCURATE_FUNCTIONS(DISTRIBUTION_ENTRY)};
#undef DISTRIBUTION_ENTRY
constexpr int functions = sizeof entries / sizeof entries[0];

// The loop of every function: its index travels in the ufunc's data.
void double_loop(char **args, npy_intp const *dimensions, npy_intp const *steps, void *data)
{
    const int function = static_cast<int>(reinterpret_cast<std::intptr_t>(data));
    HWY_DYNAMIC_DISPATCH(distribution::AccurateLoop)(function, args, dimensions, steps);
}

PyUFuncGenericFunction funcs[1] = {&double_loop};
void *data[functions][1];
char types[16];
std::string docstrings[functions];

// Operands before and after "->", one per parenthesised group.
int count_operands(const char *from, const char *to)
{
    int count = 0;
    for (const char *c = from; c != to; ++c)
        count += *c == '(';
    return count;
}

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "accurate",
    "The accurate family of the polynomially adjusted logistic distribution as NumPy\n"
    "generalized ufuncs: values, logarithms, quantiles, gradients, interval\n"
    "probabilities and moments, accurate to a few units in the last place.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_accurate(void)
{
    PyObject *module = PyModule_Create(&moduledef);
    if (module == nullptr)
        return nullptr;
    if (distribution::bind_numpy() < 0 || distribution::pin_target() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    build_series_tables();
    for (char &type : types)
        type = NPY_DOUBLE;
    for (int f = 0; f < functions; ++f) {
        const Entry &e = entries[f];
        const char *arrow = std::strstr(e.signature, "->");
        docstrings[f] = std::string(e.summary) + "\n\nSignature ``" + e.signature + "``.\n\n" + e.body;
        data[f][0] = reinterpret_cast<void *>(static_cast<std::intptr_t>(f));
        if (distribution::add_ufunc(module, funcs, data[f], types, count_operands(e.signature, arrow),
                                    count_operands(arrow, arrow + std::strlen(arrow)), e.name,
                                    docstrings[f].c_str(), e.signature) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
#endif // HWY_ONCE
