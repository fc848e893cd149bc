#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include "check.hpp"
#include "pool.hpp"

using namespace karvelum;

namespace {

// Runs `threads` tasks in `arena`, one per thread, that each wait until
// `expected` tasks (of this and other arenas) run at once; true when they
// all met before the deadline.
bool all_threads_meet(pool::Arena& arena, std::size_t threads, std::atomic<std::size_t>& arrived,
                      std::size_t expected, std::chrono::steady_clock::time_point deadline) {
    std::atomic<bool> met{true};
    pool::run_in(arena, [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, threads, 1), [&](const tbb::blocked_range<std::size_t>&) {
            arrived.fetch_add(1);
            while (arrived.load() < expected) {
                if (std::chrono::steady_clock::now() > deadline) {
                    met = false;
                    return;
                }
                std::this_thread::yield();
            }
        }, tbb::simple_partitioner());
    });
    return met.load();
}

}  // namespace

// Pools made after the process-wide one get every thread they ask for, also
// together and beyond the processor count.
TEST(worker_pools_get_all_their_threads_after_the_process_wide_pool) {
    pool::parallel_for_index(1000, [](std::size_t) {});
    const std::size_t threads = std::thread::hardware_concurrency() + 4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pool::Arena first(threads), second(threads);
    std::atomic<std::size_t> arrived{0};
    bool met_first = false, met_second = false;
    std::thread other([&] { met_second = all_threads_meet(second, threads, arrived, 2 * threads, deadline); });
    met_first = all_threads_meet(first, threads, arrived, 2 * threads, deadline);
    other.join();
    CHECK(met_first);
    CHECK(met_second);

    bool refused = false;
    try {
        pool::Arena too_large(pool::kMaxThreads + 1);
    } catch (const std::exception&) {
        refused = true;
    }
    CHECK(refused);
}
