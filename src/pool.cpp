#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <tbb/global_control.h>
#include <tbb/task_scheduler_observer.h>

#include "errors.hpp"

namespace karvelum::pool {

namespace {

thread_local tbb::task_arena* t_current_arena = nullptr;

// Marks worker threads with the arena they serve while they are inside it.
class ArenaObserver : public tbb::task_scheduler_observer {
public:
    explicit ArenaObserver(tbb::task_arena& arena)
        : tbb::task_scheduler_observer(arena), arena_(&arena) {
        observe(true);
    }
    ~ArenaObserver() override { observe(false); }
    void on_scheduler_entry(bool is_worker) override {
        if (is_worker) t_current_arena = arena_;
    }
    void on_scheduler_exit(bool is_worker) override {
        if (is_worker) t_current_arena = nullptr;
    }

private:
    tbb::task_arena* arena_;
};

// A positive whole number of at most kMaxThreads, else 0 (not set).
std::size_t positive_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(*c - '0');
        if (value > kMaxThreads) return 0;
    }
    return value;
}

// TBB gives all arenas together as many workers as max_allowed_parallelism
// allows (less one), and warns on standard error when an arena asks for more.
// The limit follows the threads of every live pool, so that each pool gets
// the threads it asked for. Of several live global_control objects the
// smallest value rules: the one in force is replaced, never joined by another.
class ParallelismLimit {
public:
    void add(std::size_t threads) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t live = live_ + threads;
        const std::size_t want = std::max<std::size_t>(live, std::thread::hardware_concurrency());
        if (want > allowed_) {
            auto* raised = new tbb::global_control(tbb::global_control::max_allowed_parallelism, want);
            delete control_;
            control_ = raised;
            allowed_ = want;
        }
        live_ = live;
    }
    // The limit is kept: lowering it would take workers from running pools.
    void remove(std::size_t threads) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_ -= threads;
    }

private:
    std::mutex mutex_;
    std::size_t live_ = 0;
    std::size_t allowed_ = 0;
    tbb::global_control* control_ = nullptr;  // never destroyed: it must outlive every arena
};

ParallelismLimit& parallelism_limit() {
    static auto* limit = new ParallelismLimit;  // never destroyed, as the pools it serves
    return *limit;
}

ValueError too_many_threads(std::size_t threads) {
    return ValueError("thread count " + std::to_string(threads) + " exceeds the limit of " +
                      std::to_string(kMaxThreads));
}

std::atomic<tbb::task_arena*> g_arena{nullptr};
std::once_flag g_once;

void create_global(std::size_t threads) {
    if (threads == 0) threads = default_thread_count();
    parallelism_limit().add(threads);
    auto* arena = new tbb::task_arena(static_cast<int>(threads));
    arena->initialize();
    new ArenaObserver(*arena);
    g_arena.store(arena, std::memory_order_release);
}

}  // namespace

std::size_t default_thread_count() {
    if (std::size_t n = positive_env("RAYON_NUM_THREADS")) return n;
    if (std::size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
    return std::max(1u, std::thread::hardware_concurrency());
}

void init_global(std::size_t threads) {
    if (threads > kMaxThreads) throw too_many_threads(threads);
    bool created = false;
    std::call_once(g_once, [&] {
        create_global(threads);
        created = true;
    });
    if (!created) throw ValueError("The global thread pool has already been initialized.");
}

tbb::task_arena& global_arena() {
    std::call_once(g_once, [] { create_global(0); });
    return *g_arena.load(std::memory_order_acquire);
}

tbb::task_arena* current_arena() { return t_current_arena; }

std::size_t current_thread_count() {
    if (tbb::task_arena* arena = current_arena()) return static_cast<std::size_t>(arena->max_concurrency());
    return static_cast<std::size_t>(global_arena().max_concurrency());
}

struct Arena::Impl {
    // Counted first, so that the arena's workers are allowed before it asks for them.
    struct Counted {
        std::size_t threads;
        explicit Counted(std::size_t n) : threads(n) { parallelism_limit().add(n); }
        ~Counted() { parallelism_limit().remove(threads); }
    };
    Counted counted;
    tbb::task_arena arena;
    ArenaObserver observer;
    explicit Impl(std::size_t threads)
        : counted(threads), arena(static_cast<int>(threads)), observer((arena.initialize(), arena)) {}
};

Arena::Arena(std::size_t threads) {
    if (threads > kMaxThreads) throw too_many_threads(threads);
    impl_ = new Impl(std::max<std::size_t>(threads, 1));
}
Arena::~Arena() { delete impl_; }
tbb::task_arena& Arena::arena() { return impl_->arena; }

bool global_started() { return g_arena.load(std::memory_order_acquire) != nullptr; }

detail::EnterArena::EnterArena(tbb::task_arena* arena) : previous(t_current_arena) { t_current_arena = arena; }
detail::EnterArena::~EnterArena() { t_current_arena = previous; }

}  // namespace karvelum::pool
