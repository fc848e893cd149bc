#include "python/exceptions.hpp"

#include <new>
#include <stdexcept>

#include "errors.hpp"

namespace karvelum::python {

namespace {
PyObject* g_panic_type = nullptr;
}

PyObject* panic_exception_type() { return g_panic_type; }

void register_exceptions(nb::module_& m) {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "karvelum.PanicException",
            "Raised when an internal invariant of karvelum is broken. Derives from BaseException.",
            PyExc_BaseException, nullptr);
        if (g_panic_type == nullptr) throw nb::python_error();
    }
    m.attr("PanicException") = nb::handle(g_panic_type);
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const karvelum::ValueError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const karvelum::Panic& e) {
            PyErr_SetString(g_panic_type, e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(g_panic_type, e.what());
        }
    });
}

[[noreturn]] void raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] void raise_runtime_error(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] void raise_panic(const std::string& message) {
    PyErr_SetString(g_panic_type, message.c_str());
    throw nb::python_error();
}

void add_argument_note(nb::python_error& error, const char* name) {
    nb::object value = nb::borrow(error.value());
    std::string note = std::string("while processing '") + name + "'";
    if (nb::hasattr(value, "add_note")) value.attr("add_note")(nb::str(note.c_str()));
}

}  // namespace karvelum::python
