// The prologue shared by every integrate operation: the image's samples, the
// geometry snapshot for its shape and the mask checked against it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "errors.hpp"
#include "geometry_state.hpp"
#include "mask.hpp"
#include "memory.hpp"
#include "sample_type.hpp"

namespace karvelum::integration {

struct IntegratorCore;

// Samples of one image, row-major: a decoded frame or a caller's array; or a
// decoded file's samples in its own form (`file`, with `data` empty).
struct ImageView {
    std::span<const double> data;
    std::uint64_t dim1 = 0, dim2 = 0;
    FileSamples file{};
    // The call's admission when it was made with the image's decode (held
    // by the caller); none: the call admits its working set itself.
    MemoryClaim* claim = nullptr;
};

// The view itself when it holds doubles; else the file's samples converted
// (exactly, as a decoded frame holds them) into `storage`, and a view of it.
ImageView widened(const ImageView& image, Buffer<double>& storage);

// What every operation holds for the whole call: one geometry snapshot (so
// corrections, radial values and tables all belong to the image's shape)
// and the mask, checked against that shape.
struct CallState {
    GeometryRef snap;
    std::shared_ptr<const PixelMask> mask;
    MemoryClaim own_claim;                // the call's admission, or
    MemoryClaim* decode_claim = nullptr;  // the one made with the decode
    std::optional<CallScope> scope;       // the calling thread works for that admission
    std::span<const std::uint8_t> mask_bytes() const {
        return mask ? std::span<const std::uint8_t>(mask->values) : std::span<const std::uint8_t>();
    }
    // The geometry and the table are built (or were found): they are in use.
    void built() { (decode_claim != nullptr ? *decode_claim : own_claim).taken_shared(); }
};

// Checks the image and mask, and admits the call's `working_set` (unless it
// was admitted with the image's decode: then it is not used), then makes the
// geometry match the image shape. Throws ValueError for 0 bins, an empty
// image or a mask of another shape, std::bad_alloc for a working set beyond
// memory.
CallState begin_call(IntegratorCore& core, const ImageView& image, std::uint64_t n_bins,
                     const WorkingSet& working_set);

// Refuses a mask whose shape differs from the image.
void check_mask_shape(const PixelMask& mask, std::uint64_t dim1, std::uint64_t dim2);

}  // namespace karvelum::integration
