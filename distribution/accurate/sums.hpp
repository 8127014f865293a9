// What the location-scale likelihood makes of the chain rule's
// coefficients (likelihood.hpp), block by block: the sums, each thread's
// for its block, added to the total in the order of the blocks; each
// observation's weighted term at every point; or each observation's
// gradient (its scores).
//
// A block's sums: the dense terms in per-lane sums (a vector per entry of
// the upper triangle), added lane by lane in order at the end of the block;
// the unit columns' terms added observation by observation into the
// block's upper triangle.  The order of every addition is fixed by the
// observations alone, so the results do not depend on the threads.
//
// Compiled once per instruction set.
#include "likelihood.hpp"

#if defined(DISTRIBUTION_ACCURATE_SUMS_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_SUMS_LANES
#undef DISTRIBUTION_ACCURATE_SUMS_LANES
#else
#define DISTRIBUTION_ACCURATE_SUMS_LANES
#endif

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <vector>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace likelihood {

// A thread's own: the rows of the points, the lanes of its block, the
// per-lane sums and the unit columns' terms with the dense columns and p
// (kb x (qd + m)).
template <std::size_t K> struct alignas(cache_line) State {
    std::vector<Rows> rows;
    Gathered lanes;
    Lines<double> acc, units;

    State(const Layout &at, const Observations &obs, const Points &points, bool sums)
        : lanes(at, obs.t_lo != nullptr), acc(sums ? at.slots * W : 0), units(sums ? at.kb * (at.qd + at.m) : 0)
    {
        HWY_ALIGN double loc[Rows::B] = {}, scale[Rows::B], param[max_k][Rows::B] = {};
        std::fill(scale, scale + Rows::B, 1.0);
        rows.reserve(points.S);
        for (std::size_t s = 0; s < points.S; ++s) {
            for (std::size_t j = 0; j < points.m; ++j)
                std::fill(param[j], param[j] + Rows::B, points.p[s * points.m + j]);
            rows.emplace_back(loc, scale, param, K);
        }
    }
};

// Adds c to the entry (i, j) of a symmetric matrix kept in its upper
// triangle, and to (j, i): twice on the diagonal.
inline void add_both(double *H, std::size_t k, std::size_t i, std::size_t j, double c)
{
    if (i == j) {
        H[i * k + i] += c;
        H[i * k + i] += c;
    } else {
        H[std::min(i, j) * k + std::max(i, j)] += c;
    }
}

inline void add_slot(double *acc, std::size_t slot, V c)
{
    const Lanes d;
    hn::StoreU(hn::Add(hn::LoadU(d, acc + slot * W), c), d, acc + slot * W);
}

// The dense terms of a vector of lanes into the per-lane sums.  (The
// sizes are copied to locals: a vector store may alias anything.)
template <std::size_t K, int Want>
HWY_INLINE void accumulate(const Layout &at, const Gathered &G, std::size_t L, const Chain<K> &c, double *acc)
{
    const Lanes d;
    add_slot(acc, 0, c.value);
    if constexpr (Want == value_only)
        return;
    const std::size_t kx = at.kx, qd = at.qd, m = at.m, stride = G.capacity;
    const double *const v = G.v + L;
    double *slot = acc + at.grad * W;
    for (std::size_t j = 0; j < qd; ++j, slot += W)
        hn::StoreU(hn::MulAdd(j < kx ? c.gx : c.gz, hn::LoadU(d, v + j * stride), hn::LoadU(d, slot)), d, slot);
    for (std::size_t t = 0; t < m; ++t, slot += W)
        hn::StoreU(hn::Add(c.gp[t], hn::LoadU(d, slot)), d, slot);
    if constexpr (Want == with_hessian) {
        double *cross = acc + at.dense_p * W;
        for (std::size_t j = 0; j < qd; ++j) {
            const V vj = hn::LoadU(d, v + j * stride);
            const V near = hn::Mul(j < kx ? c.A : c.C, vj), across = hn::Mul(c.B, vj);
            std::size_t i = j;
            for (; i < kx; ++i, slot += W)
                hn::StoreU(hn::MulAdd(near, hn::LoadU(d, v + i * stride), hn::LoadU(d, slot)), d, slot);
            const V rest = j < kx ? across : near;
            for (; i < qd; ++i, slot += W)
                hn::StoreU(hn::MulAdd(rest, hn::LoadU(d, v + i * stride), hn::LoadU(d, slot)), d, slot);
            for (std::size_t t = 0; t < m; ++t, cross += W)
                hn::StoreU(hn::MulAdd(j < kx ? c.xp[t] : c.zp[t], vj, hn::LoadU(d, cross)), d, cross);
        }
        slot = cross;
        for (std::size_t t = 0; t < m; ++t)
            for (std::size_t u = t; u < m; ++u, slot += W)
                hn::StoreU(hn::Add(c.pp[t][u], hn::LoadU(d, slot)), d, slot);
    }
}

// y[0 .. n) += a x[0 .. n), by vectors (fused) and the rest alike.
inline void axpy(double *y, double a, const double *x, std::size_t n)
{
    const Lanes d;
    std::size_t j = 0;
    for (; j + W <= n; j += W)
        hn::StoreU(hn::MulAdd(hn::Set(d, a), hn::LoadU(d, x + j), hn::LoadU(d, y + j)), d, y + j);
    for (; j < n; ++j)
        y[j] = std::fma(a, x[j], y[j]);
}

// The terms of the unit columns of a vector of lanes: into the block's
// gradient (P + 1) and Hessian (P + 1 + k) with each other, into `units`
// (kb x (qd + m)) with the dense columns (from the rows of X and Z) and p.
template <std::size_t K, int Want, std::size_t Ends>
void scatter(const Layout &at, const Gathered &G, std::size_t L, const Chain<K> &c, double *P, double *units)
{
    const Lanes d;
    HWY_ALIGN double gu[Ends][W], xu[Ends][W], zu[Ends][W], uu[Ends][Ends][W], up[Ends][K][W];
    for (std::size_t e = 0; e < Ends; ++e) {
        hn::Store(c.gu[e], d, gu[e]);
        if constexpr (Want == with_hessian) {
            hn::Store(c.xu[e], d, xu[e]);
            hn::Store(c.zu[e], d, zu[e]);
            for (std::size_t f = 0; f < Ends; ++f)
                hn::Store(c.uu[e][f], d, uu[e][f]);
            for (std::size_t t = 0; t < at.m; ++t)
                hn::Store(c.up[e][t], d, up[e][t]);
        }
    }
    double *grad = P + 1, *H = P + 1 + at.k;
    for (std::size_t l = 0; l < W; ++l) {
        const std::int64_t r = G.row[L + l];
        for (std::size_t e = 0; e < Ends && r >= 0; ++e) {
            const std::int64_t i = G.idx[e][L + l];
            if (i < 0)
                continue;
            const std::size_t u = static_cast<std::size_t>(i), row = static_cast<std::size_t>(r);
            grad[u] += gu[e][l];
            if constexpr (Want == with_hessian) {
                double *with = units + u * (at.qd + at.m);
                axpy(with, xu[e][l], at.X + row * at.kx, at.kx);
                axpy(with + at.kx, zu[e][l], at.Z + row * at.kg, at.kg);
                for (std::size_t t = 0; t < at.m; ++t)
                    with[at.qd + t] += up[e][t][l];
                for (std::size_t f = e; f < Ends; ++f) {
                    const std::int64_t i_f = G.idx[f][L + l];
                    if (f == e)
                        H[u * at.k + u] += uu[e][e][l];
                    else if (i_f >= 0)
                        add_both(H, at.k, u, static_cast<std::size_t>(i_f), uu[e][f][l]);
                }
            }
        }
    }
}

// The unit columns' terms with the dense columns and p into the block's
// Hessian, at both places of each.
inline void fold_units(const Layout &at, const double *units, double *P)
{
    double *H = P + 1 + at.k;
    for (std::size_t u = 0; u < at.kb; ++u) {
        const double *with = units + u * (at.qd + at.m);
        for (std::size_t j = 0; j < at.qd; ++j)
            add_both(H, at.k, u, at.column(j), with[j]);
        for (std::size_t t = 0; t < at.m; ++t)
            add_both(H, at.k, u, at.q + t, with[at.qd + t]);
    }
}

// The per-lane sums, lane by lane, into the block's partial sums P.
inline void reduce(const Layout &at, int want, const double *acc, double *P)
{
    const auto sum = [&](std::size_t slot) {
        double total = 0.0;
        for (std::size_t l = 0; l < W; ++l)
            total += acc[slot * W + l];
        return total;
    };
    P[0] += sum(0);
    if (want == value_only)
        return;
    double *grad = P + 1, *H = P + 1 + at.k;
    for (std::size_t j = 0; j < at.qd; ++j)
        grad[at.column(j)] += sum(at.grad + j);
    for (std::size_t t = 0; t < at.m; ++t)
        grad[at.q + t] += sum(at.grad_p + t);
    if (want < with_hessian)
        return;
    std::size_t slot = at.dense;
    for (std::size_t j = 0; j < at.qd; ++j) {
        for (std::size_t i = j; i < at.qd; ++i)
            H[at.column(j) * at.k + at.column(i)] += sum(slot++);
        for (std::size_t t = 0; t < at.m; ++t)
            H[at.column(j) * at.k + at.q + t] += sum(at.dense_p + j * at.m + t);
    }
    slot = at.pp;
    for (std::size_t t = 0; t < at.m; ++t)
        for (std::size_t u = t; u < at.m; ++u)
            H[(at.q + t) * at.k + at.q + u] += sum(slot++);
}

// Each lane's weighted term into out (S, n) at point s.
template <std::size_t K> void write_terms(const Layout &at, const Gathered &G, std::size_t L, const Chain<K> &c,
                                          std::size_t s, double *out)
{
    HWY_ALIGN double value[W];
    hn::Store(c.value, Lanes(), value);
    for (std::size_t l = 0; l < W; ++l)
        if (G.row[L + l] >= 0)
            out[s * at.n + static_cast<std::size_t>(G.row[L + l])] += value[l];
}

// Each lane's gradient (its weight the sign alone) into its row of out (n, k).
template <std::size_t K, std::size_t Ends>
void write_scores(const Layout &at, const Gathered &G, std::size_t L, const Chain<K> &c, double *out)
{
    const Lanes d;
    HWY_ALIGN double gx[W], gz[W], gu[Ends][W], gp[K][W];
    hn::Store(c.gx, d, gx);
    hn::Store(c.gz, d, gz);
    for (std::size_t e = 0; e < Ends; ++e)
        hn::Store(c.gu[e], d, gu[e]);
    for (std::size_t t = 0; t < at.m; ++t)
        hn::Store(c.gp[t], d, gp[t]);
    for (std::size_t l = 0; l < W; ++l) {
        if (G.row[L + l] < 0)
            continue;
        double *row = out + static_cast<std::size_t>(G.row[L + l]) * at.k;
        for (std::size_t j = 0; j < at.qd; ++j)
            row[at.column(j)] += (j < at.kx ? gx : gz)[l] * G.column(j)[L + l];
        for (std::size_t e = 0; e < Ends; ++e)
            if (G.idx[e][L + l] >= 0)
                row[G.idx[e][L + l]] += gu[e][l];
        for (std::size_t t = 0; t < at.m; ++t)
            row[at.q + t] += gp[t][l];
    }
}

} // namespace likelihood
} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
