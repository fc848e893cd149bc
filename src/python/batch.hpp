// The batch methods of Integrator (batch1d, batch2d, batch1d_iter,
// batch2d_iter) and the BatchIterator class that streams deliver through.
#pragma once

#include <cstdint>
#include <string>

#include <nanobind/nanobind.h>

#include "batch/stream.hpp"
#include "python/results.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// Adds the batch methods to the Integrator class.
void bind_batch_methods(nb::handle integrator_class);

// Registers BatchIterator.
void bind_batch_iterator(nb::module_& m);

// One item's record as Python sees it: a 1D result with bin centres, a 2D
// result with the kind's two counts, or the error text.
PyBatchResult batch_result(std::string name, batch::Outcome&& outcome, const batch::IntegrateKind& kind);

// A new BatchIterator over `results`; `total` is the number of listed items,
// 0 for an iterable.
nb::object new_batch_iterator(batch::ResultReceiver results, std::uint64_t total, const batch::IntegrateKind& kind);

// Starts the detached thread that pulls the items of `iterator` (an object
// with __next__) with the interpreter lock held and queues them as jobs:
// a str as a path, a 2-D float64 array as a copied frame named "iter[{}]".
// An exception of the iterator, or an item of another kind, ends the stream
// with one last error job "error: {type}: {text}".
void start_iterator_feeder(nb::object iterator, batch::JobSender jobs);

}  // namespace karvelum::python
