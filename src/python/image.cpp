#include "python/image.hpp"

#include <optional>

#include <cstring>

#include "python/args.hpp"
#include "python/exceptions.hpp"

namespace karvelum::python {

ArrayView::ArrayView(ArrayView&& other) noexcept : buffer(other.buffer), held(other.held) { other.held = false; }

ArrayView::~ArrayView() {
    if (held) PyBuffer_Release(&buffer);
}

namespace {

PyObject* ndarray_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        nb::object numpy = nb::module_::import_("numpy");
        type = nb::object(numpy.attr("ndarray")).release().ptr();
    }
    return type;
}

bool is_native(const char* format, const char* want) {
    if (format == nullptr) return false;
    if (format[0] == '@' || format[0] == '=' ) ++format;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    else if (format[0] == '<') ++format;
#else
    else if (format[0] == '>' || format[0] == '!') ++format;
#endif
    return std::strcmp(format, want) == 0;
}

}  // namespace

bool take_array(nb::handle value, ArrayView& view, const char* format, Py_ssize_t itemsize) {
    int is_array = PyObject_IsInstance(value.ptr(), ndarray_type());
    if (is_array < 0) throw nb::python_error();
    if (is_array == 0) return false;
    if (PyObject_GetBuffer(value.ptr(), &view.buffer, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    view.held = true;
    if (view.buffer.ndim != 2 || view.buffer.itemsize != itemsize || !is_native(view.buffer.format, format)) {
        PyBuffer_Release(&view.buffer);
        view.held = false;
        return false;
    }
    return true;
}

ImageInput extract_image_input(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (text == nullptr) throw nb::python_error();
        return std::string(text, static_cast<std::size_t>(size));
    }
    ArrayView view;
    if (take_f64_array(value, view)) return ImageInput(std::move(view));
    raise_type_error(
        "failed to extract enum ImageInput ('Path | Array')\n"
        "- variant Path (Path): failed to extract field ImageInput::Path.0\n"
        "- variant Array (Array): failed to extract field ImageInput::Array.0");
}

ImageInput arg_image(nb::handle value, const char* name) {
    return with_note(name, [&] { return extract_image_input(value); });
}

namespace {

std::optional<std::string> c_contiguous_problem(const ArrayView& view, const char* dtype) {
    const Py_ssize_t d0 = view.buffer.shape[0], d1 = view.buffer.shape[1];
    if (d0 == 0 || d1 == 0) return std::nullopt;
    const Py_ssize_t item = view.buffer.itemsize;
    const Py_ssize_t row = view.buffer.strides[0] / item, col = view.buffer.strides[1] / item;
    if ((d1 == 1 || col == 1) && (d0 == 1 || row == d1)) return std::nullopt;
    return std::string("Array must be C-contiguous (row-major) and ") + dtype;
}

std::size_t item_count(const ArrayView& view) {
    return static_cast<std::size_t>(view.buffer.shape[0]) * static_cast<std::size_t>(view.buffer.shape[1]);
}

template <class T>
bool readable_as_one_run(const ArrayView& view) {
    const auto address = reinterpret_cast<std::uintptr_t>(view.buffer.buf);
    const bool aligned = address % alignof(T) == 0;
    const bool contiguous = PyBuffer_IsContiguous(&view.buffer, 'C') || PyBuffer_IsContiguous(&view.buffer, 'F');
    return view.buffer.buf != nullptr && aligned && contiguous;
}

}  // namespace

void require_c_contiguous(const ArrayView& view, const char* dtype) {
    if (auto problem = c_contiguous_problem(view, dtype)) raise_value_error(*problem);
}

template <class T>
std::span<const T> contiguous_items(const ArrayView& view, const std::string& prefix) {
    const std::size_t n = item_count(view);
    if (n == 0) return {};
    if (!readable_as_one_run<T>(view)) raise_value_error(prefix + ": " + kNotContiguous);
    return {static_cast<const T*>(view.buffer.buf), n};
}

template std::span<const double> contiguous_items<double>(const ArrayView&, const std::string&);
template std::span<const std::uint8_t> contiguous_items<std::uint8_t>(const ArrayView&, const std::string&);

integration::ImageSource image_source(const ImageInput& input) {
    if (const auto* path = std::get_if<std::string>(&input)) return *path;
    const ArrayView& array = std::get<ArrayView>(input);
    if (auto problem = c_contiguous_problem(array, "float64")) return integration::RefusedImage{*problem};
    const std::size_t n = item_count(array);
    if (n > 0 && !readable_as_one_run<double>(array)) {
        return integration::RefusedImage{std::string("Array must be contiguous: ") + kNotContiguous};
    }
    const double* samples = n == 0 ? nullptr : static_cast<const double*>(array.buffer.buf);
    return integration::ImageView{{samples, n}, array.rows(), array.cols()};
}

MaskInput arg_mask(nb::handle value, const char* name, const char*& dtype) {
    if (value.is_none()) return std::monostate{};
    if (PyUnicode_Check(value.ptr())) return arg_str(value, name);
    return with_note(name, [&]() -> MaskInput {
        ArrayView view;
        if (take_array(value, view, "B", 1)) {
            dtype = "uint8";
            return MaskInput(std::move(view));
        }
        if (take_array(value, view, "?", 1)) {
            dtype = "bool";
            return MaskInput(std::move(view));
        }
        raise_type_error(
            "failed to extract enum MaskInput ('Path | ArrayU8 | ArrayBool')\n"
            "- variant Path (Path): failed to extract field MaskInput::Path.0\n"
            "- variant ArrayU8 (ArrayU8): failed to extract field MaskInput::ArrayU8.0\n"
            "- variant ArrayBool (ArrayBool): failed to extract field MaskInput::ArrayBool.0");
    });
}

}  // namespace karvelum::python
