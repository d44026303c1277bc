// Splitting a batch into contiguous chunks across threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <sched.h>
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

// Calls fn(chunk, begin, end) for `chunks` contiguous chunks of [0, n) of
// near-equal size, chunk 0 on the calling thread and each other one on a
// thread of its own; returns when all have run. `fn` must not throw. When a
// thread cannot be started its chunk runs on the calling thread, so every
// chunk runs exactly once whatever the system allows.
template <typename Fn>
void for_each_chunk(std::size_t n, unsigned chunks, Fn&& fn) {
    chunks = static_cast<unsigned>(std::clamp<std::size_t>(chunks, 1, std::max<std::size_t>(n, 1)));
    const auto bounds = [&](unsigned c) { return n / chunks * c + std::min<std::size_t>(c, n % chunks); };
    if (chunks == 1) {
        fn(0u, std::size_t{0}, n);
        return;
    }
    std::vector<std::thread> threads;
    std::vector<unsigned> inline_chunks;
    threads.reserve(chunks - 1);
    for (unsigned c = 1; c < chunks; ++c) {
        try {
            threads.emplace_back([&fn, c, b = bounds(c), e = bounds(c + 1)] { fn(c, b, e); });
        } catch (const std::system_error&) {
            inline_chunks.push_back(c);
        }
    }
    fn(0u, bounds(0), bounds(1));
    for (unsigned c : inline_chunks) fn(c, bounds(c), bounds(c + 1));
    for (auto& t : threads) t.join();
}

}  // namespace kernwerk
