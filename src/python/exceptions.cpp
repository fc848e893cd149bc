#include "python/exceptions.hpp"

#include <new>
#include <stdexcept>

#include "calibration/calibrant.hpp"
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

namespace {

// Engine exceptions; anything else is rethrown.
void set_engine_error(const std::exception_ptr& p) {
    try {
        std::rethrow_exception(p);
    } catch (const karvelum::ValueError& e) {
        set_error(PyExc_ValueError, e.message());
    } catch (const karvelum::Panic& e) {
        set_error(g_panic_type, e.message());
    } catch (const karvelum::calibration::CalibrantFileError& e) {
        set_error(PyExc_OSError, e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(g_panic_type, e.what());
    }
}

}  // namespace

void register_exceptions(nb::module_& m) {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "karvelum.PanicException",
            "Raised when an internal invariant of karvelum is broken. Derives from BaseException.",
            PyExc_BaseException, nullptr);
        if (g_panic_type == nullptr) throw nb::python_error();
    }
    m.attr("PanicException") = nb::handle(g_panic_type);
    nb::register_exception_translator([](const std::exception_ptr& p, void*) { set_engine_error(p); });
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        // nanobind's own exceptions, mapped as its dispatcher maps them.
        PyObject* type = PyExc_TypeError;
        switch (e.type()) {
            case nb::exception_type::runtime_error: type = PyExc_RuntimeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (...) {
        try {
            set_engine_error(std::current_exception());
        } catch (...) {
            PyErr_SetString(g_panic_type, "unknown C++ exception");
        }
    }
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
