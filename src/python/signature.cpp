#include "python/signature.hpp"

#include <cstring>
#include <memory>
#include <string_view>

namespace karvelum::python::sig::detail {

namespace {

[[noreturn]] void malformed(std::string_view text, const char* why) {
    raise_runtime_error("malformed text signature \"" + std::string(text) + "\": " + why);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool is_identifier(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s) {
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

// The parameter list split at the commas outside quotes and brackets.
std::vector<std::string_view> split_parameters(std::string_view list, std::string_view text) {
    std::vector<std::string_view> out;
    if (trim(list).empty()) return out;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(list.substr(start, i - start)));
            start = i + 1;
        }
    }
    if (quote || depth != 0) malformed(text, "unbalanced quotes or brackets");
    out.push_back(trim(list.substr(start)));
    return out;
}

// The value of a default as the interpreter reads it: None, True, False, an
// int, a float or a plain quoted string.
nb::object parse_default(std::string_view value, std::string_view text) {
    if (value == "None") return nb::none();
    if (value == "True") return nb::borrow(Py_True);
    if (value == "False") return nb::borrow(Py_False);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0] &&
        value.find('\\') == std::string_view::npos) {
        std::string_view inner = value.substr(1, value.size() - 2);
        nb::object s = nb::steal(PyUnicode_FromStringAndSize(inner.data(), static_cast<Py_ssize_t>(inner.size())));
        if (!s.is_valid()) throw nb::python_error();
        return s;
    }
    const std::string digits(value);
    if (digits.empty() || digits.find_first_not_of("0123456789.eE+-") != std::string::npos) {
        malformed(text, "a default is not a literal");
    }
    const bool integer = digits.find_first_not_of("0123456789-") == std::string::npos;
    PyObject* number = nullptr;
    char* end = nullptr;
    if (integer) {
        number = PyLong_FromString(digits.c_str(), &end, 10);
    } else {
        double d = PyOS_string_to_double(digits.c_str(), &end, nullptr);
        if (!(d == -1.0 && PyErr_Occurred())) number = PyFloat_FromDouble(d);
    }
    if (number == nullptr || end != digits.c_str() + digits.size()) {
        Py_XDECREF(number);
        PyErr_Clear();
        malformed(text, "a default is not a number");
    }
    return nb::steal(number);
}

std::string plural(std::size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as the interpreter lists names.
std::string name_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? (names.size() > 2 ? ", and " : " and ") : ", ";
        out += "'" + names[i] + "'";
    }
    return out;
}

std::string utf8(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void type_error(const Signature& s, const std::string& what) {
    PyErr_SetString(PyExc_TypeError, (s.qualname + " " + what).c_str());
}

bool bind_positional(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject** bound) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > s.positional) {
        std::size_t least = 0;
        while (least < s.positional && !s.parameters[least].default_value.is_valid()) ++least;
        std::string takes = least == s.positional ? std::to_string(least)
                                                  : "from " + std::to_string(least) + " to " + std::to_string(s.positional);
        type_error(s, "takes " + takes + " positional argument" + (s.positional == 1 ? "" : "s") + " but " +
                          std::to_string(given) + (given == 1 ? " was" : " were") + " given");
        return false;
    }
    for (std::size_t i = 0; i < s.parameters.size(); ++i) bound[i] = i < given ? args[i] : nullptr;
    return true;
}

bool bind_keyword(const Signature& s, PyObject* key, PyObject* value, PyObject** bound) {
    const std::size_t n = s.parameters.size();
    std::size_t i = 0;
    // Names in calls are interned like ours, so identity almost always decides.
    while (i < n && s.parameters[i].name.ptr() != key) ++i;
    if (i == n) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
        i = 0;
        while (i < n && PyUnicode_Compare(s.parameters[i].name.ptr(), key) != 0) ++i;
    }
    if (i == n) {
        type_error(s, "got an unexpected keyword argument '" + utf8(key) + "'");
        return false;
    }
    if (bound[i] != nullptr) {
        type_error(s, "got multiple values for argument '" + utf8(key) + "'");
        return false;
    }
    bound[i] = value;
    return true;
}

bool bind_defaults(const Signature& s, PyObject** bound) {
    std::vector<std::string> missing_positional, missing_keyword;
    for (std::size_t i = 0; i < s.parameters.size(); ++i) {
        if (bound[i] != nullptr) continue;
        const Parameter& p = s.parameters[i];
        if (p.default_value.is_valid()) {
            bound[i] = p.default_value.ptr();
        } else {
            (i < s.positional ? missing_positional : missing_keyword).push_back(utf8(p.name.ptr()));
        }
    }
    if (!missing_positional.empty()) {
        type_error(s, "missing " + plural(missing_positional.size(), "required positional argument") + ": " +
                          name_list(missing_positional));
        return false;
    }
    if (!missing_keyword.empty()) {
        type_error(s, "missing " + plural(missing_keyword.size(), "required keyword-only argument") + ": " +
                          name_list(missing_keyword));
        return false;
    }
    return true;
}

}  // namespace

Signature* make_signature(const char* text, const char* body, Kind kind, const std::string& owner,
                          std::size_t arity) {
    const std::string_view line(text);
    const std::size_t open = line.find('(');
    if (open == std::string_view::npos || line.back() != ')') malformed(line, "no parameter list");
    auto s = std::make_unique<Signature>();
    s->name = std::string(line.substr(0, open));
    if (!is_identifier(s->name)) malformed(line, "the name is not an identifier");
    s->owner = kind == Kind::Constructor ? s->name : owner;
    s->qualname = (kind == Kind::Method || kind == Kind::Static ? owner + "." : std::string()) + s->name + "()";
    s->doc = std::string(line) + "\n--\n\n" + (body ? body : "");

    bool has_self = false, keyword_only = false, defaults = false;
    std::vector<std::string_view> items = split_parameters(line.substr(open + 1, line.size() - open - 2), line);
    for (std::size_t k = 0; k < items.size(); ++k) {
        std::string_view item = items[k];
        if (item == "$self" && k == 0) {
            has_self = true;
            continue;
        }
        if (item == "*") {
            if (keyword_only || k + 1 == items.size()) malformed(line, "misplaced '*'");
            keyword_only = true;
            continue;
        }
        const std::size_t eq = item.find('=');
        const std::string name(trim(item.substr(0, eq)));
        if (!is_identifier(name)) malformed(line, "a parameter name is not an identifier");
        Parameter p;
        p.name = nb::steal(PyUnicode_InternFromString(name.c_str()));
        if (!p.name.is_valid()) throw nb::python_error();
        for (const Parameter& q : s->parameters) {
            if (PyUnicode_Compare(q.name.ptr(), p.name.ptr()) == 0) malformed(line, "a parameter name repeats");
        }
        if (eq != std::string_view::npos) {
            p.default_value = parse_default(trim(item.substr(eq + 1)), line);
            defaults = true;
        } else if (defaults && !keyword_only) {
            malformed(line, "a required parameter follows one with a default");
        }
        s->parameters.push_back(std::move(p));
        if (!keyword_only) ++s->positional;
    }
    if (has_self != (kind == Kind::Method)) malformed(line, "$self is for methods, and methods need it");
    if (s->parameters.size() != arity) {
        malformed(line, ("its body takes " + std::to_string(arity) + " arguments").c_str());
    }
    if (arity > kMaxParameters) malformed(line, "too many parameters");
    return s.release();  // the interpreter keeps pointers into it for good
}

bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) noexcept {
    try {
        if (!bind_positional(s, args, nargs, bound)) return false;
        if (kwnames != nullptr) {
            const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < n; ++k) {
                if (!bind_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
            }
        }
        return bind_defaults(s, bound);
    } catch (const std::bad_alloc&) {  // only while building a message
        PyErr_NoMemory();
        return false;
    }
}

bool bind(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** bound) noexcept {
    try {
        if (!bind_positional(s, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), bound)) return false;
        if (kwargs != nullptr) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!bind_keyword(s, key, value, bound)) return false;
            }
        }
        return bind_defaults(s, bound);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

std::string type_name(nb::handle cls) {
    nb::object name = cls.attr("__name__");
    const char* text = PyUnicode_AsUTF8(name.ptr());
    if (text == nullptr) throw nb::python_error();
    return text;
}

namespace {

void fill_def(Signature& s, FastEntry entry) {
    s.def.ml_name = s.name.c_str();
    s.def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    s.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    s.def.ml_doc = s.doc.c_str();
}

void set_attr(nb::handle target, const Signature& s, PyObject* value) {
    nb::object owned = nb::steal(value);
    if (!owned.is_valid() || PyObject_SetAttrString(target.ptr(), s.name.c_str(), owned.ptr()) != 0) {
        throw nb::python_error();
    }
}

}  // namespace

void add_method(nb::handle cls, Signature& s, FastEntry entry) {
    fill_def(s, entry);
    set_attr(cls, s, PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &s.def));
}

void add_static(nb::handle cls, Signature& s, FastEntry entry) {
    fill_def(s, entry);
    // Bound to the class, as the interpreter makes static methods of types.
    nb::object function = nb::steal(PyCFunction_NewEx(&s.def, cls.ptr(), nullptr));
    if (!function.is_valid()) throw nb::python_error();
    set_attr(cls, s, PyStaticMethod_New(function.ptr()));
}

void add_function(nb::module_& m, Signature& s, FastEntry entry) {
    fill_def(s, entry);
    nb::object module_name = m.attr("__name__");
    set_attr(m, s, PyCFunction_NewEx(&s.def, m.ptr(), module_name.ptr()));
}

void raise_not_ready(const Signature& s) { raise_type_error("the " + s.owner + " was never initialised"); }

void raise_ready(const Signature& s) { raise_type_error("the " + s.owner + " is already initialised"); }

}  // namespace karvelum::python::sig::detail
