#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>

#include "check.hpp"
#include "memory.hpp"
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

TEST(the_pool_runs_work_for_the_call_of_whoever_started_it) {
    // More callers than the process-wide pool has room for: some callers'
    // work runs on the pool's threads, never for another caller's call.
    const std::size_t callers = 4 * pool::current_thread_count() + 4;
    std::atomic<std::size_t> wrong{0}, pieces{0};
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            const CallScope scope(std::uint64_t(c + 1));
            for (int k = 0; k < 50; ++k) {
                pool::run([&] {
                    if (CallScope::current() != c + 1) wrong.fetch_add(1);
                    pool::parallel_for_index(64, [&](std::size_t) {
                        pieces.fetch_add(1);
                        if (CallScope::current() != c + 1) wrong.fetch_add(1);
                    }, 1);
                });
            }
        });
    }
    for (std::thread& t : threads) t.join();
    CHECK(wrong.load() == 0);
    CHECK(pieces.load() == callers * 50 * 64);
    CHECK(CallScope::current() == 0);
}

TEST(work_started_outside_any_call_runs_for_none_whichever_thread_takes_it) {
    // Calls whose pieces wait in loops of their own (as the kernels'), so
    // that their threads take other work meanwhile, beside callers outside
    // any call. Taking that work is up to the scheduler: the scene is played
    // a few times.
    auto busy = [](int n) {
        volatile double x = 0;
        for (int i = 0; i < n; ++i) x = x + i;
    };
    std::atomic<std::size_t> stale{0}, seen{0};
    for (int round = 0; round < 4; ++round) {
        std::vector<std::thread> threads;
        for (std::uint64_t id = 1; id <= 3; ++id) {
            threads.emplace_back([&, id] {
                const CallScope scope(id);
                pool::parallel_for_index(32, [&](std::size_t) {
                    tbb::parallel_for(std::size_t(0), std::size_t(500), [&](std::size_t) { busy(20000); });
                }, 1);
            });
            threads.emplace_back([&] {
                for (int k = 0; k < 50; ++k) {
                    pool::parallel_for_index(256, [&](std::size_t) {
                        seen.fetch_add(1);
                        if (CallScope::current() != 0) stale.fetch_add(1);
                        busy(2000);
                    }, 1);
                }
            });
        }
        for (std::thread& t : threads) t.join();
    }
    CHECK(seen.load() == 4 * 3 * 50 * 256);
    CHECK(stale.load() == 0);
    // An explicit "no call" holds inside a call, and a claim that is not
    // held leaves the thread's call as it was.
    const CallScope outer(std::uint64_t(7));
    {
        const CallScope none(std::uint64_t(0));
        CHECK(CallScope::current() == 0);
    }
    const MemoryClaim not_held;
    const CallScope inherited(&not_held);
    CHECK(CallScope::current() == 7);
}

// A written array is cut into about four pieces per thread of the pool, so a
// small one spreads over every thread, within the grain and 65,536 indices;
// every index is written once however the pieces fall.
TEST(written_arrays_are_cut_by_the_pool_size_and_written_once) {
    constexpr std::size_t kGrain = 4096, kMost = std::size_t(1) << 16;
    for (std::size_t threads : {1u, 8u, 64u}) {
        pool::Arena arena(threads);
        pool::run_in(arena, [&] {
            CHECK(pool::write_piece(0) == kGrain);
            CHECK(pool::write_piece(kGrain) == kGrain);
            CHECK(pool::write_piece(std::size_t(1) << 34) == kMost);
            for (std::size_t n : {kGrain + 1, std::size_t(16384), kMost, std::size_t(1) << 20}) {
                const std::size_t piece = pool::write_piece(n), pieces = (n + piece - 1) / piece;
                CHECK(piece >= kGrain && piece <= kMost);
                CHECK(pieces >= std::min(4 * threads, n / kGrain) || piece == kMost);
                CHECK(pieces <= 4 * threads || piece == kGrain || piece == kMost);
            }
            for (std::size_t n : {std::size_t(0), std::size_t(1), kGrain, kGrain + 1, std::size_t(70001)}) {
                std::vector<std::atomic<int>> written(n);
                pool::parallel_write(n, ClaimPart::Own, 8, [&](std::size_t k) { written[k].fetch_add(1); });
                std::size_t once = 0;
                for (const auto& w : written) once += w.load() == 1 ? 1 : 0;
                CHECK(once == n);
            }
        });
    }
}
