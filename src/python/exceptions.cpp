#include "python/exceptions.hpp"

#include <new>
#include <stdexcept>

#include "errors.hpp"

namespace karvelum::python {

namespace {

PyObject* g_panic_type = nullptr;

// Sets the error with the whole message, NUL bytes included.
void set_error(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // the decoding error stays set
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

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
            set_error(PyExc_ValueError, e.message());
        } catch (const karvelum::Panic& e) {
            set_error(g_panic_type, e.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            PyErr_SetString(g_panic_type, e.what());
        }
    });
}

[[noreturn]] void raise_value_error(const std::string& message) {
    set_error(PyExc_ValueError, message);
    throw nb::python_error();
}

[[noreturn]] void raise_type_error(const std::string& message) {
    set_error(PyExc_TypeError, message);
    throw nb::python_error();
}

[[noreturn]] void raise_runtime_error(const std::string& message) {
    set_error(PyExc_RuntimeError, message);
    throw nb::python_error();
}

[[noreturn]] void raise_panic(const std::string& message) {
    set_error(g_panic_type, message);
    throw nb::python_error();
}

void add_argument_note(nb::python_error& error, const char* name) {
    nb::object value = nb::borrow(error.value());
    std::string note = std::string("while processing '") + name + "'";
    if (nb::hasattr(value, "add_note")) value.attr("add_note")(nb::str(note.c_str()));
}

}  // namespace karvelum::python
