// The linear algebra of the search's Newton steps, with Eigen on the calling
// thread: the same cost and the same bits however many threads BLAS would
// use.
#include "methods.hpp"

#include "arguments.hpp"

// Eigen's triangular products trip GCC's maybe-uninitialized analysis
// (a false positive, in its headers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#pragma GCC diagnostic pop

#include <algorithm>
#include <limits>
#include <new>

namespace {

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

} // namespace

namespace distribution::methods {

const char eigen_doc[] =
    "_symmetric_eigen(H)\n"
    "--\n\n"
    "The eigenvalues and eigenvectors of S symmetric matrices, on the calling thread.\n\n"
    "H : (S, k, k), its lower triangles read.  Returns (w (S, k), V (S, k, k)), w ascending and\n"
    "V's columns the unit eigenvectors, as numpy.linalg.eigh; NaN for a matrix that is not\n"
    "finite.  Eigen's tridiagonal QR, not LAPACK's: the Newton steps of a fit then cost the\n"
    "same and have the same bits however many threads BLAS would use (on a busy machine\n"
    "its threads, spinning for each small matrix, made a 103 x 103 step 20 times slower).\n";

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

} // namespace distribution::methods
