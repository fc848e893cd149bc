// Borrow flags and thread binding of Python-visible objects.
//
// A method that changes an object takes it exclusively; readers share it. A
// re-entrant call (for example from a __float__ or __index__ of an argument)
// that conflicts with a running one fails with RuntimeError instead of
// seeing a half-changed object.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "python/exceptions.hpp"

namespace karvelum::python {

class BorrowFlag {
public:
    std::atomic<std::int64_t> state{0};  // 0 free, n > 0 shared by n, -1 exclusive

    // One more shared user; RuntimeError "Already mutably borrowed" while an
    // exclusive user holds the object.
    void acquire_shared() {
        std::int64_t current = state.load(std::memory_order_relaxed);
        do {
            if (current < 0) raise_runtime_error("Already mutably borrowed");
        } while (!state.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    }
    void release_shared() { state.fetch_sub(1, std::memory_order_release); }
};

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) { flag_.acquire_shared(); }
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        std::int64_t expected = 0;
        if (!flag_.state.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
            raise_runtime_error("Already borrowed");
        }
    }
    ~ExclusiveBorrow() { flag_.state.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

// Objects usable only from the thread that created them.
class ThreadBound {
public:
    explicit ThreadBound(const char* type_name) : owner_(std::this_thread::get_id()), type_name_(type_name) {}
    bool on_owner_thread() const { return std::this_thread::get_id() == owner_; }
    void check() const {
        if (!on_owner_thread()) raise_panic(std::string(type_name_) + " is unsendable, but sent to another thread");
    }
    // For destructors running elsewhere: reports the unraisable RuntimeError.
    void report_foreign_drop() const;
    const char* type_name() const { return type_name_; }

private:
    std::thread::id owner_;
    const char* type_name_;
};

inline void ThreadBound::report_foreign_drop() const {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::string message = std::string(type_name_) + " is unsendable, but is being dropped on another thread";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
}

}  // namespace karvelum::python
