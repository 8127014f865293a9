// What both extension modules share: NumPy's import, the check of the
// number of coefficients before any output is allocated, and, in test
// builds, the choice of instruction set.
#ifndef DISTRIBUTION_MODULE_HPP
#define DISTRIBUTION_MODULE_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef NPY_NO_DEPRECATED_API
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#endif
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

// Only the list of targets: highway.h comes after foreach_target.h.
#include <hwy/targets.h>

#ifdef CDF_TEST_BUILD
#include <cstdlib>
#include <cstring>
#endif

namespace distribution {

// Coefficient vectors of 1 to 6 entries (polynomials of degree 0 to 5).  Six
// is the most the polylogarithm table serves (orders up to 2m - 2 = 10); a
// single coefficient is the constant polynomial, evaluated as (a_0, 0).
constexpr npy_intp min_coefficients = 1;
constexpr npy_intp max_coefficients = 6;

// Refuses unsupported coefficient counts before any output is allocated.
// The coefficients are the last core dimension of every signature here.
inline int check_core_dims(PyUFuncObject *ufunc, npy_intp *core_dim_sizes)
{
    const npy_intp m = core_dim_sizes[ufunc->core_num_dim_ix - 1];
    if (m < min_coefficients || m > max_coefficients) {
        PyErr_Format(PyExc_ValueError,
                     "%s: param must have from %zd to %zd coefficients (a polynomial of degree 0 to 5) "
                     "along its last axis, got %zd",
                     ufunc->name, static_cast<Py_ssize_t>(min_coefficients),
                     static_cast<Py_ssize_t>(max_coefficients), static_cast<Py_ssize_t>(m));
        return -1;
    }
    return 0;
}

#ifndef NO_IMPORT_ARRAY
// NumPy's own import steps; on failure they print the cause and set
// ImportError.  A module of several translation units imports in one, the
// others define NO_IMPORT_ARRAY and share its table.
inline int bind_numpy()
{
    import_array1(-1);
    import_umath1(-1);
    return 0;
}
#endif

#ifdef CDF_TEST_BUILD
// Test builds only: CDF_TARGET (scalar, emu128, sse4, avx2, avx3) pins the
// instruction set, so that the tests can hold every one the processor runs
// to the same values.  An unknown or unsupported name fails the import.
inline int pin_target()
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
        if (std::strcmp(name, entry.name) == 0 && (entry.target & hwy::SupportedTargets() & HWY_TARGETS) != 0) {
            hwy::SetSupportedTargetsForTest(entry.target);
            return 0;
        }
    PyErr_Format(PyExc_ImportError, "CDF_TARGET=%s is not built or not supported here", name);
    return -1;
}
#else
inline int pin_target() { return 0; }
#endif

// Creates a generalized ufunc with one float64 loop, its data `data`, and
// adds it to the module under `name`; -1 with an exception set on failure.
inline int add_ufunc(PyObject *module, PyUFuncGenericFunction *loop, void **data, char *types, int inputs,
                     int outputs, const char *name, const char *doc, const char *signature)
{
    PyObject *ufunc = PyUFunc_FromFuncAndDataAndSignature(loop, data, types, 1, inputs, outputs, PyUFunc_None,
                                                          name, doc, 0, signature);
    if (ufunc == nullptr)
        return -1;
    reinterpret_cast<PyUFuncObject *>(ufunc)->process_core_dims_func = &check_core_dims;
    const int status = PyDict_SetItemString(PyModule_GetDict(module), name, ufunc);
    Py_DECREF(ufunc);
    return status;
}

// The definition of a module of no methods and no per-module state.
inline PyModuleDef module_definition(const char *name, const char *doc)
{
    return {PyModuleDef_HEAD_INIT, name, doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

#ifndef NO_IMPORT_ARRAY
// Both modules' start: the module object, NumPy's import, the test builds'
// choice of instruction set, then `fill(module)` (tables, ufuncs), which
// returns -1 with an exception set on failure.  On any failure the module is
// released and nullptr returned.
template <class Fill> PyObject *create_module(PyModuleDef *definition, Fill fill)
{
    PyObject *module = PyModule_Create(definition);
    if (module == nullptr)
        return nullptr;
    if (bind_numpy() < 0 || pin_target() < 0 || fill(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
#endif

} // namespace distribution

#endif // DISTRIBUTION_MODULE_HPP
