#include "python/args.hpp"

#include <string_view>

#include "python/exceptions.hpp"
#include "python/integrator.hpp"

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

double to_f64(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    double out = PyFloat_AsDouble(value.ptr());
    if (out == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return out;
}

double arg_f64(nb::handle value, const char* name) {
    return with_note(name, [&] { return to_f64(value); });
}

PoniGeometry geometry_from_dict(nb::handle dict) {
    auto value = [&](const char* key) {
        PyObject* item = PyDict_GetItemWithError(dict.ptr(), nb::str(key).ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            return 0.0;
        }
        return to_f64(item);
    };
    PoniGeometry g;
    g.pixel1 = value("pixel1");
    g.pixel2 = value("pixel2");
    g.distance = value("distance");
    g.poni1 = value("poni1");
    g.poni2 = value("poni2");
    g.rot1 = value("rot1");
    g.rot2 = value("rot2");
    g.rot3 = value("rot3");
    g.wavelength = value("wavelength");
    return g;
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

IntegratorRef::IntegratorRef(nb::object obj, std::shared_ptr<integration::IntegratorCore> core)
    : object_(std::move(obj)), core_(std::move(core)) {}

IntegratorRef::IntegratorRef(IntegratorRef&& other) noexcept
    : object_(std::move(other.object_)), core_(std::move(other.core_)) {}

IntegratorRef::~IntegratorRef() {
    if (object_.is_valid()) nb::inst_ptr<PyIntegrator>(object_)->borrow.release_shared();
}

IntegratorRef extract_integrator(nb::handle value) {
    if (!nb::isinstance<PyIntegrator>(value)) {
        if (value.is_none()) raise_type_error("'None' is not an instance of 'Integrator'");
        // Appended piece by piece: GCC 12 reports a false -Wrestrict for
        // "literal" + std::string here.
        std::string message = "'";
        message += type_qualname(value);
        message += "' object is not an instance of 'Integrator'";
        raise_type_error(message);
    }
    // An instance made by __new__ alone has no core to share.
    if (!nb::inst_ready(value)) raise_type_error("the Integrator was never initialised");
    PyIntegrator* integrator = nb::inst_ptr<PyIntegrator>(value);
    integrator->thread.check();
    integrator->borrow.acquire_shared();
    return IntegratorRef(nb::borrow(value), integrator->core);
}

std::vector<nb::object> sequence_items(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) raise_type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(value.ptr())) {
        raise_type_error("'" + type_qualname(value) + "' object is not an instance of 'Sequence'");
    }
    std::vector<nb::object> items;
    Py_ssize_t length = PySequence_Size(value.ptr());
    if (length < 0) PyErr_Clear();
    else items.reserve(static_cast<std::size_t>(length));
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    while (PyObject* item = PyIter_Next(iterator.ptr())) items.push_back(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
    return items;
}

}  // namespace karvelum::python
