// Batches split across a persistent pool of worker threads.
//
// What the pool relies on and guarantees:
//   * workers are started on first use and kept for the life of the process
//     (a batch costs a wake-up, not a thread start); a child made by fork
//     starts with no workers and makes its own on its first batch;
//   * a batch is cut into chunks handed out through a shared counter, so a
//     core slowed by another process takes fewer chunks instead of holding
//     the batch up; the calling thread works on its own batch too;
//   * chunk boundaries depend on the batch size and the thread count only,
//     and callers keep each element's arithmetic independent of its chunk:
//     results do not depend on how chunks were shared out;
//   * several threads may run batches at once: each batch gets at most the
//     helpers it asks for, and a batch that finds every worker busy runs on
//     its caller alone.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <type_traits>
#include <utility>
#include <system_error>
#include <thread>
#include <vector>

namespace kernwerk {

// The cores this process may run on (its affinity mask), at least 1.
inline unsigned usable_cores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

namespace parallel_detail {

struct Job {
    void (*call)(void* ctx, std::size_t chunk, std::size_t begin, std::size_t end) = nullptr;
    void* ctx = nullptr;
    std::size_t n = 0, chunks = 0;
    std::atomic<std::size_t> next{0};      // the next chunk to hand out
    std::atomic<std::size_t> finished{0};  // chunks run to their end
    unsigned helpers_wanted = 0;           // workers that may still join (pool mutex)
    unsigned helpers_in = 0;               // workers inside the job now (pool mutex)

    std::size_t begin_of(std::size_t c) const noexcept { return n / chunks * c + std::min(c, n % chunks); }

    // Runs chunks until none is left to hand out.
    void work() noexcept {
        for (std::size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
            call(ctx, c, begin_of(c), begin_of(c + 1));
            finished.fetch_add(1, std::memory_order_acq_rel);
        }
    }
};

// The pool's state. Never destroyed: workers may be blocked in it when the
// process exits, and a forked child abandons its parent's copy (whose
// threads do not exist there) for a new one.
struct Pool {
    std::mutex mutex;
    std::condition_variable work_ready;  // workers wait here for a job
    std::condition_variable job_done;    // callers wait here for their job
    std::vector<Job*> jobs;              // jobs with helpers still wanted
    unsigned workers = 0;                // started so far
    unsigned idle = 0;                   // waiting in work_ready
    Pool* abandoned = nullptr;           // the pool a forked child left behind, kept reachable

    void worker_loop() noexcept {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            work_ready.wait(lock, [&] { return !jobs.empty(); });
            --idle;
            Job* job = jobs.front();
            if (--job->helpers_wanted == 0) jobs.erase(jobs.begin());
            ++job->helpers_in;
            lock.unlock();
            job->work();
            lock.lock();
            --job->helpers_in;
            job_done.notify_all();
        }
    }

    // Starts workers until `want` exist (as many as the system allows).
    void grow(unsigned want) {
        while (workers < want) {
            try {
                std::thread([this] { worker_loop(); }).detach();
            } catch (const std::system_error&) {
                return;
            }
            ++workers;
        }
    }
};

inline std::atomic<Pool*> g_pool{nullptr};
inline std::atomic<Pool*> g_abandoned{nullptr};

// In a forked child the parent's workers do not exist and its mutex may be
// held by one of them: the child leaves that pool untouched.
inline void forget_pool_in_child() noexcept {
    if (Pool* old = g_pool.exchange(nullptr, std::memory_order_relaxed)) g_abandoned.store(old, std::memory_order_relaxed);
}

inline Pool& pool() {
    Pool* p = g_pool.load(std::memory_order_acquire);
    if (p) return *p;
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
    auto* fresh = new Pool;
    fresh->abandoned = g_abandoned.load(std::memory_order_relaxed);
    Pool* expected = nullptr;
    if (!g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        delete fresh;
        return *expected;
    }
    return *fresh;
}

}  // namespace parallel_detail

// The number of chunks for_each_chunk cuts a batch of `n` into for
// `threads` threads: one when there is one thread, else enough chunks for
// the counter to even out uneven cores, none under `min_chunk` elements.
inline std::size_t chunk_count(std::size_t n, unsigned threads, std::size_t min_chunk = 2048) noexcept {
    if (threads <= 1 || n == 0) return 1;
    const std::size_t by_size = std::max<std::size_t>(n / std::max<std::size_t>(min_chunk, 1), 1);
    return std::min<std::size_t>(std::size_t{threads} * 8, by_size);
}

// Calls fn(chunk, begin, end) once for each of `chunks` contiguous chunks of
// [0, n) of near-equal size (chunk c starts at n / chunks * c + min(c,
// n % chunks)), on the calling thread and up to `threads` - 1 pool workers;
// returns when every chunk has run. `fn` must not throw.
template <typename Fn>
void for_each_chunk(std::size_t n, std::size_t chunks, unsigned threads, Fn&& fn) {
    chunks = std::clamp<std::size_t>(chunks, 1, std::max<std::size_t>(n, 1));
    using F = std::remove_reference_t<Fn>;
    parallel_detail::Job job;
    job.call = [](void* ctx, std::size_t c, std::size_t b, std::size_t e) { (*static_cast<F*>(ctx))(c, b, e); };
    job.ctx = const_cast<void*>(static_cast<const void*>(&fn));
    job.n = n;
    job.chunks = chunks;
    const unsigned helpers =
        static_cast<unsigned>(std::min<std::size_t>(std::max(threads, 1u) - 1, chunks - 1));
    if (helpers == 0) {
        job.work();
        return;
    }
    auto& pool = parallel_detail::pool();
    {
        std::lock_guard lock(pool.mutex);
        pool.grow(std::min(helpers, 255u));
        job.helpers_wanted = helpers;
        pool.jobs.push_back(&job);
    }
    pool.work_ready.notify_all();
    job.work();
    std::unique_lock lock(pool.mutex);
    // Helpers that never came are not waited for.
    if (job.helpers_wanted) std::erase(pool.jobs, &job);
    pool.job_done.wait(lock, [&] {
        return job.helpers_in == 0 && job.finished.load(std::memory_order_acquire) == job.chunks;
    });
}

// One chunk per thread: fn(chunk, begin, end) for `threads` near-equal
// chunks of [0, n), as many on pool workers as there are chunks beyond the
// caller's own.
template <typename Fn>
void for_each_chunk(std::size_t n, unsigned threads, Fn&& fn) {
    for_each_chunk(n, std::size_t{std::max(threads, 1u)}, threads, std::forward<Fn>(fn));
}

}  // namespace kernwerk
