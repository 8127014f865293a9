// The location-scale likelihood for every instruction set: its blocks on
// the threads (observations.hpp), the chain rule of each vector of lanes
// (likelihood.hpp) and what becomes of it (sums.hpp).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "distribution/accurate/likelihood.cpp"
#include "../simd/targets.hpp"
#include <hwy/highway.h>

#include "sums.hpp"

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {
#ifdef DISTRIBUTION_DISPATCH
// The dispatch table's object (simd/targets.hpp): the entry point declared.
void LocationScale(const Observations &obs, const Points &points, const Request &request, unsigned threads);
#else
namespace likelihood {

// One vector of lanes of a pass at point s, into what the request asks.
template <std::size_t K, int Want, Pass P>
HWY_INLINE void lanes_at(const Layout &at, const Points &points, const Request &request, State<K> &state,
                         std::size_t s, std::size_t L, double *partial)
{
    constexpr bool Interval = P != exact;
    constexpr std::size_t Ends = Interval ? 2 : 1;
    const Lanes d;
    const Gathered &G = state.lanes;
    const Standardised<Ends> ends = standardise_ends<Ends>(at, G, points.beta + s * at.kb, points.g + s * at.kg, L);
    Derivatives<K> r;
    derivatives<K, Want, Interval>(state.rows[s], ends.z, r);
    Chain<K> c;
    const M valid = hn::Ne(hn::LoadU(d, G.valid + L), hn::Zero(d));
    chain<K, Want, Ends, !Interval>(ends, r, hn::LoadU(d, G.w + L), valid, at.m, c);
    if (request.kind == Request::terms) {
        write_terms<K>(at, G, L, c, s, request.out);
    } else if (request.kind == Request::scores) {
        write_scores<K, Ends>(at, G, L, c, request.out);
    } else {
        accumulate<K, Want>(at, G, L, c, state.acc.data());
        if (P != truncation && G.units && Want > value_only)
            scatter<K, Want, Ends>(at, G, L, c, partial, state.units.data());
    }
}

// A pass at point s; at the first point, the arrays of a later block are
// fetched a share at a time.
template <std::size_t K, int Want, Pass P>
void pass_at(const Layout &at, const Points &points, const Request &request, State<K> &state, std::size_t s,
             double *partial, Ahead &ahead, std::size_t share)
{
    for (std::size_t L = state.lanes.begin[P]; L < state.lanes.end[P]; L += W) {
        if (s == 0)
            ahead.fetch(share);
        lanes_at<K, Want, P>(at, points, request, state, s, L, partial);
    }
}

// Block b at every point: its partial sums (into `partial`, S x (1 + k +
// k k)), terms or scores; block b + threads, most likely this thread's
// next, fetched meanwhile.
template <std::size_t K, int Want>
void evaluate_block(const Observations &obs, const Layout &at, const Points &points, const Request &request,
                    State<K> &state, std::size_t b, std::size_t threads, double *partials)
{
    const std::size_t first = b * block_size, last = std::min(obs.n, first + block_size);
    state.lanes.gather(obs, first, last, request.kind != Request::scores);
    const std::size_t next = std::min(obs.n, first + threads * block_size);
    Ahead ahead(obs, next, std::min(obs.n, next + block_size));
    const std::size_t share = ahead.lines() / std::max<std::size_t>(1, state.lanes.lanes / W) + 1;
    const std::size_t stride = 1 + at.k + at.k * at.k;
    const std::size_t used = Want == with_hessian ? stride : Want == with_gradient ? 1 + at.k : 1;
    for (std::size_t s = 0; s < points.S; ++s) {
        double *partial = partials ? partials + s * stride : nullptr;
        if (partial) {
            std::fill(partial, partial + used, 0.0);
            std::fill(state.acc.begin(), state.acc.end(), 0.0);
            std::fill(state.units.begin(), state.units.end(), 0.0);
        }
        pass_at<K, Want, exact>(at, points, request, state, s, partial, ahead, share);
        pass_at<K, Want, bounds>(at, points, request, state, s, partial, ahead, share);
        pass_at<K, Want, truncation>(at, points, request, state, s, partial, ahead, share);
        if (partial) {
            reduce(at, Want, state.acc.data(), partial);
            if (Want == with_hessian && state.lanes.units)
                fold_units(at, state.units.data(), partial);
        }
    }
}

// The slots of the blocks' partial sums: a few per thread, within a bound
// on their memory, and one more than the threads at least.
inline std::size_t ring_slots(std::size_t threads, std::size_t blocks, std::size_t bytes_each)
{
    constexpr std::size_t budget = std::size_t{128} << 20;
    const std::size_t fit = budget / std::max<std::size_t>(bytes_each, 1);
    return std::min(blocks, std::max(threads + 1, std::min(4 * threads, fit)));
}

template <std::size_t K, int Want>
void run_want(const Observations &obs, const Points &points, const Request &request, unsigned threads)
{
    const Layout at(obs, points);
    const std::size_t blocks = (obs.n + block_size - 1) / block_size;
    const bool sums = request.kind == Request::sums;
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks));
    std::vector<State<K>> states;
    states.reserve(count);
    for (std::size_t t = 0; t < count; ++t)
        states.emplace_back(at, obs, points, sums);
    const std::size_t stride = points.S * (1 + at.k + at.k * at.k);
    const std::size_t slots = sums ? std::max<std::size_t>(1, ring_slots(count, blocks, stride * sizeof(double))) : 1;
    Lines<double> ring(sums ? slots * stride : 0);
    const auto work = [&](State<K> &state, std::size_t b, std::size_t slot) {
        evaluate_block<K, Want>(obs, at, points, request, state, b, count, sums ? ring.data() + slot * stride : nullptr);
    };
    const auto commit = [&](std::size_t slot) { add_partial(obs, points, request, ring.data() + slot * stride); };
    if (sums)
        run_blocks<true>(blocks, states, slots, work, commit);
    else
        run_blocks<false>(blocks, states, slots, work, commit);
}

} // namespace likelihood

void LocationScale(const Observations &obs, const Points &points, const Request &request, unsigned threads)
{
    using namespace likelihood;
    with_k(points.m < 2 ? 2 : points.m, [&](auto k) {
        constexpr std::size_t K = decltype(k)::value;
        switch (request.want) {
        case value_only: run_want<K, value_only>(obs, points, request, threads); break;
        case with_gradient: run_want<K, with_gradient>(obs, points, request, threads); break;
        default: run_want<K, with_hessian>(obs, points, request, threads); break;
        }
    });
}
#endif // DISTRIBUTION_DISPATCH

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace distribution {
HWY_EXPORT(LocationScale);

void location_scale(const Observations &obs, const Points &points, const Request &request, unsigned threads)
{
    HWY_DYNAMIC_DISPATCH(LocationScale)(obs, points, request, threads);
    if (request.kind == Request::sums)
        finish_sums(obs, points, request);
}
} // namespace distribution
#endif
