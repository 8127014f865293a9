// The quantiles: ppf(q) = the x whose distribution function is q, isf(q) =
// the x whose survival function is q.
//
// Each lane solves on the side whose probability t = min(q, 1 - q) is at
// most 1/2, so that small probabilities keep their relative precision: by
// Halley's method on G(y) = F_side(y) - t, or on log F_side(y) - log t
// where t is below 2^-20 and F_side is nearly exponential in y; from the
// quantile of the logistic of the same mean and variance.  Every evaluation
// narrows a bracket; a step that leaves it or does not halve the one before
// (at a root of p the density is 0) is a bisection, or a doubling while the
// bracket is open on that side.  A lane stops once its error is below the
// spacing of y and of x, at most 200 steps: F_side(ppf(q)) is t to a few
// units in the last place, plus what the spacing of x allows.  q = 0 and 1
// give the ends of the line, q outside [0, 1], NaN or an invalid row NaN.
//
// A lane's iterations depend on its own target only: the two forms run one
// after the other, each on its own lanes, and on a long row a lane that
// finishes takes the next point at once (`quantile_stream`).
//
// Compiled once per instruction set.
#include "../simd/loop.hpp"
#include "tails.hpp"

#if defined(DISTRIBUTION_ACCURATE_QUANTILE_LANES) == defined(HWY_TARGET_TOGGLE)
#ifdef DISTRIBUTION_ACCURATE_QUANTILE_LANES
#undef DISTRIBUTION_ACCURATE_QUANTILE_LANES
#else
#define DISTRIBUTION_ACCURATE_QUANTILE_LANES
#endif

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The target of a probability: t = min(q, 1 - q) and its side.
template <class D> struct Target {
    hn::Vec<D> t;        // 1/2 where q is not inside (0, 1)
    hn::Mask<D> upper;   // solve on the survival function
    hn::Mask<D> inside;  // 0 < q < 1
    hn::Mask<D> linear;  // inside, t >= 2^-20: Halley on F_side itself
    hn::Vec<D> end;      // the value where q is not inside
};

template <class D> HWY_INLINE Target<D> target(D d, const Row<D> &row, hn::Vec<D> q, bool survival, std::size_t at)
{
    using V = hn::Vec<D>;
    const V one = hn::Set(d, 1.0), half = hn::Set(d, 0.5);
    const V qs = nan_to_zero(d, q);
    Target<D> r;
    r.inside = hn::And(hn::Gt(qs, hn::Zero(d)), hn::Lt(qs, one));
    const hn::Mask<D> large = hn::Gt(qs, half);
    r.upper = survival ? hn::Not(large) : large;
    r.t = hn::IfThenElse(r.inside, hn::IfThenElse(large, hn::Sub(one, qs), qs), half);
    r.linear = hn::And(r.inside, hn::Ge(r.t, hn::Set(d, 0x1p-20)));
    // q = 0 and 1: the ends of the line; outside [0, 1], NaN: NaN.
    const V inf = hn::Set(d, survival ? -HUGE_VAL : HUGE_VAL);
    const hn::Mask<D> usable = hn::Ne(hn::Load(d, row.usable + at), hn::Zero(d));
    const hn::Mask<D> defined = hn::And(usable, hn::And(hn::Ge(qs, hn::Zero(d)), hn::Le(qs, one)));
    r.end = hn::IfThenElse(hn::Eq(qs, one), inf, hn::Neg(inf));
    r.end = hn::IfThenElse(hn::Or(hn::IsNaN(q), hn::Not(defined)), hn::NaN(d), r.end);
    r.inside = hn::And(r.inside, usable);
    r.linear = hn::And(r.linear, usable);
    return r;
}

// The search of a vector of lanes.
template <class D> struct Search {
    hn::Vec<D> t, L;      // side probability and its logarithm
    hn::Mask<D> upper;    // the side is the survival function
    hn::Mask<D> active;   // lanes still searching
    hn::Vec<D> y, lo, hi; // iterate and bracket
    hn::Vec<D> previous;  // the step before
    hn::Vec<D> steps;     // taken
};

// The lanes `fresh` start a search for t on their side, from the logistic
// quantile of the row's mean and variance.
template <class D>
HWY_INLINE void begin(D d, const Row<D> &row, Search<D> &s, hn::Mask<D> fresh, const Target<D> &goal, std::size_t at)
{
    using V = hn::Vec<D>;
    const V inf = hn::Set(d, HUGE_VAL);
    const V L = hn::Log(d, goal.t);
    const V logit = hn::Sub(L, hn::Log1p(d, hn::Neg(goal.t)));
    const V y = hn::MulAdd(hn::IfThenElse(goal.upper, hn::Neg(logit), logit), hn::Load(d, row.spread + at),
                           hn::Load(d, row.center + at));
    s.t = hn::IfThenElse(fresh, goal.t, s.t);
    s.L = hn::IfThenElse(fresh, L, s.L);
    s.upper = hn::Or(hn::And(fresh, goal.upper), hn::AndNot(fresh, s.upper));
    s.y = hn::IfThenElse(fresh, y, s.y);
    s.lo = hn::IfThenElse(fresh, hn::Neg(inf), s.lo);
    s.hi = hn::IfThenElse(fresh, inf, s.hi);
    s.previous = hn::IfThenElse(fresh, inf, s.previous);
    s.steps = hn::IfThenZeroElse(fresh, s.steps);
    s.active = hn::Or(s.active, fresh);
}

template <class D> HWY_INLINE Search<D> idle(D d)
{
    const hn::Vec<D> zero = hn::Zero(d);
    return Search<D>{zero, zero, hn::FirstN(d, 0), hn::FirstN(d, 0), zero, zero, zero, zero, zero};
}

// One step of every active lane; returns the lanes that finished.
template <std::size_t K, bool Linear, class D>
HWY_INLINE hn::Mask<D> step(D d, const Row<D> &row, Search<D> &s, std::size_t at)
{
    using V = hn::Vec<D>;
    using M = hn::Mask<D>;
    const V one = hn::Set(d, 1.0);
    const V scale = hn::Load(d, row.scale_safe + at), loc = hn::Load(d, row.loc_safe + at);
    // Lanes not searching rest at loc, where x is finite.
    const V ye = hn::IfThenElseZero(s.active, s.y);
    const Tail<D> tail = tails_at<K, Linear ? Density::linear : Density::logarithm, !Linear>(
        d, row, locate(d, row, hn::MulAdd(ye, scale, loc), ye, at), at, s.active);
    // F_side at ye: the tail on its own side, 1 - tail across.
    const M across = hn::Xor(s.upper, tail.upper);
    const V value = Linear ? hn::IfThenElse(across, hn::Max(hn::Sub(one, tail.small), hn::Zero(d)), tail.small)
                           : hn::IfThenElse(across, log_other(d, tail), tail.log_small);
    const V g = hn::Sub(value, Linear ? s.t : s.L);
    const M below = hn::Xor(s.upper, hn::Lt(g, hn::Zero(d))); // ye below the root
    s.lo = hn::IfThenElse(hn::And(s.active, below), ye, s.lo);
    s.hi = hn::IfThenElse(hn::AndNot(below, s.active), ye, s.hi);
    // |G'| = r: the density, or density / F_side for the logarithm, and
    // G'' / G' = h - (log: sigma r), h = density' / density, sigma = -1 on
    // the upper side.  Halley's step is 2 g sigma / (r (2 + (log: g)) -
    // g sigma h); Newton's, g sigma / r, where Halley's denominator falls
    // below half of Newton's.
    V r;
    if (Linear) {
        r = tail.density;
    } else {
        const V log_ratio = hn::Sub(hn::Max(tail.log_density, hn::Set(d, -1e300)), value);
        r = hn::Exp(d, hn::Min(hn::Max(log_ratio, hn::Set(d, -700.0)), hn::Set(d, 700.0)));
    }
    const V g_sigma = hn::IfThenElse(s.upper, hn::Neg(g), g);
    const V halley = hn::Sub(hn::Mul(r, Linear ? hn::Set(d, 2.0) : hn::Add(hn::Set(d, 2.0), g)),
                             hn::Mul(g_sigma, tail.density_slope));
    const M cubic = hn::Ge(halley, r);
    const V numerator = hn::IfThenElse(cubic, hn::Add(g_sigma, g_sigma), g_sigma);
    const V denominator = hn::IfThenElse(cubic, halley, r);
    // A density too small for a finite step (at a root of p, say).  Steps
    // are at most twice max(1, |y|), so that a nearly flat stretch cannot
    // throw y far beyond the distribution.
    const M flat = hn::Le(denominator, hn::Mul(hn::Abs(numerator), hn::Set(d, 0x1p-900)));
    const V width = hn::Max(one, hn::Abs(ye));
    const V reach = hn::Add(width, width);
    const V step = hn::Min(hn::Max(hn::Div(numerator, hn::IfThenElse(flat, one, denominator)), hn::Neg(reach)), reach);
    V next = hn::Sub(ye, step);
    const M bracketed = hn::And(hn::IsFinite(s.lo), hn::IsFinite(s.hi));
    const M slow = hn::And(bracketed, hn::Gt(hn::Add(hn::Abs(step), hn::Abs(step)), s.previous));
    const M inside = hn::AndNot(hn::Or(flat, slow), hn::And(hn::Ge(next, s.lo), hn::Le(next, s.hi)));
    const V open_step = hn::IfThenElse(below, hn::Add(ye, width), hn::Sub(ye, width));
    const V bisect = hn::Mul(hn::Add(hn::IfThenElse(bracketed, s.lo, ye), hn::IfThenElse(bracketed, s.hi, ye)),
                             hn::Set(d, 0.5));
    next = hn::IfThenElse(inside, next, hn::IfThenElse(bracketed, bisect, open_step));
    s.previous = hn::IfThenElse(s.active, hn::Abs(hn::Sub(next, ye)), s.previous);
    // Done: the step taken leaves an error below the spacing of y and of
    // x = loc + scale y (a Halley step delta leaves about (h delta)^2 delta,
    // a Newton step h delta^2, h = density' / density, bounded here by
    // 4 (1 + |h|)^2 delta^3 and (1 + |h|) delta^2); G is 0 to rounding; the
    // bracket is that narrow; the step returns to an end of the bracket (a
    // cycle at rounding level); or the lane has taken 200 steps.
    const V shift = quotient_or_inf(d, loc, scale);
    const V magnitude = hn::Max(hn::Max(hn::Abs(ye), hn::Abs(hn::Add(ye, shift))), hn::Set(d, 0x1p-1000));
    const V tolerance = hn::Mul(magnitude, hn::Set(d, 0x1p-50));
    const V g_tolerance = hn::Mul(Linear ? s.t : hn::Max(one, hn::Abs(s.L)), hn::Set(d, 0x1p-50));
    const V moved = hn::Abs(hn::Sub(next, ye));
    const V curvature = hn::Mul(hn::Add(one, hn::Abs(tail.density_slope)), moved);
    const V error = hn::IfThenElse(cubic, hn::Mul(hn::Mul(hn::Set(d, 4.0), curvature), hn::Mul(curvature, moved)),
                                   hn::Mul(curvature, moved));
    s.steps = hn::Add(s.steps, hn::IfThenElseZero(s.active, one));
    const M done = hn::And(
        s.active,
        hn::Or(hn::Or(hn::Or(hn::Le(hn::Abs(g), g_tolerance), hn::Or(hn::Eq(next, s.lo), hn::Eq(next, s.hi))),
                      hn::Or(hn::Le(moved, tolerance), hn::And(inside, hn::Le(error, tolerance)))),
               hn::Or(hn::Le(hn::Sub(s.hi, s.lo), tolerance), hn::Ge(s.steps, hn::Set(d, 200.0)))));
    s.y = hn::IfThenElse(s.active, next, s.y);
    s.active = hn::AndNot(done, s.active);
    return done;
}

// x at the lanes' searches, or their ends.
template <class D>
HWY_INLINE hn::Vec<D> quantile_value(D d, const Row<D> &row, const Search<D> &s, const Target<D> &goal, std::size_t at)
{
    const hn::Vec<D> x = hn::MulAdd(s.y, hn::Load(d, row.scale_safe + at), hn::Load(d, row.loc_safe + at));
    return hn::IfThenElse(goal.inside, x, goal.end);
}

// The quantiles of a block of lanes, each with its own row and q[l].
template <std::size_t K, class D> void quantile(D d, const Row<D> &row, const double *q, double *out, bool survival)
{
    constexpr std::size_t W = Block<D>::W;
    for (std::size_t a = 0; a < Block<D>::U; ++a) {
        const std::size_t at = a * W;
        const Target<D> goal = target(d, row, hn::LoadU(d, q + at), survival, at);
        Search<D> linear = idle(d), logarithmic = idle(d);
        begin(d, row, linear, goal.linear, goal, at);
        while (!hn::AllFalse(d, linear.active))
            step<K, true>(d, row, linear, at);
        const hn::Mask<D> rest = hn::AndNot(goal.linear, goal.inside);
        if (!hn::AllFalse(d, rest)) {
            begin(d, row, logarithmic, rest, goal, at);
            while (!hn::AllFalse(d, logarithmic.active))
                step<K, false>(d, row, logarithmic, at);
            linear.y = hn::IfThenElse(rest, logarithmic.y, linear.y);
        }
        hn::StoreU(quantile_value(d, row, linear, goal, at), d, out + at);
    }
}

// The quantiles of the n points of one row, every lane on that row: a lane
// that finishes delivers its value and takes the next point, so that the
// vectors stay full while their lanes need different numbers of steps.
// The points of each form in turn; q outside (0, 1) is delivered at once.
template <std::size_t K, class D, class Operands>
void quantile_stream(D d, const Row<D> &row, const Operands &at, std::intptr_t n, bool survival)
{
    constexpr std::size_t W = Block<D>::W, U = Block<D>::U;
    for (int pass = 0; pass < 2; ++pass) {
        const bool linear = pass == 0;
        Search<D> s[U];
        std::intptr_t point[U][W], next = 0;
        for (std::size_t a = 0; a < U; ++a) {
            s[a] = idle(d);
            for (std::size_t l = 0; l < W; ++l)
                point[a][l] = -1;
        }
        for (;;) {
            bool searching = false;
            for (std::size_t a = 0; a < U; ++a) {
                HWY_ALIGN double q[W];
                HWY_ALIGN double fresh[W];
                for (std::size_t l = 0; l < W; ++l) {
                    q[l] = 0.5;
                    fresh[l] = 0;
                    for (; point[a][l] < 0 && next < n; ++next) {
                        const double v = at.input(0, next);
                        const Target<D> goal = target(d, row, hn::Set(d, v), survival, 0);
                        if (hn::AllFalse(d, goal.inside)) {
                            if (linear)
                                write(at.output(0, next), hn::GetLane(goal.end));
                        } else if (!hn::AllFalse(d, goal.linear) == linear) {
                            q[l] = v;
                            fresh[l] = 1;
                            point[a][l] = next;
                        }
                    }
                }
                const hn::Mask<D> starting = hn::Ne(hn::Load(d, fresh), hn::Zero(d));
                begin(d, row, s[a], starting, target(d, row, hn::Load(d, q), survival, a * W), a * W);
                searching = searching || !hn::AllFalse(d, s[a].active);
            }
            if (!searching)
                break;
            for (std::size_t a = 0; a < U; ++a) {
                const hn::Mask<D> done =
                    linear ? step<K, true>(d, row, s[a], a * W) : step<K, false>(d, row, s[a], a * W);
                if (hn::AllFalse(d, done))
                    continue;
                HWY_ALIGN double x[W];
                hn::Store(hn::MulAdd(s[a].y, hn::Load(d, row.scale_safe + a * W), hn::Load(d, row.loc_safe + a * W)),
                          d, x);
                HWY_ALIGN double finished[W];
                hn::Store(hn::IfThenElseZero(done, hn::Set(d, 1.0)), d, finished);
                for (std::size_t l = 0; l < W; ++l)
                    if (finished[l] != 0) {
                        write(at.output(0, point[a][l]), x[l]);
                        point[a][l] = -1;
                    }
            }
        }
    }
}

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#endif // per instruction set
