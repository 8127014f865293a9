// The module functions of the location-scale likelihood (observations.hpp,
// likelihood.cpp): their arguments from Python, checked and converted to
// C-contiguous arrays, the outputs allocated, the call made without the
// interpreter lock.  Every bad argument raises a TypeError or ValueError
// that names it (and the first bad row).
#ifndef DISTRIBUTION_ACCURATE_ARGUMENTS_HPP
#define DISTRIBUTION_ACCURATE_ARGUMENTS_HPP

#include "../simd/module.hpp"
#include "observations.hpp"

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>
#include <vector>

namespace distribution {
namespace arguments {

// Arrays converted for a call, released with it.
struct Held {
    std::vector<PyObject *> objects;
    ~Held()
    {
        for (PyObject *o : objects)
            Py_XDECREF(o);
    }
    PyArrayObject *keep(PyObject *o)
    {
        objects.push_back(o);
        return reinterpret_cast<PyArrayObject *>(o);
    }
};

// obj as a C-contiguous array of `type` (cast safely) with `ndim`
// dimensions; null with a TypeError or ValueError naming it.
inline PyArrayObject *array(Held &held, PyObject *obj, int type, int ndim, const char *name)
{
    const char *kind = type == NPY_DOUBLE ? "real numbers" : type == NPY_BOOL ? "booleans" : "whole numbers";
    PyObject *converted = PyArray_FROM_OTF(obj, type, NPY_ARRAY_IN_ARRAY);
    if (converted == nullptr) {
        PyErr_Clear();
        if (PyArray_Check(obj))
            PyErr_Format(PyExc_TypeError, "%s must be an array of %s, got one of dtype %R", name, kind,
                         reinterpret_cast<PyObject *>(PyArray_DESCR(reinterpret_cast<PyArrayObject *>(obj))));
        else
            PyErr_Format(PyExc_TypeError, "%s must be an array of %s, got %s", name, kind, Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    PyArrayObject *a = held.keep(converted);
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_ValueError, "%s must have %d dimension%s, got %d", name, ndim, ndim == 1 ? "" : "s",
                     PyArray_NDIM(a));
        return nullptr;
    }
    return a;
}

inline Py_ssize_t dim(PyArrayObject *a, int axis) { return static_cast<Py_ssize_t>(PyArray_DIM(a, axis)); }

// The length of axis `axis` of `name` must be `want` (that of `of`).
inline bool check_length(PyArrayObject *a, int axis, Py_ssize_t want, const char *name, const char *of)
{
    if (dim(a, axis) == want)
        return true;
    PyErr_Format(PyExc_ValueError, "%s must have %zd %s (as %s), got %zd", name, want,
                 axis == 0 ? "rows" : "columns", of, dim(a, axis));
    return false;
}

// Unit columns: -1 (none) or a column of beta.
inline bool check_columns(PyArrayObject *a, std::size_t kb, const char *name)
{
    const auto *idx = static_cast<const std::int64_t *>(PyArray_DATA(a));
    for (npy_intp i = 0; i < PyArray_DIM(a, 0); ++i)
        if (idx[i] < -1 || idx[i] >= static_cast<std::int64_t>(kb)) {
            PyErr_Format(PyExc_ValueError, "%s must hold -1 (no unit column) or a column of beta, 0 to %zd: row %zd holds %lld",
                         name, static_cast<Py_ssize_t>(kb) - 1, static_cast<Py_ssize_t>(i),
                         static_cast<long long>(idx[i]));
            return false;
        }
    return true;
}

// The threads: the argument, else DISTRIBUTION_NUM_THREADS, else the cores
// this process may run on.
inline bool thread_count(PyObject *threads, unsigned &count)
{
    if (threads != Py_None) {
        PyObject *index = PyIndex_Check(threads) ? PyNumber_Index(threads) : nullptr;
        const long t = index ? PyLong_AsLong(index) : -1;
        Py_XDECREF(index);
        if (t < 1 || PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "threads must be a positive whole number or None, got %R", threads);
            return false;
        }
        count = static_cast<unsigned>(std::min(t, 4096L));
        return true;
    }
    const char *env = std::getenv("DISTRIBUTION_NUM_THREADS");
    if (env != nullptr && *env != '\0') {
        char *end = nullptr;
        const long t = std::strtol(env, &end, 10);
        if (*end != '\0' || t < 1) {
            PyErr_Format(PyExc_ValueError, "DISTRIBUTION_NUM_THREADS must be a positive whole number, got '%s'", env);
            return false;
        }
        count = static_cast<unsigned>(std::min(t, 4096L));
        return true;
    }
    count = available_cores();
    return true;
}


// The data and points of a call, checked: the shapes agree, p has 1 to 6
// coefficients, the unit columns are columns of beta.
struct Call {
    Held held;
    Observations obs;
    Points points;
    PyArrayObject *idx[2] = {};
    unsigned threads = 1;
};

inline const double *doubles(PyArrayObject *a) { return static_cast<const double *>(PyArray_DATA(a)); }

inline bool observations(Call &c, PyObject *const *o, PyObject *weights, PyObject *truncation)
{
    PyArrayObject *lo = array(c.held, o[0], NPY_DOUBLE, 1, "lo");
    if (!lo)
        return false;
    const Py_ssize_t n = dim(lo, 0);
    PyArrayObject *hi = array(c.held, o[1], NPY_DOUBLE, 1, "hi");
    PyArrayObject *X = hi ? array(c.held, o[2], NPY_DOUBLE, 2, "X") : nullptr;
    PyArrayObject *idx_lo = X ? array(c.held, o[3], NPY_INT64, 1, "idx_lo") : nullptr;
    PyArrayObject *idx_hi = idx_lo ? array(c.held, o[4], NPY_INT64, 1, "idx_hi") : nullptr;
    PyArrayObject *Z = idx_hi ? array(c.held, o[5], NPY_DOUBLE, 2, "Z") : nullptr;
    PyArrayObject *exact = Z ? array(c.held, o[6], NPY_BOOL, 1, "exact") : nullptr;
    if (!exact || !check_length(hi, 0, n, "hi", "lo") || !check_length(X, 0, n, "X", "lo") ||
        !check_length(idx_lo, 0, n, "idx_lo", "lo") || !check_length(idx_hi, 0, n, "idx_hi", "lo") ||
        !check_length(Z, 0, n, "Z", "lo") || !check_length(exact, 0, n, "exact", "lo"))
        return false;
    Observations &b = c.obs;
    b.n = static_cast<std::size_t>(n);
    b.kx = static_cast<std::size_t>(dim(X, 1));
    b.kg = static_cast<std::size_t>(dim(Z, 1));
    b.lo = doubles(lo);
    b.hi = doubles(hi);
    b.X = doubles(X);
    b.Z = doubles(Z);
    c.idx[0] = idx_lo;
    c.idx[1] = idx_hi;
    b.idx_lo = static_cast<const std::int64_t *>(PyArray_DATA(idx_lo));
    b.idx_hi = static_cast<const std::int64_t *>(PyArray_DATA(idx_hi));
    b.exact = static_cast<const unsigned char *>(PyArray_DATA(exact));
    if (weights != nullptr && weights != Py_None) {
        PyArrayObject *w = array(c.held, weights, NPY_DOUBLE, 1, "weights");
        if (!w || !check_length(w, 0, n, "weights", "lo"))
            return false;
        b.weights = doubles(w);
    }
    if (truncation != nullptr && truncation != Py_None) {
        if (!PyTuple_Check(truncation) || PyTuple_GET_SIZE(truncation) != 2) {
            PyErr_Format(PyExc_TypeError, "truncation must be None or a pair (t_lo, t_hi), got %s",
                         Py_TYPE(truncation)->tp_name);
            return false;
        }
        PyArrayObject *t_lo = array(c.held, PyTuple_GET_ITEM(truncation, 0), NPY_DOUBLE, 1, "truncation[0]");
        PyArrayObject *t_hi = t_lo ? array(c.held, PyTuple_GET_ITEM(truncation, 1), NPY_DOUBLE, 1, "truncation[1]") : nullptr;
        if (!t_hi || !check_length(t_lo, 0, n, "truncation[0]", "lo") || !check_length(t_hi, 0, n, "truncation[1]", "lo"))
            return false;
        b.t_lo = doubles(t_lo);
        b.t_hi = doubles(t_hi);
    }
    return true;
}

inline bool points(Call &c, PyObject *const *o)
{
    PyArrayObject *beta = array(c.held, o[0], NPY_DOUBLE, 2, "beta");
    PyArrayObject *g = beta ? array(c.held, o[1], NPY_DOUBLE, 2, "g") : nullptr;
    PyArrayObject *p = g ? array(c.held, o[2], NPY_DOUBLE, 2, "p") : nullptr;
    if (!p)
        return false;
    const Py_ssize_t S = dim(beta, 0);
    if (!check_length(g, 0, S, "g", "beta") || !check_length(p, 0, S, "p", "beta") ||
        !check_length(g, 1, static_cast<Py_ssize_t>(c.obs.kg), "g", "Z"))
        return false;
    c.obs.kb = static_cast<std::size_t>(dim(beta, 1));
    if (c.obs.kb < c.obs.kx) {
        PyErr_Format(PyExc_ValueError, "beta must have at least the %zd columns of X, got %zd",
                     static_cast<Py_ssize_t>(c.obs.kx), dim(beta, 1));
        return false;
    }
    if (dim(p, 1) < min_coefficients || dim(p, 1) > max_coefficients) {
        PyErr_Format(PyExc_ValueError, "p must have from 1 to 6 coefficients along its last axis, got %zd", dim(p, 1));
        return false;
    }
    c.points.S = static_cast<std::size_t>(S);
    c.points.m = static_cast<std::size_t>(dim(p, 1));
    c.points.beta = doubles(beta);
    c.points.g = doubles(g);
    c.points.p = doubles(p);
    return check_columns(c.idx[0], c.obs.kb, "idx_lo") && check_columns(c.idx[1], c.obs.kb, "idx_hi");
}

// Runs the request without the interpreter lock; false with MemoryError
// where an allocation failed.
inline bool run(Call &c, const Request &request)
{
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        location_scale(c.obs, c.points, request, c.threads);
    } catch (const std::bad_alloc &) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory)
        PyErr_NoMemory();
    return !out_of_memory;
}

inline PyObject *zeros(std::initializer_list<npy_intp> shape)
{
    std::vector<npy_intp> dims(shape);
    return PyArray_ZEROS(static_cast<int>(dims.size()), dims.data(), NPY_DOUBLE, 0);
}

} // namespace arguments
} // namespace distribution

#endif // DISTRIBUTION_ACCURATE_ARGUMENTS_HPP
