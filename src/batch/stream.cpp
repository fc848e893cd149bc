#include "batch/stream.hpp"

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>

#include "errors.hpp"
#include "memory.hpp"
#include "pool.hpp"

namespace karvelum::batch {

namespace {

// Outcome of an item that a worker could not run at all.
Outcome worker_failure(const std::string& text) {
    Outcome out;
    out.error = text;
    out.fatal = true;
    return out;
}

struct ChunkItem {
    std::uint64_t index;
    std::string path;
};

// Each worker drops its hold on the core before its result sender, so that
// the end of the channel implies that the integrator is free.
void chunked_stream_worker(std::vector<ChunkItem> chunk, CoreHold core, IntegrateKind kind,
                           std::size_t threads, ResultSender sender) noexcept {
    {
        std::string pool_error;
        std::unique_ptr<pool::Arena> arena = build_worker_pool(threads, pool_error);
        ImageFrame frame;
        for (ChunkItem& item : chunk) {
            BatchItemResult result;
            result.index = item.index;
            result.outcome = arena ? pool::run_in(*arena, [&] { return batch_file_job(*core, frame, item.path, kind); })
                                   : worker_failure(pool_error);
            result.name = std::move(item.path);
            sender.send(std::move(result));  // a gone receiver: the chunk is still worked off
        }
    }
    core.reset();
}

void queue_stream_worker(JobReceiver jobs, CoreHold core, IntegrateKind kind,
                         std::size_t threads, ResultSender sender) noexcept {
    {
        std::string pool_error;
        std::unique_ptr<pool::Arena> arena = build_worker_pool(threads, pool_error);
        ImageFrame frame;
        while (std::optional<BatchJob> job = jobs.receive()) {
            BatchItemResult result;
            result.index = job->index;
            result.name = std::move(job->name);
            if (auto* failed = std::get_if<FailedItem>(&job->item)) {
                result.outcome.error = std::move(failed->message);
            } else if (!arena) {
                result.outcome = worker_failure(pool_error);
            } else if (auto* path = std::get_if<std::string>(&job->item)) {
                result.outcome = pool::run_in(*arena, [&] { return batch_file_job(*core, frame, *path, kind); });
            } else {
                const ImageFrame& owned = std::get<ImageFrame>(job->item);
                const integration::ImageView view{owned.data, owned.dim1, owned.dim2};
                result.outcome = pool::run_in(*arena, [&] { return batch_frame_job(*core, view, kind); });
            }
            job.reset();  // a frame job's samples go before the result is sent
            if (!sender.send(std::move(result))) break;
        }
    }
    // Leaving: the queue's jobs are released with its last receiving handle,
    // which makes a producer's send fail.
    jobs.reset();
    core.reset();
}

}  // namespace

std::pair<JobSender, JobReceiver> open_job_queue(std::size_t workers) {
    return JobQueue::open(2 * std::max<std::size_t>(workers, 1));
}

ResultReceiver spawn_chunked_stream_workers(std::span<const std::string> paths,
                                            const std::shared_ptr<IntegratorCore>& core,
                                            const IntegrateKind& kind, WorkerCounts counts) {
    auto [sender, receiver] = ResultChannel::open();
    const std::size_t n = paths.size();
    const std::size_t w = std::max<std::size_t>(counts.workers, 1);
    const std::size_t chunk = std::max<std::size_t>((n + w - 1) / w, 1);
    const std::size_t threads = std::max<std::size_t>(counts.threads, 1);
    for (std::size_t start = 0; start < n; start += chunk) {
        std::vector<ChunkItem> items;
        for (std::size_t i = start; i < std::min(n, start + chunk); ++i) items.push_back({i, paths[i]});
        spawn_detached([items = std::move(items), core = CoreHold(core), kind = kind, threads,
                        sender = sender]() mutable noexcept {
            chunked_stream_worker(std::move(items), std::move(core), std::move(kind), threads, std::move(sender));
        });
    }
    return receiver;
}

ResultReceiver spawn_queue_stream_workers(const JobReceiver& jobs, const std::shared_ptr<IntegratorCore>& core,
                                          const IntegrateKind& kind, WorkerCounts counts) {
    auto [sender, receiver] = ResultChannel::open();
    const std::size_t threads = std::max<std::size_t>(counts.threads, 1);
    for (std::size_t w = 0; w < std::max<std::size_t>(counts.workers, 1); ++w) {
        spawn_detached([jobs = jobs, core = CoreHold(core), kind = kind, threads, sender = sender]() mutable noexcept {
            queue_stream_worker(std::move(jobs), std::move(core), std::move(kind), threads, std::move(sender));
        });
    }
    return receiver;
}

void feed_arrays(std::vector<ImageFrame> frames, CoreHold core, const integration::Options1d& options,
                 ResultSender sender) noexcept {
    const IntegrateKind kind = options;
    const std::size_t n = frames.size();
    std::vector<BatchItemResult> results(n);
    std::vector<char> offered(n, 0);
    try {
        for (std::size_t i = 0; i < n; ++i) {
            results[i].index = i;
            results[i].name = "array[" + std::to_string(i) + "]";
        }
        pool::run([&] {
            tbb::parallel_for(std::size_t(0), n, [&](std::size_t i) {
                const integration::ImageView view{frames[i].data, frames[i].dim1, frames[i].dim2};
                const CallScope outside_any_call(std::uint64_t(0));  // the item's call begins in it
                // Isolated: a thread waiting inside this item must not
                // pick up another one that could wait on a lock it holds.
                results[i].outcome =
                    tbb::this_task_arena::isolate([&] { return batch_frame_job(*core, view, kind); });
                if (options.azimuthal_std) {
                    sender.send(std::move(results[i]));
                    offered[i] = 1;
                }
            });
        });
    } catch (...) {
        // Only the item names can fail here; no item is left without a result.
    }
    frames.clear();
    core.reset();
    for (std::size_t i = 0; i < n; ++i) {
        if (offered[i]) continue;
        if (!results[i].outcome.output && results[i].outcome.error.empty()) {
            results[i].outcome = worker_failure("memory allocation failed");
        }
        sender.send(std::move(results[i]));
    }
}

ResultReceiver start_arrays_feeder(std::vector<ImageFrame> frames, const std::shared_ptr<IntegratorCore>& core,
                                   const integration::Options1d& options) {
    auto [sender, receiver] = ResultChannel::open();
    spawn_detached([frames = std::move(frames), core = CoreHold(core), options, sender = sender]() mutable noexcept {
        feed_arrays(std::move(frames), std::move(core), options, std::move(sender));
    });
    return receiver;
}

void copy_samples(std::span<const integration::ImageView> images, std::span<ImageFrame> frames) {
    constexpr std::size_t kBlock = std::size_t(1) << 17;  // samples per task: 1 MiB
    std::vector<std::pair<std::size_t, std::size_t>> blocks;  // (image, first sample)
    for (std::size_t k = 0; k < images.size(); ++k) {
        for (std::size_t first = 0; first < images[k].data.size(); first += kBlock) blocks.emplace_back(k, first);
    }
    pool::parallel_for_index(blocks.size(), [&](std::size_t b) {
        const auto [k, first] = blocks[b];
        const std::size_t n = std::min(kBlock, images[k].data.size() - first);
        std::copy_n(images[k].data.begin() + static_cast<std::ptrdiff_t>(first), n,
                    frames[k].data.begin() + static_cast<std::ptrdiff_t>(first));
    }, 1);
}

void start_job_feeder(std::vector<BatchJob> jobs, JobSender sender) {
    spawn_detached([jobs = std::move(jobs), sender = std::move(sender)]() mutable noexcept {
        for (BatchJob& job : jobs) {
            if (!sender.send(std::move(job))) break;
        }
        jobs.clear();
    });
}

}  // namespace karvelum::batch
