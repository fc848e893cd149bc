#include "python/batch.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "batch/batch.hpp"
#include "errors.hpp"
#include "python/args.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/integrator.hpp"
#include "python/results.hpp"
#include "python/signature.hpp"
#include "memory.hpp"

namespace karvelum::python {

namespace {

using BatchList = std::variant<std::vector<std::string>, std::vector<ArrayView>>;

std::optional<std::vector<std::string>> as_paths(const std::vector<nb::object>& items) {
    std::vector<std::string> paths;
    paths.reserve(items.size());
    for (const nb::object& item : items) {
        if (!PyUnicode_Check(item.ptr())) return std::nullopt;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (text == nullptr) throw nb::python_error();
        paths.emplace_back(text, static_cast<std::size_t>(size));
    }
    return paths;
}

std::optional<std::vector<ArrayView>> as_arrays(const std::vector<nb::object>& items) {
    std::vector<ArrayView> arrays(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!take_f64_array(items[i], arrays[i])) return std::nullopt;
    }
    return arrays;
}

[[noreturn]] void raise_not_a_batch_list() {
    raise_type_error(
        "failed to extract enum BatchImageInput ('Paths | Arrays')\n"
        "- variant Paths (Paths): failed to extract field BatchImageInput::Paths.0\n"
        "- variant Arrays (Arrays): failed to extract field BatchImageInput::Arrays.0");
}

// A sequence of str, else a sequence of 2-D float64 arrays.
BatchList batch_list(nb::handle value) {
    return with_note("images", [&]() -> BatchList {
        if (PyUnicode_Check(value.ptr()) || !PySequence_Check(value.ptr())) raise_not_a_batch_list();
        const std::vector<nb::object> items = sequence_items(value);
        std::optional<std::vector<std::string>> paths;
        try {
            paths = as_paths(items);
        } catch (nb::python_error& e) {
            // A str that cannot be encoded (a lone surrogate) is no path: the
            // list is then neither form. Anything else (no memory) goes on.
            if (!e.matches(PyExc_UnicodeEncodeError)) throw;
        }
        if (paths) return std::move(*paths);
        if (auto arrays = as_arrays(items)) return std::move(*arrays);
        raise_not_a_batch_list();
    });
}

std::vector<std::string> path_list(nb::handle value, const char* name) {
    return with_note(name, [&] {
        const std::vector<nb::object> items = sequence_items(value);
        std::optional<std::vector<std::string>> paths = as_paths(items);
        if (!paths) {
            for (const nb::object& item : items) {
                if (!PyUnicode_Check(item.ptr())) raise_cannot_convert(item, "PyString");
            }
        }
        return std::move(*paths);
    });
}

// The samples of every array, checked in list order; nothing is copied: the
// call holds the interpreter lock and the arrays' buffers until it returns.
std::vector<integration::ImageView> array_views(const std::vector<ArrayView>& arrays) {
    std::vector<integration::ImageView> views;
    views.reserve(arrays.size());
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        const ArrayView& array = arrays[k];
        require_c_contiguous(array, "float64");
        std::span<const double> samples =
            contiguous_items<double>(array, "Array " + std::to_string(k) + " must be contiguous");
        views.push_back({samples, array.rows(), array.cols()});
    }
    return views;
}

nb::object result_list(std::vector<batch::BatchItemRecord>&& records, const batch::IntegrateKind& kind) {
    nb::list out;
    for (batch::BatchItemRecord& record : records) {
        out.append(new_batch_result(batch_result(std::move(record.name), std::move(record.outcome), kind)));
    }
    return out;
}

// The arguments after `images` of the 1D batch methods, converted in their
// order and checked: the options and the worker counts of the call.
struct Request1d {
    integration::Options1d options;
    batch::WorkerCounts counts;
};

Request1d request_1d(nb::handle n_points, nb::handle errors, nb::handle num_workers, nb::handle num_threads,
                     nb::handle azimuthal_std) {
    const std::uint64_t n = arg_u64(n_points, "n_points");
    const bool with_errors = arg_flag(errors, "errors");
    const std::optional<std::uint64_t> workers = arg_opt_u64(num_workers, "num_workers");
    const std::optional<std::uint64_t> threads = arg_opt_u64(num_threads, "num_threads");
    const bool with_std = arg_flag(azimuthal_std, "azimuthal_std");
    if (n == 0) raise_value_error("n_points must be positive");
    return {{n, with_errors, with_std}, batch::resolve_worker_counts(workers, threads)};
}

// The same for the 2D batch methods, whose counts are not checked here.
struct Request2d {
    batch::IntegrateKind kind;
    batch::WorkerCounts counts;
};

Request2d request_2d(nb::handle n_radial, nb::handle n_azimuthal, nb::handle errors, nb::handle azimuthal_range,
                     nb::handle num_workers, nb::handle num_threads) {
    const std::uint64_t nr = arg_u64(n_radial, "n_radial");
    const std::uint64_t na = arg_u64(n_azimuthal, "n_azimuthal");
    const bool with_errors = arg_flag(errors, "errors");
    const std::optional<std::pair<double, double>> range = arg_opt_pair_f64(azimuthal_range, "azimuthal_range");
    const std::optional<std::uint64_t> workers = arg_opt_u64(num_workers, "num_workers");
    const std::optional<std::uint64_t> threads = arg_opt_u64(num_threads, "num_threads");
    return {integration::Options2d{nr, na, with_errors, range}, batch::resolve_worker_counts(workers, threads)};
}

nb::object batch1d(PyIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors,
                   nb::handle num_workers, nb::handle num_threads, nb::handle azimuthal_std) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    BatchList list = batch_list(images);
    const auto [options, counts] = request_1d(n_points, errors, num_workers, num_threads, azimuthal_std);
    std::vector<batch::BatchItemRecord> records;
    if (auto* arrays = std::get_if<std::vector<ArrayView>>(&list)) {
        records = batch::run_array_batch(*self.core, array_views(*arrays), options);
    } else {
        records = batch::run_batch_workers(std::get<std::vector<std::string>>(list), self.core, options, counts);
    }
    return result_list(std::move(records), options);
}

nb::object batch2d(PyIntegrator& self, nb::handle tiff_paths, nb::handle n_radial, nb::handle n_azimuthal,
                   nb::handle errors, nb::handle azimuthal_range, nb::handle num_workers, nb::handle num_threads) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    const std::vector<std::string> paths = path_list(tiff_paths, "tiff_paths");
    const auto [kind, counts] = request_2d(n_radial, n_azimuthal, errors, azimuthal_range, num_workers, num_threads);
    return result_list(batch::run_batch_workers(paths, self.core, kind, counts), kind);
}

// The images argument of a stream: a list of paths, a list of arrays, or the
// iterator that the object's __iter__ returns.
using StreamInput = std::variant<std::vector<std::string>, std::vector<ArrayView>, nb::object>;

StreamInput stream_input(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()) && PySequence_Check(value.ptr())) {
        try {
            const std::vector<nb::object> items = sequence_items(value);
            if (auto paths = as_paths(items)) return std::move(*paths);
            if (auto arrays = as_arrays(items)) return std::move(*arrays);
        } catch (nb::python_error& e) {
            // Not a list form; the object may still be iterable. Exhausted
            // memory and an interrupt (no Exception) are the caller's.
            if (e.matches(PyExc_MemoryError) || !e.matches(PyExc_Exception)) throw;
        }
    }
    PyObject* iterator = PyObject_CallMethod(value.ptr(), "__iter__", nullptr);
    if (iterator == nullptr) {
        PyErr_Clear();
        raise_value_error("images must be a list of file paths, a list of numpy arrays, or an iterable/generator");
    }
    return nb::steal(iterator);
}

// Owned copies of the arrays' samples, checked in list order first. The
// copying runs on the process-wide pool: filling fresh pages is what it costs.
std::vector<ImageFrame> frame_copies(const std::vector<ArrayView>& arrays) {
    const std::vector<integration::ImageView> views = array_views(arrays);
    // The copies are all taken before the first item is integrated.
    std::uint64_t bytes = 0;
    for (const integration::ImageView& view : views) {
        bytes = checked_add(bytes, checked_mul(view.data.size(), sizeof(double)));
    }
    require_memory(bytes);
    std::vector<ImageFrame> frames(views.size());
    for (std::size_t k = 0; k < views.size(); ++k) {
        frames[k].path = "array[" + std::to_string(k) + "]";
        frames[k].data.resize(views[k].data.size());
        frames[k].dim1 = views[k].dim1;
        frames[k].dim2 = views[k].dim2;
    }
    batch::copy_samples(views, frames);
    return frames;
}

// Iterables go through the job queue: the feeder pulls items while the
// workers integrate them.
batch::ResultReceiver start_iterable_stream(nb::object iterator, const std::shared_ptr<integration::IntegratorCore>& core,
                                            const batch::IntegrateKind& kind, batch::WorkerCounts counts) {
    auto [jobs, queue] = batch::open_job_queue(counts.workers);
    start_iterator_feeder(std::move(iterator), std::move(jobs));
    return batch::spawn_queue_stream_workers(queue, core, kind, counts);
}

nb::object batch1d_iter(PyIntegrator& self, nb::handle images, nb::handle n_points, nb::handle errors,
                        nb::handle num_workers, nb::handle num_threads, nb::handle azimuthal_std) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    const auto [options, counts] = request_1d(n_points, errors, num_workers, num_threads, azimuthal_std);
    StreamInput input = stream_input(images);
    if (auto* paths = std::get_if<std::vector<std::string>>(&input)) {
        return new_batch_iterator(batch::spawn_chunked_stream_workers(*paths, self.core, options, counts),
                                  paths->size(), options);
    }
    if (auto* arrays = std::get_if<std::vector<ArrayView>>(&input)) {
        const std::uint64_t total = arrays->size();
        return new_batch_iterator(batch::start_arrays_feeder(frame_copies(*arrays), self.core, options), total,
                                  options);
    }
    return new_batch_iterator(start_iterable_stream(std::get<nb::object>(std::move(input)), self.core, options, counts),
                              0, options);
}

nb::object batch2d_iter(PyIntegrator& self, nb::handle images, nb::handle n_radial, nb::handle n_azimuthal,
                        nb::handle errors, nb::handle azimuthal_range, nb::handle num_workers, nb::handle num_threads) {
    self.thread.check();
    SharedBorrow borrow(self.borrow);
    const auto [kind, counts] = request_2d(n_radial, n_azimuthal, errors, azimuthal_range, num_workers, num_threads);
    StreamInput input = stream_input(images);
    if (auto* paths = std::get_if<std::vector<std::string>>(&input)) {
        return new_batch_iterator(batch::spawn_chunked_stream_workers(*paths, self.core, kind, counts),
                                  paths->size(), kind);
    }
    if (auto* arrays = std::get_if<std::vector<ArrayView>>(&input)) {
        // Every array is checked and copied before anything starts; a
        // detached thread then feeds the running workers.
        std::vector<ImageFrame> frames = frame_copies(*arrays);
        std::vector<batch::BatchJob> jobs(frames.size());
        for (std::size_t k = 0; k < frames.size(); ++k) {
            jobs[k].index = k;
            jobs[k].name = frames[k].path;
            jobs[k].item = std::move(frames[k]);
        }
        auto [sender, queue] = batch::open_job_queue(counts.workers);
        batch::ResultReceiver results = batch::spawn_queue_stream_workers(queue, self.core, kind, counts);
        batch::start_job_feeder(std::move(jobs), std::move(sender));
        return new_batch_iterator(std::move(results), frames.size(), kind);
    }
    return new_batch_iterator(start_iterable_stream(std::get<nb::object>(std::move(input)), self.core, kind, counts),
                              0, kind);
}

}  // namespace

PyBatchResult batch_result(std::string name, batch::Outcome&& outcome, const batch::IntegrateKind& kind) {
    PyBatchResult item;
    item.filename = std::move(name);
    if (!outcome.output) {
        item.error = std::move(outcome.error);
    } else if (auto* out1d = std::get_if<integration::Integration1dOutput>(&*outcome.output)) {
        item.result = result_from_1d(std::move(*out1d));
    } else {
        const auto& options = std::get<integration::Options2d>(kind);
        item.result = result_from_2d(std::move(std::get<integration::Integration2dOutput>(*outcome.output)),
                                     options.n_radial, options.n_azimuthal);
    }
    return item;
}

void bind_batch_methods(nb::handle cls) {
    sig::def_method<&batch1d>(
        cls, "batch1d($self, images, n_points, errors=False, num_workers=None, num_threads=None, *, azimuthal_std=False)",
        "Perform batch 1D integration.\n\n"
        "images: a list of TIFF paths, integrated by num_workers threads that each run a pool of num_threads\n"
        "threads, or a list of 2-D float64 arrays, integrated on the process-wide pool.\n"
        "Returns one BatchResult per image, in input order; an image that cannot be read or integrated\n"
        "gives a BatchResult whose error says why.");
    sig::def_method<&batch2d>(
        cls,
        "batch2d($self, tiff_paths, n_radial, n_azimuthal, errors=False, azimuthal_range=None, num_workers=None, "
        "num_threads=None)",
        "Perform batch 2D integration with unified result type.\n\n"
        "Returns one BatchResult per path, in input order, each with n_radial x n_azimuthal flat values;\n"
        "a file that cannot be read or integrated gives a BatchResult whose error says why.");
    sig::def_method<&batch1d_iter>(
        cls,
        "batch1d_iter($self, images, n_points, errors=False, num_workers=None, num_threads=None, *, "
        "azimuthal_std=False)",
        "Perform streaming batch 1D integration.\n\n"
        "images: a list of TIFF paths, a list of 2-D float64 arrays, or any iterable of either (for example a\n"
        "generator that yields paths as files appear). Returns a BatchIterator that yields one BatchResult\n"
        "per image in input order while the images are integrated.");
    sig::def_method<&batch2d_iter>(
        cls,
        "batch2d_iter($self, images, n_radial, n_azimuthal, errors=False, azimuthal_range=None, num_workers=None, "
        "num_threads=None)",
        "Perform streaming batch 2D integration.\n\n"
        "images: a list of TIFF paths, a list of 2-D float64 arrays, or any iterable of either. Returns a\n"
        "BatchIterator that yields one BatchResult per image in input order.");
}

}  // namespace karvelum::python
