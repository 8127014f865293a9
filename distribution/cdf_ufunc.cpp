// The generalized ufunc cdf(x, loc, scale, param), signature (n),(),(),(m)->(n):
// the distribution function of the polynomially adjusted logistic
// distribution at the points x, for each broadcast row of loc, scale and
// coefficients.
//
// The loop is compiled for every instruction set Highway targets here
// (baseline, SSE4, AVX2, AVX-512 on x86-64) and the widest the processor
// runs is chosen at the first call; all of them give the same bits.
#include "module.hpp"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/cdf_ufunc.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "approx_class.hpp"
#include "loop.hpp"

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

PyMethodDef CDFUfuncMethods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "cdf_ufunc",
    nullptr, // no module docstring
    -1,
    CDFUfuncMethods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_cdf_ufunc(void)
{
    PyObject *module = PyModule_Create(&moduledef);
    if (module == nullptr)
        return nullptr;
    if (distribution::bind_numpy() < 0 || distribution::pin_target() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    // The tables of every supported length, before the ufunc can run.
    build_tables();
    if (distribution::add_ufunc(module, funcs, data, types, 4, 1, "cdf", "cdf_docstring", "(n),(),(),(m)->(n)") < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
#endif // HWY_ONCE
