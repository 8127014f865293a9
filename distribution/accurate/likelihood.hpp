// The log-likelihood of the location-scale model with adjusted logistic
// noise, its gradient and Hessian in (beta, g, p), the chain rule done lane
// by lane (observations.hpp: the data, the ends' designs and the blocks).
//
// With s_i = exp(Z_i g), the ends z_e = (o_e + D_e beta) / s_i and
//
//     l_i = log P(z_lo < e <= z_hi; p)  or  log pdf(z_lo; p) - Z_i g,
//           less log P(z_tlo < e <= z_thi; p) where it is truncated,
//
// dz/dbeta = D_e / s, dz/dg = -z Z, d2z/dbeta dg = -D_e Z' / s and
// d2z/dg2 = z Z Z' (z read as 0 at an infinite end).  With d_e, H_ef, c_e
// (m) and P (m x m) the derivatives of l in the ends and p (hessian.hpp),
// a_e = -[o_e finite] / s and b_e = -z_e, observation i adds, times w_i,
//
//     gradient:  (sum_e d_e a_e) X,  (sum_e d_e b_e - [exact]) Z,
//                d_e / s at the unit column idx_e,  d_p;
//     Hessian:   X X' sum_ef a_e H_ef a_f,   X Z' (sum_ef a_e H_ef b_f - sum_e d_e a_e),
//                Z Z' (sum_ef b_e H_ef b_f - sum_e d_e b_e),
//                unit e with X: (H a)_e / s, with Z: ((H b)_e - d_e) / s,
//                with unit f: H_ef / s^2, with p: c_e / s;
//                p with X: sum_e a_e c_e, with Z: sum_e b_e c_e;  P.
//
// The dense terms (X, Z, p) accumulate per lane over a block, those of the
// unit columns are added where they belong: nothing of size n x k is
// formed, and an ordered model's cut points cost O(1) per observation.
// The values and derivatives of each observation are those of the
// compiled functions (accurate to about 1e-12 of the largest); the chain
// rule adds roundings of the size of its terms.  Any ends: an infinite one
// has derivative 0, a NaN end makes its term NaN (and its point's sums,
// observations.hpp).  Lanes are independent: an observation's term and
// scores are the same whatever shares its block.
//
// Compiled once per instruction set.
#include "hessian.hpp"
#include "observations.hpp"

#if defined(DISTRIBUTION_ACCURATE_LIKELIHOOD_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_LIKELIHOOD_LANES
#undef DISTRIBUTION_ACCURATE_LIKELIHOOD_LANES
#else
#define DISTRIBUTION_ACCURATE_LIKELIHOOD_LANES
#endif

#include <hwy/highway.h>

#include <cmath>
#include <cstdint>
#include <vector>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace likelihood {
namespace hn = hwy::HWY_NAMESPACE;
using V = hn::Vec<Lanes>;
using M = hn::Mask<Lanes>;
using Rows = Row<Lanes>;
constexpr std::size_t W = Rows::W;

// The observations of a block go through the lanes in three passes: those
// observed exactly, those within bounds, and the truncations (with weight
// -w_i, no unit column).
enum Pass : int { exact, bounds, truncation };

// Where everything sits: k = kb + kg + m parameters; the dense columns
// (X then Z, qd of them) and p; the per-lane sums, `slots` vectors.
struct Layout {
    std::size_t kx, kb, kg, m, k, q, qd, n;
    std::size_t grad, grad_p, dense, dense_p, pp, slots;
    const double *X, *Z;

    Layout(const Observations &obs, const Points &points)
        : kx(obs.kx), kb(obs.kb), kg(obs.kg), m(points.m), k(obs.kb + obs.kg + points.m), q(obs.kb + obs.kg),
          qd(obs.kx + obs.kg), n(obs.n), X(obs.X), Z(obs.Z)
    {
        grad = 1;
        grad_p = grad + qd;
        dense = grad_p + m;
        dense_p = dense + qd * (qd + 1) / 2;
        pp = dense_p + qd * m;
        slots = pp + m * (m + 1) / 2;
    }
    // The parameter of dense column j.
    std::size_t column(std::size_t j) const { return j < kx ? j : kb + (j - kx); }
};

// A block's observations in lanes, each pass padded to whole vectors with
// lanes of weight 0 (row -1, ends -inf and inf, or 0, and a design of
// zeros): their ends' offsets o, unit columns idx, weights w (times -1 for
// a truncation), rows and, column by column, the dense design v (X, Z).
struct Gathered {
    std::size_t capacity, lanes = 0;
    std::size_t begin[3] = {}, end[3] = {};
    bool units = false; // a unit column in the block
    Lines<double> doubles, zeros; // zeros: a row of the padding
    Lines<std::int64_t> integers;
    double *o[2], *w, *valid, *v; // v: qd columns of `capacity`
    std::int64_t *idx[2], *row;

    Gathered(const Layout &at, bool truncated) : capacity((truncated ? 2 : 1) * block_size + 3 * W)
    {
        doubles.resize((4 + at.qd) * capacity);
        zeros.assign(std::max(at.kx, at.kg), 0.0);
        integers.resize(3 * capacity);
        o[0] = doubles.data();
        o[1] = o[0] + capacity;
        w = o[1] + capacity;
        valid = w + capacity;
        v = valid + capacity;
        idx[0] = integers.data();
        idx[1] = idx[0] + capacity;
        row = idx[1] + capacity;
    }

    const double *column(std::size_t j) const { return v + j * capacity; }

#if HWY_TARGET != HWY_SCALAR
    // Entries j .. j + 3 of the rows x[0 .. 3] into four columns at `to`.
    template <class D> static HWY_INLINE void transpose4(D d, const double *const *x, std::size_t j, double *to,
                                                         std::size_t stride)
    {
        const auto r0 = hn::LoadU(d, x[0] + j), r1 = hn::LoadU(d, x[1] + j);
        const auto r2 = hn::LoadU(d, x[2] + j), r3 = hn::LoadU(d, x[3] + j);
        const auto t0 = hn::InterleaveLower(d, r0, r1), t1 = hn::InterleaveUpper(d, r0, r1);
        const auto t2 = hn::InterleaveLower(d, r2, r3), t3 = hn::InterleaveUpper(d, r2, r3);
        hn::StoreU(hn::ConcatLowerLower(d, t2, t0), d, to);
        hn::StoreU(hn::ConcatLowerLower(d, t3, t1), d, to + stride);
        hn::StoreU(hn::ConcatUpperUpper(d, t2, t0), d, to + 2 * stride);
        hn::StoreU(hn::ConcatUpperUpper(d, t3, t1), d, to + 3 * stride);
    }
#endif

    static bool belongs(const Observations &obs, std::size_t i, int pass)
    {
        if (pass == truncation)
            return obs.t_lo != nullptr && !(obs.t_lo[i] == -HUGE_VAL && obs.t_hi[i] == HUGE_VAL);
        return (obs.exact[i] != 0) == (pass == exact);
    }

    // The lanes from..to of a pass, their rows set.
    void fill(const Observations &obs, Pass pass, std::size_t from, std::size_t to, bool weighted)
    {
        const bool cut = pass == truncation;
        const double sign = cut ? -1.0 : 1.0;
        for (std::size_t l = from; l < to; ++l) {
            const std::size_t i = static_cast<std::size_t>(row[l]);
            o[0][l] = cut ? obs.t_lo[i] : obs.lo[i];
            o[1][l] = cut ? obs.t_hi[i] : pass == exact ? obs.lo[i] : obs.hi[i];
            idx[0][l] = cut ? -1 : obs.idx_lo[i];
            idx[1][l] = pass == bounds ? obs.idx_hi[i] : -1;
            units = units || idx[0][l] >= 0 || idx[1][l] >= 0;
            w[l] = weighted && obs.weights ? sign * obs.weights[i] : sign;
            valid[l] = 1.0;
        }
        for (std::size_t l = to; l % W != 0; ++l) {
            o[0][l] = pass == exact ? 0.0 : -HUGE_VAL;
            o[1][l] = pass == exact ? 0.0 : HUGE_VAL;
            idx[0][l] = idx[1][l] = row[l] = -1;
            w[l] = valid[l] = 0.0;
        }
    }

    // The dense design, row by row into its columns (0 in padding): by
    // tiles of 4 x 4 where the vectors have 4 lanes.
    template <std::size_t Width = W> void columns(const Observations &obs)
    {
        const std::size_t kx = obs.kx, kg = obs.kg, stride = capacity;
        for (std::size_t l = 0; l < lanes; l += Width) {
            const double *x[Width], *z[Width];
            for (std::size_t q = 0; q < Width; ++q) {
                const std::int64_t r = row[l + q];
                x[q] = r >= 0 ? obs.X + static_cast<std::size_t>(r) * kx : zeros.data();
                z[q] = r >= 0 ? obs.Z + static_cast<std::size_t>(r) * kg : zeros.data();
            }
            std::size_t j = 0;
#if HWY_TARGET != HWY_SCALAR
            if constexpr (Width == 4)
                for (; j + 4 <= kx; j += 4)
                    transpose4(Lanes(), x, j, v + j * stride + l, stride);
#endif
            for (; j < kx; ++j)
                for (std::size_t q = 0; q < Width; ++q)
                    v[j * stride + l + q] = x[q][j];
            for (j = 0; j < kg; ++j)
                for (std::size_t q = 0; q < Width; ++q)
                    v[(kx + j) * stride + l + q] = z[q][j];
        }
    }

    // Observations first .. last - 1, weighted (or with their signs alone).
    void gather(const Observations &obs, std::size_t first, std::size_t last, bool weighted)
    {
        std::size_t count = 0;
        units = false;
        for (int pass = exact; pass <= truncation; ++pass) {
            begin[pass] = count;
            for (std::size_t i = first; i < last; ++i)
                if (belongs(obs, i, pass))
                    row[count++] = static_cast<std::int64_t>(i);
            fill(obs, Pass(pass), begin[pass], count, weighted);
            count = (count + W - 1) / W * W;
            end[pass] = count;
        }
        lanes = count;
        columns(obs);
    }
};

// The standardised ends of a vector of lanes at one point: z, its finite
// part, a = dz/d(o + D beta) where the design is X, 1/s and log s.
template <std::size_t Ends> struct Standardised {
    V z[Ends], zf[Ends], a[Ends], s_inv, log_scale;
};

template <std::size_t Ends>
HWY_INLINE Standardised<Ends> standardise_ends(const Layout &at, const Gathered &G, const double *beta, const double *g,
                                               std::size_t L)
{
    const Lanes d;
    Standardised<Ends> r;
    V log_scale = hn::Zero(d), xb = hn::Zero(d);
    for (std::size_t j = 0; j < at.kg; ++j)
        log_scale = hn::MulAdd(hn::LoadU(d, G.column(at.kx + j) + L), hn::Set(d, g[j]), log_scale);
    for (std::size_t j = 0; j < at.kx; ++j)
        xb = hn::MulAdd(hn::LoadU(d, G.column(j) + L), hn::Set(d, beta[j]), xb);
    r.log_scale = log_scale;
    // The C library's exp: inf and 0 where exp(-Z g) leaves the range.
    r.s_inv = at.kg ? each_lane(d, hn::Neg(log_scale), [](double x) { return std::exp(x); }) : hn::Set(d, 1.0);
    for (std::size_t e = 0; e < Ends; ++e) {
        HWY_ALIGN double unit[W];
        for (std::size_t l = 0; l < W; ++l) {
            const std::int64_t i = G.idx[e][L + l];
            unit[l] = i >= 0 ? beta[i] : 0.0;
        }
        const V u = hn::Load(d, unit), o = hn::LoadU(d, G.o[e] + L);
        const M finite = hn::IsFinite(o);
        const V z = hn::Mul(hn::Add(o, hn::IfThenElse(finite, hn::Sub(u, xb), u)), r.s_inv);
        r.z[e] = z;
        r.zf[e] = hn::IfThenElseZero(hn::IsFinite(z), z);
        r.a[e] = hn::IfThenElseZero(finite, hn::Neg(r.s_inv));
    }
    return r;
}

// The term and its derivatives in the ends and p at one point (row): of
// log P(z_0 < e <= z_1), or of log pdf(z_0).
template <std::size_t K> struct Derivatives {
    V value, d[2], H[2][2], dp[K], cross[2][K], pp[K][K];
};

template <std::size_t K, int Want, bool Interval>
HWY_NOINLINE void derivatives(const Rows &row, const V *z, Derivatives<K> &r)
{
    const Lanes d;
    if constexpr (Interval) {
        const Between<Lanes, K> b = between<K, (Want > value_only), (Want == with_hessian)>(d, row, z[0], z[1], 0);
        r.value = b.log_P;
        if constexpr (Want > value_only) {
            r.d[0] = b.d_a;
            r.d[1] = b.d_b;
            for (std::size_t j = 0; j < K; ++j)
                r.dp[j] = b.g.param[j];
        }
        if constexpr (Want == with_hessian) {
            const Curvature<Lanes, K> h = between_curvature<K>(d, row, z[0], z[1], b, 0);
            r.H[0][0] = h.aa;
            r.H[0][1] = r.H[1][0] = h.ab;
            r.H[1][1] = h.xx;
            for (std::size_t j = 0; j < K; ++j) {
                r.cross[0][j] = h.ap[j];
                r.cross[1][j] = h.xp[j];
                for (std::size_t i = 0; i < K; ++i)
                    r.pp[j][i] = h.pp[j][i];
            }
        }
    } else {
        const V y = standardise(d, row, z[0], 0);
        r.value = density_at<K>(d, row, z[0], y, 0, true);
        if constexpr (Want > value_only) {
            const Gradient<Lanes, K> g = density_slopes<K, true>(d, row, z[0], y, r.value, 0);
            r.d[0] = g.x;
            for (std::size_t j = 0; j < K; ++j)
                r.dp[j] = g.param[j];
        }
        if constexpr (Want == with_hessian) {
            const Curvature<Lanes, K> h = density_curvature<K>(d, row, z[0], y, 0);
            r.H[0][0] = h.xx;
            for (std::size_t j = 0; j < K; ++j) {
                r.cross[0][j] = h.xp[j];
                for (std::size_t i = 0; i < K; ++i)
                    r.pp[j][i] = h.pp[j][i];
            }
        }
    }
}

// The coefficients of the chain rule (see the top), each times the lane's
// weight, 0 in the padding lanes.
template <std::size_t K> struct Chain {
    V value, gx, gz, gu[2], gp[K];
    V A, B, C, xu[2], zu[2], uu[2][2], xp[K], zp[K], up[2][K], pp[K][K];
};

template <std::size_t K, int Want, std::size_t Ends, bool Exact>
HWY_INLINE void chain(const Standardised<Ends> &s, const Derivatives<K> &r, V w, M valid, std::size_t m, Chain<K> &c)
{
    const Lanes d;
    const auto times_w = [&](V v) { return hn::IfThenElseZero(valid, hn::Mul(w, v)); };
    c.value = times_w(Exact ? hn::Sub(r.value, s.log_scale) : r.value);
    if constexpr (Want == value_only)
        return;
    const V ws = hn::Mul(w, s.s_inv);
    V b[Ends], dx = hn::Zero(d), dz = Exact ? hn::Set(d, -1.0) : hn::Zero(d);
    for (std::size_t e = 0; e < Ends; ++e) {
        b[e] = hn::Neg(s.zf[e]);
        dx = hn::MulAdd(r.d[e], s.a[e], dx);
        dz = hn::MulAdd(r.d[e], b[e], dz);
        c.gu[e] = hn::IfThenElseZero(valid, hn::Mul(ws, r.d[e]));
    }
    c.gx = times_w(dx);
    c.gz = times_w(dz);
    for (std::size_t t = 0; t < m; ++t)
        c.gp[t] = times_w(r.dp[t]);
    if constexpr (Want == with_hessian) {
        V Ha[Ends], Hb[Ends], A = hn::Zero(d), B = hn::Zero(d), C = hn::Zero(d);
        for (std::size_t e = 0; e < Ends; ++e) {
            Ha[e] = hn::Mul(r.H[e][0], s.a[0]);
            Hb[e] = hn::Mul(r.H[e][0], b[0]);
            for (std::size_t f = 1; f < Ends; ++f) {
                Ha[e] = hn::MulAdd(r.H[e][f], s.a[f], Ha[e]);
                Hb[e] = hn::MulAdd(r.H[e][f], b[f], Hb[e]);
            }
            A = hn::MulAdd(s.a[e], Ha[e], A);
            B = hn::MulAdd(s.a[e], hn::Sub(Hb[e], r.d[e]), B);
            C = hn::MulAdd(b[e], hn::Sub(Hb[e], r.d[e]), C);
            c.xu[e] = hn::IfThenElseZero(valid, hn::Mul(ws, Ha[e]));
            c.zu[e] = hn::IfThenElseZero(valid, hn::Mul(ws, hn::Sub(Hb[e], r.d[e])));
            for (std::size_t f = 0; f < Ends; ++f)
                c.uu[e][f] = hn::IfThenElseZero(valid, hn::Mul(ws, hn::Mul(s.s_inv, r.H[e][f])));
        }
        c.A = times_w(A);
        c.B = times_w(B);
        c.C = times_w(C);
        for (std::size_t t = 0; t < m; ++t) {
            V xp = hn::Zero(d), zp = hn::Zero(d);
            for (std::size_t e = 0; e < Ends; ++e) {
                xp = hn::MulAdd(s.a[e], r.cross[e][t], xp);
                zp = hn::MulAdd(b[e], r.cross[e][t], zp);
                c.up[e][t] = hn::IfThenElseZero(valid, hn::Mul(ws, r.cross[e][t]));
            }
            c.xp[t] = times_w(xp);
            c.zp[t] = times_w(zp);
            for (std::size_t u = t; u < m; ++u)
                c.pp[t][u] = times_w(r.pp[t][u]);
        }
    }
}

} // namespace likelihood
} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
