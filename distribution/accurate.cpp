// The accurate family as generalized ufuncs with signature
// (n),(),(),(m)->(n): cdf, sf, logcdf, logsf, pdf, logpdf, ppf, isf of the
// polynomially adjusted logistic distribution (see accurate.hpp), over the
// same loop, lanes and run-time choice of instruction set as cdf_ufunc.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "accurate.hpp"
#include "rows.hpp"

#ifndef DISTRIBUTION_ACCURATE_FUNCTIONS
#define DISTRIBUTION_ACCURATE_FUNCTIONS
namespace distribution {
// The eight functions, in the order of registration.
enum Function { CDF, SF, LOGCDF, LOGSF, PDF, LOGPDF, PPF, ISF, FUNCTIONS };
} // namespace distribution
#endif

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

using Rows = Accurate<Lanes>;

// One block of lanes of a function.
template <Function F> void evaluate(const Rows &rows, const double *x, double *out)
{
    const Lanes d;
    switch (F) {
    case CDF: rows.template tails<false>(x, out, [d](const Tail<Lanes> &t) { return cdf_of(d, t); }); break;
    case SF: rows.template tails<false>(x, out, [d](const Tail<Lanes> &t) { return sf_of(d, t); }); break;
    case LOGCDF: rows.template tails<true>(x, out, [d](const Tail<Lanes> &t) { return logcdf_of(d, t); }); break;
    case LOGSF: rows.template tails<true>(x, out, [d](const Tail<Lanes> &t) { return logsf_of(d, t); }); break;
    case PDF: rows.density(x, out, false); break;
    case LOGPDF: rows.density(x, out, true); break;
    case PPF: rows.quantile(x, out, false); break;
    default: rows.quantile(x, out, true); break;
    }
}

void AccurateLoop(int function, char **args, npy_intp const *dimensions, npy_intp const *steps)
{
    switch (function) {
    case CDF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<CDF>); break;
    case SF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<SF>); break;
    case LOGCDF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<LOGCDF>); break;
    case LOGSF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<LOGSF>); break;
    case PDF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<PDF>); break;
    case LOGPDF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<LOGPDF>); break;
    case PPF: evaluate_rows<Rows>(args, dimensions, steps, evaluate<PPF>); break;
    default: evaluate_rows<Rows>(args, dimensions, steps, evaluate<ISF>); break;
    }
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace distribution {
HWY_EXPORT(AccurateLoop);
} // namespace distribution

namespace {
using distribution::Function;

constexpr npy_intp max_coefficients = 6;

// The loop of each function: its number travels in the ufunc's data.
void double_loop(char **args, npy_intp const *dimensions, npy_intp const *steps, void *data)
{
    const int function = static_cast<int>(reinterpret_cast<std::intptr_t>(data));
    HWY_DYNAMIC_DISPATCH(distribution::AccurateLoop)(function, args, dimensions, steps);
}

int check_core_dims(PyUFuncObject *ufunc, npy_intp *core_dim_sizes)
{
    const npy_intp m = core_dim_sizes[1];
    if (m < 1 || m > max_coefficients) {
        PyErr_Format(PyExc_ValueError,
                     "%s: param must have from 1 to %zd coefficients (a polynomial of "
                     "degree 0 to 5) along its last axis, got %zd",
                     ufunc->name, static_cast<Py_ssize_t>(max_coefficients),
                     static_cast<Py_ssize_t>(m));
        return -1;
    }
    return 0;
}

#define SHARED_PARAMETERS                                                                        \
    "loc : array_like\n"                                                                         \
    "    Location, one per row (broadcast against the rows of the points).\n"                    \
    "scale : array_like\n"                                                                       \
    "    Scale, one per row; a row with scale <= 0 gives NaN.\n"                                  \
    "param : array_like\n"                                                                       \
    "    The 1 to 6 coefficients of p, lowest power first, along the last axis.\n"              \
    "    p is a polynomial in the units of x: p(x) = param[0] + param[1] x + ....\n"          \
    "    A row whose coefficients are all 0 gives NaN.\n"                                        \
    "out : ndarray, optional\n"                                                                  \
    "    Where to put the result.\n"

#define SHARED_NOTES                                                                             \
    "The distribution has density proportional to p(x)**2 f((x - loc) / scale), f the\n"        \
    "standard logistic density.  Its tails are evaluated in closed form, expanded about\n"      \
    "the point, with polylogarithms summed to convergence.\n"

struct Entry {
    const char *name;
    const char *doc;
};

// Docstrings, with the signature line NumPy puts in front.
const Entry entries[distribution::FUNCTIONS] = {
    {"cdf",
     "Distribution function of the polynomially adjusted logistic distribution.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\ncdf : ndarray\n    P(X <= x), in [0, 1].\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "For x >= loc it is 1 - sf(x); below loc it is the lower tail itself, accurate to a\n"
     "few units in the last place however small.  Relative error within (64 + 8 kappa)\n"
     "eps, kappa the condition number of the value.  x = -inf and +inf give 0 and 1.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> float(accurate.cdf([0.0], 0.0, 1.0, [0.0, 1.0])[0])\n0.5\n"},
    {"sf",
     "Survival function, 1 - cdf, of the polynomially adjusted logistic distribution.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nsf : ndarray\n    P(X > x), in [0, 1].\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "For x >= loc it is the upper tail itself, accurate to a few units in the last\n"
     "place however small; below loc it is 1 - cdf(x).  x = -inf and +inf give 1 and 0.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.sf([40.0], 0.0, 1.0, [1.0])  # e^-40 / (1 + e^-40)\n"
     "array([4.24835426e-18])\n"},
    {"logcdf",
     "Logarithm of the distribution function.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nlogcdf : ndarray\n    log P(X <= x), finite wherever x is.\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "The lower tail is carried scaled by e^u, u = |x - loc| / scale, so that its\n"
     "logarithm stays finite and accurate where the value itself underflows.  Absolute\n"
     "error within (64 + 8 kappa) eps.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.logcdf([-1000.0], 0.0, 1.0, [1.0])\n"
     "array([-1000.])\n"},
    {"logsf",
     "Logarithm of the survival function.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nlogsf : ndarray\n    log P(X > x), finite wherever x is.\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "The upper tail is carried scaled by e^u, so that its logarithm stays finite and\n"
     "accurate where the value itself underflows.  Absolute error within\n"
     "(64 + 8 kappa) eps.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.logsf([1000.0], 0.0, 1.0, [1.0])\n"
     "array([-1000.])\n"},
    {"pdf",
     "Density of the polynomially adjusted logistic distribution.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\npdf : ndarray\n"
     "    p(x)**2 f(y) / (scale S), y = (x - loc) / scale, S the total mass.\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "Relative error within (64 + 8 kappa) eps.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.pdf([0.0], 0.0, 1.0, [1.0])  # the logistic density at 0\n"
     "array([0.25])\n"},
    {"logpdf",
     "Logarithm of the density.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "x : array_like\n    Points, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nlogpdf : ndarray\n"
     "    2 log|p(x)| + log f(y) - log scale - log S, with\n"
     "    log f(y) = -|y| - 2 log1p(e^-|y|); -inf at a root of p.\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "Absolute error within (64 + 8 kappa) eps.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.logpdf([0.0], 0.0, 1.0, [1.0])  # log(1/4)\n"
     "array([-1.38629436])\n"},
    {"ppf",
     "Quantile function, the inverse of cdf.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "q : array_like\n    Probabilities, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nppf : ndarray\n"
     "    The x with cdf(x) = q; -inf at q = 0, +inf at q = 1, NaN outside [0, 1].\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "Newton's method on the logarithm of the smaller side (cdf for q <= 1/2, sf\n"
     "above), bracketed and safeguarded by bisection, from the logistic quantile and\n"
     "run until the step is below the spacing of x: cdf(ppf(q)) is q to a few units\n"
     "in the last place of min(q, 1 - q), plus what the spacing of x allows.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> float(accurate.ppf([0.5], 0.0, 1.0, [1.0])[0])\n0.0\n"},
    {"isf",
     "Inverse survival function, the inverse of sf.\n\n"
     "Signature ``(n),(),(),(m)->(n)``.\n\n"
     "Parameters\n----------\n"
     "q : array_like\n    Probabilities, along the last axis.\n" SHARED_PARAMETERS
     "\nReturns\n-------\nisf : ndarray\n"
     "    The x with sf(x) = q; +inf at q = 0, -inf at q = 1, NaN outside [0, 1].\n"
     "\nNotes\n-----\n" SHARED_NOTES
     "Solved like ppf, on the smaller side, so that a tiny q (1e-300, say) keeps its\n"
     "relative precision.\n"
     "\nExamples\n--------\n"
     ">>> from distribution import accurate\n"
     ">>> accurate.isf([1e-300], 0.0, 1.0, [1.0])  # log(1e300), nearly\n"
     "array([690.7755279])\n"},
};

PyUFuncGenericFunction funcs[1] = {&double_loop};
char types[5] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
void *data[distribution::FUNCTIONS][1];

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "accurate",
    "The accurate family of the polynomially adjusted logistic distribution:\n"
    "cdf, sf, logcdf, logsf, pdf, logpdf, ppf and isf as NumPy generalized ufuncs\n"
    "with signature (n),(),(),(m)->(n), accurate to a few units in the last place.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int bind_numpy()
{
    import_array1(-1);
    import_umath1(-1);
    return 0;
}

} // namespace

PyMODINIT_FUNC PyInit_accurate(void)
{
    PyObject *module = PyModule_Create(&moduledef);
    if (module == nullptr)
        return nullptr;
    if (bind_numpy() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    build_tables();
    build_series_tables();

    for (int f = 0; f < distribution::FUNCTIONS; ++f) {
        data[f][0] = reinterpret_cast<void *>(static_cast<std::intptr_t>(f));
        PyObject *ufunc = PyUFunc_FromFuncAndDataAndSignature(
            funcs, data[f], types, 1, 4, 1, PyUFunc_None, entries[f].name, entries[f].doc, 0,
            "(n),(),(),(m)->(n)");
        if (ufunc == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
        reinterpret_cast<PyUFuncObject *>(ufunc)->process_core_dims_func = &check_core_dims;
        const int status = PyModule_AddObject(module, entries[f].name, ufunc);
        if (status < 0) {
            Py_DECREF(ufunc);
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
#endif // HWY_ONCE
