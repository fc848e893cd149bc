// Image arguments: a str path, or a 2-D float64 NumPy array read in place.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include <nanobind/nanobind.h>

#include "integration/request.hpp"

namespace karvelum::python {

namespace nb = nanobind;

// A read-only view of a caller's array, held for the call.
class ArrayView {
public:
    ArrayView() = default;
    ArrayView(ArrayView&& other) noexcept;
    ArrayView& operator=(ArrayView&&) = delete;
    ~ArrayView();

    Py_buffer buffer{};
    bool held = false;
    std::uint64_t rows() const { return static_cast<std::uint64_t>(buffer.shape[0]); }
    std::uint64_t cols() const { return static_cast<std::uint64_t>(buffer.shape[1]); }
};

// True for an ndarray (or subclass) with two dimensions whose items have the
// buffer format `format` (native byte order) and size `itemsize`; fills
// `view` when it is.
bool take_array(nb::handle value, ArrayView& view, const char* format, Py_ssize_t itemsize);
inline bool take_f64_array(nb::handle value, ArrayView& view) { return take_array(value, view, "d", 8); }

using ImageInput = std::variant<std::string, ArrayView>;

// One image: a str path or a 2-D float64 array; TypeError "failed to extract
// enum ImageInput ..." otherwise.
ImageInput extract_image_input(nb::handle value);

// The `image` argument: TypeError "failed to extract enum ImageInput ..." when
// it is neither form.
ImageInput arg_image(nb::handle value, const char* name);

// Row-major check of the array's layout; ValueError "Array must be
// C-contiguous (row-major) and {dtype}" otherwise.
void require_c_contiguous(const ArrayView& view, const char* dtype);

// The items as one run of memory, or ValueError "{prefix}: The given array is
// not contiguous or is misaligned." for memory that cannot be read so.
template <class T>
std::span<const T> contiguous_items(const ArrayView& view, const std::string& prefix);

// What the engine reads of an image argument: a path as it is, an array's
// samples in place, or, for an array that fails the layout checks (row-major
// float64, contiguous), the refusal that the engine raises when it reaches
// the image, so that checks keep their order.
integration::ImageSource image_source(const ImageInput& input);

using MaskInput = std::variant<std::monostate, std::string, ArrayView>;  // none, path, uint8/bool array

// The `mask` argument: None, a str path, or a 2-D uint8 or bool array.
// `dtype` receives "uint8" or "bool" for arrays.
MaskInput arg_mask(nb::handle value, const char* name, const char*& dtype);

inline constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

}  // namespace karvelum::python
