// BatchIterator: results of a stream in input order, and the thread that
// feeds a stream from a Python iterator.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "python/batch.hpp"
#include "python/borrow.hpp"
#include "python/exceptions.hpp"
#include "python/image.hpp"
#include "python/signature.hpp"

namespace karvelum::python {

namespace {

struct PyBatchIterator {
    PyBatchIterator(batch::ResultReceiver r, std::uint64_t n, batch::IntegrateKind k)
        : receiver(std::move(r)), kind(std::move(k)), total(n) {}

    batch::ResultReceiver receiver;
    batch::IntegrateKind kind;
    std::map<std::uint64_t, batch::BatchItemResult> pending;  // received, not yet handed out
    std::uint64_t total = 0, completed = 0, next_index = 0;
    bool ended = false;
    BorrowFlag borrow;
};

// Consumers that have their result and wait to take the interpreter lock
// back. A feeder gives the lock up around every send; were it to take it
// straight back, a consumer woken meanwhile would lose the race again and
// again while results pile up, so feeders let these go first.
std::atomic<std::size_t> returning_consumers{0};

void let_consumers_in() {
    for (std::size_t n = returning_consumers.load(); n != 0; n = returning_consumers.load()) {
        returning_consumers.wait(n);
    }
}

// Takes the interpreter lock back for a consumer. A finalizing interpreter
// ends a thread that asks for it by unwinding the thread's stack, which
// would abort the process in the binding layer's handlers; the thread is
// parked for good instead. That unwinding is all that can leave the C call
// (caught with `...`: it has no C++ object to bind to).
void take_back_interpreter(PyThreadState* state) {
    returning_consumers.fetch_add(1);
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (returning_consumers.fetch_sub(1) == 1) returning_consumers.notify_all();
}

// How long one wait for a result lasts without the interpreter lock; signal
// handlers run between waits.
constexpr std::chrono::milliseconds kWaitSlice{50};

// The next message, waited for without the interpreter lock in slices. The
// lock is taken back between them for the signal handlers: an exception that
// one raises (KeyboardInterrupt) leaves with nothing taken from the stream.
std::optional<batch::BatchItemResult> receive_without_interpreter(const batch::ResultReceiver& receiver) {
    for (;;) {
        bool timed_out = false;
        std::optional<batch::BatchItemResult> message;
        PyThreadState* state = PyEval_SaveThread();
        try {
            message = receiver.receive_for(kWaitSlice, timed_out);
        } catch (...) {
            take_back_interpreter(state);
            throw;
        }
        take_back_interpreter(state);
        if (!timed_out) return message;
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

using Parked = std::map<std::uint64_t, batch::BatchItemResult>::iterator;

// Hands out a parked result, which stays parked when that fails. A signal
// that came while the result was awaited raises here, before the result is
// taken: raised once this call has returned, it would leave the caller
// without the result. The Python object is allocated before the result is
// moved into it, so a MemoryError loses nothing either.
nb::object hand_out(PyBatchIterator& self, Parked parked) {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
    nb::object obj = nb::inst_alloc(nb::type<PyBatchResult>());
    if (!obj.is_valid()) throw nb::python_error();
    batch::BatchItemResult& result = parked->second;
    new (nb::inst_ptr<PyBatchResult>(obj))
        PyBatchResult(batch_result(std::move(result.name), std::move(result.outcome), self.kind));
    nb::inst_mark_ready(obj);
    self.next_index = parked->first + 1;
    ++self.completed;
    self.pending.erase(parked);
    return obj;
}

nb::object next_result(PyBatchIterator& self) {
    ExclusiveBorrow borrow(self.borrow);
    for (;;) {
        if (auto parked = self.pending.find(self.next_index); parked != self.pending.end()) {
            return hand_out(self, parked);
        }
        if (!self.ended) {
            // The lock is given up only to wait, so that results already
            // queued are taken without competing for it again. Every result
            // is parked until it is handed out.
            std::optional<batch::BatchItemResult> message = self.receiver.try_receive();
            if (!message) message = receive_without_interpreter(self.receiver);
            if (message) {
                const std::uint64_t index = message->index;
                self.pending.emplace(index, std::move(*message));
                continue;
            }
            self.ended = true;
            self.receiver.reset();
        }
        // The stream has ended. Results parked behind an index that never
        // came are still handed out, in index order.
        if (!self.pending.empty()) return hand_out(self, self.pending.begin());
        PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }
}

nb::object iterate(PyBatchIterator& self) {
    SharedBorrow borrow(self.borrow);
    return nb::find(self);
}

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// "{qualified type name}: {text}" of the exception being raised, which is
// cleared.
std::string raised_exception_text() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
    std::string text = "<unknown>";
    if (value != nullptr) {
        if (PyObject* name = PyType_GetQualName(Py_TYPE(value))) {
            if (const char* utf8 = PyUnicode_AsUTF8(name)) text = utf8;
            Py_DECREF(name);
        }
        PyErr_Clear();
        text += ": ";
        PyObject* shown = PyObject_Str(value);
        const char* utf8 = shown != nullptr ? PyUnicode_AsUTF8(shown) : nullptr;
        text += utf8 != nullptr ? utf8 : "<exception str() failed>";
        Py_XDECREF(shown);
        PyErr_Clear();
        Py_DECREF(value);
    }
    return "error: " + text;
}

// One pulled item as a job; false when it cannot be one (`job` then holds
// the failure). Holds the interpreter lock.
bool job_from_item(PyObject* item, batch::BatchJob& job) {
    const std::string index = std::to_string(job.index);
    job.name = "iter[" + index + "]";
    try {
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (text == nullptr) throw nb::python_error();
            job.name.assign(text, static_cast<std::size_t>(size));
            job.item = job.name;
            return true;
        }
        ArrayView view;
        if (!take_f64_array(item, view)) {
            raise_value_error("Iterator item " + index + " must be a file path (str) or a 2D float64 numpy array");
        }
        require_c_contiguous(view, "float64");
        std::span<const double> samples = contiguous_items<double>(view, "Iterator item " + index + " array must be contiguous");
        ImageFrame frame;
        frame.path = job.name;
        frame.data.assign(samples.begin(), samples.end());
        frame.dim1 = view.rows();
        frame.dim2 = view.cols();
        job.item = std::move(frame);
        return true;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::exception&) {
        // Only C++ exceptions: the unwinding by which a finalizing
        // interpreter ends a thread must pass.
        set_error_from_current_exception();
    }
    job.item = batch::FailedItem{raised_exception_text()};
    return false;
}

// Holds the interpreter lock while it pulls and converts items, and gives it
// up around every send that may wait on the full queue, so that other Python
// threads (the consumer among them) run meanwhile; consumers waiting to take
// it back go first.
void iterator_feeder(PyObject* iterator, batch::JobSender jobs) {
    // A finalizing interpreter cannot be attached to; the iterator's
    // reference is then left as it is.
    if (interpreter_finalizing()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    for (std::uint64_t index = 0;; ++index) {
        batch::BatchJob job;
        job.index = index;
        bool last = false;
        PyObject* item = PyObject_CallMethod(iterator, "__next__", nullptr);
        if (item == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyErr_Clear();
                break;
            }
            job.name = "iter[" + std::to_string(index) + "]";
            job.item = batch::FailedItem{raised_exception_text()};
            last = true;
        } else {
            last = !job_from_item(item, job);
            Py_DECREF(item);
        }
        bool sent = false;
        Py_BEGIN_ALLOW_THREADS
        sent = jobs.send(std::move(job));
        let_consumers_in();
        Py_END_ALLOW_THREADS
        if (!sent || last) break;
    }
    Py_DECREF(iterator);
    PyGILState_Release(gil);
    jobs.reset();
}

}  // namespace

nb::object new_batch_iterator(batch::ResultReceiver results, std::uint64_t total, const batch::IntegrateKind& kind) {
    nb::object obj = nb::inst_alloc(nb::type<PyBatchIterator>());
    new (nb::inst_ptr<PyBatchIterator>(obj)) PyBatchIterator(std::move(results), total, kind);
    nb::inst_mark_ready(obj);
    return obj;
}

void start_iterator_feeder(nb::object iterator, batch::JobSender jobs) {
    PyObject* owned = iterator.release().ptr();
    try {
        batch::spawn_detached([owned, jobs = std::move(jobs)]() mutable { iterator_feeder(owned, std::move(jobs)); });
    } catch (...) {
        Py_DECREF(owned);
        throw;
    }
}

void bind_batch_iterator(nb::module_& m) {
    auto cls = nb::class_<PyBatchIterator>(m, "BatchIterator",
                                           "Iterator for streaming batch integration results.\n\n"
                                           "Yields one BatchResult per input, in input order. total is the number "
                                           "of listed inputs (0 for an iterable), completed the number of results "
                                           "handed out, progress their fraction (None when total is 0).")
                   .def_prop_ro("total",
                                [](PyBatchIterator& self) {
                                    SharedBorrow borrow(self.borrow);
                                    return self.total;
                                }, "Get the total number of files being processed.")
                   .def_prop_ro("completed",
                                [](PyBatchIterator& self) {
                                    SharedBorrow borrow(self.borrow);
                                    return self.completed;
                                }, "Get the number of files processed so far.")
                   .def_prop_ro("progress",
                                [](PyBatchIterator& self) -> nb::object {
                                    SharedBorrow borrow(self.borrow);
                                    if (self.total == 0) return nb::none();
                                    return nb::float_(static_cast<double>(self.completed) /
                                                      static_cast<double>(self.total));
                                }, "Get the progress as a fraction (0.0 to 1.0).");
    sig::def_method<&iterate>(cls, "__iter__($self)", "Return the iterator itself.");
    sig::def_method<&next_result>(cls, "__next__($self)", "The next BatchResult in input order.");
}

}  // namespace karvelum::python
