// The accurate module's plain functions, beside its ufuncs: the calls of the
// location-scale likelihood (likelihood_calls.cpp) and the linear algebra of
// the search's Newton steps (newton_steps.cpp), each with its docstring.
// accurate.cpp registers them.
//
// The module's three translation units share one NumPy API table: this
// header names it, accurate.cpp (which defines DISTRIBUTION_IMPORTS_NUMPY)
// fills it at import, and the other two read it.  Include this header
// before anything that includes NumPy's.
#ifndef DISTRIBUTION_ACCURATE_METHODS_HPP
#define DISTRIBUTION_ACCURATE_METHODS_HPP

#define PY_ARRAY_UNIQUE_SYMBOL distribution_accurate_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL distribution_accurate_UFUNC_API
#ifndef DISTRIBUTION_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include "../simd/module.hpp"

namespace distribution::methods {

// _location_scale_sums(lo, hi, X, idx_lo, idx_hi, Z, exact, beta, g, p, *,
// weights, want, truncation, threads) -> (value, grad, hess)
PyObject *location_scale_sums(PyObject *, PyObject *args, PyObject *kwargs);
// _location_scale_terms(..., *, weights, truncation, threads) -> (S, n)
PyObject *location_scale_terms(PyObject *, PyObject *args, PyObject *kwargs);
// _location_scale_scores(..., *, truncation, threads) -> (n, k)
PyObject *location_scale_scores(PyObject *, PyObject *args, PyObject *kwargs);
extern const char sums_doc[], terms_doc[], scores_doc[];

// _symmetric_eigen(H) -> (w, V)
PyObject *symmetric_eigen(PyObject *, PyObject *arg);
// _newton_steps(H, g, floor) -> (step, definite)
PyObject *newton_steps(PyObject *, PyObject *args);
extern const char eigen_doc[], newton_doc[];

} // namespace distribution::methods

#endif
