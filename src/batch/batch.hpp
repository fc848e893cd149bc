// Batches of images integrated with one integrator: the per-item job and the
// collecting pool of worker threads, each with a pool of its own.
//
// No item is ever lost: whatever happens while one item is loaded or
// integrated becomes that item's error text, and every call returns exactly
// one record per input, in input order. Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "frame.hpp"
#include "integration/integrate1d.hpp"
#include "integration/integrate2d.hpp"
#include "pool.hpp"

namespace karvelum::batch {

using integration::CoreHold;
using integration::IntegratorCore;

// How a batch integrates its items: the options of a 1D or of a 2D request.
using IntegrateKind = std::variant<integration::Options1d, integration::Options2d>;
using Output = std::variant<integration::Integration1dOutput, integration::Integration2dOutput>;

// What one item came to: the kind's output, or the text that says why not.
struct Outcome {
    std::optional<Output> output;
    std::string error;  // when there is no output
    // The failure came from integrating, not from loading: the worker that
    // met it reports "Worker thread panicked" once.
    bool fatal = false;
};

struct BatchItemRecord {
    std::string name;  // the path as listed, or "array[{}]"
    Outcome outcome;
};

struct WorkerCounts {
    std::size_t workers = 1;
    std::size_t threads = 2;  // size of each worker's own pool
};

// num_threads: none gives 2, 0 is ValueError "num_threads must be > 0";
// then num_workers: none gives max(1, processors / threads - 1), 0 is
// ValueError "num_workers must be > 0".
WorkerCounts resolve_worker_counts(std::optional<std::uint64_t> num_workers,
                                   std::optional<std::uint64_t> num_threads);

// A worker's own pool of `threads` threads, or none when it cannot be built
// (too many threads, or the system refuses them); `error` then says why,
// as "failed to build thread pool: ...".
std::unique_ptr<pool::Arena> build_worker_pool(std::size_t threads, std::string& error) noexcept;

// Integrates one image; any failure is its text, marked fatal. Never throws.
Outcome batch_frame_job(IntegratorCore& core, integration::ImageView image, const IntegrateKind& kind) noexcept;

// Loads `path` into `frame` and integrates it. A load failure is the
// loader's bare text; any failure of the integration is its text, marked
// fatal. Never throws.
Outcome batch_file_job(IntegratorCore& core, ImageFrame& frame, const std::string& path,
                       const IntegrateKind& kind) noexcept;

// Integrates every path on worker threads: consecutive chunks of
// max(ceil(n / workers), 1) paths, one thread per chunk with its own pool of
// `threads` threads and one reused frame. Returns one record per path, in
// input order, after every worker has ended and dropped its hold on the
// core. Writes "Worker thread panicked" to standard error once per worker
// that met a fatal failure. A thread that cannot be started is Panic
// "failed to spawn thread: ..." once the threads already started are joined.
std::vector<BatchItemRecord> run_batch_workers(std::span<const std::string> paths,
                                               const std::shared_ptr<IntegratorCore>& core,
                                               const IntegrateKind& kind, WorkerCounts counts);

// Integrates in-memory images on the calling thread's pool (the process-wide
// one), all at once in parallel; each item is named "array[{i}]".
std::vector<BatchItemRecord> run_array_batch(IntegratorCore& core, std::span<const integration::ImageView> images,
                                             const integration::Options1d& options);

}  // namespace karvelum::batch
