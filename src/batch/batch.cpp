#include "batch/batch.hpp"

#include <algorithm>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include "errors.hpp"
#include "integration/request.hpp"
#include "integration/working_set.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::batch {

namespace {

// The text of the exception being handled.
std::string current_error_text() noexcept {
    try {
        try {
            throw;
        } catch (const MessageError& e) {
            return e.message();
        } catch (const std::bad_alloc&) {
            return "memory allocation failed";
        } catch (const std::exception& e) {
            return e.what();
        } catch (...) {
            return "unknown error";
        }
    } catch (...) {
        return {};  // the text itself could not be made
    }
}

Outcome failure(std::string text, bool fatal) {
    Outcome out;
    out.error = std::move(text);
    out.fatal = fatal;
    return out;
}

Output integrate(IntegratorCore& core, integration::ImageView image, const IntegrateKind& kind) {
    if (const auto* options = std::get_if<integration::Options1d>(&kind)) {
        return integration::integrate1d(core, image, *options);
    }
    return integration::integrate2d(core, image, std::get<integration::Options2d>(kind));
}

struct Worker {
    std::vector<std::string> paths;
    std::vector<BatchItemRecord> records;  // one per path, made before the thread starts
    bool fatal = false;
    std::thread thread;
};

void batch_pool_worker(Worker& worker, CoreHold core, const IntegrateKind& kind,
                       std::size_t threads) noexcept {
    std::size_t done = 0;
    try {
        std::string pool_error;
        std::unique_ptr<pool::Arena> arena = build_worker_pool(threads, pool_error);
        if (!arena) throw Panic(pool_error);
        ImageFrame frame;
        for (; done < worker.paths.size(); ++done) {
            Outcome out = pool::run_in(*arena, [&] {
                return batch_file_job(*core, frame, worker.paths[done], kind);
            });
            worker.fatal = worker.fatal || out.fatal;
            worker.records[done].outcome = std::move(out);
        }
    } catch (...) {
        // The pool could not be built, or the worker failed between items:
        // the items not done yet carry the reason.
        worker.fatal = true;
        const std::string text = current_error_text();
        for (; done < worker.paths.size(); ++done) {
            Outcome& out = worker.records[done].outcome;
            out.fatal = true;
            try {
                out.error = text;
            } catch (...) {
                // No memory even for the text: the item stays an error item
                // with an empty message rather than ending the process.
            }
        }
    }
    // `core` is released as the thread ends, before its join returns.
}

}  // namespace

std::unique_ptr<pool::Arena> build_worker_pool(std::size_t threads, std::string& error) noexcept {
    try {
        return std::make_unique<pool::Arena>(threads);
    } catch (...) {
        const std::string text = current_error_text();
        try {
            error = "failed to build thread pool: " + text;
        } catch (...) {
        }
        return nullptr;
    }
}

WorkerCounts resolve_worker_counts(std::optional<std::uint64_t> num_workers,
                                   std::optional<std::uint64_t> num_threads) {
    if (num_threads && *num_threads == 0) throw ValueError("num_threads must be > 0");
    WorkerCounts counts;
    counts.threads = num_threads ? static_cast<std::size_t>(*num_threads) : 2;
    if (!num_workers) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        const std::size_t processors = online > 0 ? static_cast<std::size_t>(online) : 1;
        const std::size_t q = processors / counts.threads;
        counts.workers = q < 2 ? 1 : q - 1;
    } else if (*num_workers == 0) {
        throw ValueError("num_workers must be > 0");
    } else {
        counts.workers = static_cast<std::size_t>(*num_workers);
    }
    return counts;
}

Outcome batch_frame_job(IntegratorCore& core, integration::ImageView image, const IntegrateKind& kind) noexcept {
    try {
        Outcome out;
        out.output = integrate(core, image, kind);
        return out;
    } catch (...) {
        return failure(current_error_text(), true);
    }
}

Outcome batch_file_job(IntegratorCore& core, ImageFrame& frame, const std::string& path,
                       const IntegrateKind& kind) noexcept {
    integration::ImageView image;
    // The integration's own needs are admitted with the decode's, and stay
    // admitted until the item is done.
    MemoryClaim claim;
    try {
        const ThenNeeds then_needs = [&](std::uint64_t rows, std::uint64_t cols, SampleType type) {
            if (const auto* options = std::get_if<integration::Options1d>(&kind)) {
                return integration::working_set_1d(core, *options, rows, cols, type);
            }
            return integration::working_set_2d(core, std::get<integration::Options2d>(kind), rows, cols, type);
        };
        const auto* options = std::get_if<integration::Options1d>(&kind);
        image = integration::load_image(frame, path, then_needs,
                                        options != nullptr && integration::reads_file_samples(core, *options), &claim);
    } catch (...) {
        return failure(current_error_text(), false);
    }
    return batch_frame_job(core, image, kind);
}

std::vector<BatchItemRecord> run_batch_workers(std::span<const std::string> paths,
                                               const std::shared_ptr<IntegratorCore>& core,
                                               const IntegrateKind& kind, WorkerCounts counts) {
    const std::size_t n = paths.size();
    if (n == 0) return {};
    const std::size_t w = std::max<std::size_t>(counts.workers, 1);
    const std::size_t chunk = n / w + (n % w != 0 ? 1 : 0);  // ceil(n / w) >= 1, without overflow
    const std::size_t threads = std::max<std::size_t>(counts.threads, 1);

    // Every chunk and record exists before the first thread starts; threads
    // only fill in their own records.
    std::vector<Worker> workers((n + chunk - 1) / chunk);
    for (std::size_t c = 0; c < workers.size(); ++c) {
        const std::size_t begin = c * chunk, end = std::min(n, begin + chunk);
        workers[c].paths.assign(paths.begin() + static_cast<std::ptrdiff_t>(begin),
                                paths.begin() + static_cast<std::ptrdiff_t>(end));
        workers[c].records.resize(end - begin);
        for (std::size_t i = begin; i < end; ++i) workers[c].records[i - begin].name = paths[i];
    }
    std::size_t started = 0;
    try {
        for (; started < workers.size(); ++started) {
            Worker& worker = workers[started];
            worker.thread =
                std::thread(batch_pool_worker, std::ref(worker), CoreHold(core), std::cref(kind), threads);
        }
    } catch (...) {
        // Threads already running write into `workers`: wait for them before
        // it goes. std::thread may also fail to allocate its state.
        for (std::size_t c = 0; c < started; ++c) workers[c].thread.join();
        try {
            throw;
        } catch (const std::system_error& e) {
            throw Panic(std::string("failed to spawn thread: ") + e.what());
        }
    }
    for (Worker& worker : workers) worker.thread.join();

    std::vector<BatchItemRecord> out;
    out.reserve(n);
    for (Worker& worker : workers) {
        if (worker.fatal) std::fputs("Worker thread panicked\n", stderr);
        for (BatchItemRecord& record : worker.records) out.push_back(std::move(record));
    }
    return out;
}

std::vector<BatchItemRecord> run_array_batch(IntegratorCore& core, std::span<const integration::ImageView> images,
                                             const integration::Options1d& options) {
    std::vector<BatchItemRecord> records(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) records[i].name = "array[" + std::to_string(i) + "]";
    const IntegrateKind kind = options;
    pool::run([&] {
        tbb::parallel_for(std::size_t(0), images.size(), [&](std::size_t i) {
            // Isolated: while this item waits inside its own parallel loops,
            // its thread must not pick up another item that could wait on a
            // lock this one holds. Its call begins in it.
            const CallScope outside_any_call(std::uint64_t(0));
            records[i].outcome = tbb::this_task_arena::isolate([&] { return batch_frame_job(core, images[i], kind); });
        });
    });
    return records;
}

}  // namespace karvelum::batch
