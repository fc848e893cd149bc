// Integrate requests as callers make them, with no Python involved: the image
// as a TIFF path or as borrowed samples, and the options of one call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "frame.hpp"
#include "integration/integrate1d.hpp"
#include "integration/integrate2d.hpp"

namespace karvelum::integration {

// An image the caller could not hand over (an array of the wrong layout): the
// request raises ValueError with `message` where it would read the image, so
// checks that come first keep their order.
struct RefusedImage {
    std::string message;
};

// A TIFF path, decoded by the engine, or a caller's samples read in place.
using ImageSource = std::variant<std::string, ImageView, RefusedImage>;

// Loads the first image of `path` into `frame` and views its samples. Throws
// LoadError with the loader's bare text, the form in which batch items record
// a failure.
// `then_needs`: what the caller allocates next for that shape, admitted
// with the decode's own working set before decoding; the admission goes to
// `hold`, which the view names (ImageView::claim) and the caller keeps for
// the call. `file_form`: keep the file's own samples (see load_tiff_frame).
ImageView load_image(ImageFrame& frame, const std::string& path, const ThenNeeds& then_needs = nullptr,
                     bool file_form = false, MemoryClaim* hold = nullptr);

// Each request checks its options, then reads the image (a path into the
// calling thread's frame; a failure is ValueError "Failed to load TIFF: {}"),
// then integrates. Throws the engine's error types.
Integration1dOutput integrate1d(IntegratorCore& core, const ImageSource& image, const Options1d& options);
Integration2dOutput integrate2d(IntegratorCore& core, const ImageSource& image, const Options2d& options);

}  // namespace karvelum::integration
