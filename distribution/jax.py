"""The accurate family as JAX functions: ``jit``, ``vmap``, ``grad``, ``jacfwd``, ``jacrev``, ``hessian``.

``cdf``, ``sf``, ``logcdf``, ``logsf``, ``pdf``, ``logpdf``, ``ppf`` and ``isf`` take
``(x, loc, scale, coefficients)``; ``log_probability_between`` takes
``(lower, upper, loc, scale, coefficients)``. ``x`` (``lower``, ``upper``) may have any shape, ``loc``
and ``scale`` are scalars and ``coefficients`` a vector of 1 to 6 (batches go through ``jax.vmap``).
Values and first derivatives are those of ``distribution.accurate``'s gufuncs, bit for bit, called
on the host through ``jax.pure_callback``. Second derivatives exist for ``logpdf`` and
``log_probability_between`` (from the compiled Hessians); the others have first derivatives only.
Everything is float64: with ``jax_enable_x64`` off a call raises RuntimeError.
"""

try:
    import jax
    import jax.numpy as jnp
except ImportError as err:  # pragma: no cover - exercised where JAX is absent
    raise ImportError('distribution.jax needs JAX: pip install "distribution[jax]"') from err

import numpy as np

from . import accurate

__all__ = ["cdf", "isf", "log_probability_between", "logcdf", "logpdf", "logsf", "pdf", "ppf", "sf"]

_F64 = np.dtype(np.float64)


# ---------------------------------------------------------------- checks

def _require_x64(name):
    # jnp.float64 silently becomes float32 without x64; refuse rather than round the library's
    # float64 values. canonicalize_dtype also sees a local x64 context (jax.enable_x64).
    if jax.dtypes.canonicalize_dtype(jnp.float64) != _F64:
        raise RuntimeError(
            f"distribution.jax.{name} needs float64: call jax.config.update('jax_enable_x64', True) "
            "before using it")


def _as_float(name, argname, value):
    value = jnp.asarray(value)
    if not (jnp.issubdtype(value.dtype, jnp.floating) or jnp.issubdtype(value.dtype, jnp.integer)
            or value.dtype == jnp.bool_):
        raise TypeError(f"distribution.jax.{name}: {argname} must be real numbers, got dtype {value.dtype}")
    return value.astype(jnp.float64)


def _check_scalar(name, argname, value):
    if value.ndim != 0:
        raise ValueError(f"distribution.jax.{name}: {argname} must be a scalar, got shape {value.shape}; "
                         "map batches with jax.vmap")


def _check_coefficients(name, c):
    if c.ndim != 1 or not 1 <= c.shape[0] <= 6:
        raise ValueError(f"distribution.jax.{name}: coefficients must be a vector of 1 to 6 numbers, "
                         f"got shape {c.shape}; map batches with jax.vmap")


# ---------------------------------------------------------------- host calls

_HOST = {}


def _host_function(ufunc, k):
    # One Python function per kernel: a fresh closure per call would defeat JAX's compilation
    # cache (the callback is part of the compiled program's key), recompiling every eager call.
    if (ufunc, k) not in _HOST:
        def call(points, theta):
            points = np.asarray(points, dtype=np.float64)
            theta = np.asarray(theta, dtype=np.float64)
            ends = [points[..., i, :] for i in range(k)]
            out = ufunc(*ends, theta[..., 0], theta[..., 1], theta[..., 2:])
            out = out if isinstance(out, tuple) else (out,)
            return tuple(np.ascontiguousarray(o, dtype=np.float64) for o in out)
        _HOST[ufunc, k] = call
    return _HOST[ufunc, k]


def _host(ufunc, shapes, *args):
    """ufunc(*ends, loc, s, c) on the host; shapes are the unbatched output shapes.

    The ends travel as one (k, n) array and (loc, s, c) as one vector: each operand of a callback
    costs a transfer of its own, which dominates small calls. Under vmap, "expand_dims" hands the
    gufunc leading batch axes (size 1 where an operand is not batched), which its own
    broadcasting resolves: each point gets the bits it gets alone.
    """
    *ends, loc, s, c = args
    points = jnp.stack(ends)
    theta = jnp.concatenate([loc[None], s[None], c])
    specs = tuple(jax.ShapeDtypeStruct(shape, jnp.float64) for shape in shapes)
    return jax.pure_callback(_host_function(ufunc, len(ends)), specs, points, theta,
                             vmap_method="expand_dims")


def _dot_c(d_c, t_c):
    # (n, m) derivatives against an (m,) tangent: the coefficients' part of a directional derivative.
    return jnp.sum(d_c * t_c, axis=-1)


def _refusing(label, ufunc, shapes):
    """A host call whose own derivative is refused: it marks the highest order the library gives.

    (A bare pure_callback would fail under differentiation with a message about callbacks.)
    """
    @jax.custom_jvp
    def call(*args):
        return _host(ufunc, shapes(*args), *args)

    @call.defjvp
    def _(primals, tangents):
        raise NotImplementedError(f"distribution.jax: {label}")

    return call


_NO_SECOND = ("second derivatives of {} are not available: the library has Hessians of logpdf and "
              "log_probability_between only")
_NO_THIRD = "third derivatives of {} are not available: the library's Hessian is the highest order"


def _point_shapes(k):
    # Outputs of a *_grad kernel on k flat ends: value, a derivative per end, d_loc, d_scale, d_c.
    def shapes(*args):
        n, m = args[0].shape[0], args[-1].shape[0]
        return [(n,)] * (k + 3) + [(n, m)]
    return shapes


# ---------------------------------------------------------------- Hessian tangents
#
# The compiled Hessians hold derivatives in the ends u_i (the point, or the two ends of an
# interval) and the coefficients c only. p is in the units of x, so loc and scale enter through
# z_i = (u_i - loc) / s and through p itself; two invariances give their derivatives exactly in
# terms of the others, at every point, so that differentiating them gives the second ones.
#   Translation: shifting u, loc by h and p to p(t - h) leaves L unchanged, so
#     L_loc = -sum_i L_i + (Dc) . L_c,          (Dc)_k = (k + 1) c_(k+1), the coefficients of p'.
#   Scaling: multiplying u, loc, s by lambda and p to p(t / lambda) adds -log lambda to logpdf
#   (nothing to a probability), so
#     L_s = -sum_i z_i L_i + u_s . L_c [- 1/s],  u_s = (Kc - loc Dc) / s,  (Kc)_k = k c_k.
# Differentiating these in u_j, c, loc and s gives every second derivative from L_i, L_c, the
# Hessian's H_ij = L_ij, P_i = L_ic and Q = L_cc. An infinite end has no derivatives (all 0), so
# its z counts as 0 rather than inf * 0.

def _hessian_tangents(loc, s, c, z, t_u, t_loc, t_s, t_c, L, L_c, H, P, Q, log_scale):
    k = len(L)
    idx = jnp.arange(c.shape[0], dtype=jnp.float64)
    Dc = jnp.concatenate([c[1:] * idx[1:], jnp.zeros(1)])
    us = (idx * c - loc * Dc) / s

    def DT(v):  # D^T v: (D^T v)_j = j v_(j-1)
        return jnp.concatenate([jnp.zeros(v.shape[:-1] + (1,)), v[..., :-1] * idx[1:]], axis=-1)

    def dot(v, w):
        return jnp.sum(v * w, axis=-1)

    def Qdot(w):
        return jnp.sum(Q * w, axis=-1)

    z = [jnp.where(jnp.isfinite(zi), zi, 0.0) for zi in z]
    # Mixed derivatives with loc and with s, of each end's derivative and of L_c.
    x_loc = [-sum(H[i][j] for i in range(k)) + dot(P[j], Dc) for j in range(k)]
    c_loc = -sum(P) + DT(L_c) + Qdot(Dc)
    x_s = [-L[j] / s - sum(z[i] * H[i][j] for i in range(k)) + dot(P[j], us) for j in range(k)]
    c_s = -sum(z[i][..., None] * P[i] for i in range(k)) + (idx * L_c - loc * DT(L_c)) / s + Qdot(us)
    loc_loc = -sum(x_loc) + dot(c_loc, Dc)
    loc_s = sum(L) / s - sum(z[i] * x_loc[i] for i in range(k)) + dot(c_loc, us) - dot(L_c, Dc) / s
    s_s = (sum(z[i] * L[i] for i in range(k)) / s - sum(z[i] * x_s[i] for i in range(k)) + dot(c_s, us)
           - dot(L_c, us) / s)
    if log_scale:
        s_s = s_s + 1.0 / (s * s)
    t_L = [sum(H[i][j] * t_u[i] for i in range(k)) + x_loc[j] * t_loc + x_s[j] * t_s + dot(P[j], t_c)
           for j in range(k)]
    t_Lc = sum(P[i] * t_u[i][..., None] for i in range(k)) + c_loc * t_loc + c_s * t_s + Qdot(t_c)
    t_Lloc = sum(x_loc[i] * t_u[i] for i in range(k)) + loc_loc * t_loc + loc_s * t_s + dot(c_loc, t_c)
    t_Ls = sum(x_s[i] * t_u[i] for i in range(k)) + loc_s * t_loc + s_s * t_s + dot(c_s, t_c)
    return t_L, t_Lloc, t_Ls, t_Lc


# ---------------------------------------------------------------- functions of a point

def _point_function(name):
    """name(x, loc, s, c) on flat x of shape (n,), differentiable through name_grad (and logpdf_hess)."""
    value_ufunc = getattr(accurate, name)
    grad_ufunc = getattr(accurate, name + "_grad")

    @jax.custom_jvp
    def value(x, loc, s, c):
        return _host(value_ufunc, [x.shape], x, loc, s, c)[0]

    # Value and gradient (value, d_x, d_loc, d_scale, d_c) from the fused kernel; its own
    # derivative is the Hessian's, or refused.
    if name != "logpdf":
        with_gradient = _refusing(_NO_SECOND.format(name), grad_ufunc, _point_shapes(1))
    else:
        hessian = _refusing(_NO_THIRD.format(name), accurate.logpdf_hess,
                            lambda x, loc, s, c: [x.shape] * 3 + [(x.shape[0], c.shape[0])] * 2
                            + [(x.shape[0], c.shape[0], c.shape[0])])

        @jax.custom_jvp
        def with_gradient(x, loc, s, c):
            return _host(grad_ufunc, _point_shapes(1)(x, loc, s, c), x, loc, s, c)

        @with_gradient.defjvp
        def _(primals, tangents):
            x, loc, s, c = primals
            t_x, t_loc, t_s, t_c = tangents
            out = with_gradient(x, loc, s, c)
            _, d_x, d_loc, d_s, d_c = out
            _, _, d_xx, _, d_xc, d_cc = hessian(x, loc, s, c)
            t_v = d_x * t_x + d_loc * t_loc + d_s * t_s + _dot_c(d_c, t_c)
            (t_dx,), t_dloc, t_ds, t_dc = _hessian_tangents(
                loc, s, c, [(x - loc) / s], [t_x], t_loc, t_s, t_c, [d_x], d_c, [[d_xx]], [d_xc], d_cc,
                log_scale=True)
            return out, (t_v, t_dx, t_dloc, t_ds, t_dc)

    @value.defjvp
    def _(primals, tangents):
        v, d_x, d_loc, d_s, d_c = with_gradient(*primals)
        t_x, t_loc, t_s, t_c = tangents
        return v, d_x * t_x + d_loc * t_loc + d_s * t_s + _dot_c(d_c, t_c)

    return value


def _quantile_function(name, forward):
    """ppf / isf: the compiled inverse; derivatives by the implicit function theorem.

    forward(x) = q at x = ppf(q) (forward is cdf, or sf for isf), so t_x = (t_q - dF/dtheta .
    t_theta) / (dF/dx), from the compiled gradient of forward at the quantile.
    """
    value_ufunc = getattr(accurate, name)
    forward_gradient = _refusing(_NO_SECOND.format(name), getattr(accurate, forward + "_grad"),
                                 _point_shapes(1))

    @jax.custom_jvp
    def value(q, loc, s, c):
        return _host(value_ufunc, [q.shape], q, loc, s, c)[0]

    @value.defjvp
    def _(primals, tangents):
        q, loc, s, c = primals
        t_q, t_loc, t_s, t_c = tangents
        x = value(q, loc, s, c)
        _, d_x, d_loc, d_s, d_c = forward_gradient(x, loc, s, c)
        return x, (t_q - d_loc * t_loc - d_s * t_s - _dot_c(d_c, t_c)) / d_x

    return value


# ---------------------------------------------------------------- the interval

@jax.custom_jvp
def _between_value(a, b, loc, s, c):
    return _host(accurate.log_probability_between, [a.shape], a, b, loc, s, c)[0]


@jax.custom_jvp
def _between_gradient(a, b, loc, s, c):
    return _host(accurate.log_probability_between_grad, _point_shapes(2)(a, b, loc, s, c), a, b, loc, s, c)


_between_hessian = _refusing(_NO_THIRD.format("log_probability_between"), accurate.log_probability_between_hess,
                             lambda a, b, loc, s, c: [a.shape] * 6 + [(a.shape[0], c.shape[0])] * 3
                             + [(a.shape[0], c.shape[0], c.shape[0])])


@_between_value.defjvp
def _(primals, tangents):
    v, d_a, d_b, d_loc, d_s, d_c = _between_gradient(*primals)
    t_a, t_b, t_loc, t_s, t_c = tangents
    return v, d_a * t_a + d_b * t_b + d_loc * t_loc + d_s * t_s + _dot_c(d_c, t_c)


@_between_gradient.defjvp
def _(primals, tangents):
    a, b, loc, s, c = primals
    t_a, t_b, t_loc, t_s, t_c = tangents
    out = _between_gradient(a, b, loc, s, c)
    _, d_a, d_b, d_loc, d_s, d_c = out
    _, _, _, d_aa, d_ab, d_bb, _, d_ac, d_bc, d_cc = _between_hessian(a, b, loc, s, c)
    t_v = d_a * t_a + d_b * t_b + d_loc * t_loc + d_s * t_s + _dot_c(d_c, t_c)
    (t_da, t_db), t_dloc, t_ds, t_dc = _hessian_tangents(
        loc, s, c, [(a - loc) / s, (b - loc) / s], [t_a, t_b], t_loc, t_s, t_c,
        [d_a, d_b], d_c, [[d_aa, d_ab], [d_ab, d_bb]], [d_ac, d_bc], d_cc, log_scale=False)
    return out, (t_v, t_da, t_db, t_dloc, t_ds, t_dc)


# ---------------------------------------------------------------- public functions

_POINT = {name: _point_function(name) for name in ("cdf", "sf", "logcdf", "logsf", "pdf", "logpdf")}
_QUANTILE = {"ppf": _quantile_function("ppf", "cdf"), "isf": _quantile_function("isf", "sf")}


def _prepare(name, points, loc, scale, coefficients):
    _require_x64(name)
    points = [_as_float(name, argname, v) for argname, v in points]
    loc = _as_float(name, "loc", loc)
    scale = _as_float(name, "scale", scale)
    coefficients = _as_float(name, "coefficients", coefficients)
    _check_scalar(name, "loc", loc)
    _check_scalar(name, "scale", scale)
    _check_coefficients(name, coefficients)
    return points, loc, scale, coefficients


def _public(name, kernel, argname, doc):
    def function(x, loc, scale, coefficients):
        (x,), loc, scale, coefficients = _prepare(name, [(argname, x)], loc, scale, coefficients)
        return kernel(x.reshape(-1), loc, scale, coefficients).reshape(x.shape)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = doc
    # Compiled once per shape (the checks run while tracing): an eager call would otherwise
    # dispatch each small operation on its own.
    return jax.jit(function)


_ORDER2 = "Differentiable to second order (from the compiled Hessian)."
_ORDER1 = "Differentiable to first order; a second derivative raises NotImplementedError."
cdf = _public("cdf", _POINT["cdf"], "x", f"Distribution function, accurate.cdf. {_ORDER1}")
sf = _public("sf", _POINT["sf"], "x", f"Survival function, accurate.sf. {_ORDER1}")
logcdf = _public("logcdf", _POINT["logcdf"], "x", f"Logarithm of the distribution function. {_ORDER1}")
logsf = _public("logsf", _POINT["logsf"], "x", f"Logarithm of the survival function. {_ORDER1}")
pdf = _public("pdf", _POINT["pdf"], "x", f"Density, accurate.pdf. {_ORDER1}")
logpdf = _public("logpdf", _POINT["logpdf"], "x", f"Logarithm of the density. {_ORDER2}")
ppf = _public("ppf", _QUANTILE["ppf"], "q", f"Quantile function, accurate.ppf; derivatives through cdf's. {_ORDER1}")
isf = _public("isf", _QUANTILE["isf"], "q", f"Inverse survival function, accurate.isf. {_ORDER1}")


@jax.jit
def log_probability_between(lower, upper, loc, scale, coefficients):
    """Logarithm of P(lower < X <= upper), accurate.log_probability_between. Differentiable to
    second order (from the compiled Hessian); lower and upper broadcast together."""
    name = "log_probability_between"
    (a, b), loc, scale, coefficients = _prepare(name, [("lower", lower), ("upper", upper)],
                                               loc, scale, coefficients)
    try:
        shape = jnp.broadcast_shapes(a.shape, b.shape)
    except ValueError:
        raise ValueError(f"distribution.jax.{name}: lower and upper must broadcast together, "
                         f"got shapes {a.shape} and {b.shape}") from None
    a = jnp.broadcast_to(a, shape).reshape(-1)
    b = jnp.broadcast_to(b, shape).reshape(-1)
    return _between_value(a, b, loc, scale, coefficients).reshape(shape)
