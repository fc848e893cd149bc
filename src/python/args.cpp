#include "python/args.hpp"

#include <string_view>

#include "python/exceptions.hpp"

namespace karvelum::python {

namespace {

}  // namespace

std::string type_qualname(nb::handle value) {
    nb::handle type(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())));
    nb::object name = nb::getattr(type, "__qualname__", nb::none());
    if (!PyUnicode_Check(name.ptr())) return Py_TYPE(value.ptr())->tp_name;
    const char* text = PyUnicode_AsUTF8(name.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return Py_TYPE(value.ptr())->tp_name;
    }
    return text;
}

namespace {

bool is_numpy_bool(nb::handle value) {
    std::string_view name = Py_TYPE(value.ptr())->tp_name;
    return name == "numpy.bool" || name == "numpy.bool_";
}

std::string to_utf8(nb::handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

[[noreturn]] void raise_cannot_convert(nb::handle value, const char* target) {
    raise_type_error("'" + type_qualname(value) + "' object cannot be converted to '" + target + "'");
}

std::uint64_t arg_u64(nb::handle value, const char* name) {
    return with_note(name, [&] {
        nb::object index = nb::steal(PyNumber_Index(value.ptr()));
        if (!index.is_valid()) throw nb::python_error();
        unsigned long long out = PyLong_AsUnsignedLongLong(index.ptr());
        if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
        return static_cast<std::uint64_t>(out);
    });
}

std::optional<std::uint64_t> arg_opt_u64(nb::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return arg_u64(value, name);
}

double arg_f64(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
        double out = PyFloat_AsDouble(value.ptr());
        if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return out;
    });
}

std::optional<double> arg_opt_f64(nb::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return arg_f64(value, name);
}

bool arg_flag(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (value.ptr() == Py_True) return true;
        if (value.ptr() == Py_False) return false;
        if (is_numpy_bool(value)) {
            int truth = PyObject_IsTrue(value.ptr());
            if (truth < 0) throw nb::python_error();
            return truth == 1;
        }
        raise_cannot_convert(value, "PyBool");
    });
}

std::string arg_str(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (!PyUnicode_Check(value.ptr())) raise_cannot_convert(value, "PyString");
        return to_utf8(value);
    });
}

std::string arg_lower_name(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (!PyUnicode_Check(value.ptr())) raise_cannot_convert(value, "PyString");
        nb::object lower = nb::borrow(value).attr("lower")();
        return to_utf8(lower);
    });
}

std::optional<std::string> arg_opt_lower_name(nb::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return arg_lower_name(value, name);
}

std::pair<double, double> arg_pair_f64(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (!PyTuple_Check(value.ptr())) raise_cannot_convert(value, "PyTuple");
        Py_ssize_t size = PyTuple_GET_SIZE(value.ptr());
        if (size != 2) {
            raise_value_error("expected tuple of length 2, but got tuple of length " + std::to_string(size));
        }
        auto item = [&](Py_ssize_t i) {
            PyObject* v = PyTuple_GET_ITEM(value.ptr(), i);
            if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
            double out = PyFloat_AsDouble(v);
            if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
            return out;
        };
        double first = item(0);
        return std::pair{first, item(1)};
    });
}

std::optional<std::pair<double, double>> arg_opt_pair_f64(nb::handle value, const char* name) {
    if (value.is_none()) return std::nullopt;
    return arg_pair_f64(value, name);
}

nb::dict arg_dict(nb::handle value, const char* name) {
    return with_note(name, [&] {
        if (!PyDict_Check(value.ptr())) raise_cannot_convert(value, "PyDict");
        return nb::borrow<nb::dict>(value);
    });
}

}  // namespace karvelum::python
