// The generalized ufunc cdf(x, loc, scale, param), signature (n),(),(),(m)->(n):
// the distribution function of the polynomially adjusted logistic
// distribution at the points x, for each broadcast row of loc, scale and
// coefficients.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include "approx_class.hpp"

#include <new>

#ifdef CDF_FAULT_INJECTION
#include <atomic>
#include <cstdlib>
#endif

namespace {

// Coefficient vectors of 1 to 6 entries (polynomials of degree 0 to 5).  Six
// is the most the polylogarithm table serves (orders up to 2m - 2 = 10); a
// single coefficient is the constant polynomial, evaluated as (a_0, 0).
constexpr npy_intp min_coefficients = 1;
constexpr npy_intp max_coefficients = 6;

#ifdef CDF_FAULT_INJECTION
// Test builds only: the outer iteration numbered CDF_FAULT_AT (counted from 1
// over the life of the process) fails as an allocation in it would.
void fault_point()
{
    static std::atomic<long> count{0};
    static const char *at = std::getenv("CDF_FAULT_AT");
    if (at != nullptr && ++count == std::atol(at))
        throw std::bad_alloc();
}
#else
inline void fault_point() {}
#endif

// One outer iteration per row: gather the coefficients, build the
// distribution, evaluate it block by block.  Each block of points is read
// before its results are stored, so the output may be the points array
// itself.
//
// Built for baseline x86-64 and again for AVX2 and AVX-512, the loader picking
// the widest the processor runs; flatten inlines the Distribution into each
// clone, so that its loops over the points of a block use the wide lanes.
// No fused multiply-add is formed (-ffp-contract=off): every clone gives the
// same bits.
__attribute__((flatten)) WIDEST_ISA void
double_cdf(char **args, npy_intp const *dimensions, npy_intp const *steps,
           void * /* data */)
{
    char *p0 = args[0], *p1 = args[1], *p2 = args[2], *p3 = args[3],
         *p4 = args[4];
    const npy_intp n = dimensions[1];
    const npy_intp m = dimensions[2];
    const npy_intp in_step = steps[5], alpha_step = steps[6],
                   out_step = steps[7];

    // Nothing below allocates any more; the handler stays for whatever a
    // future change might allocate.
    try {
        double x[block], out[block];
        for (npy_intp outer = 0; outer < dimensions[0]; ++outer) {
            const double loc = *reinterpret_cast<double *>(p1);
            const double scale = *reinterpret_cast<double *>(p2);

            // A single coefficient is the constant polynomial (a_0, 0).
            ParamVector param = ParamVector::Zero(m < 2 ? 2 : m);
            for (npy_intp j = 0; j < m; ++j)
                param[j] = *reinterpret_cast<double *>(p3 + j * alpha_step);

            Distribution<double> distribution(loc, scale, param);
            fault_point();
            for (npy_intp start = 0; start < n; start += block) {
                const std::size_t count = static_cast<std::size_t>(
                    n - start < npy_intp(block) ? n - start : npy_intp(block));
                const char *in = p0 + start * in_step;
                for (std::size_t i = 0; i < count; ++i)
                    x[i] = *reinterpret_cast<const double *>(in + npy_intp(i) * in_step);
                distribution.cdf(x, out, count);
                char *res = p4 + start * out_step;
                for (std::size_t i = 0; i < count; ++i)
                    *reinterpret_cast<double *>(res + npy_intp(i) * out_step) = out[i];
            }

            p0 += steps[0];
            p1 += steps[1];
            p2 += steps[2];
            p3 += steps[3];
            p4 += steps[4];
        }
    } catch (const std::bad_alloc &) {
        // A C++ exception must not unwind through NumPy's C frames.  What the
        // iteration held is released by now; report and stop.
        NPY_ALLOW_C_API_DEF
        NPY_ALLOW_C_API
        PyErr_NoMemory();
        NPY_DISABLE_C_API
    }
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

} // namespace

PyMODINIT_FUNC PyInit_cdf_ufunc(void)
{
    PyObject *module = PyModule_Create(&moduledef);
    if (module == nullptr)
        return nullptr;

    if (bind_numpy() < 0) {
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
