// Python callables made from their text signatures.
//
// Every module function, method and constructor is declared by one text
// signature line such as
//     "integrate1d($self, image, n_points, errors=False, *, azimuthal_std=False)"
// and a C++ body that takes one nb::handle per parameter, in signature order
// (after the object itself for methods and constructors), and converts them
// with the arg_* helpers. The line heads the docstring, followed by "\n--\n\n",
// so the interpreter exposes it as __text_signature__ and inspect.signature()
// and help() show it. The same line, parsed once at import, binds each call's
// arguments by name and supplies the defaults; a missing, unknown, repeated or
// surplus argument is a TypeError. Every C++ exception of a body becomes its
// Python exception (set_error_from_current_exception).
//
//   def_function<&body>(module, "name(a, b=None)", "doc")      module function
//   def_method<&body>(cls, "name($self, a)", "doc")            method: body(T&, a)
//   def_static<&body>(cls, "name(a)", "doc")                   static method
//   def_class<T, &init>(module, "Name(a, b=1)", "doc")          class whose
//       constructor runs init(T* uninitialised, a, b), which builds T in
//       place as its last step
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>

#include "python/exceptions.hpp"

namespace karvelum::python::sig {

namespace nb = nanobind;

// Enough for the widest signature of the module (32 parameters).
inline constexpr std::size_t kMaxParameters = 40;

struct Parameter {
    nb::object name;           // interned str
    nb::object default_value;  // invalid when the parameter is required
};

// One parsed text signature with the method table entry made from it. Created
// at import and never freed: the interpreter keeps pointers into it.
struct Signature {
    std::string name;         // "integrate1d"
    std::string owner;        // the class, for methods and constructors; else empty
    std::string qualname;     // "Integrator.integrate1d()", used in error messages
    std::string doc;          // the signature line, "\n--\n\n" and the body
    std::vector<Parameter> parameters;  // without $self
    std::size_t positional = 0;         // parameters before '*'
    PyMethodDef def{};
};

// A METH_FASTCALL | METH_KEYWORDS entry point.
using FastEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

namespace detail {

enum class Kind { Function, Method, Static, Constructor };

// Parses `text` and checks it names `arity` parameters besides $self, which
// methods must have and nothing else may; raises RuntimeError for a malformed
// line, a programming error that fails the import. `owner` is the class of a
// method or static method (a constructor's class is the name in `text`).
Signature* make_signature(const char* text, const char* body, Kind kind, const std::string& owner,
                          std::size_t arity);

// Binds a vectorcall's arguments (or, for constructors, an argument tuple and
// keyword dict) to the signature's parameters: `bound` receives one borrowed
// reference per parameter. False with TypeError set on a binding error.
bool bind(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) noexcept;
bool bind(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** bound) noexcept;

std::string type_name(nb::handle cls);
void add_method(nb::handle cls, Signature& s, FastEntry entry);
void add_static(nb::handle cls, Signature& s, FastEntry entry);
void add_function(nb::module_& m, Signature& s, FastEntry entry);
[[noreturn]] void raise_not_ready(const Signature& s);
[[noreturn]] void raise_ready(const Signature& s);

template <class F>
struct Traits;
template <class R, class... A>
struct Traits<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct Traits<R (*)(A...) noexcept> : Traits<R (*)(A...)> {};

// The signature of each registered body: one body, one signature.
template <auto F>
inline Signature* registered = nullptr;

template <class Args, std::size_t Lead, std::size_t... I>
constexpr bool all_handles(std::index_sequence<I...>) {
    return (std::is_same_v<std::tuple_element_t<Lead + I, Args>, nb::handle> && ...);
}

// The number of nb::handle parameters of F after its `Lead` leading ones.
template <auto F, std::size_t Lead>
constexpr std::size_t handle_count() {
    using Args = typename Traits<decltype(F)>::Args;
    constexpr std::size_t n = std::tuple_size_v<Args>;
    static_assert(n >= Lead && n - Lead <= kMaxParameters);
    static_assert(all_handles<Args, Lead>(std::make_index_sequence<n - Lead>{}),
                  "bodies take their arguments as nb::handle");
    return n - Lead;
}

template <class R>
PyObject* to_python(R&& value) {
    if constexpr (std::is_base_of_v<nb::object, std::remove_cvref_t<R>>) {
        return value.release().ptr();
    } else {
        static_assert(!std::is_base_of_v<nb::handle, std::remove_cvref_t<R>>, "return an owned object");
        return nb::cast(std::forward<R>(value)).release().ptr();
    }
}

// Calls F with the leading arguments and the bound handles; a new reference.
template <auto F, class... Lead>
PyObject* invoke(PyObject* const* bound, Lead&&... lead) {
    constexpr std::size_t n = handle_count<F, sizeof...(Lead)>();
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
        using R = typename Traits<decltype(F)>::Result;
        if constexpr (std::is_void_v<R>) {
            F(std::forward<Lead>(lead)..., nb::handle(bound[I])...);
            return Py_NewRef(Py_None);
        } else {
            return to_python(F(std::forward<Lead>(lead)..., nb::handle(bound[I])...));
        }
    }(std::make_index_sequence<n>{});
}

template <auto F>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* bound[kMaxParameters];
    if (!bind(*registered<F>, args, nargs, kwnames, bound)) return nullptr;
    try {
        return invoke<F>(bound);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <auto F>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Self = std::remove_cvref_t<std::tuple_element_t<0, typename Traits<decltype(F)>::Args>>;
    const Signature& s = *registered<F>;
    PyObject* bound[kMaxParameters];
    if (!bind(s, args, nargs, kwnames, bound)) return nullptr;
    try {
        // An instance made by __new__ alone holds no object yet.
        if (!nb::inst_ready(self)) raise_not_ready(s);
        return invoke<F>(bound, *nb::inst_ptr<Self>(self));
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <auto Init>
int init_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    using Self = std::remove_pointer_t<std::tuple_element_t<0, typename Traits<decltype(Init)>::Args>>;
    const Signature& s = *registered<Init>;
    PyObject* bound[kMaxParameters];
    if (!bind(s, args, kwargs, bound)) return -1;
    try {
        if (nb::inst_ready(self)) raise_ready(s);
        Py_DECREF(invoke<Init>(bound, nb::inst_ptr<Self>(self)));
        nb::inst_mark_ready(self);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

template <auto F, std::size_t Lead>
Signature& signature_of(const char* text, const char* body, Kind kind, const std::string& owner = "") {
    registered<F> = make_signature(text, body, kind, owner, handle_count<F, Lead>());
    return *registered<F>;
}

}  // namespace detail

template <auto F>
void def_function(nb::module_& m, const char* signature, const char* doc) {
    detail::add_function(m, detail::signature_of<F, 0>(signature, doc, detail::Kind::Function), &detail::function_entry<F>);
}

template <auto F>
void def_method(nb::handle cls, const char* signature, const char* doc) {
    detail::add_method(cls, detail::signature_of<F, 1>(signature, doc, detail::Kind::Method, detail::type_name(cls)),
                       &detail::method_entry<F>);
}

template <auto F>
void def_static(nb::handle cls, const char* signature, const char* doc) {
    detail::add_static(cls, detail::signature_of<F, 0>(signature, doc, detail::Kind::Static, detail::type_name(cls)),
                       &detail::function_entry<F>);
}

// The class gets its signature line in its own docstring, where inspect finds
// it: the constructor is the type's tp_init slot, so neither __init__ nor
// __new__ is a Python-level function that inspect would look at instead.
template <class T, auto Init, class... Extra>
nb::class_<T> def_class(nb::handle scope, const char* signature, const char* doc, const Extra&... extra) {
    Signature& s = detail::signature_of<Init, 1>(signature, doc, detail::Kind::Constructor);
    // One class per constructor body, so the slot table can be static.
    static PyType_Slot slots[] = {{Py_tp_init, reinterpret_cast<void*>(&detail::init_entry<Init>)}, {0, nullptr}};
    return nb::class_<T>(scope, s.name.c_str(), nb::type_slots(slots), s.doc.c_str(), extra...);
}

}  // namespace karvelum::python::sig
