// The accurate family of the polynomially adjusted logistic distribution as
// generalized ufuncs, over the loop, lanes and run-time choice of
// instruction set of cdf_ufunc.  The table of accurate/functions.hpp lists
// the functions; here each is registered with its docstring, and its loop is
// the one of its unit (accurate/values.cpp, gradients.cpp, intervals.cpp,
// hessians.cpp).  Beside them, as plain functions, the log-likelihood of the
// location-scale model on these distributions (accurate/likelihood.cpp) and
// the factorizations of the search's Newton steps.
#include "simd/module.hpp"

// Eigen's triangular products trip GCC's maybe-uninitialized analysis
// (a false positive, in its headers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "accurate/arguments.hpp"
#include "accurate/docstrings.hpp"
#include "accurate/functions.hpp"
#include "accurate/series.hpp"

namespace {

struct Entry {
    distribution::Unit unit;
    const char *name;
    const char *signature;
    const char *summary;
    const char *body;
};

#define DISTRIBUTION_ENTRY(name, unit, signature, summary, ...)                                                       \
    {distribution::unit, #name, signature, summary, distribution::docs::name},
const Entry entries[] = {DISTRIBUTION_ACCURATE_FUNCTIONS(DISTRIBUTION_ENTRY)};
#undef DISTRIBUTION_ENTRY
constexpr int functions = sizeof entries / sizeof entries[0];

// The loop of every function: its index travels in the ufunc's data.
void double_loop(char **args, npy_intp const *dimensions, npy_intp const *steps, void *data)
{
    const int function = static_cast<int>(reinterpret_cast<std::intptr_t>(data));
    using distribution::unit_loop;
    constexpr decltype(&unit_loop<distribution::values>) units[] = {
        &unit_loop<distribution::values>, &unit_loop<distribution::gradients>, &unit_loop<distribution::intervals>,
        &unit_loop<distribution::hessians>};
    units[entries[function].unit](function, args, dimensions, steps);
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

PyModuleDef moduledef = distribution::module_definition(
    "accurate", "The accurate family of the polynomially adjusted logistic distribution as NumPy\n"
                "generalized ufuncs: values, logarithms, quantiles, gradients, interval\n"
                "probabilities and moments, accurate to a few units in the last place; and the\n"
                "log-likelihood of the location-scale model on them, its gradient and Hessian.");


// ------------------------------------------------- the location-scale likelihood
#define DISTRIBUTION_DATA_ARGUMENTS "lo, hi, X, idx_lo, idx_hi, Z, exact, beta, g, p"
#define DISTRIBUTION_DATA_DOC                                                                                   \
    "lo, hi : (n,) the offsets o of each observation's ends (hi unused where exact).\n"                        \
    "X : (n, kx) the design of the finite ends, -X beta[:kx].\n"                                                \
    "idx_lo, idx_hi : (n,) int64, a column of beta that enters the end with coefficient 1, or -1.\n"           \
    "Z : (n, kg) the design of the log-scale.\n"                                                                \
    "exact : (n,) bool, observed exactly at lo.\n"                                                              \
    "beta, g, p : (S, kb), (S, kg), (S, m) the points, kb >= kx, m from 1 to 6.\n"                             \
    "weights : (n,) or None (1).\n"                                                                             \
    "truncation : None or (t_lo, t_hi), each (n,): the term less log P(z(t_lo) < e <= z(t_hi)),\n"            \
    "    those ends standardised alike with the design -X where finite and no unit column.\n"                  \
    "threads : None or a positive whole number; None: DISTRIBUTION_NUM_THREADS, else the cores\n"              \
    "    the process may run on.  The results are the same for any number of threads.\n"

const char sums_doc[] =
    "_location_scale_sums(" DISTRIBUTION_DATA_ARGUMENTS ", *, weights=None, want=2, truncation=None, threads=None)\n"
    "--\n\n"
    "The weighted log-likelihood of the location-scale model with its gradient and Hessian.\n\n"
    "At S points, as want (0, 1, 2) asks: (value (S,), grad (S, k), hess (S, k, k)) in\n"
    "(beta, g, p), k = kb + kg + m, zeros where not asked for.  Each end of observation i is\n"
    "z = (o + D beta) exp(-Z_i g), D = -X_i where the end is finite, plus 1 at its unit\n"
    "column; its term is log P(z_lo < e <= z_hi; p), or log pdf(z_lo; p) - Z_i g where\n"
    "exact.  A point whose value is NaN has a NaN gradient and Hessian.\n\n" DISTRIBUTION_DATA_DOC;

const char terms_doc[] =
    "_location_scale_terms(" DISTRIBUTION_DATA_ARGUMENTS ", *, weights=None, truncation=None, threads=None)\n"
    "--\n\n"
    "Each observation's weighted log-likelihood in the location-scale model.\n\n"
    "At each of S points: (S, n), the terms whose sum _location_scale_sums gives.\n\n" DISTRIBUTION_DATA_DOC;

const char scores_doc[] =
    "_location_scale_scores(" DISTRIBUTION_DATA_ARGUMENTS ", *, truncation=None, threads=None)\n"
    "--\n\n"
    "Each observation's gradient of its log-likelihood in the location-scale model.\n\n"
    "Unweighted, in (beta, g, p) at one point (S = 1): (n, k).\n\n" DISTRIBUTION_DATA_DOC;

// The data, points and threads of a call; false with an exception set.
bool prepare(distribution::arguments::Call &call, PyObject *const *o, PyObject *weights, PyObject *truncation,
             PyObject *threads)
{
    using namespace distribution::arguments;
    return observations(call, o, weights, truncation) && points(call, o + 7) && thread_count(threads, call.threads);
}

PyObject *sums(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "g", "p",
                                     "weights", "want", "truncation", "threads", nullptr};
    PyObject *o[10], *weights = Py_None, *truncation = Py_None, *threads = Py_None;
    int want = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO|$OiOO:_location_scale_sums", const_cast<char **>(keywords),
                                     &o[0], &o[1], &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &weights,
                                     &want, &truncation, &threads))
        return nullptr;
    if (want < 0 || want > 2)
        return PyErr_Format(PyExc_ValueError, "want must be 0 (value), 1 (gradient) or 2 (Hessian), got %d", want);
    distribution::arguments::Call call;
    if (!prepare(call, o, weights, truncation, threads))
        return nullptr;
    const npy_intp S = static_cast<npy_intp>(call.points.S), k = static_cast<npy_intp>(parameters(call.obs, call.points));
    using distribution::arguments::zeros;
    PyObject *value = zeros({S}), *grad = zeros({S, k}), *hess = zeros({S, k, k});
    PyObject *out = value && grad && hess ? PyTuple_Pack(3, value, grad, hess) : nullptr;
    Py_XDECREF(value);
    Py_XDECREF(grad);
    Py_XDECREF(hess);
    if (out == nullptr)
        return nullptr;
    distribution::Request request;
    request.want = static_cast<distribution::Want>(want);
    request.value = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(value)));
    request.grad = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(grad)));
    request.hess = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(hess)));
    if (!distribution::arguments::run(call, request))
        Py_CLEAR(out);
    return out;
}

// terms (S, n) or scores (n, k) of a call.
PyObject *per_observation(PyObject *args, PyObject *kwargs, bool scores)
{
    static const char *with_weights[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "g", "p",
                                         "weights", "truncation", "threads", nullptr};
    static const char *without[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "g", "p",
                                    "truncation", "threads", nullptr};
    PyObject *o[10], *weights = Py_None, *truncation = Py_None, *threads = Py_None;
    const bool parsed = scores ? PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO|$OO:_location_scale_scores",
                                                            const_cast<char **>(without), &o[0], &o[1], &o[2], &o[3],
                                                            &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &truncation, &threads)
                               : PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOO|$OOO:_location_scale_terms",
                                                            const_cast<char **>(with_weights), &o[0], &o[1], &o[2], &o[3],
                                                            &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &weights,
                                                            &truncation, &threads);
    distribution::arguments::Call call;
    if (!parsed || !prepare(call, o, weights, truncation, threads))
        return nullptr;
    if (scores && call.points.S != 1)
        return PyErr_Format(PyExc_ValueError, "the scores are at one point: beta must have 1 row, got %zd",
                            static_cast<Py_ssize_t>(call.points.S));
    const npy_intp n = static_cast<npy_intp>(call.obs.n);
    PyObject *out = scores ? distribution::arguments::zeros({n, static_cast<npy_intp>(parameters(call.obs, call.points))})
                           : distribution::arguments::zeros({static_cast<npy_intp>(call.points.S), n});
    if (out == nullptr)
        return nullptr;
    distribution::Request request;
    request.kind = scores ? distribution::Request::scores : distribution::Request::terms;
    request.want = scores ? distribution::with_gradient : distribution::value_only;
    request.out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out)));
    if (!distribution::arguments::run(call, request))
        Py_CLEAR(out);
    return out;
}

PyObject *terms(PyObject *, PyObject *args, PyObject *kwargs) { return per_observation(args, kwargs, false); }
PyObject *scores(PyObject *, PyObject *args, PyObject *kwargs) { return per_observation(args, kwargs, true); }

// ------------------------------------------------- the search's linear algebra
const char eigen_doc[] =
    "_symmetric_eigen(H)\n"
    "--\n\n"
    "The eigenvalues and eigenvectors of S symmetric matrices, on the calling thread.\n\n"
    "H : (S, k, k), its lower triangles read.  Returns (w (S, k), V (S, k, k)), w ascending and\n"
    "V's columns the unit eigenvectors, as numpy.linalg.eigh; NaN for a matrix that is not\n"
    "finite.  Eigen's tridiagonal QR, not LAPACK's: the Newton steps of a fit then cost the\n"
    "same and have the same bits however many threads BLAS would use (on a busy machine\n"
    "its threads, spinning for each small matrix, made a 103 x 103 step 20 times slower).\n";

// One matrix, row-major h (k x k) -> w (k), v (k x k, row-major, columns the vectors).
void one_eigen(const double *h, npy_intp k, double *w, double *v)
{
    using Rows = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    const Eigen::Map<const Rows> H(h, k, k);
    Eigen::Map<Rows> V(v, k, k);
    Eigen::Map<Eigen::VectorXd> W(w, k);
    if (!H.allFinite()) {
        W.setConstant(std::numeric_limits<double>::quiet_NaN());
        V.setConstant(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(H, Eigen::ComputeEigenvectors);
    W = solver.eigenvalues();
    V = solver.eigenvectors();
}

PyObject *symmetric_eigen(PyObject *, PyObject *arg)
{
    auto *H = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(arg, NPY_DOUBLE, 3, 3, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (H == nullptr)
        return nullptr;
    const npy_intp S = PyArray_DIM(H, 0), k = PyArray_DIM(H, 1);
    if (PyArray_DIM(H, 2) != k) {
        Py_DECREF(H);
        return PyErr_Format(PyExc_ValueError, "H must be (S, k, k): got (%zd, %zd, %zd)", static_cast<Py_ssize_t>(S),
                            static_cast<Py_ssize_t>(k), static_cast<Py_ssize_t>(PyArray_DIM(H, 2)));
    }
    PyObject *w = distribution::arguments::zeros({S, k}), *V = distribution::arguments::zeros({S, k, k});
    if (w == nullptr || V == nullptr) {
        Py_DECREF(H);
        Py_XDECREF(w);
        Py_XDECREF(V);
        return nullptr;
    }
    const double *h = static_cast<const double *>(PyArray_DATA(H));
    double *wd = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(w)));
    double *vd = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(V)));
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        for (npy_intp s = 0; s < S && k > 0; ++s)
            one_eigen(h + s * k * k, k, wd + s * k, vd + s * k * k);
    } catch (const std::bad_alloc &) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(H);
    if (failed) {
        Py_DECREF(w);
        Py_DECREF(V);
        return PyErr_NoMemory();
    }
    return Py_BuildValue("(NN)", w, V);
}

const char newton_doc[] =
    "_newton_steps(H, g, floor)\n"
    "--\n\n"
    "The shifted Newton steps of S symmetric matrices, on the calling thread.\n\n"
    "H : (S, k, k), its lower triangles read; g : (S, k).  Returns (step (S, k), definite (S,)):\n"
    "step_s = -(H_s + lambda I)^-1 g_s and whether H_s is positive definite, its least eigenvalue\n"
    "w_0 above 1e-12 of the largest magnitude top (NaN and False where H_s or g_s is not finite).\n"
    "lambda is 0 where w_0 >= floor top, floor top - w_0 where 0 <= w_0 < floor top, and\n"
    "2 |w_0| + floor top where w_0 < 0 (negative curvature mirrored).  Where H_s - floor |H_s|_inf I\n"
    "has a Cholesky factor (|H|_inf bounds the eigenvalues), lambda is 0 and H_s's own factor\n"
    "solves: k^3 / 3 operations twice.  Elsewhere its eigenvalues alone (a tridiagonal QR without\n"
    "vectors) give lambda, and the factor of H_s + lambda I solves.\n";

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// -A^-1 g into d where A has a Cholesky factor; whether it had.
bool cholesky_solve(const Eigen::MatrixXd &A, const Eigen::Map<const Eigen::VectorXd> &g,
                    Eigen::Map<Eigen::VectorXd> &d)
{
    const Eigen::LLT<Eigen::MatrixXd> factor(A);
    if (factor.info() != Eigen::Success)
        return false;
    d = -factor.solve(g);
    return d.allFinite();
}

// One matrix, row-major h (k x k), g (k) -> step (k); whether H is positive definite.
bool one_newton_step(const double *h, const double *g, npy_intp k, double floor, double *step)
{
    const Eigen::Map<const RowMatrix> H(h, k, k);
    const Eigen::Map<const Eigen::VectorXd> G(g, k);
    Eigen::Map<Eigen::VectorXd> D(step, k);
    D.setConstant(std::numeric_limits<double>::quiet_NaN());
    // LLT fails on a pivot <= 0, not on NaN.
    if (!H.allFinite() || !G.allFinite())
        return false;
    Eigen::MatrixXd A = H;
    A.diagonal().array() -= floor * H.cwiseAbs().rowwise().sum().maxCoeff();
    // Certified: the least eigenvalue exceeds floor times the largest, so H
    // is positive definite (for floor >= 1e-12) and needs no shift.
    if (floor >= 1e-12 && Eigen::LLT<Eigen::MatrixXd>(A).info() == Eigen::Success && cholesky_solve(H, G, D))
        return true;
    const Eigen::VectorXd w = Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd>(H, Eigen::EigenvaluesOnly).eigenvalues();
    const double top = std::max(w.cwiseAbs().maxCoeff(), 1e-300);
    // Negative curvature is mirrored: the least eigenvalue becomes |w_0| (and
    // the floor), so that the step along its direction is as long as on a
    // quadratic of that curvature.  Lifted to the floor alone, it would be
    // |w_0| / (floor top) times longer, far beyond any step a line search
    // would keep.
    const double shift = w(0) < 0 ? -2.0 * w(0) + floor * top : std::max(floor * top - w(0), 0.0);
    A = H;
    A.diagonal().array() += shift;
    if (!cholesky_solve(A, G, D)) {
        // Rounding left H + lambda I without a factor: its eigenvectors solve.
        const Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(H, Eigen::ComputeEigenvectors);
        const Eigen::MatrixXd &V = solver.eigenvectors();
        D = -V * ((V.transpose() * G).array() / (solver.eigenvalues().array() + shift)).matrix();
    }
    return w(0) > 1e-12 * top;
}

PyObject *newton_steps(PyObject *, PyObject *args)
{
    PyObject *h_arg, *g_arg;
    double floor;
    if (!PyArg_ParseTuple(args, "OOd:_newton_steps", &h_arg, &g_arg, &floor))
        return nullptr;
    auto *H = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(h_arg, NPY_DOUBLE, 3, 3, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (H == nullptr)
        return nullptr;
    auto *G = reinterpret_cast<PyArrayObject *>(
        PyArray_FROMANY(g_arg, NPY_DOUBLE, 2, 2, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    if (G == nullptr) {
        Py_DECREF(H);
        return nullptr;
    }
    const npy_intp S = PyArray_DIM(H, 0), k = PyArray_DIM(H, 1);
    if (PyArray_DIM(H, 2) != k || PyArray_DIM(G, 0) != S || PyArray_DIM(G, 1) != k) {
        PyErr_Format(PyExc_ValueError, "H must be (S, k, k) and g (S, k): got (%zd, %zd, %zd) and (%zd, %zd)",
                     static_cast<Py_ssize_t>(S), static_cast<Py_ssize_t>(k),
                     static_cast<Py_ssize_t>(PyArray_DIM(H, 2)), static_cast<Py_ssize_t>(PyArray_DIM(G, 0)),
                     static_cast<Py_ssize_t>(PyArray_DIM(G, 1)));
        Py_DECREF(H);
        Py_DECREF(G);
        return nullptr;
    }
    PyObject *step = distribution::arguments::zeros({S, k});
    PyObject *definite = PyArray_ZEROS(1, const_cast<npy_intp *>(&S), NPY_BOOL, 0);
    if (step == nullptr || definite == nullptr) {
        Py_DECREF(H);
        Py_DECREF(G);
        Py_XDECREF(step);
        Py_XDECREF(definite);
        return nullptr;
    }
    const double *h = static_cast<const double *>(PyArray_DATA(H));
    const double *g = static_cast<const double *>(PyArray_DATA(G));
    double *d = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(step)));
    npy_bool *ok = static_cast<npy_bool *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(definite)));
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        for (npy_intp s = 0; s < S; ++s)
            ok[s] = k == 0 || one_newton_step(h + s * k * k, g + s * k, k, floor, d + s * k);
    } catch (const std::bad_alloc &) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(H);
    Py_DECREF(G);
    if (failed) {
        Py_DECREF(step);
        Py_DECREF(definite);
        return PyErr_NoMemory();
    }
    return Py_BuildValue("(NN)", step, definite);
}

PyMethodDef methods[] = {
    {"_symmetric_eigen", &symmetric_eigen, METH_O, eigen_doc},
    {"_newton_steps", &newton_steps, METH_VARARGS, newton_doc},
    {"_location_scale_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sums)),
     METH_VARARGS | METH_KEYWORDS, sums_doc},
    {"_location_scale_terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&terms)),
     METH_VARARGS | METH_KEYWORDS, terms_doc},
    {"_location_scale_scores", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&scores)),
     METH_VARARGS | METH_KEYWORDS, scores_doc},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

PyMODINIT_FUNC PyInit_accurate(void)
{
    return distribution::create_module(&moduledef, [](PyObject *module) {
        if (PyModule_AddFunctions(module, methods) < 0)
            return -1;
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
                                        docstrings[f].c_str(), e.signature) < 0)
                return -1;
        }
        return 0;
    });
}
