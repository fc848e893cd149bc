// The process-wide worker pool and the pool of the calling thread.
//
// Every parallel loop of the engine runs inside `pool::run`, which executes
// it in the arena the calling thread already works in (a batch worker's own
// arena, or the process-wide one when called from inside it) or else in the
// process-wide arena. The process-wide arena is created once, lazily, and
// never destroyed: detached threads may still use it at exit.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "memory.hpp"

namespace karvelum::pool {

// Largest pool size accepted, from the caller or the environment.
inline constexpr std::size_t kMaxThreads = 4096;

// The size a new pool gets when none is asked for: RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS, when positive; else the logical processor count.
std::size_t default_thread_count();

// Creates the process-wide pool with `threads` threads (0: the default size).
// Throws ValueError("The global thread pool has already been initialized.")
// when it exists already, and ValueError for more than kMaxThreads threads.
void init_global(std::size_t threads);

// Thread count of the pool the calling thread works in, creating the
// process-wide pool with its default size when the caller is in none.
std::size_t current_thread_count();

tbb::task_arena& global_arena();

// The arena the calling thread currently works in, or nullptr.
tbb::task_arena* current_arena();

// Whether the process-wide pool exists yet.
bool global_started();

// A task_arena whose worker threads know which arena they belong to.
// Throws ValueError for more than kMaxThreads threads.
class Arena {
public:
    explicit Arena(std::size_t threads);
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    tbb::task_arena& arena();

private:
    struct Impl;
    Impl* impl_;
};

namespace detail {
struct EnterArena {
    explicit EnterArena(tbb::task_arena* arena);
    ~EnterArena();
    tbb::task_arena* previous;
};
}  // namespace detail

// Runs f in the calling thread's arena, or in the process-wide one (on
// another thread when the arena has no room for this one: for the caller's
// call all the same).
template <class F>
decltype(auto) run(F&& f) {
    if (current_arena() != nullptr) return std::forward<F>(f)();
    tbb::task_arena& arena = global_arena();
    const std::uint64_t call = CallScope::current();
    return arena.execute([&]() -> decltype(auto) {
        detail::EnterArena enter(&arena);
        const CallScope for_call(call);
        return std::forward<F>(f)();
    });
}

// Runs f in the calling thread's arena, else in the process-wide one once it
// exists, else in TBB's own arena of the calling thread: for work that must
// not be what starts the process-wide pool.
template <class F>
decltype(auto) run_without_starting(F&& f) {
    if (current_arena() != nullptr || !global_started()) return std::forward<F>(f)();
    return run(std::forward<F>(f));
}

// Runs f inside `arena` (a batch worker's own pool).
template <class F>
decltype(auto) run_in(Arena& arena, F&& f) {
    tbb::task_arena& a = arena.arena();
    const std::uint64_t call = CallScope::current();
    return a.execute([&]() -> decltype(auto) {
        detail::EnterArena enter(&a);
        const CallScope for_call(call);
        return std::forward<F>(f)();
    });
}

// Element-wise parallel loop over 0 .. n-1 in the calling thread's pool.
// For maps whose outputs depend only on the same index: the result is the
// same for every thread count.
// The pieces run for the caller's call (memory.hpp's CallScope).
template <class Body>
void parallel_for_index(std::size_t n, Body&& body, std::size_t grain = 4096) {
    if (n == 0) return;
    const std::uint64_t call = CallScope::current();
    run([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                              const CallScope for_call(call);
                              for (std::size_t k = r.begin(); k != r.end(); ++k) body(k);
                          });
    });
}

// Indices per piece of a parallel_write over n: about four pieces per thread
// of the calling thread's pool, so that a small array still spreads over the
// pool, between parallel_for_index's default grain (a small array makes few
// records) and 65,536 (a large one records as it fills, a bounded number of
// bytes at a time). An array no longer than the grain is one piece whatever
// the pool's size.
inline std::size_t write_piece(std::size_t n) {
    constexpr std::size_t kLeast = 4096, kMost = std::size_t(1) << 16;
    if (n <= kLeast) return kLeast;
    const std::size_t pieces = 4 * current_thread_count();
    return std::clamp((n + pieces - 1) / pieces, kLeast, kMost);
}

// As parallel_for_index, for a loop that writes fresh arrays, `bytes` of
// them per index, of the caller's call's working set `part`: each piece is
// recorded as taken once written (memory.hpp's record_taken), so that while
// a large array fills, other calls' checks see the call's claim shrink as
// the figures do. Before a piece is written, it is checked with the pieces
// that may be written at once beside it, up to the array's end
// (require_room_to_write): past the call's claim, they must fit in what is
// really left.
template <class Body>
void parallel_write(std::size_t n, ClaimPart part, std::uint64_t bytes, Body&& body) {
    const std::size_t piece_size = write_piece(n);
    const std::size_t pieces = (n + piece_size - 1) / piece_size;
    const std::uint64_t at_once = pieces > 1 ? std::min<std::uint64_t>(pieces, current_thread_count()) : 1;
    std::atomic<std::size_t> written{0};  // indices of the pieces written
    parallel_for_index(pieces, [&](std::size_t piece) {
        const std::size_t first = piece * piece_size, end = std::min(n, first + piece_size);
        const std::size_t unwritten = n - written.load(std::memory_order_relaxed);
        require_room_to_write(checked_mul(std::min<std::uint64_t>(unwritten, (end - first) * at_once), bytes));
        for (std::size_t k = first; k < end; ++k) body(k);
        record_taken(part, (end - first) * bytes);
        written.fetch_add(end - first, std::memory_order_relaxed);
    }, 1);
}

}  // namespace karvelum::pool
