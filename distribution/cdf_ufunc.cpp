// The generalized ufunc cdf(x, loc, scale, param), signature (n),(),(),(m)->(n):
// the distribution function of the polynomially adjusted logistic
// distribution at the points x, for each broadcast row of loc, scale and
// coefficients.
//
// The loop is compiled for every instruction set Highway targets here
// (baseline, SSE4, AVX2, AVX-512 on x86-64) and the widest the processor
// runs is chosen at the first call; all of them give the same bits.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/cdf_ufunc.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "rows.hpp"

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

void DoubleCdf(char **args, npy_intp const *dimensions, npy_intp const *steps)
{
    evaluate_rows<Distribution<Lanes>>(args, dimensions, steps,
                         [](const Distribution<Lanes> &rows, const double *x, double *out) {
                             rows.cdf(x, out);
                         });
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#ifdef CDF_TEST_BUILD
#include <cstdlib>
#include <cstring>
#endif

namespace distribution {
HWY_EXPORT(DoubleCdf);
} // namespace distribution

namespace {

// Coefficient vectors of 1 to 6 entries (polynomials of degree 0 to 5).  Six
// is the most the polylogarithm table serves (orders up to 2m - 2 = 10); a
// single coefficient is the constant polynomial, evaluated as (a_0, 0).
constexpr npy_intp min_coefficients = 1;
constexpr npy_intp max_coefficients = 6;

void double_cdf(char **args, npy_intp const *dimensions, npy_intp const *steps,
                void * /* data */)
{
    HWY_DYNAMIC_DISPATCH(distribution::DoubleCdf)(args, dimensions, steps);
}

// Refuses unsupported coefficient lengths before any output is allocated.
int check_core_dims(PyUFuncObject * /* ufunc */, npy_intp *core_dim_sizes)
{
    const npy_intp m = core_dim_sizes[1];
    if (m < min_coefficients || m > max_coefficients) {
        PyErr_Format(PyExc_ValueError,
                     "cdf: param must have from %zd to %zd coefficients "
                     "(a polynomial of degree 0 to 5) along its last axis, "
                     "got %zd",
                     static_cast<Py_ssize_t>(min_coefficients),
                     static_cast<Py_ssize_t>(max_coefficients),
                     static_cast<Py_ssize_t>(m));
        return -1;
    }
    return 0;
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

// NumPy's own import steps; on failure they print the cause and set
// ImportError.
int bind_numpy()
{
    import_array1(-1);
    import_umath1(-1);
    return 0;
}

#ifdef CDF_TEST_BUILD
// Test builds only: CDF_TARGET (scalar, emu128, sse4, avx2, avx3) pins the
// instruction set, so that the tests can hold every one the processor runs
// to the same bits.  An unknown or unsupported name fails the import.
int pin_target()
{
    const char *name = std::getenv("CDF_TARGET");
    if (name == nullptr)
        return 0;
    const struct {
        const char *name;
        int64_t target;
    } known[] = {{"scalar", HWY_SCALAR}, {"emu128", HWY_EMU128}, {"sse4", HWY_SSE4},
                 {"avx2", HWY_AVX2},     {"avx3", HWY_AVX3}};
    for (const auto &entry : known)
        if (std::strcmp(name, entry.name) == 0 &&
            (entry.target & hwy::SupportedTargets() & HWY_TARGETS) != 0) {
            hwy::SetSupportedTargetsForTest(entry.target);
            return 0;
        }
    PyErr_Format(PyExc_ImportError, "CDF_TARGET=%s is not built or not supported here", name);
    return -1;
}
#else
int pin_target() { return 0; }
#endif

} // namespace

PyMODINIT_FUNC PyInit_cdf_ufunc(void)
{
    PyObject *module = PyModule_Create(&moduledef);
    if (module == nullptr)
        return nullptr;

    if (bind_numpy() < 0 || pin_target() < 0) {
        Py_DECREF(module);
        return nullptr;
    }

    // The tables of every supported length, before the ufunc can run.
    build_tables();

    PyObject *cdf = PyUFunc_FromFuncAndDataAndSignature(
        funcs, data, types, 1, 4, 1, PyUFunc_None, "cdf", "cdf_docstring", 0,
        "(n),(),(),(m)->(n)");
    if (cdf == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    reinterpret_cast<PyUFuncObject *>(cdf)->process_core_dims_func =
        &check_core_dims;

    const int status = PyDict_SetItemString(PyModule_GetDict(module), "cdf", cdf);
    Py_DECREF(cdf);
    if (status < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
#endif // HWY_ONCE
