#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/parallel.hpp"

using namespace kernwerk;

namespace {

// Every element is visited exactly once, whatever the chunking and helpers.
bool covers_once(std::size_t n, std::size_t chunks, unsigned threads) {
    std::vector<std::atomic<int>> seen(n);
    std::atomic<std::size_t> calls{0};
    for_each_chunk(n, chunks, threads, [&](std::size_t, std::size_t b, std::size_t e) {
        ++calls;
        for (std::size_t i = b; i < e; ++i) ++seen[i];
    });
    for (auto& s : seen)
        if (s != 1) return false;
    return calls == std::clamp<std::size_t>(chunks, 1, std::max<std::size_t>(n, 1));
}

}  // namespace

TEST(parallel_test, every_element_once) {
    struct Case { std::size_t n, chunks; unsigned threads; };
    for (const Case c : {Case{0, 1, 1}, Case{1, 16, 2}, Case{10, 3, 4}, Case{100000, 16, 2}, Case{100001, 7, 3},
                         Case{5, 100, 8}, Case{4096, 2, 2}})
        EXPECT_TRUE(covers_once(c.n, c.chunks, c.threads)) << c.n << " " << c.chunks << " " << c.threads;
}

TEST(parallel_test, callers_on_several_threads_share_the_pool) {
    std::vector<std::thread> callers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&] {
            for (int r = 0; r < 200; ++r)
                if (!covers_once(5000, chunk_count(5000, 2, 64), 2)) ++bad;
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(bad, 0);
}

TEST(parallel_test, a_forked_child_makes_its_own_workers) {
    ASSERT_TRUE(covers_once(100000, 16, 2));  // the parent's workers exist now
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(covers_once(100000, 16, 2) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(parallel_test, chunk_count_depends_on_size_and_threads_only) {
    EXPECT_EQ(chunk_count(1000000, 1), 1u);
    EXPECT_EQ(chunk_count(1000000, 2), 16u);
    EXPECT_EQ(chunk_count(4096, 2), 2u);
    EXPECT_EQ(chunk_count(100, 2), 1u);
}
