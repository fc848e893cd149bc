// Exception mapping between the engine and Python.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace karvelum::python {

namespace nb = nanobind;

// karvelum.PanicException, derived from BaseException. Created on import.
PyObject* panic_exception_type();

// Creates PanicException and registers the translator of engine exceptions:
// ValueError -> ValueError, Panic -> PanicException, CalibrantFileError ->
// OSError, bad_alloc -> MemoryError,
// anything else -> PanicException with its text.
void register_exceptions(nb::module_& m);

// Sets the Python error for the C++ exception being handled, the way the
// translator above does; a raised Python error (nb::python_error) is restored
// as it is. For entry points that nanobind does not dispatch: call it inside
// a catch block.
void set_error_from_current_exception() noexcept;

// Raise helpers: set the Python error and throw nb::python_error.
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_runtime_error(const std::string& message);
[[noreturn]] void raise_panic(const std::string& message);

// Adds the note "while processing '{name}'" to the exception being raised.
void add_argument_note(nb::python_error& error, const char* name);

}  // namespace karvelum::python
