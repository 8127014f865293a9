// The calls of the location-scale likelihood from Python: their arguments
// parsed and checked (accurate/arguments.hpp), their outputs allocated, the
// work run on the threads of accurate/likelihood.cpp with the GIL released.
#include "methods.hpp"

#include "arguments.hpp"

namespace {

// The data, points and threads of a call; false with an exception set.
bool prepare(distribution::arguments::Call &call, PyObject *const *o, PyObject *weights, PyObject *truncation,
             PyObject *threads)
{
    using namespace distribution::arguments;
    return observations(call, o, weights, truncation) && points(call, o + 7) && thread_count(threads, call.threads);
}

// terms (S, n) or scores (n, k) of a call.
PyObject *per_observation(PyObject *args, PyObject *kwargs, bool scores)
{
    static const char *with_weights[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "gamma", "p",
                                         "weights", "truncation", "threads", nullptr};
    static const char *without[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "gamma", "p",
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

} // namespace

namespace distribution::methods {

#define DISTRIBUTION_DATA_ARGUMENTS "lo, hi, X, idx_lo, idx_hi, Z, exact, beta, gamma, p"
#define DISTRIBUTION_DATA_DOC                                                                                   \
    "lo, hi : (n,) the offsets o of each observation's ends (hi unused where exact).\n"                        \
    "X : (n, kx) the design of the finite ends, -X beta[:kx].\n"                                                \
    "idx_lo, idx_hi : (n,) int64, a column of beta that enters the end with coefficient 1, or -1.\n"           \
    "Z : (n, kg) the design of the log-scale.\n"                                                                \
    "exact : (n,) bool, observed exactly at lo.\n"                                                              \
    "beta, gamma, p : (S, kb), (S, kg), (S, m) the points, kb >= kx, m from 1 to 6.\n"                         \
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
    "(beta, gamma, p), k = kb + kg + m, zeros where not asked for.  Each end of observation i is\n"
    "z = (o + D beta) exp(-Z_i gamma), D = -X_i where the end is finite, plus 1 at its unit\n"
    "column; its term is log P(z_lo < e <= z_hi; p), or log pdf(z_lo; p) - Z_i gamma where\n"
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
    "Unweighted, in (beta, gamma, p) at one point (S = 1): (n, k).\n\n" DISTRIBUTION_DATA_DOC;

PyObject *location_scale_sums(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"lo", "hi", "X", "idx_lo", "idx_hi", "Z", "exact", "beta", "gamma", "p",
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

PyObject *location_scale_terms(PyObject *, PyObject *args, PyObject *kwargs)
{
    return per_observation(args, kwargs, false);
}
PyObject *location_scale_scores(PyObject *, PyObject *args, PyObject *kwargs)
{
    return per_observation(args, kwargs, true);
}

} // namespace distribution::methods
