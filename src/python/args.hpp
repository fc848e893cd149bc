// Hand-written argument conversion. Each helper converts one argument the way
// the interpreter itself would (index protocol for counts, float() for
// floats) and, on failure, keeps the exception's type and message and adds
// the note "while processing '{name}'".
#pragma once

#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <vector>
#include <utility>

#include <nanobind/nanobind.h>

#include "integration.hpp"
#include "poni.hpp"
#include "python/exceptions.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// Unsigned count; a negative number is the interpreter's OverflowError.
std::uint64_t arg_u64(nb::handle value, const char* name);
std::optional<std::uint64_t> arg_opt_u64(nb::handle value, const char* name);

// A float as the interpreter converts one: a float object read directly,
// anything else through float(); its error passes unchanged.
double to_f64(nb::handle value);

double arg_f64(nb::handle value, const char* name);

// A PONI dict: the nine keys in order, a missing one reading as 0, other
// keys ignored; a failing lookup or conversion passes its error.
PoniGeometry geometry_from_dict(nb::handle dict);
std::optional<double> arg_opt_f64(nb::handle value, const char* name);

// Only True/False or NumPy's bool scalar.
bool arg_flag(nb::handle value, const char* name);

// Only str (not bytes, not path-like).
std::string arg_str(nb::handle value, const char* name);

// A name matched case-insensitively: lower-cased with str.lower().
std::optional<std::string> arg_opt_lower_name(nb::handle value, const char* name);
std::string arg_lower_name(nb::handle value, const char* name);

// A tuple (or subclass) of exactly two floats.
std::pair<double, double> arg_pair_f64(nb::handle value, const char* name);
std::optional<std::pair<double, double>> arg_opt_pair_f64(nb::handle value, const char* name);

// A dict or dict subclass.
nb::dict arg_dict(nb::handle value, const char* name);

// The qualified name of a value's type ("ndarray", "Outer.Inner").
std::string type_qualname(nb::handle value);

// The TypeError of a value whose Python type does not fit: "'{type}' object
// cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(nb::handle value, const char* target);

// A shared reference to the core of an Integrator argument, holding a shared
// borrow of the Python object while it lives.
class IntegratorRef {
public:
    IntegratorRef(nb::object obj, std::shared_ptr<integration::IntegratorCore> core);
    IntegratorRef(IntegratorRef&&) noexcept;
    IntegratorRef& operator=(IntegratorRef&&) = delete;
    ~IntegratorRef();
    const std::shared_ptr<integration::IntegratorCore>& core() const { return core_; }

private:
    nb::object object_;
    std::shared_ptr<integration::IntegratorCore> core_;
};

// TypeError "'{type}' object is not an instance of 'Integrator'" for other
// objects; the panic exception for an Integrator of another thread;
// RuntimeError "Already mutably borrowed" while it is changed.
IntegratorRef extract_integrator(nb::handle value);

// The items of a sequence argument: TypeError "Can't extract `str` to `Vec`"
// for a str, "'{type}' object is not an instance of 'Sequence'" for a
// non-sequence. Errors raised while iterating pass through.
std::vector<nb::object> sequence_items(nb::handle value);

// Runs a conversion and decorates its Python error with the argument note.
template <class F>
auto with_note(const char* name, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (nb::python_error& e) {
        add_argument_note(e, name);
        throw;
    }
}

}  // namespace karvelum::python
