// Streamed batches: producers that send one result per input item on an
// unbounded result channel, in whatever order items finish, and detached
// threads that run them. The receiver puts results back into input order.
//
// Every input position yields exactly one result: a failure of any kind
// inside one item becomes that item's error. Every producer thread drops its
// CoreHold before its result sender, so once the channel has ended, nothing
// of the stream holds the integrator. The holds are taken before the calls
// that start producers return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "batch/channel.hpp"
#include "errors.hpp"
#include "frame.hpp"

namespace karvelum::batch {

struct BatchItemResult {
    std::uint64_t index = 0;  // position in the input, from 0
    std::string name;         // the path, "array[{}]" or "iter[{}]"
    Outcome outcome;
};

using ResultChannel = Channel<BatchItemResult>;
using ResultSender = ResultChannel::Sender;
using ResultReceiver = ResultChannel::Receiver;

// An item that could not become a job; its message is the item's error.
struct FailedItem {
    std::string message;
};

// One unit of a queued stream: a path to load, an owned frame, or a failure.
struct BatchJob {
    std::uint64_t index = 0;
    std::string name;
    std::variant<std::string, ImageFrame, FailedItem> item;
};

using JobQueue = Channel<BatchJob>;
using JobSender = JobQueue::Sender;
using JobReceiver = JobQueue::Receiver;

// The job queue of a stream with `workers` workers: 2 x workers jobs.
std::pair<JobSender, JobReceiver> open_job_queue(std::size_t workers);

// Starts a detached thread running `body`; Panic "failed to spawn thread: ..."
// when the system refuses.
template <class Body>
void spawn_detached(Body&& body) {
    try {
        std::thread(std::forward<Body>(body)).detach();
    } catch (const std::system_error& e) {
        throw Panic(std::string("failed to spawn thread: ") + e.what());
    }
}

// Chunks of paths as the collecting pool cuts them, one detached worker each.
// Workers finish their chunk even when the receiver is gone.
ResultReceiver spawn_chunked_stream_workers(std::span<const std::string> paths,
                                            const std::shared_ptr<IntegratorCore>& core,
                                            const IntegrateKind& kind, WorkerCounts counts);

// max(workers, 1) detached workers taking jobs from `jobs`; a worker ends
// when the queue has ended or its result cannot be delivered.
ResultReceiver spawn_queue_stream_workers(const JobReceiver& jobs, const std::shared_ptr<IntegratorCore>& core,
                                          const IntegrateKind& kind, WorkerCounts counts);

// A detached thread that integrates every frame on the process-wide pool,
// item i named "array[{i}]". With the azimuthal spread each result is sent
// when done; otherwise all are sent in order after the last one is done.
ResultReceiver start_arrays_feeder(std::vector<ImageFrame> frames, const std::shared_ptr<IntegratorCore>& core,
                                   const integration::Options1d& options);

// The body of that thread: integrates the frames on the calling thread's
// pool (the process-wide one when it is in none) and sends their results.
// Each item runs for no call, whichever thread takes it.
void feed_arrays(std::vector<ImageFrame> frames, CoreHold core, const integration::Options1d& options,
                 ResultSender sender) noexcept;

// Copies each image's samples into the frame of the same position, whose
// data is already sized, in parallel on the calling thread's pool.
void copy_samples(std::span<const integration::ImageView> images, std::span<ImageFrame> frames);

// A detached thread that sends `jobs` in order, waiting while the queue is
// full, stopping early when no worker is left.
void start_job_feeder(std::vector<BatchJob> jobs, JobSender sender);

}  // namespace karvelum::batch
