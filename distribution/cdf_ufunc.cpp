// The generalized ufunc cdf(x, loc, scale, param), signature (n),(),(),(m)->(n):
// the distribution function of the polynomially adjusted logistic
// distribution at the points x, for each broadcast row of loc, scale and
// coefficients.
//
// The loop is compiled for every instruction set Highway targets here
// (baseline, SSE4, AVX2, AVX-512 on x86-64) and the widest the processor
// runs is chosen at the first call; all of them give the same bits.
#include "simd/module.hpp"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/cdf_ufunc.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "approx_class.hpp"
#include "simd/loop.hpp"

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

// F at one point per lane.
struct CdfKernel {
    using Rows = Distribution<Lanes>;
    static constexpr std::size_t inputs = 1, outputs = 1;
    static constexpr std::size_t vectors = 0, matrices = 0;
    static constexpr bool streams = false;

    void operator()(const Rows &rows, const double *const *in, double *const *out) const { rows.cdf(in[0], out[0]); }
};

void DoubleCdf(char **args, npy_intp const *dimensions, npy_intp const *steps)
{
    run_loop(args, dimensions, steps, CdfKernel(), true);
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace distribution {
HWY_EXPORT(DoubleCdf);
} // namespace distribution

namespace {

void double_cdf(char **args, npy_intp const *dimensions, npy_intp const *steps, void * /* data */)
{
    HWY_DYNAMIC_DISPATCH(distribution::DoubleCdf)(args, dimensions, steps);
}

PyUFuncGenericFunction funcs[1] = {&double_cdf};
char types[5] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
void *data[1] = {nullptr};

PyModuleDef moduledef = distribution::module_definition("cdf_ufunc", nullptr);

} // namespace

PyMODINIT_FUNC PyInit_cdf_ufunc(void)
{
    return distribution::create_module(&moduledef, [](PyObject *module) {
        // The tables of every supported length, before the ufunc can run.
        build_tables();
        return distribution::add_ufunc(module, funcs, data, types, 4, 1, "cdf", "cdf_docstring",
                                       "(n),(),(),(m)->(n)");
    });
}
#endif // HWY_ONCE
