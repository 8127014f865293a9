// The observations and parameter points of the location-scale likelihood
// (likelihood.hpp), and the blocks of observations its threads share.
//
// Observation i has the ends lo_i and hi_i (lo_i alone when it is observed
// exactly) and, where it is truncated, the ends t_lo_i and t_hi_i of its
// truncation; each end e is standardised as
//
//     z_e = (o_e + D_e beta) exp(-Z_i g),
//     D_e beta = -[o_e finite] X_i beta[0 .. kx) + [idx_e >= 0] beta[idx_e],
//
// X (n, kx) shared by both ends, the unit column idx_e of beta (a cut point
// of an ordered model; -1 for none, always so for the truncation ends).
//
// The observations are cut into blocks of a fixed size, whatever the number
// of threads; a thread evaluates one block at a time and the blocks' partial
// sums are added to the total in the order of the blocks, so that the sums
// are the same to the last bit for any number of threads.
#ifndef DISTRIBUTION_ACCURATE_OBSERVATIONS_HPP
#define DISTRIBUTION_ACCURATE_OBSERVATIONS_HPP

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>

namespace distribution {

// Observations per block: the unit of work of a thread and of the sums.
constexpr std::size_t block_size = 1024;

// Storage of whole cache lines, so that what one thread writes never
// shares a line with what another reads; left unset (each use sets what
// it reads).
constexpr std::size_t cache_line = 64;

template <class T> struct LineAllocator {
    using value_type = T;
    LineAllocator() = default;
    template <class U> LineAllocator(const LineAllocator<U> &) {}
    T *allocate(std::size_t n)
    {
        const std::size_t bytes = (n * sizeof(T) + cache_line - 1) / cache_line * cache_line;
        return static_cast<T *>(::operator new(bytes, std::align_val_t(cache_line)));
    }
    void deallocate(T *p, std::size_t) { ::operator delete(p, std::align_val_t(cache_line)); }
    template <class U> void construct(U *p) noexcept { ::new (static_cast<void *>(p)) U; }
    template <class U> bool operator==(const LineAllocator<U> &) const { return true; }
    template <class U> bool operator!=(const LineAllocator<U> &) const { return false; }
};

template <class T> using Lines = std::vector<T, LineAllocator<T>>;

struct Observations {
    std::size_t n = 0, kx = 0, kb = 0, kg = 0;
    const double *lo = nullptr, *hi = nullptr; // offsets o_e of the ends, (n)
    const double *X = nullptr;                 // (n, kx), rows contiguous
    const std::int64_t *idx_lo = nullptr, *idx_hi = nullptr;
    const double *Z = nullptr;                 // (n, kg)
    const unsigned char *exact = nullptr;      // observed exactly (lo alone)
    const double *weights = nullptr;           // (n)
    const double *t_lo = nullptr, *t_hi = nullptr; // truncation, or none
};

// S points (beta, g, p): rows of (S, kb), (S, kg) and (S, m).
struct Points {
    std::size_t S = 0, m = 0;
    const double *beta = nullptr, *g = nullptr, *p = nullptr;
};

enum Want : int { value_only = 0, with_gradient = 1, with_hessian = 2 };

// What a call computes: the weighted sums of the log-likelihood and, as
// `want` asks, its gradient and Hessian at every point (value (S), grad
// (S, k), hess (S, k, k)); each observation's weighted term at every point
// (terms (S, n)); or each observation's unweighted gradient at one point
// (scores (n, k)).  k = kb + kg + m; outputs start at 0.
struct Request {
    enum Kind { sums, terms, scores } kind = sums;
    Want want = with_hessian;
    double *value = nullptr, *grad = nullptr, *hess = nullptr;
    double *out = nullptr; // terms or scores
};

// The arrays of a later block of observations, brought into the cache a
// little at a time while this one is evaluated: the hardware's prefetch
// stops between blocks.
struct Ahead {
    const char *from[8];
    std::size_t bytes[8], ranges = 0, range = 0, offset = 0;

    Ahead(const Observations &obs, std::size_t first, std::size_t last)
    {
        const auto add = [&](const void *p, std::size_t size) {
            if (p != nullptr && last > first)
                from[ranges] = static_cast<const char *>(p) + first * size, bytes[ranges++] = (last - first) * size;
        };
        add(obs.X, obs.kx * sizeof(double));
        add(obs.Z, obs.kg * sizeof(double));
        add(obs.lo, sizeof(double));
        add(obs.hi, sizeof(double));
        add(obs.idx_lo, sizeof(std::int64_t));
        add(obs.idx_hi, sizeof(std::int64_t));
        add(obs.weights, sizeof(double));
        add(obs.exact, 1);
    }

    // The next `lines` lines of 64 bytes.
    void fetch(std::size_t lines)
    {
        for (; lines > 0 && range < ranges; --lines) {
            __builtin_prefetch(from[range] + offset);
            offset += 64;
            if (offset >= bytes[range])
                offset = 0, ++range;
        }
    }

    std::size_t lines() const
    {
        std::size_t total = 0;
        for (std::size_t r = 0; r < ranges; ++r)
            total += (bytes[r] + 63) / 64;
        return total;
    }
};

// The processors this process may run on.
inline unsigned available_cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0)
            return static_cast<unsigned>(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

// Runs the blocks 0 .. count - 1 on the threads of `states` (the calling
// one among them), each with its own state: work(state, block, slot)
// evaluates a block into its slot, block % slots.  With Ordered,
// commit(slot) adds the slots to the total in the order of the blocks, one
// at a time, by whichever thread finds the next one done; a block is begun
// only once its slot is free, so that a thread held up delays the others
// only when the ring of slots is full.  A thread that cannot be started
// leaves its blocks to the others.
template <bool Ordered, class State, class Work, class Commit>
void run_blocks(std::size_t count, std::vector<State> &states, std::size_t slots, Work work, Commit commit)
{
    std::mutex mutex;
    std::condition_variable freed;
    std::size_t next = 0, committed = 0;
    std::vector<char> done(slots, 0);
    const auto loop = [&](State &state) {
        std::unique_lock<std::mutex> lock(mutex);
        while (next < count) {
            const std::size_t block = next;
            if (Ordered && block >= committed + slots) {
                freed.wait(lock);
                continue;
            }
            ++next;
            lock.unlock();
            work(state, block, block % slots);
            lock.lock();
            if constexpr (Ordered) {
                done[block % slots] = 1;
                const std::size_t before = committed;
                for (; committed < count && done[committed % slots]; ++committed) {
                    commit(committed % slots);
                    done[committed % slots] = 0;
                }
                if (committed != before)
                    freed.notify_all();
            }
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < states.size(); ++t) {
        try {
            pool.emplace_back(loop, std::ref(states[t]));
        } catch (const std::system_error &) {
            break;
        }
    }
    loop(states[0]);
    for (std::thread &thread : pool)
        thread.join();
}

// The parameters of a call: (beta, g, p).
inline std::size_t parameters(const Observations &obs, const Points &points) { return obs.kb + obs.kg + points.m; }

// Adds a block's partial sums, S x (value, gradient (k), Hessian (k x k,
// its upper triangle)), to the request's sums.
inline void add_partial(const Observations &obs, const Points &points, const Request &request, const double *partial)
{
    const std::size_t k = parameters(obs, points), stride = 1 + k + k * k;
    for (std::size_t s = 0; s < points.S; ++s) {
        const double *P = partial + s * stride;
        request.value[s] += P[0];
        if (request.want == value_only)
            continue;
        for (std::size_t j = 0; j < k; ++j)
            request.grad[s * k + j] += P[1 + j];
        if (request.want == with_hessian)
            for (std::size_t i = 0; i < k; ++i)
                for (std::size_t j = i; j < k; ++j)
                    request.hess[(s * k + i) * k + j] += P[1 + k + i * k + j];
    }
}

// The lower triangle of each Hessian from the upper; a point whose
// log-likelihood is NaN has a NaN gradient and Hessian.
inline void finish_sums(const Observations &obs, const Points &points, const Request &request)
{
    const std::size_t k = parameters(obs, points);
    for (std::size_t s = 0; s < points.S; ++s) {
        double *H = request.hess + s * k * k;
        if (request.want == with_hessian)
            for (std::size_t i = 0; i < k; ++i)
                for (std::size_t j = 0; j < i; ++j)
                    H[i * k + j] = H[j * k + i];
        if (request.want != value_only && std::isnan(request.value[s])) {
            std::fill(request.grad + s * k, request.grad + (s + 1) * k, NAN);
            if (request.want == with_hessian)
                std::fill(H, H + k * k, NAN);
        }
    }
}

// The likelihood of the request on up to `threads` threads (likelihood.cpp).
void location_scale(const Observations &obs, const Points &points, const Request &request, unsigned threads);

} // namespace distribution

#endif // DISTRIBUTION_ACCURATE_OBSERVATIONS_HPP
